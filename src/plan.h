// The window planner: the selected models in topological order and layers,
// each with the event-time window over which it must be rebuilt.
//
// How a plan is made
// ------------------
// Everything works on the selection (the unique ids that dbt ls printed) and
// the node table. Ids are borrowed from those two throughout (string_views,
// never copies), and only the finished Plan owns texts. Each selected id and
// each parent link is looked up by hash once; from then on the models are
// numbered and the working state lives in arrays.
//
// 1. Base window. The window given on the command line, used as it stands
//    (nothing checks that its start is on or before its end). Without one
//    it is yesterday: whole UTC seconds from the Clock (a reading before 1970
//    counts as 0), divided by 86400, minus one day, so 1969-12-31 at worst.
//
// 2. Selection graph. Each selected id gets the list of its selected
//    parents, in the node's depends_on order: unselected models, sources,
//    tests and ids the manifest lacks are left out, and a parent listed
//    twice stays twice. A selected model whose list is empty is an Entry
//    Node.
//
// 3. Plan order (Kahn's algorithm). Every id starts with a count of its
//    list entries. The ids whose count is 0 are sorted in ascending byte
//    order and form the initial queue. The id at the front is placed; every
//    id that names it has its count lowered once per mention, and the ids
//    that reach 0 by that one placement form a batch, which is sorted in byte
//    order and appended to the queue. Sorting is per batch, not global: with
//    Entry Nodes a and z, a the parent of y and z the parent of b, the order
//    is a, z, y, b. When the queue runs dry before every id was placed, the
//    selection has a cycle and planning fails with PlanError::Cycle before
//    anything else (the anchor included) is looked at. The order depends
//    only on the ids and their lists, never on any hash map's iteration
//    order, so one manifest and one selection give one order in every run;
//    every report lists the models in it.
//
// 4. Anchor windows (only with --anchor). The anchor is the selected model
//    whose name as dbt prints it (its name, or a versioned model's
//    "name.v2") equals the --anchor text; when several selected models
//    print alike (one name in different packages), the one with the lowest
//    unique id in byte order is taken, so that the same manifest and
//    command line always give the same plan. Failing that, the text may be
//    the bare name of a versioned model: with one version of it selected,
//    that version is the anchor; with several, planning fails with
//    PlanError::AnchorAmbiguous, listing their printed names in plan order,
//    since the window cannot belong to all of them. When nothing matches,
//    planning fails with PlanError::AnchorNotSelected, listing the printed
//    names of all selected models sorted bytewise.
//    The ancestors of the anchor are the selected models reachable from it
//    through parent lists. A path consumer of an ancestor A is a child of A
//    that is the anchor or another ancestor; A's other children play no part
//    here. The anchor gets the base window. The ancestors are then visited
//    in a second Kahn order over the path-consumer lists (the anchor first,
//    every ancestor after all of its path consumers), and each ancestor A
//    gets the union, over its path consumers C, of C's window moved back by
//    C's lookback and forward by C's lookahead, in C's units, with C's
//    override for A (see 5) replacing the amount. So the window still moves
//    by the downstream model's settings, just in the other direction.
//
// 5. Windows, in plan order. A model with an anchor window takes it, even
//    when it is an Entry Node. Otherwise an Entry Node takes the base window,
//    and every other model M takes the union over its parents P of
//        (P.start - lookback, P.end + lookahead)
//    where the amounts and units are M's own (0 days without settings) and
//    M's lookback_overrides / lookahead_overrides entry for P, when there
//    is one, replaces the amount but not the unit. The entry for P is the
//    one under P's printed name ("dim_customers.v2": that version alone),
//    else the one under P's name (every version of it). The union is the
//    least start and the greatest end, taken separately, so it also covers
//    any gap between the candidates. Nothing clamps: a negative amount
//    narrows, and a window may end before it starts. A parent's own
//    settings never affect its children, and an Entry Node's own settings
//    never widen its own window.
//
// 6. Layers: 0 for an Entry Node, else 1 + the greatest layer of its
//    parents, i.e. the longest path from an Entry Node within the selection.
//
// 7. Warnings, in plan order, for every model alike (Entry Nodes and the
//    anchor included): first when the window's days (end - start + 1)
//    exceed max_window_expansion_days, then when the model has
//    config.meta.velk but no event_time.
//
// Every name in the plan (a model's, each depends_on entry, each warning's)
// is the name dbt prints for the model: its name, or for one version of a
// versioned model name + ".v" + version. That is the name `dbt run
// --select` takes, and it keeps the versions of one model apart.
//
// Date arithmetic (and the day count of a window) wraps on overflow instead
// of failing: only dates far outside any calendar reach it.
//
// Planning is linear in the selected models plus their parent links, apart
// from the sorts of the ready ids and of each release batch.
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
  std::string name;                     // as dbt prints it (Node::printed_name)
  std::vector<std::string> depends_on;  // printed names of the selected parents, in depends_on order
  Date event_time_start;
  Date event_time_end;
  std::int64_t lookback = 0;   // the model's own amount; overrides never show here
  std::int64_t lookahead = 0;
  std::uint64_t layer = 0;     // 0 for an Entry Node
  TimeUnit lookback_unit = TimeUnit::day;
  TimeUnit lookahead_unit = TimeUnit::day;
};

struct PlanWarning {
  std::string model;  // the printed name
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
    std::string selected;  // the selected models' printed names, sorted, joined with ", "
    std::uint64_t count = 0;
  };
  // The anchor is the bare name of several selected versions.
  struct AnchorAmbiguous {
    std::string anchor;
    std::string versions;  // their printed names, in plan order, joined with ", "
    std::uint64_t count = 0;
  };
  struct Cycle {};
  std::variant<AnchorNotSelected, AnchorAmbiguous, Cycle> error;
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
