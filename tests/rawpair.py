"""Builds guide file pairs ("<stem>.ndx" + "<stem>.pdt") byte by byte, for
the tests and fuzz seeds that need what quarnel_guide.write refuses: zero
bytes and over-long titles, counts that lie, headers, bytes in memory.
Runs on Python 2.7 and 3."""
import struct

EPOCH_TICKS = 116444736000000000  # 100 ns intervals from 1601 to 1970
TICKS_PER_SECOND = 10000000


def filetime(unix_seconds):
    return EPOCH_TICKS + unix_seconds * TICKS_PER_SECOND


def index_record(start_field, title_offset, skipped=0):
    return struct.pack("<HqH", skipped, start_field, title_offset)


def title_record(title, length=None):
    """A title record: its length field (by default the title's own) and its bytes."""
    return struct.pack("<H", len(title) if length is None else length) + title


def index_file(records, count=None):
    """An index: the count field (by default the records') and the records."""
    return struct.pack("<H", len(records) if count is None else count) + b"".join(records)


def build(entries, data_header=b"", count=None):
    """entries: (unix_seconds, cp1251 title bytes) pairs, in file order.
    Equal titles share one title record. Returns (index bytes, data bytes)."""
    data = bytearray(data_header)
    offsets = {}
    records = []
    for start, title in entries:
        if title not in offsets:
            offsets[title] = len(data)
            data += struct.pack("<H", len(title)) + title
        records.append(index_record(filetime(start), offsets[title]))
    if len(data) > 0x10000:
        raise ValueError("titles do not fit the 16-bit offsets")
    n = len(entries) if count is None else count
    return struct.pack("<H", n) + b"".join(records), bytes(data)


def write_raw(stem, index_bytes, data_bytes):
    for suffix, content in ((".ndx", index_bytes), (".pdt", data_bytes)):
        if content is not None:
            with open(stem + suffix, "wb") as f:
                f.write(content)
    return stem


def write(stem, entries, **kwargs):
    index_bytes, data_bytes = build(entries, **kwargs)
    return write_raw(stem, index_bytes, data_bytes)
