#include "listing/drives.h"

#include <gtest/gtest.h>
#include <sstream>

namespace aster {
namespace {

using Strings = std::vector<std::string>;

TEST(ParseDrives, Table) {
    struct Row {
        const char* mounts;
        Strings drives;
    };
    const Row rows[] = {
        {"proc /proc proc rw 0 0\nsysfs /sys sysfs rw 0 0\n/dev/vda / ext4 rw 0 0\n"
         "tmpfs /run tmpfs rw 0 0\ncgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
         "devpts /dev/pts devpts rw 0 0\n",
         {"/"}},
        {"/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
         "server:/export /mnt/scenes nfs4 rw 0 0\n//nas/gis /mnt/gis cifs rw 0 0\n"
         "/dev/sdc1 /run/media/ana/DISK exfat rw 0 0\n/dev/sda2 /boot/efi vfat rw 0 0\n",
         {"/", "/media/usb stick", "/mnt/gis", "/mnt/scenes", "/run/media/ana/DISK"}},
        // Containers bind single files over /etc; /etcetera is another place.
        {"overlay / overlay rw 0 0\n/dev/vda1 /etc/hosts ext4 rw 0 0\n"
         "/dev/vda1 /etc/resolv.conf ext4 rw 0 0\n/dev/vda1 /work ext4 rw 0 0\n"
         "/dev/vda1 /work ext4 rw 0 0\n/dev/vda1 /etcetera ext4 rw 0 0\nshort line\n",
         {"/", "/etcetera", "/work"}},
        {"", {"/"}}};
    for (const Row& row : rows) {
        std::istringstream in(row.mounts);
        EXPECT_EQ(ParseDrives(in), row.drives) << row.mounts;
    }
}

TEST(DriveOf, AndTheDrivesCurrentFolder) {
    const Strings drives{"/", "/mnt/gis", "/mnt/gis2"};
    for (const auto& [path, drive] : std::vector<std::pair<const char*, const char*>>{
             {"/mnt/gis2/x", "/mnt/gis2"}, {"/mnt/gis", "/mnt/gis"}, {"/mnt/gisx", "/"}})
        EXPECT_EQ(DriveOf(drives, path), drive) << path;
    EXPECT_EQ(DriveCurrentFolder(drives, "/mnt/gis", "/home/a"), "/mnt/gis");
    EXPECT_EQ(DriveCurrentFolder(drives, "/", "/home/a"), "/home/a");
    EXPECT_EQ(DriveCurrentFolder(drives, "/mnt/gis", "/mnt/gis/scenes"), "/mnt/gis/scenes");
}

} // namespace
} // namespace aster
