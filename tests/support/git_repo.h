// Real git repositories in temporary directories, for the tests of the git
// steps: made with `git init`, committed to with a local identity.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "support/test_support.h"

class GitRepo {
 public:
  // An empty repository on the branch "master".
  GitRepo();

  // The repository's top, canonical.
  const std::filesystem::path& root() const { return root_; }

  // Runs git in the repository's top; throws unless it succeeds. Returns the
  // trimmed standard output.
  std::string git(const std::vector<std::string>& args) const;

  // Stages everything and commits it; returns the new commit's hash.
  std::string commit_all(std::string_view message) const;

  // The worktrees git knows of, main one included (`git worktree list`).
  std::vector<std::filesystem::path> worktrees() const;

 private:
  TempDir dir_;
  std::filesystem::path root_;
};
