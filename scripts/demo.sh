#!/usr/bin/env bash
# Runs the whole relay on this machine: the simulated logic server (port 5000) and
# login server (port 5500), the gateway headless in a work folder (it writes its
# default GateWay.xml there: clients on port 7200), then a handful of bot clients
# that pass the token check, log in, are handed over and play. The gateway's log
# is shown; the simulated servers' lines go to files in the work folder.
#
# Usage: scripts/demo.sh [BUILD_DIR]    (default: build)
# Environment: DEMO_DIR (work folder, default: a new temporary folder),
#              DEMO_CLIENTS (default 5), DEMO_RATE (messages/s per bot, default 2),
#              DEMO_DURATION (seconds, default 20), DEMO_KEEP=1 (keep running until Ctrl-C).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
gateway=$build/src/app/gateway
gatesim=$build/tools/gatesim/gatesim
# shellcheck source=scripts/lib.sh
source "$here/scripts/lib.sh"
require_built demo "$build" "$gateway" "$gatesim"

work=${DEMO_DIR:-$(mktemp -d -t gateway-demo.XXXXXX)}
mkdir -p "$work"
echo "demo: work folder $work"

# Gateway first (last started), so that it reports its clients' departure to the servers.
trap stop_started EXIT
trap 'exit 130' INT TERM

(cd "$work" && exec "$gatesim" logic-server --port 5000 >logic-server.log 2>&1) &
pids+=($!)
(cd "$work" && exec "$gatesim" login-server --port 5500 >login-server.log 2>&1) &
pids+=($!)
wait_port 5000 100
wait_port 5500 100

(cd "$work" && exec "$gateway" --headless) &
pids+=($!)
wait_port 7200 100
sleep 1  # the links connect on their next turn

# The bots come from addresses of their own (all loopback), so that the gateway's
# per-address limit (MaxConnOfIPaddr, 10 by default) does not refuse a larger demo.
"$gatesim" clients --url ws://127.0.0.1:7200 -n "${DEMO_CLIENTS:-5}" --rate "${DEMO_RATE:-2}" \
  --duration "${DEMO_DURATION:-20}" --keys-folder "$work" --sources 127.1.0.1-127.1.255.254

echo "demo: logic server said:"
tail -n 5 "$work/logic-server.log"
echo "demo: login server said:"
tail -n 5 "$work/login-server.log"
if [ "${DEMO_KEEP:-0}" = 1 ]; then
  echo "demo: still running (gateway on ws://127.0.0.1:7200); Ctrl-C ends it"
  wait "${pids[2]}"
fi
