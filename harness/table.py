#!/usr/bin/python3
"""What ran where: a table of each suite in each build from CTest's JUnit files, and whether
the run may pass on it.

Usage: harness/table.py [--windows B,B...] [--shipped B] BUILD=JUNIT.xml [BUILD=JUNIT.xml ...]

A build may be named more than once (a Windows build's program and unit trees). Exits 1 when
a Windows suite ran on no Windows build, or when the shipped build ran no suite at all: a
green run must not hide that the program users get was never tested.
"""
import re
import sys
import xml.etree.ElementTree as ET

# A suite's own count line: "12 passed, 0 failed, 1 skipped" (cases it could not hold here).
COUNTS = re.compile(r"^(\d+) passed, (\d+) failed(?:, (\d+) skipped)?$", re.M)
NOT_RUN = re.compile(r"^not run here: (.*)$", re.M)


def count_line(passed, failed, skipped=0):
    """The count line a suite ends with, as COUNTS reads it back; skipped shown when any."""
    line = f"{passed} passed, {failed} failed"
    return f"{line}, {skipped} skipped" if skipped else line


def outcome(case):
    """(ran, text) for one JUnit testcase element."""
    out = case.findtext("system-out") or ""
    if case.get("status") == "notrun" or case.find("skipped") is not None:
        said = NOT_RUN.findall(out)
        return False, "not run here: " + (said[-1] if said else
                                          case.find("skipped").get("message", "skipped"))
    if case.get("status") == "fail" or case.find("failure") is not None:
        return True, "FAILED"
    counts = COUNTS.findall(out)
    left_out = int(counts[-1][2] or 0) if counts else 0
    if not left_out:
        return True, "passed"
    return True, f"passed, {left_out} case{'s' if left_out > 1 else ''} left out"


def table(results, windows, shipped):
    """`results`: [(build, suite, ran, text)]. Returns (rows, problems): rows of (suite,
    build, text) with every Windows suite on every Windows build, and the rule's failures."""
    found = {(build, suite): (ran, text) for build, suite, ran, text in results}
    builds = list(dict.fromkeys(build for build, _, _, _ in results))
    builds += [b for b in windows if b not in builds]
    suites = list(dict.fromkeys(suite for _, suite, _, _ in results))
    rows, problems = [], []
    for suite in suites:
        on_windows = any((b, suite) in found for b in windows)
        for build in builds:
            if (build, suite) in found:
                rows.append((suite, build, found[build, suite][1]))
            elif on_windows and build in windows:
                rows.append((suite, build, "not run here: not in this build"))
        if on_windows and not any(found.get((b, suite), (False,))[0] for b in windows):
            problems.append(f"{suite} ran on no Windows build")
    if shipped and not any(ran for build, _, ran, _ in results if build == shipped):
        problems.append(f"the shipped {shipped} build ran no suite")
    return rows, problems


def read(build, path):
    root = ET.parse(path).getroot()
    return [(build, case.get("name"), *outcome(case)) for case in root.iter("testcase")]


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
    rows, problems = table(results, windows, shipped)
    width = max((len(suite) for suite, _, _ in rows), default=5)
    build_width = max((len(build) for _, build, _ in rows), default=5)
    print(f"{'suite':{width}}  {'build':{build_width}}  result")
    for suite, build, text in rows:
        print(f"{suite:{width}}  {build:{build_width}}  {text}")
    for problem in problems:
        print(f"FAILED: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
