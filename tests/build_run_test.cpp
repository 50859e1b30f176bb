#include "catalogue/build_run.h"

#include "catalogue/catalogue_output.h"
#include "catalogue/scene_reader.h"

#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <limits>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {
namespace {

using test::FakeCatalogueHost;
using test::TempFolder;
using Strings = std::vector<std::string>;

const std::string kScene1 =
    test::SceneText("10:00:01Z", "2001-01-01", "1.1, 1.2, 1.3, 1.4", "-1.1, -1.2, -1.3, -1.4");
const std::string kScene2 =
    test::SceneText("20:00:02Z", "2002-02-02", "2.1,2.2,2.3,2.4", "-2.1,-2.2,-2.3,-2.4");

std::string Block(int n, const std::string& lons1lat1, const std::string& c2, const std::string& c3,
                  const std::string& c4) {
    return " " + std::to_string(n) + " ," + lons1lat1 + "\r\n" + lons1lat1 + "\r\n" + c2 + "\r\n" +
           c3 + "\r\n" + c4 + "\r\nEnd\r\n";
}
const std::string kEmptyBlock2 = " 2 ,,\r\n,\r\n,\r\n,\r\n,\r\nEnd\r\n";

// A folder with two scenes and a blank file, listed in a fixed order.
struct SceneFolder {
    TempFolder folder;
    SceneFolder() {
        folder.write("a.met", kScene1);
        folder.write("blank.met", "");
        folder.write("b.met", kScene2);
        folder.write("filelist.txt", "a.met\r\nblank.met\r\nb.met\r\n");
    }
    std::string path(const std::string& name) const { return folder.path() + "/" + name; }
};

TEST(MakeTextFiles, PolygonStyle) {
    SceneFolder f;
    FakeCatalogueHost host(f.folder.path());
    host.polys = true;
    ASSERT_FALSE(MakeTextFiles(host));
    EXPECT_EQ(f.folder.read("polys.txt"),
              Block(1, "-1.1,1.1", " -1.2, 1.2", " -1.3, 1.3", " -1.4, 1.4") + kEmptyBlock2 +
                  Block(3, "-2.1,2.1", "-2.2,2.2", "-2.3,2.3", "-2.4,2.4") + "End\r\n");
    EXPECT_EQ(f.folder.read("table.txt"), "");
    EXPECT_EQ(host.messages, Strings{});
}

TEST(MakeTextFiles, TableStyleWithBlankCheck) {
    SceneFolder f;
    f.folder.write("filelist.txt", "a.met\r\nblank.met\r\nmissing.met  \r\nb.met");
    FakeCatalogueHost host(f.folder.path());
    host.spread = true;
    host.blanks = true;
    ASSERT_FALSE(MakeTextFiles(host));
    const std::string prefix = f.folder.path() + "/";
    EXPECT_EQ(host.messages, (Strings{prefix + "blank.met", prefix + "missing.met  "}));
    EXPECT_EQ(f.folder.read("table.txt"),
              " 1 \t" + prefix +
                  "a.met\t10:00:01Z\t2001-01-01\t1.1\t-1.1\t 1.2\t -1.2\t 1.3\t"
                  " -1.3\t 1.4\t -1.4\r\n" +
                  " 2 \t" + prefix + "blank.met\t\t\t\t\t\t\t\t\t\t\r\n" + " 3 \t" + prefix +
                  "missing.met  \t\t\t\t\t\t\t\t\t\t\r\n" + " 4 \t" + prefix +
                  "b.met\t20:00:02Z\t2002-02-02\t2.1\t-2.1\t2.2\t-2.2\t2.3\t-2.3\t2.4\t-2.4\r\n");
    EXPECT_EQ(f.folder.read("polys.txt"), "End\r\n");
}

// A scene file's first page stands for it only when it settles the record: files whose
// tags, lists and quotes reach across the page's end at each place give the rows their
// whole texts give.
TEST(MakeTextFiles, RecordsReachingPastTheFirstPageAreReadWhole) {
    TempFolder folder;
    const std::string scene = test::ExampleScene();
    const std::string tail(5000, '.');
    std::ostringstream expected;
    std::string list;
    int number = 0;
    const std::string prefix = folder.path() + "/";
    const auto add = [&](std::string text) {
        const std::string name = "s" + std::to_string(++number) + ".met";
        // Each record its own date, four digits wide so that every file's tags stand where
        // the loop puts them, and no file's record can stand for another's.
        const std::size_t date = text.find("CalendarDate");
        const std::size_t quote = date == std::string::npos ? date : text.find('"', date);
        if (quote != std::string::npos) {
            char digits[8];
            std::snprintf(digits, sizeof digits, "%04d", number);
            text.insert(quote + 1, digits);
        }
        folder.write(name, text);
        list += name + "\r\n";
        SceneRecord record;
        record.SceneNumber = number;
        const std::string fullPath = prefix + name;
        record.FullPath = fullPath;
        ExtractRecord(text, record);
        AppendTableRow(expected, record);
    };
    for (std::size_t end = 4096 - scene.size() - 2; end <= 4096 + scene.size(); end += 3)
        add(std::string(end - scene.size(), ' ') + scene + tail);
    add(std::string(4090, ' ') + "TimeofDay \"1\" TYPE" + tail); // the rest of the record missing
    folder.write("filelist.txt", list);
    // Read ahead, each file in its turn on the run's thread, and both mixed (a file beyond
    // the bytes allowed ahead is read in its turn): a record the first page settled is the
    // one found for that file, whichever thread read it.
    for (const ReadAheadSettings settings :
         {ReadAheadSettings{}, ReadAheadSettings{0}, ReadAheadSettings{2, 64, 6000}}) {
        SCOPED_TRACE(settings.threads);
        FakeCatalogueHost host(folder.path());
        host.spread = true;
        ASSERT_FALSE(MakeTextFiles(host, settings));
        EXPECT_EQ(folder.read("table.txt"), expected.str());
    }
}

TEST(MakeTextFiles, OptionsAreReadForEveryLineInOrder) {
    SceneFolder f;
    f.folder.write("filelist.txt", "a.met\r\nb.met\r\n");
    FakeCatalogueHost host(f.folder.path());
    host.polys = true;
    // The user cannot change options during a run, but the run must not cache them.
    host.onPolysQuery = [](FakeCatalogueHost& h) {
        if (h.queries.size() > 3)
            h.polys = false, h.spread = true;
    };
    ASSERT_FALSE(MakeTextFiles(host));
    EXPECT_EQ(host.queries, (Strings{"folder", "blanks", "polys", "blanks", "polys", "spread"}));
    EXPECT_EQ(f.folder.read("polys.txt"),
              Block(1, "-1.1,1.1", " -1.2, 1.2", " -1.3, 1.3", " -1.4, 1.4") + "End\r\n");
    EXPECT_EQ(f.folder.read("table.txt").substr(0, 4), " 2 \t");
}

TEST(MakeTextFiles, NoStyleSelected) {
    {
        SCOPED_TRACE("without blank check: one message, and the earlier files kept");
        SceneFolder f;
        f.folder.write("table.txt", "old");
        FakeCatalogueHost host(f.folder.path());
        ASSERT_FALSE(MakeTextFiles(host));
        EXPECT_EQ(host.messages, Strings{"Choose an option for text file style."});
        EXPECT_EQ(f.folder.read("table.txt"), "old");
        EXPECT_FALSE(f.folder.exists("polys.txt"));
    }
    {
        SCOPED_TRACE("with blank check: a blank first file is reported first");
        SceneFolder f;
        f.folder.write("filelist.txt", "blank.met\r\na.met\r\n");
        FakeCatalogueHost host(f.folder.path());
        host.blanks = true;
        ASSERT_FALSE(MakeTextFiles(host));
        EXPECT_EQ(host.messages, (Strings{f.path("blank.met"), kNoStyleMessage}));
        EXPECT_FALSE(f.folder.exists("polys.txt"));
    }
}

TEST(MakeTextFiles, EmptyAndMissingList) {
    {
        SCOPED_TRACE("empty list");
        TempFolder folder;
        folder.write("filelist.txt", "");
        FakeCatalogueHost host(folder.path());
        ASSERT_FALSE(MakeTextFiles(host));
        EXPECT_EQ(host.messages, Strings{});
        EXPECT_EQ(folder.read("table.txt"), "");
        EXPECT_EQ(folder.read("polys.txt"), "End\r\n");
    }
    {
        SCOPED_TRACE("missing list leaves earlier output alone");
        TempFolder folder;
        folder.write("table.txt", "earlier table");
        folder.write("polys.txt", "earlier polys");
        FakeCatalogueHost host(folder.path());
        host.polys = true;
        const auto error = MakeTextFiles(host);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, ENOENT);
        EXPECT_EQ(error->description,
                  "No such file or directory: " + folder.path() + "/filelist.txt");
        EXPECT_EQ(folder.read("table.txt"), "earlier table");
        EXPECT_EQ(folder.read("polys.txt"), "earlier polys");
    }
}

