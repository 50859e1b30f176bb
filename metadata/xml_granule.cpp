#include "metadata/xml_granule.h"

#include "metadata/bounding_box.h"
#include "metadata/xml_text.h"

#include <algorithm>
#include <cstring>
#include <pugixml.hpp>

namespace aster {

namespace {

// Every construct becomes a node, so that what a failed parse leaves after its last node
// is end tags only; nothing is decoded, so that every name and value is the file's own
// bytes where the file has them. A text that comes first in its element is kept as the
// element's value rather than as a node of its own: nearly every element of a granule
// holds one text, and half the nodes and their visits go.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_declaration | pugi::parse_doctype |
                                   pugi::parse_embed_pcdata;

std::string MoreThan(std::size_t limit, std::string_view what) {
    return "more than " + std::to_string(limit) + " " + std::string(what);
}

std::string ReasonOf(const XmlReferenceFault& fault) {
    return fault.kind == XmlReferenceFault::Unknown ? "unknown entity" : "unreadable XML";
}

} // namespace

XmlGranuleReader::XmlGranuleReader() : m_document(std::make_unique<pugi::xml_document>()) {
}

XmlGranuleReader::~XmlGranuleReader() = default;

void XmlGranuleReader::clear() {
    m_unclosed = nullptr;
    m_reason.clear();
    m_depth = 0;
    m_take = Take::Nothing;
    m_polygonLevel = m_boxLevel = 0;
    m_polygonDone = m_boxDone = m_pointOpen = m_psaOpen = false;
    m_cornerCount = 0;
    m_psaItem = nullptr;
    m_box = {};
    m_granuleUr.reset();
    m_cloudCover.reset();
    m_endingDate.reset();
    m_endingTime.reset();
    m_platforms.clear();
    m_instruments.clear();
    m_items = GranuleItems{};
}

std::size_t XmlGranuleReader::offsetOf(const char* inBuffer, std::size_t otherwise) const {
    const char* base = m_buffer.data();
    if (inBuffer < base || inBuffer > base + m_buffer.size())
        return otherwise;
    return static_cast<std::size_t>(inBuffer - base);
}

std::size_t XmlGranuleReader::offsetOf(const pugi::xml_node& node) const {
    const std::ptrdiff_t offset = node.offset_debug();
    return offset < 0 ? 0 : static_cast<std::size_t>(offset);
}

// Where an element ends, near enough for the order of problems and their line: its last
// node in document order.
std::size_t XmlGranuleReader::endOf(const pugi::xml_node& node) const {
    pugi::xml_node last = node;
    while (last.last_child())
        last = last.last_child();
    if (last.type() == pugi::node_element && *last.value() != '\0')
        return offsetOf(last.value(), offsetOf(last)); // its text, kept as its value
    return offsetOf(last);
}

bool XmlGranuleReader::stop(std::size_t at, std::string why) {
    if (m_reason.empty()) {
        m_reason = std::move(why);
        m_reasonAt = at;
    }
    return false;
}

// The parse, in place; the offset of the first problem it or the text's characters have.
std::optional<std::size_t> XmlGranuleReader::parse(std::string_view text) {
    const XmlEncoding encoding = XmlEncodingOf(text);
    std::optional<std::size_t> problem;
    m_text = text;
    if (encoding != XmlEncoding::Utf8) {
        problem = XmlTextToUtf8(text, encoding, m_converted);
        m_text = m_converted;
    }
    const XmlTextScan scan = ScanXmlText(m_text);
    if (const std::optional<std::size_t> bad = scan.firstNonXml)
        problem = std::min(problem.value_or(*bad), *bad);
    // Most granules have no reference and no carriage return at all: their texts are then
    // taken as they are.
    m_hasReferences = scan.references;
    // No attribute of a text without references and shorter than the bound on them can
    // fail a check: their walk is then left out.
    m_plainAttributes = !scan.references && m_text.size() <= kMaxTextBytes;
    m_plainTexts = !scan.references && !scan.carriageReturns;
    m_buffer.assign(m_text);
    const pugi::xml_parse_result result = m_document->load_buffer_inplace(
        m_buffer.data(), m_buffer.size(), kParseOptions, pugi::encoding_utf8);
    if (!result) {
        const auto at = static_cast<std::size_t>(std::max<std::ptrdiff_t>(result.offset, 0));
        // A parse that ran out of text is where the text ends, after its last line break.
        const std::size_t end = at + 1 >= m_text.size() ? m_text.size() : at;
        findUnclosed(end);
        problem = std::min(problem.value_or(end), end);
    }
    return problem;
}

// A parse that fails leaves the nodes it read. Of the elements around its last node, the
// innermost ones were closed by the end tags that follow that node, one '>' each (nothing
// but end tags and blanks makes no node); the next one out, and all around it, were open.
void XmlGranuleReader::findUnclosed(std::size_t errorAt) {
    pugi::xml_node last = *m_document;
    while (last.last_child())
        last = last.last_child();
    std::size_t from = errorAt;
    std::size_t closed = 0;
    const auto valueEnd = [&](std::size_t delimiter) {
        const char* value = last.value();
        from = offsetOf(value, errorAt) + std::strlen(value) + delimiter;
    };
    switch (last.type()) {
    case pugi::node_element: {
        if (*last.value() != '\0') { // its text, kept as its value
            valueEnd(0);
            break;
        }
        from = offsetOf(last.name(), errorAt) + std::strlen(last.name());
        if (const pugi::xml_attribute attribute = last.last_attribute())
            from = offsetOf(attribute.value(), errorAt) + std::strlen(attribute.value()) + 1;
        from = std::min(from, errorAt);
        const std::size_t tagEnd = m_text.find_first_not_of(" \t\r\n", from);
        from = std::min(tagEnd, errorAt);
        const std::string_view rest = m_text.substr(from, errorAt - from);
        if (rest.starts_with("/>")) {
            closed = 1;
            from += 2;
        } else if (rest.starts_with('>')) {
            from += 1;
        } else {
            from = errorAt; // its start tag unfinished
        }
        break;
    }
    case pugi::node_pcdata:
        valueEnd(0);
        break;
    case pugi::node_cdata:
    case pugi::node_comment:
        valueEnd(3);
        break;
    case pugi::node_pi:
        valueEnd(2);
        break;
    default:
        return; // before the root
    }
    if (from < errorAt)
        closed += static_cast<std::size_t>(
            std::count(m_text.begin() + from, m_text.begin() + errorAt, '>'));
    pugi::xml_node open = last.type() == pugi::node_element ? last : last.parent();
    for (; closed > 0 && open.type() == pugi::node_element; --closed)
        open = open.parent();
    m_unclosed = open.type() == pugi::node_element ? open.internal_object() : nullptr;
}

MetadataOrReason XmlGranuleReader::read(std::string_view text, MetadataLayout layout) {
    clear();
    m_layout = layout;
    if (text.size() > kMaxXmlBytes)
        return {std::nullopt, "larger than " + std::to_string(kMaxXmlBytes >> 20) + " MiB"};
    const std::optional<std::size_t> problem = parse(text);
    const bool walked = walkDocument();
    m_document->reset(); // its memory back now rather than at the next file
    if (!walked && !m_reason.empty() && (!problem || m_reasonAt < *problem))
        return {std::nullopt, m_reason + " at line " + std::to_string(LineAt(m_text, m_reasonAt))};
    if (problem || !walked)
        return {std::nullopt, "unreadable XML at line " +
                                  std::to_string(LineAt(m_text, problem.value_or(m_text.size())))};
    return complete();
}

// pugixml's own loop over the nodes in document order: no recursion however deep the
// file, and one call a node rather than one for each step between nodes.
class XmlGranuleReader::Walker : public pugi::xml_tree_walker {
  public:
    explicit Walker(XmlGranuleReader& reader) : m_reader(reader) {}
    bool for_each(pugi::xml_node& node) override {
        return m_reader.visit(node, static_cast<std::size_t>(depth()));
    }

