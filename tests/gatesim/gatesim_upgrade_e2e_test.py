#!/usr/bin/python3
"""Two gateway processes on one pair of simulated servers, as during a binary upgrade.

TwoGateways: two gateways, each with its own work folder and port, linked to the same
simulated logic and login servers at once; their session handles come out equal. Bots play on
both: none gets another's message, and the servers count no handle on a wrong link.

UpgradeProof: the short run of the upgrade proof (bench/upgrade/run.sh with SHORT=1): a
take-over by a second gateway and a plain drain under players that come and go, every count
that must be zero zero. Skipped when the gateway has no --take-over.

Usage: gatesim_upgrade_e2e_test.py GATESIM GATEWAY GATEKIT [unittest args]
"""
import os
import re
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wait import wait_until  # noqa: E402
from gw_wire import CollectedOutput, command, free_port, windows_program  # noqa: E402

GATESIM = GATEWAY = GATEKIT = None
TIMEOUT = 60  # generous: the machine may be loaded and the programs may run under ASan
ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


class Proc(CollectedOutput):
    def wait_for(self, pattern):
        """Waits for a regular expression; returns its match."""
        return wait_until(lambda: re.search(pattern, self.output()),
                          lambda: f"{pattern!r} in:\n{self.output()}", TIMEOUT)


def write_settings(folder, gate_port, logic_port, login_port):
    with open(os.path.join(folder, "GateWay.xml"), "w", encoding="utf-8") as f:
        f.write("<TGateWayConfigure>\r\n"
                f"\t<GatePort>{gate_port}</GatePort>\r\n"
                f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>{logic_port}</ServerPort>\r\n"
                f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>{login_port}</LoginSrvPort>\r\n"
                "\t<WokerCount>2</WokerCount>\r\n"
                "\t<MaxConnOfIPaddr>0</MaxConnOfIPaddr>\r\n"
                "</TGateWayConfigure>\r\n")


class TwoGateways(unittest.TestCase):
    def test_equal_handles_on_two_links_never_meet(self):
        logic_port, login_port = free_port(), free_port()
        folders = [tempfile.TemporaryDirectory() for _ in range(2)]
        procs = []
        try:
            logic = Proc([GATESIM, "logic-server", "--port", str(logic_port),
                          "--addr", "127.0.0.1"], folders[0].name)
            login = Proc([GATESIM, "login-server", "--port", str(login_port),
                          "--addr", "127.0.0.1"], folders[0].name)
            procs += [logic, login]
            logic.wait_for("listening on")
            login.wait_for("listening on")
            ports = []
            for n, folder in enumerate(folders, start=1):
                ports.append(free_port())
                write_settings(folder.name, ports[-1], logic_port, login_port)
                gw = Proc([GATEWAY, "--headless"], folder.name)
                procs.append(gw)
                # One at a time, so that the servers number the links in this order.
                logic.wait_for(f"gateway link {n} connected")
                login.wait_for(f"gateway link {n} connected")
                gw.wait_for("LogicSrv 连接成功")

            bots = [subprocess.Popen(command(GATESIM, "clients",
                                             "--url", f"ws://127.0.0.1:{port}",
                                             "-n", "12", "--rate", "20", "--duration", "2",
                                             "--no-progress", "--login-timeout", "60",
                                             "--keys-folder", folder.name),
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                    for port, folder in zip(ports, folders)]
            for run in bots:
                out, _ = run.communicate(timeout=TIMEOUT * 3)
                self.assertEqual(run.returncode, 0, out)
                self.assertIn("12 handed over to the game", out)
                self.assertIn("misdelivered: 0 ", out)

            # The two gateways used the same handles, each on its own link.
            opened = re.findall(r"session opened (\d+) .*? on link (\d+)", logic.output())
            by_link = {link: {h for h, l in opened if l == link} for link in ("1", "2")}
            self.assertTrue(by_link["1"] & by_link["2"], opened)
            for p in procs[2:]:
                p.stop()
            for server in (logic, login):
                server.stop()
                stats = server.wait_for(r"stats: .*misrouted (\d+).*unknown (\d+)")
                self.assertEqual(stats.group(1), "0", server.output()[-2000:])
        finally:
            for p in reversed(procs):
                p.stop()
            for folder in folders:
                folder.cleanup()


class UpgradeProof(unittest.TestCase):
    def test_short_run_loses_nothing(self):
        if windows_program(GATEWAY):
            self.skipTest("the proof is a Linux script")
        env = dict(os.environ, SHORT="1", GATEWAY=GATEWAY, GATESIM=GATESIM)
        run = subprocess.run(["bash", os.path.join(ROOT, "bench", "upgrade", "run.sh"),
                              os.path.dirname(os.path.dirname(os.path.dirname(GATEWAY)))],
                             env=env, capture_output=True, text=True, timeout=TIMEOUT * 8)
        output = run.stdout + run.stderr
        if run.returncode == 77:
            self.skipTest("the gateway has no --take-over (its --help does not list it); "
                          "the rest of the proof passed")
        self.assertEqual(run.returncode, 0, output)
        self.assertIn("upgrade: passed", output)
        self.assertIn("misdelivered: 0 ", output)


if __name__ == "__main__":
    GATESIM, GATEWAY, GATEKIT = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
