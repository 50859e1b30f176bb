#include "footprints/footprint_layer.h"

#include "catalogue/build_run.h"
#include "catalogue/scene_reader.h"
#include "fileio/folder.h"
#include "fileio/replacement_file.h"
#include "fileio/scratch_folder.h"
#include "fileio/unique_fd.h"
#include "fileio/utf8.h"
#include "footprints/footprint_geometry.h"
#include "footprints/gdal_messages.h"
#include "footprints/geopackage_index.h"
#include "footprints/layer_check.h"
#include "footprints/layer_output.h"
#include "footprints/layer_style.h"
#include "footprints/output_formats.h"
#include "metadata/scene_footprint.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace aster {

namespace {

enum Field {
    kScene,
    kPath,
    kName,
    kAcqDate,
    kAcqTime,
    kAcquired,
    kLat1,
    kLon1 = kLat1 + 4,
    kGranule = kLon1 + 4,
    kProduct,
    kVersion,
    kDayNight,
    kCloud,
    kSunAzimuth,
    kSunElevation,
};

struct FieldKind {
    const char* name;
    OGRFieldType type;
};

// Names of at most ten characters, so that a shapefile keeps them as they are. The
// granule's own items come after the fields that layers had before them, so that a
// column keeps its place for those who read columns by number.
constexpr std::array<FieldKind, 21> kFields{{
    {"scene", OFTInteger},  {"path", OFTString},     {"name", OFTString},
    {"acq_date", OFTDate},  {"acq_time", OFTString}, {"acquired", OFTDateTime},
    {"lat1", OFTReal},      {"lat2", OFTReal},       {"lat3", OFTReal},
    {"lat4", OFTReal},      {"lon1", OFTReal},       {"lon2", OFTReal},
    {"lon3", OFTReal},      {"lon4", OFTReal},       {"granule", OFTString},
    {"product", OFTString}, {"version", OFTString},  {"day_night", OFTString},
    {"cloud", OFTReal},     {"sun_azim", OFTReal},   {"sun_elev", OFTReal},
}};

constexpr std::string_view kShapefileDriver = "ESRI Shapefile";

// Files that sit beside a layer and are named after it, which GDAL does not write: other
// programs' indexes and metadata for a shapefile (.qix, .sbn, .sbx, .shp.xml), and the
// default style (.qml) that QGIS reads beside a shapefile or a FlatGeobuf file. They
// describe one layer, so they belong to the output: an earlier one means the output
// exists, and one the new layer does not have goes with the layer it described.
struct Companion {
    std::string_view suffix;  // added to the layer's name without its extension
    bool followsCase = false; // upper case beside an upper-case .SHP
};
constexpr std::array<Companion, 5> kShapefileCompanions{{
    {".qix", true},
    {".sbn", true},
    {".sbx", true},
    {".shp.xml", true},
    {".qml", false},
}};
constexpr std::array<Companion, 1> kStyleCompanion{{{".qml", false}}};
// Files GDAL writes beside the named one; listed so that an earlier one is found before
// any work is done.
constexpr std::array<Companion, 4> kShapefileFiles{{
    {".shx", true},
    {".dbf", true},
    {".prj", true},
    {".cpg", true},
}};
constexpr std::array<Companion, 2> kCsvFiles{{{".csvt", true}, {".prj", true}}};

bool ExtensionIs(std::string_view path, std::string_view lowerExtension) {
    if (path.size() < lowerExtension.size())
        return false;
    const std::string_view tail = path.substr(path.size() - lowerExtension.size());
    for (std::size_t i = 0; i < tail.size(); ++i)
        if (tail[i] != lowerExtension[i] && tail[i] != lowerExtension[i] - 'a' + 'A')
            return false;
    return true;
}

// The name without its last extension: a layer's name, and the stem of its companions.
std::string StemOf(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    return std::string(dot == 0 || dot == std::string_view::npos ? name : name.substr(0, dot));
}

// The companions and GDAL's own side files of a layer, by the driver that writes it.
std::vector<Companion> SideFiles(const std::string& driverName, bool withGdalFiles) {
    std::vector<Companion> files;
    if (driverName == kShapefileDriver) {
        files.assign(kShapefileCompanions.begin(), kShapefileCompanions.end());
        if (withGdalFiles)
            files.insert(files.end(), kShapefileFiles.begin(), kShapefileFiles.end());
    } else if (driverName == "FlatGeobuf") {
        files.assign(kStyleCompanion.begin(), kStyleCompanion.end());
    } else if (driverName == "CSV" && withGdalFiles) {
        files.assign(kCsvFiles.begin(), kCsvFiles.end());
    }
    return files;
}

// The path of a side file of the layer at `path`, in the case of its extension where the
// side file follows it (".SHP" goes with ".QIX").
std::string SideFilePath(const std::string& path, const Companion& file) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string_view name = FileNameOf(path);
    const std::size_t dot = name.rfind('.');
    const bool upper =
        dot != std::string_view::npos && dot + 1 < name.size() &&
        name.substr(dot + 1).find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string_view::npos;
    std::string sidePath = folder + StemOf(name);
    for (const char c : file.suffix)
        sidePath += file.followsCase && upper && c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    return sidePath;
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

// The date as ISO 8601 text: "2003-04-12".
std::string DateText(const CalendarDate& date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", date.year % 10000, date.month % 100,
                  date.day % 100);
    return text;
}

