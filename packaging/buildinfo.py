#!/usr/bin/python3
"""What a release was built from, written beside its packages, and a rebuild that compares.

Usage: buildinfo.py write --out DIR [--url-base URL]
       buildinfo.py rebuild-check DIR

`write` (scripts/release runs it last) writes DIR/BUILDINFO and adds its line to DIR/SHA256SUMS.
`rebuild-check` (scripts/release --rebuild-check DIR) builds BUILDINFO's commit again in a fresh
Debian 12 root with the packages BUILDINFO names and compares every file of DIR/SHA256SUMS.

BUILDINFO is plain text in UTF-8: `Key: value` header lines, one empty line, then one line
`name version arch` for every Debian package the build can touch, sorted by name and arch:

    Format: tamberline-buildinfo 1
    Commit: <git rev-parse HEAD>
    Uncommitted-Changes: no            (yes: `git status` listed changes; the commit alone
                                       does not give these packages)
    Release-Date: 2026-12-08           (CMakeLists.txt's TAMBER_RELEASE_DATE)
    Source-Date-Epoch: 1796688000      (its midnight UTC: the time of every packed file)
    Debian: Debian GNU/Linux 12 (bookworm) 12.11   (/etc/os-release, /etc/debian_version)
    Architecture: amd64                (dpkg's)
    Signed: no                         (yes: the .exe files in the zips carry a signature)
    Url-Base: https://...              (only when scripts/release was given --url-base)

    binutils 2.40-2 amd64
    ...

The packages are those of `scripts/deps --list release` and every Essential one, with the
installed packages their Depends and Pre-Depends reach (of alternatives, every one installed;
of a virtual package, its installed provider of the same architecture first by name). Nothing of the build folder or
the time of the build goes in, so that the same commit gives the same BUILDINFO anywhere on
the same machine.
"""
import argparse
import calendar
import hashlib
import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import zipfile

import sign  # beside this: whether a .exe carries a signature

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FORMAT = "tamberline-buildinfo 1"
NAME = "BUILDINFO"
SUITE = "bookworm"
# Where the rebuild's files go inside the root.
SRC, OUT = "/tamberline", "/tamberline-dist"


def run(cmd, **kw):
    """cmd's standard output as text; raises when it fails."""
    return subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, **kw).stdout


def call(cmd, check=True, **kw):
    """Runs cmd in a process group of its own, which is stopped whole (mmdebstrap, apt in the
    root and the build spawn their own) when this program is interrupted; its CompletedProcess."""
    with subprocess.Popen(cmd, start_new_session=True, **kw) as proc:
        try:
            out, _ = proc.communicate()
        except BaseException:
            stop(proc)
            raise
    if check and proc.returncode:
        raise subprocess.CalledProcessError(proc.returncode, cmd)
    return subprocess.CompletedProcess(cmd, proc.returncode, out)


def stop(proc):
    """Ends proc's process group: SIGTERM, so that mmdebstrap unmounts, then SIGKILL."""
    for sig, wait in ((signal.SIGTERM, 60), (signal.SIGKILL, 10)):
        deadline = time.monotonic() + wait
        try:
            os.killpg(proc.pid, sig)
            while time.monotonic() < deadline:
                proc.poll()
                time.sleep(0.5)
                os.killpg(proc.pid, 0)
        except ProcessLookupError:
            return


# --- the installed packages -------------------------------------------------------------

FIELDS = ["Package", "Architecture", "Version", "Essential", "Pre-Depends", "Depends",
          "Provides", "db:Status-Abbrev"]


def installed(admindir="/var/lib/dpkg"):
    """{(name, arch): fields} of every package dpkg has installed under admindir."""
    fmt = "\\t".join("${%s}" % f for f in FIELDS) + "\\n"
    out = run(["dpkg-query", f"--admindir={admindir}", "-W", f"-f={fmt}"])
    db = {}
    for line in out.splitlines():
        rec = dict(zip(FIELDS, line.split("\t")))
        if rec["db:Status-Abbrev"][1:2] == "i":
            db[(rec["Package"], rec["Architecture"])] = rec
    return db


def dep_groups(text):
    """[[(name, qualifier), ...], ...]: a Depends field's groups of alternatives."""
    groups = []
    for group in filter(None, (g.strip() for g in text.split(","))):
        alts = []
        for alt in group.split("|"):
            name = re.sub(r"\(.*?\)|\[.*?\]|<.*?>", "", alt).strip()
            name, _, qual = name.partition(":")
            alts.append((name, qual))
        groups.append(alts)
    return groups


