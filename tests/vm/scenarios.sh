#!/bin/sh
# Runs on the test machine, as its first process, after guest_init.sh: installs
# the korvel package, starts a virtual display, and plays each scenario with
# the real korvel as an unprivileged user. Every step is bounded by a marker
# in QEMU's port trace (marks.txt names them); check_trace.py on the host
# judges the port traffic between the markers. This script only drives: it
# waits for what the trace must show before the next click, records exit
# statuses and standard error, and notes anything that did not happen.
# The first step that fails ends the machine at once, with the reason:
# nothing after it could be judged.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin:/run/korvel-vm/bin
here=/run/korvel-vm
out=$here/out
trace=$out/trace.log
log=$out/guest.log
export DISPLAY=:1

note() { echo "$*" >>"$log"; echo "korvel-vm: $*"; }
fail() {
  note "FAIL $*"
  note "the machine stops at this failure"
  sync
  $here/bin/busybox poweroff -f
  exit 1
}

# Markers: the byte goes to the serial port's scratch register (see
# guest_init.sh); waits look at the trace after the latest one.
next_mark=10
mark_hex=
mark_offset=0
mark() {
  # The trace so far ends before this marker, whatever QEMU has flushed.
  mark_offset=$(stat -c %s "$trace")
  # The format is the marker byte itself, written as an octal escape.
  # shellcheck disable=SC2059
  printf "\\$(printf %03o "$next_mark")" | dd of=/dev/port bs=1 seek=1023 conv=notrunc 2>/dev/null
  echo "$next_mark $1" >>"$out/marks.txt"
  mark_hex=$(printf 0x%x "$next_mark")
  next_mark=$((next_mark + 1))
}

# A write of VALUE to the I/O address ADDR, as the trace prints it.
write_of() { echo "ops_write cpu [0-9]* mr [^ ]* addr $1 value $2 size"; }

# Waits until the trace holds COUNT lines matching PATTERN after the latest
# marker; a line matching BAD (optional) after the marker ends the machine
# with the reason WHY_BAD. Reads only what the trace gained since the last look: reading is
# itself traffic that the trace records. Generous: the machine is emulated
# and may be slow.
await() {
  pattern=$1 count=$2 what=$3 bad=${4:-} why_bad=${5:-} seen=0 found=0 from=$mark_offset
  # Seconds by the clock, not by turns of the loop: on a slow machine a
  # look at the trace itself takes a while.
  deadline=$(($(date +%s) + 300))
  while :; do
    size=$(stat -c %s "$trace")
    if [ "$size" -gt "$from" ]; then
      got=$(tail -c +$((from + 1)) "$trace" | head -c $((size - from)) |
        awk -v m="addr 0x3ff value $mark_hex size" -v p="$pattern" -v b="$bad" -v on="$seen" \
          'index($0, m) { on = 1; next }
           on && $0 ~ p { n++ }
           on && b != "" && $0 ~ b { x++ }
           END { print on, n + 0, x + 0 }')
      seen=${got%% *}
      got=${got#* }
      found=$((found + ${got% *}))
      [ "${got#* }" -gt 0 ] && fail "$why_bad"
      from=$size
    fi
    [ "$found" -ge "$count" ] && return 0
    if [ "$(date +%s)" -ge "$deadline" ]; then
      fail "timed out waiting for $what"
    fi
    sleep 1
  done
}

# Live (not zombie) processes of a user.
live_processes() {
  uid=$(id -u "$1")
  cat /proc/[0-9]*/status 2>/dev/null |
    awk -v uid="$uid" '/^State:/ { z = ($2 == "Z") } /^Uid:/ { if ($2 == uid && !z) n++ } END { print n + 0 }'
}

# Waits until the user has no more than KEEP live processes (the panel and
# its watchdog gone).
await_gone() {
  user=$1 keep=${2:-0} deadline=$(($(date +%s) + 300))
  while [ "$(live_processes "$user")" -gt "$keep" ]; do
    if [ "$(date +%s)" -ge "$deadline" ]; then
      fail "processes of $user still running after 300 s"
    fi
    sleep 1
  done
}

# Starts korvel as USER, its output in NAME.out and NAME.err, and waits for
# its window. Sets panel and window.
start_panel() {
  user=$1 name=$2
  shift 2
  mkdir -p "/tmp/rt-$user"
  chown "$user" "/tmp/rt-$user"
  chmod 700 "/tmp/rt-$user"
  setpriv --reuid="$user" --regid="$user" --init-groups \
    env -i HOME="/home/$user" PATH=/usr/bin:/bin DISPLAY=:1 XDG_RUNTIME_DIR="/tmp/rt-$user" \
    QT_QPA_PLATFORM=xcb NO_AT_BRIDGE=1 korvel "$@" >"$out/$name.out" 2>"$out/$name.err" </dev/null &
  panel=$!
  window=$(python3 "$here/xpanel.py" window "$panel" 2>"$out/$name.xpanel") ||
    fail "$name: no window ($(cat "$out/$name.xpanel"); korvel said: $(head -c 400 "$out/$name.err"))"
}

# Points of the window (its layout is fixed to the pixel): the power button,
# the Coarse control's upper arrow, Exit.
click() {
  [ -n "$window" ] || return 0
  case $1 in
    on) python3 "$here/xpanel.py" click "$window" 56 480 ;;
    coarse-up) python3 "$here/xpanel.py" click "$window" 320 208 ;;
    exit) python3 "$here/xpanel.py" click "$window" 672 528 ;;
  esac
}

