#include "fileio/folder.h"
#include "footprints/footprint_layer.h"
#include "footprints/output_formats.h"
#include "stac/stac_catalogue.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <gdal_priv.h>
#include <gtest/gtest.h>
#include <ogrsf_frmts.h>
#include <sqlite3.h>

#include <csignal>
#include <functional>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace aster {
namespace {

using test::TempFolder;

// Two scenes and a list of them, and a large listed file that a run which started reading
// would read whole: a refusal before the run shows in the bytes read.
constexpr long long kLargeListed = 8 << 20;
void WriteScenes(const TempFolder& folder) {
    const std::string lats = "34.1, 34.0, 33.4, 33.5", lons = "-118.1, -117.4, -117.6, -118.3";
    folder.write("a.met", test::SceneText("18:32:07Z", "2003-04-12", lats, lons));
    folder.write("b.met", test::SceneText("18:33:07Z", "2003-04-12", lats, lons));
    folder.write("large.met", std::string(kLargeListed, ' '));
    folder.write("filelist.txt", "a.met\r\nb.met\r\nlarge.met\r\n");
}

struct Outcome {
    std::optional<Error> error;
    long long bytesRead = 0;
};

Outcome WriteLayer(const TempFolder& scenes, const std::string& output, bool overwrite,
                   const std::string& driver = {}) {
    FootprintOptions options;
    options.outputPath = output;
    options.overwrite = overwrite;
    options.driverName = driver;
    FootprintReport report;
    SceneRunHost progress;
    const long long before = test::BytesRead();
    Outcome run;
    run.error = WriteFootprints(FolderPrefix(scenes.path()), options, report, progress);
    run.bytesRead = test::BytesRead() - before;
    return run;
}

Outcome WriteCatalogue(const TempFolder& scenes, const std::string& output, bool overwrite) {
    StacOptions options;
    options.outputPath = output;
    options.overwrite = overwrite;
    SceneRunReport report;
    SceneRunHost host;
    const long long before = test::BytesRead();
    Outcome run;
    run.error = WriteStac(FolderPrefix(scenes.path()), options, report, host);
    run.bytesRead = test::BytesRead() - before;
    return run;
}

// Refused before any listed file was read, with the message and the number given.
void ExpectRefused(const Outcome& run, int code, const std::string& inMessage) {
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->code, code) << run.error->description;
    EXPECT_NE(run.error->description.find(inMessage), std::string::npos) << run.error->description;
    EXPECT_FALSE(run.error->hint.empty());
    EXPECT_LT(run.bytesRead, kLargeListed);
}

std::map<std::string, std::string> Snapshot(const TempFolder& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
        files[entry.path().filename().string()] = folder.read(entry.path().filename().string());
    return files;
}

struct CloseDb {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, CloseDb>;

Db Open(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    return Db(db);
}

void Exec(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : "?";
        sqlite3_free(message);
        throw std::runtime_error(sql + ": " + text);
    }
}

long long Count(const std::string& path, const std::string& table) {
    const Db db = Open(path);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db.get(), ("SELECT count(*) FROM " + table).c_str(), -1, &statement,
                       nullptr);
    const long long count =
        sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    return count;
}

// The layer names GDAL reads from a package.
std::vector<std::string> LayerNames(const std::string& path) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR));
    std::vector<std::string> names;
    for (int i = 0; dataset && i < dataset->GetLayerCount(); ++i)
        names.emplace_back(dataset->GetLayer(i)->GetName());
    return names;
}

// What GDAL reads from a package that aster wrote.
const std::vector<std::string> kAstersLayers{"fp"};

