#!/usr/bin/python3
"""The real binary against broken and hostile servers (hostile_server), inside a network
namespace of its own where the portmapper's port 111 is free (the emulated machine's
127.0.0.1 is this namespace's, over its tap).

Usage: hostile_test.py [--windows] [--mutations N] [--seed S] TAMBERLINE HOSTILE_SERVER
"""
import argparse
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from suite import check, not_run_here, run_main, runs
from harness import procs, where, windows
from terminal import ESCAPES, on_console, run_on_pty, screen

# What a mutated server's run must end as; a run that does not is shown with its figures.
SOUND = "status 0 or 1, at most one error line, under 10 s and 100 MB"


def run_client(argv, limit, address_space=None, env=None, measure=False):
    """Runs the client, with at most `address_space` bytes of memory if given; returns (status,
    stdout, stderr, seconds, with `measure` its own peak RSS in KiB: None when it was ended at
    `limit`). A signal's end is -signal, or 128 + signal measured."""
    def limit_memory():
        resource.setrlimit(resource.RLIMIT_AS, (address_space, address_space))

    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile() as peak:
        start = time.monotonic()
        p = subprocess.Popen(procs.measured(argv, peak.name) if measure else argv, stdout=out,
                             stderr=err, stdin=subprocess.DEVNULL, env=env,
                             preexec_fn=limit_memory if address_space else None)
        try:
            code = p.wait(limit)
        except subprocess.TimeoutExpired:
            p.kill()
            code = p.wait()
        seconds = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        return code, out.read(), err.read(), seconds, procs.peak(peak.name)


class Server:
    def __init__(self, exe, scenario):
        self.p = subprocess.Popen([exe] + scenario.split(), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE)
        ready = self.p.stdout.readline().split()
        if not ready or ready[0] != b"ready":
            raise RuntimeError(f"hostile_server {scenario} did not start: {ready!r}")
        self.kind = ready[2].decode() if len(ready) > 2 else None

    def finish(self):
        """Tells the server the client is done; returns the calls it received."""
        out, _ = self.p.communicate(b"done\n", timeout=30)
        return out.decode().split("\n")[:-1]


class Client:
    def __init__(self, exe, wine):
        self.prefix = windows.command(exe) if wine else [exe]
        self.wine = wine

    def local(self, path):
        return windows.program_path(path) if self.wine else path

    def run(self, args, limit=20, address_space=None):
        """(status, stdout, stderr, seconds, the program's peak RSS in KiB: None when it was
        ended at `limit`)."""
        if not self.wine:
            return run_client(self.prefix + args, limit, address_space, measure=True)
        # windows-run says the program's own peak wherever it runs: in the emulated machine
        # the program is no descendant of this process, and under wine it is not the child.
        with tempfile.NamedTemporaryFile() as peak:
            code, out, err, seconds, _ = run_client(
                self.prefix + args, limit, address_space,
                env=dict(os.environ, TAMBER_PEAK_LOG=peak.name))
            reported = peak.read().split()
        if not reported and code != -signal.SIGKILL:
            raise RuntimeError(f"windows-run reported no peak memory for {args!r}")
        rss = int(reported[-1]) if reported else None
        return code, out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n"), seconds, rss


def filled(n):
    return bytes((i * 7) & 0xFF for i in range(n))


SOUND_FILE = filled(32768) * 2 + filled(100)
GET = ["get", "127.0.0.1", "/export", "/f"]
LS = ["ls", "127.0.0.1", "/export", "/"]
PMAP, MNT, LOOKUP, READ, READDIR = "100000 3", "100005 1", "100003 3", "100003 6", "100003 16"

# scenario, command, status, stderr (a bytes prefix when it ends in "error "), calls or None
SCENARIOS = [
    ("sound-get", GET, 0, b"", [PMAP, PMAP, MNT, LOOKUP, READ, READ, READ]),
    ("sound-ls", LS, 0, b"", [PMAP, PMAP, MNT, READDIR, READDIR]),
    ("close-mid-record", LS, 1, b"error: recv failed with error ", [PMAP, MNT]),
    ("results-not-a-multiple-of-4", LS, 1, b"error: truncated XDR stream\n", None),
    ("wrong-xid", LS, 1, b"error: RPC xid mismatch\n", None),
    ("not-a-reply", LS, 1, b"error: RPC reply was not REPLY\n", None),
    ("denied", LS, 1, b"error: RPC message denied\n", None),
    ("rejected", LS, 1, b"error: RPC call rejected by server\n", None),
    ("mount-eacces", LS, 1, b"error: mountd rejected export with status EACCES\n", None),
    ("mount-nonzero", LS, 1, b"error: mountd rejected export with status nonzero\n", None),
    ("portmap-zero", LS, 1, b"error: portmapper returned no TCP port\n", [PMAP]),
    ("portmap-too-big", LS, 1, b"error: portmapper returned no TCP port\n", [PMAP]),
    ("portmap-rejected", LS, 1, b"error: RPC call rejected by server\n", [PMAP]),
    ("portmap-empty", LS, 1, b"error: truncated XDR stream\n", [PMAP]),
    ("readdir-stuck", LS, 1, b"error: NFS READDIR failed\n", [PMAP, PMAP, MNT, READDIR, READDIR]),
    ("readdir-empty-page", LS, 1, b"error: NFS READDIR failed\n", [PMAP, PMAP, MNT, READDIR]),
]


