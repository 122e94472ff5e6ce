#!/usr/bin/python3
"""End to end: draining and the binary upgrade by listener hand-over, with the real programs
(`gatesim logic-server` and `gatesim login-server`, the gateway headless between them, and
WebSocket clients that log in and play).

A drain (SIGTERM with --drain-seconds) keeps every playing client relayed both ways, answers
/healthz with 503 "draining", refuses new connections once its notice has passed, and ends as
soon as the last client leaves; at its deadline, or at a second SIGTERM, the clients left get
the close frame 1001. A take-over (SIGUSR2 to the running gateway, which starts
`gateway --take-over` with its own options) moves the listening sockets to the new process
while a client hammers connects (none refused or reset), tells the notify socket MAINPID and
then READY=1, and leaves the old process serving its players until the last one leaves.

Usage: gateway_drain_test.py GATEWAY GATEKIT GATESIM [unittest args]
"""
import asyncio
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.request

import websockets

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "gatesim"))
import gatesim_e2e_test as sim  # noqa: E402
import gw_wait  # noqa: E402
from gw_wire import free_port  # noqa: E402

GATEWAY = GATEKIT = GATESIM = None
TIMEOUT = sim.TIMEOUT


def wait_until(predicate, what, output=None):
    """Waits for `predicate`; on failure the message carries what `output()` says."""
    return gw_wait.wait_until(predicate,
                              (lambda: f"{what}:\n{output()}") if output else what, TIMEOUT)


def http_get(port, path):
    """(status, body) of GET path on the metrics port."""
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=TIMEOUT) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def metric(port, name):
    for line in http_get(port, "/metrics")[1].splitlines():
        if line.startswith(name + " "):
            return float(line.split()[1])
    raise AssertionError(f"no {name} in /metrics")


def connect_refused(port):
    """Whether a TCP connect to the client port is refused."""
    try:
        socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT).close()
        return False
    except ConnectionRefusedError:
        return True


def process_gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    # Not our child: ended but not yet reaped by its new parent counts as gone.
    with open(f"/proc/{pid}/stat") as f:
        return f.read().split(")")[1].split()[0] == "Z"


class NotifySocket:
    """A datagram socket standing in for systemd's notify socket."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.name = f"gw-drain-test-{os.getpid()}-{id(self)}"
        self.sock.bind("\0" + self.name)
        self.sock.setblocking(False)
        self.messages = []

    def env(self):
        return {**os.environ, "NOTIFY_SOCKET": "@" + self.name}

    def close(self):
        self.sock.close()

    def received(self):
        while True:
            try:
                self.messages.append(self.sock.recv(4096).decode())
            except BlockingIOError:
                return self.messages


class Player:
    """A client that logged in, was handed over to the logic server and plays: each move
    comes back as the logic server's echo."""

    def __init__(self, port, folder):
        self.client = sim.Client(port, folder)
        self.moves = 0

    async def start(self):
        await self.client.__aenter__()
        await self.client.log_in()
        await self.play()
        return self

    async def play(self):
        self.moves += 1
        move = b"\x02M" + self.moves.to_bytes(8, "little")
        await self.client.ws.send(move)
        self.assert_equal(await self.client.recv_until(lambda m: m[0] == 2), move)

    @staticmethod
    def assert_equal(a, b):
        assert a == b, (a, b)

    async def leave(self):
        await self.client.ws.close()

    async def close_code(self):
        await self.client.closed_by_gateway()
        return self.client.ws.close_code


