#include "listing/drives.h"

#include <gtest/gtest.h>
#include <sstream>

namespace aster {
namespace {

using Strings = std::vector<std::string>;

struct MountsCase {
    const char* name;
    const char* mounts;
    Strings drives;
};

class DrivesFromTheMountsTable : public testing::TestWithParam<MountsCase> {};

TEST_P(DrivesFromTheMountsTable, ListsUsersDrives) {
    std::istringstream in(GetParam().mounts);
    EXPECT_EQ(ParseDrives(in), GetParam().drives);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DrivesFromTheMountsTable,
    testing::Values(
        MountsCase{"PseudoFileSystemsLeftOut",
                   "proc /proc proc rw 0 0\nsysfs /sys sysfs rw 0 0\n/dev/vda / ext4 rw 0 0\n"
                   "tmpfs /run tmpfs rw 0 0\ncgroup2 /sys/fs/cgroup cgroup2 rw 0 0\n"
                   "devpts /dev/pts devpts rw 0 0\n",
                   {"/"}},
        MountsCase{"DisksMediaAndShares",
                   "/dev/sda1 / ext4 rw 0 0\n/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                   "server:/export /mnt/scenes nfs4 rw 0 0\n//nas/gis /mnt/gis cifs rw 0 0\n"
                   "/dev/sdc1 /run/media/ana/DISK exfat rw 0 0\n/dev/sda2 /boot/efi vfat rw 0 0\n",
                   {"/", "/media/usb stick", "/mnt/gis", "/mnt/scenes", "/run/media/ana/DISK"}},
        MountsCase{"ContainerFilesBoundOverEtc",
                   "overlay / overlay rw 0 0\n/dev/vda1 /etc/hosts ext4 rw 0 0\n"
                   "/dev/vda1 /etc/resolv.conf ext4 rw 0 0\n/dev/vda1 /etc/hostname ext4 rw 0 0\n"
                   "/dev/vda1 /work ext4 rw 0 0\n/dev/vda1 /etcetera ext4 rw 0 0\n",
                   {"/", "/etcetera", "/work"}},
        MountsCase{"DuplicatesAndShortLines",
                   "/dev/sdb1 /data xfs rw 0 0\n/dev/sdb1 /data xfs rw 0 0\nbroken\n"
                   "/dev/sdc1 relative ext4 rw 0 0\n",
                   {"/", "/data"}},
        MountsCase{"RootAlwaysThere", "", {"/"}}),
    [](const testing::TestParamInfo<MountsCase>& info) { return info.param.name; });

TEST(Drives, DriveOfAndTheDrivesCurrentFolder) {
    const Strings drives{"/", "/mnt/gis", "/mnt/gis2"};
    struct Row {
        const char* path;
        const char* drive;
    };
    for (const Row& row : {Row{"/mnt/gis2/x", "/mnt/gis2"}, Row{"/mnt/gis", "/mnt/gis"},
                           Row{"/mnt/gisx", "/"}, Row{"/", "/"}, Row{"/mnt/gis/a/b", "/mnt/gis"}})
        EXPECT_EQ(DriveOf(drives, row.path), row.drive) << row.path;

    struct Current {
        const char* drive;
        const char* working;
        const char* opens;
    };
    for (const Current& row :
         {Current{"/mnt/gis", "/home/a", "/mnt/gis"}, Current{"/", "/home/a", "/home/a"},
          Current{"/mnt/gis", "/mnt/gis/scenes", "/mnt/gis/scenes"},
          Current{"/", "/mnt/gis/scenes", "/"}})
        EXPECT_EQ(DriveCurrentFolder(drives, row.drive, row.working), row.opens)
            << row.drive << " " << row.working;
}

TEST(Drives, MachineDrivesHoldTheRoot) {
    const Strings drives = MachineDrives();
    ASSERT_FALSE(drives.empty());
    EXPECT_EQ(drives.front(), "/");
}

} // namespace
} // namespace aster
