"""run_targets.py's rows come from ctest's results joined with their labels:
a build passes only when each suite and its leak loop passed and every test
carries a kind the summary shows. Run by make check and make test."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_targets  # noqa: E402
import targets  # noqa: E402

SUITE = {"kind": "suite", "interpreter": "python2.7"}
LEAK = {"kind": "leak-loop", "interpreter": "python2.7"}
FILES = {"kind": "file-checks"}


class RowsTest(unittest.TestCase):

    def test_rows(self):
        cases = [  # (ctest's status, its results with their labels, whether the build passes)
            (0, [("s", "Passed", SUITE), ("l", "Passed", LEAK), ("f", "Passed", FILES)], True),
            (8, [("s", "Failed", SUITE), ("l", "Passed", LEAK), ("f", "Passed", FILES)], False),
            (0, [("s", "Passed", {}), ("l", "Passed", LEAK), ("f", "Passed", FILES)], False),  # a label lost
            (0, [("l", "Passed", LEAK), ("f", "Passed", FILES)], False),  # no suite at all
            (0, [("s", "Passed", SUITE), ("f", "Passed", FILES)], False),  # no leak loop beside the suite
            (0, [], False),
        ]
        # A row of its own: the table itself is read by its own test alone.
        host = targets.Target.from_fields("amd64 x86_64-linux-gnu - - 64/le/62 2.14 linux_x86_64 - bookworm:3.11 20".split())
        saved = run_targets.builder.build, run_targets.run, run_targets.results
        with tempfile.TemporaryDirectory() as build:
            open(os.path.join(build, "ctest-junit.xml"), "w").close()
            try:
                run_targets.builder.build = lambda *args, **kwargs: None
                for status, found, passes in cases:
                    run_targets.run = lambda *args, **kwargs: status
                    run_targets.results = lambda *args: found
                    rows = run_targets.test_build(None, host, "2", build, [])
                    self.assertEqual(not run_targets.failed(rows), passes, (found, rows))
            finally:
                run_targets.builder.build, run_targets.run, run_targets.results = saved


if __name__ == "__main__":
    unittest.main()
