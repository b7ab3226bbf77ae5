#!/usr/bin/python3
"""scripts/apt-fallback and scripts/deps against a local repository caught in a mirror sync.

Usage: apt_fallback_test.py SCRIPTS_DIR

The repository (file://, unsigned) has a release suite with libtamber1 1.0 for amd64 and i386,
and a security suite with 1.1 for both whose i386 index no longer matches the size in its
Release file. As on a machine that had its amd64 lists before i386 was added, the security
suite's amd64 index is fetched first, then the failing i386 one. apt runs with its own
configuration, state and cache in a temporary folder: the machine's apt state is neither read
nor changed, and nothing is installed.
"""
import email.utils
import hashlib
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from suite import check as counted, run_main

CODENAME = "tamber"
ARCHES = ("amd64", "i386")
# (suite, package, version, architecture, extra control fields)
PACKAGES = [(CODENAME, "libtamber1", "1.0", a, ["Multi-Arch: same"]) for a in ARCHES] + [
    (CODENAME + "-security", "libtamber1", "1.1", a, ["Multi-Arch: same"]) for a in ARCHES] + [
    (CODENAME, "tamber-demo", "1.0", "amd64", ["Depends: libtamber1"]),
    (CODENAME, "tamber-wine", "1.0", "i386", ["Depends: libtamber1"])]
FALLBACK = (f"apt-fallback: apt-get failed; trying again with {CODENAME}'s own suite preferred "
            "(security updates are skipped for this install)")
def write(path, text, mode="w"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode) as f:
        f.write(text)


def build_repository(repo):
    indices = {}
    for suite, name, version, arch, extra in PACKAGES:
        fields = [f"Package: {name}", f"Version: {version}", f"Architecture: {arch}",
                  "Maintainer: Tamber <tamber@example.invalid>", "Description: test"] + extra
        src = os.path.join(repo, "src", f"{name}_{version}_{arch}")
        write(os.path.join(src, "DEBIAN", "control"), "\n".join(fields) + "\n")
        deb = f"pool/{name}_{version}_{arch}.deb"
        os.makedirs(os.path.join(repo, "pool"), exist_ok=True)
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "--build", src,
                        os.path.join(repo, deb)], check=True, capture_output=True)
        data = open(os.path.join(repo, deb), "rb").read()
        fields += [f"Filename: {deb}", f"Size: {len(data)}",
                   f"SHA256: {hashlib.sha256(data).hexdigest()}"]
        indices.setdefault(suite, dict.fromkeys(ARCHES, ""))[arch] += "\n".join(fields) + "\n\n"
    for suite, by_arch in indices.items():
        sums = ""
        for arch, text in by_arch.items():
            write(os.path.join(repo, "dists", suite, f"main/binary-{arch}/Packages"), text)
            sums += f" {hashlib.sha256(text.encode()).hexdigest()} {len(text)} " \
                    f"main/binary-{arch}/Packages\n"
        date = email.utils.formatdate(time.time() - 3600, usegmt=True)
        write(os.path.join(repo, "dists", suite, "Release"),
              f"Suite: {suite}\nCodename: {suite}\nArchitectures: {' '.join(ARCHES)}\n"
              f"Components: main\nDate: {date}\nSHA256:\n{sums}")
    # The mirror's sync has replaced the index but not yet its Release file.
    write(os.path.join(repo, "dists", CODENAME + "-security", "main/binary-i386/Packages"),
          "\n", "a")


def write_sources(top, arches):
    write(os.path.join(top, "etc", "sources.list"), "".join(
        f"deb [trusted=yes arch={arches}] file:{top}/repo {suite} main\n"
        for suite in (CODENAME, CODENAME + "-security")))


def apt_environment(top):
    for d in ("state/lists/partial", "cache/archives/partial", "log"):
        os.makedirs(os.path.join(top, d))
    write(os.path.join(top, "dpkg", "status"), "")
    write_sources(top, "amd64")
    user = subprocess.run(["id", "-un"], capture_output=True, text=True, check=True).stdout
    # Download-Only and a dpkg that does nothing, should anything get as far as installing.
    config = {"Dir::Etc": f"{top}/etc", "Dir::State": f"{top}/state",
              "Dir::State::status": f"{top}/dpkg/status", "Dir::Cache": f"{top}/cache",
              "Dir::Log": f"{top}/log", "APT::Architecture": "amd64",
              "Debug::NoLocking": "true", "APT::Sandbox::User": user.strip(),
              "Acquire::Languages": "none", "APT::Get::Download-Only": "true",
              "Dir::Bin::dpkg": "/bin/false"}
    write(os.path.join(top, "apt.conf"), "".join(f'{k} "{v}";\n' for k, v in config.items())
          + 'APT::Architectures { "amd64"; "i386"; };\n')
    write(os.path.join(top, "os-release"), f'NAME="Tamber"\nVERSION_CODENAME={CODENAME}\n')
    return dict(os.environ, APT_CONFIG=os.path.join(top, "apt.conf"),
                TAMBER_OS_RELEASE=os.path.join(top, "os-release"), LC_ALL="C")


def run(cmd, env):
    p = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=120,
                       stdin=subprocess.DEVNULL)
    ours = [line for line in p.stderr.splitlines() if line.startswith(("deps:", "apt-fallback:"))]
    return p.returncode, p.stdout + p.stderr, ours


def main():
    scripts = os.path.abspath(sys.argv[1])
    install = ["apt-get", "install", "-s", "tamber-demo", "tamber-wine:i386"]

    def check(what, ok, out):
        """A check of one run, whose whole output is shown when it fails."""
        if not counted(what, ok, True):
            print(out)

    with tempfile.TemporaryDirectory(prefix="tamber-apt.") as top:
        build_repository(os.path.join(top, "repo"))
        env = apt_environment(top)
        status, out, _ = run(["apt-get", "update"], env)
        check("the first update, amd64 alone, finds every index", status == 0, out)
        # i386 is added; the security suite keeps its old amd64 index.
        write_sources(top, "amd64,i386")
        status, out, _ = run(["apt-get", "update"], env)
        check("the second update reports the index that failed its size check", status != 0 and
              "security/main/binary-i386/Packages  Hash Sum mismatch" in out and
              "Filesize:" in out, out)

        status, out, ours = run(install, env)
        check("the plain install cannot be resolved",
              status != 0 and "held broken packages" in out, out)
        status, out, ours = run([os.path.join(scripts, "apt-fallback")] + install, env)
        check("the fallback says so in one line and resolves with the release's versions",
              status == 0 and ours == [FALLBACK] and "Inst libtamber1 (1.0 " in out and
              "Inst libtamber1:i386 (1.0 " in out, out)

        # Both tries fail: the demo's packages, as deps lists them, are not in this repository.
        demo = " ".join(subprocess.run([os.path.join(scripts, "deps"), "--list", "demo"],
                                       capture_output=True, text=True, check=True).stdout.split())
        status, out, ours = run([os.path.join(scripts, "deps"), "demo"], env)
        check("deps names what it could not install and the command to try", status == 1 and
              ours == ["deps: apt-get update failed for some index; going on, the install decides",
                       FALLBACK, f"deps: could not install {demo}; to see why, try by hand: "
                       f"apt-get install --no-install-recommends {demo}"], out)
        status, out, _ = run([os.path.join(scripts, "deps")], env)
        check("deps without a purpose prints its usage", status == 2 and "usage:" in out, out)


if __name__ == "__main__":
    run_main(main)
