// The gateway's web page in Debian's headless Chromium, against the real binary: the
// interface table, the rate parser behind the charts, the streams table, the
// configuration editor's outcomes, and the access token dialog. Screenshots go to BROWSER_OUTPUT.

import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import { chromium } from "playwright-core";

import { Gateway } from "./gateway.mjs";

const CHROMIUM = process.env.CHROMIUM_PATH ?? "/usr/bin/chromium";
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const OUTPUT = process.env.BROWSER_OUTPUT ?? path.join(os.tmpdir(), "sluice-browser-output");

// Chromium with a fresh profile directory; close() ends it and removes the profile.
async function launchBrowser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "sluice-chromium-"));
  // headless: true adds --headless; the profile directory is a fresh --user-data-dir.
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport: { width: 1280, height: 900 },
  });
  const page = context.pages()[0] ?? (await context.newPage());
  const close = async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { context, page, close };
}

// Stops and removes the gateway; gives its whole log.
async function stopGateway(gateway) {
  if (!gateway) return "";
  const status = await gateway.stop();
  const log = gateway.log();
  gateway.remove();
  assert.equal(status, 0, "the gateway did not exit cleanly");
  return log;
}

describe("web page", () => {
  let gateway;
  let browser;
  let context;
  let page;

  before(async () => {
    fs.mkdirSync(OUTPUT, { recursive: true });
    gateway = await Gateway.start();
    browser = await launchBrowser();
    ({ context, page } = browser);
    await page.goto(gateway.url + "/");
  });

  after(async () => {
    await browser?.close();
    await stopGateway(gateway);
  });

  async function waitForOutcome(outcome) {
    await page.locator(`#config-status[data-outcome="${outcome}"]`).waitFor({ timeout: 10000 });
    return page.locator("#config-status").textContent();
  }

  test("the interface table ends with the All row, set apart", async () => {
    const aggregate = page.locator("#iface-total tr.aggregate");
    await aggregate.waitFor({ timeout: 10000 });
    const cells = await aggregate.locator("td").allTextContents();
    assert.equal(cells[0], "All");
    assert.match(cells[2], /^\d+\.\d\d (G|M|K)?bps$/);
    assert.equal(await page.locator("#iface-rows tr.aggregate").count(), 0);
    assert.equal(await page.locator("figure.chart.aggregate canvas").count(), 1);
    assert.match(await page.locator("#connection").textContent(), /^Updated /);
  });

  test("rate texts are read back as bits per second", async () => {
    const cases = [
      ["0.00 bps", 0], ["999.00 bps", 999], ["1000.00 Kbps", 1e6], ["1.20 Mbps", 1.2e6],
      ["1.50 Gbps", 1.5e9], ["12 Mbps", 12e6], ["fast", null], ["1.20 mbps", null], ["", null],
    ];
    const results = await page.evaluate((texts) => texts.map((text) => parseRate(text)), cases.map((c) => c[0]));
    cases.forEach(([text, expected], index) => {
      if (expected === null) assert.equal(results[index], null, text);
      else assert.ok(Math.abs(results[index] - expected) < 1e-6 * Math.max(1, expected), text);
    });
  });

  // The editor holds the gateway's text, its line ends turned into LF as a text area does.
  function editorShows(text) {
    return page.waitForFunction((expected) => document.getElementById("config-text").value === expected,
                                text.replaceAll("\r\n", "\n"), { timeout: 10000 });
  }

  test("saving an edited configuration changes what the gateway serves", async () => {
    await editorShows(gateway.initialConfig);
    assert.equal(await page.locator("#config-dirty").isVisible(), false);
    // A long comment takes the form above the 8192 bytes that the HTTP library takes by itself.
    const added = `// edited in the browser\r\n// ${"notes ".repeat(1500)}\r\n` +
                  "rist_endpoint = 127.0.0.1:5000, 127.0.0.1:5002\r\n";
    await page.locator("#config-text").fill((gateway.initialConfig + added).replaceAll("\r\n", "\n"));
    assert.equal(await page.locator("#config-dirty").isVisible(), true);
    await page.locator("#config-save").click();
    assert.match(await waitForOutcome("saved"), /^Saved\./);
    const edited = gateway.initialConfig + added;
    assert.equal(await gateway.configText(), edited, "CR-LF line ends are kept");
    assert.equal(fs.readFileSync(gateway.configPath(), "utf8"), edited);
    assert.equal(await page.locator("#config-dirty").isVisible(), false);
    gateway.initialConfig = edited;
  });

  test("a rejected text shows the gateway's reason and changes nothing", async () => {
    const before = await gateway.configText();
    const rejected = "// only a comment\n[map]\n";
    const direct = await fetch(gateway.url + "/api/config", {
      method: "POST", body: new URLSearchParams({ config: rejected }),
    });
    assert.equal(direct.status, 400);
    const reason = (await direct.text()).trim();
    assert.ok(reason.length > 0);

    await page.locator("#config-text").fill(rejected);
    await page.locator("#config-save").click();
    const shown = await waitForOutcome("rejected");
    assert.ok(shown.includes(reason), `"${shown}" does not show "${reason}"`);
    assert.equal(await gateway.configText(), before);
    assert.equal(await page.locator("#config-dirty").isVisible(), true);
  });

  test("a save that fails on disk is reported as failed", async () => {
    const before = await gateway.configText();
    const temporary = gateway.configPath() + ".tmp";
    fs.mkdirSync(temporary);
    try {
      await page.locator("#config-text").fill(before + "ignore = lo\n");
      await page.locator("#config-save").click();
      assert.match(await waitForOutcome("failed"), /^Save failed: /);
      assert.equal(await gateway.configText(), before);
    } finally {
      fs.rmSync(temporary, { recursive: true, force: true });
    }
  });

  test("Reload brings back the saved text after confirmation", async () => {
    page.once("dialog", (dialog) => dialog.accept());
    await page.locator("#config-reload").click();
    await editorShows(gateway.initialConfig);
    assert.equal(await page.locator("#config-dirty").isVisible(), false);
  });

  test("leaving with unsaved edits asks first", async () => {
    const other = await context.newPage();
    await other.goto(gateway.url + "/");
    await other.locator("#config-text").click();
    await other.keyboard.type("// not saved yet\n");
    const asked = new Promise((resolve) => other.once("dialog", (dialog) => {
      resolve(dialog.type());
      dialog.accept();
    }));
    const silence = new Promise((resolve) => setTimeout(() => resolve("no dialog"), 5000));
    await other.close({ runBeforeUnload: true });
    assert.equal(await Promise.race([asked, silence]), "beforeunload");
  });

  test("charts keep each interface's rates over time; titles are shown as text", async () => {
    const charts = await context.newPage();
    let step = 0;
    await charts.route("**/api/state", (route) => {
      step += 1;
      const linkUp = step < 40;
      const ifaces = [
        { title: "eth0", ip: "10.1.2.3", output: linkUp ? "8.40 Mbps" : "0.00 bps", input: `${step}.00 Kbps` },
        { title: "<b>wlan0</b>", ip: "10.9.8.7", output: "1.20 Mbps", input: "950.00 Kbps" },
        { title: "All", ip: "", output: linkUp ? "9.60 Mbps" : "1.20 Mbps", input: "1.10 Mbps" },
      ];
      route.fulfill({ status: 200, contentType: "application/json", body: JSON.stringify({ ifaces }) });
    });
    await charts.clock.install();
    await charts.goto(gateway.url + "/");
    // One refresh per 5 s of page time: wait until each has been answered and shown.
    for (let refresh = 1; refresh <= 60; refresh += 1) {
      for (let waited = 0; step < refresh && waited < 10000; waited += 10) await sleep(10);
      assert.equal(step, refresh);
      await charts.locator("#iface-rows tr:first-child td:nth-child(4)")
        .getByText(`${refresh}.00 Kbps`, { exact: true }).waitFor();
      await charts.clock.runFor(5000);
    }
    assert.deepEqual(await charts.locator("#iface-rows tr td:first-child").allTextContents(), ["eth0", "<b>wlan0</b>"]);
    assert.equal(await charts.locator("#iface-rows b").count(), 0);
    assert.deepEqual(await charts.locator("figure.chart figcaption").allTextContents(), ["All", "eth0", "<b>wlan0</b>"]);
    const drawn = await charts.locator("figure.chart canvas").evaluateAll((canvases) => canvases.map((canvas) => {
      const pixels = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
      let coloured = 0;
      for (let i = 0; i < pixels.length; i += 4) if (pixels[i + 3] > 0 && pixels[i] !== pixels[i + 2]) coloured += 1;
      return coloured;
    }));
    for (const count of drawn) assert.ok(count > 200, `a chart drew only ${count} coloured pixels`);
    await charts.screenshot({ path: path.join(OUTPUT, "page-charts.png"), fullPage: true });
    await charts.close();
  });

  test("the streams table shows both legs of every stream and empties when they end, and the refused callers", async () => {
    const streamsPage = await context.newPage();
    const srt = (rate, received, lost, dropped, rtt) => ({
      bytes_received: received * 1316, packets_received: received, packets_lost: lost, packets_retransmitted: 0,
      packets_dropped: dropped, rtt_ms: rtt, receive_rate_mbps: rate, latency_ms: 120 });
    const peer = (url, quality, rtt) => ({ url, bandwidth_bps: 6200000, retransmitted: 4, quality, rtt_ms: rtt });
    let streams = [
      { stream_id: "cam1", mode: "forward", caller: "10.1.2.3:40000", seconds: 61, srt: srt(5.8, 9990, 10, 2, 1.25),
        rist: [peer("rist://10.0.0.5:5000?cname=cam1", 100, 6),
               peer("rist://10.0.0.5:5000?cname=cam1&miface=10.1.2.9&weight=1", 71.5, 40)],
        units_written: 9990, send_errors: 0 },
      { stream_id: "<b>studio</b>-talkback", mode: "talkback", caller: "10.1.2.4:40001", seconds: 5,
        srt: srt(0, 0, 0, 0, 0.5), rist: [], units_written: 300, send_errors: 0 },
    ];
    let asked = 0;
    await streamsPage.route("**/api/streams", (route) => {
      asked += 1;
      route.fulfill({ status: 200, contentType: "application/json", body: JSON.stringify({ streams }) });
    });
    const refused = (reason, count) => `sluice_callers_refused_total{reason="${reason}"} ${count}\n`;
    await streamsPage.route("**/metrics", (route) => route.fulfill({ status: 200, contentType: "text/plain",
      body: refused("forbidden", 2) + refused("not_found", 1) + refused("overload", 0) + refused("misconfigured", 0) }));
    await streamsPage.clock.install();
    await streamsPage.goto(gateway.url + "/");
    const rows = streamsPage.locator("#stream-rows tr");
    await rows.nth(1).waitFor({ timeout: 10000 });
    assert.deepEqual(await rows.nth(0).locator("> td").evaluateAll((cells) => cells.slice(0, 5).map((c) => c.textContent)),
                     ["cam1", "forward", "5.80 Mbps", "0.10 % (10 lost, 2 dropped)", "1.3 ms"]);
    assert.deepEqual(await rows.nth(0).locator(".peer-url").allTextContents(),
                     ["rist://10.0.0.5:5000?cname=cam1", "rist://10.0.0.5:5000?cname=cam1&miface=10.1.2.9&weight=1"]);
    assert.deepEqual(await rows.nth(0).locator(".quality").allTextContents(), ["100 %", "71.5 %"]);
    assert.deepEqual(await rows.nth(0).locator(".quality").evaluateAll((q) => q.map((e) => e.dataset.level)),
                     ["good", "poor"]);
    assert.equal(await rows.nth(1).locator("td").first().textContent(), "<b>studio</b>-talkback");
    assert.equal(await streamsPage.locator("#stream-rows b").count(), 0);
    assert.equal(await streamsPage.locator("#streams-empty").isVisible(), false);
    await streamsPage.waitForFunction(() => document.getElementById("refusal-counts").textContent !== "—");
    assert.equal(await streamsPage.locator("#refusal-counts").textContent(), "2 forbidden, 1 stream id not listed");
    await streamsPage.screenshot({ path: path.join(OUTPUT, "page-streams.png"), fullPage: true });

    streams = [];
    const before = asked;
    await streamsPage.clock.runFor(5000);
    await streamsPage.locator("#streams-empty").waitFor({ state: "visible", timeout: 10000 });
    assert.ok(asked > before, "the table is refreshed every few seconds");
    assert.equal(await rows.count(), 0);
    await streamsPage.close();
  });

  test("screenshots on a laptop and a phone", async () => {
    await page.locator("#config-text").fill(gateway.initialConfig);
    await page.locator("#config-save").click();
    await waitForOutcome("saved");
    await page.screenshot({ path: path.join(OUTPUT, "page-laptop.png"), fullPage: true });
    await page.setViewportSize({ width: 390, height: 844 });
    await page.waitForTimeout(200);
    const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
    assert.ok(overflow <= 0, `the page is ${overflow}px wider than a phone screen`);
    await page.screenshot({ path: path.join(OUTPUT, "page-phone.png"), fullPage: true });
    assert.ok(fs.statSync(path.join(OUTPUT, "page-phone.png")).size > 0);
  });
});

