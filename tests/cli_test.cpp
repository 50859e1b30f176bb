#include "cli/command_line.h"
#include "cli/display.h"
#include "cli/hints.h"
#include "cli/progress_line.h"
#include "cli/stop_signals.h"
#include "cli/window_start.h"
#include "fileio/held_ends.h"
#include "fileio/near_names.h"
#include "fileio/unique_fd.h"
#include "footprints/output_formats.h"
#include "footprints/vector_drivers.h"
#include "listing/tree_listing.h"

#include "tests/fake_hosts.h"
#include "tests/granule_samples.h"
#include "tests/scene_samples.h"
#include "tests/test_support.h"

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace aster {
namespace {

using test::TempFolder;
using Strings = std::vector<std::string>;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome RunAster(Strings args, FootprintWriter writer = &WriteFootprints) {
    args.insert(args.begin(), "aster");
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    std::ostringstream out, err;
    Outcome outcome;
    outcome.status = RunCommandLine(int(argv.size()), argv.data(),
                                    {.out = out, .err = err, .layers = {std::move(writer), &CheckVectorDriver}});
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
        {{"--help"}, 0, "Usage: aster [OPTIONS] [COMMAND]\nCatalogues", ""},
        {{"--version"}, 0, "aster " ASTER_VERSION "\n", ""},
        {{"table", "--help"}, 0, "Usage: aster table [OPTIONS] [FOLDER]\n\nWrites", ""},
        {{"footprints", "a", "b", "--bad", "-h"},
         0,
         "Usage: aster footprints -o FILE [OPTIONS] [FOLDER]\n\nWrites",
         ""},
        {{"--"}, 2, "", "missing command"},
        {{"list", "a", "--", "b"}, 2, "", "The following argument was not expected: b"},
        // An unknown command: the nearest, or every command when none is near.
        {{"frobnicate"},
         2,
         "",
         "unknown command 'frobnicate': the commands are list, table, polys, footprints and "
         "stac"},
        {{"footprnts", "{F}"}, 2, "", "unknown command 'footprnts'. Did you mean 'footprints'?"},
        {{"lsit"}, 2, "", "unknown command 'lsit'. Did you mean 'list'?"},
        {{"STAC"}, 2, "", "unknown command 'STAC'. Did you mean 'stac'?"},
        {{"--", "po"}, 2, "", "unknown command 'po'. Did you mean 'polys'?"},
        {{"--", "list"}, 2, "", "missing command"},
        {{"list", "-o", "{F}/x/list.txt"},
         2,
         "",
         "--output: {F}/x is not a folder: name an output in a folder"},
        // "--match *.xml" that the shell expanded: the pattern should have been quoted.
        {{"list", "--match", "a.xml", "b.xml", "c.xml", "{F}"},
         2,
         "",
         "more than one FOLDER given: b.xml c.xml {F}\n"
         "aster: The shell may have put the names of files in place of the pattern after "
         "--match: quote the pattern, as in --match '*.xml'."},
        {{"list", "{F}", "-o", "-"},
         2,
         "",
         "--output: - is not standard output here: outputs are files or folders; name one, or "
         "./- for one named -"},
        // An output's folder that is not there is named.
        {{"list", "{F}", "-o", "{F}/gone/list.txt"},
         2,
         "",
         "--output: the folder {F}/gone does not exist: make it first, or write elsewhere"},
        {{"footprints", "{F}", "-o", "{F}/gone/deeper/x.gpkg"},
         2,
         "",
         "--output: the folder {F}/gone/deeper does not exist: make it first, or write "
         "elsewhere"},
        {{"stac", "{F}", "-o", "{F}/gone/cat/"},
         2,
         "",
         "--output: the folder {F}/gone does not exist: make it first, or write elsewhere"},
        {{"list", "--recursive=yes"}, 2, "", "recursive was given a disallowed flag override"},
        {{"--frob"}, 2, "", "The following argument was not expected: --frob"},
        {{"table", "--frob=1"}, 2, "", "The following argument was not expected: --frob=1"},
        {{"polys", "-xyz"}, 2, "", "The following argument was not expected: -xyz"},
        {{"table", "--check-blanks=yes"},
         2,
         "",
         "check-blanks was given a disallowed flag override"},
        {{"table", "{F}", "more"}, 2, "", "The following argument was not expected: more"},
        // A second command's name is an argument too many, not a second command.
        {{"table", "{F}", "list"}, 2, "", "The following argument was not expected: list"},
        {{"polys", ""}, 2, "", "FOLDER: the folder name is empty"},
        {{"list", "{F}", "--match"}, 2, "", "--match: 1 required PATTERN missing"},
        {{"footprints", "{F}"}, 2, "", "--output is required"},
        {{"footprints", "{F}", "-o", "x.gpkg", "--layer", "t"},
         2,
         "",
         "--layer names a table in a database (-o PG:...); a file's layer is named after the "
         "file"},
        {{"footprints", "{F}", "-f", "GPKG", "-o", "PG:dbname=d"},
         2,
         "",
         "a PG: connection is written with -f PostgreSQL only"},
        {{"footprints", "-o"}, 2, "", "--output: 1 required FILE missing"},
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
        // A driver's long name, part of it, or its short name spelt loosely.
        {{"footprints", "-o", "x.gpkg", "-f", "GeoPackage"},
         2,
         "",
         "GDAL has no driver named \"GeoPackage\": did you mean \"GPKG\"?"},
        {{"footprints", "-o", "x.shp", "-f", "Shapefile"},
         2,
         "",
         "GDAL has no driver named \"Shapefile\": did you mean \"ESRI Shapefile\"?"},
        {{"footprints", "-o", "x.json", "-f", "geojson-seq"},
         2,
         "",
         "GDAL has no driver named \"geojson-seq\": did you mean \"GeoJSONSeq\"?"},
        {{"footprints", "-o", "x.fgb", "-f", "FlatGeoBuff"},
         2,
         "",
         "GDAL has no driver named \"FlatGeoBuff\": did you mean \"FlatGeobuf\"?"},
        {{"footprints", "-o", "x.sql", "-f", "PGDUMP"},
         2,
         "",
         "GDAL's driver \"PGDUMP\" writes files that GDAL cannot read back, and a layer is "
         "read back before it replaces anything"},
        {{"footprints", "-o", "x.out", "-f", "ESRI Shapefile"},
         2,
         "",
         "GDAL's driver \"ESRI Shapefile\" writes the file x.out only if its name ends in .shp"},
        {{"stac", "{F}"}, 2, "", "--output is required"},
        {{"stac", "-o", "cat", "--license", "MIT License"},
         2,
         "",
         "--license: 'MIT License' is neither an SPDX license identifier nor various or "
         "proprietary"},
        {{"stac", "-o", "cat", "--license", "GPL"},
         2,
         "",
         "--license: 'GPL' is neither an SPDX license identifier nor various or proprietary"},
        {{"stac", "-o", "cat", "--asset-href-base", "data/scenes"},
         2,
         "",
         "--asset-href-base: 'data/scenes' is neither a URL nor an absolute path"},
        {{"stac", "-o", "cat", "--asset-href-base", "https://my host/"},
         2,
         "",
         "--asset-href-base: 'https://my host/' is no URL: a URL writes a blank as %20"},
        {{"stac", "-o", "cat", "--asset-href-base", "my host/"},
         2,
         "",
         "--asset-href-base: 'my host/' is neither a URL nor an absolute path"},
        {{"stac", "-o", "cat", "--asset-href-base", "https://x.org/a?b="},
         2,
         "",
         "--asset-href-base: 'https://x.org/a?b=' holds a query or fragment (? or #), which "
         "the files' paths cannot follow"},
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
        {{"footprints", "{F}/x", "-o", "{F}/fp.gpkg"},
         1,
         "",
         "aster: Error 20: Not a folder: {F}/x\n"
         "aster: There is no such folder: name one that exists.\n"},
        {{"footprints", "{F}", "--list", "{F}/pipe", "-o", "{F}/fp.gpkg"},
         1,
         "",
         "aster: Error 22: Not a regular file: {F}/pipe\n"
         "aster: A list is read from an ordinary file, not from a device, a pipe or standard "
         "input: write it to one first (find . -name '*.met' > list.txt), then name that file "
         "after --list.\n"},
        {{"list", "{F}/gone/"},
         1,
         "",
         "aster: Error 2: No such file or directory: {F}/gone/\n"
         "aster: There is no such folder: name one that exists.\n"},
        {{"stac", "{F}", "--list", "{F}/none.txt", "-o", "{F}/cat"},
         1,
         "",
         "aster: Error 2: No such file or directory: {F}/none.txt\n"
         "aster: There is no such list: name one that exists after --list (a path from the "
         "current folder), or leave --list out to read FOLDER/filelist.txt.\n"},
    };
    for (const Row& row : rows) {
        TempFolder folder;
        folder.write("x", "");
        ::mkfifo(folder.file("pipe").c_str(), 0600);
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
        const bool command = row.err.find("command '") == std::string::npos &&
                             !args[0].starts_with('-');
        const std::string usage = command ? "Usage: aster " + args[0] + " "
                                          : "Usage: aster [OPTIONS] [COMMAND]\n";
        const std::string message = Expand(row.err, folder.path());
        EXPECT_TRUE(outcome.err.starts_with("aster: " + message + "\n" + usage)) << outcome.err;
        EXPECT_TRUE(outcome.err.ends_with("]\nTry 'aster --help' for more information.\n"));
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'),
                  3 + std::count(message.begin(), message.end(), '\n'));
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
    // A list of lines ended by line feeds alone is still read as the window reads it, one
    // line, and the user hears why.
    folder.write("filelist.txt", "a.met\nz.met\n");
    const Outcome lineFeeds = RunAster({"table", given});
    EXPECT_EQ(lineFeeds.status, 0);
    EXPECT_TRUE(lineFeeds.err.starts_with("aster: filelist.txt's lines end in a line feed alone"))
        << lineFeeds.err;
    EXPECT_NE(folder.read("table.txt").find("\t" + folder.file("a.met\nz.met\n\t")),
              std::string::npos)
        << folder.read("table.txt");
}

TEST(CommandLine, FootprintsThroughItsSeam) {
    // The spatial index is made unless --no-spatial-index; --spatial-index is still taken.
    const std::tuple<Strings, std::string, std::string, bool, bool> rows[] = {
        {{"-o", "./b.GPKG"}, "./b.GPKG", "GPKG", false, true},
        {{"--overwrite", "--output", "x.shp", "--no-spatial-index"},
         "x.shp",
         "ESRI Shapefile",
         true,
         false},
        {{"--spatial-index", "--output=x.json", "--verbose"}, "x.json", "GeoJSON", false, true},
        {{"-ox.CSV", "-fCSV"}, "x.CSV", "CSV", false, true},
        {{"-f", "FlatGeobuf", "-o", "x.kml"}, "x.kml", "FlatGeobuf", false, true},
        // Given twice, an option takes its last value.
        {{"-o", "x.kml", "--output", "y.fgb"}, "y.fgb", "FlatGeobuf", false, true},
        {{"--no-spatial-index", "-o", "x.gpkg", "--spatial-index"}, "x.gpkg", "GPKG", false, true},
        // A connection string names no folder to look for, and chooses the database.
        {{"-o", "PG:host=/run/gone/x dbname=d", "--layer", "s.t"},
         "PG:host=/run/gone/x dbname=d",
         "PostgreSQL",
         false,
         true},
        {{"-f", "postgresql", "-o", "host=/run/gone dbname=d"},
         "host=/run/gone dbname=d",
         "PostgreSQL",
         false,
         true},
    };
    for (const auto& [options, output, driver, overwrite, index] : rows) {
        TempFolder folder;
        SCOPED_TRACE(testing::PrintToString(options));
        Strings args{"footprints", folder.path() + "/."};
        args.insert(args.end(), options.begin(), options.end());
        FootprintOptions got;
        std::string gotFolder;
        const Outcome outcome = RunAster(args, [&](const std::string& folderPrefix,
                                                   const FootprintOptions& request,
                                                   FootprintReport& counts, SceneRunHost& host) {
            got = request;
            gotFolder = folderPrefix;
            host.progress(1, 3);
            host.skipped(folderPrefix + "blank.met", "no corner points");
            counts.written = 2;
            counts.skipped = 1;
            return std::optional<Error>();
        });
        const bool verbose = args.back() == "--verbose";
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(
            outcome.err,
            (verbose ? "aster: skipped " + folder.path() + "/blank.met: no corner points\n" : "") +
                "aster: 2 footprints written, 1 listed file skipped\n");
        EXPECT_EQ(gotFolder, folder.path() + "/");
        EXPECT_EQ(got.outputPath, output);
        EXPECT_EQ(got.driverName, driver);
        EXPECT_EQ(got.overwrite, overwrite);
        EXPECT_EQ(got.spatialIndex, index);
        EXPECT_EQ(got.layerName, driver == "PostgreSQL" && output.starts_with("PG:") ? "s.t" : "");
    }
}

// --match lists the names that match any of its patterns, as find -name does; each takes
// one pattern, never the folder after it.
TEST(CommandLine, ListsTheNamesThatMatch) {
    TempFolder folder;
    for (const char* name : {"a.hdf.xml", "a.hdf", "a_V.tif", "b.met", "B.MET", "notes.txt"})
        folder.write(name, "");
    const Outcome outcome =
        RunAster({"list", "--match", "*.xml", "--match", "*.met", folder.path()});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(folder.read("filelist.txt"), "a.hdf.xml\r\nb.met\r\n");
    ASSERT_EQ(RunAster({"list", folder.path()}).status, 0);
    EXPECT_EQ(folder.read("filelist.txt"),
              "B.MET\r\na.hdf\r\na.hdf.xml\r\na_V.tif\r\nb.met\r\nfilelist.txt\r\nnotes.txt\r\n");
    // A run whose patterns match nothing says why its output is empty.
    const Outcome none = RunAster(
        {"footprints", "--match", "*.Met", "-o", folder.file("fp.geojson"), folder.path()});
    EXPECT_EQ(none.status, 0);
    EXPECT_NE(none.err.find("\naster: No name matched --match"), std::string::npos) << none.err;
    // The earlier list is kept; without one, an empty list is written.
    const std::string earlierList = folder.read("filelist.txt");
    const Outcome kept = RunAster({"list", "--match", "*.Met", folder.path()});
    EXPECT_EQ(kept.status, 1);
    EXPECT_TRUE(kept.err.starts_with("aster: Error 61: No name in " + folder.path() +
                                     " matched the patterns, so the earlier " +
                                     folder.file("filelist.txt") + " was kept as it is\n"))
        << kept.err;
    EXPECT_NE(kept.err.find("\naster: No name matched --match"), std::string::npos);
    EXPECT_EQ(folder.read("filelist.txt"), earlierList);
    ::unlink(folder.file("filelist.txt").c_str());
    const Outcome noName = RunAster({"list", "--match", "*.Met", folder.path()});
    EXPECT_EQ(noName.status, 0);
    EXPECT_TRUE(noName.err.starts_with("aster: No name matched --match")) << noName.err;
    EXPECT_EQ(folder.read("filelist.txt"), "");
    // So does a tree that holds no file, as a share not mounted does.
    ASSERT_EQ(::mkdir(folder.file("unmounted").c_str(), 0755), 0);
    folder.write("share.txt", "x.met\r\n");
    EXPECT_EQ(RunAster({"list", "--recursive", "-o", folder.file("share.txt"),
                        folder.file("unmounted")})
                  .status,
              1);
    EXPECT_EQ(folder.read("share.txt"), "x.met\r\n");
    // One name the shell put in place of an unquoted pattern matches nothing in FOLDER.
    for (const std::vector<std::string>& run :
         {std::vector<std::string>{"list", "--match", folder.file("notes.txt"), folder.path()},
          {"footprints", "--match", folder.file("notes.txt"), "-o", folder.file("one.gpkg"),
           folder.path()}}) {
        const Outcome one = RunAster(run);
        EXPECT_NE(one.err.find("quote the pattern"), std::string::npos) << one.err;
    }
    // A pattern the shell expanded into two names, the second taken for FOLDER.
    const Outcome expanded = RunAster({"footprints", "--match", folder.file("a.hdf.xml"),
                                       folder.file("b.met"), "-o", folder.file("fp.gpkg")});
    EXPECT_EQ(expanded.status, 1);
    EXPECT_NE(expanded.err.find("quote the pattern"), std::string::npos) << expanded.err;
    // A name no list line can hold is named on one line of its own, if it matches.
    folder.write("two\nlines.met", "");
    const Outcome broken = RunAster({"list", "--match", "*.met", folder.path()});
    EXPECT_EQ(broken.status, 0);
    EXPECT_EQ(broken.err, "aster: skipped " + folder.file("two\\nlines.met") +
                              ": its name holds a line break, which no line of a list can hold\n");
    EXPECT_EQ(RunAster({"list", "--match", "*.xml", folder.path()}).err, "");
}

// A folder named like an option is not one, and the message says how to name it.
TEST(CommandLine, AFolderWhoseNameBeginsWithADash) {
    TempFolder folder;
    std::filesystem::create_directory(folder.file("-scenes"));
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(folder.path());
    const Outcome given = RunAster({"list", "-scenes"});
    const Outcome afterDashes = RunAster({"list", "--", "-scenes"});
    std::filesystem::current_path(before);
    EXPECT_EQ(given.status, 2);
    EXPECT_NE(given.err.find("goes last, after --, as in: aster list [OPTIONS] -- -scenes\n"),
              std::string::npos)
        << given.err;
    EXPECT_EQ(afterDashes.status, 0) << afterDashes.err;
    EXPECT_TRUE(std::filesystem::exists(folder.file("-scenes/filelist.txt")));
}

// --recursive lists a tree's files as paths from FOLDER; -o writes the list elsewhere and
// leaves FOLDER as it was; a folder too deep is named on standard error.
TEST(CommandLine, ListsATreeIntoAListElsewhere) {
    TempFolder folder, lists;
    std::filesystem::create_directories(folder.file("2004/.thumbs"));
    std::filesystem::create_directories(folder.file("2005"));
    for (const char* name : {"2004/b.hdf.xml", "2004/a.hdf.xml", "2004/.thumbs/t.hdf.xml",
                             "2005/c.met", "2004.txt", "top.hdf.xml"})
        folder.write(name, "");
    std::filesystem::create_directory_symlink("2005", folder.file("latest"));
    Outcome outcome = RunAster(
        {"list", "--recursive", folder.path(), "--match", "*.xml", "-o", lists.file("x.txt")});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(lists.read("x.txt"), "2004/a.hdf.xml\r\n2004/b.hdf.xml\r\ntop.hdf.xml\r\n");
    EXPECT_FALSE(folder.exists("filelist.txt"));
    // The link to a folder is listed, as in the flat listing, and not followed.
    ASSERT_EQ(RunAster({"list", "-r", folder.path()}).status, 0);
    EXPECT_EQ(folder.read("filelist.txt"),
              "2004.txt\r\n2004/a.hdf.xml\r\n2004/b.hdf.xml\r\n2005/c.met\r\nlatest\r\n"
              "top.hdf.xml\r\n");

    // "deep" and below it d/d/...: the last "d" is one folder too deep.
    std::string deep = folder.file("deep");
    for (int depth = 1; depth <= kMaxTreeDepth; ++depth)
        deep += "/d";
    std::filesystem::create_directories(deep);
    outcome = RunAster({"list", "-r", folder.path(), "-o", lists.file("x.txt")});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "aster: skipped folder " + deep + ": more than " +
                               std::to_string(kMaxTreeDepth) + " folders deep\n");

    // FOLDER a file: the shell may have expanded the pattern into two names.
    outcome = RunAster({"list", "--match", "a.xml", folder.file("2004.txt")});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "aster: Error 20: Not a directory: " + folder.file("2004.txt") +
                               "/\naster: The shell may have put the names of files in place of "
                               "the pattern after --match: quote the pattern, as in --match "
                               "'*.xml'.\n");
}

