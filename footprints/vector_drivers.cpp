#include "footprints/vector_drivers.h"

#include "fileio/ascii.h"
#include "fileio/near_names.h"
#include "footprints/gdal_messages.h"
#include "footprints/layer_writer.h"
#include "footprints/output_formats.h"

#include <gdal_priv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <mutex>
#include <vector>

namespace aster {

namespace {

// Drivers that write a folder whatever the output is called.
struct FolderWriter {
    std::string_view driver;
    std::string_view what;
};
constexpr std::array<FolderWriter, 2> kFolderWriters{{
    {"OpenFileGDB", "a .gdb folder"},
    {"MVT", "a folder of tiles"},
}};

Error Refused(const std::string& driverName, const std::string& why, std::string_view hint) {
    return Error{EINVAL, "GDAL's driver \"" + driverName + "\" " + why, std::string(hint)};
}

// Letters and digits alone, in lower case: "ESRI Shapefile", "esri-shapefile" and
// "ESRIShapefile" fold alike.
std::string Folded(std::string_view name) {
    std::string folded;
    for (const char c : name) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            folded += AsciiLower(c);
    }
    return folded;
}

// How well a writable vector driver's short or long name matches a name GDAL does not
// know, loosely: 0 for the same letters and digits ("GeoPackage", GPKG's long name), 1
// for a part of one ("Shapefile"), 2 for a short name mistyped; nothing when none holds.
std::optional<int> Likeness(const std::string& folded, GDALDriver& driver) {
    if (driver.GetMetadataItem(GDAL_DCAP_VECTOR) == nullptr ||
        driver.GetMetadataItem(GDAL_DCAP_CREATE) == nullptr)
        return std::nullopt;
    const std::string shortName = Folded(driver.GetDescription());
    const char* longText = driver.GetMetadataItem(GDAL_DMD_LONGNAME);
    const std::string longName = Folded(longText != nullptr ? longText : "");
    if (folded == shortName || folded == longName)
        return 0;
    if (folded.size() >= 4 &&
        (shortName.find(folded) != std::string::npos || longName.find(folded) != std::string::npos))
        return 1;
    if (folded.size() >= 3 && EditDistance(folded, shortName) <= 2)
        return 2;
    return std::nullopt;
}

// ": did you mean "GPKG"?" for the best few drivers whose names `driverName` is like,
// or nothing.
std::string DriverSuggestion(const std::string& driverName) {
    const std::string folded = Folded(driverName);
    std::vector<std::string> best;
    int bestLikeness = 3;
    GDALDriverManager* manager = GetGDALDriverManager();
    for (int i = 0; i < manager->GetDriverCount(); ++i) {
        GDALDriver* driver = manager->GetDriver(i);
        const std::optional<int> likeness = Likeness(folded, *driver);
        if (!likeness || *likeness > bestLikeness)
            continue;
        if (*likeness < bestLikeness)
            best.clear();
        bestLikeness = *likeness;
        best.emplace_back(driver->GetDescription());
    }
    if (best.empty() || best.size() > 3)
        return {};
    std::ranges::sort(best);
    std::string text = ": did you mean ";
    for (std::size_t i = 0; i < best.size(); ++i) {
        text += i == 0 ? "" : i + 1 == best.size() ? " or " : ", ";
        text += "\"" + best[i] + "\"";
    }
    return text + "?";
}

constexpr std::string_view kChooseAnother =
    "Choose a format that writes one file GDAL can read, such as GPKG.";

// What GDAL says when asked for the footprints' layer in a file of this driver kept in
// memory; nothing where it takes the layer, or fails for any other reason (a driver that
// writes only to disk), which tells nothing. Some writable formats hold no polygons (GPX,
// Selafin), no fields of their own (DXF) or no new layers (S57), and GDAL says so only
// when asked: asked here, before a run reads a single scene.
std::optional<std::string> LayerFailure(GDALDriver& driver) {
    GdalMessages messages;
    const char* const listed = driver.GetMetadataItem(GDAL_DMD_EXTENSIONS);
    const std::string extensions = listed != nullptr ? listed : "";
    const std::string extension = extensions.substr(0, extensions.find(' '));
    // Named by this call's place on its thread's stack, unique while it runs; whatever
    // an earlier call left there is removed first.
    const std::string folder =
        "/vsimem/aster-layer-check-" + std::to_string(reinterpret_cast<std::uintptr_t>(&messages));
    const std::string path = folder + "/layer" + (extension.empty() ? "" : "." + extension);
    messages.showPathAs(path, "a trial layer");
    VSIRmdirRecursive(folder.c_str());
    VSIMkdir(folder.c_str(), 0700);
    std::optional<std::string> failure;
    {
        LayerSettings settings = LayerSettingsFor(driver.GetDescription());
        settings.spatialIndex = false;
        LayerWriter writer(driver, path, messages);
        if (writer.create(path, "layer", settings) && writer.refusedLayer())
            failure = messages.failure();
    }
    VSIRmdirRecursive(folder.c_str());
    return failure;
}

} // namespace

