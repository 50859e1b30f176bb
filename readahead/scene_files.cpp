#include "readahead/scene_files.h"

#include "fileio/long_path.h"
#include "fileio/unique_fd.h"
#include "fileio/whole_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

namespace {

// A name holding * or ? is never read: it would not name one file on every file system the
// folder may come from. The system would cut a path at a NUL byte and open a shorter
// name: such a path names no scene file either.
bool NamesNoSingleFile(std::string_view path) {
    return path.find_first_of(std::string_view("*?\0", 3)) != path.npos;
}

constexpr auto kMaxSceneBytes = static_cast<off_t>(kMaxWholeSceneBytes);

bool IsHiddenName(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = slash == path.npos ? path : path.substr(slash + 1);
    return !name.empty() && name.front() == '.';
}

} // namespace

ScenePath ListedScenePath(const std::string& fullPath, std::size_t prefixSize, int folderFd,
                          bool wildcardsInLineOnly) {
    const std::size_t start = fullPath.find_first_not_of('/', prefixSize);
    return {fullPath, folderFd, start == std::string::npos ? "." : fullPath.c_str() + start,
            wildcardsInLineOnly};
}

std::optional<std::size_t> SceneFileSize(const ScenePath& path, FileIdentity* identity,
                                         bool anySize) {
    if (identity != nullptr)
        *identity = {};
    const std::string& full = path.full;
    const std::string_view named = path.wildcardsInLineOnly ? std::string_view(path.relative)
                                                            : std::string_view(full);
    if (full.empty() || NamesNoSingleFile(named) || IsHiddenName(full))
        return std::nullopt;
    struct stat info {};
    if (StatAtAnyLength(path.folderFd, path.relative, info, 0) != 0)
        return std::nullopt;
    if (identity != nullptr)
        *identity = IdentityOf(info);
    if (!S_ISREG(info.st_mode))
        return std::nullopt;
    if (info.st_size <= 0 || (info.st_size > kMaxSceneBytes && !anySize))
        return std::nullopt;
    return static_cast<std::size_t>(info.st_size);
}

std::string UnreadSceneReason(const std::string& fullPath, std::size_t prefixSize) {
    if (fullPath.find('\0') != std::string::npos)
        return "its name holds a NUL byte";
    if (NamesNoSingleFile(std::string_view(fullPath).substr(std::min(prefixSize, fullPath.size()))))
        return "its name holds * or ?, so it names no single file";
    if (IsHiddenName(fullPath))
        return "a hidden file";
    struct stat info {};
    if (StatAtAnyLength(AT_FDCWD, fullPath.c_str(), info, 0) != 0)
        return errno == ENOENT ? "no such file" : std::strerror(errno);
    struct stat link {};
    if (S_ISDIR(info.st_mode) &&
        StatAtAnyLength(AT_FDCWD, fullPath.c_str(), link, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(link.st_mode))
        return "a link to a folder, which is not followed";
    if (S_ISDIR(info.st_mode))
        return "a folder";
    if (!S_ISREG(info.st_mode))
        return "not a regular file";
    if (info.st_size == 0)
        return "an empty file";
    if (info.st_size > kMaxSceneBytes)
        return "larger than 1 GiB";
    const UniqueFd fd(
        OpenAtAnyLength(AT_FDCWD, fullPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd)
        return std::strerror(errno);
    // The read's own error (EIO on a share), as an open's or a stat's is named.
    char first = 0;
    if (::read(fd.get(), &first, 1) < 0 && errno != EAGAIN)
        return std::strerror(errno);
    return "could not be read";
}

UniqueFd OpenSceneFile(const ScenePath& path) {
    // O_NONBLOCK: should the path be swapped for a FIFO after the stat, the read below
    // finds nothing instead of waiting for a writer. No second stat: one per file is
    // all the run can afford on a folder of 100,000 scenes.
    return OpenAtAnyLength(path.folderFd, path.relative,
                           O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

std::optional<std::size_t> ReadUpTo(int fd, std::size_t size, char* buffer) {
    // A file that shrank since the stat holds what is there; an error, or EAGAIN from a
    // FIFO put in the file's place, leaves it unread.
    std::size_t got = 0;
    if (ReadFully(fd, buffer, size, got) != 0)
        return std::nullopt;
    return got;
}

std::optional<std::size_t> ReadSceneFile(const ScenePath& path, std::size_t size, char* buffer) {
    const UniqueFd file = OpenSceneFile(path);
    if (!file)
        return std::nullopt;
    return ReadUpTo(file.get(), size, buffer);
}

std::string_view SceneFileReader::read(const std::string& FileFullPath) {
    return read(ScenePath{FileFullPath, AT_FDCWD, FileFullPath.c_str()});
}

std::string_view SceneFileReader::read(const ScenePath& path, FileIdentity* identity) {
    const std::optional<std::size_t> size = SceneFileSize(path, identity);
    if (!size)
        return {};
    if (*size > m_capacity) {
        m_buffer.reset();
        m_capacity = 0;
        m_buffer.reset(new (std::nothrow) char[*size]);
        if (!m_buffer)
            return {};
        m_capacity = *size;
    }
    const std::optional<std::size_t> got = ReadSceneFile(path, *size, m_buffer.get());
    if (!got)
        return {};
    return {m_buffer.get(), *got};
}

std::string ReadFileContents(const std::string& FileFullPath) {
    SceneFileReader reader;
    return std::string(reader.read(FileFullPath));
}

} // namespace aster
