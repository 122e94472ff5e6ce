#!/usr/bin/env bash
# Configures and builds one tree. Usage: build.sh DIR [cmake -D options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
