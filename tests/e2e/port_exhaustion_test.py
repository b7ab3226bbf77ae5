#!/usr/bin/python3
"""One connection per call, thousands of calls: run inside scripts/test-server, whose network
namespace makes the port range and the TIME_WAIT reuse setting ours to change.

From ordinary ports, a copy that needs several times more connections than the client has
local ports must still succeed and leave no connection waiting in TIME_WAIT. From reserved
ports, the same copy cycles the range several times: an address pair coming back must not
stall it against the ordinary run.

The ordinary-port run drops the right to bind reserved ports: natively as the normal user
(setpriv, as in DROP_ROOT of support/e2e.py); under wine, whose server does the binding and
must own its prefix, as root without CAP_NET_BIND_SERVICE, in a wine session of its own whose
wineserver starts that way.

Usage: port_exhaustion_test.py [--windows] TAMBERLINE
"""
import os
import subprocess
import sys
import time
from contextlib import contextmanager

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from capture import SynCapture
from e2e import (RESERVED_PORTS, Tool, check_ports, contents, program, readable,
                 server)
from suite import check, run_main, runner, work_folder
from harness import windows

SERVER, _, ROOT, INTERFACE = server()

ORDINARY_PORTS = range(50000, 50500)
SIZE = 64 * 1024 * 1024  # 2048 READs of 32 KiB: four times the 500 ordinary ports
NO_BIND_RIGHT = ["setpriv", "--inh-caps=-net_bind_service", "--bounding-set=-net_bind_service"]


def sysctl(name, value):
    subprocess.run(["sysctl", "-q", "-w", f"{name}={value}"], check=True)


def waiting_in(ports):
    """The connections from `ports` in TIME_WAIT, local and peer address each."""
    out = subprocess.run(["ss", "-Htan", "state", "time-wait",
                          f"( sport >= :{ports.start} and sport <= :{ports.stop - 1} )"],
                         capture_output=True, text=True, check=True).stdout
    return {tuple(line.split()[-2:]) for line in out.splitlines()}


def copy(name, tool, local, reserved):
    """Copies the big file; returns the wall time and the source ports the server saw, and
    checks that it left no connection in TIME_WAIT."""
    ports_used = RESERVED_PORTS if reserved else ORDINARY_PORTS
    # The server's start-up checks leave connections of their own from reserved ports.
    waiting_before = waiting_in(ports_used)
    with SynCapture(SERVER, INTERFACE) as capture:
        start = time.monotonic()
        code, out, err = tool.get("/big.bin", tool.local_name(local))
        seconds = time.monotonic() - start
        ports = check_ports(name, capture, reserved)
    check(name, (code, out, err), (0, f"wrote {SIZE} bytes\n".encode(), b""))
    check(f"{name}: the copy is byte-identical",
          contents(local) == contents(os.path.join(ROOT, "big.bin")), True)
    check(f"{name}: no connection left in TIME_WAIT", waiting_in(ports_used) - waiting_before,
          set())
    print(f"     {name}: {seconds:.2f} s")
    return seconds, ports


@contextmanager
def without_bind_right(exe, wine, work):
    """The tool without the right to bind reserved ports."""
    if not wine:
        yield Tool.as_user(exe, False, work)
        return
    with windows.wine_session(runner(), work, wrap=NO_BIND_RIGHT) as settings:
        yield Tool(exe, True, runner=[*NO_BIND_RIGHT, "env",
                                      *(f"{k}={v}" for k, v in settings.items())])


def main():
    exe, wine = program()
    sysctl("net.ipv4.ip_local_port_range", f"{ORDINARY_PORTS.start} {ORDINARY_PORTS.stop - 1}")
    sysctl("net.ipv4.tcp_tw_reuse", 0)
    with open("/dev/urandom", "rb") as random_bytes:
        readable(os.path.join(ROOT, "big.bin"), random_bytes.read(SIZE))

    with work_folder("tamber-ports-", 0o1777) as work:
        with without_bind_right(exe, wine, work) as ordinary:
            name = f"get of 2048 READs through {len(ORDINARY_PORTS)} ordinary local ports"
            ordinary_s, ports = copy(name, ordinary, os.path.join(work, "ordinary.bin"), False)
        check("ordinary ports come from the namespace's range",
              all(p in ORDINARY_PORTS for p in ports), True)

        range_size = len(RESERVED_PORTS) - 15  # less the ports of well-known services
        reserved_s, ports = copy("get of 2048 READs from reserved ports", Tool(exe, wine),
                                 os.path.join(work, "reserved.bin"), True)
        check("the reserved range was cycled at least twice", len(ports) > 2 * range_size, True)
        # A pair coming back would cost a SYN retransmission (a second) or a time-out each time;
        # the bound leaves room for a loaded machine.
        check("reserved ports cost no stall against ordinary ones",
              reserved_s < 2 * ordinary_s + 5, True)


if __name__ == "__main__":
    run_main(main)
