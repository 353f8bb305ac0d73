// What a user does on the report page: selecting a model, searching,
// clearing, the panel's lists and the resize handle.
import assert from "node:assert/strict";
import { test } from "node:test";
import { boxClasses, edgeClasses, openReport, texts, useBrowser } from "./support.mjs";

const browser = useBrowser();

const box = (page, name) => page.locator(`.node-box[data-name="${name}"]`);

// Selecting "orders" in the shop plan: its two staging parents are its
// ancestors, everything after it but product_catalog's branch is downstream.
const ordersLineage = {
  boxes: {
    stg_customers: "dimmed",
    stg_orders: "highlighted",
    stg_payments: "highlighted",
    stg_products: "dimmed",
    orders: "selected",
    product_catalog: "dimmed",
    customers: "highlighted",
    daily_revenue: "highlighted",
    order_items: "highlighted",
    customer_lifetime_value: "highlighted",
    product_sales: "highlighted",
    finance_summary: "highlighted",
  },
  edges: {
    "stg_orders>orders": "highlighted",
    "stg_payments>orders": "highlighted",
    "stg_products>product_catalog": "dimmed",
    "stg_customers>customers": "dimmed",
    "orders>customers": "highlighted",
    "orders>daily_revenue": "highlighted",
    "orders>order_items": "highlighted",
    "product_catalog>order_items": "dimmed",
    "customers>customer_lifetime_value": "highlighted",
    "orders>customer_lifetime_value": "highlighted",
    "order_items>product_sales": "highlighted",
    "daily_revenue>finance_summary": "highlighted",
    "customer_lifetime_value>finance_summary": "highlighted",
  },
};

test("a click on a box selects the model, highlights its lineage and fills the panel", async () => {
  const page = await openReport(browser(), "shop.html");
  assert.equal(await page.locator("#panel-content").isVisible(), false);
  await box(page, "orders").click();
  assert.deepEqual(await boxClasses(page), ordersLineage.boxes);
  assert.deepEqual(await edgeClasses(page), ordersLineage.edges);

  assert.equal(await page.locator("#panel-empty").isVisible(), false);
  assert.equal(await page.locator("#panel-title").textContent(), "orders");
  assert.equal(await page.locator("#panel-layer").textContent(), "Layer 1");
  assert.equal(await page.locator("#panel-window").textContent(), "2024-04-28 .. 2024-05-01");
  assert.deepEqual(await texts(page, "#panel-upstream li"), ["stg_orders", "stg_payments"]);
  // The dependents in the data's edge order, which is their plan order.
  assert.deepEqual(await texts(page, "#panel-downstream li"), [
    "customers",
    "daily_revenue",
    "order_items",
    "customer_lifetime_value",
  ]);

  // An edge from an ancestor straight to a descendant, past the selected
  // model, belongs to the lineage too.
  await box(page, "customers").click();
  const edges = await edgeClasses(page);
  assert.equal(edges["orders>customer_lifetime_value"], "highlighted");
  assert.equal(edges["stg_orders>orders"], "highlighted");
  assert.equal(edges["orders>daily_revenue"], "dimmed");
  assert.equal((await boxClasses(page)).daily_revenue, "dimmed");
  assert.deepEqual(page.errors, []);
});

test("a name in the panel's lists selects that model and empties the search box", async () => {
  const page = await openReport(browser(), "shop.html");
  await box(page, "orders").click();
  await page.locator("#search").fill("stg");
  await page.locator("#panel-downstream li", { hasText: "daily_revenue" }).click();
  assert.equal(await page.locator("#search").inputValue(), "");
  assert.equal(await page.locator("#panel-title").textContent(), "daily_revenue");
  assert.deepEqual(await texts(page, "#panel-upstream li"), ["orders"]);
  const classes = await boxClasses(page);
  assert.equal(classes.daily_revenue, "selected");
  assert.equal(classes.finance_summary, "highlighted");
  assert.equal(classes.customers, "dimmed");

  await page.locator("#panel-upstream li", { hasText: "orders" }).click();
  assert.deepEqual(await boxClasses(page), ordersLineage.boxes);
});

test("search marks and dims, hides the lineage meanwhile, and gives it back when emptied", async () => {
  const page = await openReport(browser(), "shop.html");
  await box(page, "orders").click();
  const search = page.locator("#search");

  const cases = [
    { what: "case-insensitive substring", text: "  ORDER ", matches: ["orders", "order_items", "stg_orders"] },
    { what: "no pattern characters", text: "stg_.*", matches: [] },
    { what: "nothing matches", text: "zzz", matches: [] },
  ];
  for (const c of cases) {
    await search.fill(c.text);
    const classes = await boxClasses(page);
    for (const [name, cls] of Object.entries(classes)) {
      assert.equal(cls, c.matches.includes(name) ? "search-match" : "dimmed", `${c.what}: ${name}`);
    }
    const edges = Object.values(await edgeClasses(page));
    assert.ok(edges.length === 13 && edges.every((e) => e === "dimmed"), c.what);
    // The panel keeps the selected model.
    assert.equal(await page.locator("#panel-title").textContent(), "orders", c.what);
  }

  // White space alone counts as empty: the lineage shows again.
  await search.fill("   ");
  assert.deepEqual(await boxClasses(page), ordersLineage.boxes);
  await search.fill("pay");
  await search.fill("");
  assert.deepEqual(await boxClasses(page), ordersLineage.boxes);
  assert.deepEqual(await edgeClasses(page), ordersLineage.edges);
});

