#include "footprints/layer_check.h"

#include "fileio/unique_fd.h"
#include "footprints/layer_output.h"
#include "footprints/sql_quoting.h"

#include <expat.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace aster {

namespace {

Error Unreadable(const WrittenLayer& layer, const std::string& why) {
    return Error{EIO, "The layer written to " + layer.outputPath + " does not read back: " + why,
                 ReadBackHint(layer.driverName)};
}

Error Miscounted(const WrittenLayer& layer, std::int64_t found, const std::string& where) {
    return Error{EIO,
                 "The layer written to " + layer.outputPath + " reads back with " +
                     std::to_string(found) + " instead of " +
                     std::to_string(layer.features.size()) + " footprints" + where,
                 ReadBackHint(layer.driverName)};
}

// NaN stands for a null field: a corner the file did not give.
bool SameValue(double read, double written) {
    if (std::isnan(read) || std::isnan(written))
        return std::isnan(read) && std::isnan(written);
    return std::fabs(read - written) <= 1e-9;
}

// Asks the kernel to start writing every file to the disk, so that the writing goes on
// while the layer is read back; the final fsync then has less to wait for.
void StartWriteback(const WrittenLayer& layer) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(layer.folder, ec)) {
        const UniqueFd file(::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC));
        if (file)
            ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    }
}

std::optional<Error> SyncFiles(const WrittenLayer& layer) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(layer.folder, ec)) {
        const UniqueFd file(::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC));
        if (!file || (::fsync(file.get()) != 0 && errno != EINVAL))
            return SystemError(errno, layer.outputPath);
    }
    if (ec)
        return SystemError(ec.value(), layer.outputPath);
    return std::nullopt;
}

// Placemarks, and those that hold a polygon, as the parser meets them.
struct PlacemarkCount {
    std::int64_t placemarks = 0;
    std::int64_t withPolygon = 0;
    bool inPlacemark = false;
    bool sawPolygon = false;
};

std::string_view LocalName(const XML_Char* name) {
    const std::string_view full(name);
    const std::size_t colon = full.rfind(':');
    return colon == std::string_view::npos ? full : full.substr(colon + 1);
}

void XMLCALL StartElement(void* data, const XML_Char* name, const XML_Char** /*attributes*/) {
    auto& count = *static_cast<PlacemarkCount*>(data);
    const std::string_view local = LocalName(name);
    if (local == "Placemark") {
        ++count.placemarks;
        count.inPlacemark = true;
        count.sawPolygon = false;
    } else if (local == "Polygon" && count.inPlacemark && !count.sawPolygon) {
        count.sawPolygon = true;
        ++count.withPolygon;
    }
}

void XMLCALL EndElement(void* data, const XML_Char* name) {
    if (LocalName(name) == "Placemark")
        static_cast<PlacemarkCount*>(data)->inPlacemark = false;
}

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};

// Streams the file through expat, a chunk at a time, so memory stays the same whatever
// the layer's size.
std::optional<Error> CheckKml(const WrittenLayer& layer) {
    const UniqueFd file(::open(layer.datasetPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
        return SystemError(errno, layer.outputPath);
    const std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser)
        throw std::bad_alloc();
    PlacemarkCount count;
    XML_SetUserData(parser.get(), &count);
    XML_SetElementHandler(parser.get(), &StartElement, &EndElement);
    constexpr int kChunk = 1 << 16;
    while (true) {
        void* buffer = XML_GetBuffer(parser.get(), kChunk);
        if (buffer == nullptr)
            throw std::bad_alloc();
        const ssize_t got = ::read(file.get(), buffer, kChunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return SystemError(errno, layer.outputPath);
        }
        if (XML_ParseBuffer(parser.get(), static_cast<int>(got), got == 0) != XML_STATUS_OK)
            return Unreadable(layer, std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) +
                                         " at line " +
                                         std::to_string(XML_GetCurrentLineNumber(parser.get())));
        if (got == 0)
            break;
    }
    const auto features = static_cast<std::int64_t>(layer.features.size());
    if (count.placemarks != features || count.withPolygon != features)
        return Miscounted(layer, count.withPolygon, "");
    return std::nullopt;
}

