#include "listing/folders.h"

#include "fileio/directory.h"

#include <algorithm>
#include <unistd.h>

namespace aster {

std::string NormalFolderPath(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute.front() != '/') {
        std::vector<char> cwd(4096);
        if (::getcwd(cwd.data(), cwd.size()) != nullptr)
            absolute = std::string(cwd.data()) + "/" + absolute;
    }
    std::string normal;
    std::size_t pos = 0;
    while (pos < absolute.size()) {
        std::size_t next = absolute.find('/', pos);
        if (next == std::string::npos)
            next = absolute.size();
        const std::string part = absolute.substr(pos, next - pos);
        if (part == "..") {
            const std::size_t slash = normal.rfind('/');
            normal.erase(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            normal += "/" + part;
        }
        pos = next + 1;
    }
    return normal.empty() ? "/" : normal;
}

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
