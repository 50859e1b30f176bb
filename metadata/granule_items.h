#pragma once

#include "metadata/scene_metadata.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// Bounds that keep a reader's time and memory in proportion to what real granules hold,
// whatever a file holds: ECS nests some ten levels deep, its texts are short, and a
// footprint has a few dozen corners at most.
inline constexpr std::size_t kMaxNesting = 64;
inline constexpr std::size_t kMaxTextBytes = 64 * 1024;
inline constexpr std::size_t kMaxListValues = 65536;

// The names of ECS elements and ODL objects the readers act on, matched in any case.
enum class EcsName : std::uint8_t {
    Other,
    GranuleMetaDataFile,
    GPolygon,
    Boundary,
    Point,
    PointLongitude,
    PointLatitude,
    Psa,
    PsaName,
    PsaValue,
    GRingPointLatitude,
    GRingPointLongitude,
    AdditionalAttributes,
    AdditionalAttributeName,
    ParameterValue,
    Class,
    Value,
    // The items taken as texts, each from its first occurrence.
    LocalGranuleId,
    ShortName,
    VersionId,
    DayNightFlag,
    TimeOfDay,
    CalendarDate,
    RangeBeginningDate,
    RangeBeginningTime,
    QaPercentCloudCover,
};
EcsName EcsNameOf(std::string_view name);
bool IsTextItem(EcsName name);

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string_view TrimBlanks(std::string_view text);

// A decimal number, blanks around it ignored: optional sign, digits, an optional fraction
// and exponent, read the same in every locale. No "nan", "inf" or hexadecimal; a number
// too large for a double is none either.
std::optional<double> ParseNumber(std::string_view text);

// Whether an additional attribute of this name is one the readers take.
bool IsTakenAttribute(std::string_view name);

// What a reader gathered from one granule, in either layout.
struct GranuleItems {
    std::vector<GeoPoint> corners;
    std::array<std::optional<std::string>, 9> texts; // by EcsName, from LocalGranuleId on
    std::optional<std::string> sceneCloud, qaCloudAttribute, sunAzimuth, sunElevation;

    // The first text of an item is kept; later ones are ignored.
    void setText(EcsName name, std::string_view text);
    bool hasText(EcsName name) const;
    // One additional attribute, its name and its value as texts.
    void noteAttribute(std::string_view name, std::string_view value);
};

// The metadata of what was gathered, or the reason for none ("no corners", ...).
MetadataOrReason CompleteMetadata(GranuleItems& items, MetadataLayout layout);

} // namespace aster
