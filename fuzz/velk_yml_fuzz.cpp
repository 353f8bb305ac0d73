// Fuzzes the velk.yml reader: any text reads into the configuration or fails
// with a message; never a crash, a hang or unbounded memory.
#include <cstdint>
#include <string_view>

#include "config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)parse_velk_yml(text);
  return 0;
}
