#!/usr/bin/python3
"""Runs a command in namespaces of its own, with an NFS server and a Windows session ready.

Usage: launch.py [--server ganesha|reserved-port|knfsd] [--insecure] [--export-dir DIR]
                 [--prepare SHELL-COMMAND] [--windows EXE] [--suite NAME] [--host-network]
                 [--own-servers] -- COMMAND [ARGS...]
       launch.py --prepare-guests

The run: on the host, the checks (root, tools), "not run here" (status 77) where the suite or
the server cannot run with EXE's runner, and what needs the network (guest images, the wine
prefix); then, in a fresh PID, mount and (unless --host-network) network namespace with lo
up: the server, the Windows session (a private prefix and wineserver, or the emulated
machine), COMMAND. Everything of the run lies in one folder, /tmp/tamber-launch.PID.*; its
processes, mounts and taps end with the namespaces. See harness/README.md for the
environment COMMAND sees and the exit statuses.

--prepare-guests builds the guest images a full test run needs here, out where the network is.
"""
import argparse
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from harness import procs, servers, where, windows
from harness.procs import CLONE_NEWNET, CLONE_NEWNS, CLONE_NEWPID, libc_call
FOLDER_PREFIX = "tamber-launch."
TOOLS = {None: ("ip",), "ganesha": ("ip", "rpcbind", "rpcinfo", "ganesha.nfsd"),
         "reserved-port": ("ip", "rpcbind", "rpcinfo", "ganesha.nfsd"),
         "knfsd": ("ip", "rpcinfo", "qemu-system-x86_64", "mkfs.ext4", "debugfs")}
# The emulated machine's tap: the program inside reaches the server at the host's side.
WINDOWS_HOST, WINDOWS_GUEST = "127.4.0.1", "127.4.0.2"
EXIT_USAGE, EXIT_HARNESS = 2, 125


class Stop(Exception):
    """A signal asked the run to end; `status` is the run's exit status."""

    def __init__(self, status):
        super().__init__(status)
        self.status = status


USAGE = ("[--server ganesha|reserved-port|knfsd] [--insecure] [--export-dir DIR] "
         "[--prepare SHELL-COMMAND] [--windows EXE] [--suite NAME] [--host-network] "
         "[--own-servers] -- COMMAND [ARGS...]")
TEST_SERVER_USAGE = ("[--kernel [--insecure]] [--export-dir DIR] [--prepare SHELL-COMMAND] "
                     "[--privileged-port] [--windows EXE] -- COMMAND [ARGS...]")


class Parser(argparse.ArgumentParser):
    """Options parsed quietly: a usage error is the caller's to report."""

    def error(self, message):
        raise SystemExit(EXIT_USAGE)


def parser(prog):
    """The launcher's options."""
    p = Parser(prog=prog, add_help=False)
    p.add_argument("--server", choices=("ganesha", "reserved-port", "knfsd"))
    p.add_argument("--insecure", action="store_true")
    p.add_argument("--export-dir")
    p.add_argument("--prepare")
    p.add_argument("--windows")
    p.add_argument("--suite")
    p.add_argument("--host-network", action="store_true")
    p.add_argument("--own-servers", action="store_true")
    p.add_argument("--prepare-guests", action="store_true")
    p.add_argument("command", nargs=argparse.REMAINDER)
    return p


def parse(argv, prog):
    """The options, or None on a usage error."""
    if argv is None:
        return None
    try:
        a = parser(prog).parse_args(argv)
    except SystemExit:
        return None
    if a.command[:1] == ["--"]:
        a.command = a.command[1:]
    if a.prepare_guests:
        return a
    if not a.command or (a.insecure and a.server != "knfsd"):
        return None
    if a.windows:
        try:
            a.windows = os.path.realpath(a.windows, strict=True)
        except OSError:
            return None
    return a


def from_test_server(argv):
    """scripts/test-server's options as the launcher's: --kernel is --server knfsd,
    --privileged-port --server reserved-port, and ganesha otherwise; None on a usage error."""
    out, server, rest = [], "ganesha", list(argv)
    while rest and rest[0] != "--":
        arg = rest.pop(0)
        if arg in ("--kernel", "--privileged-port"):
            if server != "ganesha":
                return None
            server = "knfsd" if arg == "--kernel" else "reserved-port"
        elif arg.startswith("--export-dir="):
            out += ["--export-dir", arg.split("=", 1)[1]]
        elif arg in ("--export-dir", "--prepare", "--windows") and rest:
            out += [arg, rest.pop(0)]
        elif arg == "--insecure":
            out.append(arg)
        else:
            return None
    return ["--server", server, *out, *rest]


def say(prog, text):
    """A progress line on stderr, unless TAMBER_SERVER_QUIET (default 1) is 1."""
    if os.environ.get("TAMBER_SERVER_QUIET", "1") != "1":
        print(f"{prog}: {text}", file=sys.stderr, flush=True)


