// Reading the manifest text into the raw records: what each record accepts,
// the window settings under config.meta.velk, and every failure with its
// message and position.
#include "manifest_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

RawManifest read_ok(const std::string& text) {
  auto result = from_str_manifest(text);
  EXPECT_TRUE(result.has_value()) << text << "\n -> " << describe_json_error(result.error());
  return result ? std::move(*result) : RawManifest{};
}

std::string read_error(const std::string& text) {
  auto result = from_str_manifest(text);
  if (result) return "(accepted)";
  return describe_json_error(result.error());
}

const std::string model_with_velk = R"({"nodes": {"m": {"resource_type": "model", "name": "m", "config": {"meta": {"velk": )";
const std::string model_with_velk_end = "}}}}}";

// ---------------------------------------------------------------- records

TEST(ManifestReader, ReadsEmptyDocumentsAndMetadata) {
  struct Case {
    std::string text;
    bool has_metadata;
    std::optional<std::string> generated_at;
  };
  const Case cases[] = {
      {"{}", false, std::nullopt},
      {"[]", false, std::nullopt},
      {" \n\t\r{} \r\n", false, std::nullopt},
      {R"({"metadata": null})", false, std::nullopt},
      {R"({"metadata": {}})", true, std::nullopt},
      {R"({"metadata": {"generated_at": null}})", true, std::nullopt},
      {R"({"metadata": {"generated_at": "not a date \u2603", "dbt_version": "1.8"}})", true, "not a date \xE2\x98\x83"},
      {R"({"metadata": ["2024-01-02T03:04:05Z"]})", true, "2024-01-02T03:04:05Z"},
      {R"([{}, {}, {"generated_at": ""}])", true, ""},
  };
  for (const auto& c : cases) {
    const RawManifest raw = read_ok(c.text);
    EXPECT_TRUE(raw.nodes.empty()) << c.text;
    EXPECT_TRUE(raw.sources.empty()) << c.text;
    ASSERT_EQ(raw.metadata.has_value(), c.has_metadata) << c.text;
    if (raw.metadata) {
      EXPECT_EQ(raw.metadata->generated_at, c.generated_at) << c.text;
    }
  }
}

TEST(ManifestReader, ReadsNodeFieldsInBothForms) {
  const RawManifest raw = read_ok(R"({
    "nodes": {
      "model.p.bare": {"resource_type": "model", "name": "bare"},
      "model.p.full": {
        "unique_id": "ignored", "columns": {"id": {"description": "x", "tags": [1, 2.5, null]}},
        "config": {"enabled": true, "event_time": "created_at", "meta": {"owner": "me", "velk": {}}},
        "depends_on": {"macros": ["macro.x"], "nodes": ["source.p.s.t", "model.p.bare", "source.p.s.t"]},
        "name": "full", "resource_type": "model", "compiled_code": "select 1\n"
      },
      "model.p.empty_time": {"resource_type": "model", "name": "e", "config": {"event_time": ""}, "depends_on": {}},
      "model.p.null_time": {"resource_type": "model", "name": "n", "config": {"event_time": null, "meta": {}}},
      "model.p.array": ["model", "array", {"nodes": ["model.p.bare"]}, {"event_time": "ts", "meta": {"velk": null}}],
      "model.p.short": ["test", "short"],
      "": {"resource_type": "model", "name": "empty id"}
    },
    "sources": {"source.p.s.t": {"name": "t", "loader": "x"}, "source.p.s.u": ["u"]}
  })");
  ASSERT_EQ(raw.nodes.size(), 7u);
  ASSERT_EQ(raw.sources.size(), 2u);

  const RawNode& bare = raw.nodes.at("model.p.bare");
  EXPECT_EQ(bare.resource_type, "model");
  EXPECT_EQ(bare.name, "bare");
  EXPECT_TRUE(bare.depends_on.nodes.empty());
  EXPECT_FALSE(bare.config.event_time);
  EXPECT_FALSE(bare.config.meta.velk);

  const RawNode& full = raw.nodes.at("model.p.full");
  EXPECT_EQ(full.name, "full");
  EXPECT_EQ(full.depends_on.nodes, (std::vector<std::string>{"source.p.s.t", "model.p.bare", "source.p.s.t"}));
  EXPECT_EQ(full.config.event_time, "created_at");
  EXPECT_TRUE(full.config.meta.velk);

  EXPECT_EQ(raw.nodes.at("model.p.empty_time").config.event_time, "");
  EXPECT_FALSE(raw.nodes.at("model.p.null_time").config.event_time);

  const RawNode& array = raw.nodes.at("model.p.array");
  EXPECT_EQ(array.resource_type, "model");
  EXPECT_EQ(array.name, "array");
  EXPECT_EQ(array.depends_on.nodes, std::vector<std::string>{"model.p.bare"});
  EXPECT_EQ(array.config.event_time, "ts");
  EXPECT_FALSE(array.config.meta.velk);

  const RawNode& short_form = raw.nodes.at("model.p.short");
  EXPECT_EQ(short_form.resource_type, "test");
  EXPECT_TRUE(short_form.depends_on.nodes.empty());
  EXPECT_EQ(raw.nodes.at("").name, "empty id");

  EXPECT_EQ(raw.sources.at("source.p.s.t").name, "t");
  EXPECT_EQ(raw.sources.at("source.p.s.u").name, "u");
}