TEST(NearestNames, Table) {
    const Strings commands{"list", "table", "polys", "footprints", "stac"};
    const std::pair<const char*, Strings> rows[] = {
        {"lst", {"list"}},   {"tabel", {"table"}}, {"foot", {"footprints"}},
        {"Polys", {"polys"}}, {"s", {}},            {"st", {"stac"}},
        {"x", {}},           {"ls", {}},           {"frobnicate", {}},
        {"", {}},            {"lists", {"list"}},  {"tac", {"stac"}},
    };
    for (const auto& [given, nearest] : rows)
        EXPECT_EQ(NearestNames(given, commands), nearest) << given;
    EXPECT_EQ(EditDistance("kitten", "sitting"), 3u);
    EXPECT_EQ(EditDistance("ab", "BA"), 1u); // a swap, in any case
    EXPECT_EQ(EditDistance("", "abc"), 3u);
}

// --verbose names each scene that gives no footprint with its reason, and the summary
// counts them.
TEST(CommandLine, FootprintsNameTheScenesSkipped) {
    TempFolder folder, out;
    folder.write("a.met", test::ExampleScene());
    folder.write("bowtie.met", test::SceneText("t", "d", "34.1, 33.4, 34.0, 33.5",
                                               "-118.1, -117.4, -117.6, -118.3"));
    folder.write("point.met",
                 test::SceneText("t", "d", "34, 34, 34, 34", "-118, -118, -118, -118"));
    folder.write("filelist.txt", "a.met\r\nbowtie.met\r\npoint.met\r\n");
    const Outcome outcome =
        RunAster({"footprints", "--verbose", folder.path(), "-o", out.file("fp.gpkg")});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "aster: skipped " + folder.file("bowtie.met") +
                               ": corners cross each other\n"
                               "aster: skipped " +
                               folder.file("point.met") +
                               ": footprint has no area\n"
                               "aster: 1 footprint written, 2 listed files skipped: 1 corners "
                               "cross each other, 1 footprint has no area\n");

    // Reasons in the system's words, and names that name no file, counted as phrases.
    TempFolder odd;
    odd.write("a.met", test::ExampleScene());
    std::filesystem::create_symlink("loop.met", odd.file("loop.met"));
    odd.write("u.json", "{\"GranuleUR\": 5}");
    const char list[] = "a.met\r\nloop.met\r\nn\0ul.met\r\nu.json\r\n";
    odd.write("filelist.txt", std::string(list, sizeof list - 1));
    EXPECT_EQ(RunAster({"footprints", odd.path(), "-o", out.file("odd.gpkg")}).err,
              "aster: 1 footprint written, 3 listed files skipped: 1 too many levels of "
              "symbolic links, 1 file whose name holds a NUL byte, 1 GranuleUR is not a "
              "text\n");
}

