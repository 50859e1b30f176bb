#include "footprints/footprint_layer.h"

#include "fileio/ascii.h"

#include "fileio/folder.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "fileio/unique_fd.h"
#include "fileio/utf8.h"
#include "fileio/whole_file.h"
#include "footprints/database_layer.h"
#include "footprints/gdal_messages.h"
#include "footprints/layer_check.h"
#include "footprints/layer_output.h"
#include "footprints/layer_style.h"
#include "footprints/layer_writer.h"
#include "footprints/output_formats.h"
#include "footprints/vector_drivers.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace aster {

namespace {

// Files that sit beside a layer and are named after it, which GDAL does not write: other
// programs' indexes and metadata for a shapefile (.qix, .sbn, .sbx, .shp.xml), and the
// default style (.qml) that QGIS reads beside a layer's file. They describe one layer,
// so they belong to the output: an earlier one means the output exists, and one the new
// layer does not have goes with the layer it described.
struct Companion {
    std::string_view suffix; // in lower case, where GDAL and QGIS look for it
    // Readers take it in upper case too (shapelib tries ".SHX" after ".shx"), so an
    // earlier one of that spelling is the output's as well.
    bool eitherCase = false;
};
constexpr std::array<Companion, 5> kShapefileCompanions{{
    {".qix", true},
    {".sbn", true},
    {".sbx", true},
    {".shp.xml", true},
    {".qml", false},
}};
constexpr std::array<Companion, 1> kStyleCompanion{{{".qml", false}}};
// Files GDAL writes beside the named one, in lower case whatever the case of the name;
// listed so that an earlier one is found before any work is done. The .shp is there for
// its other spelling: beside fp.SHP, shapelib would open an earlier fp.shp first.
constexpr std::array<Companion, 5> kShapefileFiles{{
    {".shp", true},
    {".shx", true},
    {".dbf", true},
    {".prj", true},
    {".cpg", true},
}};
// A CSV file's .prj is read for a shapefile of its name too, and then is the shapefile's
// (see ShapefileBeside), so it is handled apart.
constexpr std::array<Companion, 1> kCsvFiles{{{".csvt", true}}};
constexpr Companion kCsvProjection{".prj", false};

// Whether the layer gets the default style as a .qml beside it. A GeoPackage gets it so
// too, not in a layer_styles table: GDAL lists that table as a second layer, which
// ogr2ogr and ogrinfo with -where stumble on, and which a copy into one table mixes in.
// KML carries a style in each placemark.
bool HasStyleFile(const std::string& driverName) {
    return driverName == kShapefileDriver || driverName == "GPKG" || driverName == "GeoJSON" ||
           driverName == "FlatGeobuf" || driverName == "CSV";
}

// GDAL's own side files of a layer and its companions, by the driver that writes it;
// GDAL's first, so that an earlier layer is named by its main files.
std::vector<Companion> SideFiles(const std::string& driverName) {
    std::vector<Companion> files;
    if (driverName == kShapefileDriver) {
        files.assign(kShapefileFiles.begin(), kShapefileFiles.end());
        files.insert(files.end(), kShapefileCompanions.begin(), kShapefileCompanions.end());
        return files;
    }
    if (driverName == "CSV")
        files.assign(kCsvFiles.begin(), kCsvFiles.end());
    if (HasStyleFile(driverName))
        files.insert(files.end(), kStyleCompanion.begin(), kStyleCompanion.end());
    return files;
}

// The path of a side file of the layer at `path`, where GDAL and QGIS look for it: the
// layer's stem and the suffix in lower case, whatever the case of the layer's extension
// (GDAL writes and reads fp.csvt beside fp.CSV, fp.qix beside fp.SHP).
std::string SideFilePath(const std::string& path, const Companion& file) {
    return WithoutExtension(path) + std::string(file.suffix);
}

// Every spelling of a side file that belongs to the layer at `path`, but the layer's own.
std::vector<std::string> SideFileSpellings(const std::string& path, const Companion& file) {
    std::vector<std::string> spellings{SideFilePath(path, file)};
    if (file.eitherCase) {
        std::string upper = spellings.front();
        for (std::size_t i = upper.size() - file.suffix.size(); i < upper.size(); ++i)
            upper[i] = AsciiUpper(upper[i]);
        spellings.push_back(std::move(upper));
    }
    std::erase(spellings, path);
    return spellings;
}

// Writes a small file whole and to the disk, for the side files this program adds to a
// layer.
std::optional<Error> WriteSideFile(const std::string& path, std::string_view bytes,
                                   const std::string& shownPath) {
    const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file)
        return SystemError(errno, shownPath);
    if (const int err = WriteAll(file.get(), bytes))
        return SystemError(err, shownPath);
    if (::fsync(file.get()) != 0)
        return SystemError(errno, shownPath);
    return std::nullopt;
}

