// The window planner: selection graph, plan order, anchor windows and the
// forward pass that gives every selected model its window, layer and
// warnings. See plan.h for the algorithm as a whole.
#include "plan.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <utility>

#include "internal_error.h"
#include "quoted.h"

namespace {

constexpr std::size_t kNotAKey = std::numeric_limits<std::size_t>::max();

// A predecessor map with its keys numbered (in the map's iteration order)
// and every list entry resolved to the number of its key, so that ordering
// and planning work on arrays instead of hashing each id again.
struct IndexedGraph {
  std::vector<std::string_view> ids;  // number -> id
  std::vector<std::size_t> offsets;   // key i's list is entries[offsets[i], offsets[i + 1])
  std::vector<std::size_t> entries;   // kNotAKey for an id that is not a key
};

IndexedGraph index_graph(const PredecessorMap& predecessors) {
  IndexedGraph graph;
  const std::size_t n = predecessors.size();
  graph.ids.reserve(n);
  ViewMap<std::size_t> number;
  number.reserve(n);
  std::size_t total = 0;
  for (const auto& [id, list] : predecessors) {
    number.emplace(id, graph.ids.size());
    graph.ids.push_back(id);
    total += list.size();
  }
  graph.offsets.reserve(n + 1);
  graph.entries.reserve(total);
  graph.offsets.push_back(0);
  // The second pass sees the keys in the same order as the first.
  for (const auto& [id, list] : predecessors) {
    for (std::string_view entry : list) {
      const auto found = number.find(entry);
      graph.entries.push_back(found == number.end() ? kNotAKey : found->second);
    }
    graph.offsets.push_back(graph.entries.size());
  }
  return graph;
}

// Kahn's algorithm over the numbered graph: key numbers in placement order,
// or none when some key cannot be placed. The ids that are ready at the
// start, and each batch released by one placement, are sorted bytewise.
std::optional<std::vector<std::size_t>> placement_order(const IndexedGraph& graph) {
  const std::size_t n = graph.ids.size();
  std::vector<std::size_t> count(n);
  std::vector<std::size_t> successor_offsets(n + 1, 0);
  for (std::size_t key = 0; key < n; ++key) {
    count[key] = graph.offsets[key + 1] - graph.offsets[key];
    for (std::size_t e = graph.offsets[key]; e < graph.offsets[key + 1]; ++e) {
      // An entry that is not a key is never placed, so its key never
      // reaches 0 and the order fails, as it should.
      if (graph.entries[e] != kNotAKey) ++successor_offsets[graph.entries[e] + 1];
    }
  }
  for (std::size_t i = 0; i < n; ++i) successor_offsets[i + 1] += successor_offsets[i];
  std::vector<std::size_t> successors(successor_offsets[n]);
  std::vector<std::size_t> fill(successor_offsets.begin(), successor_offsets.end() - 1);
  for (std::size_t key = 0; key < n; ++key) {
    for (std::size_t e = graph.offsets[key]; e < graph.offsets[key + 1]; ++e) {
      if (graph.entries[e] != kNotAKey) successors[fill[graph.entries[e]]++] = key;
    }
  }

  const auto by_bytes = [&](std::size_t a, std::size_t b) { return graph.ids[a] < graph.ids[b]; };
  // The output doubles as the queue: ids are placed in the order they join it.
  std::vector<std::size_t> order;
  order.reserve(n);
  for (std::size_t key = 0; key < n; ++key) {
    if (count[key] == 0) order.push_back(key);
  }
  std::sort(order.begin(), order.end(), by_bytes);
  for (std::size_t head = 0; head < order.size(); ++head) {
    const std::size_t placed = order[head];
    const std::size_t batch = order.size();
    for (std::size_t s = successor_offsets[placed]; s < successor_offsets[placed + 1]; ++s) {
      const std::size_t child = successors[s];
      if (count[child] == 0) internal_error("child is in selection");
      if (--count[child] == 0) order.push_back(child);
    }
    std::sort(order.begin() + static_cast<std::ptrdiff_t>(batch), order.end(), by_bytes);
  }
  if (order.size() != n) return std::nullopt;
  return order;
}

const Node& node_of(const Manifest& manifest, std::string_view id) {
  const auto found = manifest.nodes.find(id);
  if (found == manifest.nodes.end()) {
    internal_error("every selected id names a node of the manifest: " + std::string(id));
  }
  return found->second;
}

// days = end - start + 1, wrapping far outside the calendar.
std::int64_t window_days(Window window) {
  const auto end = static_cast<std::uint64_t>(window.end.days);
  const auto start = static_cast<std::uint64_t>(window.start.days);
  return static_cast<std::int64_t>(end - start + 1);
}

// The base window: the explicit one, or yesterday in UTC.
std::pair<Window, WindowSource> base_window(std::optional<Window> window, const Clock& clock) {
  if (window) return {*window, WindowSource::Explicit};
  const Date yesterday{clock_seconds(clock) / 86400 - 1};
  return {Window{yesterday, yesterday}, WindowSource::DefaultYesterday};
}

// Widens `into` to cover `candidate`: least start, greatest end.
void widen(std::optional<Window>& into, Window candidate) {
  if (!into) {
    into = candidate;
    return;
  }
  into->start = std::min(into->start, candidate.start);
  into->end = std::max(into->end, candidate.end);
}

// The candidate window that `upstream` (a window of the model named
// `upstream_name`) gives through the downstream model's settings.
Window moved(Window upstream, const VelkMeta& downstream, std::string_view upstream_name) {
  return Window{
      sub_units(upstream.start, downstream.lookback_for(upstream_name), downstream.lookback_unit),
      add_units(upstream.end, downstream.lookahead_for(upstream_name), downstream.lookahead_unit)};
}

PlanError anchor_not_selected(const Manifest& manifest, const Selection& selection,
                              std::string_view anchor) {
  std::vector<std::string_view> names;
  names.reserve(selection.size());
  for (const std::string& id : selection) {
    const auto found = manifest.nodes.find(id);
    if (found != manifest.nodes.end()) names.push_back(found->second.name);
  }
  std::sort(names.begin(), names.end());
  std::string selected;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) selected += ", ";
    selected += names[i];
  }
  return PlanError{PlanError::AnchorNotSelected{std::string(anchor), std::move(selected),
                                                static_cast<std::uint64_t>(names.size())}};
}

}  // namespace

