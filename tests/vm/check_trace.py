#!/usr/bin/python3
"""Judges the port traffic that QEMU traced while scenarios.sh played.

  check_trace.py OUT_DIR

OUT_DIR holds trace.log (QEMU's memory_region_ops trace), marks.txt (marker
number and name, in order), guest.log (exit statuses, notes, failures) and
each run's standard error (NAME.err).

The writes to a port are read as the panel's vocabulary:
  claim    control 0x0C, written by the kernel when a program claims the port
  safe     data 0xFF, control 3, 0, 12: 255 latched low, control 12
  refresh  data LO, control 3, 0, data HI, control 1, 0: both latches
  sync     control 0: the voltmeter's synchronisation tick
  scan     control 8 or 12 while ON: the voltmeter's digit scan, which only
           a port with a board behind it (0x378) sees; before ON a control
           12 is the kernel's claim
Anything else is reported with the bytes around it.

board.csv, when there, is the reading log of the board scenario; the board
measures board-offset counts plus its own set-point output.
"""
import re
import sys
from collections import namedtuple
from pathlib import Path

Access = namedtuple("Access", "kind addr value")  # kind: R, W or M (marker)

MARKER_ADDR = 0x3FF
PORTS = {"0x378": 0x378, "0xD010": 0xD010}
LINE = re.compile(
    r"memory_region_ops_(read|write) cpu \d+ mr \S+ addr (0x[0-9a-f]+) value (0x[0-9a-f]+) "
    r"size 1 name '(parallel|serial)'")

failures = []


def fail(what):
    failures.append(what)
    print(f"FAIL: {what}")


def read_trace(path):
    accesses = []
    with open(path, errors="replace") as f:
        for line in f:
            m = LINE.match(line)
            if not m:
                continue
            kind, addr, value, name = m.groups()
            addr, value = int(addr, 16), int(value, 16)
            if name == "serial":
                if kind == "write" and addr == MARKER_ADDR:
                    accesses.append(Access("M", addr, value))
            else:
                accesses.append(Access("R" if kind == "read" else "W", addr, value))
    return accesses


def on_port(accesses, base):
    """The accesses to the port at base, as (kind, register offset, value)."""
    return [(a.kind, a.addr - base, a.value) for a in accesses
            if a.kind != "M" and base <= a.addr < base + 8]


def writes_of(accesses):
    return [(off, v) for kind, off, v in accesses if kind == "W"]


SAFE = [(0, 0xFF), (2, 3), (2, 0), (2, 0x0C)]
# A refresh as written: data LO, control 3, 0, data HI, control 1, 0
# (None: any byte).
REFRESH = [(0, None), (2, 3), (2, 0), (0, None), (2, 1), (2, 0)]


def tokens(accesses, scanning=False):
    return parse(writes_of(accesses), scanning)


SCAN_CODES = (8, 0x0C)


def parse(w, scanning=False):
    """Writes of one port read as claim/safe/refresh/sync (and, while the
    panel is ON, scan); the rest as 'odd' tokens with the bytes."""
    out = []
    i = 0
    while i < len(w):
        if w[i:i + 4] == SAFE:
            out.append(("safe",))
            i += 4
        elif is_refresh_part(w[i:i + 6]) and len(w) >= i + 6:
            out.append(("refresh", w[i][1], w[i + 3][1]))
            i += 6
        elif w[i] == (2, 0):
            out.append(("sync",))
            i += 1
        elif scanning and w[i][0] == 2 and w[i][1] in SCAN_CODES:
            out.append(("scan",))
            i += 1
        elif w[i] == (2, 0x0C):
            if out and out[-1][0] == "claim":
                out[-1] = ("claim", out[-1][1] + 1)
            else:
                out.append(("claim", 1))
            i += 1
        else:
            out.append(("odd", w[i:i + 6]))
            i += 1
    return out


def is_refresh_part(w):
    """Whether the writes are a refresh or the start of one."""
    return len(w) <= len(REFRESH) and all(
        off == want_off and (want is None or v == want)
        for (off, v), (want_off, want) in zip(w, REFRESH))


