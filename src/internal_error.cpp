// Broken invariants.
#include "internal_error.h"

#include <utility>

void internal_error(std::string message) { throw InternalError{std::move(message)}; }
