#include "cli/command_line.h"

#include "catalogue/build_run.h"
#include "footprints/database_layer.h"
#include "footprints/footprint_layer.h"
#include "cli/hints.h"
#include "cli/progress_line.h"
#include "cli/stop_signals.h"
#include "fileio/ascii.h"
#include "fileio/folder.h"
#include "fileio/near_names.h"
#include "fileio/unique_fd.h"
#include "fileio/whole_file.h"
#include "footprints/output_formats.h"
#include "listing/folder_listing.h"
#include "readahead/list_reader.h"
#include "stac/licenses.h"
#include "stac/stac_catalogue.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace aster {

namespace {

constexpr std::string_view kTryHelp = "Try 'aster --help' for more information.\n";

constexpr std::string_view kNothingMatched =
    "No name matched --match. Patterns tell capitals from small letters ('*.met' does not "
    "match A.MET): give one of each to match both.";
constexpr std::string_view kNoSuchList =
    "There is no such list: name one that exists after --list (a path from the current "
    "folder), or leave --list out to read FOLDER/filelist.txt.";
constexpr std::string_view kListFromAPipe =
    "A list is read from an ordinary file, not from a device, a pipe or standard input: "
    "write it to "
    "one first (find . -name '*.met' > list.txt), then name that file after --list.";
constexpr std::string_view kQuoteThePattern =
    "The shell may have put the names of files in place of the pattern after --match: "
    "quote the pattern, as in --match '*.xml'.";

// A read-only archive is still read where it lies: only its list must go elsewhere.
constexpr std::string_view kListElsewhere =
    "The drive is read-only: write the list elsewhere with -o LIST, then give it to "
    "footprints or stac with --list LIST (table and polys write into FOLDER itself).";
// footprints and stac read such a folder without a list of its own.
constexpr std::string_view kReadWithoutAList =
    "The drive is read-only, so it holds no list: read the folder with --recursive, or give "
    "a list made elsewhere with --list LIST.";
// table and polys write their files into the folder, so no list elsewhere helps them.
constexpr std::string_view kTextFilesNeedAWritableFolder =
    "table and polys write into FOLDER, which is read-only: copy the scenes to a folder you "
    "can write to, or write a layer or a catalogue elsewhere with footprints or stac "
    "(--recursive reads the folder without writing into it).";

// What the command line asked for: the chosen command's arguments, bound to its options
// by the declaration below, and the function that runs it.
struct Request;
using CommandRun = int (*)(const Request& request, const CommandLineContext& context);

struct Request {
    CommandRun run = nullptr;
    std::string folder = ".";
    bool checkBlanks = false;
    bool verbose = false;
    std::vector<std::string> namePatterns; // list: shell patterns on names
    bool recursive = false;                // list: the files in subfolders too
    std::string listPath;                  // list: where the list goes, if not into FOLDER
    FootprintOptions footprints;
    StacOptions stac;
};

// The hint for patterns that matched no name. One with no wildcard that names a file in
// the current folder is most likely the shell's expansion of an unquoted pattern
// (--match *.xml where one file matched), not a pattern in the wrong case.
std::string_view NothingMatchedHint(const Request& request) {
    for (const std::string& pattern : request.namePatterns) {
        struct stat file {};
        if (pattern.find_first_of("*?[") == std::string::npos &&
            ::lstat(pattern.c_str(), &file) == 0)
            return kQuoteThePattern;
    }
    return kNothingMatched;
}

int RunList(const Request& request, const CommandLineContext& context);
int RunTable(const Request& request, const CommandLineContext& context);
int RunPolys(const Request& request, const CommandLineContext& context);
int RunFootprints(const Request& request, const CommandLineContext& context);
int RunStac(const Request& request, const CommandLineContext& context);

// Help in the layout of GNU programs: the usage line first, naming the options a command
// cannot do without; a command's long text before its arguments; "-o, --output FILE".
class HelpLayout final : public CLI::Formatter {
  public:
    HelpLayout() {
        column_width(24);
        label("Positionals", "Arguments");
    }

    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        const bool command = app->get_parent() != nullptr;
        std::string text = make_usage(app, name);
        text += command ? "\n" + app->get_footer() : app->get_description();
        text += make_positionals(app);
        text += make_groups(app, mode);
        text += make_subcommands(app, mode);
        if (!command)
            text += "\n" + app->get_footer();
        return text;
    }

    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string text = "Usage: " + name;
        bool optional = false;
        for (const CLI::Option* option : app->get_options()) {
            if (option->get_positional())
                continue;
            if (!option->get_required()) {
                optional = true;
                continue;
            }
            const auto& shortNames = option->get_snames();
            text += shortNames.empty() ? " --" + option->get_lnames().front()
                                       : " -" + shortNames.front();
            text += " " + option->get_type_name();
        }
        if (optional)
            text += " [OPTIONS]";
        for (const CLI::Option* option : app->get_options()) {
            if (option->get_positional())
                text += " " + make_option_usage(option);
        }
        if (!app->get_subcommands({}).empty())
            text += " [COMMAND]";
        return text + "\n";
    }

    std::string make_option_name(const CLI::Option* option, bool positional) const override {
        if (positional)
            return option->get_name(true, false);
        std::string names;
        for (const std::string& name : option->get_snames())
            names += (names.empty() ? "-" : ", -") + name;
        for (const std::string& name : option->get_lnames())
            names += (names.empty() ? "    --" : ", --") + name;
        return names;
    }

    // The usage line names the options a command needs.
    std::string make_option_opts(const CLI::Option* option) const override {
        if (option->get_type_size() == 0 || option->get_type_name().empty())
            return {};
        return " " + option->get_type_name();
    }
};

