#include "footprints/footprint_layer.h"

#include "catalogue/build_run.h"
#include "catalogue/scene_reader.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "fileio/unique_fd.h"
#include "footprints/footprint_geometry.h"
#include "footprints/gdal_messages.h"
#include "footprints/output_formats.h"
#include "footprints/scene_values.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace aster {

namespace {

enum Field { kScene, kPath, kName, kAcqDate, kAcqTime, kAcquired, kLat1, kLon1 = kLat1 + 4 };

struct FieldKind {
    const char* name;
    OGRFieldType type;
};

// Names of at most ten characters, so that a shapefile keeps them as they are.
constexpr std::array<FieldKind, 14> kFields{{
    {"scene", OFTInteger},
    {"path", OFTString},
    {"name", OFTString},
    {"acq_date", OFTDate},
    {"acq_time", OFTString},
    {"acquired", OFTDateTime},
    {"lat1", OFTReal},
    {"lat2", OFTReal},
    {"lat3", OFTReal},
    {"lat4", OFTReal},
    {"lon1", OFTReal},
    {"lon2", OFTReal},
    {"lon3", OFTReal},
    {"lon4", OFTReal},
}};

constexpr std::string_view kShapefileDriver = "ESRI Shapefile";

// A shapefile's files that GDAL does not write but other programs add beside it; they
// describe the layer they were made for.
constexpr std::array<std::string_view, 4> kShapefileExtras{".qix", ".sbn", ".sbx", ".shp.xml"};

bool ExtensionIs(std::string_view path, std::string_view lowerExtension) {
    if (path.size() < lowerExtension.size())
        return false;
    const std::string_view tail = path.substr(path.size() - lowerExtension.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (tail[i] != lowerExtension[i] && tail[i] != lowerExtension[i] - 'a' + 'A')
            return false;
    return true;
}

// Whether the driver's layer creation options include `option`.
bool TakesLayerOption(GDALDriver& driver, std::string_view option) {
    const char* list = driver.GetMetadataItem(GDAL_DS_LAYER_CREATIONOPTIONLIST);
    return list != nullptr &&
           std::string_view(list).find("name='" + std::string(option) + "'") != std::string::npos;
}

Error GdalError(std::string_view what, const std::string& path, const GdalMessages& messages) {
    return Error{
        EIO, "GDAL could not " + std::string(what) + " " + path + ": " + messages.failure(), {}};
}

Error ExistsError(const std::string& path) {
    Error error = SystemError(EEXIST, path);
    error.kind = ErrorKind::OutputExists;
    return error;
}

// Everything a listed file gives the layer, made on the thread that read the file, so that
// only the writing itself is left for the run: one feature, or the reason for none.
struct PreparedFootprint {
    std::int32_t number = 0;
    std::string reason;
    Corners corners;
    std::unique_ptr<OGRMultiPolygon> footprint;
    std::string path, name, time;
    std::optional<CalendarDate> date;
    std::optional<TimeOfDay> timeOfDay;
};

std::unique_ptr<PreparedFootprint> PrepareFootprint(const ListedScene& scene) {
    auto prepared = std::make_unique<PreparedFootprint>();
    SceneRecord record;
    record.SceneNumber = scene.number;
    record.FullPath = scene.fullPath;
    ExtractRecord(scene.text, record);
    prepared->number = scene.number;
    CornersOrReason corners = ReadCorners(record);
    if (!corners.corners) {
        prepared->reason = std::move(corners.reason);
        return prepared;
    }
    FootprintOrReason footprint = MakeFootprint(*corners.corners);
    if (!footprint.footprint) {
        prepared->reason = std::move(footprint.reason);
        return prepared;
    }
    prepared->corners = *corners.corners;
    prepared->footprint = std::move(footprint.footprint);
    prepared->path = Utf8FromBytes(record.FullPath);
    prepared->name = Utf8FromBytes(FileNameOf(record.FullPath));
    prepared->time = Utf8FromBytes(record.SceneTime);
    prepared->date = ParseSceneDate(record.SceneDate);
    prepared->timeOfDay = ParseSceneTime(record.SceneTime);
    return prepared;
}

// One layer being written into the scratch folder.
class LayerWriter {
  public:
    LayerWriter(GDALDriver& driver, const std::string& outputPath, const GdalMessages& messages)
        : m_driver(driver), m_outputPath(outputPath), m_messages(messages) {}

    std::optional<Error> create(const std::string& scratchPath, const std::string& layerName,
                                bool spatialIndex) {
        m_dataset.reset(m_driver.Create(scratchPath.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        if (!m_dataset)
            return GdalError("create", m_outputPath, m_messages);

        OGRSpatialReference wgs84;
        if (wgs84.importFromEPSG(4326) != OGRERR_NONE)
            return GdalError("set up EPSG:4326 for", m_outputPath, m_messages);
        wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);

        const bool shapefile = m_driver.GetDescription() == kShapefileDriver;
        CPLStringList layerOptions;
        if (TakesLayerOption(m_driver, "ENCODING"))
            layerOptions.SetNameValue("ENCODING", "UTF-8");
        if (TakesLayerOption(m_driver, "RFC7946"))
            layerOptions.SetNameValue("RFC7946", "YES");
        // A text format without a geometry column of its own keeps the footprint as WKT.
        if (TakesLayerOption(m_driver, "GEOMETRY"))
            layerOptions.SetNameValue("GEOMETRY", "AS_WKT");
        if (TakesLayerOption(m_driver, "SPATIAL_INDEX"))
            layerOptions.SetNameValue("SPATIAL_INDEX", spatialIndex ? "YES" : "NO");
        if (shapefile)
            layerOptions.SetNameValue("RESIZE", "YES"); // text columns as wide as needed
        m_layer =
            m_dataset->CreateLayer(layerName.c_str(), &wgs84, wkbMultiPolygon, layerOptions.List());
        if (m_layer == nullptr)
            return GdalError("create the layer in", m_outputPath, m_messages);

        for (const FieldKind& kind : kFields) {
            OGRFieldDefn field(kind.name, kind.type);
            // A shapefile's text columns are 80 bytes wide unless told otherwise.
            if (shapefile && kind.type == OFTString)
                field.SetWidth(254);
            if (m_layer->CreateField(&field) != OGRERR_NONE)
                return GdalError(std::string("add the field ") + kind.name + " to", m_outputPath,
                                 m_messages);
        }
        // Drivers may rename a field or keep it apart (KML makes `name` the placemark's
        // name), so the indices are looked up, and a field a driver dropped is left out.
        OGRFeatureDefn* definition = m_layer->GetLayerDefn();
        for (std::size_t i = 0; i < kFields.size(); ++i)
            m_index[i] = definition->GetFieldIndex(kFields[i].name);
        m_feature.reset(OGRFeature::CreateFeature(definition));

        if (m_dataset->TestCapability(ODsCTransactions)) {
            if (m_dataset->StartTransaction() != OGRERR_NONE)
                return GdalError("start writing", m_outputPath, m_messages);
            m_inTransaction = true;
        }
        return std::nullopt;
    }

    std::optional<Error> write(PreparedFootprint& prepared) {
        OGRFeature& feature = *m_feature;
        setInteger(kScene, prepared.number);
        setText(kPath, prepared.path);
        setText(kName, prepared.name);
        setText(kAcqTime, prepared.time);
        const auto& date = prepared.date;
        const auto& time = prepared.timeOfDay;
        if (m_index[kAcqDate] >= 0) {
            if (date)
                feature.SetField(m_index[kAcqDate], date->year, static_cast<int>(date->month),
                                 static_cast<int>(date->day));
            else
                feature.SetFieldNull(m_index[kAcqDate]);
        }
        if (m_index[kAcquired] >= 0) {
            if (date && time)
                feature.SetField(m_index[kAcquired], date->year, static_cast<int>(date->month),
                                 static_cast<int>(date->day), time->hour, time->minute,
                                 static_cast<float>(time->second), kUtc);
            else
                feature.SetFieldNull(m_index[kAcquired]);
        }
        const Corners& corners = prepared.corners;
        for (std::size_t i = 0; i < 4; ++i) {
            setReal(kLat1 + i, corners.lat[i]);
            setReal(kLon1 + i, corners.lon[i]);
        }
        feature.SetGeometryDirectly(prepared.footprint.release());
        feature.SetFID(OGRNullFID); // a new feature each time, though the object is reused
        if (m_layer->CreateFeature(&feature) != OGRERR_NONE)
            return GdalError("write a feature to", m_outputPath, m_messages);
        return std::nullopt;
    }

    // Commits and closes the dataset; only then are its files complete.
    std::optional<Error> close(GdalMessages& messages) {
        m_feature.reset();
        if (m_inTransaction && m_dataset->CommitTransaction() != OGRERR_NONE)
            return GdalError("finish", m_outputPath, m_messages);
        messages.clear();
        m_dataset.reset();
        // GDAL 3.6 reports failures at closing only through its messages.
        if (messages.hasFailure())
            return GdalError("finish", m_outputPath, m_messages);
        return std::nullopt;
    }

  private:
    static constexpr int kUtc = 100; // OGR's time zone flag for UTC

    void setInteger(std::size_t field, int value) {
        if (m_index[field] >= 0)
            m_feature->SetField(m_index[field], value);
    }
    void setReal(std::size_t field, double value) {
        if (m_index[field] >= 0)
            m_feature->SetField(m_index[field], value);
    }
    void setText(std::size_t field, const std::string& value) {
        if (m_index[field] >= 0)
            m_feature->SetField(m_index[field], value.c_str());
    }

    GDALDriver& m_driver;
    const std::string& m_outputPath;
    const GdalMessages& m_messages;
    GDALDatasetUniquePtr m_dataset;
    OGRLayer* m_layer = nullptr; // owned by m_dataset
    OGRFeatureUniquePtr m_feature;
    std::array<int, kFields.size()> m_index{};
    bool m_inTransaction = false;
};

// The files of the finished layer, each to go to the same name in the output's folder.
// Without `overwrite`, a file of the output's name already there is refused.
std::optional<Error> PlanMoves(const std::string& scratch, const std::string& outputFolder,
                               bool overwrite, std::vector<ScratchMove>& moves) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(scratch, ec)) {
        const std::string name = entry.path().filename().string();
        ScratchMove move{scratch + "/" + name, outputFolder + "/" + name};
        struct stat info {};
        if (!overwrite && ::lstat(move.to.c_str(), &info) == 0)
            return ExistsError(move.to);
        moves.push_back(std::move(move));
    }
    if (ec)
        return SystemError(ec.value(), scratch);
    return std::nullopt;
}

// After an overwrite: a shapefile's extra files of the earlier layer that the new one
// does not have, in the case of the .shp's extension (".SHP" goes with ".QIX").
std::optional<Error> RemoveStaleShapefileExtras(const std::string& outputPath,
                                                const std::vector<ScratchMove>& moves) {
    const std::string stem = outputPath.substr(0, outputPath.size() - 4);
    const bool upper = outputPath.ends_with(".SHP");
    for (std::string_view extension : kShapefileExtras) {
        std::string extra = stem;
        for (const char c : extension)
            extra += upper && c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
        bool isNew = false;
        for (const ScratchMove& move : moves)
            isNew = isNew || FileNameOf(move.to) == FileNameOf(extra);
        if (!isNew && ::unlink(extra.c_str()) != 0 && errno != ENOENT)
            return SystemError(errno, extra);
    }
    return std::nullopt;
}

// Some drivers let a failed write pass unreported (GeoJSON on a full disk leaves an
// empty file and says nothing), so a finished layer is made to prove itself before it
// replaces anything: every file reaches the disk, and the layer reads back with as many
// features as were written.
std::optional<Error> CheckWrittenLayer(const std::string& scratch, const std::string& outputName,
                                       const std::string& outputPath, std::int64_t written) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(scratch, ec)) {
        const UniqueFd file(::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC));
        if (!file || (::fsync(file.get()) != 0 && errno != EINVAL))
            return SystemError(errno, outputPath);
    }
    if (ec)
        return SystemError(ec.value(), outputPath);
    const GdalMessages messages;
    const std::string path = scratch + "/" + outputName;
    const GDALDatasetUniquePtr layer(
        GDALDataset::Open(path.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    OGRLayer* first = layer && layer->GetLayerCount() > 0 ? layer->GetLayer(0) : nullptr;
    const GIntBig count = first != nullptr ? first->GetFeatureCount(TRUE) : -1;
    if (count != written)
        return Error{EIO,
                     "The layer written to " + outputPath + " reads back with " +
                         (count < 0 ? std::string("no features") : std::to_string(count)) +
                         " instead of " + std::to_string(written) + " footprints" +
                         (messages.hasFailure() ? ": " + messages.failure() : std::string()),
                     "Nothing was changed. Check that the disk has room, then try again."};
    return std::nullopt;
}

// A writer that failed may have given back what it had taken (SQLite rolls back), so a
// disk with less than a mebibyte left counts as the cause.
bool DiskIsFull(const std::string& folder) {
    struct statvfs info {};
    return ::statvfs(folder.c_str(), &info) == 0 &&
           static_cast<unsigned long long>(info.f_bavail) * info.f_frsize < (1u << 20);
}

} // namespace

