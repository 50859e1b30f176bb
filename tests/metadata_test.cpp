// The scene metadata reader on granules written for these tests in both layouts, on the
// example folder, and on a table of malformed files, each with the reason it gives.
#include "fileio/utf8.h"
#include "metadata/granule_items.h"
#include "metadata/scene_metadata.h"
#include "tests/granule_samples.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace aster {
namespace {

std::string ReadExample(const std::string& name) {
    std::ifstream in(std::string(ASTER_SOURCE_DIR) + "/examples/scenes/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

SceneMetadata ExpectedGranule(MetadataLayout layout) {
    SceneMetadata expected;
    expected.layout = layout;
    expected.corners = {{-117.204518, 36.512345},
                        {-116.502783, 36.402871},
                        {-116.641209, 35.872310},
                        {-117.342651, 35.981734}};
    expected.dateText = "2003-04-12";
    expected.timeText = "18:32:07.414000";
    expected.date = CalendarDate{2003, 4, 12};
    expected.acquired = AcquisitionInstant(*expected.date, {18, 32, 7, 414'000'000});
    expected.granule = "AST_L1B_00304122003183207_20030413120012_12345.hdf";
    expected.product = "AST_L1B";
    expected.version = "3";
    expected.dayNight = "Day";
    expected.cloud = 12;
    expected.sunAzimuth = 142.615;
    expected.sunElevation = 58.7;
    return expected;
}

MetadataOrReason Read(const std::string& text) {
    return ReadSceneMetadata(text);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    text.replace(text.find(from), from.size(), to);
    return text;
}

// The line a text's first `needle` is on, counted from 1.
std::string LineOf(const std::string& text, const std::string& needle) {
    const auto before = text.substr(0, text.find(needle));
    return std::to_string(1 + std::count(before.begin(), before.end(), '\n'));
}

TEST(SceneMetadata, OneGranuleReadsTheSameInBothLayouts) {
    const MetadataOrReason xml = Read(test::GranuleXml());
    const MetadataOrReason odl = Read(test::GranuleOdl());
    ASSERT_TRUE(xml.metadata) << xml.reason;
    ASSERT_TRUE(odl.metadata) << odl.reason;
    // Both layouts give the range's end, the platform and the instrument as well.
    for (const MetadataLayout layout : {MetadataLayout::EcsXml, MetadataLayout::Odl}) {
        SceneMetadata expected = ExpectedGranule(layout);
        expected.acquiredEnd = AcquisitionInstant(*expected.date, {18, 32, 16, 302'000'000});
        expected.platforms = {"AM-1"};
        if (layout == MetadataLayout::Odl)
            expected.instruments = {"ASTER"};
        EXPECT_EQ(layout == MetadataLayout::Odl ? *odl.metadata : *xml.metadata, expected);
    }
    EXPECT_EQ(FormatRfc3339(*xml.metadata->acquired), "2003-04-12T18:32:07.414Z");

    // Whatever case the writer chose for names and keywords.
    std::string lower = test::GranuleOdl();
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const MetadataOrReason lowered = Read(lower);
    ASSERT_TRUE(lowered.metadata) << lowered.reason;
    EXPECT_EQ(lowered.metadata->corners, odl.metadata->corners);
    EXPECT_EQ(lowered.metadata->cloud, 12);
    EXPECT_EQ(lowered.metadata->granule,
              "ast_l1b_00304122003183207_20030413120012_12345.hdf"); // values stay as written

    // A reader kept from file to file gives each file its own result.
    SceneMetadataReader reader;
    EXPECT_EQ(reader.read(test::GranuleXml()).metadata, xml.metadata);
    EXPECT_FALSE(reader.read("<GranuleMetaDataFile><GPolygon>").metadata);
    EXPECT_EQ(reader.read(test::GranuleOdl()).metadata, odl.metadata);
    EXPECT_EQ(reader.read(test::GranuleXml()).metadata, xml.metadata);
}

TEST(SceneMetadata, ExampleFolderGivesItsGranulesAndCloudCover) {
    const MetadataOrReason first = Read(ReadExample("demo_scene_01.met"));
    ASSERT_TRUE(first.metadata) << first.reason;
    const SceneMetadata& scene = *first.metadata;
    EXPECT_EQ(scene.layout, MetadataLayout::Odl);
    EXPECT_EQ(scene.granule, "DEMO_L1B_20030412_01.hdf");
    EXPECT_EQ(scene.cloud, 3);
    EXPECT_EQ(scene.corners.size(), 4u);
    EXPECT_EQ(scene.corners[3], (GeoPoint{-117.342651, 35.981734}));
    EXPECT_EQ(scene.dateText, "2003-04-12");
    EXPECT_EQ(scene.timeText, "18:32:07.414000Z");
    EXPECT_EQ(FormatRfc3339(*scene.acquired), "2003-04-12T18:32:07.414Z");
    EXPECT_FALSE(scene.product);
    EXPECT_FALSE(scene.sunAzimuth);
    for (const char* name : {"demo_scene_02.met", "demo_scene_03.met", "demo_scene_04.met"}) {
        const MetadataOrReason other = Read(ReadExample(name));
        ASSERT_TRUE(other.metadata) << name << ": " << other.reason;
        EXPECT_EQ(other.metadata->cloud, 3);
    }
    EXPECT_EQ(Read(ReadExample("demo_scene_05_blank.met")).reason, "not scene metadata");
    EXPECT_EQ(Read(ReadExample("notes.txt")).reason, "not scene metadata");
}

// ODL as files hold it: any case, any blanks, line ends and comments, statements the
// reader does not know, attributes paired by their order when they carry no class.
TEST(SceneMetadata, OdlAsFilesHoldIt) {
    struct Case {
        const char* what;
        std::string text;
        std::size_t corners;
        std::optional<double> cloud;
        std::string time;
    };
    const std::string corners = "object=GRingPointLatitude\nvalue=(1,2,3)\nend_object\n"
                                "OBJECT=GRingPointLongitude VALUE=(4,5,6) END_OBJECT\n";
    const Case cases[] = {
        {"no blanks, no END", corners, 3, {}, ""},
        {"CR LF, comments, END and anything after it",
         "/* head */\r\nGROUP = A /* x */\r\n" + corners + "END_GROUP = A\r\nEND\r\n\x01\x02junk",
         3,
         {},
         ""},
        {"blanks and a line break around =, a unit",
         "OBJECT \t=\n TimeofDay\n  VALUE\n=\n\"12:00:00Z\" <UTC>\nEND_OBJECT=TimeofDay\n" +
             corners,
         3,
         {},
         "12:00:00Z"},
        {"statements without a value, nested lists",
         "GROUP = G\nFLAG\nSHAPE = ((1,2),(3,4))\n" + corners + "END_GROUP\n",
         3,
         {},
         ""},
        {"attributes paired by order, as groups without classes",
         "GROUP = AdditionalAttributes\n GROUP = A1\n"
         "  OBJECT = AdditionalAttributeName\n   Value = \"SceneCloudCoverage\"\n  END_OBJECT\n"
         "  GROUP = InformationContent\n   OBJECT = ParameterValue\n    Value = \"7.5\"\n"
         "   END_OBJECT\n  END_GROUP\n END_GROUP\nEND_GROUP\n" +
             corners,
         3, 7.5, ""},
        {"attributes paired by their container's class, the value first",
         "GROUP = ADDITIONALATTRIBUTES\n"
         " OBJECT = ADDITIONALATTRIBUTESCONTAINER\n  CLASS = \"1\"\n"
         "  GROUP = INFORMATIONCONTENT\n   OBJECT = PARAMETERVALUE\n    VALUE = \"41\"\n"
         "   END_OBJECT\n  END_GROUP\n"
         "  OBJECT = ADDITIONALATTRIBUTENAME\n   VALUE = \"SceneCloudCoverage\"\n  END_OBJECT\n"
         " END_OBJECT\n"
         " OBJECT = ADDITIONALATTRIBUTESCONTAINER\n  CLASS = \"2\"\n"
         "  OBJECT = ADDITIONALATTRIBUTENAME\n   VALUE = \"QAPercentCloudCover\"\n  END_OBJECT\n"
         "  OBJECT = PARAMETERVALUE\n   VALUE = \"5\"\n  END_OBJECT\n"
         " END_OBJECT\n"
         "END_GROUP\n" +
             corners,
         3, 41, ""},
        {"a cover out of range is none",
         "GROUP = AdditionalAttributes\n OBJECT = AdditionalAttributeName\n VALUE = "
         "\"SceneCloudCoverage\"\n END_OBJECT\n OBJECT = ParameterValue\n VALUE = \"-1\"\n"
         " END_OBJECT\nEND_GROUP\n" +
             corners,
         3,
         {},
         ""},
        {"a quality statistic outside the attributes",
         "OBJECT = QAPercentCloudCover\n VALUE = 100\nEND_OBJECT\n" + corners, 3, 100, ""},
        {"an END_GROUP that closes nothing",
         "GROUP = A\nEND_GROUP\nEND_GROUP = X\n" + corners,
         3,
         {},
         ""},
        {"a byte order mark", "\xEF\xBB\xBF" + corners, 3, {}, ""},
        {"numbers with a plus, exponents, no leading digit",
         "OBJECT=GRingPointLatitude\nvalue=(+1,2e1,.5)\nend_object\n"
         "OBJECT=GRingPointLongitude VALUE=(4.,-5E-1,6) END_OBJECT\n",
         3,
         {},
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataOrReason got = Read(c.text);
        ASSERT_TRUE(got.metadata) << got.reason;
        EXPECT_EQ(got.metadata->corners.size(), c.corners);
        EXPECT_EQ(got.metadata->cloud, c.cloud);
        EXPECT_EQ(got.metadata->timeText, c.time);
    }
    const MetadataOrReason numbers = Read(cases[std::size(cases) - 1].text); // the numbers
    ASSERT_TRUE(numbers.metadata);
    EXPECT_EQ(numbers.metadata->corners, (std::vector<GeoPoint>{{4, 1}, {-0.5, 20}, {6, 0.5}}));
}

TEST(SceneMetadata, MalformedFilesGiveTheirReason) {
    const std::string xmlHead = "<?xml version=\"1.0\"?>\n<GranuleMetaDataFile>\n";
    const auto point = [](const std::string& lon, const std::string& lat) {
        return "<Point><PointLongitude>" + lon + "</PointLongitude><PointLatitude>" + lat +
               "</PointLatitude></Point>\n";
    };
    const std::string polygon = "<GPolygon><Boundary>\n" + point("1", "2") + point("3", "4") +
                                point("5", "6") + "</Boundary></GPolygon>\n";
    std::string deepXml = xmlHead;
    for (int i = 0; i < 100; ++i)
        deepXml += "<a>\n";
    std::string deepOdl;
    for (int i = 0; i < 100; ++i)
        deepOdl += "GROUP = G\n";
    std::string laughs = "<?xml version=\"1.0\"?>\n<!DOCTYPE GranuleMetaDataFile [\n"
                         " <!ENTITY lol \"lol\">\n";
    for (int i = 1; i < 10; ++i) {
        laughs += " <!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            laughs += i == 1 ? "&lol;" : "&lol" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n<GranuleMetaDataFile>&lol9;</GranuleMetaDataFile>\n";
    const std::string odlLists = "OBJECT = GRingPointLatitude\nVALUE = (1, 2, 3, 4)\nEND_OBJECT\n"
                                 "OBJECT = GRingPointLongitude\nVALUE = (5, 6,\n 7)\nEND_OBJECT\n";

    struct Case {
        const char* what;
        std::string text;
        std::string reason;
    };
    const Case cases[] = {
        {"empty file", "", "not scene metadata"},
        {"blanks only", " \r\n\t", "not scene metadata"},
        {"binary junk", std::string("\x00\x01\x02\xff\xfe\x80GROUP = X", 15), "not scene metadata"},
        {"an HDF file", std::string("\x0e\x03\x13\x01\x00\x00", 6) + "GROUP = X",
         "not scene metadata"},
        {"a TIFF image", std::string("II*\x00\x08\x00\x00\x00", 8), "not scene metadata"},
        {"a JPEG image", "\xff\xd8\xff\xe0\x00\x10JFIF", "not scene metadata"},
        {"gzip", "\x1f\x8b\x08\x00", "compressed (gzip): uncompress it first"},
        {"bzip2", "BZh91AY&SY", "compressed (bzip2): uncompress it first"},
        {"a text that starts as bzip2 does", "BZh, no", "not scene metadata"},
        {"xz",
         std::string("\xfd"
                     "7zXZ\0\0",
                     8),
         "compressed (xz): uncompress it first"},
        {"zstd", "\x28\xb5\x2f\xfd\x04", "compressed (zstd): uncompress it first"},
        {"zip", "PK\x03\x04\x14", "compressed (zip): uncompress it first"},
        {"HDF5", std::string(512, '\0') + "\x89HDF\r\n\x1a\n\0",
         "HDF5 (HDF-EOS5, netCDF-4), whose metadata is not read: list its .xml or .met file "
         "instead"},
        {"a comment before the root longer than a head",
         "<?xml version=\"1.0\"?>\n<!--" + std::string(2 * kLayoutSniffBytes, 'c') +
             "-->\n<GranuleMetaDataFile/>",
         "no corners"},
        {"another XML document", "<?xml version=\"1.0\"?><kml><Placemark/></kml>",
         "not scene metadata"},
        {"ODL of no group or object", "PDS_VERSION_ID = PDS3\nOBJECT = X\n", "not scene metadata"},
        {"larger than any scene metadata", "GROUP = X\n" + std::string(kMaxMetadataBytes, ' '),
         "larger than 16 MiB"},
        {"no corners", "GROUP = INVENTORYMETADATA\nEND_GROUP\nEND\n", "no corners"},
        {"no corners in XML", xmlHead + "</GranuleMetaDataFile>\n", "no corners"},
        {"unclosed XML", xmlHead + "<ECSDataGranule>\n", "unreadable XML at line 4"},
        {"mismatched tags", xmlHead + "<a></b>\n", "unreadable XML at line 3"},
        {"text that is not UTF-8", xmlHead + "<LocalGranuleID>caf\xe9</LocalGranuleID>\n",
         "unreadable XML at line 3"},
        {"entity declarations (billion laughs)", laughs, "entity declaration refused at line 3"},
        {"an external entity",
         "<!DOCTYPE GranuleMetaDataFile [<!ENTITY x SYSTEM \"/etc/passwd\">]>\n"
         "<GranuleMetaDataFile>&x;</GranuleMetaDataFile>",
         "entity declaration refused at line 1"},
        {"deep XML", deepXml, "nested too deeply at line 66"},
        {"deep ODL", deepOdl, "nested too deeply at line 65"},
        {"an enormous attribute",
         xmlHead + "<ECSDataGranule note=\"" + std::string(70000, 'a') + "\"/>",
         "an attribute of more than 65536 bytes at line 3"},
        {"an enormous XML text",
         xmlHead + "<LocalGranuleID>" + std::string(70000, 'a') + "</LocalGranuleID>",
         "a text of more than 65536 bytes at line 3"},
        {"an enormous ODL text",
         "GROUP = G\nOBJECT = X\nVALUE = \"" + std::string(70000, 'a') + "\"\n",
         "a text of more than 65536 bytes at line 3"},
        {"a list of too many values", "GROUP = G\nVALUE = (" + std::string(70000, ',') + ")\n",
         "a list of more than 65536 values at line 2"},
        {"unclosed ODL text", "GROUP = G\n  X = \"abc\n\n", "unclosed text at line 2"},
        {"unclosed ODL list", "GROUP = G\n  X = (1,\n2\n", "unclosed list at line 2"},
        {"unclosed comment", "GROUP = G\n/* abc\n", "unclosed comment at line 2"},
        {"a stray byte", "GROUP = G\n  X = 1\n ) \n", "unreadable ODL at line 3"},
        // A quote left open ends at the next statement's: the fault is named where it is.
        {"a quote left open",
         "GROUP = G\nOBJECT = A\n VALUE = \"Day\nEND_OBJECT = A\nOBJECT = B\n VALUE = \"x\"\n",
         "unreadable ODL at line 6 (the quote at line 3 seems unclosed)"},
        {"a text over lines", "GROUP = G\n X = \"two\nlines\"\n ) \n", "unreadable ODL at line 4"},
        {"unequal corner lists", odlLists, "4 corner latitudes but 3 longitudes"},
        {"latitudes alone", "OBJECT = GRingPointLatitude\nVALUE = (1, 2, 3)\nEND_OBJECT\n",
         "corner latitudes without longitudes"},
        {"fewer than 3 points",
         xmlHead + "<GPolygon><Boundary>" + point("1", "2") + point("3", "4") +
             "</Boundary></GPolygon>" + "</GranuleMetaDataFile>",
         "fewer than 3 corners"},
        {"fewer than 3 ODL corners",
         "OBJECT = GRingPointLatitude\nVALUE = 1\nEND_OBJECT\n"
         "OBJECT = GRingPointLongitude\nVALUE = 2\nEND_OBJECT\n",
         "fewer than 3 corners"},
        {"not a number in ODL",
         "OBJECT = GRingPointLatitude\nVALUE = (1, nan, 3)\nEND_OBJECT\n"
         "OBJECT = GRingPointLongitude\nVALUE = (4, 5, 6)\nEND_OBJECT\n",
         "corner 2 is not a number"},
        {"an empty ODL value",
         "OBJECT = GRingPointLatitude\nVALUE = (1, 2, 3)\nEND_OBJECT\n"
         "OBJECT = GRingPointLongitude\nVALUE = (4, 5, )\nEND_OBJECT\n",
         "corner 3 is not a number"},
        {"not a number in XML",
         xmlHead + "<GPolygon><Boundary>\n" + point("1", "2") + point("0x10", "4"),
         "corner 2 is not a number at line 5"},
        {"a point without its latitude",
         xmlHead + "<GPolygon><Boundary>\n<Point><PointLongitude>1</PointLongitude></Point>",
         "corner 1 has no latitude at line 4"},
        {"the root's name in another element", "<a><GranuleMetaDataFile/></a>",
         "not scene metadata"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataOrReason got = Read(c.text);
        EXPECT_FALSE(got.metadata);
        EXPECT_EQ(got.reason, c.reason);
    }
    // What the malformed cases hold is fine where it is well formed.
    const MetadataOrReason fine = Read(xmlHead + polygon + "</GranuleMetaDataFile>");
    ASSERT_TRUE(fine.metadata) << fine.reason;
    EXPECT_EQ(fine.metadata->corners.size(), 3u);
    EXPECT_FALSE(fine.metadata->date);
    EXPECT_FALSE(fine.metadata->acquired);
}

// The same granule in ECS XML and in ECHO 10, its footprint as a polygon or as a bounding
// rectangle only, gives the same metadata; ECHO 10 takes each item from its own place.
TEST(SceneMetadata, OneGranuleReadsTheSameInEcsXmlAndEcho10) {
    using test::SampleFootprint;
    const std::vector<GeoPoint> polygon = ExpectedGranule(MetadataLayout::EcsXml).corners;
    // Counter-clockwise from the south-west.
    const std::vector<GeoPoint> box = {{-117.342651, 35.872310},
                                       {-116.502783, 35.872310},
                                       {-116.502783, 36.512345},
                                       {-117.342651, 36.512345}};
    struct Case {
        const char* what;
        std::string text;
        MetadataLayout layout;
        std::vector<GeoPoint> corners;
    };
    const Case cases[] = {
        {"ECS XML, polygon", test::EcsGranuleXml(SampleFootprint::Polygon), MetadataLayout::EcsXml,
         polygon},
        {"ECS XML, bounding rectangle", test::EcsGranuleXml(SampleFootprint::Box),
         MetadataLayout::EcsXml, box},
        {"ECHO 10, polygon", test::Echo10GranuleXml(SampleFootprint::Polygon),
         MetadataLayout::Echo10, polygon},
        {"ECHO 10, bounding rectangle", test::Echo10GranuleXml(SampleFootprint::Box),
         MetadataLayout::Echo10, box},
    };
    const CalendarDate day{2003, 4, 12};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(SniffLayout(c.text), c.layout);
        const MetadataOrReason got = Read(c.text);
        ASSERT_TRUE(got.metadata) << got.reason;
        const SceneMetadata& scene = *got.metadata;
        EXPECT_EQ(scene.layout, c.layout);
        EXPECT_EQ(scene.corners, c.corners);
        EXPECT_EQ(scene.date, day);
        EXPECT_EQ(scene.acquired, AcquisitionInstant(day, {18, 32, 7, 414'000'000}));
        EXPECT_EQ(scene.acquiredEnd, AcquisitionInstant(day, {18, 32, 16, 302'000'000}));
        EXPECT_EQ(scene.granule, "AST_L1B_00304122003183207_20030413120012_12345.hdf");
        EXPECT_EQ(scene.product, "AST_L1B");
        EXPECT_EQ(scene.version, "3");
        EXPECT_EQ(scene.cloud, 12);
        EXPECT_EQ(scene.platforms, (std::vector<std::string>{"AM-1"}));
        EXPECT_EQ(scene.instruments, (std::vector<std::string>{"ASTER", "MODIS"}));
    }
    const std::string echo = test::Echo10GranuleXml(SampleFootprint::Polygon);
    const MetadataOrReason range = Read(echo);
    ASSERT_TRUE(range.metadata);
    EXPECT_EQ(range.metadata->dateText, "2003-04-12"); // the beginning's parts, as written
    EXPECT_EQ(range.metadata->timeText, "18:32:07.414Z");
    EXPECT_EQ(range.metadata->dayNight, "DAY");

    // A single time instead of a range; the polygon when a bounding rectangle follows it.
    const std::size_t from = echo.find("<RangeDateTime>");
    const std::size_t to = echo.find("</RangeDateTime>") + 16;
    std::string single = echo;
    single.replace(from, to - from, "<SingleDateTime>2003-04-12T18:32:09Z</SingleDateTime>");
    single = Replaced(single, "</Geometry>",
                      "<BoundingRectangle><WestBoundingCoordinate>0</WestBoundingCoordinate>"
                      "<EastBoundingCoordinate>1</EastBoundingCoordinate>"
                      "<NorthBoundingCoordinate>1</NorthBoundingCoordinate>"
                      "<SouthBoundingCoordinate>0</SouthBoundingCoordinate>"
                      "</BoundingRectangle></Geometry>");
    const MetadataOrReason once = Read(single);
    ASSERT_TRUE(once.metadata) << once.reason;
    EXPECT_EQ(once.metadata->timeText, "18:32:09Z");
    EXPECT_EQ(once.metadata->acquired, AcquisitionInstant(day, {18, 32, 9, 0}));
    EXPECT_FALSE(once.metadata->acquiredEnd);
    EXPECT_EQ(once.metadata->corners, polygon);
}

// CMR's records name a granule by the producer's ID, ECS's LocalGranuleID, else by the
// catalogue's GranuleUR; their additional attributes give what ECS's PSAs give, and the
// record's own cloud cover comes before an attribute's.
TEST(SceneMetadata, CmrRecordsGiveTheProducersIdAndTheirAttributes) {
    const std::string echo = test::Echo10GranuleXml(test::SampleFootprint::Polygon);
    const std::string attributes =
        "<AdditionalAttributes><AdditionalAttribute><Name>Solar_Azimuth_Angle</Name>"
        "<Values><Value>141.5</Value><Value>9</Value></Values></AdditionalAttribute>"
        "<AdditionalAttribute><Name>SceneCloudCoverage</Name><Values><Value>3</Value></Values>"
        "</AdditionalAttribute><AdditionalAttribute><Name>Other</Name><Values><Value>x</Value>"
        "</Values></AdditionalAttribute><AdditionalAttribute><Name>Solar_Elevation_Angle</Name>"
        "<Values><Value>58.25</Value></Values></AdditionalAttribute></AdditionalAttributes>";
    const std::string withAttributes = Replaced(echo, "<OrbitCalculatedSpatialDomains>",
                                                attributes + "<OrbitCalculatedSpatialDomains>");
    const std::string ummIds =
        "\"GranuleUR\": \"SC:AST_L1B.003:2148809731\", \"DataGranule\": {\"Identifiers\": ["
        "{\"Identifier\": \"x.hdf\", \"IdentifierType\": \"LocalVersionId\"}, "
        "{\"Identifier\": \"AST_L1B_1.hdf\", \"IdentifierType\": \"ProducerGranuleId\"}]}";
    const std::string ummAttributes =
        "\"AdditionalAttributes\": [{\"Name\": \"Solar_Azimuth_Angle\", \"Values\": "
        "[\"141.5\", \"9\"]}, {\"Name\": \"SceneCloudCoverage\", \"Values\": [\"3\"]}, "
        "{\"Name\": \"Odd\", \"Values\": [7, {}]}, {\"Name\": \"Solar_Elevation_Angle\", "
        "\"Values\": [\"58.25\"]}]";
    const std::string ummBase =
        "{\"TemporalExtent\": {\"SingleDateTime\": \"2003-04-12T18:32:07Z\"}, "
        "\"SpatialExtent\": {\"HorizontalSpatialDomain\": {\"Geometry\": {\"GPolygons\": "
        "[{\"Boundary\": {\"Points\": [{\"Longitude\": 0, \"Latitude\": 0}, {\"Longitude\": "
        "1, \"Latitude\": 0}, {\"Longitude\": 1, \"Latitude\": 1}]}}]}}}";
    const auto umm = [&](std::string more) { return ummBase + ", " + more + "}"; };
    struct Case {
        const char* what;
        std::string text;
        std::optional<std::string> granule;
        std::optional<double> cloud, azimuth, elevation;
    };
    const std::string hdf = "AST_L1B_00304122003183207_20030413120012_12345.hdf";
    const Case cases[] = {
        {"ECHO 10", echo, hdf, 12, {}, {}},
        {"ECHO 10, attributes", withAttributes, hdf, 12, 141.5, 58.25},
        {"ECHO 10, an attribute's cloud alone",
         Replaced(withAttributes, "<CloudCover>12</CloudCover>", ""), hdf, 3, 141.5, 58.25},
        {"ECHO 10, GranuleUR alone",
         Replaced(echo, "<ProducerGranuleId>" + hdf + "</ProducerGranuleId>", ""),
         "SC:AST_L1B.003:2148809731",
         12,
         {},
         {}},
        {"ECHO 10, a blank producer's ID",
         Replaced(echo, "<ProducerGranuleId>" + hdf + "</ProducerGranuleId>",
                  "<ProducerGranuleId> </ProducerGranuleId>"),
         "SC:AST_L1B.003:2148809731",
         12,
         {},
         {}},
        {"UMM-G, GranuleUR alone",
         umm("\"GranuleUR\": \"G1\", \"CloudCover\": 12"),
         "G1",
         12,
         {},
         {}},
        {"UMM-G, identifiers", umm(ummIds), "AST_L1B_1.hdf", {}, {}, {}},
        {"UMM-G, attributes", umm(ummAttributes), {}, 3, 141.5, 58.25},
        {"UMM-G, both covers", umm(ummAttributes + ", \"CloudCover\": 12"), {}, 12, 141.5, 58.25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataOrReason got = Read(c.text);
        ASSERT_TRUE(got.metadata) << got.reason;
        EXPECT_EQ(got.metadata->granule, c.granule);
        EXPECT_EQ(got.metadata->cloud, c.cloud);
        EXPECT_EQ(got.metadata->sunAzimuth, c.azimuth);
        EXPECT_EQ(got.metadata->sunElevation, c.elevation);
    }
    // RFC 3339 lets 'T' and 'Z' be written small.
    const MetadataOrReason upper = Read(umm("\"GranuleUR\": \"G1\""));
    const MetadataOrReason lower =
        Read(Replaced(umm("\"GranuleUR\": \"G1\""), "T18:32:07Z", "t18:32:07z"));
    ASSERT_TRUE(upper.metadata && lower.metadata);
    ASSERT_TRUE(upper.metadata->acquired);
    EXPECT_EQ(lower.metadata->acquired, upper.metadata->acquired);
}

// What pugixml would let through is refused with its reason, so that no value is ever read
// other than the file writes it; the encodings granule files come in are read.
TEST(SceneMetadata, XmlIsReadAsWrittenOrRefused) {
    using test::SampleFootprint;
    const std::string ecs = test::EcsGranuleXml(SampleFootprint::Polygon);
    const std::string echo = test::Echo10GranuleXml(SampleFootprint::Polygon);
    const std::string echoBox = test::Echo10GranuleXml(SampleFootprint::Box);
    const std::string latitude = "36.512345";
    const std::string withDtd = Replaced(ecs, "<GranuleMetaDataFile>",
                                         "<!DOCTYPE GranuleMetaDataFile SYSTEM \"g.dtd\">\n"
                                         "<GranuleMetaDataFile>");
    std::string deep;
    for (int i = 0; i < 100; ++i)
        deep = "<a>" + deep + "</a>";
    struct Case {
        const char* what;
        std::string text;
        std::string reason;
    };
    const Case cases[] = {
        {"an undeclared entity", Replaced(ecs, latitude, "3&q;6.512345"),
         "unknown entity at line " + LineOf(ecs, latitude)},
        {"an undeclared entity in ECHO 10", Replaced(echo, latitude, "3&q;6.512345"),
         "unknown entity at line " + LineOf(echo, latitude)},
        {"an entity the external DTD might declare, which is never read",
         Replaced(withDtd, latitude, "3&q;6.512345"),
         "unknown entity at line " + LineOf(withDtd, latitude)},
        {"an entity in an attribute", Replaced(echo, "<Granule>", "<Granule a='&x;'>"),
         "unknown entity at line " + LineOf(echo, "<Granule>")},
        {"an escaped ampersand is text", Replaced(ecs, latitude, "3&amp;6.512345"),
         "corner 1 is not a number at line " + LineOf(ecs, latitude)},
        {"a reference to character 0", Replaced(ecs, latitude, "3&#0;6.512345"),
         "unreadable XML at line " + LineOf(ecs, latitude)},
        {"a text that begins with a byte no UTF-8 has", Replaced(ecs, latitude, "\xff" + latitude),
         "unreadable XML at line " + LineOf(ecs, latitude)},
        {"an end tag whose '<' is lost, so that its '>' is in the text",
         Replaced(ecs, latitude + "</", latitude + "["),
         "unreadable XML at line " + LineOf(ecs, "</Point>")},
        {"a lone ampersand", Replaced(echo, "AM-1", "AM & 1"),
         "unreadable XML at line " + LineOf(echo, "AM-1")},
        {"a control character", Replaced(echo, "AM-1", "AM\x01-1"),
         "unreadable XML at line " + LineOf(echo, "AM-1")},
        {"a NUL byte", Replaced(echo, "AM-1", std::string("AM\0-1", 5)),
         "unreadable XML at line " + LineOf(echo, "AM-1")},
        {"an overlong UTF-8 sequence", Replaced(echo, "AM-1", "AM\xc0\xaf"),
         "unreadable XML at line " + LineOf(echo, "AM-1")},
        {"a second root", echo + "<Granule/>",
         "unreadable XML at line " +
             std::to_string(1 + std::count(echo.begin(), echo.end(), '\n'))},
        {"XML larger than the reader parses", ecs + "<!--" + std::string(kMaxXmlBytes, ' ') + "-->",
         "larger than " + std::to_string(kMaxXmlBytes >> 20) + " MiB"},
        {"a DOCTYPE with declarations names another root",
         "<!DOCTYPE Granule [<!ELEMENT Granule ANY>]>\n<GranuleMetaDataFile/>",
         "root element is not Granule at line 2"},
        {"a bounding rectangle upside down", Replaced(echoBox, latitude, "30"),
         "bounding rectangle with its south above its north"},
        {"a bounding coordinate that is no number", Replaced(echoBox, "-116.502783", "east"),
         "a bounding coordinate is not a number at line " + LineOf(echoBox, "-116.502783")},
        {"ECHO 10 nested too deeply", Replaced(echo, "<CloudCover>", deep + "<CloudCover>"),
         "nested too deeply at line " + LineOf(echo, "<CloudCover>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataOrReason got = Read(c.text);
        EXPECT_FALSE(got.metadata);
        EXPECT_EQ(got.reason, c.reason);
    }

    // What reads as written: a character reference, CDATA, ISO-8859-1 and UTF-16 text.
    const auto granuleOf = [](const std::string& text) {
        const MetadataOrReason got = Read(text);
        return got.metadata ? got.metadata->granule.value_or("") : got.reason;
    };
    const std::string granule = "AST_L1B_00304122003183207_20030413120012_12345.hdf";
    const MetadataOrReason referenced = Read(Replaced(ecs, latitude, "&#x33;6.512345"));
    ASSERT_TRUE(referenced.metadata) << referenced.reason;
    EXPECT_EQ(referenced.metadata->corners, ExpectedGranule(MetadataLayout::EcsXml).corners);
    EXPECT_EQ(granuleOf(Replaced(echo, "AST_L1B_003", "<![CDATA[AST&L1B]]>&lt;_003")),
              "AST&L1B<_00304122003183207_20030413120012_12345.hdf");
    EXPECT_EQ(granuleOf(Replaced(ecs, "AST_L1B_003", "AST_<!-- a -->L1B<?b?>_&#x30;03")), granule);
    const std::string latin1 =
        Replaced(Replaced(ecs, "UTF-8", "ISO-8859-1"), "AST_L1B_003", "caf\xe9_003");
    EXPECT_EQ(granuleOf(latin1), "caf\xc3\xa9_00304122003183207_20030413120012_12345.hdf");
    std::string wide = "\xFE\xFF";
    for (const char c : Replaced(echo, "UTF-8", "UTF-16")) {
        wide += '\0';
        wide += c;
    }
    EXPECT_EQ(SniffLayout(wide), MetadataLayout::Echo10);
    EXPECT_EQ(granuleOf(wide), granule);
}

// A granule cut short anywhere before its root's end tag is unreadable XML (or, cut in its
// prolog, no scene metadata): never metadata, nor a reason about an item it was cut in.
TEST(SceneMetadata, XmlCutShortIsUnreadable) {
    using test::SampleFootprint;
    SceneMetadataReader reader;
    for (const std::string& text : {test::EcsGranuleXml(SampleFootprint::Polygon),
                                    test::Echo10GranuleXml(SampleFootprint::Polygon),
                                    test::Echo10GranuleXml(SampleFootprint::Box)}) {
        for (std::size_t size = 0; size < text.rfind('>'); ++size) {
            const std::string cut = text.substr(0, size);
            const MetadataOrReason got = reader.read(cut);
            ASSERT_FALSE(got.metadata) << size;
            if (SniffLayout(cut) == MetadataLayout::None)
                ASSERT_EQ(got.reason, "not scene metadata") << size;
            else
                ASSERT_TRUE(got.reason.starts_with("unreadable XML at line "))
                    << size << got.reason;
        }
    }
}

TEST(SceneMetadata, OdlKeepsTheBytesOfItsTexts) {
    const std::string text = "OBJECT = LocalGranuleID\nVALUE = \"caf\xe9 \xff.hdf\"\nEND_OBJECT\n"
                             "OBJECT = GRingPointLatitude\nVALUE = (1,2,3)\nEND_OBJECT\n"
                             "OBJECT = GRingPointLongitude\nVALUE = (1,2,3)\nEND_OBJECT\n";
    const MetadataOrReason got = Read(text);
    ASSERT_TRUE(got.metadata) << got.reason;
    EXPECT_EQ(got.metadata->granule, "caf\xe9 \xff.hdf");
}

TEST(SceneMetadata, LayoutFromTheFirstBytes) {
    const auto utf16 = [](const std::string& ascii) {
        std::string text = "\xff\xfe";
        for (const char c : ascii) {
            text += c;
            text += '\0';
        }
        return text;
    };
    struct Case {
        std::string head;
        MetadataLayout layout;
    };
    const Case cases[] = {
        {"GROUP = INVENTORYMETADATA", MetadataLayout::Odl},
        {"\xEF\xBB\xBF\r\n  /* a */ /* b */\n object\t=x", MetadataLayout::Odl},
        {"Group\n=\nX", MetadataLayout::Odl},
        {"GROUPTYPE = MASTERGROUP", MetadataLayout::None},
        {"GROUP X", MetadataLayout::None},
        {"/* unclosed GROUP = X", MetadataLayout::None},
        {"END_GROUP = X", MetadataLayout::None},
        {"<GranuleMetaDataFile>", MetadataLayout::EcsXml},
        {"<granulemetadatafile", MetadataLayout::None}, // the start tag is not whole yet
        {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!-- c -->\n"
         "<!DOCTYPE GranuleMetaDataFile SYSTEM \"ScienceGranuleMetadata.dtd\">\n"
         "<GRANULEMETADATAFILE>",
         MetadataLayout::EcsXml},
        {utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?><GranuleMetaDataFile>"),
         MetadataLayout::EcsXml},
        {"<?xml version=\"1.0\"?><Granule>", MetadataLayout::Echo10},
        {"<!-- GranuleMetaDataFile -->", MetadataLayout::None},
        {"", MetadataLayout::None},
        {std::string("\x89HDF\r\n\x1a\n", 8), MetadataLayout::None},
        {std::string(kLayoutSniffBytes, ' ') + "GROUP = X", MetadataLayout::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        EXPECT_EQ(SniffLayout(c.head), c.layout);
    }
    const MetadataOrReason wide = Read(utf16("<GranuleMetaDataFile><LocalGranuleID>\xe9</"
                                             "LocalGranuleID></GranuleMetaDataFile>"));
    EXPECT_EQ(wide.reason, "no corners");
}

TEST(Utf8FromBytes, ValidUtf8StaysOtherBytesAreLatin1) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {"", ""},
        {"plain ASCII", "plain ASCII"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\x8d", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8c\x8d"},
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"}, // U+10FFFF, the last code point
        {"caf\xe9", "caf\xc3\xa9"},
        {"\xc0\xaf", "\xc3\x80\xc2\xaf"},                         // overlong '/'
        {"\xe0\x80\xaf", "\xc3\xa0\xc2\x80\xc2\xaf"},             // overlong, three bytes
        {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},             // a surrogate
        {"\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"}, // past U+10FFFF
        {"\xc3", "\xc3\x83"},                                     // cut short
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {std::string("\xff\0", 2), std::string("\xc3\xbf\0", 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(Utf8FromBytes(c.bytes), c.text);
        std::string inPlace = c.bytes;
        MakeUtf8(inPlace);
        EXPECT_EQ(inPlace, c.text);
    }
    // Latin-1 decoding is the identity on code points: every byte once.
    std::string all;
    for (int b = 0; b < 256; ++b)
        all += static_cast<char>(b);
    const std::string text = Utf8FromBytes(all);
    EXPECT_EQ(text.size(), 128u + 2 * 128u);
    EXPECT_EQ(Utf8FromBytes(text), text); // decoded text is valid UTF-8
    // The bytes come back from every text Latin-1 gave, and from no other.
    EXPECT_EQ(Latin1BytesOf(text), all);
    for (const Case& c : cases) {
        const std::string back = Latin1BytesOf(c.text);
        if (!back.empty()) {
            EXPECT_EQ(Utf8FromBytes(back), c.text) << c.bytes;
        }
    }
    EXPECT_EQ(Latin1BytesOf("plain"), "");
    EXPECT_EQ(Latin1BytesOf("\xe2\x82\xac"), ""); // U+20AC has no Latin-1 byte
    EXPECT_EQ(Latin1BytesOf("\xc3"), "");         // cut short
    // A path's names each by the rule on their own; a single name as the rule reads it.
    for (const Case& c : cases)
        EXPECT_EQ(Utf8FromPath(c.bytes), c.text) << c.bytes;
    EXPECT_EQ(Utf8FromPath("/sc\xc3\xa8nes/lat\xe9.met"), "/sc\xc3\xa8nes/lat\xc3\xa9.met");
    EXPECT_EQ(Utf8FromPath("\xe9//\xc3\xa9/"), "\xc3\xa9//\xc3\xa9/");
}

} // namespace
} // namespace aster
