#!/usr/bin/python3
"""The program shell as a user meets it: arguments, usage text, exit status, start-up failure.

Usage: shell_test.py --version VERSION [--windows] TAMBERLINE TAMBERLINE_FAKE
VERSION is the project's version; the fake build links a scripted platform layer whose
start-up fails on request.
"""
import os
import shlex
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from suite import check, run_main, runs
from harness import windows
from terminal import Tmux
from usage import USAGE

HELD = "This is a command-line program: run it from Command Prompt or PowerShell."
USAGE_LINES = USAGE.decode().splitlines()


def run(prefix, exe, args, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    p = subprocess.run(prefix + [exe] + args, capture_output=True, env=full_env, timeout=60,
                       stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout, p.stderr


def wait_for(tmux, seen, timeout=60):
    """The screen once seen(lines) holds, or the last one after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    shown = tmux.lines()
    while not seen(shown) and time.monotonic() < deadline:
        time.sleep(0.05)
        shown = tmux.lines()
    return shown


def check_console_window(windows_run, real):
    """On wine's console in tmux: started alone, the usage text stays up until a key is pressed;
    started from cmd, which shares its console, the program ends as before."""
    alone = Tmux(f"{shlex.quote(windows_run)} {shlex.quote(real)}")
    try:
        shown = wait_for(alone, lambda lines: HELD in lines)
        check("alone on its console: the usage text and one more line", shown,
              USAGE_LINES + [HELD])
        # Still waiting: the exit line has not come while the screen was read again.
        time.sleep(1)
        check("alone on its console: it waits for a key", alone.lines()[-1], HELD)
        subprocess.run(["tmux", "-L", alone.socket, "send-keys", "x"], check=True)
        shown = alone.wait_for_exit(timeout=30)
        check("alone on its console: a key ends it with status 2", shown[-1:], ["[exit 2]"])
    finally:
        alone.close()
    shared = Tmux(f"{shlex.quote(windows_run)} --wine {shlex.quote(real)} cmd /c "
                  f"{shlex.quote(real)}")
    try:
        shown = shared.wait_for_exit(timeout=60)
        check("from cmd: only the usage text", shown, USAGE_LINES + ["[exit 2]"])
    finally:
        shared.close()


def main():
    args = sys.argv[1:]
    if args[:1] != ["--version"]:
        sys.exit(__doc__)
    version, args = args[1].encode(), args[2:]
    wine = args[0] == "--windows"
    if wine:
        args = args[1:]
    real, fake = args
    prefix = [windows.COMMAND] if wine else []
    # Console output is text mode on Windows: a line end reaches a pipe as CR LF.
    usage = USAGE.replace(b"\n", b"\r\n") if wine else USAGE

    # Too few arguments: the usage text, status 2, nothing on stdout. The server names would
    # fail to resolve, so any attempt at the network would show as an error line instead.
    for argv in ([], ["ls"], ["ls", "server.invalid"], ["get", "server.invalid", "/export"]):
        code, out, err = run(prefix, real, argv)
        check(f"usage for {len(argv)} arguments", (code, out, err), (2, b"", usage))

    # The usage text's first line names the release, so it moves with the project's version.
    code, out, err = run(prefix, real, [])
    check("usage names the project version", err.splitlines()[:1], [b"Tamberline v" + version])

    # A socket library that cannot start: the one error line whatever the arguments.
    for argv in ([], ["ls", "h", "/e", "/"], ["get", "h", "/e", "/f", "out"]):
        code, out, err = run(prefix, fake, argv, {"TAMBER_FAKE_STARTUP_ERROR": "10091"})
        want_err = b"error: WSAStartup failed with error 10091\n"
        if wine:
            want_err = want_err.replace(b"\n", b"\r\n")
        check(f"failed start-up with {len(argv)} arguments", (code, out, err), (1, b"", want_err))

    if wine and runs("the console window cases", "console"):
        check_console_window(windows.COMMAND, real)


if __name__ == "__main__":
    run_main(main)
