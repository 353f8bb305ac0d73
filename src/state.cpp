// Running dbt and git, and the state-comparison baseline compiled in a
// temporary git worktree at the merge base of HEAD and the reference branch.
#include "state.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "os_error.h"
#include "quoted.h"
#include "shell_words.h"
#include "signals.h"
#include "utf8.h"

namespace {

namespace fs = std::filesystem;

bool exists_following_links(const fs::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

// The path unchanged when it cannot be made canonical.
fs::path canonical_or_same(const fs::path& path) {
  std::error_code error;
  fs::path canonical = fs::canonical(path, error);
  return error ? path : canonical;
}

}  // namespace

std::string display_git_error(const GitError& error) {
  struct Render {
    std::string operator()(const GitError::NotARepo& e) const {
      return e.dir + ": not inside a git repository (" + e.stderr_text + ")";
    }
    std::string operator()(const GitError::MergeBase& e) const {
      const std::string against = quoted_form(e.against);
      return "could not find a merge-base between HEAD and " + against + " in " + e.repo +
             " -- the histories may be unrelated, or " + against + " may not exist" + e.detail;
    }
    std::string operator()(const GitError::WorktreeAdd& e) const {
      return "could not create a git worktree for commit " + e.commit + " in " + e.repo + ": " +
             e.stderr_text;
    }
    std::string operator()(const GitError::NotRunnable& e) const {
      return "could not run git -- is it installed and on PATH? (" + e.cause + ")";
    }
  };
  return std::visit(Render{}, error.error);
}

std::string describe_state_error(const StateError& error) {
  if (const auto* git = std::get_if<StateError::Git>(&error.error)) {
    return display_git_error(git->error);
  }
  return "could not compile the state:-comparison baseline: " +
         std::get<StateError::Dbt>(error.error).message;
}

WorktreeGuard::WorktreeGuard(std::filesystem::path path, std::filesystem::path repo)
    : path_(std::move(path)), repo_(std::move(repo)) {}

WorktreeGuard::WorktreeGuard(WorktreeGuard&& other) noexcept
    : path_(std::move(other.path_)),
      repo_(std::move(other.repo_)),
      armed_(std::exchange(other.armed_, false)) {}

WorktreeGuard& WorktreeGuard::operator=(WorktreeGuard&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::move(other.path_);
    repo_ = std::move(other.repo_);
    armed_ = std::exchange(other.armed_, false);
  }
  return *this;
}

WorktreeGuard::~WorktreeGuard() { remove(); }

// Best effort and silent: whatever git does here, the run's outcome stands.
// Shielded, so that a run stopped by a signal still removes the worktree,
// even when the user presses Ctrl-C again meanwhile. A git stopped while it
// made the worktree may have left it locked ("initializing"), which the
// second --force removes, or unknown to git but still full of files, which
// only we can remove: the directory is ours, made under a fresh random name.
// What git could not remove is then unregistered by a prune, which passes
// over a locked worktree (one stopped before its .git file or its directory
// was made): any registration under our name is ours to unlock first.
void WorktreeGuard::remove() noexcept {
  if (!armed_) return;
  armed_ = false;
  try {
    const ChildOptions shielded{.shielded = true};
    const auto git = [&](std::vector<std::string> args) {
      args.insert(args.begin(), {"-C", repo_.native(), "worktree"});
      const auto output = run_process("git", args, std::nullopt, shielded);
      return output && output->succeeded();
    };
    const bool removed = git({"remove", "--force", "--force", path_.native()});
    std::error_code error;
    const bool left = fs::exists(fs::symlink_status(path_, error));
    if (removed && !left) return;
    if (left) fs::remove_all(path_, error);
    if (!removed) git({"unlock", path_.native()});
    git({"prune"});
  } catch (...) {
  }
}

bool uses_state_method(std::string_view selector) {
  return selector.find("state:") != std::string_view::npos;
}

tl::expected<ProcessOutput, std::error_code> run_dbt(const std::vector<std::string>& words,
                                                     std::string_view subcommand,
                                                     const std::vector<std::string>& dbt_args,
                                                     const std::filesystem::path& dir) {
  std::vector<std::string> args(words.begin() + 1, words.end());
  args.emplace_back(subcommand);
  args.insert(args.end(), dbt_args.begin(), dbt_args.end());
  return run_process(words.front(), args, dir);
}

tl::expected<void, std::string> run_dbt_subcommand(const std::filesystem::path& dir,
                                                   std::string_view dbt_command,
                                                   std::string_view subcommand,
                                                   const std::vector<std::string>& dbt_args) {
  auto words = split_shell_words(dbt_command);
  if (!words) return tl::make_unexpected("could not parse --dbt-command: " + words.error());
  if (words->empty()) {
    return tl::make_unexpected(std::string("--dbt-command resolved to an empty command"));
  }
  const std::string shown = std::string(dbt_command) + " " + std::string(subcommand);
  const auto output = run_dbt(*words, subcommand, dbt_args, dir);
  if (!output) {
    return tl::make_unexpected("could not run `" + shown + "`: " + os_error_text(output.error()));
  }
  if (!output->succeeded()) {
    return tl::make_unexpected("`" + shown + "` failed:\n" + captured_streams_text(*output));
  }
  return {};
}

tl::expected<ProcessOutput, GitError> run_git(const std::filesystem::path& cwd,
                                              const std::vector<std::string>& args) {
  auto output = run_process("git", args, cwd);
  if (!output)
    return tl::make_unexpected(GitError{GitError::NotRunnable{os_error_text(output.error())}});
  return std::move(*output);
}

