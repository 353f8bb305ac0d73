// Reading velk.yml: a typical file, a large file of unrelated keys, alias
// chains that would explode if expanded, and the whole discovery and merge
// over a three-level repository. Prints the time per reading and the peak
// resident memory of the process.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "config.h"

namespace {

namespace fs = std::filesystem;

template <class Work>
void measure(const char* name, int rounds, Work work) {
  work();  // warm up, and fail early
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) work();
  const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("%-34s %12.1f us/op  (%d rounds)\n", name, elapsed.count() / rounds, rounds);
}

void parse_or_die(const std::string& text, bool expect_success) {
  const auto read = parse_velk_yml(text);
  if (read.has_value() != expect_success) {
    std::fprintf(stderr, "unexpected result: %s\n", read ? "success" : read.error().c_str());
    std::exit(1);
  }
}

std::string typical_file() {
  return "# shared with the other velk tools\n"
         "against: main\n"
         "dbt-command: uv run dbt\n"
         "dbt-args: --target ci --profiles-dir .\n"
         "dbt-plan:\n"
         "  max-window-expansion-days: 120\n";
}

// About a megabyte of keys that match no field, each with a small value.
std::string large_file() {
  std::string text;
  for (int i = 0; text.size() < (1u << 20); ++i) {
    text += "unrelated_" + std::to_string(i) + ": {list: [1, 2, 3], text: \"some value\"}\n";
  }
  return text + "against: main\n";
}

// `levels` levels of `width` aliases each: width^levels leaves if expanded.
std::string alias_chain(int levels, int width) {
  std::string text = "l0: &l0 [lol]\n";
  for (int level = 1; level <= levels; ++level) {
    std::string below = "*l";
    below += std::to_string(level - 1);
    std::string line = "l";
    line += std::to_string(level);
    line += ": &l" + std::to_string(level) + " [" + below;
    for (int i = 1; i < width; ++i) line += ", " + below;
    text += line + "]\n";
  }
  return text;
}

fs::path make_tree() {
  const fs::path root = fs::temp_directory_path() / ("velk-config-bench-" + std::to_string(::getpid()));
  const fs::path project = root / "middle" / "project";
  fs::create_directories(project);
  fs::create_directory(root / ".git");
  std::ofstream(root / "velk.yml") << typical_file();
  std::ofstream(root / "middle" / "velk.yml") << "against: develop\n";
  std::ofstream(project / "velk.yml") << "dbt-plan:\n  max-window-expansion-days: 30\n";
  return root;
}

long peak_resident_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main() {
  const std::string typical = typical_file();
  const std::string large = large_file();
  const std::string chain_skipped = alias_chain(30, 10) + "lol: *l30\nagainst: main\n";
  const std::string chain_as_text = alias_chain(30, 10) + "against: *l30\n";

  std::printf("peak resident memory before: %ld KiB\n", peak_resident_kib());
  measure("typical velk.yml", 20000, [&] { parse_or_die(typical, true); });
  measure("1 MiB of unrelated keys", 20, [&] { parse_or_die(large, true); });
  measure("10^30 alias chain, skipped", 2000, [&] { parse_or_die(chain_skipped, true); });
  measure("10^30 alias chain, as a text", 2000, [&] { parse_or_die(chain_as_text, false); });

  const fs::path root = make_tree();
  const fs::path project = root / "middle" / "project";
  measure("discovery and merge, 3 levels", 5000, [&] {
    if (!load_velk_config(project)) std::exit(1);
  });
  fs::remove_all(root);
  std::printf("peak resident memory after:  %ld KiB\n", peak_resident_kib());
  return 0;
}
