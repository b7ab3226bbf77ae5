"""How this host runs a Windows program: the one place that decides how, and runs it.

Runners: a 64-bit .exe runs under 64-bit wine. A 32-bit .exe runs under 32-bit wine where the
host runs 32-bit code (found by running 32-bit wine itself, once per boot), else in an
emulated machine with 32-bit wine (harness.guests.win32_runner). TAMBER_WINDOWS_RUNNER=wine32,
wine64 or guest forces the choice, for debugging.

wine's error channels are on, and its lines are kept off the program's standard error; a run
that fails without an "error:" line gets them appended, so that no failure goes without a word.
TAMBER_WINE_LOG=FILE appends every run's wine lines to FILE; TAMBER_PEAK_LOG=FILE appends a
line with the program's peak resident memory in KiB (wherever it ran) when it ends within its
time limit.
"""
import contextlib
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile

from harness import procs
from harness.paths import SCRIPTS, cache_dir

USAGE = """\
Usage: windows-run EXE [ARGS...]               run EXE, exit with its status
       windows-run --which EXE|i386|x86_64     print the runner for EXE (or any program of
                                               that machine type) and why
       windows-run --prefix EXE                print the wine prefix EXE runs in (none: guest)
       windows-run --wine EXE PROGRAM [ARGS]   run a wine program (cmd, wineserver) beside
                                               EXE: its loader and prefix; nothing for guest
       windows-run --session EXE [--own-servers] -- CMD...
                                               run CMD with EXE's runner ready for many runs:
                                               a private prefix and its own wineserver, or
                                               the emulated machine, started once (a launch:
                                               harness/launch.py's session_command);
                                               --own-servers: CMD runs servers on 127.0.0.1,
                                               the emulated machine's 127.0.0.1 too"""

RUNNERS = ("wine32", "wine64", "guest")
# The command line of this module: every Windows program a suite or bench runs goes through it.
COMMAND = os.path.join(SCRIPTS, "windows-run")
MACHINES = {0x014C: "i386", 0x8664: "x86_64"}
LOADER = {"wine32": "/usr/lib/wine/wine", "wine64": "/usr/lib/wine/wine64"}
SERVER = {"wine32": "/usr/lib/wine/wineserver32", "wine64": "/usr/lib/wine/wineserver64"}
WINEARCH = {"wine32": "win32", "wine64": "win64", "guest": "win32"}
# A line of wine's own debug output, "0024:err:module:import_dll ...\n", wherever it starts.
WINE_LINE = re.compile(rb"[0-9a-f]{4}:(err|fixme|warn|trace):[^\n]*\n$")
KEPT_LINES = 40
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
         "stderr": subprocess.DEVNULL}
# The file in the session's folder naming its wineserver's socket folder, for the sweep of a
# session whose launcher was killed.
SERVER_DIR_NOTE = "wineserver-dir"


def machine(exe):
    """The PE file's machine type: i386 or x86_64."""
    import pefile  # here only: a run whose runner is known reads no PE file
    try:
        with pefile.PE(exe, fast_load=True) as pe:
            code = pe.FILE_HEADER.Machine
    except pefile.PEFormatError:
        raise SystemExit(f"windows-run: {exe}: not a Windows program")
    if code not in MACHINES:
        raise SystemExit(f"windows-run: {exe}: machine type {code:#x} is not run here")
    return MACHINES[code]


def command(exe):
    """The command line that runs the Windows program `exe` here (its arguments follow)."""
    return [COMMAND, exe]


def program_path(path):
    """A host path as a Windows program sees it, wherever it runs: wine maps the root to Z:,
    and the emulated machine shares the run's folders at the same paths."""
    return "Z:" + path.replace("/", "\\")


def choose(kind, forced, wine32):
    """(runner, reason) for a program of machine `kind`; `forced` is TAMBER_WINDOWS_RUNNER or
    "", `wine32` is (works, why) from the probe, called only when needed."""
    if forced:
        if forced not in RUNNERS:
            raise SystemExit(f"windows-run: TAMBER_WINDOWS_RUNNER={forced}: not one of "
                             + ", ".join(RUNNERS))
        return forced, "TAMBER_WINDOWS_RUNNER"
    if kind == "x86_64":
        return "wine64", "a 64-bit program"
    works, why = wine32()
    return ("wine32", why) if works else ("guest", why)


