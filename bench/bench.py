"""Benchmark of quarnel against the system-call floor and two pure-Python
readers. Prints figures; it never passes or fails on time.
Usage: bench.py BUILD_DIR [--emulator PROG] [--python COMMAND]
The floor program is BUILD_DIR/bench_floor; under emulation it is started
through PROG. Child interpreters are started by COMMAND, the command that
started this one (a wrapper must not be bypassed through sys.executable)."""
import os
import platform
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "python"))
import quarnel_guide  # noqa: E402
from quarnel_guide import start_time  # noqa: E402  the start-time rule, from the tool that writes pairs

SIZES = (1000, 65535)
MARK = "/quarnel-bench-mark"


def make_guide(top, n):
    base = 1700000000
    titles = [u"\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u0430 %d" % i for i in range(600)]
    entries = [(base + 60 * i, titles[i % len(titles)]) for i in range(n)]
    stem = os.path.join(top, "ch%d" % n)
    quarnel_guide.write(stem, entries)
    # now + shift lands in the middle of the guide
    return stem, base + 60 * (n // 2) + 30


def title_text(raw):
    return raw.split(b"\0", 1)[0].decode("cp1251", "replace")


def whole_file_reader(stem):
    """Reads both files whole and unpacks with struct."""
    with open(stem + ".ndx", "rb") as f:
        index = f.read()
    with open(stem + ".pdt", "rb") as f:
        data = f.read()
    count = struct.unpack_from("<H", index + b"\0\0")[0]
    out = []
    for i in range(count):
        ft, off = struct.unpack_from("<qH", index, 2 + 12 * i + 2)
        (length,) = struct.unpack_from("<H", data, off)
        out.append((start_time(ft), title_text(data[off + 2:off + 2 + min(length, 4999)])))
    return tuple(out)


def read_entry_rest(ndx, pdt):
    """The title offset (the index file stands at it) and the title."""
    (off,) = struct.unpack("<H", os.read(ndx, 2))
    os.lseek(pdt, off, os.SEEK_SET)
    (length,) = struct.unpack("<H", os.read(pdt, 2))
    return title_text(os.read(pdt, min(length, 4999)))


def field_reader(stem):
    """Makes the same field-sized reads as the module, with os.read."""
    ndx = os.open(stem + ".ndx", os.O_RDONLY)
    pdt = os.open(stem + ".pdt", os.O_RDONLY)
    try:
        (count,) = struct.unpack("<H", os.read(ndx, 2).ljust(2, b"\0"))
        out = []
        for _ in range(count):
            os.read(ndx, 2)
            (ft,) = struct.unpack("<q", os.read(ndx, 8))
            out.append((start_time(ft), read_entry_rest(ndx, pdt)))
        return tuple(out)
    finally:
        os.close(ndx)
        os.close(pdt)


def field_reader_current(stem, target):
    """current() as a plugin author would write it with os.read."""
    ndx = os.open(stem + ".ndx", os.O_RDONLY)
    pdt = os.open(stem + ".pdt", os.O_RDONLY)
    try:
        (count,) = struct.unpack("<H", os.read(ndx, 2))

        def start_of(i):
            os.lseek(ndx, 2 + 12 * i + 2, os.SEEK_SET)
            return start_time(struct.unpack("<q", os.read(ndx, 8))[0])
        low, high = 0, count - 1
        while high - low >= 2:
            mid = low + (high - low) // 2
            if start_of(mid) < target:
                low = mid
            else:
                high = mid
        out = []
        for i in range(low, min(low + 3, count)):
            start = start_of(i)
            out.append((start, read_entry_rest(ndx, pdt)))
        return tuple(out)
    finally:
        os.close(ndx)
        os.close(pdt)


def whole_file_current(stem, target):
    entries = whole_file_reader(stem)
    k = -1
    for i, (s, _) in enumerate(entries):
        if s < target:
            k = i
    first = min(max(k, 0), max(len(entries) - 2, 0))
    return entries[first:first + 3]


def best_time(call, min_seconds=0.3):
    """Seconds per call: the best of five batches."""
    n = 1
    while True:
        t0 = time.time()
        for _ in range(n):
            call()
        elapsed = time.time() - t0
        if elapsed >= min_seconds / 5:
            break
        n *= 2
    best = elapsed / n
    for _ in range(4):
        t0 = time.time()
        for _ in range(n):
            call()
        best = min(best, (time.time() - t0) / n)
    return best


def floor_time(prog, emulator, stem, mode, target, per_call_estimate):
    iterations = max(3, int(0.3 / max(per_call_estimate, 1e-7)))
    best = None
    for _ in range(3):
        out = subprocess.check_output(emulator + [prog, stem, mode, str(iterations), str(target)])
        ns = float(out.split()[0])
        best = ns if best is None else min(best, ns)
    return best / 1e9


def count_syscalls(build, emulator, python, code):
    """System calls made between two marker calls in a child interpreter."""
    # The call runs once first: the codec's first use imports its module.
    pre = "import os, sys; sys.path.insert(0, %r); import quarnel\n%s\n" % (build, code)
    body = pre + "os.access(%r, 0)\n%s\nos.access(%r, 0)\n" % (MARK + "1", code, MARK + "2")
    log = tempfile.mktemp(prefix="quarnel-trace-")
    env = dict(os.environ)
    if emulator:
        env["QEMU_STRACE"] = "1"
        with open(log, "wb") as err:
            subprocess.check_call(python + ["-c", body], env=env, stderr=err)
    else:
        if not find_program("strace"):
            return None
        subprocess.check_call(["strace", "-f", "-o", log] + python + ["-c", body])
    with open(log) as f:
        lines = f.read().splitlines()
    os.remove(log)
    inside = False
    calls = {}
    for line in lines:
        if MARK + "1" in line:
            inside = True
            continue
        if MARK + "2" in line:
            break
        if inside and "(" in line:
            name = line.split("(", 1)[0].split()[-1]
            calls[name] = calls.get(name, 0) + 1
    return calls


def find_program(name):
    for d in os.environ.get("PATH", "").split(os.pathsep):
        if os.access(os.path.join(d, name), os.X_OK):
            return True
    return False


def child_growth_kib(build, python, field, setup, code):
    """How much a /proc/self/status field (VmHWM: peak, which starts afresh
    at exec, unlike ru_maxrss; VmRSS: now) grows in a child across `code`."""
    body = ("import sys; sys.path.insert(0, %r); import quarnel\n"
            "def kib():\n"
            "    for line in open('/proc/self/status'):\n"
            "        if line.startswith(%r): return int(line.split()[1])\n"
            "%s\n"
            "before = kib()\n"
            "%s\n"
            "print(kib() - before)\n") % (build, field + ":", setup, code)
    return int(subprocess.check_output(python + ["-c", body]))


def fmt_us(seconds):
    return "%.1f" % (seconds * 1e6)


def main():
    build = os.path.abspath(sys.argv[1])
    options = dict(zip(sys.argv[2::2], sys.argv[3::2]))
    emulator = options.get("--emulator", "").split()
    python = options.get("--python", "").split() or [sys.executable]
    sys.path.insert(0, build)
    import quarnel
    floor = os.path.join(build, "bench_floor")
    top = tempfile.mkdtemp(prefix="quarnel-bench-")
    print("machine: %s, %s, Python %s%s" % (
        platform.machine(), platform.processor() or "-", platform.python_version(),
        " under %s" % " ".join(emulator) if emulator else ""))
    rows = []
    try:
        for n in SIZES:
            stem, target = make_guide(top, n)
            shift = lambda: target - int(time.time())  # noqa: E731
            expected = quarnel.read(stem)
            assert whole_file_reader(stem) == expected
            assert field_reader(stem) == expected
            window = quarnel.current(stem, shift())
            assert field_reader_current(stem, target) == window
            assert whole_file_current(stem, target) == window
            for method, call, py_whole, py_fields, size in (
                    ("read", lambda: quarnel.read(stem),
                     lambda: whole_file_reader(stem), lambda: field_reader(stem), n),
                    ("current", lambda: quarnel.current(stem, shift()),
                     lambda: whole_file_current(stem, target),
                     lambda: field_reader_current(stem, target), 3)):
                t = best_time(call)
                f = floor_time(floor, emulator, stem, method, target, t)
                w = best_time(py_whole)
                r = best_time(py_fields)
                rows.append((method, n, t, t / size, f, w, r))
        print("")
        print("| method | entries | us/call | us/entry | floor us/call | module/floor"
              " | whole-file Python us | module speed-up | field-read Python us | module speed-up |")
        print("|---|---|---|---|---|---|---|---|---|---|")
        for method, n, t, te, f, w, r in rows:
            print("| %s | %d | %s | %.3f | %s | %.2f | %s | %.2fx | %s | %.2fx |" % (
                method, n, fmt_us(t), te * 1e6, fmt_us(f), t / f, fmt_us(w), w / t,
                fmt_us(r), r / t))
        print("")
        stem, target = make_guide(top, 65535)
        for label, code in (
                ("read(65535)", "r = quarnel.read(%r)" % stem),
                ("current(65535)", "r = quarnel.current(%r, 0)" % stem)):
            calls = count_syscalls(build, emulator, python, code)
            if calls is None:
                print("%s: strace not installed" % label)
                continue
            total = sum(calls.values())
            detail = ", ".join("%s %d" % kv for kv in sorted(calls.items()))
            print("%s: %d system calls (%s)" % (label, total, detail))
        print("expected: read 6 per entry + 5 (%d), current 3 per probe + 5 + 6 per window entry"
              % (6 * 65535 + 5))
        read = "r = quarnel.read(%r)" % stem
        print("peak memory growth for read(65535), after a first one: %d KiB" % child_growth_kib(
            build, python, "VmHWM", read + "\ndel r", read))
        print("peak memory growth for current(65535): %d KiB" % child_growth_kib(
            build, python, "VmHWM", "r = quarnel.current(%r, 0)\ndel r" % stem,
            "r = quarnel.current(%r, 0)" % stem))
        print("memory held by a read(65535) result: %d KiB" % child_growth_kib(
            build, python, "VmRSS", "quarnel.current(%r, 0)" % stem, read))
    finally:
        shutil.rmtree(top)


if __name__ == "__main__":
    main()
