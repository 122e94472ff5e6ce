"""The simulated logic and login servers (gatesim) for the packaging tests, and the few steps
those tests share: a settings file naming them, waiting for a port or an output line."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wait import TIMEOUT, wait_until  # noqa: E402,F401
from gw_wire import CollectedOutput, free_port, listening  # noqa: E402,F401


class Program(CollectedOutput):
    """A started program with its output lines collected."""

    def text(self):
        return "\n".join(self.output_lines())

    def stop(self):
        super().stop(TIMEOUT)
        self.reader.join(TIMEOUT)
        self.proc.stdout.close()


class Servers:
    """gatesim's logic and login servers on free loopback ports."""

    def __init__(self, gatesim, cwd):
        self.logic_port, self.login_port = free_port(), free_port()
        self.logic = Program([gatesim, "logic-server", "--port", str(self.logic_port),
                              "--addr", "127.0.0.1"], cwd)
        self.login = Program([gatesim, "login-server", "--port", str(self.login_port),
                              "--addr", "127.0.0.1"], cwd)
        wait_until(lambda: listening(self.logic_port), "the logic server to listen")
        wait_until(lambda: listening(self.login_port), "the login server to listen")

    def settings(self, gate_port):
        """A GateWay.xml for a gateway on `gate_port` between these servers (every client
        comes from 127.0.0.1: no per-address limit)."""
        return ("<TGateWayConfigure>\r\n"
                f"\t<GatePort>{gate_port}</GatePort>\r\n"
                f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>{self.logic_port}</ServerPort>\r\n"
                f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>{self.login_port}</LoginSrvPort>\r\n"
                "\t<WokerCount>2</WokerCount>\r\n"
                "\t<MaxConnOfIPaddr>0</MaxConnOfIPaddr>\r\n"
                "</TGateWayConfigure>\r\n")

    def stop(self):
        for p in (self.logic, self.login):
            p.stop()
