// Loading a large manifest: load_manifest against a bare boost::json
// basic_parser pass over the same text with a handler that keeps nothing, and
// the peak memory of each, measured in a process of its own.
//
//   manifest_bench [models]        generates (or reuses) the manifest and reports
//   manifest_bench --phase P FILE  one measurement: P is bare, bare-utf8, bare-read, load or touch
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/json/basic_parser_impl.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "manifest.h"
#include "manifest_reader.h"
#include "support/manifest_gen.h"
#include "support/null_handler.h"

namespace {

namespace json = boost::json;

constexpr int repeats = 3;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The process's peak resident memory, in kB.
long peak_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// The file in a std::string (zero-filled first, as a plain program would).
std::string read_text(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat status {};
  ::fstat(fd, &status);
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t got = ::read(fd, text.data() + done, text.size() - done);
    if (got <= 0) throw std::runtime_error("cannot read " + path);
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return text;
}

// One measurement: the best of a few runs, and the peak memory. Printed as
// "{seconds} {peak kB}".
int run_phase(const std::string& phase, const std::string& path) {
  double best = 1e30;
  if (phase == "load") {
    for (int i = 0; i < repeats; ++i) {
      const auto start = std::chrono::steady_clock::now();
      auto manifest = load_manifest(path);
      const double elapsed = seconds_since(start);
      if (!manifest) {
        std::fprintf(stderr, "%s\n", describe_manifest_error(manifest.error()).c_str());
        return 1;
      }
      best = std::min(best, elapsed);
    }
  } else if (phase == "touch") {
    // How long the first touch of as much fresh memory as the file takes:
    // the part of any read of the file that no parser can avoid.
    const std::size_t size = std::filesystem::file_size(path);
    for (int i = 0; i < repeats; ++i) {
      const auto start = std::chrono::steady_clock::now();
      std::unique_ptr<char[]> block(new char[size]);
      std::memset(block.get(), 1, size);
      const double elapsed = seconds_since(start);
      if (block[size / 2] != 1) return 1;
      best = std::min(best, elapsed);
    }
  } else if (phase == "bare-read") {
    // The file read into fresh memory, then parsed: the I/O that load_manifest also does.
    for (int i = 0; i < repeats; ++i) {
      const auto start = std::chrono::steady_clock::now();
      const std::string text = read_text(path);
      json::parse_options options;
      options.max_depth = max_json_depth;
      options.allow_invalid_utf8 = true;
      json::basic_parser<NullHandler> parser(options);
      json::error_code ec;
      parser.write_some(false, text.data(), text.size(), ec);
      const double elapsed = seconds_since(start);
      if (ec) return 1;
      best = std::min(best, elapsed);
    }
  } else {
    const std::string text = read_text(path);
    json::parse_options options;
    if (phase == "bare") {  // the reader's own options
      options.max_depth = max_json_depth;
      options.allow_invalid_utf8 = true;
    }
    for (int i = 0; i < repeats; ++i) {
      const auto start = std::chrono::steady_clock::now();
      json::basic_parser<NullHandler> parser(options);
      json::error_code ec;
      parser.write_some(false, text.data(), text.size(), ec);
      const double elapsed = seconds_since(start);
      if (ec) {
        std::fprintf(stderr, "parse failed: %s\n", ec.message().c_str());
        return 1;
      }
      best = std::min(best, elapsed);
    }
  }
  std::printf("%.6f %ld\n", best, peak_kb());
  return 0;
}

struct Measurement {
  double seconds = 0;
  long peak_kb = 0;
};

Measurement measure(const std::string& phase, const std::string& path) {
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = "'" + exe + "' --phase " + phase + " '" + path + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  Measurement m;
  const int read = std::fscanf(pipe, "%lf %ld", &m.seconds, &m.peak_kb);
  if (::pclose(pipe) != 0 || read != 2) throw std::runtime_error("measurement failed: " + command);
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::strcmp(argv[1], "--phase") == 0) return run_phase(argv[2], argv[3]);
    const std::size_t models = argc > 1 ? std::stoul(argv[1]) : 50'000;

    const auto start = std::chrono::steady_clock::now();
    const auto path = cached_manifest(models, bench_cache_dir());
    const double size_mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
    std::printf("manifest: %zu models, %.1f MB (%s, ready in %.1f s)\n", models, size_mb, path.c_str(),
                seconds_since(start));

    const Measurement bare = measure("bare", path);
    const Measurement bare_utf8 = measure("bare-utf8", path);
    const Measurement bare_read = measure("bare-read", path);
    const Measurement load = measure("load", path);
    const Measurement touch = measure("touch", path);
    const double file_kb = size_mb * 1e3 / 1.024;
    std::printf("bare basic_parser (reader's options):     %8.1f ms  peak %7.1f MB\n", bare.seconds * 1e3,
                bare.peak_kb / 1024.0);
    std::printf("bare basic_parser (validating UTF-8):     %8.1f ms  peak %7.1f MB\n", bare_utf8.seconds * 1e3,
                bare_utf8.peak_kb / 1024.0);
    std::printf("bare read of the file + basic_parser:     %8.1f ms  peak %7.1f MB\n", bare_read.seconds * 1e3,
                bare_read.peak_kb / 1024.0);
    std::printf("load_manifest (read, check, parse, table): %8.1f ms  peak %7.1f MB\n", load.seconds * 1e3,
                load.peak_kb / 1024.0);
    std::printf("first touch of %.0f MB of fresh memory:     %8.1f ms (this machine's cost of new memory)\n",
                size_mb, touch.seconds * 1e3);
    std::printf("load / bare parse: %.2fx (target 1.30x); load / validating parse: %.2fx; load / bare read+parse: %.2fx\n",
                load.seconds / bare.seconds, load.seconds / bare_utf8.seconds, load.seconds / bare_read.seconds);
    std::printf("load peak / file size: %.2fx (target 1.30x)\n", static_cast<double>(load.peak_kb) / file_kb);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "manifest_bench: %s\n", error.what());
    return 1;
  }
}
