#pragma once

#include "fileio/error.h"

#include <optional>
#include <string>

namespace aster {

// The checks of a footprint layer's output that WriteFootprints makes around writing it.

// Before any listed file is read: whether the layer may take the place of what stands at
// `outputPath`, whatever `overwrite` says. Refused are a device, FIFO or socket and a mount
// point (CheckOutputPlace); for an SQLite database, a journal beside the name
// (CheckEarlierJournals); an earlier GeoPackage that holds more than a layer of aster's
// (CheckEarlierGeoPackage); and a .prj that a shapefile and a CSV file of the name would
// share in anything but WGS 84 (see ShapefileBeside). Nothing is written, and the earlier
// file is never locked.
std::optional<Error> CheckLayerOutput(const std::string& driverName, const std::string& outputPath);

// GDAL reads NAME.prj as the projection of the shapefile NAME.shp and of the CSV file
// NAME.csv alike. It is the shapefile's: every reader of a shapefile needs it, and few of
// a CSV file look for it. So a CSV layer beside a shapefile of its name writes no .prj
// and is read through the shapefile's, which must give WGS 84; and a shapefile beside a
// CSV file of its name may replace that file's .prj only where it gives WGS 84 too.
// Whether a shapefile of the name of the CSV output `outputPath` stands beside it.
bool ShapefileBeside(const std::string& outputPath);
// Whether the .prj of the name of the shapefile output `outputPath` is a CSV file's beside
// it that gives WGS 84: the shapefile's own, WGS 84 too, takes its place without
// --overwrite, as a CSV file written second reads the shapefile's.
bool CsvProjectionBeside(const std::string& outputPath);

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

// Whether a file size limit of `limit` bytes (ulimit -f) plausibly made the run fail, so
// that the advice may name it: a file of the layer in `scratchFolder` reached the limit, or
// the failure is worded as a write that found no room or a file too large
// (SaysWriteFailed). A driver that refuses what it is asked to write is not blamed on the
// limit.
bool SizeLimitMayBeTheCause(const Error& error, const std::string& scratchFolder,
                            unsigned long long limit);

// The advice under a layer that does not read back as it was written. The formats of the
// known extensions read back what they write, so for them the disk is the likely cause;
// another driver may simply not read back its own output.
std::string ReadBackHint(const std::string& driverName);

} // namespace aster
