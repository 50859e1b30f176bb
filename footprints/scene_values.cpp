#include "footprints/scene_values.h"

#include <cpl_string.h>

#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <system_error>

namespace aster {

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view TrimBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == text.npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Moves past a run of digits; false when there is none.
bool SkipDigits(std::string_view text, std::size_t& pos) {
    const std::size_t start = pos;
    while (pos < text.size() && IsDigit(text[pos]))
        ++pos;
    return pos > start;
}

// Whether the whole text is: sign? digits ('.' digits)? ([eE] sign? digits)?
bool IsDecimalSyntax(std::string_view text) {
    std::size_t pos = 0;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
        ++pos;
    if (!SkipDigits(text, pos))
        return false;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        if (!SkipDigits(text, pos))
            return false;
    }
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
            ++pos;
        if (!SkipDigits(text, pos))
            return false;
    }
    return pos == text.size();
}

// The power of ten of the first non-zero digit of a number in the syntax above, without
// its sign ("123.4" gives 2, "0.05e-3" gives -5); used only when the number is too large
// or too small for a double, so it is never zero. Saturates instead of overflowing.
long long OrderOfMagnitude(std::string_view number) {
    const std::size_t e = number.find_first_of("eE");
    const std::string_view mantissa = number.substr(0, e);
    long long exponent = 0;
    if (e != number.npos) {
        std::string_view written = number.substr(e + 1);
        if (written.front() == '+')
            written.remove_prefix(1);
        if (std::from_chars(written.data(), written.data() + written.size(), exponent).ec !=
            std::errc{})
            return written.front() == '-' ? LLONG_MIN / 2 : LLONG_MAX / 2;
    }
    const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
    const std::size_t first = mantissa.find_first_not_of("0.");
    if (first == mantissa.npos)
        return exponent;
    const long long order = first < point ? static_cast<long long>(point - first) - 1
                                          : -static_cast<long long>(first - point);
    return order + exponent;
}

// Checked int of a run of decimal digits of the expected length.
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

std::optional<double> ParseDecimal(std::string_view text) {
    std::string_view number = TrimBlanks(text);
    if (!IsDecimalSyntax(number))
        return std::nullopt;
    // from_chars reads the same syntax except for a leading '+', and does not depend on
    // the locale the window may have set.
    const bool plus = number.front() == '+';
    const std::string_view digits = plus ? number.substr(1) : number;
    double value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value,
                                           std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        const bool negative = digits.front() == '-';
        const double magnitude = OrderOfMagnitude(negative ? digits.substr(1) : digits) > 0
                                     ? std::numeric_limits<double>::infinity()
                                     : 0.0;
        return negative ? -magnitude : magnitude;
    }
    if (ec != std::errc{} || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

CornersOrReason ReadCorners(const SceneRecord& record) {
    struct Value {
        const char* name;
        std::string_view text;
        double limit;
    };
    const std::array<Value, 8> values{{{"lat1", record.Lat1, 90},
                                       {"lat2", record.Lat2, 90},
                                       {"lat3", record.Lat3, 90},
                                       {"lat4", record.Lat4, 90},
                                       {"lon1", record.Lon1, 180},
                                       {"lon2", record.Lon2, 180},
                                       {"lon3", record.Lon3, 180},
                                       {"lon4", record.Lon4, 180}}};
    bool allBlank = true;
    for (const Value& value : values)
        allBlank = allBlank && TrimBlanks(value.text).empty();
    if (allBlank)
        return {std::nullopt, "no corner values"};

    Corners corners;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const Value& value = values[i];
        const std::string name = value.name;
        if (TrimBlanks(value.text).empty())
            return {std::nullopt, name + " is missing"};
        const std::optional<double> number = ParseDecimal(value.text);
        if (!number)
            return {std::nullopt, name + " is not a number"};
        if (!std::isfinite(*number) || std::fabs(*number) > value.limit)
            return {std::nullopt, name + " out of range"};
        (i < 4 ? corners.lat[i] : corners.lon[i - 4]) = *number;
    }
    return {corners, {}};
}

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
    const auto wholeSecond = FixedDigits(text.substr(6, 2));
    if (!hour || !minute || !wholeSecond || *hour > 23 || *minute > 59 || *wholeSecond > 59)
        return std::nullopt;
    double second = *wholeSecond;
    const std::string_view fraction = text.substr(8);
    if (!fraction.empty()) {
        if (fraction.size() < 2 || fraction[0] != '.' ||
            fraction.find_first_not_of("0123456789", 1) != fraction.npos)
            return std::nullopt;
        double part = 0;
        std::from_chars(fraction.data(), fraction.data() + fraction.size(), part);
        second += part;
    }
    return TimeOfDay{*hour, *minute, second};
}

std::string Utf8FromBytes(std::string_view bytes) {
    if (bytes.size() <= static_cast<std::size_t>(INT_MAX) &&
        CPLIsUTF8(bytes.data(), static_cast<int>(bytes.size())))
        return std::string(bytes);
    // GDAL's recoder stops at a NUL byte; a path holding one names no file, but the
    // decoding still covers every byte.
    std::string text;
    text.reserve(bytes.size() * 2);
    std::size_t start = 0;
    while (start <= bytes.size()) {
        const std::size_t nul = std::min(bytes.find('\0', start), bytes.size());
        CPLString part(std::string(bytes.substr(start, nul - start)));
        text += part.Recode(CPL_ENC_ISO8859_1, CPL_ENC_UTF8);
        if (nul == bytes.size())
            break;
        text += '\0';
        start = nul + 1;
    }
    return text;
}

std::string_view FileNameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == path.npos ? path : path.substr(slash + 1);
}

} // namespace aster
