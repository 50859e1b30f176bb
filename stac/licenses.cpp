#include "stac/licenses.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace aster {

namespace {

// Sorted by LessNoCase.
constexpr std::string_view kSpdxIds[] = {
#include "stac/spdx_license_ids.inc"
};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool LessNoCase(std::string_view a, std::string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) {
                                            return static_cast<unsigned char>(Lower(x)) <
                                                   static_cast<unsigned char>(Lower(y));
                                        });
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    return !LessNoCase(a, b) && !LessNoCase(b, a);
}

} // namespace

std::optional<std::string> CatalogueLicense(std::string_view id) {
    for (const std::string_view word : {std::string_view("proprietary"), std::string_view("various")})
        if (EqualNoCase(id, word))
            return std::string(word);
    const auto* found = std::lower_bound(std::begin(kSpdxIds), std::end(kSpdxIds), id, LessNoCase);
    if (found != std::end(kSpdxIds) && EqualNoCase(*found, id))
        return std::string(*found);
    return std::nullopt;
}

} // namespace aster
