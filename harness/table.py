#!/usr/bin/python3
"""What ran where: a table of each suite in each build from CTest's JUnit files, and whether
the run may pass on it.

Usage: harness/table.py [--windows B,B...] [--shipped B] BUILD=JUNIT.xml [BUILD=JUNIT.xml ...]

A build may be named more than once (a Windows build's program and unit trees). Under the
table, after a blank line, every case left out, per suite and build, with its reason. Exits 1
when a Windows suite ran on no Windows build, or when the shipped build ran no suite at all: a
green run must not hide that the program users get was never tested; and when a suite's own
count of cases skipped differs from the cases it names left out.
"""
import collections
import re
import sys
import xml.etree.ElementTree as ET

# A suite's own count line: "12 passed, 0 failed, 1 skipped" (cases it could not hold here).
COUNTS = re.compile(r"^(\d+) passed, (\d+) failed(?:, (\d+) skipped)?$", re.M)
# GoogleTest's own: "[  SKIPPED ] 1 test, listed below:" (only when a case was skipped).
GTEST_SKIPPED = re.compile(r"^\[  SKIPPED \] (\d+) tests?, listed below:$", re.M)
NOT_RUN = re.compile(r"^not run here: (.*)$", re.M)
# A case left out, in a Python suite or a GoogleTest binary alike: "skip NAME: not run here: WHY".
LEFT_OUT = re.compile(r"^skip (.+?): not run here: (.*)$", re.M)


# One suite's run in one build: whether it ran, the table's text, the cases it left out
# [(name, reason)], and what its output says that cannot be (None: nothing).
Outcome = collections.namedtuple("Outcome", "ran text left problem", defaults=((), None))


def count_line(passed, failed, skipped=0):
    """The count line a suite ends with, as COUNTS reads it back; skipped shown when any."""
    line = f"{passed} passed, {failed} failed"
    return f"{line}, {skipped} skipped" if skipped else line


def outcome(case):
    """The Outcome of one JUnit testcase element. Cases left out are counted from their skip
    lines; the suite's own count of them (its count line, or GoogleTest's) must agree."""
    out = (case.findtext("system-out") or "").replace("\r\n", "\n")
    if case.get("status") == "notrun" or case.find("skipped") is not None:
        said = NOT_RUN.findall(out)
        return Outcome(False, "not run here: " + (said[-1] if said else
                                                  case.find("skipped").get("message", "skipped")))
    failed = case.get("status") == "fail" or case.find("failure") is not None
    left = LEFT_OUT.findall(out)
    counts, gtest = COUNTS.findall(out), GTEST_SKIPPED.findall(out)
    counted = int(counts[-1][2] or 0) if counts else int(gtest[-1]) if gtest else len(left)
    problem = None
    if counted != len(left):
        problem = f"its output counts {counted} skipped but names {len(left)} left out"
    text = "FAILED" if failed else "passed"
    if left:
        text += f", {len(left)} case{'s' if len(left) > 1 else ''} left out"
    return Outcome(True, text, left, problem)


def table(results, windows, shipped):
    """`results`: [(build, suite, Outcome)]. Returns (rows, left, problems): rows of (suite,
    build, text) with every Windows suite on every Windows build, the cases left out as
    (suite, build, name, reason), and the rules' failures."""
    found = {(build, suite): result for build, suite, result in results}
    builds = list(dict.fromkeys(build for build, _, _ in results))
    builds += [b for b in windows if b not in builds]
    suites = list(dict.fromkeys(suite for _, suite, _ in results))
    rows, left, problems = [], [], []
    for suite in suites:
        on_windows = any((b, suite) in found for b in windows)
        for build in builds:
            if (build, suite) in found:
                result = found[build, suite]
                rows.append((suite, build, result.text))
                left += [(suite, build, name, reason) for name, reason in result.left]
                if result.problem:
                    problems.append(f"{suite} on {build}: {result.problem}")
            elif on_windows and build in windows:
                rows.append((suite, build, "not run here: not in this build"))
        if on_windows and not any(found[b, suite].ran for b in windows if (b, suite) in found):
            problems.append(f"{suite} ran on no Windows build")
    if shipped and not any(result.ran for build, _, result in results if build == shipped):
        problems.append(f"the shipped {shipped} build ran no suite")
    return rows, left, problems


def read(build, path):
    root = ET.parse(path).getroot()
    return [(build, case.get("name"), outcome(case)) for case in root.iter("testcase")]


def main():
    args, windows, shipped = sys.argv[1:], [], None
    while args[:1] in (["--windows"], ["--shipped"]):
        if args[0] == "--windows":
            windows = args[1].split(",")
        else:
            shipped = args[1]
        args = args[2:]
    if not args or not all("=" in a for a in args):
        sys.exit(__doc__)
    results = [r for a in args for r in read(*a.split("=", 1))]
    rows, left, problems = table(results, windows, shipped)
    width = max((len(suite) for suite, _, _ in rows), default=5)
    build_width = max((len(build) for _, build, _ in rows), default=5)
    print(f"{'suite':{width}}  {'build':{build_width}}  result")
    for suite, build, text in rows:
        print(f"{suite:{width}}  {build:{build_width}}  {text}")
    if left:
        # Every case left out, with its reason: what "N cases left out" above stands for.
        print(f"\n{'suite':{width}}  {'build':{build_width}}  case left out: reason")
        for suite, build, name, reason in left:
            print(f"{suite:{width}}  {build:{build_width}}  {name}: {reason}")
    for problem in problems:
        print(f"FAILED: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
