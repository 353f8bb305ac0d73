// The whole tool, end to end: the real binary run with the stand-in dbt on
// small projects, for every message the run driver composes, every
// precedence rule between flags, velk.yml and defaults, and the streams and
// exit statuses of a run.
#include "run.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "date.h"
#include "process.h"
#include "support/fake_dbt.h"
#include "support/git_repo.h"
#include "support/run_tool.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

// A small shop: raw source -> orders (settings) -> revenue (lookback 2)
// -> report (settings but no event_time).
void write_shop(const fs::path& dir) {
  write_dbt_project(
      dir, "shop",
      {{"orders", "{{ config(event_time='ordered_at', meta={'velk': {}}) }}\n"
                  "select * from {{ source('raw', 'orders') }}\n"},
       {"revenue", "{{ config(event_time='day', meta={'velk': {'lookback': 2}}) }}\n"
                   "select * from {{ ref('orders') }}\n"},
       {"report", "{{ config(meta={'velk': {'lookahead': 1}}) }}\n"
                  "select * from {{ ref('revenue') }}\n"}});
}

std::string text(const boost::json::value& value) { return std::string(value.as_string()); }

boost::json::object document_at(const fs::path& path) {
  return boost::json::parse(read_file(path)).as_object();
}

const std::string kReportWarning =
    "warning: report: declares config.meta.velk (lookback/lookahead) but has no event_time "
    "configured -- this isn't a microbatch model in dbt's own terms, so this config has no real "
    "effect\n";

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { write_shop(project_dir()); }

  fs::path project_dir() const { return dir_ / "shop"; }
  fs::path log() const { return dir_ / "dbt.log"; }
  std::string dbt() const { return fake_dbt_command({{"FAKE_DBT_LOG", log().string()}}); }

  // The shop run from its own directory with the stand-in, an explicit
  // window, and `extra` arguments.
  ToolRun run_in_shop(std::vector<std::string> extra, const std::string& redirect = "") {
    std::vector<std::string> args = {"--select", "orders+", "--dbt-command", dbt(),
                                     "--event-time-start", "2024-03-10", "--event-time-end",
                                     "2024-03-10"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_tool(project_dir(), args, redirect);
  }

  std::vector<std::string> subcommands() const {
    std::vector<std::string> names;
    for (const DbtCall& call : read_dbt_log(log())) {
      for (const std::string& arg : call.argv) {
        if (arg == "parse" || arg == "ls" || arg == "deps") {
          names.push_back(arg);
          break;
        }
      }
    }
    return names;
  }

  TempDir dir_;
};

TEST_F(RunTest, WritesThePlanDocumentAndPrintsNothingOnSuccess) {
  const ToolRun run = run_in_shop({});
  ASSERT_EQ(run.status, 0) << describe(run);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kReportWarning);
  const auto document = document_at(project_dir() / "target/velk/dbt_plan.json");
  const auto& metadata = document.at("metadata").as_object();
  EXPECT_EQ(metadata.at("anchor_selection"), "orders+");
  EXPECT_EQ(metadata.at("manifest_path"), "./target/manifest.json");
  EXPECT_EQ(text(metadata.at("dbt_command")), dbt());
  EXPECT_EQ(metadata.at("max_window_expansion_days"), 90);
  EXPECT_TRUE(metadata.contains("manifest_generated_at"));
  const auto& models = document.at("models").as_array();
  ASSERT_EQ(models.size(), 3u);
  EXPECT_EQ(models[1].at("name"), "revenue");
  EXPECT_EQ(models[1].at("event_time_start"), "2024-03-08");
  EXPECT_EQ(models[2].at("event_time_end"), "2024-03-11");
  EXPECT_EQ(subcommands(), (std::vector<std::string>{"parse", "ls"}));
}

