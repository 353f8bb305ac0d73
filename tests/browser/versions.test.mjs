// The example project's versioned model in its report, as the tool writes
// it: each version of dim_customers is a box of its own under the name dbt
// prints for it, with its own edges, window and lineage.
import assert from "node:assert/strict";
import { test } from "node:test";
import { boxClasses, edgeClasses, openReport, texts, useBrowser } from "./support.mjs";

const browser = useBrowser();

// Version 1 reads stg_customers; version 2 reads stg_customers and
// stg_orders, and customer_cohorts reads version 2. Every box and edge not
// named here is dimmed.
const versions = [
  {
    name: "dim_customers.v1",
    window: "2024-03-04 .. 2024-03-10",
    upstream: ["stg_customers"],
    downstream: [],
    boxes: { "dim_customers.v1": "selected", stg_customers: "highlighted" },
    edges: ["stg_customers>dim_customers.v1"],
  },
  {
    name: "dim_customers.v2",
    window: "2024-03-02 .. 2024-03-10",
    upstream: ["stg_customers", "stg_orders"],
    downstream: ["customer_cohorts"],
    boxes: {
      "dim_customers.v2": "selected",
      stg_customers: "highlighted",
      stg_orders: "highlighted",
      customer_cohorts: "highlighted",
    },
    edges: ["stg_customers>dim_customers.v2", "stg_orders>dim_customers.v2", "dim_customers.v2>customer_cohorts"],
  },
];

test("selecting one version highlights its own lineage and not the other version's", async () => {
  const page = await openReport(browser(), "example.html");
  for (const version of versions) {
    const box = page.locator(`.node-box[data-name="${version.name}"]`);
    assert.equal(await box.count(), 1, `one box for ${version.name}`);
    await box.click();
    const boxes = await boxClasses(page);
    assert.ok("dim_customers.v1" in boxes && "dim_customers.v2" in boxes, Object.keys(boxes).join(", "));
    for (const [name, cls] of Object.entries(boxes)) {
      assert.equal(cls, version.boxes[name] ?? "dimmed", `${version.name}: box ${name}`);
    }
    const edges = await edgeClasses(page);
    for (const [edge, cls] of Object.entries(edges)) {
      assert.equal(cls, version.edges.includes(edge) ? "highlighted" : "dimmed", `${version.name}: edge ${edge}`);
    }
    for (const edge of version.edges) assert.ok(edge in edges, `${version.name}: no edge ${edge}`);

    assert.equal(await page.locator("#panel-title").textContent(), version.name);
    assert.equal(await page.locator("#panel-window").textContent(), version.window);
    assert.deepEqual(await texts(page, "#panel-upstream li"), version.upstream);
    assert.deepEqual(await texts(page, "#panel-downstream li"), version.downstream);
  }

  // The search finds a version by its printed name.
  await page.locator("#search").fill("customers.v2");
  const matches = Object.entries(await boxClasses(page)).filter(([, cls]) => cls === "search-match");
  assert.deepEqual(matches.map(([name]) => name), ["dim_customers.v2"]);
  assert.deepEqual(page.errors, []);
});
