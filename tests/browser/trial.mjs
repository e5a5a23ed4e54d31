// What the status page tests share: a trial directory with the programs of
// this build on PATH, servers started in it, and waiting for a condition.
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

export function makeTrial(prefix) {
  const dir = mkdtempSync(path.join(tmpdir(), prefix));
  const env = { ...process.env, PATH: `${process.env.BLR_TOOLS_DIR}:${process.env.PATH}` };
  const servers = [];
  return {
    dir, env,
    blr: (...args) => execFileSync("blr", ["-r", "cli.reg", ...args], { cwd: dir, env, encoding: "utf8" }),
    // Starts a server program; resolves with its output once `ready` shows in it.
    async start(args, ready) {
      const log = path.join(dir, `server${servers.length}.out`);
      servers.push(spawn("sh", ["-c", `exec ${args} >'${log}' 2>&1`], { cwd: dir, env }));
      return until(args, () => {
        const text = (() => { try { return readFileSync(log, "utf8"); } catch { return ""; } })();
        return ready.test(text) && text;
      });
    },
    async close() {
      for (const s of servers) s.kill("SIGTERM");
      await sleep(300);
      rmSync(dir, { recursive: true, force: true });
    },
  };
}
