"""A small plugin's use of quarnel, for Python 2.7 and 3: writes a guide pair
around the present moment, lists it, shows what is on now and next as local
times, and copes with a channel that has no guide.

    PYTHONPATH=build-py3 .deps/bin/python3.11 examples/plugin.py [DIRECTORY]
    PYTHONPATH=build .deps/bin/python2.7 examples/plugin.py [DIRECTORY]
"""
from __future__ import print_function

import os
import struct
import sys
import tempfile
import time

import quarnel

FILETIME_1970 = 116444736000000000  # 100 ns ticks from 1601 to 1970


def write_guide(stem, programmes):
    """programmes: (unix start, unicode title) in start order. One title
    record per distinct title; the index records point at them."""
    data = bytearray(b"MY EPG\x00\x00")  # anything may come first
    offsets = {}
    index = bytearray(struct.pack("<H", len(programmes)))
    for start, title in programmes:
        raw = title.encode("cp1251")
        if raw not in offsets:
            offsets[raw] = len(data)  # where the length field goes
            data += struct.pack("<H", len(raw)) + raw
        index += struct.pack("<2sqH", b"\x00\x00", FILETIME_1970 + start * 10 ** 7, offsets[raw])
    if len(data) > 0x10000 or len(programmes) > 0xFFFF:
        raise ValueError("too much for 16-bit offsets and counts")
    for suffix, content in ((".ndx", index), (".pdt", data)):
        with open(stem + suffix, "wb") as f:
            f.write(bytes(content))


def on_air(window, moment):
    """The entry on air at `moment` out of a current() window, or None."""
    started = [entry for entry in window if entry[0] <= moment]
    return started[-1] if started else None


def clock(start):
    return time.strftime("%H:%M", time.localtime(start))


def say(text):
    out = getattr(sys.stdout, "buffer", sys.stdout)
    out.write((text + u"\n").encode("utf-8"))
    out.flush()


def main(directory):
    now = int(time.time())
    first = now - now % 1800 - 3600
    titles = [u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438", u"\u041f\u043e\u0433\u043e\u0434\u0430",
              u"\u041a\u0438\u043d\u043e", u"\u0421\u043f\u043e\u0440\u0442"]
    stem = os.path.join(directory, "channel1")
    write_guide(stem, [(first + 1800 * i, titles[i % len(titles)]) for i in range(8)])

    say(u"The whole guide:")
    for start, title in quarnel.read(stem):
        say(u"  %s  %s" % (clock(start), title))

    window = quarnel.current(stem, 0)
    playing = on_air(window, now)
    say(u"On now: %s" % (u"%s %s" % (clock(playing[0]), playing[1]) if playing else u"nothing yet"))
    for start, title in window:
        if start > now:
            say(u"Next:   %s %s" % (clock(start), title))

    try:
        quarnel.read(os.path.join(directory, "no-such-channel"))
    except IOError as error:  # OSError in Python 3; the module printed a line too
        sys.stdout.flush()
        say(u"No guide for that channel (errno %d)" % error.errno)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="quarnel-plugin-"))
