// JSON strings and integers written as Boost.JSON's serializer writes them.
#include "json_text.h"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <limits>

namespace {

std::string ours(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

TEST(JsonText, StringsAreEscapedAsTheSerializerDoes) {
  // Every byte on its own and between letters, the controls in a run, and
  // UTF-8 text.
  std::vector<std::string> texts = {"", "plain", "caf\xC3\xA9 \xF0\x9F\x98\x80", "\"\\/\b\f\n\r\t\x7f"};
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
  texts.push_back(controls);
  for (int c = 0; c < 256; ++c) {
    std::string between = "a";
    between += static_cast<char>(c);
    between += 'z';
    texts.push_back(between.substr(1, 1));
    texts.push_back(between);
  }
  for (const std::string& text : texts) {
    EXPECT_EQ(ours(text), boost::json::serialize(boost::json::string_view(text.data(), text.size()))) << text;
  }
}

TEST(JsonText, IntegersAreWrittenWhole) {
  const std::int64_t signed_values[] = {0, -1, 7, std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max()};
  for (const std::int64_t value : signed_values) {
    std::string out;
    append_json_integer(out, value);
    EXPECT_EQ(out, boost::json::serialize(boost::json::value(value)));
  }
  std::string out;
  append_json_integer(out, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(out, "18446744073709551615");
}

}  // namespace
