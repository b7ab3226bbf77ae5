#!/usr/bin/python3
"""What scripts/release ships, checked the way a user gets it: the Debian package and the
two Windows zips, each unpacked into a temporary folder (nothing is installed).

Usage: package_test.py [--url-base URL] [DIST_DIR]
DIST_DIR (by default the environment's TAMBER_PACKAGES) holds tamberline-<version>-win32.zip,
tamberline-<version>-win64.zip, tamberline_<version>_amd64.deb and SHA256SUMS, and the Scoop
and winget manifests that scripts/release --url-base URL wrote (URL by default the
environment's TAMBER_URL_BASE).
"""
import argparse
import gzip
import hashlib
import json
import os
import re
import subprocess
import sys
import zipfile

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.join(HERE, "..", "..")
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(TOP, "packaging"))
from suite import check, not_run_here, run_main, work_folder
from harness import windows
from pe import arch_of, check_exe
from usage import USAGE
import sign

with open(os.path.join(TOP, "LICENSE"), "rb") as f:
    LICENSE = f.read()


def debian_copyright(license_text):
    """The .deb's copyright file for LICENSE's text, in Debian's machine-readable format:
    the notice's holder in Copyright, the permission text folded under License."""
    notice, _, terms = license_text.partition(b"\n\n")
    holder = notice.removeprefix(b"Copyright ")
    folded = b"".join(b" " + (line or b".") + b"\n" for line in terms.rstrip(b"\n").split(b"\n"))
    return (b"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
            b"Upstream-Name: Tamberline\n\n"
            b"Files: *\nCopyright: " + holder + b"\nLicense: MIT\n" + folded)


COPYRIGHT = debian_copyright(LICENSE)
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
    manifests = [os.path.relpath(os.path.join(top, n), dist)
                 for top, _, files in os.walk(os.path.join(dist, "manifests")) for n in files]
    manifests += ["tamberline.json"] if "tamberline.json" in names else []
    code, out, err = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist)
    check("SHA256SUMS checks the packages, BUILDINFO and the manifests by their names in the "
          "folder", (code, sorted(out.splitlines()), err),
          (0, sorted(f"{n}: OK".encode()
                     for n in [*zips.values(), *debs, "BUILDINFO", *manifests]), b""))
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
    texts = ["README.txt", "mingw-w64-copyright.txt", "tamberline.txt", "LICENSE.txt"]
    check(f"{build}: the folder's files", sorted(os.listdir(folder)),
          sorted(texts + ["tamberline.exe"]))
    contents = {}
    for name in texts:
        with open(os.path.join(folder, name), "rb") as f:
            contents[name] = f.read()
        check(f"{build}: {name} has CR LF line ends", crlf_only(contents[name]), True)
    check(f"{build}: the manual's text names the version",
          f"Tamberline {version}".encode() in contents["tamberline.txt"], True)
    check(f"{build}: LICENSE.txt is LICENSE", contents["LICENSE.txt"],
          LICENSE.replace(b"\n", b"\r\n"))
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
    # In a session, whose wineserver ends with it: none is left behind.
    code, out, err = run([windows.COMMAND, "--session", exe, "--", *windows.command(exe)])
    check(f"{build}: the .exe, run by scripts/windows-run, prints the usage text",
          (code, out, err), (2, b"", USAGE.replace(b"\n", b"\r\n")))


# Each Windows build with what Scoop and winget call its architecture.
MANIFEST_ARCHS = {"win32": ("32bit", "x86"), "win64": ("64bit", "x64")}
WINGET_ID = "Tamberline.Tamberline"
WINGET_FILES = {"version": f"{WINGET_ID}.yaml", "installer": f"{WINGET_ID}.installer.yaml",
                "locale": f"{WINGET_ID}.locale.en-US.yaml"}
HEX64 = {"lower": re.compile(r"[0-9a-f]{64}"), "upper": re.compile(r"[0-9A-F]{64}")}


class Manifest(yaml.SafeLoader):
    """YAML as winget reads it, where a key given twice is a fault, not the last one winning."""

    def construct_mapping(self, node, deep=False):
        keys = [self.construct_object(key, deep=deep) for key, _ in node.value]
        twice = [key for i, key in enumerate(keys) if key in keys[:i]]
        if twice:
            raise yaml.constructor.ConstructorError(None, None, f"a key given twice: {twice}",
                                                    node.start_mark)
        return super().construct_mapping(node, deep)


