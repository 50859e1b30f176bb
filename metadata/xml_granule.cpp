#include "metadata/xml_granule.h"

#include <cstring>
#include <expat.h>
#include <limits>

namespace aster {

static_assert(sizeof(XML_Char) == 1, "expat must hand over UTF-8");

void XmlGranuleReader::FreeParser::operator()(XML_ParserStruct* parser) const {
    XML_ParserFree(parser);
}

XmlGranuleReader::XmlGranuleReader() : m_parser(XML_ParserCreate(nullptr)) {}

XmlGranuleReader::~XmlGranuleReader() = default;

// Makes the parser ready for a new document; expat clears every handler on a reset.
bool XmlGranuleReader::reset() {
    if (!m_parser)
        m_parser.reset(XML_ParserCreate(nullptr));
    else if (XML_ParserReset(m_parser.get(), nullptr) != XML_TRUE)
        m_parser.reset(XML_ParserCreate(nullptr));
    if (!m_parser)
        return false;
    XML_SetUserData(m_parser.get(), this);
    XML_SetParamEntityParsing(m_parser.get(), XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetEntityDeclHandler(m_parser.get(), &OnEntity);
    return true;
}

void XmlGranuleReader::stop(std::string_view why) {
    if (m_reason.empty()) {
        m_reason = why;
        m_reason += " at line " + std::to_string(XML_GetCurrentLineNumber(m_parser.get()));
    }
    XML_StopParser(m_parser.get(), XML_FALSE);
}

void XmlGranuleReader::OnSniffStart(void* self, const char* name, const char**) {
    auto& reader = *static_cast<XmlGranuleReader*>(self);
    reader.m_sniffedStart = true;
    reader.m_sniffedGranule = EqualsNoCase(name, "GranuleMetaDataFile");
    XML_StopParser(reader.m_parser.get(), XML_FALSE);
}

void XmlGranuleReader::OnSniffDoctype(void* self, const char* name, const char*, const char*,
                                      int) {
    static_cast<XmlGranuleReader*>(self)->m_doctypeGranule =
        EqualsNoCase(name, "GranuleMetaDataFile");
}

void XmlGranuleReader::OnEntity(void* self, const char*, int, const char*, int, const char*,
                                const char*, const char*, const char*) {
    auto& reader = *static_cast<XmlGranuleReader*>(self);
    reader.m_sniffedEntity = true;
    reader.stop("entity declaration refused");
}

bool XmlGranuleReader::startsGranule(std::string_view head) {
    m_sniffedStart = m_sniffedGranule = m_doctypeGranule = m_sniffedEntity = false;
    if (!reset() || head.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return false;
    XML_SetStartElementHandler(m_parser.get(), &OnSniffStart);
    XML_SetStartDoctypeDeclHandler(m_parser.get(), &OnSniffDoctype);
    XML_Parse(m_parser.get(), head.data(), static_cast<int>(head.size()), XML_FALSE);
    m_reason.clear();
    if (m_sniffedStart)
        return m_sniffedGranule;
    // A granule that declares entities before its root is still a granule, to be refused
    // with its reason rather than called no metadata.
    return m_sniffedEntity && m_doctypeGranule;
}

void XmlGranuleReader::OnStart(void* self, const char* name, const char** attributes) {
    static_cast<XmlGranuleReader*>(self)->start(name, attributes);
}

void XmlGranuleReader::OnEnd(void* self, const char*) {
    static_cast<XmlGranuleReader*>(self)->finish();
}

void XmlGranuleReader::OnText(void* self, const char* text, int length) {
    static_cast<XmlGranuleReader*>(self)->text({text, static_cast<std::size_t>(length)});
}

void XmlGranuleReader::start(const char* name, const char** attributes) {
    if (m_depth == kMaxNesting)
        return stop("nested too deeply");
    for (const char** attribute = attributes; *attribute != nullptr; attribute += 2) {
        if (std::strlen(attribute[1]) > kMaxTextBytes)
            return stop("an attribute of more than 65536 bytes");
    }
    const EcsName what = EcsNameOf(name);
    if (m_depth == 0 && what != EcsName::GranuleMetaDataFile) {
        m_reason = "not scene metadata";
        XML_StopParser(m_parser.get(), XML_FALSE);
        return;
    }
    const EcsName parent = m_depth > 0 ? m_path[m_depth - 1] : EcsName::Other;
    m_path[m_depth++] = what;
    bool collect = false;
    switch (what) {
    case EcsName::GPolygon:
        if (!m_polygonDone && m_polygonLevel == 0)
            m_polygonLevel = m_depth;
        break;
    case EcsName::Point:
        // GPolygon/Boundary/Point of the first polygon only.
        if (parent == EcsName::Boundary && m_polygonLevel != 0 && m_polygonLevel + 2 == m_depth) {
            m_pointOpen = true;
            m_pointLon.reset();
            m_pointLat.reset();
        }
        break;
    case EcsName::PointLongitude:
    case EcsName::PointLatitude:
        collect = parent == EcsName::Point && m_pointOpen;
        break;
    case EcsName::Psa:
        m_psaOpen = true;
        m_hasPsaName = m_hasPsaValue = false;
        break;
    case EcsName::PsaName:
    case EcsName::PsaValue:
        collect = parent == EcsName::Psa && m_psaOpen;
        break;
    default:
        collect = IsTextItem(what) && !m_items.hasText(what);
        break;
    }
    if (collect && m_collecting == EcsName::Other) {
        m_collecting = what;
        m_collectDepth = m_depth;
        m_text.clear();
    }
}

void XmlGranuleReader::text(std::string_view text) {
    if (m_collecting == EcsName::Other || m_depth != m_collectDepth)
        return;
    if (m_text.size() + text.size() > kMaxTextBytes)
        return stop("a text of more than 65536 bytes");
    m_text += text;
}

void XmlGranuleReader::collected() {
    const std::string_view text = TrimBlanks(m_text);
    const EcsName what = m_collecting;
    m_collecting = EcsName::Other;
    switch (what) {
    case EcsName::PointLongitude:
    case EcsName::PointLatitude: {
        std::optional<double>& value = what == EcsName::PointLongitude ? m_pointLon : m_pointLat;
        if (value)
            return;
        value = ParseNumber(text);
        if (!value)
            stop("corner " + std::to_string(m_items.corners.size() + 1) + " is not a number");
        return;
    }
    case EcsName::PsaName:
        if (!m_hasPsaName)
            m_psaName.assign(text);
        m_hasPsaName = true;
        return;
    case EcsName::PsaValue:
        if (!m_hasPsaValue)
            m_psaValue.assign(text);
        m_hasPsaValue = true;
        return;
    default:
        m_items.setText(what, text);
        return;
    }
}

void XmlGranuleReader::finish() {
    const EcsName what = m_path[--m_depth];
    if (m_collecting != EcsName::Other && m_depth + 1 == m_collectDepth)
        collected();
    if (what == EcsName::Point && m_pointOpen && m_depth + 1 == m_polygonLevel + 2) {
        m_pointOpen = false;
        const std::string corner = "corner " + std::to_string(m_items.corners.size() + 1);
        if (!m_pointLon)
            return stop(corner + " has no longitude");
        if (!m_pointLat)
            return stop(corner + " has no latitude");
        if (m_items.corners.size() == kMaxListValues)
            return stop("more than 65536 corners");
        m_items.corners.push_back({*m_pointLon, *m_pointLat});
    } else if (what == EcsName::GPolygon && m_polygonLevel == m_depth + 1) {
        m_polygonLevel = 0;
        m_polygonDone = true;
    } else if (what == EcsName::Psa && m_psaOpen) {
        m_psaOpen = false;
        if (m_hasPsaName && m_hasPsaValue)
            m_items.noteAttribute(m_psaName, m_psaValue);
    }
}

MetadataOrReason XmlGranuleReader::read(std::string_view text) {
    m_reason.clear();
    m_depth = 0;
    m_collecting = EcsName::Other;
    m_polygonLevel = 0;
    m_polygonDone = m_pointOpen = m_psaOpen = false;
    m_items = GranuleItems{};
    if (text.size() > kMaxMetadataBytes)
        return {std::nullopt, "larger than 16 MiB"};
    if (!reset())
        return {std::nullopt, "no memory to read XML"};
    XML_SetElementHandler(m_parser.get(), &OnStart, &OnEnd);
    XML_SetCharacterDataHandler(m_parser.get(), &OnText);
    if (XML_Parse(m_parser.get(), text.data(), static_cast<int>(text.size()), XML_TRUE) !=
        XML_STATUS_OK) {
        if (!m_reason.empty())
            return {std::nullopt, m_reason};
        return {std::nullopt, "unreadable XML at line " +
                                  std::to_string(XML_GetErrorLineNumber(m_parser.get()))};
    }
    return CompleteMetadata(m_items, MetadataLayout::EcsXml);
}

} // namespace aster
