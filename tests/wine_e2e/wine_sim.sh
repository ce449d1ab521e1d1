#!/usr/bin/env bash
# The 64-bit DLL on the in-process simulated table under 64-bit Wine: no driver, no service, a
# fresh prefix. With STEPLINK_SIM set the library's lines must be the Linux library's for the same
# setting (a Python stand-in drives the Linux build the same way); the session writes the trace
# and the record that wine_sim_vs_linux compares with Linux's; a second thread reads the status
# block (a named file mapping) while the table moves; every bad STEPLINK_SIM value fails openConn
# with Linux's message.
# Usage: wine_sim.sh WINE WINESERVER SIM_EXE DLL WORKDIR ACCESS_TICKS PYTHON LINUX_LIBRARY
set -uo pipefail

wine=$1 wineserver=$2 program=$3 dll=$4 work=$5 accessTicks=$6 python=$7 linuxLibrary=$8
here=$(dirname "$0")

source "$here/../win32/wine_common.sh"
wine_prepare "$wine" "$wineserver" "$work" 64
cp "$program" "$work/run/steplink_sim_e2e.exe"
cp "$dll" "$work/run/steplink.dll"

start=$SECONDS
failed=0
fail() {
  echo "FAIL $*"
  failed=1
}
haveLinux=0
if [ -f "$linuxLibrary" ]; then haveLinux=1; else
  echo "note: no Linux library at $linuxLibrary; the library's lines are checked against the" \
    "fixed expectations only"
fi

# A Windows path for the library, Z: being the prefix's view of /; and the same with every
# backslash doubled, as a STEPLINK_SIM value needs it ("\\" is a backslash there, as on Linux).
winpath() { local p="Z:${1//\//\\}"; printf '%s' "$p"; }
simpath() { local p; p=$(winpath "$1"); printf '%s' "${p//\\/\\\\}"; }

run() {  # $1 = run name, $2 = seconds allowed, then the program's arguments
  local name=$1 seconds=$2
  shift 2
  (cd "$work/run" && timeout "$seconds" "$wine" steplink_sim_e2e.exe "$@" \
    >"$work/$name.out" 2>"$work/$name.err")
  local status=$?
  # msvcrt writes text-mode stdout and stderr with CRLF line ends; the lines are compared.
  tr -d '\r' <"$work/$name.out" >"$work/$name.lines"
  tr -d '\r' <"$work/$name.err" | grep -v '^wine: ' >"$work/$name.errlines"
  if [ $status -ne 0 ]; then
    if [ $status -eq 124 ]; then fail "$name: timed out after $seconds s"; else
      fail "$name: program exited $status"; fi
    cat "$work/$name.lines" "$work/$name.errlines"
  fi
}

linux() {  # $1 = run name, $2 = mode; STEPLINK_SIM as exported
  "$python" "$here/linux_standin.py" "$2" "$linuxLibrary" >"$work/$1.linux.lines" \
    2>"$work/$1.linux.errlines"
}

# 1. The session on the virtual clock with the access cost the driver test uses: trace and record.
trace="$work/trace.txt" record="$work/record.txt"
export STEPLINK_SIM="clock=virtual,access-ticks=$accessTicks,record=$(simpath "$record")"
export STEPLINK_TRACE
STEPLINK_TRACE=$(winpath "$trace")
run session 240 session steplink.dll
unset STEPLINK_TRACE
grep -v '^e2e: ' "$work/session.lines" >"$work/session.library" || true
if [ -s "$work/session.library" ] || [ -s "$work/session.errlines" ]; then
  fail "session: the library printed lines on the simulated table:"
  cat "$work/session.library" "$work/session.errlines"
fi
if [ $haveLinux = 1 ]; then
  # The Linux library with the same settings but its own record: the same lines (none).
  STEPLINK_SIM="clock=virtual,access-ticks=$accessTicks,record=$work/record-linux.txt" \
    linux session session
  grep -v '^e2e: ' "$work/session.linux.lines" | cat - "$work/session.linux.errlines" \
    >"$work/session.linux.library"
  cat "$work/session.library" "$work/session.errlines" >"$work/session.wine.library"
  if ! diff -u "$work/session.linux.library" "$work/session.wine.library"; then
    fail "session: the library's lines differ from Linux's (- Linux, + Wine)"
  fi
