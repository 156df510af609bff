// The sweep panel, after login: the parameters, Start and Stop (each a POST
// with the anti-forgery token, run by the session's one sweep), the reading
// against the set-point as a Chart.js scatter, one trace per pass, fetched
// while the sweep runs, and the CSV.
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const meta = (name) => document.querySelector('meta[name="' + name + '"]').content;
  if (meta("korvel-access") !== "control") return;
  const token = meta("korvel-token");
  let chart = null;
  let next = 0;
  let timer = null;
  const colours = ["#0050c0", "#d05000", "#009040", "#900090", "#787800", "#008ca0"];

  function say(text) { $("sweep-status").textContent = text; }

  async function send(fields) {
    try {
      const r = await fetch("/api/control", {
        method: "POST",
        headers: { "Content-Type": "application/x-www-form-urlencoded", "X-Korvel-Token": token },
        body: new URLSearchParams(fields), credentials: "same-origin" });
      const answer = await r.json();
      if (!answer.ok) say("Not done: " + answer.error);
      return answer.ok;
    } catch (e) { say("Not done: the instrument did not answer."); return false; }
  }

  function make_chart() {
    if (typeof Chart === "undefined") return;
    chart = new Chart($("sweep-chart"), {
      type: "scatter",
      data: { datasets: [] },
      options: { animation: false, maintainAspectRatio: false, showLine: true,
                 scales: { x: { title: { display: true, text: "set-point" } },
                           y: { title: { display: true, text: "reading" } } } },
    });
  }

  let filled = false;
  function fill(settings) {
    const set = (id, v) => { $(id).value = String(v); };
    set("sweep-shape", settings.shape); set("sweep-start", settings.start); set("sweep-stop", settings.stop);
    set("sweep-step", settings.step); set("sweep-direction", settings.direction);
    set("sweep-list", settings.list.join(", ")); set("sweep-settle", settings.settle_ms);
    set("sweep-readings", settings.readings); set("sweep-repeats", settings.repeats);
    set("sweep-slew", settings.slew); set("sweep-end", settings.end);
  }

  function take(s) {
    if (!filled) { fill(s.settings); filled = true; }
    if (s.done < next) {  // a new run, started elsewhere: from its start
      if (chart) chart.data.datasets = [];
      next = 0;
      poll();
      return;
    }
    for (const [sp, mean, , , pass, , inRange] of s.points) {
      if (chart && inRange > 0) {
        while (chart.data.datasets.length < pass) {
          const c = colours[chart.data.datasets.length % colours.length];
          chart.data.datasets.push({ label: "pass " + (chart.data.datasets.length + 1), data: [], borderColor: c, backgroundColor: c });
        }
        chart.data.datasets[pass - 1].data.push({ x: sp, y: mean });
      }
    }
    next = s.done;
    if (chart) chart.update();
    const left = s.left_ms >= 0 ? ", " + Math.ceil(s.left_ms / 1000) + " s left" : "";
    say(s.running ? "Running: " + s.done + (s.total ? " of " + s.total : "") + " points" + left
                  : (s.reason ? "Ended: " + s.reason + " (" + s.done + " points)" : ""));
    $("sweep-start-button").disabled = s.running;
    $("sweep-stop-button").disabled = !s.running;
    if (!s.running && timer) { clearInterval(timer); timer = null; }
    if (s.running && !timer) timer = setInterval(poll, 500);
  }

  async function poll() {
    try {
      const r = await fetch("/api/sweep?since=" + next, { credentials: "same-origin" });
      take(await r.json());
    } catch (e) { /* the next poll tries again */ }
  }

  async function start() {
    const v = (id) => $(id).value;
    if (chart) chart.data.datasets = [];
    next = 0;
    const ok = await send({ action: "sweep", value: "start", shape: v("sweep-shape"), start: v("sweep-start"),
      stop: v("sweep-stop"), step: v("sweep-step"), direction: v("sweep-direction"), list: v("sweep-list"),
      settle_ms: v("sweep-settle"), readings: v("sweep-readings"), repeats: v("sweep-repeats"),
      slew: v("sweep-slew"), end: v("sweep-end") });
    if (ok) poll();
  }

  $("sweep-panel").hidden = false;
  make_chart();
  $("sweep-start-button").addEventListener("click", start);
  $("sweep-stop-button").addEventListener("click", () => send({ action: "sweep", value: "stop" }).then(poll));
  poll();
})();