// The exit status says whether the output was published, whatever became of standard
// error, which --verbose writes to (closed, or a pipe into head -1).
TEST(CommandLine, PublishedIsSuccessWithStandardErrorGone) {
    TempFolder folder, out;
    folder.write("a.met", test::ExampleScene());
    folder.write("b.txt", "no scene");
    folder.write("filelist.txt", "a.met\r\nb.txt\r\n");
    for (const char* command : {"footprints", "stac"}) {
        const std::string output =
            out.file(std::string(command) == "stac" ? "catalogue" : "footprints.gpkg");
        const std::string args[] = {"aster", command, "--verbose", folder.path(), "-o", output};
        const char* argv[std::size(args)];
        for (std::size_t i = 0; i < std::size(args); ++i)
            argv[i] = args[i].c_str();
        std::ostringstream stdout, stderr;
        stderr.setstate(std::ios::badbit);
        const int status =
            RunCommandLine(int(std::size(argv)), argv,
                           {.out = stdout, .err = stderr, .layers = {&WriteFootprints, &CheckVectorDriver}});
        EXPECT_EQ(status, 0) << command;
        EXPECT_TRUE(std::filesystem::exists(output)) << command;
    }
}

// A shapefile holds 254 bytes of a text: a path cut to that names no file, so the run
// says which field lost how many texts.
TEST(CommandLine, TextsAShapefileCutAreCounted) {
    TempFolder folder, out;
    const std::string deep(250, 'd');
    std::filesystem::create_directory(folder.file(deep));
    folder.write(deep + "/a.met", test::ExampleScene());
    folder.write("b.met", test::ExampleScene());
    folder.write("filelist.txt", deep + "/a.met\nb.met\n");
    const Outcome shapefile = RunAster({"footprints", folder.path(), "-o", out.file("fp.shp")});
    EXPECT_EQ(shapefile.status, 0);
    EXPECT_NE(shapefile.err.find("aster: 1 text of the field path cut to 254 bytes"),
              std::string::npos)
        << shapefile.err;
    // Of another name, so that the two layers keep a style each.
    const Outcome package = RunAster({"footprints", folder.path(), "-o", out.file("all.gpkg")});
    EXPECT_EQ(package.err, "aster: 2 footprints written, 0 listed files skipped\n");
}

