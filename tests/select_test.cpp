// Model selection: reading what `dbt ls` printed, the command line it gets,
// and the failures before, during and after the run.
#include "select.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "support/fake_dbt.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

Node model(std::string unique_id, std::string name) {
  Node node;
  node.unique_id = std::move(unique_id);
  node.name = std::move(name);
  return node;
}

Node source(std::string unique_id, std::string name) {
  Node node = model(std::move(unique_id), std::move(name));
  node.is_source = true;
  return node;
}

Manifest manifest_of(const std::vector<Node>& nodes) {
  Manifest manifest;
  for (const Node& node : nodes) manifest.nodes.insert_or_assign(node);
  return manifest;
}

// Models of the package "shop", by name.
Manifest shop_manifest(const std::vector<std::string>& names) {
  std::vector<Node> nodes;
  for (const auto& name : names) nodes.push_back(model("model.shop." + name, name));
  return manifest_of(nodes);
}

std::vector<std::string> sorted(const Selection& selection) {
  std::vector<std::string> ids(selection.begin(), selection.end());
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(Select, ReadsOneModelNamePerLine) {
  const Manifest manifest = manifest_of({
      model("model.shop.orders", "orders"),
      model("model.shop.customers", "customers"),
      source("source.shop.raw.events", "events"),
      model("model.shop.caf\xC3\xA9", "caf\xC3\xA9"),
  });
  struct Case {
    const char* what;
    std::string output;
    std::vector<std::string> ids;  // sorted
    std::optional<std::string> unknown;
  };
  const std::vector<std::string> both = {"model.shop.customers", "model.shop.orders"};
  const Case cases[] = {
      {"plain lines", "orders\ncustomers\n", both, {}},
      {"CRLF lines", "orders\r\ncustomers\r\n", both, {}},
      {"padded lines, last without a line feed", "  orders \t\n\tcustomers", both, {}},
      {"Unicode white space around a name", "\xC2\xA0orders\xE2\x80\x83\ncustomers\n", both, {}},
      {"blank lines between", "\n orders\n\r\n\t\ncustomers\n\n", both, {}},
      {"a repeat counts once", "orders\norders\n", {"model.shop.orders"}, {}},
      {"a name in UTF-8", "caf\xC3\xA9\n", {"model.shop.caf\xC3\xA9"}, {}},
      {"empty output", "", {}, {}},
      {"only blank lines", "\n \r\n\t\n", {}, {}},
      {"a source is not a model", "orders\nevents\n", {}, "events"},
      {"names are case-sensitive", "Orders\n", {}, "Orders"},
      {"a log line", "orders\n12:00:01  Running with dbt=1.8.0\n", {}, "12:00:01  Running with dbt=1.8.0"},
      {"a carriage return inside a line", "orders\rcustomers\n", {}, "orders\rcustomers"},
      {"invalid UTF-8 is replaced", "caf\xFF\n", {}, "caf\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    const auto selection = selection_from_ls_output(manifest, "dbt", c.output);
    if (c.unknown) {
      ASSERT_FALSE(selection.has_value()) << c.what;
      const auto* unknown = std::get_if<SelectError::UnknownModel>(&selection.error().error);
      ASSERT_NE(unknown, nullptr) << c.what;
      EXPECT_EQ(unknown->name, *c.unknown) << c.what;
      EXPECT_EQ(unknown->program, "dbt") << c.what;
    } else {
      ASSERT_TRUE(selection.has_value()) << c.what << ": " << describe_select_error(selection.error());
      EXPECT_EQ(sorted(*selection), c.ids) << c.what;
    }
  }
}

TEST(Select, RoomForTheSelectionIsBoundedByTheModelsNotByTheLines) {
  // dbt may print any number of blank or repeated lines; the set is sized
  // for the models there are (a line count of billions would otherwise end
  // the run in an allocation failure).
  const Manifest manifest = manifest_of({model("model.shop.orders", "orders")});
  std::string output(std::size_t(32) << 20, '\n');
  for (int i = 0; i < 100'000; ++i) output += "orders\n";
  const auto selection = selection_from_ls_output(manifest, "dbt", output);
  ASSERT_TRUE(selection.has_value());
  EXPECT_EQ(sorted(*selection), std::vector<std::string>{"model.shop.orders"});
  EXPECT_LE(selection->bucket_count(), 64u);
}

TEST(Select, ASharedNamePicksTheLowestUniqueIdWhateverTheTableOrder) {
  std::vector<Node> nodes = {
      model("model.zeta.dup", "dup"),     model("model.alpha.dup", "dup"),
      model("model.alpha_b.dup", "dup"),  model("model.Zed.dup", "dup"),
      model("model.alpha.other", "other"), source("model.Aaa.dup", "dup"),
  };
  std::sort(nodes.begin(), nodes.end(),
            [](const Node& a, const Node& b) { return a.unique_id < b.unique_id; });
  do {
    const auto selection = selection_from_ls_output(manifest_of(nodes), "dbt", "dup\n");
    ASSERT_TRUE(selection.has_value());
    // Byte order: upper case sorts before lower case; the source never counts.
    EXPECT_EQ(sorted(*selection), std::vector<std::string>{"model.Zed.dup"});
  } while (std::next_permutation(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) {
    return a.unique_id < b.unique_id;
  }));
}

TEST(Select, APrintedVersionNameSelectsThatVersion) {
  const auto manifest = load_manifest(versioned_models_manifest());
  ASSERT_TRUE(manifest.has_value()) << describe_manifest_error(manifest.error());
  struct Case {
    const char* what;
    std::string output;
    std::vector<std::string> ids;  // sorted
    std::optional<std::string> unknown;
  };
  const Case cases[] = {
      {"one version", "dim_customers.v2\n", {"model.shop.dim_customers.v2"}, {}},
      {"every version and a child, as dbt ls prints them",
       "customer_cohorts\ndim_customers.v1\ndim_customers.v2\ndim_customers.vbeta\n",
       {"model.shop.customer_cohorts", "model.shop.dim_customers.v1", "model.shop.dim_customers.v2",
        "model.shop.dim_customers.vbeta"},
       {}},
      {"the plain name is the unversioned model of another package", "dim_customers\n",
       {"model.crm.dim_customers"}, {}},
      {"a version the manifest lacks", "dim_customers.v2\ndim_customers.v3\n", {}, "dim_customers.v3"},
      {"a version of an unversioned model", "customer_cohorts.v1\n", {}, "customer_cohorts.v1"},
      {"the version without its name", "v2\n", {}, "v2"},
  };
  for (const auto& c : cases) {
    const auto selection = selection_from_ls_output(*manifest, "dbt", c.output);
    if (c.unknown) {
      ASSERT_FALSE(selection.has_value()) << c.what;
      const auto* unknown = std::get_if<SelectError::UnknownModel>(&selection.error().error);
      ASSERT_NE(unknown, nullptr) << c.what;
      EXPECT_EQ(unknown->name, *c.unknown) << c.what;
    } else {
      ASSERT_TRUE(selection.has_value()) << c.what << ": " << describe_select_error(selection.error());
      EXPECT_EQ(sorted(*selection), c.ids) << c.what;
    }
  }
}

TEST(Select, ASharedPrintedNamePicksTheLowestUniqueId) {
  // Two packages with the same versioned model, and an unversioned model
  // whose name happens to read like a version.
  const auto versioned = [](std::string id, std::string version) {
    Node node = model(std::move(id), "dim");
    node.versioned_name = versioned_name(node.name, version);
    return node;
  };
  std::vector<Node> nodes = {versioned("model.zeta.dim.v2", "2"), versioned("model.beta.dim.v2", "2"),
                             model("model.gamma.odd", "dim.v2"), versioned("model.alpha.dim.v1", "1")};
  for (int turn = 0; turn < 4; ++turn) {
    std::rotate(nodes.begin(), nodes.begin() + 1, nodes.end());
    const auto selection = selection_from_ls_output(manifest_of(nodes), "dbt", "dim.v2\ndim.v1\n");
    ASSERT_TRUE(selection.has_value());
    EXPECT_EQ(sorted(*selection), (std::vector<std::string>{"model.alpha.dim.v1", "model.beta.dim.v2"}));
  }
}

TEST(Select, DescribesEachError) {
  struct Case {
    SelectError error;
    std::string text;
  };
  const Case cases[] = {
      {{SelectError::SpawnFailed{"uv run dbt", "No such file or directory (os error 2)"}},
       "could not run `uv run dbt ls`: No such file or directory (os error 2)"},
      {{SelectError::Failed{"dbt", "out\n", ""}}, "`dbt ls` failed:\nstdout:\nout\n\nstderr:\n"},
      {{SelectError::UnknownModel{"dbt", "say \"hi\"\t"}},
       "`dbt ls` selected \"say \\\"hi\\\"\\t\", which isn't a model in the compiled manifest -- the "
       "manifest at --manifest is likely out of sync with the current project state; delete it and "
       "rerun (or point --manifest at a freshly compiled one)"},
  };
  for (const auto& c : cases) EXPECT_EQ(describe_select_error(c.error), c.text);
}

// A project the stand-in dbt can list, with the matching manifest.
struct ShopProject {
  TempDir dir;
  fs::path log = dir / "dbt.log";
  Manifest manifest = shop_manifest({"stg_orders", "stg_customers", "orders", "report"});

  ShopProject() {
    write_file(dir / "dbt_project.yml", "name: 'shop'\n");
    write_file(dir / "models/staging/stg_orders.sql",
               "{{ config(tags=['daily']) }}\nselect * from {{ source('raw', 'orders') }}\n");
    write_file(dir / "models/staging/stg_customers.sql", "select * from {{ source('raw', 'customers') }}\n");
    write_file(dir / "models/marts/orders.sql",
               "select * from {{ ref('stg_orders') }} join {{ ref('stg_customers') }}\n");
    write_file(dir / "models/marts/report.sql", "select * from {{ ref('orders') }}\n");
  }

  std::string command(std::vector<std::pair<std::string, std::string>> env = {}) const {
    env.emplace_back("FAKE_DBT_LOG", log.string());
    return fake_dbt_command(env);
  }

  tl::expected<Selection, SelectError> select(std::string_view select,
                                              std::optional<std::string_view> exclude = {},
                                              std::optional<fs::path> baseline = {},
                                              const std::vector<std::string>& dbt_args = {},
                                              std::string_view dbt_command = {}) const {
    const std::string own_command = command();
    return select_models(dir.path(), manifest, dbt_command.empty() ? own_command : dbt_command,
                         dbt_args, select, exclude, baseline);
  }
};

std::vector<std::string> shop_ids(const std::vector<std::string>& names) {
  std::vector<std::string> ids;
  for (const auto& name : names) ids.push_back("model.shop." + name);
  std::sort(ids.begin(), ids.end());
  return ids;
}

TEST(Select, HandsDbtTheExactCommandLine) {
  using Words = std::vector<std::string>;
  const Words fixed = {"ls", "--resource-type", "model", "--output", "name", "--quiet", "--select"};
  struct Case {
    const char* what;
    std::string select;
    std::optional<std::string> exclude;
    std::optional<fs::path> baseline;
    Words dbt_args;
    Words after_select;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"one word", "orders", {}, {}, {}, {"orders"}, {"orders"}},
      {"several words and quotes", "report 'stg_orders' \"tag:daily\"", {}, {}, {},
       {"report", "stg_orders", "tag:daily"}, {"report", "stg_orders"}},
      {"everything", "+orders", "stg_customers", fs::path("rel dir/base"), {"--target", "ci run"},
       {"+orders", "--exclude", "stg_customers", "--state", "rel dir/base", "--target", "ci run"},
       {"orders", "stg_orders"}},
      {"texts without words leave their options bare", " ", "# nothing", {}, {},
       {"--exclude"}, {}},
  };
  for (const auto& c : cases) {
    ShopProject project;
    // A relative baseline reaches dbt unchanged; dbt reads it against the
    // project directory, its working directory.
    if (c.baseline) write_file(project.dir / *c.baseline / "manifest.json", "{\"nodes\": {}}");
    const std::optional<std::string_view> exclude =
        c.exclude ? std::optional<std::string_view>(*c.exclude) : std::nullopt;
    const auto selection = project.select(c.select, exclude, c.baseline, c.dbt_args);
    ASSERT_TRUE(selection.has_value()) << c.what << ": " << describe_select_error(selection.error());
    EXPECT_EQ(sorted(*selection), shop_ids(c.names)) << c.what;
    const auto calls = read_dbt_log(project.log);
    ASSERT_EQ(calls.size(), 1u) << c.what;
    Words expected = fixed;
    expected.insert(expected.end(), c.after_select.begin(), c.after_select.end());
    EXPECT_EQ(calls[0].argv, expected) << c.what;
    EXPECT_EQ(calls[0].cwd, fs::canonical(project.dir.path()).string()) << c.what;
  }
}

TEST(Select, PlacesTheCommandsOwnWordsBeforeTheSubcommand) {
  ShopProject project;
  const std::string command = project.command() + " --no-use-colors";
  const auto selection = project.select("report", std::nullopt, std::nullopt, {"--target", "ci"}, command);
  ASSERT_TRUE(selection.has_value()) << describe_select_error(selection.error());
  const auto calls = read_dbt_log(project.log);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv.front(), "--no-use-colors");
  EXPECT_EQ(calls[0].argv[1], "ls");
  EXPECT_EQ(calls[0].argv.back(), "ci");
}