def fail(prog, text, status=1):
    """Says `text` as an error and returns `status`."""
    print(f"{prog}: error: {text}", file=sys.stderr, flush=True)
    return status


def exit_status(e):
    """The status SystemExit `e` stands for; a message it carries is printed to stderr."""
    if isinstance(e.code, str):
        print(e.code, file=sys.stderr)
        return 1
    return e.code or 0


def prepare_guests():
    """Builds what a full run needs: the knfsd guest, and what the 32-bit .exe runs in."""
    windows.prepare(windows.which("i386")[0], "knfsd")
    return 0


def sweep(prog):
    """Removes what launches killed with SIGKILL left behind (their folders and wineserver
    socket folders), saying so in one line."""
    swept = []
    for folder in glob.glob(os.path.join("/tmp", FOLDER_PREFIX + "*")):
        try:
            pid = int(os.path.basename(folder)[len(FOLDER_PREFIX):].split(".")[0])
            os.kill(pid, 0)
            continue
        except ProcessLookupError:
            pass
        except (ValueError, PermissionError):
            continue
        windows.sweep_session(os.path.join(folder, "wine"))
        shutil.rmtree(folder, ignore_errors=True)
        swept.append(folder)
    if swept:
        print(f"{prog}: swept what {len(swept)} killed launch(es) left: {' '.join(swept)}",
              file=sys.stderr, flush=True)


def on_host(a, prog):
    """The host's half: checks, then what needs the network; returns (status, runner)."""
    if os.geteuid() != 0:
        return fail(prog, "must run as root (namespaces and the NFS server need it)"), None
    for tool in TOOLS[a.server]:
        if shutil.which(tool) is None:
            return fail(prog, f"{tool} not found (scripts/deps installs it)"), None
    runner = windows.runner_for(a.windows) if a.windows else "native"
    reason = (where.suite_reason(a.suite, runner) if a.suite else None) or \
        where.server_reason(a.server, runner)
    if reason:
        print(f"not run here: {reason}", flush=True)
        return where.NOT_RUN, runner
    if a.export_dir and not os.path.isdir(a.export_dir):
        return fail(prog, f"export directory {a.export_dir} does not exist"), runner
    try:
        windows.prepare(runner, a.server)
    except SystemExit as e:
        if exit_status(e):
            return 1, runner
    return 0, runner


def main(argv=(), prog="launch", usage=USAGE):
    """The launcher's command line (default: this process's arguments; None: a usage error
    found by the caller); returns the exit status."""
    a = parse(sys.argv[1:] if argv == () else argv, prog)
    if a is None:
        print(f"usage: {prog} {usage}", file=sys.stderr)
        return EXIT_USAGE
    if a.prepare_guests:
        return prepare_guests()
    status, runner = on_host(a, prog)
    if status != 0:
        return status
    sweep(prog)
    folder = tempfile.mkdtemp(prefix=f"{FOLDER_PREFIX}{os.getpid()}.", dir="/tmp")
    os.chmod(folder, 0o755)
    try:
        return enter(a, prog, runner, folder)
    finally:
        windows.sweep_session(os.path.join(folder, "wine"))
        shutil.rmtree(folder, ignore_errors=True)


def enter(a, prog, runner, folder):
    """Runs the inner half as PID 1 of a new PID namespace; its status once it has ended (and
    with it, every process of the run)."""
    try:
        libc_call("unshare", CLONE_NEWPID)
    except OSError as e:
        return fail(prog, f"no PID namespace: {e}", EXIT_HARNESS)
    child = os.fork()
    if child == 0:
        status = EXIT_HARNESS
        try:
            procs.die_with_parent()  # PID 1, and with it the run, ends with the launcher
            status = inner(a, prog, runner, folder)
        except SystemExit as e:
            # A guest that could not start says why itself.
            status = exit_status(e)
        except BaseException as e:
            # PID 1 ends with a status, whatever went wrong.
            print(f"{prog}: error: {e!r}", file=sys.stderr, flush=True)
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(status)

    def forward(sig, _):
        try:
            os.kill(child, sig)
        except ProcessLookupError:
            pass
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, forward)
    _, code = os.waitpid(child, 0)
    return os.waitstatus_to_exitcode(code) if os.WIFEXITED(code) else 128 + os.WTERMSIG(code)


def stop_on_signal(cmd):
    """Signal handlers that pass SIGINT and SIGTERM to `cmd` (a list holding the command's
    process, once started) and end the run with 128 + the signal's number, once."""
    stopping = []

    def handler(sig, _):
        if cmd:
            try:
                cmd[0].send_signal(sig)
            except ProcessLookupError:
                pass
        if not stopping:
            stopping.append(sig)
            raise Stop(128 + sig)
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, handler)


def private_namespaces(host_network):
    """This process's own mount (and network) namespace, with /proc for its PID namespace."""
    libc_call("unshare", CLONE_NEWNS | (0 if host_network else CLONE_NEWNET))
    subprocess.run(["mount", "--make-rprivate", "/"], check=True)
    subprocess.run(["mount", "-t", "proc", "proc", "/proc"], check=True)
    if not host_network:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)