// The first row of a query, each column as text; nothing when SQLite gave no row.
std::optional<std::vector<std::string>> FirstRow(GDALDataset& dataset, const std::string& sql) {
    OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
    if (result == nullptr)
        return std::nullopt;
    std::optional<std::vector<std::string>> row;
    if (const OGRFeatureUniquePtr feature{result->GetNextFeature()}) {
        row.emplace();
        for (int i = 0; i < feature->GetFieldCount(); ++i)
            row->emplace_back(feature->GetFieldAsString(i));
    }
    dataset.ReleaseResultSet(result);
    return row;
}

// A GeoPackage is SQLite's to judge, which checks every write itself and takes back a
// transaction that failed: the file must hold every page its header counts, and the
// table must hold a row with a geometry for every feature, counted in the table itself,
// not taken from gpkg_ogr_contents. Counting the geometries reads every row.
std::optional<Error> CheckGeoPackage(const WrittenLayer& layer, GDALDataset& dataset,
                                     OGRLayer& read) {
    const auto pages = FirstRow(dataset, "PRAGMA page_count");
    const auto pageSize = FirstRow(dataset, "PRAGMA page_size");
    struct stat info {};
    if (!pages || !pageSize || pages->size() != 1 || pageSize->size() != 1 ||
        ::stat(layer.datasetPath.c_str(), &info) != 0 ||
        std::stoll((*pages)[0]) * std::stoll((*pageSize)[0]) != info.st_size)
        return Unreadable(layer, "its size is not what SQLite wrote");
    const auto counts =
        FirstRow(dataset, "SELECT count(*), count(" + QuotedName(read.GetGeometryColumn()) +
                              ") FROM " + QuotedName(read.GetName()));
    const auto written = static_cast<std::int64_t>(layer.features.size());
    if (!counts || counts->size() != 2)
        return Unreadable(layer, "SQLite cannot count its rows");
    if (std::stoll((*counts)[0]) != written || std::stoll((*counts)[1]) != written)
        return Miscounted(layer, std::stoll((*counts)[1]), "");
    return std::nullopt;
}

// Every feature read through GDAL, matched with what was written.
std::optional<Error> CheckFeatures(const WrittenLayer& layer, OGRLayer& read,
                                   GdalMessages& messages) {
    // The fields that identify a feature, where the driver kept them.
    const OGRFeatureDefn& definition = *read.GetLayerDefn();
    const int sceneField = definition.GetFieldIndex("scene");
    std::array<int, 8> cornerFields{};
    for (std::size_t i = 0; i < cornerFields.size(); ++i)
        cornerFields[i] =
            definition.GetFieldIndex(((i < 4 ? "lat" : "lon") + std::to_string(i % 4 + 1)).c_str());

    // A part that could not be read may leave the layer without its fields (a
    // shapefile whose table is cut short opens without one). GeoJSON declares no fields
    // of its own: a layer without features reads back without any.
    const bool fieldsDeclared = layer.features.size() > 0 || layer.driverName != "GeoJSON";
    if (layer.keepsValues && fieldsDeclared &&
        (sceneField < 0 ||
         std::find(cornerFields.begin(), cornerFields.end(), -1) != cornerFields.end()))
        return Unreadable(layer, "its fields are missing");
    // Texts need not be turned into fields to be read: what would cut them short cuts the
    // features' values too, or fails the read.
    if (read.TestCapability(OLCIgnoreFields)) {
        std::vector<const char*> ignored;
        for (int i = 0; i < definition.GetFieldCount(); ++i)
            if (definition.GetFieldDefn(i)->GetType() == OFTString)
                ignored.push_back(definition.GetFieldDefn(i)->GetNameRef());
        ignored.push_back(nullptr);
        read.SetIgnoredFields(ignored.data());
    }
    if (auto error = layer.features.flush())
        return error;
    const std::int64_t written = layer.features.size();
    std::int64_t found = 0, withGeometry = 0;
    std::vector<bool> seen; // by place in the order written
    seen.resize(static_cast<std::size_t>(written));
    for (const auto& feature : read) {
        const OGRGeometry* geometry = feature->GetGeometryRef();
        if (geometry != nullptr && !geometry->IsEmpty())
            ++withGeometry;
        if (messages.hasFailure() || ++found > written)
            break;
        if (sceneField < 0)
            continue;
        // A driver may reorder features (FlatGeobuf sorts them for its index): they are
        // found again by scene number.
        const std::int32_t scene = feature->GetFieldAsInteger(sceneField);
        const std::optional<std::size_t> place = layer.features.placeOf(scene);
        const bool once = place && !seen[*place];
        if (once)
            seen[*place] = true;
        const std::optional<WrittenFeature> expected =
            once ? layer.features.at(*place) : std::nullopt;
        bool same = expected.has_value();
        for (std::size_t i = 0; same && i < cornerFields.size(); ++i) {
            const double value = cornerFields[i] >= 0 && feature->IsFieldSetAndNotNull(cornerFields[i])
                                     ? feature->GetFieldAsDouble(cornerFields[i])
                                     : std::nan("");
            same = cornerFields[i] < 0 || SameValue(value, expected->corners[i]);
        }
        if (!same)
            return Unreadable(layer, "the footprint of listed file " + std::to_string(scene) +
                                         " reads back with other values");
    }
    if (messages.hasFailure())
        return Unreadable(layer, messages.failure() + " after " + std::to_string(found) +
                                     " of " + std::to_string(written) + " footprints");
    if (found != written || withGeometry != written)
        return Miscounted(layer, withGeometry, "");
    return std::nullopt;
}

