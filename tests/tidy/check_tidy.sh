#!/usr/bin/env bash
# Runs clang-tidy (.clang-tidy; its checks are errors) over the library, the substitute, the
# runner, the G-code library, the live view and the control panel as the build compiles them.
# Usage: check_tidy.sh SOURCE_DIR BUILD_DIR. Exit 77: skipped.
set -euo pipefail
source=$1
build=$2
if ! command -v run-clang-tidy >/dev/null || ! command -v clang-tidy >/dev/null; then
  echo "clang-tidy is missing (apt-get install clang-tidy); skipped"
  exit 77
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "no $build/compile_commands.json; skipped"
  exit 77
fi
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
# The build may carry GCC-only flags (-ffat-lto-objects with link-time optimisation).
run-clang-tidy -quiet -p "$build" -j 2 -extra-arg=-Wno-ignored-optimization-argument \
  -extra-arg=-Wno-unknown-warning-option "$source/(src|tool|gcode|view|panel)/.*\.cpp$" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ] || grep -qE '(warning|error): ' "$log"; then
  grep -E '(warning|error): ' "$log" | sort -u
  echo "clang-tidy found problems (exit $status)"
  exit 1
fi
echo "clang-tidy: clean"
