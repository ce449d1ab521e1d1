# Sourced by the Wine test harnesses: checks that a Wine of the DLL's width is there, lays out a
# fresh work folder and a fresh prefix of that width inside it, and makes sure the prefix's
# wineserver (with every service and driver host it started) is stopped when the harness exits.
# Usage: wine_prepare WINE WINESERVER WORKDIR BITS   (BITS 32 or 64; sets WINEPREFIX; leaves
# WORKDIR/run empty). A skip leaves its reason in WORKDIR/SKIPPED for the tests that follow.

# Debian's wine script picks its loader from these two; wine32:i386 brings the first, wine64 the
# second. A 32-bit program needs the first; a 64-bit one the second.
wine_loader32=${STEPLINK_WINE_LOADER32:-/usr/lib/wine/wine}
wine_loader64=${STEPLINK_WINE_LOADER64:-/usr/lib/wine/wine64}

wine_skip() {  # $1 = work folder, then the reason
  local work=$1
  shift
  rm -rf "$work"
  mkdir -p "$work"
  echo "$*" >"$work/SKIPPED"
  # Skipped, not passed: ctest lists it as skipped with this reason (SKIP_RETURN_CODE 77).
  echo "SKIPPED: $*"
  exit 77
}

wine_prepare() {
  local wine=$1 wineserver=$2 work=$3 bits=${4:-32}
  if [ -z "$wine" ] || [ ! -x "$wine" ] || [ -z "$wineserver" ] || [ ! -x "$wineserver" ]; then
    if [ "$bits" = 64 ]; then
      wine_skip "$work" "Wine not found. Install the Debian packages wine and wine64," \
        "e.g. with scripts/install-deps.sh as root."
    fi
    wine_skip "$work" "Wine not found. Install the Debian packages wine and wine32:i386" \
      "(after dpkg --add-architecture i386), e.g. with scripts/install-deps.sh as root."
  fi
  # Only where the loaders sit in Debian's places can their absence be told; elsewhere the wine
  # command is trusted to run both widths.
  if [ -e "$wine_loader32" ] || [ -e "$wine_loader64" ]; then
    if [ "$bits" = 32 ] && [ ! -x "$wine_loader32" ]; then
      wine_skip "$work" "32-bit Wine is not installed ($wine_loader32 missing): install the" \
        "Debian package wine32:i386 (after dpkg --add-architecture i386) to run the 32-bit DLL."
    fi
    if [ "$bits" = 64 ] && [ ! -x "$wine_loader64" ]; then
      wine_skip "$work" "64-bit Wine is not installed ($wine_loader64 missing): install the" \
        "Debian package wine64 to run the 64-bit DLL."
    fi
  fi
  rm -rf "$work"
  mkdir -p "$work/run"
  local arch=win32
  [ "$bits" = 64 ] && arch=win64
  export WINEPREFIX="$work/prefix" WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY STEPLINK_TRACE STEPLINK_SIM
  # shellcheck disable=SC2064  # the server's path is fixed now, on purpose
  trap "timeout 15 '$wineserver' -k >/dev/null 2>&1 || true" EXIT
}
