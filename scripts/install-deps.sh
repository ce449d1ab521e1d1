#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine, from the one list below:
# every package with the group that needs it and why. `--demo` installs only what
# scripts/demo.sh needs (the compiler, CMake, Ninja, a JDK and the libraries the runner links: the
# demo configures its tree without the tests); without it, everything scripts/check.sh and CI need.
# Needs root (or sudo); does nothing for packages that are already there.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/install-deps.sh [--demo] [--dry-run] [--list]

  (no option)  everything the build and every test need (what scripts/check.sh and CI use)
  --demo       only what scripts/demo.sh needs to build and run the demo
  --dry-run    say what would be installed and why, install nothing
  --list       print the whole list (package, group, reason) and exit
EOF
}

# NAME | GROUP | WHY. GROUP "demo": the demo needs it (and so does everything else); "test": only
# the tests, the Windows build or the tools of scripts/check.sh. Add new packages here.
packages=(
  "g++|demo|the C++20 compiler for the library, the runner and the tests"
  "cmake|demo|configures and drives the build (presets)"
  "ninja-build|demo|the build tool the presets use"
  "openjdk-17-jdk-headless|demo|javac and java: the Java classes, the jar and the demo program; jni.h for the library"
  "libtomlplusplus-dev|demo|the runner's G-code jobs read their machine file (TOML) with it"
  "nlohmann-json3-dev|demo|the G-code report and the live view's state (JSON)"
  "libboost-dev|demo|Boost.Asio and Boost.Beast: the live view's web server, linked into the runner"
  "libcli11-dev|demo|the runner's command line (CLI11)"
  "libgtest-dev|test|GoogleTest: the unit and integration tests"
  "libcpp-httplib-dev|test|the HTTP client of the live view's tests"
  "pkgconf|test|CMake finds cpp-httplib through pkg-config"
  "python3|test|the export-table check, the trace model test, the docs' link check, the Linux library's lines for the Wine simulated-table test (ctypes); generates steplink(1)"
  "libbenchmark-dev|test|the benchmarks behind BENCHMARKS.md"
  "g++-mingw-w64-i686|test|cross compiler for the 32-bit Windows DLL"
  "gcc-mingw-w64-i686|test|the C side of the same cross compiler (our PortTalk driver)"
  "g++-mingw-w64-x86-64-win32|test|cross compiler for the 64-bit Windows DLL (win32 threads: no libwinpthread)"
  "gcc-mingw-w64-x86-64-win32|test|the C side of the same cross compiler (our 64-bit PortTalk driver)"
  "mingw-w64-common|test|headers and import libraries of the Windows builds"
  "wine|test|runs the Windows DLLs and their tests on Linux"
  "wine64|test|the 64-bit Wine the 64-bit DLL's tests run in (amd64 only, no i386 architecture)"
  "wine32:i386|test|the 32-bit Wine the 32-bit DLL needs"
  "clang|test|the fuzz target (libFuzzer) and the ThreadSanitizer check of the status block"
  "clang-format|test|the format check over every source file"
  "clang-tidy|test|the lint test over src and tool"
  "libclang-rt-14-dev|test|the sanitizer and fuzzer runtimes for clang"
  "llvm|test|llvm-symbolizer for readable sanitizer reports"
  "binutils|test|objdump/nm for the export-table and no-allocation checks"
  "valgrind|test|the memory check of the runner tests"
  "chromium|test|the live view's and the control panel's browser tests (headless)"
  "nodejs|test|runs the G-code live view's and the control panel's browser tests (puppeteer-core drives Chromium)"
  "npm|test|installs the browser test's pinned puppeteer-core (npm ci in the build tree)"
  "qemu-system-x86|test|the guest test: the real kernel's parport and ppdev in a virtual machine"
  "busybox-static|test|the guest test's initial file system"
  "cpio|test|packs the guest test's initial file system"
  "dpkg-dev|test|dpkg-shlibdeps and dpkg-deb for the Debian package (scripts/package.sh)"
  "lintian|test|checks the Debian package against Debian's policy"
  "man-db|test|the package test reads the installed steplink(1) with man"
  "linuxcnc-uspace|test|rs274, LinuxCNC's interpreter: the referee of the G-code comparison test (without its recommends: no desktop)"
)
# Installed without the packages they recommend (a whole desktop for LinuxCNC's screens).
no_recommends=(linuxcnc-uspace)

