// The site at a glance: terminals, today's figures, charts, records and
// rejected records, refreshed every few seconds.  Plain DOM, no framework;
// every text from the server goes in with textContent.
"use strict";

const REFRESH_MS = 10000;
const PAGE = 25;
const TOKEN_KEY = "talvod-token";
const state = {
  token: sessionStorage.getItem(TOKEN_KEY) || "", offset: 0, total: 0, today: "",
  outcomes: {},     // "line:number" -> { kind: "busy" | "ok" | "error", text } of its last "collect now"
  pending: null,    // a "collect now" waiting for the token
  currency: "",     // ISO 4217 code from the configuration, "" for none
  names: {},        // "line:number" -> the terminal's name
  clocks: {},       // line -> when its clock job last ran
};

function $(id) { return document.getElementById(id); }

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === "class") e.className = v;
    else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return e;
}

function svg(tag, attrs) {
  const e = document.createElementNS("http://www.w3.org/2000/svg", tag);
  for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
  return e;
}

// Amounts: the configured currency in the browser's style when there is
// one, else two decimals with blanks between thousands.
function money(cents) {
  if (state.currency) {
    try {
      return new Intl.NumberFormat(undefined, { style: "currency", currency: state.currency }).format(cents / 100);
    } catch (e) { /* an unknown code: the plain form */ }
  }
  const sign = cents < 0 ? "-" : "";
  const v = Math.abs(cents);
  const whole = Math.floor(v / 100).toString().replace(/\B(?=(\d{3})+(?!\d))/g, " ");
  return sign + whole + "." + String(v % 100).padStart(2, "0");
}

// One style for every time on the page, the browser's: hours and minutes,
// and the date in front whenever it is not today.
function stamp(d) {
  const now = new Date();
  const time = d.toLocaleTimeString([], { hour: "2-digit", minute: "2-digit" });
  const today = d.getFullYear() === now.getFullYear() && d.getMonth() === now.getMonth() && d.getDate() === now.getDate();
  return today ? time : d.toLocaleDateString() + " " + time;
}

// A moment the service recorded (UTC, with its zone).
function when(iso) {
  if (!iso) return "never";
  const d = new Date(iso);
  return isNaN(d) ? iso : stamp(d);
}

// A record's time: the terminal's own wall time, "YYYY-MM-DD HH:MM".
function wallTime(at) {
  const m = /^(\d{4})-(\d{2})-(\d{2})[ T](\d{2}):(\d{2})/.exec(at || "");
  return m ? stamp(new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5])) : at;
}

// A terminal as the configuration names it.
function terminalName(line, number) {
  return state.names[line + ":" + number] || line + " #" + number;
}

class Unauthorized extends Error {}

// The token form, with why it is shown.  A token the service refused is
// forgotten, so that it is not sent again.
function askToken(refused) {
  if (!refused && !$("token-form").hidden) return;  // asking already, maybe saying why
  if (refused) {
    state.token = "";
    sessionStorage.removeItem(TOKEN_KEY);
  }
  $("token-message").textContent = refused
    ? "The service refused this token: enter the token from its configuration."
    : "This service needs its token.";
  $("token-form").hidden = false;
  $("token").focus();
}

// A request with the token when there is one; the answer's JSON body, and
// its status in `status`.
async function call(path, options) {
  const sent = state.token;
  const headers = sent ? { Authorization: "Bearer " + sent } : {};
  const res = await fetch(path, { ...options, headers, cache: "no-store" });
  if (res.status === 401) {
    if (state.token === sent) askToken(sent !== "");
    throw new Unauthorized(sent ? "the token was refused" : "a token is needed");
  }
  const body = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(body.error || res.statusText);
  body.status = res.status;
  return body;
}

function api(path) { return call(path, {}); }

function query(params) {
  const q = new URLSearchParams();
  for (const [k, v] of Object.entries(params)) if (v !== "" && v !== undefined && v !== null) q.set(k, v);
  const s = q.toString();
  return s ? "?" + s : "";
}

