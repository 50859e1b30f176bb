#include "footprints/output_formats.h"

#include "fileio/ascii.h"
#include "fileio/folder.h"

#include <array>
#include <cerrno>

namespace aster {

namespace {

constexpr std::array<OutputFormat, 7> kFormats{{
    {"gpkg", "GPKG"},
    {"shp", "ESRI Shapefile"},
    {"geojson", "GeoJSON"},
    {"json", "GeoJSON"},
    {"fgb", "FlatGeobuf"},
    {"kml", "KML"},
    {"csv", "CSV"},
}};

// Drivers that write one file only when its name ends in one of their extensions, and a
// folder (or nothing) otherwise.
struct FileOrFolderWriter {
    std::string_view driver;
    std::array<std::string_view, 2> extensions; // lower case, with the dot; unused empty
};
constexpr std::array<FileOrFolderWriter, 3> kFileOrFolderWriters{{
    {"ESRI Shapefile", {".shp", ""}},
    {"MapInfo File", {".tab", ".mif"}},
    {"CSV", {".csv", ""}},
}};

// Whether an SQLite database written by the driver keeps `layer` for a table of its own:
// SQLite its sqlite_* tables, a GeoPackage its gpkg_* tables, the rtree_* tables of its
// indexes and the layer_styles in which QGIS keeps styles, GDAL's SQLite format its
// metadata tables.
bool IsReservedLayerName(const std::string& driverName, std::string_view layer) {
    if (EqualsNoCase(driverName, "GPKG"))
        return StartsWithNoCase(layer, "sqlite_") || StartsWithNoCase(layer, "gpkg_") ||
               StartsWithNoCase(layer, "rtree_") || EqualsNoCase(layer, "layer_styles");
    if (EqualsNoCase(driverName, "SQLite"))
        return StartsWithNoCase(layer, "sqlite_") || EqualsNoCase(layer, "geometry_columns") ||
               EqualsNoCase(layer, "spatial_ref_sys");
    return false;
}

// The layer takes the output's name without its last extension.
std::optional<Error> CheckLayerName(const std::string& driverName, std::string_view name) {
    const std::size_t dot = name.rfind('.');
    const std::string_view layer = dot == 0 || dot == name.npos ? name : name.substr(0, dot);
    if (!IsReservedLayerName(driverName, layer))
        return std::nullopt;
    const bool package = EqualsNoCase(driverName, "GPKG");
    return Error{EINVAL,
                 std::string(package ? "A GeoPackage" : "An SQLite database") + " keeps the name " +
                     std::string(layer) + " for a table of its own, so the layer of " +
                     std::string(name) + " cannot have it",
                 "Give the output another name: the layer takes it, without the extension."};
}

// shapelib opens a shapefile's files as NAME.shp or NAME.SHP, whatever name it is given,
// so a layer called fp.Shp would read back, and be read, from another file or none.
std::optional<Error> CheckShapefileCase(std::string_view outputPath) {
    const std::string_view extension = outputPath.substr(outputPath.size() - 4);
    if (extension == ".shp" || extension == ".SHP")
        return std::nullopt;
    return Error{EINVAL,
                 "GDAL reads a shapefile only under a name ending in .shp or .SHP, not " +
                     std::string(outputPath),
                 "End the output's name in .shp or .SHP."};
}

} // namespace

std::span<const OutputFormat> OutputFormats() {
    return kFormats;
}

std::optional<std::string> DriverForPath(std::string_view path) {
    const std::string_view name = FileNameOf(path);
    const std::size_t dot = name.rfind('.');
    if (dot == name.npos || dot == 0)
        return std::nullopt;
    const std::string_view extension = name.substr(dot + 1);
    for (const OutputFormat& format : kFormats)
        if (EqualsNoCase(extension, format.extension))
            return std::string(format.driver);
    return std::nullopt;
}

std::string WithoutExtension(std::string_view path) {
    const std::string_view name = FileNameOf(path);
    const std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == name.npos)
        return std::string(path);
    return std::string(path.substr(0, path.size() - name.size() + dot));
}

std::string OutputFormatChoices() {
    std::string text;
    for (std::size_t i = 0; i < kFormats.size(); ++i) {
        const bool sameDriverNext =
            i + 1 < kFormats.size() && kFormats[i + 1].driver == kFormats[i].driver;
        text += '.';
        text += kFormats[i].extension;
        if (sameDriverNext) {
            text += '/';
            continue;
        }
        text += " (";
        text += kFormats[i].driver;
        text += i + 1 < kFormats.size() ? "), " : ")";
    }
    return text;
}

std::optional<Error> CheckOutputName(const std::string& driverName, std::string_view outputPath) {
    const std::string_view name = FileNameOf(outputPath);
    if (auto error = CheckLayerName(driverName, name))
        return error;
    for (const FileOrFolderWriter& writer : kFileOrFolderWriters) {
        if (!EqualsNoCase(driverName, writer.driver))
            continue;
        std::string endings;
        for (const std::string_view extension : writer.extensions) {
            if (extension.empty())
                continue;
            if (name.size() > extension.size() &&
                EqualsNoCase(name.substr(name.size() - extension.size()), extension))
                return writer.driver == "ESRI Shapefile" ? CheckShapefileCase(outputPath)
                                                         : std::nullopt;
            endings += endings.empty() ? "" : " or ";
            endings += extension;
        }
        return Error{EINVAL,
                     "GDAL's driver \"" + driverName + "\" writes the file " +
                         std::string(outputPath) + " only if its name ends in " + endings,
                     "End the output's name in " + endings + "."};
    }
    return std::nullopt;
}

} // namespace aster