// An argument that names a file or a folder: an empty one names none.
CLI::Validator NamesSomething(std::string what) {
    return CLI::Validator(
        [what](std::string& value) { return value.empty() ? what + " is empty" : std::string(); },
        "");
}

// An output's folder must be there already: the message names the folder, where the
// run's error would name only the output.
CLI::Validator InExistingFolder() {
    return CLI::Validator(
        [](std::string& value) {
            std::string_view path = value;
            if (path == "-")
                return std::string("- is not standard output here: outputs are files or "
                                   "folders; name one, or ./- for one named -");
            // A database's connection string ("PG:...", "host=/run/x dbname=y" or a URI
            // for -f PostgreSQL) names no folder, and may hold a password not to echo.
            if (StartsWithNoCase(path, "PG:") || path.find('=') < path.find('/') ||
                path.find("://") != std::string_view::npos)
                return std::string();
            while (path.size() > 1 && path.back() == '/')
                path.remove_suffix(1);
            const std::size_t slash = path.rfind('/');
            if (slash == std::string_view::npos)
                return std::string(); // the current folder, which the run checks
            const std::string folder(path.substr(0, std::max<std::size_t>(slash, 1)));
            struct stat info {};
            if (::stat(folder.c_str(), &info) != 0)
                return errno == ENOENT || errno == ENOTDIR
                           ? "the folder " + folder + " does not exist: make it first, or " +
                                 "write elsewhere"
                           : std::string(); // the run says what else is wrong
            if (!S_ISDIR(info.st_mode))
                return folder + " is not a folder: name an output in a folder";
            return std::string();
        },
        "");
}

CLI::App* AddCommand(CLI::App& app, const char* name, const char* summary, const char* text,
                     Request& request, CommandRun run) {
    CLI::App* command = app.add_subcommand(name, summary);
    command->group("Commands");
    command->set_help_flag("-h,--help", "show this help");
    command->footer(text);
    command->callback([&request, run] { request.run = run; });
    command->add_option("FOLDER", request.folder,
                        "the folder to work in; the current folder unless given")
        ->type_name("")
        ->check(NamesSomething("the folder name"));
    return command;
}

CLI::Option* AddFlag(CLI::App& command, const char* names, bool& value, const char* help) {
    // "--flag=value" is a usage error, not a way to turn the flag off.
    return command.add_flag(names, value, help)->disable_flag_override();
}

// The options of a command that reads scenes: which files, from a list or the folder's
// tree, and the list it reads when not the folder's own.
void AddSceneSource(CLI::App& command, Request& request, std::string& listPath) {
    AddFlag(command, "-r,--recursive", request.recursive,
            "read the files of FOLDER's whole tree, listed in memory:\n"
            "nothing is written into FOLDER and no filelist.txt is\n"
            "needed; hidden folders and links to folders are not entered");
    command
        .add_option("--match", request.namePatterns,
                    "read only the files whose names match PATTERN, a shell\n"
                    "pattern as find -name takes it ('*.xml'), listed in\n"
                    "memory; may be given again")
        ->type_name("PATTERN")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false)
        ->check(NamesSomething("the pattern"));
    command
        .add_option("--list", listPath,
                    "read the files that LIST names, one path from FOLDER a\n"
                    "line, instead of FOLDER/filelist.txt (the list of a\n"
                    "read-only archive, written by aster list -o)")
        ->type_name("LIST")
        ->check(NamesSomething("the list's name"))
        ->excludes(command.get_option("--recursive"))
        ->excludes(command.get_option("--match"));
}

// The layer's format, from -f or else from the output's extension: a name that says none
// is a usage error.
void ChooseLayerFormat(FootprintOptions& layer, const LayerCalls& layers) {
    if (IsDatabaseOutput(layer)) {
        if (!layer.driverName.empty() && !EqualsNoCase(layer.driverName, kDatabaseDriver))
            throw CLI::ValidationError("a PG: connection is written with -f PostgreSQL only");
        layer.driverName = kDatabaseDriver;
        return;
    }
    if (!layer.layerName.empty())
        throw CLI::ValidationError("--layer names a table in a database (-o PG:...); a "
                                   "file's layer is named after the file");
    if (!layer.driverName.empty()) {
        if (auto error = layers.checkVectorDriver(layer.driverName))
            throw CLI::ValidationError(error->description);
        if (auto error = CheckOutputName(layer.driverName, layer.outputPath))
            throw CLI::ValidationError(error->description);
        return;
    }
    const auto driver = DriverForPath(layer.outputPath);
    if (!driver)
        throw CLI::ValidationError("cannot tell the format of '" + layer.outputPath +
                                   "' from its extension: use " + OutputFormatChoices() +
                                   ", or name a GDAL vector driver with -f");
    layer.driverName = *driver;
}

