#!/usr/bin/python3
"""harness/table.py: each JUnit outcome read right, every Windows suite shown on every Windows
build, a run that tested a Windows suite nowhere, or the shipped build not at all, refused, and
the count line a suite writes read back as written."""
import os
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from suite import check, summary
from harness import table as tt

COUNT_LINES = [
    ("no case left out", (12, 0, 0), "12 passed, 0 failed"),
    ("a failure", (3, 1, 0), "3 passed, 1 failed"),
    ("cases left out", (40, 0, 2), "40 passed, 0 failed, 2 skipped"),
]
for name, counts, line in COUNT_LINES:
    check(f"count line: {name}: written", tt.count_line(*counts), line)
    read = tt.COUNTS.findall(f"ok   a case\n{line}\n")
    check(f"count line: {name}: read back", [tuple(int(n or 0) for n in c) for c in read],
          [counts])

OUTCOMES = [
    ("a pass", '<testcase name="e2e" status="run"><system-out>9 passed, 0 failed\n'
     '</system-out></testcase>', (True, "passed")),
    ("a pass with cases left out", '<testcase name="e2e" status="run"><system-out>1 passed, 0 '
     'failed, 0 skipped\n40 passed, 0 failed, 2 skipped\n</system-out></testcase>',
     (True, "passed, 2 cases left out")),
    ("a failure", '<testcase name="e2e" status="fail"><failure message=""/><system-out>3 passed, '
     '1 failed, 0 skipped</system-out></testcase>', (True, "FAILED")),
    ("a skip with its reason", '<testcase name="hostile" status="notrun"><skipped message='
     '"SKIP_RETURN_CODE=77"/><system-out>not run here: no room\n</system-out></testcase>',
     (False, "not run here: no room")),
    ("a skip without one", '<testcase name="hostile" status="notrun"><skipped message="Disabled"/>'
     '</testcase>', (False, "not run here: Disabled")),
]
for name, xml, want in OUTCOMES:
    check(f"outcome: {name}", tt.outcome(ET.fromstring(xml)), want)

PASS, SKIP = (True, "passed"), (False, "not run here: guest")
TABLES = [
    ("every suite somewhere", [("native", "e2e", *PASS), ("win32", "e2e", *SKIP),
                               ("win64", "e2e", *PASS), ("win32", "unit", *PASS)],
     [("e2e", "native", "passed"), ("e2e", "win32", "not run here: guest"),
      ("e2e", "win64", "passed"), ("unit", "win32", "passed"),
      ("unit", "win64", "not run here: not in this build")], []),
    ("a Windows suite that ran nowhere", [("native", "hostile", *PASS),
                                          ("win32", "hostile", *SKIP),
                                          ("win64", "hostile", *SKIP), ("win32", "unit", *PASS),
                                          ("win64", "unit", *PASS)],
     [("hostile", "native", "passed"), ("hostile", "win32", "not run here: guest"),
      ("hostile", "win64", "not run here: guest"), ("unit", "win32", "passed"),
      ("unit", "win64", "passed")], ["hostile ran on no Windows build"]),
    ("the shipped build ran nothing", [("win32", "e2e", *SKIP), ("win64", "e2e", *PASS)],
     [("e2e", "win32", "not run here: guest"), ("e2e", "win64", "passed")],
     ["the shipped win32 build ran no suite"]),
    ("a failure still counts as run", [("win32", "e2e", True, "FAILED"), ("win64", "e2e", *SKIP)],
     [("e2e", "win32", "FAILED"), ("e2e", "win64", "not run here: guest")], []),
]
for name, given, rows, problems in TABLES:
    got_rows, got_problems = tt.table(given, ["win32", "win64"], "win32")
    check(f"table: {name}: rows", got_rows, rows)
    check(f"table: {name}: problems", got_problems, problems)

sys.exit(summary())
