"""The NFS servers under test, each a context manager started inside the launcher's namespace:
nfs-ganesha with rpcbind (optionally taking calls only from reserved ports), and Linux's knfsd
in a guest (harness.guests.nfs_server)."""
import contextlib
import os
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Callable

from harness import procs

PROG = "test-server"
START_LIMIT = 30
PROBE_LIMIT = 5
LOG_TAIL = 40


class StartError(Exception):
    """The server did not start; the message says why (its log's end is already shown)."""


@dataclass
class Served:
    """A running server: where the client finds it, and whether it still runs."""
    addr: str
    export: str
    interface: str
    log: str
    alive: Callable[[], bool]


def log_tail(*files):
    """Shows the last lines of each non-empty file on stderr."""
    for path in files:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            with open(path, errors="replace") as f:
                lines = f.readlines()[-LOG_TAIL:]
            sys.stderr.write(f"{PROG}: last lines of {path}:\n{''.join(lines)}")


def wait_for(what, p, limit, ready, logs):
    """Polls `ready` every 50 ms for at most `limit` seconds; fails early if `p` ends."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if ready():
            return
        if p.poll() is not None:
            log_tail(*logs)
            raise StartError(f"{what} exited during start-up")
        time.sleep(0.05)
    log_tail(*logs)
    raise StartError(f"{what} not ready after {limit} s")


def rpcinfo(addr, program, version):
    """Whether `program` `version` answers over TCP at `addr` (a bounded probe)."""
    try:
        return subprocess.run(["rpcinfo", "-T", "tcp", addr, str(program), str(version)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=PROBE_LIMIT).returncode == 0
    except subprocess.TimeoutExpired:
        return False


GANESHA_CONF = """\
NFS_CORE_PARAM {{
  Protocols = 3;
  Enable_NLM = false;
  Enable_RQUOTA = false;
  Enable_UDP = false;
}}
NFSV4 {{
  Graceless = true;
  # Keeps the (unused) client recovery state out of /var/lib/nfs.
  RecoveryRoot = "{work}/recovery";
}}
MDCACHE {{
  # Tests change the export behind the server's back: cache no directory contents.
  Dir_Chunk = 0;
}}
EXPORT {{
  Export_Id = 1;
  Path = "{export}";
  Pseudo = "{export}";
  Protocols = 3;
  Transports = TCP;
  Access_Type = RO;
  SecType = sys;
  Squash = No_Root_Squash;
  PrivilegedPort = {privileged};
  # Attributes are fetched afresh on every request, for the same reason.
  Attr_Expiration_Time = 0;
  FSAL {{ Name = VFS; }}
}}
"""


@contextlib.contextmanager
def ganesha(export_dir, work, privileged=False):
    """rpcbind and nfs-ganesha exporting `export_dir`, their files in `work`; in a network
    and mount namespace of this process's own (it mounts a private /run)."""
    # Private /run (= /var/run) for rpcbind's socket, lock and warm-start files and
    # ganesha's run directory; the host's stay untouched.
    subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=0755", "tmpfs", "/run"], check=True)
    os.mkdir(os.path.join(work, "recovery"))
    conf, log, err = (os.path.join(work, n) for n in ("ganesha.conf", "ganesha.log",
                                                      "ganesha.err"))
    with open(conf, "w") as f:
        f.write(GANESHA_CONF.format(work=work, export=export_dir,
                                    privileged="true" if privileged else "false"))
    logs = (log, err)
    started = []
    try:
        rpcbind = procs.start(["rpcbind", "-f", "-w"])
        started.append(rpcbind)
        wait_for("rpcbind", rpcbind, START_LIMIT,
                 lambda: os.path.exists("/run/rpcbind.sock") and rpcinfo("127.0.0.1", 100000, 2),
                 logs)
        with open(err, "wb") as errf:
            nfsd = procs.start(["ganesha.nfsd", "-F", "-f", conf, "-L", log, "-p",
                                os.path.join(work, "ganesha.pid"), "-N", "NIV_EVENT"],
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=errf)
        started.append(nfsd)
        wait_for("ganesha.nfsd", nfsd, START_LIMIT,
                 lambda: rpcinfo("127.0.0.1", 100003, 3) and rpcinfo("127.0.0.1", 100005, 3),
                 logs)
        # ganesha still starts when it cannot export the directory (e.g. a file system
        # without file handle support); catch that here rather than as a failed MNT later.
        with open(log, errors="replace") as f:
            said = f.read()
        if "Could not create export" in said or "No export entries found" in said:
            log_tail(*logs)
            raise StartError(f"ganesha could not export {export_dir}")
        yield Served("127.0.0.1", export_dir, "lo", log, lambda: nfsd.poll() is None)
    finally:
        for p in reversed(started):
            procs.stop(p)


@contextlib.contextmanager
def knfsd(export_dir, work, insecure=False):
    """Linux's knfsd in a guest, serving an image of `export_dir` made at start."""
    from harness.guests import nfs_server
    with nfs_server.serve(export_dir, work, insecure) as served:
        yield served


def serve(kind, export_dir, work, privileged=False, insecure=False):
    """The server `kind` (ganesha, reserved-port or knfsd) as a context manager."""
    if kind == "knfsd":
        return knfsd(export_dir, work, insecure)
    return ganesha(export_dir, work, privileged or kind == "reserved-port")
