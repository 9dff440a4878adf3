"""File failures (the message on standard output, IOError with the errno
and, on Python 3, the file) and argument errors."""
import errno
import os
import sys
import unittest

from support import (PY2, TEXT, FakeStream, GuideCase, Stdout, as_bytes, child_python, failed_file, rawpair,
                     module_path_code, open_fds, quarnel)

GOOD_INDEX, GOOD_DATA = rawpair.build([(10, b"a"), (20, b"b"), (30, b"c")])


class FileFailureTest(GuideCase):

    def check_io_error(self, call, message, number, filename):
        with Stdout() as out:
            with self.assertRaises(IOError) as caught:
                call()
        self.assertEqual(out.text, as_bytes(message))
        self.assertEqual(caught.exception.errno, number)
        self.assertEqual(caught.exception.strerror, os.strerror(number))
        self.assertEqual(caught.exception.filename, failed_file(filename))
        if not PY2:  # the class the errno stands for
            self.assertIs(type(caught.exception), type(OSError(number, "")))

    def test_failures(self):
        stem = self.stem()
        os.mkdir(self.stem("dir.pdt"))
        self.raw(GOOD_INDEX, None, name="dir")
        os.mkdir(self.stem("both.ndx"))
        os.mkdir(self.stem("both.pdt"))
        self.raw(GOOD_INDEX, None, name="nodata")
        long_name = self.stem("x" * 300)
        cases = [
            ("no index", stem, "Can't open file %s.ndx errno2\n" % stem, errno.ENOENT, ".ndx"),
            ("no data", self.stem("nodata"),
             "Can't open file %s.pdt errno2\n" % self.stem("nodata"), errno.ENOENT, ".pdt"),
            ("name too long", long_name,
             "Can't open file %s.ndx errno%d\n" % (long_name, errno.ENAMETOOLONG),
             errno.ENAMETOOLONG, ".ndx"),
            ("index is a directory", self.stem("both"), "Read error!\n", errno.EISDIR, ".ndx"),
            ("data is a directory", self.stem("dir"), "Read error!\n", errno.EISDIR, ".pdt"),
        ]
        for name, stem, message, number, suffix in cases:
            for method in (lambda: quarnel.read(stem), lambda: quarnel.current(stem, 0),
                           lambda: quarnel.between(stem, 0, 2 ** 31 - 1)):
                self.check_io_error(method, message, number, stem + suffix)

    def test_a_read_failing_anywhere(self):
        # Each read of a call fails in turn (a preloaded shim): the call
        # raises the file error, never an error without an exception set.
        shim = os.environ.get("QUARNEL_EINTR_SHIM")
        if not shim:
            self.skipTest("QUARNEL_EINTR_SHIM not set")
        self.raw(GOOD_INDEX, GOOD_DATA)
        code = module_path_code() + (
            "import os, quarnel\n"
            "calls = {'read': lambda: quarnel.read(%r), 'current': lambda: quarnel.current(%r, -10 ** 9),\n"
            "         'between': lambda: quarnel.between(%r, 15, 2 ** 31 - 1)}\n"
            "out = {}\n"
            "for name in sorted(calls):\n"
            "    for n in range(1, 41):\n"
            "        os.environ['QUARNEL_SHIM_EIO'] = '%%d %%s' %% (n, name)\n"
            "        try:\n"
            "            result = calls[name]()\n"
            "        except EnvironmentError as e:\n"
            "            result = e.errno\n"
            "        except Exception as e:\n"
            "            result = repr(e)\n"
            "        out.setdefault(name, []).append(result)\n"
            "sys.stderr.write('\\n' + repr(out))\n") % ((self.stem(),) * 3)
        status, _, err = child_python(code, env=dict(os.environ, LD_PRELOAD=shim))
        self.assertEqual(status, 0, err)
        results = eval(err.decode("utf-8").splitlines()[-1])
        entries = ((10, u"a"), (20, u"b"), (30, u"c"))
        for name, whole in (("read", entries), ("current", entries[1:]), ("between", entries)):
            failed = results[name].index(whole)
            self.assertGreater(failed, 3, name)  # the count, a start and a title at least
            self.assertEqual(results[name], [errno.EIO] * failed + [whole] * (40 - failed), name)

    def test_data_file_untouched_without_entries(self):
        os.mkdir(self.stem("empty.pdt"))
        self.raw(b"\x00\x00", None, name="empty")
        with Stdout() as out:
            self.assertEqual(quarnel.read(self.stem("empty")), ())
            self.assertEqual(quarnel.current(self.stem("empty"), 0), ())
        self.assertEqual(out.text, b"")

    def test_stems_longer_than_the_usual_buffer(self):
        deep = self.dir
        while len(deep) < 600:
            deep = os.path.join(deep, "d" * 60)
            os.mkdir(deep)
        stem = os.path.join(deep, "channel")
        rawpair.write(stem, [(7, b"\xc0")])
        self.assertEqual(quarnel.read(stem), ((7, u"\u0410"),))
        self.assertEqual(quarnel.current(TEXT(stem), 0), ((7, u"\u0410"),))

    def test_no_descriptor_leak_over_many_calls(self):
        self.raw(GOOD_INDEX, GOOD_DATA)
        os.mkdir(self.stem("dir.pdt"))
        self.raw(GOOD_INDEX, None, name="dir")
        before = open_fds()
        with Stdout():
            for _ in range(300):
                quarnel.read(self.stem())
                quarnel.current(self.stem(), 15)
                quarnel.between(self.stem(), 15, 25)
                for stem in (self.stem("missing"), self.stem("dir")):
                    self.assertRaises(IOError, quarnel.read, stem)
                    self.assertRaises(IOError, quarnel.current, stem, 0)
        self.assertEqual(open_fds(), before)

    def test_open_failure_seen_from_a_fresh_process(self):
        # A pipe buffers stdout fully: only a flush gets the line out before
        # os._exit. On /dev/full the failed write must not change the errno.
        missing = self.stem("missing")
        code = module_path_code() + (
            "import os, sys, quarnel\n"
            "%s\n"
            "try:\n"
            "    quarnel.read(%r)\n"
            "except IOError as e:\n"
            "    os.write(2, ('errno %%d' %% e.errno).encode('ascii'))\n"
            "os._exit(0)\n")
        env = dict(os.environ)
        env.pop("PYTHONUNBUFFERED", None)
        os.mkdir(self.stem("dir.pdt"))
        self.raw(GOOD_INDEX, None, name="dir")
        cases = [
            ("stdout a pipe", "", missing, "Can't open file %s.ndx errno2\n" % missing, 2),
            ("stdout full", "os.dup2(os.open('/dev/full', os.O_WRONLY), 1)", missing, "", 2),
            ("read error, never flushed", "", self.stem("dir"), "", errno.EISDIR),
        ]
        for name, setup, stem, line, number in cases:
            status, out, err = child_python(code % (setup, stem), env=env)
            self.assertEqual((status, out, err), (0, as_bytes(line), b"errno %d" % number), name)

    def test_messages_reach_stdout_in_order(self):
        stem = self.stem("missing")
        code = module_path_code() + (
            "import quarnel\n"
            "sys.stdout.write('before\\n')\n"
            "try: quarnel.read(%r)\n"
            "except IOError: sys.stdout.write('raised\\n')\n"
            "try: quarnel.read(%r)\n"
            "except IOError: sys.stdout.write('raised\\n')\n") % (stem, self.stem("dir"))
        os.mkdir(self.stem("dir.pdt"))
        self.raw(GOOD_INDEX, None, name="dir")
        status, out, err = child_python(code)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, as_bytes("before\nCan't open file %s.ndx errno2\nraised\n"
                                       "Read error!\nraised\n" % stem))


