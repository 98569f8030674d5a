// The pages of histfeed-service: each one polls the service's JSON (or its
// chart) and redraws itself. Plain DOM, no framework; texts from the
// database are only ever set as text, never as markup.
"use strict";

const $ = (id) => document.getElementById(id);
const REFRESH_MS = 1000;

function utcText(ms) {
  if (ms === null || ms === undefined) return "–";
  const date = new Date(ms);
  return isNaN(date) ? String(ms) : date.toISOString().replace("T", " ").replace("Z", "");
}

function agoText(ms, now) {
  if (!ms) return "never";
  const seconds = Math.max(0, Math.round((now - ms) / 1000));
  if (seconds < 60) return seconds + " s ago";
  if (seconds < 3600) return Math.floor(seconds / 60) + " min ago";
  return Math.floor(seconds / 3600) + " h ago";
}

function durationText(seconds) {
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds % 86400 / 3600);
  const m = Math.floor(seconds % 3600 / 60), s = seconds % 60;
  return (d ? d + " d " : "") + (d || h ? h + " h " : "") + (d || h || m ? m + " min " : "") + s + " s";
}

function bytesText(n) {
  const units = ["B", "KiB", "MiB", "GiB", "TiB"];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; ++i; }
  return (i ? n.toFixed(1) : n) + " " + units[i];
}

const count = (n) => Number(n).toLocaleString("en-US");

async function getJson(url) {
  const response = await fetch(url, { cache: "no-store" });
  if (!response.ok) throw new Error((await response.text()).trim() || response.statusText);
  return response.json();
}

function setLive(ok, text) {
  const live = $("live");
  live.textContent = ok ? "live · " + new Date().toLocaleTimeString("en-GB") : "not reachable: " + text;
  live.className = ok ? "live ok" : "live bad";
}

// Runs `step` now and then again REFRESH_MS after each run has finished,
// so a slow answer never piles requests up. Returns a function that runs
// it again at once.
function poll(step) {
  let timer = null, running = false, again = false;
  const run = async () => {
    clearTimeout(timer);
    if (running) { again = true; return; }
    running = true;
    try { await step(); setLive(true); } catch (error) { setLive(false, error.message); }
    running = false;
    if (again) { again = false; run(); return; }
    timer = setTimeout(run, REFRESH_MS);
  };
  run();
  return run;
}

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function fillTable(table, items, makeRow) {
  const body = table.tBodies[0];
  const rows = items.map((item) => { const tr = document.createElement("tr"); makeRow(tr, item); return tr; });
  body.replaceChildren(...rows);
}

// A point's link from its JSON: its "query" holds the name's exact bytes,
// percent-encoded, so a name that is not UTF-8 still opens.
function pointHref(p) {
  return "/point?" + p.query;
}

function showService(overview) {
  $("service").textContent = "version " + overview.version + " · up " + durationText(overview.uptimeSeconds);
}

// ---- Overview ----------------------------------------------------------

