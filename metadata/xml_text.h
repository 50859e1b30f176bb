#pragma once

#include "fileio/byte_block.h"
#include "metadata/scene_metadata.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace aster {

// What pugixml leaves to its caller, done once for the granule readers: the encodings read
// (those that granule files have been written in), the characters XML allows, the
// references in a text, and the root element's name in a file's first bytes.

enum class XmlEncoding { Utf8, Latin1, Utf16Le, Utf16Be };

// A byte order mark, else a UTF-16 "<" without one, else the XML declaration's encoding:
// ISO-8859-1 (or latin1) is read as such, every other name as UTF-8, which the text must
// then be.
XmlEncoding XmlEncodingOf(std::string_view head);

// The text as UTF-8 in `out` (replaced), without a byte order mark. Returns the offset in
// `out` where a code unit that encodes no character was met; the text is cut there.
std::optional<std::size_t> XmlTextToUtf8(std::string_view text, XmlEncoding encoding,
                                         std::string& out);

// What one pass over a text finds: the offset of the first byte that is not UTF-8 of a
// character XML allows (a control character other than tab and the line ends, a broken or
// overlong sequence, a surrogate), and whether it holds a '&' or a carriage return at all.
struct XmlTextScan {
    std::optional<std::size_t> firstNonXml;
    bool references = false;
    bool carriageReturns = false;
};
XmlTextScan ScanXmlText(std::string_view text, BlockScan how = BlockScan::Fastest);

// A text or attribute value as the file writes it, with its references checked and, when
// `out` is given, appended to `out` read: the five named entities, character references,
// and line ends as one '\n'. Any other entity is unknown (no entity is ever declared);
// a lone '&', or a reference to a character XML does not allow, is malformed.
struct XmlReferenceFault {
    enum Kind { Unknown, Malformed } kind;
    std::size_t at; // offset in the text of the '&'
};
std::optional<XmlReferenceFault> ReadXmlText(std::string_view raw, std::string* out);

// The layout that the root element's name gives (GranuleMetaDataFile, Granule, in any
// case) after the prolog of an XML head: the declaration, comments, processing
// instructions and a DOCTYPE are passed over. A DOCTYPE with declarations of its own names
// the layout by its name, as the root must repeat it: its declarations are not read here.
// None when the head is no such XML; nullopt when it ends in the prolog or in the root's
// start tag, so that only more of the file can tell.
std::optional<MetadataLayout> XmlRootLayout(std::string_view head);

// The line of an offset in a text, counted from 1.
std::size_t LineAt(std::string_view text, std::size_t offset);

} // namespace aster
