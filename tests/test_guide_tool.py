"""quarnel_guide: the writer, the checker, the dump and XMLTV in and out,
checked against the module and the tests' independent reader."""
import calendar
import errno
import fcntl
import io
import json
import os
import random
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree

import guide_oracle
from support import (ARCHIVE, GUIDE_PATH, SAMPLE, WHOLE, GuideCase, Stdout, child_python, module_path_code, quarnel,
                     quarnel_guide, rawpair, tool_tests)

load_tests = tool_tests

G = quarnel_guide
intake = sys.modules["quarnel_guide._intake"]  # where faults are put in
NEWS = u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438"
LONG = 4999


class WriteTest(GuideCase):

    def read_both(self, stem):
        """The module's entries, after checking the independent reader agrees."""
        entries = quarnel.read(stem)
        self.assertEqual(guide_oracle.read_pair(stem).entries(), entries)
        return entries

    def test_written_pairs_read_back_clean(self):
        mixed = [(300, u"c"), (100, u"a"), (100, u" b "), (-5, NEWS), (200, u"c")]
        cases = [
            ("sorted, equal starts stable", mixed, False, sorted(mixed, key=lambda e: e[0])),
            ("order kept", mixed, True, mixed),
            ("no entries", [], False, []),
            ("ASCII byte strings", [(1, b"plain"), (2, b"plain")], False, [(1, u"plain"), (2, u"plain")]),
            ("the limits", [(2 ** 31 - 1, u"x" * LONG), (-2 ** 31, u"")], False, [(-2 ** 31, u""), (2 ** 31 - 1, u"x" * LONG)]),
        ]
        for name, entries, keep, expected in cases:
            G.write(self.stem(), entries, keep_order=keep)
            self.assertEqual(self.read_both(self.stem()), tuple(expected), name)
            self.assertEqual([f.severity for f in G.check(self.stem())], ["error"] * 2 if keep else [], name)
        with open(self.stem() + ".pdt", "rb") as f:  # the last case: each title once
            self.assertEqual(len(f.read()), 2 + 2 + LONG)

    def test_refusals_leave_the_old_pair(self):
        G.write(self.stem(), [(1, u"old")])
        files = sorted(os.listdir(self.dir))
        cases = [
            ([(1, u"a\0b")], {}, ["entry 0", "zero byte"]),
            ([(1, u"ok"), (2, u"x" * 6000)], {}, ["entry 1", "6000 bytes"]),
            ([(1, u"ok"), (2 ** 31, u"late")], {}, ["entry 1", "2147483648", "32-bit"]),
            ([(-2 ** 31 - 1, u"early")], {}, ["entry 0", "32-bit"]),
            ([(1.5, u"half")], {}, ["entry 0", "whole number"]),
            ([(1, u"ok"), (2, u"\u4e2d")], {}, ["entry 1", "U+4E2D", "cp1251"]),
            ([(1, b"\xc0")], {}, ["entry 0", "not ASCII"]),
            ([(1,)], {}, ["entry 0", "not a (start, title) pair"]),
            ([(i, u"t") for i in range(65536)], {}, ["65536 entries", "65535"]),
            ([(i, u"%04d" % i + u"x" * 4090) for i in range(17)], {}, ["1 bytes more than fit before 64 KiB"]),
            ([(1, u"t")], {"errors": "ignore"}, ["errors"]),
        ]
        for entries, kwargs, words in cases:
            with self.assertRaises(G.GuideError) as caught:
                G.write(self.stem(), entries, **kwargs)
            for word in words:
                self.assertIn(word, str(caught.exception))
            self.assertEqual(quarnel.read(self.stem()), ((1, u"old"),))
            self.assertEqual(sorted(os.listdir(self.dir)), files)

    def test_replace_counts(self):
        for title, expected, count in ((u"a\u4e2d\u4e2db", u"a??b", 2), (u"caf\u00e9", u"caf?", 1)):
            self.assertEqual(G.write(self.stem(), [(1, title)], errors="replace"), count)
            self.assertEqual(quarnel.read(self.stem()), ((1, expected),))

    def test_title_records_start_below_64_kib(self):
        # In the order given the long titles would push the short ones past
        # 64 KiB; the writer puts the longest last.
        longs = [(i, (u"%02d" % i) * (LONG // 2)) for i in range(13)]
        shorts = [(100 + i, u"%02d" % i) for i in range(200)]
        G.write(self.stem(), longs + shorts)
        self.assertEqual(self.read_both(self.stem()), tuple(longs + shorts))
        with self.assertRaises(G.GuideError) as caught:
            G.write(self.stem(), longs + [(99, u"z" * LONG)] + shorts + [(500 + i, u"%03d" % i) for i in range(800)])
        self.assertIn("bytes more than fit before 64 KiB", str(caught.exception))

    def test_replacing_a_pair(self):
        # Data renamed first, index last; each file complete on disk before
        # its fsync; temporary files beside the stem; the directory synced
        # last, a relative stem's too.
        G.write(self.stem(), [(1, u"old")])
        real_rename, real_fsync, cwd = os.rename, os.fsync, os.getcwd()
        index, data, _ = G.build([(2, u"new")])
        for stem in (self.stem(), "ch"):
            G.write(self.stem(), [(1, u"old")])
            events = []
            os.rename = lambda a, b: (events.append(("rename", os.path.dirname(os.path.abspath(a)), os.path.abspath(b))),
                                      real_rename(a, b))[1]
            os.fsync = lambda fd: (events.append(("fsync", os.fstat(fd).st_size, os.readlink("/proc/self/fd/%d" % fd))),
                                   real_fsync(fd))[1]
            os.chdir(self.dir)
            try:
                G.write(stem, [(2, u"new")])
            finally:
                os.rename, os.fsync = real_rename, real_fsync
                os.chdir(cwd)
            self.assertEqual([e[:2] for e in events[:2]], [("fsync", len(data)), ("fsync", len(index))], stem)
            self.assertEqual(events[2:], [("rename", self.dir, self.stem() + ".pdt"), ("rename", self.dir, self.stem() + ".ndx"),
                                          ("fsync", os.stat(self.dir).st_size, self.dir)], stem)

    def test_temporary_names_taken_by_others(self):
        # A name another writer (or a planted link) holds is never opened.
        victim = self.file("victim", b"keep")
        tags = [b"\0\0\0\0", b"\0\0\0\0", b"\1\0\0\0", b"\2\0\0\0"]
        for suffix in (".pdt", ".ndx"):
            os.symlink(victim, os.path.join(self.dir, ".ch%s.00000000" % suffix))
        real = os.urandom
        os.urandom = lambda n: tags.pop(0) if tags else real(n)
        try:
            G.write(self.stem(), [(1, u"new")])
        finally:
            os.urandom = real
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"keep")
        self.assertEqual(quarnel.read(self.stem()), ((1, u"new"),))
        self.assertFalse(os.path.islink(self.stem() + ".pdt"))

    def test_failure_while_writing_keeps_the_old_pair(self):
        G.write(self.stem(), [(1, u"old")])
        files = sorted(os.listdir(self.dir))
        real, calls = os.fsync, []

        def failing(fd):
            calls.append(fd)
            if len(calls) == 2:
                raise OSError(errno.EIO, "injected")
            return real(fd)
        os.fsync = failing
        try:
            self.assertRaises(OSError, G.write, self.stem(), [(2, u"new")])
        finally:
            os.fsync = real
        self.assertEqual(quarnel.read(self.stem()), ((1, u"old"),))
        self.assertEqual(sorted(os.listdir(self.dir)), files)


def record(start, offset):
    return rawpair.index_record(rawpair.filetime(start), offset)


class CheckTest(GuideCase):
    cases = [
        ("clean", rawpair.build([(1, b"a"), (2, b"b"), (2, b"a")]), []),
        ("count lies", (b"\x03\x00" + record(1, 0), b"\x01\x00a"), [("error", "1-2")]),
        ("bytes after the records", (b"\x01\x00" + record(1, 0) + b"xx", b"\x01\x00a"), [("warning", None)]),
        ("one byte after the records", (b"\x01\x00" + record(1, 0) + b"x", b"\x01\x00a"), [("warning", None)]),
        ("one byte after the titles", (b"\x01\x00" + record(1, 0), b"\x01\x00ab"), [("warning", None)]),
        ("index cut inside its last record", (b"\x02\x00" + record(1, 0) + record(2, 0)[:10], b"\x01\x00a"), [("error", 1)]),
        ("offset past the end", (b"\x01\x00" + record(1, 9), b"\x01\x00a"), [("error", 0), ("warning", None)]),
        ("length beyond the end", (b"\x01\x00" + record(1, 0), b"\x05\x00ab"), [("error", 0)]),
        ("length field cut", (b"\x02\x00" + record(1, 0) + record(2, 3), b"\x01\x00ab"), [("error", 1)]),
        ("5000 bytes", rawpair.build([(1, b"L" * 5000)]), [("warning", 0)]),
        ("zero byte", rawpair.build([(1, b"a"), (2, b"b\0c")]), [("warning", 1)]),
        ("0x98", rawpair.build([(1, b"a\x98")]), [("warning", 0)]),
        ("starts descend", rawpair.build([(5, b"a"), (4, b"a"), (6, b"a")]), [("error", 1)]),
        ("records overlap", (b"\x02\x00" + record(1, 0) + record(2, 2), b"\x01\x00\x01\x00a"), [("warning", 1)]),
        ("two records inside a third", (b"\x03\x00" + record(1, 0) + record(2, 2) + record(3, 5),
                                        b"\x08\x00\x01\x00a\x01\x00bxx"), [("warning", 0), ("warning", 1), ("warning", 2)]),
        ("a header no record points at", rawpair.build([(1, b"a")], data_header=b"EPG"), [("warning", None)]),
        ("no count", (b"\x01", b""), [("error", None)]),
        ("starts between seconds before 1970 and 1601", (b"\x02\x00" + rawpair.index_record(rawpair.EPOCH_TICKS - 15000000, 0)
                                                         + rawpair.index_record(-15000000, 0), b"\x01\x00a"), []),
    ]

    def test_each_problem_found(self):
        for name, (index, data), expected in self.cases:
            found = sorted((f.severity, f.entry) for f in G.inspect(index, data))
            self.assertEqual(found, sorted(expected), (name, G.inspect(index, data)))

    def test_check_sees_what_readers_reach(self):
        # Files past what a reader reaches: check reads only that far, yet
        # reports as if it had read them whole.
        last = [(i, u"a") for i in range(G.MAX_ENTRIES - 1)] + [(G.MAX_ENTRIES, u"z")]
        G.write(self.stem("full"), last)
        with open(self.stem("full") + ".ndx", "ab") as f:
            f.write(b"tail" * 50)
        long_last = (b"\x01\x00" + record(1, 0xFFFF), b"\x00" * 0xFFFF + b"\xff\xff" + b"t" * 0xFFFE + b"\x98")
        self.raw(*long_last, name="long")
        self.raw(b"\x01\x00" + record(1, 0), b"\x01\x00a" + b"\x00" * (1 << 18), name="junk")
        for name in ("full", "long", "junk"):
            whole = []
            for suffix in (".ndx", ".pdt"):
                with open(self.stem(name) + suffix, "rb") as f:
                    whole.append(f.read())
            self.assertEqual([str(f) for f in G.check(self.stem(name))], [str(f) for f in G.inspect(*whole)], name)
        self.assertEqual((G.read_pure(self.stem("full"))[-1], quarnel.read(self.stem("full"))[-1]),
                         ((G.MAX_ENTRIES, u"z"),) * 2)
        out = io.StringIO()
        G.to_xmltv([(self.stem("full"), u"full.tv", u"F")], out)
        self.assertTrue(out.getvalue().endswith(u"<title>z</title>\n  </programme>\n</tv>\n"))

    def test_exit_statuses(self):
        for name, (index, data), expected in self.cases:
            self.raw(index, data, name="p")
            with Stdout() as out:
                status = G.main(["check", self.stem("p")])
            severities = set(s for s, _ in expected)
            self.assertEqual(status, 2 if "error" in severities else 1 if severities else 0, (name, out.text))
        for argv in (["check", self.stem("missing")], ["check"], ["nonsense"]):
            with Stdout():
                try:
                    status = G.main(argv)
                except SystemExit as exit:
                    status = exit.code
            self.assertEqual(status, 3, argv)


class DumpTest(GuideCase):

    def test_module_and_pure_reader_agree(self):
        for name, (index, data), _ in CheckTest.cases:
            self.raw(index, data, name="p")
            entries = quarnel.read(self.stem("p"))
            self.assertEqual(G.read_pure(self.stem("p")), entries, name)
            self.assertEqual(guide_oracle.Pair(index, data).entries(), entries, name)
            outputs = []
            for pure in ([], ["--pure"]):
                for form in (["--json"], []):
                    with Stdout() as out:
                        self.assertEqual(G.main(["dump"] + form + pure + [self.stem("p")]), 0)
                    outputs.append(out.text)
            self.assertEqual(outputs[:2], outputs[2:], name)
            self.assertEqual([tuple(e) for e in json.loads(outputs[0].decode("utf-8"))], list(entries), name)
            lines = outputs[1].decode("utf-8").splitlines()
            self.assertEqual([l.split(u"  ", 1)[1] for l in lines], [t for _, t in entries], name)

    def test_standard_output_holds_only_what_was_asked(self):
        G.write(self.stem("dir"), [(1, u"a")])
        os.remove(self.stem("dir") + ".pdt")
        os.mkdir(self.stem("dir") + ".pdt")  # the module's "Read error!"
        for stem in (self.stem("missing"), self.stem("dir")):
            for argv in (["dump"], ["dump", "--json"], ["dump", "--pure"], ["check"]):
                status, out, err = run_main(argv + [stem])
                self.assertEqual((status, out, len(err)), (3, b"", 1), (argv, err))
                self.assertIn(stem, err[0])
                # A plugin's own sys.stdout, and the real streams of a child
                # whose C stream buffers (no PYTHONUNBUFFERED).
                saved, sys.stdout = sys.stdout, io.StringIO() if str is not bytes else __import__("StringIO").StringIO()
                try:
                    status, out, err = run_main(argv + [stem])
                    self.assertEqual((status, sys.stdout.getvalue(), out), (3, u"", b""), (argv, err))
                finally:
                    sys.stdout = saved
                if argv == ["dump"]:  # the module's own lines
                    self.assertEqual(run_tool(argv + [stem])[:2], (3, b""), argv)

    def test_folders_and_file_names(self):
        folder = self.stem("guide")
        os.mkdir(folder)
        for name in ("a", "b", "lone-index", "lone-data"):
            G.write(os.path.join(folder, name), [(60, name)])
        os.remove(os.path.join(folder, "lone-index.pdt"))
        os.remove(os.path.join(folder, "lone-data.ndx"))
        self.file("guide/notes.txt", b"not a pair")
        G.write(self.stem("x.ndx"), [(1, u"a pair named x.ndx")])
        cases = [  # argv, status, lines of standard output
            (["check", os.path.join(folder, "a.ndx"), os.path.join(folder, "b.pdt")], 0,
             ["%s: no findings" % os.path.join(folder, n) for n in ("a", "b")]),
            (["check", folder], 2, ["%s: no findings" % os.path.join(folder, "a"), "%s: no findings" % os.path.join(folder, "b"),
                                    "%s: error: the .ndx is missing beside the .pdt" % os.path.join(folder, "lone-data"),
                                    "%s: error: the .pdt is missing beside the .ndx" % os.path.join(folder, "lone-index")]),
            (["check", self.stem("x.ndx")], 0, ["%s: no findings" % self.stem("x.ndx")]),
            (["dump", os.path.join(folder, "a.ndx")], 0, ["1970-01-01 00:01:00 UTC  a"]),
            (["dump", folder], 3, ["== %s" % os.path.join(folder, "a"), "1970-01-01 00:01:00 UTC  a",
                                   "== %s" % os.path.join(folder, "b"), "1970-01-01 00:01:00 UTC  b"]),
            (["dump", "--json", folder], 3, [json.dumps({os.path.join(folder, "a"): [[60, "a"]],
                                                         os.path.join(folder, "b"): [[60, "b"]]}, sort_keys=True)]),
        ]
        for argv, status, lines in cases:
            got, out, err = run_main(argv)
            self.assertEqual((got, out.decode("utf-8").splitlines()), (status, lines), (argv, err))
            self.assertEqual(len(err), 2 if argv[0] == "dump" and status else 0, err)  # the lone files, named

    @unittest.skipIf(str is bytes, "os.PathLike is Python 3's")
    def test_path_objects(self):
        import pathlib
        stem = pathlib.Path(self.stem())
        G.write(stem, [(1, u"a")])
        self.assertEqual((G.read(stem)[0], G.read_pure(stem), G.check(stem)), (((1, u"a"),), ((1, u"a"),), []))
        self.assertEqual(G.store(stem, *G.build([(1, u"a")])[:2]), False)
        self.assertEqual([s for s, _ in G.pairs_in(pathlib.Path(self.dir))], [self.stem()])
        path = pathlib.Path(self.file("in.xml", listing({"p.tv": [u"p"]})))
        self.assertEqual(G.from_xmltv(path, pathlib.Path(self.stem("out"))).channels, [("p.tv", "p.tv", "p.tv")])

    def test_a_closed_pipe_ends_quietly(self):
        G.write(self.stem(), [(i, u"title %d" % i) for i in range(5000)])
        child = tool_child(["dump", self.stem()])
        child.stdin.close()
        self.assertTrue(child.stdout.readline().endswith(b"  title 0\n"))
        child.stdout.close()
        self.assertEqual((child.wait(), child.stderr.read()), (141, b""))
        child.stderr.close()


XMLTV = u"""<?xml version="1.0" encoding="UTF-8"?>
<tv>
  <channel id="a.tv"><display-name>A</display-name></channel>
  <channel id="silent.tv"><display-name>S</display-name></channel>
  <programme start="20260102100000 +0100" channel="a.tv"><title lang="de">Nachrichten</title><title lang="en">  News  </title></programme>
  <programme start="20260102080000" channel="a.tv"><title>Early</title></programme>
  <programme start="202601020900 -0030" channel="a.tv"><title lang="de">Nur deutsch</title></programme>
  <programme start="20260102090000 UTC" channel="a.tv"><title>Same start</title></programme>
  <programme start="20260102110000 IST" channel="a.tv"><title>Zone unknown</title></programme>
  <programme start="20260102120000" channel="a.tv"></programme>
  <programme start="20260102" channel="b/tv.x"><title>Slash</title></programme>
  <programme start="20260102" channel="b_tv.x"><title>Underscore</title></programme>
  <programme start="20400101" channel="b_tv.x"><title>Past 2038</title></programme>
  <programme start="20260102" channel=".dot"><title>Hidden?</title></programme>
</tv>
"""


class XmltvTest(GuideCase):

    def test_times(self):
        base = calendar.timegm((2026, 1, 2, 3, 4, 5))
        for text, expected in [("20260102030405 +0100", base - 3600), ("20260102030405-0130", base + 5400),
                               ("20260102030405", base), ("20260102030405 UTC", base),
                               ("202601020304", base - 5), ("20260102", base - 11045), ("2026", base - 97445),
                               ("20260102030405 BST", base - 3600), ("20260102030405 cest", base - 7200),
                               ("20260102030405 Hst", base + 36000), ("20260102030405 msk", base - 10800)]:
            self.assertEqual(G.xmltv_time(text), expected, text)
        # --zone: for times that carry no offset only
        for text, expected in [("20260102030405", base - 5400), ("20260102030405 +0000", base), ("20260102030405 EST", base + 18000)]:
            self.assertEqual(G.xmltv_time(text, zone=5400), expected, text)
        digits = u"\uff12\uff10\uff12\uff16\uff10\uff11\uff10\uff12"  # fullwidth 20260102
        for text in ("20260102030405 IST", "20260102030405 XYZ", "2026010", "20260230", "yesterday", "20260102030405 +2400",
                     "20260102030405 +0160", "20260102030405 +9999", u"20260102030405 +\u0661\u0662\u0660\u0660",
                     digits, digits + u"030405", u"2026\u0660102"):
            self.assertRaises(ValueError, G.xmltv_time, text)

    def convert(self, document=XMLTV, **kwargs):
        return G.from_xmltv(self.file("in.xml", document.encode("utf-8")), self.dir, **kwargs)

    def test_from_xmltv(self):
        report = self.convert(languages=["en"])
        self.assertEqual(report.channels, [(".dot", "_dot", ".dot"), ("a.tv", "a.tv", "A"),
                                           ("b/tv.x", "b_tv.x~2", "b/tv.x"), ("b_tv.x", "b_tv.x", "b_tv.x"),
                                           ("silent.tv", "silent.tv", "S")])
        self.assertEqual(report.skipped, {"unknown time zone": [1, [("a.tv", "20260102110000 IST", "Zone unknown")]],
                                          "no title": [1, [("a.tv", "20260102120000", None)]],
                                          "start outside the 32-bit range": [1, [("b_tv.x", "20400101", "Past 2038")]]})
        day = calendar.timegm((2026, 1, 2, 0, 0, 0))
        self.assertEqual(quarnel.read(self.stem("a.tv")), (
            (day + 8 * 3600, u"Early"), (day + 9 * 3600, u"News"), (day + 9 * 3600, u"Same start"),
            (day + 9 * 3600 + 1800, u"Nur deutsch")))
        self.assertEqual(quarnel.read(self.stem("b_tv.x")), ((day, u"Underscore"),))
        self.assertEqual(quarnel.read(self.stem("silent.tv")), ())
        self.assertEqual(self.convert(channels=["b_tv.x"]).channels, [("b_tv.x", "b_tv.x", "b_tv.x")])
        empty = self.convert(u'<?xml version="1.0"?>\n<tv generator-info-name="x"></tv>\n')
        self.assertEqual((empty.channels, empty.status()), ([], 0))

    def test_round_trip(self):
        mapping = self.convert(languages=["de"]).channels
        G.write(self.stem("gaps"), [(5, u""), (6, u" ")])
        pairs = [(self.stem(name), cid, display) for cid, name, display in mapping] + [(self.stem("gaps"), "gaps.tv", "g")]
        path = os.path.join(self.dir, "out.xml")
        with io.open(path, "w", encoding="utf-8") as f:
            self.assertEqual(G.to_xmltv(pairs, f), (2, 2))
        tree = ElementTree.parse(path).getroot()
        got = set((p.get("channel"), G.xmltv_time(p.get("start")), p.find("title").text)
                  for p in tree.findall("programme"))
        expected = set((cid, s, t) for cid, name, _ in mapping for s, t in quarnel.read(self.stem(name)))
        self.assertEqual(got, expected)
        self.assertEqual([c.get("id") for c in tree.findall("channel")], [".dot", "a.tv", "b/tv.x", "b_tv.x"])
        starts = [p for p in tree.findall("programme") if p.get("channel") == "a.tv"]
        self.assertEqual([p.get("stop") for p in starts], [p.get("start") for p in starts[1:]] + [None])


    def test_what_xml_must_escape(self):
        self.raw(*rawpair.build([(0, b'&lt; & <b> "q"'), (60, b"f\x0bg\x0ch\x01")]))
        out = io.StringIO()
        G.to_xmltv([(self.stem(), u'a"&<b>\t.tv', u'A & "B" <c>')], out)
        root = ElementTree.fromstring(out.getvalue().encode("utf-8"))
        channel = root.find("channel")
        self.assertEqual((channel.get("id"), channel.find("display-name").text), (u'a"&<b>\t.tv', u'A & "B" <c>'))
        self.assertEqual([(p.get("channel"), p.find("title").text) for p in root.findall("programme")],
                         [(u'a"&<b>\t.tv', u'&lt; & <b> "q"'), (u'a"&<b>\t.tv', u"f\ufffdg\ufffdh\ufffd")])


class CommandTest(GuideCase):

    def test_commands_in_a_fresh_interpreter(self):
        self.file("e.json", json.dumps([[60, NEWS], [0, u"first"]]).encode("utf-8"))
        self.file("in.xml", XMLTV.encode("utf-8"))
        code = module_path_code() + (
            "sys.path.append(%r); import os, quarnel_guide; os.chdir(%r)\n"
            "for argv in (['write', 'ch', 'e.json'], ['check', 'ch'], ['dump', '--json', 'ch'],\n"
            "             ['to-xmltv', 'ch', '-o', 'ch.xml'], ['from-xmltv', 'in.xml', '.', '--channel', 'a.tv']):\n"
            "    print('status %%d' %% quarnel_guide.main(argv)); sys.stdout.flush()\n"
        ) % (GUIDE_PATH, self.dir)
        status, out, err = child_python(code)
        self.assertEqual(status, 0, err)
        lines = out.decode("utf-8").splitlines()
        self.assertEqual([l for l in lines if l.startswith("status")], ["status 0"] * 4 + ["status 2"], lines)
        self.assertIn(json.dumps([[0, u"first"], [60, NEWS]], ensure_ascii=False), lines)
        self.assertIn(u"a.tv\ta.tv\tA", lines)
        self.assertEqual(G.read_pure(os.path.join(self.dir, "ch")), ((0, u"first"), (60, NEWS)))

    def test_without_an_xml_parser(self):
        # A box's Python may lack pyexpat: all but from-xmltv must still work.
        code = module_path_code() + (
            "sys.modules['xml'] = sys.modules['pyexpat'] = None\n"
            "sys.path.append(%r); import quarnel_guide\n"
            "quarnel_guide.write(%r, [(1, u'a')])\n"
            "sys.exit(quarnel_guide.main(['to-xmltv', %r, '-o', %r]) + quarnel_guide.main(['check', %r]))\n"
        ) % (GUIDE_PATH, self.stem(), self.stem(),
             os.path.join(self.dir, "out.xml"), self.stem())
        status, out, err = child_python(code)
        self.assertEqual(status, 0, err)


def tool_child(argv, env=None, out=subprocess.PIPE, err=subprocess.PIPE):
    """quarnel-guide started as a shell or cron starts it: its own streams
    (pipes unless given), PYTHONUNBUFFERED unset, env's changes (None: unset)."""
    closing = None if env is None or env.get("stdin") != "closed" else lambda: os.close(0)
    env = dict((k, v) for k, v in (env or {}).items() if k != "stdin")
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([GUIDE_PATH,
                                                               os.path.dirname(quarnel.__file__)]))
    for name, value in dict(env or {}, PYTHONUNBUFFERED=None).items():
        environment.pop(name, None)
        if value is not None:
            environment[name] = value
    command = shlex.split(os.environ.get("QUARNEL_PYTHON", "")) or [sys.executable]
    tool = [ARCHIVE] if ARCHIVE else ["-m", "quarnel_guide"]
    return subprocess.Popen(command + tool + argv, stdin=None if closing else subprocess.PIPE,
                            stdout=out, stderr=err, env=environment, preexec_fn=closing)


def run_tool(argv, stdin=b"", env=None, files=False):
    """(status, standard output's bytes, standard error's lines) of
    tool_child, its output streams pipes or (files) files."""
    if stdin is None:  # closed from the start
        env = dict(env or {}, stdin="closed")
    if not files:
        child = tool_child(argv, env)
        out, err = child.communicate(stdin)
        return child.returncode, out, err.decode("utf-8").splitlines()
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        child = tool_child(argv, env, out, err)
        child.communicate(stdin)
        out.seek(0)
        err.seek(0)
        return child.returncode, out.read(), err.read().decode("utf-8").splitlines()


class Stderr(object):
    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text.decode("utf-8") if isinstance(text, bytes) else text)

    def lines(self):
        return u"".join(self.parts).splitlines()


