#!/usr/bin/env bash
# The main job: builds the Linux library, the runner and the Java classes (linux preset, only what
# the demo needs), then runs SteplinkDemo on the simulated table: it homes the table, runs a short
# job, shows where the table is while it moves, and writes a plot of what it did.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/demo.sh [--virtual] [--svg FILE] [--build DIR]

  --virtual   run on the virtual clock (done in a second or two) instead of real time (~30 s)
  --svg FILE  where to write the plot (default: BUILD/demo/demo.svg)
  --build DIR build tree to use (default: build/linux, the linux preset)
EOF
}

clock=realtime
svg=""
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --virtual) clock=virtual ;;
    --svg) [ $# -ge 2 ] || { usage >&2; exit 2; }; svg="$2"; shift ;;
    --build) [ $# -ge 2 ] || { usage >&2; exit 2; }; build="$2"; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "demo: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

root="$(cd "$(dirname "$0")/.." && pwd)"
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
[ -n "$svg" ] && svg="$(absolute "$svg")"
[ -n "$build" ] && build="$(absolute "$build")"
cd "$root"

say() { printf '\n== %s\n' "$*"; }

# install-deps.sh returns at once when everything is there.
missing=""
for tool in cmake ninja g++ javac java; do
  command -v "$tool" >/dev/null || missing="$missing $tool"
done
say "Checking what the build needs${missing:+ (missing:$missing)}"
if ! scripts/install-deps.sh; then
  [ -z "$missing" ] || exit 1
  echo "demo: some packages could not be installed; going on with what is there" >&2
fi

if [ -z "$build" ]; then
  build="$root/build/linux"
  configure=(cmake --preset linux)
else
  configure=(cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
fi
say "Building the library, the runner and the Java classes ($build)"
log="$(mktemp -t steplink-demo-build.XXXXXX)"
trap 'rm -f "$log"' EXIT
if ! { "${configure[@]}" && cmake --build "$build" -j 2 \
         --target steplink_standard steplink_runner steplink_java; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "demo: the build failed (above: the last 40 lines of its log)" >&2
  exit 1
fi
echo "built."

out="$build/demo"
mkdir -p "$out"
[ -n "$svg" ] || svg="$out/demo.svg"
record="$out/demo.record"
status="steplink-demo-$$"
trap 'rm -f "$log" "/dev/shm/$status"' EXIT
rm -f "$svg"

say "Running the demo job on the simulated table ($clock clock)"
java="java"
[ -n "${JAVA_HOME:-}" ] && [ -x "$JAVA_HOME/bin/java" ] && java="$JAVA_HOME/bin/java"
STEPLINK_SIM="clock=$clock,record=$record,status=$status" \
  "$java" -cp "$build/java/classes" \
  -Dsteplink.library="$build/lib/standard/libsteplink.so" \
  -Dsteplink.runner="$build/bin/steplink" \
  -Dsteplink.svg="$svg" \
  SteplinkDemo
echo
echo "Every step, aux change and fault of the run: $record"
echo "The same job as a runner script: ${build#$root/}/bin/steplink run jobs/demo.steplink --plot demo.svg"