// A tree read where it lies, as a read-only archive would be: listed in memory, nothing
// written into it, every layout and folder told apart, hidden folders and links to
// folders not entered; both commands read the same scenes.
TEST(CommandLine, ATreeReadWithoutWritingIntoIt) {
    TempFolder tree, out;
    for (const char* folder : {"2003", "2004/day", ".hidden", "empty"})
        std::filesystem::create_directories(tree.file(folder));
    tree.write("2003/a.met", test::ExampleScene());
    tree.write("2004/day/b.MET", test::ExampleScene());
    tree.write("2004/day/c.txt", "notes");
    tree.write(".hidden/d.met", test::ExampleScene());
    std::filesystem::create_directory_symlink(tree.file("2003"), tree.file("link"));
    // What the tree holds, and when each entry last changed, before and after.
    const auto snapshot = [&] {
        std::map<std::string, std::int64_t> entries;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(tree.path())) {
            struct stat info {};
            ::lstat(entry.path().c_str(), &info);
            entries[entry.path()] = info.st_mtim.tv_sec * 1'000'000'000 + info.st_mtim.tv_nsec;
        }
        return entries;
    };
    const auto before = snapshot();
    const Outcome layer = RunAster({"footprints", tree.path(), "-r", "-o", out.file("fp.gpkg")});
    EXPECT_EQ(layer.status, 0) << layer.err;
    EXPECT_EQ(layer.err, "aster: 2 footprints written, 2 listed files skipped: 1 not scene "
                         "metadata, 1 link to a folder, which is not followed\n");
    // The package's description names the tree it read, not a list file it never had.
    EXPECT_NE(out.read("fp.gpkg").find("ASTER scenes in the tree of " + tree.path() + ", "),
              std::string::npos);
    const Outcome items = RunAster({"stac", tree.path(), "--match", "*.met", "--match", "*.MET",
                                    "--recursive", "-o", out.file("cat")});
    EXPECT_EQ(items.status, 0) << items.err;
    EXPECT_EQ(items.err, "aster: 2 items written, 0 listed files skipped\n");
    EXPECT_EQ(snapshot(), before);
    EXPECT_FALSE(std::filesystem::exists(tree.file("filelist.txt")));
    // --list reads a list kept elsewhere, with LF line ends as find writes them.
    out.write("list.txt", "2003/a.met\n2004/day/b.MET\n");
    const Outcome listed = RunAster({"footprints", tree.path(), "--list", out.file("list.txt"),
                                     "-o", out.file("listed.gpkg")});
    EXPECT_EQ(listed.err, "aster: 2 footprints written, 0 listed files skipped\n");
    EXPECT_NE(out.read("listed.gpkg").find("ASTER scenes listed in " + out.file("list.txt") + ", "),
              std::string::npos);
    EXPECT_EQ(RunAster({"footprints", tree.path(), "--list", "x", "-r", "-o", "y.gpkg"}).status,
              2);
}

