#!/usr/bin/env bash
# Configures and builds one tree.
# Usage: build.sh --preset NAME [cmake -D options...]   (a preset of CMakePresets.json:
#                                                        release, asan, tsan, fuzz, windows)
#        build.sh DIR [cmake -D options...]             (a tree of your own)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
# Paths under the parent folder are hashed relative, so several checkouts share cache hits.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
if [ "${1:-}" = "--preset" ]; then
  preset=$2
  shift 2
  cmake -S "$here" --preset "$preset" "$@" >/dev/null
  # A build preset is looked up in the current folder.
  cd "$here"
  cmake --build --preset "$preset" -j "$(nproc)"
  exit
fi
dir=$1; shift
cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
