#!/usr/bin/env bash
# Makes the Debian package build/package/steplink_VERSION_amd64.deb: a release build (the two
# Win32 DLLs for the jar first, when the MinGW cross compiler is there), installed with
# `cmake --install --strip` into a staging folder, the Debian files added, dependencies from
# dpkg-shlibdeps, packed with dpkg-deb and checked with lintian. Prints the package's path last.
#
#   scripts/package.sh                     build (build/release) and package
#   CI=true scripts/package.sh             package build/ci-linux as scripts/check.sh left it
#   scripts/package.sh --build-tree DIR    package an existing build tree, building nothing
#   --output DIR                           where the package goes (default build/package)
#   --no-win32                             leave the Windows DLLs (32- and 64-bit) out of the jar (said so loudly)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD

tree=""
out=$source/build/package
win32=yes
while [ $# -gt 0 ]; do
  case "$1" in
    --build-tree) tree=$(realpath "$2"); shift 2 ;;
    --output) out=$(realpath -m "$2"); shift 2 ;;
    --no-win32) win32=no; shift ;;
    -h | --help) sed -n '2,11s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "package: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
say() { echo "package: $*" >&2; }
die() { say "$*"; exit 1; }

if [ -z "$tree" ] && [ "${CI:-}" = "true" ]; then
  tree=$source/build/ci-linux
  say "CI: packaging the build tree scripts/check.sh made ($tree), building nothing"
fi
if [ -z "$tree" ]; then
  # The packaging needs a part of what install-deps installs (not Wine or QEMU): go on when the
  # rest cannot be had; the build says what is missing.
  scripts/install-deps.sh ||
    say "WARNING: scripts/install-deps.sh failed (above); going on with what is installed"
  [ -f /etc/profile.d/steplink-ccache.sh ] && . /etc/profile.d/steplink-ccache.sh
  jobs=$(nproc)
  if [ "$win32" = no ]; then
    say "--no-win32: the jar carries the Linux natives only (and a Win32 build's DLLs, if one is there)"
  elif command -v i686-w64-mingw32-g++ >/dev/null; then
    say "the Win32 DLLs for the jar (ci-win32)"
    cmake --preset ci-win32 >/dev/null
    cmake --build --preset ci-win32 -j "$jobs" --target steplink_standard steplink_start200
  else
    say "no MinGW-w64 cross compiler (i686-w64-mingw32-g++): the jar carries no 32-bit Windows DLLs"
  fi
  if [ "$win32" = no ]; then
    :
  elif command -v x86_64-w64-mingw32-g++-win32 >/dev/null; then
    say "the 64-bit Windows DLLs for the jar (ci-win64)"
    cmake --preset ci-win64 >/dev/null
    cmake --build --preset ci-win64 -j "$jobs" --target steplink_standard steplink_start200
  else
    say "no MinGW-w64 cross compiler (x86_64-w64-mingw32-g++-win32): the jar carries no 64-bit Windows DLLs"
  fi
  say "release build (build/release)"
  cmake --preset release >/dev/null
  cmake --build build/release -j "$jobs" --target steplink_runner steplink_standard \
    steplink_start200 steplink_jar steplink_manpage
  tree=$source/build/release
fi

# The tree must have been configured for /usr: the runner looks for its libraries at the
# library folder compiled into it.
cache=$tree/CMakeCache.txt
[ -f "$cache" ] || die "$tree is no configured build tree (no CMakeCache.txt)"
cached() { sed -n "s/^$1:[A-Z]*=//p" "$cache" | head -n 1; }
prefix=$(cached CMAKE_INSTALL_PREFIX)
[ "$prefix" = /usr ] || die "$tree is configured with CMAKE_INSTALL_PREFIX=$prefix; the package" \
  "needs /usr (the linux presets set it; reconfigure with -DCMAKE_INSTALL_PREFIX=/usr)"
upstream=$(cached CMAKE_PROJECT_VERSION)
[ -n "$upstream" ] || die "no project version in $cache"

# One version: the changelog's newest entry must be this build's project version.
changelog=$source/packaging/changelog
version=$(sed -n '1s/^steplink (\([^)]*\)).*/\1/p' "$changelog")
[ "${version%-*}" = "$upstream" ] || die "packaging/changelog's newest entry is $version, the" \
  "project version is $upstream: add a changelog entry for $upstream-1"
