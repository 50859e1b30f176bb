#include "metadata/odl_reader.h"

#include "fileio/ascii.h"
#include "fileio/byte_block.h"
#include "fileio/utf8.h"
#include "metadata/granule_items.h"
#include "metadata/odl_byte_map.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

namespace aster {

namespace {

// Bytes a bare word is made of: everything visible but ODL's punctuation. Bytes past
// ASCII belong to words, so names and values in any encoding pass through unchanged;
// control bytes do not, so binary junk stops the reading.
constexpr bool IsWordByte(std::uint8_t byte) {
    if (byte <= 0x20 || byte == 0x7f)
        return false;
    switch (byte) {
    case '=':
    case '(':
    case ')':
    case '{':
    case '}':
    case ',':
    case '"':
    case '\'':
    case '<':
    case '>':
        return false;
    default:
        return true;
    }
}

// A byte a list's scan stops at: brackets, quotes, commas and '/'.
constexpr bool IsListStop(char c) {
    switch (c) {
    case '(':
    case ')':
    case '{':
    case '}':
    case '"':
    case '\'':
    case ',':
    case '/':
        return true;
    default:
        return false;
    }
}

// The bytes among 32 that a list's scan stops at.
std::uint32_t ListStops(const ByteBlock& block) {
    return block.within('(', ')') | block.equal('{') | block.equal('}') | block.equal('"') |
           block.equal('\'') | block.equal(',') | block.equal('/');
}

// The value with its quotes removed, when it has a matching pair.
std::string_view Unquoted(std::string_view item) {
    if (item.size() >= 2 && (item.front() == '"' || item.front() == '\'') &&
        item.back() == item.front())
        return item.substr(1, item.size() - 2);
    return item;
}

// The end of the list value that starts at `pos`: the next comma outside quotes and
// brackets, or the end of the list.
std::size_t ItemEnd(std::string_view list, std::size_t pos) {
    std::size_t depth = 0;
    while (pos < list.size()) {
        const char c = list[pos];
        if (c == '"' || c == '\'') {
            const std::size_t close = list.find(c, pos + 1);
            if (close == list.npos)
                return list.size();
            pos = close + 1;
            continue;
        }
        if (c == '(' || c == '{')
            ++depth;
        else if ((c == ')' || c == '}') && depth > 0)
            --depth;
        else if (c == ',' && depth == 0)
            return pos;
        ++pos;
    }
    return pos;
}

// The statements that open and close blocks, and END.
enum class Keyword { Other, End, Open, Close };

constexpr NoCaseName kEnd("END");
constexpr NoCaseName kGroup("GROUP");
constexpr NoCaseName kObject("OBJECT");
constexpr NoCaseName kEndGroup("END_GROUP");
constexpr NoCaseName kEndObject("END_OBJECT");
constexpr NoCaseName kBeginGroup("BEGIN_GROUP");
constexpr NoCaseName kBeginObject("BEGIN_OBJECT");

Keyword KeywordOf(std::string_view name) {
    switch (name.size()) {
    case 3:
        return kEnd.matches(name) ? Keyword::End : Keyword::Other;
    case 5:
        return kGroup.matches(name) ? Keyword::Open : Keyword::Other;
    case 6:
        return kObject.matches(name) ? Keyword::Open : Keyword::Other;
    case 9:
        return kEndGroup.matches(name) ? Keyword::Close : Keyword::Other;
    case 10:
        return kEndObject.matches(name) ? Keyword::Close : Keyword::Other;
    case 11:
        return kBeginGroup.matches(name) ? Keyword::Open : Keyword::Other;
    case 12:
        return kBeginObject.matches(name) ? Keyword::Open : Keyword::Other;
    default:
        return Keyword::Other;
    }
}

// Reads the text from its start to its end or its END. Each step takes the place it
// starts from and gives the place after what it read, or kFailed with the reason kept;
// the steps are inlined into run(), so the place stays in a register. Lines are not
// counted on the way: a reason finds its line by counting the line breaks before the
// place it names.
//
// Where blanks and words end is worked out for the whole text first, as bitmaps, one bit
// a byte: a pass whose blocks do not wait on each other. Each step then finds its end
// from a word of a bitmap, so the chain of places that the steps wait on is short.
class OdlScanner {
  public:
    OdlScanner(std::string_view text, OdlHandler& handler)
        : m_text(text.data()), m_size(text.size()), m_handler(handler) {
        mapBytes();
    }

