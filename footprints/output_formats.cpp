#include "footprints/output_formats.h"

#include "footprints/gdal_messages.h"
#include "footprints/scene_values.h"

#include <gdal_priv.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace aster {

namespace {

constexpr std::array<OutputFormat, 6> kFormats{{
    {"gpkg", "GPKG"},
    {"shp", "ESRI Shapefile"},
    {"geojson", "GeoJSON"},
    {"json", "GeoJSON"},
    {"fgb", "FlatGeobuf"},
    {"kml", "KML"},
}};

bool SameIgnoringCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, {}, lower, lower);
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
        if (SameIgnoringCase(extension, format.extension))
            return std::string(format.driver);
    return std::nullopt;
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

std::optional<Error> CheckVectorDriver(const std::string& driverName) {
    const GdalMessages messages;
    GDALAllRegister();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(driverName.c_str());
    if (driver == nullptr)
        return Error{EINVAL, "GDAL has no driver named \"" + driverName + "\"",
                     "Name a vector format from \"ogrinfo --formats\", or leave the format out "
                     "to choose it by the output's extension: " +
                         OutputFormatChoices() + "."};
    if (driver->GetMetadataItem(GDAL_DCAP_VECTOR) == nullptr ||
        driver->GetMetadataItem(GDAL_DCAP_CREATE) == nullptr)
        return Error{EINVAL, "GDAL's driver \"" + driverName + "\" cannot create vector files",
                     "Choose a format that ogrinfo --formats lists as vector and writable "
                     "(\"rw\")."};
    return std::nullopt;
}

} // namespace aster
