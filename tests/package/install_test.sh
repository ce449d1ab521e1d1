#!/usr/bin/env bash
# `cmake --install` of this build tree: into a DESTDIR at the configured prefix, and at another
# prefix with --prefix; both must hold the same files and links, all under their own root.
# Needs no root: everything goes below the work folder.
set -uo pipefail
tree=$1 work=$2
fail() { echo "FAIL: $*"; exit 1; }
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:[A-Z]*=//p' "$tree/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$tree/CMakeCache.txt")
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$tree/CMakeCache.txt")
rm -rf "$work"
mkdir -p "$work"

# Lists a root's files and links (with their targets), relative to the prefix inside it.
layout() { (cd "$1" && find . ! -type d -printf '%p %l\n' | sed 's/ $//' | LC_ALL=C sort); }

DESTDIR=$work/destdir cmake --install "$tree" >"$work/destdir.log" 2>&1 ||
  { cat "$work/destdir.log"; fail "DESTDIR=... cmake --install failed"; }
top=${prefix#/}
[ "$(ls "$work/destdir")" = "${top%%/*}" ] ||
  fail "the DESTDIR install wrote outside $work/destdir$prefix: $(ls "$work/destdir")"
cmake --install "$tree" --prefix "$work/opt" >"$work/prefix.log" 2>&1 ||
  { cat "$work/prefix.log"; fail "cmake --install --prefix failed"; }

expected="./bin/steplink
./$libdir/jni/libsteplink-start200.so ../steplink/start200/libsteplink.so
./$libdir/jni/libsteplink.so ../steplink/standard/libsteplink.so
./$libdir/steplink/standard/libsteplink.so
./$libdir/steplink/start200/libsteplink.so
./share/doc/steplink/README.md
./share/doc/steplink/copyright
./share/doc/steplink/docs/device-layer.md
./share/doc/steplink/docs/internals.md
./share/doc/steplink/docs/live-view-gcode.png
./share/doc/steplink/docs/live-view.png
./share/doc/steplink/docs/panel-jobs.png
./share/doc/steplink/docs/panel.png
./share/doc/steplink/docs/wiring.md
./share/doc/steplink/docs/wiring.svg
./share/java/steplink-$version.jar
./share/java/steplink.jar steplink-$version.jar
./share/man/man1/steplink.1.gz
./share/steplink/jobs/demo.steplink
./share/steplink/jobs/engraving.nc
./share/steplink/jobs/example.nc
./share/steplink/jobs/example.toml
./share/steplink/jobs/pocket.nc"
for root in "$work/destdir$prefix" "$work/opt"; do
  got=$(layout "$root")
  [ "$got" = "$(LC_ALL=C sort <<<"$expected")" ] ||
    fail "the install at $root differs:$(diff <(LC_ALL=C sort <<<"$expected") <(echo "$got"))"
  # The links resolve inside the install, and the jar's link reaches a jar.
  [ -f "$root/$libdir/jni/libsteplink.so" ] || fail "$root: the JNI link is dangling"
  cmp -s "$root/$libdir/jni/libsteplink.so" "$root/$libdir/steplink/standard/libsteplink.so" ||
    fail "$root: the JNI link is not the standard variant"
  python3 -m zipfile -t "$root/share/java/steplink.jar" >/dev/null || fail "$root: steplink.jar is no jar"
  [ "$(stat -c %a "$root/$libdir/steplink/standard/libsteplink.so")" = 644 ] ||
    fail "$root: the libraries must be 0644"
  # Every file the installed documents link to is installed beside them.
  docdir=$root/share/doc/steplink
  for page in "$docdir"/README.md "$docdir"/docs/*.md; do
    for target in $(grep -oE '\]\([^)#: ]+[)#]' "$page" | sed -E 's/^\]\(//; s/[)#]$//' | sort -u); do
      [ -e "$(dirname "$page")/$target" ] ||
        fail "$root: ${page#"$docdir"/} links $target, which is not installed"
    done
  done
done
echo "ok: cmake --install at $prefix (DESTDIR) and at --prefix $work/opt: $(wc -l <<<"$expected") files and links each"
