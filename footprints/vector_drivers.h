#pragma once

#include "fileio/error.h"

#include <optional>
#include <string>

namespace aster {

// Registers GDAL's drivers once for the process, whichever thread asks first.
void RegisterGdalDrivers();

// Nothing when GDAL has a driver of this name that can create vector datasets as files
// that it can read back; otherwise the error to report (EINVAL), naming the driver and
// saying why: no such driver, no vector writer, output that GDAL cannot read (PGDUMP),
// no file at all (Memory, database drivers) or a folder whatever the name (OpenFileGDB,
// MVT).
std::optional<Error> CheckVectorDriver(const std::string& driverName);

} // namespace aster
