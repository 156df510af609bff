#!/usr/bin/python3
"""Drives the real korvel-sim's web page (--http).

    web_driver.py KORVEL_SIM browser [SCREENSHOT]
        headless chromium through selenium: the page loads without console
        errors, the reading follows a set-point changed over SCPI, a login
        and a click on the power button switch the board ON, the set-point
        field moves it, the trend shows points; a screenshot is saved
    web_driver.py KORVEL_SIM security
        plain HTTP clients: without the password, with a wrong one, without
        or with a wrong anti-forgery token, or from another origin, every
        change is refused and the board does not move; failed logins are
        slowed down; a cross-origin WebSocket is refused; oversized heads
        and bodies, too many connections and a slow client are cut off while
        others are served; the identification XML carries *IDN?'s fields
    web_driver.py KORVEL_SIM options
        bad web options end the program with one line, the board untouched
    web_driver.py KORVEL_SIM https
        --http-cert and --http-key: the page over TLS, the cookie Secure

The board is watched through the simulated board's test-only state file.
No timing thresholds beyond the server's own cut-off times: every other
wait is generous and ends as soon as what it waits for is there.
"""
import datetime
import http.client
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from remote_driver import Board, become_subreaper, reap_descendants, wait_for  # noqa: E402

SKIP = 77
# How the panel runs without a screen: no window at all, as on a bench PC
# in a rack.
DISPLAY_ARGS = ["--no-window"]
# The option checks run with the window offscreen, so that --no-window's own
# refusal (no way to drive the board) does not answer before them.
WINDOW_ARGS = ["-platform", "offscreen"]
failures = []


def check(ok, what):
    if not ok:
        print("FAIL: " + what, file=sys.stderr)
        failures.append(what)
    return ok


