#!/usr/bin/python3
"""packaging/buildinfo.py: BUILDINFO written and read back, the packages a build can touch,
the version differences named, and the released files compared with a rebuild's, signed or
not."""
import os
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from suite import TOP, check, runs, summary
from harness import where

sys.path.insert(0, os.path.join(TOP, "packaging"))
import buildinfo

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
           pkg("dash", "amd64", essential="yes", pre="awk", depends="usrmerge | usr-is-merged"),
           pkg("usrmerge", "all"), pkg("usr-is-merged", "all"), pkg("wine32", "i386"),
           pkg("unrelated", "amd64")])
check("closure: roots, Essential, alternatives and virtual packages, one architecture",
      [(n, a) for n, _, a in buildinfo.closure(DB, ["g++"], "amd64")],
      [("dash", "amd64"), ("g++", "amd64"), ("gawk", "amd64"), ("gcc", "amd64"),
       ("libc6", "amd64"), ("libc6-dev", "amd64"), ("usr-is-merged", "all"), ("usrmerge", "all")])

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

# A signed release against an unsigned rebuild: the same zip once its .exe's signature is
# removed, and a manifest the same once the zips' hashes are swapped; a changed byte still shows.
TOOLS = ["osslsigncode", "openssl", "x86_64-w64-mingw32-gcc-win32"]
if runs("signed: a release against an unsigned rebuild", host=where.host_lacks(tools=TOOLS)):
    with tempfile.TemporaryDirectory() as tmp:
        def path(*names):
            """A path in the case's folder."""
            return os.path.join(tmp, *names)

        def quiet(*cmd):
            """Runs a tool of the case, which must succeed."""
            subprocess.run(cmd, check=True, cwd=tmp, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

        with open(path("t.c"), "w", encoding="utf-8") as f:
            f.write("int main(void) { return 0; }\n")
        quiet("x86_64-w64-mingw32-gcc-win32", "-s", "-o", "t.exe", "t.c")
        quiet("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "k.pem",
              "-out", "c.pem", "-days", "1", "-subj", "/CN=tamberline test")
        quiet("openssl", "pkcs12", "-export", "-inkey", "k.pem", "-in", "c.pem", "-out", "k.p12",
              "-passout", "pass:")
        quiet("osslsigncode", "sign", "-pkcs12", "k.p12", "-pass", "", "-in", "t.exe", "-out",
              "s.exe")
        for d, exe, tail in [("signed", "s.exe", b""), ("rebuilt", "t.exe", b""),
                             ("changed", "t.exe", b"\0")]:
            os.mkdir(path(d))
            with open(path(exe), "rb") as f:
                data = f.read() + tail
            info = zipfile.ZipInfo("t/t.exe", (2026, 12, 8, 0, 0, 0))
            with zipfile.ZipFile(path(d, "t.zip"), "w") as z:
                z.writestr(info, data)
                z.writestr(zipfile.ZipInfo("t/README.txt", info.date_time), b"hello\r\n")
            digest = buildinfo.sha256_file(path(d, "t.zip")).upper()
            with open(path(d, "t.json"), "w", encoding="utf-8") as f:
                f.write(f'{{"hash": "{digest}"}}\n')
            with open(path(d, "SHA256SUMS"), "w", encoding="utf-8") as f:
                for name in ("t.json", "t.zip"):
                    f.write(f"{buildinfo.sha256_file(path(d, name))}  {name}\n")
        check("signed: the zips' .exe carry a signature",
              [buildinfo.zips_signed(path(d)) for d in ("signed", "rebuilt")], [True, False])
        check("signed: the same but for the signature",
              buildinfo.compare(path("signed"), path("rebuilt"), True),
              [("t.json", None), ("t.zip", None)])
        check("signed: a changed .exe named",
              buildinfo.compare(path("signed"), path("changed"), True),
              [("t.json", "its bytes differ"), ("t.zip", "t/t.exe differs")])

sys.exit(summary())
