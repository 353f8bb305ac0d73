// Calendar days: civil conversions, parsing, formatting and unit arithmetic.
//
// The conversions are Howard Hinnant's civil-calendar algorithms, counting
// from 0000-03-01 so that the leap day ends a counting year. Every step is
// done in unsigned 64-bit arithmetic where it could overflow, so that dates
// far outside any calendar wrap instead of invoking undefined behaviour.
#include "date.h"

#include <charconv>

#include "internal_error.h"
#include "quoted.h"

namespace {

using u64 = std::uint64_t;
using i64 = std::int64_t;

i64 wrap(u64 value) { return static_cast<i64>(value); }
u64 bits(i64 value) { return static_cast<u64>(value); }

i64 wrapping_add(i64 a, i64 b) { return wrap(bits(a) + bits(b)); }
i64 wrapping_sub(i64 a, i64 b) { return wrap(bits(a) - bits(b)); }
i64 wrapping_mul(i64 a, i64 b) { return wrap(bits(a) * bits(b)); }
i64 wrapping_neg(i64 a) { return wrap(0 - bits(a)); }

// Division rounded toward minus infinity, and its remainder 0..b-1 (b > 0).
i64 floor_div(i64 a, i64 b) {
  const i64 q = a / b;
  return (a % b != 0 && a < 0) ? q - 1 : q;
}
i64 floor_mod(i64 a, i64 b) {
  const i64 r = a % b;
  return r < 0 ? r + b : r;
}

bool is_leap_year(i64 year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// An optional '+' and one or more ASCII digits, at most `max`.
template <class T>
bool read_number(std::string_view piece, T& value) {
  if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
  if (piece.empty()) return false;
  for (char c : piece) {
    if (c < '0' || c > '9') return false;
  }
  const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), value);
  return error == std::errc() && end == piece.data() + piece.size();
}

}  // namespace

std::string_view unit_name(TimeUnit unit) {
  switch (unit) {
    case TimeUnit::day: return "day";
    case TimeUnit::week: return "week";
    case TimeUnit::month: return "month";
    case TimeUnit::year: return "year";
  }
  internal_error("entered unreachable code: a TimeUnit is one of its four values");
}

std::uint32_t days_in_month(std::int64_t year, std::uint32_t month) {
  switch (month) {
    case 1: case 3: case 5: case 7: case 8: case 10: case 12: return 31;
    case 4: case 6: case 9: case 11: return 30;
    case 2: return is_leap_year(year) ? 29 : 28;
    default:
      internal_error("entered unreachable code: month is always 1..=12, produced by civil_from_days");
  }
}

CivilDate civil_from_days(std::int64_t days) {
  const i64 z = wrapping_add(days, 719468);
  // Floor division: shifting a negative z down by 146096 first, as the
  // textbook form does, would wrap to a positive value near the bottom of
  // the range and leave doe outside its era.
  const i64 era = floor_div(z, 146097);
  const i64 doe = wrapping_sub(z, wrapping_mul(era, 146097));                     // 0..146096
  const i64 yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;          // 0..399
  const i64 y = wrapping_add(yoe, wrapping_mul(era, 400));
  const i64 doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                        // 0..365
  const i64 mp = (5 * doy + 2) / 153;                                             // 0..11
  const i64 d = doy - (153 * mp + 2) / 5 + 1;                                     // 1..31
  const i64 m = mp < 10 ? mp + 3 : mp - 9;                                        // 1..12
  return CivilDate{m <= 2 ? wrapping_add(y, 1) : y, static_cast<std::uint32_t>(m),
                   static_cast<std::uint32_t>(d)};
}

std::int64_t days_from_civil(CivilDate civil) {
  const i64 m = civil.month;
  const i64 d = civil.day;
  const i64 y = m <= 2 ? wrapping_sub(civil.year, 1) : civil.year;
  const i64 era = floor_div(y, 400);
  const i64 yoe = wrapping_sub(y, wrapping_mul(era, 400));                        // 0..399
  const i64 mp = m >= 3 ? m - 3 : m + 9;
  const i64 doy = (153 * mp + 2) / 5 + d - 1;                                     // 0..365
  const i64 doe = 365 * yoe + yoe / 4 - yoe / 100 + doy;                          // 0..146096
  return wrapping_sub(wrapping_add(wrapping_mul(era, 146097), doe), 719468);
}

