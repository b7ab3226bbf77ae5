"""python3 -m harness.guests.win32_runner: the 32-bit wine guest by hand.

Usage:
  image
      prints the guest's cache folder, building it on first use (as root; minutes)
  run [--share DIR] [--addr HOST_IP/GUEST_IP] -- CMD [ARGS...]
      as root, in the current network namespace: a tap device (host side HOST_IP/24, guest
      GUEST_IP/24; without --addr the guest has no address), the restored guest with DIR
      (default: a new temporary folder) mounted at the same path inside, then CMD with
      TAMBER_WINDOWS_GUEST set; exits with CMD's status. Needs the image built (`image`).
  exec [--timeout SECONDS] EXE [ARGS...]
      runs EXE under wine in the guest named by TAMBER_WINDOWS_GUEST (without it: in a
      one-off guest in a network namespace of its own); stdout, stderr and the exit status
      are the program's, stdin is passed when it is a file or a pipe; LANG, LC_*, TAMBER_*
      and WINE* (WINEDEBUG default -all) are passed. Default limit 600 s (then status 124).

Environment: TAMBER_GUEST_KEEP=1 keeps the guest of `run` after CMD, for debugging.
"""
import os
import signal
import subprocess
import sys
import tempfile

from harness.guests import win32_runner
from harness.guests.win32_runner import channel


def usage():
    sys.stderr.write(__doc__)
    sys.exit(2)


def options(args, names):
    """({name: value} of the leading --NAME VALUE options among `names`, the rest)."""
    found = {}
    while args and args[0] in names and len(args) >= 2:
        found[args[0]] = args[1]
        args = args[2:]
    if args and args[0] == "--":
        args = args[1:]
    elif args and args[0].startswith("-"):
        usage()
    return found, args


def run(args):
    opts, cmd = options(args, ("--share", "--addr"))
    if not cmd:
        usage()
    addr = opts.get("--addr")
    if addr and (addr.count("/") != 1 or "" in addr.split("/")):
        usage()
    if os.getuid() != 0:
        raise SystemExit("win32_runner: error: run needs root (a tap device)")
    child = None

    def forward(signum, _):
        if child:
            child.send_signal(signum)
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGINT, forward)
    signal.signal(signal.SIGTERM, forward)
    with tempfile.TemporaryDirectory(prefix="tamber-share.") as made:
        share = opts.get("--share") or made
        if not os.path.isdir(share):
            raise SystemExit(f"win32_runner: error: no folder {share}")
        with win32_runner.session(share, addr) as ctl:
            child = subprocess.Popen(cmd, env=dict(os.environ, TAMBER_WINDOWS_GUEST=ctl))
            status = child.wait()
            child = None
            if os.environ.get("TAMBER_GUEST_KEEP") == "1":
                qemu = win32_runner.machine_of(ctl)
                print(f"win32_runner: the guest runs on (qemu {qemu.pid}); reach it with "
                      f"TAMBER_WINDOWS_GUEST={ctl} python3 -m harness.guests.win32_runner exec"
                      f" EXE, its console is {ctl}/console.log; stop it with kill "
                      f"{os.getpid()}", file=sys.stderr)
                qemu.wait()
    return status if status >= 0 else 128 - status


def exec_(args):
    opts, rest = options(args, ("--timeout",))
    if not rest:
        usage()
    limit = float(opts.get("--timeout", 600))
    if not os.path.isfile(rest[0]):
        raise SystemExit(f"win32_runner: error: no file {rest[0]}")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    ctl = os.environ.get("TAMBER_WINDOWS_GUEST")
    if not ctl:
        return win32_runner.run_once(rest[0], rest[1:], limit)
    return win32_runner.exec_program(ctl, rest[0], rest[1:], limit)


def main():
    args = sys.argv[1:]
    try:
        if args == ["image"]:
            print(win32_runner.image())
            return 0
        if args and args[0] == "run":
            return run(args[1:])
        if args and args[0] == "exec":
            return exec_(args[1:])
    except (channel.Fail, OSError) as e:
        sys.stderr.write(f"win32_runner: error: {e}\n")
        return 125
    usage()


if __name__ == "__main__":
    sys.exit(main())
