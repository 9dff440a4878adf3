"""The module's suite under valgrind memcheck in one interpreter, then its log read:
fails if any error or definite leak has the module in its stack (the
interpreter's own, suppressed by CPython's file or not, do not count).
Usage: valgrind_suite.py BUILD_DIR PYTHON_COMMAND SUPPRESSIONS
SUPPRESSIONS: a file of valgrind suppressions, or CPython's source tarball
to take Misc/valgrind-python.supp from."""
import os
import re
import subprocess
import sys
import tarfile

from runner import run

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# A frame is the module's when it is in any build of it (quarnel.so,
# quarnel_d.so, quarnel.abi3.so, quarnel.cpython-311d-<triplet>.so) or names
# one of its source files, with or without a directory.
SOURCES = sorted(name for folder in ("guide", "module") for name in os.listdir(os.path.join(TOP, folder)))
MODULE_FRAME = re.compile(r"\bquarnel(_d)?(\.abi3|\.cpython-[\w-]+)?\.so\b|[(/](%s):\d+\)"
                          % "|".join(re.escape(name) for name in SOURCES))
HEAD = re.compile(r"^==\d+== (\S.*)$")
FRAME = re.compile(r"^==\d+==\s+(at|by) ")


def blocks(lines):
    """Each error's heading and its own stack; the stacks of the block it
    touched ("Address ... free'd at") are left out: pymalloc reads freed
    blocks by design, so they would blame whoever freed them last."""
    block = []
    open_stack = False
    for line in lines:
        if HEAD.match(line):
            if block:
                yield block
            block = [line]
            open_stack = True
        elif FRAME.match(line) and open_stack:
            block.append(line)
        else:
            open_stack = False
    if block:
        yield block


def suppressions(build, tarball):
    """CPython's own valgrind suppressions, from the 2.7 source package."""
    supp = os.path.join(build, "valgrind-python.supp")
    text = subprocess.check_output(["tar", "-xOf", tarball, "--wildcards", "*/Misc/valgrind-python.supp"])
    with open(supp, "wb") as f:
        f.write(re.sub(rb"(?m)^###([{}]|   )", rb"\1", text))
    return supp


def run_suite(build, python, supp):
    """The interpreter itself under valgrind (not its wrapper), as the wrapper
    would start it; the suite through its launcher."""
    build = os.path.abspath(build)
    asked = "import os, sys; print(sys.executable); print(sys.prefix); print(os.environ.get('LD_LIBRARY_PATH', ''))"
    exe, home, libs = (subprocess.check_output([python, "-c", asked]).decode().split("\n") + [""])[:3]
    log = os.path.join(build, "valgrind.log")
    print("valgrind memcheck over the suite (log: %s)" % log)
    sys.stdout.flush()
    valgrind = ["valgrind", "--tool=memcheck", "--suppressions=" + supp, "--leak-check=full",
                "--child-silent-after-fork=yes", "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite",
                "--num-callers=40", "--log-file=" + log, exe]
    said = os.path.join(build, "valgrind-suite.log")
    open(said, "w").close()
    status = run([sys.executable, os.path.join(TOP, "tests", "run_suite.py"), "--python", python, "--module-dir", build,
                  "--module-only", "--under-valgrind", "--shim", os.path.join(build, "tests", "eintr_shim.so"),
                  "--env", "PYTHONHOME=" + home, "--env", "LD_LIBRARY_PATH=" + libs, "--"] + valgrind,
                 said, check=False)
    with open(said) as f:
        print("".join(f.readlines()[-3:]).rstrip())  # the suite's own verdict
    return log, status


def main(path, suite_status=0):
    with open(path) as f:
        lines = f.read().splitlines()
    summary = [l for l in lines if "ERROR SUMMARY" in l]
    ours = [b for b in blocks(lines) if len(b) > 1 and any(MODULE_FRAME.search(l) for l in b[1:])]
    for block in ours:
        print("\n".join(block))
        print("")
    print(summary[-1] if summary else "no ERROR SUMMARY in %s" % path)
    print("valgrind: errors through the module: %d" % len(ours))
    failed = bool(ours or not summary or suite_status)  # a suite that failed under valgrind proves nothing
    print("valgrind: %d passed, %d failed" % (0 if failed else 1, 1 if failed else 0))
    return 1 if failed else 0


if __name__ == "__main__":
    build, python, supp = sys.argv[1:4]
    if tarfile.is_tarfile(supp):
        supp = suppressions(build, supp)
    sys.exit(main(*run_suite(build, python, supp)))
