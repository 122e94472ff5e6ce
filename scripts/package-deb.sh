#!/usr/bin/env bash
# Builds the Debian packages into OUTDIR (default: dist/ in the source tree):
#   pelvane-gateway          the headless gateway (no Qt or X11 library), gatekit, gatesim,
#                            the systemd unit, the manual page, the sample settings
#   pelvane-gateway-console  the gateway built with the Qt operator console, as gateway-console
# and checks them with lintian when it is installed (an error fails the build).
#
# Usage: scripts/package-deb.sh [OUTDIR]
# GW_DEB_BUILD_DIR (default: build-deb in the source tree) holds the two build trees;
# GW_JOBS (default 2) the parallel compile jobs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$here/dist}")
build=$(realpath -m "${GW_DEB_BUILD_DIR:-$here/build-deb}")
jobs=${GW_JOBS:-2}

# Debian's hardening flags (stack protector, fortified calls, full RELRO, bind now), without its
# debug information and path mapping: the packages carry no debug symbols.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
flags=$(echo "$flags" | sed -E 's/(^| )-g( |$)/ /; s/-ffile-prefix-map=[^ ]*//')
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DGW_BUILD_TESTS=OFF -DGW_BUILD_BENCH=OFF
        "-DCMAKE_CXX_FLAGS=$flags" "-DCMAKE_C_FLAGS=$flags"
        "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
        -DCMAKE_INSTALL_PREFIX=/usr -DGW_SYSTEMD_UNIT_DIR=/lib/systemd/system)
echo "package-deb: building the headless tree ($build/headless)"
cmake -S "$here" -B "$build/headless" "${common[@]}" -DGW_BUILD_CONSOLE=OFF >/dev/null
ninja -C "$build/headless" -j "$jobs" gateway gatekit gatesim
echo "package-deb: building the console tree ($build/console)"
cmake -S "$here" -B "$build/console" "${common[@]}" -DGW_BUILD_CONSOLE=ON >/dev/null
ninja -C "$build/console" -j "$jobs" gateway
# Without Qt the console tree quietly builds a headless gateway: that is no console package.
if ! ldd "$build/console/src/app/gateway" | grep -q 'libQt6Widgets'; then
  echo "package-deb: the console build has no Qt 6 (install qt6-base-dev)" >&2
  exit 1
fi
if ldd "$build/headless/src/app/gateway" | grep -Eq 'libQt|libX11|libxcb|libEGL|libGL'; then
  echo "package-deb: the headless gateway links a Qt or X11 library:" >&2
  ldd "$build/headless/src/app/gateway" >&2
  exit 1
fi

# The version: the last commit's time and name, so that every commit packs a newer version.
if commit=$(git -C "$here" rev-parse --short=12 HEAD 2>/dev/null); then
  stamp=$(TZ=UTC git -C "$here" log -1 --format=%cd --date=format-local:%Y%m%d%H%M%S)
  when=$(git -C "$here" log -1 --format=%cD)
else
  commit=unknown
  stamp=$(date -u +%Y%m%d%H%M%S)
  when=$(date -R)
fi
version="0.1~git${stamp}.${commit}"

# dpkg-buildpackage wants debian/ in the folder it runs in, and writes the packages beside it.
stage="$build/stage"
rm -rf "$stage"
mkdir -p "$stage/src"
cp -r "$here/packaging/debian" "$stage/src/debian"
cat > "$stage/src/debian/changelog" <<CHANGELOG
pelvane-gateway (${version}) unstable; urgency=medium

  * Built from commit ${commit}.

 -- Pelvane GateWay maintainers <gateway@pelvane.example>  ${when}
CHANGELOG
echo "package-deb: packing version $version"
(cd "$stage/src" &&
 GW_HEADLESS_BUILD="$build/headless" GW_CONSOLE_BUILD="$build/console" \
 DEB_BUILD_OPTIONS="noddebs nocheck" dpkg-buildpackage -b -uc -us -d >"$stage/build.log" 2>&1) || {
  cat "$stage/build.log" >&2
  exit 1
}
mkdir -p "$out"
debs=()
for p in pelvane-gateway pelvane-gateway-console; do
  f=$(ls "$stage"/${p}_"${version}"_*.deb)
  cp "$f" "$out/"
  debs+=("$out/$(basename "$f")")
done

if command -v lintian >/dev/null; then
  echo "package-deb: lintian"
  lintian --fail-on error --info "${debs[@]}"
fi
printf 'package-deb: %s\n' "${debs[@]}"
