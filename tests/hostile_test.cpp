// Hostile input, end to end: the real binary given manifests, velk.yml
// files, dbt output, paths and standard streams that nobody checked. Every
// row ends with the exact exit status and either the plan or the one error
// line, with nothing else on either stream.
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cctype>
#include <fstream>
#include <functional>
#include <optional>

#include "support/fake_dbt.h"
#include "support/run_tool.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kWindow[] = {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-10"};

// orders (from a source) -> revenue (lookback 2), as dbt would compile it.
void write_shop(const fs::path& dir) {
  write_dbt_project(dir, "shop",
                    {{"orders", "{{ config(event_time='ordered_at', meta={'velk': {}}) }}\n"
                                "select * from {{ source('raw', 'orders') }}\n"},
                     {"revenue", "{{ config(event_time='day', meta={'velk': {'lookback': 2}}) }}\n"
                                 "select * from {{ ref('orders') }}\n"}});
}

// The shop's manifest as text, one member a line. `extra_node` is one more
// entry of "nodes", `lookback` revenue's lookback, `extra` more members of
// the document.
std::string shop_manifest(const std::string& extra_node = "", const std::string& lookback = "2",
                          const std::string& extra = "") {
  std::string text = "{\"metadata\": {\"generated_at\": \"2024-01-01T00:00:00Z\"},\n\"nodes\": {\n";
  if (!extra_node.empty()) text += extra_node + ",\n";
  text +=
      "\"model.shop.orders\": {\"resource_type\": \"model\", \"name\": \"orders\", \"depends_on\": "
      "{\"nodes\": [\"source.shop.raw.orders\"]}, \"config\": {\"event_time\": \"ordered_at\", "
      "\"meta\": {\"velk\": {}}}},\n"
      "\"model.shop.revenue\": {\"resource_type\": \"model\", \"name\": \"revenue\", "
      "\"depends_on\": {\"nodes\": [\"model.shop.orders\"]}, \"config\": {\"event_time\": \"day\", "
      "\"meta\": {\"velk\": {\"lookback\":\n" + lookback + "}}}}},\n"
      "\"sources\": {\"source.shop.raw.orders\": {\"name\": \"orders\"}}";
  if (!extra.empty()) text += ",\n" + extra;
  return text + "}\n";
}

// A model with this name (a JSON string's content) and no parents.
std::string lone_model(const std::string& id, const std::string& json_name) {
  return "\"" + id + "\": {\"resource_type\": \"model\", \"name\": \"" + json_name +
         "\", \"config\": {\"event_time\": \"t\"}}";
}

const std::string kShopTree =
    "[layer 0] orders [2024-03-10 .. 2024-03-10]\n  [layer 1] revenue [2024-03-08 .. 2024-03-10]\n";

// The inputs too large to write for every test, made once per run of the
// test binary.
// Fresh memory is slow to touch on some machines, so the big texts are
// written in pieces rather than joined first.
struct BigInputs {
  TempDir dir;
  std::string long_name = std::string(64 << 20, 'n');
  fs::path deep_arrays = dir / "deep-arrays.json";
  fs::path long_string = dir / "long-string.json";
  fs::path long_name_manifest = dir / "long-name.json";
  fs::path long_name_line = dir / "long-name.line";

  BigInputs() {
    write_file(deep_arrays, shop_manifest("", "2",
                                          "\"unread\": " + std::string(100000, '[') +
                                              std::string(100000, ']')));
    write_around(long_string, shop_manifest("", "2", "\"unread\": \"@\""));
    write_around(long_name_manifest, shop_manifest(lone_model("model.shop.big", "@")));
    write_file(long_name_line, long_name);
  }

  // The text with its one "@" replaced by the long name.
  void write_around(const fs::path& path, const std::string& text) const {
    const std::size_t at = text.find('@');
    std::ofstream out(path, std::ios::binary);
    out << std::string_view(text).substr(0, at) << long_name << std::string_view(text).substr(at + 1);
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }
};

const BigInputs& big_inputs() {
  static const BigInputs inputs;
  return inputs;
}

