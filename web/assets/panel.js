// The live page: the panel's state and readings from the WebSocket, the
// trend, and the controls (each a POST with the session's anti-forgery
// token; the server runs the panel's own operation).
"use strict";
(function () {
  const $ = (id) => document.getElementById(id);
  const meta = (name) => document.querySelector('meta[name="' + name + '"]').content;
  const access = meta("korvel-access");
  const token = meta("korvel-token");
  let state = null;
  let socket = null;
  let retry = 500;

  // --- controls ---
  function say(text) { $("message").textContent = text; }

  async function send(fields) {
    const body = new URLSearchParams(fields);
    try {
      const r = await fetch("/api/control", {
        method: "POST",
        headers: { "Content-Type": "application/x-www-form-urlencoded", "X-Korvel-Token": token },
        body: body,
        credentials: "same-origin",
      });
      const answer = await r.json();
      say(answer.ok ? "" : "Not done: " + answer.error);
    } catch (e) {
      say("Not done: the instrument did not answer.");
    }
  }

  function build_controls() {
    $("controls").hidden = false;
    $("power").addEventListener("click", () => send({ action: "power", value: state && state.power ? "off" : "on" }));
    $("mode").addEventListener("change", (e) => send({ action: "mode", value: e.target.value }));
    $("port").addEventListener("change", (e) => send({ action: "port", value: e.target.value }));
    for (const b of document.querySelectorAll("button[data-spin]"))
      b.addEventListener("click", () => send({ action: "step", spin: b.dataset.spin, value: b.dataset.dir }));
    $("setpoint-form").addEventListener("submit", (e) => {
      e.preventDefault();
      send({ action: "setpoint", value: $("setpoint-value").value });
    });
    const bits = $("bits");
    for (let bit = 7; bit >= 0; --bit) {
      const b = document.createElement("button");
      b.type = "button";
      b.id = "bit" + bit;
      b.textContent = "Q" + bit;
      b.setAttribute("aria-label", "Output Q" + bit);
      b.setAttribute("aria-pressed", "false");
      b.addEventListener("click", () => send({ action: "bit", value: String(bit) }));
      bits.appendChild(b);
    }
    $("trend-toggle").addEventListener("click", () => send({ action: "trend", value: state && state.trend ? "close" : "open" }));
  }

  function fill_select(select, items, chosen) {
    if (select.options.length !== items.length || [...select.options].some((o, i) => o.value !== items[i])) {
      select.textContent = "";
      for (const item of items) {
        const o = document.createElement("option");
        o.value = o.textContent = item;
        select.appendChild(o);
      }
    }
    if (document.activeElement !== select || select.value !== chosen) select.value = chosen;
  }

  // --- state ---
  function show(s) {
    state = s;
    $("reading").textContent = s.reading;
    $("reading").setAttribute("aria-label", "Voltmeter reading" + (s.over ? ", over range" : s.under ? ", under range" : ""));
    $("over").hidden = !s.over;
    $("under").hidden = !s.under;
    $("lamp").classList.toggle("on", s.converting);
    $("lamp").setAttribute("aria-label", "Conversion lamp: " + (s.converting ? "converting" : "not converting"));
    $("power-state").textContent = s.power ? "ON" : "OFF";
    $("mode-state").textContent = s.mode;
    $("setpoint-state").textContent = String(s.setpoint);
    $("bits-state").textContent = s.bits.toString(2).padStart(8, "0");
    $("port-state").textContent = s.port + " (data " + s.registers[0] + ", status " + s.registers[1] + ", control " + s.registers[2] + ")";
    if (access !== "control") return;
    const usable = !s.ended;
    $("power").textContent = s.power ? "OFF" : "ON";
    $("power").setAttribute("aria-pressed", s.power ? "true" : "false");
    $("power").disabled = !usable;
    fill_select($("mode"), s.modes, s.mode);
    fill_select($("port"), s.ports, s.port);
    for (const name of ["coarse", "medium", "fine"]) {
      $(name).textContent = String(s[name].value);
      for (const b of document.querySelectorAll('button[data-spin="' + name + '"]'))
        b.disabled = !usable || !s[name].enabled;
    }
    if (document.activeElement !== $("setpoint-value")) $("setpoint-value").value = String(s.setpoint);
    for (let bit = 0; bit < 8; ++bit) {
      const b = $("bit" + bit);
      b.setAttribute("aria-pressed", (s.bits >> bit) & 1 ? "true" : "false");
      b.disabled = !usable || !s.bits_usable;
    }
    $("store-state").hidden = !s.store;
    $("store-state").textContent = s.store || "";
    $("trend-control").hidden = s.trend === null;
    $("trend-toggle").textContent = s.trend ? "Close" : "Open";
  }

  // --- trend ---
  let chart = null;
  let points = [];
  let stats = null;
  let reduced = false;
  let history_t0 = null;  // where the last history fetched began (span "all")
  const span_ms = () => $("span").value === "all"
    ? Math.max(60000, Date.now() - (history_t0 === null ? Date.now() - 60000 : history_t0))
    : Number($("span").value) * 1000;

  function make_chart() {
    if (typeof Chart === "undefined") {
      $("trend").replaceWith(Object.assign(document.createElement("p"), {
        className: "note", textContent: "The trend needs the chart library (Debian package libjs-chart.js) on the instrument." }));
      return;
    }
    chart = new Chart($("trend"), {
      type: "line",
      data: { datasets: [{ label: "Voltmeter reading", data: points, borderColor: "#0050c0", backgroundColor: "#0050c0",
                           borderWidth: 1.5, pointRadius: 1.5, spanGaps: false }] },
      options: {
        animation: false, parsing: false, normalized: true, maintainAspectRatio: false,
        plugins: { legend: { display: false } },
        scales: {
          x: { type: "linear", ticks: { maxTicksLimit: 6, callback: (v) => span_ms() > 86400000
                 ? new Date(v).toLocaleString() : new Date(v).toLocaleTimeString() } },
          y: { title: { display: true, text: "reading" } },
        },
      },
    });
  }

  function show_statistics() {
    const f = (v) => (v === undefined || v === null ? "–" : String(v));
    $("stat-count").textContent = stats ? f(stats.count) : "–";
    $("stat-min").textContent = stats && stats.count ? f(stats.min) : "–";
    $("stat-max").textContent = stats && stats.count ? f(stats.max) : "–";
    $("stat-mean").textContent = stats && stats.count ? stats.mean.toFixed(1) : "–";
    $("stat-sdev").textContent = stats && stats.count > 1 ? stats.sdev.toFixed(1) : "–";
    $("stat-marks").textContent = stats ? stats.over + " / " + stats.under : "–";
  }

  function redraw() {
    if (!chart) return;
    const now = Date.now();
    chart.options.scales.x.min = now - span_ms();
    chart.options.scales.x.max = now;
    chart.update("none");
  }

  function take_history(h) {
    history_t0 = h.t0;
    points.length = 0;
    for (const [t, v, mark] of h.samples) if (!mark) points.push({ x: t, y: v });
    reduced = h.samples.length >= 600;
    stats = h.statistics;
    stats.m2 = stats.count > 1 ? stats.sdev * stats.sdev * (stats.count - 1) : 0;
    show_statistics();
    redraw();
  }

  function take_reading(r) {
    const from = Date.now() - span_ms();
    if (!r.mark) points.push({ x: r.t, y: r.v });
    while (points.length && points[0].x < from) points.shift();
    if (stats) {
      // Running figures (Welford) until the next full fetch.
      if (r.mark === "OR") stats.over++;
      else if (r.mark === "UR") stats.under++;
      else {
        stats.count++;
        if (stats.count === 1) { stats.min = stats.max = r.v; stats.mean = r.v; stats.m2 = 0; }
        else {
          stats.min = Math.min(stats.min, r.v); stats.max = Math.max(stats.max, r.v);
          const d = r.v - stats.mean; stats.mean += d / stats.count; stats.m2 += d * (r.v - stats.mean);
        }
        stats.sdev = stats.count > 1 ? Math.sqrt(stats.m2 / (stats.count - 1)) : 0;
      }
      show_statistics();
    }
    if (!reduced) redraw();
  }

  async function fetch_history() {
    try {
      const r = await fetch("/api/history?span=" + $("span").value, { credentials: "same-origin" });
      take_history(await r.json());
    } catch (e) { /* the socket's reconnection will bring it */ }
  }

  // The CSV download: the times given, else the span chosen.
  function csv_link() {
    const from = Date.parse($("csv-from").value), to = Date.parse($("csv-to").value);
    let query = "span=" + encodeURIComponent($("span").value);
    if (!isNaN(from)) query = "t0=" + from + (!isNaN(to) ? "&t1=" + to : "");
    $("csv-download").href = "/api/history.csv?" + query;
  }

  // --- the live link ---
  function connect() {
    socket = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws");
    socket.onopen = () => { retry = 500; $("link-state").hidden = true; };
    socket.onmessage = (e) => {
      const m = JSON.parse(e.data);
      if (m.type === "state") show(m);
      else if (m.type === "reading") take_reading(m);
      else if (m.type === "history") { if ($("span").value === "600") take_history(m); else fetch_history(); }
    };
    socket.onclose = () => {
      $("link-state").hidden = false;
      $("link-state").textContent = "The live link is down; trying again.";
      setTimeout(connect, retry);
      retry = Math.min(retry * 2, 10000);
    };
  }

  if (access === "control") build_controls();
  make_chart();
  $("span").addEventListener("change", () => { fetch_history(); csv_link(); });
  for (const id of ["csv-from", "csv-to"]) $(id).addEventListener("change", csv_link);
  // The figures of a long span are fetched again now and then; a short
  // span's chart slides with the clock.
  setInterval(() => { if (reduced) fetch_history(); else redraw(); }, 10000);
  setInterval(() => { if (!reduced) redraw(); }, 1000);
  connect();
})();
