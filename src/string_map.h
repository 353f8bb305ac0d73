// Hash maps and sets keyed by text, with lookups by string_view.
#pragma once

#include <string>
#include <string_view>

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return boost::hash<std::string_view>{}(text);
  }
};

template <class Value>
using StringMap = boost::unordered_flat_map<std::string, Value, StringHash, std::equal_to<>>;

using StringSet = boost::unordered_flat_set<std::string, StringHash, std::equal_to<>>;

// Maps keyed by texts that some other value owns and outlives the map.
template <class Value>
using ViewMap = boost::unordered_flat_map<std::string_view, Value, StringHash, std::equal_to<>>;

using ViewSet = boost::unordered_flat_set<std::string_view, StringHash, std::equal_to<>>;
