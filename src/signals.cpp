// The stop signals: a handler that records the first one, and the end of
// the process by it at its default action.
#include "signals.h"

#include <unistd.h>

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The one piece of process-wide state: written by the handler, read by the
// checks. The handler runs with every stop signal blocked, so the first one
// recorded stays.
volatile sig_atomic_t recorded_signal = 0;

void record_stop_signal(int signal) {
  if (recorded_signal == 0) recorded_signal = signal;
}

}  // namespace

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = record_stop_signal;
  action.sa_mask = stop_signal_set();
  action.sa_flags = 0;  // no SA_RESTART: a blocking call wakes up with EINTR
  for (const int signal : kStopSignals) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    ::sigaction(signal, &action, nullptr);
  }
}

int received_stop_signal() { return recorded_signal; }

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : kStopSignals) sigaddset(&set, signal);
  return set;
}

std::string signal_name(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "signal " + std::to_string(signal);
  }
}

void end_by_signal(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  sigset_t just_this;
  sigemptyset(&just_this);
  sigaddset(&just_this, signal);
  ::sigprocmask(SIG_UNBLOCK, &just_this, nullptr);
  ::raise(signal);
  ::_exit(128 + signal);
}
