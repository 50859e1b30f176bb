// The listing and the build run on folders built to break them: special files, odd names,
// odd list files, outputs that cannot be written, huge inputs. Nothing may hang, crash,
// read another file than the one named, or report a failure as success.
#include "catalogue/build_run.h"
#include "listing/folder_listing.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace aster {
namespace {

using test::FakeCatalogueHost;
using test::TempFolder;
using Strings = std::vector<std::string>;

const std::string kEmptyBlockTail = ",\r\n,\r\n,\r\n,\r\n,\r\nEnd\r\n";

std::string EmptyBlocks(int from, int to) {
    std::string blocks;
    for (int n = from; n <= to; ++n)
        blocks += " " + std::to_string(n) + " ," + kEmptyBlockTail;
    return blocks;
}

TEST(HostileFolder, SpecialEntriesGiveEmptyRecordsWithoutHanging) {
    TempFolder folder;
    ::mkfifo(folder.file("fifo.met").c_str(), 0644);
    test::MakeSocket(folder.file("socket.met"));
    ::symlink("/dev/zero", folder.file("zero.met").c_str());
    ::symlink("nowhere.met", folder.file("dangling.met").c_str());
    ::symlink("loop2.met", folder.file("loop1.met").c_str());
    ::symlink("loop1.met", folder.file("loop2.met").c_str());
    ::symlink("fifo.met", folder.file("tofifo.met").c_str());
    ::mkdir(folder.file("scene.met").c_str(), 0755);
    folder.write("scene.met/inner.met", test::ExampleScene());
    const Strings names = {"fifo.met",  "socket.met", "zero.met",  "dangling.met",
                           "loop1.met", "tofifo.met", "scene.met", "scene.met/"};
    std::string list;
    for (const std::string& name : names)
        list += name + "\r\n";
    folder.write("filelist.txt", list);

    FakeCatalogueHost host(folder.path());
    host.polys = true;
    host.blanks = true;
    ASSERT_FALSE(MakeTextFiles(host));
    Strings expected;
    for (const std::string& name : names)
        expected.push_back(folder.path() + "/" + name);
    EXPECT_EQ(host.messages, expected);
    EXPECT_EQ(folder.read("polys.txt"), EmptyBlocks(1, 8) + "End\r\n");
}

TEST(HostileFolder, ContentsKeepTheirBytes) {
    TempFolder folder;
    folder.write("empty.met", "");
    const std::string binary =
        std::string("GROUP\0\0TimeofDay \"1\0:\xff\" TYPE Value = (\0,\x80,,\xfe)", 46);
    folder.write("binary.met", binary);
    folder.write("filelist.txt", "empty.met\r\nbinary.met\r\n");
    FakeCatalogueHost host(folder.path());
    host.spread = true;
    host.blanks = true;
    ASSERT_FALSE(MakeTextFiles(host));
    EXPECT_EQ(host.messages, Strings{folder.file("empty.met")});
    EXPECT_EQ(folder.read("table.txt"), " 1 \t" + folder.file("empty.met") + std::string(10, '\t') +
                                            "\r\n" + " 2 \t" + folder.file("binary.met") + "\t" +
                                            std::string("1\0:\xff", 4) + "\t\t" +
                                            std::string("\0", 1) + "\t\t\x80\t\t\t\t\xfe\t\r\n");
}

TEST(HostileFolder, SceneOverOneGibibyteCountsAsUnreadable) {
    TempFolder folder;
    folder.write("huge.met", test::ExampleScene());
    ASSERT_EQ(::truncate(folder.file("huge.met").c_str(), (off_t{1} << 30) + 1), 0); // sparse
    folder.write("filelist.txt", "huge.met\r\n");
    FakeCatalogueHost host(folder.path());
    host.polys = true;
    host.blanks = true;
    ASSERT_FALSE(MakeTextFiles(host));
    EXPECT_EQ(host.messages, Strings{folder.file("huge.met")});
    EXPECT_EQ(folder.read("polys.txt"), EmptyBlocks(1, 1) + "End\r\n");
}

TEST(HostileFolder, OddNamesRoundTrip) {
    TempFolder folder;
    const Strings names = {"-dash.met",  "a \"quoted\" name.met", "<b>bold.met",
                           "blank .met", "\xe9t\xe9 1.met",       "tab\there.met"};
    for (const std::string& name : names)
        folder.write(name, test::SceneText(name, "d", "1, 2, 3, 4", "5, 6, 7, 8"));
    test::FakeListingHost lister(folder.path());
    ASSERT_FALSE(ListTheFiles(lister));
    FakeCatalogueHost host(folder.path());
    host.spread = true;
    host.blanks = true;
    ASSERT_FALSE(MakeTextFiles(host));
    EXPECT_EQ(host.messages, Strings{});
    std::string expected;
    int n = 0;
    Strings sorted = names;
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& name : sorted) {
        // The time is the name itself, up to a quote in it.
        expected += " " + std::to_string(++n) + " \t" + folder.file(name) + "\t" +
                    name.substr(0, name.find('"')) + "\td\t1\t5\t 2\t 6\t 3\t 7\t 4\t 8\r\n";
    }
    EXPECT_EQ(folder.read("table.txt"), expected);
}

