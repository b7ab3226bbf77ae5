"""The knfsd guest: Debian 12's cloud kernel and an initramfs holding a minimal userland with
nfs-kernel-server and rpcbind, whose PID 1 is the file `init` beside this one."""
import os
import shutil

from harness.guests import debian, vm

HERE = os.path.dirname(os.path.abspath(__file__))
# nfs-common comes with nfs-kernel-server; its client tools are removed below.
INCLUDE = ("nfs-kernel-server", "rpcbind", "kmod", "iproute2", "mount")
MODULES = ("virtio_pci", "virtio_net", "virtio_blk", "ext4", "nfsd")
# Nothing in the tests runs an NFS client but the tool itself.
CLIENT_TOOLS = ("sbin/mount.nfs", "sbin/mount.nfs4", "sbin/umount.nfs", "sbin/umount.nfs4",
                "usr/sbin/showmount", "usr/sbin/nfsstat", "usr/sbin/nfsiostat",
                "usr/sbin/mountstats", "usr/sbin/nfsidmap", "usr/sbin/rpc.gssd",
                "usr/sbin/rpc.svcgssd", "usr/sbin/blkmapd", "usr/sbin/sm-notify",
                "usr/sbin/rpc.statd", "usr/sbin/start-statd", "usr/sbin/rpcctl")
IMAGE = ("vmlinuz", "initrd.img")


def complete(folder):
    """Whether `folder` holds a built guest."""
    return all(os.path.isfile(os.path.join(folder, f)) for f in IMAGE)


def build(out):
    """Builds the guest into the empty folder `out` (root, the package mirror; a minute)."""
    vm.need("mmdebstrap", "cpio")
    root = os.path.join(os.path.dirname(out), "root")
    with open(os.path.join(out, "log"), "w") as log:
        kver = debian.userland(root, INCLUDE, "linux-image-cloud-amd64", log)
        shutil.copyfile(f"{root}/boot/vmlinuz-{kver}", os.path.join(out, "vmlinuz"))
        # Only the modules the guest loads, with their dependencies; no NFS client among them.
        debian.keep_modules(root, kver, MODULES, log)
        debian.strip(root, CLIENT_TOOLS + tuple("usr/" + t for t in CLIENT_TOOLS) +
                     ("usr/lib/python3*", "usr/bin/python3*"))
        debian.install(os.path.join(HERE, "init"), os.path.join(root, "init"))
        debian.initramfs(root, os.path.join(out, "initrd.img"))
    shutil.rmtree(root)
