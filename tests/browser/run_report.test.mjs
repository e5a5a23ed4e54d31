// The run report's page in a real browser: a trial installation (central
// server, three simulated proxies), a plan of three groups whose last pair's
// Head refuses the flush of its failover to the latest state, the plan's
// failover, and its report opened in headless Chromium at 1280×800 and as
// print.  Saves screenshots to $BLR_ARTEFACT_DIR and the picture of
// docs/cli.md to $BLR_DOCS_IMAGES.
import { execFileSync } from "node:child_process";
import { writeFileSync, mkdirSync, copyFileSync } from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import puppeteer from "puppeteer-core";
import { Trial, until } from "./trial.mjs";

const artefacts = process.env.BLR_ARTEFACT_DIR;
const docsImages = process.env.BLR_DOCS_IMAGES;
const trial = new Trial("report");
const { dir, env } = trial;
const blr = (...args) => trial.blr(...args);
const start = (args, ready) => trial.start(args, ready);

const hex = (n) => n.toString(16).padStart(32, "0");
// Markup and a control character in stored texts: the page must show them.
const planName = "dr <b>site</b>\u0007";
const refusal = "flush <i>refused</i>";

let browser;
try {
  execFileSync("blr", ["certs", "init", ".", "--proxy", "head1", "--proxy", "tail1", "--proxy", "head2",
                       "--operator", "cli", "--registries"], { cwd: dir, env });
  await start("blr-anchor serve --registry anchor.reg", /listening/);
  const quick = "--set sync-delay-ms=200 --set flush-delay-ms=300";
  // Each pair's pause on head1 takes a second: a run of a few seconds to draw.
  await start(`blr-proxy --registry head1.reg --state-file head1.state ${quick} --fault PAUSE=delay:1000`, /\n/);
  await start(`blr-proxy --registry tail1.reg --state-file tail1.state ${quick}`, /\n/);
  await start(`blr-proxy --registry head2.reg --state-file head2.state ${quick} ` +
              `--fault 'INS_FLUSH_MARKER_REQ=fail:7:${refusal}'`, /\n/);

  // Six replicating pairs to Tail 3; the last one's Head is head2 (client 4).
  const records = [0, 1, 2, 3, 4, 5].map((i) => ({
    subClientId: 7, dstClientId: 3, headClientId: i === 5 ? 4 : 2, tailClientId: 3,
    srcName: `vm${i}`, dstName: `vm${i}-dr`, srcGuid: hex(0x1000 + i), dstGuid: hex(0x2000 + i),
    lagTime: 20 * i,
    disks: [{ srcGuid: hex(0x3000 + i), dstGuid: hex(0x4000 + i), srcPath: `/vmfs/vm${i}/disk0.vmdk`,
              dstPath: `/dr/vm${i}` }],
  }));
  writeFileSync(path.join(dir, "pairs.json"), JSON.stringify(records));
  blr("pairs", "import", "pairs.json");
  const ids = JSON.parse(blr("--json", "pairs", "list")).map((p) => p.id);
  for (const id of ids) blr("proxies", "start", String(id));
  await until("all pairs running", () =>
    JSON.parse(blr("--json", "pairs", "list")).every((p) => p.statusCode === 4));

  writeFileSync(path.join(dir, "plan.json"), JSON.stringify({
    name: planName, rtoSeconds: 60, rpoSeconds: 50,
    groups: [{ parallelism: 2, pairs: ids.slice(0, 3) }, { pairs: ids.slice(3, 5) },
             { pairs: [{ pair: ids[5], toLatest: true }] }],
  }));
  blr("plans", "create", "--file", "plan.json");
  // A drill first: every test VM comes up.
  blr("plans", "test", planName);
  const drillRun = JSON.parse(blr("--json", "plans", "runs", planName))[0].run;
  const drillFile = path.join(dir, "drill.html");
  writeFileSync(drillFile, blr("plans", "report", String(drillRun), "--format", "html"));
  assert.throws(() => blr("plans", "failover", planName), "one pair fails");
  const run = JSON.parse(blr("--json", "plans", "runs", planName))[0].run;
  const report = JSON.parse(blr("--json", "plans", "report", String(run)));
  assert.deepEqual(report.outcomes, { done: 5, failed: 1 });
  const file = path.join(dir, "report.html");
  writeFileSync(file, blr("plans", "report", String(run), "--format", "html"));

  browser = await puppeteer.launch({
    executablePath: process.env.BLR_CHROMIUM, headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  await page.goto("file://" + drillFile, { waitUntil: "load" });
  const drill = await page.evaluate(() => ({
    overflow: document.documentElement.scrollWidth - innerWidth,
    rows: document.querySelectorAll("svg.timeline g.row").length,
    text: document.body.textContent,
  }));
  assert.ok(drill.overflow <= 0, `the drill's report fits 1280 px (${drill.overflow} px over)`);
  assert.equal(drill.rows, ids.length, "one timeline row per pair of the drill");
  assert.ok(drill.text.includes("Recovery time") && !drill.text.includes('"title"'), "figures, no JSON");
  const fetched = [];
  page.on("request", (r) => fetched.push(r.url()));
  await page.setViewport({ width: 1280, height: 800 });
  await page.goto("file://" + file, { waitUntil: "load" });
  assert.deepEqual(fetched, ["file://" + file], "the page loads nothing else");

  const layout = await page.evaluate(() => ({
    overflow: document.documentElement.scrollWidth - innerWidth,
    rows: [...document.querySelectorAll("svg.timeline g.row")].map((g) => g.dataset.pair),
    failedLabels: [...document.querySelectorAll("svg.timeline .row-label.s-failed")].map((t) => t.textContent),
    groups: document.querySelectorAll("svg.timeline g.group-head").length,
    h1: document.querySelector("h1").textContent,
    markup: document.querySelectorAll("h1 *, td b, td i, td script").length,
    failedRow: document.querySelector("tr.pair-failed")?.textContent ?? "",
  }));
  assert.ok(layout.overflow <= 0, `no horizontal scroll at 1280 px (${layout.overflow} px over)`);
  assert.deepEqual(layout.rows, ids.map(String), "one timeline row per pair, in plan order");
  assert.deepEqual(layout.failedLabels, [`pair ${ids[5]}`]);
  assert.equal(layout.groups, 3);
  assert.equal(layout.h1, `Run ${run} of plan dr <b>site</b>\\x07`, "markup and control characters shown");
  assert.equal(layout.markup, 0, "no stored text became markup");
  assert.ok(layout.failedRow.includes(refusal), "the refusal is shown as text: " + layout.failedRow);

  mkdirSync(artefacts, { recursive: true });
  await page.screenshot({ path: path.join(artefacts, "run-report.png"), fullPage: true });
  if (docsImages) {
    await page.screenshot({ path: path.join(artefacts, "run-report-top.png") });
    copyFileSync(path.join(artefacts, "run-report-top.png"), path.join(docsImages, "run-report.png"));
  }

  // Print: on an A4 page's width (210 mm less 2 × 12 mm at 96 px to the
  // inch), no table is wider than the page or cut inside.
  await page.emulateMediaType("print");
  await page.setViewport({ width: 703, height: 1000 });
  const clipped = await page.evaluate(() => [...document.querySelectorAll("table")]
    .filter((t) => t.scrollWidth > t.clientWidth + 1 ||
                   t.getBoundingClientRect().right > document.documentElement.clientWidth + 1)
    .map((t) => t.className || t.outerHTML.slice(0, 80)));
  assert.deepEqual(clipped, [], "tables clipped in print");
  const breaks = await page.$$eval("section.group", (s) => s.map((e) => getComputedStyle(e).breakBefore));
  assert.deepEqual(breaks, ["page", "page", "page"], "a page per group");
  await page.pdf({ path: path.join(artefacts, "run-report.pdf"), format: "A4" });
  console.log(`run report: ${ids.length} rows, escaped texts, fits 1280 px and A4; artefacts in ${artefacts}`);
} finally {
  if (browser) await browser.close();
  await trial.end();
}
