#!/usr/bin/env bash
# The Windows build's port behaviour against the Linux build's: runs the end-to-end session with
# the Linux runner on the simulated table, on the virtual clock with the access cost the Wine run
# gave the driver, and compares its port trace with the one the DLL wrote under Wine. They must be
# equal line for line but for openConn's handle value. Skips (77) without a Linux build.
# Usage: compare_traces.sh RUNNER LINUX_LIBRARY SESSION WIN_TRACE ACCESS_TICKS WORKDIR
set -uo pipefail
runner=$1 library=$2 session=$3 winTrace=$4 accessTicks=$5 work=$6

if [ ! -x "$runner" ] || [ ! -f "$library" ]; then
  echo "SKIP: no Linux build at $runner and $library (build the linux preset first)"
  exit 77
fi
if [ ! -s "$winTrace" ]; then
  # Without a Wine of the DLL's width the session that writes the trace was skipped, leaving its
  # reason beside where the trace would be; that is no pass of this one.
  skipNote="$(dirname "$winTrace")/SKIPPED"
  if [ -f "$skipNote" ]; then
    echo "SKIPPED: the Wine session was skipped: $(cat "$skipNote")"
    exit 77
  fi
  if ! command -v wine >/dev/null; then
    echo "SKIPPED: Wine not found, so there is no Wine trace at $winTrace to compare"
    exit 77
  fi
  echo "FAIL: no Wine trace at $winTrace (the wine_e2e test writes it)"
  exit 1
fi
mkdir -p "$work"
linuxTrace="$work/trace-linux.txt"
rm -f "$linuxTrace"
if ! "$runner" run "$session" --library "$library" --sim "access-ticks=$accessTicks" \
  --trace "$linuxTrace" --quiet >"$work/runner.out" 2>&1; then
  echo "FAIL: the Linux runner failed:"
  cat "$work/runner.out"
  exit 1
fi

# The handle openConn returns is the platform's; everything else must agree.
normalize() { tr -d '\r' <"$1" | sed '/^call openConn$/{n;s/^ret [0-9]*$/ret HANDLE/;}'; }
normalize "$winTrace" >"$work/trace-wine.normalized"
normalize "$linuxTrace" >"$work/trace-linux.normalized"
if ! diff "$work/trace-wine.normalized" "$work/trace-linux.normalized" >"$work/trace.diff"; then
  echo "FAIL: Wine and Linux port traces differ (< Wine, > Linux), first differences:"
  head -n 20 "$work/trace.diff"
  exit 1
fi
echo "port traces agree: $(wc -l <"$work/trace-linux.normalized") lines ($winTrace, $linuxTrace)"