def field_problems(where, mapping, fields):
    """Messages for each of fields (name: its type, or the one value it may have) that mapping
    lacks or gets wrong."""
    if not isinstance(mapping, dict):
        return [f"{where}: not a mapping"]
    problems = []
    for name, want in fields.items():
        if name not in mapping:
            problems.append(f"{where}: {name} missing")
        elif isinstance(want, type):
            if not isinstance(mapping[name], want):
                problems.append(f"{where}: {name} is not a {want.__name__}")
        elif mapping[name] != want:
            problems.append(f"{where}: {name} is {mapping[name]!r}, not {want!r}")
    return problems


def download_problems(where, url, digest, case, path, zip_info, base):
    """Messages for a download's URL (base/<the zip>), hash (the zip's) and path (in the zip)."""
    name, sha256, files = zip_info
    problems = []
    if not url.startswith(base + "/"):
        problems.append(f"{where}: {url} is not under {base}/")
    elif url[len(base) + 1:] != name:
        problems.append(f"{where}: {url} names {url[len(base) + 1:]}, not {name}")
    if not HEX64[case].fullmatch(digest):
        problems.append(f"{where}: the hash is not 64 {case}-case hex digits")
    elif digest.lower() != sha256:
        problems.append(f"{where}: the hash is not the SHA-256 of {name}")
    if path not in files:
        problems.append(f"{where}: {path} is not in {name}")
    return problems


def manifest_problems(texts, zips, version, base):
    """Messages for what is wrong in the manifests' texts ({"scoop", "version", "installer",
    "locale": text}) of the zips ({build: (name, SHA-256, the files in it)})."""
    try:
        scoop = json.loads(texts["scoop"])
        winget = {kind: yaml.load(texts[kind], Manifest) for kind in WINGET_FILES}
    except (ValueError, yaml.YAMLError) as e:
        return [f"a manifest does not parse: {e}"]
    problems = field_problems("scoop", scoop, {
        "version": version, "homepage": str, "license": "MIT", "description": str,
        "architecture": dict, "bin": "tamberline.exe"})
    archs = scoop.get("architecture") if isinstance(scoop, dict) else None
    scoop_downloads = {}
    for build, (scoop_arch, _) in MANIFEST_ARCHS.items():
        entry = archs.get(scoop_arch) if isinstance(archs, dict) else None
        where = f"scoop {scoop_arch}"
        found = field_problems(where, entry, {"url": str, "hash": str, "extract_dir": str})
        problems += found
        if not found and scoop.get("bin") == "tamberline.exe":
            path = f"{entry['extract_dir']}/tamberline.exe"
            problems += download_problems(where, entry["url"], entry["hash"], "lower", path,
                                          zips[build], base)
            scoop_downloads[build] = (entry["url"], entry["hash"].lower(), path)

    head = {"PackageIdentifier": WINGET_ID, "PackageVersion": version}
    tail = {"ManifestVersion": "1.12.0"}
    problems += field_problems("winget version", winget["version"], {
        **head, "DefaultLocale": "en-US", "ManifestType": "version", **tail})
    problems += field_problems("winget locale", winget["locale"], {
        **head, "PackageLocale": "en-US", "Publisher": str, "PackageName": str,
        "License": "MIT", "ShortDescription": str, "ManifestType": "defaultLocale", **tail})
    installer = winget["installer"]
    problems += field_problems("winget installer", installer, {
        **head, "InstallerType": "zip", "NestedInstallerType": "portable", "Installers": list,
        "ManifestType": "installer", **tail})
    entries = installer.get("Installers") if isinstance(installer, dict) else None
    entries = entries if isinstance(entries, list) else []
    by_arch = {}
    for entry in entries:
        arch = entry.get("Architecture") if isinstance(entry, dict) else None
        if arch in by_arch:
            problems.append(f"winget installer: two installers for {arch}")
        by_arch[arch] = entry
    for build, (scoop_arch, arch) in MANIFEST_ARCHS.items():
        where = f"winget {arch}"
        entry = by_arch.get(arch)
        if entry is None:
            problems.append(f"{where}: no installer")
            continue
        found = field_problems(where, entry, {"InstallerUrl": str, "InstallerSha256": str,
                                              "NestedInstallerFiles": list})
        nested = entry.get("NestedInstallerFiles") if not found else None
        if nested is not None and len(nested) != 1:
            found.append(f"{where}: not one NestedInstallerFiles entry")
        elif nested is not None:
            found += field_problems(f"{where} NestedInstallerFiles", nested[0], {
                "RelativeFilePath": str, "PortableCommandAlias": "tamberline"})
        problems += found
        if found:
            continue
        path = nested[0]["RelativeFilePath"].replace("\\", "/")
        problems += download_problems(where, entry["InstallerUrl"], entry["InstallerSha256"],
                                      "upper", path, zips[build], base)
        winget_download = (entry["InstallerUrl"], entry["InstallerSha256"].lower(), path)
        if build in scoop_downloads and scoop_downloads[build] != winget_download:
            problems.append(f"scoop {scoop_arch} and winget {arch} differ in URL, hash or path")
    return problems


