#!/usr/bin/env bash
# Fails when a tracked C or C++ source differs from what clang-format makes of it (.clang-format).
set -euo pipefail
cd "$1"
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
if ! command -v clang-format >/dev/null; then
  echo "clang-format is missing: apt-get install clang-format" >&2
  exit 1
fi
bad=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || bad+=("$file")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted (run clang-format -i on them):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "${#files[@]} files formatted"
