#include "catalogue/build_run.h"
#include "fileio/folder.h"
#include "footprints/footprint_geometry.h"
#include "footprints/footprint_layer.h"
#include "footprints/output_formats.h"
#include "footprints/scene_values.h"
#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <charconv>
#include <cmath>
#include <filesystem>
#include <map>
#include <random>

namespace aster {
namespace {

using test::SceneText;
using test::TempFolder;

// Clockwise in file order, as scene files give their corners.
const std::string kLats = "34.1, 34.0, 33.4, 33.5";
const std::string kLons = "-118.1, -117.4, -117.6, -118.3";
const Corners kCorners{{34.1, 34.0, 33.4, 33.5}, {-118.1, -117.4, -117.6, -118.3}};

// One feature as read back through OGR: every field as text, and the geometry as parts.
struct ReadFeature {
    std::map<std::string, std::string> fields; // unset or null fields are absent
    std::unique_ptr<OGRMultiPolygon> footprint;
};

struct ReadLayer {
    OGRwkbGeometryType type = wkbUnknown;
    bool wgs84 = false;
    bool indexed = false;
    std::vector<ReadFeature> features;
};

ReadLayer Read(const std::string& path, std::vector<const char*> openOptions = {}) {
    openOptions.push_back(nullptr);
    GDALDatasetUniquePtr dataset(
        GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR, nullptr, openOptions.data()));
    if (!dataset || dataset->GetLayerCount() != 1)
        throw std::runtime_error("cannot read one layer from " + path);
    OGRLayer& layer = *dataset->GetLayer(0);
    ReadLayer result;
    result.type = layer.GetGeomType();
    result.indexed = layer.TestCapability(OLCFastSpatialFilter) != 0;
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    const char* sameOptions[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
    result.wgs84 = layer.GetSpatialRef() && layer.GetSpatialRef()->IsSame(&wgs84, sameOptions);
    for (const auto& feature : layer) {
        ReadFeature read;
        for (int i = 0; i < feature->GetFieldCount(); ++i)
            if (feature->IsFieldSetAndNotNull(i))
                read.fields[feature->GetFieldDefnRef(i)->GetNameRef()] =
                    feature->GetFieldAsString(i);
        if (const OGRGeometry* geometry = feature->GetGeometryRef())
            read.footprint.reset(
                OGRGeometryFactory::forceToMultiPolygon(geometry->clone())->toMultiPolygon());
        result.features.push_back(std::move(read));
    }
    return result;
}

// The ring's corners (without the closing point) equal the scene's in file order or in
// reverse, starting at the first corner. The test scenes' corners run clockwise, so a
// clockwise ring must hold them in file order.
void ExpectRingOfCorners(const OGRLinearRing& ring, const Corners& corners, bool ccw) {
    ASSERT_EQ(ring.getNumPoints(), 5);
    EXPECT_EQ(ring.isClockwise() == 0, ccw);
    const bool reversed = std::fabs(ring.getX(1) - corners.lon[1]) > 1e-7;
    EXPECT_EQ(reversed, ccw);
    for (int i = 0; i < 5; ++i) {
        const int corner = reversed ? (4 - i) % 4 : i % 4;
        EXPECT_NEAR(ring.getX(i), corners.lon[corner], 1e-7) << "point " << i;
        EXPECT_NEAR(ring.getY(i), corners.lat[corner], 1e-7) << "point " << i;
    }
}

bool ScratchLeft(const TempFolder& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        if (entry.path().filename().string().starts_with(".aster-"))
            return true;
    return false;
}

struct Progress : FootprintProgress {
    std::vector<std::int64_t> done;
    std::int64_t cancelAfter = -1;
    void progress(std::int64_t d, std::int64_t) override { done.push_back(d); }
    bool cancelRequested() override { return std::ssize(done) == cancelAfter; }
};

FootprintOptions Options(const std::string& outputPath, bool overwrite = false,
                         const std::string& driver = {}, bool spatialIndex = false) {
    FootprintOptions options;
    options.outputPath = outputPath;
    options.driverName = driver;
    options.overwrite = overwrite;
    options.spatialIndex = spatialIndex;
    return options;
}

std::optional<Error> Write(const TempFolder& folder, const std::string& output,
                           FootprintReport& report, bool overwrite = false,
                           const std::string& driver = {}, bool spatialIndex = false) {
    Progress progress;
    return WriteFootprints(FolderPrefix(folder.path()),
                           Options(folder.file(output), overwrite, driver, spatialIndex), report,
                           progress);
}

TEST(SceneValues, Decimals) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<std::string, std::optional<double>>> cases{
        {" 34.0", 34.0},
        {"\r\n     -117.4", -117.4},
        {"+5 \t", 5.0},
        {"1e3", 1000.0},
        {"-2.5E-1", -0.25},
        {"1e999", inf},
        {"-1e999", -inf},
        {"1e-999", 0.0},
        {"007", 7.0},
        {"", std::nullopt},
        {" \r\n", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
        {"0x1p3", std::nullopt},
        {"1.", std::nullopt},
        {".5", std::nullopt},
        {"1 2", std::nullopt},
        {"+-1", std::nullopt},
        {"1e", std::nullopt},
        {"34,0", std::nullopt},
        {"\"34\"", std::nullopt}};
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE("\"" + text + "\"");
        EXPECT_EQ(ParseDecimal(text), expected);
    }
    SCOPED_TRACE("shortest text of random doubles reads back exactly");
    std::mt19937_64 random(7);
    for (int i = 0; i < 2000; ++i) {
        const double value = std::uniform_real_distribution<double>(-1e6, 1e6)(random);
        char text[64];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        EXPECT_EQ(ParseDecimal(std::string_view(text, end - text)), value);
    }
}

TEST(SceneValues, DatesAndTimes) {
    for (const auto& [text, ok] :
         std::vector<std::pair<std::string, bool>>{{"2003-04-12", true},
                                                   {"2004-02-29", true},
                                                   {"2003-02-29", false},
                                                   {"2003-13-01", false},
                                                   {"2003-4-12", false},
                                                   {" 2003-04-12", false}}) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ParseSceneDate(text).has_value(), ok);
    }
    for (const auto& [text, second] :
         std::vector<std::pair<std::string, std::optional<double>>>{{"18:32:07.414000Z", 7.414},
                                                                    {"18:32:07Z", 7.0},
                                                                    {"18:32:07", 7.0},
                                                                    {"24:00:00Z", std::nullopt},
                                                                    {"18:32:07.Z", std::nullopt},
                                                                    {"noon", std::nullopt}}) {
        SCOPED_TRACE(text);
        const auto time = ParseSceneTime(text);
        ASSERT_EQ(time.has_value(), second.has_value());
        if (time) {
            EXPECT_EQ(time->hour * 100 + time->minute, 1832);
            EXPECT_NEAR(time->second, *second, 1e-12);
        }
    }
}

