#!/usr/bin/env bash
# Figures with the shared yardstick (one load tool and stand-in servers written apart from
# the gateway, the tool the comparison figures were measured with), always as ratios within
# one run: ws-echo against the raw TCP echo at the same load, ws-echo's memory per idle
# connection, and the gateway relay between the yardstick's logic and login stand-ins.
#
# Usage: bench/yardstick/run.sh [BUILD_DIR] [YARDSTICK_DIR]
#   BUILD_DIR: a Release tree (targets are built there; default ./build)
#   YARDSTICK_DIR: the yardstick sources (default ../shared/yardstick beside the checkout)
# Environment: ROUNDS (3 paired rounds), SECONDS_PER_RUN (10), CONNECTIONS (200), SIZE (32),
#   WINDOW (8), IDLE (10000 idle connections; 0 skips), RELAY (1: run the relay figures),
#   RELAY_WINDOWS ("8 64"), RATE_CLIENTS (10000 clients at 10 messages/s; 0 skips),
#   SEND_INTERVAL (passed to the gateway as --send-interval when set).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$here/build}")
yard=$(realpath -m "${2:-$here/../shared/yardstick}")
rounds=${ROUNDS:-3}
secs=${SECONDS_PER_RUN:-10}
conns=${CONNECTIONS:-200}
size=${SIZE:-32}
window=${WINDOW:-8}
idle=${IDLE:-10000}

ulimit -n "$(ulimit -Hn)"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" --target ws-echo gateway gatekit -j 2 >/dev/null
tools=$build/yardstick
mkdir -p "$tools"
gcc -O2 -o "$tools/wsload" "$yard/wsload.c" -lcrypto
gcc -O2 -pthread -o "$tools/tcp_echo" "$yard/tcp_echo.c"
gcc -O2 -o "$tools/logic_echo" "$yard/logic_echo.c"

# shellcheck source=scripts/lib.sh
source "$here/scripts/lib.sh"
trap stop_started EXIT

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<<"$2"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$1/status"; }
# Anonymous resident memory: what the connections cost, without the library pages the
# first handshake touches (about 2 MiB of code, paid once).
anon_kib() { awk '/RssAnon/ {print $2}' "/proc/$1/status"; }
# User + system CPU ticks of a process so far.
cpu_ticks() { awk '{sub(/.*\) /, ""); print $12 + $13}' "/proc/$1/stat"; }
# Every thread of a process: its id, name, user and system ticks.
thread_ticks() {
  local t
  for t in /proc/"$1"/task/*; do
    awk -v id="${t##*/}" -v name="$(cat "$t/comm" 2>/dev/null)" \
      '{sub(/.*\) /, ""); print id, name, $12, $13}' "$t/stat" 2>/dev/null
  done
}
# One figure of the gateway's metrics (0 when it cannot be read).
metric() {
  /usr/bin/python3 - "$metrics" "$1" <<'PY' 2>/dev/null || echo 0
import re, sys, urllib.request
text = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=5).read().decode()
m = re.search(rf"^{sys.argv[2]}(?:{{[^}}]*}})? ([0-9.e+]+)$", text, re.M)
print(int(float(m.group(1))) if m else 0)
PY
}

