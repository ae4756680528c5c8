// The line service's page: tiles, chart, statistics, recordings and status,
// from the service's event stream (/events) and its JSON API. It only reads.
//
// Every name, expression and text from the service goes onto the page as text
// (textContent), never as HTML. The event stream's batches carry the items'
// latest values and the chart's buckets (minimum and maximum of every item per
// bucket of time); the page keeps up to ten minutes of buckets and draws each
// trace as the minimum and maximum of every pixel column, so a line-rate
// stream costs the same to draw as a slow one.
"use strict";

(function () {
  const KEEP_S = 600;
  const STATE_WORDS = {
    fresh: "fresh",
    no_value: "no value",
    lost: "lost, retrying",
    channel_empty: "empty: an input is missing or the value is undefined",
  };
  const COLOURS = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf",
                   "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22"];

  // Measured by the page for the benchmarks: navigation to the first value,
  // and each batch's delay from its newest sample to its arrival.
  const metrics = { firstValueMs: null, latencies: [] };
  window.mk27xMetrics = metrics;

  const $ = (id) => document.getElementById(id);
  let items = [];        // names and kinds in the service's order
  let tiles = [];        // one element set per item
  const buckets = { t: [], min: [], max: [] };  // t in ms; min/max per item
  let plot = null;
  let windowS = Number($("window").value);
  let drawPending = false;

  function el(tag, className, text) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function formatMm(v) {
    return v === null || v === undefined ? "—" : v.toFixed(3);
  }

  function identityText(item) {
    const id = item.identity;
    if (!id || !id.model) return item.port ? "port " + item.port : "";
    return "MK" + id.model + ", serial " + id.serial + ", range " + id.range_mm +
           " mm from " + id.base_mm + " mm" + (item.port ? ", port " + item.port : "");
  }

  // The tiles and traces for a new list of items (first batch, or the service
  // restarted with another line).
  function buildItems(list) {
    items = list.map((it) => ({ name: it.name, kind: it.kind }));
    const ul = $("tiles");
    ul.replaceChildren();
    tiles = list.map((it) => {
      const li = el("li", "tile");
      li.tabIndex = 0;
      const name = el("div", "name", it.name);
      const kind = el("div", "kind", it.kind === "channel" ? "channel" : "sensor");
      const value = el("div", "value");
      const number = el("span", "number", "—");
      value.append(number, el("span", "unit", "mm"));
      const judgement = el("span", "judgement");
      const state = el("div", "state");
      const detail = el("div", "detail");
      li.append(name, kind, value, judgement, state, detail);
      ul.append(li);
      return { li, number, judgement, state, detail };
    });
    buckets.t = [];
    buckets.min = list.map(() => []);
    buckets.max = list.map(() => []);
    buildTraces();
  }

  function renderTile(tile, it) {
    tile.number.textContent = formatMm(it.value_mm);
    const j = it.judgement && it.judgement !== "none" ? it.judgement : "";
    tile.judgement.textContent = j;
    tile.judgement.hidden = j === "";
    tile.state.textContent = STATE_WORDS[it.state] || it.state;
    const limits = it.limits ? "limits " + it.limits.low + " … " + it.limits.high + " mm" : "";
    const what = it.kind === "channel" ? it.expression || "" : identityText(it);
    tile.detail.textContent = [what, limits].filter((s) => s).join(" · ");
    tile.li.classList.toggle("ok", j === "ok");
    tile.li.classList.toggle("low", j === "low");
    tile.li.classList.toggle("high", j === "high");
    tile.li.classList.toggle("stale", it.state !== "fresh");
    tile.li.setAttribute("aria-label", it.name + ": " + formatMm(it.value_mm) + " mm, " +
                         tile.state.textContent + (j ? ", " + j : ""));
  }

  function sameItems(list) {
    return list.length === items.length &&
           list.every((it, i) => it.name === items[i].name && it.kind === items[i].kind);
  }

  function onBatch(batch) {
    const now = Date.now();
    if (!sameItems(batch.items)) buildItems(batch.items);
    batch.items.forEach((it, i) => renderTile(tiles[i], it));
    if (metrics.firstValueMs === null &&
        batch.items.some((it) => it.value_mm !== null && it.value_mm !== undefined)) {
      metrics.firstValueMs = performance.now();
    }
    if (batch.time_ms) {
      metrics.latencies.push(now - batch.time_ms);
      if (metrics.latencies.length > 100000) metrics.latencies.splice(0, 50000);
    }
    const chart = batch.chart;
    if (chart && chart.t_ms.length) {
      for (const t of chart.t_ms) buckets.t.push(t);
      items.forEach((_, i) => {
        for (const v of chart.min[i]) buckets.min[i].push(v);
        for (const v of chart.max[i]) buckets.max[i].push(v);
      });
      const oldest = buckets.t[buckets.t.length - 1] - KEEP_S * 1000;
      let cut = 0;
      while (cut < buckets.t.length && buckets.t[cut] < oldest) ++cut;
      if (cut > 0) {
        buckets.t.splice(0, cut);
        items.forEach((_, i) => { buckets.min[i].splice(0, cut); buckets.max[i].splice(0, cut); });
      }
    }
    $("status").textContent = "Live · up " + formatDuration(batch.uptime_s || 0);
    scheduleDraw();
  }

  function formatDuration(s) {
    const d = Math.floor(s / 86400), h = Math.floor(s / 3600) % 24, m = Math.floor(s / 60) % 60;
    return (d ? d + " d " : "") + (d || h ? h + " h " : "") + m + " min " + (s % 60) + " s";
  }

  // --- chart ------------------------------------------------------------------

  function buildTraces() {
    const box = $("traces");
    box.replaceChildren(el("legend", "", "Traces"));
    items.forEach((it, i) => {
      const label = el("label");
      const check = el("input");
      check.type = "checkbox";
      check.checked = true;
      check.addEventListener("change", () => {
        if (plot) plot.setSeries(i + 1, { show: check.checked });
      });
      label.append(check, document.createTextNode(" " + it.name));
      label.style.color = COLOURS[i % COLOURS.length];
      box.append(label);
    });
    if (plot) { plot.destroy(); plot = null; }
  }

  function chartWidth() {
    return Math.max(200, $("chart").clientWidth - 10);
  }

  function makePlot() {
    const series = [{ label: "Time" }].concat(items.map((it, i) => ({
      label: it.name, stroke: COLOURS[i % COLOURS.length], width: 1, spanGaps: false,
      value: (u, v) => formatMm(v),
    })));
    plot = new uPlot({
      width: chartWidth(),
      height: 300,
      scales: { x: { time: true } },
      axes: [{}, { label: "mm", values: (u, vals) => vals.map((v) => v.toFixed(3)) }],
      series,
      cursor: { drag: { x: false, y: false } },
    }, [[]].concat(items.map(() => [])), $("chart"));
  }

  // The buckets of the last `windowS` seconds reduced to the minimum and maximum
  // of every pixel column: two points a column, each item null where empty.
  function reduce(width) {
    const t = buckets.t;
    const n = t.length;
    if (n === 0) return [[]].concat(items.map(() => []));
    const end = t[n - 1];
    const start = end - windowS * 1000;
    const per = (windowS * 1000) / width;
    let first = n;
    while (first > 0 && t[first - 1] >= start) --first;
    const xs = [];
    const ys = items.map(() => []);
    let column = -1;
    let lo = [], hi = [];
    const flush = () => {
      if (column < 0) return;
      const x = (start + (column + 0.25) * per) / 1000;
      xs.push(x, x + per / 2000);
      items.forEach((_, i) => { ys[i].push(lo[i], hi[i]); });
    };
    for (let k = first; k < n; ++k) {
      const c = Math.min(width - 1, Math.floor((t[k] - start) / per));
      if (c !== column) {
        flush();
        column = c;
        lo = items.map(() => null);
        hi = items.map(() => null);
      }
      items.forEach((_, i) => {
        const a = buckets.min[i][k], b = buckets.max[i][k];
        if (a !== null && (lo[i] === null || a < lo[i])) lo[i] = a;
        if (b !== null && (hi[i] === null || b > hi[i])) hi[i] = b;
      });
    }
    flush();
    return [xs].concat(ys);
  }

  function draw() {
    drawPending = false;
    if (typeof uPlot === "undefined" || items.length === 0) return;
    if (!plot) makePlot();
    const width = chartWidth();
    if (Math.abs(plot.width - width) > 2) plot.setSize({ width, height: 300 });
    plot.setData(reduce(width));
  }

  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    requestAnimationFrame(draw);
  }

  $("window").addEventListener("change", () => {
    windowS = Number($("window").value);
    scheduleDraw();
  });
  window.addEventListener("resize", scheduleDraw);

  // --- statistics, recordings, status ---------------------------------------------

  function cell(row, text) { row.append(el("td", "", text)); }

  function statRow(body, name, over, s) {
    const tr = el("tr");
    tr.append(el("th", "", over === "since start" ? name : ""));
    tr.firstChild.scope = "row";
    cell(tr, over);
    cell(tr, s ? String(s.count) : "0");
    for (const k of ["mean_mm", "stddev_mm", "min_mm", "max_mm"]) cell(tr, formatMm(s ? s[k] : null));
    cell(tr, s && s.rate_hz !== null ? s.rate_hz.toFixed(1) : "—");
    for (const k of ["gaps", "losses", "ok", "low", "high"]) cell(tr, s && s[k] !== undefined ? String(s[k]) : "—");
    body.append(tr);
  }

  async function getJson(path) {
    const r = await fetch(path, { cache: "no-store", credentials: "same-origin" });
    if (!r.ok) throw new Error(path + ": " + r.status);
    return r.json();
  }

  async function refreshStatistics() {
    try {
      const list = await getJson("api/statistics");
      const body = $("statistics").tBodies[0];
      body.replaceChildren();
      for (const s of list) {
        statRow(body, s.name, "since start", s.since_start);
        statRow(body, s.name, "last minute", s.last_minute);
      }
    } catch (e) { /* the banner tells of a lost service */ }
  }

  function formatSize(n) {
    if (n >= 1 << 30) return (n / (1 << 30)).toFixed(1) + " GiB";
    if (n >= 1 << 20) return (n / (1 << 20)).toFixed(1) + " MiB";
    if (n >= 1024) return (n / 1024).toFixed(1) + " KiB";
    return n + " B";
  }

  async function refreshRecordings() {
    try {
      const list = await getJson("api/recordings");
      const body = $("recordings").tBodies[0];
      body.replaceChildren();
      $("no-recordings").hidden = list.length > 0;
      for (const r of list) {
        const tr = el("tr");
        const td = el("td");
        const a = el("a", "", r.name);
        a.href = "recordings/" + encodeURIComponent(r.name);
        a.setAttribute("download", r.name);
        td.append(a);
        tr.append(td);
        cell(tr, r.first_row_time ? new Date(r.first_row_time).toLocaleString() : "");
        cell(tr, formatSize(r.size));
        body.append(tr);
      }
    } catch (e) { /* as above */ }
  }

  async function refreshStatus() {
    try {
      const s = await getJson("api/status");
      const dl = $("service");
      dl.replaceChildren();
      const add = (k, v) => dl.append(el("dt", "", k), el("dd", "", v));
      add("Up", formatDuration(s.uptime_s));
      add("MQTT", s.mqtt ? s.mqtt.state + (s.mqtt.queued ? ", " + s.mqtt.queued + " batches queued" : "") : "not publishing");
      add("Modbus", s.modbus ? s.modbus.clients + " clients" : "not serving");
      add("Recording", s.recording ? s.recording : "not recording");
      add("Browsers", String(s.event_clients));
    } catch (e) { /* as above */ }
  }

  // --- the event stream -----------------------------------------------------------

  function connect() {
    const events = new EventSource("events");
    events.addEventListener("open", () => {
      $("lost").hidden = true;
      refreshStatistics();
      refreshRecordings();
      refreshStatus();
    });
    events.addEventListener("batch", (e) => {
      $("lost").hidden = true;
      onBatch(JSON.parse(e.data));
    });
    // EventSource reconnects by itself; a closed one (the service refused it) is
    // opened anew after a pause.
    events.addEventListener("error", () => {
      $("lost").hidden = false;
      $("status").textContent = "Not connected";
      if (events.readyState === EventSource.CLOSED) setTimeout(connect, 2000);
    });
  }

  connect();
  setInterval(refreshStatistics, 2000);
  setInterval(refreshStatus, 2000);
  setInterval(refreshRecordings, 10000);
})();