function filterParams() {
  const terminal = $("filter-terminal").value;
  const [line, number] = terminal ? terminal.split(":") : ["", ""];
  return { line, terminal: number, card: $("filter-card").value.trim(), type: $("filter-type").value,
    from: $("filter-from").value, to: $("filter-to").value };
}

const STATE_TEXT = { up: "answering", down: "silent", refusing: "refusing", unknown: "not asked yet" };

// A payment terminal's tile: today's figures and "Collect now".  An
// attendance terminal keeps no transaction records: its tile shows its
// state and its clock (and records only if some came from it after all).
// Terminals whose line no service runs any more ("not configured") keep
// their records but are left off the tiles; a note says how many.
function renderTerminals(all) {
  const terminals = all.filter(t => t.state !== "not configured");
  const gone = all.length - terminals.length;
  const box = $("terminals");
  box.replaceChildren();
  let up = 0, records = 0, takings = 0;
  const select = $("filter-terminal");
  const chosen = select.value;
  select.replaceChildren(el("option", { value: "" }, "all"));
  state.names = {};
  for (const t of terminals) {
    const key = t.line + ":" + t.number;
    state.names[key] = t.name;
    const attendance = t.kind === "attendance";
    if (t.state === "up") up++;
    records += t.records_today;
    takings += t.takings_today_cents;
    let stateText = STATE_TEXT[t.state] || t.state;
    if (t.state === "down" && t.down_since) stateText = "silent since " + when(t.down_since);
    if (t.state === "refusing" && t.last_error_text) stateText = "refusing: " + t.last_error_text;
    const details = [];
    details.push("last seen " + when(t.last_seen));
    if (attendance) {
      const clock = state.clocks[t.line];
      details.push(clock ? "clock set " + when(clock) : "clock not set yet");
    } else {
      if (t.last_collection) details.push("collected " + when(t.last_collection));
      if (t.waiting !== null && t.waiting !== undefined) details.push(t.waiting + " waiting");
    }
    if (t.failures > 0) details.push(t.failures + " failures in a row");
    if (t.last_error_text && t.state !== "up") details.push(t.last_error_text);
    const tile = el("div", { class: "tile " + t.state + " " + t.kind, "data-terminal": key, "data-state": t.state },
      el("div", { class: "name" }, t.name),
      el("div", { class: "where" }, t.line + " #" + t.number + " · " + t.kind + " · " + t.host),
      el("div", { class: "state" }, stateText));
    if (!attendance || t.records_today > 0) {
      tile.append(el("div", { class: "today" },
        el("span", { class: "records-today" }, plural(t.records_today, "record") + " today"),
        el("span", { class: "takings-today" }, money(t.takings_today_cents))));
    }
    tile.append(el("div", { class: "detail" }, details.join(" · ")));
    if (!attendance) {
      const outcome = state.outcomes[key];
      const button = el("button", { type: "button", class: "collect" }, "Collect now");
      button.disabled = outcome !== undefined && outcome.kind === "busy";
      button.addEventListener("click", () => collectNow(t.line, t.number));
      tile.append(el("div", { class: "actions" }, button,
        el("span", { class: "collect-outcome " + (outcome ? outcome.kind : ""), role: "status" },
          outcome ? outcome.text : "")));
      select.append(el("option", { value: key }, t.name + " (" + key + ")"));
    }
    box.append(tile);
  }
  if (gone > 0) {
    box.append(el("p", { class: "not-configured" },
      plural(gone, "terminal") + " of lines no longer configured not shown"));
  }
  select.value = chosen;
  $("summary-answering").textContent = up + " / " + terminals.length;
  $("summary-records").textContent = records;
  $("summary-takings").textContent = money(takings);
}

function renderBars(target, labels, values, every) {
  const box = $(target);
  box.replaceChildren();
  const W = 600, H = 200, left = 62, bottom = 20, top = 8;
  const max = Math.max(1, ...values);
  const step = (W - left) / labels.length;
  box.append(svg("line", { class: "axis", x1: left, y1: H - bottom, x2: W, y2: H - bottom }));
  const maxLabel = svg("text", { x: left - 4, y: top + 8, "text-anchor": "end" });
  maxLabel.textContent = money(max);
  box.append(maxLabel);
  labels.forEach((label, i) => {
    const h = (values[i] / max) * (H - bottom - top);
    const bar = svg("rect", { class: "bar", x: left + i * step + 1, y: H - bottom - h, width: Math.max(1, step - 2), height: h,
      "data-key": label, "data-value": values[i] });
    const tip = svg("title", {});
    tip.textContent = label + ": " + money(values[i]);
    bar.append(tip);
    box.append(bar);
    if (i % every === 0) {
      const t = svg("text", { x: left + i * step + step / 2, y: H - 6, "text-anchor": "middle" });
      t.textContent = label;
      box.append(t);
    }
  });
}

