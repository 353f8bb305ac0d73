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
#include <limits>
#include <stdexcept>
#include <new>
#include <utility>

#include "heap_reserve.h"
#include "internal_error.h"
#include "manifest_reader.h"
#include "os_error.h"
#include "utf8.h"

namespace {

// From this size on, a manifest is read into room reserved on the heap.
constexpr std::size_t kLargeManifest = std::size_t(16) << 20;

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

tl::expected<void, std::string> read_whole_file(const std::filesystem::path& path, ManifestText& text) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return tl::unexpected(os_error_text(errno));
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return tl::unexpected(os_error_text(errno));
  if (S_ISDIR(status.st_mode)) return tl::unexpected(os_error_text(EISDIR));

  // A large manifest gets room on the heap for itself and for what is built
  // from it (see heap_reserve.h); a small one is read as it is.
  const auto size = static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 0);
  if (size >= kLargeManifest) reserve_heap(size + size / 2 + kLargeManifest);

  // One byte more than the size, so that reaching the end needs no second block.
  text.reserve(size + 1);
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
  if (raw.version) node.versioned_name = versioned_name(node.name, *raw.version);
  return node;
}

Node source_node(std::string unique_id, RawSource&& raw) {
  Node node;
  node.unique_id = std::move(unique_id);
  node.name = std::move(raw.name);
  node.is_source = true;
  return node;
}

}  // namespace

Manifest build_node_table(RawManifest&& raw) {
  Manifest manifest;
  if (raw.metadata) manifest.generated_at = std::move(raw.metadata->generated_at);

  std::size_t models = 0;
  for (const auto& [id, node] : raw.nodes) models += node.resource_type == "model" ? 1 : 0;
  manifest.nodes.reserve(models + raw.sources.size());

  while (!raw.nodes.empty()) {
    auto entry = raw.nodes.extract(raw.nodes.begin());
    if (entry.mapped().resource_type != "model") continue;
    manifest.nodes.insert_or_assign(model_node(std::move(entry.key()), std::move(entry.mapped())));
  }
  while (!raw.sources.empty()) {
    auto entry = raw.sources.extract(raw.sources.begin());
    manifest.nodes.insert_or_assign(source_node(std::move(entry.key()), std::move(entry.mapped())));
  }
  return manifest;
}

std::string versioned_name(std::string_view name, std::string_view version) {
  std::string printed;
  printed.reserve(name.size() + 2 + version.size());
  printed.append(name).append(".v").append(version);
  return printed;
}

NodeTable::NodeTable(const NodeTable& other) {
  index_.reserve(other.size());
  for (const Node& node : other) insert_or_assign(node);
}

NodeTable& NodeTable::operator=(const NodeTable& other) {
  if (this != &other) *this = NodeTable(other);
  return *this;
}

std::size_t NodeTable::position(std::string_view unique_id) const {
  const auto found = index_.find(unique_id);
  return found == index_.end() ? npos : found->second;
}

const Node* NodeTable::find(std::string_view unique_id) const {
  const std::size_t at = position(unique_id);
  return at == npos ? nullptr : &nodes_[at];
}

const Node& NodeTable::at(std::string_view unique_id) const {
  const Node* node = find(unique_id);
  if (node == nullptr) throw std::out_of_range("no node " + std::string(unique_id) + " in the table");
  return *node;
}

void NodeTable::insert_or_assign(Node node) {
  const auto found = index_.find(std::string_view(node.unique_id));
  if (found != index_.end()) {
    // The stored id, which the key views, stays: its text is moved out and
    // back, so it keeps its place.
    Node& stored = nodes_[found->second];
    node.unique_id = std::move(stored.unique_id);
    stored = std::move(node);
    return;
  }
  if (nodes_.size() >= std::numeric_limits<std::uint32_t>::max()) {
    internal_error("a node table holds fewer than 2^32 nodes");
  }
  const auto added = static_cast<std::uint32_t>(nodes_.size());
  nodes_.emplace_back(std::move(node));
  index_.emplace(std::string_view(nodes_.back().unique_id), added);
}

void NodeTable::erase(std::string_view unique_id) {
  const auto found = index_.find(unique_id);
  if (found == index_.end()) return;
  const std::uint32_t hole = found->second;
  index_.erase(found);
  const auto last = static_cast<std::uint32_t>(nodes_.size() - 1);
  if (hole != last) {
    // The last Node moves into the freed place; its key follows its id.
    index_.erase(std::string_view(nodes_[last].unique_id));
    nodes_[hole] = std::move(nodes_[last]);
    index_.emplace(std::string_view(nodes_[hole].unique_id), hole);
  }
  nodes_.pop_back();
}

ManifestText::~ManifestText() { std::free(data_); }

ManifestText::ManifestText(ManifestText&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

void ManifestText::reserve(std::size_t capacity) {
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

tl::expected<ManifestText, std::string> read_manifest_text(const std::filesystem::path& path) {
  ManifestText text;
  if (auto read = read_whole_file(path, text); !read) return tl::unexpected(std::move(read.error()));
  return text;
}

std::string describe_json_error(const JsonError& error) {
  return error.message + " at line " + std::to_string(error.line) + " column " + std::to_string(error.column);
}

tl::expected<Manifest, ManifestError> load_manifest(const std::filesystem::path& path) {
  auto text = read_manifest_text(path);
  if (!text) return tl::unexpected(ManifestError{ManifestError::Read{display_path(path), std::move(text.error())}});
  // The parser checks the UTF-8 as it goes; a text that is not UTF-8 is a
  // read error whatever the parser found first.
  auto manifest = read_node_table(text->view());
  if (!manifest) {
    if (!is_valid_utf8(text->view())) {
      return tl::unexpected(
          ManifestError{ManifestError::Read{display_path(path), "stream did not contain valid UTF-8"}});
    }
    return tl::unexpected(ManifestError{ManifestError::Parse{display_path(path), std::move(manifest.error())}});
  }
  return std::move(*manifest);
}

std::string describe_manifest_error(const ManifestError& error) {
  if (const auto* read = std::get_if<ManifestError::Read>(&error.error)) return read->path + ": " + read->cause;
  const auto& parse = std::get<ManifestError::Parse>(error.error);
  return parse.path + ": " + describe_json_error(parse.error);
}
