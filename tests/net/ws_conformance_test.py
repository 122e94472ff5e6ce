"""Conformance of the transport against an independent client: Debian's
python3-websockets talking to the ws-echo example.

Usage: /usr/bin/python3 ws_conformance_test.py <path to ws-echo>
"""
import asyncio
import os
import sys
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gw_wire  # noqa: E402

WS_ECHO = None
MAX_MESSAGE = 4096


def echo_server(*args, **kw):
    return gw_wire.EchoServer(WS_ECHO, *args, **kw)


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, timeout=60))


class ConformanceTest(unittest.TestCase):
    def setUp(self):
        self.server = echo_server("--max-message", str(MAX_MESSAGE), "--threads", "4")
        self.uri = "ws://127.0.0.1:%d/" % self.server.port

    def tearDown(self):
        self.assertEqual(self.server.stop(), 0, "ws-echo exits cleanly on SIGTERM")

    def connect(self):
        return websockets.connect(self.uri, ping_interval=None, max_size=None)

    def test_binary_and_text_round_trip(self):
        async def body():
            async with self.connect() as ws:
                for size in (0, 1, 125, 126, 4000, MAX_MESSAGE):
                    data = os.urandom(size)
                    await ws.send(data)
                    self.assertEqual(await ws.recv(), data)
                for text in ("", "hello", "héllo wörld ✓", "x" * 1000):
                    await ws.send(text)
                    reply = await ws.recv()
                    self.assertIsInstance(reply, str)
                    self.assertEqual(reply, text)
        run(body())

    def test_many_messages_in_flight_keep_order(self):
        async def body():
            async with self.connect() as ws:
                sent = [os.urandom(1 + i % 300) for i in range(500)]
                for data in sent:
                    await ws.send(data)
                for data in sent:
                    self.assertEqual(await ws.recv(), data)
        run(body())

    def test_fragmented_send_is_joined(self):
        async def body():
            async with self.connect() as ws:
                parts = [b"abc", os.urandom(200), b"", b"xyz"]
                await ws.send(iter(parts))
                self.assertEqual(await ws.recv(), b"".join(parts))
                await ws.send(iter(["frag", "mented ", "text"]))
                self.assertEqual(await ws.recv(), "fragmented text")
        run(body())

    def test_ping_is_answered(self):
        async def body():
            async with self.connect() as ws:
                waiter = await ws.ping(b"\x01\x02\x03\x04")
                await asyncio.wait_for(waiter, timeout=20)
                await ws.send(b"after ping")
                self.assertEqual(await ws.recv(), b"after ping")
        run(body())

    def test_close_handshake_completes(self):
        async def body():
            ws = await self.connect()
            await ws.send(b"bye")
            self.assertEqual(await ws.recv(), b"bye")
            await ws.close(code=1000, reason="done")
            # The server answers with a close frame without status, then shuts down.
            self.assertTrue(ws.closed)
            self.assertEqual(ws.close_code, 1005)
        run(body())

    def test_message_over_the_limit_closes_the_connection(self):
        async def body():
            async with self.connect() as ws:
                await ws.send(os.urandom(MAX_MESSAGE))
                self.assertEqual(len(await ws.recv()), MAX_MESSAGE)
                await ws.send(os.urandom(MAX_MESSAGE + 1))
                with self.assertRaises(websockets.exceptions.ConnectionClosed) as caught:
                    await ws.recv()
                self.assertEqual(caught.exception.rcvd.code, 1009)
            # Fragments that together pass the limit count as one message.
            async with self.connect() as ws:
                await ws.send(iter([b"a" * (MAX_MESSAGE // 2), b"b" * (MAX_MESSAGE // 2 + 1)]))
                with self.assertRaises(websockets.exceptions.ConnectionClosed):
                    await ws.recv()
        run(body())

    def test_plain_http_request_gets_404(self):
        async def body():
            reader, writer = await asyncio.open_connection("127.0.0.1", self.server.port)
            writer.write(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
            await writer.drain()
            reply = await reader.read()  # the server closes after the reply
            writer.close()
            self.assertTrue(reply.startswith(b"HTTP/1.1 404 Not Found\r\n"), reply)
            self.assertTrue(reply.endswith(b"\r\n\r\nNot Found"), reply)
        run(body())


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    WS_ECHO = sys.argv.pop(1)
    unittest.main(verbosity=2)
