#!/usr/bin/python3
"""harness.guests.win32_runner's exec, held to running a 32-bit .exe exactly as if it ran
locally: bytes out and in, exit statuses, arguments, concurrent runs, the time limit; and the
guest's clock, set to the host's.

Usage: windows_guest_test.py [EXE_DIR]   (as root; builds probe.exe into EXE_DIR, default a
temporary folder, and runs the table in one guest started with win32_runner run)
"""
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from harness import paths, windows
from harness.guests import win32_runner

GUEST = [paths.PYTHON, "-m", "harness.guests.win32_runner"]
# The module is found from any working directory.
ENV = dict(os.environ, PYTHONPATH=ROOT)

PROBE_C = r"""
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>

static void put_utf8(const wchar_t *w) {
  char buf[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, sizeof buf, NULL, NULL);
  fwrite(buf, 1, n > 0 ? n - 1 : 0, stdout);
  fputc('\n', stdout);
}

static void copy_file(const wchar_t *path, FILE *to) {
  char buf[65536];
  size_t n;
  FILE *f = _wfopen(path, L"rb");
  if (!f) exit(90);
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) fwrite(buf, 1, n, to);
  fclose(f);
}

/* cat STATUS OUT ERR: OUT's bytes to stdout, ERR's to stderr, exit STATUS
   args ARG...: each argument in UTF-8, one a line
   stdin: stdin to stdout
   cwd: the current directory
   wait PATH: until PATH exists (at most 60 s)   touch PATH: creates PATH
   sleep MS PATH: creates PATH after MS milliseconds */
int wmain(int argc, wchar_t **argv) {
  _setmode(0, _O_BINARY);
  _setmode(1, _O_BINARY);
  _setmode(2, _O_BINARY);
  if (argc == 5 && !wcscmp(argv[1], L"cat")) {
    copy_file(argv[3], stdout);
    copy_file(argv[4], stderr);
    fflush(stdout);
    return _wtoi(argv[2]);
  }
  if (argc >= 2 && !wcscmp(argv[1], L"args")) {
    for (int i = 2; i < argc; i++) put_utf8(argv[i]);
    return 0;
  }
  if (argc == 2 && !wcscmp(argv[1], L"stdin")) {
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) fwrite(buf, 1, n, stdout);
    return 0;
  }
  if (argc == 2 && !wcscmp(argv[1], L"cwd")) {
    wchar_t dir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, dir);
    put_utf8(dir);
    return 0;
  }
  if (argc == 3 && !wcscmp(argv[1], L"wait")) {
    for (int i = 0; i < 600; i++) {
      if (GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES) return 0;
      Sleep(100);
    }
    return 3;
  }
  if (argc == 3 && !wcscmp(argv[1], L"touch")) {
    FILE *f = _wfopen(argv[2], L"wb");
    return f && !fclose(f) ? 0 : 4;
  }
  if (argc == 4 && !wcscmp(argv[1], L"sleep")) {
    Sleep(_wtoi(argv[2]));
    FILE *f = _wfopen(argv[3], L"wb");
    return f && !fclose(f) ? 0 : 4;
  }
  return 99;
}
"""


def run(exe, args, stdin=b"", timeout=None, cwd=None):
    cmd = GUEST + ["exec"] + (["--timeout", str(timeout)] if timeout else []) + [exe] + args
    return subprocess.run(cmd, input=stdin, capture_output=True, cwd=cwd, env=ENV)


