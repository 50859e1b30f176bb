#include "listing/folder_listing.h"
#include "listing/tree_listing.h"

#include "catalogue/build_run.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <sched.h>
#include <set>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace aster {
namespace {

using test::FakeListingHost;
using test::TempFolder;

std::string List(const TempFolder& folder) {
    FakeListingHost host(folder.path());
    const auto error = ListTheFiles(host);
    EXPECT_FALSE(error) << (error ? error->description : "");
    return folder.read("filelist.txt");
}

TEST(ListTheFiles, WritesOneCrLfLinePerEntry) {
    {
        SCOPED_TRACE("two files, no third empty line");
        TempFolder folder;
        folder.write("b.met", "GROUP");
        folder.write("a.met", "GROUP");
        EXPECT_EQ(List(folder), "a.met\r\nb.met\r\n");
    }
    {
        SCOPED_TRACE("empty folder gives zero bytes");
        TempFolder folder;
        EXPECT_EQ(List(folder), "");
    }
    {
        SCOPED_TRACE("the first listing's list file is in the second listing");
        TempFolder folder;
        folder.write("a.met", "");
        EXPECT_EQ(List(folder), "a.met\r\n");
        EXPECT_EQ(List(folder), "a.met\r\nfilelist.txt\r\n");
    }
}

TEST(ListTheFiles, WhichEntriesAreListed) {
    TempFolder folder;
    folder.write("scene 1.met", "");
    folder.write("\xe9t\xe9.met", ""); // Latin-1, not UTF-8
    folder.write("-dash.met", "");
    folder.write("<b>x.met", "");
    folder.write(".hidden.met", "");
    folder.write("line\nfeed.met", "");
    folder.write("carriage\rreturn.met", "");
    ::mkdir(folder.file("subfolder").c_str(), 0755);
    ::mkdir(folder.file(".hiddendir").c_str(), 0755);
    ::symlink("nowhere", folder.file("dangling.met").c_str());
    ::mkfifo(folder.file("fifo.met").c_str(), 0644);
    test::MakeSocket(folder.file("socket.met"));
    EXPECT_EQ(List(folder), "-dash.met\r\n<b>x.met\r\ndangling.met\r\nscene 1.met\r\n"
                            "subfolder\r\n\xe9t\xe9.met\r\n");
    // Of the names left out, those no list line can hold are told, as no one would look
    // for the hidden ones.
    struct Told : FakeListingHost {
        using FakeListingHost::FakeListingHost;
        std::set<std::string> names;
        void nameSkipped(std::string_view path, std::string_view reason) override {
            names.insert(std::string(path) + ": " + std::string(reason));
        }
    } told(folder.path());
    ASSERT_FALSE(ListTheFiles(told));
    const std::string why = ": " + std::string(kUnlistableName);
    EXPECT_EQ(told.names, (std::set<std::string>{folder.file("carriage\rreturn.met") + why,
                                                 folder.file("line\nfeed.met") + why}));
}

// Shell patterns pick names as `find -name` does: the whole name, case and bytes as they
// are, any of several; without patterns every name is listed.
TEST(ListTheFiles, NamePatternsPickTheNamesListed) {
    TempFolder folder;
    for (const char* name : {"a.met", "b.MET", "scene 1.met", "AST_L1B.hdf", "AST_L1B.hdf.xml",
                             "\xe9t\xe9.met", "notes.txt", "-dash.met", "[x].met", ".hidden.met"})
        folder.write(name, "");
    ::mkdir(folder.file("dir.met").c_str(), 0755);
    struct PatternHost : FakeListingHost {
        using FakeListingHost::FakeListingHost;
        std::vector<std::string> patterns;
        std::vector<std::string> namePatterns() override { return patterns; }
    };
    struct Case {
        std::vector<std::string> patterns;
        std::string listed;
    };
    const std::string all = "-dash.met\r\nAST_L1B.hdf\r\nAST_L1B.hdf.xml\r\n[x].met\r\na.met\r\n"
                            "b.MET\r\ndir.met\r\nnotes.txt\r\nscene 1.met\r\n\xe9t\xe9.met\r\n";
    const std::string metFiles =
        "-dash.met\r\n[x].met\r\na.met\r\ndir.met\r\nscene 1.met\r\n\xe9t\xe9.met\r\n";
    const Case cases[] = {
        {{}, all},
        {{"*"}, all},
        {{"[!.]*"}, all}, // hidden names are never listed
        {{"*.met"}, metFiles},
        {{"*.MET"}, "b.MET\r\n"},
        {{"*.hdf.xml"}, "AST_L1B.hdf.xml\r\n"},
        {{"*.hdf.xml", "*.met"},
         "-dash.met\r\nAST_L1B.hdf.xml\r\n[x].met\r\na.met\r\ndir.met\r\n"
         "scene 1.met\r\n\xe9t\xe9.met\r\n"},
        {{"*.hdf"}, "AST_L1B.hdf\r\n"},
        {{"scene ?.met"}, "scene 1.met\r\n"},
        {{"\xe9*"}, "\xe9t\xe9.met\r\n"},
        {{"\\[x].met"}, "[x].met\r\n"},
        {{"[x].met"}, ""},
        {{"*.hidden*", "nothing"}, ""},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const std::string& pattern : c.patterns)
            shown += "'" + pattern + "' ";
        SCOPED_TRACE(shown);
        PatternHost host(folder.path());
        host.patterns = c.patterns;
        const std::string earlier = folder.read("filelist.txt");
        const std::optional<Error> error = ListTheFiles(host);
        // Patterns that match nothing keep the earlier list rather than empty it.
        if (c.listed.empty()) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, ENODATA);
            EXPECT_EQ(folder.read("filelist.txt"), earlier);
            continue;
        }
        ASSERT_FALSE(error) << error->description;
        std::string listed = folder.read("filelist.txt");
        // The list made by the case before is listed too, when a pattern takes it.
        if (const std::size_t at = listed.find("filelist.txt\r\n"); at != std::string::npos)
            listed.erase(at, 14);
        EXPECT_EQ(listed, c.listed);
    }
}

