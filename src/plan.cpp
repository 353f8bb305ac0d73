// The window planner: selection graph, plan order, anchor windows and the
// forward pass that gives every selected model its window, layer and
// warnings. See plan.h for the algorithm as a whole.
#include "plan.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>
#include <utility>

#include "internal_error.h"
#include "quoted.h"

namespace {

constexpr std::size_t kNotAKey = std::numeric_limits<std::size_t>::max();
constexpr std::uint32_t kNoNumber = std::numeric_limits<std::uint32_t>::max();

// A predecessor map with its keys numbered and every list entry resolved to
// the number of its key, so that ordering and planning work on arrays and
// hash each id only once.
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

// The node table is large and its entries are scattered, so the loops that
// walk the models ask for the cache lines they will read a few models ahead.
constexpr std::size_t kPrefetchDistance = 8;

void prefetch_node(const Node* node) {
  if (node == nullptr) return;
  __builtin_prefetch(&node->name);
  __builtin_prefetch(&node->event_time);
  __builtin_prefetch(&node->velk);
  __builtin_prefetch(&node->is_source);
  __builtin_prefetch(&node->versioned_name);
}

void prefetch_parent_list(const Node* node) {
  if (node != nullptr) __builtin_prefetch(&node->depends_on);
}

void prefetch_parent_texts(const Node* node) {
  if (node == nullptr) return;
  for (const std::string& parent : node->depends_on) __builtin_prefetch(parent.data());
}

// The selection numbered in its iteration order, with each model's node
// (null when the table lacks it) and its selected parents in depends_on
// order: the selected-parents map in array form.
struct SelectedModels {
  IndexedGraph graph;
  std::vector<const Node*> nodes;
};

SelectedModels number_selection(const Manifest& manifest, const Selection& selection) {
  SelectedModels selected;
  IndexedGraph& graph = selected.graph;
  const NodeTable& table = manifest.nodes;
  const std::size_t n = selection.size();
  graph.ids.reserve(n);
  selected.nodes.reserve(n);
  // The selected models are numbered by their position in the node table:
  // a parent's id is then hashed once, by the table, and the models are
  // visited in the table's order, where a model's data and its parents'
  // ids lie near each other in memory. (The numbers never reach the plan,
  // whose order goes by the ids.) The selected ids that the table lacks
  // (none, coming from dbt ls) are numbered after them, by id.
  std::vector<std::uint32_t> number_at(table.size(), kNoNumber);
  ViewMap<std::size_t> number_of_missing;
  for (const std::string& id : selection) {
    const std::size_t position = table.position(id);
    if (position == NodeTable::npos) {
      number_of_missing.emplace(id, 0);
    } else {
      number_at[position] = 0;  // selected; numbered below
    }
  }
  for (std::size_t position = 0; position < number_at.size(); ++position) {
    if (number_at[position] == kNoNumber) continue;
    number_at[position] = static_cast<std::uint32_t>(graph.ids.size());
    graph.ids.push_back(table[position].unique_id);
    selected.nodes.push_back(&table[position]);
  }
  for (auto& [id, number] : number_of_missing) {
    number = graph.ids.size();
    graph.ids.push_back(id);
    selected.nodes.push_back(nullptr);
  }
  graph.offsets.reserve(n + 1);
  graph.entries.reserve(2 * n);
  graph.offsets.push_back(0);
  for (std::size_t key = 0; key < n; ++key) {
    // Two stages ahead: the node's list, then the list's texts.
    if (key + 2 * kPrefetchDistance < n) prefetch_parent_list(selected.nodes[key + 2 * kPrefetchDistance]);
    if (key + kPrefetchDistance < n) prefetch_parent_texts(selected.nodes[key + kPrefetchDistance]);
    const Node* node = selected.nodes[key];
    if (node != nullptr) {
      // Unselected models, sources, tests and unknown ids are left out.
      for (const std::string& parent : node->depends_on) {
        const std::size_t position = table.position(parent);
        if (position != NodeTable::npos) {
          if (number_at[position] != kNoNumber) graph.entries.push_back(number_at[position]);
        } else if (!number_of_missing.empty()) {
          const auto found = number_of_missing.find(parent);
          if (found != number_of_missing.end()) graph.entries.push_back(found->second);
        }
      }
    }
    graph.offsets.push_back(graph.entries.size());
  }
  return selected;
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
    if (order.size() - batch > 1) {
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(batch), order.end(), by_bytes);
    }
  }
  if (order.size() != n) return std::nullopt;
  return order;
}

