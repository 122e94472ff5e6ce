# shellcheck shell=bash
# Shell helpers shared by the demo, load and soak scripts (source it; bash only).

# The programs a script started, in start order; stop_started ends them.
pids=()

# Ends every started program, last started first, and waits for each to go.
stop_started() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
}

# wait_port PORT TRIES: waits until something listens on 127.0.0.1:PORT, trying every 0.1 s;
# fails with a message naming the calling script after TRIES tries.
wait_port() {
  for _ in $(seq 1 "$2"); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "$(basename "$0" .sh): nothing listens on port $1" >&2
  return 1
}

# write_gateway_xml FILE GATE_PORT LOGIC_PORT LOGIN_PORT [EXTRA_ELEMENTS]: a GateWay.xml with
# the gateway on GATE_PORT between servers on 127.0.0.1, four workers, and any further
# elements (one per line, e.g. "<MaxConnOfIPaddr>0</MaxConnOfIPaddr>"); the rest default.
write_gateway_xml() {
  cat >"$1" <<XML
<TGateWayConfigure>
	<GatePort>$2</GatePort>
	<ServerAddr>127.0.0.1</ServerAddr>
	<ServerPort>$3</ServerPort>
	<LoginSrvAddr>127.0.0.1</LoginSrvAddr>
	<LoginSrvPort>$4</LoginSrvPort>
	<WokerCount>4</WokerCount>
${5:-}
</TGateWayConfigure>
XML
}

# require_built NAME BUILD EXE...: exits with a hint when a program of the build is missing.
require_built() {
  local name=$1 build=$2
  shift 2
  local exe
  for exe in "$@"; do
    if [ ! -x "$exe" ]; then
      echo "$name: $exe is missing; build first (scripts/build.sh $build)" >&2
      exit 1
    fi
  done
}
