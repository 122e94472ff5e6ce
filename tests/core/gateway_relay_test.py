#!/usr/bin/python3
"""End to end: the real `gateway --headless` binary between fake logic and login
servers (loopback TCP) and WebSocket clients, plus the control channel, signals
and a failed bind, as an operator and a controlling program see them.

A Windows build (GATEWAY_BINARY ending in .exe) runs under wine and is stopped through the
end of its standard input, its counterpart of SIGTERM; the cases that need Linux's own
mechanisms (signals other than the stop, Unix control sockets, systemd's notify socket) are
skipped for it.

Usage: gateway_relay_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import base64
import os
import re
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wire import CollectedOutput, command, free_port, split_batch, windows_program  # noqa: E402
from gw_wait import await_until  # noqa: E402

GATEWAY = GATEKIT = None
# Every suite built on this module names the gateway first on its command line; a Windows
# build runs under wine. Known here, when the test classes are made, for their skips.
ON_WINDOWS = len(sys.argv) > 1 and windows_program(sys.argv[1])
# Generous: the machine may be loaded, the gateway may run under ASan or start under wine.
TIMEOUT = 60 if ON_WINDOWS else 30
# Why the cases that reload through SIGHUP do not run against a Windows build.
NO_SIGHUP_ON_WINDOWS = ("SIGHUP reloads: a Windows gateway reloads on Ctrl+Break in its "
                        "console or its service's paramchange control, and wine cannot raise "
                        "Ctrl+Break for a program it runs")

HEADER = struct.Struct("<IiHHiiB")  # magic, nSocket, wSocketIndex, nIdent, nUserListIndex, nLen, nMsgType
MAGIC = 0xAABBAADD
STD_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
SIX_ALPHABET = b"<>ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz~[]&^|?@{}"
LINE = re.compile(r"^\[\d\d-\d\d-\d\d \d\d:\d\d:\d\d\](\[I\] |\[F\] |\[E\]|\[W\] |\[D\] )")


def sixbit(data: bytes) -> bytes:
    return base64.b64encode(data).translate(bytes.maketrans(STD_ALPHABET, SIX_ALPHABET))


def packet(ident, sock, payload=b"", msg_type=0, user_index=0):
    return HEADER.pack(MAGIC, sock, user_index & 0xFFFF, ident, user_index, len(payload), msg_type) + payload


class LogicServer:
    """Accepts the gateway's logic link; records packets, answers echoes, gives a
    user index on ident 1 and returns every client data packet to its session."""

    def __init__(self):
        self.packets = asyncio.Queue()
        self.writer = None
        self.connected = asyncio.Event()
        self.echo = True

    async def start(self, port=0):
        self.server = await asyncio.start_server(self.on_conn, "127.0.0.1", port)
        self.port = self.server.sockets[0].getsockname()[1]

    async def on_conn(self, reader, writer):
        self.writer = writer
        self.connected.set()
        try:
            while True:
                head = await reader.readexactly(HEADER.size)
                magic, sock, index, ident, uidx, length, msg_type = HEADER.unpack(head)
                payload = await reader.readexactly(length)
                if ident == 4:
                    continue
                if ident == 7:
                    writer.write(packet(7, 0))
                    continue
                if ident == 1:
                    writer.write(packet(6, sock, user_index=100))
                if ident == 5 and self.echo:
                    writer.write(packet(5, sock, payload, msg_type, uidx))
                await self.packets.put((ident, sock, uidx, msg_type, payload))
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            self.connected.clear()

    def send(self, data):
        self.writer.write(data)

    async def next(self, ident=None):
        while True:
            p = await asyncio.wait_for(self.packets.get(), TIMEOUT)
            if ident is None or p[0] == ident:
                return p

    def drop(self):
        self.writer.close()

    async def close(self):
        self.server.close()
        if self.writer:
            self.writer.close()


class LoginServer:
    """Accepts the login link; answers keep-alives with a control frame and records the rest."""

    def __init__(self):
        self.frames = asyncio.Queue()
        self.writer = None
        self.connected = asyncio.Event()

    async def start(self):
        self.server = await asyncio.start_server(self.on_conn, "127.0.0.1", 0)
        self.port = self.server.sockets[0].getsockname()[1]

    async def on_conn(self, reader, writer):
        self.writer = writer
        self.connected.set()
        buf = b""
        try:
            while True:
                chunk = await reader.read(65536)
                if not chunk:
                    break
                buf += chunk
                while b"$" in buf:
                    frame, buf = buf.split(b"$", 1)
                    frame += b"$"
                    if frame == b"%--$":
                        writer.write(b"%++$")
                    else:
                        await self.frames.put(frame)
        finally:
            self.connected.clear()

    def send(self, data):
        self.writer.write(data)

    async def next(self, prefix=b""):
        while True:
            f = await asyncio.wait_for(self.frames.get(), TIMEOUT)
            if f.startswith(prefix):
                return f

    async def close(self):
        self.server.close()
        if self.writer:
            self.writer.close()


class Gateway(CollectedOutput):
    """The gateway binary in its own working folder; stdout lines are collected."""

    def __init__(self, gate_port, logic_port, login_port, args=(), workers=2, prefix=()):
        self.dir = tempfile.TemporaryDirectory()
        with open(os.path.join(self.dir.name, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write("<TGateWayConfigure>\r\n"
                    f"\t<GatePort>{gate_port}</GatePort>\r\n"
                    f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>{logic_port}</ServerPort>\r\n"
                    f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>{login_port}</LoginSrvPort>\r\n"
                    f"\t<WokerCount>{workers}</WokerCount>\r\n"
                    # The relay is under test here, not the guard: its per-address and
                    # per-receive rules are lifted (every client comes from 127.0.0.1).
                    "\t<MaxConnOfIPaddr>0</MaxConnOfIPaddr>\r\n\t<MaxClientMsgCount>0</MaxClientMsgCount>\r\n"
                    "</TGateWayConfigure>\r\n")
        self.port = gate_port
        super().__init__([*prefix, GATEWAY, "--headless", *args], self.dir.name)

    def output(self):
        return self.output_lines()

    def has(self, text):
        return any(text in line for line in self.output())

    async def wait_line(self, text, timeout=TIMEOUT, count=1):
        """Waits for `count` lines with `text` and returns the last; a gateway that has ended
        without them (one that did not start at all, say) fails the wait at once, with its
        exit code."""
        return await self.await_line(text, count, timeout)

    def stop(self, sig=signal.SIGTERM):
        """Stops the gateway with `sig`; a Windows build by the end of its input, which
        stands for both SIGTERM and SIGINT there. Its exit code."""
        if self.proc.poll() is None:
            if self.windows:
                self.request_stop()
            else:
                self.proc.send_signal(sig)
        try:
            code = self.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()  # no gateway is left behind; the test fails on its own
            self.proc.wait()
            raise
        self.reader.join(TIMEOUT)
        self.proc.stdout.close()
        self.dir.cleanup()
        return code


def control_path(handle) -> str:
    """The control channel's socket of `handle`, as gatekit (and the gateway) place it."""
    return subprocess.run([GATEKIT, "control-path", str(handle)], check=True,
                          capture_output=True).stdout.decode().strip()


