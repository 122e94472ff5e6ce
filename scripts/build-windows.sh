#!/usr/bin/env bash
# Cross-builds the Windows programs and tests with mingw-w64 into a tree of their own.
# Usage: build-windows.sh [DIR] [cmake -D options...]   (DIR defaults to build-windows)
# The libraries come from the sysroot of scripts/win-deps.sh, which this runs first (a no-op
# when the sysroot is current).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=build-windows
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  dir=$1
  shift
fi
sysroot=$(bash "$here/scripts/win-deps.sh" | tail -n 1)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
# The operator console needs Qt built for Windows, which Debian does not carry: off here.
# GW_LINUX_TOOLS_DIR: a Linux build's tools folder; its gatesim and gatekit serve the
# Windows gateway in the end-to-end test (left out without it).
cmake -S "$here" -B "$dir" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" -DGW_WIN_SYSROOT="$sysroot" \
  -DGW_LINUX_TOOLS_DIR="${GW_LINUX_TOOLS_DIR:-}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGW_BUILD_CONSOLE=OFF -DGW_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
