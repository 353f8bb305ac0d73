// The window planner: the selected models in topological order and layers,
// each with the event-time window over which it must be rebuilt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "clock.h"
#include "date.h"
#include "manifest.h"
#include "selection.h"
#include "string_map.h"

// An inclusive pair of days; nothing requires start <= end.
struct Window {
  Date start;
  Date end;

  friend bool operator==(const Window&, const Window&) = default;
};

enum class WindowSource : std::uint8_t { Explicit = 0, DefaultYesterday = 1 };

// "explicit" or "default_yesterday".
inline std::string_view window_source_name(WindowSource source) {
  return source == WindowSource::Explicit ? "explicit" : "default_yesterday";
}

struct PlannedModel {
  std::string name;
  std::vector<std::string> depends_on;  // names of the selected parents, in depends_on order
  Date event_time_start;
  Date event_time_end;
  std::int64_t lookback = 0;   // the model's own amount; overrides never show here
  std::int64_t lookahead = 0;
  std::uint64_t layer = 0;     // 0 for an Entry Node
  TimeUnit lookback_unit = TimeUnit::day;
  TimeUnit lookahead_unit = TimeUnit::day;
};

struct PlanWarning {
  std::string model;
  std::string message;
};

struct Plan {
  std::vector<PlannedModel> models;  // plan order
  std::vector<PlanWarning> warnings;
  std::optional<std::string> anchor_model;
  Date event_time_start;
  Date event_time_end;
  WindowSource source = WindowSource::Explicit;

  // The note printed when the window defaulted to yesterday, else none.
  std::optional<std::string> default_yesterday_note() const {
    if (source != WindowSource::DefaultYesterday) return std::nullopt;
    return "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node "
           "to yesterday (" + format_date(event_time_start) + ")";
  }
};

struct PlanError {
  struct AnchorNotSelected {
    std::string anchor;
    std::string selected;  // the selected models' names, sorted, joined with ", "
    std::uint64_t count = 0;
  };
  struct Cycle {};
  std::variant<AnchorNotSelected, Cycle> error;
};

std::string describe_plan_error(const PlanError& error);

// Unique id to the ids that must be placed before it. Keys and entries are
// views of texts owned by the selection and the node table.
using PredecessorMap = ViewMap<std::vector<std::string_view>>;

// Every selected id with its selected parents, in depends_on order.
PredecessorMap build_selection_graph(const Manifest& manifest, const Selection& selection);

// All keys in placement order, or none when a cycle (or a missing key)
// leaves some unplaced.
std::optional<std::vector<std::string_view>> kahn_order(const PredecessorMap& predecessors);

// The windows of the anchor and its ancestors, derived backwards from the
// anchor's window.
tl::expected<ViewMap<Window>, PlanError> resolve_anchor_windows(const Manifest& manifest,
                                                                const Selection& selection,
                                                                const PredecessorMap& parents,
                                                                std::string_view anchor,
                                                                Window base);

tl::expected<Plan, PlanError> build_plan(const Manifest& manifest, const Selection& selection,
                                         std::optional<Window> window,
                                         std::int64_t max_window_expansion_days,
                                         std::optional<std::string_view> anchor,
                                         const Clock& clock = system_clock_seconds);
