#include "stac/earlier_catalogue.h"

#include "fileio/directory.h"
#include "fileio/unique_fd.h"
#include "fileio/whole_file.h"
#include "stac/stac_json.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>

namespace aster {

// What keeps an earlier folder from being replaced: anything that this tool's static
// catalogue does not hold. That is collection.json, a STAC Collection that says aster
// wrote it (or that an earlier version did), and beside it only item folders, each
// holding only its item <folder>.json. Another program's catalogue of the same layout is
// the user's too. A user's own files never go
// with a replaced catalogue. Nothing when the folder is such a catalogue.
namespace {

std::optional<Error> NotACatalogue(int folderFd, const std::string& path, std::string& what) {
    constexpr std::size_t kMaxCollectionBytes = 256u << 20;
    bool hasCollection = false;
    std::optional<Error> error;
    const auto readItemFolder = [&](std::string_view name) {
        const std::string folder(name);
        const UniqueFd item(
            ::openat(folderFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!item) {
            error = SystemError(errno, path + "/" + folder);
            return;
        }
        const std::string itemFile = folder + ".json";
        bool hasItem = false;
        error = ReadDirectoryAt(item.get(), path + "/" + folder, [&](const DirectoryEntry& entry) {
            if (!what.empty())
                return;
            if (entry.name() == itemFile && entry.kind() == EntryKind::File)
                hasItem = true;
            else
                what = folder + "/" + std::string(entry.name()) + ", which aster does not write";
        });
        if (!error && what.empty() && !hasItem)
            what = "the empty folder " + folder + ", which aster does not write";
    };
    const std::optional<Error> read =
        ReadDirectoryAt(folderFd, path, [&](const DirectoryEntry& entry) {
            if (!what.empty() || error)
                return;
            if (entry.name() == kCollectionFile && entry.kind() == EntryKind::File)
                hasCollection = true;
            else if (entry.kind() == EntryKind::Folder)
                readItemFolder(entry.name());
            else
                what = std::string(entry.name()) + ", which aster does not write";
        });
    if (read)
        return read;
    if (error || !what.empty())
        return error;
    if (!hasCollection) {
        what = "no collection.json";
        return std::nullopt;
    }
    std::string json;
    const int err = ReadWholeFileAt(folderFd, std::string(kCollectionFile), kMaxCollectionBytes, json);
    if (err != 0 && err != EFBIG && err != EINVAL)
        return SystemError(err, path + "/" + std::string(kCollectionFile));
    switch (AuthorOfCollection(json)) {
    case CollectionAuthor::NotACollection:
        what = "a collection.json that is no STAC Collection";
        break;
    case CollectionAuthor::Other:
        what = "a collection.json that aster did not write";
        break;
    case CollectionAuthor::Aster:
    case CollectionAuthor::EarlierAster:
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<Error> WhatAsterDidNotWrite(int folderFd, const std::string& path,
                                          std::string& what) {
    what.clear();
    bool empty = true;
    if (auto error =
            ReadDirectoryAt(folderFd, path, [&empty](const DirectoryEntry&) { empty = false; }))
        return error;
    if (empty)
        return std::nullopt;
    return NotACatalogue(folderFd, path, what);
}

// An earlier static catalogue is replaced only with --overwrite, and only when it is one
// that this tool wrote, or an empty folder.
std::optional<Error> CheckEarlierCatalogue(const std::string& outputPath, const std::string& path,
                                           bool overwrite, bool& exists) {
    struct stat info {};
    exists = ::lstat(outputPath.c_str(), &info) == 0;
    if (!exists)
        return errno == ENOENT ? std::nullopt : std::optional<Error>(SystemError(errno, path));
    if (!overwrite)
        return ExistsError(path);
    // The link would be replaced by the catalogue, not what it leads to: seldom what is meant.
    if (S_ISLNK(info.st_mode))
        return Error{ENOTDIR, "A link, so not replaced: " + path,
                     "A catalogue is not written through a link: name the folder it leads to, "
                     "or a new one.",
                     ErrorKind::Other};
    if (!S_ISDIR(info.st_mode))
        return Error{ENOTDIR, "Not a catalogue's folder, so not replaced: " + path,
                     "A static catalogue is a folder: name a new one, or end the name in .json "
                     "to write an ItemCollection.",
                     ErrorKind::Other};
    const UniqueFd folder(
        ::open(outputPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder)
        return SystemError(errno, path);
    std::string what;
    if (auto error = WhatAsterDidNotWrite(folder.get(), path, what))
        return error;
    if (what.empty())
        return std::nullopt;
    return Error{ENOTEMPTY,
                 "Not a catalogue that aster wrote, so not replaced: " + path + " holds " + what,
                 "Name a new folder or an empty one for the catalogue. Nothing was changed.",
                 ErrorKind::Other};
}

} // namespace aster