def read_manifests(dist, version):
    """{kind: text} of the Scoop and the three winget manifests, or None when not all there."""
    folder = os.path.join("manifests", WINGET_ID[0].lower(), *WINGET_ID.split("."), version)
    written = sorted(os.path.relpath(os.path.join(d, f), dist)
                     for d, _, files in os.walk(os.path.join(dist, "manifests")) for f in files)
    check("the manifests: tamberline.json, and winget's three files in their folder",
          (os.path.isfile(os.path.join(dist, "tamberline.json")), written),
          (True, sorted(os.path.join(folder, f) for f in WINGET_FILES.values())))
    texts = {}
    for kind, path in [("scoop", "tamberline.json")] + [
            (kind, os.path.join(folder, f)) for kind, f in WINGET_FILES.items()]:
        if not os.path.isfile(os.path.join(dist, path)):
            return None
        with open(os.path.join(dist, path), encoding="utf-8") as f:
            texts[kind] = f.read()
    return texts


# Broken manifests, each made by one substitution (file, pattern, replacement; "{v}" stands
# for the version and "{base}" for the URL base), with the message that must name the fault.
BROKEN = [
    ("scoop: a wrong hash", "scoop", r'"hash": "[0-9a-f]+"', '"hash": "' + "0" * 64 + '"',
     "scoop 32bit: the hash is not the SHA-256 of tamberline-{v}-win32.zip"),
    ("winget: a wrong hash", "installer", r"InstallerSha256: '[0-9A-F]+'",
     "InstallerSha256: '" + "AB" * 32 + "'",
     "winget x86: the hash is not the SHA-256 of tamberline-{v}-win32.zip"),
    ("winget: a lower-case hash", "installer", r"InstallerSha256: '([0-9A-F]+)'",
     lambda m: f"InstallerSha256: '{m.group(1).lower()}'",
     "winget x86: the hash is not 64 upper-case hex digits"),
    ("scoop: no license", "scoop", r'\n *"license": "MIT",', "", "scoop: license missing"),
    ("winget: no InstallerType", "installer", r"\nInstallerType: '[^']*'", "",
     "winget installer: InstallerType missing"),
    ("winget: no Publisher", "locale", r"\nPublisher: '[^']*'", "",
     "winget locale: Publisher missing"),
    ("winget: an unquoted version, which YAML reads as a number", "version",
     r"PackageVersion: '([^']*)'", r"PackageVersion: 1.5",
     "winget version: PackageVersion is 1.5, not '{v}'"),
    ("scoop: another version", "scoop", r'"version": "[^"]*"', '"version": "9.9"',
     "scoop: version is '9.9', not '{v}'"),
    ("winget: a path the zip lacks", "installer", r"win64\\tamberline\.exe'",
     r"win64\\bin\\tamberline.exe'",
     "winget x64: tamberline-{v}-win64/bin/tamberline.exe is not in tamberline-{v}-win64.zip"),
    ("scoop: a folder the zip lacks", "scoop", r'"extract_dir": "[^"]*"',
     '"extract_dir": "tamberline"',
     "scoop 32bit: tamberline/tamberline.exe is not in tamberline-{v}-win32.zip"),
    ("winget: x86 pointing at the 64-bit zip", "installer", r"-win32\.zip'", "-win64.zip'",
     "winget x86: {base}/tamberline-{v}-win64.zip names tamberline-{v}-win64.zip, "
     "not tamberline-{v}-win32.zip"),
    ("scoop: 32bit pointing at the 64-bit zip", "scoop", r'-win32\.zip"', '-win64.zip"',
     "scoop 32bit: {base}/tamberline-{v}-win64.zip names tamberline-{v}-win64.zip, "
     "not tamberline-{v}-win32.zip"),
    ("scoop: a URL outside the base", "scoop", r'"url": "[^"]*-win64\.zip"',
     '"url": "https://example.net/tamberline-{v}-win64.zip"',
     "scoop 64bit: https://example.net/tamberline-{v}-win64.zip is not under {base}/"),
    ("winget: no x64 installer", "installer", r"Architecture: 'x64'",
     "Architecture: 'arm64'", "winget x64: no installer"),
]


