#!/usr/bin/env bash
# Cross-builds Qt 6 for the Windows operator console from Debian's own qt6-base source: Core,
# Gui, Widgets and Test as static libraries, with the Windows and offscreen platform plugins,
# using this machine's Qt tools (moc, rcc, uic) for the build steps. About 30 minutes and
# 1.5 GB on two cores, once: the result is cached beside the Windows sysroot, its version
# recorded, and it is built again only when Debian's qt6-base version changes.
# Usage: win-qt.sh [--cached]   (prints the Qt prefix as its last line)
#   --cached: builds nothing; prints the prefix when the cache is current, fails otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cached_only=false
[ "${1:-}" = "--cached" ] && cached_only=true
# The compilers and the deb-src entries come with the sysroot's script.
bash "$here/scripts/win-deps.sh" >/dev/null
cache=${GW_WIN_CACHE:-$HOME/.cache/gateway-win}
version=$(apt-cache showsrc qt6-base | awk '/^Version:/ { print $2; exit }')
if [ -z "$version" ]; then
  echo "win-qt: the archive lists no qt6-base source (deb-src entries missing?)" >&2
  exit 1
fi
prefix=$cache/qt-${version%%+*}
stamp=$prefix/.gw-built
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$version" ]; then
  echo "$prefix"
  exit 0
fi
if $cached_only; then
  echo "win-qt: no current Qt for Windows in $prefix" >&2
  exit 1
fi

# The host's Qt tools build the Windows Qt (QT_HOST_PATH); they must be the same version.
sudo_apt() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
sudo_apt apt-get install -y -q qt6-base-dev qt6-base-dev-tools ninja-build dpkg-dev >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/gw-win-qt.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "win-qt: fetching qt6-base $version" >&2
(cd "$work" && apt-get source -q "qt6-base=$version" >/dev/null)
src=$(find "$work" -maxdepth 1 -type d -name 'qt6-base-*' | head -n 1)

echo "win-qt: configuring (log: $work/build.log)" >&2
rm -rf "$prefix"
# Nothing of this machine's own libraries may enter the Windows build: packages, headers and
# libraries are looked up in the mingw tree only (pkg-config sees none), the host's Qt tools
# apart, which Qt finds through QT_HOST_PATH.
PKG_CONFIG_LIBDIR=/nonexistent PKG_CONFIG_PATH= \
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
  -DCMAKE_FIND_ROOT_PATH=/usr/x86_64-w64-mingw32 -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER \
  -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY \
  -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
  -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix \
  -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
  -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
  -DBUILD_SHARED_LIBS=OFF \
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_openssl=OFF -DFEATURE_vulkan=OFF \
  -DFEATURE_tabletevent=OFF \
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
  -DFEATURE_system_freetype=OFF -DFEATURE_system_libpng=OFF -DFEATURE_system_jpeg=OFF \
  >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
echo "win-qt: building (about 30 minutes on two cores)" >&2
cmake --build "$work/build" --parallel "$(nproc)" >>"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; exit 1; }
cmake --install "$work/build" >>"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
echo "$version" >"$stamp"
echo "$prefix"
