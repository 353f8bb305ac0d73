// The HTML report: its time-stamped file name, the graph data that the
// page's script reads, and the page put together from the embedded template,
// style sheet and script.
#include "html.h"

#include <string_view>
#include <vector>

#include "date.h"
#include "html_assets.h"
#include "internal_error.h"
#include "json_text.h"

namespace {

// The page template holds one marker per insertion, in the order they are
// filled. The style sheet and the script each replace a line holding only
// their marker; the banner replaces its marker after the line's indentation;
// the graph data replaces a marker that reads as JSON null, so the template
// opens as a page of its own.
constexpr std::string_view style_marker = "/*@style@*/\n";
constexpr std::string_view banner_marker = "<!--@banner@-->";
constexpr std::string_view data_marker = "/*@data@*/null";
constexpr std::string_view script_marker = "/*@script@*/\n";

std::string two_digits(std::int64_t value) {
  return {static_cast<char>('0' + value / 10), static_cast<char>('0' + value % 10)};
}

// A generous guess at the graph data's length, so that the page is built
// into one allocation in the common case.
std::size_t graph_data_size_hint(const Plan& plan) {
  constexpr std::size_t per_node = 110;  // keys, dates, layer and punctuation
  constexpr std::size_t per_edge = 32;
  std::size_t size = 32;
  for (const PlannedModel& model : plan.models) {
    size += per_node + model.name.size();
    for (const std::string& parent : model.depends_on) {
      size += per_edge + 2 * parent.size() + model.name.size();
    }
  }
  return size;
}

// Appends a JSON string with the serializer's escapes and every "<" also
// written as its JSON escape, so that no name (one holding "</script" or
// "<!--", say) can end the script element or change how the browser reads
// it. The data the script reads is unchanged.
void append_script_safe_string(JsonText& json, std::string& out, std::string_view text) {
  const std::size_t start = json.string(text);
  if (text.find('<') == std::string_view::npos) return;
  const std::string written = out.substr(start);
  out.resize(start);
  std::size_t from = 0;
  for (std::size_t at = written.find('<'); at != std::string::npos; at = written.find('<', from)) {
    out.append(written, from, at - from);
    out.append("\\u003c");
    from = at + 1;
  }
  out.append(written, from, std::string::npos);
}

// Writes JSON text into the page: the structure directly, every string with
// the serializer's escapes; no document tree is built, which keeps large
// plans cheap.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out)
      : out_(out), json_(out, "graph data should always serialize: the serializer gave no output") {}

  void punctuation(std::string_view text) { out_.append(text); }

  void string(std::string_view text) { append_script_safe_string(json_, out_, text); }

  void number(std::uint64_t value) { json_.integer(value); }

  // A date needs no escapes.
  void date(Date day) {
    out_.push_back('"');
    append_date(out_, day);
    out_.push_back('"');
  }

  void string_list(const std::vector<std::string>& texts) {
    out_.push_back('[');
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i > 0) out_.push_back(',');
      string(texts[i]);
    }
    out_.push_back(']');
  }

 private:
  std::string& out_;
  JsonText json_;
};

// {"nodes":[...],"edges":[...]}: each node's keys name, layer,
// event_time_start, event_time_end, depends_on; each edge's upstream then
// downstream, one per parent of each model in plan order.
void append_graph_data(std::string& out, const Plan& plan) {
  JsonWriter writer(out);
  writer.punctuation("{\"nodes\":[");
  bool first = true;
  for (const PlannedModel& model : plan.models) {
    writer.punctuation(first ? "{\"name\":" : ",{\"name\":");
    first = false;
    writer.string(model.name);
    writer.punctuation(",\"layer\":");
    writer.number(model.layer);
    writer.punctuation(",\"event_time_start\":");
    writer.date(model.event_time_start);
    writer.punctuation(",\"event_time_end\":");
    writer.date(model.event_time_end);
    writer.punctuation(",\"depends_on\":");
    writer.string_list(model.depends_on);
    writer.punctuation("}");
  }
  writer.punctuation("],\"edges\":[");
  first = true;
  for (const PlannedModel& model : plan.models) {
    for (const std::string& parent : model.depends_on) {
      writer.punctuation(first ? "{\"upstream\":" : ",{\"upstream\":");
      first = false;
      writer.string(parent);
      writer.punctuation(",\"downstream\":");
      writer.string(model.name);
      writer.punctuation("}");
    }
  }
  writer.punctuation("]}");
}

std::string banner_html(const Plan& plan) {
  const std::optional<std::string> note = plan.default_yesterday_note();
  if (!note) return {};
  return "<div id=\"default-yesterday-banner\">" + html_escape(*note) + "</div>";
}

// Appends the template from `from` up to its next marker and returns the
// position just past the marker.
std::size_t copy_up_to(std::string& out, std::string_view page, std::size_t from,
                       std::string_view marker) {
  const std::size_t at = page.find(marker, from);
  if (at == std::string_view::npos) {
    internal_error("the report's page template lacks the marker " + std::string(marker));
  }
  out.append(page.substr(from, at - from));
  return at + marker.size();
}

// Appends a text that must fill whole lines.
void append_lines(std::string& out, std::string_view text) {
  out.append(text);
  if (!text.empty() && text.back() != '\n') out.push_back('\n');
}

}  // namespace

// One pass gives what escaping "&", then "<", then ">" in three passes over
// the whole text gives: the entities made for "<" and ">" hold neither of
// the later characters, and "&" is never escaped twice.
std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string html_timestamp(const Clock& clock) {
  const std::int64_t seconds = clock_seconds(clock);
  const std::int64_t days = seconds / 86400;
  const std::int64_t rest = seconds % 86400;
  std::string stamp;
  for (char c : format_date(Date{days})) {
    if (c != '-') stamp.push_back(c);
  }
  stamp += two_digits(rest / 3600);
  stamp += two_digits(rest % 3600 / 60);
  stamp += two_digits(rest % 60);
  return stamp;
}

std::filesystem::path html_report_path(const std::filesystem::path& project_dir, const Clock& clock) {
  return project_dir / "target" / "velk" / "dbt-plan" / ("dbt_plan_" + html_timestamp(clock) + ".html");
}

std::string render_html_report(const Plan& plan) {
  const std::string_view page = html_assets::page_html;
  const std::string banner = banner_html(plan);

  std::string out;
  out.reserve(page.size() + html_assets::style_css.size() + html_assets::script_js.size() +
              banner.size() + graph_data_size_hint(plan) + 2);

  std::size_t from = copy_up_to(out, page, 0, style_marker);
  append_lines(out, html_assets::style_css);
  from = copy_up_to(out, page, from, banner_marker);
  out.append(banner);
  from = copy_up_to(out, page, from, data_marker);
  append_graph_data(out, plan);
  from = copy_up_to(out, page, from, script_marker);
  append_lines(out, html_assets::script_js);
  out.append(page.substr(from));
  return out;
}