TEST(ManifestReader, KeysAreComparedAfterEscapesAndExactly) {
  struct Case {
    std::string text;
    std::size_t nodes;
  };
  const Case cases[] = {
      // An escaped key that decodes to "nodes" is that key.
      {R"({"\u006eodes": {"a": {"resource_type": "model", "name": "n"}}})", 1},
      // Another case is another key, skipped whatever its value.
      {R"({"Nodes": {"a": 5}, "nodes ": null})", 0},
      // Undeclared keys may repeat.
      {R"({"x": 1, "x": [2], "nodes": {"a": {"resource_type": "model", "name": "n"}}, "x": {}})", 1},
      // A later entry under the same unique id replaces the earlier one.
      {R"({"nodes": {"a": {"resource_type": "model", "name": "first", "depends_on": {"nodes": ["z"]}},
                     "a": {"resource_type": "test", "name": "second"}}})", 1},
  };
  for (const auto& c : cases) {
    const RawManifest raw = read_ok(c.text);
    EXPECT_EQ(raw.nodes.size(), c.nodes) << c.text;
  }
  const RawManifest replaced = read_ok(cases[3].text);
  const RawNode& node = replaced.nodes.at("a");
  EXPECT_EQ(node.name, "second");
  EXPECT_EQ(node.resource_type, "test");
  EXPECT_TRUE(node.depends_on.nodes.empty());
}

TEST(ManifestReader, DecodesLongStringsAndKeysDeliveredInParts) {
  // Escapes longer than the parser's buffer arrive in several parts.
  std::string escaped;
  std::string decoded;
  for (int i = 0; i < 3000; ++i) {
    escaped += "ab\\n\\\"\\u00e9\\\\";
    decoded += "ab\n\"\xC3\xA9\\";
  }
  const std::string text = R"({"nodes": {")" + escaped + R"(": {"resource_type": "model", "name": ")" + escaped +
                           R"(", "depends_on": {"nodes": [")" + escaped + R"("]}}}})";
  const RawManifest raw = read_ok(text);
  ASSERT_EQ(raw.nodes.count(decoded), 1u);
  const RawNode& node = raw.nodes.at(decoded);
  EXPECT_EQ(node.name, decoded);
  EXPECT_EQ(node.depends_on.nodes, std::vector<std::string>{decoded});
}

// ---------------------------------------------------------------- velk

struct Settings {
  std::int64_t lookback = 0;
  TimeUnit lookback_unit = TimeUnit::day;
  std::int64_t lookahead = 0;
  TimeUnit lookahead_unit = TimeUnit::day;
  std::map<std::string, std::int64_t> lookback_overrides;
  std::map<std::string, std::int64_t> lookahead_overrides;
};

