// Nothing is left behind, whatever ends a run that compiled a state
// baseline, a signal included: no extra git worktree, no temporary
// directory, no temporary output file, no child process. And no descriptor
// of the run reaches dbt or git.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "support/fake_dbt.h"
#include "support/git_repo.h"
#include "support/run_tool.h"
#include "support/test_support.h"
#include "signals.h"

namespace {

namespace fs = std::filesystem;
using Env = std::vector<std::pair<std::string, std::string>>;

const std::vector<std::string> kWindow = {"--event-time-start", "2024-03-10", "--event-time-end",
                                          "2024-03-10"};

std::vector<std::string> with_window(std::vector<std::string> args) {
  args.insert(args.end(), kWindow.begin(), kWindow.end());
  return args;
}

fs::path real_git() {
  for (const char* candidate : {"/usr/bin/git", "/usr/local/bin/git", "/bin/git"}) {
    if (fs::exists(candidate)) return candidate;
  }
  throw std::runtime_error("git not found");
}

// A git that the run finds first on PATH: it notes in HOSTILE_GIT_LEAKS the
// descriptors beyond 0, 1 and 2 that it was started with, refuses `worktree
// add` when HOSTILE_GIT_REFUSE is set, creates the file HOSTILE_GIT_REMOVING
// names before a `worktree remove` and then lingers HOSTILE_GIT_LINGER
// seconds, and otherwise runs the real git.
void write_git_wrapper(const fs::path& dir) {
  const fs::path script = dir / "git";
  write_file(script,
             "#!/usr/bin/python3\n"
             "import os, sys\n"
             "open_fds = []\n"
             "for fd in range(3, 1024):\n"
             "    try:\n"
             "        os.fstat(fd)\n"
             "        open_fds.append(fd)\n"
             "    except OSError:\n"
             "        pass\n"
             "if open_fds and os.environ.get('HOSTILE_GIT_LEAKS'):\n"
             "    with open(os.environ['HOSTILE_GIT_LEAKS'], 'a') as log:\n"
             "        log.write(' '.join(sys.argv[1:]) + ': ' + ' '.join(map(str, open_fds)) + '\\n')\n"
             "if os.environ.get('HOSTILE_GIT_REFUSE') and sys.argv[1:3] == ['worktree', 'add']:\n"
             "    print('fatal: refused by the test', file=sys.stderr)\n"
             "    sys.exit(128)\n"
             "if os.environ.get('HOSTILE_GIT_REMOVING') and sys.argv[3:5] == ['worktree', 'remove']:\n"
             "    import time\n"
             "    open(os.environ['HOSTILE_GIT_REMOVING'], 'w').close()\n"
             "    time.sleep(float(os.environ.get('HOSTILE_GIT_LINGER', '0')))\n"
             "os.execv('" + real_git().string() + "', ['git'] + sys.argv[1:])\n");
  fs::permissions(script, fs::perms::owner_all);
}

// The shop in a repository: master holds it (with a packages.yml, so the
// baseline runs deps too), the checked-out branch feature changes orders.
class Cleanup : public ::testing::Test {
 protected:
  void SetUp() override {
    write_dbt_project(shop(), "shop",
                      {{"orders", "{{ config(event_time='ordered_at', meta={'velk': {}}) }}\n"
                                  "select * from {{ source('raw', 'orders') }}\n"},
                       {"revenue", "{{ config(event_time='day', meta={'velk': {'lookback': 2}}) }}\n"
                                   "select * from {{ ref('orders') }}\n"}});
    write_file(shop() / "packages.yml", "packages: []\n");
    write_file(repo_.root() / ".gitignore", "target/\ndbt_packages/\n");
    base_commit_ = repo_.commit_all("shop");
    repo_.git({"checkout", "-q", "-b", "feature"});
    write_file(shop() / "models/orders.sql",
               "{{ config(event_time='ordered_at', meta={'velk': {'lookback': 1}}) }}\n"
               "select 1 from {{ source('raw', 'orders') }}\n");
    repo_.commit_all("change orders");
    fs::create_directories(temp_dir());
    fs::create_directories(bin_dir());
    write_git_wrapper(bin_dir());
  }

