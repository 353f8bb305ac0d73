// The atomic file writer: recursive creation of the destination's directory,
// an exclusively created temporary file beside the destination, every byte
// written, the mode the destination should have, one rename unless a stop
// signal came meanwhile; the temporary file is removed on every failure.
#include "atomic_write.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <system_error>

#include "os_error.h"
#include "quoted.h"
#include "signals.h"
#include "utf8.h"

namespace fs = std::filesystem;

namespace {

// The end of `text[0, end)` once trailing separators and "/." components are
// dropped: "a/b//" and "a/b/." both end after "a/b".
std::size_t trim_trailing(const std::string& text, std::size_t end) {
  for (;;) {
    while (end > 0 && text[end - 1] == '/') --end;
    if (end >= 2 && text[end - 1] == '.' && text[end - 2] == '/') {
      --end;
      continue;
    }
    return end;
  }
}

bool names_directory(const fs::path& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Makes the directory and every missing ancestor, each with mode 0777 under
// the umask; one that exists already is success. Returns the errno of the
// call that failed, or 0.
int make_directories(const fs::path& directory) {
  if (directory.empty()) return 0;
  if (::mkdir(directory.c_str(), 0777) == 0) return 0;
  int error = errno;
  if (error != ENOENT) return names_directory(directory) ? 0 : error;
  const std::optional<fs::path> parent = parent_directory(directory);
  if (!parent) return error;
  if (const int parent_error = make_directories(*parent); parent_error != 0) return parent_error;
  if (::mkdir(directory.c_str(), 0777) == 0) return 0;
  error = errno;
  return names_directory(directory) ? 0 : error;
}

// The temporary file from its creation until it is moved into place: closed
// and, unless it was moved, deleted when this goes out of scope.
class TempFile {
 public:
  TempFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    ::close(fd_);
    if (!moved_) ::unlink(path_.c_str());
  }

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  void mark_moved() { moved_ = true; }

 private:
  int fd_;
  std::string path_;
  bool moved_ = false;
};

// "{system message} (os error N) at path "{temporary path}"".
std::string at_path(const std::string& cause, const std::string& temp_path) {
  return cause + " at path " + quoted_form(temp_path);
}

// Writes every byte, continuing after partial writes and retrying
// interrupted ones. Returns the cause of a failure, or nothing.
std::optional<std::string> write_all(int fd, std::string_view bytes) {
  // Some systems refuse single writes of more than INT_MAX bytes.
  constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), std::min(bytes.size(), kMaxChunk));
    if (written < 0) {
      if (errno == EINTR) continue;
      return os_error_text(errno);
    }
    if (written == 0) return std::string("the system accepted none of the bytes to write");
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return std::nullopt;
}

// The permission bits the written file should end up with: those of the
// file it replaces (followed through a symbolic link, as the user sees it),
// or, for a new file, what creating it directly with mode 0666 would give
// under the umask. umask(2) is the only call that reads the umask, so it is
// set back at once; the run has no other threads.
mode_t destination_mode(const fs::path& path) {
  struct stat status;
  if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
    return status.st_mode & 0777;
  }
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::optional<fs::path> parent_directory(const fs::path& path) {
  const std::string& text = path.native();
  const std::size_t end = trim_trailing(text, text.size());
  if (end == 0) return std::nullopt;  // the empty path, or the root alone
  const std::size_t slash = text.rfind('/', end - 1);
  if (slash == std::string::npos) return fs::path();
  const std::size_t parent_end = trim_trailing(text, slash + 1);
  if (parent_end == 0) return fs::path("/");
  return fs::path(text.substr(0, parent_end));
}

tl::expected<void, std::string> write_atomically(const fs::path& path, std::string_view bytes) {
  const std::optional<fs::path> parent = parent_directory(path);
  if (!parent) {
    return tl::make_unexpected(quoted_form(display_path(path)) + " has no parent directory");
  }
  const std::string shown_parent = display_path(*parent);
  const std::string shown_path = display_path(path);

  if (const int error = make_directories(*parent); error != 0) {
    return tl::make_unexpected("could not create " + shown_parent + ": " + os_error_text(error));
  }

  // The temporary file's path is absolute: a relative parent (the empty
  // one included) is resolved against the current directory.
  fs::path directory = *parent;
  if (directory.is_relative()) {
    std::error_code cwd_error;
    directory = fs::current_path(cwd_error) / directory;
    if (cwd_error) {
      return tl::make_unexpected("could not create a temp file in " + shown_parent + ": " +
                                 os_error_text(cwd_error));
    }
  }
  std::string name = directory.native();
  if (name.empty() || name.back() != '/') name += '/';
  name += ".tmpXXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) {
    return tl::make_unexpected("could not create a temp file in " + shown_parent + ": " +
                               at_path(os_error_text(errno), name));
  }
  TempFile temp(fd, name);

  if (const std::optional<std::string> cause = write_all(temp.fd(), bytes)) {
    return tl::make_unexpected("could not write " + shown_path + ": " + at_path(*cause, temp.path()));
  }
  // Only the complete file is given its readers' mode, on the descriptor,
  // just before it takes the destination's place. A file system without
  // permission bits (vfat, some network mounts) may refuse: the file then
  // keeps the private mode it was made with rather than not being written.
  (void)::fchmod(temp.fd(), destination_mode(path));
  // A run stopped by a signal meanwhile leaves the destination as it was.
  if (received_stop_signal() != 0) {
    return tl::make_unexpected("could not write " + shown_path + ": " + os_error_text(EINTR));
  }
  if (::rename(temp.path().c_str(), path.c_str()) != 0) {
    return tl::make_unexpected("could not write " + shown_path + ": " + os_error_text(errno));
  }
  temp.mark_moved();
  return {};
}
