// Shell-style word splitting of the dbt command, dbt arguments and selectors.
#include "shell_words.h"

#include <gtest/gtest.h>

namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  const char* text;
  Words words;
};

TEST(ShellWords, SplitsByShellRules) {
  const SplitCase cases[] = {
      {"", {}},
      {" \t\n ", {}},
      {"dbt", {"dbt"}},
      {"uv run dbt", {"uv", "run", "dbt"}},
      {"--target ci", {"--target", "ci"}},
      {"'a b' \"c d\"", {"a b", "c d"}},
      {"''", {""}},
      {"a''b", {"ab"}},
      {"'$HOME \\n'", {"$HOME \\n"}},
      {R"("\$ \` \" \\ \a")", {R"($ ` " \ \a)"}},
      {"\"a\\\nb\"", {"ab"}},
      {R"(a\ b)", {"a b"}},
      {R"(\'x)", {"'x"}},
      {"a\\\nb", {"ab"}},
      {"a \\\n b", {"a", "b"}},
      {"trailing\\", {"trailing\\"}},
      {"\\", {"\\"}},
      {"a\rb", {"a\rb"}},
      {"# only a comment", {}},
      {"a # comment\nb", {"a", "b"}},
      {"a#b", {"a#b"}},
      {"tag:x,tag:y +model", {"tag:x,tag:y", "+model"}},
      {"$HOME *.sql", {"$HOME", "*.sql"}},
      {"\"a\"'b'c", {"abc"}},
      {"\\#x", {"#x"}},
      {"'#x' \"#y\" #z", {"#x", "#y"}},
      {"x #y 'not a quote", {"x"}},
      {"a\n#c\nb", {"a", "b"}},
      {"--vars '{\"day\": \"2024-01-01\"}'", {"--vars", "{\"day\": \"2024-01-01\"}"}},
      {"caf\xC3\xA9 \xFF", {"caf\xC3\xA9", "\xFF"}},
  };
  for (const auto& c : cases) {
    const auto words = split_shell_words(c.text);
    ASSERT_TRUE(words.has_value()) << c.text;
    EXPECT_EQ(*words, c.words) << c.text;
  }
}

TEST(ShellWords, RefusesAnUnterminatedQuote) {
  for (const char* text : {"'open", "\"open", "a \"b\\\"", "\"\\"}) {
    const auto words = split_shell_words(text);
    ASSERT_FALSE(words.has_value()) << text;
    EXPECT_EQ(words.error(), "missing closing quote") << text;
  }
}

}  // namespace
