"""The guide grid benchmark: 100 channels of a week each (a programme every
30 minutes, titles repeating as real guides' do), a three-hour window in the
middle of the week, filled three ways: between per channel, read plus
filtering, and current stepped along the row. Prints the time for the whole
grid and the memory its results hold (sys.getsizeof summed over the distinct
objects, so figures do not depend on the emulator's own growth); the
quarnel-guide grid command's screen through between and the pure reader; then the
memory of a read(65535) result of bench.py's guide, with titles shared and
as one title object per entry. Figures, never pass or fail.
Usage: grid.py BUILD_DIR"""
import os
import platform
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
sys.path.insert(0, HERE)
import quarnel_guide  # noqa: E402
from bench import best_time, make_guide  # noqa: E402

CHANNELS = 100
SLOT = 1800
WEEK = 7 * 24 * 3600 // SLOT
BASE = 1767225600  # 2026-01-01 00:00 UTC
START = BASE + 3 * 24 * 3600 + 13 * 3600 + 900  # mid-week, a quarter past a programme's start
END = START + 3 * 3600


def make_channels(top):
    """Each channel: daily news at fixed hours, a few series, films; one
    title record per distinct title."""
    stems = []
    for c in range(CHANNELS):
        pool = [u"\u041d\u043e\u0432\u043e\u0441\u0442\u0438 %d" % c]
        pool += [u"Series %d-%d" % (c, k) for k in range(12)]
        pool += [u"Film %d-%d, a longer title as films have" % (c, k) for k in range(30)]
        entries = []
        for i in range(WEEK):
            hour = i // 2 % 24
            title = pool[0] if hour in (7, 9, 13, 19, 21) else pool[1 + (i * 7 + c) % (len(pool) - 1)]
            entries.append((BASE + SLOT * i, title))
        stem = os.path.join(top, "ch%03d" % c)
        quarnel_guide.write(stem, entries)
        stems.append(stem)
    return stems


def on_air(entries, start, end):
    """What between gives, from a whole listing."""
    first = 0
    for i, (s, _) in enumerate(entries):
        if s <= start:
            first = i
    row = list(entries[first:first + 1]) if entries and entries[first][0] < end else []
    for entry in entries[first + 1:]:
        if entry[0] >= end:
            break
        row.append(entry)
    return tuple(row)


def by_between(quarnel, stems):
    return [quarnel.between(stem, START, END) for stem in stems]


def by_read(quarnel, stems):
    return [on_air(quarnel.read(stem), START, END) for stem in stems]


def by_current(quarnel, stems):
    """current windows, each begun at the last programme the one before
    returned, until one reaches the end of the range."""
    rows = []
    for stem in stems:
        row = []
        moment = START + 1  # current's window begins before the moment, between's at it
        while True:
            window = quarnel.current(stem, moment - int(time.time()))
            fresh = [e for e in window if e[0] < END and (not row or e[0] > row[-1][0])]
            row += fresh
            if len(window) < 3 or window[-1][0] >= END or not fresh:
                break
            moment = window[-1][0] + 1
        rows.append(tuple(row))
    return rows


def screen(argv):
    """quarnel-guide's grid command, its screen sent to /dev/null."""
    saved, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        quarnel_guide.main(argv)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def held_bytes(objects, shared=True):
    """sys.getsizeof summed over the distinct objects reachable through
    tuples and lists; with shared=False each title counts once per entry."""
    seen = set()
    total = 0
    stack = list(objects)
    while stack:
        o = stack.pop()
        if id(o) in seen and (shared or isinstance(o, (tuple, list))):
            continue
        seen.add(id(o))
        total += sys.getsizeof(o)
        if isinstance(o, (tuple, list)):
            stack.extend(o)
    return total


def main():
    build = os.path.abspath(sys.argv[1])
    sys.path.insert(0, build)
    import quarnel
    top = tempfile.mkdtemp(prefix="quarnel-grid-")
    try:
        stems = make_channels(top)
        expected = by_between(quarnel, stems)
        print("grid: %d channels x %d entries, %s ... %s UTC, Python %s on %s" % (
            CHANNELS, WEEK, time.strftime("%a %H:%M", time.gmtime(START)),
            time.strftime("%H:%M", time.gmtime(END)), platform.python_version(), platform.machine()))
        print("")
        print("| way | grid ms | entries | result KiB | vs between |")
        print("|---|---|---|---|---|")
        ways = [("between", by_between), ("read + filter", by_read), ("current stepping", by_current)]
        figures = []
        for name, way in ways:
            rows = way(quarnel, stems)
            assert rows == expected, name
            # read's listings are what the plugin holds while it filters
            held = [quarnel.read(s) for s in stems] if way is by_read else rows
            figures.append((name, best_time(lambda: way(quarnel, stems), 1.0), sum(map(len, rows)),
                            held_bytes([held])))
        for name, seconds, count, held in figures:
            print("| %s | %.1f | %d | %.0f | %.1fx |" % (name, seconds * 1e3, count, held / 1024.0,
                                                         seconds / figures[0][1]))
        print("")
        print("| quarnel-guide grid, 100 cells wide | ms |")
        print("|---|---|")
        for name, pure in (("through between", []), ("through the pure reader", ["--pure"])):
            argv = ["grid", top, "--at", str(START), "--hours", "3", "--utc", "--width", "100"] + pure
            print("| %s | %.1f |" % (name, best_time(lambda: screen(argv), 1.0) * 1e3))
        stem, _ = make_guide(top, 65535)
        result = quarnel.read(stem)
        shared, unshared = held_bytes([result]), held_bytes([result], shared=False)
        print("")
        print("read(65535) result: %.0f KiB, %.0f KiB as one title object per entry (%.0f%%)" % (
            shared / 1024.0, unshared / 1024.0, 100.0 * shared / unshared))
    finally:
        shutil.rmtree(top)


if __name__ == "__main__":
    main()
