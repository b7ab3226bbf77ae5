"""What a person sees: a program on a pseudo-terminal, or a Windows program in wine's console
inside tmux (a real terminal, so that wine gives the program a console)."""
import fcntl
import os
import pty
import re
import shlex
import struct
import subprocess
import termios
import time


def run_on_pty(argv, columns=80, timeout=120):
    """Runs argv with standard output and error on a new pseudo-terminal `columns` wide; returns
    its exit status and every byte the terminal received."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=slave, stderr=slave)
    os.close(slave)
    received = bytearray()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            data = os.read(master, 65536)
        except OSError:  # EIO once every holder of the other end has closed it
            break
        if not data:
            break
        received += data
    os.close(master)
    p.kill()
    return p.wait(), bytes(received)


# What wine's console adds when it draws on a terminal: the cursor hidden and shown again, moved
# right, the rest of a line erased. The texts drawn are what is left without them.
ESCAPES = re.compile(rb"\x1b\[(?:\?25[lh]|\d*C|K)")


def screen(received):
    """The lines a terminal shows after `received`, for text, carriage returns and line feeds."""
    lines, line, column = [], [], 0
    for ch in received.decode("utf-8", "replace"):
        if ch == "\r":
            column = 0
        elif ch == "\n":
            lines.append(line)
            line, column = [], 0
        else:
            line[column:column + 1] = [ch]
            column += 1
    lines.append(line)
    shown = ["".join(chars).rstrip() for chars in lines]
    while shown and not shown[-1]:
        shown.pop()
    return shown


class Tmux:
    """A tmux server of its own, running `command` in one pane `width` columns wide."""

    def __init__(self, command, width=100, height=40, record=None):
        """`record`: a file that gets every byte the pane receives from the command."""
        self.socket = f"tamber-{os.getpid()}-{time.monotonic_ns()}"
        # The command stays on screen after it ends: the pane is read back afterwards. With a
        # record, it starts once the pane's output is piped there.
        go = f"{record}.go" if record else None
        wait = f"while [ ! -e {shlex.quote(go)} ]; do sleep 0.01; done; " if go else ""
        held = f"{wait}{command}; echo \"[exit $?]\"; exec sleep 3600"
        subprocess.run(["tmux", "-L", self.socket, "-f", "/dev/null", "new-session", "-d",
                        "-x", str(width), "-y", str(height), held], check=True)
        if go:
            subprocess.run(["tmux", "-L", self.socket, "pipe-pane", "-o",
                            f"cat > {shlex.quote(record)}"], check=True)
            open(go, "w").close()

    def lines(self):
        p = subprocess.run(["tmux", "-L", self.socket, "capture-pane", "-p"],
                           capture_output=True, check=True)
        shown = p.stdout.decode("utf-8", "replace").split("\n")
        while shown and not shown[-1].strip():
            shown.pop()
        return [line.rstrip() for line in shown]

    def wait_for_exit(self, timeout=120):
        """Polls the screen until the command has ended; returns the last screen."""
        deadline = time.monotonic() + timeout
        while True:
            shown = self.lines()
            if (shown and shown[-1].startswith("[exit ")) or time.monotonic() > deadline:
                return shown
            time.sleep(0.05)

    def close(self):
        subprocess.run(["tmux", "-L", self.socket, "kill-server"], capture_output=True)


def on_console(argv, env=(), width=100, record=None):
    """Runs argv, a Windows program's command line, on wine's console in tmux, with the
    settings `env` (NAME=VALUE) and the pane's bytes in the file `record` if given; returns its
    exit status (None when it did not end) and the screen above the exit line."""
    tmux = Tmux(shlex.join(["env", *env, *argv]), width=width, record=record)
    try:
        shown = tmux.wait_for_exit()
    finally:
        tmux.close()
    if not shown or not shown[-1].startswith("[exit "):
        return None, shown
    return int(shown[-1][len("[exit "):-1]), shown[:-1]
