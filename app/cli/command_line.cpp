#include "app/cli/command_line.h"

#include "app/cli/progress_line.h"
#include "app/cli/stop_signals.h"
#include "catalogue/build_run.h"
#include "fileio/folder.h"
#include "footprints/output_formats.h"
#include "listing/folder_listing.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

namespace {

constexpr std::string_view kProgramHelp = R"(Usage: aster [COMMAND [FOLDER] [OPTION]...]
Catalogues a folder of ASTER scene metadata files. Without a command, opens the window.

Commands:
  list [FOLDER]         write FOLDER/filelist.txt: the names in the folder
  table [FOLDER]        write FOLDER/table.txt: path, time, date and corner points of
                        each file that filelist.txt lists
  polys [FOLDER]        write FOLDER/polys.txt: the listed files' corners as polygons
                        in the ArcInfo "generate" layout
  footprints [FOLDER] -o FILE
                        write the listed files' footprints as a vector layer
                        (GeoPackage, shapefile, GeoJSON, FlatGeobuf, KML or CSV)

FOLDER is the current folder unless given.

Options:
  -h, --help     show this help; after a command, the command's help
      --version  show the version

Exit status: 0 done, 1 error, 2 wrong usage, 130 or 143 stopped by SIGINT or SIGTERM.
)";

constexpr std::string_view kListHelp = R"(
Writes FOLDER/filelist.txt, as "Get List of Files" does: the name of every file and
subfolder in FOLDER, sorted by their bytes, one a line. Hidden names, pipes, sockets,
devices and names holding a line break are left out. FOLDER is the current folder
unless given.

  -h, --help  show this help
)";

constexpr std::string_view kTableHelp = R"(
Writes FOLDER/table.txt, as "Create Text File of ASTER Data" does with the table
chosen: for each line of FOLDER/filelist.txt, a tab-separated row with the file's
path, time, date and the latitude and longitude of its four corners. polys.txt is
rewritten too, holding only its closing "End" line. FOLDER is the current folder
unless given.

      --check-blanks  write the path of every listed file whose text does not begin
                      with GROUP to standard error, one a line
  -h, --help          show this help
)";

constexpr std::string_view kPolysHelp = R"(
Writes FOLDER/polys.txt, as "Create Text File of ASTER Data" does with polygons
chosen: for each line of FOLDER/filelist.txt, a polygon of the file's four corners in
the ArcInfo "generate" layout. table.txt is rewritten too, empty. FOLDER is the
current folder unless given.

      --check-blanks  write the path of every listed file whose text does not begin
                      with GROUP to standard error, one a line
  -h, --help          show this help
)";

constexpr std::string_view kFootprintsHelp = R"(
Writes the footprint of every file that FOLDER/filelist.txt lists to FILE, as a layer
of polygons, then one line to standard error: how many footprints were written and
how many listed files were skipped. FOLDER is the current folder unless given.

  -o, --output FILE    the layer to write; its extension chooses the format:
                       .gpkg GeoPackage, .shp shapefile, .geojson or .json GeoJSON,
                       .fgb FlatGeobuf, .kml KML, .csv CSV
  -f, --format DRIVER  the GDAL vector driver to write with instead, e.g. GPKG or
                       "ESRI Shapefile"
      --overwrite      replace FILE if it exists
      --no-spatial-index
                       leave out the spatial index that a GeoPackage, shapefile or
                       FlatGeobuf layer otherwise gets (it lets a GIS draw part of
                       a large layer fast); --spatial-index asks for it
      --verbose        name each skipped file and why it was skipped
  -h, --help           show this help
)";

constexpr std::string_view kProgramUsage = "Usage: aster [COMMAND [FOLDER] [OPTION]...]";
constexpr std::string_view kTryHelp = "Try 'aster --help' for more information.\n";

struct OptionDef {
    std::string_view longName; // without the leading "--"
    char shortName = 0;        // 0: none
    bool takesValue = false;
};

constexpr OptionDef kHelpOption{"help", 'h'};
constexpr OptionDef kCheckBlanksOption{"check-blanks"};
constexpr OptionDef kNoOptions[] = {kHelpOption};
constexpr OptionDef kRunOptions[] = {kHelpOption, kCheckBlanksOption};
constexpr OptionDef kFootprintOptions[] = {
    kHelpOption, {"output", 'o', true}, {"format", 'f', true}, {"overwrite"},
    {"verbose"}, {"spatial-index"},     {"no-spatial-index"}};

enum class Command { List, Table, Polys, Footprints };

struct CommandDef {
    std::string_view name;
    Command command;
    std::string_view usage;
    std::string_view help; // what follows the usage line in the command's help
    std::span<const OptionDef> options;
};

