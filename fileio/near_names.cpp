#include "fileio/near_names.h"

#include "fileio/ascii.h"

#include <algorithm>

namespace aster {

namespace {

bool BeginsWith(std::string_view name, std::string_view start) {
    return StartsWithNoCase(name, start);
}

} // namespace

// The optimal string alignment distance, over three rows of the usual table.
std::size_t EditDistance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> before(b.size() + 1), last(b.size() + 1), row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        last[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const bool same = AsciiLower(a[i - 1]) == AsciiLower(b[j - 1]);
            row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same ? 0 : 1)});
            if (i > 1 && j > 1 && AsciiLower(a[i - 1]) == AsciiLower(b[j - 2]) &&
                AsciiLower(a[i - 2]) == AsciiLower(b[j - 1]))
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
        std::swap(before, last);
        std::swap(last, row);
    }
    return last[b.size()];
}

std::vector<std::string> NearestNames(std::string_view given,
                                      const std::vector<std::string>& choices) {
    std::vector<std::string> nearest;
    if (given.size() >= 2)
        for (const std::string& choice : choices)
            if (BeginsWith(choice, given))
                nearest.push_back(choice);
    if (!nearest.empty())
        return nearest;
    // Less than the length of `given`: changing all of a short name makes any other.
    std::size_t best = given.empty() ? 0 : std::min<std::size_t>(2, given.size() - 1);
    for (const std::string& choice : choices) {
        const std::size_t distance = EditDistance(given, choice);
        if (distance < best)
            nearest.clear();
        if (distance <= best) {
            best = distance;
            nearest.push_back(choice);
        }
    }
    return nearest;
}

} // namespace aster
