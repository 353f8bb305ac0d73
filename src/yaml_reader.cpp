// YAML documents through libyaml: loading, scalar resolution and messages.
#include "yaml_reader.h"

#include <cstring>

#include "internal_error.h"
#include "quoted.h"

namespace {

bool is_null_text(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

bool is_bool_text(std::string_view text) {
  return text == "true" || text == "True" || text == "TRUE" || text == "false" ||
         text == "False" || text == "FALSE";
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// An integer's text split into its sign, base and digits.
struct IntegerForm {
  bool negative = false;
  int base = 10;
  std::string_view digits;
};

std::optional<IntegerForm> integer_form(std::string_view text) {
  IntegerForm form;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    form.negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.size() > 2 && text[0] == '0') {
    if (text[1] == 'x') form.base = 16;
    if (text[1] == 'o') form.base = 8;
    if (text[1] == 'b') form.base = 2;
    if (form.base != 10) text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  for (const char c : text) {
    if (digit_value(c) >= form.base) return std::nullopt;
  }
  form.digits = text;
  return form;
}

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

bool is_float_text(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text == ".inf" || text == ".Inf" || text == ".INF" || text == ".nan" || text == ".NaN" ||
      text == ".NAN") {
    return true;
  }
  const std::size_t exponent = text.find_first_of("eE");
  const std::string_view mantissa = text.substr(0, exponent);
  if (exponent != std::string_view::npos) {
    std::string_view power = text.substr(exponent + 1);
    if (!power.empty() && (power[0] == '+' || power[0] == '-')) power.remove_prefix(1);
    if (!all_digits(power)) return false;
  }
  const std::size_t dot = mantissa.find('.');
  if (dot == std::string_view::npos) return all_digits(mantissa);
  const std::string_view whole = mantissa.substr(0, dot);
  const std::string_view fraction = mantissa.substr(dot + 1);
  if (whole.empty()) return all_digits(fraction);
  return all_digits(whole) && (fraction.empty() || all_digits(fraction));
}

YamlScalarType plain_type(std::string_view text) {
  if (is_null_text(text)) return YamlScalarType::Null;
  if (is_bool_text(text)) return YamlScalarType::Bool;
  if (integer_form(text)) return YamlScalarType::Int;
  if (is_float_text(text)) return YamlScalarType::Float;
  return YamlScalarType::String;
}

bool has_tag(const yaml_node_t& node, const char* tag) {
  return node.tag != nullptr && std::strcmp(reinterpret_cast<const char*>(node.tag), tag) == 0;
}

// The position of a byte offset, for the reader's errors that carry no mark.
yaml_mark_t mark_at_offset(std::string_view text, std::size_t offset) {
  yaml_mark_t mark{};
  mark.index = offset;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++mark.line;
      mark.column = 0;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++mark.column;
    }
  }
  return mark;
}

std::string parser_error(const yaml_parser_t& parser, std::string_view text) {
  if (parser.error == YAML_MEMORY_ERROR) return "out of memory while reading the YAML text";
  const std::string problem = parser.problem != nullptr ? parser.problem : "invalid YAML";
  if (parser.error == YAML_READER_ERROR) {
    return problem + yaml_position(mark_at_offset(text, parser.problem_offset));
  }
  std::string message = problem + yaml_position(parser.problem_mark);
  if (parser.context != nullptr) {
    message += std::string(", ") + parser.context + yaml_position(parser.context_mark);
  }
  return message;
}

