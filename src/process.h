// Child processes: start a program with its arguments (never through a
// shell), capture its standard output and standard error whole, and wait for
// it. One child at a time; the caller judges the outcome.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <tl/expected.hpp>

// What a finished child left behind.
struct ProcessOutput {
  int wait_status = 0;  // raw, as waitpid reports it
  std::string stdout_bytes;
  std::string stderr_bytes;

  // Only a wait status of zero is success: a non-zero exit code and death by
  // a signal are both failures.
  bool succeeded() const { return wait_status == 0; }
};

// Starts `program` with `args` and waits for it. A program name without a
// "/" is searched for on PATH; one with a "/" is used as a path (a relative
// one resolves against the child's working directory). `cwd` is the child's
// working directory; none keeps ours. The environment is inherited unchanged,
// standard input is /dev/null, and no descriptor of ours reaches the child.
//
// Fails, with the system error, only when the child cannot be started:
// program not found or not executable, working directory missing, no
// resources, or an argument holding a NUL byte (EINVAL: no C string can
// carry it, so nothing is started).
tl::expected<ProcessOutput, std::error_code> run_process(
    std::string_view program, const std::vector<std::string>& args,
    const std::optional<std::filesystem::path>& cwd);

// The captured streams of a run as a failure message shows them:
// "stdout:\n{stdout}\nstderr:\n{stderr}", each decoded with invalid UTF-8
// replaced, not trimmed.
std::string captured_streams_text(const ProcessOutput& output);
