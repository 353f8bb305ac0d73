// Fuzzes the command line: the input split at NUL bytes into arguments
// (after the program name) parses into options, or into help, version or a
// usage error with its status; never a crash or an uncaught exception.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words = {"velk-dbt-plan"};
  std::string word;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  words.push_back(word);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());
  argv.push_back(nullptr);

  const auto cli = parse_cli(static_cast<int>(words.size()), argv.data(), CliColours{});
  if (!cli) {
    const int status = cli.error().status;
    if (status != 0 && status != 2) std::abort();
    if ((status == 2) != cli.error().to_stderr) std::abort();
  }
  return 0;
}
