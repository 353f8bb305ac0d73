// JSON strings and integers written into a buffer that already holds text:
// exactly what Boost.JSON's serialize gives on its own, appended whole, also
// when the escapes need many times the room of the text.
#include "json_text.h"

#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <limits>

namespace {

TEST(JsonText, StringsAreAppendedAsTheSerializerWritesThem) {
  std::vector<std::string> texts = {"", "plain", "caf\xC3\xA9 \xF0\x9F\x98\x80", "\"\\/\b\f\n\r\t\x7f"};
  std::string controls;
  for (int c = 0; c < 0x20; ++c) controls += static_cast<char>(c);
  texts.push_back(controls);
  texts.push_back(std::string(5000, '\x01'));  // six times its own length once escaped
  for (int c = 0; c < 256; ++c) texts.push_back(std::string(1, static_cast<char>(c)));
  for (const std::string& text : texts) {
    std::string out = "prefix:";
    JsonText json(out, "test text");
    const std::size_t start = json.string(text);
    EXPECT_EQ(start, 7u);
    EXPECT_EQ(out, "prefix:" + boost::json::serialize(boost::json::string_view(text.data(), text.size())))
        << text;
  }
}

TEST(JsonText, IntegersAreWrittenWhole) {
  std::string out;
  JsonText json(out, "test text");
  const std::int64_t signed_values[] = {0, -1, 7, std::numeric_limits<std::int64_t>::min(),
                                        std::numeric_limits<std::int64_t>::max()};
  std::string expected;
  for (const std::int64_t value : signed_values) {
    json.integer(value);
    out += ',';
    expected += boost::json::serialize(boost::json::value(value)) + ",";
  }
  json.integer(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(out, expected + "18446744073709551615");
}

}  // namespace