// The style table that earlier versions wrote into a package, as QGIS makes it, holding
// the layer's one style.
constexpr const char* kEarlierStyleTable =
    "CREATE TABLE layer_styles (id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
    " f_table_catalog TEXT(256), f_table_schema TEXT(256), f_table_name TEXT(256),"
    " f_geometry_column TEXT(256), styleName TEXT(30), styleQML TEXT, styleSLD TEXT,"
    " useAsDefault BOOLEAN, description TEXT, owner TEXT(30), ui TEXT(30),"
    " update_time DATETIME DEFAULT CURRENT_TIMESTAMP);"
    "INSERT INTO gpkg_contents (table_name, data_type, identifier)"
    " VALUES ('layer_styles', 'attributes', 'layer_styles');"
    "INSERT INTO layer_styles (f_table_catalog, f_table_schema, f_table_name,"
    " f_geometry_column, styleName, styleQML, styleSLD, useAsDefault, description, owner)"
    " VALUES ('', '', 'fp', 'geom', 'fp', '<qgis/>', '', 1, 'Outlines only, no fill', '');";

// A layer added beside aster's, as a user adds one in a GIS.
void AddLayer(const std::string& path, const char* name, OGRwkbGeometryType type) {
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_UPDATE));
    OGRLayer* layer = dataset->CreateLayer(name, nullptr, type, nullptr);
    OGRFieldDefn field("note", OFTString);
    layer->CreateField(&field);
    OGRFeatureUniquePtr feature(OGRFeature::CreateFeature(layer->GetLayerDefn()));
    feature->SetField("note", "kept");
    if (layer->CreateFeature(feature.get()) != OGRERR_NONE)
        throw std::runtime_error("cannot add a feature to " + path);
}

// A journal beside the earlier package, or left where there is none: refused with or
// without --overwrite, naming the journal; nothing beside it changes, and the earlier
// package, once SQLite has applied its journal, still holds what it held.
TEST(OutputSafety, JournalsBesideASqliteOutput) {
    TempFolder scenes;
    WriteScenes(scenes);
    struct Case {
        const char* what;
        const char* output;
        bool earlier;
        const char* journal;
        // Makes the journal; what it returns is closed after the run.
        std::function<Db(const std::string& path)> make;
        long long changedAfter; // rows changed in the earlier layer, once SQLite applied it
    };
    const auto leftover = [](const char* suffix) {
        return [suffix](const std::string& path) {
            std::ofstream(path + suffix) << "left over";
            return Db();
        };
    };
    const Case cases[] = {
        {"another program holds unsaved changes in WAL mode", "fp.gpkg", true, "fp.gpkg-wal",
         [](const std::string& path) {
             Db db = Open(path);
             Exec(db.get(),
                  "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                  "UPDATE gpkg_contents SET description = 'changed' WHERE table_name = 'fp'");
             return db;
         },
         1},
        {"a writer stopped in the middle of a change", "fp.gpkg", true, "fp.gpkg-journal",
         [](const std::string& path) {
             const int status = test::InChild([&path] {
                 Db db = Open(path);
                 Exec(db.get(), "BEGIN; UPDATE gpkg_contents SET description = 'changed' "
                                "WHERE table_name = 'fp'");
                 // The change reaches the file, uncommitted, and the writer dies.
                 if (sqlite3_db_cacheflush(db.get()) != SQLITE_OK)
                     return 1;
                 ::_exit(0);
             });
             if (status != 0)
                 throw std::runtime_error("the writer failed");
             return Db();
         },
         0},
        {"shared memory left beside the package", "fp.gpkg", true, "fp.gpkg-shm", leftover("-shm"),
         0},
        {"a log left where the package was removed", "fp.gpkg", false, "fp.gpkg-wal",
         leftover("-wal"), 0},
        {"shared memory left where the package was removed", "fp.gpkg", false, "fp.gpkg-shm",
         leftover("-shm"), 0},
        {"a journal left where the package was removed", "fp.gpkg", false, "fp.gpkg-journal",
         leftover("-journal"), 0},
        {"a log beside GDAL's SQLite format", "fp.sqlite", false, "fp.sqlite-wal", leftover("-wal"),
         0},
    };
    for (const Case& c : cases) {
        for (const bool overwrite : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (overwrite ? ", --overwrite" : ""));
            TempFolder out;
            const std::string path = out.file(c.output);
            if (c.earlier) {
                ASSERT_FALSE(WriteLayer(scenes, path, false).error);
            }
            Db holder = c.make(path);
            const auto before = Snapshot(out);
            const std::string driver = path.ends_with(".sqlite") ? "SQLite" : "";
            ExpectRefused(WriteLayer(scenes, path, overwrite, driver), EBUSY, out.file(c.journal));
            EXPECT_EQ(Snapshot(out), before);
            holder.reset();
            if (c.earlier) {
                EXPECT_EQ(Count(path, "gpkg_contents WHERE description = 'changed'"),
                          c.changedAfter);
                EXPECT_EQ(Count(path, "fp"), 2);
                EXPECT_EQ(LayerNames(path), kAstersLayers);
            }
        }
    }
}

