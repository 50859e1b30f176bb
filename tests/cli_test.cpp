#include "app/cli/command_line.h"
#include "app/cli/progress_line.h"
#include "app/cli/stop_signals.h"
#include "fileio/unique_fd.h"

#include "tests/fake_hosts.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>

namespace aster {
namespace {

using test::TempFolder;
using Strings = std::vector<std::string>;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome RunAster(Strings args, FootprintWriter writer = &FootprintCommand) {
    args.insert(args.begin(), "aster");
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    std::ostringstream out, err;
    Outcome outcome;
    outcome.status = RunCommandLine(int(argv.size()), argv.data(),
                                    {.out = out, .err = err, .writeFootprints = std::move(writer)});
    outcome.out = out.str();
    outcome.err = err.str();
    return outcome;
}

// "{F}" in a test row stands for the scratch folder.
std::string Expand(std::string text, const std::string& folder) {
    for (std::size_t at; (at = text.find("{F}")) != std::string::npos;)
        text.replace(at, 3, folder);
    return text;
}

TEST(CommandLine, StatusAndMessages) {
    struct Row {
        Strings args;
        int status;
        std::string out; // what standard output begins with
        std::string err; // standard error; for a usage error only its first line's message
    };
    const Row rows[] = {
        {{"--help"}, 0, "Usage: aster [COMMAND [FOLDER] [OPTION]...]\nCatalogues", ""},
        {{"--version"}, 0, "aster " ASTER_VERSION "\n", ""},
        {{"table", "--help"}, 0, "Usage: aster table [FOLDER] [--check-blanks]\nWrites", ""},
        {{"footprints", "a", "b", "--bad", "-h"}, 0, "Usage: aster footprints [FOLDER] -o", ""},
        {{"list", "a", "--", "-h"}, 2, "", "unexpected argument '-h'"},
        {{"frobnicate"}, 2, "", "unknown command 'frobnicate'"},
        {{"--frob"}, 2, "", "unknown option '--frob'"},
        {{"table", "--frob=1"}, 2, "", "unknown option '--frob'"},
        {{"polys", "-xyz"}, 2, "", "unknown option '-xyz'"},
        {{"table", "--check-blanks=yes"}, 2, "", "option '--check-blanks' takes no value"},
        {{"table", "{F}", "more"}, 2, "", "unexpected argument 'more'"},
        {{"polys", ""}, 2, "", "the folder name is empty"},
        {{"footprints", "{F}"}, 2, "", "missing -o FILE: the layer to write"},
        {{"footprints", "--output=", "-f", "GPKG"}, 2, "", "option '--output' needs a value"},
        {{"footprints", "-o", "x.gpkg.txt"},
         2,
         "",
         "cannot tell the format of 'x.gpkg.txt' from its extension: use .gpkg (GPKG), .shp "
         "(ESRI Shapefile), .geojson/.json (GeoJSON), .fgb (FlatGeobuf), .kml (KML), .csv (CSV), "
         "or name a GDAL vector driver with -f"},
        {{"footprints", "-o", "x.gpkg", "-f", "NoSuchDriver"},
         2,
         "",
         "GDAL has no driver named \"NoSuchDriver\""},
        {{"footprints", "-o", "x.sql", "-f", "PGDUMP"},
         2,
         "",
         "GDAL's driver \"PGDUMP\" writes files that GDAL cannot read back, and a layer is "
         "read back before it replaces anything"},
        {{"table", "{F}", "--check-blanks"},
         1,
         "",
         "aster: Error 2: No such file or directory: {F}/filelist.txt\n"
         "aster: Make the list of files first with \"aster list\".\n"},
        {{"polys", "{F}/gone"},
         1,
         "",
         "aster: Error 2: No such file or directory: {F}/gone/filelist.txt\n"
         "aster: There is no such folder: name one that exists.\n"},
        {{"list", "{F}/gone/"},
         1,
         "",
         "aster: Error 2: No such file or directory: {F}/gone/\n"
         "aster: There is no such folder: name one that exists.\n"},
    };
    for (const Row& row : rows) {
        TempFolder folder;
        Strings args;
        for (const std::string& arg : row.args)
            args.push_back(Expand(arg, folder.path()));
        SCOPED_TRACE(testing::PrintToString(args));
        const Outcome outcome = RunAster(args);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_TRUE(outcome.out.starts_with(row.out)) << outcome.out;
        EXPECT_EQ(outcome.out.empty(), row.out.empty());
        if (row.status != 2) {
            EXPECT_EQ(outcome.err, Expand(row.err, folder.path()));
            continue;
        }
        const std::string usage = args[0].starts_with('-') || args[0] == "frobnicate"
                                      ? "Usage: aster [COMMAND"
                                      : "Usage: aster " + args[0] + " [FOLDER]";
        EXPECT_TRUE(outcome.err.starts_with("aster: " + row.err + "\n" + usage)) << outcome.err;
        EXPECT_TRUE(outcome.err.ends_with("]\nTry 'aster --help' for more information.\n"));
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 3);
    }
}

// A folder of every kind of listed entry the blank check reports, and a scene.
void FillSceneFolder(const TempFolder& folder) {
    folder.write("a.met", test::ExampleScene());
    folder.write("blank.met", "");
    folder.write("notes.txt", " GROUP comes too late");
    std::filesystem::create_directory(folder.file("sub"));
    folder.write("z.met", test::ExampleScene());
}

TEST(CommandLine, SameFilesAsTheWindowsRun) {
    TempFolder folder;
    FillSceneFolder(folder);
    test::FakeListingHost listing(folder.path());
    ASSERT_FALSE(ListTheFiles(listing));
    const std::string list = folder.read("filelist.txt");
    std::filesystem::remove(folder.file("filelist.txt"));
    // Given with "." and "..", the folder still gives the window's paths.
    const std::string given = folder.path() + "/./sub/..";
    EXPECT_EQ(RunAster({"list", given}).status, 0);
    EXPECT_EQ(folder.read("filelist.txt"), list);
    folder.write("filelist.txt", list + "missing.met\r\n");

    for (const bool polys : {false, true}) {
        for (const bool blanks : {false, true}) {
            SCOPED_TRACE(std::string(polys ? "polys" : "table") + (blanks ? " blanks" : ""));
            test::FakeCatalogueHost window(folder.path());
            window.polys = polys;
            window.spread = !polys;
            window.blanks = blanks;
            ASSERT_FALSE(MakeTextFiles(window));
            const std::string table = folder.read("table.txt");
            const std::string polygons = folder.read("polys.txt");
            std::string lines;
            for (const std::string& message : window.messages)
                lines += message + "\n";
            EXPECT_EQ(window.messages.size(), blanks ? 4u : 0u);

            Strings args{polys ? "polys" : "table", given};
            if (blanks)
                args.push_back("--check-blanks");
            const Outcome outcome = RunAster(args);
            EXPECT_EQ(outcome.status, 0);
            EXPECT_EQ(outcome.out, "");
            EXPECT_EQ(outcome.err, lines);
            EXPECT_EQ(folder.read("table.txt"), table);
            EXPECT_EQ(folder.read("polys.txt"), polygons);
        }
    }
}

TEST(CommandLine, FootprintsThroughItsSeam) {
    // The spatial index is made unless --no-spatial-index; --spatial-index is still taken.
    const std::tuple<Strings, std::string, std::string, bool, bool> rows[] = {
        {{"-o", "out/b.GPKG"}, "out/b.GPKG", "GPKG", false, true},
        {{"--overwrite", "--output", "x.shp", "--no-spatial-index"},
         "x.shp",
         "ESRI Shapefile",
         true,
         false},
        {{"--spatial-index", "--output=x.json", "--verbose"}, "x.json", "GeoJSON", false, true},
        {{"-ox.txt", "-fCSV"}, "x.txt", "CSV", false, true},
        {{"-f", "FlatGeobuf", "-o", "x.kml"}, "x.kml", "FlatGeobuf", false, true},
    };
    for (const auto& [options, output, driver, overwrite, index] : rows) {
        TempFolder folder;
        SCOPED_TRACE(testing::PrintToString(options));
        Strings args{"footprints", folder.path() + "/."};
        args.insert(args.end(), options.begin(), options.end());
        FootprintRequest got;
        const Outcome outcome = RunAster(args, [&](const FootprintRequest& request,
                                                   FootprintHost& host, FootprintSummary& counts) {
            got = request;
            host.progress(1, 3);
            host.skipped(request.folder + "/blank.met", "no corner points");
            counts = {2, 1};
            return std::optional<Error>();
        });
        const bool verbose = args.back() == "--verbose";
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(
            outcome.err,
            (verbose ? "aster: skipped " + folder.path() + "/blank.met: no corner points\n" : "") +
                "aster: 2 footprints written, 1 listed file skipped\n");
        EXPECT_EQ(got.folder, folder.path());
        EXPECT_EQ(got.outputPath, output);
        EXPECT_EQ(got.driver, driver);
        EXPECT_EQ(got.overwrite, overwrite);
        EXPECT_EQ(got.spatialIndex, index);
    }
}

TEST(CommandLine, StopsOnSignalsAndRestoresTheirHandlers) {
    struct sigaction before {};
    ::sigaction(SIGTERM, nullptr, &before);
    for (const int signal : {SIGINT, SIGTERM}) {
        const Outcome outcome = RunAster({"footprints", "-o", "x.gpkg"},
                                         [signal](const FootprintRequest&, FootprintHost& host,
                                                  FootprintSummary&) -> std::optional<Error> {
                                             EXPECT_FALSE(host.cancelRequested());
                                             std::raise(signal);
                                             if (host.cancelRequested())
                                                 return Cancelled("Stopped; nothing was changed.");
                                             return std::nullopt;
                                         });
        EXPECT_EQ(outcome.status, 128 + signal);
        EXPECT_EQ(outcome.err, "aster: Stopped; nothing was changed.\n");
    }
    struct sigaction after {};
    ::sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(ProgressLine, ShowsLateAndSeldomAndClearsBeforeOtherOutput) {
    using namespace std::chrono_literals;
    using Action = std::function<void(ProgressLine&)>;
    const Action clear = [](ProgressLine& p) { p.clear(); };
    const std::tuple<std::chrono::milliseconds, Action, std::string> steps[] = {
        {0ms, [](ProgressLine& p) { p.files(1, 10); }, ""},
        {999ms, [](ProgressLine& p) { p.entries(5); }, ""},
        {1000ms, [](ProgressLine& p) { p.files(50, 100); }, "\raster: 50 of 100 files"},
        {1099ms, [](ProgressLine& p) { p.files(60, 100); }, ""},
        {1100ms, [](ProgressLine& p) { p.files(70, 0); }, "\raster: 70 files       "},
        {1150ms, clear, "\r" + std::string(22, ' ') + "\r"},
        {1160ms, clear, ""},
        {1200ms, [](ProgressLine& p) { p.entries(3); }, "\raster: 3 entries read"},
    };
    for (const bool terminal : {true, false}) {
        std::ostringstream err;
        ProgressLine::Clock::time_point now{};
        {
            ProgressLine line(err, terminal, [&] { return now; });
            for (const auto& [at, action, written] : steps) {
                const std::size_t before = err.str().size();
                now = ProgressLine::Clock::time_point{} + at;
                action(line);
                EXPECT_EQ(err.str().substr(before), terminal ? written : "") << at.count();
            }
        }
        EXPECT_TRUE(err.str().ends_with(terminal ? "read\r" + std::string(21, ' ') + "\r" : ""));
    }
}

#ifdef ASTER_PROGRAM
// Runs the built program without any display, its standard output and error on the
// descriptors given; returns its wait status.
int Spawn(Strings args, int out, int err) {
    args.insert(args.begin(), {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u",
                               "QT_QPA_PLATFORM", ASTER_PROGRAM});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, out, 1);
    posix_spawn_file_actions_adddup2(&files, err, 2);
    pid_t pid = 0;
    int status = -1;
    if (::posix_spawnp(&pid, "env", &files, nullptr, argv.data(), environ) == 0)
        ::waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&files);
    return status;
}

TEST(Program, RunsCommandsWithoutADisplay) {
    TempFolder scenes, logs;
    FillSceneFolder(scenes);
    const UniqueFd out(::open(logs.file("out").c_str(), O_WRONLY | O_CREAT, 0600));
    const UniqueFd err(::open(logs.file("err").c_str(), O_WRONLY | O_CREAT, 0600));
    EXPECT_EQ(Spawn({"list", scenes.path()}, out.get(), err.get()), 0);
    EXPECT_EQ(Spawn({"polys", scenes.path()}, out.get(), err.get()), 0);
    EXPECT_EQ(scenes.read("filelist.txt"), "a.met\r\nblank.met\r\nnotes.txt\r\nsub\r\nz.met\r\n");
    EXPECT_TRUE(scenes.read("polys.txt").ends_with("End\r\nEnd\r\n"));
    EXPECT_EQ(logs.read("out"), "");
    EXPECT_EQ(logs.read("err"), "");

    // A reader that has gone makes writing the help an error, not a silent end.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    const UniqueFd writeEnd(ends[1]);
    const int status = Spawn({"--help"}, writeEnd.get(), err.get());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}
#endif

} // namespace
} // namespace aster
