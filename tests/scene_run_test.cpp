// The scene run on its own, with a writer that keeps what it is given: HDF-EOS files read
// through their ECS texts, values cleaned once for every output, skips named as found.
#include "fileio/folder.h"
#include "metadata/scene_run.h"
#include "tests/granule_samples.h"
#include "tests/hdf_samples.h"
#include "tests/test_support.h"

#include <cmath>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace aster {
namespace {

using test::TempFolder;

struct Kept final : SceneWriter {
    std::vector<Scene> scenes;
    std::int64_t stopAfter = -1;
    bool published = false;
    std::optional<Error> plan() override { return std::nullopt; }
    std::optional<Error> start(const SceneRunHost& /*host*/) override { return std::nullopt; }
    bool needsTime = false; // as STAC does
    bool takes(const SceneMetadata& metadata) const override {
        return !needsTime || metadata.acquired;
    }
    std::unique_ptr<Prepared> prepare(const Scene& scene, std::string& reason) override {
        if (!takes(scene.metadata)) {
            reason = "no acquisition time";
            return nullptr;
        }
        return std::make_unique<Prepared>();
    }
    std::int32_t skipNumber = -1; // the list line whose scene write() skips
    std::optional<Error> write(const Scene& scene, Prepared&,
                               std::string& reason) override {
        if (scene.number == skipNumber) {
            reason = "skipped by the writer";
            return std::nullopt;
        }
        scenes.push_back(scene);
        scenes.back().fullPath = {}; // a view of this turn only
        return std::nullopt;
    }
    std::optional<Error> complete(SceneRunHost&) override { return std::nullopt; }
    std::optional<Error> publish(SceneRunHost&) override {
        published = true;
        return std::nullopt;
    }
    const std::string& shownOutput() const override { return m_name; }
    std::string m_name = "kept";
};

struct Named final : SceneRunHost {
    std::vector<std::pair<std::string, std::string>> named;
    std::int64_t stopAfter = -1;
    std::int64_t done = 0;
    void progress(std::int64_t d, std::int64_t) override { done = d; }
    bool cancelRequested() override { return done == stopAfter; }
    void skipped(std::string_view path, std::string_view reason) override {
        named.emplace_back(FileNameOf(path), reason);
    }
};

void WriteList(const TempFolder& folder, const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names)
        list += name + "\n"; // as find writes them
    folder.write("filelist.txt", list);
}

// HDF files read by their own texts, of which only the blocks holding them are read; one
// whose metadata file is beside it is that file's data; a cut one gives its reason.
TEST(SceneRun, HdfFilesByTheirEcsTexts) {
    TempFolder folder;
    const std::string core = test::GranuleOdl();
    test::WriteHdf(folder.file("a.hdf"), {{"coremetadata.0", core.substr(0, 3000)},
                                          {"coremetadata.1", core.substr(3000)}},
                   2048);
    std::string noId = core;
    const std::size_t id = noId.find("AST_L1B_00304122003183207_20030413120012_12345.hdf");
    noId.replace(id, 50, "");
    test::WriteHdf(folder.file("noid.hdf"), {{"coremetadata.0", noId}});
    test::WriteHdf(folder.file("b.hdf"), {{"coremetadata.0", core}});
    folder.write("b.hdf.xml", test::GranuleXml());
    const std::string cut = folder.read("b.hdf");
    folder.write("cut.hdf", cut.substr(0, cut.size() / 2));
    // Past the bound on files read whole, an HDF file is still read by its texts, and a
    // metadata file is named for its size (sparse files: nothing is written or read).
    const off_t huge = (off_t{1} << 30) + 4096;
    folder.write("big.met", core);
    for (const char* name : {"a.hdf", "b.hdf", "big.met"})
        ASSERT_EQ(::truncate(folder.file(name).c_str(), huge), 0) << name;
    WriteList(folder, {"a.hdf", "noid.hdf", "b.hdf", "b.hdf.xml", "cut.hdf", "big.met"});

    Kept writer;
    Named host;
    SceneRunReport report;
    const long long before = test::BytesRead();
    SceneRunOptions options;
    options.folderPrefix = FolderPrefix(folder.path());
    ASSERT_FALSE(RunScenes(options, writer, host, report));
    // A 4 MiB image, never read.
    EXPECT_LT(test::BytesRead() - before, 1'000'000);
    EXPECT_EQ(report.written, 3);
    EXPECT_EQ(report.skipped, 3);
    EXPECT_TRUE(writer.published);
    ASSERT_EQ(writer.scenes.size(), 3u);
    EXPECT_EQ(writer.scenes[0].metadata.layout, MetadataLayout::HdfEos);
    EXPECT_EQ(writer.scenes[0].metadata.granule, "AST_L1B_00304122003183207_20030413120012_12345");
    EXPECT_EQ(writer.scenes[1].metadata.granule, "noid"); // the file's name, without .hdf
    EXPECT_EQ(writer.scenes[2].metadata.layout, MetadataLayout::EcsXml);
    EXPECT_EQ(writer.scenes[0].metadata.corners, writer.scenes[2].metadata.corners);
    EXPECT_EQ(host.named, (std::vector<std::pair<std::string, std::string>>{
                              {"b.hdf", "described by b.hdf.xml"},
                              {"cut.hdf", "truncated or damaged HDF"},
                              {"big.met", "larger than 16 MiB"}}));
}

