#!/usr/bin/python3
"""korvel's /metrics and alert rules under Debian's real Prometheus.

    metrics_driver.py SOURCE_DIR KORVEL_SIM
        three korvel-sim at three set-points, each page checked by promtool,
        scraped every second by a Prometheus of the test's own; one is
        stopped, and its instance-down alert must come

Skipped (77) without prometheus. Every wait ends as soon as what it waits
for is there; the deadlines only bound a failure.
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import web_driver  # noqa: E402
from remote_driver import become_subreaper, reap_descendants, wait_for  # noqa: E402

SKIP = 77
SETPOINTS = (-6000, 7000, 14000)
failures = []


def check(ok, what):
    if not ok:
        print("FAIL: " + what, file=sys.stderr)
        failures.append(what)
    return ok


def tool(name):
    return shutil.which(name) or (os.path.exists("/usr/bin/" + name) and "/usr/bin/" + name)


def get(url, timeout=30):
    with urllib.request.urlopen(url, timeout=timeout) as r:
        return r.status, r.headers.get("Content-Type"), r.read().decode()


def end(sim):
    """SIGTERM, and the program's status; its watchdog is reaped at the end."""
    sim.proc.terminate()
    return sim.proc.wait(120)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Prometheus:
    def __init__(self, program, scratch, targets, rules_file):
        self.port = free_port()
        config = os.path.join(scratch, "prometheus.yml")
        with open(config, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                    "rule_files:\n  - %s\n"
                    "scrape_configs:\n  - job_name: korvel\n    static_configs:\n"
                    "      - targets: [%s]\n" % (rules_file, ", ".join("'%s'" % t for t in targets)))
        self.log = open(os.path.join(scratch, "prometheus.log"), "w")
        self.proc = subprocess.Popen(
            [program, "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(scratch, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port, "--log.level=warn"],
            stdout=self.log, stderr=subprocess.STDOUT)
        self.url = "http://127.0.0.1:%d" % self.port

    def api(self, path, **query):
        try:
            _, _, body = get(self.url + path + ("?" + urllib.parse.urlencode(query) if query else ""))
            answer = json.loads(body)
            return answer["data"] if answer.get("status") == "success" else None
        except (OSError, ValueError):
            return None

    def values(self, query):
        """instance -> value of each series of an instant query."""
        data = self.api("/api/v1/query", query=query)
        if not data:
            return {}
        return {r["metric"].get("instance"): float(r["value"][1]) for r in data["result"]}

    def stop(self):
        self.proc.terminate()
        self.proc.wait(60)
        self.log.close()


def short_rules(source, scratch):
    """The shipped rules with every `for` made 2 s, for a test in seconds."""
    with open(os.path.join(source, "dist", "prometheus", "korvel.rules.yml")) as f:
        text = f.read()
    path = os.path.join(scratch, "korvel.rules.yml")
    with open(path, "w") as f:
        f.write(re.sub(r"(?m)^(\s+)for: \S+$", r"\1for: 2s", text))
    return path


def engine(source, program):
    prometheus, promtool = tool("prometheus"), tool("promtool")
    if not prometheus or not promtool:
        print("prometheus or promtool is missing (Debian package prometheus); skipped", file=sys.stderr)
        return SKIP
    with tempfile.TemporaryDirectory(prefix="korvel-metrics-") as scratch:
        sims = []
        server = None
        try:
            for i, setpoint in enumerate(SETPOINTS):
                sim = web_driver.Sim(program, scratch, [], name="board%d" % i)
                sims.append(sim)
                sim.write("OUTP ON;MODE ZEP;SOUR:SETP %d" % setpoint)
            for sim in sims:
                status, kind, page = get(sim.url + "/metrics")
                check(status == 200 and kind.startswith("text/plain; version=0.0.4"), "content type %r" % kind)
                p = subprocess.run([promtool, "check", "metrics"], input=page, capture_output=True, text=True)
                check(p.returncode == 0, "promtool check metrics: %s%s" % (p.stdout, p.stderr))
                for family in ("korvel_build_info", "korvel_readings_total", "korvel_mode", "process_open_fds"):
                    check(re.search(r"(?m)^# TYPE %s " % family, page), "%s on the page" % family)

            targets = ["127.0.0.1:%d" % s.http_port for s in sims]
            server = Prometheus(prometheus, scratch, targets, short_rules(source, scratch))
            wanted = dict(zip(targets, SETPOINTS))

            def all_near():
                got = server.values("korvel_reading")
                return all(t in got and abs(got[t] - v) <= 1 for t, v in wanted.items()) and got
            got = wait_for(all_near, 120)
            check(got, "korvel_reading within 1 count of %r: %r" % (wanted, server.values("korvel_reading")))

            stopped = targets[1]
            check(end(sims[1]) == 0, "korvel-sim ended by SIGTERM")
            check(wait_for(lambda: server.values("up").get(stopped) == 0.0, 120),
                  "up of the stopped instance: %r" % server.values("up"))

            def down_alert():
                alerts = (server.api("/api/v1/alerts") or {}).get("alerts", [])
                return [a for a in alerts if a["labels"].get("alertname") == "KorvelInstanceDown"
                        and a["labels"].get("instance") == stopped and a["state"] in ("pending", "firing")]
            check(wait_for(down_alert, 120), "KorvelInstanceDown for %s: %r" % (stopped, server.api("/api/v1/alerts")))
            check(server.values("up").get(targets[0]) == 1.0, "the others still up: %r" % server.values("up"))
        finally:
            if server:
                server.stop()
                if failures:
                    with open(os.path.join(scratch, "prometheus.log")) as f:
                        print(f.read(), file=sys.stderr)
            for sim in sims:
                end(sim)
            check(reap_descendants(), "the watchdogs ended")
    return 0


def main():
    become_subreaper()
    if len(sys.argv) != 3:
        print("usage: metrics_driver.py SOURCE_DIR KORVEL_SIM", file=sys.stderr)
        return 2
    status = engine(sys.argv[1], sys.argv[2])
    return status or (1 if failures or web_driver.failures else 0)


if __name__ == "__main__":
    sys.exit(main())