const Node& node_at(const std::vector<const Node*>& nodes, std::size_t key) {
  if (nodes[key] == nullptr) internal_error("every selected id names a node of the manifest");
  return *nodes[key];
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

// "expanded window ({days} days) exceeds max_window_expansion_days ({maximum})".
std::string expansion_message(std::int64_t days, std::string_view maximum) {
  constexpr std::string_view before = "expanded window (";
  constexpr std::string_view middle = " days) exceeds max_window_expansion_days (";
  char digits[24];
  char* digits_end = std::to_chars(digits, digits + sizeof digits, days).ptr;
  std::string message;
  message.reserve(before.size() + 24 + middle.size() + maximum.size() + 1);
  message += before;
  message.append(digits, static_cast<std::size_t>(digits_end - digits));
  message += middle;
  message += maximum;
  message += ')';
  return message;
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

// The candidate window that `upstream` (the window of an upstream model)
// gives through the downstream model's settings. `parent()` gives the
// upstream model's node; it is asked only when the downstream model has
// overrides, so that the common case reads nothing more of the node table.
template <typename ParentNode>
Window moved(Window upstream, const VelkMeta& downstream, const ParentNode& parent) {
  const std::int64_t lookback =
      downstream.lookback_overrides.empty()
          ? downstream.lookback
          : downstream.lookback_for(parent().printed_name(), parent().name);
  const std::int64_t lookahead =
      downstream.lookahead_overrides.empty()
          ? downstream.lookahead
          : downstream.lookahead_for(parent().printed_name(), parent().name);
  return Window{sub_units(upstream.start, lookback, downstream.lookback_unit),
                add_units(upstream.end, lookahead, downstream.lookahead_unit)};
}

// Texts joined with ", ".
std::string joined(const std::vector<std::string_view>& texts) {
  std::string out;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out += ", ";
    out += texts[i];
  }
  return out;
}

// The selected models that the --anchor text names. A model whose printed
// name is the text is the anchor; when several are (models of one name in
// different packages, which dbt ls prints alike), the one with the lowest
// unique id in byte order, so that the choice never depends on the
// selection's iteration order. Failing that, the text may be the bare name
// of a versioned model: it names the one selected version of that name, and
// when several versions are selected it names none of them in particular.
struct AnchorMatch {
  std::size_t anchor = kNotAKey;     // the anchor's number, or kNotAKey
  std::vector<std::size_t> versions; // when the bare name is shared: the versions that have it
};

AnchorMatch find_anchor(const IndexedGraph& graph, const std::vector<const Node*>& nodes,
                        std::string_view anchor) {
  AnchorMatch match;
  for (std::size_t key = 0; key < nodes.size(); ++key) {
    if (nodes[key] == nullptr) continue;
    if (nodes[key]->printed_name() == anchor) {
      if (match.anchor == kNotAKey || graph.ids[key] < graph.ids[match.anchor]) match.anchor = key;
    } else if (nodes[key]->name == anchor) {
      match.versions.push_back(key);
    }
  }
  if (match.anchor != kNotAKey) {
    match.versions.clear();
  } else if (match.versions.size() == 1) {
    match.anchor = match.versions.front();
    match.versions.clear();
  }
  return match;
}

PlanError anchor_not_selected(const std::vector<const Node*>& nodes, std::string_view anchor) {
  std::vector<std::string_view> names;
  names.reserve(nodes.size());
  for (const Node* node : nodes) {
    if (node != nullptr) names.push_back(node->printed_name());
  }
  std::sort(names.begin(), names.end());
  return PlanError{PlanError::AnchorNotSelected{std::string(anchor), joined(names),
                                                static_cast<std::uint64_t>(names.size())}};
}

// The failure for a bare name shared by the selected `versions`, listed by
// their printed names in plan order (`position_of` gives each number's
// place in it).
PlanError anchor_ambiguous(const std::vector<const Node*>& nodes, std::vector<std::size_t> versions,
                           const std::vector<std::size_t>& position_of, std::string_view anchor) {
  std::sort(versions.begin(), versions.end(),
            [&](std::size_t a, std::size_t b) { return position_of[a] < position_of[b]; });
  std::vector<std::string_view> names;
  names.reserve(versions.size());
  for (std::size_t key : versions) names.push_back(nodes[key]->printed_name());
  return PlanError{PlanError::AnchorAmbiguous{std::string(anchor), joined(names),
                                              static_cast<std::uint64_t>(names.size())}};
}

// The windows of the anchor and its ancestors, as (key number, window), or
// none when the path-consumer order fails.
std::optional<std::vector<std::pair<std::size_t, Window>>> derive_anchor_windows(
    const IndexedGraph& graph, const std::vector<const Node*>& nodes, std::size_t anchor,
    Window base) {
  // The anchor and its ancestors, renumbered 0 (the anchor), 1, 2, ... in the
  // order the walk finds them.
  std::vector<std::size_t> members{anchor};
  std::vector<std::size_t> local(graph.ids.size(), kNotAKey);
  local[anchor] = 0;
  std::vector<std::size_t> stack(graph.entries.begin() + static_cast<std::ptrdiff_t>(graph.offsets[anchor]),
                                 graph.entries.begin() + static_cast<std::ptrdiff_t>(graph.offsets[anchor + 1]));
  while (!stack.empty()) {
    const std::size_t key = stack.back();
    stack.pop_back();
    if (key == kNotAKey) internal_error("every parent of the anchor and its ancestors is a selected model");
    if (local[key] != kNotAKey) continue;
    local[key] = members.size();
    members.push_back(key);
    stack.insert(stack.end(), graph.entries.begin() + static_cast<std::ptrdiff_t>(graph.offsets[key]),
                 graph.entries.begin() + static_cast<std::ptrdiff_t>(graph.offsets[key + 1]));
  }

  // Path consumers: every parent of the anchor or of an ancestor is itself
  // an ancestor, so walking those parent lists lists exactly each
  // ancestor's children that are the anchor or another ancestor (repeats
  // included). As a predecessor graph: an ancestor waits for its consumers.
  const std::size_t m = members.size();
  IndexedGraph consumers;
  consumers.ids.reserve(m);
  for (std::size_t key : members) consumers.ids.push_back(graph.ids[key]);
  consumers.offsets.assign(m + 1, 0);
  for (std::size_t key : members) {
    for (std::size_t e = graph.offsets[key]; e < graph.offsets[key + 1]; ++e) {
      ++consumers.offsets[local[graph.entries[e]] + 1];
    }
  }
  for (std::size_t i = 0; i < m; ++i) consumers.offsets[i + 1] += consumers.offsets[i];
  consumers.entries.resize(consumers.offsets[m]);
  std::vector<std::size_t> fill(consumers.offsets.begin(), consumers.offsets.end() - 1);
  for (std::size_t x = 0; x < m; ++x) {
    const std::size_t key = members[x];
    for (std::size_t e = graph.offsets[key]; e < graph.offsets[key + 1]; ++e) {
      consumers.entries[fill[local[graph.entries[e]]]++] = x;
    }
  }

  const auto order = placement_order(consumers);
  if (!order) return std::nullopt;

  const VelkMeta no_settings;
  std::vector<std::optional<Window>> windows(m);
  windows[0] = base;
  for (std::size_t a : *order) {
    if (a == 0) continue;
    const Node& ancestor = node_at(nodes, members[a]);
    if (consumers.offsets[a] == consumers.offsets[a + 1]) {
      internal_error(
          "id is an ancestor of the anchor, so it has at least one path consumer (the anchor "
          "itself, or another ancestor closer to it)");
    }
    for (std::size_t e = consumers.offsets[a]; e < consumers.offsets[a + 1]; ++e) {
      const std::size_t c = consumers.entries[e];
      if (!windows[c]) internal_error("a path consumer's window is derived before its ancestor's");
      const Node& consumer = node_at(nodes, members[c]);
      widen(windows[a], moved(*windows[c], consumer.velk ? *consumer.velk : no_settings,
                              [&]() -> const Node& { return ancestor; }));
    }
  }

  std::vector<std::pair<std::size_t, Window>> result;
  result.reserve(m);
  for (std::size_t x = 0; x < m; ++x) result.emplace_back(members[x], *windows[x]);
  return result;
}

// The selected models renumbered by their position in the plan order, so
// that the planning pass walks its arrays front to back. Each random gather
// is done here in a tight loop, where the processor can overlap the misses.
struct ModelsInOrder {
  std::vector<const Node*> nodes;          // by position
  std::vector<std::size_t> position_of;    // key number -> position
  std::vector<std::size_t> parent_offsets; // parents of position i: parents[offsets[i], offsets[i + 1])
  std::vector<std::size_t> parents;        // positions of the selected parents, in list order
};

ModelsInOrder in_plan_order(const SelectedModels& selected, const std::vector<std::size_t>& order) {
  const IndexedGraph& graph = selected.graph;
  const std::size_t n = order.size();
  ModelsInOrder models;
  models.nodes.resize(n);
  models.position_of.resize(n);
  for (std::size_t position = 0; position < n; ++position) {
    models.nodes[position] = selected.nodes[order[position]];
    models.position_of[order[position]] = position;
  }
  models.parent_offsets.reserve(n + 1);
  models.parents.reserve(graph.entries.size());
  models.parent_offsets.push_back(0);
  for (std::size_t position = 0; position < n; ++position) {
    const std::size_t key = order[position];
    for (std::size_t e = graph.offsets[key]; e < graph.offsets[key + 1]; ++e) {
      models.parents.push_back(models.position_of[graph.entries[e]]);
    }
    models.parent_offsets.push_back(models.parents.size());
  }
  return models;
}

}  // namespace

