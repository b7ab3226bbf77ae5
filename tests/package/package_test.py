#!/usr/bin/env python3
"""What scripts/release ships, checked the way a user gets it: the Debian package and the
two Windows zips, each unpacked into a temporary folder (nothing is installed).

Usage: package_test.py [DIST_DIR]
DIST_DIR (by default the environment's TAMBER_PACKAGES) holds tamberline-<version>-win32.zip,
tamberline-<version>-win64.zip, tamberline_<version>_amd64.deb and SHA256SUMS.
"""
import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from pe import arch_of, check_exe  # noqa: E402
from suite import WINDOWS_RUN, check, not_run_here, summary  # noqa: E402
from usage import USAGE  # noqa: E402

COPYRIGHT = (b"Copyright the Tamberline developers. "
             b"No licence has been chosen yet: all rights reserved.\n")
MAINTAINER = "Tamberline developers <tamberline@example.invalid>"
# The DLLs every Windows has; the .exe must need no other.
SYSTEM_DLLS = ["KERNEL32.dll", "msvcrt.dll", "WS2_32.dll"]
# The Windows builds, by the name their zip ends in, with the PE machine of their .exe.
BUILDS = {"win32": "i386", "win64": "x86-64"}

def run(cmd, cwd=None, env=None):
    full_env = dict(os.environ)
    full_env.update(env or {})
    p = subprocess.run(cmd, capture_output=True, cwd=cwd, env=full_env, timeout=300,
                       stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout, p.stderr


def crlf_only(data):
    """True when every line of a non-empty text ends in CR LF and no CR stands alone."""
    return (data.endswith(b"\r\n") and data.count(b"\n") == data.count(b"\r\n")
            and data.count(b"\r") == data.count(b"\r\n"))


def find_packages(dist):
    """(version, {build: zip path}, .deb path), or None when the packages are not all there."""
    names = sorted(os.listdir(dist))
    zips = {b: [n for n in names if re.fullmatch(rf"tamberline-(.+)-{b}\.zip", n)]
            for b in BUILDS}
    debs = [n for n in names if re.fullmatch(r"tamberline_(.+)_amd64\.deb", n)]
    check("a win32 zip, a win64 zip, one .deb and SHA256SUMS",
          ({b: len(z) for b, z in zips.items()}, len(debs), "SHA256SUMS" in names),
          ({b: 1 for b in BUILDS}, 1, True))
    if any(len(z) != 1 for z in zips.values()) or len(debs) != 1:
        return None
    zips = {b: z[0] for b, z in zips.items()}
    version = re.fullmatch(r"tamberline-(.+)-win32\.zip", zips["win32"]).group(1)
    check("the packages carry one version", (zips["win64"], debs[0]),
          (f"tamberline-{version}-win64.zip", f"tamberline_{version}_amd64.deb"))
    code, out, err = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist)
    check("SHA256SUMS checks all three by bare name", (code, sorted(out.splitlines()), err),
          (0, sorted(f"{n}: OK".encode() for n in list(zips.values()) + debs), b""))
    return (version, {b: os.path.join(dist, z) for b, z in zips.items()},
            os.path.join(dist, debs[0]))


