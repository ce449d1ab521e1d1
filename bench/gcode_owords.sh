#!/bin/sh
# Memory and time of O-word programs in pass 1 (BENCHMARKS.md, "O-word loops and calls"): a
# while loop of N passes (one move each) and a program of M lines that calls a subroutine on
# every line, checked by `steplink gcode --check` and run through LinuxCNC's `rs274 -g` on the
# same files; peak RSS and wall time of each (/usr/bin/time).
# Usage: bench/gcode_owords.sh BUILD_DIR [LOOP_PASSES] [CALL_LINES] (default 10^7 and 10^6).
set -eu
build=${1:?usage: $0 BUILD_DIR [LOOP_PASSES] [CALL_LINES]}
passes=${2:-10000000}
lines=${3:-1000000}
runner=$build/bin/steplink
[ -x "$runner" ] || { echo "no runner at $runner: build the steplink_runner target" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/steplink-owords-XXXXXX")
trap 'rm -rf "$work"' EXIT

# The loop: X walks 0..9 mm and back, so no soft limit is near whatever the count.
cat >"$work/loop.ngc" <<EOF
G21 G90
F1000
#31 = 0
o1 while [#31 LT $passes]
  G1 X[#31 MOD 10]
  #31 = [#31 + 1]
o1 endwhile
M2
EOF
# The calls: a subroutine at the top, then one call per line with its own arguments.
python3 - "$lines" >"$work/calls.ngc" <<'PY'
import sys
n = int(sys.argv[1])
out = sys.stdout
out.write("G21 G90\nF1000\no100 sub\n  G1 X#1 Y#2\no100 endsub\n")
for i in range(n - 6):
    out.write(f"o100 call [{i % 97 * 0.1:.1f}] [{i % 89 * 0.1:.1f}]\n")
out.write("M2\n")
PY

printf 'program\tinterpreter\tblocks\twall_s\tpeak_rss_kib\n'
for program in loop calls; do
  /usr/bin/time -f '%M %e' -o "$work/time.txt" "$runner" gcode "$work/$program.ngc" --check \
    --max-blocks 100000000 --quiet --report "$work/report.json" >/dev/null
  read -r rss wall <"$work/time.txt"
  blocks=$(python3 -c 'import json,sys; r=json.load(open(sys.argv[1])); assert r["status"]=="checked", r; print(r["blocks_executed"])' "$work/report.json")
  printf '%s\tsteplink --check\t%s\t%s\t%s\n' "$program" "$blocks" "$wall" "$rss"
  if command -v rs274 >/dev/null 2>&1; then
    # Its canonical calls go nowhere (10^7 moves would be about a gigabyte of text).
    (cd "$work" && /usr/bin/time -f '%M %e' -o "$work/time.txt" rs274 -g -n 2 "$program.ngc" \
      /dev/null </dev/null >/dev/null 2>&1) || true
    read -r rss wall <"$work/time.txt"
    printf '%s\trs274 -g\t-\t%s\t%s\n' "$program" "$wall" "$rss"
  fi
done
