#!/usr/bin/python3
"""Judges the port traffic of service_scenario.sh from QEMU's trace.

  check_service_trace.py OUT_DIR

Between the markers (marks.txt names them):
  start..stop     the claim and the safe state, then the panel's refreshes
  stop..stopped   the refreshes end in the safe state, written once, and
                  nothing follows it (ExecStopPost does nothing)
  kill..killed    the refreshes end in the kernel's claim and the safe
                  state, once (ExecStopPost, in a process of its own);
                  before it, at most the watchdog's own claim and safe
                  state, when it ran before systemd's SIGKILL reached it
guest.log must report no failure.
"""
import re
import sys
from pathlib import Path

LINE = re.compile(r"memory_region_ops_write cpu \d+ mr \S+ addr (0x[0-9a-f]+) value (0x[0-9a-f]+) "
                  r"size 1 name '(parallel|serial)'")
MARKER = 0x3FF
BASE = 0x378
SAFE = [(0, 0xFF), (2, 3), (2, 0), (2, 0x0C)]
CLAIM = [(2, 0x0C), (2, 0x0C)]
failures = []


def fail(what):
    failures.append(what)
    print("FAIL: " + what)


def segments(out):
    names = {}
    for line in (out / "marks.txt").read_text().splitlines():
        number, name = line.split(" ", 1)
        names[int(number)] = name
    segs, current = {}, None
    with open(out / "trace.log", errors="replace") as f:
        for line in f:
            m = LINE.match(line)
            if not m:
                continue
            addr, value, kind = int(m.group(1), 16), int(m.group(2), 16), m.group(3)
            if kind == "serial":
                if addr == MARKER:
                    current = names.get(value, str(value))
                    segs[current] = []
            elif current is not None and BASE <= addr < BASE + 3:
                segs[current].append((addr - BASE, value))
    return segs


def ends_with(writes, tail):
    return len(writes) >= len(tail) and writes[-len(tail):] == tail


def count(writes, seq):
    return sum(1 for i in range(len(writes) - len(seq) + 1) if writes[i:i + len(seq)] == seq)


def last_high_latch_write(writes):
    """Index just after the last refresh (its high-latch strobe: control 1, 0)."""
    for i in range(len(writes) - 2, -1, -1):
        if writes[i] == (2, 1) and writes[i + 1] == (2, 0):
            return i + 2
    return -1


def main():
    out = Path(sys.argv[1])
    log = (out / "guest.log").read_text() if (out / "guest.log").exists() else ""
    for line in log.splitlines():
        if line.startswith(("FAIL", "FATAL")):
            fail("guest: " + line)
    if "done" not in log.splitlines():
        fail("the scenario did not finish (guest.log: %r)" % log[-500:])
    segs = segments(out)
    for name in ("start", "stop", "stopped", "restart", "kill", "killed"):
        if name not in segs:
            fail("no marker %s in the trace" % name)
    if failures:
        return 1

    start = segs["start"]
    if start[:6] != CLAIM + SAFE:
        fail("start: not the claim and the safe state first: %r" % start[:8])
    if last_high_latch_write(start) < 0:
        fail("start: no refresh of the latches while ON")

    stop = segs["stop"]
    if not ends_with(stop, SAFE) or count(stop, SAFE) != 1:
        fail("systemctl stop: the traffic does not end in the safe state written once: %r"
             % stop[-16:])
    if segs["stopped"]:
        fail("after systemctl stop: writes follow the safe state: %r" % segs["stopped"][:12])

    kill = segs["kill"]
    if last_high_latch_write(kill) < 0:
        fail("systemctl kill: the panel was not refreshing the latches before the kill")
    # systemd sends SIGKILL to the panel, then to its watchdog: on the
    # machine's one CPU the watchdog may wake on the panel's death in
    # between and secure the board itself, after its own claim, before
    # ExecStopPost does the same. Each writer writes the safe state once.
    ends = ends_with(kill, CLAIM + SAFE)
    watchdog_first = ends and ends_with(kill[:-len(CLAIM + SAFE)], CLAIM + SAFE)
    if not ends or count(kill, SAFE) != (2 if watchdog_first else 1):
        fail("systemctl kill --signal=KILL: the traffic does not end in a fresh claim and the "
             "safe state once (ExecStopPost): %r" % kill[-16:])
    elif watchdog_first:
        print("systemctl kill --signal=KILL: the watchdog secured the board before systemd's SIGKILL reached it")
    if segs["killed"]:
        fail("after the kill: writes follow the safe state: %r" % segs["killed"][:12])

    if failures:
        return 1
    print("the service ends in the safe state: on systemctl stop by its Exit sequence, "
          "on systemctl kill --signal=KILL by ExecStopPost")
    return 0


if __name__ == "__main__":
    sys.exit(main())
