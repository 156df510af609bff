#!/usr/bin/python3
"""The programs without a window, as a bench PC without a screen runs them.

    no_window_driver.py KORVEL_SIM KORVEL drive
        korvel-sim --no-window with no display at all, driven by PyVISA-py:
        ON, the set-point on the latches, readings; no widget, display or
        windowing library in its memory map; SIGTERM, SIGINT and SIGHUP each
        end it with status 0 and the board in the safe state
    no_window_driver.py KORVEL_SIM KORVEL refusals
        --no-window with no way to drive the board (status 2), a window with
        no display or an unreachable one (status 1, no abort, no core): one
        line each, naming what to do, and the board untouched
    no_window_driver.py KORVEL_SIM KORVEL refused-start
        a start refused for its port or its password file says so in one
        line before it makes its log file or listens, and announces nothing
    no_window_driver.py KORVEL_SIM KORVEL notify
        under a service manager (NOTIFY_SOCKET): ready once the port is
        driven and the socket listens, heartbeats, stopping; never ready on
        a port it cannot drive
    no_window_driver.py KORVEL_SIM KORVEL make-safe
        korvel --make-safe where the machine has no port: status 1 and one
        line; with --if-service-failed after a clean stop: nothing, status 0

The board is watched through the simulated board's test-only state file
(KORVEL_SIM_STATE), as remote_driver.py does.
"""
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from remote_driver import (SKIP, Board, become_subreaper, check, failures,  # noqa: E402
                           reap_descendants, wait_for)

# What a process without a window must not have mapped.
DISPLAY_LIBRARIES = ("libQt6Widgets", "libQt6Gui", "libxcb", "libX11", "libwayland",
                     "korvel-window")


def headless_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(extra)
    return env


def read_line(stream, seconds=120.0):
    line = b""
    end = time.monotonic() + seconds
    while time.monotonic() < end and not line.endswith(b"\n"):
        ready, _, _ = select.select([stream], [], [], 1.0)
        if ready:
            b = os.read(stream.fileno(), 1)
            if not b:
                break
            line += b
    return line


def start(sim, scratch):
    state = os.path.join(scratch, "board")
    proc = subprocess.Popen([sim, "--no-window", "--listen", "127.0.0.1:0"],
                            env=headless_env(KORVEL_SIM_STATE=state),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = read_line(proc.stdout)
    m = re.match(rb"korvel: listening on 127\.0\.0\.1:(\d+)\n", line)
    if not m:
        proc.kill()
        proc.wait()
        raise SystemExit("korvel-sim --no-window did not say where it listens: %r, %r"
                         % (line, proc.stderr.read()))
    board = wait_for(lambda: os.path.exists(state) and Board(state))
    return proc, int(m.group(1)), board


def drive(sim, korvel):
    try:
        import pyvisa
    except ImportError:
        print("skipped: PyVISA is not installed (tools/install-deps installs python3-pyvisa, "
              "python3-pyvisa-py)")
        return SKIP
    become_subreaper()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        with tempfile.TemporaryDirectory(prefix="korvel-no-window-") as scratch:
            proc, port, board = start(sim, scratch)
            name = sig.name
            with open("/proc/%d/maps" % proc.pid) as f:
                maps = f.read()
            for lib in DISPLAY_LIBRARIES:
                check(lib not in maps, "%s: %s is loaded without a window" % (name, lib))
            check("libQt6Core" in maps, "%s: the maps were read (QtCore is there)" % name)

            rm = pyvisa.ResourceManager("@py")
            inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % port,
                                    read_termination="\n", write_termination="\n",
                                    timeout=60000)
            check(inst.query("OUTP?") == "0", "%s: the panel starts OFF" % name)
            inst.write("OUTP ON;MODE ZEP;SOUR:SETP 12345")
            check(inst.query("OUTP?;MODE?;SETP?") == "1;ZEP;12345", "%s: controls" % name)
            check(wait_for(lambda: board.registers()["hi"] == 0x30 and board.registers()["lo"] == 0x39),
                  "%s: latches for 12345: %r" % (name, board.registers()))
            readings = [inst.query("READ?") for _ in range(4)]
            check(readings[-1] == "+12345", "%s: readings %r" % (name, readings))
            inst.write("SETP 30000")
            check(wait_for(lambda: board.registers()["hi"] == 0x75 and board.registers()["lo"] == 0x30),
                  "%s: latches for 30000: %r" % (name, board.registers()))
            inst.close()

            proc.send_signal(sig)
            try:
                status = proc.wait(120)
            except subprocess.TimeoutExpired:
                proc.kill()
                status = proc.wait()
            check(status == 0, "%s: exit status %r" % (name, status))
            regs = board.registers()
            check(regs["lo"] == 255 and regs["control"] == 12,
                  "%s: the board is not in the safe state: %r" % (name, regs))
            # Nothing after the safe state.
            time.sleep(0.3)
            check(board.registers()["writes"] == regs["writes"], "%s: writes after the end" % name)
            check(reap_descendants(), "%s: the watchdog ended" % name)
            err = proc.stderr.read().decode("utf-8", "replace")
            check(err == "", "%s: standard error %r" % (name, err))
    return 0