  fs::path shop() const { return repo_.root() / "shop"; }
  fs::path temp_dir() const { return dir_ / "tmp"; }
  fs::path bin_dir() const { return dir_ / "bin"; }
  fs::path git_leaks() const { return dir_ / "git-leaks"; }

  // The run from the shop with a state: selector, TMPDIR in the test's own
  // directory and the wrapper git first on PATH; with `signals`, started as
  // a job of its own that gets them.
  ToolRun run(std::vector<std::string> args, const Env& dbt_env, ToolLaunch launch = {},
              const std::vector<SignalAt>& signals = {}) {
    const std::vector<std::string> full = full_args(args, dbt_env, launch);
    if (!signals.empty()) return run_tool_signalled(shop(), full, launch, signals);
    return run_tool(shop(), full, launch);
  }

  // The run's whole command line, and its environment added to `launch`.
  std::vector<std::string> full_args(const std::vector<std::string>& args, const Env& dbt_env,
                                     ToolLaunch& launch) {
    std::vector<std::string> full = {"--select", "state:modified+", "--dbt-command",
                                     fake_dbt_command(dbt_env)};
    full.insert(full.end(), args.begin(), args.end());
    const char* path = ::getenv("PATH");
    launch.env.insert(launch.env.begin(),
                      {{"TMPDIR", temp_dir().string()},
                       {"PATH", bin_dir().string() + ":" + (path ? path : "/usr/bin:/bin")},
                       {"HOSTILE_GIT_LEAKS", git_leaks().string()}});
    return full;
  }

