# Sourced by the Wine test harnesses: checks that Wine is there, lays out a fresh work folder and
# a fresh 32-bit prefix inside it, and makes sure the prefix's wineserver (with every service and
# driver host it started) is stopped when the harness exits.
# Usage: wine_prepare WINE WINESERVER WORKDIR   (sets WINEPREFIX; leaves WORKDIR/run empty)
wine_prepare() {
  local wine=$1 wineserver=$2 work=$3
  if [ -z "$wine" ] || [ ! -x "$wine" ] || [ -z "$wineserver" ] || [ ! -x "$wineserver" ]; then
    # Skipped, not passed: ctest lists it as skipped with this reason (SKIP_RETURN_CODE 77).
    echo "SKIPPED: Wine not found. Install the Debian packages wine and wine32:i386" \
      "(after dpkg --add-architecture i386), e.g. with scripts/install-deps.sh as root."
    exit 77
  fi
  rm -rf "$work"
  mkdir -p "$work/run"
  export WINEPREFIX="$work/prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY STEPLINK_TRACE STEPLINK_SIM
  # shellcheck disable=SC2064  # the server's path is fixed now, on purpose
  trap "timeout 15 '$wineserver' -k >/dev/null 2>&1 || true" EXIT
}
