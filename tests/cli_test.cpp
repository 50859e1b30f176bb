#include "command_line.h"
#include "folder.h"
#include "progress_line.h"
#include "stop_signals.h"

#include "fake_hosts.h"
#include "scene_samples.h"
#include "test_support.h"

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

const std::string kTry = "Try 'aster --help' for more information.\n";
const std::string kTableUsage = "Usage: aster table [FOLDER] [--check-blanks]\n";
const std::string kFootprintsUsage =
    "Usage: aster footprints [FOLDER] -o FILE [-f DRIVER] [--overwrite] [--verbose]\n";

TEST(CommandLine, StatusAndMessages) {
    struct Row {
        Strings args;
        int status;
        std::string outStart; // standard output begins so
        std::string err;      // standard error exactly
    };
    const std::string program = "Usage: aster [COMMAND [FOLDER] [OPTION]...]\n";
    const Row rows[] = {
        {{"--help"}, 0, program + "Catalogues a folder", ""},
        {{"-h", "whatever"}, 0, program, ""},
        {{"--version"}, 0, "aster " ASTER_VERSION "\n", ""},
        {{"table", "--help"}, 0, kTableUsage + "Writes FOLDER/table.txt", ""},
        {{"footprints", "a", "b", "--bad", "-h"}, 0, kFootprintsUsage, ""},
        {{"list", "a", "--", "-h"},
         2,
         "",
         "aster: unexpected argument '-h'\nUsage: aster list [FOLDER]\n" + kTry},
        {{"frobnicate"}, 2, "", "aster: unknown command 'frobnicate'\n" + program + kTry},
        {{"--frob"}, 2, "", "aster: unknown option '--frob'\n" + program + kTry},
        {{"table", "--frob=1"}, 2, "", "aster: unknown option '--frob'\n" + kTableUsage + kTry},
        {{"table", "-xyz"}, 2, "", "aster: unknown option '-xyz'\n" + kTableUsage + kTry},
        {{"table", "--check-blanks=yes"},
         2,
         "",
         "aster: option '--check-blanks' takes no value\n" + kTableUsage + kTry},
        {{"list", "--check-blanks"},
         2,
         "",
         "aster: unknown option '--check-blanks'\nUsage: aster list [FOLDER]\n" + kTry},
        {{"table", "{F}", "more"},
         2,
         "",
         "aster: unexpected argument 'more'\n" + kTableUsage + kTry},
        {{"table", ""}, 2, "", "aster: the folder name is empty\n" + kTableUsage + kTry},
        {{"footprints", "{F}"},
         2,
         "",
         "aster: missing -o FILE: the layer to write\n" + kFootprintsUsage + kTry},
        {{"footprints", "-o"},
         2,
         "",
         "aster: option '-o' needs a value\n" + kFootprintsUsage + kTry},
        {{"footprints", "--output=", "-f", "GPKG"},
         2,
         "",
         "aster: option '--output' needs a value\n" + kFootprintsUsage + kTry},
        {{"footprints", "-o", "x.gpkg.txt"},
         2,
         "",
         "aster: cannot tell the format of 'x.gpkg.txt' from its extension: use .gpkg, .shp, "
         ".geojson, .json, .fgb or .kml, or name a GDAL vector driver with -f\n" +
             kFootprintsUsage + kTry},
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
         "aster: The folder is no longer there: choose another folder.\n"},
    };
    for (const Row& row : rows) {
        TempFolder folder;
        Strings args;
        for (const std::string& arg : row.args)
            args.push_back(Expand(arg, folder.path()));
        SCOPED_TRACE(testing::PrintToString(args));
        const Outcome outcome = RunAster(args);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_TRUE(outcome.out.starts_with(row.outStart)) << outcome.out;
        EXPECT_EQ(outcome.out.empty(), row.outStart.empty());
        EXPECT_EQ(outcome.err, Expand(row.err, folder.path()));
    }
}

