// Calendar days: parsing, formatting, civil conversions and unit arithmetic,
// including wrapping far outside the calendar.
#include "date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

Date day(std::string_view text) {
  const auto parsed = parse_date(text);
  EXPECT_TRUE(parsed.has_value()) << text;
  return parsed.value_or(Date{});
}

Date civil(std::int64_t year, std::uint32_t month, std::uint32_t day_of_month) {
  return Date{days_from_civil(CivilDate{year, month, day_of_month})};
}

TEST(ParseDate, AcceptsAndGivesTheDayCount) {
  const struct {
    const char* text;
    std::int64_t days;
  } cases[] = {
      {"1970-01-01", 0},
      {"1969-12-31", -1},
      {"2024-02-29", 19782},
      {"2000-02-29", 11016},
      {"0000-03-01", -719468},
      {"0000-01-01", -719528},
      {"0000-02-29", -719469},  // year 0 is a leap year
      {"2024-01-05", 19727},
      {"2024-1-5", 19727},
      {"+2024-01-05", 19727},
      {"2024-+1-05", 19727},
      {"+2024-+01-+05", 19727},
      {"0002024-01-005", 19727},
      {"02024-001-0005", 19727},
      {"2024-00000000001-00000000005", 19727},  // eleven digits, value 1
      {"99999-12-31", 35804721},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_date(c.text);
    ASSERT_TRUE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed->days, c.days) << c.text;
  }
}

TEST(ParseDate, RejectsAndKeepsTheWholeInput) {
  const std::string cases[] = {
      "",
      "2024",
      "2024-01",
      "-2024-01-05",
      " 2024-01-05",
      "2024-01-05 ",
      "2024 -01-05",
      "2024-01-05-01",
      "2024-00-10",
      "2024-13-01",
      "2024-01-00",
      "2024-02-30",
      "2023-02-29",
      "1900-02-29",
      "2100-02-29",
      "2024-04-31",
      "2024-01-0x",
      "2024--05",
      "2024-01-",
      "+-01-05",
      "2024-+-05",
      "++2024-01-05",
      "2024-4294967297-01",           // month beyond 32 bits, wrapping to 1
      "2024-01-4294967297",           // day likewise
      "9223372036854775808-01-01",    // year beyond 64 bits
      "-001-12-31",                   // what format_date writes for the day before year 0
      "２０２４-01-05",                // non-ASCII digits
  };
  for (const std::string& text : cases) {
    const auto parsed = parse_date(text);
    ASSERT_FALSE(parsed.has_value()) << text << " parsed to " << parsed->days;
    EXPECT_EQ(parsed.error().input, text);
  }
}

TEST(ParseDate, AcceptsTheLargestYear) {
  // Far outside the calendar, but readable: the arithmetic wraps.
  EXPECT_TRUE(parse_date("9223372036854775807-12-31").has_value());
}

TEST(DescribeDateError, QuotesTheInput) {
  EXPECT_EQ(describe_date_error(DateError{"2024-13-01"}),
            "\"2024-13-01\" is not a valid YYYY-MM-DD date");
  EXPECT_EQ(describe_date_error(DateError{"a\"b\tc\n"}),
            R"("a\"b\tc\n" is not a valid YYYY-MM-DD date)");
  EXPECT_EQ(describe_date_error(DateError{""}), "\"\" is not a valid YYYY-MM-DD date");
}

