#include "catalogue/build_run.h"
#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/unique_fd.h"
#include "footprints/first_files.h"
#include "footprints/footprint_layer.h"
#include "footprints/geopackage_index.h"
#include "footprints/layer_check.h"
#include "footprints/layer_style.h"
#include "footprints/layer_writer.h"
#include "footprints/output_formats.h"
#include "footprints/vector_drivers.h"
#include "stac/stac_catalogue.h"
#include "tests/fake_hosts.h"
#include "tests/granule_samples.h"
#include "tests/scene_samples.h"
#include "tests/stac_checks.h"
#include "tests/test_support.h"

#include <expat.h>
#include <gdal_priv.h>
#include <gdal_utils.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sys/resource.h>
#include <thread>

namespace aster {
namespace {

using test::SceneText;
using test::TempFolder;

// Clockwise in file order, as scene files give their corners; the first longitude has
// more decimals than a footprint keeps.
const std::string kLats = "34.1, 34.0, 33.4, 33.5";
const std::string kLons = "-118.123456789, -117.4, -117.6, -118.3";
const std::array<double, 4> kLat{34.1, 34.0, 33.4, 33.5};
const std::array<double, 4> kLon{-118.123456789, -117.4, -117.6, -118.3};
// A scene across the antimeridian, cut into two parts.
const std::string kCutLats = "10, 10, 9.5, 9.5";
const std::string kCutLons = "179.5, -179.6, -179.8, 179.3";

// One feature as read back through OGR: every field as text, the geometry as read and as
// parts.
struct ReadFeature {
    std::map<std::string, std::string> fields; // unset or null fields are absent
    // Date and date-time fields as OGR reads them: "2004-01-01 00:00:00.000".
    std::map<std::string, std::string> dates;
    OGRwkbGeometryType type = wkbUnknown;
    std::unique_ptr<OGRMultiPolygon> footprint;
};

struct ReadLayer {
    std::string name;
    OGRwkbGeometryType type = wkbUnknown;
    bool wgs84 = false;
    bool indexed = false;
    std::map<std::string, OGRFieldType> fieldTypes;
    std::map<std::string, int> fieldWidths;
    std::vector<ReadFeature> features;
    GIntBig matchingFilter = -1; // features that the attribute filter given selects
};

ReadLayer Read(const std::string& path, std::vector<const char*> openOptions = {},
               const std::string& filter = {}) {
    // OGR's filter complains of every null date it compares, and still counts right.
    const GdalMessages quiet;
    openOptions.push_back(nullptr);
    GDALDatasetUniquePtr dataset(
        GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR, nullptr, openOptions.data()));
    if (!dataset || dataset->GetLayerCount() < 1)
        throw std::runtime_error("cannot read a layer from " + path);
    OGRLayer& layer = *dataset->GetLayer(0);
    ReadLayer result;
    result.name = layer.GetName();
    result.type = wkbFlatten(layer.GetGeomType());
    result.indexed = layer.TestCapability(OLCFastSpatialFilter) != 0;
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    const char* sameOptions[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
    result.wgs84 = layer.GetSpatialRef() && layer.GetSpatialRef()->IsSame(&wgs84, sameOptions);
    for (int i = 0; i < layer.GetLayerDefn()->GetFieldCount(); ++i) {
        const OGRFieldDefn* field = layer.GetLayerDefn()->GetFieldDefn(i);
        result.fieldTypes[field->GetNameRef()] = field->GetType();
        result.fieldWidths[field->GetNameRef()] = field->GetWidth();
    }
    for (const auto& feature : layer) {
        ReadFeature read;
        for (int i = 0; i < feature->GetFieldCount(); ++i) {
            if (!feature->IsFieldSetAndNotNull(i))
                continue;
            const OGRFieldDefn& field = *feature->GetFieldDefnRef(i);
            read.fields[field.GetNameRef()] = feature->GetFieldAsString(i);
            if (field.GetType() == OFTDate || field.GetType() == OFTDateTime) {
                int year = 0, month = 0, day = 0, hour = 0, minute = 0, zone = 0;
                float second = 0;
                feature->GetFieldAsDateTime(i, &year, &month, &day, &hour, &minute, &second, &zone);
                char text[32];
                std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%06.3f", year, month,
                              day, hour, minute, static_cast<double>(second));
                read.dates[field.GetNameRef()] = text;
            }
        }
        if (const OGRGeometry* geometry = feature->GetGeometryRef()) {
            read.type = wkbFlatten(geometry->getGeometryType());
            read.footprint.reset(
                OGRGeometryFactory::forceToMultiPolygon(geometry->clone())->toMultiPolygon());
        }
        result.features.push_back(std::move(read));
    }
    if (!filter.empty() && layer.SetAttributeFilter(filter.c_str()) == OGRERR_NONE)
        result.matchingFilter = layer.GetFeatureCount(TRUE);
    return result;
}

// The rows of an SQL query on a dataset, each column as text.
std::vector<std::vector<std::string>> Query(const std::string& path, const std::string& sql) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR));
    if (!dataset)
        throw std::runtime_error("cannot open " + path);
    std::vector<std::vector<std::string>> rows;
    OGRLayer* result = dataset->ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result == nullptr)
        return rows;
    for (const auto& feature : *result) {
        std::vector<std::string> row;
        for (int i = 0; i < feature->GetFieldCount(); ++i)
            row.emplace_back(feature->GetFieldAsString(i));
        rows.push_back(std::move(row));
    }
    dataset->ReleaseResultSet(result);
    return rows;
}

// The ring holds every corner, counter-clockwise from the first: the file's clockwise
// order reversed, to 7 decimals.
void ExpectCounterClockwiseCorners(const OGRLinearRing& ring) {
    ASSERT_EQ(ring.getNumPoints(), 5);
    for (int i = 0; i < 5; ++i) {
        const std::size_t corner = (4 - i) % 4;
        EXPECT_NEAR(ring.getX(i), kLon[corner], 0.51e-7) << "point " << i;
        EXPECT_NEAR(ring.getY(i), kLat[corner], 0.51e-7) << "point " << i;
    }
}

bool ScratchLeft(const TempFolder& folder) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        if (entry.path().filename().string().starts_with(".aster-"))
            return true;
    return false;
}

// Every file in a folder, by name, with its bytes.
std::map<std::string, std::string> Snapshot(const TempFolder& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
        const std::string name = entry.path().filename().string();
        files[name] = folder.read(name);
    }
    return files;
}

struct SkippedScene {
    std::string fullPath;
    std::string reason;
};

struct Progress : SceneRunHost {
    std::vector<std::int64_t> done;
    std::int64_t cancelAfter = -1;
    std::vector<SkippedScene> skippedScenes;
    void progress(std::int64_t d, std::int64_t) override { done.push_back(d); }
    bool cancelRequested() override { return std::ssize(done) == cancelAfter; }
    void skipped(std::string_view path, std::string_view reason) override {
        skippedScenes.push_back({std::string(path), std::string(reason)});
    }
    void notice(std::string_view text) override { notices.emplace_back(text); }
    std::vector<std::string> notices;
};

// The run's report with the files it named as skipped and what it told of the output.
struct TestReport : FootprintReport {
    std::vector<SkippedScene> skippedScenes;
    std::vector<std::string> notices;
};

FootprintOptions Options(const std::string& outputPath, bool overwrite = false,
                         const std::string& driver = {}, bool spatialIndex = true) {
    FootprintOptions options;
    options.outputPath = outputPath;
    options.driverName = driver;
    options.overwrite = overwrite;
    options.spatialIndex = spatialIndex;
    return options;
}

// Writes the layer of the files that `scenes` lists to `output` (a name in `scenes`, or
// a path).
std::optional<Error> Write(const TempFolder& scenes, const std::string& output,
                           TestReport& report, bool overwrite = false,
                           const std::string& driver = {}, bool spatialIndex = true) {
    Progress progress;
    const std::string path = output.starts_with('/') ? output : scenes.file(output);
    auto error = WriteFootprints(FolderPrefix(scenes.path()),
                                 Options(path, overwrite, driver, spatialIndex), report, progress);
    report.skippedScenes = std::move(progress.skippedScenes);
    report.notices = std::move(progress.notices);
    return error;
}

// A folder of three scenes: one dated before June 2003, one without a date or time that
// reads, and one in July 2003 that crosses the antimeridian.
void WriteThreeScenes(const TempFolder& folder) {
    folder.write("a.met", SceneText("18:32:07.414000Z", "2003-04-12", kLats, kLons));
    folder.write("b.met", SceneText("noon", "yesterday", kLats, kLons));
    folder.write("c.met", SceneText("00:00:00Z", "2003-07-01", kCutLats, kCutLons));
    folder.write("filelist.txt", "a.met\r\nb.met\r\nc.met\r\n");
}

// The three scenes above, then the hard cases: a time that rounds into the next year, a
// bow tie and four equal corners, which give no feature.
void WriteHardScenes(const TempFolder& folder) {
    WriteThreeScenes(folder);
    folder.write("d.met", SceneText("23:59:59.9999Z", "2003-12-31", kLats, kLons));
    folder.write("e.met", SceneText("t", "d", "34.1, 33.4, 34.0, 33.5", kLons));
    folder.write("f.met", SceneText("t", "d", "34, 34, 34, 34", "-118, -118, -118, -118"));
    folder.write("filelist.txt", "a.met\r\nb.met\r\nc.met\r\nd.met\r\ne.met\r\nf.met\r\n");
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
             {"x.csv", "CSV"},
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
    // Refused before anything is written, each with the reason.
    for (const auto& [driver, why] : std::vector<std::pair<std::string, std::string>>{
             {"GTiff", "cannot create vector files"},
             {"NoSuchFormat", "no driver named"},
             {"PGDUMP", "cannot read back"},
             {"Memory", "writes no file"},
             {"XLSX", "keeps no geometry"},
             {"ODS", "keeps no geometry"},
             {"MVT", "a folder of tiles"},
             {"OpenFileGDB", "a .gdb folder"},
             {"PostgreSQL", "not to a file"},
             // GDAL says so only when asked
             {"GPX", "cannot hold the footprints' layer: Geometry type"},
             {"DXF", "cannot hold the footprints' layer: DXF layer"},
             {"Selafin", "cannot hold the footprints' layer"},
             {"S57", "cannot hold the footprints' layer"},
             {"DGN", "cannot hold the footprints' layer"},
             {"GeoRSS", "cannot hold the footprints' layer"}}) {
        SCOPED_TRACE(driver);
        const auto error = CheckVectorDriver(driver);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EINVAL);
        EXPECT_NE(error->description.find(why), std::string::npos) << error->description;
    }
    // The trial layers leave nothing in GDAL's memory files.
    const CPLStringList left(VSIReadDir("/vsimem/"));
    EXPECT_EQ(left.size(), 0) << left[0];
    for (const auto& [driver, path, ok] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"ESRI Shapefile", "a/x.shp", true},
             {"ESRI Shapefile", "X.SHP", true},
             {"ESRI Shapefile", "x.Shp", false}, // GDAL opens x.shp or x.SHP instead
             {"ESRI Shapefile", "x.out", false},
             {"CSV", "x.Csv", true},
             {"CSV", "x.txt", false},
             {"CSV", "x.csv", true},
             {"MapInfo File", "x.tab", true},
             {"FlatGeobuf", "x.out", true},
             {"GPKG", "x.out", true}}) {
        SCOPED_TRACE(driver + " " + path);
        EXPECT_EQ(!CheckOutputName(driver, path), ok);
    }
}

