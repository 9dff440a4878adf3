"""Debian's archive for the tooling: system packages installed when missing,
and any suite's packages for any architecture unpacked into .deps/ through
a private apt state of its own (tools/debian-apt.sh, reached only through
apt() here), interpreters wrapped as .deps/bin/NAME. Every step logs to the
Log it is given; values come back as return values, never as printed text."""
import glob
import os
import re
import shutil
import subprocess
import sys
import threading

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEPS = os.path.join(TOP, ".deps")
BIN = os.path.join(DEPS, "bin")
APT_SHELL = os.path.join(TOP, "tools", "debian-apt.sh")
# Bumped when wrappers change form, so older ones are written again.
FORM = "wrapper form 3"
SMOKE = 'import struct, subprocess, tempfile, unittest; u"\\u0410".encode("cp1251")'
_fetched = {}  # (suite, arch, packages, program) -> [its lock, its wrapper once fetched]
_fetched_lock = threading.Lock()


def need(log, *pairs):
    """System packages for what this machine lacks: command:package pairs,
    or -:package for one without a command of its own."""
    log.run([os.path.join(TOP, "tools", "need.sh")] + list(pairs))


def apt(log, state, suite, arch, function, *args):
    """debian-apt.sh's function in the private state .deps/apt/STATE for
    Debian SUITE and ARCH; its standard output."""
    return log.capture(["bash", "-c", '. "$0" && debian_apt_init "$1" "$2" "$3" && shift 3 && "$@"', APT_SHELL,
                        os.path.join(DEPS, "apt", state), suite, arch, function] + list(args))


def unpack(debs, root):
    for deb in sorted(glob.glob(os.path.join(debs, "*.deb"))):
        subprocess.check_call(["dpkg", "-x", deb, root])
    shutil.rmtree(debs)


def standalone_headers(root):
    """Debian's pyconfig.h only forwards to <triplet/pythonX.Y/pyconfig.h> on
    the system include path, and a debug interpreter's headers are links to
    the release ones (whose quoted includes would find the release
    pyconfig.h): real files beside Python.h instead, so the tree stands alone."""
    include = os.path.join(root, "usr", "include")
    for inc in glob.glob(os.path.join(include, "python*")):
        for name in os.listdir(inc):
            path = os.path.join(inc, name)
            if os.path.islink(path):
                real = os.path.realpath(path)
                os.remove(path)
                (shutil.copytree if os.path.isdir(real) else shutil.copy)(real, path)
        real = [p for p in glob.glob(os.path.join(include, "*", os.path.basename(inc), "pyconfig.h"))
                if not p.startswith(inc + os.sep)]
        if real:
            shutil.copy(real[0], os.path.join(inc, "pyconfig.h"))


