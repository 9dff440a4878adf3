"""Tests what ships, as users get it: every wheel of targets.txt unpacked and
run through the suite in its target's interpreters, each manylinux tag
confirmed by auditwheel (Debian sid's, in sid's Python); the host's wheel
installed by pip in a plain virtual environment; the README's install
recipes run as written; the source release in a fresh virtual environment
of Debian's Python 3.11, offline; the stubs under mypy; Python 2.7's
`setup.py build`; the quarnel-guide command from the wheel and from that
build, its XMLTV checked by Debian's xmltv-util. Prints one line a check
and a count; fails if any check failed. Every command and its output go to
the log it names on failure.
Usage: run_shipping.py"""
import gzip
import os
import platform
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile

import build as builder
import bundle
import debian
import targets
from runner import CommandFailed, Log, capture, run

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOLS = os.path.join(TOP, "tools")
DEBIAN_PATH = "/usr/sbin:/usr/bin:/sbin:/bin"  # a plain Debian machine's: no other Python first


class Shipping(object):
    def __init__(self, work):
        self.work, self.passed, self.failed = work, 0, 0
        self.log = os.path.join(work, "shipping.log")
        self.table = targets.load()
        self.host, self.tooling = self.table.host, self.table.tooling()
        self.python = self.tooling.system_python3()  # Debian's own, with venv, pip and setuptools

    def check(self, name, step):
        """Runs step(); a check passes when it returns True."""
        try:
            ok = step()
            why = ""
        except (CommandFailed, OSError, KeyError) as error:
            ok, why = False, str(error)
        if ok:
            self.passed += 1
            print("ok      %s" % name)
        else:
            self.failed += 1
            print("FAILED  %s" % name)
            with open(self.log) as f:
                sys.stdout.write("".join(f.readlines()[-20:]))
            if why:
                print(why)
        sys.stdout.flush()

    def run(self, command, **kwargs):
        return run(command, self.log, **kwargs)

    def suite(self, python, module_dir, target=None):
        """The module's suite, which checks it imported the module from
        module_dir on the target's machine (the installed tool has its own
        check, guide_tool_check.sh)."""
        target = target or self.host
        # The shim that interrupts file calls, as the target's own build made it.
        build = target.build_dir("3" if target.py3 else "2", self.host.target)
        return self.run([sys.executable, os.path.join(TOP, "tests", "run_suite.py"), "--python", python,
                         "--module-dir", module_dir, "--machine", target.machine(), "--depth", str(target.depth),
                         "--emulated", target.qemu, "--module-only",
                         "--shim", os.path.join(TOP, build, "tests", "eintr_shim.so")]) == 0

    def venv_suite(self, venv):
        python = os.path.join(venv, "bin", "python")
        return self.suite(python, capture([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"]))

    def readme(self, copy, name, **variables):
        """The README's sh block `name`, run as written in the copy of the checkout."""
        block = os.path.join(self.work, "block.sh")
        with open(block, "w") as f:
            f.write(capture([sys.executable, os.path.join(TOP, "tests", "readme_sh.py"), os.path.join(TOP, "README.md"), name]))
        env = dict(os.environ, PATH=DEBIAN_PATH, **variables)
        return self.run(["bash", "-e", block], cwd=copy, env=env) == 0


def audit_python(log, host):
    """The first of sid's Pythons the host's row names, and the path of auditwheel."""
    path = debian.modules(log, "sid", host.target, ["python3-auditwheel", "python3-pyelftools", "python3-packaging"])
    version = [v for suite, v in host.py3 if suite == "sid"][0]
    name = debian.python3_names(log, "sid", host.target, version[2:-1])[0] if version.endswith("+") \
        else "python" + version
    return debian.fetch_python(log, "sid", host, host, [name]), path


def wheels(s, version):
    python, path = audit_python(Log(s.log), s.host)
    for target in s.table.targets:
        try:
            wheel = builder.wheel(Log(s.log), s.table, target)
        except (CommandFailed, OSError):
            s.check("wheel for " + target.target, lambda: False)
            continue
        name = os.path.basename(wheel)
        unpacked = os.path.join(s.work, "wheel-" + target.target)
        zipfile.ZipFile(wheel).extractall(unpacked)
        s.check(name + ": file checks", lambda: s.run(
            [sys.executable, os.path.join(TOP, "tests", "check_shared_object.py"), os.path.join(unpacked, "quarnel.abi3.so"),
             "--elf", target.elf, "--glibc", target.glibc, "--init", "PyInit_quarnel", "--triplet", target.triplet]) == 0)
        s.check(name + ": carries the types", lambda: all(
            os.path.isfile(os.path.join(unpacked, *path)) for path in (
                ("quarnel-stubs", "__init__.pyi"), ("quarnel_guide", "__init__.pyi"), ("quarnel_guide", "py.typed"))))
        if target.wheel.startswith("manylinux"):
            tag = target.wheel.split(".")[0]
            shown = capture([python, "-m", "auditwheel", "show", wheel], env=dict(os.environ, PYTHONPATH=path),
                            log=s.log, check=False)
            with open(s.log, "a") as f:
                f.write(shown + "\n")
            s.check("%s: auditwheel agrees with %s" % (name, tag), lambda: re.search(
                r'is consistent with the following platform tag: "%s"' % tag, " ".join(shown.split())) is not None)
        listing = os.path.join(TOP, target.build_dir("3", s.host.target), "interpreters.txt")
        if not os.path.isfile(listing):
            s.check("%s: interpreters (%s not built)" % (name, os.path.dirname(listing)), lambda: False)
            continue
        for python_command in open(listing).read().split():
            s.check("%s in %s" % (name, os.path.basename(python_command)),
                    lambda: s.suite(python_command, unpacked, target))


def releases(s, version):
    sdist = os.path.join(TOP, "dist", "quarnel-%s.tar.gz" % version)
    if os.path.exists(sdist):
        os.remove(sdist)
    s.run([s.python, "setup.py", "-q", "sdist", "-d", "dist"], cwd=TOP, check=False)
    s.check("source release " + os.path.basename(sdist), lambda: os.path.isfile(sdist))
    names = tarfile.open(sdist).getnames() if os.path.isfile(sdist) else []
    s.check("source release holds sources only", lambda: "quarnel-%s/sources.txt" % version in names and not [
        n for n in names if re.search(r"/(\.deps|build[^/]*|dist)/|\.(so|o|pyc)$", n)])

    # The host's wheel by its own name, in a plain venv: pip alone decides it fits.
    venv = os.path.join(s.work, "venv-wheel")
    s.run([s.python, "-m", "venv", venv])
    s.check("pip installs the host's wheel in a fresh venv", lambda: s.run(
        [os.path.join(venv, "bin", "pip"), "install", "-q", "--no-index",
         os.path.join(TOP, "dist", builder.wheel_name(s.host, version))], cwd=s.work) == 0)
    s.check("suite in the venv the wheel went into", lambda: s.venv_suite(venv))
    s.check("quarnel-guide from the wheel, XMLTV checked by tv_validate_file and tv_sort", lambda: s.run(
        [os.path.join(TOP, "tests", "guide_tool_check.sh"), os.path.join(s.work, "tool-wheel"),
         os.path.join(venv, "bin", "quarnel-guide")]) == 0)

    # The README's install recipes, run as written in a copy of the checkout
    # (tracked files only; the fetched trees shared): a reader's commands.
    copy = os.path.join(s.work, "checkout")
    for path in capture(["git", "ls-files"], cwd=TOP).splitlines():
        os.makedirs(os.path.dirname(os.path.join(copy, path)), exist_ok=True)
        shutil.copy2(os.path.join(TOP, path), os.path.join(copy, path))
    os.symlink(os.path.join(TOP, ".deps"), os.path.join(copy, ".deps"))
    shutil.copy(os.path.join(TOP, "tests", "typing", "uses_quarnel.py"), os.path.join(copy, "myplugin.py"))
    s.check("README: offline install from a checkout", lambda: s.readme(copy, "offline install from a checkout"))
    s.check("suite in the venv installed from the checkout", lambda: s.venv_suite(os.path.join(copy, "venv")))
    s.check("README: mypy finds the stubs both ways", lambda: s.readme(copy, "mypy finding the stubs",
                                                                       MYPY_CACHE_DIR="/dev/null"))
    armhf = s.table.find("armhf")
    s.check("README: one target's wheel (armhf, this machine's)", lambda: s.readme(copy, "one target's wheel") and all(
        os.path.isfile(os.path.join(copy, "dist", builder.wheel_name(t, version))) for t in (armhf, s.host)))
    s.check("README: Python 2.7 build", lambda: s.readme(copy, "Python 2.7 build") and os.path.isfile(
        os.path.join(copy, "build-setuptools", "lib.linux-%s-2.7" % platform.machine(), "quarnel.so")))
    include = debian.include_dir(debian.fetch_headers_python(Log(s.log), armhf, s.host))
    shutil.rmtree(os.path.join(copy, "dist"), ignore_errors=True)
    by_hand = os.path.join(s.work, "by-hand")

    def wheel_by_hand():
        if not s.readme(copy, "one target's wheel by hand", TRIPLET=armhf.triplet, MACHINE=armhf.machine(),
                        TAG=armhf.wheel, CPUFLAGS="", ROOT=include[:include.rindex("/usr/include/")]):
            return False
        zipfile.ZipFile(os.path.join(copy, "dist", builder.wheel_name(armhf, version))).extractall(by_hand)
        return s.run([sys.executable, os.path.join(TOP, "tests", "check_shared_object.py"),
                      os.path.join(by_hand, "quarnel.abi3.so"), "--elf", armhf.elf, "--glibc", armhf.glibc,
                      "--init", "PyInit_quarnel"]) == 0
    s.check("README: one target's wheel by hand (armhf), file checks", wheel_by_hand)

    venv = os.path.join(s.work, "venv-sdist")
    s.run([s.python, "-m", "venv", "--system-site-packages", venv])
    s.check("pip install from the sdist, offline", lambda: s.run(
        [os.path.join(venv, "bin", "pip"), "install", "-q", "--no-index", "--no-build-isolation", sdist], cwd=s.work) == 0)
    s.check("suite in the venv installed from the sdist", lambda: s.venv_suite(venv))
    mypy = capture(["mypy", "--python-executable", os.path.join(copy, "venv", "bin", "python"), "--no-incremental",
                    "--cache-dir=/dev/null", os.path.join(TOP, "tests", "typing", "misuses_quarnel.py")],
                   log=s.log, check=False)
    with open(s.log, "a") as f:
        f.write(mypy)
    # mypy's documented line form, FILE:LINE: error: MESSAGE; every call line
    # of the misuses is one error, and nothing else is.
    misuses = os.path.join(TOP, "tests", "typing", "misuses_quarnel.py")
    wanted = {n for n, line in enumerate(open(misuses), 1) if line.strip() and not line.startswith(("#", "import"))}
    reported = {int(m.group(1)) for m in re.finditer(r"(?m)^[^:\n]*misuses_quarnel\.py:(\d+): error: ", mypy)}
    s.check("mypy: each misuse reported", lambda: reported == wanted)


PLUGIN = "import sys, quarnel\nprint(quarnel.__file__)\nprint('%d %s' % quarnel.read(sys.argv[1])[0])\n"
LISTING = (b'<?xml version="1.0"?>\n<tv><programme start="20260101000000 +0000" channel="c.tv"><title>Kept</title>'
           b'</programme></tv>\n')


def files_under(root):
    return sorted(os.path.relpath(os.path.join(folder, name), root) + ("/" if name in folders else "")
                  for folder, folders, names in os.walk(root) for name in folders + names)


def bundles(s, version):
    """Every box bundle: its module's file checks; the Python 2.7 ones and the
    first Python 3 one installed by busybox's sh alone (busybox's applets and
    qemu the only commands on PATH) into a scratch root, a plugin and the
    installed quarnel-guide run from there under qemu, then removed to the
    file the root held before; a Python 3 bundle given a 2.7 refused."""
    shell = os.path.join(s.work, "busybox")
    os.mkdir(shell)
    s.run(["busybox", "--install", "-s", shell])
    made = bundle.make_all(s.table)
    py3_installed, refused = False, False
    for target in s.table.boxes():
        if not os.path.exists(os.path.join(shell, target.qemu)):
            os.symlink(shutil.which(target.qemu), os.path.join(shell, target.qemu))
        for major, init in (("2", "initquarnel"), ("3", "PyInit_quarnel")):
            name = bundle.name(target, major, version)
            if os.path.join(TOP, "dist", name + ".tar.gz") not in made:
                continue
            unpacked = os.path.join(s.work, name)
            tarfile.open(os.path.join(TOP, "dist", name + ".tar.gz")).extractall(s.work)
            module = os.path.join(unpacked, bundle.MODULE[major])
            s.check(name + ": file checks", lambda: s.run(
                [sys.executable, os.path.join(TOP, "tests", "check_shared_object.py"), module, "--elf", target.elf,
                 "--glibc", target.glibc, "--init", init, "--triplet", target.triplet]) == 0)
            python = first_python(target, major, s.host.target)
            if major == "2" or not py3_installed:
                py3_installed = py3_installed or major == "3"
                s.check(name + ": busybox sh install.sh, used under qemu, --remove",
                        lambda: box_install(s, unpacked, bundle.MODULE[major], python, shell))
            if major == "3" and not refused:
                refused = True
                s.check(name + ": refused for Python 2.7 in one line", lambda: refusal(
                    s, unpacked, first_python(target, "2", s.host.target), shell))


def first_python(target, major, host):
    with open(os.path.join(TOP, target.build_dir(major, host), "interpreters.txt")) as f:
        return f.read().split()[0]


def box_install(s, unpacked, module, python, shell):
    root = unpacked + "-root"
    lib, scripts = capture([python, "-c", "import sysconfig; p = sysconfig.get_paths(); print(p['purelib']); "
                                          "print(p['scripts'])"]).splitlines()
    os.makedirs(root + os.path.dirname(os.path.dirname(lib)))  # folders an image has already
    before = files_under(root)
    env = dict(PATH=shell, HOME=root, PYTHONPATH=root + lib)
    install = ["busybox", "sh", "install.sh", "--root", root, "--python", python]
    s.run([os.path.join(shell, install[0])] + install[1:], cwd=unpacked, env=env)
    plugin = os.path.join(unpacked + "-plugin", "plugin.py")  # not beside the bundle's own module
    os.mkdir(os.path.dirname(plugin))
    with open(plugin, "w") as f:
        f.write(PLUGIN)
    listing = os.path.join(unpacked, "week.xml.gz")
    with gzip.open(listing, "wb") as f:
        f.write(LISTING)
    s.run([root + scripts + "/quarnel-guide", "from-xmltv", listing, os.path.join(unpacked, "epg")], env=env)
    shown = capture([python, plugin, os.path.join(unpacked, "epg", "c.tv")], env=env,
                    log=s.log).splitlines()
    s.run([os.path.join(shell, install[0])] + install[1:] + ["--remove"], cwd=unpacked, env=env)
    with open(s.log, "a") as f:
        f.write("plugin: %s\nroot after --remove: %s\n" % (shown, files_under(root)))
    return shown == [root + lib + "/" + module, "1767225600 Kept"] and files_under(root) == before


def refusal(s, unpacked, python, shell):
    command = [os.path.join(shell, "busybox"), "sh", "install.sh", "--root", unpacked + "-refused", "--python", python]
    said = subprocess.run(command, cwd=unpacked, env=dict(PATH=shell), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    with open(s.log, "a") as f:
        f.write("$ %s\n%s" % (" ".join(command), said.stdout))
    return said.returncode == 1 and len(said.stdout.splitlines()) == 1 and "is for Python 3.8 or later" in \
        said.stdout and not os.path.exists(unpacked + "-refused")


def python2_build(s):
    """Python 2.7 through plain distutils; its settings name /usr/include."""
    py2 = debian.host_python2(Log(s.log), s.tooling)
    include = debian.include_dir(py2)
    lib, scripts = os.path.join(s.work, "py2"), os.path.join(s.work, "py2-bin")
    s.check("python2.7 setup.py build", lambda: s.run(
        [py2, "setup.py", "-q", "build", "--build-lib", lib, "--build-temp", os.path.join(s.work, "py2-tmp"),
         "--build-scripts", scripts], cwd=TOP, env=dict(os.environ, CFLAGS="-I" + include)) == 0)
    s.check("python2.7 build: file checks", lambda: s.run(
        [sys.executable, os.path.join(TOP, "tests", "check_shared_object.py"), os.path.join(lib, "quarnel.so"),
         "--elf", s.host.elf, "--glibc", s.host.glibc, "--init", "initquarnel"]) == 0)
    s.check("python2.7 build: suite", lambda: s.suite(py2, lib))
    s.check("quarnel-guide from the python2.7 build", lambda: s.run(
        [os.path.join(TOP, "tests", "guide_tool_check.sh"), os.path.join(s.work, "tool-py2"), py2,
         os.path.join(scripts, "quarnel-guide")], env=dict(os.environ, PYTHONPATH=lib)) == 0)


def main():
    debian.need(Log(os.devnull), "mypy:mypy", "-:python3-venv", "-:python3-setuptools", "-:python3-wheel",
                "-:python3-pip", "tv_validate_file:xmltv-util", "busybox:busybox-static")
    work = tempfile.mkdtemp(prefix="quarnel-shipping-")
    try:
        s = Shipping(work)
        version = open(os.path.join(TOP, "VERSION")).read().strip()
        s.check("README names version " + version, lambda: "quarnel " + version in open(os.path.join(TOP, "README.md")).read())
        s.check("README: the module sizes of the built files", lambda: s.run(
            [sys.executable, os.path.join(TOOLS, "readme_sizes.py")]) == 0)
        wheels(s, version)
        releases(s, version)
        python2_build(s)
        bundles(s, version)
        print("shipping: %d passed, %d failed" % (s.passed, s.failed))
        return 1 if s.failed else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
