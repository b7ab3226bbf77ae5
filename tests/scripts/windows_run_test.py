#!/usr/bin/python3
"""harness/windows.py (scripts/windows-run): which runner each program gets, and when 32-bit
wine is asked at all."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from suite import check, summary

from harness import windows as wr

WORKS = (True, "32-bit wine runs here")
FAILS = (False, "32-bit wine fails here: Exec format error")
# machine, TAMBER_WINDOWS_RUNNER, what the probe finds, the runner, whether the probe ran
CHOICES = [
    ("x86_64", "", FAILS, "wine64", False),
    ("i386", "", WORKS, "wine32", True),
    ("i386", "", FAILS, "guest", True),
    ("i386", "guest", WORKS, "guest", False),
    ("i386", "wine32", FAILS, "wine32", False),
    ("x86_64", "guest", WORKS, "guest", False),
]
for kind, forced, probe, runner, probed in CHOICES:
    asked = []

    def wine32(found=probe):
        asked.append(True)
        return found

    got, _ = wr.choose(kind, forced, wine32)
    check(f"{kind}, forced {forced or 'nothing'}, 32-bit wine {probe[0]}", (got, bool(asked)),
          (runner, probed))

try:
    wr.choose("i386", "wine16", lambda: WORKS)
    check("an unknown forced runner is refused", "accepted", "refused")
except SystemExit as e:
    check("an unknown forced runner is refused", "not one of" in str(e), True)

# The machine type as the PE header gives it, for both builds' headers as written by hand.
for name, code, kind in (("i386", 0x014C, "i386"), ("x86-64", 0x8664, "x86_64")):
    image = bytearray(256)
    image[:2], image[0x3C:0x40] = b"MZ", (0x80).to_bytes(4, "little")
    image[0x80:0x84], image[0x84:0x86] = b"PE\0\0", code.to_bytes(2, "little")
    path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"tamber-pe-{os.getpid()}-{name}")
    with open(path, "wb") as f:
        f.write(image)
    try:
        check(f"machine type {name}", wr.machine(path), kind)
    finally:
        os.remove(path)

# wine's lines out, the program's bytes exact, however the pieces fall.
W = b"0050:err:winediag:nodrv_CreateWindow no driver\n"
STREAMS = [
    ("only the program", [b"error: NFS READ failed\r\n"], b"error: NFS READ failed\r\n", 0),
    ("wine's line before", [W + b"error: x\r\n"], b"error: x\r\n", 1),
    ("between two writes of a line", [b"error: x", W, b"\r\n"], b"error: x\r\n", 1),
    ("after a number", [b"error 10061", W + b"\r\n"], b"error 10061\r\n", 1),
    ("split across pieces", [W[:9], W[9:] + b"ok\r\n"], b"ok\r\n", 1),
    ("no final line end", [b"a\x00b\r\nlast"], b"a\x00b\r\nlast", 0),
]
for name, pieces, program, wine_lines in STREAMS:
    lines = wr.WineLines()
    got = b"".join(lines.feed(p) for p in pieces) + lines.finish()
    check(f"stderr: {name}", (got, len(lines.kept)), (program, wine_lines))

sys.exit(summary())
