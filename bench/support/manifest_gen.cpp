// Synthetic dbt manifests for benchmarks.
#include "support/manifest_gen.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace {

// A deterministic stream of numbers (splitmix64).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t bound) { return static_cast<std::size_t>(next() % bound); }

 private:
  std::uint64_t state_;
};

// Appends to a buffer that is written out whenever it grows large.
class Output {
 public:
  explicit Output(std::FILE* file) : file_(file) { buffer_.reserve(2 << 20); }
  Output& operator<<(std::string_view text) {
    buffer_ += text;
    if (buffer_.size() >= (1 << 20)) flush();
    return *this;
  }
  Output& operator<<(std::size_t number) { return *this << std::string_view(std::to_string(number)); }
  void flush() {
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
      throw std::runtime_error("cannot write the generated manifest");
    }
    buffer_.clear();
  }

 private:
  std::FILE* file_;
  std::string buffer_;
};

std::string model_name(std::size_t i) { return "model_" + std::to_string(i); }
std::string source_id(std::size_t j) { return "source.bench.raw.table_" + std::to_string(j); }
std::string seed_id(std::size_t j) { return "seed.bench.codes_" + std::to_string(j); }
std::string test_id(std::size_t i, std::string_view kind) {
  return "test.bench." + std::string(kind) + "_model_" + std::to_string(i) + "_id.a1b2c3d4e5";
}

// Each model has one test, of alternating kinds.
std::string_view test_kind(std::size_t i) { return i % 2 == 0 ? "not_null" : "unique"; }

std::vector<std::vector<std::string>> model_parents(std::size_t models) {
  std::vector<std::vector<std::string>> parents(models);
  Random random(20240601);
  for (std::size_t i = 0; i < models; ++i) {
    auto& list = parents[i];
    if (i % 10 == 0) {
      list.push_back(source_id(i / 10));
    } else {
      const std::size_t count = 1 + random.below(3);
      for (std::size_t k = 0; k < count; ++k) {
        const std::string parent = generated_model_id(i - 1 - random.below(std::min<std::size_t>(i, 40)));
        if (std::find(list.begin(), list.end(), parent) == list.end()) list.push_back(parent);
      }
    }
    if (i % 100 == 1) list.push_back(seed_id(i / 100));
  }
  return parents;
}

void write_list(Output& out, const std::vector<std::string>& items) {
  out << "[";
  for (std::size_t k = 0; k < items.size(); ++k) out << (k ? ", \"" : "\"") << items[k] << "\"";
  out << "]";
}

constexpr std::string_view column_names[] = {"id", "customer_id", "event_at", "amount"};

void write_columns(Output& out, std::size_t i) {
  out << R"("columns": {)";
  // Models document from none to all of their columns.
  for (std::size_t c = 0; c < i % (std::size(column_names) + 1); ++c) {
    const std::string_view column = column_names[c];
    out << (c ? ", " : "") << "\"" << column << R"(": {"name": ")" << column << R"(", "description": "The )"
        << column << R"( of each \"row\" of )" << model_name(i)
        << R"(.", "meta": {}, "data_type": null, "constraints": [], "quote": null, "tags": []})";
  }
  out << "}";
}

void write_velk(Output& out, std::size_t i, const std::vector<std::string>& parents) {
  switch (i / 3 % 4) {
    case 0: out << R"({"lookback": 2})"; break;
    case 1: out << R"({"lookback": 1, "lookback_unit": "week", "lookahead": 1})"; break;
    case 2: {
      out << R"({"lookback": 3, "lookback_overrides": {")";
      const std::string& first = parents.front();
      out << first.substr(first.rfind('.') + 1) << R"(": 7}})";
      break;
    }
    default: out << R"({"lookahead": 2, "lookahead_unit": {"day": null}})"; break;
  }
}

