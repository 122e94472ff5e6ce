"""The transport under hostile or unusual input, against the ws-echo example: a raw
socket client sends exactly the bytes each case needs (as an attacker would), and
Debian's python3-websockets checks the RFC 6455 behaviour a real client relies on.

Usage: /usr/bin/python3 ws_hardening_test.py <path to ws-echo>
"""
import asyncio
import base64
import hashlib
import os
import select
import socket
import struct
import sys
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gw_wire  # noqa: E402
from gw_wait import wait_until  # noqa: E402

WS_ECHO = None
KEY = "dGhlIHNhbXBsZSBub25jZQ=="
ACCEPT = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo="  # RFC 6455 1.3
WAIT = 20.0  # seconds any single condition may take on a loaded machine


def echo_server(*args, **kw):
    return gw_wire.EchoServer(WS_ECHO, *args, **kw)


def upgrade_request(extra="", version="13"):
    fields = "GET /chat HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n" \
             "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n" % KEY
    if version is not None:
        fields += "Sec-WebSocket-Version: %s\r\n" % version
    return (fields + extra + "\r\n").encode("latin-1")


def frame(opcode, payload=b"", fin=True, mask=True, rsv=0, length=None):
    """One client frame; `length` overrides the announced payload length."""
    head = bytes([(0x80 if fin else 0) | (rsv << 4) | opcode])
    n = len(payload) if length is None else length
    bit = 0x80 if mask else 0
    if n <= 125:
        head += bytes([bit | n])
    elif n <= 0xFFFF:
        head += bytes([bit | 126]) + struct.pack(">H", n)
    else:
        head += bytes([bit | 127]) + struct.pack(">Q", n)
    if not mask:
        return head + payload
    key = os.urandom(4)
    return head + key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))


