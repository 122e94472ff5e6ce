#!/usr/bin/python3
"""End to end with the real programs: `gatesim logic-server`, `gatesim login-server`, the
gateway headless between them, then `gatesim clients` and hand-written WebSocket clients that
walk the relay paths the bots do not: a kick by the login server, kicks by the logic server with
and without a reason, and a soft close.

Usage: gatesim_e2e_test.py GATESIM GATEWAY GATEKIT [unittest args]
"""
import asyncio
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wait import wait_until  # noqa: E402
from gw_wire import CollectedOutput, command, free_port, listening, split_batch  # noqa: E402

GATESIM = GATEWAY = GATEKIT = None
TIMEOUT = 60  # generous: the machine may be loaded and the programs may run under ASan


def wait_port(port):
    wait_until(lambda: listening(port), f"a listener on port {port}", TIMEOUT)


class Proc(CollectedOutput):
    """A program whose output lines are collected."""

    def stop(self):
        super().stop(TIMEOUT)


def default_message(ident, recog=0):
    return bytes([0]) + struct.pack("<HHiiiiiiI", ident, 0, recog, 0, 0, 0, 0, 0, 0)


class Client:
    """A hand-written game client: token answer through gatekit, then login text."""

    def __init__(self, port, workdir):
        self.port = port
        self.workdir = workdir
        self.queue = []

    async def __aenter__(self):
        self.ws = await websockets.connect(f"ws://127.0.0.1:{self.port}/", max_size=None)
        challenge = await self.recv()
        assert challenge[0] == 0 and struct.unpack_from("<H", challenge, 1)[0] == 4297
        answer = subprocess.run(command(GATEKIT, "token-answer", challenge[33:].decode()),
                                cwd=self.workdir, capture_output=True, check=True,
                                text=True).stdout.strip()
        await self.ws.send(b"#0" + answer.encode() + b"!")
        greeting = await self.recv()
        assert greeting[0] == 5 and struct.unpack_from("<H", greeting, 1)[0] == 1, greeting
        return self

    async def __aexit__(self, *exc):
        await self.ws.close()

    async def recv(self):
        while not self.queue:
            message = await asyncio.wait_for(self.ws.recv(), TIMEOUT)
            self.queue.extend(split_batch(message))
        return self.queue.pop(0)

    async def recv_until(self, predicate):
        while True:
            m = await self.recv()
            if predicate(m):
                return m

    async def log_in(self):
        await self.ws.send(b"LOGIN tester secret")
        # The hand-over, and the logic server's speed times that show the session is known
        # there. The logic server answers the registration the hand-over causes, so on a
        # loaded machine its speed times may reach the client first: either order counts.
        handed_over = speed_times = False
        while not (handed_over and speed_times):
            m = await self.recv()
            handed_over = handed_over or (m[0] == 5 and m[1:3] == b"\x12\x02")
            speed_times = speed_times or (m[0] == 0 and m[1:3] == struct.pack("<H", 9010))

    async def closed_by_gateway(self):
        try:
            while True:
                await asyncio.wait_for(self.ws.recv(), TIMEOUT)
        except websockets.ConnectionClosed:
            return True


class GateSimEndToEnd(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.logic_port, cls.login_port, cls.gate_port = free_port(), free_port(), free_port()
        cls.logic = Proc([GATESIM, "logic-server", "--port", str(cls.logic_port),
                          "--addr", "127.0.0.1"], cls.dir.name)
        cls.login = Proc([GATESIM, "login-server", "--port", str(cls.login_port),
                          "--addr", "127.0.0.1"], cls.dir.name)
        wait_port(cls.logic_port)
        wait_port(cls.login_port)
        with open(os.path.join(cls.dir.name, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write("<TGateWayConfigure>\r\n"
                    f"\t<GatePort>{cls.gate_port}</GatePort>\r\n"
                    f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>{cls.logic_port}</ServerPort>\r\n"
                    f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>{cls.login_port}</LoginSrvPort>\r\n"
                    "\t<WokerCount>2</WokerCount>\r\n"
                    # Every bot comes from 127.0.0.1: no per-address limit.
                    "\t<MaxConnOfIPaddr>0</MaxConnOfIPaddr>\r\n"
                    "</TGateWayConfigure>\r\n")
        cls.gateway = Proc([GATEWAY, "--headless"], cls.dir.name)
        wait_port(cls.gate_port)
        cls.logic.wait_line("pushed configuration table 5")
        cls.login.wait_line("gateway link 1 connected")
        # The server sees the link before the gateway has marked it up; a client taken in
        # between is closed for want of a logic server.
        cls.gateway.wait_line("LogicSrv 连接成功")

    @classmethod
    def tearDownClass(cls):
        for p in (cls.gateway, cls.logic, cls.login):
            p.stop()
        cls.dir.cleanup()

    def test_bots_log_in_play_and_every_echo_comes_back(self):
        run = subprocess.run(command(GATESIM, "clients",
                                     "--url", f"ws://127.0.0.1:{self.gate_port}",
                                     "-n", "20", "--rate", "20", "--duration", "2",
                                     "--no-progress", "--login-timeout", "60",
                                     "--keys-folder", self.dir.name),
                             capture_output=True, text=True, timeout=TIMEOUT * 3)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn("connections: 20 opened, 20 passed the token check, 20 handed over",
                      run.stdout)
        self.assertIn("errors: 0\n", run.stdout)
        sent = int(run.stdout.split("messages: ")[1].split(" sent")[0])
        self.assertGreater(sent, 0)
        self.assertIn(f"{sent} echoed", run.stdout)
        self.logic.wait_line("type 2, 9 bytes")
        self.logic.wait_line("type 4, 18 bytes")
        self.logic.wait_line("type 0, 64 bytes")
        self.login.wait_line("(LOGIN bot19 secret); handed over with 530")

    def test_login_server_closes_a_session_on_request(self):
        async def go():
            async with Client(self.gate_port, self.dir.name) as c:
                await c.ws.send(b"hello login")
                reply = await c.recv()
                self.assertEqual(reply, b"\x05\x02\x00hello login")
                await c.ws.send(b"KICKME please")
                self.assertTrue(await c.closed_by_gateway())
        asyncio.run(go())
        self.login.wait_line("closed on its request")
        self.gateway.wait_line("原因:LoginSrv Close")

    def test_logic_server_kicks_with_and_without_reason(self):
        async def go(recog):
            async with Client(self.gate_port, self.dir.name) as c:
                await c.log_in()
                await c.ws.send(default_message(9001, recog))
                self.assertTrue(await c.closed_by_gateway())
        asyncio.run(go(1))
        self.logic.wait_line("reason: 玩家请求踢出")
        self.gateway.wait_line("原因: Qel踢出:玩家请求踢出")
        asyncio.run(go(0))
        self.logic.wait_line("without a reason")

    def test_soft_close_gives_the_session_a_new_handle(self):
        async def go():
            async with Client(self.gate_port, self.dir.name) as c:
                await c.log_in()
                await c.ws.send(default_message(1009))
                # The client stays connected and keeps playing under the new handle.
                await c.recv_until(lambda m: m[0] == 0 and m[1:3] == struct.pack("<H", 9010))
                await c.ws.send(b"\x02M" + bytes(8))
                echo = await c.recv_until(lambda m: m[0] == 2)
                self.assertEqual(echo, b"\x02M" + bytes(8))
        asyncio.run(go())
        self.logic.wait_line("soft close for")


if __name__ == "__main__":
    GATESIM, GATEWAY, GATEKIT = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
