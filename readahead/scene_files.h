#pragma once

#include "fileio/unique_fd.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <type_traits>

namespace aster {

// A listed file: its full path, and where the system calls find it. A run opens its folder
// once and finds each file from there, which spares the system walking the folder's path
// again for every file; elsewhere `relative` is the full path itself.
struct ScenePath {
    const std::string& full;
    int folderFd;
    const char* relative;
    // Whether a * or ? refuses the listed line alone, not the chosen folder's path.
    bool wildcardsInLineOnly = false;
};
// The path a run uses for the line of a list read in the folder `folderFd`: the line, with
// the separators that the folder prefix makes redundant removed ("." for none left).
ScenePath ListedScenePath(const std::string& fullPath, std::size_t prefixSize, int folderFd,
                          bool wildcardsInLineOnly = false);

// A scene's metadata is a few kilobytes. A file of over a gibibyte is no scene file, and
// reading it whole could exhaust the memory: it counts as unreadable.
inline constexpr std::size_t kMaxWholeSceneBytes = std::size_t{1} << 30;

// Which file a path named when it was read: the same device and inode is the same file,
// whatever its name or links. All zero for none.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity IdentityOf(const struct stat& info) {
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// Reads scene files whole into one buffer that is reused from file to file, so a run's
// memory is bounded by its largest file, not by the number of files.
class SceneFileReader {
  public:
    // The whole content of the file, or the empty text when it is not an ordinary,
    // visible, readable file of at most 1 GiB. Folders, FIFOs, sockets and devices are
    // never opened.
    // The view is valid until the next call.
    std::string_view read(const std::string& FileFullPath);
    // `identity`, when given, is set to the file's, or cleared when there is none.
    std::string_view read(const ScenePath& path, FileIdentity* identity = nullptr);

  private:
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_capacity = 0;
};

std::string ReadFileContents(const std::string& FileFullPath);

// The two steps of reading a scene file, for readers that hold their own buffers: the size
// to read, or nothing when the path names no ordinary, visible file of at most 1 GiB
// (its text is then empty); and the read itself into `buffer` of at least `size` bytes,
// giving the bytes read, or nothing when the file cannot be read. `identity`, when given,
// is set to the file's wherever the path names one, or cleared. `anySize` lifts the 1 GiB
// bound for readers that never read more than a bounded part of a file.
std::optional<std::size_t> SceneFileSize(const ScenePath& path, FileIdentity* identity = nullptr,
                                         bool anySize = false);
std::optional<std::size_t> ReadSceneFile(const ScenePath& path, std::size_t size, char* buffer);
// Why a listed file gave no text, for the runs that name a reason for each file they skip:
// its name ("its name holds * or ?"), what it is ("no such file", "a folder", "not a
// regular file", "an empty file", "larger than 1 GiB") or why it could not be opened.
// Asked only of a file that gave no text, so a run pays for it only then.
// A * or ? counts only after the first `prefixSize` bytes, the chosen folder's.
std::string UnreadSceneReason(const std::string& fullPath, std::size_t prefixSize = 0);
// The same read in two steps, for readers that read a file's head first: the file opened
// as ReadSceneFile opens it (or no descriptor), and up to `size` bytes read from where the
// last read stopped, giving the bytes read (fewer at the end of the file).
UniqueFd OpenSceneFile(const ScenePath& path);
std::optional<std::size_t> ReadUpTo(int fd, std::size_t size, char* buffer);

} // namespace aster