def export_folder(a, folder):
    """The export directory: --export-dir's, or a new one in the run's folder."""
    if a.export_dir:
        path = os.path.realpath(a.export_dir)
    else:
        path = os.path.join(folder, "export")
        os.mkdir(path)
    # The server checks permissions for the client's uid 65534 itself.
    try:
        os.chmod(path, os.stat(path).st_mode | 0o055)
    except OSError:
        pass
    return path


def inner(a, prog, runner, folder):
    """PID 1 of the run's namespaces: server, session, command; returns the run's status."""
    cmd = []
    stop_on_signal(cmd)
    started = time.monotonic()
    try:
        # The emulated machine's tap lives in the namespace, and ends with it.
        private_namespaces(a.host_network and runner != "guest")
        tmp = os.path.join(folder, "tmp")
        os.mkdir(tmp)
        os.chmod(tmp, 0o1777)
        # Every temporary folder of the run lies here, swept with it; in the guest it is
        # shared at the same path, so that the program's Z:\... names mean the same files.
        os.environ["TMPDIR"] = tmp
        env = {"TAMBER_RUNNER": runner}
        export_dir = None
        if a.server:
            export_dir = export_folder(a, folder)
            if any(c in export_dir for c in '"\n\\'):
                return fail(prog, "export directory path must not contain quotes, "
                                  "backslashes or newlines")
            env["TAMBER_EXPORT_DIR"] = export_dir
        if a.prepare:
            planned = {"TAMBER_SERVER": "127.0.0.1", "TAMBER_EXPORT": export_dir or ""}
            if a.server == "knfsd":
                from harness.guests import nfs_server
                planned = {"TAMBER_SERVER": nfs_server.GUEST_ADDR,
                           "TAMBER_EXPORT": nfs_server.EXPORT}
            if subprocess.run(["sh", "-c", a.prepare], stdin=subprocess.DEVNULL,
                              env=dict(os.environ, **env, **planned)).returncode != 0:
                return fail(prog, "the --prepare command failed")
        work = os.path.join(folder, "server")
        os.mkdir(work)
        with serving(a, export_dir, work) as served:
            if served:
                env.update(TAMBER_SERVER=served.addr, TAMBER_EXPORT=served.export,
                           TAMBER_SERVER_INTERFACE=served.interface,
                           TAMBER_SERVER_LOG=served.log)
                say(prog, f"server ready in {int((time.monotonic() - started) * 1000)} ms, "
                          f"export {export_dir}")
            with opened(a, runner, folder, served) as session_env:
                env.update(session_env)
                if runner == "guest" and served:
                    # The guest's calls to 127.0.0.1 cross its tap before they reach lo.
                    env.update(TAMBER_SERVER_INTERFACE="any")
                try:
                    cmd.append(procs.start(a.command, env=dict(os.environ, **env)))
                    status = cmd[0].wait()
                finally:
                    # The command ends before its session and server do.
                    if cmd:
                        procs.stop(cmd[0])
                status = status if status >= 0 else 128 - status
                if served and not served.alive():
                    print(f"{prog}: warning: the server died while the command ran",
                          file=sys.stderr)
                    servers.log_tail(served.log)
                return status
    except Stop as e:
        return e.status
    except servers.StartError as e:
        return fail(prog, str(e))


def serving(a, export_dir, work):
    """The server of --server, or a context that yields None."""
    import contextlib
    if not a.server:
        return contextlib.nullcontext()
    return servers.serve(a.server, export_dir, work, insecure=a.insecure)


def opened(a, runner, folder, served):
    """The Windows session of --windows, or a context that yields no settings."""
    import contextlib
    if not a.windows:
        return contextlib.nullcontext({})
    wine = os.path.join(folder, "wine")
    os.mkdir(wine)
    # With an address the guest routes 127.0.0.1 over its tap, so a server here is its own.
    routed = where.loopback_to_namespace(a.own_servers, served)
    addr = f"{WINDOWS_HOST}/{WINDOWS_GUEST}" if routed else None
    return windows.session(runner, wine, share=folder, addr=addr)


def session_command(args):
    """windows-run --session EXE [--own-servers] -- CMD...: CMD with EXE's session open around
    it, in a launch of its own on the host's network (--own-servers: CMD's servers on
    127.0.0.1 are the emulated machine's too); its status, or None on a usage error."""
    sep = args.index("--") if "--" in args else 0
    if sep < 1 or sep == len(args) - 1 or args[1:sep] not in ([], ["--own-servers"]):
        return None
    exe, command = args[0], args[sep + 1:]
    if windows.runner_for(exe) != "guest" and os.geteuid() != 0:
        # No overlay without root: the runs share the cached prefix and its wineserver.
        return subprocess.run(command).returncode
    return main(["--windows", exe, "--host-network", *args[1:sep], "--", *command])


if __name__ == "__main__":
    sys.exit(main())
