#include "metadata/acquisition_time.h"

#include <charconv>
#include <cstdio>

namespace aster {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The value of a field of exactly the digits given, no sign, no blanks.
std::optional<int> FixedDigits(std::string_view text) {
    int value = 0;
    for (const char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::optional<CalendarDate> ParseSceneDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    const auto year = FixedDigits(text.substr(0, 4));
    const auto month = FixedDigits(text.substr(5, 2));
    const auto day = FixedDigits(text.substr(8, 2));
    if (!year || !month || !day)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{*year},
                                           std::chrono::month{static_cast<unsigned>(*month)},
                                           std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok())
        return std::nullopt;
    return CalendarDate{*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day)};
}

std::optional<TimeOfDay> ParseSceneTime(std::string_view text) {
    if (text.ends_with('Z'))
        text.remove_suffix(1);
    if (text.size() < 8 || text[2] != ':' || text[5] != ':')
        return std::nullopt;
    const auto hour = FixedDigits(text.substr(0, 2));
    const auto minute = FixedDigits(text.substr(3, 2));
    const auto second = FixedDigits(text.substr(6, 2));
    if (!hour || !minute || !second || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    TimeOfDay time{*hour, *minute, *second, 0};
    std::string_view fraction = text.substr(8);
    if (fraction.empty())
        return time;
    if (fraction.front() != '.')
        return std::nullopt;
    fraction.remove_prefix(1);
    if (fraction.empty() || fraction.size() > 9)
        return std::nullopt;
    std::int32_t scale = 100'000'000;
    for (const char c : fraction) {
        if (!IsDigit(c))
            return std::nullopt;
        time.nanosecond += (c - '0') * scale;
        scale /= 10;
    }
    return time;
}

UtcMilliseconds AcquisitionInstant(const CalendarDate& date, const TimeOfDay& time) {
    using namespace std::chrono;
    const sys_days day{
        year_month_day{year{date.year}, month{date.month}, std::chrono::day{date.day}}};
    const nanoseconds sinceMidnight = hours{time.hour} + minutes{time.minute} +
                                      seconds{time.second} + nanoseconds{time.nanosecond};
    // Rounded as a whole, halves up, so that a fraction that rounds up carries into the
    // second, the minute, the hour and the day: 23:59:59.9995 on 31 December is midnight
    // of 1 January.
    return day + floor<milliseconds>(sinceMidnight + microseconds{500});
}

UtcParts BreakDown(UtcMilliseconds instant) {
    using namespace std::chrono;
    const sys_days day = floor<days>(instant);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> time{instant - day};
    return UtcParts{static_cast<int>(date.year()),
                    static_cast<unsigned>(date.month()),
                    static_cast<unsigned>(date.day()),
                    static_cast<int>(time.hours().count()),
                    static_cast<int>(time.minutes().count()),
                    static_cast<int>(time.seconds().count()),
                    static_cast<int>(time.subseconds().count())};
}

std::string FormatRfc3339(UtcMilliseconds instant) {
    const UtcParts parts = BreakDown(instant);
    // Years before 1 or after 9999 have no four-digit form; scene dates are read from four
    // digits, so only instants made some other way could reach them.
    char text[48];
    const int length = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ",
                                     parts.year, parts.month, parts.day, parts.hour, parts.minute,
                                     parts.second, parts.millisecond);
    return std::string(text, static_cast<std::size_t>(length));
}

} // namespace aster