function overviewPage() {
  poll(async () => {
    const o = await getJson("/api/overview");
    const t = o.totals;
    showService(o);
    const byFamily = (f) => o.connections.filter((c) => c.family === f).length;
    $("open").textContent = count(o.connections.length);
    $("open-detail").textContent = byFamily("universal") + " universal, " + byFamily("classic") + " classic";
    $("frames").textContent = count(t.frames.universal + t.frames.classic);
    $("frames-detail").textContent = count(t.frames.universal) + " universal, " + count(t.frames.classic) + " classic";
    $("values").textContent = count(t.values.universal + t.values.classic);
    $("values-detail").textContent = count(t.values.universal) + " universal, " + count(t.values.classic) + " classic";
    $("answers").textContent = count(t.acks) + " / " + count(t.naks);
    $("rejected").textContent = count(t.rejected);
    $("rejected").className = t.rejected ? "bad" : "";
    $("commit-rate").textContent = t.commitsPerSecond.toFixed(1) + " /s";
    $("commits").textContent = count(t.commits) + " commits" +
      (t.commits ? ", " + (1000 * t.commitSeconds / t.commits).toFixed(2) + " ms each" : "");
    $("stored").textContent = count(t.valuesStored);
    $("stored-detail").textContent = "this run; " + count(o.database.values) + " in the database";
    // A database server that went away: said where the size would be.
    const down = o.store.connected === false;
    $("db-size").textContent = down ? "unreachable" : bytesText(o.database.bytes);
    $("db-size").className = down ? "bad" : "";
    $("db-detail").textContent = o.store.kind + (down ? ": " + o.store.lastError : "") + "; " +
      count(o.database.points) + " points, " + count(o.database.configs) + " configurations";
    fillTable($("connections"), o.connections, (tr, c) => {
      tr.dataset.family = c.family;
      cell(tr, c.family);
      cell(tr, c.peer);
      cell(tr, utcText(c.since));
      cell(tr, count(c.frames), "num frames");
      cell(tr, count(c.values), "num values");
      cell(tr, count(c.rejections), "num" + (c.rejections ? " bad" : ""));
      cell(tr, agoText(c.lastFrame, o.now));
    });
    $("no-connections").hidden = o.connections.length > 0;
    const reasons = Object.entries(t.rejections);
    fillTable($("rejections"), reasons, (tr, [reason, n]) => { cell(tr, reason); cell(tr, count(n), "num"); });
    $("no-rejections").hidden = reasons.length > 0;
  });
}

// ---- Points ------------------------------------------------------------

function pointsPage() {
  // The view lives in the address's fragment, so a reload keeps it.
  const state = new URLSearchParams(location.hash.slice(1));
  const view = { q: state.get("q") || "", limit: Number(state.get("limit")) || 50, offset: Number(state.get("offset")) || 0, total: 0 };
  $("search").value = view.q;
  $("limit").value = String(view.limit);
  let refresh = null;
  const go = (offset) => {
    view.offset = Math.max(0, Math.min(offset, Math.max(0, view.total - 1)));
    view.offset -= view.offset % view.limit;
    history.replaceState(null, "", "#" + new URLSearchParams({ q: view.q, limit: view.limit, offset: view.offset }));
    refresh();
  };
  let typing = null;
  $("search").addEventListener("input", () => {
    clearTimeout(typing);
    typing = setTimeout(() => { view.q = $("search").value; go(0); }, 250);
  });
  $("limit").addEventListener("change", () => { view.limit = Number($("limit").value); go(0); });
  $("first").addEventListener("click", () => go(0));
  $("previous").addEventListener("click", () => go(view.offset - view.limit));
  $("next").addEventListener("click", () => go(view.offset + view.limit));
  $("last").addEventListener("click", () => go(view.total - 1));
  refresh = poll(async () => {
    const query = new URLSearchParams({ limit: view.limit, offset: view.offset });
    if (view.q) query.set("q", view.q);
    const [page, o] = await Promise.all([getJson("/api/points?" + query), getJson("/api/overview")]);
    showService(o);
    view.total = page.total;
    fillTable($("points"), page.points, (tr, p) => {
      tr.dataset.point = p.point;
      tr.dataset.pointHex = p.pointHex;
      cell(tr, p.family);
      cell(tr, p.kind);
      const link = document.createElement("a");
      link.href = pointHref(p);
      link.textContent = p.point;
      cell(tr, "", "name").appendChild(link);
      cell(tr, p.lastValue === null ? "–" : p.lastValue, "num last-value");
      cell(tr, utcText(p.lastTime), "last-time");
      cell(tr, count(p.count), "num");
      cell(tr, p.configured ? "yes" : "no", p.configured ? "yes" : "");
      cell(tr, p.deleted ? "yes" : "no", p.deleted ? "bad" : "");
    });
    $("no-points").hidden = page.points.length > 0;
    const shown = page.points.length;
    $("range").textContent = shown ? (page.offset + 1) + "–" + (page.offset + shown) + " of " + count(page.total) : "0 of " + count(page.total);
    $("first").disabled = $("previous").disabled = page.offset === 0;
    $("next").disabled = $("last").disabled = page.offset + shown >= page.total;
  });
}

