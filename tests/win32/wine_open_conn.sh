#!/usr/bin/env bash
# Runs openConn of one steplink.dll under Wine twice in a fresh prefix of its width: first with no
# PortTalk service (install, copy fails, service registered, start fails), then with the service
# left registered by the first run (start fails only). Checks the exact lines and the result.
# Args: WINE WINESERVER PROBE_EXE DLL WORKDIR BITS (32 or 64). Calls Wine only, never the system's own prefix.
set -uo pipefail

wine=$1 wineserver=$2 probe=$3 dll=$4 work=$5 bits=${6:-32}

source "$(dirname "$0")/wine_common.sh"
wine_prepare "$wine" "$wineserver" "$work" "$bits"
# The probe and the DLL in a directory of their own: no PortTalk.sys beside them to copy.
cp "$probe" "$work/run/probe.exe"
cp "$dll" "$work/run/steplink.dll"

start=$SECONDS
failed=0

# Wine's first start creates the prefix; output goes to files, never to a pipe that Wine's
# background processes would hold open.
run_probe() {  # $1 = run name, $2 = seconds allowed
  (cd "$work/run" && timeout "$2" "$wine" probe.exe steplink.dll \
    >"$work/$1.out" 2>"$work/$1.err")
  local status=$?
  if [ $status -ne 0 ]; then
    if [ $status -eq 124 ]; then
      echo "FAIL $1: probe timed out after $2 s"
    else
      echo "FAIL $1: probe exited $status"
    fi
    cat "$work/$1.out" "$work/$1.err"
    failed=1
  fi
}

# msvcrt writes text-mode stdout with CRLF line ends; the lines themselves are compared.
check_lines() {  # $1 = run name, $2 = expected file
  tr -d '\r' <"$work/$1.out" >"$work/$1.lines"
  if ! diff -u "$2" "$work/$1.lines" >"$work/$1.diff"; then
    echo "FAIL $1: output differs from the expected lines (- expected, + got):"
    cat "$work/$1.diff"
    echo "--- wine stderr:"
    cat "$work/$1.err"
    failed=1
  fi
}

system32='C:\windows\system32'
cat >"$work/first.expected" <<LINES
PortTalk: The PortTalk driver does not exist. Installing driver.
PortTalk: This can take up to 30 seconds on some machines . .
PortTalk: Copying driver to $system32\\Drivers\\PortTalk.sys
PortTalk: Failed to copy driver to $system32\\Drivers\\PortTalk.sys
PortTalk: Please manually copy driver to your system32/driver directory.
PortTalk: Driver successfully installed.
PortTalk: Unknown error while starting PortTalk driver service.
PortTalk: Does PortTalk.SYS exist in your \\System32\\Drivers Directory?
PortTalk: Couldn't access PortTalk Driver, Please ensure driver is loaded.

probe: openConn returned 255
probe: closeConn returned 0
LINES
tail -n 6 "$work/first.expected" >"$work/second.expected"

run_probe first 60
check_lines first "$work/first.expected"
# The failed copy must not have left a driver file behind.
if [ -e "$WINEPREFIX/drive_c/windows/system32/drivers/PortTalk.sys" ]; then
  echo "FAIL first: a PortTalk.sys appeared in the prefix's drivers directory"
  failed=1
fi

run_probe second 30
check_lines second "$work/second.expected"

echo "wine openConn test ($bits-bit) of $(basename "$(dirname "$dll")")/$(basename "$dll"):" \
  "$((SECONDS - start)) s, $([ $failed -eq 0 ] && echo passed || echo FAILED)"
exit $failed