// Every format, on the hard scenes: every feature GEOS-valid, of one geometry type,
// counter-clockwise (a shapefile's outer rings are clockwise by its own definition, and
// GDAL's writer makes them so), real dates that a filter compares, no second 60.
TEST(FootprintLayer, EachFormatReadsBackValidWithOneGeometryTypeAndIsoDates) {
    struct Case {
        std::string file;
        std::vector<const char*> openOptions;
        std::string acqDate, acquired; // as OGR gives them as text
        OGRwkbGeometryType layerType;  // as the format declares it
        std::string yearEnd;           // d.met's `acquired` as a date, or as text
    };
    const std::vector<Case> cases{
        {"fp.gpkg",
         {},
         "2003/04/12",
         "2003/04/12 18:32:07.414+00",
         wkbMultiPolygon,
         "2003-12-31 23:59:59.999"},
        // DBF has dates only; a shapefile cannot tell a one-part multipolygon from a polygon.
        {"fp.shp", {}, "2003/04/12", "2003/04/12", wkbPolygon, "2003-12-31 00:00:00.000"},
        // GDAL's GeoJSON writer leaves out a fraction of zero.
        {"fp.geojson",
         {"DATE_AS_STRING=YES"},
         "2003-04-12",
         "2003-04-12T18:32:07.414Z",
         wkbMultiPolygon,
         "2003-12-31T23:59:59.999Z"},
        // FlatGeobuf has no date type without a time: the date is ISO text.
        {"fp.fgb",
         {},
         "2003-04-12",
         "2003/04/12 18:32:07.414+00",
         wkbMultiPolygon,
         "2003-12-31 23:59:59.999"},
        // KML holds ISO text; its layer declares no geometry type.
        {"fp.kml",
         {},
         "2003-04-12",
         "2003-04-12T18:32:07.414Z",
         wkbUnknown,
         "2003-12-31T23:59:59.999Z"},
        // CSV holds ISO text that its .csvt declares a date and a date-time; a null text is
        // an empty one there.
        {"fp.csv",
         {"EMPTY_STRING_AS_NULL=YES"},
         "2003/04/12",
         "2003/04/12 18:32:07.414+00",
         wkbUnknown,
         "2003-12-31 23:59:59.999"},
    };
    TempFolder scenes;
    WriteHardScenes(scenes);
    // Each format again with its extension in upper case: the same layer, with the same
    // files beside it, where GDAL reads them.
    std::vector<std::pair<Case, bool>> runs;
    for (const Case& c : cases)
        for (const bool upper : {false, true})
            runs.emplace_back(c, upper);
    std::map<std::string, std::set<std::string>> filesOf; // named as in lower case
    for (const auto& [c, upper] : runs) {
        std::string file = c.file;
        if (upper)
            std::transform(file.begin() + 3, file.end(), file.begin() + 3,
                           [](char x) { return char(std::toupper(x)); });
        SCOPED_TRACE(file);
        TempFolder out;
        TestReport report;
        ASSERT_FALSE(Write(scenes, out.file(file), report));
        std::set<std::string> files;
        for (const auto& [name, bytes] : Snapshot(out))
            files.insert(name == file ? c.file : name);
        if (upper) {
            EXPECT_EQ(files, filesOf[c.file]);
        }
        filesOf[c.file] = files;
        EXPECT_EQ(report.written, 4);
        EXPECT_EQ(report.driverName, *DriverForPath(c.file));
        // What --verbose names.
        ASSERT_EQ(report.skippedScenes.size(), 2u);
        EXPECT_EQ(report.skippedScenes[0].fullPath, scenes.file("e.met"));
        EXPECT_EQ(report.skippedScenes[0].reason, "corners cross each other");
        EXPECT_EQ(report.skippedScenes[1].fullPath, scenes.file("f.met"));
        EXPECT_EQ(report.skippedScenes[1].reason, "footprint has no area");
        // QGIS's filter "acquired" < '2003-06-01' finds the April scene only.
        ReadLayer layer = Read(out.file(file), c.openOptions, "acquired < '2003-06-01'");
        EXPECT_EQ(layer.matchingFilter, 1);
        // FlatGeobuf sorts features for its index.
        std::sort(layer.features.begin(), layer.features.end(), [](const auto& a, const auto& b) {
            return a.fields.at("scene") < b.fields.at("scene");
        });
        EXPECT_EQ(layer.name, "fp");
        EXPECT_TRUE(layer.wgs84);
        EXPECT_EQ(layer.type, c.layerType);
        const bool shapefile = c.file.ends_with("shp");
        const bool isoText = c.file.ends_with("kml") || c.file.ends_with("geojson");
        ASSERT_EQ(layer.features.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            const auto& fields = layer.features[i].fields;
            const auto field = [&fields](const std::string& name) {
                const auto found = fields.find(name);
                return found == fields.end() ? std::string("<null>") : found->second;
            };
            const std::string name = std::string(1, char('a' + i)) + ".met";
            EXPECT_EQ(field("scene"), std::to_string(i + 1));
            EXPECT_EQ(field("path"), scenes.file(name));
            EXPECT_EQ(field(c.file.ends_with("kml") ? "Name" : "name"), name);
            for (const char* absent :
                 {"granule", "product", "version", "day_night", "cloud", "sun_azim", "sun_elev"})
                EXPECT_EQ(field(absent), "<null>") << absent;
            const bool cut = i == 2;
            // One geometry type in every feature, whether it has one part or two.
            EXPECT_EQ(layer.features[i].type, shapefile && !cut ? wkbPolygon : wkbMultiPolygon);
            const OGRMultiPolygon& footprint = *layer.features[i].footprint;
            EXPECT_TRUE(footprint.IsValid());
            ASSERT_EQ(footprint.getNumGeometries(), cut ? 2 : 1);
            for (const OGRPolygon* part : footprint) {
                EXPECT_EQ(part->getExteriorRing()->isClockwise() != 0, shapefile);
                OGREnvelope extent;
                part->getEnvelope(&extent);
                // A cut footprint's parts meet at the antimeridian, each within +-180.
                if (cut) {
                    EXPECT_TRUE(extent.MinX == -180 ? extent.MaxX == -179.6
                                                    : extent.MinX == 179.3 && extent.MaxX == 180);
                }
            }
            if (cut)
                continue;
            if (!shapefile)
                ExpectCounterClockwiseCorners(*footprint.getGeometryRef(0)->getExteriorRing());
            for (int k = 0; k < 4; ++k) {
                EXPECT_NEAR(std::stod(field("lat" + std::to_string(k + 1))), kLat[k], 1e-9);
                EXPECT_NEAR(std::stod(field("lon" + std::to_string(k + 1))), kLon[k], 1e-9);
            }
            if (i == 3) {
                // 23:59:59.9999 on 31 December is that year's last millisecond, truncated:
                // the instant stays in the file's date.
                EXPECT_EQ(field("acq_time"), "23:59:59.9999Z");
                EXPECT_EQ(isoText ? field("acquired") : layer.features[i].dates.at("acquired"),
                          c.yearEnd);
                EXPECT_EQ(field("acq_date").substr(0, 10),
                          c.acqDate.find('/') == std::string::npos ? "2003-12-31" : "2003/12/31");
                continue;
            }
            EXPECT_EQ(field("acq_time"), i == 0 ? "18:32:07.414000Z" : "noon");
            EXPECT_EQ(field("acq_date"), i == 0 ? c.acqDate : "<null>");
            EXPECT_EQ(field("acquired"), i == 0 ? c.acquired : "<null>");
        }
        EXPECT_FALSE(ScratchLeft(out));
        const std::string text = out.read(file);
        EXPECT_EQ(text.find(":60"), std::string::npos);
        if (c.file.ends_with("geojson")) {
            // RFC 7946: no "crs" member, 7 decimals.
            EXPECT_EQ(text.find("\"crs\""), std::string::npos);
            EXPECT_NE(text.find("-118.1234568"), std::string::npos);
        }
        if (c.file.ends_with("kml") || c.file.ends_with("csv")) {
            EXPECT_NE(text.find("2003-04-12T18:32:07.414Z"), std::string::npos);
            EXPECT_NE(text.find("2003-12-31T23:59:59.999Z"), std::string::npos);
            EXPECT_EQ(text.find("2003/04/12"), std::string::npos);
        }
        if (c.file.ends_with("fgb")) {
            EXPECT_EQ(layer.fieldTypes.at("acq_date"), OFTString);
            EXPECT_EQ(layer.fieldTypes.at("acquired"), OFTDateTime);
        }
        if (c.file.ends_with("csv")) {
            EXPECT_EQ(layer.fieldTypes.at("acq_date"), OFTDate);
            EXPECT_EQ(layer.fieldTypes.at("acquired"), OFTDateTime);
            EXPECT_EQ(layer.fieldTypes.at("cloud"), OFTReal);
            EXPECT_EQ(layer.fieldTypes.at("granule"), OFTString);
            EXPECT_TRUE(out.exists("fp.prj"));
        }
        if (shapefile) {
            EXPECT_EQ(out.read("fp.cpg"), "UTF-8");
            // Text columns keep their declared width, so that later edits fit.
            EXPECT_EQ(layer.fieldWidths.at("path"), 254);
            EXPECT_EQ(layer.fieldWidths.at("granule"), 254);
        }
    }
}

