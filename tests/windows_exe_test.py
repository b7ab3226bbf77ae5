#!/usr/bin/python3
"""What Windows reads from the .exe before any of its code runs: the functions it imports, each
held against the oldest Windows that has it, its PE header, its manifest and version information.
The 32-bit (i386) and the 64-bit (x86-64) .exe are told apart by the PE header's machine type.

Usage: windows_exe_test.py --version VERSION TAMBERLINE_EXE
"""
import os
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))
from suite import check, run_main
from pe import ARCHES, K, M, W, X64_TABLE, check_exe, import_problems
from harness.windows import machine


def machine_of(image):
    """harness.windows.machine of a file holding `image`, or why it refuses the file."""
    with tempfile.NamedTemporaryFile(suffix=".exe") as f:
        f.write(image)
        f.flush()
        try:
            return machine(f.name)
        except SystemExit as e:
            return str(e).rpartition(": ")[2]


def check_tables(check):
    """The machine type and the import rows per architecture, on made-up inputs."""
    def pe(kind):  # the DOS header, the signature and a file header of zeros but the machine
        return (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0"
                + struct.pack("<H", kind)).ljust(0x100, b"\0")

    for name, image, want in [
        ("i386", pe(0x014C), "i386"),
        ("x86-64", pe(0x8664), "x86_64"),
        ("ARM, not built here", pe(0x01C4), "machine type 0x1c4 is not run here"),
        ("no MZ", b"ZM" + pe(0x014C)[2:], "not a Windows program"),
        ("no PE signature", pe(0x014C).replace(b"PE\0\0", b"NE\0\0"), "not a Windows program"),
        ("cut short after the signature", pe(0x014C)[:0x44], "not a Windows program"),
    ]:
        check(f"machine type: {name}", machine_of(image), want)
    i386, x64 = ARCHES["i386"], ARCHES["x86_64"]
    for name, found, arch, want in [
        ("an x64-only import on i386", [(K, "RtlUnwindEx")], i386,
         [f"{K} RtlUnwindEx: not in the table"]),
        ("a 32-bit row carried to x64", [(W, "GetAddrInfoW")], x64, []),
        ("a Vista function on x64", [(K, "GetTickCount64")], x64,
         [f"{K} GetTickCount64: needs Windows Vista ({X64_TABLE[(K, 'GetTickCount64')][1]})"]),
        ("an x64 row", [(M, "__iob_func")], x64, []),
    ]:
        check(f"import rows: {name}", import_problems(found, arch), want)


def main():
    args = sys.argv[1:]
    if len(args) != 3 or args[0] != "--version":
        sys.exit(__doc__)
    check_tables(check)
    check_exe(args[2], args[1], check)


if __name__ == "__main__":
    run_main(main)