// Everything a listed file gives the layer, made on the thread that read the file, so that
// only the writing itself is left for the run: one feature, or the reason for none.
struct PreparedFootprint {
    std::string reason;
    std::unique_ptr<OGRMultiPolygon> footprint;
    // The scene number and the first four corners (NaN where the file gives fewer), as
    // the layer is checked for them when read back.
    WrittenFeature values;
    std::string path, name;                                               // UTF-8
    std::optional<std::string> time, granule, product, version, dayNight; // UTF-8
    std::optional<CalendarDate> date;
    std::optional<UtcMilliseconds> acquired;
    std::optional<double> cloud, sunAzimuth, sunElevation;
};

// A text the file gives, as UTF-8; an empty one is as good as none.
std::optional<std::string> TextOf(std::string_view bytes) {
    if (bytes.empty())
        return std::nullopt;
    return Utf8FromBytes(bytes);
}
std::optional<std::string> TextOf(const std::optional<std::string>& bytes) {
    return bytes ? TextOf(std::string_view(*bytes)) : std::nullopt;
}

// The scene as every output that writes footprints reads it, with the same reasons.
PreparedFootprint PrepareFootprint(SceneFootprintReader& reader, const ListedScene& scene) {
    PreparedFootprint prepared;
    prepared.values.scene = scene.number;
    SceneFootprintOrReason read = reader.read(scene.text, scene.extent);
    if (!read.scene) {
        // A file that gave no text at all is named for what keeps it from being read.
        prepared.reason = scene.text.empty() && scene.extent == TextExtent::Whole
                              ? UnreadSceneReason(std::string(scene.fullPath))
                              : std::move(read.reason);
        return prepared;
    }
    OgrFootprintOrReason footprint = OgrFootprint(read.scene->shape);
    if (!footprint.footprint) {
        prepared.reason = std::move(footprint.reason);
        return prepared;
    }
    prepared.footprint = std::move(footprint.footprint);
    const SceneMetadata& metadata = read.scene->metadata;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool given = i < metadata.corners.size();
        prepared.values.corners[i] = given ? metadata.corners[i].lat : std::nan("");
        prepared.values.corners[4 + i] = given ? metadata.corners[i].lon : std::nan("");
    }
    prepared.path = Utf8FromBytes(scene.fullPath);
    prepared.name = Utf8FromBytes(FileNameOf(scene.fullPath));
    prepared.time = TextOf(std::string_view(metadata.timeText));
    prepared.granule = TextOf(metadata.granule);
    prepared.product = TextOf(metadata.product);
    prepared.version = TextOf(metadata.version);
    prepared.dayNight = TextOf(metadata.dayNight);
    prepared.date = metadata.date;
    prepared.acquired = metadata.acquired;
    prepared.cloud = metadata.cloud;
    prepared.sunAzimuth = metadata.sunAzimuth;
    prepared.sunElevation = metadata.sunElevation;
    return prepared;
}