arch=$(dpkg --print-architecture)
deb=$out/steplink_${version}_${arch}.deb

stage=$out/stage
rm -rf "$stage"
mkdir -p "$stage/DEBIAN"
say "installing $tree into $stage"
DESTDIR=$stage cmake --install "$tree" --prefix /usr --strip >"$out/install.log" ||
  die "cmake --install failed; see $out/install.log"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for file in usr/bin/steplink usr/lib/$multiarch/steplink/standard/libsteplink.so \
            usr/lib/$multiarch/steplink/start200/libsteplink.so usr/lib/$multiarch/jni/libsteplink.so \
            usr/lib/$multiarch/jni/libsteplink-start200.so \
            usr/share/java/steplink-$upstream.jar usr/share/man/man1/steplink.1.gz; do
  [ -e "$stage/$file" ] || die "the install left out /$file (is $tree fully built?)"
done

# What dh_strip leaves out of a Debian binary beyond `cmake --install --strip`: the compiler's
# notes (.comment, .note); shared libraries keep only the symbols they need.
strip --remove-section=.comment --remove-section=.note "$stage/usr/bin/steplink"
strip --remove-section=.comment --remove-section=.note --strip-unneeded \
  "$stage/usr/lib/$multiarch"/steplink/*/libsteplink.so

# Debian's own files: the notes on the parallel port, the changelog; documents over 4 KiB
# compressed, as policy asks (gzip -n: no name or time stamp in them).
doc=$stage/usr/share/doc/steplink
install -m 0644 packaging/README.Debian "$doc/README.Debian"
gzip -9n <"$changelog" >"$doc/changelog.Debian.gz"
# The lintian tags that are right for a package Debian did not upload, each with its reason.
install -D -m 0644 packaging/lintian-overrides "$stage/usr/share/lintian/overrides/steplink"
find "$doc" -type f \( -name '*.md' -o -name 'README.Debian' \) -size +4k -exec gzip -9nf {} +
chmod -R u+rwX,go+rX,go-w "$stage"
find "$stage" -type f -exec chmod 0644 {} +
chmod 0755 "$stage/usr/bin/steplink"

# Dependencies computed from the binaries; dpkg-shlibdeps wants a debian/control to read.
shlib=$(mktemp -d)
trap 'rm -rf "$shlib"' EXIT
mkdir -p "$shlib/debian"
printf 'Source: steplink\n\nPackage: steplink\nArchitecture: any\n' >"$shlib/debian/control"
depends=$(cd "$shlib" && dpkg-shlibdeps -O -e"$stage/usr/bin/steplink" \
  -e"$stage/usr/lib/$multiarch/steplink/standard/libsteplink.so" \
  -e"$stage/usr/lib/$multiarch/steplink/start200/libsteplink.so" | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || die "dpkg-shlibdeps found no dependency"

size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<EOF
Package: steplink
Version: $version
Architecture: $arch
Maintainer: steplink developers <dev@steplink.invalid>
Installed-Size: $size
Depends: $depends
Recommends: default-jre-headless (>= 2:1.17) | java17-runtime-headless
Section: electronics
Priority: optional
Description: software stepper-motor controller for a three-axis table
 steplink drives a three-axis table through latched driver boards on the PC
 parallel port and paces every step by busy-waiting on the interval timer,
 under a trapezoidal speed profile; it homes the axes onto limit switches.
 .
 This package holds the steplink command (run scripts of the library's calls
 and G-code jobs, plots, a live view in the browser, a probe for a real
 table), the library in its two variants for Java programs through JNI,
 steplink.jar with its typed API, and example jobs. Without hardware
 everything runs on a simulated table.
EOF
(cd "$stage" && find usr -type f | LC_ALL=C sort | xargs md5sum) \
  >"$stage/DEBIAN/md5sums"
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

rm -f "$deb"
# The archive's times from the changelog's date, so that two runs make the same package.
SOURCE_DATE_EPOCH=$(date -d "$(sed -n 's/^ -- .*>  //p' "$changelog" | head -n 1)" +%s) \
  dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null

if command -v lintian >/dev/null; then
  say "lintian:"
  lintian --fail-on error --info "$deb" >&2 || die "lintian reports an error on $deb"
else
  say "lintian is not installed: the package is NOT checked (scripts/install-deps.sh installs it)"
fi
echo "$deb"
