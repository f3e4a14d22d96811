// The real sluice binary in a temporary run directory of its own (config.ini with free
// ports, a copy of web/), stopped by the PID it was started with.

import { spawn } from "node:child_process";
import dgram from "node:dgram";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";

const SOURCE_DIR = process.env.SLUICE_SOURCE_DIR ?? path.resolve(import.meta.dirname, "../..");

function tcpPort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function udpPortIsFree(port) {
  return new Promise((resolve) => {
    const socket = dgram.createSocket("udp4");
    socket.once("error", () => resolve(false));
    socket.bind(port, "127.0.0.1", () => socket.close(() => resolve(true)));
  });
}

// A port free on 127.0.0.1 for both TCP and UDP at the moment of asking.
export async function freePort() {
  for (;;) {
    const port = await tcpPort();
    if (await udpPortIsFree(port)) return port;
  }
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export class Gateway {
  // extraConfig: lines added to the generated config.ini.
  static async start(extraConfig = "") {
    const gateway = new Gateway();
    await gateway.#launch(extraConfig);
    return gateway;
  }

  async #launch(extraConfig) {
    if (!process.env.SLUICE_BIN) throw new Error("SLUICE_BIN is not set");
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), "sluice-browser-"));
    this.srtPort = await freePort();
    do this.webPort = await freePort(); while (this.webPort === this.srtPort);
    this.url = `http://127.0.0.1:${this.webPort}`;
    this.initialConfig = `// written by the browser test\r\nsrt_port = ${this.srtPort}\r\nweb_port = ${this.webPort}\r\n${extraConfig}`;
    fs.writeFileSync(this.configPath(), this.initialConfig);
    fs.cpSync(path.join(SOURCE_DIR, "web"), path.join(this.dir, "web"), { recursive: true });
    this.logPath = path.join(this.dir, "sluice.log");
    const log = fs.openSync(this.logPath, "w");
    this.process = spawn(process.env.SLUICE_BIN, [], { cwd: this.dir, stdio: ["ignore", log, log] });
    fs.closeSync(log);
    this.exited = new Promise((resolve) => this.process.once("exit", (code, signal) => resolve({ code, signal })));
    await this.#waitForHttp();
  }

  async #waitForHttp() {
    const deadline = Date.now() + 20000;
    while (Date.now() < deadline) {
      if (this.process.exitCode !== null) break;
      try {
        if ((await fetch(`${this.url}/hi`)).ok) return;
      } catch {
        await sleep(100);
      }
    }
    throw new Error(`the gateway does not answer on ${this.url}\n${this.log()}`);
  }

  configPath() {
    return path.join(this.dir, "config.ini");
  }

  log() {
    return fs.readFileSync(this.logPath, "utf8");
  }

  // The configuration as the gateway serves it; token: its web_token, when it has one.
  async configText(token) {
    const headers = token ? { Authorization: `Bearer ${token}` } : {};
    const answer = await fetch(`${this.url}/api/config`, { headers });
    return answer.text();
  }

  // SIGTERM to the PID we started; the exit code, or null when it had to be killed.
  async stop() {
    if (this.process.exitCode === null && this.process.signalCode === null) {
      this.process.kill("SIGTERM");
      const timeout = sleep(15000).then(() => null);
      if ((await Promise.race([this.exited, timeout])) === null) {
        this.process.kill("SIGKILL");
        await this.exited;
        return null;
      }
    }
    return (await this.exited).code;
  }

  remove() {
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}
