// The status page: reads /api/pairs, /api/live and /api/lag and shows them.
// It only reads; the listener offers nothing that changes the fleet.
"use strict";

const state = {
  pairs: [], warn: 300, alert: 900,
  sortKey: "id", sortDir: 1, page: 0,
  lag: null, lagIds: null,  // the last /api/lag answer; the pairs it was asked for
};
const SVG = "http://www.w3.org/2000/svg";
const FAILED = new Set([18, 20]);

function $(id) { return document.getElementById(id); }

function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
  return td;
}

function duration(secs) {
  if (secs < 60) return secs + " s";
  if (secs < 3600) return Math.floor(secs / 60) + " min " + (secs % 60) + " s";
  return Math.floor(secs / 3600) + " h " + Math.floor((secs % 3600) / 60) + " min";
}

function when(epoch) {
  return epoch > 0 ? new Date(epoch * 1000).toISOString().replace("T", " ").slice(0, 19) : "—";
}

function lagClass(secs) {
  if (secs > state.alert) return "num lag-alert";
  if (secs > state.warn) return "num lag-warn";
  return "num lag-ok";
}

async function getJson(path) {
  const answer = await fetch(path, { cache: "no-store" });
  if (!answer.ok) throw new Error(path + ": " + answer.status);
  return answer.json();
}

function filtered() {
  const status = $("status-filter").value;
  const client = $("client-filter").value.trim().toLowerCase();
  return state.pairs.filter((p) =>
    (status === "" || p.status === status) &&
    (client === "" || p.head.toLowerCase().includes(client) || p.tail.toLowerCase().includes(client)));
}

function sorted(pairs) {
  const key = state.sortKey, dir = state.sortDir;
  return pairs.slice().sort((a, b) => {
    let x = a[key], y = b[key];
    if (Array.isArray(x)) { x = x.join(","); y = y.join(","); }
    if (x < y) return -dir;
    if (x > y) return dir;
    return a.id - b.id;
  });
}

function renderPairs() {
  const size = Number($("page-size").value);
  const rows = sorted(filtered());
  const pages = Math.max(1, Math.ceil(rows.length / size));
  state.page = Math.min(state.page, pages - 1);
  const body = document.querySelector("#pairs tbody");
  body.replaceChildren();
  for (const p of rows.slice(state.page * size, (state.page + 1) * size)) {
    const tr = document.createElement("tr");
    tr.dataset.pairId = p.id;
    if (FAILED.has(p.statusCode)) tr.className = "failed";
    cell(tr, p.id, "num");
    cell(tr, p.source);
    cell(tr, p.destination);
    cell(tr, p.head);
    cell(tr, p.tail);
    cell(tr, p.status, "status").title = p.message;
    cell(tr, p.flags.join(" "));
    cell(tr, duration(p.lagSecs), lagClass(p.lagSecs));
    cell(tr, "", "spark");
    cell(tr, when(p.statusChanged));
    body.appendChild(tr);
  }
  $("page-info").textContent = `Page ${state.page + 1} of ${pages} (${rows.length} pairs)`;
  $("prev").disabled = state.page === 0;
  $("next").disabled = state.page >= pages - 1;
  for (const th of document.querySelectorAll("#pairs th")) {
    th.classList.toggle("sorted-asc", th.dataset.key === state.sortKey && state.sortDir > 0);
    th.classList.toggle("sorted-desc", th.dataset.key === state.sortKey && state.sortDir < 0);
  }
  renderSparks();
  const shown = [...body.children].map((tr) => tr.dataset.pairId).join(",");
  if (state.lag && shown !== state.lagIds) refreshLag().catch(() => {});
}

function svgNode(parent, tag, attrs, text) {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (text !== undefined) node.textContent = text;
  parent.appendChild(node);
  return node;
}

// Runs of samples without a gap, as [index, value] lists: a line is drawn
// along each run and never across a gap (null).
function runs(values) {
  const out = [];
  let run = null;
  values.forEach((v, i) => {
    if (v === null) { run = null; return; }
    if (!run) out.push(run = []);
    run.push([i, v]);
  });
  return out;
}

// Lags span seconds to days: the height grows with the logarithm.
function lagHeight(secs) { return Math.log10(1 + secs); }

function drawLine(svg, values, x, y, cls) {
  for (const run of runs(values)) {
    if (run.length === 1) {
      svgNode(svg, "circle", { class: "lag-dot " + cls, cx: x(run[0][0]), cy: y(run[0][1]), r: 2 });
      continue;
    }
    const d = run.map(([i, v], n) => (n ? "L" : "M") + x(i).toFixed(1) + "," + y(v).toFixed(1)).join("");
    svgNode(svg, "path", { class: "lag-line " + cls, d });
  }
}

