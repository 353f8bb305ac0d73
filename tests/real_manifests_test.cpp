// Real manifests written by dbt 0.19 to 1.12 load with every model and source
// they hold, as an independent JSON parse of the same file counts them.
#include "manifest.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <algorithm>
#include <vector>

#include "support/test_support.h"

namespace {

namespace json = boost::json;

std::vector<std::string> strings(const json::array& array) {
  std::vector<std::string> out;
  for (const auto& value : array) out.emplace_back(value.as_string());
  return out;
}

TEST(RealManifests, LoadWithEveryModelAndSource) {
  const auto dir = source_dir() / "tests" / "fixtures" / "real-manifests";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << dir;

  for (const auto& file : files) {
    SCOPED_TRACE(file.filename().string());
    const auto manifest = load_manifest(file);
    ASSERT_TRUE(manifest.has_value()) << describe_manifest_error(manifest.error());

    const json::object document = json::parse(read_file(file)).as_object();
    std::size_t models = 0;
    for (const auto& [id, value] : document.at("nodes").as_object()) {
      const json::object& node = value.as_object();
      if (node.at("resource_type").as_string() != "model") {
        EXPECT_FALSE(manifest->nodes.contains(std::string_view(id))) << id;
        continue;
      }
      ++models;
      const Node* found = manifest->nodes.find(std::string_view(id));
      ASSERT_NE(found, nullptr) << id;
      const Node& loaded = *found;
      EXPECT_FALSE(loaded.is_source);
      EXPECT_EQ(loaded.name, node.at("name").as_string());
      EXPECT_EQ(loaded.depends_on, strings(node.at("depends_on").at("nodes").as_array()));
      const json::value* event_time = node.at("config").as_object().if_contains("event_time");
      EXPECT_EQ(loaded.event_time.has_value(), event_time != nullptr && !event_time->is_null());
      EXPECT_FALSE(loaded.velk);
    }
    std::size_t sources = 0;
    if (const auto* raw_sources = document.if_contains("sources")) {
      for (const auto& [id, value] : raw_sources->as_object()) {
        ++sources;
        const Node* found = manifest->nodes.find(std::string_view(id));
        ASSERT_NE(found, nullptr) << id;
        EXPECT_TRUE(found->is_source);
        EXPECT_EQ(found->name, value.at("name").as_string());
      }
    }
    EXPECT_GT(models, 0u);
    EXPECT_EQ(manifest->nodes.size(), models + sources);
    EXPECT_EQ(manifest->generated_at, std::string(document.at("metadata").at("generated_at").as_string()));
  }
}

}  // namespace