void RegisterGdalDrivers() {
    // GDAL's driver registry belongs to the process, and its first filling is not safe on
    // two threads at once: two runs in one process would free the same driver twice.
    static std::once_flag registered;
    std::call_once(registered, [] { GDALAllRegister(); });
}

std::optional<Error> CheckVectorDriver(const std::string& driverName) {
    const GdalMessages messages;
    RegisterGdalDrivers();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName(driverName.c_str());
    if (driver == nullptr)
        return Error{EINVAL,
                     "GDAL has no driver named \"" + driverName + "\"" +
                         DriverSuggestion(driverName),
                     "Name a vector format from \"ogrinfo --formats\", or leave the format out "
                     "to choose it by the output's extension: " +
                         OutputFormatChoices() + "."};
    if (driver->GetMetadataItem(GDAL_DCAP_VECTOR) == nullptr ||
        driver->GetMetadataItem(GDAL_DCAP_CREATE) == nullptr)
        return Error{EINVAL, "GDAL's driver \"" + driverName + "\" cannot create vector files",
                     "Choose a format that ogrinfo --formats lists as vector and writable "
                     "(\"rw\")."};
    // Every layer is read back before it replaces anything, and moved into place as files:
    // a driver whose output cannot be read back, or is no file, could only fail after
    // all the work, so it is refused now.
    const std::string name = driver->GetDescription();
    if (driver->GetMetadataItem(GDAL_DCAP_OPEN) == nullptr)
        return Refused(name,
                       "writes files that GDAL cannot read back, and a layer is read back "
                       "before it replaces anything",
                       kChooseAnother);
    if (EqualsNoCase(name, "Memory") || EqualsNoCase(name, "MEM"))
        return Refused(name, "keeps the layer in memory and writes no file", kChooseAnother);
    // Spreadsheets keep the fields but no geometry, so no footprint would read back.
    if (EqualsNoCase(name, "XLSX") || EqualsNoCase(name, "ODS"))
        return Refused(name, "keeps no geometry, so it can hold no footprint",
                       "Choose a format that keeps geometries, such as GPKG, or CSV for a "
                       "table with the footprints as text.");
    if (driver->GetMetadataItem(GDAL_DMD_CONNECTION_PREFIX) != nullptr)
        return Refused(name, "writes to a database or a web service, not to a file",
                       "Write a file, such as a GeoPackage, and load it from there.");
    for (const FolderWriter& writer : kFolderWriters)
        if (EqualsNoCase(name, writer.driver))
            return Refused(name, "writes " + std::string(writer.what) + ", not one file",
                           kChooseAnother);
    if (const std::optional<std::string> failure = LayerFailure(*driver))
        return Refused(name, "cannot hold the footprints' layer: " + *failure, kChooseAnother);
    return std::nullopt;
}

} // namespace aster
