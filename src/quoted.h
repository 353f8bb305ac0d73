// The quoted form of a value in a message: between double quotes, with a
// backslash before '"' and '\', "\t", "\r", "\n" and "\0" for tab, carriage
// return, line feed and NUL, and \u{...} (lower-case hex) for any other
// character that is not printable. The single quote is left alone.
#pragma once

#include <string>
#include <string_view>

// Text that is not valid UTF-8 has each invalid sequence shown as U+FFFD.
std::string quoted_form(std::string_view text);
