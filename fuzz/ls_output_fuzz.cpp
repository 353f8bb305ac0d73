// Fuzzes the mapping of what `dbt ls` printed to selected models: any output
// selects models of the table or names the line that is not one.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "select.h"

namespace {

Manifest small_manifest() {
  Manifest manifest;
  const char* models[][2] = {{"model.shop.orders", "orders"},
                             {"model.shop.customers", "customers"},
                             {"model.other.orders", "orders"},
                             {"model.shop.caf\xC3\xA9", "caf\xC3\xA9"}};
  for (const auto& [id, name] : models) {
    Node node;
    node.unique_id = id;
    node.name = name;
    manifest.nodes.insert_or_assign(node);
  }
  // Two versions of one model, printed by dbt as "dim_customers.v1" and ".v2".
  for (const char* version : {"1", "2"}) {
    Node node;
    node.unique_id = std::string("model.shop.dim_customers.v") + version;
    node.name = "dim_customers";
    node.versioned_name = versioned_name(node.name, version);
    manifest.nodes.insert_or_assign(node);
  }
  Node source;
  source.unique_id = "source.shop.raw.events";
  source.name = "events";
  source.is_source = true;
  manifest.nodes.insert_or_assign(source);
  return manifest;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Manifest manifest = small_manifest();
  const std::string_view output(reinterpret_cast<const char*>(data), size);
  const auto selection = selection_from_ls_output(manifest, "dbt", output);
  if (selection) {
    for (const std::string& id : *selection) {
      const Node* node = manifest.nodes.find(id);
      if (node == nullptr || node->is_source) std::abort();
    }
  } else {
    (void)describe_select_error(selection.error());
  }
  return 0;
}
