#!/bin/busybox sh
# shellcheck shell=dash
# First process of the test machine (the initramfs's /init). Loads the
# parallel-port drivers on the two emulated ports, then makes the host's own
# root file system (shared read-only over 9p) the machine's root, writable
# through a RAM overlay, and runs the scenarios there. The host's Qt, Xvfb
# and tools serve inside without any download; the folder "out" (shared
# read-write) holds QEMU's port trace and receives what the scenarios report.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

die() {
  echo "korvel-vm: $*"
  [ -d /out ] && echo "FATAL $*" >>/out/guest.log
  poweroff -f
}

for m in virtio_pci 9pnet_virtio 9p overlay; do
  modprobe "$m" || die "cannot load $m"
done
mkdir -p /out /lower /upper /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,cache=none,msize=262144 out /out ||
  die "cannot mount the shared folder out"

# A marker: one byte into the scratch register of the first serial port,
# which the trace records in order with the parallel-port accesses. The
# scenarios use the same numbering (marks.txt names each one).
mark() {
  # The format is the marker byte itself, written as an octal escape.
  # shellcheck disable=SC2059
  printf "\\$(printf %03o "$1")" | dd of=/dev/port bs=1 seek=1023 conv=notrunc 2>/dev/null
  echo "$1 $2" >>/out/marks.txt
}

mark 1 boot
# No interrupt lines: the kernel then writes the control register exactly as
# the program asks (with an IRQ it keeps the interrupt-enable bit set).
modprobe parport_pc io=0x378,0xd010 irq=none,none || die "cannot load parport_pc"
modprobe ppdev || die "cannot load ppdev"
mark 2 drivers-loaded

mount -t 9p -o trans=virtio,version=9p2000.L,cache=mmap,ro,msize=262144 hostroot /lower ||
  die "cannot mount the host's root"
mount -t tmpfs -o size=512m upper /upper
mkdir -p /upper/rw /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/rw,workdir=/upper/work root /newroot ||
  die "cannot lay the overlay over the host's root"

# The helper sits beside this init in the initramfs.
# shellcheck disable=SC1091
. /own_accounts.sh
own_account_files /newroot || die "cannot write the machine's account files"

# The machine's own /run, /tmp, /var/tmp, /dev, the modules, busybox's tools (last in
# PATH, behind the host's own) and the scenario scripts.
mount -t tmpfs run /newroot/run
mount -t tmpfs tmp /newroot/tmp
chmod 1777 /newroot/tmp
mount -t tmpfs -o mode=1777 vartmp /newroot/var/tmp
mkdir -p /newroot/run/korvel-vm/out /newroot/run/korvel-vm/bin /newroot/lib/modules
cp -a /lib/modules/. /newroot/lib/modules/
cp /bin/busybox /newroot/run/korvel-vm/bin/busybox
/bin/busybox --install -s /newroot/run/korvel-vm/bin
cp /scenarios.sh /xpanel.py /newroot/run/korvel-vm/
mount --move /out /newroot/run/korvel-vm/out
mount --move /dev /newroot/dev
# The machine's own /proc and /sys: below them the host's root holds the
# host's (the 9p export reaches into them), which must not show through.
umount /proc /sys
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys

# The host's own shell: busybox's would run its applets through
# /proc/self/exe.
exec switch_root /newroot /bin/sh /run/korvel-vm/scenarios.sh