// What dbt's FAKE_DBT_SPEW=SUB:MB:LINE prints on each stream.
std::string spew(std::size_t mebibytes, const std::string& line) {
  const std::string with_end = line + "\n";
  std::string block;
  for (std::size_t i = 0; i < (std::size_t{1} << 20) / with_end.size(); ++i) block += with_end;
  std::string text;
  while (text.size() < (mebibytes << 20)) text += block;
  return text;
}

// Compares long texts without printing them whole.
::testing::AssertionResult same_text(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  const auto around = [at](const std::string& text) {
    const std::size_t from = at > 80 ? at - 80 : 0;
    return text.substr(from, 200);
  };
  return ::testing::AssertionFailure()
         << "texts of " << actual.size() << " and " << expected.size()
         << " bytes differ at byte " << at << "\n  actual:   ..." << around(actual)
         << "\n  expected: ..." << around(expected);
}

std::vector<std::string> model_names(const fs::path& document) {
  std::vector<std::string> names;
  const auto parsed = boost::json::parse(read_file(document));
  for (const auto& model : parsed.at("models").as_array()) {
    names.emplace_back(model.at("name").as_string());
  }
  return names;
}

// Model names compared, each shown cut to its first 60 bytes.
::testing::AssertionResult same_names(const std::vector<std::string>& actual,
                                      const std::vector<std::string>& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const auto shown = [](const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
      text += " \"" + name.substr(0, 60) + (name.size() > 60 ? "...\"" : "\"");
    }
    return text;
  };
  return ::testing::AssertionFailure() << "models" << shown(actual) << " instead of" << shown(expected);
}

// Every occurrence of `from` in `text` replaced by `to`.
std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// `text` against `expected`, where "{tmp}" in `expected` stands for the six
// random letters and digits of a temporary file's name.
::testing::AssertionResult same_text_but_tmp(const std::string& text, const std::string& expected) {
  const std::size_t at = expected.find("{tmp}");
  if (at == std::string::npos) return same_text(text, expected);
  const std::size_t rest = expected.size() - at - 5;
  if (text.size() != at + 6 + rest) return same_text(text, expected);
  for (std::size_t i = at; i < at + 6; ++i) {
    if (!std::isalnum(static_cast<unsigned char>(text[i]))) return same_text(text, expected);
  }
  return same_text(text.substr(0, at) + "{tmp}" + text.substr(at + 6), expected);
}

// Names in `dir` that begin with ".tmp": temporary files left behind.
std::vector<std::string> temporary_files(const fs::path& dir) {
  std::vector<std::string> left;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".tmp")) left.push_back(name);
  }
  return left;
}

// One hostile case: how the run is made and everything it must leave.
struct Row {
  std::string what;
  std::vector<std::string> args;  // after --select orders+ and --dbt-command
  Env dbt_env;                    // switches for the stand-in dbt
  int status;
  std::string out;
  std::string err;  // "{dbt}" stands for the dbt command text
  // The models of the plan document when one must be written; none when
  // the run must leave no document.
  std::optional<std::vector<std::string>> models = std::nullopt;
  std::function<void(const fs::path& project)> prepare = nullptr;
  ToolLaunch launch = {};
};

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { write_shop(project()); }

  fs::path project() const { return dir_ / "shop"; }

  ToolRun run(const Row& row, const std::string& dbt) {
    std::vector<std::string> args = {"--select", "orders+", "--dbt-command", dbt};
    args.insert(args.end(), row.args.begin(), row.args.end());
    return run_tool(project(), args, row.launch);
  }

  // Each row from a project without target/ or velk.yml.
  void check(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      fs::remove_all(project() / "target");
      fs::remove(project() / "velk.yml");
      if (row.prepare) row.prepare(project());
      const std::string dbt = fake_dbt_command(row.dbt_env);
      const ToolRun result = run(row, dbt);
      EXPECT_EQ(result.status, row.status) << describe(result);
      EXPECT_TRUE(same_text(result.out, row.out));
      if (row.err.find('{') == std::string::npos) {
        EXPECT_TRUE(same_text(result.err, row.err));
      } else {
        EXPECT_TRUE(same_text_but_tmp(result.err, replaced(row.err, "{dbt}", dbt)));
      }
      const fs::path document = project() / "target/velk/dbt_plan.json";
      if (row.models) {
        EXPECT_TRUE(same_names(model_names(document), *row.models));
      } else {
        EXPECT_FALSE(fs::exists(document));
      }
      for (const fs::path& dir :
           {project(), project() / "target/velk", project() / "target/velk/dbt-plan"}) {
        EXPECT_EQ(temporary_files(dir), std::vector<std::string>{}) << dir;
      }
    }
  }

  TempDir dir_;
};

