#!/usr/bin/env bash
# Pacing lateness on the realtime table with the live view's server under load: no view, one page
# (one event stream), fifty clients (the capped eight streams plus 42 clients polling /state).
# The server is the view fixture (tests/view_fixture_server: the same server and sampler over a
# block that changes every few milliseconds); the pacing is motion_bench's. Usage:
# bench/view_load.sh BUILD_DIR OUT_DIR [STEPS]
set -euo pipefail
build=$1 out=$2 steps=${3:-20000}
mkdir -p "$out"
pids=()
stop_load() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; pids=(); wait 2>/dev/null || true; }
trap stop_load EXIT

start_view() {  # start_view CLIENTS: the fixture for 10 minutes and CLIENTS clients
  "$build/tests/steplink_view_fixture" 600 >"$out/view_url.txt" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$out/view_url.txt" ] && break; sleep 0.05; done
  local url port token
  url=$(head -1 "$out/view_url.txt")
  port=$(echo "$url" | sed 's|.*:\([0-9]*\)/.*|\1|')
  token=${url##*token=}
  for client in $(seq "$1"); do
    if [ "$client" -le 8 ]; then
      curl -sN --max-time 600 "http://127.0.0.1:$port/events?token=$token" >/dev/null &
    else
      (while :; do curl -s --max-time 2 "http://127.0.0.1:$port/state?token=$token" >/dev/null; sleep 0.05; done) &
    fi
    pids+=($!)
  done
  sleep 1
}

"$build/bench/steplink_motion_bench" pacing --steps "$steps" --label "no view" >"$out/pacing_view_none.json"
start_view 1
"$build/bench/steplink_motion_bench" pacing --steps "$steps" --label "one page" >"$out/pacing_view_one.json"
stop_load
start_view 50
"$build/bench/steplink_motion_bench" pacing --steps "$steps" --label "50 clients" >"$out/pacing_view_fifty.json"
stop_load
rm -f "$out/view_url.txt"
for f in none one fifty; do cat "$out/pacing_view_$f.json"; echo; done
