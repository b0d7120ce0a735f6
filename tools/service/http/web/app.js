// The site at a glance: terminals with their sync state, today's figures,
// charts, records and rejected records, refreshed every few seconds; and
// what the site keeps its terminals to: blocked cards, price menus, and
// every change made.  Plain DOM, no framework; every text from the server
// goes in with textContent.
"use strict";

const REFRESH_MS = 10000;
const FOLLOW_MS = 1500;  // while a change is on its way to the terminals
const AUDIT_PAGE = 20;
const PAGE = 25;
const TOKEN_KEY = "talvod-token";
const state = {
  token: sessionStorage.getItem(TOKEN_KEY) || "", offset: 0, total: 0, today: "",
  outcomes: {},     // "line:number" -> { kind: "busy" | "ok" | "error", text } of its last "collect now"
  pending: null,    // a "collect now" waiting for the token
  currency: "",     // ISO 4217 code from the configuration, "" for none
  names: {},        // "line:number" -> the terminal's name
  clocks: {},       // line -> when its clock job last ran
  terminals: [],    // as last fetched
  sync: {},         // "line:number" -> its sync state (/api/sync)
  desired: null,    // the desired state (/api/desired)
  syncTimer: null,  // a look at the sync state while something is pending
  card: "",         // the card shown in the Cards view
  cardQuery: "",    // the last search ("": the blocked cards), shown again on refresh
  cardOffset: 0,    // the page of the list shown
  cardTimer: null,
  groups: null,     // the groups the scope choices were drawn for
  menu: { scope: "site", version: 0, dirty: false },
  auditOffset: 0,
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

// A request the service refused: its own words, and the status.
class Refused extends Error {
  constructor(message, status, body) {
    super(message);
    this.status = status;
    this.body = body;
  }
}

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
  const headers = { ...((options && options.headers) || {}) };
  if (sent) headers.Authorization = "Bearer " + sent;
  const res = await fetch(path, { ...options, headers, cache: "no-store" });
  if (res.status === 401) {
    if (state.token === sent) askToken(sent !== "");
    throw new Unauthorized(sent ? "the token was refused" : "a token is needed");
  }
  const body = await res.json().catch(() => ({}));
  if (!res.ok) throw new Refused(body.error || res.statusText, res.status, body);
  body.status = res.status;
  return body;
}

function api(path) { return call(path, {}); }

// A change: the body as JSON.
function send(method, path, body) {
  const options = { method };
  if (body !== undefined) {
    options.headers = { "Content-Type": "application/json" };
    options.body = JSON.stringify(body);
  }
  return call(path, options);
}

// Why a change did not happen, as the user reads it.
function refusal(e) {
  if (e instanceof Unauthorized) return e.message + ": enter the token above";
  return e.message;
}

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
const BADGE_TEXT = { in_sync: "in sync", pending: "pending", failed: "failed", unmanaged: "nothing managed" };
const ITEM_STATE_TEXT = { in_sync: "in sync", pending: "pending", failed: "failed" };
const EMPTY_ZONE = "00:00-00:00/00";

function scopeName(scope) { return scope === "site" ? "the whole site" : "group " + scope; }

// The decimal separator of the browser's language: "," for German, "."
// for English.
function decimalMark() {
  const part = new Intl.NumberFormat().formatToParts(1.5).find(p => p.type === "decimal");
  return part ? part.value : ".";
}

// An amount as the service gives it ("1.60") as the price editor shows it,
// with the browser's decimal mark.
function shownPrice(text) {
  return decimalMark() === "," ? String(text).replace(".", ",") : String(text);
}

// A price as typed, as the service reads it: where the browser's language
// writes "12,5", its comma is the decimal point.  Anything else goes as it
// is, for the service to accept or refuse with its reason.
function typedPrice(text) {
  return decimalMark() === "," && /^-?\d*,\d*$/.test(text) ? text.replace(",", ".") : text;
}

// A wanted item of the desired state for a terminal of `group`: the
// group's own when it has one, else the site's.
function wanted(item, group) {
  const items = state.desired ? state.desired.items : [];
  return (group && items.find(i => i.scope === group && i.item === item)) ||
    items.find(i => i.scope === "site" && i.item === item) || null;
}

