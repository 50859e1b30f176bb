#include "footprints/layer_output.h"

#include "fileio/output_place.h"
#include "footprints/earlier_geopackage.h"
#include "footprints/output_formats.h"
#include "footprints/sqlite_journals.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string_view>

namespace aster {

std::optional<Error> CheckLayerOutput(const std::string& driverName,
                                      const std::string& outputPath) {
    if (auto error = CheckOutputPlace(outputPath, outputPath))
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
    // SQLite words a write that failed as "database or disk is full" or "disk I/O error",
    // and rolls back what it wrote, so its file shows nothing.
    for (const std::string_view words :
         {std::string_view("disk is full"), std::string_view("disk I/O error"),
          std::string_view(std::strerror(EFBIG)), std::string_view(std::strerror(ENOSPC))})
        if (error.description.find(words) != std::string::npos)
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