std::string describe_plan_error(const PlanError& error) {
  if (const auto* missing = std::get_if<PlanError::AnchorNotSelected>(&error.error)) {
    return "--anchor " + quoted_form(missing->anchor) + " is not among the " +
           std::to_string(missing->count) + " model(s) selected by --select: " + missing->selected;
  }
  if (const auto* shared = std::get_if<PlanError::AnchorAmbiguous>(&error.error)) {
    return "--anchor " + quoted_form(shared->anchor) + " names " + std::to_string(shared->count) +
           " versions selected by --select: " + shared->versions +
           " -- pass one of these names to --anchor";
  }
  return "the selected models form a cycle and have no Entry Node -- this shouldn't be possible "
         "against a real dbt-compiled manifest; check that --manifest points at a genuine "
         "`dbt compile`/`dbt parse` output";
}

PredecessorMap build_selection_graph(const Manifest& manifest, const Selection& selection) {
  const IndexedGraph graph = number_selection(manifest, selection).graph;
  PredecessorMap parents;
  parents.reserve(graph.ids.size());
  for (std::size_t key = 0; key < graph.ids.size(); ++key) {
    std::vector<std::string_view> list;
    list.reserve(graph.offsets[key + 1] - graph.offsets[key]);
    for (std::size_t e = graph.offsets[key]; e < graph.offsets[key + 1]; ++e) {
      list.push_back(graph.ids[graph.entries[e]]);
    }
    parents.emplace(graph.ids[key], std::move(list));
  }
  return parents;
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
  if (parents.size() != selection.size()) {
    internal_error("the selected-parents map holds every selected id");
  }
  const IndexedGraph graph = index_graph(parents);
  std::vector<const Node*> nodes;
  nodes.reserve(graph.ids.size());
  for (std::string_view id : graph.ids) {
    nodes.push_back(manifest.nodes.find(id));
  }
  const AnchorMatch match = find_anchor(graph, nodes, anchor);
  if (!match.versions.empty()) {
    const auto order = placement_order(graph);
    if (!order) return tl::make_unexpected(PlanError{PlanError::Cycle{}});
    std::vector<std::size_t> position_of(order->size());
    for (std::size_t position = 0; position < order->size(); ++position) {
      position_of[(*order)[position]] = position;
    }
    return tl::make_unexpected(anchor_ambiguous(nodes, match.versions, position_of, anchor));
  }
  if (match.anchor == kNotAKey) return tl::make_unexpected(anchor_not_selected(nodes, anchor));
  const auto derived = derive_anchor_windows(graph, nodes, match.anchor, base);
  if (!derived) return tl::make_unexpected(PlanError{PlanError::Cycle{}});
  ViewMap<Window> windows;
  windows.reserve(derived->size());
  for (const auto& [key, window] : *derived) windows.emplace(graph.ids[key], window);
  return windows;
}

