"""current(): the window around now + shift."""
import random
import sys
import time
import unittest

import guide_oracle
from support import GuideCase, at_target, rawpair, quarnel

BASE = 1700000000


class CurrentTest(GuideCase):

    def channel(self, starts):
        entries = [(s, ("t%d" % i).encode("ascii")) for i, s in enumerate(starts)]
        self.pair(entries)
        return [(s, u"t%d" % i) for i, s in enumerate(starts)]

    def window_at(self, target):
        return at_target(lambda shift: quarnel.current(self.stem(), shift), target)

    def test_windows(self):
        ten = [BASE + 100 * i for i in range(10)]
        cases = [
            ("empty", [], BASE, []),
            ("one, target after", [BASE], BASE + 50, [0]),
            ("one, target before", [BASE], BASE - 50, [0]),
            ("two, before", [BASE, BASE + 100], BASE - 1, [0, 1]),
            ("two, between", [BASE, BASE + 100], BASE + 50, [0, 1]),
            ("two, after", [BASE, BASE + 100], BASE + 500, [0, 1]),
            ("ten, all before target", ten, BASE + 5000, [8, 9]),
            ("ten, all after target", ten, BASE - 5000, [0, 1, 2]),
            ("ten, target at start of 4", ten, ten[4], [3, 4, 5]),
            ("ten, one second into 4", ten, ten[4] + 1, [4, 5, 6]),
            ("ten, target at start of 1", ten, ten[1], [0, 1, 2]),
            ("ten, inside 0", ten, ten[0] + 1, [0, 1, 2]),
            ("ten, inside 7", ten, ten[7] + 1, [7, 8, 9]),
            ("ten, inside 8", ten, ten[8] + 1, [8, 9]),
            ("ten, inside the last", ten, ten[9] + 1, [8, 9]),
            ("negative starts", [-300, -200, -100, 0], -150, [1, 2, 3]),
        ]
        for name, starts, target, window in cases:
            entries = self.channel(starts)
            self.assertEqual(self.window_at(target), tuple(entries[i] for i in window), name)

    def test_agrees_with_the_window_rule(self):
        rng = random.Random(1)
        for _ in range(150):
            starts = [BASE]
            for _ in range(rng.randint(0, 40)):
                starts.append(starts[-1] + rng.choice((0, 1, 2, 60)))
            starts = starts[:rng.randint(0, len(starts))]
            self.channel(starts)
            target = BASE + rng.randint(-3, (starts[-1] - BASE + 3) if starts else 3)
            self.assertEqual(self.window_at(target), guide_oracle.read_pair(self.stem()).window(target),
                             (starts, target))

    def test_first_and_last_records_are_not_searched(self):
        # Out-of-order ends must not move the window: the search never reads them.
        entries = self.channel([BASE + 10 ** 6, BASE + 100, BASE + 200, BASE + 300, BASE - 10 ** 6])
        self.assertEqual(self.window_at(BASE + 250), tuple(entries[2:5]))
        self.assertEqual(self.window_at(BASE + 150), tuple(entries[1:4]))

    def test_unsorted_index_window_is_where_search_ends(self):
        # Six entries, target 150: the first probe is entry 2 (mid of 0 ... 5
        # rounded down), 200 is not before 150, so high = 2; then entry 1,
        # 0 < 150, so low = 1 and the window is 1, 2, 3. Rounding up would
        # probe 3 then 4 and end at 4; the ordered rule would say 4 as well.
        entries = self.channel([BASE, BASE, BASE + 200, BASE + 100, BASE, BASE])
        self.assertEqual(self.window_at(BASE + 150), tuple(entries[1:4]))

    def test_shift_moves_the_moment(self):
        now = int(time.time())
        starts = [now - 7200, now - 3600 - 30, now - 30, now + 3600 - 30, now + 7200 - 30]
        entries = self.channel(starts)
        cases = [(0, 2), (3600, 3), (-3600, 1), (-7200 + 5, 0), (10 ** 6, 3)]
        for shift, first in cases:
            self.assertEqual(quarnel.current(self.stem(), shift),
                             tuple(entries[first:first + 3]), shift)

    def test_target_wraps_at_32_bits(self):
        entries = self.channel([-2 ** 31, -2 ** 31 + 100, 2 ** 31 - 100, 2 ** 31 - 1])
        # One second past the largest time is the smallest one.
        self.assertEqual(self.window_at(2 ** 31), tuple(entries[0:3]))
        if sys.maxsize > 2 ** 32:  # a 64-bit shift is cut to 32 bits
            now = int(time.time())
            a = quarnel.current(self.stem(), 2 ** 31 - 50 - now)
            b = quarnel.current(self.stem(), 2 ** 31 - 50 - now + 2 ** 32)
            self.assertEqual(a, tuple(entries[2:4]))
            self.assertEqual(b, a)


if __name__ == "__main__":
    unittest.main()