class RawClient:
    """A blocking loopback client that reads HTTP replies and server frames."""

    def __init__(self, port, rcvbuf=None):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.sock.settimeout(WAIT)
        self.sock.connect(("127.0.0.1", port))
        self.buf = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise EOFError
        self.buf += chunk

    def read_exact(self, n):
        while len(self.buf) < n:
            self._fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def read_reply(self):
        """The status line, the fields (lower-case names) and the body."""
        while b"\r\n\r\n" not in self.buf:
            self._fill()
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        fields = {}
        for line in lines[1:]:
            name, _, value = line.partition(":")
            fields[name.strip().lower()] = value.strip()
        body = self.read_exact(int(fields.get("content-length", "0")))
        return lines[0], fields, body

    def read_frame(self):
        b0, b1 = self.read_exact(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack(">H", self.read_exact(2))[0]
        elif n == 127:
            n = struct.unpack(">Q", self.read_exact(8))[0]
        return b0 & 0x80 != 0, b0 & 0x0F, self.read_exact(n)

    def upgrade(self):
        self.send(upgrade_request())
        status, fields, _ = self.read_reply()
        assert status == "HTTP/1.1 101 Switching Protocols", status
        return fields

    def at_end(self):
        """True once the server has ended the stream (end of stream or reset); fails the
        wait, with the bytes read meanwhile, when it does not within WAIT."""
        def ended():
            try:
                chunk = self.sock.recv(65536)
            except (ConnectionResetError, socket.timeout):
                return True
            if not chunk:
                return True
            self.buf += chunk
            return False
        return wait_until(ended, lambda: f"the end of the stream ({len(self.buf)} bytes "
                          f"read meanwhile)", WAIT, interval=0)


class HardeningTest(unittest.TestCase):
    def setUp(self):
        self.server = echo_server("--threads", "4", "--max-message", "65536")
        self.clients = []

    def tearDown(self):
        for c in self.clients:
            c.close()
        self.assertEqual(self.server.stop(), 0, "ws-echo exits cleanly on SIGTERM")

    def client(self, **kw):
        c = RawClient(self.server.port, **kw)
        self.clients.append(c)
        return c

    def opened(self):
        c = self.client()
        c.upgrade()
        return c

    # --- HTTP ------------------------------------------------------------------------

    def test_request_text_never_reaches_the_status_line(self):
        for request in (b"GET / HTTP/1.1\nX-Evil: yes\r\n\r\n",
                        b"GET / XYZ/9.9\r\nX: y\r\n\r\n",
                        b"GET / HTTP/1.1\rX-Evil: yes\r\n\r\n"):
            c = self.client()
            c.send(request)
            status, fields, body = c.read_reply()
            self.assertEqual(status, "HTTP/1.1 400 Bad Request", request)
            self.assertNotIn("x-evil", fields)
            self.assertEqual(fields["connection"], "close")
            self.assertTrue(c.at_end())

    def test_only_version_13_is_upgraded(self):
        for version in ("8", "14", None, "13, 8"):
            c = self.client()
            c.send(upgrade_request(version=version))
            status, fields, _ = c.read_reply()
            self.assertEqual(status, "HTTP/1.1 426 Upgrade Required", version)
            self.assertEqual(fields["sec-websocket-version"], "13")
            self.assertEqual(fields["connection"], "close")
            self.assertTrue(c.at_end())

    def test_padded_and_repeated_fields(self):
        # Blanks and a tab around the key; Connection on two lines.
        c = self.client()
        c.send(b"GET / HTTP/1.1\r\nConnection: Upgrade\r\nConnection: keep-alive\r\n"
               b"Upgrade:\twebsocket \r\nSec-WebSocket-Key: \t" + KEY.encode() +
               b" \t\r\nSec-WebSocket-Version: 13\r\n\r\n")
        status, fields, _ = c.read_reply()
        self.assertEqual(status, "HTTP/1.1 101 Switching Protocols")
        self.assertEqual(fields["sec-websocket-accept"], ACCEPT)
        # The 101 reply keeps its extra fields.
        self.assertEqual(fields["server"], "GateHttpServer/2.0")
        self.assertEqual(fields["content-length"], "0")

    def test_many_tiny_fields_are_read(self):
        c = self.client()
        head = upgrade_request(extra="a:\r\n" * 3000)
        self.assertLess(len(head), 16 * 1024)
        c.send(head)
        status, _, _ = c.read_reply()
        self.assertEqual(status, "HTTP/1.1 101 Switching Protocols")

    def test_not_found_says_connection_close(self):
        c = self.client()
        c.send(b"GET / HTTP/1.1\r\nConnection: keep-alive\r\n\r\n")
        status, fields, body = c.read_reply()
        self.assertEqual(status, "HTTP/1.1 404 Not Found")
        self.assertEqual(fields["connection"], "close")
        self.assertTrue(c.at_end())

    # --- Framing (Autobahn-style cases) ----------------------------------------------

    def test_control_frames_between_fragments(self):
        c = self.opened()
        c.send(frame(0x1, b"frag", fin=False) + frame(0x9, b"p1") +
               frame(0x0, b"men", fin=False) + frame(0xA, b"unsolicited") +
               frame(0x9, b"p2") + frame(0x0, b"ted", fin=True))
        got = [c.read_frame() for _ in range(3)]
        self.assertEqual(got, [(True, 0xA, b"p1"), (True, 0xA, b"p2"),
                               (True, 0x1, b"fragmented")])

    def test_unmasked_frames_and_reserved_bits_are_taken(self):
        c = self.opened()
        c.send(frame(0x2, b"plain", mask=False) + frame(0x2, b"rsv", rsv=0x7))
        self.assertEqual(c.read_frame(), (True, 0x2, b"plain"))
        self.assertEqual(c.read_frame(), (True, 0x2, b"rsv"))

    def test_client_close_is_answered_without_status(self):
        for payload in (b"", struct.pack(">H", 1000), struct.pack(">H", 4000) + b"reason"):
            c = self.opened()
            c.send(frame(0x8, payload))
            self.assertEqual(c.read_frame(), (True, 0x8, b""))
            self.assertTrue(c.at_end())

    def test_protocol_errors_close_with_1002(self):
        cases = {
            "control frame of 126 bytes": frame(0x9, b"x" * 126),
            "fragmented ping": frame(0x9, b"x", fin=False),
            "continuation without a start": frame(0x0, b"x"),
            "new message inside a fragmented one":
                frame(0x2, b"a", fin=False) + frame(0x2, b"b"),
        }
        for name, data in cases.items():
            c = self.opened()
            c.send(data)
            self.assertEqual(c.read_frame(), (True, 0x8, struct.pack(">H", 1002)), name)
            self.assertTrue(c.at_end(), name)

    def test_announced_lengths_over_the_limit_close_with_1009(self):
        for n in (65537, 2 ** 40, 2 ** 63 + 5):
            c = self.opened()
            c.send(frame(0x2, b"", length=n)[:14])  # the header alone
            self.assertEqual(c.read_frame(), (True, 0x8, struct.pack(">H", 1009)), n)
            self.assertTrue(c.at_end())

    def test_nothing_is_sent_after_a_close_frame(self):
        # Messages and a ping right behind the client's close are not answered: the
        # close reply is the last frame, then the stream ends.
        c = self.opened()
        c.send(frame(0x2, b"before") + frame(0x8) + frame(0x2, b"after") + frame(0x9, b"p"))
        self.assertEqual(c.read_frame(), (True, 0x2, b"before"))
        self.assertEqual(c.read_frame(), (True, 0x8, b""))
        self.assertTrue(c.at_end())
        self.assertEqual(c.buf, b"")

    def test_python_client_sees_a_clean_close(self):
        async def body():
            uri = "ws://127.0.0.1:%d/" % self.server.port
            async with websockets.connect(uri, ping_interval=None) as ws:
                await ws.send("x")
                self.assertEqual(await ws.recv(), "x")
                await ws.close(code=1001)
                self.assertEqual(ws.close_code, 1005)
        asyncio.run(asyncio.wait_for(body(), timeout=60))


class ServerCloseTest(unittest.TestCase):
    """The server's own closes reach a real client as clean closes with their status code
    (before, a kicked browser saw 1006 and wasClean=false)."""

    def test_close_codes_arrive_cleanly(self):
        server = echo_server("--threads", "2", "--close-command", "!close ")
        try:
            async def body():
                uri = "ws://127.0.0.1:%d/" % server.port
                for code in (1000, 1008, 1009, 1011):
                    async with websockets.connect(uri, ping_interval=None) as ws:
                        await ws.send("!close %d" % code)
                        with self.assertRaises(websockets.exceptions.ConnectionClosedOK
                                               if code == 1000 else
                                               websockets.exceptions.ConnectionClosedError):
                            await ws.recv()
                        await ws.wait_closed()
                        self.assertEqual(ws.close_code, code)
                        self.assertIsNotNone(ws.close_rcvd)
                        self.assertEqual(ws.close_rcvd.code, code)
            asyncio.run(asyncio.wait_for(body(), timeout=60))
        finally:
            self.assertEqual(server.stop(), 0)


class SlowReaderTest(unittest.TestCase):
    """A client that sends and never reads: the transport's own bound closes it."""

    def test_send_queue_bound_closes_with_1008(self):
        server = echo_server("--threads", "2", "--max-queued", str(1 << 20))
        try:
            c = RawClient(server.port, rcvbuf=4096)
            c.upgrade()
            message = frame(0x2, os.urandom(60000))
            c.sock.settimeout(1.0)

            def closed():
                try:
                    c.send(message)
                except (BrokenPipeError, ConnectionResetError):
                    return True
                except socket.timeout:
                    return bool(select.select([server.proc.stderr], [], [], 0)[0])
                return False
            # Echoes pile up on the server's side until the bound closes the connection.
            wait_until(closed, "the send queue's bound to close the connection", 60, interval=0)
            warning = server.proc.stderr.readline()
            self.assertIn("send queue", warning)
            c.close()
        finally:
            self.assertEqual(server.stop(), 0)


class DescriptorLimitTest(unittest.TestCase):
    """Out of descriptors with several I/O threads: every new client is refused at once
    (never left hanging), and clients are served again once descriptors are free."""

    NOFILE = 64

    def test_refuses_promptly_and_recovers(self):
        server = echo_server("--threads", "4", nofile=self.NOFILE)
        held, refused = [], 0
        try:
            # One full life of a connection first. A sanitized build checks each class's
            # dynamic type the first time it meets it, with a pipe: that check would fail
            # with every descriptor taken, so the types are met while some are free.
            for closing in (frame(0x8), frame(0x9, b"x" * 126)):
                c = RawClient(server.port)
                c.upgrade()
                c.send(frame(0x2, b"warm") + closing)
                self.assertEqual(c.read_frame(), (True, 0x2, b"warm"))
                c.read_frame()
                self.assertTrue(c.at_end())
                c.close()
            for _ in range(3 * self.NOFILE):
                c = RawClient(server.port)
                try:
                    c.upgrade()
                    held.append(c)
                except (EOFError, ConnectionResetError, BrokenPipeError):
                    refused += 1  # accepted and closed: an answer, not a hang
                    c.close()
            self.assertGreater(len(held), 0)
            self.assertGreater(refused, self.NOFILE)
            # The held connections still echo.
            held[0].send(frame(0x2, b"still here"))
            self.assertEqual(held[0].read_frame(), (True, 0x2, b"still here"))
            for c in held:
                c.close()
            held = []
            # Descriptors come free as the server notices the closes.
            def served():
                c = RawClient(server.port)
                try:
                    c.upgrade()
                    c.send(frame(0x1, b"back"))
                    return c.read_frame() == (True, 0x1, b"back")
                except (EOFError, ConnectionResetError, BrokenPipeError):
                    return False
                finally:
                    c.close()
            wait_until(served, "a client served again after descriptors came free", WAIT)
        finally:
            for c in held:
                c.close()
            self.assertEqual(server.stop(), 0)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    WS_ECHO = sys.argv.pop(1)
    unittest.main(verbosity=2)