std::vector<std::string> with_window(std::vector<std::string> args) {
  args.insert(args.end(), std::begin(kWindow), std::end(kWindow));
  return args;
}

const std::vector<std::string> kShop = {"orders", "revenue"};

TEST_F(Hostile, Manifests) {
  const BigInputs& big = big_inputs();
  const fs::path dir = dir_ / "manifests";
  const auto file = [&](const std::string& name, const std::string& text) {
    write_file(dir / name, text);
    return (dir / name).string();
  };
  const auto error = [&](const std::string& name, const std::string& cause) {
    return "error: " + (dir / name).string() + ": " + cause + "\n";
  };
  const std::string digits(10000, '9');
  const std::string escapes = R"("\"\\\/\b\f\n\r\t\u0000\u00e9\ud83d\ude00\u001f")";
  const std::string shop = shop_manifest();
  std::string raw_nul = shop_manifest("", "2", "\"unread\": \"a");
  raw_nul.insert(raw_nul.size() - 2, std::string("\0b\"", 3));

  check({
      {"100,000 nested arrays in a key that is not read",
       with_window({"--manifest", big.deep_arrays.string()}), {}, 0, "", "", kShop},
      {"100,000 nested arrays in a model's config, not read",
       with_window({"--manifest",
                    file("deep-config.json",
                         shop_manifest("\"model.shop.deep\": {\"resource_type\": \"seed\", \"name\": "
                                       "\"deep\", \"config\": {\"unread\": " +
                                       std::string(100000, '[') + std::string(100000, ']') + "}}"))}),
       {}, 0, "", "", kShop},
      {"a 64 MiB string in a key that is not read",
       with_window({"--manifest", big.long_string.string()}), {}, 0, "", "", kShop},
      {"a 64 MiB model name, selected and printed",
       with_window({"--manifest", big.long_name_manifest.string(), "--pretty"}),
       {{"FAKE_DBT_LS_EXTRA_FILE", big.long_name_line.string()}}, 0,
       "[layer 0] " + big.long_name + " [2024-03-10 .. 2024-03-10]\n" + kShopTree, "",
       std::vector<std::string>{big.long_name, "orders", "revenue"}},
      {"a number of 10,000 digits in a key that is not read",
       with_window({"--manifest", file("digits.json", shop_manifest("", "2", "\"unread\": " + digits))}),
       {}, 0, "", "", kShop},
      {"a number of 10,000 digits as an amount",
       with_window({"--manifest", file("amount.json", shop_manifest("", digits))}), {}, 1, "",
       error("amount.json", "invalid type: floating point `" + digits +
                                "`, expected i64 at line 5 column 1")},
      {"every escape in keys and values that are not read, and escaped names",
       with_window({"--manifest",
                    file("escapes.json",
                         shop_manifest("", "2",
                                       escapes + ": {" + escapes + ": [" + escapes + "]}, " +
                                           "\"model.shop.\\u0065scaped\": null"))}),
       {}, 0, "", "", kShop},
      {"an escaped NUL in a model name, selected",
       with_window({"--manifest",
                    file("nul.json", shop_manifest(lone_model("model.shop.nul", "a\\u0000b"))),
                    "--pretty"}),
       {{"FAKE_DBT_LS_EXTRA_FILE", file("nul.line", std::string("a\0b", 3))}}, 0,
       "[layer 0] a" + std::string(1, '\0') + "b [2024-03-10 .. 2024-03-10]\n" + kShopTree, "",
       std::vector<std::string>{std::string("a\0b", 3), "orders", "revenue"}},
      {"a raw NUL byte in a string", with_window({"--manifest", file("raw-nul.json", raw_nul)}),
       {}, 1, "",
       error("raw-nul.json",
             "control character (\\u0000-\\u001F) found while parsing a string at line 7 "
             "column 13")},
      {"a file cut short", with_window({"--manifest", file("cut.json", shop.substr(0, 200))}), {},
       1, "", error("cut.json", "EOF while parsing a string at line 3 column 135")},
      {"an empty file", with_window({"--manifest", file("empty.json", "")}), {}, 1, "",
       error("empty.json", "EOF while parsing a value at line 1 column 1")},
      {"a file that is not UTF-8",
       with_window({"--manifest", file("latin1.json", shop_manifest(lone_model("model.shop.x", "caf\xe9")))}),
       {}, 1, "", error("latin1.json", "stream did not contain valid UTF-8")},
      {"a manifest path that names a directory", with_window({"--manifest", dir.string()}), {}, 1,
       "", "error: " + dir.string() + ": Is a directory (os error 21)\n"},
  });
}

