"""The 32-bit wine guest: Debian's generic kernel (the cloud one has no 9p), an initramfs
that mounts an ext4 root holding wine32 and a prefix made once inside it, and the machine's
state saved once ready, to be restored for each session."""
import lzma
import os
import shutil
import subprocess

from harness import procs
from harness.guests import debian, vm
from harness.guests.win32_runner import channel

HERE = os.path.dirname(os.path.abspath(__file__))
# python3, not python3-minimal: the agent's procs needs ctypes; time measures a program's peak.
INCLUDE = ("wine32:i386", "python3", "kmod", "iproute2", "procps", "mount", "time")
# The initramfs loads what mounts the root; the root loads the rest.
EARLY = ("virtio_pci", "virtio_blk", "ext4", "overlay")
LATE = ("virtio_net", "virtio_console", "9p", "9pnet_virtio")
PORTS = 4
# The saved guest knows its network card by this address.
MAC = "52:54:00:7a:6d:01"
IMAGE = ("vmlinuz", "initrd.img", "root.img", "state")


def machine(folder, mode, share, io, ctl, tap):
    """qemu's command line for the guest in `folder`, the same at saving and restoring (the
    devices must not change between the two): `mode` prepare or run, the 9p shares `share`
    and `io`, the sockets and console in `ctl`, the network on `tap`."""
    # qemu's own emulation everywhere: a state restores only under the accelerator and
    # processor it was saved with. Without -smap: under qemu 7.2's TCG every 32-bit wine
    # process dies in a guest oops. Four-level page tables and no Spectre mitigations:
    # cheaper to emulate.
    cmd = vm.argv(
        "-M", "pc", "-accel", "tcg,tb-size=256", "-cpu", "max,-smap,-la57", "-smp", "1",
        "-m", "1024", "-kernel", f"{folder}/vmlinuz", "-initrd", f"{folder}/initrd.img",
        "-append", f"console=ttyS0 quiet panic=-1 mitigations=off tamber.mode={mode}",
        "-drive", f"file={folder}/root.img,format=raw,if=virtio,"
                  f"readonly={'off' if mode == 'prepare' else 'on'}",
        "-netdev", f"tap,id=n0,ifname={tap},script=no,downscript=no",
        "-device", f"virtio-net-pci,netdev=n0,mac={MAC}",
        "-fsdev", f"local,id=fs0,path={share},security_model=passthrough",
        "-device", "virtio-9p-pci,fsdev=fs0,mount_tag=share",
        "-fsdev", f"local,id=fs1,path={io},security_model=passthrough",
        "-device", "virtio-9p-pci,fsdev=fs1,mount_tag=ctl",
        "-device", "virtio-serial-pci",
        "-serial", f"file:{ctl}/console.log", "-qmp", f"unix:{ctl}/qmp,server=on,wait=off")
    for i in range(PORTS):
        cmd += ["-chardev", f"socket,id=p{i},path={ctl}/port{i},server=on,wait=off",
                "-device", f"virtserialport,chardev=p{i},name=tamber.{i}"]
    return cmd


def complete(folder):
    """Whether `folder` holds a built guest."""
    return all(os.path.isfile(os.path.join(folder, f)) for f in IMAGE)


def boot(folder, mode, ctl, tap):
    """Boots the guest in `folder` cold: prepare makes the prefix in the image; run saves
    the machine to folder/state once the agent is ready. True when that worked."""
    for sub in ("empty", "io"):
        os.makedirs(os.path.join(ctl, sub), exist_ok=True)
    empty, log = os.path.join(ctl, "empty"), os.path.join(ctl, "console.log")
    if os.path.exists(log):
        os.unlink(log)
    proc = vm.start(machine(folder, mode, empty, os.path.join(ctl, "io"), ctl, tap),
                    os.path.join(ctl, "qemu.log"))
    try:
        if mode == "prepare":
            ok = vm.wait_console(log, "prepared", proc, 900)
            proc.wait(60)
            return ok
        if not vm.wait_console(log, "ready", proc, 300):
            return False
        # Before any 9p mount: a mounted share blocks saving.
        channel.save(os.path.join(ctl, "qmp"), os.path.join(folder, "state.new"))
        os.rename(os.path.join(folder, "state.new"), os.path.join(folder, "state"))
        return True
    finally:
        procs.stop(proc)