def run_main(argv):
    """(status, standard output's bytes, standard error's lines) of a command."""
    err = Stderr()
    saved, sys.stderr = sys.stderr, err
    try:
        with Stdout() as out:
            try:
                status = G.main(argv)
            except SystemExit as exit:
                status = exit.code
    finally:
        sys.stderr = saved
    return status, out.text, err.lines()


def laughs(levels):
    """A listing whose title is an entity of 10**levels three-byte words."""
    decls = [u'<!ENTITY a0 "ha ">'] + [u'<!ENTITY a%d "%s">' % (n, u"&a%d;" % (n - 1) * 10)
                                         for n in range(1, levels + 1)]
    return (u'<?xml version="1.0"?>\n<!DOCTYPE tv [\n%s\n]>\n<tv><programme start="2026" channel="c.tv">'
            u'<title>&a%d;</title></programme></tv>\n' % (u"\n".join(decls), levels)).encode("ascii")


def one_big_entity(uses):
    return (u'<?xml version="1.0"?>\n<!DOCTYPE tv [<!ENTITY big "%s">]>\n<tv><programme start="2026" '
            u'channel="c.tv"><title>%s</title></programme></tv>\n' % (u"x" * 100000, u"&big;" * uses)).encode("ascii")


def listing(channels):
    """An XMLTV listing: {channel id: [titles]}, an hour apart."""
    body = u"".join(u'<programme start="%d +0000" channel="%s"><title>%s</title></programme>\n'
                    % (20260101000000 + 10000 * (i % 24) + 1000000 * (i // 24), cid, title)
                    for cid in sorted(channels) for i, title in enumerate(channels[cid]))
    return (u'<?xml version="1.0" encoding="UTF-8"?>\n<tv>\n%s</tv>\n' % body).encode("utf-8")


class ExitStatusTest(GuideCase):
    """Every command's failures: the status of the table, one line on
    standard error naming what and why (after the usage line for a usage
    error), never a traceback, and nothing written from a refused input."""

    def test_statuses(self):
        stem, out = self.stem(), os.path.join(self.dir, "out")
        os.mkdir(out)
        G.write(stem, [(1, u"old")])
        os.mkdir(self.stem("dir") + ".ndx")
        json_file = lambda text: self.file("e.json", text)
        xml_file = lambda content: self.file("in.xml", content)
        interrupt = KeyboardInterrupt()
        cases = [
            # (argv, files it needs, what os.fsync raises or sends, status, words of the last line of stderr)
            (["check", stem], None, None, 0, None),
            (["write", stem, "e.json"], lambda: json_file(b"[" * 100000 + b"]" * 100000), None, 3, "nested too deep"),
            (["write", stem, "e.json"], lambda: json_file(b'[[1, "caf\xe9"]]'), None, 3, "not a JSON list"),
            (["write", stem, "e.json"], lambda: json_file(b'[[1, "a\\u0000b"]]'), None, 2, "entry 0"),
            (["write", stem, "e.json"], lambda: json_file(b'[[1, "new"]]'), interrupt, 130, "interrupted"),
            (["to-xmltv", self.stem("empty")], lambda: G.write(self.stem("empty"), []), None, 2, "1 pair without entries"),
            (["write", self.stem("nodir/x"), "e.json"], None, None, 3, "No such file"),
            (["write", stem, "e.json"], lambda: json_file(b'[[1, "new"]]'), MemoryError(), 3, "out of memory"),
            (["write", stem, "e.json"], lambda: json_file(b'[[1, "new"]]'), signal.SIGTERM, 143, "ended by SIGTERM"),
            (["write", stem, "e.json"], lambda: json_file(b'[[1, "new"]]'), signal.SIGHUP, 129, "ended by SIGHUP"),
            (["write", self.stem("r"), "e.json", "--errors", "replace"], lambda: json_file(b'[[1, "\\u4e2d"]]'),
             None, 1, "1 entry, 1 character replaced"),
            (["write", self.stem("r"), "e.json"], None, None, 2, "--errors replace"),
            (["write", self.stem("r"), "e.json"], lambda: json_file(b'{"a": 1}'), None, 3, "a list of [start, title]"),
            (["from-xmltv", "in.xml", "in.xml"], lambda: xml_file(b"<tv/>"), None, 3, "is a file, not a folder"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(compressed("gzip", XMLTV.encode("utf-8"))[:-30]), None, 3,
             "ends early, as a download cut short does"),
            (["to-xmltv", stem, "--id", "oops"], None, None, 3, "STEM=ID"),
            (["to-xmltv", stem, "--map", "e.json"], lambda: json_file(b"ch\xff\tch\n"), None, 3, "not UTF-8"),
            (["to-xmltv", stem, self.stem("missing")], None, None, 3, "No such file"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(b'<?xml version="1.0" encoding="x-none"?><tv/>'),
             None, 3, "encoding"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(laughs(2)), None, 3, "entity a0:"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(b"<tv><programme>"), None, 3, "not XML"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(b"404 Not Found\r\n\r\n<html>gone</html>"), None, 3, "not XML"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(b'<?xml version="1.0"?>\n<!DOCTYPE tv [<!ENTITY % p "x">]>\n'
                                                             b'<tv/>\n'), None, 3, "entity p:"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(b"\x1f\x8b\x08\x00" + b"\xff" * 60), None, 3, "broken"),
            (["from-xmltv", "in.xml", out], lambda: xml_file(compressed("gzip", XMLTV.encode("utf-8")) + b"\0\0junk"),
             None, 3, "broken"),
            (["from-xmltv", "in.xml", out, "--zone", "+01300"], None, None, 3, "+hhmm"),
            (["from-xmltv", "in.xml", out, "--days", "0"], None, None, 3, "positive number of days"),
            (["grid", stem, "--at", "yesterday"], None, None, 3, "YYYY-MM-DD HH:MM"),
            (["grid", stem, "--hours", "0"], None, None, 3, "positive number of hours"),
            (["from-xmltv", "missing.xml", out], None, None, 3, "No such file"),
            (["check", self.stem("dir"), stem], None, None, 3, "Is a directory"),
            (["dump", "--pure", self.stem("dir")], None, None, 3, "Is a directory"),
            ([], None, None, 3, None),
        ]
        real_fsync, cwd = os.fsync, os.getcwd()
        os.chdir(self.dir)
        try:
            for argv, setup, fsync, status, words in cases:
                if setup:
                    setup()
                if isinstance(fsync, BaseException):
                    os.fsync = lambda fd: (_ for _ in ()).throw(fsync)
                elif fsync:  # a signal, arriving while the pair is written
                    os.fsync = lambda fd: os.kill(os.getpid(), fsync)
                try:
                    got, _, err = run_main(argv)
                finally:
                    os.fsync = real_fsync
                self.assertEqual(got, status, (argv, err))
                self.assertEqual(len([l for l in err if not l.startswith(("usage:", " "))]), 1 if status else 0, err)
                if words:
                    self.assertIn(words, err[-1], (argv, err))
                self.assertEqual(os.listdir(out), [], argv)
                self.assertEqual(quarnel.read(stem), ((1, u"old"),), argv)
                self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".") and n not in (G.LOCK_NAME, G.MANIFEST_NAME)], [], argv)
        finally:
            os.chdir(cwd)

    def test_file_names_that_are_not_text(self):
        name = b"caf\xe9 \xff"  # Latin-1, in no UTF-8 file system's encoding
        stem = os.path.join(self.dir.encode("ascii"), name) if str is bytes else os.path.join(self.dir, os.fsdecode(name))
        G.write(stem, [(0, u"a")])
        status, text, err = run_main(["to-xmltv", stem])
        self.assertEqual(status, 0, err)
        channel = ElementTree.fromstring(text).find("channel")
        self.assertEqual((channel.get("id"), channel.find("display-name").text),
                         ("caf---.quarnel", u"caf\ufffd \ufffd"))

    def test_modes_and_owner(self):
        root = os.geteuid() == 0
        # (umask, the old files' modes (.ndx, .pdt), the new files' modes); set-id
        # bits survive the change of owner, which clears them.
        for umask, old_modes, expected in [(0o022, None, (0o644,) * 2), (0o077, None, (0o600,) * 2),
                                           (0o002, None, (0o664,) * 2), (0o077, (0o644,) * 2, (0o644,) * 2),
                                           (0o022, (0o640,) * 2, (0o640,) * 2), (0o022, (0o600, 0o644), (0o600, 0o644)),
                                           (0o022, (0o6755,) * 2, (0o6755,) * 2)]:
            stem = self.stem("m%o-%s" % (umask, "-".join("%o" % m for m in old_modes or ())))
            if old_modes:
                G.write(stem, [(1, u"old")])
                for suffix, old_mode in zip((".ndx", ".pdt"), old_modes):
                    if root:
                        os.chown(stem + suffix, 4321, 4322)
                    os.chmod(stem + suffix, old_mode)
            saved = os.umask(umask)
            try:
                G.write(stem, [(2, u"new")])
            finally:
                os.umask(saved)
            for suffix, mode in zip((".ndx", ".pdt"), expected):
                st = os.stat(stem + suffix)
                self.assertEqual(oct(st.st_mode & 0o7777), oct(mode), (umask, old_modes, suffix))
                if old_modes and root:
                    self.assertEqual((st.st_uid, st.st_gid), (4321, 4322))

    def test_a_channel_past_what_a_pair_holds(self):
        path = self.file("in.xml", listing({"many.tv": [u"m%d" % i for i in range(6)], "few.tv": [u"f"]}))
        saved, intake.MAX_ENTRIES = intake.MAX_ENTRIES, 4
        try:
            report = G.from_xmltv(path, self.dir)
        finally:
            intake.MAX_ENTRIES = saved
        self.assertEqual((report.channels, report.refused, report.status()),
                         ([("few.tv", "few.tv", "few.tv")], {"many.tv": "6 programmes or more; a pair holds at most 4"}, 2))


