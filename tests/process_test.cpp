// Child processes: arguments, working directory, captured streams, wait
// status, start failures and what the child inherits.
#include "process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "signals.h"
#include "support/terminal.h"
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

// A process that a stop may reach, in Python so that it can catch SIGINT
// even where it is started in the background of a shell. `probe.py ROLE LOG`
// appends "ROLE NAME" to LOG for each stop signal it gets and ends a fifth
// of a second after the first, so that a second one would show. The child
// starts a grandchild (`probe.py GRANDCHILD LOG`), writes its process id to
// LOG.grandchild once it is ready, and sends SIGNAL to its parent (us) three
// times, as a Ctrl-C pressed again and again would come. A deaf grandchild
// ignores every stop signal.
constexpr const char* kProbe = R"(import os, signal, subprocess, sys, time
role, log = sys.argv[1], sys.argv[2]
got = []
def note(number, frame):
    got.append(number)
    with open(log, 'a') as f:
        f.write(role + ' ' + signal.Signals(number).name + '\n')
for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
    signal.signal(stop, signal.SIG_IGN if role == 'deaf' else note)
if role == 'child':
    grandchild = subprocess.Popen([sys.executable, sys.argv[0], sys.argv[4], log])
    while not os.path.exists(log + '.ready'):
        time.sleep(0.005)
    with open(log + '.grandchild', 'w') as f:
        f.write(str(grandchild.pid))
    for _ in range(3):
        os.kill(os.getppid(), getattr(signal, sys.argv[3]))
        time.sleep(0.02)
else:
    open(log + '.ready', 'w').close()
deadline = time.time() + 10
while not got and time.time() < deadline:
    time.sleep(0.005)
time.sleep(0.2)
)";

std::string python() { return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3"; }

// Whether the process exists and is not a zombie.
bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t after = text.rfind(')');
  return after != std::string::npos && after + 2 < text.size() && text[after + 2] != 'Z';
}

