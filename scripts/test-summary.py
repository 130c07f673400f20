#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Prints what the test command ran, stage by stage: each stage's outcome,
its ctest entries, and the GoogleTest and pytest cases of every suite, then
one last line `N passed, N failed` (with `, N skipped` when skips were
allowed) that CI reads. A ctest entry or a stage that failed without a
failing case to show for it (a crash, a timeout, a lint finding) counts as
one failure, and an entry that reports no cases counts as one test. A ctest
entry that did not run counts as failed unless VELMORAN_ALLOW_SKIP=1. The
exit status is 1 when anything failed.
Usage: scripts/test-summary.py RESULTS-FOLDER
  RESULTS-FOLDER/stages: one line per stage, "NAME STATUS", in order run
  RESULTS-FOLDER/NAME/ctest.xml: ctest's JUnit report of the stage, if any
  RESULTS-FOLDER/NAME/*.json: one suite's counts each (tests/system/skip_policy.py,
  tests/unit/unit_main.cpp)"""

import json
import os
import pathlib
import sys
import xml.etree.ElementTree as ElementTree

OUTCOMES = ("passed", "failed", "skipped")


def ctest_entries(folder):
    """{entry name: "passed" | "failed" | "skipped"} from ctest's JUnit report."""
    report = folder / "ctest.xml"
    if not report.exists():
        return {}
    entries = {}
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        status = case.get("status", "run")
        if case.find("failure") is not None or case.find("error") is not None or status == "fail":
            entries[case.get("name")] = "failed"
        elif case.find("skipped") is not None or status in ("notrun", "disabled"):
            entries[case.get("name")] = "skipped" if os.environ.get("VELMORAN_ALLOW_SKIP") == "1" else "failed"
        else:
            entries[case.get("name")] = "passed"
    return entries


def suites(folder):
    found = {}
    for path in sorted(folder.glob("*.json")):
        counts = json.loads(path.read_text())
        found[counts["suite"]] = counts
    return found


def line(counts):
    return ", ".join(f"{counts[name]} {name}" for name in OUTCOMES)


def main(results):
    total = dict.fromkeys(OUTCOMES, 0)
    stages_file = results / "stages"
    stages = [entry.split() for entry in stages_file.read_text().splitlines()] if stages_file.exists() else []
    print("=== summary: tests run, by stage and suite")
    for name, status in stages:
        folder = results / name
        print(f"{name}: {'passed' if status == '0' else 'FAILED (status ' + status + ')'}")
        entries = ctest_entries(folder)
        cases = suites(folder)
        if entries:
            tally = {outcome: list(entries.values()).count(outcome) for outcome in OUTCOMES}
            print(f"  ctest entries: {line(tally)}")
        unexplained = 0
        for entry, outcome in sorted(entries.items()):
            counts = cases.get(entry)
            if counts is None:
                # No case breakdown: the entry is one test.
                total[outcome] += 1
                print(f"  {entry:<44} {'ctest':<10} {outcome}")
            elif outcome == "failed" and counts["failed"] == 0:
                unexplained += 1
                print(f"  {entry:<44} {'ctest':<10} failed outside its cases")
        for suite, counts in sorted(cases.items()):
            for outcome in OUTCOMES:
                total[outcome] += counts[outcome]
            print(f"  {suite:<44} {counts['kind']:<10} {line(counts)}")
        total["failed"] += unexplained
        if status != "0" and unexplained == 0 and not any(
                counts["failed"] for counts in cases.values()) and "failed" not in entries.values():
            total["failed"] += 1
    ending = f"{total['passed']} passed, {total['failed']} failed"
    if total["skipped"]:
        ending += f", {total['skipped']} skipped"
    print(ending)
    return 1 if total["failed"] else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.split("Usage: ")[1])
    sys.exit(main(pathlib.Path(sys.argv[1])))