class BoundedTest(GuideCase):
    """In a child, as a box would meet them: the refusals and the check stay
    within bounded memory and time whatever expat the interpreter has."""

    def child(self, code):
        # The alarm bounds the time (qemu included): unguarded, these run for minutes.
        code = module_path_code() + (
            "import json, os, resource, signal; sys.path.append(%r); import quarnel_guide as G\n"
            "os.chdir(%r); signal.alarm(60)\n" % (GUIDE_PATH, self.dir)) + code
        status, out, err = child_python(code)
        self.assertEqual(status, 0, err)
        return json.loads(out.decode("utf-8").splitlines()[-1])

    def test_entities_and_a_large_data_file(self):
        self.file("laughs.xml", laughs(10))
        self.file("big.xml", one_big_entity(30000))
        G.write(self.stem(), [(1, u"a")])
        with open(self.stem() + ".pdt", "ab") as f:
            f.truncate(3 << 30)  # sparse: more than the address space the child may take
        statuses, peak, files = self.child(
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))\n"
            "statuses = [G.main(['from-xmltv', x, '.']) for x in ('laughs.xml', 'big.xml')] + [G.main(['check', 'ch'])]\n"
            "print(json.dumps([statuses, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024, os.listdir('.')]))\n")
        self.assertEqual(statuses, [3, 3, 1])
        self.assertLess(peak, 200)
        self.assertEqual(sorted(files), ["big.xml", "ch.ndx", "ch.pdt", "laughs.xml"])

    def test_full_disk(self):
        titles = [u"%04d %s" % (i, u"x" * 100) for i in range(300)]
        self.file("in.xml", listing({"a.tv": [u"a", u"skipped"], "big.tv": titles, "c.tv": [u"c"]}).replace(b"+0000", b"IST", 1))
        os.mkdir(self.stem("out"))
        status, lines = self.child(
            "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
            "resource.setrlimit(resource.RLIMIT_FSIZE, (8192, resource.RLIM_INFINITY))\n"
            "import io; sys.stderr = io.StringIO() if str is not bytes else __import__('StringIO').StringIO()\n"
            "status = G.main(['from-xmltv', 'in.xml', 'out'])\n"
            "print(json.dumps([status, sys.stderr.getvalue().splitlines()]))\n")
        self.assertEqual(status, 3)
        self.assertTrue([l for l in lines if l.startswith("channel big.tv could not be written: ")], lines)
        self.assertEqual(sorted(os.listdir(self.stem("out"))), [G.MANIFEST_NAME, G.LOCK_NAME, "a.tv.ndx", "a.tv.pdt", "c.tv.ndx", "c.tv.pdt"])


