"""What the scripts' tests share: a script of scripts/ loaded as a module, and the suites'
counted checks (the project's top folder is on sys.path after this import)."""
import importlib.machinery
import importlib.util
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from suite import TOP, check, summary  # noqa: E402

__all__ = ["SCRIPTS", "TOP", "check", "load", "summary"]

SCRIPTS = os.path.join(TOP, "scripts")


def load(name):
    """scripts/NAME, which has no .py suffix, as a module."""
    loader = importlib.machinery.SourceFileLoader(name.replace("-", "_"),
                                                  os.path.join(SCRIPTS, name))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader(loader.name, loader))
    loader.exec_module(module)
    return module
