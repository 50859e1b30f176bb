#include "fileio/directory.h"

#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

EntryKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    if (S_ISLNK(mode))
        return EntryKind::Link;
    return EntryKind::Other;
}

} // namespace

DirectoryEntry::DirectoryEntry(int folderFd, const dirent& entry)
    : m_folderFd(folderFd), m_name(entry.d_name), m_type(entry.d_type) {
}

EntryKind DirectoryEntry::kind() const {
    switch (m_type) {
    case DT_REG:
        return EntryKind::File;
    case DT_DIR:
        return EntryKind::Folder;
    case DT_LNK:
        return EntryKind::Link;
    case DT_UNKNOWN:
        break;
    default:
        return EntryKind::Other;
    }
    struct stat info {};
    // m_name ends in the dirent's terminating NUL.
    if (::fstatat(m_folderFd, m_name.data(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? EntryKind::Other : EntryKind::Unknown;
    return KindOfMode(info.st_mode);
}

bool DirectoryEntry::leadsToFolder() const {
    const EntryKind direct = kind();
    if (direct != EntryKind::Link)
        return direct == EntryKind::Folder;
    struct stat info {};
    return ::fstatat(m_folderFd, m_name.data(), &info, 0) == 0 && S_ISDIR(info.st_mode);
}

namespace {

std::optional<Error> ReadOpenDirectory(DIR* dir, const std::string& folder,
                                       const std::function<void(const DirectoryEntry&)>& visit,
                                       const KeepReading& keepReading) {
    // Asked every 1024 entries, and sooner where each entry is slow (a share that looks
    // every name up), so that a stop is heard and progress seen within a fraction of a
    // second; the clock is read every 16 entries only.
    constexpr std::int64_t kReportEvery = 1024;
    constexpr std::int64_t kClockEvery = 16;
    constexpr auto kSlowAfter = std::chrono::milliseconds(100);
    std::int64_t entriesRead = 0;
    auto lastAsked = std::chrono::steady_clock::now();
    const auto stopped = [&] {
        lastAsked = std::chrono::steady_clock::now();
        if (!keepReading || keepReading(entriesRead))
            return std::optional<Error>();
        return std::optional<Error>(
            Cancelled("Stopped after reading " + std::to_string(entriesRead) + " entries."));
    };
    const int folderFd = ::dirfd(dir);
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir);
        if (entry == nullptr) {
            if (errno != 0)
                return SystemError(errno, folder);
            // Asked once more at the end, so that a stop during a slow last read counts.
            return stopped();
        }
        const std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        visit(DirectoryEntry(folderFd, *entry));
        ++entriesRead;
        const bool due = entriesRead % kReportEvery == 0 ||
                         (entriesRead % kClockEvery == 0 && keepReading &&
                          std::chrono::steady_clock::now() - lastAsked >= kSlowAfter);
        if (due) {
            if (auto error = stopped())
                return error;
        }
    }
}

} // namespace

std::optional<Error> ReadDirectory(const std::string& folder,
                                   const std::function<void(const DirectoryEntry&)>& visit,
                                   const KeepReading& keepReading) {
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return SystemError(errno, folder);
    return ReadOpenDirectory(dir.get(), folder, visit, keepReading);
}

std::optional<Error> ReadDirectoryAt(int folderFd, const std::string& folder,
                                     const std::function<void(const DirectoryEntry&)>& visit,
                                     const KeepReading& keepReading) {
    // A descriptor of its own from the start: the caller's keeps its offset.
    const int own = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0)
        return SystemError(errno, folder);
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(own));
    if (!dir) {
        const int err = errno;
        ::close(own);
        return SystemError(err, folder);
    }
    return ReadOpenDirectory(dir.get(), folder, visit, keepReading);
}

} // namespace aster
