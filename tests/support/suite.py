"""What every Python suite shares: counted checks, cases left out, the count line, and the
runner the launcher says the program under test runs with."""
import os
import shutil
import sys
import tempfile
from contextlib import contextmanager

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if TOP not in sys.path:
    sys.path.insert(0, TOP)
from harness import table, where

# A value's repr shown in a failure is cut here: a listing or a whole output stays readable.
SHOWN = 600

results = {"passed": 0, "failed": 0, "skipped": 0}


def check(name, got, want, quiet=False):
    """Counts and prints one comparison (`quiet`: a failure only); returns whether it held."""
    ok = got == want
    results["passed" if ok else "failed"] += 1
    if not ok:
        print(f"FAIL {name}:\n  got  {repr(got)[:SHOWN]}\n  want {repr(want)[:SHOWN]}")
    elif not quiet:
        print(f"ok   {name}")
    return ok


def leave_out(name, reason):
    """A case this runner cannot hold: said, counted as skipped, never passed."""
    results["skipped"] += 1
    print(f"skip {name}: not run here: {reason}")


def not_run_here(reason):
    """Says why the whole suite does not run here and exits with CTest's skip status."""
    print(f"not run here: {reason}")
    sys.exit(where.NOT_RUN)


def summary():
    """Prints the count line; returns the suite's exit status."""
    print(table.count_line(results["passed"], results["failed"], results["skipped"]))
    return 1 if results["failed"] else 0


def run_main(main):
    """Runs the suite's main(), prints the count line and exits with the suite's status."""
    main()
    sys.exit(summary())


@contextmanager
def work_folder(prefix, mode=0o700):
    """Yields a new temporary folder of that mode, removed afterwards."""
    work = tempfile.mkdtemp(prefix=prefix)
    os.chmod(work, mode)
    try:
        yield work
    finally:
        shutil.rmtree(work)


def runner():
    """How the program under test runs (native, wine32, wine64 or guest), as the launcher says."""
    return os.environ.get("TAMBER_RUNNER") or "native"


def requires(need):
    """Why a case needing `need` cannot run with this runner, or None."""
    return where.lacks(runner(), need)


def runs(name, *needs, host=None):
    """Whether the case `name` runs here: it needs `needs` of the runner and no reason `host`
    (from where.host_lacks) against this host. One that cannot is left out: said, counted."""
    reason = next(filter(None, (requires(n) for n in needs)), None) or host
    if reason:
        leave_out(name, reason)
    return not reason
