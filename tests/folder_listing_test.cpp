#include "listing/folder_listing.h"

#include "catalogue/build_run.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <set>
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
        ASSERT_FALSE(ListTheFiles(host));
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
    std::set<std::string> unique;
    while (unique.size() < 3000) {
        std::string name = unique.size() % 2 ? "AST_L1B_00305202001" : "";
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

} // namespace
} // namespace aster
