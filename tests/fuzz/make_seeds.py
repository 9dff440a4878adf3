"""Writes the fuzz seed corpus: guide pairs in the fuzz target's input format
([u16 index length][3 x i32 targets][index][data]). Usage: make_seeds.py DIR"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import rawpair  # noqa: E402

BASE = 1700000000


def seed(index, data, targets=(BASE, BASE + 150, 0)):
    return struct.pack("<H3i", len(index), *targets) + index + data


def seeds():
    example = bytes(bytearray.fromhex("0100 0000 00803ED5DEB19D01 0000"))
    ordered = rawpair.build([(BASE + 100 * i, b"\xc0\xc1 %d" % i) for i in range(12)])
    shared = rawpair.build([(BASE, b"x"), (BASE + 5, b"x"), (BASE - 5, b"y")],
                             data_header=b"HDR")
    long_title = rawpair.build([(BASE, b"L" * 6000)])
    index, data = ordered
    yield "example", seed(example, b"\x03\x00\xc0\xc1\xc2")
    yield "empty", seed(b"", b"")
    yield "one-byte", seed(b"\x05", b"\x02\x00ab")
    yield "ordered", seed(index, data)
    yield "shared-titles", seed(*shared)
    yield "truncated-record", seed(index[:2 + 12 * 5 + 7], data)
    yield "offsets-past-end", seed(index, data[:10])
    yield "long-title", seed(*long_title)
    yield "zero-in-title", seed(*rawpair.build([(BASE, b"ab\x00cd")]))
    yield "count-ffff", seed(b"\xff\xff" + index[2:], data)


def main(out_dir):
    if not os.path.isdir(out_dir):
        os.makedirs(out_dir)
    for name, content in seeds():
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(content)


if __name__ == "__main__":
    main(sys.argv[1])