TEST(MakeTextFiles, ListLinesThatNameNoScene) {
    SceneFolder f;
    ::mkdir(f.path("sub.met").c_str(), 0755);
    ::mkfifo(f.path("fifo.met").c_str(), 0644);
    f.folder.write("filelist.txt",
                   "sub.met\r\nfifo.met\r\ngone.met\r\nfilelist.txt\r\n\r\npolys.txt\r\n"
                   "./table.txt\r\nkept.met\r\n");
    // The outputs a run replaces read as the empty files they become, whatever the last
    // run left in them.
    f.folder.write("polys.txt", kScene1);
    f.folder.write("table.txt", kScene2);
    // Another name of the earlier table keeps its text after the run, so it is read.
    ::link(f.path("table.txt").c_str(), f.path("kept.met").c_str());
    FakeCatalogueHost host(f.folder.path() + "/"); // a trailing separator doubles
    host.polys = true;
    host.blanks = true;
    ASSERT_FALSE(MakeTextFiles(host));
    const std::string prefix = f.folder.path() + "//";
    EXPECT_EQ(host.messages, (Strings{prefix + "sub.met", prefix + "fifo.met", prefix + "gone.met",
                                      prefix + "filelist.txt", prefix, prefix + "polys.txt",
                                      prefix + "./table.txt"}));
    std::string expected;
    for (int n = 1; n <= 7; ++n)
        expected += " " + std::to_string(n) + " ,,\r\n,\r\n,\r\n,\r\n,\r\nEnd\r\n";
    expected += Block(8, "-2.1,2.1", "-2.2,2.2", "-2.3,2.3", "-2.4,2.4");
    EXPECT_EQ(f.folder.read("polys.txt"), expected + "End\r\n");
}

