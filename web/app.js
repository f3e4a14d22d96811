"use strict";

// The gateway's page: the interface table and rate charts from /api/state, the streams
// table from /api/streams, the refused callers from /metrics, and the editor of
// config.ini through /api/config. Nothing is fetched from anywhere else.
// When the gateway has a web_token, every /api/ call carries it (see apiFetch).

const REFRESH_MS = 5000;
const WINDOW_MINUTES = 15;
const WINDOW_MS = WINDOW_MINUTES * 60 * 1000;
const RATE_UNITS = { bps: 1, Kbps: 1e3, Mbps: 1e6, Gbps: 1e9 };
const AGGREGATE_TITLE = "All";

const byId = (id) => document.getElementById(id);

// ---- rates ------------------------------------------------------------------

// "1.20 Mbps" → 1200000 bits per second; null for any other form.
function parseRate(text) {
  const match = /^(\d+(?:\.\d+)?) (bps|Kbps|Mbps|Gbps)$/.exec(String(text).trim());
  return match ? Number(match[1]) * RATE_UNITS[match[2]] : null;
}

// Short axis label for a rate in bits per second: "0", "800 bps", "2.5 Mbps".
function formatRate(bits) {
  if (bits <= 0) return "0";
  for (const [unit, size] of [["Gbps", 1e9], ["Mbps", 1e6], ["Kbps", 1e3]]) {
    if (bits >= size) return `${+(bits / size).toFixed(1)} ${unit}`;
  }
  return `${Math.round(bits)} bps`;
}

// A round axis top at or above value: 1, 2 or 5 times a power of ten.
function niceCeiling(value) {
  if (value <= 0) return 1000;
  const power = 10 ** Math.floor(Math.log10(value));
  for (const step of [1, 2, 5, 10]) {
    if (value <= step * power) return step * power;
  }
  return 10 * power;
}

// ---- rate history, kept in the page -------------------------------------------

const history = new Map(); // title → [{ time, output, input }]

function recordSamples(ifaces, now) {
  for (const iface of ifaces) {
    if (!history.has(iface.title)) history.set(iface.title, []);
    const samples = history.get(iface.title);
    samples.push({ time: now, output: parseRate(iface.output), input: parseRate(iface.input) });
    while (samples.length && samples[0].time < now - WINDOW_MS) samples.shift();
  }
}

// ---- interface table and charts ----------------------------------------------------

function tableRow(iface) {
  const row = document.createElement("tr");
  const addresses = [iface.ip, ...(iface.ipv6 || [])].filter((address) => address).join(", ");
  for (const text of [iface.title, addresses || "—", iface.output, iface.input]) {
    const cell = document.createElement("td");
    cell.textContent = text;
    row.appendChild(cell);
  }
  return row;
}

function renderTable(ifaces) {
  const rows = [];
  const totals = [];
  for (const iface of ifaces) {
    const row = tableRow(iface);
    if (iface.title === AGGREGATE_TITLE) {
      row.classList.add("aggregate");
      totals.push(row);
    } else {
      rows.push(row);
    }
  }
  byId("iface-rows").replaceChildren(...rows);
  byId("iface-total").replaceChildren(...totals);
  byId("iface-empty").hidden = ifaces.length > 0;
}

const charts = new Map(); // title → <figure> holding the canvas

function chartFigure(title) {
  if (!charts.has(title)) {
    const figure = document.createElement("figure");
    figure.className = "chart";
    figure.classList.toggle("aggregate", title === AGGREGATE_TITLE);
    const caption = document.createElement("figcaption");
    caption.textContent = title;
    const canvas = document.createElement("canvas");
    canvas.setAttribute("role", "img");
    canvas.setAttribute("aria-label", `Output and input rate of ${title}`);
    figure.append(caption, canvas);
    charts.set(title, figure);
  }
  return charts.get(title);
}

function renderCharts(ifaces, now) {
  const ordered = [...ifaces.filter((i) => i.title === AGGREGATE_TITLE),
                   ...ifaces.filter((i) => i.title !== AGGREGATE_TITLE)];
  const figures = ordered.map((iface) => chartFigure(iface.title));
  byId("charts").replaceChildren(...figures);
  for (const iface of ordered) drawChart(chartFigure(iface.title).querySelector("canvas"), history.get(iface.title), now);
}

