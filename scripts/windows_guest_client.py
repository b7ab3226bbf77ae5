#!/usr/bin/env python3
"""The host's side of scripts/windows-guest: talks to the guest's agent and to qemu.

  windows_guest_client.py exec CTL TIMEOUT EXE [ARGS...]
      runs EXE under wine in the guest behind control folder CTL; exits with its status
  windows_guest_client.py request CTL LIMIT LINE
      sends one request line on a free port, prints the answer; fails on "error ..."
  windows_guest_client.py save QMP FILE
      writes the state of the VM behind the QMP socket to FILE, ends qemu

CTL holds port0.. (the virtio-serial ports' sockets), share (the share's path) and io/ (the
per-run files, mounted in the guest at /tamber/ctl).
"""
import fcntl
import json
import os
import shutil
import signal
import socket
import stat
import sys
import time

PASSED = ("LANG", "WINEDEBUG")
PASSED_PREFIXES = ("LC_", "TAMBER_")


class Fail(Exception):
    pass


def take_port(ctl):
    """Returns (lock fd, socket path) of a port no other run holds; waits for one."""
    ports = sorted(p for p in os.listdir(ctl) if p.startswith("port") and "." not in p)
    if not ports:
        raise Fail("no port in %s (is the guest running?)" % ctl)
    while True:
        for p in ports:
            lock = os.open(os.path.join(ctl, p + ".lock"), os.O_RDWR | os.O_CREAT, 0o600)
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return lock, os.path.join(ctl, p)
            except BlockingIOError:
                os.close(lock)
        time.sleep(0.05)


def ask(path, line, limit, expect=None):
    """Sends LINE on the port at PATH and returns the first answer line (the one starting
    with EXPECT, if given, skipping others)."""
    deadline = time.monotonic() + limit
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(limit)
    s.connect(path)
    s.sendall(line.encode() + b"\n")
    buf = b""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Fail("no answer to %r within %g s" % (line.split(" ")[0], limit))
        s.settimeout(left)
        try:
            data = s.recv(4096)
        except socket.timeout:
            continue
        if not data:
            raise Fail("the guest closed the port")
        buf += data
        while b"\n" in buf:
            answer, buf = buf.split(b"\n", 1)
            answer = answer.decode(errors="replace")
            if answer.startswith("error "):
                raise Fail("guest: " + answer[6:])
            if expect is None or answer.startswith(expect):
                s.close()
                return answer


def write_list(path, items):
    with open(path, "wb") as f:
        for item in items:
            f.write(item + b"\0")


def inside(path, top):
    return path == top or path.startswith(top.rstrip("/") + "/")


def run_exec(ctl, limit, exe, args):
    with open(os.path.join(ctl, "share")) as f:
        share = f.read()
    rid = "%d-%d" % (os.getpid(), time.monotonic_ns())
    d = os.path.join(ctl, "io", rid)
    os.mkdir(d)
    try:
        shutil.copyfile(exe, os.path.join(d, "exe"))
        with open(os.path.join(d, "name"), "wb") as f:
            f.write(os.path.basename(os.fsencode(exe)))
        write_list(os.path.join(d, "args"), [os.fsencode(a) for a in args])
        env = [k + b"=" + v for k, v in os.environb.items()
               if k.decode() in PASSED or k.decode().startswith(PASSED_PREFIXES)]
        if not any(e.startswith(b"WINEDEBUG=") for e in env):
            env.append(b"WINEDEBUG=-all")
        write_list(os.path.join(d, "env"), env)
        cwd = os.getcwd()
        with open(os.path.join(d, "cwd"), "w") as f:
            f.write(cwd if inside(cwd, os.path.realpath(share)) else "")
        with open(os.path.join(d, "timeout"), "w") as f:
            f.write(str(limit))
        with open(os.path.join(d, "stdin"), "wb") as f:
            try:
                mode = os.fstat(0).st_mode
            except OSError:
                mode = 0
            if stat.S_ISREG(mode) or stat.S_ISFIFO(mode):
                shutil.copyfileobj(sys.stdin.buffer, f)
        for name in ("stdout", "stderr"):
            open(os.path.join(d, name), "wb").close()
        lock, port = take_port(ctl)
        # The guest ends the program at the limit; the margin covers the copy and the reply.
        answer = ask(port, "run " + rid, limit + 60, "done " + rid + " ")
        os.close(lock)
        status = answer.split(" ")[2]
        for name, fd in (("stdout", 1), ("stderr", 2)):
            with open(os.path.join(d, name), "rb") as f:
                while True:
                    chunk = f.read(1 << 20)
                    if not chunk:
                        break
                    view = memoryview(chunk)
                    while view:
                        view = view[os.write(fd, view):]
        if status == "timeout":
            sys.stderr.write("windows-guest: %s ended at its time limit of %g s\n" % (exe, limit))
            return 124
        return int(status)
    finally:
        shutil.rmtree(d, ignore_errors=True)


def qmp(sock_path, commands):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(sock_path)
    f = s.makefile("rwb")
    f.readline()  # greeting

    def call(name, **args):
        f.write(json.dumps({"execute": name, "arguments": args}).encode() + b"\n")
        f.flush()
        while True:
            msg = json.loads(f.readline())
            if "event" in msg:
                continue
            if "error" in msg:
                raise Fail("qmp %s: %s" % (name, msg["error"].get("desc")))
            return msg.get("return")

    call("qmp_capabilities")
    return commands(call)


def save(sock_path, file):
    # Saved while running (an idle guest converges at once): a state saved stopped would
    # restore stopped.
    def steps(call):
        call("migrate", uri="exec:cat > '%s'" % file.replace("'", "'\\''"))
        while True:
            st = call("query-migrate").get("status")
            if st == "completed":
                break
            if st in ("failed", "cancelled"):
                raise Fail("saving the guest failed (%s)" % st)
            time.sleep(0.1)
        try:
            call("quit")
        except (OSError, ValueError):
            pass

    qmp(sock_path, steps)


def main():
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    argv = sys.argv[1:]
    try:
        if len(argv) >= 4 and argv[0] == "exec":
            sys.exit(run_exec(argv[1], float(argv[2]), argv[3], argv[4:]))
        if len(argv) == 4 and argv[0] == "request":
            lock, port = take_port(argv[1])
            print(ask(port, argv[3], float(argv[2])))
            return
        if len(argv) == 3 and argv[0] == "save":
            save(argv[1], argv[2])
            return
    except (Fail, OSError) as e:
        sys.stderr.write("windows-guest: error: %s\n" % e)
        sys.exit(125)
    sys.stderr.write(__doc__)
    sys.exit(2)


if __name__ == "__main__":
    main()
