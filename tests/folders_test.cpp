#include "fileio/directory.h"
#include "fileio/folder.h"
#include "fileio/unique_fd.h"
#include "listing/folders.h"

#include "tests/test_support.h"

#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <thread>

namespace aster {
namespace {

using test::TempFolder;

std::string Normal(std::string_view path) {
    std::string normal;
    if (auto error = NormalFolderPath(path, normal))
        return FormatError(*error);
    return normal;
}

TEST(NormalFolderPath, Table) {
    for (const auto& [path, normal] : std::map<std::string, std::string>{
             {"/", "/"}, {"//", "/"}, {"/a//b/./c/", "/a/b/c"}, {"/a/../../b", "/b"}})
        EXPECT_EQ(Normal(path), normal) << path;
    EXPECT_EQ(Normal("sub/."), std::filesystem::current_path().string() + "/sub");
}

// A relative path starts from the current folder however long its path is, and never from
// the root when the current folder has gone.
TEST(NormalFolderPath, FromTheCurrentFolderOrAnError) {
    TempFolder folder;
    const int status = test::InChild([&] {
        if (::chdir(folder.path().c_str()) != 0)
            return 1;
        // Made one step at a time: the whole path is longer than the system takes at once.
        std::string deep = folder.path();
        const std::string step(200, 'd');
        int steps = 0;
        for (; deep.size() <= 5000; ++steps) {
            if (::mkdir(step.c_str(), 0755) != 0 || ::chdir(step.c_str()) != 0)
                return 1;
            deep += "/" + step;
        }
        const bool deepFound = Normal("sub/..//x") == deep + "/x";
        const UniqueFd deepest(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (::mkdir("gone", 0755) != 0 || ::chdir("gone") != 0 || ::rmdir("../gone") != 0)
            return 1;
        std::string normal;
        const auto error = NormalFolderPath("x", normal);
        const bool goneSaid = error && error->kind == ErrorKind::NoCurrentFolder &&
                              FormatError(*error) ==
                                  "Error 2: Cannot find the current folder: No such file or "
                                  "directory" &&
                              Normal("/still/fine") == "/still/fine";
        // Taken down the way it was made: a path this long is too long to remove whole.
        for (bool up = ::fchdir(deepest.get()) == 0; up && steps-- > 0;)
            up = ::chdir("..") == 0 && ::rmdir(step.c_str()) == 0;
        return deepFound ? (goneSaid ? 0 : 3) : 2;
    });
    EXPECT_EQ(status, 0);
}

TEST(ReadDirectory, KindsFromTheEntryOrLookedUp) {
    TempFolder folder;
    folder.write("file", "");
    for (const char* name : {"folder", ".hidden", "b", "B", "\xe9t\xe9"})
        ::mkdir(folder.file(name).c_str(), 0755);
    ::symlink("folder", folder.file("link to folder").c_str());
    ::symlink("file", folder.file("link to file").c_str());
    ::symlink("nowhere", folder.file("dangling").c_str());
    ::mkfifo(folder.file("fifo").c_str(), 0644);
    test::MakeSocket(folder.file("socket"));
    const std::map<std::string, std::pair<EntryKind, bool>> expected{
        {"file", {EntryKind::File, false}},
        {"folder", {EntryKind::Folder, true}},
        {".hidden", {EntryKind::Folder, true}},
        {"b", {EntryKind::Folder, true}},
        {"B", {EntryKind::Folder, true}},
        {"\xe9t\xe9", {EntryKind::Folder, true}},
        {"link to folder", {EntryKind::Link, true}},
        {"link to file", {EntryKind::Link, false}},
        {"dangling", {EntryKind::Link, false}},
        {"fifo", {EntryKind::Other, false}},
        {"socket", {EntryKind::Other, false}},
        {"gone", {EntryKind::Other, false}}};
    const UniqueFd fd(::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::size_t seen = 0;
    ASSERT_FALSE(ReadDirectory(folder.path(), [&](const DirectoryEntry& entry) {
        ++seen;
        // As on a file system that leaves the type out: the entry is looked up instead.
        dirent unknown{};
        std::strncpy(unknown.d_name, entry.name().data(), sizeof unknown.d_name - 1);
        unknown.d_type = DT_UNKNOWN;
        const auto& [kind, toFolder] = expected.at(std::string(entry.name()));
        for (const DirectoryEntry& read : {entry, DirectoryEntry(fd.get(), unknown)}) {
            EXPECT_EQ(read.kind(), kind) << entry.name();
            EXPECT_EQ(read.leadsToFolder(), toFolder) << entry.name();
        }
    }));
    EXPECT_EQ(seen, expected.size() - 1); // not ".", "..", nor "gone"
    dirent gone{};
    std::strcpy(gone.d_name, "gone");
    EXPECT_EQ(DirectoryEntry(fd.get(), gone).kind(), EntryKind::Other);
    // One whose look-up fails but for its absence (an I/O error on a share; here its
    // folder's descriptor is a file's) is Unknown, which a listing names, not leaves out.
    const UniqueFd notAFolder(::open(folder.file("file").c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(DirectoryEntry(notAFolder.get(), gone).kind(), EntryKind::Unknown);
    EXPECT_FALSE(DirectoryEntry(notAFolder.get(), gone).leadsToFolder());

    std::vector<std::string> names;
    ASSERT_FALSE(ReadSubfolders(folder.path(), names));
    EXPECT_EQ(names, (std::vector<std::string>{"B", "b", "folder", "link to folder", "\xe9t\xe9"}));
}

TEST(ReadDirectory, ReportsStopsAndClosesTheFolderOnEveryWayOut) {
    TempFolder folder;
    for (int i = 0; i < 2100; ++i)
        folder.write(std::to_string(i), "");
    const std::size_t descriptors = test::OpenDescriptorCount();
    using Reports = std::vector<std::int64_t>;
    for (const auto& [stopAt, expected] : std::map<std::int64_t, Reports>{
             {0, {1024, 2048, 2100}}, {1024, {1024}}, {2100, {1024, 2048, 2100}}}) {
        Reports reports;
        const auto error = ReadDirectory(
            folder.path(), [](const DirectoryEntry&) {},
            [&](auto n) {
                reports.push_back(n);
                return n != stopAt;
            });
        EXPECT_EQ(reports, expected);
        EXPECT_EQ(error ? error->description : "",
                  stopAt ? "Stopped after reading " + std::to_string(stopAt) + " entries." : "");
    }
    EXPECT_EQ(test::OpenDescriptorCount(), descriptors);

    // Where each entry is slow, a stop is asked for long before the 1024th.
    std::vector<std::int64_t> asked;
    const auto error = ReadDirectory(
        folder.path(),
        [](const DirectoryEntry&) { std::this_thread::sleep_for(std::chrono::milliseconds(10)); },
        [&](auto n) {
            asked.push_back(n);
            return asked.size() < 2;
        });
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_LT(asked.back(), 1024);
    EXPECT_EQ(error ? error->description : "",
              "Stopped after reading " + std::to_string(asked.back()) + " entries.");
}

} // namespace
} // namespace aster
