#!/usr/bin/env bash
# Formats the C++ sources with the project's .clang-format, or with --check lists the files
# that are not formatted and exits 1 (the test script runs the check, so the tree stays formatted).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
fmt=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$fmt" ] || { echo "format: clang-format-14 is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    "$fmt" --style=file "$f" | cmp -s - "$f" || bad+=("$f")
  done
  if [ ${#bad[@]} -gt 0 ]; then
    printf 'format: not formatted (run bash scripts/format.sh): %s\n' "${bad[@]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files formatted"
else
  "$fmt" --style=file -i "${files[@]}"
fi
