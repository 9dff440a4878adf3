"""Calls read and current thousands of times over good files and every
failure path, and fails if the interpreter's total reference count (on a
debug interpreter) or the number of open descriptors grows after warm-up.
Usage: leak_loop.py MODULE_DIR [ITERATIONS]"""
import os
import shutil
import sys
import tempfile

sys.path.insert(0, sys.argv[1])
from support import Stdout, rawpair, open_fds, quarnel  # noqa: E402

# Growth allowed over the whole measured run: caches may still settle a
# little, but a leak of one object per call grows by thousands.
SLACK = 50


def fixtures(top):
    good = os.path.join(top, "good")
    rawpair.write(good, [(1700000000 + 60 * i, b"\xcf\xf0\xee\xe3\xf0 %d" % i) for i in range(40)])
    odd = os.path.join(top, "odd")
    rawpair.write(odd, [(1, b"a\x98b"), (2, b"x" * 6000), (3, b""), (4, b"z\x00z")])
    empty = os.path.join(top, "empty")
    rawpair.write_raw(empty, b"", b"")
    no_data = os.path.join(top, "nodata")
    rawpair.write_raw(no_data, b"\x01\x00", None)
    data_dir = os.path.join(top, "datadir")
    rawpair.write_raw(data_dir, b"\x03\x00", None)
    os.mkdir(data_dir + ".pdt")
    index_dir = os.path.join(top, "indexdir")
    os.mkdir(index_dir + ".ndx")
    rawpair.write_raw(index_dir, None, b"")
    calls = []
    for stem in (good, odd, empty):
        calls += [(quarnel.read, (stem,)), (quarnel.current, (stem, 0)),
                  (quarnel.current, (stem, -10 ** 9)), (quarnel.current, (stem, 10 ** 9)),
                  (quarnel.between, (stem, 1700000000, 1700001000)), (quarnel.between, (stem, 0, 1))]
    for stem in (os.path.join(top, "missing"), no_data, data_dir, index_dir, "x" * 5000):
        calls += [(quarnel.read, (stem,)), (quarnel.current, (stem, 0)), (quarnel.between, (stem, 0, 5))]
    calls += [(quarnel.read, ()), (quarnel.read, (good, good)), (quarnel.read, (None,)),
              (quarnel.read, ("a\0b",)), (quarnel.read, (u"\u0410",)),
              (quarnel.current, (good,)), (quarnel.current, (good, "1")),
              (quarnel.current, (good, 2 ** 70)), (quarnel.between, (good, 1.5, 2)),
              (quarnel.between, (good, 0, 2 ** 40))]
    return calls


def run(calls, times):
    for _ in range(times):
        for method, args in calls:
            try:
                method(*args)
            except (IOError, TypeError, ValueError, OverflowError, UnicodeError):
                pass


def measure():
    refs = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    return refs, open_fds()


def main():
    iterations = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    top = tempfile.mkdtemp(prefix="quarnel-leak-")
    try:
        calls = fixtures(top)
        with Stdout():  # the failure messages
            run(calls, 50)
            before = measure()
            run(calls, iterations)
            after = measure()
    finally:
        shutil.rmtree(top)
    total = iterations * len(calls)
    print("leak loop: %d calls over %d cases" % (total, len(calls)))
    print("  total refcount: %s -> %s" % (before[0], after[0]))
    print("  open descriptors: %d -> %d" % (before[1], after[1]))
    failed = 0
    if before[0] is None:
        print("  (no sys.gettotalrefcount: not a Py_DEBUG interpreter)")
    elif after[0] - before[0] > SLACK:
        print("  reference count grew by %d" % (after[0] - before[0]))
        failed += 1
    if after[1] != before[1]:
        print("  descriptors leaked")
        failed += 1
    print("leakcheck: %d passed, %d failed" % (2 - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