// A tick's whole number of days, hours, minutes or seconds.
function tickLabel(secs) {
  for (const [unit, name] of [[86400, "d"], [3600, "h"], [60, "min"], [1, "s"]])
    if (secs >= unit && secs % unit === 0) return secs / unit + " " + name;
  return "0 s";
}

function hhmm(epoch) { return new Date(epoch * 1000).toISOString().slice(11, 16); }

function renderLagChart() {
  const data = state.lag, box = $("lag-chart");
  box.replaceChildren();
  if (!data) return;
  const W = 1000, H = 220, left = 70, right = 10, top = 8, bottom = 22;
  const n = data.fleet.max.length, step = data.intervalSecs;
  const top1 = Math.max(60, ...data.fleet.max.filter((v) => v !== null));
  const x = (i) => left + (i + 0.5) * (W - left - right) / n;
  const y = (v) => top + (H - top - bottom) * (1 - lagHeight(v) / lagHeight(top1));
  const svg = svgNode(box, "svg", { viewBox: `0 0 ${W} ${H}`, role: "img",
                                    "aria-label": "Lag of the fleet over the last 6 hours" });
  for (const tick of [0, 10, 60, 600, 3600, 6 * 3600, 86400, 7 * 86400].filter((t) => t <= top1)) {
    svgNode(svg, "line", { class: "axis", x1: left, x2: W - right, y1: y(tick), y2: y(tick) });
    svgNode(svg, "text", { x: left - 6, y: y(tick) + 4, "text-anchor": "end" }, tickLabel(tick));
  }
  for (const [secs, cls] of [[state.warn, "warn"], [state.alert, "alert"]])
    if (secs > 0 && secs <= top1)
      svgNode(svg, "line", { class: "threshold " + cls, x1: left, x2: W - right, y1: y(secs), y2: y(secs) });
  for (let t = Math.ceil(data.start / 3600) * 3600; t < data.start + n * step; t += 3600) {
    const at = x((t - data.start) / step - 0.5);
    svgNode(svg, "line", { class: "axis", x1: at, x2: at, y1: top, y2: H - bottom });
    svgNode(svg, "text", { x: at, y: H - 6, "text-anchor": "middle" }, hhmm(t));
  }
  for (const key of ["p50", "p95", "max"]) drawLine(svg, data.fleet[key], x, y, key);
  if (data.fleet.max.every((v) => v === null))
    svgNode(svg, "text", { x: W / 2, y: H / 2, "text-anchor": "middle" }, "No samples yet");
}

// The pair's last six hours, scaled to its own worst lag.
function sparkline(td, values) {
  td.replaceChildren();
  if (!values) return;
  const W = 120, H = 20, n = values.length;
  const worst = Math.max(60, ...values.filter((v) => v !== null));
  const svg = svgNode(td, "svg", { viewBox: `0 0 ${W} ${H}` });
  svgNode(svg, "title", {}, "worst in 6 h: " + duration(worst));
  drawLine(svg, values, (i) => (i + 0.5) * W / n, (v) => 1 + (H - 2) * (1 - lagHeight(v) / lagHeight(worst)),
           "spark");
}

function renderSparks() {
  const series = state.lag ? state.lag.pairs : {};
  for (const td of document.querySelectorAll("#pairs tbody td.spark"))
    sparkline(td, series[td.parentElement.dataset.pairId]);
}

// The fleet's series, and those of the pairs on the table's page.
async function refreshLag() {
  const ids = [...document.querySelectorAll("#pairs tbody tr")].map((tr) => tr.dataset.pairId);
  state.lagIds = ids.join(",");
  state.lag = await getJson("api/lag" + (ids.length ? "?pairs=" + state.lagIds : ""));
  renderLagChart();
  renderSparks();
}

function renderSummary() {
  const worst = state.pairs.reduce((m, p) => Math.max(m, p.lagSecs), 0);
  const failed = state.pairs.filter((p) => FAILED.has(p.statusCode)).length;
  $("summary").textContent = `${state.pairs.length} pairs · worst lag ${duration(worst)}` +
      (failed ? ` · ${failed} failed` : "");
  const select = $("status-filter");
  const chosen = select.value;
  const names = [...new Set(state.pairs.map((p) => p.status))].sort();
  if (chosen && !names.includes(chosen)) names.push(chosen);
  select.replaceChildren(new Option("any", ""), ...names.map((n) => new Option(n, n)));
  select.value = chosen;
}

