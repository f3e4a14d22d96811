// The web page in Debian's headless Chromium against the real binary, for what only a
// browser shows: the token dialog, the interface and stream tables with the refused
// callers, and the configuration editor. Screenshots go to BROWSER_OUTPUT.

import assert from "node:assert/strict";
import { spawn } from "node:child_process";
import crypto from "node:crypto";
import dgram from "node:dgram";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";
import { chromium } from "playwright-core";

const SOURCE_DIR = process.env.SLUICE_SOURCE_DIR ?? path.resolve(import.meta.dirname, "../..");
const OUTPUT = process.env.BROWSER_OUTPUT ?? path.join(os.tmpdir(), "sluice-browser-output");
const token = `tok-${crypto.randomBytes(12).toString("hex")}`;
// Real streams need SRT callers: the page gets one from the test instead, whose id holds markup.
const stream = {
  stream_id: "<b>cam1</b>", mode: "forward", route: "cam1", caller: "10.1.2.3:40000", seconds: 61, units_written: 9990,
  send_errors: 0, srt: { bytes_received: 13147, packets_received: 9990, packets_lost: 10, packets_retransmitted: 0,
                         packets_dropped: 2, rtt_ms: 1.25, receive_rate_mbps: 5.8, latency_ms: 120 },
  rist: [{ url: "rist://10.0.0.5:5000?cname=cam1", connected: true, bandwidth_bps: 6.2e6, retransmitted: 4,
           quality: 71.5, rtt_ms: 6 },
         { url: "rist://10.0.0.5:5000?cname=cam1&miface=10.1.2.2&weight=1", connected: false, bandwidth_bps: 0,
           retransmitted: 0, quality: 0, rtt_ms: 0 }],
};
const refused = (reason, count) => `sluice_callers_refused_total{reason="${reason}"} ${count}\n`;
// A free port on 127.0.0.1: the socket is bound to port 0, read and closed.
const freePort = (socket, bind) => new Promise((resolve) => bind(socket, () => {
  const { port } = socket.address();
  socket.close(() => resolve(port));
}));

// The real binary in a run directory of its own (config.ini with free ports, a copy of
// web/), stopped by the PID it was started with.
async function startGateway(extraConfig) {
  if (!process.env.SLUICE_BIN) throw new Error("SLUICE_BIN is not set");
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "sluice-browser-"));
  const webPort = await freePort(net.createServer(), (server, done) => server.listen(0, "127.0.0.1", done));
  const srtPort = await freePort(dgram.createSocket("udp4"), (socket, done) => socket.bind(0, "127.0.0.1", done));
  const config = `// written by the browser test\r\nsrt_port = ${srtPort}\r\nweb_port = ${webPort}\r\n${extraConfig}`;
  fs.writeFileSync(path.join(dir, "config.ini"), config);
  fs.cpSync(path.join(SOURCE_DIR, "web"), path.join(dir, "web"), { recursive: true });
  const log = fs.openSync(path.join(dir, "sluice.log"), "w");
  const child = spawn(process.env.SLUICE_BIN, [], { cwd: dir, stdio: ["ignore", log, log] });
  fs.closeSync(log);
  const exited = new Promise((resolve) => child.once("exit", (code) => resolve(code)));
  const gateway = { dir, config, url: `http://127.0.0.1:${webPort}`, configPath: path.join(dir, "config.ini") };
  // SIGTERM, SIGKILL after 15 s; removes the directory, gives the exit code and the log.
  gateway.stop = async () => {
    const timer = setTimeout(() => child.kill("SIGKILL"), 15000);
    if (child.exitCode === null) child.kill("SIGTERM");
    const code = await exited;
    clearTimeout(timer);
    const text = fs.readFileSync(path.join(dir, "sluice.log"), "utf8");
    fs.rmSync(dir, { recursive: true, force: true });
    return { code, log: text };
  };
  for (const deadline = Date.now() + 20000; Date.now() < deadline && child.exitCode === null;) {
    if (await fetch(`${gateway.url}/hi`).then((answer) => answer.ok, () => false)) return gateway;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`the gateway does not answer on ${gateway.url}: ${JSON.stringify(await gateway.stop())}`);
}

let gateway, browser, page;

