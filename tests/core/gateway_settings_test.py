#!/usr/bin/python3
"""End to end: strict settings in the real `gateway` binary. `gateway --check` against
settings folders (its exit code, its effective settings and its problem lines, and that it
writes nothing); a start with a broken GateWay.xml names file and line; a reload with a broken
file keeps the old per-address limit in force and says why, a valid one says what changed.

Usage: gateway_settings_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import os
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402

TIMEOUT = relay.TIMEOUT


def settings(*lines):
    return "<TGateWayConfigure>\r\n" + "".join(f"\t{line}\r\n" for line in lines) + \
        "</TGateWayConfigure>\r\n"


class CheckTest(unittest.TestCase):
    """`gateway --check` in a folder of its own, run from another folder with --dir."""

    def check(self, files, *args):
        with tempfile.TemporaryDirectory() as top:
            folder = os.path.join(top, "settings")
            os.mkdir(folder)
            for name, text in files.items():
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(text.encode() if isinstance(text, str) else text)
            log_dir = os.path.join(top, "logs")
            run = subprocess.run([relay.GATEWAY, "--check", "--dir", folder, "--log-dir", log_dir,
                                  *args], cwd=top, capture_output=True, timeout=TIMEOUT)
            # Nothing written: no default settings file, no log folder, nothing beside.
            self.assertEqual(sorted(os.listdir(folder)), sorted(files))
            self.assertEqual(sorted(os.listdir(top)), ["settings"])
            return (run.returncode, run.stdout.decode(), run.stderr.decode(),
                    os.path.join(folder, "GateWay.xml"))

    def test_each_folder_gives_its_exit_code_and_problem_lines(self):
        cases = [
            # name, files, extra args, exit code, [stdout lines], [stderr lines ({xml}: the file)]
            ("fine", {"GateWay.xml": settings("<MaxConnOfIPaddr>3</MaxConnOfIPaddr>")}, [], 0,
             ["  MaxConnOfIPaddr = 3", "  GatePort = 7200", "  NetPassWord = (empty)",
              "handshake keys: built-in development keys"],
             ["gateway: the settings check passed: 0 error(s), 1 warning(s)"]),
            ("missing settings file", {}, [], 0, ["  MaxConnOfIPaddr = 10"],
             ["{xml}: warning: settings file not found; the gateway would write it with the "
              "default settings"]),
            ("a count with a word after it",
             {"GateWay.xml": settings("<GatePort>7300</GatePort>",
                                      "<MaxConnOfIPaddr>3 conns</MaxConnOfIPaddr>")}, [], 1, [],
             ['{xml}:3: error: MaxConnOfIPaddr: "3 conns" is not a whole number',
              "gateway: the settings check failed: 1 error(s), 1 warning(s)"]),
            ("beyond the dialog's range",
             {"GateWay.xml": settings("<MaxConnOfIPaddr>200</MaxConnOfIPaddr>")}, [], 0,
             ["  MaxConnOfIPaddr = 200"],
             ["{xml}:2: warning: MaxConnOfIPaddr: 200 is outside 1 to 100, the range of the IP "
              "filter settings (0: no limit); kept as written"]),
            ("truncated", {"GateWay.xml": settings("<GatePort>7300</GatePort>")[:30]}, [], 1, [],
             ["{xml}:2: error: not well-formed XML: "]),
            ("bad handshake keys", {"GateWay.xml": settings(), "GateKeys.txt": "one line only\n"},
             [], 1, ["handshake keys: not usable"], ["GateKeys.txt: error: "]),
            ("a TLS pair that cannot be read", {"GateWay.xml": settings()},
             ["--tls-cert", "/nonexistent/cert.pem", "--tls-key", "/nonexistent/key.pem"], 1,
             ["tls: not usable"], ["--tls-cert/--tls-key: error: "]),
            ("block list lines the guard skips",
             {"GateWay.xml": settings(), "BlockIPList.txt": "10.0.0.1 # kept\r\n1.2.3\r\n*\r\n"},
             [], 0, [], ["BlockIPList.txt:2: warning: ", "BlockIPList.txt:3: warning: ",
                         "gateway: the settings check passed: 0 error(s), 3 warning(s)"]),
            ("metrics on the client port", {"GateWay.xml": settings("<GatePort>7300</GatePort>")},
             ["--metrics", "127.0.0.1:7300"], 1, ["  --metrics = 127.0.0.1:7300"],
             ["command line: error: --metrics port 7300 is the client port (GatePort) as well"]),
        ]
        for name, files, args, code, out_lines, err_lines in cases:
            with self.subTest(name):
                got, out, err, xml = self.check(files, *args)
                self.assertEqual(got, code, out + err)
                for line in out_lines:
                    self.assertIn(line, out.splitlines())
                for line in err_lines:
                    line = line.replace("{xml}", xml)
                    self.assertTrue(any(line in got_line for got_line in err.splitlines()),
                                    f"{line!r} in\n{err}")

    def test_a_usage_error_is_still_a_usage_error(self):
        run = subprocess.run([relay.GATEWAY, "--check", "--no-such-option"], capture_output=True,
                             timeout=TIMEOUT)
        self.assertEqual(run.returncode, 2, run.stderr)


@unittest.skipIf(relay.ON_WINDOWS, relay.NO_SIGHUP_ON_WINDOWS)
class ReloadTest(guard.ClientsFixture):
    async def start_gateway(self, **values):
        await relay.start_serving(self, lambda: guard.GuardedGateway(
            self.logic.port, self.login.port, **values))

    async def refused(self, source):
        c = await guard.Client(self.gateway.port, source).connect()
        self.clients.append(c)
        return await c.ending() == "reset"

    async def served(self, source):
        c = await (await guard.Client(self.gateway.port, source).connect()).handshake()
        self.clients.append(c)
        self.assertIn(f"/{source}/".encode(), await self.login.next(b"%N"))
        return c

    def write(self, text):
        with open(self.gateway.path("GateWay.xml"), "w", encoding="utf-8") as f:
            f.write(text)

    async def test_a_broken_file_keeps_the_old_limit_and_a_valid_one_says_what_changed(self):
        await self.start_gateway(MaxConnOfIPaddr=2, ClientTimeOut=0)
        xml = os.path.join(os.path.realpath(self.gateway.dir.name), "GateWay.xml")
        await self.served("127.0.0.61")
        await self.served("127.0.0.61")
        self.assertTrue(await self.refused("127.0.0.61"))
        # A limit that would read as 0 (no limit) if the file were taken anyway.
        self.write(settings(f"<GatePort>{self.gateway.port}</GatePort>",
                            "<MaxConnOfIPaddr>3 conns</MaxConnOfIPaddr>"))
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.gateway.wait_line(
            f"Settings not reloaded, every previous setting stays in force: {xml}:3: error: "
            'MaxConnOfIPaddr: "3 conns" is not a whole number')
        self.assertTrue(await self.refused("127.0.0.61"))
        self.assertEqual(sum("配置信息加载完成" in line for line in self.gateway.output()), 1)

        # A valid file: the limit follows at once, the port waits for the next start.
        self.write(guard.settings_xml(1, self.logic.port, self.login.port, MaxConnOfIPaddr=3,
                                      ClientTimeOut=0))
        self.gateway.proc.send_signal(signal.SIGHUP)
        await self.gateway.wait_line("Setting changed: MaxConnOfIPaddr 2 → 3")
        await self.gateway.wait_line(
            f"Setting changed: GatePort {self.gateway.port} → 1 (takes effect at the next start)")
        await self.gateway.wait_line("Settings reloaded: 2 changed; restart the service for GatePort")
        await self.served("127.0.0.61")

    async def test_a_start_with_a_broken_file_names_file_and_line(self):
        self.gateway = guard.GuardedGateway(self.logic.port, self.login.port,
                                            MaxConnOfIPaddr="3 conns")
        xml = os.path.join(os.path.realpath(self.gateway.dir.name), "GateWay.xml")
        # The settings' own lines come first: GatePort and five more, then the extra one.
        await self.gateway.wait_line(
            f'{xml}:8: error: MaxConnOfIPaddr: "3 conns" is not a whole number')
        self.assertFalse(self.gateway.has("配置信息加载完成"))


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