constexpr CommandDef kCommands[] = {
    {"list", Command::List, "Usage: aster list [FOLDER]", kListHelp, kNoOptions},
    {"table", Command::Table, "Usage: aster table [FOLDER] [--check-blanks]", kTableHelp,
     kRunOptions},
    {"polys", Command::Polys, "Usage: aster polys [FOLDER] [--check-blanks]", kPolysHelp,
     kRunOptions},
    {"footprints", Command::Footprints,
     "Usage: aster footprints [FOLDER] -o FILE [-f DRIVER] [--overwrite] [--no-spatial-index] "
     "[--verbose]",
     kFootprintsHelp, kFootprintOptions},
};

// A command's arguments: its operands, and each option given (the last time) with its
// value, empty for an option without one.
struct Arguments {
    std::vector<std::string_view> operands;
    std::map<std::string_view, std::string_view> options;

    bool has(std::string_view name) const { return options.contains(name); }
    std::string_view value(std::string_view name) const {
        const auto found = options.find(name);
        return found == options.end() ? std::string_view() : found->second;
    }
};

bool AsksForHelp(std::span<const std::string_view> args) {
    const auto end = std::find(args.begin(), args.end(), "--");
    return std::any_of(args.begin(), end,
                       [](std::string_view arg) { return arg == "-h" || arg == "--help"; });
}

// Reads the arguments after the command name, GNU style: options and operands in any
// order, "--" ends the options, a value follows its option as the next argument or
// attached ("-oFILE", "--output=FILE"). Returns the usage error, if any.
std::optional<std::string> Parse(const CommandDef& def, std::span<const std::string_view> args,
                                 Arguments& parsed) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg.front() != '-') {
            parsed.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionDef* option = nullptr;
        std::string_view shown;
        std::optional<std::string_view> attached;
        if (arg.starts_with("--")) {
            const std::size_t equals = arg.find('=');
            shown = arg.substr(0, equals);
            if (equals != std::string_view::npos)
                attached = arg.substr(equals + 1);
            for (const OptionDef& candidate : def.options) {
                if (candidate.longName == shown.substr(2))
                    option = &candidate;
            }
        } else {
            shown = arg.substr(0, 2);
            for (const OptionDef& candidate : def.options) {
                if (candidate.shortName == arg[1] && (candidate.takesValue || arg.size() == 2))
                    option = &candidate;
            }
            if (arg.size() > 2)
                attached = arg.substr(2);
        }
        if (option == nullptr)
            return "unknown option '" + std::string(arg.starts_with("--") ? shown : arg) + "'";
        if (option->takesValue) {
            if (!attached && i + 1 < args.size())
                attached = args[++i];
            if (!attached || attached->empty())
                return "option '" + std::string(shown) + "' needs a value";
        } else if (attached) {
            return "option '" + std::string(shown) + "' takes no value";
        }
        parsed.options[option->longName] = attached.value_or(std::string_view());
    }
    if (parsed.operands.size() > 1)
        return "unexpected argument '" + std::string(parsed.operands[1]) + "'";
    if (!parsed.operands.empty() && parsed.operands.front().empty())
        return std::string("the folder name is empty");
    return std::nullopt;
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

