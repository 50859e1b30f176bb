#pragma once

#include "fileio/error.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct dirent;

namespace aster {

// Unknown: the entry is there, but looking it up failed (an I/O error on a share), so
// what it is cannot be told; a listing names it rather than lose it without a word.
enum class EntryKind { File, Folder, Link, Other, Unknown };

// One entry of a folder being read. Valid only inside the callback it is passed to.
class DirectoryEntry {
  public:
    DirectoryEntry(int folderFd, const dirent& entry);

    std::string_view name() const { return m_name; }
    // What the entry is, not following a symbolic link. The directory entry says so on most
    // file systems; only where it does not is the entry looked up. An entry gone since the
    // folder was read counts as Other; one that cannot be looked up, as Unknown.
    EntryKind kind() const;
    // True for a folder and for a symbolic link to one.
    bool leadsToFolder() const;

  private:
    int m_folderFd;
    std::string_view m_name;
    unsigned char m_type;
};

// Told how many entries have been read, every 1024 entries, every tenth of a second or so
// where entries come slowly, and once at the end; false stops the read.
using KeepReading = std::function<bool(std::int64_t entriesRead)>;

// Calls `visit` for every entry of `folder` but "." and "..", in the order the file system
// gives them. Errors name `folder` as given; a stop asked for by `keepReading` gives a
// cancellation error saying how many entries were read.
std::optional<Error> ReadDirectory(const std::string& folder,
                                   const std::function<void(const DirectoryEntry&)>& visit,
                                   const KeepReading& keepReading = {});
// As ReadDirectory, for the folder open as `folderFd`, which keeps its own read position;
// errors name `folder`.
std::optional<Error> ReadDirectoryAt(int folderFd, const std::string& folder,
                                     const std::function<void(const DirectoryEntry&)>& visit,
                                     const KeepReading& keepReading = {});

} // namespace aster