def test_manifests(dist, zip_paths, version, base):
    """The manifests name the zips as they are; each broken one is rejected, naming its fault."""
    texts = read_manifests(dist, version)
    if texts is None:
        return
    zips = {}
    for build, path in zip_paths.items():
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with zipfile.ZipFile(path) as z:
            zips[build] = (os.path.basename(path), digest, set(z.namelist()))
    check("the manifests are right", manifest_problems(texts, zips, version, base), [])
    for name, kind, pattern, replacement, message in BROKEN:
        if isinstance(replacement, str):
            replacement = replacement.replace("{v}", version)
        broken = dict(texts)
        broken[kind], count = re.subn(pattern, replacement, texts[kind], count=1)
        message = message.replace("{v}", version).replace("{base}", base)
        problems = manifest_problems(broken, zips, version, base)
        check(f"broken manifest, {name}: rejected as such",
              (count, message in problems), (1, True))
        if message not in problems:
            print(f"  it said: {problems}")


SIGNING_PASSWORD = "throwaway"
SIGNING_TIME = 1796688000  # 2026-12-08 00:00 UTC; any fixed time will do


def test_signing(exes, work):
    """Signing each shipped .exe as scripts/release does with a throwaway self-signed
    certificate: it verifies against that certificate, is the same bytes each time, and
    gives back the unsigned .exe when its signature is removed."""
    keys = os.path.join(work, "signing")
    os.mkdir(keys)
    key, cert, pkcs12 = (os.path.join(keys, n) for n in ("key.pem", "cert.pem", "key.p12"))
    made = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                "-subj", "/CN=Tamberline test signer", "-keyout", key, "-out", cert,
                "-addext", "keyUsage=digitalSignature", "-addext", "extendedKeyUsage=codeSigning"])
    packed = run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pkcs12,
                  "-passout", "pass:" + SIGNING_PASSWORD])
    check("a throwaway code-signing certificate", (made[0], packed[0]), (0, 0))
    for build, exe in exes.items():
        check(f"{build}: the shipped .exe is unsigned", sign.signed(exe), False)
        once, twice, bare = (os.path.join(keys, f"{build}-{n}.exe")
                             for n in ("once", "twice", "bare"))
        try:
            for target in (once, twice):
                sign.sign(exe, target, pkcs12, SIGNING_PASSWORD, SIGNING_TIME)
        except subprocess.CalledProcessError as e:
            check(f"{build}: osslsigncode signs", e.returncode, 0)
            continue
        check(f"{build}: signed, it carries a signature", sign.signed(once), True)
        with open(once, "rb") as f, open(twice, "rb") as g:
            check(f"{build}: signed twice, the same bytes", f.read() == g.read(), True)
        code, out, err = run(["osslsigncode", "verify", "-CAfile", cert, "-in", once])
        check(f"{build}: osslsigncode verify passes against the certificate, signed on the "
              f"given day", (code, b"Signature verification: ok" in out,
                             b"Signing time: Dec  8 00:00:00 2026 GMT" in out), (0, True, True))
        code, out, err = run(["osslsigncode", "remove-signature", "-in", once, "-out", bare])
        with open(bare, "rb") as f, open(exe, "rb") as g:
            check(f"{build}: the signature removed, the unsigned .exe's bytes",
                  (code, f.read() == g.read()), (0, True))


def main():
    parser = argparse.ArgumentParser(description="Checks what scripts/release ships.")
    parser.add_argument("--url-base", default=os.environ.get("TAMBER_URL_BASE"),
                        help="the base the manifests were written for (default: TAMBER_URL_BASE)")
    parser.add_argument("dist", nargs="?", default=os.environ.get("TAMBER_PACKAGES"),
                        help="the folder of the packages (default: TAMBER_PACKAGES)")
    args = parser.parse_args()
    if not args.dist:
        not_run_here("no packages: scripts/release --out DIR, then TAMBER_PACKAGES=DIR")
    if not args.url_base:
        parser.error("no --url-base and no TAMBER_URL_BASE: the manifests cannot be checked")
    found = find_packages(args.dist)
    if found:
        version, zips, deb = found
        with work_folder("tamber-package-") as work:
            test_deb(deb, version, work)
            for build, archive in zips.items():
                test_zip(archive, build, version, work)
            test_manifests(args.dist, zips, version, args.url_base.rstrip("/"))
            test_signing({build: os.path.join(work, build, f"tamberline-{version}-{build}",
                                              "tamberline.exe") for build in zips}, work)


if __name__ == "__main__":
    run_main(main)
