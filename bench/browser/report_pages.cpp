// Writes the report pages that the browser benchmark opens: generated plans
// of 2,000 and 20,000 models, or of the numbers of models named after the
// directory (multiples of 25), in 25 layers, each model past the first layer
// with a parent in the layer before and one in any earlier layer (the two
// may be one), as report-N.html into the directory named on the command
// line.
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "html.h"

namespace {

constexpr std::uint64_t layer_count = 25;

// A deterministic stream of numbers, so that every run opens the same plan.
struct Lcg {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  std::uint64_t next(std::uint64_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % bound;
  }
};

std::string model_name(std::uint64_t layer, std::uint64_t index) {
  static const char* const kinds[] = {"stg", "int", "fct", "dim", "rpt"};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%s_orders_l%02llu_%05llu", kinds[layer % 5],
                static_cast<unsigned long long>(layer), static_cast<unsigned long long>(index));
  return buffer;
}

Plan generated_plan(std::uint64_t models) {
  const std::uint64_t per_layer = models / layer_count;
  const Date start{days_from_civil(CivilDate{2024, 3, 4})};
  const Date end{days_from_civil(CivilDate{2024, 3, 10})};
  Lcg random;
  Plan plan;
  plan.event_time_start = start;
  plan.event_time_end = end;
  for (std::uint64_t layer = 0; layer < layer_count; ++layer) {
    for (std::uint64_t index = 0; index < per_layer; ++index) {
      PlannedModel model;
      model.name = model_name(layer, index);
      model.layer = layer;
      model.event_time_start = Date{start.days - static_cast<std::int64_t>(layer)};
      model.event_time_end = end;
      if (layer > 0) {
        model.depends_on.push_back(model_name(layer - 1, random.next(per_layer)));
        model.depends_on.push_back(model_name(random.next(layer), random.next(per_layer)));
        if (model.depends_on[0] == model.depends_on[1]) model.depends_on.pop_back();
      }
      plan.models.push_back(std::move(model));
    }
  }
  return plan;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: report_pages DIRECTORY [MODELS...]\n");
    return 2;
  }
  std::vector<std::uint64_t> sizes = {2000, 20000};
  if (argc > 2) sizes.clear();
  for (int i = 2; i < argc; ++i) {
    std::uint64_t models = 0;
    const std::string_view text = argv[i];
    const auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), models);
    if (code != std::errc{} || end != text.data() + text.size() || models == 0 || models % layer_count != 0) {
      std::fprintf(stderr, "report_pages: %s is not a number of models -- give a multiple of %llu\n", argv[i],
                   static_cast<unsigned long long>(layer_count));
      return 2;
    }
    sizes.push_back(models);
  }
  const std::filesystem::path dir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "report_pages: cannot create %s: %s\n", dir.c_str(), error.message().c_str());
    return 1;
  }
  for (std::uint64_t models : sizes) {
    const std::filesystem::path path = dir / ("report-" + std::to_string(models) + ".html");
    const std::string page = render_html_report(generated_plan(models));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(page.data(), static_cast<std::streamsize>(page.size()));
    if (!out.flush()) {
      std::fprintf(stderr, "report_pages: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
