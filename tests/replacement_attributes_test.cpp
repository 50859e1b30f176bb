// A replaced output keeps what writing it in place would have kept: owner and group (as
// far as the user running the tool may give them), mode, access list and extended
// attributes, for the text outputs, the list and every file of a layer.
#include "catalogue/build_run.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "listing/folder_listing.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <fstream>
#include <functional>
#include <grp.h>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace aster {
namespace {

using test::TempFolder;

constexpr uid_t kOwner = 4001;
constexpr uid_t kOtherUser = 4002;
constexpr gid_t kSharedGroup = 5000;

std::string AclText(const std::string& path) {
    acl_t acl = ::acl_get_file(path.c_str(), ACL_TYPE_ACCESS);
    if (acl == nullptr)
        return "<no access list: " + std::to_string(errno) + ">";
    char* text = ::acl_to_text(acl, nullptr);
    std::string result = text != nullptr ? text : "<unreadable>";
    ::acl_free(text);
    ::acl_free(acl);
    return result;
}

bool SetAcl(const std::string& path, const char* text) {
    acl_t acl = ::acl_from_text(text);
    const bool set = acl != nullptr && ::acl_set_file(path.c_str(), ACL_TYPE_ACCESS, acl) == 0;
    ::acl_free(acl);
    return set;
}

std::string UserAttribute(const std::string& path) {
    char value[256];
    const ssize_t size = ::getxattr(path.c_str(), "user.origin", value, sizeof value);
    return size < 0 ? "<none>" : std::string(value, static_cast<std::size_t>(size));
}

std::string Owner(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return "<missing>";
    return std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid);
}

// Mode, access list and attribute: what every replacement keeps, in one line that a failed
// comparison shows.
std::string Access(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return "<missing>";
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return std::string("mode ") + mode + ", access list " + AclText(path) + ", user.origin " +
           UserAttribute(path);
}