namespace {

std::optional<Error> WriteLayer(const std::string& folderPrefix, const FootprintOptions& options,
                                FootprintReport& report, FootprintProgress& progress,
                                std::string& outputFolder, ScratchFolder& scratch) {
    const std::string& outputPath = options.outputPath;
    const std::size_t slash = outputPath.rfind('/');
    outputFolder = slash == std::string::npos ? "."
                   : slash == 0               ? "/"
                                              : outputPath.substr(0, slash);
    const std::string outputName(FileNameOf(outputPath));
    if (outputName.empty() || outputName == "." || outputName == "..")
        return Error{EINVAL, "No file name in the output path " + outputPath,
                     "Name the output file, for example footprints.gpkg."};

    if (options.driverName.empty()) {
        const auto driver = DriverForPath(outputPath);
        if (!driver)
            return Error{EINVAL, "Unknown output format for " + outputPath, {},
                         ErrorKind::UnknownFormat};
        report.driverName = *driver;
    } else {
        report.driverName = options.driverName;
    }
    // Declared before everything GDAL so that it outlives the dataset's closing.
    GdalMessages messages;
    if (auto error = CheckVectorDriver(report.driverName))
        return error;
    GDALDriver& driver = *GetGDALDriverManager()->GetDriverByName(report.driverName.c_str());
    report.driverName = driver.GetDescription(); // GDAL's spelling: "gpkg" names "GPKG"

    PreparedScenes<std::unique_ptr<PreparedFootprint>> scenes(options.readAhead, &PrepareFootprint);
    if (auto error = scenes.open(folderPrefix)) {
        ExplainMissingList(*error, folderPrefix);
        return error;
    }

    struct stat info {};
    if (::lstat(outputPath.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return SystemError(EISDIR, outputPath);
        if (!options.overwrite)
            return ExistsError(outputPath);
    } else if (errno != ENOENT) {
        return SystemError(errno, outputPath);
    }

    // A run that was killed left its scratch folder here.
    RemoveStaleScratch(outputFolder);
    if (auto error = scratch.create(outputFolder, outputPath))
        return error;
    const std::size_t dot = outputName.rfind('.');
    const std::string layerName = Utf8FromBytes(
        dot == 0 || dot == std::string::npos ? outputName : outputName.substr(0, dot));
    LayerWriter writer(driver, outputPath, messages);
    if (auto error =
            writer.create(scratch.path() + "/" + outputName, layerName, options.spatialIndex))
        return error;

    ListedScene scene;
    std::unique_ptr<PreparedFootprint> preparedFootprint;
    while (scenes.next(scene, preparedFootprint)) {
        auto& prepared = *preparedFootprint;
        if (!prepared.footprint) {
            report.skipped.push_back(
                SkippedScene{std::string(scene.fullPath), std::move(prepared.reason)});
        } else {
            if (auto error = writer.write(prepared))
                return error;
            ++report.written;
        }
        progress.progress(scene.number, scenes.total());
        if (progress.cancelRequested())
            return StoppedAfter(scene.number, scenes.total());
    }
    if (scenes.error())
        return scenes.error();

    if (auto error = writer.close(messages))
        return error;
    if (auto error = CheckWrittenLayer(scratch.path(), outputName, outputPath, report.written))
        return error;
    std::vector<ScratchMove> moves;
    if (auto error = PlanMoves(scratch.path(), outputFolder, options.overwrite, moves))
        return error;
    if (progress.cancelRequested())
        return StoppedAfter(scenes.total(), scenes.total());
    if (auto error = MoveIntoPlace(moves, outputPath))
        return error;
    if (options.overwrite && report.driverName == kShapefileDriver &&
        ExtensionIs(outputPath, ".shp"))
        return RemoveStaleShapefileExtras(outputPath, moves);
    return std::nullopt;
}

} // namespace

std::optional<Error> WriteFootprints(const std::string& folderPrefix,
                                     const FootprintOptions& options, FootprintReport& report,
                                     FootprintProgress& progress) {
    report = FootprintReport{};
    std::string outputFolder;
    // Outlives the layer's dataset, so it is closed before its folder goes, and is still
    // there when a full disk is looked for below.
    ScratchFolder scratch;
    std::optional<Error> error;
    try {
        error = WriteLayer(folderPrefix, options, report, progress, outputFolder, scratch);
    } catch (const std::bad_alloc&) {
        error = Error{ENOMEM, "Not enough memory to write " + options.outputPath,
                      "Close other programs, or split the list into several folders.",
                      ErrorKind::NoMemory};
    }
    // GDAL words a full disk in many ways, some of them misleading ("file is corrupt").
    if (error && !IsCancellation(*error) && error->code != EEXIST && !outputFolder.empty() &&
        DiskIsFull(outputFolder)) {
        error = SystemError(ENOSPC, options.outputPath);
        error->hint = "The disk is full: make room on it and try again. Nothing was changed.";
    }
    return error;
}

} // namespace aster