def inner(exe, share):
    results = []

    def check(name, got, want):
        ok = got == want
        results.append(ok)
        detail = "" if ok else ": got %r, want %r" % (got[:200], want[:200])
        print("%s %s%s" % ("ok  " if ok else "FAIL", name, detail), flush=True)

    rnd = random.Random(7)
    big = bytes(rnd.getrandbits(8) for _ in range(3 << 20)) + b"\0\r\n\r\nend"
    outputs = [
        ("binary, NUL, CR LF, no final newline, 3 MB", big, b"e\0rr\r\nno newline", 0),
        ("status 1", b"one\n", b"", 1),
        ("status 37", b"", b"thirty-seven\r\n", 37),
        ("status 255", b"\xff", b"\0", 255),
    ]
    for name, out, err, status in outputs:
        o, e = os.path.join(share, "out"), os.path.join(share, "err")
        with open(o, "wb") as f:
            f.write(out)
        with open(e, "wb") as f:
            f.write(err)
        r = run(exe, ["cat", str(status), windows.program_path(o), windows.program_path(e)])
        check(name, (r.stdout, r.stderr, r.returncode), (out, err, status))

    args = ["héllo wörld ✓", "日本語 text", "a\\b\\\\c", "trailing\\", "", "  two  spaces  "]
    r = run(exe, ["args"] + args)
    check("arguments verbatim (Unicode, spaces, backslashes, empty)",
          (r.stdout.decode(errors="replace"), r.returncode),
          ("".join(a + "\n" for a in args), 0))

    data = bytes(range(256)) * 64 + b"\r\nlast"
    r = run(exe, ["stdin"], stdin=data)
    check("stdin passed (a pipe)", (r.stdout, r.returncode), (data, 0))
    with open(os.path.join(share, "in"), "w+b") as f:
        f.write(data[::-1])
        f.seek(0)
        r = subprocess.run(GUEST + ["exec", exe, "stdin"], stdin=f, capture_output=True,
                           env=ENV)
    check("stdin passed (a file)", (r.stdout, r.returncode), (data[::-1], 0))
    r = subprocess.run(GUEST + ["exec", exe, "stdin"], stdin=subprocess.DEVNULL,
                       capture_output=True, env=ENV)
    check("stdin empty when it is no file or pipe", (r.stdout, r.returncode), (b"", 0))

    sub = os.path.join(share, "sub dir")
    os.makedirs(sub, exist_ok=True)
    r = run(exe, ["cwd"], cwd=sub)
    check("working directory inside the share kept",
          r.stdout.decode(errors="replace").strip().lower(), windows.program_path(sub).lower())

    flag = os.path.join(share, "flag")
    waiter = subprocess.Popen(GUEST + ["exec", "--timeout", "90", exe, "wait", windows.program_path(flag)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=ENV)
    r = run(exe, ["touch", windows.program_path(flag)], timeout=60)
    waiter.communicate(timeout=120)
    check("two runs at once (one waits for the other's file)",
          (r.returncode, waiter.returncode), (0, 0))

    marker = os.path.join(share, "late")
    r = run(exe, ["sleep", "5000", windows.program_path(marker)], timeout=1)
    time.sleep(6)
    check("time limit: status 124, the program ended in the guest",
          (r.returncode, os.path.exists(marker)), (124, False))

    marker = os.path.join(share, "orphan")
    p = subprocess.Popen(GUEST + ["exec", exe, "sleep", "5000", windows.program_path(marker)],
                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, env=ENV)
    time.sleep(2)
    p.send_signal(signal.SIGKILL)
    p.wait()
    time.sleep(6)
    check("exec killed on the host: the program ended in the guest",
          os.path.exists(marker), False)

    # A restored guest keeps the time of its saving until the session sets its clock.
    ctl = os.environ["TAMBER_WINDOWS_GUEST"]
    before = time.time_ns()
    inside = win32_runner.guest_time(ctl)
    after = time.time_ns()
    check("the guest's clock is the host's (within half a second)",
          before - 500_000_000 <= inside <= after + 500_000_000, True)

    failed = results.count(False)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--inner":
        sys.exit(inner(sys.argv[2], sys.argv[3]))
    if len(sys.argv) > 2:
        sys.exit(__doc__)
    out = sys.argv[1] if len(sys.argv) == 2 else tempfile.mkdtemp(prefix="tamber-wgt.")
    os.makedirs(out, exist_ok=True)
    src, exe = os.path.join(out, "probe.c"), os.path.join(os.path.abspath(out), "probe.exe")
    with open(src, "w") as f:
        f.write(PROBE_C)
    subprocess.run(["i686-w64-mingw32-gcc", "-municode", "-O1", "-static", "-o", exe, src],
                   check=True)
    runner = subprocess.run([windows.COMMAND, "--which", exe],
                            capture_output=True, check=True).stdout.decode().split("\t")[0]
    if runner != "guest":
        print(f"not run here: this host runs 32-bit programs under {runner}, not in the guest")
        sys.exit(77)
    # Built out here, where the package mirror is.
    win32_runner.image()
    with tempfile.TemporaryDirectory(prefix="tamber-wgs.") as share:
        # One guest for the table, in a network namespace of its own.
        r = subprocess.run(["unshare", "--net"] + GUEST + ["run", "--share", share, "--",
                            sys.executable, os.path.abspath(__file__), "--inner", exe, share],
                           env=ENV)
    sys.exit(r.returncode)


if __name__ == "__main__":
    main()
