// The entry point of velk-dbt-plan: the process's standard streams, the
// broken-pipe and stop signals, internal errors as exit status 101, and the
// end by the stop signal that stopped a run.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "internal_error.h"
#include "os_error.h"
#include "run.h"
#include "signals.h"

namespace {

// Writes every byte to a descriptor; false with errno set on failure. A
// stream that whoever started us left non-blocking is waited on while it is
// full, as a blocking one would be.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd ready{fd, POLLOUT, 0};
      if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
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
  static void write_or_fail(int fd, bool closed, const char* stream, std::string_view text) {
    if (closed) errno = EBADF;
    if (closed || !write_all(fd, text)) {
      internal_error(std::string("failed printing to ") + stream + ": " + os_error_text(errno));
    }
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
