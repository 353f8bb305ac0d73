// Boxes and edges fade into their highlighting on a small plan; on a plan
// with more boxes than the page still fades, they change at once.
import assert from "node:assert/strict";
import { test } from "node:test";
import { boxClasses, edgeClasses, openReport, useBrowser } from "./support.mjs";

const browser = useBrowser();

// Does one action in the page and reports, before anything is drawn, the
// boxes and edges whose class it changed, how many of those are fading and
// in which properties, how many style transitions run on the page at all,
// and the opacity that a box just dimmed shows.
function act(page, action) {
  return page.evaluate(({ kind, arg }) => {
    const elements = [...document.querySelectorAll(".node-box, #edges path")];
    const before = new Map(elements.map((element) => [element, element.getAttribute("class")]));
    if (kind === "click") {
      document.querySelector(`.node-box[data-name="${arg}"]`).click();
    } else {
      const search = document.getElementById("search");
      search.value = arg;
      search.dispatchEvent(new Event("input", { bubbles: true }));
    }
    const transitions = document.getAnimations().filter((a) => a instanceof CSSTransition);
    const fading = new Map();
    for (const transition of transitions) {
      const target = transition.effect.target;
      if (!fading.has(target)) fading.set(target, new Set());
      fading.get(target).add(transition.transitionProperty);
    }
    const changed = elements.filter((element) => element.getAttribute("class") !== before.get(element));
    const boxes = changed.filter((e) => e.matches(".node-box"));
    const edges = changed.filter((e) => e.matches("path"));
    const properties = (list) => [...new Set(list.flatMap((e) => [...(fading.get(e) ?? [])]))].sort();
    const dimmed = boxes.find((e) => e.classList.contains("dimmed"));
    return {
      boxes: boxes.length,
      edges: edges.length,
      fading: changed.filter((e) => fading.has(e)).length,
      boxProperties: properties(boxes),
      edgeProperties: properties(edges),
      transitions: transitions.length,
      dimmedOpacity: dimmed === undefined ? null : Number(getComputedStyle(dimmed).opacity),
    };
  }, action);
}

// Selecting a model from a plain page: what each kind of element fades.
const clickFades = {
  box: ["border-bottom-color", "border-right-color", "border-top-color", "box-shadow", "opacity"],
  edge: ["opacity", "stroke", "stroke-width"],
};

const pages = [
  { file: "shop.html", select: "orders", fades: true },
  { file: "fades-at-limit.html", select: "chain004_l5", fades: true },
  { file: "fades-above-limit.html", select: "chain004_l5", fades: false },
];

test("boxes and edges fade on pages up to the limit and change at once above it", async () => {
  for (const p of pages) {
    const page = await openReport(browser(), p.file);
    const actions = [
      { what: "a click", kind: "click", arg: p.select },
      { what: "a search keystroke", kind: "search", arg: "l5" },
      { what: "the search emptied", kind: "search", arg: "" },
    ];
    for (const a of actions) {
      const where = `${p.file}, ${a.what}`;
      const result = await act(page, a);
      assert.ok(result.boxes > 0 && result.edges > 0, `${where}: ${JSON.stringify(result)}`);
      if (p.fades) {
        // Every box and edge whose class changes fades into it.
        assert.equal(result.fading, result.boxes + result.edges, where);
        if (a.kind === "click") {
          assert.deepEqual({ box: result.boxProperties, edge: result.edgeProperties }, clickFades, where);
        }
        if (result.dimmedOpacity !== null) assert.ok(result.dimmedOpacity > 0.28, where);
      } else {
        assert.equal(result.transitions, 0, where);
        if (result.dimmedOpacity !== null) assert.equal(result.dimmedOpacity, 0.28, where);
      }
    }
    assert.deepEqual(page.errors, [], p.file);
  }
});

test("above the limit the highlighting is otherwise unchanged, and highlighted edges still run", async () => {
  const page = await openReport(browser(), "fades-above-limit.html");
  assert.equal(await page.locator(".node-box").count(), 901);
  await page.locator('.node-box[data-name="chain004_l5"]').click();
  const inChain = (name) => name.startsWith("chain004_");
  for (const [name, cls] of Object.entries(await boxClasses(page))) {
    assert.equal(cls, name === "chain004_l5" ? "selected" : inChain(name) ? "highlighted" : "dimmed", name);
  }
  for (const [key, cls] of Object.entries(await edgeClasses(page))) {
    assert.equal(cls, inChain(key) ? "highlighted" : "dimmed", key);
  }
  // The dashes of the chain's nine edges: an animation, not a fade.
  const running = await page.evaluate(() =>
    document.getAnimations().map((a) => [a.constructor.name, a.animationName, a.effect.target.dataset.upstream]),
  );
  assert.equal(running.length, 9);
  for (const [kind, name, upstream] of running) {
    assert.deepEqual([kind, name, inChain(upstream)], ["CSSAnimation", "edge-flow", true]);
  }

  await page.locator("#search").fill("l9");
  for (const [name, cls] of Object.entries(await boxClasses(page))) {
    assert.equal(cls, name.endsWith("_l9") ? "search-match" : "dimmed", name);
  }
  assert.deepEqual(page.errors, []);
});
