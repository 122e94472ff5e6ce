#!/usr/bin/python3
"""End to end: how the real `gateway --headless` binary starts, or refuses to.

A start that cannot serve (a port taken, a settings or key file that cannot be used, a TLS
pair that cannot be loaded, a missing work folder) ends the program with exit code 1 and
one line on standard error naming the cause, and a service manager listening on
NOTIFY_SOCKET hears that cause as the status, never "READY=1". A wrong command line ends it
with exit code 2. --help and --version answer with 0 for every program. A gateway that
does start names its build, the settings in force and the handshake keys' source, warns
about risky options and the development keys, and shows all of it in /metrics; /healthz
says which link is down.

Usage: gateway_start_test.py GATEWAY GATEKIT [GATESIM WS_ECHO] [unittest args]
"""
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_edge_test as edge  # noqa: E402
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402
from gw_wait import await_until  # noqa: E402
from gw_wire import free_port, make_certificate  # noqa: E402

TIMEOUT = relay.TIMEOUT
TOOLS = {}  # "gatesim", "ws-echo": their binaries when the command line names them
STARTED = "SocketServer 启动: "


class NotifySocket:
    """A datagram socket standing in for systemd's notify socket; the messages sent to it."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.name = f"gw-start-test-{os.getpid()}-{id(self)}"
        self.sock.bind("\0" + self.name)
        self.sock.setblocking(False)

    def env(self):
        return {**os.environ, "NOTIFY_SOCKET": "@" + self.name}

    def received(self):
        """Every message queued so far (the sender has ended, so nothing is on its way)."""
        got = []
        while True:
            try:
                got.append(self.sock.recv(4096).decode())
            except BlockingIOError:
                return got

    def close(self):
        self.sock.close()


def run(args, cwd, env=None):
    """Runs the gateway to its end; (exit code, stdout, stderr)."""
    done = subprocess.run([relay.GATEWAY, *args], cwd=cwd, env=env, capture_output=True,
                          timeout=TIMEOUT * 2)
    return (done.returncode, done.stdout.decode("utf-8", "replace"),
            done.stderr.decode("utf-8", "replace"))


def write(folder, name, text):
    with open(os.path.join(folder, name), "w", encoding="utf-8") as f:
        f.write(text)


class StartFailureTest(unittest.TestCase):
    def setUp(self):
        self.fresh()

    def tearDown(self):
        self.clean()

    def fresh(self):
        """An empty work folder and no port held."""
        self.dir = tempfile.TemporaryDirectory()
        self.folder = self.dir.name
        self.busy = []

    def clean(self):
        for s in self.busy:
            s.close()
        self.dir.cleanup()

    def taken_port(self, host="0.0.0.0"):
        s = socket.socket()
        s.bind((host, 0))
        s.listen()
        self.busy.append(s)
        return s.getsockname()[1]

    def settings(self, gate_port=None, **values):
        write(self.folder, "GateWay.xml",
              guard.settings_xml(gate_port or free_port(), free_port(), free_port(), **values))

    def test_each_start_failure_exits_1_with_its_cause_and_no_ready(self):
        def port_taken():
            port = self.taken_port()
            self.settings(port)
            return [], [f"the client port cannot be bound: *:{port}: ", "Address already in use"]

        def metrics_taken():
            port = self.taken_port("127.0.0.1")
            self.settings()
            return (["--metrics", f"127.0.0.1:{port}"],
                    [f"the metrics address cannot be bound: 127.0.0.1:{port}: ",
                     "Address already in use"])

        def gate_port_not_a_number():
            self.settings("72x0")
            return [], ["GatePort", "72x0"]

        def settings_unreadable():
            os.mkdir(os.path.join(self.folder, "GateWay.xml"))
            return [], ["GateWay.xml"]

        def bad_key_file():
            self.settings()
            write(self.folder, "GateKeys.txt", "only one line, and not base64\n")
            return [], ["GateKeys.txt"]

        def tls_pair_missing():
            self.settings()
            missing = os.path.join(self.folder, "none.pem")
            return ["--tls-cert", missing, "--tls-key", missing], ["none.pem"]

        def work_folder_missing():
            missing = os.path.join(self.folder, "no-such-folder")
            return ["--dir", missing], ["--dir " + missing]

        cases = [port_taken, metrics_taken, gate_port_not_a_number, settings_unreadable,
                 bad_key_file, tls_pair_missing, work_folder_missing]
        for case in cases:
            with self.subTest(case.__name__):
                self.clean()
                self.fresh()
                notify = NotifySocket()
                try:
                    args, causes = case()
                    code, out, err = run(["--headless", *args], self.folder, notify.env())
                    said = notify.received()
                finally:
                    notify.close()
                self.assertEqual(code, 1, out + err)
                lines = err.splitlines()
                self.assertEqual(len(lines), 1, err)
                self.assertTrue(lines[0].startswith("gateway: "), err)
                for cause in causes:
                    self.assertIn(cause, lines[0])
                self.assertFalse(any("READY=1" in m for m in said), said)
                self.assertTrue(any(m.startswith("STATUS=the service did not start: ") and
                                    causes[0] in m for m in said), said)
                self.assertNotIn(STARTED, out)

    def test_usage_errors_exit_2_with_a_hint(self):
        self.settings()
        cases = [("unknown option", ["--metric", "127.0.0.1:9100"], "unknown option '--metric'"),
                 ("stray word", ["first", "second"], "unexpected argument 'second'"),
                 ("launch block that does not decode", ["help"], "'help' is neither an option"),
                 ("bad option value", ["--log-level", "loud"], "--log-level needs")]
        for name, args, text in cases:
            with self.subTest(name):
                code, out, err = run(["--headless", *args], self.folder)
                self.assertEqual(code, 2, out + err)
                self.assertIn(text, err)
                self.assertIn("(see gateway --help)", err)
                self.assertNotIn(STARTED, out)

    def test_help_and_version_exit_0_for_every_program(self):
        cases = [("gateway --help", [relay.GATEWAY, "--help"], "--dir PATH"),
                 ("gateway --version", [relay.GATEWAY, "--version"], "OpenSSL"),
                 ("gatekit --help", [relay.GATEKIT, "--help"], "usage: gatekit"),
                 ("gatesim --help", [TOOLS.get("gatesim"), "--help"], "usage:"),
                 ("gatesim clients --help", [TOOLS.get("gatesim"), "clients", "--help"],
                  "usage:"),
                 ("gatesim attack --help", [TOOLS.get("gatesim"), "attack", "--help"],
                  "usage: gatesim attack"),
                 ("ws-echo --help", [TOOLS.get("ws-echo"), "--help"], "usage: ws-echo")]
        for name, args, text in cases:
            with self.subTest(name):
                if args[0] is None:
                    self.skipTest(name.split()[0] + " not given on the command line")
                done = subprocess.run(args, cwd=self.folder, capture_output=True,
                                      timeout=TIMEOUT)
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertIn(text, done.stdout.decode())
                self.assertEqual(done.stderr, b"")
        # Nothing was started: no settings file was written.
        self.assertFalse(os.path.exists(os.path.join(self.folder, "GateWay.xml")))
        version = subprocess.run([relay.GATEWAY, "--version"], capture_output=True,
                                 check=True).stdout.decode()
        self.assertRegex(version, r"^gateway \S+\ncommit ([0-9a-f]{12}(-dirty)?|unknown)\n"
                                  r"built \d{4}-\d\d-\d\d\nOpenSSL ")


class KeyedGateway(edge.EdgeGateway):
    """The gateway with a metrics listener and, when `keys` is set, its own GateKeys.txt
    (written with the settings, before the program starts)."""

    keys = ()

    def write_settings(self, **settings):
        super().write_settings(**settings)
        if self.keys:
            with open(self.path("GateKeys.txt"), "w", encoding="utf-8") as f:
                f.write("# this deployment's keys\n" + "\n".join(self.keys) + "\n")


class StartedGatewayTest(guard.ClientsFixture):
    async def start_gateway(self, args=(), keys=(), **settings):
        class Gateway(KeyedGateway):
            pass
        Gateway.keys = keys
        await relay.start_serving(
            self, lambda: Gateway(self.logic.port, self.login.port, args, **settings))
        return self.gateway

    def metric(self, text, name, labels=""):
        return edge.metric(text, name, labels)

    async def metrics_text(self):
        status, text = await self.gateway.get("/metrics")
        self.assertEqual(status, 200)
        return text

    async def test_build_settings_and_development_keys_at_start_and_in_the_metrics(self):
        g = await self.start_gateway(ClientTimeOut=7000)
        version = subprocess.run([relay.GATEWAY, "--version"], capture_output=True,
                                 check=True).stdout.decode().splitlines()
        release, commit = version[0].split()[1], version[1].split()[1]
        await g.wait_line(f"GateWay {release} (commit {commit}, built ")
        await g.wait_line(f"Settings in force: client port *:{g.port}, logic server "
                          f"127.0.0.1:{self.logic.port}, login server 127.0.0.1:"
                          f"{self.login.port}, workers 2, send interval ")
        await g.wait_line("Guard in force: MaxConnOfIPaddr 10, ConnectionATK 0 per 0 s, "
                          "ClientTimeOut 7000 ms, MaxClientPacketSize ")
        await g.wait_line(f"Edge in force: TLS off (ws); PROXY protocol from off; metrics "
                          f"127.0.0.1:{g.metrics_port}; handshake keys built-in development keys")
        warning = "[W] The handshake uses the built-in development keys"
        await g.wait_line(warning)
        text = await self.metrics_text()
        self.assertEqual(self.metric(text, "gateway_build_info",
                                     f'version="{release}",commit="{commit}"'), 1)
        self.assertEqual(self.metric(text, "gateway_development_keys"), 1)
        self.assertEqual(self.metric(text, "gateway_config_last_reload_successful"), 1)
        started = self.metric(text, "process_start_time_seconds")
        self.assertLess(abs(started - time.time()), 3600)
        self.assertLessEqual(started, self.metric(text, "gateway_config_last_reload_timestamp_seconds"))
        self.assertGreater(self.metric(text, "process_open_fds"), 0)
        self.assertGreaterEqual(self.metric(text, "process_max_fds"),
                                self.metric(text, "process_open_fds"))
        self.assertEqual(self.metric(text, "gateway_login_link_reconnects_total"), 0)
        # The handshake buckets reach the client time-out.
        self.assertEqual(self.metric(text, "gateway_handshake_seconds_bucket", 'le="5"'), 0)
        self.assertEqual(self.metric(text, "gateway_handshake_seconds_bucket", 'le="7"'), 0)
        self.assertIsNone(self.metric(text, "gateway_tls_certificate_expiry_timestamp_seconds"))
        # A reload that fails is recorded, and the warning comes again at every reload.
        before = self.metric(text, "gateway_config_last_reload_timestamp_seconds")
        os.remove(g.path("GateWay.xml"))
        os.mkdir(g.path("GateWay.xml"))
        g.proc.send_signal(signal.SIGHUP)

        async def reload_failed():
            t = await self.metrics_text()
            return (self.metric(t, "gateway_config_last_reload_successful") == 0 and
                    self.metric(t, "gateway_config_last_reload_timestamp_seconds") >= before)
        await await_until(reload_failed, "the failed reload in the metrics")
        await g.wait_line(warning, count=2)  # the development keys' warning again

    async def test_own_keys_tls_and_risky_options(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        cert, key = make_certificate(folder.name, "gw-start", 1)
        expires = subprocess.run(["openssl", "x509", "-noout", "-enddate", "-in", cert],
                                 capture_output=True, check=True).stdout.decode()
        expiry = time.mktime(time.strptime(expires.strip().split("=", 1)[1],
                                           "%b %d %H:%M:%S %Y GMT")) - time.timezone
        keys = [subprocess.run([relay.GATEKIT, "encipher", text], capture_output=True,
                               check=True).stdout.decode().strip()
                for text in ("{1B2C3D4E-0000-4000-8000-000000000001}", "own answer key")]
        g = await self.start_gateway(["--tls-cert", cert, "--tls-key", key, "--proxy-protocol",
                                      "--proxy-from", "127.0.0.1,0.0.0.0/0"], keys)
        await g.wait_line("handshake keys " + os.path.join(".", "GateKeys.txt"))
        await g.wait_line("[W] --proxy-from trusts every address (0.0.0.0/0)")
        text = await self.metrics_text()
        self.assertEqual(self.metric(text, "gateway_development_keys"), 0)
        self.assertFalse(any("development keys" in line for line in g.output()))
        self.assertEqual(self.metric(text, "gateway_tls_certificate_expiry_timestamp_seconds"),
                         expiry)
        # Every interface, or a non-loopback address, is an exposed endpoint.
        for host in ("0.0.0.0", "[::]", "*"):
            with self.subTest(host):
                port = free_port()
                notify = NotifySocket()
                proc = subprocess.Popen([relay.GATEWAY, "--headless", "--dir", g.dir.name,
                                         "--metrics", f"{host}:{port}"],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        env=notify.env())
                try:
                    warned = f"[W] --metrics {host.strip('[]')}:{port} is reachable beyond this host"
                    seen = []
                    for raw in proc.stdout:
                        seen.append(raw.decode("utf-8", "replace"))
                        if warned in seen[-1]:
                            break
                    self.assertTrue(any(warned in line for line in seen), "".join(seen))
                finally:
                    proc.terminate()
                    proc.wait(TIMEOUT)
                    proc.stdout.close()
                    notify.close()

    async def test_healthz_names_the_link_that_is_down(self):
        g = await self.start_gateway()
        self.assertEqual(await g.get("/healthz"), (200, "ok\n"))
        cases = [("login", self.login), ("logic", self.logic)]
        for name, server in cases:
            with self.subTest(name):
                await server.close()  # stops listening and drops its link

                async def says_down():
                    status, body = await g.get("/healthz")
                    return status == 503 and f"{name} link down\n" in body
                await await_until(says_down, f"/healthz naming the {name} link")


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    rest = sys.argv[3:]
    for tool in ("gatesim", "ws-echo"):
        if rest and not rest[0].startswith("-"):
            TOOLS[tool] = rest.pop(0)
    unittest.main(argv=[sys.argv[0], *rest])
