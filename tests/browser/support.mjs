// Shared by the browser tests: starts Debian's headless Chromium with a fresh
// profile and opens the report pages written by html_fixture_pages.
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { pathToFileURL } from "node:url";
import { after, before } from "node:test";
import { chromium } from "playwright-core";

export const pagesDir = process.env.VELK_PAGES ?? new URL("../../build/browser", import.meta.url).pathname;

export function pageUrl(name) {
  return pathToFileURL(join(pagesDir, name)).href;
}

const defaultMedia = { colorScheme: "light", reducedMotion: "no-preference" };
const defaultViewport = { width: 1280, height: 800 };
const tabs = new WeakMap();

// Starts one browser for the test file and closes it after the last test.
// Returns a getter for the browser context.
export function useBrowser() {
  let context;
  let profile;
  before(async () => {
    profile = mkdtempSync(join(tmpdir(), "velk-chromium-"));
    context = await chromium.launchPersistentContext(profile, {
      executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
      headless: true,
      viewport: defaultViewport,
      args: [
        "--no-sandbox",
        "--disable-gpu",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--no-first-run",
        "--disable-quic",
      ],
    });
  });
  after(async () => {
    await context?.close();
    if (profile) rmSync(profile, { recursive: true, force: true });
  });
  return () => context;
}

// Opens a fixture page in the test file's one tab, with the window size and
// media features (colorScheme, reducedMotion) set back to their defaults
// unless `media` names them. Script errors on the page collect in
// `page.errors`.
export async function openReport(context, name, media = {}) {
  let page = tabs.get(context);
  if (page === undefined) {
    page = context.pages()[0] ?? (await context.newPage());
    page.on("pageerror", (error) => page.errors.push(error.message));
    tabs.set(context, page);
  }
  page.errors = [];
  await page.setViewportSize(defaultViewport);
  await page.emulateMedia({ ...defaultMedia, ...media });
  await page.goto(pageUrl(name));
  return page;
}

// The classes of every box, by model name.
export function boxClasses(page) {
  return page.$$eval(".node-box", (boxes) =>
    Object.fromEntries(boxes.map((box) => [box.dataset.name, [...box.classList].filter((c) => c !== "node-box").sort().join(" ")])),
  );
}

// The classes of every edge, keyed "upstream>downstream".
export function edgeClasses(page) {
  return page.$$eval("#edges path", (paths) =>
    Object.fromEntries(
      paths.map((path) => [
        `${path.dataset.upstream}>${path.dataset.downstream}`,
        [...path.classList].filter((c) => c !== "edge").sort().join(" "),
      ]),
    ),
  );
}

export function texts(page, selector) {
  return page.$$eval(selector, (els) => els.map((el) => el.textContent));
}

// Waits until the style transitions under way (colours, widths, opacity)
// have ended, so that computed styles and screenshots show their end state.
export function settle(page) {
  return page.evaluate(() =>
    Promise.all(document.getAnimations().filter((a) => a instanceof CSSTransition).map((a) => a.finished)),
  );
}
