// Pieces of JSON text written straight into a buffer: strings with exactly
// the escapes of Boost.JSON's serializer, and integers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Appends `text` as a JSON string: a backslash before the quotation mark
// and the backslash, \b \t \n \f \r for those controls, \u00xx (lower-case
// hexadecimal) for the other characters below 0x20, and everything else,
// UTF-8 included, as it stands.
void append_json_string(std::string& out, std::string_view text);

void append_json_integer(std::string& out, std::int64_t value);
void append_json_integer(std::string& out, std::uint64_t value);
