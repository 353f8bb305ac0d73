// The report page as loaded: columns and boxes, the edge curves, names that
// are markup, long names, an empty plan, and a page that loads nothing else.
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { join } from "node:path";
import { test } from "node:test";
import { openReport, pagesDir, settle, texts, useBrowser } from "./support.mjs";

const browser = useBrowser();

test("one column per layer present, ascending, boxes in locale order", async () => {
  const page = await openReport(browser(), "layout.html");
  const columns = await page.$$eval(".layer-col", (cols) =>
    cols.map((col) => [...col.querySelectorAll(".node-box")].map((box) => box.dataset.name)),
  );
  // Layers 0, 1, 2 and 10: numeric order, and no column for the missing ones.
  assert.deepEqual(columns.slice(1), [["eclair"], ["zeta"], ["ten"]]);
  const expected = await page.evaluate(() =>
    VELK_DBT_PLAN_DATA.nodes.filter((n) => n.layer === 0).map((n) => n.name).sort((a, b) => a.localeCompare(b)),
  );
  assert.deepEqual(columns[0], expected);
  // The fixture is only a test of locale order if byte order differs.
  assert.notDeepEqual(columns[0], [...expected].sort());
  // The data the page read is left in its own order.
  assert.equal(await page.evaluate(() => VELK_DBT_PLAN_DATA.nodes[0].name), "zeta");

  const box = await page.$$eval('.node-box[data-name="eclair"] span', (spans) =>
    spans.map((span) => [span.className, span.textContent]),
  );
  assert.deepEqual(box, [
    ["node-name", "eclair"],
    ["node-layer", "layer 1"],
    ["node-window", "2024-01-01 .. 2024-01-01"],
  ]);
  assert.deepEqual(page.errors, []);
});

// Every drawn path with its classes and the ends it should have, measured
// from the boxes as they stand; the drawing's size beside the size of
// what it covers.
function drawnEdges(page) {
  return page.evaluate(() => {
    const origin = document.getElementById("layers").getBoundingClientRect();
    const svg = document.getElementById("edges");
    const box = (name) => document.querySelector(`.node-box[data-name="${name}"]`).getBoundingClientRect();
    const paths = [...svg.querySelectorAll("path")].map((path) => {
      const up = box(path.dataset.upstream);
      const down = box(path.dataset.downstream);
      return {
        key: `${path.dataset.upstream}>${path.dataset.downstream}`,
        cls: path.getAttribute("class"),
        ns: path.namespaceURI,
        d: path.getAttribute("d"),
        start: [up.right - origin.left, up.top + up.height / 2 - origin.top],
        end: [down.left - origin.left, down.top + down.height / 2 - origin.top],
      };
    });
    const layers = document.getElementById("layers");
    return {
      paths,
      size: [svg.getAttribute("width"), svg.getAttribute("height"), svg.getAttribute("viewBox")],
      scroll: [layers.scrollWidth, layers.scrollHeight],
    };
  });
}

// One path per edge of the data, in its order, each a cubic curve from the
// upstream box's right middle to the downstream box's left middle, in a
// drawing as large as the boxes' container.
async function assertCurves(page, drawn, classes = () => "edge") {
  const dataEdges = await page.evaluate(() => VELK_DBT_PLAN_DATA.edges.map((e) => `${e.upstream}>${e.downstream}`));
  assert.deepEqual(drawn.paths.map((p) => p.key), dataEdges);
  const [w, h] = drawn.scroll;
  assert.deepEqual(drawn.size, [String(w), String(h), `0 0 ${w} ${h}`]);

  const number = String.raw`(-?[\d.]+(?:e-?\d+)?)`;
  const cubic = new RegExp(`^M ${number} ${number} C ${number} ${number}, ${number} ${number}, ${number} ${number}$`);
  for (const path of drawn.paths) {
    assert.equal(path.cls, classes(path.key));
    assert.equal(path.ns, "http://www.w3.org/2000/svg");
    const m = cubic.exec(path.d);
    assert.ok(m, `${path.key}: ${path.d}`);
    const [x1, y1, c1x, c1y, c2x, c2y, x2, y2] = m.slice(1).map(Number);
    const near = (a, b) => Math.abs(a - b) < 0.01;
    assert.ok(near(x1, path.start[0]) && near(y1, path.start[1]), path.key);
    assert.ok(near(x2, path.end[0]) && near(y2, path.end[1]), path.key);
    const dx = Math.max(40, (x2 - x1) / 2);
    assert.ok(near(c1x, x1 + dx) && near(c1y, y1) && near(c2x, x2 - dx) && near(c2y, y2), path.key);
  }
  return dataEdges;
}

