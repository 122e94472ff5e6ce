"""The one way the end-to-end tests wait: for a condition, an output line or a metric. A wait
polls until what it waits for holds, with a generous time-out (the tests run on loaded
machines, under sanitizers and under wine); when it runs out, the failure says what was
awaited, for how long, and the last value seen. Nothing waits a fixed time instead.

Every wait has a blocking form for plain tests and an `a`-prefixed coroutine form for the
asyncio ones (which must keep their event loop turning while they wait).

The tests import this module by path (tests/support is put on sys.path by each test).
"""
import asyncio
import inspect
import re
import time

# Long enough for a gateway starting under AddressSanitizer or wine on a busy machine; a wait
# that holds returns as soon as it does, so only a failing test pays for it.
TIMEOUT = 60.0
INTERVAL = 0.02  # between two looks: short against the waits, long against a busy loop


def _text(what):
    return what() if callable(what) else what


def _tail(value, limit=4000):
    text = value if isinstance(value, str) else repr(value)
    return text if len(text) <= limit else "..." + text[-limit:]


class _Wait:
    """One wait's bookkeeping: the deadline, the last value seen, the failure."""

    def __init__(self, what, timeout):
        self.what = what
        self.timeout = TIMEOUT if timeout is None else timeout
        self.start = time.monotonic()
        self.end = self.start + self.timeout
        self.last = None

    def over(self):
        return time.monotonic() >= self.end

    def fail(self):
        waited = time.monotonic() - self.start
        raise AssertionError(f"waited {waited:.1f} s (time-out {self.timeout:g} s) for "
                             f"{_text(self.what)}; last value seen: {_tail(self.last)}")


def wait_until(probe, what, timeout=None, interval=INTERVAL):
    """Calls `probe()` until it returns something true, and returns that. `what` (a text, or a
    function giving one) names what is awaited in the failure; an exception from the probe
    (a program that has ended, say) ends the wait at once."""
    wait = _Wait(what, timeout)
    while True:
        wait.last = probe()
        if wait.last:
            return wait.last
        if wait.over():
            wait.fail()
        time.sleep(interval)


async def await_until(probe, what, timeout=None, interval=INTERVAL):
    """wait_until for coroutines: `probe` may be a plain function or a coroutine function."""
    wait = _Wait(what, timeout)
    while True:
        wait.last = probe()
        if inspect.isawaitable(wait.last):
            wait.last = await wait.last
        if wait.last:
            return wait.last
        if wait.over():
            wait.fail()
        await asyncio.sleep(interval)


def _line_probe(lines, text, count, ended):
    """A probe for `count` lines containing `text` among `lines()`: the last such line, or
    the tail of the output when there are fewer. `ended()` (optional) gives a text when the
    program that writes the lines has ended, and its last lines are in."""
    class Seen(str):
        """The output so far, false: what the failure shows as the last value seen."""
        def __bool__(self):
            return False

    def probe():
        finished = ended() if ended else None
        current = lines()
        found = [line for line in current if text in line]
        if len(found) >= count:
            return found[count - 1]
        output = Seen("\n" + "\n".join(current[-60:]))
        if finished:
            raise AssertionError(f"{finished} with {len(found)} of {count} lines with "
                                 f"{text!r}; its output:{output}")
        return output
    return probe


def wait_line(lines, text, count=1, timeout=None, ended=None):
    """Waits until `lines()` (the output so far, one string a line) holds `count` lines with
    `text`; returns the last of them. See _line_probe for `ended`."""
    return wait_until(_line_probe(lines, text, count, ended),
                      f"{count} line(s) with {text!r}", timeout)


async def await_line(lines, text, count=1, timeout=None, ended=None):
    """wait_line for coroutines."""
    return await await_until(_line_probe(lines, text, count, ended),
                             f"{count} line(s) with {text!r}", timeout)


_SAMPLE = re.compile(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})?\s+(\S+)")
_LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"')


def _labels(labels):
    """Labels given as a dict or as exposition text ('step="login"')."""
    if isinstance(labels, str):
        return dict(_LABEL.findall(labels))
    return {k: str(v) for k, v in (labels or {}).items()}


def metric_value(text, name, labels=None):
    """The value of the sample `name` with exactly the given labels (a dict, or exposition
    text such as 'step="login"'; none: the sample without labels) in a Prometheus text
    exposition; None when there is none."""
    want = _labels(labels)
    for line in text.splitlines():
        m = _SAMPLE.match(line)
        if m and m.group(1) == name and _labels(m.group(2) or "") == want:
            return float(m.group(3))
    return None


class Miss:
    """A probe's false answer that still carries the value it saw (for the failure)."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return False

    def __repr__(self):
        return repr(self.value)


def _metric_check(text, name, holds, labels):
    value = metric_value(text, name, labels)
    return (value,) if value is not None and holds(value) else Miss(value)


def _metric_what(name, labels, what):
    labels = _labels(labels)
    shown = "{" + ",".join(f'{k}="{v}"' for k, v in labels.items()) + "}" if labels else ""
    return f"metric {name}{shown} {what}"


def wait_metric(fetch, name, holds, labels=None, what="to hold", timeout=None):
    """Waits until the sample `name` (labels as in metric_value) in the text `fetch()`
    returns satisfies `holds(value)`; returns the value. `what` says what `holds` checks
    (e.g. "== 1"), for the failure."""
    return wait_until(lambda: _metric_check(fetch(), name, holds, labels),
                      _metric_what(name, labels, what), timeout)[0]


async def await_metric(fetch, name, holds, labels=None, what="to hold", timeout=None):
    """wait_metric for coroutines: `fetch` may be a coroutine function."""
    async def probe():
        text = fetch()
        if inspect.isawaitable(text):
            text = await text
        return _metric_check(text, name, holds, labels)
    return (await await_until(probe, _metric_what(name, labels, what), timeout))[0]
