#pragma once

#include <string>
#include <string_view>

namespace aster {

// Every file the tool opens is named by the chosen folder plus one separator plus a
// name. The separator is added even after a trailing one: "//" names the same files,
// and users' list files and messages have always shown the paths built this way.
inline std::string FolderPrefix(std::string_view folder) {
    std::string prefix(folder);
    prefix += '/';
    return prefix;
}

} // namespace aster
