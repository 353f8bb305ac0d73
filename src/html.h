// The self-contained interactive HTML report of a plan.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "clock.h"
#include "plan.h"

// <project-dir>/target/velk/dbt-plan/dbt_plan_{YYYYMMDDHHMMSS}.html
std::filesystem::path html_report_path(const std::filesystem::path& project_dir,
                                       const Clock& clock = system_clock_seconds);

// The current UTC time as 14 digits, YYYYMMDDHHMMSS.
std::string html_timestamp(const Clock& clock = system_clock_seconds);

// The whole page: template, style sheet, banner, graph data and script.
std::string render_html_report(const Plan& plan);

// Text escaped for an HTML element's content: "&", "<" and ">" become
// entities; quotation marks and apostrophes stay as they are.
std::string html_escape(std::string_view text);
