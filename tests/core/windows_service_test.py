"""The Windows gateway as a service under wine's Service Control Manager: installed with
`gateway.exe --service install`, started and stopped with `sc`, serving WebSocket clients
while it runs, and removed with `--service uninstall`.

Usage: windows_service_test.py GATEWAY_EXE [unittest args]
"""
import asyncio
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import uuid

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wait import wait_until  # noqa: E402
from gw_wire import free_port, listening  # noqa: E402

GATEWAY = None
TIMEOUT = 60
WINE = shutil.which("wine") or "wine"


def wine(*args):
    return subprocess.run([WINE, *args], capture_output=True, text=True, timeout=TIMEOUT)


def service_state(name):
    out = wine("sc", "query", name).stdout
    for line in out.splitlines():
        if "STATE" in line:
            return line.split()[-1]
    return None


def log_text(folder):
    logs = os.path.join(folder, "Log")
    text = ""
    for name in sorted(os.listdir(logs)) if os.path.isdir(logs) else []:
        with open(os.path.join(logs, name), "rb") as f:
            text += f.read().decode("utf-16-le", "replace")
    return text


class WindowsServiceTest(unittest.TestCase):
    def setUp(self):
        # The service runs the program where it lies and reads its settings beside it.
        self.dir = tempfile.TemporaryDirectory()
        self.exe = os.path.join(self.dir.name, "gateway.exe")
        shutil.copy(GATEWAY, self.exe)
        self.port = free_port()
        with open(os.path.join(self.dir.name, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write(f"<TGateWayConfigure>\r\n\t<GatePort>{self.port}</GatePort>\r\n"
                    "</TGateWayConfigure>\r\n")
        self.name = "GwTest" + uuid.uuid4().hex[:8]

    def tearDown(self):
        wine("sc", "stop", self.name)
        wine("sc", "delete", self.name)
        self.dir.cleanup()

    def test_install_start_serve_stop_uninstall(self):
        run = wine(self.exe, "--service", "install", "--service-name", self.name)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIn(f"service {self.name} installed", run.stdout)
        wine("sc", "start", self.name)
        wait_until(lambda: service_state(self.name) == "RUNNING", "the service to run", TIMEOUT)
        wait_until(lambda: listening(self.port), "the client port", TIMEOUT)

        # The upgrade is served; with no logic server configured the gateway then closes the
        # client with 1011, as it does outside a service.
        async def served():
            async with websockets.connect(f"ws://127.0.0.1:{self.port}/") as ws:
                with self.assertRaises(websockets.ConnectionClosed):
                    await asyncio.wait_for(ws.recv(), TIMEOUT)
                return ws.close_code
        self.assertEqual(asyncio.run(served()), 1011)

        wine("sc", "stop", self.name)
        wait_until(lambda: service_state(self.name) == "STOPPED", "the service to stop", TIMEOUT)
        self.assertFalse(listening(self.port))
        text = log_text(self.dir.name)
        self.assertIn("服务已启动成功...", text)
        self.assertIn("服务停止成功...", text)

        run = wine(self.exe, "--service", "uninstall", "--service-name", self.name)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertIsNone(service_state(self.name))

    def test_run_typed_in_a_console_is_refused(self):
        run = wine(self.exe, "--service", "run", "--service-name", self.name)
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("sc start", run.stderr)


if __name__ == "__main__":
    GATEWAY = os.path.abspath(sys.argv[1])
    unittest.main(argv=[sys.argv[0], *sys.argv[2:]])
