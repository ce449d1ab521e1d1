#!/usr/bin/env bash
# The hardware backend against a real kernel: boots Debian's kernel under QEMU (TCG) with a
# busybox initramfs, an emulated parallel port at 0x3bc and the kernel's own parport, parport_pc
# and ppdev drivers; runs `steplink probe`, a job with timer=pit and with timer=clock (each with
# a port trace) and a missing port in the guest; then checks the results and replays both traces
# against the independent model on the host.
#   guest_test.sh --runner BIN --library LIB --source DIR --work DIR
# Exit 0 passed, 1 failed, 77 skipped (no QEMU, busybox, cpio or kernel package to be had).
set -euo pipefail

runner="" library="" source="" work=""
while [ $# -gt 0 ]; do
  case "$1" in
    --runner) runner="$2"; shift 2 ;;
    --library) library="$2"; shift 2 ;;
    --source) source="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    *) echo "guest_test: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$runner" ] && [ -n "$library" ] && [ -n "$source" ] && [ -n "$work" ] || {
  echo "usage: guest_test.sh --runner BIN --library LIB --source DIR --work DIR" >&2; exit 2; }

skip() { echo "guest_test: SKIPPED: $*"; exit 77; }
fail() { echo "guest_test: FAILED: $*"; exit 1; }
started=$(date +%s.%N)
elapsed() { awk -v s="$started" -v n="$(date +%s.%N)" 'BEGIN { printf "%.1f", n - s }'; }

command -v qemu-system-x86_64 >/dev/null || skip "no qemu-system-x86_64 (apt-get install qemu-system-x86)"
command -v cpio >/dev/null || skip "no cpio (apt-get install cpio)"
busybox=/bin/busybox
[ -x "$busybox" ] && ! ldd "$busybox" >/dev/null 2>&1 || skip "no static busybox (apt-get install busybox-static)"
[ "$(uname -m)" = x86_64 ] || skip "the guest test runs on x86_64 hosts only"

# ---- Debian's kernel and its three parallel-port modules, fetched once per kernel package into a
# cache outside the build tree (STEPLINK_CACHE_DIR, else ~/.cache/steplink), so that a clean build
# or a fresh clone on the same machine does not download it again (about 70 MB).
mkdir -p "$work"
cache=${STEPLINK_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/nonexistent}/.cache}/steplink}/guest-kernel
mkdir -p "$cache" 2>/dev/null && [ -w "$cache" ] || cache="$work/kernel-cache"
mkdir -p "$cache"
package=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ { print $2; exit }' || true)
if [ -n "$package" ]; then
  kernel_dir="$cache/$package"
else
  # No apt lists here: a kernel fetched before will do.
  kernel_dir=$(ls -d "$cache"/linux-image-* 2>/dev/null | sort -V | tail -n 1 || true)
fi
if [ -z "$kernel_dir" ] || ! ls "$kernel_dir"/boot/vmlinuz-* >/dev/null 2>&1; then
  command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null || skip "no apt-get/dpkg-deb to fetch Debian's kernel"
  [ -n "$package" ] || skip "apt knows no linux-image-amd64 (run apt-get update)"
  fetch=$(mktemp -d "$cache/.fetch.XXXXXX")
  echo "guest_test: fetching $package (about 70 MB, once) into $cache"
  (cd "$fetch" && apt-get download "$package" >/dev/null 2>&1) || {
    rm -rf "$fetch"; skip "cannot download $package (no network or apt lists: apt-get update)"; }
  mkdir "$fetch/tree"
  dpkg-deb --fsys-tarfile "$fetch"/*.deb |
    tar -x -C "$fetch/tree" --wildcards './boot/vmlinuz-*' '*/parport.ko' '*/parport_pc.ko' '*/ppdev.ko'
  # Whole or not at all: another tree's test may have put the same kernel there meanwhile, and
  # then that one stays.
  mv -T "$fetch/tree" "$kernel_dir" 2>/dev/null || true
  rm -rf "$fetch"
fi
vmlinuz=$(ls "$kernel_dir"/boot/vmlinuz-* | head -n 1)
module() { find "$kernel_dir" -name "$1.ko" | head -n 1; }
for m in parport parport_pc ppdev; do [ -n "$(module $m)" ] || fail "the kernel package has no $m.ko"; done

# ---- The initramfs: busybox, the runner and library with their shared libraries, the job, init.
root="$work/root"
rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,results,opt/steplink/bin,opt/steplink/lib/standard}
cp "$busybox" "$root/bin/busybox"
cp "$runner" "$root/opt/steplink/bin/steplink"
cp "$library" "$root/opt/steplink/lib/standard/libsteplink.so"
for m in parport parport_pc ppdev; do cp "$(module $m)" "$root/modules/"; done
cp "$source/tests/guest/job.steplink" "$root/job.steplink"
for binary in "$runner" "$library"; do
  ldd "$binary" | awk '/=> \// { print $3 } /^\t\/lib/ { print $1 }' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