def describe(toks):
    """A short text of a token list, runs folded and sync ticks counted
    apart: claim(2) safe refresh(0x00,0x00)×75 ... safe [sync ticks: 702]"""
    parts = []
    syncs = scans = 0
    for t in toks:
        if t[0] == "sync":
            syncs += 1
            continue
        if t[0] == "scan":
            scans += 1
            continue
        if t[0] == "refresh":
            text = f"refresh({t[1]:#04x},{t[2]:#04x})"
        elif t[0] == "claim":
            text = f"claim({t[1]})"
        elif t[0] == "odd":
            text = "odd[" + " ".join(f"{'D' if o == 0 else 'C'}{v:#04x}" for o, v in t[1]) + "]"
        else:
            text = t[0]
        if parts and parts[-1][0] == text:
            parts[-1][1] += 1
        else:
            parts.append([text, 1])
    text = " ".join(t if n == 1 else f"{t}×{n}" for t, n in parts)
    counts = ", ".join(f"{what}: {n}" for what, n in (("sync ticks", syncs), ("scan writes", scans))
                       if n)
    return f"{text} [{counts}]" if counts else text


class Run:
    def __init__(self, out):
        self.out = out
        self.accesses = read_trace(out / "trace.log")
        self.index = {}  # marker name -> position in accesses
        positions = {a.value: i for i, a in enumerate(self.accesses) if a.kind == "M"}
        marks = (out / "marks.txt").read_text().split("\n") if (out / "marks.txt").exists() else []
        for line in marks:
            if not line.strip():
                continue
            number, name = line.split(" ", 1)
            if int(number) in positions:
                self.index[name] = positions[int(number)]
            else:
                fail(f"marker {name} is not in the trace")
        self.log = (out / "guest.log").read_text() if (out / "guest.log").exists() else ""

    def has(self, *names):
        return all(n in self.index for n in names)

    def between(self, first, last, base):
        return on_port(self.accesses[self.index[first]:self.index[last]], base)

    def status(self, name):
        m = re.search(rf"^status {re.escape(name)} (\d+)$", self.log, re.M)
        return int(m.group(1)) if m else None

    def stderr(self, name):
        p = self.out / f"{name}.err"
        return p.read_text(errors="replace") if p.exists() else ""


def names(toks):
    return [t[0] for t in toks]


def expect_start(run, scenario, base=0x378):
    """From the start to the ON click: the kernel's claim, then korvel's safe
    state, and nothing else while the panel is OFF."""
    acc = run.between(f"{scenario}:start", f"{scenario}:on", base)
    toks = tokens(acc)
    print(f"  {scenario} start: {describe(toks)}")
    if names(toks) != ["claim", "safe"]:
        fail(f"{scenario}: start-up is not the kernel's claim then the safe state: {describe(toks)}")
    if any(kind == "R" for kind, _, _ in acc):
        fail(f"{scenario}: reads at start-up: {acc}")


def expect_running(acc, scenario, part, values):
    """While ON: only sync ticks, scan writes and refreshes with the given
    (lo, hi) values; reads only of the status register."""
    toks = tokens(acc, scanning=True)
    bad = running_only(toks, values)
    if bad:
        fail(f"{scenario} {part}: unexpected traffic while ON: {describe(bad)}")
    reads = {off for kind, off, _ in acc if kind == "R"}
    if reads - {1}:
        fail(f"{scenario} {part}: reads of registers other than status: {sorted(reads)}")
    return toks


def running_only(toks, values):
    """The tokens that are neither sync ticks, scan writes nor refreshes with
    the values."""
    return [t for t in toks if t[0] not in ("sync", "scan", "refresh") or
            (t[0] == "refresh" and (t[1], t[2]) not in values)]


