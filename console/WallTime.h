// Wall times: calendar times in the local zone and in UTC, and the local time as the operator
// reads it, to the millisecond.
#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace pellorin {

enum class TimeZone { Local, Utc };

// The calendar time of `seconds` in the local time zone or in UTC.
[[nodiscard]] std::tm CalendarTime(std::time_t seconds, TimeZone zone);

// "2026-12-07 10:40:12.345", local time.
[[nodiscard]] std::string LocalTimeText(std::chrono::system_clock::time_point when);

// "2026-12-07T10:40:12.345Z": ISO 8601 in UTC, for programs that read it.
[[nodiscard]] std::string IsoUtcText(std::chrono::system_clock::time_point when);

}  // namespace pellorin
