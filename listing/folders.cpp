#include "listing/folders.h"

#include "fileio/directory.h"

#include <algorithm>

namespace aster {

std::optional<Error> ReadSubfolders(const std::string& folder, std::vector<std::string>& names,
                                    const KeepReading& keepReading) {
    const auto visit = [&names](const DirectoryEntry& entry) {
        // Only a link needs a look at its target; the entry's type says the rest.
        if (entry.name().front() != '.' && entry.leadsToFolder())
            names.emplace_back(entry.name());
    };
    if (auto error = ReadDirectory(folder, visit, keepReading))
        return error;
    std::sort(names.begin(), names.end());
    return std::nullopt;
}

} // namespace aster