void write_model(Output& out, std::size_t i, const std::vector<std::string>& parents) {
  const std::string name = model_name(i);
  const bool windowed = i % 3 == 0;
  out << "\"" << generated_model_id(i) << R"(": {"database": "analytics", "schema": "marts", "name": ")" << name
      << R"(", "resource_type": "model", "package_name": "bench", "path": "marts/)" << name
      << R"(.sql", "original_file_path": "models/marts/)" << name << R"(.sql", "unique_id": ")"
      << generated_model_id(i) << R"(", "fqn": ["bench", "marts", ")" << name << R"("], "alias": ")" << name
      << R"(", "checksum": {"name": "sha256", "checksum": "9f2c1e4b7a3d5f60182c3e4b5a6d7f8091a2b3c4d5e6f708192a3b4c5d6e7f80"}, )"
      << R"("config": {"enabled": true, "alias": null, "schema": "marts", "database": null, "tags": ["daily"], "meta": {"owner": "analytics")";
  if (windowed) {
    out << R"(, "velk": )";
    write_velk(out, i, parents);
  }
  out << R"(}, "group": null, "materialized": ")" << (windowed ? "incremental" : "table")
      << R"(", "incremental_strategy": null, "post-hook": [], "pre-hook": [], "unique_key": null, "on_schema_change": "ignore", "grants": {}, "docs": {"show": true, "node_color": null}, "contract": {"enforced": false, "alias_types": true}, "event_time": )"
      << (windowed ? R"("event_at")" : "null") << R"(, "concurrent_batches": null, "access": "protected"}, )"
      << R"("tags": ["daily"], "description": "One row per event of )" << name
      << R"(.", )";
  write_columns(out, i);
  out << R"(, "meta": {"owner": "analytics"}, "docs": {"show": true, "node_color": null}, "patch_path": "bench://models/marts/schema.yml", "created_at": 1734335093.497123, "relation_name": "analytics.marts.)"
      << name << R"(", "raw_code": "with source_rows as (\n    select * from {{ ref('upstream') }}\n)\n\nselect id, customer_id, event_at\nfrom source_rows\n", "language": "sql", "refs": [)";
  bool first = true;
  for (const auto& parent : parents) {
    if (parent.starts_with("model.")) {
      out << (first ? "" : ", ") << R"({"name": ")" << parent.substr(parent.rfind('.') + 1)
          << R"(", "package": null, "version": null})";
      first = false;
    }
  }
  out << R"(], "sources": [], "metrics": [], "depends_on": {"macros": ["macro.bench.cents_to_dollars"], "nodes": )";
  write_list(out, parents);
  out << R"(}, "compiled_path": "target/compiled/bench/models/marts/)" << name
      << R"(.sql", "compiled": true, "compiled_code": "with source_rows as (\n    select * from analytics.marts.upstream_of_)"
      << name << R"(\n)\n\nselect id, customer_id, event_at\nfrom source_rows\nwhere event_at >= '2024-01-01'\n", "extra_ctes_injected": true, "extra_ctes": [], "access": "protected", "constraints": []})";
}

void write_test(Output& out, std::size_t i, std::string_view kind) {
  const std::string name = std::string(kind) + "_" + model_name(i) + "_id";
  out << "\"" << test_id(i, kind) << R"(": {"database": "analytics", "schema": "dbt_test__audit", "name": ")" << name
      << R"(", "resource_type": "test", "package_name": "bench", "path": ")" << name
      << R"(.sql", "original_file_path": "models/marts/schema.yml", "unique_id": ")" << test_id(i, kind)
      << R"(", "fqn": ["bench", "marts", ")" << name << R"("], "alias": ")" << name
      << R"j(", "config": {"enabled": true, "materialized": "test", "severity": "ERROR", "fail_calc": "count(*)", "warn_if": "!= 0", "error_if": "!= 0"}, "tags": [], "raw_code": "{{ test_)j"
      << kind << R"((**_dbt_generic_test_kwargs) }}", "refs": [{"name": ")" << model_name(i)
      << R"(", "package": null, "version": null}], "depends_on": {"macros": ["macro.dbt.test_)"
      << kind << R"(", "macro.dbt.get_where_subquery"], "nodes": [")" << generated_model_id(i)
      << R"("]}, "compiled_path": null, "compiled": true, "compiled_code": "\n\nselect id\nfrom analytics.marts.)"
      << model_name(i) << R"(\nwhere id is null\n", "column_name": "id", "file_key_name": "models.)"
      << model_name(i) << R"(", "attached_node": ")" << generated_model_id(i)
      << R"(", "test_metadata": {"name": ")" << kind << R"(", "kwargs": {"column_name": "id", "model": "{{ get_where_subquery(ref(')"
      << model_name(i) << R"(')) }}"}, "namespace": null}})";
}

