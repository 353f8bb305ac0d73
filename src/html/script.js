// The report page's behaviour: lays the models out in one column per layer,
// draws a curve from each parent to its dependent model, and handles search,
// selection with its lineage highlighting, the side panel and its resizing.
// Every text goes into the page as plain text, never as markup.
(function () {
  "use strict";

  var SVG_NS = "http://www.w3.org/2000/svg";
  var PANEL_MIN_WIDTH = 240;
  var GRAPH_MIN_WIDTH = 300;
  // Beyond this many boxes the fades add more than about 200 ms to a click or a keystroke.
  var FADE_MAX_BOXES = 900;

  var data = window.VELK_DBT_PLAN_DATA;
  var byName = new Map();
  var upstreamOf = new Map();
  var downstreamOf = new Map();
  var selectedName = null;
  var nodeEls = new Map();
  var edgeEls = [];
  // Beside the elements: each box's highlighting class by name, and for each
  // drawn edge its data record and class, in drawing order ("" is plain).
  var boxStates = new Map();
  var drawnEdges = [];
  var edgeStates = [];
  var dragging = false;
  var startX = 0;
  var startWidth = 0;

  var rootEl = document.querySelector(".viz-root");
  var scrollEl = document.getElementById("graph-scroll");
  var layersEl = document.getElementById("layers");
  var edgesEl = document.getElementById("edges");
  var searchEl = document.getElementById("search");
  var mainEl = document.getElementById("main");
  var panelEl = document.getElementById("panel");
  var handleEl = document.getElementById("panel-resize-handle");
  var panelEmptyEl = document.getElementById("panel-empty");
  var panelContentEl = document.getElementById("panel-content");
  var panelTitleEl = document.getElementById("panel-title");
  var panelLayerEl = document.getElementById("panel-layer");
  var panelWindowEl = document.getElementById("panel-window");
  var panelUpstreamEl = document.getElementById("panel-upstream");
  var panelDownstreamEl = document.getElementById("panel-downstream");

  function appendTo(map, key, edge) {
    var list = map.get(key);
    if (list === undefined) {
      list = [];
      map.set(key, list);
    }
    list.push(edge);
  }

  // The nodes grouped by layer, ascending; within a layer by name, in the
  // browser's locale order. The data's own order is left as it is.
  function byLayer(nodes) {
    var groups = new Map();
    nodes.forEach(function (node) {
      var group = groups.get(node.layer);
      if (group === undefined) {
        group = [];
        groups.set(node.layer, group);
      }
      group.push(node);
    });
    var layers = Array.from(groups.keys()).sort(function (a, b) { return a - b; });
    return layers.map(function (layer) {
      return groups.get(layer).slice().sort(function (a, b) { return a.name.localeCompare(b.name); });
    });
  }

  function buildLayout() {
    layersEl.replaceChildren();
    nodeEls = new Map();
    boxStates = new Map();
    byLayer(data.nodes).forEach(function (group) {
      var col = document.createElement("div");
      col.className = "layer-col";
      group.forEach(function (node) {
        var box = document.createElement("div");
        box.className = "node-box";
        box.dataset.name = node.name;
        var name = document.createElement("span");
        name.className = "node-name";
        name.textContent = node.name;
        var layer = document.createElement("span");
        layer.className = "node-layer";
        layer.textContent = "layer " + node.layer;
        var dates = document.createElement("span");
        dates.className = "node-window";
        dates.textContent = node.event_time_start + " .. " + node.event_time_end;
        box.append(name, layer, dates);
        box.addEventListener("click", function () { selectNode(node.name); });
        col.appendChild(box);
        nodeEls.set(node.name, box);
      });
      layersEl.appendChild(col);
    });
  }

  // An element in the SVG namespace with the given attributes.
  function el(tag, attrs) {
    var element = document.createElementNS(SVG_NS, tag);
    Object.keys(attrs).forEach(function (key) { element.setAttribute(key, attrs[key]); });
    return element;
  }

  // One cubic curve from the right middle of the upstream box to the left
  // middle of the downstream box, leaving and entering horizontally.
  function edgePath(x1, y1, x2, y2) {
    var dx = Math.max(40, (x2 - x1) / 2);
    return "M " + x1 + " " + y1 +
      " C " + (x1 + dx) + " " + y1 + ", " + (x2 - dx) + " " + y2 + ", " + x2 + " " + y2;
  }

  // Measures the origin and each box at most once and builds every path in a
  // detached fragment, which touches no layout; only then changes the page:
  // the paths all at once, then the drawing's size. The page is thus laid
  // out once per redraw, not once per edge.
  function drawEdges() {
    var w = layersEl.scrollWidth;
    var h = layersEl.scrollHeight;
    var origin = layersEl.getBoundingClientRect();
    var rects = new Map();
    function rectOf(name) {
      var rect = rects.get(name);
      if (rect === undefined) {
        rect = nodeEls.get(name).getBoundingClientRect();
        rects.set(name, rect);
      }
      return rect;
    }
    var fragment = document.createDocumentFragment();
    edgeEls = [];
    drawnEdges = [];
    edgeStates = [];
    data.edges.forEach(function (edge) {
      if (!nodeEls.has(edge.upstream) || !nodeEls.has(edge.downstream)) return;
      var a = rectOf(edge.upstream);
      var b = rectOf(edge.downstream);
      var path = el("path", {
        "class": "edge",
        d: edgePath(a.right - origin.left, a.top + a.height / 2 - origin.top,
                    b.left - origin.left, b.top + b.height / 2 - origin.top),
        "data-upstream": edge.upstream,
        "data-downstream": edge.downstream
      });
      fragment.appendChild(path);
      edgeEls.push(path);
      drawnEdges.push(edge);
      edgeStates.push("");
    });
    edgesEl.replaceChildren(fragment);
    edgesEl.setAttribute("width", w);
    edgesEl.setAttribute("height", h);
    edgesEl.setAttribute("viewBox", "0 0 " + w + " " + h);
  }

  function render() {
    buildLayout();
    drawEdges();
    applyHighlight();
  }

  // The selected model's ancestors and descendants, breadth first; the
  // model itself is in neither.
  function bfsLevel(name) {
    function walk(edgesOf, next) {
      var seen = new Set([name]);
      var found = new Set();
      var frontier = [name];
      while (frontier.length > 0) {
        var following = [];
        frontier.forEach(function (current) {
          (edgesOf.get(current) || []).forEach(function (edge) {
            var other = next(edge);
            if (seen.has(other)) return;
            seen.add(other);
            found.add(other);
            following.push(other);
          });
        });
        frontier = following;
      }
      return found;
    }
    return {
      ancestors: walk(upstreamOf, function (edge) { return edge.upstream; }),
      descendants: walk(downstreamOf, function (edge) { return edge.downstream; })
    };
  }

  // Moves an element from one highlighting class to another; "" is plain.
  function setState(element, from, to) {
    if (from !== "") element.classList.remove(from);
    if (to !== "") element.classList.add(to);
  }

  // Gives every box and edge its highlighting class, touching only the
  // elements whose class changes; nothing here reads the layout.
  function applyHighlight() {
    var boxState;
    var edgeState;
    var query = searchEl.value.trim().toLowerCase();
    if (query !== "") {
      boxState = function (name) { return name.toLowerCase().indexOf(query) !== -1 ? "search-match" : "dimmed"; };
      edgeState = function () { return "dimmed"; };
    } else if (selectedName === null) {
      boxState = function () { return ""; };
      edgeState = boxState;
    } else {
      var lineage = bfsLevel(selectedName);
      var related = function (name) {
        return name === selectedName || lineage.ancestors.has(name) || lineage.descendants.has(name);
      };
      boxState = function (name) {
        if (name === selectedName) return "selected";
        return related(name) ? "highlighted" : "dimmed";
      };
      edgeState = function (edge) {
        return related(edge.upstream) && related(edge.downstream) ? "highlighted" : "dimmed";
      };
    }

    nodeEls.forEach(function (box, name) {
      var from = boxStates.get(name) || "";
      var to = boxState(name);
      if (from === to) return;
      setState(box, from, to);
      boxStates.set(name, to);
    });
    drawnEdges.forEach(function (edge, i) {
      var to = edgeState(edge);
      if (edgeStates[i] === to) return;
      setState(edgeEls[i], edgeStates[i], to);
      edgeStates[i] = to;
    });
  }

  function renderPanelList(listEl, names) {
    listEl.replaceChildren();
    names.forEach(function (name) {
      var item = document.createElement("li");
      item.textContent = name;
      item.addEventListener("click", function () { selectNode(name); });
      listEl.appendChild(item);
    });
  }

  function renderPanel(name) {
    var node = byName.get(name);
    if (node === undefined) return;
    panelEmptyEl.style.display = "none";
    panelContentEl.style.display = "block";
    panelTitleEl.textContent = node.name;
    panelLayerEl.textContent = "Layer " + node.layer;
    panelWindowEl.textContent = node.event_time_start + " .. " + node.event_time_end;
    renderPanelList(panelUpstreamEl, node.depends_on);
    renderPanelList(panelDownstreamEl, (downstreamOf.get(name) || []).map(function (edge) { return edge.downstream; }));
  }

  function selectNode(name) {
    selectedName = name;
    searchEl.value = "";
    applyHighlight();
    renderPanel(name);
  }

  function clearSelection() {
    selectedName = null;
    applyHighlight();
    panelEmptyEl.style.display = "block";
    panelContentEl.style.display = "none";
  }

  function initPanelResize() {
    handleEl.addEventListener("mousedown", function (event) {
      dragging = true;
      startX = event.clientX;
      startWidth = panelEl.getBoundingClientRect().width;
      handleEl.classList.add("resizing");
      document.body.style.userSelect = "none";
      event.preventDefault();
    });
    document.addEventListener("mousemove", function (event) {
      if (!dragging) return;
      var delta = startX - event.clientX;
      var upper = Math.max(PANEL_MIN_WIDTH, mainEl.getBoundingClientRect().width - GRAPH_MIN_WIDTH);
      var width = Math.min(Math.max(startWidth + delta, PANEL_MIN_WIDTH), upper);
      panelEl.style.width = width + "px";
      drawEdges();
      applyHighlight();
    });
    document.addEventListener("mouseup", function () {
      if (!dragging) return;
      dragging = false;
      handleEl.classList.remove("resizing");
      document.body.style.userSelect = "";
    });
  }

  data.nodes.forEach(function (node) { byName.set(node.name, node); });
  data.edges.forEach(function (edge) {
    appendTo(upstreamOf, edge.downstream, edge);
    appendTo(downstreamOf, edge.upstream, edge);
  });

  searchEl.addEventListener("input", applyHighlight);
  scrollEl.addEventListener("click", function (event) {
    if (event.target === scrollEl || event.target === layersEl) clearSelection();
  });
  initPanelResize();
  window.addEventListener("resize", function () {
    drawEdges();
    applyHighlight();
  });

  // Decided once, before the first box is drawn: one box per model.
  if (data.nodes.length > FADE_MAX_BOXES) rootEl.classList.add("no-fades");
  render();
})();