TEST(Select, RefusesUnusableTextsBeforeStartingDbt) {
  ShopProject project;
  const std::string dbt = project.command();
  struct Case {
    std::string dbt_command;
    std::string select;
    std::optional<std::string> exclude;
    std::string message;
  };
  const Case cases[] = {
      {"'dbt", "orders", {}, "could not run `'dbt ls`: missing closing quote"},
      {"  # no words", "orders", {}, "could not run `  # no words ls`: --dbt-command resolved to an empty command"},
      {dbt, "orders 'open", {}, "could not run `" + dbt + " ls`: could not parse --select \"orders 'open\": missing closing quote"},
      {dbt, "orders", "stg_orders \"tag:x", "could not run `" + dbt + " ls`: could not parse --exclude \"stg_orders \\\"tag:x\": missing closing quote"},
  };
  for (const auto& c : cases) {
    const std::optional<std::string_view> exclude =
        c.exclude ? std::optional<std::string_view>(*c.exclude) : std::nullopt;
    const auto selection = project.select(c.select, exclude, {}, {}, c.dbt_command);
    ASSERT_FALSE(selection.has_value()) << c.message;
    EXPECT_TRUE(std::holds_alternative<SelectError::SpawnFailed>(selection.error().error));
    EXPECT_EQ(describe_select_error(selection.error()), c.message);
  }
  EXPECT_TRUE(read_dbt_log(project.log).empty()) << "dbt must not have been started";
}

