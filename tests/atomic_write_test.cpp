// The atomic file writer against a real file system, in temporary
// directories: where the temporary file goes, what is left after a failure,
// the messages, and the mode of the new file.
#include "atomic_write.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "signals.h"
#include "support/fake_dbt.h"
#include "support/run_tool.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

mode_t current_umask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

mode_t mode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

// Names in the directory that start with ".tmp".
std::vector<std::string> temp_files(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".tmp", 0) == 0) names.push_back(name);
  }
  return names;
}

std::string error_of(const tl::expected<void, std::string>& result) {
  return result ? std::string("(success)") : result.error();
}

TEST(ParentDirectory, RemovesTheLastComponentByPathArithmetic) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"plan.json", ""},
      {"target/velk/dbt_plan.json", "target/velk"},
      {"/plan.json", "/"},
      {"//plan.json", "/"},
      {"a//b", "a"},
      {"a/b/", "a"},
      {"a/b/.", "a"},
      {"./plan.json", "."},
      {"../plan.json", ".."},
      {".", ""},
      {"/", std::nullopt},
      {"//", std::nullopt},
      {"/.", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [path, expected] : cases) {
    const std::optional<fs::path> parent = parent_directory(path);
    ASSERT_EQ(parent.has_value(), expected.has_value()) << path;
    if (parent) {
      EXPECT_EQ(parent->native(), *expected) << path;
    }
  }
}

TEST(WriteAtomically, BareFileNameIsWrittenInTheCurrentDirectory) {
  TempDir dir;
  {
    CurrentDirectory in(dir.path());
    ASSERT_EQ(error_of(write_atomically("plan.json", "{}")), "(success)");
  }
  EXPECT_EQ(read_file(dir / "plan.json"), "{}");
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(WriteAtomically, CreatesMissingParentDirectories) {
  TempDir dir;
  const fs::path destination = dir / "target/velk/deeper/dbt_plan.json";
  ASSERT_EQ(error_of(write_atomically(destination, "plan")), "(success)");
  EXPECT_EQ(read_file(destination), "plan");
  EXPECT_EQ(mode_of(dir / "target/velk/deeper"), 0777 & ~current_umask());
  EXPECT_TRUE(temp_files(destination.parent_path()).empty());

  // A relative destination with missing directories, from the current one.
  {
    CurrentDirectory in(dir.path());
    ASSERT_EQ(error_of(write_atomically("out/new/plan.json", "relative")), "(success)");
  }
  EXPECT_EQ(read_file(dir / "out/new/plan.json"), "relative");
}

TEST(WriteAtomically, ContentIsWrittenWhole) {
  TempDir dir;
  std::string large(3 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31 % 251);
  for (const std::string& content : {std::string(), std::string("x"), large}) {
    const fs::path destination = dir / "plan.json";
    ASSERT_EQ(error_of(write_atomically(destination, content)), "(success)");
    EXPECT_EQ(read_file(destination), content) << content.size();
  }
}

// Sets the process umask for the life of the value.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : saved_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(saved_); }
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;

 private:
  mode_t saved_;
};

// A new file is as readable as one created directly under the umask; a
// replaced file keeps its permission bits, wider or narrower than the
// umask would give, and a link is replaced by a file with its target's.
TEST(WriteAtomically, NewFileFollowsTheUmaskAndAReplacedFileKeepsItsMode) {
  struct Case {
    mode_t umask;
    std::optional<mode_t> existing;  // the mode of the file replaced, if any
    bool through_link;
    mode_t expected;
  };
  const Case cases[] = {
      {022, std::nullopt, false, 0644}, {027, std::nullopt, false, 0640},
      {077, std::nullopt, false, 0600}, {0, std::nullopt, false, 0666},
      {022, 0664, false, 0664},         {022, 0600, false, 0600},
      {077, 0644, false, 0644},         {022, 0640, true, 0640},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path destination = dir / "plan.json";
    if (c.existing) {
      const fs::path file = c.through_link ? dir / "elsewhere.json" : destination;
      write_file(file, "old content");
      ASSERT_EQ(::chmod(file.c_str(), *c.existing), 0);
      if (c.through_link) fs::create_symlink(file, destination);
    }
    {
      const ScopedUmask mask(c.umask);
      ASSERT_EQ(error_of(write_atomically(destination, "new")), "(success)");
    }
    EXPECT_EQ(read_file(destination), "new");
    EXPECT_FALSE(fs::is_symlink(destination));
    EXPECT_EQ(mode_of(destination), c.expected)
        << std::oct << "umask " << c.umask << ", existing " << c.existing.value_or(0);
  }
}