// A license as an SPDX identifier, written as SPDX spells it.
CLI::Validator LicenseName() {
    return CLI::Validator(
        [](std::string& value) {
            const std::optional<std::string> license = CatalogueLicense(value);
            if (!license)
                return "'" + value +
                       "' is neither an SPDX license identifier nor various or "
                       "proprietary";
            value = *license;
            return std::string();
        },
        "");
}

// A base that each asset's path can follow: a URL without query or fragment, or an
// absolute path.
CLI::Validator AssetHrefBaseChecked() {
    return CLI::Validator(
        [](const std::string& value) {
            if (AssetHrefBase(value))
                return std::string();
            if (!value.starts_with('/') && value.find_first_of("?#") != std::string::npos)
                return "'" + value +
                       "' holds a query or fragment (? or #), which the "
                       "files' paths cannot follow";
            // A URL holds no blank; one pasted from a file manager often does.
            if (value.find(' ') != std::string::npos && value.find("://") != std::string::npos)
                return "'" + value + "' is no URL: a URL writes a blank as %20";
            return "'" + value + "' is neither a URL nor an absolute path";
        },
        "");
}

void DeclareList(CLI::App& app, Request& request) {
    CLI::App* list = AddCommand(
        app, "list", "write FOLDER/filelist.txt: the names in the folder",
        "Writes FOLDER/filelist.txt, as \"Get List of Files\" does: the name of every\n"
        "file and subfolder in FOLDER, sorted by their bytes, one a line. Hidden names,\n"
        "pipes, sockets, devices and names holding a line break are left out. With\n"
        "--recursive, the files of the whole tree instead, as paths from FOLDER.\n",
        request, &RunList);
    list->add_option("--match", request.namePatterns,
                     "list only the names that match PATTERN, a shell pattern\n"
                     "as find -name takes it ('*.xml'); may be given again,\n"
                     "for names that match any of them")
        ->type_name("PATTERN")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false)
        ->check(NamesSomething("the pattern"));
    AddFlag(*list, "-r,--recursive", request.recursive,
            "list the files in the subfolders too, as paths from\n"
            "FOLDER (2004/AST_L1T.hdf.xml), sorted by their bytes;\n"
            "hidden folders and links to folders are not entered");
    list->add_option("-o,--output", request.listPath,
                     "write the list to LIST instead of FOLDER/filelist.txt,\n"
                     "leaving FOLDER as it is (a read-only archive, say)")
        ->type_name("LIST")
        ->check(NamesSomething("the list's name"))
        ->check(InExistingFolder());
}

// table and polys: the two text runs of the listed files.
void DeclareTextRuns(CLI::App& app, Request& request) {
    const char* blanksHelp = "write the path of every listed file whose text does not\n"
                             "begin with GROUP to standard error, one a line";
    CLI::App* table = AddCommand(
        app, "table",
        "write FOLDER/table.txt: path, time, date and corner points of\n"
        "each file that filelist.txt lists",
        "Writes FOLDER/table.txt, as \"Create Text File of ASTER Data\" does with the table\n"
        "chosen: for each line of FOLDER/filelist.txt, a tab-separated row with the file's\n"
        "path, time, date and the latitude and longitude of its four corners. polys.txt is\n"
        "rewritten too, holding only its closing \"End\" line.\n",
        request, &RunTable);
    AddFlag(*table, "--check-blanks", request.checkBlanks, blanksHelp);

    CLI::App* polys = AddCommand(
        app, "polys",
        "write FOLDER/polys.txt: the listed files' corners as polygons\n"
        "in the ArcInfo \"generate\" layout",
        "Writes FOLDER/polys.txt, as \"Create Text File of ASTER Data\" does with polygons\n"
        "chosen: for each line of FOLDER/filelist.txt, a polygon of the file's four corners\n"
        "in the ArcInfo \"generate\" layout. table.txt is rewritten too, empty.\n",
        request, &RunPolys);
    AddFlag(*polys, "--check-blanks", request.checkBlanks, blanksHelp);
}

void DeclareFootprints(CLI::App& app, Request& request, const LayerCalls& layers) {
    CLI::App* footprints = AddCommand(
        app, "footprints",
        "write the listed files' footprints as a vector layer\n"
        "(GeoPackage, shapefile, GeoJSON, FlatGeobuf, KML or CSV)",
        "Writes the footprint of every file that FOLDER/filelist.txt lists to FILE, as a\n"
        "layer of polygons, then one line to standard error: how many footprints were\n"
        "written and how many listed files were skipped.\n",
        request, &RunFootprints);
    FootprintOptions& layer = request.footprints;
    footprints
        ->add_option("-o,--output", layer.outputPath,
                     "the layer to write; its extension chooses the format:\n"
                     ".gpkg GeoPackage, .shp shapefile, .geojson or .json\n"
                     "GeoJSON, .fgb FlatGeobuf, .kml KML, .csv CSV; or\n"
                     "PG:CONNECTION, a PostgreSQL database with PostGIS")
        ->type_name("FILE")
        ->required()
        ->check(NamesSomething("the layer's name"))
        ->check(InExistingFolder());
    footprints
        ->add_option("-f,--format", layer.driverName,
                     "the GDAL vector driver to write with instead, e.g. GPKG\n"
                     "or \"ESRI Shapefile\"")
        ->type_name("DRIVER")
        ->check(NamesSomething("the driver's name"));
    footprints
        ->add_option("--layer", layer.layerName,
                     "with -o PG:CONNECTION, the table to write\n"
                     "(default aster_footprints), or schema.table")
        ->type_name("NAME")
        ->check(NamesSomething("the table's name"));
    AddFlag(*footprints, "--overwrite", layer.overwrite, "replace FILE if it exists");
    // --spatial-index, once needed for the index that is now made by default, is still
    // taken so that scripts written for it keep working; the later of the two wins.
    AddFlag(*footprints, "!--no-spatial-index,--spatial-index", layer.spatialIndex,
            "leave out the spatial index that a GeoPackage, shapefile\n"
            "or FlatGeobuf layer otherwise gets (it lets a GIS draw\n"
            "part of a large layer fast); --spatial-index asks for it");
    AddSceneSource(*footprints, request, layer.listPath);
    AddFlag(*footprints, "--verbose", request.verbose,
            "name each skipped file and why it was skipped");
    footprints->parse_complete_callback([&layer, &layers] { ChooseLayerFormat(layer, layers); });
}

