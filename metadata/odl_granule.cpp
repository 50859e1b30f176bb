#include "metadata/odl_granule.h"

#include "fileio/ascii.h"
#include "metadata/bounding_box.h"
#include "metadata/granule_items.h"
#include "metadata/odl_reader.h"

#include <array>

namespace aster {

// Gathers ECS's items from the ODL statements as they come, keeping views into the texts
// until the end. A granule may come in more than one text (an HDF file's core and product
// metadata): each item is taken from the first text that gives it.
class OdlGranuleReader::Granule final : public OdlHandler {
  public:
    // Ready for the next granule; what the last one left is cleared, its room kept.
    void clear();
    // Reads one text of the granule, or gives the reader's reason with its line.
    std::optional<std::string> readText(std::string_view text);
    // Takes no G-ring from the texts read after this where those before gave one: the
    // core's footprint is the granule's, and a product's copy of it no further part.
    void keepGRings() {
        m_gringsKept = !m_grings.empty() || m_strayLatitudes.kind != OdlValue::None ||
                       m_strayLongitudes.kind != OdlValue::None;
    }
    void begin(std::string_view name) override;
    void end() override;
    void assign(std::string_view name, const OdlValue& value) override;

    MetadataOrReason finish(MetadataLayout layout);

  private:
    struct Block {
        EcsName name = EcsName::Other;
        std::string_view classText;
        OdlValue value;
    };
    // An additional attribute's name or value, with the class that pairs it.
    struct Classed {
        std::string_view classText;
        std::string_view text;
    };

    std::string_view classOf(const Block& block) const;
    void attributePart(const Block& block);
    void pairClassedAttributes();
    void takeItem(EcsName what, EcsName parent, const OdlValue& value);
    void takeGRing(EcsName what, const OdlValue& value);
    void dropGRing();
    void takeFallbacks();
    std::optional<std::string> readCorners();
    std::optional<std::string> readGRing(const OdlValue& latitudeValue,
                                         const OdlValue& longitudeValue,
                                         std::vector<GeoPoint>& corners);
    std::optional<std::string> readFourCorners();
    std::optional<std::string> readBox();
    void split(const OdlValue& value, std::vector<std::string_view>& items) const;

