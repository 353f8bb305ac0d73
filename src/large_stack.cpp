// Deeply recursive work on a call stack of its own: a thread created with a
// large stack runs the work while the calling thread waits for it, so that
// nothing ever runs concurrently. (A thread rather than a user-level context
// switch, because the sanitizers follow threads exactly.)
#include "large_stack.h"

#include <pthread.h>
#include <sys/resource.h>

#include <exception>

namespace {

// Address space for the stack; only the pages a deep recursion touches are
// ever committed.
constexpr std::size_t kStackSize = std::size_t(256) << 20;
// Room kept below the floor for the frames between two checks and for the
// library calls of the deepest one.
constexpr std::size_t kMargin = std::size_t(1) << 20;

struct Job {
  const std::function<void(const char*)>* work = nullptr;
  std::size_t stack_size = 0;
  std::exception_ptr error;
};

// The floor for work run on the current stack, `size` bytes from here.
const char* floor_below_here(std::size_t size) {
  const char* here = static_cast<const char*>(__builtin_frame_address(0));
  return size > 4 * kMargin ? here - (size - 2 * kMargin) : here;
}

void* run_job(void* argument) {
  auto* job = static_cast<Job*>(argument);
  try {
    (*job->work)(floor_below_here(job->stack_size));
  } catch (...) {
    job->error = std::current_exception();
  }
  return nullptr;
}

std::size_t current_stack_size() {
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    return static_cast<std::size_t>(limit.rlim_cur);
  }
  return std::size_t(8) << 20;
}

}  // namespace

void run_on_large_stack(const std::function<void(const char* floor)>& work) {
  Job job{&work, kStackSize, nullptr};
  pthread_attr_t attributes;
  pthread_t thread;
  bool started = false;
  if (::pthread_attr_init(&attributes) == 0) {
    started = ::pthread_attr_setstacksize(&attributes, kStackSize) == 0 &&
              ::pthread_create(&thread, &attributes, &run_job, &job) == 0;
    ::pthread_attr_destroy(&attributes);
  }
  if (!started) {
    // No room for a second stack: the work stops early, but cleanly.
    work(floor_below_here(current_stack_size()));
    return;
  }
  ::pthread_join(thread, nullptr);
  if (job.error) std::rethrow_exception(job.error);
}