def expect_ending(acc, scenario, part, values, watchdog=False):
    """The end: refreshes and sync ticks, then (for the watchdog, after the
    kernel's claim) the safe state once, then no access at all."""
    toks = tokens(acc, scanning=True)
    print(f"  {scenario} {part}: {describe(toks)}")
    w = writes_of(acc)
    if w[-4:] != SAFE:
        fail(f"{scenario} {part}: does not end with the safe state: {describe(toks[-6:])}")
        return
    body = w[:-4]
    if watchdog:
        claim = 0
        while body and body[-1] == (2, 0x0C):
            body.pop()
            claim += 1
        if not claim:
            fail(f"{scenario} {part}: the watchdog's safe state without a claim of the port")
        # The kill may have cut a refresh short; the watchdog's claim follows
        # whatever part of it was written.
        for cut in range(len(REFRESH)):
            if cut and not is_refresh_part(body[len(body) - cut:]):
                continue
            if not running_only(parse(body[:len(body) - cut], True), values):
                body = body[:len(body) - cut]
                break
    bad = running_only(parse(body, True), values)
    if bad:
        fail(f"{scenario} {part}: unexpected traffic before the end: {describe(bad)}")
    last_write = max(i for i, (kind, _, _) in enumerate(acc) if kind == "W")
    after = acc[last_write + 1:]
    if after:
        fail(f"{scenario} {part}: accesses after the safe state: {after[:8]}")


def expect_nothing(run, first, last, what):
    for label, base in PORTS.items():
        acc = run.between(first, last, base)
        if acc:
            fail(f"{what}: {len(acc)} accesses to the port at {label}: {acc[:8]}")


def refreshes(toks):
    return [(t[1], t[2]) for t in toks if t[0] == "refresh"]


def check_status(run, name, want):
    got = run.status(name)
    if got != want:
        fail(f"{name}: exit status {got}, expected {want}")


