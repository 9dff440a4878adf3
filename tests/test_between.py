"""between(): the programmes on air in [start, end), and title objects
shared within a call."""
import errno
import os
import signal
import sys
import time
import unittest

from support import PY2, GuideCase, Stdout, forked, rawpair, quarnel, reap
import guide_oracle

BASE = 1700000000
TEN = [BASE + 100 * i for i in range(10)]


class BetweenTest(GuideCase):

    def channel(self, starts, name="ch"):
        self.pair([(s, ("t%d" % i).encode("ascii")) for i, s in enumerate(starts)], name=name)
        return [(s, u"t%d" % i) for i, s in enumerate(starts)]

    def test_ranges(self):
        low, high = -2 ** 31, 2 ** 31 - 1
        cases = [
            # (name, starts, start, end, entries by position)
            ("empty guide", [], BASE, BASE + 10, []),
            ("one, range after its start", [BASE], BASE + 5, BASE + 9, [0]),
            ("one, range before it", [BASE], BASE - 9, BASE - 5, []),
            ("one, range ends at its start", [BASE], BASE - 9, BASE, []),
            ("one, range ends just after its start", [BASE], BASE - 9, BASE + 1, [0]),
            ("two, across both", [BASE, BASE + 100], BASE - 1, BASE + 101, [0, 1]),
            ("three, inside the middle one", [BASE, BASE + 100, BASE + 200], BASE + 150, BASE + 160, [1]),
            ("start at a start", TEN, TEN[4], TEN[4] + 1, [4]),
            ("start just before a start", TEN, TEN[4] - 1, TEN[4] + 1, [3, 4]),
            ("start just after a start", TEN, TEN[4] + 1, TEN[4] + 2, [4]),
            ("end at a start", TEN, TEN[2], TEN[5], [2, 3, 4]),
            ("end just after a start", TEN, TEN[2], TEN[5] + 1, [2, 3, 4, 5]),
            ("end just before a start", TEN, TEN[2] + 50, TEN[5] - 1, [2, 3, 4]),
            ("before the guide", TEN, BASE - 500, BASE - 400, []),
            ("into the guide from before", TEN, BASE - 500, TEN[1], [0]),
            ("after the last start", TEN, TEN[9] + 5, TEN[9] + 500, [9]),
            ("the whole scale", TEN, low, high, list(range(10))),
            ("empty range", TEN, TEN[3], TEN[3], []),
            ("empty range inside an entry", TEN, TEN[3] + 50, TEN[3] + 50, []),
            ("reversed range", TEN, TEN[5], TEN[3], []),
            ("duplicate starts, at them", [BASE, BASE + 10, BASE + 10, BASE + 10, BASE + 20], BASE + 10,
             BASE + 11, [3]),
            ("duplicate starts, before them", [BASE, BASE + 10, BASE + 10, BASE + 10, BASE + 20], BASE + 5,
             BASE + 11, [0, 1, 2, 3]),
            ("extreme starts", [low, 0, high], low, high, [0, 1]),
            ("extreme starts, to the end", [low, 0, high], high, high + 0, []),
            ("extreme starts, last one on", [low, 0, high], high - 1, high, [1]),
        ]
        for name, starts, start, end, positions in cases:
            entries = self.channel(starts)
            expected = tuple(entries[i] for i in positions)
            self.assertEqual(quarnel.between(self.stem(), start, end), expected, name)
            oracle = guide_oracle.read_pair(self.stem())
            self.assertEqual(oracle.between(start, end), expected, name)

    def test_unsorted_guides_give_a_contiguous_run(self):
        starts = [BASE + 500, BASE, BASE + 300, BASE + 100, BASE + 400, BASE + 50]
        entries = self.channel(starts)
        oracle = guide_oracle.read_pair(self.stem())
        for start in range(BASE - 50, BASE + 600, 25):
            for end in (start + 1, start + 120, start + 1000):
                got = quarnel.between(self.stem(), start, end)
                self.assertEqual(got, oracle.between(start, end), (start, end))
                positions = [entries.index(e) for e in got]
                self.assertEqual(positions, list(range(positions[0], positions[0] + len(got))) if got else [])

    def test_arguments(self):
        self.channel(TEN)
        stem = self.stem()

        class Index(object):
            def __index__(self):
                return TEN[3]

        class Number(int):
            pass
        cases = [
            ((stem, TEN[3], TEN[5]), ((TEN[3], u"t3"), (TEN[4], u"t4"))),
            ((stem, Index(), Number(TEN[4])), ((TEN[3], u"t3"),)),
            ((stem, False, True), ()),
            ((stem, 1.0, TEN[5]), TypeError),
            ((stem, TEN[3], "5"), TypeError),
            ((stem, None, TEN[5]), TypeError),
            ((stem, TEN[3]), TypeError),
            ((stem, TEN[3], TEN[5], 1), TypeError),
            ((5, TEN[3], TEN[5]), TypeError),
            ((stem, 2 ** 31, 2 ** 32), OverflowError),
            ((stem, -2 ** 31 - 1, 0), OverflowError),
            ((stem, 0, 2 ** 80), OverflowError),
        ]
        from decimal import Decimal
        cases.append(((stem, Decimal(TEN[3]), TEN[5]), TypeError))
        for args, expected in cases:
            with Stdout() as out:
                try:
                    got = quarnel.between(*args)
                except Exception as e:
                    got = type(e)
            self.assertEqual(got, expected, args)
            self.assertEqual(out.text, b"", args)
        self.assertRaises(TypeError, lambda: quarnel.between(stem, 0, 1, x=1))

    def test_missing_files_raise_even_for_an_empty_range(self):
        self.raw(rawpair.build([(1, b"a")])[0], None, name="nodata")
        cases = [(self.stem("missing"), ".ndx"), (self.stem("nodata"), ".pdt")]
        for stem, suffix in cases:
            for start, end in ((0, 10), (10, 0)):
                with Stdout() as out:
                    with self.assertRaises(IOError) as caught:
                        quarnel.between(stem, start, end)
                self.assertEqual(caught.exception.errno, errno.ENOENT)
                self.assertEqual(out.text, ("Can't open file %s%s errno2\n" % (stem, suffix)).encode())

    def test_results_and_entries_are_off_the_collector(self):
        import gc
        self.channel(TEN)
        result = quarnel.between(self.stem(), TEN[2], TEN[6])
        self.assertEqual(len(result), 4)
        self.assertFalse(gc.is_tracked(result) or any(gc.is_tracked(e) for e in result))
        made = tuple([result[0]])
        self.assertEqual(sys.getrefcount(result), sys.getrefcount(made))


