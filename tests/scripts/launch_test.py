#!/usr/bin/python3
"""harness/launch.py: test-server's options as the launcher's, and a run that ends normally, by
SIGTERM or by SIGKILL leaves no process, mount, tap or folder behind (a killed one's folder
is swept by the next launch). Runs ganesha with a 64-bit wine session, and with the emulated
machine running the shipped 32-bit .exe: needs root and ganesha; the wine64 cases need 64-bit
wine, the guest's need build/win32/tamberline.exe, qemu and the guest's image built already."""
import glob
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from suite import TOP, check, not_run_here, run_main, runs, work_folder
from harness import launch, where, windows
from harness.guests import vm

LAUNCH = os.path.join(TOP, "harness", "launch.py")
MARKER = "TAMBER_LAUNCH_TEST"
# The 32-bit .exe as shipped, which scripts/test builds before it runs the native tree.
EXE32 = os.path.join(TOP, "build", "win32", "tamberline.exe")
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

# --own-servers, server: whether the emulated machine's 127.0.0.1 leads to the launch's
# namespace (the unit suites listen on the guest's own)
LOOPBACK = [(False, "ganesha", True), (True, None, True), (False, None, False),
            (True, "knfsd", True)]
for own, server, routed in LOOPBACK:
    check(f"{server}, own servers {own}: the guest's 127.0.0.1 is the namespace's",
          where.loopback_to_namespace(own, server), routed)


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
    out = subprocess.run(["ip", "-o", "link"], capture_output=True, text=True, check=True).stdout
    return sorted(line.split(": ")[1].split("@")[0] for line in out.splitlines())


def links_of(pid):
    """The network interfaces, lo aside, of process `pid`'s network namespace."""
    try:
        with open(f"/proc/{pid}/net/dev") as f:
            names = [line.split(":")[0].strip() for line in f.readlines()[2:]]
    except OSError:
        return []
    return sorted(n for n in names if n != "lo")


def in_tmp(patterns):
    """The paths that match `patterns`."""
    return {path for pattern in patterns for path in glob.glob(pattern)}


def comms(pids):
    """Process `pids`' names, by name."""
    names = {}
    for pid in pids:
        try:
            with open(f"/proc/{pid}/comm") as f:
                names[f.read().strip()] = pid
        except OSError:
            pass
    return names


def wait_until(done, limit):
    """Polls `done` until it holds or `limit` seconds have passed; its last answer."""
    deadline = time.monotonic() + limit
    while not (ok := done()) and time.monotonic() < deadline:
        time.sleep(0.05)
    return ok


