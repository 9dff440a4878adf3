"""The README's module sizes, from the built files: each row of its table
of box CPUs names the builds' module files and their sizes ("24 KB, 19 KB":
whole kilobytes of 1000 bytes, cut). Fails naming each size that differs
from its file; --write puts the built sizes in instead.
Usage: readme_sizes.py [--write]"""
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(TOP, "README.md")
SIZES = re.compile(r"\| ([0-9]+ KB(?:, [0-9]+ KB)*)")


def sized(line):
    """The line with its sizes as built, and [(file, written, built)] where they differ."""
    files = re.findall(r"`(build[^`]*\.so)`", line)
    match = SIZES.search(line)
    if not files or not match:
        return line, []
    written = match.group(1).split(", ")
    built = ["%d KB" % (os.path.getsize(os.path.join(TOP, name)) // 1000) for name in files]
    wrong = [(name, w, b) for name, w, b in zip(files, written, built) if w != b]
    return line[:match.start(1)] + ", ".join(built) + line[match.end(1):], wrong


def main(args):
    with open(README) as f:
        lines = f.read().split("\n")
    rows = [sized(line) for line in lines]
    wrong = [w for _, found in rows for w in found]
    if "--write" in args:
        with open(README, "w") as f:
            f.write("\n".join(line for line, _ in rows))
        return 0
    for name, written, built in wrong:
        print("README: %s is %s, not %s" % (name, built, written))
    print("README sizes: %d of them differ from the built files" % len(wrong))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