def token_answer(challenge_text: bytes) -> bytes:
    out = subprocess.run(command(GATEKIT, "token-answer", challenge_text.decode()), check=True,
                         capture_output=True)
    return out.stdout.strip()


async def handshake(port, **connect_args):
    ws = await websockets.connect(f"ws://127.0.0.1:{port}/", max_size=None, **connect_args)
    challenge = await asyncio.wait_for(ws.recv(), TIMEOUT)
    assert challenge[0] == 0 and challenge[1:3] == b"\xc9\x10", challenge[:3]
    await ws.send(b"\x01\x02" + token_answer(challenge[33:]) + b"\x03")
    return ws


async def recv_client_messages(ws, count):
    """`count` client messages, batches unpacked."""
    got = []
    while len(got) < count:
        got.extend(split_batch(await asyncio.wait_for(ws.recv(), TIMEOUT)))
    return got


async def start_serving(test, make):
    """Starts the gateway `make()` returns as `test.gateway` and waits until it serves and
    both links are up. Each gateway's port is found free but bound only when it starts:
    another program on the machine may take it in between, and then the start is tried
    again with a new one."""
    for _ in range(3):
        test.gateway = make()
        gateway = test.gateway
        await await_until(lambda: gateway.proc.poll() is not None or gateway.has(
            "SocketServer 启动: ") or gateway.has("无法绑定"), "the gateway to serve or fail")
        if not test.gateway.has("无法绑定"):
            break
        test.gateway.stop()
    await test.gateway.wait_line("SocketServer 启动: ")
    await asyncio.wait_for(test.logic.connected.wait(), TIMEOUT)
    await asyncio.wait_for(test.login.connected.wait(), TIMEOUT)
    await test.gateway.wait_line("LogicSrv 连接成功")


