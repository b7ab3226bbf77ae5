"""What the scripts' tests share: a script of scripts/ loaded as a module, and counted checks."""
import importlib.machinery
import importlib.util
import os

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
results = {"passed": 0, "failed": 0}


def load(name):
    """scripts/NAME, which has no .py suffix, as a module."""
    loader = importlib.machinery.SourceFileLoader(name.replace("-", "_"),
                                                  os.path.join(SCRIPTS, name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module


def check(name, got, want):
    ok = got == want
    results["passed" if ok else "failed"] += 1
    print(f"ok   {name}" if ok else f"FAIL {name}:\n  got  {got!r}\n  want {want!r}")


def summary():
    """Prints the count line; returns the exit status."""
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0