    std::array<Block, kMaxNesting> m_blocks;
    std::size_t m_depth = 0;
    std::size_t m_attributesLevel = 0; // depth of the ADDITIONALATTRIBUTES block; 0 outside
    // The G-ring of each polygon container that is no hole, one polygon of the footprint
    // each (a granule across the antimeridian may come as one on either side), and the
    // one from outside every container (a browse product's, say), taken only without them.
    struct GRing {
        std::size_t container = 0;
        OdlValue latitudes;
        OdlValue longitudes;
    };
    std::vector<GRing> m_grings;
    bool m_gringsKept = false; // see keepGRings()
    OdlValue m_strayLatitudes;
    OdlValue m_strayLongitudes;
    // The containers begun so far and the one open (0 outside them). A container whose
    // EXCLUSIONGRINGFLAG is "Y" holds a hole, no outline, whether the flag comes before
    // its points or after them.
    std::size_t m_containers = 0;
    std::size_t m_openContainer = 0;
    bool m_openIsHole = false;
    bool m_holeSeen = false;
    // The footprint where there is no G-ring: ASTER's four corners, UPPERLEFT, UPPERRIGHT,
    // LOWERRIGHT, LOWERLEFT (the G-ring's clockwise order), else the bounding rectangle's
    // WEST, EAST, NORTH and SOUTH.
    std::array<OdlValue, 4> m_fourCorners;
    std::array<OdlValue, 4> m_box;
    // Items taken where the additional attributes give none.
    OdlValue m_sceneCloud;
    OdlValue m_solarDirection;
    // The ASSOCIATED... short names, and the plain ones taken where those are missing.
    std::array<std::vector<std::string_view>, 2> m_platforms;
    std::array<std::vector<std::string_view>, 2> m_instruments;
    // Names and values that carry a class are paired by it; those that do not, by order:
    // a value belongs to the name just before it.
    std::vector<Classed> m_classedNames;
    std::vector<Classed> m_classedValues;
    std::optional<std::string_view> m_pendingName;
    GranuleItems m_items;
    std::vector<std::string_view> m_latitudeItems;
    std::vector<std::string_view> m_longitudeItems;
};

namespace {

template <typename Values> bool AnyGiven(const Values& values) {
    for (const OdlValue& value : values) {
        if (value.kind != OdlValue::None)
            return true;
    }
    return false;
}

void KeepFirst(OdlValue& slot, const OdlValue& value) {
    if (slot.kind == OdlValue::None)
        slot = value;
}

std::size_t Offset(EcsName name, EcsName first) {
    return static_cast<std::size_t>(name) - static_cast<std::size_t>(first);
}

} // namespace

void OdlGranuleReader::Granule::clear() {
    m_grings.clear();
    m_gringsKept = false;
    m_strayLatitudes = m_strayLongitudes = OdlValue{};
    m_containers = m_openContainer = 0;
    m_openIsHole = m_holeSeen = false;
    m_fourCorners.fill(OdlValue{});
    m_box.fill(OdlValue{});
    m_sceneCloud = OdlValue{};
    m_solarDirection = OdlValue{};
    for (auto* names : {&m_platforms, &m_instruments}) {
        for (std::vector<std::string_view>& list : *names)
            list.clear();
    }
    m_items = GranuleItems{};
}

std::optional<std::string> OdlGranuleReader::Granule::readText(std::string_view text) {
    // Blocks and attributes are each text's own: classes pair within one text only.
    m_depth = 0;
    m_attributesLevel = 0;
    m_openContainer = 0;
    m_openIsHole = false;
    m_classedNames.clear();
    m_classedValues.clear();
    m_pendingName.reset();
    std::optional<std::string> reason = ReadOdl(text, *this);
    if (!reason)
        pairClassedAttributes();
    return reason;
}

void OdlGranuleReader::Granule::begin(std::string_view name) {
    // ReadOdl never nests deeper than kMaxNesting.
    Block& block = m_blocks[m_depth++];
    block = Block{EcsNameOf(name), {}, {}};
    if (block.name == EcsName::AdditionalAttributes && m_attributesLevel == 0)
        m_attributesLevel = m_depth;
    else if (block.name == EcsName::GPolygonContainer) {
        m_openContainer = ++m_containers;
        m_openIsHole = false;
    }
}

void OdlGranuleReader::Granule::assign(std::string_view name, const OdlValue& value) {
    if (m_depth == 0)
        return;
    Block& block = m_blocks[m_depth - 1];
    // Most statements are NUM_VAL, TYPE, CLASS and VALUE, and only two blocks take items
    // from others: the name is looked up in the table there alone.
    if (kClassName.matches(name))
        block.classText = FirstOdlItem(value);
    else if (kValueName.matches(name))
        KeepFirst(block.value, value);
    else if (block.name == EcsName::SceneFourCorners || block.name == EcsName::BoundingRectangle)
        takeItem(EcsNameOf(name), block.name, value); // a corner or bound as a statement
}

// The block's own class, else that of the nearest block around it inside the additional
// attributes: ECS gives it to each attribute's container as well as to its parts.
std::string_view OdlGranuleReader::Granule::classOf(const Block& block) const {
    if (!block.classText.empty())
        return block.classText;
    for (std::size_t level = m_depth; level > m_attributesLevel; --level) {
        const std::string_view text = m_blocks[level - 1].classText;
        if (!text.empty())
            return text;
    }
    return {};
}

void OdlGranuleReader::Granule::attributePart(const Block& block) {
    const std::string_view text = FirstOdlItem(block.value);
    const std::string_view classText = classOf(block);
    const bool isName = block.name == EcsName::AdditionalAttributeName;
    if (!classText.empty()) {
        // Only the names the reader takes are kept, so the pairing stays short.
        if (!isName)
            m_classedValues.push_back({classText, text});
        else if (IsTakenAttribute(text) && m_classedNames.size() < 16)
            m_classedNames.push_back({classText, text});
    } else if (isName) {
        m_pendingName = text;
    } else if (m_pendingName) {
        m_items.noteAttribute(*m_pendingName, text);
        m_pendingName.reset();
    }
}

void OdlGranuleReader::Granule::end() {
    const Block block = m_blocks[--m_depth];
    const bool hasValue = block.value.kind != OdlValue::None;
    const EcsName parent = m_depth > 0 ? m_blocks[m_depth - 1].name : EcsName::Other;
    if (IsTextItem(block.name)) {
        if (hasValue)
            m_items.setText(block.name, FirstOdlItem(block.value), parent);
    } else if (block.name == EcsName::AdditionalAttributeName ||
               block.name == EcsName::ParameterValue) {
        if (hasValue && m_attributesLevel != 0 && m_depth >= m_attributesLevel)
            attributePart(block);
    } else if (block.name == EcsName::GPolygonContainer) {
        m_openContainer = 0;
    } else if (hasValue && block.name != EcsName::Other) {
        takeItem(block.name, parent, block.value);
    }
    if (m_depth + 1 == m_attributesLevel)
        m_attributesLevel = 0;
}

// The value of an item the reader takes, from a block's VALUE or, within the four corners
// and the bounding rectangle, a statement of the item's name; `parent` is the block around.
void OdlGranuleReader::Granule::takeItem(EcsName what, EcsName parent, const OdlValue& value) {
    switch (what) {
    case EcsName::GRingPointLatitude:
    case EcsName::GRingPointLongitude:
        takeGRing(what, value);
        break;
    case EcsName::ExclusionGRingFlag:
        // A hole's points are dropped, or never taken, and the next container's outline is
        // taken instead.
        if (m_openContainer != 0 && EqualsNoCase(TrimBlanks(FirstOdlItem(value)), "Y")) {
            m_openIsHole = m_holeSeen = true;
            dropGRing();
        }
        break;
    case EcsName::RangeEndingDate:
    case EcsName::RangeEndingTime: {
        auto& text = what == EcsName::RangeEndingDate ? m_items.endDate : m_items.endTime;
        if (!text)
            text.emplace(FirstOdlItem(value));
        break;
    }
    case EcsName::AssociatedPlatformShortName:
    case EcsName::PlatformShortName:
        m_platforms[what == EcsName::PlatformShortName].push_back(FirstOdlItem(value));
        break;
    case EcsName::AssociatedInstrumentShortName:
    case EcsName::InstrumentShortName:
        m_instruments[what == EcsName::InstrumentShortName].push_back(FirstOdlItem(value));
        break;
    case EcsName::WestBoundingCoordinate:
    case EcsName::EastBoundingCoordinate:
    case EcsName::NorthBoundingCoordinate:
    case EcsName::SouthBoundingCoordinate:
        if (parent == EcsName::BoundingRectangle)
            KeepFirst(m_box[Offset(what, EcsName::WestBoundingCoordinate)], value);
        break;
    case EcsName::UpperLeft:
    case EcsName::UpperRight:
    case EcsName::LowerRight:
    case EcsName::LowerLeft:
        if (parent == EcsName::SceneFourCorners)
            KeepFirst(m_fourCorners[Offset(what, EcsName::UpperLeft)], value);
        break;
    case EcsName::SceneCloudCoverage:
        KeepFirst(m_sceneCloud, value);
        break;
    case EcsName::SolarDirection:
        KeepFirst(m_solarDirection, value);
        break;
    default:
        break;
    }
}

// A G-ring's points, from each container that is no hole, or from outside every
// container.
void OdlGranuleReader::Granule::takeGRing(EcsName what, const OdlValue& value) {
    const bool latitude = what == EcsName::GRingPointLatitude;
    if (m_gringsKept)
        return;
    if (m_openContainer == 0) {
        KeepFirst(latitude ? m_strayLatitudes : m_strayLongitudes, value);
        return;
    }
    if (m_openIsHole)
        return;
    if (m_grings.empty() || m_grings.back().container != m_openContainer)
        m_grings.push_back({m_openContainer, {}, {}});
    GRing& ring = m_grings.back();
    KeepFirst(latitude ? ring.latitudes : ring.longitudes, value);
}

// The open container's points, when it turns out to hold a hole.
void OdlGranuleReader::Granule::dropGRing() {
    if (!m_grings.empty() && m_grings.back().container == m_openContainer)
        m_grings.pop_back();
}

void OdlGranuleReader::Granule::pairClassedAttributes() {
    for (const Classed& name : m_classedNames) {
        for (const Classed& value : m_classedValues) {
            if (value.classText == name.classText) {
                m_items.noteAttribute(name.text, value.text);
                break;
            }
        }
    }
}

// ASTER's own items where the additional attributes give none: the scene's cloud cover,
// the sun's direction as (azimuth, elevation); and the platforms and instruments.
void OdlGranuleReader::Granule::takeFallbacks() {
    if (!m_items.sceneCloud && m_sceneCloud.kind != OdlValue::None)
        m_items.sceneCloud.emplace(FirstOdlItem(m_sceneCloud));
    if (m_solarDirection.kind == OdlValue::List) {
        SplitOdlList(m_solarDirection.text, m_latitudeItems);
        if (m_latitudeItems.size() == 2) {
            if (!m_items.sunAzimuth)
                m_items.sunAzimuth.emplace(m_latitudeItems[0]);
            if (!m_items.sunElevation)
                m_items.sunElevation.emplace(m_latitudeItems[1]);
        }
    }
    const auto names = [](const std::array<std::vector<std::string_view>, 2>& lists) {
        const std::vector<std::string_view>& list = lists[0].empty() ? lists[1] : lists[0];
        return std::vector<std::string>(list.begin(), list.end());
    };
    m_items.platforms = names(m_platforms);
    m_items.instruments = names(m_instruments);
}

void OdlGranuleReader::Granule::split(const OdlValue& value,
                                      std::vector<std::string_view>& items) const {
    if (value.kind == OdlValue::List)
        SplitOdlList(value.text, items);
    else
        items.assign(1, value.text);
}

// The G-ring, else the four corners, else the bounding rectangle: the closest outline a
// granule gives.
std::optional<std::string> OdlGranuleReader::Granule::readCorners() {
    for (std::size_t i = 0; i < m_grings.size(); ++i) {
        const bool first = m_items.corners.empty();
        std::vector<GeoPoint>& corners = first ? m_items.corners : m_items.moreRings.emplace_back();
        if (auto reason = readGRing(m_grings[i].latitudes, m_grings[i].longitudes, corners))
            return m_grings.size() == 1 ? std::move(reason)
                                        : "polygon " + std::to_string(i + 1) + ": " + *reason;
        // A container of empty lists is passed over, as one without them is.
        if (corners.empty() && !first)
            m_items.moreRings.pop_back();
    }
    if (!m_grings.empty())
        return std::nullopt;
    if (m_strayLatitudes.kind != OdlValue::None || m_strayLongitudes.kind != OdlValue::None)
        return readGRing(m_strayLatitudes, m_strayLongitudes, m_items.corners);
    if (AnyGiven(m_fourCorners))
        return readFourCorners();
    if (AnyGiven(m_box))
        return readBox();
    if (m_holeSeen)
        return "no corners but a hole's";
    return std::nullopt; // "no corners", said with the other checks
}

std::optional<std::string> OdlGranuleReader::Granule::readGRing(const OdlValue& latitudeValue,
                                                                const OdlValue& longitudeValue,
                                                                std::vector<GeoPoint>& corners) {
    if (longitudeValue.kind == OdlValue::None)
        return "corner latitudes without longitudes";
    if (latitudeValue.kind == OdlValue::None)
        return "corner longitudes without latitudes";
    std::vector<std::string_view>& latitudes = m_latitudeItems;
    std::vector<std::string_view>& longitudes = m_longitudeItems;
    split(latitudeValue, latitudes);
    split(longitudeValue, longitudes);
    if (latitudes.size() != longitudes.size())
        return std::to_string(latitudes.size()) + " corner latitudes but " +
               std::to_string(longitudes.size()) + " longitudes";
    corners.reserve(latitudes.size());
    for (std::size_t i = 0; i < latitudes.size(); ++i) {
        const NumberOrFault lat = ReadNumber(latitudes[i]);
        const NumberOrFault lon = ReadNumber(longitudes[i]);
        if (lat.fault != NumberFault::None || lon.fault != NumberFault::None)
            return CornerReason(i + 1, lat.fault != NumberFault::None ? lat.fault : lon.fault);
        corners.push_back({lon.value, lat.value});
    }
    return std::nullopt;
}

// Each corner a list (latitude, longitude), taken UPPERLEFT, UPPERRIGHT, LOWERRIGHT,
// LOWERLEFT: around the scene, as a G-ring runs.
std::optional<std::string> OdlGranuleReader::Granule::readFourCorners() {
    constexpr std::array<std::string_view, 4> kNames{"UPPERLEFT", "UPPERRIGHT", "LOWERRIGHT",
                                                     "LOWERLEFT"};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (m_fourCorners[i].kind == OdlValue::None)
            return "four corners without " + std::string(kNames[i]);
        split(m_fourCorners[i], m_latitudeItems);
        if (m_fourCorners[i].kind != OdlValue::List || m_latitudeItems.size() != 2)
            return "corner " + std::to_string(i + 1) + " is not a latitude and a longitude";
        const NumberOrFault lat = ReadNumber(m_latitudeItems[0]);
        const NumberOrFault lon = ReadNumber(m_latitudeItems[1]);
        if (lat.fault != NumberFault::None || lon.fault != NumberFault::None)
            return CornerReason(i + 1, lat.fault != NumberFault::None ? lat.fault : lon.fault);
        m_items.corners.push_back({lon.value, lat.value});
    }
    return std::nullopt;
}

