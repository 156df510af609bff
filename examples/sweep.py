#!/usr/bin/python3
"""Sweeps the set-point of korvel (or korvel-sim) with its built-in sweep and
plots the voltmeter's reading against it.

    korvel-sim --listen 5025 &
    python3 examples/sweep.py [--resource TCPIP::127.0.0.1::5025::SOCKET]
                              [--start -25000] [--stop 25000] [--step 1000]
                              [--readings 1] [--slew OFF] [--out sweep.png]

Needs Debian's python3-pyvisa, python3-pyvisa-py and python3-matplotlib.
"""
import argparse

import matplotlib
matplotlib.use("Agg")  # draws into the file, no display needed
import matplotlib.pyplot as plt
import pyvisa


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--resource", default="TCPIP::127.0.0.1::5025::SOCKET")
    p.add_argument("--start", type=int, default=-25000)
    p.add_argument("--stop", type=int, default=25000)
    p.add_argument("--step", type=int, default=1000)
    p.add_argument("--readings", type=int, default=1, help="readings per point, 1..100")
    p.add_argument("--slew", default="OFF", help="counts per 100 ms, or OFF")
    p.add_argument("--out", default="sweep.png")
    args = p.parse_args()

    rm = pyvisa.ResourceManager("@py")
    board = rm.open_resource(args.resource, read_termination="\n",
                             write_termination="\n", timeout=600000)
    print(board.query("*IDN?"))
    board.write("*RST;*CLS;OUTP ON;MODE ZEP")
    # The instrument runs the sweep itself: each point moved to, measured
    # afresh (as READ? measures) and kept; *OPC? answers once it has ended.
    board.write(f"SOUR:SWE:MODE SWE;STAR {args.start};STOP {args.stop};STEP {args.step};"
                f"DIR UP;COUN 1;SLEW {args.slew};END RET;:SENS:AVER:COUN {args.readings}")
    print(board.query("SOUR:SWE:POIN?"), "points")
    board.write("INIT:SWE")
    board.query("*OPC?")
    fields = board.query("FETC:SWE?").split(",")
    board.write("*RST")
    error = board.query("SYST:ERR?")
    board.close()
    if not error.startswith("0,"):
        raise SystemExit(f"the board reported: {error}")

    # setpoint,mean pairs; an over-range point's mean is SCPI's not-a-number.
    points, marked = [], []
    for setpoint, mean in zip(fields[0::2], fields[1::2]):
        setpoint = int(setpoint)
        if mean == "9.91E+37":
            marked.append((setpoint, 0, "OR"))
            print(f"{setpoint:+6d}  OR")
            continue
        value = float(mean)
        points.append((setpoint, value))
        if abs(value) <= 1800:
            marked.append((setpoint, value, "UR"))
        print(f"{setpoint:+6d}  {value:+.1f}")

    # Over range the digits read 0: those points go to the edge of the
    # scale, marked, instead of onto the line.
    over = {s for s, _, m in marked if m == "OR"}
    under = {s for s, _, m in marked if m == "UR"}
    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=100)
    ax.plot([s for s, _ in points if s not in over], [v for s, v in points if s not in over],
            "o-", ms=3, label="reading")
    if under:
        ax.plot([s for s, _ in points if s in under], [v for s, v in points if s in under],
                "s", mfc="none", color="purple", label="UR (under range)")
    if over:
        ax.plot(sorted(over), [19999 if s > 0 else -19999 for s in sorted(over)],
                "x", color="red", label="OR (over range)")
    ax.set_xlabel("set-point")
    ax.set_ylabel("voltmeter reading")
    ax.set_title("Set-point sweep (built-in)")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(args.out)
    print(f"plot written to {args.out}")


if __name__ == "__main__":
    main()