TEST(Select, ReportsAStartFailureAndAFailedRun) {
  ShopProject project;
  const auto missing = project.select("orders", {}, {}, {}, "velk-no-such-dbt --flag");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(describe_select_error(missing.error()),
            "could not run `velk-no-such-dbt --flag ls`: No such file or directory (os error 2)");

  const std::string failing = project.command({{"FAKE_DBT_FAIL", "ls"}});
  const auto failed = project.select("orders", {}, {}, {}, failing);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(describe_select_error(failed.error()),
            "`" + failing + " ls` failed:\nstdout:\nfake-dbt ls stdout\n\nstderr:\nfake-dbt ls stderr\n");
}

TEST(Select, NamesAnExtraPrintedLineAndIgnoresWarningsOnSuccess) {
  ShopProject project;
  const std::string extra = project.command({{"FAKE_DBT_LS_EXTRA", "  Found 4 models \r"}});
  const auto unknown = project.select("orders", {}, {}, {}, extra);
  ASSERT_FALSE(unknown.has_value());
  const auto* error = std::get_if<SelectError::UnknownModel>(&unknown.error().error);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->name, "Found 4 models");
  EXPECT_EQ(error->program, extra);

  const std::string warning = project.command({{"FAKE_DBT_WARN", "Warning: deprecated config"}});
  const auto selection = project.select("orders", {}, {}, {}, warning);
  ASSERT_TRUE(selection.has_value()) << describe_select_error(selection.error());
  EXPECT_EQ(sorted(*selection), shop_ids({"orders"}));
}

// The stand-in's selector forms that the other tests and the demo rely on.
TEST(Select, StandInResolvesTheCommonSelectorForms) {
  struct Case {
    const char* select;
    std::optional<std::string> exclude;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"+orders", {}, {"orders", "stg_customers", "stg_orders"}},
      {"orders+", {}, {"orders", "report"}},
      {"1+report", {}, {"orders", "report"}},
      {"stg_orders+1", {}, {"orders", "stg_orders"}},
      {"tag:daily", {}, {"stg_orders"}},
      {"path:models/marts", {}, {"orders", "report"}},
      {"+report,tag:daily", {}, {"stg_orders"}},
      {"+orders", "stg_customers", {"orders", "stg_orders"}},
      {"nothing_named_so", {}, {}},
  };
  for (const auto& c : cases) {
    ShopProject project;
    const std::optional<std::string_view> exclude =
        c.exclude ? std::optional<std::string_view>(*c.exclude) : std::nullopt;
    const auto selection = project.select(c.select, exclude);
    ASSERT_TRUE(selection.has_value()) << c.select << ": " << describe_select_error(selection.error());
    EXPECT_EQ(sorted(*selection), shop_ids(c.names)) << c.select;
  }
}

}  // namespace