async function refreshPairs() {
  const data = await getJson("api/pairs");
  state.pairs = data.pairs;
  state.warn = data.lagWarnSecs;
  state.alert = data.lagAlertSecs;
  renderSummary();
  renderPairs();
}

// One box per run in `boxId` (`emptyId` shown when there is none): a div
// of class "run" keyed by `key`, its heading, then what `fill` adds.
function renderRunBoxes(boxId, emptyId, runs, key, fill) {
  const box = $(boxId);
  box.replaceChildren();
  $(emptyId).hidden = runs.length > 0;
  for (const run of runs) {
    const div = document.createElement("div");
    div.className = "run";
    Object.assign(div.dataset, key(run));
    const h = document.createElement("h3");
    div.appendChild(h);
    fill(run, h, div);
    box.appendChild(div);
  }
}

function renderRuns(running) {
  renderRunBoxes("runs", "no-runs", running, (run) => ({ pairId: run.pairId }), (run, h, div) => {
    h.textContent = `${run.kind.replace("_", " ")} of pair ${run.pairId} (${run.pair})`;
    const ul = document.createElement("ul");
    ul.className = "steps";
    for (const s of run.steps) {
      const li = document.createElement("li");
      li.className = s.state === "not run" ? "" : s.state;
      li.textContent = s.label + (s.secs >= 0 && s.state !== "running" ? ` (${duration(s.secs)})` : "");
      ul.appendChild(li);
    }
    div.append(ul);
  });
}

// Queued and running runs: who started them, who carries them out, and a
// bar of their pairs done, failed, running and waiting.
function renderRunRecords(runs) {
  renderRunBoxes("run-list", "no-run-records", runs, (run) => ({ runId: run.id }), (run, h, div) => {
    const target = run.plan ? `plan ${run.plan}` : `pair ${run.pairId}`;
    h.textContent = `Run ${run.id}: ${run.kind} of ${target}, ${run.state}`;
    const who = document.createElement("p");
    who.className = "muted";
    who.textContent = `started ${when(run.started)} by ${run.actor}` + (run.runner ? `, carried out by ${run.runner}` : "");
    const count = (o) => run.outcomes[o] || 0;
    const done = count("done"), failed = count("failed") + count("interrupted"), running = count("running");
    const bar = document.createElement("div");
    bar.className = "progress";
    for (const [n, cls] of [[done, "done"], [failed, "failed"], [running, "running"]]) {
      const part = document.createElement("span");
      part.className = cls;
      part.style.width = `${run.pairs ? (100 * n) / run.pairs : 0}%`;
      bar.appendChild(part);
    }
    const text = document.createElement("p");
    text.textContent = `${done} of ${run.pairs} pairs done` + (failed ? `, ${failed} failed` : "") +
                       (running ? `, ${running} running` : "");
    div.append(who, bar, text);
  });
}

function renderEvents(events) {
  const body = document.querySelector("#events tbody");
  body.replaceChildren();
  for (const e of events) {
    const tr = document.createElement("tr");
    cell(tr, when(e.time));
    cell(tr, e.pairId || "", "num");
    cell(tr, e.text);
    cell(tr, e.actor);
    body.appendChild(tr);
  }
}

async function refreshLive() {
  const data = await getJson("api/live");
  renderRuns(data.running);
  renderRunRecords(data.runs);
  renderEvents(data.events);
  $("updated").textContent = "Updated " + new Date().toISOString().slice(11, 19) + " UTC";
}

// Polls without overlapping: the next round starts when the last has ended,
// and a fleet slow to read is asked less often.
function poll(refresh, ms) {
  const round = () => {
    const began = Date.now();
    refresh()
      .catch((e) => { $("updated").textContent = "Not updated: " + e.message; })
      .finally(() => setTimeout(round, Math.max(ms, 10 * (Date.now() - began))));
  };
  round();
}

function setUp() {
  for (const th of document.querySelectorAll("#pairs th[data-key]")) {
    th.addEventListener("click", () => {
      state.sortDir = state.sortKey === th.dataset.key ? -state.sortDir : 1;
      state.sortKey = th.dataset.key;
      renderPairs();
    });
  }
  for (const id of ["status-filter", "client-filter", "page-size"])
    $(id).addEventListener("input", () => { state.page = 0; renderPairs(); });
  $("prev").addEventListener("click", () => { state.page--; renderPairs(); });
  $("next").addEventListener("click", () => { state.page++; renderPairs(); });
  poll(refreshPairs, 5000);
  poll(refreshLive, 1000);
  poll(refreshLag, 15000);
}

document.addEventListener("DOMContentLoaded", setUp);