// The layer reads what the STAC catalogue reads, and skips files for the same reasons:
// the shared reader's, then the footprint shape's. A footprint has every corner; its
// fields the first four, null where there are fewer.
// A run that finds no footprint still writes its layer, empty, in every format: GeoJSON
// then declares no fields, which is no sign of a cut file.
TEST(FootprintLayer, NoFootprintGivesAnEmptyLayerInEveryFormat) {
    TempFolder folder;
    folder.write("notes.txt", "no scene here");
    folder.write("filelist.txt", "notes.txt\r\n");
    for (const std::string output : {"a.gpkg", "b.shp", "c.geojson", "d.fgb", "e.kml", "f.csv"}) {
        SCOPED_TRACE(output);
        TestReport report;
        const auto error = Write(folder, output, report);
        ASSERT_FALSE(error) << error->description;
        EXPECT_EQ(report.written, 0);
        EXPECT_EQ(report.skipped, 1);
        EXPECT_EQ(Read(folder.file(output)).features.size(), 0u);
    }
}

TEST(FootprintLayer, SkippedFilesAndReasons) {
    TempFolder folder;
    const std::string good = SceneText("t", "d", kLats, kLons);
    folder.write("good1.met", good);
    folder.write("blank.met", "");
    folder.write("notes.txt", "no scene here");
    folder.write("lat2.met", SceneText("t", "d", "34.1, abc, 33.4, 33.5", kLons));
    folder.write("lon3.met", SceneText("t", "d", kLats, "-118.1, -117.4, 200, -118.3"));
    folder.write("short.met", SceneText("t", "d", "34.1, 34.0, 33.4", kLons));
    folder.write("three.met", SceneText("t", "d", "34.1, 34.0, 33.4", "-118.1, -117.4, -117.6"));
    folder.write("five.met", SceneText("t", "d", kLats + ", 33.8", kLons + ", -118.4"));
    // Files that give no text are named for what keeps them from being read.
    folder.write("a?.met", good);
    folder.write(".hidden.met", good);
    ::mkfifo(folder.file("pipe.met").c_str(), 0644);
    std::filesystem::create_directory(folder.file("sub.met"));
    folder.write("filelist.txt", "good1.met\r\nblank.met\r\nmissing.met\r\nnotes.txt\r\n"
                                 "lat2.met\r\nlon3.met\r\nshort.met\r\nthree.met\r\nfive.met\r\n"
                                 "a?.met\r\n.hidden.met\r\npipe.met\r\nsub.met\r\n"
                                 "lf1.met\nlf2.met\r\n");
    TestReport report;
    Progress progress;
    ASSERT_FALSE(WriteFootprints(FolderPrefix(folder.path()), Options(folder.file("fp.gpkg")),
                                 report, progress));
    EXPECT_EQ(report.written, 3);
    EXPECT_EQ(progress.done,
              (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    std::vector<std::pair<std::string, std::string>> skipped;
    for (const SkippedScene& scene : progress.skippedScenes)
        skipped.emplace_back(FileNameOf(scene.fullPath), scene.reason);
    EXPECT_EQ(skipped, (std::vector<std::pair<std::string, std::string>>{
                           {"blank.met", "an empty file"},
                           {"missing.met", "no such file"},
                           {"notes.txt", "not scene metadata"},
                           {"lat2.met", "corner 2 is not a number"},
                           {"lon3.met", "longitude of corner 3 out of range"},
                           {"short.met", "3 corner latitudes but 4 longitudes"},
                           {"a?.met", "its name holds * or ?, so it names no single file"},
                           {".hidden.met", "a hidden file"},
                           {"pipe.met", "not a regular file"},
                           {"sub.met", "a folder"},
                           // A line feed alone ends a line too.
                           {"lf1.met", "no such file"},
                           {"lf2.met", "no such file"}}));
    EXPECT_EQ(report.skipped, 12);
    const ReadLayer layer = Read(folder.file("fp.gpkg"));
    ASSERT_EQ(layer.features.size(), 3u);
    const std::array<std::pair<std::string, int>, 3> scenes{{{"1", 5}, {"8", 4}, {"9", 6}}};
    for (std::size_t i = 0; i < scenes.size(); ++i) {
        const auto& [scene, points] = scenes[i];
        const ReadFeature& feature = layer.features[i];
        EXPECT_EQ(feature.fields.at("scene"), scene);
        EXPECT_EQ(feature.footprint->getGeometryRef(0)->getExteriorRing()->getNumPoints(), points);
        EXPECT_EQ(feature.fields.count("lat4") + feature.fields.count("lon4"),
                  points == 4 ? 0u : 2u);
    }
}

// A file of `size` bytes that begins with `head`; the rest is a hole that takes no room.
void SparseFile(const std::string& path, const std::string& head, off_t size) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::pwrite(fd.get(), head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(::ftruncate(fd.get(), size), 0);
}

const std::array<std::string, 3> kGranules{"AST_L1B_00304122003183207_20030413120012_10001",
                                           "AST_L1B_00304122003183216_20030413120012_10002",
                                           "AST_L1B_00304122003183225_20030413120012_10003"};

// A folder of downloads as the data centre hands them out: for each granule its metadata
// (ECS XML as <granule>.hdf.xml, or the same as capitals ODL in <granule>.met) beside the
// 100 MB HDF file and GeoTIFFs, the browse image and the QA report; all of it listed.
void WriteDownloads(const TempFolder& folder, bool odl) {
    std::vector<std::string> names;
    for (const std::string& granule : kGranules) {
        std::string text = odl ? test::GranuleOdl() : test::GranuleXml();
        const std::string sampleId = "AST_L1B_00304122003183207_20030413120012_12345";
        text.replace(text.find(sampleId), sampleId.size(), granule);
        const std::string metadata = granule + (odl ? ".met" : ".hdf.xml");
        folder.write(metadata, text);
        SparseFile(folder.file(granule + ".hdf"), "\x0e\x03\x13\x01", 100'000'000);
        SparseFile(folder.file(granule + "_V.tif"), std::string("II*\0", 4), 100'000'000);
        SparseFile(folder.file(granule + "_T.tif"), std::string("II*\0", 4), 100'000'000);
        folder.write(granule + ".jpg", "\xff\xd8\xff\xe0 browse");
        folder.write(granule + "_QA.txt", "QA report of " + granule + "\n");
        for (const std::string& name : {metadata, granule + ".hdf", granule + "_V.tif",
                                        granule + "_T.tif", granule + ".jpg", granule + "_QA.txt"})
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names)
        list += name + "\r\n";
    folder.write("filelist.txt", list);
}

TEST(FootprintLayer, DownloadsGiveOneFootprintPerGranuleAndTheSameAsOdl) {
    TempFolder xml, odl, out;
    WriteDownloads(xml, false);
    WriteDownloads(odl, true);
    TestReport report;
    const long long before = test::BytesRead();
    ASSERT_FALSE(Write(xml, out.file("xml.gpkg"), report));
    // The metadata, the images' and HDF files' heads, the layer read back and GDAL's own
    // files: a few megabytes of the 900 listed.
    EXPECT_LT(test::BytesRead() - before, 50'000'000);
    EXPECT_EQ(report.written, 3);
    EXPECT_EQ(report.skipped, 15);
    // An HDF file is the data of the metadata file beside it.
    for (const SkippedScene& skipped : report.skippedScenes)
        EXPECT_EQ(skipped.reason, skipped.fullPath.ends_with(".hdf")
                                      ? "described by " +
                                            std::string(FileNameOf(skipped.fullPath)) + ".xml"
                                      : "not scene metadata")
            << skipped.fullPath;
    ASSERT_FALSE(Write(odl, out.file("odl.gpkg"), report));
    EXPECT_EQ(report.written, 3);

    const ReadLayer fromXml = Read(out.file("xml.gpkg"));
    const ReadLayer fromOdl = Read(out.file("odl.gpkg"));
    ASSERT_EQ(fromXml.features.size(), 3u);
    ASSERT_EQ(fromOdl.features.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(kGranules[i]);
        const ReadFeature& feature = fromXml.features[i];
        std::map<std::string, std::string> expected{
            {"granule", kGranules[i]},
            {"product", "AST_L1B"},
            {"platform", "Terra"},
            {"instrument", "ASTER"},
            {"version", "3"},
            {"day_night", "Day"},
            {"cloud", "12"},
            {"sun_azim", "142.615"},
            {"sun_elev", "58.7"},
            {"acq_date", "2003/04/12"},
            {"acq_time", "18:32:07.414000"},
            {"acquired", "2003/04/12 18:32:07.414+00"},
            {"lat1", "36.512345"},
            {"lon1", "-117.204518"},
            {"lat4", "35.981734"},
            {"lon4", "-117.342651"},
        };
        for (const auto& [name, value] : expected)
            EXPECT_EQ(feature.fields.at(name), value) << name;
        // Every field filled.
        EXPECT_EQ(feature.fields.at("acquired_end"), "2003/04/12 18:32:16.302+00");
        EXPECT_EQ(feature.fields.size(), fromXml.fieldTypes.size());
        EXPECT_EQ(feature.fields.at("name"), kGranules[i] + ".hdf.xml");
        EXPECT_TRUE(feature.footprint->IsValid());
        // The same granule as capitals ODL: the same feature but for the file's name and
        // its place in the list.
        auto same = fromOdl.features[i].fields;
        EXPECT_EQ(same.at("name"), kGranules[i] + ".met");
        auto fields = feature.fields;
        for (auto* values : {&same, &fields}) {
            for (const char* name : {"name", "path", "scene"})
                values->erase(name);
        }
        EXPECT_EQ(same, fields);
        EXPECT_TRUE(fromOdl.features[i].footprint->Equals(feature.footprint.get()));
    }
}

TEST(FootprintLayer, TheExampleScenesWithGranuleAndCloud) {
    TempFolder folder;
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(ASTER_SOURCE_DIR "/examples/scenes")) {
        std::filesystem::copy_file(entry.path(), folder.file(entry.path().filename()));
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string& name : names)
        list += name + "\r\n";
    folder.write("filelist.txt", list);
    TestReport report;
    ASSERT_FALSE(Write(folder, "fp.gpkg", report));
    EXPECT_EQ(report.written, 4);
    EXPECT_EQ(report.skipped, 2);
    const ReadLayer layer = Read(folder.file("fp.gpkg"));
    ASSERT_EQ(layer.features.size(), 4u);
    for (const ReadFeature& feature : layer.features) {
        SCOPED_TRACE(feature.fields.at("name"));
        EXPECT_TRUE(feature.fields.at("granule").starts_with("DEMO_L1B_"));
        EXPECT_EQ(feature.fields.at("cloud"), "3");
        EXPECT_TRUE(feature.fields.count("acquired"));
    }
}

TEST(FootprintLayer, EarlierLayerKeptUnlessReplaced) {
    TempFolder folder;
    folder.write("a.met", SceneText("t", "d", kLats, kLons));
    folder.write("filelist.txt", "a.met\r\n");
    const auto expectUnchanged = [&folder](const std::string& name, const std::string& bytes) {
        EXPECT_EQ(folder.read(name), bytes) << name;
        EXPECT_FALSE(ScratchLeft(folder));
    };
    TestReport report;
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
        SCOPED_TRACE("a format whose driver refuses the first feature fails after the scratch "
                     "was made");
        folder.write("fp.map", "earlier");
        const auto error = Write(folder, "fp.map", report, true, "WAsP");
        ASSERT_TRUE(error);
        EXPECT_NE(error->description.find(folder.file("fp.map")), std::string::npos);
        // GDAL's message names the output asked for, never the hidden scratch folder.
        EXPECT_EQ(error->description.find(".aster-"), std::string::npos) << error->description;
        expectUnchanged("fp.map", "earlier");
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
        std::filesystem::remove(folder.file("fp.dbf"));
    }
    {
        SCOPED_TRACE("another program's index or style beside a shapefile is part of it, and "
                     "so is a file of it in the other case, which readers would take for it");
        for (const std::string companion :
             {"fp.qix", "fp.sbn", "fp.sbx", "fp.shp.xml", "fp.qml", "fp.QIX", "fp.SHX", "fp.SHP"}) {
            SCOPED_TRACE(companion);
            folder.write(companion, "earlier");
            const auto error = Write(folder, "fp.shp", report);
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, EEXIST);
            EXPECT_NE(error->description.find(folder.file(companion)), std::string::npos);
            EXPECT_FALSE(folder.exists("fp.shp"));
            expectUnchanged(companion, "earlier");
            std::filesystem::remove(folder.file(companion));
        }
    }
    {
        SCOPED_TRACE("--overwrite of a shapefile replaces or drops the earlier layer's files");
        for (const std::string companion :
             {"fp.qix", "fp.sbn", "fp.sbx", "fp.shp.xml", "fp.qml", "fp.SBN", "fp.DBF"})
            folder.write(companion, "earlier");
        folder.write("fpx.qix", "another layer's");
        ASSERT_FALSE(Write(folder, "fp.shp", report, true));
        EXPECT_NE(folder.read("fp.qix"), "earlier");
        EXPECT_EQ(folder.read("fp.qml"), ShapefileStyleQml());
        for (const std::string stale : {"fp.sbn", "fp.sbx", "fp.shp.xml", "fp.SBN", "fp.DBF"})
            EXPECT_FALSE(folder.exists(stale)) << stale;
        EXPECT_EQ(folder.read("fpx.qix"), "another layer's");
        EXPECT_EQ(Read(folder.file("fp.shp")).features.size(), 1u);
        ASSERT_FALSE(Write(folder, "fp.shp", report, true, {}, false));
        EXPECT_FALSE(folder.exists("fp.qix"));
        // One that cannot be removed is told; the new layer is in place all the same.
        std::filesystem::create_directory(folder.file("fp.sbn"));
        folder.write("fp.sbn/inside", "");
        ASSERT_FALSE(Write(folder, "fp.shp", report, true));
        ASSERT_EQ(report.notices.size(), 1u);
        EXPECT_NE(report.notices[0].find(folder.file("fp.sbn")), std::string::npos);
        EXPECT_TRUE(folder.exists("fp.qix"));
        std::filesystem::remove_all(folder.file("fp.sbn"));
    }
    {
        SCOPED_TRACE("a shapefile's .prj, which GDAL reads for a CSV file of its name too, is "
                     "the shapefile's: the CSV file reads it, and never replaces it");
        TempFolder pair;
        ASSERT_FALSE(Write(folder, pair.file("fp.shp"), report));
        const std::string projection = pair.read("fp.prj");
        for (const bool overwrite : {false, true}) {
            ASSERT_FALSE(Write(folder, pair.file("fp.csv"), report, overwrite));
            EXPECT_EQ(pair.read("fp.prj"), projection);
            EXPECT_TRUE(Read(pair.file("fp.csv")).wgs84);
        }
        ASSERT_FALSE(Write(folder, pair.file("fp.shp"), report, true));
        EXPECT_EQ(pair.read("fp.prj"), projection);
        EXPECT_TRUE(Read(pair.file("fp.shp")).wgs84);
        EXPECT_TRUE(Read(pair.file("fp.csv")).wgs84);
        // Written second, the shapefile takes the place of the CSV file's own WGS 84 .prj
        // without being told to overwrite: nothing of the CSV layer's changes meaning.
        TempFolder second;
        ASSERT_FALSE(Write(folder, second.file("fp.csv"), report));
        ASSERT_NE(second.read("fp.prj"), projection);
        ASSERT_FALSE(Write(folder, second.file("fp.shp"), report, false));
        EXPECT_EQ(second.read("fp.prj"), projection);
        EXPECT_TRUE(Read(second.file("fp.csv")).wgs84);
        // A .prj of anything but WGS 84, or none, would have one of them read elsewhere.
        const std::string nad27 =
            "GEOGCS[\"GCS_North_American_1927\",DATUM[\"D_North_American_1927\",SPHEROID["
            "\"Clarke_1866\",6378206.4,294.9786982]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\","
            "0.0174532925199433]]";
        for (const std::string& earlier : {nad27, std::string()}) {
            if (earlier.empty())
                std::filesystem::remove(pair.file("fp.prj"));
            else
                pair.write("fp.prj", earlier);
            const auto before = Snapshot(pair);
            std::vector<std::pair<std::string, bool>> runs{{"fp.csv", false}, {"fp.csv", true}};
            if (!earlier.empty())
                runs.emplace_back("fp.shp", true);
            for (const auto& [output, overwrite] : runs) {
                SCOPED_TRACE(output + (earlier.empty() ? " without a .prj" : " beside NAD27"));
                const auto error = Write(folder, pair.file(output), report, overwrite);
                ASSERT_TRUE(error);
                EXPECT_EQ(error->code, EEXIST);
                EXPECT_NE(error->kind, ErrorKind::OutputExists) << "--overwrite cannot help";
                EXPECT_EQ(Snapshot(pair), before);
            }
        }
    }
    {
        SCOPED_TRACE("a FlatGeobuf file's style is part of it");
        folder.write("fg.qml", "earlier");
        EXPECT_EQ(Write(folder, "fg.fgb", report)->code, EEXIST);
        expectUnchanged("fg.qml", "earlier");
        EXPECT_FALSE(folder.exists("fg.fgb"));
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
    for (const char* output : {"fp.geojson", "fp.kml", "fp.gpkg", "fp.shp", "fp.fgb", "fp.csv"}) {
        SCOPED_TRACE(output);
        TempFolder disk;
        const int status = test::InChild([&] {
            if (!test::MountSmallDisk(disk.path(), "48k"))
                return test::kSkip;
            disk.write(output, "earlier layer");
            TestReport report;
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

TEST(FootprintLayer, SpatialIndexUnlessAskedNot) {
    TempFolder folder;
    WriteThreeScenes(folder);
    // GDAL looks for a shapefile's index as fp.qix beside fp.SHP too; the earlier fp.shp
    // goes, as GDAL would open it first.
    for (const std::string output : {"fp.gpkg", "fp.fgb", "fp.shp", "fp.SHP"}) {
        for (const bool index : {true, false}) {
            SCOPED_TRACE(output + (index ? " with" : " without") + " index");
            TestReport report;
            // GDAL takes driver names in any case; the report gives its own spelling.
            const std::string driver = output == "fp.shp" ? "esri shapefile" : "";
            ASSERT_FALSE(Write(folder, output, report, true, driver, index));
            EXPECT_EQ(report.driverName, *DriverForPath(output));
            EXPECT_EQ(Read(folder.file(output)).indexed, index);
            EXPECT_EQ(folder.exists("fp.qix"), index && EndsWithNoCase(output, ".shp"));
            EXPECT_EQ(folder.exists("fp.shp"), output == "fp.shp");
        }
    }
    // The R-tree packed in one pass is one that SQLite's own check accepts, whatever the
    // layer is called: SQLite counts a name's characters, not its bytes.
    for (const std::string output : {"fp.gpkg", "caf\xc3\xa9.gpkg", "\xe9t\xe9.gpkg"}) {
        SCOPED_TRACE(output);
        TestReport report;
        ASSERT_FALSE(Write(folder, output, report, true));
        EXPECT_EQ(Query(folder.file(output),
                        "SELECT rtreecheck('rtree_' || table_name || '_geom'), "
                        "(SELECT count(*) FROM gpkg_extensions WHERE extension_name = "
                        "'gpkg_rtree_index') FROM gpkg_contents WHERE data_type = 'features'"),
                  (std::vector<std::vector<std::string>>{{"ok", "1"}}));
        EXPECT_EQ(Read(folder.file(output)).indexed, true);
    }
}

std::unique_ptr<OGRPolygon> BoxPolygon(const OGREnvelope& box) {
    auto ring = std::make_unique<OGRLinearRing>();
    ring->addPoint(box.MinX, box.MinY);
    ring->addPoint(box.MaxX, box.MinY);
    ring->addPoint(box.MaxX, box.MaxY);
    ring->addPoint(box.MinX, box.MaxY);
    ring->addPoint(box.MinX, box.MinY);
    auto polygon = std::make_unique<OGRPolygon>();
    polygon->addRingDirectly(ring.release());
    return polygon;
}

// Against a map of every granule: enough rows for the table to grow many times over and
// for distinct granules to share the part of their hash it keeps; repeats at any distance,
// texts of any bytes and sizes.
TEST(FirstFiles, GivesThePathThatGaveAGranuleFirst) {
    TempFolder folder;
    FirstFiles first;
    ASSERT_FALSE(first.open(folder.path()));
    std::map<std::string, std::string> expected;
    std::mt19937_64 random(5);
    for (int row = 0; row < 200000; ++row) {
        const bool repeat = !expected.empty() && random() % 8 == 0;
        std::string granule =
            repeat ? "G" + std::to_string(random() % row) : "G" + std::to_string(row);
        if (row % 50000 == 7)
            granule += std::string(70000, static_cast<char>('\x80' + row % 3));
        const std::string path =
            "/scenes/" + std::to_string(row) + std::string(1, '\0') + "\xe9.met";
        std::optional<std::string> given;
        ASSERT_FALSE(first.add(granule, path, given));
        const auto [known, added] = expected.emplace(granule, path);
        ASSERT_EQ(given.has_value(), !added) << granule;
        if (given) {
            ASSERT_EQ(*given, known->second) << granule;
        }
    }
}

// A root that is a leaf, two levels and three (a node holds 51 cells); some boxes
// degenerate (points, lines).
class PackedIndex : public testing::TestWithParam<int> {};

TEST_P(PackedIndex, AnswersAsAScanWould) {
    TempFolder folder;
    const std::string path = folder.file("boxes.gpkg");
    std::vector<OGREnvelope> boxes;
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> lon(-180, 180), lat(-90, 90), size(0, 3);
    {
        GDALAllRegister();
        GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GPKG");
        ASSERT_TRUE(driver);
        GDALDatasetUniquePtr dataset(driver->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        ASSERT_TRUE(dataset);
        const char* options[] = {"SPATIAL_INDEX=NO", nullptr};
        OGRLayer* layer =
            dataset->CreateLayer("boxes", nullptr, wkbPolygon, const_cast<char**>(options));
        ASSERT_TRUE(layer);
        GeoPackageIndex index;
        ASSERT_TRUE(index.prepare(*dataset, *layer));
        ASSERT_EQ(dataset->StartTransaction(), OGRERR_NONE);
        for (int i = 0; i < GetParam(); ++i) {
            OGREnvelope box;
            box.MinX = lon(random);
            box.MinY = lat(random);
            box.MaxX = box.MinX + (i % 7 == 0 ? 0 : size(random));
            box.MaxY = box.MinY + (i % 5 == 0 ? 0 : size(random));
            const std::unique_ptr<OGRPolygon> polygon = BoxPolygon(box);
            OGRFeature feature(layer->GetLayerDefn());
            feature.SetGeometry(polygon.get());
            ASSERT_EQ(layer->CreateFeature(&feature), OGRERR_NONE);
            index.add(feature.GetFID(), box);
            boxes.push_back(box);
        }
        ASSERT_TRUE(index.finish());
        ASSERT_EQ(dataset->CommitTransaction(), OGRERR_NONE);
    }
    EXPECT_EQ(Query(path, "SELECT rtreecheck('rtree_boxes_geom')"),
              (std::vector<std::vector<std::string>>{{"ok"}}));
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE));
    OGRLayer& layer = *dataset->GetLayer(0);
    ASSERT_TRUE(layer.TestCapability(OLCFastSpatialFilter));
    for (int q = 0; q < 100; ++q) {
        OGREnvelope query;
        query.MinX = lon(random);
        query.MinY = lat(random);
        query.MaxX = query.MinX + 10 * size(random);
        query.MaxY = query.MinY + 10 * size(random);
        GIntBig expected = 0;
        for (const OGREnvelope& box : boxes)
            expected += box.Intersects(query) ? 1 : 0;
        layer.SetSpatialFilterRect(query.MinX, query.MinY, query.MaxX, query.MaxY);
        EXPECT_EQ(layer.GetFeatureCount(TRUE), expected) << "query " << q;
    }
    // The triggers are back: a later edit reaches the index.
    layer.SetSpatialFilter(nullptr);
    OGREnvelope box;
    box.MinX = box.MinY = 200;
    box.MaxX = box.MaxY = 201;
    OGRFeature feature(layer.GetLayerDefn());
    feature.SetGeometry(BoxPolygon(box).get());
    ASSERT_EQ(layer.CreateFeature(&feature), OGRERR_NONE);
    layer.SetSpatialFilterRect(199, 199, 202, 202);
    EXPECT_EQ(layer.GetFeatureCount(TRUE), 1);
}

INSTANTIATE_TEST_SUITE_P(GeoPackageIndex, PackedIndex, testing::Values(1, 52, 6000));

// A scene with the given corners and, outside its groups as some files have it, a cloud
// cover.
std::string CloudyScene(const std::string& cloud, const std::string& lats = kLats,
                        const std::string& lons = kLons) {
    return "OBJECT = QAPercentCloudCover\r\n VALUE = " + cloud + "\r\nEND_OBJECT\r\n" +
           SceneText("18:32:07.414000Z", "2003-04-12", lats, lons);
}

struct DatasetClose {
    void operator()(GDALDatasetH dataset) const { GDALClose(dataset); }
};
struct TranslateOptionsFree {
    void operator()(GDALVectorTranslateOptions* options) const {
        GDALVectorTranslateOptionsFree(options);
    }
};

// What `ogr2ogr copy source -where FILTER` does, through GDAL's own code for it: it
// copies every layer of the source, and stops at one the filter does not fit.
bool CopyWhere(const std::string& source, const std::string& copy, const char* filter) {
    const GdalMessages quiet;
    const std::unique_ptr<void, DatasetClose> from(
        GDALOpenEx(source.c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
    const char* args[] = {"-where", filter, nullptr};
    const std::unique_ptr<GDALVectorTranslateOptions, TranslateOptionsFree> options(
        GDALVectorTranslateOptionsNew(const_cast<char**>(args), nullptr));
    if (!from || !options)
        return false;
    GDALDatasetH sources[] = {from.get()};
    int usageError = 0;
    const std::unique_ptr<void, DatasetClose> to(
        GDALVectorTranslate(copy.c_str(), nullptr, 1, sources, options.get(), &usageError));
    return to != nullptr;
}

// An element of an XML document as expat reads it: strictly, as QGIS's reader does.
struct XmlElement {
    std::string name;
    std::map<std::string, std::string> attributes;
    std::string text;
    std::vector<XmlElement> children;

    const XmlElement* child(std::string_view wanted) const {
        for (const XmlElement& element : children)
            if (element.name == wanted)
                return &element;
        return nullptr;
    }
    std::string attribute(const std::string& key) const {
        const auto found = attributes.find(key);
        return found == attributes.end() ? "<none>" : found->second;
    }
};

struct XmlTree {
    XmlElement document;                      // holds the root element
    std::vector<XmlElement*> open{&document}; // each an ancestor of the next
};

std::optional<XmlElement> ParseXml(std::string_view text) {
    XmlTree tree;
    const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(
        XML_ParserCreate("UTF-8"), &XML_ParserFree);
    XML_SetUserData(parser.get(), &tree);
    XML_SetElementHandler(
        parser.get(),
        [](void* data, const XML_Char* name, const XML_Char** attributes) {
            auto& tree = *static_cast<XmlTree*>(data);
            XmlElement& element = tree.open.back()->children.emplace_back();
            element.name = name;
            for (int i = 0; attributes[i] != nullptr; i += 2)
                element.attributes[attributes[i]] = attributes[i + 1];
            tree.open.push_back(&element);
        },
        [](void* data, const XML_Char*) { static_cast<XmlTree*>(data)->open.pop_back(); });
    XML_SetCharacterDataHandler(parser.get(), [](void* data, const XML_Char* text, int size) {
        static_cast<XmlTree*>(data)->open.back()->text.append(text, size);
    });
    if (XML_Parse(parser.get(), text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK ||
        tree.document.children.size() != 1)
        return std::nullopt;
    return std::move(tree.document.children[0]);
}

// The parts of an "r,g,b,a" colour.
std::vector<int> Rgba(const std::string& text) {
    std::vector<int> parts;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        parts.push_back(std::stoi(text.substr(at, comma - at)));
        at = comma + 1;
    }
    return parts;
}

TEST(FootprintLayer, StyleAndProvenanceForTheGis) {
    TempFolder scenes;
    scenes.write("clear.met", CloudyScene("12"));
    scenes.write("cloudy.met", CloudyScene("40"));
    scenes.write("filelist.txt", "clear.met\r\ncloudy.met\r\n");
    TestReport report;
    for (const std::string output : {"fp.gpkg", "fp.shp", "fp.fgb", "fp.geojson", "fp.csv"}) {
        SCOPED_TRACE(output + ": a .qml of the layer's name beside it");
        TempFolder out;
        ASSERT_FALSE(Write(scenes, out.file(output), report));
        const std::string style =
            output == "fp.shp" ? ShapefileStyleQml() : std::string(FootprintStyleQml());
        EXPECT_EQ(out.read("fp.qml"), style);
        // Every field the style names, in its aliases and its times, is a field of the
        // layer under the name this format gives it.
        const ReadLayer layer = Read(out.file(output));
        const std::optional<XmlElement> qgis = ParseXml(style);
        ASSERT_TRUE(qgis && qgis->child("aliases") && qgis->child("temporal"));
        for (const XmlElement& alias : qgis->child("aliases")->children)
            EXPECT_TRUE(layer.fieldTypes.contains(alias.attribute("field")))
                << alias.attribute("field");
        const std::string ends = qgis->child("temporal")->attribute("endExpression");
        for (std::size_t quote = ends.find('"'); quote != std::string::npos;
             quote = ends.find('"', ends.find('"', quote + 1) + 1)) {
            const std::string field = ends.substr(quote + 1, ends.find('"', quote + 1) - quote - 1);
            EXPECT_TRUE(layer.fieldTypes.contains(field)) << field;
        }
        SCOPED_TRACE("an earlier one alone is an output that exists");
        TempFolder again;
        again.write("fp.qml", "earlier");
        EXPECT_EQ(Write(scenes, again.file(output), report)->code, EEXIST);
        EXPECT_EQ(again.read("fp.qml"), "earlier");
        // Unless it is the style as written, which a layer of the name in another format
        // left: layers in several formats share it, the last one written its own.
        // Replacing the other format's, the run says that layer's times now read wrongly.
        for (const std::string& shared : {std::string(FootprintStyleQml()), ShapefileStyleQml()}) {
            TempFolder beside;
            beside.write("fp.qml", shared);
            EXPECT_FALSE(Write(scenes, beside.file(output), report));
            EXPECT_EQ(beside.read("fp.qml"), style); // this format's, whichever stood there
            EXPECT_EQ(report.notices.size(), shared == style ? 0u : 1u);
        }
    }
    {
        SCOPED_TRACE("GeoPackage: the footprints alone, which GDAL's tools copy filtered");
        TempFolder out;
        const std::string path = out.file("fp.gpkg");
        ASSERT_FALSE(Write(scenes, path, report));
        EXPECT_EQ(Query(path, "SELECT name FROM sqlite_master WHERE name LIKE 'layer_styles%'"),
                  (std::vector<std::vector<std::string>>{}));
        EXPECT_EQ(
            GDALDatasetUniquePtr(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR))->GetLayerCount(),
            1);
        ASSERT_TRUE(CopyWhere(path, out.file("copy.gpkg"), "cloud < 20"));
        EXPECT_EQ(Read(out.file("copy.gpkg")).features.size(), 1u);
        // The layer names the program, its version and the list it read, or how the list
        // in memory was made, which no file holds.
        out.write("list.txt", scenes.path().substr(1) + "/clear.met\n");
        out.write("tree.txt", "clear.met\n");
        struct Described {
            std::string folder, list;
            bool tree;
            std::vector<std::string> patterns;
            std::string scenesRead;
        };
        for (const Described& d : std::vector<Described>{
                 {scenes.path() + "/", "", false, {}, "listed in " + scenes.file("filelist.txt")},
                 {"/", out.file("list.txt"), false, {}, "listed in " + out.file("list.txt")},
                 // Given from the current folder, named from the root.
                 {"/",
                  std::filesystem::relative(out.file("list.txt")).string(),
                  false,
                  {},
                  "listed in " + out.file("list.txt")},
                 {scenes.path(), out.file("tree.txt"), true, {}, "in the tree of " + scenes.path()},
                 {scenes.path(), "", false, {"*.met"}, "named *.met in " + scenes.path()},
                 {scenes.path(),
                  "",
                  true,
                  {"*.met", "*.MET", "*.xml"},
                  "named *.met, *.MET or *.xml in the tree of " + scenes.path()}}) {
            SCOPED_TRACE(d.scenesRead);
            FootprintOptions options = Options(path, true);
            options.listPath = d.list;
            options.listedTree = d.tree;
            options.listedPatterns = d.patterns;
            Progress progress;
            ASSERT_FALSE(WriteFootprints(FolderPrefix(d.folder), options, report, progress));
            EXPECT_EQ(Query(path, "SELECT description FROM gpkg_contents WHERE table_name = 'fp'"),
                      (std::vector<std::vector<std::string>>{
                          {"Footprints of the ASTER scenes " + d.scenesRead +
                           ", written by aster " ASTER_VERSION}}));
        }
    }
    {
        SCOPED_TRACE("KML: outlines in each placemark's own style, no .qml");
        TempFolder out;
        ASSERT_FALSE(Write(scenes, out.file("fp.kml"), report));
        EXPECT_NE(out.read("fp.kml").find("<PolyStyle><fill>0</fill></PolyStyle>"),
                  std::string::npos);
        EXPECT_FALSE(out.exists("fp.qml"));
    }
}

// The style as QGIS 3.22 reads it: a complete document, naming the categories it sets,
// since QGIS applies only those.
TEST(LayerStyle, QmlIsADocumentQgisReads) {
    const std::optional<XmlElement> qgis = ParseXml(FootprintStyleQml());
    ASSERT_TRUE(qgis);
    EXPECT_EQ(qgis->name, "qgis");
    EXPECT_TRUE(qgis->attribute("version").starts_with("3.22")) << qgis->attribute("version");
    const std::string categories = "|" + qgis->attribute("styleCategories") + "|";
    for (const char* category : {"Symbology", "Fields", "MapTips", "Temporal"})
        EXPECT_NE(categories.find("|" + std::string(category) + "|"), std::string::npos)
            << category;
    for (const char* element : {"temporal", "renderer-v2", "aliases", "mapTip"})
        EXPECT_TRUE(qgis->child(element)) << element;
    const std::optional<XmlElement> sld = ParseXml(FootprintStyleSld());
    ASSERT_TRUE(sld);
    EXPECT_EQ(FootprintStyleSld().find("<se:Fill>"), std::string::npos);
}

// The temporal controller steps through the scenes by acquisition time.
TEST(LayerStyle, QmlTimesTheScenesByAcquired) {
    const std::optional<XmlElement> qgis = ParseXml(FootprintStyleQml());
    ASSERT_TRUE(qgis);
    // Mode 4 is "start and end from expressions"; QGIS reads the mode as a number. A
    // scene without a range's end is an instant, never drawn on for ever.
    const XmlElement* temporal = qgis->child("temporal");
    ASSERT_TRUE(temporal);
    EXPECT_EQ(temporal->attribute("enabled"), "1");
    EXPECT_EQ(temporal->attribute("mode"), "4");
    EXPECT_EQ(temporal->attribute("startExpression"), "\"acquired\"");
    EXPECT_EQ(temporal->attribute("endExpression"), "coalesce(\"acquired_end\", \"acquired\")");
    ASSERT_TRUE(qgis->child("previewExpression"));
    const std::string start = temporal->attribute("startField");
    EXPECT_TRUE(std::ranges::any_of(kFields, [&](const FieldKind& kind) {
        return kind.name == start && kind.type == OFTDateTime;
    })) << start;
    EXPECT_EQ(start, "acquired");
    EXPECT_TRUE(temporal->child("fixedRange"));
    // A shapefile holds the day alone: each scene lasts that whole day, so that a
    // controller stepping by hours still finds it.
    const std::optional<XmlElement> days = ParseXml(ShapefileStyleQml());
    ASSERT_TRUE(days && days->child("temporal"));
    EXPECT_EQ(days->child("temporal")->attribute("endExpression"),
              "coalesce(\"acquired_e\", \"acquired\") + to_interval('1 day')");
}

// Thin, partly transparent outlines and no fill, which stay light where thousands of
// scenes overlap.
TEST(LayerStyle, QmlSymbolStaysLightAtArchiveDensity) {
    const std::optional<XmlElement> qgis = ParseXml(FootprintStyleQml());
    ASSERT_TRUE(qgis);
    const XmlElement* renderer = qgis->child("renderer-v2");
    ASSERT_TRUE(renderer);
    EXPECT_EQ(renderer->attribute("type"), "singleSymbol");
    const XmlElement* symbols = renderer->child("symbols");
    ASSERT_TRUE(symbols);
    const XmlElement* symbol = symbols->child("symbol");
    ASSERT_TRUE(symbol);
    EXPECT_EQ(symbol->attribute("type"), "fill");
    EXPECT_EQ(symbol->attribute("alpha"), "1");
    const XmlElement* layer = symbol->child("layer");
    ASSERT_TRUE(layer);
    EXPECT_EQ(layer->attribute("class"), "SimpleFill");
    // QGIS 3 reads the option map; the legacy properties say the same.
    const XmlElement* map = layer->child("Option");
    ASSERT_TRUE(map);
    std::map<std::string, std::string> options, props;
    for (const XmlElement& option : map->children)
        options[option.attribute("name")] = option.attribute("value");
    for (const XmlElement& prop : layer->children)
        if (prop.name == "prop")
            props[prop.attribute("k")] = prop.attribute("v");
    EXPECT_EQ(options, props);
    EXPECT_EQ(options["style"], "no");
    const std::vector<int> outline = Rgba(options["outline_color"]);
    ASSERT_EQ(outline.size(), 4u);
    EXPECT_GE(outline[3], 255 * 25 / 100);
    EXPECT_LE(outline[3], 255 * 60 / 100);
    // Outlines stacked thirty deep add up to solid red whatever their own opacity: the
    // layer's opacity keeps the map beneath showing, and QGIS applies it in the
    // Rendering category.
    ASSERT_TRUE(qgis->child("layerOpacity"));
    EXPECT_LE(std::stod(qgis->child("layerOpacity")->text), 0.4);
    EXPECT_NE(qgis->attribute("styleCategories").find("Rendering"), std::string::npos);
    EXPECT_GT(std::stod(options["outline_width"]), 0);
    EXPECT_LE(std::stod(options["outline_width"]), 0.3);
    EXPECT_EQ(options["outline_width_unit"], "MM");
}

// Every field has its alias, at its place, the measured ones with their unit; the map
// tip's expressions name the granule, the date and the cloud cover.
TEST(LayerStyle, QmlNamesTheFieldsAndTipsTheScene) {
    const std::optional<XmlElement> qgis = ParseXml(FootprintStyleQml());
    ASSERT_TRUE(qgis);
    const XmlElement* list = qgis->child("aliases");
    ASSERT_TRUE(list);
    std::map<std::string, std::pair<std::string, std::string>> aliases; // index, name
    for (const XmlElement& alias : list->children)
        aliases[alias.attribute("field")] = {alias.attribute("index"), alias.attribute("name")};
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        SCOPED_TRACE(kFields[i].name);
        ASSERT_TRUE(aliases.contains(kFields[i].name));
        EXPECT_EQ(aliases[kFields[i].name].first, std::to_string(i));
        const std::string& name = aliases[kFields[i].name].second;
        EXPECT_FALSE(name.empty());
        const std::string_view field = kFields[i].name;
        const bool degrees =
            field.starts_with("lat") || field.starts_with("lon") || field.starts_with("sun_");
        if (field == "cloud" || degrees) {
            EXPECT_NE(name.find(degrees ? "(\xc2\xb0)" : "(%)"), std::string::npos) << name;
        }
    }
    EXPECT_EQ(aliases.size(), kFields.size());
    const XmlElement* mapTip = qgis->child("mapTip");
    ASSERT_TRUE(mapTip);
    for (const char* field : {"\"granule\"", "\"acq_date\"", "\"cloud\""})
        EXPECT_NE(mapTip->text.find(field), std::string::npos) << field;
    std::size_t open = 0, close = 0;
    for (std::size_t at = 0; (at = mapTip->text.find("[%", at)) != std::string::npos; ++at)
        ++open;
    for (std::size_t at = 0; (at = mapTip->text.find("%]", at)) != std::string::npos; ++at)
        ++close;
    EXPECT_EQ(open, 3u);
    EXPECT_EQ(close, open);
}

// GeoJSON has its numbers as text: each as the metadata file writes it, and read back
// as the same double; the footprint's points as it keeps them, never rounded further. GDAL shortens
// one whose digits hold six zeros or nines in a row (35.8723100000001 becomes 35.87231).
TEST(FootprintLayer, GeoJsonWritesNumbersAsTheFileDoes) {
    const std::vector<std::string> lats{"36.512345", "36.402871", "35.87231", "35.981734"};
    const std::vector<std::string> lons{"-77.1786039739731", "-76.502783", "-76.999999",
                                        "-77.3426510000012"};
    TempFolder scenes;
    const auto joined = [](const std::vector<std::string>& values) {
        return values[0] + ", " + values[1] + ", " + values[2] + ", " + values[3];
    };
    scenes.write("a.met", CloudyScene("12.3", joined(lats), joined(lons)));
    scenes.write("filelist.txt", "a.met\r\n");
    TestReport report;
    ASSERT_FALSE(Write(scenes, "fp.geojson", report));
    const std::string text = scenes.read("fp.geojson");
    std::vector<std::pair<std::string, std::string>> values{{"cloud", "12.3"}};
    for (std::size_t i = 0; i < 4; ++i) {
        values.emplace_back("lat" + std::to_string(i + 1), lats[i]);
        values.emplace_back("lon" + std::to_string(i + 1), lons[i]);
    }
    GDALDatasetUniquePtr dataset(
        GDALDataset::Open(scenes.file("fp.geojson").c_str(), GDAL_OF_VECTOR));
    const OGRFeatureUniquePtr feature(dataset->GetLayer(0)->GetNextFeature());
    ASSERT_TRUE(feature);
    for (const auto& [field, value] : values) {
        SCOPED_TRACE(field);
        EXPECT_NE(text.find("\"" + field + "\": " + value + ","), std::string::npos);
        EXPECT_EQ(feature->GetFieldAsDouble(field.c_str()), std::stod(value));
    }
    // The footprint's points as well: the corners, to the 7 decimals a footprint keeps.
    for (const std::string point : {"[ -76.999999, 35.87231 ]", "[ -77.178604, 36.512345 ]"})
        EXPECT_NE(text.find(point), std::string::npos) << point << "\n" << text;
}

TEST(FootprintLayer, DriversThatCannotGiveOneCheckedFileAreRefusedBeforeWriting) {
    TempFolder folder;
    WriteThreeScenes(folder);
    const auto before = Snapshot(folder);
    for (const auto& [driver, output] :
         std::vector<std::pair<std::string, std::string>>{{"PGDUMP", "x.sql"},
                                                          {"Memory", "x.mem"},
                                                          {"XLSX", "x.xlsx"},
                                                          {"MVT", "x.mvt"},
                                                          {"ESRI Shapefile", "x.out"},
                                                          {"CSV", "x.out"}}) {
        SCOPED_TRACE(driver);
        TestReport report;
        const auto error = Write(folder, output, report, false, driver);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EINVAL);
        EXPECT_EQ(Snapshot(folder), before);
    }
    SCOPED_TRACE("FlatGeobuf writes the file named, whatever its extension");
    TestReport report;
    ASSERT_FALSE(Write(folder, "x.out", report, false, "FlatGeobuf"));
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.file("x.out")));
    EXPECT_EQ(Read(folder.file("x.out")).features.size(), 3u);
    EXPECT_EQ(folder.read("x.qml"), FootprintStyleQml());
}