void write_seed(Output& out, std::size_t j) {
  out << "\"" << seed_id(j) << R"(": {"database": "analytics", "schema": "seeds", "name": "codes_)" << j
      << R"(", "resource_type": "seed", "package_name": "bench", "path": "codes.csv", "original_file_path": "seeds/codes.csv", "unique_id": ")"
      << seed_id(j)
      << R"(", "fqn": ["bench", "codes"], "alias": "codes", "checksum": {"name": "sha256", "checksum": "0a1b"}, "config": {"enabled": true, "materialized": "seed", "meta": {}, "delimiter": ","}, "tags": [], "depends_on": {"macros": []}, "root_path": "/project"})";
}

void write_source(Output& out, std::size_t j) {
  out << "\"" << source_id(j) << R"(": {"database": "raw", "schema": "core", "name": "table_)" << j
      << R"(", "resource_type": "source", "package_name": "bench", "path": "models/sources.yml", "original_file_path": "models/sources.yml", "unique_id": ")"
      << source_id(j) << R"(", "fqn": ["bench", "raw", "table_)" << j
      << R"("], "source_name": "raw", "source_description": "Rows loaded from the core system.", "loader": "fivetran", "identifier": "table_)"
      << j
      << R"(", "quoting": {"database": null, "schema": null, "identifier": null, "column": null}, "loaded_at_field": "_loaded_at", "freshness": {"warn_after": {"count": 12, "period": "hour"}, "error_after": {"count": null, "period": null}, "filter": null}, "external": null, "description": "", "columns": {"id": {"name": "id", "description": "Primary key.", "meta": {}, "data_type": null, "constraints": [], "quote": null, "tags": []}}, "meta": {}, "source_meta": {}, "tags": [], "config": {"enabled": true, "event_time": null}, "patch_path": null, "unrendered_config": {}, "relation_name": "raw.core.table_)"
      << j << R"(", "created_at": 1734335093.1})";
}

void write_macro(Output& out, std::size_t j) {
  out << R"("macro.bench.helper_)" << j << R"(": {"name": "helper_)" << j
      << R"(", "resource_type": "macro", "package_name": "bench", "path": "macros/helpers.sql", "original_file_path": "macros/helpers.sql", "unique_id": "macro.bench.helper_)"
      << j << R"(", "macro_sql": "{% macro helper_)" << j
      << R"((column_name, scale=2) -%}\n    round(1.0 * {{ column_name }} / 100, {{ scale }})\n{%- endmacro %}", "depends_on": {"macros": []}, "description": "Converts cents to dollars.", "meta": {}, "docs": {"show": true, "node_color": null}, "patch_path": null, "arguments": [{"name": "column_name", "type": "string", "description": ""}], "created_at": 1734335091.5, "supported_languages": null})";
}

void write_doc(Output& out, std::size_t j) {
  out << R"("doc.bench.block_)" << j << R"(": {"name": "block_)" << j
      << R"(", "resource_type": "doc", "package_name": "bench", "path": "docs.md", "original_file_path": "models/docs.md", "unique_id": "doc.bench.block_)"
      << j << R"(", "block_contents": "Events are deduplicated on `id` and late arrivals within three days are merged.\nSee the runbook."})";
}

