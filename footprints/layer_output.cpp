#include "footprints/layer_output.h"

#include "fileio/output_place.h"
#include "fileio/whole_file.h"
#include "footprints/earlier_geopackage.h"
#include "footprints/gdal_messages.h"
#include "footprints/output_formats.h"
#include "footprints/sqlite_journals.h"

#include <ogr_spatialref.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>

namespace aster {

namespace {

bool AnyExists(const std::string& stem, std::initializer_list<std::string_view> suffixes) {
    struct stat info {};
    return std::ranges::any_of(suffixes, [&](std::string_view suffix) {
        return ::lstat((stem + std::string(suffix)).c_str(), &info) == 0;
    });
}

// Whether the .prj at `path` gives WGS 84 in longitude and latitude, as every layer here
// is written; a missing or unreadable one does not.
bool GivesWgs84(const std::string& path) {
    std::string text;
    if (ReadWholeFileAt(AT_FDCWD, path, 1 << 16, text) != 0)
        return false;
    const GdalMessages quiet;
    OGRSpatialReference given;
    OGRSpatialReference wgs84;
    const char* const sameOptions[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
    return given.importFromWkt(text.c_str()) == OGRERR_NONE &&
           wgs84.importFromEPSG(4326) == OGRERR_NONE && given.IsSame(&wgs84, sameOptions);
}

// A .prj that both a shapefile and a CSV file of the output's name read must stay WGS 84,
// so that neither layer is read in another's projection.
std::optional<Error> CheckSharedProjection(const std::string& driverName,
                                           const std::string& outputPath) {
    const std::string projection = WithoutExtension(outputPath) + ".prj";
    std::string why;
    if (driverName == "CSV" && ShapefileBeside(outputPath)) {
        if (!AnyExists(WithoutExtension(outputPath), {".prj"}))
            why = "The shapefile beside " + outputPath +
                  " has no .prj, and it would take the CSV file's for its own";
        else if (!GivesWgs84(projection))
            why = projection + ", the shapefile's projection, is not WGS 84, and GDAL would read " +
                  outputPath + " through it too";
    } else if (driverName == "ESRI Shapefile" &&
               AnyExists(WithoutExtension(outputPath), {".csv", ".CSV"}) &&
               AnyExists(WithoutExtension(outputPath), {".prj"}) && !GivesWgs84(projection)) {
        why = projection + " gives the CSV file beside " + outputPath +
              " a projection other than WGS 84, which the shapefile's own would replace";
    }
    if (why.empty())
        return std::nullopt;
    return Error{EEXIST, why, "Give the output another name, so that it has a .prj of its own."};
}

} // namespace

bool ShapefileBeside(const std::string& outputPath) {
    return AnyExists(WithoutExtension(outputPath), {".shp", ".SHP"});
}

bool CsvProjectionBeside(const std::string& outputPath) {
    const std::string stem = WithoutExtension(outputPath);
    return AnyExists(stem, {".csv", ".CSV"}) && GivesWgs84(stem + ".prj");
}

std::optional<Error> CheckLayerOutput(const std::string& driverName,
                                      const std::string& outputPath) {
    if (auto error = CheckOutputPlace(outputPath, outputPath))
        return error;
    if (auto error = CheckSharedProjection(driverName, outputPath))
        return error;
    if (!WritesSqlite(driverName))
        return std::nullopt;
    // Journals first: the earlier file is read only when none could change what it holds.
    if (auto error = CheckEarlierJournals(outputPath))
        return error;
    return driverName == "GPKG" ? CheckEarlierGeoPackage(outputPath) : std::nullopt;
}

std::optional<Error> SettleLayerFile(const std::string& driverName, const std::string& layerPath,
                                     const std::string& outputPath) {
    return WritesSqlite(driverName) ? SettleSqliteFile(layerPath, outputPath) : std::nullopt;
}

std::optional<Error> CheckLayerBeforeMove(const std::string& driverName,
                                          const std::string& layerPath,
                                          const std::string& outputPath) {
    if (WritesSqlite(driverName))
        if (auto error = CheckNewJournals(layerPath, outputPath))
            return error;
    return CheckLayerOutput(driverName, outputPath);
}

bool SizeLimitMayBeTheCause(const Error& error, const std::string& scratchFolder,
                            unsigned long long limit) {
    // SQLite rolls back what it wrote, so its file shows nothing; GDAL's FlatGeobuf
    // writer keeps the features aside for its index in a file it removes as it closes.
    if (SaysWriteFailed(error.description))
        return true;
    if (scratchFolder.empty())
        return false;
    // A write that meets the limit is cut there: the file is left at the limit.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(scratchFolder, ec)) {
        const auto size = entry.is_regular_file(ec) ? entry.file_size(ec) : 0;
        if (!ec && size >= limit)
            return true;
    }
    return false;
}

std::string ReadBackHint(const std::string& driverName) {
    const auto formats = OutputFormats();
    if (std::ranges::any_of(formats, [&](const OutputFormat& f) { return f.driver == driverName; }))
        return "Nothing was changed. Check that the disk has room, then try again.";
    return "Nothing was changed. GDAL's driver \"" + driverName +
           "\" may not read back what it writes: choose another format, such as GPKG.";
}

} // namespace aster
