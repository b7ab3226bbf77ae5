"""What the end-to-end suites share: the program as a tool against the server the launcher
started, the checks of listings and source ports, the tree the server exports, and the case
groups each server runs. The server is read from the environment when asked for, so that this
module imports anywhere."""
import collections
import os
import shutil
import subprocess
import sys

from suite import TOP, check, runs
from harness import windows
from terminal import on_console, run_on_pty

# Wine plays an en-US Windows under a UTF-8 locale: ANSI code page 1252, console code page 437.
WINE_ENV = {"LANG": "C.UTF-8", "LC_ALL": "", "LC_CTYPE": ""}
# Names in /shown, and how a terminal must show them.
SHOWN = {
    "café.txt".encode(): "café.txt".encode(),
    "日本語.txt".encode(): "日本語.txt".encode(),
    b"a\x1b[2J\x1b[31mRED": b"a?[2J?[31mRED",
    b"tab\tcr\rdel\x7f": b"tab?cr?del?",
    b"c1-\xc2\x9b-csi": b"c1-?-csi",
    b"raw-\xff-byte": b"raw-?-byte",
}


Served = collections.namedtuple("Served", "addr export root interface")


def program():
    """The program under test, from the suite's arguments [--windows] TAMBERLINE: (path, wine)."""
    args = sys.argv[1:]
    return args[-1], args[0] == "--windows"


def server():
    """The server the suite runs against, as the launcher exports it: its address, the export,
    the exported folder, and the interface where the server's side of the wire is seen (lo, or
    the tap of a guest)."""
    return Served(os.environ["TAMBER_SERVER"], os.environ["TAMBER_EXPORT"],
                  os.environ["TAMBER_EXPORT_DIR"], os.environ.get("TAMBER_SERVER_INTERFACE", "lo"))


# The normal user of the cases that run without the right to bind reserved ports. CI runs as
# real root: these cases drop root with setpriv (uid and gid 65534, no groups, no capabilities).
USER = 65534
DROP_ROOT = ["setpriv", f"--reuid={USER}", f"--regid={USER}", "--clear-groups",
             "--inh-caps=-all", "--bounding-set=-all"]
RESERVED_PORTS = range(665, 1024)


