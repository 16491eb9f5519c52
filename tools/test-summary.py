#!/usr/bin/env python3
"""Prints the plain 'N passed, N failed' line for a finished `meson test` run.

Counts individual test cases from meson's JUnit log. A test program that failed without
reporting a failed case (a crash, a time-out, a non-gtest test) counts as one failure.
"""
import json
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

build = Path(sys.argv[1] if len(sys.argv) > 1 else "build")
logs = build / "meson-logs"
passed = failed = skipped = 0
failed_programs = set()

junit = logs / "testlog.junit.xml"
if junit.exists():
    for suite in ET.parse(junit).getroot().iter("testsuite"):
        for case in suite.iter("testcase"):
            if case.find("failure") is not None or case.find("error") is not None:
                failed += 1
                failed_programs.add(suite.get("name", ""))
            elif case.find("skipped") is not None or case.get("status") == "notrun":
                skipped += 1
            else:
                passed += 1

log = logs / "testlog.json"
if log.exists():
    for line in log.read_text().splitlines():
        if not line.strip():
            continue
        entry = json.loads(line)
        if entry.get("result") in ("OK", "SKIP", "EXPECTEDFAIL"):
            continue
        name = entry.get("name", "")
        prefix = "zevrin." + name.split(":")[-1].strip() + "."
        if not any(p == name or p.startswith(prefix) for p in failed_programs):
            failed += 1
            print(f"failed program: {name} ({entry.get('result')})")

line = f"{passed} passed, {failed} failed"
if skipped:
    line += f", {skipped} skipped"
print(line)
sys.exit(1 if failed else 0)
