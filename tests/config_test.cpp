// velk.yml: the typed reading of one file, discovery up to the repository
// root, and the merge of the files found.
#include "config.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

std::string text_field(const std::optional<std::string>& value) {
  return value ? "\"" + *value + "\"" : std::string("-");
}

std::string int_field(const std::optional<std::int64_t>& value) {
  return value ? std::to_string(*value) : std::string("-");
}

// Every field of a VelkYml, so that a mismatch shows which one.
std::string fields(const VelkYml& yml) {
  std::string plan = "-";
  if (yml.dbt_plan) {
    plan = "{";
    plan += int_field(yml.dbt_plan->max_window_expansion_days);
    plan += "}";
  }
  return "against=" + text_field(yml.against) + " dbt-command=" + text_field(yml.dbt_command) +
         " dbt-args=" + text_field(yml.dbt_args) + " dbt-plan=" + plan;
}

std::string fields(const MergedConfig& config) {
  return "against=" + text_field(config.against) + " dbt-command=" +
         text_field(config.dbt_command) + " dbt-args=" + text_field(config.dbt_args) +
         " max=" + int_field(config.max_window_expansion_days);
}

VelkYml yml(std::optional<std::string> against, std::optional<std::string> dbt_command = {},
            std::optional<std::string> dbt_args = {}, std::optional<DbtPlanLayer> plan = {}) {
  return VelkYml{std::move(against), std::move(dbt_command), std::move(dbt_args), plan};
}

VelkYml with_plan(std::optional<std::int64_t> days) {
  return VelkYml{{}, {}, {}, DbtPlanLayer{days}};
}

struct ReadCase {
  std::string text;
  VelkYml expected;
};

TEST(VelkYmlReader, ReadsFieldsNullsAndScalars) {
  const ReadCase cases[] = {
      {"", {}},
      {"# only a comment\n", {}},
      {"---\n", {}},
      {"--- ~\n...\n", {}},
      {"null\n", {}},
      {"{}", {}},
      {"against: main\ndbt-command: uv run dbt\ndbt-args: --target ci\n"
       "dbt-plan:\n  max-window-expansion-days: 30\n",
       yml("main", "uv run dbt", "--target ci", DbtPlanLayer{30})},
      // Plain nulls leave a field absent.
      {"against:\n", {}},
      {"against: ~\n", {}},
      {"against: null\ndbt-command: Null\ndbt-args: NULL\n", {}},
      {"against: !!null\n", {}},
      {"against: !!null null\n", {}},
      // Quoted values are never null.
      {"against: ''\n", yml("")},
      {"against: \"null\"\ndbt-command: '~'\n", yml("null", "~")},
      // Any scalar is a text as written.
      {"dbt-command: 123\ndbt-args: true\nagainst: 1.50\n", yml("1.50", "123", "true")},
      {"against: 0x10\n", yml("0x10")},
      {"dbt-args: |\n  --target ci\n", yml({}, {}, "--target ci\n")},
      {"against: \"tab\\there\"\n", yml("tab\there")},
      {"'against': quoted key\n", yml("quoted key")},
      // Keys are case-sensitive; unknown keys are skipped whatever they hold
      // and may repeat.
      {"Against: x\nother: [1, {a: b}]\nother: 2\nagainst: y\n", yml("y")},
      {"dbt-plan:\n", {}},
      {"dbt-plan: ~\n", {}},
      {"dbt-plan: {}\n", with_plan({})},
      {"dbt-plan:\n  other: 1\n", with_plan({})},
      {"dbt-plan:\n  max-window-expansion-days:\n", with_plan({})},
      {"dbt-plan:\n  max-window-expansion-days: ~\n", with_plan({})},
      // Integers: signs, prefixes, and the limits of int64.
      {"dbt-plan: {max-window-expansion-days: 0}", with_plan(0)},
      {"dbt-plan: {max-window-expansion-days: -5}", with_plan(-5)},
      {"dbt-plan: {max-window-expansion-days: +7}", with_plan(7)},
      {"dbt-plan: {max-window-expansion-days: 007}", with_plan(7)},
      {"dbt-plan: {max-window-expansion-days: 0x1F}", with_plan(31)},
      {"dbt-plan: {max-window-expansion-days: 0o17}", with_plan(15)},
      {"dbt-plan: {max-window-expansion-days: 0b101}", with_plan(5)},
      {"dbt-plan: {max-window-expansion-days: -0x10}", with_plan(-16)},
      {"dbt-plan: {max-window-expansion-days: !!int 12}", with_plan(12)},
      {"dbt-plan: {max-window-expansion-days: 9223372036854775807}", with_plan(INT64_MAX)},
      {"dbt-plan: {max-window-expansion-days: -9223372036854775808}", with_plan(INT64_MIN)},
      {"dbt-plan: {max-window-expansion-days: 0x7fffffffffffffff}", with_plan(INT64_MAX)},
      // Aliases are followed.
      {"base: &b main\nagainst: *b\n", yml("main")},
      {"defaults: &d {max-window-expansion-days: 5}\ndbt-plan: *d\n", with_plan(5)},
      {"dbt-plan: &p {max-window-expansion-days: 3, self: *p}\n", with_plan(3)},
      {"&top {against: x, dbt-plan: *top}\n", VelkYml{"x", {}, {}, DbtPlanLayer{}}},
  };
  for (const ReadCase& c : cases) {
    const auto read = parse_velk_yml(c.text);
    ASSERT_TRUE(read.has_value()) << c.text << "\n" << read.error();
    EXPECT_EQ(fields(*read), fields(c.expected)) << c.text;
  }
}

