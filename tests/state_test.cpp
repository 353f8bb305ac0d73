// Running dbt subcommands and git, and the state-comparison baseline in a
// temporary worktree of a real repository.
#include "state.h"

#include <algorithm>
#include <functional>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "select.h"
#include "support/fake_dbt.h"
#include "support/git_repo.h"
#include "support/scoped_env.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

TEST(DbtSubcommand, StartsTheCommandWordsThenTheSubcommandThenTheArguments) {
  TempDir dir;
  const fs::path log = dir / "dbt.log";
  // A launcher, one argument of it, and dbt: started by the script's own
  // interpreter line, as a user's dbt would be.
  const std::string command =
      "env FAKE_DBT_LOG=" + log.string() + " " + (source_dir() / "tools/fake-dbt").string();
  const auto result = run_dbt_subcommand(dir.path(), command, "deps", {"--profiles-dir", "my profiles"});
  ASSERT_TRUE(result.has_value()) << result.error();
  const auto calls = read_dbt_log(log);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, (Words{"deps", "--profiles-dir", "my profiles"}));
  EXPECT_EQ(calls[0].cwd, fs::canonical(dir.path()).string());
}

TEST(DbtSubcommand, ReportsEachFailureWithTheWholeCommandText) {
  TempDir dir;
  const std::string echo_args = "sh -c 'printf \"%s|\" \"$0\" \"$@\"; printf \"bad \\377\" >&2; exit 4' 'zero word'";
  struct Case {
    std::string command;
    std::string subcommand;
    Words dbt_args;
    fs::path dir;
    std::string message;
  };
  const Case cases[] = {
      {"dbt 'open", "parse", {}, dir.path(), "could not parse --dbt-command: missing closing quote"},
      {" \t\n", "parse", {}, dir.path(), "--dbt-command resolved to an empty command"},
      {"# dbt", "deps", {}, dir.path(), "--dbt-command resolved to an empty command"},
      {"velk-no-such-dbt --x", "deps", {}, dir.path(),
       "could not run `velk-no-such-dbt --x deps`: No such file or directory (os error 2)"},
      {"true", "parse", {}, dir / "missing",
       "could not run `true parse`: No such file or directory (os error 2)"},
      {echo_args, "parse", {"a b", ""}, dir.path(),
       "`" + echo_args + " parse` failed:\nstdout:\nzero word|parse|a b||\nstderr:\nbad \xEF\xBF\xBD"},
      {"sh -c 'printf before; kill -KILL $$'", "deps", {}, dir.path(),
       "`sh -c 'printf before; kill -KILL $$' deps` failed:\nstdout:\nbefore\nstderr:\n"},
  };
  for (const auto& c : cases) {
    const auto result = run_dbt_subcommand(c.dir, c.command, c.subcommand, c.dbt_args);
    ASSERT_FALSE(result.has_value()) << c.command;
    EXPECT_EQ(result.error(), c.message);
  }
  EXPECT_TRUE(run_dbt_subcommand(dir.path(), "sh -c 'echo warning >&2'", "parse", {}).has_value());
}

