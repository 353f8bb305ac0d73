// Child processes: start a program with its arguments (never through a
// shell), capture its standard output and standard error whole, and wait for
// it. One child at a time; the caller judges the outcome. A stop signal
// (signals.h) ends the child and what it started, so that the run can
// unwind.
#pragma once

#include <chrono>
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

// How a child meets a stop signal of ours.
struct ChildOptions {
  // A shielded child starts in a process group of its own, out of reach of
  // the terminal's signals (a second Ctrl-C), and is waited for to its end
  // whatever signal comes: for clean-up that must complete. Any other child
  // is ended once a stop signal is recorded.
  bool shielded = false;
  // How long an ended child (with its process group, when it leads one) has
  // between the stop signal and SIGKILL.
  std::chrono::milliseconds kill_after = std::chrono::seconds(10);
};

// Starts `program` with `args` and waits for it. A program name without a
// "/" is searched for on PATH; one with a "/" is used as a path (a relative
// one resolves against the child's working directory). `cwd` is the child's
// working directory; none keeps ours. The environment is inherited unchanged,
// standard input is /dev/null, and no descriptor of ours reaches the child.
// It starts with an empty signal mask, and with SIGPIPE and the stop signals
// at their default action unless this process ignores them.
//
// Where the child runs: when this process has a controlling terminal (it is
// a job of a terminal's shell, in the foreground or in the background), the
// child shares our process group, as every member of a shell's job does, so
// that the terminal's Ctrl-C and the shell's fg, bg and Ctrl-Z reach it with
// us and it can read the terminal (a password prompt) once the job is in
// the foreground. Without a controlling terminal (CI, a container, a
// supervisor) it leads a process group of its own, and so does a shielded
// child always.
//
// Fails, with the system error, when the child cannot be started: program
// not found or not executable, working directory missing, no resources, or
// an argument holding a NUL byte (EINVAL: no C string can carry it, so
// nothing is started). Unless the child is shielded, it also fails with
// EINTR, whatever the child's status, when a stop signal was recorded
// before or while it ran. The child is then sent, once, the signal we got,
// to its whole group when it leads one (where SIGHUP becomes SIGTERM); its
// pipes are read meanwhile, and once it has exited the other members of its
// group are waited for too. Whatever of it still runs after `kill_after`
// gets SIGKILL. The child is always waited for before this returns; without
// a stop, what it started is not.
tl::expected<ProcessOutput, std::error_code> run_process(
    std::string_view program, const std::vector<std::string>& args,
    const std::optional<std::filesystem::path>& cwd, const ChildOptions& options = {});

// The captured streams of a run as a failure message shows them:
// "stdout:\n{stdout}\nstderr:\n{stderr}", each decoded with invalid UTF-8
// replaced, not trimmed.
std::string captured_streams_text(const ProcessOutput& output);
