"""Starts the suite: the one place that knows what a suite's environment
must hold. CTest, the leak checks, valgrind and the shipping checks all
start suites through it. Runs in Python 2.7 or 3; starts the suite in
--python (or in the command after "--", such as valgrind and the bare
interpreter), with the tests named, or all of them.

Usage: run_suite.py --python COMMAND --module-dir DIR [options] [TEST...] [-- PREFIX...]"""
import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def parse(args):
    parser = argparse.ArgumentParser(usage=__doc__.split("\n\n")[-1])
    parser.add_argument("--python", required=True, help="the command that starts the interpreter, for its children too")
    parser.add_argument("--module-dir", required=True, help="where the quarnel module under test is")
    parser.add_argument("--build-dir", help="the build folder (the without-cloexec module); default: --module-dir")
    parser.add_argument("--machine", help="platform.machine() the suite must find itself on")
    parser.add_argument("--depth", help="recursion levels through C at which every call must still work")
    parser.add_argument("--emulated", default="", help="the emulator the interpreter runs under, if any")
    parser.add_argument("--shim", help="the interrupting shim preloaded by the interrupted-call test")
    parser.add_argument("--properties", help="where Hypothesis is: the property tests must run")
    parser.add_argument("--archive", help="quarnel-guide.pyz, for the archive's checks")
    parser.add_argument("--first", action="store_true", help="the build's first interpreter: heavy tables in full")
    parser.add_argument("--module-only", action="store_true", help="the module's tests alone, not the tool's")
    parser.add_argument("--under-valgrind", action="store_true", help="started under valgrind: sample the heavy tables")
    parser.add_argument("--env", action="append", default=[], metavar="NAME=VALUE",
                        help="one more variable for the interpreter's own start (PYTHONHOME...)")
    parser.add_argument("tests", nargs="*", help="test names; default: every test_*.py")
    prefix = []
    if "--" in args:
        args, prefix = args[:args.index("--")], args[args.index("--") + 1:]
    return parser.parse_args(args), prefix


def environment(options, base):
    env = dict(base)
    path = [os.path.abspath(options.module_dir)] + ([options.properties] if options.properties else [])
    env.update(PYTHONPATH=os.pathsep.join(path), QUARNEL_PYTHON=options.python,
               QUARNEL_BUILD_DIR=os.path.abspath(options.build_dir or options.module_dir),
               QUARNEL_EMULATED=options.emulated)
    for flag, name in ((options.first, "QUARNEL_FIRST_PYTHON"), (options.module_only, "QUARNEL_MODULE_ONLY"),
                       (options.under_valgrind, "QUARNEL_UNDER_VALGRIND"),
                       (options.properties, "QUARNEL_PROPERTIES_REQUIRED")):
        if flag:
            env[name] = "1"
    for value, name in ((options.machine, "QUARNEL_EXPECT_MACHINE"), (options.depth, "QUARNEL_STACK_DEPTH"),
                        (options.shim, "QUARNEL_EINTR_SHIM"), (options.archive, "QUARNEL_GUIDE_ARCHIVE")):
        if value:
            env[name] = value
    for pair in options.env:
        name, _, value = pair.partition("=")
        env[name] = value
    return env


def main(args):
    options, prefix = parse(args)
    # 2.7's unittest takes "discover" first or not at all.
    which = ["-m", "unittest"] + (["-v"] + options.tests if options.tests else
                                  ["discover", "-v", "-s", HERE, "-p", "test_*.py"])
    command = (prefix or [options.python]) + which
    sys.stdout.flush()
    return subprocess.call(command, cwd=HERE, env=environment(options, os.environ))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
