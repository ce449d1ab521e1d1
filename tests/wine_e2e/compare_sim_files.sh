#!/usr/bin/env bash
# The files of the session on the in-process simulated table under Wine against Linux's: the
# Linux runner replays the session on the virtual clock with the same access cost, writing its
# trace and record; both must equal the Wine run's byte for byte. Skips (77) without a Linux build
# or when the Wine run was skipped, saying why.
# Usage: compare_sim_files.sh RUNNER LINUX_LIBRARY SESSION WINE_WORKDIR ACCESS_TICKS WORKDIR
set -uo pipefail
runner=$1 library=$2 session=$3 wineWork=$4 accessTicks=$5 work=$6

if [ ! -x "$runner" ] || [ ! -f "$library" ]; then
  echo "SKIP: no Linux build at $runner and $library (build the linux preset first)"
  exit 77
fi
if [ -f "$wineWork/SKIPPED" ]; then
  echo "SKIPPED: the Wine run was skipped: $(cat "$wineWork/SKIPPED")"
  exit 77
fi
if [ ! -s "$wineWork/trace.txt" ] || [ ! -s "$wineWork/record.txt" ]; then
  echo "FAIL: no trace or record in $wineWork (the wine_sim test writes them)"
  exit 1
fi
rm -rf "$work"
mkdir -p "$work"
if ! "$runner" run "$session" --library "$library" \
  --sim "clock=virtual,access-ticks=$accessTicks,record=$work/record.txt" \
  --trace "$work/trace.txt" --quiet >"$work/runner.out" 2>&1; then
  echo "FAIL: the Linux runner failed:"
  cat "$work/runner.out"
  exit 1
fi
failed=0
for file in trace.txt record.txt; do
  if cmp "$wineWork/$file" "$work/$file"; then
    echo "$file: equal byte for byte ($(wc -c <"$work/$file") bytes)"
  else
    echo "FAIL: $file differs (< Wine, > Linux), first differences:"
    diff "$wineWork/$file" "$work/$file" | head -n 20
    failed=1
  fi
done
exit $failed