std::string Attributes(const std::string& path) {
    return "owner " + Owner(path) + ", " + Access(path);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// What this machine allows the tests to set up.
struct Support {
    bool root = ::geteuid() == 0;
    bool acl = false;
    bool userAttributes = false;
    explicit Support(const TempFolder& folder) {
        folder.write("probe", "");
        const std::string probe = folder.file("probe");
        acl = SetAcl(probe, "u::rw-,u:4002:r--,g::---,m::r--,o::---");
        userAttributes = ::setxattr(probe.c_str(), "user.origin", "x", 1, 0) == 0;
        ::unlink(probe.c_str());
    }
};

// How an earlier file was set up: what the machine must allow, and the setting.
struct Earlier {
    const char* name;
    bool needsRoot, needsAcl, needsUserAttributes;
    std::function<void(const std::string& path)> setUp;
    bool possible(const Support& support) const {
        return (!needsRoot || support.root) && (!needsAcl || support.acl) &&
               (!needsUserAttributes || support.userAttributes);
    }
};

const std::vector<Earlier>& EarlierFiles() {
    static const std::vector<Earlier> cases{
        {"private", false, false, false, [](const std::string& p) { ::chmod(p.c_str(), 0600); }},
        // fchmod with this file's mode would give the group the mask's read and write.
        {"private with an access list for one other user", false, true, false,
         [](const std::string& p) { SetAcl(p, "u::rw-,u:4002:rw-,g::---,m::rw-,o::---"); }},
        {"a user attribute", false, false, true,
         [](const std::string& p) {
             ::chmod(p.c_str(), 0640);
             ::setxattr(p.c_str(), "user.origin", "scanner 7", 9, 0);
         }},
        {"another user's, in a shared group", true, false, false,
         [](const std::string& p) {
             ::chown(p.c_str(), kOwner, kSharedGroup);
             ::chmod(p.c_str(), 0640);
         }},
        {"another user's and read-only", true, false, false,
         [](const std::string& p) {
             ::chown(p.c_str(), kOwner, kSharedGroup);
             ::chmod(p.c_str(), 0444);
         }},
        {"another user's, with an access list and an attribute", true, true, true,
         [](const std::string& p) {
             ::chown(p.c_str(), kOwner, kSharedGroup);
             SetAcl(p, "u::rw-,u:4002:r--,g::r--,g:5001:rw-,m::rw-,o::---");
             ::setxattr(p.c_str(), "user.origin", "field survey", 12, 0);
         }},
    };
    return cases;
}

// A folder with a scene, its list and earlier outputs.
void WriteEarlierOutputs(const TempFolder& folder) {
    folder.write("a.met", test::ExampleScene());
    folder.write("filelist.txt", "a.met\r\n");
    folder.write("table.txt", "earlier table\r\n");
    folder.write("polys.txt", "earlier polys\r\nEnd\r\n");
}

TEST(ReplacementKeepsAttributes, EveryOutputKeepsWhatItsEarlierFileHad) {
    const TempFolder probeFolder;
    const Support support(probeFolder);
    for (const Earlier& earlier : EarlierFiles()) {
        SCOPED_TRACE(earlier.name);
        if (!earlier.possible(support)) {
            std::cout << "[ SKIPPED  ] " << earlier.name
                      << ": needs root, access lists or user attributes, which this run lacks\n";
            continue;
        }
        TempFolder folder;
        WriteEarlierOutputs(folder);
        for (const char* name : {"table.txt", "polys.txt", "filelist.txt"})
            earlier.setUp(folder.file(name));
        const std::string before = Attributes(folder.file("table.txt"));

        test::FakeCatalogueHost run(folder.path());
        run.spread = true;
        ASSERT_FALSE(MakeTextFiles(run));
        test::FakeListingHost lister(folder.path());
        ASSERT_FALSE(ListTheFiles(lister));
        EXPECT_TRUE(folder.read("table.txt").starts_with(" 1 \t"));
        EXPECT_EQ(folder.read("polys.txt"), "End\r\n");
        EXPECT_TRUE(folder.read("filelist.txt").starts_with("a.met\r\nfilelist.txt\r\n"));
        for (const char* name : {"table.txt", "polys.txt", "filelist.txt"})
            EXPECT_EQ(Attributes(folder.file(name)), before) << name;

        // A layer's files: each takes its own earlier file's, and one new to the set (the
        // .cpg) takes those of the earlier .shp.
        folder.write("d.shp", "earlier shapes");
        folder.write("d.dbf", "earlier records");
        earlier.setUp(folder.file("d.shp"));
        ::chmod(folder.file("d.dbf").c_str(), 0604);
        const std::string shpBefore = Attributes(folder.file("d.shp"));
        const std::string dbfBefore = Attributes(folder.file("d.dbf"));
        ScratchFolder scratch;
        ASSERT_FALSE(scratch.create(folder.path(), folder.file("d.shp")));
        std::vector<ScratchMove> moves;
        for (const char* name : {"d.shp", "d.dbf", "d.cpg"}) {
            WriteFile(scratch.path() + "/" + name, std::string("new ") + name);
            moves.push_back({scratch.path() + "/" + name, folder.file(name)});
        }
        ASSERT_FALSE(MoveIntoPlace(moves, folder.file("d.shp")));
        EXPECT_EQ(folder.read("d.cpg"), "new d.cpg");
        EXPECT_EQ(Attributes(folder.file("d.shp")), shpBefore);
        EXPECT_EQ(Attributes(folder.file("d.dbf")), dbfBefore);
        EXPECT_EQ(Attributes(folder.file("d.cpg")), shpBefore);
    }
}

// A member of the folder's group replaces the files of the folder's owner: the group,
// mode, access list and attribute stay, and the owner becomes the member. One who is not
// a member keeps the mode, and the group becomes their own.
TEST(ReplacementKeepsAttributes, AnotherUserInASharedGroupFolder) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "runs the tool as another user, which needs root";
    const TempFolder top;
    const Support support(top);
    ::chmod(top.path().c_str(), 0755);
    struct Case {
        const char* name;
        std::vector<gid_t> groups;
        mode_t folderMode;
        mode_t fileMode;
        const char* acl;
        gid_t expectedGroup;
    };
    const Case cases[] = {
        {"a member of the group",
         {kSharedGroup},
         0775,
         0664,
         "u::rw-,u:4003:r--,g::rw-,m::rw-,o::r--",
         kSharedGroup},
        {"not a member, in a folder and files open to all",
         {},
         0777,
         0666,
         "u::rw-,u:4003:r--,g::rw-,m::rw-,o::rw-",
         kOtherUser},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string shared = top.file(c.name);
        ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
        ::chown(shared.c_str(), kOwner, kSharedGroup);
        ::chmod(shared.c_str(), c.folderMode);
        WriteFile(shared + "/a.met", test::ExampleScene());
        WriteFile(shared + "/filelist.txt", "a.met\r\n");
        WriteFile(shared + "/table.txt", "earlier table\r\n");
        WriteFile(shared + "/polys.txt", "earlier polys\r\nEnd\r\n");
        for (const char* name : {"a.met", "filelist.txt", "table.txt", "polys.txt"}) {
            const std::string path = shared + "/" + name;
            ::chown(path.c_str(), kOwner, kSharedGroup);
            ::chmod(path.c_str(), c.fileMode);
        }
        const std::string table = shared + "/table.txt";
        if (support.acl)
            SetAcl(table, c.acl);
        if (support.userAttributes)
            ::setxattr(table.c_str(), "user.origin", "scanner 7", 9, 0);
        const std::string tableBefore = Access(table);

        const int status = test::InChild([&] {
            if (::setgroups(c.groups.size(), c.groups.data()) != 0 || ::setgid(kOtherUser) != 0 ||
                ::setuid(kOtherUser) != 0)
                return 1;
            test::FakeCatalogueHost run(shared);
            run.spread = true;
            test::FakeListingHost lister(shared);
            return MakeTextFiles(run) || ListTheFiles(lister) ? 1 : 0;
        });
        ASSERT_EQ(status, 0);
        const std::string owner =
            std::to_string(kOtherUser) + ":" + std::to_string(c.expectedGroup);
        for (const char* name : {"table.txt", "polys.txt", "filelist.txt"})
            EXPECT_EQ(Owner(shared + "/" + name), owner) << name;
        EXPECT_EQ(Access(shared + "/polys.txt"), Access(shared + "/a.met"));
        EXPECT_EQ(Access(table), tableBefore);
        std::ifstream in(table, std::ios::binary);
        std::string firstLine;
        std::getline(in, firstLine);
        EXPECT_TRUE(firstLine.starts_with(" 1 \t")) << firstLine;
    }
}

} // namespace
} // namespace aster