void write_manifest(Output& out, std::size_t models) {
  const auto parents = model_parents(models);
  const std::size_t sources = (models + 9) / 10;
  const std::size_t seeds = (models + 98) / 100;

  out << R"({"metadata": {"dbt_schema_version": "https://schemas.getdbt.com/dbt/manifest/v12.json", "dbt_version": "1.9.0", "generated_at": "2024-12-16T07:44:51.334516Z", "invocation_id": "6c3ee1a8-1a2b-4c5d-8e9f-0a1b2c3d4e5f", "env": {}, "project_name": "bench", "adapter_type": "postgres"}, "nodes": {)";
  const char* separator = "";
  for (std::size_t i = 0; i < models; ++i) {
    out << separator;
    separator = ", ";
    write_model(out, i, parents[i]);
    out << ", ";
    write_test(out, i, test_kind(i));
  }
  for (std::size_t j = 0; j < seeds; ++j) {
    out << separator;
    separator = ", ";
    write_seed(out, j);
  }
  out << R"(}, "sources": {)";
  for (std::size_t j = 0; j < sources; ++j) {
    out << (j ? ", " : "");
    write_source(out, j);
  }
  out << R"(}, "macros": {)";
  for (std::size_t j = 0; j < models / 25 + 1; ++j) {
    out << (j ? ", " : "");
    write_macro(out, j);
  }
  out << R"(}, "docs": {)";
  for (std::size_t j = 0; j < models / 20 + 1; ++j) {
    out << (j ? ", " : "");
    write_doc(out, j);
  }
  out << R"(}, "exposures": {}, "metrics": {}, "groups": {}, "selectors": {}, "disabled": {}, "parent_map": {)";
  std::vector<std::vector<std::string>> children(models);
  separator = "";
  for (std::size_t i = 0; i < models; ++i) {
    out << separator << "\"" << generated_model_id(i) << "\": ";
    separator = ", ";
    write_list(out, parents[i]);
    for (const auto& parent : parents[i]) {
      if (!parent.starts_with("model.")) continue;
      const std::size_t index = std::stoul(parent.substr(parent.rfind('_') + 1));
      children[index].push_back(generated_model_id(i));
    }
    out << ", \"" << test_id(i, test_kind(i)) << "\": [\"" << generated_model_id(i) << "\"]";
    children[i].push_back(test_id(i, test_kind(i)));
  }
  out << R"(}, "child_map": {)";
  separator = "";
  for (std::size_t i = 0; i < models; ++i) {
    out << separator << "\"" << generated_model_id(i) << "\": ";
    separator = ", ";
    write_list(out, children[i]);
  }
  out << R"(}, "group_map": {}, "saved_queries": {}, "semantic_models": {}, "unit_tests": {}})"
      << "\n";
}

}  // namespace

std::string generated_model_id(std::size_t index) { return "model.bench." + model_name(index); }

void write_generated_manifest(const std::filesystem::path& path, std::size_t models) {
  const auto temporary = path.string() + ".tmp" + std::to_string(::getpid());
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) throw std::runtime_error("cannot create " + temporary);
  try {
    Output out(file);
    write_manifest(out, models);
    out.flush();
  } catch (...) {
    std::fclose(file);
    std::filesystem::remove(temporary);
    throw;
  }
  if (std::fclose(file) != 0) throw std::runtime_error("cannot write " + temporary);
  std::filesystem::rename(temporary, path);
}

std::filesystem::path cached_manifest(std::size_t models, const std::filesystem::path& cache_dir) {
  std::filesystem::create_directories(cache_dir);
  const auto path = cache_dir / ("generated-manifest-v1-" + std::to_string(models) + ".json");
  if (!std::filesystem::exists(path)) write_generated_manifest(path, models);
  return path;
}

std::filesystem::path bench_cache_dir() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path();
}
