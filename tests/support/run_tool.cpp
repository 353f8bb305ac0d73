// Starting the real binary for the end-to-end tests.
#include "support/run_tool.h"

#include <sys/wait.h>

#include <stdexcept>

#include "process.h"

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

}  // namespace

std::filesystem::path tool_binary() { return std::filesystem::path(VELK_BINARY_DIR) / "velk-dbt-plan"; }

ToolRun run_tool(const std::filesystem::path& cwd, const std::vector<std::string>& args,
                 const ToolLaunch& launch) {
  // The command is `[python3 -c LAUNCHER] /bin/sh -c 'BEFORE exec "$0" "$@"
  // REDIRECT' env NAME=VALUE... BINARY ARGS...`: every value reaches its
  // program as one argument, untouched by the shell.
  std::vector<std::string> argv;
  std::string program = "/bin/sh";
  if (launch.only_standard_descriptors || launch.nonblocking_stdout) {
    program = "python3";
    argv = {"-c", descriptor_launcher(launch), "/bin/sh"};
  }
  argv.insert(argv.end(),
              {"-c", launch.before + " exec \"$0\" \"$@\" " + launch.redirect, "/usr/bin/env"});
  for (const auto& [name, value] : launch.env) argv.push_back(name + "=" + value);
  argv.push_back(tool_binary().string());
  argv.insert(argv.end(), args.begin(), args.end());
  const auto output = run_process(program, argv, cwd);
  if (!output) throw std::runtime_error("could not start " + program + ": " + output.error().message());
  ToolRun run;
  if (WIFEXITED(output->wait_status)) run.status = WEXITSTATUS(output->wait_status);
  if (WIFSIGNALED(output->wait_status)) run.signal = WTERMSIG(output->wait_status);
  run.out = output->stdout_bytes;
  run.err = output->stderr_bytes;
  return run;
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
