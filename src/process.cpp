// Child processes through posix_spawnp, with both output streams drained by
// poll so that a child filling one pipe while we read the other cannot stall.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

// Reads both pipes to their ends, whichever has data first.
std::error_code drain(Fd& out, Fd& err, std::string& out_bytes, std::string& err_bytes) {
  pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  std::string* sinks[2] = {&out_bytes, &err_bytes};
  Fd* owners[2] = {&out, &err};
  char buffer[65536];
  int open_pipes = 2;
  while (open_pipes > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0) {
        owners[i]->reset();
        fds[i].fd = -1;  // poll skips negative descriptors
        --open_pipes;
      } else if (errno != EINTR && errno != EAGAIN) {
        return last_error();
      }
    }
  }
  return {};
}

tl::expected<int, std::error_code> wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return tl::make_unexpected(last_error());
  }
  return status;
}

}  // namespace

tl::expected<ProcessOutput, std::error_code> run_process(
    std::string_view program, const std::vector<std::string>& args,
    const std::optional<std::filesystem::path>& cwd) {
  // A NUL byte would silently cut the argument short: refuse it as EINVAL.
  bool has_nul = holds_nul(program) || (cwd && holds_nul(cwd->native()));
  for (const auto& arg : args) has_nul = has_nul || holds_nul(arg);
  if (has_nul) return tl::make_unexpected(system_error_code(EINVAL));

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
  SpawnAttributes attributes;
  if (!attributes.ok()) return tl::make_unexpected(system_error_code(ENOMEM));
  sigset_t default_signals;
  sigset_t no_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  sigemptyset(&no_signals);
  rc = posix_spawnattr_setsigdefault(attributes.get(), &default_signals);
  if (rc == 0) rc = posix_spawnattr_setsigmask(attributes.get(), &no_signals);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  }
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
  const std::error_code read_error =
      drain(out->read_end, err->read_end, result.stdout_bytes, result.stderr_bytes);
  out->read_end.reset();
  err->read_end.reset();
  const auto status = wait_for(pid);
  if (read_error) return tl::make_unexpected(read_error);
  if (!status) return tl::make_unexpected(status.error());
  result.wait_status = *status;
  return result;
}

std::string captured_streams_text(const ProcessOutput& output) {
  return "stdout:\n" + decode_lossy(output.stdout_bytes) + "\nstderr:\n" +
         decode_lossy(output.stderr_bytes);
}
