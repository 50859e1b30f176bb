#pragma once

#include "fileio/error.h"

#include <optional>
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
// The folder as messages name it: the prefix without the separator FolderPrefix added.
inline std::string_view FolderOfPrefix(std::string_view prefix) {
    return prefix.size() > 1 ? prefix.substr(0, prefix.size() - 1) : prefix;
}

// `path` in normal form: absolute, with no "." or empty components and no trailing
// separator except for the root. ".." takes away the component before it by name, as the
// folder list shows the path. A relative path starts from the current folder, however
// long its path; the error says when that has gone (removed while the program ran in it).
std::optional<Error> NormalFolderPath(std::string_view path, std::string& normal);

// The path the folder list shows and opens for `name` inside `folder`: one separator
// between them, none doubled after the root.
inline std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

// The folder of the running program, through the kernel's own link to it; empty when
// the kernel does not say.
std::string ProgramFolder();

// The part of a path after its last '/'.
inline std::string_view FileNameOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == path.npos ? path : path.substr(slash + 1);
}

} // namespace aster
