#pragma once

#include <istream>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

// The mount points a user would recognise as drives, from a mounts table in the layout of
// /proc/self/mounts: the root file system and mounted real storage (disks, removable media,
// network shares), not pseudo file systems nor single files bound over /etc. Sorted,
// without duplicates; the root is always there.
std::vector<std::string> ParseDrives(std::istream& mounts);

// The drives of this machine from /proc/self/mounts; at least the root. Touches no drive.
std::vector<std::string> MachineDrives();

// The drive that holds `path`: the longest drive that is `path` or one of its ancestors.
std::string DriveOf(const std::vector<std::string>& drives, std::string_view path);

// What the folder list opens for a drive: the working folder when it lies on that drive,
// else the drive's root.
std::string DriveCurrentFolder(const std::vector<std::string>& drives, const std::string& drive,
                               const std::string& workingFolder);

} // namespace aster
