#!/usr/bin/env bash
# Chooses how QEMU runs the test machine, and proves the choice first.
#
#   choose_accel.sh KERNEL INITRD
#
# Prints QEMU's accelerator arguments on one line of standard output
# ("-accel kvm -cpu host", "-accel kvm" or "-accel tcg") and one line on
# standard error saying what was chosen and why.
#
# A writable /dev/kvm does not prove that KVM can run the machine: under
# some nested hypervisors QEMU aborts at start with "-cpu host" (or with
# every CPU model). So each KVM command line is first tried in a short probe
# boot of KERNEL with INITRD's /probe as the first process, which must
# print "korvel-probe-ok" on the serial console; the real run uses only a
# command line that passed. Otherwise the machine runs under TCG emulation,
# which always works, only slower.
#
# KORVEL_VM_ACCEL=kvm or tcg forces the accelerator (kvm still probes
# whether "-cpu host" works). KORVEL_VM_KVM_DEVICE names the KVM device
# (default /dev/kvm); KORVEL_VM_PROBE_TIMEOUT bounds each probe (default
# 60 s; a probe whose console stays silent for 15 s ends sooner).
set -u
kernel=${1:?kernel}
initrd=${2:?initrd}
device=${KORVEL_VM_KVM_DEVICE:-/dev/kvm}
probe_timeout=${KORVEL_VM_PROBE_TIMEOUT:-60}
silent_s=$((probe_timeout < 15 ? probe_timeout : 15))
forced=${KORVEL_VM_ACCEL:-}

why_failed=

# Boots the probe with the accelerator arguments given; sets why_failed
# when it did not come up. A kernel that KVM runs writes to the console
# within a second or two, so a console silent for silent_s ends the probe
# early: under some nested hypervisors KVM starts QEMU but never runs the
# guest.
probe() {
  local dir console status pid waited=0 seen=false
  dir=$(mktemp -d "${TMPDIR:-/tmp}/korvel-vm-probe.XXXXXX")
  console=$dir/console.log
  : >"$console"
  # In a group with its own standard error, so that any note of the shell
  # about the end of QEMU goes to the probe's log, not to ours.
  {
    qemu-system-x86_64 \
      -M pc "$@" -smp 1 -m 1536 -nodefaults -display none -no-reboot \
      -kernel "$kernel" -initrd "$initrd" \
      -append "console=ttyS0 panic=-1 rdinit=/probe" \
      -serial "file:$console" >"$dir/qemu.log" &
    pid=$!
    why_failed=
    while kill -0 "$pid" 2>/dev/null; do
      if grep -q korvel-probe-ok "$console"; then
        seen=true
        # It powers off at once; a machine that does not is ended.
        for _ in 1 2 3 4 5 6 7 8 9 10; do
          kill -0 "$pid" 2>/dev/null || break
          sleep 0.5
        done
        break
      fi
      if [ ! -s "$console" ] && [ $waited -ge $((silent_s * 2)) ]; then
        why_failed="no console output within $silent_s s"
        break
      fi
      if [ $waited -ge $((probe_timeout * 2)) ]; then
        why_failed="no boot within $probe_timeout s"
        break
      fi
      sleep 0.5
      waited=$((waited + 1))
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid"
    status=$?
  } 2>>"$dir/qemu.log"
  grep -q korvel-probe-ok "$console" && seen=true
  if $seen; then
    rm -rf "$dir"
    return 0
  fi
  if [ -z "$why_failed" ] && [ $status -ne 0 ]; then
    why_failed="QEMU status $status: $(grep -v -e '^\s*$' -e ' Aborted ' -e ' Killed ' "$dir/qemu.log" | tail -n 1)"
  elif [ -z "$why_failed" ]; then
    why_failed="the probe did not reach its first process"
  fi
  rm -rf "$dir"
  return 1
}

tcg() {
  echo "-accel tcg"
  echo "accelerator: TCG emulation, $1" >&2
  exit 0
}

case $forced in
  "" | kvm | tcg) ;;
  *)
    echo "choose_accel: KORVEL_VM_ACCEL is '$forced'; use kvm or tcg, or leave it unset" >&2
    exit 2
    ;;
esac

[ "$forced" = tcg ] && tcg "as KORVEL_VM_ACCEL=tcg asks"

if [ ! -c "$device" ] && [ ! -f "$device" ] || [ ! -r "$device" ] || [ ! -w "$device" ]; then
  if [ "$forced" = kvm ]; then
    echo "choose_accel: KORVEL_VM_ACCEL=kvm, but $device is missing or not readable and writable by $(id -un); add the user to group kvm or unset KORVEL_VM_ACCEL" >&2
    exit 2
  fi
  tcg "since $device is missing or not readable and writable by $(id -un)"
fi

if probe -accel kvm -cpu host; then
  echo "-accel kvm -cpu host"
  echo "accelerator: KVM with the host's CPU (the probe boot passed)" >&2
  exit 0
fi
host_failed=$why_failed
if [ "$forced" = kvm ]; then
  # Forced: QEMU's default CPU model without a probe of its own.
  echo "-accel kvm"
  echo "accelerator: KVM with QEMU's default CPU, as KORVEL_VM_ACCEL=kvm asks; -cpu host failed the probe ($host_failed)" >&2
  exit 0
fi
if probe -accel kvm; then
  echo "-accel kvm"
  echo "accelerator: KVM with QEMU's default CPU; -cpu host failed the probe ($host_failed)" >&2
  exit 0
fi
tcg "since KVM failed the probe boot (-cpu host: $host_failed; default CPU: $why_failed)"
