#!/usr/bin/python3
"""Writes the Scoop and winget manifests of the Windows zips in a release folder.

Usage: manifests.py --url-base URL DIR
       manifests.py --url-base URL --check-url
DIR holds tamberline-<version>-win32.zip and tamberline-<version>-win64.zip, which will be
downloadable as URL/<zip name>. Writes DIR/tamberline.json (Scoop) and the three winget files
in DIR/manifests/t/Tamberline/Tamberline/<version>/.
"""
import argparse
import hashlib
import json
import os
import re
import sys
import urllib.parse
import zipfile

IDENTIFIER = "Tamberline.Tamberline"
PUBLISHER = "Tamberline developers"
NAME = "Tamberline"
LICENSE = "MIT"
DESCRIPTION = "List a directory or copy a file from an NFS version 3 server"
WINGET_VERSION = "1.12.0"
# Each zip by the name it ends in, with what Scoop and winget call its architecture.
ARCHITECTURES = {"win32": ("32bit", "x86"), "win64": ("64bit", "x64")}
EXE = "tamberline.exe"


def check_url_base(base):
    """The base without a trailing slash; raises ValueError when it is no plain http(s) URL."""
    parts = urllib.parse.urlsplit(base)
    if (parts.scheme not in ("https", "http") or not parts.netloc or parts.query
            or parts.fragment or re.search(r"[\s'\"\\]", base)):
        raise ValueError(f"not a plain http(s) URL: {base!r}")
    return base.rstrip("/")


def homepage(base):
    """The site the release is downloaded from, which stands for the project's home."""
    parts = urllib.parse.urlsplit(base)
    return f"{parts.scheme}://{parts.netloc}/"


def describe_zip(path):
    """(SHA-256 in lower-case hex, the zip's top folder), the folder being the .exe's."""
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    with zipfile.ZipFile(path) as z:
        exes = [n for n in z.namelist() if n.count("/") == 1 and n.endswith("/" + EXE)]
    if len(exes) != 1:
        raise ValueError(f"{path}: no one top folder holding {EXE}")
    return digest, exes[0].split("/")[0]


def find_zips(folder):
    """(version, {build: zip name}) of the release in folder."""
    found = {}
    for name in sorted(os.listdir(folder)):
        m = re.fullmatch(r"tamberline-(.+)-(win32|win64)\.zip", name)
        if m:
            found.setdefault(m.group(2), []).append((m.group(1), name))
    if sorted(found) != sorted(ARCHITECTURES) or any(len(v) != 1 for v in found.values()):
        raise ValueError(f"{folder}: not one win32 and one win64 zip")
    versions = {v[0][0] for v in found.values()}
    if len(versions) != 1:
        raise ValueError(f"{folder}: the zips carry different versions")
    return versions.pop(), {build: v[0][1] for build, v in found.items()}


def scoop(version, base, zips):
    """The Scoop manifest's text; zips maps a build to (name, hash, top folder)."""
    manifest = {
        "version": version,
        "description": DESCRIPTION,
        "homepage": homepage(base),
        "license": LICENSE,
        "architecture": {
            ARCHITECTURES[build][0]: {"url": f"{base}/{name}", "hash": digest,
                                      "extract_dir": top}
            for build, (name, digest, top) in sorted(zips.items())},
        "bin": EXE,
    }
    return json.dumps(manifest, indent=4) + "\n"


def quoted(value):
    """A YAML single-quoted scalar: nothing in it is escaped but the quote itself."""
    if re.search(r"[\x00-\x1f\x7f]", value):
        raise ValueError(f"no control characters in a manifest: {value!r}")
    return "'" + value.replace("'", "''") + "'"


def yaml(fields):
    """YAML text of a list of (key, value) pairs: a value is a string or a list of such lists,
    which becomes a block sequence of mappings."""
    lines = []

    def emit(pairs, indent, first_prefix):
        prefix = first_prefix
        for key, value in pairs:
            if isinstance(value, str):
                lines.append(f"{prefix}{key}: {quoted(value)}")
            else:
                lines.append(f"{prefix}{key}:")
                for item in value:
                    emit(item, indent + 2, " " * indent + "- ")
            prefix = " " * len(first_prefix)

    emit(fields, 0, "")
    return "\n".join(lines) + "\n"


def winget(version, base, zips):
    """{file name: text} of the three winget files."""
    head = [("PackageIdentifier", IDENTIFIER), ("PackageVersion", version)]
    tail = [("ManifestVersion", WINGET_VERSION)]
    installers = [
        [("Architecture", ARCHITECTURES[build][1]),
         ("InstallerUrl", f"{base}/{name}"),
         ("InstallerSha256", digest.upper()),
         ("NestedInstallerFiles", [[("RelativeFilePath", f"{top}\\{EXE}"),
                                    ("PortableCommandAlias", "tamberline")]])]
        for build, (name, digest, top) in sorted(zips.items())]
    return {
        f"{IDENTIFIER}.yaml": yaml(
            head + [("DefaultLocale", "en-US"), ("ManifestType", "version")] + tail),
        f"{IDENTIFIER}.installer.yaml": yaml(
            head + [("InstallerType", "zip"), ("NestedInstallerType", "portable"),
                    ("Installers", installers), ("ManifestType", "installer")] + tail),
        f"{IDENTIFIER}.locale.en-US.yaml": yaml(
            head + [("PackageLocale", "en-US"), ("Publisher", PUBLISHER),
                    ("PackageName", NAME), ("License", LICENSE),
                    ("ShortDescription", DESCRIPTION), ("ManifestType", "defaultLocale")]
            + tail),
    }


def winget_folder(version):
    """Where the winget files go, relative to the release folder."""
    publisher, name = IDENTIFIER.split(".", 1)
    return os.path.join("manifests", publisher[0].lower(), publisher, name, version)


def write(folder, base):
    """Writes every manifest of the release in folder; returns their paths relative to it."""
    base = check_url_base(base)
    version, names = find_zips(folder)
    zips = {build: (name,) + describe_zip(os.path.join(folder, name))
            for build, name in names.items()}
    files = {"tamberline.json": scoop(version, base, zips)}
    for name, text in winget(version, base, zips).items():
        files[os.path.join(winget_folder(version), name)] = text
    for path, text in files.items():
        os.makedirs(os.path.join(folder, os.path.dirname(path)), exist_ok=True)
        with open(os.path.join(folder, path), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    return list(files)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url-base", required=True)
    parser.add_argument("--check-url", action="store_true",
                        help="only check the URL, before a release is built")
    parser.add_argument("folder", nargs="?")
    args = parser.parse_args()
    if not args.check_url and not args.folder:
        parser.error("the release folder is missing")
    try:
        check_url_base(args.url_base)
        for path in [] if args.check_url else write(args.folder, args.url_base):
            print(path)
    except ValueError as e:
        sys.exit(f"manifests: {e}")


if __name__ == "__main__":
    main()
