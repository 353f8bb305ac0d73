// Running dbt and git, and the state-comparison baseline: a manifest
// compiled in a temporary git worktree at the merge base of HEAD and the
// reference branch, for dbt's `state:` selector method.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "process.h"

struct GitError {
  struct NotARepo {
    std::string dir;
    std::string stderr_text;
  };
  struct MergeBase {
    std::string repo;
    std::string against;
    std::string detail;  // " ({stderr})", or empty
  };
  struct WorktreeAdd {
    std::string repo;
    std::string commit;
    std::string stderr_text;
  };
  struct NotRunnable {
    std::string cause;
  };
  std::variant<NotARepo, MergeBase, WorktreeAdd, NotRunnable> error;
};

std::string display_git_error(const GitError& error);

// Owns one temporary git worktree and removes it exactly once, when
// destroyed, whatever state git left it in: `git worktree remove --force
// --force` (a locked worktree too); then, should that fail or its directory
// still exist, the directory itself, and `git worktree unlock` and `git
// worktree prune` for its registration.
// Silent, and complete however many stop signals come. Movable, not
// copyable.
class WorktreeGuard {
 public:
  WorktreeGuard(std::filesystem::path path, std::filesystem::path repo);
  WorktreeGuard(WorktreeGuard&& other) noexcept;
  WorktreeGuard& operator=(WorktreeGuard&& other) noexcept;
  WorktreeGuard(const WorktreeGuard&) = delete;
  WorktreeGuard& operator=(const WorktreeGuard&) = delete;
  ~WorktreeGuard();

  const std::filesystem::path& path() const { return path_; }
  const std::filesystem::path& repo() const { return repo_; }

 private:
  void remove() noexcept;

  std::filesystem::path path_;
  std::filesystem::path repo_;
  bool armed_ = true;
};

struct StateBaseline {
  std::filesystem::path dir;  // passed to dbt ls after --state
  std::optional<WorktreeGuard> worktree;
};

struct StateError {
  struct Git {
    GitError error;
  };
  struct Dbt {
    std::string message;  // from run_dbt_subcommand
  };
  std::variant<Git, Dbt> error;
};

std::string describe_state_error(const StateError& error);

// Whether a selector text uses dbt's state: method.
bool uses_state_method(std::string_view selector);

tl::expected<std::optional<StateBaseline>, StateError> resolve_state_baseline(
    const std::filesystem::path& project_dir, std::string_view select,
    std::optional<std::string_view> exclude, const std::optional<std::filesystem::path>& state_dir,
    std::string_view against, std::string_view dbt_command,
    const std::vector<std::string>& dbt_args);

// Runs dbt in `dir`: the first of the dbt command's words as the program,
// then the other words, the subcommand and the dbt args.
tl::expected<ProcessOutput, std::error_code> run_dbt(const std::vector<std::string>& words,
                                                     std::string_view subcommand,
                                                     const std::vector<std::string>& dbt_args,
                                                     const std::filesystem::path& dir);

// Runs one dbt subcommand in `dir`; the output is dropped on success.
tl::expected<void, std::string> run_dbt_subcommand(const std::filesystem::path& dir,
                                                   std::string_view dbt_command,
                                                   std::string_view subcommand,
                                                   const std::vector<std::string>& dbt_args);

// Runs git (found on PATH) with `args` in `cwd` and hands back what it left,
// whatever its status; fails only when git cannot be started.
tl::expected<ProcessOutput, GitError> run_git(const std::filesystem::path& cwd,
                                              const std::vector<std::string>& args);

// The project's place inside the repository: `project` with `root` removed
// from its front, component by component (both canonical). Empty for the
// repository's top; "." when `root` does not lead `project`.
std::filesystem::path project_place(const std::filesystem::path& root,
                                    const std::filesystem::path& project);

tl::expected<std::string, GitError> git_toplevel(const std::filesystem::path& dir);
tl::expected<std::string, GitError> git_merge_base(const std::filesystem::path& repo,
                                                   std::string_view against);
tl::expected<WorktreeGuard, GitError> add_worktree(const std::filesystem::path& repo,
                                                   std::string_view commit);
