"""Linux's own NFS server (knfsd) in an emulated machine: the image (built once) and a guest
serving a directory's files, reached over a tap with loopback-range addresses."""
import collections
import contextlib
import os
import subprocess
import time

from harness import procs
from harness.guests import debian, vm
from harness.guests.nfs_server import probe, recipe

NAME = "nfs-server"
HERE = os.path.dirname(os.path.abspath(__file__))
# What goes into the image: a change to any of them builds a new one.
RECIPE = ("recipe.py", "init")
# Loopback-range addresses, so that nothing can leave for a real network, and no NAT, so that
# the guest sees the client's own source ports.
GUEST_ADDR = "127.3.0.2"
HOST_ADDR = "127.3.0.1"
EXPORT = "/srv/export"
TAP = "tamber0"

Served = collections.namedtuple("Served", "addr export interface log alive")


def image(build=True):
    """The built guest's folder; builds it on first use (root, the package mirror), or with
    build=False returns None when it is not built."""
    return vm.image(NAME, vm.recipe_key(HERE, RECIPE, [debian.__file__]), recipe, build)


def _export_image(export_dir, img):
    """An ext4 image of `export_dir`'s entries, and nothing else (no lost+found)."""
    vm.need("mkfs.ext4", "debugfs")
    # Twice the files' size, and room for the file system's own blocks and inodes.
    used = int(subprocess.run(["du", "-sk", export_dir], capture_output=True, text=True,
                              check=True).stdout.split()[0])
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    if subprocess.run(["mkfs.ext4", "-q", "-F", "-d", export_dir, "-L", "tamber", img,
                       f"{used * 2 + 16384}K"], **quiet).returncode:
        raise SystemExit("nfs_server: error: mkfs.ext4 could not make the export image")
    if subprocess.run(["debugfs", "-w", "-R", "rmdir lost+found", img], **quiet).returncode:
        raise SystemExit("nfs_server: error: debugfs could not remove lost+found from the "
                         "export image")


def _wait_ready(proc, log, limit=120):
    """Waits until the guest grants MNT of the export; stops with its console otherwise."""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        failed = False
        with contextlib.suppress(FileNotFoundError), open(log, "rb") as f:
            failed = b"tamber-guest: failed" in f.read()
        if failed or proc.poll() is not None:
            raise SystemExit("nfs_server: error: the knfsd guest exited during start-up\n" +
                             vm.tail(log, lines=40))
        if probe.mount_granted(GUEST_ADDR, EXPORT):
            return
        time.sleep(0.05)
    raise SystemExit(f"nfs_server: error: the knfsd guest not ready after {limit} s\n" +
                     vm.tail(log, lines=40))


@contextlib.contextmanager
def serve(export_dir, work, insecure=False):
    """Inside a fresh network and mount namespace: knfsd serving an image of `export_dir`
    (ro,sync,no_subtree_check, plus insecure if asked: without it only calls from reserved
    ports are taken), its files in the folder `work`; yields a Served."""
    folder = vm.built(NAME, image(build=False))
    img, log = os.path.join(work, "export.img"), os.path.join(work, "console.log")
    _export_image(export_dir, img)
    options = "ro,sync,no_subtree_check" + (",insecure" if insecure else "")
    with vm.tap(TAP, HOST_ADDR) as tap:
        proc = vm.start(vm.argv(
            *vm.accel(), "-m", "512", "-smp", "1",
            "-kernel", f"{folder}/vmlinuz", "-initrd", f"{folder}/initrd.img",
            "-append", f"console=ttyS0 quiet panic=-1 tamber.addr={GUEST_ADDR} "
                       f"tamber.export={EXPORT} tamber.options={options}",
            "-drive", f"file={img},format=raw,if=virtio,readonly=on",
            "-netdev", f"tap,id=net0,ifname={tap},script=no,downscript=no",
            "-device", "virtio-net-pci,netdev=net0", "-serial", f"file:{log}"),
            os.path.join(work, "qemu.err"))
        try:
            _wait_ready(proc, log)
            yield Served(GUEST_ADDR, EXPORT, tap, log, lambda: proc.poll() is None)
        finally:
            procs.stop(proc)
