#!/usr/bin/env bash
# Builds the libraries with clang's thread-safety analysis as errors: a member touched
# without the lock it is GUARDED_BY, or a function called against its REQUIRES/EXCLUDES
# (common/ThreadSafety.h), fails the build. Libraries only: the analysis is a property of
# the code that holds the locks. Usage: thread-safety.sh [DIR] (default build-thread-safety)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-build-thread-safety}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DGW_THREAD_SAFETY_ANALYSIS=ON -DGW_BUILD_TESTS=OFF -DGW_BUILD_CONSOLE=OFF \
  -DGW_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target gw_common gw_logging gw_codec gw_net gw_gate \
  gw_config gw_links gw_core
