#!/usr/bin/env bash
# The machine test: korvel on the real Linux parallel-port drivers.
#
#   vm_test.sh BUILD_DIR BOARD_LIBRARY
#
# Packs korvel as a Debian package from BUILD_DIR, boots Debian 12's own
# kernel (tools/vm-kernel fetches it once into /var/cache/korvel-vm) in QEMU
# with two ISA parallel ports, at 0x378 and at the card-like base 0xD010,
# and records every access to them with QEMU's I/O trace. The port at 0x378
# is passed through to a host "ppdev device" that BOARD_LIBRARY (preloaded
# into QEMU) answers with the simulated board: latches and voltmeter. Inside,
# the package is installed and the real korvel is played through each
# scenario of scenarios.sh as an unprivileged user on a virtual display;
# then check_trace.py judges the traffic byte for byte and the readings.
# Takes a few minutes under emulation; KVM is used when a probe boot shows
# that it works (choose_accel.sh).
#
# Runs as root or as any user: the machine reads no file of the host that
# the user cannot read. Fails, saying why, when QEMU or the kernel are not
# at hand or the machine does not come up: a machine test that cannot run is
# not a pass. The working folder is kept when something failed, and the
# last line says where.
set -u

build=$(cd "${1:?build directory}" && pwd)
board_library=${2:?board library}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
work=

fatal() {
  echo "FAIL: $*"
  [ -n "$work" ] && echo "kept for inspection: $work"
  exit 1
}

for tool in qemu-system-x86_64 cpack gzip /usr/bin/python3; do
  command -v "$tool" >/dev/null 2>&1 || fatal "$tool is not installed (tools/install-deps --tests installs it)"
done
# The machine's tools come from the host's own root (see guest_init.sh).
[ -f "$board_library" ] || fatal "no board library $board_library (build the target korvel_vm_board)"
for tool in /bin/busybox /usr/bin/Xvfb /usr/bin/setpriv /usr/sbin/useradd; do
  [ -x "$tool" ] || fatal "$tool is missing (tools/install-deps --tests installs it)"
done
/bin/busybox --list | grep -qx switch_root || fatal "/bin/busybox has no switch_root (install busybox-static)"
/usr/bin/python3 -c 'import Xlib.ext.xtest' 2>/dev/null ||
  fatal "python3-xlib is not installed (tools/install-deps --tests installs it)"
kernel=$("$top/tools/vm-kernel") || fatal "no Debian kernel for the test machine (tools/vm-kernel above)"
release=$(cat "$kernel/release")

work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-vm.XXXXXX")
out=$work/out
mkdir -p "$out"
echo "working folder: $work"

# The package, exactly as users get it. (cpack first builds whatever of the
# build tree is out of date.)
packing=$(date +%s)
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fatal "cpack -G DEB failed"; }
debs=("$work"/pkg/korvel_*.deb)
[ -f "${debs[0]}" ] || fatal "cpack made no korvel_*.deb"
cp "${debs[0]}" "$out/korvel.deb"
echo "package made in $(($(date +%s) - packing)) s"

# The initramfs: busybox, the modules, the init and the scenarios.
initrd=$work/initrd
mkdir -p "$initrd"/{bin,dev,proc,sys,lib/modules}
cp /bin/busybox "$initrd/bin/busybox"
cp -a "$kernel/lib/modules/$release" "$initrd/lib/modules/"
install -m 0755 "$here/guest_init.sh" "$initrd/init"
# The first process of the accelerator's probe boot: it only says that the
# machine came up.
printf '%s\n' '#!/bin/busybox sh' '/bin/busybox mount -t devtmpfs dev /dev' \
  'echo korvel-probe-ok >/dev/ttyS0' '/bin/busybox poweroff -f' >"$initrd/probe"
chmod 0755 "$initrd/probe"
install -m 0755 "$here/scenarios.sh" "$initrd/scenarios.sh"
install -m 0644 "$here/own_accounts.sh" "$initrd/own_accounts.sh"
install -m 0755 "$here/xpanel.py" "$initrd/xpanel.py"
(cd "$initrd" && find . | /bin/busybox cpio -o -H newc 2>/dev/null) | gzip -1 >"$work/initrd.gz" ||
  fatal "cannot pack the initramfs"

accel_line=$("$here/choose_accel.sh" "$kernel/boot/vmlinuz" "$work/initrd.gz") ||
  fatal "no accelerator for the machine (see the line above)"
read -ra accel <<<"$accel_line"

