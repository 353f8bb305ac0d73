// The entry point of velk-dbt-plan: the process's standard streams, the
// broken-pipe and stop signals, internal errors as exit status 101, and the
// end by the stop signal that stopped a run.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "internal_error.h"
#include "os_error.h"
#include "run.h"
#include "signals.h"

namespace {

// How a write to a standard stream ended.
enum class Written { all, failed, stopped };

// Waits until `fd` takes more bytes. Once a stop signal has been recorded
// nothing is waited for any more: false then unless it takes more at once.
// False with errno set when poll fails. The stop signals are blocked from
// the check to the wait, so that one coming in between still ends the wait.
bool wait_writable(int fd) {
  const sigset_t stop = stop_signal_set();
  for (;;) {
    sigset_t callers_mask;
    ::pthread_sigmask(SIG_BLOCK, &stop, &callers_mask);
    const bool stopping = received_stop_signal() != 0;
    pollfd ready{fd, POLLOUT, 0};
    const timespec no_wait{0, 0};
    const int polled = ::ppoll(&ready, 1, stopping ? &no_wait : nullptr, &callers_mask);
    const int poll_error = errno;
    ::pthread_sigmask(SIG_SETMASK, &callers_mask, nullptr);
    if (polled > 0) return true;
    if (polled == 0) return false;
    if (poll_error != EINTR) {
      errno = poll_error;
      return false;
    }
  }
}

// Writes every byte to a descriptor. A stream that is full (a stalled pipe,
// a pager that is not read, one that whoever started us left non-blocking)
// is waited on until it takes more, but not after a stop signal: what it
// does not take then is dropped. A regular file or a block device is never
// waited on; a pipe is given at most PIPE_BUF bytes per write, which it
// takes without blocking once poll said it has room.
Written write_all(int fd, std::string_view text) {
  struct stat info;
  const bool known = ::fstat(fd, &info) == 0;
  const bool may_wait = !known || !(S_ISREG(info.st_mode) || S_ISBLK(info.st_mode));
  const bool pipe = known && S_ISFIFO(info.st_mode);
  while (!text.empty()) {
    if (may_wait && !wait_writable(fd)) {
      return received_stop_signal() != 0 ? Written::stopped : Written::failed;
    }
    const std::size_t size = pipe ? std::min<std::size_t>(text.size(), PIPE_BUF) : text.size();
    const ssize_t written = ::write(fd, text.data(), size);
    if (written < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return Written::failed;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return Written::all;
}

// Whether a standard descriptor was closed when the process started. Such a
// descriptor is then held open on /dev/null, so that no file or pipe the run
// opens can take its number and receive what is printed; the stream still
// counts as closed.
bool reserve_if_closed(int fd, int flags) {
  if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) return false;
  const int null = ::open("/dev/null", flags);
  if (null >= 0 && null != fd) {
    ::dup2(null, fd);
    ::close(null);
  }
  return true;
}

class ProcessConsole final : public Console {
 public:
  ProcessConsole(bool stdout_closed, bool stderr_closed)
      : stdout_closed_(stdout_closed), stderr_closed_(stderr_closed) {}

  void out(std::string_view text) override {
    write_or_fail(STDOUT_FILENO, stdout_closed_, "stdout", text);
  }
  void err(std::string_view text) override {
    write_or_fail(STDERR_FILENO, stderr_closed_, "stderr", text);
  }

  // The last word of the process; nothing can be done when it fails.
  void report_internal_error(std::string_view message) {
    if (!stderr_closed_) write_all(STDERR_FILENO, "internal error: " + std::string(message) + "\n");
  }

 private:
  // A write that a stop signal cut short, or that failed after one came
  // (the reader went away with the same Ctrl-C, say), returns quietly: the
  // run notices the stop at its next check and reports it.
  static void write_or_fail(int fd, bool closed, const char* stream, std::string_view text) {
    if (closed) errno = EBADF;
    const Written written = closed ? Written::failed : write_all(fd, text);
    if (written == Written::all || received_stop_signal() != 0) return;
    internal_error(std::string("failed printing to ") + stream + ": " + os_error_text(errno));
  }

  bool stdout_closed_;
  bool stderr_closed_;
};

}  // namespace

int main(int argc, char** argv) {
  // A write to a closed pipe then fails with EPIPE instead of ending the process.
  ::signal(SIGPIPE, SIG_IGN);
  // Ctrl-C, kill and a closed terminal unwind the run instead of ending the
  // process where it stands, so that nothing is left behind.
  catch_stop_signals();
  reserve_if_closed(STDIN_FILENO, O_RDONLY);
  const bool stdout_closed = reserve_if_closed(STDOUT_FILENO, O_WRONLY);
  const bool stderr_closed = reserve_if_closed(STDERR_FILENO, O_WRONLY);
  ProcessConsole console(stdout_closed, stderr_closed);
  RunValues values;
  int status = 101;
  try {
    status = run(argc, argv, console, values);
  } catch (const InternalError& error) {
    console.report_internal_error(error.message);
  } catch (const std::exception& error) {
    console.report_internal_error(error.what());
  }
  // The run has released everything with an effect outside the process;
  // the node table and the plan are left for the system to reclaim with the
  // process, as exit() destroys no local of main. A stopped run ends by its
  // signal, so that whoever started it stops too.
  if (const int signal = received_stop_signal()) end_by_signal(signal);
  std::exit(status);
}