tl::expected<Plan, PlanError> build_plan(const Manifest& manifest, const Selection& selection,
                                         std::optional<Window> window,
                                         std::int64_t max_window_expansion_days,
                                         std::optional<std::string_view> anchor,
                                         const Clock& clock) {
  const auto [base, source] = base_window(window, clock);
  const SelectedModels selected = number_selection(manifest, selection);
  const auto order = placement_order(selected.graph);
  if (!order) return tl::make_unexpected(PlanError{PlanError::Cycle{}});
  const ModelsInOrder models = in_plan_order(selected, *order);

  // Only with an anchor: the windows derived from it, by position.
  std::vector<std::optional<Window>> anchor_windows;
  if (anchor) {
    const AnchorMatch match = find_anchor(selected.graph, selected.nodes, *anchor);
    if (!match.versions.empty()) {
      return tl::make_unexpected(
          anchor_ambiguous(selected.nodes, match.versions, models.position_of, *anchor));
    }
    if (match.anchor == kNotAKey) {
      return tl::make_unexpected(anchor_not_selected(selected.nodes, *anchor));
    }
    const auto derived = derive_anchor_windows(selected.graph, selected.nodes, match.anchor, base);
    if (!derived) return tl::make_unexpected(PlanError{PlanError::Cycle{}});
    anchor_windows.resize(order->size());
    for (const auto& [key, derived_window] : *derived) {
      anchor_windows[models.position_of[key]] = derived_window;
    }
  }

  const VelkMeta no_settings;
  const std::string maximum = std::to_string(max_window_expansion_days);
  const std::size_t n = models.nodes.size();
  Plan plan;
  plan.models.reserve(n);
  plan.warnings.reserve(n);  // the usual most: one per model
  for (std::size_t position = 0; position < n; ++position) {
    if (position + kPrefetchDistance < n) {
      prefetch_node(models.nodes[position + kPrefetchDistance]);
      // The parents it will read back, placed before it (or about to be).
      for (std::size_t e = models.parent_offsets[position + kPrefetchDistance];
           e < models.parent_offsets[position + kPrefetchDistance + 1]; ++e) {
        const PlannedModel* parent = plan.models.data() + models.parents[e];
        __builtin_prefetch(parent);
        __builtin_prefetch(&parent->layer);
      }
    }
    if (models.nodes[position] == nullptr) {
      internal_error("every selected id names a node of the manifest");
    }
    const Node& node = *models.nodes[position];
    const VelkMeta& settings = node.velk ? *node.velk : no_settings;
    const std::size_t first = models.parent_offsets[position];
    const std::size_t last = models.parent_offsets[position + 1];

    PlannedModel model;
    model.name = node.printed_name();
    model.depends_on.reserve(last - first);
    std::optional<Window> from_parents;
    for (std::size_t e = first; e < last; ++e) {
      // A parent is read back from its PlannedModel: it holds the printed
      // name, window and layer, and was often placed shortly before.
      const std::size_t parent_position = models.parents[e];
      if (parent_position >= position) {
        internal_error("the plan order places every parent before its children");
      }
      const PlannedModel& parent = plan.models[parent_position];
      model.depends_on.push_back(parent.name);
      model.layer = std::max(model.layer, parent.layer + 1);
      widen(from_parents, moved(Window{parent.event_time_start, parent.event_time_end}, settings,
                                [&]() -> const Node& { return *models.nodes[parent_position]; }));
    }

    Window model_window = from_parents ? *from_parents : base;
    if (!anchor_windows.empty() && anchor_windows[position]) model_window = *anchor_windows[position];

    const std::int64_t days = window_days(model_window);
    if (days > max_window_expansion_days) {
      plan.warnings.push_back(PlanWarning{model.name, expansion_message(days, maximum)});
    }
    if (node.velk && !node.event_time) {
      plan.warnings.push_back(PlanWarning{
          model.name,
          "declares config.meta.velk (lookback/lookahead) but has no event_time configured -- "
          "this isn't a microbatch model in dbt's own terms, so this config has no real effect"});
    }

    model.event_time_start = model_window.start;
    model.event_time_end = model_window.end;
    model.lookback = settings.lookback;
    model.lookahead = settings.lookahead;
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
