#!/usr/bin/env bash
# Reproduces every figure of BENCHMARKS.md: builds the benchmarks (build/bench), runs them, and
# regenerates bench/results/ (raw JSON, the plot) and the figures section of BENCHMARKS.md.
# Takes about ten minutes, most of it realtime pacing. BENCH_PACING_STEPS and
# BENCH_VARIANT_STEPS shorten the pacing runs (defaults 100000 and 20000).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The results are committed: paths inside this checkout are written relative to it.
strip_root() { sed -i "s#$root/##g" "$@"; }
build=$root/build/bench
out=$root/bench/results
pacingSteps=${BENCH_PACING_STEPS:-100000}
variantSteps=${BENCH_VARIANT_STEPS:-20000}
mkdir -p "$out"

echo "== build ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTEPLINK_WERROR=ON \
  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
  -DSTEPLINK_JVM_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target steplink_port_bench steplink_motion_bench steplink_runner
bench=$build/bench

echo "== machine"
python3 - "$out/machine.json" <<'EOF'
import json, os, platform, sys
cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
json.dump({"nproc": os.cpu_count(), "cpu": cpu, "kernel": platform.release(),
           "load": open("/proc/loadavg").read().split()[:3]}, open(sys.argv[1], "w"), indent=1)
EOF
cat "$out/machine.json"

echo "== port operations (Google Benchmark, 10 repetitions)"
"$bench/steplink_port_bench" --benchmark_repetitions=10 --benchmark_min_time=0.2 \
  --benchmark_format=json --benchmark_out="$out/port_ops.json" --benchmark_out_format=json >/dev/null
strip_root "$out/port_ops.json"

echo "== instruction counts (callgrind, one 2000-step move on the virtual clock)"
valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
  "$bench/steplink_motion_bench" profile --steps 2000 >"$out/profile.json" 2>"$out/callgrind.log"
callgrind_annotate "$out/callgrind.out" >"$out/callgrind.txt"
rm -f "$out/callgrind.out"
strip_root "$out/callgrind.txt" "$out/callgrind.log"

echo "== simulation speed (virtual clock)"
"$bench/steplink_motion_bench" speed --repeats 5 >"$out/speed.json"

echo "== simulation speed of the shipped library (runner, vectorOut 31999 0 0, 5 runs)"
printf 'openConn\ninitTimer\nvectorOut 31999 0 0\ncloseConn\n' >"$out/longest_move.txt"
for run in 1 2 3 4 5; do
  "$build/bin/steplink" run --sim clock=virtual "$out/longest_move.txt" |
    grep -E '^ *(simulated|wall time) '
done >"$out/runner_speed.txt"

echo "== runner peak memory (vectorOut 31999 0 0, virtual clock)"
/usr/bin/time -f '%M' -o "$out/runner_rss.txt" \
  "$build/bin/steplink" run --sim clock=virtual "$out/longest_move.txt" >/dev/null
rm -f "$out/longest_move.txt"

echo "== pacing lateness on the realtime table ($pacingSteps steps, no tuning)"
"$bench/steplink_motion_bench" pacing --steps "$pacingSteps" --label plain >"$out/pacing_plain.json"
# What a user can do about a noisy machine, each on a shorter run: pin the thread to one CPU,
# give it a real-time class, lock its memory. The library itself starts no thread and sleeps nowhere.
echo "== pacing variants ($variantSteps steps each)"
"$bench/steplink_motion_bench" pacing --steps "$variantSteps" --label "untuned" \
  >"$out/pacing_v_untuned.json"
taskset -c 1 "$bench/steplink_motion_bench" pacing --steps "$variantSteps" --label "taskset -c 1" \
  >"$out/pacing_v_affinity.json"
if chrt -f 10 true 2>/dev/null; then
  taskset -c 1 chrt -f 10 "$bench/steplink_motion_bench" pacing --steps "$variantSteps" \
    --label "taskset -c 1 + chrt -f 10" >"$out/pacing_v_fifo.json"
  taskset -c 1 chrt -f 10 "$bench/steplink_motion_bench" pacing --steps "$variantSteps" --mlock \
    --label "taskset -c 1 + chrt -f 10 + mlockall" >"$out/pacing_v_fifo_mlock.json"
else
  echo "(no permission for SCHED_FIFO here: real-time variants skipped)"
  rm -f "$out/pacing_v_fifo.json" "$out/pacing_v_fifo_mlock.json"
fi

echo "== Stop under attack (100 trickling + 100 idle connections on the live view, 5 runs)"
cmake --build "$build" -j2 --target steplink_standard >/dev/null
python3 bench/view_stop_attack.py "$build/bin/steplink" "$build/lib/standard/libsteplink.so" \
  "$out/view_stop_attack.json" 5

echo "== report"
python3 bench/report.py "$out" BENCHMARKS.md
echo "BENCHMARKS.md and $out updated."