done
cp "$source/tests/guest/guest_init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initramfs.gz"

# ---- Boot. Results come out on a second serial port as a gzipped tar stream.
rm -f "$work/console.log" "$work/results.tar.gz"
echo "guest_test: booting $(basename "$vmlinuz") under QEMU (TCG)"
boot_started=$(date +%s.%N)
timeout 240 qemu-system-x86_64 -accel tcg -m 512M -nographic -no-reboot -vga none \
  -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" \
  -device isa-parallel,iobase=0x3bc,chardev=pp -chardev null,id=pp \
  -serial mon:stdio -serial file:"$work/results.tar.gz" \
  </dev/null >"$work/console.log" 2>&1 || true
guest_seconds=$(awk -v s="$boot_started" -v n="$(date +%s.%N)" 'BEGIN { printf "%.1f", n - s }')
tr -d '\r' <"$work/console.log" >"$work/console.txt"
echo "guest_test: guest ran ${guest_seconds} s; console in $work/console.txt"
grep -q "guest: done" "$work/console.txt" || { tail -n 30 "$work/console.txt"; fail "the guest did not finish"; }
rm -rf "$work/results" && mkdir -p "$work/results"
tar -xzf "$work/results.tar.gz" -C "$work/results" || fail "the guest's results did not come out whole"
r="$work/results"
grep -h "^guest:" "$work/console.txt" | sed 's/^/  /'

# ---- Checks.
failures=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then echo "  ok    $what"; else echo "  FAIL  $what"; failures=$((failures + 1)); fi
}
has() { grep -q -- "$2" "$r/$1"; }
last_data_byte() { awk '$1 == "out" && $2 == "3bc" { v = $3 } END { print v }' "$1"; }
probe_data_byte() { sed -n 's/.* claimed: data 0x\([0-9a-f]*\) .*/\1/p' "$1" | head -n 1; }

check "steplink probe: the port is claimed and ready (exit 0)" has probe.txt "^verdict    ready"
check "steplink probe: status reads 0xff (nothing attached: limit released)" has probe.txt "status 0xff"
check "steplink probe: counter 0 of QEMU's 8254 counts in mode 2" has probe.txt "(mode 2).*counts"
for timer in pit clock; do
  check "timer=$timer: openConn opens the port" has "run-$timer.txt" "openConn -> 124"
  check "timer=$timer: initTimer returns 2" has "run-$timer.txt" "initTimer -> 2"
  check "timer=$timer: the runner exits 0 (no fault, no failed call)" has "run-$timer.txt" "exit 0"
  check "timer=$timer: the summary shows the steps observed on the port" \
    has "run-$timer.txt" "position   x 36  y -18  z 8 (steps)"
  check "timer=$timer: no refused or failed port access, the trace written" bash -c "! grep -q 'Error occured\|steplink-hw\|Trace:' '$r/run-$timer.txt'"
  # QEMU's emulated port reads 0xff at every register once claimed anew by another process,
  # so the byte left on the data lines is shown, not checked; the replay checks every byte written.
  echo "        last byte to 0x3bc $(last_data_byte "$r/trace-$timer.txt"); data register read by the next probe 0x$(probe_data_byte "$r/after-$timer.txt")"
  check "timer=$timer: the port is released at exit (the next probe claims it)" has "after-$timer.txt" "^verdict    ready"
  check "timer=$timer: the trace replays against the model" \
    python3 "$source/tests/model/port_model.py" replay "$source/tests/guest/job.steplink" \
      "$r/trace-$timer.txt" --workdir "$work/replay"
  echo "        $(python3 -c "import sys; n=sum(1 for l in open(sys.argv[1]) if l.startswith('out 43 00')); print(n, 'counter readings,', sum(1 for l in open(sys.argv[1])), 'lines')" "$r/trace-$timer.txt")"
done
check "direct:0x3bc (ioperm) runs the job: initTimer 2, exit 0" \
  bash -c "grep -q 'initTimer -> 2' '$r/run-direct.txt' && grep -q '^exit 0' '$r/run-direct.txt'"
check "direct:0x3bc,timer=pit: the probe's verdict is ready" has probe-direct.txt "^verdict    ready"
check "parport:0x3bc finds the port by its base address" has base.txt "openConn -> 124"
check "a missing port: openConn gives 255" has missing.txt "openConn -> 255"
check "a missing port: the backend says which and what exists" has missing.txt \
  "steplink-hw: cannot open /dev/parport7: No such file or directory. No such port. The kernel lists: parport0 at 0x3bc"
check "a missing port: the probe's verdict and exit 1" has missing-probe.txt "exit 1"
check "timer=pit touches nothing but 0x00/0xe2 on 0x43 (trace)" \
  bash -c "! grep -E '^out (40|43) ' '$r/trace-pit.txt' | grep -qv -E '^out 43 (00|e2)$'"

echo "guest_test: $failures failed checks; whole test $(elapsed) s (guest ${guest_seconds} s)"
[ "$failures" -eq 0 ]
