#!/usr/bin/env bash
# The Windows build's tests under wine, headless: cross-builds the sysroot (once) and the tree,
# then runs ctest with every test program under wine.
# Usage: test-windows.sh [DIR] [ctest options...]   (DIR defaults to build-windows)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=build-windows
if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
  dir=$1
  shift
fi
bash "$here/scripts/build-windows.sh" "$dir"
dir=$(cd "$dir" && pwd)

# A wine prefix of its own, kept beside the sysroot so that later runs skip its creation.
cache=${GW_WIN_CACHE:-$HOME/.cache/gateway-win}
export WINEPREFIX=${GW_WINEPREFIX:-$cache/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}  # no Mono or Gecko prompts
unset DISPLAY WAYLAND_DISPLAY  # headless: no window appears, none is needed
mkdir -p "$WINEPREFIX"

# One wine server for the whole run: without it each test program starts and stops its own,
# seconds per test. It is stopped however the run ends.
if ! wineserver -p; then
  echo "test-windows: a wine server already runs for $WINEPREFIX; stop it" \
       "(WINEPREFIX=$WINEPREFIX wineserver -k) or give this run a prefix of its own (GW_WINEPREFIX)" >&2
  exit 1
fi
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot --init >/dev/null 2>&1
# Under wine 8, wineboot --init beside a waiting server leaves two service managers behind,
# and a service created through one is unknown to the other (the service host's tests):
# start the server afresh, so that the first program starts exactly one.
wineserver -k
wineserver -w
wineserver -p
# The first program also starts wine's own processes (service manager, device manager), which
# keep its standard output: started here with nowhere to write, not by the first test (ctest
# would wait for that test's output to end until its time-out).
wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true

cd "$dir"
ctest --output-on-failure "$@"

# The operators' package can be made from this tree (programs not ported yet are listed in it).
bash "$here/scripts/dist-windows.sh" "$dir" --allow-missing