// ---- One point ---------------------------------------------------------

function parseUtc(text) {
  const ms = Date.parse(text.trim().replace(" ", "T") + "Z");
  return isNaN(ms) ? null : ms;
}

function pointPage() {
  const key = Object.fromEntries(new URLSearchParams(location.search));
  // The address's own query goes back to the service as it is: decoding
  // it here would turn a name's bytes that are not UTF-8 into U+FFFD.
  const keyQuery = location.search.slice(1);
  const showTitle = (name) => {
    document.title = "histfeed-service · " + name;
    $("title").textContent = name + " (" + key.family + ", " + key.kind + " identifier)";
  };
  showTitle(key.point);
  // view: null shows every stored value; else the range in milliseconds.
  const chart = { view: null, follow: true, last: null, dirty: true };
  let summary = null;

  const drawChart = async () => {
    const query = new URLSearchParams();
    const box = $("chart");
    query.set("width", Math.max(200, Math.min(4000, Math.floor(box.clientWidth))));
    query.set("height", 320);
    if (chart.view) { query.set("from", Math.round(chart.view.from)); query.set("to", Math.round(chart.view.to)); }
    const response = await fetch("/chart.svg?" + keyQuery + "&" + query, { cache: "no-store" });
    const text = await response.text();
    if (!response.ok) throw new Error(text.trim());
    box.innerHTML = text;  // the service's own SVG; point names in it are escaped
    const svg = box.querySelector("svg");
    const from = Number(svg.dataset.from), to = Number(svg.dataset.to);
    if (!chart.view || chart.follow) { $("from").value = utcText(from); $("to").value = utcText(to); }
    $("chart-note").textContent = count(Number(svg.dataset.values)) + " values in view, drawn as " +
      count(Number(svg.dataset.columns)) + " columns. Scroll over the chart to zoom, drag it to move in time.";
  };

  const show = (from, to, follow) => {
    const span = Math.max(10, to - from);
    chart.view = { from: Math.round(to - span), to: Math.round(to) };
    chart.follow = follow;
    chart.dirty = true;
    $("follow").checked = follow;
    refresh();
  };
  const span = () => {
    const svg = $("chart").querySelector("svg");
    return svg ? { from: Number(svg.dataset.from), to: Number(svg.dataset.to) } : null;
  };
  const lastEnd = () => (summary && summary.lastTime !== null ? summary.lastTime + 1 : null);

  $("earlier").addEventListener("click", () => { const s = span(); if (s) show(s.from - (s.to - s.from) / 2, s.to - (s.to - s.from) / 2, false); });
  $("later").addEventListener("click", () => { const s = span(); if (s) show(s.from + (s.to - s.from) / 2, s.to + (s.to - s.from) / 2, false); });
  $("zoom-in").addEventListener("click", () => { const s = span(); if (s) { const q = (s.to - s.from) / 4; show(s.from + q, s.to - q, false); } });
  $("zoom-out").addEventListener("click", () => { const s = span(); if (s) { const h = (s.to - s.from) / 2; show(s.from - h, s.to + h, false); } });
  $("whole").addEventListener("click", () => {
    chart.view = null;
    chart.follow = chart.dirty = true;
    $("follow").checked = true;
    refresh();
  });
  $("follow").addEventListener("change", () => {
    chart.follow = $("follow").checked;
    const s = span(), end = lastEnd();
    if (chart.follow && s && end !== null && chart.view) show(end - (s.to - s.from), end, true);
  });
  $("apply").addEventListener("click", () => {
    const from = parseUtc($("from").value), to = parseUtc($("to").value);
    if (from === null || to === null || from >= to) { $("chart-note").textContent = "Give two times as YYYY-MM-DD HH:MM:SS, the first earlier."; return; }
    show(from, to, false);
  });

  const box = $("chart");
  box.addEventListener("wheel", (event) => {
    const svg = box.querySelector("svg"), s = span();
    if (!svg || !s) return;
    event.preventDefault();
    const rect = svg.getBoundingClientRect();
    const scale = svg.viewBox.baseVal.width / rect.width;
    const x = ((event.clientX - rect.left) * scale - Number(svg.dataset.plotLeft)) / Number(svg.dataset.plotWidth);
    const at = s.from + Math.max(0, Math.min(1, x)) * (s.to - s.from);
    const factor = event.deltaY > 0 ? 1.5 : 1 / 1.5;
    show(at - (at - s.from) * factor, at + (s.to - at) * factor, false);
  }, { passive: false });
  let drag = null;
  box.addEventListener("mousedown", (event) => { const s = span(); if (s) drag = { x: event.clientX, s }; });
  window.addEventListener("mouseup", (event) => {
    if (!drag) return;
    const svg = box.querySelector("svg");
    const dx = event.clientX - drag.x, s = drag.s;
    drag = null;
    if (!svg || Math.abs(dx) < 3) return;
    const rect = svg.getBoundingClientRect();
    const millisPerPixel = (s.to - s.from) / (Number(svg.dataset.plotWidth) * rect.width / svg.viewBox.baseVal.width);
    show(s.from - dx * millisPerPixel, s.to - dx * millisPerPixel, false);
  });

  const refresh = poll(async () => {
    let detail;
    try {
      detail = await getJson("/api/point?" + keyQuery);
    } catch (error) {
      $("missing").hidden = false;
      throw error;
    }
    $("missing").hidden = true;
    const o = await getJson("/api/overview");
    showService(o);
    summary = detail.summary;
    showTitle(summary.point);
    $("last-value").textContent = summary.lastValue === null ? "–" : summary.lastValue;
    $("last-time").textContent = utcText(summary.lastTime);
    $("last-status").textContent = summary.lastTime === null ? "–" : String(summary.lastStatus);
    $("first-time").textContent = utcText(detail.firstTime);
    $("count").textContent = count(summary.count);
    $("deletions").textContent = detail.deletions.length ? detail.deletions.map(utcText).join(", ") : "none";
    const config = detail.config;
    $("no-config").hidden = config !== null;
    const facts = config === null ? [] : [
      ["Record type", config.recordType], ["Point id", config.pointId], ["Long id", config.longId],
      ["Extended id", config.extId], ["Description", config.description], ["Units", config.units],
      ["Received (UTC)", utcText(config.receivedAt)], ["Record as received", config.raw]];
    $("config").replaceChildren(...facts.flatMap(([name, value]) => {
      const dt = document.createElement("dt"), dd = document.createElement("dd");
      dt.textContent = name;
      if (name === "Record as received") {
        // The whole record is long: folded, with its size showing.
        const details = document.createElement("details"), title = document.createElement("summary");
        title.textContent = count(value.length / 2) + " bytes";
        const hex = document.createElement("code");
        hex.className = "raw";
        hex.textContent = value;
        details.append(title, hex);
        dd.appendChild(details);
      } else {
        dd.textContent = value === "" ? "–" : String(value);
      }
      return [dt, dd];
    }));
    // Following keeps the view's span and moves its end to the newest value.
    const end = lastEnd();
    if (chart.follow && chart.view && end !== null && end !== chart.last) {
      const width = chart.view.to - chart.view.from;
      chart.view = { from: end - width, to: end };
    }
    const moved = end !== chart.last && (chart.follow || chart.view === null);
    chart.last = end;
    if (moved || chart.dirty || !box.querySelector("svg")) {
      chart.dirty = false;
      await drawChart();
    }
  });
}

({ overview: overviewPage, points: pointsPage, point: pointPage })[document.body.dataset.page]();
