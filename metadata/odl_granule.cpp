#include "metadata/odl_granule.h"

#include "metadata/granule_items.h"
#include "metadata/odl_reader.h"

#include <array>

namespace aster {

// Gathers ECS's items from the ODL statements as they come, keeping views into the text
// until the end.
class OdlGranuleReader::Granule final : public OdlHandler {
  public:
    // Ready for the next file; what the last one left is cleared, its room kept.
    void clear();
    void begin(std::string_view name) override;
    void end() override;
    void assign(std::string_view name, const OdlValue& value) override;

    MetadataOrReason finish();

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
    std::optional<std::string> readCorners();

    std::array<Block, kMaxNesting> m_blocks;
    std::size_t m_depth = 0;
    std::size_t m_attributesLevel = 0; // depth of the ADDITIONALATTRIBUTES block; 0 outside
    OdlValue m_latitudes;
    OdlValue m_longitudes;
    // Names and values that carry a class are paired by it; those that do not, by order:
    // a value belongs to the name just before it.
    std::vector<Classed> m_classedNames;
    std::vector<Classed> m_classedValues;
    std::optional<std::string_view> m_pendingName;
    GranuleItems m_items;
    std::vector<std::string_view> m_latitudeItems;
    std::vector<std::string_view> m_longitudeItems;
};

void OdlGranuleReader::Granule::clear() {
    m_depth = 0;
    m_attributesLevel = 0;
    m_latitudes = OdlValue{};
    m_longitudes = OdlValue{};
    m_classedNames.clear();
    m_classedValues.clear();
    m_pendingName.reset();
    m_items = GranuleItems{};
}

void OdlGranuleReader::Granule::begin(std::string_view name) {
    // ReadOdl never nests deeper than kMaxNesting.
    Block& block = m_blocks[m_depth++];
    block = Block{EcsNameOf(name), {}, {}};
    if (block.name == EcsName::AdditionalAttributes && m_attributesLevel == 0)
        m_attributesLevel = m_depth;
}

void OdlGranuleReader::Granule::assign(std::string_view name, const OdlValue& value) {
    if (m_depth == 0)
        return;
    Block& block = m_blocks[m_depth - 1];
    const EcsName what = EcsNameOf(name);
    if (what == EcsName::Class)
        block.classText = FirstOdlItem(value);
    else if (what == EcsName::Value && block.value.kind == OdlValue::None)
        block.value = value;
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
    if (IsTextItem(block.name)) {
        if (hasValue)
            m_items.setText(block.name, FirstOdlItem(block.value));
    } else if (block.name == EcsName::GRingPointLatitude) {
        if (m_latitudes.kind == OdlValue::None)
            m_latitudes = block.value;
    } else if (block.name == EcsName::GRingPointLongitude) {
        if (m_longitudes.kind == OdlValue::None)
            m_longitudes = block.value;
    } else if (block.name == EcsName::AdditionalAttributeName ||
               block.name == EcsName::ParameterValue) {
        if (hasValue && m_attributesLevel != 0 && m_depth >= m_attributesLevel)
            attributePart(block);
    }
    if (m_depth + 1 == m_attributesLevel)
        m_attributesLevel = 0;
}

std::optional<std::string> OdlGranuleReader::Granule::readCorners() {
    const bool hasLatitudes = m_latitudes.kind != OdlValue::None;
    const bool hasLongitudes = m_longitudes.kind != OdlValue::None;
    if (!hasLatitudes && !hasLongitudes)
        return std::nullopt; // "no corners", said with the other checks
    if (!hasLongitudes)
        return "corner latitudes without longitudes";
    if (!hasLatitudes)
        return "corner longitudes without latitudes";
    std::vector<std::string_view>& latitudes = m_latitudeItems;
    std::vector<std::string_view>& longitudes = m_longitudeItems;
    const auto split = [](const OdlValue& value, std::vector<std::string_view>& items) {
        if (value.kind == OdlValue::List)
            SplitOdlList(value.text, items);
        else
            items.assign(1, value.text);
    };
    split(m_latitudes, latitudes);
    split(m_longitudes, longitudes);
    if (latitudes.size() != longitudes.size())
        return std::to_string(latitudes.size()) + " corner latitudes but " +
               std::to_string(longitudes.size()) + " longitudes";
    m_items.corners.reserve(latitudes.size());
    for (std::size_t i = 0; i < latitudes.size(); ++i) {
        const std::optional<double> lat = ParseNumber(latitudes[i]);
        const std::optional<double> lon = ParseNumber(longitudes[i]);
        if (!lat || !lon)
            return "corner " + std::to_string(i + 1) + " is not a number";
        m_items.corners.push_back({*lon, *lat});
    }
    return std::nullopt;
}

MetadataOrReason OdlGranuleReader::Granule::finish() {
    if (auto reason = readCorners())
        return {std::nullopt, std::move(*reason)};
    for (const Classed& name : m_classedNames) {
        for (const Classed& value : m_classedValues) {
            if (value.classText == name.classText) {
                m_items.noteAttribute(name.text, value.text);
                break;
            }
        }
    }
    return CompleteMetadata(m_items, MetadataLayout::Odl);
}

OdlGranuleReader::OdlGranuleReader() : m_granule(std::make_unique<Granule>()) {
}

OdlGranuleReader::~OdlGranuleReader() = default;

MetadataOrReason OdlGranuleReader::read(std::string_view text) {
    m_granule->clear();
    if (auto reason = ReadOdl(text, *m_granule))
        return {std::nullopt, std::move(*reason)};
    return m_granule->finish();
}

} // namespace aster
