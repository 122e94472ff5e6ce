"""Helpers shared by the end-to-end tests that drive the real programs: a free loopback
port to hand a program, a started program whose output lines are collected, and the
client messages inside one WebSocket message.

The tests import this module by path (tests/support is put on sys.path by each test).
"""
import socket
import struct
import subprocess
import threading


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class CollectedOutput:
    """A started program whose stdout and stderr lines a reader thread collects."""

    def __init__(self, args, cwd):
        self.lines = []
        self.lock = threading.Lock()
        self.proc = subprocess.Popen(args, cwd=cwd, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.lock:
                self.lines.append(raw.decode("utf-8", "replace").rstrip("\n"))

    def output_lines(self):
        """The lines so far (a copy)."""
        with self.lock:
            return list(self.lines)


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