demo=0
dry=0
while [ $# -gt 0 ]; do
  case "$1" in
    --demo) demo=1 ;;
    --dry-run) dry=1 ;;
    --list)
      printf '%-26s %-5s %s\n' PACKAGE GROUP WHY
      for entry in "${packages[@]}"; do
        IFS='|' read -r name group why <<<"$entry"
        printf '%-26s %-5s %s\n' "$name" "$group" "$why"
      done
      exit 0 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "install-deps: unknown option '$1'" >&2; usage >&2; exit 2 ;;
  esac
  shift
done

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need=()
reasons=()
for entry in "${packages[@]}"; do
  IFS='|' read -r name group why <<<"$entry"
  [ "$demo" = 1 ] && [ "$group" != demo ] && continue
  have "$name" && continue
  # A Node.js that bundles its own npm (NodeSource's builds) conflicts with Debian's npm package.
  [ "$name" = npm ] && command -v npm >/dev/null && continue
  need+=("$name")
  reasons+=("$(printf '  %-26s %s' "$name" "$why")")
done
scope="the build and the tests"
[ "$demo" = 1 ] && scope="the demo"
if [ ${#need[@]} -eq 0 ]; then
  [ "$dry" = 1 ] && echo "install-deps: everything $scope needs is installed"
  exit 0
fi

# Say what comes and why before anything is installed.
echo "install-deps: ${#need[@]} package(s) for $scope are not installed yet:"
printf '%s\n' "${reasons[@]}"
if [ "$dry" = 1 ]; then
  echo "install-deps: --dry-run: nothing installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO=sudo; else
    echo "install-deps: run this script as root, or install them with apt-get install ${need[*]}" >&2
    exit 1
  fi
fi
# Only the 32-bit Wine needs the i386 architecture; the demo never adds it.
case " ${need[*]} " in *:i386*)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "install-deps: adding the i386 architecture (for the 32-bit packages)"
    $SUDO dpkg --add-architecture i386
  fi ;;
esac
# A mirror in the middle of a sync can fail one index ("File has unexpected size"); try again,
# and go on with the lists there are if it keeps failing: the install below says what is missing.
for attempt in 1 2 3; do
  $SUDO apt-get update -qq && break
  echo "install-deps: apt-get update failed (attempt $attempt of 3)" >&2
  sleep $((attempt * 5))
done
install() {
  local plain=() lean=() name
  for name in "$@"; do
    case " ${no_recommends[*]} " in *" $name "*) lean+=("$name") ;; *) plain+=("$name") ;; esac
  done
  if [ ${#plain[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${plain[@]}" \
      >>/tmp/steplink-install-deps.log 2>&1 || return 1
  fi
  if [ ${#lean[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
      "${lean[@]}" >>/tmp/steplink-install-deps.log 2>&1 || return 1
  fi
}
: >/tmp/steplink-install-deps.log
echo "install-deps: installing ${need[*]}"
if install "${need[@]}"; then exit 0; fi
# The 32-bit packages must match the installed 64-bit ones version for version, so a mirror whose
# i386 index lags behind (or failed to download above) makes them uninstallable while everything
# else installs. Then install the rest (wine and wine64 with it: they need no i386 package) and
# say loudly what is missing: the 32-bit DLL's Wine tests report themselves skipped, with the
# reason, instead of failing the whole run; the 64-bit DLL's still run.
rest=()
wine32=()
for name in "${need[@]}"; do
  case "$name" in *:i386) wine32+=("$name") ;; *) rest+=("$name") ;; esac
done
if [ ${#wine32[@]} -gt 0 ] && { [ ${#rest[@]} -eq 0 ] || install "${rest[@]}"; }; then
  echo "install-deps: WARNING: ${wine32[*]} could not be installed (apt-get's reasons:" \
    "/tmp/steplink-install-deps.log); the 32-bit Windows DLL's Wine tests will be SKIPPED." >&2
  grep -E '^(E:|W:| )' /tmp/steplink-install-deps.log | tail -n 8 >&2
  exit 0
fi
echo "install-deps: apt-get failed; see /tmp/steplink-install-deps.log" >&2
tail -n 20 /tmp/steplink-install-deps.log >&2
exit 1
