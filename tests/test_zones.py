"""quarnel_guide's zones against Python 3's zoneinfo and Debian's tzdata:
zoneinfo names in Debian's files and in zic's slim ones, whose footer rule
carries the later years, and each footer as a POSIX TZ rule."""
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import zone_expectations
from support import HERE, PY2, WHOLE, GuideCase, quarnel_guide as G, tool_tests

load_tests = tool_tests

ZONES = ["Europe/Berlin", "Europe/London", "America/New_York", "Australia/Sydney", "Europe/Moscow",
         "Asia/Kolkata", "America/Nuuk"]
SYSTEM = "/usr/share/zoneinfo"


def program(name):
    for folder in os.environ.get("PATH", "").split(os.pathsep) + ["/usr/sbin", "/sbin"]:
        if os.access(os.path.join(folder, name), os.X_OK):
            return os.path.join(folder, name)
    return None


def footer(name):
    with open(os.path.join(SYSTEM, name), "rb") as f:
        return f.read().split(b"\n")[-2].decode("ascii")


@unittest.skipUnless(os.path.exists(os.path.join(SYSTEM, "tzdata.zi")) and program("zic"),
                     "needs Debian's tzdata and zic")
class ZoneTest(GuideCase):

    @classmethod
    def setUpClass(cls):
        cls.slim = tempfile.mkdtemp(prefix="quarnel-slim-")
        subprocess.check_call([program("zic"), "-b", "slim", "-d", cls.slim, os.path.join(SYSTEM, "tzdata.zi")])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.slim)

    def variants(self, name):
        """(label, zone, the first wall time it answers for): the rule alone
        holds from the day after the last change the slim file lists."""
        slim = G.zone(name, self.slim)
        since = slim.walls[-1] + 86400 if slim.walls else None
        return [("Debian's file", G.zone(name), None), ("slim file", slim, None),
                ("rule %s" % footer(name), G.zone(footer(name)), since)]

    def check(self, name, pairs):
        for label, zone, since in self.variants(name):
            wrong = [(local, utc, zone.utc(local)) for local, utc in pairs
                     if (since is None or local >= since) and zone.utc(local) != utc]
            self.assertEqual(wrong[:3], [], (name, label, len(wrong)))

    @unittest.skipIf(PY2, "zoneinfo is Python 3's")
    def test_every_quarter_hour(self):
        import zoneinfo
        for name in ZONES:
            reference = zoneinfo.ZoneInfo(name)
            locals_ = zone_expectations.every_quarter_hour()
            if not WHOLE:
                locals_ = list(locals_)[::397]
            self.check(name, [(zone_expectations.wall(local), zone_expectations.instant(local, reference))
                              for local in locals_])

    @unittest.skipUnless(PY2, "Python 3 checks every quarter-hour")
    def test_instants_handed_over(self):
        python3 = "/usr/bin/python3" if os.access("/usr/bin/python3", os.X_OK) else program("python3")
        if not python3:
            self.skipTest("no Python 3 to compute the expected instants")
        env = dict((k, v) for k, v in os.environ.items() if k not in ("PYTHONHOME", "PYTHONPATH", "LD_LIBRARY_PATH"))
        answer = subprocess.check_output([python3, os.path.join(HERE, "zone_expectations.py"),
                                          "10000" if WHOLE else "1000"] + ZONES, env=env)
        for name, pairs in sorted(json.loads(answer.decode("ascii")).items()):
            self.check(name, pairs)

    def test_a_version_1_file_and_a_cut_one(self):
        with open(os.path.join(SYSTEM, "Europe/Berlin"), "rb") as f:
            data = f.read()
        counts = [int.from_bytes(data[20 + 4 * i:24 + 4 * i], "big") if not PY2 else
                  int(data[20 + 4 * i:24 + 4 * i].encode("hex"), 16) for i in range(6)]
        isut, isstd, leap, count, types, chars = counts
        version1 = b"TZif\0" + data[5:44 + count * 5 + types * 6 + chars + leap * 8 + isstd + isut]
        old, fat = G.read_tzif(version1), G.zone("Europe/Berlin")
        self.assertIsNone(old.rule)
        for local in range(1577836800, 1924991999, 86400 * 7 + 900):  # 2020 to 2030, a week and a quarter apart
            self.assertEqual(old.utc(local), fat.utc(local), local)
        for cut in (data[:30], data[:len(data) // 2], data[:-10]):
            self.assertRaises(G.ZoneError, G.read_tzif, cut)
        self.file("Cut", data[:len(data) // 2])
        path = self.file("in.xml", b'<tv><programme start="20260101" channel="c"><title>t</title></programme></tv>')
        from test_guide_tool import run_main
        status, _, err = run_main(["from-xmltv", path, self.stem("out"), "--zone", "Cut", "--zone-dir", self.dir])
        self.assertEqual((status, len(err)), (3, 1), err)
        self.assertIn("cut short", err[0])

    def test_the_forms(self):
        cases = [  # --zone, a wall time as timegm counts it, its UTC instant
            ("+0130", 0, -5400), ("CET", 0, -3600), ("cest", 0, -7200), ("UTC", 0, 0),
            (":Europe/Berlin", 1782864000, 1782864000 - 7200),
            ("<+0530>-5:30", 0, -19800), ("EST5EDT", 1782864000, 1782864000 + 4 * 3600),
            ("AAA3BBB,J60/0,J61/0", 1772366400, 1772366400 + 7200),  # 2026-03-01 noon: one day of summer
            ("AAA3BBB,59/0,60/0", 1772366400, 1772366400 + 7200),  # the same day counted from 0
            ("AAA3BBB,J60/0,J61/0", 1772452800, 1772452800 + 10800),  # 2026-03-02 noon: over
            ("XXX-1YYY,M3.5.0/-1,M10.5.0/26", 1774746000, 1774746000 - 7200),
        ]
        for text, local, utc in cases:
            self.assertEqual(G.zone(text).utc(local), utc, text)
        for text in ("Mars/Olympus", "CET-1CEST,M13.1.0,M10.5.0", "+01300", "ABC", "../../etc/passwd", ""):
            with self.assertRaises(G.ZoneError) as caught:
                G.zone(text)
            self.assertIn(SYSTEM, str(caught.exception))


if __name__ == "__main__":
    unittest.main()
