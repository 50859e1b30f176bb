#pragma once

#include "fileio/error.h"

#include <optional>
#include <string>
#include <vector>

namespace aster {

// What an earlier GeoPackage holds that a footprint layer written in its place would not:
// everything but one feature table (the layer) and what goes with it, which is the
// gpkg_* system tables, the rtree_* index tables, sqlite_sequence and other sqlite_*
// tables, and layer_styles holding one style, of that layer (as earlier versions wrote
// it; the style is now a .qml beside the package). Each is named as a reader
// would know it: "the layer roads", "the table notes", "the view v", "the style "mine" of
// roads in layer_styles". Empty for a package that aster could have written, an empty
// database and a file that is no SQLite database (which is no package to lose).
struct GeoPackageContents {
    std::vector<std::string> foreign;
};

// Reads what the GeoPackage at `path` holds, without locking or writing it (its journals
// must have been checked first: none may stand beside it). The error names `path` when it
// cannot be read.
std::optional<Error> ReadForeignContents(const std::string& path, GeoPackageContents& contents);

// Nothing when no earlier regular file stands at `path`, or one whose contents a layer may
// replace; otherwise the refusal (ENOTEMPTY) naming what it holds. The file is left as it
// was.
std::optional<Error> CheckEarlierGeoPackage(const std::string& path);

} // namespace aster