// Whatever journal mode GDAL was told to write in, the new package is published alone,
// in rollback mode, so that no journal of its own goes with it or is needed to read it.
TEST(OutputSafety, ANewPackageStandsAlone) {
    TempFolder scenes;
    WriteScenes(scenes);
    for (const char* mode : {"WAL", "DELETE", "TRUNCATE"}) {
        SCOPED_TRACE(mode);
        CPLSetConfigOption("OGR_SQLITE_JOURNAL", mode);
        TempFolder out;
        const auto run = WriteLayer(scenes, out.file("fp.gpkg"), false);
        CPLSetConfigOption("OGR_SQLITE_JOURNAL", nullptr);
        ASSERT_FALSE(run.error) << run.error->description;
        const auto files = Snapshot(out);
        EXPECT_EQ(files.size(), 2u);
        EXPECT_TRUE(files.contains("fp.qml"));
        const std::string header = out.read("fp.gpkg").substr(18, 2);
        EXPECT_EQ(header, std::string("\x01\x01", 2)); // rollback journal, not WAL
        EXPECT_EQ(Count(out.file("fp.gpkg"), "fp"), 2);
    }
}

// An earlier package is replaced only when it holds nothing but a layer and what aster
// writes with it: anything else is refused, named, and left as it was.
TEST(OutputSafety, APackageHoldingMoreIsNotReplaced) {
    TempFolder scenes;
    WriteScenes(scenes);
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> change;
        const char* named; // in the refusal; empty where the package is replaced
    };
    const auto sql = [](std::string statements) {
        return [statements](const std::string& path) { Exec(Open(path).get(), statements); };
    };
    const Case cases[] = {
        {"aster's own", [](const std::string&) {}, ""},
        {"an earlier version's style", sql(kEarlierStyleTable), ""},
        {"a user's package of one layer",
         [](const std::string& p) {
             std::filesystem::remove(p);
             GDALDatasetUniquePtr(GetGDALDriverManager()->GetDriverByName("GPKG")->Create(
                 p.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
             AddLayer(p, "roads", wkbLineString);
         },
         ""},
        {"a second layer", [](const std::string& p) { AddLayer(p, "roads", wkbLineString); },
         "the layer roads"},
        {"a table of attributes", [](const std::string& p) { AddLayer(p, "notes", wkbNone); },
         "the table notes"},
        {"a table GDAL does not list", sql("CREATE TABLE extra(a); INSERT INTO extra VALUES (1)"),
         "the table extra"},
        {"a view", sql("CREATE VIEW v AS SELECT scene FROM fp"), "the view v"},
        {"a second style of the layer",
         sql(std::string(kEarlierStyleTable) +
             "INSERT INTO layer_styles(f_table_name, styleName) VALUES ('fp', 'mine')"),
         "the style \"mine\" of fp in layer_styles"},
        {"another layer's style",
         sql(std::string(kEarlierStyleTable) +
             "UPDATE layer_styles SET f_table_name = 'other', styleName = 'other'"),
         "the style \"other\" of other in layer_styles"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder out;
        const std::string path = out.file("fp.gpkg");
        ASSERT_FALSE(WriteLayer(scenes, path, false).error);
        c.change(path);
        const auto before = Snapshot(out);
        const auto layers = LayerNames(path);
        const long long rows = Count(path, "fp");
        const Outcome run = WriteLayer(scenes, path, true);
        if (std::string_view(c.named).empty()) {
            ASSERT_FALSE(run.error) << run.error->description;
            EXPECT_EQ(LayerNames(path), kAstersLayers);
            continue;
        }
        ExpectRefused(run, ENOTEMPTY, "holds " + std::string(c.named));
        EXPECT_EQ(Snapshot(out), before);
        EXPECT_EQ(LayerNames(path), layers);
        EXPECT_EQ(Count(path, "fp"), rows);
    }
    // A file that is no database holds no layer to lose, and an --overwrite replaces it.
    TempFolder out;
    out.write("fp.gpkg", "not a database");
    ASSERT_FALSE(WriteLayer(scenes, out.file("fp.gpkg"), true).error);
    EXPECT_EQ(Count(out.file("fp.gpkg"), "fp"), 2);
}

// A device, FIFO or socket at an output's name, or a link to one, is neither written to
// nor replaced, for any output, with or without --overwrite.
TEST(OutputSafety, NoOutputTakesTheNameOfASpecialFile) {
    TempFolder scenes;
    WriteScenes(scenes);
    const std::pair<const char*, std::function<bool(const std::string&)>> makers[] = {
        {"a device",
         [](const std::string& p) {
             return ::mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
         }},
        {"a FIFO", [](const std::string& p) { return ::mkfifo(p.c_str(), 0644) == 0; }},
        {"a socket", [](const std::string& p) { return test::MakeSocket(p), true; }},
        {"a device", [](const std::string& p) { return ::symlink("/dev/null", p.c_str()) == 0; }},
    };
    const std::pair<const char*, bool> outputs[] = {
        {"fp.gpkg", false}, {"fp.shp", false}, {"catalogue", true}, {"items.json", true}};
    for (const auto& [kind, make] : makers) {
        for (const auto& [name, stac] : outputs) {
            for (const bool overwrite : {true, false}) {
                SCOPED_TRACE(std::string(kind) + " at " + name +
                             (overwrite ? ", --overwrite" : ""));
                TempFolder out;
                const std::string path = out.file(name);
                if (!make(path))
                    continue; // a device, where this machine allows no mknod
                struct stat before {};
                ::lstat(path.c_str(), &before);
                const Outcome run = stac ? WriteCatalogue(scenes, path, overwrite)
                                         : WriteLayer(scenes, path, overwrite);
                ExpectRefused(run, EINVAL, path + " is " + kind);
                struct stat after {};
                ::lstat(path.c_str(), &after);
                EXPECT_EQ(after.st_mode, before.st_mode);
                EXPECT_EQ(after.st_ino, before.st_ino);
                EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), {}), 1);
            }
        }
    }
}

