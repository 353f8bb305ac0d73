// The freshness walk over a project tree: 20,000 files in 400 directories
// below models/ (plus a link cycle), walked by newest_source_mtime. Prints
// the best and median time of several rounds with a warm cache.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "refresh.h"

int main() {
  namespace fs = std::filesystem;
  std::string pattern = (fs::temp_directory_path() / "velk-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return 1;
  const fs::path root = pattern;
  const int dirs = 400;
  const int files_per_dir = 50;
  for (int d = 0; d < dirs; ++d) {
    const fs::path dir =
        root / "models" / ("area_" + std::to_string(d % 20)) / ("dir_" + std::to_string(d));
    fs::create_directories(dir);
    for (int f = 0; f < files_per_dir; ++f)
      std::ofstream(dir / ("model_" + std::to_string(f) + ".sql")) << "select 1";
  }
  fs::create_directory_symlink("..", root / "models/area_0/up");

  std::vector<double> millis;
  for (int round = 0; round < 10; ++round) {
    std::optional<FileTime> newest;
    const auto start = std::chrono::steady_clock::now();
    newest_source_mtime(root / "models", newest);
    const auto stop = std::chrono::steady_clock::now();
    if (!newest) return 1;
    millis.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  fs::remove_all(root);
  std::sort(millis.begin(), millis.end());
  std::printf("refresh walk: %d files in %d directories: best %.2f ms, median %.2f ms\n",
              dirs * files_per_dir, dirs, millis.front(), millis[millis.size() / 2]);
  return 0;
}
