// One whole run of velk-dbt-plan: the command line, the project check,
// velk.yml, every setting resolved by flag, then velk.yml, then built-in
// default, and each stage called once, in a fixed order.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "config.h"
#include "manifest.h"
#include "plan.h"
#include "selection.h"

// Where a run writes its lines; main hands over the process's standard
// output and standard error. A write that fails throws InternalError
// ("failed printing to stdout: ..."), which unwinds the run so that
// everything it holds is released. Once a stop signal has been recorded a
// write no longer waits for a stream that is full, and one cut short or
// failed then returns quietly: the run unwinds at its next check for the
// stop and reports that instead.
class Console {
 public:
  virtual ~Console() = default;
  virtual void out(std::string_view text) = 0;
  virtual void err(std::string_view text) = 0;
};

// The large values of a run: the node table, the selection and the plan.
// The caller may keep them until the process ends and let the system
// reclaim their memory at once, which is far cheaper than freeing their
// hundreds of thousands of pieces one by one.
struct RunValues {
  std::optional<Manifest> manifest;
  std::optional<Selection> selection;
  std::optional<Plan> plan;
};

// Returns the exit status: 0 success, 1 a reported error, 2 a usage error
// (0 after help or version), 128 + N when the stop signal N came during the
// run (reported as "error: interrupted by {signal}"; main then ends the
// process by that signal). Everything else the run holds, a temporary git
// worktree included, is released before it returns.
int run(int argc, const char* const* argv, Console& console, RunValues& values);

// The project directory's display text when it holds no dbt_project.yml
// (any entry counts, links followed), else none.
std::optional<std::string> missing_dbt_project(const std::filesystem::path& project_dir);

std::string default_against();
std::filesystem::path default_plan_path(const std::filesystem::path& project_dir);