def main(out):
    out = Path(out)
    for line in (out / "guest.log").read_text().splitlines() if (out / "guest.log").exists() else []:
        if line.startswith(("FAIL", "FATAL")):
            fail(f"machine: {line}")
        elif not line.startswith("status "):
            print(f"  machine: {line}")
    run = Run(out)
    if not run.has("boot", "drivers-loaded", "done"):
        fail(f"the scenarios did not run to the end (markers seen: {sorted(run.index)})")

    if run.has("boot", "drivers-loaded"):
        for label, base in PORTS.items():
            acc = run.between("boot", "drivers-loaded", base)
            writes = [(off, v) for kind, off, v in acc if kind == "W"]
            data = [v for off, v in writes if off == 0]
            control = [v for off, v in writes if off == 2]
            print(f"  parport_pc probe at {label}: {len(writes)} writes, "
                  f"control values {sorted({f'{v:#04x}' for v in control})}, "
                  f"left data {data[-1] if data else None}, "
                  f"control {f'{control[-1]:#04x}' if control else None}")

    zero, hundred, two_hundred = (0, 0), (0x64, 0), (0xC8, 0)

    if run.has("exit:start", "exit:on", "exit:coarse-up", "exit:coarse-up-2", "exit:click",
               "exit:end"):
        expect_start(run, "exit")
        on = expect_running(run.between("exit:on", "exit:click", 0x378), "exit", "ON",
                            {zero, hundred, two_hundred})
        values = refreshes(on)
        print(f"  exit ON: {describe(on)}")
        # The set-point follows the clicks, in order, and stays.
        if values != sorted(values) or values.count(two_hundred) < 2 or zero not in values:
            fail(f"exit: the refresh does not follow the clicks 0 -> 100 -> 200: {values}")
        expect_ending(run.between("exit:click", "exit:end", 0x378), "exit", "Exit",
                      {two_hundred})
        check_status(run, "exit", 0)
    else:
        fail("scenario exit did not run")

    for how, status in (("close", 0), ("sigterm", 0), ("sigkill", 137)):
        if not run.has(f"{how}:start", f"{how}:on", f"{how}:end-it", f"{how}:end"):
            fail(f"scenario {how} did not run")
            continue
        expect_start(run, how)
        expect_running(run.between(f"{how}:on", f"{how}:end-it", 0x378), how, "ON",
                       {zero, hundred})
        expect_ending(run.between(f"{how}:end-it", f"{how}:end", 0x378), how, "end",
                      {hundred}, watchdog=(how == "sigkill"))
        check_status(run, how, status)
    if run.has("sigkill:end"):
        err = run.stderr("sigkill")
        if not re.search(r"safe state", err) or re.search(r"\bnot\b[^\n]*safe state", err, re.I):
            fail(f"sigkill: the watchdog does not report the safe state: {err.strip()!r}")

    if run.has("second:start", "second:on", "second:b-start", "second:b-gone",
               "second:a-exit", "second:end"):
        expect_start(run, "second")
        during = run.between("second:b-start", "second:a-exit", 0x378)
        toks = expect_running(during, "second", "while B runs and is killed", {hundred})
        print(f"  second while B runs, is killed, and after: {describe(toks)}")
        if not refreshes(tokens(run.between("second:b-gone", "second:a-exit", 0x378))):
            fail("second: A's refresh did not go on after B's end")
        expect_ending(run.between("second:a-exit", "second:end", 0x378), "second", "A's Exit",
                      {hundred})
        check_status(run, "second-a", 0)
        check_status(run, "second-b", 137)
        pid = re.search(r"^pid second-a (\d+)$", run.log, re.M)
        err = run.stderr("second-b")
        if "busy" not in err or not pid or f"korvel (pid {pid.group(1)})" not in err:
            fail(f"second: B does not name the holder of the port: {err.strip()!r}")
        # B never held the port: its watchdog has nothing to report.
        if "safe state" in err:
            fail(f"second: B, which never held the port, reports on the safe state: {err.strip()!r}")
    else:
        fail("scenario second did not run")

    if run.has("lp:start", "lp:end"):
        expect_nothing(run, "lp:start", "lp:end", "lp holding the ports")
        err = run.stderr("lp")
        if "busy" not in err or "lp" not in err:
            fail(f"lp: no diagnostic about the lp driver: {err.strip()!r}")
        check_status(run, "lp", 0)
    else:
        fail("scenario lp did not run")

    if run.has("noperm:start", "noperm:end"):
        expect_nothing(run, "noperm:start", "noperm:end", "a user outside group lp")
        err = run.stderr("noperm")
        if "permission denied" not in err or "group lp" not in err:
            fail(f"noperm: no diagnostic about group lp: {err.strip()!r}")
        check_status(run, "noperm", 0)
    else:
        fail("scenario noperm did not run")

    # The card-like port at 0xD010: korvel --port 0xD010 drives it and only
    # it; no other scenario touches it.
    if run.has("card:start", "card:on", "card:click", "card:end"):
        expect_start(run, "card", base=0xD010)
        expect_running(run.between("card:on", "card:click", 0xD010), "card", "ON",
                       {zero, hundred})
        expect_ending(run.between("card:click", "card:end", 0xD010), "card", "Exit", {hundred})
        if run.between("card:start", "card:end", 0x378):
            fail("card: korvel --port 0xD010 touched the port at 0x378")
        check_status(run, "card", 0)
        if run.has("drivers-loaded", "card:start"):
            expect_nothing_at(run, "drivers-loaded", "card:start", 0xD010)
    else:
        fail("scenario card did not run")

    check_board(run, out, zero, hundred)

    if failures:
        print(f"{len(failures)} failed")
        return 1
    print("machine test passed")
    return 0


# The converter's conversion rate: 120 kHz over 40002 clocks a cycle.
CONVERSIONS_PER_S = 120_000 / 40_002


