#!/usr/bin/env bash
# The whole Windows path under Wine: the shipped steplink.dll talks through kernel32
# DeviceIoControl to our PortTalk.sys, loaded by Wine's service manager into winedevice.exe, which
# serves the simulated table. Fresh prefix of the DLL's width (the program, DLL and driver are
# all of that width); run 1 installs the driver service (Wine 8.0 refuses to start it from its
# relative image path), run 2 starts it and moves the table.
# Usage: wine_e2e.sh WINE WINESERVER E2E_EXE DLL DRIVER_SYS WORKDIR ACCESS_TICKS BITS
set -uo pipefail

wine=$1 wineserver=$2 program=$3 dll=$4 driver=$5 work=$6 accessTicks=$7 bits=${8:-32}

source "$(dirname "$0")/../win32/wine_common.sh"
wine_prepare "$wine" "$wineserver" "$work" "$bits"
# The DLL byte for byte as built; PortTalk.sys in the current directory, where the library's
# installation copies it from.
cp "$program" "$work/run/steplink_e2e.exe"
cp "$dll" "$work/run/steplink.dll"
cp "$driver" "$work/run/PortTalk.sys"


start=$SECONDS
failed=0
fail() {
  echo "FAIL $*"
  failed=1
}

# Output goes to files, never to a pipe that Wine's background processes would hold open.
run() {  # $1 = run name, $2 = seconds allowed, then the program's arguments
  local name=$1 seconds=$2
  shift 2
  (cd "$work/run" && timeout "$seconds" "$wine" steplink_e2e.exe "$@" \
    >"$work/$name.out" 2>"$work/$name.err")
  local status=$?
  # msvcrt writes text-mode stdout with CRLF line ends; the lines themselves are compared.
  tr -d '\r' <"$work/$name.out" >"$work/$name.lines"
  if [ $status -ne 0 ]; then
    if [ $status -eq 124 ]; then fail "$name: timed out after $seconds s"; else
      fail "$name: program exited $status"; fi
    cat "$work/$name.lines" "$work/$name.err"
  fi
}

expect_lines() {  # $1 = run name, $2 = expected file
  if ! diff -u "$2" "$work/$1.lines" >"$work/$1.diff"; then
    fail "$1: output differs from the expected lines (- expected, + got):"
    cat "$work/$1.diff"
    echo "--- wine stderr:"
    cat "$work/$1.err"
  fi
}

# Run 1, fresh prefix (Wine's first start creates it): no device, no service. The library
# installs the service and copies the driver; the start from the relative image path fails.
target='C:\windows\system32\Drivers\PortTalk.sys'
cat >"$work/install.expected" <<LINES
PortTalk: The PortTalk driver does not exist. Installing driver.
PortTalk: This can take up to 30 seconds on some machines . .
PortTalk: Copying driver to $target
PortTalk: Driver successfully installed.
PortTalk: Unknown error while starting PortTalk driver service.
PortTalk: Does PortTalk.SYS exist in your \\System32\\Drivers Directory?
PortTalk: Couldn't access PortTalk Driver, Please ensure driver is loaded.

e2e: openConn 255
e2e: done
LINES
run install 120 install steplink.dll
expect_lines install "$work/install.expected"
if ! cmp -s "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/PortTalk.sys"; then
  fail "install: the prefix's drivers directory holds no exact copy of PortTalk.sys"
fi

# Wine 8.0 loads a kernel driver only from an absolute image path; real Windows takes the
# library's relative "System32\Drivers\PortTalk.sys". Rewrite it for this Wine release only.
(cd "$work/run" && timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\PortTalk' \
  /v ImagePath /t REG_EXPAND_SZ /d '\SystemRoot\System32\drivers\PortTalk.sys' /f \
  >"$work/reg.out" 2>"$work/reg.err") || fail "reg add ImagePath: exit $? ($(cat "$work/reg.err"))"

# The driver's own setting, read from its service key at load: table time per port access.
(cd "$work/run" && timeout 60 "$wine" reg add 'HKLM\System\CurrentControlSet\Services\PortTalk' \
  /v AccessTicks /t REG_DWORD /d "$accessTicks" /f >>"$work/reg.out" 2>>"$work/reg.err") ||
  fail "reg add AccessTicks: exit $? ($(cat "$work/reg.err"))"

# Run 2: the service starts, the device opens, the session moves the table and the program
# checks the table's state through the driver's own control code. The library writes its port
# trace for comparison with the Linux build's.
trace="$work/trace-run2.txt"
export STEPLINK_TRACE="Z:${trace//\//\\}"
run session 240 session steplink.dll
unset STEPLINK_TRACE
# The library's own lines, exact: the start line and nothing else (the program's are "e2e: ").
grep -v '^e2e: ' "$work/session.lines" >"$work/session.library" || true
echo "PortTalk: The PortTalk driver has been successfully started." >"$work/session.expected"
if ! diff -u "$work/session.expected" "$work/session.library" >"$work/session.diff"; then
  fail "session: the library's lines differ (- expected, + got):"
  cat "$work/session.diff"
fi
if [ "$(tail -n 1 "$work/session.lines")" != "e2e: done" ]; then
  fail "session: the program did not finish its checks:"
  cat "$work/session.lines" "$work/session.err"
fi
if [ "$(grep -v '^#' "$trace" 2>/dev/null | head -n 1 | tr -d '\r')" != "call openConn" ]; then
  fail "session: no port trace at $trace"
fi
grep '^e2e: table' "$work/session.lines"
if ! grep -q "^e2e: table .* access-ticks=$accessTicks\$" "$work/session.lines"; then
  fail "session: the driver did not take AccessTicks from its service key"
fi

echo "port trace of run 2: $trace ($(wc -l <"$trace" 2>/dev/null || echo 0) lines)"
echo "wine end-to-end test ($bits-bit) of $(basename "$(dirname "$dll")")/$(basename "$dll"):" \
  "$((SECONDS - start)) s, $([ $failed -eq 0 ] && echo passed || echo FAILED)"
exit $failed
