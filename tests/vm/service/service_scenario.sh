#!/bin/sh
# Runs on the service test machine under its systemd: installs the korvel
# package, then plays korvel@parport0 as an administrator would: start it,
# drive it over SCPI, systemctl stop; start it again, drive it, systemctl
# kill --signal=KILL. Markers in QEMU's port trace bound each step;
# check_service_trace.py on the host judges the port traffic between them.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
out=/mnt/out
log=$out/guest.log
unit=korvel@parport0.service

note() { echo "$*" >>"$log"; echo "korvel-vm: $*"; }
fail() { note "FAIL $*"; }

next_mark=10
mark() {
  # The format is the marker byte itself, as an octal escape.
  # shellcheck disable=SC2059
  printf "\\$(printf %03o "$next_mark")" | dd of=/dev/port bs=1 seek=1023 conv=notrunc 2>/dev/null
  echo "$next_mark $1" >>"$out/marks.txt"
  next_mark=$((next_mark + 1))
}

# One SCPI line to the instance; prints the answer to a query.
scpi() {
  /usr/bin/python3 - "$1" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", 5025), timeout=30)
line = sys.argv[1]
s.sendall(line.encode() + b"\n")
if "?" in line:
    data = b""
    while not data.endswith(b"\n"):
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    print(data.decode().strip())
PY
}

state() { systemctl show -p ActiveState --value "$unit"; }
substate() { systemctl show -p SubState --value "$unit"; }

wait_for() {
  what=$1
  shift
  waited=0
  until "$@"; do
    if [ $waited -ge 120 ]; then
      fail "timed out waiting for $what"
      return 1
    fi
    sleep 1
    waited=$((waited + 1))
  done
}

note "machine up under systemd $(systemctl --version | head -n 1)"
# A machine on every host: systemd taking it for a container (a host's
# /.dockerenv showing through) obeys what an ordinary machine ignores.
if container=$(systemd-detect-virt --container); then
  fail "systemd takes the machine for a container ($container)"
fi
if ! chgrp lp /dev/parport0 || ! chmod 0660 /dev/parport0; then
  fail "no /dev/parport0"
fi
dpkg --no-triggers -i "$out/korvel.deb" >"$out/dpkg.log" 2>&1 || fail "dpkg -i korvel.deb (see dpkg.log)"
# The restart after the kill waits long enough for the scenario to see it
# scheduled and stop it there (under emulation 2 s pass quickly).
mkdir -p "/etc/systemd/system/$unit.d"
printf '[Service]\nRestartSec=120\n' >"/etc/systemd/system/$unit.d/restart.conf"
systemctl daemon-reload
[ "$(systemctl is-enabled "$unit" 2>/dev/null)" = "disabled" ] ||
  fail "the installed unit is not disabled: $(systemctl is-enabled "$unit" 2>&1)"
systemd-analyze security "$unit" >"$out/security.txt" 2>&1
note "$(tail -n 1 "$out/security.txt")"

# Start (Type=notify: returns once the port is claimed and the socket listens),
# drive, stop.
mark start
systemctl start "$unit" || fail "systemctl start failed"
[ "$(state)" = active ] || fail "not active after start: $(state)"
scpi "OUTP ON;MODE ZEP;SOUR:SETP 12345"
answer=$(scpi "OUTP?;SETP?")
[ "$answer" = "1;12345" ] || fail "over SCPI: $answer"
sleep 1
# The reading store (StateDirectory=) keeps what it holds across a restart.
kept=$(scpi "TRAC:POIN:ACT?")
mark stop
systemctl stop "$unit" || fail "systemctl stop failed"
mark stopped
note "after stop: $(state) $(systemctl show -p Result --value "$unit")"

# Again, then the whole unit killed: korvel and its watchdog process.
mark restart
systemctl start "$unit" || fail "second systemctl start failed"
after=$(scpi "TRAC:POIN:ACT?")
[ -n "$kept" ] && [ "$after" -ge "$kept" ] 2>/dev/null ||
  fail "the reading store lost readings across the restart: $kept before, $after after"
note "readings kept across the restart: $kept before, $after after"
scpi "OUTP ON;MODE ZEP;SOUR:SETP 20000"
answer=$(scpi "SETP?")
[ "$answer" = "20000" ] || fail "over SCPI after the restart: $answer"
sleep 1
mark kill
systemctl kill --signal=KILL "$unit" || fail "systemctl kill failed"
# ExecStopPost has run once the unit waits for its restart; stop it there.
wait_for "the restart after the kill" sh -c "[ \"\$(systemctl show -p SubState --value $unit)\" = auto-restart ]"
systemctl stop "$unit"
mark killed
note "after kill: $(state) $(systemctl show -p Result --value "$unit")"

journalctl --no-pager -o cat -u "$unit" >"$out/journal.txt" 2>&1
grep -q "the port at 0x378 was put into the safe state" "$out/journal.txt" ||
  fail "no line of korvel --make-safe in the journal (see journal.txt)"
[ "$(grep -c "the port at 0x378 was put into the safe state" "$out/journal.txt")" = 1 ] ||
  fail "korvel --make-safe acted more than once (see journal.txt)"
mark "done"
note "done"
sync
/opt/korvel-vm/busybox poweroff -f
