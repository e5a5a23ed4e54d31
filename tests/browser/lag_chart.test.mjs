// The lag chart of the status page in a real browser: a central server whose
// lag history starts from a seed with a stretch of no samples (as when the
// server was down), three pairs.  Checks that neither the fleet's lines nor a
// pair's sparkline cross the stretch, that a malformed /api/lag query is
// refused, and that nothing overflows 1280 pixels; saves status-lag.png to
// $BLR_ARTEFACT_DIR (the copy in docs/images comes from there).
import { execFileSync } from "node:child_process";
import { writeFileSync, appendFileSync, mkdirSync } from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import puppeteer from "puppeteer-core";
import { Trial, until } from "./trial.mjs";

const artefacts = process.env.BLR_ARTEFACT_DIR;
const trial = new Trial("lag");
const { dir, env } = trial;
const blr = (...args) => trial.blr(...args);
let browser;

// A sample a minute for 5.5 hours, none from 200 to 150 minutes ago: forty
// pairs whose lags wander between seconds and an hour; 1 to 3 are on the page.
function seed() {
  const amplitude = (k) => [0, 0, 600, 1800][k] ?? (k % 13 === 0 ? 2400 : 20 * k);
  const lines = [];
  for (let m = 330; m >= 1; m--) {
    if (m <= 200 && m > 150) continue;
    const lags = [];
    for (let k = 1; k <= 40; k++)
      lags.push(`${k}:${Math.round(5 + amplitude(k) * (1 + Math.sin(m / (10 + 7 * (k % 5)))))}`);
    lines.push(`${m * 60} ${lags.join(" ")}`);
  }
  return lines.join("\n") + "\n";
}

// The x of each segment's first and last point.
const spans = (page, selector) => page.$$eval(selector, (paths) => paths.map((p) => {
  const xs = [...p.getAttribute("d").matchAll(/[ML]([\d.]+),/g)].map((m) => Number(m[1]));
  return [xs[0], xs[xs.length - 1]];
}));

try {
  execFileSync("blr", ["certs", "init", ".", "--proxy", "head1", "--proxy", "tail1",
                       "--operator", "cli", "--registries"], { cwd: dir, env });
  writeFileSync(path.join(dir, "lag.seed"), seed());
  appendFileSync(path.join(dir, "anchor.reg"),
                 `[Metrics]\nnListenPort = 0\nsLagSeedFile = ${path.join(dir, "lag.seed")}\n`);
  const out = await trial.start("blr-anchor serve --registry anchor.reg", /metrics on (\S+)\/metrics/);
  const base = out.match(/metrics on (\S+)\/metrics/)[1] + "/";
  for (const [n, name] of ["web01", "db01", "mail01"].entries()) {
    blr("pairs", "create", "--sub-client", "7", "--dst-client", "3", "--head", "2", "--tail", "3",
        "--src-name", name, "--src-guid", `6f1c0a3e-5b7d-4c2a-9e8f-1a2b3c4d5e6${n}`,
        "--dst-name", name + "-dr", "--disk", `6f1c0a3e-5b7d-4c2a-9e8f-aaaaaaaaaaa${n}:/vmfs/${name}/disk0.vmdk`);
  }
  blr("pairs", "set-lag", "3", "1500");

  assert.equal((await fetch(base + "api/lag?pairs=1,x")).status, 400);
  assert.equal((await fetch(base + "api/lag?pairs=" + "1,".repeat(500) + "1")).status, 400);

  browser = await puppeteer.launch({
    executablePath: process.env.BLR_CHROMIUM, headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  await page.goto(base, { waitUntil: "networkidle0" });
  await until("the sparklines", async () => (await page.$$("#pairs td.spark path")).length >= 6);

  // One segment before the stretch without samples and one after; the first
  // ends more than a step (1000 / 360 wide) before the second begins.
  for (const series of ["p50", "p95", "max"]) {
    const segments = await spans(page, `#lag-chart path.${series}`);
    assert.equal(segments.length, 2, series + ": " + JSON.stringify(segments));
    assert.ok(segments[1][0] - segments[0][1] > 40 * 900 / 360, series + ": " + JSON.stringify(segments));
  }
  const spark = await spans(page, '#pairs tr[data-pair-id="3"] td.spark path');
  assert.equal(spark.length, 2, JSON.stringify(spark));
  assert.ok(spark[1][0] - spark[0][1] > 40 * 120 / 360, JSON.stringify(spark));

  const width = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
  assert.ok(width[0] <= width[1], "no horizontal overflow at 1280x800: " + width);
  mkdirSync(artefacts, { recursive: true });
  await page.screenshot({ path: path.join(artefacts, "status-lag.png") });
  console.log("lag chart: gaps kept in the fleet's lines and the sparklines; screenshot in " + artefacts);
} finally {
  if (browser) await browser.close();
  await trial.end();
}