std::map<std::string, std::int64_t> sorted(const StringMap<std::int64_t>& map) {
  return {map.begin(), map.end()};
}

TEST(ManifestReader, ReadsWindowSettings) {
  struct Case {
    std::string velk;
    std::optional<Settings> expected;
  };
  const Case cases[] = {
      {"null", std::nullopt},
      {"{}", Settings{}},
      {"[]", Settings{}},
      {R"({"lookback": 3})", Settings{3, TimeUnit::day, 0, TimeUnit::day, {}, {}}},
      {R"({"lookback": 2, "lookback_unit": "month", "lookahead_unit": {"week": null}})",
       Settings{2, TimeUnit::month, 0, TimeUnit::week, {}, {}}},
      {R"({"lookahead_unit": "year", "lookahead": 1, "lookback": -5})", Settings{-5, TimeUnit::day, 1, TimeUnit::year, {}, {}}},
      {R"({"lookback": 9223372036854775807, "lookahead": -9223372036854775808})",
       Settings{INT64_MAX, TimeUnit::day, INT64_MIN, TimeUnit::day, {}, {}}},
      {R"({"lookback": 0, "lookback_unit": "w\u0065ek", "lookahead_unit": { "day" : null }})",
       Settings{0, TimeUnit::week, 0, TimeUnit::day, {}, {}}},
      {R"({"lookback_overrides": {"a": 1, "b": -2, "a": 4}, "lookahead_overrides": {"": 0}})",
       Settings{0, TimeUnit::day, 0, TimeUnit::day, {{"a", 4}, {"b", -2}}, {{"", 0}}}},
      {R"({"other": {"deep": [1, {"x": null}, "y"]}, "lookahead": 1, "other": 2, "LOOKBACK": "x"})",
       Settings{0, TimeUnit::day, 1, TimeUnit::day, {}, {}}},
      {R"([7, "week"])", Settings{7, TimeUnit::week, 0, TimeUnit::day, {}, {}}},
      {R"([1, "day", 2, {"year": null}, {"x": 3}, {}])",
       Settings{1, TimeUnit::day, 2, TimeUnit::year, {{"x", 3}}, {}}},
  };
  for (const auto& c : cases) {
    const RawManifest raw = read_ok(model_with_velk + c.velk + model_with_velk_end);
    const auto& velk = raw.nodes.at("m").config.meta.velk;
    ASSERT_EQ(velk != nullptr, c.expected.has_value()) << c.velk;
    if (!velk) continue;
    const Settings& want = *c.expected;
    EXPECT_EQ(velk->lookback, want.lookback) << c.velk;
    EXPECT_EQ(velk->lookback_unit, want.lookback_unit) << c.velk;
    EXPECT_EQ(velk->lookahead, want.lookahead) << c.velk;
    EXPECT_EQ(velk->lookahead_unit, want.lookahead_unit) << c.velk;
    EXPECT_EQ(sorted(velk->lookback_overrides), want.lookback_overrides) << c.velk;
    EXPECT_EQ(sorted(velk->lookahead_overrides), want.lookahead_overrides) << c.velk;
  }
}

// ---------------------------------------------------------------- versions

TEST(ManifestReader, ReadsAVersionAsWrittenInTheText) {
  struct Case {
    std::string version;  // the JSON value, or empty for no key
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"", std::nullopt},
      {"null", std::nullopt},
      {"2", "2"},
      {"1.5", "1.5"},
      {"-3", "-3"},
      {"1e2", "1e2"},
      {"2.0", "2.0"},
      {"12345678901234567890123", "12345678901234567890123"},
      {R"("beta")", "beta"},
      {R"("2")", "2"},
      {R"("")", ""},
      {R"("v\u00e9")", "v\xC3\xA9"},
  };
  for (const auto& c : cases) {
    const std::string key = c.version.empty() ? "" : R"(, "version": )" + c.version;
    const RawManifest raw = read_ok(R"({"nodes": {"m": {"resource_type": "model", "name": "m")" + key + "}}}");
    ASSERT_EQ(raw.nodes.count("m"), 1u) << c.version;
    EXPECT_EQ(raw.nodes.at("m").version, c.expected) << c.version;
  }
  // The array form keeps its four elements and has no version.
  EXPECT_FALSE(read_ok(R"({"nodes": {"m": ["model", "m", {}, {}]}})").nodes.at("m").version);
}

