// Real git repositories in temporary directories.
#include "support/git_repo.h"

#include <stdexcept>

#include "process.h"
#include "utf8.h"

GitRepo::GitRepo() : root_(std::filesystem::canonical(dir_.path())) {
  git({"init", "--quiet", "--initial-branch=master"});
  git({"config", "user.name", "Velk Test"});
  git({"config", "user.email", "velk-test@example.invalid"});
  git({"config", "commit.gpgsign", "false"});
}

std::string GitRepo::git(const std::vector<std::string>& args) const {
  const auto output = run_process("git", args, root_);
  if (!output || !output->succeeded()) {
    std::string command = "git";
    for (const auto& arg : args) command += " " + arg;
    throw std::runtime_error(
        command + " failed: " + (output ? output->stderr_bytes : output.error().message()));
  }
  return trimmed_output_text(output->stdout_bytes);
}

std::string GitRepo::commit_all(std::string_view message) const {
  git({"add", "--all"});
  git({"commit", "--quiet", "--allow-empty", "-m", std::string(message)});
  return git({"rev-parse", "HEAD"});
}

std::vector<std::filesystem::path> GitRepo::worktrees() const {
  std::vector<std::filesystem::path> paths;
  const std::string listing = git({"worktree", "list", "--porcelain"});
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    const std::string_view line = std::string_view(listing).substr(start, end - start);
    if (line.starts_with("worktree ")) paths.emplace_back(line.substr(9));
    start = end + 1;
  }
  return paths;
}
