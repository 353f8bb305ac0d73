// The report page's looks that follow the system: the light and dark
// palettes, and highlighted edges that stand still under reduced motion.
import assert from "node:assert/strict";
import { test } from "node:test";
import { openReport, settle, useBrowser } from "./support.mjs";

const browser = useBrowser();

async function palette(page) {
  await settle(page);
  return page.evaluate(() => {
    const root = getComputedStyle(document.querySelector(".viz-root"));
    const box = getComputedStyle(document.querySelector(".node-box"));
    const prop = (name) => root.getPropertyValue(name).trim();
    return {
      surface1: prop("--surface-1"),
      seriesModel: prop("--series-model"),
      gridline: prop("--gridline"),
      colorScheme: root.colorScheme,
      text: root.color,
      boxBackground: box.backgroundColor,
      boxAccent: box.borderLeftColor,
      pageBackground: getComputedStyle(document.body).backgroundColor,
    };
  });
}

test("the palette follows the system's colour scheme, and switches with it", async () => {
  const page = await openReport(browser(), "shop.html", { colorScheme: "light" });
  const light = {
    surface1: "#fcfcfb",
    seriesModel: "#2a78d6",
    gridline: "#e1e0d9",
    colorScheme: "light",
    text: "rgb(11, 11, 11)",
    boxBackground: "rgb(252, 252, 251)",
    boxAccent: "rgb(42, 120, 214)",
    pageBackground: "rgb(249, 249, 247)",
  };
  const dark = {
    surface1: "#1a1a19",
    seriesModel: "#3987e5",
    gridline: "#2c2c2a",
    colorScheme: "dark",
    text: "rgb(255, 255, 255)",
    boxBackground: "rgb(26, 26, 25)",
    boxAccent: "rgb(57, 135, 229)",
    pageBackground: "rgb(13, 13, 13)",
  };
  assert.deepEqual(await palette(page), light);
  await page.emulateMedia({ colorScheme: "dark" });
  assert.deepEqual(await palette(page), dark);
  await page.emulateMedia({ colorScheme: "light" });
  assert.deepEqual(await palette(page), light);
});

test("highlighted edges are dashed and run, but stand still under reduced motion", async () => {
  const cases = [
    { reducedMotion: "no-preference", animation: "edge-flow" },
    { reducedMotion: "reduce", animation: "none" },
  ];
  for (const c of cases) {
    const page = await openReport(browser(), "shop.html", { reducedMotion: c.reducedMotion });
    await page.locator('.node-box[data-name="orders"]').click();
    await settle(page);
    const edge = await page.$eval("#edges path.highlighted", (path) => {
      const style = getComputedStyle(path);
      return { animation: style.animationName, dashes: style.strokeDasharray, width: style.strokeWidth };
    });
    assert.deepEqual(edge, { animation: c.animation, dashes: "7px, 5px", width: "2.25px" }, c.reducedMotion);
    }
});
