#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// A date written "YYYY-MM-DD" that exists in the calendar.
struct CalendarDate {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    bool operator==(const CalendarDate&) const = default;
};

// A time of day written "hh:mm:ss", optionally with a fraction of a second of up to nine
// digits and a final 'Z'. Scene times are in UTC either way.
struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;
    std::int32_t nanosecond = 0; // the fraction, truncated below the nanosecond
    bool operator==(const TimeOfDay&) const = default;
};

// The moment of an acquisition in UTC, to the millisecond: what every output writes.
using UtcMilliseconds = std::chrono::sys_time<std::chrono::milliseconds>;

// The same moment broken down for writers that take fields (GDAL's date-time fields).
// `second` never reaches 60.
struct UtcParts {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

std::optional<CalendarDate> ParseSceneDate(std::string_view text);
std::optional<TimeOfDay> ParseSceneTime(std::string_view text);

// The date and the time of day together, rounded to the nearest millisecond, halves up.
// A fraction that rounds up carries into the seconds, minutes, hours and the date, so that
// 2003-12-31 23:59:59.9999 is 2004-01-01 00:00:00.000: no output ever shows second 60.
UtcMilliseconds AcquisitionInstant(const CalendarDate& date, const TimeOfDay& time);

UtcParts BreakDown(UtcMilliseconds instant);

// RFC 3339 in UTC with milliseconds and 'Z': "2003-04-12T18:32:07.414Z".
std::string FormatRfc3339(UtcMilliseconds instant);

} // namespace aster
