// The JSON reader against JSONTestSuite: each text stands as the value of a
// key that no record reads, so only its well-formedness is judged.
#include "manifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/test_support.h"

namespace {

TEST(JsonSuite, AcceptsEveryValidTextAndRejectsEveryInvalidOne) {
  const auto cases_dir = source_dir() / "tests" / "fixtures" / "json-test-suite" / "test_parsing";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(cases_dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << cases_dir;

  TempDir dir;
  const auto manifest_path = dir / "manifest.json";
  for (const auto& file : files) {
    const std::string name = file.filename().string();
    write_file(manifest_path, R"({"nodes": {}, "unused": )" + read_file(file) + "}");
    const auto manifest = load_manifest(manifest_path);  // i_ texts: either outcome, but no crash
    if (name.starts_with("y_")) {
      EXPECT_TRUE(manifest.has_value()) << name << ": " << describe_manifest_error(manifest.error());
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(manifest.has_value()) << name << " was accepted";
    }
  }
}

}  // namespace
