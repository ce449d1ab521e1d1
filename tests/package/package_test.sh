#!/usr/bin/env bash
# The Debian package end to end: made from this build tree by scripts/package.sh, its file list
# and control fields checked, installed with apt-get, used as the user nobody (version, example
# job checked and run, man page, a Java program on the installed jar), then purged without a trace.
# Root only (it installs into the system); the purge runs from a trap, whatever fails.
set -uo pipefail

source="" tree="" work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --source) source=$2; shift 2 ;;
    --build-tree) tree=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "package_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
fail() { echo "FAIL: $*"; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: package.install installs the package with apt-get and needs root (CI runs as root)"
  exit 77
fi
for tool in apt-get dpkg-deb dpkg-shlibdeps lintian man javac java runuser; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps.sh installs it)"
done
if dpkg-query -W -f='${Status}' steplink 2>/dev/null | grep -q 'ok installed\|config-files'; then
  fail "a steplink package is already installed; this test would purge it. Remove it first" \
    "(apt-get purge steplink)"
fi

rm -rf "$work"
mkdir -p "$work"
user_dir=$(mktemp -d /tmp/steplink-package-test.XXXXXX)
cleanup() {
  if dpkg-query -W -f='${Status}' steplink 2>/dev/null | grep -q 'ok installed\|config-files'; then
    echo "== purging steplink"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 steplink >/dev/null 2>&1 ||
      dpkg --purge steplink
  fi
  rm -rf "$user_dir"
}
trap cleanup EXIT

echo "== building the package from $tree"
deb=$("$source/scripts/package.sh" --build-tree "$tree" --output "$work" | tail -n 1) ||
  fail "scripts/package.sh failed"
[ -f "$deb" ] || fail "scripts/package.sh printed '$deb', which is no file"
case "$(basename "$deb")" in steplink_*_amd64.deb) ;; *) fail "unexpected name $deb" ;; esac

echo "== file list"
ma=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
version=$(dpkg-deb -f "$deb" Version)
upstream=${version%-*}
listing=$work/contents.txt
dpkg-deb -c "$deb" | awk '{ $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }' | sed 's|^\./|/|' >"$listing"
expect=(
  /usr/bin/steplink
  /usr/lib/$ma/steplink/standard/libsteplink.so
  /usr/lib/$ma/steplink/start200/libsteplink.so
  "/usr/lib/$ma/jni/libsteplink.so -> ../steplink/standard/libsteplink.so"
  "/usr/lib/$ma/jni/libsteplink-start200.so -> ../steplink/start200/libsteplink.so"
  /usr/share/java/steplink-$upstream.jar
  "/usr/share/java/steplink.jar -> steplink-$upstream.jar"
  /usr/share/steplink/jobs/demo.steplink /usr/share/steplink/jobs/example.nc
  /usr/share/steplink/jobs/pocket.nc /usr/share/steplink/jobs/engraving.nc
  /usr/share/steplink/jobs/example.toml
  /usr/share/doc/steplink/README.md.gz /usr/share/doc/steplink/docs/wiring.md.gz
  /usr/share/doc/steplink/docs/wiring.svg /usr/share/doc/steplink/docs/internals.md.gz
  /usr/share/doc/steplink/docs/device-layer.md /usr/share/doc/steplink/docs/live-view.png
  /usr/share/doc/steplink/docs/live-view-gcode.png
  /usr/share/doc/steplink/docs/panel.png /usr/share/doc/steplink/docs/panel-jobs.png
  /usr/share/doc/steplink/README.Debian /usr/share/doc/steplink/copyright
  /usr/share/doc/steplink/changelog.Debian.gz /usr/share/man/man1/steplink.1.gz
  /usr/share/lintian/overrides/steplink)
for entry in "${expect[@]}"; do
  grep -qxF "$entry" "$listing" || fail "the package lacks '$entry'; it holds:$(printf '\n  %s' "$(cat "$listing")")"
done
# Nothing outside the places the package owns (directories on the way there aside).
stray=$(grep -vE "^/usr/(bin/steplink|lib/$ma/steplink/|lib/$ma/jni/libsteplink(-start200)?.so|share/java/steplink|share/steplink/|share/doc/steplink/|share/man/man1/steplink.1.gz|share/lintian/overrides/steplink$)" \
  "$listing" | grep -v '/$' || true)
[ -z "$stray" ] || fail "files outside the package's places: $stray"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends lacks libc6: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -qi 'jre\|java' && fail "a Java runtime is a Depends, not a Recommends"
dpkg-deb -f "$deb" Recommends | grep -q 'java17-runtime-headless' ||
  fail "Recommends lacks a Java runtime: $(dpkg-deb -f "$deb" Recommends)"