    std::optional<std::string> run();

  private:
    // The reason kept by fail(), with its line.
    std::string reason() const;
    std::size_t lineOf(std::size_t at) const;
    bool holdsStatements(std::size_t open) const;

    static constexpr std::size_t kFailed = std::string_view::npos;

    std::size_t fail(const char* what, std::size_t at) {
        m_failure = what;
        m_failureAt = at;
        return kFailed;
    }
    // A failure for passing a bound: "<what> of more than <limit> <unit>".
    std::size_t failOver(const char* what, std::size_t limit, const char* unit, std::size_t at) {
        m_limit = limit;
        m_unit = unit;
        return fail(what, at);
    }
    bool commentAfterSlash(std::size_t slash) const {
        return slash + 1 < m_size && m_text[slash + 1] == '*';
    }
    std::size_t skipComment(std::size_t pos);
    [[gnu::always_inline]] inline std::size_t skipBlanks(std::size_t pos);
    [[gnu::always_inline]] inline std::size_t word(std::size_t pos, std::string_view& word);
    std::size_t quoted(std::size_t pos, std::string_view& inside);
    std::size_t list(std::size_t pos, std::string_view& inside);
    [[gnu::always_inline]] inline std::size_t value(std::size_t pos, OdlValue& value);
    [[gnu::always_inline]] inline std::size_t assignment(std::size_t nameEnd, OdlValue& assigned);

    // Bit i of word i / 64 of a map is set when byte i is a blank (kBlanks); a blank or
    // '=' (kSpacing); or a word byte other than '/' (kWords). Bits from m_size on are clear.
    enum Map { kBlanks, kSpacing, kWords };
    static constexpr std::size_t kMaps = 3;

    void mapBytes();
    // The first place from `pos` on, at most m_size, whose bit in `map` is clear.
    [[gnu::always_inline]] inline std::size_t nextClear(Map map, std::size_t pos);
    // The same from the start of the word after `word`.
    std::size_t nextClearAfter(Map map, std::size_t word) const;
    void enterChunk(std::size_t chunk);

