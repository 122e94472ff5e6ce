#!/usr/bin/python3
"""Every metric name the alert rules and the Grafana dashboard use is served by a real
gateway's /metrics: the gateway runs headless between the simulated servers, with TLS (for the
certificate's expiry) and after one settings reload (for the reload's outcome).

Usage: metric_names_test.py GATEWAY GATESIM PROMETHEUS_FOLDER [unittest args]
"""
import json
import os
import re
import signal
import sys
import tempfile
import unittest
import urllib.request

import yaml

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from sim_servers import Program, Servers, free_port, listening, wait_until  # noqa: E402
from gw_wire import make_certificate  # noqa: E402

GATEWAY = GATESIM = FOLDER = None

# Series Prometheus makes itself, not the gateway.
PROMETHEUS_OWN = {"up", "ALERTS", "ALERTS_FOR_STATE"}
# PromQL's words that look like names.
PROMQL_WORDS = {"sum", "by", "without", "rate", "increase", "histogram_quantile", "time", "le",
                "and", "or", "unless", "on", "ignoring", "max", "min", "avg", "count",
                "label_values", "humanize"}


def names_in(expr):
    """The metric names a PromQL expression reads (label matchers and strings left out)."""
    expr = re.sub(r'"[^"]*"', "", expr)
    expr = re.sub(r"\{[^}]*\}", "", expr)       # label matchers
    expr = re.sub(r"\[[^\]]*\]", "", expr)      # ranges
    expr = re.sub(r"\b(by|without|on|ignoring)\s*\([^)]*\)", "", expr)  # grouping labels
    words = set(re.findall(r"[a-zA-Z_:][a-zA-Z0-9_:]*", expr))
    return {w for w in words if w not in PROMQL_WORDS and w not in PROMETHEUS_OWN
            and not w.startswith("$")}


def used_names():
    used = {}
    with open(os.path.join(FOLDER, "gateway-alerts.yml"), encoding="utf-8") as f:
        for group in yaml.safe_load(f)["groups"]:
            for rule in group["rules"]:
                for name in names_in(rule["expr"]):
                    used.setdefault(name, []).append("rule " + rule["alert"])
    with open(os.path.join(FOLDER, "gateway-dashboard.json"), encoding="utf-8") as f:
        dashboard = json.load(f)
    for panel in dashboard["panels"]:
        for target in panel.get("targets", []):
            for name in names_in(target["expr"].replace("$__rate_interval", "")):
                used.setdefault(name, []).append("panel " + panel["title"])
    query = dashboard["templating"]["list"][1]["definition"]
    used.setdefault(re.search(r"label_values\((\w+)", query).group(1), []).append("variable")
    return used


def served_names(text):
    return {re.match(r"[a-zA-Z_:][a-zA-Z0-9_:]*", line).group(0)
            for line in text.splitlines() if line and not line.startswith("#")}


class MetricNamesTest(unittest.TestCase):
    def test_names_extracted_from_expressions(self):
        cases = [
            ('sum by (instance, reason) (rate(gateway_refused_connections_total{job="x"}[5m])) > 5',
             {"gateway_refused_connections_total"}),
            ("process_open_fds / process_max_fds > 0.8", {"process_open_fds", "process_max_fds"}),
            ("gateway_tls_certificate_expiry_timestamp_seconds - time() < 14 * 86400",
             {"gateway_tls_certificate_expiry_timestamp_seconds"}),
            ('up{job="pelvane-gateway"} == 0', set()),
            ("histogram_quantile(0.5, sum by (le) (rate(gateway_handshake_seconds_bucket[1m])))",
             {"gateway_handshake_seconds_bucket"}),
            ("sum by (step) (gateway_sessions_by_step)", {"gateway_sessions_by_step"}),
            ("rate(process_cpu_seconds_total[1m])", {"process_cpu_seconds_total"}),
        ]
        for expr, names in cases:
            with self.subTest(expr=expr):
                self.assertEqual(names_in(expr), names)

    def test_every_used_name_is_served(self):
        used = used_names()
        self.assertIn("gateway_logic_link_up", used)
        with tempfile.TemporaryDirectory() as work:
            servers = Servers(GATESIM, work)
            gateway = None
            try:
                cert, key = make_certificate(work, "gateway", 1)
                gate_port, metrics_port = free_port(), free_port()
                with open(os.path.join(work, "GateWay.xml"), "w", encoding="utf-8") as f:
                    f.write(servers.settings(gate_port))
                gateway = Program([GATEWAY, "--headless", "--tls-cert", cert, "--tls-key", key,
                                   "--metrics", f"127.0.0.1:{metrics_port}"], work)
                wait_until(lambda: listening(metrics_port),
                           lambda: "the metrics listener; the gateway's output:\n" + gateway.text())
                gateway.proc.send_signal(signal.SIGHUP)
                served = set()

                def all_served():
                    nonlocal served
                    url = f"http://127.0.0.1:{metrics_port}/metrics"
                    with urllib.request.urlopen(url, timeout=10) as r:
                        served = served_names(r.read().decode("utf-8"))
                    return set(used) <= served
                wait_until(all_served, lambda: "every name served; not served: " + ", ".join(
                    f"{n} ({'; '.join(used[n])})" for n in sorted(set(used) - served)))
            finally:
                if gateway:
                    gateway.stop()
                servers.stop()


if __name__ == "__main__":
    GATEWAY, GATESIM, FOLDER = sys.argv[1:4]
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:])