// The whole tool under the umask of the shell that starts it: the plan
// document, the report and an --output-file are as readable as the files
// dbt writes beside them, and a plan the user opened up or locked down
// keeps that mode when the next run replaces it.
TEST(OutputFileModes, EveryFileTheToolWritesFollowsTheUmaskOrTheReplacedFile) {
  struct Case {
    std::string name;
    mode_t umask;
    bool output_file;                // -o out/plan.json instead of the default place
    std::optional<mode_t> existing;  // the mode of a plan document already there
    mode_t plan;                     // the plan document's mode afterwards
  };
  const Case cases[] = {
      {"new files, umask 022", 022, false, std::nullopt, 0644},
      {"new files, umask 027", 027, false, std::nullopt, 0640},
      {"new --output-file, umask 022", 022, true, std::nullopt, 0644},
      {"new --output-file, umask 027", 027, true, std::nullopt, 0640},
      {"replaced plan of mode 0664", 022, false, 0664, 0664},
      {"replaced plan of mode 0600", 022, false, 0600, 0600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    write_dbt_project(dir.path(), "shop", {{"orders", "select 1\n"}});
    const fs::path plan =
        c.output_file ? dir / "out/plan.json" : dir / "target/velk/dbt_plan.json";
    if (c.existing) {
      write_file(plan, "{}");
      ASSERT_EQ(::chmod(plan.c_str(), *c.existing), 0);
    }
    std::vector<std::string> args = {"--select", "orders", "--dbt-command", fake_dbt_command(),
                                     "--event-time-start", "2024-03-10", "--event-time-end",
                                     "2024-03-10", "--html"};
    if (c.output_file) args.insert(args.end(), {"--output-file", "out/plan.json"});
    std::ostringstream umask_command;
    umask_command << "umask " << std::oct << c.umask << ";";
    const ToolRun run = run_tool(dir.path(), args, ToolLaunch{.before = umask_command.str()});
    ASSERT_EQ(run.status, 0) << describe(run);
    EXPECT_EQ(mode_of(plan), c.plan) << std::oct << mode_of(plan);
    std::vector<fs::path> reports;
    for (const auto& entry : fs::directory_iterator(dir / "target/velk/dbt-plan")) {
      reports.push_back(entry.path());
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(mode_of(reports[0]), 0666 & ~c.umask) << std::oct << mode_of(reports[0]);
  }
}

TEST(WriteAtomically, PathWithoutParentIsRefusedInQuotedForm) {
  EXPECT_EQ(error_of(write_atomically("/", "x")), "\"/\" has no parent directory");
  EXPECT_EQ(error_of(write_atomically("", "x")), "\"\" has no parent directory");
}

TEST(WriteAtomically, ParentThatIsARegularFileCannotBeCreated) {
  TempDir dir;
  write_file(dir / "file", "not a directory");
  const std::pair<fs::path, std::string> cases[] = {
      {dir / "file/plan.json",
       "could not create " + (dir / "file").string() + ": File exists (os error 17)"},
      {dir / "file/sub/plan.json",
       "could not create " + (dir / "file/sub").string() + ": Not a directory (os error 20)"},
  };
  for (const auto& [destination, expected] : cases) {
    EXPECT_EQ(error_of(write_atomically(destination, "x")), expected);
  }
  EXPECT_EQ(read_file(dir / "file"), "not a directory");
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

TEST(WriteAtomically, DirectoryAtTheDestinationFailsTheRenameAndLeavesNoTempFile) {
  TempDir dir;
  const fs::path destination = dir / "plan.json";
  fs::create_directories(destination / "inside");
  EXPECT_EQ(error_of(write_atomically(destination, "x")),
            "could not write " + destination.string() + ": Is a directory (os error 21)");
  EXPECT_TRUE(fs::is_directory(destination / "inside"));
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

const std::regex kTempPathCause(
    R"((.+): [^:]+ \(os error \d+\) at path "(/.*)/\.tmp[A-Za-z0-9]{6}")");

TEST(WriteAtomically, TempFileThatCannotBeCreatedNamesItsAbsolutePath) {
  TempDir dir;
  const fs::path locked = dir / "locked";
  fs::create_directory(locked);
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  if (::access(locked.c_str(), W_OK) == 0) {
    GTEST_SKIP() << "this process may write into a read-only directory";
  }
  CurrentDirectory in(dir.path());
  const std::string message = error_of(write_atomically("locked/plan.json", "x"));
  std::smatch match;
  ASSERT_TRUE(std::regex_match(message, match, kTempPathCause)) << message;
  EXPECT_EQ(match[1].str(), "could not create a temp file in locked");
  EXPECT_NE(message.find("Permission denied (os error 13)"), std::string::npos) << message;
  EXPECT_EQ(match[2].str(), locked.string());
  EXPECT_FALSE(fs::exists(locked / "plan.json"));
}

// Root may write anywhere it has permissions for, but not new files into /proc.
TEST(WriteAtomically, TempFileRefusedBySystemDirectory) {
  if (!fs::exists("/proc/self")) GTEST_SKIP() << "no /proc file system";
  const std::string message = error_of(write_atomically("/proc/plan.json", "x"));
  std::smatch match;
  ASSERT_TRUE(std::regex_match(message, match, kTempPathCause)) << message;
  EXPECT_EQ(match[1].str(), "could not create a temp file in /proc");
  EXPECT_EQ(match[2].str(), "/proc");
}

// In a child process whose file-size limit lets the first write through only
// in part: the writer continues, the next write fails, and the old file and
// the directory are left as they were.
TEST(WriteAtomically, FailedWriteKeepsTheOldFileAndRemovesTheTempFile) {
  TempDir dir;
  const fs::path destination = dir / "plan.json";
  write_file(destination, "old");
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 100;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const std::string message = error_of(write_atomically(destination, std::string(4096, 'n')));
    const ssize_t written = ::write(pipe_fds[1], message.data(), message.size());
    ::_exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  std::string message;
  char buffer[512];
  for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  std::smatch match;
  ASSERT_TRUE(std::regex_match(message, match, kTempPathCause)) << message;
  EXPECT_EQ(match[1].str(), "could not write " + destination.string());
  EXPECT_NE(message.find("File too large (os error 27) at path"), std::string::npos) << message;
  EXPECT_EQ(match[2].str(), dir.path().string());
  EXPECT_EQ(read_file(destination), "old");
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

// A run stopped by a signal while the document was written: the rename does
// not happen, so the old file stays whole and no temporary file is left.
TEST(WriteAtomically, AStopSignalLeavesTheDestinationAsItWas) {
  TempDir dir;
  const fs::path destination = dir / "plan.json";
  write_file(destination, "old");
  const Forked forked = in_forked_process([&] {
    catch_stop_signals();
    ::raise(SIGTERM);
    return error_of(write_atomically(destination, "new"));
  });
  ASSERT_TRUE(WIFEXITED(forked.wait_status)) << forked.wait_status;
  EXPECT_EQ(forked.text,
            "could not write " + destination.string() + ": Interrupted system call (os error 4)");
  EXPECT_EQ(read_file(destination), "old");
  EXPECT_TRUE(temp_files(dir.path()).empty());
}

}  // namespace
