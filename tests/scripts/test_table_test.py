#!/usr/bin/python3
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


def junit(out, status="run", inner=""):
    """A testcase as CTest's JUnit file holds it, with the suite's output."""
    return f'<testcase name="s" status="{status}">{inner}<system-out>{out}</system-out></testcase>'


GTEST = "skip R.Huge: not run here: no fork\n[  SKIPPED ] 1 test, listed below:\n"
OUTCOMES = [
    ("a pass", junit("9 passed, 0 failed\n"), (True, "passed", [], None)),
    ("cases left out, as the last count line says", junit(
        "1 passed, 0 failed, 0 skipped\nskip a: not run here: no tmux\n"
        "skip b: c: not run here: no console\n40 passed, 0 failed, 2 skipped\n"),
     (True, "passed, 2 cases left out", [("a", "no tmux"), ("b: c", "no console")], None)),
    ("a GoogleTest case left out, with Windows' line ends",
     junit(GTEST.replace("\n", "&#13;&#10;")),
     (True, "passed, 1 case left out", [("R.Huge", "no fork")], None)),
    ("a GoogleTest skip not said", junit(GTEST.split("\n", 1)[1]),
     (True, "passed", [], "its output counts 1 skipped but names 0 left out")),
    ("a skip line not counted", junit("skip a: not run here: no tmux\n3 passed, 0 failed\n"),
     (True, "passed, 1 case left out", [("a", "no tmux")],
      "its output counts 0 skipped but names 1 left out")),
    ("a failure", junit("3 passed, 1 failed\n", "fail", '<failure message=""/>'),
     (True, "FAILED", [], None)),
    ("a skip with its reason", junit("not run here: no room\n", "notrun",
                                     '<skipped message="SKIP_RETURN_CODE=77"/>'),
     (False, "not run here: no room", (), None)),
    ("a skip without one", junit("", "notrun", '<skipped message="Disabled"/>'),
     (False, "not run here: Disabled", (), None)),
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