file_count=$(grep -vc '/$' "$listing")
echo "ok: $file_count files and links, control fields as expected"

echo "== apt-get install ./$(basename "$deb")"
(cd "$(dirname "$deb")" && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 "./$(basename "$deb")") \
  >"$work/apt-install.log" 2>&1 || { tail -n 20 "$work/apt-install.log"; fail "apt-get install failed"; }
owned=$work/owned.txt
dpkg -L steplink >"$owned" || fail "dpkg -L steplink after the install"
kinds=$work/owned-kinds.txt
while read -r path; do
  if [ -d "$path" ] && [ ! -L "$path" ]; then echo "d $path"; else echo "f $path"; fi
done <"$owned" >"$kinds"

# As nobody: a HOME and a cache of its own, no rights beyond an ordinary user's.
home=$user_dir/home
mkdir -p "$home"
cp "$source/tests/package/InstalledApp.java" "$home/"
chown -R nobody:nogroup "$home"
chmod 0755 "$user_dir"
as_nobody() {
  (cd "$home" && runuser -u nobody -- env -i PATH=/usr/bin:/bin HOME="$home" \
    XDG_CACHE_HOME="$home/.cache" LANG=C.UTF-8 "$@")
}

echo "== steplink --version (as nobody)"
got=$(as_nobody steplink --version 2>&1) || fail "steplink --version exited $?: $got"
[ "$got" = "steplink $upstream" ] || fail "steplink --version printed '$got', expected 'steplink $upstream'"
echo "ok: $got"

echo "== the installed example job, checked and run on the virtual clock (as nobody)"
jobs=/usr/share/steplink/jobs
as_nobody steplink gcode $jobs/example.nc --machine $jobs/example.toml --home --check --quiet ||
  fail "steplink gcode --check on the installed example exited $?"
as_nobody steplink gcode $jobs/example.nc --machine $jobs/example.toml --home --virtual --quiet \
  --plot "$home/job.svg" || fail "steplink gcode on the installed example exited $?"
[ -s "$home/job.svg" ] || fail "the job's plot was not written"
as_nobody steplink run $jobs/demo.steplink --virtual --quiet || fail "steplink run demo exited $?"
echo "ok: example.nc checked and run, demo.steplink run"

echo "== man -w steplink (as nobody)"
page=$(as_nobody man -w steplink) || fail "man -w steplink exited $?"
[ "$page" = /usr/share/man/man1/steplink.1.gz ] || fail "man -w steplink gave '$page'"
as_nobody python3 "$source/tests/package/check_manpage.py" --runner /usr/bin/steplink --page "$page" ||
  fail "the installed page does not cover the installed runner's options"

echo "== a Java program on /usr/share/java/steplink.jar alone (as nobody)"
as_nobody javac -cp /usr/share/java/steplink.jar -d "$home" "$home/InstalledApp.java" ||
  fail "javac against the installed jar exited $?"
out=$(as_nobody env STEPLINK_SIM=clock=virtual java -cp /usr/share/java/steplink.jar:"$home" InstalledApp 2>&1) ||
  fail "the Java program exited $?: $out"
echo "$out"
grep -qx 'position Position\[x=450, y=-50, z=50\]' <<<"$out" || fail "wrong end position"
grep -qx 'extracted null' <<<"$out" || fail "the jar extracted its own copy instead of the installed library"
grep -qx "mapped /usr/lib/$ma/steplink/standard/libsteplink.so" <<<"$out" ||
  fail "the JVM did not map the installed standard library"
[ ! -e "$home/.cache/steplink" ] || fail "the jar wrote into the user's cache: $(ls -R "$home/.cache/steplink")"
echo "ok: the installed JNI library was loaded, nothing extracted"

echo "== purge, and nothing left"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 steplink >"$work/apt-purge.log" 2>&1 ||
  { tail -n 20 "$work/apt-purge.log"; fail "apt-get purge failed"; }
left=()
while read -r kind path; do
  [ "$path" = /. ] && continue
  [ -e "$path" ] || [ -L "$path" ] || continue
  # A directory stays only when another package owns it too (/usr/bin, the jni folder, ...).
  if [ "$kind" = d ] && dpkg -S "$path" >/dev/null 2>&1; then continue; fi
  left+=("$path")
done <"$kinds"
[ ${#left[@]} -eq 0 ] || fail "left after the purge: ${left[*]}"
echo "ok: purged; none of the $(wc -l <"$kinds") paths of the package is left"
