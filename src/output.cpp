// The plan document (pretty JSON) and the indented text tree of a plan.
//
// The document is written straight from the plan into one reserved buffer:
// the layout (indents, separators, "[]" for an empty array) is laid down
// here, the keys are constants, and every string and integer is written by
// Boost.JSON's serializer (json_text.h).
#include "output.h"

#include <cstddef>
#include <string>

#include "date.h"
#include "json_text.h"

namespace {

// A pretty JSON writer: two spaces per depth, ": " after a key, each element
// on its own line, an empty container written as its two brackets.
class PrettyWriter {
 public:
  explicit PrettyWriter(std::string& out) : out_(out), json_(out, "plan document is always serializable") {}

  void open(char bracket) {
    out_ += bracket;
    ++depth_;
    empty_ = true;
  }

  void close(char bracket) {
    --depth_;
    if (!empty_) new_line();
    out_ += bracket;
    empty_ = false;
  }

  // Starts the next element of the current array.
  void element() { next_item(); }

  // Starts the next entry of the current object. The keys are constants of
  // lower-case letters and underscores, which the serializer writes as they
  // stand; so are the dates' digits and hyphens.
  void key(std::string_view name) {
    next_item();
    out_ += '"';
    out_ += name;
    out_ += "\": ";
  }

  void string(std::string_view text) { json_.string(text); }

  void date(Date day) {
    out_ += '"';
    append_date(out_, day);
    out_ += '"';
  }

  void integer(std::int64_t number) { json_.integer(number); }
  void integer(std::uint64_t number) { json_.integer(number); }

 private:
  void next_item() {
    if (!empty_) out_ += ',';
    empty_ = false;
    new_line();
  }

  void new_line() {
    out_ += '\n';
    out_.append(2 * depth_, ' ');
  }

  std::string& out_;
  JsonText json_;
  std::size_t depth_ = 0;
  bool empty_ = true;  // no element written yet at the current depth
};

void append_two_digits(std::string& out, std::int64_t value) {
  out += static_cast<char>('0' + value / 10);
  out += static_cast<char>('0' + value % 10);
}

// YYYY-MM-DDTHH:MM:SSZ of a clock reading, the reading clamped to 1970.
std::string utc_timestamp(std::int64_t seconds) {
  const std::int64_t rest = seconds % 86400;
  std::string text = format_date(Date{seconds / 86400});
  text += 'T';
  append_two_digits(text, rest / 3600);
  text += ':';
  append_two_digits(text, rest % 3600 / 60);
  text += ':';
  append_two_digits(text, rest % 60);
  text += 'Z';
  return text;
}

// A little more than the document will need, so that it is written without
// growing the buffer in the common case where few strings need escapes.
std::size_t estimated_size(const Plan& plan, const RunContext& context) {
  std::size_t size = 600 + context.anchor_selection.size() + context.manifest_path.size() +
                     context.dbt_command.size();
  if (context.manifest_generated_at) size += context.manifest_generated_at->size();
  if (plan.anchor_model) size += plan.anchor_model->size();
  for (const PlanWarning& warning : plan.warnings) {
    size += 80 + warning.model.size() + warning.message.size();
  }
  for (const PlannedModel& model : plan.models) {
    size += 300 + model.name.size();
    for (const std::string& parent : model.depends_on) size += 12 + parent.size();
  }
  return size;
}

// A date needs no escapes.
void write_date(PrettyWriter& writer, Date date) { writer.date(date); }

void write_metadata(PrettyWriter& writer, const Plan& plan, const RunContext& context,
                    const std::string& generated_at) {
  writer.open('{');
  writer.key("generated_at");
  writer.string(generated_at);
  writer.key("anchor_selection");
  writer.string(context.anchor_selection);
  if (plan.anchor_model) {
    writer.key("anchor_model");
    writer.string(*plan.anchor_model);
  }
  writer.key("anchor_window");
  writer.open('{');
  writer.key("event_time_start");
  write_date(writer, plan.event_time_start);
  writer.key("event_time_end");
  write_date(writer, plan.event_time_end);
  writer.key("source");
  writer.string(window_source_name(plan.source));
  if (const std::optional<std::string> note = plan.default_yesterday_note()) {
    writer.key("note");
    writer.string(*note);
  }
  writer.close('}');
  writer.key("manifest_path");
  writer.string(context.manifest_path);
  if (context.manifest_generated_at) {
    writer.key("manifest_generated_at");
    writer.string(*context.manifest_generated_at);
  }
  writer.key("dbt_command");
  writer.string(context.dbt_command);
  writer.key("max_window_expansion_days");
  writer.integer(context.max_window_expansion_days);
  writer.key("warnings");
  writer.open('[');
  for (const PlanWarning& warning : plan.warnings) {
    writer.element();
    writer.open('{');
    writer.key("model");
    writer.string(warning.model);
    writer.key("message");
    writer.string(warning.message);
    writer.close('}');
  }
  writer.close(']');
  writer.close('}');
}

void write_model(PrettyWriter& writer, const PlannedModel& model) {
  writer.open('{');
  writer.key("name");
  writer.string(model.name);
  writer.key("event_time_start");
  write_date(writer, model.event_time_start);
  writer.key("event_time_end");
  write_date(writer, model.event_time_end);
  writer.key("lookback");
  writer.integer(model.lookback);
  writer.key("lookback_unit");
  writer.string(unit_name(model.lookback_unit));
  writer.key("lookahead");
  writer.integer(model.lookahead);
  writer.key("lookahead_unit");
  writer.string(unit_name(model.lookahead_unit));
  writer.key("depends_on");
  writer.open('[');
  for (const std::string& parent : model.depends_on) {
    writer.element();
    writer.string(parent);
  }
  writer.close(']');
  writer.key("layer");
  writer.integer(model.layer);
  writer.close('}');
}

}  // namespace

std::string build_plan_document(const Plan& plan, const RunContext& context, const Clock& clock) {
  const std::string generated_at = utc_timestamp(clock_seconds(clock));
  std::string out;
  out.reserve(estimated_size(plan, context));
  PrettyWriter writer(out);
  writer.open('{');
  writer.key("metadata");
  write_metadata(writer, plan, context, generated_at);
  writer.key("models");
  writer.open('[');
  for (const PlannedModel& model : plan.models) {
    writer.element();
    write_model(writer, model);
  }
  writer.close(']');
  writer.close('}');
  return out;
}

std::string render_tree(const Plan& plan) {
  std::size_t size = 0;
  for (const PlannedModel& model : plan.models) size += 2 * model.layer + model.name.size() + 56;
  std::string out;
  out.reserve(size);
  for (const PlannedModel& model : plan.models) {
    out.append(2 * model.layer, ' ');
    out += "[layer ";
    out += std::to_string(model.layer);
    out += "] ";
    out += model.name;
    out += " [";
    append_date(out, model.event_time_start);
    out += " .. ";
    append_date(out, model.event_time_end);
    out += "]\n";
  }
  return out;
}
