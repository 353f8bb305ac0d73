// Loading a manifest file into the node table, and the failures of a load.
#include "manifest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "support/test_support.h"

namespace {

Manifest load_text(const std::string& text) {
  TempDir dir;
  write_file(dir / "manifest.json", text);
  auto manifest = load_manifest(dir / "manifest.json");
  EXPECT_TRUE(manifest.has_value()) << describe_manifest_error(manifest.error());
  return manifest ? std::move(*manifest) : Manifest{};
}

TEST(LoadManifest, KeepsModelsAndSourcesOnly) {
  const Manifest manifest = load_text(R"({
    "metadata": {"generated_at": "2024-05-06T07:08:09.123Z", "dbt_version": "1.8.0"},
    "nodes": {
      "model.p.orders": {"resource_type": "model", "name": "orders",
                         "depends_on": {"nodes": ["model.p.stg", "seed.p.codes", "model.p.stg"]},
                         "config": {"event_time": "ordered_at", "meta": {"velk": {"lookback": 2}}}},
      "model.p.stg": {"resource_type": "model", "name": "stg", "config": {"meta": {"velk": {}}}},
      "model.q.stg": {"resource_type": "model", "name": "stg"},
      "seed.p.codes": {"resource_type": "seed", "name": "codes"},
      "test.p.not_null": {"resource_type": "test", "name": "not_null", "depends_on": {"nodes": ["model.p.orders"]}},
      "snapshot.p.snap": {"resource_type": "snapshot", "name": "snap"},
      "model.p.capital": {"resource_type": "Model", "name": "capital"},
      "model.p.spaced": {"resource_type": "model ", "name": "spaced"},
      "source.p.raw.orders": {"resource_type": "model", "name": "shadowed"}
    },
    "sources": {
      "source.p.raw.orders": {"name": "orders", "schema": "raw"},
      "source.p.raw.items": {"name": "items"}
    }
  })");
  EXPECT_EQ(manifest.generated_at, "2024-05-06T07:08:09.123Z");

