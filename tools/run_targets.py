"""Builds and tests the module for every (target, Python) of targets.txt,
then prints one table of the (target, interpreter) pairs with their
results, read from ctest's JUnit report. Fails if any pair failed or could
not be had (a suite that no longer offers an interpreter the table names
says so here rather than being skipped). Targets go in two lanes side by
side, every other one of the table in each: most of a run is one
emulator's suite waiting on one core.
Usage: run_targets.py [TARGET...]   (default: every target; "host": this machine)"""
import concurrent.futures
import json
import os
import re
import sys
import threading
import xml.etree.ElementTree as ElementTree

import build as builder
import targets
from runner import CommandFailed, Log, capture, run

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KINDS = ("suite", "leak-loop", "archive", "file-checks")  # the LABELS "kind=" of tests/CMakeLists.txt


def results(build, report):
    """[(test name, "Passed" | "Failed" | ..., its labels)] in the order run:
    the outcomes from ctest's JUnit report, the labels (what a test is, in
    which interpreter) from ctest's own listing, joined by name."""
    listing = json.loads(capture(["ctest", "--show-only=json-v1"], cwd=build))
    labels = {test["name"]: dict(label.partition("=")[::2] for prop in test.get("properties", [])
                                 if prop["name"] == "LABELS" for label in prop["value"])
              for test in listing["tests"]}
    outcome = {"run": "Passed", "fail": "Failed", "notrun": "Not Run", "disabled": "Disabled"}
    return [(case.get("name"), outcome.get(case.get("status"), case.get("status") or "?"), labels.get(case.get("name"), {}))
            for case in ElementTree.parse(report).getroot().iter("testcase")]


def test_build(table, target, major, build, said):
    """The rows of the summary for one build directory; what to show of it
    is added to said."""
    log = os.path.join(build, "test-all.log")
    name = os.path.relpath(build, TOP)

    def keep(line):  # what the fetches and builds say, without the compiler's progress
        if not re.match(r"\[|g?make\[", line):
            said.append(line.rstrip("\n"))
        return False
    try:
        os.makedirs(build, exist_ok=True)
        open(log, "w").close()
        builder.build(Log(log, echo=keep), table, target, major, build)
    except (CommandFailed, OSError) as error:
        said.append("build or fetch failed: %s" % error)
        return [(target.target, "python" + major, "BUILD OR FETCH FAILED", "-", "-")]
    report = os.path.join(build, "ctest-junit.xml")
    status = run(["ctest", "--output-on-failure", "--output-junit", report], log, cwd=build, check=False)
    with open(log) as f:  # ctest's verdict, past its label times
        said.extend(line.rstrip() for line in f.readlines()[-40:]
                    if re.match(r"\d+% tests passed|Total Test time|The following tests FAILED|\s+\d+ - ", line))
    found = results(build, report) if os.path.exists(report) else []
    # A label "kind=" says what a test is, "interpreter=" where it ran.
    by_kind = {(labels.get("kind"), labels.get("interpreter")): result for _, result, labels in found}
    rows = []
    for _, result, labels in found:
        python = labels.get("interpreter")
        if labels.get("kind") == "suite":
            rows.append((target.target, python, "suite " + result, by_kind.get(("leak-loop", python), "?"),
                         by_kind.get(("archive", python), "-")))
        elif labels.get("kind") == "file-checks":
            rows.append((target.target, os.path.basename(build), "file checks " + result, "-", "-"))
    # A test without a known kind would go unshown: that is a failure too.
    unshown = [test for test, _, labels in found if labels.get("kind") not in KINDS]
    if status or not found or unshown or not any(labels.get("kind") == "suite" for _, _, labels in found):
        rows.append((target.target, name, "CTEST FAILED (see %s)%s" % (
            os.path.relpath(log, TOP), "; no kind label: " + ", ".join(unshown) if unshown else ""), "-", "-"))
    return rows


def failed(rows):
    """The rows of the summary that fail the run."""
    return [row for row in rows if row[2:4] not in (("suite Passed", "Passed"), ("file checks Passed", "-"))
            or row[4] not in ("Passed", "-")]


def main(names):
    table = targets.load()
    builds = list(table.builds(names, TOP))
    order = list(dict.fromkeys(target for target, _, _ in builds))
    builder.system_packages(Log(os.devnull, echo=lambda line: True), table, order)
    lanes = [[b for b in builds if order.index(b[0]) % 2 == lane] for lane in (0, 1)]
    shown = threading.Lock()

    def lane(members):
        rows = {}
        for target, major, build in members:
            said = []
            rows[build] = test_build(table, target, major, build, said)
            with shown:
                print("=== %s, Python %s: %s" % (target.target, major, os.path.relpath(build, TOP)))
                print("\n".join(said))
                sys.stdout.flush()
        return rows
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        done = {}
        for found in pool.map(lane, lanes):
            done.update(found)
    rows = [row for _, _, build in builds for row in done[build]]
    print("\n| target | interpreter or build | result | leak loop | quarnel-guide.pyz |\n|---|---|---|---|---|")
    for row in rows:
        print("| %s | %s | %s | %s | %s |" % row)
    bad = failed(rows)
    print("\npairs: %d passed, %d failed" % (len(rows) - len(bad), len(bad)))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
