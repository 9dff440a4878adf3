"""Figures, not a test: bench/bench.py and bench/grid.py in this machine's
first Python 2.7 and 3, then in those of every other target of targets.txt
under qemu (a stand-in for a slow box CPU, not a measurement of one);
bench/xmltv_peak.py, the XMLTV converter's peak memory, on this machine;
bench/xmltv_week.py, its speed against the bare parse, in every interpreter
benched. Each build's commands and output are logged in its bench.log.
Usage: bench_all.py [TARGET...]"""
import os
import sys

import targets
from runner import run

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHOW = lambda line: True  # noqa: E731  the figures are the point


def main(names):
    host = targets.host_arch()
    run([os.path.join(TOP, "tools", "need.sh"), "strace:strace"], os.devnull)
    benched, log = [], os.devnull
    for target, major, build in targets.builds(names, TOP):
        log = os.path.join(build, "bench.log")
        run([os.path.join(TOP, "tools", "build.sh"), target.target, major, build], log)
        with open(os.path.join(build, "interpreters.txt")) as f:
            python = f.readline().strip()
        # The floor program runs on the cross toolchain's own C library.
        emulator = [] if target.target == host else ["--emulator", "%s -L /usr/%s" % (target.qemu, target.triplet)]
        print("=== %s, %s" % (target.target, os.path.basename(python)))
        sys.stdout.flush()
        run([python, os.path.join(TOP, "bench", "bench.py"), build] + emulator + ["--python", python], log, echo=SHOW)
        run([python, os.path.join(TOP, "bench", "grid.py"), build], log, echo=SHOW)
        if target.target == host:  # the listing's size is the point, not the CPU
            run([python, os.path.join(TOP, "bench", "xmltv_peak.py"), python], log, echo=SHOW)
        benched.append(python)
    run([os.path.join(TOP, ".deps", "bin", "python3.11"), os.path.join(TOP, "bench", "xmltv_week.py")] + benched,
        log, echo=SHOW)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
