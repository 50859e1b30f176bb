#include "fileio/folder.h"

namespace aster {

std::string NormalFolderPath(std::string_view path, std::string_view currentFolder) {
    std::string absolute;
    if (path.empty() || path.front() != '/') {
        absolute = currentFolder;
        absolute += '/';
    }
    absolute += path;
    std::string normal;
    std::size_t pos = 0;
    while (pos < absolute.size()) {
        std::size_t next = absolute.find('/', pos);
        if (next == std::string::npos)
            next = absolute.size();
        const std::string_view part = std::string_view(absolute).substr(pos, next - pos);
        if (part == "..") {
            const std::size_t slash = normal.rfind('/');
            normal.erase(slash == std::string::npos ? 0 : slash);
        } else if (!part.empty() && part != ".") {
            normal += '/';
            normal += part;
        }
        pos = next + 1;
    }
    return normal.empty() ? "/" : normal;
}

} // namespace aster
