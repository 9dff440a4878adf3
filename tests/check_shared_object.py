"""Checks a built module file the way a box will meet it: ELF class, byte
order and machine; exactly the init function exported; no debugging
sections or symbol table (they stay in the build tree); its recorded name;
only the C library needed, with no symbol version newer than the box's C
library has; for Python 2, every unicode entry point of one width bound
weakly beside the other's, so one file loads in 2- and 4-byte builds; on
MIPS, no instruction beyond MIPS32 release 1.
Usage: check_shared_object.py FILE --elf 32/le/8 --glibc 2.2 --init NAME --triplet T"""
import argparse
import os
import re
import struct
import subprocess
import sys


def tool(*args):
    out = subprocess.check_output(args)
    return out.decode("ascii", "replace").splitlines()


def version_key(text):
    return tuple(int(part) for part in text.split("."))


def checks(path, elf, glibc, init, triplet):
    with open(path, "rb") as f:
        head = f.read(20)
    elf_class, order, machine = elf.split("/")
    expected = (1 if elf_class == "32" else 2, 1 if order == "le" else 2, int(machine))
    if head[:4] != b"\x7fELF":
        yield "ELF header", "not an ELF file"
        return
    found_class, encoding = bytearray(head[4:6])
    (e_machine,) = struct.unpack("<H" if encoding == 1 else ">H", head[18:20])
    found = (found_class, encoding, e_machine)
    yield "ELF class, byte order, machine", None if found == expected else "%s, expected %s" % (found, expected)

    dyn = [line.split() for line in tool("readelf", "-W", "--dyn-syms", path)]
    exported = sorted(f[7] for f in dyn if len(f) >= 8 and f[4] in ("GLOBAL", "WEAK") and f[6] != "UND")
    yield "exports", None if exported == [init] else "%s, expected only %s" % (exported, init)

    if init.startswith("init"):
        widths = dict((f[7], f[4]) for f in dyn if len(f) >= 8 and f[6] == "UND" and f[7].startswith("PyUnicodeUCS"))
        strong = sorted(name for name, bind in widths.items() if bind != "WEAK")
        pairs = sorted(set(name[len("PyUnicodeUCS2"):] for name in widths))
        unpaired = [p for p in pairs if not ("PyUnicodeUCS2" + p in widths and "PyUnicodeUCS4" + p in widths)]
        yield "both unicode widths, weakly", (None if widths and not strong and not unpaired
                                             else "strong %s, unpaired %s" % (strong, unpaired))

    sections = re.findall(r"\]\s+(\.\S+)", "\n".join(tool("readelf", "-W", "-S", path)))
    heavy = [name for name in sections if name.startswith(".debug") or name == ".symtab"]
    yield "stripped", None if not heavy else "carries %s" % ", ".join(heavy)

    dynamic = tool("readelf", "-W", "-d", path)
    soname = [line for line in dynamic if "(SONAME)" in line]
    name = os.path.basename(path)
    yield "recorded name", None if len(soname) == 1 and "[%s]" % name in soname[0] else "%s, expected %s" % (soname, name)
    needed = [re.sub(r".*\[(.*)\].*", r"\1", line) for line in dynamic if "(NEEDED)" in line]
    yield "libraries needed", None if needed == ["libc.so.6"] else "%s, expected only libc.so.6" % needed

    versions = set(re.findall(r"GLIBC_([0-9.]+)", "\n".join(tool("readelf", "-W", "-V", path))))
    newest = max(versions, key=version_key) if versions else "none"
    too_new = [v for v in versions if version_key(v) > version_key(glibc)]
    yield "C library versions", None if not too_new else "binds GLIBC_%s, the box may have only %s" % (newest, glibc)

    if triplet.startswith("mips"):
        listing = tool(triplet + "-objdump", "-d", "-m", "mips:isa32", path)
        beyond = [line for line in listing if re.search(r"\t\.word\t", line)]
        yield "MIPS32 release 1 instructions", None if not beyond else "%d beyond release 1, first: %s" % (len(beyond), beyond[0].strip())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("path")
    parser.add_argument("--elf", required=True)
    parser.add_argument("--glibc", required=True)
    parser.add_argument("--init", required=True)
    parser.add_argument("--triplet", default="")
    args = parser.parse_args()
    failed = 0
    results = list(checks(args.path, args.elf, args.glibc, args.init, args.triplet))
    for what, problem in results:
        print("%-32s %s" % (what, "ok" if problem is None else "FAILED: " + problem))
        failed += problem is not None
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
