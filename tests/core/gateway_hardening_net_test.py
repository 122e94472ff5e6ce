#!/usr/bin/python3
"""End to end: what an unauthenticated client can still make the real `gateway --headless`
hold or accept at its transport. A frame announcing more than the guard allows is refused
on its header; the metrics listener caps its connections and closes idle ones; the PROXY
header, the TLS handshake and the HTTP upgrade each have a deadline of their own when
ClientTimeOut is 0; TLS resumes no session and offers only AEAD suites in its own order;
certificates outside their validity and keys that need a passphrase are refused; a
balancer's LOCAL health check is served; ambiguous HTTP framing and bad WebSocket keys are
answered 400.

Clients are raw sockets (and python's ssl) bound to distinct 127.0.0.x source addresses.

Usage: gateway_hardening_net_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import datetime
import os
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_edge_test as edge  # noqa: E402
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402
from gw_wait import await_until  # noqa: E402
from gw_wire import command, make_certificate  # noqa: E402

TIMEOUT = relay.TIMEOUT
# The fixed deadlines of the steps before the WebSocket is open (src/common/PeerLimits.h).
STEP_WAIT_S = 10
# What the metrics listener holds at once.
METRICS_CAP = 16


def announcement(length):
    """A masked binary frame header announcing `length` payload bytes (none follow)."""
    return bytes([0x82, 0xFF]) + struct.pack(">Q", length) + os.urandom(4)


def certificate(folder, name, not_before, not_after):
    """A self-signed P-256 certificate valid from `not_before` to `not_after` (made with
    python's cryptography: the openssl command cannot back-date); (certificate, key)."""
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(not_before).not_valid_after(not_after)
            .sign(key, hashes.SHA256()))
    paths = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    with open(paths[0], "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    with open(paths[1], "wb") as f:
        f.write(key.private_bytes(serialization.Encoding.PEM,
                                  serialization.PrivateFormat.PKCS8,
                                  serialization.NoEncryption()))
    os.chmod(paths[1], 0o600)
    return paths


def read_http_reply(sock):
    """One HTTP reply (head and body by Content-Length) from a blocking socket; b"" when the
    connection ended before any byte."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            return data
        data += chunk
    head, body = data.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = sock.recv(4096)
        if not chunk:
            break
        body += chunk
    return head + b"\r\n\r\n" + body


def ended(sock):
    """Reads until the peer ends the connection: "closed" (an orderly end) or "reset".
    The socket is closed afterwards."""
    with sock:
        try:
            while sock.recv(65536):
                pass
            return "closed"
        except ConnectionResetError:
            return "reset"


def connect(port, source, timeout=TIMEOUT):
    sock = socket.create_connection(("127.0.0.1", port), timeout, source_address=(source, 0))
    sock.settimeout(timeout)
    return sock


class GatewayHardeningNetTest(guard.ClientsFixture):
    async def asyncSetUp(self):
        await super().asyncSetUp()
        self.certs = tempfile.TemporaryDirectory()
        self.pair = make_certificate(self.certs.name, "gw-hardening", 0x4242)
        os.chmod(self.pair[1], 0o600)

    async def asyncTearDown(self):
        await super().asyncTearDown()
        self.certs.cleanup()

    async def start_gateway(self, args=(), **settings):
        await relay.start_serving(self, lambda: edge.EdgeGateway(
            self.logic.port, self.login.port, args, (), **{**edge.OPEN, **settings}))

    def tls_args(self, pair=None):
        cert, key = pair or self.pair
        return ("--tls-cert", cert, "--tls-key", key)

    def client_context(self, **kw):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(cafile=self.pair[0])
        for name, value in kw.items():
            setattr(ctx, name, value)
        return ctx

    async def breaches(self, limit):
        return await self.gateway.metric("gateway_limit_breaches_total", f'limit="{limit}"')

    async def client(self, source):
        c = await guard.Client(self.gateway.port, source).connect()
        self.clients.append(c)
        return c

    async def served(self, source):
        c = await (await self.client(source)).handshake()
        self.assertIn(f"/{source}/".encode(), await self.login.next(b"%N"))
        return c

    async def message_passes(self, source, size):
        """A served client sends a message of `size` bytes and a ping: True when the pong
        comes back and the login server got the message, False when a close frame 1009
        comes instead."""
        c = await self.served(source)
        c.send(guard.frame(b"\x05" + b"p" * (size - 1)) + guard.frame(b"k", opcode=9))
        while True:
            opcode, payload = await c.read_message()
            if opcode == 10:
                self.assertTrue((await self.login.next(b"%D")).endswith(b"p$"))
                return True
            if opcode == 8:
                self.assertEqual(payload[:2], b"\x03\xf1")
                return False

    async def test_a_frame_announcing_too_much_is_refused_before_its_payload(self):
        await self.start_gateway(MaxClientPacketSize=7000, KickOverPacketSize="True",
                                 ClientTimeOut=0)
        before = await self.breaches("ws_message_too_big")
        self.assertTrue(await self.message_passes("127.0.0.31", 7000))
        # Only the header is sent: the close frame (1009) comes without waiting for a byte
        # of the announced payload, and the guard judges it as the whole message: an attack.
        c = await (await self.client("127.0.0.32")).upgrade()
        self.assertEqual((await c.read_message())[1][1:3], b"\xc9\x10")  # the challenge
        c.send(announcement(100000))
        self.assertEqual(await c.read_message(), (8, b"\x03\xf1"))
        self.assertEqual(await c.ending(), "closed")
        await self.gateway.wait_line("Attack from 127.0.0.32: message of 100000 bytes over "
                                     "MaxClientPacketSize 7000; disconnected")
        self.assertGreater(await self.breaches("ws_message_too_big"), before)

        if relay.ON_WINDOWS:
            return  # the rest reloads with SIGHUP
        # Without KickOverPacketSize a bigger message is served as before, up to the
        # transport's own bound of 1 MiB; the reload reaches live connections too.
        live = await self.served("127.0.0.33")
        self.gateway.reload(**{**edge.OPEN, "MaxClientPacketSize": 7000,
                               "KickOverPacketSize": "False", "ClientTimeOut": 0})
        await await_until(lambda: self.message_passes("127.0.0.34", 8000),
                             "an 8000-byte message served after the reload")
        live.send(guard.frame(b"\x05" + b"q" * 9000))
        self.assertTrue((await self.login.next(b"%D")).endswith(b"q$"))
        live.send(announcement(2 * 1024 * 1024))
        self.assertEqual(await live.read_message(), (8, b"\x03\xf1"))
        self.assertEqual(await live.ending(), "closed")
        await self.gateway.wait_line("WebSocket message larger than 1048576 bytes from 127.0.0.33 "
                                     "(2097152 announced), connection closed")

    async def test_the_metrics_port_caps_its_connections_and_closes_idle_ones(self):
        await self.start_gateway()
        g = self.gateway
        refused = await self.breaches("metrics_connections")
        idle = await self.breaches("metrics_idle_time_out")

        def fill():
            # Each connection asks once and is kept alive (proof that it is held); one
            # refused because an earlier scrape's connection was still counted is retried.
            held = []
            while len(held) < METRICS_CAP:
                s = connect(g.metrics_port, "127.0.0.41")
                s.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
                reply = read_http_reply(s)
                if reply.startswith(b"HTTP/1.1 "):
                    self.assertNotIn(b"Connection: close", reply)
                    held.append(s)
                else:
                    s.close()
            try:
                extra = connect(g.metrics_port, "127.0.0.42")
                extra.sendall(b"GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n")
            except (ConnectionResetError, BrokenPipeError):
                # On a busy machine the refusal's reset can come before connect() returns.
                return held, "reset"
            return held, ended(extra)

        held, extra_ending = await asyncio.to_thread(fill)
        self.assertIn(extra_ending, ("closed", "reset"))
        # The client port is not starved meanwhile.
        ws = await relay.handshake(g.port)
        await self.login.next(b"%N")
        await ws.close()
        # Idle after their request: closed by the gateway within the idle time.
        endings = await asyncio.to_thread(lambda: [ended(s) for s in held])
        self.assertEqual(endings, ["closed"] * METRICS_CAP)

        async def counted():
            return (await self.breaches("metrics_connections") > refused and
                    await self.breaches("metrics_idle_time_out") >= idle + METRICS_CAP)
        await await_until(counted, "the refusal and the idle closes counted")

    async def test_each_step_before_the_upgrade_has_its_deadline_without_client_time_out(self):
        await self.start_gateway(["--proxy-protocol", *self.tls_args()], ClientTimeOut=0)
        g = self.gateway
        counters = ("proxy_header_time_out", "tls_handshake_time_out", "http_request_time_out")
        before = {name: await self.breaches(name) for name in counters}
        header = edge.proxy_v1("198.51.100.44").replace(b" 443\r\n", b" %d\r\n" % g.port)
        ctx = self.client_context()

        def stall_in_header():
            s = connect(g.port, "127.0.0.43", STEP_WAIT_S + TIMEOUT)
            s.sendall(header[:12])
            return ended(s)

        def stall_in_handshake():
            s = connect(g.port, "127.0.0.44", STEP_WAIT_S + TIMEOUT)
            s.sendall(header)
            return ended(s)

        def stall_in_request():
            s = connect(g.port, "127.0.0.45", STEP_WAIT_S + TIMEOUT)
            s.sendall(header.replace(b"198.51.100.44", b"198.51.100.45"))
            with ctx.wrap_socket(s, server_hostname="127.0.0.1") as tls:
                tls.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: web")
                try:
                    return "closed" if tls.recv(4096) == b"" else "data"
                except (ssl.SSLError, ConnectionResetError):
                    return "closed"

        endings = await asyncio.gather(*(asyncio.to_thread(f) for f in (
            stall_in_header, stall_in_handshake, stall_in_request)))
        self.assertEqual(endings, ["closed"] * 3)
        await g.wait_line("Closed a connection from 127.0.0.43: no complete PROXY protocol "
                          "header in time")
        await g.wait_line("Closed a connection from 198.51.100.44: TLS handshake not finished "
                          f"within {STEP_WAIT_S} s")
        await g.wait_line("Closed a connection from 198.51.100.45: no complete HTTP request "
                          f"within {STEP_WAIT_S} s")
        for name in counters:
            self.assertGreater(await self.breaches(name), before[name], name)

    async def test_tls_resumes_nothing_and_offers_only_aead_suites_in_its_own_order(self):
        await self.start_gateway(self.tls_args())
        port = self.gateway.port

        def handshake(ctx, session=None):
            s = connect(port, "127.0.0.51")
            tls = ctx.wrap_socket(s, server_hostname="127.0.0.1", session=session)
            tls.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")  # read a reply: tickets come first
            read_http_reply(tls)
            result = tls.session, tls.session_reused, tls.cipher()[0], tls.version()
            tls.close()
            return result

        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(f"no resumption, {version.name}"):
                ctx = self.client_context(minimum_version=version, maximum_version=version)
                session, reused, _, _ = await asyncio.to_thread(handshake, ctx)
                again = await asyncio.to_thread(handshake, ctx, session if session and
                                                session.has_ticket or version.name == "TLSv1_2"
                                                else None)
                self.assertFalse(reused)
                self.assertFalse(again[1])
        tls12 = dict(minimum_version=ssl.TLSVersion.TLSv1_2, maximum_version=ssl.TLSVersion.TLSv1_2)
        for suites in ("ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA",
                       "ECDHE-ECDSA-AES128-SHA256:ECDHE-ECDSA-AES256-SHA384", "AES128-GCM-SHA256"):
            with self.subTest(f"refused: {suites}"):
                ctx = self.client_context(**tls12)
                ctx.set_ciphers(suites)
                with self.assertRaises((ssl.SSLError, ConnectionResetError)):
                    await asyncio.to_thread(handshake, ctx)
        with self.subTest("the server's order wins"):
            ctx = self.client_context(**tls12)
            ctx.set_ciphers("ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384:"
                            "ECDHE-ECDSA-AES128-GCM-SHA256")
            _, _, cipher, version = await asyncio.to_thread(handshake, ctx)
            self.assertEqual((cipher, version), ("ECDHE-ECDSA-AES128-GCM-SHA256", "TLSv1.2"))
        # The key file is the operator's own: no warning about it.
        self.assertFalse(self.gateway.has("is not private"))

    def test_certificates_outside_their_validity_and_locked_keys_stop_the_start(self):
        now = datetime.datetime.now(datetime.timezone.utc)
        day = datetime.timedelta(days=1)
        expired = certificate(self.certs.name, "gw-expired", now - 3 * day, now - day)
        future = certificate(self.certs.name, "gw-future", now + day, now + 3 * day)
        locked = os.path.join(self.certs.name, "locked.key")
        subprocess.run(["openssl", "pkey", "-in", self.pair[1], "-aes256", "-passout",
                        "pass:secret", "-out", locked], check=True, capture_output=True)
        cases = [("expired", expired, "' expired on "),
                 ("not yet valid", future, "' is not valid before "),
                 ("passphrase", (self.pair[0], locked), "' is protected by a passphrase")]
        for name, (cert, key), reason in cases:
            with self.subTest(name), tempfile.TemporaryDirectory() as cwd:
                # No terminal to prompt on: a prompt would fail or hang, not pass.
                done = subprocess.run(command(relay.GATEWAY, "--headless", "--tls-cert", cert,
                                              "--tls-key", key), cwd=cwd, capture_output=True,
                                      stdin=subprocess.DEVNULL, start_new_session=True,
                                      timeout=TIMEOUT)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn(reason, done.stderr.decode())

    @unittest.skipIf(relay.ON_WINDOWS, relay.NO_SIGHUP_ON_WINDOWS)
    async def test_a_reload_keeps_the_pair_in_use_over_an_expired_one_and_warns_of_open_keys(self):
        now = datetime.datetime.now(datetime.timezone.utc)
        expired = certificate(self.certs.name, "gw-expired", now - 3 * datetime.timedelta(days=1),
                              now - datetime.timedelta(days=1))
        live = os.path.join(self.certs.name, "live.crt"), os.path.join(self.certs.name, "live.key")
        for source, target in zip(self.pair, live):
            with open(source, "rb") as f, open(target, "wb") as g:
                g.write(f.read())
        os.chmod(live[1], 0o644)
        await self.start_gateway(self.tls_args(live))
        await self.gateway.wait_line(f"TLS private key '{live[1]}' is not private (mode 0644: "
                                     "readable by others)")
        for source, target in zip(expired, live):
            with open(source, "rb") as f, open(target + ".new", "wb") as g:
                g.write(f.read())
            os.replace(target + ".new", target)
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.gateway.wait_line("TLS certificate not reloaded, the previous one stays in use: "
                                     f"the TLS certificate '{live[0]}' expired on ")

        def served_subject():
            with connect(self.gateway.port, "127.0.0.52") as s:
                with self.client_context().wrap_socket(s, server_hostname="127.0.0.1") as tls:
                    return dict(x[0] for x in tls.getpeercert()["subject"])["commonName"]
        self.assertEqual(await asyncio.to_thread(served_subject), "gw-hardening")

    async def test_a_local_health_check_is_served_and_unknown_stays_closed(self):
        await self.start_gateway(["--proxy-protocol"], ClientTimeOut=0)
        check = await edge.Balanced(self.gateway.port, "127.0.0.61",
                                    edge.proxy_v2("", local=True)).connect()
        self.clients.append(check)
        await check.handshake()
        # Served as the balancer's own address.
        self.assertIn(b"/127.0.0.61/", await self.login.next(b"%N"))
        unknown = await self.client("127.0.0.62")
        unknown.send(b"PROXY UNKNOWN\r\nGET / HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(await unknown.ending(), "closed")

    async def test_ambiguous_requests_and_bad_keys_are_answered_400_and_closed(self):
        await self.start_gateway()
        before = await self.breaches("http_request_invalid")

        def upgrade(extra="", key="dGhlIHNhbXBsZSBub25jZQ=="):
            return ("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                    f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                    f"Sec-WebSocket-Version: 13\r\n{extra}\r\n").encode()

        cases = [
            ("length and chunked", upgrade("Content-Length: 4\r\nTransfer-Encoding: chunked\r\n"),
             b"Content-Length and Transfer-Encoding together."),
            ("blank before a colon", upgrade("Origin : http://x\r\n"),
             b"Whitespace before a header field's colon."),
            ("invalid length", upgrade("Content-Length: 12abc\r\n"), b"Content-Length invalid."),
            ("one-letter key", upgrade(key="x"), b"Sec-WebSocket-Key invalid."),
            ("key of 20 bytes", upgrade(key="AAAAAAAAAAAAAAAAAAAAAAAAAAA="),
             b"Sec-WebSocket-Key invalid."),
        ]
        for number, (name, request, body) in enumerate(cases):
            with self.subTest(name):
                c = await self.client(f"127.0.0.{71 + number}")
                # A second request right behind: never answered, the connection ends.
                c.send(request + b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")
                reply = await asyncio.wait_for(c.reader.read(65536), TIMEOUT)
                while not reply.endswith(body) and (more := await c.reader.read(65536)):
                    reply += more
                self.assertTrue(reply.startswith(b"HTTP/1.1 400 Bad Request\r\n"), reply)
                self.assertIn(b"\r\nConnection: close\r\n", reply)
                self.assertTrue(reply.endswith(body), reply)
                self.assertEqual(await c.ending(), "closed")
        await self.gateway.wait_line("Answered 400 to 127.0.0.71: Content-Length and "
                                     "Transfer-Encoding together. Connection closed")

        async def counted():
            return await self.breaches("http_request_invalid") >= before + len(cases)
        await await_until(counted, "every refusal counted")
        # A well-formed upgrade is still served.
        await self.served("127.0.0.79")


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