TEST_F(Hostile, VelkYmlFiles) {
  const auto velk_yml = [](std::string text) {
    return [text = std::move(text)](const fs::path& project) { write_file(project / "velk.yml", text); };
  };
  // Eleven levels of ten aliases each: 10^11 leaves if anything expanded them.
  std::string laughs = "l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level <= 11; ++level) {
    std::string name = "l";
    name += std::to_string(level);
    std::string below = "*l";
    below += std::to_string(level - 1);
    laughs += name + ": &" + name + " [" + below;
    for (int i = 1; i < 10; ++i) laughs += ", " + below;
    laughs += "]\n";
  }
  const std::string bad = "error: ./velk.yml: ";

  check({
      {"an alias chain of 10^11 leaves under a key that is not read", with_window({}), {}, 0, "",
       "", kShop, velk_yml(laughs)},
      {"the alias chain as dbt-args", with_window({}), {}, 1, "",
       bad + "dbt-args: invalid type: sequence, expected a string at line 12 column 6\n",
       std::nullopt, velk_yml(laughs + "dbt-args: *l11\n")},
      {"the alias chain as dbt-plan", with_window({}), {}, 1, "",
       bad + "dbt-plan: invalid type: sequence, expected struct DbtPlanLayer at line 12 column 6\n",
       std::nullopt, velk_yml(laughs + "dbt-plan: *l11\n")},
      {"100,000 nested brackets", with_window({}), {}, 1, "",
       bad + "recursion limit exceeded at line 1 column 131\n", std::nullopt,
       velk_yml("x: " + std::string(100000, '[') + std::string(100000, ']') + "\n")},
      {"a dbt-args word of a mebibyte, which no command line can carry", with_window({}), {}, 1,
       "", "error: could not run `{dbt} parse`: Argument list too long (os error 7)\n",
       std::nullopt, velk_yml("dbt-args: " + std::string(1 << 20, 'x') + "\n")},
      {"a NUL byte", with_window({}), {}, 1, "",
       bad + "control characters are not allowed at line 1 column 12\n", std::nullopt,
       velk_yml(std::string("against: \"a\0b\"\n", 15))},
      {"text that is not UTF-8", with_window({}), {}, 1, "",
       bad + "stream did not contain valid UTF-8\n", std::nullopt, velk_yml("against: caf\xe9\n")},
      {"a directory named velk.yml", with_window({}), {}, 1, "",
       bad + "Is a directory (os error 21)\n", std::nullopt,
       [](const fs::path& project) { fs::create_directory(project / "velk.yml"); }},
  });
}

