// Hash maps and sets keyed by text, with lookups by string_view.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

namespace string_hash_detail {

__extension__ typedef unsigned __int128 Product;

// The two halves of the 128-bit product, folded into one word.
inline std::uint64_t fold(std::uint64_t a, std::uint64_t b) {
  const Product product = static_cast<Product>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t load8(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

inline std::uint64_t load4(const char* at) {
  std::uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

}  // namespace string_hash_detail

// A hash of a text in the manner of wyhash: sixteen bytes per step, each
// pair of words folded in by one 64-by-64-bit multiplication. Every bit of
// the result depends on every bit of the text, so the flat maps use it as
// it is, without mixing it further.
inline std::uint64_t hash_text(std::string_view text) noexcept {
  using namespace string_hash_detail;
  constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL;
  constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbULL;
  const char* at = text.data();
  const std::size_t size = text.size();
  std::uint64_t seed = k0;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (size <= 16) {
    if (size >= 4) {
      const std::size_t step = (size >> 3) << 2;  // 0 or 4: two overlapping words from each end
      a = (load4(at) << 32) | load4(at + step);
      b = (load4(at + size - 4) << 32) | load4(at + size - 4 - step);
    } else if (size > 0) {
      a = (std::uint64_t(static_cast<unsigned char>(at[0])) << 16) |
          (std::uint64_t(static_cast<unsigned char>(at[size >> 1])) << 8) |
          std::uint64_t(static_cast<unsigned char>(at[size - 1]));
    }
  } else {
    std::size_t rest = size;
    while (rest > 16) {
      seed = fold(load8(at) ^ k1, load8(at + 8) ^ seed);
      at += 16;
      rest -= 16;
    }
    // The last sixteen bytes of the text, overlapping what came before.
    a = load8(at + rest - 16);
    b = load8(at + rest - 8);
  }
  return fold(k1 ^ size, fold(a ^ k1, b ^ seed));
}

struct StringHash {
  using is_transparent = void;
  using is_avalanching = void;
  std::size_t operator()(std::string_view text) const noexcept { return hash_text(text); }
};

template <class Value>
using StringMap = boost::unordered_flat_map<std::string, Value, StringHash, std::equal_to<>>;

using StringSet = boost::unordered_flat_set<std::string, StringHash, std::equal_to<>>;

// Maps keyed by texts that some other value owns and outlives the map.
template <class Value>
using ViewMap = boost::unordered_flat_map<std::string_view, Value, StringHash, std::equal_to<>>;

using ViewSet = boost::unordered_flat_set<std::string_view, StringHash, std::equal_to<>>;
