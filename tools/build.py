"""Builds the module for one target of targets.txt and one Python, after
making sure the interpreters it is tested in are in .deps/ (fetched from
Debian or cross-built once from Debian's source); or one target's wheel the
way image recipes cross-build Python extensions. The first interpreter of
a column gives the headers; the build's tests run in all of them.

Usage: build.py TARGET 2|3 BUILD_DIR [CMAKE ARGS...]   (TARGET "host": this machine)
       build.py --wheel [TARGET...]                   dist/quarnel-<version>-cp38-abi3-<tag>.whl
                                                      (default: every target)
QUARNEL_FIRST_ONLY=1: the first interpreter of the column only, and no
Hypothesis (what make demo runs, fetched and built in well under a minute)."""
import hashlib
import os
import shutil
import sys
import tarfile

import debian
import targets
from runner import CommandFailed, Log, run

TOP = debian.TOP
SETUP_LOCAL = os.path.join(TOP, "tools", "python2-setup.local")
PROPERTY_MODULES = ["python3-hypothesis", "python3-attr", "python3-sortedcontainers", "python3-exceptiongroup"]


def system_packages(log, table, rows):
    """What the builds of these targets run here, installed first and at
    once: apt installs one thing at a time."""
    needs = ["cmake:cmake", "g++:g++", "make:make", "gcc:gcc", "readelf:binutils", "dpkg-architecture:dpkg-dev",
             "apt-get:apt", "dpkg:dpkg", "flock:util-linux"]
    for target in rows:
        if target != table.host:
            needs += ["%s-g++:g++-%s" % (target.triplet, target.triplet), "%s:qemu-user-static" % target.qemu]
    debian.need(log, *sorted(set(needs)))


def python2_from_source(log, tooling, target, suite, width):
    """Python 2.7 from SUITE's python2.7 source package for target (cross-
    built, run under qemu) or for this machine: where the suite has no
    binary for the target (mipsel), and in the 2-byte unicode flavour box
    images may have and Debian does not. Kept by source version, width and
    recipe; wrapped as python2.7-<target> (4-byte) or python2.7-ucs2[-<target>]."""
    host = tooling.host
    build_python = debian.host_python2(log, tooling)
    # The host's 2-byte build has no suffix: python2.7 alone is Debian's.
    name = "python2.7-" + target.target if width == "ucs4" else \
        "python2.7-ucs2" + ("" if target == host else "-" + target.target)
    wrapper = os.path.join(debian.BIN, name)
    version = debian.apt(log, suite + "-source", suite, host.target, "debian_source_version", "python2.7")
    prefix = os.path.join(debian.DEPS, "py2-%s-%s-%s" % (target.target, width, version))
    configure = ["--prefix=/usr", "--enable-unicode=" + width, "--disable-ipv6", "--without-ensurepip"]
    with open(SETUP_LOCAL, "rb") as f:
        recipe = hashlib.sha1(f.read() + " ".join(configure).encode()).hexdigest()
    complete = os.path.join(prefix, ".complete")
    if os.path.exists(wrapper) and os.path.exists(complete) and open(complete).read().strip() == recipe:
        return wrapper
    src = os.path.join(debian.DEPS, "src-%s-%s" % (target.target, width))
    shutil.rmtree(src, ignore_errors=True)
    shutil.rmtree(prefix, ignore_errors=True)
    os.makedirs(os.path.join(src, "bz2", "debs"))
    tarball = debian.source_tarball(log, suite, host, "python2.7")
    # bz2 links libbz2 for the target statically, as a box's Python has the
    # module: from this machine's release, that of its cross toolchain and C
    # library (older archives no longer carry mipsel).
    debian.apt(log, "%s-%s" % (tooling.suite, target.target), tooling.suite, target.target, "debian_apt_download",
               os.path.join(src, "bz2", "debs"), "libbz2-dev")
    debian.unpack(os.path.join(src, "bz2", "debs"), os.path.join(src, "bz2"))
    bz2 = os.path.join(src, "bz2", "usr")
    log.say("building Python 2.7 %s (%s) for %s (about a minute)" % (version, width, target.target))
    with tarfile.open(tarball) as f:
        f.extractall(src)
    tree = [os.path.join(src, d) for d in os.listdir(src) if d.startswith("Python-2.7")][0]
    with open(SETUP_LOCAL) as f, open(os.path.join(tree, "Modules", "Setup.local"), "w") as out:
        out.write(f.read() + "bz2 bz2module.c -I%s/include %s/lib/%s/libbz2.a\n" % (bz2, bz2, target.triplet))
    # The build interpreter must be found as python2.7 on PATH.
    os.makedirs(os.path.join(src, "hostbin"))
    os.symlink(build_python, os.path.join(src, "hostbin", "python2.7"))
    env = dict(os.environ, PATH=os.path.join(src, "hostbin") + os.pathsep + os.environ["PATH"], CFLAGS=target.cflags)
    if target != host:
        # Facts configure cannot probe on a foreign machine.
        with open(os.path.join(src, "config.site"), "w") as f:
            f.write("ac_cv_file__dev_ptmx=no\nac_cv_file__dev_ptc=no\nac_cv_buggy_getaddrinfo=no\n")
        env["CONFIG_SITE"] = os.path.join(src, "config.site")
        configure += ["--host=" + target.triplet,
                      "--build=" + log.capture(["dpkg-architecture", "-qDEB_BUILD_GNU_TYPE"])]
    # The compiler's lines go to a log of their own, shown in part on failure.
    quiet = os.path.join(debian.DEPS, "py2-%s-%s-build.log" % (target.target, width))
    open(quiet, "w").close()
    for step in (["./configure", "-q"] + configure, ["make", "-j%d" % os.cpu_count()],
                 ["make", "install", "DESTDIR=" + prefix]):
        try:
            run(step, quiet, cwd=tree, env=env)
        except CommandFailed:
            with open(quiet) as f:
                log.say("".join(f.readlines()[-40:]).rstrip())
            raise
    shutil.rmtree(src)
    start = 'exec "$root/usr/bin/python2.7" "$@"'
    if target != host:
        start = "QEMU_LD_PREFIX=/usr/%s %s" % (target.triplet, start.replace("exec", "exec " + target.qemu, 1))
    debian.write_wrapper(wrapper, "Runs the %s %s Python 2.7 built here." % (target.target, width), [
        'root=$(cd "$(dirname "$(readlink -f "$0")")/../%s" && pwd)' % os.path.basename(prefix),
        "PYTHONHOME=$root/usr", "export PYTHONHOME", "unset LD_LIBRARY_PATH", start])
    log.run([wrapper, "-c", "import bz2, xml.etree.cElementTree, zlib; " + debian.SMOKE])
    with open(complete, "w") as f:
        f.write(recipe + "\n")
    log.say("%s python2.7 %s (%s) ready: %s" % (target.target, version, width, os.path.relpath(wrapper, TOP)))
    return wrapper


