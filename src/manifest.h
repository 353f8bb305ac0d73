// The node table: the models and sources of dbt's compiled manifest, with
// each model's window settings, loaded once per run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <boost/container/deque.hpp>
#include <boost/container/options.hpp>
#include <tl/expected.hpp>

#include "date.h"
#include "string_map.h"

// A model's window settings from config.meta.velk. Absent keys are 0, day
// and empty. The overrides maps are keyed by an upstream model's name, or
// by the name dbt prints for one version of it ("dim_customers.v2").
struct VelkMeta {
  std::int64_t lookback = 0;
  TimeUnit lookback_unit = TimeUnit::day;
  std::int64_t lookahead = 0;
  TimeUnit lookahead_unit = TimeUnit::day;
  StringMap<std::int64_t> lookback_overrides;
  StringMap<std::int64_t> lookahead_overrides;

  // The amount to use for the upstream model that dbt prints as `printed`
  // and whose name is `name` (the same text unless it is one version of a
  // versioned model): the override under the printed name, which holds for
  // that version alone, else the one under the name, which holds for every
  // version, else the model's own amount.
  std::int64_t lookback_for(std::string_view printed, std::string_view name) const {
    return amount_for(lookback_overrides, printed, name, lookback);
  }
  std::int64_t lookahead_for(std::string_view printed, std::string_view name) const {
    return amount_for(lookahead_overrides, printed, name, lookahead);
  }

 private:
  static std::int64_t amount_for(const StringMap<std::int64_t>& overrides, std::string_view printed,
                                 std::string_view name, std::int64_t own) {
    auto found = overrides.find(printed);
    if (found == overrides.end() && printed != name) found = overrides.find(name);
    return found == overrides.end() ? own : found->second;
  }
};

// A text that few Nodes have, kept out of line: a Node pays one pointer for
// it, so that a manifest of many thousands of models that lack it costs no
// room of its own.
class OutOfLineText {
 public:
  OutOfLineText() = default;
  OutOfLineText(std::string text) : text_(std::make_unique<std::string>(std::move(text))) {}
  OutOfLineText(const OutOfLineText& other) : text_(copy(other)) {}
  OutOfLineText& operator=(const OutOfLineText& other) {
    text_ = copy(other);
    return *this;
  }
  OutOfLineText(OutOfLineText&&) noexcept = default;
  OutOfLineText& operator=(OutOfLineText&&) noexcept = default;

  bool empty() const { return text_ == nullptr; }
  std::string_view view() const { return text_ ? std::string_view(*text_) : std::string_view(); }

 private:
  static std::unique_ptr<std::string> copy(const OutOfLineText& other) {
    return other.text_ ? std::make_unique<std::string>(*other.text_) : nullptr;
  }
  std::unique_ptr<std::string> text_;
};

// One model or source of the manifest.
struct Node {
  std::string unique_id;
  std::string name;
  std::vector<std::string> depends_on;  // manifest order, repeats kept; empty for a source
  std::optional<std::string> event_time;
  std::optional<VelkMeta> velk;  // none: no settings; an empty object gives defaults
  bool is_source = false;
  // A versioned model's name as `dbt ls` prints it, name + ".v" + version
  // ("dim_customers.v2"); none for an unversioned model or a source.
  OutOfLineText versioned_name;

  // The name `dbt ls --output name` prints for the model.
  std::string_view printed_name() const {
    return versioned_name.empty() ? std::string_view(name) : versioned_name.view();
  }
};

// name + ".v" + version: how dbt prints a versioned model.
std::string versioned_name(std::string_view name, std::string_view version);

// The models and sources of a manifest, by unique id. Each Node is stored
// once, at its own size and at a fixed address, and an index of views of
// the unique ids finds it: a manifest of many thousands of models is loaded
// in one go, and neither a copy of every id as a key nor the slots of a
// hash table that stand half empty are paid for.
class NodeTable {
 public:
  // Blocks of many Nodes: additions at the end move no Node, and the
  // table is freed in few pieces. A block (some 35 kB) stays below the
  // 64 kB from which glibc's free first merges every small free block, so
  // that releasing a large table frees its texts cheaply.
  using Storage =
      boost::container::deque<Node, void, boost::container::deque_options_t<boost::container::block_size<128>>>;
  using const_iterator = Storage::const_iterator;

  NodeTable() = default;
  NodeTable(const NodeTable& other);
  NodeTable& operator=(const NodeTable& other);
  NodeTable(NodeTable&&) noexcept = default;  // the Nodes stay where they are
  NodeTable& operator=(NodeTable&&) noexcept = default;

  std::size_t size() const { return nodes_.size(); }
  bool empty() const { return nodes_.empty(); }
  void reserve(std::size_t count) { index_.reserve(count); }

  // The Node under `unique_id`, or null.
  const Node* find(std::string_view unique_id) const;
  // The Node under `unique_id`; throws std::out_of_range when there is none.
  const Node& at(std::string_view unique_id) const;
  bool contains(std::string_view unique_id) const { return index_.contains(unique_id); }

  // Each Node has a position, 0 to size() - 1, its place in the iteration
  // order; an erase gives the erased Node's position to the last one.
  static constexpr std::size_t npos = std::size_t(-1);
  // The position of the Node under `unique_id`, or npos.
  std::size_t position(std::string_view unique_id) const;
  const Node& operator[](std::size_t position) const { return nodes_[position]; }

  // Adds `node` under its unique id, replacing the Node already there.
  void insert_or_assign(Node node);
  // Removes the Node under `unique_id`, if there is one; the last Node
  // takes its place.
  void erase(std::string_view unique_id);

  // Every Node, in no particular order.
  const_iterator begin() const { return nodes_.begin(); }
  const_iterator end() const { return nodes_.end(); }

 private:
  Storage nodes_;
  ViewMap<std::uint32_t> index_;  // positions; the keys view the Nodes' unique ids
};

struct Manifest {
  std::optional<std::string> generated_at;  // metadata.generated_at, as written
  NodeTable nodes;                          // every model and every source, by unique id
};

// A JSON reading error: the message and where reading stopped. Its text is
// "{message} at line {line} column {column}".
struct JsonError {
  std::string message;
  std::uint64_t line = 0;
  std::uint64_t column = 0;
};

std::string describe_json_error(const JsonError& error);

struct ManifestError {
  // The file cannot be read as UTF-8 text; cause is the file-system error's text.
  struct Read {
    std::string path;
    std::string cause;
  };
  // The text is not a manifest that the records accept.
  struct Parse {
    std::string path;
    JsonError error;
  };
  std::variant<Read, Parse> error;
};

// Reads the manifest at `path` (as passed: not made absolute).
tl::expected<Manifest, ManifestError> load_manifest(const std::filesystem::path& path);

// "{path}: {cause}".
std::string describe_manifest_error(const ManifestError& error);
