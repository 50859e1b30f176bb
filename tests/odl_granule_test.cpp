// What ODL granules give beyond the G-ring and the attributes: the range's end, platforms
// and instruments, a bounding rectangle's corners, ASTER's own items, and an HDF-EOS
// file's core and product texts together; numbers out of range and CR line ends in reasons.
#include "metadata/granule_items.h"
#include "metadata/scene_metadata.h"
#include "tests/granule_samples.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace aster {
namespace {

std::string Object(const std::string& name, const std::string& value) {
    return "OBJECT = " + name + "\n  VALUE = " + value + "\nEND_OBJECT = " + name + "\n";
}
std::string Group(const std::string& name, const std::string& body) {
    return "GROUP = " + name + "\n" + body + "END_GROUP = " + name + "\n";
}
const std::string kRing = Group("G", Object("GRINGPOINTLATITUDE", "(1, 2, 3)") +
                                         Object("GRINGPOINTLONGITUDE", "(4, 5, 6)"));
const std::vector<GeoPoint> kRingCorners{{4, 1}, {5, 2}, {6, 3}};
// One of a G-ring's polygon containers as ECS writes it, the points and then the flag, or
// with the flag first.
std::string Exclusion(const std::string& flag, const std::string& latitudes,
                      const std::string& longitudes, bool flagFirst = false) {
    const std::string points = Group("GRINGPOINT", Object("GRINGPOINTLATITUDE", latitudes) +
                                                       Object("GRINGPOINTLONGITUDE", longitudes));
    const std::string flagGroup = Group("GRING", Object("EXCLUSIONGRINGFLAG", "\"" + flag + "\""));
    return Group("GPOLYGONCONTAINER", flagFirst ? flagGroup + points : points + flagGroup);
}
std::string Box(const std::string& w, const std::string& e, const std::string& n,
                const std::string& s) {
    return Group("BOUNDINGRECTANGLE",
                 Object("WESTBOUNDINGCOORDINATE", w) + Object("EASTBOUNDINGCOORDINATE", e) +
                     Object("NORTHBOUNDINGCOORDINATE", n) + Object("SOUTHBOUNDINGCOORDINATE", s));
}
// ASTER's product metadata as its L1A and L1B files hold it: four corners, each
// (latitude, longitude), the scene's cloud cover and the sun's (azimuth, elevation).
std::string AsterProduct(const std::string& lowerLeft = "(35.98, -117.34)") {
    return Group(
        "PRODUCTMETADATA",
        Group("SCENEFOURCORNERS",
              Object("UPPERLEFT", "(36.51, -117.2)") + Object("UPPERRIGHT", "(36.4, -116.5)") +
                  Object("LOWERLEFT", lowerLeft) + Object("LOWERRIGHT", "(35.87, -116.64)")) +
            Object("SCENECLOUDCOVERAGE", "41") + Object("SOLARDIRECTION", "(152.25, 54.5)") +
            Object("LOCALGRANULEID", "\"product.hdf\""));
}
const std::vector<GeoPoint> kAsterCorners{
    {-117.2, 36.51}, {-116.5, 36.4}, {-116.64, 35.87}, {-117.34, 35.98}};

// What a granule gives besides its corners and identity, as one line.
std::string Summary(const SceneMetadata& m) {
    std::string text;
    const auto add = [&](const char* name, const std::string& value) {
        text += std::string(text.empty() ? "" : " ") + name + "=" + value;
    };
    const auto names = [](const std::vector<std::string>& list) {
        std::string joined;
        for (const std::string& name : list)
            joined += (joined.empty() ? "" : ",") + name;
        return joined;
    };
    const auto number = [](double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return std::string(text);
    };
    if (m.acquired)
        add("at", FormatRfc3339(*m.acquired));
    if (!m.acquired && m.date)
        add("day", std::to_string(m.date->year) + "-" + std::to_string(m.date->month) + "-" +
                       std::to_string(m.date->day));
    if (!m.acquired && !m.timeText.empty())
        add("time", m.timeText);
    if (m.acquiredEnd)
        add("end", FormatRfc3339(*m.acquiredEnd));
    if (!m.platforms.empty() || !m.instruments.empty())
        add("on", names(m.platforms) + "/" + names(m.instruments));
    if (m.cloud)
        add("cloud", number(*m.cloud));
    if (m.sunAzimuth || m.sunElevation)
        add("sun", number(m.sunAzimuth.value_or(-1)) + "/" + number(m.sunElevation.value_or(-1)));
    return text;
}

TEST(OdlGranule, TimesPlatformsAndTheSunBeyondTheCorners) {
    const std::string attributes = Group(
        "ADDITIONALATTRIBUTES", Object("ADDITIONALATTRIBUTENAME", "\"SceneCloudCoverage\"") +
                                    Object("PARAMETERVALUE", "\"7\"") +
                                    Object("ADDITIONALATTRIBUTENAME", "\"Solar_Azimuth_Angle\"") +
                                    Object("PARAMETERVALUE", "\"99\""));
    const std::pair<std::string, std::string> cases[] = {
        {Object("CALENDARDATE", "\"20231217\"") + Object("TIMEOFDAY", "\"002443486000Z\"") +
             Object("RANGEENDINGDATE", "2023-12-17") + Object("RANGEENDINGTIME", "00:24:52.1239"),
         "at=2023-12-17T00:24:43.486Z end=2023-12-17T00:24:52.123Z"},
        {Object("calendardate", "\"2003-12-31\"") + Object("timeofday", "\"23:59:60.5Z\"") +
             Object("rangeendingdate", "\"20031231\"") + Object("rangeendingtime", "\"235960\""),
         "at=2003-12-31T23:59:59.999Z end=2003-12-31T23:59:59.999Z"},
        {Object("RANGEENDINGDATE", "\"2003-12-31\"") + Object("RANGEENDINGTIME", "\"noon\""), ""},
        // The ASSOCIATED... names in file order, repeats kept; the plain ones only without.
        {Object("PLATFORMSHORTNAME", "\"Terra\"") +
             Group("A", Object("ASSOCIATEDPLATFORMSHORTNAME", "\"AM-1\"") +
                            Object("ASSOCIATEDINSTRUMENTSHORTNAME", "\"ASTER\"")) +
             Group("A", Object("associatedplatformshortname", "\"AM-1\"") +
                            Object("associatedinstrumentshortname", "(\"MODIS\")")),
         "on=AM-1,AM-1/ASTER,MODIS"},
        {Object("PLATFORMSHORTNAME", "\"Terra\"") + Object("INSTRUMENTSHORTNAME", "ASTER") +
             Object("PLATFORMSHORTNAME", "\"Terra\""),
         "on=Terra,Terra/ASTER"},
        // ASTER's own cloud cover and sun, where the attributes give none.
        {Object("SCENECLOUDCOVERAGE", "41") + Object("SOLARDIRECTION", "(152.25, 54.5)"),
         "cloud=41 sun=152.25/54.5"},
        {attributes + Object("SCENECLOUDCOVERAGE", "41") +
             Object("SOLARDIRECTION", "(152.25, 54.5)"),
         "cloud=7 sun=99/54.5"},
        {Object("SOLARDIRECTION", "(152.25)") + Object("SCENECLOUDCOVERAGE", "101"), ""},
        // A time's parts from their own groups before another's; a blank one is none.
        {Group("PROCESSINGHISTORY", Object("CALENDARDATE", "\"2015-01-01\"") +
                                        Object("TIMEOFDAY", "\"00:00:00Z\"") +
                                        Object("RANGEBEGINNINGDATE", "\"2015-01-01\"")) +
             Group("RANGEDATETIME", Object("RANGEBEGINNINGDATE", "\"2003-04-12\"") +
                                        Object("RANGEBEGINNINGTIME", "\"18:32:07\"")) +
             Group("SINGLEDATETIME", Object("TIMEOFDAY", "\"18:32:07.414Z\"") +
                                         Object("CALENDARDATE", "\"2003-04-12\"")),
         "at=2003-04-12T18:32:07.414Z"},
        {Group("SINGLEDATETIME", Object("CALENDARDATE", "\"\"") + Object("TIMEOFDAY", "\" \"")) +
             Group("RANGEDATETIME", Object("RANGEBEGINNINGDATE", "\"2003-04-12\"") +
                                        Object("RANGEBEGINNINGTIME", "\"18:32:07\"")),
         "at=2003-04-12T18:32:07.000Z"},
        // A date and a time of day from one group, never parts of two.
        {Group("SINGLEDATETIME", Object("CALENDARDATE", "\"2003-04-12\"")) +
             Group("RANGEDATETIME", Object("RANGEBEGINNINGDATE", "\"2003-04-10\"") +
                                        Object("RANGEBEGINNINGTIME", "\"10:00:00\"")),
         "at=2003-04-10T10:00:00.000Z"},
        {Group("SINGLEDATETIME", Object("CALENDARDATE", "\"2003-04-12\"")) +
             Group("PROCESSINGHISTORY", Object("TIMEOFDAY", "\"00:00:00Z\"")),
         "day=2003-4-12"},
        {Group("PROCESSINGHISTORY",
               Object("CALENDARDATE", "\"2015-01-01\"") + Object("TIMEOFDAY", "\"00:00:00Z\"")) +
             Group("RANGEDATETIME", Object("RANGEBEGINNINGDATE", "\"\"") +
                                        Object("RANGEBEGINNINGTIME", "\"18:32:07\"")),
         "time=18:32:07"},
    };
    for (const auto& [text, summary] : cases) {
        SCOPED_TRACE(text);
        const MetadataOrReason got = ReadSceneMetadata(kRing + text);
        ASSERT_TRUE(got.metadata) << got.reason;
        EXPECT_EQ(Summary(*got.metadata), summary);
    }
}

// Corners from a G-ring, else ASTER's four corners, else a bounding rectangle; or why none.
TEST(OdlGranule, CornersOfABoundingRectangleOrTheReason) {
    struct Case {
        std::string text;
        std::vector<GeoPoint> corners; // empty: the reason
        std::string reason;
    };
    // In any case, and as statements of their own.
    const std::string lowercase = "group = boundingrectangle\n westboundingcoordinate = -118.5\n"
                                  " eastboundingcoordinate = -117.5 northboundingcoordinate = 34.5"
                                  " southboundingcoordinate = 33.5\nend_group\n";
    const Case cases[] = {
        {lowercase, {{-118.5, 33.5}, {-117.5, 33.5}, {-117.5, 34.5}, {-118.5, 34.5}}, ""},
        {Box("170", "-170", "10", "9"), {{170, 9}, {-170, 9}, {-170, 10}, {170, 10}}, ""},
        {Box("1", "2", "3", "-4") + kRing, kRingCorners, ""},
        {Box("1", "2", "3", "-4") + AsterProduct(), kAsterCorners, ""},
        {Object("WESTBOUNDINGCOORDINATE", "1"), {}, "no corners"},
        {Group("BOUNDINGRECTANGLE", Object("WESTBOUNDINGCOORDINATE", "1")),
         {},
         "bounding rectangle without EASTBOUNDINGCOORDINATE"},
        {Box("1", "2", "3x", "-4"), {}, "NORTHBOUNDINGCOORDINATE is not a number"},
        {Box("1", "2", "3", "-4e400"), {}, "SOUTHBOUNDINGCOORDINATE is out of range"},
        {Box("1", "2", "3", "4"), {}, "bounding rectangle with its south above its north"},
        {AsterProduct("(1)"), {}, "corner 4 is not a latitude and a longitude"},
        {Group("SCENEFOURCORNERS", Object("UPPERLEFT", "(1, 2)")),
         {},
         "four corners without UPPERRIGHT"},
        {AsterProduct("(1e-400, 2)"), {}, "corner 4 is out of range"},
        // A G-ring whose container flags it as an exclusion is a hole, never the outline:
        // the next container's ring is, else the corners the granule gives otherwise.
        {Exclusion("Y", "(7, 8, 9)", "(1, 1, 2)") + Exclusion("N", "(1, 2, 3)", "(4, 5, 6)"),
         kRingCorners, ""},
        {Exclusion("N", "(1, 2, 3)", "(4, 5, 6)") + Exclusion("Y", "(7, 8, 9)", "(1, 1, 2)"),
         kRingCorners, ""},
        {Exclusion("y", "(7, 8, 9)", "(1, 1, 2)") + Box("1", "2", "3", "-4"),
         {{1, -4}, {2, -4}, {2, 3}, {1, 3}},
         ""},
        {Exclusion("Y", "(7, 8, 9)", "(1, 1, 2)"), {}, "no corners but a hole's"},
        {Exclusion("Y", "(7, 8, 9)", "(1, 1, 2)", true) +
             Exclusion("N", "(1, 2, 3)", "(4, 5, 6)", true),
         kRingCorners, ""},
        {Exclusion(" Y ", "(7, 8, 9)", "(1, 1, 2)", true), {}, "no corners but a hole's"},
        // Points outside every container, a browse product's, give way to a container's,
        // and stand where the only container holds a hole, its flag before or after.
        {Group("BROWSEPRODUCT",
               Group("GRINGPOINT", Object("GRINGPOINTLATITUDE", "(7, 8, 9)") +
                                       Object("GRINGPOINTLONGITUDE", "(1, 1, 2)"))) +
             Exclusion("N", "(1, 2, 3)", "(4, 5, 6)"),
         kRingCorners, ""},
        {kRing + Exclusion("Y", "(7, 8, 9)", "(1, 1, 2)"), kRingCorners, ""},
        {kRing + Exclusion("Y", "(7, 8, 9)", "(1, 1, 2)", true), kRingCorners, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const MetadataOrReason got = ReadSceneMetadata(Group("INVENTORYMETADATA", c.text));
        EXPECT_EQ(got.reason, c.reason);
        EXPECT_EQ(got.metadata ? got.metadata->corners : std::vector<GeoPoint>{}, c.corners);
    }
}

TEST(OdlGranule, NumbersOutOfRangeAndLinesEndedByCr) {
    struct Case {
        std::string text;
        std::string reason;
    };
    const auto ring = [](const std::string& latitudes) {
        return Object("GRINGPOINTLATITUDE", latitudes) + Object("GRINGPOINTLONGITUDE", "(4,5,6)");
    };
    const Case cases[] = {
        {ring("(1, 1e400, 3)"), "corner 2 is out of range"},
        {ring("(-1e-400, 2, 3)"), "corner 1 is out of range"},
        {ring("(1, 2, 0x3)"), "corner 3 is not a number"},
        {"GROUP = G\r  X = 1\r ) \r", "unreadable ODL at line 3"},
        {"GROUP = G\r\n\r\n ) ", "unreadable ODL at line 3"},
        {"GROUP = G\r\nA = 1\rB = 2\nC = 3\n\r ) ", "unreadable ODL at line 6"},
        {"GROUP = G\r\rX = \"abc\r\r", "unclosed text at line 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ReadSceneMetadata(c.text).reason, c.reason);
    }
    // The bounds of a double: what no double holds is out of range, the rest is a number.
    for (const char* text : {"1e400", "-1e400", "2e-324", "1.8e308"}) {
        EXPECT_EQ(ReadNumber(text).fault, NumberFault::OutOfRange) << text;
        EXPECT_FALSE(ParseNumber(text)) << text;
    }
    for (const char* text : {"4.9e-324", "-1.7976931348623157e308", "0e-999"})
        EXPECT_EQ(ReadNumber(text).fault, NumberFault::None) << text;
}

TEST(HdfEosTexts, CoreItemsFirstThenAstersProductMetadata) {
    const std::string core = Group("INVENTORYMETADATA", Object("LOCALGRANULEID", "\"core.hdf\"") +
                                                            Object("CALENDARDATE", "\"20031231\"") +
                                                            Object("TIMEOFDAY", "\"235959999\""));
    SceneMetadataReader reader;
    const MetadataOrReason got = reader.readHdfTexts(core, AsterProduct());
    ASSERT_TRUE(got.metadata) << got.reason;
    EXPECT_EQ(got.metadata->layout, MetadataLayout::HdfEos);
    EXPECT_EQ(got.metadata->corners, kAsterCorners);
    EXPECT_EQ(got.metadata->granule, "core.hdf");
    EXPECT_EQ(FormatRfc3339(*got.metadata->acquired), "2003-12-31T23:59:59.999Z");
    EXPECT_EQ(got.metadata->cloud, 41);
    EXPECT_EQ(got.metadata->sunAzimuth, 152.25);
    EXPECT_EQ(got.metadata->sunElevation, 54.5);
    // NUL bytes after the texts, as HDF attributes keep them, change nothing.
    EXPECT_EQ(reader.readHdfTexts(core + std::string(3, '\0'), AsterProduct() + '\0').metadata,
              got.metadata);

    // A core that gives everything takes nothing from the product, and reads as the file:
    // not even a G-ring, which would be a second part of the same footprint.
    MetadataOrReason file = ReadSceneMetadata(test::GranuleOdl());
    ASSERT_TRUE(file.metadata);
    file.metadata->layout = MetadataLayout::HdfEos;
    const std::string ringElsewhere =
        "GROUP = INVENTORYMETADATA\nOBJECT = GPOLYGONCONTAINER\nGROUP = GRINGPOINT\n"
        "OBJECT = GRINGPOINTLATITUDE\nVALUE = (1, 1, 2)\nEND_OBJECT = GRINGPOINTLATITUDE\n"
        "OBJECT = GRINGPOINTLONGITUDE\nVALUE = (1, 2, 2)\nEND_OBJECT = GRINGPOINTLONGITUDE\n"
        "END_GROUP = GRINGPOINT\nEND_OBJECT = GPOLYGONCONTAINER\nEND_GROUP = "
        "INVENTORYMETADATA\nEND\n";
    for (const std::string& product : {AsterProduct(), std::string(), ringElsewhere})
        EXPECT_EQ(reader.readHdfTexts(test::GranuleOdl(), product).metadata, file.metadata);

    const std::pair<MetadataOrReason, std::string> reasons[] = {
        {reader.readHdfTexts("GROUP = G\n )", AsterProduct()),
         "unreadable ODL at line 2 of the core metadata"},
        {reader.readHdfTexts(core, "GROUP = G\r\r X = \"x"),
         "unclosed text at line 3 of the product metadata"},
        {reader.readHdfTexts(core, ""), "no corners"},
        {reader.readHdfTexts(core, std::string(kMaxMetadataBytes + 1, ' ')), "larger than 16 MiB"},
    };
    for (const auto& [result, reason] : reasons) {
        EXPECT_FALSE(result.metadata);
        EXPECT_EQ(result.reason, reason);
    }
}

} // namespace
} // namespace aster
