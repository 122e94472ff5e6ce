#!/usr/bin/env bash
# Installs the Windows cross-build tools (mingw-w64, wine) and cross-builds the libraries the
# Windows gateway links statically: OpenSSL 3.0 and pugixml from Debian's sources, GoogleTest
# from /usr/src/googletest. They go into a sysroot outside the work tree, shared by every
# checkout: ${GW_WIN_SYSROOT:-$HOME/.cache/gateway-win/sysroot}.
#
# Idempotent: each library's version (with the compiler's and this recipe's) is written to
# <sysroot>/versions/<name>; a library is built again only when that line changes.
# Prints the sysroot as its last line.
set -euo pipefail

WIN_PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev
  wine wine64
  dpkg-dev          # apt-get source unpacks the Debian sources
  libgtest-dev      # /usr/src/googletest
  cmake ninja-build make perl zip
)
# Bumped whenever a recipe below changes its options, so that every cache builds again.
RECIPE=1

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${GW_WIN_CACHE:-$HOME/.cache/gateway-win}
sysroot=${GW_WIN_SYSROOT:-$cache/sysroot}
toolchain=$here/cmake/mingw-w64-x86_64.cmake
jobs=$(nproc)

log() { echo "win-deps: $*" >&2; }

# quietly NAME COMMAND...: runs the command with its output in $cache/logs/NAME.log, shown
# (its end) only when the command fails. The libraries' own warnings are not ours to read.
quietly() {
  local name=$1
  shift
  mkdir -p "$cache/logs"
  if ! "$@" >"$cache/logs/$name.log" 2>&1; then
    tail -n 40 "$cache/logs/$name.log" >&2
    log "$name failed; the whole output is in $cache/logs/$name.log"
    return 1
  fi
}

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

install_packages() {
  local missing=() p
  for p in "${WIN_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
}

# The Debian source archive beside the binary one, so that apt-get source finds OpenSSL and
# pugixml. Only added when no deb-src entry exists yet.
ensure_deb_src() {
  if apt-cache showsrc pugixml >/dev/null 2>&1 && [ -n "$(apt-cache showsrc pugixml 2>/dev/null)" ]; then
    return
  fi
  log "adding the Debian source archive (deb-src) to apt's sources"
  $SUDO tee /etc/apt/sources.list.d/gateway-win-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  $SUDO apt-get update -qq
}

# The versions of a source package apt knows, newest first. The archive's index may name a
# version whose files the mirror no longer serves, so the callers try them in turn.
source_versions() {
  apt-cache showsrc "$1" | sed -n 's/^Version: //p' | sort -Vr -u
}

# fetched_version PACKAGE: the newest version whose source is unpacked in $cache/src, fetching
# the newest one the archive serves when none is; fails when the archive serves none.
fetched_version() {
  local v
  for v in $(source_versions "$1"); do
    if [ -d "$cache/src/$1-$v" ] || fetch_source "$1" "$v"; then
      echo "$v"
      return 0
    fi
    log "the archive does not serve the source of $1 $v; trying an older one"
  done
  log "no source of $1 could be fetched"
  return 1
}

compiler_id() {
  echo "gcc-$(x86_64-w64-mingw32-gcc-posix -dumpfullversion)"
}

# up_to_date NAME LINE: whether NAME was built with exactly LINE.
up_to_date() {
  [ -f "$sysroot/versions/$1" ] && [ "$(cat "$sysroot/versions/$1")" = "$2" ]
}

record() {
  mkdir -p "$sysroot/versions"
  echo "$2" >"$sysroot/versions/$1"
}

# fetch_source PACKAGE VERSION: unpacks the Debian source into $cache/src/PACKAGE-VERSION.
fetch_source() {
  local tmp=$cache/src/tmp-$1 unpacked
  rm -rf "$tmp"
  mkdir -p "$tmp"
  if ! (cd "$tmp" && apt-get source -qq "$1=$2" >/dev/null 2>&1); then
    rm -rf "$tmp"
    return 1
  fi
  unpacked=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [ -n "$unpacked" ] || { rm -rf "$tmp"; return 1; }
  mv "$unpacked" "$cache/src/$1-$2"
  rm -rf "$tmp"
}

build_openssl() {
  local version line dir
  version=$(fetched_version openssl)
  line="openssl $version $(compiler_id) recipe-$RECIPE"
  if up_to_date openssl "$line"; then return; fi
  dir=$cache/src/openssl-$version
  log "cross-building OpenSSL $version (a few minutes)"
  rm -rf "$cache/build/openssl"
  mkdir -p "$cache/build"
  cp -a "$dir" "$cache/build/openssl"
  (
    cd "$cache/build/openssl"
    quietly openssl-configure ./Configure mingw64 --cross-compile-prefix=x86_64-w64-mingw32- \
      no-shared no-tests --prefix="$sysroot" --libdir=lib
    quietly openssl-build make -j "$jobs" build_libs
    quietly openssl-install make install_dev
  )
  rm -rf "$cache/build/openssl"
  record openssl "$line"
}

# cmake_library NAME SOURCE_DIR [cmake options...]
cmake_library() {
  local name=$1 src=$2
  shift 2
  rm -rf "$cache/build/$name"
  quietly "$name-configure" cmake -S "$src" -B "$cache/build/$name" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DGW_WIN_SYSROOT="$sysroot" \
    -DCMAKE_INSTALL_PREFIX="$sysroot" -DBUILD_SHARED_LIBS=OFF "$@"
  quietly "$name-build" cmake --build "$cache/build/$name" -j "$jobs"
  quietly "$name-install" cmake --install "$cache/build/$name"
  rm -rf "$cache/build/$name"
}

build_pugixml() {
  local version line dir
  version=$(fetched_version pugixml)
  line="pugixml $version $(compiler_id) recipe-$RECIPE"
  if up_to_date pugixml "$line"; then return; fi
  dir=$cache/src/pugixml-$version
  log "cross-building pugixml $version"
  cmake_library pugixml "$dir" -DPUGIXML_BUILD_TESTS=OFF
  record pugixml "$line"
}

build_googletest() {
  local version line
  version=$(dpkg-query -W -f='${Version}' googletest)
  line="googletest $version $(compiler_id) recipe-$RECIPE"
  if up_to_date googletest "$line"; then return; fi
  log "cross-building GoogleTest $version"
  cmake_library googletest /usr/src/googletest -DINSTALL_GTEST=ON -DBUILD_GMOCK=ON
  record googletest "$line"
}

install_packages
ensure_deb_src
mkdir -p "$sysroot" "$cache/src"
build_openssl
build_pugixml
build_googletest
log "sysroot ready: $(cat "$sysroot"/versions/* | cut -d' ' -f1,2 | tr '\n' ' ')"
echo "$sysroot"
