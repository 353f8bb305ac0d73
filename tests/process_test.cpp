// Child processes: arguments, working directory, captured streams, wait
// status, start failures and what the child inherits.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>

#include <gtest/gtest.h>

#include "signals.h"
#include "support/test_support.h"

namespace {

using Args = std::vector<std::string>;

ProcessOutput run_ok(std::string_view program, const Args& args,
                     const std::optional<std::filesystem::path>& cwd = std::nullopt) {
  auto output = run_process(program, args, cwd);
  if (!output) {
    ADD_FAILURE() << program << ": " << output.error().message();
    return {};
  }
  return *output;
}

struct RunCase {
  const char* what;
  const char* program;
  Args args;
  std::string stdout_bytes;
  std::string stderr_bytes;
  bool succeeds;
};

TEST(Process, CapturesBothStreamsAndJudgesTheWaitStatus) {
  const RunCase cases[] = {
      {"both streams", "sh", {"-c", "printf out; printf err >&2"}, "out", "err", true},
      {"non-zero exit keeps its output", "sh", {"-c", "echo out; echo err >&2; exit 3"}, "out\n", "err\n", false},
      {"death by a signal keeps what came before", "sh", {"-c", "printf partial; kill -KILL $$"}, "partial", "", false},
      {"bytes pass unchanged", "printf", {"a\\377\\r\\nb"}, "a\xFF\r\nb", "", true},
      {"blanks stay inside one argument", "printf", {"[%s]", "a b", "", "c"}, "[a b][][c]", "", true},
      {"no shell expands anything", "echo", {"$HOME", "*", "`id`"}, "$HOME * `id`\n", "", true},
      {"standard input is empty", "cat", {}, "", "", true},
      {"standard input is the null device", "readlink", {"/proc/self/fd/0"}, "/dev/null\n", "", true},
  };
  for (const auto& c : cases) {
    const ProcessOutput output = run_ok(c.program, c.args);
    EXPECT_EQ(output.stdout_bytes, c.stdout_bytes) << c.what;
    EXPECT_EQ(output.stderr_bytes, c.stderr_bytes) << c.what;
    EXPECT_EQ(output.succeeded(), c.succeeds) << c.what;
  }
}

TEST(Process, ReportsHowTheChildEnded) {
  const int exited = run_ok("sh", {"-c", "exit 7"}).wait_status;
  ASSERT_TRUE(WIFEXITED(exited));
  EXPECT_EQ(WEXITSTATUS(exited), 7);
  const int killed = run_ok("sh", {"-c", "kill -TERM $$"}).wait_status;
  ASSERT_TRUE(WIFSIGNALED(killed));
  EXPECT_EQ(WTERMSIG(killed), SIGTERM);
}

TEST(Process, RunsInTheGivenWorkingDirectory) {
  TempDir dir;
  EXPECT_EQ(run_ok("pwd", {}, dir.path()).stdout_bytes,
            std::filesystem::canonical(dir.path()).string() + "\n");
  EXPECT_EQ(run_ok("pwd", {}).stdout_bytes, std::filesystem::current_path().string() + "\n");
}

TEST(Process, SearchesThePathOnlyForANameWithoutASlash) {
  TempDir dir;
  write_file(dir / "tool", "#!/bin/sh\necho from tool\n");
  std::filesystem::permissions(dir / "tool", std::filesystem::perms::owner_all);
  // A relative name with a slash is taken against the child's directory.
  EXPECT_EQ(run_ok("./tool", {}, dir.path()).stdout_bytes, "from tool\n");
  const auto bare = run_process("tool", {}, dir.path());
  ASSERT_FALSE(bare.has_value());
  EXPECT_EQ(bare.error().value(), ENOENT);
}

TEST(Process, StartFailuresCarryTheRealReason) {
  TempDir dir;
  write_file(dir / "not-executable", "#!/bin/sh\n");
  struct Case {
    const char* what;
    std::string program;
    Args args;
    std::optional<std::filesystem::path> cwd;
    int code;
  };
  const Case cases[] = {
      {"program not found", "velk-no-such-program", {}, std::nullopt, ENOENT},
      {"program path missing", (dir / "missing").string(), {}, std::nullopt, ENOENT},
      {"not executable", (dir / "not-executable").string(), {}, std::nullopt, EACCES},
      {"working directory missing", "true", {}, dir / "no-such-dir", ENOENT},
      {"nul byte in an argument", "sh", {"-c", std::string("touch marker\0x", 14)}, dir.path(), EINVAL},
      {"nul byte in the program", std::string("sh\0x", 4), {"-c", "touch marker"}, dir.path(), EINVAL},
  };
  for (const auto& c : cases) {
    const auto output = run_process(c.program, c.args, c.cwd);
    ASSERT_FALSE(output.has_value()) << c.what;
    EXPECT_EQ(output.error().value(), c.code) << c.what << ": " << output.error().message();
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "marker")) << "a refused command must not run";
}

