// Starting the real binary for the end-to-end tests.
#include "support/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>

#include "process.h"
#include "support/terminal.h"
#include "support/test_support.h"

extern char** environ;

namespace {

// Python prepares the descriptors and execs the next program in its place.
std::string descriptor_launcher(const ToolLaunch& launch) {
  std::string code = "import fcntl, os, sys\n";
  if (launch.only_standard_descriptors) code += "os.closerange(3, 1 << 20)\n";
  if (launch.nonblocking_stdout) {
    code += "fcntl.fcntl(1, fcntl.F_SETFL, fcntl.fcntl(1, fcntl.F_GETFL) | os.O_NONBLOCK)\n";
  }
  return code + "os.execv(sys.argv[1], sys.argv[1:])\n";
}

std::string shortened(const std::string& text) {
  constexpr std::size_t kKeep = 600;
  if (text.size() <= 2 * kKeep) return text;
  return text.substr(0, kKeep) + "\n[... " + std::to_string(text.size() - 2 * kKeep) +
         " bytes ...]\n" + text.substr(text.size() - kKeep);
}

struct Command {
  std::string program;
  std::vector<std::string> argv;  // without the program
};

// `[python3 -c LAUNCHER] /bin/sh -c 'BEFORE exec "$0" "$@" REDIRECT' env
// NAME=VALUE... BINARY ARGS...`: every value reaches its program as one
// argument, untouched by the shell; each exec keeps the process id.
Command tool_command(const std::vector<std::string>& args, const ToolLaunch& launch) {
  Command command{"/bin/sh", {}};
  if (launch.only_standard_descriptors || launch.nonblocking_stdout) {
    command.program = "python3";
    command.argv = {"-c", descriptor_launcher(launch), "/bin/sh"};
  }
  command.argv.insert(command.argv.end(), {"-c", launch.before + " exec \"$0\" \"$@\" " + launch.redirect,
                                           "/usr/bin/env"});
  for (const auto& [name, value] : launch.env) command.argv.push_back(name + "=" + value);
  command.argv.push_back(tool_binary().string());
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  return command;
}

ToolRun tool_run_from(int wait_status, std::string out, std::string err) {
  ToolRun run;
  if (WIFEXITED(wait_status)) run.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) run.signal = WTERMSIG(wait_status);
  run.out = std::move(out);
  run.err = std::move(err);
  return run;
}