tl::expected<Date, DateError> parse_date(std::string_view text) {
  const auto reject = [&] { return tl::make_unexpected(DateError{std::string(text)}); };
  const std::size_t first = text.find('-');
  if (first == std::string_view::npos) return reject();
  const std::size_t second = text.find('-', first + 1);
  if (second == std::string_view::npos) return reject();
  i64 year = 0;
  std::uint32_t month = 0;
  std::uint32_t day = 0;
  if (!read_number(text.substr(0, first), year) ||
      !read_number(text.substr(first + 1, second - first - 1), month) ||
      !read_number(text.substr(second + 1), day)) {
    return reject();
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return reject();
  return Date{days_from_civil(CivilDate{year, month, day})};
}

void append_date(std::string& out, Date date) {
  const CivilDate civil = civil_from_days(date.days);
  // As printf's "%04lld-%02u-%02u": the year zero-padded to four characters,
  // its sign counting among them (-001, 0005, 12345).
  char text[32];
  char* at = text;
  u64 year = bits(civil.year);
  if (civil.year < 0) {
    *at++ = '-';
    year = 0 - year;
  }
  char digits[24];
  const char* digits_end = std::to_chars(digits, digits + sizeof digits, year).ptr;
  const auto length = static_cast<std::size_t>(digits_end - digits);
  for (std::size_t width = static_cast<std::size_t>(at - text) + length; width < 4; ++width) *at++ = '0';
  for (const char* d = digits; d != digits_end; ++d) *at++ = *d;
  const auto two_digits = [&](std::uint32_t value) {
    *at++ = static_cast<char>('0' + value / 10);
    *at++ = static_cast<char>('0' + value % 10);
  };
  *at++ = '-';
  two_digits(civil.month);
  *at++ = '-';
  two_digits(civil.day);
  out.append(text, static_cast<std::size_t>(at - text));
}

std::string format_date(Date date) {
  std::string text;
  append_date(text, date);
  return text;
}

std::string describe_date_error(const DateError& error) {
  return quoted_form(error.input) + " is not a valid YYYY-MM-DD date";
}

Date add_months(Date date, std::int64_t months) {
  const CivilDate civil = civil_from_days(date.days);
  const i64 total = wrapping_add(wrapping_add(wrapping_mul(12, civil.year), civil.month - 1), months);
  const i64 year = floor_div(total, 12);
  const auto month = static_cast<std::uint32_t>(floor_mod(total, 12) + 1);
  const std::uint32_t length = days_in_month(year, month);
  return Date{days_from_civil(CivilDate{year, month, civil.day < length ? civil.day : length})};
}

Date add_units(Date date, std::int64_t amount, TimeUnit unit) {
  switch (unit) {
    case TimeUnit::day: return Date{wrapping_add(date.days, amount)};
    case TimeUnit::week: return Date{wrapping_add(date.days, wrapping_mul(7, amount))};
    case TimeUnit::month: return add_months(date, amount);
    case TimeUnit::year: return add_months(date, wrapping_mul(12, amount));
  }
  internal_error("entered unreachable code: a TimeUnit is one of its four values");
}

Date sub_units(Date date, std::int64_t amount, TimeUnit unit) {
  switch (unit) {
    case TimeUnit::day: return Date{wrapping_sub(date.days, amount)};
    case TimeUnit::week: return Date{wrapping_sub(date.days, wrapping_mul(7, amount))};
    case TimeUnit::month: return add_months(date, wrapping_neg(amount));
    case TimeUnit::year: return add_months(date, wrapping_neg(wrapping_mul(12, amount)));
  }
  internal_error("entered unreachable code: a TimeUnit is one of its four values");
}
