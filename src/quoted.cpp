// The quoted form of a value in a message.
#include "quoted.h"

#include "utf8.h"

namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Characters shown as \u{...}: controls, separators other than the space,
// format characters, combining marks that would join the quote or the
// previous character, private use and noncharacters.
constexpr Range kNotPrintable[] = {
    {0x0000, 0x001F},   {0x007F, 0x00A0},   {0x00AD, 0x00AD},   {0x0300, 0x036F},
    {0x0483, 0x0489},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x1680, 0x1680},
    {0x180E, 0x180E},   {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x2000, 0x200F},
    {0x2028, 0x202F},   {0x205F, 0x206F},   {0x20D0, 0x20FF},   {0x3000, 0x3000},
    {0xD800, 0xF8FF},   {0xFDD0, 0xFDEF},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
};

bool is_printable(char32_t c) {
  if ((c & 0xFFFE) == 0xFFFE) return false;  // the last two of every plane
  for (const Range& range : kNotPrintable) {
    if (c < range.first) return true;
    if (c <= range.last) return false;
  }
  return true;
}

}  // namespace

std::string quoted_form(std::string_view raw) {
  const std::string text = is_valid_utf8(raw) ? std::string(raw) : decode_lossy(raw);
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    const char32_t c = next_code_point(text, pos);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (is_printable(c)) {
      out.append(text, start, pos - start);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      std::string digits;
      for (char32_t v = c;; v >>= 4) {
        digits.insert(digits.begin(), kHex[v & 0xF]);
        if (v < 16) break;
      }
      out += "\\u{" + digits + "}";
    }
  }
  out.push_back('"');
  return out;
}
