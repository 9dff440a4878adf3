"""Figures, not a test: bench/bench.py and bench/grid.py in this machine's
first Python 2.7 and 3, then in those of every other target of targets.txt
under qemu (a stand-in for a slow box CPU, not a measurement of one);
bench/xmltv_peak.py, the XMLTV converter's peak memory, on this machine;
bench/xmltv_week.py, its speed against the bare parse, in every interpreter
benched. Each build's commands and output are logged in its bench.log.
Usage: bench_all.py [TARGET...]"""
import os
import sys

import build as builder
import debian
import targets
from runner import Log, run

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHOW = lambda line: True  # noqa: E731  the figures are the point


def main(names):
    table = targets.load()
    host = table.host
    builds = list(table.builds(names, TOP))
    builder.system_packages(Log(os.devnull), table, dict.fromkeys(target for target, _, _ in builds))
    debian.need(Log(os.devnull), "strace:strace")
    benched, log = [], os.devnull
    for target, major, build in builds:
        log = os.path.join(build, "bench.log")
        os.makedirs(build, exist_ok=True)
        python = builder.build(Log(log), table, target, major, build)[0]
        # The floor program runs on the cross toolchain's own C library.
        emulator = ["--emulator", " ".join(target.emulator())] if target.emulator() else []
        print("=== %s, %s" % (target.target, os.path.basename(python)))
        sys.stdout.flush()
        run([python, os.path.join(TOP, "bench", "bench.py"), build] + emulator + ["--python", python], log, echo=SHOW)
        run([python, os.path.join(TOP, "bench", "grid.py"), build], log, echo=SHOW)
        if target == host:  # the listing's size is the point, not the CPU
            run([python, os.path.join(TOP, "bench", "xmltv_peak.py"), python], log, echo=SHOW)
        benched.append(python)
    run([debian.fetch_headers_python(Log(log), host, host), os.path.join(TOP, "bench", "xmltv_week.py")] + benched,
        log, echo=SHOW)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
