// The HTML report: its file name, the graph data embedded in the page, the
// banner and the assembly of the page from its template.
#include "html.h"

#include <gtest/gtest.h>

#include <boost/json/parse.hpp>
#include <boost/json/value.hpp>

#include "html_assets.h"

namespace {

namespace json = boost::json;

Clock fixed_clock(std::int64_t seconds) {
  return [seconds] { return seconds; };
}

Date day(std::int64_t year, std::uint32_t month, std::uint32_t day_of_month) {
  return Date{days_from_civil(CivilDate{year, month, day_of_month})};
}

PlannedModel model(std::string name, std::uint64_t layer, std::vector<std::string> parents = {}) {
  PlannedModel m;
  m.name = std::move(name);
  m.depends_on = std::move(parents);
  m.layer = layer;
  m.event_time_start = day(2024, 3, 1);
  m.event_time_end = day(2024, 3, 31);
  return m;
}

Plan plan_of(std::vector<PlannedModel> models) {
  Plan plan;
  plan.models = std::move(models);
  plan.event_time_start = day(2024, 3, 31);
  plan.event_time_end = day(2024, 3, 31);
  return plan;
}

// The line of the page that begins with `prefix`, without its line feed.
std::string line_starting(const std::string& page, std::string_view prefix) {
  std::string needle = "\n";
  needle += prefix;
  const std::size_t at = page.find(needle);
  if (at == std::string::npos) return "(no line starting " + std::string(prefix) + ")";
  const std::size_t end = page.find('\n', at + 1);
  return page.substr(at + 1, end - at - 1);
}

// The graph data exactly as embedded in the page.
std::string data_text(const std::string& page) {
  constexpr std::string_view prefix = "window.VELK_DBT_PLAN_DATA = ";
  std::string line = line_starting(page, prefix);
  EXPECT_EQ(line.back(), ';');
  return line.substr(prefix.size(), line.size() - prefix.size() - 1);
}

std::size_t count(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(HtmlReportPath, JoinsTheProjectDirWithTheTimestampedName) {
  const Clock clock = fixed_clock(1709210096);  // 2024-02-29T12:34:56Z
  EXPECT_EQ(html_report_path(".", clock).string(), "./target/velk/dbt-plan/dbt_plan_20240229123456.html");
  EXPECT_EQ(html_report_path("projects/shop", clock).string(),
            "projects/shop/target/velk/dbt-plan/dbt_plan_20240229123456.html");
  EXPECT_EQ(html_report_path("/abs/", clock).string(), "/abs/target/velk/dbt-plan/dbt_plan_20240229123456.html");
}

TEST(HtmlTimestamp, IsTheUtcTimeAsFourteenDigits) {
  struct Case {
    std::int64_t seconds;
    const char* stamp;
  };
  const Case cases[] = {
      {0, "19700101000000"},
      {-1, "19700101000000"},  // a clock set before 1970 counts as 1970
      {-86400LL * 365 * 30, "19700101000000"},
      {86399, "19700101235959"},
      {86400, "19700102000000"},
      {946684799, "19991231235959"},
      {946684800, "20000101000000"},
      {1709210096, "20240229123456"},
      {253402300799, "99991231235959"},
  };
  for (const Case& c : cases) EXPECT_EQ(html_timestamp(fixed_clock(c.seconds)), c.stamp) << c.seconds;
}

TEST(GraphData, IsCompactWithItsKeysInOrder) {
  Plan plan = plan_of({model("a", 0), model("b", 1, {"a"})});
  plan.models[1].event_time_start = day(2024, 2, 29);
  EXPECT_EQ(data_text(render_html_report(plan)),
            R"({"nodes":[)"
            R"({"name":"a","layer":0,"event_time_start":"2024-03-01","event_time_end":"2024-03-31","depends_on":[]},)"
            R"({"name":"b","layer":1,"event_time_start":"2024-02-29","event_time_end":"2024-03-31","depends_on":["a"]}],)"
            R"("edges":[{"upstream":"a","downstream":"b"}]})");
}

TEST(GraphData, OfAnEmptyPlanHasEmptyLists) {
  EXPECT_EQ(data_text(render_html_report(plan_of({}))), R"({"nodes":[],"edges":[]})");
}

TEST(GraphData, HasOneEdgePerParentInPlanOrderThenDependsOnOrder) {
  const Plan plan = plan_of({
      model("z_root", 0),
      model("a_root", 0),
      model("mid", 1, {"z_root", "a_root"}),
      model("leaf", 2, {"mid", "a_root", "z_root"}),
  });
  const json::value data = json::parse(data_text(render_html_report(plan)));
  std::vector<std::pair<std::string, std::string>> edges;
  for (const json::value& edge : data.at("edges").as_array()) {
    edges.emplace_back(edge.at("upstream").as_string(), edge.at("downstream").as_string());
  }
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"z_root", "mid"}, {"a_root", "mid"}, {"mid", "leaf"}, {"a_root", "leaf"}, {"z_root", "leaf"},
  };
  EXPECT_EQ(edges, expected);

