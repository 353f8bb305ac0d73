// The text of an operating-system error.
#include "os_error.h"

#include <cstring>

std::string os_error_text(int code) {
  return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")";
}

std::string os_error_text(const std::error_code& error) {
  if (error.category() == std::system_category() || error.category() == std::generic_category()) {
    return os_error_text(error.value());
  }
  return error.message();
}
