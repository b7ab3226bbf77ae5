"""What both guests share on the host: qemu, its machine, the tap, and the image cache."""
import contextlib
import fcntl
import functools
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

from harness import paths, procs

QEMU = "qemu-system-x86_64"


def need(*tools):
    """Stops with the harness's one-line message when one of `tools` is not installed."""
    for tool in tools:
        if not shutil.which(tool):
            raise SystemExit(f"guests: error: {tool} not found (scripts/deps installs it)")


@functools.lru_cache(maxsize=None)
def qemu_version():
    """qemu's version line: a saved machine restores only on the qemu that saved it."""
    need(QEMU)
    out = subprocess.run([QEMU, "--version"], capture_output=True, check=True).stdout
    return out.decode().splitlines()[0]


def accel():
    """KVM where the processor and /dev/kvm allow it, else qemu's own emulation."""
    with open("/proc/cpuinfo") as f:
        flags = f.read().split()
    if ("vmx" in flags or "svm" in flags) and os.access("/dev/kvm", os.W_OK):
        return ["-accel", "kvm", "-cpu", "host"]
    return ["-accel", "tcg"]


def argv(*machine):
    """qemu's command line: no default devices, display or reboot, then `machine`."""
    need(QEMU)
    # -nodefaults: the tap is the guest's only link (no user-mode network).
    return [QEMU, "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            *machine]


def start(cmd, log):
    """Starts qemu `cmd` with its output in the file `log`; it dies with this process (ended
    with harness.procs.stop)."""
    with open(log, "wb") as out:
        return procs.start(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=out)


def _sysctl(*settings):
    for name, value in settings:
        with open("/proc/sys/net/" + name.replace(".", "/"), "w") as f:
            f.write(value)


def _ip(*args):
    subprocess.run(["ip", *args], check=True)


@contextlib.contextmanager
def tap(name, host_addr=None):
    """A tap device `name`, up, without IPv6, with `host_addr`/24 on it when given; deleted
    at the end. A loopback-range address routes over it: lo keeps only 127.0.0.1/32."""
    need("ip")
    _ip("tuntap", "add", name, "mode", "tap")
    try:
        _sysctl((f"ipv6.conf.{name}.disable_ipv6", "1"))
        if host_addr:
            if host_addr.startswith("127."):
                lo = subprocess.run(["ip", "-4", "addr", "show", "dev", "lo"],
                                    capture_output=True, text=True).stdout
                if " 127.0.0.1/8 " in lo:
                    _ip("addr", "del", "127.0.0.1/8", "dev", "lo")
                    _ip("addr", "add", "127.0.0.1/32", "dev", "lo")
                _sysctl(("ipv4.conf.all.route_localnet", "1"),
                        (f"ipv4.conf.{name}.route_localnet", "1"))
            _ip("addr", "add", host_addr + "/24", "dev", name)
        _ip("link", "set", name, "up")
        yield name
    finally:
        subprocess.run(["ip", "link", "del", name], stderr=subprocess.DEVNULL)


def in_own_netns(fn, *args):
    """Runs fn(*args) in a child process in a new network namespace with lo up; returns the
    child's exit status: what fn returned (None: 0), or 125 when it raised."""
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        code = 125
        try:
            procs.libc_call("unshare", procs.CLONE_NEWNET)
            _ip("link", "set", "lo", "up")
            code = fn(*args) or 0
        except SystemExit as e:
            if isinstance(e.code, int):
                code = e.code
            else:
                print(e.code, file=sys.stderr)
        except BaseException as e:  # the caller sees the status; the cause goes to stderr
            print(f"guests: error: {e}", file=sys.stderr)
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def wait_console(log, word, proc, limit):
    """Waits until the console file `log` says "tamber-guest: WORD"; False when the guest
    says it failed, qemu `proc` ends, or `limit` seconds pass."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            with open(log, "rb") as f:
                text = f.read()
        except FileNotFoundError:
            text = b""
        if b"tamber-guest: " + word.encode() in text:
            return True
        if b"tamber-guest: failed" in text or proc.poll() is not None:
            return False
        time.sleep(0.2)
    return False


def tail(*files, lines=30):
    """The last `lines` lines of each non-empty file, headed by its name, for an error."""
    out = []
    for name in files:
        try:
            with open(name, "rb") as f:
                text = f.read().decode(errors="replace").splitlines()
        except OSError:
            continue
        if text:
            out.append(f"last lines of {name}:")
            out.extend(text[-lines:])
    return "\n".join(out)


def recipe_key(folder, names, shared=()):
    """The first 16 hex digits of sha256 over the recipe's files (`names` in `folder`, then
    `shared`) and qemu's version: a new recipe or a new qemu makes a new image."""
    h = hashlib.sha256()
    for path in [os.path.join(folder, n) for n in names] + list(shared):
        with open(path, "rb") as f:
            data = f.read()
        h.update(os.path.basename(path).encode() + b"\0" + len(data).to_bytes(8, "big") + data)
    h.update(qemu_version().encode())
    return h.hexdigest()[:16]


def cache_folder(name, key):
    """Where the image NAME of recipe KEY lies once built."""
    return os.path.join(paths.cache_dir(), f"{name}-{key}")


def image(name, key, recipe, build):
    """The folder of the image NAME of recipe KEY (a guest's recipe module): built on first
    use, or with build=False None when it is not built."""
    if build:
        return cached(name, key, recipe.build, recipe.complete)
    folder = cache_folder(name, key)
    return folder if recipe.complete(folder) else None


def built(name, folder):
    """`folder`, the image NAME's from image(build=False); stops when it is not built. Images
    are built only out where the network is, before a namespace is entered."""
    if folder is None:
        raise SystemExit(f"guests: error: {name} is not built (python3 -m harness.guests."
                         f"{name.replace('-', '_')} image builds it, as root)")
    return folder


@contextlib.contextmanager
def locked(name):
    """Holds the image NAME's lock in the cache: one build or saving of it at a time."""
    os.makedirs(paths.cache_dir(), exist_ok=True)
    with open(os.path.join(paths.cache_dir(), name + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def cached(name, key, build, complete):
    """The folder NAME-KEY under the cache, made on first use by build(out) into a new
    folder `out` under a lock and moved into place in one step; other keys of NAME are
    removed. `complete(folder)` says whether a folder holds a finished image."""
    cache = paths.cache_dir()
    folder = cache_folder(name, key)
    if complete(folder):
        return folder
    if os.getuid() != 0:
        raise SystemExit(f"guests: error: no {name} in {cache}, and building it needs root")
    # Two suites that start at once build it once.
    with locked(name):
        if complete(folder):
            return folder
        work = tempfile.mkdtemp(prefix=f"build-{name}.", dir=cache)
        print(f"guests: building {name} in {folder} (once)", file=sys.stderr, flush=True)
        started = time.monotonic()
        try:
            out = os.path.join(work, "out")
            os.mkdir(out)
            try:
                build(out)
            except (OSError, subprocess.CalledProcessError, RuntimeError) as e:
                raise SystemExit(f"guests: error: building {name} failed: {e}\n" +
                                 tail(os.path.join(out, "log"))) from None
            for old in glob.glob(os.path.join(cache, f"{name}-*")):
                if old != folder and os.path.isdir(old):
                    shutil.rmtree(old, ignore_errors=True)
            os.rename(out, folder)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    size = subprocess.run(["du", "-sh", folder], capture_output=True, text=True).stdout.split()
    print(f"guests: built in {time.monotonic() - started:.0f} s: {size[0] if size else '?'} in "
          f"{folder} (delete it with: rm -rf {folder})", file=sys.stderr)
    return folder