// A folder on a drive mounted read-only: each command's hint says what it can do there,
// never sending table or polys to make a list they could not use.
TEST(CommandLine, AReadOnlyDriveGetsEachCommandsWay) {
    TempFolder folder, listed;
    folder.write("a.met", test::ExampleScene());
    listed.write("a.met", test::ExampleScene());
    listed.write("filelist.txt", "a.met\r\n");
    const int status = test::InChild([&] {
        if (!test::OwnMountNamespace())
            return test::kSkip;
        for (const TempFolder* f : {&folder, &listed})
            if (::mount(f->path().c_str(), f->path().c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                ::mount(nullptr, f->path().c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                        nullptr) != 0)
                return test::kSkip;
        const std::string elsewhere = "write the list elsewhere with -o LIST, then give it to "
                                      "footprints or stac with --list LIST";
        const std::string copy = "table and polys write into FOLDER, which is read-only";
        const std::string withoutAList = "read the folder with --recursive, or give a list";
        const TempFolder out;
        const struct {
            Strings args;
            std::string hint;
        } rows[] = {
            {{"list", folder.path()}, elsewhere},
            {{"table", folder.path()}, copy},
            {{"polys", listed.path(), "--check-blanks"}, copy},
            {{"footprints", folder.path(), "-o", out.file("fp.gpkg")}, withoutAList},
            {{"stac", folder.path(), "-o", out.file("cat")}, withoutAList},
        };
        for (const auto& row : rows) {
            const Outcome outcome = RunAster(row.args);
            if (outcome.status != 1 || outcome.err.find(row.hint) == std::string::npos) {
                std::cerr << outcome.err;
                return 1;
            }
        }
        return 0;
    });
    if (status == test::kSkip)
        GTEST_SKIP() << "no read-only mount can be made here";
    EXPECT_EQ(status, 0);
}

// The STAC catalogue of the example scenes: the summary, --verbose's lines, an earlier
// catalogue refused with the command's own hint, the license as SPDX spells it.
TEST(CommandLine, StacCatalogueOfTheListedScenes) {
    TempFolder folder;
    FillSceneFolder(folder);
    ASSERT_EQ(RunAster({"list", folder.path()}).status, 0);
    const std::string out = folder.file("sub/cat");
    Outcome outcome = RunAster({"stac", folder.path(), "-o", out, "--license", "cc-by-4.0"});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "aster: 2 items written, 3 listed files skipped: 1 empty file, 1 not scene "
                          "metadata, 1 folder (use --recursive)\n");
    std::ifstream collection(out + "/collection.json");
    const std::string text{std::istreambuf_iterator<char>(collection), {}};
    EXPECT_NE(text.find("\"license\": \"CC-BY-4.0\""), std::string::npos) << text;

    outcome = RunAster({"stac", folder.path(), "-o", out});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "aster: Error 17: File exists: " + out +
                               "\naster: Choose another output name, or use --overwrite to "
                               "replace the earlier catalogue.\n");

    outcome = RunAster({"stac", "--verbose", "--overwrite", folder.path(), "-o", out});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.err, "aster: skipped " + folder.file("blank.met") +
                               ": an empty file\n"
                               "aster: skipped " +
                               folder.file("notes.txt") +
                               ": not scene metadata\n"
                               "aster: skipped " +
                               folder.file("sub") +
                               ": a folder\n"
                               "aster: 2 items written, 3 listed files skipped: 1 empty file, 1 not scene "
                          "metadata, 1 folder (use --recursive)\n");

    // Asset hrefs from a base, in an ItemCollection too; its links stay relative.
    const std::string items = folder.file("items.json");
    outcome = RunAster({"stac", folder.path(), "-o", items, "--asset-href-base",
                        "https://data.example.org/aster"});
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    std::ifstream file(items);
    const std::string features{std::istreambuf_iterator<char>(file), {}};
    EXPECT_NE(features.find("\"href\":\"https://data.example.org/aster/"), std::string::npos);
    EXPECT_EQ(features.find("\"href\":\"../"), std::string::npos) << features;
    EXPECT_NE(features.find("\"href\":\"./collection.json\""), std::string::npos);
}

