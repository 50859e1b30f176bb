#pragma once

#include "fileio/ascii.h"
#include "metadata/scene_metadata.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
    // Names of the newer layouts and of the items added with them
    RangeEndingDate,
    RangeEndingTime,
    AssociatedPlatformShortName,
    AssociatedInstrumentShortName,
    PlatformShortName,
    InstrumentShortName,
    Granule,
    GranuleUr,
    Collection,
    Temporal,
    RangeDateTime,
    BeginningDateTime,
    EndingDateTime,
    SingleDateTime,
    Spatial,
    HorizontalSpatialDomain,
    Geometry,
    BoundingRectangle,
    WestBoundingCoordinate,
    EastBoundingCoordinate,
    NorthBoundingCoordinate,
    SouthBoundingCoordinate,
    SceneCloudCoverage, // ASTER's product metadata, and its .met files
    SolarDirection,
    SceneFourCorners,
    UpperLeft,
    UpperRight,
    LowerRight,
    LowerLeft,
    Platforms,
    Platform,
    Instruments,
    Instrument,
    CloudCover,
    DataGranule,
    ProducerGranuleId, // ECHO 10's name for ECS's LocalGranuleID
    AdditionalAttribute,
    Name,
    Values,
    GPolygonContainer,
    ExclusionGRingFlag,
};
// How many items are taken as texts: the names from LocalGranuleId on, in their order.
inline constexpr std::size_t kTextItems = 9;
EcsName EcsNameOf(std::string_view name);

// The instant of a date and a time, when both are there and read.
std::optional<UtcMilliseconds> InstantOf(const std::optional<std::string>& date,
                                         const std::optional<std::string>& time);
bool IsTextItem(EcsName name);


namespace no_case_detail {

// A text of `size` bytes is compared in chunks of eight (the last one ending at the
// text's end, overlapping the one before), or as one chunk when it is shorter.
constexpr std::size_t Chunks(std::size_t size) {
    return size <= 8 ? 1 : (size + 7) / 8;
}
// `count` bytes as a number, the first byte lowest, whatever the machine's byte order.
template <typename Byte> constexpr std::uint64_t Load(const Byte* bytes, std::size_t count) {
    if (!std::is_constant_evaluated() && count == 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes, 8);
        return std::endian::native == std::endian::little ? word : __builtin_bswap64(word);
    }
    if (!std::is_constant_evaluated() && count == 4) {
        std::uint32_t word;
        std::memcpy(&word, bytes, 4);
        return std::endian::native == std::endian::little ? word : __builtin_bswap32(word);
    }
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < count; ++i)
        word |= std::uint64_t{static_cast<std::uint8_t>(bytes[i])} << (8 * i);
    return word;
}
template <typename Byte>
constexpr std::uint64_t Compose(const Byte* bytes, std::size_t size, std::size_t chunk) {
    if (size >= 8) {
        const std::size_t at = chunk + 1 < Chunks(size) ? chunk * 8 : size - 8;
        return Load(bytes + at, 8);
    }
    if (size >= 4) // two four-byte loads, overlapping in the middle
        return Load(bytes, 4) | Load(bytes + size - 4, 4) << 32;
    return Load(bytes, size);
}

} // namespace no_case_detail

// A name of ASCII letters, digits and '_', compared with texts in any case a few bytes at
// a time, since the readers compare every name in a file with several: each letter byte of
// a text is compared with its bit 0x20 set, which makes 'A' and 'a' alike and nothing
// else, and every other byte as it is.
class NoCaseName {
  public:
    static constexpr std::size_t kMaxSize = 32;

    constexpr NoCaseName() = default;
    constexpr explicit NoCaseName(std::string_view name) : m_size(name.size()) {
        std::array<std::uint8_t, kMaxSize> lower{}, letters{};
        for (std::size_t i = 0; i < name.size() && i < kMaxSize; ++i) {
            const char c = name[i];
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            lower[i] = static_cast<std::uint8_t>(letter ? (c | 0x20) : c);
            letters[i] = letter ? 0x20 : 0;
        }
        for (std::size_t chunk = 0; chunk < no_case_detail::Chunks(m_size); ++chunk) {
            m_value[chunk] = no_case_detail::Compose(lower.data(), m_size, chunk);
            m_letters[chunk] = no_case_detail::Compose(letters.data(), m_size, chunk);
        }
    }

    constexpr std::size_t size() const { return m_size; }
    // The name's bytes `chunk` as matches() compares them, its letters in lower case.
    constexpr std::uint64_t chunk(std::size_t index) const { return m_value[index]; }

