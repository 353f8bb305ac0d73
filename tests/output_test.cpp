// The plan document and the text tree, checked byte for byte.
#include "output.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

namespace {

Date day(std::string_view text) { return parse_date(text).value(); }

Clock fixed_clock(std::int64_t seconds) {
  return [seconds] { return seconds; };
}

PlannedModel model(std::string name, std::string_view start, std::string_view end,
                   std::uint64_t layer, std::vector<std::string> depends_on = {}) {
  PlannedModel planned;
  planned.name = std::move(name);
  planned.depends_on = std::move(depends_on);
  planned.event_time_start = day(start);
  planned.event_time_end = day(end);
  planned.layer = layer;
  return planned;
}

// A double quote, a backslash, a tab, U+0001, a non-ASCII letter and a slash.
const std::string kOddName = "we\"ird\\na\tme\x01-caf\xC3\xA9/v2";

Plan full_plan() {
  Plan plan;
  plan.anchor_model = "orders";
  plan.event_time_start = day("2024-03-08");
  plan.event_time_end = day("2024-03-08");
  plan.source = WindowSource::DefaultYesterday;
  plan.warnings = {
      {kOddName, "expanded window (40 days) exceeds max_window_expansion_days (30)"},
      {"orders", "declares config.meta.velk (lookback/lookahead) but has no event_time configured"},
  };
  PlannedModel orders = model("orders", "2024-03-08", "2024-03-08", 0);
  orders.lookback = 3;
  PlannedModel odd = model(kOddName, "2024-03-22", "2024-04-08", 1, {"orders", "stg/payments"});
  odd.lookback = -2;
  odd.lookback_unit = TimeUnit::week;
  odd.lookahead = 1;
  odd.lookahead_unit = TimeUnit::month;
  plan.models = {orders, model("stg/payments", "2024-03-08", "2024-03-08", 0), odd};
  return plan;
}

RunContext full_context() {
  RunContext context;
  context.anchor_selection = "+orders tag:\"daily\"";
  context.manifest_path = "target/manifest.json";
  context.dbt_command = "uv run dbt";
  context.manifest_generated_at = "2024-03-09T06:00:00.123456Z";
  context.max_window_expansion_days = 30;
  return context;
}

constexpr std::int64_t k20240309T070502 = 1709967902;

TEST(PlanDocument, FullDocumentByteForByte) {
  const std::string expected = R"json({
  "metadata": {
    "generated_at": "2024-03-09T07:05:02Z",
    "anchor_selection": "+orders tag:\"daily\"",
    "anchor_model": "orders",
    "anchor_window": {
      "event_time_start": "2024-03-08",
      "event_time_end": "2024-03-08",
      "source": "default_yesterday",
      "note": "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node to yesterday (2024-03-08)"
    },
    "manifest_path": "target/manifest.json",
    "manifest_generated_at": "2024-03-09T06:00:00.123456Z",
    "dbt_command": "uv run dbt",
    "max_window_expansion_days": 30,
    "warnings": [
      {
        "model": "we\"ird\\na\tme\u0001-café/v2",
        "message": "expanded window (40 days) exceeds max_window_expansion_days (30)"
      },
      {
        "model": "orders",
        "message": "declares config.meta.velk (lookback/lookahead) but has no event_time configured"
      }
    ]
  },
  "models": [
    {
      "name": "orders",
      "event_time_start": "2024-03-08",
      "event_time_end": "2024-03-08",
      "lookback": 3,
      "lookback_unit": "day",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [],
      "layer": 0
    },
    {
      "name": "stg/payments",
      "event_time_start": "2024-03-08",
      "event_time_end": "2024-03-08",
      "lookback": 0,
      "lookback_unit": "day",
      "lookahead": 0,
      "lookahead_unit": "day",
      "depends_on": [],
      "layer": 0
    },
    {
      "name": "we\"ird\\na\tme\u0001-café/v2",
      "event_time_start": "2024-03-22",
      "event_time_end": "2024-04-08",
      "lookback": -2,
      "lookback_unit": "week",
      "lookahead": 1,
      "lookahead_unit": "month",
      "depends_on": [
        "orders",
        "stg/payments"
      ],
      "layer": 1
    }
  ]
})json";
  const std::string document =
      build_plan_document(full_plan(), full_context(), fixed_clock(k20240309T070502));
  EXPECT_EQ(document, expected);

  // The same text read back gives the plan's values unchanged.
  const boost::json::value parsed = boost::json::parse(document);
  const auto& metadata = parsed.at("metadata");
  EXPECT_EQ(metadata.at("anchor_selection").as_string(), full_context().anchor_selection);
  EXPECT_EQ(metadata.at("warnings").at(0).at("model").as_string(), kOddName);
  const auto& odd = parsed.at("models").at(2);
  EXPECT_EQ(odd.at("name").as_string(), kOddName);
  EXPECT_EQ(odd.at("lookback").as_int64(), -2);
  EXPECT_EQ(odd.at("layer").to_number<std::uint64_t>(), 1u);
  EXPECT_EQ(odd.at("depends_on").as_array().size(), 2u);
}