def start(report, session):
    """The launcher with ganesha and `session`'s Windows session around a command that runs
    the session's case, reports where it runs and what the case printed, then waits in the
    middle of its case for a line on report's FIFO, and exits 3."""
    script = (f'out=$({session["case"]}); printf "%s\\n%s\\n%s\\n%s\\n" "$TMPDIR" '
              '"$TAMBER_RUNNER" "${WINEPREFIX:-$TAMBER_WINDOWS_GUEST}" "$out"'
              f' > {report}.new && mv {report}.new {report} && read line < {report}.fifo'
              ' && exit 3')
    return subprocess.Popen([sys.executable, LAUNCH, "--server", "ganesha", "--windows",
                             session["exe"], "--", "sh", "-c", script, "sh", session["exe"],
                             windows.COMMAND],
                            env=dict(os.environ, **session["env"],
                                     **{MARKER: str(os.getpid())}),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def run_ended(how, report, session):
    """Starts a run, ends it `how` (exit, TERM, KILL); its (status, folder, the interfaces of
    its namespace, stderr)."""
    runner = session["runner"]
    p = start(report, session)
    if not wait_until(lambda: os.path.exists(report), START_LIMIT):
        p.kill()
        return None, None, [], p.communicate()[1].decode(errors="replace")
    with open(report) as f:
        tmp, got_runner, place, out = f.read().split("\n")[:4]
    os.remove(report)
    names = comms(wait_until(marked, START_LIMIT) or [])
    check(f"{runner} {how}: the run's processes, the session's among them, carry the marker",
          session["processes"] <= set(names), True)
    check(f"{runner} {how}: the command runs under {runner} with its session in the run's "
          "folder, and its case ran", (got_runner, place.startswith(os.path.dirname(tmp)), out),
          (runner, True, session["printed"]))
    # The tap lives in the run's network namespace, the server's.
    ours = links_of(names.get("ganesha.nfsd"))
    check(f"{runner} {how}: the run's network namespace holds its taps", len(ours),
          session["taps"])
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
    return p.returncode, os.path.dirname(tmp), ours, err.decode(errors="replace")


def sessions(work):
    """The Windows sessions a run ends in, each with why this host cannot hold it (or None;
    the guest's image is built out here in minutes, too long for this test): the
    runner, the program, the launcher's environment, the processes of the run, the case run
    in the middle of it (sh, with $1 the program and $2 windows-run), what it prints, the
    number of taps in the run's namespace, and where the session's folders would lie had they
    been made outside the run's TMPDIR."""
    exe64 = os.path.join(work, "program.exe")
    pe64(exe64)
    wine64 = windows.LOADER["wine64"]
    return [
        (where.host_lacks(files=[wine64]),
         {"runner": "wine64", "exe": exe64, "env": {}, "case": "true", "printed": "",
          "processes": {"ganesha.nfsd", "rpcbind", "wineserver64"}, "taps": 0,
          "tmp": ("/tmp/.wine-*/server-*",)}),
        (where.host_lacks(files=[EXE32], tools=[vm.QEMU], guest_image=True),
         {"runner": "guest", "exe": EXE32, "env": {"TAMBER_WINDOWS_RUNNER": "guest"},
          # The program in the guest lists the export through the tap: both are up.
          "case": 'touch "$TAMBER_EXPORT_DIR/seen" && '
                  '"$2" "$1" ls "$TAMBER_SERVER" "$TAMBER_EXPORT" / | grep -o seen',
          "printed": "seen", "processes": {"ganesha.nfsd", "rpcbind", "qemu-system-x86"},
          "taps": 1, "tmp": ("/tmp/tamber-wg.*", "/tmp/tamber-share.*")}),
    ]


def ends(work, session):
    """The session's three endings, each leaving nothing behind; a killed run's folder is
    swept by the next launch."""
    runner = session["runner"]
    report = os.path.join(work, "report")
    before, made = links(), in_tmp(session["tmp"])
    # how the run ends, the launcher's status: the command's, or 128 + SIGTERM
    for how, status in (("exit", 3), ("TERM", 143), ("KILL", -9)):
        got, folder, ours, err = run_ended(how, report, session)
        if not check(f"{runner} {how}: the launcher's status", got, status) or folder is None:
            print(err)
        if folder is None:
            continue
        check(f"{runner} {how}: no process of the run left",
              wait_until(lambda: not marked(), END_LIMIT), True)
        check(f"{runner} {how}: no mount under the run's folder", mounted_under(folder), [])
        check(f"{runner} {how}: no new network interface", links(), before)
        if ours:
            check(f"{runner} {how}: none of the run's taps in the host's namespace",
                  sorted(set(ours) & set(links())), [])
        check(f"{runner} {how}: the run's folder", os.path.exists(folder), how == "KILL")
        check(f"{runner} {how}: no folder of the session's in /tmp",
              sorted(in_tmp(session["tmp"]) - made), [])
    if how == "KILL" and folder:
        p = subprocess.run([sys.executable, LAUNCH, "--", "true"], capture_output=True,
                           text=True)
        check(f"{runner}: the next launch sweeps the killed one's folder, and says so in a line",
              (p.returncode, len(p.stderr.splitlines()), folder in p.stderr,
               os.path.exists(folder)), (0, 1, True, False))


def main():
    lacks = where.host_lacks(tools=["ganesha.nfsd", "rpcbind"], root=True)
    if lacks:
        not_run_here(lacks)
    with work_folder("tamber-launch-test.") as work:
        os.mkfifo(os.path.join(work, "report.fifo"))
        for reason, session in sessions(work):
            if runs(f"{session['runner']}: a run ended by exit, TERM and KILL", host=reason):
                ends(work, session)


if __name__ == "__main__":
    run_main(main)
