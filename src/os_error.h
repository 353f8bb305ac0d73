// The text of an operating-system error: "{system message} (os error {code})".
#pragma once

#include <string>
#include <system_error>

std::string os_error_text(int code);
std::string os_error_text(const std::error_code& error);