void DeclareStac(CLI::App& app, Request& request) {
    CLI::App* stac = AddCommand(
        app, "stac",
        "write a STAC catalogue of the listed scenes: a static\n"
        "catalogue folder, or an ItemCollection for bulk loading",
        "Writes a STAC 1.0.0 catalogue of the scenes that FOLDER/filelist.txt lists, then\n"
        "one line to standard error: how many items were written and how many listed\n"
        "files were skipped. OUT names a folder for a static catalogue (OUT/collection.json\n"
        "and each item in OUT/ID/ID.json, all links relative), or, ending in .json or\n"
        ".geojson, one ItemCollection file for bulk loaders. Each item points at its\n"
        "metadata file and the files beside it that start with the granule's ID.\n",
        request, &RunStac);
    StacOptions& catalogue = request.stac;
    stac->add_option("-o,--output", catalogue.outputPath,
                     "the catalogue's folder, or a .json or .geojson file for an\n"
                     "ItemCollection")
        ->type_name("OUT")
        ->required()
        ->check(NamesSomething("the catalogue's name"))
        ->check(InExistingFolder());
    AddFlag(*stac, "--overwrite", catalogue.overwrite,
            "replace OUT if it exists: a catalogue folder only when it\n"
            "is empty or holds nothing but a catalogue aster wrote");
    stac->add_option("--license", catalogue.license,
                     "the collection's license: an SPDX identifier such as\n"
                     "CC-BY-4.0, or various or proprietary (the default)")
        ->type_name("ID")
        ->transform(LicenseName());
    stac->add_option("--asset-href-base", catalogue.assetHrefBase,
                     "begin each asset href with BASE, the URL or absolute\n"
                     "path of the scene folder, instead of a relative path")
        ->type_name("BASE")
        ->check(AssetHrefBaseChecked());
    AddSceneSource(*stac, request, catalogue.listPath);
    AddFlag(*stac, "--verbose", request.verbose,
            "name each skipped file and why it was skipped, and each\n"
            "item whose id is not its granule's ID");
}

// The whole command line. Help, usage lines and parsing all come from these declarations,
// so each command and each option is named here once: a new command is one more Declare
// function, ending in the function that runs it; a new option is one more line in its command's
// block, bound to a field of Request. An option that may be given more than once takes
// one value each time (allow_extra_args(false)), so that it never takes the FOLDER that
// follows it.
void Declare(CLI::App& app, Request& request, const LayerCalls& layers) {
    app.description(
        "Catalogues a folder of ASTER scene metadata files. Without a command, opens the\n"
        "window.\n");
    app.footer("FOLDER is the current folder unless given.\n"
               "Exit status: 0 done, 1 error, 2 wrong usage, 130, 143 or 129 stopped by SIGINT,\n"
               "SIGTERM or SIGHUP.\n");
    app.set_help_flag("-h,--help", "show this help; after a command, the command's help");
    app.set_version_flag("--version", "aster " ASTER_VERSION, "show the version");
    // A second command name is an argument too many, not a second command.
    app.require_subcommand(0, 1);
    // An option given twice takes the last value, as with most programs.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    DeclareList(app, request);
    DeclareTextRuns(app, request);
    DeclareFootprints(app, request, layers);
    DeclareStac(app, request);
}

// A name holding a line break, on one line of a message: the breaks as \n and \r, as
// ls -b shows them.
std::string WithLineBreaksShown(std::string_view name) {
    std::string shown;
    for (const char c : name) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else
            shown += c;
    }
    return shown;
}

// Writes `text` with "aster: " before each of its lines.
void PrintPrefixed(std::ostream& err, std::string_view text) {
    std::string lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        lines += "aster: ";
        lines += text.substr(0, end);
        lines += '\n';
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    err << lines << std::flush;
}

// Help and version go to standard output; failing to write them is an error, so that a
// script piping them on learns of it.
int Print(const CommandLineContext& context, std::string_view text) {
    context.out << text << std::flush;
    if (context.out)
        return kExitSuccess;
    PrintPrefixed(context.err, "cannot write to standard output");
    return kExitError;
}

