#!/usr/bin/env python3
"""The real binary against a real NFS server: run inside scripts/test-server, which exports
TAMBER_EXPORT_DIR as TAMBER_EXPORT on TAMBER_SERVER.

Usage: e2e_test.py [--windows] TAMBERLINE
       e2e_test.py --build-tree   (fills TAMBER_EXPORT_DIR only: a --prepare for test-server)
"""
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from e2e import (Tool, build_tree, server, test_copies, test_failures, test_listings,
                 test_terminal)
from suite import run_main, work_folder


def main():
    args = sys.argv[1:]
    rng = random.Random(20261208)
    root = server().root
    if args == ["--build-tree"]:
        build_tree(rng, root)
        sys.exit(0)  # a --prepare step: no checks, so no count line
    wine = args[0] == "--windows"
    tool = Tool(args[-1], wine)
    if not os.path.exists(os.path.join(root, "README.TXT")):
        build_tree(rng, root)

    with work_folder("tamber-e2e-") as work:
        test_listings(tool)
        test_terminal(tool)
        test_copies(tool, work)
        test_failures(tool, work)


if __name__ == "__main__":
    run_main(main)
