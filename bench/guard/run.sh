#!/usr/bin/env bash
# What attacks cost honest clients, with the gateway's protection settings on and off. For each
# attack mode of `gatesim attack` (and a run without attack), a fresh gateway (headless, in a
# scratch folder, between the simulated logic and login servers) serves BOTS honest bots at 10
# messages/s while ATTACKERS attacking connections run beside them; the honest bots' round-trip
# p50/p99 and errors are reported per mode, with protection on and off.
#
# Honest bots come from 127.1.0.1-127.1.0.250, attackers from 127.0.0.2-127.0.0.200, so the
# per-address rules see a few connections per address (both ranges are loopback on Linux).
#
# Usage: bench/guard/run.sh BUILD_DIR [BOTS (100)] [ATTACKERS (200)] [SECONDS (10)]
# Environment: GATE_PORT (17300), LOGIC_PORT (15100), LOGIN_PORT (15600), MODES (all).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?build folder}" && pwd)
bots=${2:-100}
attackers=${3:-200}
seconds=${4:-10}
gateway=$build/src/app/gateway
gatesim=$build/tools/gatesim/gatesim
gate_port=${GATE_PORT:-17300}
logic_port=${LOGIC_PORT:-15100}
login_port=${LOGIN_PORT:-15600}
modes=${MODES:-none silent slowloris no-answer oversize msg-flood conn-flood}
ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d -t guard-bench.XXXXXX)
# shellcheck source=scripts/lib.sh
source "$here/scripts/lib.sh"
gw_pid=
stop_gateway() {
  if [ -n "$gw_pid" ]; then
    kill "$gw_pid" 2>/dev/null || true
    wait "$gw_pid" 2>/dev/null || true
    gw_pid=
  fi
}
cleanup() {
  stop_gateway
  stop_started
  if [ -n "${KEEP_OUTPUT:-}" ]; then cp "$work"/*.out "$work"/*.log "$KEEP_OUTPUT"/ 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT


# protection on: the defaults, a 3 s client time-out, a flood window, attackers blocked for 12 s.
protection_on='	<MaxConnOfIPaddr>10</MaxConnOfIPaddr>
	<ClientTimeOut>3000</ClientTimeOut>
	<MaxClientPacketSize>7000</MaxClientPacketSize>
	<KickOverPacketSize>True</KickOverPacketSize>
	<MaxClientMsgCount>20</MaxClientMsgCount>
	<ConnectionATKSec>1</ConnectionATKSec>
	<ConnectionATKCount>20</ConnectionATKCount>
	<BlockMethod>mBlock</BlockMethod>
	<ClearTempList>True</ClearTempList>
	<ClearTempBlockListTime>12000</ClearTempBlockListTime>'
protection_off='	<MaxConnOfIPaddr>0</MaxConnOfIPaddr>
	<ClientTimeOut>0</ClientTimeOut>
	<KickOverPacketSize>False</KickOverPacketSize>
	<MaxClientMsgCount>0</MaxClientMsgCount>
	<ConnectionATKSec>0</ConnectionATKSec>
	<ConnectionATKCount>0</ConnectionATKCount>'

# Fresh simulated servers with every gateway: what an unprotected run let through to them
# (floods of login messages) must not weigh on the next run.
start_gateway() {
  stop_started
  pids=()
  "$gatesim" logic-server --port "$logic_port" --addr 127.0.0.1 --quiet >"$work/logic.log" 2>&1 &
  pids+=($!)
  "$gatesim" login-server --port "$login_port" --addr 127.0.0.1 --quiet >"$work/login.log" 2>&1 &
  pids+=($!)
  wait_port "$logic_port" 200
  wait_port "$login_port" 200
  rm -f "$work/BlockIPList.txt"
  write_gateway_xml "$work/GateWay.xml" "$gate_port" "$logic_port" "$login_port" "$1"
  (cd "$work" && exec "$gateway" --headless >"$work/gateway.log" 2>&1) &
  gw_pid=$!
  wait_port "$gate_port" 200
  sleep 2  # the links connect on their next turn
}

printf '%-11s %-10s %10s %10s %7s  %s\n' mode protection p50 p99 errors attack
for mode in $modes; do
  for protection in on off; do
    if [ "$protection" = on ]; then start_gateway "$protection_on"; else start_gateway "$protection_off"; fi
    attack_out=""
    if [ "$mode" != none ]; then
      "$gatesim" attack --url "ws://127.0.0.1:$gate_port" --mode "$mode" -n "$attackers" \
        --duration "$((seconds + 8))" --sources 127.0.0.2-127.0.0.200 --keys-folder "$work" \
        >"$work/attack.out" 2>&1 &
      attack_pid=$!
      sleep 2  # the attack is under way before the honest bots come
    fi
    out=$("$gatesim" clients --url "ws://127.0.0.1:$gate_port" -n "$bots" --rate 10 \
      --duration "$seconds" --threads 2 --login-timeout 30 --no-progress \
      --sources 127.1.0.1-127.1.0.250 --keys-folder "$work" 2>&1 || true)
    if [ "$mode" != none ]; then
      wait "$attack_pid" || true
      attack_out=$(sed -n 's/^attack [a-z-]*: //p' "$work/attack.out")
    fi
    echo "$out" >>"$work/clients.out"
    p50=$(sed -n 's/^round trip: p50 \([0-9.]* ms\).*/\1/p' <<<"$out")
    p99=$(sed -n 's/^round trip: .*p99 \([0-9.]* ms\).*/\1/p' <<<"$out")
    errors=$(sed -n 's/^errors: \([0-9]*\).*/\1/p' <<<"$out")
    printf '%-11s %-10s %10s %10s %7s  %s\n' "$mode" "$protection" "${p50:-?}" "${p99:-?}" \
      "${errors:-?}" "$attack_out"
    stop_gateway
  done
done
