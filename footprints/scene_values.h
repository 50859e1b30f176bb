#pragma once

#include "catalogue/scene_record.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// The texts of a SceneRecord read as typed values, for the footprint layer only: the
// text outputs keep copying the bytes unchanged.

// A decimal number: blanks and line breaks around it are ignored, the rest must be an
// optional sign, digits, an optional fraction ('.' and digits) and an optional exponent
// ('e' or 'E', optional sign, digits). No "nan", "inf" or hexadecimal. A value too large
// (or too small) in magnitude for a double gives +-infinity (or zero).
std::optional<double> ParseDecimal(std::string_view text);

// The four corners of a scene in file order, in degrees.
struct Corners {
    std::array<double, 4> lat{};
    std::array<double, 4> lon{};
};

// The corners of the record, or why the record gives no footprint: "no corner values"
// when all eight are blank, else the first failing value in the order lat1..lat4,
// lon1..lon4, as "lat2 is missing", "lon3 is not a number" or "lat1 out of range"
// (infinite, or beyond +-90 for latitudes and +-180 for longitudes).
struct CornersOrReason {
    std::optional<Corners> corners;
    std::string reason;
};
CornersOrReason ReadCorners(const SceneRecord& record);

struct CalendarDate {
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
};

// A date written "YYYY-MM-DD" that exists in the calendar; nothing else.
std::optional<CalendarDate> ParseSceneDate(std::string_view text);

struct TimeOfDay {
    int hour = 0;
    int minute = 0;
    double second = 0; // with the fraction
};

// A time written "hh:mm:ss", optionally with a fraction of a second and a final 'Z'
// (scene times are in UTC either way), such as "18:32:07.414000Z".
std::optional<TimeOfDay> ParseSceneTime(std::string_view text);

// The bytes themselves when they are valid UTF-8; otherwise every byte read as a
// Latin-1 character and encoded in UTF-8.
std::string Utf8FromBytes(std::string_view bytes);

// The part of a path after its last '/'.
std::string_view FileNameOf(std::string_view path);

} // namespace aster
