#include "metadata/acquisition_time.h"

#include <algorithm>
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

// The nanoseconds of a fraction's digits: one to nine of them.
std::optional<std::int32_t> FractionDigits(std::string_view digits) {
    if (digits.empty() || digits.size() > 9)
        return std::nullopt;
    std::int32_t nanoseconds = 0;
    std::int32_t scale = 100'000'000;
    for (const char c : digits) {
        if (!IsDigit(c))
            return std::nullopt;
        nanoseconds += (c - '0') * scale;
        scale /= 10;
    }
    return nanoseconds;
}

// Strips an offset from UTC off the end of a time, RFC 3339's "+05:30" or "-00:00" or
// ISO 8601's basic "+0530" and hours alone "+05", and gives it in minutes ahead of UTC:
// 0 without one, none when it is malformed.
std::optional<int> TakeOffset(std::string_view& text) {
    const std::size_t sign = text.find_first_of("+-");
    if (sign == std::string_view::npos)
        return 0;
    const std::string_view offset = text.substr(sign + 1);
    const bool extended = offset.size() == 5 && offset[2] == ':';
    if (!extended && offset.size() != 4 && offset.size() != 2)
        return std::nullopt;
    const auto hours = FixedDigits(offset.substr(0, 2));
    const auto minutes =
        offset.size() == 2 ? std::optional(0) : FixedDigits(offset.substr(extended ? 3 : 2, 2));
    if (!hours || !minutes || *hours > 23 || *minutes > 59)
        return std::nullopt;
    const int ahead = *hours * 60 + *minutes;
    const bool behind = text[sign] == '-';
    text = text.substr(0, sign);
    return behind ? -ahead : ahead;
}

} // namespace

std::pair<std::string_view, std::string_view> SplitDateTime(std::string_view text) {
    std::size_t t = text.find_first_of("Tt");
    if (t == text.npos)
        t = text.find(' ');
    if (t == text.npos)
        return {text, {}};
    return {text.substr(0, t), text.substr(t + 1)};
}

std::optional<CalendarDate> ParseSceneDate(std::string_view text) {
    // Where the month and the day start: after a '-' each, or straight after the digits.
    std::size_t monthAt = 0, dayAt = 0;
    if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
        monthAt = 5;
        dayAt = 8;
    } else if (text.size() == 8) {
        monthAt = 4;
        dayAt = 6;
    } else {
        return std::nullopt;
    }
    const auto year = FixedDigits(text.substr(0, 4));
    const auto month = FixedDigits(text.substr(monthAt, 2));
    const auto day = FixedDigits(text.substr(dayAt, 2));
    // Year 0 is written with four digits, but RFC 3339's readers take years from 1.
    if (!year || !month || !day || *year == 0)
        return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year{*year},
                                           std::chrono::month{static_cast<unsigned>(*month)},
                                           std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok())
        return std::nullopt;
    return CalendarDate{*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day)};
}

std::optional<TimeOfDay> ParseSceneTime(std::string_view text) {
    // UTC's 'Z', in either case as RFC 3339 allows, or an offset from it.
    int offsetMinutes = 0;
    if (text.ends_with('Z') || text.ends_with('z')) {
        text.remove_suffix(1);
    } else {
        const std::optional<int> offset = TakeOffset(text);
        if (!offset)
            return std::nullopt;
        offsetMinutes = *offset;
    }
    // Minutes alone, as people write a time by hand: the minute's start.
    if (text.size() == 5 && text[2] == ':') {
        const auto hour = FixedDigits(text.substr(0, 2));
        const auto minute = FixedDigits(text.substr(3, 2));
        if (!hour || !minute || *hour > 23 || *minute > 59)
            return std::nullopt;
        return TimeOfDay{*hour, *minute, 0, 0, offsetMinutes};
    }
    // The extended form separates its fields with ':' and its fraction with '.'; the basic
    // form has neither, though a '.' may still stand before the fraction.
    const bool extended = text.size() >= 8 && text[2] == ':' && text[5] == ':';
    const std::size_t step = extended ? 3 : 2;
    if (text.size() < 3 * step - (extended ? 1 : 0))
        return std::nullopt;
    const auto hour = FixedDigits(text.substr(0, 2));
    const auto minute = FixedDigits(text.substr(step, 2));
    const auto second = FixedDigits(text.substr(2 * step, 2));
    if (!hour || !minute || !second || *hour > 23 || *minute > 59)
        return std::nullopt;
    // A leap second is 23:59:60 in UTC, whatever offset it is written with.
    const int utcMinute = ((*hour * 60 + *minute - offsetMinutes) % 1440 + 1440) % 1440;
    const bool leapSecond = *second == 60 && utcMinute == 23 * 60 + 59;
    if (*second > 59 && !leapSecond)
        return std::nullopt;
    TimeOfDay time{*hour, *minute, *second, 0, offsetMinutes};
    std::string_view fraction = text.substr(2 * step + 2);
    if (fraction.empty())
        return time;
    if (fraction.front() == '.')
        fraction.remove_prefix(1);
    else if (extended)
        return std::nullopt;
    const std::optional<std::int32_t> nanoseconds = FractionDigits(fraction);
    if (!nanoseconds)
        return std::nullopt;
    time.nanosecond = *nanoseconds;
    return time;
}

