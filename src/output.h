// The plan reports written as text: the JSON plan document, the indented
// text tree, and the atomic writer that every output file goes through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "atomic_write.h"  // write_atomically
#include "clock.h"
#include "plan.h"

// What the plan document records about the run besides the plan.
struct RunContext {
  std::string anchor_selection;  // the --select text
  std::string manifest_path;     // display form of the loaded manifest's path
  std::string dbt_command;       // unsplit
  std::optional<std::string> manifest_generated_at;
  std::int64_t max_window_expansion_days = 90;
};

// The plan document, pretty-printed; generated_at is read from the clock.
std::string build_plan_document(const Plan& plan, const RunContext& context,
                                const Clock& clock = system_clock_seconds);

// One line per planned model, in plan order.
std::string render_tree(const Plan& plan);
