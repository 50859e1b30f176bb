// Told without GDAL, so that the command line can tell it before it loads the layers.
#include "footprints/database_layer.h"

#include "fileio/ascii.h"

namespace aster {

bool IsDatabaseOutput(const FootprintOptions& options) {
    return StartsWithNoCase(options.outputPath, kDatabasePrefix) ||
           EqualsNoCase(options.driverName, kDatabaseDriver);
}

} // namespace aster
