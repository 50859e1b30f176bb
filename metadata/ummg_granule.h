#pragma once

#include "metadata/granule_items.h"
#include "metadata/scene_metadata.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// A UMM-G record is a few kilobytes; the bound is far tighter than kMaxMetadataBytes
// since every byte of JSON may become a value the reader has to keep track of.
inline constexpr std::size_t kMaxJsonBytes = std::size_t{1} << 20;

// Whether a file's first bytes are a UMM-G granule: after an optional byte order mark and
// blanks a '{', and one of the record's own keys ("GranuleUR", "CollectionReference",
// "SpatialExtent", "TemporalExtent", "MetadataSpecification") within the head.
bool StartsUmmG(std::string_view head);

// Where a value sits in a UMM-G record, as far as the reader cares.
enum class UmmNode : std::uint8_t {
    Other, // anything the reader does not take, read through and dropped
    Root,
    Collection,
    Temporal,
    Range,
    Spatial,
    Horizontal,
    Geometry,
    Polygons,
    Polygon,
    Boundary,
    Points,
    Point,
    Boxes,
    Box,
    Platforms,
    Platform,
    Instruments,
    Instrument,
    DataGranule,
    Identifiers,
    Identifier,
    Attributes,
    Attribute,
    AttributeValues,
    // The values taken.
    GranuleUr,
    ShortName,
    Version,
    Beginning,
    Ending,
    Single,
    Longitude,
    Latitude,
    West,
    East,
    North,
    South,
    PlatformName,
    InstrumentName,
    CloudCover,
    DayNight,
    IdentifierText,
    IdentifierType,
    AttributeName,
    AttributeValue,
};

struct UmmParser;

// Reads CMR's UMM-G granule JSON through RapidJSON's SAX reader: the record streams past
// a handler that keeps only the items it takes and one frame per open object or array, so
// hostile input costs neither a document tree's memory nor recursion; the parser's own
// stack is bounded by the nesting check. One reader keeps its parser's buffers from file
// to file.
class UmmGranuleReader {
  public:
    UmmGranuleReader();
    UmmGranuleReader(const UmmGranuleReader&) = delete;
    UmmGranuleReader& operator=(const UmmGranuleReader&) = delete;
    ~UmmGranuleReader();

    MetadataOrReason read(std::string_view text);

    // The kinds of JSON value.
    enum class Kind : std::uint8_t { Any, Null, Bool, Number, Text, Object, List };

  private:
    friend struct UmmHandler;

    // The SAX events; false stops the parse, with m_reason saying why.
    bool scalar(Kind kind, std::string_view text, double number);
    // A number whose syntax RapidJSON took but that no double holds.
    bool unreadableNumber();
    bool start(Kind kind);
    bool key(std::string_view name);
    bool end();

    struct Frame {
        UmmNode node = UmmNode::Other;
        bool array = false;
        std::size_t count = 0;
        UmmNode next = UmmNode::Other; // in an object: what the value after the key is
    };

    void reset();
    bool fail(std::string why);
    bool enter(Kind kind, UmmNode& node);
    void take(UmmNode node, std::string_view text);
    void take(UmmNode node, double number);
    bool opened(UmmNode node);
    bool closed(UmmNode node);
    MetadataOrReason complete();

    std::unique_ptr<UmmParser> m_parser;
    std::string m_reason;
    std::array<Frame, kMaxNesting> m_frames{};
    std::size_t m_depth = 0;

    // What the record gives, gathered as it streams past.
    struct Taken {
        std::optional<std::string> granule, product, version, dayNight;
        std::optional<std::string> beginning, ending, single;
        std::optional<double> cloud;
        std::vector<std::string> platforms, instruments;
        std::vector<std::vector<GeoPoint>> polygons, boxes;
        std::vector<GeoPoint> ring; // the polygon being read
        std::size_t cornersRead = 0;
        // Why the text is no granule's record, by a member at its top: a search result
        // of CMR's ("items" in umm_json, "feed" in CMR's own JSON form), or a
        // collection's record (UMM-C, whose extent would be taken for a scene's).
        std::string_view notAGranule;
        std::optional<double> lon, lat;              // the point being read
        std::array<std::optional<double>, 4> bounds; // the rectangle's west, east, north, south
        // The producer's granule ID (ECS's LocalGranuleID), which GranuleUR stands in for
        // where it is missing; the identifier being read.
        std::optional<std::string> producerId, identifier, identifierType;
        // The additional attributes taken, and the one being read with its first value.
        GranuleItems attributes;
        std::optional<std::string> attributeName, attributeValue;
    };
    Taken m_taken;
};

} // namespace aster