def resolve(db, name, qual, from_arch, native):
    """The installed (name, arch) that satisfies name[:qual] for a package of from_arch."""
    cands = sorted(k for k in db if k[0] == name)
    if not cands:
        cands = sorted(k for k, r in db.items()
                       if name in (p[0][0] for p in dep_groups(r["Provides"])))
    if qual and qual != "any":
        cands = [k for k in cands if k[1] == qual]
    for want in (from_arch, "all", native):
        for k in cands:
            if k[1] == want:
                return k
    return cands[0] if cands else None


def closure(db, roots, native):
    """Sorted [(name, version, arch)]: roots, the Essential packages and all they depend on."""
    todo = []
    for name in roots:
        key = resolve(db, name, "", native, native)
        if key is None:
            raise SystemExit(f"buildinfo: {name} is not installed (scripts/deps release installs it)")
        todo.append(key)
    todo += [k for k, r in db.items() if r["Essential"] == "yes" and k[1] in (native, "all")]
    seen = set()
    while todo:
        key = todo.pop()
        if key in seen:
            continue
        seen.add(key)
        rec = db[key]
        for alts in dep_groups(rec["Pre-Depends"]) + dep_groups(rec["Depends"]):
            for name, qual in alts:
                found = resolve(db, name, qual, key[1], native)
                if found:
                    todo.append(found)
    return sorted((n, db[(n, a)]["Version"], a) for n, a in seen)


def release_set(top):
    """The packages scripts/deps installs for a release, as that tree's scripts/deps names them."""
    return run(["bash", os.path.join(top, "scripts", "deps"), "--list", "release"]).split()


# --- BUILDINFO ---------------------------------------------------------------------------

def format_buildinfo(headers, packages):
    """BUILDINFO's text from [(key, value)] and [(name, version, arch)]."""
    lines = [f"{k}: {v}" for k, v in headers] + [""] + [" ".join(p) for p in packages]
    return "\n".join(lines) + "\n"


def parse_buildinfo(text):
    """({key: value}, {(name, arch): version}) from BUILDINFO's text."""
    head, _, body = text.partition("\n\n")
    headers = dict(line.split(": ", 1) for line in head.splitlines())
    if headers.get("Format") != FORMAT:
        raise ValueError(f"not a {FORMAT} file")
    packages = {}
    for line in body.splitlines():
        name, version, arch = line.split(" ")
        packages[(name, arch)] = version
    return headers, packages


def differences(built, here):
    """One line for each package whose version differs between two {(name, arch): version}."""
    names = {}
    for name, arch in list(built) + list(here):
        names.setdefault(name, set()).add(arch)
    lines = []
    for key in sorted(set(built) | set(here)):
        label = key[0] if len(names[key[0]]) == 1 else f"{key[0]}:{key[1]}"
        was, now = built.get(key), here.get(key)
        if was == now:
            continue
        if now is None:
            lines.append(f"{label}: built with {was}, not installed here")
        elif was is None:
            lines.append(f"{label}: not in the build, here {now}")
        else:
            lines.append(f"{label}: built with {was}, here {now}")
    return lines


def release_date(top):
    """(date, epoch) of TAMBER_RELEASE_DATE in top's CMakeLists.txt."""
    with open(os.path.join(top, "CMakeLists.txt"), encoding="utf-8") as f:
        day = re.search(r"set\(TAMBER_RELEASE_DATE (\d{4}-\d\d-\d\d)\)", f.read()).group(1)
    return day, calendar.timegm(time.strptime(day, "%Y-%m-%d"))


def debian_release():
    """The OS's name as os-release gives it, and Debian's point release."""
    with open("/etc/os-release", encoding="utf-8") as f:
        pretty = re.search(r'^PRETTY_NAME="?([^"\n]*)', f.read(), re.M).group(1)
    with open("/etc/debian_version", encoding="utf-8") as f:
        return f"{pretty} {f.read().strip()}"


def zips_signed(out):
    """Whether the .exe files in out's zips are signed."""
    for name in sorted(os.listdir(out)):
        if name.endswith(".zip"):
            with zipfile.ZipFile(os.path.join(out, name)) as z:
                for m in z.namelist():
                    if m.lower().endswith(".exe") and sign.signed(z.read(m)):
                        return True
    return False


