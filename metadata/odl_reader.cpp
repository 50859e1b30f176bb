#include "metadata/odl_reader.h"

#include "metadata/granule_items.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace aster {

namespace {

// What the scanner needs to know of a byte, looked up once per byte.
enum ByteClass : std::uint8_t {
    kBlank = 1,    // space, tab, CR, LF, FF, VT
    kWord = 2,     // a byte of a bare word, except '/', which may open a comment
    kListStop = 4, // a byte a list's scan stops at: brackets, quotes, commas and '/'
};

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

constexpr std::array<std::uint8_t, 256> kClasses = [] {
    std::array<std::uint8_t, 256> classes{};
    for (std::size_t byte = 0; byte < classes.size(); ++byte) {
        const auto b = static_cast<std::uint8_t>(byte);
        if (b == ' ' || b == '\t' || b == '\r' || b == '\n' || b == '\f' || b == '\v')
            classes[byte] |= kBlank;
        if (IsWordByte(b) && b != '/')
            classes[byte] |= kWord;
        if (b == '(' || b == ')' || b == '{' || b == '}' || b == '"' || b == '\'' || b == ',' ||
            b == '/')
            classes[byte] |= kListStop;
    }
    return classes;
}();

std::uint8_t ClassOf(char c) {
    return kClasses[static_cast<std::uint8_t>(c)];
}

// Eight bytes as a number, the first byte lowest, whatever the machine's byte order.
std::uint64_t EightBytes(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return std::endian::native == std::endian::little ? word : __builtin_bswap64(word);
}

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;
constexpr std::uint64_t kLowBits = 0x7f7f7f7f7f7f7f7f;

// The high bit of each of the eight bytes that is below `limit` (at most 0x80), and no
// other bit. Exact for every byte: no carry crosses from one byte to the next.
constexpr std::uint64_t BytesBelow(std::uint64_t bytes, std::uint8_t limit) {
    return ~(((bytes & kLowBits) + kOnes * (0x80u - limit)) | bytes) & kHighBits;
}

constexpr std::uint64_t BytesEqual(std::uint64_t bytes, std::uint8_t value) {
    const std::uint64_t differ = bytes ^ (kOnes * value);
    return ~(((differ & kLowBits) + kLowBits) | differ) & kHighBits;
}

// The high bit of each of the eight bytes that is no blank.
constexpr std::uint64_t NonBlanks(std::uint64_t bytes) {
    const std::uint64_t controls = BytesBelow(bytes, '\r' + 1) & ~BytesBelow(bytes, '\t');
    return ~(BytesEqual(bytes, ' ') | controls) & kHighBits;
}

// Eight word bytes in a row, '/' not among them, as one bit each, the first byte lowest.
unsigned WordBytes(const char* bytes) {
    unsigned words = 0;
    for (unsigned i = 0; i < 8; ++i)
        words |= static_cast<unsigned>(ClassOf(bytes[i]) & kWord) << i;
    return words >> 1; // kWord is bit 1
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
class OdlScanner {
  public:
    OdlScanner(std::string_view text, OdlHandler& handler)
        : m_text(text.data()), m_size(text.size()), m_handler(handler) {}

    std::optional<std::string> run();

  private:
    // The reason kept by fail(), with its line.
    std::string reason() const;

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

    const char* m_text;
    std::size_t m_size;
    OdlHandler& m_handler;
    std::size_t m_depth = 0;
    const char* m_failure = nullptr;
    std::size_t m_failureAt = 0;
    std::size_t m_limit = 0;
    const char* m_unit = nullptr;
};

// The place after the comment that opens at `pos`.
std::size_t OdlScanner::skipComment(std::size_t pos) {
    const std::string_view rest(m_text + pos + 2, m_size - pos - 2);
    const std::size_t close = rest.find("*/");
    if (close == rest.npos)
        return fail("unclosed comment", pos);
    return pos + 2 + close + 2;
}

// Past blanks and comments. ECS aligns its values with long runs of spaces and indents
// every line, so they are passed eight bytes at a time.
std::size_t OdlScanner::skipBlanks(std::size_t pos) {
    for (;;) {
        char next;
        if (pos + 8 <= m_size) {
            const std::uint64_t bytes = EightBytes(m_text + pos);
            const std::uint64_t others = NonBlanks(bytes);
            if (others == 0) {
                pos += 8;
                continue;
            }
            const int shift = std::countr_zero(others) & ~7;
            pos += static_cast<std::size_t>(shift) / 8;
            next = static_cast<char>(bytes >> shift);
        } else {
            while (pos < m_size && (ClassOf(m_text[pos]) & kBlank))
                ++pos;
            if (pos == m_size)
                return pos;
            next = m_text[pos];
        }
        if (next != '/' || !commentAfterSlash(pos))
            return pos;
        pos = skipComment(pos);
        if (pos == kFailed)
            return pos;
    }
}

std::size_t OdlScanner::word(std::size_t pos, std::string_view& word) {
    const std::size_t start = pos;
    for (;;) {
        char next;
        if (pos + 8 <= m_size) {
            const unsigned words = WordBytes(m_text + pos);
            if (words == 0xff) {
                pos += 8;
                continue;
            }
            pos += static_cast<std::size_t>(std::countr_one(words));
            next = m_text[pos];
        } else {
            while (pos < m_size && (ClassOf(m_text[pos]) & kWord))
                ++pos;
            if (pos == m_size)
                break;
            next = m_text[pos];
        }
        // A '/' belongs to the word unless it opens a comment.
        if (next != '/' || commentAfterSlash(pos))
            break;
        ++pos;
    }
    word = std::string_view(m_text + start, pos - start);
    if (word.size() > kMaxTextBytes)
        return failOver("a word", kMaxTextBytes, "bytes", start);
    return pos;
}

std::size_t OdlScanner::quoted(std::size_t open, std::string_view& inside) {
    const void* close = std::memchr(m_text + open + 1, m_text[open], m_size - open - 1);
    if (close == nullptr)
        return fail("unclosed text", open);
    const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(close) - m_text);
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
        const char c = m_text[pos];
        if (!(ClassOf(c) & kListStop)) {
            ++pos;
            continue;
        }
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
        pos += close + 1;
    }
    return pos;
}

std::optional<std::string> OdlScanner::run() {
    std::size_t pos = std::string_view(m_text, m_size).starts_with("\xEF\xBB\xBF") ? 3 : 0;
    for (;;) {
        pos = skipBlanks(pos);
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
        pos = skipBlanks(pos);
        if (pos == kFailed)
            return reason();
        OdlValue assigned;
        if (pos < m_size && m_text[pos] == '=') {
            pos = skipBlanks(pos + 1);
            if (pos == kFailed)
                return reason();
            pos = value(pos, assigned);
            if (pos == kFailed)
                return reason();
        }
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

std::string OdlScanner::reason() const {
    // LF, CR LF and a CR alone each end a line.
    const char* const end = m_text + m_failureAt;
    auto line = 1 + std::count(m_text, end, '\n');
    for (const char* cr = std::find(m_text, end, '\r'); cr != end;
         cr = std::find(cr + 1, end, '\r')) {
        if (cr + 1 == m_text + m_size || cr[1] != '\n')
            ++line;
    }
    std::string what = m_failure;
    if (m_unit != nullptr)
        what += " of more than " + std::to_string(m_limit) + " " + m_unit;
    return what + " at line " + std::to_string(line);
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
