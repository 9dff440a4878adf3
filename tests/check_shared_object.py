"""Checks the built module file: ELF class, byte order and machine for the
expected platform, exactly one exported symbol, its recorded name, and no
C++ runtime among the libraries it needs.
Usage: check_shared_object.py quarnel.so x86_64|mips"""
import struct
import subprocess
import sys

# machine: (ELF class, data encoding, e_machine)
EXPECTED = {
    "x86_64": (2, 1, 62),
    "mips": (1, 1, 8),
}


def readelf(*args):
    out = subprocess.check_output(("readelf", "-W") + args)
    return out.decode("ascii", "replace").splitlines()


def main(path, machine):
    with open(path, "rb") as f:
        head = f.read(20)
    problems = []
    if head[:4] != b"\x7fELF":
        problems.append("not an ELF file")
    else:
        elf_class, encoding = bytearray(head[4:6])
        (e_machine,) = struct.unpack("<H" if encoding == 1 else ">H", head[18:20])
        found = (elf_class, encoding, e_machine)
        if found != EXPECTED[machine]:
            problems.append("ELF header says %s, expected %s" % (found, EXPECTED[machine]))
    exported = sorted(
        line.split()[7] for line in readelf("--dyn-syms", path)
        if len(line.split()) >= 8 and line.split()[4] in ("GLOBAL", "WEAK")
        and line.split()[6] != "UND")
    if exported != ["initquarnel"]:
        problems.append("exported symbols %s, expected only initquarnel" % exported)
    sonames = [line for line in readelf("-d", path) if "(SONAME)" in line]
    if len(sonames) != 1 or "[quarnel.so]" not in sonames[0]:
        problems.append("SONAME %s, expected quarnel.so" % sonames)
    needed = [line for line in readelf("-d", path) if "(NEEDED)" in line]
    runtime = [line for line in needed if "libstdc++" in line or "libgcc_s" in line]
    if runtime:
        problems.append("needs a C++ runtime the box may lack: %s" % runtime)
    for problem in problems:
        print(problem)
    print("%d passed, %d failed" % (4 - len(problems), len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
