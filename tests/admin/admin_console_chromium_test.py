#!/usr/bin/python3
"""The web console in headless Chromium (Debian's python3-selenium with chromium-driver)
against the real gateway between the simulated servers, with gatesim bots online: log in
with the token, see the session count reach the number of bots, kick one bot from the table
(the logic server hears of that session), add a block entry; a page in Chinese for a Chinese
browser; a screenshot of the page for the documentation.

Usage: admin_console_chromium_test.py GATESIM GATEWAY SCREENSHOT_PNG [unittest args]
"""
import os
import re
import sys
import tempfile
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from admin_api_e2e_test import wait_port  # noqa: E402
from gw_wire import CollectedOutput, free_port  # noqa: E402

GATESIM = GATEWAY = SCREENSHOT = None
TIMEOUT = 90
TOKEN = "ops-0123456789abcdef0123456789"
BOTS = 6


class Proc(CollectedOutput):
    def wait_for(self, text):
        return super().wait_for(text, TIMEOUT)


def browser(language):
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1400,1900", f"--lang={language}"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"intl.accept_languages": language})
    options.binary_location = "/usr/bin/chromium"
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


class AdminConsoleInChromium(unittest.TestCase):
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
        with open(os.path.join(d, "GateWay.xml"), "w", encoding="utf-8") as f:
            f.write("<TGateWayConfigure>\r\n"
                    f"\t<GatePort>{cls.gate_port}</GatePort>\r\n"
                    f"\t<ServerAddr>127.0.0.1</ServerAddr>\r\n\t<ServerPort>{cls.logic_port}</ServerPort>\r\n"
                    f"\t<LoginSrvAddr>127.0.0.1</LoginSrvAddr>\r\n\t<LoginSrvPort>{cls.login_port}</LoginSrvPort>\r\n"
                    "\t<WokerCount>2</WokerCount>\r\n\t<MaxConnOfIPaddr>0</MaxConnOfIPaddr>\r\n"
                    "</TGateWayConfigure>\r\n")
        tokens = os.path.join(d, "admin-tokens.txt")
        with open(tokens, "w") as f:
            f.write("ops:" + TOKEN + "\n")
        os.chmod(tokens, 0o600)
        cls.gateway = Proc([GATEWAY, "--headless", "--admin", f"127.0.0.1:{cls.admin_port}",
                            "--admin-token-file", tokens], d)
        wait_port(cls.gate_port)
        cls.gateway.wait_for("LogicSrv 连接成功")
        # The bots stay online (one message a second each) until the test ends them.
        cls.bots = Proc([GATESIM, "clients", "--url", f"ws://127.0.0.1:{cls.gate_port}",
                         "-n", str(BOTS), "--rate", "1", "--duration", "600", "--no-progress",
                         "--login-timeout", "60", "--keys-folder", d], d)
        cls.url = f"http://127.0.0.1:{cls.admin_port}/"

    @classmethod
    def tearDownClass(cls):
        for p in (cls.bots, cls.gateway, cls.logic, cls.login):
            p.stop()
        cls.dir.cleanup()

    def test_log_in_watch_the_bots_kick_one_and_block_an_address(self):
        driver = browser("en-US")
        try:
            wait = WebDriverWait(driver, TIMEOUT)
            driver.get(self.url)
            self.assertEqual(driver.find_element(By.ID, "login").text, "Log in")
            # A wrong token is refused and the console stays closed.
            driver.find_element(By.ID, "token").send_keys("wrong-token-wrong-token")
            driver.find_element(By.ID, "login").click()
            wait.until(lambda d: d.find_element(By.ID, "login-error").text)
            self.assertFalse(driver.find_element(By.ID, "console").is_displayed())

            driver.find_element(By.ID, "token").send_keys(TOKEN)
            driver.find_element(By.ID, "login").click()
            wait.until(lambda d: d.find_element(By.ID, "console").is_displayed())
            wait.until(lambda d: d.find_element(By.ID, "session-count").text == str(BOTS))
            rows = wait.until(lambda d: d.find_elements(
                By.CSS_SELECTOR, "#sessions-table tbody tr") if len(d.find_elements(
                    By.CSS_SELECTOR, "#sessions-table tbody tr")) == BOTS else None)
            handle = rows[0].get_attribute("data-handle")

            rows[0].find_element(By.CSS_SELECTOR, "button.kick").click()
            wait.until(lambda d: d.switch_to.alert).accept()
            wait.until(lambda d: f"Session {handle} kicked." in
                       d.find_element(By.ID, "action-result").text)
            self.logic.wait_for(f"session closed {handle} ")
            self.gateway.wait_for(f"Admin: ops from 127.0.0.1 kicked session {handle}")
            wait.until(lambda d: not d.find_elements(
                By.CSS_SELECTOR, f'#sessions-table tr[data-handle="{handle}"]'))

            driver.find_element(By.ID, "block-address").send_keys("10.20.30.*")
            driver.find_element(By.ID, "block-add").click()
            wait.until(lambda d: "10.20.30.*" in d.find_element(By.ID, "permanent-list").text)
            self.gateway.wait_for("Admin: ops from 127.0.0.1 added 10.20.30.* to the permanent")
            with open(os.path.join(self.dir.name, "BlockIPList.txt"), encoding="gbk") as f:
                self.assertIn("10.20.30.*", f.read())

            # The log tail shows the gateway's lines in the console's level colours.
            wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#log div.lv-warning"))
            # Every script came from the gateway itself: nothing was refused by the policy.
            errors = [e for e in driver.get_log("browser")
                      if "Content Security Policy" in e.get("message", "")]
            self.assertEqual(errors, [])
            charts = driver.find_elements(By.CSS_SELECTOR, "#chart-sessions canvas")
            self.assertTrue(charts, "the sessions chart was not drawn")
            driver.execute_script("window.scrollTo(0, 0)")
            driver.save_screenshot(SCREENSHOT)
        finally:
            driver.quit()

    def test_a_chinese_browser_gets_the_chinese_page(self):
        driver = browser("zh-CN")
        try:
            driver.get(self.url)
            WebDriverWait(driver, TIMEOUT).until(
                lambda d: d.find_element(By.ID, "login").text == "登录")
            self.assertTrue(re.search("[\u4e00-\u9fff]", driver.title))
        finally:
            driver.quit()


if __name__ == "__main__":
    GATESIM, GATEWAY, SCREENSHOT = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
