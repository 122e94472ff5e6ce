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
    'BEGIN {printf "ws-echo: %d KiB empty, %d KiB with %d idle connections: %.0f B per connection (anonymous memory: %.0f B per connection)\n", b, a, n, (a - b) * 1024 / n, (aa - ab) * 1024 / n}'
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
  (cd "$work" && exec "$build/src/app/gateway" --headless "${extra[@]}" >gateway.log 2>&1) &
  pids+=($!)
  gwpid=${pids[-1]}
  wait_port "$gate" 100
  sleep 1.5  # the links connect on their next turn
  keys=(--gateway --ckey '{9FDF2573-5C9E-4673-B267-E7E8FE41F9FE}' --akey 81vtD5R98U86m9V7QU)
  for w in ${RELAY_WINDOWS:-8 64}; do
    echo "relay window $w: $("$tools/wsload" --port "$gate" "${keys[@]}" -c "$conns" -d "$secs" -s "$size" -w "$w")"
  done
  if [ "${RATE_CLIENTS:-10000}" -gt 0 ]; then
    # The floor for this load: the raw TCP echo's own CPU per round trip, on the same machine
    # in the same run (one receive and one send per message, as every gateway client pays).
    port=$(free_port)
    "$tools/tcp_echo" "$port" 2 >/dev/null 2>&1 &
    pids+=($!)
    wait_port "$port" 100
    e0=$(awk '{print $14 + $15}' "/proc/${pids[-1]}/stat")
    raw=$("$tools/wsload" --port "$port" --raw -c "${RATE_CLIENTS:-10000}" -d "$secs" -s "$size" --rate 10)
    e1=$(awk '{print $14 + $15}' "/proc/${pids[-1]}/stat")
    stop_one
    echo "raw echo ${RATE_CLIENTS:-10000} clients x 10/s: $raw"
    raw_us=$(awk -v t="$((e1 - e0))" -v hz="$(getconf CLK_TCK)" -v rt="$(field roundtrips "$raw")" \
      'BEGIN {if (rt > 0) printf "%.2f", t / hz * 1e6 / rt; else print 0}')
    echo "raw echo CPU per round trip: $raw_us us"
    t0=$(awk '{print $14 + $15}' "/proc/$gwpid/stat")
    out=$("$tools/wsload" --port "$gate" "${keys[@]}" -c "${RATE_CLIENTS:-10000}" -d "$secs" -s "$size" --rate 10)
    t1=$(awk '{print $14 + $15}' "/proc/$gwpid/stat")
    rt=$(field roundtrips "$out")
    echo "relay ${RATE_CLIENTS:-10000} clients x 10/s: $out"
    awk -v t="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" -v rt="$rt" -v raw="$raw_us" \
      'BEGIN {if (rt > 0) {us = t / hz * 1e6 / rt; printf "gateway CPU per round trip: %.2f us (includes the connection phase) = %.2f x the raw echo'"'"'s\n", us, (raw > 0 ? us / raw : 0)}}'
    echo "gateway RSS with those clients gone: $(rss_kib "$gwpid") KiB"
  fi
fi