  // No worktree beyond the main one, nothing in the temporary directory, no
  // temporary output file.
  void expect_nothing_left(const std::vector<fs::path>& output_dirs = {}) {
    EXPECT_EQ(repo_.worktrees(), std::vector<fs::path>{repo_.root()});
    std::vector<std::string> in_temp;
    for (const auto& entry : fs::directory_iterator(temp_dir())) {
      in_temp.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(in_temp, std::vector<std::string>{});
    std::vector<fs::path> dirs = {shop(), shop() / "target/velk", shop() / "target/velk/dbt-plan"};
    dirs.insert(dirs.end(), output_dirs.begin(), output_dirs.end());
    for (const fs::path& dir : dirs) {
      std::error_code error;
      for (const auto& entry : fs::directory_iterator(dir, error)) {
        EXPECT_FALSE(entry.path().filename().string().starts_with(".tmp")) << entry.path();
      }
    }
  }

  TempDir dir_;
  GitRepo repo_;
  std::string base_commit_;
};

TEST_F(Cleanup, EveryEndOfARunWithABaselineLeavesNothingBehind) {
  struct Case {
    std::string what;
    std::vector<std::string> args;
    Env dbt_env;
    int status;
    // "{dbt}": the dbt command, "{root}": the repository, "{commit}" and
    // "{short}": the merge base, whole and abbreviated.
    std::string err;
    std::function<void(const fs::path& shop)> prepare = nullptr;
    ToolLaunch launch = {};
  };
  const std::string baseline = "error: could not compile the state:-comparison baseline: ";
  const Case cases[] = {
      {"success", with_window({}), {}, 0, ""},
      {"success with a relative TMPDIR", with_window({}), {}, 0, "", nullptr,
       {.env = {{"TMPDIR", fs::relative(temp_dir(), shop()).string()}}}},
      {"no merge base with the reference branch", with_window({"--against", "nosuch"}), {}, 1,
       "error: could not find a merge-base between HEAD and \"nosuch\" in {root} -- the histories "
       "may be unrelated, or \"nosuch\" may not exist (fatal: Not a valid object name nosuch)\n"},
      {"git worktree add refused", with_window({}), {}, 1,
       "error: could not create a git worktree for commit {commit} in {root}: fatal: refused by "
       "the test\n",
       nullptr, {.env = {{"HOSTILE_GIT_REFUSE", "1"}}}},
      {"a post-checkout hook failing after git made the worktree", with_window({}), {}, 1,
       "error: could not create a git worktree for commit {commit} in {root}: Preparing worktree "
       "(detached HEAD {short})\nhook says no\n",
       [](const fs::path& shop) {
         const fs::path hook = shop.parent_path() / ".git/hooks/post-checkout";
         write_file(hook, "#!/bin/sh\necho hook says no >&2\nexit 1\n");
         fs::permissions(hook, fs::perms::owner_all);
       }},
      {"dbt deps failing in the worktree", with_window({}), {{"FAKE_DBT_FAIL", "deps"}}, 1,
       baseline + "`{dbt} deps` failed:\nstdout:\nfake-dbt deps stdout\n\nstderr:\nfake-dbt deps stderr\n\n"},
      {"dbt parse failing in the worktree", with_window({}), {{"FAKE_DBT_FAIL", "parse"}}, 1,
       baseline + "`{dbt} parse` failed:\nstdout:\nfake-dbt parse stdout\n\nstderr:\nfake-dbt parse stderr\n\n"},
      {"dbt parse killed in the worktree", with_window({}), {{"FAKE_DBT_SIGNAL", "parse:KILL"}}, 1,
       baseline + "`{dbt} parse` failed:\nstdout:\nfake-dbt parse dying\n\nstderr:\nfake-dbt parse dying\n\n"},
      {"dbt ls failing", with_window({}), {{"FAKE_DBT_FAIL", "ls"}}, 1,
       "error: `{dbt} ls` failed:\nstdout:\nfake-dbt ls stdout\n\nstderr:\nfake-dbt ls stderr\n\n"},
      {"dbt ls naming no model", with_window({}), {{"FAKE_DBT_LS_EXTRA", "ghost"}}, 1,
       "error: `{dbt} ls` selected \"ghost\", which isn't a model in the compiled manifest -- the "
       "manifest at --manifest is likely out of sync with the current project state; delete it and "
       "rerun (or point --manifest at a freshly compiled one)\n"},
      {"a malformed date", {"--event-time-start", "2024-13-01", "--event-time-end", "2024-03-10"},
       {}, 1, "error: \"2024-13-01\" is not a valid YYYY-MM-DD date\n"},
      {"one date alone", {"--event-time-start", "2024-03-10"}, {}, 1,
       "error: --event-time-start and --event-time-end must be passed together, or not at all\n"},
      {"an anchor that is not selected", with_window({"--anchor", "ghost"}), {}, 1,
       "error: --anchor \"ghost\" is not among the 2 model(s) selected by --select: orders, revenue\n"},
      {"the plan document not writable", with_window({"-o", "taken"}), {}, 1,
       "error: could not write taken: Is a directory (os error 21)\n",
       [](const fs::path& shop) { fs::create_directories(shop / "taken"); }},
      {"the report not writable", with_window({"--html"}), {}, 1,
       "error: could not create ./target/velk/dbt-plan: File exists (os error 17)\n",
       [](const fs::path& shop) { write_file(shop / "target/velk/dbt-plan", ""); }},
      {"standard output closed", with_window({"--pretty"}), {}, 101,
       "internal error: failed printing to stdout: Bad file descriptor (os error 9)\n", nullptr,
       {.redirect = ">&-"}},
      {"standard error closed", with_window({}), {}, 101, "",
       [](const fs::path& shop) {
         write_file(shop / "velk.yml", "dbt-plan:\n  max-window-expansion-days: 0\n");
       },
       {.redirect = "2>&-"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(shop() / "target/velk");
    fs::remove_all(shop() / "taken");
    fs::remove(shop() / "velk.yml");
    fs::remove(repo_.root() / ".git/hooks/post-checkout");
    if (c.prepare) c.prepare(shop());
    const ToolRun result = run(c.args, c.dbt_env, c.launch);
    EXPECT_EQ(result.status, c.status) << describe(result);
    std::string err = c.err;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"{dbt}", fake_dbt_command(c.dbt_env)},
                                   {"{root}", repo_.root().string()},
                                   {"{commit}", base_commit_},
                                   {"{short}", base_commit_.substr(0, 7)}}) {
      for (std::size_t at = err.find(from); at != std::string::npos; at = err.find(from, at)) {
        err.replace(at, from.size(), to);
      }
    }
    EXPECT_EQ(result.err, err);
    expect_nothing_left();
  }
}

TEST_F(Cleanup, NoDescriptorOfTheRunReachesDbtOrGit) {
  // Without a manifest the run starts dbt for every step: parse for the
  // refresh, deps and parse in the worktree, then ls; git for the root, the
  // merge base and the worktree, and again to remove it.
  const ToolRun clean = run(with_window({"--pretty", "--html"}), {{"FAKE_DBT_FD_CHECK", "1"}},
                            {.only_standard_descriptors = true});
  EXPECT_EQ(clean.status, 0) << describe(clean);
  EXPECT_FALSE(fs::exists(git_leaks())) << read_file(git_leaks());
  expect_nothing_left();

  // The check itself: a descriptor that the run inherited is one it passes on.
  fs::remove_all(shop() / "target");
  const ToolRun inherited = run(with_window({}), {{"FAKE_DBT_FD_CHECK", "1"}},
                                {.before = "exec 7</dev/null;", .only_standard_descriptors = true});
  EXPECT_EQ(inherited.status, 1) << describe(inherited);
  EXPECT_TRUE(inherited.err.ends_with("stderr:\nfake-dbt: open descriptors: 7\n\n")) << inherited.err;
}

// The stand-in dbt sleeps in one subcommand, writing its process id first;
// the run gets its signal then. The manifest is fresh beforehand except where
// the freshness check's own parse is the one stopped.
TEST_F(Cleanup, ARunStoppedBySignalLeavesNothingAndEndsByTheSignal) {
  struct Case {
    std::string what;
    std::string sleeping;  // the dbt subcommand that sleeps
    bool fresh_manifest;
    int signal;
    bool whole_group;        // Ctrl-C reaches the whole job, dbt included
    bool again_during_removal = false;
  };
  const Case cases[] = {
      {"SIGTERM to the tool alone during the baseline's parse", "parse", true, SIGTERM, false},
      {"SIGINT to the whole job during the baseline's parse", "parse", true, SIGINT, true},
      {"SIGHUP to the tool alone during the baseline's deps", "deps", true, SIGHUP, false},
      {"SIGTERM to the tool alone during dbt ls", "ls", true, SIGTERM, false},
      {"SIGINT to the whole job during dbt ls", "ls", true, SIGINT, true},
      {"SIGINT again while the worktree is being removed", "parse", true, SIGINT, true, true},
      {"SIGINT to the whole job during the freshness check's parse", "parse", false, SIGINT, true},
      {"SIGTERM to the tool alone during the freshness check's parse", "parse", false, SIGTERM, false},
  };
  const fs::path pid_file = dir_ / "dbt-pid";
  const fs::path removing = dir_ / "removing";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path manifest = shop() / "target/manifest.json";
    if (!c.fresh_manifest) fs::remove(manifest);
    if (c.fresh_manifest && !fs::exists(manifest)) {
      const ToolRun prepared = run(with_window({}), {});
      ASSERT_EQ(prepared.status, 0) << describe(prepared);
    }
    fs::remove_all(shop() / "target/velk");
    fs::remove(pid_file);
    fs::remove(removing);
    std::vector<SignalAt> signals = {{pid_file, c.signal, c.whole_group}};
    if (c.again_during_removal) signals.push_back({removing, c.signal, c.whole_group});
    ToolLaunch launch{.env = {{"HOSTILE_GIT_REMOVING", removing.string()}}};
    if (c.again_during_removal) launch.env.emplace_back("HOSTILE_GIT_LINGER", "1");
    const ToolRun result =
        run(with_window({"--html"}), {{"FAKE_DBT_SLEEP", c.sleeping + ":60:" + pid_file.string()}},
            launch, signals);

    EXPECT_EQ(result.signal, c.signal) << describe(result);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "error: interrupted by " + signal_name(c.signal) + "\n");
    expect_nothing_left();
    EXPECT_FALSE(fs::exists(shop() / "target/velk"));
    // The sleeping dbt was ended and waited for, not left to run on.
    const pid_t dbt = std::stoi(read_file(pid_file));
    EXPECT_TRUE(::kill(dbt, 0) == -1 && errno == ESRCH) << "dbt " << dbt << " still exists";
    // Every run stopped after the freshness check had made the worktree.
    EXPECT_EQ(fs::exists(removing), c.fresh_manifest) << "the worktree removal started";
  }
}

