#include "metadata/scene_metadata.h"

#include "fileio/ascii.h"
#include "fileio/utf8.h"
#include "metadata/granule_items.h"
#include "metadata/odl_granule.h"
#include "metadata/ummg_granule.h"
#include "metadata/xml_granule.h"
#include "metadata/xml_text.h"

#include <array>
#include <utility>

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
    return {std::nullopt, NoLayoutReason(text)};
}

MetadataOrReason SceneMetadataReader::readHdfTexts(std::string_view core,
                                                   std::string_view product) {
    if (core.size() > kMaxMetadataBytes || product.size() > kMaxMetadataBytes)
        return {std::nullopt, TooLarge()};
    return m_odl->readHdfTexts(WithoutTrailingNuls(core), WithoutTrailingNuls(product));
}

namespace {

// The layout, or nothing where the text ends in XML's prolog, so that only more can tell.
std::optional<MetadataLayout> LayoutOf(std::string_view text) {
    const std::string_view head = text.substr(0, kLayoutSniffBytes);
    if (StartsUmmG(head))
        return MetadataLayout::UmmG;
    if (StartsOdl(head))
        return MetadataLayout::Odl;
    // XML's prolog may run past the head (a long comment): larger XML is refused anyway.
    return XmlRootLayout(text.substr(0, kMaxXmlBytes));
}

} // namespace

MetadataLayout SniffLayout(std::string_view text) {
    return LayoutOf(text).value_or(MetadataLayout::None);
}

std::string NoLayoutReason(std::string_view head) {
    using namespace std::string_view_literals;
    constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kCompressed{{
        {"\x1F\x8B"sv, "gzip"sv},
        {"\xFD"
         "7zXZ\0"sv,
         "xz"sv},
        {"\x28\xB5\x2F\xFD"sv, "zstd"sv},
        {"PK\x03\x04"sv, "zip"sv},
        {"BZh"sv, "bzip2"sv},
    }};
    for (const auto& [magic, name] : kCompressed) {
        // bzip2's three letters are followed by its block size, a digit from 1.
        if (head.starts_with(magic) &&
            (name != "bzip2" || (head.size() > 3 && head[3] >= '1' && head[3] <= '9')))
            return "compressed (" + std::string(name) + "): uncompress it first";
    }
    // HDF5's signature starts the file or a user block of 512 bytes times a power of two.
    constexpr std::string_view kHdf5 = "\x89HDF\r\n\x1A\n"sv;
    for (std::size_t at = 0; at + kHdf5.size() <= head.size(); at = at == 0 ? 512 : at * 2)
        if (head.substr(at).starts_with(kHdf5))
            return "HDF5 (HDF-EOS5, netCDF-4), whose metadata is not read: list its .xml or "
                   ".met file instead";
    return "not scene metadata";
}

bool MayBeSceneMetadata(std::string_view head) {
    const std::optional<MetadataLayout> layout = LayoutOf(head);
    return !layout || *layout != MetadataLayout::None;
}

MetadataOrReason ReadSceneMetadata(std::string_view text) {
    return SceneMetadataReader().read(text);
}

} // namespace aster