class SharedTitleTest(GuideCase):

    def test_same_record_same_object(self):
        # "news" and "film" are stored once each; "news " is another record.
        entries = [(BASE + i, t) for i, t in enumerate([b"news", b"film", b"news", b"news ", b"news"])]
        self.pair(entries)
        for result in (quarnel.read(self.stem()), quarnel.between(self.stem(), BASE, BASE + 10)):
            titles = [t for _, t in result]
            self.assertEqual(titles, [u"news", u"film", u"news", u"news ", u"news"])
            self.assertIs(titles[0], titles[2])
            self.assertIs(titles[0], titles[4])
            self.assertIsNot(titles[0], titles[1])
        # The same text in two records is shared by record only.
        data = b"\x04\x00news\x04\x00news"
        index = b"\x02\x00" + rawpair.index_record(rawpair.filetime(BASE), 0) + \
            rawpair.index_record(rawpair.filetime(BASE + 1), 6)
        self.raw(index, data, name="copy")
        copy = [t for _, t in quarnel.read(self.stem("copy"))]
        self.assertEqual(copy, [u"news", u"news"])
        self.assertIsNot(copy[0], copy[1])

    def test_more_titles_than_are_shared(self):
        # 2500 distinct titles, each twice: all exact; the first 2048 shared,
        # the rest (past the bound on what a call keeps) an object each.
        titles = [(b"%05d" % i) * 4 for i in range(2500)]
        entries = [(BASE + i, titles[i % 2500]) for i in range(5000)]
        self.pair(entries)
        result = quarnel.read(self.stem())
        self.assertEqual(result, tuple((s, t.decode("ascii")) for s, t in entries))
        self.assertIs(result[0][1], result[2500][1])
        self.assertIs(result[2047][1], result[4547][1])
        self.assertIsNot(result[2048][1], result[4548][1])

    def test_every_repeat_shared_through_probes_and_growth(self):
        # 2048 titles, the most a call shares, through every table size:
        # each repeat is the very object, whichever slot its offset probed to.
        titles = [b"%04d" % i for i in range(2048)]
        self.pair([(BASE + i, titles[i % 2048]) for i in range(2500)])
        result = quarnel.read(self.stem())
        self.assertEqual([i for i in range(2048, 2500) if result[i][1] is not result[i - 2048][1]], [])
        # Records 4096 bytes apart hash to one slot in every table size: a chain of 16.
        data = b"".join(rawpair.title_record((b"%02d" % i) * 2047) for i in range(16))
        records = [rawpair.index_record(rawpair.filetime(BASE + i), 4096 * (i % 16)) for i in range(32)]
        self.raw(rawpair.index_file(records), data, name="chain")
        result = quarnel.read(self.stem("chain"))
        self.assertEqual([i for i in range(16) if result[i][1] is not result[i + 16][1]], [])

    def test_the_byte_bound_is_64_kib_exactly(self):
        # 16 titles of 4096 bytes fill the bound exactly and are shared; one
        # byte more is not. (The short record first keeps every start below 64 KiB.)
        titles = [(b"%02d" % i) * 2048 for i in range(16)] + [b"xy"]  # one character would be Python's own singleton
        offsets = [4 + 4098 * i for i in range(16)] + [0]
        data = b"".join(rawpair.title_record(t) for t in titles[16:] + titles[:16])
        records = [rawpair.index_record(rawpair.filetime(BASE + i), offsets[i % 17]) for i in range(34)]
        self.raw(rawpair.index_file(records), data)
        titles = [t for _, t in quarnel.read(self.stem())]
        self.assertEqual([titles[i] is titles[i + 17] for i in range(17)], [True] * 16 + [False])

    def test_record_rewritten_during_the_call(self):
        # The index arrives in two pieces; while the call waits for the
        # second, a timer's handler rewrites the shared title record: to
        # other text, or to a shorter prefix of it.
        for at, rewritten, second in ((2, b"AFTER!", u"AFTER!"), (0, b"\x03\x00", u"bef")):
            self.rewrite_during_read(at, rewritten, second)

    def rewrite_during_read(self, at, rewritten, second):
        for suffix in (".ndx", ".pdt"):
            if os.path.exists(self.stem() + suffix):
                os.remove(self.stem() + suffix)
        index, data = rawpair.build([(BASE, b"before"), (BASE + 1, b"before")])
        self.raw(None, data)
        path = self.stem() + ".ndx"
        os.mkfifo(path)

        def feed():
            fd = os.open(path, os.O_WRONLY)
            os.write(fd, index[:14])
            time.sleep(0.5)
            os.write(fd, index[14:])
            os.close(fd)

        def rewrite(*_):
            with open(self.stem() + ".pdt", "r+b") as f:
                f.seek(at)
                f.write(rewritten)

        saved = signal.signal(signal.SIGALRM, rewrite)
        child = forked(feed)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.25)
            result = quarnel.read(self.stem())
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, saved)
            reap(child)
        self.assertEqual(result, ((BASE, u"before"), (BASE + 1, second)))


if __name__ == "__main__":
    unittest.main()
