#pragma once

#include "fileio/error.h"

#include <gdal_priv.h>

#include <optional>
#include <string>
#include <string_view>

namespace aster {

// The footprints' default look: outlines only, no fill, so that thousands of overlapping
// scenes leave the base map visible. QGIS reads it from a .qml file of the layer's name
// beside the layer, or from a GeoPackage's layer_styles table; KML carries a style of its
// own in every placemark.

// The style as a QGIS style file (.qml).
std::string_view FootprintStyleQml();

// The same look as an OGC Styled Layer Descriptor, which layer_styles also holds.
std::string_view FootprintStyleSld();

// Adds the style to a GeoPackage as QGIS saves one: a `layer_styles` table with QGIS's
// columns, created after the footprint layer so that the layer stays the package's first
// table, holding one row marked as the default style of `layer`. Returns false on a GDAL
// failure, which GDAL has reported.
bool AddGeoPackageStyle(GDALDataset& dataset, OGRLayer& layer);

} // namespace aster
