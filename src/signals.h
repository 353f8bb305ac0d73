// The stop signals: SIGINT (Ctrl-C), SIGTERM (kill, a cancelled CI job) and
// SIGHUP (a closed terminal). Their handler only records which one came
// first; the run notices it at its next check, ends its child, unwinds like
// any failure so that nothing is left behind, and the process then ends by
// that same signal.
#pragma once

#include <signal.h>

#include <string>

// Installs the recording handler for every stop signal that is not ignored
// already: one ignored when the process started (under nohup, or in a
// background job of a non-interactive shell) stays ignored. Installed
// without SA_RESTART, so that a blocking call returns EINTR when one comes.
void catch_stop_signals();

// The first stop signal recorded, or 0 when none came.
int received_stop_signal();

// SIGINT, SIGTERM and SIGHUP.
sigset_t stop_signal_set();

// "SIGINT", "SIGTERM" or "SIGHUP"; "signal {N}" for any other.
std::string signal_name(int signal);

// Ends the process by `signal` at its default action, so that whoever
// started it sees death by that signal (a shell shows 128 + N). Exits with
// status 128 + N should the signal not end it.
[[noreturn]] void end_by_signal(int signal);