class Sim:
    """korvel-sim with the web page and the remote interface on free ports."""

    def __init__(self, program, scratch, extra_args, name="board"):
        self.state = os.path.join(scratch, name)
        env = dict(os.environ, KORVEL_SIM_STATE=self.state, QT_QPA_PLATFORM="offscreen")
        self.proc = subprocess.Popen(
            [program, "--http", "127.0.0.1:0", "--listen", "127.0.0.1:0"] + DISPLAY_ARGS + extra_args,
            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.http_port = self.scpi_port = None
        out = b""
        end = time.monotonic() + 120
        while time.monotonic() < end and (self.http_port is None or self.scpi_port is None):
            ready, _, _ = select.select([self.proc.stdout], [], [], 1.0)
            if ready:
                b = os.read(self.proc.stdout.fileno(), 1)
                if not b:
                    break
                out += b
                m = re.search(rb"korvel: web page at http://127\.0\.0\.1:(\d+)/\n", out)
                self.http_port = int(m.group(1)) if m else None
                m = re.search(rb"korvel: listening on 127\.0\.0\.1:(\d+)\n", out)
                self.scpi_port = int(m.group(1)) if m else None
        if self.http_port is None or self.scpi_port is None:
            self.stop()
            raise SystemExit("korvel-sim did not say where it serves: %r" % out)
        self.board = wait_for(lambda: os.path.exists(self.state) and Board(self.state))
        self.scpi = socket.create_connection(("127.0.0.1", self.scpi_port), timeout=60)
        self.url = "http://127.0.0.1:%d" % self.http_port

    def query(self, line):
        self.scpi.sendall(line.encode() + b"\n")
        data = b""
        while not data.endswith(b"\n"):
            chunk = self.scpi.recv(4096)
            if not chunk:
                break
            data += chunk
        return data.decode().strip()

    def write(self, line):
        self.scpi.sendall(line.encode() + b"\n")
        self.query("*OPC?")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            status = self.proc.wait(120)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            status = self.proc.wait()
        check(reap_descendants(), "the watchdog ended")
        return status


def make_password_file(program, scratch, password):
    path = os.path.join(scratch, "password")
    p = subprocess.run([program, "--hash-password"], input=(password + "\n").encode(),
                       capture_output=True, timeout=120)
    check(p.returncode == 0 and p.stdout.startswith(b"$argon2id$"), "--hash-password: %r" % (p,))
    with open(path, "wb") as f:
        f.write(p.stdout)
    return path


# --- plain HTTP ---

def request(sim, method, path, body=None, headers=None):
    c = http.client.HTTPConnection("127.0.0.1", sim.http_port, timeout=60)
    h = dict(headers or {})
    if body is not None:
        h.setdefault("Content-Type", "application/x-www-form-urlencoded")
    c.request(method, path, body=body, headers=h)
    r = c.getresponse()
    data = r.read()
    c.close()
    return r.status, dict((k.lower(), v) for k, v in r.getheaders()), data


def login(sim, password):
    status, headers, _ = request(sim, "POST", "/login", "password=" + password)
    m = re.match(r"korvel_session=([0-9a-f]+);", headers.get("set-cookie", ""))
    return status, (m.group(1) if m else None), headers


def token_of(sim, session):
    _, _, page = request(sim, "GET", "/", headers={"Cookie": "korvel_session=" + session})
    m = re.search(rb'name="korvel-token" content="([0-9a-f]*)"', page)
    return m.group(1).decode() if m else ""


def raw_exchange(port, data, seconds=30):
    """Sends data; gives what comes back until the server closes (or b'' on a timeout)."""
    s = socket.create_connection(("127.0.0.1", port), timeout=seconds)
    try:
        s.sendall(data)
        got = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return got
            got += chunk
    except (socket.timeout, ConnectionResetError, BrokenPipeError):
        return got
    finally:
        s.close()


def websocket_handshake(port, origin):
    lines = ["GET /ws HTTP/1.1", "Host: 127.0.0.1:%d" % port, "Upgrade: websocket",
             "Connection: Upgrade", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
             "Sec-WebSocket-Version: 13"]
    if origin:
        lines.append("Origin: " + origin)
    s = socket.create_connection(("127.0.0.1", port), timeout=60)
    s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
    got = b""
    while b"\r\n\r\n" not in got:
        chunk = s.recv(4096)
        if not chunk:
            break
        got += chunk
    return s, got


def security(program):
    with tempfile.TemporaryDirectory(prefix="korvel-web-") as scratch:
        password = make_password_file(program, scratch, "correct horse")

        # Without a password file: read-only, and says so.
        sim = Sim(program, scratch, [], "open-board")
        try:
            before = sim.board.registers()
            status, _, page = request(sim, "GET", "/")
            check(status == 200 and b"Read-only: no password is set" in page, "read-only page says so")
            check(request(sim, "POST", "/login", "password=x")[0] == 403, "no login without a password file")
            for body in ("action=power&value=on", "action=mode&value=DPC", "action=setpoint&value=100"):
                check(request(sim, "POST", "/api/control", body)[0] == 403, "read-only refuses " + body)
            time.sleep(0.5)
            check(sim.board.registers() == before, "board untouched on a read-only page")
            check(sim.query("OUTP?;MODE?") == "0;ZEP", "panel untouched on a read-only page")
        finally:
            sim.stop()

        sim = Sim(program, scratch, ["--http-password-file", password])
        try:
            board = sim.board
            before = board.registers()
            origin = {"Origin": sim.url}

            # Every way in without the password or the token is refused.
            status, session, _ = login(sim, "wrong")
            check(status == 401 and session is None, "wrong password: %d %r" % (status, session))
            check(request(sim, "POST", "/api/control", "action=power&value=on")[0] == 401, "no session")
            status, session, _ = login(sim, "correct horse")
            check(status == 303 and session, "login: %d" % status)
            status, headers, _ = request(sim, "POST", "/login", "password=correct horse")
            cookie = headers.get("set-cookie", "")
            check("HttpOnly" in cookie and "SameSite=Strict" in cookie and "Path=/" in cookie,
                  "cookie attributes: %r" % cookie)
            token = token_of(sim, session)
            check(len(token) == 64, "anti-forgery token on the page")
            with_cookie = {"Cookie": "korvel_session=" + session}
            for body, headers, why in [
                ("action=power&value=on", with_cookie, "no token"),
                ("action=power&value=on&token=" + "0" * 64, with_cookie, "wrong token"),
                ("action=power&value=on&token=" + token[:-1], with_cookie, "short token"),
                ("action=power&value=on&token=", with_cookie, "empty token"),
                ("action=power&value=on&token=" + token,
                 dict(with_cookie, Origin="http://evil.example"), "other origin"),
                ("action=power&value=on&token=" + token,
                 {"Cookie": "korvel_session=" + "1" * 64}, "unknown session"),
                ("action=power&value=on", dict(with_cookie, **{"X-Korvel-Token": "1" * 64}), "wrong header token"),
            ]:
                status = request(sim, "POST", "/api/control", body, headers)[0]
                check(status in (401, 403), "%s refused: %d" % (why, status))
            check(request(sim, "GET", "/api/control?action=power&value=on&token=" + token, None, with_cookie)[0] == 405,
                  "no change by GET")
            time.sleep(0.5)
            check(board.registers() == before, "board untouched by refused changes: %r %r" % (before, board.registers()))
            check(sim.query("OUTP?") == "0", "panel still OFF")

            # With both, the change goes through as a click: ON, then a set-point.
            ok = dict(with_cookie, **origin)
            check(request(sim, "POST", "/api/control", "action=power&value=on&token=" + token, ok)[0] == 200,
                  "power on with session and token")
            check(request(sim, "POST", "/api/control", "action=setpoint&value=-12345", dict(ok, **{"X-Korvel-Token": token}))[0] == 200,
                  "set-point with the token header")
            check(wait_for(lambda: board.registers()["hi"] == (0x30 | 0x80) and board.registers()["lo"] == 0x39),
                  "latches for -12345: %r" % board.registers())
            for body, status in [("action=setpoint&value=30001", 400), ("action=setpoint&value=12x", 400),
                                 ("action=bit&value=3", 409), ("action=mode&value=XYZ", 400),
                                 ("action=port&value=%26H999", 400), ("action=frobnicate", 400),
                                 ("action=trend&value=open", 409)]:
                got = request(sim, "POST", "/api/control", body + "&token=" + token, ok)[0]
                check(got == status, "%s: %d, not %d" % (body, got, status))
            check(sim.query("SETP?") == "-12345", "bad values change nothing")
            # Logged out, the session is gone.
            check(request(sim, "POST", "/logout", "token=" + token, ok)[0] == 303, "logout")
            check(request(sim, "POST", "/api/control", "action=power&value=off&token=" + token, ok)[0] == 401,
                  "session ended at logout")
            check(sim.query("OUTP?") == "1", "still ON after a refused change")

            # Guessing is slowed down: after three failures even the right
            # password waits its turn.
            for _ in range(3):
                login(sim, "guess")
            status, session, headers = login(sim, "correct horse")
            check(status == 429 and session is None and int(headers.get("retry-after", "0")) >= 1,
                  "throttled login: %d %r" % (status, headers.get("retry-after")))
            time.sleep(int(headers.get("retry-after", "1")) + 0.2)
            check(login(sim, "correct horse")[0] == 303, "login after the wait")

            # The WebSocket: own origin only.
            ws, answer = websocket_handshake(sim.http_port, "http://evil.example")
            check(answer.startswith(b"HTTP/1.1 403"), "cross-origin WebSocket refused: %r" % answer[:40])
            ws.close()
            ws, answer = websocket_handshake(sim.http_port, None)
            check(answer.startswith(b"HTTP/1.1 403"), "WebSocket without Origin refused: %r" % answer[:40])
            ws.close()
            ws, answer = websocket_handshake(sim.http_port, sim.url)
            check(answer.startswith(b"HTTP/1.1 101"), "own-origin WebSocket taken: %r" % answer[:40])
            ws.settimeout(60)
            frames = answer.partition(b"\r\n\r\n")[2]
            end = time.monotonic() + 60
            while b'"type":"state"' not in frames and time.monotonic() < end:
                chunk = ws.recv(65536)
                if not chunk:
                    break
                frames += chunk
            check(b'"type":"history"' in frames and b'"type":"state"' in frames, "history and state over the WebSocket")
            ws.close()

            # Oversized and malformed requests: answered with their status and closed.
            port = sim.http_port
            big_header = b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n"
            check(raw_exchange(port, big_header).startswith(b"HTTP/1.1 431"), "oversized header")
            many = b"GET / HTTP/1.1\r\n" + b"".join(b"X-%d: 1\r\n" % i for i in range(40)) + b"\r\n"
            check(raw_exchange(port, many).startswith(b"HTTP/1.1 431"), "too many headers")
            body = b"POST /login HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n" + b"p" * 5000
            check(raw_exchange(port, body).startswith(b"HTTP/1.1 413"), "oversized body")
            long_line = b"GET /" + b"a" * 5000 + b" HTTP/1.1\r\n\r\n"
            check(raw_exchange(port, long_line).startswith(b"HTTP/1.1 414"), "over-long request line")
            check(raw_exchange(port, b"\x16\x03\x01\x00\xff\x01\x00\r\n\r\n").startswith(b"HTTP/1.1 400"),
                  "binary bytes")
            check(raw_exchange(port, b"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n").startswith(b"HTTP/1.1 501"),
                  "chunked body refused")

            # A slow client is cut off after the request time (10 s) while
            # others are served at once.
            slow = socket.create_connection(("127.0.0.1", port), timeout=60)
            slow.sendall(b"GET / HTTP/1.1\r\n")
            started = time.monotonic()
            served = [request(sim, "GET", "/api/state")[0] for _ in range(5)]
            check(served == [200] * 5, "others served beside a slow client: %r" % served)
            closed = False
            try:
                while time.monotonic() - started < 30:
                    slow.sendall(b"X")
                    ready, _, _ = select.select([slow], [], [], 1.0)
                    if ready:
                        # The server's 408, then the end of the stream.
                        answer = slow.recv(4096)
                        closed = answer == b"" or answer.startswith(b"HTTP/1.1 408")
                        break
            except (BrokenPipeError, ConnectionResetError):
                closed = True
            took = time.monotonic() - started
            check(closed and took < 16, "slow client cut off after %.1f s" % took)
            slow.close()

            # More connections than the server takes: the rest are told so,
            # and served again once the others have gone.
            idle = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(64)]
            time.sleep(0.5)
            over = raw_exchange(port, b"GET / HTTP/1.1\r\n\r\n")
            check(over.startswith(b"HTTP/1.1 503"), "65th connection refused: %r" % over[:40])
            for s in idle:
                s.close()
            check(wait_for(lambda: request(sim, "GET", "/api/state")[0] == 200), "served after the flood")

            # A page still open when the program ends (the sanitizer build
            # checks that nothing of it is left behind).
            lingering, answer = websocket_handshake(sim.http_port, sim.url)
            check(answer.startswith(b"HTTP/1.1 101"), "page open at the end")

            # The identification document carries *IDN?'s fields.
            maker, model, serial, firmware = sim.query("*IDN?").split(",")
            status, headers, body = request(sim, "GET", "/lxi/identification")
            check(status == 200 and headers["content-type"].startswith("text/xml"), "identification served")
            ns = {"l": "http://www.lxistandard.org/InstrumentIdentification/1.0"}
            root = ET.fromstring(body)
            check(root.tag == "{%s}LXIDevice" % ns["l"], "root element %r" % root.tag)
            for tag, want in [("Manufacturer", maker), ("Model", model), ("SerialNumber", serial),
                              ("FirmwareRevision", firmware)]:
                got = root.findtext("l:" + tag, namespaces=ns)
                check(got == want, "%s: %r, not %r" % (tag, got, want))
            visa = root.findtext("l:Interface/l:InstrumentAddressString", namespaces=ns)
            check(visa == "TCPIP::127.0.0.1::%d::SOCKET" % sim.scpi_port, "resource string %r" % visa)
            check(root.findtext("l:Interface/l:IPAddress", namespaces=ns) == "127.0.0.1", "IP address")
            status, _, page = request(sim, "GET", "/")
            check(("TCPIP::127.0.0.1::%d::SOCKET" % sim.scpi_port).encode() in page and b"korvel-sim" in page
                  and b"GNU GPL version 3 or later" in page,
                  "welcome page names the resource string, model and licence")

            # The readings of a range: JSON, and a CSV download streamed in
            # the reading log's columns; a bad range is refused with why.
            check(wait_for(lambda: request(sim, "GET", "/api/history.csv?span=all")[2].count(b"\n") >= 3),
                  "readings in the CSV download")
            status, headers, csv = request(sim, "GET", "/api/history.csv?span=all")
            rows = csv.decode().splitlines()
            check(status == 200 and headers["content-type"].startswith("text/csv") and "content-length" not in headers
                  and headers.get("content-disposition", "").startswith("attachment;"), "CSV download %r" % headers)
            check(rows[0] == "time_utc,seconds,reading,mark,mode,setpoint,limit", "CSV header %r" % rows[0])
            row = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,\d+\.\d{3},[+-]\d+,(OR|UR|),(ZEP|DVM|DPC),-?\d+,(low|high|)$")
            check(all(row.match(r) for r in rows[1:]), "CSV rows %r" % rows[1:4])
            first = re.match(r"(\d{4}-\d\d-\d\dT[\d:.]+)Z", rows[1]).group(1)
            t0 = int(datetime.datetime.fromisoformat(first).replace(tzinfo=datetime.timezone.utc).timestamp() * 1000)
            status, _, body = request(sim, "GET", "/api/history?t0=%d&t1=%d" % (t0, t0 + 1))
            check(status == 200 and json.loads(body)["samples"][0][0] == t0, "history of a range: %r" % body[:80])
            for path, why in [("/api/history.csv?t0=9&t1=1", b"t0 must be before t1"),
                              ("/api/history?span=week", b"span must be"),
                              ("/api/history.csv?t1=5", b"t1 needs t0")]:
                status, _, body = request(sim, "GET", path)
                check(status == 400 and why in body, "%s: %d %r" % (path, status, body))
        finally:
            status = sim.stop()
        check(status == 0, "korvel-sim status %r (stderr %r)" % (status, sim.proc.stderr.read()[-3000:]))
    return 0


