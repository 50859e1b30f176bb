#include "stac/licenses.h"

#include "fileio/ascii.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace aster {

namespace {

// Sorted by LessNoCase.
constexpr std::string_view kSpdxIds[] = {
#include "stac/spdx_license_ids.inc"
};

} // namespace

std::optional<std::string> CatalogueLicense(std::string_view id) {
    for (const std::string_view word : {std::string_view("proprietary"), std::string_view("various")})
        if (EqualsNoCase(id, word))
            return std::string(word);
    const auto* found = std::lower_bound(std::begin(kSpdxIds), std::end(kSpdxIds), id, LessNoCase);
    if (found != std::end(kSpdxIds) && EqualsNoCase(*found, id))
        return std::string(*found);
    return std::nullopt;
}

} // namespace aster