TEST(OutputFormats, ExtensionsAndDrivers) {
    for (const auto& [path, driver] :
         std::vector<std::pair<std::string, std::optional<std::string>>>{
             {"/a/fp.gpkg", "GPKG"},
             {"FP.SHP", "ESRI Shapefile"},
             {"x.geojson", "GeoJSON"},
             {"x.json", "GeoJSON"},
             {"x.fgb", "FlatGeobuf"},
             {"x.kml", "KML"},
             {"x.txt", std::nullopt},
             {"a.gpkg/x", std::nullopt},
             {"/a/.gpkg", std::nullopt}}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(DriverForPath(path), driver);
    }
    for (const OutputFormat& format : OutputFormats()) {
        SCOPED_TRACE(std::string(format.driver));
        EXPECT_FALSE(CheckVectorDriver(std::string(format.driver)));
        EXPECT_NE(OutputFormatChoices().find("." + std::string(format.extension)),
                  std::string::npos);
    }
    EXPECT_EQ(CheckVectorDriver("GTiff")->code, EINVAL); // raster only
    EXPECT_EQ(CheckVectorDriver("NoSuchFormat")->code, EINVAL);
}

TEST(FootprintLayer, EachFormatReadsBack) {
    struct Case {
        std::string file;
        std::vector<const char*> openOptions;
        std::string acqDate, acquired; // as OGR gives them as text
        bool keepsMultiType, ccw;
    };
    const std::vector<Case> cases{
        // Rings keep the file's corner order, except in GeoJSON, which wants them
        // counter-clockwise.
        {"fp.gpkg", {}, "2003/04/12", "2003/04/12 18:32:07.414+00", true, false},
        // DBF has dates only; the shapefile stores outer rings clockwise.
        {"fp.shp", {}, "2003/04/12", "2003/04/12", false, false},
        {"fp.geojson",
         {"DATE_AS_STRING=YES"},
         "2003-04-12",
         "2003-04-12T18:32:07.414Z",
         false,
         true},
        // FlatGeobuf has no date type without a time.
        {"fp.fgb", {}, "2003/04/12 00:00:00", "2003/04/12 18:32:07.414+00", true, false},
        // KML stores dates as text; its layer's geometry type reads as unknown.
        {"fp.kml", {}, "2003/04/12", "2003/04/12 18:32:07.414+00", false, false},
    };
    TempFolder folder;
    folder.write("a.met", SceneText("18:32:07.414000Z", "2003-04-12", kLats, kLons));
    folder.write("b.met", SceneText("noon", "yesterday", kLats, kLons));
    folder.write("filelist.txt", "a.met\r\nb.met\r\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        FootprintReport report;
        ASSERT_FALSE(Write(folder, c.file, report));
        EXPECT_EQ(report.written, 2);
        EXPECT_EQ(report.driverName, *DriverForPath(c.file));
        const ReadLayer layer = Read(folder.file(c.file), c.openOptions);
        EXPECT_TRUE(layer.wgs84);
        if (c.keepsMultiType) {
            EXPECT_EQ(wkbFlatten(layer.type), wkbMultiPolygon);
        }
        ASSERT_EQ(layer.features.size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            SCOPED_TRACE(i);
            const auto& fields = layer.features[i].fields;
            const auto field = [&fields](const std::string& name) {
                const auto found = fields.find(name);
                return found == fields.end() ? std::string("<null>") : found->second;
            };
            const std::string name = i == 0 ? "a.met" : "b.met";
            EXPECT_EQ(field("scene"), std::to_string(i + 1));
            EXPECT_EQ(field("path"), folder.file(name));
            EXPECT_EQ(field(c.file.ends_with("kml") ? "Name" : "name"), name);
            EXPECT_EQ(field("acq_time"), i == 0 ? "18:32:07.414000Z" : "noon");
            EXPECT_EQ(field("acq_date"), i == 0 ? c.acqDate : "<null>");
            EXPECT_EQ(field("acquired"), i == 0 ? c.acquired : "<null>");
            for (int k = 0; k < 4; ++k) {
                EXPECT_NEAR(std::stod(field("lat" + std::to_string(k + 1))), kCorners.lat[k], 1e-9);
                EXPECT_NEAR(std::stod(field("lon" + std::to_string(k + 1))), kCorners.lon[k], 1e-9);
            }
            const OGRMultiPolygon& footprint = *layer.features[i].footprint;
            ASSERT_EQ(footprint.getNumGeometries(), 1);
            ExpectRingOfCorners(*footprint.getGeometryRef(0)->getExteriorRing(), kCorners, c.ccw);
        }
        EXPECT_FALSE(ScratchLeft(folder));
    }
    EXPECT_EQ(folder.read("fp.cpg"), "UTF-8");
}

