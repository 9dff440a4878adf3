"""File failures (message on descriptor 1, IOError errno) and argument errors."""
import errno
import os
import sys
import unittest

from support import GuideCase, Stdout, child_python, guidepair, module_path_code, open_fds, quarnel

GOOD_INDEX, GOOD_DATA = guidepair.build([(10, b"a"), (20, b"b"), (30, b"c")])


class FileFailureTest(GuideCase):

    def check_io_error(self, call, message, number):
        with Stdout() as out:
            with self.assertRaises(IOError) as caught:
                call()
        self.assertEqual(out.text, message)
        self.assertEqual(caught.exception.errno, number)
        self.assertEqual(caught.exception.strerror, os.strerror(number))

    def test_failures(self):
        stem = self.stem()
        os.mkdir(self.stem("dir.pdt"))
        self.raw(GOOD_INDEX, None, name="dir")
        os.mkdir(self.stem("both.ndx"))
        os.mkdir(self.stem("both.pdt"))
        self.raw(GOOD_INDEX, None, name="nodata")
        long_name = self.stem("x" * 300)
        cases = [
            ("no index", stem, "Can't open file %s.ndx errno2\n" % stem, errno.ENOENT),
            ("no data", self.stem("nodata"),
             "Can't open file %s.pdt errno2\n" % self.stem("nodata"), errno.ENOENT),
            ("name too long", long_name,
             "Can't open file %s.ndx errno%d\n" % (long_name, errno.ENAMETOOLONG), errno.ENAMETOOLONG),
            ("index is a directory", self.stem("both"), "Read error!\n", errno.EISDIR),
            ("data is a directory", self.stem("dir"), "Read error!\n", errno.EISDIR),
        ]
        for name, stem, message, number in cases:
            for method in (lambda: quarnel.read(stem), lambda: quarnel.current(stem, 0)):
                self.check_io_error(method, message, number)

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
        guidepair.write(stem, [(7, b"\xc0")])
        self.assertEqual(quarnel.read(stem), ((7, u"\u0410"),))
        self.assertEqual(quarnel.current(unicode(stem), 0), ((7, u"\u0410"),))

    def test_no_descriptor_leak_over_many_calls(self):
        self.raw(GOOD_INDEX, GOOD_DATA)
        os.mkdir(self.stem("dir.pdt"))
        self.raw(GOOD_INDEX, None, name="dir")
        before = open_fds()
        with Stdout():
            for _ in range(300):
                quarnel.read(self.stem())
                quarnel.current(self.stem(), 15)
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
        cases = [
            ("stdout a pipe", "", "Can't open file %s.ndx errno2\n" % missing),
            ("stdout full", "os.dup2(os.open('/dev/full', os.O_WRONLY), 1)", ""),
        ]
        for name, setup, line in cases:
            status, out, err = child_python(code % (setup, missing), env=env)
            self.assertEqual((status, out, err), (0, line.encode(), b"errno 2"), name)

    def test_messages_reach_stdout_in_order(self):
        stem = self.stem("missing")
        code = ("import sys; sys.path[:0] = %r\n"
                "import quarnel\n"
                "print 'before'\n"
                "try: quarnel.read(%r)\n"
                "except IOError: print 'raised'\n"
                "try: quarnel.read(%r)\n"
                "except IOError: print 'raised'\n") % (
            [os.path.dirname(quarnel.__file__)], stem, self.stem("dir"))
        os.mkdir(self.stem("dir.pdt"))
        self.raw(GOOD_INDEX, None, name="dir")
        status, out, err = child_python(code)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, "before\nCan't open file %s.ndx errno2\nraised\n"
                              "Read error!\nraised\n" % stem)


class ArgumentTest(GuideCase):

    def test_bad_arguments(self):
        self.raw(GOOD_INDEX, GOOD_DATA)
        stem = self.stem()
        cases = [
            (quarnel.read, (), {}, TypeError),
            (quarnel.read, (stem, stem), {}, TypeError),
            (quarnel.read, (5,), {}, TypeError),
            (quarnel.read, (None,), {}, TypeError),
            (quarnel.read, (stem + "\0x",), {}, TypeError),
            (quarnel.read, (), {"channel_name": stem}, TypeError),
            (quarnel.read, (u"\u0410",), {}, UnicodeEncodeError),
            (quarnel.current, (stem,), {}, TypeError),
            (quarnel.current, (stem, 0, 0), {}, TypeError),
            (quarnel.current, (stem, "0"), {}, TypeError),
            (quarnel.current, (stem, 1.5), {}, TypeError),
            (quarnel.current, (5, 0), {}, TypeError),
            (quarnel.current, (stem, sys.maxint + 1), {}, OverflowError),
            (quarnel.current, (stem,), {"shift": 0}, TypeError),
        ]
        for method, args, kwargs, error in cases:
            with Stdout() as out:
                with self.assertRaises(error):
                    method(*args, **kwargs)
            self.assertEqual(out.text, b"", (method, args))


if __name__ == "__main__":
    unittest.main()