// How far apart two moments are, in words.
function apart(ms) {
  const minutes = Math.round(Math.abs(ms) / 60000);
  if (minutes < 120) return plural(minutes, "minute");
  const hours = Math.round(minutes / 60);
  if (hours < 48) return plural(hours, "hour");
  return plural(Math.round(hours / 24), "day");
}

// An attendance terminal's clock as last read (its own wall time), how
// far it was from the site's time then, and when it was read.
function clockText(t) {
  const m = /^(\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})$/.exec(t.clock || "");
  if (!m) return "clock not read yet";
  let text = "clock " + stamp(new Date(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]));
  const off = t.clock_offset_seconds;
  if (typeof off === "number" && Math.abs(off) >= 60) {
    text += " (" + apart(off * 1000) + (off > 0 ? " ahead" : " behind") + ")";
  }
  const read = new Date(t.clock_read);
  if (!isNaN(read)) text += " · read " + stamp(read);
  return text;
}

function zonesText(group) {
  const item = wanted("attend_zones", group);
  if (!item || !Array.isArray(item.value)) return "zones unknown";
  const zones = item.value.filter(z => z !== EMPTY_ZONE);
  return zones.length ? "zones " + zones.join(", ") : "no zones";
}

// The sync badge of a tile: failed over pending over in sync, the items
// and their errors in its tooltip, a failure's reason on the tile too.
function syncBadge(sync) {
  const badge = sync ? sync.badge : "unmanaged";
  const items = sync ? sync.items : [];
  let text = BADGE_TEXT[badge] || badge;
  const failed = items.filter(i => i.state === "failed");
  const pending = items.filter(i => i.state !== "failed" && i.state !== "in_sync");
  if (failed.length) text += ": " + failed.map(i => i.item + (i.error ? " (" + i.error + ")" : "")).join(", ");
  else if (pending.length) text += ": " + pending.map(i => i.item).join(", ");
  const title = items.map(i => i.item + ": " + (ITEM_STATE_TEXT[i.state] || i.state) +
    (i.error ? " – " + i.error : "") + (i.last_match ? ", last matched " + when(i.last_match) : "")).join("\n");
  const e = el("div", { class: "sync " + badge, "data-badge": badge }, text);
  if (title) e.title = title;
  return e;
}