def probe_wine32():
    """(works, why): runs 32-bit wine itself once per boot and wine installation, with the
    answer kept in the cache; a registered i386 emulator passes a static program, not this."""
    loader = LOADER["wine32"]
    if not os.path.exists(loader):
        return False, "no 32-bit wine installed"
    with open("/proc/sys/kernel/random/boot_id") as f:
        boot = f.read().strip()
    info = os.stat(loader)
    key = f"{boot} {info.st_ino} {info.st_mtime_ns}"
    record = os.path.join(cache_dir(), "wine32-probe")
    try:
        with open(record) as f:
            lines = f.read().split("\n")
        if lines[0] == key:
            return lines[1] == "yes", lines[2]
    except (OSError, IndexError):
        pass
    try:
        prepare("wine32")
    except SystemExit:
        pass  # the run below says why
    env = wine_env("wine32")
    env["WINEDEBUG"] = "-all"
    try:
        p = subprocess.run([loader, "cmd", "/c", "exit", "2"], env=env, capture_output=True,
                           stdin=subprocess.DEVNULL, timeout=120)
        works = p.returncode == 2
        said = (p.stderr.decode(errors="replace").strip().splitlines() or [""])[-1]
        why = "32-bit wine runs here" if works else f"32-bit wine fails here: {said}".strip()
    except (OSError, subprocess.SubprocessError) as e:
        works, why = False, f"32-bit wine fails here: {e}"
    os.makedirs(cache_dir(), exist_ok=True)
    with open(record, "w") as f:
        f.write(f"{key}\n{'yes' if works else 'no'}\n{why}\n")
    return works, why


def which(exe_or_kind):
    """(runner, reason) for a program, or for any program of machine type i386 or x86_64.
    In a launch's Windows session (TAMBER_RUNNER) every program runs in that session; only a
    program outside one, and not forced, has its header read."""
    forced = os.environ.get("TAMBER_WINDOWS_RUNNER", "")
    if exe_or_kind in MACHINES.values() or forced:
        return choose(exe_or_kind, forced, probe_wine32)
    session = os.environ.get("TAMBER_RUNNER", "")
    if session in RUNNERS:
        return session, "the launch's Windows session (TAMBER_RUNNER)"
    return choose(machine(exe_or_kind), forced, probe_wine32)


def runner_for(exe):
    """wine32, wine64 or guest: how `exe` runs here."""
    return which(exe)[0]


def cached_prefix(runner):
    """The wine prefix kept in the cache for `runner`, shared by every run outside a session."""
    return os.path.join(cache_dir(), runner)


def in_session(runner):
    """Whether runs of `runner` here are in a session (a private prefix, or the emulated
    machine), which was made ready when it opened."""
    return bool(os.environ.get("TAMBER_WINDOWS_GUEST" if runner == "guest" else "WINEPREFIX"))


def prefix_of(runner):
    """The prefix a run uses: the session's (WINEPREFIX) or the cached one."""
    return os.environ.get("WINEPREFIX") or cached_prefix(runner)


def wine_env(runner, base=None):
    """The environment of a wine run for `runner`, on top of `base` (default: this process's);
    in the emulated machine too, which takes it with each run and keeps its own prefix."""
    env = dict(os.environ if base is None else base)
    env.update(WINEARCH=WINEARCH[runner], WINEDLLOVERRIDES="mscoree,mshtml=")
    if runner == "guest":
        env.pop("WINEPREFIX", None)
    else:
        env["WINEPREFIX"] = env.get("WINEPREFIX") or cached_prefix(runner)
    if runner == "wine64":
        env["WINELOADER"] = LOADER["wine64"]
    else:
        env.pop("WINELOADER", None)
    return env


def server_of(runner):
    """The wineserver of `runner`'s wine."""
    return SERVER[runner] if os.path.exists(SERVER[runner]) else "wineserver"