class GatewayRelayTest(unittest.IsolatedAsyncioTestCase):
    async def asyncSetUp(self):
        self.logic = LogicServer()
        self.login = LoginServer()
        await self.logic.start()
        await self.login.start()
        self.gateway = None

    async def asyncTearDown(self):
        if self.gateway:
            self.gateway.stop()
        await self.logic.close()
        await self.login.close()

    async def start_gateway(self, **kw):
        await start_serving(self, lambda: Gateway(free_port(), self.logic.port,
                                                  self.login.port, **kw))

    async def test_client_logs_in_is_handed_over_and_plays(self):
        await self.start_gateway()
        ws = await handshake(self.gateway.port)
        frame = await self.login.next(b"%N")
        handle, remote, _local = frame[2:-1].decode().split("/")
        self.assertEqual(remote, "127.0.0.1")
        await self.gateway.wait_line("授权验证成功:{")

        # Login traffic passes byte for byte; login messages come back as type 5.
        await ws.send(b"\x05login-me")
        self.assertEqual(await self.login.next(b"%D"), b"%D" + handle.encode() + b"/\x05login-me$")
        self.login.send(b"%" + handle.encode() + b"/#" + sixbit(b"welcome") + b"!$")
        self.assertEqual(await recv_client_messages(ws, 1), [b"\x05welcome"])

        # 530 hands the session over: ident 1 with the client's address.
        self.login.send(b"%" + handle.encode() + b"/#" + sixbit(b"\x12\x02ok") + b"!$")
        ident, sock, _, _, payload = await self.logic.next(1)
        self.assertEqual((sock & 0xFFFFFFFF, payload), (int(handle), b"127.0.0.1"))
        self.assertEqual(await recv_client_messages(ws, 1), [b"\x05\x12\x02ok"])

        # The worker takes a session's server messages in order: a message the logic server
        # sends after the user index (ident 6) reaches the client only once the index is in.
        self.logic.send(packet(5, int(handle), b"index-in", 9))
        self.assertEqual(await recv_client_messages(ws, 1), [b"\x09index-in"])

        # Game relay: move and attack checked, types 1 and 3 dropped, default relayed.
        move, attack = b"\x02" + b"m" * 9, b"\x04" + b"a" * 18
        for m in (move, move + b"x", b"\x01zz", b"\x03zz", attack, b"\x00" + b"d" * 32):
            await ws.send(m)
        relayed = [await self.logic.next(5) for _ in range(3)]
        self.assertEqual([(p[3], p[4]) for p in relayed],
                         [(2, b"m" * 9), (4, b"a" * 18), (0, b"d" * 32)])
        self.assertTrue(all(p[1] & 0xFFFFFFFF == int(handle) and p[2] == 100 for p in relayed))
        # The logic server's echoes come back to the client, the default one with dwCRC = Ident.
        back = await recv_client_messages(ws, 3)
        self.assertEqual(back[0], move)
        self.assertEqual(back[1], attack)
        self.assertEqual(back[2][:29] + back[2][33:], b"\x00" + b"d" * 28)
        self.assertEqual(back[2][29:33], b"dd\x00\x00")
        await self.gateway.wait_line("[W] [错误]: 不正确的MoveMsg 大小:10 ,(Ident:28013)")

        # Several server messages in a row reach the client, packed when they fit.
        self.logic.echo = False
        self.logic.send(b"".join(packet(5, int(handle), bytes([i]) * 99, 9) for i in range(3)))
        msgs = await recv_client_messages(ws, 3)
        self.assertEqual(msgs, [b"\x09" + bytes([i]) * 99 for i in range(3)])

        # The client leaves: the logic server hears ident 2 for its handle.
        await ws.close()
        ident, sock, *_ = await self.logic.next(2)
        self.assertEqual(sock & 0xFFFFFFFF, int(handle))
        await self.gateway.wait_line("Client Close : 127.0.0.1 Token:{")
        for line in self.gateway.output():
            self.assertRegex(line, LINE)

    async def in_game(self, **connect_args):
        """A client that passed the challenge and was handed over; its handle."""
        ws = await handshake(self.gateway.port, **connect_args)
        handle = (await self.login.next(b"%N"))[2:-1].decode().split("/")[0]
        self.login.send(b"%" + handle.encode() + b"/#" + sixbit(b"\x12\x02ok") + b"!$")
        _, sock, *_ = await self.logic.next(1)
        self.assertEqual(sock & 0xFFFFFFFF, int(handle))
        self.assertEqual(await recv_client_messages(ws, 1), [b"\x05\x12\x02ok"])
        return ws, int(handle)

    async def test_late_login_traffic_for_a_gone_client_never_reaches_the_next_in_its_slot(self):
        await self.start_gateway(workers=1)
        first = await handshake(self.gateway.port)
        gone = (await self.login.next(b"%N"))[2:-1].decode().split("/")[0]
        await first.close()
        self.assertEqual(await self.login.next(b"%C"), b"%C" + gone.encode() + b"$")
        second = await handshake(self.gateway.port)
        mine = (await self.login.next(b"%N"))[2:-1].decode().split("/")[0]
        self.assertEqual(int(mine) & 0xFFFF, int(gone) & 0xFFFF, "the same slot")
        self.assertNotEqual(mine, gone)

        # Close, block and kick commands, a data frame and a hand-over, all for the
        # client that has gone; then a frame for the newcomer, which the login link
        # handles after them.
        g = gone.encode()
        self.login.send(b"%+-" + g + b"$%+B" + g + b"$%+T" + g + b"$")
        self.login.send(b"%" + g + b"/#" + sixbit(b"late") + b"!$")
        self.login.send(b"%" + g + b"/#" + sixbit(b"\x12\x02ok") + b"!$")
        self.login.send(b"%" + mine.encode() + b"/#" + sixbit(b"mine") + b"!$")
        self.assertEqual(await recv_client_messages(second, 1), [b"\x05mine"])
        await self.gateway.wait_line(f"[D] Stale SessionHandle Dropped (ChangeSessionStep) "
                                     f"SessionHandle:{gone} , Slot Now Holds:{mine}")
        self.assertFalse(self.gateway.has("CloseSession:"))

        # Nothing was registered for the gone client: the first registration the logic
        # server sees is the newcomer's own, and the newcomer is still connected.
        self.login.send(b"%" + mine.encode() + b"/#" + sixbit(b"\x12\x02ok") + b"!$")
        ident, sock, *_ = await self.logic.next()
        self.assertEqual((ident, sock & 0xFFFFFFFF), (1, int(mine)))
        self.assertEqual(await recv_client_messages(second, 1), [b"\x05\x12\x02ok"])

    async def test_a_client_that_reads_nothing_is_closed_at_the_queue_cap(self):
        await self.start_gateway()
        # A configuration table of half a megabyte that every query is answered with.
        table = b"V" * 16 + bytes(range(256)) * 2048
        self.logic.send(packet(22, 5, table))
        # The client stops reading at once: one message in its queue, a small buffer.
        ws, handle = await self.in_game(max_queue=1, read_limit=4096)
        query = b"\x00" + struct.pack("<HHiiii", 4091, 0, 5, 0, 0, 0) + bytes(12) + b"xx"
        for _ in range(250):  # about 125 MB of answers without the cap
            await ws.send(query)
        await self.gateway.wait_line(
            f"[W] 客户端接收缓慢,待发送数据超限,断开连接:127.0.0.1 , Handle:{handle}")
        ident, sock, *_ = await self.logic.next(2)
        self.assertEqual(sock & 0xFFFFFFFF, handle)
        ws.transport.abort()

    async def test_a_message_right_before_a_soft_close_reaches_the_logic_server(self):
        await self.start_gateway()
        ws, handle = await self.in_game()
        self.logic.echo = False
        soft_close = b"\x00" + struct.pack("<H", 1009) + bytes(30)
        for round in range(5):
            await ws.send(b"\x05before-" + str(round).encode())
            await ws.send(soft_close)
            got = [await self.logic.next() for _ in range(4)]
            new = got[2][1] & 0xFFFFFFFF
            self.assertEqual([(p[0], p[1] & 0xFFFFFFFF, p[4][:2]) for p in got],
                             [(5, handle, b"be"),
                              (5, handle, b"\xf1\x03"), (1, new, b"12"), (2, handle, b"")],
                             f"round {round}")
            self.assertEqual(got[0][4], b"before-" + str(round).encode())
            self.assertNotEqual(new, handle)
            handle = new

    @unittest.skipIf(ON_WINDOWS, "systemd's notify socket is Linux's (an AF_UNIX datagram "
                     "socket); a Windows gateway reports to the Service Control Manager, "
                     "tested by windows_service_test.py")
    async def test_a_service_manager_hears_ready_reloading_and_stopping(self):
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as manager:
            name = f"gw-notify-{os.getpid()}"
            manager.bind("\0" + name)
            manager.settimeout(TIMEOUT)
            os.environ["NOTIFY_SOCKET"] = "@" + name
            try:
                await self.start_gateway()
            finally:
                del os.environ["NOTIFY_SOCKET"]
            said = lambda: asyncio.to_thread(manager.recv, 256)
            self.assertEqual(await said(), b"READY=1\nSTATUS=serving clients")
            self.gateway.proc.send_signal(signal.SIGHUP)
            self.assertEqual(await said(), b"RELOADING=1")
            self.assertEqual(await said(), b"READY=1")
            self.gateway.proc.send_signal(signal.SIGTERM)
            self.assertEqual(await said(), b"STOPPING=1")

    async def test_refused_while_logic_server_is_down(self):
        await self.logic.close()
        self.gateway = Gateway(free_port(), free_port(), self.login.port)
        await self.gateway.wait_line("SocketServer 启动: ")
        ws = await websockets.connect(f"ws://127.0.0.1:{self.gateway.port}/")
        with self.assertRaises(websockets.ConnectionClosed) as closed:
            await asyncio.wait_for(ws.recv(), TIMEOUT)
        self.assertEqual(closed.exception.rcvd.code, 1011)  # a clean close: server error
        self.assertFalse(self.gateway.has("客户端连接:"))

    async def test_server_closes_send_a_close_frame_with_their_status(self):
        await self.start_gateway()
        # A wrong token answer: refused by policy.
        ws = await websockets.connect(f"ws://127.0.0.1:{self.gateway.port}/")
        await asyncio.wait_for(ws.recv(), TIMEOUT)
        await ws.send(b"\x01\x02" + sixbit(b"not the answer") + b"\x03")
        with self.assertRaises(websockets.ConnectionClosed) as closed:
            await asyncio.wait_for(ws.recv(), TIMEOUT)
        self.assertEqual(closed.exception.rcvd.code, 1008)
        # The login server ends a session: a normal close.
        ws = await handshake(self.gateway.port)
        handle = (await self.login.next(b"%N"))[2:-1].decode().split("/")[0]
        self.login.send(b"%+-" + handle.encode() + b"$")
        with self.assertRaises(websockets.ConnectionClosed) as closed:
            while True:
                await asyncio.wait_for(ws.recv(), TIMEOUT)
        self.assertEqual(closed.exception.rcvd.code, 1000)

    async def test_logic_server_drop_closes_every_client(self):
        await self.start_gateway()
        clients = [await handshake(self.gateway.port) for _ in range(3)]
        for _ in clients:
            await self.login.next(b"%N")
        self.logic.drop()
        for ws in clients:
            with self.assertRaises(websockets.ConnectionClosed):
                while True:
                    await asyncio.wait_for(ws.recv(), TIMEOUT)
        await self.gateway.wait_line("[W] CloseAllSession :Logic Server Disconnect")
        # Each closed client of the login step is reported to the login server.
        closes = {await self.login.next(b"%C") for _ in clients}
        self.assertEqual(len(closes), 3)

    async def test_bind_failure_is_a_fatal_line_naming_the_port(self):
        with socket.socket() as busy:
            busy.bind(("0.0.0.0", 0))
            busy.listen()
            port = busy.getsockname()[1]
            self.gateway = Gateway(port, self.logic.port, self.login.port)
            await self.gateway.wait_line(
                f"[F] 网关服务启动失败 , 端口 {port} ,  无法绑定。可能该端口已经被占用! ")
            await self.gateway.wait_line(f"[I] 服务器的绑定端口:{port}")
            # A gateway that cannot serve ends by itself, with the start failure's code.
            self.assertEqual(self.gateway.stop(signal.SIGINT), 1)
            self.gateway = None

    @unittest.skipIf(ON_WINDOWS, "the controller's channel is a Unix socket on Linux and "
                     "window messages (WM_COPYDATA) on Windows, tested by "
                     "config_control_channel_test; and " + NO_SIGHUP_ON_WINDOWS)
    async def test_controller_sees_status_and_closes_the_gateway(self):
        controller_handle = 40000 + os.getpid() % 20000
        ctl = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        # The controller finds its socket's place as the gateway does.
        ctl_path = control_path(controller_handle)
        if os.path.exists(ctl_path):
            os.unlink(ctl_path)
        ctl.bind(ctl_path)
        ctl.setblocking(False)
        gate_port = free_port()
        block = subprocess.run(
            [GATEKIT, "launch-block", "--gate", f"0.0.0.0:{gate_port}",
             "--logic", f"127.0.0.1:{self.logic.port}", "--login", f"127.0.0.1:{self.login.port}",
             "--db", "127.0.0.1:1", "--gate-number", "3", "--controller", str(controller_handle)],
            check=True, capture_output=True).stdout.strip().decode()
        # The ports in GateWay.xml are overridden by the block.
        self.gateway = Gateway(1, 2, 3, args=(block,))
        loop = asyncio.get_running_loop()
        got = []
        while len(got) < 3:
            data = await asyncio.wait_for(loop.sock_recv(ctl, 65536), TIMEOUT)
            (wparam,) = struct.unpack_from("<I", data)
            got.append((wparam >> 16, wparam & 0xFFFF, data[4:].split(b"\0")[0]))
        ctl.close()
        os.unlink(ctl_path)
        pid = self.gateway.proc.pid
        self.assertEqual(got, [(1000, 3, str(pid).encode()),
                               (1001, 3, "正在启动GateWay...".encode("gbk")),
                               (1002, 3, "游戏网关启动完成...".encode("gbk"))])
        await self.gateway.wait_line(f"SocketServer 启动: {gate_port}")

        # SIGHUP reloads the configuration without stopping the service.
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.gateway.wait_line("[I] 文字过滤信息加载完成...", count=2)
        self.assertEqual(sum("[I] 正在加载配置信息..." in l for l in self.gateway.output()), 2)
        self.assertTrue(self.gateway.has(f"SocketServer 启动: {gate_port}"))
        self.assertEqual(sum("服务已启动成功..." in l for l in self.gateway.output()), 1)

        # The controller's close command ends the program cleanly; the socket goes with it.
        gateway_path = control_path(pid)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.dirname(gateway_path)).st_mode), 0o700)
        with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as s:
            s.sendto(struct.pack("<I", 2000 << 16) + b"\0", gateway_path)
        self.assertEqual(self.gateway.proc.wait(TIMEOUT), 0)
        self.gateway.reader.join(TIMEOUT)
        self.assertTrue(self.gateway.has("[I] 服务停止成功..."))
        self.assertFalse(os.path.exists(gateway_path))

    @unittest.skipIf(ON_WINDOWS, "the control channel's socket folder is Linux only")
    async def test_a_taken_control_name_fails_the_start_and_gatekit_closes_the_gateway(self):
        for squatter_listens, exit_code in ((True, 1), (False, 0)):
            with self.subTest(squatter_listens=squatter_listens):
                await self.check_control_name(squatter_listens, exit_code)

    async def check_control_name(self, squatter_listens, exit_code):
        # The gateway's handle is its process ID: a shell that waits on a FIFO and then
        # becomes the gateway (exec keeps the ID) lets the test take the name first.
        with tempfile.TemporaryDirectory() as tmp:
            fifo = os.path.join(tmp, "go")
            os.mkfifo(fifo)
            wrapper = ("/bin/sh", "-c", 'read go < "$0"; exec "$@"', fifo)
            self.gateway = Gateway(free_port(), self.logic.port, self.login.port,
                                   prefix=wrapper)
            pid = self.gateway.proc.pid
            path = control_path(pid)
            squatter = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
            squatter.bind(path)
            if not squatter_listens:
                squatter.close()  # a file left behind by an ended process
            try:
                with open(fifo, "w") as f:
                    f.write("go\n")
                if squatter_listens:
                    # A neighbour holding the name is a start failure, not a log line.
                    self.assertEqual(await asyncio.to_thread(self.gateway.proc.wait, TIMEOUT),
                                     exit_code)
                    self.gateway.reader.join(TIMEOUT)
                    self.assertTrue(self.gateway.has(f"control socket {path} is taken"),
                                    "\n".join(self.gateway.output()))
                    self.assertFalse(self.gateway.has("SocketServer 启动"))
                else:
                    # The stale file is replaced; gatekit's close command (the way scripts
                    # send it) ends the gateway.
                    await self.gateway.wait_line("SocketServer 启动: ")
                    result = await asyncio.to_thread(
                        subprocess.run, [GATEKIT, "control-send", str(pid), "2000"],
                        capture_output=True)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertEqual(
                        await asyncio.to_thread(self.gateway.proc.wait, TIMEOUT), exit_code)
                    # Nothing listens any more: gatekit says so.
                    result = subprocess.run([GATEKIT, "control-send", str(pid), "2000"],
                                            capture_output=True)
                    self.assertEqual(result.returncode, 1)
            finally:
                squatter.close()
                if os.path.exists(path):
                    os.unlink(path)
        self.gateway.stop()
        self.gateway = None


if __name__ == "__main__":
    GATEWAY, GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
