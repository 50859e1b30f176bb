#pragma once

#include "metadata/granule_items.h"
#include "metadata/scene_metadata.h"

#include <memory>
#include <string>
#include <string_view>

struct XML_ParserStruct;

namespace aster {

// Reads ECS granule metadata XML through expat, one file after another with the same
// parser, so that a reading thread keeps its parser and buffers from file to file.
// Entity declarations are refused, so no entity is ever expanded, and no external DTD or
// entity is ever loaded: the DOCTYPE line that real files carry only names one.
class XmlGranuleReader {
  public:
    XmlGranuleReader();
    XmlGranuleReader(const XmlGranuleReader&) = delete;
    XmlGranuleReader& operator=(const XmlGranuleReader&) = delete;
    ~XmlGranuleReader();

    // Whether the first bytes of a file are XML up to a first element GranuleMetaDataFile
    // (in any case). Expat reads them, so that the XML declaration, a byte order mark, the
    // encodings expat knows, comments and the DOCTYPE are all read as XML reads them.
    bool startsGranule(std::string_view head);

    MetadataOrReason read(std::string_view text);

  private:
    struct FreeParser {
        void operator()(XML_ParserStruct* parser) const;
    };

    bool reset();
    void stop(std::string_view why);
    void start(const char* name, const char** attributes);
    void finish();
    void text(std::string_view text);
    void collected();

    static void OnSniffStart(void* self, const char* name, const char** attributes);
    static void OnSniffDoctype(void* self, const char* name, const char* system,
                               const char* publicId, int internalSubset);
    static void OnEntity(void* self, const char* name, int parameter, const char* value,
                         int length, const char* base, const char* system, const char* publicId,
                         const char* notation);
    static void OnStart(void* self, const char* name, const char** attributes);
    static void OnEnd(void* self, const char* name);
    static void OnText(void* self, const char* text, int length);

    std::unique_ptr<XML_ParserStruct, FreeParser> m_parser;

    // The sniffing's findings.
    bool m_sniffedStart = false;
    bool m_sniffedGranule = false;
    bool m_doctypeGranule = false;
    bool m_sniffedEntity = false;

    // The reading's state: the names of the open elements, the text being collected, the
    // first polygon's corner, the additional attribute.
    std::string m_reason;
    std::array<EcsName, kMaxNesting> m_path{};
    std::size_t m_depth = 0;
    EcsName m_collecting = EcsName::Other;
    std::size_t m_collectDepth = 0;
    std::string m_text;
    std::size_t m_polygonLevel = 0; // depth of the first GPolygon while it is open
    bool m_polygonDone = false;
    bool m_pointOpen = false;
    std::optional<double> m_pointLon;
    std::optional<double> m_pointLat;
    bool m_psaOpen = false;
    bool m_hasPsaName = false;
    bool m_hasPsaValue = false;
    std::string m_psaName; // kept from attribute to attribute, so that they reuse their room
    std::string m_psaValue;
    GranuleItems m_items;
};

} // namespace aster
