#include "metadata/granule_items.h"

#include "fileio/ascii.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace aster {

namespace {

struct NamedEcs {
    NoCaseName text;
    EcsName name;
};
constexpr std::array<NamedEcs, 68> kEcsNames{{
    {NoCaseName("GranuleMetaDataFile"), EcsName::GranuleMetaDataFile},
    {NoCaseName("GPolygon"), EcsName::GPolygon},
    {NoCaseName("Boundary"), EcsName::Boundary},
    {NoCaseName("Point"), EcsName::Point},
    {NoCaseName("PointLongitude"), EcsName::PointLongitude},
    {NoCaseName("PointLatitude"), EcsName::PointLatitude},
    {NoCaseName("PSA"), EcsName::Psa},
    {NoCaseName("PSAName"), EcsName::PsaName},
    {NoCaseName("PSAValue"), EcsName::PsaValue},
    {NoCaseName("GRingPointLatitude"), EcsName::GRingPointLatitude},
    {NoCaseName("GRingPointLongitude"), EcsName::GRingPointLongitude},
    {NoCaseName("AdditionalAttributes"), EcsName::AdditionalAttributes},
    {NoCaseName("AdditionalAttributeName"), EcsName::AdditionalAttributeName},
    {NoCaseName("ParameterValue"), EcsName::ParameterValue},
    {kClassName, EcsName::Class},
    {kValueName, EcsName::Value},
    {NoCaseName("LocalGranuleID"), EcsName::LocalGranuleId},
    {NoCaseName("ShortName"), EcsName::ShortName},
    {NoCaseName("VersionID"), EcsName::VersionId},
    {NoCaseName("DayNightFlag"), EcsName::DayNightFlag},
    {NoCaseName("TimeofDay"), EcsName::TimeOfDay},
    {NoCaseName("CalendarDate"), EcsName::CalendarDate},
    {NoCaseName("RangeBeginningDate"), EcsName::RangeBeginningDate},
    {NoCaseName("RangeBeginningTime"), EcsName::RangeBeginningTime},
    {NoCaseName("QAPercentCloudCover"), EcsName::QaPercentCloudCover},
    {NoCaseName("RangeEndingDate"), EcsName::RangeEndingDate},
    {NoCaseName("RangeEndingTime"), EcsName::RangeEndingTime},
    {NoCaseName("AssociatedPlatformShortName"), EcsName::AssociatedPlatformShortName},
    {NoCaseName("AssociatedInstrumentShortName"), EcsName::AssociatedInstrumentShortName},
    {NoCaseName("PlatformShortName"), EcsName::PlatformShortName},
    {NoCaseName("InstrumentShortName"), EcsName::InstrumentShortName},
    {NoCaseName("Granule"), EcsName::Granule},
    {NoCaseName("GranuleUR"), EcsName::GranuleUr},
    {NoCaseName("Collection"), EcsName::Collection},
    {NoCaseName("Temporal"), EcsName::Temporal},
    {NoCaseName("RangeDateTime"), EcsName::RangeDateTime},
    {NoCaseName("BeginningDateTime"), EcsName::BeginningDateTime},
    {NoCaseName("EndingDateTime"), EcsName::EndingDateTime},
    {NoCaseName("SingleDateTime"), EcsName::SingleDateTime},
    {NoCaseName("Spatial"), EcsName::Spatial},
    {NoCaseName("HorizontalSpatialDomain"), EcsName::HorizontalSpatialDomain},
    {NoCaseName("Geometry"), EcsName::Geometry},
    {NoCaseName("BoundingRectangle"), EcsName::BoundingRectangle},
    {NoCaseName("WestBoundingCoordinate"), EcsName::WestBoundingCoordinate},
    {NoCaseName("EastBoundingCoordinate"), EcsName::EastBoundingCoordinate},
    {NoCaseName("NorthBoundingCoordinate"), EcsName::NorthBoundingCoordinate},
    {NoCaseName("SouthBoundingCoordinate"), EcsName::SouthBoundingCoordinate},
    {NoCaseName("SceneCloudCoverage"), EcsName::SceneCloudCoverage},
    {NoCaseName("SolarDirection"), EcsName::SolarDirection},
    {NoCaseName("SceneFourCorners"), EcsName::SceneFourCorners},
    {NoCaseName("UpperLeft"), EcsName::UpperLeft},
    {NoCaseName("UpperRight"), EcsName::UpperRight},
    {NoCaseName("LowerRight"), EcsName::LowerRight},
    {NoCaseName("LowerLeft"), EcsName::LowerLeft},
    {NoCaseName("Platforms"), EcsName::Platforms},
    {NoCaseName("Platform"), EcsName::Platform},
    {NoCaseName("PlatformShortName"), EcsName::PlatformShortName},
    {NoCaseName("Instruments"), EcsName::Instruments},
    {NoCaseName("Instrument"), EcsName::Instrument},
    {NoCaseName("InstrumentShortName"), EcsName::InstrumentShortName},
    {NoCaseName("CloudCover"), EcsName::CloudCover},
    {NoCaseName("DataGranule"), EcsName::DataGranule},
    {NoCaseName("ProducerGranuleId"), EcsName::ProducerGranuleId},
    {NoCaseName("AdditionalAttribute"), EcsName::AdditionalAttribute},
    {NoCaseName("Name"), EcsName::Name},
    {NoCaseName("Values"), EcsName::Values},
    {NoCaseName("GPolygonContainer"), EcsName::GPolygonContainer},
    {NoCaseName("ExclusionGRingFlag"), EcsName::ExclusionGRingFlag},
}};

// The additional attributes the readers take.
constexpr NoCaseName kSceneCloudCoverage("SceneCloudCoverage");
constexpr NoCaseName kQaPercentCloudCover("QAPercentCloudCover");
constexpr NoCaseName kSolarAzimuthAngle("Solar_Azimuth_Angle");
constexpr NoCaseName kSolarElevationAngle("Solar_Elevation_Angle");

constexpr std::size_t TextIndex(EcsName name) {
    return static_cast<std::size_t>(name) - static_cast<std::size_t>(EcsName::LocalGranuleId);
}
static_assert(TextIndex(EcsName::QaPercentCloudCover) + 1 == kTextItems,
              "the text items run from LocalGranuleId to QaPercentCloudCover");

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

std::size_t SkipDigits(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsDigit(text[pos]))
        ++pos;
    return pos;
}

