// Fuzzes the reading of YYYY-MM-DD dates: any text either fails with itself
// in the message or gives a day that formats back to a date that reads back
// as the same day.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "date.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto date = parse_date(text);
  if (!date) {
    if (date.error().input != text) std::abort();
    (void)describe_date_error(date.error());
    return 0;
  }
  const std::string formatted = format_date(*date);
  const auto again = parse_date(formatted);
  // Negative years are written but cannot be read back.
  if (formatted[0] != '-' && (!again || *again != *date)) std::abort();
  for (const TimeUnit unit : {TimeUnit::day, TimeUnit::week, TimeUnit::month, TimeUnit::year}) {
    (void)add_units(*date, date->days, unit);
    (void)sub_units(*date, date->days, unit);
  }
  return 0;
}