TEST(NameList, SortsByBytesLikeStringCompare) {
    // Few letters and long shared prefixes exercise every depth of the eight-byte keys.
    std::mt19937 random(7);
    std::uniform_int_distribution<int> length(1, 40);
    std::uniform_int_distribution<int> letter(0, 2);
    const char letters[] = {'a', 'b', '\xff'};
    // Names of 700 bytes fill several of the list's blocks, and one is larger than a block.
    const std::string longPrefix(700, 'b');
    std::set<std::string> unique{std::string(3 << 20, 'a')};
    while (unique.size() < 6000) {
        std::string name = unique.size() % 3 == 0   ? "AST_L1B_00305202001"
                           : unique.size() % 3 == 1 ? longPrefix
                                                    : "";
        for (int i = length(random); i > 0; --i)
            name += letters[letter(random)];
        unique.insert(name);
    }
    std::vector<std::string> shuffled(unique.begin(), unique.end());
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    NameList names;
    for (const std::string& name : shuffled)
        names.add(name);
    names.sort();
    ASSERT_EQ(names.size(), unique.size());
    std::size_t i = 0;
    for (const std::string& expected : unique) // std::set orders by unsigned bytes too
        ASSERT_EQ(names[i++], expected) << "at " << i;
}

// A read-only drive is told before its folder is read, which on a slow share takes long.
TEST(ListTheFiles, AReadOnlyDriveIsToldBeforeTheFolderIsRead) {
    TempFolder folder;
    folder.write("a.met", "");
    const int status = test::InChild([&] {
        if (!test::OwnMountNamespace() ||
            ::mount(folder.path().c_str(), folder.path().c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            ::mount(nullptr, folder.path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                    nullptr) != 0)
            return test::kSkip;
        struct Counting final : FakeListingHost {
            using FakeListingHost::FakeListingHost;
            int reports = 0;
            void progress(std::int64_t) override { ++reports; }
        } host(folder.path());
        const std::optional<Error> error = ListTheFiles(host);
        return error && error->kind == ErrorKind::ReadOnly && host.reports == 0 ? 0 : 1;
    });
    if (status == test::kSkip)
        GTEST_SKIP() << "no read-only mount can be made here";
    EXPECT_EQ(status, 0);
}

TEST(ListTheFiles, Errors) {
    {
        SCOPED_TRACE("missing folder");
        TempFolder folder;
        FakeListingHost host(folder.file("gone"));
        const auto error = ListTheFiles(host);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, ENOENT);
        EXPECT_EQ(error->description, "No such file or directory: " + folder.file("gone") + "/");
    }
    {
        SCOPED_TRACE("a file, not a folder");
        TempFolder folder;
        folder.write("plain", "");
        FakeListingHost host(folder.file("plain"));
        const auto error = ListTheFiles(host);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, ENOTDIR);
    }
    {
        SCOPED_TRACE("list file that cannot be created");
        TempFolder folder;
        ::mkdir(folder.file("filelist.txt").c_str(), 0755);
        FakeListingHost host(folder.path());
        const auto error = ListTheFiles(host);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EISDIR);
        EXPECT_NE(error->description.find("filelist.txt"), std::string::npos);
    }
}

