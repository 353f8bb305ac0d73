// Child processes through posix_spawnp, with both output streams drained by
// poll so that a child filling one pipe while we read the other cannot stall,
// and the stop signals watched the whole time the child runs; a stopped
// child's process group is watched until it is empty.
#include "process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "signals.h"
#include "utf8.h"

extern char** environ;

namespace {

std::error_code system_error_code(int code) { return {code, std::system_category()}; }

std::error_code last_error() { return system_error_code(errno); }

// An owned file descriptor, closed when dropped.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Spawn file actions and attributes, destroyed when dropped.
class SpawnActions {
 public:
  SpawnActions() { ok_ = posix_spawn_file_actions_init(&actions_) == 0; }
  ~SpawnActions() {
    if (ok_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  bool ok() const { return ok_; }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  bool ok_ = false;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { ok_ = posix_spawnattr_init(&attributes_) == 0; }
  ~SpawnAttributes() {
    if (ok_) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  bool ok() const { return ok_; }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  bool ok_ = false;
};

struct Pipe {
  Fd read_end;
  Fd write_end;
};

// Moves a close-on-exec descriptor to 3 or above, so that dup2 onto standard
// output or error in the child always makes a real copy (one without
// close-on-exec) even when our own standard streams were closed.
tl::expected<Fd, std::error_code> above_standard_streams(Fd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return tl::make_unexpected(last_error());
  return Fd(moved);
}

tl::expected<Pipe, std::error_code> make_pipe() {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return tl::make_unexpected(last_error());
  auto read_end = above_standard_streams(Fd(ends[0]));
  auto write_end = above_standard_streams(Fd(ends[1]));
  if (!read_end) return tl::make_unexpected(read_end.error());
  if (!write_end) return tl::make_unexpected(write_end.error());
  return Pipe{std::move(*read_end), std::move(*write_end)};
}

bool holds_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Blocks the stop signals for its lifetime, so that one can arrive only
// while ppoll waits (with the caller's mask) and never in the gap between a
// check and the wait.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    const sigset_t stop = stop_signal_set();
    ::pthread_sigmask(SIG_BLOCK, &stop, &callers_mask_);
  }
  ~StopSignalsBlocked() { ::pthread_sigmask(SIG_SETMASK, &callers_mask_, nullptr); }
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

  const sigset_t* callers_mask() const { return &callers_mask_; }

 private:
  sigset_t callers_mask_{};
};

// Whether this process has a controlling terminal, so that it runs as a job
// of a terminal's shell, in the foreground or in the background. False in
// CI jobs, containers without a terminal, services and daemons, and once
// the terminal has been hung up.
bool has_controlling_terminal() {
  const int tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (tty < 0) return false;
  ::close(tty);
  return true;
}

// What a child is sent for the stop signal we got. Never a signal different
// from one it may have already: git blocks a repeated signal while its
// clean-up runs, but a different one landing there aborts it half done. A
// child that shares our group may have the terminal's SIGINT or SIGHUP (a
// closed terminal's shell sends SIGHUP to the whole job), so it gets the
// very signal we got. One that leads its own group got nothing from the
// terminal: SIGINT stays SIGINT, and SIGHUP becomes SIGTERM, which every
// program takes as the request to stop.
int signal_for_child(int stop_signal, bool leads_group) {
  if (!leads_group || stop_signal == SIGINT) return stop_signal;
  return SIGTERM;
}

// Whether a live process other than `leader` belongs to the process group
// that `leader` leads, as /proc tells; false where /proc cannot be read.
// Zombies do not count: they are gone once their parent or init reaps them.
bool group_has_other_members(pid_t leader) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = ::readdir(proc);
    if (entry == nullptr) break;
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || pid == leader) continue;
    const std::string path = std::string("/proc/") + entry->d_name + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    char text[512];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) continue;
    text[got] = '\0';
    // "pid (command) state ppid pgrp ...": the command may hold anything,
    // so the fields are read after its last ')'.
    const char* after = std::strrchr(text, ')');
    char state = 0;
    long group = 0;
    if (after == nullptr || std::sscanf(after + 1, " %c %*d %ld", &state, &group) != 2) continue;
    found = group == leader && state != 'Z' && state != 'X';
  }
  ::closedir(proc);
  return found;
}

