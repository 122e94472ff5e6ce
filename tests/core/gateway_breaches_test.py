#!/usr/bin/python3
"""End to end: the faults a client can commit that were once handled without a trace are
counted on the real `gateway --headless`'s /metrics (gateway_limit_breaches_total), each
while the gateway goes on serving: a WebSocket protocol error (closed 1002), an HTTP request
whose method or chunked body is malformed (answered 400), a "$" inside a login message (the client
is closed). The per-step session gauges follow a client through its steps and its close.

Clients are raw sockets bound to distinct 127.0.0.x source addresses.

Usage: gateway_breaches_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_edge_test as edge  # noqa: E402
import gw_wait  # noqa: E402
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402

TIMEOUT = relay.TIMEOUT


class GatewayBreachesTest(guard.ClientsFixture):
    async def start_gateway(self, **settings):
        await relay.start_serving(self, lambda: edge.EdgeGateway(
            self.logic.port, self.login.port, (), (), **{**edge.OPEN, **settings}))

    async def breaches(self, limit):
        return await self.gateway.metric("gateway_limit_breaches_total", f'limit="{limit}"')

    async def client(self, source):
        c = await guard.Client(self.gateway.port, source).connect()
        self.clients.append(c)
        return c

    async def counted(self, limit, before):
        async def done():
            return await self.breaches(limit) == before + 1
        await gw_wait.await_until(done, f"{limit} counted once")

    async def test_each_client_fault_is_counted_once_and_the_gateway_serves_on(self):
        await self.start_gateway(ClientTimeOut=0)
        cases = [
            # (limit, source, what the client sends after the upgrade or instead of it,
            #  whether the upgrade comes first, what it must get back)
            ("ws_protocol_error", "127.0.0.41", guard.frame(b"x", opcode=0), True,
             b"\x88\x02\x03\xea"),  # a continuation without a message: closed 1002
            ("http_request_invalid", "127.0.0.42",
             b"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", False,
             b"HTTP/1.1 400 Bad Request\r\n"),
            ("http_request_invalid", "127.0.0.43", b"G\x01T / HTTP/1.1\r\n\r\n", False,
             b"HTTP/1.1 400 Bad Request\r\n"),
        ]
        for limit, source, data, upgrade, reply in cases:
            with self.subTest(limit=limit, source=source):
                before = await self.breaches(limit)
                c = await self.client(source)
                if upgrade:
                    await c.handshake()
                    await self.login.next(b"%N")
                c.send(data)
                got = b""
                while reply not in got and (more := await asyncio.wait_for(
                        c.reader.read(65536), TIMEOUT)):
                    got += more
                self.assertIn(reply, got)
                self.assertEqual(await c.ending(), "closed")
                await self.counted(limit, before)
        # A "$" would end the login frame early: the message is refused and the client closed.
        before = await self.breaches("login_message_dollar")
        c = await (await self.client("127.0.0.44")).handshake()
        await self.login.next(b"%N")
        c.send(guard.frame(b"\x05a$b"))
        self.assertEqual(await c.ending(), "closed")
        await self.counted("login_message_dollar", before)
        # Still serving.
        c = await (await self.client("127.0.0.45")).handshake()
        await self.login.next(b"%N")

    async def test_the_step_gauges_follow_a_client_from_its_token_to_its_close(self):
        await self.start_gateway(ClientTimeOut=0)
        g = self.gateway

        async def steps(token, login, game):
            async def hold():
                values = [await g.metric("gateway_sessions_by_step", f'step="{s}"')
                          for s in ("token", "login", "game")]
                return values == [token, login, game]
            await gw_wait.await_until(hold, f"sessions by step == {token}, {login}, {game}")

        await steps(0, 0, 0)
        c = await (await self.client("127.0.0.51")).connect()
        await c.upgrade()
        await steps(1, 0, 0)  # the challenge sent, no answer yet
        opcode, challenge = await c.read_message()
        answer = await asyncio.to_thread(relay.token_answer, challenge[33:])
        c.send(guard.frame(b"\x01\x02" + answer + b"\x03"))
        await self.login.next(b"%N")
        await steps(0, 1, 0)
        c.close()
        await steps(0, 0, 0)


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