def write_wrapper(path, comment, lines):
    """.deps/bin/NAME, the script that starts an interpreter from its tree."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".part", "w") as f:
        f.write("#!/bin/sh\n# %s\n%s\n" % (comment, "\n".join(lines)))
    os.chmod(path + ".part", 0o755)
    os.rename(path + ".part", path)


def python3_names(log, suite, arch, floor):
    """Every python3.X of the suite from 3.floor on, oldest first."""
    names = apt(log, "%s-%s" % (suite, arch), suite, arch, "debian_apt_cache", "pkgnames", "python3.").split()
    found = sorted(int(n[len("python3."):]) for n in names if re.match(r"python3\.[0-9]+\Z", n))
    return ["python3.%d" % minor for minor in found if minor >= int(floor)]


def fetch_python(log, suite, target, host, packages, program=None):
    """fetched(), once a run for the same interpreter: builds side by side
    ask for the same ones (this machine's Python 3 above all), and each ask
    costs an apt call."""
    with _fetched_lock:
        entry = _fetched.setdefault((suite, target.target, tuple(packages), program), [threading.Lock(), None])
    with entry[0]:
        if entry[1] is None:
            entry[1] = fetched(log, suite, target, host, packages, program)
        return entry[1]


def fetched(log, suite, target, host, packages, program=None):
    """Debian SUITE's interpreter for target with everything it depends on,
    unpacked into .deps/py/, and the command that starts it: through the
    tree's own dynamic loader on this machine (a newer suite needs its own,
    newer C library), under qemu user mode on any other. packages: the
    interpreter's first, extras (headers, a debug flavour's library) after."""
    package, arch = packages[0], target.target
    program = program or package
    state = "%s-%s" % (suite, arch)
    version = apt(log, state, suite, arch, "debian_version_of", package)
    if not version:
        raise OSError("FETCH FAILED: Debian %s has no %s for %s any more; point the interpreter table at "
                      "another suite" % (suite, package, arch))
    wrapper = os.path.join(BIN, program if target == host else "%s-%s" % (program, arch))
    # By its physical path: a checkout whose .deps is a link to another's (the
    # README recipes' copy) finds the same trees and the same wrappers.
    os.makedirs(os.path.join(DEPS, "py"), exist_ok=True)
    root = os.path.join(os.path.realpath(os.path.join(DEPS, "py")), "%s-%s-%s-%s" % (suite, arch, package, version))
    complete = os.path.join(root, ".complete")
    if os.path.exists(wrapper) and os.path.exists(complete):
        with open(wrapper) as f:
            text = f.read()
        if root in text and FORM in text:
            return wrapper
    if not os.path.exists(complete):
        log.say("fetching %s %s (%s, %s) into %s" % (package, version, suite, arch, os.path.relpath(root, TOP)))
        shutil.rmtree(root, ignore_errors=True)
        apt(log, state, suite, arch, "debian_download_closure", os.path.join(root, "debs"), *packages)
        unpack(os.path.join(root, "debs"), root)
        standalone_headers(root)
    exe = os.path.join(root, "usr", "bin", program)
    if not os.path.exists(exe):
        raise OSError("unpacked %s has no usr/bin/%s" % (package, program))
    if target == host:
        # The loader the program names, found in the tree (links that lead
        # out of it, back to this system's, do not count).
        wanted = os.path.basename(re.search(r"Requesting program interpreter: (\S+)]",
                                            log.capture(["readelf", "-l", exe])).group(1))
        loaders = [os.path.realpath(os.path.join(d, wanted)) for d, _, names in os.walk(root) if wanted in names]
        loaders = [p for p in loaders if p.startswith(root + os.sep)]
        if not loaders:
            raise OSError("no %s in the unpacked tree" % wanted)
        libs = sorted({d for d, _, names in os.walk(root) if any(re.match(r"lib.*\.so", n) for n in names)})
        write_wrapper(wrapper, "Debian %s's %s %s, started through its own C library (%s)." % (
            suite, package, version, FORM), ["PYTHONHOME=%s/usr" % root, "export PYTHONHOME",
                                             'exec "%s" --library-path "%s" "%s" "$@"' % (loaders[0], ":".join(libs), exe)])
    else:
        # The prefix goes by the environment, so that children started as
        # "qemu sys.executable" and the target's own programs find it too.
        write_wrapper(wrapper, "Debian %s's %s %s for %s, under qemu user mode (%s)." % (
            suite, package, version, arch, FORM), [
            "PYTHONHOME=%s/usr" % root, "QEMU_LD_PREFIX=%s" % root, "export PYTHONHOME QEMU_LD_PREFIX",
            "unset LD_LIBRARY_PATH", 'exec %s "%s" "$@"' % (target.qemu, exe)])
    if os.path.exists(complete):  # only the wrapper was stale
        return wrapper
    log.run([wrapper, "-c", SMOKE])
    # Precompiled, the standard library starts several times faster under
    # qemu; the host's interpreter of the same version does it in seconds.
    if target != host and os.path.exists(os.path.join(BIN, program)):
        stdlib = log.capture([wrapper, "-c", "import os; print(os.path.dirname(os.__file__))"])
        log.say("precompiling the %s standard library" % arch)
        log.run([os.path.join(BIN, program), "-m", "compileall", "-q", stdlib], check=False)
    open(complete, "w").close()
    log.say("%s %s (%s, %s) ready: %s" % (package, version, suite, arch, os.path.relpath(wrapper, TOP)))
    return wrapper


def fetch_headers_python(log, target, host):
    """The target's first Python 3 with its headers: the one that builds its
    module (and, for this machine, checks the built files)."""
    suite, version = target.py3[0]
    return fetch_python(log, suite, target, host, ["python" + version, "libpython%s-dev" % version])


def host_python2(log, tooling, flavour="release"):
    """This machine's Python 2.7 (its release or its Py_DEBUG flavour), which
    builds and precompiles the other 2.7s: the packages alone, on this
    system's own loader."""
    name = "python2.7" + ("-dbg" if flavour == "dbg" else "")
    wrapper, root = os.path.join(BIN, name), os.path.join(DEPS, "py2-" + flavour)
    if os.path.exists(wrapper) and os.path.exists(os.path.join(root, ".complete")):
        return wrapper
    suite, arch = tooling.python2_suite, tooling.host.target
    packages = ["python2.7", "python2.7-minimal", "libpython2.7", "libpython2.7-minimal", "libpython2.7-stdlib",
                "libpython2.7-dev", "libssl1.1", "libffi7"] + (["python2.7-dbg", "libpython2.7-dbg"] * (flavour == "dbg"))
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(os.path.join(root, "debs"))
    log.say("fetching Debian %s %s into .deps/" % (suite, name))
    apt(log, "%s-%s" % (suite, arch), suite, arch, "debian_apt_download", os.path.join(root, "debs"), *packages)
    unpack(os.path.join(root, "debs"), root)
    standalone_headers(root)
    write_wrapper(wrapper, "Runs the unpacked %s from this tree." % name, [
        'root=$(cd "$(dirname "$(readlink -f "$0")")/../py2-%s" && pwd)' % flavour, "PYTHONHOME=$root/usr",
        "LD_LIBRARY_PATH=$root/usr/lib/%s${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" % tooling.host.triplet,
        "export PYTHONHOME LD_LIBRARY_PATH", 'exec "$root/usr/bin/%s" "$@"' % name])
    log.run([wrapper, "-c", SMOKE])
    open(os.path.join(root, ".complete"), "w").close()
    log.say("%s ready: .deps/bin/%s" % (name, name))
    return wrapper


