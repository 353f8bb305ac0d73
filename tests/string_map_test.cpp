// The hash of the text-keyed maps: every byte of a key counts, whatever the
// key's length, so that keys that differ anywhere land apart.
#include "string_map.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace {

TEST(StringHash, EveryByteAndTheLengthCount) {
  // Keys of every length up to 70 (the short forms, the sixteen-byte steps
  // and the overlapping tail), each also with one byte changed at every
  // position, and with a trailing NUL: all distinct hashes.
  std::unordered_set<std::uint64_t> hashes;
  std::size_t keys = 0;
  for (std::size_t length = 0; length <= 70; ++length) {
    std::string key;
    for (std::size_t i = 0; i < length; ++i) key += static_cast<char>('a' + i % 26);
    const auto add = [&](const std::string& text) {
      hashes.insert(hash_text(text));
      ++keys;
    };
    add(key);
    add(key + '\0');
    for (std::size_t at = 0; at < length; ++at) {
      std::string changed = key;
      changed[at] = static_cast<char>(changed[at] ^ 0x80);
      add(changed);
    }
  }
  EXPECT_EQ(hashes.size(), keys);
}

TEST(StringHash, LooksUpByView) {
  StringMap<int> map;
  map["model.shop.orders"] = 1;
  map[std::string("a\0b", 3)] = 2;
  EXPECT_EQ(map.find(std::string_view("model.shop.orders"))->second, 1);
  EXPECT_EQ(map.find(std::string_view("a\0b", 3))->second, 2);
  EXPECT_EQ(map.find(std::string_view("a")), map.end());
}

}  // namespace