# The board: a scratch file ($work/board) that QEMU opens as its parallel
# device, whose requests the preloaded library answers; it measures
# board_offset counts plus its own set-point output.
board_offset=12345
echo "$board_offset" >"$out/board-offset"
# Generous: under emulation on a busy machine the scenarios take minutes.
timeout_s=${KORVEL_VM_TIMEOUT:-540}

# How much of the time QEMU was ready to run but had no CPU, once a second,
# with the number of markers so far: on a busy host the guest is starved
# and reads fewer conversions, which check_trace.py then does not count
# against korvel. Each line: seconds, markers, run ns, wait ns (all of
# QEMU's threads, from the scheduler's statistics).
sample_cpu() {
  local machine=$1 qemu=
  while kill -0 "$machine" 2>/dev/null; do
    [ -n "$qemu" ] || qemu=$(cat "/proc/$machine/task/$machine/children" 2>/dev/null)
    qemu=${qemu%% *}
    if [ -n "$qemu" ] && [ -d "/proc/$qemu" ]; then
      cat "/proc/$qemu"/task/*/schedstat 2>/dev/null |
        awk -v t="$(date +%s.%N)" -v m="$(wc -l <"$out/marks.txt")" \
          '{ run += $1; wait += $2 } END { printf "%s %d %.0f %.0f\n", t, m, run, wait }'
    fi
    sleep 1
  done >"$out/host-cpu.log"
}

# Runs the machine with the accelerator arguments given; sets status.
run_machine() {
  local machine sampler
  rm -f "$out"/*.log "$out"/*.err "$out"/*.out "$out"/*.xpanel "$out/marks.txt" "$out/board.csv"
  : >"$out/marks.txt"
  : >"$work/board"
  echo "booting $release ($*)"
  KORVEL_VM_BOARD=$work/board KORVEL_VM_BOARD_OFFSET=$board_offset LD_PRELOAD=$board_library \
    timeout --kill-after=10 "$timeout_s" qemu-system-x86_64 \
    -M pc "$@" -smp 1 -m 1536 -nodefaults -display none -no-reboot \
    -kernel "$kernel/boot/vmlinuz" -initrd "$work/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 clocksource=tsc tsc=reliable korvel.only=${KORVEL_VM_ONLY:-}" \
    -serial "file:$out/console.log" \
    -chardev "parallel,id=lpt0,path=$work/board" \
    -device isa-parallel,index=0,iobase=0x378,irq=7,chardev=lpt0 \
    -chardev null,id=lpt1 -device isa-parallel,index=1,iobase=0xd010,irq=5,chardev=lpt1 \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$out,mount_tag=out,security_model=none" \
    -trace memory_region_ops_read -trace memory_region_ops_write -D "$out/trace.log" \
    >"$work/qemu.log" 2>&1 &
  machine=$!
  sample_cpu "$machine" &
  sampler=$!
  wait "$machine"
  status=$?
  wait "$sampler"
}

started=$(date +%s)
run_machine "${accel[@]}"
# KVM passed the probe but QEMU still failed under it: the machine runs
# again under TCG, which needs nothing of the host's virtualisation.
if [ "${accel[1]}" = kvm ] && [ "${KORVEL_VM_ACCEL:-}" != kvm ] && [ $status -ne 0 ] &&
  [ $status -ne 124 ] && [ $status -ne 137 ]; then
  echo "QEMU failed under KVM (status $status: $(grep -v '^\s*$' "$work/qemu.log" | tail -n 1)); running the machine again under TCG"
  started=$(date +%s)
  run_machine -accel tcg
fi
echo "machine ran $(($(date +%s) - started)) s, QEMU status $status"
if [ $status -eq 124 ] || [ $status -eq 137 ]; then
  echo "--- console (last lines)"
  tail -n 30 "$out/console.log" 2>/dev/null
  echo "--- the guest's notes (last lines)"
  tail -n 10 "$out/guest.log" 2>/dev/null
  fatal "the machine did not finish within $timeout_s s; its last step began at marker '$(tail -n 1 "$out/marks.txt" | cut -d' ' -f2-)'"
fi
if [ $status -ne 0 ]; then
  cat "$work/qemu.log"
  fatal "QEMU could not run the machine (status $status)"
fi
grep -q "korvel-vm-board: the board answers" "$work/qemu.log" ||
  { cat "$work/qemu.log"; fatal "the board library did not answer QEMU's port at 0x378"; }

if /usr/bin/python3 "$here/check_trace.py" "$out"; then
  rm -rf "$work"
  exit 0
fi
echo "--- console (last lines)"
tail -n 30 "$out/console.log" 2>/dev/null
fatal "the machine test found faults (listed above)"