  const json::array& nodes = data.at("nodes").as_array();
  ASSERT_EQ(nodes.size(), 4u);
  EXPECT_EQ(nodes[0].at("name").as_string(), "z_root");
  EXPECT_TRUE(nodes[1].at("depends_on").as_array().empty());
  EXPECT_EQ(nodes[3].at("layer").to_number<std::uint64_t>(), 2u);
  EXPECT_EQ(nodes[3].at("depends_on").as_array().size(), 3u);
}

TEST(GraphData, EscapesNamesAndReadsThemBackUnchanged) {
  struct Case {
    const char* what;
    std::string name;
    std::string written;  // as it appears inside the JSON string
  };
  const Case cases[] = {
      {"quote and backslash", "a\"b\\c", R"(a\"b\\c)"},
      {"control characters", "t\tn\nx\x01", R"(t\tn\nx\u0001)"},
      {"script end tag", "</script><script>x", R"(\u003c/script>\u003cscript>x)"},
      {"upper-case end tag", "</SCRIPT", R"(\u003c/SCRIPT)"},
      {"comment opener", "<!--", R"(\u003c!--)"},
      {"other markup characters stay", "a>b&c/d", "a>b&c/d"},
      {"non-ASCII stays UTF-8", "caf\xC3\xA9", "caf\xC3\xA9"},
  };
  for (const Case& c : cases) {
    const std::string page = render_html_report(plan_of({model(c.name, 0), model("child", 1, {c.name})}));
    const std::string text = data_text(page);
    EXPECT_EQ(count(text, "\"" + c.written + "\""), 3u) << c.what;  // node, depends_on, edge
    EXPECT_EQ(text.find('<'), std::string::npos) << c.what;
    const json::value data = json::parse(text);
    EXPECT_EQ(data.at("nodes").at(0).at("name").as_string(), c.name) << c.what;
    EXPECT_EQ(data.at("edges").at(0).at("upstream").as_string(), c.name) << c.what;
    // Only the page's own closing tag ends the script.
    EXPECT_EQ(count(page, "</script"), 1u) << c.what;
  }
}

TEST(HtmlEscape, EscapesAmpersandFirstAndLeavesQuotes) {
  EXPECT_EQ(html_escape("a & b < c > d"), "a &amp; b &lt; c &gt; d");
  EXPECT_EQ(html_escape("&lt; stays visible"), "&amp;lt; stays visible");
  EXPECT_EQ(html_escape("<&>"), "&lt;&amp;&gt;");
  EXPECT_EQ(html_escape("\"it's\""), "\"it's\"");
  EXPECT_EQ(html_escape(""), "");
}

TEST(Banner, IsAbsentForAnExplicitWindow) {
  const std::string page = render_html_report(plan_of({model("a", 0)}));
  EXPECT_EQ(page.find("id=\"default-yesterday-banner\""), std::string::npos);
  EXPECT_NE(page.find("\n<div class=\"viz-root\">\n  \n  <header id=\"toolbar\">\n"), std::string::npos);
}

TEST(Banner, HoldsTheNoteWhenTheWindowDefaulted) {
  Plan plan = plan_of({model("a", 0)});
  plan.source = WindowSource::DefaultYesterday;
  const std::string page = render_html_report(plan);
  EXPECT_EQ(line_starting(page, "  <div id=\"default-yesterday-banner\">"),
            "  <div id=\"default-yesterday-banner\">note: --event-time-start/--event-time-end not supplied, "
            "defaulting every Entry Node to yesterday (2024-03-31)</div>");
  EXPECT_EQ(count(page, "id=\"default-yesterday-banner\""), 1u);
}

TEST(Page, PlacesTheStyleSheetDataAndScriptOnTheirOwnLines) {
  const std::string page = render_html_report(plan_of({model("a", 0)}));
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>\n"));
  EXPECT_NE(page.find("\n<style>\n" + std::string(html_assets::style_css) + "</style>\n"), std::string::npos);
  const std::string data_line = "window.VELK_DBT_PLAN_DATA = " + data_text(page) + ";\n";
  EXPECT_NE(page.find("\n" + data_line + std::string(html_assets::script_js) + "</script>\n"), std::string::npos);
  // Every marker of the template was filled, and nothing else was added.
  EXPECT_EQ(page.find("/*@"), std::string::npos);
  EXPECT_EQ(page.find("<!--@"), std::string::npos);
  EXPECT_TRUE(page.ends_with("</html>\n"));
}

TEST(Page, NamesNoExternalResource) {
  const std::string page = render_html_report(plan_of({model("a", 0)}));
  for (std::string_view reference : {"src=", "href=", "url(", "@import", "<link", "fetch(", "XMLHttpRequest"}) {
    EXPECT_EQ(page.find(reference), std::string::npos) << reference;
  }
}

}  // namespace