  private:
    XmlGranuleReader& m_reader;
};

// The prolog's DOCTYPE checked, the root walked; a second root is no XML.
bool XmlGranuleReader::walkDocument() {
    m_rootSeen = false;
    Walker walker(*this);
    if (!m_document->traverse(walker))
        return false;
    while (m_depth > 0) {
        if (!close())
            return false;
    }
    return m_rootSeen;
}

// One node, at depth `level` of the tree (0 for the prolog and the root); the open
// elements that do not hold it are finished before it.
bool XmlGranuleReader::visit(const pugi::xml_node& node, std::size_t level) {
    while (m_depth > level) {
        if (!close())
            return false;
    }
    if (level == 0)
        return prolog(node);
    switch (node.type()) {
    case pugi::node_element:
        return enter(node);
    case pugi::node_pcdata:
        return content(node, NodeText::Parsed);
    case pugi::node_cdata:
        return content(node, NodeText::Cdata);
    default:
        return content(node, NodeText::None);
    }
}

bool XmlGranuleReader::prolog(const pugi::xml_node& node) {
    if (node.type() == pugi::node_doctype) {
        const std::size_t entity = std::string_view(node.value()).find("<!ENTITY");
        if (entity != std::string_view::npos)
            return stop(offsetOf(node) + entity, "entity declaration refused");
    } else if (node.type() == pugi::node_element) {
        if (m_rootSeen)
            return stop(offsetOf(node), "unreadable XML");
        m_rootSeen = true;
        return enter(node);
    }
    return true;
}

// The innermost open element ends; what a failed parse left open ends nowhere.
bool XmlGranuleReader::close() {
    pugi::xml_node_struct* const open = m_open[m_depth - 1];
    if (open == m_unclosed)
        return false;
    return finish(pugi::xml_node(open));
}

// An element's attributes: their sizes and references.
bool XmlGranuleReader::attributesChecked(const pugi::xml_node& node) {
    for (pugi::xml_attribute attribute = node.first_attribute(); attribute;
         attribute = attribute.next_attribute()) {
        const std::string_view value = attribute.value();
        if (value.size() > kMaxTextBytes)
            return stop(offsetOf(value.data(), offsetOf(node)),
                        "an attribute of " + MoreThan(kMaxTextBytes, "bytes"));
        if (!m_hasReferences)
            continue;
        if (const std::optional<XmlReferenceFault> fault = ReadXmlText(value, nullptr))
            return stop(offsetOf(value.data(), offsetOf(node)) + fault->at, ReasonOf(*fault));
    }
    return true;
}

bool XmlGranuleReader::start(const pugi::xml_node& node) {
    if (m_depth == kMaxNesting)
        return stop(offsetOf(node), "nested too deeply");
    if (!m_plainAttributes && !attributesChecked(node))
        return false;
    const EcsName what = EcsNameOf(node.name());
    const EcsName root =
        m_layout == MetadataLayout::Echo10 ? EcsName::Granule : EcsName::GranuleMetaDataFile;
    if (m_depth == 0 && what != root)
        return stop(offsetOf(node), m_layout == MetadataLayout::Echo10
                                        ? "root element is not Granule"
                                        : "root element is not GranuleMetaDataFile");
    const EcsName parent = m_depth > 0 ? m_path[m_depth - 1] : EcsName::Other;
    m_open[m_depth] = node.internal_object();
    m_path[m_depth++] = what;
    const Take take =
        m_layout == MetadataLayout::Echo10 ? echoTake(what, parent) : ecsTake(what, parent);
    if (take != Take::Nothing && m_take == Take::Nothing) {
        m_take = take;
        m_collectDepth = m_depth;
        m_collect.clear();
        m_piece = {};
        m_joined = false;
    }
    return true;
}

// An element, and the text first in it, which the parse keeps as the element's value.
bool XmlGranuleReader::enter(const pugi::xml_node& node) {
    return start(node) && (*node.value() == '\0' || content(node, NodeText::Parsed));
}

// A taken text is most often one piece, which is taken where it is in the buffer; only one
// of several is joined.
void XmlGranuleReader::collect(std::string_view piece) {
    if (!m_joined && m_piece.empty())
        m_piece = piece;
    else
        *joined() += piece;
}

std::string* XmlGranuleReader::joined() {
    if (!m_joined) {
        m_collect.assign(m_piece);
        m_joined = true;
    }
    return &m_collect;
}

// A text of the element being walked: its references checked, and read when it is taken.
bool XmlGranuleReader::content(const pugi::xml_node& node, NodeText kind) {
    const bool taken = m_take != Take::Nothing && m_depth == m_collectDepth;
    if (!taken && !m_hasReferences)
        return true;
    const std::string_view raw = node.value();
    const auto at = [&] { return offsetOf(raw.data(), offsetOf(node)); };
    if (kind == NodeText::Parsed && m_plainTexts) {
        collect(raw);
    } else if (kind == NodeText::Parsed) {
        if (const std::optional<XmlReferenceFault> fault =
                ReadXmlText(raw, taken ? joined() : nullptr))
            return stop(at() + fault->at, ReasonOf(*fault));
    } else if (kind == NodeText::Cdata && taken) {
        collect(raw);
    }
    if (taken && (m_joined ? m_collect.size() : m_piece.size()) > kMaxTextBytes)
        return stop(at(), "a text of " + MoreThan(kMaxTextBytes, "bytes"));
    return true;
}

bool XmlGranuleReader::finish(const pugi::xml_node& node) {
    const EcsName what = m_path[--m_depth];
    if (m_take != Take::Nothing && m_depth + 1 == m_collectDepth && !collected(node))
        return false;
    if (what == EcsName::Point && m_pointOpen && m_depth + 1 == m_polygonLevel + 2) {
        m_pointOpen = false;
        const std::string corner = "corner " + std::to_string(m_cornerCount + 1);
        if (!m_pointLon)
            return stop(endOf(node), corner + " has no longitude");
        if (!m_pointLat)
            return stop(endOf(node), corner + " has no latitude");
        if (m_cornerCount == kMaxListValues)
            return stop(endOf(node), MoreThan(kMaxListValues, "corners"));
        ++m_cornerCount;
        (m_items.moreRings.empty() ? m_items.corners : m_items.moreRings.back())
            .push_back({*m_pointLon, *m_pointLat});
    } else if (what == EcsName::GPolygon && m_polygonLevel == m_depth + 1) {
        m_polygonLevel = 0;
        // One without points is passed over, as UMM-G's {} and ODL's empty container are.
        if (!m_items.moreRings.empty() && m_items.moreRings.back().empty())
            m_items.moreRings.pop_back();
        m_polygonDone = !m_items.corners.empty();
    } else if (what == EcsName::BoundingRectangle && m_boxLevel == m_depth + 1) {
        m_boxLevel = 0;
        m_boxDone = true;
    } else if (what == (m_layout == MetadataLayout::Echo10 ? EcsName::AdditionalAttribute
                                                           : EcsName::Psa) &&
               m_psaOpen) {
        m_psaOpen = false;
        if (m_hasPsaName && m_hasPsaValue && m_psaItem != nullptr && !*m_psaItem)
            m_psaItem->emplace(m_psaValue);
    }
    return true;
}

bool XmlGranuleReader::collected(const pugi::xml_node& node) {
    const std::string_view text = TrimBlanks(m_joined ? std::string_view(m_collect) : m_piece);
    const Take take = m_take;
    m_take = Take::Nothing;
    switch (take) {
    case Take::Longitude:
    case Take::Latitude: {
        std::optional<double>& value = take == Take::Longitude ? m_pointLon : m_pointLat;
        if (value)
            return true;
        value = ParseNumber(text);
        if (!value)
            return stop(endOf(node),
                        "corner " + std::to_string(m_cornerCount + 1) + " is not a number");
        return true;
    }
    case Take::Box:
        if (m_box[m_boxSide])
            return true;
        m_box[m_boxSide] = ParseNumber(text);
        return m_box[m_boxSide] || stop(endOf(node), "a bounding coordinate is not a number");
    case Take::PsaName:
        if (!m_hasPsaName)
            m_psaItem = m_items.attributeItem(text);
        m_hasPsaName = true;
        return true;
    case Take::PsaValue:
        // Only a value that may be wanted is kept: most attributes are of other names.
        if (!m_hasPsaValue && (!m_hasPsaName || m_psaItem != nullptr))
            m_psaValue.assign(text);
        m_hasPsaValue = true;
        return true;
    case Take::Platform:
        m_platforms.emplace_back(text);
        return true;
    case Take::Instrument:
        m_instruments.emplace_back(text);
        return true;
    case Take::Single:
    case Take::Beginning:
    case Take::Ending:
    case Take::EndingDate:
    case Take::EndingTime:
        timeCollected(take, text);
        return true;
    case Take::Cloud:
        if (!m_cloudCover)
            m_cloudCover.emplace(text);
        return true;
    case Take::GranuleUr:
        if (!m_granuleUr)
            m_granuleUr.emplace(text);
        return true;
    case Take::Item:
        m_items.setText(m_item, text, m_itemParent);
        return true;
    case Take::Nothing:
        return true;
    }
    return true;
}

// A time's text: ECHO 10's date and time together, ECS's range end as its two parts.
void XmlGranuleReader::timeCollected(Take take, std::string_view text) {
    const auto [date, time] = SplitDateTime(text);
    switch (take) {
    case Take::Single:
    case Take::Beginning: {
        const bool single = take == Take::Single;
        m_items.setText(single ? EcsName::CalendarDate : EcsName::RangeBeginningDate, date);
        if (!time.empty())
            m_items.setText(single ? EcsName::TimeOfDay : EcsName::RangeBeginningTime, time);
        return;
    }
    case Take::Ending:
        if (!m_endingDate && !m_endingTime) {
            m_endingDate.emplace(date);
            m_endingTime.emplace(time);
        }
        return;
    case Take::EndingDate:
        if (!m_endingDate)
            m_endingDate.emplace(text);
        return;
    case Take::EndingTime:
        if (!m_endingTime)
            m_endingTime.emplace(text);
        return;
    default:
        return;
    }
}

bool XmlGranuleReader::pathIs(std::initializer_list<EcsName> names) const {
    return names.size() == m_depth && std::equal(names.begin(), names.end(), m_path.begin());
}

XmlGranuleReader::Take XmlGranuleReader::item(EcsName name, EcsName parent) {
    if (!m_items.takesText(name, parent))
        return Take::Nothing;
    m_item = name;
    m_itemParent = parent;
    return Take::Item;
}

// GPolygon/Boundary/Point of each polygon, one of the footprint each (a granule across
// the antimeridian may come as one on either side), its points' first coordinates.
XmlGranuleReader::Take XmlGranuleReader::polygonTake(EcsName what, EcsName parent) {
    switch (what) {
    case EcsName::GPolygon:
        if (m_polygonLevel == 0) {
            if (m_polygonDone)
                m_items.moreRings.emplace_back();
            m_polygonLevel = m_depth;
        }
        return Take::Nothing;
    case EcsName::Point:
        if (parent == EcsName::Boundary && m_polygonLevel != 0 && m_polygonLevel + 2 == m_depth) {
            m_pointOpen = true;
            m_pointLon.reset();
            m_pointLat.reset();
        }
        return Take::Nothing;
    case EcsName::PointLongitude:
        return parent == EcsName::Point && m_pointOpen ? Take::Longitude : Take::Nothing;
    case EcsName::PointLatitude:
        return parent == EcsName::Point && m_pointOpen ? Take::Latitude : Take::Nothing;
    default:
        return Take::Nothing;
    }
}

// The first bounding rectangle's sides, each the first of its name in it.
XmlGranuleReader::Take XmlGranuleReader::boxTake(EcsName what, EcsName parent) {
    if (what == EcsName::BoundingRectangle) {
        if (!m_boxDone && m_boxLevel == 0)
            m_boxLevel = m_depth;
        return Take::Nothing;
    }
    if (parent != EcsName::BoundingRectangle || m_boxLevel == 0 || m_boxLevel + 1 != m_depth)
        return Take::Nothing;
    m_boxSide =
        static_cast<std::size_t>(what) - static_cast<std::size_t>(EcsName::WestBoundingCoordinate);
    return Take::Box;
}

XmlGranuleReader::Take XmlGranuleReader::ecsTake(EcsName what, EcsName parent) {
    switch (what) {
    case EcsName::GPolygon:
    case EcsName::Point:
    case EcsName::PointLongitude:
    case EcsName::PointLatitude:
        return polygonTake(what, parent);
    case EcsName::BoundingRectangle:
    case EcsName::WestBoundingCoordinate:
    case EcsName::EastBoundingCoordinate:
    case EcsName::NorthBoundingCoordinate:
    case EcsName::SouthBoundingCoordinate:
        return boxTake(what, parent);
    case EcsName::Psa:
        m_psaOpen = true;
        m_hasPsaName = m_hasPsaValue = false;
        m_psaItem = nullptr;
        return Take::Nothing;
    case EcsName::PsaName:
        return parent == EcsName::Psa && m_psaOpen ? Take::PsaName : Take::Nothing;
    case EcsName::PsaValue:
        return parent == EcsName::Psa && m_psaOpen ? Take::PsaValue : Take::Nothing;
    case EcsName::PlatformShortName:
        return parent == EcsName::Platform ? Take::Platform : Take::Nothing;
    case EcsName::InstrumentShortName:
        return parent == EcsName::Instrument ? Take::Instrument : Take::Nothing;
    case EcsName::RangeEndingDate:
        return m_endingDate ? Take::Nothing : Take::EndingDate;
    case EcsName::RangeEndingTime:
        return m_endingTime ? Take::Nothing : Take::EndingTime;
    default:
        return IsTextItem(what) ? item(what, parent) : Take::Nothing;
    }
}

// ECHO 10 names its items by their place: ShortName is the collection's, a platform's or
// an instrument's.
XmlGranuleReader::Take XmlGranuleReader::echoTake(EcsName what, EcsName parent) {
    using enum EcsName;
    switch (what) {
    case GranuleUr:
        return pathIs({Granule, GranuleUr}) ? Take::GranuleUr : Take::Nothing;
    // The producer's ID is ECS's LocalGranuleID, the data file's name; GranuleUR is often a
    // catalogue's own name for the granule ("SC:AST_L1T.003:2148809731").
    case ProducerGranuleId:
        return pathIs({Granule, DataGranule, ProducerGranuleId}) ? item(LocalGranuleId)
                                                                 : Take::Nothing;
    case AdditionalAttribute:
        if (pathIs({Granule, AdditionalAttributes, AdditionalAttribute})) {
            m_psaOpen = true;
            m_hasPsaName = m_hasPsaValue = false;
            m_psaItem = nullptr;
        }
        return Take::Nothing;
    case Name:
        return m_psaOpen && pathIs({Granule, AdditionalAttributes, AdditionalAttribute, Name})
                   ? Take::PsaName
                   : Take::Nothing;
    case Value:
        return m_psaOpen &&
                       pathIs({Granule, AdditionalAttributes, AdditionalAttribute, Values, Value})
                   ? Take::PsaValue
                   : Take::Nothing;
    case ShortName:
        if (pathIs({Granule, Collection, ShortName}))
            return item(ShortName);
        if (pathIs({Granule, Platforms, Platform, ShortName}))
            return Take::Platform;
        if (pathIs({Granule, Platforms, Platform, Instruments, Instrument, ShortName}))
            return Take::Instrument;
        return Take::Nothing;
    case VersionId:
        return pathIs({Granule, Collection, VersionId}) ? item(VersionId) : Take::Nothing;
    case SingleDateTime:
        return pathIs({Granule, Temporal, SingleDateTime}) ? Take::Single : Take::Nothing;
    case BeginningDateTime:
        return pathIs({Granule, Temporal, RangeDateTime, BeginningDateTime}) ? Take::Beginning
                                                                             : Take::Nothing;
    case EndingDateTime:
        return pathIs({Granule, Temporal, RangeDateTime, EndingDateTime}) ? Take::Ending
                                                                          : Take::Nothing;
    case GPolygon:
        return pathIs({Granule, Spatial, HorizontalSpatialDomain, Geometry, GPolygon})
                   ? polygonTake(what, parent)
                   : Take::Nothing;
    case Point:
    case PointLongitude:
    case PointLatitude:
        return polygonTake(what, parent);
    case BoundingRectangle:
        return pathIs({Granule, Spatial, HorizontalSpatialDomain, Geometry, BoundingRectangle})
                   ? boxTake(what, parent)
                   : Take::Nothing;
    case WestBoundingCoordinate:
    case EastBoundingCoordinate:
    case NorthBoundingCoordinate:
    case SouthBoundingCoordinate:
        return boxTake(what, parent);
    case CloudCover:
        return pathIs({Granule, CloudCover}) ? Take::Cloud : Take::Nothing;
    case DayNightFlag:
        return pathIs({Granule, DataGranule, DayNightFlag}) ? item(DayNightFlag) : Take::Nothing;
    default:
        return Take::Nothing;
    }
}

MetadataOrReason XmlGranuleReader::complete() {
    if (!m_items.hasText(EcsName::LocalGranuleId) && m_granuleUr)
        m_items.setText(EcsName::LocalGranuleId, *m_granuleUr);
    // ECHO 10's CloudCover is the granule's; an attribute's cover counts only without it,
    // or where it is no percentage, as in UMM-G.
    if (Percent(m_cloudCover))
        m_items.sceneCloud = std::move(m_cloudCover);
    if (m_items.corners.empty() && std::all_of(m_box.begin(), m_box.end(),
                                               [](const auto& side) { return side.has_value(); })) {
        m_items.corners = CornersOfBox(*m_box[0], *m_box[1], *m_box[3], *m_box[2]);
        if (m_items.corners.empty())
            return {std::nullopt, std::string(kSouthAboveNorth)};
    }
    MetadataOrReason result = CompleteMetadata(m_items, m_layout);
    if (result.metadata) {
        result.metadata->acquiredEnd = InstantOf(m_endingDate, m_endingTime);
        result.metadata->platforms = std::move(m_platforms);
        result.metadata->instruments = std::move(m_instruments);
    }
    return result;
}

} // namespace aster