// How the layer is laid out for its driver.
struct LayerSettings {
    bool spatialIndex = true;
    // Text formats whose drivers write dates in GDAL's own form ("2003/04/12 18:32:07+00"),
    // which a GIS compares as text: they get ISO 8601 text instead.
    bool datesAsText = false;
    std::string description; // a GeoPackage's description of the layer
};

// One layer being written into the scratch folder.
class LayerWriter {
  public:
    LayerWriter(GDALDriver& driver, const std::string& outputPath, const GdalMessages& messages)
        : m_driver(driver), m_outputPath(outputPath), m_messages(messages) {}

    std::optional<Error> create(const std::string& scratchPath, const std::string& layerName,
                                const LayerSettings& settings) {
        m_datesAsText = settings.datesAsText;
        m_dataset.reset(m_driver.Create(scratchPath.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        if (!m_dataset)
            return GdalError("create", m_outputPath, m_messages);
        // A driver that makes a folder for a name it does not take as a file is stopped
        // before it writes anything.
        struct stat info {};
        if (::lstat(scratchPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return Error{EINVAL,
                         "GDAL's driver \"" + std::string(m_driver.GetDescription()) +
                             "\" writes a folder instead of the file " + m_outputPath,
                         "Give the output the extension of the format, or choose another one."};

        OGRSpatialReference wgs84;
        if (wgs84.importFromEPSG(4326) != OGRERR_NONE)
            return GdalError("set up EPSG:4326 for", m_outputPath, m_messages);
        wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);

        const std::string driverName = m_driver.GetDescription();
        const bool shapefile = driverName == kShapefileDriver;
        const bool geoJson = driverName == "GeoJSON";
        CPLStringList options;
        if (TakesLayerOption(m_driver, "ENCODING"))
            options.SetNameValue("ENCODING", "UTF-8");
        // A text format without a geometry column of its own keeps the footprint as WKT.
        if (TakesLayerOption(m_driver, "GEOMETRY"))
            options.SetNameValue("GEOMETRY", "AS_WKT");
        if (TakesLayerOption(m_driver, "CREATE_CSVT"))
            options.SetNameValue("CREATE_CSVT", "YES");
        // RFC 7946 by hand: GDAL's own RFC 7946 mode writes a one-part multipolygon as a
        // polygon, and the layer must have one geometry type. Without a spatial reference
        // the file gets no "crs" member, which RFC 7946 leaves out (WGS 84 is implied).
        if (geoJson)
            options.SetNameValue("COORDINATE_PRECISION", "7");
        m_packsIndex = settings.spatialIndex && PacksOwnIndex();
        if (TakesLayerOption(m_driver, "SPATIAL_INDEX"))
            options.SetNameValue("SPATIAL_INDEX",
                                 settings.spatialIndex && !m_packsIndex ? "YES" : "NO");
        if (!settings.description.empty() && driverName == "GPKG")
            options.SetNameValue("DESCRIPTION", settings.description.c_str());
        m_layer = m_dataset->CreateLayer(layerName.c_str(), geoJson ? nullptr : &wgs84,
                                         wkbMultiPolygon, options.List());
        if (m_layer == nullptr)
            return GdalError("create the layer in", m_outputPath, m_messages);

        for (const FieldKind& kind : kFields) {
            const bool date = kind.type == OFTDate || kind.type == OFTDateTime;
            OGRFieldDefn field(kind.name, date && m_datesAsText ? OFTString : kind.type);
            // A shapefile's text columns are 80 bytes wide unless told otherwise, and keep
            // the declared width, so that later edits fit.
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

        if (m_packsIndex) {
            m_packedIndex = std::make_unique<GeoPackageIndex>();
            if (!m_packedIndex->prepare(*m_dataset, *m_layer))
                return GdalError("add a spatial index to", m_outputPath, m_messages);
        }
        if (m_dataset->TestCapability(ODsCTransactions)) {
            if (m_dataset->StartTransaction() != OGRERR_NONE)
                return GdalError("start writing", m_outputPath, m_messages);
            m_inTransaction = true;
        }
        return std::nullopt;
    }

    std::optional<Error> write(PreparedFootprint& prepared) {
        OGRFeature& feature = *m_feature;
        setInteger(kScene, prepared.values.scene);
        setText(kPath, prepared.path);
        setText(kName, prepared.name);
        setText(kAcqTime, prepared.time);
        setText(kGranule, prepared.granule);
        setText(kProduct, prepared.product);
        setText(kVersion, prepared.version);
        setText(kDayNight, prepared.dayNight);
        setReal(kCloud, prepared.cloud);
        setReal(kSunAzimuth, prepared.sunAzimuth);
        setReal(kSunElevation, prepared.sunElevation);
        for (std::size_t i = 0; i < 4; ++i) {
            setReal(kLat1 + i, prepared.values.corners[i]);
            setReal(kLon1 + i, prepared.values.corners[4 + i]);
        }
        const auto& date = prepared.date;
        if (m_index[kAcqDate] >= 0) {
            if (!date)
                feature.SetFieldNull(m_index[kAcqDate]);
            else if (m_datesAsText)
                feature.SetField(m_index[kAcqDate], DateText(*date).c_str());
            else
                feature.SetField(m_index[kAcqDate], date->year, static_cast<int>(date->month),
                                 static_cast<int>(date->day));
        }
        if (m_index[kAcquired] >= 0) {
            const auto& acquired = prepared.acquired;
            if (!acquired) {
                feature.SetFieldNull(m_index[kAcquired]);
            } else if (m_datesAsText) {
                feature.SetField(m_index[kAcquired], FormatRfc3339(*acquired).c_str());
            } else {
                const UtcParts parts = BreakDown(*acquired);
                const float second =
                    static_cast<float>(parts.second) + static_cast<float>(parts.millisecond) / 1000;
                feature.SetField(m_index[kAcquired], parts.year, static_cast<int>(parts.month),
                                 static_cast<int>(parts.day), parts.hour, parts.minute, second,
                                 kUtc);
            }
        }
        OGREnvelope extent;
        prepared.footprint->getEnvelope(&extent);
        feature.SetGeometryDirectly(prepared.footprint.release());
        feature.SetFID(OGRNullFID); // a new feature each time, though the object is reused
        if (m_layer->CreateFeature(&feature) != OGRERR_NONE)
            return GdalError("write a feature to", m_outputPath, m_messages);
        if (m_packedIndex)
            m_packedIndex->add(feature.GetFID(), extent);
        return std::nullopt;
    }

    // Whether the driver kept the scene number and every corner as fields.
    bool keepsValues() const {
        for (const Field field : {kScene, kLat1, kLon1})
            for (std::size_t i = 0; i < (field == kScene ? 1u : 4u); ++i)
                if (m_index[field + i] < 0)
                    return false;
        return true;
    }

    // Finishes the index and the style, commits and closes the dataset; only then are its
    // files complete.
    std::optional<Error> close(GdalMessages& messages) {
        m_feature.reset();
        if (m_packedIndex && !m_packedIndex->finish())
            return GdalError("add a spatial index to", m_outputPath, m_messages);
        m_packedIndex.reset();
        if (std::string_view(m_driver.GetDescription()) == "GPKG" &&
            !AddGeoPackageStyle(*m_dataset, *m_layer))
            return GdalError("add the layer's style to", m_outputPath, m_messages);
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

    // GDAL before 3.7 fills a GeoPackage's R-tree one feature at a time; it is packed
    // here instead (see GeoPackageIndex).
    bool PacksOwnIndex() const {
        return GDAL_VERSION_NUM < GDAL_COMPUTE_VERSION(3, 7, 0) &&
               GeoPackageIndex::CanPack(*m_dataset);
    }

    void setInteger(std::size_t field, int value) {
        if (m_index[field] >= 0)
            m_feature->SetField(m_index[field], value);
    }
    // A value the file does not give is null: NaN is no value either.
    void setReal(std::size_t field, std::optional<double> value) {
        if (m_index[field] < 0)
            return;
        if (value && !std::isnan(*value))
            m_feature->SetField(m_index[field], *value);
        else
            m_feature->SetFieldNull(m_index[field]);
    }
    void setText(std::size_t field, const std::string& value) {
        if (m_index[field] >= 0)
            m_feature->SetField(m_index[field], value.c_str());
    }
    void setText(std::size_t field, const std::optional<std::string>& value) {
        if (m_index[field] < 0)
            return;
        if (value)
            m_feature->SetField(m_index[field], value->c_str());
        else
            m_feature->SetFieldNull(m_index[field]);
    }

    GDALDriver& m_driver;
    const std::string& m_outputPath;
    const GdalMessages& m_messages;
    GDALDatasetUniquePtr m_dataset;
    OGRLayer* m_layer = nullptr; // owned by m_dataset
    OGRFeatureUniquePtr m_feature;
    std::array<int, kFields.size()> m_index{};
    std::unique_ptr<GeoPackageIndex> m_packedIndex;
    bool m_packsIndex = false;
    bool m_datesAsText = false;
    bool m_inTransaction = false;
};

// Writes a small file whole, for the side files this program adds to a layer.
std::optional<Error> WriteSideFile(const std::string& path, std::string_view bytes,
                                   const std::string& shownPath) {
    const UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file)
        return SystemError(errno, shownPath);
    while (!bytes.empty()) {
        const ssize_t written = ::write(file.get(), bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return SystemError(written < 0 ? errno : ENOSPC, shownPath);
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return std::nullopt;
}

// The .csvt that declares each column's type to a reader, in place of GDAL's, which
// declares the ISO dates as plain strings: they become Date and DateTime, and GDAL and
// QGIS read them as such. The geometry's WKT column comes first.
std::string CsvTypes() {
    std::string types = "WKT";
    for (const FieldKind& kind : kFields) {
        types += ',';
        switch (kind.type) {
        case OFTInteger:
            types += "Integer";
            break;
        case OFTReal:
            types += "Real";
            break;
        case OFTDate:
            types += "Date";
            break;
        case OFTDateTime:
            types += "DateTime";
            break;
        default:
            types += "String";
            break;
        }
    }
    return types + "\n";
}

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

// After an overwrite: the companions of the earlier layer that the new one does not have.
std::optional<Error> RemoveStaleCompanions(const std::string& outputPath,
                                           const std::string& driverName,
                                           const std::vector<ScratchMove>& moves) {
    for (const Companion& companion : SideFiles(driverName, false)) {
        const std::string stale = SideFilePath(outputPath, companion);
        bool isNew = false;
        for (const ScratchMove& move : moves)
            isNew = isNew || FileNameOf(move.to) == FileNameOf(stale);
        if (!isNew && ::unlink(stale.c_str()) != 0 && errno != ENOENT)
            return SystemError(errno, stale);
    }
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
            return Error{
                EINVAL, "Unknown output format for " + outputPath, {}, ErrorKind::UnknownFormat};
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
    if (auto error = CheckOutputName(report.driverName, outputPath))
        return error;
    if (auto error = CheckLayerOutput(report.driverName, outputPath))
        return error;

    // Images and HDF files listed beside the metadata are read no further than their heads.
    SceneFootprintReader reader;
    PreparedScenes<PreparedFootprint> scenes(
        options.readAhead,
        [&reader](const ListedScene& scene) { return PrepareFootprint(reader, scene); },
        reader.headFirst());
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
    if (!options.overwrite) {
        for (const Companion& file : SideFiles(report.driverName, true)) {
            const std::string path = SideFilePath(outputPath, file);
            if (::lstat(path.c_str(), &info) == 0)
                return ExistsError(path);
        }
    }

    // A run that was killed left its scratch folder here.
    RemoveStaleScratch(outputFolder);
    if (auto error = scratch.create(outputFolder, outputPath))
        return error;
    // FlatGeobuf writes one file only under a name ending in .fgb, so it is written under
    // one and then given the name asked for.
    const bool renamed = report.driverName == "FlatGeobuf" && !ExtensionIs(outputName, ".fgb");
    const std::string gdalName = renamed ? outputName + ".fgb" : outputName;
    const std::string layerPath = scratch.path() + "/" + outputName;
    const std::string gdalPath = scratch.path() + "/" + gdalName;
    messages.showPathAs(gdalPath, outputPath);
    messages.showPathAs(scratch.path() + "/", slash == std::string::npos ? "" : outputFolder + "/");
    messages.showPathAs(scratch.path(), outputFolder);

    const std::string layerName = Utf8FromBytes(StemOf(outputName));
    LayerSettings settings;
    settings.spatialIndex = options.spatialIndex;
    settings.datesAsText =
        report.driverName == "KML" || report.driverName == "LIBKML" || report.driverName == "CSV";
    settings.description = "Footprints of the ASTER scenes listed in " +
                           Utf8FromBytes(folderPrefix) + "filelist.txt, written by aster " +
                           ASTER_VERSION;
    LayerWriter writer(driver, outputPath, messages);
    if (auto error = writer.create(gdalPath, layerName, settings))
        return error;

    std::vector<WrittenFeature> written; // to be found again when the layer is read back
    ListedScene scene;
    PreparedFootprint prepared;
    while (scenes.next(scene, prepared)) {
        if (!prepared.footprint) {
            report.skipped.push_back(
                SkippedScene{std::string(scene.fullPath), std::move(prepared.reason)});
        } else {
            const WrittenFeature values = prepared.values;
            if (auto error = writer.write(prepared))
                return error;
            ++report.written;
            written.push_back(values);
        }
        progress.progress(scene.number, scenes.total());
        if (progress.cancelRequested())
            return StoppedAfter(scene.number, scenes.total());
    }
    if (scenes.error())
        return scenes.error();

    if (auto error = writer.close(messages))
        return error;
    if (auto error = SettleLayerFile(report.driverName, gdalPath, outputPath))
        return error;
    if (renamed && ::rename(gdalPath.c_str(), layerPath.c_str()) != 0)
        return SystemError(errno, outputPath);
    if (::lstat(layerPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return Error{
            EINVAL, "GDAL's driver \"" + report.driverName + "\" wrote no file named " + outputPath,
            "Give the output the extension of the format, or choose another one."};
    if (report.driverName == "CSV") {
        if (auto error = WriteSideFile(SideFilePath(layerPath, {".csvt", true}), CsvTypes(),
                                       SideFilePath(outputPath, {".csvt", true})))
            return error;
    }
    if (report.driverName == kShapefileDriver || report.driverName == "FlatGeobuf") {
        if (auto error =
                WriteSideFile(SideFilePath(layerPath, kStyleCompanion[0]), FootprintStyleQml(),
                              SideFilePath(outputPath, kStyleCompanion[0])))
            return error;
    }
    const WrittenLayer layer{scratch.path(), layerPath,          report.driverName,
                             outputPath,     std::move(written), writer.keepsValues()};
    if (auto error = CheckWrittenLayer(layer, messages))
        return error;
    if (auto error = CheckLayerBeforeMove(report.driverName, layerPath, outputPath))
        return error;
    std::vector<ScratchMove> moves;
    if (auto error = PlanMoves(scratch.path(), outputFolder, options.overwrite, moves))
        return error;
    if (progress.cancelRequested())
        return StoppedAfter(scenes.total(), scenes.total());
    if (auto error = MoveIntoPlace(moves, outputPath))
        return error;
    if (options.overwrite)
        return RemoveStaleCompanions(outputPath, report.driverName, moves);
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
    // A message names the output asked for, never the hidden folder it was written in.
    if (error && !scratch.path().empty()) {
        const std::string hidden = scratch.path() + "/";
        const std::string shown = outputFolder + "/";
        std::string& text = error->description;
        for (std::size_t at = text.find(hidden); at != std::string::npos;
             at = text.find(hidden, at + shown.size()))
            text.replace(at, hidden.size(), shown);
    }
    if (!error || IsCancellation(*error) || error->code == EEXIST || error->code == EINVAL ||
        outputFolder.empty())
        return error;
    // GDAL words a full disk in many ways, some of them misleading ("file is corrupt").
    if (DiskIsFull(outputFolder)) {
        error = SystemError(ENOSPC, options.outputPath);
        error->hint = "The disk is full: make room on it and try again. Nothing was changed.";
    } else if (const auto limit = FileSizeLimit();
               limit && SizeLimitMayBeTheCause(*error, scratch.path(), *limit)) {
        error->hint = "Nothing was changed. Files may not grow beyond " + std::to_string(*limit) +
                      " bytes here (ulimit -f): raise that limit, or check that the disk has "
                      "room, then try again.";
    }
    return error;
}

} // namespace aster