fi
[ "$(tail -n 1 "$work/session.lines")" = "e2e: done" ] ||
  fail "session: the program did not finish its checks: $(cat "$work/session.lines")"
[ "$(grep -v '^#' "$trace" 2>/dev/null | head -n 1)" = "call openConn" ] || fail "session: no trace at $trace"
[ -s "$record" ] || fail "session: no record at $record"
echo "session: trace $(wc -l <"$trace" 2>/dev/null || echo 0) lines," \
  "record $(wc -l <"$record" 2>/dev/null || echo 0) lines"

# 2. The status block read by a second thread while the table moves (realtime clock: the moves
# take real time, so the reader sees them part-way).
blockName="steplink-wine-test-$$"
export STEPLINK_SIM="status=$blockName"
run status 240 status steplink.dll "$blockName"
grep '^e2e: \(status\|reader\)' "$work/status.lines"
[ "$(tail -n 1 "$work/status.lines")" = "e2e: done" ] ||
  fail "status: the reader's checks failed: $(cat "$work/status.lines" "$work/status.errlines")"

# 3. Bad values: the library's lines and message as Linux's, openConn 255. A Windows path with
# single backslashes is one of them: a STEPLINK_SIM value escapes them.
badValues=(
  "clock=bogus" "access-ticks=0" "access-ticks=70000" "mode=4" "status-byte=zz" "limit-x=abc"
  "record=" "status=a/b" "service=maybe" "nokey=1" "mode" "=5" "clock=virtual,clock=realtime"
  'record=C:\Users\record.txt'
)
index=0
for value in "${badValues[@]}"; do
  index=$((index + 1))
  export STEPLINK_SIM="$value"
  run "bad$index" 60 open steplink.dll
  if ! grep -qx 'e2e: openConn 255' "$work/bad$index.lines"; then
    fail "STEPLINK_SIM='$value': openConn did not fail: $(cat "$work/bad$index.lines")"
  fi
  if ! grep -q "^steplink-sim: .*STEPLINK_SIM" "$work/bad$index.errlines"; then
    fail "STEPLINK_SIM='$value': no message naming STEPLINK_SIM on standard error"
  fi
  if [ $haveLinux = 1 ]; then
    linux "bad$index" open
    if ! diff -u "$work/bad$index.linux.lines" "$work/bad$index.lines" >"$work/bad$index.diff" ||
      ! diff -u "$work/bad$index.linux.errlines" "$work/bad$index.errlines" \
        >>"$work/bad$index.diff"; then
      fail "STEPLINK_SIM='$value': lines differ from Linux's (- Linux, + Wine):"
      cat "$work/bad$index.diff"
    fi
  fi
done

# A record that cannot be written (its folder is missing): openConn fails with Linux's message,
# the path being the Windows one.
missing="$work/no-such-folder/record.txt"
export STEPLINK_SIM="record=$(simpath "$missing")"
run badrecord 60 open steplink.dll
grep -qx 'e2e: openConn 255' "$work/badrecord.lines" ||
  fail "unwritable record: openConn did not fail: $(cat "$work/badrecord.lines")"
if [ $haveLinux = 1 ]; then
  STEPLINK_SIM="record=$missing" linux badrecord open
  linuxMessage=$(cat "$work/badrecord.linux.errlines")
  expected="${linuxMessage//"$missing"/"$(winpath "$missing")"}"
  if [ "$expected" != "$(cat "$work/badrecord.errlines")" ]; then
    fail "unwritable record: message differs from Linux's: expected '$expected'," \
      "got '$(cat "$work/badrecord.errlines")'"
  fi
fi
unset STEPLINK_SIM
echo "bad STEPLINK_SIM values: ${#badValues[@]} checked, and an unwritable record"

echo "wine simulated-table test (64-bit) of $(basename "$(dirname "$dll")")/$(basename "$dll"):" \
  "$((SECONDS - start)) s, $([ $failed -eq 0 ] && echo passed || echo FAILED)"
exit $failed
