"""The 32-bit .exe under 32-bit wine in an emulated machine, for hosts whose kernel runs no
32-bit code: the image (built once), a session (the saved guest restored on a tap, with a
folder shared at the same path inside) and a program run in it."""
import contextlib
import io
import itertools
import os
import shutil
import stat
import sys
import tempfile
import time

from harness import procs
from harness.guests.win32_runner import channel

NAME = "win32-runner"
HERE = os.path.dirname(os.path.abspath(__file__))
# What goes into the image: a change to any of them builds a new one.
RECIPE = ("recipe.py", "agent.py", "tamber-init", "initramfs-init", "link_dlls.py")
# What a run takes of the caller's environment: wine's own settings among it (the guest keeps
# its prefix), the locale and the suites' variables.
PASSED = ("LANG",)
PASSED_PREFIXES = ("LC_", "TAMBER_", "WINE")
_machines = {}
_taps = itertools.count()


# A program's run needs only the channel: the recipe and qemu's side load when a session starts.
def image(build=True):
    """The built guest's folder; builds it on first use (root, the package mirror; minutes),
    or with build=False returns None when it is not built."""
    from harness import procs
    from harness.guests import debian, vm
    from harness.guests.win32_runner import recipe
    return vm.image(NAME, vm.recipe_key(HERE, RECIPE, [debian.__file__, procs.__file__]), recipe,
                    build)


def _restore(folder, share, ctl, tap):
    """qemu restoring the saved guest; returns once the agent answers, or None."""
    from harness.guests import vm
    from harness.guests.win32_runner import recipe
    for name in [f"port{i}" for i in range(recipe.PORTS)] + ["qmp"]:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(os.path.join(ctl, name))  # a cold boot's, in the way of the wait below
    proc = vm.start(recipe.machine(folder, "run", share, os.path.join(ctl, "io"), ctl, tap) +
                    ["-incoming", f"exec:cat '{folder}/state'"], os.path.join(ctl, "qemu.log"))
    # qemu makes the ports' sockets before it loads the state.
    last = os.path.join(ctl, f"port{recipe.PORTS - 1}")
    deadline = time.monotonic() + 30
    while not os.path.exists(last) and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    try:
        channel.request(ctl, "hello", 60)
        return proc
    except (channel.Fail, OSError) as e:
        procs.stop(proc)
        with open(os.path.join(ctl, "qemu.log"), errors="replace") as f:
            said = [line for line in f if "error" in line.lower() or "fail" in line.lower()]
        print(f"win32_runner: the saved guest did not restore ({(said or [str(e)])[0].strip()});"
              " booting it cold and saving it again", file=sys.stderr)
        return None


def _set_clock(ctl):
    """Sets the guest's clock to the host's: a restored guest keeps the time of its saving."""
    channel.request(ctl, "clock %d" % time.time_ns())


def _network(host_ip, guest_ip):
    """The agent's requests that give the guest GUEST_IP/24 on its tap; with loopback-range
    addresses, the guest's 127.0.0.1 is the host namespace's too."""
    # 127.0.0.0/8 is local only on lo; on eth0 a loopback-range /24 then routes like any other.
    lines = ["sysctl net.ipv4.conf.all.route_localnet=1",
             "sysctl net.ipv4.conf.eth0.route_localnet=1",
             "sysctl net.ipv6.conf.eth0.disable_ipv6=1",
             f"ip addr add {guest_ip}/24 dev eth0", "ip link set eth0 up"]
    if host_ip.startswith("127."):
        # The program reaches the servers on the host namespace's 127.0.0.1 with no NAT: they
        # see its own connections and source ports. The source is the guest's address: a
        # 127.x one would have host scope, and its packets be dropped as martians.
        lines += ["ip addr del 127.0.0.1/8 dev lo",
                  f"ip route add 127.0.0.1/32 via {host_ip} dev eth0 src {guest_ip}"]
    return lines


@contextlib.contextmanager
def session(share, addr=None):
    """In the current network namespace: a tap (host side HOST/24 and guest GUEST/24 for
    `addr` "HOST/GUEST"; no address without it; loopback-range ones also take the guest's
    127.0.0.1 to this namespace's), the restored guest with the folder `share` mounted at
    the same path inside, its clock set; yields the control folder."""
    from harness.guests import vm
    from harness.guests.win32_runner import recipe
    folder = vm.built(NAME, image(build=False))
    share = os.path.realpath(share)
    if not os.path.isdir(share):
        raise SystemExit(f"win32_runner: error: {share} is not a folder")
    if share in ("/", "/tmp"):
        # Mounted over the guest's own, it would hide wineserver's socket there.
        raise SystemExit(f"win32_runner: error: {share} cannot be shared; share a folder in it")
    host_ip, _, guest_ip = (addr or "/").partition("/")
    ctl = tempfile.mkdtemp(prefix="tamber-wg.")
    try:
        with open(os.path.join(ctl, "share"), "w") as f:
            f.write(share)
        os.mkdir(os.path.join(ctl, "io"))
        # A name of its own per session; the guest's MAC is fixed, since the saved guest knows it.
        with vm.tap("tgw%x-%d" % (os.getpid(), next(_taps)), host_ip or None) as tap:
            proc = _restore(folder, share, ctl, tap)
            if proc is None:
                with vm.locked(NAME):
                    if not recipe.boot(folder, "run", ctl, tap):
                        raise SystemExit("win32_runner: error: the cold boot failed\n" +
                                         vm.tail(f"{ctl}/console.log", f"{ctl}/qemu.log"))
                proc = _restore(folder, share, ctl, tap)
                if proc is None:
                    raise SystemExit("win32_runner: error: the new saved guest did not restore")
            _machines[ctl] = proc
            try:
                _set_clock(ctl)
                if guest_ip:
                    for line in _network(host_ip, guest_ip):
                        channel.request(ctl, line)
                channel.request(ctl, "mount ctl /tamber/ctl")
                channel.request(ctl, f"mount share {share}")
                yield ctl
            finally:
                del _machines[ctl]
                procs.stop(proc)
    finally:
        shutil.rmtree(ctl, ignore_errors=True)


