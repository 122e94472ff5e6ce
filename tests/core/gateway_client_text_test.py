#!/usr/bin/python3
"""End to end: what a client can make the real `gateway --headless` write into its log.
Client text (the decrypted token answer) is escaped, per-message lines are rate-limited
with the count of the lines held back, and a client that keeps sending malformed messages
is closed with 1008, before and after its token check.

Usage: gateway_client_text_test.py GATEWAY_BINARY GATEKIT_BINARY [unittest args]
"""
import asyncio
import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import gateway_guard_test as guard  # noqa: E402
import gateway_relay_test as relay  # noqa: E402
from gw_wait import await_until  # noqa: E402
from gw_wire import command  # noqa: E402

MAX_MALFORMED = 16  # limits::kMaxMalformedMessages
FORGED = "\x1b[2J\r\n[26-12-11 00:00:00][I] 服务已启动成功..."


def gatekit(cwd, *args) -> str:
    out = subprocess.run(command(relay.GATEKIT, *args), cwd=cwd, check=True, capture_output=True)
    return out.stdout.decode().strip()


def reported(lines, marker, summary):
    """Lines with `marker`, each with the lines it says were held back, plus the
    housekeeping's "N similar lines suppressed: <summary>" lines: every event once."""
    total = 0
    for line in lines:
        if marker in line and "malformed messages (last:" not in line:
            m = re.search(r"\((\d+) similar lines suppressed\)$", line)
            total += 1 + (int(m.group(1)) if m else 0)
        m = re.search(r"(\d+) similar lines suppressed: " + re.escape(summary) + "$", line)
        if m:
            total += int(m.group(1))
    return total


class KeyedGateway(guard.GuardedGateway):
    """The gateway with a key file of its own (`key` for both handshake directions)."""

    def __init__(self, key, *args, **settings):
        self.key = key
        super().__init__(*args, **settings)

    def write_settings(self, **settings):
        super().write_settings(**settings)
        with open(self.path("GateKeys.txt"), "w") as f:
            f.write(f"{self.key}\n{self.key}\n")


class GatewayClientTextTest(guard.ClientsFixture):
    start_gateway = guard.GatewayGuardTest.start_gateway
    client = guard.GatewayGuardTest.client
    served = guard.GatewayGuardTest.served
    async def test_token_answer_is_escaped_and_wrong_answers_are_rate_limited(self):
        # One key for both directions: a challenge sealed for any text is then a valid
        # answer carrying that text, as a client holding the answer key can send.
        key = gatekit(None, "encipher", "one-key-for-both")
        await relay.start_serving(self, lambda: KeyedGateway(
            key, self.logic.port, self.login.port, ClientTimeOut=0, MaxConnOfIPaddr=0))
        answer = gatekit(self.gateway.dir.name, "token-challenge", FORGED).encode()
        attempts = 25
        for _ in range(attempts):
            c = await (await self.client("127.0.0.60")).upgrade()
            await c.read_message()  # the challenge
            c.send(guard.frame(b"\x01\x02" + answer + b"\x03"))
            opcode, payload = await c.read_message()
            self.assertEqual((opcode, payload[:2]), (8, b"\x03\xf0"))  # 1008
            c.close()
        await self.gateway.wait_line("授权校验失败:\\x1B[2J\\x0D\\x0A[26-12-11 00:00:00][I] "
                                     "服务已启动成功... -> ")
        await await_until(self._all_reported(attempts), "every wrong answer accounted for")
        lines = self.gateway.output()
        self.assertFalse([l for l in lines if "\x1b" in l or l.startswith("[26-12-11 00:00:00]")])
        # The close's own line is limited the same way.
        await await_until(self._closes_reported(attempts), "every close accounted for")

    def _closes_reported(self, attempts):
        async def check():
            return reported(self.gateway.output(), ",原因:授权失败",
                            "closes after a refused token answer") == attempts
        return check

    def _all_reported(self, attempts):
        async def check():
            lines = self.gateway.output()
            return (reported(lines, "授权校验失败:", "token answer mismatches") == attempts and
                    reported(lines, "踢出连接,没经过授权的连接:", "unauthorised connections")
                    == attempts)
        return check

    async def test_malformed_messages_close_the_client_before_and_after_its_token_check(self):
        await self.start_gateway(ClientTimeOut=0, MaxClientMsgCount=0)
        for source, passed in (("127.0.0.61", False), ("127.0.0.62", True)):
            with self.subTest(passed=passed):
                if passed:
                    c = await self.served(source)
                else:
                    c = await (await self.client(source)).upgrade()
                    await c.read_message()  # the challenge, left unanswered
                for _ in range(3 * MAX_MALFORMED):
                    c.send(guard.frame(b"\x01"))
                # Closed with a close frame carrying 1008 (policy).
                while True:
                    opcode, payload = await c.read_message()
                    if opcode == 8:
                        break
                self.assertEqual(payload[:2], b"\x03\xf0")
                self.assertEqual(await c.ending(), "closed")
                if not passed:  # the second close may fall in the same second: held back
                    await self.gateway.wait_line(f"Closed {source}: {MAX_MALFORMED} malformed "
                                                 "messages (last: 收到的数据太短了:")
                # Each malformed message before the closing one is accounted for, once.
                await await_until(
                    self._too_short_reported((MAX_MALFORMED - 1) * (2 if passed else 1)),
                    "the malformed messages' lines")

    def _too_short_reported(self, count):
        async def check():
            return reported(self.gateway.output(), "收到的数据太短了:", "messages too short") == count
        return check


if __name__ == "__main__":
    relay.GATEWAY, relay.GATEKIT = sys.argv[1], sys.argv[2]
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]])
