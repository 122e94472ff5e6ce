#!/usr/bin/env bash
# Transport benchmark: echo round trips of ws-echo (ws and wss) against a raw TCP echo
# (both epoll models), handshakes per second (ws and wss), and ws-echo's resident memory
# per idle connection.
#
# Usage: bench/net/run_bench.sh [BUILD_DIR]   (a Release tree; targets are built here)
# Environment: ROUNDS (3), SECONDS_PER_RUN (10), CONNECTIONS (200), SIZE (32),
#              INFLIGHT (8), IDLE_CONNECTIONS (10000).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$here/build-bench}
rounds=${ROUNDS:-3}
secs=${SECONDS_PER_RUN:-10}
conns=${CONNECTIONS:-200}
size=${SIZE:-32}
inflight=${INFLIGHT:-8}
idle=${IDLE_CONNECTIONS:-10000}

# 10,000 idle connections need that many descriptors on each side.
ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" -lt $((idle + 100)) ]; then
  echo "descriptor limit $(ulimit -n) is below $((idle + 100)); lower IDLE_CONNECTIONS" >&2
  exit 1
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DGW_BUILD_TESTS=OFF \
    -DGW_BUILD_CONSOLE=OFF >/dev/null
fi
cmake --build "$build" --target ws-echo raw-echo ws-load -j 2 >/dev/null
wsecho=$build/tools/ws-echo/ws-echo
rawecho=$build/bench/net/raw-echo
load=$build/bench/net/ws-load

# wss: a self-signed certificate made for the run (P-256, as Let's Encrypt issues by
# default for ECDSA keys); the clients do not check it, the server's cost is measured.
tlsdir=$(mktemp -d)
trap 'rm -rf "$tlsdir"' EXIT
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$tlsdir/key.pem" -out "$tlsdir/cert.pem" 2>/dev/null
tls=(--tls-cert "$tlsdir/cert.pem" --tls-key "$tlsdir/key.pem")

server_pid=
start_server() {  # command... ; sets server_port and server_pid
  local out
  out=$(mktemp)
  "$@" >"$out" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on" "$out" && break
    sleep 0.05
  done
  server_port=$(awk '/listening on/ {print $3}' "$out")
  rm -f "$out"
}
stop_server() {
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
}

declare -A results
run_one() {  # label, load args, server command...
  local label=$1 args=$2
  shift 2
  start_server "$@"
  local line
  # shellcheck disable=SC2086
  line=$("$load" --port "$server_port" --connections "$conns" --size "$size" \
    --inflight "$inflight" --warmup 2 --seconds "$secs" $args)
  stop_server
  echo "  $label: $line"
  results[$label]+="$(sed -n 's/.*msgs_per_s=\([0-9]*\).*/\1/p' <<<"$line") "
}

echo "== echo round trips: $conns connections, $size-byte messages, $inflight in flight, ${secs}s x $rounds"
for r in $(seq "$rounds"); do
  echo "round $r"
  run_one raw-perthread "--tcp" "$rawecho" 0 --mode perthread --threads 8
  run_one raw-oneshot "--tcp" "$rawecho" 0 --mode oneshot --threads 8
  run_one ws-echo "" "$wsecho" 0 --threads 8
  run_one ws-echo-nodelay "" "$wsecho" 0 --threads 8 --nodelay
  run_one wss-echo "--tls" "$wsecho" 0 --threads 8 "${tls[@]}"
done

median() { tr ' ' '\n' | grep -v '^$' | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
base=$(median <<<"${results[raw-perthread]}")
# Each round runs the servers back to back, so the ratio within a round is the figure
# least disturbed by other load on the machine.
paired() {  # label: median over rounds of label / raw-perthread of the same round
  paste -d' ' <(tr ' ' '\n' <<<"${results[$1]}" | grep -v '^$') \
    <(tr ' ' '\n' <<<"${results[raw-perthread]}" | grep -v '^$') |
    awk '{printf "%.4f\n", $1 / $2}' | median
}
echo "== medians (messages/s; share of raw-perthread: of the medians / median of per-round ratios)"
for label in raw-perthread raw-oneshot ws-echo ws-echo-nodelay wss-echo; do
  m=$(median <<<"${results[$label]}")
  p=$(paired "$label")
  awk -v l="$label" -v m="$m" -v b="$base" -v p="$p" \
    'BEGIN {printf "  %-16s %9d  %5.1f%%  %5.1f%%\n", l, m, 100 * m / b, 100 * p}'
done

echo "== handshakes/s: connect, (TLS,) upgrade, reset; 2 client threads on the same machine, ${secs}s"
for r in $(seq "$rounds"); do
  start_server "$wsecho" 0 --threads 8
  echo "  $("$load" --port "$server_port" --handshakes --threads 2 --warmup 1 --seconds "$secs")"
  stop_server
  start_server "$wsecho" 0 --threads 8 "${tls[@]}"
  echo "  $("$load" --port "$server_port" --tls --handshakes --threads 2 --warmup 1 --seconds "$secs")"
  stop_server
done

echo "== resident memory per idle WebSocket connection ($idle connections)"
start_server "$wsecho" 0 --threads 8
"$load" --port "$server_port" --idle --server-pid "$server_pid" --connections "$idle"
stop_server
