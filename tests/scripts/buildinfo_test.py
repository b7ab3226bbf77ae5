#!/usr/bin/env python3
"""packaging/buildinfo.py: BUILDINFO written and read back, the packages a build can touch,
the version differences named, and the released files compared with a rebuild's."""
import os
import sys
import tempfile

from script_support import check, summary

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "packaging"))
import buildinfo  # noqa: E402

HEADERS = [("Format", buildinfo.FORMAT), ("Commit", "0" * 40), ("Uncommitted-Changes", "no"),
           ("Release-Date", "2026-12-08"), ("Source-Date-Epoch", "1796688000"),
           ("Debian", "Debian GNU/Linux 12 (bookworm) 12.11"), ("Architecture", "amd64"),
           ("Signed", "no"), ("Url-Base", "https://example.invalid/0.1/")]
PACKAGES = [("cmake", "3.25.1-1", "amd64"), ("libc6", "2.36-9", "amd64"),
            ("libc6", "2.36-9", "i386"), ("mingw-w64-common", "10.0.0-3", "all")]
text = buildinfo.format_buildinfo(HEADERS, PACKAGES)
check("BUILDINFO: read back", buildinfo.parse_buildinfo(text),
      (dict(HEADERS), {(n, a): v for n, v, a in PACKAGES}))
check("BUILDINFO: the first package follows one empty line",
      text.splitlines()[len(HEADERS):len(HEADERS) + 2], ["", "cmake 3.25.1-1 amd64"])

BUILT = {("gcc-12", "amd64"): "12.2.0-14", ("file", "amd64"): "1:5.44-3",
         ("libc6", "amd64"): "2.36-9", ("libc6", "i386"): "2.36-9"}
DIFFERENCES = [
    ("the same versions", dict(BUILT), []),
    ("a package missing", {k: v for k, v in BUILT.items() if k[0] != "file"},
     ["file: built with 1:5.44-3, not installed here"]),
    ("a different version", dict(BUILT) | {("gcc-12", "amd64"): "12.2.0-14+deb12u1"},
     ["gcc-12: built with 12.2.0-14, here 12.2.0-14+deb12u1"]),
    ("one more, and one of two architectures newer",
     dict(BUILT) | {("zip", "amd64"): "3.0-13", ("libc6", "i386"): "2.36-9+deb12u1"},
     ["libc6:i386: built with 2.36-9, here 2.36-9+deb12u1", "zip: not in the build, here 3.0-13"]),
]
for name, here, want in DIFFERENCES:
    check(f"differences: {name}", buildinfo.differences(BUILT, here), want)


def pkg(name, arch, version="1", depends="", essential="no", provides="", pre=""):
    """One dpkg record as installed() gives it."""
    return (name, arch), {"Package": name, "Architecture": arch, "Version": version,
                          "Essential": essential, "Pre-Depends": pre, "Depends": depends,
                          "Provides": provides, "db:Status-Abbrev": "ii "}


DB = dict([pkg("g++", "amd64", depends="gcc (>= 2), libc-dev | libc6-dev"),
           pkg("gcc", "amd64", depends="libc6:any"), pkg("libc6", "amd64"), pkg("libc6", "i386"),
           pkg("libc6-dev", "amd64", provides="libc-dev (= 1)", depends="libc6 (= 1)"),
           pkg("mawk", "amd64", provides="awk"), pkg("gawk", "amd64", provides="awk"),
           pkg("dash", "amd64", essential="yes", pre="awk"), pkg("wine32", "i386"),
           pkg("unrelated", "amd64")])
check("closure: roots, Essential, alternatives and virtual packages, one architecture",
      [(n, a) for n, _, a in buildinfo.closure(DB, ["g++"], "amd64")],
      [("dash", "amd64"), ("g++", "amd64"), ("gawk", "amd64"), ("gcc", "amd64"),
       ("libc6", "amd64"), ("libc6-dev", "amd64")])

# A release folder against a rebuild's: each file the same, different, or not made.
with tempfile.TemporaryDirectory() as tmp:
    made, again = os.path.join(tmp, "dist"), os.path.join(tmp, "again")
    os.mkdir(made)
    os.mkdir(again)
    for name, mine, theirs in [("a.deb", b"same", b"same"), ("b.zip", b"one", b"two"),
                               ("c.zip", b"only here", None), (buildinfo.NAME, b"x", b"y")]:
        with open(os.path.join(made, name), "wb") as f:
            f.write(mine)
        if theirs is not None:
            with open(os.path.join(again, name), "wb") as f:
                f.write(theirs)
    with open(os.path.join(made, "SHA256SUMS"), "w", encoding="utf-8") as f:
        for name in ["a.deb", "b.zip", "c.zip", buildinfo.NAME]:
            f.write(f"{buildinfo.sha256_file(os.path.join(made, name))}  {name}\n")
    check("compare: identical, different, missing; BUILDINFO by its packages",
          buildinfo.compare(made, again, False),
          [("a.deb", None), ("b.zip", "its bytes differ"),
           ("c.zip", "the rebuild did not make it")])

sys.exit(summary())
