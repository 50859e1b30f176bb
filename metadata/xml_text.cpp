#include "metadata/xml_text.h"

#include "fileio/byte_block.h"
#include "fileio/utf8.h"
#include "metadata/granule_items.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace aster {

namespace {

bool IsXmlBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view SkipXmlBlanks(std::string_view text) {
    while (!text.empty() && IsXmlBlank(text.front()))
        text.remove_prefix(1);
    return text;
}

bool IsXmlCharacter(std::uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void AppendUtf8(std::uint32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The declaration's encoding name, when the text starts with one that gives it.
std::string_view DeclaredEncoding(std::string_view head) {
    if (!head.starts_with("<?xml"))
        return {};
    head = head.substr(0, head.find("?>"));
    const std::size_t key = head.find("encoding");
    if (key == head.npos)
        return {};
    std::string_view rest = SkipXmlBlanks(head.substr(key + 8));
    if (!rest.starts_with('='))
        return {};
    rest = SkipXmlBlanks(rest.substr(1));
    if (rest.empty() || (rest.front() != '"' && rest.front() != '\''))
        return {};
    const std::size_t close = rest.find(rest.front(), 1);
    return close == rest.npos ? std::string_view() : rest.substr(1, close - 1);
}

std::optional<std::size_t> Utf16ToUtf8(std::string_view text, bool little, std::string& out) {
    const auto unit = [&](std::size_t i) {
        const auto a = static_cast<std::uint8_t>(text[i]);
        const auto b = static_cast<std::uint8_t>(text[i + 1]);
        return static_cast<std::uint32_t>(little ? (b << 8 | a) : (a << 8 | b));
    };
    std::size_t i = text.size() >= 2 && unit(0) == 0xFEFF ? 2 : 0;
    for (; i + 1 < text.size(); i += 2) {
        std::uint32_t c = unit(i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 3 < text.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return out.size();
        }
        AppendUtf8(c, out);
    }
    if (i < text.size())
        return out.size(); // half a code unit at the end
    return std::nullopt;
}

MetadataLayout LayoutOfRoot(std::string_view name) {
    if (EqualsNoCase(name, "GranuleMetaDataFile"))
        return MetadataLayout::EcsXml;
    if (EqualsNoCase(name, "Granule"))
        return MetadataLayout::Echo10;
    return MetadataLayout::None;
}

constexpr std::string_view kNameEnds = " \t\r\n/>[";

// Past a DOCTYPE (the text after "<!DOCTYPE"): the rest after it, or, when it has an
// internal subset or the head ends inside it, what its name gives.
std::optional<MetadataLayout> PassDoctype(std::string_view& text) {
    text = SkipXmlBlanks(text);
    const std::size_t nameEnd = text.find_first_of(kNameEnds);
    if (nameEnd == text.npos)
        return MetadataLayout::None;
    const std::string_view name = text.substr(0, nameEnd);
    for (std::size_t i = nameEnd; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"' || c == '\'') {
            i = text.find(c, i + 1);
            if (i == text.npos)
                return MetadataLayout::None;
        } else if (c == '[') {
            return LayoutOfRoot(name);
        } else if (c == '>') {
            text.remove_prefix(i + 1);
            return std::nullopt;
        }
    }
    return MetadataLayout::None;
}

} // namespace

XmlEncoding XmlEncodingOf(std::string_view head) {
    if (head.starts_with(kUtf8ByteOrderMark))
        return XmlEncoding::Utf8;
    if (head.starts_with("\xFF\xFE") || head.starts_with(std::string_view("<\0", 2)))
        return XmlEncoding::Utf16Le;
    if (head.starts_with("\xFE\xFF") || head.starts_with(std::string_view("\0<", 2)))
        return XmlEncoding::Utf16Be;
    const std::string_view declared = DeclaredEncoding(head);
    if (EqualsNoCase(declared, "ISO-8859-1") || EqualsNoCase(declared, "latin1"))
        return XmlEncoding::Latin1;
    return XmlEncoding::Utf8;
}

std::optional<std::size_t> XmlTextToUtf8(std::string_view text, XmlEncoding encoding,
                                         std::string& out) {
    out.clear();
    switch (encoding) {
    case XmlEncoding::Utf8:
        if (text.starts_with(kUtf8ByteOrderMark))
            text.remove_prefix(kUtf8ByteOrderMark.size());
        out.assign(text);
        return std::nullopt;
    case XmlEncoding::Latin1:
        out.reserve(text.size() * 2);
        for (const char c : text)
            AppendUtf8(static_cast<std::uint8_t>(c), out);
        return std::nullopt;
    case XmlEncoding::Utf16Le:
    case XmlEncoding::Utf16Be:
        out.reserve(text.size() / 2 * 3);
        return Utf16ToUtf8(text, encoding == XmlEncoding::Utf16Le, out);
    }
    return std::nullopt;
}

namespace {

// The bytes among 32 that are not ASCII characters XML allows: controls other than tab
// and the line ends, and every byte of a multi-byte sequence.
std::uint32_t NonPlainXmlBytes(const ByteBlock& block) {
    const std::uint32_t allowedControls = block.equal('\t') | block.equal('\n') | block.equal('\r');
    return (block.within(0, 0x1f) & ~allowedControls) | block.within(0x80, 0xff);
}

#if defined(ASTER_AVX2)
// From `i` on, past the blocks of 32 bytes that are all ASCII characters XML allows, with
// AVX2; whether a '&' or a carriage return was among them is added to the flags. Gives
// the first block that is not plain, or where fewer than 32 bytes are left.
[[gnu::target("avx2")]] std::size_t PassPlainBlocks(std::string_view text, std::size_t i,
                                                    std::uint32_t& ampersands,
                                                    std::uint32_t& carriageReturns) {
    const __m256i space = _mm256_set1_epi8(' ');
    __m256i ampersand = _mm256_setzero_si256();
    __m256i carriageReturn = _mm256_setzero_si256();
    for (; i + 32 <= text.size(); i += 32) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text.data() + i));
        // Signed, the bytes below a space are the controls and every byte from 0x80 on.
        const __m256i cr = _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\r'));
        const __m256i allowed =
            _mm256_or_si256(cr, _mm256_or_si256(_mm256_cmpeq_epi8(x, _mm256_set1_epi8('\t')),
                                                _mm256_cmpeq_epi8(x, _mm256_set1_epi8('\n'))));
        const __m256i others = _mm256_andnot_si256(allowed, _mm256_cmpgt_epi8(space, x));
        if (!_mm256_testz_si256(others, others))
            break;
        ampersand = _mm256_or_si256(ampersand, _mm256_cmpeq_epi8(x, _mm256_set1_epi8('&')));
        carriageReturn = _mm256_or_si256(carriageReturn, cr);
    }
    ampersands |= _mm256_testz_si256(ampersand, ampersand) ? 0 : 1;
    carriageReturns |= _mm256_testz_si256(carriageReturn, carriageReturn) ? 0 : 1;
    return i;
}
#endif

} // namespace