TEST(ListTheFiles, CatalogueOfAFreshListingIsInNameOrder) {
    TempFolder folder;
    folder.write("c.met", test::SceneText("3", "c", "", ""));
    folder.write("a.met", test::SceneText("1", "a", "", ""));
    folder.write("b.met", test::SceneText("2", "b", "", ""));
    List(folder);
    test::FakeCatalogueHost host(folder.path());
    host.spread = true;
    ASSERT_FALSE(MakeTextFiles(host));
    const std::string prefix = folder.path() + "/";
    EXPECT_EQ(folder.read("table.txt"), " 1 \t" + prefix + "a.met\t1\ta" + std::string(8, '\t') +
                                            "\r\n" + " 2 \t" + prefix + "b.met\t2\tb" +
                                            std::string(8, '\t') + "\r\n" + " 3 \t" + prefix +
                                            "c.met\t3\tc" + std::string(8, '\t') + "\r\n");
}

// A recursive listing as the command line asks for one, recording what it is told.
struct TreeHost : FakeListingHost {
    using FakeListingHost::FakeListingHost;
    std::vector<std::string> patterns;
    std::string list;
    std::vector<std::string> skipped;
    std::vector<std::int64_t> counts;
    bool recursive() override { return true; }
    std::vector<std::string> namePatterns() override { return patterns; }
    std::string listPath() override { return list; }
    void progress(std::int64_t entriesRead) override { counts.push_back(entriesRead); }
    void folderSkipped(std::string_view path, std::string_view reason) override {
        skipped.push_back(std::string(path) + ": " + std::string(reason));
    }
    std::vector<std::string> unlisted;
    void nameSkipped(std::string_view path, std::string_view reason) override {
        unlisted.push_back(std::string(path) + ": " + std::string(reason));
    }
};

void MakeFolder(const TempFolder& folder, const std::string& name) {
    ASSERT_EQ(::mkdir(folder.file(name).c_str(), 0755), 0) << name;
}

// Every kind of entry a tree holds, and names whose bytes sort "a-b" < "a.b" < "a/x".
void FillTree(const TempFolder& folder) {
    for (const char* name : {"a", "a/b", "a/b/c", "empty", ".hidden", "\xe9t\xe9", "line\nfeed",
                             "elsewhere", "x.met", "sp ace"})
        MakeFolder(folder, name);
    for (const char* name :
         {"top.met", "a-b", "a.b", "a/x.met", "a/b/c/deep.met", "a/b/.hid.met", ".hidden/in.met",
          "\xe9t\xe9/\xff.hdf.xml", "line\nfeed/in.met", "a/carriage\rreturn.met",
          "elsewhere/not-listed.met", "x.met/inside.txt", "sp ace/s 1.met"})
        folder.write(name, "");
    ::symlink("elsewhere", folder.file("a/folder-link").c_str());
    ::symlink("../top.met", folder.file("a/file-link.met").c_str());
    ::symlink("nowhere", folder.file("dangling.met").c_str());
    ::mkfifo(folder.file("a/fifo.met").c_str(), 0644);
}

constexpr std::string_view kTreeListing =
    "a-b\r\na.b\r\na/b/c/deep.met\r\na/file-link.met\r\n"
    "a/folder-link\r\na/x.met\r\ndangling.met\r\n"
    "elsewhere/not-listed.met\r\nsp ace/s 1.met\r\n"
    "top.met\r\nx.met/inside.txt\r\n\xe9t\xe9/\xff.hdf.xml\r\n";

