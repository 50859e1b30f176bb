#include "footprints/layer_output.h"

#include "fileio/output_place.h"
#include "footprints/earlier_geopackage.h"
#include "footprints/sqlite_journals.h"

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

} // namespace aster
