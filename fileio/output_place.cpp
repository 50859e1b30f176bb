#include "fileio/output_place.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace aster {

namespace {

const char* SpecialKind(mode_t mode) {
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return nullptr;
}

// The folder `path` is in, as a path to give stat.
std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether something is mounted at `path` itself. The kernel says so where it can
// (STATX_ATTR_MOUNT_ROOT, since Linux 5.8); otherwise a mount point is told by its mount
// or its device differing from its folder's, which a bind mount within one file system
// shares only in its device.
bool IsMountPoint(const std::string& path) {
    struct statx info {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_MNT_ID,
                &info) != 0)
        return false;
    if ((info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    struct statx folder {};
    if (::statx(AT_FDCWD, FolderOf(path).c_str(), 0, STATX_BASIC_STATS | STATX_MNT_ID, &folder) !=
        0)
        return false;
    if ((info.stx_mask & folder.stx_mask & STATX_MNT_ID) != 0)
        return info.stx_mnt_id != folder.stx_mnt_id;
    return info.stx_dev_major != folder.stx_dev_major || info.stx_dev_minor != folder.stx_dev_minor;
}

} // namespace

std::optional<Error> CheckOutputPlace(const std::string& path, const std::string& shownPath) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return errno == ENOENT ? std::nullopt : std::optional<Error>(SystemError(errno, shownPath));
    const char* kind = SpecialKind(info.st_mode);
    struct stat target {};
    // A link is replaced, never followed, but a link to a device names the device.
    if (kind == nullptr && S_ISLNK(info.st_mode) && ::stat(path.c_str(), &target) == 0)
        kind = SpecialKind(target.st_mode);
    if (kind != nullptr)
        return Error{EINVAL,
                     "The output " + shownPath + " is " + kind +
                         ", not a file: it is neither written to nor replaced",
                     "Name an ordinary file, or a new one, for the output. Nothing was changed.",
                     ErrorKind::Other};
    if (!S_ISLNK(info.st_mode) && IsMountPoint(path))
        return Error{EBUSY,
                     "The output " + shownPath +
                         " is a mount point, which cannot be replaced while something is "
                         "mounted on it",
                     "Name an output inside it or beside it, or unmount what is mounted there. "
                     "Nothing was changed.",
                     ErrorKind::Other};
    return std::nullopt;
}

} // namespace aster
