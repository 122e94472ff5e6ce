#!/usr/bin/env bash
# Configures and builds one tree. Usage: build.sh DIR [cmake -D options...]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
# Paths under the parent folder are hashed relative, so several checkouts share cache hits.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
