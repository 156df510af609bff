#!/bin/busybox sh
# shellcheck shell=dash
# First process of the service test machine (the initramfs's /init): loads
# the parallel-port drivers on the emulated port, makes the host's own root
# file system (read-only over 9p) the machine's root under a RAM overlay, and
# hands over to the host's own systemd, which boots only the target that
# runs service_scenario.sh: korvel-service-test.target, named on the kernel
# command line (systemd.unit=), where systemd as the first process of a
# machine reads it.
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

# No interrupt line: the kernel then writes the control register exactly as
# the program asks.
modprobe parport_pc io=0x378 irq=none || die "cannot load parport_pc"
modprobe ppdev || die "cannot load ppdev"

mount -t 9p -o trans=virtio,version=9p2000.L,cache=mmap,ro,msize=262144 hostroot /lower ||
  die "cannot mount the host's root"
mount -t tmpfs -o size=512m upper /upper
mkdir -p /upper/rw /upper/work
# A machine, not a container, whatever the host is: systemd takes a root
# holding /.dockerenv or /run/.containerenv for a container's, where it
# obeys its own arguments and skips what containers lack. Whiteouts hide
# the host's.
mknod /upper/rw/.dockerenv c 0 0 || die "cannot hide the host's /.dockerenv"
mkdir -p /upper/rw/run
mknod /upper/rw/run/.containerenv c 0 0 || die "cannot hide the host's /run/.containerenv"
mount -t overlay -o lowerdir=/lower,upperdir=/upper/rw,workdir=/upper/work root /newroot ||
  die "cannot lay the overlay over the host's root"

# The helper sits beside this init in the initramfs.
# shellcheck disable=SC1091
. /own_accounts.sh
own_account_files /newroot || die "cannot write the machine's account files"
# systemd keeps a dynamic user's state below /var/lib/private (0700 root),
# which the user who runs QEMU may not read on the host: the machine gets
# an empty one of its own.
for d in /newroot/var/lib/private /newroot/var/cache/private /newroot/var/log/private; do
  if [ -d "$d" ]; then
    mount -t tmpfs -o mode=0700 private "$d" || die "cannot lay an empty $d"
  fi
done
# Empty /tmp and /var/tmp of its own: systemd-tmpfiles empties them at boot,
# and must not walk whatever the host keeps there (a chroot with /proc bound
# in, a large tree) through 9p. Its own journal folder, likewise.
for d in /newroot/tmp:1777 /newroot/var/tmp:1777 /newroot/var/log/journal:2755; do
  if [ -d "${d%:*}" ]; then
    mount -t tmpfs -o "mode=${d#*:}" scratch "${d%:*}" || die "cannot lay an empty ${d%:*}"
  fi
done
# The host's disks, swap and encrypted volumes are none of the machine's:
# waiting for their devices would hold the boot.
echo "# the korvel service test machine mounts nothing more" >/newroot/etc/fstab
rm -f /newroot/etc/crypttab
mkdir -p /newroot/etc/systemd/system
# The modules the host lists for its own boot (lp among them on some) are
# not loaded: this init loads what the port needs.
ln -sf /dev/null /newroot/etc/systemd/system/systemd-modules-load.service
mkdir -p /newroot/run /newroot/lib/modules /newroot/etc/systemd/system
cp -a /lib/modules/. /newroot/lib/modules/
mkdir -p /newroot/opt/korvel-vm
cp /service_scenario.sh /newroot/opt/korvel-vm/
cp /bin/busybox /newroot/opt/korvel-vm/busybox
# Only what the test needs boots: the target, its scenario, and what systemd
# itself brings (journal, basic mounts).
cat >/newroot/etc/systemd/system/korvel-service-test.target <<'UNIT'
[Unit]
Description=korvel service test
Requires=korvel-service-scenario.service
After=korvel-service-scenario.service
AllowIsolate=yes
# The boot and the scenario together, well inside the host's limit: a
# machine that hangs powers off, saying which job timed out.
JobTimeoutSec=600
JobTimeoutAction=poweroff-force
UNIT
cat >/newroot/etc/systemd/system/korvel-service-scenario.service <<'UNIT'
[Unit]
Description=korvel service test scenario
After=systemd-journald.service
[Service]
Type=oneshot
ExecStart=/bin/sh /opt/korvel-vm/service_scenario.sh
StandardOutput=journal+console
StandardError=journal+console
TimeoutStartSec=infinity
UNIT
# The machine id systemd wants, fresh.
: >/newroot/etc/machine-id
mkdir -p /newroot/mnt/out
mount --move /out /newroot/mnt/out
umount /proc /sys
exec switch_root /newroot /lib/systemd/systemd