function drawChart(canvas, samples, now) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth;
  const height = canvas.clientHeight;
  if (!width || !height) return;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const context = canvas.getContext("2d");
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  context.clearRect(0, 0, width, height);

  const style = getComputedStyle(document.documentElement);
  const color = (name) => style.getPropertyValue(name).trim();
  const left = 58, right = 6, top = 6, bottom = 18;
  const plotWidth = width - left - right;
  const plotHeight = height - top - bottom;
  const values = samples.flatMap((s) => [s.output, s.input]).filter((v) => v !== null);
  const ceiling = niceCeiling(Math.max(0, ...values));
  const x = (time) => left + plotWidth * (1 - (now - time) / WINDOW_MS);
  const y = (value) => top + plotHeight * (1 - value / ceiling);

  context.font = "11px system-ui, sans-serif";
  context.fillStyle = color("--muted");
  context.strokeStyle = color("--line");
  context.lineWidth = 1;
  context.textBaseline = "middle";
  context.textAlign = "right";
  for (const fraction of [0, 0.5, 1]) {
    const level = Math.round(y(ceiling * fraction)) + 0.5;
    context.beginPath();
    context.moveTo(left, level);
    context.lineTo(width - right, level);
    context.stroke();
    context.fillText(formatRate(ceiling * fraction), left - 6, level);
  }
  context.textBaseline = "alphabetic";
  context.textAlign = "left";
  context.fillText(`−${WINDOW_MINUTES} min`, left, height - 3);
  context.textAlign = "right";
  context.fillText("now", width - right, height - 3);

  for (const [key, name] of [["input", "--input"], ["output", "--output"]]) {
    const points = samples.filter((s) => s[key] !== null).map((s) => [x(s.time), y(s[key])]);
    context.strokeStyle = color(name);
    context.fillStyle = color(name);
    context.lineWidth = 2;
    context.beginPath();
    points.forEach(([px, py], index) => (index ? context.lineTo(px, py) : context.moveTo(px, py)));
    context.stroke();
    if (points.length) {
      const [lastX, lastY] = points[points.length - 1];
      context.beginPath();
      context.arc(lastX, lastY, 2.5, 0, 2 * Math.PI);
      context.fill();
    }
  }
}

// ---- access token ------------------------------------------------------------------------

// A gateway with a web_token answers /api/ calls without it with 401. The page then asks
// for the token once, keeps it for this tab (sessionStorage) and sends it on every call;
// when the gateway rejects the kept token, it asks again.
const TOKEN_KEY = "sluice.web_token";
let tokenQuestion = null; // the open dialog's promise, shared by calls refused together
let tokenDeclined = false; // the operator cancelled: stop asking until they click the button

const storedToken = () => sessionStorage.getItem(TOKEN_KEY);

// The token the operator enters, or null when they cancel.
function askForToken(rejected) {
  if (!tokenQuestion) {
    tokenQuestion = new Promise((resolve) => {
      const dialog = byId("token-dialog");
      byId("token-rejected").hidden = !rejected;
      byId("token-input").value = "";
      dialog.returnValue = "";
      dialog.addEventListener("close", () => {
        tokenQuestion = null;
        const token = byId("token-input").value.trim();
        resolve(dialog.returnValue === "ok" && token ? token : null);
      }, { once: true });
      dialog.showModal();
    });
  }
  return tokenQuestion;
}

// fetch for the gateway's API, with the kept token; asks for one when the call is refused.
async function apiFetch(path, options = {}) {
  for (;;) {
    const token = storedToken();
    const headers = new Headers(options.headers);
    if (token) headers.set("Authorization", `Bearer ${token}`);
    const answer = await fetch(path, { cache: "no-store", ...options, headers });
    if (answer.status !== 401 || tokenDeclined) return answer;
    // Another call may have got a new token while this one was under way: try that first.
    if (storedToken() !== token) continue;
    sessionStorage.removeItem(TOKEN_KEY);
    const entered = await askForToken(token !== null);
    if (entered === null) {
      tokenDeclined = true;
      byId("token-button").hidden = false;
      return answer;
    }
    sessionStorage.setItem(TOKEN_KEY, entered);
  }
}

function enterTokenAgain() {
  tokenDeclined = false;
  byId("token-button").hidden = true;
  refreshState();
  refreshStreams();
  refreshRefusals();
  if (!configLoaded) loadConfig();
}

// ---- polling /api/state ----------------------------------------------------------------

