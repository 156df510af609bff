#!/usr/bin/python3
"""Drives the real korvel-sim through its remote interface.

    remote_driver.py KORVEL_SIM commands   PyVISA-py as a client: every command
                                           checked on the board's latches and
                                           on the panel's controls; bad input
                                           of every kind changes nothing; the
                                           17th client is refused
    remote_driver.py KORVEL_SIM record     the reading log survives kill -9:
                                           every completed row intact
    remote_driver.py KORVEL_SIM options    bad options: status 2 (1 for a file or
                                           port it cannot take), one line on
                                           standard error, the board untouched

The board is watched through the simulated board's test-only state file
(KORVEL_SIM_STATE). No timing thresholds: every wait is generous and ends
as soon as what it waits for is there.
"""
import csv
import io
import mmap
import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
failures = []


def check(ok, what):
    if not ok:
        print("FAIL: " + what, file=sys.stderr)
        failures.append(what)


def wait_for(predicate, seconds=60.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.02)
    return predicate()


class Board:
    """The simulated board's registers, read from its state file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.map = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)

    def registers(self):
        # magic, version, sequence, base (u32 each), writes (u64), then data,
        # control, low latch, high latch (u8 each). The sequence is odd while
        # a write is being applied.
        while True:
            seq1 = struct.unpack_from("<I", self.map, 8)[0]
            writes, data, control, lo, hi = struct.unpack_from("<QBBBB", self.map, 16)
            seq2 = struct.unpack_from("<I", self.map, 8)[0]
            if seq1 == seq2 and seq1 % 2 == 0:
                return {"writes": writes, "data": data, "control": control, "lo": lo, "hi": hi}


def become_subreaper():
    """Orphaned descendants (the panel's watchdog) come back to this driver,
    so it can wait for them before it removes their files."""
    import ctypes
    PR_SET_CHILD_SUBREAPER = 36
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap_descendants(seconds=120.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return True
        if pid == 0:
            time.sleep(0.02)
    return False


class Sim:
    def __init__(self, program, scratch, extra_args):
        self.state = os.path.join(scratch, "board")
        env = dict(os.environ, KORVEL_SIM_STATE=self.state, QT_QPA_PLATFORM="offscreen")
        self.proc = subprocess.Popen(
            [program, "--listen", "127.0.0.1:0", "-platform", "offscreen"] + extra_args,
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.port = None
        line = b""
        end = time.monotonic() + 120
        while time.monotonic() < end and not line.endswith(b"\n"):
            ready, _, _ = select.select([self.proc.stdout], [], [], 1.0)
            if ready:
                b = os.read(self.proc.stdout.fileno(), 1)
                if not b:
                    break
                line += b
        m = re.match(rb"korvel: listening on 127\.0\.0\.1:(\d+)\n", line)
        if not m:
            self.stop()
            raise SystemExit("korvel-sim did not say where it listens: %r" % line)
        self.port = int(m.group(1))
        self.board = wait_for(lambda: os.path.exists(self.state) and Board(self.state))

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            status = self.proc.wait(120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        check(reap_descendants(), "the watchdog ended")
        return status


def raw_client(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    return s


def raw_query(s, line):
    s.sendall(line.encode("latin-1") + b"\n")
    data = b""
    while not data.endswith(b"\n"):
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode("latin-1").strip()


def commands(program):
    try:
        import pyvisa
    except ImportError:
        print("skipped: PyVISA is not installed (tools/install-deps installs python3-pyvisa, "
              "python3-pyvisa-py)")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="korvel-remote-") as scratch:
        sim = Sim(program, scratch, [])
        try:
            rm = pyvisa.ResourceManager("@py")
            inst = rm.open_resource("TCPIP::127.0.0.1::%d::SOCKET" % sim.port,
                                    read_termination="\n", write_termination="\n",
                                    timeout=60000)
            board = sim.board
            check(inst.query("*IDN?") == "korvel,korvel-sim,0,0.1.0", "identity")

            # ON in ZEP with a set-point: the latches get its sign and magnitude.
            inst.write("*RST;OUTP ON;MODE ZEP;SOUR:SETP -12345")
            check(inst.query("OUTP?;MODE?;SETP?") == "1;ZEP;-12345", "controls after ON")
            got = wait_for(lambda: board.registers()["hi"] == (0x30 | 0x80)
                           and board.registers()["lo"] == 0x39)
            check(got, "latches for -12345: %r" % board.registers())
            inst.write("SETP 30000")
            check(wait_for(lambda: board.registers()["hi"] == 0x75 and board.registers()["lo"] == 0x30),
                  "latches for 30000: %r" % board.registers())

            # The voltmeter measures the set-point output.
            inst.write("SETP 12345")
            # READ? measures the new output, from the first one on.
            readings = [inst.query("READ?") for _ in range(3)]
            check(readings == ["+12345"] * 3, "reading of 12345: %r" % readings)
            check(inst.query("FETC?") == "+12345", "FETC?")
            # Over range the digits read 0 and the reading is marked.
            inst.write("SETP 25000")
            over = [inst.query("READ?") for _ in range(2)]
            check(over == ["+0,OR"] * 2, "over-range reading: %r" % over)

            # Output bits in DPC, from a reset: the bit buttons set and clear
            # their own bits of the low latch only.
            inst.write("*RST;MODE DPC;OUTP ON;BITS 165")
            check(wait_for(lambda: board.registers()["lo"] == 165), "low latch 165: %r" % board.registers())
            check(inst.query("BITS?") == "165", "BITS?")

            # Errors go to the queue; the connection stays up and nothing moves.
            before = board.registers()
            inst.write("FOO")
            check(inst.query("SYST:ERR?").startswith("-113,"), "undefined header")
            inst.write("BITS 256;SETP 5")
            check(inst.query("SYST:ERR?").startswith("-222,"), "bits out of range")
            check(inst.query("SYST:ERR?").startswith("-221,"), "set-point outside ZEP")
            check(inst.query("SYST:ERR?") == '0,"No error"', "queue empty")

            # Binary bytes, NULs, a half line and a disconnect mid-command;
            # an over-long line.
            s = raw_client(sim.port)
            s.sendall(b"\x00\xff\x01OUTP OFF\x00\nMODE ZEP\x80\n*RST" + bytes(range(256)) + b"\n")
            check(raw_query(s, "SYST:ERR?").startswith("-101,"), "invalid character")
            s.sendall(b"*CLS\n*RST;" + b"x" * 5000 + b"\n")
            check(raw_query(s, "SYST:ERR?").startswith("-223,"), "over-long line refused")
            s.sendall(b"OUTP OF")
            s.close()
            # A client gone while it waits for a measurement.
            s = raw_client(sim.port)
            s.sendall(b"INIT;READ?\n")
            s.close()
            time.sleep(1.5)
            check(inst.query("OUTP?;MODE?;BITS?") == "1;DPC;165", "state after bad input")
            after = board.registers()
            check(after["lo"] == before["lo"] and after["hi"] == before["hi"],
                  "latches after bad input: %r then %r" % (before, after))
            check(re.fullmatch(r"[+-]\d+(,OR|,UR)?", inst.query("READ?")), "READ? after the clients left")

            # A client that sends and never reads does not hold anyone up:
            # the board keeps being refreshed and others are answered.
            hog = raw_client(sim.port)
            hog.setblocking(False)
            flood = b"*IDN?\n" * 200000
            sent = 0
            try:
                while sent < len(flood):
                    sent += hog.send(flood[sent:sent + 65536])
            except BlockingIOError:
                pass
            writes = board.registers()["writes"]
            check(wait_for(lambda: board.registers()["writes"] > writes + 20),
                  "board refreshed while a client floods")
            check(inst.query("*OPC?") == "1", "answered while a client floods")

            # Sixteen clients at once; the seventeenth is told why and closed.
            others = [hog] + [raw_client(sim.port) for _ in range(14)]
            check(raw_query(others[-1], "*OPC?") == "1", "sixteenth client served")
            extra = raw_client(sim.port)
            refusal = extra.recv(4096)
            check(b"refused" in refusal and b"16 clients" in refusal, "refusal line %r" % refusal)
            extra.settimeout(60)
            check(extra.recv(4096) == b"", "refused client closed")
            extra.close()
            for o in others:
                o.close()
            again = wait_for(lambda: raw_query(raw_client(sim.port), "*OPC?") == "1")
            check(again, "a client connects once others have gone")

            # Reset: the board in its safe state, the controls reset.
            inst.write("*RST")
            check(inst.query("OUTP?;BITS?;SETP?") == "0;0;0", "controls after *RST")
            check(wait_for(lambda: board.registers()["lo"] == 255 and board.registers()["control"] == 12),
                  "safe state after *RST: %r" % board.registers())
            inst.close()
            rm.close()
        finally:
            status = sim.stop()
            err = sim.proc.stderr.read().decode(errors="replace")
        check(status == 0, "exit status %r; stderr: %s" % (status, err))
    return 0


ROW = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,\d+\.\d{3},[+-]\d+,(OR|UR|OR UR)?,(ZEP|DPC|DVM),-?\d+")


def record(program):
    with tempfile.TemporaryDirectory(prefix="korvel-record-") as scratch:
        log = os.path.join(scratch, "log.csv")
        old = "time_utc,seconds,reading,mark,mode,setpoint\n2026-01-01T00:00:00.000Z,0.100,+5,,ZEP,5\n"
        with open(log, "w") as f:
            f.write(old)
        sim = Sim(program, scratch, ["--record", log])
        try:
            s = raw_client(sim.port)
            s.sendall(b"OUTP ON;SETP 777\n")
            check(wait_for(lambda: open(log).read().count("\n") >= 8), "rows written")
        finally:
            sim.stop(signal.SIGKILL)
        text = open(log).read()
        check(text.startswith(old), "the file was appended to")
        lines = text.split("\n")
        complete, partial = lines[:-1], lines[-1]
        check(complete.count("time_utc,seconds,reading,mark,mode,setpoint") == 1, "one header")
        rows = complete[2:]
        check(len(rows) >= 6, "rows: %d" % len(rows))
        for r in rows:
            check(ROW.fullmatch(r) is not None, "row intact: %r" % r)
        # A row cut short by the kill may end the file: it is the only line
        # without its end.
        check("\n" not in partial, "partial row")
        parsed = list(csv.reader(io.StringIO("\n".join(complete))))
        check(all(len(p) == 6 for p in parsed), "six fields per row")
        check(any(r.split(",")[2] == "+777" for r in rows), "the set-point was read: %r" % rows[-3:])

        # A new log has the limit column, and the readings above the upper
        # limit say so (readings under range, below 1800, are never judged).
        fresh = os.path.join(scratch, "fresh.csv")
        sim = Sim(program, scratch, ["--record", fresh])
        try:
            s = raw_client(sim.port)
            s.sendall(b"CALC:LIM:UPP 4000;STAT ON;:OUTP ON;SETP 5000\n")
            check(wait_for(lambda: open(fresh).read().count(",+5000,") >= 2), "rows above the limit")
            answer = raw_query(s, "CALC:LIM:FAIL?;:CALC:AVER:MAX?")
            check(re.fullmatch(r"1,\d+;\+5000", answer) is not None,
                  "failing, and the maximum: %r" % answer)
        finally:
            sim.stop()
        rows = list(csv.reader(io.StringIO(open(fresh).read())))
        check(rows[0] == ["time_utc", "seconds", "reading", "mark", "mode", "setpoint", "limit"],
              "header with the limit column: %r" % rows[0])
        check(all(len(r) == 7 for r in rows), "seven fields per row")
        check(all(r[6] == ("high" if not r[3] and int(r[2]) > 4000 else "") for r in rows[1:]),
              "limit verdicts: %r" % rows[1:])
    return 0


def options(program):
    """A bad option ends the program with status 2, a file it cannot record
    to or a TCP port it cannot take with status 1; either way with one line
    on standard error, before anything is written to the board."""
    busy = socket.socket()
    busy.bind(("127.0.0.1", 0))
    busy.listen(1)
    with tempfile.TemporaryDirectory(prefix="korvel-options-") as scratch:
        port = busy.getsockname()[1]
        # (arguments, exit status, what the line on standard error says)
        cases = [
            (["--frobnicate"], 2, "unknown option 'frobnicate'; see 'korvel-sim --help'"),
            (["stray"], 2, "unexpected argument 'stray'"),
            (["--listen"], 2, "missing value after '--listen'"),
            (["--listen", "1", "--listen", "2"], 2, "--listen and --record are given once each"),
            (["--listen", "70000"], 2, "--listen '70000': the port is a number from 0 to 65535"),
            (["--listen", "example.org:5025"], 2, "the host is an IP address such as 127.0.0.1"),
            (["--listen", "127.0.0.1:%d" % port], 1, "cannot listen on 127.0.0.1:%d" % port),
            (["--record", os.path.join(scratch, "no", "log.csv")], 1, "cannot open "),
        ]
        for args, status, expect in cases:
            state = os.path.join(scratch, "board")
            env = dict(os.environ, KORVEL_SIM_STATE=state, QT_QPA_PLATFORM="offscreen")
            p = subprocess.run([program, "-platform", "offscreen"] + args, env=env,
                               capture_output=True, timeout=120)
            err = p.stderr.decode(errors="replace")
            lines = [l for l in err.splitlines() if not l.startswith("QStandardPaths")]
            check(p.returncode == status, "%r: status %d" % (args, p.returncode))
            check(len(lines) == 1 and lines[0].startswith("korvel-sim: ") and expect in lines[0],
                  "%r: stderr %r" % (args, err))
            writes = Board(state).registers()["writes"] if os.path.exists(state) else 0
            check(writes == 0, "%r: %d writes to the board" % (args, writes))
    busy.close()
    return 0


def main():
    parts = {"commands": commands, "record": record, "options": options}
    become_subreaper()
    if len(sys.argv) != 3 or sys.argv[2] not in parts:
        print("usage: remote_driver.py KORVEL_SIM commands|record|options", file=sys.stderr)
        return 2
    status = parts[sys.argv[2]](sys.argv[1])
    if status:
        return status
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
