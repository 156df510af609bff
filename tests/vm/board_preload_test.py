#!/usr/bin/python3
"""The board library as QEMU meets it: ppdev ioctls on a scratch file.

  board_preload_test.py LIBRARY

Runs itself again with LIBRARY preloaded, then drives the board through the
same requests QEMU makes for a guest: latches the set-point 100 with data
and control writes, and reads the voltmeter back through the status
register as the board multiplexes it. The board measures 12345 counts plus
its set-point output, so the reading goes from +12345 to +12445.
"""
import errno
import fcntl
import os
import struct
import sys
import tempfile
import time

PPRSTATUS, PPRCONTROL, PPWCONTROL = 0x80017081, 0x80017083, 0x40017084
PPRDATA, PPWDATA, PPCLAIM, PPRELEASE = 0x80017085, 0x40017086, 0x708B, 0x708C
PPDATADIR = 0x40047090

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print(f"FAIL: {what}")


def get(fd, request):
    return fcntl.ioctl(fd, request, b"\0")[0]


def put(fd, request, value):
    fcntl.ioctl(fd, request, bytes([value]))


def status(fd, code):
    """The status lines (bit 7 un-inverted) while the control register holds code."""
    put(fd, PPWCONTROL, code)
    return get(fd, PPRSTATUS) ^ 0x80


def read_voltmeter(fd, timeout_s=5.0):
    """The reading shown by the multiplexed digits: a digit counts when the
    drive lines read the same before and after its BCD value."""
    digits = {}
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline and len(digits) < 5:
        before = status(fd, 8) >> 4
        half_before = status(fd, 0) & 0x10
        bcd = status(fd, 12) >> 4
        after = status(fd, 8) >> 4
        half_after = status(fd, 0) & 0x10
        if half_before and half_after and not before and not after:
            digits[5] = bcd & 1
        elif before == after and before in (1, 2, 4, 8) and not half_before and not half_after:
            digits[{1: 1, 2: 2, 4: 3, 8: 4}[before]] = bcd
    if len(digits) < 5:
        return None
    value = sum(digits[d] * 10 ** (d - 1) for d in range(1, 6))
    return value if status(fd, 0) & 0x20 else -value


def latch(fd, lo, hi):
    for data, strobe in ((lo, 3), (hi, 1)):
        put(fd, PPWDATA, data)
        put(fd, PPWCONTROL, strobe)
        put(fd, PPWCONTROL, 0)


def settle(fd, want, timeout_s=4.0):
    """The reading once it has reached want (conversions take a third of a second)."""
    deadline = time.monotonic() + timeout_s
    got = None
    while time.monotonic() < deadline:
        got = read_voltmeter(fd)
        if got == want:
            break
    return got


def main():
    with tempfile.NamedTemporaryFile(prefix="korvel-board-") as scratch:
        os.environ["KORVEL_VM_BOARD"] = scratch.name
        fd = os.open(scratch.name, os.O_RDWR)
        # Register requests before the claim are refused, as ppdev refuses them.
        try:
            get(fd, PPRSTATUS)
            check(False, "a status read before PPCLAIM was answered")
        except OSError as e:
            check(e.errno == errno.EINVAL, f"status read before PPCLAIM: {e}")
        fcntl.ioctl(fd, PPCLAIM)

        # Data and control read back as written; reversed data lines float high.
        put(fd, PPWDATA, 0xAA)
        check(get(fd, PPRDATA) == 0xAA, "data does not read back 0xAA")
        put(fd, PPWCONTROL, 0x0E)
        check(get(fd, PPRCONTROL) == 0x0E, "control does not read back 0x0E")
        fcntl.ioctl(fd, PPDATADIR, struct.pack("i", 1))
        check(get(fd, PPRDATA) == 0xFF, "reversed data lines do not read 0xFF")
        fcntl.ioctl(fd, PPDATADIR, struct.pack("i", 0))
        put(fd, PPWCONTROL, 0)
        check(status(fd, 0) & 0x07 == 0x07, "status bits 0..2 do not read 1")

        latch(fd, 0, 0)
        got = settle(fd, 12345)
        check(got == 12345, f"reading at set-point 0 is {got}, expected 12345")
        latch(fd, 100, 0)
        got = settle(fd, 12445)
        check(got == 12445, f"reading at set-point 100 is {got}, expected 12445")
        # Negative set-point: sign in bit 7 of the high latch.
        latch(fd, 0x10, 0xA7)      # -(0x2710) = -10000
        got = settle(fd, 2345)
        check(got == 2345, f"reading at set-point -10000 is {got}, expected 2345")
        fcntl.ioctl(fd, PPRELEASE)
        os.close(fd)

    # Any other file still reaches the kernel: /dev/null is no parallel port.
    fd = os.open("/dev/null", os.O_RDWR)
    try:
        fcntl.ioctl(fd, PPCLAIM)
        check(False, "PPCLAIM on /dev/null succeeded")
    except OSError as e:
        check(e.errno == errno.ENOTTY, f"PPCLAIM on /dev/null: {e}")
    os.close(fd)

    print(f"{len(failures)} failed" if failures else "board library passed")
    return 1 if failures else 0


if __name__ == "__main__":
    if os.environ.get("LD_PRELOAD") != sys.argv[1]:
        env = dict(os.environ, LD_PRELOAD=sys.argv[1], KORVEL_VM_BOARD_OFFSET="12345")
        os.execve(sys.executable, [sys.executable] + sys.argv, env)
    sys.exit(main())
