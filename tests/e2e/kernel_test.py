#!/usr/bin/python3
"""The end-to-end cases against Linux's own NFS server with its default export, which is
`secure`: its mount daemon refuses calls from source ports of 1024 and above. Run inside
scripts/test-server --kernel --prepare "e2e_test.py --build-tree". Every case asserts the
source ports the server saw, from a capture of the connections on the server's interface.

Privileges: CI runs this as real root. The cases "as a normal user" drop root with setpriv
(DROP_ROOT of support/e2e.py: uid and gid 65534, no groups, no capabilities); the Windows one
also sets net.ipv4.ip_unprivileged_port_start=0 in the test's namespace, which is Windows'
rule: any program may bind any port.

Usage: kernel_test.py [--windows] TAMBERLINE
"""
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from capture import SynCapture
from e2e import (DROP_ROOT, USER, Tool, check_listing, check_ports, contents, program,
                 server, test_copies, test_failures, test_listings, test_terminal)
from suite import check, run_main, runner, work_folder
from harness import windows

SERVER, _, ROOT, INTERFACE = server()

DENIED = (1, b"", b"error: mountd rejected export with status EACCES\n")


def as_root(tool, who, work):
    groups = [("listings", lambda: test_listings(tool)),
              ("terminal", lambda: test_terminal(tool)),
              ("copies", lambda: test_copies(tool, work)),
              ("failures", lambda: test_failures(tool, work))]
    for name, run in groups:
        with SynCapture(SERVER, INTERFACE) as capture:
            run()
            # Several runs: one may start on the port where the one before it ended.
            check_ports(f"{who}, {name}", capture, reserved=True, one_run=False)


def native_as_user(exe, work):
    """Without the capability the tool falls back to ordinary ports, which the export refuses."""
    tool = Tool.as_user(exe, False, work)
    local = os.path.join(work, "never-created")
    with SynCapture(SERVER, INTERFACE) as capture:
        check("ls as a normal user", tool.ls("/"), DENIED)
        check("get as a normal user", tool.get("/README.TXT", local), DENIED)
        check_ports("native as a normal user", capture, reserved=False, one_run=False)
    check("the refused get creates no local file", os.path.exists(local), False)


def wine_as_user(exe, work):
    """Windows lets any program bind a reserved port: so does the namespace here. The user's
    runs have a wine session of their own, whose prefix the user owns (wine takes no other)."""
    rule = "net.ipv4.ip_unprivileged_port_start"
    before = subprocess.run(["sysctl", "-n", rule], capture_output=True, text=True,
                            check=True).stdout.strip()
    subprocess.run(["sysctl", "-q", "-w", f"{rule}=0"], check=True)
    try:
        with windows.wine_session(runner(), work, wrap=DROP_ROOT, owner=USER) as settings:
            tool = Tool.as_user(exe, True, work, env=[f"{k}={v}" for k, v in settings.items()])
            with SynCapture(SERVER, INTERFACE) as capture:
                check_listing(tool, "wine as a normal user: ls /", "/", ROOT)
                local = os.path.join(settings["HOME"], "random.bin")
                code, out, err = tool.get("/random.bin", tool.local_name(local))
                want = contents(os.path.join(ROOT, "random.bin"))
                check("wine as a normal user: get", (code, out, err),
                      (0, f"wrote {len(want)} bytes\n".encode(), b""))
                check("wine as a normal user: get: bytes", contents(local) == want, True)
                check_ports("wine as a normal user", capture, reserved=True, one_run=False)
    finally:
        subprocess.run(["sysctl", "-q", "-w", f"{rule}={before}"], check=True)


def main():
    exe, wine = program()

    with work_folder("tamber-kernel-", 0o755) as work:
        if wine:
            # The launcher's session already keeps root's wineserver and wine's helpers alive.
            as_root(Tool(exe, True), "wine as root", work)
            wine_as_user(exe, work)
        else:
            as_root(Tool(exe, False), "native as root", work)
            native_as_user(exe, work)


if __name__ == "__main__":
    run_main(main)
