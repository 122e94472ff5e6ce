#!/usr/bin/env bash
# Loads the gateway with gatesim on this machine: the simulated logic and login servers (quiet),
# the gateway headless in a scratch folder (4 workers), then `gatesim clients` watching the
# gateway's process for CPU and resident memory.
#
# Usage: bench/gatesim/load.sh BUILD_DIR MODE
#   standard         1,000 bots at 10 messages/s each for 30 s
#   ladder           1,000, 2,000, 3,000 ... bots at 10 messages/s for 20 s each, until the
#                    round-trip p99 reaches 50 ms, an error occurs or LADDER_MAX bots (10,000)
#   idle             10,000 bots logged in and silent: the gateway's resident memory per session
#   custom N RATE S  N bots at RATE messages/s for S seconds
# Environment: GATE_PORT (17200), LOGIC_PORT (15000), LOGIN_PORT (15500), BOT_THREADS (2).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build folder}" && pwd)
mode=${2:?mode}
gateway=$build/src/app/gateway
gatesim=$build/tools/gatesim/gatesim
gate_port=${GATE_PORT:-17200}
logic_port=${LOGIC_PORT:-15000}
login_port=${LOGIN_PORT:-15500}
threads=${BOT_THREADS:-2}

# The bots are spread over 127.1.0.0/16 (loopback), one or a few per address, so the gateway's
# per-address limit (MaxConnOfIPaddr) and flood window see what many real players would make.
# Ten thousand bots and as many gateway connections need descriptors.
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d -t gatesim-load.XXXXXX)
# shellcheck source=scripts/lib.sh
source "$here/scripts/lib.sh"
cleanup() {
  stop_started
  rm -rf "$work"
}
trap cleanup EXIT

"$gatesim" logic-server --port "$logic_port" --addr 127.0.0.1 --quiet >"$work/logic.log" 2>&1 &
pids+=($!)
"$gatesim" login-server --port "$login_port" --addr 127.0.0.1 --quiet >"$work/login.log" 2>&1 &
pids+=($!)
wait_port "$logic_port" 200
wait_port "$login_port" 200
write_gateway_xml "$work/GateWay.xml" "$gate_port" "$logic_port" "$login_port"
(cd "$work" && exec "$gateway" --headless >"$work/gateway.log" 2>&1) &
gw_pid=$!
pids+=("$gw_pid")
wait_port "$gate_port" 200
sleep 2  # the links connect on their next turn

rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$gw_pid/status"; }

clients() {
  "$gatesim" clients --url "ws://127.0.0.1:$gate_port" -n "$1" --rate "$2" --duration "$3" \
    --threads "$threads" --connect-rate 2000 --login-timeout 60 --watch-pid "$gw_pid" \
    --no-progress --sources 127.1.0.1-127.1.255.254
}

case "$mode" in
  standard)
    clients 1000 10 30
    ;;
  custom)
    clients "${3:?N}" "${4:?RATE}" "${5:?SECONDS}"
    ;;
  ladder)
    max=${LADDER_MAX:-10000}
    for n in $(seq 1000 1000 "$max"); do
      out=$(clients "$n" 10 20 || true)
      echo "$out"
      echo
      p99=$(sed -n 's/^round trip: .*p99 \([0-9.]*\) ms.*/\1/p' <<<"$out")
      errors=$(sed -n 's/^errors: \([0-9]*\).*/\1/p' <<<"$out")
      if [ "${errors:-1}" != 0 ] || awk -v p="${p99:-999}" 'BEGIN {exit !(p >= 50)}'; then
        echo "load: stopped at $n bots (p99 ${p99:-?} ms, errors ${errors:-?})"
        break
      fi
      sleep 3  # let the gateway settle its closes
    done
    ;;
  idle)
    before=$(rss_kib)
    out=$(clients 10000 0 15 || true)
    echo "$out"
    during=$(sed -n 's/.*resident \([0-9.]*\) MiB at start.*/\1/p' <<<"$out")
    awk -v b="$before" -v d="$during" 'BEGIN {
      printf "gateway resident memory: %.1f MiB without sessions, %.1f MiB with 10,000 idle sessions: %.2f KiB per session\n",
        b / 1024, d, (d * 1024 - b) / 10000 }'
    ;;
  *)
    echo "load: unknown mode $mode" >&2
    exit 2
    ;;
esac
