#!/usr/bin/env python3
"""harness/table.py: each JUnit outcome read right, its cases left out counted from their skip
lines and held against the suite's own count, every Windows suite shown on every Windows build,
a run that tested a Windows suite nowhere, or the shipped build not at all, refused, and the
count line a suite writes read back as written."""
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

SKIP_NOTE = "skip RpcClient.Huge: not run here: no fork\n"
GTEST_SKIP = "[  SKIPPED ] 1 test, listed below:\n[  SKIPPED ] RpcClient.Huge\n"
PY_SKIPS = "skip a: not run here: no console\nskip b: c: not run here: no tmux\n"
OUTCOMES = [
    ("a pass", '<testcase name="e2e" status="run"><system-out>9 passed, 0 failed\n'
     '</system-out></testcase>', (True, "passed", [], None)),
    ("cases left out, as the last count line says", '<testcase name="e2e" status="run">'
     f'<system-out>1 passed, 0 failed, 0 skipped\n{PY_SKIPS}40 passed, 0 failed, 2 skipped\n'
     '</system-out></testcase>', (True, "passed, 2 cases left out",
                                  [("a", "no console"), ("b: c", "no tmux")], None)),
    ("a GoogleTest case left out, with Windows' line ends", '<testcase name="unit" '
     f'status="run"><system-out>{(SKIP_NOTE + GTEST_SKIP).replace(chr(10), "&#13;&#10;")}'
     '</system-out></testcase>', (True, "passed, 1 case left out", [("RpcClient.Huge",
                                                                     "no fork")], None)),
    ("a GoogleTest skip not said", f'<testcase name="unit" status="run"><system-out>{GTEST_SKIP}'
     '</system-out></testcase>', (True, "passed", [],
                                  "its output counts 1 skipped but names 0 left out")),
    ("a skip line not counted", '<testcase name="e2e" status="run"><system-out>'
     f'{SKIP_NOTE}3 passed, 0 failed\n</system-out></testcase>',
     (True, "passed, 1 case left out", [("RpcClient.Huge", "no fork")],
      "its output counts 0 skipped but names 1 left out")),
    ("a failure", '<testcase name="e2e" status="fail"><failure message=""/><system-out>3 passed, '
     '1 failed, 0 skipped</system-out></testcase>', (True, "FAILED", [], None)),
    ("a skip with its reason", '<testcase name="hostile" status="notrun"><skipped message='
     '"SKIP_RETURN_CODE=77"/><system-out>not run here: no room\n</system-out></testcase>',
     (False, "not run here: no room", (), None)),
    ("a skip without one", '<testcase name="hostile" status="notrun"><skipped message="Disabled"/>'
     '</testcase>', (False, "not run here: Disabled", (), None)),
]
for name, xml, want in OUTCOMES:
    check(f"outcome: {name}", tt.outcome(ET.fromstring(xml)), want)

PASS, SKIP = tt.Outcome(True, "passed"), tt.Outcome(False, "not run here: guest")
LEFT = tt.Outcome(True, "passed, 1 case left out", [("ls on a console", "no console")])
WRONG = tt.Outcome(True, "passed", [], "its output counts 1 skipped but names 0 left out")
TABLES = [
    ("every suite somewhere, a case left out", [("native", "e2e", PASS), ("win32", "e2e", LEFT),
                                                ("win64", "e2e", PASS), ("win32", "unit", PASS)],
     [("e2e", "native", "passed"), ("e2e", "win32", "passed, 1 case left out"),
      ("e2e", "win64", "passed"), ("unit", "win32", "passed"),
      ("unit", "win64", "not run here: not in this build")],
     [("e2e", "win32", "ls on a console", "no console")], []),
    ("a Windows suite that ran nowhere", [("native", "hostile", PASS), ("win32", "hostile", SKIP),
                                          ("win64", "hostile", SKIP), ("win32", "unit", PASS),
                                          ("win64", "unit", PASS)],
     [("hostile", "native", "passed"), ("hostile", "win32", "not run here: guest"),
      ("hostile", "win64", "not run here: guest"), ("unit", "win32", "passed"),
      ("unit", "win64", "passed")], [], ["hostile ran on no Windows build"]),
    ("the shipped build ran nothing", [("win32", "e2e", SKIP), ("win64", "e2e", PASS)],
     [("e2e", "win32", "not run here: guest"), ("e2e", "win64", "passed")], [],
     ["the shipped win32 build ran no suite"]),
    ("a failure still counts as run", [("win32", "e2e", tt.Outcome(True, "FAILED")),
                                       ("win64", "e2e", SKIP)],
     [("e2e", "win32", "FAILED"), ("e2e", "win64", "not run here: guest")], [], []),
    ("a count that disagrees", [("win32", "unit", WRONG), ("win64", "unit", PASS)],
     [("unit", "win32", "passed"), ("unit", "win64", "passed")], [],
     ["unit on win32: its output counts 1 skipped but names 0 left out"]),
]
for name, given, rows, left, problems in TABLES:
    check(f"table: {name}", tt.table(given, ["win32", "win64"], "win32"),
          (rows, left, problems))

sys.exit(summary())
