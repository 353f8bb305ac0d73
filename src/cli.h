// The command line: the fourteen options, help, version and usage errors.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <tl/expected.hpp>

struct Cli {
  std::string select;
  std::optional<std::string> exclude;
  std::optional<std::string> event_time_start;
  std::optional<std::string> event_time_end;
  std::optional<std::filesystem::path> project_dir;
  std::optional<std::filesystem::path> manifest;
  std::optional<std::filesystem::path> output_file;
  bool pretty = false;
  bool html = false;
  std::optional<std::string> dbt_command;
  std::optional<std::string> dbt_args;
  std::optional<std::string> against;
  std::optional<std::filesystem::path> state;
  std::optional<std::string> anchor;
};

// Whether help (standard output) and usage errors (standard error) are
// coloured: only on a terminal, following NO_COLOR, CLICOLOR,
// CLICOLOR_FORCE, TERM=dumb and CI.
struct CliColours {
  bool stdout_colour = false;
  bool stderr_colour = false;
};

CliColours detect_cli_colours();

// How the command line ends the process instead of giving a Cli: help or
// version (standard output, status 0) or a usage error (standard error,
// status 2). main prints `text` exactly and exits with `status`.
struct CliExit {
  std::string text;
  bool to_stderr = false;
  int status = 0;
};

tl::expected<Cli, CliExit> parse_cli(int argc, const char* const* argv, CliColours colours);
