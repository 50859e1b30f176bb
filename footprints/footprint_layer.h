#pragma once

#include "metadata/scene_run.h"
#include "readahead/listed_scenes.h"
#include "fileio/error.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace aster {

// The footprint layer: one multipolygon feature per listed file whose scene metadata
// gives a footprint, written with GDAL in WGS 84 (EPSG:4326, longitude first). Files are
// read by the shared step of metadata/scene_footprint.h, head first, exactly as the STAC
// catalogue reads them: ODL in any case or ECS granule XML; images and HDF files listed
// beside them are read no further than their heads. The polygon is the footprint shape:
// every corner, counter-clockwise, cut at the antimeridian (a shapefile's writer turns
// outer rings clockwise, as that format defines them).
//
// Fields: scene (integer: the sequence number), path and name (the full path and the
// name after its last '/'), acq_date (date), acq_time (the time text as written),
// acquired (date and time in UTC to the millisecond, never second 60), lat1..lat4 and
// lon1..lon4 (reals: the first four corners), granule, product, version, day_night
// (texts), cloud, sun_azim, sun_elev (reals), platform and instrument (texts; several
// instruments joined by ", "), acquired_end (the end of a time range, like `acquired`).
// Values are those CleanSceneValues gives every output. Texts are UTF-8 by the rule of
// fileio/utf8.h; an item the metadata does not give is null. Drivers store what their
// format can: a shapefile keeps only the date of `acquired`; FlatGeobuf, which has no
// date type, stores acq_date as ISO 8601 text ("2003-04-12"); KML and CSV get both dates
// as ISO 8601 text ("2003-04-12", "2003-04-12T18:32:07.414Z"), which a CSV file's .csvt
// declares Date and DateTime. Every feature is a multipolygon; GeoJSON is written as
// RFC 7946 (no "crs", 7 decimals) with the other numbers to 15 significant digits. A
// GeoPackage describes the layer in gpkg_contents (program, version, and the list read,
// or the tree and patterns a list in memory was made from) and holds that one table; the
// default style (layer_style.h) is a .qml beside every layer but KML.

struct FootprintOptions {
    // The layer's file. Its folder must exist; its last name gives the layer's name
    // (without the extension) and, unless `driverName` is set, its format (see
    // DriverForPath in output_formats.h).
    std::string outputPath;
    // A GDAL vector driver that can create files ("GPKG", "ESRI Shapefile", ...), or
    // empty to choose by the extension.
    std::string driverName;
    // Replace an existing layer. Without it an existing output is an error (EEXIST) and
    // nothing is written.
    bool overwrite = false;
    // Give the layer the spatial index its format has, as ogr2ogr does: a GeoPackage's
    // R-tree, a FlatGeobuf's packed index, a shapefile's .qix. A GIS then draws part of a
    // large layer without reading all of it.
    bool spatialIndex = true;
    // The table a database output is written into (see database_layer.h), optionally
    // "schema.table"; empty for aster_footprints. A file's layer is named after the file.
    std::string layerName;
    // The list of the files to read, each line a path from the scene folder; empty for the
    // folder's filelist.txt.
    std::string listPath;
    // How a list made in memory chose its files, when `listPath` names one: the folder's
    // whole tree, only names that match these shell patterns, or both. A GeoPackage's
    // description then says so instead of naming a list file.
    bool listedTree = false;
    std::vector<std::string> listedPatterns;
    ReadAheadSettings readAhead;

    // The list is what a search of the folder found, not a list file.
    bool listSearched() const { return listedTree || !listedPatterns.empty(); }
};

// A shapefile's text fields hold this many bytes at most.
inline constexpr std::size_t kShapefileTextBytes = 254;

// Texts of one field that the format could not hold whole.
struct CutTexts {
    std::string field;
    std::int64_t count = 0;
    std::size_t bytes = 0; // what the field holds
};

// What a run did. On an error (cancellation included) the counts say how far it came,
// but no output was changed. Skipped files are named to the host as they are found.
struct FootprintReport : SceneRunReport {
    std::string driverName; // the driver used
    // Texts the format could not hold whole (a shapefile's fields hold 254 bytes), by field.
    std::vector<CutTexts> cutTexts;
};

// Reads folderPrefix + "filelist.txt" (the folder's FolderPrefix) and writes the layer to
// options.outputPath. A driver or name that cannot give one file GDAL reads back is
// refused before anything is written (EINVAL). The layer is written into a hidden
// scratch folder beside the output (".aster-XXXXXX"), read back whole (see
// CheckWrittenLayer) and moved into place, all its files together, only once complete:
// on any error, or when cancelled, an earlier layer stays exactly as it was. Files that
// describe one layer (a shapefile's .qix, .sbn, .sbx, .shp.xml; the .qml beside the
// layer) belong to the output: without `overwrite` one that
// exists is refused like the layer; with it, one the new layer lacks is removed after
// the move. A missing filelist.txt gives the same error as MakeTextFiles. GDAL's
// messages are never printed; a GDAL failure becomes the Error, naming the output.
std::optional<Error> WriteFootprints(const std::string& folderPrefix,
                                     const FootprintOptions& options, FootprintReport& report,
                                     SceneRunHost& host);

} // namespace aster
