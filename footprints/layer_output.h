#pragma once

#include "fileio/error.h"

#include <optional>
#include <string>

namespace aster {

// The checks of a footprint layer's output that WriteFootprints makes around writing it.

// Before any listed file is read: whether the layer may take the place of what stands at
// `outputPath`, whatever `overwrite` says. Refused are a device, FIFO or socket and a mount
// point (CheckOutputPlace); for an SQLite database, a journal beside the name
// (CheckEarlierJournals); and an earlier GeoPackage that holds more than a layer of aster's
// (CheckEarlierGeoPackage). Nothing is written, and the earlier file is never locked.
std::optional<Error> CheckLayerOutput(const std::string& driverName,
                                      const std::string& outputPath);

// Once GDAL has closed the new layer at `layerPath` (in the scratch folder), before it is
// read back: an SQLite database is made to stand on its own (SettleSqliteFile). Errors
// name `outputPath`.
std::optional<Error> SettleLayerFile(const std::string& driverName, const std::string& layerPath,
                                     const std::string& outputPath);

// Right before the layer at `layerPath` is moved into place: no journal beside the new
// database, and CheckLayerOutput again, since another program may have opened the earlier
// file, or added a layer to it, while the run worked.
std::optional<Error> CheckLayerBeforeMove(const std::string& driverName,
                                          const std::string& layerPath,
                                          const std::string& outputPath);

} // namespace aster
