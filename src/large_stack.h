// Deeply recursive work on a call stack of its own.
//
// Boost.JSON's parser calls itself once per level of nesting, so a manifest
// holding a value nested a hundred thousand levels deep (under a key that
// nothing reads, where any depth is valid JSON) would overflow the usual
// 8 MiB stack. The parse therefore runs on a large stack that is reserved up
// front and committed only as it is used; the caller waits for it as for
// any function call, so the program still does one thing at a time.
#pragma once

#include <functional>

// Calls `work` on the large stack (or, if none can be reserved, on this
// one) and returns when it does; an exception thrown by `work` is rethrown
// here. `work` is given the lowest address its frames may safely reach: a
// recursion that checks it at every level never overflows.
void run_on_large_stack(const std::function<void(const char* floor)>& work);

// Whether the caller's frame is already below `floor`.
inline bool stack_below(const char* floor) {
  return static_cast<const char*>(__builtin_frame_address(0)) < floor;
}
