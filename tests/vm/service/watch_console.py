#!/usr/bin/python3
"""Watches the service test machine's console while it boots, and ends the
machine at once when the boot cannot reach the scenario.

    watch_console.py CONSOLE_LOG QEMU_PID REASON_FILE
        reads the console as it grows; when it shows another target booted
        (multi-user, graphical, emergency, rescue), the test target failing,
        or a start job still running after JOB_LIMIT seconds of the
        machine's time (KORVEL_VM_JOB_LIMIT, 90 by default), writes the
        reason to REASON_FILE and kills QEMU. Stops watching once the
        scenario has begun (its first line), or when QEMU ends.
    watch_console.py --self-test
        the verdicts on console excerpts of good and bad boots.
"""
import os
import re
import signal
import sys
import time

SCENARIO_BEGUN = "korvel-vm: machine up under systemd"
# By unit name or description: "Reached target multi-user.target - Multi-User
# System." or "Reached target Multi-User System.", as StatusUnitFormat= says.
WRONG_TARGETS = re.compile(r"Reached target .*?\b(multi-user\.target|graphical\.target|emergency\.target|"
                           r"rescue\.target|Multi-User System|Graphical Interface|Emergency Mode|Rescue Mode)")
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
# systemd's job-in-progress line, by description or by unit name:
# "A start job is running for Create Volatile Files (1min 3s / no limit)",
# "Job systemd-tmpfiles-setup.service/start running (2min 10s / no limit)".
JOB = re.compile(r"(?:A (\w+) job is running for (.+?)|Job (\S+?)/(\w+) running) \(([^/]+?) / ([^)]+)\)")
UNITS = {"d": 86400, "h": 3600, "min": 60, "s": 1, "ms": 0.001, "us": 0.000001}


def seconds(span):
    """systemd's "1min 30s", "25.5s", "2h 1min" as seconds; None if not one."""
    total = 0.0
    parts = span.split()
    if not parts:
        return None
    for part in parts:
        m = re.fullmatch(r"([0-9.]+)(d|h|min|s|ms|us)", part)
        if not m:
            return None
        total += float(m.group(1)) * UNITS[m.group(2)]
    return total


def verdict(text, job_limit):
    """Why the boot shown in console text cannot reach the scenario, or
    None while it may still; "" once the scenario has begun."""
    for raw in re.split(r"[\r\n]", text):
        line = ANSI.sub("", raw).strip()
        if SCENARIO_BEGUN in line:
            return ""
        m = WRONG_TARGETS.search(line)
        if m:
            return "the machine booted %s instead of korvel-service-test.target" % m.group(1)
        if "You are in emergency mode" in line or "You are in rescue mode" in line:
            return "the machine fell into %s" % line
        if re.search(r"Dependency failed for korvel|Failed to start korvel|"
                     r"korvel-service-test\.target.*(timed out|failed)", line):
            return "the test target failed: %s" % line
        m = JOB.search(line)
        if m:
            elapsed = seconds(m.group(5))
            if elapsed is not None and elapsed >= job_limit:
                what = m.group(2) or m.group(3)
                if "korvel service test" not in what and not what.startswith("korvel-service"):
                    return "the boot hangs on the %s job of %s (%s / %s)" % (
                        m.group(1) or m.group(4), what, m.group(5), m.group(6))
    return None


def watch(console, qemu_pid, reason_file, job_limit):
    def alive():
        try:
            os.kill(qemu_pid, 0)
            return True
        except OSError:
            return False

    while alive():
        try:
            with open(console, errors="replace") as f:
                text = f.read()
        except OSError:
            text = ""
        v = verdict(text, job_limit)
        if v == "":
            return 0
        if v:
            with open(reason_file, "w") as f:
                f.write(v + "\n")
            os.kill(qemu_pid, signal.SIGKILL)
            return 0
        time.sleep(1)
    return 0


def self_test():
    good = ("[  OK  ] Reached target System Initialization.\r\n"
            "[  OK  ] Started korvel service test scenario.\r\n"
            "korvel-vm: machine up under systemd systemd 252\r\n"
            "[  OK  ] Reached target Multi-User System.\r\n")
    cases = [
        ("", None),
        ("[  OK  ] Reached target Basic System.\r\n", None),
        (good, ""),
        ("[  OK  ] Reached target \x1b[0;1;39mGraphical Interface\x1b[0m.\r\n", "booted Graphical"),
        ("[  OK  ] Reached target Multi-User System.\r\n", "booted Multi-User"),
        ("[\x1b[0;32m  OK  \x1b[0m] Reached target \x1b[0;1;39mgraphical.target\x1b[0m - Graphical Interface.\r\r\n",
         "booted graphical.target"),
        ("[\x1b[0;32m  OK  \x1b[0m] Reached target \x1b[0;1;39mgetty.target\x1b[0m - Login Prompts.\r\r\n", None),
        ("You are in emergency mode. After logging in, type ...\r\n", "emergency mode"),
        ("[DEPEND] Dependency failed for korvel service test.\r\n", "target failed"),
        ("\r[ ***  ] A start job is running for /dev/ttyS0 (25s / 1min 30s)", None),
        ("\x1bM\r\r\x1b[K[\x1b[0;31m*     \x1b[0m] Job dev-ttyS0.device/start running (1min 29s / 1min 30s)\r\r\n",
         None),
        ("\r[ ***  ] A start job is running for /dev/ttyS0 (2min 1s / 1min 30s)",
         "start job of /dev/ttyS0"),
        ("\x1b[K[   *] Job systemd-tmpfiles-setup.service/start running (2min 10s / no limit)\r",
         "start job of systemd-tmpfiles-setup.service"),
        ("\r[ ***  ] A start job is running for korvel service test scenario (5min / no limit)", None),
        ("\r[ ***  ] A start job is running for Journal Service (1min 59s / 1min 30s)", None),
    ]
    failed = 0
    for text, want in cases:
        got = verdict(text, 120)
        ok = got == want if want in (None, "") else (got or "").find(want) >= 0
        if not ok:
            print("FAIL: %r: %r, wanted %r" % (text, got, want))
            failed += 1
    for span, want in [("1min 30s", 90), ("25.5s", 25.5), ("2h 1min", 7260), ("no limit", None), ("", None)]:
        if seconds(span) != want:
            print("FAIL: %r as %r" % (span, seconds(span)))
            failed += 1
    print("%d of %d verdicts wrong" % (failed, len(cases) + 5))
    return 1 if failed else 0


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    return watch(sys.argv[1], int(sys.argv[2]), sys.argv[3],
                 float(os.environ.get("KORVEL_VM_JOB_LIMIT", "90")))


if __name__ == "__main__":
    sys.exit(main())
