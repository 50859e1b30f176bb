#include "fileio/scratch_folder.h"

#include "fileio/held_ends.h"

#include "fileio/directory.h"
#include "fileio/replacement_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace aster {

namespace {

// The mode of the run's own scratch folders: mkdtemp's 0700 and the sticky bit, which
// a user's private folder of a name like ".aster-config" does not have, so that only
// the run's own are ever removed as left behind.
constexpr mode_t kScratchMode = S_ISVTX | 0700;

constexpr std::string_view kAlphabet =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// A run locks its folder just after making it, and a run of an older version never does:
// a minute without change tells a folder that is still being written from a left one.
constexpr std::time_t kStaleAfterSeconds = 60;
// Deeper than any output's own folders (a FileGDB is one level): the rest stays.
constexpr int kMaxDepth = 16;

struct Entry {
    std::string name;
    bool folder;
};

std::vector<Entry> EntriesOf(int folderFd) {
    std::vector<Entry> entries;
    ReadDirectoryAt(folderFd, ".", [&entries](const DirectoryEntry& entry) {
        entries.push_back({std::string(entry.name()), entry.kind() == EntryKind::Folder});
    });
    return entries;
}

// Removes everything inside the folder open as `folderFd`, asking `keepGoing` (where
// given) before each entry; false when it said to stop. A link is removed, never
// followed; what cannot be removed stays.
bool RemoveContents(int folderFd, int depth, const std::function<bool()>& keepGoing = {}) {
    for (const Entry& entry : EntriesOf(folderFd)) {
        if (keepGoing && !keepGoing())
            return false;
        if (entry.folder && depth < kMaxDepth) {
            const UniqueFd inner(::openat(folderFd, entry.name.c_str(),
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (inner) {
                if (!RemoveContents(inner.get(), depth + 1, keepGoing))
                    return false;
                ::unlinkat(folderFd, entry.name.c_str(), AT_REMOVEDIR);
                continue;
            }
        }
        // A folder that became a link meanwhile goes as a link.
        ::unlinkat(folderFd, entry.name.c_str(), 0);
    }
    return true;
}

bool ChangedLately(int folderFd, const struct stat& folder) {
    const std::time_t now = std::time(nullptr);
    if (now - folder.st_mtime < kStaleAfterSeconds)
        return true;
    for (const Entry& entry : EntriesOf(folderFd)) {
        struct stat info {};
        if (::fstatat(folderFd, entry.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            now - info.st_mtime < kStaleAfterSeconds)
            return true;
    }
    return false;
}

} // namespace

ScratchFolder::~ScratchFolder() {
    remove();
}

void ScratchFolder::remove() {
    if (m_fd) {
        RemoveContents(m_fd.get(), 0);
        ::unlinkat(m_parent.get(), m_name.c_str(), AT_REMOVEDIR);
    }
    m_fd.reset(); // and with it the lock
    m_parent.reset();
    m_path.clear();
    m_name.clear();
}

std::optional<Error> ScratchFolder::create(const std::string& folder,
                                           const std::string& outputPath) {
    remove();
    UniqueFd parent(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent)
        return SystemError(errno, outputPath);
    std::string path = folder + "/.aster-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr)
        return SystemError(errno, outputPath);
    std::string name = path.substr(path.rfind('/') + 1);
    UniqueFd fd(
        ::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        const int err = errno;
        ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
        return SystemError(err, outputPath);
    }
    // Where the file system keeps no such mode, a killed run's folder is left, not removed.
    ::fchmod(fd.get(), kScratchMode);
    // Where the file system has no locks (some network shares), the minute decides.
    ::flock(fd.get(), LOCK_EX | LOCK_NB);
    m_path = std::move(path);
    m_name = std::move(name);
    m_parent = std::move(parent);
    m_fd = std::move(fd);
    return std::nullopt;
}

namespace {

// Holds a folder's lock while an output is moved into it, as PublishTogether does.
class ParentLock {
  public:
    explicit ParentLock(int dirFd) : m_fd(::flock(dirFd, LOCK_EX) == 0 ? dirFd : -1) {}
    ParentLock(const ParentLock&) = delete;
    ParentLock& operator=(const ParentLock&) = delete;
    ~ParentLock() {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_UN);
    }

  private:
    int m_fd;
};

} // namespace

int RenameFolderToNewName(int dirFd, const char* from, const char* to) {
    if (::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return errno;
    return RenameFolderToNewNameWithoutFlags(dirFd, from, to);
}

int RenameFolderToNewNameWithoutFlags(int dirFd, const char* from, const char* to) {
    // A folder renamed over an empty one replaces it: this one is ours, and a rename that
    // finds something put in it meanwhile fails (ENOTEMPTY) rather than replace that.
    if (::mkdirat(dirFd, to, 0700) != 0)
        return errno;
    if (::renameat(dirFd, from, dirFd, to) != 0) {
        const int err = errno;
        ::unlinkat(dirFd, to, AT_REMOVEDIR);
        return err;
    }
    return 0;
}

std::optional<Error> ScratchFolder::moveTo(const std::string& name, bool replace,
                                           const std::string& outputPath,
                                           const std::function<bool(int)>& keepEarlier,
                                           std::string* keptAt) {
    if (!m_fd)
        return SystemError(EBADF, outputPath);
    const int parent = m_parent.get();
    // A second Ctrl+C ends the process no sooner than the earlier folder, once swapped
    // out, is looked over and given the scratch mode: killed before, the run would leave
    // it hidden for good, and a kill in the middle of a move of several steps would
    // leave neither folder at the name.
    std::optional<HoldEnds> hold;
    {
        const ParentLock lock(parent);
        hold.emplace(); // once the lock is had: a wait for another run ends as ever
        if (!replace) {
            if (const int err = RenameFolderToNewName(parent, m_name.c_str(), name.c_str()))
                return SystemError(err, outputPath);
        } else if (::renameat2(parent, m_name.c_str(), parent, name.c_str(), RENAME_EXCHANGE) ==
                   0) {
            // A file or a link put at the name while the run worked would now be at the
            // scratch name: it goes back, and nothing is replaced.
            struct stat swapped {};
            if (::fstatat(parent, m_name.c_str(), &swapped, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISDIR(swapped.st_mode)) {
                if (::renameat2(parent, m_name.c_str(), parent, name.c_str(), RENAME_EXCHANGE) != 0)
                    m_fd.reset(); // what cannot go back stays at the scratch name, not removed
                return Error{EEXIST,
                             "Something that is not a catalogue was put at " + outputPath +
                                 " while the run worked, so the new catalogue was not put "
                                 "in its place.",
                             "Move it away, then run again.", ErrorKind::Other};
            }
        } else if (errno == ENOENT) {
            // The earlier folder went away meanwhile: the name is taken as a new one.
            if (const int err = RenameFolderToNewName(parent, m_name.c_str(), name.c_str()))
                return SystemError(err, outputPath);
            replace = false;
        } else {
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return SystemError(errno, outputPath);
            // Where the file system cannot exchange, the earlier folder is first moved
            // to a scratch name of its own, and put back should the new one not follow.
            std::string aside = m_path.substr(0, m_path.size() - m_name.size()) + ".aster-XXXXXX";
            if (::mkdtemp(aside.data()) == nullptr)
                return SystemError(errno, outputPath);
            const std::string asideName = aside.substr(aside.rfind('/') + 1);
            if (::renameat(parent, name.c_str(), parent, asideName.c_str()) != 0) {
                const int err = errno;
                ::unlinkat(parent, asideName.c_str(), AT_REMOVEDIR);
                return SystemError(err, outputPath);
            }
            if (::renameat(parent, m_name.c_str(), parent, name.c_str()) != 0) {
                const int err = errno;
                ::renameat(parent, asideName.c_str(), parent, name.c_str());
                return SystemError(err, outputPath);
            }
            m_name = asideName;
        }
    }
    ::fsync(parent);
    // The folder at the scratch name now, if any, is the earlier output: looked at once
    // more, since something may have been put in it while the run worked; then made a
    // scratch folder's mode, so that what a killed run leaves of it is removed later, and
    // removed with what it holds.
    m_fd.reset();
    if (replace) {
        UniqueFd earlier(
            ::openat(parent, m_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (earlier && keepEarlier && keepEarlier(earlier.get())) {
            keepAside(name, keptAt);
            return std::nullopt;
        }
        if (earlier) {
            ::fchmod(earlier.get(), kScratchMode);
            ::flock(earlier.get(), LOCK_EX | LOCK_NB);
            m_fd = std::move(earlier);
        } else {
            ::unlinkat(parent, m_name.c_str(), 0);
        }
    }
    hold.reset();
    remove();
    return std::nullopt;
}

// Moves the earlier output from the scratch name to a visible one of its own beside the
// output, "<name>.aster-old-" and six characters, made by mkdtemp and then taken by the
// folder whole. Where that fails, it stays at the scratch name, which `keptAt` then names:
// unlocked, but with its own mode, so a later run takes it for a killed run's only when
// that mode is a scratch folder's.
void ScratchFolder::keepAside(const std::string& name, std::string* keptAt) {
    const std::string folder = m_path.substr(0, m_path.size() - m_name.size());
    std::string kept = folder + name + ".aster-old-XXXXXX";
    if (::mkdtemp(kept.data()) != nullptr) {
        const std::string keptName = kept.substr(kept.rfind('/') + 1);
        if (::renameat(m_parent.get(), m_name.c_str(), m_parent.get(), keptName.c_str()) != 0) {
            ::unlinkat(m_parent.get(), keptName.c_str(), AT_REMOVEDIR);
            kept = m_path;
        }
    } else {
        kept = m_path;
    }
    ::fsync(m_parent.get());
    if (keptAt != nullptr)
        *keptAt = kept;
    m_parent.reset();
    m_path.clear();
    m_name.clear();
}

bool IsScratchFolderName(std::string_view name) {
    constexpr std::size_t kRandom = 6;
    return name.size() == kScratchPrefix.size() + kRandom && name.starts_with(kScratchPrefix) &&
           name.substr(kScratchPrefix.size()).find_first_not_of(kAlphabet) ==
               std::string_view::npos;
}

void RemoveStaleScratchFolder(int dirFd, const char* name, const std::function<bool()>& keepGoing) {
    const UniqueFd fd(
        ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return;
    struct stat info {};
    // A user's folder of such a name is not ours to take: only the run's own mode tells.
    if (::fstat(fd.get(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        (info.st_mode & 07777) != kScratchMode)
        return;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return; // its run is still writing
    if (ChangedLately(fd.get(), info))
        return;
    struct stat now {};
    if (::fstatat(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_ino != info.st_ino ||
        now.st_dev != info.st_dev)
        return; // replaced since it was opened
    if (RemoveContents(fd.get(), 0, keepGoing))
        ::unlinkat(dirFd, name, AT_REMOVEDIR);
}

void RemoveStaleScratch(const std::string& folder, const std::function<bool()>& keepGoing) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return;
    std::vector<std::string> folders;
    std::vector<std::string> files;
    ReadDirectoryAt(fd.get(), folder, [&](const DirectoryEntry& entry) {
        const std::string_view name = entry.name();
        if (IsScratchFolderName(name))
            folders.emplace_back(name);
        else if (IsScratchName(name))
            files.emplace_back(name);
    });
    for (const std::string& name : folders)
        RemoveStaleScratchFolder(fd.get(), name.c_str(), keepGoing);
    for (const std::string& name : files)
        RemoveStaleScratchFile(fd.get(), name.c_str());
}

} // namespace aster
