// A job on a pseudo-terminal, with the test as the terminal and the shell.
#include "support/terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

volatile sig_atomic_t shell_hung_up = 0;
volatile sig_atomic_t shell_asked_for_fg = 0;

void note_hang_up(int) { shell_hung_up = 1; }
void note_fg(int) { shell_asked_for_fg = 1; }

void write_whole(int fd, const void* data, std::size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) ::_exit(1);
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

bool read_whole(int fd, void* data, std::size_t size) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

void set_handler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

// The job: a process group of its own, made the terminal's foreground one
// when asked; then `job` with the terminal as its standard streams.
[[noreturn]] void run_job(const std::function<std::string()>& job, int tty, bool foreground,
                          int text_fd, unsigned seconds) {
  ::setpgid(0, 0);
  if (foreground) {
    set_handler(SIGTTOU, SIG_IGN);  // we are not in the foreground yet
    ::tcsetpgrp(tty, ::getpid());
  }
  for (int fd = 0; fd < 3; ++fd) ::dup2(tty, fd);
  if (tty > 2) ::close(tty);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTTOU, SIGCHLD, SIGUSR1}) {
    set_handler(signal, SIG_DFL);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::alarm(seconds);
  const std::string text = job();
  write_whole(text_fd, text.data(), text.size());
  ::_exit(0);
}

// The session leader: starts the job, passes a hang-up on to its group,
// brings the job to the foreground on SIGUSR1, and reports the job's process
// id and then its wait status.
[[noreturn]] void run_shell(const std::function<std::string()>& job, const char* tty_name,
                            bool foreground, int text_fd, int status_fd, unsigned seconds) {
  ::setsid();
  const int tty = ::open(tty_name, O_RDWR);  // our controlling terminal from here on
  if (tty < 0) ::_exit(1);
  ::ioctl(tty, TIOCSCTTY, 0);
  set_handler(SIGHUP, note_hang_up);
  set_handler(SIGINT, SIG_IGN);  // a shell does not stop at the job's Ctrl-C
  set_handler(SIGQUIT, SIG_IGN);
  set_handler(SIGUSR1, note_fg);
  set_handler(SIGTTOU, SIG_IGN);  // to hand the terminal on from the background
  ::alarm(seconds + 10);
  const pid_t job_pid = ::fork();
  if (job_pid < 0) ::_exit(1);
  if (job_pid == 0) run_job(job, tty, foreground, text_fd, seconds);
  ::setpgid(job_pid, job_pid);
  ::close(text_fd);
  write_whole(status_fd, &job_pid, sizeof job_pid);
  int status = 0;
  bool passed_on = false;
  while (::waitpid(job_pid, &status, 0) < 0) {
    if (errno != EINTR) ::_exit(1);
    if (shell_hung_up && !passed_on) {
      ::kill(-job_pid, SIGHUP);
      ::kill(-job_pid, SIGCONT);
      passed_on = true;
    }
    if (shell_asked_for_fg) {
      shell_asked_for_fg = 0;
      ::tcsetpgrp(tty, job_pid);
      ::kill(-job_pid, SIGCONT);
    }
  }
  write_whole(status_fd, &status, sizeof status);
  ::_exit(0);
}

}  // namespace

TerminalJob::TerminalJob(const std::function<std::string()>& job, bool foreground,
                         unsigned seconds) {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error("no pseudo-terminal");
  }
  const std::string tty_name = ::ptsname(master_);
  int text_pipe[2];
  int status_pipe[2];
  if (::pipe2(text_pipe, O_CLOEXEC) != 0 || ::pipe2(status_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  shell_ = ::fork();
  if (shell_ < 0) throw std::runtime_error("fork failed");
  if (shell_ == 0) {
    ::close(master_);
    ::close(text_pipe[0]);
    ::close(status_pipe[0]);
    run_shell(job, tty_name.c_str(), foreground, text_pipe[1], status_pipe[1], seconds);
  }
  ::close(text_pipe[1]);
  ::close(status_pipe[1]);
  text_ = text_pipe[0];
  status_ = status_pipe[0];
  if (!read_whole(status_, &job_, sizeof job_)) throw std::runtime_error("the job did not start");
}

TerminalJob::~TerminalJob() {
  if (!wait_status_ && job_ > 0) ::kill(-job_, SIGKILL);
  if (shell_ > 0) {
    ::kill(shell_, SIGKILL);
    ::waitpid(shell_, nullptr, 0);
  }
  for (const int fd : {master_, text_, status_}) {
    if (fd >= 0) ::close(fd);
  }
}

void TerminalJob::type(std::string_view keys) {
  if (master_ < 0) throw std::runtime_error("the terminal is closed");
  if (::write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
    throw std::runtime_error("could not type at the terminal");
  }
}

bool TerminalJob::wait_for_stopped_reader(const std::filesystem::path& reader) {
  const auto appear_by = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!std::filesystem::exists(reader)) {
    if (ended()) return false;
    if (std::chrono::steady_clock::now() > appear_by) {
      throw std::runtime_error(reader.string() + " did not appear within half a minute");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // "pid (command) state ...": the state follows the last ')'.
  const std::string stat = "/proc/" + std::to_string(std::stoi(read_file(reader))) + "/stat";
  const auto stopped_by = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    std::ifstream file(stat);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::size_t after = text.rfind(')');
    if (after != std::string::npos && after + 2 < text.size() && text[after + 2] == 'T') return true;
    if (std::chrono::steady_clock::now() > stopped_by) {
      throw std::runtime_error("the terminal did not stop the process in " + reader.string());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void TerminalJob::bring_to_foreground() {
  if (master_ < 0) throw std::runtime_error("the terminal is closed");
  // Asked again until it is done: a request that lands while the shell is
  // between two waits is only acted on at the next one.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::tcgetpgrp(master_) != job_) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the shell did not bring the job to the foreground");
    }
    ::kill(shell_, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void TerminalJob::hang_up() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

bool TerminalJob::ended() {
  if (wait_status_) return true;
  pollfd ready{status_, POLLIN, 0};
  if (::poll(&ready, 1, 0) <= 0) return false;
  int status = 0;
  if (read_whole(status_, &status, sizeof status)) wait_status_ = status;
  return wait_status_.has_value();
}

Forked TerminalJob::wait() {
  // What the job writes to the terminal is read and dropped, so that it
  // never blocks on a full terminal.
  bool text_open = true;
  bool terminal_open = master_ >= 0;
  while (text_open || !wait_status_) {
    pollfd fds[3];
    nfds_t count = 0;
    const auto watch = [&](bool wanted, int fd) {
      if (!wanted) return -1;
      fds[count] = {fd, POLLIN, 0};
      return static_cast<int>(count++);
    };
    const int text_at = watch(text_open, text_);
    const int status_at = watch(!wait_status_, status_);
    const int terminal_at = watch(terminal_open, master_);
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    char buffer[4096];
    if (terminal_at >= 0 && fds[terminal_at].revents != 0) {
      terminal_open = ::read(master_, buffer, sizeof buffer) > 0;
    }
    if (text_at >= 0 && fds[text_at].revents != 0) {
      const ssize_t got = ::read(text_, buffer, sizeof buffer);
      if (got > 0) text_read_.append(buffer, static_cast<std::size_t>(got));
      text_open = got > 0;
    }
    if (status_at >= 0 && fds[status_at].revents != 0) {
      int status = 0;
      if (!read_whole(status_, &status, sizeof status)) throw std::runtime_error("the shell died");
      wait_status_ = status;
    }
  }
  return Forked{*wait_status_, text_read_};
}