// A git checkout that is slow enough for a signal to land inside `git
// worktree add`: the bulk/ files of the baseline go through a smudge filter
// (set only while a case wants it) that marks the start of the checkout and
// then takes a fiftieth of a second per file.
constexpr int kBulkFiles = 250;

// Every process of a run carries this variable in its environment, with a
// value of its own per run.
constexpr const char* kRunTag = "VELK_STOPPED_RUN";

// What a stop can meet beyond the common cases: a dbt that a launcher waits
// for, a descendant still writing, a large checkout, a stalled standard
// output; with the signal sent to the tool alone, to its whole job, or by a
// terminal whose foreground job the tool is.
class StoppedRun : public Cleanup {
 protected:
  void SetUp() override {
    write_file(repo_.root() / ".gitattributes", "bulk/* filter=slow\n");
    for (int i = 0; i < kBulkFiles; ++i) {
      write_file(repo_.root() / "bulk" / std::to_string(1000 + i), "bulk file\n");
    }
    const fs::path filter = dir_ / "slow-smudge";
    write_file(filter,
               "#!/bin/sh\n"
               "[ -e \"$SLOW_CHECKOUT_MARK\" ] || : > \"$SLOW_CHECKOUT_MARK\"\n"
               "sleep 0.02\n"
               "exec cat\n");
    fs::permissions(filter, fs::perms::owner_all);
    Cleanup::SetUp();
  }

