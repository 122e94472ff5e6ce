#!/usr/bin/env bash
# Sets up a fresh machine, builds the gateway and runs it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
bash scripts/build.sh --preset release
if [ ! -x build/src/app/gateway ]; then
  echo "run: the gateway is built as far as it exists; the relay is not in place yet."
  exit 0
fi
exec bash scripts/demo.sh
