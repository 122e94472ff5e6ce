#!/usr/bin/python3
"""The Debian packages on this machine: builds them with scripts/package-deb.sh (lintian must
find no error), installs them with dpkg, checks the installed layout and the headless program's
libraries, runs `gateway --version` and `gateway --check`, starts the installed gateway as the
`gateway` user (setpriv: systemd is not running here) with the unit's own command line between the simulated servers, relays one bot,
and purges the packages: nothing of theirs may be left but the system user.

Root only (dpkg): exits 77 (skipped) otherwise.
Usage: deb_install_test.py SOURCE_DIR BUILD_DIR GATESIM [unittest args]
"""
import os
import pwd
import grp
import shlex
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_servers import Program, Servers, TIMEOUT, free_port, listening, wait_until  # noqa: E402

SOURCE = BUILD = GATESIM = None
PACKAGES = ["pelvane-gateway", "pelvane-gateway-console"]
UNIT = "/lib/systemd/system/gateway.service"
SETTINGS, WORK, LOGS = "/etc/pelvane-gateway", "/var/lib/pelvane-gateway", "/var/log/pelvane-gateway"


def run(*args, check=True, **kw):
    result = subprocess.run(list(args), capture_output=True, text=True, **kw)
    if check and result.returncode != 0:
        raise AssertionError(f"{shlex.join(args)}: exit code {result.returncode}\n"
                             f"{result.stdout}{result.stderr}")
    return result


def installed(package):
    r = run("dpkg-query", "-W", "-f=${Status}", package, check=False)
    return r.returncode == 0 and "installed" in r.stdout.split()


def unit_setting(name):
    """The value of the unit's setting `name` (its first line)."""
    with open(UNIT, encoding="utf-8") as f:
        for line in f:
            if line.startswith(name + "="):
                return line[len(name) + 1:].strip()
    raise AssertionError(f"no {name}= in {UNIT}")


