// The entry point of velk-dbt-plan: the process's standard streams, the
// broken-pipe signal, and internal errors as exit status 101.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <exception>
#include <string>
#include <string_view>

#include "internal_error.h"
#include "os_error.h"
#include "run.h"

namespace {

// Writes every byte to a descriptor; false with errno set on failure.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

class ProcessConsole final : public Console {
 public:
  void out(std::string_view text) override { write_or_fail(STDOUT_FILENO, "stdout", text); }
  void err(std::string_view text) override { write_or_fail(STDERR_FILENO, "stderr", text); }

 private:
  static void write_or_fail(int fd, const char* stream, std::string_view text) {
    if (!write_all(fd, text)) {
      internal_error(std::string("failed printing to ") + stream + ": " + os_error_text(errno));
    }
  }
};

int report_internal_error(std::string_view message) {
  write_all(STDERR_FILENO, "internal error: " + std::string(message) + "\n");
  return 101;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to a closed pipe then fails with EPIPE instead of ending the process.
  ::signal(SIGPIPE, SIG_IGN);
  ProcessConsole console;
  try {
    return run(argc, argv, console);
  } catch (const InternalError& error) {
    return report_internal_error(error.message);
  } catch (const std::exception& error) {
    return report_internal_error(error.what());
  }
}