def one_line_run(args, env, status, must_say, what):
    """Runs a program that must end at once with `status` and one line."""
    with tempfile.TemporaryDirectory(prefix="korvel-refusal-") as scratch:
        env = dict(env, KORVEL_SIM_STATE=os.path.join(scratch, "board"))
        try:
            r = subprocess.run(args, env=env, capture_output=True, timeout=120, cwd=scratch)
        except subprocess.TimeoutExpired:
            check(False, "%s: did not end" % what)
            return
        err = r.stderr.decode("utf-8", "replace")
        check(r.returncode == status, "%s: status %r (want %d), %r" % (what, r.returncode, status, err))
        check(err.count("\n") == 1 and err.endswith("\n"), "%s: not one line: %r" % (what, err))
        for words in must_say:
            check(words in err, "%s: %r does not say %r" % (what, err, words))
        check(r.stdout == b"", "%s: standard output %r" % (what, r.stdout))
        check(not os.path.exists(os.path.join(scratch, "board")),
              "%s: the board was touched" % what)
        check(not any(n.startswith("core") for n in os.listdir(scratch)), "%s: a core file" % what)


def refusals(sim, korvel):
    env = headless_env()
    one_line_run([sim, "--no-window"], env, 2, ["--no-window", "--listen"],
                 "--no-window alone")
    one_line_run([sim, "--no-window", "--record", "-"], env, 2, ["--listen"],
                 "--no-window with only a log")
    one_line_run([sim], env, 1, ["no display", "--no-window"], "no display")
    one_line_run([sim, "--listen", "0"], env, 1, ["--no-window"], "no display, listening")
    # A display is named but cannot be reached: the toolkit's own failure,
    # turned into one line.
    one_line_run([sim], headless_env(DISPLAY=":97"), 1, ["no usable display", "--no-window"],
                 "unreachable display")
    one_line_run([korvel, "--port", "0xD010"], env, 1, ["--no-window"], "korvel, no display")
    return 0


def listening_ports():
    """The local TCP ports in state LISTEN, from /proc/net/tcp and tcp6."""
    ports = set()
    for name in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(name) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            fields = row.split()
            if fields[3] == "0A":
                ports.add(int(fields[1].rsplit(":", 1)[1], 16))
    return ports


def refused_start(sim, korvel):
    """A refused start opens and announces nothing: the refusal comes
    before the log file is made and before any socket listens. The --listen
    port is held by this driver, so a program that tried to listen first
    would fail with "cannot listen" instead of the refusal asked for."""
    import socket
    become_subreaper()
    env = headless_env()
    cases = [
        ([sim, "--no-window", "--port", "0x278"], ["without a window", "0x278"], True),
        ([sim, "--no-window", "--http-password-file", "/nonexistent/pw"],
         ["--http-password-file /nonexistent/pw", "--hash-password"], True),
    ]
    ports = subprocess.run([korvel, "--list-ports"], capture_output=True, timeout=60, env=env).stdout
    if b"0xD010" not in ports:
        # The real ports' program on a base the kernel does not run: its
        # port's own line, then the refusal.
        cases.append(([korvel, "--no-window", "--port", "0xD010"], ["without a window", "0xD010"], False))
    for args, words, one_line in cases:
        what = " ".join(os.path.basename(a) for a in args)
        with tempfile.TemporaryDirectory(prefix="korvel-refused-") as scratch, \
                socket.socket(socket.AF_INET, socket.SOCK_STREAM) as held:
            held.bind(("127.0.0.1", 0))
            held.listen(1)
            free = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            free.bind(("127.0.0.1", 0))
            http = free.getsockname()[1]
            free.close()
            log = os.path.join(scratch, "log.csv")
            try:
                r = subprocess.run(args + ["--listen", "127.0.0.1:%d" % held.getsockname()[1],
                                           "--http", "127.0.0.1:%d" % http, "--record", log],
                                   env=dict(env, KORVEL_SIM_STATE=os.path.join(scratch, "board")),
                                   capture_output=True, timeout=120, cwd=scratch)
            except subprocess.TimeoutExpired:
                check(False, "%s: did not end" % what)
                continue
            err = r.stderr.decode("utf-8", "replace")
            check(r.returncode == 1, "%s: status %r, %r" % (what, r.returncode, err))
            check(r.stdout == b"", "%s: announced %r" % (what, r.stdout))
            check(err.endswith("\n") and (err.count("\n") == 1 or not one_line),
                  "%s: not one line: %r" % (what, err))
            last = err.rstrip("\n").rsplit("\n", 1)[-1]
            for w in words:
                check(w in last, "%s: %r does not say %r" % (what, last, w))
            check("listen" not in err and "web page" not in err, "%s: %r" % (what, err))
            check(not os.path.exists(log), "%s: the log file was made" % what)
            check(reap_descendants(), "%s: the watchdog ended" % what)
            check(http not in listening_ports(), "%s: port %d left listening" % (what, http))
    return 0