describe("web page of a gateway with an access token", () => {
  const token = `tok-${crypto.randomBytes(12).toString("hex")}`;
  let gateway;
  let browser;
  let page;

  before(async () => {
    fs.mkdirSync(OUTPUT, { recursive: true });
    gateway = await Gateway.start(`web_token = ${token}\r\n`);
    browser = await launchBrowser();
    page = browser.page;
  });

  after(async () => {
    await browser?.close();
    const log = await stopGateway(gateway);
    assert.ok(log.includes("[map] web_token=***"));
    assert.ok(!log.includes(token), "the token reached the log");
  });

  const dialog = () => page.locator("#token-dialog");

  async function enterToken(text) {
    await dialog().waitFor({ state: "visible", timeout: 10000 });
    await page.locator("#token-input").fill(text);
    await page.locator("#token-submit").click();
  }

  test("the page asks for the token, asks again when it is wrong, then shows the table", async () => {
    await page.goto(gateway.url + "/");
    await dialog().waitFor({ state: "visible", timeout: 10000 });
    assert.equal(await page.locator("#token-rejected").isVisible(), false);
    await page.screenshot({ path: path.join(OUTPUT, "page-token.png") });
    await enterToken("not-the-token");
    await page.locator("#token-rejected").waitFor({ state: "visible", timeout: 10000 });
    await enterToken(token);
    await page.locator("#iface-total tr.aggregate").waitFor({ timeout: 10000 });
    await dialog().waitFor({ state: "hidden" });
    await page.waitForFunction((expected) => document.getElementById("config-text").value.includes(expected),
                               `web_token = ${token}`, { timeout: 10000 });
    assert.match(await page.locator("#connection").textContent(), /^Updated /);
  });

  test("the token is kept for the session: a reload does not ask again", async () => {
    let withoutToken = 0;
    page.on("request", (request) => {
      if (request.url().includes("/api/") && request.headers().authorization !== `Bearer ${token}`) withoutToken += 1;
    });
    await page.reload();
    await page.locator("#iface-total tr.aggregate").waitFor({ timeout: 10000 });
    await page.locator("#config-status[data-outcome=\"loaded\"]").waitFor({ timeout: 10000 });
    assert.equal(await dialog().isVisible(), false);
    assert.equal(withoutToken, 0, "every API call carries the kept token");
    page.removeAllListeners("request");
  });

  test("a token changed on the gateway is asked for again", async () => {
    const renewed = `${token}-renewed`;
    const text = (await gateway.configText(token)).replace(token, renewed);
    const changed = await fetch(gateway.url + "/api/config", {
      method: "POST", headers: { Authorization: `Bearer ${token}` }, body: new URLSearchParams({ config: text }),
    });
    assert.equal(changed.status, 200);
    // The next refresh (every 5 s) is refused and brings the dialog back.
    await dialog().waitFor({ state: "visible", timeout: 15000 });
    assert.equal(await page.locator("#token-rejected").isVisible(), true);
    await enterToken(renewed);
    await dialog().waitFor({ state: "hidden" });
    await page.locator("#connection.live").waitFor({ timeout: 15000 });
  });

  test("cancelling leaves the page waiting until the operator enters the token", async () => {
    const fresh = await browser.context.newPage();
    await fresh.goto(gateway.url + "/");
    await fresh.locator("#token-dialog").waitFor({ state: "visible", timeout: 10000 });
    await fresh.getByRole("button", { name: "Cancel" }).click();
    await fresh.locator("#token-button").waitFor({ state: "visible", timeout: 10000 });
    assert.equal(await fresh.locator("#connection").textContent(), "Access token needed");
    await fresh.locator("#token-button").click();
    await fresh.locator("#token-input").fill(`${token}-renewed`);
    await fresh.locator("#token-submit").click();
    await fresh.locator("#iface-total tr.aggregate").waitFor({ timeout: 10000 });
    await fresh.locator("#config-status[data-outcome=\"loaded\"]").waitFor({ timeout: 10000 });
    assert.equal(await fresh.locator("#token-button").isVisible(), false);
    await fresh.close();
  });
});
