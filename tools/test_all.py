"""Builds and tests the module for every (target, Python) of targets.txt,
then prints one table of the (target, interpreter) pairs with their
results, read from ctest's JUnit report. Fails if any pair failed or could
not be had (a suite that no longer offers an interpreter the table names
says so here rather than being skipped).
Usage: test_all.py [TARGET...]   (default: every target; "host": this machine)"""
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

import targets
from runner import CommandFailed, run

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def results(report):
    """[(test name, "Passed" | "Failed" | ...)] from ctest's JUnit report, in the order run."""
    outcome = {"run": "Passed", "fail": "Failed", "notrun": "Not Run", "disabled": "Disabled"}
    return [(case.get("name"), outcome.get(case.get("status"), case.get("status") or "?"))
            for case in ElementTree.parse(report).getroot().iter("testcase")]


def test_build(target, major, build):
    """The rows of the summary for one build directory."""
    log = os.path.join(build, "test-all.log")
    name = os.path.relpath(build, TOP)
    try:
        os.makedirs(build, exist_ok=True)
        open(log, "w").close()
        # What the fetches and builds say, without the compiler's progress.
        run([os.path.join(TOP, "tools", "build.sh"), target.target, major, build], log,
            echo=lambda line: not re.match(r"\[|g?make\[", line))
    except CommandFailed as error:
        print("build or fetch failed: %s" % error)
        return [(target.target, "python" + major, "BUILD OR FETCH FAILED", "-", "-")]
    report = os.path.join(build, "ctest-junit.xml")
    status = run(["ctest", "--output-on-failure", "--output-junit", report], log, cwd=build, check=False)
    with open(log) as f:
        print("".join(f.readlines()[-4:]).rstrip())
    found = results(report) if os.path.exists(report) else []
    rows = []
    for test, result in found:
        if test.startswith("suite-"):
            python = test[len("suite-"):]
            rows.append((target.target, python, "suite " + result, dict(found).get("leak-loop-" + python, "?"),
                         dict(found).get("archive-" + python, "-")))
        elif test == "shared-object":
            rows.append((target.target, os.path.basename(build), "file checks " + result, "-", "-"))
    if status or not found:
        rows.append((target.target, name, "CTEST FAILED (see %s)" % os.path.relpath(log, TOP), "-", "-"))
    return rows


def main(names):
    rows = []
    for target, major, build in targets.builds(names, TOP):
        print("=== %s, Python %s: %s" % (target.target, major, os.path.relpath(build, TOP)))
        sys.stdout.flush()
        rows += test_build(target, major, build)
    print("\n| target | interpreter or build | result | leak loop | quarnel-guide.pyz |\n|---|---|---|---|---|")
    for row in rows:
        print("| %s | %s | %s | %s | %s |" % row)
    failed = [row for row in rows if row[2:4] not in (("suite Passed", "Passed"), ("file checks Passed", "-"))
              or row[4] not in ("Passed", "-")]
    print("\npairs: %d passed, %d failed" % (len(rows) - len(failed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
