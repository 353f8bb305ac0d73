// Cost of the plan reports on a large plan: the JSON document, the text tree
// and writing the document to disk, for 100,000 models.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "heap_reserve.h"
#include "output.h"

namespace {

Plan large_plan(std::size_t count) {
  Plan plan;
  plan.event_time_start = Date{19791};
  plan.event_time_end = Date{19791};
  plan.models.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    PlannedModel model;
    model.name = "fct_model_number_" + std::to_string(i);
    if (i >= 2) {
      model.depends_on = {plan.models[i / 2].name, plan.models[i - 1].name};
      model.layer = i % 12;
    }
    model.event_time_start = Date{19791 - static_cast<std::int64_t>(i % 40)};
    model.event_time_end = Date{19791 + static_cast<std::int64_t>(i % 3)};
    model.lookback = static_cast<std::int64_t>(i % 5);
    model.lookback_unit = TimeUnit::day;
    plan.models.push_back(std::move(model));
    if (i % 100 == 0) {
      plan.warnings.push_back({plan.models.back().name, "expanded window (120 days) exceeds "
                                                        "max_window_expansion_days (90)"});
    }
  }
  return plan;
}

template <class F>
double best_milliseconds(int rounds, F&& run) {
  double best = 1e300;
  for (int i = 0; i < rounds; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

}  // namespace

int main() {
  // The heap as a run sets it up before it loads a large manifest (see
  // heap_reserve.h): the text is built in memory the process already holds,
  // so this measures the writer rather than the kernel handing out pages.
  reserve_heap(std::size_t(1) << 30);
  constexpr std::size_t kModels = 100000;
  const Plan plan = large_plan(kModels);
  RunContext context;
  context.anchor_selection = "tag:daily+";
  context.manifest_path = "target/manifest.json";
  context.dbt_command = "dbt";
  const Clock clock = [] { return std::int64_t{1709967902}; };

  std::size_t document_size = 0;
  std::size_t document_capacity = 0;
  const double document_ms = best_milliseconds(5, [&] {
    const std::string document = build_plan_document(plan, context, clock);
    document_size = document.size();
    document_capacity = document.capacity();
  });
  std::size_t tree_size = 0;
  const double tree_ms = best_milliseconds(5, [&] { tree_size = render_tree(plan).size(); });

  const std::string document = build_plan_document(plan, context, clock);
  std::string directory = (std::filesystem::temp_directory_path() / "velk-bench-XXXXXX").string();
  if (mkdtemp(directory.data()) == nullptr) return 1;
  const std::filesystem::path destination = std::filesystem::path(directory) / "target/dbt_plan.json";
  bool written = true;
  const double write_ms = best_milliseconds(5, [&] {
    written = written && write_atomically(destination, document).has_value();
  });
  std::filesystem::remove_all(directory);
  if (!written) return 1;

  std::printf("models:               %zu\n", kModels);
  std::printf("plan document:        %.2f ms, %zu bytes (buffer %zu bytes)\n", document_ms,
              document_size, document_capacity);
  std::printf("text tree:            %.2f ms, %zu bytes\n", tree_ms, tree_size);
  std::printf("atomic write:         %.2f ms\n", write_ms);
  return 0;
}
