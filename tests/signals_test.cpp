// The stop signals: which one is recorded, and the end of the process by it,
// each in a forked copy of the test process so that the handler stays there.
#include "signals.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

TEST(StopSignals, TheFirstOneIsRecordedAndLaterOnesChangeNothing) {
  const Forked forked = in_forked_process([] {
    catch_stop_signals();
    std::string seen = "before: " + std::to_string(received_stop_signal());
    ::raise(SIGHUP);
    ::raise(SIGINT);
    return seen + ", after: " + signal_name(received_stop_signal());
  });
  ASSERT_TRUE(WIFEXITED(forked.wait_status) && WEXITSTATUS(forked.wait_status) == 0)
      << forked.wait_status;
  EXPECT_EQ(forked.text, "before: 0, after: SIGHUP");
}

// The run has caught the signal and may have it blocked when it ends; the
// parent must still see death by that signal.
TEST(StopSignals, TheProcessEndsByTheSignalItRecorded) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal_name(signal));
    const Forked forked = in_forked_process([signal]() -> std::string {
      catch_stop_signals();
      ::raise(signal);
      const sigset_t stop = stop_signal_set();
      ::sigprocmask(SIG_BLOCK, &stop, nullptr);
      end_by_signal(received_stop_signal());
    });
    ASSERT_TRUE(WIFSIGNALED(forked.wait_status)) << forked.wait_status;
    EXPECT_EQ(WTERMSIG(forked.wait_status), signal);
    EXPECT_EQ(forked.text, "");
  }
}

}  // namespace