TEST(FootprintLayer, AntimeridianSplit) {
    struct Case {
        std::array<double, 4> lon;
        int parts;
        double area; // of the quadrilateral with continuous longitudes
    };
    const std::array<double, 4> lat{10, 10, 9.5, 9.5};
    for (const Case& c : std::vector<Case>{{{179.5, -179.6, -179.8, 179.3}, 2, 0.45},
                                           {{-179.9, 179.9, 179.8, -179.7}, 2, 0.175},
                                           {{100, -100, -100, 100}, 2, 80},
                                           {{179.0, 179.9, 179.9, 179.0}, 1, 0.45}}) {
        SCOPED_TRACE(std::to_string(c.lon[0]) + ", " + std::to_string(c.lon[1]));
        const auto made = MakeFootprint(Corners{lat, c.lon});
        ASSERT_TRUE(made.footprint) << made.reason;
        EXPECT_EQ(made.footprint->getNumGeometries(), c.parts);
        EXPECT_NEAR(made.footprint->get_Area(), c.area, 1e-9);
        for (const OGRPolygon* part : *made.footprint) {
            OGREnvelope extent;
            part->getEnvelope(&extent);
            EXPECT_GE(extent.MinX, -180);
            EXPECT_LE(extent.MaxX, 180);
            // A cut part's points come in the cut's order, turned counter-clockwise; an
            // uncut footprint keeps the file's order (clockwise here).
            EXPECT_EQ(part->getExteriorRing()->isClockwise() != 0, c.parts == 1);
        }
    }
    SCOPED_TRACE("through a GeoPackage");
    TempFolder folder;
    folder.write("x.met", SceneText("t", "d", "10, 10, 9.5, 9.5", "179.5, -179.6, -179.8, 179.3"));
    folder.write("filelist.txt", "x.met");
    FootprintReport report;
    ASSERT_FALSE(Write(folder, "fp.gpkg", report));
    const ReadLayer layer = Read(folder.file("fp.gpkg"));
    ASSERT_EQ(layer.features.size(), 1u);
    const OGRMultiPolygon& footprint = *layer.features[0].footprint;
    ASSERT_EQ(footprint.getNumGeometries(), 2);
    OGREnvelope east, west;
    footprint.getGeometryRef(0)->getEnvelope(&east);
    footprint.getGeometryRef(1)->getEnvelope(&west);
    if (east.MinX < 0)
        std::swap(east, west);
    EXPECT_EQ(east.MinX, 179.3);
    EXPECT_EQ(east.MaxX, 180);
    EXPECT_EQ(west.MinX, -180);
    EXPECT_EQ(west.MaxX, -179.6);
    EXPECT_NEAR(footprint.get_Area(), 0.45, 1e-9);
}

