#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan+UBSan; the fuzz preset, build/fuzz) and runs it: the
# seed corpus plus a fuzzing run of SECONDS (default 3600). New inputs go to build/fuzz/corpus,
# findings to build/fuzz/artifacts (crash-*, timeout-*); replay one with
# `build/fuzz/fuzz/steplink_fuzz FILE`.
# Usage: scripts/fuzz.sh [SECONDS] [extra libFuzzer options, e.g. -jobs=2]
# STEPLINK_FUZZ_TARGET=gcode fuzzes the G-code reader and planner instead (fuzz/gcode_corpus,
# with the dictionary fuzz/gcode.dict).
# STEPLINK_FUZZ_PRESET=NAME fuzzes in another preset's tree (build/NAME) that has STEPLINK_FUZZ on:
# scripts/check.sh uses ci-linux-asan, the one instrumented tree it builds anyway.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
shift || true
preset=${STEPLINK_FUZZ_PRESET:-fuzz}
build=build/$preset
cmake --preset "$preset" >/dev/null
if [ "${STEPLINK_FUZZ_TARGET:-}" = gcode ]; then
  cmake --build "$build" --target steplink_gcode_fuzz -j 2
  mkdir -p "$build/gcode-corpus" "$build/artifacts"
  # The dictionary: the words of LinuxCNC programs (O-words, M98/M99, parameters, expressions).
  exec "$build/fuzz/steplink_gcode_fuzz" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
    -dict=fuzz/gcode.dict \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/artifacts/gcode-" \
    "$@" "$build/gcode-corpus" fuzz/gcode_corpus
fi
cmake --build "$build" --target steplink_fuzz -j 2
mkdir -p "$build/corpus" "$build/artifacts"
# stdout closed: the library reports every failed port operation there.
exec "$build/fuzz/steplink_fuzz" -close_fd_mask=1 -max_len=256 -timeout=30 \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
  "$@" "$build/corpus" fuzz/corpus