int UsageError(std::ostream& err, std::string_view message, std::string_view usage) {
    PrintPrefixed(err, message);
    err << usage << '\n' << kTryHelp << std::flush;
    return kExitUsage;
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

// The chosen folder in the normal form the window's folder list gives it, so that paths in
// the outputs and messages are the ones a run from the window writes.
std::optional<Error> ChosenFolder(const Arguments& arguments, std::string& folder) {
    const std::string_view given =
        arguments.operands.empty() ? std::string_view(".") : arguments.operands.front();
    std::string current;
    if (!given.starts_with('/')) {
        std::error_code error;
        current = std::filesystem::current_path(error).string();
        if (error)
            return Error{error.value(), "Cannot find the current folder: " + error.message(),
                         "Change to a folder that exists, or name the folder."};
    }
    folder = NormalFolderPath(given, current);
    return std::nullopt;
}

// Plays the window's part for the listing and the build run: fixed options, messages as
// lines on standard error, progress on the terminal, and a stop on SIGINT or SIGTERM.
class RunHost final : public CatalogueHost, public ListingHost {
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
    void progress(std::int64_t entriesRead) override { m_progress.entries(entriesRead); }
    bool cancelRequested() override { return m_stop.received() != 0; }

  private:
    std::string m_folder;
    bool m_polys;
    bool m_checkBlanks;
    std::ostream& m_err;
    ProgressLine& m_progress;
    const StopSignals& m_stop;
};

class FootprintRunHost final : public FootprintHost {
  public:
    FootprintRunHost(bool verbose, std::ostream& err, ProgressLine& progress,
                     const StopSignals& stop)
        : m_verbose(verbose), m_err(err), m_progress(progress), m_stop(stop) {}

    void progress(std::int64_t done, std::int64_t total) override { m_progress.files(done, total); }
    bool cancelRequested() override { return m_stop.received() != 0; }
    void skipped(std::string_view path, std::string_view reason) override {
        if (!m_verbose)
            return;
        m_progress.clear();
        std::string line = "skipped ";
        line += path;
        line += ": ";
        line += reason;
        PrintPrefixed(m_err, line);
    }

  private:
    bool m_verbose;
    std::ostream& m_err;
    ProgressLine& m_progress;
    const StopSignals& m_stop;
};

std::string Counted(std::int64_t count, std::string_view one, std::string_view many) {
    return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// Runs a parsed command; every stderr line it asks for is written by then.
int RunCommand(const CommandDef& def, const Arguments& arguments,
               const CommandLineContext& context) {
    std::ostream& err = context.err;
    FootprintRequest request;
    if (def.command == Command::Footprints) {
        if (!arguments.has("output"))
            return UsageError(err, "missing -o FILE: the layer to write", def.usage);
        request.outputPath = arguments.value("output");
        request.driver = arguments.value("format");
        request.overwrite = arguments.has("overwrite");
        request.spatialIndex = !arguments.has("no-spatial-index");
        if (request.driver.empty()) {
            const auto driver = DriverForPath(request.outputPath);
            if (!driver)
                return UsageError(err,
                                  "cannot tell the format of '" + request.outputPath +
                                      "' from its extension: use " + OutputFormatChoices() +
                                      ", or name a GDAL vector driver with -f",
                                  def.usage);
            request.driver = *driver;
        } else if (auto error = CheckVectorDriver(request.driver)) {
            return UsageError(err, error->description, def.usage);
        }
    }

    std::string folder;
    if (auto error = ChosenFolder(arguments, folder)) {
        PrintPrefixed(err, FormatError(*error));
        return kExitError;
    }

    const StopSignals stop;
    ProgressLine progressLine(err, context.errIsTerminal);
    std::optional<Error> error;
    FootprintSummary summary;
    const bool asksForLines = arguments.has("check-blanks") || arguments.has("verbose");
    switch (def.command) {
    case Command::List: {
        RunHost host(folder, false, false, err, progressLine, stop);
        error = ListTheFiles(host);
        break;
    }
    case Command::Table:
    case Command::Polys: {
        RunHost host(folder, def.command == Command::Polys, arguments.has("check-blanks"), err,
                     progressLine, stop);
        error = MakeTextFiles(host);
        break;
    }
    case Command::Footprints: {
        request.folder = folder;
        FootprintRunHost host(arguments.has("verbose"), err, progressLine, stop);
        error = context.writeFootprints(request, host, summary);
        break;
    }
    }
    progressLine.clear();

    // The window's hints name its button, and its folder list only holds folders that
    // exist; here a command makes the list, and the folder may never have been there.
    if (error) {
        const std::string_view button = "\"Get List of Files\"";
        if (const std::size_t at = error->hint.find(button); at != std::string::npos)
            error->hint.replace(at, button.size(), "\"aster list\"");
    }
    if (error && (error->code == ENOENT || error->code == ENOTDIR)) {
        std::error_code ignored;
        if (!std::filesystem::is_directory(folder, ignored))
            error->hint = "There is no such folder: name one that exists.";
        else if (error->description ==
                 SystemError(ENOENT, FolderPrefix(folder) + "filelist.txt").description)
            error->hint = "Make the list of files first with \"aster list\".";
    }
    if (error) {
        PrintPrefixed(err, FormatError(*error));
        if (IsCancellation(*error))
            return StopSignals::ExitStatus(stop.received() != 0 ? stop.received() : SIGINT);
        return kExitError;
    }
    if (def.command == Command::Footprints)
        PrintPrefixed(err, Counted(summary.written, "footprint", "footprints") + " written, " +
                               Counted(summary.skipped, "listed file", "listed files") +
                               " skipped");
    // Lines the user asked for that could not be written make the command fail.
    return asksForLines && !err ? kExitError : kExitSuccess;
}

} // namespace

int RunCommandLine(int argc, const char* const* argv, const CommandLineContext& context) {
    const std::vector<std::string_view> args(argv + std::min(argc, 1), argv + argc);
    if (args.empty())
        return UsageError(context.err, "missing command", kProgramUsage);
    const std::string_view first = args.front();
    if (first == "-h" || first == "--help")
        return Print(context, kProgramHelp);
    if (first == "--version")
        return Print(context, "aster " ASTER_VERSION "\n");
    if (first.starts_with('-'))
        return UsageError(context.err, "unknown option '" + std::string(first) + "'",
                          kProgramUsage);
    const auto* def = std::find_if(std::begin(kCommands), std::end(kCommands),
                                   [&](const CommandDef& c) { return c.name == first; });
    if (def == std::end(kCommands))
        return UsageError(context.err, "unknown command '" + std::string(first) + "'",
                          kProgramUsage);

    const std::span<const std::string_view> rest = std::span(args).subspan(1);
    if (AsksForHelp(rest))
        return Print(context, std::string(def->usage) + std::string(def->help));
    Arguments arguments;
    if (auto message = Parse(*def, rest, arguments))
        return UsageError(context.err, *message, def->usage);
    return RunCommand(*def, arguments, context);
}

} // namespace aster
