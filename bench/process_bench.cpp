// Starting a child and draining its streams: the cost of one short run
// (`true`), and the throughput of a child writing 64 MiB to each stream.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "process.h"

namespace {

template <class F>
std::vector<double> time_rounds(int rounds, F run) {
  std::vector<double> millis;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    if (!run()) return {};
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(millis.begin(), millis.end());
  return millis;
}

}  // namespace

int main() {
  const auto short_runs = time_rounds(200, [] {
    const auto output = run_process("true", {}, std::nullopt);
    return output && output->succeeded();
  });
  const auto big_runs = time_rounds(5, [] {
    const auto output = run_process(
        "sh", {"-c", "head -c 67108864 /dev/zero >&2 & head -c 67108864 /dev/zero; wait"},
        std::nullopt);
    return output && output->succeeded() && output->stdout_bytes.size() == 67108864 &&
           output->stderr_bytes.size() == 67108864;
  });
  if (short_runs.empty() || big_runs.empty()) return 1;
  std::printf("process: `true` best %.2f ms, median %.2f ms\n", short_runs.front(),
              short_runs[short_runs.size() / 2]);
  std::printf("process: 2 x 64 MiB best %.1f ms (%.0f MiB/s), median %.1f ms\n", big_runs.front(),
              128.0 / (big_runs.front() / 1000.0), big_runs[big_runs.size() / 2]);
  return 0;
}