  void slow_checkout(bool slow) {
    if (slow == slow_) return;
    if (slow) {
      repo_.git({"config", "filter.slow.smudge", (dir_ / "slow-smudge").string()});
    } else {
      repo_.git({"config", "--unset-all", "filter.slow.smudge"});
    }
    slow_ = slow;
  }

  // Every file under the shop with its size and modification time.
  std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> shop_files() const {
    std::map<std::string, std::pair<std::uintmax_t, fs::file_time_type>> files;
    for (const auto& entry : fs::recursive_directory_iterator(shop())) {
      if (!entry.is_regular_file()) continue;
      files[entry.path().string()] = {entry.file_size(), entry.last_write_time()};
    }
    return files;
  }

  bool slow_ = false;
};

// Each place a stop can land, met by each way a stop comes.
TEST_F(StoppedRun, NothingIsLeftBehindWhereverTheStopLands) {
  enum class From { tool, job, terminal };
  struct Stop {
    std::string what;
    int signal;
    From from;
    int times = 1;
  };
  const std::vector<Stop> tool_or_job = {
      {"SIGTERM to the tool", SIGTERM, From::tool},
      {"SIGHUP to the tool", SIGHUP, From::tool},
      {"SIGINT to the job", SIGINT, From::job},
      {"SIGINT to the job three times", SIGINT, From::job, 3},
  };
  const Stop ctrl_c = {"Ctrl-C", SIGINT, From::terminal};
  const Stop ctrl_c_again = {"Ctrl-C three times", SIGINT, From::terminal, 3};
  const Stop terminal_closed = {"the terminal closed", SIGHUP, From::terminal};
  const auto plus = [](std::vector<Stop> stops, const std::vector<Stop>& more) {
    stops.insert(stops.end(), more.begin(), more.end());
    return stops;
  };
  struct Situation {
    std::string what;
    Env dbt_env;       // "{pid}": the file the sleeping dbt writes its process id to
    std::string when;  // "dbt": once dbt sleeps; "checkout": once git checks out; "plan"
    std::vector<Stop> stops;
    bool fresh_manifest = true;
    bool stalled_stdout = false;
  };
  const Env wrapped_parse = {{"FAKE_DBT_WRAP", "sh"}, {"FAKE_DBT_SLEEP", "parse:60:{pid}"}};
  const Env writing_deps = {{"FAKE_DBT_GRANDCHILD", "deps:dbt_packages/pkg"},
                            {"FAKE_DBT_SLEEP", "deps:60:{pid}"}};
  const Situation situations[] = {
      {"a wrapped dbt in the freshness check's parse", wrapped_parse, "dbt", tool_or_job, false},
      {"a wrapped dbt in the baseline's parse", wrapped_parse, "dbt", plus(tool_or_job, {ctrl_c})},
      {"git checking out the worktree", {}, "checkout",
       plus(tool_or_job, {ctrl_c, ctrl_c_again, terminal_closed})},
      {"dbt deps with a descendant writing", writing_deps, "dbt", plus(tool_or_job, {ctrl_c})},
      // Its reader goes away half a second after the last signal.
      {"standard output stalled", {}, "plan", tool_or_job, true, true},
  };
  const fs::path pid_file = dir_ / "dbt-pid";
  const fs::path checkout_mark = dir_ / "checkout-started";
  const fs::path manifest = shop() / "target/manifest.json";
  std::mt19937_64 random(std::random_device{}());
  for (const Situation& situation : situations) {
    Env dbt_env;
    for (auto [name, value] : situation.dbt_env) {
      if (const auto at = value.find("{pid}"); at != std::string::npos) {
        value.replace(at, 5, pid_file.string());
      }
      dbt_env.emplace_back(name, value);
    }
    if (situation.stalled_stdout) {
      // Enough models for the tree to fill the stalled pipe many times over.
      for (int i = 0; i < 300; ++i) {
        std::string name = "m";
        name += std::to_string(i);
        write_file(shop() / "models/many" / (name + ".sql"), "select 1\n");
      }
    }
    const fs::path when = situation.when == "dbt"        ? pid_file
                          : situation.when == "checkout" ? checkout_mark
                                                         : shop() / "target/velk/dbt_plan.json";
    for (const Stop& stop : situation.stops) {
      SCOPED_TRACE(situation.what + ", " + stop.what);
      slow_checkout(false);
      if (!situation.fresh_manifest) fs::remove(manifest);
      if (situation.fresh_manifest && !fs::exists(manifest)) {
        const ToolRun prepared = run(with_window({}), {});
        ASSERT_EQ(prepared.status, 0) << describe(prepared);
      }
      slow_checkout(situation.when == "checkout");
      fs::remove_all(shop() / "target/velk");
      fs::remove(pid_file);
      fs::remove(checkout_mark);

      std::vector<SignalAt> signals;
      for (int i = 0; i < stop.times; ++i) {
        // The first lands at once (with a stalled output, once the tree is
        // being written), each further one a moment after the one before.
        const int first = situation.stalled_stdout ? 300 : 0;
        signals.push_back({when, stop.signal, stop.from == From::job,
                           std::chrono::milliseconds(i == 0 ? first : 20 + random() % 150)});
      }
      const std::string tag = std::to_string(random());
      ToolLaunch launch{.env = {{kRunTag, tag}, {"SLOW_CHECKOUT_MARK", checkout_mark.string()}},
                        .stalled_stdout = situation.stalled_stdout};
      std::vector<std::string> args = with_window({"--html"});
      if (situation.stalled_stdout) args.push_back("--pretty");
      const ToolRun result =
          stop.from == From::terminal
              ? run_tool_on_terminal(shop(), full_args(args, dbt_env, launch), launch, signals)
              : run(args, dbt_env, launch, signals);
      const auto files_at_exit = shop_files();

      EXPECT_EQ(result.signal, stop.signal) << describe(result);
      EXPECT_EQ(result.err, "error: interrupted by " + signal_name(stop.signal) + "\n");
      if (!situation.stalled_stdout) {
        EXPECT_EQ(result.out, "");
      }
      EXPECT_TRUE(fs::exists(when)) << "the stop came before " << situation.when;
      // In the foreground of a terminal, what the tool's child started got
      // the terminal's signal itself and may take a moment more to end.
      std::vector<std::string> alive = live_processes_with(std::string(kRunTag) + "=" + tag);
      for (int wait = 0; stop.from == From::terminal && !alive.empty() && wait < 100; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        alive = live_processes_with(std::string(kRunTag) + "=" + tag);
      }
      EXPECT_EQ(alive, std::vector<std::string>{});
      for (const std::string& process : alive) ::kill(std::stoi(process), SIGKILL);
      expect_nothing_left();
      // Stopped before the plan was written, the run wrote none.
      if (!situation.stalled_stdout) {
        EXPECT_FALSE(fs::exists(shop() / "target/velk"));
      }
      if (!situation.fresh_manifest) {
        EXPECT_FALSE(fs::exists(manifest)) << "written by a dbt left running";
      }
      EXPECT_EQ(shop_files(), files_at_exit) << "written into the project after the run";
    }
  }
}

