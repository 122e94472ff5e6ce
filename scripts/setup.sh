#!/usr/bin/env bash
# Installs the Debian packages the gateway needs to build, run and test.
# Idempotent: only packages that are missing are installed.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config ccache
  libssl-dev openssl libpugixml-dev
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-14 libclang-rt-14-dev clang-format-14
  python3 python3-websockets python3-pycryptodome python3-yaml
  chromium chromium-driver python3-selenium
  haproxy
  fonts-wqy-zenhei
  xvfb xauth
  zip
  debhelper lintian
  prometheus
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi

# The web console's charting library (uPlot, MIT: small, no dependencies, fast with thousands
# of points), built into the gateway by src/admin: fetched once from the npm registry at a
# pinned version, its SHA-256 checked, kept in a cache, unpacked into third_party/uplot.
# Nothing is fetched when the gateway runs.
UPLOT_VERSION=1.6.32
UPLOT_SHA256=4b8a8191e425658e3ea8c8c1314b0fc679c861ee3a1af2b20c7b16ba50b5133d
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
UPLOT_DIR="$ROOT/third_party/uplot"
UPLOT_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/gateway/uplot-$UPLOT_VERSION.tgz"
if [ ! -f "$UPLOT_DIR/uPlot.iife.min.js" ] || [ ! -f "$UPLOT_DIR/VERSION" ] ||
   [ "$(cat "$UPLOT_DIR/VERSION")" != "$UPLOT_VERSION" ]; then
  if [ ! -f "$UPLOT_CACHE" ] || ! echo "$UPLOT_SHA256  $UPLOT_CACHE" | sha256sum -c --status; then
    mkdir -p "$(dirname "$UPLOT_CACHE")"
    echo "setup: fetching uPlot $UPLOT_VERSION"
    curl -fsSL -o "$UPLOT_CACHE.part" "https://registry.npmjs.org/uplot/-/uplot-$UPLOT_VERSION.tgz"
    if ! echo "$UPLOT_SHA256  $UPLOT_CACHE.part" | sha256sum -c --status; then
      rm -f "$UPLOT_CACHE.part"
      echo "setup: uPlot $UPLOT_VERSION does not have the expected SHA-256; not used" >&2
      exit 1
    fi
    mv "$UPLOT_CACHE.part" "$UPLOT_CACHE"
  fi
  mkdir -p "$UPLOT_DIR"
  tar -xzf "$UPLOT_CACHE" -C "$UPLOT_DIR" --strip-components=2 package/dist/uPlot.iife.min.js \
    package/dist/uPlot.min.css
  tar -xzf "$UPLOT_CACHE" -C "$UPLOT_DIR" --strip-components=1 package/LICENSE
  echo "$UPLOT_VERSION" > "$UPLOT_DIR/VERSION"
  echo "setup: uPlot $UPLOT_VERSION in third_party/uplot"
fi