// A descriptor that becomes readable when the child exits, or -1 where the
// system has none. Through syscall(): glibc 2.36's <sys/pidfd.h> cannot be
// used from C++.
int open_exit_descriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

using SteadyClock = std::chrono::steady_clock;

timespec to_timespec(SteadyClock::duration duration) {
  const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  return timespec{static_cast<time_t>(nanoseconds / 1'000'000'000),
                  static_cast<long>(nanoseconds % 1'000'000'000)};
}

std::optional<SteadyClock::duration> earliest(std::optional<SteadyClock::duration> a,
                                              SteadyClock::duration b) {
  return a ? std::min(*a, b) : b;
}

// Where the system has no pidfd, a child's exit is looked for this often.
constexpr auto kExitCheckInterval = std::chrono::milliseconds(5);
// How often the group of a stopped child that has exited is looked at.
constexpr auto kGroupCheckInterval = std::chrono::milliseconds(20);
// How long the members of a group that got SIGKILL are given to go; one
// that SIGKILL cannot end at once (blocked in the kernel on a dead network
// file system, say) is not waited for beyond it.
constexpr auto kGoneAfterKill = std::chrono::seconds(2);

// A started child until it has been waited for: both pipes read to their
// ends, whichever has data first, and its exit noticed through a pidfd. The
// child is reaped only at the very end, so that its process id, and with it
// the id of the group it leads, cannot pass to another process while we may
// still signal it.
class RunningChild {
 public:
  RunningChild(pid_t pid, bool leads_group, Fd out, Fd err, const ChildOptions& options,
               const sigset_t* waiting_mask)
      : pid_(pid),
        leads_group_(leads_group),
        exit_fd_(open_exit_descriptor(pid)),
        pipes_{std::move(out), std::move(err)},
        options_(options),
        waiting_mask_(waiting_mask) {}

  // Reads and waits until the pipes are closed and the child is reaped.
  // Returns the wait status, or the first read error; the child is reaped
  // either way.
  tl::expected<int, std::error_code> finish(ProcessOutput& result) {
    std::string* sinks[2] = {&result.stdout_bytes, &result.stderr_bytes};
    while (!done()) {
      if (stopping_ && !killed_ && SteadyClock::now() >= kill_at_) {
        kill_now();
        continue;
      }
      if (auto waited = wait_once(sinks); !waited) return tl::make_unexpected(waited.error());
    }
    // What is still open is no longer wanted: after a stop, what a
    // descendant outside the group holds.
    close_pipes();
    if (auto reaped = reap(); !reaped) return tl::make_unexpected(reaped.error());
    if (read_error_) return tl::make_unexpected(read_error_);
    return status_;
  }

  // Whether a stop signal ended (or would have ended) the child.
  bool stopped() const { return stopping_; }

 private:
  // Whether nothing is left to wait for; begins the stop when a stop signal
  // has come since the last look.
  bool done() {
    if (!options_.shielded && !stopping_ && received_stop_signal() != 0) begin_stopping();
    if (!exited_) return false;
    if (!stopping_) return !pipes_open();
    // Stopped: its output is not wanted, but what is left of its group is
    // waited for, so that nothing it started outlives the run.
    if (!leads_group_) return true;
    const auto now = SteadyClock::now();
    if (killed_ && now >= given_up_at_) return true;
    if (now < next_group_check_) return false;
    next_group_check_ = now + kGroupCheckInterval;
    return !group_has_other_members(pid_);
  }

  bool pipes_open() const { return pipes_[0].get() >= 0 || pipes_[1].get() >= 0; }

  // After Ctrl-C in a terminal the child usually has the terminal's SIGINT
  // already; sending it again changes nothing for it. A leader that has
  // exited is still a zombie here, so its group id names no other group.
  void begin_stopping() {
    stopping_ = true;
    send(signal_for_child(received_stop_signal(), leads_group_));
    kill_at_ = SteadyClock::now() + options_.kill_after;
  }

  // What the child or a descendant still holds open is no longer read.
  void kill_now() {
    send(SIGKILL);
    killed_ = true;
    given_up_at_ = SteadyClock::now() + kGoneAfterKill;
    close_pipes();
  }

  // To the whole group the child leads, which outlives it as long as it is
  // unreaped; else to the child alone while it runs.
  void send(int signal) const {
    if (leads_group_) {
      ::kill(-pid_, signal);
    } else if (!exited_) {
      ::kill(pid_, signal);
    }
  }

  void close_pipes() {
    pipes_[0].reset();
    pipes_[1].reset();
  }

  // How long the next wait may sleep at most; none for no limit.
  std::optional<SteadyClock::duration> next_timeout() const {
    const auto now = SteadyClock::now();
    std::optional<SteadyClock::duration> timeout;
    if (stopping_ && !killed_) timeout = kill_at_ - now;
    if (killed_) timeout = earliest(timeout, given_up_at_ - now);
    if (!exited_ && exit_fd_.get() < 0) timeout = earliest(timeout, kExitCheckInterval);
    if (stopping_ && exited_ && leads_group_) {
      timeout = earliest(timeout, next_group_check_ - now);
    }
    return timeout;
  }

  // Sleeps until a pipe has data, the child exits, a signal comes or the
  // timeout passes, then reads what is there and notes whether the child has
  // exited. Fails only when the child cannot be waited for.
  tl::expected<void, std::error_code> wait_once(std::string* const sinks[2]) {
    pollfd fds[3];
    int watched = 0;
    int index_of[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
      if (pipes_[i].get() < 0) continue;
      index_of[i] = watched;
      fds[watched++] = {pipes_[i].get(), POLLIN, 0};
    }
    const int exit_index = exit_fd_.get() >= 0 && !exited_ ? watched : -1;
    if (exit_index >= 0) fds[watched++] = {exit_fd_.get(), POLLIN, 0};
    const auto timeout = next_timeout();
    timespec wait_time{};
    if (timeout) wait_time = to_timespec(std::max(*timeout, SteadyClock::duration::zero()));
    if (::ppoll(fds, static_cast<nfds_t>(watched), timeout ? &wait_time : nullptr,
                waiting_mask_) < 0) {
      if (errno == EINTR) return {};
      note_read_error(last_error());
      return reap();
    }
    for (int i = 0; i < 2; ++i) {
      if (index_of[i] >= 0 && fds[index_of[i]].revents != 0) read_from(i, *sinks[i]);
    }
    if (!exited_ && (exit_index < 0 || fds[exit_index].revents != 0)) return note_exit();
    return {};
  }

  void read_from(int i, std::string& sink) {
    char buffer[65536];
    const ssize_t got = ::read(pipes_[i].get(), buffer, sizeof buffer);
    if (got > 0) {
      sink.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      pipes_[i].reset();
    } else if (errno != EINTR && errno != EAGAIN) {
      note_read_error(last_error());
    }
  }

  // The first error is kept; nothing more is read after it.
  void note_read_error(std::error_code error) {
    if (!read_error_) read_error_ = error;
    close_pipes();
  }

  // Notes whether the child has exited, leaving it unreaped.
  tl::expected<void, std::error_code> note_exit() {
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
      if (errno == EINTR) return {};
      return tl::make_unexpected(last_error());
    }
    if (info.si_pid == pid_) exited_ = true;
    return {};
  }

  tl::expected<void, std::error_code> reap() {
    while (!reaped_ && ::waitpid(pid_, &status_, 0) < 0) {
      if (errno != EINTR) return tl::make_unexpected(last_error());
    }
    exited_ = true;
    reaped_ = true;
    return {};
  }

  pid_t pid_;
  bool leads_group_;  // of the process group whose id is pid_
  Fd exit_fd_;        // readable once the child has exited; -1 without pidfds
  Fd pipes_[2];
  const ChildOptions& options_;
  const sigset_t* waiting_mask_;
  std::error_code read_error_;
  int status_ = 0;
  bool exited_ = false;  // a zombie now, or reaped
  bool reaped_ = false;
  bool stopping_ = false;
  bool killed_ = false;
  SteadyClock::time_point kill_at_;
  SteadyClock::time_point given_up_at_;
  SteadyClock::time_point next_group_check_;  // the group is looked at no sooner
};

}  // namespace

tl::expected<ProcessOutput, std::error_code> run_process(
    std::string_view program, const std::vector<std::string>& args,
    const std::optional<std::filesystem::path>& cwd, const ChildOptions& options) {
  // A NUL byte would silently cut the argument short: refuse it as EINVAL.
  bool has_nul = holds_nul(program) || (cwd && holds_nul(cwd->native()));
  for (const auto& arg : args) has_nul = has_nul || holds_nul(arg);
  if (has_nul) return tl::make_unexpected(system_error_code(EINVAL));

  const StopSignalsBlocked blocked;
  const auto interrupted = [&options] { return !options.shielded && received_stop_signal() != 0; };
  if (interrupted()) return tl::make_unexpected(system_error_code(EINTR));

  const std::string program_text(program);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program_text.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  auto out = make_pipe();
  if (!out) return tl::make_unexpected(out.error());
  auto err = make_pipe();
  if (!err) return tl::make_unexpected(err.error());

  SpawnActions actions;
  if (!actions.ok()) return tl::make_unexpected(system_error_code(ENOMEM));
  int rc = posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0)
    rc = posix_spawn_file_actions_adddup2(actions.get(), out->write_end.get(), STDOUT_FILENO);
  if (rc == 0)
    rc = posix_spawn_file_actions_adddup2(actions.get(), err->write_end.get(), STDERR_FILENO);
  if (rc == 0 && cwd) rc = posix_spawn_file_actions_addchdir_np(actions.get(), cwd->c_str());
  if (rc != 0) return tl::make_unexpected(system_error_code(rc));

  // The program may ignore SIGPIPE; its children should not inherit that.
  // The stop signals need no entry: the exec itself sets the ones we catch
  // back to their default action, and one ignored since our start (nohup)
  // stays ignored in the child too. The mask is set, as the stop signals
  // are blocked here.
  SpawnAttributes attributes;
  if (!attributes.ok()) return tl::make_unexpected(system_error_code(ENOMEM));
  sigset_t default_signals;
  sigset_t no_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  sigemptyset(&no_signals);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  // A job's members share its group, which the shell's fg, bg, Ctrl-Z and
  // Ctrl-C reach whole: a child in a group of its own that reads the
  // terminal from the background would be stopped there and never
  // continued by fg.
  const bool leads_group = options.shielded || !has_controlling_terminal();
  if (leads_group) flags |= POSIX_SPAWN_SETPGROUP;  // a new group, led by the child
  rc = posix_spawnattr_setsigdefault(attributes.get(), &default_signals);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attributes.get(), &no_signals);
  if (rc == 0) rc = posix_spawnattr_setpgroup(attributes.get(), 0);
  if (rc == 0) rc = posix_spawnattr_setflags(attributes.get(), flags);
  if (rc != 0) return tl::make_unexpected(system_error_code(rc));

  // glibc reports a failed chdir or exec in the child (ENOENT, EACCES, ...)
  // as the return value, so a start failure carries its real reason.
  pid_t pid = 0;
  rc = posix_spawnp(&pid, program_text.c_str(), actions.get(), attributes.get(), argv.data(),
                    environ);
  if (rc != 0) return tl::make_unexpected(system_error_code(rc));

  out->write_end.reset();
  err->write_end.reset();
  ProcessOutput result;
  RunningChild child(pid, leads_group, std::move(out->read_end), std::move(err->read_end),
                     options, blocked.callers_mask());
  const auto status = child.finish(result);
  if (child.stopped() || interrupted()) return tl::make_unexpected(system_error_code(EINTR));
  if (!status) return tl::make_unexpected(status.error());
  result.wait_status = *status;
  return result;
}

std::string captured_streams_text(const ProcessOutput& output) {
  return "stdout:\n" + decode_lossy(output.stdout_bytes) + "\nstderr:\n" +
         decode_lossy(output.stderr_bytes);
}
