#!/usr/bin/python3
"""End to end: the protection settings of GateWay.xml enforced by the real `gateway
--headless` binary. Each test writes its own settings, starts the gateway between the
fake logic and login servers of gateway_relay_test.py, and drives it with clients bound
to distinct 127.0.0.x source addresses, so that the per-address rules of one test never
touch another client.

A refused connection is reset by the gateway right after its accept (no byte is read or
sent); a connection closed later (time-out, attack, block) ends with an orderly close.

Usage: gateway_guard_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import base64
import os
import signal
import struct
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_relay_test as relay  # noqa: E402
from gw_wire import CollectedOutput, free_port  # noqa: E402
from gw_wait import await_until  # noqa: E402

TIMEOUT = relay.TIMEOUT


def settings_xml(gate_port, logic_port, login_port, **settings):
    lines = [f"\t<GatePort>{gate_port}</GatePort>",
             "\t<ServerAddr>127.0.0.1</ServerAddr>", f"\t<ServerPort>{logic_port}</ServerPort>",
             "\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>", f"\t<LoginSrvPort>{login_port}</LoginSrvPort>",
             "\t<WokerCount>2</WokerCount>"]
    lines += [f"\t<{name}>{value}</{name}>" for name, value in settings.items()]
    return "<TGateWayConfigure>\r\n" + "\r\n".join(lines) + "\r\n</TGateWayConfigure>\r\n"


class GuardedGateway(relay.Gateway):
    """The gateway with extra settings, an optional block list file and reloads."""

    def __init__(self, logic_port, login_port, block_list=(), args=(), **settings):
        # Not the base's constructor: its settings file lacks the protection settings, and
        # the program must find this one (and the block list) when it starts.
        self.logic_port, self.login_port = logic_port, login_port
        self.dir = tempfile.TemporaryDirectory()
        self.port = free_port()
        self.write_settings(**settings)
        if block_list:
            with open(self.path("BlockIPList.txt"), "wb") as f:
                f.write("".join(a + "\r\n" for a in block_list).encode())
        CollectedOutput.__init__(self, [relay.GATEWAY, "--headless", *args], self.dir.name)

    def path(self, name):
        return os.path.join(self.dir.name, name)

    def write_settings(self, **settings):
        with open(self.path("GateWay.xml"), "w", encoding="utf-8") as f:
            f.write(settings_xml(self.port, self.logic_port, self.login_port, **settings))

    def reload(self, **settings):
        """New settings and SIGHUP (Linux only: see relay.NO_SIGHUP_ON_WINDOWS)."""
        self.write_settings(**settings)
        self.proc.send_signal(signal.SIGHUP)


def frame(payload: bytes, opcode=2) -> bytes:
    """One masked client frame."""
    mask = os.urandom(4)
    n = len(payload)
    if n < 126:
        head = bytes([0x80 | opcode, 0x80 | n])
    elif n < 65536:
        head = bytes([0x80 | opcode, 0x80 | 126]) + struct.pack(">H", n)
    else:
        head = bytes([0x80 | opcode, 0x80 | 127]) + struct.pack(">Q", n)
    return head + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))


class Client:
    """A raw TCP/WebSocket client on its own source address."""

    def __init__(self, port, source):
        self.port, self.source = port, source

    async def connect(self):
        """Connects; a reset that comes before the connect call has returned (the refusal
        can be that quick) leaves a client whose ending is "reset"."""
        self.reset = False
        try:
            self.reader, self.writer = await asyncio.wait_for(
                asyncio.open_connection("127.0.0.1", self.port, local_addr=(self.source, 0)),
                TIMEOUT)
        except ConnectionResetError:
            self.reset = True
            self.reader = self.writer = None
        return self

    def send(self, data):
        self.writer.write(data)

    async def upgrade(self):
        key = base64.b64encode(os.urandom(16)).decode()
        self.send(("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                   f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                   "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = await asyncio.wait_for(self.reader.readuntil(b"\r\n\r\n"), TIMEOUT)
        assert head.startswith(b"HTTP/1.1 101"), head
        return self

    async def read_message(self):
        b0, b1 = await asyncio.wait_for(self.reader.readexactly(2), TIMEOUT)
        n = b1 & 0x7F
        if n == 126:
            (n,) = struct.unpack(">H", await self.reader.readexactly(2))
        elif n == 127:
            (n,) = struct.unpack(">Q", await self.reader.readexactly(8))
        return b0 & 0x0F, await asyncio.wait_for(self.reader.readexactly(n), TIMEOUT)

    async def handshake(self):
        """Upgrades and answers the token challenge."""
        await self.upgrade()
        opcode, challenge = await self.read_message()
        assert opcode == 2 and challenge[1:3] == b"\xc9\x10", challenge[:3]
        answer = await asyncio.to_thread(relay.token_answer, challenge[33:])
        self.send(frame(b"\x01\x02" + answer + b"\x03"))
        return self

    async def ending(self):
        """How the gateway ended the connection: "reset" (refused at accept, nothing
        read) or "closed" (an orderly close, after whatever it had sent)."""
        if self.reset:
            return "reset"
        try:
            while await asyncio.wait_for(self.reader.read(65536), TIMEOUT):
                pass
            return "closed"
        except ConnectionResetError:
            return "reset"

    def close(self):
        if self.writer:
            self.writer.close()


class ClientsFixture(unittest.IsolatedAsyncioTestCase):
    """The fake servers, the gateway under test and the raw clients a test opened."""

    async def asyncSetUp(self):
        self.logic = relay.LogicServer()
        self.login = relay.LoginServer()
        await self.logic.start()
        await self.login.start()
        self.gateway = None
        self.clients = []

    async def asyncTearDown(self):
        for c in self.clients:
            c.close()
        if self.gateway:
            self.gateway.stop()
        await self.logic.close()
        await self.login.close()


class GatewayGuardTest(ClientsFixture):
    async def start_gateway(self, block_list=(), **settings):
        await relay.start_serving(self, lambda: GuardedGateway(
            self.logic.port, self.login.port, block_list, **settings))

    async def client(self, source):
        c = await Client(self.gateway.port, source).connect()
        self.clients.append(c)
        return c

    async def served(self, source):
        """A client from `source` that passed the token check (the login server knows it)."""
        c = await (await self.client(source)).handshake()
        frame_n = await self.login.next(b"%N")
        self.assertIn(f"/{source}/".encode(), frame_n)
        return c

    async def refused(self, source):
        c = await self.client(source)
        return await c.ending() == "reset"

    async def test_block_list_exact_and_prefix(self):
        await self.start_gateway(block_list=["127.0.0.21", "127.0.0.3*"])
        for source in ("127.0.0.21", "127.0.0.31", "127.0.0.39"):
            self.assertTrue(await self.refused(source), source)
        await self.gateway.wait_line("Refused 127.0.0.21: the address is blocked")
        for source in ("127.0.0.22", "127.0.0.41"):
            await self.served(source)

    async def test_per_address_limit_refuses_then_serves_after_a_close(self):
        await self.start_gateway(MaxConnOfIPaddr=2, ClientTimeOut=0)
        first = await self.served("127.0.0.11")
        # A connection counts from its accept, whatever its step: neither of these two
        # upgrades. Both may wait in the listen queue together, and the system may hand them
        # to the gateway in either order (wine's accepts do), so the one accepted second is
        # refused and the other is held.
        pair = [await self.client("127.0.0.11") for _ in range(2)]
        endings = [asyncio.ensure_future(c.ending()) for c in pair]
        done, held = await asyncio.wait(endings, timeout=TIMEOUT,
                                        return_when=asyncio.FIRST_COMPLETED)
        for ending in held:
            ending.cancel()
        self.assertEqual([ending.result() for ending in done], ["reset"])
        await self.gateway.wait_line("Refused 127.0.0.11: it already holds 2 connections")
        await self.served("127.0.0.12")  # another address is not affected
        first.close()
        await await_until(self._served_attempt("127.0.0.11"), "a place freed by the close")

    def _served_attempt(self, source):
        async def attempt():
            c = await self.client(source)
            try:
                return not c.reset and await c.upgrade() is not None
            except (ConnectionResetError, asyncio.IncompleteReadError):
                return False
        return attempt

    async def test_client_time_out_on_every_path_and_passed_clients_are_left_alone(self):
        # Long enough for the passed client's answer, which a gatekit process computes, on a
        # loaded machine (under wine too); the silent ones wait it out once each.
        await self.start_gateway(ClientTimeOut=4000)
        passed = await self.served("127.0.0.50")
        silent = await self.client("127.0.0.51")
        self.assertEqual(await silent.ending(), "closed")
        await self.gateway.wait_line("Client time-out 127.0.0.51: no token check passed within "
                                     "4000 ms (nothing sent); closed")
        header = await self.client("127.0.0.52")
        header.send(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: web")
        self.assertEqual(await header.ending(), "closed")
        await self.gateway.wait_line("Client time-out 127.0.0.52: no token check passed within "
                                     "4000 ms (HTTP header still arriving); closed")
        mute = await (await self.client("127.0.0.53")).upgrade()
        self.assertEqual((await mute.read_message())[1][1:3], b"\xc9\x10")  # the challenge
        # An upgraded client is told why: a close frame with 1008 (policy), then the close.
        opcode, payload = await mute.read_message()
        self.assertEqual((opcode & 0x0F, payload[:2]), (8, b"\x03\xf0"))
        self.assertEqual(await mute.ending(), "closed")
        await self.gateway.wait_line("Client time-out 127.0.0.53: no token check passed within "
                                     "4000 ms (challenge unanswered); closed")
        # The passed client's deadline went by long ago: it still relays.
        passed.send(frame(b"\x05still-here"))
        self.assertTrue((await self.login.next(b"%D")).endswith(b"/\x05still-here$"))
        self.assertFalse(self.gateway.has("Client time-out 127.0.0.50"))

    async def attacks_under(self, method, oversize_source, count_source):
        await self.start_gateway(BlockMethod=method, MaxClientPacketSize=300, ClientTimeOut=0,
                                 KickOverPacketSize="True", MaxClientMsgCount=10)
        action = {"mDisconnect": "disconnected",
                  "mBlock": "put on the temporary block list",
                  "mBlockList": "put on the permanent block list"}[method]
        # A message at the limit passes; one over it is an attack.
        big = await self.served(oversize_source)
        # A second connection of the address that never answers its challenge. It has its
        # challenge before the attack, so the gateway holds it by then: one still waiting to be
        # accepted when the address is blocked would be refused at accept (a reset) instead.
        bystander = await (await self.client(oversize_source)).upgrade()
        await bystander.read_message()
        big.send(frame(b"\x05" + b"x" * 299))
        self.assertTrue((await self.login.next(b"%D")).endswith(b"x$"))
        big.send(frame(b"\x05" + b"y" * 999))
        self.assertEqual(await big.ending(), "closed")
        await self.gateway.wait_line(f"Attack from {oversize_source}: message of 1000 bytes over "
                                     f"MaxClientPacketSize 300; {action}")
        # Ten messages in one write pass; sixty are an attack.
        flood = await self.served(count_source)
        flood.send(b"".join(frame(b"\x05ok%d" % i) for i in range(10)))
        for _ in range(10):
            await self.login.next(b"%D")
        flood.send(b"".join(frame(b"\x05m%d" % i) for i in range(60)))
        self.assertEqual(await flood.ending(), "closed")
        await self.gateway.wait_line(f"Attack from {count_source}: more than 10 messages in one "
                                     f"receive (MaxClientMsgCount); {action}")
        return bystander

    async def test_attacks_with_mdisconnect_close_only_the_attacker(self):
        bystander = await self.attacks_under("mDisconnect", "127.0.0.61", "127.0.0.62")
        bystander.send(frame(b"still", opcode=9))  # still open: its ping is answered
        self.assertEqual(await bystander.read_message(), (10, b"still"))
        await self.served("127.0.0.61")

    async def test_attacks_with_mblock_block_the_address_for_a_while(self):
        bystander = await self.attacks_under("mBlock", "127.0.0.63", "127.0.0.64")
        # The address's other connection is closed, new ones are refused.
        self.assertEqual(await bystander.ending(), "closed")
        self.assertTrue(await self.refused("127.0.0.63"))
        self.assertTrue(await self.refused("127.0.0.64"))
        self.assertFalse(os.path.exists(self.gateway.path("BlockIPList.txt")))

    async def test_attacks_with_mblocklist_block_for_good_and_save_the_list(self):
        bystander = await self.attacks_under("mBlockList", "127.0.0.65", "127.0.0.66")
        self.assertEqual(await bystander.ending(), "closed")
        self.assertTrue(await self.refused("127.0.0.65"))

        async def saved():
            try:
                with open(self.gateway.path("BlockIPList.txt"), "rb") as f:
                    return f.read() == b"127.0.0.65\r\n127.0.0.66\r\n"
            except FileNotFoundError:
                return False
        await await_until(saved, "BlockIPList.txt with both attackers")

    async def test_connection_flood_blocks_and_the_temporary_block_ends(self):
        # The temporary block lasts long enough for the refusal below to be seen on a loaded
        # machine, and ends well within the wait for its end.
        await self.start_gateway(ConnectionATKSec=2, ConnectionATKCount=4, BlockMethod="mBlock",
                                 ClearTempList="True", ClearTempBlockListTime=8000)
        burst = [await self.client("127.0.0.71") for _ in range(5)]
        # One of the five within the window is refused (the last one accepted); blocking the
        # address then closed the four it held.
        endings = await asyncio.gather(*(c.ending() for c in burst))
        self.assertEqual(sorted(endings), ["closed"] * 4 + ["reset"])
        await self.gateway.wait_line("Attack from 127.0.0.71: more than 4 connections within 2 s "
                                     "(connection flood); put on the temporary block list")
        self.assertTrue(await self.refused("127.0.0.71"))
        await self.served("127.0.0.72")
        # The block ends by itself; then the address is served again.
        await await_until(self._served_attempt("127.0.0.71"), "the end of the temporary block")

    async def test_login_server_kick_closes_every_connection_of_the_address(self):
        await self.start_gateway(ClientTimeOut=0)
        player = await (await self.client("127.0.0.81")).handshake()
        handle = (await self.login.next(b"%N"))[2:-1].decode().split("/")[0]
        waiting = await self.client("127.0.0.81")  # not upgraded: no session at all
        other = await self.served("127.0.0.82")
        self.login.send(b"%+T" + handle.encode() + b"$")
        self.assertEqual(await player.ending(), "closed")
        self.assertEqual(await waiting.ending(), "closed")
        self.assertTrue(await self.refused("127.0.0.81"))
        other.send(frame(b"\x05unharmed"))
        self.assertTrue((await self.login.next(b"%D")).endswith(b"/\x05unharmed$"))

    @unittest.skipIf(relay.ON_WINDOWS, relay.NO_SIGHUP_ON_WINDOWS)
    async def test_reload_changes_the_limits_of_a_running_gateway(self):
        await self.start_gateway(MaxConnOfIPaddr=1, MaxClientPacketSize=7000)
        await self.served("127.0.0.91")
        self.assertTrue(await self.refused("127.0.0.91"))
        # (The token answer itself is a message of some 130 bytes.)
        self.gateway.reload(MaxConnOfIPaddr=3, MaxClientPacketSize=150)
        await await_until(self._served_attempt("127.0.0.91"), "the raised per-address limit")
        c = await self.served("127.0.0.92")
        c.send(frame(b"\x05" + b"z" * 200))
        self.assertEqual(await c.ending(), "closed")
        await self.gateway.wait_line("Attack from 127.0.0.92: message of 201 bytes over "
                                     "MaxClientPacketSize 150; disconnected")


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
