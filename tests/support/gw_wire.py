"""Helpers shared by the end-to-end tests that drive the real programs: a free loopback
port to hand a program, a started program whose output lines are collected, and the
client messages inside one WebSocket message.

The tests import this module by path (tests/support is put on sys.path by each test).
"""
import os
import random
import resource
import shutil
import socket
import struct
import subprocess
import threading

import gw_wait


def _ephemeral_range():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
            return low, high
    except (OSError, ValueError):
        return 32768, 60999


def free_port():
    """A port free now for a server started later. It is taken below the system's
    ephemeral range: a port from that range can be given to some client socket's
    local end (another test's connections) before the server binds it, and a
    listener on it would then fail with "address in use"."""
    low, _ = _ephemeral_range()
    rng = random.Random()
    for _ in range(200):
        port = rng.randrange(max(1024, low - 12000), low)
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind(("0.0.0.0", port))
            except OSError:
                continue
            return port
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port, host="127.0.0.1"):
    """Whether something accepts connections on `host`:`port` now (a probe for the waits)."""
    try:
        with socket.create_connection((host, port), timeout=1):
            return True
    except OSError:
        return False


def windows_program(binary):
    """Whether `binary` is a Windows build, run under wine."""
    return binary.lower().endswith(".exe")


def command(binary, *args):
    """The command line that runs `binary` here: a Windows build goes through wine."""
    if windows_program(binary):
        return [shutil.which("wine") or "wine", binary, *args]
    return [binary, *args]


class CollectedOutput:
    """A started program whose stdout and stderr lines a reader thread collects. A Windows
    build (args[0] ending in .exe) runs under wine with a pipe for its standard input, whose
    end is its request to stop (`request_stop`), as SIGTERM is on Linux."""

    def __init__(self, args, cwd):
        self.lines = []
        self.lock = threading.Lock()
        self.windows = windows_program(args[0])
        self.name = os.path.basename(args[0])
        self.proc = subprocess.Popen(command(*args), cwd=cwd, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT,
                                     stdin=subprocess.PIPE if self.windows else None)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\r\n"))

    def output_lines(self):
        """The lines so far (a copy)."""
        with self.lock:
            return list(self.lines)

    def ended(self):
        """None while the program runs; once it has ended (and its last lines are read), a
        text saying so, with its exit code."""
        if self.proc.poll() is None:
            return None
        self.reader.join(gw_wait.TIMEOUT)
        return f"{self.name} ended (exit code {self.proc.returncode})"

    def wait_line(self, text, count=1, timeout=None):
        """Waits for `count` output lines with `text` and returns the last; a program that
        ends without them fails the wait at once."""
        return gw_wait.wait_line(self.output_lines, text, count, timeout, self.ended)

    async def await_line(self, text, count=1, timeout=None):
        """wait_line for coroutines."""
        return await gw_wait.await_line(self.output_lines, text, count, timeout, self.ended)

    def request_stop(self):
        """Asks the program to stop: SIGTERM, or the end of a Windows build's input."""
        if self.windows:
            self.proc.stdin.close()
        else:
            self.proc.terminate()

    def output(self):
        """Every line so far, as one text."""
        return "\n".join(self.output_lines())

    def wait_for(self, text, timeout=None):
        """Waits until `text` stands in the output (within a line or across lines)."""
        return gw_wait.wait_until(lambda: text in self.output(),
                                  lambda: f"{text!r} in:\n{self.output()[-3000:]}", timeout)

    def stop(self, timeout=None):
        """Asks the program to stop and waits for its end; one that does not end is killed."""
        if self.proc.poll() is None:
            self.request_stop()
            try:
                self.proc.wait(gw_wait.TIMEOUT if timeout is None else timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def split_batch(message: bytes):
    """The client messages inside one WebSocket message (a batch or a single one)."""
    if not message or message[0] != 0x80:
        return [message]
    out, pos = [], 1
    while pos < len(message):
        (n,) = struct.unpack_from("<I", message, pos)
        out.append(message[pos + 4:pos + 4 + n])
        pos += 4 + n
    return out


def make_certificate(folder, name, serial):
    """A self-signed P-256 certificate for 127.0.0.1 with subject CN=`name` and the given
    serial number, made with the openssl command; its two files (certificate, key)."""
    cert, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=" + name, "-set_serial", str(serial),
                    "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True)
    return cert, key


class EchoServer:
    """Runs the ws-echo program `binary` on an ephemeral port with `args`; `nofile` lowers
    its descriptor limit. A Windows build is stopped by the end of its standard input, its
    stand-in for SIGTERM."""

    def __init__(self, binary, *args, nofile=None):
        def limit():
            if nofile is not None:
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))
        self.windows = windows_program(binary)
        self.proc = subprocess.Popen(command(binary, "0", *args), stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, preexec_fn=limit,
                                     stdin=subprocess.PIPE if self.windows else None)
        line = self.proc.stdout.readline()
        if not line.startswith("listening on "):
            self.proc.kill()
            raise RuntimeError("ws-echo did not start: %r %r" % (line, self.proc.stderr.read()))
        self.port = int(line.split()[2])

    def stop(self, timeout=20):
        if self.windows:
            self.proc.stdin.close()
        else:
            self.proc.terminate()
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        finally:
            self.proc.stdout.close()
            self.proc.stderr.close()
