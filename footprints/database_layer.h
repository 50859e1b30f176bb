#pragma once

#include "fileio/error.h"
#include "footprints/footprint_layer.h"

#include <optional>
#include <string>
#include <string_view>

namespace aster {

// The footprint layer as a table of a PostgreSQL database with PostGIS, written through
// GDAL's PostgreSQL driver: a catalogue that several folders share.
//
// The table (FootprintOptions::layerName, by default aster_footprints) is created on first
// use, marked as this program's by its comment ("aster footprints"), with the layer's
// fields, `folder` (the scene folder as the run names it, UTF-8), `geom`
// (geometry(MultiPolygon, 4326)) with a GiST index, a unique index on `granule` and an
// index on `acquired`. A table of that name without the mark is refused and left as it
// was; one made by an earlier version gets the columns it lacks, and keeps every other.
//
// A run replaces, in one transaction, every row of its folder and every row of a granule
// it read with what it read; rows of other folders stay. Two listed files of one granule
// give one row, the first in list order's; the other is skipped as "same granule as
// FILE". Nothing is committed before the run publishes, so a run that fails, is stopped
// or is killed changes nothing; two runs into one table take turns (a transaction-level
// advisory lock named for the table). QGIS's `public.layer_styles` table, created if
// missing, gets the default style for the table unless it holds a style for it already.
//
// The connection string is libpq's, after "PG:"; passwords come the ways libpq takes
// them. No message shows a password the string holds.

inline constexpr std::string_view kDatabasePrefix = "PG:";
inline constexpr std::string_view kDatabaseDriver = "PostgreSQL";
inline constexpr std::string_view kDefaultTable = "aster_footprints";

// Whether the options name a database: an output that starts with "PG:", or the
// PostgreSQL driver.
bool IsDatabaseOutput(const FootprintOptions& options);

// `text` with every password written as libpq takes one ("password=VALUE", quoted or
// not, and a URI's "user:VALUE@") shown as "***".
std::string WithoutPasswords(std::string_view text);

// Writes the footprints of the files folderPrefix + "filelist.txt" lists into the table,
// as described above; options.outputPath is the connection string.
std::optional<Error> WriteDatabaseFootprints(const std::string& folderPrefix,
                                             const FootprintOptions& options,
                                             FootprintReport& report, SceneRunHost& host);

} // namespace aster