def check_board(run, out, zero, hundred):
    """The board scenario: the port traffic as in every scenario, and the
    reading log against the board's input."""
    if not run.has("board:start", "board:on", "board:coarse-up", "board:exit", "board:end"):
        fail("scenario board did not run")
        return
    expect_start(run, "board")
    expect_running(run.between("board:on", "board:exit", 0x378), "board", "ON", {zero, hundred})
    expect_ending(run.between("board:exit", "board:end", 0x378), "board", "Exit", {hundred})
    check_status(run, "board", 0)
    offset_file = out / "board-offset"
    offset = int(offset_file.read_text()) if offset_file.exists() else 12345
    log = out / "board.csv"
    if not log.exists():
        fail("board: no reading log")
        return
    rows = [line.split(",") for line in log.read_text().splitlines()[1:] if line.strip()]
    starved = cpu_wait_share(out, "board:reading", "board:coarse-up")
    if starved is not None:
        print(f"  board: QEMU waited for a CPU {starved:.0%} of its runnable time while reading")
    for problem in judge_readings(rows, offset, rate_counts=starved is None or
                                  starved < STARVED_SHARE):
        fail(f"board: {problem}")


# Above this share of its runnable time spent waiting for a CPU, the host
# was too busy for the emulated machine to keep up with the converter.
STARVED_SHARE = 0.25


def cpu_wait_share(out, first, last):
    """The share of QEMU's runnable time spent waiting for a CPU between two
    markers, from host-cpu.log (vm_test.sh's samples); None when unknown."""
    path = out / "host-cpu.log"
    marks = out / "marks.txt"
    if not path.exists() or not marks.exists():
        return None
    names = [line.split(" ", 1)[1] for line in marks.read_text().splitlines() if " " in line]
    if first not in names or last not in names:
        return None
    lo, hi = names.index(first) + 1, names.index(last) + 1
    samples = []
    for line in path.read_text().splitlines():
        try:
            _, m, run, wait = line.split()
            samples.append((int(m), int(run), int(wait)))
        except ValueError:
            continue
    inside = [s for s in samples if lo <= s[0] < hi]
    if len(inside) < 2:
        return None
    run = inside[-1][1] - inside[0][1]
    wait = inside[-1][2] - inside[0][2]
    return wait / (run + wait) if run + wait > 0 else None


def judge_readings(rows, offset, rate_counts=True):
    """What is wrong with the reading log (rows of time_utc, seconds,
    reading, mark, mode, setpoint): every reading at set-point 0 equals the
    input (the first may lie up to 255 above: its conversion may have begun
    before ON, while the safe state's 255 in the low latch was the
    set-point output), at no less than 80 % of the conversion rate over at least 8 s;
    after the change to set-point 100 the readings rise, at most one of them
    between the two inputs (the conversion that straddled the change), to
    the new input, which then holds."""
    problems = []
    try:
        parsed = [(float(r[1]), int(r[2]), r[3], int(r[5])) for r in rows]
    except (IndexError, ValueError) as e:
        return [f"the reading log does not parse ({e}): {rows[:3]}"]
    before = [p for p in parsed if p[3] == 0]
    after = [p for p in parsed if p[3] == 100]
    if len(before) + len(after) != len(parsed):
        problems.append(f"readings at set-points other than 0 and 100: "
                        f"{[p for p in parsed if p[3] not in (0, 100)][:5]}")
    wrong = [p for i, p in enumerate(before)
             if p[2] or not (p[1] == offset or (i == 0 and offset < p[1] <= offset + 255))]
    if wrong:
        problems.append(f"{len(wrong)} of {len(before)} readings at set-point 0 are not "
                        f"+{offset}: {wrong[:5]}")
    span = before[-1][0] - before[0][0] if len(before) > 1 else 0
    rate = (len(before) - 1) / span if span > 0 else 0
    print(f"  board: {len(before)} readings at set-point 0 over {span:.1f} s, {rate:.2f}/s "
          f"(converter {CONVERSIONS_PER_S:.2f}/s); {len(after)} at set-point 100")
    if span < 8:
        problems.append(f"readings at set-point 0 span only {span:.1f} s, expected about 10 s")
    elif rate < 0.8 * CONVERSIONS_PER_S and not rate_counts:
        print(f"  board: NOTE {rate:.2f} readings/s is below 80 % of the converter's rate, but "
              f"the host was too busy to judge it (see the line above)")
    elif rate < 0.8 * CONVERSIONS_PER_S:
        problems.append(f"{rate:.2f} readings/s, below 80 % of the converter's "
                        f"{CONVERSIONS_PER_S:.2f} conversions/s")
    values = [p[1] for p in after]
    target = offset + 100
    between = [v for v in values if offset < v < target]
    if (any(v < offset or v > target for v in values) or values != sorted(values) or
            len(between) > 1 or [p for p in after if p[2]]):
        problems.append(f"the readings do not follow set-point 100 from +{offset} to "
                        f"+{target}: {values}")
    if values.count(target) < 3 or not values or values[-1] != target:
        problems.append(f"fewer than 3 readings of +{target} after set-point 100: {values}")
    return problems