def make_safe(sim, korvel):
    # This machine has no parallel port at 0xD010 (tests never touch a real
    # board): the claim fails, nothing is written, one line says why.
    r = subprocess.run([korvel, "--make-safe", "--port", "0xD010"], capture_output=True,
                       timeout=60, env=headless_env())
    err = r.stderr.decode("utf-8", "replace")
    if r.returncode == 0:
        print("skipped: this machine has a port at 0xD010 that korvel can drive")
        return SKIP
    check(r.returncode == 1, "make-safe without a port: status %r" % r.returncode)
    check(err.startswith("korvel: the port at 0xD010 could NOT be put into the safe state: ")
          and err.count("\n") == 1, "make-safe without a port: %r" % err)
    # After a clean stop of the service it does nothing at all.
    clean = headless_env(SERVICE_RESULT="success", EXIT_CODE="exited", EXIT_STATUS="0")
    r = subprocess.run([korvel, "--make-safe", "--if-service-failed", "--port", "0xD010"],
                       capture_output=True, timeout=60, env=clean)
    check(r.returncode == 0 and r.stdout == b"" and r.stderr == b"",
          "make-safe after a clean stop: %r" % (r,))
    # --if-service-failed alone is a mistake.
    r = subprocess.run([korvel, "--if-service-failed"], capture_output=True, timeout=60,
                       env=headless_env())
    check(r.returncode == 2 and b"--make-safe" in r.stderr, "--if-service-failed alone: %r" % (r,))
    return 0


def notify(sim, korvel):
    """The service manager's side of Type=notify and WatchdogSec=: READY=1
    only once the port is driven and the socket listens, heartbeats from the
    event loop, STOPPING=1 at the end; no READY=1 for a port it cannot drive
    (status 1)."""
    import socket
    become_subreaper()
    with tempfile.TemporaryDirectory(prefix="korvel-notify-") as scratch:
        path = os.path.join(scratch, "notify")
        manager = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        manager.bind(path)
        manager.settimeout(60)
        env = headless_env(NOTIFY_SOCKET=path, WATCHDOG_USEC="400000",
                           KORVEL_SIM_STATE=os.path.join(scratch, "board"))
        proc = subprocess.Popen([sim, "--no-window", "--listen", "127.0.0.1:0"], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        first = manager.recv(4096).decode()
        # Ready comes after the socket listens and the board got its reset.
        listening = read_line(proc.stdout, 5)
        check(first.startswith("READY=1\n") and "0x378" in first, "first message %r" % first)
        check(listening.startswith(b"korvel: listening on "), "listening line %r" % listening)
        regs = Board(os.path.join(scratch, "board")).registers()
        check(regs["lo"] == 255 and regs["control"] == 12, "ready before the reset: %r" % regs)
        beats = 0
        end = time.monotonic() + 60
        while beats < 4 and time.monotonic() < end:
            if manager.recv(4096).decode() == "WATCHDOG=1":
                beats += 1
        check(beats == 4, "heartbeats: %d" % beats)
        proc.send_signal(signal.SIGTERM)
        messages = []
        while proc.poll() is None or not messages:
            try:
                manager.settimeout(5)
                messages.append(manager.recv(4096).decode())
            except socket.timeout:
                break
        check(proc.wait(120) == 0, "status after SIGTERM")
        check("STOPPING=1" in messages, "no STOPPING=1: %r" % messages)
        check(reap_descendants(), "the watchdog ended")

        # A start port it cannot drive: status 1, never ready.
        manager.settimeout(2)
        r = subprocess.run([sim, "--no-window", "--listen", "127.0.0.1:0", "--port", "0x278"],
                           env=env, capture_output=True, timeout=120)
        check(r.returncode == 1, "unusable start port: status %r" % r.returncode)
        check(b"0x278" in r.stderr, "unusable start port: %r" % r.stderr)
        got = []
        try:
            while True:
                got.append(manager.recv(4096).decode())
        except socket.timeout:
            pass
        check(not any(m.startswith("READY=1") for m in got), "ready on an unusable port: %r" % got)
        check(reap_descendants(), "the watchdog ended")
    return 0


def main():
    parts = {"drive": drive, "refusals": refusals, "refused-start": refused_start,
             "make-safe": make_safe, "notify": notify}
    if len(sys.argv) != 4 or sys.argv[3] not in parts:
        print(__doc__)
        return 2
    status = parts[sys.argv[3]](sys.argv[1], sys.argv[2])
    if failures:
        return 1
    return status


if __name__ == "__main__":
    sys.exit(main())
