// The scene metadata reader on UMM-G granule records written for these tests: each
// geometry form, several polygons, the times, missing items, and hostile JSON, each with
// the reason it gives.
#include "metadata/bounding_box.h"
#include "metadata/footprint_shape.h"
#include "metadata/granule_items.h"
#include "metadata/scene_footprint.h"
#include "metadata/scene_metadata.h"
#include "metadata/ummg_granule.h"
#include "tests/granule_samples.h"

#include <gtest/gtest.h>
#include <tuple>

namespace aster {
namespace {

std::string Point(double lon, double lat) {
    return "{\"Longitude\": " + std::to_string(lon) + ", \"Latitude\": " + std::to_string(lat) +
           "}";
}

// A polygon of the points given, closed as UMM-G closes it: the first point again.
std::string Polygon(const std::vector<GeoPoint>& points) {
    std::string text = "{\"Boundary\": {\"Points\": [";
    for (const GeoPoint& p : points)
        text += Point(p.lon, p.lat) + ", ";
    return text + Point(points.front().lon, points.front().lat) + "]}}";
}

std::string Geometry(const std::string& members) {
    return "\"SpatialExtent\": {\"GranuleSpatialRepresentation\": \"GEODETIC\",\n"
           "  \"HorizontalSpatialDomain\": {\"Geometry\": {" +
           members + "}}}";
}

std::string Polygons(const std::vector<std::vector<GeoPoint>>& rings) {
    std::string text = "\"GPolygons\": [";
    for (std::size_t i = 0; i < rings.size(); ++i)
        text += (i > 0 ? ", " : "") + Polygon(rings[i]);
    return text + "]";
}

std::string Box(double west, double east, double north, double south) {
    return "{\"WestBoundingCoordinate\": " + std::to_string(west) +
           ", \"EastBoundingCoordinate\": " + std::to_string(east) +
           ", \"NorthBoundingCoordinate\": " + std::to_string(north) +
           ", \"SouthBoundingCoordinate\": " + std::to_string(south) + "}";
}

const std::vector<GeoPoint> kScene = {{-117.204518, 35.981734},
                                      {-116.641209, 35.87231},
                                      {-116.502783, 36.402871},
                                      {-117.342651, 36.512345}};

std::string Record(const std::string& members) {
    return "{\n  \"GranuleUR\": \"AST_L1B_00304122003183207_20030413120012_12345\",\n  " + members +
           "\n}\n";
}

// Every item the reader takes, in the order CMR writes them.
std::string FullRecord() {
    return Record(
        "\"ProviderDates\": [{\"Date\": \"2003-04-13T12:00:12Z\", \"Type\": \"Insert\"}],\n"
        "  \"CollectionReference\": {\"ShortName\": \"AST_L1B\", \"Version\": \"003\"},\n"
        "  \"DataGranule\": {\"DayNightFlag\": \"Day\", \"ProductionDateTime\": \"x\"},\n"
        "  \"TemporalExtent\": {\"RangeDateTime\": {\n"
        "    \"BeginningDateTime\": \"2003-04-12T18:32:07.414Z\",\n"
        "    \"EndingDateTime\": \"2003-04-12T18:32:16.3Z\"}},\n  " +
        Geometry(Polygons({kScene})) +
        ",\n  \"Platforms\": [{\"ShortName\": \"Terra\", \"Instruments\": [\n"
        "    {\"ShortName\": \"ASTER\", \"ComposedOf\": [{\"ShortName\": \"VNIR\"}]},\n"
        "    {\"ShortName\": \"ASTER\"}]}, {\"ShortName\": \"Aqua\"}],\n"
        "  \"CloudCover\": 12,\n"
        "  \"AdditionalAttributes\": [{\"Name\": \"ShortName\", \"Values\": [\"x\"]}],\n"
        "  \"MetadataSpecification\": {\"URL\": \"https://cdn.earthdata.nasa.gov/umm/granule/"
        "v1.6.5\", \"Name\": \"UMM-G\", \"Version\": \"1.6.5\"}");
}

SceneMetadata Expected() {
    SceneMetadata expected;
    expected.layout = MetadataLayout::UmmG;
    expected.corners = kScene;
    expected.dateText = "2003-04-12";
    expected.timeText = "18:32:07.414Z";
    expected.date = CalendarDate{2003, 4, 12};
    expected.acquired = AcquisitionInstant(*expected.date, {18, 32, 7, 414'000'000});
    expected.acquiredEnd = AcquisitionInstant(*expected.date, {18, 32, 16, 300'000'000});
    expected.granule = "AST_L1B_00304122003183207_20030413120012_12345";
    expected.product = "AST_L1B";
    expected.version = "003";
    expected.dayNight = "Day";
    expected.cloud = 12;
    expected.platforms = {"Terra", "Aqua"};
    expected.instruments = {"ASTER", "ASTER"};
    return expected;
}

TEST(UmmG, PolygonFormGivesEveryItem) {
    const std::string text = FullRecord();
    EXPECT_EQ(SniffLayout(text), MetadataLayout::UmmG);
    SceneMetadataReader reader;
    const MetadataOrReason got = reader.read(text);
    ASSERT_TRUE(got.metadata) << got.reason;
    EXPECT_EQ(*got.metadata, Expected());
    EXPECT_EQ(FormatRfc3339(*got.metadata->acquiredEnd), "2003-04-12T18:32:16.300Z");
    // A reader that read a broken record reads the next one as if new; a byte order mark
    // and CRLF line ends change nothing.
    EXPECT_FALSE(reader.read("{\"GranuleUR\": [[[").metadata);
    std::string crlf = "\xEF\xBB\xBF";
    for (const char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const MetadataOrReason again = reader.read(crlf);
    ASSERT_TRUE(again.metadata) << again.reason;
    EXPECT_EQ(*again.metadata, Expected());
}

// The granule that the other layouts' tests read, as UMM-G writes it: the same corners
// (UMM-G's closing point is no corner), time and items.
TEST(UmmG, TheSameGranuleAsInEcsXml) {
    const MetadataOrReason xml = ReadSceneMetadata(test::GranuleXml());
    ASSERT_TRUE(xml.metadata) << xml.reason;
    const MetadataOrReason ummg = ReadSceneMetadata(
        Record("\"CollectionReference\": {\"ShortName\": \"AST_L1B\", \"Version\": \"3\"},\n"
               "\"DataGranule\": {\"DayNightFlag\": \"Day\"}, \"CloudCover\": 12,\n"
               "\"TemporalExtent\": {\"SingleDateTime\": \"2003-04-12T18:32:07.414Z\"},\n" +
               Geometry(Polygons({xml.metadata->corners}))));
    ASSERT_TRUE(ummg.metadata) << ummg.reason;
    const SceneMetadata& a = *xml.metadata;
    const SceneMetadata& b = *ummg.metadata;
    EXPECT_EQ(a.corners, b.corners);
    EXPECT_EQ(a.date, b.date);
    EXPECT_EQ(a.acquired, b.acquired);
    EXPECT_EQ(std::tie(a.product, a.version, a.dayNight, a.cloud),
              std::tie(b.product, b.version, b.dayNight, b.cloud));
}

TEST(UmmG, BoundingRectanglesWhenNoPolygon) {
    const std::string across = Box(170, -170, 10, -10);
    const MetadataOrReason boxes = ReadSceneMetadata(Record(Geometry(
        "\"BoundingRectangles\": [" + Box(-117.3, -116.5, 36.5, 35.9) + ", " + across + "]")));
    ASSERT_TRUE(boxes.metadata) << boxes.reason;
    EXPECT_EQ(boxes.metadata->corners, CornersOfBox(-117.3, -116.5, 35.9, 36.5));
    ASSERT_EQ(boxes.metadata->moreRings.size(), 1u);
    EXPECT_EQ(boxes.metadata->moreRings[0], CornersOfBox(170, -170, -10, 10));

    // Polygons are the footprint wherever the rectangles stand.
    const MetadataOrReason both = ReadSceneMetadata(
        Record(Geometry("\"BoundingRectangles\": [" + across + "], " + Polygons({kScene}))));
    ASSERT_TRUE(both.metadata) << both.reason;
    EXPECT_EQ(both.metadata->corners, kScene);
    EXPECT_TRUE(both.metadata->moreRings.empty());
}

// Numbers in every form JSON allows are read to the nearest double, as from_chars reads
// them: a zero with a large exponent is zero, not what RapidJSON's own reading made of it.
TEST(UmmG, NumbersReadToTheNearestDouble) {
    const std::vector<std::pair<std::string, double>> cases = {
        {"0E102", 0.0},     {"-0e40", -0.0},
        {"0.0e308", 0.0},   {"125e-1", 12.5},
        {"0.1", 0.1},       {"-1.5E+1", -15.0},
        {"1e-320", 1e-320}, {"4.9406564584124654e-324", 4.9406564584124654e-324},
    };
    for (const auto& [text, value] : cases) {
        const std::string box = "{\"WestBoundingCoordinate\": " + text +
                                ", \"EastBoundingCoordinate\": 20, \"NorthBoundingCoordinate\": 5, "
                                "\"SouthBoundingCoordinate\": -5}";
        const MetadataOrReason read =
            ReadSceneMetadata(Record(Geometry("\"BoundingRectangles\": [" + box + "]")));
        ASSERT_TRUE(read.metadata) << text << ": " << read.reason;
        EXPECT_EQ(read.metadata->corners, CornersOfBox(value, 20, -5, 5)) << text;
    }
}

// The same polygons as ECS's G-ring containers in ODL, as ECS granule XML and as ECHO 10.
std::string OtherLayout(MetadataLayout layout, const std::vector<std::vector<GeoPoint>>& rings) {
    std::string text;
    for (const std::vector<GeoPoint>& ring : rings) {
        std::string lons, lats, points;
        for (const GeoPoint& p : ring) {
            lons += (lons.empty() ? "" : ", ") + std::to_string(p.lon);
            lats += (lats.empty() ? "" : ", ") + std::to_string(p.lat);
            points += "<Point><PointLongitude>" + std::to_string(p.lon) +
                      "</PointLongitude><PointLatitude>" + std::to_string(p.lat) +
                      "</PointLatitude></Point>";
        }
        text += layout == MetadataLayout::Odl
                    ? "OBJECT = GPOLYGONCONTAINER\n GROUP = GRINGPOINT\n"
                      "  OBJECT = GRINGPOINTLONGITUDE\n   VALUE = (" +
                          lons +
                          ")\n  END_OBJECT = GRINGPOINTLONGITUDE\n"
                          "  OBJECT = GRINGPOINTLATITUDE\n   VALUE = (" +
                          lats +
                          ")\n  END_OBJECT = GRINGPOINTLATITUDE\n END_GROUP = GRINGPOINT\n"
                          "END_OBJECT = GPOLYGONCONTAINER\n"
                    : "<GPolygon><Boundary>" + points + "</Boundary></GPolygon>";
    }
    switch (layout) {
    case MetadataLayout::Odl:
        return "GROUP = INVENTORYMETADATA\nGROUP = SPATIALDOMAINCONTAINER\n" + text +
               "END_GROUP = SPATIALDOMAINCONTAINER\nEND_GROUP = INVENTORYMETADATA\nEND\n";
    case MetadataLayout::EcsXml:
        return "<GranuleMetaDataFile><GranuleURMetaData><SpatialDomainContainer>"
               "<HorizontalSpatialDomainContainer>" +
               text +
               "</HorizontalSpatialDomainContainer></SpatialDomainContainer>"
               "</GranuleURMetaData></GranuleMetaDataFile>";
    default:
        return "<Granule><GranuleUR>G</GranuleUR><Spatial><HorizontalSpatialDomain><Geometry>" +
               text + "</Geometry></HorizontalSpatialDomain></Spatial></Granule>";
    }
}

TEST(UmmG, SeveralPolygonsKeepTheirOrder) {
    // An orbit cut at +-180: one polygon on either side, then a third elsewhere; read
    // alike from every layout that has polygons.
    const std::vector<GeoPoint> east = {{175, -5}, {180, -5}, {180, 5}, {175, 5}};
    const std::vector<GeoPoint> west = {{-180, -5}, {-176, -5}, {-176, 5}, {-180, 5}};
    const std::vector<GeoPoint> third = {{10, 10}, {11, 10}, {11, 11}};
    const std::vector<std::vector<GeoPoint>> more = {west, third};
    const std::vector<GeoPoint> two = {{1, 1}, {2, 2}};
    for (const MetadataLayout layout : {MetadataLayout::UmmG, MetadataLayout::Odl,
                                        MetadataLayout::EcsXml, MetadataLayout::Echo10}) {
        const auto text = [layout](const std::vector<std::vector<GeoPoint>>& rings) {
            return layout == MetadataLayout::UmmG ? Record(Geometry(Polygons(rings)))
                                                  : OtherLayout(layout, rings);
        };
        SCOPED_TRACE(text({east}));
        const MetadataOrReason got = ReadSceneMetadata(text({east, west, third}));
        ASSERT_TRUE(got.metadata) << got.reason;
        EXPECT_EQ(got.metadata->layout, layout);
        EXPECT_EQ(got.metadata->corners, east);
        EXPECT_EQ(got.metadata->moreRings, more);
        if (layout == MetadataLayout::UmmG)
            continue; // UMM-G closes each ring with its first point, which is no corner
        // A polygon without points is passed over, as UMM-G's {} is.
        const MetadataOrReason withEmpty = ReadSceneMetadata(text({{}, east, {}, west, third, {}}));
        ASSERT_TRUE(withEmpty.metadata) << withEmpty.reason;
        EXPECT_EQ(withEmpty.metadata->corners, east);
        EXPECT_EQ(withEmpty.metadata->moreRings, more);
        EXPECT_EQ(ReadSceneMetadata(text({east, two})).reason,
                  "polygon 2 has fewer than 3 corners");
        EXPECT_EQ(ReadSceneMetadata(text({two, east})).reason,
                  "polygon 1 has fewer than 3 corners");
        EXPECT_EQ(ReadSceneMetadata(text({two})).reason, "fewer than 3 corners");
    }

    // The footprint is every polygon's parts; polygons at +180 and -180 make it cross.
    SceneMetadataReader reader;
    const SceneFootprintOrReason footprint =
        ReadSceneFootprint(reader, Record(Geometry(Polygons({east, west}))), TextExtent::Whole);
    ASSERT_TRUE(footprint.scene) << footprint.reason;
    const FootprintShape& shape = footprint.scene->shape;
    EXPECT_EQ(shape.parts.size(), 2u);
    EXPECT_TRUE(shape.crossesAntimeridian);
    const BoundingBox box = BoundsOf(shape);
    EXPECT_EQ(std::vector<double>({box.west, box.south, box.east, box.north}),
              std::vector<double>({175, -5, -176, 5}));
    EXPECT_EQ(
        ReadSceneFootprint(reader, Record(Geometry(Polygons({east, east}))), TextExtent::Whole)
            .reason,
        "polygons 1 and 2 meet");

    const std::string shortRing =
        "{\"Boundary\": {\"Points\": [" + Point(1, 1) + "," + Point(2, 2) + "]}}";
    EXPECT_EQ(ReadSceneMetadata(
                  Record(Geometry("\"GPolygons\": [" + Polygon(east) + ", " + shortRing + "]")))
                  .reason,
              "polygon 2 has fewer than 3 corners");
    EXPECT_EQ(ReadSceneMetadata(Record(Geometry("\"GPolygons\": [" + shortRing + "]"))).reason,
              "fewer than 3 corners");
}

TEST(UmmG, TimeFromTheRangeElseTheSingleTime) {
    const std::string geometry = Geometry(Polygons({kScene}));
    struct Case {
        const char* what;
        std::string temporal;
        std::string dateText, timeText, acquired, acquiredEnd; // "" for none
    };
    const Case cases[] = {
        {"a range",
         "\"RangeDateTime\": {\"BeginningDateTime\": \"2003-12-31T23:59:59.9999Z\", "
         "\"EndingDateTime\": \"2004-01-01T00:00:09Z\"}",
         "2003-12-31", "23:59:59.9999Z", "2003-12-31T23:59:59.999Z", "2004-01-01T00:00:09.000Z"},
        {"a single time", "\"SingleDateTime\": \"2003-04-12T18:32:07Z\"", "2003-04-12", "18:32:07Z",
         "2003-04-12T18:32:07.000Z", ""},
        {"the range before the single time",
         "\"SingleDateTime\": \"2001-01-01T00:00:00Z\", \"RangeDateTime\": "
         "{\"BeginningDateTime\": \"2003-04-12T18:32:07Z\"}",
         "2003-04-12", "18:32:07Z", "2003-04-12T18:32:07.000Z", ""},
        {"a date alone", "\"SingleDateTime\": \"2003-04-12\"", "2003-04-12", "", "", ""},
        {"a time that does not read", "\"SingleDateTime\": \"2003-04-12T18h32\"", "2003-04-12",
         "18h32", "", ""},
        {"a date that does not exist", "\"SingleDateTime\": \"2003-02-30T18:32:07Z\"", "2003-02-30",
         "18:32:07Z", "", ""},
        {"an end alone", "\"RangeDateTime\": {\"EndingDateTime\": \"2004-01-01T00:00:09Z\"}", "",
         "", "", "2004-01-01T00:00:09.000Z"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataOrReason got =
            ReadSceneMetadata(Record("\"TemporalExtent\": {" + c.temporal + "}, " + geometry));
        ASSERT_TRUE(got.metadata) << got.reason;
        const SceneMetadata& m = *got.metadata;
        EXPECT_EQ(m.dateText, c.dateText);
        EXPECT_EQ(m.timeText, c.timeText);
        EXPECT_EQ(m.date, ParseSceneDate(c.dateText));
        EXPECT_EQ(m.acquired ? FormatRfc3339(*m.acquired) : "", c.acquired);
        EXPECT_EQ(m.acquiredEnd ? FormatRfc3339(*m.acquiredEnd) : "", c.acquiredEnd);
    }
}

TEST(UmmG, MissingItemsAreNull) {
    const std::string geometry = Geometry(Polygons({kScene}));
    SceneMetadata bare;
    bare.layout = MetadataLayout::UmmG;
    bare.corners = kScene;
    const std::string records[] = {
        "{" + geometry + "}",
        // Nulls are missing items; an entry title names no product or version; a cover
        // beyond 100 is none; what the reader does not know is passed over.
        "{\"GranuleUR\": null, \"CollectionReference\": {\"EntryTitle\": \"ASTER L1B V003\"}, "
        "\"CloudCover\": 150, \"TemporalExtent\": null, \"DataGranule\": {}, " +
            geometry + ", \"Platforms\": [], \"Other\": {\"GranuleUR\": \"x\", \"ShortName\": 1}}",
    };
    std::vector<std::string> texts(std::begin(records), std::end(records));
    // A cover that cannot be read is none, as in the other layouts: the granule stays.
    for (const char* cover :
         {"\"12\"", "\"3 %\"", "true", "[3]", "{\"a\": 3}", "1.8e308", "2e-324"})
        texts.push_back("{\"CloudCover\": " + std::string(cover) + ", " + geometry + "}");
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const MetadataOrReason got = ReadSceneMetadata(text);
        ASSERT_TRUE(got.metadata) << got.reason;
        EXPECT_EQ(*got.metadata, bare);
    }
    // A repeated key: its first value counts.
    const MetadataOrReason twice =
        ReadSceneMetadata("{\"GranuleUR\": \"a\", \"GranuleUR\": \"b\", " + geometry + "}");
    ASSERT_TRUE(twice.metadata) << twice.reason;
    EXPECT_EQ(twice.metadata->granule, "a");
}

TEST(UmmG, HostileJsonGivesItsReason) {
    const std::string head = "{\"GranuleUR\": \"g\", \"Other\": ";
    const std::string points = "\"SpatialExtent\": {\"HorizontalSpatialDomain\": {\"Geometry\": "
                               "{\"GPolygons\": [{\"Boundary\": {\"Points\": ";
    std::string manyValues = head + "[";
    for (std::size_t i = 0; i <= kMaxListValues; ++i)
        manyValues += "0,";
    manyValues.back() = ']';
    std::string manyMembers = head + "{";
    for (std::size_t i = 0; i <= kMaxListValues; ++i)
        manyMembers += "\"a\":0,";
    manyMembers.back() = '}';
    manyMembers += '}';

    struct Case {
        const char* what;
        std::string text;
        std::string reason;
    };
    const Case cases[] = {
        {"larger than a record", head + "\"" + std::string(kMaxJsonBytes, 'a') + "\"}",
         "larger than 1 MiB"},
        {"deep nesting", head + std::string(200000, '['), "nested too deeply at offset 91"},
        {"deep objects",
         head + std::string(1000, ' ') +
             [] {
                 std::string deep;
                 for (int i = 0; i < 1000; ++i)
                     deep += "{\"a\":";
                 return deep;
             }(),
         "nested too deeply at offset 1343"},
        {"a huge string", head + "\"" + std::string(kMaxTextBytes + 1, 'a') + "\"}",
         "a text of more than 65536 bytes at offset 65567"},
        {"a huge key", head + "1, \"" + std::string(kMaxTextBytes + 1, 'a') + "\": 1}",
         "a text of more than 65536 bytes at offset 65570"},
        {"a huge array", manyValues, "a list of more than 65536 values at offset 131101"},
        {"a huge object", manyMembers, "an object of more than 65536 members at offset 393248"},
        {"a byte that is no UTF-8", head + "\"caf\xe9\"}", "not UTF-8 at offset 32"},
        {"an overlong encoding", head + "\"\xc0\xaf\"}", "not UTF-8 at offset 29"},
        {"a surrogate", head + "\"\xed\xa0\x80\"}", "not UTF-8 at offset 29"},
        {"a lone surrogate escape", head + "\"\\ud800\"}", "unreadable JSON at offset 29"},
        {"a control character", head + "\"a\tb\"}", "unreadable JSON at offset 30"},
        {"truncated", head + "\"abc", "unreadable JSON at offset 32"},
        {"unclosed", head + "\"abc\"", "unreadable JSON at offset 33"},
        {"a trailing byte", head + "\"abc\"} x", "unreadable JSON at offset 35"},
        {"a zero byte before the end", head + "\"abc\"}" + std::string(1, '\0') + "}",
         "unreadable JSON at offset 34"},
        {"a comment", head + "1 // c\n}", "unreadable JSON at offset 30"},
        {"NaN", "{" + points + "[{\"Longitude\": NaN", "unreadable JSON at offset 113"},
        {"a number too large", "{" + points + "[{\"Longitude\": 1e400",
         "unreadable JSON at offset 113"},
        {"a number beyond a double", "{" + points + "[{\"Longitude\": 1.8e308",
         "unreadable JSON at offset 113"},
        {"a number a double holds as zero", "{" + points + "[{\"Longitude\": 2e-324",
         "unreadable JSON at offset 113"},
        {"a granule that is a number", "{\"GranuleUR\": 5}",
         "GranuleUR is not a text at offset 14"},
        {"points that are an object", "{" + points + "{}", "Points is not a list at offset 98"},
        {"a point that is a number", "{" + points + "[1]", "a point is not an object at offset 99"},
        {"a longitude that is a text", "{" + points + "[{\"Longitude\": \"1\"",
         "Longitude is not a number at offset 116"},
        {"platforms that are an object", head + "1, \"Platforms\": {}",
         "Platforms is not a list at offset 44"},
        {"a point without latitude", "{" + points + "[" + Point(1, 2) + ", {\"Longitude\": 1}",
         "corner 2 has no latitude at offset 161"},
        {"a rectangle without south",
         "{\"SpatialExtent\": {\"HorizontalSpatialDomain\": {\"Geometry\": "
         "{\"BoundingRectangles\": [{\"WestBoundingCoordinate\": 1, "
         "\"EastBoundingCoordinate\": 2, \"NorthBoundingCoordinate\": 3}]}}}}",
         "a bounding rectangle has no SouthBoundingCoordinate at offset 170"},
        {"a rectangle upside down",
         "{\"SpatialExtent\": {\"HorizontalSpatialDomain\": {\"Geometry\": "
         "{\"BoundingRectangles\": [" +
             Box(1, 2, 3, 4) + "]}}}}",
         "bounding rectangle with its south above its north at offset 228"},
        {"no geometry", head + "\"x\"}", "no corners"},
        {"a search result of granules",
         "{\"hits\": 1, \"items\": [{\"meta\": {}, \"umm\": {" + points + "[]}}]}}}}}]}",
         "a search result, not one granule's record: save each item's umm as a file of its own"},
        {"an empty polygon list", "{" + points + "[]}}]}}}}", "fewer than 3 corners"},
        {"a list of records", "[" + head + "1}]",
         "a list of records, not one granule's record: save each as a file of its own"},
        {"a collection's record, whose extent is a rectangle",
         "{\"EntryTitle\": \"ASTER L1T\", \"SpatialExtent\": {\"HorizontalSpatialDomain\": "
         "{\"Geometry\": {\"BoundingRectangles\": [" +
             Box(-180, 180, 83, -83) + "]}}}}",
         "a collection's record (UMM-C), not a granule's: its extent is no scene's footprint"},
        {"CMR's own JSON form of a search result",
         "{\"feed\": {\"entry\": [{\"producer_granule_id\": \"g\", \"boxes\": [\"1 2 3 4\"]}]}}",
         "a search result in CMR's JSON form, not one granule's record: search for "
         "granules.umm_json and save each item's umm as a file of its own"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const MetadataOrReason got = ReadSceneMetadata(c.text);
        EXPECT_FALSE(got.metadata);
        EXPECT_EQ(got.reason, c.reason);
    }
}

TEST(UmmG, EveryCutOfARecordGivesAReason) {
    const std::string text = FullRecord();
    UmmGranuleReader reader;
    for (std::size_t size = 0; size <= text.rfind('}'); ++size) {
        const MetadataOrReason got = reader.read(std::string_view(text).substr(0, size));
        ASSERT_FALSE(got.metadata) << size;
        // A cut within a word or a number is found where the word or the number stops.
        EXPECT_TRUE(got.reason.starts_with("unreadable JSON at offset ")) << size;
        EXPECT_LE(std::stoul(got.reason.substr(26)), size) << size;
    }
}

TEST(UmmG, LayoutFromTheFirstBytes) {
    struct Case {
        std::string head;
        MetadataLayout layout;
    };
    const Case cases[] = {
        {"{\"GranuleUR\":", MetadataLayout::UmmG},
        {"\xEF\xBB\xBF\r\n\t {\n  \"TemporalExtent\" :", MetadataLayout::UmmG},
        {"{\"x\": 1, \"CollectionReference\"\n: {", MetadataLayout::UmmG},
        {"{\"SpatialExtent\":{", MetadataLayout::UmmG},
        {"{\"MetadataSpecification\":{", MetadataLayout::UmmG},
        {"{\"GranuleUR\"", MetadataLayout::None},         // not yet a key
        {"{\"a\": \"GranuleUR\"}", MetadataLayout::None}, // a value
        {"{\"a\": \"GranuleUR\", \"GranuleUR\": 1}", MetadataLayout::UmmG},
        {"[{\"GranuleUR\": 1}]", MetadataLayout::UmmG}, // to hear why it gives no scene
        // A record's first member is one of its own, though the head holds no other.
        {"{\"AdditionalAttributes\": [{\"Name\": \"" + std::string(kLayoutSniffBytes, 'a'),
         MetadataLayout::UmmG},
        {"{\n  \"RelatedUrls\" : [", MetadataLayout::UmmG},
        {"{\"feed\": {\"entry\": [{\"time_start\": ", MetadataLayout::UmmG},
        {"{\"feed\": {\"entry\": [{\"title\": ", MetadataLayout::None},
        {"x{\"GranuleUR\": 1}", MetadataLayout::None},
        {"{\"type\": \"Feature\", \"stac_version\": \"1.0.0\"}", MetadataLayout::None},
        {"{" + std::string(kLayoutSniffBytes, ' ') + "\"GranuleUR\":", MetadataLayout::None},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        EXPECT_EQ(SniffLayout(c.head), c.layout);
    }
}

} // namespace
} // namespace aster
