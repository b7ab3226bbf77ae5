"""What runs where: each suite, and each need of a case, against each runner, answered here.

A runner is how the program under test runs: native, wine32, wine64, or guest (the 32-bit
.exe under 32-bit wine in the emulated machine). `suite_reason` and `server_reason` are asked
by the launcher before it starts anything; `lacks` by a suite for a case that needs what a
runner lacks; `host_lacks` for what a case needs of this host. All return None where it runs,
else the reason the table shows after "not run here: ".
"""
import os
import shutil

RUNNERS = ("native", "wine32", "wine64", "guest")
# The exit status of a suite or launch that did not run here (CTest's SKIP_RETURN_CODE).
NOT_RUN = 77

_TWO_GUESTS = ("the kernel server and the 32-bit wine guest would be two guests, with no route "
               "between their taps; the 64-bit build runs this suite")

_SUITES = {
    ("port_exhaustion", "guest"): "the emulated machine's ports are its own, not this "
                                  "namespace's; the 64-bit build runs this suite",
    ("e2e_kernel", "guest"): _TWO_GUESTS,
    # Its program is a 32-bit probe of its own, and what it tests is the emulated machine.
    **{("windows_guest", runner): f"this host runs the 32-bit probe under {runner}, not in the "
                                  "emulated machine" for runner in ("wine32", "wine64")},
}

_SERVERS = {
    ("knfsd", "guest"): _TWO_GUESTS,
}

_UNDER_WINE = ("wine32", "wine64", "guest")
_NEEDS = {
    "console": {"guest": "the emulated machine has no console for tmux"},
    # RLIMIT_AS set here binds wine's own start and address-space reservations too.
    "address-space limit": dict.fromkeys(_UNDER_WINE, "an address-space limit binds wine's "
                                         "own start as well as the program's"),
    # Windows lets every user bind any port; under wine the host's rule would apply instead.
    "normal user": dict.fromkeys(_UNDER_WINE, "Windows lets every user bind reserved ports: "
                                 "a normal user's run is the same as root's"),
    "standard output on a host file": {"guest": "in the emulated machine windows-run relays "
                                                "standard output: the program never writes to "
                                                "the host's file"},
}


def _reason(table, name, runner):
    """Why `name` in `table` does not run with `runner`, or None."""
    if runner not in RUNNERS:
        raise ValueError(f"unknown runner {runner!r}")
    return table.get((name, runner))


def suite_reason(suite, runner):
    """Why `suite` does not run with `runner`, or None."""
    return _reason(_SUITES, suite, runner)


def server_reason(server, runner):
    """Why a run against `server` (None: no server) cannot be held with `runner`, or None."""
    return _reason(_SERVERS, server, runner)


def lacks(runner, need):
    """Why a case that needs `need` does not run with `runner`, or None."""
    if need not in _NEEDS:
        raise ValueError(f"unknown need {need!r}")
    return _NEEDS[need].get(runner)


def host_lacks(tools=(), files=(), root=False, guest_image=False):
    """Why this host cannot hold a case that needs `tools` on PATH, `files`, root, or the
    emulated machine's image built already; None when it can."""
    if root and os.geteuid() != 0:
        return "needs root"
    for tool in tools:
        if shutil.which(tool) is None:
            return f"no {tool} (scripts/deps installs it)"
    for path in files:
        if not os.path.exists(path):
            return f"no {path}"
    if guest_image:
        from harness.guests import win32_runner
        if win32_runner.image(build=False) is None:
            return ("the emulated machine's image is not built "
                    "(python3 -m harness.guests.win32_runner image builds it)")
    return None


def loopback_to_namespace(own_servers, server):
    """Whether the emulated machine's 127.0.0.1 leads to the launch's namespace (over its tap):
    where a server listens there, the launch's (`server`) or the command's own (the launcher's
    --own-servers); else it stays the guest's own, on which the unit suites listen themselves."""
    return bool(server) or own_servers
