#include "fileio/replacement_file.h"

#include "fileio/held_ends.h"

#include "fileio/file_attributes.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

namespace {

std::string ScratchName(std::string_view name) {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, 0) != sizeof random)
        random = static_cast<std::uint64_t>(::getpid()) * 2654435761u ^
                 static_cast<std::uint64_t>(std::time(nullptr));
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random));
    std::string scratch(kScratchPrefix);
    scratch += name;
    scratch += '-';
    scratch += suffix;
    return scratch;
}

bool IsFolderAt(int dirFd, const std::string& name) {
    struct stat info {};
    return ::fstatat(dirFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// One rename of a scratch file over its name, within open folders.
struct MoveAt {
    int fromDir;
    std::string from;
    int toDir;
    std::string to;
    std::string toPath; // for messages
};

enum class Moved {
    Exchanged, // the earlier file now stands at `from`
    New,       // there was no earlier file
    Replaced,  // the file system cannot exchange: the earlier file is gone
};

// Where the file system allows, the earlier file is exchanged rather than overwritten,
// so that a later failure can put it back.
int MoveOne(const MoveAt& move, Moved& how) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::renameat2(move.fromDir, move.from.c_str(), move.toDir, move.to.c_str(),
                        RENAME_EXCHANGE) == 0) {
            // A folder put at the name since the check must not be moved aside.
            if (IsFolderAt(move.fromDir, move.from)) {
                ::renameat2(move.fromDir, move.from.c_str(), move.toDir, move.to.c_str(),
                            RENAME_EXCHANGE);
                return EISDIR;
            }
            how = Moved::Exchanged;
            return 0;
        }
        if (errno == ENOENT) {
            if (::renameat2(move.fromDir, move.from.c_str(), move.toDir, move.to.c_str(),
                            RENAME_NOREPLACE) == 0) {
                how = Moved::New;
                return 0;
            }
            if (errno == EEXIST)
                continue; // a file appeared at the name meanwhile: exchange with it
        }
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return errno;
        if (::renameat(move.fromDir, move.from.c_str(), move.toDir, move.to.c_str()) != 0)
            return errno;
        how = Moved::Replaced;
        return 0;
    }
    return EEXIST;
}

void Undo(const MoveAt& move, Moved how) {
    switch (how) {
    case Moved::Exchanged:
        ::renameat2(move.fromDir, move.from.c_str(), move.toDir, move.to.c_str(), RENAME_EXCHANGE);
        break;
    case Moved::New:
        ::renameat(move.toDir, move.to.c_str(), move.fromDir, move.from.c_str());
        break;
    case Moved::Replaced:
        break;
    }
}

// Holds the folder's lock while files are published, so that two runs publishing into
// one folder at once leave the files of one run, not a mix of both.
class FolderLock {
  public:
    explicit FolderLock(int dirFd) : m_fd(::flock(dirFd, LOCK_EX) == 0 ? dirFd : -1) {}
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    ~FolderLock() {
        if (m_fd >= 0)
            ::flock(m_fd, LOCK_UN);
    }

  private:
    int m_fd;
};

std::optional<Error> MoveAllAt(const std::vector<MoveAt>& moves) {
    if (moves.empty())
        return std::nullopt;
    for (const MoveAt& move : moves) {
        if (IsFolderAt(move.toDir, move.to))
            return SystemError(EISDIR, move.toPath);
    }
    const FolderLock lock(moves.front().toDir);
    // A second Ctrl+C ends the process only once the set is all new or all as it was.
    const HoldEnds hold;
    std::vector<Moved> done;
    for (const MoveAt& move : moves) {
        Moved how{};
        if (const int err = MoveOne(move, how)) {
            for (std::size_t i = done.size(); i-- > 0;)
                Undo(moves[i], done[i]);
            return SystemError(err, move.toPath);
        }
        done.push_back(how);
    }
    for (std::size_t i = 0; i < moves.size(); ++i) {
        if (done[i] == Moved::Exchanged)
            ::unlinkat(moves[i].fromDir, moves[i].from.c_str(), 0);
    }
    ::fsync(moves.front().toDir);
    return std::nullopt;
}

} // namespace