class DebInstallTest(unittest.TestCase):
    def setUp(self):
        for p in PACKAGES:
            if installed(p):
                self.fail(f"{p} is already installed on this machine: this test installs and "
                          "purges it, so it runs only where it is not (dpkg --purge it first)")
        self.out = tempfile.TemporaryDirectory()
        build = run("bash", os.path.join(SOURCE, "scripts", "package-deb.sh"), self.out.name,
                    env={**os.environ, "GW_DEB_BUILD_DIR": BUILD}, timeout=3000)
        print(build.stdout[-3000:], file=sys.stderr)
        self.debs = sorted(os.path.join(self.out.name, n) for n in os.listdir(self.out.name))
        self.assertEqual(len(self.debs), 2, self.debs)

    def tearDown(self):
        # Whatever happened, the machine is left without the packages.
        for p in reversed(PACKAGES):
            if installed(p) or run("dpkg-query", "-W", p, check=False).returncode == 0:
                run("dpkg", "--purge", p, check=False)
        self.out.cleanup()

    def contents(self, deb):
        return {line.split()[-1].lstrip(".") for line in run("dpkg-deb", "-c", deb).stdout.splitlines()}

    def test_install_run_relay_purge(self):
        headless = next(d for d in self.debs if "/pelvane-gateway_" in d)
        console = next(d for d in self.debs if "/pelvane-gateway-console_" in d)
        files = self.contents(headless)
        for path in ["/usr/bin/gateway", "/usr/bin/gatekit", "/usr/bin/gatesim", UNIT,
                     "/usr/share/man/man8/gateway.8.gz", "/usr/share/man/man1/gatekit.1.gz",
                     "/usr/share/man/man1/gatesim.1.gz", "/usr/share/doc/pelvane-gateway/README.md",
                     "/usr/share/doc/pelvane-gateway/prometheus/gateway-alerts.yml",
                     "/usr/share/doc/pelvane-gateway/prometheus/gateway-dashboard.json",
                     f"{SETTINGS}/GateWay.xml", f"{SETTINGS}/WordFilter.txt",
                     "/usr/lib/tmpfiles.d/pelvane-gateway.conf"]:
            self.assertIn(path, files)
        self.assertIn("/usr/bin/gateway-console", self.contents(console))
        control = run("dpkg-deb", "-I", headless, "conffiles").stdout.split()
        self.assertEqual(sorted(control), [f"{SETTINGS}/GateWay.xml", f"{SETTINGS}/WordFilter.txt"])

        run("dpkg", "-i", headless, console)
        owned = set()
        for p in PACKAGES:
            owned |= set(run("dpkg", "-L", p).stdout.split())

        # The headless program links no Qt or X11 library; the console build does link Qt.
        libraries = run("ldd", "/usr/bin/gateway").stdout
        for lib in ["libQt", "libX11", "libxcb", "libEGL", "libGL"]:
            self.assertNotIn(lib, libraries)
        self.assertIn("libQt6Widgets", run("ldd", "/usr/bin/gateway-console").stdout)

        # The layout: the user, the settings folder root's and read-only to the service, the
        # work folder and the log folder the service's own, the work folder's links.
        user = pwd.getpwnam("gateway")
        self.assertEqual(user.pw_dir, WORK)
        self.assertIn(user.pw_shell, ("/usr/sbin/nologin", "/sbin/nologin", "/bin/false"))
        gid = grp.getgrnam("gateway").gr_gid
        for path, uid, mode in [(SETTINGS, 0, 0o750), (WORK, user.pw_uid, 0o750),
                                (LOGS, user.pw_uid, 0o750)]:
            st = os.stat(path)
            with self.subTest(path=path):
                self.assertEqual((st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)), (uid, gid, mode))
        for name in ["GateWay.xml", "WordFilter.txt", "GateKeys.txt"]:
            self.assertEqual(os.readlink(os.path.join(WORK, name)), os.path.join(SETTINGS, name))
        as_service = ["setpriv", "--reuid=gateway", "--regid=gateway", "--init-groups",
                      "--no-new-privs", "--"]
        self.assertNotEqual(run(*as_service, "test", "-w", SETTINGS, check=False).returncode, 0,
                            "the service user can write the settings folder")

        version = run("/usr/bin/gateway", "--version", timeout=TIMEOUT)
        self.assertTrue(version.stdout.strip(), "gateway --version printed nothing")
        check = run(*as_service, "/usr/bin/gateway", "--check", "--dir", WORK, check=False,
                    timeout=TIMEOUT, cwd="/")
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

        with tempfile.TemporaryDirectory() as sims:
            servers = Servers(GATESIM, sims)
            gateway = None
            try:
                gate_port = free_port()
                # As an operator would: the settings in /etc, read through the work folder.
                with open(f"{SETTINGS}/GateWay.xml", "w", encoding="utf-8") as f:
                    f.write(servers.settings(gate_port))
                # The unit's command line in the unit's working folder, as systemd runs it.
                command = shlex.split(unit_setting("ExecStart"))
                self.assertEqual(command[0], "/usr/bin/gateway")
                gateway = Program([*as_service, *command], unit_setting("WorkingDirectory"))
                wait_until(lambda: listening(gate_port),
                           lambda: "the installed gateway to listen; its output:\n" + gateway.text())
                gateway.wait_line("LogicSrv 连接成功")
                servers.login.wait_line("gateway link 1 connected")
                bots = run(GATESIM, "clients", "--url", f"ws://127.0.0.1:{gate_port}", "-n", "1",
                           "--rate", "5", "--duration", "1", "--no-progress",
                           "--login-timeout", str(TIMEOUT), "--keys-folder", sims,
                           check=False, timeout=TIMEOUT * 3)
                self.assertEqual(bots.returncode, 0, bots.stdout + bots.stderr)
                self.assertIn("connections: 1 opened, 1 passed the token check, 1 handed over",
                              bots.stdout)
                self.assertIn("errors: 0\n", bots.stdout)
                # Its log files are in the log folder; nothing was written beside the program.
                wait_until(lambda: os.listdir(LOGS), "a log file in " + LOGS)
                self.assertFalse(os.path.exists("/usr/bin/Log"))
                gateway.stop()
                self.assertEqual(gateway.proc.returncode, 0, gateway.text())
                gateway = None
            finally:
                if gateway:
                    gateway.stop()
                servers.stop()
        # Only the settings file edited above differs from what the packages installed.
        verify = run("dpkg", "--verify", *PACKAGES, check=False).stdout.split("\n")
        changed = [line for line in verify if line.strip()]
        self.assertEqual([line.split()[-1] for line in changed], [f"{SETTINGS}/GateWay.xml"],
                         verify)

        run("dpkg", "--purge", *reversed(PACKAGES))
        for p in PACKAGES:
            self.assertNotEqual(run("dpkg-query", "-W", p, check=False).returncode, 0, p)
        left = sorted(p for p in owned if os.path.lexists(p) and not os.path.isdir(p))
        self.assertEqual(left, [])
        for folder in [SETTINGS, WORK, LOGS, "/usr/share/doc/pelvane-gateway"]:
            self.assertFalse(os.path.lexists(folder), folder)
        # Debian policy lets the system user stay (its files could still be somewhere).


if __name__ == "__main__":
    if os.geteuid() != 0:
        print("deb_install_test: skipped, dpkg needs root", file=sys.stderr)
        sys.exit(77)
    SOURCE, BUILD, GATESIM = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