    bool matches(std::string_view text) const {
        if (text.size() != m_size)
            return false;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        return matches(text, no_case_detail::Compose(bytes, m_size, 0),
                       no_case_detail::Compose(bytes, m_size, no_case_detail::Chunks(m_size) - 1));
    }
    // The same, for a text whose first and last chunks a caller has composed already.
    bool matches(std::string_view text, std::uint64_t first, std::uint64_t last) const {
        const std::size_t chunks = no_case_detail::Chunks(m_size);
        if (text.size() != m_size || (first | m_letters[0]) != m_value[0] ||
            (last | m_letters[chunks - 1]) != m_value[chunks - 1])
            return false;
        return chunks <= 2 || middleMatches(reinterpret_cast<const std::uint8_t*>(text.data()));
    }

  private:
    // The chunks between the first and the last, of a name longer than 16 bytes.
    bool middleMatches(const std::uint8_t* bytes) const {
        for (std::size_t chunk = 1; chunk + 1 < no_case_detail::Chunks(m_size); ++chunk) {
            if ((no_case_detail::Load(bytes + chunk * 8, 8) | m_letters[chunk]) != m_value[chunk])
                return false;
        }
        return true;
    }

    std::size_t m_size = 0;
    std::array<std::uint64_t, kMaxSize / 8> m_value{};
    std::array<std::uint64_t, kMaxSize / 8> m_letters{};
};

// A block's class and value: EcsNameOf finds them, and the ODL granule's handler, which
// meets them in most statements, compares them directly.
inline constexpr NoCaseName kClassName("CLASS");
inline constexpr NoCaseName kValueName("VALUE");

std::string_view TrimBlanks(std::string_view text);

// Why a text gives no number.
enum class NumberFault : std::uint8_t {
    None,
    NotANumber, // not of a number's syntax
    OutOfRange, // a number a double cannot hold: too large, or so small it would be zero
};
struct NumberOrFault {
    double value = 0; // when fault is None
    NumberFault fault = NumberFault::None;
};

// A decimal number, blanks around it ignored: optional sign, digits, an optional fraction
// and exponent, read the same in every locale. No "nan", "inf" or hexadecimal.
NumberOrFault ReadNumber(std::string_view text);
// ReadNumber's value, when there is one.
std::optional<double> ParseNumber(std::string_view text);

// The words a reason ends with when a value gives no number, " is not a number" or " is
// out of range"; nothing for NumberFault::None.
std::string_view NumberFaultWords(NumberFault fault);
// "corner N is not a number" or "corner N is out of range", N counting from 1.
std::string CornerReason(std::size_t corner, NumberFault fault);

// Whether an additional attribute of this name is one the readers take.
bool IsTakenAttribute(std::string_view name);

// What a reader gathered from one granule, in either layout.
struct GranuleItems {
    std::vector<GeoPoint> corners;
    std::vector<std::vector<GeoPoint>> moreRings;             // the footprint's further polygons
    std::array<std::optional<std::string>, kTextItems> texts; // by EcsName, from LocalGranuleId
    std::uint32_t textsAtHome = 0; // a bit for each text taken in its own group, as texts
    std::optional<std::string> sceneCloud, qaCloudAttribute, sunAzimuth, sunElevation;
    std::optional<std::string> endDate, endTime; // the range's end
    std::vector<std::string> platforms, instruments;

    // The first text of an item is kept; later ones are ignored, and a blank one is as
    // none. A time's part is kept from its own group (`parent`: SingleDateTime,
    // RangeDateTime) before any from another, such as a processing history's date.
    void setText(EcsName name, std::string_view text, EcsName parent = EcsName::Other);
    bool hasText(EcsName name) const;
    // Whether setText would keep a text of this item from this group.
    bool takesText(EcsName name, EcsName parent) const;
    // One additional attribute, its name and its value as texts.
    void noteAttribute(std::string_view name, std::string_view value);
    // The item an additional attribute of this name gives, or none: a reader that meets
    // the name first need not keep the values of the others.
    std::optional<std::string>* attributeItem(std::string_view name);
};

// A percentage of cloud, or nothing when the text is none or no number from 0 to 100.
std::optional<double> Percent(const std::optional<std::string>& text);

// The metadata of what was gathered, or the reason for none ("no corners", ...).
MetadataOrReason CompleteMetadata(GranuleItems& items, MetadataLayout layout);
// The cloud cover (where `metadata` has none) and the sun's angles that the additional
// attributes noted in `items` give, for a reader that gathers the rest itself.
void TakeAttributeValues(const GranuleItems& items, SceneMetadata& metadata);

} // namespace aster
