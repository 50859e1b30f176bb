#include "metadata/ummg_granule.h"

#include "fileio/utf8.h"
#include "metadata/bounding_box.h"

#include <array>
#include <rapidjson/error/error.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

namespace aster {

namespace {

using Node = UmmNode;
using Kind = UmmGranuleReader::Kind;

// Strings are checked as UTF-8 while they are read; numbers come as their text and are
// read by ReadNumber, to the nearest double as the other layouts' numbers are (RapidJSON
// 1.1.0's own reading gives wrong values for a zero with a large exponent, 0e40 among
// them, and for numbers at the ends of a double's range); the parser keeps its own state
// on a heap stack rather than recursing, whatever the handler allows.
constexpr unsigned kParseFlags = rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseIterativeFlag |
                                 rapidjson::kParseNumbersAsStringsFlag;

struct Edge {
    Node parent;
    std::string_view key;
    Node child;
};
constexpr Edge kEdges[] = {
    {Node::Root, "GranuleUR", Node::GranuleUr},
    {Node::Root, "CollectionReference", Node::Collection},
    {Node::Root, "TemporalExtent", Node::Temporal},
    {Node::Root, "SpatialExtent", Node::Spatial},
    {Node::Root, "Platforms", Node::Platforms},
    {Node::Root, "CloudCover", Node::CloudCover},
    {Node::Root, "DataGranule", Node::DataGranule},
    {Node::Collection, "ShortName", Node::ShortName},
    {Node::Collection, "Version", Node::Version},
    {Node::Temporal, "RangeDateTime", Node::Range},
    {Node::Temporal, "SingleDateTime", Node::Single},
    {Node::Range, "BeginningDateTime", Node::Beginning},
    {Node::Range, "EndingDateTime", Node::Ending},
    {Node::Spatial, "HorizontalSpatialDomain", Node::Horizontal},
    {Node::Horizontal, "Geometry", Node::Geometry},
    {Node::Geometry, "GPolygons", Node::Polygons},
    {Node::Geometry, "BoundingRectangles", Node::Boxes},
    {Node::Polygon, "Boundary", Node::Boundary},
    {Node::Boundary, "Points", Node::Points},
    {Node::Point, "Longitude", Node::Longitude},
    {Node::Point, "Latitude", Node::Latitude},
    {Node::Box, "WestBoundingCoordinate", Node::West},
    {Node::Box, "EastBoundingCoordinate", Node::East},
    {Node::Box, "NorthBoundingCoordinate", Node::North},
    {Node::Box, "SouthBoundingCoordinate", Node::South},
    {Node::Platform, "ShortName", Node::PlatformName},
    {Node::Platform, "Instruments", Node::Instruments},
    {Node::Instrument, "ShortName", Node::InstrumentName},
    {Node::DataGranule, "DayNightFlag", Node::DayNight},
    {Node::DataGranule, "Identifiers", Node::Identifiers},
    {Node::Identifier, "Identifier", Node::IdentifierText},
    {Node::Identifier, "IdentifierType", Node::IdentifierType},
    {Node::Root, "AdditionalAttributes", Node::Attributes},
    {Node::Attribute, "Name", Node::AttributeName},
    {Node::Attribute, "Values", Node::AttributeValues},
};

Node ChildOf(Node parent, std::string_view key) {
    if (parent == Node::Other)
        return Node::Other;
    for (const Edge& edge : kEdges) {
        if (edge.parent == parent && edge.key == key)
            return edge.child;
    }
    return Node::Other;
}

// What the items of a list are.
Node ItemOf(Node list) {
    switch (list) {
    case Node::Polygons:
        return Node::Polygon;
    case Node::Points:
        return Node::Point;
    case Node::Boxes:
        return Node::Box;
    case Node::Platforms:
        return Node::Platform;
    case Node::Instruments:
        return Node::Instrument;
    case Node::Identifiers:
        return Node::Identifier;
    case Node::Attributes:
        return Node::Attribute;
    case Node::AttributeValues:
        return Node::AttributeValue;
    default:
        return Node::Other;
    }
}

Kind KindOf(Node node) {
    switch (node) {
    case Node::Other:
        return Kind::Any;
    case Node::Polygons:
    case Node::Points:
    case Node::Boxes:
    case Node::Platforms:
    case Node::Instruments:
        return Kind::List;
    // Identifiers and additional attributes are taken where they have the kinds UMM-G
    // gives them, and read through otherwise: a record that gave a footprint before they
    // were read is never refused for them.
    case Node::Identifiers:
    case Node::Identifier:
    case Node::IdentifierText:
    case Node::IdentifierType:
    case Node::Attributes:
    case Node::Attribute:
    case Node::AttributeName:
    case Node::AttributeValues:
    case Node::AttributeValue:
        return Kind::Any;
    case Node::Longitude:
    case Node::Latitude:
    case Node::West:
    case Node::East:
    case Node::North:
    case Node::South:
    case Node::CloudCover:
        return Kind::Number;
    default:
        return node >= Node::GranuleUr ? Kind::Text : Kind::Object;
    }
}

// How a reason names a value: by its key, or for a list's item by what it is.
std::string NameOf(Node node) {
    switch (node) {
    case Node::Root:
        return "the record";
    case Node::Polygon:
        return "a polygon";
    case Node::Point:
        return "a point";
    case Node::Box:
        return "a bounding rectangle";
    case Node::Platform:
        return "a platform";
    case Node::Instrument:
        return "an instrument";
    case Node::Identifier:
        return "an identifier";
    case Node::Attribute:
        return "an additional attribute";
    case Node::AttributeValue:
        return "an attribute's value";
    default:
        break;
    }
    for (const Edge& edge : kEdges) {
        if (edge.child == node)
            return std::string(edge.key);
    }
    return "a value";
}

std::string_view KindWord(Kind kind) {
    switch (kind) {
    case Kind::Number:
        return "a number";
    case Kind::Text:
        return "a text";
    case Kind::List:
        return "a list";
    default:
        return "an object";
    }
}

std::optional<UtcMilliseconds> InstantOf(std::string_view text) {
    const auto [dateText, timeText] = SplitDateTime(text);
    const std::optional<CalendarDate> date = ParseSceneDate(dateText);
    const std::optional<TimeOfDay> time = ParseSceneTime(timeText);
    if (!date || !time)
        return std::nullopt;
    return AcquisitionInstant(*date, *time);
}

bool IsJsonBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Whether `key`, a name in quotes, stands in `text` as a key: then a colon.
bool HoldsKey(std::string_view text, std::string_view key) {
    for (std::size_t at = text.find(key); at != text.npos; at = text.find(key, at + 1)) {
        std::size_t after = at + key.size();
        while (after < text.size() && IsJsonBlank(text[after]))
            ++after;
        if (after < text.size() && text[after] == ':')
            return true;
    }
    return false;
}

// Every member a UMM-G record may have at its top, in quotes as keys are written.
constexpr std::array<std::string_view, 20> kUmmGMembers{"\"GranuleUR\"",
                                                        "\"CollectionReference\"",
                                                        "\"SpatialExtent\"",
                                                        "\"TemporalExtent\"",
                                                        "\"MetadataSpecification\"",
                                                        "\"ProviderDates\"",
                                                        "\"AccessConstraints\"",
                                                        "\"DataGranule\"",
                                                        "\"PGEVersionClass\"",
                                                        "\"OrbitCalculatedSpatialDomains\"",
                                                        "\"MeasuredParameters\"",
                                                        "\"Platforms\"",
                                                        "\"Projects\"",
                                                        "\"AdditionalAttributes\"",
                                                        "\"InputGranules\"",
                                                        "\"TilingIdentificationSystem\"",
                                                        "\"CloudCover\"",
                                                        "\"RelatedUrls\"",
                                                        "\"NativeProjectionNames\"",
                                                        "\"GridMappingNames\""};

constexpr std::string_view kSearchResult =
    "a search result, not one granule's record: save each item's umm as a file of its own";
constexpr std::string_view kSearchFeed =
    "a search result in CMR's JSON form, not one granule's record: search for "
    "granules.umm_json and save each item's umm as a file of its own";
constexpr std::string_view kCollectionRecord =
    "a collection's record (UMM-C), not a granule's: its extent is no scene's footprint";
constexpr std::string_view kListOfRecords =
    "a list of records, not one granule's record: save each as a file of its own";

} // namespace

bool StartsUmmG(std::string_view head) {
    head = head.substr(0, kLayoutSniffBytes);
    if (head.starts_with(kUtf8ByteOrderMark))
        head.remove_prefix(kUtf8ByteOrderMark.size());
    const auto skipBlanks = [&head] {
        while (!head.empty() && IsJsonBlank(head.front()))
            head.remove_prefix(1);
    };
    skipBlanks();
    // A list of records is looked at too, so that it hears why it gives no scene.
    if (head.starts_with('[')) {
        head.remove_prefix(1);
        skipBlanks();
    }
    if (!head.starts_with('{'))
        return false;
    // CMR's own JSON form of a search result, so that it hears why it gives no scene.
    if (HoldsKey(head, "\"feed\"") &&
        (HoldsKey(head, "\"producer_granule_id\"") || HoldsKey(head, "\"time_start\"")))
        return true;
    // Every member a UMM-G record may have at its top, so that one whose first members
    // fill the head (sorted by name, or links first) is still found: its first is one.
    for (const std::string_view key : kUmmGMembers) {
        if (HoldsKey(head, key))
            return true;
    }
    return false;
}

// RapidJSON's handler, handing each event to the reader.
struct UmmHandler {
    UmmGranuleReader& reader;

