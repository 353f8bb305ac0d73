// Mapping the names `dbt ls` prints to models: 50,000 printed names against
// a table of 55,000 models (every tenth name in two packages) and 10,000
// sources. Prints the best and median time of several rounds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "select.h"

namespace {

Node make_node(std::string unique_id, std::string name, bool is_source) {
  Node node;
  node.unique_id = std::move(unique_id);
  node.name = std::move(name);
  node.is_source = is_source;
  return node;
}

// `models` models of the package "shop" named model_{i}; every tenth name
// also belongs to a model of the package "other"; plus `sources` sources.
Manifest make_manifest(int models, int sources) {
  Manifest manifest;
  for (int i = 0; i < models; ++i) {
    const std::string name = "model_" + std::to_string(i);
    manifest.nodes.insert_or_assign(make_node("model.shop." + name, name, false));
    if (i % 10 == 0) {
      manifest.nodes.insert_or_assign(make_node("model.other." + name, name, false));
    }
  }
  for (int i = 0; i < sources; ++i) {
    const std::string name = "source_" + std::to_string(i);
    manifest.nodes.insert_or_assign(make_node("source.shop.raw." + name, name, true));
  }
  return manifest;
}

}  // namespace

int main() {
  const int models = 50'000;
  const Manifest manifest = make_manifest(models, 10'000);
  std::string output;
  for (int i = 0; i < models; ++i) output += "model_" + std::to_string(i) + "\r\n";

  std::vector<double> millis;
  std::size_t selected = 0;
  for (int round = 0; round < 15; ++round) {
    const auto start = std::chrono::steady_clock::now();
    const auto selection = selection_from_ls_output(manifest, "dbt", output);
    const auto stop = std::chrono::steady_clock::now();
    if (!selection) {
      std::fprintf(stderr, "%s\n", describe_select_error(selection.error()).c_str());
      return 1;
    }
    selected = selection->size();
    millis.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(millis.begin(), millis.end());
  std::printf("select: %d printed names, %zu nodes, %zu selected: best %.2f ms, median %.2f ms\n",
              models, manifest.nodes.size(), selected, millis.front(), millis[millis.size() / 2]);
  return 0;
}