def machine_of(ctl):
    """The qemu process of this process's session `ctl`."""
    return _machines[ctl]


def guest_time(ctl):
    """The guest's clock, in nanoseconds since the epoch."""
    return int(channel.request(ctl, "time").split(" ")[1])


def _write_list(path, items):
    with open(path, "wb") as f:
        for item in items:
            f.write(item + b"\0")


def _inside(path, top):
    return path == top or path.startswith(top.rstrip("/") + "/")


def _copy_stdin(stdin, to):
    """Copies `stdin` to the file `to` when it is a file, a pipe or in memory (a terminal or
    nothing gives the program an empty stdin)."""
    try:
        fd = stdin.fileno()
    except io.UnsupportedOperation:
        shutil.copyfileobj(stdin, to)
        return
    except (OSError, ValueError):
        return
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        return
    if stat.S_ISREG(mode) or stat.S_ISFIFO(mode):
        shutil.copyfileobj(stdin, to)


def _copy_out(path, to):
    with open(path, "rb") as f:
        shutil.copyfileobj(f, to, 1 << 20)
    to.flush()


def exec_program(ctl, exe, args, timeout=600, env=None, stdin=None, stdout=None, stderr=None,
                 usage=None):
    """Runs `exe` with `args` under wine in the guest behind `ctl`; returns its status (124
    at the time limit). Streams are binary file objects (defaults: this process's); of `env`
    (default this process's) LANG, LC_*, TAMBER_* and WINE* are passed (WINEDEBUG default
    -all; harness.windows.wine_env gives wine's settings).
    `usage`, a dict, gets "maxrss": the program's peak resident memory in KiB, unless it
    ran past its time limit."""
    stdin = sys.stdin.buffer if stdin is None else stdin
    stdout = sys.stdout.buffer if stdout is None else stdout
    stderr = sys.stderr.buffer if stderr is None else stderr
    env = os.environb if env is None else {os.fsencode(k): os.fsencode(v)
                                           for k, v in env.items()}
    with open(os.path.join(ctl, "share")) as f:
        share = f.read()
    rid = "%d-%d" % (os.getpid(), time.monotonic_ns())
    d = os.path.join(ctl, "io", rid)
    os.mkdir(d)
    try:
        shutil.copyfile(exe, os.path.join(d, "exe"))
        with open(os.path.join(d, "name"), "wb") as f:
            f.write(os.path.basename(os.fsencode(exe)))
        _write_list(os.path.join(d, "args"), [os.fsencode(a) for a in args])
        passed = [k + b"=" + v for k, v in env.items()
                  if k.decode() in PASSED or k.decode().startswith(PASSED_PREFIXES)]
        if not any(e.startswith(b"WINEDEBUG=") for e in passed):
            passed.append(b"WINEDEBUG=-all")
        _write_list(os.path.join(d, "env"), passed)
        cwd = os.getcwd()
        with open(os.path.join(d, "cwd"), "w") as f:
            f.write(cwd if _inside(cwd, os.path.realpath(share)) else "")
        with open(os.path.join(d, "timeout"), "w") as f:
            f.write(str(timeout))
        with open(os.path.join(d, "stdin"), "wb") as f:
            _copy_stdin(stdin, f)
        for name in ("stdout", "stderr"):
            open(os.path.join(d, name), "wb").close()
        lock, port = channel.take_port(ctl)
        try:
            # The guest ends the program at the limit; the margin covers the copy and reply.
            answer = channel.ask(port, "run " + rid, timeout + 60, "done " + rid + " ")
        finally:
            os.close(lock)
        _, _, status, peak = answer.split(" ")
        if usage is not None and status != "timeout":
            usage["maxrss"] = int(peak)
        _copy_out(os.path.join(d, "stdout"), stdout)
        _copy_out(os.path.join(d, "stderr"), stderr)
        if status == "timeout":
            stderr.write(b"win32_runner: %s ended at its time limit of %g s\n"
                         % (os.fsencode(exe), timeout))
            stderr.flush()
            return 124
        return int(status)
    finally:
        shutil.rmtree(d, ignore_errors=True)


def _once(exe, args, timeout, env, stderr):
    with tempfile.TemporaryDirectory(prefix="tamber-share.") as share, session(share) as ctl:
        return exec_program(ctl, exe, args, timeout, env=env, stderr=stderr)


def run_once(exe, args, timeout=600, env=None, stderr=None):
    """Runs `exe` in a one-off guest in a network namespace of its own, as exec_program does;
    returns its status."""
    from harness.guests import vm
    return vm.in_own_netns(_once, os.path.abspath(exe), args, timeout, env, stderr)