TEST_F(RunTest, PrettyThenHtmlOnStandardOutputAndTheNoteThenWarningsOnStandardError) {
  const ToolRun run = run_tool(project_dir(), {"-s", "orders+", "--dbt-command", dbt(),
                                               "--pretty", "--html"});
  ASSERT_EQ(run.status, 0) << describe(run);
  const auto document = document_at(project_dir() / "target/velk/dbt_plan.json");
  const auto& window = document.at("metadata").at("anchor_window").as_object();
  const std::string day(window.at("event_time_start").as_string());
  EXPECT_EQ(window.at("source"), "default_yesterday");

  const std::string tree = "[layer 0] orders [" + day + " .. " + day + "]\n";
  ASSERT_TRUE(run.out.starts_with(tree)) << run.out;
  const std::string rest = run.out.substr(run.out.find("\nwrote ") + 1);
  EXPECT_TRUE(rest.starts_with("wrote ./target/velk/dbt-plan/dbt_plan_")) << run.out;
  EXPECT_TRUE(rest.ends_with(".html\n")) << run.out;
  const fs::path report = project_dir() / rest.substr(6, rest.size() - 7);
  EXPECT_TRUE(fs::is_regular_file(report)) << report;
  EXPECT_NE(read_file(report).find("default-yesterday-banner"), std::string::npos);

  EXPECT_EQ(run.err,
            "note: --event-time-start/--event-time-end not supplied, defaulting every Entry Node "
            "to yesterday (" + day + ")\n" + kReportWarning);
}

// A versioned model as dbt declares it, in two versions with their own
// settings (version 1 without event_time), a child of version 2, and one
// child of each version with an override for the bare name and one for
// "dim.v2". The stand-in lists each version as dbt does ("dim.v1",
// "dim.v2").
void write_versioned_dim(const fs::path& dir) {
  const std::string overrides = "meta={'velk': {'lookback_overrides': {'dim': 3, 'dim.v2': 7}}}";
  write_file(dir / "models/dim.yml",
             "models:\n  - name: dim\n    latest_version: 1\n    versions:\n      - v: 1\n      - v: 2\n");
  write_file(dir / "models/dim_v1.sql",
             "{{ config(meta={'velk': {'lookback': 1}}) }}\nselect * from {{ ref('orders') }}\n");
  write_file(dir / "models/dim_v2.sql",
             "{{ config(event_time='day', meta={'velk': {'lookback': 4}}) }}\nselect * from {{ ref('orders') }}\n");
  write_file(dir / "models/dim_report.sql",
             "{{ config(event_time='day', meta={'velk': {'lookahead': 1}}) }}\nselect * from {{ ref('dim', v=2) }}\n");
  write_file(dir / "models/dim_first.sql",
             "{{ config(event_time='day', " + overrides + ") }}\nselect * from {{ ref('dim', v=1) }}\n");
  write_file(dir / "models/dim_second.sql",
             "{{ config(event_time='day', " + overrides + ") }}\nselect * from {{ ref('dim', v=2) }}\n");
}

// "name start..end <- parents" per model of the plan document, in plan order.
std::vector<std::string> model_lines(const boost::json::object& document) {
  std::vector<std::string> models;
  for (const auto& value : document.at("models").as_array()) {
    std::string line = text(value.at("name")) + " " + text(value.at("event_time_start")) + ".." +
                       text(value.at("event_time_end"));
    const auto& parents = value.at("depends_on").as_array();
    for (std::size_t i = 0; i < parents.size(); ++i) line += (i == 0 ? " <- " : ", ") + text(parents[i]);
    models.push_back(line);
  }
  return models;
}

const std::string kVersionOneWarning =
    "warning: dim.v1: declares config.meta.velk (lookback/lookahead) but has no event_time "
    "configured -- this isn't a microbatch model in dbt's own terms, so this config has no real "
    "effect\n";

