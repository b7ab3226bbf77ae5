#!/usr/bin/python3
"""The real binary against a real NFS server: run inside scripts/test-server, which exports
TAMBER_EXPORT_DIR as TAMBER_EXPORT on TAMBER_SERVER.

Usage: e2e_test.py [--windows] TAMBERLINE
       e2e_test.py --build-tree   (fills TAMBER_EXPORT_DIR only: a --prepare for test-server)
"""
import os
import random
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from e2e import (Tool, build_tree, program, server, test_copies, test_failures,
                 test_listings, test_terminal)
from suite import run_main, work_folder


def main():
    rng = random.Random(20261208)
    root = server().root
    if sys.argv[1:] == ["--build-tree"]:
        build_tree(rng, root)
        sys.exit(0)  # a --prepare step: no checks, so no count line
    tool = Tool(*program())
    if not os.path.exists(os.path.join(root, "README.TXT")):
        build_tree(rng, root)

    with work_folder("tamber-e2e-") as work:
        test_listings(tool)
        test_terminal(tool)
        test_copies(tool, work)
        test_failures(tool, work)


if __name__ == "__main__":
    run_main(main)