// A granule is one scene whatever its files: its metadata file where the run reads that
// too and it gives a scene, else its HDF file, never neither.
TEST(SceneRun, AnHdfFileStandsInForAMetadataFileThatGivesNone) {
    const std::string good = test::GranuleXml();
    std::string noTime = good;
    noTime.erase(noTime.find("<RangeDateTime>"),
                 noTime.find("</RangeDateTime>") + 16 - noTime.find("<RangeDateTime>"));
    const struct {
        std::string beside, text; // the metadata file beside g.hdf
        bool listed;
        std::vector<std::pair<std::string, std::string>> named;
        MetadataLayout layout;
        bool needsTime = false; // the output takes no scene without a time, as STAC
    } cases[] = {
        {"g.hdf.xml", good, true, {{"g.hdf", "described by g.hdf.xml"}}, MetadataLayout::EcsXml},
        {"g.met", test::GranuleOdl(), true, {{"g.hdf", "described by g.met"}}, MetadataLayout::Odl},
        // Extensions in capitals, as some archives write them.
        {"g.MET", test::GranuleOdl(), true, {{"g.hdf", "described by g.MET"}}, MetadataLayout::Odl},
        {"g.HDF.XML", good, true, {{"g.hdf", "described by g.HDF.XML"}}, MetadataLayout::EcsXml},
        {"g.xml", good, true, {{"g.hdf", "described by g.xml"}}, MetadataLayout::EcsXml},
        // Left out by the list or a pattern: the HDF file is all the run reads of it.
        {"g.hdf.xml", good, false, {}, MetadataLayout::HdfEos},
        {"g.hdf.met", test::GranuleOdl(), false, {}, MetadataLayout::HdfEos},
        // Read, but giving nothing: its own reason, and the scene from the HDF file.
        {"g.hdf.xml", "", true, {{"g.hdf.xml", "an empty file"}}, MetadataLayout::HdfEos},
        {"g.hdf.xml",
         good.substr(0, good.size() / 2),
         true,
         {{"g.hdf.xml", "unreadable XML"}},
         MetadataLayout::HdfEos},
        // A scene without a time: the granule's where the output takes it, else the HDF
        // file's, which has one.
        {"g.hdf.xml", noTime, true, {{"g.hdf", "described by g.hdf.xml"}}, MetadataLayout::EcsXml},
        {"g.hdf.xml",
         noTime,
         true,
         {{"g.hdf.xml", "no acquisition time"}},
         MetadataLayout::HdfEos,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.beside + (c.listed ? " listed" : " not listed"));
        TempFolder folder;
        test::WriteHdf(folder.file("g.hdf"), {{"coremetadata.0", test::GranuleOdl()}});
        folder.write(c.beside, c.text);
        std::vector<std::string> names{"g.hdf"};
        if (c.listed)
            names.push_back("./" + c.beside); // as find writes it, beside a listing's name
        WriteList(folder, names);
        Kept writer;
        writer.needsTime = c.needsTime;
        Named host;
        SceneRunReport report;
        SceneRunOptions options;
        options.folderPrefix = FolderPrefix(folder.path());
        ASSERT_FALSE(RunScenes(options, writer, host, report));
        ASSERT_EQ(writer.scenes.size(), 1u);
        EXPECT_EQ(writer.scenes[0].metadata.layout, c.layout);
        ASSERT_EQ(host.named.size(), c.named.size());
        for (std::size_t i = 0; i < c.named.size(); ++i) {
            EXPECT_EQ(host.named[i].first, c.named[i].first);
            EXPECT_TRUE(host.named[i].second.starts_with(c.named[i].second))
                << host.named[i].second; // "unreadable XML at line N"
        }
    }
}