class ArgumentTest(GuideCase):

    def test_bad_arguments(self):
        self.raw(GOOD_INDEX, GOOD_DATA)
        stem = self.stem()
        cases = [
            (quarnel.read, (), {}, TypeError),
            (quarnel.read, (stem, stem), {}, TypeError),
            (quarnel.read, (5,), {}, TypeError),
            (quarnel.read, (None,), {}, TypeError),
            (quarnel.read, (), {"channel_name": stem}, TypeError),
            (quarnel.read, (stem,), {"x": 1}, TypeError),
            (quarnel.current, (stem, 0), {"x": 1}, TypeError),
            (quarnel.current, (stem,), {}, TypeError),
            (quarnel.current, (stem, 0, 0), {}, TypeError),
            (quarnel.current, (stem, "0"), {}, TypeError),
            (quarnel.current, (stem, 1.5), {}, TypeError),
            (quarnel.current, (5, 0), {}, TypeError),
            (quarnel.current, (stem, sys.maxsize + 1), {}, OverflowError),
            (quarnel.current, (stem, -sys.maxsize - 2), {}, OverflowError),
            (quarnel.current, (stem,), {"shift": 0}, TypeError),
        ]
        if PY2:
            cases += [
                (quarnel.read, (stem + "\0x",), {}, TypeError),
                (quarnel.read, (u"\u0410",), {}, UnicodeEncodeError),
            ]
        else:
            cases += [
                (quarnel.read, (stem + "\0x",), {}, ValueError),
                (quarnel.read, (as_bytes(stem) + b"\0x",), {}, ValueError),
                (quarnel.read, (bytearray(as_bytes(stem)),), {}, TypeError),
            ]
        for method, args, kwargs, error in cases:
            with Stdout() as out:
                with self.assertRaises(error):
                    method(*args, **kwargs)
            self.assertEqual(out.text, b"", (method, args))


class BytesPath(object):
    """A path object whose __fspath__ gives bytes."""

    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@unittest.skipIf(PY2, "the stems and streams of Python 3")
class Python3InterfaceTest(GuideCase):

    def test_stem_types(self):
        import pathlib

        self.pair([(7, b"\xc0")])
        stem = self.stem()
        odd = os.fsencode(self.dir) + b"/ch\xff"  # not UTF-8: round-trips through str
        for suffix, content in ((b".ndx", rawpair.build([(8, b"\xc1")])[0]),
                                (b".pdt", rawpair.build([(8, b"\xc1")])[1])):
            with open(odd + suffix, "wb") as f:
                f.write(content)
        cases = [
            (stem, 7), (os.fsencode(stem), 7), (pathlib.Path(stem), 7), (BytesPath(os.fsencode(stem)), 7),
            (odd, 8), (os.fsdecode(odd), 8), (BytesPath(odd), 8),
        ]
        for given, start in cases:
            expected = ((start, chr(0x410 + start - 7)),)
            self.assertEqual(quarnel.read(given), expected, given)
            self.assertEqual(quarnel.current(given, 0), expected, given)

    def test_failed_file_names(self):
        import pathlib
        missing = self.stem("missing")
        cases = [(missing, missing + ".ndx"),
                 (os.fsencode(missing), os.fsencode(missing) + b".ndx"),
                 (pathlib.Path(missing), missing + ".ndx"),
                 (BytesPath(os.fsencode(missing)), os.fsencode(missing) + b".ndx"),
                 (missing + "\udcff", missing + "\udcff.ndx")]
        for given, filename in cases:
            with Stdout():
                with self.assertRaises(FileNotFoundError) as caught:
                    quarnel.read(given)
            self.assertEqual(caught.exception.filename, filename)
            self.assertIs(type(caught.exception.filename), type(filename))


if __name__ == "__main__":
    unittest.main()
