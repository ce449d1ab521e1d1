#!/usr/bin/env bash
# The Wine harness's skip rule, without running Wine: with the width's loader missing (pointed
# elsewhere through STEPLINK_WINE_LOADER32/64) the openConn test must exit 77 with a SKIPPED line
# naming the package to install, and leave that reason for the tests that read its trace; it must
# never pass or fail silently. Args: BITS WORKDIR
set -uo pipefail
bits=$1 work=$2
here=$(dirname "$0")
rm -rf "$work"
mkdir -p "$work"
missing="$work/no-such-loader"
failed=0
fail() {
  echo "FAIL $*"
  failed=1
}
# A stand-in wine and wineserver that must never be started.
printf '#!/bin/sh\necho started >>"%s"\n' "$work/started" >"$work/wine"
chmod +x "$work/wine"
if [ "$bits" = 64 ]; then
  export STEPLINK_WINE_LOADER64=$missing STEPLINK_WINE_LOADER32=$work/wine
  package=wine64
else
  export STEPLINK_WINE_LOADER32=$missing STEPLINK_WINE_LOADER64=$work/wine
  package=wine32:i386
fi
out=$(bash "$here/wine_open_conn.sh" "$work/wine" "$work/wine" probe.exe steplink.dll \
  "$work/run" "$bits" 2>&1)
status=$?
[ $status -eq 77 ] || fail "exit $status, expected 77: $out"
grep -q "^SKIPPED: $bits-bit Wine is not installed .*$package" <<<"$out" ||
  fail "no SKIPPED line naming $package: $out"
grep -q "$package" "$work/run/SKIPPED" 2>/dev/null || fail "no reason left in $work/run/SKIPPED"
[ ! -e "$work/started" ] || fail "Wine was started although its loader is missing"

# And with no Wine at all: skipped, naming the packages.
out=$(bash "$here/wine_open_conn.sh" "" "" probe.exe steplink.dll "$work/none" "$bits" 2>&1)
status=$?
[ $status -eq 77 ] && grep -q "^SKIPPED: Wine not found" <<<"$out" ||
  fail "no Wine: exit $status: $out"
[ $failed -eq 0 ] && echo "the $bits-bit Wine tests skip, with the reason, where that Wine is missing"
exit $failed