    const char* m_text;
    std::size_t m_size;
    OdlHandler& m_handler;
    // Texts of granule size are mapped on the stack.
    static constexpr std::size_t kLocalWords = 16 * 1024 / 64;
    std::array<std::uint64_t, kMaps * kLocalWords> m_localMaps;
    std::unique_ptr<std::uint64_t[]> m_largeMaps;
    std::array<const std::uint64_t*, kMaps> m_maps{};
    // The maps' words for the 64 bytes the walk is in (m_chunk). A step within them
    // shifts a word whose place was known before the step began: a load from the map
    // would first wait for the place the step starts from.
    std::size_t m_chunk = 0;
    std::array<std::uint64_t, kMaps> m_current{};
    std::size_t m_depth = 0;
    const char* m_failure = nullptr;
    std::size_t m_failureAt = 0;
    std::size_t m_lastText = kFailed; // where the last quoted text opens
    std::size_t m_limit = 0;
    const char* m_unit = nullptr;
};

void OdlScanner::mapBytes() {
    const std::size_t words = m_size / 64 + 1; // room for the clear bit at m_size
    std::uint64_t* maps = m_localMaps.data();
    if (words > kLocalWords) {
        m_largeMaps = std::make_unique_for_overwrite<std::uint64_t[]>(kMaps * words);
        maps = m_largeMaps.get();
    }
    std::uint64_t* const blanks = maps;
    std::uint64_t* const spacing = maps + words;
    std::uint64_t* const wordBytes = maps + 2 * words;
    const std::size_t whole = m_size / 64;
    MapOdlBytes(m_text, whole, {blanks, spacing, wordBytes});
    // The last bytes in a chunk of zeros: a zero byte is no blank, '=' or word byte, so
    // the bits from m_size on are clear.
    char last[64] = {};
    if (m_size > whole * 64)
        std::memcpy(last, m_text + whole * 64, m_size - whole * 64);
    MapOdlBytes(last, 1, {blanks + whole, spacing + whole, wordBytes + whole});
    m_maps = {blanks, spacing, wordBytes};
    enterChunk(0);
}

void OdlScanner::enterChunk(std::size_t chunk) {
    m_chunk = chunk;
    for (std::size_t map = 0; map < kMaps; ++map)
        m_current[map] = m_maps[map][chunk];
}

std::size_t OdlScanner::nextClear(Map map, std::size_t pos) {
    if (pos / 64 != m_chunk) [[unlikely]]
        enterChunk(pos / 64);
    const std::uint64_t clear = ~m_current[map] >> (pos % 64);
    if (clear != 0) [[likely]]
        return pos + static_cast<std::size_t>(std::countr_zero(clear));
    return nextClearAfter(map, pos / 64);
}

std::size_t OdlScanner::nextClearAfter(Map map, std::size_t word) const {
    std::uint64_t clear;
    do
        clear = ~m_maps[map][++word];
    while (clear == 0);
    return word * 64 + static_cast<std::size_t>(std::countr_zero(clear));
}

// The place after the comment that opens at `pos`.
std::size_t OdlScanner::skipComment(std::size_t pos) {
    const std::string_view rest(m_text + pos + 2, m_size - pos - 2);
    const std::size_t close = rest.find("*/");
    if (close == rest.npos)
        return fail("unclosed comment", pos);
    return pos + 2 + close + 2;
}

// Past blanks and comments.
std::size_t OdlScanner::skipBlanks(std::size_t pos) {
    for (;;) {
        pos = nextClear(kBlanks, pos);
        if (pos == m_size || m_text[pos] != '/' || !commentAfterSlash(pos))
            return pos;
        pos = skipComment(pos);
        if (pos == kFailed)
            return pos;
    }
}

std::size_t OdlScanner::word(std::size_t pos, std::string_view& word) {
    const std::size_t start = pos;
    for (;;) {
        pos = nextClear(kWords, pos);
        // A '/' belongs to the word unless it opens a comment.
        if (pos == m_size || m_text[pos] != '/' || commentAfterSlash(pos))
            break;
        ++pos;
    }
    word = std::string_view(m_text + start, pos - start);
    if (word.size() > kMaxTextBytes)
        return failOver("a word", kMaxTextBytes, "bytes", start);
    return pos;
}

std::size_t OdlScanner::quoted(std::size_t open, std::string_view& inside) {
    m_lastText = open;
    const char quote = m_text[open];
    std::size_t end;
    // Most texts close within a block; memchr's call costs more than the search there.
    const std::uint32_t closes =
        open + 1 + ByteBlock::kSize <= m_size ? ByteBlock(m_text + open + 1).equal(quote) : 0;
    if (closes != 0) {
        end = open + 1 + static_cast<std::size_t>(std::countr_zero(closes));
    } else {
        const void* close = std::memchr(m_text + open + 1, quote, m_size - open - 1);
        if (close == nullptr)
            return fail("unclosed text", open);
        end = static_cast<std::size_t>(static_cast<const char*>(close) - m_text);
    }
    inside = std::string_view(m_text + open + 1, end - open - 1);
    if (inside.size() > kMaxTextBytes)
        return failOver("a text", kMaxTextBytes, "bytes", open);
    return end + 1;
}

std::size_t OdlScanner::list(std::size_t start, std::string_view& inside) {
    constexpr std::size_t kMaxListNesting = 8;
    char closers[kMaxListNesting];
    std::size_t open = 0;
    std::size_t values = 1;
    std::size_t pos = start;
    while (pos < m_size) {
        if (pos + ByteBlock::kSize <= m_size) {
            const std::uint32_t stops = ListStops(ByteBlock(m_text + pos));
            if (stops == 0) {
                pos += ByteBlock::kSize;
                continue;
            }
            pos += static_cast<std::size_t>(std::countr_zero(stops));
        } else if (!IsListStop(m_text[pos])) {
            ++pos;
            continue;
        }
        const char c = m_text[pos];
        switch (c) {
        case '(':
        case '{':
            if (open == kMaxListNesting)
                return fail("nested too deeply", pos);
            closers[open++] = c == '(' ? ')' : '}';
            ++pos;
            break;
        case ')':
        case '}':
            if (closers[open - 1] != c)
                return fail("unreadable ODL", pos);
            ++pos;
            if (--open == 0) {
                inside = std::string_view(m_text + start + 1, pos - 2 - start);
                return pos;
            }
            break;
        case '"':
        case '\'': {
            std::string_view text;
            pos = quoted(pos, text);
            if (pos == kFailed)
                return pos;
            break;
        }
        case ',':
            if (++values > kMaxListValues)
                return failOver("a list", kMaxListValues, "values", pos);
            ++pos;
            break;
        default: // '/'
            if (commentAfterSlash(pos)) {
                pos = skipComment(pos);
                if (pos == kFailed)
                    return pos;
            } else {
                ++pos;
            }
            break;
        }
    }
    return fail("unclosed list", start);
}

std::size_t OdlScanner::value(std::size_t pos, OdlValue& value) {
    if (pos == m_size)
        return fail("no value", pos);
    const char c = m_text[pos];
    if (c == '"') {
        value.kind = OdlValue::Text;
        pos = quoted(pos, value.text);
    } else if (c == '\'') {
        value.kind = OdlValue::Word;
        pos = quoted(pos, value.text);
    } else if (c == '(' || c == '{') {
        value.kind = OdlValue::List;
        pos = list(pos, value.text);
    } else if (IsWordByte(static_cast<std::uint8_t>(c))) {
        value.kind = OdlValue::Word;
        pos = word(pos, value.text);
    } else {
        return fail("unreadable ODL", pos);
    }
    if (pos == kFailed)
        return pos;
    pos = skipBlanks(pos);
    // A unit after a number, as in 15.5 <DEG>, says nothing the reader uses: a '>' within
    // 256 bytes on the same line ends it.
    if (pos < m_size && m_text[pos] == '<') {
        const std::string_view unit(m_text + pos, std::min<std::size_t>(257, m_size - pos));
        const std::size_t close = unit.find('>');
        if (close == unit.npos || unit.substr(0, close).find('\n') != unit.npos)
            return fail("unreadable ODL", pos);
        pos = skipBlanks(pos + close + 1);
    }
    return pos;
}

// From the end of a statement's name: its '=' and value, if it has them, and the blanks
// after. Where the blanks and one '=' are all there is before the value, as ECS writes
// them, its start is found in one step, checked by the steps that find it the long way.
std::size_t OdlScanner::assignment(std::size_t nameEnd, OdlValue& assigned) {
    const std::size_t valueStart = nextClear(kSpacing, nameEnd);
    const std::size_t afterName = nextClear(kBlanks, nameEnd);
    if (valueStart == m_size || m_text[valueStart] != '/') {
        if (afterName == valueStart)
            return valueStart; // no '=': a statement without a value
        if (nextClear(kBlanks, afterName + 1) == valueStart)
            return value(valueStart, assigned);
    }
    // Comments, or more than one '='.
    std::size_t pos = skipBlanks(nameEnd);
    if (pos == kFailed || pos == m_size || m_text[pos] != '=')
        return pos;
    pos = skipBlanks(pos + 1);
    if (pos == kFailed)
        return pos;
    return value(pos, assigned);
}

std::optional<std::string> OdlScanner::run() {
    std::size_t pos = std::string_view(m_text, m_size).starts_with(kUtf8ByteOrderMark)
                          ? kUtf8ByteOrderMark.size()
                          : 0;
    // Each statement ends past the blanks after it, so that the next starts without a step
    // that the places would wait on.
    pos = skipBlanks(pos);
    for (;;) {
        if (pos == kFailed)
            return reason();
        if (pos == m_size)
            return std::nullopt; // no END: many files end without one
        const std::size_t start = pos;
        std::string_view name;
        pos = word(pos, name);
        if (pos == kFailed)
            return reason();
        if (name.empty()) {
            fail("unreadable ODL", start);
            return reason();
        }
        OdlValue assigned;
        pos = assignment(pos, assigned);
        if (pos == kFailed)
            return reason();
        switch (KeywordOf(name)) {
        case Keyword::End:
            return std::nullopt;
        case Keyword::Open:
            if (++m_depth > kMaxNesting) {
                fail("nested too deeply", start);
                return reason();
            }
            m_handler.begin(assigned.text);
            break;
        case Keyword::Close:
            if (m_depth > 0) {
                --m_depth;
                m_handler.end();
            }
            break;
        case Keyword::Other:
            if (assigned.kind != OdlValue::None)
                m_handler.assign(name, assigned);
            break;
        }
    }
}

std::size_t OdlScanner::lineOf(std::size_t at) const {
    // LF, CR LF and a CR alone each end a line.
    const char* const end = m_text + at;
    auto line = 1 + std::count(m_text, end, '\n');
    for (const char* cr = std::find(m_text, end, '\r'); cr != end;
         cr = std::find(cr + 1, end, '\r')) {
        if (cr + 1 == m_text + m_size || cr[1] != '\n')
            ++line;
    }
    return static_cast<std::size_t>(line);
}

// Whether the quoted text that opens at `open` holds a line that starts a statement, as a
// text whose closing quote is missing does: it then ends at the next statement's quote.
bool OdlScanner::holdsStatements(std::size_t open) const {
    const std::string_view rest(m_text + open + 1, m_size - open - 1);
    const std::string_view text = rest.substr(0, rest.find(m_text[open]));
    for (std::size_t pos = text.find_first_of("\r\n"); pos != text.npos;
         pos = text.find_first_of("\r\n", pos + 1)) {
        std::size_t start = pos + 1;
        while (start < text.size() && IsAsciiBlank(text[start]))
            ++start;
        const std::string_view line = text.substr(start);
        for (const std::string_view keyword : {"END_OBJECT", "END_GROUP", "OBJECT", "GROUP"}) {
            if (StartsWithNoCase(line, keyword) &&
                TrimBlanks(line.substr(keyword.size())).starts_with('='))
                return true;
        }
    }
    return false;
}

std::string OdlScanner::reason() const {
    std::string what = m_failure;
    if (m_unit != nullptr)
        what += " of more than " + std::to_string(m_limit) + " " + m_unit;
    what += " at line " + std::to_string(lineOf(m_failureAt));
    // The failure then comes later than the fault, wherever the next quote leads.
    if (m_lastText != kFailed && m_lastText < m_failureAt && holdsStatements(m_lastText))
        what += " (the quote at line " + std::to_string(lineOf(m_lastText)) + " seems unclosed)";
    return what;
}

} // namespace

std::optional<std::string> ReadOdl(std::string_view text, OdlHandler& handler) {
    return OdlScanner(text, handler).run();
}

std::string_view FirstOdlItem(const OdlValue& value) {
    if (value.kind != OdlValue::List)
        return value.text;
    return Unquoted(TrimBlanks(value.text.substr(0, ItemEnd(value.text, 0))));
}

void SplitOdlList(std::string_view list, std::vector<std::string_view>& items) {
    items.clear();
    if (TrimBlanks(list).empty())
        return;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t end = ItemEnd(list, pos);
        items.push_back(Unquoted(TrimBlanks(list.substr(pos, end - pos))));
        if (end == list.size())
            return;
        pos = end + 1;
    }
}

} // namespace aster
