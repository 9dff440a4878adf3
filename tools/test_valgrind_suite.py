"""valgrind_suite.py fails when the suite under valgrind fails, though
valgrind itself finds nothing: a stand-in valgrind that reports no error
and runs its program, over a build folder with and without the module.
Run by make check and make test, after the host's Python 2 build."""
import os
import subprocess
import sys
import tempfile
import unittest

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STAND_IN = """#!/bin/sh
# Logs a clean summary where --log-file says, then runs the program.
for arg; do
    case $arg in
        --log-file=*) echo "==1== ERROR SUMMARY: 0 errors from 0 contexts" >"${arg#--log-file=}"; shift ;;
        -*) shift ;;
        *) break ;;
    esac
done
exec "$@"
"""


class StandInTest(unittest.TestCase):

    def test_the_suite_counts(self):
        build = os.path.join(TOP, "build")
        python = os.path.join(TOP, ".deps", "bin", "python2.7")
        with tempfile.TemporaryDirectory() as scratch:
            with open(os.path.join(scratch, "valgrind"), "w") as f:
                f.write(STAND_IN)
            os.chmod(os.path.join(scratch, "valgrind"), 0o755)
            empty = os.path.join(scratch, "build")
            os.mkdir(empty)
            env = dict(os.environ, PATH=scratch + os.pathsep + os.environ["PATH"])
            for folder, status in ((build, 0), (empty, 1)):  # the module's build; a folder without it
                done = subprocess.run([sys.executable, os.path.join(TOP, "tools", "valgrind_suite.py"), folder, python,
                                       os.devnull],
                                      env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                      universal_newlines=True)
                self.assertEqual(done.returncode, status, done.stdout[-2000:])


if __name__ == "__main__":
    unittest.main()
