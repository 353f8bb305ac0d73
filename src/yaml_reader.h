// YAML text through libyaml's document API: loading a file's one document,
// resolving scalars, and the value names and positions used in messages.
//
// Aliases are resolved by libyaml to the node they refer to (nodes are
// shared, never copied), so readers that look only at the nodes they need
// stay linear in the size of the text whatever the alias structure.
#pragma once

#include <yaml.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

class YamlDocument {
 public:
  // The text's only document; a text with no document (empty, or only
  // comments) gives one without a root. A syntax error or a second document
  // fails with a message naming its line and column.
  static tl::expected<YamlDocument, std::string> load(std::string_view text);

  // Null for a text with no document.
  const yaml_node_t* root() const;
  const yaml_node_t& node(int index) const;
  std::span<const yaml_node_pair_t> pairs(const yaml_node_t& mapping) const;

 private:
  struct Delete {
    void operator()(yaml_document_t* document) const;
  };
  std::unique_ptr<yaml_document_t, Delete> document_;
};

// What a scalar stands for.
enum class YamlScalarType { Null, Bool, Int, Float, String };

// A scalar's text exactly as written (escapes and folding applied).
std::string_view scalar_text(const yaml_node_t& scalar);

// The type of a scalar: a plain one by its text (null as "", "~", "null",
// "Null" or "NULL"; booleans; integers with an optional sign and the 0x, 0o
// and 0b prefixes; floats; anything else a string), a quoted one is always a
// string, and one with an explicit null, boolean, integer or float tag by
// that tag. A tagged scalar whose text does not fit its tag is an error.
tl::expected<YamlScalarType, std::string> resolve_scalar(const yaml_node_t& scalar);

// The value of an integer's text, or nothing when it does not fit int64.
std::optional<std::int64_t> yaml_integer(std::string_view text);

// How a message names a value: "sequence", "map", "string \"x\"",
// "integer `5`", "floating point `1.5`", "boolean `true`" or "null".
std::string describe_yaml_value(const yaml_node_t& node);

// " at line {line} column {column}", counted from 1.
std::string yaml_position(const yaml_mark_t& mark);