def options(program):
    """Bad web options: status 2 (1 for a file or port it cannot take), one
    line on standard error, the board untouched."""
    with tempfile.TemporaryDirectory(prefix="korvel-web-") as scratch:
        password = make_password_file(program, scratch, "x")
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        taken = busy.getsockname()[1]
        cases = [
            (["--http-password-file", password], 2, "go with --http"),
            (["--http", "127.0.0.1:http"], 2, "--http '127.0.0.1:http'"),
            (["--http", "0", "--http", "0"], 2, "given more than once"),
            (["--http", "0", "--http-cert", password], 2, "go together"),
            (["--http", "0", "--http-password-file", os.path.join(scratch, "none")], 1, "make it with"),
            (["--http", "0", "--http-password-file", os.path.join(scratch, "..")], 1, "--http-password-file"),
            (["--http", "0", "--http-cert", password, "--http-key", password], 1, "no PEM certificate"),
            (["--http", "127.0.0.1:%d" % taken], 1, "cannot serve the web page on 127.0.0.1:%d" % taken),
        ]
        for args, status, expect in cases:
            state = os.path.join(scratch, "board")
            env = dict(os.environ, KORVEL_SIM_STATE=state, QT_QPA_PLATFORM="offscreen")
            p = subprocess.run([program] + WINDOW_ARGS + args, env=env, capture_output=True, timeout=120)
            err = p.stderr.decode(errors="replace")
            lines = [line for line in err.splitlines() if not line.startswith("QStandardPaths")]
            check(p.returncode == status, "%r: status %d" % (args, p.returncode))
            check(len(lines) == 1 and lines[0].startswith("korvel-sim: ") and expect in lines[0],
                  "%r: stderr %r" % (args, err))
            writes = Board(state).registers()["writes"] if os.path.exists(state) else 0
            check(writes == 0, "%r: %d writes to the board" % (args, writes))
            if os.path.exists(state):
                os.remove(state)
        busy.close()
        # --hash-password refuses an empty password.
        p = subprocess.run([program, "--hash-password"], input=b"\n", capture_output=True, timeout=120)
        check(p.returncode == 1 and p.stdout == b"" and b"no password given" in p.stderr,
              "empty password: %r" % (p,))
    return 0