// A run started in the background of a terminal, whose dbt deps asks for a
// password there (a private package's git credential prompt): the terminal
// stops the whole job at the prompt, and the shell's fg brings it forward
// and continues it, dbt with it, so that dbt reads the answer typed; a
// Ctrl-C typed after the fg reaches that dbt at once, as in the foreground.
TEST_F(Cleanup, ABackgroundRunBroughtForwardAnswersDbtsPromptOrEndsAtCtrlC) {
  struct Case {
    const char* what;
    const char* keys;
    const char* answer;  // what dbt read
  };
  const Case cases[] = {{"the answer typed", "secret\n", "secret"},
                        {"Ctrl-C", "\x03", "interrupted"}};
  const fs::path asking = dir_ / "asking";
  const fs::path answer = dir_ / "asking.answer";
  std::mt19937_64 random(std::random_device{}());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(asking);
    fs::remove(answer);
    fs::remove_all(shop() / "target/velk");
    const std::string tag = std::to_string(random());
    ToolLaunch launch{.env = {{kRunTag, tag}}};
    const std::vector<std::string> args =
        full_args(with_window({}), {{"FAKE_DBT_ASK", "deps:" + asking.string()}}, launch);
    const ToolRun result = run_tool_brought_forward(shop(), args, launch, asking, c.keys);

    EXPECT_EQ(fs::exists(answer) ? read_file(answer) : "(nothing)", c.answer) << describe(result);
    EXPECT_EQ(result.out, "");
    if (c.keys == std::string("\x03")) {
      EXPECT_EQ(result.signal, SIGINT) << describe(result);
      EXPECT_EQ(result.err, "error: interrupted by SIGINT\n");
      EXPECT_FALSE(fs::exists(shop() / "target/velk"));
    } else {
      EXPECT_EQ(result.status, 0) << describe(result);
      EXPECT_EQ(result.err, "");
      EXPECT_TRUE(fs::exists(shop() / "target/velk/dbt_plan.json"));
    }
    std::vector<std::string> alive = live_processes_with(std::string(kRunTag) + "=" + tag);
    EXPECT_EQ(alive, std::vector<std::string>{});
    for (const std::string& process : alive) ::kill(std::stoi(process), SIGKILL);
    expect_nothing_left();
  }
}

}  // namespace