TEST(FormatDate, PadsTheYearCountingItsSign) {
  const struct {
    Date date;
    const char* text;
  } cases[] = {
      {Date{0}, "1970-01-01"},
      {Date{-1}, "1969-12-31"},
      {Date{19782}, "2024-02-29"},
      {Date{-719528}, "0000-01-01"},
      {Date{-719529}, "-001-12-31"},
      {civil(5, 3, 7), "0005-03-07"},
      {civil(12345, 6, 1), "12345-06-01"},
      {civil(-1, 1, 1), "-001-01-01"},
      {civil(-12, 1, 1), "-012-01-01"},
      {civil(-123, 1, 1), "-123-01-01"},
      {civil(-12345, 11, 30), "-12345-11-30"},
      {Date{35804721}, "99999-12-31"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_date(c.date), c.text) << c.date.days;
}

TEST(FormatDate, RoundTripsThroughParse) {
  for (const char* text : {"0000-01-01", "0001-12-31", "1582-10-15", "2024-02-29", "99999-12-31"}) {
    EXPECT_EQ(format_date(day(text)), text);
  }
}

// Walks every day of several 400-year cycles on both sides of year 0 and
// checks that consecutive day counts are consecutive calendar days.
TEST(CivilConversion, ConsecutiveDaysAcrossEras) {
  CivilDate previous = civil_from_days(-1000000 - 1);
  for (std::int64_t days = -1000000; days <= 1000000; ++days) {
    const CivilDate current = civil_from_days(days);
    ASSERT_EQ(days_from_civil(current), days);
    const bool next_in_month = current.year == previous.year && current.month == previous.month &&
                               current.day == previous.day + 1;
    const bool first_of_next_month =
        current.day == 1 && previous.day == days_in_month(previous.year, previous.month) &&
        (previous.month == 12 ? current.year == previous.year + 1 && current.month == 1
                              : current.year == previous.year && current.month == previous.month + 1);
    ASSERT_TRUE(next_in_month || first_of_next_month) << days << " " << format_date(Date{days});
    previous = current;
  }
}

TEST(CivilConversion, LeapRuleForEveryYear) {
  const struct {
    std::int64_t year;
    std::uint32_t february;
  } cases[] = {{2024, 29}, {2023, 28}, {2000, 29}, {1900, 28}, {2100, 28}, {0, 29},
               {-4, 29},   {-1, 28},   {-100, 28}, {-400, 29}, {-401, 28}};
  for (const auto& c : cases) EXPECT_EQ(days_in_month(c.year, 2), c.february) << c.year;
  EXPECT_EQ(days_in_month(2023, 4), 30u);
  EXPECT_EQ(days_in_month(2023, 12), 31u);
}

TEST(UnitNames, AreLowerCaseSingular) {
  EXPECT_EQ(unit_name(TimeUnit::day), "day");
  EXPECT_EQ(unit_name(TimeUnit::week), "week");
  EXPECT_EQ(unit_name(TimeUnit::month), "month");
  EXPECT_EQ(unit_name(TimeUnit::year), "year");
}

enum class Op { add, sub };

TEST(UnitArithmetic, CalendarSteps) {
  const struct {
    const char* from;
    Op op;
    std::int64_t amount;
    TimeUnit unit;
    const char* to;
  } cases[] = {
      {"2024-01-31", Op::add, 1, TimeUnit::month, "2024-02-29"},
      {"2023-01-31", Op::add, 1, TimeUnit::month, "2023-02-28"},
      {"2024-05-31", Op::add, 1, TimeUnit::month, "2024-06-30"},
      {"2024-12-15", Op::add, 1, TimeUnit::month, "2025-01-15"},
      {"2024-01-31", Op::add, 2, TimeUnit::month, "2024-03-31"},
      {"2024-03-31", Op::sub, 1, TimeUnit::month, "2024-02-29"},
      {"2024-01-15", Op::sub, 1, TimeUnit::month, "2023-12-15"},
      {"0000-01-15", Op::sub, 1, TimeUnit::month, "-001-12-15"},
      {"2024-01-15", Op::add, -13, TimeUnit::month, "2022-12-15"},
      {"2024-02-29", Op::add, 1, TimeUnit::year, "2025-02-28"},
      {"2024-02-29", Op::sub, 1, TimeUnit::year, "2023-02-28"},
      {"2024-02-29", Op::add, 4, TimeUnit::year, "2028-02-29"},
      {"2024-02-29", Op::add, 12, TimeUnit::month, "2025-02-28"},
      {"2024-03-01", Op::add, 2, TimeUnit::week, "2024-03-15"},
      {"2024-03-01", Op::sub, 1, TimeUnit::week, "2024-02-23"},
      {"2024-03-01", Op::sub, 1, TimeUnit::day, "2024-02-29"},
      {"2023-12-31", Op::add, 1, TimeUnit::day, "2024-01-01"},
      {"2024-03-10", Op::add, -2, TimeUnit::day, "2024-03-08"},
      {"2024-03-10", Op::sub, -2, TimeUnit::day, "2024-03-12"},
      {"2024-03-10", Op::sub, -1, TimeUnit::year, "2025-03-10"},
  };
  for (const auto& c : cases) {
    const Date from = day(c.from);
    const Date result = c.op == Op::add ? add_units(from, c.amount, c.unit)
                                        : sub_units(from, c.amount, c.unit);
    EXPECT_EQ(format_date(result), c.to)
        << c.from << (c.op == Op::add ? " + " : " - ") << c.amount << " " << unit_name(c.unit);
  }
}

TEST(UnitArithmetic, ClampIsNotRemembered) {
  const Date once = add_months(day("2024-01-31"), 1);
  EXPECT_EQ(format_date(once), "2024-02-29");
  EXPECT_EQ(format_date(add_months(once, 1)), "2024-03-29");
  EXPECT_EQ(format_date(add_months(day("2024-01-31"), 2)), "2024-03-31");
}

TEST(UnitArithmetic, NegativeAmountsAndZeroAndWeeks) {
  const TimeUnit units[] = {TimeUnit::day, TimeUnit::week, TimeUnit::month, TimeUnit::year};
  const std::int64_t amounts[] = {0, 1, 2, 5, 13, 400, -1, -31};
  const Date dates[] = {day("2024-02-29"), day("2023-01-31"), day("0000-01-15"), Date{-1}};
  for (const Date date : dates) {
    for (const TimeUnit unit : units) {
      EXPECT_EQ(add_units(date, 0, unit), date);
      EXPECT_EQ(sub_units(date, 0, unit), date);
      for (const std::int64_t amount : amounts) {
        EXPECT_EQ(add_units(date, -amount, unit), sub_units(date, amount, unit))
            << format_date(date) << " " << amount << " " << unit_name(unit);
      }
    }
    EXPECT_EQ(add_units(date, 2, TimeUnit::week).days, date.days + 14);
    EXPECT_EQ(sub_units(date, 2, TimeUnit::week).days, date.days - 14);
    EXPECT_EQ(add_units(date, 3, TimeUnit::year), add_months(date, 36));
  }
}

// Far outside the calendar every operation wraps: no undefined behaviour
// (the sanitizer build checks), and every result is still a well-formed day.
TEST(UnitArithmetic, WrapsFarOutsideTheCalendar) {
  const std::int64_t extremes[] = {kMin, kMin + 1, kMin + 719468, -1, 0, 1, kMax - 719468, kMax - 1,
                                   kMax};
  const TimeUnit units[] = {TimeUnit::day, TimeUnit::week, TimeUnit::month, TimeUnit::year};
  const std::regex well_formed(R"(-?\d{4,}-(0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01]))");
  for (const std::int64_t days : extremes) {
    for (const std::int64_t amount : extremes) {
      for (const TimeUnit unit : units) {
        for (const Date result : {add_units(Date{days}, amount, unit), sub_units(Date{days}, amount, unit)}) {
          const CivilDate c = civil_from_days(result.days);
          ASSERT_GE(c.month, 1u);
          ASSERT_LE(c.month, 12u);
          ASSERT_GE(c.day, 1u);
          ASSERT_LE(c.day, days_in_month(c.year, c.month));
          ASSERT_TRUE(std::regex_match(format_date(result), well_formed)) << format_date(result);
        }
      }
    }
  }
  EXPECT_EQ(add_units(Date{kMax}, 1, TimeUnit::day).days, kMin);
  EXPECT_EQ(sub_units(Date{kMin}, 1, TimeUnit::day).days, kMax);
  EXPECT_EQ(sub_units(Date{0}, kMin, TimeUnit::day).days, kMin);
}

// Near either end of the 64-bit range, the day counts whose shifted value
// sits just above the minimum must still convert to valid civil dates that
// convert back.
TEST(CivilConversion, RoundTripsAtTheEndsOfTheRange) {
  std::vector<std::int64_t> samples;
  for (std::int64_t k = 0; k < 300000; ++k) {
    samples.push_back(kMax - 719468 - 1000 + k);  // shifted values wrap across the minimum
    samples.push_back(kMin + k);
    samples.push_back(kMax - k);
  }
  for (const std::int64_t days : samples) {
    const CivilDate c = civil_from_days(days);
    ASSERT_TRUE(c.month >= 1 && c.month <= 12 && c.day >= 1 &&
                c.day <= days_in_month(c.year, c.month))
        << days;
    ASSERT_EQ(days_from_civil(c), days);
  }
  // The largest year parse_date reads converts without tripping anything.
  const CivilDate top{kMax, 12, 31};
  EXPECT_EQ(civil_from_days(days_from_civil(top)), civil_from_days(day("9223372036854775807-12-31").days));
}

}  // namespace