# Waits for the panel's end and notes its exit status.
finish() {
  name=$1
  wait "$panel"
  note "status $name $?"
}

# Switches ON and raises the set-point by 100 (low byte 0x64) on the port at
# BASE, waiting each time until the refresh carries the new value.
on_at_100() {
  base=$1 control=$(printf 0x%x $(($1 + 2)))
  mark "$2:on"
  click on
  await "$(write_of "$control" 0x1)" 2 "$2: refresh after ON" || return 1
  mark "$2:coarse-up"
  click coarse-up
  await "$(write_of "$(printf 0x%x "$base")" 0x64)" 2 "$2: refresh with set-point 100" \
    "$(write_of "$(printf 0x%x "$base")" 0xc8)" "$2: one click on Coarse moved the set-point twice (0 -> 200)"
}

# --- scenarios ----------------------------------------------------------------

# Start, ON, two clicks on Coarse (set-point 200), Exit.
scenario_exit() {
  mark exit:start
  start_panel tester exit
  on_at_100 0x378 exit || return
  mark exit:coarse-up-2
  click coarse-up
  await "$(write_of 0x378 0xc8)" 2 "exit: refresh with set-point 200"
  mark exit:click
  click exit
  finish exit
  await_gone tester
  mark exit:end
}

# Start, ON, set-point, then the window's close button, SIGTERM or SIGKILL.
scenario_close() { scenario_ending close; }
scenario_sigterm() { scenario_ending sigterm; }
scenario_sigkill() { scenario_ending sigkill; }
scenario_ending() {
  how=$1
  mark "$how:start"
  start_panel tester "$how"
  on_at_100 0x378 "$how"
  mark "$how:end-it"
  case $how in
    close) python3 "$here/xpanel.py" close "$window" ;;
    sigterm) kill -TERM "$panel" ;;
    sigkill) kill -KILL "$panel" ;;
  esac
  finish "$how"
  await_gone tester
  mark "$how:end"
}

# A runs ON; B starts on the same port, is refused, and is killed; A runs on
# undisturbed and exits.
scenario_second() {
  mark second:start
  start_panel tester second-a
  a_panel=$panel a_window=$window
  note "pid second-a $panel"
  on_at_100 0x378 second
  before=$(live_processes tester)
  mark second:b-start
  start_panel tester second-b
  mark second:b-kill
  kill -KILL "$panel"
  wait "$panel"
  note "status second-b $?"
  await_gone tester "$before"
  mark second:b-gone
  panel=$a_panel window=$a_window
  await "$(write_of 0x378 0x64)" 2 "second: A's refresh after B's end"
  mark second:a-exit
  click exit
  finish second-a
  await_gone tester
  mark second:end
}