std::optional<UtcMilliseconds> AcquisitionInstant(const CalendarDate& date, const TimeOfDay& time) {
    using namespace std::chrono;
    const sys_days day{
        year_month_day{year{date.year}, month{date.month}, std::chrono::day{date.day}}};
    const minutes offset{time.offsetMinutes};
    const minutes minute = hours{time.hour} + minutes{time.minute};
    // A leap second is its minute's last millisecond: the next one is the next minute's
    // first. Truncated, never rounded: rounding up could carry into the next day, and a
    // scene is of the day its file says.
    const milliseconds sinceMinute =
        time.second >= 60
            ? seconds{59} + milliseconds{999}
            : floor<milliseconds>(seconds{time.second} + nanoseconds{time.nanosecond});
    const UtcMilliseconds instant = day + minute + sinceMinute - offset;
    // An offset may carry the instant out of the years 1 to 9999, which dates are read in.
    const int utcYear = static_cast<int>(year_month_day{floor<days>(instant)}.year());
    if (utcYear < 1 || utcYear > 9999)
        return std::nullopt;
    return instant;
}

CalendarDate UtcDateOf(UtcMilliseconds instant) {
    const std::chrono::year_month_day date{std::chrono::floor<std::chrono::days>(instant)};
    return CalendarDate{static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                        static_cast<unsigned>(date.day())};
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

std::size_t WriteRfc3339(UtcMilliseconds instant, Rfc3339Chars& text) {
    const UtcParts parts = BreakDown(instant);
    // Years before 1 or after 9999 have no four-digit form; scene dates are read from four
    // digits, so only instants made some other way could reach them.
    if (parts.year < 0 || parts.year > 9999) {
        const int length = std::snprintf(
            text.data(), text.size(), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", parts.year,
            parts.month, parts.day, parts.hour, parts.minute, parts.second, parts.millisecond);
        return static_cast<std::size_t>(length);
    }
    // Written digit by digit: every item and feature has one or two, and snprintf's
    // parsing of its format took a tenth of an item's rendering.
    constexpr std::string_view kPattern = "0000-00-00T00:00:00.000Z";
    std::copy(kPattern.begin(), kPattern.end(), text.begin());
    const auto put = [&text](std::size_t at, std::size_t digits, unsigned value) {
        for (std::size_t i = digits; i-- > 0; value /= 10)
            text[at + i] = static_cast<char>('0' + value % 10);
    };
    put(0, 4, static_cast<unsigned>(parts.year));
    put(5, 2, parts.month);
    put(8, 2, parts.day);
    put(11, 2, static_cast<unsigned>(parts.hour));
    put(14, 2, static_cast<unsigned>(parts.minute));
    put(17, 2, static_cast<unsigned>(parts.second));
    put(20, 3, static_cast<unsigned>(parts.millisecond));
    return kPattern.size();
}

std::string FormatRfc3339(UtcMilliseconds instant) {
    Rfc3339Chars text;
    return std::string(text.data(), WriteRfc3339(instant, text));
}

} // namespace aster
