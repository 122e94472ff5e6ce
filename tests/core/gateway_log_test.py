#!/usr/bin/python3
"""End to end: the log file of the real `gateway --headless` binary between the fake logic
and login servers of gateway_relay_test.py. Every line standard output shows is in the file
(the links' and the guard's included), SIGUSR1 reopens the file after a rename, --log-level
info leaves out the debug lines, standard output under systemd's journal carries priority
prefixes, and a log folder that cannot be written is told on standard error while the
gateway serves on.

Usage: gateway_log_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import collections
import glob
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402
from gw_wait import await_until  # noqa: E402
from gw_wire import free_port  # noqa: E402

TIMEOUT = relay.TIMEOUT
LINE = re.compile(r"^(<\d>)?(\[\d\d-\d\d-\d\d \d\d:\d\d:\d\d\](\[I\] |\[F\] |\[E\]|\[W\] |\[D\] ).*)$")
PRIORITY = {"[I] ": "<6>", "[F] ": "<3>", "[E]": "<3>", "[W] ": "<4>", "[D] ": "<7>"}


def read_log(path):
    """The lines of a UTF-16LE log file (with its byte order mark); [] while it is missing."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    assert data[:2] == b"\xff\xfe", data[:2]
    return data[2:].decode("utf-16-le").split("\r\n")[:-1]


def log_files(folder):
    return sorted(f for f in glob.glob(os.path.join(folder, "*.log"))
                  if not f.endswith(".utf8.log"))


class JournalGateway(guard.GuardedGateway):
    """The gateway with JOURNAL_STREAM set: to its standard output's "device:inode", as
    systemd does, or (`matching` false) to another file's, as a program started by a service
    and given other output sees it."""

    def __init__(self, logic_port, login_port, args, matching):
        read_end, write_end = os.pipe()
        st = os.fstat(write_end) if matching else os.stat(sys.executable)
        env = dict(os.environ, JOURNAL_STREAM=f"{st.st_dev}:{st.st_ino}")
        self.logic_port, self.login_port = logic_port, login_port
        self.dir = tempfile.TemporaryDirectory()
        self.port = free_port()
        self.write_settings()
        # As CollectedOutput, with the pipe made above as standard output.
        self.lines, self.lock, self.windows = [], threading.Lock(), False
        self.proc = subprocess.Popen([relay.GATEWAY, "--headless", *args], cwd=self.dir.name,
                                     stdout=write_end, stderr=subprocess.STDOUT, env=env)
        os.close(write_end)
        self.proc.stdout = os.fdopen(read_end, "rb")
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()