TEST(LayerCheck, KmlIsStreamedAndCounted) {
    const std::string placemark =
        "<Placemark><name>a</name><MultiGeometry><Polygon><outerBoundaryIs><LinearRing>"
        "<coordinates>0,0 1,0 1,1 0,0</coordinates></LinearRing></outerBoundaryIs></Polygon>"
        "</MultiGeometry></Placemark>";
    const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<kml "
                             "xmlns=\"http://www.opengis.net/kml/2.2\"><Document><Folder>";
    const std::string tail = "</Folder></Document></kml>\n";
    const std::string whole = head + placemark + placemark + tail;
    struct Case {
        std::string text;
        std::int64_t features;
        bool ok;
    };
    for (const Case& c : std::vector<Case>{
             {whole, 2, true},
             {whole, 3, false},
             {whole.substr(0, whole.size() - 8), 2, false}, // cut short
             {head + placemark + "<Placemark><name>b</name></Placemark>" + tail, 2, false},
             {head + placemark + placemark + "</Document>" + tail, 2, false}, // ill-formed
         }) {
        SCOPED_TRACE(c.text);
        TempFolder folder;
        folder.write("x.kml", c.text);
        GdalMessages messages;
        TempFolder scratch;
        WrittenFeatures features;
        ASSERT_FALSE(features.open(scratch.path(), "out/x.kml"));
        for (std::int64_t i = 1; i <= c.features; ++i)
            ASSERT_FALSE(features.add({static_cast<std::int32_t>(i), {}}));
        const WrittenLayer layer{folder.path(), folder.file("x.kml"), "KML", "out/x.kml", features};
        const auto error = CheckWrittenLayer(layer, messages);
        EXPECT_EQ(!error, c.ok);
        if (error) {
            EXPECT_NE(error->description.find("out/x.kml"), std::string::npos);
        }
    }
}

