"""The one reader of targets.txt, the CPUs the module is built and tested
for. The whole table is checked at every start (columns, kinds, suites,
tags), and a mistake names its line, target and column; everything else
asks here for typed values. Standard library only; run by Debian's
/usr/bin/python3.11 (tools/target.sh starts it so).

Usage: targets.py --names              every target
       targets.py --check              the table's check alone
       targets.py --boxes              the targets a box bundle is made for
       targets.py NAME COLUMN          one column ("-" for none); NAME "host": this machine's
       targets.py NAME dir 2|3         its build directory
       targets.py NAME machine         its machine name (uname -m), from the wheel tag
       targets.py NAME py2-sources     its Python 2.7s, a line each: SUITE binary|ucs4|ucs2
       targets.py NAME py3-entries     its Python 3s, a line each: SUITE VERSION (N+: from N on)
       targets.py NAME cmake           its row as a CMake script setting QUARNEL_TARGET_<COLUMN>"""
import os
import re
import subprocess
import sys

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "targets.txt")
COLUMNS = ("target", "triplet", "qemu", "cflags", "elf", "glibc", "wheel", "py2", "py3", "depth")
SUITES = ("bullseye", "bookworm", "trixie", "forky", "duke", "sid")
# What a value of each column must look like, and that in words.
PATTERNS = {
    "target": (r"[a-z][a-z0-9]*", "a Debian architecture name"),
    "triplet": (r"[a-z0-9_]+-linux-gnu[a-z0-9]*", "a GNU triplet such as mipsel-linux-gnu"),
    "qemu": (r"-|qemu-[a-z0-9_]+-static", "qemu-<cpu>-static, or - on the host"),
    "cflags": (r"-|-\S+", "compiler flags without spaces, or -"),
    "elf": (r"(32|64)/(le|be)/[0-9]+", "class/byte order/machine number, such as 32/le/8"),
    "glibc": (r"2\.[0-9]+", "a C library version such as 2.17"),
    "wheel": (r"manylinux_2_[0-9]+_(?P<m>\w+)\.manylinux2014_(?P=m)|linux_\w+",
              "manylinux_2_N_<m>.manylinux2014_<m> or linux_<m>"),
    "py2": (r"-|[a-z]+(:source|:ucs2)?(,[a-z]+(:source|:ucs2)?)*",
            "suites, comma-separated, each alone or with :source or :ucs2; or -"),
    "py3": (r"[a-z]+:3\.[0-9]+(,[a-z]+:3\.[0-9]+\+?)*",
            "suite:3.N entries, comma-separated, the first one exact (it gives the headers), "
            "later ones may end in + (every 3.N from there on)"),
    "depth": (r"[0-9]+", "a number of levels"),
}


class TableError(Exception):
    pass


class Target(object):
    """One row: its columns as attributes, plus the parsed interpreter lists."""

    def __init__(self, fields):
        for column, value in zip(COLUMNS, fields):
            setattr(self, column, value)
        # (suite, "binary" | "ucs4" | "ucs2"): a Debian binary, or built here from source.
        self.py2_sources = [] if self.py2 == "-" else [
            (entry.split(":")[0], {"": "binary", "source": "ucs4", "ucs2": "ucs2"}[entry.partition(":")[2]])
            for entry in self.py2.split(",")]
        self.py3_entries = [tuple(entry.split(":")) for entry in self.py3.split(",")]

    def build_dir(self, major, host):
        suffix = "-py3" if major == "3" else ""
        return "build" + suffix if self.target == host else "build-%s%s" % (self.target, suffix)

    def machine(self):
        return re.sub(r".*linux[0-9]*_", "", self.wheel)


def load(path=TABLE):
    """The rows of the table, checked; TableError naming the first mistake."""
    targets = []
    with open(path) as f:
        for number, line in enumerate(f, 1):
            fields = line.split()
            if not fields or fields[0].startswith("#"):
                continue
            where = "targets.txt line %d (target %s)" % (number, fields[0])
            if len(fields) != len(COLUMNS):
                raise TableError("%s: %d columns where there are %d (%s); %s" % (
                    where, len(fields), len(COLUMNS), " ".join(COLUMNS),
                    "the column %s is missing" % COLUMNS[len(fields)] if len(fields) < len(COLUMNS)
                    else "one too many"))
            for column, value in zip(COLUMNS, fields):
                pattern, words = PATTERNS[column]
                if not re.match(r"(%s)\Z" % pattern, value):
                    raise TableError("%s, column %s: %r is not %s" % (where, column, value, words))
            target = Target(fields)
            for column, entries in (("py2", target.py2_sources), ("py3", target.py3_entries)):
                for suite, _ in entries:
                    if suite not in SUITES:
                        raise TableError("%s, column %s: unknown suite %r (known: %s)"
                                         % (where, column, suite, ", ".join(SUITES)))
            if target.target in [t.target for t in targets]:
                raise TableError("%s, column target: a second row for %s" % (where, target.target))
            targets.append(target)
    return targets


def host_arch():
    return subprocess.check_output(["dpkg", "--print-architecture"]).decode().strip()


def find(targets, name):
    name = host_arch() if name == "host" else name
    for target in targets:
        if target.target == name:
            return target
    raise TableError("no target %s in targets.txt" % name)


def builds(names, top):
    """(target, "2" | "3", build directory) for each Python each named target
    has (all targets when none are named), in the table's order."""
    table, host = load(), host_arch()
    for name in names or [t.target for t in table]:
        target = find(table, name)
        for major in ("2", "3"):
            if (target.py2 if major == "2" else target.py3) != "-":
                yield target, major, os.path.join(top, target.build_dir(major, host))


def boxes(table, host):
    """The targets a box bundle is made for: every CPU but the build
    machine's that has a Python 2.7, which is what set-top boxes run."""
    return [t for t in table if t.target != host and t.py2 != "-"]


def cmake_script(target):
    """The row as CMake reads it: QUARNEL_TARGET_<COLUMN>, "-" as empty."""
    return "".join('set(QUARNEL_TARGET_%s "%s")\n' % (column.upper(), "" if value == "-" else value)
                   for column, value in ((c, getattr(target, c)) for c in COLUMNS))


def answer(args, targets):
    if args == ["--names"]:
        return [t.target for t in targets]
    if args == ["--boxes"]:
        return [t.target for t in boxes(targets, host_arch())]
    if args == ["--check"]:
        return []
    if len(args) < 2:
        raise TableError(__doc__.split("\n\n")[-1])
    target, what = find(targets, args[0]), args[1]
    if what == "dir" and len(args) == 3 and args[2] in ("2", "3"):
        return [target.build_dir(args[2], host_arch())]
    if what == "machine":
        return [target.machine()]
    if what == "py2-sources":
        return ["%s %s" % source for source in target.py2_sources]
    if what == "py3-entries":
        return ["%s %s" % entry for entry in target.py3_entries]
    if what == "cmake":
        return [cmake_script(target).rstrip("\n")]
    if what in COLUMNS and len(args) == 2:
        return [getattr(target, what)]
    raise TableError("targets.py: no column or question %r (columns: %s)" % (" ".join(args[1:]), " ".join(COLUMNS)))


def main(args):
    try:
        lines = answer(args, load())
    except TableError as error:
        sys.stderr.write("%s\n" % error)
        return 2
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
