// Loading the compiled manifest into the node table: the whole file read in
// one piece, checked as UTF-8, read into the raw records, and the models and
// sources moved into Nodes.
#include "manifest.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "manifest_reader.h"
#include "os_error.h"
#include "utf8.h"

namespace {

// Closes the descriptor when it goes out of scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads up to `size` bytes at `data`; the count read (short only at end of
// file), or -1 with errno set.
ssize_t read_fully(int fd, char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, data + done, size - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// The bytes of a file, in one block allocated at the size that fstat gives.
// The block is not zero-filled first, and it is 2 MiB aligned and marked for
// huge pages where the system offers them: first touches of fresh memory are
// most of the cost of reading a manifest of hundreds of megabytes.
class FileText {
 public:
  FileText() = default;
  ~FileText() { std::free(data_); }
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;

  std::string_view view() const { return {data_, size_}; }
  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  void set_size(std::size_t size) { size_ = size; }

  // Room for at least `capacity` bytes, keeping the first size() of them.
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    constexpr std::size_t huge_page = std::size_t(2) << 20;
    const std::size_t rounded = (capacity + huge_page - 1) / huge_page * huge_page;
    char* grown = static_cast<char*>(std::aligned_alloc(huge_page, rounded));
    if (grown == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(grown, rounded, MADV_HUGEPAGE);  // only a hint; failure changes nothing
#endif
    if (size_ > 0) std::memcpy(grown, data_, size_);
    std::free(data_);
    data_ = grown;
    capacity_ = rounded;
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The whole file, or the text of the operating-system error. A file that is
// still growing, or reports no size (like a pipe), is read on to its end.
tl::expected<void, std::string> read_whole_file(const std::filesystem::path& path, FileText& text) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return tl::unexpected(os_error_text(errno));
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return tl::unexpected(os_error_text(errno));
  if (S_ISDIR(status.st_mode)) return tl::unexpected(os_error_text(EISDIR));

  // One byte more than the size, so that reaching the end needs no second block.
  text.reserve((status.st_size > 0 ? static_cast<std::size_t>(status.st_size) : 0) + 1);
  for (;;) {
    const ssize_t got = read_fully(file.get(), text.data() + text.size(), text.capacity() - text.size());
    if (got < 0) return tl::unexpected(os_error_text(errno));
    text.set_size(text.size() + static_cast<std::size_t>(got));
    if (text.size() < text.capacity()) return {};  // end of file
    text.reserve(text.capacity() * 2);
  }
}

Node model_node(std::string unique_id, RawNode&& raw) {
  Node node;
  node.unique_id = std::move(unique_id);
  node.name = std::move(raw.name);
  node.depends_on = std::move(raw.depends_on.nodes);
  node.event_time = std::move(raw.config.event_time);
  if (raw.config.meta.velk) node.velk = std::move(*raw.config.meta.velk);
  return node;
}

Node source_node(std::string unique_id, RawSource&& raw) {
  Node node;
  node.unique_id = std::move(unique_id);
  node.name = std::move(raw.name);
  node.is_source = true;
  return node;
}

// Moves the models and the sources of the raw records into the table; a
// source replaces a model under the same unique id.
Manifest build_manifest(RawManifest&& raw) {
  Manifest manifest;
  if (raw.metadata) manifest.generated_at = std::move(raw.metadata->generated_at);

  std::size_t models = 0;
  for (const auto& [id, node] : raw.nodes) models += node.resource_type == "model" ? 1 : 0;
  manifest.nodes.reserve(models + raw.sources.size());

  while (!raw.nodes.empty()) {
    auto entry = raw.nodes.extract(raw.nodes.begin());
    if (entry.mapped().resource_type != "model") continue;
    std::string key = entry.key();
    manifest.nodes.insert_or_assign(std::move(key), model_node(std::move(entry.key()), std::move(entry.mapped())));
  }
  while (!raw.sources.empty()) {
    auto entry = raw.sources.extract(raw.sources.begin());
    std::string key = entry.key();
    manifest.nodes.insert_or_assign(std::move(key), source_node(std::move(entry.key()), std::move(entry.mapped())));
  }
  return manifest;
}

}  // namespace

std::string describe_json_error(const JsonError& error) {
  return error.message + " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
}

tl::expected<Manifest, ManifestError> load_manifest(const std::filesystem::path& path) {
  RawManifest raw;
  {
    FileText text;
    if (auto read = read_whole_file(path, text); !read) {
      return tl::unexpected(ManifestError{ManifestError::Read{display_path(path), std::move(read.error())}});
    }
    if (!is_valid_utf8(text.view())) {
      return tl::unexpected(
          ManifestError{ManifestError::Read{display_path(path), "stream did not contain valid UTF-8"}});
    }
    auto records = from_str_manifest(text.view());
    if (!records) {
      return tl::unexpected(ManifestError{ManifestError::Parse{display_path(path), std::move(records.error())}});
    }
    raw = std::move(*records);
  }  // the text is released before the table is built
  return build_manifest(std::move(raw));
}

std::string describe_manifest_error(const ManifestError& error) {
  if (const auto* read = std::get_if<ManifestError::Read>(&error.error)) return read->path + ": " + read->cause;
  const auto& parse = std::get<ManifestError::Parse>(error.error);
  return parse.path + ": " + describe_json_error(parse.error);
}