// Every output writes what CleanSceneValues makes of the file's values.
TEST(SceneRun, ValuesCleanedForEveryOutput) {
    const auto nan = std::nan("");
    const struct {
        std::optional<double> azimuth, elevation, cloud;
        std::optional<double> wantAzimuth, wantElevation, wantCloud;
    } cases[] = {
        {-10, 95, 101, 350, {}, {}},
        {720.5, -90, 0, 0.5, -90, 0},
        {360, 90, 100, 0, 90, 100},
        {-1e-20, -90.5, -0.1, 0, {}, {}}, // a tiny negative angle rounds up to 360
        {nan, nan, nan, {}, {}, {}},
        {{}, {}, {}, {}, {}, {}},
    };
    for (const auto& c : cases) {
        SceneMetadata metadata;
        metadata.sunAzimuth = c.azimuth;
        metadata.sunElevation = c.elevation;
        metadata.cloud = c.cloud;
        CleanSceneValues(metadata);
        EXPECT_EQ(metadata.sunAzimuth, c.wantAzimuth) << c.azimuth.value_or(-1);
        EXPECT_EQ(metadata.sunElevation, c.wantElevation) << c.elevation.value_or(-1);
        EXPECT_EQ(metadata.cloud, c.wantCloud) << c.cloud.value_or(-1);
    }
}

// Which platform and instruments a granule claims, and its one ID.
TEST(SceneRun, PlatformsInstrumentsAndIds) {
    using Names = std::vector<std::string>;
    const struct {
        std::optional<std::string> product, granule;
        Names platforms, instruments;
        Names wantPlatforms, wantInstruments;
        std::optional<std::string> wantGranule;
    } cases[] = {
        {"AST_L1T", "X.hdf", {}, {}, {"Terra"}, {"ASTER"}, "X"},
        {"AST_L1B", "X.HDF", {"AM-1"}, {}, {"Terra"}, {"ASTER"}, "X"},
        {"MOD09", "M.he5", {"Terra", "TERRA"}, {"MODIS"}, {"Terra"}, {"MODIS"}, "M"},
        {"MCD43", "M.h5", {"Terra", "Aqua"}, {"MODIS", "MODIS"}, {}, {"MODIS"}, "M"},
        {"AST_L1B", "G.nc", {"Terra", "Aqua"}, {}, {}, {"ASTER"}, "G"},
        {{}, ".hdf", {"PM-1"}, {""}, {"Aqua"}, {}, {}},
        // Kept in file order past empty names and repeats; Latin-1 bytes made UTF-8.
        {{}, "B.hdf", {"", "Aqua", "aqua"}, {"", "ASTER", "\xE9t\xE9", "aster", "MODIS"},
         {"Aqua"}, {"ASTER", "\xC3\xA9t\xC3\xA9", "MODIS"}, "B"},
        {{}, "A.hdf.xml", {}, {}, {}, {}, "A.hdf.xml"},
    };
    for (const auto& c : cases) {
        SceneMetadata metadata;
        metadata.product = c.product;
        metadata.granule = c.granule;
        metadata.platforms = c.platforms;
        metadata.instruments = c.instruments;
        CleanSceneValues(metadata);
        SCOPED_TRACE(c.granule.value_or(""));
        EXPECT_EQ(metadata.platforms, c.wantPlatforms);
        EXPECT_EQ(metadata.instruments, c.wantInstruments);
        EXPECT_EQ(metadata.granule, c.wantGranule);
    }
}