// GDAL's CSV writer ends every line with a line break. A file cut short within its last
// line, where only the separators of trailing null fields are lost, still reads the same
// values, so its end is looked at too; one cut at a line's end lacks a feature.
std::optional<Error> CheckCsvEnd(const WrittenLayer& layer) {
    const UniqueFd file(::open(layer.datasetPath.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (!file || ::fstat(file.get(), &info) != 0)
        return SystemError(errno, layer.outputPath);
    char last = '\n';
    if (info.st_size > 0 && ::pread(file.get(), &last, 1, info.st_size - 1) != 1)
        return SystemError(errno, layer.outputPath);
    if (last != '\n')
        return Unreadable(layer, "its last line is cut short");
    return std::nullopt;
}

std::optional<Error> CheckThroughGdal(const WrittenLayer& layer, GdalMessages& messages) {
    messages.clear();
    const GDALDatasetUniquePtr dataset(
        GDALDataset::Open(layer.datasetPath.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY));
    OGRLayer* read = dataset && dataset->GetLayerCount() > 0 ? dataset->GetLayer(0) : nullptr;
    if (read == nullptr)
        return Unreadable(layer, messages.hasFailure() ? messages.failure()
                                                       : std::string("GDAL finds no layer in it"));
    if (auto error = layer.driverName == "GPKG" ? CheckGeoPackage(layer, *dataset, *read)
                                                : CheckFeatures(layer, *read, messages))
        return error;
    // What a format keeps in a header is what other readers trust.
    if (read->TestCapability(OLCFastFeatureCount)) {
        const GIntBig header = read->GetFeatureCount(TRUE);
        if (header != static_cast<GIntBig>(layer.features.size()))
            return Miscounted(layer, header, " by the count in its header");
    }
    if (messages.hasFailure())
        return Unreadable(layer, messages.failure());
    return std::nullopt;
}

} // namespace

std::optional<Error> CheckWrittenLayer(const WrittenLayer& layer, GdalMessages& messages) {
    StartWriteback(layer);
    const bool kml = layer.driverName == "KML" ||
                     (layer.driverName == "LIBKML" && layer.datasetPath.ends_with(".kml"));
    if (auto error = kml ? CheckKml(layer) : CheckThroughGdal(layer, messages))
        return error;
    if (layer.driverName == "CSV") {
        if (auto error = CheckCsvEnd(layer))
            return error;
    }
    return SyncFiles(layer);
}

} // namespace aster
