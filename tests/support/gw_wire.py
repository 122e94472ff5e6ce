"""Helpers shared by the end-to-end tests that drive the real programs: a free loopback
port to hand a program, and the client messages inside one WebSocket message.

The tests import this module by path (tests/support is put on sys.path by each test).
"""
import socket
import struct


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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
