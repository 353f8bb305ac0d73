// Writes the report pages that the browser tests open: small plans built in
// code and rendered with render_html_report, one file per plan, into the
// directory named on the command line.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "html.h"

namespace {

Date day(std::int64_t year, std::uint32_t month, std::uint32_t day_of_month) {
  return Date{days_from_civil(CivilDate{year, month, day_of_month})};
}

PlannedModel model(std::string name, std::uint64_t layer, std::initializer_list<const char*> parents,
                   Date start, Date end) {
  PlannedModel m;
  m.name = std::move(name);
  for (const char* parent : parents) m.depends_on.emplace_back(parent);
  m.layer = layer;
  m.event_time_start = start;
  m.event_time_end = end;
  return m;
}

// A small shop: four staging models, a few marts, one summary at the end;
// the window defaulted to yesterday.
Plan shop_plan() {
  const Date y = day(2024, 5, 1);
  Plan plan;
  plan.source = WindowSource::DefaultYesterday;
  plan.event_time_start = y;
  plan.event_time_end = y;
  plan.models = {
      model("stg_customers", 0, {}, y, y),
      model("stg_orders", 0, {}, y, y),
      model("stg_payments", 0, {}, y, y),
      model("stg_products", 0, {}, y, y),
      model("orders", 1, {"stg_orders", "stg_payments"}, day(2024, 4, 28), y),
      model("product_catalog", 1, {"stg_products"}, y, y),
      model("customers", 2, {"stg_customers", "orders"}, day(2024, 4, 28), y),
      model("daily_revenue", 2, {"orders"}, day(2024, 4, 21), day(2024, 5, 2)),
      model("order_items", 2, {"orders", "product_catalog"}, day(2024, 4, 28), y),
      model("customer_lifetime_value", 3, {"customers", "orders"}, day(2024, 3, 28), y),
      model("product_sales", 3, {"order_items"}, day(2024, 4, 1), y),
      model("finance_summary", 4, {"daily_revenue", "customer_lifetime_value"}, day(2024, 1, 1),
            day(2024, 6, 1)),
  };
  return plan;
}

// Layers out of order in the data, a gap in the layer numbers, and names
// whose locale order differs from their byte order.
Plan layout_plan() {
  const Date d = day(2024, 1, 1);
  Plan plan;
  plan.event_time_start = d;
  plan.event_time_end = d;
  plan.models = {
      model("zeta", 2, {"beta"}, d, d),
      model("beta", 0, {}, d, d),
      model("Alpha", 0, {}, d, d),
      model("Zulu", 0, {}, d, d),
      model("alpha", 0, {}, d, d),
      model("\xC3\xA1rbol", 0, {}, d, d),
      model("ten", 10, {"zeta", "eclair"}, d, d),
      model("eclair", 1, {"Alpha"}, d, d),
  };
  return plan;
}

// Names that are markup, entities, a script end tag, a quote and a backslash.
Plan tricky_plan() {
  const Date d = day(2024, 1, 1);
  Plan plan;
  plan.event_time_start = d;
  plan.event_time_end = d;
  plan.models = {
      model("<b>bold</b> & co", 0, {}, d, d),
      model("</script><script>window.PWNED = 1</script>", 0, {}, d, d),
      model("<!--<script>", 1, {"<b>bold</b> & co"}, d, d),
      model("quote\"back\\slash &amp;", 2, {"<!--<script>", "</script><script>window.PWNED = 1</script>"},
            d, d),
  };
  return plan;
}

// One name far wider than a box, without a space to break at.
Plan long_name_plan() {
  const Date d = day(2024, 1, 1);
  std::string name = "fct";
  while (name.size() < 150) name += "_customer_order_payment";
  Plan plan;
  plan.event_time_start = d;
  plan.event_time_end = d;
  plan.models = {model("src", 0, {}, d, d), model(name, 1, {"src"}, d, d)};
  return plan;
}

// Edges that skip layers (0 to 2, 0 to 3, 1 to 3) between columns of
// different heights, so that no two curves share their ends' heights.
Plan skips_plan() {
  const Date d = day(2024, 1, 1);
  Plan plan;
  plan.event_time_start = d;
  plan.event_time_end = d;
  plan.models = {
      model("raw_a", 0, {}, d, d),
      model("raw_b", 0, {}, d, d),
      model("raw_c", 0, {}, d, d),
      model("stg_a", 1, {"raw_a"}, d, d),
      model("stg_b", 1, {"raw_b", "raw_c"}, d, d),
      model("mart", 2, {"stg_a", "raw_c"}, d, d),
      model("report", 3, {"mart", "raw_a", "stg_b"}, d, d),
  };
  return plan;
}

// The most boxes that the report page still fades (FADE_MAX_BOXES in its
// script): the fades pages hold this many boxes and one more.
constexpr std::size_t fade_max_boxes = 900;

// `count` models in chains of ten, one model of a chain per layer, each
// chain's model the parent of the next: chain003_l4 depends on chain003_l3.
Plan chains_plan(std::size_t count) {
  constexpr std::size_t chain_length = 10;
  const Date d = day(2024, 1, 1);
  Plan plan;
  plan.event_time_start = d;
  plan.event_time_end = d;
  const auto name = [](std::size_t i) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "chain%03zu_l%zu", i / chain_length, i % chain_length);
    return std::string(buffer);
  };
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t layer = i % chain_length;
    PlannedModel m = model(name(i), layer, {}, d, d);
    if (layer > 0) m.depends_on.push_back(name(i - 1));
    plan.models.push_back(std::move(m));
  }
  return plan;
}

bool write_page(const std::filesystem::path& path, const std::string& page) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(page.data(), static_cast<std::streamsize>(page.size()));
  out.close();
  if (!out) {
    std::fprintf(stderr, "html_fixture_pages: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: html_fixture_pages <output-dir>\n");
    return 2;
  }
  const std::filesystem::path dir = argv[1];
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) {
    std::fprintf(stderr, "html_fixture_pages: cannot create %s: %s\n", dir.c_str(), error.message().c_str());
    return 1;
  }
  const std::vector<std::pair<const char*, Plan>> pages = {
      {"shop.html", shop_plan()},     {"layout.html", layout_plan()}, {"tricky.html", tricky_plan()},
      {"long.html", long_name_plan()}, {"empty.html", Plan{}},
      {"skips.html", skips_plan()},
      {"fades-at-limit.html", chains_plan(fade_max_boxes)},
      {"fades-above-limit.html", chains_plan(fade_max_boxes + 1)},
  };
  for (const auto& [file, plan] : pages) {
    if (!write_page(dir / file, render_html_report(plan))) return 1;
  }
  return 0;
}