def on_page(predicate):
    """The predicate over the page as it stands: while the page loads again
    (after the login's answer) an element found may be gone before it is
    read; that counts as not yet."""
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException

    def settled():
        try:
            return predicate()
        except (NoSuchElementException, StaleElementReferenceException):
            return False
    return settled


def https(program):
    """--http-cert and --http-key: the page over TLS, the cookie Secure."""
    import ssl
    if subprocess.run(["which", "openssl"], capture_output=True).returncode != 0:
        print("skipped: openssl is not installed")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="korvel-web-") as scratch:
        cert, key = os.path.join(scratch, "cert.pem"), os.path.join(scratch, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                        "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
        password = make_password_file(program, scratch, "tls")
        state = os.path.join(scratch, "board")
        env = dict(os.environ, KORVEL_SIM_STATE=state, QT_QPA_PLATFORM="offscreen")
        proc = subprocess.Popen([program, "--http", "127.0.0.1:0", "--http-cert", cert, "--http-key", key,
                                 "--http-password-file", password] + DISPLAY_ARGS,
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            line = proc.stdout.readline()
            m = re.match(rb"korvel: web page at https://127\.0\.0\.1:(\d+)/\n", line)
            check(m, "https address line %r" % line)
            if m:
                context = ssl.create_default_context(cafile=cert)
                context.check_hostname = False
                c = http.client.HTTPSConnection("127.0.0.1", int(m.group(1)), context=context, timeout=60)
                c.request("GET", "/lxi/identification")
                r = c.getresponse()
                check(r.status == 200 and b"<Model>korvel-sim</Model>" in r.read(), "identification over TLS")
                c.close()
                c = http.client.HTTPSConnection("127.0.0.1", int(m.group(1)), context=context, timeout=60)
                c.request("POST", "/login", body="password=tls",
                          headers={"Content-Type": "application/x-www-form-urlencoded"})
                r = c.getresponse()
                r.read()
                cookie = r.getheader("Set-Cookie", "")
                check(r.status == 303 and "; Secure" in cookie and "HttpOnly" in cookie, "TLS cookie %r" % cookie)
                c.close()
                # The live link over TLS, for the page's own origin only.
                for origin, want in (("https://127.0.0.1:%s" % m.group(1).decode(), b"HTTP/1.1 101"),
                                     ("http://127.0.0.1:%s" % m.group(1).decode(), b"HTTP/1.1 403")):
                    ws = context.wrap_socket(socket.create_connection(("127.0.0.1", int(m.group(1))), timeout=60))
                    ws.sendall(("GET /ws HTTP/1.1\r\nHost: 127.0.0.1:%s\r\nOrigin: %s\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                "Sec-WebSocket-Version: 13\r\n\r\n" % (m.group(1).decode(), origin)).encode())
                    answer = ws.recv(4096)
                    check(answer.startswith(want), "WebSocket over TLS from %s: %r" % (origin, answer[:40]))
                    ws.close()
                plain = raw_exchange(int(m.group(1)), b"GET / HTTP/1.1\r\n\r\n", 30)
                check(not plain.startswith(b"HTTP/1.1 200"), "no plain HTTP on the TLS port")
        finally:
            proc.send_signal(signal.SIGTERM)
            status = proc.wait(120)
            check(reap_descendants(), "the watchdog ended")
        check(status == 0, "korvel-sim status %r" % status)
    return 0


# --- the browser ---

def browser(program, screenshot=None):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
    except ImportError:
        print("skipped: selenium is not installed (tools/install-deps --tests installs python3-selenium)")
        return SKIP
    if not os.path.exists("/usr/bin/chromedriver") or not os.path.exists("/usr/bin/chromium"):
        print("skipped: chromium and chromium-driver are not installed (tools/install-deps --tests)")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="korvel-web-") as scratch:
        password = make_password_file(program, scratch, "bench secret")
        sim = Sim(program, scratch, ["--http-password-file", password])
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--window-size=1280,1400", "--user-data-dir=" + os.path.join(scratch, "profile")):
            options.add_argument(a)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            board = sim.board
            console = []

            def errors():
                console.extend(e for e in driver.get_log("browser") if e["level"] == "SEVERE")
                return console

            def text(element_id):
                return driver.find_element(By.ID, element_id).text

            driver.get(sim.url + "/")
            check(wait_for(lambda: driver.execute_script(
                "return document.getElementById('power-state').textContent") == "OFF"), "page shows power")
            check("korvel-sim" in driver.page_source, "page names the model")

            # A set-point changed over SCPI reaches the page's reading.
            sim.write("OUTP ON;MODE ZEP;SOUR:SETP 12345")
            check(wait_for(lambda: text("reading") == "+12345"), "reading follows SCPI: %r" % text("reading"))
            check(text("setpoint-state") == "12345" and text("power-state") == "ON", "state follows SCPI")

            # Log in, then switch the panel OFF and ON again from the page.
            sim.write("*RST")
            check(wait_for(lambda: board.registers()["lo"] == 255 and text("power-state") == "OFF"), "reset shown")
            driver.find_element(By.ID, "password").send_keys("bench secret")
            driver.find_element(By.ID, "login").click()
            check(wait_for(on_page(lambda: driver.find_element(By.ID, "controls").is_displayed())),
                  "controls after login")
            check(wait_for(on_page(lambda: driver.find_element(By.ID, "power").text == "ON")),
                  "power button names ON")
            writes = board.registers()["writes"]
            driver.find_element(By.ID, "power").click()
            check(wait_for(lambda: sim.query("OUTP?") == "1"), "page click switched the panel ON")
            check(wait_for(lambda: text("power-state") == "ON" and driver.find_element(By.ID, "power").text == "OFF"),
                  "the page shows its own change")
            check(wait_for(lambda: board.registers()["writes"] > writes + 10 and board.registers()["lo"] == 0),
                  "board refreshed after ON: %r" % board.registers())
            field = driver.find_element(By.ID, "setpoint-value")
            field.clear()
            field.send_keys("2000")
            field.submit()
            check(wait_for(lambda: board.registers()["hi"] == 0x07 and board.registers()["lo"] == 0xD0),
                  "latches for 2000 from the page: %r" % board.registers())
            check(wait_for(lambda: text("reading") == "+02000"), "reading after the page's set-point: %r" % text("reading"))
            driver.find_element(By.CSS_SELECTOR, 'button[data-spin="fine"][data-dir="up"]').click()
            check(wait_for(lambda: sim.query("SETP?") == "2001"), "one fine step up from the page")

            # The trend has points.
            count = "var c = Chart.getChart(document.getElementById('trend')); return c ? c.data.datasets[0].data.length : -1;"
            check(wait_for(lambda: driver.execute_script(count) >= 3), "trend points: %r" % driver.execute_script(count))
            check(wait_for(lambda: text("stat-count") not in ("–", "0")), "statistics shown")
            # The long spans and the CSV link that follows the span, or the times given.
            from selenium.webdriver.support.ui import Select
            Select(driver.find_element(By.ID, "span")).select_by_value("all")
            link = lambda: driver.find_element(By.ID, "csv-download").get_attribute("href")
            check(wait_for(lambda: link().endswith("/api/history.csv?span=all")), "CSV link of all: %r" % link())
            check(wait_for(lambda: driver.execute_script(count) >= 1), "trend of all drawn")
            driver.execute_script("var f = document.getElementById('csv-from'); f.value = '2026-12-01T08:00:00';"
                                  "f.dispatchEvent(new Event('change'));")
            check(re.search(r"/api/history\.csv\?t0=\d+$", link() or "") is not None, "CSV link from a time: %r" % link())
            Select(driver.find_element(By.ID, "span")).select_by_value("600")

            # A sweep through the page: the session's one sweep, seen over SCPI too.
            for field_id, value in (("sweep-start", "1000"), ("sweep-stop", "3000"), ("sweep-step", "1000")):
                field = driver.find_element(By.ID, field_id)
                field.clear()
                field.send_keys(value)
            driver.find_element(By.ID, "sweep-start-button").click()
            check(wait_for(lambda: text("sweep-status").startswith("Ended: finished (3 points)")),
                  "page sweep ended: %r" % text("sweep-status"))
            sweep_points = "return Chart.getChart(document.getElementById('sweep-chart')).data.datasets[0].data.length;"
            check(driver.execute_script(sweep_points) == 3, "sweep chart points")
            pairs = sim.query("FETC:SWE?").split(",")
            check(pairs[0::2] == ["1000", "2000", "3000"] and sim.query("SETP?") == "2001",
                  "the page's sweep over SCPI: %r" % pairs)
            status, _, body = request(sim, "GET", "/api/sweep.csv")
            check(status == 200 and len(body.decode().splitlines()) == 4, "sweep CSV: %r" % body[:80])
            if screenshot:
                # A short sweep over a minute's span, for the picture.
                Select(driver.find_element(By.ID, "span")).select_by_value("60")
                for sp in (6000, 10000, 14000, 10000, 6000, 2001):
                    sim.write("SOUR:SETP %d" % sp)
                    sim.query("READ?")
                    sim.query("READ?")
                time.sleep(1.0)
                driver.save_screenshot(screenshot)
            check(not errors(), "console errors: %r" % console)
        finally:
            driver.quit()
            status = sim.stop()
        check(status == 0, "korvel-sim status %r" % status)
    return 0


def main():
    parts = {"browser": browser, "security": security, "options": options, "https": https}
    become_subreaper()
    if len(sys.argv) < 3 or sys.argv[2] not in parts:
        print("usage: web_driver.py KORVEL_SIM browser [SCREENSHOT] | security | options | https",
              file=sys.stderr)
        return 2
    status = parts[sys.argv[2]](sys.argv[1], *sys.argv[3:])
    if status:
        return status
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