XmlTextScan ScanXmlText(std::string_view text, BlockScan how) {
    XmlTextScan scan;
    std::uint32_t ampersands = 0;
    std::uint32_t carriageReturns = 0;
    std::size_t i = 0;
    const auto finish = [&](std::optional<std::size_t> bad) {
        scan.firstNonXml = bad;
        // Past a byte that is no XML the flags come from a plain search of the rest.
        const std::string_view rest = text.substr(i);
        scan.references = ampersands != 0 || rest.find('&') != rest.npos;
        scan.carriageReturns = carriageReturns != 0 || rest.find('\r') != rest.npos;
        return scan;
    };
#if defined(ASTER_AVX2)
    const bool avx2 = UseAvx2(how);
#else
    (void)how;
#endif
    while (i < text.size()) {
#if defined(ASTER_AVX2)
        if (avx2)
            i = PassPlainBlocks(text, i, ampersands, carriageReturns);
#endif
        if (i + ByteBlock::kSize <= text.size()) {
            const ByteBlock block(text.data() + i);
            ampersands |= block.equal('&');
            carriageReturns |= block.equal('\r');
            const std::uint32_t others = NonPlainXmlBytes(block);
            if (others == 0) {
                i += ByteBlock::kSize;
                continue;
            }
            i += static_cast<std::size_t>(std::countr_zero(others));
        }
        // From the first byte that is not plain, eight bytes one at a time (a sequence may
        // run past them).
        for (const std::size_t end = std::min(i + 8, text.size()); i < end;) {
            const auto c = static_cast<std::uint8_t>(text[i]);
            if (c < 0x80) {
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    return finish(i);
                ampersands |= c == '&';
                carriageReturns |= c == '\r';
                ++i;
                continue;
            }
            const std::size_t length = Utf8SequenceLength(text.substr(i));
            // U+FFFE and U+FFFF are no characters either.
            if (length == 0 || (length == 3 && c == 0xEF && text[i + 1] == '\xBF' &&
                                (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')))
                return finish(i);
            i += length;
        }
    }
    return finish(std::nullopt);
}

namespace {

// The character of a reference's name ("#65", "#x41", "lt"), when it is one XML reads.
std::optional<std::uint32_t> ReferencedCharacter(std::string_view name) {
    constexpr std::array<std::pair<std::string_view, char>, 5> kNamed{
        {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}}};
    for (const auto& [entity, c] : kNamed) {
        if (name == entity)
            return static_cast<std::uint32_t>(c);
    }
    if (!name.starts_with('#'))
        return std::nullopt;
    name.remove_prefix(1);
    int base = 10;
    if (name.starts_with('x')) {
        name.remove_prefix(1);
        base = 16;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value, base);
    if (name.empty() || error != std::errc{} || end != name.data() + name.size() ||
        !IsXmlCharacter(value))
        return std::nullopt;
    return value;
}

} // namespace

std::optional<XmlReferenceFault> ReadXmlText(std::string_view raw, std::string* out) {
    // Longer than any name a reference to a character or a named entity has.
    constexpr std::size_t kLongestReference = 32;
    std::size_t i = 0;
    while (i < raw.size()) {
        std::size_t mark = i;
        while (mark < raw.size() && raw[mark] != '&' && (out == nullptr || raw[mark] != '\r'))
            ++mark;
        if (mark == raw.size())
            mark = raw.npos;
        if (out != nullptr)
            out->append(raw.substr(i, mark - i));
        if (mark == raw.npos)
            break;
        if (raw[mark] == '\r') {
            *out += '\n';
            i = mark + 1 < raw.size() && raw[mark + 1] == '\n' ? mark + 2 : mark + 1;
            continue;
        }
        const std::size_t end = raw.substr(0, mark + 1 + kLongestReference).find(';', mark + 1);
        if (end == raw.npos)
            return XmlReferenceFault{XmlReferenceFault::Malformed, mark};
        const std::string_view name = raw.substr(mark + 1, end - mark - 1);
        const std::optional<std::uint32_t> c = ReferencedCharacter(name);
        if (!c) {
            const bool isName = !name.empty() && !name.starts_with('#') &&
                                name.find_first_of(" \t\r\n&<>\"'") == name.npos;
            return XmlReferenceFault{
                isName ? XmlReferenceFault::Unknown : XmlReferenceFault::Malformed, mark};
        }
        if (out != nullptr)
            AppendUtf8(*c, *out);
        i = end + 1;
    }
    return std::nullopt;
}

std::optional<MetadataLayout> XmlRootLayout(std::string_view head) {
    const XmlEncoding encoding = XmlEncodingOf(head);
    std::string decoded;
    if (encoding != XmlEncoding::Utf8) {
        XmlTextToUtf8(head, encoding, decoded); // a fault only cuts the head short
        head = decoded;
    } else if (head.starts_with(kUtf8ByteOrderMark)) {
        head.remove_prefix(kUtf8ByteOrderMark.size());
    }
    // Past what ends with `close`, found from `from` on; false when the head ends first.
    const auto pass = [&head](std::string_view close, std::size_t from) {
        const std::size_t at = head.find(close, from);
        if (at != head.npos)
            head.remove_prefix(at + close.size());
        return at != head.npos;
    };
    for (;;) {
        head = SkipXmlBlanks(head);
        if (head.starts_with("<?")) {
            if (!pass("?>", 2))
                return std::nullopt;
        } else if (head.starts_with("<!--")) {
            if (!pass("-->", 4))
                return std::nullopt;
        } else if (head.starts_with("<!DOCTYPE")) {
            head.remove_prefix(9);
            if (const std::optional<MetadataLayout> named = PassDoctype(head))
                return *named;
        } else {
            break;
        }
    }
    if (!head.starts_with('<'))
        return MetadataLayout::None;
    const std::size_t nameEnd = head.find_first_of(kNameEnds, 1);
    // The start tag must be whole: its name ended, its '>' in the head.
    if (nameEnd == head.npos || head.find('>', nameEnd) == head.npos)
        return std::nullopt;
    return LayoutOfRoot(head.substr(1, nameEnd - 1));
}

std::size_t LineAt(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

} // namespace aster
