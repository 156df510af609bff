#!/usr/bin/python3
"""korvel-sim with a reading store (--store), as a user and a crash see it.

    store_driver.py KORVEL_SIM kill      kill -9 in the middle of writing, many
                                         times over one store: every reopen
                                         passes PRAGMA integrity_check, and no
                                         reading the program logged more than a
                                         second before the kill is missing
    store_driver.py KORVEL_SIM restart   the readings from before a restart are
                                         counted and answered by TRAC:DATA?
    store_driver.py KORVEL_SIM refuse    without a window, a store it cannot use
                                         ends it before any socket, with one
                                         line; the file is left as it was

The readings the program accepted are its --record rows (written and flushed
one by one). No timing thresholds beyond the one second the store promises.
"""
import datetime
import os
import random
import re
import select
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from remote_driver import (Board, Sim, become_subreaper, check, failures, raw_client,  # noqa: E402
                           raw_query, wait_for)


class Panel(Sim):
    """korvel-sim without a window, listening on a free port."""

    def __init__(self, program, scratch, extra_args):
        self.state = os.path.join(scratch, "board")
        env = dict(os.environ, KORVEL_SIM_STATE=self.state)
        self.proc = subprocess.Popen([program, "--no-window", "--listen", "127.0.0.1:0"] + extra_args,
                                     env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
            raise SystemExit("korvel-sim did not say where it listens: %r %r" % (line, self.proc.stderr.read()))
        self.port = int(m.group(1))


def record_times(log):
    """The times of the complete rows of a --record log, in ms since 1970."""
    times = []
    with open(log) as f:
        text = f.read()
    for line in text.split("\n")[1:-1]:
        stamp = line.split(",")[0]
        t = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%fZ").replace(tzinfo=datetime.timezone.utc)
        times.append(int(t.timestamp() * 1000))
    return times


def open_check(path):
    """integrity_check of the file as another program reads it, and its times."""
    db = sqlite3.connect("file:%s?mode=ro" % path, uri=True)
    try:
        ok = db.execute("PRAGMA integrity_check").fetchone()[0]
        times = [r[0] for r in db.execute("SELECT time FROM readings ORDER BY time")]
        minutes = db.execute("SELECT total(count + over + under) FROM minutes").fetchone()[0]
    finally:
        db.close()
    return ok, times, int(minutes)


def kill(program):
    with tempfile.TemporaryDirectory(prefix="korvel-store-kill-") as scratch:
        store = os.path.join(scratch, "readings.db")
        rng = random.Random(26)
        kept = 0
        for run in range(8):
            log = os.path.join(scratch, "log%d.csv" % run)
            sim = Panel(program, scratch, ["--store", store, "--record", log])
            try:
                s = raw_client(sim.port)
                s.sendall(b"OUTP ON\n")
                # Some readings, then the kill at a moment of its own.
                wanted = rng.randint(2, 6)
                wait_for(lambda: len(record_times(log)) >= wanted)
                time.sleep(rng.uniform(0.0, 0.4))
                killed_at = int(time.time() * 1000)
                sim.stop(signal.SIGKILL)
            finally:
                if sim.proc.poll() is None:
                    sim.stop(signal.SIGKILL)
            ok, times, minutes = open_check(store)
            check(ok == "ok", "run %d: integrity_check says %r" % (run, ok))
            check(minutes == len(times), "run %d: minutes count %d, rows %d" % (run, minutes, len(times)))
            logged = record_times(log)
            new = len(times) - kept
            older = sum(1 for t in logged if t < killed_at - 1000)
            check(new >= older, "run %d: %d readings stored, %d logged before the last second (of %d)"
                  % (run, new, older, len(logged)))
            check(new <= len(logged) + 1, "run %d: %d stored, %d logged" % (run, new, len(logged)))
            kept = len(times)
        check(kept > 0, "readings stored")
    return 0


def restart(program):
    with tempfile.TemporaryDirectory(prefix="korvel-store-restart-") as scratch:
        store = os.path.join(scratch, "readings.db")
        sim = Panel(program, scratch, ["--store", store])
        try:
            s = raw_client(sim.port)
            s.sendall(b"OUTP ON;SETP 5000\n")
            check(wait_for(lambda: raw_query(s, "FETC?") == "+5000"), "reading of 5000")
            wait_for(lambda: int(raw_query(s, "TRAC:POIN:ACT?")) >= 6)
            s.sendall(b"SETP 6000\n")
            check(wait_for(lambda: raw_query(s, "FETC?") == "+6000"), "reading of 6000")
            before = int(raw_query(s, "TRAC:POIN:ACT?"))
        finally:
            check(sim.stop() == 0, "ended by SIGTERM")
        sim = Panel(program, scratch, ["--store", store])
        try:
            s = raw_client(sim.port)
            after = int(raw_query(s, "TRAC:POIN:ACT?"))
            check(after >= before, "kept across the restart: %d, then %d" % (before, after))
            data = raw_query(s, "TRAC:DATA? 10000").split(",")
            check(len(data) == after, "TRAC:DATA? answers every reading kept: %d of %d" % (len(data), after))
            check("+5000" in data and data[-1] == "+6000", "the readings from before: %r" % data[-8:])
            check(raw_query(s, "CALC:AVER:MAX?") == "+6000", "the statistics begin with them")
        finally:
            sim.stop()
    return 0


def refuse(program):
    with tempfile.TemporaryDirectory(prefix="korvel-store-refuse-") as scratch:
        other = os.path.join(scratch, "other.db")
        db = sqlite3.connect(other)
        db.execute("CREATE TABLE mine(x)")
        db.commit()
        db.close()
        garbage = os.path.join(scratch, "garbage.db")
        with open(garbage, "wb") as f:
            f.write(b"not a database at all\n" * 100)
        cases = [
            (other, "is not a korvel store (another SQLite database)"),
            (garbage, "is not a korvel store (not an SQLite file)"),
            (os.path.join(scratch, "no", "r.db"), "cannot open the store"),
        ]
        for path, expect in cases:
            before = open(path, "rb").read() if os.path.exists(path) else None
            state = os.path.join(scratch, "board")
            env = dict(os.environ, KORVEL_SIM_STATE=state)
            p = subprocess.run([program, "--no-window", "--listen", "127.0.0.1:0", "--store", path],
                               env=env, capture_output=True, timeout=120)
            err = p.stderr.decode(errors="replace").splitlines()
            check(p.returncode == 1, "%s: status %d" % (path, p.returncode))
            check(len(err) == 1 and err[0].startswith("korvel-sim: ") and expect in err[0],
                  "%s: stderr %r" % (path, err))
            check(b"listening" not in p.stdout, "%s: no socket announced: %r" % (path, p.stdout))
            writes = Board(state).registers()["writes"] if os.path.exists(state) else 0
            check(writes == 0, "%s: %d writes to the board" % (path, writes))
            after = open(path, "rb").read() if os.path.exists(path) else None
            check(after == before, "%s: the file as it was" % path)
    return 0


def main():
    parts = {"kill": kill, "restart": restart, "refuse": refuse}
    become_subreaper()
    if len(sys.argv) != 3 or sys.argv[2] not in parts:
        print("usage: store_driver.py KORVEL_SIM kill|restart|refuse", file=sys.stderr)
        return 2
    status = parts[sys.argv[2]](sys.argv[1])
    if status:
        return status
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
