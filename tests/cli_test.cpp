// The command line: argument vectors to Cli, usage errors, help, version and
// the colour choice.
#include "cli.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

using Args = std::vector<std::string>;

constexpr CliColours kPlain{false, false};

tl::expected<Cli, CliExit> parse(const Args& args, CliColours colours = kPlain) {
  std::vector<const char*> argv{"velk-dbt-plan"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  return parse_cli(static_cast<int>(argv.size() - 1), argv.data(), colours);
}

std::string joined(const Args& args) {
  std::string text;
  for (const std::string& arg : args) text += "[" + arg + "]";
  return text;
}

// Every field of a Cli, so that a mismatch shows which one.
std::string fields(const Cli& cli) {
  const auto text = [](const std::optional<std::string>& value) {
    return value ? "\"" + *value + "\"" : std::string("-");
  };
  const auto path = [](const std::optional<std::filesystem::path>& value) {
    return value ? "<" + value->native() + ">" : std::string("-");
  };
  return "select=\"" + cli.select + "\" exclude=" + text(cli.exclude) +
         " start=" + text(cli.event_time_start) + " end=" + text(cli.event_time_end) +
         " project_dir=" + path(cli.project_dir) + " manifest=" + path(cli.manifest) +
         " output_file=" + path(cli.output_file) + " pretty=" + std::to_string(cli.pretty) +
         " html=" + std::to_string(cli.html) + " dbt_command=" + text(cli.dbt_command) +
         " dbt_args=" + text(cli.dbt_args) + " against=" + text(cli.against) +
         " state=" + path(cli.state) + " anchor=" + text(cli.anchor);
}

Cli with_select(std::string select) {
  Cli cli;
  cli.select = std::move(select);
  return cli;
}

template <class Change>
Cli selecting(std::string select, Change change) {
  Cli cli = with_select(std::move(select));
  change(cli);
  return cli;
}

struct ParseCase {
  Args args;
  Cli expected;
};

TEST(CommandLine, ReadsEachOptionInEveryForm) {
  const ParseCase cases[] = {
      {{"-s", "a"}, with_select("a")},
      {{"--select", "a b"}, with_select("a b")},
      {{"--select=tag:x+"}, with_select("tag:x+")},
      {{"-stag:x"}, with_select("tag:x")},
      {{"-s-x"}, with_select("-x")},
      {{"--select=-x"}, with_select("-x")},
      {{"--select=--pretty"}, with_select("--pretty")},
      {{"-s", "-"}, with_select("-")},
      {{"--select", ""}, with_select("")},
      {{"--select="}, with_select("")},
      {{"-s", "a", "--"}, with_select("a")},
      {{"-s", "a", "-o", "out.json"},
       selecting("a", [](Cli& c) { c.output_file = "out.json"; })},
      {{"-oout.json", "-s", "a"}, selecting("a", [](Cli& c) { c.output_file = "out.json"; })},
      {{"-s", "a", "--output-file=x=y"}, selecting("a", [](Cli& c) { c.output_file = "x=y"; })},
      {{"-s", "a", "--dbt-args", "--target"},
       selecting("a", [](Cli& c) { c.dbt_args = "--target"; })},
      {{"-s", "a", "--dbt-args", "--target ci"},
       selecting("a", [](Cli& c) { c.dbt_args = "--target ci"; })},
      {{"-s", "a", "--dbt-args=--target"},
       selecting("a", [](Cli& c) { c.dbt_args = "--target"; })},
      {{"--dbt-args", "-s", "-s", "a"}, selecting("a", [](Cli& c) { c.dbt_args = "-s"; })},
      {{"-s", "a", "--exclude=-x"}, selecting("a", [](Cli& c) { c.exclude = "-x"; })},
      {{"-s", "a", "--dbt-command", ""}, selecting("a", [](Cli& c) { c.dbt_command = ""; })},
      {{"-s", "a", "--anchor", "m"}, selecting("a", [](Cli& c) { c.anchor = "m"; })},
      {{"-s", "a", "--event-time-start", "2024-13-45"},
       selecting("a", [](Cli& c) { c.event_time_start = "2024-13-45"; })},
      {{"-s", "a", "--state", "prod", "--against", "main"}, selecting("a",
                                                                      [](Cli& c) {
                                                                        c.state = "prod";
                                                                        c.against = "main";
                                                                      })},
      {{"--html", "-s", "a", "--pretty"}, selecting("a",
                                                    [](Cli& c) {
                                                      c.pretty = true;
                                                      c.html = true;
                                                    })},
      // Paths keep their bytes, UTF-8 or not.
      {{"-s", "a", "--project-dir", "d\xff\xfe"},
       selecting("a", [](Cli& c) { c.project_dir = std::filesystem::path("d\xff\xfe"); })},
      {{"-s", "caf\xc3\xa9"}, with_select("caf\xc3\xa9")},
      // All fourteen, in the opposite order of the help.
      {{"--anchor", "m", "--state", "st", "--against", "main", "--dbt-args", "--target ci",
        "--dbt-command", "uv run dbt", "--html", "--pretty", "-o", "plan.json", "--manifest",
        "m.json", "--project-dir", "proj", "--event-time-end", "2024-01-31",
        "--event-time-start", "2024-01-01", "--exclude", "tag:slow", "-s", "+orders"},
       selecting("+orders",
                 [](Cli& c) {
                   c.exclude = "tag:slow";
                   c.event_time_start = "2024-01-01";
                   c.event_time_end = "2024-01-31";
                   c.project_dir = "proj";
                   c.manifest = "m.json";
                   c.output_file = "plan.json";
                   c.pretty = true;
                   c.html = true;
                   c.dbt_command = "uv run dbt";
                   c.dbt_args = "--target ci";
                   c.against = "main";
                   c.state = "st";
                   c.anchor = "m";
                 })},
  };
  for (const ParseCase& c : cases) {
    const auto cli = parse(c.args);
    ASSERT_TRUE(cli.has_value()) << joined(c.args) << "\n" << cli.error().text;
    EXPECT_EQ(fields(*cli), fields(c.expected)) << joined(c.args);
  }
}

constexpr const char* kUsageTail =
    "\nUsage: velk-dbt-plan [OPTIONS] --select <SELECT>\n\nFor more information, try '--help'.\n";

struct UsageErrorCase {
  Args args;
  std::string message;  // the text between "error: " and the usage line
};

TEST(CommandLine, RefusesUsageErrorsWithStatusTwo) {
  const std::string missing_select =
      "the following required argument was not provided: --select <SELECT>\n";
  const UsageErrorCase cases[] = {
      {{}, missing_select},
      {{"--pretty", "--exclude", "x"}, missing_select},
      {{"-s", "a", "--exclude", "-x"},
       "a value is required for '--exclude <EXCLUDE>' but none was supplied\n\n"
       "  tip: to pass '-x' as the value, use '--exclude=-x'\n"},
      {{"-s", "--pretty"},
       "a value is required for '--select <SELECT>' but none was supplied\n\n"
       "  tip: to pass '--pretty' as the value, use '--select=--pretty'\n"},
      {{"-s", "a", "--anchor"},
       "a value is required for '--anchor <ANCHOR>' but none was supplied\n"},
      {{"-s", "a", "-o"},
       "a value is required for '--output-file <OUTPUT_FILE>' but none was supplied\n"},
      {{"-s", "a", "--dbt-args", "--target", "ci"}, "unexpected argument 'ci' found\n"},
      {{"-s", "a", "stray"}, "unexpected argument 'stray' found\n"},
      {{"stray", "-s", "a"}, "unexpected argument 'stray' found\n"},
      {{"-s", "a", "-"}, "unexpected argument '-' found\n"},
      {{"-s", "a", ""}, "unexpected argument '' found\n"},
      {{"-s", "a", "--", "--pretty"}, "unexpected argument '--pretty' found\n"},
      {{"-s", "a", "-s", "b"}, "the argument '--select <SELECT>' cannot be used multiple times\n"},
      {{"-s", "a", "--select=b"},
       "the argument '--select <SELECT>' cannot be used multiple times\n"},
      {{"--pretty", "-s", "a", "--pretty"},
       "the argument '--pretty' cannot be used multiple times\n"},
      {{"-s", "a", "--pretty=true"},
       "unexpected value 'true' for '--pretty' found; no more were expected\n"},
      {{"-s", "a", "--html="}, "unexpected value '' for '--html' found; no more were expected\n"},
      {{"-s", "a", "--manifest", ""},
       "an empty value is not a valid path for '--manifest <MANIFEST>'\n\n"
       "  tip: give a non-empty path, or leave the option out\n"},
      {{"-s", "a", "--state="},
       "an empty value is not a valid path for '--state <STATE>'\n\n"
       "  tip: give a non-empty path, or leave the option out\n"},
      {{"-o", "", "-s", "a"},
       "an empty value is not a valid path for '--output-file <OUTPUT_FILE>'\n\n"
       "  tip: give a non-empty path, or leave the option out\n"},
      {{"-s", "\xff"},
       "invalid UTF-8 was detected in the value of '--select <SELECT>'\n\n"
       "  tip: only path options take values that are not UTF-8\n"},
      {{"-s", "a", "--anchor=m\xc3"},
       "invalid UTF-8 was detected in the value of '--anchor <ANCHOR>'\n\n"
       "  tip: only path options take values that are not UTF-8\n"},
      {{"--selct", "a"},
       "unexpected argument '--selct' found\n\n  tip: a similar argument exists: '--select'\n"},
      {{"--selec=a"},
       "unexpected argument '--selec' found\n\n  tip: a similar argument exists: '--select'\n"},
      {{"-s", "a", "--prety"},
       "unexpected argument '--prety' found\n\n  tip: a similar argument exists: '--pretty'\n"},
      {{"-s", "a", "--dbt-arg", "x"},
       "unexpected argument '--dbt-arg' found\n\n"
       "  tip: a similar argument exists: '--dbt-args'\n"},
      // Nothing similar enough: no misleading suggestion.
      {{"-s", "a", "--target", "ci"}, "unexpected argument '--target' found\n"},
      {{"-s", "a", "--Select"}, "unexpected argument '--Select' found\n\n"
                                "  tip: a similar argument exists: '--select'\n"},
      {{"-x", "-s", "a"}, "unexpected argument '-x' found\n"},
      {{"-S", "a"}, "unexpected argument '-S' found\n"},
      {{"--bogus\xff"}, "unexpected argument '--bogus\xef\xbf\xbd' found\n"},
      {{"-s", "a", "--=x"}, "unexpected argument '--=x' found\n"},
  };
  for (const UsageErrorCase& c : cases) {
    const auto cli = parse(c.args);
    ASSERT_FALSE(cli.has_value()) << joined(c.args);
    EXPECT_EQ(cli.error().text, "error: " + c.message + kUsageTail) << joined(c.args);
    EXPECT_TRUE(cli.error().to_stderr) << joined(c.args);
    EXPECT_EQ(cli.error().status, 2) << joined(c.args);
  }
}

TEST(CommandLine, ExtractionErrorsAreFormattedLikeUsageErrors) {
  for (const char* id : {"select", "pretty", "html"}) {
    const std::string message =
        std::string("the following required argument was not provided: ") + id;
    const CliExit exit = format_cli_error(CliError{message, std::nullopt}, false);
    EXPECT_EQ(exit.text, "error: " + message + "\n" + kUsageTail);
    EXPECT_TRUE(exit.to_stderr);
    EXPECT_EQ(exit.status, 2);
  }
}

const char* const kHelp = R"(velk-dbt-plan: a static microbatch cascading time-window planner for dbt. Never executes anything --
see the spec's §7 for why this is a permanent boundary, not a v1 scope cut

Usage: velk-dbt-plan [OPTIONS] --select <SELECT>

Options:
  -s, --select <SELECT>
          The dbt selector defining the target subgraph -- forwarded verbatim to `dbt ls --select`
          (dbt's own selector grammar; see `select`'s module doc comment for why this is a
          passthrough, not a reimplementation)

      --exclude <EXCLUDE>
          Forwarded verbatim to `dbt ls --exclude`, same as `--select`

      --event-time-start <EVENT_TIME_START>
          Explicit Anchor window start. Must be passed together with `--event-time-end`, or not at
          all (defaults every Entry Node to yesterday -- see §4)

      --event-time-end <EVENT_TIME_END>
          Explicit Anchor window end. Must be passed together with `--event-time-start`, or not at
          all

      --project-dir <PROJECT_DIR>
          The dbt project directory. Defaults to the current directory

      --manifest <MANIFEST>
          Path to the compiled manifest. Defaults to `<project-dir>/target/manifest.json`

  -o, --output-file <OUTPUT_FILE>
          Destination for the generated plan JSON. Defaults to
          `<project-dir>/target/velk/dbt_plan.json`

      --pretty
          Also renders an ASCII tree of the plan to the terminal, in addition to writing the JSON

      --html
          Also writes a self-contained, interactive HTML visual report to
          `<project-dir>/target/velk/dbt-plan/dbt_plan_<timestamp>.html` -- a directory distinct
          from wherever the JSON goes. Opt-in only, like `--pretty`: never generated unless this is
          passed, since most runs (typically CI, disposable) don't need it

      --dbt-command <DBT_COMMAND>
          Executable/prefix used for every internal `dbt` invocation this addon makes (`dbt parse`
          for manifest freshness, `dbt ls` for selection). Precedence: this flag, then `velk.yml`'s
          top-level `dbt-command` (shared with `velk-cli`'s own dbt-invocation config), then `"dbt"`

      --dbt-args <DBT_ARGS>
          Extra arguments (shell-word-style, e.g. `"--target ci"`) appended to every internal `dbt`
          invocation this addon makes. Precedence: this flag, then `velk.yml`'s top-level `dbt-args`
          (shared with `velk-cli`), then none. Its value may begin with a hyphen, since it usually
          starts with `--` itself (e.g. `--dbt-args --target` or `--dbt-args "--target ci"`), which
          would otherwise be taken for another option

      --against <AGAINST>
          The ref `state:`-method selectors are compared against, when `--state` isn't given
          explicitly. Precedence: this flag, then `velk.yml`'s top-level `against` (shared with
          `velk-cli`'s own git-native Baseline resolution), then `"master"`

      --state <STATE>
          An explicit, already-compiled manifest directory to pass as `dbt ls --state`, for a
          `state:`-method selector. Wins outright over `--against` if given -- no git involved at
          all. Mutually exclusive with `--against` only in the sense that this, if present, always
          takes priority; both may technically be passed, but `--against` is then simply unused

      --anchor <ANCHOR>
          Names the single model within `--select`'s resolved selection that the literal
          `--event-time-start`/`--event-time-end` window actually anchors on, instead of applying to
          every Entry Node (the default, no-`--anchor` behavior). Not inferred from `--select`'s
          `+`/graph-operator shape -- deliberately, so this never needs to parse any part of dbt's
          own selector grammar (see `select`'s module doc comment for the same principle already
          followed there). Must name a model actually present in `--select`'s resolved selection, or
          this fails with a clear error. When given, `--event-time-start`/`--event-time-end` become
          mandatory -- there is no yesterday-default on this path (see `plan`'s module doc comment
          for the full algorithm)

  -h, --help
          Print help

  -V, --version
          Print version
)";

struct ExitCase {
  Args args;
  std::string text;
};

TEST(CommandLine, HelpAndVersionGoToStandardOutputWithStatusZero) {
  const std::string version = "velk-dbt-plan 0.2.1\n";
  const ExitCase cases[] = {
      {{"--help"}, kHelp},
      {{"-h"}, kHelp},
      {{"-s", "a", "--pretty", "--help"}, kHelp},
      // Help stops the reading: what follows is not judged.
      {{"--help", "--bogus", "stray"}, kHelp},
      {{"-V"}, version},
      {{"--version"}, version},
      {{"--exclude", "x", "-V"}, version},
      // In a group of short options, the first of -h and -V counts.
      {{"-hV"}, kHelp},
      {{"-Vh"}, version},
      {{"-hs", "a"}, kHelp},
      {{"-s", "a", "-Vo", "plan.json"}, version},
  };
  for (const ExitCase& c : cases) {
    const auto cli = parse(c.args);
    ASSERT_FALSE(cli.has_value()) << joined(c.args);
    EXPECT_EQ(cli.error().text, c.text) << joined(c.args);
    EXPECT_FALSE(cli.error().to_stderr) << joined(c.args);
    EXPECT_EQ(cli.error().status, 0) << joined(c.args);
  }
}

TEST(CommandLine, AValueAttachedToAShortOptionIsNoRequestForHelp) {
  const auto cli = parse({"-sh"});
  ASSERT_TRUE(cli.has_value());
  EXPECT_EQ(cli->select, "h");
}

TEST(CommandLine, ErrorsBeforeHelpAreStillReported) {
  for (const Args& args : {Args{"--bogus", "--help"}, Args{"--help=yes"}, Args{"x", "-V"},
                           Args{"-s", "a", "-s", "b", "-h"}}) {
    const auto cli = parse(args);
    ASSERT_FALSE(cli.has_value()) << joined(args);
    EXPECT_EQ(cli.error().status, 2) << joined(args);
    EXPECT_TRUE(cli.error().text.starts_with("error: ")) << joined(args);
  }
}

TEST(CommandLine, ColoursFollowTheStreamTheTextGoesTo) {
  const Args help{"--help"};
  const Args error{"--selct", "a"};

  const auto plain_help = parse(help, CliColours{false, true});
  const auto plain_error = parse(error, CliColours{true, false});
  EXPECT_EQ(plain_help.error().text.find('\x1b'), std::string::npos);
  EXPECT_EQ(plain_error.error().text.find('\x1b'), std::string::npos);

  const std::string coloured_help = parse(help, CliColours{true, false}).error().text;
  EXPECT_NE(coloured_help.find("\x1b[1;4mUsage:\x1b[0m"), std::string::npos);
  EXPECT_NE(coloured_help.find("\x1b[1;4mOptions:\x1b[0m"), std::string::npos);
  EXPECT_NE(coloured_help.find("\x1b[1m-s, --select\x1b[0m <SELECT>"), std::string::npos);

  const std::string coloured_error = parse(error, CliColours{false, true}).error().text;
  EXPECT_TRUE(coloured_error.starts_with("\x1b[1;31merror:\x1b[0m unexpected argument"));
  EXPECT_NE(coloured_error.find("\x1b[32mtip:\x1b[0m"), std::string::npos);

  // The version line is never coloured.
  EXPECT_EQ(parse({"-V"}, CliColours{true, true}).error().text, "velk-dbt-plan 0.2.1\n");
}

struct ColourCase {
  std::map<std::string, std::string> env;
  bool terminal;
  bool colour;
};

TEST(CommandLine, ColourChoiceFollowsTerminalAndEnvironment) {
  const ColourCase cases[] = {
      {{}, true, true},
      {{}, false, false},
      {{{"TERM", "xterm-256color"}}, true, true},
      {{{"NO_COLOR", "1"}}, true, false},
      {{{"NO_COLOR", ""}}, true, true},
      {{{"NO_COLOR", "1"}, {"CLICOLOR_FORCE", "1"}}, true, false},
      {{{"CLICOLOR_FORCE", "1"}}, false, true},
      {{{"CLICOLOR_FORCE", ""}}, false, true},
      {{{"CLICOLOR_FORCE", "0"}}, false, false},
      {{{"CLICOLOR_FORCE", "0"}}, true, true},
      {{{"CLICOLOR", "0"}}, true, false},
      {{{"CLICOLOR", "1"}}, true, true},
      {{{"CLICOLOR", "1"}}, false, false},
      {{{"CLICOLOR", "0"}, {"CLICOLOR_FORCE", "1"}}, true, true},
      {{{"TERM", "dumb"}}, true, false},
      {{{"TERM", "dumb"}, {"CLICOLOR_FORCE", "1"}}, true, true},
      {{{"CI", "true"}}, true, false},
      {{{"CI", ""}}, true, false},
      {{{"CI", "true"}, {"CLICOLOR_FORCE", "1"}}, false, true},
  };
  for (const ColourCase& c : cases) {
    const EnvLookup env = [&](const char* name) -> const char* {
      const auto found = c.env.find(name);
      return found == c.env.end() ? nullptr : found->second.c_str();
    };
    std::string label;
    for (const auto& [name, value] : c.env) label += name + "=" + value + " ";
    label += c.terminal ? "(terminal)" : "(pipe)";
    const CliColours on_stdout = detect_cli_colours(env, c.terminal, false);
    const CliColours on_stderr = detect_cli_colours(env, false, c.terminal);
    EXPECT_EQ(on_stdout.stdout_colour, c.colour) << label;
    EXPECT_EQ(on_stderr.stderr_colour, c.colour) << label;
  }
}

}  // namespace