// The file at `path`, where it is the default style as this program writes it: layers of
// one name in several formats share it, and it takes nothing of the user's.
std::optional<std::string> OurStyleAt(const std::string& path) {
    if (!EndsWithNoCase(path, kStyleCompanion[0].suffix))
        return std::nullopt;
    const std::string_view style = FootprintStyleQml();
    const std::string shapefileStyle = ShapefileStyleQml();
    std::string bytes;
    if (ReadWholeFileAt(AT_FDCWD, path, std::max(style.size(), shapefileStyle.size()), bytes) !=
            0 ||
        (bytes != style && bytes != shapefileStyle))
        return std::nullopt;
    return bytes;
}

// The files of the finished layer, each to go to the same name in the output's folder.
// Without `overwrite`, a file of the output's name already there is refused, but for
// `replaceable`, one that another layer of the name shares. `otherStyle` is set to the
// style of another layer of the name (in another format) that this layer's replaces.
std::optional<Error> PlanMoves(const std::string& scratch, const std::string& outputFolder,
                               bool overwrite, const std::string& replaceable,
                               std::vector<ScratchMove>& moves, std::string& otherStyle) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(scratch, ec)) {
        const std::string name = entry.path().filename().string();
        ScratchMove move{scratch + "/" + name, outputFolder + "/" + name};
        struct stat info {};
        if (move.to != replaceable && ::lstat(move.to.c_str(), &info) == 0) {
            const std::optional<std::string> earlier = OurStyleAt(move.to);
            if (!overwrite && !earlier)
                return ExistsError(move.to);
            // The style another layer of the name left: kept as it is when it is this
            // format's too, else replaced by this layer's (a shapefile's times differ).
            std::string written;
            const bool same = earlier &&
                              ReadWholeFileAt(AT_FDCWD, move.from, 1 << 20, written) == 0 &&
                              *earlier == written;
            if (same && !overwrite)
                continue;
            if (earlier && !same)
                otherStyle = move.to;
        }
        moves.push_back(std::move(move));
    }
    if (ec)
        return SystemError(ec.value(), scratch);
    return std::nullopt;
}

// Whether `path` names one of the files just moved into place: by name, or, on a file
// system that ignores case, as the same file under another spelling.
bool IsMovedFile(const std::string& path, const std::vector<ScratchMove>& moves) {
    struct stat stale {};
    if (::lstat(path.c_str(), &stale) != 0)
        return false;
    for (const ScratchMove& move : moves) {
        struct stat moved {};
        if (move.to == path || (::lstat(move.to.c_str(), &moved) == 0 &&
                                moved.st_dev == stale.st_dev && moved.st_ino == stale.st_ino))
            return true;
    }
    return false;
}

