"""A week of a 100-channel listing shaped like a grabber's output
(sub-titles, descriptions, credits, categories), converted by
`quarnel_guide.from_xmltv` in each interpreter given, plain and gzipped,
beside the bare parse of the same file by the C tree parser (cElementTree
in 2.7) as its floor. Figures, never pass or fail: seconds and peak resident
size of a child per run.
Usage: xmltv_week.py PYTHON...   (a PYTHON may be a wrapper that starts qemu)"""
from __future__ import print_function

import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GUIDE = os.path.join(os.path.dirname(HERE), "python")
CHANNELS, DAYS, SLOTS = 100, 7, 32  # 32 programmes a day: 45 minutes each
PROGRAMME = (u'  <programme start="%s +0100" stop="%s +0100" channel="ch%03d.example.com">\n'
             u'    <title lang="de">Sendung %d</title>\n'
             u'    <sub-title lang="de">Folge %d: eine Geschichte</sub-title>\n'
             u'    <desc lang="de">%s</desc>\n'
             u'    <credits>\n      <director>Regie %d</director>\n      <actor>Darsteller %d</actor>\n'
             u'      <actor>Darstellerin %d</actor>\n    </credits>\n'
             u'    <date>2019</date>\n    <category lang="de">Serie</category>\n'
             u'    <category lang="en">Series</category>\n  </programme>\n')
DESC = u"Eine Beschreibung, wie Listings sie tragen: mehrere S\u00e4tze lang, \u00fcber die Sendung %d und Folge %d."

# Each run in a fresh child: (what, code). The child prints seconds and peak MB.
RUNS = {
    "bare parse": (
        "try:\n    import xml.etree.cElementTree as E\nexcept ImportError:\n    import xml.etree.ElementTree as E\n"
        "root = None\n"
        "for event, element in E.iterparse(PATH, events=('start', 'end')):\n"
        "    if root is None: root = element\n"
        "    elif event == 'end' and element.tag in ('programme', 'channel'): element.clear(); root.clear()\n"),
    "from-xmltv": "quarnel_guide.from_xmltv(PATH, OUT)\n",
}
CHILD = (
    "import resource, sys, time; sys.path.insert(0, %r); import quarnel_guide\n"
    "PATH, OUT = %r, %r\n"
    "began = time.time()\n%s"
    "print('%%.2f %%.1f' %% (time.time() - began, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0))\n")


def stamp(minute):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(1767225600 + 60 * minute))


def make_week(path):
    count = 0
    with open(path, "wb") as f:
        f.write(b'<?xml version="1.0" encoding="UTF-8"?>\n<!DOCTYPE tv SYSTEM "xmltv.dtd">\n'
                b'<tv generator-info-name="week">\n')
        for c in range(CHANNELS):
            f.write((u'  <channel id="ch%03d.example.com"><display-name>Kanal %d</display-name></channel>\n'
                     % (c, c)).encode("utf-8"))
        for c in range(CHANNELS):
            for slot in range(DAYS * SLOTS + c % 8):  # channels end at slightly different times
                minute = 45 * slot
                f.write((PROGRAMME % (stamp(minute), stamp(minute + 45), c, slot % 300, slot, DESC % (c * slot, slot),
                                      c, slot, slot + 1)).encode("utf-8"))
                count += 1
        f.write(b"</tv>\n")
    return count


def run(python, what, path, out):
    code = CHILD % (GUIDE, path, out, RUNS[what])
    child = subprocess.Popen(python.split() + ["-c", code], stdout=subprocess.PIPE)
    seconds, peak = child.communicate()[0].decode().split()
    if child.returncode:
        raise SystemExit("%s failed in %s" % (what, python))
    return float(seconds), float(peak)


def main(pythons):
    scratch = tempfile.mkdtemp(prefix="quarnel-week-")
    try:
        plain = os.path.join(scratch, "week.xml")
        count = make_week(plain)
        packed = plain + ".gz"
        with open(plain, "rb") as f, gzip.open(packed, "wb") as g:
            shutil.copyfileobj(f, g)
        print("week: %d channels, %d programmes, %.1f MB (gzipped %.1f MB)"
              % (CHANNELS, count, os.path.getsize(plain) / 1e6, os.path.getsize(packed) / 1e6))
        print("| interpreter | bare parse | from-xmltv | ratio | from-xmltv gzipped | peak (plain, gzipped) |")
        print("|---|---|---|---|---|---|")
        for python in pythons:
            floor = run(python, "bare parse", plain, None)
            figures = [run(python, "from-xmltv", source, os.path.join(scratch, "out")) for source in (plain, packed)]
            print("| %s | %.2f s | %.2f s | %.1fx | %.2f s | %.0f MB, %.0f MB |"
                  % (os.path.basename(python.split()[-1]), floor[0], figures[0][0], figures[0][0] / floor[0],
                     figures[1][0], figures[0][1], figures[1][1]))
            sys.stdout.flush()
    finally:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main(sys.argv[1:] or [sys.executable])
