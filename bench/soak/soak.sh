#!/usr/bin/env bash
# Soak: the gateway between the simulated servers while bots come and go at random and the
# servers inject their faults in turn (restarting a server is itself a dropped link). Fails
# (exit 1) and says why on: a gateway crash, a sanitizer report in its output, a message
# delivered to the wrong bot, a session registered or closed at the logic server other than
# once per life (open, close, open, close ... per handle, all closed at the end), a session
# registered twice at the login server, resident memory still growing over the steady rounds
# at the end, or a stop (SIGTERM) that does not end within STOP_BOUND seconds.
#
# Usage: bench/soak/soak.sh BUILD_DIR [short|long]
#   short   under a minute, a few hundred bots: for CI, e.g. on an ASan build
#   long    about ten minutes, a few thousand bots
# Environment: GATE_PORT, LOGIC_PORT, LOGIN_PORT (free ports by default, so that a soak never
# meets another program's servers), STOP_BOUND (20), KEEP_WORK=1 keeps the scratch folder (logs).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build folder}" && pwd)
mode=${2:-short}
gateway=$build/src/app/gateway
gatesim=$build/tools/gatesim/gatesim
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
gate_port=${GATE_PORT:-$(free_port)}
logic_port=${LOGIC_PORT:-$(free_port)}
login_port=${LOGIN_PORT:-$(free_port)}
stop_bound=${STOP_BOUND:-20}

case "$mode" in
  short) groups=4; group_bots=60; phase_s=5; steady_rounds=3; round_s=4 ;;
  long) groups=6; group_bots=500; phase_s=50; steady_rounds=6; round_s=20 ;;
  *) echo "soak: mode is short or long" >&2; exit 2 ;;
esac

ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d -t gateway-soak.XXXXXX)
# shellcheck source=scripts/lib.sh
source "$here/scripts/lib.sh"
failures=()
fail() { failures+=("$1"); echo "soak: FAIL: $1" >&2; }

