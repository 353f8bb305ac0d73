// The run driver: the stages in order, the precedence of settings, the
// conversion of every stage's error into one "error: {message}" line, and
// the end of a run stopped by a signal.
#include "run.h"

#include <sys/stat.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "cli.h"
#include "date.h"
#include "html.h"
#include "manifest.h"
#include "output.h"
#include "plan.h"
#include "refresh.h"
#include "select.h"
#include "shell_words.h"
#include "signals.h"
#include "state.h"
#include "utf8.h"

namespace {

constexpr std::int64_t kDefaultMaxWindowExpansionDays = 90;

using Failure = tl::unexpected<std::string>;

// A stop signal recorded since the run began ends it at the next boundary
// between stages (and the writer checks again before it moves a file into
// place); `run` then reports the signal in place of this failure.
bool stop_requested() { return received_stop_signal() != 0; }
Failure stopped() { return Failure("stopped by a signal"); }

// The dbt arguments: --dbt-args split into words, else velk.yml's dbt-args,
// else none. Decided by presence: a flag given empty wins over velk.yml.
tl::expected<std::vector<std::string>, std::string> resolve_dbt_args(const Cli& cli,
                                                                     const MergedConfig& config) {
  if (cli.dbt_args) {
    auto words = split_shell_words(*cli.dbt_args);
    if (!words) return Failure("--dbt-args: " + words.error());
    return std::move(*words);
  }
  if (config.dbt_args) {
    auto words = split_shell_words(*config.dbt_args);
    if (!words) return Failure("velk.yml dbt-args: " + words.error());
    return std::move(*words);
  }
  return std::vector<std::string>{};
}

// Both event-time dates, neither, or the failure of the first bad one. The
// window holds both days, so a start equal to the end is one day; an end
// before the start is refused, since a plan of backward windows rebuilds
// nothing. Windows derived from it by negative lookbacks or lookaheads may
// still end before they start.
tl::expected<std::optional<Window>, std::string> resolve_window(const Cli& cli) {
  if (!cli.event_time_start && !cli.event_time_end) return std::optional<Window>{};
  if (!cli.event_time_start || !cli.event_time_end) {
    return Failure("--event-time-start and --event-time-end must be passed together, or not at all");
  }
  const auto start = parse_date(*cli.event_time_start);
  if (!start) return Failure(describe_date_error(start.error()));
  const auto end = parse_date(*cli.event_time_end);
  if (!end) return Failure(describe_date_error(end.error()));
  if (*end < *start) {
    return Failure("--event-time-end " + format_date(*end) + " is before --event-time-start " +
                   format_date(*start) +
                   " -- the window runs from its start to its end, both days included");
  }
  return std::optional<Window>{Window{*start, *end}};
}

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return std::string_view(*text);
}