std::optional<double> Degrees(const std::optional<std::string>& text) {
    return text ? ParseNumber(*text) : std::nullopt;
}

} // namespace

std::optional<UtcMilliseconds> InstantOf(const std::optional<std::string>& date,
                                         const std::optional<std::string>& time) {
    if (!date || !time)
        return std::nullopt;
    const std::optional<CalendarDate> day = ParseSceneDate(*date);
    const std::optional<TimeOfDay> ofDay = ParseSceneTime(*time);
    if (!day || !ofDay)
        return std::nullopt;
    return AcquisitionInstant(*day, *ofDay);
}

// The names above in a table hashed on their size and first and last eight bytes, so that
// a name is compared with one of them at most: the readers look up every element and
// object of a file. Every byte is hashed with its bit 0x20 set, as each byte of a name in
// any case has it after matches()'s folding, so a name hashes alike in every case.
constexpr std::size_t kLongestName = NoCaseName::kMaxSize;
constexpr std::size_t kSlotBits = 9;
constexpr std::uint8_t kNoName = 0xff;
static_assert(kEcsNames.size() < kNoName, "a slot holds the index of a name or kNoName");

constexpr std::uint64_t NameKey(std::uint64_t first, std::uint64_t last, std::size_t size) {
    constexpr std::uint64_t kFold = 0x2020202020202020;
    return (first | kFold) ^ std::rotl(last | kFold, 29) ^ (size * 0x9e3779b97f4a7c15);
}
constexpr std::size_t SlotOf(std::uint64_t key, std::uint64_t multiplier) {
    return static_cast<std::size_t>((key * multiplier) >> (64 - kSlotBits));
}
constexpr std::uint64_t KeyOf(const NoCaseName& name) {
    return NameKey(name.chunk(0), name.chunk(no_case_detail::Chunks(name.size()) - 1), name.size());
}

