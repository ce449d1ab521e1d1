#!/bin/sh
# Peak resident memory of a whole G-code job on the virtual clock (BENCHMARKS.md, "a long job"):
# writes a program of N lines of short engraving segments (0.1-0.5 mm, the auxiliary output on),
# runs `steplink gcode` on it through the call process and the simulated table, and prints the
# peak RSS of the runner and its call process (/usr/bin/time), the wall time and the report's
# figures. Usage: bench/gcode_job_rss.sh BUILD_DIR [LINES...] (default 20000 200000).
set -eu
build=${1:?usage: $0 BUILD_DIR [LINES...]}
shift
[ $# -gt 0 ] || set -- 20000 200000
root=$(cd "$(dirname "$0")/.." && pwd)
runner=$build/bin/steplink
[ -x "$runner" ] || { echo "no runner at $runner: build the steplink_runner target" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/steplink-job-rss-XXXXXX")
trap 'rm -rf "$work"' EXIT
printf 'lines\tcalls\tsimulated_s\twall_s\tpeak_rss_kib\n'
for lines in "$@"; do
  python3 - "$lines" >"$work/job.nc" <<'PY'
import sys
n = int(sys.argv[1])
out = sys.stdout
out.write("G21 G90 G17\nG28\nG0 Z1\nG0 X50 Y50\nM3\nG1 Z-0.5 F300\n")
x, y, dx = 50.0, 50.0, 0.1
for i in range(n - 8):
    # A zigzag of short segments inside 50-250 mm by 50-150 mm.
    x += dx * (1 + i % 5)
    if x > 250 or x < 50:
        dx, x = -dx, min(max(x, 50), 250)
        y = 50 + (y - 49.5) % 100
    out.write(f"X{x:.3f} Y{y + (i % 2) * 0.05:.3f}\n")
out.write("G0 Z1\nM5\n")
PY
  /usr/bin/time -f '%M %e' -o "$work/time.txt" "$runner" gcode "$work/job.nc" \
    --machine "$root/jobs/example.toml" --quiet --report "$work/report.json" >/dev/null
  read -r rss wall <"$work/time.txt"
  python3 - "$work/report.json" "$lines" "$wall" "$rss" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
assert r["status"] == "completed", r["status"]
print(f"{sys.argv[2]}\t{r['calls']}\t{r['duration_s']:.1f}\t{sys.argv[3]}\t{sys.argv[4]}")
PY
done
