"""Guide files that deliver slowly, cannot seek, or never deliver at all:
exact data through short and interrupted reads, and signal handlers that
end a blocked call."""
import errno
import fcntl
import os
import signal
import time
import unittest

from support import (GuideCase, Stdout, child_python, forked, rawpair, module_path_code, open_fds,
                     quarnel, reap)

ENTRIES = [(1700000000 + 60 * i, b"\xcf\xf0\xee\xe3\xf0 %d" % i) for i in range(30)]
EXPECTED = tuple((s, t.decode("cp1251")) for s, t in ENTRIES)
INDEX, DATA = rawpair.build(ENTRIES)
# Generous: a broken module hangs until the watchdog feeds it; a sound one
# answers within a few hundred milliseconds even under valgrind or qemu.
PROMPT = 10.0


class Alarm(Exception):
    pass


def raise_alarm(*_):
    raise Alarm()


def ignore(*_):
    pass


class FifoCase(GuideCase):

    def setUp(self):
        GuideCase.setUp(self)
        self.saved = {sig: signal.getsignal(sig) for sig in (signal.SIGALRM, signal.SIGINT)}
        # A suite started from a background job begins with SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        self.children = []

    def tearDown(self):
        signal.setitimer(signal.ITIMER_REAL, 0)
        for sig, handler in self.saved.items():
            signal.signal(sig, handler)
        for pid in self.children:
            reap(pid)
        GuideCase.tearDown(self)

    def fifo(self, suffix, name="ch"):
        path = self.stem(name) + suffix
        os.mkfifo(path)
        return path

    def child(self, action):
        self.children.append(forked(action))


def feed(path, content, chunk, pause, delay=0.0):
    """A writer that opens the FIFO, waits, then writes chunk bytes at a time."""
    def run():
        fd = os.open(path, os.O_WRONLY)
        time.sleep(delay)
        for i in range(0, len(content), chunk):
            os.write(fd, content[i:i + chunk])
            time.sleep(pause)
        os.close(fd)
    return run


class SlowFileTest(FifoCase):

    def test_exact_data_through_slow_index(self):
        cases = [
            ("three bytes at a time", 3, 0.001, None),
            ("late, under a timer signal every 3 ms", len(INDEX), 0, 0.003),
            ("in pieces, under a timer signal", 7, 0.004, 0.002),
        ]
        for name, chunk, pause, tick in cases:
            index = self.fifo(".ndx")
            self.raw(None, DATA)
            self.child(feed(index, INDEX, chunk, pause, delay=0.2))
            if tick:
                signal.signal(signal.SIGALRM, ignore)
                signal.setitimer(signal.ITIMER_REAL, tick, tick)
            with Stdout() as out:
                result = quarnel.read(self.stem())
            signal.setitimer(signal.ITIMER_REAL, 0)
            self.assertEqual(result, EXPECTED, name)
            self.assertEqual(out.text, b"", name)
            os.remove(index)

    def test_data_file_that_cannot_seek(self):
        self.raw(INDEX, None)
        data = self.fifo(".pdt")
        writer = os.open(data, os.O_RDWR)  # so the module's open does not wait
        try:
            for call in (lambda: quarnel.read(self.stem()), lambda: quarnel.current(self.stem(), 0)):
                with Stdout() as out:
                    with self.assertRaises(IOError) as caught:
                        call()
                self.assertEqual(out.text, b"Read error!\n")
                self.assertEqual(caught.exception.errno, errno.ESPIPE)
        finally:
            os.close(writer)


class UnseekableIndexTest(FifoCase):
    """An index file that cannot seek: read goes through it in order, and
    every positioning current makes fails, the last one included."""

    def test_index_that_cannot_seek(self):
        cases = [
            (quarnel.read, (), 5, None),
            (quarnel.current, (0,), 0, errno.ESPIPE),
            (quarnel.current, (0,), 2, errno.ESPIPE),
            (quarnel.current, (0,), 5, errno.ESPIPE),
            (quarnel.between, (0, 2 ** 31 - 1), 0, None),
            (quarnel.between, (0, 2 ** 31 - 1), 1, errno.ESPIPE),
        ]
        for method, args, n, error in cases:
            index, data = rawpair.build(ENTRIES[:n])
            self.raw(None, data)
            path = self.fifo(".ndx")
            writer = os.open(path, os.O_RDWR)  # holds the bytes; the open does not wait
            os.write(writer, index)
            fds = open_fds()
            with Stdout() as out:
                try:
                    result = method(self.stem(), *args)
                except IOError as e:
                    result = e.errno
            self.assertEqual(open_fds(), fds, (method, n))
            os.close(writer)
            os.remove(path)
            if error:
                self.assertEqual((result, out.text), (error, b"Read error!\n"), (method, n))
            else:
                self.assertEqual((result, out.text), (EXPECTED[:n], b""), (method, n))


class InterruptedCallTest(GuideCase):
    """A preloaded shim makes every read and positioning of a guide file
    fail once with EINTR: each is made again, and the results are exact."""

    def test_every_file_call_interrupted_once(self):
        shim = os.environ.get("QUARNEL_EINTR_SHIM")
        if not shim:
            self.skipTest("QUARNEL_EINTR_SHIM not set")
        self.pair(ENTRIES)
        code = module_path_code() + (
            "import os, quarnel\n"
            "fd = os.open(%r, os.O_RDONLY)\n"
            "try:\n"
            "    os.lseek(fd, 0, 0)\n"
            "    shim = 'not interrupting'\n"
            "except OSError:\n"
            "    shim = 'interrupting'\n"
            "os.close(fd)\n"
            "out = [shim, quarnel.read(%r), quarnel.current(%r, -10 ** 9), quarnel.between(%r, %d, %d)]\n"
            "sys.stderr.write('\\n' + repr(out))\n") % (self.stem() + ".ndx", self.stem(), self.stem(),
                                                     self.stem(), ENTRIES[3][0], ENTRIES[7][0])
        status, out, err = child_python(code, env=dict(os.environ, LD_PRELOAD=shim))
        self.assertEqual(status, 0, err)
        expected = repr(["interrupting", EXPECTED, EXPECTED[:3], EXPECTED[3:7]])
        self.assertEqual(err.decode("utf-8").splitlines()[-1], expected)
        self.assertEqual(out, b"")