tl::expected<std::string, GitError> git_toplevel(const std::filesystem::path& dir) {
  auto output = run_git(dir, {"rev-parse", "--show-toplevel"});
  if (!output) return tl::make_unexpected(output.error());
  if (!output->succeeded()) {
    return tl::make_unexpected(
        GitError{GitError::NotARepo{display_path(dir), trimmed_output_text(output->stderr_bytes)}});
  }
  return trimmed_output_text(output->stdout_bytes);
}

tl::expected<std::string, GitError> git_merge_base(const std::filesystem::path& repo,
                                                   std::string_view against) {
  auto output = run_git(repo, {"merge-base", "HEAD", std::string(against)});
  if (!output) return tl::make_unexpected(output.error());
  if (!output->succeeded()) {
    const std::string stderr_text = trimmed_output_text(output->stderr_bytes);
    return tl::make_unexpected(GitError{
        GitError::MergeBase{display_path(repo), std::string(against),
                            stderr_text.empty() ? std::string() : " (" + stderr_text + ")"}});
  }
  return trimmed_output_text(output->stdout_bytes);
}

tl::expected<WorktreeGuard, GitError> add_worktree(const std::filesystem::path& repo,
                                                   std::string_view commit) {
  // mkdtemp picks a fresh name (retrying taken ones); git wants to create
  // the directory itself, so only the name is kept.
  // A relative TMPDIR is made absolute here: git runs in the repository's
  // top and the dbt runs in the worktree, so a relative name would mean a
  // different place to each of them.
  std::error_code temp_error;
  fs::path temp_dir = fs::temp_directory_path(temp_error);
  if (!temp_error) temp_dir = fs::absolute(temp_dir, temp_error);
  if (temp_error) {
    return tl::make_unexpected(GitError{GitError::NotRunnable{os_error_text(temp_error)}});
  }
  std::string path = (temp_dir / "velk-dbt-plan-state-XXXXXX").native();
  if (::mkdtemp(path.data()) == nullptr) {
    return tl::make_unexpected(GitError{GitError::NotRunnable{os_error_text(errno)}});
  }
  if (::rmdir(path.c_str()) != 0) {
    return tl::make_unexpected(GitError{
        GitError::WorktreeAdd{display_path(repo), std::string(commit), os_error_text(errno)}});
  }

  // The path goes to git as its raw bytes, valid UTF-8 or not.
  auto output = run_git(repo, {"worktree", "add", "--detach", path, std::string(commit)});
  if (!output || !output->succeeded()) {
    // git may fail after it made the worktree (a post-checkout hook that
    // fails, say, as git-lfs's does where git-lfs is missing), or be stopped
    // by a signal while it checks out, which may leave the worktree
    // registered, its directory half full, or both: what is left under our
    // fresh name is removed again.
    if (received_stop_signal() != 0 || exists_following_links(path)) {
      const WorktreeGuard left_behind(path, repo);  // removes it right here
    }
    if (!output) return tl::make_unexpected(output.error());
    return tl::make_unexpected(GitError{GitError::WorktreeAdd{
        display_path(repo), std::string(commit), trimmed_output_text(output->stderr_bytes)}});
  }
  return WorktreeGuard(path, repo);
}

std::filesystem::path project_place(const std::filesystem::path& root,
                                    const std::filesystem::path& project) {
  auto at = project.begin();
  for (const auto& component : root) {
    if (component.empty()) continue;  // a trailing separator
    if (at == project.end() || *at != component) return ".";
    ++at;
  }
  fs::path place;
  for (; at != project.end(); ++at) {
    if (!at->empty()) place /= *at;
  }
  return place;
}

tl::expected<std::optional<StateBaseline>, StateError> resolve_state_baseline(
    const std::filesystem::path& project_dir, std::string_view select,
    std::optional<std::string_view> exclude, const std::optional<std::filesystem::path>& state_dir,
    std::string_view against, std::string_view dbt_command,
    const std::vector<std::string>& dbt_args) {
  if (state_dir) return StateBaseline{*state_dir, std::nullopt};
  const bool uses_state = uses_state_method(select) || (exclude && uses_state_method(*exclude));
  if (!uses_state) return std::nullopt;

  const auto toplevel = git_toplevel(project_dir);
  if (!toplevel) return tl::make_unexpected(StateError{StateError::Git{toplevel.error()}});
  const fs::path root = canonical_or_same(*toplevel);
  const fs::path place = project_place(root, canonical_or_same(project_dir));

  const auto commit = git_merge_base(root, against);
  if (!commit) return tl::make_unexpected(StateError{StateError::Git{commit.error()}});
  auto guard = add_worktree(root, *commit);
  if (!guard) return tl::make_unexpected(StateError{StateError::Git{guard.error()}});

  // On a dbt failure below, the guard is dropped on the way out, so the
  // worktree is gone before the caller sees the error.
  const fs::path worktree_project =
      place.empty() || place == "." ? guard->path() : guard->path() / place;
  if (exists_following_links(worktree_project / "packages.yml") ||
      exists_following_links(worktree_project / "dependencies.yml")) {
    auto deps = run_dbt_subcommand(worktree_project, dbt_command, "deps", dbt_args);
    if (!deps) return tl::make_unexpected(StateError{StateError::Dbt{std::move(deps.error())}});
  }
  auto parse = run_dbt_subcommand(worktree_project, dbt_command, "parse", dbt_args);
  if (!parse) return tl::make_unexpected(StateError{StateError::Dbt{std::move(parse.error())}});

  return StateBaseline{worktree_project / "target", std::move(*guard)};
}