// Each version is planned, and named everywhere, as dbt prints it: in the
// document (names, depends_on, warnings), the tree, the report's graph data
// and the warning lines. dim_first's override under "dim" holds for
// version 1; dim_second's under "dim.v2" wins over it.
TEST_F(RunTest, PlansAndNamesEachVersionAsDbtLsPrintsIt) {
  write_versioned_dim(project_dir());
  const std::vector<std::string> window = {"--dbt-command", dbt(), "--event-time-start", "2024-03-10",
                                           "--event-time-end", "2024-03-10"};
  const auto with_window = [&](std::vector<std::string> args) {
    args.insert(args.end(), window.begin(), window.end());
    return args;
  };

  const ToolRun run =
      run_tool(project_dir(), with_window({"-s", "orders dim dim_first dim_second", "--pretty", "--html"}));
  ASSERT_EQ(run.status, 0) << describe(run);
  const auto document = document_at(project_dir() / "target/velk/dbt_plan.json");
  EXPECT_EQ(model_lines(document),
            (std::vector<std::string>{"orders 2024-03-10..2024-03-10", "dim.v1 2024-03-09..2024-03-10 <- orders",
                                      "dim.v2 2024-03-06..2024-03-10 <- orders",
                                      "dim_first 2024-03-06..2024-03-10 <- dim.v1",
                                      "dim_second 2024-02-28..2024-03-10 <- dim.v2"}));
  const auto& warnings = document.at("metadata").at("warnings").as_array();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].at("model"), "dim.v1");
  EXPECT_EQ(run.err, kVersionOneWarning);

  const std::string tree =
      "[layer 0] orders [2024-03-10 .. 2024-03-10]\n"
      "  [layer 1] dim.v1 [2024-03-09 .. 2024-03-10]\n"
      "  [layer 1] dim.v2 [2024-03-06 .. 2024-03-10]\n"
      "    [layer 2] dim_first [2024-03-06 .. 2024-03-10]\n"
      "    [layer 2] dim_second [2024-02-28 .. 2024-03-10]\n";
  ASSERT_TRUE(run.out.starts_with(tree + "wrote ")) << run.out;
  const std::string page = read_file(project_dir() / run.out.substr(tree.size() + 6, run.out.size() - tree.size() - 7));
  constexpr std::string_view prefix = "window.VELK_DBT_PLAN_DATA = ";
  const std::size_t at = page.find(prefix);
  ASSERT_NE(at, std::string::npos);
  const auto data =
      boost::json::parse(page.substr(at + prefix.size(), page.find(";\n", at) - at - prefix.size())).as_object();
  std::vector<std::string> nodes;
  for (const auto& node : data.at("nodes").as_array()) nodes.push_back(text(node.at("name")));
  EXPECT_EQ(nodes, (std::vector<std::string>{"orders", "dim.v1", "dim.v2", "dim_first", "dim_second"}));
  std::vector<std::string> edges;
  for (const auto& edge : data.at("edges").as_array()) {
    edges.push_back(text(edge.at("upstream")) + ">" + text(edge.at("downstream")));
  }
  EXPECT_EQ(edges, (std::vector<std::string>{"orders>dim.v1", "orders>dim.v2", "dim.v1>dim_first",
                                             "dim.v2>dim_second"}));

  // One version and what reads it.
  const ToolRun one = run_tool(project_dir(), with_window({"-s", "dim.v2+"}));
  ASSERT_EQ(one.status, 0) << describe(one);
  EXPECT_EQ(model_lines(document_at(project_dir() / "target/velk/dbt_plan.json")),
            (std::vector<std::string>{"dim.v2 2024-03-10..2024-03-10", "dim_report 2024-03-10..2024-03-11 <- dim.v2",
                                      "dim_second 2024-03-03..2024-03-10 <- dim.v2"}));

  // A version that the manifest lacks is named as dbt printed it.
  const ToolRun missing = run_tool(
      project_dir(), {"-s", "dim", "--dbt-command", fake_dbt_command({{"FAKE_DBT_LS_EXTRA", "dim.v3"}})});
  EXPECT_EQ(missing.status, 1);
  EXPECT_TRUE(missing.err.find(" ls` selected \"dim.v3\", which isn't a model in the compiled manifest") !=
              std::string::npos)
      << missing.err;
}

// --anchor takes a version's printed name, or the bare name when one
// selected version has it; a bare name that two selected versions share
// ends the run before anything is written.
TEST_F(RunTest, AnchorsAVersionByItsPrintedNameOrItsOnlyBareName) {
  write_versioned_dim(project_dir());
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> models;  // in plan order; none when the run fails
    std::string error = "";
  };
  const Case cases[] = {
      {{"-s", "+dim_report dim", "--anchor", "dim.v2"},
       {"orders 2024-03-06..2024-03-10", "dim.v1 2024-03-05..2024-03-10 <- orders",
        "dim.v2 2024-03-10..2024-03-10 <- orders", "dim_report 2024-03-10..2024-03-11 <- dim.v2"}},
      {{"-s", "+dim_report", "--anchor", "dim"},
       {"orders 2024-03-06..2024-03-10", "dim.v2 2024-03-10..2024-03-10 <- orders",
        "dim_report 2024-03-10..2024-03-11 <- dim.v2"}},
      {{"-s", "orders dim", "--anchor", "dim"},
       {},
       "error: --anchor \"dim\" names 2 versions selected by --select: dim.v1, dim.v2 -- pass one of "
       "these names to --anchor\n"},
      {{"-s", "dim", "--anchor", "dim.v3"},
       {},
       "error: --anchor \"dim.v3\" is not among the 2 model(s) selected by --select: dim.v1, dim.v2\n"},
  };
  for (const auto& c : cases) {
    fs::remove_all(project_dir() / "target/velk");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--dbt-command", dbt(), "--event-time-start", "2024-03-10", "--event-time-end",
                             "2024-03-10", "--pretty", "--html"});
    const ToolRun run = run_tool(project_dir(), args);
    const std::string what = c.args[1] + " --anchor " + c.args[3];
    if (!c.error.empty()) {
      EXPECT_EQ(run.status, 1) << what;
      EXPECT_EQ(run.out, "") << what;
      EXPECT_EQ(run.err, c.error) << what;
      EXPECT_FALSE(fs::exists(project_dir() / "target/velk")) << what;
      continue;
    }
    ASSERT_EQ(run.status, 0) << what << ": " << describe(run);
    const auto document = document_at(project_dir() / "target/velk/dbt_plan.json");
    EXPECT_EQ(model_lines(document), c.models) << what;
    EXPECT_EQ(text(document.at("metadata").at("anchor_model")), c.args[3]) << what;
  }
}

