#pragma once

#include <string>
#include <vector>

namespace aster::test {

// Extract as its rules are written, without shortcuts: split the whole text into all its
// pieces at the start tag, take the second, split that at the end tag, take the first.
inline std::vector<std::string> SplitAll(const std::string& text, const std::string& tag) {
    if (text.empty())
        return {};
    if (tag.empty())
        return {text};
    std::vector<std::string> pieces;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t found = text.find(tag, pos);
        if (found == text.npos) {
            pieces.push_back(text.substr(pos));
            return pieces;
        }
        pieces.push_back(text.substr(pos, found - pos));
        pos = found + tag.size();
    }
}

inline std::string ReferenceExtract(const std::string& text, const std::string& start,
                                    const std::string& end) {
    const auto pieces = SplitAll(text, start);
    if (pieces.size() < 2)
        return {};
    const auto inner = SplitAll(pieces[1], end);
    return inner.empty() ? std::string() : inner[0];
}

} // namespace aster::test