struct ErrorCase {
  std::string text;
  std::string message;
};

TEST(VelkYmlReader, RefusesWrongTypesWithTheirPosition) {
  const std::string days = "dbt-plan.max-window-expansion-days: invalid type: ";
  const std::string int64 = ", expected a signed 64-bit integer at line 1 column 39";
  const ErrorCase cases[] = {
      {"- a\n- b\n", "invalid type: sequence, expected struct VelkYml at line 1 column 1"},
      {"hello\n", "invalid type: string \"hello\", expected struct VelkYml at line 1 column 1"},
      {"''\n", "invalid type: string \"\", expected struct VelkYml at line 1 column 1"},
      {"42\n", "invalid type: integer `42`, expected struct VelkYml at line 1 column 1"},
      {"against: main\ndbt-args:\n  - --target\n  - ci\n",
       "dbt-args: invalid type: sequence, expected a string at line 3 column 3"},
      {"against: {a: b}\n", "against: invalid type: map, expected a string at line 1 column 10"},
      {"dbt-plan: 5\n",
       "dbt-plan: invalid type: integer `5`, expected struct DbtPlanLayer at line 1 column 11"},
      {"dbt-plan: ''\n",
       "dbt-plan: invalid type: string \"\", expected struct DbtPlanLayer at line 1 column 11"},
      {"dbt-plan: [1]\n",
       "dbt-plan: invalid type: sequence, expected struct DbtPlanLayer at line 1 column 11"},
      {"dbt-plan: {max-window-expansion-days: '5'}", days + "string \"5\"" + int64},
      {"dbt-plan: {max-window-expansion-days: 1.5}", days + "floating point `1.5`" + int64},
      {"dbt-plan: {max-window-expansion-days: 1e3}", days + "floating point `1e3`" + int64},
      {"dbt-plan: {max-window-expansion-days: true}", days + "boolean `true`" + int64},
      {"dbt-plan: {max-window-expansion-days: 1_000}", days + "string \"1_000\"" + int64},
      {"dbt-plan: {max-window-expansion-days: 0x}", days + "string \"0x\"" + int64},
      {"dbt-plan: {max-window-expansion-days: [1]}", days + "sequence" + int64},
      {"dbt-plan: {max-window-expansion-days: 9223372036854775808}",
       "dbt-plan.max-window-expansion-days: invalid value: integer `9223372036854775808` does "
       "not fit a signed 64-bit integer at line 1 column 39"},
      {"dbt-plan: {max-window-expansion-days: -9223372036854775809}",
       "dbt-plan.max-window-expansion-days: invalid value: integer `-9223372036854775809` does "
       "not fit a signed 64-bit integer at line 1 column 39"},
      {"[a]: x\n", "invalid type: sequence, expected field identifier at line 1 column 1"},
      {"dbt-plan:\n  {a: b}: 1\n",
       "dbt-plan: invalid type: map, expected field identifier at line 2 column 3"},
      {"against: a\nagainst: b\n", "duplicate field `against` at line 2 column 1"},
      {"against: ~\ndbt-command: x\nagainst: b\n", "duplicate field `against` at line 3 column 1"},
      {"dbt-plan:\n  max-window-expansion-days: 1\n  max-window-expansion-days: 2\n",
       "dbt-plan: duplicate field `max-window-expansion-days` at line 3 column 3"},
      {"against: !!null main\n",
       "against: invalid value: \"main\" is tagged !!null but is not a null (empty, ~ or null) at "
       "line 1 column 10"},
      {"dbt-plan: {max-window-expansion-days: !!int ten}",
       "dbt-plan.max-window-expansion-days: invalid value: \"ten\" is tagged !!int but is not an "
       "integer at line 1 column 39"},
      {"a: b\n---\nc: d\n",
       "a second document was found at line 2 column 1, but velk.yml must hold only one"},
      {"a: b\n---\n",
       "a second document was found at line 2 column 1, but velk.yml must hold only one"},
      {"against: [unclosed\n",
       "did not find expected ',' or ']' at line 2 column 1, while parsing a flow sequence at "
       "line 1 column 10"},
      {"against: a\n  b: c\n", "mapping values are not allowed in this context at line 2 column 4"},
      {"against: *nowhere\n", "found undefined alias at line 1 column 10"},
      {"against: \"a\x01\"\n", "control characters are not allowed at line 1 column 12"},
  };
  for (const ErrorCase& c : cases) {
    const auto read = parse_velk_yml(c.text);
    ASSERT_FALSE(read.has_value()) << c.text;
    EXPECT_EQ(read.error(), c.message) << c.text;
  }
}