    bool text(const char* chars, rapidjson::SizeType length, bool isKey) {
        if (length > kMaxTextBytes) {
            reader.fail("a text of more than " + std::to_string(kMaxTextBytes) + " bytes");
            return false;
        }
        const std::string_view text(chars, length);
        return isKey ? reader.key(text) : reader.scalar(Kind::Text, text, 0);
    }
    bool number(double value) { return reader.scalar(Kind::Number, {}, value); }

    bool Null() { return reader.scalar(Kind::Null, {}, 0); }
    bool Bool(bool) { return reader.scalar(Kind::Bool, {}, 0); }
    // A number RapidJSON has checked the syntax of; one a double cannot hold is no JSON
    // this reader reads, as one beyond RapidJSON's own exponent limit is not.
    bool RawNumber(const char* chars, rapidjson::SizeType length, bool) {
        const NumberOrFault read = ReadNumber({chars, length});
        if (read.fault != NumberFault::None)
            return reader.unreadableNumber();
        return number(read.value);
    }
    // Never called with kParseNumbersAsStringsFlag, but the parser's code names them.
    bool Int(int value) { return number(value); }
    bool Uint(unsigned value) { return number(value); }
    bool Int64(std::int64_t value) { return number(static_cast<double>(value)); }
    bool Uint64(std::uint64_t value) { return number(static_cast<double>(value)); }
    bool Double(double value) { return number(value); }
    bool String(const char* chars, rapidjson::SizeType length, bool) {
        return text(chars, length, false);
    }
    bool Key(const char* chars, rapidjson::SizeType length, bool) {
        return text(chars, length, true);
    }
    bool StartObject() { return reader.start(Kind::Object); }
    bool EndObject(rapidjson::SizeType) { return reader.end(); }
    bool StartArray() { return reader.start(Kind::List); }
    bool EndArray(rapidjson::SizeType) { return reader.end(); }
};

struct UmmParser {
    rapidjson::Reader reader;
};

UmmGranuleReader::UmmGranuleReader() : m_parser(std::make_unique<UmmParser>()) {
}

UmmGranuleReader::~UmmGranuleReader() = default;

void UmmGranuleReader::reset() {
    m_reason.clear();
    m_depth = 0;
    m_taken = Taken{};
}

bool UmmGranuleReader::fail(std::string why) {
    if (m_reason.empty())
        m_reason = std::move(why);
    return false;
}

// A value the granule does without: one that cannot be read is left out, as the other
// layouts leave out a cloud cover of "3 %", rather than lose the granule.
bool MayGoWithout(UmmNode node) {
    return node == UmmNode::CloudCover;
}

// Where the next value sits, counted in its list; false when the list is too long or the
// value is not of the kind its place takes.
bool UmmGranuleReader::enter(Kind kind, Node& node) {
    if (m_depth == 0) {
        node = Node::Root;
    } else {
        Frame& parent = m_frames[m_depth - 1];
        node = parent.array ? ItemOf(parent.node) : parent.next;
        if (parent.array && ++parent.count > kMaxListValues)
            return fail("a list of more than " + std::to_string(kMaxListValues) + " values");
    }
    const Kind wanted = KindOf(node);
    if (kind == Kind::Null || wanted == Kind::Any || wanted == kind || MayGoWithout(node))
        return true;
    return fail(NameOf(node) + " is not " + std::string(KindWord(wanted)));
}

bool UmmGranuleReader::scalar(Kind kind, std::string_view text, double number) {
    Node node = Node::Other;
    if (!enter(kind, node))
        return false;
    if (kind == Kind::Text)
        take(node, text);
    else if (kind == Kind::Number)
        take(node, number);
    return true;
}

bool UmmGranuleReader::unreadableNumber() {
    Node node = Node::Other;
    if (!enter(Kind::Number, node))
        return false;
    return MayGoWithout(node) || fail("unreadable JSON");
}

bool UmmGranuleReader::key(std::string_view name) {
    Frame& object = m_frames[m_depth - 1];
    if (++object.count > kMaxListValues)
        return fail("an object of more than " + std::to_string(kMaxListValues) + " members");
    object.next = ChildOf(object.node, name);
    if (m_depth == 1 && name == "items")
        m_taken.notAGranule = kSearchResult;
    else if (m_depth == 1 && name == "feed")
        m_taken.notAGranule = kSearchFeed;
    else if (m_depth == 1 && (name == "EntryTitle" || name == "TemporalExtents"))
        m_taken.notAGranule = kCollectionRecord;
    return true;
}

bool UmmGranuleReader::start(Kind kind) {
    Node node = Node::Other;
    if (!enter(kind, node))
        return false;
    if (m_depth == kMaxNesting)
        return fail("nested too deeply");
    m_frames[m_depth++] = Frame{node, kind == Kind::List, 0, Node::Other};
    return opened(node);
}

bool UmmGranuleReader::end() {
    return closed(m_frames[--m_depth].node);
}

void UmmGranuleReader::take(Node node, std::string_view text) {
    const auto first = [&](std::optional<std::string>& item) {
        if (!item)
            item.emplace(text);
    };
    switch (node) {
    case Node::GranuleUr:
        return first(m_taken.granule);
    case Node::ShortName:
        return first(m_taken.product);
    case Node::Version:
        return first(m_taken.version);
    case Node::DayNight:
        return first(m_taken.dayNight);
    case Node::Beginning:
        return first(m_taken.beginning);
    case Node::Ending:
        return first(m_taken.ending);
    case Node::Single:
        return first(m_taken.single);
    case Node::PlatformName:
        m_taken.platforms.emplace_back(text);
        return;
    case Node::InstrumentName:
        m_taken.instruments.emplace_back(text);
        return;
    case Node::IdentifierText:
        return first(m_taken.identifier);
    case Node::IdentifierType:
        return first(m_taken.identifierType);
    case Node::AttributeName:
        return first(m_taken.attributeName);
    case Node::AttributeValue:
        return first(m_taken.attributeValue);
    default:
        return;
    }
}

void UmmGranuleReader::take(Node node, double number) {
    std::optional<double>* item = nullptr;
    switch (node) {
    case Node::Longitude:
        item = &m_taken.lon;
        break;
    case Node::Latitude:
        item = &m_taken.lat;
        break;
    case Node::West:
        item = &m_taken.bounds[0];
        break;
    case Node::East:
        item = &m_taken.bounds[1];
        break;
    case Node::North:
        item = &m_taken.bounds[2];
        break;
    case Node::South:
        item = &m_taken.bounds[3];
        break;
    case Node::CloudCover:
        item = &m_taken.cloud;
        break;
    default:
        return;
    }
    if (!*item)
        *item = number;
}

bool UmmGranuleReader::opened(Node node) {
    switch (node) {
    case Node::Points:
        m_taken.ring.clear();
        break;
    case Node::Point:
        m_taken.lon.reset();
        m_taken.lat.reset();
        break;
    case Node::Box:
        m_taken.bounds = {};
        break;
    case Node::Identifier:
        m_taken.identifier.reset();
        m_taken.identifierType.reset();
        break;
    case Node::Attribute:
        m_taken.attributeName.reset();
        m_taken.attributeValue.reset();
        break;
    default:
        break;
    }
    return true;
}

bool UmmGranuleReader::closed(Node node) {
    static constexpr std::string_view kBoundNames[] = {
        "WestBoundingCoordinate", "EastBoundingCoordinate", "NorthBoundingCoordinate",
        "SouthBoundingCoordinate"};
    switch (node) {
    case Node::Point: {
        const std::string corner = "corner " + std::to_string(++m_taken.cornersRead);
        if (!m_taken.lon)
            return fail(corner + " has no longitude");
        if (!m_taken.lat)
            return fail(corner + " has no latitude");
        m_taken.ring.push_back({*m_taken.lon, *m_taken.lat});
        return true;
    }
    case Node::Points:
        // UMM-G closes a boundary with its first point again; the other layouts do not,
        // and the same granule gives the same corners in each.
        if (m_taken.ring.size() > 1 && m_taken.ring.back() == m_taken.ring.front())
            m_taken.ring.pop_back();
        m_taken.polygons.push_back(std::move(m_taken.ring));
        m_taken.ring.clear();
        return true;
    case Node::Box: {
        for (std::size_t i = 0; i < m_taken.bounds.size(); ++i) {
            if (!m_taken.bounds[i])
                return fail("a bounding rectangle has no " + std::string(kBoundNames[i]));
        }
        std::vector<GeoPoint> corners = CornersOfBox(*m_taken.bounds[0], *m_taken.bounds[1],
                                                     *m_taken.bounds[3], *m_taken.bounds[2]);
        if (corners.empty())
            return fail(std::string(kSouthAboveNorth));
        m_taken.boxes.push_back(std::move(corners));
        return true;
    }
    case Node::Identifier:
        if (!m_taken.producerId && m_taken.identifier &&
            m_taken.identifierType == "ProducerGranuleId")
            m_taken.producerId = std::move(m_taken.identifier);
        return true;
    case Node::Attribute:
        if (m_taken.attributeName && m_taken.attributeValue)
            m_taken.attributes.noteAttribute(*m_taken.attributeName, *m_taken.attributeValue);
        return true;
    default:
        return true;
    }
}

MetadataOrReason UmmGranuleReader::complete() {
    // The polygons are the footprint; the rectangles only bound it.
    std::vector<std::vector<GeoPoint>>& rings =
        m_taken.polygons.empty() ? m_taken.boxes : m_taken.polygons;
    if (!m_taken.notAGranule.empty())
        return {std::nullopt, std::string(m_taken.notAGranule)};
    if (rings.empty())
        return {std::nullopt, "no corners"};
    for (std::size_t i = 0; i < rings.size(); ++i) {
        if (rings[i].size() < 3)
            return {std::nullopt, rings.size() == 1 ? std::string("fewer than 3 corners")
                                                    : "polygon " + std::to_string(i + 1) +
                                                          " has fewer than 3 corners"};
    }
    SceneMetadata metadata;
    metadata.layout = MetadataLayout::UmmG;
    metadata.corners = std::move(rings.front());
    metadata.moreRings.assign(std::make_move_iterator(rings.begin() + 1),
                              std::make_move_iterator(rings.end()));
    if (const std::optional<std::string>& begins =
            m_taken.beginning ? m_taken.beginning : m_taken.single) {
        const auto [dateText, timeText] = SplitDateTime(*begins);
        metadata.dateText = dateText;
        metadata.timeText = timeText;
        metadata.acquired = InstantOf(*begins);
        metadata.date =
            metadata.acquired ? UtcDateOf(*metadata.acquired) : ParseSceneDate(dateText);
    }
    if (m_taken.ending)
        metadata.acquiredEnd = InstantOf(*m_taken.ending);
    // The producer's ID is ECS's LocalGranuleID, the data file's name; GranuleUR is often a
    // catalogue's own name for the granule ("SC:AST_L1T.003:2148809731").
    metadata.granule =
        m_taken.producerId ? std::move(m_taken.producerId) : std::move(m_taken.granule);
    metadata.product = std::move(m_taken.product);
    metadata.version = std::move(m_taken.version);
    metadata.dayNight = std::move(m_taken.dayNight);
    if (m_taken.cloud && *m_taken.cloud >= 0 && *m_taken.cloud <= 100)
        metadata.cloud = m_taken.cloud;
    TakeAttributeValues(m_taken.attributes, metadata);
    metadata.platforms = std::move(m_taken.platforms);
    metadata.instruments = std::move(m_taken.instruments);
    return {std::move(metadata), {}};
}

MetadataOrReason UmmGranuleReader::read(std::string_view text) {
    reset();
    if (text.size() > kMaxJsonBytes)
        return {std::nullopt, "larger than " + std::to_string(kMaxJsonBytes >> 20) + " MiB"};
    std::size_t skipped = 0;
    if (text.starts_with(kUtf8ByteOrderMark))
        skipped = kUtf8ByteOrderMark.size();
    // A list at the top holds records, not the one this reads.
    const std::size_t first = text.find_first_not_of(" \t\r\n", skipped);
    if (first != text.npos && text[first] == '[')
        return {std::nullopt, std::string(kListOfRecords)};
    rapidjson::MemoryStream stream(text.data() + skipped, text.size() - skipped);
    UmmHandler handler{*this};
    const rapidjson::ParseResult result = m_parser->reader.Parse<kParseFlags>(stream, handler);
    // The parser takes a zero byte for the end of its input: one before the end is no JSON.
    const std::size_t offset = skipped + (result ? stream.Tell() : result.Offset());
    const std::string at = " at offset " + std::to_string(offset);
    if (result && offset != text.size())
        return {std::nullopt, "unreadable JSON" + at};
    if (result.Code() == rapidjson::kParseErrorTermination)
        return {std::nullopt, m_reason + at};
    if (result.Code() == rapidjson::kParseErrorStringInvalidEncoding)
        return {std::nullopt, "not UTF-8" + at};
    if (!result)
        return {std::nullopt, "unreadable JSON" + at};
    return complete();
}

} // namespace aster