class Tool:
    def __init__(self, exe, wine, runner=(), windows_run=windows.COMMAND):
        """`wine`: a Windows program, run through scripts/windows-run; `runner`: a command line
        that runs the program (e.g. with fewer privileges)."""
        self.prefix = [*runner, windows_run, exe] if wine else [*runner, exe]
        self.wine = wine

    @classmethod
    def as_user(cls, exe, wine, work, env=()):
        """The program run by the normal user, copied into `work` so that the user may run
        it whatever folder the build is in, and run there: the suite's own working folder
        may be one the user cannot open (wine opens it); `env` are NAME=VALUE settings."""
        bin_dir = os.path.join(work, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        os.chmod(bin_dir, 0o755)
        copies = [shutil.copy(path, bin_dir) for path in (exe, windows.COMMAND)]
        # scripts/windows-run is a shim into the harness, which it finds beside its folder.
        shutil.copytree(os.path.join(TOP, "harness"), os.path.join(work, "harness"),
                        dirs_exist_ok=True, ignore=shutil.ignore_patterns("__pycache__"))
        for copy in copies:
            os.chmod(copy, 0o755)
        runner = DROP_ROOT + ["env", "-C", bin_dir, *env]
        return cls(copies[0], wine, runner=runner, windows_run=copies[1])

    def run(self, *args, stdout=subprocess.PIPE):
        env = dict(os.environ, **WINE_ENV) if self.wine else None
        p = subprocess.run(self.prefix + list(args), stdout=stdout, stderr=subprocess.PIPE,
                           stdin=subprocess.DEVNULL, timeout=300, env=env)
        out = p.stdout if p.stdout is not None else b""
        err = p.stderr
        if self.wine:
            # Windows console output is text mode: every line end arrives as CR LF.
            out, err = out.replace(b"\r\n", b"\n"), err.replace(b"\r\n", b"\n")
        return p.returncode, out, err

    def ls(self, path):
        served = server()
        return self.run("ls", served.addr, served.export, path)

    def get(self, path, local, *extra):
        served = server()
        return self.run("get", served.addr, served.export, path, local, *extra)

    def local_name(self, path):
        """A local path as the program sees it: wine maps the Unix root to drive Z:."""
        return windows.program_path(path) if self.wine else path


def check_ports(name, capture, reserved, one_run=True):
    """The server saw connections, each from a reserved port (665-1023), or each from an
    ordinary port (1024 and above); one run's reserved ports never the same twice running."""
    ports = capture.source_ports()
    if ports:
        print(f"     {name}: {len(ports)} connections from ports {min(ports)}-{max(ports)}")
    wrong = [p for p in ports if (p in RESERVED_PORTS) != reserved]
    repeats = sum(a == b for a, b in zip(ports, ports[1:])) if reserved and one_run else 0
    kind = "reserved" if reserved else "ordinary"
    check(f"{name}: the server saw {kind} source ports only", (len(ports) > 0, wrong, repeats),
          (True, [], 0))
    return ports


def readable(path, data=b""):
    with open(path, "wb") as f:
        f.write(data)
    os.chmod(path, 0o644)


def contents(path):
    """A local file's bytes, or None when it does not exist."""
    if not os.path.exists(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def make_dir(path):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, 0o755)


def listing(out):
    names = out.split(b"\n")
    return names[:-1] if names and names[-1] == b"" else names + [b"<no final line end>"]


def expected_names(directory):
    return set(os.fsencode(n) for n in os.listdir(directory))


def check_listing(tool, name, remote, local_dir):
    code, out, err = tool.ls(remote)
    names = listing(out)
    # The server may list "." and ".."; everything else must be exactly the folder's contents.
    dots = {b".", b".."}
    check(name + ": status and stderr", (code, err), (0, b""))
    check(name + ": names", set(names) - dots, expected_names(local_dir))
    check(name + ": no name twice", len(names), len(set(names)))


def build_tree(rng, root):
    """Fills the exported folder root with what the case groups below expect of it."""
    make_dir(os.path.join(root, "sub", "deeper"))
    make_dir(os.path.join(root, "empty"))
    make_dir(os.path.join(root, "many"))
    readable(os.path.join(root, "README.TXT"), b"hello from the server\n")
    readable(os.path.join(root, "sub", "deeper", "leaf.bin"), bytes(range(256)) * 3)
    sizes = {"empty.bin": 0, "one-read.bin": 32768, "one-more.bin": 32769,
             "random.bin": 3 * 1024 * 1024 + 123}
    for name, size in sizes.items():
        readable(os.path.join(root, name), rng.randbytes(size))
    for i in range(3000):
        readable(os.path.join(root, "many", f"entry-{i:05d}-" + "x" * 80))
    readable(os.path.join(root, "sub", "with space.txt"), b"spaced")
    readable(os.path.join(root, "sub", "caf\u00e9-\u00fc.txt"), b"accented")
    readable(os.path.join(os.fsencode(root), b"sub", b"raw-\xff-byte"), b"raw")
    readable(os.path.join(root, "café.txt"), "crème brûlée\n".encode())
    readable(os.path.join(root, "日本語.txt"), "日本語のテキスト\n".encode() * 1000)
    make_dir(os.path.join(root, "shown"))
    for name in SHOWN:
        readable(os.path.join(os.fsencode(root), b"shown", name), name + b" contents")


def test_listings(tool):
    root = server().root
    check_listing(tool, "ls /", "/", root)
    check_listing(tool, "ls of the empty path", "", root)
    check_listing(tool, "ls of separators and dots", "/./\\.//", root)
    check_listing(tool, "ls nested", "/sub/deeper", os.path.join(root, "sub", "deeper"))
    check_listing(tool, "ls with backslashes and dots", "\\sub\\.\\deeper\\",
                  os.path.join(root, "sub", "deeper"))
    check_listing(tool, "ls empty directory", "/empty", os.path.join(root, "empty"))
    check_listing(tool, "ls of 3000 long names", "/many", os.path.join(root, "many"))
    # Names byte for byte: spaces, UTF-8 and a byte that is no UTF-8 at all.
    check_listing(tool, "ls of odd names", "/sub", os.path.join(root, "sub"))
    check_listing(tool, "ls of control bytes and Unicode", "/shown", os.path.join(root, "shown"))


def test_terminal(tool):
    """On a terminal, names lose their control bytes and invalid UTF-8 but keep their Unicode."""
    addr, export, _, _ = server()
    want = sorted(SHOWN.values())
    if not tool.wine:
        code, received = run_on_pty(tool.prefix + ["ls", addr, export, "/shown"])
        lines = received.split(b"\r\n")
        names = sorted(set(lines[:-1]) - {b".", b".."})
        check("ls on a terminal", (code, lines[-1], names), (0, b"", want))
    elif runs("ls on a terminal", "console"):
        env = [*(f"{k}={v}" for k, v in WINE_ENV.items()), f"WINEPREFIX={os.environ['WINEPREFIX']}"]
        code, lines = on_console(tool.prefix + ["ls", addr, export, "/shown"], env)
        names = sorted(set(line.encode() for line in lines) - {b".", b".."})
        check("ls on a terminal", (code, names), (0, want))


def test_copies(tool, work):
    root = server().root
    for name in ("empty.bin", "one-read.bin", "one-more.bin", "random.bin", "README.TXT"):
        local = os.path.join(work, name)
        code, out, err = tool.get("/" + name, tool.local_name(local))
        with open(os.path.join(root, name), "rb") as f:
            want = f.read()
        check(f"get {name}", (code, out, err), (0, f"wrote {len(want)} bytes\n".encode(), b""))
        with open(local, "rb") as f:
            check(f"get {name}: bytes", f.read() == want, True)

    local = os.path.join(work, "leaf")
    code, out, err = tool.get("\\sub\\.\\deeper//leaf.bin", tool.local_name(local), "extra")
    check("get through backslashes, dots and an extra argument", (code, out, err),
          (0, b"wrote 768 bytes\n", b""))

    local = os.path.join(work, "spaced")
    code, out, err = tool.get("/sub/with space.txt", tool.local_name(local))
    check("get a name with a space", (code, out), (0, b"wrote 6 bytes\n"))

    # Typed on the command line: on Windows these reach the wire as UTF-8 only through the
    # wide command line, and the local name is made through the wide file calls.
    for remote, local in (("/café.txt", "café.txt"),
                          ("\\日本語.txt", "ünïcode-名前.txt")):
        path = os.path.join(work, local)
        code, out, err = tool.get(remote, tool.local_name(path))
        with open(os.path.join(root, remote[1:]), "rb") as f:
            want = f.read()
        check(f"get {remote} into {local}", (code, out, err),
              (0, f"wrote {len(want)} bytes\n".encode(), b""))
        check(f"get {remote} into {local}: bytes", contents(path), want)

    existing = os.path.join(work, "existing")
    readable(existing, b"old contents that are longer than the new ones" * 100)
    code, out, err = tool.get("/README.TXT", tool.local_name(existing))
    with open(existing, "rb") as f:
        check("get replaces an existing file", (code, f.read()), (0, b"hello from the server\n"))


def test_failures(tool, work):
    addr, export, _, _ = server()
    keep = os.path.join(work, "keep")
    readable(keep, b"must survive")
    missing = os.path.join(work, "never-created")
    cases = [
        ("ls of a file", ("ls", "/README.TXT"), b"error: NFS READDIR failed\n"),
        ("ls of a missing name", ("ls", "/no-such-dir"), b"error: NFS LOOKUP failed\n"),
        ("get of a directory", ("get", "/sub", keep), b"error: NFS READ failed\n"),
        ("get of a missing name", ("get", "/no-such-file", keep), b"error: NFS LOOKUP failed\n"),
        ("get of a missing name, new file", ("get", "/no-such-file", missing),
         b"error: NFS LOOKUP failed\n"),
        ("get through a file", ("get", "/README.TXT/x", missing), b"error: NFS LOOKUP failed\n"),
        ("get into a directory", ("get", "/README.TXT", work),
         b"error: could not open local output file\n"),
        ("get into a full disk", ("get", "/README.TXT", "/dev/full"),
         b"error: could not write local output file\n"),
    ]
    for name, (command, path, *local), want_err in cases:
        args = [command, addr, export, path] + [tool.local_name(x) for x in local]
        code, out, err = tool.run(*args)
        check(name, (code, out, err), (1, b"", want_err))
    with open(keep, "rb") as f:
        check("a failed get leaves the local file untouched", f.read(), b"must survive")
    check("a failed get creates no local file", os.path.exists(missing), False)

    code, out, err = tool.run("ls", addr, "/not/exported", "/")
    check("an export that is not exported", (code, out, err),
          (1, b"", b"error: mountd rejected export with status EACCES\n"))

    usage_cases = [("LS", "/"), ("Get", "/"), ("get", "/README.TXT"), ("dir", "/")]
    for word, path in usage_cases:
        code, out, err = tool.run(word, addr, export, path)
        check(f"command word {word!r} with four arguments", (code, out, err[:16]),
              (2, b"", b"Tamberline v0.1\n"))

    if runs("a listing to a full disk", "standard output on a host file"):
        with open("/dev/full", "wb") as full:
            code, out, err = tool.run("ls", addr, export, "/many", stdout=full)
            check("a listing to a full disk", (code, err),
                  (1, b"error: could not write standard output\n"))
