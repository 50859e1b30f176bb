#include "metadata/odl_reader.h"

#include "metadata/granule_items.h"

#include <algorithm>
#include <cstdint>

namespace aster {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

// Bytes a bare word is made of: everything visible but ODL's punctuation. Bytes past
// ASCII belong to words, so names and values in any encoding pass through unchanged;
// control bytes do not, so binary junk stops the reading.
bool IsWordByte(char c) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte <= 0x20 || byte == 0x7f)
        return false;
    switch (c) {
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

std::size_t CountLines(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
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

class OdlScanner {
  public:
    OdlScanner(std::string_view text, OdlHandler& handler) : m_text(text), m_handler(handler) {}

    std::optional<std::string> run();

  private:
    bool fail(std::string_view what, std::size_t line) {
        m_reason = std::string(what) + " at line " + std::to_string(line);
        return false;
    }
    bool atComment() const {
        return m_pos + 1 < m_text.size() && m_text[m_pos] == '/' && m_text[m_pos + 1] == '*';
    }
    bool skipBlanks();
    bool word(std::string_view& word);
    bool quoted(std::string_view& inside);
    bool list(std::string_view& inside);
    bool value(OdlValue& value);

    std::string_view m_text;
    OdlHandler& m_handler;
    std::size_t m_pos = 0;
    std::size_t m_line = 1;
    std::size_t m_depth = 0;
    std::string m_reason;
};

bool OdlScanner::skipBlanks() {
    while (m_pos < m_text.size()) {
        const char c = m_text[m_pos];
        if (c == '\n') {
            ++m_line;
            ++m_pos;
        } else if (IsBlank(c)) {
            ++m_pos;
        } else if (atComment()) {
            const std::size_t close = m_text.find("*/", m_pos + 2);
            if (close == m_text.npos)
                return fail("unclosed comment", m_line);
            m_line += CountLines(m_text.substr(m_pos, close - m_pos));
            m_pos = close + 2;
        } else {
            break;
        }
    }
    return true;
}

bool OdlScanner::word(std::string_view& word) {
    const std::size_t start = m_pos;
    while (m_pos < m_text.size() && IsWordByte(m_text[m_pos]) && !atComment())
        ++m_pos;
    word = m_text.substr(start, m_pos - start);
    if (word.size() > kMaxTextBytes)
        return fail("a word of more than 65536 bytes", m_line);
    return true;
}

bool OdlScanner::quoted(std::string_view& inside) {
    const char quote = m_text[m_pos];
    const std::size_t close = m_text.find(quote, m_pos + 1);
    if (close == m_text.npos)
        return fail("unclosed text", m_line);
    inside = m_text.substr(m_pos + 1, close - m_pos - 1);
    if (inside.size() > kMaxTextBytes)
        return fail("a text of more than 65536 bytes", m_line);
    m_line += CountLines(inside);
    m_pos = close + 1;
    return true;
}

bool OdlScanner::list(std::string_view& inside) {
    constexpr std::size_t kMaxListNesting = 8;
    char closers[kMaxListNesting];
    std::size_t open = 0;
    std::size_t values = 1;
    const std::size_t startLine = m_line;
    const std::size_t start = m_pos + 1;
    while (m_pos < m_text.size()) {
        const char c = m_text[m_pos];
        switch (c) {
        case '(':
        case '{':
            if (open == kMaxListNesting)
                return fail("nested too deeply", m_line);
            closers[open++] = c == '(' ? ')' : '}';
            ++m_pos;
            break;
        case ')':
        case '}':
            if (closers[open - 1] != c)
                return fail("unreadable ODL", m_line);
            ++m_pos;
            if (--open == 0) {
                inside = m_text.substr(start, m_pos - 1 - start);
                return true;
            }
            break;
        case '"':
        case '\'': {
            std::string_view text;
            if (!quoted(text))
                return false;
            break;
        }
        case ',':
            if (++values > kMaxListValues)
                return fail("a list of more than 65536 values", m_line);
            ++m_pos;
            break;
        case '\n':
            ++m_line;
            ++m_pos;
            break;
        default:
            if (atComment()) {
                if (!skipBlanks())
                    return false;
            } else {
                ++m_pos;
            }
            break;
        }
    }
    return fail("unclosed list", startLine);
}

bool OdlScanner::value(OdlValue& value) {
    if (m_pos == m_text.size())
        return fail("no value", m_line);
    const char c = m_text[m_pos];
    bool read = false;
    if (c == '"') {
        value.kind = OdlValue::Text;
        read = quoted(value.text);
    } else if (c == '\'') {
        value.kind = OdlValue::Word;
        read = quoted(value.text);
    } else if (c == '(' || c == '{') {
        value.kind = OdlValue::List;
        read = list(value.text);
    } else if (IsWordByte(c)) {
        value.kind = OdlValue::Word;
        read = word(value.text);
    } else {
        return fail("unreadable ODL", m_line);
    }
    if (!read || !skipBlanks())
        return false;
    // A unit after a number, as in 15.5 <DEG>, says nothing the reader uses.
    if (m_pos < m_text.size() && m_text[m_pos] == '<') {
        const std::size_t close = m_text.find('>', m_pos);
        if (close == m_text.npos || close - m_pos > 256 ||
            m_text.substr(m_pos, close - m_pos).find('\n') != m_text.npos)
            return fail("unreadable ODL", m_line);
        m_pos = close + 1;
    }
    return true;
}

std::optional<std::string> OdlScanner::run() {
    if (m_text.starts_with("\xEF\xBB\xBF"))
        m_pos = 3;
    for (;;) {
        if (!skipBlanks())
            return m_reason;
        if (m_pos == m_text.size())
            return std::nullopt; // no END: many files end without one
        const std::size_t line = m_line;
        std::string_view name;
        if (!word(name))
            return m_reason;
        if (name.empty()) {
            fail("unreadable ODL", line);
            return m_reason;
        }
        if (!skipBlanks())
            return m_reason;
        OdlValue assigned;
        if (m_pos < m_text.size() && m_text[m_pos] == '=') {
            ++m_pos;
            if (!skipBlanks() || !value(assigned))
                return m_reason;
        }
        if (EqualsNoCase(name, "END"))
            return std::nullopt;
        if (EqualsNoCase(name, "GROUP") || EqualsNoCase(name, "OBJECT") ||
            EqualsNoCase(name, "BEGIN_GROUP") || EqualsNoCase(name, "BEGIN_OBJECT")) {
            if (++m_depth > kMaxNesting) {
                fail("nested too deeply", line);
                return m_reason;
            }
            m_handler.begin(assigned.text);
        } else if (EqualsNoCase(name, "END_GROUP") || EqualsNoCase(name, "END_OBJECT")) {
            if (m_depth > 0) {
                --m_depth;
                m_handler.end();
            }
        } else if (assigned.kind != OdlValue::None) {
            m_handler.assign(name, assigned);
        }
    }
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
