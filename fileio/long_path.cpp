#include "fileio/long_path.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <fcntl.h>
#include <string_view>
#include <utility>

namespace aster {

namespace {

// PATH_MAX counts the terminating NUL.
constexpr std::size_t kMaxPathBytes = PATH_MAX - 1;

// Opens the leading folders of a `path` too long for one call, in pieces that fit, into
// `folder`, and gives the rest, which fits one call from there and ends `path`, so it is
// NUL-terminated. Nothing, with errno set, when a piece fails or none can be cut: then
// some name is longer than any file system's, or the path was never too long as a whole.
const char* OpenLeadingFolders(int folderFd, const char* path, UniqueFd& folder) {
    std::string_view rest(path);
    char piece[PATH_MAX];
    while (rest.size() > kMaxPathBytes) {
        const std::size_t cut = rest.rfind('/', kMaxPathBytes);
        if (cut == std::string_view::npos || cut == 0) {
            errno = ENAMETOOLONG;
            return nullptr;
        }
        piece[rest.copy(piece, cut)] = '\0';
        UniqueFd next(
            ::openat(folder ? folder.get() : folderFd, piece, O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!next)
            return nullptr;
        folder = std::move(next);
        rest.remove_prefix(std::min(rest.find_first_not_of('/', cut), rest.size()));
    }
    if (!folder) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // A trailing '/' asks for a folder, and the folder just opened is one.
    return rest.empty() ? "." : rest.data();
}

} // namespace

UniqueFd OpenAtAnyLength(int folderFd, const char* path, int flags) {
    UniqueFd file(::openat(folderFd, path, flags));
    if (file || errno != ENAMETOOLONG)
        return file;
    UniqueFd folder;
    const char* last = OpenLeadingFolders(folderFd, path, folder);
    if (last == nullptr)
        return {};
    return UniqueFd(::openat(folder.get(), last, flags));
}

int StatAtAnyLength(int folderFd, const char* path, struct stat& info, int flags) {
    if (::fstatat(folderFd, path, &info, flags) == 0)
        return 0;
    if (errno != ENAMETOOLONG)
        return -1;
    UniqueFd folder;
    const char* last = OpenLeadingFolders(folderFd, path, folder);
    if (last == nullptr)
        return -1;
    return ::fstatat(folder.get(), last, &info, flags);
}

} // namespace aster