std::string describe_plan_error(const PlanError& error) {
  if (const auto* missing = std::get_if<PlanError::AnchorNotSelected>(&error.error)) {
    return "--anchor " + quoted_form(missing->anchor) + " is not among the " +
           std::to_string(missing->count) + " model(s) selected by --select: " + missing->selected;
  }
  return "the selected models form a cycle and have no Entry Node -- this shouldn't be possible "
         "against a real dbt-compiled manifest; check that --manifest points at a genuine "
         "`dbt compile`/`dbt parse` output";
}

PredecessorMap build_selection_graph(const Manifest& manifest, const Selection& selection) {
  PredecessorMap graph;
  graph.reserve(selection.size());
  for (const std::string& id : selection) {
    std::vector<std::string_view> parents;
    const auto node = manifest.nodes.find(id);
    if (node != manifest.nodes.end()) {
      for (const std::string& parent : node->second.depends_on) {
        const auto selected = selection.find(parent);
        if (selected != selection.end()) parents.push_back(*selected);
      }
    }
    graph.emplace(id, std::move(parents));
  }
  return graph;
}

std::optional<std::vector<std::string_view>> kahn_order(const PredecessorMap& predecessors) {
  const IndexedGraph graph = index_graph(predecessors);
  const auto order = placement_order(graph);
  if (!order) return std::nullopt;
  std::vector<std::string_view> ids;
  ids.reserve(order->size());
  for (std::size_t key : *order) ids.push_back(graph.ids[key]);
  return ids;
}

tl::expected<ViewMap<Window>, PlanError> resolve_anchor_windows(const Manifest& manifest,
                                                                const Selection& selection,
                                                                const PredecessorMap& parents,
                                                                std::string_view anchor,
                                                                Window base) {
  // Among selected models sharing the name, the lowest unique id is the
  // anchor, whatever order the selection iterates in.
  std::optional<std::string_view> anchor_id;
  for (const std::string& id : selection) {
    const auto node = manifest.nodes.find(id);
    if (node == manifest.nodes.end() || node->second.name != anchor) continue;
    if (!anchor_id || std::string_view(id) < *anchor_id) anchor_id = id;
  }
  if (!anchor_id) return tl::make_unexpected(anchor_not_selected(manifest, selection, anchor));

  const auto parents_of = [&](std::string_view id) -> const std::vector<std::string_view>& {
    const auto found = parents.find(id);
    if (found == parents.end()) {
      internal_error("the anchor and its ancestors have a list in the selected-parents map: " +
                     std::string(id));
    }
    return found->second;
  };

  ViewSet ancestors;
  std::vector<std::string_view> stack = parents_of(*anchor_id);
  while (!stack.empty()) {
    const std::string_view id = stack.back();
    stack.pop_back();
    if (!ancestors.insert(id).second) continue;
    const auto& list = parents_of(id);
    stack.insert(stack.end(), list.begin(), list.end());
  }

  // Path consumers: every parent of the anchor or of an ancestor is itself
  // an ancestor, so walking those parent lists lists exactly each ancestor's
  // children that are the anchor or another ancestor, repeats included.
  PredecessorMap consumers;
  consumers.reserve(ancestors.size() + 1);
  consumers[*anchor_id];
  for (std::string_view id : ancestors) consumers[id];
  const auto link = [&](std::string_view child) {
    for (std::string_view parent : parents_of(child)) consumers[parent].push_back(child);
  };
  link(*anchor_id);
  for (std::string_view id : ancestors) link(id);

  const auto order = kahn_order(consumers);
  if (!order) return tl::make_unexpected(PlanError{PlanError::Cycle{}});

  const VelkMeta no_settings;
  ViewMap<Window> windows;
  windows.reserve(order->size());
  windows.emplace(*anchor_id, base);
  for (std::string_view id : *order) {
    if (id == *anchor_id) continue;
    const std::string& name = node_of(manifest, id).name;
    const auto& list = consumers.find(id)->second;
    if (list.empty()) {
      internal_error(
          "id is an ancestor of the anchor, so it has at least one path consumer (the anchor "
          "itself, or another ancestor closer to it)");
    }
    std::optional<Window> window;
    for (std::string_view consumer : list) {
      const auto consumer_window = windows.find(consumer);
      if (consumer_window == windows.end()) {
        internal_error("a path consumer's window is derived before its ancestor's");
      }
      const Node& node = node_of(manifest, consumer);
      widen(window, moved(consumer_window->second, node.velk ? *node.velk : no_settings, name));
    }
    windows.emplace(id, *window);
  }
  return windows;
}

