#!/usr/bin/env bash
# Builds everything and runs every test: the unit tests under ASan+UBSan, the Linux library with
# its JVM, jar, runner and export tests, the 32-bit Windows DLL with its export-table and Wine tests,
# and the fuzz target over its corpus plus a short fuzzing run. Warnings are errors here, as in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "== fuzz"
# The fuzz target over the seed corpus, then a short fuzzing run; scripts/fuzz.sh runs it longer.
scripts/fuzz.sh 45

passed=0
failed=0
# ci-win32 before ci-linux, so that the ci-linux jar carries the Windows DLLs too.
for preset in ci-linux-asan ci-win32 ci-linux; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  status=0
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" || status=$?
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<<"$summary")
  passed=$((passed + ${total:-0} - ${bad:-0}))
  failed=$((failed + ${bad:-0}))
  [ "$status" -eq 0 ] || failed=$((failed > 0 ? failed : 1))
done
echo "check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