// A payment terminal's tile: today's figures and "Collect now".  An
// attendance terminal keeps no transaction records: its tile shows its
// state, its clock as last read and its zones.  Each tile has its badge:
// whether the terminal holds what the site wants it to.
// Terminals whose line no service runs any more ("not configured") keep
// their records but are left off the tiles; a note says how many.
function renderTerminals(all) {
  const terminals = all.filter(t => t.state !== "not configured");
  const gone = all.length - terminals.length;
  state.terminals = all;
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
    const lineDown = t.state === "down" && (t.last_error_text || "").startsWith("line down");
    if (t.state === "down" && t.down_since) stateText = (lineDown ? "line down since " : "silent since ") + when(t.down_since);
    if (t.state === "refusing" && t.last_error_text) stateText = "refusing: " + t.last_error_text;
    const sync = state.sync[key];
    const details = [];
    details.push("last seen " + when(t.last_seen));
    if (attendance) {
      const clock = state.clocks[t.line];
      details.push(clock ? "clock set " + when(clock) : "clock not set by the service yet");
    } else {
      if (t.last_collection) details.push("collected " + when(t.last_collection));
      if (t.waiting !== null && t.waiting !== undefined) details.push(t.waiting + " waiting");
    }
    if (t.failures > 0) details.push(t.failures + " failures in a row");
    if (t.last_error_text && t.state !== "up") details.push(t.last_error_text);
    const tile = el("div", { class: "tile " + t.state + " " + t.kind, "data-terminal": key, "data-state": t.state },
      el("div", { class: "name" }, t.name),
      el("div", { class: "where" }, t.line + " #" + t.number + " · " + t.kind + " · " + t.host),
      el("div", { class: "state" }, stateText),
      syncBadge(sync));
    if (attendance) {
      tile.append(el("div", { class: "clock" }, clockText(t)),
        el("div", { class: "zones" }, zonesText(sync && sync.group)));
    } else {
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

// Each line of the service: its device and whether it is connected, or why
// not and since when.
const LINE_TEXT = { connected: "connected", negotiating: "negotiating", unreachable: "unreachable",
  refused: "refused", flooding: "sends without pause", opening: "opening" };

function renderLines(lines) {
  const box = $("lines");
  box.replaceChildren();
  for (const l of lines) {
    let text = (LINE_TEXT[l.state] || l.state) + " since " + when(l.since);
    if (l.reason) text += ": " + l.reason;
    if (l.reconnects > 0) text += " · " + plural(l.reconnects, "reconnect");
    box.append(el("li", { class: l.state, "data-line": l.name, "data-state": l.state },
      el("strong", {}, l.name), " ", el("span", { class: "device" }, l.device), " · ",
      el("span", { class: "line-state" }, text)));
  }
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
      el("td", {}, r.type), el("td", { class: "num" }, money(r.amount_cents)),
      el("td", { class: "holder" }, r.name || state.holders[r.card] || "")));
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

// What is wrong now, and what was lately: firing alerts first.
async function loadAlerts() {
  const alerts = await api("/api/alerts");
  const box = $("alerts-active");
  box.replaceChildren();
  for (const a of alerts.active) {
    box.append(el("li", { class: "firing", "data-alert": a.alert, "data-rule": a.rule },
      el("strong", {}, a.message), " · since " + when(a.started)));
  }
  if (!alerts.active.length) box.append(el("li", { class: "quiet" }, "nothing wrong"));
  const body = $("alerts-recent").tBodies[0];
  body.replaceChildren();
  for (const a of alerts.recent.slice(0, 20)) {
    body.append(el("tr", { "data-alert": a.alert }, el("td", {}, when(a.resolved)), el("td", {}, when(a.started)),
      el("td", {}, a.message), el("td", {}, String(a.sends))));
  }
  if (!alerts.recent.length) body.append(el("tr", {}, el("td", { colspan: "4" }, "none")));
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

// Whether a terminal answers: a change pending on it is on its way (on a
// silent one it waits until it answers again).
function answering(line, number) {
  return state.terminals.some(t => t.line === line && t.number === number && t.state === "up");
}

// The sync state; while an answering terminal is pending it is looked at
// again soon, so that its badge follows the change on its way.
function takeSync(sync) {
  state.sync = {};
  for (const t of sync.terminals) state.sync[t.line + ":" + t.terminal] = t;
  const pending = sync.terminals.some(t => t.badge === "pending" && answering(t.line, t.terminal));
  if (pending && !state.syncTimer) {
    state.syncTimer = setTimeout(async () => {
      state.syncTimer = null;
      try {
        takeSync(await api("/api/sync"));
        renderTerminals(state.terminals);
      } catch (e) {
        showError(e);
      }
    }, FOLLOW_MS);
  }
}

function takeDesired(desired) {
  state.desired = desired;
  const groups = Object.keys(desired.groups || {}).sort();
  // The choices drawn again only when the groups changed (a list open
  // in the user's hand stays as it is).
  const known = groups.join("\n");
  if (known !== state.groups) {
    for (const id of ["card-scope", "menu-scope"]) {
      const select = $(id);
      const chosen = select.value || "site";
      select.replaceChildren(el("option", { value: "site" }, scopeName("site")),
        ...groups.map(g => el("option", { value: g }, scopeName(g))));
      select.value = groups.includes(chosen) ? chosen : "site";
    }
    state.groups = known;
  }
  renderMenu(false);
}

// ---- Cards ------------------------------------------------------------

// Cards blocked now or before whose number starts with `q` (the blocked
// ones, newest first, for none): a page of them, and how many there are.
const CARD_PAGE = 100;

async function listCards(q) {
  if (q !== state.cardQuery) state.cardOffset = 0;
  const r = await api("/api/cards" + query({ q, limit: CARD_PAGE, offset: state.cardOffset }));
  state.cardQuery = q;
  const body = $("card-list").tBodies[0];
  body.replaceChildren();
  for (const c of r.cards) {
    const open = el("button", { type: "button", class: "link card-open", "data-card": c.card }, c.card);
    open.addEventListener("click", () => openCard(c.card));
    const holder = state.holders[c.card];
    if (holder) open.append(" " + holder);
    body.append(el("tr", { "data-card": c.card, "data-scope": c.scope }, el("td", { class: "mono" }, open),
      el("td", {}, scopeName(c.scope)), el("td", {}, c.blocked ? "blocked" : "unblocked"), el("td", {}, c.reason),
      el("td", {}, c.by), el("td", {}, when(c.at))));
  }
  const n = r.total;
  const shown = r.cards.length && n > r.cards.length
    ? " (" + (r.offset + 1) + "–" + (r.offset + r.cards.length) + " shown)" : "";
  $("card-search-note").textContent = q
    ? (n ? plural(n, "card") + " blocked now or before starting with " + q + shown
      : "no card starting with " + q + " was ever blocked")
    : (n ? plural(n, "card") + " blocked, newest first" + shown : "no card is blocked");
  $("card-newer").disabled = state.cardOffset === 0;
  $("card-older").disabled = state.cardOffset + r.cards.length >= n;
}

async function findCard() {
  const q = $("card-q").value.trim();
  if (/\d/.test(q) && !/^\d{0,6}$/.test(q)) {
    $("card-search-note").textContent = "a card number is six digits: give its first digits";
    return;
  }
  if (!/^\d{0,6}$/.test(q)) {
    // A name: the cardholders whose name holds it, each a link to the card.
    try {
      const r = await api("/api/cardholders" + query({ q, limit: 20 }));
      const note = $("card-search-note");
      if (!r.cardholders.length) { note.textContent = "nobody called " + q; return; }
      note.replaceChildren();
      for (const h of r.cardholders) {
        const b = el("button", { type: "button", class: "link card-open", "data-card": h.card }, h.name + " (" + h.card + ")");
        b.addEventListener("click", () => openCard(h.card));
        note.append(b, " ");
      }
      if (r.cardholders.length === 1) openCard(r.cardholders[0].card);
    } catch (e) {
      $("card-search-note").textContent = refusal(e);
    }
    return;
  }
  try {
    await listCards(q);
    if (q.length === 6) openCard(q);
  } catch (e) {
    $("card-search-note").textContent = refusal(e);
  }
}

function openCard(card) {
  if (state.card !== card) cardOutcome("", "");
  state.card = card;
  $("card-detail").hidden = false;
  $("card-number").textContent = card + (state.holders[card] ? " · " + state.holders[card] : "");
  loadCard().catch(e => cardOutcome("error", refusal(e)));
}

const CARD_STATE_TEXT = { applied: "applied", absent: "not on it", pending: "pending", failed: "failed" };

// One card: where it is blocked, on which terminals that holds, and its
// history.  Looked at again soon while an answering terminal is still
// pending.
async function loadCard() {
  const card = state.card;
  const c = await api("/api/cards/" + encodeURIComponent(card));
  if (state.card !== card) return;
  const blocked = c.blocked.map(b => scopeName(b.scope) + (b.reason ? " (" + b.reason + ")" : ""));
  $("card-status").textContent = blocked.length ? "blocked for " + blocked.join(", ") : "not blocked";
  $("card-status").className = blocked.length ? "blocked" : "";
  const terminals = $("card-terminals").tBodies[0];
  terminals.replaceChildren();
  for (const t of c.terminals) {
    terminals.append(el("tr", { "data-terminal": t.line + ":" + t.terminal, "data-state": t.state },
      el("td", {}, t.name || terminalName(t.line, t.terminal)), el("td", {}, t.wanted ? "blocked" : "not blocked"),
      el("td", { class: "card-state " + t.state }, CARD_STATE_TEXT[t.state] || t.state),
      el("td", {}, when(t.last_match)), el("td", {}, t.error || "")));
  }
  if (!c.terminals.length) {
    terminals.append(el("tr", {}, el("td", { colspan: "5" }, "no terminal keeps a blacklist for the service yet")));
  }
  const history = $("card-history").tBodies[0];
  history.replaceChildren();
  for (const h of c.history) {
    history.append(el("tr", {}, el("td", {}, when(h.at)), el("td", {}, h.action), el("td", {}, scopeName(h.scope)),
      el("td", {}, h.reason), el("td", {}, h.by)));
  }
  if (!c.history.length) history.append(el("tr", {}, el("td", { colspan: "5" }, "never blocked")));
  if (c.terminals.some(t => t.state === "pending" && answering(t.line, t.terminal)) && !state.cardTimer) {
    state.cardTimer = setTimeout(() => {
      state.cardTimer = null;
      if (state.card) loadCard().catch(showError);
    }, FOLLOW_MS);
  }
}

function cardOutcome(kind, text) {
  const span = $("card-outcome");
  span.className = kind;
  span.textContent = text;
}

async function changeCard(block) {
  const card = state.card;
  if (!card) return;
  const reason = $("card-reason").value.trim();
  const scope = $("card-scope").value || "site";
  cardOutcome("busy", block ? "blocking…" : "unblocking…");
  try {
    await send("POST", "/api/cards/" + encodeURIComponent(card) + "/" + (block ? "block" : "unblock"), { reason, scope });
  } catch (e) {
    cardOutcome("error", refusal(e));
    return;
  }
  $("card-reason").value = "";
  cardOutcome("ok", (block ? "blocked" : "unblocked") + " for " + scopeName(scope) + "; on its way to the terminals");
  await Promise.all([loadCard(), loadAudit(), listCards(state.cardQuery)])
    .catch(showError);
}

// ---- Price menus ------------------------------------------------------

function menuItem(scope) {
  const items = state.desired ? state.desired.items : [];
  return items.find(i => i.scope === scope && i.item === "menu") || null;
}

function priceRow(value) {
  const input = el("input", { class: "menu-price", size: "8", inputmode: "decimal", autocomplete: "off" });
  input.value = value;
  input.addEventListener("input", () => { state.menu.dirty = true; });
  const remove = el("button", { type: "button", class: "menu-remove", "aria-label": "remove this price" }, "×");
  const li = el("li", {}, input, remove);
  remove.addEventListener("click", () => { li.remove(); state.menu.dirty = true; });
  return li;
}

// The menu of the scope chosen, as the service holds it.  An edit under
// way is left alone unless `force`: it is saved against the version it
// started from.
function renderMenu(force) {
  if (state.menu.dirty && !force) return;
  const scope = $("menu-scope").value || "site";
  const own = menuItem(scope);
  const site = menuItem("site");
  const shown = own || (scope !== "site" ? site : null);
  state.menu = { scope, version: own ? own.version : 0, dirty: false };
  $("menu-prices").replaceChildren(...(shown ? shown.value.map(price => priceRow(shownPrice(price))) : []));
  const about = [];
  if (own) about.push("version " + own.version + ", changed by " + own.changed_by + " " + when(own.changed_at));
  else if (scope !== "site") about.push(site ? "no menu of its own: the site's applies" : "no menu kept");
  else about.push("no menu kept");
  if (scope !== "site") {
    const members = ((state.desired && state.desired.groups[scope]) || []).filter(t => t.kind !== "attendance");
    about.push("for " + (members.map(t => t.name).join(", ") || "no payment terminal"));
  } else {
    about.push("for every terminal without a group menu");
  }
  $("menu-about").textContent = about.join(" · ");
  $("menu-release").hidden = !(own && scope !== "site");
}

function menuOutcome(kind, text) {
  const span = $("menu-outcome");
  span.className = kind;
  span.textContent = text;
}

async function reloadMenu() {
  takeDesired(await api("/api/desired"));
  renderMenu(true);
}

async function saveMenu() {
  const { scope, version } = state.menu;
  const prices = [...document.querySelectorAll("#menu-prices .menu-price")].map(i => typedPrice(i.value.trim()));
  while (prices.length && prices[prices.length - 1] === "") prices.pop();
  menuOutcome("busy", "saving…");
  try {
    const r = await send("PUT", "/api/desired/" + encodeURIComponent(scope) + "/menu", { version, value: prices });
    state.menu.dirty = false;
    await Promise.all([reloadMenu(), loadAudit()]);
    menuOutcome("ok", "saved as version " + r.version + "; on its way to the terminals");
  } catch (e) {
    if (e instanceof Refused && e.status === 409) {
      await reloadMenu().catch(showError);
      const now = menuItem(scope);
      menuOutcome("error", "changed meanwhile" + (now ? " by " + now.changed_by : "") +
        ": shown again as it is now; make your change again");
      return;
    }
    menuOutcome("error", refusal(e));
  }
}

// A group's own menu given up: the site's applies to it again.
async function releaseMenu() {
  const { scope, version } = state.menu;
  menuOutcome("busy", "releasing…");
  try {
    await send("DELETE", "/api/desired/" + encodeURIComponent(scope) + "/menu" + query({ version }));
    await Promise.all([reloadMenu(), loadAudit()]);
    menuOutcome("ok", "the site's menu applies to " + scopeName(scope));
  } catch (e) {
    if (e instanceof Refused && e.status === 409) await reloadMenu().catch(showError);
    menuOutcome("error", refusal(e));
  }
}

// ---- Changes ----------------------------------------------------------

async function loadAudit() {
  const rows = (await api("/api/audit" + query({ limit: AUDIT_PAGE, offset: state.auditOffset }))).audit;
  const body = $("audit").tBodies[0];
  body.replaceChildren();
  for (const a of rows) {
    body.append(el("tr", { "data-id": a.id, "data-outcome": a.outcome }, el("td", {}, when(a.at)), el("td", {}, a.who),
      el("td", {}, a.address), el("td", {}, a.action), el("td", {}, a.detail), el("td", {}, a.outcome)));
  }
  if (!rows.length) body.append(el("tr", {}, el("td", { colspan: "6" }, "no changes")));
  $("audit-newer").disabled = state.auditOffset === 0;
  $("audit-older").disabled = rows.length < AUDIT_PAGE;
}

async function refresh() {
  try {
    const site = await api("/api/site");
    state.today = site.today;
    state.currency = site.currency || "";
    $("site-host").textContent = site.host + " · " + site.database;
    $("version").textContent = site.version;
    const [terminals, jobs, sync, desired, lines] = await Promise.all([api("/api/terminals"), api("/api/jobs"),
      api("/api/sync"), api("/api/desired"), api("/api/lines")]);
    renderLines(lines.lines);
    state.clocks = {};
    for (const j of jobs.jobs) if (j.job === "clock" && j.last_end) state.clocks[j.line] = j.last_end;
    state.terminals = terminals.terminals;
    takeSync(sync);
    takeDesired(desired);
    renderTerminals(terminals.terminals);
    await loadPeople();
    await Promise.all([loadAlerts(), loadCharts(), loadRecords(), loadRejected(), loadTotals(), loadAudit(),
      state.card ? loadCard() : null, listCards(state.cardQuery)]);
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

// The footer's /metrics and /healthz want the token as the API does: from
// the page they are fetched with its token and shown below the links.
async function showRaw(path) {
  const headers = state.token ? { Authorization: "Bearer " + state.token } : {};
  let text;
  try {
    const res = await fetch(path, { headers, cache: "no-store" });
    if (res.status === 401) {
      askToken(state.token !== "");
      text = "this needs the service's token: enter it above";
    } else {
      text = await res.text();
    }
    $("raw-title").textContent = path + " · " + res.status + " " + res.statusText;
  } catch (e) {
    $("raw-title").textContent = path;
    text = String(e.message || e);
  }
  $("raw-text").textContent = text;
  $("raw").hidden = false;
}

document.addEventListener("DOMContentLoaded", () => {
  for (const a of document.querySelectorAll("a.raw-link")) {
    a.addEventListener("click", ev => {
      if (ev.button !== 0 || ev.ctrlKey || ev.metaKey || ev.shiftKey || ev.altKey) return;
      ev.preventDefault();
      showRaw(a.getAttribute("href"));
    });
  }
  $("raw-close").addEventListener("click", () => { $("raw").hidden = true; });
  $("filter").addEventListener("submit", ev => { ev.preventDefault(); state.offset = 0; loadRecords().catch(showError); });
  $("newer").addEventListener("click", () => { state.offset = Math.max(0, state.offset - PAGE); loadRecords().catch(showError); });
  $("older").addEventListener("click", () => { state.offset += PAGE; loadRecords().catch(showError); });
  $("export").addEventListener("click", exportCsv);
  $("totals-form").addEventListener("submit", ev => { ev.preventDefault(); loadTotals().catch(showError); });
  $("card-search").addEventListener("submit", ev => { ev.preventDefault(); findCard(); });
  $("card-action").addEventListener("submit", ev => { ev.preventDefault(); changeCard(true); });
  $("card-unblock").addEventListener("click", () => changeCard(false));
  $("menu-scope").addEventListener("change", () => { renderMenu(true); menuOutcome("", ""); });
  $("menu-form").addEventListener("submit", ev => ev.preventDefault());
  $("menu-add").addEventListener("click", () => {
    const li = priceRow("");
    $("menu-prices").append(li);
    li.querySelector("input").focus();
    state.menu.dirty = true;
  });
  $("menu-save").addEventListener("click", saveMenu);
  $("menu-reload").addEventListener("click", () => { reloadMenu().catch(showError); menuOutcome("", ""); });
  $("menu-release").addEventListener("click", releaseMenu);
  $("audit-newer").addEventListener("click", () => {
    state.auditOffset = Math.max(0, state.auditOffset - AUDIT_PAGE);
    loadAudit().catch(showError);
  });
  $("audit-older").addEventListener("click", () => { state.auditOffset += AUDIT_PAGE; loadAudit().catch(showError); });
  $("card-older").addEventListener("click", () => {
    state.cardOffset += CARD_PAGE;
    listCards(state.cardQuery).catch(showError);
  });
  $("card-newer").addEventListener("click", () => {
    state.cardOffset = Math.max(0, state.cardOffset - CARD_PAGE);
    listCards(state.cardQuery).catch(showError);
  });
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
  peopleEvents();
  refresh();
  setInterval(refresh, REFRESH_MS);
});

// ---- Cardholders, the day's report, attendance hours -----------------------

state.holders = {};
state.peopleQuery = "";

// Every cardholder's name by card (the records and the Cards view show
// them), and the list as searched.
async function loadPeople() {
  const all = await api("/api/cardholders" + query({ limit: 1000 }));
  state.holders = {};
  for (const h of all.cardholders) state.holders[h.card] = h.name;
  const shown = state.peopleQuery
    ? (await api("/api/cardholders" + query({ q: state.peopleQuery, limit: 1000 }))).cardholders
    : all.cardholders;
  const body = $("people").tBodies[0];
  body.replaceChildren();
  for (const h of shown) {
    const open = el("button", { type: "button", class: "link" }, h.card);
    open.addEventListener("click", () => editPerson(h));
    body.append(el("tr", { "data-card": h.card }, el("td", { class: "mono" }, open), el("td", { class: "holder" }, h.name),
      el("td", {}, h.staff_number), el("td", {}, h.department), el("td", {}, h.valid_from || ""),
      el("td", {}, h.valid_until || "")));
  }
  $("people-note").textContent = plural(shown.length, "cardholder");
}

function editPerson(h) {
  $("person-card").value = h.card;
  $("person-name").value = h.name;
  $("person-staff").value = h.staff_number;
  $("person-dept").value = h.department;
  $("person-from").value = h.valid_from || "";
  $("person-until").value = h.valid_until || "";
}

function personOutcome(kind, text) {
  $("person-outcome").textContent = text;
  $("person-outcome").className = kind;
}

async function savePerson() {
  const h = { card: $("person-card").value.trim(), name: $("person-name").value.trim(),
    staff_number: $("person-staff").value.trim(), department: $("person-dept").value.trim(),
    valid_from: $("person-from").value, valid_until: $("person-until").value };
  try {
    await send("PUT", "/api/cardholders", { cardholders: [h] });
    personOutcome("ok", "saved " + h.card);
    await loadPeople();
  } catch (e) {
    personOutcome("error", refusal(e));
  }
}

async function removePerson() {
  const card = $("person-card").value.trim();
  try {
    await call("/api/cardholders/" + encodeURIComponent(card), { method: "DELETE" });
    personOutcome("ok", "removed " + card);
    await loadPeople();
  } catch (e) {
    personOutcome("error", refusal(e));
  }
}

async function importPeople(file) {
  try {
    const r = await call("/api/cardholders", { method: "PUT", headers: { "Content-Type": "text/csv" },
      body: await file.text() });
    $("people-note").textContent = r.added + " added, " + r.changed + " changed, " + r.unchanged + " unchanged";
    await loadPeople();
  } catch (e) {
    $("people-note").textContent = refusal(e);
  }
}

// A CSV answer saved as a file (the token goes with the request).
async function download(path, name) {
  const headers = state.token ? { Authorization: "Bearer " + state.token } : {};
  const res = await fetch(path, { headers, cache: "no-store" });
  if (!res.ok) throw new Error(res.statusText);
  const a = el("a", { href: URL.createObjectURL(await res.blob()), download: name });
  document.body.append(a);
  a.click();
  a.remove();
}

function period(prefix) {
  const from = $(prefix + "-from").value || state.today;
  return { from, to: $(prefix + "-to").value || from };
}

async function loadReport() {
  const p = period("report");
  const r = await api("/api/reports/day" + query(p));
  const body = $("report").tBodies[0];
  body.replaceChildren();
  const row = (label, name, f, cls) => el("tr", cls ? { class: cls } : {}, el("td", {}, label), el("td", {}, name),
    el("td", { class: "num" }, String(f.sales)), el("td", { class: "num" }, money(f.takings_cents)),
    el("td", { class: "num" }, f.deposits + " · " + money(f.deposit_cents)),
    el("td", { class: "num" }, f.subsidies + " · " + money(f.subsidy_cents)), el("td", { class: "num" }, String(f.rejected)),
    el("td", {}, f.first_sale ? f.first_sale.slice(11) : ""), el("td", {}, f.last_sale ? f.last_sale.slice(11) : ""));
  for (const t of r.terminals) body.append(row(t.line + " " + t.terminal, t.name, t));
  for (const l of r.lines) body.append(row("line " + l.name, "", l, "subtotal"));
  for (const g of r.groups) body.append(row("group " + g.name, "", g, "subtotal"));
  body.append(row("site", "", r.site, "total"));
  $("report-silent").textContent = r.silent.length
    ? "Silent: " + r.silent.map(t => t.line + " " + t.terminal + (t.name ? " (" + t.name + ")" : "")).join(", ")
    : "Every payment terminal handed over records.";
  $("report-note").textContent = p.from === p.to ? p.from : p.from + " to " + p.to;
}

async function loadAttendance() {
  const r = await api("/api/attendance" + query(period("attendance")));
  const body = $("attendance").tBodies[0];
  body.replaceChildren();
  for (const d of r.days) {
    const pairs = d.pairs.map(x => x.in + "–" + x.out).join(" ");
    body.append(el("tr", d.unpaired ? { class: "unpaired" } : {}, el("td", { class: "holder" }, d.name || ""),
      el("td", { class: "mono" }, d.card), el("td", {}, d.day), el("td", {}, d.first_in || ""),
      el("td", {}, d.last_out || ""), el("td", {}, pairs), el("td", { class: "num" }, d.hours),
      el("td", {}, d.unpaired ? "unpaired punch " + d.punches[d.punches.length - 1] : "")));
  }
  $("attendance-note").textContent = plural(r.days.length, "day");
}

function peopleEvents() {
  $("people-search").addEventListener("submit", ev => {
    ev.preventDefault();
    state.peopleQuery = $("people-q").value.trim();
    loadPeople().catch(showError);
  });
  $("people-export").addEventListener("click", () => download("/api/cardholders?format=csv", "cardholders.csv").catch(showError));
  $("people-file").addEventListener("change", () => {
    const f = $("people-file").files[0];
    if (f) importPeople(f);
    $("people-file").value = "";
  });
  $("person-form").addEventListener("submit", ev => { ev.preventDefault(); savePerson(); });
  $("person-remove").addEventListener("click", removePerson);
  $("report-form").addEventListener("submit", ev => { ev.preventDefault(); loadReport().catch(showError); });
  $("report-print").addEventListener("click", async () => {
    await loadReport().catch(showError);
    document.body.classList.add("print-report");
    window.print();
    document.body.classList.remove("print-report");
  });
  $("report-csv").addEventListener("click", () => {
    const p = period("report");
    download("/api/reports/day" + query({ ...p, format: "csv" }), "report-" + p.from + ".csv").catch(showError);
  });
  $("attendance-form").addEventListener("submit", ev => { ev.preventDefault(); loadAttendance().catch(showError); });
  $("attendance-csv").addEventListener("click", () => {
    const p = period("attendance");
    download("/api/attendance" + query({ ...p, format: "csv" }), "attendance-" + p.from + ".csv").catch(showError);
  });
}
