// UTF-8 text: validation, lossy decoding, trimming and path display.
#include "utf8.h"

#include <cstring>

namespace {

// The length of the valid sequence that starts at bytes[pos], or the number
// of bytes of its maximal invalid subpart as a negative number.
int sequence_length(std::string_view bytes, std::size_t pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return 1;
  int need = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead == 0xE0) {
    need = 2, low = 0xA0;
  } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
    need = 2;
  } else if (lead == 0xED) {
    need = 2, high = 0x9F;
  } else if (lead == 0xF0) {
    need = 3, low = 0x90;
  } else if (lead >= 0xF1 && lead <= 0xF3) {
    need = 3;
  } else if (lead == 0xF4) {
    need = 3, high = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (pos + i >= bytes.size()) return -i;
    const unsigned char next = byte(pos + i);
    if (next < low || next > high) return -i;
    low = 0x80;
    high = 0xBF;
  }
  return need + 1;
}

bool all_ascii(const char* data, std::size_t size) {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (word & 0x8080808080808080ULL) return false;
  }
  for (; i < size; ++i) {
    if (static_cast<unsigned char>(data[i]) & 0x80) return false;
  }
  return true;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t pos = 0;
  const std::size_t size = bytes.size();
  while (pos < size) {
    // Skip ASCII eight bytes at a time.
    while (pos + 8 <= size) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + pos, 8);
      if (word & 0x8080808080808080ULL) break;
      pos += 8;
    }
    if (pos >= size) break;
    const int length = sequence_length(bytes, pos);
    if (length < 0) return false;
    pos += static_cast<std::size_t>(length);
  }
  return true;
}

std::string decode_lossy(std::string_view bytes) {
  if (all_ascii(bytes.data(), bytes.size())) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 8);
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    const int length = sequence_length(bytes, pos);
    if (length > 0) {
      out.append(bytes.substr(pos, static_cast<std::size_t>(length)));
      pos += static_cast<std::size_t>(length);
    } else {
      out.append("\xEF\xBF\xBD");
      pos += static_cast<std::size_t>(-length);
    }
  }
  return out;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

char32_t next_code_point(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
  char32_t c = lead & (0x3F >> extra);
  ++pos;
  for (int i = 0; i < extra && pos < text.size(); ++i, ++pos) {
    c = (c << 6) | (byte(pos) & 0x3F);
  }
  return c;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t next = begin;
    if (!is_unicode_white_space(next_code_point(text, next))) break;
    begin = next;
  }
  std::size_t end = text.size();
  while (end > begin) {
    // Step back to the start of the last code point.
    std::size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    std::size_t pos = start;
    if (!is_unicode_white_space(next_code_point(text, pos))) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string trimmed_output_text(std::string_view bytes) {
  return std::string(trim_white_space(decode_lossy(bytes)));
}

std::string display_path(const std::filesystem::path& path) { return decode_lossy(path.native()); }
