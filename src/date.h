// Calendar days and the units of a lookback or lookahead.
//
// A Date is a signed count of days since 1970-01-01 in the proleptic
// Gregorian calendar (year 0 exists, years before it are negative). Every
// 64-bit value is a day: the arithmetic wraps on overflow and never fails,
// so only values far outside any calendar give meaningless dates.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

struct Date {
  std::int64_t days = 0;

  friend auto operator<=>(Date, Date) = default;
};

// The unit of a lookback or lookahead; a week is 7 days, a year 12 months.
enum class TimeUnit : std::uint8_t { day, week, month, year };

// "day", "week", "month" or "year".
std::string_view unit_name(TimeUnit unit);

// A text that is not a YYYY-MM-DD date, kept whole and unchanged.
struct DateError {
  std::string input;
};

// The triple of civil_from_days / days_from_civil.
struct CivilDate {
  std::int64_t year = 1970;
  std::uint32_t month = 1;  // 1..12
  std::uint32_t day = 1;    // 1..31

  friend bool operator==(const CivilDate&, const CivilDate&) = default;
};

tl::expected<Date, DateError> parse_date(std::string_view text);

// YYYY-MM-DD, the year zero-padded to four characters counting its sign.
std::string format_date(Date date);
// Appends format_date's text.
void append_date(std::string& out, Date date);

// "{input} is not a valid YYYY-MM-DD date", the input in quoted form.
std::string describe_date_error(const DateError& error);

Date add_units(Date date, std::int64_t amount, TimeUnit unit);
Date sub_units(Date date, std::int64_t amount, TimeUnit unit);

// Calendar months, the day lowered to the new month's length.
Date add_months(Date date, std::int64_t months);

CivilDate civil_from_days(std::int64_t days);
// Expects a month of 1..12 and a day that exists in it.
std::int64_t days_from_civil(CivilDate civil);

// Days in a month of a year (the Gregorian leap rule for every year).
std::uint32_t days_in_month(std::int64_t year, std::uint32_t month);
