// JSON strings and integers written by Boost.JSON's serializer straight into
// a buffer (see json_text.h).
#include "json_text.h"

#include <algorithm>

#include <boost/json/value.hpp>

#include "internal_error.h"

std::size_t JsonText::string(std::string_view text) {
  const std::size_t start = out_.size();
  serializer_.reset(boost::json::string_view(text.data(), text.size()));
  drain(text.size() + 2);
  return start;
}

void JsonText::integer(std::int64_t value) {
  const boost::json::value number(value);
  serializer_.reset(&number);
  drain(20);
}

void JsonText::integer(std::uint64_t value) {
  const boost::json::value number(value);
  serializer_.reset(&number);
  drain(20);
}

void JsonText::drain(std::size_t expected) {
  // Room for the common case of no escapes, in the buffer itself; more when
  // the escapes need it.
  std::size_t room = std::max<std::size_t>(expected, 32);
  while (!serializer_.done()) {
    const std::size_t size = out_.size();
    out_.resize(size + room);
    const boost::json::string_view piece = serializer_.read(out_.data() + size, room);
    if (piece.empty()) internal_error(failure_);
    out_.resize(size + piece.size());
    room *= 2;
  }
}