// The features kept aside fail under the output's name, which the user knows, never
// under the scratch folder's, which is gone once the run has failed.
TEST(WrittenFeatures, AFailureNamesTheOutput) {
    TempFolder scratch;
    const int status = test::InChild([&scratch] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64 * 1024, 64 * 1024};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return test::kSkip;
        WrittenFeatures features;
        if (features.open(scratch.path(), "out/x.geojson"))
            return 1;
        for (std::int32_t scene = 1; scene <= 100'000; ++scene) {
            if (const auto error = features.add({scene, {}}))
                return error->code == EFBIG && error->description == "File too large: out/x.geojson"
                           ? 0
                           : 2;
        }
        return 3;
    });
    if (status == test::kSkip)
        GTEST_SKIP() << "no file size limit can be set here";
    EXPECT_EQ(status, 0);
}

// Under every file size limit a write either fails and leaves the earlier layer exactly as
// it was, or succeeds with a layer that reads back whole; formats differ in where their
// drivers let a short write pass.
struct LimitCase {
    std::string output;
    bool spatialIndex;
    long step; // bytes between limits tried
};

// Under a sanitizer a run costs ten times as much or more: every 7th byte is tried under
// AddressSanitizer and every 13th under ThreadSanitizer (a GeoPackage's step grows as
// much), and every boundary of each file the layer has, so that a write cut just before,
// at or just after the end of a file is still seen.
#if defined(__SANITIZE_THREAD__)
constexpr long kSanitizerStride = 13;
#elif defined(__SANITIZE_ADDRESS__)
constexpr long kSanitizerStride = 7;
#else
constexpr long kSanitizerStride = 1;
#endif