// A scene the writer skips as it writes is counted and named like one the reader skips,
// in list order among them.
TEST(SceneRun, AWriterMaySkipAScene) {
    TempFolder folder;
    for (const char* name : {"a.met", "b.met", "c.met"})
        folder.write(name, test::GranuleOdl());
    folder.write("x.txt", "no metadata");
    WriteList(folder, {"a.met", "b.met", "x.txt", "c.met"});
    Kept writer;
    writer.skipNumber = 2;
    Named host;
    SceneRunReport report;
    SceneRunOptions options;
    options.folderPrefix = FolderPrefix(folder.path());
    ASSERT_FALSE(RunScenes(options, writer, host, report));
    EXPECT_EQ(report.written, 2);
    EXPECT_EQ(report.skipped, 2);
    ASSERT_EQ(host.named.size(), 2u);
    EXPECT_EQ(host.named[0],
              std::make_pair(std::string("b.met"), std::string("skipped by the writer")));
    EXPECT_EQ(host.named[1].first, "x.txt");
    ASSERT_EQ(writer.scenes.size(), 2u);
    EXPECT_EQ(writer.scenes[1].number, 4);
    EXPECT_TRUE(writer.published);
}

// A stopped run has named every file it skipped before the stop, and publishes nothing.
// A summary counts skips by what went wrong, not where in the file or the granule.
TEST(SceneRun, SkipKindsLeaveOutWhereAndDetails) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"unreadable XML at line 12", "unreadable XML"},
        {"Platforms is not a list at offset 44", "Platforms is not a list"},
        {"polygon 2: corners cross each other", "corners cross each other"},
        {"polygon 12: latitude of corner 3 out of range", "latitude of corner 3 out of range"},
        {"polygon 2 has fewer than 3 corners", "fewer than 3 corners"},
        {"polygon: x", "polygon"},
        {"described by X.hdf.xml", "described by its metadata file"},
        {"same granule as a.met", "same granule as another listed file"},
        {"not UTF-8: save it as UTF-8", "not UTF-8"},
    };
    for (const auto& [reason, kind] : cases)
        EXPECT_EQ(SkipKind(reason), kind) << reason;
}

TEST(SceneRun, AStoppedRunHasNamedItsSkips) {
    TempFolder folder;
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) {
        names.push_back("n" + std::to_string(i) + ".txt");
        folder.write(names.back(), "no metadata");
    }
    WriteList(folder, names);
    Kept writer;
    Named host;
    host.stopAfter = 25;
    SceneRunReport report;
    SceneRunOptions options;
    options.folderPrefix = FolderPrefix(folder.path());
    options.readAhead = {2, 8, 1 << 20};
    const std::optional<Error> error = RunScenes(options, writer, host, report);
    ASSERT_TRUE(error && IsCancellation(*error));
    EXPECT_FALSE(writer.published);
    EXPECT_EQ(host.named.size(), 25u);
    EXPECT_EQ(report.skipped, 25);
}