TEST(RecursiveListing, ListsTheTreesFilesByTheBytesOfTheirPaths) {
    TempFolder folder;
    FillTree(folder);
    TreeHost host(folder.path());
    ASSERT_FALSE(ListTheFiles(host));
    // Folders are entered, not listed; a link to a folder is listed and not followed.
    EXPECT_EQ(folder.read("filelist.txt"), kTreeListing);
    // What a line break keeps out of the list is named, a folder with all it holds.
    const std::string why = ": " + std::string(kUnlistableName);
    EXPECT_EQ(host.skipped, std::vector<std::string>{folder.file("line\nfeed") + why});
    EXPECT_EQ(host.unlisted, std::vector<std::string>{folder.file("a/carriage\rreturn.met") + why});
    // Every entry of the folders entered is counted, hidden or not, the last count once
    // the tree is read; the hidden folder and the one named with a line feed are not read.
    ASSERT_FALSE(host.counts.empty());
    EXPECT_TRUE(std::is_sorted(host.counts.begin(), host.counts.end()));
    EXPECT_EQ(host.counts.back(), 25);

    // The same names in memory, with nothing written: the earlier list is listed now.
    std::filesystem::remove(folder.file("filelist.txt"));
    NameList names;
    ASSERT_FALSE(ReadListing(host, names));
    std::string lines;
    for (std::size_t i = 0; i < names.size(); ++i)
        lines += std::string(names[i]) + "\r\n";
    EXPECT_EQ(lines, kTreeListing);
    EXPECT_FALSE(folder.exists("filelist.txt"));
}

// Patterns match a file's own name, never the folders on its path.
TEST(RecursiveListing, PatternsMatchTheFilesOwnNames) {
    TempFolder folder;
    FillTree(folder);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"*.met"},
         "a/b/c/deep.met\r\na/file-link.met\r\na/x.met\r\ndangling.met\r\n"
         "elsewhere/not-listed.met\r\nsp ace/s 1.met\r\ntop.met\r\n"},
        {{"*.txt", "*.xml"}, "x.met/inside.txt\r\n\xe9t\xe9/\xff.hdf.xml\r\n"},
        {{"a/*"}, ""},
        {{"deep*"}, "a/b/c/deep.met\r\n"},
        {{"*link*"}, "a/file-link.met\r\na/folder-link\r\n"},
    };
    for (const auto& [patterns, listed] : cases) {
        SCOPED_TRACE(patterns.front());
        TreeHost host(folder.path());
        host.patterns = patterns;
        NameList names;
        ASSERT_FALSE(ReadListing(host, names));
        std::string lines;
        for (std::size_t i = 0; i < names.size(); ++i)
            lines += std::string(names[i]) + "\r\n";
        EXPECT_EQ(lines, listed);
    }
}

// Names of random bytes in random nesting, against the standard library's own walk.
TEST(RecursiveListing, AgreesWithAWalkThatSortsWholePaths) {
    TempFolder folder;
    std::mt19937 random(11);
    const std::string alphabet = std::string("ab.-_ ") + "\x01\x7f\xc3\xa9\xff";
    std::vector<std::string> folders{""};
    std::set<std::string> expected;
    for (int i = 0; i < 400; ++i) {
        std::string name;
        for (int n = 1 + int(random() % 4); n > 0; --n)
            name += alphabet[random() % alphabet.size()];
        const std::string& parent = folders[random() % folders.size()];
        const std::string path = parent + name;
        if (std::filesystem::exists(folder.file(path)))
            continue;
        if (random() % 4 == 0) {
            MakeFolder(folder, path);
            if (name.front() != '.' && parent.find("/.") == std::string::npos &&
                !parent.starts_with("."))
                folders.push_back(path + "/");
        } else {
            folder.write(path, "");
        }
    }
    for (auto at = std::filesystem::recursive_directory_iterator(folder.path());
         at != std::filesystem::recursive_directory_iterator(); ++at) {
        const std::string name = at->path().filename().string();
        if (name.front() == '.') {
            at.disable_recursion_pending();
            continue;
        }
        if (at->is_regular_file())
            expected.insert(at->path().string().substr(folder.path().size() + 1));
    }
    TreeHost host(folder.path());
    NameList names;
    ASSERT_FALSE(ReadListing(host, names));
    ASSERT_EQ(names.size(), expected.size());
    std::size_t i = 0;
    for (const std::string& path : expected) // std::set orders by unsigned bytes
        ASSERT_EQ(names[i++], path) << "at " << i;
}