TEST_F(RunTest, AnUnbalancedDbtArgsEndsTheRunBeforeAnyDbtRun) {
  const ToolRun run = run_in_shop({"--dbt-args", "--target 'ci"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "error: --dbt-args: missing closing quote\n");
  EXPECT_EQ(subcommands(), std::vector<std::string>{});
}

TEST_F(RunTest, TheWindowIsJudgedOnlyAfterDbtLsRan) {
  const ToolRun alone = run_tool(project_dir(), {"-s", "orders", "--dbt-command", dbt(),
                                                 "--event-time-start", "2024-03-01"});
  EXPECT_EQ(alone.status, 1);
  EXPECT_EQ(alone.err,
            "error: --event-time-start and --event-time-end must be passed together, or not at "
            "all\n");
  EXPECT_EQ(subcommands(), (std::vector<std::string>{"parse", "ls"}));

  const ToolRun both_bad = run_tool(project_dir(), {"-s", "orders", "--dbt-command", dbt(),
                                                    "--event-time-start", "2024-13-01",
                                                    "--event-time-end", "tomorrow"});
  EXPECT_EQ(both_bad.status, 1);
  EXPECT_EQ(both_bad.err, "error: \"2024-13-01\" is not a valid YYYY-MM-DD date\n");
}

// The window given holds both its days. One that ends before it starts is
// refused where the dates are read, after dbt ls, with or without --anchor:
// nothing is written and an earlier plan and report stay as they were. A
// start equal to the end is one day.
TEST(RunWindow, AnEndBeforeTheStartIsRefusedAndOneDayIsPlanned) {
  const std::string reversed =
      "error: --event-time-end 2024-03-04 is before --event-time-start 2024-03-10 -- the window "
      "runs from its start to its end, both days included\n";
  struct Case {
    const char* what;
    std::vector<std::string> args;
    bool earlier_outputs;
    std::string error;  // empty: the run plans
    const char* entry_window;
  };
  const Case cases[] = {
      {"reversed", {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-04"}, false,
       reversed, nullptr},
      {"reversed over an earlier plan",
       {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-04"}, true, reversed,
       nullptr},
      {"reversed with --anchor",
       {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-04", "--anchor",
        "revenue"},
       true, reversed, nullptr},
      {"reversed, written loosely",
       {"--event-time-start", "+2024-3-10", "--event-time-end", "2024-3-4"}, false, reversed,
       nullptr},
      {"one day short",
       {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-09"}, false,
       "error: --event-time-end 2024-03-09 is before --event-time-start 2024-03-10 -- the window "
       "runs from its start to its end, both days included\n",
       nullptr},
      {"one day", {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-10"}, true, "",
       "2024-03-10"},
      {"one day with --anchor",
       {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-10", "--anchor", "orders"},
       false, "", "2024-03-10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const TempDir dir;
    const fs::path shop = dir / "shop";
    write_shop(shop);
    const fs::path plan = shop / "target/velk/dbt_plan.json";
    const fs::path old_report = shop / "target/velk/dbt-plan/dbt_plan_20240101000000.html";
    const std::string earlier_plan = "{\"earlier\": \"plan\"}";
    if (c.earlier_outputs) {
      write_file(plan, earlier_plan);
      write_file(old_report, "<html>earlier</html>");
    }
    const fs::path log = dir / "dbt.log";
    std::vector<std::string> args = {"-s", "orders+", "--dbt-command",
                                     fake_dbt_command({{"FAKE_DBT_LOG", log.string()}}), "--html"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = run_tool(shop, args);
    EXPECT_EQ(read_dbt_log(log).size(), 2u) << "parse and ls run before the window is read";

    if (!c.error.empty()) {
      EXPECT_EQ(run.status, 1) << describe(run);
      EXPECT_EQ(run.out, "");
      EXPECT_EQ(run.err, c.error);
      if (c.earlier_outputs) {
        EXPECT_EQ(read_file(plan), earlier_plan);
        std::vector<fs::path> reports;
        for (const auto& entry : fs::directory_iterator(old_report.parent_path())) {
          reports.push_back(entry.path());
        }
        EXPECT_EQ(reports, std::vector<fs::path>{old_report});
      } else {
        EXPECT_FALSE(fs::exists(shop / "target/velk")) << "no plan and no report directory";
      }
      continue;
    }
    ASSERT_EQ(run.status, 0) << describe(run);
    const auto document = document_at(plan);
    const auto& window = document.at("metadata").at("anchor_window").as_object();
    EXPECT_EQ(window.at("event_time_start"), c.entry_window);
    EXPECT_EQ(window.at("event_time_end"), c.entry_window);
    const auto& orders = document.at("models").as_array().at(0).as_object();
    EXPECT_EQ(orders.at("name"), "orders");
    EXPECT_EQ(orders.at("event_time_start"), c.entry_window);
    EXPECT_EQ(orders.at("event_time_end"), c.entry_window);
  }
}

// The bash blocks of the README's section on going from a plan to dbt runs,
// as the README writes them.
std::vector<std::string> readme_run_scripts() {
  const std::string readme = read_file(source_dir() / "README.md");
  const std::size_t start = readme.find("\n### From a plan to dbt runs\n");
  if (start == std::string::npos) return {};
  const std::size_t end = std::min(readme.find("\n## ", start + 1), readme.find("\n### ", start + 1));
  const std::string section = readme.substr(start, end - start);
  std::vector<std::string> scripts;
  const std::string open = "```bash\n";
  for (std::size_t at = section.find(open); at != std::string::npos;
       at = section.find(open, at)) {
    at += open.size();
    const std::size_t close = section.find("```", at);
    if (close == std::string::npos) break;
    scripts.push_back(section.substr(at, close - at));
    at = close + 3;
  }
  return scripts;
}

// Each of the README's scripts, run for real with bash on the example
// project's plan and a dbt on PATH that records its arguments, runs every
// model once, in plan order, handing dbt the day after the plan's inclusive
// end as its exclusive one.
TEST(ReadmeRuns, EachModelOnceInPlanOrderEndingTheDayAfterItsWindow) {
  const std::vector<std::string> scripts = readme_run_scripts();
  ASSERT_EQ(scripts.size(), 2u) << "README.md: the two scripts from a plan to dbt runs";

  const TempDir dir;
  const fs::path shop = dir / "shop";
  fs::copy(source_dir() / "examples/shop", shop, fs::copy_options::recursive);
  fs::remove_all(shop / "target");
  const ToolRun planned = run_tool(
      shop, {"-s", "+shop_summary customer_lifetime marketing_attribution dim_customers+",
             "--dbt-command", fake_dbt_command(), "--event-time-start", "2024-03-04",
             "--event-time-end", "2024-03-10"});
  ASSERT_EQ(planned.status, 0) << describe(planned);

  std::string expected;
  const auto document = document_at(shop / "target/velk/dbt_plan.json");
  for (const auto& model : document.at("models").as_array()) {
    const auto end = parse_date(text(model.at("event_time_end")));
    ASSERT_TRUE(end.has_value());
    expected += "[run][--select][" + text(model.at("name")) + "][--event-time-start][" +
                text(model.at("event_time_start")) + "][--event-time-end][" +
                format_date(Date{end->days + 1}) + "]\n";
  }
  ASSERT_EQ(document.at("models").as_array().size(), 14u);

  const fs::path bin = dir / "bin";
  write_file(bin / "dbt",
             "#!/bin/sh\n"
             "for arg in \"$@\"; do printf '[%s]' \"$arg\"; done >> \"$DBT_RUNS\"\n"
             "echo >> \"$DBT_RUNS\"\n");
  fs::permissions(bin / "dbt", fs::perms::owner_all);
  for (std::size_t i = 0; i < scripts.size(); ++i) {
    SCOPED_TRACE("script " + std::to_string(i + 1) + ":\n" + scripts[i]);
    const fs::path script = dir / ("script" + std::to_string(i));
    const fs::path runs = dir / ("runs" + std::to_string(i));
    write_file(script, scripts[i]);
    const char* path = std::getenv("PATH");
    const auto output = run_process(
        "env", {"PATH=" + bin.string() + ":" + (path ? path : "/usr/bin:/bin"),
                "DBT_RUNS=" + runs.string(), "bash", script.string()},
        shop);
    ASSERT_TRUE(output.has_value()) << output.error().message();
    EXPECT_EQ(output->wait_status, 0) << captured_streams_text(*output);
    EXPECT_EQ(read_file(runs), expected);
  }
}

TEST_F(RunTest, RefusesBeforeTouchingTheDisk) {
  const TempDir empty;
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string error;
  };
  const std::string not_a_project =
      " does not look like a dbt project -- no dbt_project.yml found there. velk-dbt-plan only "
      "works inside a dbt project: run it from the project root, or pass --project-dir pointing "
      "at one.\n";
  const Case cases[] = {
      {"an anchor without both dates, outside any project",
       {"-s", "a", "--anchor", "a", "--event-time-start", "2024-01-01"},
       "error: --anchor requires --event-time-start and --event-time-end to both be passed "
       "explicitly -- there is no yesterday-default when --anchor is used\n"},
      {"the default project directory", {"-s", "a"}, "error: ." + not_a_project},
      {"a named project directory", {"-s", "a", "--project-dir", "no/such/dir"},
       "error: no/such/dir" + not_a_project},
  };
  for (const Case& c : cases) {
    const ToolRun run = run_tool(empty.path(), c.args);
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_EQ(run.out, "") << c.what;
    EXPECT_EQ(run.err, c.error) << c.what;
    EXPECT_TRUE(fs::is_empty(empty.path())) << c.what;
  }
}

TEST_F(RunTest, ALinkOrDirectoryNamedDbtProjectCounts) {
  const TempDir other;
  fs::create_directory(other / "dbt_project.yml");
  const ToolRun as_directory = run_tool(other.path(), {"-s", "a", "--dbt-command", ""});
  EXPECT_EQ(as_directory.err, "error: --dbt-command resolved to an empty command\n");
}

TEST_F(RunTest, VelkYmlDbtArgsAreSplitOnlyWithoutTheFlag) {
  write_file(project_dir() / "velk.yml", "dbt-args: \"--target 'ci\"\n");
  const ToolRun refused = run_in_shop({});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "error: velk.yml dbt-args: missing closing quote\n");
  EXPECT_EQ(subcommands(), std::vector<std::string>{});

  const ToolRun flag_wins = run_in_shop({"--dbt-args", "--target ci"});
  EXPECT_EQ(flag_wins.status, 0) << describe(flag_wins);
  const auto calls = read_dbt_log(log());
  ASSERT_FALSE(calls.empty());
  const std::vector<std::string>& ls = calls.back().argv;
  ASSERT_GE(ls.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(ls.end() - 2, ls.end()),
            (std::vector<std::string>{"--target", "ci"}));
}

TEST_F(RunTest, PresenceDecidesPrecedence) {
  struct Case {
    const char* what;
    std::string velk_yml;
    std::vector<std::string> args;  // without --dbt-command unless given
    std::string error;
  };
  const Case cases[] = {
      {"a flag given empty wins over velk.yml", "dbt-command: " + dbt() + "\n",
       {"--dbt-command", ""}, "error: --dbt-command resolved to an empty command\n"},
      {"a velk.yml key present and empty wins over the default", "dbt-command: ''\n", {},
       "error: --dbt-command resolved to an empty command\n"},
      {"a velk.yml key that is null leaves the default", "dbt-command: ~\n", {},
       "error: could not run `dbt parse`: No such file or directory (os error 2)\n"},
  };
  for (const Case& c : cases) {
    write_file(project_dir() / "velk.yml", c.velk_yml);
    std::vector<std::string> args = {"-s", "orders"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = run_tool(project_dir(), args);
    EXPECT_EQ(run.status, 1) << c.what;
    EXPECT_EQ(run.err, c.error) << c.what;
  }
}

TEST_F(RunTest, NearerVelkYmlWinsKeyByKeyAndTheRootIsReadOnlyWhenTheWalkReachesIt) {
  // repo/.git, repo/velk.yml, repo/team/velk.yml, repo/team/shop (the project)
  const fs::path repo = dir_ / "repo";
  const fs::path shop = repo / "team" / "shop";
  write_shop(shop);
  fs::create_directories(repo / ".git");
  write_file(repo / "velk.yml",
             "dbt-command: " + dbt() + "\ndbt-plan:\n  max-window-expansion-days: 5\n");
  write_file(repo / "team" / "velk.yml", "dbt-plan:\n  max-window-expansion-days: 7\n");
  const std::vector<std::string> window = {"-s", "orders", "--event-time-start", "2024-03-01",
                                           "--event-time-end", "2024-03-01"};
  struct Case {
    const char* what;
    fs::path cwd;
    std::vector<std::string> args;
    std::optional<std::int64_t> max;  // none: the root's dbt-command is not read
  };
  const Case cases[] = {
      {"an absolute project directory walks up to the root", dir_.path(),
       {"--project-dir", shop.string()}, 7},
      {"a relative one walks up to the current directory", repo, {"--project-dir", "team/shop"},
       7},
      {"the default stays in the current directory", shop, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = window;
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = run_tool(c.cwd, args);
    if (!c.max) {
      // The manifest is fresh from the runs before, so dbt is first needed for ls.
      EXPECT_EQ(run.err, "error: could not run `dbt ls`: No such file or directory (os error 2)\n")
          << c.what;
      continue;
    }
    ASSERT_EQ(run.status, 0) << c.what << "\n" << describe(run);
    const auto metadata = document_at(shop / "target/velk/dbt_plan.json").at("metadata");
    EXPECT_EQ(metadata.at("max_window_expansion_days"), *c.max) << c.what;
    EXPECT_EQ(text(metadata.at("dbt_command")), dbt()) << c.what;
  }
}

TEST_F(RunTest, PathsGivenOnTheCommandLineAreRelativeToTheCurrentDirectory) {
  ASSERT_EQ(run_in_shop({}).status, 0);
  fs::copy_file(project_dir() / "target/manifest.json", dir_ / "copy.json");
  const ToolRun run = run_tool(dir_.path(), {"-s", "orders", "--dbt-command", dbt(),
                                             "--project-dir", "shop", "--manifest", "copy.json",
                                             "--event-time-start", "2024-01-01",
                                             "--event-time-end", "2024-01-02"});
  ASSERT_EQ(run.status, 0) << describe(run);
  const auto metadata = document_at(project_dir() / "target/velk/dbt_plan.json").at("metadata");
  EXPECT_EQ(metadata.at("manifest_path"), "copy.json");

  const ToolRun elsewhere = run_tool(dir_.path(), {"-s", "orders", "--dbt-command", dbt(),
                                                   "--project-dir", "shop", "-o", "out/plan.json",
                                                   "--event-time-start", "2024-01-01",
                                                   "--event-time-end", "2024-01-02"});
  ASSERT_EQ(elsewhere.status, 0) << describe(elsewhere);
  EXPECT_EQ(document_at(dir_ / "out/plan.json").at("metadata").at("manifest_path"),
            "shop/target/manifest.json");
}

TEST_F(RunTest, AZeroMaximumIsKeptAndWarnsForEveryModel) {
  write_file(project_dir() / "velk.yml", "dbt-plan:\n  max-window-expansion-days: 0\n");
  const ToolRun run = run_in_shop({});
  ASSERT_EQ(run.status, 0) << describe(run);
  EXPECT_EQ(document_at(project_dir() / "target/velk/dbt_plan.json")
                .at("metadata")
                .at("max_window_expansion_days"),
            0);
  EXPECT_EQ(run.err,
            "warning: orders: expanded window (1 days) exceeds max_window_expansion_days (0)\n"
            "warning: revenue: expanded window (3 days) exceeds max_window_expansion_days (0)\n"
            "warning: report: expanded window (4 days) exceeds max_window_expansion_days (0)\n" +
                kReportWarning);
}

TEST_F(RunTest, AFailedReportWriteKeepsThePlanDocumentAndPrintsNoWarnings) {
  write_file(project_dir() / "target/velk/dbt-plan", "a file where the directory goes");
  const ToolRun run = run_in_shop({"--pretty", "--html"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.out.starts_with("[layer 0] orders [2024-03-10 .. 2024-03-10]\n")) << run.out;
  EXPECT_EQ(run.out.find("wrote"), std::string::npos);
  EXPECT_TRUE(run.err.starts_with("error: could not create ./target/velk/dbt-plan: ")) << run.err;
  EXPECT_EQ(run.err.find("warning:"), std::string::npos);
  EXPECT_TRUE(fs::exists(project_dir() / "target/velk/dbt_plan.json"));
}

TEST_F(RunTest, AClosedStandardStreamEndsWithStatus101) {
  const ToolRun no_stdout = run_in_shop({"--pretty"}, ">&-");
  EXPECT_EQ(no_stdout.status, 101);
  EXPECT_EQ(no_stdout.err,
            "internal error: failed printing to stdout: Bad file descriptor (os error 9)\n");
  EXPECT_TRUE(fs::exists(project_dir() / "target/velk/dbt_plan.json"));

  const ToolRun no_stderr = run_in_shop({}, "2>&-");
  EXPECT_EQ(no_stderr.status, 101);  // the warning cannot be printed
  EXPECT_EQ(no_stderr.out, "");
}

TEST(RunStreams, ANonBlockingStandardOutputIsWaitedOnWhileFull) {
  // 20,000 models without parents: a tree of about a megabyte, far more
  // than a pipe holds, printed while the reader drains it.
  TempDir dir;
  write_file(dir / "dbt_project.yml", "name: 'wide'\n");
  std::string manifest = "{\"nodes\": {";
  std::string names;
  std::string tree;
  for (int i = 0; i < 20000; ++i) {
    const std::string number = std::to_string(i);
    std::string name = "m";
    name.append(5 - number.size(), '0');
    name += number;
    if (i > 0) manifest += ", ";
    manifest += "\"model.wide." + name + "\": {\"resource_type\": \"model\", \"name\": \"";
    manifest += name;
    manifest += "\"}";
    names += name;
    names += '\n';
    tree += "[layer 0] ";
    tree += name;
    tree += " [2024-03-10 .. 2024-03-10]\n";
  }
  write_file(dir / "target/manifest.json", manifest + "}}");
  write_file(dir / "names", names);
  ToolLaunch launch;
  launch.nonblocking_stdout = true;
  const ToolRun run = run_tool(dir.path(),
                               {"-s", "wide", "--dbt-command",
                                "sh -c 'cat \"$0\"' '" + (dir / "names").string() + "'",
                                "--event-time-start", "2024-03-10", "--event-time-end",
                                "2024-03-10", "--pretty"},
                               launch);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.size(), tree.size());
  EXPECT_TRUE(run.out == tree);
}

TEST_F(RunTest, TheStateBaselineWorktreeIsGoneAfterSuccessAndAfterAFailure) {
  GitRepo repo;
  write_shop(repo.root() / "shop");
  repo.commit_all("shop");
  repo.git({"checkout", "-q", "-b", "feature"});
  write_file(repo.root() / "shop/models/orders.sql",
             "{{ config(event_time='ordered_at', meta={'velk': {'lookback': 1}}) }}\n"
             "select 1 from {{ source('raw', 'orders') }}\n");
  repo.commit_all("change orders");
  const fs::path shop = repo.root() / "shop";
  const std::vector<std::string> base = {"-s", "state:modified+", "--dbt-command", dbt()};

  std::vector<std::string> ok = base;
  ok.insert(ok.end(), {"--event-time-start", "2024-03-10", "--event-time-end", "2024-03-10"});
  const ToolRun success = run_tool(shop, ok);
  ASSERT_EQ(success.status, 0) << describe(success);
  const auto models = document_at(shop / "target/velk/dbt_plan.json").at("models").as_array();
  ASSERT_EQ(models.size(), 3u);
  EXPECT_EQ(repo.worktrees().size(), 1u);

  std::vector<std::string> bad = base;
  bad.insert(bad.end(), {"--event-time-start", "2024-03-10"});
  const ToolRun failure = run_tool(shop, bad);
  EXPECT_EQ(failure.status, 1);
  EXPECT_EQ(failure.err,
            "error: --event-time-start and --event-time-end must be passed together, or not at "
            "all\n");
  EXPECT_EQ(repo.worktrees().size(), 1u);
}

}  // namespace
