// The report's page template, style sheet and script, embedded at build time
// from src/html/page.html, style.css and script.js.
#pragma once

#include <string_view>

namespace html_assets {
extern const std::string_view page_html;
extern const std::string_view style_css;
extern const std::string_view script_js;
}  // namespace html_assets