tl::expected<Plan, PlanError> build_plan(const Manifest& manifest, const Selection& selection,
                                         std::optional<Window> window,
                                         std::int64_t max_window_expansion_days,
                                         std::optional<std::string_view> anchor,
                                         const Clock& clock) {
  const auto [base, source] = base_window(window, clock);
  const PredecessorMap parents = build_selection_graph(manifest, selection);
  const IndexedGraph graph = index_graph(parents);
  const auto order = placement_order(graph);
  if (!order) return tl::make_unexpected(PlanError{PlanError::Cycle{}});

  ViewMap<Window> anchor_windows;
  if (anchor) {
    auto resolved = resolve_anchor_windows(manifest, selection, parents, *anchor, base);
    if (!resolved) return tl::make_unexpected(std::move(resolved.error()));
    anchor_windows = std::move(*resolved);
  }

  // What is recorded per planned model, by key number.
  struct Planned {
    const Node* node = nullptr;  // null until the model is planned
    Window window;
    std::uint64_t layer = 0;
  };
  std::vector<Planned> planned(graph.ids.size());
  const VelkMeta no_settings;

  Plan plan;
  plan.models.reserve(order->size());
  for (std::size_t key : *order) {
    const std::string_view id = graph.ids[key];
    const Node& node = node_of(manifest, id);
    const VelkMeta& settings = node.velk ? *node.velk : no_settings;
    const std::size_t first = graph.offsets[key];
    const std::size_t last = graph.offsets[key + 1];

    PlannedModel model;
    model.name = node.name;
    model.depends_on.reserve(last - first);
    std::optional<Window> from_parents;
    std::uint64_t layer = 0;
    for (std::size_t e = first; e < last; ++e) {
      const std::size_t parent = graph.entries[e];
      if (parent == kNotAKey || planned[parent].node == nullptr) {
        internal_error("the plan order places every parent before its children");
      }
      const Planned& p = planned[parent];
      model.depends_on.push_back(p.node->name);
      layer = std::max(layer, p.layer + 1);
      widen(from_parents, moved(p.window, settings, p.node->name));
    }

    Window model_window = from_parents ? *from_parents : base;
    if (!anchor_windows.empty()) {
      const auto derived = anchor_windows.find(id);
      if (derived != anchor_windows.end()) model_window = derived->second;
    }
    planned[key] = Planned{&node, model_window, layer};

    const std::int64_t days = window_days(model_window);
    if (days > max_window_expansion_days) {
      plan.warnings.push_back(PlanWarning{
          node.name, "expanded window (" + std::to_string(days) +
                         " days) exceeds max_window_expansion_days (" +
                         std::to_string(max_window_expansion_days) + ")"});
    }
    if (node.velk && !node.event_time) {
      plan.warnings.push_back(PlanWarning{
          node.name,
          "declares config.meta.velk (lookback/lookahead) but has no event_time configured -- "
          "this isn't a microbatch model in dbt's own terms, so this config has no real effect"});
    }

    model.event_time_start = model_window.start;
    model.event_time_end = model_window.end;
    model.lookback = settings.lookback;
    model.lookahead = settings.lookahead;
    model.layer = layer;
    model.lookback_unit = settings.lookback_unit;
    model.lookahead_unit = settings.lookahead_unit;
    plan.models.push_back(std::move(model));
  }

  if (anchor) plan.anchor_model = std::string(*anchor);
  plan.event_time_start = base.start;
  plan.event_time_end = base.end;
  plan.source = source;
  return plan;
}
