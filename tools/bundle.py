"""Makes the bundles a box installs, for each box target of targets.txt (or
those named): dist/quarnel-<version>-<target>-py2.7.tar.gz, and -py3.tar.gz
where the target has a Python 3, each holding the stripped module of that
build, quarnel-guide.pyz, box/install.sh, box/README and PYTHON (the
version install.sh asks for). A build not made yet is made first. Prints
each bundle's path.
Usage: bundle.py [TARGET...]"""
import io
import os
import subprocess
import sys
import tarfile

import build as builder
import targets
from runner import Log

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE = {"2": "quarnel.so", "3": "quarnel.abi3.so"}
VERSIONS = {"2": "2.7", "3": "3"}


def add(bundle, name, data, mode=0o644):
    info = tarfile.TarInfo(name)
    info.size, info.mode, info.mtime = len(data), mode, 0  # the same bytes from the same files
    bundle.addfile(info, io.BytesIO(data))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def name(target, major, version):
    """The bundle's name: its file is dist/NAME.tar.gz, its folder NAME."""
    return "quarnel-%s-%s-py%s" % (version, target.target, VERSIONS[major])


def to_stderr(line):  # standard output is the bundles' paths
    sys.stderr.write(line)
    return False


def make(table, target, major, version, archive):
    build = os.path.join(TOP, target.build_dir(major, table.host.target))
    module = os.path.join(build, MODULE[major])
    if not os.path.isfile(module):
        builder.build(Log(os.devnull, echo=to_stderr), table, target, major, build)
    folder = name(target, major, version)
    path = os.path.join(TOP, "dist", folder + ".tar.gz")
    with tarfile.open(path + ".part", "w:gz") as bundle:
        add(bundle, folder + "/" + MODULE[major], read(module), 0o755)
        add(bundle, folder + "/quarnel-guide.pyz", read(archive), 0o755)
        add(bundle, folder + "/install.sh", read(os.path.join(TOP, "box", "install.sh")), 0o755)
        add(bundle, folder + "/README", read(os.path.join(TOP, "box", "README")))
        add(bundle, folder + "/PYTHON", (VERSIONS[major] + "\n").encode("ascii"))
    os.rename(path + ".part", path)
    return path


def make_all(table, names=()):
    """The bundles of the named box targets (every one when none are named), made."""
    boxes = [table.find(name) for name in names] if names else table.boxes()
    version = read(os.path.join(TOP, "VERSION")).decode("ascii").strip()
    archive = os.path.join(TOP, "dist", "quarnel-guide.pyz")
    subprocess.check_call([sys.executable, os.path.join(TOP, "tools", "guide_archive.py"), archive],
                          stdout=subprocess.DEVNULL)
    return [make(table, target, major, version, archive)
            for target in boxes for major in ("2", "3") if target.pythons(major)]


def main(names):
    for path in make_all(targets.load(), names):
        print(path)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
