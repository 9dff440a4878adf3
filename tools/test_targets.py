"""The table's one reader refuses a broken row at once, naming its line and
column; the real table loads. Run by make check and make test."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import targets  # noqa: E402


class TableTest(unittest.TestCase):

    def test_broken_rows_are_named(self):
        with open(targets.TABLE) as f:
            lines = f.read().splitlines()
        row = [i for i, line in enumerate(lines) if line.startswith("mipsel ")][0]
        cases = [  # (how the mipsel row is broken, words the error must hold)
            (lambda r: r.rsplit(None, 1)[0], ["line %d (target mipsel)" % (row + 1), "the column depth is missing"]),
            (lambda r: r.replace("bookworm:3.11", "bookwrom:3.11"), ["column py3", "unknown suite 'bookwrom'"]),
            (lambda r: r.replace("bullseye:source", "bullseye:ucs3"), ["column py2"]),
            (lambda r: r.replace("32/le/8", "32/middle/8"), ["column elf"]),
            (lambda r: r.replace("linux_mips", "manylinux_2_17_mips.manylinux2014_mipsel"), ["column wheel"]),
            (lambda r: r.replace("bookworm:3.11", "sid:3.14+"), ["column py3", "the first one exact"]),
            (lambda r: r.replace("mipsel    mipsel-linux-gnu", "amd64     mipsel-linux-gnu"), ["a second row for amd64"]),
            (lambda r: r + " 20", ["line %d (target mipsel)" % (row + 1), "one too many"]),
            (lambda r: r.replace("bullseye:source", "bulseye:source"), ["column py2", "unknown suite 'bulseye'"]),
        ]
        for broken, words in cases:
            table = list(lines)
            table[row] = broken(table[row])
            with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:
                f.write("\n".join(table) + "\n")
                f.flush()
                with self.assertRaises(targets.TableError) as caught:
                    targets.load(f.name)
            for word in words:
                self.assertIn(word, str(caught.exception))
        self.assertEqual([t.target for t in targets.load().targets][:2], ["amd64", "mipsel"])
        with tempfile.NamedTemporaryFile("w", suffix=".txt") as f:  # comments may be indented
            f.write("\n".join(lines[:row] + ["  # an indented comment"] + lines[row:]) + "\n")
            f.flush()
            self.assertEqual(targets.load(f.name), targets.load())

    def test_tooling_is_the_running_python(self):
        # The Makefile names the tooling's interpreter once; the host's row must agree.
        tooling = targets.load().tooling()
        self.assertEqual(tooling.python3, "%d.%d" % sys.version_info[:2])
        self.assertTrue(os.path.samefile(tooling.system_python3(), sys.executable))
        self.assertIn(tooling.suite, targets.SUITES)


if __name__ == "__main__":
    unittest.main()
