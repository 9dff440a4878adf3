"""The one reader of sources.txt, for both build systems: setup.py imports
it, CMakeLists.txt runs it (`python sources.py --cmake` writes the table as
set(QUARNEL_<key> ...) lines, "-" in a key read as "_"). Python 2.7 or 3."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def table(path=os.path.join(HERE, "sources.txt")):
    """{key: [values]}, one key a line, comments and blank lines aside."""
    found = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if fields and not fields[0].startswith("#"):
                found[fields[0]] = fields[1:]
    return found


if __name__ == "__main__" and sys.argv[1:] == ["--cmake"]:
    for key, values in sorted(table().items()):
        print("set(QUARNEL_%s %s)" % (key.replace("-", "_"), " ".join('"%s"' % v for v in values)))
