#!/usr/bin/python3
"""Runs inside the 32-bit wine guest: answers the host on the virtio-serial ports tamber.*,
one request at a time per port, one line each way.

  hello                   -> ok (the agent answers: a restored guest has finished restoring)
  clock EPOCH_NS          sets the clock (a restored guest keeps the time of its saving) -> ok
  time                    -> time EPOCH_NS, the guest's clock
  sysctl NAME=VALUE       sets a kernel parameter -> ok
  ip ARGS...              runs ip with ARGS (split at spaces) -> ok
  mount TAG PATH          mounts the 9p share TAG at PATH -> ok
  run ID                  runs the program described in /tamber/ctl/ID
                          -> done ID STATUS MAXRSS (STATUS: 0..255, or "timeout"; MAXRSS:
                          the program's peak resident memory in KiB)

Any failure answers "error TEXT". A run ends when its program does, at its time limit, or
when the host side of its port closes.
"""
import os
import select
import signal
import subprocess
import sys
import threading
import time

# The harness's procs module lies beside this agent in the image: the peak is measured as on
# the host.
sys.path.insert(0, "/usr/local/lib/tamber")
import procs

CTL = "/tamber/ctl"
WORK = "/run/tamber"
WINE = "/usr/lib/wine/wine"
# wine's own environment comes with each run, from the host; the prefix is the one tamber-init
# made in this image.
BASE_ENV = {
    "PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin",
    "HOME": "/root",
    "LANG": "C.UTF-8",
}
PREFIX = "/opt/tamber/prefix"


def console(text):
    with open("/dev/console", "w") as f:
        f.write("tamber-guest: %s\n" % text)


def check(cmd):
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True)
    if r.returncode != 0:
        raise RuntimeError("%s: %s" % (cmd[0], r.stderr.decode(errors="replace").strip()))


def do_mount(tag, path):
    os.makedirs(path, exist_ok=True)
    # cache=none: the host sees every write at once, and the guest every change of the host's.
    check(["mount", "-t", "9p", "-o", "trans=virtio,version=9p2000.L,msize=512000,cache=none",
           tag, path])


def do_sysctl(setting):
    name, _, value = setting.partition("=")
    with open("/proc/sys/" + name.replace(".", "/"), "w") as f:
        f.write(value)


def read_list(path):
    with open(path, "rb") as f:
        data = f.read()
    return [x for x in data.split(b"\0")[:-1]] if data else []


def wait_program(fd, proc, limit, peak):
    """(status, peak KiB from the file `peak`) of the program `proc`; the status is "timeout"
    at the limit and "gone" when the host closes the port `fd`."""
    pidfd = os.pidfd_open(proc.pid)
    poller = select.poll()
    poller.register(pidfd, select.POLLIN)
    poller.register(fd, select.POLLIN)
    deadline = time.monotonic() + limit
    try:
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return "timeout", 0
            for f, _ in poller.poll(left * 1000):
                if f == pidfd:
                    status = proc.wait()
                    return str(status & 0xFF), procs.peak(peak) or 0
                if not os.read(fd, 4096):
                    # The host side closed: nobody waits for this program any more.
                    return "gone", 0
    finally:
        os.close(pidfd)
        if proc.returncode is None:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:  # it has ended meanwhile
                pass
            proc.wait()


def do_run(fd, rid):
    d = os.path.join(CTL, rid)
    work = os.path.join(WORK, rid)
    os.makedirs(work)
    try:
        # wine reads an .exe on 9p as zeros: it runs from the guest's own memory.
        with open(os.path.join(d, "name"), "rb") as f:
            exe = os.path.join(os.fsencode(work), f.read())
        with open(os.path.join(d, "exe"), "rb") as src, open(exe, "wb") as dst:
            while os.sendfile(dst.fileno(), src.fileno(), None, 1 << 20):
                pass
        args = read_list(os.path.join(d, "args"))
        env = dict(BASE_ENV)
        for item in read_list(os.path.join(d, "env")):
            k, _, v = item.partition(b"=")
            env[os.fsdecode(k)] = os.fsdecode(v)
        env["WINEPREFIX"] = PREFIX
        # wine turns the arguments into UTF-16 by the character set of LC_CTYPE.
        if "LC_ALL" not in env and "LC_CTYPE" not in env:
            env["LC_CTYPE"] = "C.UTF-8"
        with open(os.path.join(d, "cwd"), "rb") as f:
            cwd = f.read() or os.fsencode(work)
        with open(os.path.join(d, "timeout")) as f:
            limit = float(f.read())
        with open(os.path.join(d, "stdin"), "rb") as i, \
                open(os.path.join(d, "stdout"), "wb") as o, \
                open(os.path.join(d, "stderr"), "wb") as e:
            peak = os.path.join(work, "peak")
            proc = subprocess.Popen(procs.measured([WINE, exe] + args, peak), stdin=i, stdout=o,
                                    stderr=e, cwd=cwd, env=env, start_new_session=True)
        return wait_program(fd, proc, limit, peak)
    finally:
        subprocess.run(["rm", "-rf", work])


def handle(fd, line):
    word, _, rest = line.partition(" ")
    if word == "hello":
        return "ok"
    if word == "clock":
        time.clock_settime_ns(time.CLOCK_REALTIME, int(rest))
        return "ok"
    if word == "time":
        return "time %d" % time.clock_gettime_ns(time.CLOCK_REALTIME)
    if word == "sysctl":
        do_sysctl(rest)
        return "ok"
    if word == "ip":
        check(["ip"] + rest.split(" "))
        return "ok"
    if word == "mount":
        tag, _, path = rest.partition(" ")
        do_mount(tag, path)
        return "ok"
    if word == "run":
        status, peak = do_run(fd, rest)
        return None if status == "gone" else "done %s %s %d" % (rest, status, peak)
    raise RuntimeError("unknown request " + word)


def serve(dev):
    fd = os.open(dev, os.O_RDWR)
    buf = b""
    while True:
        data = os.read(fd, 4096)
        if not data:
            # No host on this port: reads return at once until one connects.
            buf = b""
            time.sleep(0.05)
            continue
        buf += data
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            try:
                reply = handle(fd, line.decode())
            except Exception as e:  # the host gets the cause; the port stays served
                reply = "error " + str(e).replace("\n", " ")
            if reply is not None:
                try:
                    os.write(fd, (reply + "\n").encode())
                except OSError:
                    pass


def main():
    os.makedirs(WORK, exist_ok=True)
    threads = []
    for entry in sorted(os.listdir("/sys/class/virtio-ports")):
        with open("/sys/class/virtio-ports/%s/name" % entry) as f:
            if f.read().strip().startswith("tamber."):
                t = threading.Thread(target=serve, args=("/dev/" + entry,), daemon=True)
                t.start()
                threads.append(t)
    if not threads:
        console("failed: no tamber.* virtio-serial port")
        sys.exit(1)
    console("ready")
    for t in threads:
        t.join()


if __name__ == "__main__":
    main()
