// DATE and DATETIME text rules, and the values that stand for today and now.
#pragma once

#include <string_view>

#include "types/value.h"

namespace zembrel::types {

// Unicode White_Space.
bool is_unicode_space(char32_t c);

// The date rule ("%Y-%m-%d", the whole text): year as optional white space
// then a signed run of digits or one to four unsigned digits (|year| at most
// 262143), "-", month 1-12 in one or two digits, "-", day within the month of
// the proleptic Gregorian calendar; white space may precede month and day;
// nothing may follow.
bool parse_date(std::string_view text);

// The date-time rule: "yyyy-MM-dd HH:mm:ss:ms" with exactly three ':'; Type
// errors name the column:
//   "column '{}': invalid datetime '{}', expected yyyy-MM-dd HH:mm:ss:ms"
//   "column '{}': invalid milliseconds '{}'"
//   "column '{}': milliseconds must be 0-999, got {}"
Status parse_datetime(std::string_view text, std::string_view column);

// Current local date "%Y-%m-%d" as a Date value (TZ, else the system zone).
Value today_value();
// Current local date and time "%Y-%m-%d %H:%M:%S:mmm" as a DateTime value.
Value now_value();

}  // namespace zembrel::types