def ready_prefix(runner, env):
    """Makes the prefix on first use, once however many runs start together."""
    prefix = env["WINEPREFIX"]
    if os.path.exists(os.path.join(prefix, "system.reg")):
        return
    os.makedirs(prefix, exist_ok=True)
    with open(prefix.rstrip("/") + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not os.path.exists(os.path.join(prefix, "system.reg")):
            subprocess.run([LOADER[runner], "wineboot", "-i"], env=env, **QUIET)
            subprocess.run([server_of(runner), "-w"], env=env, **QUIET)


class WineLines:
    """Takes wine's debug lines out of a program's standard error, as it arrives in pieces."""

    def __init__(self):
        self.kept, self.error_line, self.pending = [], False, b""

    def feed(self, data):
        """The program's bytes among `data`, as far as whole lines go."""
        out, rest = [], self.pending + data
        while (end := rest.find(b"\n")) >= 0:
            line, rest = rest[:end + 1], rest[end + 1:]
            # A helper process may write between two writes of one of the program's lines.
            found = WINE_LINE.search(line)
            if found:
                self.kept = (self.kept + [line[found.start():]])[-KEPT_LINES:]
                rest = line[:found.start()] + rest
                continue
            self.error_line = self.error_line or line.startswith(b"error: ")
            out.append(line)
        self.pending = rest
        return b"".join(out)

    def finish(self):
        """The program's last line, when it had no line end."""
        last, self.pending = self.pending, b""
        self.error_line = self.error_line or last.startswith(b"error: ")
        return last


def _status(code):
    """A wait status as a shell shows it: 128+N for a signal N."""
    return code if code >= 0 else 128 - code


def run_filtered(start, env, exe):
    """Runs the program `start(stderr)` starts (a Popen, or a status for one run in process)
    with wine's lines taken out of its standard error; returns the status."""
    if os.isatty(2):
        env.setdefault("WINEDEBUG", "-all")
        return _status(start(None))
    env.setdefault("WINEDEBUG", "-all,err+all")
    read_end, write_end = os.pipe()
    lines = WineLines()

    def take(data):
        sys.stderr.buffer.write(lines.feed(data))
        sys.stderr.buffer.flush()

    ended = start_in_thread(start, write_end)
    # wine's helper processes inherit the pipe and may hold it open long after the program
    # ends: read until the program has ended, then what is left, not until the pipe closes.
    while not ended.is_set():
        if select.select([read_end], [], [], 0.05)[0]:
            data = os.read(read_end, 65536)
            if not data:
                break
            take(data)
    ended.wait()
    os.set_blocking(read_end, False)
    try:
        while data := os.read(read_end, 65536):
            take(data)
    except BlockingIOError:
        pass
    os.close(read_end)
    sys.stderr.buffer.write(lines.finish())
    sys.stderr.buffer.flush()
    status = _status(ended.status)
    log = os.environ.get("TAMBER_WINE_LOG")
    if log and lines.kept:
        with open(log, "ab") as f:
            f.write(f"windows-run: {ended.argv!r} ended with status {status}\n".encode())
            f.writelines(lines.kept)
    if status not in (0, 2) and not lines.error_line:
        said = b"".join(lines.kept).decode(errors="replace") or "(nothing)\n"
        sys.stderr.write(f"windows-run: {os.path.basename(exe)} ended with status {status} "
                         f"and no error line; wine said:\n{said}")
    return status


def start_in_thread(start, write_end):
    """Runs `start(write_end)` in a thread; the event it returns is set, with .status and
    .argv, once the program has ended and `write_end` is closed."""
    import threading
    ended = threading.Event()
    ended.status, ended.argv = 1, None

    def body():
        try:
            ended.status, ended.argv = start(write_end)
        finally:
            os.close(write_end)
            ended.set()
    threading.Thread(target=body, daemon=True).start()
    return ended


def _popen_start(argv, env, usage):
    """A `start` for run_filtered that runs argv as a child that dies with this process;
    with TAMBER_PEAK_LOG, `usage` gets its peak memory ("maxrss", KiB)."""
    def start(stderr):
        measure = bool(os.environ.get("TAMBER_PEAK_LOG"))
        with tempfile.NamedTemporaryFile(prefix="tamber-peak.") as peak:
            # It dies with this process: a caller's time-out reaches it.
            status = procs.start(procs.measured(argv, peak.name) if measure else argv,
                                 env=env, stderr=stderr).wait()
            maxrss = procs.peak(peak.name) if measure else None
        if maxrss is not None:
            usage["maxrss"] = maxrss
        return status if stderr is None else (status, argv)
    return start


def _guest_start(exe, args, env, usage):
    """A `start` for run_filtered that runs `exe` in the emulated machine: in the session's
    guest when TAMBER_WINDOWS_GUEST names one (`usage` gets its peak memory, as the guest
    measured it), else in a guest of its own."""
    from harness.guests import win32_runner

    def start(stderr):
        ctl = env.get("TAMBER_WINDOWS_GUEST")
        err = None if stderr is None else os.fdopen(stderr, "wb", closefd=False)
        if ctl:
            status = win32_runner.exec_program(ctl, exe, args, env=env, stderr=err,
                                               usage=usage)
        else:
            status = win32_runner.run_once(exe, args, env=env, stderr=err)
        if err is not None:
            err.flush()
        return status if stderr is None else (status, [exe, *args])
    return start


def note_peak(usage):
    """Appends the program's peak memory in KiB, when known, to TAMBER_PEAK_LOG's file."""
    log = os.environ.get("TAMBER_PEAK_LOG")
    if log and "maxrss" in usage:
        with open(log, "a") as f:
            f.write(f"{usage['maxrss']}\n")


def run(exe, args):
    """Runs `exe` with `args` the way this host runs it; returns its status."""
    runner, usage = runner_for(exe), {}
    prepare(runner)
    env = wine_env(runner)
    if runner == "guest":
        status = run_filtered(_guest_start(exe, args, env, usage), env, exe)
    else:
        status = run_filtered(_popen_start([LOADER[runner], exe, *args], env, usage), env, exe)
    note_peak(usage)
    return status


def wine_program(exe, program, args):
    """Runs a wine program (cmd, wineserver) beside `exe`; nothing for the guest."""
    runner = runner_for(exe)
    if runner == "guest":
        return 0
    prepare(runner)
    env = wine_env(runner)
    env.setdefault("WINEDEBUG", "-all")
    argv = [server_of(runner), *args] if program == "wineserver" else \
        [LOADER[runner], program, *args]
    return subprocess.run(argv, env=env).returncode


def prepare(runner, server=None):
    """Makes, out here where the network is and before any namespace, what runs need: for
    `runner` the cached prefix or the emulated machine's image, and the knfsd guest for
    `server` knfsd (a launch's). The one place that builds them: the guests' sessions and
    servers only ask for their images. Nothing for a runner whose session is open: it was
    made ready then."""
    if server == "knfsd":
        from harness.guests import nfs_server
        nfs_server.image()
    if runner == "native" or in_session(runner):
        return
    if runner == "guest":
        from harness.guests import win32_runner
        win32_runner.image()
        return
    env = wine_env(runner, {k: v for k, v in os.environ.items() if k != "WINEPREFIX"})
    env["WINEDEBUG"] = "-all"
    ready_prefix(runner, env)
    if not os.path.exists(os.path.join(env["WINEPREFIX"], "system.reg")):
        raise SystemExit(f"windows-run: could not create wine prefix {env['WINEPREFIX']}")


def _server_dir(prefix, env):
    """wine's socket folder for `prefix`: TMPDIR/BASE/server-DEV-INO, BASE named in the prefix
    (TMPDIR as in `env`, default /tmp)."""
    try:
        with open(os.path.join(prefix, "wineserver")) as f:
            base = f.read().strip()
    except OSError:
        return None
    if not base or "/" in base:
        return None
    info = os.stat(prefix)
    return os.path.join(env.get("TMPDIR") or "/tmp", base,
                        f"server-{info.st_dev:x}-{info.st_ino:x}")


def overlay_prefix(lower, folder, metacopy=False):
    """A copy-on-write view of the prefix `lower` at folder/prefix, or a real copy where
    overlays fail; returns (view, mounted). `metacopy`: a change of owner or mode copies only
    the metadata (for a prefix handed to another user)."""
    view, upper, scratch = (os.path.join(folder, d) for d in ("prefix", "upper", "scratch"))
    for d in (view, upper, scratch):
        os.mkdir(d)
    extra = ",metacopy=on,redirect_dir=on" if metacopy else ""
    mounted = subprocess.run(
        ["mount", "-t", "overlay", "overlay", "-o",
         f"lowerdir={lower},upperdir={upper},workdir={scratch}{extra}", view],
        capture_output=True).returncode == 0
    if not mounted:
        subprocess.run(["cp", "-a", lower + "/.", view], check=True)
    return view, mounted


@contextlib.contextmanager
def wine_session(runner, folder, wrap=(), owner=None):
    """A private prefix over the cached one in `folder` and its own wineserver, started here
    (inside the caller's namespaces, which must include a mount namespace of its own); yields
    the environment settings of the runs. `wrap`: a command line the wineserver starts under,
    as the runs will (e.g. setpriv taking a right away: wineserver does their binding);
    `owner`: the user id that owns the prefix (wine takes no other's) and a home in `folder`.
    The wineserver, its socket folder and the mount go at the end. The one place that makes
    a private prefix and starts or ends a wineserver."""
    view, mounted = overlay_prefix(cached_prefix(runner), folder, metacopy=owner is not None)
    settings = {"WINEPREFIX": view}
    if owner is not None:
        # It names root's folder for the wineserver's socket; the owner's wine makes its own.
        os.remove(os.path.join(view, "wineserver"))
        settings["HOME"] = os.path.join(folder, "home")
        os.mkdir(settings["HOME"])
        subprocess.run(["chown", "-R", f"{owner}:{owner}", view, settings["HOME"]], check=True)
    env = wine_env(runner, dict(os.environ, **settings))
    env["WINEDEBUG"] = "-all"

    def wine(*argv, limit=60):
        # From a folder the owner may enter, wherever the caller's lies.
        subprocess.run([*wrap, *argv], env=env, cwd=folder, timeout=limit, **QUIET)
    server_dir = None
    try:
        # A persistent wineserver with wine's services started: each run starts at once.
        wine(server_of(runner), "-p")
        wine(LOADER[runner], "cmd", "/c", "exit", limit=120)
        server_dir = _server_dir(view, env)
        if server_dir:
            with open(os.path.join(folder, SERVER_DIR_NOTE), "w") as f:
                f.write(server_dir)
        yield settings
    finally:
        wine(server_of(runner), "-k")
        wine(server_of(runner), "-w")
        if server_dir:
            shutil.rmtree(server_dir, ignore_errors=True)
        if mounted:
            subprocess.run(["umount", "-l", view], **QUIET)


def sweep_session(folder):
    """Removes what a killed session in `folder` left outside it: its wineserver's socket
    folder. Returns whether there was one."""
    try:
        with open(os.path.join(folder, SERVER_DIR_NOTE)) as f:
            server_dir = f.read().strip()
    except OSError:
        return False
    if not os.path.basename(server_dir).startswith("server-") or not os.path.isdir(server_dir):
        return False
    shutil.rmtree(server_dir, ignore_errors=True)
    return True


@contextlib.contextmanager
def session(runner, folder, share=None, addr=None):
    """The Windows session of `runner`, its files under `folder`: under wine a private prefix
    and wineserver, in the guest the emulated machine with `share` mounted at the same path
    (the program reaching the host at addr's host side, "HOST/GUEST"). Yields the settings
    the runs need in their environment."""
    if runner == "guest":
        from harness.guests import win32_runner
        with win32_runner.session(share, addr) as ctl:
            yield {"TAMBER_WINDOWS_GUEST": ctl}
    else:
        with wine_session(runner, folder) as env:
            yield env


def main(argv=None):
    """windows-run's command line; returns the exit status."""
    args = sys.argv[1:] if argv is None else argv
    # The program gets ^C too and ends itself; a handler, unlike SIG_IGN, is not inherited.
    signal.signal(signal.SIGINT, lambda *_: None)
    if not args or args[0] in ("-h", "--help"):
        raise SystemExit(USAGE)
    if args[0] == "--which" and len(args) == 2:
        print("\t".join(which(args[1])))
        return 0
    if args[0] == "--prefix" and len(args) == 2:
        runner = runner_for(args[1])
        if runner != "guest":
            print(prefix_of(runner))
        return 0
    if args[0] == "--wine" and len(args) >= 3:
        return wine_program(args[1], args[2], args[3:])
    if args[0].startswith("--"):
        raise SystemExit(USAGE)
    return run(args[0], args[1:])
