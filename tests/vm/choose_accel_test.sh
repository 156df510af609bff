#!/usr/bin/env bash
# The accelerator choice of the machine test against a stand-in
# qemu-system-x86_64 (first in PATH), which boots the probe instantly or
# aborts under KVM as QEMU does under some nested hypervisors:
#
#   qemu-system-x86_64: error: failed to set MSR 0x10a to 0x69
#   qemu-system-x86_64: ../../target/i386/kvm/kvm.c:3183: kvm_buf_set_msrs: Assertion ... failed.
#
#   choose_accel_test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
dir=$(mktemp -d "${TMPDIR:-/tmp}/korvel-accel-test.XXXXXX")
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/bin"
touch "$dir/kvm" "$dir/vmlinuz" "$dir/initrd.gz"

# STANDIN_ABORTS: "host" aborts with -cpu host under KVM, "all" aborts with
# any CPU under KVM, "none" always boots. Each call's arguments go to
# $dir/calls, one line each.
cat >"$dir/bin/qemu-system-x86_64" <<'EOF'
#!/usr/bin/env bash
echo "$*" >>"$STANDIN_CALLS"
args=" $* "
if [[ $args == *" -accel kvm "* ]]; then
  if [ "$STANDIN_ABORTS" = all ] || { [ "$STANDIN_ABORTS" = host ] && [[ $args == *" -cpu host "* ]]; }; then
    echo "qemu-system-x86_64: error: failed to set MSR 0x10a to 0x69" >&2
    echo "qemu-system-x86_64: ../../target/i386/kvm/kvm.c:3183: kvm_buf_set_msrs: Assertion \`ret == cpu->kvm_msr_buf->nmsrs' failed." >&2
    kill -ABRT $$
  fi
fi
while [ $# -gt 0 ]; do
  [ "$1" = -serial ] && echo korvel-probe-ok >"${2#file:}"
  shift
done
exit 0
EOF
chmod +x "$dir/bin/qemu-system-x86_64"

failures=0
# case NAME ABORTS DEVICE FORCED WANT_ARGS WANT_REASON [WANT_STATUS]
check() {
  local name=$1 aborts=$2 device=$3 forced=$4 want=$5 reason=$6 want_status=${7:-0}
  local got err status
  : >"$dir/calls"
  got=$(PATH="$dir/bin:$PATH" STANDIN_CALLS="$dir/calls" STANDIN_ABORTS=$aborts \
    KORVEL_VM_KVM_DEVICE=$device KORVEL_VM_ACCEL=$forced \
    "$here/choose_accel.sh" "$dir/vmlinuz" "$dir/initrd.gz" 2>"$dir/err")
  status=$?
  err=$(cat "$dir/err")
  if [ "$status" -ne "$want_status" ] || [ "$got" != "$want" ] || [[ $err != *"$reason"* ]] ||
    [ "$(wc -l <"$dir/err")" -ne 1 ]; then
    echo "FAIL $name: got '$got' (status $status), said: $err"
    echo "     expected '$want' (status $want_status), saying one line with: $reason"
    failures=$((failures + 1))
  else
    echo "ok   $name: $err"
  fi
  # -cpu host is passed to a real run only after it passed a probe: every
  # call that carries it is a probe.
  if grep -- "-cpu host" "$dir/calls" | grep -qv "rdinit=/probe"; then
    echo "FAIL $name: -cpu host outside the probe"
    failures=$((failures + 1))
  fi
}

check "KVM works" none "$dir/kvm" "" "-accel kvm -cpu host" "KVM with the host's CPU"
check "KVM aborts with -cpu host" host "$dir/kvm" "" "-accel kvm" "-cpu host failed the probe (QEMU status 134"
check "KVM aborts with every CPU" all "$dir/kvm" "" "-accel tcg" "KVM failed the probe boot"
check "no /dev/kvm" none "$dir/absent" "" "-accel tcg" "$dir/absent is missing"
[ -s "$dir/calls" ] && { echo "FAIL no /dev/kvm: QEMU was started: $(cat "$dir/calls")"; failures=$((failures + 1)); }
check "forced tcg" none "$dir/kvm" tcg "-accel tcg" "KORVEL_VM_ACCEL=tcg"
[ -s "$dir/calls" ] && { echo "FAIL forced tcg: a probe ran: $(cat "$dir/calls")"; failures=$((failures + 1)); }
check "forced kvm, -cpu host aborts" all "$dir/kvm" kvm "-accel kvm" "as KORVEL_VM_ACCEL=kvm asks"
check "forced kvm without /dev/kvm" none "$dir/absent" kvm "" "KORVEL_VM_ACCEL=kvm, but" 2
check "unknown KORVEL_VM_ACCEL" none "$dir/kvm" hvf "" "use kvm or tcg" 2

# A probe that hangs is cut off and the machine falls back to TCG.
cat >"$dir/bin/qemu-system-x86_64" <<'EOF'
#!/usr/bin/env bash
[[ " $* " == *" -accel kvm "* ]] && exec sleep 30
exit 0
EOF
got=$(PATH="$dir/bin:$PATH" KORVEL_VM_KVM_DEVICE="$dir/kvm" KORVEL_VM_PROBE_TIMEOUT=1 \
  "$here/choose_accel.sh" "$dir/vmlinuz" "$dir/initrd.gz" 2>"$dir/err")
if [ "$got" != "-accel tcg" ] || ! grep -q "no console output within 1 s" "$dir/err"; then
  echo "FAIL hanging probe: got '$got', said: $(cat "$dir/err")"
  failures=$((failures + 1))
else
  echo "ok   hanging probe: $(cat "$dir/err")"
fi

[ $failures -eq 0 ] && echo "accelerator choice passed" || echo "$failures failed"
[ $failures -eq 0 ]