# The lp printer driver holds the ports; korvel starts and ends on SIGTERM.
scenario_lp() {
  modprobe lp || fail "cannot load lp"
  mark lp:start
  start_panel tester lp
  kill -TERM "$panel"
  finish lp
  await_gone tester
  mark lp:end
  rmmod lp || fail "cannot unload lp"
}

# A user outside group lp starts korvel and ends it with SIGTERM.
scenario_noperm() {
  mark noperm:start
  start_panel nolp noperm
  kill -TERM "$panel"
  finish noperm
  await_gone nolp
  mark noperm:end
}

# korvel --port 0xD010 drives the second port and only it.
scenario_card() {
  mark card:start
  start_panel tester card --port 0xD010
  on_at_100 0xd010 card || return
  mark card:click
  click exit
  finish card
  await_gone tester
  mark card:end
}

# The board behind 0x378 measures its own set-point output plus a fixed
# input (board-offset, 12345 counts). korvel --record as a user in group lp:
# ON for about 10 s at set-point 0, then one click on Coarse (set-point 100)
# and the reading follows it; Exit.
scenario_board() {
  record=/home/tester/board.csv
  mark board:start
  start_panel tester board --record "$record"
  mark board:on
  click on
  await "$(write_of 0x37a 0x1)" 2 "board: refresh after ON" || return
  mark board:reading
  sleep 10
  mark board:coarse-up
  click coarse-up
  await "$(write_of 0x378 0x64)" 2 "board: refresh with set-point 100" \
    "$(write_of 0x378 0xc8)" "board: one click on Coarse moved the set-point twice (0 -> 200)" || return
  waited=0
  until grep -q "^[^,]*,[^,]*,+12445," "$record" 2>/dev/null; do
    [ $waited -ge 60 ] && fail "board: no reading +12445 within 60 s of set-point 100"
    sleep 1
    waited=$((waited + 1))
  done
  # A few readings more at the new set-point.
  sleep 2
  mark board:exit
  click exit
  finish board
  await_gone tester
  mark board:end
  cp "$record" "$out/board.csv" || fail "board: no reading log $record"
}

# --- the machine ----------------------------------------------------------

note "machine up: $(uname -r); ports: $(cd /proc/sys/dev/parport && for p in parport*; do
  printf '%s %s  ' "$p" "$(cut -f 1 "$p/base-addr")"; done)"
# What Debian's udev rules do for the ports (group lp, read and write).
chgrp lp /dev/parport0 /dev/parport1 && chmod 0660 /dev/parport0 /dev/parport1 ||
  fail "no /dev/parport0 and /dev/parport1"
useradd -m -G lp tester || fail "useradd tester"
useradd -m nolp || fail "useradd nolp"
dpkg --no-triggers -i "$out/korvel.deb" >"$out/dpkg.log" 2>&1 || fail "dpkg -i korvel.deb (see dpkg.log)"
Xvfb :1 -screen 0 1024x768x24 -nolisten tcp -ac >"$out/xvfb.log" 2>&1 &
waited=0
until [ -S /tmp/.X11-unix/X1 ] || [ $waited -ge 120 ]; do
  sleep 1
  waited=$((waited + 1))
done
[ -S /tmp/.X11-unix/X1 ] || fail "Xvfb did not start (see xvfb.log)"

# korvel.only=a,b on the kernel command line (KORVEL_VM_ONLY of vm_test.sh)
# plays only those scenarios, for working on one of them.
only=$(sed -n 's/.*korvel\.only=\([^ ]*\).*/\1/p' /proc/cmdline)
play() {
  case ",${only:-$1}," in
    *",$1,"*) "scenario_$1" ;;
  esac
}
if [ -x /usr/bin/korvel ]; then
  play exit
  play close
  play sigterm
  play sigkill
  play second
  play lp
  play noperm
  play card
  play board
else
  fail "the package installed no /usr/bin/korvel"
fi
mark "done"
note "done"
sync
$here/bin/busybox poweroff -f
