#!/usr/bin/env bash
# Scale-out behind a load balancer, on this machine: HAProxy (TCP mode, PROXY protocol v2,
# health checks on each gateway's /healthz) in front of two gateways started with
# --proxy-protocol, each with its own simulated logic and login servers, and a few hundred
# bots from distinct 127.1.x.y source addresses. It shows
#   1. the sessions spread over both gateways (each gateway's /metrics),
#   2. the bots' real addresses in the login servers' logs (not the balancer's),
#   3. that stopping one gateway (SIGTERM: its clients get a close frame 1001) takes it
#      out of the balancer, and new clients all go to the other one.
#
# Usage: scripts/scale-demo.sh [BUILD_DIR]    (default: build)
# Environment: DEMO_DIR (work folder, default: a new temporary folder), DEMO_CLIENTS
#              (bots of the first wave, default 300), DEMO_DURATION (seconds they play,
#              default 15), DEMO_PORT (the balancer's client port, default 7300).
# Needs the Debian package haproxy (scripts/setup.sh installs it).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
gateway=$build/src/app/gateway
gatesim=$build/tools/gatesim/gatesim
# shellcheck source=scripts/lib.sh
source "$here/scripts/lib.sh"
require_built scale-demo "$build" "$gateway" "$gatesim"
haproxy=$(command -v haproxy || true)
if [ -z "$haproxy" ]; then
  echo "scale-demo: haproxy is missing; run scripts/setup.sh" >&2
  exit 1
fi

work=${DEMO_DIR:-$(mktemp -d -t gateway-scale.XXXXXX)}
mkdir -p "$work"
echo "scale-demo: work folder $work"
clients=${DEMO_CLIENTS:-300}
duration=${DEMO_DURATION:-15}
front=${DEMO_PORT:-7300}
stats=8404

trap stop_started EXIT
trap 'exit 130' INT TERM

# GET of a URL on stdout ("" when nothing answers); the status goes to stderr on failure.
http_get() {
  /usr/bin/python3 - "$1" <<'PY' || true
import sys, urllib.request, urllib.error
try:
    with urllib.request.urlopen(sys.argv[1], timeout=5) as r:
        sys.stdout.write(r.read().decode())
except urllib.error.HTTPError as e:
    sys.stderr.write(f"HTTP {e.code}\n")
except OSError as e:
    sys.stderr.write(f"{e}\n")
PY
}

# sessions N: the live sessions of gateway N from its metrics.
sessions() {
  http_get "http://127.0.0.1:910$1/metrics" | awk '$1 == "gateway_sessions" { print $2 }'
}