# One started server at a time; stop_one ends the last one started.
stop_one() {
  local last=$((${#pids[@]} - 1))
  kill "${pids[last]}" 2>/dev/null || true
  wait "${pids[last]}" 2>/dev/null || true
  unset "pids[last]"
}

echo "== echo: $conns connections, $size-byte messages, window $window, ${secs}s per run, $rounds paired rounds"
ratios=()
for r in $(seq 1 "$rounds"); do
  port=$(free_port)
  "$tools/tcp_echo" "$port" 2 >/dev/null 2>&1 &
  pids+=($!)
  wait_port "$port" 100
  raw=$("$tools/wsload" --port "$port" --raw -c "$conns" -d "$secs" -s "$size" -w "$window")
  stop_one
  port=$(free_port)
  "$build/tools/ws-echo/ws-echo" "$port" >/dev/null 2>&1 &
  pids+=($!)
  wait_port "$port" 100
  ws=$("$tools/wsload" --port "$port" -c "$conns" -d "$secs" -s "$size" -w "$window")
  stop_one
  ratio=$(awk -v a="$(field rate "$ws")" -v b="$(field rate "$raw")" 'BEGIN {printf "%.3f", a / b}')
  ratios+=("$ratio")
  echo "round $r: raw  $raw"
  echo "round $r: ws   $ws"
  echo "round $r: ws-echo / raw echo = $ratio"
done
echo "ws-echo / raw echo per round: ${ratios[*]}"

if [ "$idle" -gt 0 ]; then
  echo "== idle: $idle upgraded connections held by ws-echo"
  port=$(free_port)
  "$build/tools/ws-echo/ws-echo" "$port" >/dev/null 2>&1 &
  pids+=($!)
  wait_port "$port" 100
  # A few connections first, gone again before the count: the code and tables the first
  # handshake touches (about 2 MiB, paid once per process) are not a cost per connection.
  "$tools/wsload" --port "$port" -c 10 -d 1 -w 0 >/dev/null
  sleep 0.5
  before=$(rss_kib "${pids[-1]}")
  anon_before=$(anon_kib "${pids[-1]}")
  "$tools/wsload" --port "$port" -c "$idle" -d 6 -w 0 >/dev/null &
  loader=$!
  sleep 5
  after=$(rss_kib "${pids[-1]}")
  anon_after=$(anon_kib "${pids[-1]}")
  wait "$loader" || true
  stop_one
  awk -v b="$before" -v a="$after" -v ab="$anon_before" -v aa="$anon_after" -v n="$idle" \
    'BEGIN {printf "ws-echo: %d KiB empty, %d KiB with %d idle connections: %.0f B per connection (anonymous memory: %.0f B per connection), after a warm-up\n", b, a, n, (a - b) * 1024 / n, (aa - ab) * 1024 / n}'
fi

if [ "${RELAY:-1}" = 1 ]; then
  work=$(mktemp -d -t yardstick-relay.XXXXXX)
  logic=$(free_port)
  login=$(free_port)
  gate=$(free_port)
  "$tools/logic_echo" "$logic" >/dev/null 2>&1 &
  pids+=($!)
  /usr/bin/python3 "$yard/login_fast.py" "$login" >/dev/null 2>&1 &
  pids+=($!)
  wait_port "$logic" 100
  wait_port "$login" 100
  # The gateway writes its default settings on the first start; then point them at the stand-ins,
  # and lift the per-address rules (every load connection comes from 127.0.0.1).
  (cd "$work" && timeout 3 "$build/src/app/gateway" --headless >/dev/null 2>&1) || true
  /usr/bin/python3 "$here/bench/yardstick/set_gateway_xml.py" "$work/GateWay.xml" \
    GatePort="$gate" ServerPort="$logic" LoginSrvPort="$login" MaxConnOfIPaddr=0 \
    ConnectionATKCount=0 ConnectionATKSec=0 ClientTimeOut=60000 MaxClientMsgCount=1000000 \
    KickOverPacketSize=False
  extra=()
  [ -n "${SEND_INTERVAL:-}" ] && extra+=(--send-interval "$SEND_INTERVAL")
  metrics=$(free_port)
  (cd "$work" && exec "$build/src/app/gateway" --headless --metrics "127.0.0.1:$metrics" "${extra[@]}" \
     >gateway.log 2>&1) &
  pids+=($!)
  gwpid=${pids[-1]}
  wait_port "$gate" 100
  wait_port "$metrics" 100
  until [ "$(metric gateway_logic_link_up)" = 1 ] && [ "$(metric gateway_login_link_up)" = 1 ]; do
    sleep 0.1
  done
  keys=(--gateway --ckey '{9FDF2573-5C9E-4673-B267-E7E8FE41F9FE}' --akey 81vtD5R98U86m9V7QU)
  for w in ${RELAY_WINDOWS:-8 64}; do
    echo "relay window $w: $("$tools/wsload" --port "$gate" "${keys[@]}" -c "$conns" -d "$secs" -s "$size" -w "$w")"
  done
  if [ "${RATE_CLIENTS:-10000}" -gt 0 ]; then
    # CPU per round trip in the steady state, the connection phase left out: the raw TCP echo
    # (the floor for this load on this machine: one receive and one send per client message,
    # as every gateway client pays) over the middle of its run, and the gateway from the moment
    # every client is logged in, per client message its metrics counted meanwhile.
    n=${RATE_CLIENTS:-10000}
    span=$((secs > 6 ? secs - 4 : 2))
    port=$(free_port)
    "$tools/tcp_echo" "$port" 2 >/dev/null 2>&1 &
    pids+=($!)
    wait_port "$port" 100
    "$tools/wsload" --port "$port" --raw -c "$n" -d "$secs" -s "$size" --rate 10 >"$work/raw.txt" &
    loader=$!
    sleep 3
    e0=$(cpu_ticks "${pids[-1]}")
    sleep "$span"
    e1=$(cpu_ticks "${pids[-1]}")
    wait "$loader"
    raw=$(cat "$work/raw.txt")
    stop_one
    echo "raw echo $n clients x 10/s: $raw"
    raw_us=$(awk -v t="$((e1 - e0))" -v hz="$(getconf CLK_TCK)" -v r="$(field rate "$raw")" -v s="$span" \
      'BEGIN {if (r > 0) printf "%.2f", t / hz * 1e6 / (r * s); else print 0}')
    echo "raw echo CPU per round trip (steady): $raw_us us"
    "$tools/wsload" --port "$gate" "${keys[@]}" -c "$n" -d "$secs" -s "$size" --rate 10 >"$work/relay.txt" &
    loader=$!
    until [ "$(metric gateway_sessions)" -ge "$((n * 99 / 100))" ] 2>/dev/null; do
      kill -0 "$loader" 2>/dev/null || break
      sleep 0.2
    done
    sleep 1
    t0=$(cpu_ticks "$gwpid")
    thread_ticks "$gwpid" >"$work/threads0.txt"
    m0=$(metric gateway_client_messages_received_total)
    sleep "$span"
    t1=$(cpu_ticks "$gwpid")
    thread_ticks "$gwpid" >"$work/threads1.txt"
    m1=$(metric gateway_client_messages_received_total)
    wait "$loader"
    out=$(cat "$work/relay.txt")
    echo "relay $n clients x 10/s: $out"
    awk -v t="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" -v m="$((m1 - m0))" -v raw="$raw_us" -v s="$span" \
      'BEGIN {if (m > 0) {us = t / hz * 1e6 / m; printf "gateway CPU per round trip (steady, %d messages/s): %.2f us = %.2f x the raw echo'"'"'s\n", m / s, us, (raw > 0 ? us / raw : 0)}}'
    # Where it goes, by thread name (user / system time per client message).
    awk -v hz="$(getconf CLK_TCK)" -v m="$((m1 - m0))" '
      FNR == NR {u[$1] = $3; k[$1] = $4; next}
      ($1 in u) {du[$2] += $3 - u[$1]; dk[$2] += $4 - k[$1]}
      END {if (m > 0) for (n in du) if (du[n] + dk[n] > 0)
             printf "  %-16s user %.2f us, system %.2f us per message\n", n, du[n] / hz * 1e6 / m, dk[n] / hz * 1e6 / m}' \
      "$work/threads0.txt" "$work/threads1.txt" | sort
    echo "gateway RSS with those clients gone: $(rss_kib "$gwpid") KiB"
  fi
fi
