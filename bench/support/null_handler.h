// A handler for Boost.JSON's basic_parser that keeps nothing: parsing with
// it is the floor that reading a manifest is measured against.
#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/json/basic_parser.hpp>

struct NullHandler {
  static constexpr std::size_t max_object_size = std::size_t(-1);
  static constexpr std::size_t max_array_size = std::size_t(-1);
  static constexpr std::size_t max_key_size = std::size_t(-1);
  static constexpr std::size_t max_string_size = std::size_t(-1);
  bool on_document_begin(boost::json::error_code&) { return true; }
  bool on_document_end(boost::json::error_code&) { return true; }
  bool on_array_begin(boost::json::error_code&) { return true; }
  bool on_array_end(std::size_t, boost::json::error_code&) { return true; }
  bool on_object_begin(boost::json::error_code&) { return true; }
  bool on_object_end(std::size_t, boost::json::error_code&) { return true; }
  bool on_string_part(boost::json::string_view, std::size_t, boost::json::error_code&) { return true; }
  bool on_string(boost::json::string_view, std::size_t, boost::json::error_code&) { return true; }
  bool on_key_part(boost::json::string_view, std::size_t, boost::json::error_code&) { return true; }
  bool on_key(boost::json::string_view, std::size_t, boost::json::error_code&) { return true; }
  bool on_number_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_int64(std::int64_t, boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_uint64(std::uint64_t, boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_double(double, boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_bool(bool, boost::json::error_code&) { return true; }
  bool on_null(boost::json::error_code&) { return true; }
  bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return true; }
  bool on_comment(boost::json::string_view, boost::json::error_code&) { return true; }
};
