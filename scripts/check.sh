#!/usr/bin/env bash
# Builds everything and runs every test, each tree built once (build/PRESET, compiled through
# ccache where it is installed): ci-linux-asan (clang, ASan+UBSan) with the unit tests, the fuzz
# targets and a short fuzzing run; ci-linux with the JVM, jar, runner and export tests and the
# format, docs and tidy checks; ci-win32 and ci-win64, the 32- and 64-bit Windows DLLs with their
# export-table and Wine tests. Warnings are errors here, as in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# The trees in the order they are built and tested; a new preset is one more word here (and, if
# something runs in its tree besides ctest, one more case in after_build).
presets=(ci-linux-asan ci-linux ci-win32 ci-win64)

# What runs in a preset's tree after its build, before its tests.
after_build() {
  case "$1" in
    ci-linux-asan)
      echo "== fuzz ($1)"
      # The fuzz target over the seed corpus, then a short fuzzing run; scripts/fuzz.sh runs it
      # longer. The fuzzing tree is this one: nothing is built again.
      STEPLINK_FUZZ_PRESET="$1" scripts/fuzz.sh 45 ;;
  esac
}

echo "== ci-win32 and ci-win64 DLLs (for the jar)"
# The Windows DLLs first, so that the ci-linux build packs them into steplink.jar; the rest of
# ci-win32 comes after ci-linux, whose runner its Wine trace comparison replays.
cmake --preset ci-win32 >/dev/null
cmake --build --preset ci-win32 -j "$jobs" --target steplink_standard steplink_start200
cmake --preset ci-win64 >/dev/null
cmake --build --preset ci-win64 -j "$jobs" --target steplink_standard steplink_start200

passed=0
failed=0
skipped=0
skippedNames=()
for preset in "${presets[@]}"; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  after_build "$preset"
  status=0
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log" || status=$?
  summary=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.* ([0-9]+) tests failed out of.*/\1/' <<<"$summary")
  # A skipped test (exit 77: no Wine, not root, ...) is no pass: counted and named apart.
  mapfile -t skips < <(grep -E '^[[:space:]]*[0-9]+ - .* \(Skipped\)' "$log" | sed -E 's/^[[:space:]]*[0-9]+ - ([^ ]+).*/\1/')
  skipped=$((skipped + ${#skips[@]}))
  for name in "${skips[@]}"; do skippedNames+=("$preset/$name"); done
  passed=$((passed + ${total:-0} - ${bad:-0} - ${#skips[@]}))
  failed=$((failed + ${bad:-0}))
  [ "$status" -eq 0 ] || failed=$((failed > 0 ? failed : 1))
done
if [ "$skipped" -gt 0 ]; then
  echo "check: SKIPPED (each printed its reason above): ${skippedNames[*]}"
fi
echo "check: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