// "l3", "m7": the name of an anchor; with `sigil` '&' or '*' its anchor or
// alias.
std::string anchor_name(char prefix, int level, const char* sigil = "") {
  std::string name = sigil;
  name += prefix;
  name += std::to_string(level);
  return name;
}

// Ten levels of ten aliases each: 10^10 leaves if anything expanded them.
std::string alias_bomb() {
  std::string text = "l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level <= 10; ++level) {
    const std::string name = anchor_name('l', level);
    const std::string below = anchor_name('l', level - 1, "*");
    text += name + ": &" + name + " [" + below;
    for (int i = 1; i < 10; ++i) text += ", " + below;
    text += "]\n";
  }
  return text;
}

// The same with mappings, whose keys match no field of dbt-plan.
std::string mapping_alias_bomb() {
  std::string text = "m0: &m0 {a: lol, b: lol}\n";
  for (int level = 1; level <= 30; ++level) {
    const std::string name = anchor_name('m', level);
    const std::string below = anchor_name('m', level - 1, "*");
    text += name + ": &" + name + " {a: " + below + ", b: " + below + "}\n";
  }
  return text;
}

TEST(VelkYmlReader, AliasChainsAreNeverExpanded) {
  const auto skipped = parse_velk_yml(alias_bomb() + "lol: *l10\nagainst: main\n");
  ASSERT_TRUE(skipped.has_value()) << skipped.error();
  EXPECT_EQ(fields(*skipped), fields(yml("main")));

  const auto as_text = parse_velk_yml(alias_bomb() + "against: *l10\n");
  ASSERT_FALSE(as_text.has_value());
  EXPECT_EQ(as_text.error(), "against: invalid type: sequence, expected a string at line 11 column 6");

  const auto as_layer = parse_velk_yml(mapping_alias_bomb() + "dbt-plan: *m30\n");
  ASSERT_TRUE(as_layer.has_value()) << as_layer.error();
  EXPECT_EQ(fields(*as_layer), fields(with_plan({})));

  const auto as_days =
      parse_velk_yml(mapping_alias_bomb() + "dbt-plan: {max-window-expansion-days: *m30}\n");
  ASSERT_FALSE(as_days.has_value());
  EXPECT_EQ(as_days.error(),
            "dbt-plan.max-window-expansion-days: invalid type: map, expected a signed 64-bit "
            "integer at line 31 column 6");
}

