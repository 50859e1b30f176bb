#pragma once

#include "fileio/error.h"
#include "footprints/gdal_messages.h"
#include "footprints/written_features.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace aster {

// A finished layer in its scratch folder, not yet moved into place.
struct WrittenLayer {
    std::string folder;      // holds every file of the layer, and nothing else
    std::string datasetPath; // the file GDAL opens
    std::string driverName;
    std::string outputPath;               // what messages name
    WrittenFeatures& features; // in the order written
    // Whether the driver kept the fields `scene` and lat1..lon4, as every driver of a
    // known extension does; they must then read back.
    bool keepsValues = true;
};

// Proves a finished layer before it replaces anything, since drivers let failed writes
// pass (GeoJSON on a full disk leaves an empty file; FlatGeobuf under a file size limit
// keeps a header that promises features it does not hold). Every file must reach the
// disk, the layer must read back whole, and a count the format keeps in a header
// (FlatGeobuf, shapefile, GeoPackage's gpkg_ogr_contents) must agree:
// - in general every feature is read through GDAL, each with its geometry and with the
//   scene number and corners it was written with (a text file cut short in its last line
//   still reads), as many as were written, GDAL reporting no failure on the way; a CSV
//   file must also end its last line;
// - a GeoPackage, whose every write SQLite checks itself, must hold every page its header
//   counts, and its table a row with a geometry for every feature;
// - KML is streamed through an XML parser, which must find it well-formed with a
//   placemark holding a polygon for every feature, since GDAL's KML reader holds the
//   whole file in memory.
std::optional<Error> CheckWrittenLayer(const WrittenLayer& layer, GdalMessages& messages);

} // namespace aster
