#!/usr/bin/env python3
"""harness/launch.py: test-server's options as the launcher's, and a run that ends normally, by
SIGTERM or by SIGKILL leaves no process, mount, tap or folder behind (a killed one's folder
is swept by the next launch). Runs ganesha and a 64-bit wine session: needs root, ganesha and
64-bit wine."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from suite import TOP, check, not_run_here, summary
from harness import launch, where, windows

LAUNCH = os.path.join(TOP, "harness", "launch.py")
MARKER = "TAMBER_LAUNCH_TEST"
# Bounds on waiting for the command to start and the run to end, never asserted.
START_LIMIT, END_LIMIT = 120, 60

# test-server's options, and the launcher's they become (None: a usage error)
OPTIONS = [
    (["--", "cmd"], ["--server", "ganesha", "--", "cmd"]),
    (["--kernel", "--insecure", "--", "cmd"], ["--server", "knfsd", "--insecure", "--", "cmd"]),
    (["--privileged-port", "--windows", "a.exe", "--", "cmd", "--kernel"],
     ["--server", "reserved-port", "--windows", "a.exe", "--", "cmd", "--kernel"]),
    (["--export-dir=/e", "--prepare", "sh x", "--", "cmd"],
     ["--server", "ganesha", "--export-dir", "/e", "--prepare", "sh x", "--", "cmd"]),
    (["--kernel", "--privileged-port", "--", "cmd"], None),
    (["--suite", "e2e", "--", "cmd"], None),
    (["--prepare"], None),
]
for given, want in OPTIONS:
    check(f"test-server {' '.join(given)}", launch.from_test_server(given), want)

# server, runner, whether the launcher says "not run here" before starting anything
SERVERS = [("knfsd", "guest", True), ("knfsd", "wine32", False), ("ganesha", "guest", False),
           ("reserved-port", "guest", False), (None, "guest", False), (None, "native", False)]
for server, runner, declined in SERVERS:
    check(f"{server} with {runner}: not run here", where.server_reason(server, runner) is not None,
          declined)


def pe64(path):
    """A file with a 64-bit PE header: all the launcher reads of the program under test."""
    image = bytearray(256)
    image[:2], image[0x3C:0x40] = b"MZ", (0x80).to_bytes(4, "little")
    image[0x80:0x84], image[0x84:0x86] = b"PE\0\0", (0x8664).to_bytes(2, "little")
    with open(path, "wb") as f:
        f.write(image)


def marked():
    """The pids of processes that carry this test's marker in their environment."""
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if f"{MARKER}={os.getpid()}".encode() in f.read().split(b"\0"):
                    pids.append(int(pid))
        except OSError:
            pass
    return pids


def mounted_under(folder):
    """Mount points under `folder` seen by any process on the host."""
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/mountinfo") as f:
                found.update(line.split()[4] for line in f if folder in line.split()[4])
        except OSError:
            pass
    return sorted(found)


def links():
    """The host's network interfaces."""
    return sorted(os.listdir("/sys/class/net"))


def wait_until(done, limit):
    """Polls `done` until it holds or `limit` seconds have passed; its last answer."""
    deadline = time.monotonic() + limit
    while not (ok := done()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return ok


def start(report, exe):
    """The launcher with ganesha and a wine64 session around a command that reports where it
    runs, then waits in the middle of its case for a line on report's FIFO, and exits 3."""
    script = (f'printf "%s\\n%s\\n%s\\n" "$TMPDIR" "$WINEPREFIX" "$TAMBER_RUNNER" > {report}.new'
              f' && mv {report}.new {report} && read line < {report}.fifo && exit 3')
    return subprocess.Popen([sys.executable, LAUNCH, "--server", "ganesha", "--windows", exe,
                             "--", "sh", "-c", script],
                            env=dict(os.environ, **{MARKER: str(os.getpid())}),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def run_ended(how, report, exe):
    """Starts a run, ends it `how` (exit, TERM, KILL); its (status, folder, stderr)."""
    p = start(report, exe)
    if not wait_until(lambda: os.path.exists(report), START_LIMIT):
        p.kill()
        return None, None, p.communicate()[1]
    with open(report) as f:
        tmp, prefix, runner = f.read().split("\n")[:3]
    os.remove(report)
    names = set()
    for pid in wait_until(marked, START_LIMIT) or []:
        try:
            with open(f"/proc/{pid}/comm") as f:
                names.add(f.read().strip())
        except OSError:
            pass
    check(f"{how}: the run's processes, the session's wineserver among them, carry the marker",
          {"ganesha.nfsd", "rpcbind", "wineserver64"} <= names, True)
    check(f"{how}: the command runs under {runner} with a prefix in the run's folder",
          (runner, prefix.startswith(os.path.dirname(tmp))), ("wine64", True))
    if how == "exit":
        with open(report + ".fifo", "w") as f:
            f.write("end\n")
    else:
        p.send_signal(signal.SIGTERM if how == "TERM" else signal.SIGKILL)
    try:
        _, err = p.communicate(timeout=END_LIMIT)
    except subprocess.TimeoutExpired:
        p.kill()
        _, err = p.communicate()
    return p.returncode, os.path.dirname(tmp), err.decode(errors="replace")


def main():
    if os.geteuid() != 0:
        not_run_here("needs root for namespaces and ganesha")
    for tool in ("ganesha.nfsd", "rpcbind", windows.LOADER["wine64"]):
        if shutil.which(tool) is None and not os.path.exists(tool):
            not_run_here(f"no {tool}")
    work = tempfile.mkdtemp(prefix="tamber-launch-test.")
    try:
        exe = os.path.join(work, "program.exe")
        pe64(exe)
        report = os.path.join(work, "report")
        os.mkfifo(report + ".fifo")
        before = links()
        # how the run ends, the launcher's status: the command's, or 128 + SIGTERM
        for how, status in (("exit", 3), ("TERM", 143), ("KILL", -9)):
            got, folder, err = run_ended(how, report, exe)
            check(f"{how}: the launcher's status", got, status)
            if folder is None:
                print(err)
                continue
            check(f"{how}: no process of the run left",
                  wait_until(lambda: not marked(), END_LIMIT), True)
            check(f"{how}: no mount under the run's folder", mounted_under(folder), [])
            check(f"{how}: no new network interface", links(), before)
            check(f"{how}: the run's folder", os.path.exists(folder), how == "KILL")
        if how == "KILL" and folder:
            p = subprocess.run([sys.executable, LAUNCH, "--", "true"], capture_output=True,
                               text=True)
            check("the next launch sweeps the killed one's folder, and says so",
                  (p.returncode, folder in p.stderr, os.path.exists(folder)), (0, True, False))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return summary()


if __name__ == "__main__":
    sys.exit(main())