struct HashedNames {
    std::uint64_t multiplier = 0;
    std::array<std::uint8_t, std::size_t{1} << kSlotBits> slots{};
};
// The first multiplier of a fixed sequence under which no two names share a slot (a name
// listed twice has one slot).
constexpr HashedNames HashNames() {
    HashedNames hashed;
    std::uint64_t multiplier = 0x9e3779b97f4a7c15;
    for (int attempt = 0; attempt < 100000; ++attempt) {
        multiplier = multiplier * 6364136223846793005u + 1442695040888963407u;
        hashed.multiplier = multiplier | 1;
        hashed.slots.fill(kNoName);
        bool clash = false;
        for (std::size_t i = 0; i < kEcsNames.size() && !clash; ++i) {
            std::uint8_t& slot = hashed.slots[SlotOf(KeyOf(kEcsNames[i].text), hashed.multiplier)];
            clash = slot != kNoName && kEcsNames[slot].name != kEcsNames[i].name;
            if (slot == kNoName)
                slot = static_cast<std::uint8_t>(i);
        }
        if (!clash)
            return hashed;
    }
    return HashedNames{};
}
constexpr HashedNames kHashedNames = HashNames();
static_assert(kHashedNames.multiplier != 0, "some multiplier parts the names");
static_assert(std::all_of(kEcsNames.begin(), kEcsNames.end(),
                          [](const NamedEcs& entry) { return entry.text.size() <= kLongestName; }),
              "every name is no longer than kLongestName");

EcsName EcsNameOf(std::string_view name) {
    const std::size_t size = name.size();
    if (size == 0 || size > kLongestName)
        return EcsName::Other;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(name.data());
    const std::size_t lastChunk = no_case_detail::Chunks(size) - 1;
    const std::uint64_t first = no_case_detail::Compose(bytes, size, 0);
    const std::uint64_t last =
        lastChunk == 0 ? first : no_case_detail::Compose(bytes, size, lastChunk);
    const std::uint8_t slot =
        kHashedNames.slots[SlotOf(NameKey(first, last, size), kHashedNames.multiplier)];
    if (slot == kNoName || !kEcsNames[slot].text.matches(name, first, last))
        return EcsName::Other;
    return kEcsNames[slot].name;
}

bool IsTextItem(EcsName name) {
    return name >= EcsName::LocalGranuleId && TextIndex(name) < kTextItems;
}

std::string_view TrimBlanks(std::string_view text) {
    // A loop, not find_first_not_of: that searches the set of blanks with a call for each
    // byte, and every value of a granule is trimmed.
    while (!text.empty() && IsAsciiBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsAsciiBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

NumberOrFault ReadNumber(std::string_view text) {
    constexpr NumberOrFault kNotANumber{0, NumberFault::NotANumber};
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1); // from_chars takes no '+'
    // The syntax is checked here: from_chars would also take "inf", "nan" and a number
    // that stops short of the text's end.
    std::size_t pos = !text.empty() && text.front() == '-' ? 1 : 0;
    const std::size_t integer = pos;
    pos = SkipDigits(text, pos);
    bool digits = pos > integer;
    if (pos < text.size() && text[pos] == '.') {
        const std::size_t fraction = ++pos;
        pos = SkipDigits(text, pos);
        digits = digits || pos > fraction;
    }
    if (!digits)
        return kNotANumber;
    if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        if (pos < text.size() && (text[pos] == '+' || text[pos] == '-'))
            ++pos;
        const std::size_t exponent = pos;
        pos = SkipDigits(text, pos);
        if (pos == exponent)
            return kNotANumber;
    }
    if (pos != text.size())
        return kNotANumber;
    double value = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (error == std::errc::result_out_of_range)
        return {0, NumberFault::OutOfRange};
    if (error != std::errc{} || end != text.data() + text.size())
        return kNotANumber;
    return {value, NumberFault::None};
}