// An output that is one of the files the run reads would take its place: refused, and
// the file stays as it was.
TEST(CommandLine, AnOutputThatTheRunReadsIsRefused) {
    TempFolder folder;
    FillSceneFolder(folder);
    folder.write("u.json", test::GranuleXml()); // a scene, told by its text, not its name
    ASSERT_EQ(RunAster({"list", folder.path()}).status, 0);
    const Strings cases[] = {
        {"footprints", "-f", "GeoJSON", "-o", "z.met"},
        {"footprints", "-f", "GeoJSON", "-o", "filelist.txt"},
        {"footprints", "-o", "u.json"},
        {"stac", "-o", "u.json"},
    };
    for (Strings args : cases) {
        const std::string output = args.back();
        SCOPED_TRACE(args.front() + " " + output);
        args.back() = folder.file(output);
        args.insert(args.end(), {"--overwrite", folder.path()});
        const std::string before = folder.read(output);
        const Outcome outcome = RunAster(args);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.err.find("is a file this run reads: "), std::string::npos)
            << outcome.err;
        EXPECT_EQ(folder.read(output), before);
    }
    // Under another name, through a link or as a second hard link, it is the same file.
    TempFolder other;
    std::filesystem::create_symlink(folder.file("u.json"), other.file("alias.json"));
    std::filesystem::create_hard_link(folder.file("z.met"), other.file("hard.met"));
    std::filesystem::create_symlink(folder.file("a.met"), other.file("link.json"));
    other.write("filelist.txt", "alias.json\r\nhard.met\r\nlink.json\r\n");
    for (const Strings& args :
         {Strings{"stac", "-o", folder.file("u.json")},
          Strings{"footprints", "-f", "GeoJSON", "-o", folder.file("z.met")},
          Strings{"stac", "-o", other.file("link.json")}}) { // the link the list names
        Strings given = args;
        given.insert(given.end(), {"--overwrite", other.path()});
        EXPECT_EQ(RunAster(given).status, 1) << args.back();
    }
    // Another file of the same name is no reason to refuse.
    const std::string elsewhere = folder.file("sub/z.met");
    EXPECT_EQ(RunAster({"footprints", "-f", "GeoJSON", "-o", elsewhere, folder.path()}).status, 0);
}

// A run that reads no scene keeps the earlier output, fails, and still says what it
// skipped and why.
TEST(CommandLine, ARunThatReadsNothingSaysWhatItSkipped) {
    TempFolder folder, out;
    FillSceneFolder(folder);
    folder.write("bad.txt", "blank.met\r\nnotes.txt\r\n");
    for (const std::string output : {"fp.gpkg", "items.json"}) {
        SCOPED_TRACE(output);
        const std::string command = output == "fp.gpkg" ? "footprints" : "stac";
        ASSERT_EQ(RunAster({"list", folder.path()}).status, 0);
        ASSERT_EQ(RunAster({command, folder.path(), "-o", out.file(output)}).status, 0);
        const std::string before = out.read(output);
        const Outcome outcome = RunAster({command, folder.path(), "--list", folder.file("bad.txt"),
                                          "-o", out.file(output), "--overwrite"});
        EXPECT_EQ(outcome.status, 1);
        EXPECT_NE(outcome.err.find(" written, 2 listed files skipped: "), std::string::npos)
            << outcome.err;
        EXPECT_NE(outcome.err.find("Error 61: No listed file of " + folder.path() +
                                   " gave a scene, so the earlier " + out.file(output) +
                                   " was kept as it is\n"),
                  std::string::npos)
            << outcome.err;
        EXPECT_EQ(out.read(output), before);
        // A pattern in the wrong case finds no file: the same.
        const Outcome unmatched = RunAster(
            {command, folder.path(), "--match", "*.MET", "-o", out.file(output), "--overwrite"});
        EXPECT_EQ(unmatched.status, 1);
        EXPECT_NE(unmatched.err.find("No file of " + folder.path() + " was found to read"),
                  std::string::npos)
            << unmatched.err;
        EXPECT_EQ(out.read(output), before);
    }
}

