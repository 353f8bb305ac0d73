// Reads the manifest text into the raw records with one boost::json
// basic_parser pass. The handler is a state machine over an explicit stack of
// frames, one per object or array being read into a record; a value under a
// key that no record declares is only counted through (skip_depth_), so the
// parser validates it but nothing of it is built.
#include "manifest_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <span>

#include <sys/resource.h>

#include <boost/json/basic_parser_impl.hpp>

#include "internal_error.h"
#include "large_stack.h"
#include "quoted.h"

namespace {

namespace json = boost::json;

// What the next value is read into. The container kinds double as the kinds
// of the frames that read them.
enum class Slot : std::uint8_t {
  skip,           // an undeclared key: validated, not built
  extra,          // an array element after a record's last field
  manifest,       // RawManifest
  node_map,       // RawMap<RawNode>
  source_map,     // RawMap<RawSource>
  metadata,       // std::optional<RawMetadata>; null gives none
  node,           // RawNode
  source,         // RawSource
  depends_on,     // RawDependsOn
  id_list,        // std::vector<std::string>
  config,         // RawNodeConfig
  meta,           // RawMeta
  velk,           // std::unique_ptr<VelkMeta>; null gives none
  overrides,      // StringMap<std::int64_t>
  text,           // std::string
  optional_text,  // std::optional<std::string>; null gives none
  version,        // std::optional<std::string>: a string, or a number's text; null gives none
  amount,         // std::int64_t
  unit,           // TimeUnit: a name, or an object with one name key and null
  unit_value,     // the null under the unit's key; nothing is stored
};

struct Target {
  Slot slot = Slot::skip;
  void* ptr = nullptr;  // the object of the type that the slot names
};

struct Field {
  std::string_view name;
  Slot slot;
};

// The fields of each record in declared order, which is also the order of
// its array form.
constexpr Field manifest_fields[] = {
    {"nodes", Slot::node_map}, {"sources", Slot::source_map}, {"metadata", Slot::metadata}};
constexpr Field metadata_fields[] = {{"generated_at", Slot::optional_text}};
constexpr Field node_fields[] = {{"resource_type", Slot::text},
                                 {"name", Slot::text},
                                 {"depends_on", Slot::depends_on},
                                 {"config", Slot::config},
                                 {"version", Slot::version}};
constexpr Field source_fields[] = {{"name", Slot::text}};
constexpr Field depends_on_fields[] = {{"nodes", Slot::id_list}};
constexpr Field config_fields[] = {{"event_time", Slot::optional_text}, {"meta", Slot::meta}};
constexpr Field meta_fields[] = {{"velk", Slot::velk}};
constexpr Field velk_fields[] = {{"lookback", Slot::amount},
                                 {"lookback_unit", Slot::unit},
                                 {"lookahead", Slot::amount},
                                 {"lookahead_unit", Slot::unit},
                                 {"lookback_overrides", Slot::overrides},
                                 {"lookahead_overrides", Slot::overrides}};

struct RecordInfo {
  std::span<const Field> fields;
  std::size_t required;  // the leading fields that must be present
  std::string_view length_text;
  std::size_t array_fields;  // the leading fields that the array form holds
};

bool is_record(Slot slot) {
  switch (slot) {
    case Slot::manifest:
    case Slot::metadata:
    case Slot::node:
    case Slot::source:
    case Slot::depends_on:
    case Slot::config:
    case Slot::meta:
    case Slot::velk:
      return true;
    default:
      return false;
  }
}

// The records by slot; the other slots have no fields.
constexpr std::size_t kSlots = static_cast<std::size_t>(Slot::unit_value) + 1;
constexpr std::array<RecordInfo, kSlots> records = [] {
  std::array<RecordInfo, kSlots> table{};
  const auto set = [&](Slot slot, RecordInfo info) { table[static_cast<std::size_t>(slot)] = info; };
  // A node's version is read in the object form only: its array form keeps
  // the four elements it has always had.
  set(Slot::manifest, {manifest_fields, 0, {}, std::size(manifest_fields)});
  set(Slot::metadata, {metadata_fields, 0, {}, std::size(metadata_fields)});
  set(Slot::node, {node_fields, 2, "struct RawNode with 4 elements", 4});
  set(Slot::source, {source_fields, 1, "struct RawSource with 1 element", std::size(source_fields)});
  set(Slot::depends_on, {depends_on_fields, 0, {}, std::size(depends_on_fields)});
  set(Slot::config, {config_fields, 0, {}, std::size(config_fields)});
  set(Slot::meta, {meta_fields, 0, {}, std::size(meta_fields)});
  set(Slot::velk, {velk_fields, 0, {}, std::size(velk_fields)});
  return table;
}();

const RecordInfo& record_info(Slot record) {
  const RecordInfo& info = records[static_cast<std::size_t>(record)];
  if (info.fields.empty()) internal_error("record_info is only asked about records");
  return info;
}

// Where the field `index` of a record lives.
void* field_ptr(Slot record, void* ptr, std::size_t index) {
  switch (record) {
    case Slot::manifest: {
      auto* m = static_cast<RawManifest*>(ptr);
      if (index == 0) return &m->nodes;
      if (index == 1) return &m->sources;
      return &m->metadata;
    }
    case Slot::metadata: return &static_cast<RawMetadata*>(ptr)->generated_at;
    case Slot::node: {
      auto* n = static_cast<RawNode*>(ptr);
      if (index == 0) return &n->resource_type;
      if (index == 1) return &n->name;
      if (index == 2) return &n->depends_on;
      if (index == 3) return &n->config;
      return &n->version;
    }
    case Slot::source: return &static_cast<RawSource*>(ptr)->name;
    case Slot::depends_on: return &static_cast<RawDependsOn*>(ptr)->nodes;
    case Slot::config: {
      auto* c = static_cast<RawNodeConfig*>(ptr);
      if (index == 0) return &c->event_time;
      return &c->meta;
    }
    case Slot::meta: return &static_cast<RawMeta*>(ptr)->velk;
    case Slot::velk: {
      auto* v = static_cast<VelkMeta*>(ptr);
      switch (index) {
        case 0: return &v->lookback;
        case 1: return &v->lookback_unit;
        case 2: return &v->lookahead;
        case 3: return &v->lookahead_unit;
        case 4: return &v->lookback_overrides;
        default: return &v->lookahead_overrides;
      }
    }
    default: internal_error("field_ptr is only asked about records");
  }
}

// The text that a type error names as what was expected.
std::string_view expected_text(Slot slot) {
  switch (slot) {
    case Slot::manifest: return "struct RawManifest";
    case Slot::metadata: return "struct RawMetadata";
    case Slot::node: return "struct RawNode";
    case Slot::source: return "struct RawSource";
    case Slot::depends_on: return "struct RawDependsOn";
    case Slot::config: return "struct RawNodeConfig";
    case Slot::meta: return "struct RawMeta";
    case Slot::velk: return "struct VelkMeta";
    case Slot::node_map:
    case Slot::source_map:
    case Slot::overrides: return "a map";
    case Slot::id_list: return "a sequence";
    case Slot::text:
    case Slot::optional_text: return "a string";
    case Slot::version: return "a string or a number";
    case Slot::amount: return "i64";
    case Slot::unit_value: return "unit";
    default: internal_error("expected_text is only asked about read values");
  }
}

constexpr std::string_view unit_names[] = {"day", "week", "month", "year"};
constexpr TimeUnit units[] = {TimeUnit::day, TimeUnit::week, TimeUnit::month, TimeUnit::year};

std::optional<TimeUnit> unit_named(std::string_view name) {
  for (std::size_t i = 0; i < std::size(unit_names); ++i) {
    if (unit_names[i] == name) return units[i];
  }
  return std::nullopt;
}

std::string unknown_unit(std::string_view name) {
  // Escaped as in the quoted form, so that no control character of the
  // manifest reaches the terminal.
  const std::string quoted = quoted_form(name);
  std::string message = "unknown variant `";
  message.append(quoted, 1, quoted.size() - 2);
  message += "`, expected one of ";
  for (std::size_t i = 0; i < std::size(unit_names); ++i) {
    if (i > 0) message += ", ";
    message += '`';
    message += unit_names[i];
    message += '`';
  }
  return message;
}

// What a number's raw text is: the reading of an amount goes by the text, not
// by what the parser made of it, so that -0, 1.0 and 1e2 are floats.
struct NumberKind {
  enum { integer, above_i64, floating } kind;
  std::int64_t value = 0;
};

NumberKind judge_number(std::string_view raw) {
  if (raw.find_first_of(".eE") != std::string_view::npos || raw == "-0") {
    return {NumberKind::floating};
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(raw.data(), raw.data() + raw.size(), value);
  if (error == std::errc() && end == raw.data() + raw.size()) return {NumberKind::integer, value};
  if (raw.front() == '-') return {NumberKind::floating};
  std::uint64_t unsigned_value = 0;
  const auto [uend, uerror] = std::from_chars(raw.data(), raw.data() + raw.size(), unsigned_value);
  if (uerror == std::errc() && uend == raw.data() + raw.size()) return {NumberKind::above_i64};
  return {NumberKind::floating};
}

std::string number_found(std::string_view raw) {
  const bool integer = judge_number(raw).kind != NumberKind::floating;
  return std::string(integer ? "integer `" : "floating point `") + std::string(raw) + "`";
}

// Where an error of the handler is positioned, relative to the offset at
// which the parser stopped.
enum class Anchor : std::uint8_t {
  at_stop,       // the bracket, brace or literal where the parser stopped
  before_stop,   // `back` bytes before it: the start of a number
  string_start,  // the opening quote of the string that the parser stopped in
};

struct Failure {
  std::string message;
  Anchor anchor = Anchor::at_stop;
  std::size_t back = 0;
};

struct Frame {
  Slot kind;
  bool is_array = false;
  std::uint8_t seen = 0;  // object form of a record: one bit per field read
  std::size_t count = 0;  // array form: elements so far; unit object: keys so far
  void* ptr = nullptr;    // what the frame fills
  Target next;            // object form: the value after the last key
};

// Where the entries of the two maps go as they are read: begin_ gives the
// record that the entry's value is read into, end_ follows once the value
// was read in full (its required fields checked).
class EntrySink {
 public:
  virtual RawNode& begin_node(std::string_view id) = 0;
  virtual void end_node() = 0;
  virtual RawSource& begin_source(std::string_view id) = 0;
  virtual void end_source() = 0;

 protected:
  ~EntrySink() = default;
};

// The raw records, every entry kept; a later entry under an id replaces the
// earlier one.
class RawSink final : public EntrySink {
 public:
  explicit RawSink(RawManifest& manifest) : manifest_(manifest) {}

  RawNode& begin_node(std::string_view id) override {
    auto [entry, inserted] = manifest_.nodes.try_emplace(std::string(id));
    if (!inserted) entry->second = RawNode{};
    return entry->second;
  }
  void end_node() override {}
  RawSource& begin_source(std::string_view id) override {
    auto [entry, inserted] = manifest_.sources.try_emplace(std::string(id));
    if (!inserted) entry->second = RawSource{};
    return entry->second;
  }
  void end_source() override {}

 private:
  RawManifest& manifest_;
};

// The node table, built as the entries are read: each entry is read into
// one reused record, and only the models and the sources are moved into
// Nodes, so that the other entries (tests, seeds, ...) cost no memory of
// their own. The table ends as build_node_table makes it from the raw
// records: per id the last entry of `nodes` counts, and a source, wherever
// it stands in the text, wins over a model under the same id.
class TableSink final : public EntrySink {
 public:
  explicit TableSink(NodeTable& table) : table_(table) {}

  RawNode& begin_node(std::string_view id) override {
    id_.assign(id.data(), id.size());
    node_.resource_type.clear();
    node_.name.clear();
    node_.depends_on.nodes.clear();
    node_.config.event_time.reset();
    node_.config.meta.velk.reset();
    node_.version.reset();
    return node_;
  }

  void end_node() override {
    const Node* earlier = table_.find(id_);
    if (earlier != nullptr && earlier->is_source) return;  // the source keeps its id
    if (node_.resource_type != "model") {
      // It replaces an earlier model under its id, if there was one.
      if (earlier != nullptr) table_.erase(id_);
      return;
    }
    Node node;
    node.unique_id = id_;
    node.name = std::move(node_.name);
    // Moved one by one into a list of its own size; the record keeps its
    // list's room for the next entry.
    node.depends_on.reserve(node_.depends_on.nodes.size());
    for (std::string& parent : node_.depends_on.nodes) node.depends_on.push_back(std::move(parent));
    node.event_time = std::move(node_.config.event_time);
    if (node_.config.meta.velk) node.velk = std::move(*node_.config.meta.velk);
    if (node_.version) node.versioned_name = versioned_name(node.name, *node_.version);
    table_.insert_or_assign(std::move(node));
  }

  RawSource& begin_source(std::string_view id) override {
    id_.assign(id.data(), id.size());
    source_.name.clear();
    return source_;
  }

  void end_source() override {
    Node node;
    node.unique_id = id_;
    node.name = std::move(source_.name);
    node.is_source = true;
    table_.insert_or_assign(std::move(node));
  }

 private:
  NodeTable& table_;
  std::string id_;  // of the entry being read
  RawNode node_;
  RawSource source_;
};

class ManifestHandler {
 public:
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);

  ManifestHandler(RawManifest& root, EntrySink& sink, const char* stack_floor, const char* text_end)
      : root_(root), sink_(sink), stack_floor_(stack_floor), text_end_(text_end) {}

  std::optional<Failure> failure;
  bool out_of_stack = false;  // the failure is that the stack ran out

  bool on_document_begin(json::error_code&) { return true; }
  bool on_document_end(json::error_code&) { return true; }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

  bool on_object_begin(json::error_code& ec) { return begin_container(false, ec); }
  bool on_array_begin(json::error_code& ec) { return begin_container(true, ec); }

  bool on_object_end(std::size_t, json::error_code& ec) {
    if (skip_depth_ != 0) return --skip_depth_, true;
    const Frame& top = frames_.back();
    if (top.kind == Slot::unit && top.count == 0) return fail(ec, "expected value", Anchor::at_stop);
    if (is_record(top.kind)) {
      const RecordInfo& info = record_info(top.kind);
      for (std::size_t i = 0; i < info.required; ++i) {
        if ((top.seen & (1u << i)) == 0) {
          return fail(ec, "missing field `" + std::string(info.fields[i].name) + "`", Anchor::at_stop);
        }
      }
    }
    end_frame();
    return true;
  }

  bool on_array_end(std::size_t, json::error_code& ec) {
    if (skip_depth_ != 0) return --skip_depth_, true;
    const Frame& top = frames_.back();
    if (is_record(top.kind)) {
      const RecordInfo& info = record_info(top.kind);
      if (top.count < info.required) {
        return fail(ec, "invalid length " + std::to_string(top.count) + ", expected " + std::string(info.length_text),
                    Anchor::at_stop);
      }
    }
    end_frame();
    return true;
  }

  bool on_key_part(json::string_view part, std::size_t, json::error_code&) {
    if (skip_depth_ == 0) key_.append(part.data(), part.size());
    return true;
  }

  bool on_key(json::string_view last, std::size_t, json::error_code& ec) {
    if (skip_depth_ != 0) return true;
    if (key_.empty()) return take_key({last.data(), last.size()}, ec);
    key_.append(last.data(), last.size());
    const bool ok = take_key(key_, ec);
    key_.clear();
    return ok;
  }

  bool on_string_part(json::string_view part, std::size_t, json::error_code& ec) {
    if (skip_depth_ != 0 || skip_next_) return true;
    if (!in_string_ && !begin_string(ec)) return false;
    if (string_target_ != nullptr) string_target_->append(part.data(), part.size());
    return true;
  }

  bool on_string(json::string_view last, std::size_t, json::error_code& ec) {
    if (skipped_scalar()) return true;
    if (!in_string_ && !begin_string(ec)) return false;
    in_string_ = false;
    switch (string_slot_) {
      case Slot::skip:
        return true;
      case Slot::text:
      case Slot::optional_text:
      case Slot::version:
        string_target_->append(last.data(), last.size());
        string_target_ = nullptr;
        return true;
      default: {
        // A unit name, or a string where none belongs: judged as a whole.
        string_target_->append(last.data(), last.size());
        string_target_ = nullptr;
        if (string_slot_ == Slot::unit) {
          if (const auto unit = unit_named(scratch_)) {
            *static_cast<TimeUnit*>(string_ptr_) = *unit;
            return true;
          }
          return fail(ec, unknown_unit(scratch_), Anchor::string_start);
        }
        return invalid_type(ec, string_slot_, "string " + quoted_form(scratch_), Anchor::string_start);
      }
    }
  }

  bool on_number_part(json::string_view part, json::error_code&) {
    if (skip_depth_ == 0 && !skip_next_) number_.append(part.data(), part.size());
    return true;
  }
  bool on_int64(std::int64_t, json::string_view last, json::error_code& ec) { return take_number(last, ec); }
  bool on_uint64(std::uint64_t, json::string_view last, json::error_code& ec) { return take_number(last, ec); }
  bool on_double(double, json::string_view last, json::error_code& ec) { return take_number(last, ec); }

  bool on_bool(bool value, json::error_code& ec) {
    if (skipped_scalar()) return true;
    const Target t = take_slot();
    if (t.slot == Slot::skip) return true;
    return invalid_type(ec, t.slot, value ? "boolean `true`" : "boolean `false`", Anchor::at_stop);
  }

  bool on_null(json::error_code& ec) {
    if (skipped_scalar()) return true;
    const Target t = take_slot();
    switch (t.slot) {
      case Slot::skip:
      case Slot::unit_value:
      case Slot::metadata:  // the optional values stay none
      case Slot::velk:
      case Slot::optional_text:
      case Slot::version:
        return true;
      default:
        return invalid_type(ec, t.slot, "null", Anchor::at_stop);
    }
  }

 private:
  // A container read in full: an entry of a map is handed on.
  void end_frame() {
    const Slot kind = frames_.back().kind;
    frames_.pop_back();
    if (kind == Slot::node) sink_.end_node();
    if (kind == Slot::source) sink_.end_source();
  }

  bool stack_exhausted(json::error_code& ec) {
    out_of_stack = true;
    return fail(ec, "recursion limit exceeded", Anchor::at_stop);
  }

  // A map or a sequence that starts now: pushed when its slot takes that
  // form (records take both), skipped whole when its key is no field.
  bool begin_container(bool is_array, json::error_code& ec) {
    if (stack_below(stack_floor_)) return stack_exhausted(ec);
    if (skip_depth_ != 0 || skip_next_) return skip_next_ = false, ++skip_depth_, true;
    const Target t = take_slot();
    switch (t.slot) {
      case Slot::skip: skip_depth_ = 1; return true;
      case Slot::metadata: return push(Slot::metadata, is_array, new_metadata(t.ptr), ec);
      case Slot::velk: return push(Slot::velk, is_array, new_velk(t.ptr), ec);
      case Slot::manifest:
      case Slot::node:
      case Slot::source:
      case Slot::depends_on:
      case Slot::config:
      case Slot::meta:
        return push(t.slot, is_array, t.ptr, ec);
      case Slot::node_map:
      case Slot::source_map:
      case Slot::overrides:
      case Slot::unit:
        if (!is_array) return push(t.slot, false, t.ptr, ec);
        break;
      case Slot::id_list:
        if (is_array) return push(t.slot, true, t.ptr, ec);
        break;
      default:
        break;
    }
    return invalid_type(ec, t.slot, is_array ? "sequence" : "map", Anchor::at_stop);
  }

  // The slot of a value that is starting now.
  Target take_slot() {
    if (frames_.empty()) return {Slot::manifest, &root_};
    Frame& top = frames_.back();
    if (!top.is_array) return top.next;
    if (top.kind == Slot::id_list) {
      ++top.count;
      return {Slot::text, &static_cast<std::vector<std::string>*>(top.ptr)->emplace_back()};
    }
    const RecordInfo& info = record_info(top.kind);
    if (top.count >= info.array_fields) return {Slot::extra, nullptr};
    const std::size_t index = top.count++;
    return {info.fields[index].slot, field_ptr(top.kind, top.ptr, index)};
  }

  static RawMetadata* new_metadata(void* ptr) { return &static_cast<std::optional<RawMetadata>*>(ptr)->emplace(); }

  static VelkMeta* new_velk(void* ptr) {
    auto& velk = *static_cast<std::unique_ptr<VelkMeta>*>(ptr);
    velk = std::make_unique<VelkMeta>();
    return velk.get();
  }

  bool push(Slot kind, bool is_array, void* ptr, json::error_code& ec) {
    if (frames_.size() >= max_read_depth) return fail(ec, "recursion limit exceeded", Anchor::at_stop);
    frames_.push_back(Frame{kind, is_array, 0, 0, ptr, {}});
    return true;
  }

  bool take_key(std::string_view key, json::error_code& ec) {
    Frame& top = frames_.back();
    switch (top.kind) {
      case Slot::node_map:
        top.next = {Slot::node, &sink_.begin_node(key)};
        return true;
      case Slot::source_map:
        top.next = {Slot::source, &sink_.begin_source(key)};
        return true;
      case Slot::overrides: {
        auto& map = *static_cast<StringMap<std::int64_t>*>(top.ptr);
        top.next = {Slot::amount, &map[std::string(key)]};
        return true;
      }
      case Slot::unit: {
        if (top.count++ != 0) return fail(ec, "expected value", Anchor::string_start);
        const auto unit = unit_named(key);
        if (!unit) return fail(ec, unknown_unit(key), Anchor::string_start);
        *static_cast<TimeUnit*>(top.ptr) = *unit;
        top.next = {Slot::unit_value, nullptr};
        return true;
      }
      default: {
        const RecordInfo& info = record_info(top.kind);
        for (std::size_t i = 0; i < info.fields.size(); ++i) {
          // Most keys are none of the fields: the first byte tells.
          const std::string_view name = info.fields[i].name;
          if (name.size() != key.size() || name.front() != key.front() || name != key) continue;
          if ((top.seen & (1u << i)) != 0) {
            return fail(ec, "duplicate field `" + std::string(key) + "`", Anchor::string_start);
          }
          top.seen |= static_cast<std::uint8_t>(1u << i);
          top.next = {info.fields[i].slot, field_ptr(top.kind, top.ptr, i)};
          return true;
        }
        top.next = {Slot::skip, nullptr};
        skip_next_ = true;
        return true;
      }
    }
  }

  // Whether the scalar that ends now is skipped: inside a skipped value, or
  // the value of a key that no record declares.
  bool skipped_scalar() {
    if (skip_depth_ != 0) return true;
    if (!skip_next_) return false;
    skip_next_ = false;
    return true;
  }

  // The first part of a string value: decides where its text goes.
  bool begin_string(json::error_code& ec) {
    const Target t = take_slot();
    string_slot_ = t.slot;
    string_target_ = nullptr;
    switch (t.slot) {
      case Slot::skip:
        break;
      case Slot::extra:
        return fail(ec, "trailing characters", Anchor::string_start);
      case Slot::text:
        string_target_ = static_cast<std::string*>(t.ptr);
        break;
      case Slot::optional_text:
      case Slot::version:
        string_target_ = &static_cast<std::optional<std::string>*>(t.ptr)->emplace();
        break;
      default:
        string_ptr_ = t.ptr;
        scratch_.clear();
        string_target_ = &scratch_;
        break;
    }
    in_string_ = true;
    return true;
  }

  bool take_number(json::string_view last, json::error_code& ec) {
    if (skipped_scalar()) return true;
    std::string_view raw(last.data(), last.size());
    if (!number_.empty()) {
      number_.append(raw);
      raw = number_;
    } else if (leading_zero_before_digit(raw, last.data() + last.size())) {
      // "01": the parser hands over the 0 before it finds the number
      // malformed; it reports that itself at the next digit.
      take_slot();
      return true;
    }
    const bool ok = read_number(raw, ec);
    number_.clear();
    return ok;
  }

  bool leading_zero_before_digit(std::string_view raw, const char* next) const {
    return (raw == "0" || raw == "-0") && next < text_end_ && *next >= '0' && *next <= '9';
  }

  bool read_number(std::string_view raw, json::error_code& ec) {
    const Target t = take_slot();
    if (t.slot == Slot::skip) return true;
    if (t.slot == Slot::version) {
      static_cast<std::optional<std::string>*>(t.ptr)->emplace(raw);
      return true;
    }
    if (t.slot == Slot::amount) {
      const NumberKind number = judge_number(raw);
      if (number.kind == NumberKind::integer) {
        *static_cast<std::int64_t*>(t.ptr) = number.value;
        return true;
      }
      if (number.kind == NumberKind::above_i64) {
        return fail(ec, "invalid value: integer `" + std::string(raw) + "`, expected i64", Anchor::before_stop,
                    raw.size());
      }
    }
    return invalid_type(ec, t.slot, number_found(raw), Anchor::before_stop, raw.size());
  }

  bool invalid_type(json::error_code& ec, Slot slot, std::string_view found, Anchor anchor, std::size_t back = 0) {
    if (slot == Slot::extra) return fail(ec, "trailing characters", anchor, back);
    // A unit is a name or a one-key object; anything else is no value of it.
    if (slot == Slot::unit) return fail(ec, "expected value", anchor, back);
    return fail(ec, "invalid type: " + std::string(found) + ", expected " + std::string(expected_text(slot)), anchor,
                back);
  }

  bool fail(json::error_code& ec, std::string message, Anchor anchor, std::size_t back = 0) {
    failure = Failure{std::move(message), anchor, back};
    ec = json::error::exception;  // the parser stops; the failure says why
    return false;
  }

  RawManifest& root_;  // what the document's value is read into
  EntrySink& sink_;    // where the entries of its maps go
  const char* stack_floor_;  // the lowest address the parser's recursion may reach (large_stack.h)
  const char* text_end_;     // the end of the text, which is parsed in one piece
  std::vector<Frame> frames_;
  std::size_t skip_depth_ = 0;  // open containers of the skipped value
  bool skip_next_ = false;      // the next value is that of a key no record declares
  std::string key_;             // a key delivered in parts
  std::string number_;          // a number delivered in parts
  bool in_string_ = false;
  Slot string_slot_ = Slot::skip;
  std::string* string_target_ = nullptr;  // where the string's parts go
  void* string_ptr_ = nullptr;            // a unit's target
  std::string scratch_;                   // a string judged as a whole
};

// The opening quote of the string in which the parser stopped at `stop`:
// the nearest quote before it that no odd run of backslashes escapes.
std::size_t string_start(std::string_view text, std::size_t stop) {
  std::size_t i = std::min(stop, text.size());
  while (i > 0) {
    --i;
    if (text[i] != '"') continue;
    std::size_t backslashes = 0;
    while (backslashes < i && text[i - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return i;
  }
  return 0;
}

// A syntax error explained from the text before the offset where the parser
// stopped (only run on the error path): what the parser was in, and expected.
std::string explain_syntax_error(std::string_view text, std::size_t offset, bool at_end) {
  enum class Expect : std::uint8_t { value, first_value_or_end, first_key_or_end, key, colon, comma_or_end };
  std::vector<char> open;  // '{' and '['
  Expect expect = Expect::value;
  bool in_string = false;
  bool escaped = false;
  bool string_is_key = false;
  bool in_number = false;
  bool in_literal = false;
  char last = 0;  // the last structural character or token outside strings
  const auto after_value = [&] { expect = Expect::comma_or_end; };
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
        last = '"';
        if (string_is_key) {
          expect = Expect::colon;
        } else {
          after_value();
        }
      }
      continue;
    }
    if (in_number) {
      if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'e' || c == 'E') continue;
      in_number = false;
      after_value();
    }
    if (in_literal) {
      if (c >= 'a' && c <= 'z') continue;
      in_literal = false;
      after_value();
    }
    switch (c) {
      case ' ': case '\t': case '\n': case '\r': continue;
      case '{': open.push_back('{'); expect = Expect::first_key_or_end; break;
      case '[': open.push_back('['); expect = Expect::first_value_or_end; break;
      case '}': case ']': if (!open.empty()) open.pop_back(); after_value(); break;
      case ',': expect = (!open.empty() && open.back() == '{') ? Expect::key : Expect::value; break;
      case ':': expect = Expect::value; break;
      case '"':
        in_string = true;
        string_is_key = expect == Expect::key || expect == Expect::first_key_or_end;
        break;
      default:
        if ((c >= '0' && c <= '9') || c == '-') {
          in_number = true;
        } else {
          in_literal = true;
        }
        break;
    }
    last = c;
  }
  if (at_end) {
    if (in_string) return "EOF while parsing a string";
    if (open.empty()) return "EOF while parsing a value";
    return open.back() == '[' ? "EOF while parsing a list" : "EOF while parsing an object";
  }
  const char c = offset < text.size() ? text[offset] : '\0';
  if (in_string) {
    if (escaped || c == '\\') return "invalid escape";
    if (static_cast<unsigned char>(c) < 0x20) return "control character (\\u0000-\\u001F) found while parsing a string";
    if (offset >= 6 && text[offset - 6] == '\\' && text[offset - 5] == 'u' &&
        (text[offset - 4] == 'd' || text[offset - 4] == 'D')) {
      return "lone surrogate in hex escape";
    }
    return "invalid string";
  }
  if (in_number) return "invalid number";
  if (in_literal) return "expected ident";
  switch (expect) {
    case Expect::value:
    case Expect::first_value_or_end:
      if ((c == ']' || c == '}') && last == ',') return "trailing comma";
      if (c >= 'a' && c <= 'z') return "expected ident";
      return "expected value";
    case Expect::key:
      if (c == '}') return "trailing comma";
      return "key must be a string";
    case Expect::first_key_or_end:
      return "key must be a string";
    case Expect::colon:
      return "expected `:`";
    case Expect::comma_or_end:
      if (open.empty()) return "trailing characters";
      return open.back() == '[' ? "expected `,` or `]`" : "expected `,` or `}`";
  }
  return "syntax error";
}

