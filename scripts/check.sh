#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests under ASan+UBSan, the Linux library with
# its JVM, runner and export tests, and the 32-bit Windows DLL with its export-table and Wine tests.
# Warnings are errors here, as in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
for preset in ci-linux-asan ci-linux ci-win32; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
echo "== fuzz"
# The fuzz target over the seed corpus, then a short fuzzing run; scripts/fuzz.sh runs it longer.
scripts/fuzz.sh 45