def _boots(folder, ctl):
    """The prefix made in the image, then the saved state; in a network namespace."""
    with vm.tap("tamberw0") as tap:
        if not boot(folder, "prepare", ctl, tap):
            raise RuntimeError("preparing the prefix failed")
        # The blocks the prefix's DLL copies freed become holes again.
        img = os.path.join(folder, "root.img")
        subprocess.run(["e2fsck", "-fy", img], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        subprocess.run(["e2image", "-ra", img, img + ".sparse"], check=True,
                       stderr=subprocess.DEVNULL)
        os.rename(img + ".sparse", img)
        if not boot(folder, "run", ctl, tap):
            raise RuntimeError("saving the guest failed")


def _unpack_module(src, dst):
    if src.endswith(".xz"):
        with lzma.open(src) as f, open(dst, "wb") as out:
            shutil.copyfileobj(f, out)
    elif src.endswith(".zst"):
        with open(dst, "wb") as out:
            subprocess.run(["zstd", "-qdc", src], stdout=out, check=True)
    else:
        shutil.copyfile(src, dst)


def build(out):
    """Builds the guest into the empty folder `out` (root, the package mirror; minutes)."""
    vm.need("mmdebstrap", "cpio", "mkfs.ext4", "e2image", "ip")
    vm.qemu_version()
    scratch = os.path.dirname(out)
    root, initrd, ctl = (os.path.join(scratch, n) for n in ("root", "initrd", "ctl"))
    with open(os.path.join(out, "log"), "w") as log:
        kver = debian.userland(root, INCLUDE, "linux-image-amd64", log, extra=["busybox-static"],
                               architectures=["amd64", "i386"])
        shutil.copyfile(f"{root}/boot/vmlinuz-{kver}", os.path.join(out, "vmlinuz"))
        debian.keep_modules(root, kver, EARLY + LATE, log)

        for sub in ("bin", "dev", "proc", "sys", "newroot", "lower", "rw", "mod"):
            os.makedirs(os.path.join(initrd, sub))
        debian.install(f"{root}/tamber-extra/bin/busybox", f"{initrd}/bin/busybox")
        for n, m in enumerate(debian.module_files(root, kver, EARLY), 1):
            _unpack_module(root + m, f"{initrd}/mod/{n}.ko")
        debian.install(os.path.join(HERE, "initramfs-init"), f"{initrd}/init")
        debian.initramfs(initrd, os.path.join(out, "initrd.img"))

        debian.install(os.path.join(HERE, "agent.py"), f"{root}/sbin/tamber-agent")
        debian.install(procs.__file__, f"{root}/usr/local/lib/tamber/procs.py", 0o644)
        debian.install(os.path.join(HERE, "tamber-init"), f"{root}/sbin/tamber-init")
        debian.install(os.path.join(HERE, "link_dlls.py"), f"{root}/sbin/tamber-link-dlls")
        debian.strip(root)
        os.makedirs(f"{root}/opt/tamber")
        os.makedirs(f"{root}/tamber/ctl")
        # Room for the prefix before its DLL copies become links.
        used = int(subprocess.run(["du", "-sk", root], capture_output=True, text=True,
                                  check=True).stdout.split()[0])
        debian.run(["mkfs.ext4", "-q", "-F", "-d", root, "-L", "tamber-wine",
                    os.path.join(out, "root.img"), f"{used + 1024 * 1024}K"], log)
        shutil.rmtree(root)
        log.flush()
        if vm.in_own_netns(_boots, out, ctl) != 0:
            raise SystemExit("guests: error: building the 32-bit wine guest failed\n" +
                             vm.tail(os.path.join(out, "log"), f"{ctl}/console.log",
                                     f"{ctl}/qemu.log"))
