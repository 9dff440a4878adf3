"""Property-based tests at the interpreter boundary, with Hypothesis: random
guide pairs against the independent reader, random argument objects, and
random sys.stdout stand-ins against the stream rule. Where Hypothesis is not
importable (Python 2.7) the fixed tests stand; where the build requires it,
its absence fails. QUARNEL_PROPERTY_EXAMPLES sets the budget."""
import errno
import os
import sys
import time
import unittest

from support import STREAM_ERRNOS, FakeStream, GuideCase, Stdout, rawpair, quarnel
import guide_oracle

try:
    from hypothesis import HealthCheck, given, settings, strategies as st
except Exception:  # ImportError, or on 2.7 Hypothesis's own refusal
    if os.environ.get("QUARNEL_PROPERTIES_REQUIRED"):
        raise
    given = None

EXAMPLES = int(os.environ.get("QUARNEL_PROPERTY_EXAMPLES", "60"))


def budget(factor=1):
    return settings(max_examples=EXAMPLES * factor, deadline=None, database=None,
                    suppress_health_check=list(HealthCheck))


if given is None:
    class PropertyTest(unittest.TestCase):
        @unittest.skip("Hypothesis is not importable here")
        def test_properties(self):
            pass
else:
    # A pair: records (skipped bytes, start field, title offset), title
    # records laid one after another at random places in the data file,
    # then either file cut anywhere and the count free to lie.
    start_fields = st.one_of(
        st.integers(-2 ** 31, 2 ** 31 - 1).map(lambda s: rawpair.EPOCH_TICKS + s * 10 ** 7),
        st.integers(-2 ** 63, 2 ** 63 - 1))
    # Titles with and without zero bytes (one cuts a title, and random long
    # ones would always hold one), up to either side of the 4999-byte cut.
    titles = st.one_of(st.binary(max_size=40), st.lists(st.integers(1, 255), max_size=40).map(bytes),
                       st.tuples(st.integers(1, 255), st.integers(4990, 5010)).map(
                           lambda t: bytes([t[0]]) * t[1]))

    @st.composite
    def pairs(draw):
        data = bytearray(draw(st.binary(max_size=8)))
        offsets = []
        for title in draw(st.lists(titles, max_size=6)):
            offsets.append(len(data))
            length = draw(st.one_of(st.just(len(title)), st.integers(0, 0xFFFF)))
            data += rawpair.title_record(title, length)
        offsets += draw(st.lists(st.integers(0, 0xFFFF), max_size=2))
        n = draw(st.integers(0, 12))
        records = [rawpair.index_record(draw(start_fields), draw(st.sampled_from(offsets)) if offsets else 0,
                                        draw(st.integers(0, 0xFFFF))) for _ in range(n)]
        # Small lies keep examples cheap to shrink; the fixed tests read 65535.
        count = draw(st.one_of(st.just(n), st.integers(0, 40)))
        index = rawpair.index_file(records, count)
        index = index[:draw(st.integers(0, len(index)))] if draw(st.booleans()) else index
        data = bytes(data)
        data = data[:draw(st.integers(0, len(data)))] if draw(st.booleans()) else data
        return index, data

    class PairProperties(GuideCase):

        @budget()
        @given(pairs(), st.integers(-2 ** 31, 2 ** 31 - 1), st.integers(0, 2 ** 31))
        def test_module_reads_what_the_format_says(self, pair, target, length):
            index, data = pair
            self.raw(index, data)
            oracle = guide_oracle.Pair(index, data)
            listing = quarnel.read(self.stem())
            self.assertEqual(listing, oracle.entries())
            # One object for each title record that read the same bytes.
            by_offset = {}
            for i, entry in enumerate(listing):
                self.assertIs(by_offset.setdefault(oracle.record(i)[1], entry[1]), entry[1])
            start, end = target, min(target + length, 2 ** 31 - 1)
            self.assertEqual(quarnel.between(self.stem(), start, end), oracle.between(start, end))
            # now + shift moves while the call runs, and time() may lag a second
            before = int(time.time())
            window = quarnel.current(self.stem(), target - before)
            after = int(time.time())
            expected = [oracle.window(((target + tick + 2 ** 31) % 2 ** 32) - 2 ** 31)
                        for tick in range(-1, after - before + 1)]
            self.assertIn(window, expected)

    class Fspath(object):
        def __init__(self, value):
            self.value = value

        def __fspath__(self):
            if isinstance(self.value, BaseException):
                raise self.value
            return self.value

    class Shift(int):
        pass

    class ArgumentProperties(GuideCase):

        def setUp(self):
            GuideCase.setUp(self)
            rawpair.write(self.stem(), [(1700000000, b"\xc0\xc1")])
            self.expected = ((1700000000, u"\u0410\u0411"),)

        def outcome(self, call):
            with Stdout():
                try:
                    return call()
                except Exception as e:
                    return type(e)

        @budget()
        @given(st.data())
        def test_stems(self, data):
            good, missing = self.stem(), self.stem("missing")
            plain = data.draw(st.sampled_from([good, missing, os.fsencode(good), os.fsencode(missing),
                                               good + "\0", os.fsencode(good) + b"\0x"]))
            inner = data.draw(st.sampled_from([plain, 7, None, b"x".decode, ValueError, KeyError, UnicodeError]))
            if isinstance(inner, type):
                inner = inner("no")
            stem = data.draw(st.sampled_from([plain, Fspath(inner), Fspath(Fspath(plain)), 3, None, 2.5]))
            try:
                path = os.fspath(stem)
                name = os.fsencode(path)
                expected = ValueError if b"\0" in name else self.expected if name == os.fsencode(good) \
                    else FileNotFoundError
            except Exception as e:
                expected = type(e)
            before = sys.getrefcount(stem)
            self.assertEqual(self.outcome(lambda: quarnel.read(stem)), expected)
            self.assertEqual(self.outcome(lambda: quarnel.current(stem, 0)), expected)
            # A raised exception's frames hold the path object; None and 3 are
            # everyone's, their counts move with whatever else runs.
            if not isinstance(inner, BaseException) and stem is not None and stem != 3:
                self.assertEqual(sys.getrefcount(stem), before)

        @budget()
        @given(st.one_of(st.integers(-2 ** 70, 2 ** 70), st.booleans(),
                         st.integers(-2 ** 70, 2 ** 70).map(Shift)))
        def test_shifts(self, shift):
            fits = -sys.maxsize - 1 <= shift <= sys.maxsize
            self.assertEqual(self.outcome(lambda: quarnel.current(self.stem(), shift)),
                             self.expected if fits else OverflowError)

    # What a stand-in's write or flush may do: None succeeds, "swap" puts the
    # real stream back in sys.stdout first, a value is returned, an
    # exception raised.
    class Timeout(Exception):
        pass

    STREAM_FAULTS = [ValueError("closed"), AttributeError("gone")] + [
        OSError(n, "x") for n in STREAM_ERRNOS]
    OTHER_ERRORS = [Timeout(), TimeoutError(), KeyboardInterrupt(), SystemExit(2), RuntimeError(),
                    OSError(errno.EAGAIN, "x"), OSError(errno.EACCES, "x"), LookupError()]
    UNENCODABLE = UnicodeEncodeError("ascii", u"\udcff", 0, 1, "no")
    actions = st.sampled_from([None, "swap", -1, "text", object()] + STREAM_FAULTS + OTHER_ERRORS
                              + [UNENCODABLE])

    def kind(action):
        """The stream rule: 'stream' falls back, 'escape' writes again,
        'error' stands, 'ok' is written."""
        if not isinstance(action, BaseException):
            return "ok"
        if isinstance(action, UnicodeEncodeError):
            return "escape"
        if isinstance(action, (ValueError, AttributeError)):
            return "stream"
        if isinstance(action, OSError) and action.errno in STREAM_ERRNOS:
            return "stream"
        return "error"

    class StreamProperties(GuideCase):

        @budget(2)
        @given(st.lists(actions, min_size=2, max_size=2), actions,
               st.sampled_from(["ascii", "utf-8", None, FakeStream.MISSING, "no-such-codec"]))
        def test_stream_rule(self, writes, flush, encoding):
            line = "Can't open file %s.ndx errno2\n" % self.stem("missing")
            first = kind(writes[0])
            if first == "escape":
                first = "stream" if encoding in (None, FakeStream.MISSING, "no-such-codec") else kind(writes[1])
                first = "stream" if first == "escape" else first
            if first == "ok":
                flushed = kind(flush)
                outcome = (type(flush) if flushed == "error" else FileNotFoundError, line, b"")
            elif first == "stream":
                outcome = (FileNotFoundError, "", line.encode())
            else:
                outcome = (type(writes[1] if kind(writes[0]) == "escape" else writes[0]), "", b"")
            stream = FakeStream(writes, flush, encoding)
            raised = None
            with Stdout() as out:
                saved, sys.stdout = sys.stdout, stream
                try:
                    quarnel.read(self.stem("missing"))
                except BaseException as e:
                    raised = type(e)
                finally:
                    sys.stdout = saved
            self.assertEqual((raised, "".join(stream.text), out.text), outcome)


if __name__ == "__main__":
    unittest.main()