TEST(CommandLine, FolderInNormalForm) {
    struct Row {
        const char* path;
        const char* current;
        const char* normal;
    };
    const Row rows[] = {
        {"scenes", "/home/ana", "/home/ana/scenes"},
        {"../b/./c/", "/a/x", "/a/b/c"},
        {".", "/", "/"},
        {"//a//b/", "/ignored", "/a/b"},
        {"/a/../..", "", "/"},
        {"x", "", "/x"}, // current folder unknown: from the root
    };
    for (const Row& row : rows)
        EXPECT_EQ(NormalFolderPath(row.path, row.current), row.normal) << row.path;
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
    struct Row {
        Strings args;
        FootprintRequest expected; // folder "{F}"
        std::string err;
    };
    const std::string summary = "aster: 2 footprints written, 1 listed file skipped\n";
    const Row rows[] = {
        {{"-o", "out/b.GPKG"}, {"{F}", "out/b.GPKG", "GPKG", false}, summary},
        {{"--overwrite", "--output", "x.shp"}, {"{F}", "x.shp", "ESRI Shapefile", true}, summary},
        {{"--output=x.json", "--verbose"},
         {"{F}", "x.json", "GeoJSON", false},
         "aster: skipped {F}/blank.met: no corner points\n" + summary},
        {{"-ox.txt", "-fCSV"}, {"{F}", "x.txt", "CSV", false}, summary},
        {{"-f", "FlatGeobuf", "-o", "x.kml"}, {"{F}", "x.kml", "FlatGeobuf", false}, summary},
    };
    for (const Row& row : rows) {
        TempFolder folder;
        SCOPED_TRACE(testing::PrintToString(row.args));
        Strings args{"footprints", folder.path() + "/."};
        args.insert(args.end(), row.args.begin(), row.args.end());
        FootprintRequest got;
        const Outcome outcome = RunAster(args, [&](const FootprintRequest& request,
                                                   FootprintHost& host, FootprintSummary& counts) {
            got = request;
            host.progress(1, 3);
            host.skipped(request.folder + "/blank.met", "no corner points");
            counts = {2, 1};
            return std::optional<Error>();
        });
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, Expand(row.err, folder.path()));
        EXPECT_EQ(got.folder, folder.path());
        EXPECT_EQ(got.outputPath, row.expected.outputPath);
        EXPECT_EQ(got.driver, row.expected.driver);
        EXPECT_EQ(got.overwrite, row.expected.overwrite);
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
    ProgressLine::Clock::time_point now{};
    struct Step {
        std::chrono::milliseconds at;
        std::function<void(ProgressLine&)> action;
        std::string written;
    };
    const std::string wide(22, ' ');
    const Step steps[] = {
        {0ms, [](ProgressLine& p) { p.files(1, 10); }, ""},
        {999ms, [](ProgressLine& p) { p.entries(5); }, ""},
        {1000ms, [](ProgressLine& p) { p.files(50, 100); }, "\raster: 50 of 100 files"},
        {1099ms, [](ProgressLine& p) { p.files(60, 100); }, ""},
        {1100ms, [](ProgressLine& p) { p.files(70, 0); }, "\raster: 70 files       "},
        {1150ms, [](ProgressLine& p) { p.clear(); }, "\r" + wide + "\r"},
        {1160ms, [](ProgressLine& p) { p.clear(); }, ""},
        {1200ms, [](ProgressLine& p) { p.entries(3); }, "\raster: 3 entries read"},
    };
    for (const bool terminal : {true, false}) {
        std::ostringstream err;
        {
            ProgressLine line(err, terminal, [&] { return now; });
            std::size_t seen = 0;
            for (const Step& step : steps) {
                now = ProgressLine::Clock::time_point{} + step.at;
                step.action(line);
                EXPECT_EQ(err.str().substr(seen), terminal ? step.written : "") << step.at.count();
                seen = err.str().size();
            }
        }
        EXPECT_TRUE(err.str().ends_with(terminal ? "read\r" + wide.substr(1) + "\r" : ""));
    }
}

#ifdef ASTER_PROGRAM
// Runs the built program without any display; returns its wait status.
int Spawn(const Strings& args, const posix_spawn_file_actions_t& files) {
    Strings all{"env",        "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM",
                ASTER_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "env", &files, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

TEST(Program, RunsCommandsWithoutADisplay) {
    TempFolder scenes, logs;
    FillSceneFolder(scenes);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    const std::string out = logs.file("out"), err = logs.file("err");
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    EXPECT_EQ(Spawn({"list", scenes.path()}, files), 0);
    EXPECT_EQ(Spawn({"polys", scenes.path()}, files), 0);
    posix_spawn_file_actions_destroy(&files);
    EXPECT_EQ(scenes.read("filelist.txt"), "a.met\r\nblank.met\r\nnotes.txt\r\nsub\r\nz.met\r\n");
    EXPECT_TRUE(scenes.read("polys.txt").ends_with("End\r\nEnd\r\n"));
    EXPECT_EQ(logs.read("out"), "");
    EXPECT_EQ(logs.read("err"), "");

    // A reader that has gone makes writing the help an error, not a silent death.
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    ::close(pipe[0]);
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, pipe[1], 1);
    posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
    const int status = Spawn({"--help"}, files);
    posix_spawn_file_actions_destroy(&files);
    ::close(pipe[1]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}
#endif

} // namespace
} // namespace aster