class GatewayLogTest(guard.ClientsFixture):
    async def asyncSetUp(self):
        await super().asyncSetUp()
        self.log_dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.log_dir.cleanup)

    async def start_gateway(self, args=(), block_list=(), make=None, **settings):
        args = ("--log-dir", self.log_dir.name, *args)
        make = make or (lambda: guard.GuardedGateway(self.logic.port, self.login.port,
                                                     block_list, args=args, **settings))
        await relay.start_serving(self, make)

    async def client(self, source):
        c = await guard.Client(self.gateway.port, source).connect()
        self.clients.append(c)
        return c

    def log_file(self):
        files = log_files(self.log_dir.name)
        self.assertEqual(len(files), 1, files)
        return files[0]

    async def wait_in_file(self, text, path=None):
        """Waits for a line with `text` in the file at `path`, or in the one log file (it is
        made at the writer's first pass)."""
        if path is None:
            async def made():
                return bool(log_files(self.log_dir.name))
            await await_until(made, "the log file")
            path = self.log_file()

        async def found():
            return any(text in line for line in read_log(path))
        await await_until(found, f"{text!r} in {path}")

    def stop_gateway(self):
        """Stops the gateway (its last lines reach the file) and returns its output lines."""
        self.assertEqual(self.gateway.stop(), 0)
        output = self.gateway.output()
        self.gateway = None
        return output

    async def test_every_line_reaches_the_file_once(self):
        await self.start_gateway(block_list=["127.0.0.21"])
        self.assertTrue(await (await self.client("127.0.0.21")).ending() == "reset")
        await self.gateway.wait_line("Refused 127.0.0.21: the address is blocked")
        # The writer writes every three seconds while the gateway runs.
        await self.wait_in_file("Refused 127.0.0.21: the address is blocked")
        await self.wait_in_file("LogicSrv 连接成功")
        path = self.log_file()
        output = self.stop_gateway()
        shown = [m.group(2) for m in map(LINE.match, output) if m]
        self.assertTrue(any(line.endswith("][I] 日志文件: " + path) for line in shown), shown)
        written = read_log(path)
        # Standard output shows each line once, and the file holds every one of them.
        self.assertEqual(collections.Counter(shown) - collections.Counter(written),
                         collections.Counter())
        for text in ("SocketServer 启动: ", "LogicSrv 连接成功",
                     "Refused 127.0.0.21: the address is blocked", "服务停止成功..."):
            self.assertEqual(sum(text in line for line in shown), 1, text)
            self.assertEqual(sum(text in line for line in written), 1, text)

    async def test_sigusr1_reopens_the_file_after_a_rename(self):
        await self.start_gateway()
        await self.wait_in_file("LogicSrv 连接成功")
        path = self.log_file()
        os.rename(path, path + ".1")
        self.gateway.proc.send_signal(signal.SIGUSR1)
        await self.wait_in_file("日志文件重新打开: " + path, path)
        # Later lines go to the new file, not to the renamed one.
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.wait_in_file("配置信息加载完成", path)
        # The renamed file has the start's line only.
        self.assertEqual(sum("配置信息加载完成" in line for line in read_log(path + ".1")), 1)
        self.assertTrue(read_log(path)[0].endswith("日志文件重新打开: " + path))

    async def test_log_level_info_leaves_out_the_debug_lines(self):
        for args, debug in (((), True), (("--log-level", "info"), False)):
            with self.subTest(args=args):
                for f in os.listdir(self.log_dir.name):
                    os.remove(os.path.join(self.log_dir.name, f))
                await self.start_gateway(args=args)
                await (await self.client("127.0.0.31")).handshake()
                await self.login.next(b"%N")
                await self.wait_in_file("LogicSrv 连接成功")
                path = self.log_file()
                output = self.stop_gateway()
                for where, lines in (("output", output), ("file", read_log(path))):
                    self.assertEqual(any("[D] " in line for line in lines), debug, where)
                    self.assertTrue(any("[I] " in line for line in lines), where)

    async def test_journal_stream_gives_priority_prefixes(self):
        for matching in (True, False):
            with self.subTest(matching=matching):
                args = ("--log-dir", self.log_dir.name)
                await self.start_gateway(make=lambda: JournalGateway(
                    self.logic.port, self.login.port, args, matching))
                self.assertTrue(await (await self.client("127.0.0.41")).handshake())
                await self.gateway.wait_line("授权验证成功")
                output = self.stop_gateway()
                lines = [m for m in map(LINE.match, output) if m]
                self.assertTrue(lines)
                for m in lines:
                    self.assertEqual(m.group(1), PRIORITY[m.group(3)] if matching else None,
                                     m.group(0))
                if matching:
                    self.assertLessEqual({"<6>", "<7>"}, {m.group(1) for m in lines})
                    self.assertFalse(any("\x1b[" in line for line in output))

    async def test_unwritable_log_folder_is_told_and_the_gateway_serves(self):
        blocker = os.path.join(self.log_dir.name, "blocker")
        with open(blocker, "w") as f:
            f.write("x")
        folder = os.path.join(blocker, "Log")
        await relay.start_serving(self, lambda: guard.GuardedGateway(
            self.logic.port, self.login.port, args=("--log-dir", folder)))
        await (await self.client("127.0.0.51")).handshake()
        await self.login.next(b"%N")
        output = self.stop_gateway()
        told = [line for line in output if line.startswith("gateway: cannot write the log folder")]
        self.assertEqual(told, [f"gateway: cannot write the log folder {folder}/: "
                                "Not a directory; no log file is kept"])
        self.assertFalse(any("][I] 日志文件: " in line for line in output))
        self.assertTrue(any(f"日志文件夹无法写入，不保存日志文件: {folder}/" in line
                            for line in output))


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