TEST(MakeTextFiles, SecondRunGivesIdenticalFiles) {
    SceneFolder f;
    FakeCatalogueHost host(f.folder.path());
    host.spread = true;
    ASSERT_FALSE(MakeTextFiles(host));
    const std::string table = f.folder.read("table.txt");
    const std::string polys = f.folder.read("polys.txt");
    ASSERT_FALSE(MakeTextFiles(host));
    EXPECT_EQ(f.folder.read("table.txt"), table);
    EXPECT_EQ(f.folder.read("polys.txt"), polys);
}

TEST(MakeTextFiles, OutputsReplaceWhateverStandsAtTheirNames) {
    const std::size_t descriptorsBefore = test::OpenDescriptorCount();
    for (const char* output : {"polys.txt", "table.txt"}) {
        SCOPED_TRACE(std::string(output) + " is a link to a full device");
        SceneFolder f;
        ::symlink("/dev/full", f.path(output).c_str());
        FakeCatalogueHost host(f.folder.path());
        host.polys = true;
        ASSERT_FALSE(MakeTextFiles(host));
        struct stat info {};
        ASSERT_EQ(::lstat(f.path(output).c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode)); // the link itself was replaced
        EXPECT_EQ(f.folder.read("polys.txt").substr(0, 5), " 1 ,-");
    }
    {
        SCOPED_TRACE("output name taken by a folder: an error before anything is written");
        SceneFolder f;
        ::mkdir(f.path("table.txt").c_str(), 0755);
        FakeCatalogueHost host(f.folder.path());
        host.polys = true;
        const auto error = MakeTextFiles(host);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EISDIR);
        EXPECT_EQ(error->description, "Is a directory: " + f.path("table.txt"));
        EXPECT_EQ(f.folder.read("polys.txt"), "<missing>");
    }
    EXPECT_EQ(test::OpenDescriptorCount(), descriptorsBefore);
}

TEST(MakeTextFiles, SequenceNumberStaysInRange) {
    EXPECT_EQ(NextSceneNumber(0), 1);
    EXPECT_EQ(NextSceneNumber(2147483646), 2147483647);
    EXPECT_EQ(NextSceneNumber(std::numeric_limits<std::int32_t>::max()), std::nullopt);
}

} // namespace
} // namespace aster
