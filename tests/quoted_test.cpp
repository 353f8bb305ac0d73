// The quoted form of values in messages.
#include "quoted.h"

#include <gtest/gtest.h>

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
  const std::pair<std::string, std::string> cases[] = {
      {"2024-13-01", R"("2024-13-01")"},
      {"", R"("")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"it's", R"("it's")"},
      {std::string("t\tr\rn\nz\0", 8), R"("t\tr\rn\nz\0")"},
      {"\x01\x7f", R"("\u{1}\u{7f}")"},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"nb\xC2\xA0sp", R"("nb\u{a0}sp")"},
      {"\xE2\x80\x8B", R"("\u{200b}")"},
      {"bad\xFF", "\"bad\xEF\xBF\xBD\""},
  };
  for (const auto& [input, expected] : cases) EXPECT_EQ(quoted_form(input), expected);
}
