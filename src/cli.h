// The command line: the fourteen options, help, version and usage errors.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include <boost/program_options/options_description.hpp>
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

// The same choice for a given environment (a getenv-like lookup giving null
// for an unset variable) and whether each stream is a terminal.
using EnvLookup = std::function<const char*(const char*)>;
CliColours detect_cli_colours(const EnvLookup& env, bool stdout_is_terminal,
                              bool stderr_is_terminal);

// How the command line ends the process instead of giving a Cli: help or
// version (standard output, status 0) or a usage error (standard error,
// status 2). main prints `text` exactly and exits with `status`.
struct CliExit {
  std::string text;
  bool to_stderr = false;
  int status = 0;
};

// The command velk-dbt-plan as the option parser sees it: name, version,
// about text, and the options in help order (the fourteen fields of Cli in
// the group "Cli", then help and version). Built afresh for each use.
struct CliCommand {
  std::string name;
  std::string version;
  std::string about;
  boost::program_options::options_description options;
};

CliCommand cli_command();

// A usage error before it is laid out: the message that follows "error: ",
// and an optional tip shown under it.
struct CliError {
  std::string message;
  std::optional<std::string> tip;
};

// The usage error as printed: "error: ", the message and tip, the usage line
// and the pointer to --help, for standard error with status 2.
CliExit format_cli_error(const CliError& error, bool colour);

// The help that -h and --help print.
std::string cli_help(bool colour);

tl::expected<Cli, CliExit> parse_cli(int argc, const char* const* argv, CliColours colours);