def interpreters(log, table, target, major, first_only):
    """The commands of the interpreters a build is tested in, the first
    giving the headers."""
    tooling, host = table.tooling(), table.host
    found = []
    if major == "2":
        debian.host_python2(log, tooling)  # builds the ones made here and precompiles the others
        for suite, kind in target.py2[:1] if first_only else target.py2:
            if kind == "binary":
                found.append(os.path.join(debian.BIN, "python2.7") if target == host else debian.fetch_python(
                    log, suite, target, host, ["python2.7", "libpython2.7-dev"]))
            else:
                found.append(python2_from_source(log, tooling, target, suite, kind))
        return found
    found.append(debian.fetch_headers_python(log, target, host))
    for suite, version in [] if first_only else target.py3[1:]:
        names = debian.python3_names(log, suite, target.target, version[2:-1]) if version.endswith("+") \
            else ["python" + version]
        if not names:
            raise OSError("FETCH FAILED: Debian %s has no python%s" % (suite, version))
        found += [debian.fetch_python(log, suite, target, host, [name]) for name in names]
    return found


def build(log, table, target, major, build_dir, cmake_args=(), first_only=False):
    """Fetches, configures and builds one build directory."""
    host, tooling = table.host, table.tooling()
    # The host's first Python 3 of the table checks every built file; fetched
    # first, it also precompiles the emulated targets' standard libraries.
    host_python = debian.fetch_headers_python(log, host, host)
    pythons = interpreters(log, table, target, major, first_only)
    if not pythons:
        raise OSError("targets.txt gives %s no Python %s" % (target.target, major))
    # Hypothesis for the property tests, in this machine's Python 3.
    properties = ""
    if target == host and major == "3" and not first_only:
        properties = debian.modules(log, tooling.suite, host.target, PROPERTY_MODULES)
    cross = [] if target == host else ["-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(TOP, "cmake", "cross.cmake")]
    # A directory configured for another target or toolchain starts afresh.
    stamp = "%s %s %s" % (target.target, major, " ".join(cross) or "native")
    stamp_file = os.path.join(build_dir, ".configured-for")
    if os.path.exists(os.path.join(build_dir, "CMakeCache.txt")) and (
            not os.path.exists(stamp_file) or open(stamp_file).read().strip() != stamp):
        shutil.rmtree(build_dir)
    os.makedirs(build_dir, exist_ok=True)
    with open(stamp_file, "w") as f:
        f.write(stamp + "\n")
    # What the test and bench scripts run: a command a line, the first giving the headers.
    with open(os.path.join(build_dir, "interpreters.txt"), "w") as f:
        f.write("".join(p + "\n" for p in pythons))
    run(["cmake", "-S", TOP, "-B", build_dir] + cross + targets.cmake_definitions(target) + [
        "-DQUARNEL_PYTHON=" + major, "-DQUARNEL_PYTHON_INCLUDE_DIR=" + debian.include_dir(pythons[0]),
        "-DQUARNEL_TEST_PYTHONS=" + ";".join(pythons), "-DQUARNEL_HOST_PYTHON=" + host_python,
        "-DQUARNEL_CONFIGURE_PYTHON=" + sys.executable,
        "-DQUARNEL_EXPECT_MACHINE=" + target.machine(), "-DQUARNEL_PROPERTY_PATH=" + properties] + list(cmake_args),
        log.path)  # its findings stay in the log
    log.run(["cmake", "--build", build_dir, "-j%d" % os.cpu_count()])
    return pythons


def wheel_name(target, version):
    return "quarnel-%s-cp38-abi3-%s.whl" % (version, target.wheel)


def wheel(log, table, target):
    """dist/quarnel-<version>-cp38-abi3-<tag>.whl: setuptools run by this
    machine's Debian Python 3 with the target's own build settings, from its
    fetched Debian tree, tagged with the table's platform tag."""
    python = debian.fetch_headers_python(log, target, table.host)
    stdlib = log.capture([python, "-c", "import os; print(os.path.dirname(os.__file__))"])
    version = open(os.path.join(TOP, "VERSION")).read().strip()
    path = os.path.join(TOP, "dist", wheel_name(target, version))
    log.say("building " + os.path.basename(path))
    if os.path.exists(path):
        os.remove(path)
    tool = target.triplet + "-"
    env = dict(os.environ, _PYTHON_SYSCONFIGDATA_NAME="_sysconfigdata__" + target.triplet, PYTHONPATH=stdlib,
               _PYTHON_HOST_PLATFORM="linux-" + target.machine(), CC=tool + "gcc", CXX=tool + "g++",
               LDSHARED=tool + "gcc -shared", CFLAGS=("-I%s %s" % (debian.include_dir(python), target.cflags)).strip())
    log.run([table.tooling().system_python3(), "setup.py", "-q", "build", "-b", "build-wheel-" + target.target,
             "bdist_wheel", "--plat-name", target.wheel, "-d", "dist"], cwd=TOP, env=env)
    if not os.path.exists(path):
        raise OSError("no %s was made" % path)
    return path


def main(args):
    if args[:1] != ["--wheel"] and (len(args) < 3 or args[1] not in ("2", "3")):
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    wheels = args[0] == "--wheel"
    log = Log(os.devnull, echo=lambda line: True)
    if wheels:  # standard output is the wheels' paths; setuptools' chatter goes to a log
        os.makedirs(os.path.join(TOP, "dist"), exist_ok=True)
        log = Log(os.path.join(TOP, "dist", "wheels.log"))
        open(log.path, "w").close()
    try:
        table = targets.load()
        rows = ([table.find(name) for name in args[1:]] or list(table.targets)) if wheels else [table.find(args[0])]
        system_packages(log, table, rows)
        if wheels:
            debian.need(log, "-:python3-setuptools", "-:python3-wheel")
            for target in rows:
                print(wheel(log, table, target))
        else:
            build(log, table, rows[0], args[1], os.path.abspath(args[2]), args[3:],
                  first_only=bool(os.environ.get("QUARNEL_FIRST_ONLY")))
    except (CommandFailed, OSError, targets.TableError) as error:
        sys.stderr.write("%s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
