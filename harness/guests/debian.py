"""The guests' shared recipe: a Debian 12 userland with a kernel unpacked into it, only the
kernel modules the guest loads, and an initramfs. Runs as root, with the package mirror."""
import glob
import os
import shutil
import subprocess

from harness import paths
from harness.guests import vm

SUITE = "bookworm"
# Unpacked, not installed: installing a kernel or busybox would bring initramfs-tools, udev
# and perl. mmdebstrap passes the root as $1; apt takes the run's configuration, and with it
# apt-fallback's preference.
UNPACK_HOOK = """cd "$1/tmp" && export APT_CONFIG=$MMDEBSTRAP_APT_CONFIG &&
kernel=$(apt-cache depends {kernel} |
  sed -n "s/^ *Depends: \\(linux-image-[0-9].*\\)/\\1/p" | head -n 1) &&
apt-get download -qq "$kernel" {extra} &&
dpkg-deb --fsys-tarfile ./linux-image-*.deb | tar -x --keep-directory-symlink -C "$1" &&
for deb in ./*.deb; do case $deb in ./linux-image-*) ;; *) dpkg-deb -x "$deb" "$1/tamber-extra" ;; esac; done &&
rm ./*.deb"""
DROPPED = ("boot", "var/cache/apt", "var/lib/apt/lists", "usr/share/doc", "usr/share/man",
           "usr/share/locale", "tamber-extra")


def run(cmd, log, **kw):
    """Runs `cmd` with its output appended to the open file `log`; raises on failure."""
    log.flush()
    subprocess.run(cmd, stdout=log, stderr=log, stdin=subprocess.DEVNULL, check=True, **kw)


def userland(root, include, kernel, log, extra=(), architectures=None):
    """Debian with the packages `include` in `root`, the newest image of the kernel package
    `kernel` unpacked into it, and the packages `extra` unpacked under root/tamber-extra."""
    vm.need("mmdebstrap", "cpio")
    opts = ["--variant=essential", "--mode=root", "--include=" + ",".join(include)]
    if architectures:
        opts.append("--architectures=" + ",".join(architectures))
    for folder in ("doc", "man", "locale", "info"):
        opts.append(f"--dpkgopt=path-exclude=/usr/share/{folder}/*")
    opts.append("--customize-hook=" + UNPACK_HOOK.format(kernel=kernel, extra=" ".join(extra)))
    # apt-fallback survives a mirror in mid-sync.
    run([os.path.join(paths.SCRIPTS, "apt-fallback"), "mmdebstrap", "--quiet", *opts, SUITE,
         root], log)
    return kernel_version(root)


def kernel_version(root):
    """The version of the one kernel under root/lib/modules."""
    (kver,) = os.listdir(os.path.join(root, "lib/modules"))
    return kver


def module_files(root, kver, modules):
    """The files of `modules` with their dependencies, in load order, as absolute paths
    inside `root`."""
    out = subprocess.run(["chroot", root, "/sbin/modprobe", "--set-version", kver,
                          "--show-depends", "--all", *modules],
                         capture_output=True, text=True, check=True).stdout
    files = []
    for line in out.splitlines():
        words = line.split()
        if words and words[0] == "insmod" and words[1] not in files:
            files.append(words[1])
    return files


def keep_modules(root, kver, modules, log):
    """Removes every kernel module but `modules` and their dependencies."""
    run(["chroot", root, "/sbin/depmod", kver], log)
    keep = {os.path.join(root, f.lstrip("/")) for f in module_files(root, kver, modules)}
    for path in glob.glob(os.path.join(root, "lib/modules", kver, "kernel/**/*.ko*"),
                          recursive=True):
        if path not in keep:
            os.unlink(path)
    run(["chroot", root, "/sbin/depmod", kver], log)


def strip(root, more=()):
    """Removes what a guest never reads: docs, apt's lists and caches, /boot, and `more`."""
    for name in DROPPED + tuple(more):
        for path in glob.glob(os.path.join(root, name)):
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.unlink(path)


def install(src, dst, mode=0o755):
    """Copies the recipe's file `src` to `dst` with `mode`."""
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    shutil.copyfile(src, dst)
    os.chmod(dst, mode)


def initramfs(folder, out):
    """Writes `folder` as a gzipped newc cpio archive to `out`."""
    with open(out, "wb") as f:
        find = subprocess.Popen(["find", ".", "-print0"], cwd=folder, stdout=subprocess.PIPE)
        cpio = subprocess.Popen(["cpio", "--null", "--create", "--format=newc", "--quiet"],
                                cwd=folder, stdin=find.stdout, stdout=subprocess.PIPE)
        find.stdout.close()
        gzip = subprocess.Popen(["gzip", "-1"], stdin=cpio.stdout, stdout=f)
        cpio.stdout.close()
        if gzip.wait() or cpio.wait() or find.wait():
            raise RuntimeError("making the initramfs failed")