logic_pid=0 login_pid=0 gw_pid=0 churn_pids=()
cleanup() {
  for p in "${churn_pids[@]}" "$logic_pid" "$login_pid" "$gw_pid"; do
    [[ $p != 0 ]] && kill "$p" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  if [[ ${KEEP_WORK:-0} == 1 ]]; then echo "soak: logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

# (Re)starts a simulated server with the given fault options; its log is appended to.
start_logic() {
  [[ $logic_pid != 0 ]] && { kill "$logic_pid" 2>/dev/null || true; wait "$logic_pid" 2>/dev/null || true; }
  "$gatesim" logic-server --port "$logic_port" --addr 127.0.0.1 "$@" >>"$work/logic.log" 2>&1 &
  logic_pid=$!
  wait_port "$logic_port" 200
}
start_login() {
  [[ $login_pid != 0 ]] && { kill "$login_pid" 2>/dev/null || true; wait "$login_pid" 2>/dev/null || true; }
  "$gatesim" login-server --port "$login_port" --addr 127.0.0.1 "$@" >>"$work/login.log" 2>&1 &
  login_pid=$!
  wait_port "$login_port" 200
}

start_logic
start_login
write_gateway_xml "$work/GateWay.xml" "$gate_port" "$logic_port" "$login_port" \
  "<CheckServerTimeOutTime>15000</CheckServerTimeOutTime>"
(cd "$work" && exec "$gateway" --headless >"$work/gateway.log" 2>&1) &
gw_pid=$!
wait_port "$gate_port" 300

# One churning group: bot runs of random size and length, one after another, until told to
# stop; every run's summary goes to the group's file.
churn() {
  local group=$1
  while [[ ! -e $work/stop-churn ]]; do
    local n=$((group_bots / 2 + RANDOM % (group_bots / 2 + 1)))
    local d=$((1 + RANDOM % 4))
    "$gatesim" clients --url "ws://127.0.0.1:$gate_port" -n "$n" --rate 5 --duration "$d" \
      --threads 1 --connect-rate 500 --login-timeout 15 --drain 1 --no-progress \
      --sources "127.3.$group.1-127.3.$group.254" \
      >>"$work/bots-$group.log" 2>&1 || true
    sleep 0.$((RANDOM % 10))  # refused runs (the logic link is down) end at once
  done
}
for g in $(seq 1 "$groups"); do
  churn "$g" &
  churn_pids+=($!)
done

alive() { kill -0 "$gw_pid" 2>/dev/null; }
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$gw_pid/status" 2>/dev/null || echo 0; }

# The faults in turn, each for one phase; between them the servers run clean.
phases=(
  "logic:--late-frames --garbage-every 1"
  "login:--late-frames --garbage-every 1"
  "login:--drop-every 3"
  "logic:--drop-every 3"
  "login:--read-slowly 20000"
  "logic:--read-slowly 200000"
  "login:--stop-reading-after 2"
  "logic:--stop-reading-after 2"
  "login:--no-keepalive-answer"
  "logic:--no-keepalive-answer --check-every-ms 0 --echo-every-ms 0"
)
for phase in "${phases[@]}"; do
  server=${phase%%:*}
  read -r -a opts <<<"${phase#*:}"
  echo "soak: $server server with ${opts[*]} for ${phase_s} s"
  if [[ $server == logic ]]; then start_logic "${opts[@]}"; else start_login "${opts[@]}"; fi
  sleep "$phase_s"
  alive || break
  if [[ $server == logic ]]; then start_logic; else start_login; fi
done

# Steady rounds with clean servers: resident memory at the end of each.
rss=()
for r in $(seq 1 "$steady_rounds"); do
  alive || break
  sleep "$round_s"
  rss+=("$(rss_kib)")
  echo "soak: steady round $r: gateway resident ${rss[-1]} KiB"
done

touch "$work/stop-churn"
for p in "${churn_pids[@]}"; do wait "$p" 2>/dev/null || true; done
churn_pids=()
sleep 3  # the last closes reach the servers

if ! alive; then
  fail "the gateway died"
else
  started=$(date +%s)
  kill -TERM "$gw_pid"
  for _ in $(seq 1 $((stop_bound * 10))); do alive || break; sleep 0.1; done
  if alive; then
    fail "SIGTERM did not end the gateway within $stop_bound s"
    kill -KILL "$gw_pid" 2>/dev/null || true
  else
    echo "soak: the gateway stopped in $(($(date +%s) - started)) s"
  fi
  wait "$gw_pid" 2>/dev/null || true
fi
gw_pid=0

if grep -Eq "ERROR: (AddressSanitizer|LeakSanitizer|ThreadSanitizer)|runtime error:|WARNING: ThreadSanitizer" \
  "$work/gateway.log"; then
  fail "sanitizer report in the gateway's output"
  grep -E -m 5 "Sanitizer|runtime error:" "$work/gateway.log" >&2 || true
fi

misdelivered=$(sed -n 's/^misdelivered: \([0-9]*\).*/\1/p' "$work"/bots-*.log | awk '{s += $1} END {print s + 0}')
runs=$(grep -c '^misdelivered:' "$work"/bots-*.log | awk -F: '{s += $2} END {print s + 0}')
echo "soak: $runs bot runs, $misdelivered messages reached the wrong bot"
[[ $misdelivered == 0 ]] || fail "$misdelivered messages delivered to the wrong bot"
[[ $runs -gt 0 ]] || fail "no bot run finished"

# Per logic server process (a restart forgets every session), each handle is opened once and
# closed once, and none is left open by the last one. A close for a handle this process never
# saw opened belongs to a session registered with an earlier process: reported, not a failure
# (its open may have died in flight with the old connection).
awk '
  /logic: listening on/ { delete state }
  /session opened [0-9]+/ { h = $0; sub(/.*session opened /, "", h); sub(/ .*/, "", h)
    if (state[h] == 1) dup_open++; state[h] = 1; opens++ }
  /session closed [0-9]+/ { h = $0; sub(/.*session closed /, "", h); sub(/ .*/, "", h)
    if (state[h] == 2) dup_close++; else if (state[h] != 1) earlier++; state[h] = 2; closes++ }
  END { left = 0; for (h in state) if (state[h] == 1) left++
    printf "soak: logic server: %d opened, %d closed (%d of an earlier process), %d opened twice, %d closed twice, %d left open\n", opens, closes, earlier, dup_open, dup_close, left
    exit (dup_open + dup_close + left) > 0 }' "$work/logic.log" ||
  fail "sessions registered or closed at the logic server other than once"
# A lost login link drops the closes meant for it (by design): its sessions start over.
awk '
  /gateway link [0-9]+ gone/ { delete open }
  /session [0-9]+ opened/ { h = $0; sub(/.*session /, "", h); sub(/ .*/, "", h)
    if (open[h]) dup++; open[h] = 1; opens++ }
  /session [0-9]+ (closed by its client|logged in)/ { h = $0; sub(/.*session /, "", h); sub(/ .*/, "", h); open[h] = 0 }
  END { printf "soak: login server: %d opened, %d opened twice\n", opens, dup; exit dup > 0 }' \
  "$work/login.log" || fail "sessions registered twice at the login server"

# Memory: after the first steady round (warm-up), no more than 10% + 32 MiB of growth.
if ((${#rss[@]} >= 3)); then
  first=${rss[1]} last=${rss[-1]}
  if ((last > first + first / 10 + 32768)); then
    fail "gateway memory grew from $first KiB to $last KiB over the steady rounds"
  fi
fi

if ((${#failures[@]} > 0)); then
  echo "soak: ${#failures[@]} failure(s)"
  exit 1
fi
echo "soak: passed"