// The limits to try: every `step` bytes up to just beyond the largest file, and the
// bytes around each file's end.
std::vector<long> LimitsToTry(const std::map<std::string, std::string>& files, long step) {
    std::set<long> limits;
    std::size_t largest = 0;
    for (const auto& [name, bytes] : files) {
        largest = std::max(largest, bytes.size());
        for (const long around : {-1L, 0L, 1L})
            limits.insert(std::max(0L, static_cast<long>(bytes.size()) + around));
    }
    for (long limit = 0; limit <= static_cast<long>(largest) + step; limit += step)
        limits.insert(limit);
    return {limits.begin(), limits.end()};
}

class ByteLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ByteLimits, EarlierLayerOrAWholeNewOne) {
    const LimitCase& c = GetParam();
    // Thousands of runs: in memory where the machine has a file system there.
    const std::string base = ::access("/dev/shm", W_OK) == 0
                                 ? "/dev/shm"
                                 : std::filesystem::temp_directory_path().string();
    TempFolder scenes(base);
    // A one-part and a two-part footprint, in as few bytes as they take.
    scenes.write("a.met", SceneText("18:32:07.414000Z", "2003-04-12", kLats, kLons));
    scenes.write("c.met", SceneText("00:00:00Z", "2003-07-01", kCutLats, kCutLons));
    scenes.write("filelist.txt", "a.met\r\nc.met\r\n");
    const auto write = [&](const std::string& output) {
        TestReport report;
        Progress progress;
        FootprintOptions options = Options(output, true, {}, c.spatialIndex);
        options.readAhead.threads = 0; // three files need no threads started in every run
        return WriteFootprints(FolderPrefix(scenes.path()), options, report, progress);
    };
    // Every field and geometry of every feature, as a whole layer reads back.
    const auto contents = [](const std::string& output) {
        std::vector<std::pair<std::map<std::string, std::string>, std::string>> features;
        for (ReadFeature& feature : Read(output).features) {
            char* wkt = nullptr;
            if (feature.footprint)
                feature.footprint->exportToWkt(&wkt);
            features.emplace_back(std::move(feature.fields), wkt != nullptr ? wkt : "<none>");
            CPLFree(wkt);
        }
        return features;
    };

