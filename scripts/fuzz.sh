#!/usr/bin/env bash
# Builds the libFuzzer target (clang, ASan+UBSan) in build/fuzz and runs it: the seed corpus plus
# a fuzzing run of SECONDS (default 3600). New inputs go to build/fuzz/corpus, findings to
# build/fuzz/artifacts (crash-*, timeout-*); replay one with `build/fuzz/fuzz/steplink_fuzz FILE`.
# Usage: scripts/fuzz.sh [SECONDS] [extra libFuzzer options, e.g. -jobs=2]
# STEPLINK_FUZZ_TARGET=gcode fuzzes the G-code reader and planner instead (fuzz/gcode_corpus).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-3600}
shift || true
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTEPLINK_WERROR=ON \
  -DSTEPLINK_FUZZ=ON -DSTEPLINK_JVM_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
if [ "${STEPLINK_FUZZ_TARGET:-}" = gcode ]; then
  cmake --build build/fuzz --target steplink_gcode_fuzz -j 2
  mkdir -p build/fuzz/gcode-corpus build/fuzz/artifacts
  exec build/fuzz/fuzz/steplink_gcode_fuzz -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/gcode- \
    "$@" build/fuzz/gcode-corpus fuzz/gcode_corpus
fi
cmake --build build/fuzz --target steplink_fuzz -j 2
mkdir -p build/fuzz/corpus build/fuzz/artifacts
# stdout closed: the library reports every failed port operation there.
exec build/fuzz/fuzz/steplink_fuzz -close_fd_mask=1 -max_len=256 -timeout=30 \
  -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/ \
  "$@" build/fuzz/corpus fuzz/corpus
