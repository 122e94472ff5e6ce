"""The simulated logic and login servers (gatesim) for the packaging tests, and the few steps
those tests share: a settings file naming them, waiting for a port or an output line."""
import os
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wire import CollectedOutput, free_port  # noqa: E402,F401

TIMEOUT = 60  # generous: a loaded machine, sanitizer builds


def wait_until(condition, what, timeout=TIMEOUT):
    """Polls `condition` until it holds; fails with `what` (a text or a function giving one)."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    raise AssertionError(what() if callable(what) else what)


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class Program(CollectedOutput):
    """A started program with its output lines collected."""

    def text(self):
        return "\n".join(self.output_lines())

    def wait_line(self, text):
        def seen():
            if text in self.text():
                return True
            if self.proc.poll() is not None:
                self.reader.join(TIMEOUT)
                if text in self.text():
                    return True
                raise AssertionError(f"{self.proc.args[0]} ended (exit code "
                                     f"{self.proc.returncode}) with no {text!r}:\n{self.text()}")
            return False
        wait_until(seen, lambda: f"no {text!r} in:\n{self.text()}")

    def stop(self):
        if self.proc.poll() is None:
            self.request_stop()
            try:
                self.proc.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
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
        wait_until(lambda: listening(self.logic_port), "the logic server does not listen")
        wait_until(lambda: listening(self.login_port), "the login server does not listen")

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