TEST(Git, RendersEachError) {
  struct Case {
    GitError error;
    std::string text;
  };
  const Case cases[] = {
      {{GitError::NotARepo{".", "fatal: not a git repository"}},
       ".: not inside a git repository (fatal: not a git repository)"},
      {{GitError::MergeBase{"/repo", "main\"x", ""}},
       "could not find a merge-base between HEAD and \"main\\\"x\" in /repo -- the histories may be "
       "unrelated, or \"main\\\"x\" may not exist"},
      {{GitError::MergeBase{"/repo", "main", " (fatal: bad)"}},
       "could not find a merge-base between HEAD and \"main\" in /repo -- the histories may be "
       "unrelated, or \"main\" may not exist (fatal: bad)"},
      {{GitError::WorktreeAdd{"/repo", "abc123", "fatal: no"}},
       "could not create a git worktree for commit abc123 in /repo: fatal: no"},
      {{GitError::NotRunnable{"No such file or directory (os error 2)"}},
       "could not run git -- is it installed and on PATH? (No such file or directory (os error 2))"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(display_git_error(c.error), c.text);
    EXPECT_EQ(describe_state_error(StateError{StateError::Git{c.error}}), c.text);
  }
  EXPECT_EQ(describe_state_error(StateError{StateError::Dbt{"`dbt parse` failed:\nstdout:\n\nstderr:\n"}}),
            "could not compile the state:-comparison baseline: `dbt parse` failed:\nstdout:\n\nstderr:\n");
}

TEST(Git, FindsTheRepositoryTopOrSaysWhereItLooked) {
  GitRepo repo;
  fs::create_directories(repo.root() / "sub/dir");
  const auto top = git_toplevel(repo.root() / "sub/dir");
  ASSERT_TRUE(top.has_value()) << display_git_error(top.error());
  EXPECT_EQ(*top, repo.root().string());

  TempDir outside;
  fs::create_directories(outside / "a");
  const fs::path as_given = outside / "a/..";  // shown as given, not made canonical
  const auto not_a_repo = git_toplevel(as_given);
  ASSERT_FALSE(not_a_repo.has_value());
  const auto* error = std::get_if<GitError::NotARepo>(&not_a_repo.error().error);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->dir, as_given.string());
  EXPECT_TRUE(error->stderr_text.starts_with("fatal: not a git repository")) << error->stderr_text;
}

TEST(Git, RunGitHandsBackAFailedRunAndFailsOnlyWhenGitIsMissing) {
  TempDir outside;
  const auto failed = run_git(outside.path(), {"rev-parse", "--show-toplevel"});
  ASSERT_TRUE(failed.has_value());
  EXPECT_FALSE(failed->succeeded());
  EXPECT_FALSE(failed->stderr_bytes.empty());

  const ScopedEnv no_git("PATH", (outside / "empty").string());
  const auto missing = run_git(outside.path(), {"--version"});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(display_git_error(missing.error()),
            "could not run git -- is it installed and on PATH? (No such file or directory (os error 2))");
}

TEST(Git, MergeBaseFailuresCarryGitsErrorWhenItGaveOne) {
  GitRepo repo;
  repo.commit_all("first");
  const auto missing = git_merge_base(repo.root(), "no-such-branch");
  ASSERT_FALSE(missing.has_value());
  const auto* error = std::get_if<GitError::MergeBase>(&missing.error().error);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->repo, repo.root().string());
  EXPECT_EQ(error->against, "no-such-branch");
  EXPECT_TRUE(error->detail.starts_with(" (fatal: ")) << error->detail;
  EXPECT_TRUE(error->detail.ends_with(")")) << error->detail;

  // Unrelated histories: git fails without a word.
  repo.git({"switch", "--quiet", "--orphan", "other"});
  repo.commit_all("unrelated");
  const auto unrelated = git_merge_base(repo.root(), "master");
  ASSERT_FALSE(unrelated.has_value());
  EXPECT_TRUE(display_git_error(unrelated.error()).ends_with("or \"master\" may not exist"))
      << display_git_error(unrelated.error());
}

TEST(State, TellsWhetherASelectorUsesTheStateMethod) {
  const std::pair<const char*, bool> cases[] = {
      {"state:modified", true},   {"tag:x state:new+", true}, {"+state:modified.body,tag:x", true},
      {"State:modified", false},  {"state", false},           {"stat:e", false},
      {"my_state:", true},        {"", false},
  };
  for (const auto& [selector, uses] : cases) EXPECT_EQ(uses_state_method(selector), uses) << selector;
}

