#include "fileio/folder.h"

#include <climits>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace aster {

std::optional<Error> NormalFolderPath(std::string_view path, std::string& normal) {
    std::string absolute;
    if (path.empty() || path.front() != '/') {
        std::error_code error;
        absolute = std::filesystem::current_path(error).native();
        if (error)
            return Error{error.value(), "Cannot find the current folder: " + error.message(),
                         {}, ErrorKind::NoCurrentFolder};
        absolute += '/';
    }
    absolute += path;
    normal.clear();
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
    if (normal.empty())
        normal.push_back('/');
    return std::nullopt;
}

std::string ProgramFolder() {
    char path[PATH_MAX];
    const ssize_t size = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (size <= 0)
        return {};
    const std::string_view program(path, static_cast<std::size_t>(size));
    const std::size_t slash = program.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(program.substr(0, slash));
}

} // namespace aster