TEST(PlanDocument, SmallestDocumentLeavesOptionalKeysOut) {
  Plan plan;
  plan.event_time_start = day("2024-01-01");
  plan.event_time_end = day("2024-01-31");
  RunContext context;
  context.anchor_selection = "orders";
  context.manifest_path = "/p/target/manifest.json";
  context.dbt_command = "dbt";
  const std::string expected = R"json({
  "metadata": {
    "generated_at": "1970-01-01T00:00:00Z",
    "anchor_selection": "orders",
    "anchor_window": {
      "event_time_start": "2024-01-01",
      "event_time_end": "2024-01-31",
      "source": "explicit"
    },
    "manifest_path": "/p/target/manifest.json",
    "dbt_command": "dbt",
    "max_window_expansion_days": 90,
    "warnings": []
  },
  "models": []
})json";
  const std::string document = build_plan_document(plan, context, fixed_clock(0));
  EXPECT_EQ(document, expected);
  EXPECT_TRUE(boost::json::parse(document).is_object());
}

TEST(PlanDocument, GeneratedAtIsUtcWithClockClampedTo1970) {
  const std::pair<std::int64_t, std::string> cases[] = {
      {k20240309T070502, "2024-03-09T07:05:02Z"},
      {86399, "1970-01-01T23:59:59Z"},
      {86400, "1970-01-02T00:00:00Z"},
      {-1, "1970-01-01T00:00:00Z"},
      {-86400 * 400, "1970-01-01T00:00:00Z"},
      {253402300799, "9999-12-31T23:59:59Z"},
  };
  for (const auto& [seconds, expected] : cases) {
    const boost::json::value parsed =
        boost::json::parse(build_plan_document(Plan{}, RunContext{}, fixed_clock(seconds)));
    EXPECT_EQ(parsed.at("metadata").at("generated_at").as_string(), expected) << seconds;
  }
}

TEST(PlanDocument, ExtremeIntegersAndLongNamesAreWrittenWhole) {
  Plan plan;
  PlannedModel extreme = model(std::string(5000, 'x') + "\x1f", "2024-01-01", "2024-01-01",
                               std::numeric_limits<std::uint64_t>::max());
  extreme.lookback = std::numeric_limits<std::int64_t>::min();
  extreme.lookahead = std::numeric_limits<std::int64_t>::max();
  plan.models = {extreme};
  RunContext context;
  context.max_window_expansion_days = -7;
  const std::string document = build_plan_document(plan, context, fixed_clock(0));
  EXPECT_NE(document.find("\"lookback\": -9223372036854775808,"), std::string::npos);
  EXPECT_NE(document.find("\"lookahead\": 9223372036854775807,"), std::string::npos);
  EXPECT_NE(document.find("\"layer\": 18446744073709551615\n"), std::string::npos);
  EXPECT_NE(document.find("\"max_window_expansion_days\": -7,"), std::string::npos);
  EXPECT_NE(document.find("\"" + std::string(5000, 'x') + "\\u001f\""), std::string::npos);
  EXPECT_EQ(document.back(), '}');
}

TEST(TextTree, OneLinePerModelInPlanOrderIndentedByLayer) {
  Plan plan;
  plan.event_time_start = day("2024-03-09");
  plan.event_time_end = day("2024-03-09");
  plan.models = {
      model("stg_orders", "2024-03-09", "2024-03-09", 0),
      model("orders", "2024-03-01", "2024-03-09", 2),
      model("say \"hi\" caf\xC3\xA9", "2024-02-28", "2024-03-10", 1),
      model("mart", "2024-01-01", "2024-04-01", 3),
      model("stg_items", "2023-12-31", "2024-01-01", 0),
  };
  EXPECT_EQ(render_tree(plan),
            "[layer 0] stg_orders [2024-03-09 .. 2024-03-09]\n"
            "    [layer 2] orders [2024-03-01 .. 2024-03-09]\n"
            "  [layer 1] say \"hi\" caf\xC3\xA9 [2024-02-28 .. 2024-03-10]\n"
            "      [layer 3] mart [2024-01-01 .. 2024-04-01]\n"
            "[layer 0] stg_items [2023-12-31 .. 2024-01-01]\n");
}

TEST(TextTree, EmptyPlanGivesEmptyText) { EXPECT_EQ(render_tree(Plan{}), ""); }

}  // namespace
