"""How the harness starts and ends a process: a child that dies with its parent, and an end
that asks first (TERM), waits, then forces (KILL). The one place for both."""
import ctypes
import os
import signal
import subprocess

PR_SET_PDEATHSIG = 1
CLONE_NEWNS, CLONE_NEWPID, CLONE_NEWNET = 0x00020000, 0x20000000, 0x40000000
STOP_WAIT = 10


def libc_call(name, *args):
    """Calls libc's `name`, raising OSError when it fails."""
    libc = ctypes.CDLL(None, use_errno=True)
    if getattr(libc, name)(*args) != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{name}: {os.strerror(err)}")


def die_with_parent():
    """The calling process is killed when its parent ends, even by SIGKILL: a caller's time-out
    or a killed launcher reaches it (a preexec_fn, or called in a forked child)."""
    libc_call("prctl", PR_SET_PDEATHSIG, signal.SIGKILL)


def start(argv, **kw):
    """Starts argv as a child that dies with this process (Popen's keywords apply)."""
    return subprocess.Popen(argv, preexec_fn=die_with_parent, **kw)


def measured(argv, peak_file):
    """argv run so that its own peak resident memory, in KiB, ends up in `peak_file`: a child's
    peak counts the pages of the process it was forked from, so GNU time, small, forks and
    measures it (setpriv keeps it dying with time: TERM or KILL of the caller reaches it)."""
    return ["/usr/bin/time", "-f", "%M", "-o", peak_file,
            "setpriv", "--pdeathsig", "KILL", "--", *argv]


def peak(peak_file):
    """The peak measured() wrote (its last line; a line before it may say how the program
    ended), or None when it wrote none."""
    try:
        with open(peak_file) as f:
            lines = f.read().split()
        return int(lines[-1])
    except (OSError, IndexError, ValueError):
        return None


def stop(p, wait=STOP_WAIT):
    """Ends the process `p` (a Popen): TERM, then KILL after `wait` seconds; reaps it."""
    if p.poll() is not None:
        return
    try:
        p.send_signal(signal.SIGTERM)
        p.wait(wait)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