let lastIfaces = [];

function showConnection(live, text) {
  const element = byId("connection");
  element.textContent = text;
  element.classList.toggle("live", live);
  element.classList.toggle("lost", !live);
}

async function refreshState() {
  try {
    const answer = await apiFetch("/api/state");
    if (answer.status === 401) {
      showConnection(false, "Access token needed");
      return;
    }
    if (!answer.ok) throw new Error(`HTTP ${answer.status}`);
    const { ifaces } = await answer.json();
    const now = Date.now();
    lastIfaces = ifaces;
    recordSamples(ifaces, now);
    renderTable(ifaces);
    renderCharts(ifaces, now);
    showConnection(true, `Updated ${new Date(now).toLocaleTimeString()}`);
  } catch (error) {
    showConnection(false, "Gateway not reachable — retrying");
  }
}

// ---- polling /api/streams ---------------------------------------------------------------

// librist rates a link 100 when nothing had to be skipped or sent again.
const GOOD_QUALITY = 95;

function cell(text, className) {
  const element = document.createElement("td");
  element.textContent = text;
  if (className) element.className = className;
  return element;
}

// "0.12 % (3 lost, 1 dropped)" from the SRT leg's counters.
function describeLoss(srt) {
  const expected = srt.packets_received + srt.packets_lost;
  const share = expected > 0 ? (100 * srt.packets_lost) / expected : 0;
  return `${share.toFixed(2)} % (${srt.packets_lost} lost, ${srt.packets_dropped} dropped)`;
}

function peerList(peers) {
  const list = document.createElement("ul");
  list.className = "peers";
  for (const peer of peers) {
    const item = document.createElement("li");
    const url = document.createElement("span");
    url.className = "peer-url";
    url.textContent = peer.url;
    const quality = document.createElement("span");
    quality.className = "quality";
    if (peer.connected) {
      quality.dataset.level = peer.quality >= GOOD_QUALITY ? "good" : "poor";
      quality.textContent = `${+peer.quality.toFixed(1)} %`;
    } else {
      // Its receiver has not answered it: it sends nothing while another peer is connected.
      quality.dataset.level = "poor";
      quality.textContent = "not connected";
    }
    const detail = document.createElement("span");
    detail.className = "peer-detail";
    detail.textContent = `${formatRate(peer.bandwidth_bps)}, ${peer.rtt_ms} ms, ${peer.retransmitted} resent`;
    item.append(url, quality, detail);
    list.appendChild(item);
  }
  return list;
}

function streamRow(stream) {
  const row = document.createElement("tr");
  const id = cell(stream.stream_id, "stream-id");
  id.title = `caller ${stream.caller}, running ${stream.seconds} s`;
  const peers = document.createElement("td");
  if (stream.rist.length) peers.appendChild(peerList(stream.rist));
  else peers.textContent = "—";
  row.append(id, cell(stream.mode), cell(stream.route), cell(`${stream.srt.receive_rate_mbps.toFixed(2)} Mbps`),
             cell(describeLoss(stream.srt)), cell(`${stream.srt.rtt_ms.toFixed(1)} ms`), peers);
  return row;
}

async function refreshStreams() {
  try {
    const answer = await apiFetch("/api/streams");
    if (!answer.ok) return;
    const { streams } = await answer.json();
    byId("stream-rows").replaceChildren(...streams.map(streamRow));
    byId("streams-empty").hidden = streams.length > 0;
  } catch (error) {
    // The connection line already tells that the gateway is not reachable.
  }
}

// ---- refused callers, from /metrics ------------------------------------------------------

// /api/streams lists running streams only; the gateway counts refused callers in /metrics.
const REFUSED_SAMPLE = /^sluice_callers_refused_total\{reason="(\w+)"\} (\d+)$/gm;
const REFUSAL_WORDS = {
  forbidden: "forbidden",
  not_found: "stream id not listed",
  overload: "over max_streams",
  misconfigured: "misconfigured",
  latency: "latency above srt_max_latency",
  no_route: "route without destination",
};

// "2 forbidden, 1 stream id not listed", or "none".
function describeRefusals(metricsText) {
  const counts = [];
  for (const [, reason, count] of metricsText.matchAll(REFUSED_SAMPLE)) {
    if (Number(count) > 0) counts.push(`${count} ${REFUSAL_WORDS[reason] ?? reason}`);
  }
  return counts.length ? counts.join(", ") : "none";
}