// The message, the usage line of the command it concerns (of the program when none was
// recognised) and where to read more.
int UsageError(const CommandLineContext& context, const CLI::App& app, std::string_view message) {
    const CLI::App* concerned = &app;
    std::string name = app.get_name();
    for (const CLI::App* command : app.get_subcommands()) {
        concerned = command;
        name += " " + command->get_name();
    }
    PrintPrefixed(context.err, message);
    context.err << HelpLayout().make_usage(concerned, name) << kTryHelp << std::flush;
    return kExitUsage;
}

std::vector<std::string> CommandNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::App* command : app.get_subcommands({}))
        names.push_back(command->get_name());
    return names;
}

// "unknown command 'lsit'. Did you mean 'list'?", or the commands there are.
std::string UnknownCommand(const CLI::App& app, const std::string& given) {
    const std::vector<std::string> names = CommandNames(app);
    const std::vector<std::string> nearest = NearestNames(given, names);
    std::string text = "unknown command '" + given + "'";
    if (nearest.size() == 1)
        return text + ". Did you mean '" + nearest.front() + "'?";
    text += nearest.empty() ? ": the commands are " : ": did you mean ";
    const std::vector<std::string>& shown = nearest.empty() ? names : nearest;
    const char* const last = nearest.empty() ? " and " : " or ";
    for (std::size_t i = 0; i < shown.size(); ++i)
        text += (i == 0 ? "" : i + 1 == shown.size() ? last : ", ") + shown[i];
    return text;
}

// CLI11's message, or for a common mistake what to do about it: a mistyped command, or a
// pattern the shell has already expanded into the names of files.
std::string UsageMessage(const CLI::App& app, const CLI::ParseError& error, int argc,
                         const char* const* argv) {
    if (dynamic_cast<const CLI::ExtrasError*>(&error) == nullptr)
        return error.what();
    const std::vector<CLI::App*> commands = app.get_subcommands();
    if (commands.empty()) {
        const std::vector<std::string> names = CommandNames(app);
        for (int i = 1; i < argc; ++i)
            if (argv[i][0] != '-')
                return std::ranges::find(names, argv[i]) == names.end()
                           ? UnknownCommand(app, argv[i])
                           : std::string(error.what()); // a command after "--"
        return error.what();
    }
    const CLI::Option* match = commands.front()->get_option_no_throw("--match");
    const CLI::Option* folder = commands.front()->get_option_no_throw("FOLDER");
    // No option of that name, but a folder's (or a file's) name that begins with a dash.
    for (const std::string& name : app.remaining(true))
        if (name.size() > 1 && name.front() == '-' && folder != nullptr &&
            ::access(name.c_str(), F_OK) == 0)
            return std::string(error.what()) + "\nA FOLDER whose name begins with a dash goes "
                   "last, after --, as in: aster " + commands.front()->get_name() +
                   " [OPTIONS] -- " + name;
    if (match == nullptr || match->count() == 0 || folder == nullptr)
        return error.what();
    std::string text = "more than one FOLDER given:";
    for (const std::string& name : folder->results())
        text += " " + name;
    for (const std::string& name : app.remaining(true))
        text += " " + name;
    return text + "\n" + std::string(kQuoteThePattern);
}

int ReportError(const CommandLineContext& context, const Error& error) {
    PrintPrefixed(context.err, FormatError(error, CommandLineHint(error)));
    return kExitError;
}

// The chosen folder in the normal form the window's folder list gives it, so that paths
// in the outputs and messages are the ones a run from the window writes.
std::optional<Error> ChosenFolder(const Request& request, std::string& folder) {
    return NormalFolderPath(request.folder, folder);
}

// Plays the window's part for the build run: fixed options, messages as lines on
// standard error, progress on the terminal, and a stop on SIGINT, SIGTERM or SIGHUP.
class RunHost final : public CatalogueHost {
  public:
    RunHost(std::string folder, bool polys, bool checkBlanks, std::ostream& err,
            ProgressLine& progress, const StopSignals& stop)
        : m_folder(std::move(folder)), m_polys(polys), m_checkBlanks(checkBlanks), m_err(err),
          m_progress(progress), m_stop(stop) {}

    std::string folderPath() override { return m_folder; }
    bool blanksSelected() override { return m_checkBlanks; }
    bool polysSelected() override { return m_polys; }
    bool spreadSelected() override { return !m_polys; }
    void showMessage(const std::string& prompt) override {
        m_progress.clear();
        m_err << prompt + '\n' << std::flush;
    }
    void progress(std::int64_t done, std::int64_t total) override { m_progress.files(done, total); }
    bool cancelRequested() override { return m_stop.received() != 0; }

  private:
    std::string m_folder;
    bool m_polys;
    bool m_checkBlanks;
    std::ostream& m_err;
    ProgressLine& m_progress;
    const StopSignals& m_stop;
};

// Plays the window's part for a run that writes scenes: progress on the terminal, a
// stop on SIGINT, SIGTERM or SIGHUP, and with --verbose each skipped file named as it is found.
class SceneCommandHost final : public SceneRunHost {
  public:
    SceneCommandHost(bool verbose, std::ostream& err, ProgressLine& progress,
                     const StopSignals& stop)
        : m_verbose(verbose), m_err(err), m_progress(progress), m_stop(stop) {}

