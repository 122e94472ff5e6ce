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
  chromium
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
