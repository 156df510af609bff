#!/usr/bin/env bash
# korvel@.service under a real systemd, on the real kernel's drivers.
#
#   service_vm_test.sh BUILD_DIR
#
# Packs korvel as a Debian package, boots Debian 12's kernel (tools/vm-kernel
# fetches it once into /var/cache/korvel-vm) in QEMU with one emulated ISA
# parallel port at 0x378, with the host's root under a RAM overlay and the
# host's own systemd as the first process (service_init.sh). Inside,
# service_scenario.sh installs the package, starts korvel@parport0, drives it
# over SCPI, stops it, starts it again and kills the whole unit with SIGKILL;
# QEMU traces every port access and check_service_trace.py judges that each
# way out ends in the safe state (after the kill, written by ExecStopPost).
# Fails, saying why, when QEMU, the kernel or systemd are missing.
set -u
build=$(cd "${1:?build directory}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../../.." && pwd)

fatal() {
  echo "FAIL: $*"
  exit 1
}
# The console's last lines, without colours and with only the last of the
# repeated "job running" lines.
console_tail() {
  tr '\r' '\n' <"$out/console.log" 2>/dev/null | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1bM//g' |
    awk '/ running \(/ { job = $0; next } NF { print } END { if (job != "") print "last: " job }' |
    tail -n "$1"
}
for tool in qemu-system-x86_64 cpack gzip /usr/bin/python3 /lib/systemd/systemd /bin/busybox; do
  command -v "$tool" >/dev/null 2>&1 || [ -x "$tool" ] ||
    fatal "$tool is not installed (tools/install-deps --tests installs it)"
done
/bin/busybox --list | grep -qx switch_root || fatal "/bin/busybox has no switch_root (install busybox-static)"
kernel=$("$top/tools/vm-kernel") || fatal "no Debian kernel for the test machine (tools/vm-kernel above)"
release=$(cat "$kernel/release")

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-service-vm.XXXXXX")
out=$work/out
mkdir -p "$out"
echo "working folder: $work"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fatal "cpack -G DEB failed"; }
debs=("$work"/pkg/korvel_*.deb)
[ -f "${debs[0]}" ] || fatal "cpack made no korvel_*.deb"
cp "${debs[0]}" "$out/korvel.deb"

initrd=$work/initrd
mkdir -p "$initrd"/{bin,dev,proc,sys,lib/modules}
cp /bin/busybox "$initrd/bin/busybox"
cp -a "$kernel/lib/modules/$release" "$initrd/lib/modules/"
install -m 0755 "$here/service_init.sh" "$initrd/init"
install -m 0755 "$here/service_scenario.sh" "$initrd/service_scenario.sh"
install -m 0644 "$here/../own_accounts.sh" "$initrd/own_accounts.sh"
(cd "$initrd" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initrd.gz" ||
  fatal "cannot pack the initramfs"

# Emulation unless KVM is asked for (KORVEL_VM_ACCEL=kvm): a nested KVM may
# refuse the host's CPU model.
accel=(-accel tcg)
[ "${KORVEL_VM_ACCEL:-}" = kvm ] && [ -w /dev/kvm ] && accel=(-accel kvm -cpu host)
timeout_s=${KORVEL_VM_TIMEOUT:-840}
echo "booting $release under systemd (${accel[1]})"
started=$(date +%s)
# The console watcher ends the machine at once when its boot cannot reach
# the scenario (another target, a job that hangs), and says why.
timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 \
  -M pc "${accel[@]}" -smp 1 -m 1536 -nodefaults -display none -no-reboot \
  -kernel "$kernel/boot/vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 clocksource=tsc tsc=reliable systemd.show_status=1 systemd.unit=korvel-service-test.target" \
  -serial "file:$out/console.log" \
  -chardev null,id=lpt0 -device isa-parallel,index=0,iobase=0x378,irq=7,chardev=lpt0 \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$out,mount_tag=out,security_model=none" \
  -trace memory_region_ops_write -D "$out/trace.log" \
  >"$work/qemu.log" 2>&1 &
machine=$!
: >"$out/console.log"
/usr/bin/python3 "$here/watch_console.py" "$out/console.log" "$machine" "$work/stopped" &
watcher=$!
wait "$machine"
status=$?
wait "$watcher"
echo "machine ran $(($(date +%s) - started)) s, QEMU status $status"
if [ -s "$work/stopped" ]; then
  console_tail 30
  echo "kept for inspection: $work"
  fatal "the machine was stopped: $(cat "$work/stopped")"
fi
if [ $status -ne 0 ]; then
  console_tail 40
  cat "$work/qemu.log"
  echo "kept for inspection: $work"
  fatal "the machine did not finish (QEMU status $status)"
fi
if /usr/bin/python3 "$here/check_service_trace.py" "$out"; then
  rm -rf "$work"
  exit 0
fi
echo "--- console (last lines)"
console_tail 40
echo "kept for inspection: $work"
exit 1
