#!/usr/bin/env python3
"""The real binary against a server that takes calls only from reserved ports (below 1024),
as many servers do by default: run inside scripts/test-server --privileged-port.

The tool connects from ordinary ports. This server's portmapper and mount daemon still
answer; its NFS server refuses the first call, and the tool says so in one line.

Usage: reserved_port_test.py [--wine] TAMBERLINE
"""
import os
import shutil
import sys
import tempfile

from e2e_test import EXPORT, HERE, ROOT, SERVER, Tool, check, readable, results

sys.path.insert(0, os.path.join(HERE, ".."))
from shell_test import USAGE  # noqa: E402


def main():
    args = sys.argv[1:]
    tool = Tool(args[-1], args[0] == "--wine")
    readable(os.path.join(ROOT, "README.TXT"), b"hello from the server\n")
    work = tempfile.mkdtemp(prefix="tamber-reserved-")
    try:
        denied = (1, b"", b"error: RPC message denied\n")
        check("ls is refused", tool.ls("/"), denied)
        local = os.path.join(work, "never-created")
        check("get is refused", tool.get("/README.TXT", tool.local_name(local)), denied)
        check("the refused get creates no local file", os.path.exists(local), False)
        # The portmapper and the mount daemon do answer under this setting: the export
        # mounts (a get without a local file stops at the usage text only after that), and
        # an unknown export is refused by the mount daemon with its own status.
        check("the export still mounts", tool.run("get", SERVER, EXPORT, "/README.TXT"),
              (2, b"", USAGE))
        check("the mount daemon still answers", tool.run("ls", SERVER, "/not/exported", "/"),
              (1, b"", b"error: mountd rejected export with status EACCES\n"))
    finally:
        shutil.rmtree(work)
    print(f"{results['passed']} passed, {results['failed']} failed")
    return 1 if results["failed"] else 0


if __name__ == "__main__":
    sys.exit(main())
