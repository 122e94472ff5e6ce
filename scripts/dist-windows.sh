#!/usr/bin/env bash
# Packs the Windows programs of a cross-built tree (scripts/build-windows.sh) with the
# operators' notes into one zip: BUILD_DIR/dist/gateway-windows-x64-<commit>.zip.
# Usage: dist-windows.sh [BUILD_DIR] [--allow-missing]   (BUILD_DIR defaults to build-windows)
#   --allow-missing  pack whatever programs exist even without gateway.exe; the zip then
#                    carries NOT-INCLUDED.txt naming what is missing
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=build-windows
allow_missing=0
for arg in "$@"; do
  case "$arg" in
    --allow-missing) allow_missing=1 ;;
    -*) echo "dist-windows: unknown option $arg" >&2; exit 2 ;;
    *) dir=$arg ;;
  esac
done
if [ ! -d "$dir" ]; then
  echo "dist-windows: no build tree at $dir (build it with scripts/build-windows.sh)" >&2
  exit 1
fi
dir=$(cd "$dir" && pwd)

# The programs, wherever the tree builds them (test programs are not shipped).
programs=(gateway gatekit gatesim ws-echo)
found=()
missing=()
for name in "${programs[@]}"; do
  path=$(find "$dir" -name "$name.exe" -type f -not -path "*/CMakeFiles/*" -not -path "*/tests/*" \
           -not -path "$dir/dist/*" | head -n 1)
  if [ -n "$path" ]; then found+=("$path"); else missing+=("$name.exe"); fi
done
if [[ " ${missing[*]} " == *" gateway.exe "* ]] && [ "$allow_missing" -eq 0 ]; then
  echo "dist-windows: gateway.exe is not in $dir; build it first, or pass --allow-missing" \
       "to pack ${#found[@]} other program(s) without it" >&2
  exit 1
fi
if [ ${#found[@]} -eq 0 ]; then
  echo "dist-windows: none of ${programs[*]/%/.exe} is in $dir" >&2
  exit 1
fi

command -v zip >/dev/null || { echo "dist-windows: zip is missing (scripts/setup.sh installs it)" >&2; exit 1; }
commit=$(git -C "$here" rev-parse --short HEAD 2>/dev/null || echo unknown)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "${found[@]}" "$stage/"
# The debugging information stays in the build tree: it is most of each program's size.
for exe in "$stage"/*.exe; do x86_64-w64-mingw32-strip --strip-debug "$exe"; done
cp "$here/packaging/windows/README-Windows.txt" "$here/packaging/windows/GateWay.xml.txt" "$stage/"
notes=(README-Windows.txt GateWay.xml.txt)
# The operator console is in gateway.exe only when the tree was built with Qt for Windows.
console=0
grep -q '^GW_BUILD_CONSOLE:BOOL=ON' "$dir/CMakeCache.txt" 2>/dev/null && console=1
if [ ${#missing[@]} -gt 0 ] || [ "$console" -eq 0 ]; then
  {
    if [ ${#missing[@]} -gt 0 ]; then
      echo "This package was made without: ${missing[*]}"
      echo "(they did not build for Windows from commit $commit)."
    fi
    if [ "$console" -eq 0 ]; then
      echo "gateway.exe was built without the operator console (no Qt for Windows was at"
      echo "hand): it always runs headless, as with --headless."
    fi
  } > "$stage/NOT-INCLUDED.txt"
  notes+=(NOT-INCLUDED.txt)
fi

mkdir -p "$dir/dist"
out="$dir/dist/gateway-windows-x64-$commit.zip"
rm -f "$out"
# The notes with Windows line ends (-l), the programs as they are; no Unix file attributes.
(cd "$stage" && zip -q -X -l "$out" "${notes[@]}" && zip -q -X "$out" ./*.exe)
if [ ${#missing[@]} -gt 0 ]; then
  echo "dist-windows: without ${missing[*]}" >&2
fi
echo "$out"
