// One whole run of velk-dbt-plan: the command line, the project check,
// velk.yml, every setting resolved by flag, then velk.yml, then built-in
// default, and each stage called once, in a fixed order.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "config.h"

// Where a run writes its lines; main hands over the process's standard
// output and standard error. A write that fails throws InternalError
// ("failed printing to stdout: ..."), which unwinds the run so that
// everything it holds is released.
class Console {
 public:
  virtual ~Console() = default;
  virtual void out(std::string_view text) = 0;
  virtual void err(std::string_view text) = 0;
};

// Returns the exit status: 0 success, 1 a reported error, 2 a usage error
// (0 after help or version).
int run(int argc, const char* const* argv, Console& console);

// The project directory's display text when it holds no dbt_project.yml
// (any entry counts, links followed), else none.
std::optional<std::string> missing_dbt_project(const std::filesystem::path& project_dir);

std::string default_against();
std::filesystem::path default_plan_path(const std::filesystem::path& project_dir);
