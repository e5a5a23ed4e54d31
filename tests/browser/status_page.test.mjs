// The status page in a real browser: a trial installation (central server
// with its monitoring listener, two simulated proxies), headless Chromium
// driven by puppeteer-core.  Checks that the table shows the pairs, that the
// filters work, and that a failover's steps appear while it runs; saves a
// screenshot to $BLR_ARTEFACT_DIR.
import { execFileSync, spawn } from "node:child_process";
import { appendFileSync, mkdirSync } from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import puppeteer from "puppeteer-core";
import { Trial, until } from "./trial.mjs";

const artefacts = process.env.BLR_ARTEFACT_DIR;
const browserPath = process.env.BLR_CHROMIUM;
const trial = new Trial("page");
const { dir, env } = trial;
const blr = (...args) => trial.blr(...args);
const start = (args, ready) => trial.start(args, ready);

function createPair(name, guid, head, tail) {
  blr("pairs", "create", "--sub-client", "7", "--dst-client", tail, "--head", head, "--tail", tail,
      "--src-name", name, "--src-guid", guid, "--dst-name", name + "-dr",
      "--disk", `${guid.slice(0, 24)}aaaaaaaaaaaa:/vmfs/${name}/disk0.vmdk`);
  const pair = JSON.parse(blr("--json", "pairs", "list", "--src-name", name))[0];
  return pair.id;
}

let browser;
try {
  execFileSync("blr", ["certs", "init", ".", "--proxy", "head1", "--proxy", "tail1", "--proxy", "head2",
                       "--operator", "cli", "--registries"], { cwd: dir, env });
  appendFileSync(path.join(dir, "anchor.reg"),
                 "[Metrics]\nnListenPort = 0\nnLagWarnSecs = 60\nnLagAlertSecs = 600\n");
  const out = await start("blr-anchor serve --registry anchor.reg", /metrics on (\S+)\/metrics/);
  const base = out.match(/metrics on (\S+)\/metrics/)[1] + "/";
  // The flush of a failover waits this long: time to watch it on the page.
  const proxyArgs = "--set sync-delay-ms=200 --set flush-delay-ms=4000";
  for (const name of ["head1", "tail1"])
    await start(`blr-proxy --registry ${name}.reg --state-file ${name}.state ${proxyArgs}`, /\n/);

  // Pairs 1-2 from head1 (client 2), 3 from head2 (client 4); all to tail1.
  const web = createPair("web01", "6f1c0a3e-5b7d-4c2a-9e8f-1a2b3c4d5e6f", "2", "3");
  createPair("db01", "5e4d3c2b-1a09-4f8e-8d7c-6b5a49382716", "2", "3");
  createPair("mail01", "7a6b5c4d-3e2f-4a1b-9c8d-7e6f5a4b3c2d", "4", "3");
  blr("pairs", "set-lag", "2", "120");
  blr("pairs", "set-lag", "3", "3600");
  blr("pairs", "set-status", "3", "6");
  blr("pairs", "set-dest", String(web), "--dst-guid", "0c9d8e7f-6a5b-4c3d-2e1f-0a9b8c7d6e5f",
      "--disk", "1=a1a1a1a1-0000-4000-8000-000000000001:/dr/web01/disk0.vmdk");
  blr("proxies", "start", String(web));
  await until("pair 1 running", () => JSON.parse(blr("--json", "pairs", "show", "1")).statusCode === 4);

  browser = await puppeteer.launch({
    executablePath: browserPath, headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
  });
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 900 });
  const outside = [];
  page.on("request", (r) => { if (!r.url().startsWith(base)) outside.push(r.url()); });
  await page.goto(base, { waitUntil: "networkidle0" });

  const rows = () => page.$$eval("#pairs tbody tr", (trs) => trs.map((tr) =>
    [...tr.children].map((td) => td.textContent)));
  await until("three pairs in the table", async () => (await rows()).length === 3);
  const table = await rows();
  assert.deepEqual(table.map((r) => r[1]), ["web01", "db01", "mail01"]);
  assert.deepEqual(table.map((r) => r[3]), ["head1", "head1", "head2"]);
  const lagClasses = await page.$$eval("#pairs tbody tr td:nth-child(8)", (tds) => tds.map((td) => td.className));
  assert.deepEqual(lagClasses, ["num lag-ok", "num lag-warn", "num lag-alert"]);

  // Sorting by lag, highest first: a second click on the header.
  await page.click('#pairs th[data-key="lagSecs"]');
  await page.click('#pairs th[data-key="lagSecs"]');
  assert.deepEqual((await rows()).map((r) => r[1]), ["mail01", "db01", "web01"]);

  await page.select("#status-filter", "stopped");
  assert.deepEqual((await rows()).map((r) => r[1]), ["mail01"]);
  await page.select("#status-filter", "");
  await page.type("#client-filter", "head1");
  assert.deepEqual((await rows()).map((r) => r[1]).sort(), ["db01", "web01"]);
  await page.click("#client-filter", { clickCount: 3 });
  await page.keyboard.press("Backspace");
  await until("all pairs again", async () => (await rows()).length === 3);

  // A failover runs: its steps show up on the page before it ends.
  const failover = spawn("blr", ["-r", "cli.reg", "failover", String(web), "--latest"], { cwd: dir, env });
  let failoverDone = false;
  const exit = new Promise((resolve) => failover.on("exit", (code) => { failoverDone = true; resolve(code); }));
  const seen = await until("the running failover on the page", async () => {
    const steps = await page.$$eval(`#runs .run[data-pair-id="${web}"] li`, (lis) =>
      lis.map((li) => [li.textContent, li.className]));
    return steps.some(([text, cls]) => text.startsWith("VM stopped") && cls === "done") && steps;
  });
  assert.equal(failoverDone, false, "the steps must appear while the failover runs: " + JSON.stringify(seen));
  // The flush waits on the proxies: shown under way, not failed.
  await until("the flush under way", async () =>
    (await page.$$eval(`#runs .run[data-pair-id="${web}"] li.running`, (lis) => lis.map((li) => li.textContent)))
      .some((t) => t.startsWith("Pipeline flushed")), 3000);
  // Its run record too: who started it, who carries it out, its pairs.
  const record = await until("the failover's run", async () =>
    (await page.$$eval("#run-list .run", (runs) => runs.map((r) => r.textContent)))
      .find((t) => t.includes(`failover of pair ${web}, running`)));
  assert.ok(record.includes("by cli") && record.includes("0 of 1 pairs done, 1 running"), record);
  mkdirSync(artefacts, { recursive: true });
  await page.screenshot({ path: path.join(artefacts, "status-page.png"), fullPage: true });
  assert.equal(await exit, 0, "the failover succeeds");
  await until("the finished failover gone from the page", async () =>
    (await page.$$(`#runs .run[data-pair-id="${web}"]`)).length === 0);
  await until("the failover's events", async () =>
    (await page.$$eval("#events tbody tr", (trs) => trs.map((tr) => tr.textContent)))
      .some((t) => t.includes("status failed over")));
  assert.deepEqual(outside, [], "the page loads nothing from elsewhere");
  // Nothing on the page offers a change.
  assert.equal(await page.$$eval("form, input[type=submit]", (e) => e.length), 0);
  console.log("status page: table, filters, sorting and a live failover shown; screenshot in " + artefacts);
} finally {
  if (browser) await browser.close();
  await trial.end();
}
