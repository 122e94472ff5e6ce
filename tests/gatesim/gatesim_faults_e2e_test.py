#!/usr/bin/python3
"""The real gateway between simulated servers that misbehave (gatesim fault modes).

- A login server that reads nothing while logged-in clients keep sending megabytes of login
  messages: a new client still gets its token challenge, and a stop request (SIGTERM) still
  ends the gateway.
- A login server that sends late hand-overs for closed handles and garbage while bots come and
  go: no bot ever receives a message meant for another one.

Usage: gatesim_faults_e2e_test.py GATESIM GATEWAY GATEKIT [unittest args]
"""
import asyncio
import os
import subprocess
import sys
import tempfile
import time
import unittest

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wire import command, free_port  # noqa: E402
import gatesim_e2e_test as base  # noqa: E402

TIMEOUT = base.TIMEOUT
# How long a stop may take whatever the servers do: each link gives its pending bytes 1.5 s;
# the rest is the listener and the workers (generous for ASan on a loaded machine).
STOP_BOUND = 20


class Gateway:
    """Simulated servers started with the given fault options, and the gateway between them."""

    def __init__(self, logic_args=(), login_args=(), settings=""):
        self.dir = tempfile.TemporaryDirectory()
        self.logic_port, self.login_port, self.gate_port = free_port(), free_port(), free_port()
        self.logic = base.Proc([base.GATESIM, "logic-server", "--port", str(self.logic_port),
                                "--addr", "127.0.0.1", *logic_args], self.dir.name)
        self.login = base.Proc([base.GATESIM, "login-server", "--port", str(self.login_port),
                                "--addr", "127.0.0.1", *login_args], self.dir.name)
        base.wait_port(self.logic_port)
        base.wait_port(self.login_port)
        with open(os.path.join(self.dir.name, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write("<TGateWayConfigure>\r\n"
                    f"\t<GatePort>{self.gate_port}</GatePort>\r\n"
                    f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n"
                    f"\t<ServerPort>{self.logic_port}</ServerPort>\r\n"
                    f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n"
                    f"\t<LoginSrvPort>{self.login_port}</LoginSrvPort>\r\n"
                    "\t<WokerCount>2</WokerCount>\r\n"
                    # Every client here comes from 127.0.0.1 and floods on purpose: the
                    # guard's per-address and per-message rules are lifted.
                    "\t<MaxConnOfIPaddr>0</MaxConnOfIPaddr>\r\n\t<MaxClientMsgCount>0</MaxClientMsgCount>\r\n"
                    "\t<KickOverPacketSize>False</KickOverPacketSize>\r\n"
                    + settings +
                    "</TGateWayConfigure>\r\n")
        self.gateway = base.Proc([base.GATEWAY, "--headless"], self.dir.name)
        base.wait_port(self.gate_port)
        self.logic.wait_line("gateway link 1 connected")
        self.login.wait_line("gateway link 1 connected")
        # The server sees the link before the gateway has marked it up; a client taken in
        # between is closed for want of a logic server.
        self.gateway.wait_line("LogicSrv 连接成功")

    def stop(self):
        for p in (self.gateway, self.logic, self.login):
            p.stop()
        self.dir.cleanup()


async def token_checked_client(port, workdir):
    """A client past its token check (so its messages go to the login server)."""
    # No keep-alive pings: a client whose gateway stopped reading it (the login server does not
    # read) would end itself when a ping goes unanswered on a loaded machine.
    ws = await websockets.connect(f"ws://127.0.0.1:{port}/", max_size=None, ping_interval=None)
    challenge = await asyncio.wait_for(ws.recv(), TIMEOUT)
    answer = subprocess.run(command(base.GATEKIT, "token-answer", challenge[33:].decode()),
                            cwd=workdir, capture_output=True, check=True, text=True).stdout.strip()
    await ws.send(b"#0" + answer.encode() + b"!")
    return ws


class LoginServerThatStopsReading(unittest.TestCase):
    def test_clients_keep_being_served_and_sigterm_ends_the_gateway(self):
        g = Gateway(login_args=("--stop-reading-after", "0"))
        try:
            async def flood():
                clients = [await token_checked_client(g.gate_port, g.dir.name) for _ in range(20)]
                message = b"L" * 400_000  # 20 clients x 20 x 400 kB: 160 MB towards the server
                for _ in range(20):
                    for ws in clients:
                        await ws.send(message)
                # Every I/O thread has appended to the login link meanwhile: a new client must
                # still be taken, upgraded and challenged.
                async with websockets.connect(f"ws://127.0.0.1:{g.gate_port}/") as fresh:
                    challenge = await asyncio.wait_for(fresh.recv(), TIMEOUT)
                    self.assertEqual(challenge[0], 0)
                for ws in clients:
                    await ws.close()
            asyncio.run(flood())
            g.gateway.wait_line("send backlog over")
            started = time.monotonic()
            g.gateway.request_stop()  # SIGTERM; the end of its input for a Windows build
            g.gateway.proc.wait(STOP_BOUND)
            self.assertLess(time.monotonic() - started, STOP_BOUND)
        finally:
            g.stop()


class LogicServerThatFallsSilent(unittest.TestCase):
    def test_silence_drops_the_link_closes_the_clients_and_the_link_reconnects(self):
        g = Gateway(logic_args=("--no-keepalive-answer", "--check-every-ms", "0",
                                "--echo-every-ms", "0"),
                    settings="\t<CheckServerTimeOutTime>2000</CheckServerTimeOutTime>\r\n")
        try:
            async def client_is_closed():
                ws = await token_checked_client(g.gate_port, g.dir.name)
                with self.assertRaises(websockets.ConnectionClosed):
                    while True:
                        await asyncio.wait_for(ws.recv(), TIMEOUT)
            asyncio.run(client_is_closed())
            g.gateway.wait_line("LogicSrv Closed , Code : 0 ,Desc:CheckServer TimeOut")
            g.gateway.wait_line("CloseAllSession :Logic Server Disconnect")
            g.logic.wait_line("gateway link 2 connected")  # the gateway came back
            self.assertIsNone(g.gateway.proc.poll(), "the gateway runs on")
        finally:
            g.stop()


class LateFramesAndGarbage(unittest.TestCase):
    def test_no_bot_gets_a_message_meant_for_another(self):
        g = Gateway(logic_args=("--late-frames", "--garbage-every", "1"),
                    login_args=("--late-frames", "--garbage-every", "1"))
        try:
            for _ in range(3):  # bots come and go, reusing the gateway's session slots
                run = subprocess.run(command(base.GATESIM, "clients", "--url",
                                             f"ws://127.0.0.1:{g.gate_port}", "-n", "30",
                                             "--rate", "20", "--duration", "1", "--no-progress",
                                             "--login-timeout", "60", "--keys-folder", g.dir.name),
                                     capture_output=True, text=True, timeout=TIMEOUT * 3)
                self.assertIn("misdelivered: 0 ", run.stdout, run.stdout + run.stderr)
                self.assertIn("30 handed over", run.stdout, run.stdout + run.stderr)
            g.logic.wait_line("fault: late data for closed session")
            g.logic.wait_line("fault: garbage sent")
            g.login.wait_line("fault: garbage sent")
            self.assertIsNone(g.gateway.proc.poll(), "the gateway survived")
        finally:
            g.stop()


if __name__ == "__main__":
    base.GATESIM, base.GATEWAY, base.GATEKIT = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
