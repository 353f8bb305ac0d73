// Splitting a text into words by POSIX shell rules.
#include "shell_words.h"

namespace {

enum class State {
  delimiter,
  backslash,
  unquoted,
  unquoted_backslash,
  single_quoted,
  double_quoted,
  double_quoted_backslash,
  comment,
};

bool is_separator(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

tl::expected<std::vector<std::string>, std::string> split_shell_words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  State state = State::delimiter;
  for (const char c : text) {
    switch (state) {
      case State::delimiter:
        if (c == '\'') {
          state = State::single_quoted;
        } else if (c == '"') {
          state = State::double_quoted;
        } else if (c == '\\') {
          state = State::backslash;
        } else if (c == '#') {
          state = State::comment;
        } else if (!is_separator(c)) {
          word.push_back(c);
          state = State::unquoted;
        }
        break;
      case State::backslash:
        if (c == '\n') {
          state = State::delimiter;
        } else {
          word.push_back(c);
          state = State::unquoted;
        }
        break;
      case State::unquoted:
        if (c == '\'') {
          state = State::single_quoted;
        } else if (c == '"') {
          state = State::double_quoted;
        } else if (c == '\\') {
          state = State::unquoted_backslash;
        } else if (is_separator(c)) {
          words.push_back(std::move(word));
          word.clear();
          state = State::delimiter;
        } else {
          word.push_back(c);
        }
        break;
      case State::unquoted_backslash:
        if (c != '\n') word.push_back(c);
        state = State::unquoted;
        break;
      case State::single_quoted:
        if (c == '\'') {
          state = State::unquoted;
        } else {
          word.push_back(c);
        }
        break;
      case State::double_quoted:
        if (c == '"') {
          state = State::unquoted;
        } else if (c == '\\') {
          state = State::double_quoted_backslash;
        } else {
          word.push_back(c);
        }
        break;
      case State::double_quoted_backslash:
        if (c != '\n') {
          if (c != '$' && c != '`' && c != '"' && c != '\\') word.push_back('\\');
          word.push_back(c);
        }
        state = State::double_quoted;
        break;
      case State::comment:
        if (c == '\n') state = State::delimiter;
        break;
    }
  }
  switch (state) {
    case State::single_quoted:
    case State::double_quoted:
    case State::double_quoted_backslash:
      return tl::make_unexpected(std::string("missing closing quote"));
    case State::backslash:
    case State::unquoted_backslash:
      word.push_back('\\');
      words.push_back(std::move(word));
      break;
    case State::unquoted:
      words.push_back(std::move(word));
      break;
    case State::delimiter:
    case State::comment:
      break;
  }
  return words;
}
