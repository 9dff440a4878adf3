"""read(): the file layout, start-time conversion and titles."""
import os
import random
import struct
import sys
import unittest

import guide_oracle
from support import TEXT, GuideCase, Stdout, child_python, rawpair, module_path_code, quarnel

ABV = u"\u0410\u0411\u0412"


def one_entry(start_field, title_offset=0, skipped=0):
    return b"\x01\x00" + rawpair.index_record(start_field, title_offset, skipped)


class LayoutTest(GuideCase):

    def test_documented_example(self):
        index = bytearray.fromhex("0100 0000 00803ED5DEB19D01 0000")
        self.raw(bytes(index), b"\x03\x00\xc0\xc1\xc2")
        self.assertEqual(quarnel.read(self.stem()), ((0, ABV),))

    def test_start_conversion(self):
        epoch = rawpair.EPOCH_TICKS
        cases = [
            (epoch, 0),
            (epoch + 10 ** 7, 1),
            (epoch + 10 ** 7 - 1, 0),
            (0, 1240428288),
            (-1, 1240428288),
            (epoch - 1, -1),
            (epoch - 10 ** 7, -1),
            (rawpair.filetime(2 ** 31 - 1), 2 ** 31 - 1),
            (rawpair.filetime(2 ** 31), -2 ** 31),
            (rawpair.filetime(-2 ** 31), -2 ** 31),
            (2 ** 63 - 1, guide_oracle.start_time(2 ** 63 - 1)),
            (-2 ** 63, guide_oracle.start_time(-2 ** 63)),
            (-10 ** 7 - 5, guide_oracle.start_time(-10 ** 7 - 5)),
        ]
        rng = random.Random(7)
        cases += [(f, guide_oracle.start_time(f)) for f in
                  (rng.randint(-2 ** 63, 2 ** 63 - 1) for _ in range(200))]
        for field, start in cases:
            self.raw(one_entry(field), b"")
            self.assertEqual(quarnel.read(self.stem())[0][0], start, field)

    def test_entry_count_and_short_files(self):
        data = b"\x02\x00AB"
        zero_start = guide_oracle.start_time(0)
        partial = struct.unpack("<q", b"\x11\x22\x33" + b"\0" * 5)[0]
        cases = [
            ("empty index", b"", ()),
            ("count 0 with records behind it", b"\x00\x00" + rawpair.index_record(0, 0), ()),
            ("one byte is the count", b"\x02", ((zero_start, u"AB"),) * 2),
            ("record cut inside the start field",
             b"\x01\x00\x09\x09\x11\x22\x33", ((guide_oracle.start_time(partial), u"AB"),)),
            ("record cut inside the title offset",
             b"\x01\x00" + rawpair.index_record(0, 0x0300)[:11], ((zero_start, u"AB"),)),
        ]
        for name, index, expected in cases:
            self.raw(index, data)
            self.assertEqual(quarnel.read(self.stem()), expected, name)

    def test_full_count_is_unsigned(self):
        self.raw(b"\xff\xff" + rawpair.index_record(rawpair.filetime(5), 0), b"\x01\x00Z")
        result = quarnel.read(self.stem())
        self.assertEqual(len(result), 65535)
        self.assertEqual(result[0], (5, u"Z"))
        self.assertEqual(result[-1], (guide_oracle.start_time(0), u"Z"))

    def test_entries_keep_file_order_and_share_titles(self):
        entries = [(300, b"c"), (100, b"a"), (200, b"c"), (-5, b"\xc0")]
        self.raw(*rawpair.build(entries, data_header=b"HEADER, never read"))
        self.assertEqual(quarnel.read(self.stem()),
                         ((300, u"c"), (100, u"a"), (200, u"c"), (-5, u"\u0410")))

    def test_results_hold_one_reference_each(self):
        # Against objects made the same way in Python, so the interpreter's
        # own counting conventions cancel out.
        self.pair([(1700000000, b"abc"), (1700000060, b"abd")])  # shared titles count once per entry
        made = tuple([(int("1700000000"), u"".join([u"ab", u"c"]))])
        expected = [sys.getrefcount(made[0]), sys.getrefcount(made[0][0]),
                    sys.getrefcount(made[0][1])]
        for result in (quarnel.read(self.stem()), quarnel.current(self.stem(), 0)):
            for i in range(len(result)):
                counts = [sys.getrefcount(result[i]), sys.getrefcount(result[i][0]),
                          sys.getrefcount(result[i][1])]
                self.assertEqual(counts, expected, i)

    def test_bytes_after_last_record_are_ignored(self):
        index, data = rawpair.build([(1, b"x")])
        self.raw(index + b"\xff" * 30, data)
        self.assertEqual(quarnel.read(self.stem()), ((1, u"x"),))


