// The part of dbt's compiled manifest that the planner reads, as raw records,
// and the reading of the whole manifest text into them in one forward pass.
// Keys that no record declares are validated and skipped, never built.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <tl/expected.hpp>

#include "manifest.h"
#include "string_map.h"

struct RawDependsOn {
  std::vector<std::string> nodes;  // unique ids, array order, repeats kept
};

struct RawMeta {
  // Null for an absent key or JSON null. Kept out of line: most nodes have
  // none, and each RawNode stays small while the whole manifest is held.
  std::unique_ptr<VelkMeta> velk;
};

struct RawNodeConfig {
  std::optional<std::string> event_time;
  RawMeta meta;
};

struct RawNode {
  std::string resource_type;
  std::string name;
  RawDependsOn depends_on;
  RawNodeConfig config;
  // A versioned model's version: a string as it stands, a number as written
  // in the text ("2", "1.5"); none when absent or null. Read in the object
  // form only: the array form keeps its four elements.
  std::optional<std::string> version;
};

struct RawSource {
  std::string name;
};

struct RawMetadata {
  std::optional<std::string> generated_at;
};

// Keyed by unique id. Node-based, so that each id can be moved out with
// extract() instead of being copied.
template <class Value>
using RawMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

struct RawManifest {
  RawMap<RawNode> nodes;
  RawMap<RawSource> sources;
  std::optional<RawMetadata> metadata;
};

// Nesting allowed for the values read into records; skipped values do not count.
inline constexpr std::size_t max_read_depth = 127;
// Nesting allowed for any value, skipped ones included. The parser recurses
// once per level on a stack of its own, whose room is the real bound.
inline constexpr std::size_t max_json_depth = 100'000'000;

// Reads the whole manifest text, which must be valid UTF-8, into the raw
// records.
tl::expected<RawManifest, JsonError> from_str_manifest(std::string_view text);

// Reads the whole manifest text straight into the node table: the table
// that build_node_table makes of from_str_manifest's records, or the same
// error, without the records of the entries that are neither models nor
// sources ever being kept. The parser checks the text's UTF-8 on the way;
// text that is not UTF-8 fails somewhere, with an error that says so only
// vaguely, so a caller checks the text after a failure to tell the two apart.
tl::expected<Manifest, JsonError> read_node_table(std::string_view text);

// The bytes of a manifest file, in one block allocated at the size that
// fstat gives. The block is not zero-filled first, and it is 2 MiB aligned
// and marked for huge pages where the system offers them: first touches of
// fresh memory are most of the cost of reading a manifest of hundreds of
// megabytes.
class ManifestText {
 public:
  ManifestText() = default;
  ~ManifestText();
  ManifestText(ManifestText&& other) noexcept;
  ManifestText& operator=(ManifestText&&) = delete;

  std::string_view view() const { return {data_, size_}; }
  char* data() { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  void set_size(std::size_t size) { size_ = size; }

  // Room for at least `capacity` bytes, keeping the first size() of them.
  void reserve(std::size_t capacity);

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The whole file, or the text of the operating-system error. A file that is
// still growing, or reports no size (like a pipe), is read on to its end.
tl::expected<ManifestText, std::string> read_manifest_text(const std::filesystem::path& path);

// The node table: the models and the sources of the raw records, moved into
// Nodes; a source replaces a model under the same unique id.
Manifest build_node_table(RawManifest&& raw);
