"""End to end: the real gateway program choosing its front-end and serving signals.

- A DISPLAY that names no X server makes it run headless with one log line instead of aborting.
- Under a real X server (Xvfb) the console opens; SIGHUP reloads the configuration there too,
  and --log-utf8 writes the UTF-8 copy of the log file, whose first line names the log file.

Usage: console_program_test.py GATEWAY
"""
import os
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from gw_wait import wait_until  # noqa: E402
from gw_wire import CollectedOutput, free_port  # noqa: E402

GATEWAY = None
TIMEOUT = 60.0

CONFIG = (
    "<TGateWayConfigure>\r\n"
    "\t<GatePort>0</GatePort>\r\n"
    "\t<ServerPort>{logic}</ServerPort>\r\n"
    "\t<LoginSrvPort>{login}</LoginSrvPort>\r\n"
    "</TGateWayConfigure>\r\n"
)


def unused_display():
    for n in range(99, 200):
        if not os.path.exists("/tmp/.X11-unix/X%d" % n) and not os.path.exists("/tmp/.X%d-lock" % n):
            return ":%d" % n
    raise RuntimeError("no free display number")


def write_config(folder):
    with open(os.path.join(folder, "GateWay.xml"), "w", newline="") as f:
        f.write(CONFIG.format(logic=free_port(), login=free_port()))


def environment(display):
    env = dict(os.environ)
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("QT_QPA_PLATFORM", None)
    env["DISPLAY"] = display
    # Under a sanitizer build: the D-Bus library Qt uses on a real display leaks a buffer.
    supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan_display.supp")
    env["LSAN_OPTIONS"] = ":".join(filter(None, [env.get("LSAN_OPTIONS"), "suppressions=" + supp]))
    return env


class TGatewayProgram(CollectedOutput):
    def __init__(self, args, cwd, env):
        self.env = env
        super().__init__(args, cwd)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        code = self.proc.wait(timeout=TIMEOUT)
        self.reader.join(timeout=TIMEOUT)
        self.proc.stdout.close()
        if code != 0:
            print("\n".join(self.output_lines()), file=sys.stderr)
        return code


def start(args, cwd, env):
    # CollectedOutput starts with the inherited environment; swap it in for the child.
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(env)
    try:
        return TGatewayProgram(args, cwd, env)
    finally:
        os.environ.clear()
        os.environ.update(saved)


class ProgramFrontEndTest(unittest.TestCase):
    def test_display_without_x_server_runs_headless(self):
        display = unused_display()
        with tempfile.TemporaryDirectory() as folder:
            write_config(folder)
            program = start([GATEWAY], folder, environment(display))
            try:
                program.wait_line("服务已启动成功...")
                fallback = [l for l in program.output_lines() if "以无界面方式运行" in l]
                self.assertEqual(len(fallback), 1, fallback)
                self.assertIn("DISPLAY=" + display, fallback[0])
                self.assertTrue(any("日志文件: " in l for l in program.output_lines()))
            finally:
                self.assertEqual(program.stop(), 0)

    def test_sighup_reloads_in_console_mode(self):
        reader, writer = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(writer), "-screen", "0", "800x600x24",
                                 "-nolisten", "tcp"], pass_fds=(writer,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(writer)
        try:
            number = b""
            with os.fdopen(reader, "rb", buffering=0) as numbers:
                while not number.endswith(b"\n"):
                    chunk = numbers.read(16)
                    if not chunk:
                        break
                    number += chunk
            self.assertTrue(number.strip(), "Xvfb gave no display number")
            display = ":" + number.decode().strip()
            log_folder = os.path.join(os.path.dirname(os.path.abspath(GATEWAY)), "Log")
            before = set(os.listdir(log_folder)) if os.path.isdir(log_folder) else set()
            with tempfile.TemporaryDirectory() as folder:
                write_config(folder)
                program = start([GATEWAY, "--log-utf8"], folder, environment(display))
                try:
                    copies = []

                    def copy_text():
                        names = [n for n in os.listdir(log_folder)
                                 if n.endswith(".utf8.log") and n not in before]
                        copies[:] = names
                        if len(names) != 1:
                            return ""
                        with open(os.path.join(log_folder, names[0]), encoding="utf-8") as f:
                            return f.read()

                    wait_until(lambda: "服务已启动成功..." in copy_text(),
                               lambda: "the start in the log file copy %s; the output:\n%s" % (
                                   copies, "\n".join(program.output_lines())), TIMEOUT)
                    text = copy_text()
                    lines = text.splitlines()
                    # The console opened: no fallback, and the log file named first.
                    self.assertNotIn("以无界面方式运行", text)
                    self.assertIn("日志文件: ", lines[0])
                    self.assertIn(copies[0].replace(".utf8.log", ".log"), lines[0])
                    self.assertNotIn("\r", text)
                    self.assertEqual(text.count("正在加载配置信息..."), 1)
                    program.proc.send_signal(signal.SIGHUP)
                    wait_until(lambda: copy_text().count("正在加载配置信息...") == 2,
                               lambda: "the reload in the log file copy:\n" + copy_text(), TIMEOUT)
                    self.assertIsNone(program.proc.poll())
                    # The UTF-16LE log file holds the same lines.
                    with open(os.path.join(log_folder, copies[0].replace(".utf8.log", ".log")),
                              "rb") as f:
                        raw = f.read()
                    self.assertTrue(raw.startswith(b"\xff\xfe"))
                    self.assertEqual(raw[2:].decode("utf-16-le").count("正在加载配置信息..."), 2)
                finally:
                    self.assertEqual(program.stop(), 0)
        finally:
            xvfb.terminate()
            xvfb.wait(timeout=TIMEOUT)


if __name__ == "__main__":
    GATEWAY = os.path.abspath(sys.argv.pop(1))
    unittest.main()
