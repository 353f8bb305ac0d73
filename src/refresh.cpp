// The manifest freshness check: compares the manifest's modification time
// with the newest one among the project's source files and runs `dbt parse`
// when the manifest is missing or older.
#include "refresh.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "os_error.h"
#include "process.h"
#include "quoted.h"
#include "shell_words.h"
#include "state.h"

namespace {

// A directory's identity, for noticing that a symbolic link leads back to a
// directory the walk is already inside.
struct DirId {
  dev_t device;
  ino_t inode;
  bool operator==(const DirId&) const = default;
};

FileTime modification_time(const struct stat& info) {
  return FileTime{static_cast<std::int64_t>(info.st_mtim.tv_sec),
                  static_cast<std::uint32_t>(info.st_mtim.tv_nsec)};
}

void fold(std::optional<FileTime>& newest, FileTime candidate) {
  if (!newest || candidate > *newest) newest = candidate;
}

// A directory that cannot be read is passed over; one that could not be
// opened for lack of descriptors or memory may hold newer files, so the
// sources then count as newer than any manifest.
void fold_unopened(std::optional<FileTime>& newest, int error) {
  if (error == EMFILE || error == ENFILE || error == ENOMEM) fold(newest, FileTime{INT64_MAX, 999'999'999});
}

bool on_walk_path(const std::vector<DirId>& walk_path, DirId id) {
  for (const DirId& seen : walk_path) {
    if (seen == id) return true;
  }
  return false;
}

// Walks the open directory `dir_fd` (taking ownership of it). Symbolic
// links are followed; a directory already on `walk_path` (the directories
// from the top down to this one) is skipped, which ends link cycles while
// every file reachable without going round one still counts.
void walk(int dir_fd, std::vector<DirId>& walk_path, std::optional<FileTime>& newest) {
  DIR* dir = ::fdopendir(dir_fd);
  if (dir == nullptr) {
    fold_unopened(newest, errno);
    ::close(dir_fd);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (::fstatat(::dirfd(dir), entry->d_name, &info, 0) != 0) continue;  // broken link, say
    if (!S_ISDIR(info.st_mode)) {
      fold(newest, modification_time(info));
      continue;
    }
    const DirId id{info.st_dev, info.st_ino};
    if (on_walk_path(walk_path, id)) continue;
    const int child = ::openat(::dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (child < 0) {
      fold_unopened(newest, errno);
      continue;
    }
    walk_path.push_back(id);
    walk(child, walk_path, newest);
    walk_path.pop_back();
  }
  ::closedir(dir);
}

// The files whose times count, by fixed name, below the project directory.
constexpr const char* source_files[] = {"dbt_project.yml", "packages.yml", "dependencies.yml"};
constexpr const char* source_dirs[] = {"models",    "macros",   "seeds",
                                       "snapshots", "analyses", "tests"};

}  // namespace

void newest_source_mtime(const std::filesystem::path& dir, std::optional<FileTime>& newest) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    fold_unopened(newest, errno);
    return;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return;
  }
  std::vector<DirId> walk_path{DirId{info.st_dev, info.st_ino}};
  walk(fd, walk_path, newest);
}

tl::expected<void, std::string> refresh_manifest(const std::filesystem::path& project_dir,
                                                 const std::filesystem::path& manifest_path,
                                                 std::string_view dbt_command,
                                                 const std::vector<std::string>& dbt_args) {
  std::optional<FileTime> newest;
  for (const char* name : source_files) {
    struct stat info;
    if (::stat((project_dir / name).c_str(), &info) == 0) fold(newest, modification_time(info));
  }
  for (const char* name : source_dirs) newest_source_mtime(project_dir / name, newest);
  if (!newest) return {};

  struct stat manifest_info;
  const bool stale = ::stat(manifest_path.c_str(), &manifest_info) != 0 ||
                     *newest > modification_time(manifest_info);
  if (!stale) return {};

  auto words = split_shell_words(dbt_command);
  if (!words) {
    return tl::make_unexpected("could not parse --dbt-command " + quoted_form(dbt_command) + ": " +
                               words.error());
  }
  if (words->empty()) {
    return tl::make_unexpected(std::string("--dbt-command resolved to an empty command"));
  }
  const std::string shown = std::string(dbt_command) + " parse";
  const auto output = run_dbt(*words, "parse", dbt_args, project_dir);
  if (!output) {
    return tl::make_unexpected("could not run `" + shown + "`: " + os_error_text(output.error()));
  }
  if (!output->succeeded()) {
    return tl::make_unexpected("`" + shown + "` failed to refresh the manifest:\n" +
                               captured_streams_text(*output));
  }
  return {};
}