std::optional<double> ParseNumber(std::string_view text) {
    const NumberOrFault number = ReadNumber(text);
    if (number.fault != NumberFault::None)
        return std::nullopt;
    return number.value;
}

std::string_view NumberFaultWords(NumberFault fault) {
    switch (fault) {
    case NumberFault::None:
        break;
    case NumberFault::NotANumber:
        return " is not a number";
    case NumberFault::OutOfRange:
        return " is out of range";
    }
    return {};
}

std::string CornerReason(std::size_t corner, NumberFault fault) {
    return "corner " + std::to_string(corner) + std::string(NumberFaultWords(fault));
}

namespace {

// The group a time's part belongs in; Other for the items that have none.
EcsName HomeOf(EcsName item) {
    switch (item) {
    case EcsName::CalendarDate:
    case EcsName::TimeOfDay:
        return EcsName::SingleDateTime;
    case EcsName::RangeBeginningDate:
    case EcsName::RangeBeginningTime:
        return EcsName::RangeDateTime;
    default:
        return EcsName::Other;
    }
}

} // namespace

bool GranuleItems::takesText(EcsName name, EcsName parent) const {
    const std::size_t index = TextIndex(name);
    if (!texts[index])
        return true;
    const EcsName home = HomeOf(name);
    return home != EcsName::Other && parent == home && (textsAtHome >> index & 1) == 0;
}

void GranuleItems::setText(EcsName name, std::string_view text, EcsName parent) {
    // A blank text is as none: a later one, or what stands in for it (the range's time,
    // ECHO 10's GranuleUR), is taken instead.
    if (TrimBlanks(text).empty() || !takesText(name, parent))
        return;
    const std::size_t index = TextIndex(name);
    texts[index].emplace(text);
    if (parent == HomeOf(name) && parent != EcsName::Other)
        textsAtHome |= std::uint32_t{1} << index;
}

bool GranuleItems::hasText(EcsName name) const {
    return texts[TextIndex(name)].has_value();
}

namespace {

// The item of GranuleItems an additional attribute of this name gives, or none.
using AttributeItem = std::optional<std::string> GranuleItems::*;
AttributeItem AttributeItemOf(std::string_view name) {
    if (kSceneCloudCoverage.matches(name))
        return &GranuleItems::sceneCloud;
    if (kQaPercentCloudCover.matches(name))
        return &GranuleItems::qaCloudAttribute;
    if (kSolarAzimuthAngle.matches(name))
        return &GranuleItems::sunAzimuth;
    if (kSolarElevationAngle.matches(name))
        return &GranuleItems::sunElevation;
    return nullptr;
}

} // namespace

bool IsTakenAttribute(std::string_view name) {
    return AttributeItemOf(name) != nullptr;
}

std::optional<std::string>* GranuleItems::attributeItem(std::string_view name) {
    const AttributeItem item = AttributeItemOf(name);
    return item != nullptr ? &(this->*item) : nullptr;
}

std::optional<double> Percent(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    const std::optional<double> value = ParseNumber(*text);
    if (!value || *value < 0 || *value > 100)
        return std::nullopt;
    return value;
}

void GranuleItems::noteAttribute(std::string_view name, std::string_view value) {
    std::optional<std::string>* const item = attributeItem(name);
    if (item != nullptr && !*item)
        item->emplace(value);
}

void TakeAttributeValues(const GranuleItems& items, SceneMetadata& metadata) {
    if (!metadata.cloud)
        metadata.cloud = Percent(items.sceneCloud);
    if (!metadata.cloud)
        metadata.cloud = Percent(items.qaCloudAttribute);
    metadata.sunAzimuth = Degrees(items.sunAzimuth);
    metadata.sunElevation = Degrees(items.sunElevation);
}