// A share that goes away during a run (its server gone, or unmounted, its mount point
// then an empty folder) fails the run; a listed file that is missing is only skipped.
TEST(SceneRun, AFolderThatGoesAwayFailsTheRun) {
    struct Case {
        const char* what;
        std::function<void(const TempFolder&)> away;
        int error;
    };
    // The files not read yet can no longer be read, as on a share whose server is gone.
    const auto filesGone = [](const TempFolder& f) {
        for (int i = 3; i < 10; ++i)
            std::filesystem::remove(f.file("share/s" + std::to_string(i) + ".met"));
    };
    const auto moveAside = [&filesGone](const TempFolder& f) {
        filesGone(f);
        std::filesystem::rename(f.file("share"), f.file("share.gone"));
    };
    const Case cases[] = {
        {"nothing happens", [](const TempFolder&) {}, 0},
        {"files removed, the folder stays", filesGone, 0},
        {"the folder is gone", moveAside, ENOENT},
        {"an empty folder stands in its place",
         [&moveAside](const TempFolder& f) {
             moveAside(f);
             std::filesystem::create_directory(f.file("share"));
         },
         ENODEV},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder folder;
        std::filesystem::create_directory(folder.file("share"));
        std::vector<std::string> names{"missing.met"};
        for (int i = 0; i < 10; ++i) {
            names.push_back("s" + std::to_string(i) + ".met");
            folder.write("share/" + names.back(), test::GranuleOdl());
        }
        WriteList(folder, names);
        struct GoesAway final : SceneRunHost {
            std::function<void()> away;
            std::vector<std::string> skips;
            void progress(std::int64_t done, std::int64_t) override {
                if (done == 3)
                    away();
            }
            bool cancelRequested() override { return false; }
            void skipped(std::string_view path, std::string_view reason) override {
                skips.push_back(std::string(FileNameOf(path)) + ": " + std::string(reason));
            }
        } host;
        host.away = [&] { c.away(folder); };
        Kept writer;
        SceneRunReport report;
        SceneRunOptions options;
        options.folderPrefix = FolderPrefix(folder.file("share"));
        options.list.path = folder.file("filelist.txt");
        options.readAhead = {0, 1, 0}; // each file read in its turn
        const std::optional<Error> error = RunScenes(options, writer, host, report);
        if (c.error == 0) {
            EXPECT_FALSE(error);
            EXPECT_TRUE(writer.published);
            EXPECT_EQ(report.written + report.skipped, 11);
            continue;
        }
        // Nothing after the folder went is named as missing.
        EXPECT_EQ(host.skips, std::vector<std::string>{"missing.met: no such file"});
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, c.error);
        EXPECT_EQ(error->description, "The folder " + folder.file("share") +
                                          " went away after 4 of 11 listed files. Nothing was "
                                          "changed.");
        EXPECT_FALSE(writer.published);
    }
}

} // namespace
} // namespace aster

namespace aster {
namespace {

// A * or ? in the folder the user chose is no reason to skip its files; in a listed name
// it still is, and an empty line names no file but the folder.
TEST(SceneRun, WildcardsCountInListedNamesOnly) {
    TempFolder folder;
    std::filesystem::create_directory(folder.file("scenes*?"));
    folder.write("scenes*?/a.met", test::GranuleOdl());
    folder.write("scenes*?/b?.met", test::GranuleOdl());
    folder.write("scenes*?/filelist.txt", "a.met\n\nb?.met\n/c.met\n");
    Kept writer;
    Named host;
    SceneRunReport report;
    SceneRunOptions options;
    options.folderPrefix = FolderPrefix(folder.file("scenes*?"));
    ASSERT_FALSE(RunScenes(options, writer, host, report));
    EXPECT_EQ(report.written, 1);
    EXPECT_EQ(host.named, (std::vector<std::pair<std::string, std::string>>{
                              {"", "an empty line"}, // the folder itself, whose name is not listed
                              {"b?.met", "its name holds * or ?, so it names no single file"},
                              {"c.met",
                               "no such file (a listed path is read from the scene folder)"}}));
}

} // namespace
} // namespace aster