TEST_F(Hostile, DbtOutput) {
  const std::string dying_ls = "error: `{dbt} ls` failed:\nstdout:\nfake-dbt ls dying\n\nstderr:\nfake-dbt ls dying\n\n";
  const std::string not_a_model =
      "\", which isn't a model in the compiled manifest -- the manifest at --manifest is likely "
      "out of sync with the current project state; delete it and rerun (or point --manifest at a "
      "freshly compiled one)\n";
  const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD

  std::vector<Row> rows = {
      {"ls killed by a signal", with_window({}), {{"FAKE_DBT_SIGNAL", "ls:SEGV"}}, 1, "",
       dying_ls},
      {"parse killed by a signal", with_window({}), {{"FAKE_DBT_SIGNAL", "parse:KILL"}}, 1, "",
       "error: `{dbt} parse` failed to refresh the manifest:\nstdout:\nfake-dbt parse dying\n\n"
       "stderr:\nfake-dbt parse dying\n\n"},
      {"ls printing a line that is not UTF-8", with_window({}),
       {{"FAKE_DBT_RAW", "ls:\\xff\\xfeorders\\n"}}, 1, "",
       "error: `{dbt} ls` selected \"" + replacement + replacement + "orders" + not_a_model},
      {"ls failing with output that is not UTF-8", with_window({}),
       {{"FAKE_DBT_RAW", "ls:or\\xffders\\n"}, {"FAKE_DBT_FAIL", "ls"}}, 1, "",
       "error: `{dbt} ls` failed:\nstdout:\nor" + replacement + "ders\nfake-dbt ls stdout\n\n"
       "stderr:\nor" + replacement + "ders\nfake-dbt ls stderr\n\n"},
      {"parse failing with output that is not UTF-8", with_window({}),
       {{"FAKE_DBT_RAW", "parse:\\x80\\n"}, {"FAKE_DBT_FAIL", "parse"}}, 1, "",
       "error: `{dbt} parse` failed to refresh the manifest:\nstdout:\n" + replacement +
           "\nfake-dbt parse stdout\n\nstderr:\n" + replacement + "\nfake-dbt parse stderr\n\n"},
      {"ls closing its output early and exiting 0", with_window({}), {{"FAKE_DBT_CLOSE", "ls:0"}},
       0, "", "", kShop},
      {"ls closing its output early and exiting 3", with_window({}), {{"FAKE_DBT_CLOSE", "ls:3"}},
       1, "", "error: `{dbt} ls` failed:\nstdout:\norders\nrevenue\n\nstderr:\n\n"},
      {"parse closing its output early and exiting 0", with_window({}),
       {{"FAKE_DBT_CLOSE", "parse:0"}}, 0, "", "", kShop},
      {"ls printing 100 MiB of names on both streams", with_window({}),
       {{"FAKE_DBT_SPEW", "ls:100:orders"}}, 0, "", "", kShop},
  };
  const std::string lines = spew(100, "revenue");
  rows.push_back({"ls failing after 100 MiB on both streams", with_window({}),
                  {{"FAKE_DBT_SPEW", "ls:100:revenue"}, {"FAKE_DBT_FAIL", "ls"}}, 1, "",
                  "error: `{dbt} ls` failed:\nstdout:\n" + lines + "fake-dbt ls stdout\n\nstderr:\n" +
                      lines + "fake-dbt ls stderr\n\n"});
  check(rows);
}

TEST_F(Hostile, ProjectTrees) {
  check({
      {"a symbolic-link cycle under models/", with_window({}), {}, 0, "", "", kShop,
       [](const fs::path& project) {
         fs::create_directory_symlink(".", project / "models/loop");
         fs::create_directories(project / "models/sub");
         fs::create_directory_symlink("..", project / "models/sub/up");
       }},
  });
}

