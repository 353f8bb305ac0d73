// JSON strings and integers written straight into a buffer by Boost.JSON's
// serializer, so that every escape is the library's (a backslash before the
// quotation mark and the backslash, \b \t \n \f \r, \u00xx in lower-case
// hexadecimal for the other controls, everything else as it stands). The
// caller lays down the structure around them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <boost/json/serializer.hpp>

class JsonText {
 public:
  // `failure` is the internal error's message should the serializer ever
  // stop giving output (it cannot for strings and integers).
  JsonText(std::string& out, const char* failure) : out_(out), failure_(failure) {}

  // Appends `text` as a JSON string; returns where it starts in the buffer.
  std::size_t string(std::string_view text);
  void integer(std::int64_t value);
  void integer(std::uint64_t value);

 private:
  // Reads what the serializer was reset to into the buffer's end.
  void drain(std::size_t expected);

  std::string& out_;
  const char* failure_;
  boost::json::serializer serializer_;
};
