#!/usr/bin/python3
"""End to end: the real `gateway --headless` binary deployed behind a load balancer.
The PROXY protocol header (v1 and v2) names the client the login and logic servers,
block lists and logs see; connections that do not come from a trusted balancer, or
bring no valid header in time, are turned away; /metrics and /healthz follow the
clients and the links; SIGTERM (a Windows build: the end of its standard input) closes
upgraded clients with a close frame 1001.

The balancer is played by raw sockets bound to distinct 127.0.0.x source addresses
that write the header themselves.

Usage: gateway_edge_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import ipaddress
import os
import socket
import struct
import sys
import unittest
import urllib.error
import urllib.request

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402
from gw_wait import await_metric, await_until, metric_value  # noqa: E402
from gw_wire import free_port  # noqa: E402

TIMEOUT = relay.TIMEOUT
V2_SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"


def proxy_v1(client, client_port=40000):
    family = "TCP6" if ":" in client else "TCP4"
    server = "::1" if family == "TCP6" else "127.0.0.1"
    return f"PROXY {family} {client} {server} {client_port} 443\r\n".encode()


def proxy_v2(client, client_port=40000, local=False):
    if local:
        return V2_SIGNATURE + bytes([0x20, 0x00]) + struct.pack(">H", 0)
    addr = ipaddress.ip_address(client)
    if addr.version == 4:
        body = addr.packed + ipaddress.ip_address("127.0.0.1").packed
        family = 0x11  # TCP over IPv4
    else:
        body = addr.packed + ipaddress.ip_address("::1").packed
        family = 0x21  # TCP over IPv6
    body += struct.pack(">HH", client_port, 443)
    # A TLV a balancer may add (PP2_TYPE_NOOP): it must be skipped.
    body += bytes([0x04]) + struct.pack(">H", 3) + b"pad"
    return V2_SIGNATURE + bytes([0x21, family]) + struct.pack(">H", len(body)) + body


def http_get(url):
    """(status, body) of a GET; an HTTP error status is a result too."""
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as reply:
            return reply.status, reply.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def metric(text, name, labels=""):
    """The value of one sample of an exposition (None when absent)."""
    return metric_value(text, name, labels)


class EdgeGateway(guard.GuardedGateway):
    """The guarded gateway with a metrics listener and command-line options."""

    def __init__(self, logic_port, login_port, args=(), block_list=(), **settings):
        self.metrics_port = free_port()
        super().__init__(logic_port, login_port, block_list,
                         ("--metrics", f"127.0.0.1:{self.metrics_port}", *args), **settings)

    def url(self, path):
        return f"http://127.0.0.1:{self.metrics_port}{path}"

    async def get(self, path):
        return await asyncio.to_thread(http_get, self.url(path))

    async def metrics_text(self):
        status, text = await self.get("/metrics")
        assert status == 200, status
        return text

    async def metric(self, name, labels=""):
        return metric(await self.metrics_text(), name, labels)

    async def wait_metric(self, name, labels, holds, what):
        """Waits until the sample satisfies `holds`; `what` says what it checks."""
        return await await_metric(self.metrics_text, name, holds, labels, what)


class Balanced(guard.Client):
    """A client relayed by a balancer at `source`: the header goes first."""

    def __init__(self, port, source, header):
        super().__init__(port, source)
        self.header = header

    async def upgrade(self):
        # The header and the client's request in one write: the gateway must keep the
        # bytes that follow the header in the same read.
        key = "dGhlIHNhbXBsZSBub25jZQ=="
        self.send(self.header + ("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                 f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                                 "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = await asyncio.wait_for(self.reader.readuntil(b"\r\n\r\n"), TIMEOUT)
        assert head.startswith(b"HTTP/1.1 101"), head
        return self


# Loose guard settings: every connection of a test comes from the balancer's address.
OPEN = dict(MaxConnOfIPaddr=0, MaxClientMsgCount=0, KickOverPacketSize="False")


class GatewayEdgeTest(guard.ClientsFixture):
    async def start_gateway(self, args=(), block_list=(), **settings):
        await relay.start_serving(self, lambda: EdgeGateway(
            self.logic.port, self.login.port, args, block_list, **{**OPEN, **settings}))

    async def relayed(self, source, header):
        c = await Balanced(self.gateway.port, source, header).connect()
        self.clients.append(c)
        return c

    async def test_the_carried_address_reaches_the_servers_and_the_log(self):
        await self.start_gateway(["--proxy-protocol"])
        cases = [("v1 IPv4", proxy_v1, "198.51.100.7"), ("v1 IPv6", proxy_v1, "2001:db8::7"),
                 ("v2 IPv4", proxy_v2, "203.0.113.9"), ("v2 IPv6", proxy_v2, "2001:db8::9"),
                 ("v2 IPv4-mapped IPv6", proxy_v2, "::ffff:192.0.2.5")]
        for name, make, client in cases:
            with self.subTest(name):
                shown = client.removeprefix("::ffff:")
                c = await (await self.relayed("127.0.0.1", make(client))).handshake()
                frame_n = await self.login.next(b"%N")
                self.assertIn(f"/{shown}/".encode(), frame_n)
                await self.gateway.wait_line("客户端连接:" + shown + " ")
                # Into the game: the logic server's registration names the client too.
                handle = frame_n[2:-1].decode().split("/")[0]
                self.login.send(b"%" + handle.encode() + b"/#" + relay.sixbit(b"\x12\x02ok") +
                                b"!$")
                ident, *_, payload = await self.logic.next(1)
                self.assertIn(shown.encode(), payload)
                c.close()

    async def test_connections_turned_away(self):
        # A balancer at 127.0.0.2 only; the client time-out also bounds the header's wait.
        await self.start_gateway(["--proxy-protocol", "--proxy-from", "127.0.0.2/32"],
                                 block_list=["192.0.2.66"], ClientTimeOut=4000,
                                 MaxConnOfIPaddr=1)
        cases = [
            ("untrusted balancer", "127.0.0.1", proxy_v1("198.51.100.1"),
             "not a trusted balancer", "proxy_untrusted_source"),
            ("blocked client", "127.0.0.2", proxy_v2("192.0.2.66"),
             "Refused 192.0.2.66: the address is blocked", "blocked"),
            ("no header", "127.0.0.2", b"GET / HTTP/1.1\r\nHost: x\r\n\r\n",
             "not a valid PROXY protocol header", "proxy_header_invalid"),
            ("malformed header", "127.0.0.2", b"PROXY TCP4 1.2.3.4 5.6.7.8 1 2 extra\r\n",
             "not a valid PROXY protocol header", "proxy_header_invalid"),
            ("header never completed", "127.0.0.2", b"PROXY TCP4 198.51.",
             "no complete PROXY protocol header in time", "proxy_header_time_out"),
            ("silent", "127.0.0.2", b"",
             "no complete PROXY protocol header in time", "proxy_header_time_out"),
        ]
        for name, source, data, line, reason in cases:
            with self.subTest(name):
                before = await self.gateway.metric("gateway_refused_connections_total",
                                                   f'reason="{reason}"')
                c = await self.relayed(source, data)
                if data and not c.reset:
                    c.send(data)
                self.assertIn(await c.ending(), ("reset", "closed"))
                await self.gateway.wait_line(line)
                after = await self.gateway.metric("gateway_refused_connections_total",
                                                  f'reason="{reason}"')
                self.assertGreater(after, before)
        # The trusted balancer still serves an allowed client, and the per-address limit
        # counts the carried address, not the balancer's: one client of 198.51.100.2 at a
        # time, while another client behind the same balancer is served.
        first = await (await self.relayed("127.0.0.2", proxy_v2("198.51.100.2"))).handshake()
        self.assertIn(b"/198.51.100.2/", await self.login.next(b"%N"))
        second = await self.relayed("127.0.0.2", proxy_v1("198.51.100.2"))
        second.send(second.header)
        self.assertIn(await second.ending(), ("reset", "closed"))
        await self.gateway.wait_line("Refused 198.51.100.2: it already holds 1 connections")
        await (await self.relayed("127.0.0.2", proxy_v1("198.51.100.3"))).handshake()
        self.assertIn(b"/198.51.100.3/", await self.login.next(b"%N"))
        first.close()
        await self.login.next(b"%C")
        await (await self.relayed("127.0.0.2", proxy_v1("198.51.100.2"))).handshake()
        self.assertIn(b"/198.51.100.2/", await self.login.next(b"%N"))
        # A LOCAL header (the balancer's health check) is served at the balancer's address:
        # one that sends nothing after it meets the client time-out like any silent client.
        check = await self.relayed("127.0.0.2", proxy_v2("", local=True))
        check.send(check.header)
        self.assertEqual(await check.ending(), "closed")
        await self.gateway.wait_line("Client time-out 127.0.0.2: no token check passed")

    async def test_metrics_follow_a_client(self):
        await self.start_gateway()
        g = self.gateway

        self.assertEqual(await g.metric("gateway_sessions"), 0)
        received = await g.metric("gateway_client_messages_received_total")
        ws = await relay.handshake(g.port)
        await self.login.next(b"%N")
        await g.wait_metric("gateway_sessions", "", lambda v: v == 1, "== 1")
        await g.wait_metric("gateway_sessions_by_step", 'step="login"', lambda v: v == 1, "== 1")
        await g.wait_metric("gateway_handshake_seconds_count", "", lambda v: v >= 1, ">= 1")
        await g.wait_metric("gateway_client_messages_sent_total", "", lambda v: v >= 1, ">= 1")
        await ws.send(b"\x05hello")
        await self.login.next(b"%D")
        # The token answer and the message.
        await g.wait_metric("gateway_client_messages_received_total", "",
                            lambda v: v == received + 2, f"== {received + 2}")
        for name in ("gateway_client_bytes_received_total", "gateway_client_bytes_sent_total",
                     "process_cpu_seconds_total", "process_resident_memory_bytes"):
            await g.wait_metric(name, "", lambda v: v > 0, "> 0")
        self.assertIsNotNone(await g.metric("gateway_worker_queue_depth", 'worker="1"'))
        self.assertIsNotNone(await g.metric("gateway_attacks_total", 'cause="oversize"'))
        await ws.close()
        await g.wait_metric("gateway_sessions", "", lambda v: v == 0, "== 0")

    async def test_healthz_follows_the_links(self):
        await self.start_gateway()
        g = self.gateway
        self.assertEqual((await g.get("/healthz"))[0], 200)
        self.assertEqual(await g.metric("gateway_logic_link_up"), 1)
        # The logic server goes away for a while: it stops listening, then drops the link.
        port = self.logic.port
        self.logic.server.close()
        self.logic.drop()
        await self.logic.server.wait_closed()

        async def status_is(code):
            return (await g.get("/healthz"))[0] == code

        await await_until(lambda: status_is(503), "/healthz 503 after the link dropped")
        self.assertEqual(await g.metric("gateway_logic_link_up"), 0)
        # The link comes back by itself once the server listens again, and with it the health.
        await self.logic.start(port)
        await await_until(lambda: status_is(200), "/healthz 200 after the link came back")
        await g.wait_metric("gateway_logic_link_reconnects_total", "", lambda v: v == 1, "== 1")
        self.assertEqual((await g.get("/nothing"))[0], 404)

    async def test_the_stop_closes_upgraded_clients_with_going_away(self):
        await self.start_gateway()
        ws = await relay.handshake(self.gateway.port)
        handle = (await self.login.next(b"%N"))[2:-1].decode().split("/")[0]
        # A client that never answers the close frame does not hold the stop up for long.
        silent = guard.Client(self.gateway.port, "127.0.0.1")
        self.clients.append(silent)
        await (await silent.connect()).handshake()
        await self.login.next(b"%N")
        self.gateway.request_stop()  # SIGTERM, or the end of a Windows build's input
        with self.assertRaises(websockets.ConnectionClosedOK):
            while True:
                await asyncio.wait_for(ws.recv(), TIMEOUT)
        self.assertEqual(ws.close_code, 1001)
        self.assertEqual(await silent.read_message(), (8, b"\x03\xe9"))
        self.assertEqual(await silent.ending(), "closed")
        # The login server hears that the clients have gone before the gateway ends.
        closed = {await self.login.next(b"%C"), await self.login.next(b"%C")}
        self.assertIn(b"%C" + handle.encode() + b"$", closed)
        self.assertEqual(await asyncio.to_thread(self.gateway.proc.wait, TIMEOUT), 0)


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
