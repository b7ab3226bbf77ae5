#!/usr/bin/python3
"""harness.guests.win32_runner's exec, held to running a 32-bit .exe exactly as if it ran
locally: bytes out and in, exit statuses, arguments, concurrent runs, the time limit; and the
guest's clock, set to the host's. Runs in the launcher's session for PROBE (built from
windows_guest_probe.c), whose runner the launcher has found to be the emulated machine.

Usage: windows_guest_test.py PROBE
"""
import os
import random
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from suite import TOP, check, run_main, work_folder
from harness import paths
from harness.guests import win32_runner
from harness.windows import program_path

EXEC = [paths.PYTHON, "-m", "harness.guests.win32_runner", "exec"]
# The module is found from any working directory.
ENV = dict(os.environ, PYTHONPATH=TOP)


def run(exe, args, stdin=b"", timeout=None, cwd=None):
    cmd = EXEC + (["--timeout", str(timeout)] if timeout else []) + [exe] + args
    return subprocess.run(cmd, input=stdin, capture_output=True, cwd=cwd, env=ENV)


def start(exe, *args, **kw):
    return subprocess.Popen(EXEC + [exe, *args], stdin=subprocess.DEVNULL, env=ENV, **kw)


def outputs(exe, share):
    rnd = random.Random(7)
    big = bytes(rnd.getrandbits(8) for _ in range(3 << 20)) + b"\0\r\n\r\nend"
    cases = [
        ("binary, NUL, CR LF, no final newline, 3 MB", big, b"e\0rr\r\nno newline", 0),
        ("status 1", b"one\n", b"", 1),
        ("status 37", b"", b"thirty-seven\r\n", 37),
        ("status 255", b"\xff", b"\0", 255),
    ]
    for name, out, err, status in cases:
        o, e = os.path.join(share, "out"), os.path.join(share, "err")
        with open(o, "wb") as f:
            f.write(out)
        with open(e, "wb") as f:
            f.write(err)
        r = run(exe, ["cat", str(status), program_path(o), program_path(e)])
        check(name, (r.stdout, r.stderr, r.returncode), (out, err, status))

    args = ["héllo wörld ✓", "日本語 text", "a\\b\\\\c", "trailing\\", "", "  two  spaces  "]
    r = run(exe, ["args"] + args)
    check("arguments verbatim (Unicode, spaces, backslashes, empty)",
          (r.stdout.decode(errors="replace"), r.returncode),
          ("".join(a + "\n" for a in args), 0))


def inputs(exe, share):
    data = bytes(range(256)) * 64 + b"\r\nlast"
    r = run(exe, ["stdin"], stdin=data)
    check("stdin passed (a pipe)", (r.stdout, r.returncode), (data, 0))
    with open(os.path.join(share, "in"), "w+b") as f:
        f.write(data[::-1])
        f.seek(0)
        r = subprocess.run(EXEC + [exe, "stdin"], stdin=f, capture_output=True, env=ENV)
    check("stdin passed (a file)", (r.stdout, r.returncode), (data[::-1], 0))
    r = subprocess.run(EXEC + [exe, "stdin"], stdin=subprocess.DEVNULL, capture_output=True,
                       env=ENV)
    check("stdin empty when it is no file or pipe", (r.stdout, r.returncode), (b"", 0))

    sub = os.path.join(share, "sub dir")
    os.makedirs(sub)
    r = run(exe, ["cwd"], cwd=sub)
    check("working directory inside the share kept",
          r.stdout.decode(errors="replace").strip().lower(), program_path(sub).lower())


def endings(exe, share):
    flag = os.path.join(share, "flag")
    waiter = start(exe, "wait", program_path(flag), stdout=subprocess.PIPE,
                   stderr=subprocess.PIPE)
    r = run(exe, ["touch", program_path(flag)], timeout=60)
    waiter.communicate(timeout=120)
    check("two runs at once (one waits for the other's file)",
          (r.returncode, waiter.returncode), (0, 0))

    marker = os.path.join(share, "late")
    r = run(exe, ["sleep", "5000", program_path(marker)], timeout=1)
    time.sleep(6)
    check("time limit: status 124, the program ended in the guest",
          (r.returncode, os.path.exists(marker)), (124, False))

    marker = os.path.join(share, "orphan")
    p = start(exe, "sleep", "5000", program_path(marker), stdout=subprocess.DEVNULL)
    time.sleep(2)
    p.send_signal(signal.SIGKILL)
    p.wait()
    time.sleep(6)
    check("exec killed on the host: the program ended in the guest",
          os.path.exists(marker), False)


def main():
    exe = sys.argv[1]
    # In the run's TMPDIR, which the session shares with the guest at the same path.
    with work_folder("tamber-wgt.") as share:
        outputs(exe, share)
        inputs(exe, share)
        endings(exe, share)
    # A restored guest keeps the time of its saving until the session sets its clock.
    before = time.time_ns()
    inside = win32_runner.guest_time(os.environ["TAMBER_WINDOWS_GUEST"])
    after = time.time_ns()
    check("the guest's clock is the host's (within half a second)",
          before - 500_000_000 <= inside <= after + 500_000_000, True)


if __name__ == "__main__":
    run_main(main)
