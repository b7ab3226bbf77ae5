"""The host's side of the guest's agent (virtio-serial ports, one line each way) and of
qemu's monitor (QMP), in a control folder that holds their sockets."""
import fcntl
import json
import os
import socket
import time


class Fail(Exception):
    """The guest or qemu did not do what was asked."""


def take_port(ctl):
    """(lock fd, socket path) of a port of the guest behind `ctl` that no other run holds;
    waits for one."""
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
    """Sends `line` on the port at `path` and returns the first answer line (the first that
    starts with `expect`, if given); raises Fail on "error ..." or after `limit` seconds."""
    deadline = time.monotonic() + limit
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
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
                    return answer


def request(ctl, line, limit=30):
    """Sends one request on a free port of the guest behind `ctl`; returns the answer."""
    lock, port = take_port(ctl)
    try:
        return ask(port, line, limit)
    finally:
        os.close(lock)


def save(qmp_path, file):
    """Writes the state of the machine behind the QMP socket to `file`, then ends qemu."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(qmp_path)
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
        # Saved while running (an idle guest converges at once): a state saved stopped
        # would restore stopped.
        call("migrate", uri="exec:cat > '%s'" % file.replace("'", "'\\''"))
        while True:
            status = call("query-migrate").get("status")
            if status == "completed":
                break
            if status in ("failed", "cancelled"):
                raise Fail("saving the guest failed (%s)" % status)
            time.sleep(0.1)
        try:
            call("quit")
        except (OSError, ValueError):
            pass
