#pragma once

#include "fileio/error.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace aster {

// What the footprint layer's formats are called, told without GDAL.

// A file name extension (without the dot, lower case) and the GDAL vector driver that
// writes it.
struct OutputFormat {
    std::string_view extension;
    std::string_view driver;
};

// The extensions the footprint layer recognises, in the order a usage message lists them.
std::span<const OutputFormat> OutputFormats();

// The driver for the extension of the last name in `path`, compared without regard to
// case; nothing for an unknown extension or a name without one.
std::optional<std::string> DriverForPath(std::string_view path);

// `path` without the last extension of its last name ("a/fp.shp" gives "a/fp"; a name
// that starts with its only dot keeps it): the layer's name, and the stem of the files
// beside it.
std::string WithoutExtension(std::string_view path);

// The extension choices for a usage message: ".gpkg (GPKG), .shp (ESRI Shapefile), ...".
std::string OutputFormatChoices();

// Nothing when `driverName` writes `outputPath` as one file; the error (EINVAL) when the
// driver writes a folder, or nothing, for a name without its extension (a shapefile not
// ending in .shp, a CSV file not ending in .csv, ...), for a shapefile whose extension is
// in mixed case (GDAL opens NAME.shp or NAME.SHP only, whatever it is given), and when the layer
// would take a name that the database keeps for its own tables (a GeoPackage's layer_styles,
// gpkg_*, rtree_*, sqlite_*; GDAL's SQLite format's sqlite_*, geometry_columns, spatial_ref_sys).
std::optional<Error> CheckOutputName(const std::string& driverName, std::string_view outputPath);

} // namespace aster