// A file or a folder that something is mounted on is refused before the run, with the
// reason, rather than failing to be renamed over after it.
TEST(OutputSafety, AMountPointIsRefusedBeforeTheRun) {
    TempFolder scenes;
    WriteScenes(scenes);
    TempFolder out;
    out.write("source.gpkg", "a file to bind");
    out.write("fp.gpkg", "mounted over");
    ::mkdir(out.file("catalogue").c_str(), 0755);
    const int status = test::InChild([&] {
        if (!test::OwnMountNamespace())
            return test::kSkip;
        if (::mount(out.file("source.gpkg").c_str(), out.file("fp.gpkg").c_str(), nullptr, MS_BIND,
                    nullptr) != 0 ||
            ::mount("tmpfs", out.file("catalogue").c_str(), "tmpfs", 0, "size=64k") != 0)
            return test::kSkip;
        for (const bool overwrite : {true, false}) {
            ExpectRefused(WriteLayer(scenes, out.file("fp.gpkg"), overwrite), EBUSY,
                          out.file("fp.gpkg") + " is a mount point");
            ExpectRefused(WriteCatalogue(scenes, out.file("catalogue"), overwrite), EBUSY,
                          out.file("catalogue") + " is a mount point");
        }
        EXPECT_EQ(out.read("fp.gpkg"), "a file to bind");
        return ::testing::Test::HasFailure() ? 1 : 0;
    });
    if (status == test::kSkip)
        GTEST_SKIP() << "nothing can be mounted here";
    EXPECT_EQ(status, 0);
}

