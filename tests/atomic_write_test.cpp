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
#include <string>
#include <vector>

#include "signals.h"
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

TEST(WriteAtomically, ReplacedFileGetsOwnerOnlyMode) {
  TempDir dir;
  const fs::path destination = dir / "plan.json";
  write_file(destination, "old content that is longer");
  ASSERT_EQ(::chmod(destination.c_str(), 0644), 0);
  ASSERT_EQ(error_of(write_atomically(destination, "new")), "(success)");
  EXPECT_EQ(read_file(destination), "new");
  EXPECT_EQ(mode_of(destination), 0600 & ~current_umask());
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
