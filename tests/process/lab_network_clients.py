#!/usr/bin/python3
"""The lab network's clients for lab_network_test.sh.

    lab_network_clients.py visa ADDRESS            PyVISA-py over VXI-11: both
                                                   resource strings, ON, a
                                                   set-point, READ? back
    lab_network_clients.py zeroconf OWN_ADDRESS NAME
                                                   python3-zeroconf's own mDNS
                                                   stack resolves the four
                                                   services of NAME
Prints what fails and ends with status 1 then.
"""
import sys
import time

failures = []


def check(ok, what):
    if not ok:
        print("FAIL: " + what, file=sys.stderr)
        failures.append(what)


def visa(address):
    import pyvisa
    rm = pyvisa.ResourceManager("@py")
    for setpoint, resource in ((12000, f"TCPIP::{address}::INSTR"), (-8000, f"TCPIP::{address}::inst0::INSTR")):
        board = rm.open_resource(resource, read_termination="\n", write_termination="\n", timeout=20000)
        idn = board.query("*IDN?")
        check(idn == "korvel,korvel-sim,0,0.1.0", f"{resource}: *IDN? gave {idn!r}")
        board.write("*RST;OUTP ON;MODE ZEP")
        board.write(f"SOUR:SETP {setpoint}")
        check(board.query("SETP?") == str(setpoint), f"{resource}: SETP? after SETP {setpoint}")
        reading = board.query("READ?")
        # The simulated converter measures the set-point output.
        check(abs(int(reading.split(",")[0]) - setpoint) <= 50, f"{resource}: READ? gave {reading!r}")
        check(board.query("SYST:ERR?") == '0,"No error"', f"{resource}: errors queued")
        board.write("*RST")
        board.close()


def zeroconf(own_address, name):
    from zeroconf import ServiceInfo, Zeroconf
    zc = Zeroconf(interfaces=[own_address])
    keys = {b"txtvers", b"Manufacturer", b"Model", b"SerialNumber", b"FirmwareVersion"}
    try:
        for kind in ("_scpi-raw._tcp", "_lxi._tcp", "_http._tcp", "_vxi-11._tcp"):
            full = f"{kind}.local."
            info = None
            end = time.monotonic() + 60
            while info is None and time.monotonic() < end:
                info = zc.get_service_info(full, f"{name}.{full}", 3000)
            check(info is not None, f"zeroconf did not resolve {name} {kind}")
            if info is None:
                continue
            check(keys <= set(info.properties), f"{kind}: TXT {info.properties}")
            check(info.properties.get(b"Model") == b"korvel-sim", f"{kind}: Model")
            if kind in ("_lxi._tcp", "_http._tcp"):
                check(info.properties.get(b"path") == b"/", f"{kind}: path")
            check("10.27.0.1" in info.parsed_addresses(), f"{kind}: addresses {info.parsed_addresses()}")
    finally:
        zc.close()


if sys.argv[1] == "visa":
    visa(sys.argv[2])
else:
    zeroconf(sys.argv[2], sys.argv[3])
sys.exit(1 if failures else 0)