std::string parser_error_message(const json::error_code& ec, std::string_view text, std::size_t offset) {
  if (ec == json::error::syntax) return explain_syntax_error(text, offset, false);
  if (ec == json::error::incomplete) return explain_syntax_error(text, offset, true);
  if (ec == json::error::extra_data) return "trailing characters";
  if (ec == json::error::too_deep) return "recursion limit exceeded";
  if (ec == json::error::exponent_overflow) return "number out of range";
  if (ec == json::error::expected_hex_digit) return "invalid escape";
  if (ec == json::error::illegal_leading_surrogate || ec == json::error::illegal_trailing_surrogate) {
    return "lone surrogate in hex escape";
  }
  return ec.message();
}

// The error positioned at a byte offset: lines and columns count from 1,
// and a column counts characters, not bytes.
JsonError json_error_at(std::string message, std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t line_start = before.rfind('\n') == std::string_view::npos ? 0 : before.rfind('\n') + 1;
  const auto lines = static_cast<std::uint64_t>(std::count(before.begin(), before.end(), '\n'));
  // Characters, not bytes: continuation bytes do not start one.
  const auto characters = static_cast<std::uint64_t>(
      std::count_if(before.begin() + static_cast<std::ptrdiff_t>(line_start), before.end(),
                    [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
  return JsonError{std::move(message), lines + 1, characters + 1};
}

// One parse of the whole text: the records go to `root` and `sink`.
struct Outcome {
  std::optional<JsonError> error;
  bool out_of_stack = false;
};

Outcome parse_text(std::string_view text, RawManifest& root, EntrySink& sink, bool check_utf8,
                   const char* stack_floor) {
  json::parse_options options;
  options.max_depth = max_json_depth;
  options.allow_invalid_utf8 = !check_utf8;
  json::basic_parser<ManifestHandler> parser(options, root, sink, stack_floor, text.data() + text.size());
  json::error_code ec;
  const std::size_t stop = parser.write_some(false, text.data(), text.size(), ec);
  if (!ec) {
    // write_some stops after the document and its trailing white space.
    if (stop < text.size()) return {json_error_at("trailing characters", text, stop)};
    return {};
  }

  const ManifestHandler& handler = parser.handler();
  const auto& failure = handler.failure;
  if (!failure) return {json_error_at(parser_error_message(ec, text, stop), text, stop)};
  std::size_t offset = stop;
  switch (failure->anchor) {
    case Anchor::at_stop: break;
    case Anchor::before_stop: offset = stop >= failure->back ? stop - failure->back : 0; break;
    case Anchor::string_start: offset = string_start(text, stop); break;
  }
  return {json_error_at(failure->message, text, offset), handler.out_of_stack};
}

// Room for the parser's recursion on the caller's stack: far more than any
// real manifest needs (it nests some ten levels), and a small part of the
// usual 8 MiB of a process's stack.
constexpr std::size_t kCallerStackRoom = std::size_t(1) << 20;

// Runs `parse` (given the lowest address its recursion may reach) on this
// thread's stack, where allocations are cheapest, and once more on a large
// stack of its own when the text nests deeper than this one holds. `parse`
// starts from nothing each time.
template <class Parse>
Outcome parse_on_enough_stack(const Parse& parse) {
  struct rlimit limit {};
  const bool roomy = ::getrlimit(RLIMIT_STACK, &limit) == 0 &&
                     (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= 4 * kCallerStackRoom);
  if (roomy) {
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    Outcome outcome = parse(here - kCallerStackRoom);
    if (!outcome.out_of_stack) return outcome;
  }
  Outcome outcome;
  run_on_large_stack([&](const char* floor) { outcome = parse(floor); });
  return outcome;
}

}  // namespace

tl::expected<RawManifest, JsonError> from_str_manifest(std::string_view text) {
  RawManifest manifest;
  const Outcome outcome = parse_on_enough_stack([&](const char* floor) {
    manifest = RawManifest{};
    RawSink sink(manifest);
    return parse_text(text, manifest, sink, false, floor);
  });
  if (outcome.error) return tl::unexpected(*outcome.error);
  return manifest;
}

tl::expected<Manifest, JsonError> read_node_table(std::string_view text) {
  Manifest manifest;
  const Outcome outcome = parse_on_enough_stack([&](const char* floor) {
    RawManifest root;
    manifest = Manifest{};
    manifest.nodes.reserve(text.size() / 2048);
    TableSink sink(manifest.nodes);
    Outcome parsed = parse_text(text, root, sink, true, floor);
    if (root.metadata) manifest.generated_at = std::move(root.metadata->generated_at);
    return parsed;
  });
  if (outcome.error) return tl::unexpected(*outcome.error);
  return manifest;
}