def write(out, url_base):
    """Writes out/BUILDINFO for the tree this program is in and lists it in out/SHA256SUMS."""
    commit = run(["git", "-C", TOP, "rev-parse", "HEAD"]).strip()
    dirty = run(["git", "-C", TOP, "status", "--porcelain"]).strip()
    day, epoch = release_date(TOP)
    native = run(["dpkg", "--print-architecture"]).strip()
    headers = [("Format", FORMAT), ("Commit", commit),
               ("Uncommitted-Changes", "yes" if dirty else "no"), ("Release-Date", day),
               ("Source-Date-Epoch", str(epoch)), ("Debian", debian_release()),
               ("Architecture", native), ("Signed", "yes" if zips_signed(out) else "no")]
    if url_base:
        headers.append(("Url-Base", url_base))
    text = format_buildinfo(headers, closure(installed(), release_set(TOP), native))
    with open(os.path.join(out, NAME), "w", encoding="utf-8") as f:
        f.write(text)
    sums = os.path.join(out, "SHA256SUMS")
    with open(sums, encoding="utf-8") as f:
        kept = [line for line in f if not line.rstrip("\n").endswith("  " + NAME)]
    kept.append(f"{hashlib.sha256(text.encode()).hexdigest()}  {NAME}\n")
    with open(sums, "w", encoding="utf-8") as f:
        f.writelines(kept)
    if dirty:
        print("release: BUILDINFO notes uncommitted changes: the commit alone does not give "
              "these packages", file=sys.stderr)


# --- comparing two releases --------------------------------------------------------------

def sha256_file(path):
    """The SHA-256 of a file, in hex."""
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def listed(sums):
    """The file names SHA256SUMS lists, with their hashes, in its order."""
    with open(sums, encoding="utf-8") as f:
        return [(line[66:].rstrip("\n"), line[:64]) for line in f if line.strip()]


def unsigned_exe(data):
    """A signed PE image as it was before signing: osslsigncode's removal of the signature."""
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in.exe"), os.path.join(tmp, "out.exe")
        with open(src, "wb") as f:
            f.write(data)
        subprocess.run(["osslsigncode", "remove-signature", "-in", src, "-out", dst],
                       check=True, stdout=subprocess.DEVNULL)
        with open(dst, "rb") as f:
            return f.read()


def same_zip_unsigned(signed_zip, rebuilt_zip):
    """Why a signed release's zip differs from an unsigned rebuild's, or None when its members
    are the same (names, order, times, modes and bytes; each .exe with its signature removed)."""
    with zipfile.ZipFile(signed_zip) as a, zipfile.ZipFile(rebuilt_zip) as b:
        ia, ib = a.infolist(), b.infolist()
        if [m.filename for m in ia] != [m.filename for m in ib]:
            return "its members differ"
        for ma, mb in zip(ia, ib):
            if (ma.date_time, ma.external_attr) != (mb.date_time, mb.external_attr):
                return f"{ma.filename}: time or mode differs"
            da, db_ = a.read(ma), b.read(mb)
            if ma.filename.lower().endswith(".exe") and sign.signed(da):
                da = unsigned_exe(da)
            if da != db_:
                return f"{ma.filename} differs"
    return None


def buildinfo_note(mine, theirs):
    """How the rebuild's BUILDINFO compares with the release's: it records the machine, not the
    product, so it is not counted; a difference is one of the packages already named."""
    if not os.path.exists(theirs):
        return "DIFFERS: the rebuild did not write one"
    with open(mine, encoding="utf-8") as f:
        a = parse_buildinfo(f.read())
    with open(theirs, encoding="utf-8") as f:
        b = parse_buildinfo(f.read())
    if a == b:
        return "identical"
    heads = sorted(k for k in set(a[0]) | set(b[0]) if a[0].get(k) != b[0].get(k))
    return ("differs, not counted: " + ", ".join(heads + (["packages"] if a[1] != b[1] else []))
            + " (the rebuild's machine, named above)")