TEST(VelkYmlReader, RefusesNestingBeyondTheLimitAtItsPosition) {
  const auto nested = [](int depth, char open, const char* inner, char close) {
    return "x: " + std::string(static_cast<std::size_t>(depth), open) + inner +
           std::string(static_cast<std::size_t>(depth), close) + "\nagainst: main\n";
  };
  // The document's own mapping is the first of the 128 levels.
  const auto deepest = parse_velk_yml(nested(127, '[', "", ']'));
  ASSERT_TRUE(deepest.has_value()) << deepest.error();
  EXPECT_EQ(fields(*deepest), fields(yml("main")));

  const ErrorCase cases[] = {
      {nested(128, '[', "", ']'), "recursion limit exceeded at line 1 column 131"},
      {nested(100000, '[', "", ']'), "recursion limit exceeded at line 1 column 131"},
      {nested(100000, '{', "a: 1", '}'), "recursion limit exceeded at line 1 column 131"},
      {"- " + nested(200, '[', "", ']'), "recursion limit exceeded at line 1 column 132"},
      {"a: b\n---\n" + nested(200, '[', "", ']'),
       "recursion limit exceeded at line 3 column 131"},
  };
  for (const ErrorCase& c : cases) {
    const auto read = parse_velk_yml(c.text);
    ASSERT_FALSE(read.has_value()) << c.text.substr(0, 40);
    EXPECT_EQ(read.error(), c.message) << c.text.substr(0, 40);
  }
}

bool git_above(const fs::path& directory) {
  for (fs::path d = directory; !d.empty(); d = d.parent_path()) {
    if (fs::exists(d / ".git")) return true;
    if (d == d.parent_path()) break;
  }
  return false;
}

MergedConfig load(const fs::path& project_dir) {
  auto config = load_velk_config(project_dir);
  if (!config) ADD_FAILURE() << describe_config_error(config.error());
  return config.value_or(MergedConfig{});
}

std::string load_error(const fs::path& project_dir) {
  const auto config = load_velk_config(project_dir);
  if (config) {
    ADD_FAILURE() << "loaded " << fields(*config);
    return {};
  }
  return describe_config_error(config.error());
}

MergedConfig merged(std::optional<std::string> against, std::optional<std::string> dbt_command,
                    std::optional<std::string> dbt_args, std::optional<std::int64_t> days) {
  return MergedConfig{days, std::move(dbt_command), std::move(dbt_args), std::move(against)};
}

// A repository root, a middle directory and a project directory, each with
// its own velk.yml.
class ConfigTree : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(project);
    write_file(root / "velk.yml",
               "against: root\ndbt-command: root-dbt\ndbt-args: --root\n"
               "dbt-plan:\n  max-window-expansion-days: 10\n");
    write_file(middle / "velk.yml", "against: middle\ndbt-args: --middle\n");
    write_file(project / "velk.yml", "dbt-command: project-dbt\n");
  }

  TempDir temp;
  fs::path root = temp / "repo";
  fs::path middle = root / "middle";
  fs::path project = middle / "project";
};

TEST_F(ConfigTree, ReadsFromTheRepositoryRootDownNearestWinning) {
  fs::create_directory(root / ".git");
  EXPECT_EQ(fields(load(project)), fields(merged("middle", "project-dbt", "--middle", 10)));
  EXPECT_EQ(fields(load(project / "")), fields(merged("middle", "project-dbt", "--middle", 10)));
  EXPECT_EQ(fields(load(project / ".")), fields(merged("middle", "project-dbt", "--middle", 10)));
}

TEST_F(ConfigTree, AGitFileMarksTheRootLikeADirectory) {
  write_file(root / ".git", "gitdir: /elsewhere/.git/worktrees/repo\n");
  EXPECT_EQ(fields(load(project)), fields(merged("middle", "project-dbt", "--middle", 10)));
}

TEST_F(ConfigTree, WithoutARepositoryOnlyTheProjectFileIsRead) {
  if (git_above(temp.path())) GTEST_SKIP() << "a .git lies above the temporary directory";
  EXPECT_EQ(fields(load(project)), fields(merged({}, "project-dbt", {}, {})));
}

TEST_F(ConfigTree, TheNearestGitEntryIsTheRoot) {
  fs::create_directory(root / ".git");
  fs::create_directory(middle / ".git");
  EXPECT_EQ(fields(load(project)), fields(merged("middle", "project-dbt", "--middle", {})));
  fs::create_directory(project / ".git");
  EXPECT_EQ(fields(load(project)), fields(merged({}, "project-dbt", {}, {})));
}

TEST_F(ConfigTree, TheDefaultProjectDirectoryNeverLooksAboveIt) {
  fs::create_directory(root / ".git");
  const CurrentDirectory inside(project);
  EXPECT_EQ(fields(load(".")), fields(merged({}, "project-dbt", {}, {})));
}

