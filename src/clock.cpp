// The system's wall clock.
#include "clock.h"

#include <algorithm>
#include <chrono>

std::int64_t system_clock_seconds() {
  using namespace std::chrono;
  return floor<seconds>(system_clock::now()).time_since_epoch().count();
}

std::int64_t clock_seconds(const Clock& clock) { return std::max<std::int64_t>(0, clock()); }
