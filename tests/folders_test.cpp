#include "fileio/directory.h"
#include "listing/folders.h"

#include "tests/test_support.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {
namespace {

using test::TempFolder;
using Strings = std::vector<std::string>;

TEST(NormalFolderPath, Table) {
    struct Row {
        const char* path;
        const char* normal;
    };
    for (const Row& row : {Row{"/", "/"}, Row{"//", "/"}, Row{"/a/b/", "/a/b"},
                           Row{"/a//b/./c", "/a/b/c"}, Row{"/a/b/..", "/a"}, Row{"/..", "/"},
                           Row{"/a/../../b", "/b"}, Row{"/\xe9t\xe9 x", "/\xe9t\xe9 x"}})
        EXPECT_EQ(NormalFolderPath(row.path), row.normal) << row.path;
    std::vector<char> cwd(4096);
    ASSERT_NE(::getcwd(cwd.data(), cwd.size()), nullptr);
    EXPECT_EQ(NormalFolderPath("sub/."), NormalFolderPath(std::string(cwd.data()) + "/sub"));
}

// A folder holding one entry of every kind the tool meets.
void MakeEveryKind(const TempFolder& folder) {
    folder.write("file.met", "GROUP");
    ::mkdir(folder.file("folder").c_str(), 0755);
    ::mkdir(folder.file(".hidden").c_str(), 0755);
    ::symlink("folder", folder.file("link to folder").c_str());
    ::symlink("file.met", folder.file("link to file").c_str());
    ::symlink("nowhere", folder.file("dangling").c_str());
    ::mkfifo(folder.file("fifo").c_str(), 0644);
    test::MakeSocket(folder.file("socket"));
}

TEST(ReadDirectory, KindsWithAndWithoutTheEntrysType) {
    TempFolder folder;
    MakeEveryKind(folder);
    struct Expected {
        EntryKind kind;
        bool leadsToFolder;
    };
    const std::map<std::string, Expected> expected{
        {"file.met", {EntryKind::File, false}},     {"folder", {EntryKind::Folder, true}},
        {".hidden", {EntryKind::Folder, true}},     {"link to folder", {EntryKind::Link, true}},
        {"link to file", {EntryKind::Link, false}}, {"dangling", {EntryKind::Link, false}},
        {"fifo", {EntryKind::Other, false}},        {"socket", {EntryKind::Other, false}}};

    std::map<std::string, Expected> seen;
    const auto error = ReadDirectory(folder.path(), [&](const DirectoryEntry& entry) {
        seen.emplace(entry.name(), Expected{entry.kind(), entry.leadsToFolder()});
        return Visit::Next;
    });
    ASSERT_FALSE(error);
    ASSERT_EQ(seen.size(), expected.size()); // "." and ".." are not entries
    // File systems that leave the type out: the entry is looked up instead.
    const int fd = ::open(folder.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const auto& [name, want] : expected) {
        EXPECT_EQ(seen[name].kind, want.kind) << name;
        EXPECT_EQ(seen[name].leadsToFolder, want.leadsToFolder) << name;
        dirent unknown{};
        unknown.d_type = DT_UNKNOWN;
        std::strncpy(unknown.d_name, name.c_str(), sizeof unknown.d_name - 1);
        const DirectoryEntry entry(fd, unknown);
        EXPECT_EQ(entry.kind(), want.kind) << name << " without type";
        EXPECT_EQ(entry.leadsToFolder(), want.leadsToFolder) << name << " without type";
    }
    dirent gone{};
    gone.d_type = DT_UNKNOWN;
    std::strncpy(gone.d_name, "gone", sizeof gone.d_name - 1);
    EXPECT_EQ(DirectoryEntry(fd, gone).kind(), EntryKind::Other);
    ::close(fd);
}

TEST(ReadDirectory, StopsWhenAskedAndClosesTheFolderOnEveryWayOut) {
    TempFolder folder;
    for (int i = 0; i < 10; ++i)
        folder.write("f" + std::to_string(i), "");
    folder.write("plain", "");
    const std::size_t descriptors = test::OpenDescriptorCount();
    int visited = 0;
    EXPECT_FALSE(ReadDirectory(folder.path(), [&](const DirectoryEntry&) {
        return ++visited == 3 ? Visit::Stop : Visit::Next;
    }));
    EXPECT_EQ(visited, 3);
    struct Failure {
        std::string path;
        int code;
    };
    for (const Failure& row :
         {Failure{folder.file("gone"), ENOENT}, Failure{folder.file("plain"), ENOTDIR}}) {
        const auto error =
            ReadDirectory(row.path, [](const DirectoryEntry&) { return Visit::Next; });
        ASSERT_TRUE(error) << row.path;
        EXPECT_EQ(error->code, row.code);
        EXPECT_EQ(error->description, std::strerror(row.code) + (": " + row.path));
    }
    EXPECT_EQ(test::OpenDescriptorCount(), descriptors);
}

TEST(ReadSubfolders, FoldersAndLinksToFoldersInByteOrder) {
    TempFolder folder;
    MakeEveryKind(folder);
    for (const char* name : {"b", "B", "\xe9t\xe9", "a b"})
        ::mkdir(folder.file(name).c_str(), 0755);
    Strings names;
    ASSERT_FALSE(ReadSubfolders(folder.path(), names));
    EXPECT_EQ(names, (Strings{"B", "a b", "b", "folder", "link to folder", "\xe9t\xe9"}));

    const auto error = ReadSubfolders(folder.file("gone"), names);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "No such file or directory: " + folder.file("gone"));
}

TEST(ReadSubfolders, ReportsNowAndThenAndStopsWhenAsked) {
    TempFolder folder;
    for (int i = 0; i < 2500; ++i)
        ::mkdir(folder.file("d" + std::to_string(i)).c_str(), 0755);
    struct Row {
        std::int64_t stopAt; // 0: never
        std::vector<std::int64_t> reports;
        bool cancelled;
    };
    for (const Row& row : {Row{0, {1024, 2048, 2500}, false}, Row{1024, {1024}, true},
                           Row{2500, {1024, 2048, 2500}, true}}) {
        std::vector<std::int64_t> reports;
        Strings names;
        const auto error = ReadSubfolders(folder.path(), names, [&](std::int64_t entriesRead) {
            reports.push_back(entriesRead);
            return entriesRead != row.stopAt;
        });
        EXPECT_EQ(reports, row.reports) << "stop at " << row.stopAt;
        EXPECT_EQ(error.has_value(), row.cancelled);
        if (row.cancelled) {
            EXPECT_TRUE(IsCancellation(*error));
        } else {
            EXPECT_EQ(names.size(), 2500u);
        }
    }
}

} // namespace
} // namespace aster