// Names, kinds, sizes and change times of everything in a tree, not following links.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> entries;
    for (auto at = std::filesystem::recursive_directory_iterator(root);
         at != std::filesystem::recursive_directory_iterator(); ++at) {
        struct stat info {};
        ::lstat(at->path().c_str(), &info);
        entries[at->path().string()] =
            std::to_string(info.st_mode) + " " + std::to_string(info.st_size) + " " +
            std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec) + " " +
            std::to_string(info.st_ctim.tv_sec) + "." + std::to_string(info.st_ctim.tv_nsec);
    }
    return entries;
}

// Listed to a list elsewhere, a read-only archive is left exactly as it was, even the
// scratch file a killed run left in it, which a list written into it would remove.
TEST(RecursiveListing, AnArchiveListedElsewhereIsLeftAsItWas) {
    TempFolder archive;
    FillTree(archive);
    const std::string scratch = ".aster-filelist.txt-0123456789abcdef";
    archive.write(scratch, "partial");
    const timespec old[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, archive.file(scratch).c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
    for (const char* name : {"a/b/c", "a/b", "a", ""})
        ::chmod(archive.file(name).c_str(), 0555);
    const auto before = Snapshot(archive.path());
    TempFolder lists;
    for (const bool recursive : {true, false}) {
        SCOPED_TRACE(recursive ? "recursive" : "flat");
        TreeHost host(archive.path());
        host.list = lists.file(recursive ? "tree.txt" : "flat.txt");
        if (recursive) {
            ASSERT_FALSE(ListTheFiles(host));
        } else {
            struct FlatHost : TreeHost {
                using TreeHost::TreeHost;
                bool recursive() override { return false; }
            } flat(archive.path());
            flat.list = host.list;
            ASSERT_FALSE(ListTheFiles(flat));
        }
        EXPECT_EQ(Snapshot(archive.path()), before);
    }
    EXPECT_EQ(lists.read("tree.txt"), kTreeListing);
    EXPECT_EQ(lists.read("flat.txt"), "a\r\na-b\r\na.b\r\ndangling.met\r\nelsewhere\r\nempty\r\n"
                                      "sp ace\r\ntop.met\r\nx.met\r\n\xe9t\xe9\r\n");
    // Into the archive, the list removes what the killed run left.
    ::chmod(archive.path().c_str(), 0755);
    TreeHost into(archive.path());
    ASSERT_FALSE(ListTheFiles(into));
    EXPECT_FALSE(archive.exists(scratch));
    EXPECT_EQ(archive.read("filelist.txt"), kTreeListing);
}

TEST(RecursiveListing, DeepFoldersAreNamedAsSkipped) {
    TempFolder folder;
    std::string path;
    for (int depth = 1; depth <= kMaxTreeDepth + 1; ++depth) {
        path += depth == 1 ? "d" : "/d";
        MakeFolder(folder, path);
        folder.write(path + "/f" + std::to_string(depth), "");
    }
    TreeHost host(folder.path());
    NameList names;
    ASSERT_FALSE(ReadListing(host, names));
    ASSERT_EQ(names.size(), std::size_t(kMaxTreeDepth));
    // "d/d/...": the deepest path sorts first.
    EXPECT_TRUE(names[0].ends_with("/f" + std::to_string(kMaxTreeDepth))) << names[0];
    EXPECT_EQ(host.skipped,
              (std::vector<std::string>{folder.file(path) + ": more than " +
                                        std::to_string(kMaxTreeDepth) + " folders deep"}));
}

// One descriptor a level: where the process may open too few for the tree's depth, the
// folders beyond are named as skipped and the rest is listed.
TEST(RecursiveListing, FoldersBeyondTheDescriptorLimitAreNamedAsSkipped) {
    TempFolder folder;
    std::string path;
    for (int depth = 1; depth <= 60; ++depth) {
        path += depth == 1 ? "d" : "/d";
        MakeFolder(folder, path);
        folder.write(path + "/f", "");
    }
    folder.write("top", "");
    const int status = test::InChild([&] {
        const rlimit few{40, 40};
        if (::setrlimit(RLIMIT_NOFILE, &few) != 0)
            return test::kSkip;
        TreeHost host(folder.path());
        NameList names;
        const bool listed = !ReadListing(host, names) && names.size() > 10 && names.size() < 60 &&
                            names[names.size() - 1] == "top" && host.skipped.size() == 1 &&
                            host.skipped[0].ends_with(": Too many open files");
        return listed ? 0 : 1;
    });
    if (status == test::kSkip)
        GTEST_SKIP() << "the descriptor limit cannot be lowered here";
    EXPECT_EQ(status, 0);
}

// A folder mounted inside itself would nest without end; its files are listed once. Needs
// a mount namespace of its own, which only root gets.
TEST(RecursiveListing, AMountOfAnOuterFolderIsNotEnteredAgain) {
    TempFolder folder;
    FillTree(folder);
    MakeFolder(folder, "a/b/again");
    const int status = test::InChild([&] {
        if (!test::OwnMountNamespace() ||
            ::mount(folder.path().c_str(), folder.file("a/b/again").c_str(), nullptr, MS_BIND,
                    nullptr) != 0)
            return test::kSkip;
        TreeHost host(folder.path());
        NameList names;
        const bool listed =
            !ReadListing(host, names) && names.size() == 12 &&
            host.skipped ==
                std::vector<std::string>{
                    folder.file("line\nfeed") + ": " + std::string(kUnlistableName),
                    folder.file("a/b/again") + ": a mount of a folder that holds it, whose "
                                               "files are listed there"};
        return listed ? 0 : 1;
    });
    if (status == test::kSkip)
        GTEST_SKIP() << "no mount namespace of its own here";
    EXPECT_EQ(status, 0);
}

TEST(RecursiveListing, StopsWhenAskedAndChangesNothing) {
    TempFolder folder;
    for (const char* name : {"one", "two"}) {
        MakeFolder(folder, name);
        for (int i = 0; i < 1100; ++i)
            folder.write(std::string(name) + "/" + std::to_string(i), "");
    }
    struct StoppingHost : TreeHost {
        using TreeHost::TreeHost;
        bool cancelRequested() override { return counts.size() >= 3; }
    } host(folder.path());
    const auto error = ListTheFiles(host);
    ASSERT_TRUE(error);
    EXPECT_TRUE(IsCancellation(*error));
    // The count of the whole tree, not of the folder being read.
    EXPECT_EQ(error->description, "Stopped after reading " + std::to_string(host.counts.back()) +
                                      " entries. Nothing was changed.");
    EXPECT_GT(host.counts.back(), 1100);
    EXPECT_FALSE(folder.exists("filelist.txt"));
}

TEST(ListTheFiles, ListWrittenElsewhere) {
    TempFolder folder, elsewhere;
    folder.write("a.met", "");
    MakeFolder(folder, "out");
    struct Case {
        std::string list;
        int code; // 0: written
    };
    const Case cases[] = {
        {folder.file("out/list.txt"), 0},
        {folder.file("out/"), EISDIR},
        {folder.file("out"), EISDIR},
        {folder.file("gone/list.txt"), ENOENT},
        {folder.file("a.met/list.txt"), ENOTDIR},
        // A link to a device names the device: neither written through nor replaced.
        {elsewhere.file("null"), EINVAL},
    };
    ::symlink("/dev/null", elsewhere.file("null").c_str());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        TreeHost host(folder.path());
        host.list = c.list;
        const auto error = ListTheFiles(host);
        EXPECT_EQ(error ? error->code : 0, c.code);
        if (error) {
            EXPECT_NE(error->description.find(c.list), std::string::npos) << error->description;
        }
    }
    EXPECT_EQ(folder.read("out/list.txt"), "a.met\r\n");
    EXPECT_FALSE(folder.exists("filelist.txt"));
    struct stat link {};
    EXPECT_TRUE(::lstat(elsewhere.file("null").c_str(), &link) == 0 && S_ISLNK(link.st_mode));
}

} // namespace
} // namespace aster
