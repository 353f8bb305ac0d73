// The wall clock, read through one seam so that tests can fix "now".
#pragma once

#include <cstdint>
#include <functional>

// Whole seconds since 1970-01-01T00:00:00 UTC; may be negative for a clock
// set before 1970.
using Clock = std::function<std::int64_t()>;

// The system's wall clock.
std::int64_t system_clock_seconds();

// Reads the clock; a reading before 1970 counts as 0 seconds.
std::int64_t clock_seconds(const Clock& clock);
