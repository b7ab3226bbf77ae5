#!/usr/bin/env python3
"""Exits 0 when HOST's mount daemon grants MNT of EXPORT: the portmapper gives the mount
daemon's TCP port, then one MNT call. Calls come from a reserved port where one can be bound,
as servers that insist on them want. Used by scripts/test-server to tell when a server is ready.

Usage: mount_probe.py HOST EXPORT
"""
import socket
import struct
import sys

PMAP, MOUNT, TCP = 100000, 100005, 6


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def connect(host, port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(5)
    for local in range(1023, 664, -1):
        try:
            s.bind(("0.0.0.0", local))
            break
        except OSError:  # busy, or not allowed: an ordinary port
            continue
    s.connect((host, port))
    return s


def call(host, port, prog, vers, proc, args):
    """The result bytes of one accepted call; raises on anything else."""
    cred = struct.pack(">I", 0) + opaque(b"probe") + struct.pack(">III", 0, 0, 0)
    msg = struct.pack(">IIIIII", 1, 0, 2, prog, vers, proc) + struct.pack(">I", 1) + \
        opaque(cred) + struct.pack(">II", 0, 0) + args
    with connect(host, port) as s:
        s.sendall(struct.pack(">I", 0x80000000 | len(msg)) + msg)
        reply = b""
        while True:
            mark = s.recv(4, socket.MSG_WAITALL)
            (word,) = struct.unpack(">I", mark)
            reply += s.recv(word & 0x7FFFFFFF, socket.MSG_WAITALL)
            if word & 0x80000000:
                break
    xid, kind, status, _, verf_len = struct.unpack(">IIIII", reply[:20])
    body = reply[20 + verf_len + (-verf_len % 4):]
    if (xid, kind, status) != (1, 1, 0) or struct.unpack(">I", body[:4])[0] != 0:
        raise RuntimeError("call not accepted")
    return body[4:]


def main():
    host, export = sys.argv[1], sys.argv[2].encode()
    (port,) = struct.unpack(">I", call(host, 111, PMAP, 2, 3,
                                       struct.pack(">IIII", MOUNT, 3, TCP, 0))[:4])
    (status,) = struct.unpack(">I", call(host, port, MOUNT, 3, 1, opaque(export))[:4])
    return 0 if port and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
