#include "listing/tree_listing.h"

#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "fileio/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace aster {

namespace {

struct FolderId {
    dev_t device;
    ino_t inode;
    bool operator==(const FolderId&) const = default;
};

FolderId IdOf(const struct stat& info) {
    return FolderId{info.st_dev, info.st_ino};
}

// One walk: the folders from the root down to the one being read, and the count of
// entries read, which the progress reports for the whole tree.
class TreeReader {
  public:
    TreeReader(const std::string& rootPrefix, const TreeWalk& walk, NameList& paths)
        : m_rootPrefix(rootPrefix), m_walk(walk), m_paths(paths) {}

    std::optional<Error> readRoot();
    std::int64_t entriesRead() const { return m_entriesRead; }

  private:
    std::optional<Error> readFolder(int folderFd, const std::string& relative, int depth);
    std::optional<Error> readSubfolder(int parentFd, const std::string& relative,
                                       const std::string& name, int depth);
    void skip(const std::string& relative, std::string_view reason) const {
        if (m_walk.skipped)
            m_walk.skipped(m_rootPrefix + relative.substr(0, relative.size() - 1), reason);
    }

    const std::string& m_rootPrefix;
    const TreeWalk& m_walk;
    NameList& m_paths;
    std::vector<FolderId> m_openFolders;
    std::int64_t m_entriesRead = 0;
};

std::optional<Error> TreeReader::readRoot() {
    // The chosen folder may itself be reached through a link, as the flat listing's is.
    const UniqueFd root(::open(m_rootPrefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!root || ::fstat(root.get(), &info) != 0)
        return SystemError(errno, m_rootPrefix);
    m_openFolders.push_back(IdOf(info));
    return readFolder(root.get(), "", 0);
}

// `relative` is the folder's path from the root with a trailing '/', empty for the root.
std::optional<Error> TreeReader::readFolder(int folderFd, const std::string& relative, int depth) {
    std::vector<std::string> subfolders;
    const auto visit = [&](const DirectoryEntry& entry) {
        const std::string_view name = entry.name();
        if (name.front() == '.') {
            if (depth == 0 && m_walk.scratchNames != nullptr &&
                (IsScratchName(name) || IsScratchFolderName(name)))
                m_walk.scratchNames->emplace_back(name);
            return;
        }
        const EntryKind kind = entry.kind();
        const bool lineBreak = HoldsLineBreak(name);
        if (kind == EntryKind::Folder && lineBreak)
            skip(relative + std::string(name) + '/', kUnlistableName);
        else if (kind == EntryKind::Folder)
            subfolders.emplace_back(name);
        else if (kind == EntryKind::Other ||
                 (!m_walk.patterns.empty() && !MatchesAnyPattern(name.data(), m_walk.patterns)))
            return;
        else if (lineBreak && m_walk.unlisted)
            m_walk.unlisted(m_rootPrefix + relative + std::string(name), kUnlistableName);
        else if (!lineBreak)
            m_paths.add(relative, name);
    };
    const std::int64_t before = m_entriesRead;
    const KeepReading keepReading = [this, before](std::int64_t read) {
        m_entriesRead = before + read;
        return !m_walk.keepReading || m_walk.keepReading(m_entriesRead);
    };
    if (auto error = ReadDirectoryAt(folderFd, m_rootPrefix + relative, visit, keepReading)) {
        // The count of the whole tree, not of this folder.
        if (IsCancellation(*error))
            return Cancelled("Stopped after reading " + std::to_string(m_entriesRead) +
                             " entries.");
        // Out of descriptors this deep (ulimit -n), before any entry was read: the folder
        // is named, as one that cannot be opened is, and the rest of the tree still listed.
        if (depth > 0 && (error->code == EMFILE || error->code == ENFILE)) {
            skip(relative, std::strerror(error->code));
            return std::nullopt;
        }
        return error;
    }
    for (const std::string& name : subfolders)
        if (auto error = readSubfolder(folderFd, relative, name, depth + 1))
            return error;
    return std::nullopt;
}

std::optional<Error> TreeReader::readSubfolder(int parentFd, const std::string& relative,
                                               const std::string& name, int depth) {
    const std::string path = relative + name + '/';
    if (depth > kMaxTreeDepth) {
        skip(path, "more than " + std::to_string(kMaxTreeDepth) + " folders deep");
        return std::nullopt;
    }
    // Never through a link: one put in the folder's place since it was read fails here.
    const UniqueFd folder(
        ::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!folder || ::fstat(folder.get(), &info) != 0) {
        // Gone, or no longer a folder, since its parent was read: nothing to list in it.
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP)
            skip(path, std::strerror(errno));
        return std::nullopt;
    }
    const FolderId id = IdOf(info);
    if (std::find(m_openFolders.begin(), m_openFolders.end(), id) != m_openFolders.end()) {
        skip(path, "a mount of a folder that holds it, whose files are listed there");
        return std::nullopt;
    }
    m_openFolders.push_back(id);
    std::optional<Error> error = readFolder(folder.get(), path, depth);
    m_openFolders.pop_back();
    return error;
}

} // namespace

std::optional<Error> ReadTree(const std::string& folderPrefix, const TreeWalk& walk,
                              NameList& paths, std::int64_t& entriesRead) {
    TreeReader reader(folderPrefix, walk, paths);
    std::optional<Error> error = reader.readRoot();
    entriesRead = reader.entriesRead();
    return error;
}

} // namespace aster
