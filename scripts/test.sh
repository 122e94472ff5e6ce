#!/usr/bin/env bash
# Sets up a fresh machine, builds and runs every test:
#  - the format check of the C++ sources,
#  - clang's thread-safety analysis of the libraries (build-thread-safety),
#  - all tests under AddressSanitizer + UBSan (build-asan),
#  - the concurrency tests under ThreadSanitizer (build-tsan),
#  - the fuzz targets briefly and a short soak,
#  - the Debian packages: built, installed, run and purged (as root only: it uses dpkg),
#  - the Windows build (mingw-w64) and its tests under wine (build-windows).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

echo "== build (AddressSanitizer + UBSan)"
bash scripts/build.sh --preset asan
echo "== build (ThreadSanitizer, concurrency tests)"
bash scripts/build.sh --preset tsan

status=0
echo "== format check (clang-format, the project's .clang-format)"
bash scripts/format.sh --check || status=1
echo "== thread-safety analysis (clang, the libraries)"
bash scripts/thread-safety.sh build-thread-safety || status=1
echo "== tests (AddressSanitizer + UBSan)"
(cd build-asan && ctest --output-on-failure -j 2 -LE package) || status=1
echo "== concurrency tests (ThreadSanitizer)"
(cd build-tsan && ctest --output-on-failure -L concurrency) || status=1
echo "== fuzz targets, 10 s each (clang, AddressSanitizer + UBSan)"
bash scripts/fuzz.sh 10 || status=1
echo "== soak, short (AddressSanitizer build)"
bash bench/soak/soak.sh build-asan short || status=1
echo "== Debian packages: built, installed on this machine, run as the service user, purged"
if [ "$(id -u)" -eq 0 ]; then
  (cd build-asan && ctest --output-on-failure -L package) || status=1
else
  echo "skipped: installing packages needs root"
fi
echo "== Windows: cross-built with mingw-w64, tests under wine"
# The simulators and gatekit of the Linux build serve gateway.exe in its end-to-end test.
GW_LINUX_TOOLS_DIR=$PWD/build-asan/tools bash scripts/test-windows.sh build-windows -j 2 || status=1
exit $status
