#include "catalogue/scene_reader.h"
#include "readahead/scene_files.h"

#include "tests/reference_extract.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace aster {
namespace {

using test::ReferenceExtract;

TEST(Extract, Examples) {
    struct Case {
        const char* text;
        const char* start;
        const char* end;
        const char* expected;
    };
    const Case cases[] = {
        {"x \"12:00\" y \"z\"", "\"", "\"", "12:00"},
        {"a Value = (1, 2) b", "Value = (", ")", "1, 2"},
        {"Value = (Value = (1)", "Value = (", ")", ""}, // start tag twice in a row
        {"no tag here", "Value = (", ")", ""},
        {"", "a", "b", ""},
        {"abc", "", "c", ""},        // empty start tag
        {"xAbcAd", "A", "", "bc"},   // empty end tag: whole segment
        {"xAbcd", "A", "z", "bcd"},  // end tag absent
        {"xAbcAdz", "A", "z", "bc"}, // end tag only after 2nd start
        {"xAbzAz", "A", "z", "b"},
        {"xABCzz", "AB", "Cz", ""},                         // end tag right at the start
        {"aaa", "aa", "x", "a"},                            // no overlapping matches
        {"xTIMEOFDAY \"1\" TYPE", "TimeofDay", "TYPE", ""}, // case-sensitive
        {"xABAB", "AB", "BA", ""},                          // end tag overlaps 2nd start
        {"xABcBA", "AB", "BA", "c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text=") + c.text + " start=" + c.start + " end=" + c.end);
        EXPECT_EQ(Extract(c.text, c.start, c.end), c.expected);
        EXPECT_EQ(ReferenceExtract(c.text, c.start, c.end), c.expected);
    }
}

TEST(Extract, AgreesWithLiteralSplittingOnRandomTexts) {
    std::mt19937 random(20261208);
    const auto word = [&random](std::size_t maxLength) {
        std::uniform_int_distribution<std::size_t> length(0, maxLength);
        std::uniform_int_distribution<int> letter(0, 2);
        std::string s(length(random), 'a');
        for (char& c : s)
            c = static_cast<char>('a' + letter(random));
        return s;
    };
    for (int i = 0; i < 200000; ++i) {
        const std::string text = word(i % 2 == 0 ? 14 : 120); // shorter and longer than a block
        const std::string start = word(3);
        const std::string end = word(3);
        const std::string_view got = Extract(text, start, end);
        ASSERT_EQ(got, ReferenceExtract(text, start, end))
            << "text=" << text << " start=" << start << " end=" << end;
        ASSERT_EQ(Extract(text, start, end, BlockScan::Portable), got) << "text=" << text;
        if (!got.empty()) { // a view into the input, never a copy
            ASSERT_TRUE(got.data() >= text.data() &&
                        got.data() + got.size() <= text.data() + text.size());
        }
    }
}

// Where the head of a text settles the record, every text that begins with it gives the
// same record, the one settling it found: each prefix of random texts of the record's
// tags, lists and quotes.
TEST(ExtractRecord, AHeadThatSettlesTheRecordGivesTheWholeTextsRecord) {
    std::mt19937 random(20261209);
    const std::vector<std::string> pieces = {"TimeofDay", "CalendarDate",
                                             "Value = (", "GRingPointLongitude",
                                             "TYPE",      "\"",
                                             "(",         ")",
                                             ",",         "1",
                                             " ",         "Value",
                                             "Time"};
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1), count(0, 40);
    const auto fields = [](const SceneRecord& r) {
        return std::vector<std::string_view>{r.SceneTime, r.SceneDate, r.Lat1, r.Lat2, r.Lat3,
                                             r.Lat4,      r.Lon1,      r.Lon2, r.Lon3, r.Lon4};
    };
    int settled = 0;
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (std::size_t n = count(random); n > 0; --n)
            text += pieces[pick(random)];
        SceneRecord whole;
        ExtractRecord(text, whole);
        for (std::size_t length = 0; length <= text.size(); ++length) {
            const std::string_view head(text.data(), length);
            SceneRecord fromHead;
            ASSERT_EQ(SettleRecord(head, fromHead), RecordSettledBy(head));
            if (!RecordSettledBy(head))
                continue;
            ++settled;
            ASSERT_EQ(fields(fromHead), fields(whole)) << "text=" << text << " head=" << length;
        }
    }
    EXPECT_GT(settled, 1000);
    EXPECT_TRUE(RecordSettledBy(test::ExampleScene()));
}