  std::vector<std::string> ids;
  for (const Node& node : manifest.nodes) {
    EXPECT_EQ(manifest.nodes.find(node.unique_id), &node);
    ids.push_back(node.unique_id);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(ids, (std::vector<std::string>{"model.p.orders", "model.p.stg", "model.q.stg", "source.p.raw.items",
                                           "source.p.raw.orders"}));

  const Node& orders = manifest.nodes.at("model.p.orders");
  EXPECT_EQ(orders.name, "orders");
  EXPECT_FALSE(orders.is_source);
  EXPECT_EQ(orders.depends_on, (std::vector<std::string>{"model.p.stg", "seed.p.codes", "model.p.stg"}));
  EXPECT_EQ(orders.event_time, "ordered_at");
  ASSERT_TRUE(orders.velk);
  EXPECT_EQ(orders.velk->lookback, 2);

  // An empty velk object gives default settings; no velk key gives none.
  const Node& stg = manifest.nodes.at("model.p.stg");
  ASSERT_TRUE(stg.velk);
  EXPECT_EQ(stg.velk->lookback, 0);
  EXPECT_EQ(stg.velk->lookahead_unit, TimeUnit::day);
  EXPECT_FALSE(manifest.nodes.at("model.q.stg").velk);
  EXPECT_EQ(manifest.nodes.at("model.q.stg").name, "stg");

  // The source wins over the model under its id.
  const Node& source = manifest.nodes.at("source.p.raw.orders");
  EXPECT_TRUE(source.is_source);
  EXPECT_EQ(source.name, "orders");
  EXPECT_TRUE(source.depends_on.empty());
  EXPECT_FALSE(source.event_time);
  EXPECT_FALSE(source.velk);
}

TEST(LoadManifest, KeepsTheNameThatDbtPrintsForEachVersion) {
  const auto manifest = load_manifest(versioned_models_manifest());
  ASSERT_TRUE(manifest.has_value()) << describe_manifest_error(manifest.error());
  struct Case {
    std::string id;
    std::string printed;
    std::vector<std::string> parents;
  };
  const Case cases[] = {
      {"model.shop.dim_customers.v1", "dim_customers.v1", {"model.shop.stg_customers"}},
      {"model.shop.dim_customers.v2", "dim_customers.v2", {"model.shop.stg_customers", "model.shop.stg_orders"}},
      {"model.shop.dim_customers.vbeta", "dim_customers.vbeta", {"model.shop.stg_customers"}},
      {"model.crm.dim_customers", "dim_customers", {"source.shop.raw.customers"}},
      {"model.shop.customer_cohorts", "customer_cohorts", {"model.shop.dim_customers.v2"}},
      {"source.shop.raw.customers", "customers", {}},
  };
  for (const auto& c : cases) {
    const Node* node = manifest->nodes.find(c.id);
    ASSERT_NE(node, nullptr) << c.id;
    EXPECT_EQ(node->printed_name(), c.printed) << c.id;
    EXPECT_EQ(node->depends_on, c.parents) << c.id;
    // The name stays the model's own, shared by its versions.
    EXPECT_EQ(node->name, c.printed.substr(0, c.printed.find(".v"))) << c.id;
  }
  EXPECT_EQ(manifest->nodes.size(), 9u);  // seven models and two sources; the test is dropped
}

TEST(LoadManifest, GeneratedAtIsKeptAsWritten) {
  struct Case {
    std::string text;
    std::optional<std::string> generated_at;
  };
  const Case cases[] = {
      {"{}", std::nullopt},
      {R"({"metadata": null})", std::nullopt},
      {R"({"metadata": {"dbt_version": "1.8"}})", std::nullopt},
      {R"({"metadata": {"generated_at": null}})", std::nullopt},
      {R"({"metadata": {"generated_at": " yesterday\t"}})", " yesterday\t"},
  };
  for (const auto& c : cases) {
    const Manifest manifest = load_text(c.text);
    EXPECT_EQ(manifest.generated_at, c.generated_at) << c.text;
    EXPECT_TRUE(manifest.nodes.empty()) << c.text;
  }
}

TEST(LoadManifest, ReportsTheFileAndTheCause) {
  TempDir dir;
  write_file(dir / "invalid-utf8.json", "\xFF");
  write_file(dir / "late-invalid-utf8.json", R"({"nodes": {}, "x": "caf)" "\xC3(\"}");
  write_file(dir / "empty.json", "");
  write_file(dir / "broken.json", "{\n  \"nodes\": {\"a\": {}}\n}");
  std::filesystem::create_directory(dir / "dir.json");
  struct Case {
    std::filesystem::path path;
    bool is_read;
    std::string cause;
  };
  const Case cases[] = {
      {dir / "missing.json", true, "No such file or directory (os error 2)"},
      {dir / "missing" / "manifest.json", true, "No such file or directory (os error 2)"},
      {dir / "dir.json", true, "Is a directory (os error 21)"},
      {dir / "invalid-utf8.json", true, "stream did not contain valid UTF-8"},
      {dir / "late-invalid-utf8.json", true, "stream did not contain valid UTF-8"},
      {dir / "empty.json", false, "EOF while parsing a value at line 1 column 1"},
      {dir / "broken.json", false, "missing field `resource_type` at line 2 column 19"},
  };
  for (const auto& c : cases) {
    const auto manifest = load_manifest(c.path);
    ASSERT_FALSE(manifest.has_value()) << c.path;
    EXPECT_EQ(std::holds_alternative<ManifestError::Read>(manifest.error().error), c.is_read) << c.path;
    EXPECT_EQ(describe_manifest_error(manifest.error()), c.path.string() + ": " + c.cause);
  }
}

TEST(LoadManifest, ShowsAPathThatIsNotUtf8InItsDisplayForm) {
  TempDir dir;
  const auto manifest = load_manifest(dir / "bad\xFFname.json");
  ASSERT_FALSE(manifest.has_value());
  EXPECT_EQ(describe_manifest_error(manifest.error()),
            (dir.path() / "bad").string() + "\xEF\xBF\xBDname.json: No such file or directory (os error 2)");
}

TEST(LoadManifest, ReadsAFileWithoutASizeToItsEnd) {
  // A pipe, as with --manifest <(...): fstat gives no size to read up to.
  TempDir dir;
  const auto fifo = dir / "manifest.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string text = R"({"nodes": {"model.p.m": {"resource_type": "model", "name": "m"}}, "padding": ")";
  text += std::string(300'000, 'x');
  text += R"("})";
  std::thread writer([&] {
    std::ofstream out(fifo, std::ios::binary);
    out << text;
  });
  const auto manifest = load_manifest(fifo);
  writer.join();
  ASSERT_TRUE(manifest.has_value()) << describe_manifest_error(manifest.error());
  EXPECT_EQ(manifest->nodes.at("model.p.m").name, "m");
}

TEST(NodeTable, FindsEveryNodeAfterReplacementsAndErasures) {
  // Erasing moves the last Node into the freed place: every other id must
  // still find its own Node afterwards.
  NodeTable table;
  std::map<std::string, std::string> expected;  // unique id to name
  const auto put = [&](const std::string& id, const std::string& name) {
    Node node;
    node.unique_id = id;
    node.name = name;
    table.insert_or_assign(std::move(node));
    expected[id] = name;
  };
  const auto erase = [&](const std::string& id) {
    table.erase(id);
    expected.erase(id);
  };
  for (int i = 0; i < 40; ++i) put("model.p.m" + std::to_string(i), "first " + std::to_string(i));
  put("model.p.m7", "second 7");
  erase("model.p.m39");  // the last one
  erase("model.p.m0");   // the first one
  erase("model.p.m20");
  erase("model.p.m20");  // not there any more
  erase("");             // never there
  put("model.p.m0", "back");
  put("", "empty id");

  // A copy has Nodes of its own: the original may change and go.
  auto copy = std::make_unique<NodeTable>(table);
  const std::map<std::string, std::string> copied = expected;
  erase("model.p.m1");
  put("model.p.m2", "third 2");
  NodeTable moved = std::move(table);

  const auto check = [](const NodeTable& table, const std::map<std::string, std::string>& expected) {
    ASSERT_EQ(table.size(), expected.size());
    std::map<std::string, std::string> listed;
    for (const Node& node : table) listed[node.unique_id] = node.name;
    EXPECT_EQ(listed, expected);
    for (const auto& [id, name] : expected) {
      ASSERT_TRUE(table.contains(id)) << id;
      EXPECT_EQ(table.at(id).name, name) << id;
      EXPECT_EQ(table.find(id)->unique_id, id);
    }
    EXPECT_EQ(table.find("model.p.m20"), nullptr);
    EXPECT_FALSE(table.contains("model.p.m39"));
    EXPECT_THROW(table.at("model.p.m39"), std::out_of_range);
  };
  check(moved, expected);
  // What was moved from starts again from nothing.
  Node fresh;
  fresh.unique_id = "model.p.new";
  fresh.name = "new";
  table.insert_or_assign(fresh);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.at("model.p.new").name, "new");
  check(moved, expected);
  NodeTable second_copy = *copy;
  copy.reset();
  check(second_copy, copied);
}

}  // namespace
