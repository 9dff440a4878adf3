"""The one reader of targets.txt, the CPUs the module is built and tested
for. The whole table is checked once per run (columns, kinds, suites,
tags), and a mistake names its line, target and column; everything else
takes typed rows from here, passed on as arguments. Standard library
only. The host's row also names the Debian suites and the Python 3 this
machine's own tooling uses (Tooling), so no script spells them again.

Usage: targets.py --check              the table's check alone
       targets.py --names              every target
       targets.py NAME cmake           its row as a CMake script setting QUARNEL_TARGET_<COLUMN>
                                       (for a hand-made cross build; NAME "host": this machine)"""
import dataclasses
import os
import re
import subprocess
import sys
from typing import Optional, Tuple

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
KINDS = {"": "binary", "source": "ucs4", "ucs2": "ucs2"}


class TableError(Exception):
    pass


@dataclasses.dataclass(frozen=True)
class Target:
    """One row, typed: "-" read as empty (qemu, cflags) or as no entries (py2)."""
    target: str
    triplet: str
    qemu: str          # "" on the host
    cflags: str
    elf: str
    glibc: str
    wheel: str
    py2: Tuple[Tuple[str, str], ...]   # (suite, "binary" | "ucs4" | "ucs2"): Debian's, or built here
    py3: Tuple[Tuple[str, str], ...]   # (suite, "3.N" | "3.N+"), the first exact
    depth: int

    @classmethod
    def from_fields(cls, fields):
        row = dict(zip(COLUMNS, fields))
        return cls(
            target=row["target"], triplet=row["triplet"], qemu=row["qemu"].strip("-"),
            cflags=row["cflags"] if row["cflags"] != "-" else "", elf=row["elf"], glibc=row["glibc"],
            wheel=row["wheel"],
            py2=tuple((entry.split(":")[0], KINDS[entry.partition(":")[2]])
                      for entry in row["py2"].split(",")) if row["py2"] != "-" else (),
            py3=tuple(tuple(entry.split(":")) for entry in row["py3"].split(",")),
            depth=int(row["depth"]))

    def pythons(self, major):
        return self.py2 if major == "2" else self.py3

    def build_dir(self, major, host):
        suffix = "-py3" if major == "3" else ""
        return "build" + suffix if self.target == host else "build-%s%s" % (self.target, suffix)

    def machine(self):
        return re.sub(r".*linux[0-9]*_", "", self.wheel)

    def emulator(self):
        """How the target's own programs run here: [] on the host."""
        return [self.qemu, "-L", "/usr/" + self.triplet] if self.qemu else []


@dataclasses.dataclass(frozen=True)
class Tooling:
    """What this machine's own tooling runs, read off the host's row: its
    first Python 3 is Debian's own here (the release of the cross
    toolchains too), its first Python 2.7 the one that builds the others."""
    host: Target
    suite: str              # this machine's Debian release
    python3: str            # "3.N": Debian's /usr/bin/python3.N
    python2_suite: str

    def system_python3(self):
        return "/usr/bin/python" + self.python3


@dataclasses.dataclass(frozen=True)
class Table:
    targets: Tuple[Target, ...]
    host: Target

    def find(self, name):
        name = self.host.target if name == "host" else name
        for target in self.targets:
            if target.target == name:
                return target
        raise TableError("no target %s in targets.txt" % name)

    def tooling(self):
        suite, version = self.host.py3[0]
        if not self.host.py2:
            raise TableError("targets.txt: the host's row (%s) names no Python 2.7" % self.host.target)
        return Tooling(self.host, suite, version, self.host.py2[0][0])

    def builds(self, names, top):
        """(target, "2" | "3", build directory) for each Python each named
        target has (every target when none are named), in the table's order."""
        for name in names or [t.target for t in self.targets]:
            target = self.find(name)
            for major in ("2", "3"):
                if target.pythons(major):
                    yield target, major, os.path.join(top, target.build_dir(major, self.host.target))

    def boxes(self):
        """The targets a box bundle is made for: every CPU but the build
        machine's that has a Python 2.7, which is what set-top boxes run."""
        return [t for t in self.targets if t != self.host and t.py2]


def host_arch():
    return subprocess.check_output(["dpkg", "--print-architecture"]).decode().strip()


def load(path=TABLE, host: Optional[str] = None):
    """The table, checked; TableError naming the first mistake."""
    rows = []
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
            target = Target.from_fields(fields)
            for column in ("py2", "py3"):
                for suite, _ in getattr(target, column):
                    if suite not in SUITES:
                        raise TableError("%s, column %s: unknown suite %r (known: %s)"
                                         % (where, column, suite, ", ".join(SUITES)))
            if target.target in [t.target for t in rows]:
                raise TableError("%s, column target: a second row for %s" % (where, target.target))
            rows.append(target)
    host = host or host_arch()
    found = [t for t in rows if t.target == host]
    if not found:
        raise TableError("targets.txt has no row for this machine (%s)" % host)
    return Table(tuple(rows), found[0])


CMAKE_COLUMNS = ("triplet", "qemu", "cflags", "elf", "glibc", "depth")


def cmake_script(target):
    """The row as CMake reads it: QUARNEL_TARGET_<COLUMN>."""
    return "".join('set(QUARNEL_TARGET_%s "%s")\n' % (column.upper(), getattr(target, column))
                   for column in CMAKE_COLUMNS)


def cmake_definitions(target):
    """The row as -D arguments: a build handed these does not read the table."""
    return ["-DQUARNEL_TARGET=" + target.target] + [
        "-DQUARNEL_TARGET_%s=%s" % (column.upper(), getattr(target, column)) for column in CMAKE_COLUMNS]


def main(args):
    try:
        table = load()
        if args == ["--names"]:
            print("\n".join(t.target for t in table.targets))
        elif len(args) == 2 and args[1] == "cmake":
            sys.stdout.write(cmake_script(table.find(args[0])))
        elif args != ["--check"]:
            raise TableError(__doc__.split("\n\n")[-1])
    except TableError as error:
        sys.stderr.write("%s\n" % error)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
