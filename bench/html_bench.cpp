// Times render_html_report on large plans: 100,000 models in 100 layers,
// each model below the first layer with two parents from the layer above.
//   html_bench [models] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "heap_reserve.h"
#include "html.h"

namespace {

Plan large_plan(std::size_t count) {
  constexpr std::size_t per_layer = 1000;
  Plan plan;
  plan.source = WindowSource::DefaultYesterday;
  plan.event_time_start = Date{19800};
  plan.event_time_end = Date{19800};
  plan.models.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    PlannedModel m;
    m.name = "model_" + std::to_string(i / per_layer) + "_fct_orders_" + std::to_string(i);
    m.layer = i / per_layer;
    m.event_time_start = Date{19700 + static_cast<std::int64_t>(i % 97)};
    m.event_time_end = Date{19800};
    if (m.layer > 0) {
      const std::size_t above = (m.layer - 1) * per_layer;
      m.depends_on.push_back(plan.models[above + i % per_layer].name);
      m.depends_on.push_back(plan.models[above + (i * 7 + 3) % per_layer].name);
    }
    plan.models.push_back(std::move(m));
  }
  return plan;
}

}  // namespace

int main(int argc, char** argv) {
  // The heap as a run sets it up before it loads a large manifest (see
  // heap_reserve.h): the text is built in memory the process already holds,
  // so this measures the writer rather than the kernel handing out pages.
  reserve_heap(std::size_t(1) << 30);
  const std::size_t models = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const int runs = std::max(1, argc > 2 ? std::atoi(argv[2]) : 10);
  const Plan plan = large_plan(models);

  std::vector<double> times;
  std::size_t size = 0;
  std::size_t capacity = 0;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const std::string page = render_html_report(plan);
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
    size = page.size();
    capacity = page.capacity();
  }
  // The first run is what one report costs; later runs may reuse memory
  // that the allocator kept from the one before.
  const double first = times.front();
  std::sort(times.begin(), times.end());
  std::printf("render_html_report: %zu models, page %.1f MB (capacity %.1f MB), "
              "first %.1f ms, median %.1f ms, min %.1f ms over %d runs\n",
              models, size / 1e6, capacity / 1e6, first, times[times.size() / 2], times.front(), runs);
  return 0;
}
