#!/usr/bin/python3
"""The admin API against the real gateway between `gatesim logic-server` and `gatesim
login-server`: authentication, kicks seen by the client and the logic server, block entries
seen at the next connect from the blocked address, reloads, bad input, the log tail and
`gatekit admin`; and the start failures of the admin options.

Usage: admin_api_e2e_test.py GATESIM GATEWAY GATEKIT [unittest args]
"""
import asyncio
import http.client
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

import websockets

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wait import wait_until  # noqa: E402
from gw_wire import CollectedOutput, command, free_port, make_certificate, split_batch  # noqa: E402

GATESIM = GATEWAY = GATEKIT = None
TIMEOUT = 60  # generous: the machine may be loaded and the programs may run under ASan
TOKEN = "ops-0123456789abcdef0123456789"
WRONG = "ops-0123456789abcdef012345678X"




def wait_port(port):
    def up():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return True
        except OSError:
            return False
    wait_until(up, f"a listener on {port}")


# The programs under test: output collected, waited on, stopped (tests/support/gw_wire.py).
Proc = CollectedOutput


def write_settings(folder, gate, logic, login, extra=""):
    with open(os.path.join(folder, "GateWay.xml"), "w", encoding="utf-8") as f:
        f.write("<TGateWayConfigure>\r\n"
                f"\t<GatePort>{gate}</GatePort>\r\n"
                f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>{logic}</ServerPort>\r\n"
                f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>{login}</LoginSrvPort>\r\n"
                "\t<WokerCount>2</WokerCount>\r\n"
                f"{extra}"
                "</TGateWayConfigure>\r\n")