// ---------------------------------------------------------------- failures

// Each text marks with '@' the character where the error is reported; the
// marker is removed before reading.
struct ErrorCase {
  std::string marked;
  std::string message;
};

void expect_errors(const std::vector<ErrorCase>& cases) {
  for (const auto& c : cases) {
    const std::size_t at = c.marked.find('@');
    ASSERT_NE(at, std::string::npos) << c.marked;
    std::string text = c.marked;
    text.erase(at, 1);
    EXPECT_EQ(read_error(text), c.message + " at line 1 column " + std::to_string(at + 1)) << c.marked;
  }
}

TEST(ManifestReader, RejectsRecordsOfTheWrongShape) {
  const std::string node = R"({"nodes": {"a": {"resource_type": "test", "name": "n", )";
  expect_errors({
      {"@null", "invalid type: null, expected struct RawManifest"},
      {"  @5", "invalid type: integer `5`, expected struct RawManifest"},
      {R"(@"x")", R"(invalid type: string "x", expected struct RawManifest)"},
      {"@-0", "invalid type: floating point `-0`, expected struct RawManifest"},
      {"@true", "invalid type: boolean `true`, expected struct RawManifest"},
      {R"({"nodes": @null})", "invalid type: null, expected a map"},
      {R"({"nodes": @[]})", "invalid type: sequence, expected a map"},
      {R"({"sources": @5})", "invalid type: integer `5`, expected a map"},
      {R"({"metadata": @5})", "invalid type: integer `5`, expected struct RawMetadata"},
      {R"({"metadata": {"generated_at": @1.5}})", "invalid type: floating point `1.5`, expected a string"},
      {R"({"nodes": {"a": @"model"}})", R"(invalid type: string "model", expected struct RawNode)"},
      {R"({"nodes": {"a": {@}}})", "missing field `resource_type`"},
      {R"({"nodes": {"a": {"name": "n", "x": 1@}}})", "missing field `resource_type`"},
      {R"({"nodes": {"a": {"resource_type": "t"@}}})", "missing field `name`"},
      {R"({"nodes": {"a": {"name": "x", @"name": "y"}}})", "duplicate field `name`"},
      {R"({"nodes": {}, @"nodes": {}})", "duplicate field `nodes`"},
      {R"({"metadata": null, @"metadata": {}})", "duplicate field `metadata`"},
      {R"({"nodes": {"a": ["model"@]}})", "invalid length 1, expected struct RawNode with 4 elements"},
      {R"({"nodes": {"a": ["m", "n", {}, {}, @1]}})", "trailing characters"},
      {R"({"sources": {"s": [@]}})", "invalid length 0, expected struct RawSource with 1 element"},
      {R"({"sources": {"s": {"name": @true}}})", "invalid type: boolean `true`, expected a string"},
      {R"({"sources": {"s": {"name": "a", @"name": "b"}}})", "duplicate field `name`"},
      {R"({"sources": {"s": ["a", @"b"]}})", "trailing characters"},
      {R"([{}, {}, null, @{}])", "trailing characters"},
      // Errors inside a node come before the missing field at its end.
      {R"({"nodes": {"a": {"depends_on": @null}}})", "invalid type: null, expected struct RawDependsOn"},
      {node + R"("config": @null}}})", "invalid type: null, expected struct RawNodeConfig"},
      {node + R"("config": {"meta": @null}}}})", "invalid type: null, expected struct RawMeta"},
      {node + R"("config": {"meta": {"velk": @"x"}}}}})", R"(invalid type: string "x", expected struct VelkMeta)"},
      {node + R"("config": {"event_time": @5}}}})", "invalid type: integer `5`, expected a string"},
      {node + R"("config": {"event_time": null, @"event_time": "x"}}}})", "duplicate field `event_time`"},
      {node + R"("config": {"meta": {"velk": null, @"velk": null}}}}})", "duplicate field `velk`"},
      {node + R"("depends_on": {"nodes": ["a", @null]}}}})", "invalid type: null, expected a string"},
      {node + R"("depends_on": {"nodes": @{}}}}})", "invalid type: map, expected a sequence"},
      {node + R"("depends_on": {"nodes": @null}}}})", "invalid type: null, expected a sequence"},
      {node + R"("depends_on": [[], @[]]}}})", "trailing characters"},
  });
}

