"""The pair as readers see it: its layout, and the pure reader."""

import os
import struct
import sys

from ._text import _path


EPOCH_TICKS = 116444736000000000  # 100 ns intervals from 1601 to 1970
TICKS_PER_SECOND = 10 ** 7
MAX_ENTRIES = 0xFFFF
OFFSET_LIMIT = 0x10000  # a title record must start below this
TITLE_MAX = 4999  # longer titles are cut to this on reading
INT32 = (-2 ** 31, 2 ** 31 - 1)
EPOCH_SECONDS = 11644473600
# All of a pair that any reader reaches: the records the count can name, and
# title records, which start below 64 KiB and hold at most 65,535 bytes.
INDEX_REACH = 2 + 12 * MAX_ENTRIES
DATA_REACH = OFFSET_LIMIT + 2 + 0xFFFF


def _field(blob, offset, size):
    """size bytes at offset; what lies beyond the end reads as zeroes, as the
    module reads a short file."""
    piece = bytearray(blob[offset:offset + size])
    return bytes(piece + bytearray(size - len(piece)))


def start_time(field):
    """A record's FILETIME as the module gives it: seconds toward zero, then
    wrapped to a signed 32-bit Unix time."""
    seconds = abs(field) // TICKS_PER_SECOND
    if field < 0:
        seconds = -seconds
    unix = (seconds - EPOCH_SECONDS) % 2 ** 32
    return unix - 2 ** 32 if unix >= 2 ** 31 else unix


def _decode(raw):
    return raw.split(b"\0", 1)[0][:TITLE_MAX].decode("cp1251", "replace")


def _load(stem, quiet=False):
    """(index, data, index size, data size): of each file the bytes a reader
    can reach and its whole size. An unopenable file raises IOError/OSError,
    unless quiet after the line the module prints for it."""
    blobs, sizes = [], []
    for suffix, reach in ((".ndx", INDEX_REACH), (".pdt", DATA_REACH)):
        try:
            with open(stem + suffix, "rb") as f:
                blobs.append(f.read(reach))
                sizes.append(max(len(blobs[-1]), os.fstat(f.fileno()).st_size))
        except (IOError, OSError) as error:
            if not quiet:
                sys.stdout.write("Can't open file %s%s errno%d\n" % (stem, suffix, error.errno or 0))
            raise
    return blobs + sizes


def _records(index):
    (count,) = struct.unpack("<H", _field(index, 0, 2))
    for i in range(count):
        yield struct.unpack("<2xqH", _field(index, 2 + 12 * i, 12))


def _title(data, offset):
    (length,) = struct.unpack("<H", _field(data, offset, 2))
    return _decode(data[offset + 2:offset + 2 + min(length, TITLE_MAX)])


def read_pure(stem, quiet=False):
    """Every entry of the pair at stem, read without the extension."""
    index, data = _load(_path(stem), quiet)[:2]
    return tuple((start_time(field), _title(data, offset)) for field, offset in _records(index))


def read(stem):
    """What a plugin gets: through the quarnel extension where it imports,
    through the pure reader elsewhere. Returns (entries, reader name)."""
    try:
        import quarnel
    except ImportError:
        return read_pure(stem), "pure"
    return quarnel.read(_path(stem)), "quarnel"
