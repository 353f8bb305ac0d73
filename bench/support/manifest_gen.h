// Synthetic dbt manifests for benchmarks, shaped like the ones dbt writes:
// compiled SQL, columns with descriptions, tests, seeds, sources, macros,
// docs and the parent and child maps, about 4 kB of JSON per model.
//
// Model i (0-based) is "model.bench.model_{i}" named "model_{i}". Every tenth
// model (i % 10 == 0) reads a source; every other model depends on one to
// three earlier models. Every third model (i % 3 == 0) has an event_time and
// config.meta.velk settings, some with per-parent overrides. Every model has
// one test and every hundredth model a seed parent. The output depends only
// on the number of models.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

// Writes the manifest to `path` (through a temporary file renamed into place).
void write_generated_manifest(const std::filesystem::path& path, std::size_t models);

// A generated manifest of `models` models kept in `cache_dir`, written first
// when it is not there yet.
std::filesystem::path cached_manifest(std::size_t models, const std::filesystem::path& cache_dir);

// The cache directory inside the build tree: the running executable's directory.
std::filesystem::path bench_cache_dir();

// The unique id of model i.
std::string generated_model_id(std::size_t index);