before(async () => {
  fs.mkdirSync(OUTPUT, { recursive: true });
  gateway = await startGateway(`web_token = ${token}\r\n`);
  browser = await chromium.launch({ executablePath: process.env.CHROMIUM_PATH ?? "/usr/bin/chromium",
                                    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking"] });
  page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
  await page.route("**/api/streams", (route) => route.fulfill({ body: JSON.stringify({ streams: [stream] }) }));
  await page.route("**/metrics", (route) => route.fulfill({ body: refused("forbidden", 2) + refused("not_found", 1) }));
});

after(async () => {
  await browser?.close();
  const { code, log } = await gateway.stop();
  assert.equal(code, 0, "the gateway did not exit cleanly");
  assert.ok(log.includes("[map] web_token=***") && !log.includes(token), "the token reached the log");
});

async function enterToken(text) {
  await page.locator("#token-dialog").waitFor({ state: "visible", timeout: 10000 });
  await page.locator("#token-input").fill(text);
  await page.locator("#token-submit").click();
}

test("the page asks for the access token, then lists the interfaces, the streams and the refused callers", async () => {
  await page.goto(gateway.url + "/");
  await enterToken("not-the-token");
  await page.locator("#token-rejected").waitFor({ state: "visible", timeout: 10000 });
  await enterToken(token);
  const aggregate = page.locator("#iface-total tr.aggregate");
  await aggregate.waitFor({ timeout: 10000 });
  const cells = await aggregate.locator("td").allTextContents();
  assert.equal(cells[0], "All");
  assert.match(cells[2], /^\d+\.\d\d (G|M|K)?bps$/);
  const row = page.locator("#stream-rows tr").first();
  await row.waitFor({ timeout: 10000 });
  assert.deepEqual(await row.locator("> td").evaluateAll((tds) => tds.slice(0, 6).map((td) => td.textContent)),
                   ["<b>cam1</b>", "forward", "cam1", "5.80 Mbps", "0.10 % (10 lost, 2 dropped)", "1.3 ms"]);
  assert.deepEqual(await row.locator(".quality").allTextContents(), ["71.5 %", "not connected"]);
  assert.equal(await page.locator("#stream-rows b").count(), 0, "a stream id is shown as text, never as markup");
  await page.waitForFunction(() => document.getElementById("refusal-counts").textContent !== "—");
  assert.equal(await page.locator("#refusal-counts").textContent(), "2 forbidden, 1 stream id not listed");
});

test("an edited configuration is saved; a rejected one shows the gateway's reason", async () => {
  const outcome = async (expected) => {
    await page.locator(`#config-status[data-outcome="${expected}"]`).waitFor({ timeout: 10000 });
    return page.locator("#config-status").textContent();
  };
  // The editor shows the file with LF line ends, as a text area does; the save keeps CR-LF.
  await page.waitForFunction((expected) => document.getElementById("config-text").value === expected,
                             gateway.config.replaceAll("\r\n", "\n"), { timeout: 10000 });
  // A long comment takes the form above the 8192 bytes that the HTTP library takes by itself.
  const edited = `${gateway.config}// ${"notes ".repeat(1500)}\r\nrist_endpoint = 127.0.0.1:5000\r\n`;
  await page.locator("#config-text").fill(edited.replaceAll("\r\n", "\n"));
  await page.locator("#config-save").click();
  assert.match(await outcome("saved"), /^Saved\./);
  assert.equal(fs.readFileSync(gateway.configPath, "utf8"), edited);
  await page.screenshot({ path: path.join(OUTPUT, "page.png"), fullPage: true });

  await page.locator("#config-text").fill("// only a comment\n[map]\n");
  await page.locator("#config-save").click();
  assert.match(await outcome("rejected"), /key = value/);
  await page.locator("#config-text").fill("srt_port = 7000\nallow_from = garbage\nuplink_mode = x\n");
  await page.locator("#config-save").click();
  await page.waitForFunction(() => document.getElementById("config-status").textContent.includes("uplink_mode"));
  assert.equal(await page.locator("#config-status").textContent(),
               'Rejected:\nallow_from, line 2: "garbage" is not an IP address or CIDR block\n' +
               'uplink_mode, line 3: "x" is not balance or duplicate\nThe gateway keeps the configuration it had.');
  assert.equal(fs.readFileSync(gateway.configPath, "utf8"), edited);
});
