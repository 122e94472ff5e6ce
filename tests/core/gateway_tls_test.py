#!/usr/bin/python3
"""End to end: the real `gateway --headless` with --tls-cert/--tls-key between the fake
logic and login servers of gateway_relay_test.py. Certificates are made for the run with
the openssl command; the clients trust exactly those.

Usage: gateway_tls_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import os
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import unittest

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402
from gw_wire import CollectedOutput, command, free_port, make_certificate  # noqa: E402

TIMEOUT = relay.TIMEOUT

class TlsGateway(relay.Gateway):
    """The gateway with TLS options; every client comes from 127.0.0.1 and sends messages
    bigger than a TLS record, so the per-address and size rules are lifted."""

    def __init__(self, logic_port, login_port, args, **settings):
        self.dir = tempfile.TemporaryDirectory()
        self.port = free_port()
        settings = dict(dict(MaxConnOfIPaddr=0, MaxClientMsgCount=0, KickOverPacketSize="False"),
                        **settings)
        with open(os.path.join(self.dir.name, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write(guard.settings_xml(self.port, logic_port, login_port, **settings))
        CollectedOutput.__init__(self, [relay.GATEWAY, "--headless", *args], self.dir.name)


class GatewayTlsTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.certs = tempfile.TemporaryDirectory()
        self.first = make_certificate(self.certs.name, "gw-first", 0x1001)
        self.second = make_certificate(self.certs.name, "gw-second", 0x2002)
        # The files the gateway is started with; a renewal overwrites them in place.
        self.cert_file = os.path.join(self.certs.name, "live.crt")
        self.key_file = os.path.join(self.certs.name, "live.key")
        self.install(self.first)
        # Clients trust both certificates and nothing else.
        self.trust = ssl.create_default_context()
        self.trust.load_verify_locations(cafile=self.first[0])
        self.trust.load_verify_locations(cafile=self.second[0])
        self.trust.set_alpn_protocols(["http/1.1"])
        self.logic = relay.LogicServer()
        self.login = relay.LoginServer()
        await self.logic.start()
        await self.login.start()
        self.gateway = None

    async def asyncTearDown(self):
        if self.gateway:
            self.gateway.stop()
        await self.logic.close()
        await self.login.close()
        self.certs.cleanup()

    def install(self, pair):
        for source, target in zip(pair, (self.cert_file, self.key_file)):
            with open(source, "rb") as f, open(target + ".new", "wb") as g:
                g.write(f.read())
            os.replace(target + ".new", target)

    async def start_gateway(self, extra=(), **settings):
        await relay.start_serving(self, lambda: TlsGateway(
            self.logic.port, self.login.port,
            ("--tls-cert", self.cert_file, "--tls-key", self.key_file, *extra), **settings))

    async def wss_handshake(self):
        """A wss client that answered the token challenge; the login server's %N frame."""
        ws = await websockets.connect(f"wss://127.0.0.1:{self.gateway.port}/", ssl=self.trust,
                                      max_size=None, open_timeout=TIMEOUT)
        challenge = await asyncio.wait_for(ws.recv(), TIMEOUT)
        self.assertEqual(challenge[1:3], b"\xc9\x10")
        answer = await asyncio.to_thread(relay.token_answer, challenge[33:])
        await ws.send(b"\x01\x02" + answer + b"\x03")
        frame = await self.login.next(b"%N")
        return ws, frame

    async def served_serial(self):
        """The serial number of the certificate a new client is shown."""
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", self.gateway.port, ssl=self.trust,
                                    server_hostname="127.0.0.1"), TIMEOUT)
        serial = writer.get_extra_info("peercert")["serialNumber"]
        writer.close()
        return int(serial, 16)

    async def test_balancer_header_comes_before_the_tls_handshake(self):
        # A balancer in TCP mode puts its PROXY header in front of the client's TLS bytes:
        # the gateway reads the header in plain text, then speaks TLS, and knows the client
        # by the carried address.
        await self.start_gateway(extra=("--proxy-protocol",))
        sock = socket.create_connection(("127.0.0.1", self.gateway.port), timeout=TIMEOUT)
        header = (b"\r\n\r\n\x00\r\nQUIT\n" + bytes([0x21, 0x11]) + (12).to_bytes(2, "big")
                  + socket.inet_aton("203.0.113.7") + socket.inet_aton("127.0.0.1")
                  + (40001).to_bytes(2, "big") + self.gateway.port.to_bytes(2, "big"))
        sock.sendall(header)
        sock.setblocking(False)
        ws = await websockets.connect(f"wss://127.0.0.1:{self.gateway.port}/", sock=sock,
                                      ssl=self.trust, server_hostname="127.0.0.1",
                                      max_size=None, open_timeout=TIMEOUT)
        challenge = await asyncio.wait_for(ws.recv(), TIMEOUT)
        answer = await asyncio.to_thread(relay.token_answer, challenge[33:])
        await ws.send(b"\x01\x02" + answer + b"\x03")
        frame = await self.login.next(b"%N")
        self.assertEqual(frame[2:-1].decode().split("/")[1], "203.0.113.7")
        await ws.close()

    async def test_token_check_over_wss_and_login_traffic_both_ways(self):
        await self.start_gateway()
        await self.gateway.wait_line("TLS (wss) on the client port: CN=gw-first, expires ")
        ws, frame = await self.wss_handshake()
        tls = ws.transport.get_extra_info("ssl_object")
        self.assertIn(tls.version(), ("TLSv1.2", "TLSv1.3"))
        self.assertEqual(tls.selected_alpn_protocol(), "http/1.1")
        handle, remote, _local = frame[2:-1].decode().split("/")
        self.assertEqual(remote, "127.0.0.1")
        await self.gateway.wait_line("授权验证成功:{")
        # Bigger than one TLS record each way, so records are split and joined.
        big = b"\x05" + bytes(0x41 + i % 26 for i in range(40000))
        await ws.send(big)
        self.assertEqual(await self.login.next(b"%D"), b"%D" + handle.encode() + b"/" + big + b"$")
        self.login.send(b"%" + handle.encode() + b"/#" + relay.sixbit(b"welcome" * 3000) + b"!$")
        self.assertEqual(await relay.recv_client_messages(ws, 1), [b"\x05" + b"welcome" * 3000])
        await ws.close()
        await self.gateway.wait_line("Client Close : 127.0.0.1 Token:{")

    async def test_plain_clients_are_refused_on_the_tls_port(self):
        await self.start_gateway()
        # A WebSocket client without TLS gets no HTTP answer, only the end of the stream.
        with self.assertRaises((websockets.InvalidMessage, websockets.InvalidHandshake,
                                ConnectionError, EOFError)):
            await websockets.connect(f"ws://127.0.0.1:{self.gateway.port}/",
                                     open_timeout=TIMEOUT)
        # Byte-level: the plain request is answered with nothing readable as HTTP.
        with socket.create_connection(("127.0.0.1", self.gateway.port), TIMEOUT) as s:
            s.settimeout(TIMEOUT)
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                      b"Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      b"Sec-WebSocket-Version: 13\r\n\r\n")
            got = b""
            try:
                while chunk := s.recv(4096):
                    got += chunk
            except ConnectionResetError:
                pass
            self.assertNotIn(b"HTTP/1.1", got)
        # The gateway serves wss clients as before.
        ws, _ = await self.wss_handshake()
        await ws.close()

    async def test_a_handshake_left_unfinished_is_closed_at_the_client_time_out(self):
        # Long enough for the served client's answer (a gatekit process) on a loaded machine.
        await self.start_gateway(ClientTimeOut=4000)
        served, _ = await self.wss_handshake()
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", self.gateway.port), TIMEOUT)
        writer.write(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03")  # a ClientHello's start
        try:
            while await asyncio.wait_for(reader.read(4096), TIMEOUT):
                pass
        except ConnectionResetError:
            pass
        writer.close()
        await self.gateway.wait_line("Client time-out 127.0.0.1: no token check passed within "
                                     "4000 ms (TLS handshake unfinished); closed")
        # The client that finished its handshake and the token check is left alone.
        await served.send(b"\x05still-here")
        self.assertTrue((await self.login.next(b"%D")).endswith(b"/\x05still-here$"))
        await served.close()

    @unittest.skipIf(relay.ON_WINDOWS, relay.NO_SIGHUP_ON_WINDOWS)
    async def test_sighup_serves_a_renewed_certificate_to_new_clients_and_keeps_it_on_a_bad_file(self):
        await self.start_gateway()
        self.assertEqual(await self.served_serial(), 0x1001)
        live, _ = await self.wss_handshake()

        self.install(self.second)
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.gateway.wait_line("TLS certificate reloaded for new clients: CN=gw-second, expires ")
        self.assertEqual(await self.served_serial(), 0x2002)
        # The client connected before the reload goes on with its own session.
        pong = await live.ping()
        await asyncio.wait_for(pong, TIMEOUT)

        # A renewal gone wrong (a key that does not belong to the certificate): logged, and
        # the pair in use stays.
        self.install((self.first[0], self.second[1]))
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.gateway.wait_line("TLS certificate not reloaded, the previous one stays in use: ")
        self.assertEqual(await self.served_serial(), 0x2002)
        with open(self.cert_file, "wb") as f:
            f.write(b"not a certificate\n")
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.gateway.wait_line("TLS certificate not reloaded", count=2)
        self.assertEqual(await self.served_serial(), 0x2002)
        ws, _ = await self.wss_handshake()
        await ws.close()
        await live.close()

    def test_an_unusable_certificate_stops_the_start(self):
        missing = os.path.join(self.certs.name, "missing.key")
        for cert, key, reason in ((self.cert_file, missing, "cannot read the TLS private key file"),
                                  (self.key_file, self.key_file, "cannot read the TLS certificate"),
                                  (self.first[0], self.second[1], "does not belong to")):
            with tempfile.TemporaryDirectory() as cwd:
                done = subprocess.run(command(relay.GATEWAY, "--headless", "--tls-cert", cert,
                                              "--tls-key", key), cwd=cwd, capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=TIMEOUT)
                self.assertEqual(done.returncode, 1, reason)
                self.assertIn(reason, done.stderr.decode())
                self.assertFalse(os.path.exists(os.path.join(cwd, "GateWay.xml")), reason)
        # One option without the other is a usage error.
        done = subprocess.run(command(relay.GATEWAY, "--headless", "--tls-cert", self.cert_file),
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=TIMEOUT)
        self.assertEqual(done.returncode, 2)
        self.assertIn("--tls-cert and --tls-key go together", done.stderr.decode())


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
