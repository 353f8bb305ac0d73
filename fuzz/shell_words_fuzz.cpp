// Fuzzes shell-word splitting: any text splits or fails with the one error
// text, and words joined back with single quotes split into the same words.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "shell_words.h"

namespace {

std::string single_quoted(const std::string& word) {
  std::string out = "'";
  for (const char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto words = split_shell_words(text);
  if (!words) {
    if (words.error() != "missing closing quote") std::abort();
    return 0;
  }
  std::string joined;
  for (const std::string& word : *words) joined += single_quoted(word) + " ";
  const auto again = split_shell_words(joined);
  if (!again || *again != *words) std::abort();
  return 0;
}