def compressed(kind, data):
    """data compressed as kind (gzip in two members), or None where this Python lacks the module."""
    try:
        if kind == "gzip":
            import zlib
            members = [zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS) for _ in range(2)]
            half = len(data) // 2
            return b"".join(m.compress(part) + m.flush() for m, part in zip(members, (data[:half], data[half:])))
        return __import__({"bzip2": "bz2", "xz": "lzma"}[kind]).compress(data)
    except ImportError:
        return None


def aligned(kind, data, boundary=4096):
    """data as two members of kind, the first padded by a comment so that it
    ends exactly at a multiple of boundary bytes; None without the module."""
    try:
        module = __import__({"bzip2": "bz2", "xz": "lzma"}[kind])
    except ImportError:
        return None
    half = data.index(b"<programme", len(data) // 2)
    head = lambda pad: module.compress(data[:half] + b"<!--" + pad + b"-->")
    target = (len(head(b"")) // boundary + 1) * boundary
    for seed in range(100):  # sizes jump by a few bytes: other letters, other sizes
        letters = random.Random(seed)
        pad = u"".join(letters.choice(u"abcdefghijklmnopqrstuvwxyz") for _ in range(2 * boundary)).encode("ascii")
        low, high = 0, len(pad)
        while low < high:
            middle = (low + high) // 2
            low, high = (middle + 1, high) if len(head(pad[:middle])) < target else (low, middle)
        for n in range(max(0, low - 16), low + 16):
            if len(head(pad[:n])) == target:
                return head(pad[:n]) + module.compress(data[half:])
    raise AssertionError("no padding ends the first %s member at %d bytes" % (kind, target))


class MediaTest(GuideCase):
    """Pairs on the media boxes use: FAT that keeps no modes, signals,
    killed runs, two runs at once."""

    def test_refusals_are_no_failures(self):
        G.write(self.stem(), [(1, u"old")])
        real = dict((name, getattr(os, name)) for name in ("fchmod", "fchown", "fsync"))
        folder = lambda fd: os.path.isdir("/proc/self/fd/%d" % fd)
        for name, number in [(n, e) for n in ("fchmod", "fchown", "fsync")
                             for e in (errno.EPERM, errno.ENOSYS, errno.EOPNOTSUPP, errno.EINVAL)]:
            def refuse(fd, *args, **kwargs):
                if name != "fsync" or folder(fd):  # a file's own fsync works
                    raise OSError(number, os.strerror(number))
                return real[name](fd, *args, **kwargs)
            setattr(os, name, refuse)
            try:
                G.write(self.stem(), [(2, u"new %s %d" % (name, number))])
            finally:
                setattr(os, name, real[name])
            self.assertEqual(quarnel.read(self.stem()), ((2, u"new %s %d" % (name, number)),))

    def test_a_fat_stick_through_fuse(self):
        tools = [t for t in ("mkfs.vfat", "fusefat", "fusermount") if not any(
            os.access(os.path.join(d, t), os.X_OK) for d in os.environ.get("PATH", "").split(os.pathsep) + ["/sbin", "/usr/sbin"])]
        if os.geteuid() != 0 or not os.path.exists("/dev/fuse") or tools:
            self.skipTest("a FAT image needs root, /dev/fuse and %s" % (", ".join(tools) or "nothing more"))
        image, mount = self.stem("fat.img"), self.stem("stick")
        os.mkdir(mount)
        quiet = dict(stdout=open(os.devnull, "w"), stderr=subprocess.STDOUT)
        subprocess.check_call(["mkfs.vfat", "-C", image, "4096"], env=dict(os.environ, PATH=os.environ.get("PATH", "") + ":/sbin:/usr/sbin"), **quiet)
        if subprocess.call(["fusefat", "-o", "rw+", image, mount], **quiet):
            self.skipTest("fusefat could not mount here")
        try:
            for day, title in enumerate([u"monday", u"tuesday"]):
                path = self.file("in.xml", listing({"a.tv": [title], "b.tv": [title]}))
                self.assertEqual(run_main(["from-xmltv", path, mount])[::2], (0, ["2 pairs written to %s" % mount]), day)
                self.assertEqual(quarnel.read(os.path.join(mount, "b.tv"))[0][1], title)
            self.assertEqual(sorted(n.lower() for n in os.listdir(mount)),  # no temporary file left
                             sorted([G.MANIFEST_NAME, G.LOCK_NAME, "a.tv.ndx", "a.tv.pdt", "b.tv.ndx", "b.tv.pdt"]))
        finally:
            subprocess.call(["fusermount", "-u", mount], **quiet)
            quiet["stdout"].close()

    def test_ctrl_c_between_the_renames(self):
        G.write(self.stem(), [(1, u"old")])
        json_path = self.file("e.json", b'[[2, "new"]]')
        real, renamed = os.rename, []

        def rename(a, b):
            real(a, b)
            renamed.append(b)
            if len(renamed) == 1:
                os.kill(os.getpid(), signal.SIGINT)
        os.rename = rename
        # Ctrl-C as a terminal delivers it (a shell's background job starts with it ignored).
        saved = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            status, _, err = run_main(["write", self.stem(), json_path])
        finally:
            os.rename = real
            signal.signal(signal.SIGINT, saved)
        self.assertEqual((status, len(renamed), quarnel.read(self.stem())), (130, 2, ((2, u"new"),)), err)

    def test_what_killed_runs_leave(self):
        code = module_path_code() + (
            "sys.path.append(%r); import os, signal, quarnel_guide\n"
            "os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)\n"
            "quarnel_guide.write(%r, [(1, u'killed')])\n") % (GUIDE_PATH, self.stem())
        live = os.path.basename(self.file(".ch.ndx.%d.0123abcd" % os.getpid(), b"a write in progress"))
        listing_path = self.file("in.xml", listing({"ch": [u"next"]}))
        for argv in (["write", self.stem(), self.file("e.json", b'[[1, "next"]]')], ["from-xmltv", listing_path, self.dir]):
            for _ in range(2):
                self.assertEqual(child_python(code)[0], -signal.SIGKILL)
            self.assertEqual(len([n for n in os.listdir(self.dir) if n.startswith(".ch.pdt.")]), 2)
            status, _, err = run_main(argv)
            self.assertEqual((status, "2 temporary files of killed runs removed" in err), (0, True), err)
            self.assertEqual(sorted(n for n in os.listdir(self.dir) if n.startswith(".") and n != G.MANIFEST_NAME),
                             sorted([G.LOCK_NAME, live]))

    def test_one_run_at_a_time(self):
        path = self.file("in.xml", listing({"a.tv": [u"a"]}))
        out = self.stem("out")
        os.mkdir(out)
        code = module_path_code() + (
            "sys.path.append(%r); import os, time, quarnel_guide\n"
            "real = os.fsync\n"
            "os.fsync = lambda fd: (time.sleep(0.5), real(fd))[1]\n"
            "sys.exit(quarnel_guide.main(['from-xmltv', %r, %r]))\n") % (GUIDE_PATH, path, out)
        command = shlex.split(os.environ.get("QUARNEL_PYTHON", "")) or [sys.executable]
        first = subprocess.Popen(command + ["-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lock = os.path.join(out, G.LOCK_NAME)
        while first.poll() is None:  # until the first run holds the folder
            fd = os.open(lock, os.O_WRONLY | os.O_CREAT) if os.path.exists(lock) else None
            try:
                if fd is not None:
                    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except (IOError, OSError):
                break
            finally:
                if fd is not None:
                    os.close(fd)
            time.sleep(0.01)
        started = time.time()
        second = run_main(["from-xmltv", path, out])
        self.assertEqual((first.wait(), second[0]), (0, 0), second)
        self.assertGreater(time.time() - started, 0.5)  # it waited for the first
        first.stdout.close()
        first.stderr.close()
        fd = os.open(lock, os.O_WRONLY)
        fcntl.flock(fd, fcntl.LOCK_EX)
        try:
            status, _, err = run_main(["from-xmltv", path, out, "--wait", "0.3"])
        finally:
            os.close(fd)
        self.assertEqual((status, len(err)), (3, 1), err)
        self.assertIn(out, err[0])


class ChannelsTest(GuideCase):
    """Channels as the box names them: a file name kept from run to run,
    names a FAT stick keeps apart, a map, pruning."""

    def import_(self, ids, *options):
        """from-xmltv of a listing holding ids in this order (a title each:
        the id); (status, {id: file name} printed, standard error's lines)."""
        document = u"<tv>%s</tv>" % u"".join(u'<programme start="20260101" channel="%s"><title>%s</title></programme>'
                                              % (cid, cid) for cid in ids)
        path = self.file("in.xml", document.encode("utf-8"))
        status, out, err = run_main(["from-xmltv", path, self.stem("out")] + list(options))
        return status, dict(line.split(u"\t")[:2] for line in out.decode("utf-8").splitlines()), err

    def pairs(self):
        """{file name: the title its pair holds} in the folder."""
        out = self.stem("out")
        return dict((name[:-4], quarnel.read(os.path.join(out, name[:-4]))[0][1])
                    for name in os.listdir(out) if name.endswith(".ndx"))

    def test_names_stay(self):
        days = [["nhk:4.jp", "ARD.de"], ["nhk/4.jp", "nhk:4.jp", "ard.de", "ARD.de"],
                ["ard.de", "nhk_4.jp", "ARD.de", "nhk:4.jp", "nhk/4.jp"]]
        first = {}
        for ids in days:
            status, names, err = self.import_(ids)
            self.assertEqual(status, 0, err)
            for cid, stem in names.items():
                self.assertEqual(stem, first.setdefault(cid, stem), (ids, cid))
            self.assertEqual(len(set(stem.lower() for stem in names.values())), len(ids))  # apart on FAT
            self.assertEqual(self.pairs(), dict((stem, cid) for cid, stem in first.items()))
        self.assertEqual((first["ARD.de"], first["ard.de"], first["nhk:4.jp"]), ("ARD.de", "ard.de~2", "nhk_4.jp"))

    def test_a_folder_an_older_version_wrote(self):
        os.mkdir(self.stem("out"))
        for stem, cid in (("b_tv.x", "b_tv.x"), ("b_tv.x~2", "b/tv.x")):  # as it named them, with no list
            G.write(os.path.join(self.stem("out"), stem), [(1, u"old")])
        status, names, err = self.import_(["b/tv.x", "b:tv.x", "b_tv.x"])
        self.assertEqual((status, names), (0, {"b_tv.x": "b_tv.x", "b/tv.x": "b_tv.x~2", "b:tv.x": "b_tv.x~3"}), err)
        self.assertEqual(self.pairs(), {"b_tv.x": "b_tv.x", "b_tv.x~2": "b/tv.x", "b_tv.x~3": "b:tv.x"})

    def test_maps(self):
        self.import_(["a.tv", "b.tv"])
        cases = [  # the map, status, {id: file name} or words of the refusal
            (u"# mine\n\na.tv\tfirst\tA, ignored\nc.tv\tthird\n", 0, {"a.tv": "first", "b.tv": "b.tv", "c.tv": "third"}),
            (u"a.tv\tb.tv\n", 0, {"a.tv": "b.tv", "b.tv": "b.tv~2", "c.tv": "third"}),
            (u"a.tv\tx\nb.tv\tX\n", 3, ["line 2", "x"]),
            (u"a.tv\t.hidden\n", 3, ["line 1", "safe file name"]),
            (u"a.tv\tx\na.tv\ty\n", 3, ["line 2", "twice"]),
            (u"a.tv x\n", 3, ["line 1", "no tab"]),
        ]
        for text, status, expected in cases:
            before = sorted(os.listdir(self.stem("out")))
            got, names, err = self.import_(["a.tv", "b.tv", "c.tv"], "--map", self.file("map.txt", text.encode("utf-8")))
            self.assertEqual(got, status, (text, err))
            if status:
                self.assertEqual((len(err), sorted(os.listdir(self.stem("out")))), (1, before), text)
                for word in expected:
                    self.assertIn(word, err[0])
            else:
                self.assertEqual(names, expected, text)
                self.assertEqual([self.pairs()[stem] for stem in names.values()], list(names))  # a renamed pair stays

    def test_pruning(self):
        ids = ["a.tv", "b.tv", "c.tv", "d.tv", "e.tv"]
        self.import_(ids)
        G.write(os.path.join(self.stem("out"), "notes"), [(1, u"not a pair of ours")])
        cases = [  # the listing's ids (None: not XML), options, status, the pairs left, words of the last line
            (ids[:4], [], 0, ids, "written"),
            (ids[:4], ["--prune"], 0, ids[:4], "e.tv pruned"),
            (None, ["--prune"], 3, ids[:4], "not XML"),
            ([], ["--prune"], 1, ids[:4], "the listing holds no channel"),
            (ids[:1], ["--prune"], 1, ids[:4], "3 of the 4 channels would go"),
            (ids[:1] + ["z.tv"], ["--prune", "--channel", "a.tv", "--channel", "b.tv", "--channel", "z.tv"], 1,
             ["a.tv", "c.tv", "d.tv", "z.tv"], "b.tv pruned"),  # and named as asked for but absent
        ]
        for listed, options, status, left, words in cases:
            before = set(self.pairs())
            if listed is None:
                self.file("in.xml", b"404 Not Found")
                got, _, err = run_main(["from-xmltv", self.stem("in.xml"), self.stem("out")] + options)
            else:
                got, _, err = self.import_(listed, *options)
            self.assertEqual((got, sorted(self.pairs())), (status, sorted(left + ["notes"])), (listed, options, err))
            self.assertIn(words, err[-1])
            self.assertEqual(sorted(line.split()[1] for line in err if line.startswith("channel ") and " pruned: " in line), sorted(before - set(left + ["notes"])))


class GridTest(GuideCase):
    """Grids of a fixed folder, written out: the module and the pure reader
    draw the same screen."""

    def test_screens(self):
        folder = self.stem("guide")
        os.mkdir(folder)
        G.write(os.path.join(folder, "a"), [(0, u"Early news"), (3600, u"\u041c\u043e\u0440\u043d\u0438\u043d\u0433 "
                                            u"\u0448\u043e\u0443"), (5400, u"x"), (5460, u"Short"), (7200, u"Late"),
                                            (7200, u"Later"), (9000, u"End")])
        G.write(os.path.join(folder, "b"), [(-3600, u"Before\x01and after")])
        G.write(os.path.join(folder, "c"), [])
        G.write(os.path.join(folder, "d"), [(1, u"t")])
        os.remove(os.path.join(folder, "d.pdt"))
        os.mkdir(os.path.join(folder, "d.pdt"))
        with io.open(os.path.join(folder, G.MANIFEST_NAME), "w", encoding="utf-8") as f:
            f.write(u"a.jp\ta\t\u65e5\u672c\u30c6\u30ec\u30d3\u653e\u9001\u7db2\u682a\u5f0f\u4f1a\u793e\n"
                    u"b.fr\tb\tCafe\u0301 TV\n")
        japan, cafe = u"\u65e5\u672c\u30c6\u30ec\u30d3\u653e\u9001\u2026 ", u"Cafe\u0301 TV         "
        broken = u"cannot read: %s: %s" % (os.path.join(folder, "d.pdt"), os.strerror(errno.EISDIR))
        cases = [  # width, the screen
            (60, [u"1970-01-01       00:30   01:00  01:30  02:00  02:30  03:00",
                  japan + u" >Early \u2026|\u041c\u043e\u0440\u043d\u0438\u2026|Short |Later |End",
                  cafe + u" >Before?and after",
                  u"c                (nothing in this window)",
                  u"d                " + broken[:42] + u"\u2026"]),
            (24, [u"1970-01-01       00:30",
                  japan + u" >\u2026||||\u2026",
                  cafe + u" >Befor\u2026",
                  u"c                (nothi\u2026",
                  u"d                cannot\u2026"]),
        ]
        for width, screen in cases:
            for pure in ([], ["--pure"]):
                status, out, err = run_main(["grid", folder, "--at", "1800", "--utc", "--width", str(width)] + pure)
                self.assertEqual((status, out.decode("utf-8").splitlines()), (3, screen), (width, pure, err))
        self.assertEqual(G.cells(u"\u65e5a\u0301\uff21"), 5)
        self.assertEqual(run_main(["grid", os.path.join(folder, "a"), "--at", "1970-01-01 00:30", "--utc",
                                   "--width", "40"])[:2], (0, u"1970-01-01 00:30     01:30     02:30\n"
                                                             u"a          >Ear\u2026|Mop\u2026|Sho\u2026|Lat\u2026|End\n"
                                                             .replace(u"Mop", u"\u041c\u043e\u0440").encode("utf-8")))


class HostileTest(GuideCase):
    """Valid listings shaped to take memory, each piped into a child under a
    256 MB address-space bound (qemu's reserved space under an emulator),
    plain and gzipped: refused naming the limit, or converted."""

    def test_listings(self):
        if os.environ.get("QUARNEL_EMULATED") and run_tool(["--help"], env={"QEMU_RESERVED_VA": "256M"})[0]:
            self.skipTest("this emulator cannot start within a 256 MB address space")  # qemu-arm: its commpage
        huge, large = (2 << 30, 200 << 20) if WHOLE else (64 << 20, 8 << 20)
        head = (b'<?xml version="1.0"?>\n<tv>\n<programme start="20260101000000 +0000" channel="c.tv"><title>kept'
                b'</title></programme>\n')
        programme = b'<programme start="20260101010000 +0000" channel="%s"'
        rows = [  # name, the listing's pieces, status, words of the last line or the second title's length
            ("deep nesting", lambda: [head, programme % b"c.tv", b">", b"<a>" * 10 ** 6, b"</a>" * 10 ** 6], 3,
             "nested deeper than 64"),
            ("300 attributes", lambda: [head, programme % b"c.tv"] + [b' a%d=""' % i for i in range(300)]
             + [b"/></tv>"], 3, "more than 256 attributes"),
            ("a million attributes", lambda: [head, programme % b"c.tv"] + [b' a%d=""' % i for i in range(10 ** 6)]
             + [b"/></tv>"], 3, "longer than 1048576 bytes"),
            ("a comment", lambda: [head, b"<!--"] + repeat(b"x", large) + [b"-->"], 3, "longer than 1048576 bytes"),
            ("an attribute value", lambda: [head, programme % b"c.tv", b' x="'] + repeat(b"x", large) + [b'">'], 3,
             "longer than 1048576 bytes"),
            ("an ATTLIST default", lambda: [b'<?xml version="1.0"?>\n<!DOCTYPE tv [<!ATTLIST title x CDATA "',
                                            b"y" * 60000, b'">]>\n<tv>', b"<title/>" * 100000, b"</tv>"], 3,
             "an attribute list"),
            ("a description elsewhere", lambda: [head, programme % b"other.tv", b"><title>t</title><desc>"]
             + repeat(b"x", huge) + [b"</desc></programme></tv>"], 0, None),
            ("a title", lambda: [head, programme % b"c.tv", b"><title>"] + repeat(b"x", huge)
             + [b"</title></programme></tv>"], 0, LONG),
        ]
        for number, (name, pieces, status, expected) in enumerate(rows):
            for packed in [number % 2 == 1] if SAMPLE else (False, True):  # a sample: every other one gzipped
                out = self.stem("out")
                got, err = self.convert(pieces(), packed, out)
                label = (name, packed, err[-3:])
                if os.environ.get("QUARNEL_EMULATED") and got < 0 and [line for line in err if line.startswith("qemu-")]:
                    self.skipTest("the emulator failed within its 256 MB: %s" % err[-1])  # qemu-arm, now and then
                self.assertEqual(got, status, label)
                self.assertFalse([line for line in err if "more memory" in line or "out of memory" in line or "internal error" in line], label)
                if status:
                    self.assertIn(expected, err[-1], label)
                    self.assertFalse(os.path.exists(os.path.join(out, "c.tv.ndx")), label)
                else:
                    titles = [t for _, t in quarnel.read(os.path.join(out, "c.tv"))]
                    self.assertEqual([len(t) for t in titles], [4] + ([expected] if expected else []), label)
                shutil.rmtree(out, ignore_errors=True)

    def test_each_limit_exactly(self):
        title = b'<programme start="20260101" channel="c.tv"><title>t</title>'
        cases = [  # the listing, status
            (b"<tv>" + title + b"<a>" * 62 + b"</a>" * 62 + b"</programme></tv>", 0),  # 64 deep
            (b"<tv>" + title + b"<a>" * 63 + b"</a>" * 63 + b"</programme></tv>", 3),
            (b"<tv>" + title + b"<a" + b"".join(b' a%d=""' % i for i in range(256)) + b"/></programme></tv>", 0),
            (b"<tv>" + title + b"<a" + b"".join(b' a%d=""' % i for i in range(257)) + b"/></programme></tv>", 3),
            # Tokens are measured a 64 KiB feed at a time.
            (b"<tv>" + title + b"<!--" + b"x" * (G.LIMITS["token"] - 3 * 65536) + b"--></programme></tv>", 0),
            (b"<tv>" + title + b"<!--" + b"x" * (G.LIMITS["token"] + 2 * 65536) + b"--></programme></tv>", 3),
        ]
        for number, (listing_bytes, status) in enumerate(cases):
            got, _, err = run_main(["from-xmltv", self.file("in.xml", listing_bytes), self.stem("out%d" % number)])
            self.assertEqual(got, status, (number, err))

    def test_running_out(self):
        real = intake.xmltv_time
        intake.xmltv_time = lambda *_: (_ for _ in ()).throw(MemoryError())
        try:
            status, _, err = run_main(["from-xmltv", self.file("in.xml", listing({"a.tv": [u"a"]})), self.stem("out")])
        finally:
            intake.xmltv_time = real
        self.assertEqual((status, len(err), os.path.exists(self.stem("out"))), (3, 1, False), err)
        self.assertIn("needed more memory than this machine has", err[0])

    def convert(self, pieces, packed, out):
        """(status, standard error's lines) of from-xmltv reading the pieces
        from its standard input, bounded."""
        code = module_path_code() + (
            "import os, resource; sys.path.append(%r); import quarnel_guide\n"
            "if not os.environ.get('QUARNEL_EMULATED'):\n"
            "    resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))\n"
            "sys.exit(quarnel_guide.main(['from-xmltv', '-', %r, '--channel', 'c.tv']))\n"
        ) % (GUIDE_PATH, out)
        command = shlex.split(os.environ.get("QUARNEL_PYTHON", "")) or [sys.executable]
        env = dict(os.environ, QEMU_RESERVED_VA="256M")
        with tempfile.TemporaryFile() as err:
            child = subprocess.Popen(command + ["-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                     env=env)
            feeder = threading.Thread(target=feed, args=(child.stdin, pieces, packed))
            feeder.start()
            child.stdout.read()
            status = child.wait()
            feeder.join()
            child.stdout.close()
            err.seek(0)
            return status, err.read().decode("utf-8", "replace").splitlines()


def repeat(byte, size, piece=1 << 20):
    return [byte * piece] * (size // piece)


def feed(stream, pieces, packed):
    """Writes the pieces (gzipped if packed) until the reader stops reading."""
    import zlib
    packer = zlib.compressobj(1, zlib.DEFLATED, 31) if packed else None
    try:
        for piece in pieces:
            stream.write(packer.compress(piece) if packer else piece)
        if packer:
            stream.write(packer.flush())
    except (IOError, OSError):  # it refused the listing and closed the pipe
        pass
    finally:
        try:
            stream.close()
        except (IOError, OSError):
            pass


class UnattendedTest(GuideCase):
    """The tool as cron runs it on a box: streams that are pipes or files,
    the C locale or none, names and titles in any script."""

    def test_any_script_through_any_stream(self):
        folder = os.path.join(self.dir.encode("ascii"), u"\u0433\u0438\u0434".encode("utf-8"))
        os.mkdir(folder)
        stem = os.path.join(folder, u"\u043a\u0430\u043d\u0430\u043b".encode("utf-8"))
        titles = [u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438", u"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1", u"\u65e5\u672c"]
        entries = self.file("e.json", json.dumps([[i, t] for i, t in enumerate(titles)]).encode("utf-8"))
        listing_path = self.file("in.xml", listing({u"\u043f\u0435\u0440\u0432.ru": titles}).replace(b"+0000", b"IST", 1))
        missing = stem + b"-missing"
        commands = [  # argv, status, lines on standard output, lines on standard error
            (["write", stem, entries, "--errors", "replace"], 1, 0, 1),
            (["check", stem, missing], 3, 1, 1),
            (["dump", stem], 0, 3, 0),
            (["to-xmltv", stem], 0, 16, 0),
            (["from-xmltv", listing_path, folder], 2, 1, 3),
            (["from-xmltv", "--quiet", listing_path, folder], 0, 0, 0),
            (["dump", missing], 3, 0, 1),
        ]
        unset = dict.fromkeys(["LANG", "LC_ALL", "LC_CTYPE", "PYTHONIOENCODING"])
        settings = [(dict(unset), False), (dict(unset, LANG="C"), True), (dict(unset, LANG="C"), False),
                    (dict(unset), True), (dict(unset, PYTHONIOENCODING="ascii"), False)]
        for env, files in settings[1:3] if SAMPLE else settings:
            for argv, status, out_lines, err_lines in [commands[i] for i in (0, 3, 4, 5)] if SAMPLE else commands:
                got, out, err = run_tool(argv, env=env, files=files)
                label = (argv[0], env, files, err)
                self.assertEqual((got, len(out.decode("utf-8").splitlines()), len(err)), (status, out_lines, err_lines), label)
                self.assertFalse([line for line in err if "internal error" in line or "Traceback" in line], label)
                if argv[0] == "from-xmltv" and err:  # UTF-8 where the stream declares no encoding
                    clear = env.get("PYTHONIOENCODING") is None
                    self.assertIn(u"\u043f\u0435\u0440\u0432.ru" if clear else u"\\u043f\\u0435", err[1], label)

    def test_a_terminal_in_the_c_locale(self):
        import pty
        master, slave = pty.openpty()
        title = u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438"
        path = self.file("in.xml", listing({u"\u043f\u0435\u0440\u0432.ru": [title, u"x"]}).replace(b"+0000", b"IST", 1))
        child = tool_child(["from-xmltv", path, self.dir], dict(LANG="C", LC_ALL=None, PYTHONIOENCODING=None), slave, slave)
        os.close(slave)
        shown = b""
        while True:
            try:
                piece = os.read(master, 4096)
            except OSError:  # EIO once the child's side is closed
                break
            if not piece:
                break
            shown += piece
        status = child.wait()
        os.close(master)
        child.stdin.close()
        lines = shown.decode("utf-8").splitlines()
        self.assertEqual((status, len(lines)), (2, 3), lines)  # the mapping, the summary, the skipped programme
        self.assertFalse([line for line in lines if "internal error" in line], lines)

    def test_quiet(self):
        path = self.file("in.xml", listing({"a.tv": [u"f\u00fcr", u"x"], "b.tv": [u"b"]}).replace(b"+0000", b"IST", 1))
        refused = self.file("refused.xml", listing({"a.tv": [u"%02d" % i + u"x" * LONG for i in range(16)]}))  # past 64 KiB
        self.file("blocked", b"")
        cases = [  # argv, status, lines of standard error
            (["from-xmltv", "--quiet", path, self.stem("out")], 0, 0),
            (["from-xmltv", "--quiet", refused, self.stem("out")], 2, 1),
            (["from-xmltv", "--quiet", path, self.stem("out"), "--channel", "nope.tv"], 1, 1),
            (["from-xmltv", "--quiet", path, self.stem("blocked")], 3, 1),
            (["write", "--quiet", self.stem("w"), self.file("e.json", b'[[1, "\\u4e2d"]]'), "--errors", "fold"], 0, 0),
        ]
        for argv, status, err_lines in cases:
            got, out, err = run_main(argv)
            self.assertEqual((got, len(err), out), (status, err_lines, b""), (argv, err))
        real = os.fsync
        os.fsync = lambda fd: (_ for _ in ()).throw(OSError(errno.EIO, "injected"))
        try:
            status, out, err = run_main(["from-xmltv", "--quiet", path, self.stem("new")])
        finally:
            os.fsync = real
        self.assertEqual((status, len(err), out), (3, 2, b""), err)  # a line for each channel

    def test_log_within_its_bound(self):
        log = self.stem("runs.log")
        path = self.file("in.xml", listing({"a.tv": [u"x"]}))
        with Stdout():
            for run in range(1000 if WHOLE else 30):
                saved, sys.stderr = sys.stderr, Stderr()
                try:
                    G.main(["from-xmltv", "--quiet", path, self.stem("out"), "--log", log, "--now", str(run)])
                finally:
                    sys.stderr = saved
                self.assertLessEqual(os.path.getsize(log), G.LOG_LIMIT)
        with io.open(log, encoding="utf-8") as f:
            lines = f.read().splitlines()
        heads = [line for line in lines if not line.startswith(u" ")]
        self.assertTrue(heads[-1].endswith(u"--now %d: exit 0" % run), heads[-1])
        self.assertEqual(lines[-2:], [u"  a.tv\ta.tv\ta.tv", u"  0 pairs written to %s, 1 left as they were" % self.stem("out")])
        self.assertGreater(len(heads), 29)
        # One run larger than the bound: its first lines, and how many were not kept.
        big = self.file("big.xml", listing(dict(("c%04d.tv" % i, [u"t"]) for i in range(3000))))
        run_main(["from-xmltv", big, self.stem("big"), "--log", log])
        with io.open(log, encoding="utf-8") as f:
            lines = f.read().splitlines()
        self.assertLessEqual(os.path.getsize(log), G.LOG_LIMIT)
        self.assertEqual((len([l for l in lines if not l.startswith(u" ")]), lines[1]), (1, u"  c0000.tv\tc0000.tv\tc0000.tv"))
        self.assertTrue(lines[-1].startswith(u"  ... ") and lines[-1].endswith(u" more lines left out"), lines[-1])


class FeedTest(GuideCase):
    """Listings as feeds deliver them: compressed, piped, in other zones,
    imported daily."""
    NOW = 1767268800  # 2026-01-01 12:00 UTC

    def import_(self, content, name="in", **kwargs):
        return G.from_xmltv(self.file(name, content), os.path.join(self.dir, "out", name), **kwargs)

    def pairs(self, name):
        out = os.path.join(self.dir, "out", name)
        files = {}
        for file_name in sorted(set(os.listdir(out)) - set([G.LOCK_NAME, G.MANIFEST_NAME])):
            with open(os.path.join(out, file_name), "rb") as f:
                files[file_name] = f.read()
        return files

    def test_compressed_and_piped_listings_give_the_same_pairs(self):
        plain = listing({"a.tv": [u"n%d" % i for i in range(300)], "b.tv": [u"x"]})
        self.import_(plain, "plain")
        self.assertEqual(len(self.pairs("plain")), 4)
        saved = sys.stdin
        sys.stdin = io.BytesIO(plain)
        try:
            G.from_xmltv("-", os.path.join(self.dir, "out", "stdin"))
        finally:
            sys.stdin = saved
        self.assertEqual(self.pairs("stdin"), self.pairs("plain"))
        gzipped = compressed("gzip", plain)
        if gzipped is not None:  # through a real pipe, as curl | quarnel-guide
            status, _, err = run_tool(["from-xmltv", "-", os.path.join(self.dir, "out", "piped")], stdin=gzipped)
            self.assertEqual((status, self.pairs("piped")), (0, self.pairs("plain")), err)
        status, _, err = run_tool(["from-xmltv", "-", self.stem("none")], stdin=None)  # started with it closed
        self.assertEqual((status, len(err)), (3, 1), err)
        self.assertIn("standard input", err[0])
        cases = [  # name, content (None: no module), magic, module
            ("gzip", gzipped, b"\x1f\x8b", "zlib"),
            ("gzip after an empty member", gzipped and compressed("gzip", b"") + gzipped, None, None),
            ("gzip and zero padding", gzipped and gzipped + b"\0" * 5000, None, None),
            ("bzip2", compressed("bzip2", plain), b"BZh", "bz2"),
            ("bzip2 member ending at 4 KiB", aligned("bzip2", plain), None, None),
            ("xz", compressed("xz", plain), b"\xfd7zXZ\x00", "lzma"),
            ("xz member ending at 4 KiB", aligned("xz", plain), None, None),
        ]
        for kind, content, magic, module in cases:
            if content is not None:
                self.import_(content, kind)
                self.assertEqual(self.pairs(kind), self.pairs("plain"), kind)
            elif magic:  # Python 2.7 has no lzma; the box's may lack zlib and bz2
                with self.assertRaises(G.DocumentError) as caught:
                    self.import_(magic + b"\0" * 64, kind)
                self.assertIn("%s-compressed, and this Python has no %s module" % (kind, module), str(caught.exception))

    def test_window(self):
        hour = 3600
        at = lambda seconds: "%s +0000" % G.xmltv_format(self.NOW + seconds)[:14]
        local = lambda seconds: G.xmltv_format(self.NOW + seconds + 2 * hour)[:14]  # no offset: --zone +0200
        programmes = [(at(-3 * hour), at(-2 * hour), u"stopped before"), (at(-2 * hour), at(hour // 2), u"stops after"),
                      (at(-2 * hour), None, u"next starts before"), (at(-2 * hour), at(0), u"stops now"),
                      (at(-2 * hour), local(-hour), u"stopped, local stop"),
                      (at(-hour), "garbage", u"on air"), (at(-hour - hour // 2), None, u"listed after a later start"),
                      (at(hour), None, u"later"), (at(36 * hour), None, u"in two days")]
        document = u'<?xml version="1.0"?>\n<tv>%s</tv>\n' % u"".join(
            u'<programme start="%s"%s channel="c.tv"><title>%s</title></programme>'
            % (start, u' stop="%s"' % stop if stop else u"", title) for start, stop, title in programmes)
        for days, titles in ((2, [u"stops after", u"on air", u"later", u"in two days"]),
                             (1.5, [u"stops after", u"on air", u"later"]), (None, None)):
            report = self.import_(document.encode("utf-8"), days=days, now=self.NOW, zone=2 * hour)
            titles = titles or [p[2] for p in sorted(programmes, key=lambda p: p[0])]
            self.assertEqual([t for _, t in quarnel.read(os.path.join(self.dir, "out", "in", "c.tv"))], titles, days)
            self.assertEqual(report.outside, len(programmes) - len(titles))

    def test_zone_on_the_command_line(self):
        path = self.file("in.xml", listing({"c.tv": [u"a"]}).replace(b" +0000", b""))
        for zone, shift in (("+0130", -5400), ("-0100", 3600), ("+0000", 0)):
            out = os.path.join(self.dir, zone)
            self.assertEqual(run_main(["from-xmltv", path, out, "--zone", zone])[0], 0)
            self.assertEqual(quarnel.read(os.path.join(out, "c.tv")), ((calendar.timegm((2026, 1, 1, 0, 0, 0)) + shift, u"a"),))
        # Local times across both changes of 2026 in Berlin: the hour that never
        # was read with the offset before it, the repeated one as its first.
        utc = lambda *fields: calendar.timegm(fields + (0,))
        starts = [("20260329013000", utc(2026, 3, 29, 0, 30)), ("20260329023000", utc(2026, 3, 29, 1, 30)),
                  ("20260329030000", utc(2026, 3, 29, 1, 0)), ("20261025023000", utc(2026, 10, 25, 0, 30)),
                  ("20261025033000", utc(2026, 10, 25, 2, 30))]
        path = self.file("berlin.xml", (u'<tv>%s</tv>' % u"".join(
            u'<programme start="%s" channel="b.tv"><title>%s</title></programme>' % (start, start)
            for start, _ in starts)).encode("ascii"))
        if not os.path.exists("/usr/share/zoneinfo/Europe/Berlin"):
            self.skipTest("no zoneinfo")
        self.assertEqual(run_main(["from-xmltv", path, self.dir, "--zone", "Europe/Berlin"])[0], 0)
        self.assertEqual(quarnel.read(self.stem("b.tv")), tuple(sorted((at, u"%s" % start) for start, at in starts)))

    def test_names_and_titles(self):
        channels = {"b/tv.x": [u"t" * 6000], "b_tv.x": [u"b"], "b:tv.x": [u"c"], "L" * 300: [u"l"]}
        report = G.from_xmltv(self.file("in.xml", listing(channels)), self.dir)
        self.assertEqual((report.channels, report.status()),
                         ([("L" * 300, "L" * 64, "L" * 300), ("b/tv.x", "b_tv.x~2", "b/tv.x"),
                           ("b:tv.x", "b_tv.x~3", "b:tv.x"), ("b_tv.x", "b_tv.x", "b_tv.x")], 0))
        self.assertEqual(quarnel.read(self.stem("b_tv.x~2"))[0][1], u"t" * LONG)
        self.assertEqual(quarnel.read(self.stem("b_tv.x~3"))[0][1], u"c")

    def test_unchanged_pairs_are_left_alone(self):
        entries = [(1, u"a"), (2, u"b")]
        G.write(self.stem(), entries)
        for suffix in (".ndx", ".pdt"):
            os.utime(self.stem() + suffix, (1000, 1000))
        before = [os.stat(self.stem() + suffix) for suffix in (".ndx", ".pdt")]
        G.write(self.stem(), list(reversed(entries)))
        self.assertEqual([(s.st_ino, s.st_mtime) for s in before],
                         [(os.stat(self.stem() + x).st_ino, os.stat(self.stem() + x).st_mtime) for x in (".ndx", ".pdt")])
        G.write(self.stem(), entries[:1])
        self.assertNotEqual(os.stat(self.stem() + ".ndx").st_ino, before[0].st_ino)
        with open(self.stem() + ".pdt", "ab") as f:
            f.write(b"x")
        G.write(self.stem(), entries[:1])
        with open(self.stem() + ".pdt", "rb") as f:
            self.assertEqual(f.read(), G.build(entries[:1])[1])
        content = listing({"a.tv": [u"a"], "b.tv": [u"b"]})
        self.assertEqual([self.import_(content).unchanged for _ in range(2)], [0, 2])

    def test_titles_beyond_cp1251_fold(self):
        cases = [  # title, read back, (letters folded, characters replaced)
            (u"Nachrichten f\u00fcr \u00d6sterreich", u"Nachrichten fur Osterreich", (2, 0)),
            (u"Caf\u00e9 \u0119 \u00c5", u"Cafe e A", (3, 0)),
            (u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438 \u0451", u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438 \u0451", (0, 0)),
            (u"\u4e2d\u6587 \u00df", u"?? ?", (0, 3)),
            (u"\U0001f600x", u"?x", (0, 1)),  # one character, on 2-byte builds too
        ]
        for title, expected, (folded, replaced) in cases:
            counts = {}
            G.build([(1, title)], errors="fold", counts=counts)
            self.assertEqual((counts["folded"], counts["replaced"]), (folded, replaced), title)
            self.assertEqual(G.write(self.stem(), [(1, title)], errors="fold"), folded + replaced)
            self.assertEqual(quarnel.read(self.stem()), ((1, expected),))

    def test_reports(self):
        path = self.file("in.xml", listing({"a.tv": [u"x", u"f\u00fcr \u00e9\u4e2d"], "b.tv": [u"b"]}).replace(b"+0000", b"IST", 1))
        out = os.path.join(self.dir, "out")
        cases = [  # argv, status, lines of standard error
            (["--channel", "b.tv"], 0, ["1 pair written to %s" % out]),
            (["--channel", "b.tv", "--channel", "nope.tv"], 1,
             ["0 pairs written to %s, 1 left as they were" % out, "channel nope.tv: not in the listing"]),
            ([], 2, ["1 pair written to %s, 1 left as they were" % out,
                     u'1 programme skipped: unknown time zone: a.tv 20260101000000 IST "x"',
                     "channel a.tv: 2 letters folded to the base letter, 1 character written as '?' (no cp1251 byte)"]),
        ]
        for argv, status, lines in cases:
            self.assertEqual(run_main(["from-xmltv", path, out] + argv)[::2], (status, lines), argv)
        self.assertEqual(run_main(["from-xmltv", path, out, "--zone", "0100"])[0], 3)
