"""The connections a server was asked for, as its side of the wire saw them: a capture of the
connection requests (SYN without ACK) sent to one address, so that tests can assert the local
ports a client really used.

    with SynCapture("127.0.0.1") as capture:
        run the client
    ports = capture.source_ports()        # every SYN's source port, in order

The capture runs tshark in the caller's network namespace. Start and end are marked by a
connection attempt to a port where nothing listens: once tshark shows that mark, everything
sent before it has been seen, so no sleep is needed either way.
"""
import queue
import socket
import subprocess
import threading
import time

# Nothing listens on the discard port in a test's namespace or guest: a connect is refused at once.
MARK_PORT = 9


class SynCapture:
    def __init__(self, host, interface="lo"):
        self.host = host
        self.interface = interface
        self.proc = None
        self.lines = queue.Queue()
        self.pairs = []

    def __enter__(self):
        bpf = f"tcp[tcpflags] & (tcp-syn|tcp-ack) == tcp-syn and dst host {self.host}"
        self.proc = subprocess.Popen(
            ["tshark", "-l", "-n", "-Q", "-i", self.interface, "-f", bpf, "-T", "fields",
             "-e", "tcp.srcport", "-e", "tcp.dstport"],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True)
        threading.Thread(target=self._read, daemon=True).start()
        self._mark()
        self.pairs.clear()
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(timeout=30)

    def _read(self):
        for line in self.proc.stdout:
            fields = line.split()
            if len(fields) == 2:
                self.lines.put((int(fields[0]), int(fields[1])))

    def _mark(self, deadline_s=60):
        """Sends marks until one shows in the capture; keeps what came before it."""
        end = time.monotonic() + deadline_s
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise RuntimeError(f"tshark ended with status {self.proc.returncode}")
            with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
                s.settimeout(2)
                s.bind(("0.0.0.0", 0))
                mark = (s.getsockname()[1], MARK_PORT)
                try:
                    s.connect((self.host, MARK_PORT))
                except OSError:
                    pass
            try:
                while True:
                    pair = self.lines.get(timeout=0.5)
                    if pair == mark:
                        return
                    if pair[1] != MARK_PORT:  # earlier marks that were late
                        self.pairs.append(pair)
            except queue.Empty:
                continue
        raise RuntimeError("the capture never showed its mark")

    def connections(self):
        """(source port, destination port) of every SYN sent since the capture started."""
        self._mark()
        return list(self.pairs)

    def source_ports(self):
        return [source for source, _ in self.connections()]