def compare(dir_, rebuilt, signed):
    """[(name, None or why it differs)] for each file DIR's SHA256SUMS lists but BUILDINFO.

    A signed release's zips cannot match an unsigned rebuild byte for byte: their members are
    compared instead, and other files (manifests) after the rebuilt zips' hashes are replaced by
    the released ones."""
    results, swap = [], {}
    entries = [e for e in listed(os.path.join(dir_, "SHA256SUMS")) if e[0] != NAME]
    for name, _ in sorted(entries, key=lambda e: not e[0].endswith(".zip")):
        mine, theirs = os.path.join(dir_, name), os.path.join(rebuilt, name)
        if not os.path.exists(theirs):
            results.append((name, "the rebuild did not make it"))
            continue
        with open(mine, "rb") as f:
            a = f.read()
        with open(theirs, "rb") as f:
            b = f.read()
        if signed and name.endswith(".zip"):
            why = same_zip_unsigned(mine, theirs)
            if why is None:
                swap[hashlib.sha256(b).hexdigest()] = hashlib.sha256(a).hexdigest()
            results.append((name, why))
            continue
        if signed:
            for new, old in swap.items():
                b = b.replace(new.encode(), old.encode()).replace(new.upper().encode(),
                                                                  old.upper().encode())
        results.append((name, None if a == b else "its bytes differ"))
    order = {e[0]: i for i, e in enumerate(entries)}
    return sorted(results, key=lambda r: order[r[0]])


# --- the rebuild -------------------------------------------------------------------------

def mounts_under(path):
    """The mount points at or under path, deepest first."""
    path = os.path.realpath(path)
    with open("/proc/self/mountinfo", encoding="utf-8") as f:
        points = [line.split()[4] for line in f]
    return sorted((p for p in points if p == path or p.startswith(path + "/")), reverse=True)


def served_versions(root, names):
    """{name: {version}} that the root's package mirror serves."""
    out = run(["chroot", root, "apt-cache", "madison"] + sorted(set(names)))
    served = {}
    for line in out.splitlines():
        fields = [f.strip() for f in line.split("|")]
        if len(fields) == 3 and "Sources" not in fields[2]:
            served.setdefault(fields[0], set()).add(fields[1])
    return served