// After an overwrite: the side files of the earlier layer that the new one does not have,
// in every spelling a reader would take for the new layer's.
std::optional<Error> RemoveStaleCompanions(const std::string& outputPath,
                                           const std::string& driverName,
                                           const std::vector<ScratchMove>& moves) {
    for (const Companion& companion : SideFiles(driverName))
        for (const std::string& stale : SideFileSpellings(outputPath, companion))
            if (!IsMovedFile(stale, moves) && ::unlink(stale.c_str()) != 0 && errno != ENOENT)
                return SystemError(errno, stale);
    return std::nullopt;
}

// A writer that failed may have given back what it had taken (SQLite rolls back), so a
// disk with less than a mebibyte left counts as the cause.
bool DiskIsFull(const std::string& folder) {
    struct statvfs info {};
    return ::statvfs(folder.c_str(), &info) == 0 &&
           static_cast<unsigned long long>(info.f_bavail) * info.f_frsize < (1u << 20);
}

// The file size limit (ulimit -f), when one is set: GDAL words what it does to a layer in
// many ways, or lets it pass.
std::optional<unsigned long long> FileSizeLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::nullopt;
    return limit.rlim_cur;
}

} // namespace

namespace {

// The footprint layer behind the scene run: planned from the options, written into a
// scratch folder beside the output, read back whole and moved into place.
class FootprintLayer final : public SceneWriter {
  public:
    FootprintLayer(const std::string& folderPrefix, const FootprintOptions& options,
                   FootprintReport& report)
        : m_folderPrefix(folderPrefix), m_options(options), m_report(report) {}

    std::optional<Error> plan() override;
    std::optional<Error> start(const SceneRunHost& host) override;
    std::unique_ptr<Prepared> prepare(const Scene& scene, std::string& reason) override {
        return PrepareFootprint(scene, reason);
    }
    std::optional<Error> write(const Scene& scene, Prepared& prepared,
                               std::string& reason) override;
    std::optional<Error> complete(SceneRunHost& host) override;
    std::optional<Error> publish(SceneRunHost& host) override;
    const std::string& shownOutput() const override { return m_options.outputPath; }
    std::string_view replacedFile() const override { return m_options.outputPath; }
    bool replacesEarlier() const override { return m_replacing; }

    // The error as the user should read it: naming the output, never the scratch folder,
    // with the likely cause of a failed write.
    void explain(std::optional<Error>& error) const;

  private:
    std::optional<Error> checkEarlierOutput() const;
    bool replacesCsvProjection() const;
    std::optional<Error> addColumnTypes() const;
    std::optional<Error> addStyle() const;
    LayerSettings settings() const;
    std::string scenesRead() const;

