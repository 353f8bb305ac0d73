// The real velk-dbt-plan binary of this build tree, run as a child process
// for the end-to-end tests: its exit status and both output streams.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct ToolRun {
  int status = -1;  // the exit code; -1 when the process did not exit
  int signal = 0;   // the signal that ended it, or 0
  std::string out;
  std::string err;
};

// How the binary is started, beyond its working directory and arguments.
struct ToolLaunch {
  // Shell text run before the binary is started ("ulimit -f 4;", say).
  std::string before = "";
  // Shell text appended to the command, for redirecting or closing a
  // standard stream (">&-").
  std::string redirect = "";
  // Environment variables set for the binary (and so for what it starts).
  std::vector<std::pair<std::string, std::string>> env = {};
  // Close every descriptor above 2 first (before `before` runs), so that
  // the binary starts with only the standard three and what `before` opens,
  // whatever the test runner left open.
  bool only_standard_descriptors = false;
  // Set O_NONBLOCK on the binary's standard output (and so on the pipe the
  // test reads), as some parents leave it.
  bool nonblocking_stdout = false;
  // For run_tool_signalled: standard output is a pipe that holds one page
  // and is not read, as a stalled pager's; its reader goes away (the pipe
  // is closed) half a second after the last signal was sent. What the pipe
  // held is the run's standard output.
  bool stalled_stdout = false;
};

std::filesystem::path tool_binary();

ToolRun run_tool(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                 const ToolLaunch& launch);

// Runs the binary in `cwd`; `redirect` is shell text appended to the command
// (for closing a standard stream).
ToolRun run_tool(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                 const std::string& redirect = "");

// A signal that a test sends to a running binary: once the file `when`
// exists and `after` has passed since, `signal` goes to the binary alone or
// to its whole process group.
struct SignalAt {
  std::filesystem::path when;
  int signal = 0;
  bool whole_group = false;
  std::chrono::milliseconds after{0};
};

// Runs the binary as run_tool does, but in a process group of its own (as a
// shell starts a job) with SIGINT, SIGTERM and SIGHUP at their default
// action, and sends it each signal in turn. Throws, after killing the group,
// when a file does not appear or the binary does not end within half a
// minute; a binary that ends before a signal is due gets no more signals.
ToolRun run_tool_signalled(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                           const ToolLaunch& launch, const std::vector<SignalAt>& signals);

// Runs the binary as run_tool_signalled does, but as the foreground job of
// a terminal (a pseudo-terminal, which is its standard input; its output
// streams go to files), so that what it starts shares its process group.
// Each signal comes from the terminal: SIGINT as Ctrl-C typed, SIGHUP as the
// terminal closing (the shell then sends SIGHUP to the whole job, as bash
// does); `whole_group` is not looked at.
ToolRun run_tool_on_terminal(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                             const ToolLaunch& launch, const std::vector<SignalAt>& signals);

// Runs the binary as run_tool_on_terminal does, but as a background job of
// the terminal. Once the file `reader` exists and the process whose id it
// holds has been stopped by the terminal (it read the terminal from the
// background), the job is brought to the foreground as a shell's fg does
// and `keys` are typed at the terminal. Throws when `reader` does not
// appear within half a minute while the binary runs, or when its process is
// not stopped within ten seconds.
ToolRun run_tool_brought_forward(const std::filesystem::path& cwd,
                                 const std::vector<std::string>& args, const ToolLaunch& launch,
                                 const std::filesystem::path& reader, std::string_view keys);

// The live processes (zombies left out) whose environment holds `entry`
// ("NAME=value"), each as its process id and command line; a test tags a
// run through an environment variable, which whatever the run starts
// inherits.
std::vector<std::string> live_processes_with(const std::string& entry);

// The status and both streams, for a failure message; long streams are cut
// to their first and last few hundred bytes.
std::string describe(const ToolRun& run);