test("an Entry Node's empty Upstream list shows the placeholder; an empty Downstream list does not", async () => {
  const page = await openReport(browser(), "shop.html");
  const after = (id) =>
    page.$eval(id, (el) => {
      const style = getComputedStyle(el, "::after");
      return { content: style.content, fontStyle: style.fontStyle };
    });

  await box(page, "stg_orders").click();
  assert.equal(await page.locator("#panel-upstream li").count(), 0);
  assert.deepEqual(await after("#panel-upstream"), { content: '"(none \u2014 an Entry Node)"', fontStyle: "italic" });
  // Only the descendants are highlighted.
  const classes = await boxClasses(page);
  assert.equal(classes.stg_payments, "dimmed");
  assert.equal(classes.orders, "highlighted");

  await box(page, "finance_summary").click();
  assert.equal(await page.locator("#panel-downstream li").count(), 0);
  assert.doesNotMatch((await after("#panel-downstream")).content, /Entry Node/);
  assert.notEqual((await after("#panel-upstream")).content, '"(none \u2014 an Entry Node)"');
});

test("a click on empty graph area clears the selection; a click on a column between boxes does not", async () => {
  const page = await openReport(browser(), "shop.html");
  const points = await page.evaluate(() => {
    const rect = (el) => el.getBoundingClientRect();
    const cols = [...document.querySelectorAll(".layer-col")];
    const first = rect(cols[0].children[0]);
    const second = rect(cols[0].children[1]);
    const between = { x: first.left + 30, y: (first.bottom + second.top) / 2 };
    const gap = { x: (rect(cols[0]).right + rect(cols[1]).left) / 2, y: first.top + 10 };
    const below = { x: rect(cols[1]).left + 20, y: rect(cols[1]).bottom + 40 };
    const at = (p) => {
      const el = document.elementFromPoint(p.x, p.y);
      return el.id || el.className;
    };
    return { between, gap, below, targets: [at(between), at(gap), at(below)] };
  });
  // The fixture's points hit what the test means them to.
  assert.deepEqual(points.targets, ["layer-col", "layers", "layers"]);

  await box(page, "orders").click();
  await page.mouse.click(points.between.x, points.between.y);
  assert.equal((await boxClasses(page)).orders, "selected");
  assert.equal(await page.locator("#panel-content").isVisible(), true);

  for (const point of [points.gap, points.below]) {
    await page.locator("#search").fill("");
    await box(page, "orders").click();
    await page.locator("#search").fill("cust");
    await page.mouse.click(point.x, point.y);
    // The search stays, and once emptied no lineage comes back.
    assert.equal(await page.locator("#search").inputValue(), "cust");
    await page.locator("#search").fill("");
    assert.ok(Object.values(await boxClasses(page)).every((c) => c === ""));
    assert.ok(Object.values(await edgeClasses(page)).every((c) => c === ""));
    assert.equal(await page.locator("#panel-empty").isVisible(), true);
    assert.equal(await page.locator("#panel-content").isVisible(), false);
  }

  // The scroll area itself, outside the layers container, clears too.
  await box(page, "orders").click();
  await page.$eval("#graph-scroll", (el) => el.click());
  assert.equal(await page.locator("#panel-empty").isVisible(), true);
});

test("the resize handle keeps the panel between 240 and the main width minus 300", async () => {
  const page = await openReport(browser(), "shop.html");
  await box(page, "orders").click();
  const handle = page.locator("#panel-resize-handle");
  assert.equal(await handle.getAttribute("title"), "Drag to resize");
  const panelWidth = () => page.$eval("#panel", (el) => el.getBoundingClientRect().width);
  const mainWidth = await page.$eval("#main", (el) => el.getBoundingClientRect().width);
  assert.equal(await panelWidth(), 340);

  const drag = async (toX) => {
    const h = await handle.boundingBox();
    await page.mouse.move(h.x + 3, h.y + 100);
    await page.mouse.down();
    assert.equal(await handle.evaluate((el) => el.classList.contains("resizing")), true);
    await page.mouse.move(toX, h.y + 120, { steps: 4 });
    await page.mouse.up();
    assert.equal(await handle.evaluate((el) => el.classList.contains("resizing")), false);
    assert.equal(await page.evaluate(() => document.body.style.userSelect), "");
  };

  await drag(1);
  assert.equal(await panelWidth(), mainWidth - 300);
  await drag(1279);
  assert.equal(await panelWidth(), 240);
  await drag((await handle.boundingBox()).x + 3 - 60);
  assert.equal(await panelWidth(), 300);

  // Redrawn edges keep the lineage highlighting and follow the boxes.
  assert.deepEqual(await edgeClasses(page), ordersLineage.edges);
  await page.setViewportSize({ width: 900, height: 600 });
  await page.waitForFunction(() => document.getElementById("main").getBoundingClientRect().width === 900);
  assert.deepEqual(await edgeClasses(page), ordersLineage.edges);
  // A window resize leaves the panel's width alone.
  assert.equal(await panelWidth(), 300);
  // On a narrow window the lower limit wins over the upper one.
  // (The width set, not only the one drawn, which the style sheet's minimum
  // would raise to 240 anyway.)
  await page.setViewportSize({ width: 500, height: 600 });
  await drag(1);
  assert.equal(await panelWidth(), 240);
  assert.equal(await page.$eval("#panel", (el) => el.style.width), "240px");
  assert.deepEqual(page.errors, []);
});