TEST(FootprintLayer, SkippedFilesAndReasons) {
    TempFolder folder;
    const std::string good = SceneText("t", "d", kLats, kLons);
    folder.write("good1.met", good);
    folder.write("blank.met", "");
    folder.write("notes.txt", "no scene here");
    folder.write("lat2.met", SceneText("t", "d", "34.1, abc, 33.4, 33.5", kLons));
    folder.write("lon3.met", SceneText("t", "d", kLats, "-118.1, -117.4, 200, -118.3"));
    folder.write("nan.met", SceneText("t", "d", kLats, "nan, -117.4, -117.6, -118.3"));
    folder.write("short.met", SceneText("t", "d", "34.1, 34.0, 33.4", kLons));
    folder.write("good2.met", good);
    folder.write("filelist.txt",
                 "good1.met\r\nblank.met\r\nmissing.met\r\nnotes.txt\r\nlat2.met\r\n"
                 "lon3.met\r\nnan.met\r\nshort.met\r\ngood2.met\r\n");
    FootprintReport report;
    Progress progress;
    ASSERT_FALSE(WriteFootprints(FolderPrefix(folder.path()), Options(folder.file("fp.gpkg")),
                                 report, progress));
    EXPECT_EQ(report.written, 2);
    EXPECT_EQ(progress.done, (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    std::vector<std::pair<std::string, std::string>> skipped;
    for (const SkippedScene& scene : report.skipped)
        skipped.emplace_back(FileNameOf(scene.fullPath), scene.reason);
    EXPECT_EQ(skipped, (std::vector<std::pair<std::string, std::string>>{
                           {"blank.met", "no corner values"},
                           {"missing.met", "no corner values"},
                           {"notes.txt", "no corner values"},
                           {"lat2.met", "lat2 is not a number"},
                           {"lon3.met", "lon3 out of range"},
                           {"nan.met", "lon1 is not a number"},
                           {"short.met", "lat3 is missing"}}));
    EXPECT_EQ(report.skippedCount(), 7);
    const ReadLayer layer = Read(folder.file("fp.gpkg"));
    ASSERT_EQ(layer.features.size(), 2u);
    EXPECT_EQ(layer.features[0].fields.at("scene"), "1");
    EXPECT_EQ(layer.features[1].fields.at("scene"), "9");
}

TEST(FootprintLayer, EarlierLayerKeptUnlessReplaced) {
    TempFolder folder;
    folder.write("a.met", SceneText("t", "d", kLats, kLons));
    folder.write("filelist.txt", "a.met\r\n");
    const auto expectUnchanged = [&folder](const std::string& name, const std::string& bytes) {
        EXPECT_EQ(folder.read(name), bytes) << name;
        EXPECT_FALSE(ScratchLeft(folder));
    };
    FootprintReport report;
    {
        SCOPED_TRACE("an existing output is refused and kept byte for byte");
        folder.write("fp.gpkg", "earlier");
        const auto error = Write(folder, "fp.gpkg", report);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EEXIST);
        EXPECT_NE(error->description.find(folder.file("fp.gpkg")), std::string::npos);
        EXPECT_EQ(error->kind, ErrorKind::OutputExists);
        expectUnchanged("fp.gpkg", "earlier");
    }
    {
        SCOPED_TRACE("cancelled after the first file");
        Progress progress;
        progress.cancelAfter = 1;
        const auto error = WriteFootprints(FolderPrefix(folder.path()),
                                           Options(folder.file("fp.gpkg"), true), report, progress);
        ASSERT_TRUE(error);
        EXPECT_TRUE(IsCancellation(*error));
        expectUnchanged("fp.gpkg", "earlier");
    }
    {
        SCOPED_TRACE("a format that cannot hold polygons fails after the scratch was made");
        folder.write("fp.gpx", "earlier");
        const auto error = Write(folder, "fp.gpx", report, true, "GPX");
        ASSERT_TRUE(error);
        EXPECT_NE(error->description.find(folder.file("fp.gpx")), std::string::npos);
        expectUnchanged("fp.gpx", "earlier");
    }
    {
        SCOPED_TRACE("--overwrite replaces it");
        ASSERT_FALSE(Write(folder, "fp.gpkg", report, true));
        EXPECT_EQ(Read(folder.file("fp.gpkg")).features.size(), 1u);
    }
    {
        SCOPED_TRACE("a shapefile's files move together, or none does");
        folder.write("fp.shp", "earlier shp");
        std::filesystem::create_directory(folder.file("fp.dbf"));
        EXPECT_EQ(Write(folder, "fp.shp", report, true)->code, EISDIR);
        expectUnchanged("fp.shp", "earlier shp");
        std::filesystem::remove(folder.file("fp.dbf"));
        folder.write("fp.dbf", "a stray table");
        EXPECT_EQ(Write(folder, "fp.shp", report)->code, EEXIST);
        std::filesystem::remove(folder.file("fp.shp"));
        EXPECT_EQ(Write(folder, "fp.shp", report)->code, EEXIST);
        expectUnchanged("fp.dbf", "a stray table");
    }
    {
        SCOPED_TRACE("--overwrite of a shapefile drops the earlier layer's index files");
        folder.write("fp.qix", "old index");
        folder.write("fp.shp.xml", "old metadata");
        folder.write("fpx.qix", "another layer's");
        ASSERT_FALSE(Write(folder, "fp.shp", report, true));
        EXPECT_FALSE(folder.exists("fp.qix"));
        EXPECT_FALSE(folder.exists("fp.shp.xml"));
        EXPECT_TRUE(folder.exists("fpx.qix"));
        EXPECT_EQ(Read(folder.file("fp.shp")).features.size(), 1u);
    }
}

TEST(FootprintLayer, AFullDiskIsAnErrorAndKeepsTheEarlierLayer) {
    TempFolder scenes;
    std::string list;
    for (int i = 0; i < 300; ++i) {
        scenes.write("s" + std::to_string(i) + ".met", SceneText("t", "d", kLats, kLons));
        list += "s" + std::to_string(i) + ".met\r\n";
    }
    scenes.write("filelist.txt", list);
    for (const char* output : {"fp.geojson", "fp.kml", "fp.gpkg", "fp.shp", "fp.fgb"}) {
        SCOPED_TRACE(output);
        TempFolder disk;
        const int status = test::InChild([&] {
            if (!test::MountSmallDisk(disk.path(), "48k"))
                return test::kSkip;
            disk.write(output, "earlier layer");
            FootprintReport report;
            Progress progress;
            const auto error = WriteFootprints(FolderPrefix(scenes.path()),
                                               Options(disk.file(output), true), report, progress);
            EXPECT_TRUE(error);
            if (error) {
                EXPECT_EQ(error->code, ENOSPC) << error->description;
                EXPECT_EQ(error->description, "No space left on device: " + disk.file(output));
            }
            EXPECT_EQ(disk.read(output), "earlier layer");
            EXPECT_FALSE(ScratchLeft(disk));
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        if (status == test::kSkip)
            GTEST_SKIP() << "no small file system can be mounted here";
        EXPECT_EQ(status, 0);
    }
}

TEST(FootprintLayer, TextFormatsKeepTheGeometryAsText) {
    TempFolder folder;
    folder.write("a.met", SceneText("t", "d", kLats, kLons));
    folder.write("filelist.txt", "a.met\r\n");
    FootprintReport report;
    ASSERT_FALSE(Write(folder, "fp.csv", report, false, "CSV"));
    const ReadLayer layer = Read(folder.file("fp.csv"));
    ASSERT_EQ(layer.features.size(), 1u);
    ASSERT_TRUE(layer.features[0].footprint);
    ExpectRingOfCorners(*layer.features[0].footprint->getGeometryRef(0)->getExteriorRing(),
                        kCorners, false);
}

TEST(FootprintLayer, SpatialIndexOnRequest) {
    TempFolder folder;
    folder.write("a.met", SceneText("t", "d", kLats, kLons));
    folder.write("filelist.txt", "a.met\r\n");
    for (const std::string output : {"fp.gpkg", "fp.fgb", "fp.shp"}) {
        for (const bool index : {true, false}) {
            SCOPED_TRACE(output + (index ? " with" : " without") + " index");
            FootprintReport report;
            // GDAL takes driver names in any case; the report gives its own spelling.
            const std::string driver = output == "fp.shp" ? "esri shapefile" : "";
            ASSERT_FALSE(Write(folder, output, report, true, driver, index));
            EXPECT_EQ(report.driverName, *DriverForPath(output));
            EXPECT_EQ(Read(folder.file(output)).indexed, index);
        }
    }
    // The shapefile's .qix from the indexed run went with the layer it described.
    EXPECT_FALSE(folder.exists("fp.qix"));
}

TEST(FootprintLayer, MissingListAsForTheTextFiles) {
    TempFolder folder;
    test::FakeCatalogueHost host(folder.path());
    host.polys = true;
    const auto textError = MakeTextFiles(host);
    FootprintReport report;
    const auto error = Write(folder, "fp.gpkg", report);
    ASSERT_TRUE(error && textError);
    EXPECT_EQ(error->code, ENOENT);
    EXPECT_EQ(error->description, textError->description);
    EXPECT_EQ(error->hint, textError->hint);
    EXPECT_FALSE(folder.exists("fp.gpkg"));
    EXPECT_FALSE(ScratchLeft(folder));
}

TEST(FootprintLayer, NamesAsUtf8) {
    TempFolder folder;
    const std::string scene = SceneText("t", "d", kLats, kLons);
    folder.write("caf\xe9.met", scene);      // Latin-1
    folder.write("na\xc3\xafve.met", scene); // UTF-8
    folder.write("filelist.txt", "caf\xe9.met\r\nna\xc3\xafve.met\r\n");
    for (const std::string output : {"fp.shp", "fp.gpkg"}) {
        SCOPED_TRACE(output);
        FootprintReport report;
        ASSERT_FALSE(Write(folder, output, report));
        const ReadLayer layer = Read(folder.file(output));
        ASSERT_EQ(layer.features.size(), 2u);
        EXPECT_EQ(layer.features[0].fields.at("name"), "caf\xc3\xa9.met");
        EXPECT_EQ(layer.features[0].fields.at("path"), folder.file("caf\xc3\xa9.met"));
        EXPECT_EQ(layer.features[1].fields.at("name"), "na\xc3\xafve.met");
    }
    EXPECT_EQ(folder.read("fp.cpg"), "UTF-8");
}

} // namespace
} // namespace aster
