#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace aster {

// A date that exists in the calendar, written "YYYY-MM-DD" or in ISO 8601's basic form
// "YYYYMMDD".
struct CalendarDate {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    bool operator==(const CalendarDate&) const = default;
};

// A time of day written "hh:mm:ss" with an optional fraction ".f" of a second, or in ISO
// 8601's basic form "hhmmss" with the fraction's digits straight after the seconds or
// after a '.': up to nine digits of fraction, and a final 'Z' either way, or an offset
// from UTC ("+05:30", "-0500", "+05"); "hh:mm" is the minute's start. Scene times without
// an offset are in UTC. Second 60 is a leap second, read only at 23:59 in UTC.
struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    int second = 0;              // 60 only for 23:59's leap second
    std::int32_t nanosecond = 0; // the fraction, truncated below the nanosecond
    int offsetMinutes = 0;       // ahead of UTC, from an offset such as "+05:30"
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

// A date-time "2003-04-12T18:32:07.414Z" as the date and the time of day on either side
// of the 'T' (or 't', or the blank RFC 3339 allows in its place); without one, all of it
// is the date.
std::pair<std::string_view, std::string_view> SplitDateTime(std::string_view text);

std::optional<CalendarDate> ParseSceneDate(std::string_view text);
std::optional<TimeOfDay> ParseSceneTime(std::string_view text);

// The date and the time of day together, truncated to the millisecond: the instant never
// leaves the day written, so 2003-12-31 23:59:59.9999 is 2003-12-31 23:59:59.999. A leap
// second, which UTC milliseconds cannot hold, is its day's last millisecond: no output
// ever shows second 60. A time with an offset from UTC is moved by it, and may then fall
// on the day before or after; none where that leaves the years 1 to 9999.
std::optional<UtcMilliseconds> AcquisitionInstant(const CalendarDate& date, const TimeOfDay& time);
// The UTC day of an instant.
CalendarDate UtcDateOf(UtcMilliseconds instant);

UtcParts BreakDown(UtcMilliseconds instant);

// RFC 3339 in UTC with milliseconds and 'Z': "2003-04-12T18:32:07.414Z".
std::string FormatRfc3339(UtcMilliseconds instant);
// The same text into `text`, for writers of many items, which need no string of it;
// gives its length.
using Rfc3339Chars = std::array<char, 48>;
std::size_t WriteRfc3339(UtcMilliseconds instant, Rfc3339Chars& text);

} // namespace aster
