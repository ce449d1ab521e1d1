#!/usr/bin/env bash
# The Wine run's port trace against the independent model of the library (tests/model): the model
# runs the session with every port read and openConn's handle answered from the trace and must
# write the trace line for line. Skips (77) when the Wine session was skipped, saying why.
# Usage: replay_trace.sh PYTHON PORT_MODEL SESSION WIN_TRACE START_SPEED WORKDIR
set -uo pipefail
python=$1 model=$2 session=$3 winTrace=$4 startSpeed=$5 work=$6

if [ ! -s "$winTrace" ]; then
  skipNote="$(dirname "$winTrace")/SKIPPED"
  if [ -f "$skipNote" ]; then
    echo "SKIPPED: the Wine session was skipped: $(cat "$skipNote")"
    exit 77
  fi
  echo "FAIL: no Wine trace at $winTrace (the wine_e2e test writes it)"
  exit 1
fi
rm -rf "$work"
mkdir -p "$work"
tr -d '\r' <"$winTrace" >"$work/trace-wine.txt"
"$python" "$model" replay "$session" "$work/trace-wine.txt" --start-speed "$startSpeed" \
  --workdir "$work"
