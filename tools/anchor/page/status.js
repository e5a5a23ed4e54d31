// The status page: reads /api/pairs and /api/live and shows them.  It only
// reads; the listener offers nothing that changes the fleet.
"use strict";

const state = {
  pairs: [], warn: 300, alert: 900,
  sortKey: "id", sortDir: 1, page: 0,
};
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

function renderRuns(running) {
  const box = $("runs");
  box.replaceChildren();
  $("no-runs").hidden = running.length > 0;
  for (const run of running) {
    const div = document.createElement("div");
    div.className = "run";
    div.dataset.pairId = run.pairId;
    const h = document.createElement("h3");
    h.textContent = `${run.kind.replace("_", " ")} of pair ${run.pairId} (${run.pair})`;
    const ul = document.createElement("ul");
    ul.className = "steps";
    for (const s of run.steps) {
      const li = document.createElement("li");
      li.className = s.state === "not run" ? "" : s.state;
      li.textContent = s.label + (s.secs >= 0 && s.state !== "running" ? ` (${duration(s.secs)})` : "");
      ul.appendChild(li);
    }
    div.append(h, ul);
    box.appendChild(div);
  }
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
  for (const th of document.querySelectorAll("#pairs th")) {
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
}

document.addEventListener("DOMContentLoaded", setUp);