def expect_stderr(name, err, want):
    if want.endswith(b"error "):
        check(name + ": stderr", (err.startswith(want), err.count(b"\n")), (True, 1))
    else:
        check(name + ": stderr", err, want)


def test_scenarios(server_exe, client, work):
    for name, command, status, want_err, calls in SCENARIOS:
        local = os.path.join(work, name)
        args = command + ([client.local(local)] if command[0] == "get" else [])
        server = Server(server_exe, name)
        code, out, err, seconds, _ = client.run(args)
        received = server.finish()
        check(name + ": status", code, status)
        expect_stderr(name, err, want_err)
        if calls is not None:
            check(name + ": calls", received, calls)
        check(name + ": within seconds", seconds < 5, True)
        if name == "sound-get":
            check(name + ": stdout", out, b"wrote 65636 bytes\n")
            with open(local, "rb") as f:
                check(name + ": file", f.read() == SOUND_FILE, True)
        elif name == "sound-ls":
            check(name + ": stdout", out, b"".join(b"entry-%d\n" % i for i in range(1, 6)))
        else:
            check(name + ": stdout", out, b"")


# The client's file is held in pieces of 16 MiB (FileContents::default_piece_size); the second
# scenario fails the READ after the one that crossed the first piece boundary.
READ_FAILURES = [("read-fails", 2), ("read-fails-past-piece", (16 << 20) // 32768 + 2)]


def test_read_failure_leaves_local_file(server_exe, client, work):
    old = bytes(range(256)) * 3 + b"old bytes"
    for name, reads in READ_FAILURES:
        existing = os.path.join(work, name + "-existing")
        with open(existing, "wb") as f:
            f.write(old)
        missing = os.path.join(work, name + "-missing")
        for local in (existing, missing):
            server = Server(server_exe, name)
            code, out, err, _, _ = client.run(GET + [client.local(local)])
            calls = server.finish()
            check(name + ": outcome", (code, out, err), (1, b"", b"error: NFS READ failed\n"))
            check(name + ": calls", calls, [PMAP, PMAP, MNT, LOOKUP] + [READ] * reads)
        with open(existing, "rb") as f:
            check(name + ": existing file untouched", f.read() == old, True)
        check(name + ": no file created", os.path.exists(missing), False)


def test_out_of_memory(server_exe, client, work):
    """Memory that runs out during a copy ends it like any other failure: the standard
    library's message, and the local file as it was."""
    existing = os.path.join(work, "out-of-memory")
    with open(existing, "wb") as f:
        f.write(b"old bytes")
    server = Server(server_exe, "endless-get")
    code, out, err, _, _ = client.run(GET + [existing], address_space=48 << 20)
    reads = server.finish().count(READ)
    check("out of memory: outcome", (code, out, err), (1, b"", b"error: std::bad_alloc\n"))
    check("out of memory: past the first 16 MiB, short of the whole", 512 < reads < 2048, True)
    with open(existing, "rb") as f:
        check("out of memory: existing file untouched", f.read(), b"old bytes")


PACED_WROTE = b"wrote %d bytes" % (60 * 32768)


def status_lines(received):
    """The texts a run drew in place: each one a carriage return began."""
    texts = (t.strip() for t in ESCAPES.sub(b"", received).split(b"\r"))
    return [t for t in texts if t and not t.startswith(b"wrote")]


def on_terminal(client, args, columns, work):
    """(status, the screen at the end, the texts drawn in place) of a run on a terminal
    `columns` wide: a pty natively; for the .exe, wine's console in tmux, a real terminal."""
    if not client.wine:
        code, received = run_on_pty(client.prefix + args, columns=columns)
        return code, screen(received), status_lines(received)
    record = os.path.join(work, "terminal")
    code, shown = on_console(client.prefix + args, [f"WINEPREFIX={os.environ['WINEPREFIX']}"],
                             width=columns, record=record)
    with open(record, "rb") as f:
        received = f.read().rpartition(b"[exit ")[0]
    return code, shown, status_lines(received)


def test_progress(server_exe, client, work):
    """A copy that takes seconds shows a status line on a terminal and nowhere else; what stays
    on the screen is what a pipe would have received."""
    local = client.local(os.path.join(work, "paced"))
    # With standard error on a pipe, nothing but the usual output.
    server = Server(server_exe, "paced-get")
    code, out, err, _, _ = client.run(GET + [local])
    server.finish()
    check("progress: nothing on a pipe", (code, out, err), (0, PACED_WROTE + b"\n", b""))
    if not runs("progress on a terminal", "console"):
        return
    # On a terminal 80 columns wide, with a size the server tells truly.
    server = Server(server_exe, "paced-get")
    code, shown, lines = on_terminal(client, GET + [local], 80, work)
    server.finish()
    check("progress: the screen at the end", (code, shown), (0, [PACED_WROTE.decode()]))
    check("progress: a share of the total", any(b" of 1.9 MiB (" in t for t in lines), True)
    check("progress: then the write",
          bool(lines) and lines[-1].endswith(b"writing the local file"), True)
    # On a narrow terminal, with a size hint the bytes soon pass: no share, and nothing wider.
    server = Server(server_exe, "paced-get-lying")
    code, shown, lines = on_terminal(client, GET + [local], 40, work)
    server.finish()
    check("progress past a false size: the screen at the end", (code, shown),
          (0, [PACED_WROTE.decode()]))
    check("progress past a false size: lines, none with a share, none wider than 39",
          (bool(lines), [t for t in lines if b"%" in t or len(t) > 39]), (True, []))


def test_silence(server_exe, client):
    for name in ("silent", "silent-mid-record"):
        server = Server(server_exe, name)
        code, out, err, seconds, _ = client.run(LS, limit=30)
        server.finish()
        check(name + ": outcome", (code, out, err[:30]), (1, b"", b"error: recv failed with error "))
        check(name + ": gives up after about 8 s", 7.5 < seconds < 11, True)
        print(f"{name}: gave up after {seconds:.1f} s")


def test_huge_fragment(server_exe, client):
    server = Server(server_exe, "huge-fragment")
    code, out, err, _, rss = client.run(LS)
    server.finish()
    check("huge-fragment: outcome", (code, out, err[:30]), (1, b"", b"error: recv failed with error "))
    print(f"huge-fragment: peak RSS {rss} KiB for a header claiming 2 GiB")
    check("huge-fragment: memory follows the bytes sent", rss < 24 * 1024, True)


def test_mutations(server_exe, client, work, count, seed):
    outcomes = {}
    worst_rss = 0
    worst_time, start = 0.0, time.monotonic()
    for i in range(count):
        scenario = f"mutate {seed + i}"
        server = Server(server_exe, scenario)
        local = os.path.join(work, "mutated")
        args = (GET + [client.local(local)]) if server.kind == "get" else LS
        code, out, err, seconds, rss = client.run(args, limit=10)
        server.finish()
        lines = err.split(b"\n")[:-1] if err.endswith(b"\n") else err.split(b"\n")
        sound = (code == 0 and err == b"") or (
            code == 1 and len(lines) == 1 and lines[0].startswith(b"error: "))
        ended = (SOUND if sound and seconds < 10 and rss is not None and rss < 100 * 1024
                 else (code, err[:200], round(seconds, 1), rss))
        check(f"{scenario}: a sound ending", ended, SOUND, quiet=True)
        key = "ok" if code == 0 else (lines[0][7:].decode(errors="replace").split(" with error")[0]
                                      if lines else f"status {code}")
        outcomes[key] = outcomes.get(key, 0) + 1
        worst_rss = max(worst_rss, rss or 0)
        worst_time = max(worst_time, seconds)
    if count:
        print(f"mutations: {count} runs from seed {seed}; {(time.monotonic() - start) / count:.2f} "
              f"s each, slowest {worst_time:.2f} s, largest RSS {worst_rss} KiB")
        for key, n in sorted(outcomes.items(), key=lambda kv: -kv[1]):
            print(f"  {n:6d}  {key}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--windows", action="store_true")
    parser.add_argument("--mutations", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("tamberline")
    parser.add_argument("server")
    a = parser.parse_args()
    if reason := where.host_lacks(files=[a.server]):
        not_run_here(reason)
    client = Client(a.tamberline, a.windows)
    with tempfile.TemporaryDirectory() as work:
        test_scenarios(a.server, client, work)
        test_read_failure_leaves_local_file(a.server, client, work)
        test_progress(a.server, client, work)
        if runs("out of memory", "address-space limit"):
            test_out_of_memory(a.server, client, work)
        test_huge_fragment(a.server, client)
        test_silence(a.server, client)
        test_mutations(a.server, client, work, a.mutations, a.seed)


if __name__ == "__main__":
    run_main(main)