class TitleTest(GuideCase):

    def test_titles(self):
        long_title = bytes(bytearray(i % 200 + 32 for i in range(70000)))
        cut = long_title[:4999].decode("cp1251", "replace")
        cases = [
            ("upper", b"\x03\x00\xc0\xc1\xc2", ABV),
            ("lower", b"\x03\x00\xe0\xe1\xe2", u"\u0430\u0431\u0432"),
            ("yo", b"\x02\x00\xa8\xb8", u"\u0401\u0451"),
            ("mixed", b"\x07\x00News \xb9\x31", u"News \u21161"),
            ("empty", b"\x00\x00rest", u""),
            ("zero byte cuts", b"\x05\x00ab\x00cd", u"ab"),
            ("leading zero", b"\x02\x00\x00a", u""),
            ("0x98 has no character", b"\x03\x00a\x98b", u"a\ufffdb"),
            ("text cut by end of file", b"\x09\x00abc", u"abc"),
            ("length cut by end of file", b"\x05", u""),
            ("no data at all", b"", u""),
            ("4999 bytes fit", b"\x87\x13" + long_title[:4999], cut),
            ("5000 bytes are cut", b"\x88\x13" + long_title[:5000], cut),
            ("65535 bytes are cut", b"\xff\xff" + long_title[:65535], cut),
        ]
        for name, data, title in cases:
            self.raw(one_entry(rawpair.EPOCH_TICKS), data)
            self.assertEqual(quarnel.read(self.stem()), ((0, title),), name)

    def test_title_offsets(self):
        data = b"\x01\x00A" + b"\x02\x00BC"
        cases = [(0, u"A"), (3, u"BC"), (4, u"C"), (6, u""), (len(data), u""), (0xFFFF, u"")]
        for offset, title in cases:
            self.raw(one_entry(rawpair.EPOCH_TICKS, offset), data)
            self.assertEqual(quarnel.read(self.stem())[0][1], title, offset)

    def test_every_byte_decodes_as_cp1251(self):
        raw = bytes(bytearray(range(1, 256)))
        self.raw(one_entry(0), rawpair.title_record(raw))
        title = quarnel.read(self.stem())[0][1]
        self.assertIsInstance(title, TEXT)
        self.assertEqual(title, raw.decode("cp1251", "replace"))

    def test_titles_with_lazy_and_eager_binding(self):
        # The unicode constructor is bound by name at load (either width):
        # a wrong binding shows only in a fresh process, at import or first call.
        raw = bytes(bytearray(range(1, 256)))
        self.raw(one_entry(0), rawpair.title_record(raw))
        code = module_path_code() + (
            "import quarnel\n"
            "t = quarnel.read(%r)[0][1]\n"
            "assert t == %r.decode('cp1251', 'replace'), repr(t)\n" % (self.stem(), raw))
        for bind_now in ("", "1"):
            env = dict(os.environ)
            env.pop("LD_BIND_NOW", None)
            if bind_now:
                env["LD_BIND_NOW"] = bind_now
            status, _, err = child_python(code, env)
            self.assertEqual(status, 0, (bind_now, err))

    def test_nothing_printed_on_success(self):
        self.pair([(1, b"a")])
        with Stdout() as out:
            quarnel.read(self.stem())
            quarnel.current(self.stem(), 0)
        self.assertEqual(out.text, b"")


class ModuleTest(unittest.TestCase):

    def test_runs_where_expected(self):
        machine = os.environ.get("QUARNEL_EXPECT_MACHINE")
        build = os.environ.get("QUARNEL_BUILD_DIR")
        if not machine or not build:
            self.skipTest("QUARNEL_EXPECT_MACHINE/QUARNEL_BUILD_DIR not set")
        import platform
        self.assertEqual(platform.machine(), machine)
        self.assertEqual(os.path.realpath(os.path.dirname(quarnel.__file__)),
                         os.path.realpath(build))

    def test_surface(self):
        doc = "Return epg tuples from ndx+pdt files. Usage quarnel.read(channel_name)."
        self.assertEqual(quarnel.read.__doc__, doc)
        self.assertEqual(quarnel.current.__doc__, doc)
        self.assertEqual(quarnel.between.__doc__,
                         "Return the epg tuples on air at any moment from start up to, not including, end "
                         "(Unix seconds) from ndx+pdt files. Usage quarnel.between(channel_name, start, end).")
        self.assertEqual(sorted(n for n in dir(quarnel) if not n.startswith("__")),
                         ["between", "current", "read"])
        if sys.version_info[0] > 2:
            import inspect
            self.assertEqual([str(inspect.signature(f)) for f in (quarnel.read, quarnel.current, quarnel.between)],
                             ["(channel_name, /)", "(channel_name, shift, /)", "(channel_name, start, end, /)"])
        self.assertIsNone(quarnel.__doc__)
        with open(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "VERSION")) as f:
            self.assertEqual(quarnel.__version__, f.read().strip())
        self.assertTrue(os.path.basename(quarnel.__file__).startswith("quarnel"))


if __name__ == "__main__":
    unittest.main()