// A layer may not take a name the database keeps for its own tables, in any case.
TEST(OutputSafety, NamesADatabaseKeepsAreAUsageError) {
    const std::pair<const char*, const char*> reserved[] = {
        {"GPKG", "layer_styles.gpkg"},  {"GPKG", "Layer_Styles.gpkg"},
        {"GPKG", "sqlite_master.gpkg"}, {"GPKG", "SQLITE_x.gpkg"},
        {"GPKG", "gpkg_contents.gpkg"}, {"GPKG", "rtree_fp_geom.gpkg"},
        {"SQLite", "sqlite_x.sqlite"},  {"SQLite", "geometry_columns.sqlite"},
    };
    for (const auto& [driver, name] : reserved) {
        SCOPED_TRACE(name);
        const auto error = CheckOutputName(driver, std::string("/out/") + name);
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, EINVAL);
        EXPECT_NE(error->description.find("keeps the name"), std::string::npos);
    }
    const std::pair<const char*, const char*> allowed[] = {
        {"GPKG", "layer_styles2.gpkg"},    {"GPKG", "gpkg.gpkg"},
        {"GPKG", "my_rtree_.gpkg"},        {"ESRI Shapefile", "layer_styles.shp"},
        {"SQLite", "layer_styles.sqlite"},
    };
    for (const auto& [driver, name] : allowed)
        EXPECT_FALSE(CheckOutputName(driver, std::string("/out/") + name)) << name;

    TempFolder scenes;
    WriteScenes(scenes);
    ExpectRefused(WriteLayer(scenes, scenes.file("layer_styles.gpkg"), true), EINVAL,
                  "keeps the name layer_styles");
    EXPECT_FALSE(scenes.exists("layer_styles.gpkg"));
}

// A driver's own refusal is worded as the driver's; a file size limit is named only where
// a layer's file met it or a write failed, and then for every format.
TEST(OutputSafety, TheDiskIsBlamedOnlyWhereItMayBeTheCause) {
    TempFolder scenes;
    WriteScenes(scenes);
    constexpr long kNone = -1;
    struct Case {
        long limit;
        const char* output;
        const char* hintWords; // in the hint of the refusal
    };
    const std::string pcidsk = "GDAL's driver \"PCIDSK\" may not read back what it writes";
    const Case cases[] = {
        {kNone, "fp.pix", pcidsk.c_str()},
        {200000, "fp.pix", pcidsk.c_str()}, // a limit far above what it wrote
        {1000, "fp.pix", "(ulimit -f)"},
        {1000, "fp.gpkg", "(ulimit -f)"},
        {1000, "fp.geojson", "(ulimit -f)"},
        {1000, "fp.fgb", "(ulimit -f)"},
        {1000, "fp.shp", "(ulimit -f)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.output) + " under " + std::to_string(c.limit));
        TempFolder out;
        const int status = test::InChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit size{};
            ::getrlimit(RLIMIT_FSIZE, &size);
            if (c.limit != kNone)
                size.rlim_cur = static_cast<rlim_t>(c.limit);
            ::setrlimit(RLIMIT_FSIZE, &size);
            const std::string driver = std::string_view(c.output).ends_with(".pix") ? "PCIDSK" : "";
            const Outcome run = WriteLayer(scenes, out.file(c.output), false, driver);
            EXPECT_TRUE(run.error);
            if (run.error) {
                EXPECT_EQ(run.error->code, EIO) << run.error->description;
                EXPECT_NE(run.error->hint.find(c.hintWords), std::string::npos)
                    << run.error->description << "\n"
                    << run.error->hint;
                const bool disk = run.error->hint.find("disk") != std::string::npos;
                EXPECT_EQ(disk, c.hintWords != pcidsk.c_str()) << run.error->hint;
            }
            return ::testing::Test::HasFailure() ? 1 : 0;
        });
        EXPECT_EQ(status, 0);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), {}), 0);
    }
}

} // namespace
} // namespace aster