ReplacementFile::ReplacementFile() : m_stream(nullptr) {
}

ReplacementFile::~ReplacementFile() {
    discard();
}

void ReplacementFile::discard() {
    m_stream.rdbuf(nullptr);
    m_buf.reset();
    m_fd.reset();
    if (!m_scratchName.empty())
        ::unlinkat(m_dir.get(), m_scratchName.c_str(), 0);
    m_scratchName.clear();
    m_dir.reset();
}

std::optional<Error> ReplacementFile::create(const std::string& folderPrefix,
                                             std::string_view name) {
    discard();
    m_name = name;
    m_path = folderPrefix + m_name;
    m_dir.reset(::open(folderPrefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!m_dir)
        return SystemError(errno, m_path);

    struct stat earlier {};
    const bool hadFile = ::fstatat(m_dir.get(), m_name.c_str(), &earlier, AT_SYMLINK_NOFOLLOW) == 0;
    if (hadFile && S_ISDIR(earlier.st_mode)) {
        m_dir.reset();
        return SystemError(EISDIR, m_path);
    }
    // A file the user may not write stays as it is, as it would if it were written in
    // place, though the folder would let it be replaced.
    if (hadFile && S_ISREG(earlier.st_mode) &&
        ::faccessat(m_dir.get(), m_name.c_str(), W_OK, AT_EACCESS) != 0) {
        const int err = errno;
        m_dir.reset();
        return SystemError(err, m_path);
    }
    m_fd.reset(::openat(m_dir.get(), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (!m_fd && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // No unnamed files here (a network share, say): a hidden name instead.
        for (int attempt = 0; attempt < 16 && !m_fd; ++attempt) {
            std::string scratch = ScratchName(m_name);
            m_fd.reset(::openat(m_dir.get(), scratch.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (m_fd)
                m_scratchName = std::move(scratch);
            else if (errno != EEXIST)
                break;
        }
    }
    if (!m_fd) {
        const int err = errno;
        m_dir.reset();
        return SystemError(err, m_path);
    }
    // The lock tells a later listing that this scratch file is still being written.
    ::flock(m_fd.get(), LOCK_EX | LOCK_NB);
    // Before the first byte: a file the user made private is never readable by others,
    // not even as a hidden scratch file.
    if (const auto attributes = FileAttributes::read(m_dir.get(), m_name.c_str()))
        attributes->giveTo(m_fd.get());
    // finish() syncs the file: its writing out starts as it is written.
    m_buf = std::make_unique<FdStreamBuf>(m_fd.get(), 1 << 18, 8 << 20);
    m_stream.rdbuf(m_buf.get());
    m_stream.clear();
    return std::nullopt;
}

std::optional<Error> ReplacementFile::check() const {
    if (m_buf && !m_stream)
        return SystemError(m_buf->failedErrno() != 0 ? m_buf->failedErrno() : EIO, m_path);
    return std::nullopt;
}

std::optional<Error> ReplacementFile::finish() {
    if (!m_fd)
        return SystemError(EBADF, m_path);
    m_stream.flush();
    if (auto error = check())
        return error;
    if (const int err = m_buf ? m_buf->endSyncsBehind() : 0)
        return SystemError(err, m_path);
    // The data must be on the disk before the name points at it, or a crash could leave
    // an empty file where the earlier one was.
    if (::fsync(m_fd.get()) != 0 && errno != EINVAL && errno != EROFS)
        return SystemError(errno, m_path);
    return std::nullopt;
}

std::optional<Error> ReplacementFile::giveScratchName() {
    if (!m_scratchName.empty())
        return std::nullopt;
    const std::string procPath = "/proc/self/fd/" + std::to_string(m_fd.get());
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string scratch = ScratchName(m_name);
        if (::linkat(AT_FDCWD, procPath.c_str(), m_dir.get(), scratch.c_str(), AT_SYMLINK_FOLLOW) ==
                0 ||
            ::linkat(m_fd.get(), "", m_dir.get(), scratch.c_str(), AT_EMPTY_PATH) == 0) {
            m_scratchName = std::move(scratch);
            return std::nullopt;
        }
        if (errno != EEXIST)
            return SystemError(errno, m_path);
    }
    return SystemError(EEXIST, m_path);
}

std::optional<Error> PublishTogether(std::initializer_list<ReplacementFile*> files) {
    const auto fail = [&files](Error error) {
        for (ReplacementFile* file : files)
            file->discard();
        return error;
    };
    for (ReplacementFile* file : files) {
        if (auto error = file->finish())
            return fail(*error);
    }
    for (ReplacementFile* file : files) {
        if (auto error = file->giveScratchName())
            return fail(*error);
    }
    std::vector<MoveAt> moves;
    for (ReplacementFile* file : files)
        moves.push_back({file->m_dir.get(), file->m_scratchName, file->m_dir.get(), file->m_name,
                         file->m_path});
    if (auto error = MoveAllAt(moves))
        return fail(*error);
    for (ReplacementFile* file : files) {
        file->m_scratchName.clear(); // it names the published file now
        file->discard();
    }
    return std::nullopt;
}

namespace {

// Opens the folder of `path` and gives the name in it.
std::optional<Error> OpenFolderOf(const std::string& path, UniqueFd& folder, std::string& base) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    base = slash == std::string::npos ? path : path.substr(slash + 1);
    folder.reset(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return SystemError(errno, path);
    return std::nullopt;
}

// The scratch file takes what the earlier file of its name had, or, new to the set, what
// the set's main earlier file had.
void GiveEarlierAttributes(const MoveAt& move, const std::optional<FileAttributes>& main) {
    const std::optional<FileAttributes> own = FileAttributes::read(move.toDir, move.to.c_str());
    const FileAttributes* earlier = own ? &*own : main ? &*main : nullptr;
    if (earlier == nullptr)
        return;
    const UniqueFd file(::openat(move.fromDir, move.from.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat info {};
    if (file && ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode))
        earlier->giveTo(file.get());
}

} // namespace

std::optional<Error> MoveIntoPlace(const std::vector<ScratchMove>& moves,
                                   const std::string& mainPath) {
    std::vector<UniqueFd> folders;
    std::vector<MoveAt> movesAt;
    for (const ScratchMove& move : moves) {
        MoveAt at{};
        if (auto error = OpenFolderOf(move.from, folders.emplace_back(), at.from))
            return error;
        at.fromDir = folders.back().get();
        if (auto error = OpenFolderOf(move.to, folders.emplace_back(), at.to))
            return error;
        at.toDir = folders.back().get();
        at.toPath = move.to;
        movesAt.push_back(std::move(at));
    }
    std::optional<FileAttributes> main;
    if (!mainPath.empty()) {
        UniqueFd folder;
        std::string base;
        if (!OpenFolderOf(mainPath, folder, base))
            main = FileAttributes::read(folder.get(), base.c_str());
    }
    for (const MoveAt& move : movesAt)
        GiveEarlierAttributes(move, main);
    return MoveAllAt(movesAt);
}

bool IsScratchName(std::string_view name) {
    // ".aster-", the name it replaces, "-" and 16 hex digits: a user's own hidden file
    // is never taken for one.
    constexpr std::size_t kSuffix = 17;
    if (!name.starts_with(kScratchPrefix) || name.size() < kScratchPrefix.size() + 1 + kSuffix)
        return false;
    const std::string_view suffix = name.substr(name.size() - kSuffix);
    return suffix.front() == '-' &&
           suffix.substr(1).find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

void RemoveStaleScratchFile(int dirFd, const char* name) {
    const UniqueFd fd(
        ::openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd)
        return;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    // A writer locks its scratch file just after creating it; give it time to.
    if (std::time(nullptr) - info.st_mtime < 60)
        return;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
        return; // still being written
    struct stat now {};
    if (::fstatat(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_ino != info.st_ino ||
        now.st_dev != info.st_dev)
        return; // replaced since it was opened
    ::unlinkat(dirFd, name, 0);
}

} // namespace aster
