// UTF-8 text: validation, lossy decoding, Unicode white-space trimming and
// the display form of paths.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// Whether the bytes are valid UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF). ASCII runs are checked eight bytes at a time.
bool is_valid_utf8(std::string_view bytes);

// The bytes decoded as UTF-8 with each invalid sequence (its maximal subpart,
// as the Unicode standard recommends) replaced by U+FFFD.
std::string decode_lossy(std::string_view bytes);

// Whether a code point has the Unicode White_Space property.
bool is_unicode_white_space(char32_t code_point);

// The valid UTF-8 text without leading and trailing Unicode White_Space.
std::string_view trim_white_space(std::string_view text);

// Captured child output as text: decoded lossily, then trimmed.
std::string trimmed_output_text(std::string_view bytes);

// A path as text in messages and documents: its bytes decoded lossily.
std::string display_path(const std::filesystem::path& path);

// Decodes the code point at text[pos] of valid UTF-8 and advances pos.
char32_t next_code_point(std::string_view text, std::size_t& pos);

// Appends the UTF-8 encoding of a code point.
void append_utf8(std::string& out, char32_t code_point);
