#!/usr/bin/env bash
# The upgrade proof: a binary upgrade by listener hand-over, and then a plain drain, under a
# load of players that come and go, with exact counts of what the players lost.
#
# The gateway runs headless between the simulated servers (which key every session by link and
# handle and count a handle that comes by the wrong link); `gatesim churn` plays PLAYERS
# players at RATE messages/s, each living a random LIFE (seconds) and coming back at once as a
# new player, while ARRIVALS more players a second arrive besides (living ARRIVAL_LIFE). Then:
#   before    BEFORE_S seconds of steady play;
#   takeover  a second gateway, `gateway --take-over` in the same work folder with the same
#             flags, takes the listening sockets over and asks the old one to drain (its
#             --drain-seconds is TAKEOVER_DRAIN_S, longer than any life, so every old session
#             ends by itself); the phase lasts until the old process has ended;
#   after     AFTER_S seconds on the new process alone;
#   drain     the players stop coming back (as a balancer would once /healthz says 503) and the
#             new process gets SIGTERM with --drain-seconds DRAIN_S: the sessions still open at
#             its deadline are closed with 1001, and only those.
# The report: connects refused or reset, sessions the gateway closed before their end, messages
# lost, cut by a close or delivered to the wrong player, round-trip p50/p99 per phase, how long
# the old process lived after the take-over began, and its resident memory over time (sampled
# every second). Exit 0 when every count that must be zero is zero; 1 otherwise; 77 when the
# gateway has no --take-over (its --help does not list it): the rest of the proof still runs,
# with the plain drain only.
#
# Usage: bench/upgrade/run.sh BUILD_DIR
# Environment: SHORT=1 (200 players, about 30 s, the end-to-end test's run); PLAYERS, RATE,
#   LIFE (MIN-MAX s), ARRIVALS (per s), ARRIVAL_LIFE, BEFORE_S, AFTER_S, TAKEOVER_DRAIN_S,
#   DRAIN_S, NOTICE_S (--drain-notice-seconds of both), BOT_THREADS; GATEWAY, GATESIM (other
#   programs than the build's); GATE_PORT, LOGIC_PORT, LOGIN_PORT, METRICS_PORT (free ones by
#   default); KEEP_WORK=1 keeps the work folder (logs, memory samples).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build folder}" && pwd)
gateway=${GATEWAY:-$build/src/app/gateway}
gatesim=${GATESIM:-$build/tools/gatesim/gatesim}
# shellcheck source=scripts/lib.sh
source "$here/scripts/lib.sh"
require_built upgrade "$build" "$gateway" "$gatesim"

if [[ ${SHORT:-0} == 1 ]]; then
  : "${PLAYERS:=200}" "${LIFE:=2-6}" "${ARRIVALS:=5}" "${ARRIVAL_LIFE:=1-3}" "${BEFORE_S:=6}"
  : "${AFTER_S:=5}" "${TAKEOVER_DRAIN_S:=20}" "${DRAIN_S:=3}" "${NOTICE_S:=2}"
else
  : "${PLAYERS:=2000}" "${LIFE:=10-60}" "${ARRIVALS:=10}" "${ARRIVAL_LIFE:=2-10}"
  : "${BEFORE_S:=60}" "${AFTER_S:=60}" "${TAKEOVER_DRAIN_S:=90}" "${DRAIN_S:=30}" "${NOTICE_S:=3}"
fi
: "${RATE:=10}" "${BOT_THREADS:=2}"

free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
gate_port=${GATE_PORT:-$(free_port)}
logic_port=${LOGIC_PORT:-$(free_port)}
login_port=${LOGIN_PORT:-$(free_port)}
metrics_port=${METRICS_PORT:-$(free_port)}

