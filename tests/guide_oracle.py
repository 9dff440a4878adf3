"""An independent reader of guide pairs, written from the file format alone,
for checking the module (and anything else that reads pairs) against.
Works on the bytes of the two files, so any pair can be described in memory.
Runs on Python 2.7 and 3."""
import struct

TITLE_MAX = 4999
_EPOCH_SECONDS = 11644473600


def _field(blob, offset, size):
    """size bytes at offset; what lies beyond the end reads as zeroes."""
    piece = bytearray(blob[offset:offset + size]) if offset < len(blob) else bytearray()
    return bytes(piece + bytearray(size - len(piece)))


def start_time(field):
    seconds = abs(field) // 10 ** 7
    if field < 0:
        seconds = -seconds
    unix = (seconds - _EPOCH_SECONDS) % 2 ** 32
    return unix - 2 ** 32 if unix >= 2 ** 31 else unix


def decode(raw):
    text = raw.split(b"\0", 1)[0][:TITLE_MAX]
    return text.decode("cp1251", "replace")


class Pair(object):
    """The entries of a pair given as the bytes of its two files."""

    def __init__(self, index, data):
        self.index = index
        self.data = data
        self.count = struct.unpack("<H", _field(index, 0, 2))[0]

    def record(self, i):
        raw = _field(self.index, 2 + 12 * i, 12)
        return struct.unpack("<2xqH", raw)

    def start(self, i):
        return start_time(self.record(i)[0])

    def title(self, offset):
        (length,) = struct.unpack("<H", _field(self.data, offset, 2))
        return decode(self.data[offset + 2:offset + 2 + min(length, TITLE_MAX)])

    def entry(self, i):
        field, offset = self.record(i)
        return (start_time(field), self.title(offset))

    def entries(self):
        return tuple(self.entry(i) for i in range(self.count))

    def window(self, target):
        """current(): the last entry starting strictly before target, found by
        halving 0 ... N-1 without reading either end, and up to two after."""
        low, high = 0, self.count - 1
        while high - low >= 2:
            mid = (low + high) // 2
            if self.start(mid) < target:
                low = mid
            else:
                high = mid
        return tuple(self.entry(i) for i in range(low, min(low + 3, self.count)))

    def between(self, start, end):
        """between(): from the last entry starting at or before start (found by
        halving 0 ... N, entry 0 if none) up to the first later one starting
        at or after end; that first entry only if it starts before end."""
        if end <= start or self.count == 0:
            return ()
        low, high = 0, self.count
        while low < high:
            mid = (low + high) // 2
            if self.start(mid) <= start:
                low = mid + 1
            else:
                high = mid
        first = max(low - 1, 0)
        out = [self.entry(first)] if self.start(first) < end else []
        for i in range(first + 1, self.count):
            if self.start(i) >= end:
                break
            out.append(self.entry(i))
        return tuple(out)


def read_pair(stem):
    """The Pair of the files at stem."""
    with open(stem + ".ndx", "rb") as f:
        index = f.read()
    with open(stem + ".pdt", "rb") as f:
        return Pair(index, f.read())