def write_tokens(folder, text, mode=0o600):
    path = os.path.join(folder, "admin-tokens.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    os.chmod(path, mode)
    return path


def api_call(port, method, path, body=None, token=TOKEN, source="127.0.0.1", raw=None):
    """One request on a connection of its own; (status, headers, parsed JSON or text)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT,
                                      source_address=(source, 0))
    headers = {}
    if token is not None:
        headers["Authorization"] = "Bearer " + token
    data = raw if raw is not None else (json.dumps(body) if body is not None else None)
    if data is not None:
        headers["Content-Type"] = "application/json"
    conn.request(method, path, body=data, headers=headers)
    response = conn.getresponse()
    text = response.read().decode("utf-8", "replace")
    conn.close()
    try:
        parsed = json.loads(text)
    except ValueError:
        parsed = text
    return response.status, response.headers, parsed


class Client:
    """A game client from its own 127.0.0.x: token answer through gatekit, then login text."""

    def __init__(self, port, workdir, source):
        self.port, self.workdir, self.source = port, workdir, source
        self.queue = []

    async def open(self):
        self.ws = await websockets.connect(f"ws://127.0.0.1:{self.port}/", max_size=None,
                                           local_addr=(self.source, 0), open_timeout=TIMEOUT)
        challenge = await self.recv()
        answer = subprocess.run(command(GATEKIT, "token-answer", challenge[33:].decode()),
                                cwd=self.workdir, capture_output=True, check=True,
                                text=True).stdout.strip()
        await self.ws.send(b"#0" + answer.encode() + b"!")
        greeting = await self.recv()
        assert greeting[0] == 5 and struct.unpack_from("<H", greeting, 1)[0] == 1, greeting
        return self

    async def recv(self):
        while not self.queue:
            message = await asyncio.wait_for(self.ws.recv(), TIMEOUT)
            self.queue.extend(split_batch(message))
        return self.queue.pop(0)

    async def log_in(self):
        await self.ws.send(b"LOGIN tester secret")
        handed_over = speed_times = False
        while not (handed_over and speed_times):
            m = await self.recv()
            handed_over = handed_over or (m[0] == 5 and m[1:3] == b"\x12\x02")
            speed_times = speed_times or (m[0] == 0 and m[1:3] == struct.pack("<H", 9010))

    async def echo(self):
        await self.ws.send(b"\x02M" + bytes(8))
        while True:
            m = await self.recv()
            if m[0] == 2:
                return m

    async def closed_by_gateway(self):
        try:
            while True:
                await asyncio.wait_for(self.ws.recv(), TIMEOUT)
        except websockets.ConnectionClosed:
            return True


class AdminApi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        d = cls.dir.name
        cls.logic_port, cls.login_port, cls.gate_port, cls.admin_port = (
            free_port(), free_port(), free_port(), free_port())
        cls.logic = Proc([GATESIM, "logic-server", "--port", str(cls.logic_port),
                          "--addr", "127.0.0.1"], d)
        cls.login = Proc([GATESIM, "login-server", "--port", str(cls.login_port),
                          "--addr", "127.0.0.1"], d)
        wait_port(cls.logic_port)
        wait_port(cls.login_port)
        write_settings(d, cls.gate_port, cls.logic_port, cls.login_port)
        cls.tokens = write_tokens(d, "# operators\nops:" + TOKEN + "\nscript:" + "s" * 20 + "\n")
        cls.gateway = Proc([GATEWAY, "--headless", "--admin", f"127.0.0.1:{cls.admin_port}",
                            "--admin-token-file", cls.tokens], d)
        wait_port(cls.gate_port)
        cls.gateway.wait_for("Admin: API and web console on http://127.0.0.1:")
        cls.logic.wait_for("pushed configuration table 5")
        cls.gateway.wait_for("LogicSrv 连接成功")

    @classmethod
    def tearDownClass(cls):
        for p in (cls.gateway, cls.logic, cls.login):
            p.stop()
        cls.dir.cleanup()

    def call(self, method, path, body=None, token=TOKEN, source="127.0.0.1", raw=None):
        return api_call(self.admin_port, method, path, body, token, source, raw)

    def block_lists(self):
        status, _, lists = self.call("GET", "/api/blocklist")
        self.assertEqual(status, 200)
        return lists

    def session_of(self, address):
        status, _, page = self.call("GET", "/api/sessions?q=" + address)
        self.assertEqual(status, 200, page)
        return [s for s in page["sessions"] if s["address"] == address]

    def test_requests_without_a_valid_token_are_refused_counted_and_slowed(self):
        for token, why in ((None, "no bearer token"), (WRONG, "an unknown token"),
                           ("", "no bearer token")):
            status, headers, body = self.call("GET", "/api/status", token=token,
                                              source="127.0.0.9")
            self.assertEqual(status, 401, body)
            self.assertEqual(body, {"error": "a valid bearer token is required"})
            self.assertIn("Bearer", headers["WWW-Authenticate"])
            self.gateway.wait_for(f"Admin: refused GET /api/status from 127.0.0.9: {why}")
        # Each refusal in a row from one address waits twice as long as the one before.
        self.gateway.wait_for("(3 in a row from there, answered after 1000 ms)")
        status, _, body = self.call("POST", "/api/reload", token=WRONG, source="127.0.0.10")
        self.assertEqual(status, 401)
        self.gateway.wait_for("refused POST /api/reload from 127.0.0.10: an unknown token "
                              "(1 in a row from there, answered after 250 ms)")
        self.assertNotIn("from 127.0.0.10 reloads", self.gateway.output())
        # Counted (the answers above came after the count).
        status, _, s = self.call("GET", "/api/status")
        self.assertGreaterEqual(s["admin_auth_refused"], 4)

    def test_every_answer_forbids_caching_inline_scripts_and_cookies(self):
        for method, path, token in (("GET", "/", None), ("GET", "/app.js", None),
                                    ("GET", "/api/status", TOKEN), ("GET", "/api/status", None),
                                    ("GET", "/nothing", None)):
            status, headers, _ = self.call(method, path, token=token)
            self.assertIn(status, (200, 401, 404))
            self.assertEqual(headers["Cache-Control"], "no-store", path)
            csp = headers["Content-Security-Policy"]
            self.assertIn("script-src 'self'", csp)
            self.assertNotIn("unsafe-inline", csp)
            self.assertIsNone(headers.get("Set-Cookie"))
        status, headers, page = self.call("GET", "/", token=None)
        self.assertEqual(headers["Content-Type"], "text/html; charset=utf-8")
        self.assertNotRegex(page, r"<script>|<script [^>]*>[^<]")  # every script is a file
        self.assertIn('src="/app.js"', page)

    def test_status_names_links_sessions_guard_and_settings(self):
        status, _, s = self.call("GET", "/api/status")
        self.assertEqual(status, 200)
        self.assertTrue(s["links"]["logic"]["up"])
        self.assertTrue(s["links"]["login"]["up"])
        for link in ("logic", "login"):
            self.assertLessEqual(s["links"][link]["since"], time.time())
        self.assertEqual(s["settings"]["logic_server"], f"127.0.0.1:{self.logic_port}")
        self.assertIn("refused_blocked", s["guard"])
        self.assertEqual((s["drain"]["available"], s["drain"]["state"]), (True, "none"))
        self.assertIn("sessions", s["history"])
        self.assertNotIn("PassWord", json.dumps(s))

    def test_a_kick_closes_that_one_session_and_the_logic_server_hears_of_it_alone(self):
        async def go():
            kept = await Client(self.gate_port, self.dir.name, "127.0.0.2").open()
            kicked = await Client(self.gate_port, self.dir.name, "127.0.0.3").open()
            await kept.log_in()
            await kicked.log_in()
            [target] = self.session_of("127.0.0.3")
            [other] = self.session_of("127.0.0.2")
            self.assertEqual(target["step"], "game")
            handle = target["handle"]
            status, _, body = self.call("POST", f"/api/sessions/{handle}/kick")
            self.assertEqual((status, body["kicked"]), (200, handle))
            self.assertTrue(await kicked.closed_by_gateway())
            self.logic.wait_for(f"session closed {handle} ")
            self.assertNotIn(f"session closed {other['handle']} ", self.logic.output())
            self.assertEqual((await kept.echo())[0], 2)
            # Its own traffic, each way: the token answer, the login and the echo in; at
            # least the greeting, the hand-over and the echo out.
            [seen] = self.session_of("127.0.0.2")
            self.assertGreaterEqual(seen["messages_in"], 3, seen)
            self.assertGreater(seen["bytes_in"], 0, seen)
            self.assertGreaterEqual(seen["messages_out"], 1, seen)
            self.assertGreater(seen["bytes_out"], 0, seen)
            self.gateway.wait_for(f"Admin: ops from 127.0.0.1 kicked session {handle} "
                                  "(127.0.0.3)")
            # The handle is stale now: never someone else's session.
            status, _, body = self.call("POST", f"/api/sessions/{handle}/kick")
            self.assertEqual(status, 404, body)
            await kept.ws.close()
        asyncio.run(go())

    def test_a_blocked_address_is_refused_at_its_next_connect_and_live_ones_are_closed(self):
        async def go():
            live = await Client(self.gate_port, self.dir.name, "127.0.0.4").open()
            status, _, body = self.call("POST", "/api/blocklist",
                                        {"address": "127.0.0.4", "list": "temporary"})
            self.assertEqual((status, body["added"]), (200, "127.0.0.4"), body)
            self.assertTrue(await live.closed_by_gateway())

            status, _, body = self.call("POST", "/api/blocklist", {"address": "127.0.0.5"})
            self.assertEqual((status, body["list"], body["saved"]), (200, "permanent", True))
            self.assertIn("127.0.0.5", self.block_lists()["permanent"])
            with open(os.path.join(self.dir.name, "BlockIPList.txt"), encoding="gbk") as f:
                self.assertIn("127.0.0.5", f.read())
            with self.assertRaises((websockets.ConnectionClosed, websockets.InvalidHandshake,
                                    OSError, asyncio.TimeoutError)):
                await Client(self.gate_port, self.dir.name, "127.0.0.5").open()
            # Another address still gets in; the removed entry lets its address in again.
            other = await Client(self.gate_port, self.dir.name, "127.0.0.6").open()
            await other.ws.close()
            for entry, list_name in (("127.0.0.5", "permanent"), ("127.0.0.4", "temporary")):
                status, _, body = self.call("DELETE", "/api/blocklist",
                                            {"address": entry, "list": list_name})
                self.assertEqual((status, body["removed"]), (200, entry), body)
            again = await Client(self.gate_port, self.dir.name, "127.0.0.5").open()
            await again.ws.close()
            self.gateway.wait_for("Admin: ops from 127.0.0.1 added 127.0.0.5 to the permanent "
                                  "block list")
            self.gateway.wait_for("Admin: ops from 127.0.0.1 removed 127.0.0.5 from the "
                                  "permanent block list")
        asyncio.run(go())

    def test_bad_input_is_answered_4xx_with_a_reason_and_changes_nothing(self):
        before = self.block_lists()
        cases = [
            ("POST", "/api/blocklist", "{\"address\": ", 400, "malformed JSON"),
            ("POST", "/api/blocklist", "[1, 2]", 400, "a JSON object expected"),
            ("POST", "/api/blocklist", "{\"address\": 5}", 400, "\"address\" (a string)"),
            ("POST", "/api/blocklist", "{\"address\": \"1.2.3\"}", 400, "1.2.3"),
            ("POST", "/api/blocklist", "{\"address\": \"*\"}", 400, "every"),
            ("POST", "/api/blocklist", "{\"address\": \"10.0.0.1\", \"list\": \"x\"}", 400,
             "\"list\" must be"),
            ("DELETE", "/api/blocklist", "{\"address\": \"10.9.9.9\"}", 404, "not on the"),
            ("POST", "/api/blocklist", "{\"address\": \"" + "1" * 20000 + "\"}", 400,
             "Post data too large."),
            ("POST", "/api/sessions/abc/kick", "", 400, "not a session handle"),
            ("POST", "/api/sessions/4294967295/kick", "", 404, "no live session"),
            ("GET", "/api/sessions?limit=0", None, 400, "limit must be"),
            ("GET", "/api/sessions?step=dancing", None, 400, "step must be"),
            ("GET", "/api/log?after=x", None, 400, "after must be"),
            ("GET", "/api/reload", None, 405, "takes POST"),
            ("GET", "/api/nothing", None, 404, "no such API"),
        ]
        for method, path, raw, code, reason in cases:
            with self.subTest(method=method, path=path, raw=(raw or "")[:40]):
                status, _, body = self.call(method, path, raw=raw)
                self.assertEqual(status, code, body)
                self.assertIn(reason, body["error"] if isinstance(body, dict) else body)
        self.assertEqual(self.block_lists(), before)

    def test_reload_answers_what_changed_and_what_was_wrong(self):
        d = self.dir.name
        write_settings(d, self.gate_port, self.logic_port, self.login_port,
                       "\t<MaxConnOfIPaddr>7</MaxConnOfIPaddr>\r\n")
        status, _, r = self.call("POST", "/api/reload")
        self.assertEqual((status, r["ok"]), (200, True), r)
        self.assertIn("MaxConnOfIPaddr", [c["name"] for c in r["changes"]])
        with open(os.path.join(d, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write("<TGateWayConfigure>\r\n\t<GatePort>oops</GatePort>\r\n")
        status, _, r = self.call("POST", "/api/reload")
        self.assertEqual((status, r["ok"]), (422, False), r)
        self.assertTrue(r["problems"])
        self.assertTrue(all(p["file"].endswith("GateWay.xml") for p in r["problems"]), r)
        write_settings(d, self.gate_port, self.logic_port, self.login_port)
        status, _, r = self.call("POST", "/api/reload")
        self.assertEqual((status, r["ok"]), (200, True), r)
        self.gateway.wait_for("Admin: ops from 127.0.0.1 reloads the settings")

    def test_log_tail_follows_on_from_a_line_number(self):
        status, _, first = self.call("GET", "/api/log?limit=5")
        self.assertEqual(status, 200)
        self.assertLessEqual(len(first["lines"]), 5)
        self.call("GET", "/api/status")  # any request; a refused one writes a line
        self.call("GET", "/api/status", token=WRONG, source="127.0.0.11")

        def later():
            _, _, page = self.call("GET", f"/api/log?after={first['last']}")
            return [line for line in page["lines"] if "from 127.0.0.11" in line["text"]]
        [line] = wait_until(later, "the refusal in the log tail")
        self.assertEqual(line["level"], "warning")
        self.assertGreater(line["seq"], first["last"])

    def test_gatekit_admin_exit_codes_are_curl_f_codes(self):
        url = f"http://127.0.0.1:{self.admin_port}"
        wrong_file = os.path.join(self.dir.name, "wrong-token.txt")
        with open(wrong_file, "w") as f:
            f.write("ops:" + WRONG + "\n")
        closed_port = free_port()
        cases = [
            (["status"], self.tokens, 0, '"version"'),
            (["sessions", "127.0.0."], self.tokens, 0, '"sessions"'),
            (["block", "127.0.0.12"], self.tokens, 0, '"added":"127.0.0.12"'),
            (["unblock", "127.0.0.12"], self.tokens, 0, '"removed":"127.0.0.12"'),
            (["kick", "4294967295"], self.tokens, 22, "HTTP 404"),
            (["drain"], wrong_file, 22, "HTTP 401"),
            (["status"], wrong_file, 22, "HTTP 401"),
        ]
        for args, token_file, code, text in cases:
            with self.subTest(args=args, token_file=token_file):
                run = subprocess.run(command(GATEKIT, "admin", url, "--token-file", token_file,
                                             *args), capture_output=True, text=True,
                                     timeout=TIMEOUT)
                self.assertEqual(run.returncode, code, run.stdout + run.stderr)
                self.assertIn(text, run.stdout + run.stderr)
        run = subprocess.run(command(GATEKIT, "admin", f"http://127.0.0.1:{closed_port}",
                                     "--token-file", self.tokens, "status"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(run.returncode, 7, run.stderr)


class AdminDrain(unittest.TestCase):
    """POST /api/drain starts the drain a stop request starts: the player stays relayed, and
    the gateway ends once the player has left."""

    def test_a_drain_relays_the_player_until_it_leaves_then_the_gateway_ends(self):
        with tempfile.TemporaryDirectory() as d:
            logic_port, login_port, gate_port, admin_port = (free_port(), free_port(),
                                                             free_port(), free_port())
            logic = Proc([GATESIM, "logic-server", "--port", str(logic_port), "--addr",
                          "127.0.0.1"], d)
            login = Proc([GATESIM, "login-server", "--port", str(login_port), "--addr",
                          "127.0.0.1"], d)
            gateway = None
            try:
                wait_port(logic_port)
                wait_port(login_port)
                write_settings(d, gate_port, logic_port, login_port)
                tokens = write_tokens(d, "ops:" + TOKEN + "\n")
                gateway = Proc([GATEWAY, "--headless", "--drain-seconds", "600", "--admin",
                                f"127.0.0.1:{admin_port}", "--admin-token-file", tokens], d)
                wait_port(gate_port)
                gateway.wait_for("LogicSrv 连接成功")

                async def go():
                    player = await Client(gate_port, d, "127.0.0.2").open()
                    await player.log_in()
                    status, _, body = api_call(admin_port, "POST", "/api/drain")
                    self.assertEqual((status, body["draining"], body["seconds"]), (202, True, 600))
                    gateway.wait_for("Admin: ops from 127.0.0.1 starts a drain")
                    _, _, s = api_call(admin_port, "GET", "/api/status")
                    self.assertEqual(s["drain"]["state"], "draining")
                    status, _, body = api_call(admin_port, "POST", "/api/drain")
                    self.assertEqual((status, body["error"]), (409, "a drain is already under way"))
                    self.assertEqual((await player.echo())[0], 2)  # still relayed
                    await player.ws.close()
                asyncio.run(go())
                self.assertEqual(gateway.proc.wait(TIMEOUT), 0)
            finally:
                for p in (gateway, logic, login):
                    if p is not None:
                        p.stop()


class AdminStartFailures(unittest.TestCase):
    """Options that would expose the gateway stop the start with a line naming the cause."""

    def test_unsafe_or_malformed_token_files_and_plain_text_beyond_loopback(self):
        with tempfile.TemporaryDirectory() as d:
            good = "ops:" + TOKEN + "\n"
            cases = [
                (good, 0o644, "127.0.0.1", "readable by others"),
                (good, 0o640, "127.0.0.1", "readable by its group"),
                ("", 0o600, "127.0.0.1", "no name:token line"),
                ("ops:" + TOKEN + "\nbroken line\n", 0o600, "127.0.0.1", ":2: expected name:token"),
                ("ops:short\n", 0o600, "127.0.0.1", ":1: the token of ops must be"),
                (good, 0o600, "0.0.0.0", "needs --tls-cert and --tls-key"),
            ]
            for text, mode, host, reason in cases:
                with self.subTest(reason=reason):
                    path = write_tokens(d, text, mode)
                    run = subprocess.run(command(GATEWAY, "--headless", "--dir", d, "--admin",
                                                 f"{host}:{free_port()}", "--admin-token-file",
                                                 path), capture_output=True, text=True,
                                         timeout=TIMEOUT)
                    self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
                    self.assertIn(reason, run.stderr)
            run = subprocess.run(command(GATEWAY, "--headless", "--admin", "127.0.0.1:1"),
                                 capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual(run.returncode, 2)
            self.assertIn("--admin and --admin-token-file go together", run.stderr)


class AdminOverTls(unittest.TestCase):
    """With the client port's certificate the admin listener speaks https, on any address."""

    def test_https_beyond_loopback_with_the_certificate_checked(self):
        with tempfile.TemporaryDirectory() as d:
            cert, key = make_certificate(d, "gate", 1)
            write_settings(d, free_port(), free_port(), free_port())
            tokens = write_tokens(d, "ops:" + TOKEN + "\n")
            port = free_port()
            gateway = Proc([GATEWAY, "--headless", "--tls-cert", cert, "--tls-key", key,
                            "--admin", f"0.0.0.0:{port}", "--admin-token-file", tokens], d)
            try:
                gateway.wait_for(f"Admin: API and web console on https://0.0.0.0:{port}/")
                url = f"https://127.0.0.1:{port}"
                for extra, code in ((["--cacert", cert], 0), ([], 35),
                                    (["--insecure"], 0)):
                    with self.subTest(extra=extra):
                        run = subprocess.run(command(GATEKIT, "admin", url, "--token-file",
                                                     tokens, *extra, "status"),
                                             capture_output=True, text=True, timeout=TIMEOUT)
                        self.assertEqual(run.returncode, code, run.stdout + run.stderr)
                run = subprocess.run(command(GATEKIT, "admin", f"http://127.0.0.1:{port}",
                                             "--token-file", tokens, "status"),
                                     capture_output=True, text=True, timeout=TIMEOUT)
                self.assertNotEqual(run.returncode, 0)  # plain text is not served there
            finally:
                gateway.stop()


if __name__ == "__main__":
    GATESIM, GATEWAY, GATEKIT = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
