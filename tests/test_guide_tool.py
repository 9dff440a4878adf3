"""quarnel_guide: the writer, the checker, the dump and XMLTV in and out,
checked against the module and the tests' independent reader."""
import calendar
import errno
import io
import json
import os
import xml.etree.ElementTree as ElementTree

import guide_oracle
from support import GuideCase, Stdout, child_python, module_path_code, quarnel, quarnel_guide, rawpair

G = quarnel_guide
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
        self.assertEqual(G.write(self.stem(), [(1, u"a\u4e2d\u4e2db")], errors="replace"), 2)
        self.assertEqual(quarnel.read(self.stem()), ((1, u"a??b"),))

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
        ("offset past the end", (b"\x01\x00" + record(1, 9), b"\x01\x00a"), [("error", 0), ("warning", None)]),
        ("length beyond the end", (b"\x01\x00" + record(1, 0), b"\x05\x00ab"), [("error", 0)]),
        ("length field cut", (b"\x02\x00" + record(1, 0) + record(2, 3), b"\x01\x00ab"), [("error", 1)]),
        ("5000 bytes", rawpair.build([(1, b"L" * 5000)]), [("warning", 0)]),
        ("zero byte", rawpair.build([(1, b"a"), (2, b"b\0c")]), [("warning", 1)]),
        ("0x98", rawpair.build([(1, b"a\x98")]), [("warning", 0)]),
        ("starts descend", rawpair.build([(5, b"a"), (4, b"a"), (6, b"a")]), [("error", 1)]),
        ("records overlap", (b"\x02\x00" + record(1, 0) + record(2, 2), b"\x01\x00\x01\x00a"), [("warning", 1)]),
        ("a header no record points at", rawpair.build([(1, b"a")], data_header=b"EPG"), [("warning", None)]),
        ("no count", (b"\x01", b""), [("error", None)]),
    ]

    def test_each_problem_found(self):
        for name, (index, data), expected in self.cases:
            found = sorted((f.severity, f.entry) for f in G.inspect(index, data))
            self.assertEqual(found, sorted(expected), (name, G.inspect(index, data)))

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

    def test_open_failure_line_is_the_modules(self):
        texts = []
        for pure in ([], ["--pure"]):
            with Stdout() as out:
                self.assertEqual(G.main(["dump"] + pure + [self.stem("missing")]), 3)
            texts.append(out.text)
        self.assertEqual(texts[0], texts[1])
        self.assertIn(b"Can't open file", texts[0])


XMLTV = u"""<?xml version="1.0" encoding="UTF-8"?>
<tv>
  <channel id="a.tv"><display-name>A</display-name></channel>
  <channel id="silent.tv"><display-name>S</display-name></channel>
  <programme start="20260102100000 +0100" channel="a.tv"><title lang="de">Nachrichten</title><title lang="en">  News  </title></programme>
  <programme start="20260102080000" channel="a.tv"><title>Early</title></programme>
  <programme start="202601020900 -0030" channel="a.tv"><title lang="de">Nur deutsch</title></programme>
  <programme start="20260102090000 UTC" channel="a.tv"><title>Same start</title></programme>
  <programme start="20260102110000 BST" channel="a.tv"><title>Zone unknown</title></programme>
  <programme start="20260102120000" channel="a.tv"></programme>
  <programme start="20260102" channel="b/tv.x"><title>Slash</title></programme>
  <programme start="20260102" channel="b_tv.x"><title>Underscore</title></programme>
</tv>
"""


class XmltvTest(GuideCase):

    def test_times(self):
        base = calendar.timegm((2026, 1, 2, 3, 4, 5))
        for text, expected in [("20260102030405 +0100", base - 3600), ("20260102030405-0130", base + 5400),
                               ("20260102030405", base), ("20260102030405 UTC", base),
                               ("202601020304", base - 5), ("20260102", base - 11045), ("2026", base - 97445)]:
            self.assertEqual(G.xmltv_time(text), expected, text)
        for text in ("20260102030405 BST", "2026010", "20260230", "yesterday"):
            self.assertRaises(ValueError, G.xmltv_time, text)

    def convert(self, document=XMLTV, **kwargs):
        path = os.path.join(self.dir, "in.xml")
        with open(path, "wb") as f:
            f.write(document.encode("utf-8"))
        return G.from_xmltv(path, self.dir, **kwargs)

    def test_from_xmltv(self):
        mapping, problems, notes = self.convert(languages=["en"])
        self.assertEqual(mapping, [("a.tv", "a.tv", "A"), ("b/tv.x", "b_tv.x~2", "b/tv.x"),
                                   ("b_tv.x", "b_tv.x", "b_tv.x"), ("silent.tv", "silent.tv", "S")])
        self.assertEqual(problems, {"unknown time zone": 1, "no title": 1})
        day = calendar.timegm((2026, 1, 2, 0, 0, 0))
        self.assertEqual(quarnel.read(self.stem("a.tv")), (
            (day + 8 * 3600, u"Early"), (day + 9 * 3600, u"News"), (day + 9 * 3600, u"Same start"),
            (day + 9 * 3600 + 1800, u"Nur deutsch")))
        self.assertEqual(quarnel.read(self.stem("b_tv.x")), ((day, u"Underscore"),))
        self.assertEqual(quarnel.read(self.stem("silent.tv")), ())
        mapping, _, _ = self.convert(channels=["b_tv.x"])
        self.assertEqual(mapping, [("b_tv.x", "b_tv.x", "b_tv.x")])
        self.assertEqual(self.convert(u'<?xml version="1.0"?>\n<tv generator-info-name="x"></tv>\n'), ([], {}, []))

    def test_round_trip(self):
        mapping, _, _ = self.convert(languages=["de"])
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
        self.assertEqual([c.get("id") for c in tree.findall("channel")], ["a.tv", "b/tv.x", "b_tv.x"])
        starts = [p for p in tree.findall("programme") if p.get("channel") == "a.tv"]
        self.assertEqual([p.get("stop") for p in starts], [p.get("start") for p in starts[1:]] + [None])


class CommandTest(GuideCase):

    def test_commands_in_a_fresh_interpreter(self):
        with open(os.path.join(self.dir, "e.json"), "wb") as f:
            f.write(json.dumps([[60, NEWS], [0, u"first"]]).encode("utf-8"))
        with open(os.path.join(self.dir, "in.xml"), "wb") as f:
            f.write(XMLTV.encode("utf-8"))
        code = module_path_code() + (
            "sys.path.append(%r); import os, quarnel_guide; os.chdir(%r)\n"
            "for argv in (['write', 'ch', 'e.json'], ['check', 'ch'], ['dump', '--json', 'ch'],\n"
            "             ['to-xmltv', 'ch', '-o', 'ch.xml'], ['from-xmltv', 'in.xml', '.', '--channel', 'a.tv']):\n"
            "    print('status %%d' %% quarnel_guide.main(argv)); sys.stdout.flush()\n"
        ) % (os.path.dirname(os.path.abspath(G.__file__)), self.dir)
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
        ) % (os.path.dirname(os.path.abspath(G.__file__)), self.stem(), self.stem(),
             os.path.join(self.dir, "out.xml"), self.stem())
        status, out, err = child_python(code)
        self.assertEqual(status, 0, err)