    const std::string& m_folderPrefix;
    const FootprintOptions& m_options;
    FootprintReport& m_report;
    std::string m_outputFolder;
    std::string m_outputName;
    bool m_replacing = false; // an earlier output is there
    GDALDriver* m_driver = nullptr;
    // Declared before everything GDAL so that it outlives the dataset's closing.
    GdalMessages m_messages;
    // Outlives the layer's dataset, so it is closed before its folder goes.
    ScratchFolder m_scratch;
    std::string m_layerPath; // in the scratch folder, under the output's name
    std::string m_gdalPath;  // where GDAL writes it, when that name differs
    std::optional<LayerWriter> m_writer;
    WrittenFeatures m_written; // to be found again when the layer is read back
    std::vector<ScratchMove> m_moves;
};

std::optional<Error> FootprintLayer::plan() {
    const std::string& outputPath = m_options.outputPath;
    const std::size_t slash = outputPath.rfind('/');
    m_outputFolder = slash == std::string::npos ? "."
                     : slash == 0               ? "/"
                                                : outputPath.substr(0, slash);
    m_outputName = FileNameOf(outputPath);
    if (m_outputName.empty() || m_outputName == "." || m_outputName == "..")
        return Error{EINVAL, "No file name in the output path " + outputPath,
                     "Name the output file, for example footprints.gpkg."};
    std::string& driverName = m_report.driverName;
    driverName = m_options.driverName;
    if (driverName.empty()) {
        const auto driver = DriverForPath(outputPath);
        if (!driver)
            return Error{
                EINVAL, "Unknown output format for " + outputPath, {}, ErrorKind::UnknownFormat};
        driverName = *driver;
    }
    if (auto error = CheckVectorDriver(driverName))
        return error;
    m_driver = GetGDALDriverManager()->GetDriverByName(driverName.c_str());
    driverName = m_driver->GetDescription(); // GDAL's spelling: "gpkg" names "GPKG"
    if (auto error = CheckOutputName(driverName, outputPath))
        return error;
    // Refused before anything is read: a special file or mount point at the output, a
    // journal beside it, a package holding more than its layer.
    return CheckLayerOutput(driverName, outputPath);
}

std::optional<Error> FootprintLayer::checkEarlierOutput() const {
    const std::string& outputPath = m_options.outputPath;
    struct stat info {};
    if (::lstat(outputPath.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return SystemError(EISDIR, outputPath);
        if (!m_options.overwrite)
            return ExistsError(outputPath);
    } else if (errno != ENOENT) {
        return SystemError(errno, outputPath);
    }
    if (m_options.overwrite)
        return std::nullopt;
    std::vector<std::string> paths;
    for (const Companion& file : SideFiles(m_report.driverName))
        std::ranges::move(SideFileSpellings(outputPath, file), std::back_inserter(paths));
    if (m_report.driverName == "CSV" && !ShapefileBeside(outputPath))
        paths.push_back(SideFilePath(outputPath, kCsvProjection));
    for (const std::string& path : paths)
        if (::lstat(path.c_str(), &info) == 0 && !OurStyleAt(path) &&
            !(path == SideFilePath(outputPath, kCsvProjection) && replacesCsvProjection()))
            return ExistsError(path);
    return std::nullopt;
}

// A new shapefile replaces without --overwrite the .prj of a CSV file of its name in
// WGS 84, which the shapefile's own, also WGS 84, serves as well.
bool FootprintLayer::replacesCsvProjection() const {
    return m_report.driverName == "ESRI Shapefile" && CsvProjectionBeside(m_options.outputPath);
}

LayerSettings FootprintLayer::settings() const {
    const std::string& driverName = m_report.driverName;
    LayerSettings settings = LayerSettingsFor(driverName);
    settings.spatialIndex = m_options.spatialIndex;
    settings.description = "Footprints of the ASTER scenes " + Utf8FromPath(scenesRead()) +
                           ", written by aster " + ASTER_VERSION;
    return settings;
}

// Which scenes were read, as the layer's description names them: the list file read, or
// how a list in memory was made, which no file holds.
std::string FootprintLayer::scenesRead() const {
    const std::string folder(FolderOfPrefix(m_folderPrefix));
    const std::vector<std::string>& patterns = m_options.listedPatterns;
    // A list given relative to where the run started means nothing to a later reader.
    std::error_code ignored;
    if (!m_options.listSearched())
        return "listed in " + (m_options.listPath.empty()
                                   ? JoinPath(folder, "filelist.txt")
                                   : std::filesystem::absolute(m_options.listPath, ignored)
                                         .lexically_normal()
                                         .string());
    std::string text = patterns.empty() ? "" : "named ";
    for (std::size_t i = 0; i < patterns.size(); ++i)
        text += (i == 0 ? "" : i + 1 == patterns.size() ? " or " : ", ") + patterns[i];
    text += patterns.empty() ? "" : " ";
    return text + (m_options.listedTree ? "in the tree of " : "in ") + folder;
}

std::optional<Error> FootprintLayer::start(const SceneRunHost& host) {
    if (auto error = checkEarlierOutput())
        return error;
    struct stat info {};
    m_replacing = ::lstat(m_options.outputPath.c_str(), &info) == 0;
    // A run that was killed left its scratch folder here.
    RemoveStaleScratch(m_outputFolder, [&host] { return !host.cancelRequestedOnAnyThread(); });
    const std::string& outputPath = m_options.outputPath;
    if (auto error = m_scratch.create(m_outputFolder, outputPath))
        return error;
    if (auto error = m_written.open(m_scratch.path(), outputPath))
        return error;
    // FlatGeobuf writes one file only under a name ending in .fgb, and a shapefile's .shp
    // is written in lower case whatever the name's case, so such a layer is written under
    // the name GDAL keeps and then given the one asked for.
    m_layerPath = m_scratch.path() + "/" + m_outputName;
    m_gdalPath = m_layerPath;
    if (m_report.driverName == "FlatGeobuf" && !EndsWithNoCase(m_outputName, ".fgb"))
        m_gdalPath = m_layerPath + ".fgb";
    else if (m_report.driverName == kShapefileDriver)
        m_gdalPath = WithoutExtension(m_layerPath) + ".shp";
    const bool inCurrentFolder = outputPath.find('/') == std::string::npos;
    m_messages.showPathAs(m_gdalPath, outputPath);
    m_messages.showPathAs(m_scratch.path() + "/", inCurrentFolder ? "" : m_outputFolder + "/");
    m_messages.showPathAs(m_scratch.path(), m_outputFolder);
    m_writer.emplace(*m_driver, outputPath, m_messages);
    return m_writer->create(m_gdalPath, Utf8FromBytes(WithoutExtension(m_outputName)), settings());
}

std::optional<Error> FootprintLayer::write(const Scene& scene, Prepared& prepared,
                                           std::string& /*reason*/) {
    auto& footprint = static_cast<PreparedFootprint&>(prepared);
    const WrittenFeature values = footprint.values;
    if (auto error = m_writer->write(scene, footprint))
        return error;
    return m_written.add(values);
}

// A CSV file's column types, which GDAL reads with the file, so before it is read back.
std::optional<Error> FootprintLayer::addColumnTypes() const {
    if (m_report.driverName != "CSV")
        return std::nullopt;
    return WriteSideFile(SideFilePath(m_layerPath, kCsvFiles[0]), CsvTypes(),
                         SideFilePath(m_options.outputPath, kCsvFiles[0]));
}

// The default style, once the layer has read back: a layer that failed is told as such.
std::optional<Error> FootprintLayer::addStyle() const {
    if (!HasStyleFile(m_report.driverName))
        return std::nullopt;
    const std::string style = m_report.driverName == kShapefileDriver
                                  ? ShapefileStyleQml()
                                  : std::string(FootprintStyleQml());
    return WriteSideFile(SideFilePath(m_layerPath, kStyleCompanion[0]), style,
                         SideFilePath(m_options.outputPath, kStyleCompanion[0]));
}

std::optional<Error> FootprintLayer::complete(SceneRunHost& host) {
    const std::string& outputPath = m_options.outputPath;
    m_report.cutTexts = m_writer->cutTexts();
    if (auto error = m_writer->close(m_messages))
        return error;
    if (auto error = SettleLayerFile(m_report.driverName, m_gdalPath, outputPath))
        return error;
    if (m_gdalPath != m_layerPath && ::rename(m_gdalPath.c_str(), m_layerPath.c_str()) != 0)
        return SystemError(errno, outputPath);
    struct stat info {};
    if (::lstat(m_layerPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return Error{EINVAL,
                     "GDAL's driver \"" + m_report.driverName + "\" wrote no file named " +
                         outputPath,
                     "Give the output the extension of the format, or choose another one."};
    if (auto error = addColumnTypes())
        return error;
    const WrittenLayer layer{m_scratch.path(), m_layerPath, m_report.driverName,
                             outputPath,       m_written,   m_writer->keepsValues()};
    if (auto error = CheckWrittenLayer(layer, m_messages))
        return error;
    if (auto error = addStyle())
        return error;
    if (auto error = CheckLayerBeforeMove(m_report.driverName, m_layerPath, outputPath))
        return error;
    // Beside a shapefile of its name, a CSV file reads the shapefile's .prj, which stays.
    if (m_report.driverName == "CSV" && ShapefileBeside(outputPath) &&
        ::unlink(SideFilePath(m_layerPath, kCsvProjection).c_str()) != 0 && errno != ENOENT)
        return SystemError(errno, SideFilePath(outputPath, kCsvProjection));
    const std::string csvProjection =
        replacesCsvProjection()
            ? m_outputFolder + "/" +
                  std::string(FileNameOf(SideFilePath(m_options.outputPath, kCsvProjection)))
            : std::string();
    std::string otherStyle;
    if (auto error = PlanMoves(m_scratch.path(), m_outputFolder, m_options.overwrite, csvProjection,
                               m_moves, otherStyle))
        return error;
    // QGIS reads the one style for every layer of the name: the other's times would come
    // from this layer's fields, which it names otherwise (a shapefile holds days only).
    if (!otherStyle.empty())
        host.notice(otherStyle + ", the style of a layer of the same name in another format, "
                                 "is now this layer's; QGIS would show that layer's times "
                                 "wrongly. Give the two layers different names to keep a "
                                 "style each.");
    return std::nullopt;
}

std::optional<Error> FootprintLayer::publish(SceneRunHost& host) {
    if (auto error = MoveIntoPlace(m_moves, m_options.outputPath))
        return error;
    // The new layer is in place: a side file left of the earlier one is told, not failed.
    if (m_options.overwrite) {
        if (const auto left =
                RemoveStaleCompanions(m_options.outputPath, m_report.driverName, m_moves))
            host.notice("The new layer is in place, but a file of the earlier one beside it "
                        "could not be removed (" +
                        left->description +
                        "): remove it, or programs may read it with the new layer.");
    }
    return std::nullopt;
}

void FootprintLayer::explain(std::optional<Error>& error) const {
    if (!error)
        return;
    // A message names the output asked for, never the hidden folder it was written in.
    if (!m_scratch.path().empty()) {
        const std::string hidden = m_scratch.path() + "/";
        const std::string shown = m_outputFolder + "/";
        std::string& text = error->description;
        for (std::size_t at = text.find(hidden); at != std::string::npos;
             at = text.find(hidden, at + shown.size()))
            text.replace(at, hidden.size(), shown);
    }
    if (IsCancellation(*error) || error->code == EEXIST || error->code == EINVAL ||
        error->code == ENODATA || m_outputFolder.empty())
        return;
    // GDAL words a full disk in many ways, some of them misleading ("file is corrupt").
    if (DiskIsFull(m_outputFolder)) {
        error = SystemError(ENOSPC, m_options.outputPath);
        error->hint = "The disk is full: make room on it and try again. Nothing was changed.";
    } else if (const auto limit = FileSizeLimit();
               limit && SizeLimitMayBeTheCause(*error, m_scratch.path(), *limit)) {
        error->hint = "Nothing was changed. Files may not grow beyond " + std::to_string(*limit) +
                      " bytes here (ulimit -f): raise that limit, or check that the disk has "
                      "room, then try again.";
    }
}

} // namespace

std::optional<Error> WriteFootprints(const std::string& folderPrefix,
                                     const FootprintOptions& options, FootprintReport& report,
                                     SceneRunHost& host) {
    if (IsDatabaseOutput(options))
        return WriteDatabaseFootprints(folderPrefix, options, report, host);
    report = FootprintReport{};
    FootprintLayer layer(folderPrefix, options, report);
    std::optional<Error> error = RunScenes(
        {folderPrefix, options.readAhead, {options.listPath, true}, options.listSearched()}, layer,
        host, report);
    layer.explain(error);
    return error;
}

} // namespace aster
