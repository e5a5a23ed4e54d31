// What the browser tests share: a trial installation's directory with the
// programs of this build on the PATH, blr run in it, servers started until
// they are ready, and waiting with a deadline.
import { execFileSync, spawn } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import path from "node:path";

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export async function until(what, check, ms = 30000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await sleep(100);
  }
}

export class Trial {
  constructor(name) {
    this.dir = mkdtempSync(path.join(tmpdir(), `blr-${name}-test-`));
    this.env = { ...process.env, PATH: `${process.env.BLR_TOOLS_DIR}:${process.env.PATH}` };
    this.servers = [];
  }

  // blr with the trial's client registry; its output.
  blr(...args) {
    return execFileSync("blr", ["-r", "cli.reg", ...args], { cwd: this.dir, env: this.env, encoding: "utf8" });
  }

  // Starts a server program; resolves with its output once `ready` shows in it.
  async start(args, ready) {
    const log = path.join(this.dir, `server${this.servers.length}.out`);
    const child = spawn("sh", ["-c", `exec ${args} >'${log}' 2>&1`], { cwd: this.dir, env: this.env });
    this.servers.push(child);
    return until(args, () => {
      const text = (() => { try { return readFileSync(log, "utf8"); } catch { return ""; } })();
      return ready.test(text) && text;
    });
  }

  // Stops the servers and removes the directory.
  async end() {
    for (const s of this.servers) s.kill("SIGTERM");
    await sleep(300);
    rmSync(this.dir, { recursive: true, force: true });
  }
}