class DrainTest(unittest.IsolatedAsyncioTestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.folder = self.dir.name
        self.logic_port, self.login_port = free_port(), free_port()
        self.logic = sim.Proc([GATESIM, "logic-server", "--port", str(self.logic_port),
                               "--addr", "127.0.0.1"], self.folder)
        self.login = sim.Proc([GATESIM, "login-server", "--port", str(self.login_port),
                               "--addr", "127.0.0.1"], self.folder)
        sim.wait_port(self.logic_port)
        sim.wait_port(self.login_port)
        self.gateway = None
        self.others = []  # processes started by the gateway (a take-over), ended at the end

    def tearDown(self):
        for pid in self.others:
            if not process_gone(pid):
                os.kill(pid, signal.SIGKILL)
        if self.gateway:
            self.gateway.proc.kill()
            self.gateway.proc.wait()
        for p in (self.logic, self.login):
            p.stop()
        self.dir.cleanup()

    def settings(self, gate_port):
        with open(os.path.join(self.folder, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write("<TGateWayConfigure>\r\n"
                    f"\t<GatePort>{gate_port}</GatePort>\r\n"
                    f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>{self.logic_port}</ServerPort>\r\n"
                    f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>{self.login_port}</LoginSrvPort>\r\n"
                    "\t<WokerCount>2</WokerCount>\r\n\t<MaxConnOfIPaddr>0</MaxConnOfIPaddr>\r\n"
                    "</TGateWayConfigure>\r\n")

    def start(self, *args, env=None):
        self.port, self.metrics_port = free_port(), free_port()
        self.settings(self.port)
        cmd = [GATEWAY, "--headless", "--metrics", f"127.0.0.1:{self.metrics_port}", *args]
        if env is None:
            self.gateway = sim.Proc(cmd, self.folder)
        else:
            # The notify socket reaches the process and the one it starts for a take-over.
            old = os.environ.copy()
            os.environ.clear()
            os.environ.update(env)
            try:
                self.gateway = sim.Proc(cmd, self.folder)
            finally:
                os.environ.clear()
                os.environ.update(old)
        self.gateway.wait_line("LogicSrv 连接成功")
        sim.wait_port(self.port)

    def wait_exit(self):
        code = self.gateway.proc.wait(TIMEOUT)
        return code

    async def test_drain_relays_until_the_last_client_leaves_and_refuses_new_ones(self):
        self.start("--drain-seconds", "600")
        players = [await Player(self.port, self.folder).start() for _ in range(2)]
        self.gateway.proc.send_signal(signal.SIGTERM)
        self.gateway.wait_line("Drain started (stop request): 2 sessions")
        self.assertEqual(http_get(self.metrics_port, "/healthz"), (503, "draining\n"))
        self.assertEqual(metric(self.metrics_port, "gateway_draining"), 1)
        self.assertEqual(metric(self.metrics_port, "gateway_drain_sessions_remaining"), 2)
        self.assertTrue(connect_refused(self.port))
        for p in players:
            await p.play()  # relayed both ways as before
        await players[0].leave()
        await players[1].play()
        await players[1].leave()
        self.assertEqual(await asyncio.to_thread(self.wait_exit), 0)
        self.gateway.wait_line("Drain ended: no session left after")
        self.assertNotIn("closing the remaining", self.gateway.output())

    async def test_drain_deadline_and_second_sigterm_close_the_rest_with_1001(self):
        cases = [
            ("deadline", ["--drain-seconds", "3"], 0, "Drain time over after"),
            ("second SIGTERM", ["--drain-seconds", "600"], 1, "Drain ended early by a second stop"),
        ]
        for name, args, second, line in cases:
            with self.subTest(name):
                self.start(*args)
                player = await Player(self.port, self.folder).start()
                self.gateway.proc.send_signal(signal.SIGTERM)
                self.gateway.wait_line("Drain started")
                for _ in range(second):
                    self.gateway.proc.send_signal(signal.SIGTERM)
                self.assertEqual(await player.close_code(), 1001)
                self.assertEqual(await asyncio.to_thread(self.wait_exit), 0)
                self.gateway.wait_line(line)
                self.gateway = None

    async def test_drain_notice_accepts_until_it_has_passed(self):
        self.start("--drain-seconds", "600", "--drain-notice-seconds", "8")
        player = await Player(self.port, self.folder).start()
        self.gateway.proc.send_signal(signal.SIGTERM)
        self.gateway.wait_line("new clients are refused after 8 s")
        self.assertEqual(http_get(self.metrics_port, "/healthz")[0], 503)
        late = await Player(self.port, self.folder).start()  # still accepted
        await asyncio.to_thread(self.gateway.wait_line, "Drain: new clients are refused from now on")
        self.assertTrue(connect_refused(self.port))
        await late.play()
        await late.leave()
        await player.leave()
        self.assertEqual(await asyncio.to_thread(self.wait_exit), 0)

    async def test_control_channel_command_2001_drains(self):
        self.start("--drain-seconds", "600")
        player = await Player(self.port, self.folder).start()
        subprocess.run([GATEKIT, "control-send", str(self.gateway.proc.pid), "2001"], check=True,
                       capture_output=True, timeout=TIMEOUT)
        await asyncio.to_thread(self.gateway.wait_line, "Drain started (control channel): 1 sessions")
        await player.play()
        await player.leave()
        self.assertEqual(await asyncio.to_thread(self.wait_exit), 0)

    async def test_take_over_keeps_old_players_and_refuses_no_connect(self):
        notify = NotifySocket()
        self.addCleanup(notify.close)
        self.start("--drain-seconds", "600", env=notify.env())
        old_pid = self.gateway.proc.pid
        old_player = await Player(self.port, self.folder).start()
        failures, attempts, hammering = [], [0], [True]

        async def hammer():
            # Connect after connect, each to its token challenge: none may be refused or reset.
            while hammering[0]:
                try:
                    async with websockets.connect(f"ws://127.0.0.1:{self.port}/") as ws:
                        await asyncio.wait_for(ws.recv(), TIMEOUT)
                    attempts[0] += 1
                except Exception as e:  # noqa: BLE001 - every kind of failure counts
                    failures.append(repr(e))
                await asyncio.sleep(0.01)  # steady, without starving the programs under test

        hammer_task = asyncio.create_task(hammer())
        os.kill(old_pid, signal.SIGUSR2)
        await asyncio.to_thread(wait_until, lambda: any(
            m.startswith("READY=1") for m in notify.received()[1:]),
            "READY=1 of the new process", self.gateway.output)
        messages = notify.received()
        mainpid = [m for m in messages if m.startswith("MAINPID=")]
        self.assertEqual(len(mainpid), 1, messages)
        new_pid = int(mainpid[0].split("=")[1])
        self.others.append(new_pid)
        self.assertNotEqual(new_pid, old_pid)
        # MAINPID first, then the new process's READY=1; the old one says nothing more.
        after = messages[messages.index(mainpid[0]):]
        self.assertTrue(after[1].startswith("READY=1"), messages)
        self.assertFalse(any(m.startswith("STOPPING=1") for m in messages), messages)
        # New clients reach the new process: the metrics port is its own now.
        await asyncio.to_thread(wait_until, lambda: attempts[0] >= 5, "connects after the switch")
        new_player = await Player(self.port, self.folder).start()
        self.assertEqual(http_get(self.metrics_port, "/healthz"), (200, "ok\n"))
        # The old player still plays on the old process, which waits for it.
        await old_player.play()
        self.assertIsNone(self.gateway.proc.poll())
        await old_player.leave()
        await asyncio.to_thread(wait_until, lambda: self.gateway.proc.poll() is not None,
                                "the old process's end")
        self.assertEqual(self.gateway.proc.returncode, 0)
        hammering[0] = False
        await hammer_task
        self.assertEqual(failures, [])
        await new_player.play()
        output = self.gateway.output()
        if os.environ.get("GW_TEST_SHOW_LOG"):
            print(output)
        self.assertIn("Drain started (take-over by process", output)
        self.assertIn("Drain ended: no session left after", output)
        await new_player.leave()
        os.kill(new_pid, signal.SIGTERM)
        await asyncio.to_thread(wait_until, lambda: process_gone(new_pid), "the new process's end")
        self.gateway = None

    async def test_take_over_fails_without_a_gateway_or_with_another_port(self):
        def no_gateway():
            self.settings(free_port())
            return "no running gateway found for the work folder"

        def changed_port():
            self.start()
            self.settings(free_port())  # GateWay.xml now asks for another client port
            return "the client port changed"

        for name, prepare in [("no gateway", no_gateway), ("changed port", changed_port)]:
            with self.subTest(name):
                expected = prepare()
                run = await asyncio.to_thread(
                    subprocess.run, [GATEWAY, "--headless", "--take-over"], cwd=self.folder,
                    capture_output=True, text=True, timeout=TIMEOUT)
                self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                self.assertIn("gateway: the service did not start: --take-over: ", run.stderr)
                self.assertIn(expected, run.stderr)
                if self.gateway:
                    # The running gateway goes on untouched: it accepts and serves.
                    player = await Player(self.port, self.folder).start()
                    await player.leave()
                    self.gateway.proc.send_signal(signal.SIGTERM)
                    self.assertEqual(await asyncio.to_thread(self.wait_exit), 0)
                    self.gateway = None


if __name__ == "__main__":
    GATEWAY, GATEKIT, GATESIM = sys.argv[1:4]
    sim.GATEKIT = GATEKIT
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