// Every stage once, in order. On failure everything built so far (the
// temporary worktree included) is released before the message comes back;
// on success the output lines are printed while the run still holds it.
tl::expected<void, std::string> run_stages(const Cli& cli, Console& console, RunValues& values) {
  if (cli.anchor && (!cli.event_time_start || !cli.event_time_end)) {
    return Failure(
        "--anchor requires --event-time-start and --event-time-end to both be passed explicitly "
        "-- there is no yesterday-default when --anchor is used");
  }

  const std::filesystem::path project_dir = cli.project_dir.value_or(".");
  if (const auto missing = missing_dbt_project(project_dir)) {
    return Failure(*missing +
                   " does not look like a dbt project -- no dbt_project.yml found there. "
                   "velk-dbt-plan only works inside a dbt project: run it from the project root, "
                   "or pass --project-dir pointing at one.");
  }

  auto config = load_velk_config(project_dir);
  if (!config) return Failure(describe_config_error(config.error()));

  const std::filesystem::path manifest_path =
      cli.manifest.value_or(project_dir / "target" / "manifest.json");
  const std::string dbt_command = cli.dbt_command.value_or(config->dbt_command.value_or("dbt"));
  auto dbt_args = resolve_dbt_args(cli, *config);
  if (!dbt_args) return Failure(std::move(dbt_args.error()));

  if (auto fresh = refresh_manifest(project_dir, manifest_path, dbt_command, *dbt_args); !fresh) {
    return Failure(std::move(fresh.error()));
  }
  if (stop_requested()) return stopped();

  auto loaded = load_manifest(manifest_path);
  if (!loaded) return Failure(describe_manifest_error(loaded.error()));
  const Manifest& manifest = values.manifest.emplace(std::move(*loaded));
  if (stop_requested()) return stopped();

  const std::string against = cli.against.value_or(config->against.value_or(default_against()));

  auto baseline = resolve_state_baseline(project_dir, cli.select, view_of(cli.exclude), cli.state,
                                         against, dbt_command, *dbt_args);
  if (!baseline) return Failure(describe_state_error(baseline.error()));
  if (stop_requested()) return stopped();
  std::optional<std::filesystem::path> baseline_dir;
  if (*baseline) baseline_dir = (*baseline)->dir;

  auto selected = select_models(project_dir, manifest, dbt_command, *dbt_args, cli.select,
                                view_of(cli.exclude), baseline_dir);
  if (!selected) return Failure(describe_select_error(selected.error()));
  const Selection& selection = values.selection.emplace(std::move(*selected));
  if (stop_requested()) return stopped();

  const auto window = resolve_window(cli);
  if (!window) return Failure(window.error());

  const std::int64_t max_window_expansion_days =
      config->max_window_expansion_days.value_or(kDefaultMaxWindowExpansionDays);

  auto planned = build_plan(manifest, selection, *window, max_window_expansion_days,
                            view_of(cli.anchor));
  if (!planned) return Failure(describe_plan_error(planned.error()));
  const Plan& plan = values.plan.emplace(std::move(*planned));
  if (stop_requested()) return stopped();

  const std::filesystem::path plan_path = cli.output_file.value_or(default_plan_path(project_dir));
  {
    const RunContext context{cli.select, display_path(manifest_path), dbt_command,
                             manifest.generated_at, max_window_expansion_days};
    const std::string document = build_plan_document(plan, context);
    if (auto written = write_atomically(plan_path, document); !written) {
      return Failure(std::move(written.error()));
    }
  }
  if (stop_requested()) return stopped();

  if (cli.pretty) {
    const std::string tree = render_tree(plan);
    if (!tree.empty()) console.out(tree);
  }
  if (cli.html) {
    if (stop_requested()) return stopped();
    const std::filesystem::path report_path = html_report_path(project_dir);
    const std::string page = render_html_report(plan);
    if (auto written = write_atomically(report_path, page); !written) {
      return Failure(std::move(written.error()));
    }
    console.out("wrote " + display_path(report_path) + "\n");
  }
  if (stop_requested()) return stopped();
  // The note and the warnings in one write: a large plan may warn about
  // tens of thousands of models.
  std::string lines;
  std::size_t size = 200;
  for (const PlanWarning& warning : plan.warnings) size += 12 + warning.model.size() + warning.message.size();
  lines.reserve(size);
  if (const auto note = plan.default_yesterday_note()) lines += *note + "\n";
  for (const PlanWarning& warning : plan.warnings) {
    lines += "warning: ";
    lines += warning.model;
    lines += ": ";
    lines += warning.message;
    lines += '\n';
  }
  if (!lines.empty()) console.err(lines);
  return {};
}

}  // namespace

std::optional<std::string> missing_dbt_project(const std::filesystem::path& project_dir) {
  struct stat status;
  if (::stat((project_dir / "dbt_project.yml").c_str(), &status) == 0) return std::nullopt;
  return display_path(project_dir);
}

std::string default_against() { return "master"; }

std::filesystem::path default_plan_path(const std::filesystem::path& project_dir) {
  return project_dir / "target" / "velk" / "dbt_plan.json";
}

int run(int argc, const char* const* argv, Console& console, RunValues& values) {
  auto cli = parse_cli(argc, argv, detect_cli_colours());
  if (!cli) {
    const CliExit& exit = cli.error();
    if (exit.to_stderr) {
      console.err(exit.text);
    } else {
      console.out(exit.text);
    }
    return exit.status;
  }
  const auto done = run_stages(*cli, console, values);
  // Everything the stages held is released by now, the worktree included.
  if (const int signal = received_stop_signal()) {
    console.err("error: interrupted by " + signal_name(signal) + "\n");
    return 128 + signal;
  }
  if (!done) {
    console.err("error: " + done.error() + "\n");
    return 1;
  }
  return 0;
}