TEST(Process, DrainsMegabytesOnBothStreamsWithoutStalling) {
  // Standard error first: reading standard output to its end before
  // touching standard error would leave the child blocked on a full pipe.
  const std::size_t size = 4 * 1024 * 1024;
  const std::string script = "head -c " + std::to_string(size) + " /dev/zero >&2; head -c " +
                             std::to_string(size + 1) + " /dev/zero";
  const ProcessOutput output = run_ok("sh", {"-c", script});
  EXPECT_TRUE(output.succeeded());
  EXPECT_EQ(output.stdout_bytes.size(), size + 1);
  EXPECT_EQ(output.stderr_bytes.size(), size);
  EXPECT_EQ(output.stdout_bytes.find_first_not_of('\0'), std::string::npos);
}

std::set<int> parse_fd_listing(const std::string& listing) {
  std::set<int> fds;
  std::size_t start = 0;
  while (start < listing.size()) {
    const std::size_t end = listing.find('\n', start);
    const std::string line = listing.substr(start, end - start);
    if (!line.empty()) fds.insert(std::stoi(line));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return fds;
}

TEST(Process, LeaksNoDescriptorOfOursIntoTheChild) {
  // Descriptors this test process inherited without close-on-exec may
  // legitimately pass on; ls adds one of its own to read the directory.
  std::set<int> inheritable;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    const int flags = ::fcntl(fd, F_GETFD);
    if (fd > 2 && flags >= 0 && !(flags & FD_CLOEXEC)) inheritable.insert(fd);
  }
  const ProcessOutput output = run_ok("ls", {"/proc/self/fd"});
  ASSERT_TRUE(output.succeeded()) << output.stderr_bytes;
  const std::set<int> child_fds = parse_fd_listing(output.stdout_bytes);
  for (int fd : {0, 1, 2}) EXPECT_TRUE(child_fds.count(fd)) << fd;
  std::set<int> unexplained;
  for (int fd : child_fds) {
    if (fd > 2 && !inheritable.count(fd)) unexplained.insert(fd);
  }
  EXPECT_LE(unexplained.size(), 1u) << "child saw: " << output.stdout_bytes;
}

TEST(Process, CapturesEvenWhenOurOwnStandardStreamsAreClosed) {
  // The pipes then get descriptors 0 to 2, which the child's redirections
  // must not confuse with its standard streams.
  int saved[3];
  for (int fd = 0; fd < 3; ++fd) saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
  for (int fd = 0; fd < 3; ++fd) ::close(fd);
  const auto output = run_process("sh", {"-c", "printf out; printf err >&2; cat"}, std::nullopt);
  for (int fd = 0; fd < 3; ++fd) {
    ::dup2(saved[fd], fd);
    ::close(saved[fd]);
  }
  ASSERT_TRUE(output.has_value()) << output.error().message();
  EXPECT_TRUE(output->succeeded());
  EXPECT_EQ(output->stdout_bytes, "out");
  EXPECT_EQ(output->stderr_bytes, "err");
}

TEST(Process, InheritsTheEnvironmentButNotAnIgnoredSigpipe) {
  const char* path = std::getenv("PATH");
  ASSERT_NE(path, nullptr);
  EXPECT_EQ(run_ok("sh", {"-c", "printf %s \"$PATH\""}).stdout_bytes, path);

  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  const ProcessOutput output = run_ok("grep", {"^SigIgn:", "/proc/self/status"});
  ::sigaction(SIGPIPE, &previous, nullptr);
  // SigIgn is a hexadecimal mask; SIGPIPE (13) is bit 12.
  const std::string mask = output.stdout_bytes.substr(output.stdout_bytes.find(':') + 1);
  EXPECT_EQ(std::stoull(mask, nullptr, 16) & (1ULL << (SIGPIPE - 1)), 0u) << output.stdout_bytes;
}

// What the run saw of a child that a stop signal met: the error code (0 for
// none) and the marker file the child left.
std::string stopped_run(const std::string& script, const std::filesystem::path& marker,
                        const ChildOptions& options = {}) {
  const auto output = run_process("sh", {"-c", script, marker.string()}, std::nullopt, options);
  std::string seen = "error " + std::to_string(output ? 0 : output.error().value());
  if (std::filesystem::exists(marker)) seen += ", marker " + read_file(marker);
  return seen;
}

