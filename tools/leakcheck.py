"""Reference and descriptor counts over thousands of calls on every path under
Debian's debug interpreters (each looks for a module name of its own), then
the suites of this machine's builds under valgrind memcheck. The debug
interpreters are this machine's first Python 2.7 and 3 of targets.txt, in
their Py_DEBUG flavours.
Usage: leakcheck.py ITERATIONS   (after make build build-py3)"""
import os
import sys

import debian
import targets
from runner import CommandFailed, Log

TOP = debian.TOP


def debug_build(log, host, build, python, major, suffix, iterations):
    log.run(["cmake", "-S", TOP, "-B", build] + targets.cmake_definitions(host) + [
        "-DQUARNEL_PYTHON=" + major, "-DQUARNEL_PYTHON_INCLUDE_DIR=" + debian.include_dir(python),
        "-DCMAKE_BUILD_TYPE=Debug", "-DBUILD_TESTING=OFF", "-DQUARNEL_MODULE_SUFFIX=" + suffix,
        "-DQUARNEL_CONFIGURE_PYTHON=" + sys.executable])
    log.run(["cmake", "--build", build, "-j%d" % os.cpu_count()])
    log.run([python, os.path.join(TOP, "tests", "leak_loop.py"), build, str(iterations)])
    # A debug interpreter's assertions catch what a release one lets pass
    # (an error set while another is pending).
    log.run([sys.executable, os.path.join(TOP, "tests", "run_suite.py"), "--python", python, "--module-dir", build,
             "--module-only", "--shim", os.path.join(TOP, "build", "tests", "eintr_shim.so")])


def main(iterations):
    table = targets.load()
    host, tooling = table.host, table.tooling()
    log = Log(os.devnull, echo=lambda line: True)
    try:
        debian.need(log, "valgrind:valgrind")
        python2 = debian.host_python2(log, tooling, "dbg")
        debug_build(log, host, os.path.join(TOP, "build-dbg"), python2, "2", "_d.so", iterations)
        version = tooling.python3
        python3 = debian.fetch_python(log, tooling.suite, host, host, [
            "python%s-dbg" % version, "libpython%s-dbg" % version, "libpython%s-dev" % version], "python%sd" % version)
        suffix = log.capture([python3, "-c", "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"])
        debug_build(log, host, os.path.join(TOP, "build-dbg-py3"), python3, "3", suffix, iterations)
        tarball = debian.source_tarball(log, tooling.python2_suite, host, "python2.7")
        for major in ("2", "3"):
            build = os.path.join(TOP, host.build_dir(major, host.target))
            with open(os.path.join(build, "interpreters.txt")) as f:
                python = f.readline().strip()
            log.run([sys.executable, os.path.join(TOP, "tools", "valgrind_suite.py"), build, python, tarball])
    except (CommandFailed, OSError) as error:
        sys.stderr.write("%s\n" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(int(sys.argv[1])))
