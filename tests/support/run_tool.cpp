// Starting the real binary for the end-to-end tests.
#include "support/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <thread>

#include "process.h"
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

// The tool started in a process group of its own, its streams in files.
class GroupLeader {
 public:
  GroupLeader(const std::filesystem::path& cwd, const Command& command) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(command.program.c_str()));
    for (const auto& arg : command.argv) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (streams_ / "out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
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
    if (rc != 0) throw std::runtime_error("could not start " + command.program);
  }
  ~GroupLeader() {
    if (!status_) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  GroupLeader(const GroupLeader&) = delete;
  GroupLeader& operator=(const GroupLeader&) = delete;

  // Waits, at most until `deadline`, for `ready` to exist (or, without
  // one, for the end); true once that came. Notes the end when it comes.
  bool wait_until(std::chrono::steady_clock::time_point deadline,
                  const std::optional<std::filesystem::path>& ready) {
    for (;;) {
      if (ended()) return !ready;
      if (ready && std::filesystem::exists(*ready)) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  bool ended() {
    int status = 0;
    if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
    return status_.has_value();
  }

  void send(int signal, bool whole_group) const { ::kill(whole_group ? -pid_ : pid_, signal); }

  ToolRun result() const {
    return tool_run_from(*status_, read_file(streams_ / "out"), read_file(streams_ / "err"));
  }

 private:
  TempDir streams_;
  pid_t pid_ = 0;
  std::optional<int> status_;
};

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
  GroupLeader tool(cwd, tool_command(args, launch));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (const SignalAt& at : signals) {
    if (!tool.wait_until(deadline, at.when)) {
      if (tool.ended()) break;
      throw std::runtime_error(at.when.string() + " did not appear within half a minute");
    }
    tool.send(at.signal, at.whole_group);
  }
  if (!tool.wait_until(deadline, std::nullopt)) {
    throw std::runtime_error("the binary did not end within half a minute of its start");
  }
  return tool.result();
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