async function loadCharts() {
  const today = state.today;
  const monthStart = today.slice(0, 8) + "01";
  const [hours, days] = await Promise.all([
    api("/api/totals" + query({ by: "hour", day: today })),
    api("/api/totals" + query({ by: "day", from: monthStart, to: today })),
  ]);
  const hourLabels = [...Array(24).keys()].map(h => String(h).padStart(2, "0"));
  const byHour = Object.fromEntries(hours.totals.map(t => [t.key, t.takings_cents]));
  renderBars("chart-hours", hourLabels, hourLabels.map(h => byHour[h] || 0), 3);
  const dayCount = Number(today.slice(8, 10));
  const dayLabels = [...Array(dayCount).keys()].map(d => String(d + 1).padStart(2, "0"));
  const byDay = Object.fromEntries(days.totals.map(t => [t.key.slice(8, 10), t.takings_cents]));
  renderBars("chart-days", dayLabels, dayLabels.map(d => byDay[d] || 0), dayCount > 16 ? 3 : 1);
  $("chart-day").textContent = today;
  $("chart-month").textContent = today.slice(0, 7);
}

async function loadRecords() {
  const page = await api("/api/records" + query({ ...filterParams(), limit: PAGE, offset: state.offset }));
  state.total = page.total;
  const body = $("records").tBodies[0];
  body.replaceChildren();
  for (const r of page.records) {
    body.append(el("tr", { "data-id": r.id },
      el("td", {}, wallTime(r.at)), el("td", {}, terminalName(r.line, r.terminal)), el("td", { class: "mono" }, r.card),
      el("td", {}, r.type), el("td", { class: "num" }, money(r.amount_cents))));
  }
  const shown = page.records.length;
  $("records-count").textContent = shown
    ? (state.offset + 1) + "–" + (state.offset + shown) + " of " + page.total
    : "no records";
  $("newer").disabled = state.offset === 0;
  $("older").disabled = state.offset + shown >= page.total;
}

async function loadRejected() {
  const rows = (await api("/api/rejected" + query({ limit: 10 }))).rejected;
  const body = $("rejected").tBodies[0];
  body.replaceChildren();
  for (const r of rows) {
    body.append(el("tr", {}, el("td", {}, when(r.stored_at)), el("td", {}, terminalName(r.line, r.terminal)),
      el("td", { class: "mono" }, r.raw), el("td", {}, r.reason)));
  }
  $("summary-rejected").textContent = rows.length === 10 ? "10+" : rows.length;
}

// Count and takings per terminal over the period chosen (today when none).
async function loadTotals() {
  const from = $("totals-from").value || state.today, to = $("totals-to").value || state.today;
  const r = await api("/api/totals" + query({ by: "terminal", from, to }));
  const body = $("totals").tBodies[0];
  body.replaceChildren();
  for (const t of r.totals) {
    const [line, number] = t.key.split(":");
    body.append(el("tr", { "data-key": t.key }, el("td", {}, terminalName(line, number)),
      el("td", { class: "num" }, t.count), el("td", { class: "num" }, money(t.takings_cents)),
      el("td", { class: "num" }, money(t.sum_cents))));
  }
  body.append(el("tr", { class: "all" }, el("td", {}, "All"), el("td", { class: "num" }, r.all.count),
    el("td", { class: "num" }, money(r.all.takings_cents)), el("td", { class: "num" }, money(r.all.sum_cents))));
  $("totals-period").textContent = from === to ? from : from + " to " + to;
}

function showError(e) {
  const line = $("status-line");
  line.replaceChildren(el("span", { class: "error" }, e.message));
}

