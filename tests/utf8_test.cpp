// UTF-8 validation, lossy decoding and white-space trimming.
#include "utf8.h"

#include <gtest/gtest.h>

namespace {

struct DecodeCase {
  const char* what;
  std::string bytes;
  std::string decoded;
};

TEST(Utf8, DecodesInvalidSequencesByMaximalSubpart) {
  const std::string fffd = "\xEF\xBF\xBD";
  const DecodeCase cases[] = {
      {"ascii", "plain", "plain"},
      {"valid multibyte", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"lone continuation", "a\x80z", "a" + fffd + "z"},
      {"truncated three-byte sequence is one replacement", "a\xE2\x82z", "a" + fffd + "z"},
      {"truncated at end", "a\xF0\x9F\x98", "a" + fffd},
      {"overlong lead byte", "\xC0\xAF", fffd + fffd},
      {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
      {"above U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
      {"invalid lead", "\xFF", fffd},
      {"each bad byte of a run", "\xF5\xF5", fffd + fffd},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decode_lossy(c.bytes), c.decoded) << c.what;
    EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.decoded) << c.what;
  }
}

TEST(Utf8, ValidatesLongAsciiRunsWithAnErrorAtAnyOffset) {
  for (std::size_t at = 0; at < 40; ++at) {
    std::string text(40, 'x');
    EXPECT_TRUE(is_valid_utf8(text));
    text[at] = '\x80';
    EXPECT_FALSE(is_valid_utf8(text)) << at;
  }
}

TEST(Utf8, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trimmed_output_text(" \t\r\n/repo/root\n"), "/repo/root");
  EXPECT_EQ(trimmed_output_text("\xC2\xA0" "a b\xE3\x80\x80"), "a b");
  EXPECT_EQ(trimmed_output_text("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");  // zero width space is not white space
  EXPECT_EQ(trimmed_output_text(" \n "), "");
  EXPECT_EQ(trimmed_output_text("a\x80 "), "a\xEF\xBF\xBD");
}

}  // namespace