TEST_F(Hostile, OutputsAndStandardStreams) {
  const auto fresh_manifest = [](const fs::path& project) {
    write_file(project / "target/manifest.json", shop_manifest());
  };
  check({
      {"an output file whose directory is a file", with_window({"-o", "blocker/plan.json"}), {},
       1, "", "error: could not create blocker: File exists (os error 17)\n", std::nullopt,
       [](const fs::path& project) { write_file(project / "blocker", ""); }},
      {"an output file that is a directory", with_window({"-o", "taken"}), {}, 1, "",
       "error: could not write taken: Is a directory (os error 21)\n", std::nullopt,
       [](const fs::path& project) { fs::create_directories(project / "taken"); }},
      {"a report directory that is a file", with_window({"--pretty", "--html"}), {}, 1, kShopTree,
       "error: could not create ./target/velk/dbt-plan: File exists (os error 17)\n", kShop,
       [](const fs::path& project) { write_file(project / "target/velk/dbt-plan", ""); }},
      {"a document cut short by the file-size limit", with_window({}), {}, 1, "",
       "error: could not write ./target/velk/dbt_plan.json: File too large (os error 27) at path "
       "\"" + project().string() + "/./target/velk/.tmp{tmp}\"\n",
       std::nullopt, fresh_manifest, {.before = "ulimit -f 1; trap '' XFSZ;"}},
      {"standard output closed, with a tree to print", with_window({"--pretty"}), {}, 101, "",
       "internal error: failed printing to stdout: Bad file descriptor (os error 9)\n", kShop,
       nullptr, {.redirect = ">&-"}},
      {"standard output full, with a tree to print", with_window({"--pretty"}), {}, 101, "",
       "internal error: failed printing to stdout: No space left on device (os error 28)\n",
       kShop, nullptr, {.redirect = ">/dev/full"}},
      {"standard input closed", with_window({}), {}, 0, "", "", kShop, nullptr,
       {.redirect = "<&-"}},
      {"standard output closed, with nothing to print", with_window({}), {}, 0, "", "", kShop,
       nullptr, {.redirect = ">&-"}},
      {"standard error closed, with warnings to print", with_window({}), {}, 101, "", "", kShop,
       [](const fs::path& project) {
         write_file(project / "velk.yml", "dbt-plan:\n  max-window-expansion-days: 0\n");
       },
       {.redirect = "2>&-"}},
      {"standard error closed, with an error to print", with_window({"--anchor", "ghost"}), {},
       101, "", "", std::nullopt, nullptr, {.redirect = "2>&-"}},
  });
}

TEST_F(Hostile, AnUnwritableOutputDirectory) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  check({
      {"an output directory without write permission", with_window({"-o", "locked/plan.json"}),
       {}, 1, "",
       "error: could not create a temp file in locked: Permission denied (os error 13) at path "
       "\"" + project().string() + "/locked/.tmp{tmp}\"\n",
       std::nullopt, [](const fs::path& project) {
         fs::create_directories(project / "locked");
         fs::permissions(project / "locked", fs::perms::owner_read | fs::perms::owner_exec);
       }},
  });
}

TEST_F(Hostile, PathsWithBlanksNewlinesAndInvalidUtf8) {
  const std::string odd = "a b\nc\xff";
  const std::string shown = "a b\nc\xEF\xBF\xBD";  // \xff as U+FFFD
  const fs::path odd_project = dir_ / ("project " + odd);
  write_shop(odd_project);
  const fs::path manifest = dir_ / ("manifest " + odd + ".json");
  write_file(manifest, shop_manifest());
  const fs::path output = dir_ / ("out " + odd) / ("plan " + odd + ".json");

  std::vector<std::string> args = with_window({"--project-dir", odd_project.string(), "--html"});
  const ToolRun in_project = run(Row{"", args, {}, 0, "", ""}, fake_dbt_command());
  ASSERT_EQ(in_project.status, 0) << describe(in_project);
  EXPECT_EQ(in_project.err, "");
  const std::string wrote = "wrote " + dir_.path().string() + "/project " + shown +
                            "/target/velk/dbt-plan/dbt_plan_";
  ASSERT_TRUE(in_project.out.starts_with(wrote)) << in_project.out;
  ASSERT_TRUE(in_project.out.ends_with(".html\n")) << in_project.out;
  const std::string report_name = in_project.out.substr(wrote.size() - 9, 9 + 14 + 5);
  EXPECT_TRUE(fs::is_regular_file(odd_project / "target/velk/dbt-plan" / report_name));
  const auto document = boost::json::parse(read_file(odd_project / "target/velk/dbt_plan.json"));
  EXPECT_EQ(std::string(document.at("metadata").at("manifest_path").as_string()),
            dir_.path().string() + "/project " + shown + "/target/manifest.json");

  args = with_window({"--project-dir", odd_project.string(), "--manifest", manifest.string(), "-o",
                      output.string()});
  const ToolRun elsewhere = run(Row{"", args, {}, 0, "", ""}, fake_dbt_command());
  ASSERT_EQ(elsewhere.status, 0) << describe(elsewhere);
  EXPECT_EQ(elsewhere.out + elsewhere.err, "");
  EXPECT_EQ(std::string(boost::json::parse(read_file(output)).at("metadata").at("manifest_path").as_string()),
            dir_.path().string() + "/manifest " + shown + ".json");
  EXPECT_EQ(model_names(output), kShop);
}

}  // namespace