def install(root, packages, native):
    """Installs {(name, arch): version} in the root, each at its version where it is served."""
    served = served_versions(root, [n for n, _ in packages])
    specs, plain, missing = [], [], 0
    for (name, arch), version in sorted(packages.items()):
        spec = name if arch in ("all", native) else f"{name}:{arch}"
        plain.append(spec)
        pinned = version in served.get(name, ())
        specs.append(f"{spec}={version}" if pinned else spec)
        missing += not pinned
    print(f"rebuild-check: installing {len(packages)} packages, {len(packages) - missing} at "
          f"BUILDINFO's versions, {missing} no longer served at them (the mirror's instead)",
          flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    apt = ["chroot", root, "apt-get", "install", "-y", "-q", "--no-install-recommends",
           "--allow-downgrades"]
    for tried in (specs, plain):
        done = call(apt + tried, check=False, env=env, stdout=subprocess.PIPE,
                    stderr=subprocess.STDOUT, text=True)
        if done.returncode == 0:
            return
        print(done.stdout[-3000:], end="")
        if tried is specs:
            print("rebuild-check: the pinned versions cannot be installed together; "
                  "installing the served ones")
    raise subprocess.CalledProcessError(done.returncode, apt)


def make_root(root, mounted):
    """A Debian 12 root at root (apt and the Essential packages), /proc and /dev mounted in it."""
    call([os.path.join(TOP, "scripts", "apt-fallback"), "mmdebstrap", "--quiet", "--variant=apt",
          "--mode=root", "--skip=cleanup/apt/lists", SUITE, root])
    for kind, where in (("proc", "proc"), ("dev", "dev")):
        target = os.path.join(root, where)
        os.makedirs(target, exist_ok=True)
        opts = ["-t", "proc", "proc"] if kind == "proc" else ["--bind", "/dev"]
        subprocess.run(["mount"] + opts + [target], check=True)
        mounted.append(target)


def clean_up(tmp, mounted):
    """Unmounts what is mounted in the rebuild's root and removes it; leaves it when a mount
    stays."""
    for target in list(reversed(mounted)) + mounts_under(tmp):
        if target in mounts_under(tmp) and subprocess.run(["umount", target]).returncode != 0:
            subprocess.run(["umount", "--lazy", target])
    left = mounts_under(tmp)
    if left:
        print(f"rebuild-check: {', '.join(left)} still mounted; {tmp} is left in place",
              file=sys.stderr)
        return
    subprocess.run(["rm", "-rf", "--one-file-system", tmp])


def interrupted(signum, _frame):
    """Turns a signal into an exit that runs the clean-up."""
    raise SystemExit(128 + signum)


def rebuild_check(dir_):
    """Builds DIR's commit afresh and compares; returns the exit status (0: every file the same)."""
    if os.geteuid() != 0:
        raise SystemExit("rebuild-check: needs root (mmdebstrap --mode=root, chroot)")
    with open(os.path.join(dir_, NAME), encoding="utf-8") as f:
        headers, built = parse_buildinfo(f.read())
    signed = headers.get("Signed") == "yes"
    for tool in ["mmdebstrap", "git"] + (["osslsigncode"] if signed else []):
        if not shutil.which(tool):
            raise SystemExit(f"rebuild-check: needs {tool} (apt-get install {tool})")
    if signed and importlib.util.find_spec("pefile") is None:
        raise SystemExit("rebuild-check: needs python3-pefile (apt-get install python3-pefile)")
    bad = [n for n, h in listed(os.path.join(dir_, "SHA256SUMS"))
           if not os.path.exists(os.path.join(dir_, n)) or sha256_file(os.path.join(dir_, n)) != h]
    if bad:
        raise SystemExit(f"rebuild-check: {', '.join(bad)} in {dir_} do not match SHA256SUMS")
    commit = headers["Commit"]
    if subprocess.run(["git", "-C", TOP, "cat-file", "-e", commit + "^{commit}"],
                      stderr=subprocess.DEVNULL).returncode != 0:
        raise SystemExit(f"rebuild-check: commit {commit} is not in the repository at {TOP}")
    print(f"rebuild-check: commit {commit}, released {headers['Release-Date']}, built on "
          f"{headers['Debian']}" + (", signed" if signed else ""))
    if headers.get("Uncommitted-Changes") == "yes":
        print("rebuild-check: the release was built with uncommitted changes; the commit alone "
              "may not give its files")
    native = run(["dpkg", "--print-architecture"]).strip()
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupted)
    tmp = tempfile.mkdtemp(prefix="tamber-rebuild.", dir=os.environ.get("TMPDIR", "/var/tmp"))
    root, mounted = os.path.join(tmp, "root"), []
    try:
        print(f"rebuild-check: making a Debian 12 root in {root}", flush=True)
        make_root(root, mounted)
        src = root + SRC
        call(["git", "clone", "--quiet", "--no-checkout", "--no-hardlinks", TOP, src])
        subprocess.run(["git", "-C", src, "checkout", "--quiet", "--detach", commit], check=True)
        print("rebuild-check: installing the packages BUILDINFO names", flush=True)
        install(root, built, native)
        here = closure(installed(os.path.join(root, "var/lib/dpkg")), release_set(src), native)
        diffs = differences(built, {(n, a): v for n, v, a in here})
        print(f"rebuild-check: packages: {len(here)} here, {len(built)} in the build, "
              f"{len(diffs)} differ" + (":" if diffs else ""))
        for line in diffs:
            print("  " + line)
        print("rebuild-check: building in the root (scripts/release)", flush=True)
        cmd = ["chroot", root, "env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=/root",
               f"TAMBER_JOBS={os.environ.get('TAMBER_JOBS', '2')}", "bash",
               SRC + "/scripts/release", "--out", OUT]
        if headers.get("Url-Base"):
            cmd += ["--url-base", headers["Url-Base"]]
        call(cmd)
        results = compare(dir_, root + OUT, signed)
        for name, why in results:
            print(f"  {name}: " + ("identical" if why is None else f"DIFFERS: {why}"))
        print(f"  {NAME}: " + buildinfo_note(os.path.join(dir_, NAME), root + OUT + "/" + NAME))
        same = sum(why is None for _, why in results)
        print(f"rebuild-check: {same} of {len(results)} files identical"
              + ("" if not signed else " (the zips' members, each .exe without its signature)"))
        return 0 if results and same == len(results) else 1
    except subprocess.CalledProcessError as e:
        print(f"rebuild-check: failed: {' '.join(map(str, e.cmd))}", file=sys.stderr)
        return 1
    finally:
        print(f"rebuild-check: removing {tmp}", flush=True)
        clean_up(tmp, mounted)


def main():
    """The command line."""
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    w = sub.add_parser("write")
    w.add_argument("--out", required=True)
    w.add_argument("--url-base")
    r = sub.add_parser("rebuild-check")
    r.add_argument("dir")
    args = ap.parse_args()
    if args.cmd == "write":
        write(args.out, args.url_base)
        return 0
    return rebuild_check(os.path.abspath(args.dir))


if __name__ == "__main__":
    sys.exit(main())