test("one cubic curve per edge, from the upstream box's right middle to the downstream box's left middle", async () => {
  const page = await openReport(browser(), "shop.html");
  const dataEdges = await assertCurves(page, await drawnEdges(page));
  assert.equal(dataEdges.length, 13);
});

test("after a window resize and a drag of the handle every edge is redrawn from where its boxes are", async () => {
  const page = await openReport(browser(), "skips.html");
  await page.click('.node-box[data-name="stg_a"]');
  // raw_a > stg_a > mart > report is stg_a's lineage; raw_a > report runs
  // from an ancestor straight to a descendant and is highlighted too.
  const lineage = new Set(["raw_a>stg_a", "stg_a>mart", "mart>report", "raw_a>report"]);
  const classes = (key) => (lineage.has(key) ? "edge highlighted" : "edge dimmed");
  await assertCurves(page, await drawnEdges(page), classes);
  await page.evaluate(() => { window.firstPath = document.querySelector("#edges path"); });

  await page.setViewportSize({ width: 700, height: 420 });
  await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
  const resized = await drawnEdges(page);
  await assertCurves(page, resized, classes);
  // Rebuilt, not moved: the first drawing's paths are gone from the page.
  assert.equal(await page.evaluate(() => window.firstPath.isConnected), false);

  const handle = await page.$("#panel-resize-handle");
  const h = await handle.boundingBox();
  await page.mouse.move(h.x + 3, h.y + 100);
  await page.mouse.down();
  await page.mouse.move(h.x - 37, h.y + 110, { steps: 2 });
  await page.mouse.up();
  const dragged = await drawnEdges(page);
  await assertCurves(page, dragged, classes);
  // The handle moved and the graph area with it, so the redraws measured a
  // page laid out anew.
  assert.ok((await handle.boundingBox()).x < h.x - 30);
  assert.deepEqual(page.errors, []);
});

test("an empty plan shows no columns, no edges and the prompt", async () => {
  const page = await openReport(browser(), "empty.html");
  assert.equal(await page.locator(".layer-col").count(), 0);
  assert.equal(await page.locator("#edges path").count(), 0);
  assert.equal(await page.locator("#panel-empty").isVisible(), true);
  assert.equal(await page.locator("#panel-content").isVisible(), false);
  assert.equal(await page.locator("#default-yesterday-banner").count(), 0);
  assert.deepEqual(page.errors, []);
  // The script keeps its names to itself: the data is the page's one global.
  const added = await page.evaluate(() => {
    const frame = document.body.appendChild(document.createElement("iframe"));
    const blank = new Set(Object.keys(frame.contentWindow));
    return Object.keys(window).filter((key) => !blank.has(key) && window[key] !== frame.contentWindow);
  });
  assert.deepEqual(added, ["VELK_DBT_PLAN_DATA"]);
});

test("names holding markup, entities and a script end tag show literally", async () => {
  const page = await openReport(browser(), "tricky.html");
  const names = await page.evaluate(() => VELK_DBT_PLAN_DATA.nodes.map((n) => n.name));
  assert.deepEqual(names, [
    "<b>bold</b> & co",
    "</script><script>window.PWNED = 1</script>",
    "<!--<script>",
    'quote"back\\slash &amp;',
  ]);
  assert.deepEqual((await texts(page, ".node-name")).sort(), [...names].sort());
  assert.equal(await page.evaluate(() => window.PWNED), undefined);
  assert.equal(await page.locator("#layers b, #layers script").count(), 0);
  assert.equal(await page.locator("#edges path").count(), 3);

  await page.locator(".node-box", { hasText: "quote" }).click();
  assert.equal(await page.locator("#panel-title").textContent(), 'quote"back\\slash &amp;');
  assert.deepEqual(await texts(page, "#panel-upstream li"), ["<!--<script>", "</script><script>window.PWNED = 1</script>"]);
  assert.deepEqual(page.errors, []);
});