struct Parser {
  yaml_parser_t parser;
  Parser() {
    if (yaml_parser_initialize(&parser) == 0) internal_error("libyaml parser initialisation");
  }
  ~Parser() { yaml_parser_delete(&parser); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
};

// libyaml's scanner does work in proportion to the flow nesting depth for
// every token, so a text of brackets nested a hundred thousand deep takes
// minutes to load. Deeper than this no velk.yml goes.
constexpr int kMaxDepth = 128;

// A first pass over the parser's events that stops at the first collection
// nested deeper than kMaxDepth. A syntax error is left for the load to
// report.
std::optional<std::string> too_deep(std::string_view text) {
  Parser reader;
  yaml_parser_set_input_string(&reader.parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  int depth = 0;
  for (;;) {
    yaml_event_t event;
    if (yaml_parser_parse(&reader.parser, &event) == 0) return std::nullopt;
    const yaml_event_type_t type = event.type;
    const yaml_mark_t mark = event.start_mark;
    yaml_event_delete(&event);
    switch (type) {
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT:
        if (++depth > kMaxDepth) return "recursion limit exceeded" + yaml_position(mark);
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        --depth;
        break;
      case YAML_STREAM_END_EVENT:
        return std::nullopt;
      default:
        break;
    }
  }
}

}  // namespace

void YamlDocument::Delete::operator()(yaml_document_t* document) const {
  yaml_document_delete(document);
  delete document;
}

tl::expected<YamlDocument, std::string> YamlDocument::load(std::string_view text) {
  if (auto deep = too_deep(text)) return tl::unexpected(std::move(*deep));
  Parser reader;
  yaml_parser_set_input_string(&reader.parser, reinterpret_cast<const unsigned char*>(text.data()),
                               text.size());
  YamlDocument loaded;
  loaded.document_.reset(new yaml_document_t{});
  if (yaml_parser_load(&reader.parser, loaded.document_.get()) == 0) {
    return tl::unexpected(parser_error(reader.parser, text));
  }
  if (loaded.root() == nullptr) return loaded;
  std::unique_ptr<yaml_document_t, Delete> next(new yaml_document_t{});
  if (yaml_parser_load(&reader.parser, next.get()) == 0) {
    return tl::unexpected(parser_error(reader.parser, text));
  }
  if (yaml_document_get_root_node(next.get()) != nullptr) {
    return tl::unexpected("a second document was found" + yaml_position(next->start_mark) +
                          ", but velk.yml must hold only one");
  }
  return loaded;
}

const yaml_node_t* YamlDocument::root() const {
  return yaml_document_get_root_node(document_.get());
}

const yaml_node_t& YamlDocument::node(int index) const {
  const yaml_node_t* found = yaml_document_get_node(document_.get(), index);
  if (found == nullptr) internal_error("libyaml node index out of range");
  return *found;
}

std::span<const yaml_node_pair_t> YamlDocument::pairs(const yaml_node_t& mapping) const {
  if (mapping.type != YAML_MAPPING_NODE) internal_error("pairs of a YAML node that is no mapping");
  const auto& pairs = mapping.data.mapping.pairs;
  return {pairs.start, static_cast<std::size_t>(pairs.top - pairs.start)};
}

std::string_view scalar_text(const yaml_node_t& scalar) {
  if (scalar.type != YAML_SCALAR_NODE) internal_error("text of a YAML node that is no scalar");
  return {reinterpret_cast<const char*>(scalar.data.scalar.value), scalar.data.scalar.length};
}

tl::expected<YamlScalarType, std::string> resolve_scalar(const yaml_node_t& scalar) {
  const std::string_view text = scalar_text(scalar);
  const auto mismatch = [&](std::string_view tag, std::string_view kind) {
    return tl::unexpected("invalid value: " + quoted_form(text) + " is tagged " +
                          std::string(tag) + " but is not " + std::string(kind) +
                          yaml_position(scalar.start_mark));
  };
  if (has_tag(scalar, YAML_NULL_TAG)) {
    if (!is_null_text(text)) return mismatch("!!null", "a null (empty, ~ or null)");
    return YamlScalarType::Null;
  }
  if (has_tag(scalar, YAML_BOOL_TAG)) {
    if (!is_bool_text(text)) return mismatch("!!bool", "a boolean");
    return YamlScalarType::Bool;
  }
  if (has_tag(scalar, YAML_INT_TAG)) {
    if (!integer_form(text)) return mismatch("!!int", "an integer");
    return YamlScalarType::Int;
  }
  if (has_tag(scalar, YAML_FLOAT_TAG)) return YamlScalarType::Float;
  // libyaml gives every untagged scalar the string tag, so a plain scalar
  // with that tag is resolved by its text.
  if (has_tag(scalar, YAML_STR_TAG) && scalar.data.scalar.style == YAML_PLAIN_SCALAR_STYLE) {
    return plain_type(text);
  }
  return YamlScalarType::String;
}

std::optional<std::int64_t> yaml_integer(std::string_view text) {
  const auto form = integer_form(text);
  if (!form) return std::nullopt;
  constexpr std::uint64_t kMaxMagnitude = std::uint64_t{1} << 63;  // of INT64_MIN
  std::uint64_t magnitude = 0;
  for (const char c : form->digits) {
    const auto digit = static_cast<std::uint64_t>(digit_value(c));
    const auto base = static_cast<std::uint64_t>(form->base);
    if (magnitude > (kMaxMagnitude - digit) / base) return std::nullopt;
    magnitude = magnitude * base + digit;
  }
  if (form->negative) {
    return magnitude == kMaxMagnitude ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
  }
  if (magnitude == kMaxMagnitude) return std::nullopt;
  return static_cast<std::int64_t>(magnitude);
}

std::string describe_yaml_value(const yaml_node_t& node) {
  if (node.type == YAML_SEQUENCE_NODE) return "sequence";
  if (node.type == YAML_MAPPING_NODE) return "map";
  const std::string text(scalar_text(node));
  const auto type = resolve_scalar(node);
  switch (type ? *type : YamlScalarType::String) {
    case YamlScalarType::Null:
      return "null";
    case YamlScalarType::Bool:
      return "boolean `" + text + "`";
    case YamlScalarType::Int:
      return "integer `" + text + "`";
    case YamlScalarType::Float:
      return "floating point `" + text + "`";
    case YamlScalarType::String:
      break;
  }
  return "string " + quoted_form(text);
}

std::string yaml_position(const yaml_mark_t& mark) {
  return " at line " + std::to_string(mark.line + 1) + " column " + std::to_string(mark.column + 1);
}