TEST(ManifestReader, RejectsAVersionOfAnotherType) {
  // Read on every node, as the other fields are, whatever its resource type.
  const std::string model = R"({"nodes": {"a": {"resource_type": "model", "name": "n", )";
  const std::string test = R"({"nodes": {"a": {"resource_type": "test", "name": "n", )";
  expect_errors({
      {model + R"("version": @true}}})", "invalid type: boolean `true`, expected a string or a number"},
      {test + R"("version": @false}}})", "invalid type: boolean `false`, expected a string or a number"},
      {model + R"("version": @[2]}}})", "invalid type: sequence, expected a string or a number"},
      {model + R"("version": @{"v": 2}}}})", "invalid type: map, expected a string or a number"},
      {model + R"("version": null, @"version": 2}}})", "duplicate field `version`"},
      // A type error inside the node comes before the missing field at its end.
      {R"({"nodes": {"a": {"name": "n", "version": @[]}}})", "invalid type: sequence, expected a string or a number"},
  });
}

TEST(ManifestReader, RejectsMalformedWindowSettings) {
  const std::string& v = model_with_velk;
  const std::string& end = model_with_velk_end;
  expect_errors({
      {v + "@7" + end, "invalid type: integer `7`, expected struct VelkMeta"},
      {v + R"({"lookback": 3, @"lookback": 4})" + end, "duplicate field `lookback`"},
      {v + R"({"lookahead_unit": "day", @"lookahead_unit": "day"})" + end, "duplicate field `lookahead_unit`"},
      {v + R"({"lookback": @1.0})" + end, "invalid type: floating point `1.0`, expected i64"},
      {v + R"({"lookback": @1e2})" + end, "invalid type: floating point `1e2`, expected i64"},
      {v + R"({"lookback": @-0})" + end, "invalid type: floating point `-0`, expected i64"},
      {v + R"({"lookback": @"3"})" + end, R"(invalid type: string "3", expected i64)"},
      {v + R"({"lookback": @null})" + end, "invalid type: null, expected i64"},
      {v + R"({"lookahead": @[]})" + end, "invalid type: sequence, expected i64"},
      {v + R"({"lookback": @9223372036854775808})" + end, "invalid value: integer `9223372036854775808`, expected i64"},
      {v + R"({"lookback": @18446744073709551615})" + end,
       "invalid value: integer `18446744073709551615`, expected i64"},
      {v + R"({"lookback": @18446744073709551616})" + end,
       "invalid type: floating point `18446744073709551616`, expected i64"},
      {v + R"({"lookback": @-9223372036854775809})" + end,
       "invalid type: floating point `-9223372036854775809`, expected i64"},
      {v + R"({"lookback_unit": @"Week"})" + end, "unknown variant `Week`, expected one of `day`, `week`, `month`, `year`"},
      {v + R"({"lookback_unit": @"days"})" + end, "unknown variant `days`, expected one of `day`, `week`, `month`, `year`"},
      {v + R"({"lookback_unit": @" day"})" + end, "unknown variant ` day`, expected one of `day`, `week`, `month`, `year`"},
      {v + R"({"lookback_unit": @"a\nb\u001b[31m"})" + end,
       "unknown variant `a\\nb\\u{1b}[31m`, expected one of `day`, `week`, `month`, `year`"},
      {v + R"({"lookback_unit": @null})" + end, "expected value"},
      {v + R"({"lookback_unit": @5})" + end, "expected value"},
      {v + R"({"lookback_unit": @["day"]})" + end, "expected value"},
      {v + R"({"lookback_unit": {@}})" + end, "expected value"},
      {v + R"({"lookback_unit": {"week": @1}})" + end, "invalid type: integer `1`, expected unit"},
      {v + R"({"lookback_unit": {"week": @{}}})" + end, "invalid type: map, expected unit"},
      {v + R"({"lookback_unit": {"week": null, @"day": null}})" + end, "expected value"},
      {v + R"({"lookback_unit": {@"Week": null}})" + end,
       "unknown variant `Week`, expected one of `day`, `week`, `month`, `year`"},
      {v + R"({"lookback_unit": {@1: null}})" + end, "key must be a string"},
      {v + R"({"lookback_overrides": @null})" + end, "invalid type: null, expected a map"},
      {v + R"({"lookback_overrides": @[]})" + end, "invalid type: sequence, expected a map"},
      {v + R"({"lookahead_overrides": {"a": @"1"}})" + end, R"(invalid type: string "1", expected i64)"},
      {v + R"([1, "day", 2, "day", {}, {}, @3])" + end, "trailing characters"},
      {v + R"([1, "day", 2, "day", {}, {},@])" + end, "trailing comma"},
  });
}

TEST(ManifestReader, RejectsMalformedJsonAnywhere) {
  const std::string u = R"({"nodes": {}, "unused": )";
  expect_errors({
      {"@", "EOF while parsing a value"},
      {u + "[1, 2@", "EOF while parsing a list"},
      {R"({"nodes": {}@)", "EOF while parsing an object"},
      {u + R"("abc@)", "EOF while parsing a string"},
      {R"({"nodes": {}} @x)", "trailing characters"},
      {"{} @{}", "trailing characters"},
      {"@\xEF\xBB\xBF{}", "expected value"},
      {u + "[1, 2, @]}", "trailing comma"},
      {u + R"({"a": 1, @}})", "trailing comma"},
      {R"({"nodes": {}, @5: 1})", "key must be a string"},
      {R"({"nodes" @{}})", "expected `:`"},
      {u + "[1 @2]}", "expected `,` or `]`"},
      {R"({"nodes": {} @"x": 1})", "expected `,` or `}`"},
      {u + "0@1}", "invalid number"},
      // Also where a value of another type belongs: the malformed number is
      // the fault, not the 0 that the parser has read of it.
      {R"({"nodes": 0@1})", "invalid number"},
      {R"({"nodes": -0@0})", "invalid number"},
      {R"({"nodes": {}, "velk": {"lookback": -0@1}})", "invalid number"},
      {R"({"nodes": {"a": {"depends_on": {"nodes": [0@7]}}}})", "invalid number"},
      {u + "-@x}", "invalid number"},
      {u + "1.@}", "invalid number"},
      {u + "@nul}", "expected ident"},
      {u + "@True}", "expected value"},
      {u + R"("a\@qb"})", "invalid escape"},
      {u + "\"a@\x01\"}", "control character (\\u0000-\\u001F) found while parsing a string"},
      {u + "[@'a']}", "expected value"},
  });
}

TEST(ManifestReader, ErrorsNameTheLineAndTheCharacterColumn) {
  struct Case {
    std::string text;
    std::string description;
  };
  const Case cases[] = {
      {" \n", "EOF while parsing a value at line 2 column 1"},
      {"{\n  \"nodes\": {\n    \"\xC3\xA9\xE2\x82\xAC\": {\"name\": \"\xF0\x9F\x98\x80\", \"name\": \"y\"}}}",
       "duplicate field `name` at line 3 column 25"},
      {"{\r\n\"nodes\": {},\r\n\"unused\": [1,]}", "trailing comma at line 3 column 14"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_error(c.text), c.description) << c.text;
}

TEST(ManifestReader, PositionsAStringErrorAtItsOpeningQuoteWhateverItsEscapes) {
  std::string content;
  for (int i = 0; i < 2000; ++i) content += R"(x\"\\\u0041\n)";
  content += R"(\\)";
  const std::string text = R"({"nodes": )" + ("\"" + content + "\"") + "}";
  const std::string message = read_error(text);
  EXPECT_EQ(message.substr(0, 21), "invalid type: string ");
  EXPECT_TRUE(message.ends_with(", expected a map at line 1 column 11")) << message.substr(message.size() - 60);
}

// ---------------------------------------------------------------- skipping

std::string nested(std::size_t depth, std::string_view open, std::string_view close, std::string_view inner = "") {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i) text += open;
  text += inner;
  for (std::size_t i = 0; i < depth; ++i) text += close;
  return text;
}

TEST(ManifestReader, SkipsValuesNestedToAnyRealisticDepth) {
  const std::string u = R"({"nodes": {"a": {"resource_type": "model", "name": "n", "unused": )";
  const std::string end = "}}}";
  const RawManifest deep = read_ok(u + nested(500, "[", "]") + end);
  EXPECT_EQ(deep.nodes.at("a").name, "n");
  read_ok(u + nested(100'000, "[", "]") + end);
  read_ok(u + nested(100'000, R"({"a": )", "}", "[1, {}]") + end);
  // A syntax error at the bottom of a deep value is still found.
  EXPECT_EQ(read_error(u + std::string(100'000, '[') + "01" + std::string(100'000, ']') + end)
                .substr(0, 14),
            "invalid number");

  // Deeper than the parser's stack holds: a clean error, not a crash.
  EXPECT_EQ(read_error(u + std::string(10'000'000, '[')).substr(0, 24), "recursion limit exceeded");
  EXPECT_EQ(read_error(u + nested(5'000'000, "{\"a\":", "}", "1") + end).substr(0, 24),
            "recursion limit exceeded");
}

TEST(ManifestReader, ValidatesSkippedValues) {
  const std::string u = R"({"nodes": {}, "unused": )";
  const char* malformed[] = {"[01]", "[1,]", "{\"a\" 1}", "[\"\\x\"]", "[tru]", "[1e]", "{\"a\":[}]", "[1] 2"};
  for (const char* value : malformed) {
    EXPECT_NE(read_error(u + value + "}"), "(accepted)") << value;
  }
}


// ------------------------------------------------- straight into the table

// A manifest as sorted lines of text, one per node, with every field.
std::string table_text(const Manifest& manifest) {
  std::vector<std::string> lines;
  for (const Node& node : manifest.nodes) {
    std::string line = node.unique_id + " | " + node.name + " | " + std::string(node.printed_name()) +
                       (node.is_source ? " | source |" : " | model |");
    for (const std::string& parent : node.depends_on) line += " " + parent;
    line += " | " + node.event_time.value_or("(none)");
    if (node.velk) {
      line += " | velk " + std::to_string(node.velk->lookback) + std::string(unit_name(node.velk->lookback_unit)) +
              " " + std::to_string(node.velk->lookahead) + std::string(unit_name(node.velk->lookahead_unit));
      std::map<std::string, std::int64_t> back(node.velk->lookback_overrides.begin(), node.velk->lookback_overrides.end());
      for (const auto& [name, amount] : back) line += " <" + name + "=" + std::to_string(amount);
      std::map<std::string, std::int64_t> ahead(node.velk->lookahead_overrides.begin(), node.velk->lookahead_overrides.end());
      for (const auto& [name, amount] : ahead) line += " >" + name + "=" + std::to_string(amount);
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string text = "generated_at " + manifest.generated_at.value_or("(none)") + "\n";
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

std::string via_raw_records(const std::string& text) {
  auto raw = from_str_manifest(text);
  if (!raw) return "error: " + describe_json_error(raw.error());
  return table_text(build_node_table(std::move(*raw)));
}

std::string straight(const std::string& text) {
  auto manifest = read_node_table(text);
  if (!manifest) return "error: " + describe_json_error(manifest.error());
  return table_text(*manifest);
}

TEST(ManifestReader, ReadsTheTableStraightAsTheRawRecordsGiveIt) {
  const std::string m = R"({"resource_type": "model", "name": )";
  const std::string t = R"({"resource_type": "test", "name": "t"})";
  const std::string s = R"({"name": "s"})";
  const std::string cases[] = {
      "{}",
      R"({"metadata": {"generated_at": "then"}, "nodes": {}, "sources": {}})",
      // Per id the last entry of nodes counts, whatever its type.
      R"({"nodes": {"a": )" + m + R"("first"}, "a": )" + t + "}}",
      R"({"nodes": {"a": )" + t + R"(, "a": )" + m + R"("second"}}})",
      R"({"nodes": {"a": )" + m + R"("first"}, "a": )" + m + R"("second"}, "b": )" + t + "}}",
      R"({"nodes": {"a": )" + m + R"("x"}, "a": )" + t + R"(, "a": )" + m + R"("y"}, "a": )" + t + "}}",
      // A source wins over a model under its id, before or after it in the text.
      R"({"nodes": {"a": )" + m + R"("model"}}, "sources": {"a": )" + s + "}}",
      R"({"sources": {"a": )" + s + R"(}, "nodes": {"a": )" + m + R"("model"}, "a": )" + t + "}}",
      R"({"sources": {"a": {"name": "one"}, "a": {"name": "two"}}, "nodes": {"a": )" + t + "}}",
      // Every field, in both forms, and the records of the other entries.
      R"({"nodes": {"model.p.a": {"name": "a", "resource_type": "model", "depends_on": {"nodes": ["x", "y", "x"]},
          "config": {"event_time": "at", "meta": {"velk": {"lookback": 2, "lookback_unit": "month",
          "lookahead": -1, "lookahead_unit": {"week": null}, "lookback_overrides": {"b": 7}, "lookahead_overrides": {"c": 1}}}}},
        "model.p.b": ["model", "b", {"nodes": ["model.p.a"]}, {"event_time": null, "meta": {"velk": {}}}],
        "test.p.t": {"resource_type": "test", "name": "t", "depends_on": {"nodes": ["model.p.a"]},
          "config": {"event_time": "x", "meta": {"velk": {"lookback": 9}}}},
        "seed.p.s": ["seed", "s"]},
       "sources": {"source.p.r": ["r"]}, "metadata": ["now"]})",
      // Versions of a model, and a replaced entry that leaves no version behind.
      R"({"nodes": {"model.p.a.v1": )" + m + R"("a", "version": 1}, "model.p.a.v2": )" + m +
          R"("a", "version": "two"}, "model.p.b": )" + m + R"("b", "version": null},
          "model.p.c": )" + m + R"("c", "version": 3}, "model.p.c": )" + m + R"("c"}}})",
      // A value nested deeper than the caller's stack holds, under a key that nothing reads.
      R"({"nodes": {"a": )" + m + R"("deep", "unused": )" + std::string(100'000, '[') + std::string(100'000, ']') + "}}}",
      // Failures anywhere: in an entry that is kept, in one that is not, after both.
      R"({"nodes": {"a": )" + m + R"("x"}, "b": {"resource_type": "test"}}})",
      R"({"nodes": {"a": {"name": "x", "name": "y"}}})",
      R"({"nodes": {"a": )" + t + R"(, "b": ["model"]}})",
      R"({"nodes": {"a": )" + m + R"("x", "config": {"meta": {"velk": {"lookback": 1.5}}}}}})",
      R"({"nodes": {"a": )" + m + R"("x"}}, "sources": {"s": {}}})",
      R"({"nodes": {"a": )" + m + R"("x"}}} x)",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(straight(text), via_raw_records(text)) << text.substr(0, 300);
  }
  // Deeper than any stack holds: a clean error (where it stops depends on
  // the frames on the way).
  EXPECT_EQ(straight(R"({"nodes": {}, "unused": )" + std::string(10'000'000, '[')).substr(0, 31),
            "error: recursion limit exceeded");
}

TEST(ManifestReader, ReadsTheTableStraightFromRealManifests) {
  const auto dir = std::filesystem::path(VELK_SOURCE_DIR) / "tests" / "fixtures" / "real-manifests";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::string expected = via_raw_records(text);
    EXPECT_EQ(expected.substr(0, 7), "generat") << entry.path();
    EXPECT_EQ(straight(text), expected) << entry.path();
  }
}

}  // namespace