def modules(log, suite, arch, packages):
    """Pure-Python packages of one suite (no dependencies pulled in: name
    them all) unpacked into .deps/modules/SUITE/; the folder for PYTHONPATH."""
    root = os.path.join(DEPS, "modules", suite)
    stamp = os.path.join(root, ".complete-" + "+".join(packages))
    if not os.path.exists(stamp):
        log.say("fetching %s (%s) into %s" % (" ".join(packages), suite, os.path.relpath(root, TOP)))
        os.makedirs(os.path.join(root, "debs"), exist_ok=True)
        apt(log, "%s-%s" % (suite, arch), suite, arch, "debian_apt_download", os.path.join(root, "debs"), *packages)
        unpack(os.path.join(root, "debs"), root)
        open(stamp, "w").close()
    return os.path.join(root, "usr", "lib", "python3", "dist-packages")


def source_tarball(log, suite, host, package):
    """The upstream tarball of SUITE's source package, downloaded once per version."""
    return apt(log, suite + "-source", suite, host.target, "debian_source_tarball", DEPS, package)


def include_dir(python):
    """The directory of an interpreter's Python.h wherever its tree was
    unpacked (its own build settings name where it was built: /usr/include)."""
    return subprocess.check_output([python, "-c", "import os, sys, sysconfig; print(os.path.join(sys.prefix, "
                                    "'include', os.path.basename(sysconfig.get_config_var('INCLUDEPY'))))"],
                                   universal_newlines=True).strip()


if __name__ == "__main__" and sys.argv[1:2] == ["include"]:
    print(include_dir(sys.argv[2]))  # for the Makefile's fuzzing build