// In each case the child sends the stop signal to us ($PPID) itself, so that
// it comes while the child runs; $0 is a marker file.
TEST(Process, AStopSignalEndsTheChildAndFailsWithEintr) {
  struct Case {
    const char* what;
    std::string script;
    bool signal_first;  // recorded before the child would start
    std::string seen;
  };
  const std::string eintr = "error " + std::to_string(EINTR);
  const Case cases[] = {
      {"the child gets SIGTERM, and its clean exit still fails the run",
       "trap 'echo TERM > \"$0\"; exit 0' TERM; kill -TERM $PPID; while :; do sleep 0.02; done",
       false, eintr + ", marker TERM\n"},
      {"a child ignoring SIGTERM gets SIGKILL",
       "trap '' TERM; kill -TERM $PPID; echo $$ > \"$0\"; exec sleep 30", false, ""},
      {"the output a child keeps writing is read while it ends",
       "trap 'head -c 1000000 /dev/zero; echo TERM > \"$0\"; exit 0' TERM; kill -TERM $PPID; "
       "while :; do sleep 0.02; done",
       false, eintr + ", marker TERM\n"},
      {"a signal before the start starts nothing", "echo ran > \"$0\"", true, eintr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::filesystem::path marker = dir / "marker";
    const Forked forked = in_forked_process([&] {
      catch_stop_signals();
      if (c.signal_first) ::raise(SIGTERM);
      return stopped_run(c.script, marker, {.kill_after = std::chrono::milliseconds(200)});
    });
    ASSERT_TRUE(WIFEXITED(forked.wait_status) && WEXITSTATUS(forked.wait_status) == 0)
        << "the run did not come back: " << forked.wait_status;
    if (!c.seen.empty()) {
      EXPECT_EQ(forked.text, c.seen);
      continue;
    }
    // The killed child is gone, reaped before the run came back.
    ASSERT_TRUE(forked.text.starts_with(eintr + ", marker ")) << forked.text;
    const pid_t child = std::stoi(read_file(marker));
    EXPECT_TRUE(::kill(child, 0) == -1 && errno == ESRCH) << child;
  }
}

TEST(Process, AShieldedChildRunsToItsEndInAGroupOfItsOwn) {
  const Forked forked = in_forked_process([] {
    catch_stop_signals();
    const auto output = run_process(
        "sh", {"-c", "kill -INT $PPID; sleep 0.2; [ \"$(ps -o pgid= -p $$)\" -eq $$ ] && echo own group"},
        std::nullopt, {.shielded = true});
    if (!output) return "error " + std::to_string(output.error().value());
    return output->stdout_bytes + "succeeded " + std::to_string(output->succeeded()) +
           ", recorded " + signal_name(received_stop_signal());
  });
  ASSERT_TRUE(WIFEXITED(forked.wait_status)) << forked.wait_status;
  EXPECT_EQ(forked.text, "own group\nsucceeded 1, recorded SIGINT");
}

// The run blocks the stop signals around the start and catches them; the
// child must see neither. One ignored since our start (nohup) stays ignored,
// in us and in the child.
TEST(Process, ChildrenStartWithTheStopSignalsAtDefaultAndUnblocked) {
  const Forked forked = in_forked_process([] {
    ::signal(SIGHUP, SIG_IGN);
    catch_stop_signals();
    struct sigaction hup {};
    ::sigaction(SIGHUP, nullptr, &hup);
    const auto output = run_process("grep", {"-E", "^Sig(Blk|Ign|Cgt):", "/proc/self/status"},
                                    std::nullopt);
    if (!output) return std::string("error");
    std::string seen = hup.sa_handler == SIG_IGN ? "we ignore SIGHUP;" : "we catch SIGHUP;";
    std::size_t start = 0;
    while (start < output->stdout_bytes.size()) {
      const std::size_t end = output->stdout_bytes.find('\n', start);
      const std::string line = output->stdout_bytes.substr(start, end - start);
      const unsigned long long mask = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
      seen += ' ';
      seen.append(line, 0, line.find(':'));
      for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        if (mask & (1ULL << (signal - 1))) seen.append(" ").append(signal_name(signal));
      }
      start = end + 1;
    }
    return seen;
  });
  ASSERT_TRUE(WIFEXITED(forked.wait_status)) << forked.wait_status;
  EXPECT_EQ(forked.text, "we ignore SIGHUP; SigBlk SigIgn SIGHUP SigCgt");
}

}  // namespace