test("a long name wraps inside its box and the panel title and is never cut", async () => {
  const page = await openReport(browser(), "long.html");
  const name = await page.evaluate(() => VELK_DBT_PLAN_DATA.nodes[1].name);
  assert.ok(name.length >= 150);
  const box = page.locator(`.node-box[data-name="${name}"]`);
  await box.click();
  const measured = await page.evaluate((name) => {
    const measure = (el) => {
      const style = getComputedStyle(el);
      return {
        text: el.textContent,
        width: el.getBoundingClientRect().width,
        height: el.getBoundingClientRect().height,
        lineHeight: parseFloat(style.lineHeight) || parseFloat(style.fontSize) * 1.2,
        overflows: el.scrollWidth > el.clientWidth,
        cut: style.textOverflow === "ellipsis" || style.whiteSpace === "nowrap" || style.overflow === "hidden",
      };
    };
    const boxes = [...document.querySelectorAll(".node-box")];
    const own = boxes.find((b) => b.dataset.name === name);
    return {
      box: own.getBoundingClientRect().width,
      short: boxes.find((b) => b.dataset.name === "src").getBoundingClientRect().width,
      boxName: measure(own.querySelector(".node-name")),
      title: measure(document.getElementById("panel-title")),
      panel: document.getElementById("panel").clientWidth,
    };
  }, name);
  assert.equal(measured.box, 320);
  assert.ok(measured.short >= 160 && measured.short < 320, `short box: ${measured.short}`);
  for (const part of [measured.boxName, measured.title]) {
    assert.equal(part.text, name);
    assert.equal(part.overflows, false);
    assert.equal(part.cut, false);
    assert.ok(part.height > 2 * part.lineHeight, `wrapped onto several lines: ${part.height}`);
  }
  assert.ok(measured.title.width <= measured.panel);
});

test("the page requests nothing beyond itself", async () => {
  // The page is served from a made-up loopback origin by the route itself,
  // so every request the page makes passes through the route.
  const origin = "http://127.0.0.1:9";
  const page = await browser().newPage();
  const requests = [];
  page.on("request", (request) => requests.push(request.url()));
  await page.route("**/*", (route) => {
    const url = route.request().url();
    if (url === `${origin}/shop.html`) {
      return route.fulfill({ contentType: "text/html", body: readFileSync(join(pagesDir, "shop.html")) });
    }
    return route.abort();
  });
  await page.goto(`${origin}/shop.html`);
  await page.locator('.node-box[data-name="orders"]').click();
  await page.locator("#search").fill("order");
  await page.locator("#search").focus();
  await page.mouse.move(1000, 400);
  await page.waitForLoadState("networkidle");
  assert.deepEqual(requests, [`${origin}/shop.html`]);
  await page.close();
});

test("screenshot of a shop-like plan with the default-yesterday banner", async () => {
  const page = await openReport(browser(), "shop.html");
  assert.equal(
    await page.locator("#default-yesterday-banner").textContent(),
    "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node to yesterday (2024-05-01)",
  );
  await page.setViewportSize({ width: 1440, height: 720 });
  await page.locator('.node-box[data-name="orders"]').click();
  await settle(page);
  await page.screenshot({ path: join(pagesDir, "report.png") });
  await page.emulateMedia({ colorScheme: "dark" });
  await settle(page);
  await page.screenshot({ path: join(pagesDir, "report-dark.png") });
  assert.deepEqual(page.errors, []);
});

test("the example project's report, as the tool writes it, shows every planned model", async () => {
  const plan = JSON.parse(readFileSync(join(pagesDir, "example-shop/target/velk/dbt_plan.json"), "utf8"));
  const page = await openReport(browser(), "example.html");
  const names = await page.$$eval(".node-box", (boxes) => boxes.map((box) => box.dataset.name).sort());
  assert.deepEqual(names, plan.models.map((model) => model.name).sort());
  const edges = plan.models.reduce((count, model) => count + model.depends_on.length, 0);
  assert.equal(await page.locator("#edges path").count(), edges);
  await page.setViewportSize({ width: 1600, height: 760 });
  await page.locator('.node-box[data-name="orders_daily"]').click();
  await settle(page);
  await page.screenshot({ path: join(pagesDir, "example.png") });
  assert.deepEqual(page.errors, []);
});