TEST(State, PlacesTheProjectInsideTheRepository) {
  struct Case {
    const char* root;
    const char* project;
    const char* place;
  };
  const Case cases[] = {
      {"/r", "/r", ""},
      {"/r", "/r/a/b", "a/b"},
      {"/r/", "/r/a", "a"},
      {"/", "/a/b", "a/b"},
      {"/r", "/rr/a", "."},
      {"/r/a", "/r", "."},
      {"/x", "/r/a", "."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(project_place(c.root, c.project), fs::path(c.place)) << c.root << " " << c.project;
  }
}

// Chooses between the --state directory, a compiled baseline and none; in a
// directory outside any repository, compiling shows up as a git error.
TEST(State, ChoosesTheBaselineBySelectorAndStateDirectory) {
  TempDir outside;
  enum class Outcome { none, given_dir, compiles };
  struct Case {
    const char* select;
    std::optional<std::string_view> exclude;
    std::optional<fs::path> state_dir;
    Outcome outcome;
  };
  const Case cases[] = {
      {"orders+", {}, {}, Outcome::none},
      {"State:modified", "State:new", {}, Outcome::none},
      {"state:modified", {}, fs::path("rel/state"), Outcome::given_dir},
      {"orders", {}, fs::path("rel/state"), Outcome::given_dir},
      {"state:modified+", {}, {}, Outcome::compiles},
      {"orders+", "state:new", {}, Outcome::compiles},
  };
  for (const auto& c : cases) {
    const auto baseline = resolve_state_baseline(outside.path(), c.select, c.exclude, c.state_dir,
                                                 "master", "false", {});
    switch (c.outcome) {
      case Outcome::none:
        ASSERT_TRUE(baseline.has_value()) << c.select;
        EXPECT_FALSE(baseline->has_value()) << c.select;
        break;
      case Outcome::given_dir:
        ASSERT_TRUE(baseline.has_value() && baseline->has_value()) << c.select;
        EXPECT_EQ((*baseline)->dir, *c.state_dir) << c.select;
        EXPECT_FALSE((*baseline)->worktree.has_value()) << c.select;
        break;
      case Outcome::compiles:
        ASSERT_FALSE(baseline.has_value()) << c.select;
        EXPECT_TRUE(describe_state_error(baseline.error())
                        .starts_with(outside.path().string() + ": not inside a git repository ("))
            << describe_state_error(baseline.error());
        break;
    }
  }
}

// A repository whose feature branch (HEAD) and master have moved on since
// they parted, with the dbt project at `place`:
//   base (merge base): models a, b       feature: b changed, c added
//   master after it: m_only added
struct BranchedRepo {
  GitRepo repo;
  fs::path place;
  fs::path project = place.empty() ? repo.root() : repo.root() / place;
  fs::path log = fs::path(repo.root().string() + "-dbt-calls.log");  // outside the repository
  std::string base;

  explicit BranchedRepo(fs::path project_place,
                        const std::vector<std::string>& base_only_files = {},
                        const std::vector<std::string>& feature_only_files = {})
      : place(std::move(project_place)) {
    write_dbt_project(project, "shop", {{"a", "{{ config(tags=['daily']) }}\nselect 1"},
                                        {"b", "select * from {{ ref('a') }}"}});
    for (const auto& file : base_only_files) write_file(project / file, "packages: []\n");
    base = repo.commit_all("base");
    repo.git({"switch", "--quiet", "-c", "feature"});
    write_file(project / "models/b.sql", "select * from {{ ref('a') }} where true");
    write_file(project / "models/c.sql", "select * from {{ ref('b') }}");
    for (const auto& file : feature_only_files) write_file(project / file, "packages: []\n");
    repo.commit_all("feature work");
    repo.git({"switch", "--quiet", "master"});
    write_file(project / "models/m_only.sql", "select 2");
    repo.commit_all("master moves on");
    repo.git({"switch", "--quiet", "feature"});
  }
  ~BranchedRepo() { fs::remove(log); }

  std::string dbt_command(const std::string& fail = "") const {
    std::vector<std::pair<std::string, std::string>> env = {{"FAKE_DBT_LOG", log.string()}};
    if (!fail.empty()) env.emplace_back("FAKE_DBT_FAIL", fail);
    return fake_dbt_command(env);
  }

  tl::expected<std::optional<StateBaseline>, StateError> resolve(const std::string& fail = "") const {
    return resolve_state_baseline(project, "state:modified", std::nullopt, std::nullopt, "master",
                                  dbt_command(fail), {"--target", "ci"});
  }
};

std::vector<std::string> model_names(const fs::path& manifest_path) {
  const auto manifest = boost::json::parse(read_file(manifest_path)).as_object();
  std::vector<std::string> names;
  for (const auto& [id, node] : manifest.at("nodes").as_object()) {
    names.emplace_back(node.as_object().at("name").as_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(State, CompilesTheBaselineAtTheMergeBaseInTheProjectsPlace) {
  for (const fs::path& place : {fs::path(), fs::path("analytics/dbt")}) {
    BranchedRepo branched(place);
    auto baseline = branched.resolve();
    ASSERT_TRUE(baseline.has_value()) << describe_state_error(baseline.error());
    ASSERT_TRUE(baseline->has_value());
    ASSERT_TRUE((*baseline)->worktree.has_value());
    const WorktreeGuard& guard = *(*baseline)->worktree;

    // A fresh name in the system temporary directory.
    EXPECT_TRUE(fs::equivalent(guard.path().parent_path(), fs::temp_directory_path())) << place;
    const std::string name = guard.path().filename().string();
    ASSERT_EQ(name.size(), std::string("velk-dbt-plan-state-").size() + 6) << name;
    EXPECT_TRUE(name.starts_with("velk-dbt-plan-state-")) << name;
    EXPECT_EQ(guard.repo(), branched.repo.root());

    // Checked out at the merge base, compiled in the project's own place.
    EXPECT_EQ(run_git(guard.path(), {"rev-parse", "HEAD"})->stdout_bytes, branched.base + "\n");
    const fs::path worktree_project = place.empty() ? guard.path() : guard.path() / place;
    EXPECT_EQ((*baseline)->dir, worktree_project / "target") << place;
    EXPECT_EQ(model_names((*baseline)->dir / "manifest.json"), (Words{"a", "b"})) << place;
    auto calls = read_dbt_log(branched.log);
    ASSERT_EQ(calls.size(), 1u) << "no deps without packages.yml or dependencies.yml";
    EXPECT_EQ(calls[0].argv, (Words{"parse", "--target", "ci"}));
    EXPECT_EQ(calls[0].cwd, worktree_project.string());
    EXPECT_EQ(branched.repo.worktrees().size(), 2u);

    // dbt ls compares against it.
    Manifest manifest;
    for (const char* model : {"a", "b", "c"}) {
      Node node;
      node.unique_id = std::string("model.shop.") + model;
      node.name = model;
      manifest.nodes.insert_or_assign(node);
    }
    const auto selection = select_models(branched.project, manifest, branched.dbt_command(), {},
                                         "state:modified", std::nullopt, (*baseline)->dir);
    ASSERT_TRUE(selection.has_value()) << describe_select_error(selection.error());
    EXPECT_EQ(selection->size(), 2u);
    EXPECT_TRUE(selection->contains("model.shop.b") && selection->contains("model.shop.c"));
    calls = read_dbt_log(branched.log);
    ASSERT_EQ(calls.size(), 2u);
    const Words& ls = calls[1].argv;
    const auto state = std::find(ls.begin(), ls.end(), "--state");
    ASSERT_NE(state, ls.end());
    EXPECT_EQ(*(state + 1), ((*baseline)->dir).string());

    // Dropping the baseline removes the worktree.
    const fs::path worktree = guard.path();
    baseline->reset();
    EXPECT_FALSE(fs::exists(worktree)) << worktree;
    EXPECT_EQ(branched.repo.worktrees().size(), 1u);
  }
}

TEST(State, RunsDepsOnlyWhenTheMergeBaseDeclaresPackages) {
  struct Case {
    std::vector<std::string> base_files;
    std::vector<std::string> feature_files;
    bool deps;
  };
  const Case cases[] = {
      {{"packages.yml"}, {}, true},
      {{"dependencies.yml"}, {}, true},
      {{}, {"packages.yml", "dependencies.yml"}, false},
  };
  for (const auto& c : cases) {
    BranchedRepo branched("proj", c.base_files, c.feature_files);
    const auto baseline = branched.resolve();
    ASSERT_TRUE(baseline.has_value()) << describe_state_error(baseline.error());
    Words subcommands;
    for (const auto& call : read_dbt_log(branched.log)) subcommands.push_back(call.argv.front());
    EXPECT_EQ(subcommands, c.deps ? (Words{"deps", "parse"}) : (Words{"parse"}));
  }
}

TEST(State, AFailedCompileRemovesTheWorktreeBeforeReporting) {
  for (const std::string failing : {"parse", "deps"}) {
    BranchedRepo branched("proj", {"packages.yml"});
    const std::string command = branched.dbt_command(failing);
    const auto baseline = branched.resolve(failing);
    ASSERT_FALSE(baseline.has_value());
    EXPECT_EQ(describe_state_error(baseline.error()),
              "could not compile the state:-comparison baseline: `" + command + " " + failing +
                  "` failed:\nstdout:\nfake-dbt " + failing + " stdout\n\nstderr:\nfake-dbt " +
                  failing + " stderr\n");
    const auto calls = read_dbt_log(branched.log);
    ASSERT_FALSE(calls.empty());
    const fs::path worktree = fs::path(calls.back().cwd).parent_path();
    EXPECT_TRUE(worktree.filename().string().starts_with("velk-dbt-plan-state-")) << worktree;
    EXPECT_FALSE(fs::exists(worktree)) << worktree;
    EXPECT_EQ(branched.repo.worktrees().size(), 1u);
  }
}

TEST(Worktree, AGuardRemovesItsWorktreeOnceAndAMovedFromGuardNothing) {
  GitRepo repo;
  const std::string commit = repo.commit_all("first");
  auto first = add_worktree(repo.root(), commit);
  auto second = add_worktree(repo.root(), commit);
  ASSERT_TRUE(first.has_value() && second.has_value());
  const fs::path first_path = first->path();
  const fs::path second_path = second->path();
  ASSERT_NE(first_path, second_path);

  std::optional<WorktreeGuard> moved_from(std::move(*first));
  std::optional<WorktreeGuard> owner(std::move(*moved_from));
  moved_from.reset();
  EXPECT_TRUE(fs::exists(first_path));

  // Assigning over a guard removes the worktree it held.
  *owner = std::move(*second);
  EXPECT_FALSE(fs::exists(first_path));
  EXPECT_TRUE(fs::exists(second_path));
  EXPECT_EQ(owner->path(), second_path);
  owner.reset();
  EXPECT_FALSE(fs::exists(second_path));
  EXPECT_EQ(repo.worktrees().size(), 1u);
}

TEST(Worktree, AFailedRemovalIsSilent) {
  GitRepo repo;
  const std::string commit = repo.commit_all("first");
  auto added = add_worktree(repo.root(), commit);
  ASSERT_TRUE(added.has_value());
  const fs::path path = added->path();
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  {
    TempDir empty;
    const ScopedEnv no_git("PATH", empty.path().string());
    WorktreeGuard guard = std::move(*added);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // The directory is the guard's own to delete; only its registration,
  // which needs git, stays behind.
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(repo.worktrees().size(), 2u);
  repo.git({"worktree", "prune"});
  EXPECT_EQ(repo.worktrees().size(), 1u);
}

// The states a git stopped while it made the worktree, or while it removed
// it again, can leave behind; the guard removes each.
TEST(Worktree, AGuardRemovesItsWorktreeWhateverStateGitLeftItIn) {
  struct Case {
    const char* what;
    std::function<void(const GitRepo& repo, const fs::path& path)> leave;
  };
  const Case cases[] = {
      {"locked, as while git makes it",
       [](const GitRepo& repo, const fs::path& path) {
         repo.git({"worktree", "lock", "--reason", "initializing", path.string()});
       }},
      {"unknown to git but still full of files",
       [](const GitRepo& repo, const fs::path& path) {
         fs::remove_all(repo.root() / ".git/worktrees" / path.filename());
       }},
      {"registered, its .git file already removed",
       [](const GitRepo&, const fs::path& path) { fs::remove(path / ".git"); }},
      {"locked before its .git file was written",
       [](const GitRepo& repo, const fs::path& path) {
         repo.git({"worktree", "lock", "--reason", "initializing", path.string()});
         fs::remove(path / ".git");
       }},
      {"locked before its directory was made",
       [](const GitRepo& repo, const fs::path& path) {
         repo.git({"worktree", "lock", "--reason", "initializing", path.string()});
         fs::remove_all(path);
       }},
  };
  GitRepo repo;
  for (int i = 0; i < 50; ++i) write_file(repo.root() / "files" / std::to_string(i), "x\n");
  const std::string commit = repo.commit_all("files");
  TempDir temp;
  const ScopedEnv in_temp("TMPDIR", temp.path().string());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::optional<WorktreeGuard> guard;
    {
      auto added = add_worktree(repo.root(), commit);
      ASSERT_TRUE(added.has_value()) << display_git_error(added.error());
      guard.emplace(std::move(*added));
    }
    c.leave(repo, guard->path());
    guard.reset();
    EXPECT_TRUE(fs::is_empty(temp.path()));
    EXPECT_EQ(repo.worktrees().size(), 1u);
  }
}

TEST(Worktree, ReportsAFailedAdd) {
  GitRepo repo;
  repo.commit_all("first");
  const std::string bogus(40, '0');
  const auto added = add_worktree(repo.root(), bogus);
  ASSERT_FALSE(added.has_value());
  const auto* error = std::get_if<GitError::WorktreeAdd>(&added.error().error);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->commit, bogus);
  EXPECT_EQ(error->repo, repo.root().string());
  EXPECT_TRUE(error->stderr_text.starts_with("fatal:")) << error->stderr_text;

  TempDir dir;
  const ScopedEnv missing_temp("TMPDIR", (dir / "missing").string());
  const auto no_temp = add_worktree(repo.root(), bogus);
  ASSERT_FALSE(no_temp.has_value());
  EXPECT_TRUE(std::holds_alternative<GitError::NotRunnable>(no_temp.error().error))
      << display_git_error(no_temp.error());
}

TEST(Worktree, AnAddThatFailsAfterMakingTheWorktreeLeavesNothing) {
  GitRepo repo;
  const std::string commit = repo.commit_all("first");
  write_file(repo.root() / ".git/hooks/post-checkout", "#!/bin/sh\necho hook says no >&2\nexit 1\n");
  fs::permissions(repo.root() / ".git/hooks/post-checkout", fs::perms::owner_all);
  TempDir temp;
  const ScopedEnv in_temp("TMPDIR", temp.path().string());
  const auto added = add_worktree(repo.root(), commit);
  ASSERT_FALSE(added.has_value());
  const auto* error = std::get_if<GitError::WorktreeAdd>(&added.error().error);
  ASSERT_NE(error, nullptr) << display_git_error(added.error());
  EXPECT_TRUE(error->stderr_text.ends_with("hook says no")) << error->stderr_text;
  EXPECT_EQ(repo.worktrees().size(), 1u);
  EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(Worktree, ARelativeTemporaryDirectoryMeansTheSamePlaceToGitAndToDbt) {
  GitRepo repo;
  const std::string commit = repo.commit_all("first");
  TempDir dir;
  fs::create_directory(dir / "relative");
  const fs::path saved = fs::current_path();
  fs::current_path(dir.path());
  std::optional<WorktreeGuard> guard;
  {
    const ScopedEnv temp("TMPDIR", "relative");
    auto added = add_worktree(repo.root(), commit);
    fs::current_path(saved);
    ASSERT_TRUE(added.has_value()) << display_git_error(added.error());
    guard.emplace(std::move(*added));
  }
  const fs::path path = guard->path();
  EXPECT_TRUE(path.is_absolute()) << path;
  EXPECT_EQ(fs::canonical(path.parent_path()), fs::canonical(dir / "relative"));
  EXPECT_TRUE(fs::exists(path / ".git"));
  EXPECT_FALSE(fs::exists(repo.root() / "relative"));
  guard.reset();
  EXPECT_FALSE(fs::exists(path));
}

TEST(Worktree, AddsUnderATemporaryDirectoryThatIsNotUtf8) {
  GitRepo repo;
  const std::string commit = repo.commit_all("first");
  TempDir dir;
  const fs::path latin1 = dir / "caf\xE9";
  fs::create_directory(latin1);
  const ScopedEnv temp("TMPDIR", latin1.string());
  auto added = add_worktree(repo.root(), commit);
  ASSERT_TRUE(added.has_value()) << display_git_error(added.error());
  std::optional<WorktreeGuard> guard(std::move(*added));
  const fs::path path = guard->path();
  EXPECT_EQ(path.parent_path(), latin1);
  EXPECT_TRUE(fs::exists(path / ".git"));
  guard.reset();
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