std::optional<std::string> OdlGranuleReader::Granule::readBox() {
    constexpr std::array<std::string_view, 4> kNames{
        "WESTBOUNDINGCOORDINATE", "EASTBOUNDINGCOORDINATE", "NORTHBOUNDINGCOORDINATE",
        "SOUTHBOUNDINGCOORDINATE"};
    std::array<double, 4> bounds{};
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (m_box[i].kind == OdlValue::None)
            return "bounding rectangle without " + std::string(kNames[i]);
        const NumberOrFault bound = ReadNumber(FirstOdlItem(m_box[i]));
        if (bound.fault != NumberFault::None)
            return std::string(kNames[i]) + std::string(NumberFaultWords(bound.fault));
        bounds[i] = bound.value;
    }
    m_items.corners = CornersOfBox(bounds[0], bounds[1], bounds[3], bounds[2]);
    if (m_items.corners.empty())
        return std::string(kSouthAboveNorth);
    return std::nullopt;
}

MetadataOrReason OdlGranuleReader::Granule::finish(MetadataLayout layout) {
    if (auto reason = readCorners())
        return {std::nullopt, std::move(*reason)};
    takeFallbacks();
    return CompleteMetadata(m_items, layout);
}

OdlGranuleReader::OdlGranuleReader() : m_granule(std::make_unique<Granule>()) {
}

OdlGranuleReader::~OdlGranuleReader() = default;

MetadataOrReason OdlGranuleReader::read(std::string_view text) {
    m_granule->clear();
    if (auto reason = m_granule->readText(text))
        return {std::nullopt, std::move(*reason)};
    return m_granule->finish(MetadataLayout::Odl);
}

MetadataOrReason OdlGranuleReader::readHdfTexts(std::string_view core, std::string_view product) {
    m_granule->clear();
    if (auto reason = m_granule->readText(core))
        return {std::nullopt, std::move(*reason) + " of the core metadata"};
    m_granule->keepGRings();
    if (auto reason = m_granule->readText(product))
        return {std::nullopt, std::move(*reason) + " of the product metadata"};
    return m_granule->finish(MetadataLayout::HdfEos);
}

} // namespace aster
