// JSON strings and integers appended to a buffer (see json_text.h).
#include "json_text.h"

#include <array>
#include <charconv>

namespace {

// What follows the backslash for each byte that needs an escape: the
// letter of a short escape, 'u' for \u00xx, 0 for a byte written as it is.
constexpr std::array<char, 256> escapes = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = 'u';
  table['\b'] = 'b';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\f'] = 'f';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

char escape_of(char c) { return escapes[static_cast<unsigned char>(c)]; }

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  std::size_t from = 0;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char escape = escape_of(text[at]);
    if (escape == 0) continue;
    out.append(text.data() + from, at - from);
    from = at + 1;
    out += '\\';
    out += escape;
    if (escape == 'u') {
      constexpr char hex[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(text[at]);
      out += "00";
      out += hex[byte >> 4];
      out += hex[byte & 15];
    }
  }
  out.append(text.data() + from, text.size() - from);
  out += '"';
}

void append_json_integer(std::string& out, std::int64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

void append_json_integer(std::string& out, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}
