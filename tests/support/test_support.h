// Small helpers shared by the tests: temporary directories and whole files.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

// A fresh directory under the system temporary directory, removed with
// everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

 private:
  std::filesystem::path path_;
};

// Changes the current directory for the life of the value.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const std::filesystem::path& directory)
      : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(directory);
  }
  ~CurrentDirectory() { std::filesystem::current_path(saved_); }
  CurrentDirectory(const CurrentDirectory&) = delete;
  CurrentDirectory& operator=(const CurrentDirectory&) = delete;

 private:
  std::filesystem::path saved_;
};

// Writes the file, creating its parent directories.
void write_file(const std::filesystem::path& path, std::string_view content);

std::string read_file(const std::filesystem::path& path);

// The project's source directory, for fixtures and tools.
std::filesystem::path source_dir();

// How a forked copy of the test process ended, and the text it handed back.
struct Forked {
  int wait_status = 0;
  std::string text;
};

// Runs `body` in a forked copy of this process, which then ends with
// _exit(0), and hands back what it returned. For tests that install signal
// handlers or record a signal, which would otherwise stay with the whole
// test process. The copy starts with SIGINT, SIGTERM and SIGHUP at their
// default action (as a shell's foreground job does, whatever the test
// runner ignores), and gets SIGALRM after `seconds`, so that a body that
// hangs ends it.
Forked in_forked_process(const std::function<std::string()>& body, unsigned seconds = 20);

// A compiled manifest as dbt 1.5 and later write one, with versioned models:
// dim_customers in versions 1, 2 and "beta" (each with its own parents),
// customer_cohorts, a child of version 2 only, and crm's unversioned model
// of the same name.
std::filesystem::path versioned_models_manifest();
