"""What a reader would get wrong in a pair, and the lines dump prints."""

import re
import struct
import time

from ._text import _path
from ._status import CLEAN, ERRORS, WARNINGS
from ._pair import DATA_REACH, _load, start_time, TITLE_MAX


class Finding(object):
    def __init__(self, severity, entry, text):
        self.severity, self.entry, self.text = severity, entry, text

    def __str__(self):
        where = "" if self.entry is None else "entry %s: " % self.entry
        return "%s: %s%s" % (self.severity, where, self.text)

    def __repr__(self):
        return "Finding(%r, %r, %r)" % (self.severity, self.entry, self.text)


def _unread_runs(covered, size):
    """(first, last) runs of data-file bytes no record covers: the zero runs
    of covered, and all past it up to size (no record reaches there)."""
    runs = [[m.start(), m.end() - 1] for m in re.finditer(b"\0+", bytes(covered))]
    if size > len(covered):
        if runs and runs[-1][1] == len(covered) - 1:
            runs[-1][1] = size - 1
        else:
            runs.append([len(covered), size - 1])
    return runs


def inspect(index, data, index_size=None, data_size=None):
    """The findings for a pair given as the bytes of its two files: whole, or
    as far as a reader reaches (INDEX_REACH, DATA_REACH) with their sizes."""
    index_size = len(index) if index_size is None else index_size
    data_size = len(data) if data_size is None else data_size
    found = []
    error = lambda entry, text: found.append(Finding("error", entry, text))
    warning = lambda entry, text: found.append(Finding("warning", entry, text))
    if index_size < 2:
        error(None, "the index holds %d bytes, not even its 2-byte count: it reads as no entries" % index_size)
        return found
    (count,) = struct.unpack("<H", index[:2])
    present = (index_size - 2) // 12
    if count > present:
        error("%d-%d" % (present, count - 1) if count - present > 1 else present,
              "the count says %d entries, the index holds %d records: the rest are made up, starting at %d "
              "with the title at offset 0" % (count, present, start_time(0)))
    extra = index_size - 2 - 12 * count
    if extra > 0:
        warning(None, "%d bytes after the last record (of %d) are never read" % (extra, count))
    real = min(count, present)
    previous = None
    first_entry = {}
    for i in range(real):
        field, offset = struct.unpack("<2xqH", index[2 + 12 * i:14 + 12 * i])
        start = start_time(field)
        if previous is not None and start < previous:
            error(i, "starts at %d, before entry %d (%d): starts must ascend, or current answers from the wrong "
                     "place" % (start, i - 1, previous))
        previous = start
        first_entry.setdefault(offset, i)
    covered = bytearray(min(data_size, DATA_REACH))
    records = []
    for offset in sorted(first_entry):
        i = first_entry[offset]
        if offset >= data_size:
            error(i, "title offset %d is at or past the end of the data file (%d bytes): an empty title"
                  % (offset, data_size))
            continue
        if offset + 2 > data_size:
            error(i, "title record at %d is cut by the end of the data file: its length field is incomplete, "
                     "an empty title" % offset)
            covered[offset:] = b"\1" * (data_size - offset)
            continue
        (length,) = struct.unpack("<H", data[offset:offset + 2])
        end = offset + 2 + length
        if end > data_size:
            error(i, "title record at %d is cut by the end of the data file: %d of its %d bytes are there"
                  % (offset, data_size - offset - 2, length))
            end = data_size
        raw = data[offset + 2:end]
        if length > TITLE_MAX:
            warning(i, "title of %d bytes at %d: reading cuts it to %d" % (length, offset, TITLE_MAX))
        if b"\0" in raw:
            warning(i, "a zero byte at %d of the title at %d: reading cuts the title there"
                    % (raw.index(b"\0"), offset))
        if b"\x98" in raw:
            warning(i, "the byte 0x98 at %d of the title at %d has no cp1251 character: it reads as U+FFFD"
                    % (raw.index(b"\x98"), offset))
        records.append((offset, end, i))
        covered[offset:end] = b"\1" * (end - offset)
    # Against the record reaching furthest so far, not just the one before:
    # records that both lie inside a third are each reported.
    reach = None
    for start, end, entry in records:
        if reach is not None and start < reach[0]:
            warning(entry, "its title record at %d overlaps the one at %d (entry %d)" % (start, reach[1], reach[2]))
        if reach is None or end > reach[0]:
            reach = (end, start, entry)
    runs = _unread_runs(covered, data_size)
    if runs:
        warning(None, "%d bytes of the data file no record points at, first at %d-%d%s"
                % (sum(last - first + 1 for first, last in runs), runs[0][0], runs[0][1],
                   " (%d runs)" % len(runs) if len(runs) > 1 else ""))
    return found


def check(stem):
    """The findings for the pair at stem; IOError/OSError if a file cannot be read."""
    return inspect(*_load(_path(stem), quiet=True))


def check_status(findings):
    severities = set(f.severity for f in findings)
    return ERRORS if "error" in severities else WARNINGS if severities else CLEAN


def format_time(start, local=False):
    if local:
        return time.strftime("%Y-%m-%d %H:%M:%S %z", time.localtime(start))
    return time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(start))


def dump_lines(entries, local=False):
    return [u"%s  %s" % (format_time(start, local), title) for start, title in entries]
