#!/usr/bin/env bash
# A real browser on the live view: headless Chromium loads the page of a running job (steplink run
# --realtime --view), the test reads the rendered DOM when the job has ended and checks that the
# positions and the end shown are those of the runner's summary, and takes a screenshot.
# Usage: browser_test.sh RUNNER LIBRARY OUTDIR. Exit 77 (skipped) when Chromium is missing.
set -euo pipefail
runner=$1 library=$2 outdir=$3
chromium=$(command -v chromium || command -v chromium-browser || true)
if [ -z "$chromium" ]; then
  echo "chromium is not installed (scripts/install-deps.sh installs it); browser test skipped"
  exit 77
fi
mkdir -p "$outdir"
work=$(mktemp -d)
pid=""
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

cat >"$work/job.steplink" <<'JOB'
openConn
initTimer
vectorOut 600 0 0
vectorOut 0 400 0
vectorOut 0 0 32000
vectorOut -300 -250 32222
closeConn
JOB

browser() {  # browser WHAT ARGS...: headless, fresh profile, nothing but the page's own requests
  local what=$1
  shift
  timeout 120 "$chromium" --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/profile-$what" --window-size=1280,1000 --virtual-time-budget=15000 \
    "$@" 2>"$work/chromium-$what.log" || {
    echo "FAIL: chromium failed ($what)"; tail -n 20 "$work/chromium-$what.log"; exit 1; }
}

start_job() {  # starts the job, sets pid and url (waits at most 10 s for the URL)
  "$runner" run "$work/job.steplink" --realtime --view --library "$library" \
    >"$work/out.txt" 2>"$work/err.txt" &
  pid=$!
  url=""
  for _ in $(seq 200); do
    url=$(grep -o 'http://127\.0\.0\.1:[0-9]*/?token=[0-9a-f]*' "$work/err.txt" || true)
    [ -n "$url" ] && return 0
    sleep 0.05
  done
  echo "FAIL: the runner printed no URL"; cat "$work/err.txt"; exit 1
}

# The DOM once the job has ended (the page closes its stream then, so the browser's virtual time
# runs out right after the last event), and a screenshot, from two pages on the same job.
start_job
browser shot --screenshot="$outdir/live-view.png" "$url" >/dev/null &
shot=$!
browser dom --dump-dom "$url" >"$work/dom.html"
wait "$pid" || { echo "FAIL: the job failed"; cat "$work/out.txt" "$work/err.txt"; exit 1; }
pid=""
wait "$shot"
read -r sx sy sz < <(sed -n 's/^  position   x \(-\?[0-9]*\)  y \(-\?[0-9]*\)  z \(-\?[0-9]*\) (steps)$/\1 \2 \3/p' "$work/out.txt")
shown() { sed -n "s/.*id=\"$1\"[^>]*>\([^<]*\)<.*/\1/p" "$work/dom.html" | head -1; }
status=$(shown status)
echo "summary: x $sx y $sy z $sz; page: x $(shown pos-x) y $(shown pos-y) z $(shown pos-z), aux '$(shown aux)', '$status'"
fail=0
[ "$(shown pos-x)" = "$sx" ] && [ "$(shown pos-y)" = "$sy" ] && [ "$(shown pos-z)" = "$sz" ] || {
  echo "FAIL: the page shows other positions than the summary"; fail=1; }
[ "$sx" = 300 ] && [ "$sy" = 150 ] || { echo "FAIL: unexpected end position"; fail=1; }
[ "$(shown aux)" = "on (1)" ] || { echo "FAIL: aux not shown as on"; fail=1; }
case "$status" in "The job has ended"*) ;; *) echo "FAIL: the page does not say the job ended"; fail=1 ;; esac
grep -q 'id="stop"[^>]*disabled' "$work/dom.html" || { echo "FAIL: Stop still offered after the end"; fail=1; }
[ $fail -eq 0 ] || { echo "--- DOM"; grep -E 'id="(pos|status|aux|call)' "$work/dom.html"; exit 1; }
[ -s "$outdir/live-view.png" ] || { echo "FAIL: no screenshot"; cat "$work/chromium-shot.log"; exit 1; }
echo "screenshot: $outdir/live-view.png"
echo "PASS"
