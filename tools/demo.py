"""Makes a small sample channel around the present moment and shows what
quarnel reads from it. Usage: demo.py BUILD_DIR"""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
import quarnel_guide  # noqa: E402

PROGRAMMES = [
    (45, u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438"),                     # News
    (30, u"\u041f\u043e\u0433\u043e\u0434\u0430"),                           # Weather
    (95, u"\u041a\u0438\u043d\u043e: \u0421\u043e\u043b\u044f\u0440\u0438\u0441"),  # Film: Solaris
    (60, u"\u0424\u0443\u0442\u0431\u043e\u043b. \u041e\u0431\u0437\u043e\u0440 \u2116 7"),  # Football review No 7
    (25, u"\u041c\u0443\u043b\u044c\u0442\u0444\u0438\u043b\u044c\u043c\u044b"),  # Cartoons
    (50, u"\u0412 \u043c\u0438\u0440\u0435 \u0436\u0438\u0432\u043e\u0442\u043d\u044b\u0445"),  # Animal world
    (40, u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438"),                     # News again (shared title)
    (120, u"\u041d\u043e\u0447\u043d\u043e\u0439 \u044d\u0444\u0438\u0440"),  # Night broadcast
]


def make_sample(stem):
    now = int(time.time())
    start = now - now % 300 - 2 * 3600
    entries = []
    for minutes, title in PROGRAMMES * 2:
        entries.append((start, title))
        start += minutes * 60
    quarnel_guide.write(stem, entries)
    return stem


def say(text):
    """UTF-8 on standard output under either interpreter."""
    out = getattr(sys.stdout, "buffer", sys.stdout)
    out.write((text + u"\n").encode("utf-8"))
    out.flush()


def show(label, entries):
    say(label)
    for start, title in entries:
        stamp = time.strftime("%a %H:%M", time.localtime(start))
        say(u"  %s  %s" % (stamp, title))
    say(u"")


def main(build_dir):
    sys.path.insert(0, build_dir)
    import quarnel
    sample_dir = os.path.join(build_dir, "sample")
    if not os.path.isdir(sample_dir):
        os.makedirs(sample_dir)
    stem = make_sample(os.path.join(sample_dir, "channel1"))
    say(u"module: %s (Python %d.%d)" % ((quarnel.__file__,) + tuple(sys.version_info[:2])))
    say(u"guide pair: %s.ndx + %s.pdt\n" % (stem, stem))
    show("quarnel.read: the whole guide", quarnel.read(stem))
    show("quarnel.current(stem, 0): on now and next", quarnel.current(stem, 0))
    show("quarnel.current(stem, 3600): an hour from now", quarnel.current(stem, 3600))
    say(u"quarnel.read on a missing channel:")
    sys.stdout.flush()
    try:
        quarnel.read(os.path.join(sample_dir, "missing"))
    except IOError as e:
        sys.stdout.flush()
        say(u"  %s errno %d: %s (file: %s)" % (type(e).__name__, e.errno, e.strerror, e.filename))


if __name__ == "__main__":
    main(sys.argv[1])