def expect_nothing_at(run, first, last, base):
    acc = run.between(first, last, base)
    if acc:
        fail(f"the port at {base:#x} was touched outside its scenario: {acc[:8]}")


def self_test():
    """The reading log's judge against logs with known faults."""
    def log(values_0, values_100, dt=1 / 3):
        rows, t = [], 1.0
        for sp, values in ((0, values_0), (100, values_100)):
            for v in values:
                rows.append(["-", f"{t:.3f}", f"+{v}", "", "ZEP", str(sp)])
                t += dt
        return rows
    good = log([12345] * 31, [12345, 12400, 12445, 12445, 12445])
    cases = [
        ("a good log", good, 0),
        ("a first reading from before ON", log([12500] + [12345] * 30, [12445] * 4), 0),
        ("a second reading from before ON", log([12500] * 2 + [12345] * 29, [12445] * 4), 1),
        ("one wrong reading", log([12345] * 15 + [12335] + [12345] * 15, [12445] * 4), 1),
        ("too slow", log([12345] * 20, [12445] * 4, dt=0.5), 1),
        ("too slow on a starved host", log([12345] * 20, [12445] * 4, dt=0.5), 0),
        ("too short", log([12345] * 10, [12445] * 4), 1),
        ("two readings between", log([12345] * 31, [12380, 12420, 12445, 12445, 12445]), 1),
        ("never reaches 12445", log([12345] * 31, [12345, 12345, 12345]), 1),
        ("falls back", log([12345] * 31, [12445, 12445, 12345, 12445, 12445, 12445]), 1),
    ]
    bad = 0
    for name, rows, want in cases:
        got = len(judge_readings(rows, 12345, rate_counts="starved" not in name))
        if got != want:
            print(f"FAIL self-test {name}: {got} problems, expected {want}")
            bad += 1
    marked = [r[:3] + ["OR"] + r[4:] for r in good]
    if not judge_readings(marked, 12345):
        print("FAIL self-test: readings with a mark pass")
        bad += 1
    # The scan writes count only while ON: before it, a control 12 is a claim.
    if names(parse([(2, 0x0C), (2, 8)])) != ["claim", "odd"] or \
            names(parse([(2, 0), (2, 8), (2, 0x0C)], True)) != ["sync", "scan", "scan"]:
        print("FAIL self-test: scan writes")
        bad += 1
    # The host's CPU samples: only those between the two markers count.
    import tempfile
    with tempfile.TemporaryDirectory() as d:
        d = Path(d)
        (d / "marks.txt").write_text("10 a\n11 board:reading\n12 board:coarse-up\n")
        (d / "host-cpu.log").write_text(
            "1.0 1 0 0\n2.0 2 1000000000 0\n3.0 2 2000000000 3000000000\n"
            "4.0 2 3000000000 6000000000\n5.0 3 9000000000 6000000000\n")
        share = cpu_wait_share(d, "board:reading", "board:coarse-up")
        if share is None or abs(share - 0.75) > 1e-9:
            print(f"FAIL self-test: CPU wait share {share}, expected 0.75")
            bad += 1
    print("check_trace self-test passed" if not bad else f"{bad} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    if sys.argv[1] == "--self-test":
        sys.exit(self_test())
    sys.exit(main(sys.argv[1]))
