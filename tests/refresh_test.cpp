// The manifest freshness check: which files count, the nanosecond
// comparison, the walk through links, and the `dbt parse` run.
#include "refresh.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <iterator>

#include <gtest/gtest.h>

#include "support/fake_dbt.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

const FileTime base_time{1'700'000'000, 500'000'000};

FileTime later(FileTime time, std::int64_t nanoseconds) {
  const std::int64_t total = time.nanoseconds + nanoseconds;
  std::int64_t seconds = time.seconds + total / 1'000'000'000;
  std::int64_t rest = total % 1'000'000'000;
  if (rest < 0) rest += 1'000'000'000, --seconds;
  return FileTime{seconds, static_cast<std::uint32_t>(rest)};
}

// Sets a file's (or, through a link, its target's) modification time.
void set_mtime(const fs::path& path, FileTime time) {
  struct timespec times[2];
  times[0].tv_sec = time.seconds;
  times[0].tv_nsec = time.nanoseconds;
  times[1] = times[0];
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

void write_at(const fs::path& path, FileTime time) {
  write_file(path, "x");
  set_mtime(path, time);
}

// A project whose only source is dbt_project.yml and whose manifest has the
// same time, so that it starts out fresh.
struct Project {
  TempDir dir;
  fs::path manifest = dir / "target/manifest.json";

  Project() {
    write_file(dir / "dbt_project.yml", "name: 'shop'\n");
    set_mtime(dir / "dbt_project.yml", base_time);
    write_at(manifest, base_time);
  }

  // With "false" as dbt, a run shows up as a failure.
  tl::expected<void, std::string> refresh(std::string_view dbt_command = "false",
                                          const std::vector<std::string>& dbt_args = {}) const {
    return refresh_manifest(dir.path(), manifest, dbt_command, dbt_args);
  }
};

const std::string false_failed =
    "`false parse` failed to refresh the manifest:\nstdout:\n\nstderr:\n";

TEST(Refresh, ComparesToTheNanosecond) {
  struct Case {
    const char* what;
    FileTime manifest;
    bool stale;
  };
  const Case cases[] = {
      {"equal", base_time, false},
      {"one nanosecond older", later(base_time, -1), true},
      {"one nanosecond newer", later(base_time, 1), false},
      {"a second older, more nanoseconds", {base_time.seconds - 1, 999'999'999}, true},
      {"same second, fewer nanoseconds", {base_time.seconds, 0}, true},
  };
  for (const auto& c : cases) {
    Project project;
    set_mtime(project.manifest, c.manifest);
    const auto result = project.refresh();
    EXPECT_EQ(!result.has_value(), c.stale) << c.what;
    if (!result) {
      EXPECT_EQ(result.error(), false_failed) << c.what;
    }
  }
}

TEST(Refresh, CountsTheFixedSourcePathsAndNothingElse) {
  struct Case {
    const char* file;
    bool counts;
  };
  const Case cases[] = {
      {"dbt_project.yml", true},
      {"packages.yml", true},
      {"dependencies.yml", true},
      {"models/orders.sql", true},
      {"models/staging/deep/stg_orders.sql", true},
      {"models/.hidden", true},
      {"models/schema.yml", true},
      {"macros/m.sql", true},
      {"seeds/s.csv", true},
      {"snapshots/s.sql", true},
      {"analyses/a.sql", true},
      {"tests/t.sql", true},
      {"target/run/orders.sql", false},
      {"logs/dbt.log", false},
      {"dbt_packages/p/models/x.sql", false},
      {"README.md", false},
      {"models_old/orders.sql", false},
      {"selectors.yml", false},
  };
  for (const auto& c : cases) {
    Project project;
    write_at(project.dir / c.file, later(base_time, 1));
    EXPECT_EQ(!project.refresh().has_value(), c.counts) << c.file;
  }
}

TEST(Refresh, DirectoriesThemselvesNeverCount) {
  Project project;
  fs::create_directories(project.dir / "models/empty/nested");
  set_mtime(project.dir / "models/empty/nested", later(base_time, 5'000'000'000));
  set_mtime(project.dir / "models/empty", later(base_time, 5'000'000'000));
  set_mtime(project.dir / "models", later(base_time, 5'000'000'000));
  EXPECT_TRUE(project.refresh().has_value());
}

TEST(Refresh, AMissingManifestIsStaleWhenAnySourceExists) {
  Project project;
  fs::remove(project.manifest);
  const auto result = project.refresh();
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), false_failed);
}

TEST(Refresh, AProjectWithoutSourcesIsLeftAlone) {
  TempDir dir;
  fs::create_directories(dir / "models/empty");
  EXPECT_TRUE(refresh_manifest(dir.path(), dir / "target/manifest.json", "false", {}).has_value());
}

TEST(Refresh, WalksASymlinkedModelsDirectory) {
  Project project;
  TempDir elsewhere;
  write_at(elsewhere / "real_models/orders.sql", later(base_time, 1));
  fs::create_directory_symlink(elsewhere / "real_models", project.dir / "models");
  EXPECT_FALSE(project.refresh().has_value());
}

TEST(Refresh, ReportsCommandProblemsOnlyWhenStale) {
  struct Case {
    const char* dbt_command;
    std::string message;
  };
  const Case cases[] = {
      {"'oops", "could not parse --dbt-command \"'oops\": missing closing quote"},
      {"dbt \"--target", "could not parse --dbt-command \"dbt \\\"--target\": missing closing quote"},
      {"", "--dbt-command resolved to an empty command"},
      {"  \t", "--dbt-command resolved to an empty command"},
      {"# only a comment", "--dbt-command resolved to an empty command"},
      {"velk-no-such-dbt --flag",
       "could not run `velk-no-such-dbt --flag parse`: No such file or directory (os error 2)"},
  };
  for (const auto& c : cases) {
    Project fresh;
    EXPECT_TRUE(fresh.refresh(c.dbt_command).has_value()) << c.dbt_command;
    Project stale;
    fs::remove(stale.manifest);
    const auto result = stale.refresh(c.dbt_command);
    ASSERT_FALSE(result.has_value()) << c.dbt_command;
    EXPECT_EQ(result.error(), c.message);
  }
}

TEST(Refresh, RunsParseInTheProjectWithTheDbtArguments) {
  Project project;
  write_file(project.dir / "models/orders.sql", "select 1");
  fs::remove(project.manifest);
  const fs::path log = project.dir / "dbt.log";
  const auto result = project.refresh(fake_dbt_command({{"FAKE_DBT_LOG", log.string()},
                                                        {"FAKE_DBT_WARN", "a warning"}}),
                                      {"--target", "ci run"});
  ASSERT_TRUE(result.has_value()) << result.error();
  const auto calls = read_dbt_log(log);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cwd, fs::canonical(project.dir.path()).string());
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"parse", "--target", "ci run"}));
  EXPECT_TRUE(fs::exists(project.manifest));
}

TEST(Refresh, AFailedParseShowsBothStreamsWholeAndDecoded) {
  Project project;
  fs::remove(project.manifest);
  const std::string command = fake_dbt_command({{"FAKE_DBT_FAIL", "parse"}});
  const auto failed = project.refresh(command);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(), "`" + command +
                                " parse` failed to refresh the manifest:\nstdout:\nfake-dbt parse "
                                "stdout\n\nstderr:\nfake-dbt parse stderr\n");

  const auto garbled = project.refresh("sh -c 'printf \"bad \\377\"; printf \" x\" >&2; kill -KILL $$'");
  ASSERT_FALSE(garbled.has_value());
  EXPECT_EQ(garbled.error(),
            "`sh -c 'printf \"bad \\377\"; printf \" x\" >&2; kill -KILL $$' parse` failed to "
            "refresh the manifest:\nstdout:\nbad \xEF\xBF\xBD\nstderr:\n x");
}

// Layouts for the walk itself, each with the newest time it must find.
struct WalkCase {
  const char* what;
  std::function<void(const fs::path& root, const fs::path& outside)> build;
  std::optional<FileTime> newest;
};

TEST(Refresh, WalkFollowsLinksAndSurvivesCycles) {
  const FileTime t1 = later(base_time, 1);
  const FileTime t2 = later(base_time, 2);
  const FileTime t3 = later(base_time, 3);
  const WalkCase cases[] = {
      {"missing directory", [](const fs::path&, const fs::path&) {}, std::nullopt},
      {"empty directory",
       [](const fs::path& root, const fs::path&) { fs::create_directories(root / "a/b"); },
       std::nullopt},
      {"newest of nested files",
       [&](const fs::path& root, const fs::path&) {
         write_at(root / "a.sql", t1);
         write_at(root / "x/y/z/.b.sql", t3);
         write_at(root / "x/c.sql", t2);
       },
       t3},
      {"a link to a file counts with the file's time",
       [&](const fs::path& root, const fs::path& outside) {
         write_at(root / "a.sql", t1);
         write_at(outside / "shared.sql", t3);
         fs::create_symlink(outside / "shared.sql", root / "shared.sql");
       },
       t3},
      {"a link to a directory outside is walked",
       [&](const fs::path& root, const fs::path& outside) {
         write_at(root / "a.sql", t1);
         write_at(outside / "lib/deep/b.sql", t2);
         fs::create_directory_symlink(outside / "lib", root / "lib");
       },
       t2},
      {"a broken link counts for nothing",
       [&](const fs::path& root, const fs::path& outside) {
         write_at(root / "a.sql", t1);
         fs::create_directories(root);
         fs::create_symlink(outside / "gone.sql", root / "gone.sql");
       },
       t1},
      {"a link back to the top ends",
       [&](const fs::path& root, const fs::path&) {
         write_at(root / "a/x.sql", t1);
         fs::create_directory_symlink("..", root / "a/up");
       },
       t1},
      {"a link to itself and mutual links end",
       [&](const fs::path& root, const fs::path& outside) {
         write_at(root / "a/x.sql", t1);
         fs::create_directory_symlink(".", root / "a/self");
         write_at(outside / "p/y.sql", t2);
         write_at(outside / "q/z.sql", t3);
         fs::create_directory_symlink(outside / "q", outside / "p/to_q");
         fs::create_directory_symlink(outside / "p", outside / "q/to_p");
         fs::create_directory_symlink(outside / "p", root / "p");
       },
       t3},
      {"a directory seen twice off the cycle still counts",
       [&](const fs::path& root, const fs::path&) {
         write_at(root / "first/x.sql", t1);
         // Through the link, `first` holds a link back up; the file below
         // the sibling is reached only by going through a link.
         fs::create_directory_symlink("../..", root / "first/loop");
         write_at(root / "second/deep/y.sql", t3);
         fs::create_directory_symlink("../second", root / "first/to_second");
       },
       t3},
  };
  for (const auto& c : cases) {
    TempDir root;
    TempDir outside;
    c.build(root / "models", outside.path());
    std::optional<FileTime> newest;
    newest_source_mtime(root / "models", newest);
    EXPECT_EQ(newest, c.newest) << c.what;
  }
}

TEST(Refresh, AWalkOutOfDescriptorsNeverCallsTheManifestFresh) {
  TempDir root;
  fs::path deep = root / "models";
  for (int level = 0; level < 40; ++level) deep /= "d";
  write_at(deep / "model.sql", later(base_time, 1));

  // Room for only a few more open descriptors than the process holds now.
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  const auto open_now = static_cast<rlim_t>(std::distance(fs::directory_iterator("/proc/self/fd"),
                                                          fs::directory_iterator{}));
  rlimit tight = before;
  tight.rlim_cur = open_now + 8;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::optional<FileTime> newest;
  newest_source_mtime(root / "models", newest);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &before), 0);

  ASSERT_TRUE(newest.has_value());
  EXPECT_GT(*newest, later(base_time, 1));
}

TEST(Refresh, WalkOnlyReplacesTheNewestWithALaterTime) {
  TempDir root;
  write_at(root / "a.sql", base_time);
  std::optional<FileTime> newest = later(base_time, 1);
  newest_source_mtime(root.path(), newest);
  EXPECT_EQ(newest, later(base_time, 1));
}

}  // namespace
