#include "metadata/scene_metadata.h"

#include "fileio/ascii.h"
#include "fileio/utf8.h"
#include "metadata/granule_items.h"
#include "metadata/odl_granule.h"
#include "metadata/ummg_granule.h"
#include "metadata/xml_granule.h"
#include "metadata/xml_text.h"

namespace aster {

namespace {

// Whether the head's first statement opens a GROUP or an OBJECT, after blanks, comments
// and a UTF-8 byte order mark.
bool StartsOdl(std::string_view head) {
    if (head.starts_with(kUtf8ByteOrderMark))
        head.remove_prefix(kUtf8ByteOrderMark.size());
    for (;;) {
        while (!head.empty() && IsAsciiBlank(head.front()))
            head.remove_prefix(1);
        if (!head.starts_with("/*"))
            break;
        const std::size_t close = head.find("*/", 2);
        if (close == head.npos)
            return false;
        head.remove_prefix(close + 2);
    }
    std::size_t keyword = 0;
    if (head.size() >= 5 && EqualsNoCase(head.substr(0, 5), "GROUP"))
        keyword = 5;
    else if (head.size() >= 6 && EqualsNoCase(head.substr(0, 6), "OBJECT"))
        keyword = 6;
    else
        return false;
    head.remove_prefix(keyword);
    while (!head.empty() && IsAsciiBlank(head.front()))
        head.remove_prefix(1);
    return head.starts_with('=');
}

std::string TooLarge() {
    return "larger than " + std::to_string(kMaxMetadataBytes >> 20) + " MiB";
}

std::string_view WithoutTrailingNuls(std::string_view text) {
    while (!text.empty() && text.back() == '\0')
        text.remove_suffix(1);
    return text;
}

} // namespace

SceneMetadataReader::SceneMetadataReader()
    : m_odl(std::make_unique<OdlGranuleReader>()), m_xml(std::make_unique<XmlGranuleReader>()),
      m_ummg(std::make_unique<UmmGranuleReader>()) {}

SceneMetadataReader::~SceneMetadataReader() = default;

MetadataOrReason SceneMetadataReader::read(std::string_view text) {
    if (text.size() > kMaxMetadataBytes)
        return {std::nullopt, TooLarge()};
    switch (const MetadataLayout layout = SniffLayout(text)) {
    case MetadataLayout::Odl:
        return m_odl->read(text);
    case MetadataLayout::EcsXml:
    case MetadataLayout::Echo10:
        return m_xml->read(text, layout);
    case MetadataLayout::UmmG:
        return m_ummg->read(text);
    case MetadataLayout::HdfEos:
    case MetadataLayout::None:
        break;
    }
    return {std::nullopt, "not scene metadata"};
}

MetadataOrReason SceneMetadataReader::readHdfTexts(std::string_view core,
                                                   std::string_view product) {
    if (core.size() > kMaxMetadataBytes || product.size() > kMaxMetadataBytes)
        return {std::nullopt, TooLarge()};
    return m_odl->readHdfTexts(WithoutTrailingNuls(core), WithoutTrailingNuls(product));
}

MetadataLayout SniffLayout(std::string_view head) {
    head = head.substr(0, kLayoutSniffBytes);
    if (StartsUmmG(head))
        return MetadataLayout::UmmG;
    if (StartsOdl(head))
        return MetadataLayout::Odl;
    return SniffXmlLayout(head);
}

MetadataOrReason ReadSceneMetadata(std::string_view text) {
    return SceneMetadataReader().read(text);
}

} // namespace aster