namespace {

struct TimeTexts {
    std::optional<std::string> date, time;
};

// The date and the time of the acquisition, as a pair from one group: the single date and
// time before the range's beginning, so that no instant is made of two groups' parts.
// Where any part sits in its own group, parts found elsewhere (a processing history's)
// are some other time's; a granule without those groups has only those. Without a whole
// pair, the date alone, else the time alone, as written.
TimeTexts ChooseTime(GranuleItems& items) {
    struct Pair {
        EcsName date, time;
    };
    constexpr std::array<Pair, 2> kPairs{
        {{EcsName::CalendarDate, EcsName::TimeOfDay},
         {EcsName::RangeBeginningDate, EcsName::RangeBeginningTime}}};
    std::uint32_t timeBits = 0;
    for (const Pair& pair : kPairs)
        timeBits |= std::uint32_t{1} << TextIndex(pair.date) | std::uint32_t{1}
                                                                   << TextIndex(pair.time);
    const bool home = (items.textsAtHome & timeBits) != 0;
    const auto given = [&](EcsName name) {
        const std::size_t index = TextIndex(name);
        return items.texts[index].has_value() && ((items.textsAtHome >> index & 1) != 0) == home;
    };
    const auto take = [&](EcsName name) { return std::move(items.texts[TextIndex(name)]); };
    for (const Pair& pair : kPairs) {
        if (given(pair.date) && given(pair.time))
            return {take(pair.date), take(pair.time)};
    }
    for (const Pair& pair : kPairs) {
        if (given(pair.date))
            return {take(pair.date), {}};
    }
    for (const Pair& pair : kPairs) {
        if (given(pair.time))
            return {{}, take(pair.time)};
    }
    return {};
}

} // namespace

MetadataOrReason CompleteMetadata(GranuleItems& items, MetadataLayout layout) {
    if (items.corners.empty() && items.moreRings.empty())
        return {std::nullopt, "no corners"};
    if (items.corners.size() < 3)
        return {std::nullopt, items.moreRings.empty() ? std::string("fewer than 3 corners")
                                                      : "polygon 1 has fewer than 3 corners"};
    for (std::size_t i = 0; i < items.moreRings.size(); ++i)
        if (items.moreRings[i].size() < 3)
            return {std::nullopt, "polygon " + std::to_string(i + 2) + " has fewer than 3 corners"};
    SceneMetadata metadata;
    metadata.layout = layout;
    metadata.corners = std::move(items.corners);
    metadata.moreRings = std::move(items.moreRings);
    const auto take = [&](EcsName name) { return std::move(items.texts[TextIndex(name)]); };
    auto [date, time] = ChooseTime(items);
    metadata.acquired = InstantOf(date, time);
    // The UTC day: a time with an offset may move the scene to the day before or after.
    if (metadata.acquired)
        metadata.date = UtcDateOf(*metadata.acquired);
    else if (date)
        metadata.date = ParseSceneDate(*date);
    if (date)
        metadata.dateText = std::move(*date);
    if (time)
        metadata.timeText = std::move(*time);
    metadata.acquiredEnd = InstantOf(items.endDate, items.endTime);
    metadata.platforms = std::move(items.platforms);
    metadata.instruments = std::move(items.instruments);
    metadata.granule = take(EcsName::LocalGranuleId);
    metadata.product = take(EcsName::ShortName);
    metadata.version = take(EcsName::VersionId);
    metadata.dayNight = take(EcsName::DayNightFlag);
    // The scene's own cover first; the quality statistic only where the scene's is missing
    // or no percentage.
    metadata.cloud = Percent(items.sceneCloud);
    if (!metadata.cloud)
        metadata.cloud = Percent(items.qaCloudAttribute);
    if (!metadata.cloud)
        metadata.cloud = Percent(take(EcsName::QaPercentCloudCover));
    metadata.sunAzimuth = Degrees(items.sunAzimuth);
    metadata.sunElevation = Degrees(items.sunElevation);
    return {std::move(metadata), {}};
}

} // namespace aster
