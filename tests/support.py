"""Shared fixtures for the quarnel suites."""
import errno
import os
import shlex
import signal
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
# The checkout's quarnel_guide unless an installed one comes first, or the
# one-file archive where QUARNEL_GUIDE_ARCHIVE names it.
ARCHIVE = os.environ.get("QUARNEL_GUIDE_ARCHIVE")
if ARCHIVE:
    sys.path.insert(0, ARCHIVE)
sys.path.append(os.path.join(os.path.dirname(HERE), "python"))

import rawpair  # noqa: E402
import quarnel  # noqa: E402
import quarnel_guide  # noqa: E402

# The path entry quarnel_guide came from, for children to import it the same way.
GUIDE_PATH = os.path.dirname(os.path.dirname(os.path.abspath(quarnel_guide.__file__)))

PY2 = sys.version_info[0] == 2
# Under an emulator or valgrind every child or run costs seconds: tests that
# make many take a sample.
SAMPLE = bool(os.environ.get("QUARNEL_EMULATED") or os.environ.get("QUARNEL_UNDER_VALGRIND"))
# The heaviest tables run whole once a build, in its first interpreter on
# the build machine; elsewhere on a sample.
WHOLE = bool(os.environ.get("QUARNEL_FIRST_PYTHON")) and not SAMPLE
TEXT = type(u"")  # unicode on Python 2, str on 3
# The errors of a print stream the module takes as the stream being gone
# (it then falls back to descriptor 1), as module/python3.cpp lists them.
STREAM_ERRNOS = (errno.EPIPE, errno.EBADF, errno.ENOSPC, errno.EIO)
# QUARNEL_MODULE_ONLY=1: the module's own tests, for runs that prove a
# built file (valgrind, debug interpreters, each wheel); the pure-Python
# tool's tests are the same code everywhere and run in every build's suite.
MODULE_ONLY = bool(os.environ.get("QUARNEL_MODULE_ONLY"))


def tool_tests(loader, tests, pattern):
    """load_tests of the tool's test files: none where MODULE_ONLY."""
    return unittest.TestSuite() if MODULE_ONLY else tests


def as_bytes(text):
    """What a text looks like on descriptor 1 (file names in the file system
    encoding, as the module writes them)."""
    if isinstance(text, bytes):
        return text
    return text.encode("utf-8") if PY2 else os.fsencode(text)


def failed_file(name):
    """The exception's filename for a failure of file `name`: Python 2's
    IOError carries none."""
    return None if PY2 else name


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def _c_fflush():
    """fflush of the C library: Python 2's sys.stdout is the C stream;
    Python 3's is not, and without PYTHONUNBUFFERED the C stream buffers
    (the module never flushes "Read error!"). Found once, at import: ctypes'
    first use opens a descriptor it keeps (3.14), which no test may count."""
    if PY2:
        return lambda: None
    import ctypes
    fflush = ctypes.CDLL(None).fflush
    fflush(None)
    return lambda: fflush(None)


flush_c_stdout = _c_fflush()


class Stdout(object):
    """Captures file descriptor 1, where the module's C stdio writes."""

    def __enter__(self):
        sys.stdout.flush()
        self._file = tempfile.TemporaryFile()
        self._saved = os.dup(1)
        os.dup2(self._file.fileno(), 1)
        return self

    def __exit__(self, *exc):
        sys.stdout.flush()
        flush_c_stdout()  # what the module left in the C stream's buffer belongs here
        os.dup2(self._saved, 1)
        os.close(self._saved)
        self._file.seek(0)
        self.text = self._file.read()
        self._file.close()
        return False


class FakeStream(object):
    """A sys.stdout stand-in. Each write does the next of `writes` (the last
    one again and again), flush does `flush`: None succeeds, an exception is
    raised, "swap" puts the real stream back in sys.stdout first (dropping
    the last reference to this one), anything else is what the call returns.
    `encoding` FakeStream.MISSING leaves the attribute out."""

    MISSING = object()

    def __init__(self, writes=(None,), flush=None, encoding="ascii"):
        self.writes, self.flush_action, self.text = list(writes), flush, []
        if encoding is not FakeStream.MISSING:
            self.encoding = encoding

    @staticmethod
    def act(action):
        if action == "swap":
            sys.stdout = sys.__stdout__
        elif isinstance(action, BaseException):
            raise action
        return action

    def write(self, text):
        result = self.act(self.writes.pop(0) if len(self.writes) > 1 else self.writes[0])
        self.text.append(text)
        return len(text) if result is None else result

    def flush(self):
        return self.act(self.flush_action)


def child_python(code, env=None):
    """Runs code in a fresh interpreter like this one; returns (status, stdout, stderr).
    The build names the command that starts it in QUARNEL_PYTHON: an
    interpreter behind a wrapper or an emulator must not be restarted as
    sys.executable."""
    command = shlex.split(os.environ.get("QUARNEL_PYTHON", "")) or [sys.executable]
    child = subprocess.Popen(command + ["-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env)
    out, err = child.communicate()
    return child.returncode, out, err


def watched_child(code, env=None, limit=60.0):
    """Runs code in a fresh interpreter whose stdout is a pipe nobody reads,
    killing it after `limit` seconds. Returns (status or None if it had to be
    killed, what it wrote on stderr)."""
    command = shlex.split(os.environ.get("QUARNEL_PYTHON", "")) or [sys.executable]
    with tempfile.TemporaryFile() as err:
        child = subprocess.Popen(command + ["-c", code], stdout=subprocess.PIPE, stderr=err, env=env)
        deadline = time.time() + limit
        while child.poll() is None and time.time() < deadline:
            time.sleep(0.05)
        status = child.poll()
        if status is None:
            child.kill()
            child.wait()
        child.stdout.close()
        err.seek(0)
        return status, err.read()


def module_path_code():
    """A line that puts the module under test first on a child's path."""
    return "import sys; sys.path[:0] = [%r]\n" % os.path.dirname(quarnel.__file__)


def forked(action):
    """Runs action() in a forked copy of this process, which ends with it."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            action()
            status = 0
        finally:
            os._exit(status)
    return pid


def reap(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except OSError:
        pass
    os.waitpid(pid, 0)


def settled_second():
    """Waits until the clock is between 50 ms and 850 ms into a second and
    returns that second. The module reads time(), the kernel's coarse clock,
    which lags time.time() by a few ms after each second boundary."""
    while True:
        now = time.time()
        fraction = now - int(now)
        if 0.05 <= fraction <= 0.85:
            return int(now)
        time.sleep(0.02)


def at_target(call, target):
    """Runs call(shift) so that now + shift == target, retrying if the clock
    ticked over a second during the call."""
    for _ in range(20):
        before = settled_second()
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

    def pair(self, entries, name="ch", keep_order=True):
        """A pair as quarnel_guide writes it, from (start, cp1251 bytes) entries."""
        quarnel_guide.write(self.stem(name), [(s, t.decode("cp1251")) for s, t in entries], keep_order=keep_order)
        return self.stem(name)

    def file(self, name, content):
        """A file of the scratch directory holding content (bytes); its path."""
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(content)
        return os.path.join(self.dir, name)

    def raw(self, index_bytes, data_bytes, name="ch"):
        return rawpair.write_raw(self.stem(name), index_bytes, data_bytes)
