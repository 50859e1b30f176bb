#include "listing/drives.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace aster {

namespace {

// File systems that hold users' files: local disks, removable media and network shares.
constexpr std::string_view kStorageTypes[] = {
    "ext2",  "ext3",    "ext4",    "xfs",   "btrfs", "vfat",     "msdos",      "exfat",      "ntfs",
    "ntfs3", "fuseblk", "iso9660", "udf",   "f2fs",  "zfs",      "jfs",        "hfsplus",    "nfs",
    "nfs4",  "cifs",    "smb3",    "smbfs", "9p",    "virtiofs", "fuse.sshfs", "fuse.rclone"};

// The mounts table writes blanks, tabs, newlines and backslashes as \ooo octal escapes.
std::string Unescape(std::string_view field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            field.substr(i + 1, 3).find_first_not_of("01234567") == std::string_view::npos) {
            out += static_cast<char>(std::stoi(std::string(field.substr(i + 1, 3)), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool StartsWithFolder(std::string_view path, std::string_view folder) {
    if (folder == "/")
        return !path.empty() && path.front() == '/';
    return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// Places where the system mounts its own file systems, never a user's drive. /etc is one
// because containers bind single files of the host's disk over it (hosts, hostname,
// resolv.conf), which the table shows like disks: telling them from folders would take a
// look at each, and a look can hang on a mount that does not answer.
bool IsSystemPlace(std::string_view mountPoint) {
    if (StartsWithFolder(mountPoint, "/run/media"))
        return false;
    for (std::string_view system : {"/proc", "/sys", "/dev", "/run", "/boot", "/snap", "/etc"}) {
        if (StartsWithFolder(mountPoint, system))
            return true;
    }
    return false;
}

} // namespace

std::vector<std::string> ParseDrives(std::istream& mounts) {
    std::vector<std::string> drives{"/"};
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        if (!(fields >> device >> mountPoint >> type))
            continue;
        mountPoint = Unescape(mountPoint);
        const bool storage = std::find(std::begin(kStorageTypes), std::end(kStorageTypes), type) !=
                             std::end(kStorageTypes);
        if (storage && mountPoint.starts_with('/') && !IsSystemPlace(mountPoint))
            drives.push_back(mountPoint);
    }
    std::sort(drives.begin(), drives.end());
    drives.erase(std::unique(drives.begin(), drives.end()), drives.end());
    return drives;
}

std::vector<std::string> MachineDrives() {
    // The kernel writes this table from memory: reading it never waits for a drive.
    std::ifstream mounts("/proc/self/mounts");
    return ParseDrives(mounts);
}

std::string DriveOf(const std::vector<std::string>& drives, std::string_view path) {
    std::string best = "/";
    for (const std::string& drive : drives) {
        if (StartsWithFolder(path, drive) && drive.size() > best.size())
            best = drive;
    }
    return best;
}

std::string DriveCurrentFolder(const std::vector<std::string>& drives, const std::string& drive,
                               const std::string& workingFolder) {
    return DriveOf(drives, workingFolder) == drive ? workingFolder : drive;
}

} // namespace aster