def test_deb(deb, version, work):
    code, out, err = run(["lintian", "--no-tag-display-limit", deb])
    print("lintian says:\n" + (out.decode() or "  nothing\n"), end="")
    errors = [line for line in out.decode().splitlines() if line.startswith("E:")]
    check("lintian finds no errors", (code, errors), (0, []))

    fields = ["Package", "Version", "Section", "Maintainer"]
    code, out, err = run(["dpkg-deb", "--field", deb] + fields)
    check("control fields", out.decode().splitlines(),
          ["Package: tamberline", f"Version: {version}", "Section: net",
           f"Maintainer: {MAINTAINER}"])
    code, out, err = run(["dpkg-deb", "--field", deb, "Depends", "Description"])
    depends = re.search(r"^Depends: (.*)$", out.decode(), re.M)
    names = {part.split()[0] for part in depends.group(1).split(",")} if depends else set()
    check("Depends names the C and C++ runtimes", {"libc6", "libstdc++6"} <= names, True)
    check("an extended description follows the short one",
          len(out.decode().split("Description: ", 1)[-1].splitlines()) > 1, True)

    code, out, err = run(["dpkg-deb", "--contents", deb])
    files = sorted(line.split()[-1] for line in out.decode().splitlines()
                   if not line.startswith("d"))
    check("package contents", files,
          ["./usr/bin/tamberline", "./usr/share/doc/tamberline/changelog.gz",
           "./usr/share/doc/tamberline/copyright", "./usr/share/man/man1/tamberline.1.gz"])

    root = os.path.join(work, "deb")
    code, out, err = run(["dpkg-deb", "-x", deb, root])
    check("dpkg-deb -x", (code, err), (0, b""))
    code, out, err = run([os.path.join(root, "usr", "bin", "tamberline")])
    check("the packaged binary prints the usage text", (code, out, err), (2, b"", USAGE))

    page = os.path.join(root, "usr", "share", "man", "man1", "tamberline.1.gz")
    code, out, err = run(["man", "--warnings", "-l", page],
                         env={"LC_ALL": "C", "MANWIDTH": "80", "MANPAGER": "cat"})
    check("man -l renders the manual page", (code, err), (0, b""))
    words = b" ".join(out.split())  # undoes the justified lines
    check("the page has its name line and version",
          (b"NAME tamberline - list a directory or copy a file from an NFS version 3 server"
           in words, f"Tamberline {version}".encode() in words), (True, True))

    doc = os.path.join(root, "usr", "share", "doc", "tamberline")
    with open(os.path.join(doc, "copyright"), "rb") as f:
        check("the copyright file", f.read(), COPYRIGHT)
    with gzip.open(os.path.join(doc, "changelog.gz"), "rb") as f:
        check("the changelog's latest entry is this version", f.readline(),
              f"tamberline ({version}) unstable; urgency=medium\n".encode())


def test_zip(archive, build, version, work):
    root = os.path.join(work, build)
    code, out, err = run(["unzip", "-q", archive, "-d", root])
    check(f"{build}: unzip", (code, err), (0, b""))
    top = f"tamberline-{version}-{build}"
    check(f"{build}: one top folder", os.listdir(root), [top])
    folder = os.path.join(root, top)
    texts = ["README.txt", "mingw-w64-copyright.txt", "tamberline.txt"]
    check(f"{build}: the folder's files", sorted(os.listdir(folder)),
          sorted(texts + ["tamberline.exe"]))
    contents = {}
    for name in texts:
        with open(os.path.join(folder, name), "rb") as f:
            contents[name] = f.read()
        check(f"{build}: {name} has CR LF line ends", crlf_only(contents[name]), True)
    check(f"{build}: the manual's text names the version",
          f"Tamberline {version}".encode() in contents["tamberline.txt"], True)
    if build == "win64":
        check("win64: no text says 32-bit",
              [name for name, data in contents.items() if b"32-bit" in data], [])

    exe = os.path.join(folder, "tamberline.exe")
    arch = arch_of(exe)
    check(f"{build}: the .exe's machine", arch.name, BUILDS[build])
    code, out, err = run([f"{arch.tools}-objdump", "--private-headers", "--section-headers", exe])
    dlls = re.findall(rb"DLL Name: (\S+)", out)
    check(f"{build}: the .exe needs only system DLLs and carries no debug information",
          (sorted(dlls), b".debug_" in out), (sorted(d.encode() for d in SYSTEM_DLLS), False))
    check_exe(exe, version, lambda name, got, want: check(f"{build} .exe: {name}", got, want))
    code, out, err = run([WINDOWS_RUN, exe])
    check(f"{build}: the .exe, run by scripts/windows-run, prints the usage text",
          (code, out, err), (2, b"", USAGE.replace(b"\n", b"\r\n")))
    # wine's server outlives the program by a few seconds; leave none behind.
    run([WINDOWS_RUN, "--wine", exe, "wineserver", "-w"])


def main():
    parser = argparse.ArgumentParser(description="Checks what scripts/release ships.")
    parser.add_argument("dist", nargs="?", default=os.environ.get("TAMBER_PACKAGES"),
                        help="the folder of the packages (default: TAMBER_PACKAGES)")
    args = parser.parse_args()
    if not args.dist:
        not_run_here("no packages: scripts/release --out DIR, then TAMBER_PACKAGES=DIR")
    found = find_packages(args.dist)
    if found:
        version, zips, deb = found
        work = tempfile.mkdtemp(prefix="tamber-package-")
        try:
            test_deb(deb, version, work)
            for build, archive in zips.items():
                test_zip(archive, build, version, work)
        finally:
            shutil.rmtree(work)
    return summary()


if __name__ == "__main__":
    sys.exit(main())
