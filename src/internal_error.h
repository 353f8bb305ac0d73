// Broken invariants: a programming error that no input can cause.
//
// internal_error throws InternalError, which unwinds the run (so everything it
// holds, a temporary git worktree included, is released) up to main, which
// prints the message and exits with status 101.
#pragma once

#include <string>

struct InternalError {
  std::string message;
};

[[noreturn]] void internal_error(std::string message);
