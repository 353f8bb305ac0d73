// The report page of a large plan in headless Debian Chromium: for each page
// that report_pages wrote, the time from navigation start to the first drawn
// frame, and the time of one window resize, one selection click, one search
// keystroke while that model is selected, one with no model selected and one
// move of a panel drag, each until two frames have been drawn after it.
// Prints the median of the runs with their range.
//
//   node report_bench.mjs PAGES_DIR [RUNS] [FADES]
//
// FADES "on" or "off" overrides the page's own choice of whether boxes and
// edges fade, for every size: what the page's threshold was chosen by.
import { createRequire } from "node:module";
import { readdirSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

const require = createRequire(new URL("../../tests/browser/package.json", import.meta.url));
const { chromium } = require("playwright-core");

const pagesDir = process.argv[2];
const runs = Number(process.argv[3] ?? 5);
const fades = process.argv[4] ?? "auto";
if (!pagesDir || !(runs >= 1) || !["auto", "on", "off"].includes(fades)) {
  console.error("usage: node report_bench.mjs PAGES_DIR [RUNS] [on|off]");
  process.exit(2);
}

const viewport = { width: 1280, height: 800 };

// Installed before the page's own script: notes when the first frame after
// the page's script was drawn, and when a resize event came and two frames
// after it were drawn.
function probe() {
  const twoFrames = (done) => requestAnimationFrame(() => requestAnimationFrame(done));
  window.__bench = { drawn: null, resized: null };
  document.addEventListener("DOMContentLoaded", () => {
    twoFrames(() => { window.__bench.drawn = performance.now(); });
  });
  window.addEventListener("resize", () => {
    const start = performance.now();
    twoFrames(() => { window.__bench.resized = performance.now() - start; });
  });
}

// Runs one action in the page and returns the milliseconds until two frames
// have been drawn after it.
function timed(page, action, argument) {
  return page.evaluate(
    ([source, arg]) => {
      const act = new Function("arg", source);
      return new Promise((resolve) => {
        const start = performance.now();
        act(arg);
        requestAnimationFrame(() => requestAnimationFrame(() => resolve(performance.now() - start)));
      });
    },
    [action, argument],
  );
}

const settle = (page) =>
  page.evaluate(() => new Promise((resolve) => setTimeout(() => requestAnimationFrame(() => requestAnimationFrame(resolve)), 300)));

async function measure(page, url) {
  await page.setViewportSize(viewport);
  await page.goto(url, { waitUntil: "load", timeout: 0 });
  await page.waitForFunction(() => window.__bench.drawn !== null, null, { timeout: 0, polling: 50 });
  const result = { drawn: await page.evaluate(() => window.__bench.drawn) };
  if (fades !== "auto") {
    await page.evaluate((off) => document.querySelector(".viz-root").classList.toggle("no-fades", off), fades === "off");
  }
  await settle(page);

  await page.setViewportSize({ width: viewport.width - 80, height: viewport.height });
  await page.waitForFunction(() => window.__bench.resized !== null, null, { timeout: 0, polling: 50 });
  result.resize = await page.evaluate(() => window.__bench.resized);
  await settle(page);

  // A model in the middle layer, with ancestors and descendants.
  result.click = await timed(page, `
    const boxes = document.querySelectorAll(".node-box");
    boxes[Math.floor(boxes.length / 2)].click();`);
  await settle(page);

  // The first keystroke of a search with that model selected: its
  // lineage's highlighting gives way to the matches.
  const type = `
    const search = document.getElementById("search");
    search.value = arg;
    search.dispatchEvent(new Event("input", { bubbles: true }));`;
  result.selectedKeystroke = await timed(page, type, "7");
  await settle(page);

  // The same keystroke with nothing selected: every box and edge goes from
  // plain to matched or dimmed.
  await timed(page, type, "");
  await timed(page, `document.getElementById("graph-scroll").click();`);
  await settle(page);
  result.keystroke = await timed(page, type, "7");
  await settle(page);

  const handle = await page.$eval("#panel-resize-handle", (el) => {
    const rect = el.getBoundingClientRect();
    return { x: rect.left + rect.width / 2, y: rect.top + rect.height / 2 };
  });
  await page.evaluate(({ x, y }) => {
    document.getElementById("panel-resize-handle")
      .dispatchEvent(new MouseEvent("mousedown", { bubbles: true, cancelable: true, clientX: x, clientY: y }));
  }, handle);
  result.drag = await timed(page, `
    document.dispatchEvent(new MouseEvent("mousemove", { bubbles: true, clientX: arg.x - 40, clientY: arg.y }));`, handle);
  await page.evaluate(() => document.dispatchEvent(new MouseEvent("mouseup", { bubbles: true })));
  return result;
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const middle = Math.floor(sorted.length / 2);
  return sorted.length % 2 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

const pages = readdirSync(pagesDir)
  .filter((name) => /^report-\d+\.html$/.test(name))
  .sort((a, b) => Number(a.match(/\d+/)[0]) - Number(b.match(/\d+/)[0]));
if (pages.length === 0) {
  console.error(`report_bench: no report-N.html in ${pagesDir}`);
  process.exit(1);
}

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--no-first-run"],
});
try {
  const names = ["drawn", "resize", "click", "selectedKeystroke", "keystroke", "drag"];
  const headings = ["drawn", "resize", "click", "key (selected)", "key (no selection)", "drag"];
  console.log(`report page, headless Chromium, ${viewport.width}x${viewport.height}, ms` +
              (runs > 1 ? `, median of ${runs} runs (min-max)` : ", one run") +
              (fades === "auto" ? "" : `, fades forced ${fades}`));
  console.log(["models", "edges", ...headings].map((name) => name.padStart(22)).join(""));
  for (const name of pages) {
    const url = pathToFileURL(join(pagesDir, name)).href;
    const samples = [];
    let counts;
    for (let run = 0; run < runs; ++run) {
      const context = await browser.newContext({ viewport });
      await context.addInitScript(probe);
      const page = await context.newPage();
      samples.push(await measure(page, url));
      counts ??= await page.evaluate(() => [document.querySelectorAll(".node-box").length,
                                              document.querySelectorAll("#edges path").length]);
      await context.close();
    }
    const cells = names.map((key) => {
      const values = samples.map((sample) => sample[key]);
      const range = runs > 1 ? ` (${Math.round(Math.min(...values))}-${Math.round(Math.max(...values))})` : "";
      return `${Math.round(median(values))}${range}`.padStart(22);
    });
    console.log([String(counts[0]).padStart(22), String(counts[1]).padStart(22), ...cells].join(""));
  }
} finally {
  await browser.close();
}
