#pragma once

#include "metadata/granule_items.h"
#include "metadata/scene_metadata.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pugi {
class xml_document;
class xml_node;
struct xml_node_struct;
} // namespace pugi

namespace aster {

// Reads granule metadata XML, ECS's (root GranuleMetaDataFile) or CMR's ECHO 10 (root
// Granule), through pugixml, parsed in place in a copy that the reader keeps from file to
// file. No DTD is ever read and no entity declared: a DOCTYPE that declares entities is
// refused, and a reference to any entity but XML's own five is unknown, so that no text is
// ever replaced or dropped. Every element is walked in document order, no deeper than
// kMaxNesting, so that the reason given is the first problem in the file, as a streaming
// parser would meet it.
class XmlGranuleReader {
    class Walker;

  public:
    XmlGranuleReader();
    XmlGranuleReader(const XmlGranuleReader&) = delete;
    XmlGranuleReader& operator=(const XmlGranuleReader&) = delete;
    ~XmlGranuleReader();

    // `layout` is what SniffLayout gives the text: EcsXml or Echo10.
    MetadataOrReason read(std::string_view text, MetadataLayout layout);

  private:
    // What an element's text is taken as.
    enum class Take : std::uint8_t {
        Nothing,
        Item, // one of GranuleItems' texts, m_item
        Longitude,
        Latitude,
        PsaName,
        PsaValue,
        Box, // a side of the bounding rectangle, m_boxSide
        Platform,
        Instrument,
        Single,    // a date and time, "2003-04-12T18:32:07.414Z"
        Beginning, // the same, a range's beginning
        Ending,    // the same, a range's end
        EndingDate,
        EndingTime,
        Cloud,
        GranuleUr, // ECHO 10's catalogue name, the granule ID where no producer's ID is given
    };

    // What a node other than an element holds for an element's text.
    enum class NodeText : std::uint8_t { Parsed, Cdata, None };

    void clear();
    std::optional<std::size_t> parse(std::string_view text);
    void findUnclosed(std::size_t errorAt);
    bool walkDocument();
    bool visit(const pugi::xml_node& node, std::size_t level);
    bool prolog(const pugi::xml_node& node);
    bool close();
    bool enter(const pugi::xml_node& node);
    bool start(const pugi::xml_node& node);
    bool attributesChecked(const pugi::xml_node& node);
    bool content(const pugi::xml_node& node, NodeText kind);
    bool finish(const pugi::xml_node& node);
    void collect(std::string_view piece);
    std::string* joined();
    bool collected(const pugi::xml_node& node);
    void timeCollected(Take take, std::string_view text);
    bool stop(std::size_t at, std::string why);
    MetadataOrReason complete();

    Take ecsTake(EcsName what, EcsName parent);
    Take echoTake(EcsName what, EcsName parent);
    Take polygonTake(EcsName what, EcsName parent);
    Take boxTake(EcsName what, EcsName parent);
    Take item(EcsName name, EcsName parent = EcsName::Other);
    bool pathIs(std::initializer_list<EcsName> names) const;

    std::size_t offsetOf(const char* inBuffer, std::size_t otherwise) const;
    std::size_t offsetOf(const pugi::xml_node& node) const;
    std::size_t endOf(const pugi::xml_node& node) const;

    std::unique_ptr<pugi::xml_document> m_document;
    std::string m_buffer;    // the copy parsed in place, its room kept from file to file
    std::string m_converted; // the text as UTF-8, for files in another encoding
    std::string_view m_text; // the UTF-8 text as it was, for offsets and lines
    bool m_hasReferences = false;
    bool m_plainAttributes = false; // no attribute needs a check
    bool m_plainTexts = false; // neither references nor carriage returns
    MetadataLayout m_layout = MetadataLayout::None;
    pugi::xml_node_struct* m_unclosed = nullptr; // the innermost element a failed parse left open

    std::string m_reason;
    std::size_t m_reasonAt = 0;
    std::array<EcsName, kMaxNesting> m_path{};
    std::array<pugi::xml_node_struct*, kMaxNesting> m_open{}; // the elements m_path names
    bool m_rootSeen = false;
    std::size_t m_depth = 0;
    Take m_take = Take::Nothing;
    EcsName m_item = EcsName::Other;
    EcsName m_itemParent = EcsName::Other; // the group it is in
    std::size_t m_collectDepth = 0;
    std::string_view m_piece; // a taken text of one piece, in m_buffer
    bool m_joined = false;    // else its pieces joined in m_collect
    std::string m_collect;
    std::size_t m_polygonLevel = 0; // depth of the GPolygon open, one at a time
    bool m_polygonDone = false;     // one was read: the next is a further polygon
    std::size_t m_cornerCount = 0;  // over every polygon, as reasons number them
    bool m_pointOpen = false;
    std::optional<double> m_pointLon;
    std::optional<double> m_pointLat;
    std::size_t m_boxLevel = 0; // the same for the first bounding rectangle
    bool m_boxDone = false;
    std::size_t m_boxSide = 0;
    std::array<std::optional<double>, 4> m_box; // west, east, north, south
    bool m_psaOpen = false;
    bool m_hasPsaName = false;
    bool m_hasPsaValue = false;
    std::optional<std::string>* m_psaItem = nullptr; // what the attribute's name gives
    std::string m_psaValue; // kept from attribute to attribute, so that it reuses its room
    std::optional<std::string> m_granuleUr;
    std::optional<std::string> m_cloudCover; // ECHO 10's own, before any attribute's
    std::optional<std::string> m_endingDate;
    std::optional<std::string> m_endingTime;
    std::vector<std::string> m_platforms;
    std::vector<std::string> m_instruments;
    GranuleItems m_items;
};

} // namespace aster
