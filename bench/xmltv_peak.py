"""The peak memory of `quarnel-guide from-xmltv` writing one channel of a
large listing: a figure, never pass or fail. Makes a listing of about
SIZE_MB megabytes (200 by default) in a scratch directory, converts one of
its channels in a child interpreter and prints the child's peak resident
size beside the listing's size and the time taken.
Usage: xmltv_peak.py [PYTHON [SIZE_MB]]"""
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
GUIDE = os.path.join(os.path.dirname(HERE), "python")
CHANNELS = 100
PROGRAMME = (u'  <programme start="%s +0100" stop="%s +0100" channel="c%03d.example">\n'
             u'    <title lang="de">Sendung %d</title>\n    <title lang="en">Programme %d, a title of some length</title>\n'
             u'    <desc lang="en">%s</desc>\n  </programme>\n')
DESC = u"A description as listings carry them, several sentences long. " * 3


def stamp(minute):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(1767225600 + 60 * minute))


def make_listing(path, size_mb):
    with open(path, "wb") as f:
        f.write(b'<?xml version="1.0" encoding="UTF-8"?>\n<tv>\n')
        for c in range(CHANNELS):
            f.write((u'  <channel id="c%03d.example"><display-name>C %d</display-name></channel>\n'
                     % (c, c)).encode("utf-8"))
        slot = 0
        while f.tell() < size_mb * 10 ** 6:
            chunk = [PROGRAMME % (stamp(30 * slot), stamp(30 * slot + 30), c, slot % 400, slot % 400, DESC)
                     for c in range(CHANNELS)]
            f.write(u"".join(chunk).encode("utf-8"))
            slot += 1
        f.write(b"</tv>\n")
    return slot


def main(python, size_mb):
    scratch = tempfile.mkdtemp(prefix="quarnel-xmltv-")
    try:
        listing = os.path.join(scratch, "listing.xml")
        slots = make_listing(listing, size_mb)
        began = time.time()
        subprocess.check_call([python, "-m", "quarnel_guide", "from-xmltv", listing, scratch,
                               "--channel", "c007.example", "--lang", "en"],
                              env=dict(os.environ, PYTHONPATH=GUIDE), stdout=subprocess.PIPE)
        took = time.time() - began
        peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        print("listing %.0f MB, %d channels x %d programmes; one channel written in %.1f s; "
              "peak resident %.1f MB (%s)" % (os.path.getsize(listing) / 1e6, CHANNELS, slots, took,
                                             peak_kib / 1024.0, os.path.basename(python)))
    finally:
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else sys.executable, int(sys.argv[2]) if len(sys.argv) > 2 else 200)
