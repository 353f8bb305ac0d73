// A job on a pseudo-terminal, for the tests of what a terminal's signals do:
// the test plays the terminal (it types keys and can hang up) and a job
// control shell's part (the job runs in a process group of its own, in the
// terminal's foreground or in its background).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/test_support.h"

class TerminalJob {
 public:
  // Starts `job` in a forked copy of this process whose controlling
  // terminal is a new pseudo-terminal, with the terminal as its standard
  // input, output and error (the job may redirect them), in a process group
  // of its own: the terminal's foreground group, or a background one. Its
  // session leader plays the shell: on SIGHUP it sends SIGHUP to the job's
  // group, as bash does when its terminal closes, and it brings the job
  // forward when asked (bring_to_foreground). The job starts with
  // SIGINT, SIGTERM, SIGHUP and SIGQUIT at their default action and gets
  // SIGALRM after `seconds`; what `job` returns is handed back by wait(),
  // and a job that execs another program hands back nothing.
  TerminalJob(const std::function<std::string()>& job, bool foreground, unsigned seconds = 30);
  ~TerminalJob();
  TerminalJob(const TerminalJob&) = delete;
  TerminalJob& operator=(const TerminalJob&) = delete;

  pid_t job() const { return job_; }

  // Types `keys` at the terminal: "\x03" is Ctrl-C.
  void type(std::string_view keys);
  // Waits while the job runs for the file `reader`, which a process of the
  // job writes its id to just before it reads the terminal, then until the
  // terminal has stopped that process (a background job reading it). False
  // when the job ends before the file appears; throws when the file does not
  // appear within half a minute or the process is not stopped within ten
  // seconds.
  bool wait_for_stopped_reader(const std::filesystem::path& reader);
  // Brings a background job forward as a shell's fg does: the shell makes
  // the job's group the terminal's foreground group, then sends the group
  // SIGCONT. Returns once the terminal shows the job in its foreground;
  // throws when it does not within ten seconds.
  void bring_to_foreground();
  // Closes the terminal, as a closed terminal window does.
  void hang_up();
  // Whether the job has ended (without waiting).
  bool ended();
  // Waits for the job's end: its wait status and the text it handed back.
  Forked wait();

 private:
  int master_ = -1;
  int text_ = -1;    // what the job hands back
  int status_ = -1;  // the shell's report: the job's process id, then its wait status
  pid_t shell_ = 0;
  pid_t job_ = 0;
  std::optional<int> wait_status_;
  std::string text_read_;
};
