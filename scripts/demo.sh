#!/usr/bin/env bash
# The main job: builds the Linux library, the runner and the Java classes (linux preset, only what
# the demo needs), then runs SteplinkDemo on the simulated table: it homes the table, runs a short
# job, shows where the table is while it moves, and writes a plot of what it did.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/demo.sh [--virtual] [--view] [--svg FILE] [--build DIR]

  --virtual   run on the virtual clock (done in a second or two) instead of real time (~30 s)
  --view      watch the job live in a browser: prints the URL of the live view to open
              (steplink view --status ...; watch only, the demo is stopped with Ctrl-C)
  --svg FILE  where to write the plot (default: BUILD/demo/demo.svg)
  --build DIR build tree to use (default: build/linux, the linux preset)

Installs only what the demo needs when something is missing (as root or with sudo);
scripts/install-deps.sh --demo --dry-run shows what that would be, and why.
EOF
}

clock=""
live=0
svg=""
build=""
while [ $# -gt 0 ]; do
  case "$1" in
    --virtual) clock=virtual ;;
    --view) live=1 ;;
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

# Only what the demo needs: the compiler, CMake, Ninja, a JDK and the libraries the runner links
# (install-deps.sh --demo lists each missing package with its reason before installing it, and
# returns at once when everything is there). The tests' tools come with scripts/check.sh.
missing=""
for tool in cmake ninja g++ javac java; do
  command -v "$tool" >/dev/null || missing="$missing $tool"
done
say "Checking what the demo needs to build${missing:+ (missing:$missing)}"
echo "(the compiler, CMake, Ninja, a JDK and the libraries the runner links; no test tools)"
if ! scripts/install-deps.sh --demo; then
  echo "demo: some packages could not be installed; going on with what is there" >&2
fi
# Say exactly what is still missing rather than fail later with "command not found".
still=""
for tool in cmake ninja g++ javac java; do
  command -v "$tool" >/dev/null || still="$still $tool"
done
if [ -n "$still" ]; then
  echo "demo: still missing:$still" >&2
  case "$still" in *java*)
    echo "demo: Java comes with 'apt-get install openjdk-17-jdk-headless' (as root);" >&2
    echo "demo: without Java the same job runs in the runner: build/linux/bin/steplink run jobs/demo.steplink --plot demo.svg" >&2 ;;
  esac
  exit 1
fi

# The tests' packages (GoogleTest, cpp-httplib through pkg-config, Python) are scripts/check.sh's:
# with all of them there the tree keeps its tests, else it is configured without them.
tests=ON
absent=""
for pkg in libgtest-dev libcpp-httplib-dev pkgconf python3; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
    { tests=OFF; absent="$absent $pkg"; }
done
if [ -z "$build" ]; then
  build="$root/build/linux"
  configure=(cmake --preset linux "-DSTEPLINK_TESTS=$tests")
else
  configure=(cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
    "-DSTEPLINK_TESTS=$tests")
fi
say "Building the library, the runner and the Java classes ($build)"
[ "$tests" = ON ] || echo "(configured without the tests: not installed:$absent; scripts/check.sh installs them and builds the tests)"
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
# The table's settings, key by key: the demo's own defaults < STEPLINK_SIM of the environment <
# --virtual, the same order as the runner's. (Values with escaped commas are not split here.)
user_sim="${STEPLINK_SIM:-}"
sim_value() {  # the value of key $1 in $2, or nothing
  printf '%s' "$2" | tr ',' '\n' | sed -n "s/^[[:space:]]*$1[[:space:]]*=[[:space:]]*//p" |
    sed 's/[[:space:]]*$//' | tail -n 1
}
without_key() {  # $2 without the items of key $1
  printf '%s' "$2" | tr ',' '\n' | { grep -Ev "^[[:space:]]*$1[[:space:]]*=" || true; } | paste -sd, -
}
sim="$user_sim"
add() { sim="${sim:+$sim,}$1"; }
if [ "$clock" = virtual ]; then
  sim="$(without_key clock "$sim")"
  add clock=virtual
elif [ -z "$(sim_value clock "$sim")" ]; then
  add clock=realtime
fi
clock="$(sim_value clock "$sim")"
record="$(sim_value record "$sim")"
if [ -z "$record" ]; then record="$out/demo.record"; add "record=$record"; fi
status="$(sim_value status "$sim")"
own_status=""
if [ -z "$status" ]; then status="steplink-demo-$$"; own_status="/dev/shm/$status"; add "status=$status"; fi
viewer=""
trap 'rm -f "$log" $own_status; [ -z "$viewer" ] || kill "$viewer" 2>/dev/null' EXIT
rm -f "$svg"
if ! { : >"$svg"; } 2>/dev/null; then
  echo "demo: cannot write the plot $svg" >&2
  exit 1
fi
rm -f "$svg"

if [ "$live" = 1 ]; then
  # The live view watches the block the demo's table writes; it may start before the block exists.
  "$build/bin/steplink" view --status "$status" 2>"$out/view.log" &
  viewer=$!
  url=""
  for _ in $(seq 100); do
    url=$(grep -o 'http://[^ ]*token=[0-9a-f]*' "$out/view.log" || true)
    [ -n "$url" ] && break
    sleep 0.05
  done
  [ -n "$url" ] || { cat "$out/view.log" >&2; echo "demo: the live view did not start" >&2; exit 1; }
  say "Live view: open $url"
  if [ "$clock" = realtime ]; then
    echo "(the job starts in 5 s; it does not wait for the browser)"
    sleep 5
  fi
fi

say "Running the demo job on the simulated table ($clock clock; STEPLINK_SIM=$sim)"
java="java"
[ -n "${JAVA_HOME:-}" ] && [ -x "$JAVA_HOME/bin/java" ] && java="$JAVA_HOME/bin/java"
STEPLINK_SIM="$sim" \
  "$java" -cp "$build/java/classes" \
  -Dsteplink.library="$build/lib/standard/libsteplink.so" \
  -Dsteplink.runner="$build/bin/steplink" \
  -Dsteplink.svg="$svg" \
  SteplinkDemo
echo
if [ -n "$viewer" ]; then
  sleep 1  # the page shows the end before the view closes
  kill "$viewer" 2>/dev/null || true
  wait "$viewer" 2>/dev/null || true
  viewer=""
fi
if [ ! -s "$svg" ]; then
  echo "demo: no plot was written to $svg (see the demo's lines above)" >&2
  exit 1
fi
echo "Every step, aux change and fault of the run: $record"
echo "The same job as a runner script: ${build#"$root"/}/bin/steplink run jobs/demo.steplink --plot demo.svg"