async function refreshRefusals() {
  try {
    const answer = await apiFetch("/metrics");
    if (!answer.ok) return;
    byId("refusal-counts").textContent = describeRefusals(await answer.text());
  } catch (error) {
    // The connection line already tells that the gateway is not reachable.
  }
}

// ---- configuration editor --------------------------------------------------------------

// A text area turns every line end into LF. The text goes back with the line ends the
// gateway's file had (CR-LF or LF), and edits are judged on LF-normalised text.
let savedText = "";
let lineEnd = "\n";
let configLoaded = false;

function editor() { return byId("config-text"); }

const withLf = (text) => text.replace(/\r\n?/g, "\n");

function editedText() { return editor().value.split("\n").join(lineEnd); }

function hasUnsavedEdits() { return editor().value !== withLf(savedText); }

function showDirty() { byId("config-dirty").hidden = !hasUnsavedEdits(); }

function showOutcome(outcome, text) {
  const status = byId("config-status");
  status.dataset.outcome = outcome;
  status.textContent = text;
}

async function loadConfig() {
  try {
    const answer = await apiFetch("/api/config");
    if (answer.status === 401) {
      showOutcome("failed", "Could not read the configuration: the gateway needs its access token.");
      return;
    }
    if (!answer.ok) throw new Error(`HTTP ${answer.status}`);
    savedText = await answer.text();
    configLoaded = true;
    lineEnd = savedText.includes("\r\n") ? "\r\n" : "\n";
    editor().value = savedText;
    showDirty();
    showOutcome("loaded", "");
  } catch (error) {
    showOutcome("failed", "Could not read the configuration from the gateway.");
  }
}

// The outcome of a save in plain words, from the answer's status and reason.
function describeSave(status, reason) {
  const why = reason.trim();
  const kept = "The gateway keeps the configuration it had.";
  if (status === 200) return ["saved", "Saved. The next SRT caller uses it; ports change at the next start."];
  if (status === 401) return ["failed", `Save failed: the gateway did not accept the access token. ${kept}`];
  // A refused value comes as one line per value: "key, line N: reason".
  if (status === 400) return ["rejected", `Rejected:\n${why || "the gateway did not accept the text"}\n${kept}`];
  if (status === 413) return ["failed", `Save failed: the text is too long for the gateway. ${kept}`];
  return ["failed", `Save failed: ${why || `the gateway answered ${status}`}. ${kept}`];
}

async function saveConfig() {
  const text = editedText();
  const button = byId("config-save");
  button.disabled = true;
  showOutcome("saving", "Saving…");
  try {
    const answer = await apiFetch("/api/config", {
      method: "POST",
      headers: { "Content-Type": "application/x-www-form-urlencoded" },
      body: new URLSearchParams({ config: text }),
    });
    const [outcome, message] = describeSave(answer.status, await answer.text());
    if (outcome === "saved") savedText = text;
    showOutcome(outcome, message);
  } catch (error) {
    showOutcome("failed", "Save failed: the gateway did not answer.");
  } finally {
    button.disabled = false;
    showDirty();
  }
}

function reloadConfig() {
  if (hasUnsavedEdits() && !window.confirm("Discard your unsaved edits and load the saved configuration?")) return;
  loadConfig();
}

// ---- start -----------------------------------------------------------------------------

function start() {
  byId("chart-window").textContent = WINDOW_MINUTES;
  editor().addEventListener("input", showDirty);
  byId("config-save").addEventListener("click", saveConfig);
  byId("config-reload").addEventListener("click", reloadConfig);
  byId("token-button").addEventListener("click", enterTokenAgain);
  document.addEventListener("keydown", (event) => {
    if ((event.ctrlKey || event.metaKey) && event.key === "s") {
      event.preventDefault();
      saveConfig();
    }
  });
  window.addEventListener("beforeunload", (event) => {
    if (!hasUnsavedEdits()) return;
    event.preventDefault();
    event.returnValue = "";
  });
  window.addEventListener("resize", () => renderCharts(lastIfaces, Date.now()));
  refreshState();
  refreshStreams();
  refreshRefusals();
  loadConfig();
  setInterval(refreshState, REFRESH_MS);
  setInterval(refreshStreams, REFRESH_MS);
  setInterval(refreshRefusals, REFRESH_MS);
}

start();
