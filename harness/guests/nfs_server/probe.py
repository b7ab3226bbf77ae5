"""Whether a host's mount daemon grants MNT of an export: the portmapper gives the mount
daemon's TCP port, then one MNT call; tells when an NFS server is ready."""
import socket
import struct

PMAP, MOUNT, TCP = 100000, 100005, 6


def _opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


def _connect(host, port, limit):
    # From a reserved port where one can be bound, as servers that insist on them want.
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(limit)
    for local in range(1023, 664, -1):
        try:
            s.bind(("0.0.0.0", local))
            break
        except OSError:  # busy, or not allowed: an ordinary port
            continue
    s.connect((host, port))
    return s


def _call(host, port, prog, vers, proc, args, limit):
    """The result bytes of one accepted call; raises on anything else."""
    cred = struct.pack(">I", 0) + _opaque(b"probe") + struct.pack(">III", 0, 0, 0)
    msg = struct.pack(">IIIIII", 1, 0, 2, prog, vers, proc) + struct.pack(">I", 1) + \
        _opaque(cred) + struct.pack(">II", 0, 0) + args
    with _connect(host, port, limit) as s:
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


def mount_granted(host, export, limit=5):
    """True when `host` grants MNT of `export`; False when it does not answer so, within
    `limit` seconds per call."""
    try:
        (port,) = struct.unpack(">I", _call(host, 111, PMAP, 2, 3,
                                            struct.pack(">IIII", MOUNT, 3, TCP, 0), limit)[:4])
        if not port:
            return False
        (status,) = struct.unpack(">I", _call(host, port, MOUNT, 3, 1,
                                              _opaque(export.encode()), limit)[:4])
        return status == 0
    except (OSError, RuntimeError, struct.error):
        return False