TEST(HostileFolder, OddListFiles) {
    struct Case {
        const char* name;
        std::string list;
        Strings paths; // relative to the folder prefix
    };
    const std::string longLine(64 * 1024, 'x');
    const Case cases[] = {
        {"no line end at all", "a.met", {"a.met"}},
        {"only carriage returns", "a.met\rb.met\r", {"a.met", "b.met"}},
        {"CR CR LF gives an empty line", "a.met\r\r\nb.met\r\n", {"a.met", "", "b.met"}},
        {"line feeds only: one line", "a.met\nb.met\n", {"a.met\nb.met\n"}},
        {"a 64 KiB line", longLine + "\r\na.met", {longLine, "a.met"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        folder.write("a.met", "GROUP");
        folder.write("b.met", "GROUP");
        folder.write("filelist.txt", c.list);
        FakeCatalogueHost host(folder.path());
        host.spread = true;
        host.blanks = true;
        ASSERT_FALSE(MakeTextFiles(host));
        std::string expected;
        Strings blanks;
        int n = 0;
        for (const std::string& path : c.paths) {
            const std::string full = folder.path() + "/" + path;
            expected += " " + std::to_string(++n) + " \t" + full + std::string(10, '\t') + "\r\n";
            if (path != "a.met" && path != "b.met")
                blanks.push_back(full);
        }
        EXPECT_EQ(folder.read("table.txt"), expected);
        EXPECT_EQ(host.messages, blanks);
    }
}

TEST(HostileFolder, ListFileThatIsNoFile) {
    for (const char* target : {"/dev/zero", "fifo", "dir"}) {
        SCOPED_TRACE(target);
        TempFolder folder;
        ::mkfifo(folder.file("fifo").c_str(), 0644);
        ::mkdir(folder.file("dir").c_str(), 0755);
        ::symlink(target, folder.file("filelist.txt").c_str());
        folder.write("table.txt", "earlier");
        FakeCatalogueHost host(folder.path());
        host.polys = true;
        const auto error = MakeTextFiles(host);
        ASSERT_TRUE(error);
        EXPECT_NE(error->description.find(folder.file("filelist.txt")), std::string::npos);
        EXPECT_EQ(folder.read("table.txt"), "earlier");
    }
}

TEST(HostileFolder, OutputsThatAreNoFiles) {
    const std::size_t descriptorsBefore = test::OpenDescriptorCount();
    struct Case {
        const char* name;
        const char* output;
        bool polys;
        bool isFolder;
    };
    const Case cases[] = {
        {"polys.txt is a folder", "polys.txt", true, true},
        {"table.txt is a folder", "table.txt", false, true},
        {"polys.txt links to a full device", "polys.txt", true, false},
        {"table.txt links to a full device", "table.txt", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder;
        folder.write("a.met", test::ExampleScene());
        folder.write("filelist.txt", "a.met\r\n");
        if (c.isFolder)
            ::mkdir(folder.file(c.output).c_str(), 0755);
        else
            ::symlink("/dev/full", folder.file(c.output).c_str());
        FakeCatalogueHost host(folder.path());
        host.polys = c.polys;
        host.spread = !c.polys;
        const auto error = MakeTextFiles(host);
        if (c.isFolder) {
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, EISDIR);
            EXPECT_NE(error->description.find(folder.file(c.output)), std::string::npos);
            EXPECT_FALSE(error->hint.empty());
        } else {
            // The link is replaced by the new file; nothing is written through it.
            ASSERT_FALSE(error);
            EXPECT_NE(folder.read(c.output), "<missing>");
            EXPECT_NE(folder.read(c.polys ? "polys.txt" : "table.txt").find("-118.1"),
                      std::string::npos);
        }
    }
    EXPECT_EQ(test::OpenDescriptorCount(), descriptorsBefore);
}

TEST(HostileFolder, HundredThousandMissingFilesWithFlatMemory) {
    TempFolder folder;
    {
        std::string list;
        for (int i = 0; i < 100000; ++i)
            list += "missing" + std::to_string(i) + ".met\r\n";
        folder.write("filelist.txt", list);
    }
    const test::PeakMemory memory;
    FakeCatalogueHost host(folder.path());
    host.polys = true;
    host.recordQueries = false;
    ASSERT_FALSE(MakeTextFiles(host));
    if (const auto added = memory.addedKiB()) {
        EXPECT_LT(*added, 8 * 1024) << "KiB of peak memory added";
    }

    const std::string polys = folder.read("polys.txt");
    EXPECT_EQ(std::count(polys.begin(), polys.end(), '\n'), 600001);
    EXPECT_TRUE(polys.starts_with(" 1 ," + kEmptyBlockTail));
    EXPECT_TRUE(polys.ends_with(" 100000 ," + kEmptyBlockTail + "End\r\n"));
}

} // namespace
} // namespace aster