TEST(SplitList, CutsAtCommasWithoutTrimming) {
    struct Case {
        const char* list;
        std::array<const char*, 4> values;
    };
    const Case cases[] = {
        {"", {"", "", "", ""}},
        {"1", {"", "", "", "1"}},
        {"1, 2", {"1", "", "", " 2"}},
        {"1, 2, 3", {"1", " 2", "", " 3"}},
        {"1,2,3,4", {"1", "2", "3", "4"}},
        {"1, 2, 3, 4", {"1", " 2", " 3", " 4"}},
        {"1, 2, 3, 4, 5", {"1", " 2", " 3", " 4, 5"}},
        {",,,", {"", "", "", ""}},
        {"1,\r\n  2, 3, 4", {"1", "\r\n  2", " 3", " 4"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.list);
        const auto values = SplitList(c.list);
        for (std::size_t i = 0; i < 4; ++i)
            EXPECT_EQ(values[i], c.values[i]) << "value " << i + 1;
    }
}

// A record together with the text its fields point into.
struct Parsed {
    explicit Parsed(std::string sceneText) : text(std::move(sceneText)) {
        ExtractRecord(text, record);
    }
    Parsed(const Parsed&) = delete;
    Parsed& operator=(const Parsed&) = delete;
    const std::string text;
    SceneRecord record;
};

TEST(ExtractRecord, ReadsTheWorkedExampleScene) {
    const Parsed parsed(test::ExampleScene());
    const SceneRecord& r = parsed.record;
    EXPECT_EQ(r.SceneTime, "18:42:20.123000Z");
    EXPECT_EQ(r.SceneDate, "2001-05-20");
    EXPECT_EQ(r.Lat1, "34.1");
    EXPECT_EQ(r.Lat2, " 34.0");
    EXPECT_EQ(r.Lat3, " 33.4");
    EXPECT_EQ(r.Lat4, " 33.5");
    EXPECT_EQ(r.Lon1, "-118.1");
    EXPECT_EQ(r.Lon2, " -117.4");
    EXPECT_EQ(r.Lon3, " -117.6");
    EXPECT_EQ(r.Lon4, " -118.3");
}

TEST(ExtractRecord, OddLayouts) {
    {
        SCOPED_TRACE("empty text gives an empty record");
        const Parsed parsed("");
        const SceneRecord& r = parsed.record;
        for (auto v : {r.SceneTime, r.SceneDate, r.Lat1, r.Lat4, r.Lon1, r.Lon4})
            EXPECT_EQ(v, "");
    }
    {
        SCOPED_TRACE("TimeofDay twice, quoted time only after the second");
        EXPECT_EQ(Parsed("TimeofDay x TimeofDay \"10:00\" TYPE").record.SceneTime, "");
    }
    {
        SCOPED_TRACE("TYPE before the quoted time");
        EXPECT_EQ(Parsed("TimeofDay TYPE \"10:00\"").record.SceneTime, "");
        EXPECT_EQ(Parsed("TimeofDay \"a\" TYPE \"10:00\"").record.SceneTime, "a");
    }
    {
        SCOPED_TRACE("only one quote in the block runs to the end of the block");
        EXPECT_EQ(Parsed("CalendarDate = \"2001-05 TYPE").record.SceneDate, "2001-05 ");
    }
    {
        SCOPED_TRACE("longitudes present, Value = ( absent");
        const Parsed parsed("GRingPointLongitude Value=(1, 2, 3, 4) TYPE");
        const SceneRecord& r = parsed.record;
        EXPECT_EQ(r.Lat1, "");
        EXPECT_EQ(r.Lat4, "");
        EXPECT_EQ(r.Lon1, "1");
        EXPECT_EQ(r.Lon4, " 4");
    }
    {
        SCOPED_TRACE("tags in capitals are not found");
        const Parsed parsed("TIMEOFDAY \"1\" TYPE CALENDARDATE \"2\" TYPE "
                            "VALUE = (1, 2, 3, 4) GRINGPOINTLONGITUDE (1, 2, 3, 4)");
        const SceneRecord& r = parsed.record;
        for (auto v : {r.SceneTime, r.SceneDate, r.Lat1, r.Lat4, r.Lon1, r.Lon4})
            EXPECT_EQ(v, "");
    }
    {
        SCOPED_TRACE("a list that wraps keeps its line break and indentation");
        const Parsed parsed(test::SceneText("t", "d", "34.1, 34.0,\r\n        33.4, 33.5",
                                            "1, 2, 3,\r\n        4"));
        const SceneRecord& r = parsed.record;
        EXPECT_EQ(r.Lat3, "\r\n        33.4");
        EXPECT_EQ(r.Lon4, "\r\n        4");
    }
}

TEST(ReadFileContents, ReadsOnlyOrdinaryVisibleFiles) {
    test::TempFolder folder;
    const std::string bytes = std::string("GROUP\0\xff\r\n", 9) + test::ExampleScene();
    folder.write("scene.met", bytes);
    folder.write(".hidden.met", bytes);
    folder.write("empty.met", "");
    folder.write("star*.met", bytes);
    ::mkdir(folder.file("sub.met").c_str(), 0755);
    ::mkfifo(folder.file("fifo.met").c_str(), 0644);
    ::symlink("scene.met", folder.file("link.met").c_str());
    ::symlink("nowhere.met", folder.file("dangling.met").c_str());

    EXPECT_EQ(ReadFileContents(folder.file("scene.met")), bytes);
    EXPECT_EQ(ReadFileContents(folder.path() + "//scene.met"), bytes);
    EXPECT_EQ(ReadFileContents(folder.file("link.met")), bytes);
    for (const char* name : {".hidden.met", "empty.met", "star*.met", "sc?ne.met", "sub.met",
                             "fifo.met", "dangling.met", "missing.met", "scene.met/", ""}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(ReadFileContents(folder.file(name)), "");
    }
    EXPECT_EQ(ReadFileContents(""), "");
    // A NUL byte would cut the path short and open scene.met instead.
    EXPECT_EQ(ReadFileContents(folder.file("scene.met") + std::string("\0.bak", 5)), "");
}

TEST(ReadFileContents, ReusedReaderGivesEachFileItsOwnBytes) {
    test::TempFolder folder;
    folder.write("big.met", std::string(100000, 'x'));
    folder.write("small.met", "GROUP");
    SceneFileReader reader;
    EXPECT_EQ(reader.read(folder.file("big.met")).size(), 100000u);
    EXPECT_EQ(reader.read(folder.file("small.met")), "GROUP");
    EXPECT_EQ(reader.read(folder.file("missing.met")), "");
}

} // namespace
} // namespace aster
