#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, AddressSanitizer + UBSan) in a tree of their own
# and runs each for SECONDS_PER_TARGET seconds (default 60), starting from its seed corpus in
# fuzz/corpus/NAME (inputs found on the way are kept in the build tree, not in the repository).
# Prints one line per target: name, runs, coverage, result. Exits non-zero when any target
# crashed, leaked, timed out or raised a sanitizer report; the input is kept under
# BUILD/artifacts/NAME/ for a regression test.
#
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# Environment: GW_FUZZ_DIR (build tree, default build-fuzz), GW_FUZZ_JOBS (build jobs).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-60}
[ $# -gt 0 ] && shift
dir=${GW_FUZZ_DIR:-$here/build-fuzz}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(dirname "$here")}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# The preset "fuzz" (CMakePresets.json): clang-14, -O1 -fsanitize=fuzzer-no-link.
cmake -S "$here" --preset fuzz -B "$dir" >/dev/null

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets <"$dir/fuzz_targets.txt"
fi
cmake --build "$dir" -j "${GW_FUZZ_JOBS:-$(nproc)}" --target "${targets[@]/#/fuzz_}" >/dev/null

status=0
printf '%-18s %12s %8s %s\n' target runs coverage result
for name in "${targets[@]}"; do
  work="$dir/corpus/$name"
  artifacts="$dir/artifacts/$name/"
  mkdir -p "$work" "$artifacts"
  log="$dir/fuzz_$name.log"
  seeds=()
  [ -d "$here/fuzz/corpus/$name" ] && seeds=("$here/fuzz/corpus/$name")
  if "$dir/fuzz/fuzz_$name" -max_total_time="$secs" -timeout=25 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts" "$work" "${seeds[@]}" >"$log" 2>&1; then
    result=ok
  else
    result="FAILED (see $log, input in $artifacts)"
    status=1
  fi
  # A target that fails on its seeds has no coverage line yet: that must not end the loop.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
  cov=$({ grep -o 'cov: [0-9]*' "$log" || true; } | tail -1 | cut -d' ' -f2)
  printf '%-18s %12s %8s %s\n' "$name" "${runs:-?}" "${cov:-?}" "$result"
done
exit $status