class BlockedCallTest(FifoCase):
    """A call blocked in open (no writer) or read (a writer that says
    nothing) ends with the exception of the signal handler that ran."""

    def blocked(self, where):
        index = self.fifo(".ndx")
        self.raw(None, DATA)
        writer = os.open(index, os.O_RDWR) if where == "read" else None
        return index, writer

    def test_signal_ends_blocked_call(self):
        methods = [("read", lambda: quarnel.read(self.stem())),
                   ("current", lambda: quarnel.current(self.stem(), 0)),
                   ("between", lambda: quarnel.between(self.stem(), 0, 2 ** 31 - 1))]
        for where in ("open", "read"):
            for sig, error in ((signal.SIGALRM, Alarm), (signal.SIGINT, KeyboardInterrupt)):
                for method, call in methods:
                    label = "%s blocked in %s, signal %d" % (method, where, sig)
                    self.check_interrupted(where, sig, error, call, label)

    def check_interrupted(self, where, sig, error, call, label):
        index, writer = self.blocked(where)
        fds = open_fds()
        signal.signal(signal.SIGALRM, raise_alarm)
        parent = os.getpid()

        def signal_then_unblock():
            time.sleep(0.2)
            os.kill(parent, sig)
            time.sleep(PROMPT)
            fd = os.open(index, os.O_WRONLY | os.O_NONBLOCK)
            os.write(fd, INDEX)

        self.child(signal_then_unblock)
        started = time.time()
        caught = None
        with Stdout() as out:
            try:
                call()
            except error as e:
                caught = e
        elapsed = time.time() - started
        reap(self.children.pop())
        if writer is not None:
            os.close(writer)
        os.remove(index)
        self.assertIsInstance(caught, error, label)
        self.assertLess(elapsed, PROMPT / 2, label)
        self.assertEqual(out.text, b"", label)
        self.assertEqual(open_fds(), fds - (writer is not None), label)


class InheritedDescriptorTest(FifoCase):
    """A child started from a signal handler while a call waits on the
    index (Python 3: close_fds=False) holds neither file of the pair; in the
    module as built with O_CLOEXEC and as built without it."""

    def test_children_inherit_no_guide_file(self):
        index = self.fifo(".ndx")
        self.raw(None, DATA)
        writer = os.open(index, os.O_RDWR)  # opened, never written: the count's read waits
        fcntl.fcntl(writer, fcntl.F_SETFD, fcntl.FD_CLOEXEC)
        builds = [os.path.dirname(quarnel.__file__)]
        fallback = os.path.join(os.environ.get("QUARNEL_BUILD_DIR", ""), "without-cloexec")
        if os.environ.get("QUARNEL_BUILD_DIR") and os.path.isdir(fallback):  # CMake builds; a wheel has none
            builds.append(fallback)
        code = (
            "import os, signal, subprocess, sys\n"
            "sys.path.insert(0, %r)\n"
            "import quarnel\n"
            "class Listed(Exception): pass\n"
            "def start_child(*_):\n"
            "    keep = {} if sys.version_info[0] == 2 else {'close_fds': False}\n"
            "    raise Listed(subprocess.Popen(['ls', '-l', '/proc/self/fd/'], stdout=subprocess.PIPE, **keep).communicate()[0])\n"
            "signal.signal(signal.SIGALRM, start_child)\n"
            "signal.setitimer(signal.ITIMER_REAL, 0.3)\n"
            "try:\n"
            "    quarnel.read(%r)\n"
            "except Listed as listed:\n"
            "    sys.stdout.write(quarnel.__file__ + '\\n' + listed.args[0].decode('utf-8', 'replace'))\n")
        try:
            for build in builds:
                status, out, err = child_python(code % (build, self.stem()))
                lines = out.decode("utf-8").splitlines()
                self.assertEqual((status, os.path.dirname(lines[0])), (0, build), err)
                self.assertTrue([l for l in lines if l.endswith("-> pipe:") or "pipe:[" in l], lines)  # ls's own stdout
                self.assertEqual([l for l in lines if self.dir in l], [], build)
        finally:
            os.close(writer)


class StartedWithSigintIgnoredTest(GuideCase):
    """The blocked-call tests as a background job starts them."""

    def test_blocked_calls_with_sigint_ignored_at_start(self):
        code = ("import signal, sys, unittest\n"
                "signal.signal(signal.SIGINT, signal.SIG_IGN)\n"
                "sys.path.insert(0, %r)\n"
                "suite = unittest.defaultTestLoader.loadTestsFromName('test_interrupts.BlockedCallTest')\n"
                "sys.exit(not unittest.TextTestRunner(verbosity=0).run(suite).wasSuccessful())\n"
                % os.path.dirname(os.path.abspath(__file__)))
        status, _, err = child_python(code)
        self.assertEqual(status, 0, err)


if __name__ == "__main__":
    unittest.main()
