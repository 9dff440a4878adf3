"""Places of pairs, and the grid: channels down, time across."""

import bisect
import fcntl
import os
import struct
import time

from ._text import _path, TEXT


def _suffix_of(name):
    for suffix in (".ndx", ".pdt"):
        if name.endswith(suffix if isinstance(name, TEXT) else suffix.encode("ascii")):
            return suffix
    return None


def pairs_in(place):
    """[(stem, what is missing or None)] of a place: every pair of a folder
    in name order, a lone .ndx or .pdt named with what it lacks; or the
    stem given, x.ndx and x.pdt taken as x unless a pair x.ndx exists."""
    place = _path(place)
    if os.path.isdir(place):
        found = {}
        for name in os.listdir(place):
            suffix = _suffix_of(name)
            if suffix and not name.startswith((".", b".") if isinstance(name, bytes) else "."):
                found.setdefault(name[:-4], set()).add(suffix)
        return [(os.path.join(place, stem), None if len(found[stem]) == 2 else
                 "the %s is missing beside the %s" % tuple(sorted(set([".ndx", ".pdt"]) - found[stem]) + list(found[stem])))
                for stem in sorted(found)]
    suffix = _suffix_of(place)
    index = place + (".ndx" if isinstance(place, TEXT) else b".ndx")
    if suffix and not os.path.exists(index):
        return [(place[:-4], None)]
    return [(place, None)]


def cells(text):
    """Terminal cells of text: East Asian wide and full-width characters
    two, combining marks none, anything else one."""
    import unicodedata
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def _fit_cells(text, width, more):
    """text in exactly width cells: cut with the mark more, or padded."""
    text = u"".join(u"?" if ord(c) < 32 or 0x7f <= ord(c) < 0xa0 else c for c in text)
    if cells(text) <= width:
        return text + u" " * (width - cells(text))
    kept = u""
    for c in text:
        if cells(kept + c) > width - cells(more):
            break
        kept += c
    return kept + more + u" " * (width - cells(kept + more))


def _window(entries, start, end):
    """What between(stem, start, end) gives, from all the entries."""
    before = [e for e in entries if e[0] <= start]
    return tuple(before[-1:] + [e for e in entries if start < e[0] < end])


def grid_lines(rows, start, hours, width, local=True, more=u"\u2026"):
    """The grid: rows of (name, entries in the window, or a text saying why
    there are none), time across from start for hours, width cells wide."""
    end = start + int(hours * 3600)
    name_width = min(16, max([cells(name) for name, _ in rows] + [10]))
    span = max(1, width - name_width - 1)
    step = float(end - start) / span
    at = time.localtime if local else time.gmtime
    header = [u" "] * span
    mark = (start // 1800 + (start % 1800 > 0)) * 1800
    while mark < end:
        column = int((mark - start) / step + 0.999999)
        label = time.strftime("%H:%M", at(mark))
        if column + len(label) <= span and all(c == u" " for c in header[max(0, column - 1):column + len(label)]):
            header[column:column + len(label)] = list(label)
        mark += 1800
    lines = [_fit_cells(time.strftime("%Y-%m-%d", at(start)), name_width, more) + u" " + u"".join(header)]
    for name, entries in rows:
        line = _fit_cells(name, name_width, more) + u" "
        if isinstance(entries, TEXT) or not entries:
            lines.append(line + _fit_cells(entries or u"(nothing in this window)", span, more))
            continue
        shown = [e for i, e in enumerate(entries) if i + 1 == len(entries) or entries[i + 1][0] != e[0]]
        on_air = [e for e in shown if e[0] <= start][-1:]
        starts = [e[0] for e in shown]  # per cell: the programme on at the cell's first moment
        owner = [bisect.bisect_right(starts, start + column * step) - 1 for column in range(span)]
        owner = [None if i < 0 else i for i in owner]
        column = 0
        while column < span:
            first = column
            while column < span and owner[column] == owner[first]:
                column += 1
            if owner[first] is None:
                line += u" " * (column - first)
                continue
            programme = shown[owner[first]]
            lead = u">" if programme in on_air else u"|"
            line += lead + _fit_cells(programme[1], column - first - 1, more) if column - first > 1 else lead
        lines.append(line)
    return lines


def _terminal_width():
    try:
        import shutil
        return shutil.get_terminal_size((80, 24)).columns
    except (ImportError, AttributeError):  # 2.7
        try:
            import termios
            return struct.unpack("hh", fcntl.ioctl(1, termios.TIOCGWINSZ, b"\0" * 4))[1] or 80
        except (IOError, OSError, ImportError):
            return int(os.environ.get("COLUMNS", "80") or 80)