    void progress(std::int64_t done, std::int64_t total) override { m_progress.files(done, total); }
    bool cancelRequested() override { return m_stop.received() != 0; }
    bool cancelRequestedOnAnyThread() const override { return m_stop.received() != 0; }
    void skipped(std::string_view path, std::string_view reason) override {
        say("skipped " + std::string(path) + ": " + std::string(reason));
    }
    void idChanged(std::string_view path, std::string_view id, std::string_view why) override {
        say("id " + std::string(id) + " for " + std::string(path) + ": " + std::string(why));
    }
    void notice(std::string_view text) override {
        m_progress.clear();
        PrintPrefixed(m_err, text);
    }

  private:
    void say(const std::string& line) {
        if (!m_verbose)
            return;
        m_progress.clear();
        PrintPrefixed(m_err, line);
    }

    bool m_verbose;
    std::ostream& m_err;
    ProgressLine& m_progress;
    const StopSignals& m_stop;
};

std::string Counted(std::int64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// How a command's run ends: its error, a stop, or lines the user asked for that could
// not be written.
int Finish(const CommandLineContext& context, const std::optional<Error>& error,
           const StopSignals& stop, bool asksForLines) {
    if (error) {
        ReportError(context, *error);
        if (IsCancellation(*error))
            return StopSignals::ExitStatus(stop.received() != 0 ? stop.received() : SIGINT);
        return kExitError;
    }
    return asksForLines && !context.err ? kExitError : kExitSuccess;
}

// The listing's part of the window, as RunHost plays the build run's; a subfolder left
// out is named on standard error.
class ListRunHost final : public ListingHost {
  public:
    ListRunHost(const Request& request, std::string folder, std::ostream& err,
                ProgressLine& progress, const StopSignals& stop)
        : m_request(request), m_folder(std::move(folder)), m_err(err), m_progress(progress),
          m_stop(stop) {}

    std::string folderPath() override { return m_folder; }
    std::vector<std::string> namePatterns() override { return m_request.namePatterns; }
    bool recursive() override { return m_request.recursive; }
    std::string listPath() override { return m_request.listPath; }
    void progress(std::int64_t entriesRead) override { m_progress.entries(entriesRead); }
    bool cancelRequested() override { return m_stop.received() != 0; }
    void folderSkipped(std::string_view path, std::string_view reason) override {
        m_progress.clear();
        PrintPrefixed(m_err,
                      "skipped folder " + WithLineBreaksShown(path) + ": " + std::string(reason));
    }
    void nameSkipped(std::string_view path, std::string_view reason) override {
        m_progress.clear();
        PrintPrefixed(m_err, "skipped " + WithLineBreaksShown(path) + ": " + std::string(reason));
    }

  private:
    const Request& m_request;
    std::string m_folder;
    std::ostream& m_err;
    ProgressLine& m_progress;
    const StopSignals& m_stop;
};

int RunList(const Request& request, const CommandLineContext& context) {
    std::string folder;
    if (auto error = ChosenFolder(request, folder))
        return ReportError(context, *error);
    const StopSignals stop(context.endsProcess);
    ProgressLine progress(context.err, context.errIsTerminal);
    ListRunHost host(request, folder, context.err, progress, stop);
    const std::optional<Error> error = ListTheFiles(host);
    progress.clear();
    // "--match *.xml" that the shell made "--match a.xml b.xml" takes b.xml for FOLDER.
    if (error && error->code == ENOTDIR && !request.namePatterns.empty()) {
        PrintPrefixed(context.err, FormatError(*error, kQuoteThePattern));
        return kExitError;
    }
    if (error && error->kind == ErrorKind::ReadOnly && request.listPath.empty()) {
        PrintPrefixed(context.err, FormatError(*error, kListElsewhere));
        return kExitError;
    }
    // Patterns that matched nothing: an earlier list was kept (ENODATA), or an empty one
    // written where there was none.
    if (error && error->code == ENODATA && !request.namePatterns.empty()) {
        PrintPrefixed(context.err, FormatError(*error, NothingMatchedHint(request)));
        return kExitError;
    }
    struct stat list {};
    if (!error && !request.namePatterns.empty() &&
        ::stat(ListPath(FolderPrefix(folder), request.listPath).c_str(), &list) == 0 &&
        list.st_size == 0)
        PrintPrefixed(context.err, std::string(NothingMatchedHint(request)));
    return Finish(context, error, stop, false);
}

// Whether `folder` lies on a file system mounted read-only, where no list can be made.
bool OnReadOnlyDrive(const std::string& folder) {
    struct statvfs drive {};
    return ::statvfs(folder.c_str(), &drive) == 0 && (drive.f_flag & ST_RDONLY) != 0;
}

// Whether the list's lines end in a line feed alone, as most tools write them: the text
// run reads such a list as one line, as the window does, so the user hears why.
bool LinesEndInLineFeedsAlone(const std::string& listPath) {
    const UniqueFd list(::open(listPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    char head[4096];
    std::size_t got = 0;
    if (!list || ReadFully(list.get(), head, sizeof head, got) != 0)
        return false;
    const std::string_view text(head, got);
    return text.find('\n') != std::string_view::npos && text.find('\r') == std::string_view::npos;
}

int RunTextFiles(const Request& request, const CommandLineContext& context, bool polys) {
    std::string folder;
    if (auto error = ChosenFolder(request, folder))
        return ReportError(context, *error);
    if (LinesEndInLineFeedsAlone(ListPath(FolderPrefix(folder), {})))
        PrintPrefixed(context.err,
                      "filelist.txt's lines end in a line feed alone, so it is read as one "
                      "line: table and polys read lines ended by CR LF, as aster list writes them.");
    const StopSignals stop(context.endsProcess);
    ProgressLine progress(context.err, context.errIsTerminal);
    RunHost host(folder, polys, request.checkBlanks, context.err, progress, stop);
    const std::optional<Error> error = MakeTextFiles(host);
    progress.clear();
    if (error && (error->kind == ErrorKind::ReadOnly ||
                  (error->kind == ErrorKind::ListMissing && OnReadOnlyDrive(folder)))) {
        PrintPrefixed(context.err, FormatError(*error, kTextFilesNeedAWritableFolder));
        return kExitError;
    }
    return Finish(context, error, stop, request.checkBlanks);
}

int RunTable(const Request& request, const CommandLineContext& context) {
    return RunTextFiles(request, context, false);
}

int RunPolys(const Request& request, const CommandLineContext& context) {
    return RunTextFiles(request, context, true);
}

// One kind of skip as the summary counts it: "3 folders (use --recursive)".
std::string CountedSkips(const SkipCount& skips, bool recursive) {
    std::string kind = skips.kind;
    if (kind == "described by its metadata file")
        return Counted(skips.count, "HDF file described by its metadata file",
                       "HDF files described by their metadata files");
    // "a folder", "an empty file", "a link to a folder, ...": counted as folders, empty
    // files, links to a folder.
    for (const std::string_view article : {"a ", "an "}) {
        if (kind.starts_with(article)) {
            kind.erase(0, article.size());
            const std::size_t noun = std::min(kind.find(" to "), kind.find(','));
            std::string many = kind;
            many.insert(std::min(noun, kind.size()), "s");
            std::string text = Counted(skips.count, kind, many);
            if (kind == "folder" && !recursive)
                text += " (use --recursive)";
            return text;
        }
    }
    // "its name holds ...": counted as files whose name holds it.
    if (kind.starts_with("its ")) {
        const std::string fault = kind.substr(4);
        return Counted(skips.count, "file whose " + fault, "files whose " + fault);
    }
    // The system's own words ("File name too long") start with a capital; a record's key
    // ("CloudCover is not a number") keeps its own.
    const std::string_view word = std::string_view(kind).substr(0, kind.find(' '));
    if (word.size() > 1 &&
        std::none_of(word.begin() + 1, word.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        kind[0] = AsciiLower(kind[0]);
    return std::to_string(skips.count) + " " + kind;
}

// The line a run that wrote scenes ends with: what it wrote, and why it skipped what it
// skipped, the most common reason first.
void PrintSummary(const CommandLineContext& context, const Request& request,
                  const SceneRunReport& report, std::string_view one, std::string_view many) {
    std::string line = Counted(report.written, one, many) + " written, " +
                       Counted(report.skipped, "listed file", "listed files") + " skipped";
    std::vector<SkipCount> kinds = report.skippedFor;
    std::stable_sort(kinds.begin(), kinds.end(),
                     [](const SkipCount& a, const SkipCount& b) { return a.count > b.count; });
    for (std::size_t i = 0; i < kinds.size(); ++i)
        line += (i == 0 ? ": " : ", ") + CountedSkips(kinds[i], request.recursive);
    PrintPrefixed(context.err, line);
}

// With --recursive or --match the files are listed in memory, in a file that no folder
// holds, and read from there: nothing is written into the scene folder.
std::optional<Error> ListInMemory(const Request& request, const std::string& folder,
                                  const CommandLineContext& context, ProgressLine& progress,
                                  const StopSignals& stop, UniqueFd& list, std::string& listPath,
                                  std::size_t& listed) {
    ListRunHost host(request, folder, context.err, progress, stop);
    NameList names;
    if (auto error = ReadListing(host, names))
        return error;
    list = UniqueFd(::memfd_create("aster-list", MFD_CLOEXEC));
    if (!list)
        return SystemError(errno, "the list in memory");
    std::string lines;
    for (std::size_t i = 0; i <= names.size(); ++i) {
        if (i == names.size() || lines.size() >= (1u << 18)) {
            if (const int err = WriteAll(list.get(), lines))
                return SystemError(err, "the list in memory");
            lines.clear();
        }
        if (i < names.size())
            lines.append(names[i]).push_back('\n');
    }
    listPath = "/proc/self/fd/" + std::to_string(list.get());
    listed = names.size();
    return std::nullopt;
}

// The part of footprints and stac they share: the folder, the host, the files listed in
// memory for --recursive and --match, the summary. `write` writes the output from the
// folder's prefix and the list to read; `existsHint` words the advice for an output there
// already, when the command has its own.
using SceneWrite = std::function<std::optional<Error>(
    const std::string& folderPrefix, const std::string& listPath, SceneRunReport& report,
    SceneRunHost& host)>;
int RunSceneCommand(const Request& request, const CommandLineContext& context,
                    const std::string& listPath, const SceneWrite& write,
                    std::pair<std::string_view, std::string_view> counted,
                    std::string_view existsHint = {}) {
    std::string folder;
    if (auto error = ChosenFolder(request, folder))
        return ReportError(context, *error);
    const StopSignals stop(context.endsProcess);
    ProgressLine progress(context.err, context.errIsTerminal);
    SceneCommandHost host(request.verbose, context.err, progress, stop);
    std::string list = listPath;
    UniqueFd inMemory;
    std::optional<Error> error;
    std::size_t listed = 0;
    if (request.recursive || !request.namePatterns.empty())
        error = ListInMemory(request, folder, context, progress, stop, inMemory, list, listed);
    SceneRunReport report;
    if (!error)
        error = write(FolderPrefix(folder), list, report, host);
    progress.clear();
    // "--match *.xml" that the shell made "--match a.xml b.xml" takes b.xml for FOLDER.
    if (error && error->code == ENOTDIR && !request.namePatterns.empty()) {
        PrintPrefixed(context.err, FormatError(*error, kQuoteThePattern));
        return kExitError;
    }
    // A list named with --list that is not there: the folder's own list is not what failed.
    const bool givenListFailed =
        error && !listPath.empty() && error->description.ends_with(": " + listPath);
    if (givenListFailed &&
        (error->kind == ErrorKind::NotRegularFile || (listPath == "-" && error->code == ENOENT))) {
        PrintPrefixed(context.err, FormatError(*error, kListFromAPipe));
        return kExitError;
    }
    if (givenListFailed && (error->code == ENOENT || error->code == ENOTDIR)) {
        PrintPrefixed(context.err, FormatError(*error, kNoSuchList));
        return kExitError;
    }
    if (error && error->kind == ErrorKind::OutputExists && !existsHint.empty()) {
        PrintPrefixed(context.err, FormatError(*error, existsHint));
        return kExitError;
    }
    // No list can be made on a read-only drive: the folder is read without one.
    if (error && error->kind == ErrorKind::ListMissing && OnReadOnlyDrive(folder)) {
        PrintPrefixed(context.err, FormatError(*error, kReadWithoutAList));
        return kExitError;
    }
    // A run that kept an earlier output for want of any scene says what it skipped, and why.
    if (!error || error->code == ENODATA)
        PrintSummary(context, request, report, counted.first, counted.second);
    // An empty output is seldom what a pattern was given for: most often its case differs.
    // The same holds where the run kept an earlier output for want of any file to read.
    if ((!error || error->code == ENODATA) && !request.namePatterns.empty() && listed == 0)
        PrintPrefixed(context.err, std::string(NothingMatchedHint(request)));
    // The status says whether the output was published: --verbose's lines are news of the
    // run, not its output, so a closed standard error does not make it fail.
    return Finish(context, error, stop, false);
}

int RunFootprints(const Request& request, const CommandLineContext& context) {
    std::vector<CutTexts> cut;
    const SceneWrite write = [&](const std::string& folderPrefix, const std::string& listPath,
                                 SceneRunReport& report, SceneRunHost& host) {
        FootprintOptions options = request.footprints;
        options.listPath = listPath;
        options.listedTree = request.recursive;
        options.listedPatterns = request.namePatterns;
        FootprintReport layer;
        std::optional<Error> error = context.layers.writeFootprints(folderPrefix, options, layer, host);
        report = layer;
        cut = layer.cutTexts;
        return error;
    };
    const int status = RunSceneCommand(request, context, request.footprints.listPath, write,
                                       {"footprint", "footprints"});
    // A text the format cut short names no file any more: the user hears of it.
    for (const CutTexts& texts : cut)
        PrintPrefixed(context.err, Counted(texts.count, "text", "texts") + " of the field " +
                                       texts.field + " cut to " + std::to_string(texts.bytes) +
                                       " bytes, all this format holds; a GeoPackage keeps them whole");
    return status;
}

int RunStac(const Request& request, const CommandLineContext& context) {
    const SceneWrite write = [&](const std::string& folderPrefix, const std::string& listPath,
                                 SceneRunReport& report, SceneRunHost& host) {
        StacOptions options = request.stac;
        options.listPath = listPath;
        options.listSearched = request.recursive || !request.namePatterns.empty();
        return WriteStac(folderPrefix, options, report, host);
    };
    // The command's own words: its output is a catalogue, not a layer.
    return RunSceneCommand(request, context, request.stac.listPath, write, {"item", "items"},
                           "Choose another output name, or use --overwrite to replace the "
                           "earlier catalogue.");
}

} // namespace

int RunCommandLine(int argc, const char* const* argv, const CommandLineContext& context) {
    CLI::App app;
    app.name("aster");
    app.formatter(std::make_shared<HelpLayout>());
    Request request;
    Declare(app, request, context.layers);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return Print(context, app.help());
    } catch (const CLI::CallForVersion& version) {
        return Print(context, std::string(version.what()) + "\n");
    } catch (const CLI::ParseError& error) {
        return UsageError(context, app, UsageMessage(app, error, argc, argv));
    }
    if (request.run == nullptr)
        return UsageError(context, app, "missing command");
    return request.run(request, context);
}

} // namespace aster