TEST_F(ConfigTree, ARelativeProjectDirectoryStopsAtTheCurrentDirectory) {
  fs::create_directory(root / ".git");
  {
    const CurrentDirectory at_root(root);
    EXPECT_EQ(fields(load("middle/project")),
              fields(merged("middle", "project-dbt", "--middle", 10)));
    EXPECT_EQ(fields(load("./middle/project/")),
              fields(merged("middle", "project-dbt", "--middle", 10)));
    // The current directory is reached as the empty path: its file is
    // "velk.yml".
    write_file(root / "velk.yml", "against: [\n");
    EXPECT_EQ(load_error("middle/project"),
              "velk.yml: did not find expected node content at line 2 column 1, while parsing a "
              "flow node at line 2 column 1");
  }
  {
    // From the middle directory the root lies above the current directory.
    const CurrentDirectory at_middle(middle);
    EXPECT_EQ(fields(load("project")), fields(merged({}, "project-dbt", {}, {})));
  }
}

TEST_F(ConfigTree, NullsAndEmptySectionsKeepFartherValues) {
  fs::create_directory(root / ".git");
  write_file(middle / "velk.yml", "dbt-plan:\n  unrelated: 1\nagainst: ~\n");
  write_file(project / "velk.yml", "dbt-plan:\nagainst:\ndbt-args: ''\n");
  EXPECT_EQ(fields(load(project)), fields(merged("root", "root-dbt", "", 10)));
}

TEST_F(ConfigTree, ZeroAndNegativeMaximaAreKept) {
  fs::create_directory(root / ".git");
  write_file(project / "velk.yml", "dbt-plan: {max-window-expansion-days: 0}\n");
  EXPECT_EQ(load(project).max_window_expansion_days, 0);
  write_file(project / "velk.yml", "dbt-plan: {max-window-expansion-days: -3}\n");
  EXPECT_EQ(load(project).max_window_expansion_days, -3);
}

TEST_F(ConfigTree, MissingEmptyAndDanglingFilesAreSkipped) {
  fs::create_directory(root / ".git");
  fs::remove(middle / "velk.yml");
  write_file(project / "velk.yml", "");
  EXPECT_EQ(fields(load(project)), fields(merged("root", "root-dbt", "--root", 10)));
  fs::remove(project / "velk.yml");
  fs::create_symlink(temp / "nowhere.yml", project / "velk.yml");
  EXPECT_EQ(fields(load(project)), fields(merged("root", "root-dbt", "--root", 10)));
}

TEST_F(ConfigTree, AnUnreadableFileStopsTheLoad) {
  fs::create_directory(root / ".git");
  fs::remove(middle / "velk.yml");
  fs::create_directory(middle / "velk.yml");
  EXPECT_EQ(load_error(project), (middle / "velk.yml").string() + ": Is a directory (os error 21)");

  fs::remove(middle / "velk.yml");
  write_file(middle / "velk.yml", "against: caf\xe9\n");
  EXPECT_EQ(load_error(project),
            (middle / "velk.yml").string() + ": stream did not contain valid UTF-8");
}

TEST_F(ConfigTree, TheFirstFileThatFailsToParseIsNamed) {
  fs::create_directory(root / ".git");
  write_file(root / "velk.yml", "- a\n");
  write_file(project / "velk.yml", "against: [\n");
  EXPECT_EQ(load_error(project), (root / "velk.yml").string() +
                                     ": invalid type: sequence, expected struct VelkYml at line 1 "
                                     "column 1");
}

TEST(ConfigError, DisplaysItsPathAndCause) {
  EXPECT_EQ(describe_config_error(ConfigError{ConfigError::Parse{"a/velk.yml", "bad at line 1"}}),
            "a/velk.yml: bad at line 1");
  EXPECT_EQ(describe_config_error(ConfigError{ConfigError::Read{"velk.yml", "denied"}}),
            "velk.yml: denied");
}

TEST(ConfigError, PathsThatAreNotUtf8AreShownLossily) {
  TempDir temp;
  const fs::path project = temp / "proj\xff";
  write_file(project / "velk.yml", "- a\n");
  const auto config = load_velk_config(project);
  ASSERT_FALSE(config.has_value());
  EXPECT_EQ(describe_config_error(config.error()),
            (temp / "proj").string() + "\xef\xbf\xbd/velk.yml: invalid type: sequence, expected "
                                       "struct VelkYml at line 1 column 1");
}

}  // namespace
