#pragma once

#include <string>
#include <string_view>

namespace aster {

// A name (table, column, trigger) as SQL writes it: in double quotes, each inner quote
// doubled, so that any layer name, quotes and all, stays one name.
inline std::string QuotedName(std::string_view name) {
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"')
            quoted += c;
    }
    return quoted + "\"";
}

// A text as an SQL literal: in single quotes, each inner quote doubled.
inline std::string QuotedText(std::string_view text) {
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c;
        if (c == '\'')
            quoted += c;
    }
    return quoted + "'";
}

} // namespace aster
