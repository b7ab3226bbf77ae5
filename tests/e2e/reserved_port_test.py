#!/usr/bin/python3
"""The real binary against a server that takes calls only from reserved ports (below 1024), as
many servers do by default: run inside scripts/test-server --privileged-port.

As root the tool binds reserved ports and is served. A normal user without the right to bind
them (root dropped with setpriv; on Windows every user has it) connects from ordinary ports:
this server's portmapper and mount daemon still answer, its NFS server refuses the first call,
and the tool says so in one line. Every case asserts the source ports the server saw.

Usage: reserved_port_test.py [--windows] TAMBERLINE
"""
import os
import random
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from capture import SynCapture
from e2e import Tool, check_listing, check_ports, contents, program, readable, server
from suite import check, run_main, runs, work_folder
from usage import USAGE

SERVER, EXPORT, ROOT, INTERFACE = server()

BIG = 64 * 1024 * 1024


def as_root(tool, work):
    with SynCapture(SERVER, INTERFACE) as capture:
        check_listing(tool, "ls as root", "/", ROOT)
        local = os.path.join(work, "README.TXT")
        check("get as root", tool.get("/README.TXT", tool.local_name(local)),
              (0, b"wrote 22 bytes\n", b""))
        check("get as root: bytes", contents(local), contents(os.path.join(ROOT, "README.TXT")))
        check_ports("as root", capture, reserved=True)


def two_at_once(tool, work):
    """Two runs at once start apart and step around each other's ports."""
    want = contents(os.path.join(ROOT, "big.bin"))
    locals_ = [os.path.join(work, f"big-{i}.bin") for i in range(2)]
    with SynCapture(SERVER, INTERFACE) as capture:
        runs = [subprocess.Popen(tool.prefix + ["get", SERVER, EXPORT, "/big.bin",
                                                tool.local_name(local)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 stdin=subprocess.DEVNULL) for local in locals_]
        outcomes = [(run.wait(timeout=600), run.stdout.read().replace(b"\r\n", b"\n"),
                     run.stderr.read()) for run in runs]
        check_ports("two gets at once", capture, reserved=True, one_run=False)
    for i, (outcome, local) in enumerate(zip(outcomes, locals_)):
        check(f"two gets at once: get {i}", outcome, (0, f"wrote {BIG} bytes\n".encode(), b""))
        check(f"two gets at once: get {i}: bytes", contents(local) == want, True)


def as_user(exe, work):
    tool = Tool.as_user(exe, False, work)
    denied = (1, b"", b"error: RPC message denied\n")
    local = os.path.join(work, "never-created")
    with SynCapture(SERVER, INTERFACE) as capture:
        check("ls as a normal user is refused", tool.ls("/"), denied)
        check("get as a normal user is refused", tool.get("/README.TXT", local), denied)
        # The portmapper and the mount daemon do answer under this setting: the export mounts
        # (a get without a local file stops at the usage text only after that), and an
        # unknown export is refused by the mount daemon with its own status.
        check("the export still mounts", tool.run("get", SERVER, EXPORT, "/README.TXT"),
              (2, b"", USAGE))
        check("the mount daemon still answers", tool.run("ls", SERVER, "/not/exported", "/"),
              (1, b"", b"error: mountd rejected export with status EACCES\n"))
        check_ports("as a normal user", capture, reserved=False)
    check("the refused get creates no local file", os.path.exists(local), False)


def main():
    exe, wine = program()
    readable(os.path.join(ROOT, "README.TXT"), b"hello from the server\n")
    readable(os.path.join(ROOT, "big.bin"), random.Random(14).randbytes(BIG))
    tool = Tool(exe, wine)

    with work_folder("tamber-reserved-", 0o1777) as work:
        as_root(tool, work)
        two_at_once(tool, work)
        if runs("as a normal user", "normal user"):
            as_user(exe, work)


if __name__ == "__main__":
    run_main(main)
