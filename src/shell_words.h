// Splitting a text into words by POSIX shell rules, without any expansion.
//
// Words are separated by spaces, tabs and line feeds; single quotes keep
// their content literally; inside double quotes a backslash escapes only '$',
// '`', '"', '\' and a line feed; outside quotes a backslash takes the next
// character literally (a backslash before a line feed joins the lines); a
// '#' at the start of a word begins a comment running to the end of the line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

// The words, or the error text "missing closing quote". A text without words
// gives the empty list.
tl::expected<std::vector<std::string>, std::string> split_shell_words(std::string_view text);