// The outcome of a "collect now" on its terminal's tile, kept across the
// tiles' refreshes.
function showOutcome(key, kind, text) {
  state.outcomes[key] = { kind, text };
  const tile = document.querySelector('[data-terminal="' + CSS.escape(key) + '"]');
  if (!tile) return;
  const span = tile.querySelector(".collect-outcome");
  span.className = "collect-outcome " + kind;
  span.textContent = text;
  tile.querySelector("button.collect").disabled = kind === "busy";
}

function plural(n, word) { return n + " " + word + (n === 1 ? "" : "s"); }

// Collects one terminal's records now.  The service answers once the
// collection is over (or says it is still running); it always wants the
// token for this, so a page without one asks for it and goes on after.
async function collectNow(line, number) {
  const key = line + ":" + number;
  const sent = state.token;
  showOutcome(key, "busy", "collecting…");
  try {
    const r = await call("/api/terminals/" + encodeURIComponent(line) + "/" + number + "/collect", { method: "POST" });
    if (!r.done) {
      showOutcome(key, "busy", "still collecting; the records show up as they come in");
    } else {
      let text = plural(r.records, "record") + " collected";
      if (r.rejected > 0) text += ", " + plural(r.rejected, "raw record") + " rejected";
      if (r.error) showOutcome(key, "error", (r.records > 0 || r.rejected > 0 ? text + ", then: " : "") + r.error);
      else showOutcome(key, "ok", text);
    }
  } catch (e) {
    if (e instanceof Unauthorized) {
      // A token entered while this request was under way: go on with it.
      if (state.token && state.token !== sent) return collectNow(line, number);
      state.pending = { line, number };
      showOutcome(key, "error", e.message + ": enter the token above");
      return;
    }
    showOutcome(key, "error", e.message);
  }
  refresh();
}

async function refresh() {
  try {
    const site = await api("/api/site");
    state.today = site.today;
    state.currency = site.currency || "";
    $("site-host").textContent = site.host + " · " + site.database;
    $("version").textContent = site.version;
    const [terminals, jobs] = await Promise.all([api("/api/terminals"), api("/api/jobs")]);
    state.clocks = {};
    for (const j of jobs.jobs) if (j.job === "clock" && j.last_end) state.clocks[j.line] = j.last_end;
    renderTerminals(terminals.terminals);
    await Promise.all([loadCharts(), loadRecords(), loadRejected(), loadTotals()]);
    $("status-line").replaceChildren(el("span", { id: "updated" }, "updated " + stamp(new Date())));
    document.body.dataset.loaded = "1";
  } catch (e) {
    showError(e);
  }
}

async function exportCsv() {
  try {
    const headers = state.token ? { Authorization: "Bearer " + state.token } : {};
    const res = await fetch("/api/records.csv" + query(filterParams()), { headers });
    if (!res.ok) throw new Error((await res.json().catch(() => ({}))).error || res.statusText);
    const url = URL.createObjectURL(await res.blob());
    const a = el("a", { href: url, download: "records.csv" });
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  } catch (e) {
    showError(e);
  }
}

document.addEventListener("DOMContentLoaded", () => {
  $("filter").addEventListener("submit", ev => { ev.preventDefault(); state.offset = 0; loadRecords().catch(showError); });
  $("newer").addEventListener("click", () => { state.offset = Math.max(0, state.offset - PAGE); loadRecords().catch(showError); });
  $("older").addEventListener("click", () => { state.offset += PAGE; loadRecords().catch(showError); });
  $("export").addEventListener("click", exportCsv);
  $("totals-form").addEventListener("submit", ev => { ev.preventDefault(); loadTotals().catch(showError); });
  $("token-form").addEventListener("submit", ev => {
    ev.preventDefault();
    state.token = $("token").value.trim();
    $("token").value = "";
    if (!state.token) return;
    sessionStorage.setItem(TOKEN_KEY, state.token);
    $("token-form").hidden = true;
    const pending = state.pending;
    state.pending = null;
    refresh();
    if (pending) collectNow(pending.line, pending.number);
  });
  refresh();
  setInterval(refresh, REFRESH_MS);
});
