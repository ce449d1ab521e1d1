#!/bin/busybox sh
# /init of the guest test's initramfs: loads the kernel's parallel-port drivers for QEMU's port at
# 0x3bc, runs the probe and the jobs, and sends the results out on the second serial port.
/bin/busybox --install -s /bin
export PATH=/bin:/opt/steplink/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/shm && mount -t tmpfs shm /dev/shm
ln -s /proc/self/fd /dev/fd  # the runner hands the trace over as /dev/fd/N
mount -t tmpfs tmp /tmp
echo "guest: up after $(cut -d' ' -f1 /proc/uptime) s"
insmod /modules/parport.ko
insmod /modules/parport_pc.ko io=0x3bc irq=none
insmod /modules/ppdev.ko
for i in 1 2 3 4 5 6 7 8 9 10; do [ -e /dev/parport0 ] && break; sleep 0.2; done
echo "guest: $(ls /dev/parport* 2>&1 | tr '\n' ' ')"

R=/results
run() {  # run NAME COMMAND...: output and exit status into $R/NAME.txt
  name=$1; shift
  "$@" >"$R/$name.txt" 2>&1
  echo "exit $?" >>"$R/$name.txt"
}
run probe steplink probe --device parport:/dev/parport0
for timer in pit clock; do
  started=$(cut -d' ' -f1 /proc/uptime)
  # timer=pit through the environment, timer=clock through the runner's --device.
  if [ $timer = pit ]; then
    STEPLINK_DEVICE=parport:/dev/parport0,timer=pit run run-pit \
      steplink run /job.steplink --realtime --trace $R/trace-pit.txt
  else
    run run-clock steplink run /job.steplink --realtime --trace $R/trace-clock.txt \
      --device parport:/dev/parport0,timer=clock
  fi
  echo "guest: job with timer=$timer from $started s to $(cut -d' ' -f1 /proc/uptime) s"
  run after-$timer steplink probe --device parport:/dev/parport0
done
STEPLINK_DEVICE=direct:0x3bc,timer=clock run run-direct steplink run /job.steplink --realtime
run probe-direct steplink probe --device direct:0x3bc,timer=pit
printf 'openConn\ninitTimer\nvectorOut 1 0 0\ncloseConn\n' >/tmp/open.steplink
STEPLINK_DEVICE=parport:0x3bc run base steplink run /tmp/open.steplink
STEPLINK_DEVICE=parport:/dev/parport7 run missing steplink run /tmp/open.steplink
run missing-probe steplink probe --device parport:/dev/parport7
echo "guest: results $(du -s $R | cut -f1) kB, sending"
stty -F /dev/ttyS1 raw -echo 2>/dev/null
tar -c -C $R . | gzip -1 >/dev/ttyS1
echo "guest: done after $(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
