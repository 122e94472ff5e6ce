#!/usr/bin/env bash
# Cross-builds the Windows programs and tests with mingw-w64 into a tree of their own.
# Usage: build-windows.sh [--console] [DIR] [cmake -D options...]   (DIR: build-windows)
# The libraries come from the sysroot of scripts/win-deps.sh, which this runs first (a no-op
# when the sysroot is current).
# The operator console needs Qt built for Windows, which Debian does not carry: it is built
# when scripts/win-qt.sh has cached that Qt, and --console builds the cache first when it is
# missing (about 30 minutes, once).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
console=false
if [ "${1:-}" = "--console" ]; then
  console=true
  shift
fi
dir=build-windows
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  dir=$1
  shift
fi
sysroot=$(bash "$here/scripts/win-deps.sh" | tail -n 1)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
if $console; then
  qt=$(bash "$here/scripts/win-qt.sh" | tail -n 1)
else
  qt=$(bash "$here/scripts/win-qt.sh" --cached 2>/dev/null | tail -n 1) || qt=
fi
if [ -n "$qt" ]; then
  qt_options=(-DGW_WIN_QT="$qt" -DGW_BUILD_CONSOLE=ON)
else
  echo "build-windows: no Qt for Windows cached; the operator console is left out" \
       "(build-windows.sh --console builds it)" >&2
  qt_options=(-DGW_WIN_QT= -DGW_BUILD_CONSOLE=OFF)
fi
# GW_LINUX_TOOLS_DIR: a Linux build's tools folder; its gatesim and gatekit serve the
# Windows gateway in the end-to-end test (left out without it).
# The preset "windows" (CMakePresets.json) holds the toolchain file and the build type.
cmake -S "$here" --preset windows -B "$dir" -DGW_WIN_SYSROOT="$sysroot" \
  -DGW_LINUX_TOOLS_DIR="${GW_LINUX_TOOLS_DIR:-}" "${qt_options[@]}" "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