ulimit -n "$(ulimit -Hn)"
work=$(mktemp -d -t gateway-upgrade.XXXXXX)
old_pid=0 new_pid=0 churn_pid=0 sampler_pids=()
cleanup() {
  exec 3>&- 2>/dev/null || true
  for p in "$churn_pid" "$new_pid" "$old_pid" "${sampler_pids[@]}"; do
    [[ $p != 0 ]] && kill "$p" 2>/dev/null || true
  done
  stop_started
  wait 2>/dev/null || true
  rm -f "$work/control"  # a pipe left behind would hang whoever reads every kept file
  if [[ ${KEEP_WORK:-0} == 1 ]]; then echo "upgrade: logs kept in $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
say() { echo "upgrade: $*"; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.1f", b - a}'; }

# What this gateway offers: the hand-over and the drain options are looked up in its --help.
help_text=$("$gateway" --help 2>&1 || true)
offers() { grep -q -- "$1" <<<"$help_text"; }
takeover=1
offers --take-over || takeover=0
flags=(--headless --metrics "127.0.0.1:$metrics_port")
offers --drain-notice-seconds && flags+=(--drain-notice-seconds "$NOTICE_S")
drain_flag=0
offers --drain-seconds && drain_flag=1

"$gatesim" logic-server --port "$logic_port" --addr 127.0.0.1 --quiet >"$work/logic.log" 2>&1 &
pids+=($!)
"$gatesim" login-server --port "$login_port" --addr 127.0.0.1 --quiet >"$work/login.log" 2>&1 &
pids+=($!)
wait_port "$logic_port" 200
wait_port "$login_port" 200
# The players come from many loopback addresses; no per-address limit stands in the way.
write_gateway_xml "$work/GateWay.xml" "$gate_port" "$logic_port" "$login_port" \
  "<MaxConnOfIPaddr>0</MaxConnOfIPaddr>"

# start_gateway LOG DRAIN_SECONDS [FLAG...]: a gateway in the work folder; its pid in $started.
start_gateway() {
  local log=$1 drain=$2
  shift 2
  local extra=("$@")
  ((drain_flag)) && extra+=(--drain-seconds "$drain")
  (cd "$work" && exec "$gateway" "${flags[@]}" "${extra[@]}" >"$log" 2>&1) &
  started=$!
}
# wait_line FILE TEXT SECONDS PID: until FILE holds TEXT; fails when PID ends or time runs out.
wait_line() {
  for _ in $(seq 1 $(($3 * 10))); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$4" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# sample_rss PID FILE: "seconds-since-start KiB" every second while PID lives.
sample_rss() {
  local t0
  t0=$(now)
  while kill -0 "$1" 2>/dev/null; do
    awk -v t="$(since "$t0")" '/^VmRSS:/ {print t, $2}' "/proc/$1/status" 2>/dev/null >>"$2" || true
    sleep 1
  done
}

start_gateway "$work/gateway-old.log" "$TAKEOVER_DRAIN_S"
old_pid=$started
wait_port "$gate_port" 300
wait_line "$work/gateway-old.log" "LogicSrv 连接成功" 60 "$old_pid" ||
  { say "the gateway did not link to the logic server"; cat "$work/gateway-old.log" >&2; exit 1; }
sample_rss "$old_pid" "$work/rss-old.txt" &
sampler_pids+=($!)

# The players, steered through a pipe: "phase NAME", "hold", "end".
mkfifo "$work/control"
"$gatesim" churn --url "ws://127.0.0.1:$gate_port" -n "$PLAYERS" --rate "$RATE" --life "$LIFE" \
  --arrivals "$ARRIVALS" --arrival-life "$ARRIVAL_LIFE" --threads "$BOT_THREADS" \
  --connect-rate 500 --login-timeout 30 --keys-folder "$work" --sources 127.9.0.1-127.9.255.254 \
  --control --first-phase before <"$work/control" >"$work/churn.txt" 2>"$work/churn-progress.txt" &
churn_pid=$!
exec 3>"$work/control"
control() { echo "$1" >&3; }

say "$PLAYERS players at $RATE messages/s living $LIFE s, $ARRIVALS arrivals/s; before: $BEFORE_S s"
sleep "$BEFORE_S"

old_lived=""
if ((takeover)); then
  control "phase takeover"
  takeover_start=$(now)
  start_gateway "$work/gateway-new.log" "$DRAIN_S" --take-over
  new_pid=$started
  say "takeover: gateway --take-over started (pid $new_pid); the old one (pid $old_pid) drains"
  # Until the old process ends (within its drain time and a margin); the new one failing ends
  # the proof.
  while kill -0 "$old_pid" 2>/dev/null; do
    if ! kill -0 "$new_pid" 2>/dev/null; then
      wait "$new_pid" && rc=0 || rc=$?
      say "FAIL: gateway --take-over ended with status $rc:"
      tail -n 20 "$work/gateway-new.log" >&2
      exit 1
    fi
    if awk -v l="$(since "$takeover_start")" -v d="$TAKEOVER_DRAIN_S" 'BEGIN {exit !(l > d + 30)}'; then
      say "FAIL: the old process still runs $((TAKEOVER_DRAIN_S + 30)) s after the take-over began"
      exit 1
    fi
    sleep 0.2
  done
  wait "$old_pid" 2>/dev/null || true
  old_lived=$(since "$takeover_start")
  old_pid=0
  say "the old process ended ${old_lived} s after the take-over began"
  sample_rss "$new_pid" "$work/rss-new.txt" &
  sampler_pids+=($!)
  control "phase after"
  sleep "$AFTER_S"
  drain_pid=$new_pid
else
  say "this gateway has no --take-over (its --help does not list it): the take-over is skipped;"
  say "the plain drain follows"
  drain_pid=$old_pid
fi

# The plain drain: the balancer's part (no more players sent here) is the players' hold.
control "phase drain"
drain_start=$(now)
if offers --drain-notice-seconds; then
  kill -TERM "$drain_pid"
  control hold
else
  control hold
  sleep 1  # the players' last connects land before the listener closes
  kill -TERM "$drain_pid"
fi
# Its drain time and a margin (a gateway without --drain-seconds drains for 2 s).
for _ in $(seq 1 $(((DRAIN_S + 30) * 5))); do
  kill -0 "$drain_pid" 2>/dev/null || break
  sleep 0.2
done
if kill -0 "$drain_pid" 2>/dev/null; then
  say "FAIL: the draining process still runs $((DRAIN_S + 30)) s after SIGTERM"
  exit 1
fi
wait "$drain_pid" 2>/dev/null || true
drain_lived=$(since "$drain_start")
[[ $drain_pid == "$new_pid" ]] && new_pid=0 || old_pid=0
say "the draining process ended after ${drain_lived} s"
control end
exec 3>&-
wait "$churn_pid" && churn_rc=0 || churn_rc=$?
churn_pid=0
stop_started
pids=()
for p in "${sampler_pids[@]}"; do wait "$p" 2>/dev/null || true; done
sampler_pids=()

# ---- the report
cat "$work/churn.txt"
field() { sed -n "s/^$1: .*, $2 \([0-9.]*\).*/\1/p" "$work/churn.txt" | head -n 1; }
failures=()
check_zero() {  # PHASE KEY...
  local phase=$1 key v
  shift
  for key in "$@"; do
    v=$(field "$phase" "$key")
    [[ ${v:-x} == 0 ]] || failures+=("$phase: $key ${v:-missing}")
  done
}
phases=("phase before")
((takeover)) && phases+=("phase takeover" "phase after")
for p in "${phases[@]}"; do
  check_zero "$p" refused reset "connect failed" "upgrade failed" "gateway closed" cut
done
check_zero "phase drain" refused reset "connect failed" "upgrade failed"
check_zero total lost misdelivered "bad echoes" "other errors" "login timeouts"
closed=$(field "phase drain" "gateway closed")
going=$(field "phase drain" "going away")
[[ ${closed:-x} == "${going:-y}" ]] ||
  failures+=("drain: ${closed:-?} sessions closed by the gateway, only ${going:-?} of them with 1001")
# The gateway relays for the drain's time less the close frames' grace (the last 2 s, or all
# of a shorter drain), then closes whoever is left with 1001. A drain that ended well before
# that moment had no session left to close.
relay_s=$((DRAIN_S > 2 ? DRAIN_S - 2 : 0))
if ((drain_flag)) && awk -v l="$drain_lived" -v d="$relay_s" 'BEGIN {exit !(l < d - 1)}' &&
  [[ ${closed:-0} != 0 ]]; then
  failures+=("drain: ended after ${drain_lived} s, before its relay time of ${relay_s} s, yet closed ${closed} sessions")
fi
[[ $churn_rc == 0 ]] || failures+=("gatesim churn ended with status $churn_rc")
for server in logic login; do
  stats=$(grep 'stats:' "$work/$server.log" | tail -n 1)
  misrouted=$(sed -n 's/.*misrouted \([0-9]*\).*/\1/p' <<<"$stats")
  [[ ${misrouted:-x} == 0 ]] || failures+=("$server server: misrouted ${misrouted:-missing}")
  say "$server server: ${stats#*stats: }"
done
if grep -Eq "ERROR: (AddressSanitizer|LeakSanitizer)|runtime error:" "$work"/gateway-*.log; then
  failures+=("sanitizer report in a gateway's output")
fi

echo
printf '%-9s %8s %7s %6s %8s %6s %5s %6s %9s %9s\n' phase seconds refused reset closed lost cut wrong "p50 ms" "p99 ms"
for p in "${phases[@]}" "phase drain" total; do
  printf '%-9s %8s %7s %6s %8s %6s %5s %6s %9s %9s\n' "${p#phase }" \
    "$(sed -n "s/^$p: \([0-9.]*\) s,.*/\1/p" "$work/churn.txt")" "$(field "$p" refused)" \
    "$(field "$p" reset)" "$(field "$p" "gateway closed")" "$(field "$p" lost)" \
    "$(field "$p" cut)" "$(field "$p" misdelivered)" "$(field "$p" p50)" "$(field "$p" p99)"
done
if ((takeover)); then
  echo "old process: lived ${old_lived} s after the take-over began (its drain limit ${TAKEOVER_DRAIN_S} s)"
  if [[ -s $work/rss-old.txt ]]; then
    echo "old process resident memory (s since its start: MiB), every 5th sample:"
    awk 'NR % 5 == 1 {printf "  %s: %.1f\n", $1, $2 / 1024}' "$work/rss-old.txt"
  fi
fi
deadline="${relay_s} s of relaying, the last 2 s of the ${DRAIN_S} s being the close frames' grace"
((drain_flag)) || deadline="the fixed 2 s of a gateway without --drain-seconds"
echo "drain: ${closed:-?} sessions were open at the deadline ($deadline) and closed with 1001;" \
  "the process ended after ${drain_lived} s"

if ((${#failures[@]} > 0)); then
  for f in "${failures[@]}"; do say "FAIL: $f"; done
  exit 1
fi
if ((!takeover)); then
  say "passed without the take-over (the gateway has no --take-over)"
  exit 77
fi
say "passed"
