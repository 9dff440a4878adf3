"""Shared fixtures for the quarnel suites (Python 2.7)."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))

import guidepair  # noqa: E402
import quarnel  # noqa: E402


def open_fds():
    return len(os.listdir("/proc/self/fd"))


class Stdout(object):
    """Captures file descriptor 1, where the module's C stdio writes."""

    def __enter__(self):
        sys.stdout.flush()
        self._file = tempfile.TemporaryFile()
        self._saved = os.dup(1)
        os.dup2(self._file.fileno(), 1)
        return self

    def __exit__(self, *exc):
        sys.stdout.flush()  # the same C stream, so this flushes the module's output too
        os.dup2(self._saved, 1)
        os.close(self._saved)
        self._file.seek(0)
        self.text = self._file.read()
        self._file.close()
        return False


def child_python(code):
    """Runs code in a fresh interpreter like this one; returns (status, stdout, stderr).
    QUARNEL_EMULATOR names a program to start it through (no binfmt there)."""
    argv = os.environ.get("QUARNEL_EMULATOR", "").split() + [sys.executable, "-c", code]
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate()
    return child.returncode, out, err


def at_target(call, target):
    """Runs call(shift) so that now + shift == target, retrying if the clock
    ticked over a second during the call."""
    for _ in range(20):
        before = int(time.time())
        result = call(target - before)
        if int(time.time()) == before:
            return result
    raise AssertionError("clock would not hold still for one call")


class GuideCase(unittest.TestCase):
    """Gives each test a scratch directory and checks no descriptor leaks."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quarnel-")
        self.fds = open_fds()

    def tearDown(self):
        shutil.rmtree(self.dir)
        self.assertEqual(open_fds(), self.fds, "descriptor leaked")

    def stem(self, name="ch"):
        return os.path.join(self.dir, name)

    def pair(self, entries, name="ch", **kwargs):
        return guidepair.write(self.stem(name), entries, **kwargs)

    def raw(self, index_bytes, data_bytes, name="ch"):
        return guidepair.write_raw(self.stem(name), index_bytes, data_bytes)