# healthy N: whether gateway N's /healthz answers 200 (both of its links up).
healthy() {
  [ "$(http_get "http://127.0.0.1:910$1/healthz" 2>/dev/null)" = "ok" ]
}

# balancer_state N: HAProxy's view of gateway N ("UP", "DOWN", ...), from its CSV statistics.
balancer_state() {
  http_get "http://127.0.0.1:$stats/stats;csv" | awk -F, -v s="gw$1" '$1 == "gateways" && $2 == s { print $18 }'
}

balancer_up() { [ "$(balancer_state "$1")" = UP ]; }
balancer_down() { [ "$(balancer_state "$1")" = DOWN ]; }

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every 0.2 s.
wait_until() {
  local seconds=$1 what=$2
  shift 2
  for _ in $(seq 1 $((seconds * 5))); do
    if "$@"; then return 0; fi
    sleep 0.2
  done
  echo "scale-demo: gave up waiting for $what" >&2
  return 1
}

# One gateway per simulated server pair: every gateway has links of its own. Gateway N
# serves clients on 720N, metrics on 910N; its servers listen on 500N (logic), 550N (login).
gw_pids=()
for n in 1 2; do
  dir=$work/gw$n
  mkdir -p "$dir"
  (cd "$dir" && exec "$gatesim" logic-server --port "500$n" >logic-server.log 2>&1) &
  pids+=($!)
  (cd "$dir" && exec "$gatesim" login-server --port "550$n" >login-server.log 2>&1) &
  pids+=($!)
  wait_port "500$n" 100
  wait_port "550$n" 100
  # Clients come through the balancer from one address: the per-address limit applies to
  # the addresses the PROXY headers carry.
  write_gateway_xml "$dir/GateWay.xml" "720$n" "500$n" "550$n"
  (cd "$dir" && exec "$gateway" --headless --proxy-protocol --proxy-from 127.0.0.1/32 \
    --metrics "127.0.0.1:910$n" >gateway.log 2>&1) &
  pids+=($!)
  gw_pids+=($!)
  wait_port "720$n" 100
done
for n in 1 2; do wait_until 30 "gateway $n's links" healthy "$n"; done

cat >"$work/haproxy.cfg" <<CFG
global
    # Two descriptors per relayed client; well within a default descriptor limit.
    maxconn 4000

defaults
    mode tcp
    timeout connect 5s
    timeout client 60s
    timeout server 60s
    # WebSocket sessions are long: once both sides talk, the tunnel time-out applies.
    timeout tunnel 1h
    option redispatch
    retries 2

frontend players
    bind 127.0.0.1:$front
    default_backend gateways

backend gateways
    balance leastconn
    # Each gateway's health is its /healthz on the metrics port: 200 only while both of its
    # links are up and it is not stopping.
    option httpchk GET /healthz
    http-check expect status 200
    default-server send-proxy-v2 check inter 500ms fall 2 rise 2
    server gw1 127.0.0.1:7201 check port 9101
    server gw2 127.0.0.1:7202 check port 9102

frontend stats
    mode http
    bind 127.0.0.1:$stats
    stats enable
    stats uri /stats
CFG
"$haproxy" -c -q -f "$work/haproxy.cfg"
(exec "$haproxy" -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1) &
pids+=($!)
wait_port "$front" 100
for n in 1 2; do wait_until 30 "HAProxy to see gateway $n up" balancer_up "$n"; done
echo "scale-demo: HAProxy on 127.0.0.1:$front in front of gw1 (7201) and gw2 (7202): both UP"

# --- 1. the first wave spreads over both gateways ---------------------------------------
echo "scale-demo: $clients bots from 127.1.x.y through the balancer"
"$gatesim" clients --url "ws://127.0.0.1:$front" -n "$clients" --rate 1 --duration "$duration" \
  --connect-rate 200 --keys-folder "$work" --no-progress --sources 127.1.0.1-127.1.255.254 \
  >"$work/wave1.log" 2>&1 &
wave=$!
both_busy() { [ "$(( $(sessions 1) + $(sessions 2) ))" -ge "$clients" ]; }
if wait_until 120 "every bot to hold a session" both_busy; then
  echo "scale-demo: sessions per gateway (gateway_sessions from /metrics):"
  for n in 1 2; do echo "  gw$n: $(sessions "$n")"; done
fi
wait "$wave" || echo "scale-demo: the first wave reported failures (see $work/wave1.log)"
tail -n 4 "$work/wave1.log"

# --- 2. the login servers saw the bots' own addresses -----------------------------------
echo "scale-demo: what the login servers were told about the clients (first lines of each):"
for n in 1 2; do
  grep -m 3 "opened, client" "$work/gw$n/login-server.log" | sed "s/^/  gw$n: /" || true
  distinct=$(grep -o "opened, client [0-9.]*" "$work/gw$n/login-server.log" | sort -u | wc -l)
  echo "  gw$n: $distinct distinct client addresses, none of them the balancer's 127.0.0.1:" \
    "$(grep -c "opened, client 127.0.0.1\b" "$work/gw$n/login-server.log" || true) sessions from it"
done

# --- 3. stopping gw1 moves new clients to gw2 --------------------------------------------
echo "scale-demo: stopping gw1 (SIGTERM)"
kill -TERM "${gw_pids[0]}"
wait "${gw_pids[0]}" || true
wait_until 30 "HAProxy to take gw1 out" balancer_down 1
echo "scale-demo: HAProxy now sees gw1 $(balancer_state 1), gw2 $(balancer_state 2)"
before=$(grep -c "opened, client" "$work/gw2/login-server.log" || true)
"$gatesim" clients --url "ws://127.0.0.1:$front" -n 50 --rate 1 --duration 5 \
  --keys-folder "$work" --no-progress --sources 127.2.0.1-127.2.255.254 >"$work/wave2.log" 2>&1 ||
  echo "scale-demo: the second wave reported failures (see $work/wave2.log)"
tail -n 4 "$work/wave2.log"
after=$(grep -c "opened, client" "$work/gw2/login-server.log" || true)
echo "scale-demo: second wave (50 bots from 127.2.x.y): $((after - before)) sessions opened on gw2," \
  "$(grep -c "opened, client 127.2." "$work/gw1/login-server.log" || true) on the stopped gw1"
echo "scale-demo: logs in $work (gw*/gateway.log, gw*/login-server.log, haproxy.log)"
