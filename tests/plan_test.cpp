// The window planner: selection graph, plan order and layers, forward
// windows and warnings, the default window, and anchor mode.
#include "plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "internal_error.h"
#include "support/test_support.h"

namespace {

// A model's settings, converted into a VelkMeta (every member has a default,
// so designated initializers may leave any of them out).
struct Settings {
  std::int64_t lookback = 0;
  TimeUnit lookback_unit = TimeUnit::day;
  std::int64_t lookahead = 0;
  TimeUnit lookahead_unit = TimeUnit::day;
  std::vector<std::pair<std::string, std::int64_t>> lookback_overrides = {};
  std::vector<std::pair<std::string, std::int64_t>> lookahead_overrides = {};
};

VelkMeta velk_meta(const Settings& s) {
  VelkMeta meta;
  meta.lookback = s.lookback;
  meta.lookback_unit = s.lookback_unit;
  meta.lookahead = s.lookahead;
  meta.lookahead_unit = s.lookahead_unit;
  for (const auto& [name, amount] : s.lookback_overrides) meta.lookback_overrides[name] = amount;
  for (const auto& [name, amount] : s.lookahead_overrides) meta.lookahead_overrides[name] = amount;
  return meta;
}

// One manifest entry. The unique id is "model.p.{name}" unless given
// ("model.p.{name}.v{version}" for a version); a parent is written as a
// name (meaning "model.p.{name}") or as a whole id when it holds a dot.
struct Model {
  std::string name;
  std::vector<std::string> parents = {};
  std::optional<Settings> velk = std::nullopt;
  bool event_time = true;
  std::string id = {};
  bool source = false;
  std::string version = {};  // empty: an unversioned model
};

std::string id_of(const std::string& name) {
  return name.find('.') == std::string::npos ? "model.p." + name : name;
}

Manifest manifest_of(const std::vector<Model>& models) {
  Manifest manifest;
  for (const Model& m : models) {
    Node node;
    node.unique_id = m.id.empty() ? id_of(m.name) : m.id;
    if (!m.version.empty()) {
      if (m.id.empty()) node.unique_id += ".v" + m.version;
      node.versioned_name = versioned_name(m.name, m.version);
    }
    node.name = m.name;
    for (const std::string& parent : m.parents) node.depends_on.push_back(id_of(parent));
    if (m.event_time) node.event_time = "created_at";
    if (m.velk) node.velk = velk_meta(*m.velk);
    node.is_source = m.source;
    manifest.nodes.insert_or_assign(std::move(node));
  }
  return manifest;
}

// Every model (not source) of the manifest.
Selection all_models(const Manifest& manifest) {
  Selection selection;
  for (const Node& node : manifest.nodes) {
    if (!node.is_source) selection.insert(node.unique_id);
  }
  return selection;
}

Date day(std::string_view text) { return parse_date(text).value(); }

Window window(std::string_view start, std::string_view end) { return Window{day(start), day(end)}; }

// "name layer start..end <- parent, parent" per model, in plan order.
std::vector<std::string> render(const Plan& plan) {
  std::vector<std::string> lines;
  for (const PlannedModel& m : plan.models) {
    std::string line = m.name + " " + std::to_string(m.layer) + " " + format_date(m.event_time_start) +
                       ".." + format_date(m.event_time_end);
    for (std::size_t i = 0; i < m.depends_on.size(); ++i) line += (i == 0 ? " <- " : ", ") + m.depends_on[i];
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> render_warnings(const Plan& plan) {
  std::vector<std::string> lines;
  for (const PlanWarning& w : plan.warnings) lines.push_back(w.model + ": " + w.message);
  return lines;
}

Clock fixed_clock(std::int64_t seconds) {
  return [seconds] { return seconds; };
}

Plan plan_of(const std::vector<Model>& models, std::optional<Window> base,
             std::optional<std::string_view> anchor = std::nullopt, std::int64_t max_days = 90) {
  const Manifest manifest = manifest_of(models);
  auto plan = build_plan(manifest, all_models(manifest), base, max_days, anchor, fixed_clock(0));
  if (!plan) {
    ADD_FAILURE() << describe_plan_error(plan.error());
    return Plan{};
  }
  return std::move(*plan);
}

PlanError error_of(const std::vector<Model>& models, std::optional<std::string_view> anchor) {
  const Manifest manifest = manifest_of(models);
  auto plan = build_plan(manifest, all_models(manifest), window("2024-01-01", "2024-01-01"), 90,
                         anchor, fixed_clock(0));
  if (plan) {
    ADD_FAILURE() << "planning succeeded";
    return PlanError{PlanError::Cycle{}};
  }
  return plan.error();
}

const std::string kCycleMessage =
    "the selected models form a cycle and have no Entry Node -- this shouldn't be possible against "
    "a real dbt-compiled manifest; check that --manifest points at a genuine `dbt compile`/`dbt "
    "parse` output";

const std::string kSettingsWarning =
    "declares config.meta.velk (lookback/lookahead) but has no event_time configured -- this "
    "isn't a microbatch model in dbt's own terms, so this config has no real effect";

// ---------------------------------------------------------------------------
// Selection graph and plan order

TEST(SelectionGraph, KeepsOnlySelectedParentsInOrderWithRepeats) {
  const Manifest manifest = manifest_of({
      {.name = "a"},
      {.name = "c"},
      {.name = "unselected"},
      {.name = "raw", .id = "source.p.raw", .source = true},
      {.name = "b", .parents = {"c", "source.p.raw", "unselected", "test.p.not_null", "a", "ghost", "c"}},
  });
  Selection selection{"model.p.a", "model.p.b", "model.p.c", "model.p.no_node"};
  const PredecessorMap graph = build_selection_graph(manifest, selection);

  ASSERT_EQ(graph.size(), 4u);
  EXPECT_EQ(graph.at("model.p.b"),
            (std::vector<std::string_view>{"model.p.c", "model.p.a", "model.p.c"}));
  EXPECT_TRUE(graph.at("model.p.a").empty());
  EXPECT_TRUE(graph.at("model.p.no_node").empty());
}

TEST(SelectionGraph, EmptySelection) {
  const Manifest manifest = manifest_of({{.name = "a"}});
  EXPECT_TRUE(build_selection_graph(manifest, Selection{}).empty());
  const auto order = kahn_order(PredecessorMap{});
  ASSERT_TRUE(order.has_value());
  EXPECT_TRUE(order->empty());
}

TEST(KahnOrder, SortsTheReadyIdsAndEachReleaseBatchByBytes) {
  using List = std::vector<std::string_view>;
  const struct {
    const char* what;
    std::vector<std::pair<std::string_view, List>> map;
    std::optional<List> order;
  } cases[] = {
      {"batches are sorted, not the whole order",
       {{"y", {"a"}}, {"b", {"z"}}, {"a", {}}, {"z", {}}},
       List{"a", "z", "y", "b"}},
      {"chain", {{"c", {"b"}}, {"b", {"a"}}, {"a", {}}}, List{"a", "b", "c"}},
      {"one placement releases a sorted batch",
       {{"m", {"a"}}, {"k", {"a"}}, {"c", {"a"}}, {"a", {}}},
       List{"a", "c", "k", "m"}},
      {"placed only after its last parent",
       {{"m", {"a", "b"}}, {"b", {"c"}}, {"a", {}}, {"c", {}}},
       List{"a", "c", "b", "m"}},
      {"byte order of ids", {{"model.p.m", {}}, {"model.p.a", {}}}, List{"model.p.a", "model.p.m"}},
      {"upper case before lower case", {{"model.p.a", {}}, {"model.p.B", {}}},
       List{"model.p.B", "model.p.a"}},
      {"a prefix first", {{"model.p.a_b", {}}, {"model.p.a", {}}}, List{"model.p.a", "model.p.a_b"}},
      {"bytes, not signed chars", {{"\xC3\xA9", {}}, {"z", {}}}, List{"z", "\xC3\xA9"}},
      {"a parent listed twice releases once", {{"b", {"a", "a"}}, {"a", {}}}, List{"a", "b"}},
      {"self reference next to Entry Nodes", {{"a", {}}, {"s", {"s"}}, {"b", {"a"}}}, std::nullopt},
      {"two models naming each other", {{"a", {}}, {"x", {"y"}}, {"y", {"x"}}}, std::nullopt},
      {"downstream of a cycle", {{"x", {"y"}}, {"y", {"x"}}, {"z", {"x"}}}, std::nullopt},
      {"a listed id that is not a key", {{"a", {}}, {"b", {"ghost"}}}, std::nullopt},
  };
  for (const auto& c : cases) {
    PredecessorMap map;
    for (const auto& [id, list] : c.map) map.emplace(id, list);
    EXPECT_EQ(kahn_order(map), c.order) << c.what;
  }
}

// A random graph inserted in different orders (so the map iterates
// differently) always gives the same order, and every parent comes first.
TEST(KahnOrder, SameOrderWhateverTheMapsOrder) {
  std::mt19937 random(7);
  std::vector<std::string> ids;
  for (int i = 0; i < 400; ++i) ids.push_back("model.p.m" + std::to_string(random() % 100000) + "_" + std::to_string(i));
  std::vector<std::vector<std::string_view>> lists(ids.size());
  for (std::size_t i = 1; i < ids.size(); ++i) {
    const std::size_t parents = random() % 4;
    for (std::size_t k = 0; k < parents; ++k) lists[i].push_back(ids[random() % i]);
  }
  std::optional<std::vector<std::string_view>> first;
  std::vector<std::size_t> positions(ids.size());
  for (std::size_t i = 0; i < positions.size(); ++i) positions[i] = i;
  for (int round = 0; round < 10; ++round) {
    std::shuffle(positions.begin(), positions.end(), random);
    PredecessorMap map;
    if (round % 2 == 1) map.reserve(4096);  // another bucket layout
    for (std::size_t i : positions) map.emplace(ids[i], lists[i]);
    const auto order = kahn_order(map);
    ASSERT_TRUE(order.has_value());
    if (!first) first = order;
    ASSERT_EQ(*order, *first) << "round " << round;
  }
  std::vector<std::size_t> placed_at(ids.size());
  for (std::size_t i = 0; i < first->size(); ++i) {
    placed_at[std::find(ids.begin(), ids.end(), (*first)[i]) - ids.begin()] = i;
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    for (std::string_view parent : lists[i]) {
      EXPECT_LT(placed_at[std::find(ids.begin(), ids.end(), parent) - ids.begin()], placed_at[i]);
    }
  }
}

TEST(Layers, LongestPathFromAnEntryNode) {
  const Window w = window("2024-01-01", "2024-01-01");
  const struct {
    const char* what;
    std::vector<Model> models;
    std::vector<std::string> expected;
  } cases[] = {
      {"single model", {{.name = "a"}}, {"a 0 2024-01-01..2024-01-01"}},
      {"chain",
       {{.name = "c", .parents = {"b"}}, {.name = "b", .parents = {"a"}}, {.name = "a"}},
       {"a 0 2024-01-01..2024-01-01", "b 1 2024-01-01..2024-01-01 <- a", "c 2 2024-01-01..2024-01-01 <- b"}},
      {"worked example",
       {{.name = "a"}, {.name = "z"}, {.name = "y", .parents = {"a"}}, {.name = "b", .parents = {"z"}}},
       {"a 0 2024-01-01..2024-01-01", "z 0 2024-01-01..2024-01-01", "y 1 2024-01-01..2024-01-01 <- a",
        "b 1 2024-01-01..2024-01-01 <- z"}},
      {"the longer of two paths",
       {{.name = "m", .parents = {"a", "b"}}, {.name = "b", .parents = {"c"}}, {.name = "a"}, {.name = "c"}},
       {"a 0 2024-01-01..2024-01-01", "c 0 2024-01-01..2024-01-01", "b 1 2024-01-01..2024-01-01 <- c",
        "m 2 2024-01-01..2024-01-01 <- a, b"}},
      {"only unselected parents and sources: an Entry Node",
       {{.name = "raw", .id = "source.p.raw", .source = true},
        {.name = "m", .parents = {"source.p.raw", "seed.p.s", "ghost"}}},
       {"m 0 2024-01-01..2024-01-01"}},
      {"a parent listed twice",
       {{.name = "a"}, {.name = "b", .parents = {"a"}}, {.name = "c", .parents = {"b", "b"}}},
       {"a 0 2024-01-01..2024-01-01", "b 1 2024-01-01..2024-01-01 <- a",
        "c 2 2024-01-01..2024-01-01 <- b, b"}},
  };
  for (const auto& c : cases) EXPECT_EQ(render(plan_of(c.models, w)), c.expected) << c.what;
}

// ---------------------------------------------------------------------------
// Forward windows

TEST(Windows, UnionOfParentWindowsWidenedByTheModelsOwnSettings) {
  // r takes the base window; a1 and a2 are widened from it so that later
  // models see two different parent windows.
  const Window base = window("2024-01-15", "2024-01-20");
  const Model r{.name = "r", .velk = Settings{.lookback = 30, .lookahead = 30}};  // own settings never widen r
  const Model a1{.name = "a1", .parents = {"r"}, .velk = Settings{.lookback = 5}};     // 01-10..01-20
  const Model a2{.name = "a2", .parents = {"r"}, .velk = Settings{.lookahead = 5}};    // 01-15..01-25
  const std::vector<std::string> prefix = {"r 0 2024-01-15..2024-01-20",
                                           "a1 1 2024-01-10..2024-01-20 <- r",
                                           "a2 1 2024-01-15..2024-01-25 <- r"};
  const struct {
    const char* what;
    Model b;
    const char* expected;
  } cases[] = {
      {"no settings: the plain union", {.name = "b", .parents = {"a1", "a2"}},
       "b 2 2024-01-10..2024-01-25 <- a1, a2"},
      {"lookback in months", {.name = "b", .parents = {"a1", "a2"}, .velk = Settings{.lookback = 1, .lookback_unit = TimeUnit::month}},
       "b 2 2023-12-10..2024-01-25 <- a1, a2"},
      {"an override by the parent's name keeps the unit",
       {.name = "b", .parents = {"a1", "a2"},
        .velk = Settings{.lookback = 1, .lookback_unit = TimeUnit::month, .lookback_overrides = {{"a2", 7}}}},
       "b 2 2023-06-15..2024-01-25 <- a1, a2"},
      {"a lookahead override in months",
       {.name = "b", .parents = {"a1", "a2"},
        .velk = Settings{.lookahead_unit = TimeUnit::month, .lookahead_overrides = {{"a1", 10}}}},
       "b 2 2024-01-10..2024-11-20 <- a1, a2"},
      {"an override keyed by unique id does not apply",
       {.name = "b", .parents = {"a1"}, .velk = Settings{.lookback = 1, .lookback_overrides = {{"model.p.a1", 9}}}},
       "b 2 2024-01-09..2024-01-20 <- a1"},
      {"an override for a model that is not a parent has no effect",
       {.name = "b", .parents = {"a1"}, .velk = Settings{.lookback = 1, .lookback_overrides = {{"r", 9}}}},
       "b 2 2024-01-09..2024-01-20 <- a1"},
      {"weeks", {.name = "b", .parents = {"a2"}, .velk = Settings{.lookahead = 2, .lookahead_unit = TimeUnit::week}},
       "b 2 2024-01-15..2024-02-08 <- a2"},
      {"a year back", {.name = "b", .parents = {"a1"}, .velk = Settings{.lookback = 1, .lookback_unit = TimeUnit::year}},
       "b 2 2023-01-10..2024-01-20 <- a1"},
      {"negative amounts narrow", {.name = "b", .parents = {"a1"}, .velk = Settings{.lookback = -2, .lookahead = -3}},
       "b 2 2024-01-12..2024-01-17 <- a1"},
      {"nothing clamps a window that ends before it starts",
       {.name = "b", .parents = {"a1"}, .velk = Settings{.lookback = -20}},
       "b 2 2024-01-30..2024-01-20 <- a1"},
      {"a parent's own settings do not reach its child", {.name = "b", .parents = {"r"}},
       "b 1 2024-01-15..2024-01-20 <- r"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> expected = prefix;
    expected.push_back(c.expected);
    EXPECT_EQ(render(plan_of({r, a1, a2, c.b}, base)), expected) << c.what;
  }
}

TEST(Windows, ChainExample) {
  const Plan plan = plan_of({{.name = "A"}, {.name = "B", .parents = {"A"}, .velk = Settings{.lookback = 2, .lookahead = 1}}},
                            window("2024-03-10", "2024-03-10"));
  EXPECT_EQ(render(plan), (std::vector<std::string>{"A 0 2024-03-10..2024-03-10",
                                                    "B 1 2024-03-08..2024-03-11 <- A"}));
  EXPECT_EQ(plan.source, WindowSource::Explicit);
  EXPECT_EQ(plan.event_time_start, day("2024-03-10"));
  EXPECT_EQ(plan.event_time_end, day("2024-03-10"));
  EXPECT_FALSE(plan.anchor_model.has_value());
  EXPECT_FALSE(plan.default_yesterday_note().has_value());
}

TEST(Windows, DisjointParentWindowsCoverTheGap) {
  const Plan plan = plan_of(
      {{.name = "r"},
       {.name = "p1", .parents = {"r"}, .velk = Settings{.lookback = 4, .lookahead = -3}},
       {.name = "p2", .parents = {"r"}, .velk = Settings{.lookback = -5, .lookahead = 6}},
       {.name = "c", .parents = {"p1", "p2"}}},
      window("2024-01-05", "2024-01-05"));
  EXPECT_EQ(render(plan).back(), "c 2 2024-01-01..2024-01-11 <- p1, p2");
}

TEST(Windows, TwoParentsWithOneNameShareAnOverride) {
  const Plan plan = plan_of(
      {{.name = "r"},
       {.name = "x", .parents = {"r"}, .id = "model.one.x"},
       {.name = "x", .parents = {"r"}, .velk = Settings{.lookahead = 1}, .id = "model.two.x"},
       {.name = "b", .parents = {"model.one.x", "model.two.x"},
        .velk = Settings{.lookback = 1, .lookback_overrides = {{"x", 3}, {"zzz", 100}}}}},
      window("2024-01-10", "2024-01-10"));
  EXPECT_EQ(render(plan), (std::vector<std::string>{
                              "r 0 2024-01-10..2024-01-10", "x 1 2024-01-10..2024-01-10 <- r",
                              "x 1 2024-01-10..2024-01-11 <- r", "b 2 2024-01-07..2024-01-11 <- x, x"}));
}

TEST(Windows, StartAfterEndIsUsedUnchanged) {
  const Plan plan = plan_of({{.name = "a"}, {.name = "b", .parents = {"a"}, .velk = Settings{.lookback = 1}}},
                            window("2024-03-10", "2024-03-01"));
  EXPECT_EQ(render(plan), (std::vector<std::string>{"a 0 2024-03-10..2024-03-01",
                                                    "b 1 2024-03-09..2024-03-01 <- a"}));
}

TEST(Windows, RecordsTheModelsOwnSettingsNotTheOverrides) {
  const Plan plan = plan_of(
      {{.name = "a", .velk = Settings{.lookback = 3, .lookback_unit = TimeUnit::week, .lookahead = -1,
                                       .lookahead_unit = TimeUnit::year}},
       {.name = "b", .parents = {"a"},
        .velk = Settings{.lookback = 2, .lookback_unit = TimeUnit::month, .lookback_overrides = {{"a", 9}},
                         .lookahead_overrides = {{"a", 4}}}},
       {.name = "c", .parents = {"b"}}},
      window("2024-01-01", "2024-01-31"));
  ASSERT_EQ(plan.models.size(), 3u);
  const PlannedModel& a = plan.models[0];
  EXPECT_EQ(render(plan)[0], "a 0 2024-01-01..2024-01-31");  // an Entry Node's own settings do not widen it
  EXPECT_EQ(a.lookback, 3);
  EXPECT_EQ(a.lookback_unit, TimeUnit::week);
  EXPECT_EQ(a.lookahead, -1);
  EXPECT_EQ(a.lookahead_unit, TimeUnit::year);
  const PlannedModel& b = plan.models[1];
  EXPECT_EQ(render(plan)[1], "b 1 2023-04-01..2024-02-04 <- a");
  EXPECT_EQ(b.lookback, 2);
  EXPECT_EQ(b.lookback_unit, TimeUnit::month);
  EXPECT_EQ(b.lookahead, 0);
  const PlannedModel& c = plan.models[2];
  EXPECT_EQ(c.lookback, 0);
  EXPECT_EQ(c.lookahead, 0);
  EXPECT_EQ(c.lookback_unit, TimeUnit::day);
  EXPECT_EQ(c.lookahead_unit, TimeUnit::day);
}

// Far outside the calendar the arithmetic wraps, and so does the window's
// day count; planning goes on (the sanitizer build checks for overflow).
TEST(Windows, WrapsFarOutsideTheCalendar) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  const std::vector<Model> models = {
      {.name = "a"},
      {.name = "b", .parents = {"a"}, .velk = Settings{.lookback = kMax, .lookback_unit = TimeUnit::year,
                                                        .lookahead = kMin, .lookahead_unit = TimeUnit::week}},
      {.name = "c", .parents = {"b"}, .velk = Settings{.lookback = kMin, .lookahead = kMax}},
      {.name = "d", .parents = {"c"}, .velk = Settings{.lookback = kMin, .lookback_unit = TimeUnit::month,
                                                        .lookahead = kMax, .lookahead_unit = TimeUnit::month}},
  };
  EXPECT_EQ(plan_of(models, Window{Date{kMin}, Date{kMax}}, std::nullopt, 90).models.size(), 4u);

  // end - start + 1 over the whole range wraps to 0 days; reversed, to 2.
  const Plan whole = plan_of({{.name = "a"}}, Window{Date{kMin}, Date{kMax}}, std::nullopt, -1);
  EXPECT_EQ(render_warnings(whole),
            (std::vector<std::string>{"a: expanded window (0 days) exceeds max_window_expansion_days (-1)"}));
  const Plan reversed = plan_of({{.name = "a"}}, Window{Date{kMax}, Date{kMin}}, std::nullopt, 1);
  EXPECT_EQ(render_warnings(reversed),
            (std::vector<std::string>{"a: expanded window (2 days) exceeds max_window_expansion_days (1)"}));
}

// ---------------------------------------------------------------------------
// Warnings

TEST(Warnings, ExpansionAndSettingsInPlanOrder) {
  const struct {
    const char* what;
    std::vector<Model> models;
    Window base;
    std::int64_t max_days;
    std::vector<std::string> expected;
  } cases[] = {
      {"31 days over a maximum of 30", {{.name = "a"}}, window("2024-01-01", "2024-01-31"), 30,
       {"a: expanded window (31 days) exceeds max_window_expansion_days (30)"}},
      {"31 days at a maximum of 31", {{.name = "a"}}, window("2024-01-01", "2024-01-31"), 31, {}},
      {"a maximum of 0 warns for one day", {{.name = "a"}}, window("2024-01-01", "2024-01-01"), 0,
       {"a: expanded window (1 days) exceeds max_window_expansion_days (0)"}},
      {"start after end: negative days exceed only a lower maximum", {{.name = "a"}},
       window("2024-03-10", "2024-03-01"), 0, {}},
      {"start after end under a negative maximum", {{.name = "a"}}, window("2024-03-10", "2024-03-01"), -9,
       {"a: expanded window (-8 days) exceeds max_window_expansion_days (-9)"}},
      {"only widened models exceed",
       {{.name = "a"}, {.name = "b", .parents = {"a"}, .velk = Settings{.lookback = 1, .lookback_unit = TimeUnit::month}}},
       window("2024-03-01", "2024-03-31"), 31,
       {"b: expanded window (60 days) exceeds max_window_expansion_days (31)"}},
      {"settings without event_time, empty settings included",
       {{.name = "a", .velk = Settings{.lookback = 1}, .event_time = false},
        {.name = "b", .parents = {"a"}, .event_time = false},
        {.name = "c", .parents = {"b"}, .velk = Settings{}, .event_time = false},
        {.name = "d", .parents = {"c"}, .velk = Settings{}}},
       window("2024-03-01", "2024-03-01"), 90,
       {"a: " + kSettingsWarning, "c: " + kSettingsWarning}},
      {"the expansion warning comes first",
       {{.name = "a", .velk = Settings{.lookback = 1}, .event_time = false},
        {.name = "b", .parents = {"a"}, .velk = Settings{.lookahead = 5}, .event_time = false}},
       window("2024-03-01", "2024-03-03"), 3,
       {"a: " + kSettingsWarning, "b: expanded window (8 days) exceeds max_window_expansion_days (3)",
        "b: " + kSettingsWarning}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(render_warnings(plan_of(c.models, c.base, std::nullopt, c.max_days)), c.expected) << c.what;
  }
}

// ---------------------------------------------------------------------------
// The default window

TEST(DefaultWindow, YesterdayInUtcFromTheClock) {
  const struct {
    std::int64_t seconds;
    const char* yesterday;
  } cases[] = {
      {1710082800, "2024-03-09"},  // 2024-03-10T15:00:00Z
      {1710028800, "2024-03-09"},  // 2024-03-10T00:00:00Z
      {1710028799, "2024-03-08"},  // one second earlier
      {86400, "1970-01-01"},
      {0, "1969-12-31"},
      {-1, "1969-12-31"},  // a clock before 1970 counts as 0
      {-86400 * 400, "1969-12-31"},
      {std::numeric_limits<std::int64_t>::min(), "1969-12-31"},
  };
  const Manifest manifest = manifest_of({{.name = "a"}, {.name = "b", .parents = {"a"}, .velk = Settings{.lookahead = 1}}});
  for (const auto& c : cases) {
    const auto plan = build_plan(manifest, all_models(manifest), std::nullopt, 90, std::nullopt,
                                 fixed_clock(c.seconds));
    ASSERT_TRUE(plan.has_value());
    const Date yesterday = day(c.yesterday);
    EXPECT_EQ(plan->source, WindowSource::DefaultYesterday);
    EXPECT_EQ(plan->event_time_start, yesterday) << c.seconds;
    EXPECT_EQ(plan->event_time_end, yesterday) << c.seconds;
    EXPECT_EQ(plan->models[0].event_time_start, yesterday);
    EXPECT_EQ(plan->models[1].event_time_end, add_units(yesterday, 1, TimeUnit::day));
    EXPECT_EQ(plan->default_yesterday_note(),
              std::string("note: --event-time-start/--event-time-end not supplied, defaulting every "
                          "Entry Node to yesterday (") + c.yesterday + ")");
  }
}

TEST(DefaultWindow, TheClockIsReadOnlyWithoutAWindow) {
  int reads = 0;
  const Clock counting = [&reads] {
    ++reads;
    return std::int64_t{1710082800};
  };
  const Manifest manifest = manifest_of({{.name = "a"}});
  ASSERT_TRUE(build_plan(manifest, all_models(manifest), window("2024-01-01", "2024-01-02"), 90,
                         std::nullopt, counting));
  EXPECT_EQ(reads, 0);
  ASSERT_TRUE(build_plan(manifest, all_models(manifest), std::nullopt, 90, std::nullopt, counting));
  EXPECT_EQ(reads, 1);
}

TEST(DefaultWindow, EmptySelection) {
  const auto plan = build_plan(Manifest{}, Selection{}, std::nullopt, 90, std::nullopt, fixed_clock(1710082800));
  ASSERT_TRUE(plan.has_value());
  EXPECT_TRUE(plan->models.empty());
  EXPECT_TRUE(plan->warnings.empty());
  EXPECT_EQ(plan->source, WindowSource::DefaultYesterday);
  EXPECT_EQ(plan->event_time_start, day("2024-03-09"));
}

// ---------------------------------------------------------------------------
// Failures

TEST(PlanErrors, Messages) {
  const std::vector<Model> cycle = {{.name = "entry"}, {.name = "x", .parents = {"y"}}, {.name = "y", .parents = {"x"}}};
  const std::vector<Model> self = {{.name = "entry"}, {.name = "s", .parents = {"s"}}, {.name = "t", .parents = {"entry"}}};
  const std::vector<Model> bac = {{.name = "b"}, {.name = "a", .parents = {"b"}}, {.name = "c"}};
  const struct {
    const char* what;
    std::vector<Model> models;
    std::optional<std::string_view> anchor;
    std::string message;
  } cases[] = {
      {"a cycle next to an Entry Node", cycle, std::nullopt, kCycleMessage},
      {"a self reference", self, std::nullopt, kCycleMessage},
      {"a cycle wins over an anchor that is not selected", cycle, "nowhere", kCycleMessage},
      {"a cycle with a selected anchor", cycle, "entry", kCycleMessage},
      {"names sorted, with their count", bac, "zz",
       "--anchor \"zz\" is not among the 3 model(s) selected by --select: a, b, c"},
      {"the anchor is matched by name, not unique id", bac, "model.p.a",
       "--anchor \"model.p.a\" is not among the 3 model(s) selected by --select: a, b, c"},
      {"shared names are all listed",
       {{.name = "b"}, {.name = "a", .id = "model.one.a"}, {.name = "a", .id = "model.two.a"}}, "A",
       "--anchor \"A\" is not among the 3 model(s) selected by --select: a, a, b"},
      {"the anchor in quoted form", {{.name = "a"}}, "say \"hi\"\t",
       "--anchor \"say \\\"hi\\\"\\t\" is not among the 1 model(s) selected by --select: a"},
      {"an empty selection ends in a colon and space", {}, "a",
       "--anchor \"a\" is not among the 0 model(s) selected by --select: "},
  };
  for (const auto& c : cases) EXPECT_EQ(describe_plan_error(error_of(c.models, c.anchor)), c.message) << c.what;
}

TEST(PlanErrors, AnchorNotSelectedCarriesItsFields) {
  const Manifest manifest = manifest_of({{.name = "b"}, {.name = "a"}, {.name = "unselected"}});
  // A selected id without a node is left out of the names.
  const Selection selection{"model.p.a", "model.p.b", "model.p.no_node"};
  const PredecessorMap parents = build_selection_graph(manifest, selection);
  const auto result = resolve_anchor_windows(manifest, selection, parents, "unselected",
                                             window("2024-01-01", "2024-01-01"));
  ASSERT_FALSE(result.has_value());
  const auto* missing = std::get_if<PlanError::AnchorNotSelected>(&result.error().error);
  ASSERT_NE(missing, nullptr);
  EXPECT_EQ(missing->anchor, "unselected");
  EXPECT_EQ(missing->selected, "a, b");
  EXPECT_EQ(missing->count, 2u);
}

TEST(PlanErrors, SelectedIdWithoutANodeIsAnInternalError) {
  const Manifest manifest = manifest_of({{.name = "a"}});
  EXPECT_THROW(build_plan(manifest, Selection{"model.p.a", "model.p.gone"}, window("2024-01-01", "2024-01-01"),
                          90, std::nullopt, fixed_clock(0)),
               InternalError);
}

// ---------------------------------------------------------------------------
// Anchor mode

TEST(Anchor, WindowsDerivedBackwardsFromTheAnchor) {
  const Window base = window("2024-06-10", "2024-06-12");
  const Model a{.name = "A"};
  const Model b{.name = "B", .parents = {"A"}, .velk = Settings{.lookback = 1, .lookback_unit = TimeUnit::week}};
  const Model c{.name = "C", .parents = {"B"}, .velk = Settings{.lookback = 2}};
  const Model d{.name = "D", .parents = {"C"}, .velk = Settings{.lookback = 1}};
  const struct {
    const char* what;
    std::vector<Model> models;
    std::vector<std::string> expected;
  } cases[] = {
      {"chain, and a child of the anchor planned forwards",
       {a, b, c, d},
       {"A 0 2024-06-01..2024-06-12", "B 1 2024-06-08..2024-06-12 <- A", "C 2 2024-06-10..2024-06-12 <- B",
        "D 3 2024-06-09..2024-06-12 <- C"}},
      {"a second child of an ancestor does not widen it, and is planned from it",
       {a, b, c, {.name = "E", .parents = {"A"}, .velk = Settings{.lookback = 3, .lookahead = 40}}},
       {"A 0 2024-06-01..2024-06-12", "B 1 2024-06-08..2024-06-12 <- A", "E 1 2024-05-29..2024-07-22 <- A",
        "C 2 2024-06-10..2024-06-12 <- B"}},
      {"an Entry Node that is no ancestor takes the base window",
       {a, b, c, {.name = "X", .velk = Settings{.lookback = 9}}, {.name = "Y", .parents = {"X", "C"}}},
       {"A 0 2024-06-01..2024-06-12", "X 0 2024-06-10..2024-06-12", "B 1 2024-06-08..2024-06-12 <- A",
        "C 2 2024-06-10..2024-06-12 <- B", "Y 3 2024-06-10..2024-06-12 <- X, C"}},
      {"the consumer's override for the ancestor's name",
       {a, b, {.name = "C", .parents = {"B"}, .velk = Settings{.lookback = 2, .lookback_overrides = {{"B", 5}}}}},
       {"A 0 2024-05-29..2024-06-12", "B 1 2024-06-05..2024-06-12 <- A", "C 2 2024-06-10..2024-06-12 <- B"}},
      {"a diamond: the union through both consumers",
       {a,
        {.name = "B", .parents = {"A"}, .velk = Settings{.lookback = 3}},
        {.name = "C", .parents = {"A"}, .velk = Settings{.lookahead = 1, .lookahead_unit = TimeUnit::week}},
        {.name = "Z", .parents = {"B", "C"}, .velk = Settings{.lookback = 1, .lookahead = 2}}},
       {"A 0 2024-06-06..2024-06-21", "B 1 2024-06-09..2024-06-14 <- A", "C 1 2024-06-09..2024-06-14 <- A",
        "Z 2 2024-06-10..2024-06-12 <- B, C"}},
  };
  const std::string_view anchors[] = {"C", "C", "C", "C", "Z"};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Plan plan = plan_of(cases[i].models, base, anchors[i]);
    EXPECT_EQ(render(plan), cases[i].expected) << cases[i].what;
    EXPECT_EQ(plan.anchor_model, std::string(anchors[i]));
    EXPECT_EQ(plan.event_time_start, base.start);
    EXPECT_EQ(plan.event_time_end, base.end);
  }
}

TEST(Anchor, AnEntryNodeAnchorChangesNothingButTheAnchorName) {
  const std::vector<Model> models = {
      {.name = "A", .velk = Settings{.lookback = 4}, .event_time = false},
      {.name = "B", .parents = {"A"}, .velk = Settings{.lookback = 1, .lookahead = 1}},
      {.name = "C", .parents = {"B", "A"}, .velk = Settings{.lookahead = 1, .lookahead_unit = TimeUnit::month}},
  };
  const Window base = window("2024-06-10", "2024-06-12");
  const Plan plain = plan_of(models, base, std::nullopt, 5);
  const Plan anchored = plan_of(models, base, "A", 5);
  EXPECT_EQ(render(anchored), render(plain));
  EXPECT_EQ(render_warnings(anchored), render_warnings(plain));
  EXPECT_EQ(anchored.anchor_model, "A");
  const Manifest manifest = manifest_of(models);
  const Selection selection = all_models(manifest);
  const auto windows = resolve_anchor_windows(manifest, selection, build_selection_graph(manifest, selection),
                                              "A", base);
  ASSERT_TRUE(windows.has_value());
  ASSERT_EQ(windows->size(), 1u);
  EXPECT_EQ(windows->at("model.p.A"), base);
}

TEST(Anchor, WarningsCoverDerivedWindows) {
  const Plan plan = plan_of({{.name = "A"}, {.name = "B", .parents = {"A"}, .velk = Settings{.lookback = 10}}},
                            window("2024-06-10", "2024-06-10"), "B", 5);
  EXPECT_EQ(render_warnings(plan),
            (std::vector<std::string>{"A: expanded window (11 days) exceeds max_window_expansion_days (5)"}));
}

// Two selected models share the anchor's name: the one with the lowest
// unique id is the anchor, however the selection happens to iterate. Each
// pair below hashes differently, so some iterate the higher id first.
TEST(Anchor, SharedNamePicksTheLowestUniqueId) {
  for (int pair = 0; pair < 24; ++pair) {
    const std::string low = "model.a" + std::to_string(pair) + ".x";
    const std::string high = "model.b" + std::to_string(pair) + ".x";
    const std::vector<Model> models = {
        {.name = "low_parent"},
        {.name = "high_parent"},
        {.name = "x", .parents = {"low_parent"}, .velk = Settings{.lookback = 1}, .id = low},
        {.name = "x", .parents = {"high_parent"}, .velk = Settings{.lookback = 1}, .id = high},
    };
    const Plan plan = plan_of(models, window("2024-06-10", "2024-06-10"), "x");
    EXPECT_EQ(render(plan), (std::vector<std::string>{"high_parent 0 2024-06-10..2024-06-10",
                                                      "low_parent 0 2024-06-09..2024-06-10",
                                                      "x 1 2024-06-09..2024-06-10 <- high_parent",
                                                      "x 1 2024-06-10..2024-06-10 <- low_parent"}))
        << low << " / " << high;
  }
}

// dbt prints each version of dim_customers as "dim_customers.v{version}",
// and so does the plan, everywhere it names a model. The plan order sorts
// by unique id, so the versions come as v1, vbeta (both released by
// stg_customers) and v2 (released by stg_orders).
TEST(Anchor, APrintedVersionNameAnchorsThatVersion) {
  auto manifest = load_manifest(versioned_models_manifest());
  ASSERT_TRUE(manifest.has_value()) << describe_manifest_error(manifest.error());
  Selection selection = all_models(*manifest);
  selection.erase("model.crm.dim_customers");
  struct Case {
    std::optional<std::string_view> anchor;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      // customer_cohorts' override of its parent's name holds for version 2.
      {std::nullopt,
       {"stg_customers 0 2024-06-10..2024-06-10", "stg_orders 0 2024-06-10..2024-06-10",
        "dim_customers.v1 1 2024-06-09..2024-06-10 <- stg_customers",
        "dim_customers.vbeta 1 2024-06-10..2024-06-11 <- stg_customers",
        "dim_customers.v2 1 2024-06-07..2024-06-10 <- stg_customers, stg_orders",
        "customer_cohorts 2 2024-06-07..2024-06-10 <- dim_customers.v2"}},
      // Version 2 has the base window; its parents reach back by its lookback of 3.
      {"dim_customers.v2",
       {"stg_customers 0 2024-06-07..2024-06-10", "stg_orders 0 2024-06-07..2024-06-10",
        "dim_customers.v1 1 2024-06-06..2024-06-10 <- stg_customers",
        "dim_customers.vbeta 1 2024-06-07..2024-06-11 <- stg_customers",
        "dim_customers.v2 1 2024-06-10..2024-06-10 <- stg_customers, stg_orders",
        "customer_cohorts 2 2024-06-10..2024-06-10 <- dim_customers.v2"}},
      // A string version: its lookahead of 1 carries its parent forward.
      {"dim_customers.vbeta",
       {"stg_customers 0 2024-06-10..2024-06-11", "stg_orders 0 2024-06-10..2024-06-10",
        "dim_customers.v1 1 2024-06-09..2024-06-11 <- stg_customers",
        "dim_customers.vbeta 1 2024-06-10..2024-06-10 <- stg_customers",
        "dim_customers.v2 1 2024-06-07..2024-06-11 <- stg_customers, stg_orders",
        "customer_cohorts 2 2024-06-07..2024-06-11 <- dim_customers.v2"}},
  };
  for (const auto& c : cases) {
    const auto plan = build_plan(*manifest, selection, window("2024-06-10", "2024-06-10"), 90, c.anchor,
                                 fixed_clock(0));
    ASSERT_TRUE(plan.has_value()) << describe_plan_error(plan.error());
    EXPECT_EQ(render(*plan), c.lines) << c.anchor.value_or("(no anchor)");
    EXPECT_EQ(plan->anchor_model, c.anchor ? std::optional<std::string>(*c.anchor) : std::nullopt);
  }

  // The bare name is shared by three selected versions: none of them is
  // the anchor, and the message lists them in plan order.
  const auto shared = build_plan(*manifest, selection, window("2024-06-10", "2024-06-10"), 90,
                                 std::string_view("dim_customers"), fixed_clock(0));
  ASSERT_FALSE(shared.has_value());
  EXPECT_EQ(describe_plan_error(shared.error()),
            "--anchor \"dim_customers\" names 3 versions selected by --select: dim_customers.v1, "
            "dim_customers.vbeta, dim_customers.v2 -- pass one of these names to --anchor");

  // A version that is not selected, or not in the manifest, is no anchor;
  // the selected models are listed by their printed names.
  selection.erase("model.shop.dim_customers.v1");
  for (const char* anchor : {"dim_customers.v1", "dim_customers.v3", "customer_cohorts.v2"}) {
    const auto plan = build_plan(*manifest, selection, window("2024-06-10", "2024-06-10"), 90,
                                 std::string_view(anchor), fixed_clock(0));
    ASSERT_FALSE(plan.has_value()) << anchor;
    EXPECT_EQ(describe_plan_error(plan.error()),
              "--anchor \"" + std::string(anchor) +
                  "\" is not among the 5 model(s) selected by --select: customer_cohorts, dim_customers.v2, "
                  "dim_customers.vbeta, stg_customers, stg_orders");
  }
}

// Which selected model a bare name anchors: the one version of it that is
// selected, or a model that dbt prints as that very name (here crm's
// unversioned dim_customers) beside any versions of the name.
TEST(Anchor, ABareNameAnchorsTheOneModelThatHasIt) {
  auto manifest = load_manifest(versioned_models_manifest());
  ASSERT_TRUE(manifest.has_value()) << describe_manifest_error(manifest.error());
  const struct {
    const char* what;
    std::vector<std::string> selected;
    std::string anchor_line;  // the anchor's line: it has the base window
  } cases[] = {
      {"one version selected",
       {"model.shop.stg_customers", "model.shop.dim_customers.vbeta"},
       "dim_customers.vbeta 1 2024-06-10..2024-06-10 <- stg_customers"},
      {"an unversioned model beside the versions",
       {"model.shop.stg_customers", "model.shop.dim_customers.v1", "model.shop.dim_customers.vbeta",
        "model.crm.dim_customers"},
       "dim_customers 0 2024-06-10..2024-06-10"},
  };
  for (const auto& c : cases) {
    const Selection selection(c.selected.begin(), c.selected.end());
    const auto plan = build_plan(*manifest, selection, window("2024-06-10", "2024-06-10"), 90,
                                 std::string_view("dim_customers"), fixed_clock(0));
    ASSERT_TRUE(plan.has_value()) << c.what << ": " << describe_plan_error(plan.error());
    const auto lines = render(*plan);
    EXPECT_NE(std::find(lines.begin(), lines.end(), c.anchor_line), lines.end()) << c.what;
    EXPECT_EQ(plan->anchor_model, "dim_customers") << c.what;
  }
}

// Versions listed by the plan order, not sorted: x.v2 is an Entry Node and
// comes before x.v1, which reads stg; and "v10" is just another version.
TEST(Anchor, ASharedBareNameListsTheVersionsInPlanOrder) {
  const Manifest manifest = manifest_of({{.name = "stg"},
                                         {.name = "x", .parents = {"stg"}, .version = "1"},
                                         {.name = "x", .version = "2"},
                                         {.name = "x", .parents = {"model.p.x.v1"}, .version = "10"},
                                         {.name = "y", .version = "1"}});
  Selection selection = all_models(manifest);
  const auto plan = build_plan(manifest, selection, window("2024-06-10", "2024-06-10"), 90,
                               std::string_view("x"), fixed_clock(0));
  ASSERT_FALSE(plan.has_value());
  const auto* shared = std::get_if<PlanError::AnchorAmbiguous>(&plan.error().error);
  ASSERT_NE(shared, nullptr) << describe_plan_error(plan.error());
  EXPECT_EQ(shared->anchor, "x");
  EXPECT_EQ(shared->versions, "x.v2, x.v1, x.v10");
  EXPECT_EQ(shared->count, 3u);

  // resolve_anchor_windows gives the same failure.
  const auto windows = resolve_anchor_windows(manifest, selection, build_selection_graph(manifest, selection),
                                              "x", window("2024-06-10", "2024-06-10"));
  ASSERT_FALSE(windows.has_value());
  EXPECT_EQ(describe_plan_error(windows.error()),
            "--anchor \"x\" names 3 versions selected by --select: x.v2, x.v1, x.v10 -- pass one of "
            "these names to --anchor");

  // Two versions of the name left: still no anchor; one left: that one.
  selection.erase("model.p.x.v10");
  EXPECT_FALSE(build_plan(manifest, selection, window("2024-06-10", "2024-06-10"), 90, std::string_view("x"),
                          fixed_clock(0)).has_value());
  selection.erase("model.p.x.v2");
  const auto single = build_plan(manifest, selection, window("2024-06-10", "2024-06-10"), 90,
                                 std::string_view("x"), fixed_clock(0));
  ASSERT_TRUE(single.has_value()) << describe_plan_error(single.error());
  EXPECT_EQ(render(*single), (std::vector<std::string>{"stg 0 2024-06-10..2024-06-10", "y.v1 0 2024-06-10..2024-06-10",
                                                       "x.v1 1 2024-06-10..2024-06-10 <- stg"}));
}

// An override under a version's printed name holds for that version alone
// and wins over one under the bare name, which holds for every version;
// forwards and, from an anchor, backwards alike. c1 reads x.v1, c2 reads
// x.v2, each with a lookback of 1 and a lookahead of 1.
TEST(Windows, AnOverrideForOneVersionWinsOverTheBareName) {
  const auto child = [](std::string name, std::string parent, Settings settings) {
    settings.lookback = 1;
    settings.lookahead = 1;
    return Model{.name = std::move(name), .parents = {std::move(parent)}, .velk = std::move(settings)};
  };
  const struct {
    const char* what;
    Settings settings;  // c1's and c2's overrides
    std::optional<std::string_view> anchor;
    std::vector<std::string> lines;
  } cases[] = {
      {"the bare name holds for both versions",
       {.lookback_overrides = {{"x", 5}}, .lookahead_overrides = {{"x", 0}}},
       std::nullopt,
       {"x.v1 0 2024-06-10..2024-06-10", "x.v2 0 2024-06-10..2024-06-10",
        "c1 1 2024-06-05..2024-06-10 <- x.v1", "c2 1 2024-06-05..2024-06-10 <- x.v2"}},
      {"the printed name wins for its version only",
       {.lookback_overrides = {{"x", 5}, {"x.v2", 9}}, .lookahead_overrides = {{"x.v1", 3}}},
       std::nullopt,
       {"x.v1 0 2024-06-10..2024-06-10", "x.v2 0 2024-06-10..2024-06-10",
        "c1 1 2024-06-05..2024-06-13 <- x.v1", "c2 1 2024-06-01..2024-06-11 <- x.v2"}},
      {"backwards from the anchor",
       {.lookback_overrides = {{"x", 5}, {"x.v2", 9}}, .lookahead_overrides = {{"x.v1", 3}}},
       "c2",
       {"x.v1 0 2024-06-10..2024-06-10", "x.v2 0 2024-06-01..2024-06-11",
        "c1 1 2024-06-05..2024-06-13 <- x.v1", "c2 1 2024-06-10..2024-06-10 <- x.v2"}},
  };
  for (const auto& c : cases) {
    const Plan plan = plan_of({{.name = "x", .version = "1"},
                               {.name = "x", .version = "2"},
                               child("c1", "model.p.x.v1", c.settings),
                               child("c2", "model.p.x.v2", c.settings)},
                              window("2024-06-10", "2024-06-10"), c.anchor);
    EXPECT_EQ(render(plan), c.lines) << c.what;
  }
}

// A warning names the version it is about.
TEST(Warnings, NameTheVersionAsDbtPrintsIt) {
  const Plan plan = plan_of({{.name = "x", .velk = Settings{}, .event_time = false, .version = "1"},
                             {.name = "x", .version = "2"}},
                            window("2024-06-01", "2024-06-10"), std::nullopt, 5);
  EXPECT_EQ(render_warnings(plan),
            (std::vector<std::string>{
                "x.v1: expanded window (10 days) exceeds max_window_expansion_days (5)",
                "x.v1: declares config.meta.velk (lookback/lookahead) but has no event_time configured -- this "
                "isn't a microbatch model in dbt's own terms, so this config has no real effect",
                "x.v2: expanded window (10 days) exceeds max_window_expansion_days (5)"}));
}

}  // namespace