    // Runs go on in several children at once, each with an output folder of its own that
    // holds its earlier layer: one core's worth of runs per core.
    struct Worker {
        std::unique_ptr<TempFolder> out;
        std::map<std::string, std::string> earlier;
        pid_t child = -1;
        long limit = 0;
    };
    std::vector<Worker> workers(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
    for (Worker& worker : workers) {
        worker.out = std::make_unique<TempFolder>(base);
        ASSERT_FALSE(write(worker.out->file(c.output)));
        worker.earlier = Snapshot(*worker.out);
    }
    const std::string first = workers[0].out->file(c.output);
    const auto whole = contents(first);
    ASSERT_EQ(whole.size(), 2u);

    constexpr int kWritten = 0, kFailed = 10, kNamedScratch = 11, kUnexplained = 12;
    int failures = 0, successes = 0;
    const auto start = [&](Worker& worker, long limit) {
        worker.limit = limit;
        const std::string output = worker.out->file(c.output);
        worker.child = test::StartChild([&write, output, limit] {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit size{};
            ::getrlimit(RLIMIT_FSIZE, &size);
            size.rlim_cur = static_cast<rlim_t>(limit);
            ::setrlimit(RLIMIT_FSIZE, &size);
            const auto error = write(output);
            if (!error)
                return kWritten;
            if (error->description.find(".aster-") != std::string::npos)
                return kNamedScratch;
            // Every format names the limit it met, in words of its own or the system's.
            const bool explained = error->hint.find("ulimit -f") != std::string::npos &&
                                   error->description.find("unknown") == std::string::npos;
            return explained ? kFailed : kUnexplained;
        });
    };
    // What a finished child left, judged in its own worker's folder.
    const auto finish = [&](Worker& worker, int status) {
        SCOPED_TRACE("limit " + std::to_string(worker.limit));
        worker.child = -1;
        EXPECT_TRUE(status == kWritten || status == kFailed) << "status " << status;
        EXPECT_FALSE(ScratchLeft(*worker.out));
        if (status != kWritten) {
            ++failures;
            EXPECT_EQ(Snapshot(*worker.out), worker.earlier);
            return;
        }
        ++successes;
        EXPECT_EQ(contents(worker.out->file(c.output)), whole);
        worker.earlier = Snapshot(*worker.out);
    };

    const std::vector<long> limits = LimitsToTry(workers[0].earlier, c.step * kSanitizerStride);
    std::size_t next = 0;
    for (std::size_t running = 0; next < limits.size() || running > 0;) {
        if (next < limits.size() && running < workers.size() && !HasFailure()) {
            for (Worker& worker : workers) {
                if (worker.child < 0) {
                    start(worker, limits[next++]);
                    ++running;
                    break;
                }
            }
            continue;
        }
        int status = 0;
        const pid_t done = ::waitpid(-1, &status, 0);
        ASSERT_GT(done, 0);
        for (Worker& worker : workers) {
            if (worker.child == done) {
                --running;
                finish(worker, test::ExitStatus(status));
            }
        }
    }
    EXPECT_GT(failures, 0);
    EXPECT_GT(successes, 0);
}

// One byte at a time, except for the GeoPackage: SQLite writes pages of 4 KiB into a
// file of some 100 KiB, so every 251st byte meets each page at 16 offsets in 400 runs
// instead of a hundred thousand.
INSTANTIATE_TEST_SUITE_P(
    EveryFormat, ByteLimits,
    ::testing::Values(LimitCase{"fp.gpkg", true, 251}, LimitCase{"fp.shp", true, 1},
                      LimitCase{"fp.geojson", true, 1}, LimitCase{"fp.fgb", true, 1},
                      LimitCase{"fp.fgb", false, 1}, LimitCase{"fp.kml", true, 1},
                      LimitCase{"fp.csv", true, 1}),
    [](const ::testing::TestParamInfo<LimitCase>& info) {
        std::string name = info.param.output.substr(3);
        return name + (info.param.spatialIndex ? "" : "_without_index");
    });

TEST(FootprintLayer, MissingListAsForTheTextFiles) {
    TempFolder folder;
    test::FakeCatalogueHost host(folder.path());
    host.polys = true;
    const auto textError = MakeTextFiles(host);
    TestReport report;
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
    // A Latin-1 name in a folder whose name is UTF-8 leaves the folder's name as it is.
    ::mkdir(folder.file("sc\xc3\xa8nes").c_str(), 0755);
    folder.write("sc\xc3\xa8nes/lat\xe9.met", scene);
    folder.write("filelist.txt",
                 "caf\xe9.met\r\nna\xc3\xafve.met\r\nsc\xc3\xa8nes/lat\xe9.met\r\n");
    // Two layers of one name would share their .qml.
    for (const std::string output : {"fp.shp", "gp.gpkg"}) {
        SCOPED_TRACE(output);
        TestReport report;
        ASSERT_FALSE(Write(folder, output, report));
        const ReadLayer layer = Read(folder.file(output));
        ASSERT_EQ(layer.features.size(), 3u);
        EXPECT_EQ(layer.features[0].fields.at("name"), "caf\xc3\xa9.met");
        EXPECT_EQ(layer.features[0].fields.at("path"), folder.file("caf\xc3\xa9.met"));
        EXPECT_EQ(layer.features[1].fields.at("name"), "na\xc3\xafve.met");
        EXPECT_EQ(layer.features[2].fields.at("path"),
                  folder.file("sc\xc3\xa8nes/lat\xc3\xa9.met"));
        EXPECT_EQ(layer.features[2].fields.at("name"), "lat\xc3\xa9.met");
    }
    EXPECT_EQ(folder.read("fp.cpg"), "UTF-8");
}

} // namespace
} // namespace aster

