#!/usr/bin/env bash
# The systemd template unit korvel@.service, as systemd itself reads it:
# `systemd-analyze verify` finds nothing wrong with an instance, and
# `systemd-analyze security --offline=true` rates its exposure 2.0 or lower.
#   service_unit_test.sh UNIT_TEMPLATE BIN_DIR
# BIN_DIR holds the korvel that ExecStart= and ExecStopPost= name (verify
# checks that it is there). Exits 77 when systemd-analyze is missing.
set -u
template=${1:?unit template (korvel@.service.in)}
bindir=${2:?folder of the korvel executable}
command -v systemd-analyze >/dev/null 2>&1 || {
  echo "SKIP: systemd-analyze is not installed (tools/install-deps --tests installs systemd)"
  exit 77
}
work=$(mktemp -d "${TMPDIR:-/tmp}/korvel-unit.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

sed "s|@KORVEL_BINDIR@|$bindir|g" "$template" >"$work/korvel@.service"
grep -q '@[A-Z_]*@' "$work/korvel@.service" && fail "placeholder left: $(grep -o '@[A-Z_]*@' "$work/korvel@.service")"
unit=$work/korvel@parport0.service

# The man page is checked by the install test; here only the unit.
if ! out=$(systemd-analyze verify --man=no "$unit" 2>&1) || [ -n "$out" ]; then
  fail "systemd-analyze verify: $out"
fi

report=$(systemd-analyze security --offline=true --no-pager "$unit" 2>&1)
level=$(sed -n 's/^→ Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$report")
if [ -z "$level" ]; then
  fail "no exposure level in: $report"
elif ! awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }'; then
  fail "exposure $level is above 2.0:"
  grep '✗' <<<"$report"
else
  echo "exposure level $level (at most 2.0)"
fi

# What the unit promises: the instance's own device, the safe state on
# every way out, readiness and heartbeat.
for line in 'Type=notify' 'DeviceAllow=/dev/%i rw' 'DevicePolicy=closed' 'SupplementaryGroups=lp' \
    'DynamicUser=yes' 'Restart=on-failure' 'KillMode=mixed' 'EnvironmentFile=-/etc/korvel/%i.conf' \
    "ExecStopPost=$bindir/korvel --make-safe --if-service-failed --port /dev/%i"; do
  grep -qxF "$line" "$work/korvel@.service" || fail "the unit lacks the line $line"
done
grep -qE '^WatchdogSec=[1-9]' "$work/korvel@.service" || fail "the unit has no WatchdogSec="
grep -qE "^ExecStart=$bindir/korvel --no-window --port /dev/%i " "$work/korvel@.service" ||
  fail "ExecStart does not run korvel --no-window on /dev/%i"

[ $failures -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "the unit verifies and is hardened"
