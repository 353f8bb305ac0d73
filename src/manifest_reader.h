// The part of dbt's compiled manifest that the planner reads, as raw records,
// and the reading of the whole manifest text into them in one forward pass.
// Keys that no record declares are validated and skipped, never built.
#pragma once

#include <cstddef>
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

// Reads the whole manifest text, which must be valid UTF-8 (load_manifest
// checks it first), into the raw records.
tl::expected<RawManifest, JsonError> from_str_manifest(std::string_view text);
