#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian 12 machine: the MinGW-w64 cross compiler
# for the 32-bit Windows DLL, Wine (32-bit) to run it, the JDK, CMake, Ninja, the test libraries,
# the G-code job's TOML and JSON libraries, cpp-httplib for the live view and Chromium for its
# browser test, QEMU, busybox-static and cpio for the guest test (which fetches Debian's
# kernel package itself), and for the Debian package dpkg-dev (dpkg-shlibdeps), lintian and
# man-db (the package test's `man`).
# Needs root (or sudo); does nothing for packages that are already there.
set -euo pipefail

need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for pkg in cmake ninja-build g++ libgtest-dev libbenchmark-dev openjdk-17-jdk-headless \
           g++-mingw-w64-i686 gcc-mingw-w64-i686 mingw-w64-common wine wine32:i386 \
           clang clang-format clang-tidy libclang-rt-14-dev llvm binutils valgrind python3 \
           libtomlplusplus-dev nlohmann-json3-dev libcpp-httplib-dev libcli11-dev chromium \
           qemu-system-x86 busybox-static cpio dpkg-dev lintian man-db; do
  have "$pkg" || need+=("$pkg")
done
[ ${#need[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null; then SUDO=sudo; else
    echo "install-deps: missing packages: ${need[*]}" >&2
    echo "install-deps: run this script as root, or install them with apt-get." >&2
    exit 1
  fi
fi
echo "install-deps: installing ${need[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then $SUDO dpkg --add-architecture i386; fi
# A mirror in the middle of a sync can fail one index ("File has unexpected size"); try again,
# and go on with the lists there are if it keeps failing: the install below says what is missing.
for attempt in 1 2 3; do
  $SUDO apt-get update -qq && break
  echo "install-deps: apt-get update failed (attempt $attempt of 3)" >&2
  sleep $((attempt * 5))
done
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" \
  >/tmp/steplink-install-deps.log 2>&1 || {
  echo "install-deps: apt-get failed; see /tmp/steplink-install-deps.log" >&2
  tail -n 20 /tmp/steplink-install-deps.log >&2
  exit 1
}