// What a probe child and its grandchild noted, and whether the grandchild
// was still alive when run_process came back (it is killed then).
std::string probed_stop(const std::string& signal, const std::string& grandchild,
                        const ChildOptions& options = {}) {
  TempDir dir;
  write_file(dir / "probe.py", kProbe);
  const std::filesystem::path log = dir / "log";
  catch_stop_signals();
  const auto output = run_process(
      python(), {(dir / "probe.py").string(), "child", log.string(), signal, grandchild},
      std::nullopt, options);
  std::string seen = output ? "no error\n" : "error " + std::to_string(output.error().value()) + "\n";
  if (std::filesystem::exists(log)) {
    std::vector<std::string> lines;
    std::istringstream noted(read_file(log));
    for (std::string line; std::getline(noted, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    for (const auto& line : lines) seen += line + "\n";
  }
  if (std::filesystem::exists(log.string() + ".grandchild")) {
    const pid_t pid = std::stoi(read_file(log.string() + ".grandchild"));
    if (alive(pid)) {
      seen += "grandchild alive\n";
      ::kill(pid, SIGKILL);
    }
  }
  return seen;
}

// Without a terminal (a CI job, a supervisor) the child leads a group of its
// own, and a stop reaches its descendants too: the signal we got, once.
TEST(Process, AStopSendsTheChildsWholeGroupTheSignalWeGotOnce) {
  struct Case {
    const char* signal;
    const char* grandchild;
    std::string seen;
  };
  const std::string eintr = "error " + std::to_string(EINTR) + "\n";
  const Case cases[] = {
      {"SIGINT", "grandchild", eintr + "child SIGINT\ngrandchild SIGINT\n"},
      {"SIGTERM", "grandchild", eintr + "child SIGTERM\ngrandchild SIGTERM\n"},
      {"SIGHUP", "grandchild", eintr + "child SIGTERM\ngrandchild SIGTERM\n"},
      // Waited for after the child has gone, until SIGKILL ends it.
      {"SIGTERM", "deaf", eintr + "child SIGTERM\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.signal) + " with a " + c.grandchild);
    const Forked forked = in_forked_process([&] {
      ::setsid();  // no controlling terminal
      return probed_stop(c.signal, c.grandchild, {.kill_after = std::chrono::milliseconds(500)});
    });
    ASSERT_TRUE(WIFEXITED(forked.wait_status) && WEXITSTATUS(forked.wait_status) == 0)
        << "the run did not come back: " << forked.wait_status;
    EXPECT_EQ(forked.text, c.seen);
  }
}

// In the foreground of a terminal the child shares our group, which the
// terminal's Ctrl-C reaches whole; a stop signal of ours goes to the child
// alone: the same one, since the terminal's SIGINT or SIGHUP may already be
// there, and a different signal landing in its clean-up could abort it.
TEST(Process, InATerminalsForegroundAStopSendsTheChildAloneTheSignalWeGot) {
  const std::pair<const char*, const char*> cases[] = {
      {"SIGINT", "child SIGINT\n"}, {"SIGTERM", "child SIGTERM\n"}, {"SIGHUP", "child SIGHUP\n"}};
  for (const auto& [signal, seen] : cases) {
    SCOPED_TRACE(signal);
    TerminalJob job([signal = std::string(signal)] { return probed_stop(signal, "grandchild"); },
                    true);
    const Forked forked = job.wait();
    ASSERT_TRUE(WIFEXITED(forked.wait_status) && WEXITSTATUS(forked.wait_status) == 0)
        << "the run did not come back: " << forked.wait_status;
    EXPECT_EQ(forked.text, "error " + std::to_string(EINTR) + "\n" + seen + "grandchild alive\n");
  }
}

// With a controlling terminal the child shares our group, foreground job or
// background one alike, as every member of a shell's job does: it reads a
// line typed at the terminal, as a password prompt does, once the job is in
// the foreground; from the background the terminal stops the whole job
// until the shell's fg brings it forward and continues it.
TEST(Process, AChildSharesOurGroupWheneverWeHaveATerminal) {
  // The child's process group, as "shared", "own" or "failed"; when asked,
  // it first writes its process id to `asking` and reads a line from the
  // terminal.
  const auto child_group = [](const std::string& asking) {
    const std::string script =
        asking.empty() ? "ps -o pgid= -p $$"
                       : "echo $$ > \"$0.new\" && mv \"$0.new\" \"$0\"; read line < /dev/tty; "
                         "echo $line; ps -o pgid= -p $$";
    const auto output = run_process("sh", {"-c", script, asking}, std::nullopt);
    if (!output || !output->succeeded()) return std::string("failed");
    std::istringstream lines(output->stdout_bytes);
    std::string typed;
    if (!asking.empty()) std::getline(lines, typed);
    pid_t group = 0;
    lines >> group;
    const std::string shown = group == ::getpgrp() ? "shared" : "own";
    return (asking.empty() ? "" : "read " + typed + ", ") + shown;
  };
  const TempDir dir;
  const std::string asking = (dir / "asking").string();

  TerminalJob foreground([&] { return child_group(asking); }, true);
  foreground.type("secret\n");
  EXPECT_EQ(foreground.wait().text, "read secret, shared");
  std::filesystem::remove(asking);

  TerminalJob background([&] { return child_group(asking); }, false, 10);
  ASSERT_TRUE(background.wait_for_stopped_reader(asking))
      << "a read from the background stops the reader";
  background.bring_to_foreground();
  background.type("secret\n");
  EXPECT_EQ(background.wait().text, "read secret, shared");

  TerminalJob background_quiet([&] { return child_group(""); }, false);
  EXPECT_EQ(background_quiet.wait().text, "shared");

  const Forked without_terminal = in_forked_process([&] {
    ::setsid();
    return child_group("");
  });
  EXPECT_EQ(without_terminal.text, "own");
}

// Without a stop, what the child leaves running is not waited for.
TEST(Process, WithoutAStopTheChildsDescendantsAreNotWaitedFor) {
  const Forked forked = in_forked_process([] {
    ::setsid();
    const auto output = run_process("sh", {"-c", "sleep 10 >/dev/null 2>&1 & echo $!"}, std::nullopt);
    if (!output) return std::string("error");
    const pid_t sleeper = std::stoi(output->stdout_bytes);
    const bool running = alive(sleeper);
    ::kill(sleeper, SIGKILL);
    return std::string(running ? "still running" : "gone");
  });
  EXPECT_EQ(forked.text, "still running");
}

}  // namespace