namespace aster {
namespace {

// The sun angles, cloud cover and the acquisition's end of a scene as the layer and both
// STAC forms write them, "-" for none: what every output writes is cleaned once, so they
// agree.
TEST(EveryOutput, OddValuesWrittenAlikeByTheLayerAndBothStacForms) {
    const struct {
        const char *azimuth, *elevation, *cloud, *end;
        std::string written; // azimuth, elevation, cloud, whether there is an end
    } cases[] = {
        // A scene cover out of range leaves the file's QA cover (15) to stand for it.
        {"-10", "95", "101", "18:32:16.302", "350 - 15 end"},
        {"370.5", "-90", "0", "18:32:07.414", "10.5 -90 0 end"},
        {"360", "90", "100", "18:32:07.413", "0 90 100 -"}, // ends before it begins
        {"NaN", "-90.5", "-0.1", "noon", "- - 15 -"},
        {"1e400", "abc", "50", "18:32:16.302", "- - 50 end"},
    };
    TempFolder scenes, out;
    std::string list;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::string text = test::GranuleOdl();
        const auto replace = [&text](const std::string& from, const std::string& to) {
            text.replace(text.find(from), from.size(), to);
        };
        replace("\"142.615\"", std::string("\"") + cases[i].azimuth + "\"");
        replace("\"58.7\"", std::string("\"") + cases[i].elevation + "\"");
        replace("\"12\"", std::string("\"") + cases[i].cloud + "\"");
        replace("\"18:32:16.302000\"", std::string("\"") + cases[i].end + "\"");
        replace("_12345.hdf", "_" + std::to_string(i) + ".hdf");
        scenes.write("s" + std::to_string(i) + ".met", text);
        list += "s" + std::to_string(i) + ".met\n";
    }
    scenes.write("filelist.txt", list);
    TestReport report;
    ASSERT_FALSE(Write(scenes, out.file("fp.gpkg"), report));
    ASSERT_EQ(report.written, static_cast<std::int64_t>(std::size(cases)));
    SceneRunHost host;
    SceneRunReport items;
    StacOptions catalogue;
    catalogue.outputPath = out.file("cat");
    ASSERT_FALSE(WriteStac(FolderPrefix(scenes.path()), catalogue, items, host));
    catalogue.outputPath = out.file("items.json");
    ASSERT_FALSE(WriteStac(FolderPrefix(scenes.path()), catalogue, items, host));

    const auto number = [](double value) {
        std::ostringstream text;
        text << value;
        return text.str();
    };
    const ReadLayer layer = Read(out.file("fp.gpkg"));
    const std::string collection = out.read("items.json");
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].written);
        const auto field = [&](const char* name) {
            const auto& fields = layer.features[i].fields;
            return fields.count(name) ? fields.at(name) : "-";
        };
        EXPECT_EQ(field("sun_azim") + " " + field("sun_elev") + " " + field("cloud") +
                      (field("acquired_end") == "-" ? " -" : " end"),
                  cases[i].written);
        const std::string id = "AST_L1B_00304122003183207_20030413120012_" + std::to_string(i);
        const rapidjson::Document item =
            test::ParseJson(out.read("cat/" + id + "/" + id + ".json"));
        const auto property = [&](const rapidjson::Value& feature, const char* name) {
            const auto& properties = feature["properties"];
            return properties.HasMember(name) ? number(properties[name].GetDouble())
                                              : std::string("-");
        };
        const auto values = [&](const rapidjson::Value& feature) {
            return property(feature, "view:sun_azimuth") + " " +
                   property(feature, "view:sun_elevation") + " " +
                   property(feature, "eo:cloud_cover") +
                   (feature["properties"].HasMember("end_datetime") ? " end" : " -");
        };
        EXPECT_EQ(values(item), cases[i].written);
        const rapidjson::Document features = test::ParseJson(collection);
        EXPECT_EQ(values(features["features"][static_cast<rapidjson::SizeType>(i)]),
                  cases[i].written);
    }
}

// Every file under `path` (or the file itself) with its bytes, to tell whether an output
// changed.
std::map<std::string, std::string> Snapshot(const std::string& path) {
    std::map<std::string, std::string> files;
    const auto bytes = [](const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    if (!std::filesystem::is_directory(path))
        return {{path, bytes(path)}};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path))
        files[entry.path().string()] = entry.is_regular_file() ? bytes(entry.path()) : "";
    return files;
}

// A run that reads no scene keeps an earlier output rather than emptying it, whether its
// files all fail or a search found none; a list with no line, or no earlier output, is
// written as asked.
TEST(EveryOutput, AnEarlierOutputKeptWhenTheRunReadsNothing) {
    TempFolder scenes, out;
    scenes.write("a.met", test::GranuleOdl());
    scenes.write("filelist.txt", "a.met\n");
    const std::string folder = scenes.path();
    const auto run = [&](const std::string& output, const std::string& list, bool searched) {
        const std::string listPath = list.empty() ? std::string() : scenes.file(list);
        SceneRunHost host;
        if (output.ends_with(".gpkg")) {
            FootprintOptions options = Options(out.file(output), true);
            options.listPath = listPath;
            options.listedTree = searched;
            FootprintReport report;
            return WriteFootprints(FolderPrefix(folder), options, report, host);
        }
        StacOptions options;
        options.outputPath = out.file(output);
        options.overwrite = true;
        options.listPath = listPath;
        options.listSearched = searched;
        SceneRunReport report;
        return WriteStac(FolderPrefix(folder), options, report, host);
    };
    scenes.write("bad.txt", "bad.met\n");
    scenes.write("bad.met", "no metadata");
    scenes.write("none.txt", "");
    const struct {
        const char* list;
        bool searched;
        const char* kept; // the start of the error, or nothing for a run that replaces
    } cases[] = {
        {"bad.txt", false, "No listed file of "},
        {"bad.txt", true, "No listed file of "},
        {"none.txt", true, "No file of "},
        {"none.txt", false, nullptr},
    };
    for (const char* output : {"fp.gpkg", "cat", "items.json"}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(output) + " " + c.list + (c.searched ? " searched" : ""));
            std::filesystem::remove_all(out.file(output));
            ASSERT_FALSE(run(output, "", false));
            const auto earlier = Snapshot(out.file(output));
            const std::optional<Error> error = run(output, c.list, c.searched);
            if (!c.kept) {
                EXPECT_FALSE(error) << error->description;
                EXPECT_NE(Snapshot(out.file(output)), earlier);
                continue;
            }
            ASSERT_TRUE(error);
            EXPECT_EQ(error->code, ENODATA);
            EXPECT_EQ(error->description,
                      c.kept + folder +
                          (c.kept[3] == 'l' ? " gave a scene" : " was found to read") +
                          ", so the earlier " + out.file(output) + " was kept as it is");
            EXPECT_EQ(Snapshot(out.file(output)), earlier);
            // Without an earlier output there is nothing to keep: the empty one is written.
            std::filesystem::remove_all(out.file(output));
            EXPECT_FALSE(run(output, c.list, c.searched));
            EXPECT_TRUE(std::filesystem::exists(out.file(output)));
        }
    }
    std::set<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(out.path()))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string>{"cat", "fp.gpkg", "fp.qml", "items.json"}))
        << "no scratch left";
}

} // namespace
} // namespace aster