TEST(CommandLine, StopsOnSignalsAndRestoresTheirHandlers) {
    struct sigaction before {};
    ::sigaction(SIGHUP, nullptr, &before);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const Outcome outcome = RunAster({"footprints", "-o", "x.gpkg"},
                                         [signal](const std::string&, const FootprintOptions&,
                                                  FootprintReport&, SceneRunHost& host) -> std::optional<Error> {
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
    ::sigaction(SIGHUP, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// A run that does not come to a stop after the first signal is ended by the second, but
// not by the same signal sent again at once, as to the process and then to its group.
TEST(CommandLine, ASecondSignalEndsTheProcess) {
    // While an output's files are put in place, the end waits until they all are.
    enum class When { AtOnce, Later, LaterWhilePublishing };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        for (const When when : {When::AtOnce, When::Later, When::LaterWhilePublishing}) {
            const TempFolder marks;
            const int status = test::InChild([signal, when, &marks] {
                RunAster({"footprints", "-o", "x.gpkg"},
                         [signal, when, &marks](const std::string&, const FootprintOptions&,
                                                FootprintReport&,
                                                SceneRunHost& host) -> std::optional<Error> {
                             std::raise(signal);
                             if (!host.cancelRequested())
                                 ::_exit(2);
                             std::optional<HoldEnds> publishing;
                             if (when == When::LaterWhilePublishing)
                                 publishing.emplace();
                             if (when != When::AtOnce)
                                 ::usleep(150'000);
                             std::raise(signal);
                             marks.write("after the second", "");
                             publishing.reset();
                             ::_exit(3);
                         });
                return 4;
            });
            const int w = static_cast<int>(when);
            EXPECT_EQ(status, when == When::AtOnce ? 3 : 128 + signal) << strsignal(signal) << w;
            EXPECT_EQ(marks.exists("after the second"), when != When::Later)
                << strsignal(signal) << w;
        }
    }
}

// A signal that comes once a command has published its output, while the process
// finishes, ends nothing where the process ends with the command: its status says the
// output was written.
TEST(CommandLine, ASignalAfterTheCommandLeavesItsStatus) {
    for (const bool endsProcess : {true, false}) {
        const int status = test::InChild([endsProcess] {
            TempFolder folder;
            const char* argv[] = {"aster", "list", folder.path().c_str()};
            std::ostringstream out, err;
            const int done = RunCommandLine(3, argv,
                                            {.out = out,
                                             .err = err,
                                             .layers = {&WriteFootprints, &CheckVectorDriver},
                                             .endsProcess = endsProcess});
            std::raise(SIGTERM);
            return folder.exists("filelist.txt") ? done : 1;
        });
        EXPECT_EQ(status, endsProcess ? 0 : 128 + SIGTERM) << endsProcess;
    }
}

// The advice under each kind of error, as properties rather than texts: what the core
// leaves to the front end is worded here, never with the window's buttons; the list's
// kinds say how to make the list; everything else keeps the core's own advice.
TEST(CommandLine, HintsByKind) {
    const std::set<ErrorKind> frontEndWords{
        ErrorKind::ListMissing,    ErrorKind::FolderGone,   ErrorKind::NoCurrentFolder,
        ErrorKind::LineTooLong,    ErrorKind::NotRegularFile, ErrorKind::OutputExists,
        ErrorKind::UnknownFormat};
    const std::set<ErrorKind> madeByList{ErrorKind::ListMissing, ErrorKind::LineTooLong,
                                         ErrorKind::NotRegularFile};
    for (int value = 0; value <= static_cast<int>(ErrorKind::NoMemory); ++value) {
        const auto kind = static_cast<ErrorKind>(value);
        SCOPED_TRACE(value);
        const std::string worded = CommandLineHint(Error{1, "d", {}, kind});
        for (const char* control : {"Get List of Files", "Create Text File", "button", "click"}) {
            EXPECT_EQ(worded.find(control), std::string::npos) << worded;
        }
        EXPECT_EQ(!worded.empty(), frontEndWords.count(kind) == 1) << worded;
        EXPECT_EQ(worded.find("aster list") != std::string::npos, madeByList.count(kind) == 1);
        if (frontEndWords.count(kind) == 0) {
            EXPECT_EQ(CommandLineHint(Error{1, "d", "the core's", kind}), "the core's");
        }
    }
    EXPECT_NE(CommandLineHint(Error{1, "d", {}, ErrorKind::OutputExists}).find("--overwrite"),
              std::string::npos);
    EXPECT_EQ(CommandLineHint(SystemError(ENOSPC, "/f")),
              "The disk is full: make room on it and try again.");
}

// A list that is a FIFO, a device or a socket is named, with what to do, and never read.
TEST(CommandLine, AListThatIsNoOrdinaryFile) {
    const std::function<void(const std::string&)> makers[] = {
        [](const std::string& path) { ::mkfifo(path.c_str(), 0644); },
        [](const std::string& path) { ::symlink("/dev/zero", path.c_str()); },
        [](const std::string& path) { test::MakeSocket(path); },
    };
    for (const auto& make : makers) {
        TempFolder folder;
        make(folder.file("filelist.txt"));
        for (const char* command : {"table", "polys"}) {
            const Outcome outcome = RunAster({command, folder.path()});
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.err,
                      "aster: Error 22: Not a regular file: " + folder.file("filelist.txt") +
                          "\naster: The list must be an ordinary file: make it "
                          "again with \"aster list\".\n");
        }
    }
}

// Every command the help lists, and every option of each, is in the manual page: the
// declaration is the one place they are named, and the page must follow it.
TEST(CommandLine, TheManualPageDescribesWhatTheHelpLists) {
    std::ifstream file(ASTER_MANUAL);
    const std::string manual{std::istreambuf_iterator<char>(file), {}};
    ASSERT_FALSE(manual.empty());
    const std::string help = RunAster({"--help"}).out;
    const std::size_t commandsAt = help.find("\nCommands:\n");
    ASSERT_NE(commandsAt, std::string::npos) << help;
    std::istringstream lines(help.substr(commandsAt + 11));
    std::vector<std::string> commands;
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        if (line.starts_with("  ") && line[2] != ' ')
            commands.push_back(line.substr(2, line.find(' ', 2) - 2));
    }
    EXPECT_EQ(commands, (Strings{"list", "table", "polys", "footprints", "stac"}));
    const std::regex option("--[a-z][a-z-]*");
    for (const std::string& command : commands) {
        EXPECT_NE(manual.find("\n.B aster " + command + "\n"), std::string::npos) << command;
        const std::string commandHelp = RunAster({command, "--help"}).out;
        for (auto at = std::sregex_iterator(commandHelp.begin(), commandHelp.end(), option);
             at != std::sregex_iterator(); ++at) {
            std::string roff;
            for (const char c : at->str())
                roff += c == '-' ? "\\-" : std::string(1, c);
            EXPECT_NE(manual.find(roff), std::string::npos) << command << " " << at->str();
        }
    }
}

TEST(Display, FoundAsQtWouldFindIt) {
    using Environment = std::map<std::string, std::string>;
    const std::string none =
        ": no display to open the window on; the commands work without one (aster --help).\n";
    const auto silent = [](const std::string& name) {
        return ": the display " + name +
               " does not answer; the commands work without one (aster --help).\n";
    };
    // Displays named ":9" and "wayland-9" do not answer; every other one does.
    const std::pair<Environment, std::string> rows[] = {
        {{}, none},
        {{{"DISPLAY", ""}}, none},
        {{{"DISPLAY", ":0"}}, ""},
        {{{"DISPLAY", ":9"}}, silent(":9")},
        {{{"DISPLAY", ":9"}, {"WAYLAND_DISPLAY", "wayland-0"}}, ""},
        {{{"DISPLAY", ":9"}, {"WAYLAND_DISPLAY", "wayland-9"}}, silent(":9")},
        {{{"WAYLAND_DISPLAY", "wayland-0"}}, ""},
        {{{"WAYLAND_DISPLAY", "wayland-9"}}, silent("wayland-9")},
        {{{"QT_QPA_PLATFORM", "offscreen"}}, ""},
        {{{"QT_QPA_PLATFORM", "offscreen"}, {"DISPLAY", ":9"}}, ""},
        {{{"QT_QPA_PLATFORM", "xcb"}}, none},
        {{{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":1"}}, ""},
        {{{"QT_QPA_PLATFORM", "xcb"}, {"DISPLAY", ":9"}}, silent(":9")},
        {{{"QT_QPA_PLATFORM", "wayland-egl"}, {"DISPLAY", ":1"}}, none},
        {{{"QT_QPA_PLATFORM", "wayland;xcb"}, {"DISPLAY", ":1"}}, ""},
        {{{"QT_QPA_PLATFORM", "xcb;offscreen"}, {"DISPLAY", ":9"}}, ""},
        {{{"QT_QPA_PLATFORM", "vnc:size=800x600"}}, ""},
        {{{"QT_QPA_PLATFORM", ""}, {"DISPLAY", ":0"}}, ""},
        {{{"QT_QPA_PLATFORM", ";"}}, none},
    };
    for (const auto& [environment, expected] : rows) {
        const std::optional<std::string> reason = NoDisplayReason(
            [&environment](const char* name) -> const char* {
                const auto at = environment.find(name);
                return at == environment.end() ? nullptr : at->second.c_str();
            },
            [](std::string_view, std::string_view name) {
                return name != ":9" && name != "wayland-9";
            });
        EXPECT_EQ(reason.value_or(""), expected) << testing::PrintToString(environment);
    }
}

// The probes themselves, on sockets of this test's own: a display answers only while
// something listens at its socket.
TEST(Display, AnswersOnlyWhileSomethingListens) {
    TempFolder folder;
    const std::string xSocket = folder.file("X7");
    EXPECT_FALSE(XDisplayAnswers(":7", folder.path()));
    EXPECT_FALSE(WaylandDisplayAnswers("wl", folder.path().c_str()));
    EXPECT_FALSE(WaylandDisplayAnswers("wl", nullptr));
    const auto listen = [](const std::string& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(fd, 1), 0);
        return fd;
    };
    const int x = listen(xSocket);
    const int wayland = listen(folder.file("wl"));
    EXPECT_TRUE(XDisplayAnswers(":7", folder.path()));
    EXPECT_TRUE(XDisplayAnswers("unix:7.0", folder.path()));
    EXPECT_FALSE(XDisplayAnswers(":8", folder.path()));
    EXPECT_TRUE(WaylandDisplayAnswers("wl", folder.path().c_str()));
    EXPECT_TRUE(WaylandDisplayAnswers(folder.file("wl"), nullptr));
    ::close(x);
    ::close(wayland);
    // A socket left behind by a display that has ended does not answer.
    EXPECT_FALSE(XDisplayAnswers(":7", folder.path()));
    // Names it cannot read, and remote hosts, are left for Qt to try.
    EXPECT_TRUE(XDisplayAnswers("nonsense", folder.path()));
    EXPECT_TRUE(XDisplayAnswers("far.example.org:0", folder.path()));
}

TEST(WindowStart, LooksBesideItselfThenInTheBuildTreeThenOnThePath) {
    const std::pair<std::string, Strings> rows[] = {
        {"/usr/bin/aster", {"/usr/bin/aster-window", "aster-window"}},
        {"/src/build/release/cli/aster",
         {"/src/build/release/cli/aster-window", "/src/build/release/cli/../app/aster-window",
          "aster-window"}},
        {"", {"aster-window"}},
    };
    for (const auto& [self, candidates] : rows)
        EXPECT_EQ(WindowProgramCandidates(self), candidates) << self;
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

// Runs the built program (or `program`) without any display unless `environment` names
// one, its standard output and error on the descriptors given; returns its wait status.
int Spawn(Strings args, int out, int err, Strings environment = {},
          std::string program = ASTER_PROGRAM) {
    args.insert(args.begin(), program);
    args.insert(args.begin(), environment.begin(), environment.end());
    args.insert(args.begin(),
                {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"});
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
    // The layers through their module, beside the program.
    EXPECT_EQ(
        Spawn({"footprints", scenes.path(), "-o", logs.file("fp.gpkg")}, out.get(), err.get()), 0);
    EXPECT_TRUE(std::filesystem::exists(logs.file("fp.gpkg")));
    EXPECT_TRUE(logs.read("err").starts_with("aster: 2 footprints written"));

    // A reader that has gone makes writing the help an error, not a silent end.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[0]);
    const UniqueFd writeEnd(ends[1]);
    const int status = Spawn({"--help"}, writeEnd.get(), err.get());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// A program without its layers' module runs every other command, and a command that writes
// a layer fails as an error, not as a usage error, naming what is missing.
TEST(Program, WithoutItsLayersModuleRunsTheOtherCommands) {
    TempFolder place, scenes, logs;
    FillSceneFolder(scenes);
    std::filesystem::copy_file(ASTER_PROGRAM, place.file("aster"));
    const UniqueFd out(::open(logs.file("out").c_str(), O_WRONLY | O_CREAT, 0600));
    const UniqueFd err(::open(logs.file("err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600));
    const auto run = [&](Strings args) {
        const int status = Spawn(std::move(args), out.get(), err.get(), {}, place.file("aster"));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(run({"list", scenes.path()}), 0);
    EXPECT_EQ(run({"table", scenes.path()}), 0);
    EXPECT_EQ(logs.read("err"), "");
    for (const Strings& args :
         {Strings{"footprints", scenes.path(), "-o", logs.file("fp.gpkg")},
          Strings{"footprints", scenes.path(), "-o", logs.file("fp.x"), "-f", "GPKG"}})
        EXPECT_EQ(run(args), 1) << args.back();
    EXPECT_FALSE(std::filesystem::exists(logs.file("fp.gpkg")));
    EXPECT_NE(logs.read("err").find("The footprint layers are not installed: no " +
                                    place.file("aster-layers.so")),
              std::string::npos)
        << logs.read("err");
}

// Without a command: one line and status 1 where no window can open, else the window's
// program in this program's place.
TEST(Program, WithoutACommandStartsTheWindowOrSaysWhyNot) {
    TempFolder place, logs;
    std::filesystem::copy_file(ASTER_PROGRAM, place.file("aster"));
    const UniqueFd out(::open(logs.file("out").c_str(), O_WRONLY | O_CREAT, 0600));
    const UniqueFd err(::open(logs.file("err").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600));
    const auto exitStatus = [](int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; };
    const Strings noPath{"PATH=" + place.file("nowhere")};
    const Strings display{"DISPLAY=:4711", "PATH=" + place.file("nowhere")};

    EXPECT_EQ(exitStatus(Spawn({}, out.get(), err.get(), noPath, place.file("aster"))), 1);
    // Named, but nothing answers there: a stale DISPLAY.
    EXPECT_EQ(exitStatus(Spawn({}, out.get(), err.get(), display, place.file("aster"))), 1);
    // A display that answers, as an X server's abstract socket does.
    const UniqueFd server(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = std::string(1, '\0') + "/tmp/.X11-unix/X4711";
    name.copy(address.sun_path, name.size());
    ASSERT_EQ(::bind(server.get(), reinterpret_cast<const sockaddr*>(&address),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())),
              0);
    ASSERT_EQ(::listen(server.get(), 4), 0);
    EXPECT_EQ(exitStatus(Spawn({}, out.get(), err.get(), display, place.file("aster"))), 1);
    place.write("aster-window", "#!/bin/sh\necho \"$0 $# $DISPLAY\" > \"${0%/*}/ran\"\nexit 7\n");
    ::chmod(place.file("aster-window").c_str(), 0755);
    EXPECT_EQ(exitStatus(Spawn({}, out.get(), err.get(), display, place.file("aster"))), 7);
    EXPECT_EQ(place.read("ran"), place.file("aster-window") + " 0 :4711\n");
    EXPECT_EQ(logs.read("out"), "");
    EXPECT_EQ(logs.read("err"),
              "aster: no display to open the window on; the commands work without one (aster "
              "--help).\n"
              "aster: the display :4711 does not answer; the commands work without one (aster "
              "--help).\n"
              "aster: the window is not installed (the aster-window package); the commands work "
              "without it (aster --help).\n");
}

} // namespace
} // namespace aster
