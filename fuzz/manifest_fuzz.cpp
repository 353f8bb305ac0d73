// Fuzzes the manifest reader: any UTF-8 text reads into the raw records or
// fails with one positioned error; never a crash, a hang or a stack overflow.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "manifest_reader.h"
#include "utf8.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // The loader refuses text that is not UTF-8 before it is read.
  if (!is_valid_utf8(text)) return 0;
  const auto manifest = from_str_manifest(text);
  if (!manifest) {
    const JsonError& error = manifest.error();
    if (error.line == 0 || error.column == 0 || error.message.empty()) std::abort();
    (void)describe_json_error(error);
  }
  return 0;
}