std::vector<char*> argv_of(const Command& command) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(command.program.c_str()));
  for (const auto& arg : command.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Waits, at most until `deadline`, for `ready` to exist while `ended` says
// the binary still runs, or without `ready` for the binary to end; true once
// what it waits for came.
bool wait_for(const std::optional<std::filesystem::path>& ready,
              std::chrono::steady_clock::time_point deadline, const std::function<bool()>& ended) {
  for (;;) {
    if (ended()) return !ready;
    if (ready && std::filesystem::exists(*ready)) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The tool started in a process group of its own, its streams in files, or
// its standard output a stalled pipe.
class GroupLeader {
 public:
  GroupLeader(const std::filesystem::path& cwd, const Command& command, bool stalled_stdout) {
    std::vector<char*> argv = argv_of(command);
    int stalled[2] = {-1, -1};
    if (stalled_stdout) {
      if (::pipe2(stalled, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
      ::fcntl(stalled[1], F_SETPIPE_SZ, 4096);
      stalled_reader_ = stalled[0];
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (stalled_stdout) {
      posix_spawn_file_actions_adddup2(&actions, stalled[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, (streams_ / "out").c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, (streams_ / "err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigset_t none;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    const int rc = posix_spawnp(&pid_, command.program.c_str(), &actions, &attributes, argv.data(),
                                environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (stalled_stdout) ::close(stalled[1]);
    if (rc != 0) throw std::runtime_error("could not start " + command.program);
  }
  ~GroupLeader() {
    if (!status_) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stalled_reader_ >= 0) ::close(stalled_reader_);
  }
  GroupLeader(const GroupLeader&) = delete;
  GroupLeader& operator=(const GroupLeader&) = delete;

  // Waits, at most until `deadline`, for `ready` to exist (or, without
  // one, for the end); true once that came. Notes the end when it comes.
  bool wait_until(std::chrono::steady_clock::time_point deadline,
                  const std::optional<std::filesystem::path>& ready) {
    return wait_for(ready, deadline, [this] { return ended(); });
  }

  bool ended() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

  void send(int signal, bool whole_group) const { ::kill(whole_group ? -pid_ : pid_, signal); }

  bool stalled() const { return stalled_reader_ >= 0; }

  // Takes what the stalled pipe holds, then closes it.
  void reader_goes_away() {
    ::fcntl(stalled_reader_, F_SETFL, O_NONBLOCK);
    char buffer[4096];
    stalled_out_.emplace();
    for (ssize_t got; (got = ::read(stalled_reader_, buffer, sizeof buffer)) > 0;) {
      stalled_out_->append(buffer, static_cast<std::size_t>(got));
    }
    ::close(stalled_reader_);
    stalled_reader_ = -1;
  }

  ToolRun result() const {
    return tool_run_from(*status_, stalled_out_ ? *stalled_out_ : read_file(streams_ / "out"),
                         read_file(streams_ / "err"));
  }

 private:
  TempDir streams_;
  pid_t pid_ = 0;
  std::optional<int> status_;
  int stalled_reader_ = -1;
  std::optional<std::string> stalled_out_;
};

// The job of a terminal that runs the binary in `cwd`, its output streams
// in the files out and err of `streams`.
std::function<std::string()> tool_on_terminal(const std::filesystem::path& cwd,
                                              const Command& command,
                                              const std::filesystem::path& streams) {
  return [&cwd, &command, &streams]() -> std::string {
    const int out = ::open((streams / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = ::open((streams / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::dup2(out, 1);
    ::dup2(err, 2);
    ::close(out);
    ::close(err);
    std::vector<char*> argv = argv_of(command);
    ::execvp(command.program.c_str(), argv.data());
    ::_exit(127);
  };
}

}  // namespace

std::filesystem::path tool_binary() { return std::filesystem::path(VELK_BINARY_DIR) / "velk-dbt-plan"; }

ToolRun run_tool(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                 const ToolLaunch& launch) {
  const Command command = tool_command(args, launch);
  const auto output = run_process(command.program, command.argv, cwd);
  if (!output) {
    throw std::runtime_error("could not start " + command.program + ": " + output.error().message());
  }
  return tool_run_from(output->wait_status, output->stdout_bytes, output->stderr_bytes);
}

ToolRun run_tool_signalled(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                           const ToolLaunch& launch, const std::vector<SignalAt>& signals) {
  GroupLeader tool(cwd, tool_command(args, launch), launch.stalled_stdout);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (const SignalAt& at : signals) {
    if (!tool.wait_until(deadline, at.when)) {
      if (tool.ended()) break;
      throw std::runtime_error(at.when.string() + " did not appear within half a minute");
    }
    std::this_thread::sleep_for(at.after);
    tool.send(at.signal, at.whole_group);
  }
  if (tool.stalled()) {
    tool.wait_until(std::chrono::steady_clock::now() + std::chrono::milliseconds(500), std::nullopt);
    tool.reader_goes_away();
  }
  if (!tool.wait_until(deadline, std::nullopt)) {
    throw std::runtime_error("the binary did not end within half a minute of its start");
  }
  return tool.result();
}

ToolRun run_tool_on_terminal(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                             const ToolLaunch& launch, const std::vector<SignalAt>& signals) {
  const Command command = tool_command(args, launch);
  const TempDir streams;
  TerminalJob job(tool_on_terminal(cwd, command, streams.path()), true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (const SignalAt& at : signals) {
    if (!wait_for(at.when, deadline, [&job] { return job.ended(); })) {
      if (job.ended()) break;
      throw std::runtime_error(at.when.string() + " did not appear within half a minute");
    }
    std::this_thread::sleep_for(at.after);
    if (at.signal == SIGINT) {
      job.type("\x03");
    } else if (at.signal == SIGHUP) {
      job.hang_up();
    } else {
      throw std::runtime_error("a terminal sends SIGINT or SIGHUP only");
    }
  }
  const Forked ended = job.wait();  // the binary gets SIGALRM after half a minute
  return tool_run_from(ended.wait_status, read_file(streams / "out"), read_file(streams / "err"));
}

ToolRun run_tool_brought_forward(const std::filesystem::path& cwd,
                                 const std::vector<std::string>& args, const ToolLaunch& launch,
                                 const std::filesystem::path& reader, std::string_view keys) {
  const Command command = tool_command(args, launch);
  const TempDir streams;
  TerminalJob job(tool_on_terminal(cwd, command, streams.path()), false);
  if (job.wait_for_stopped_reader(reader)) {
    job.bring_to_foreground();
    job.type(keys);
  }
  const Forked ended = job.wait();  // the binary gets SIGALRM after half a minute
  return tool_run_from(ended.wait_status, read_file(streams / "out"), read_file(streams / "err"));
}

std::vector<std::string> live_processes_with(const std::string& entry) {
  std::vector<std::string> found;
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = process.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string environment;
    std::string stat;
    std::string command;
    try {
      environment = read_file(process.path() / "environ");
      stat = read_file(process.path() / "stat");
      command = read_file(process.path() / "cmdline");
    } catch (const std::runtime_error&) {
      continue;  // gone meanwhile, or not ours to read
    }
    const std::size_t after = stat.rfind(')');
    if (after == std::string::npos || after + 2 >= stat.size() || stat[after + 2] == 'Z') continue;
    // Every entry of the environment ends with a NUL.
    const std::string nul(1, '\0');
    if ((nul + environment).find(nul + entry + nul) == std::string::npos) continue;
    std::replace(command.begin(), command.end(), '\0', ' ');
    found.push_back(pid + " " + command);
  }
  return found;
}

ToolRun run_tool(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                 const std::string& redirect) {
  ToolLaunch launch;
  launch.redirect = redirect;
  return run_tool(cwd, args, launch);
}

std::string describe(const ToolRun& run) {
  std::string text = "status " + std::to_string(run.status);
  if (run.signal != 0) text += ", killed by signal " + std::to_string(run.signal);
  return text + "\nstdout:\n" + shortened(run.out) + "\nstderr:\n" + shortened(run.err);
}
