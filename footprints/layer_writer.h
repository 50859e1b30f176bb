#pragma once

#include "fileio/error.h"
#include "footprints/footprint_geometry.h"
#include "footprints/footprint_layer.h"
#include "footprints/gdal_messages.h"
#include "footprints/geopackage_index.h"
#include "footprints/layer_check.h"
#include "metadata/scene_run.h"

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace aster {

inline constexpr std::string_view kShapefileDriver = "ESRI Shapefile";

// The footprint layer's fields and the writing of its features through GDAL, for every
// output that holds the layer: a file, or a table in a database.

enum Field {
    kScene,
    kPath,
    kName,
    kAcqDate,
    kAcqTime,
    kAcquired,
    kLat1,
    kLon1 = kLat1 + 4,
    kGranule = kLon1 + 4,
    kProduct,
    kVersion,
    kDayNight,
    kCloud,
    kSunAzimuth,
    kSunElevation,
    kPlatform,
    kInstrument,
    kAcquiredEnd,
};

struct FieldKind {
    const char* name;
    OGRFieldType type;
};

// Names of at most ten characters, so that a shapefile keeps them as they are. The
// granule's own items come after the fields that layers had before them, so that a
// column keeps its place for those who read columns by number.
inline constexpr std::array<FieldKind, 24> kFields{{
    {"scene", OFTInteger},  {"path", OFTString},     {"name", OFTString},
    {"acq_date", OFTDate},  {"acq_time", OFTString}, {"acquired", OFTDateTime},
    {"lat1", OFTReal},      {"lat2", OFTReal},       {"lat3", OFTReal},
    {"lat4", OFTReal},      {"lon1", OFTReal},       {"lon2", OFTReal},
    {"lon3", OFTReal},      {"lon4", OFTReal},       {"granule", OFTString},
    {"product", OFTString}, {"version", OFTString},  {"day_night", OFTString},
    {"cloud", OFTReal},     {"sun_azim", OFTReal},   {"sun_elev", OFTReal},
    {"platform", OFTString}, {"instrument", OFTString}, {"acquired_end", OFTDateTime},
}};

// Whether the driver's layer creation options include `option`.
bool TakesLayerOption(GDALDriver& driver, std::string_view option);

// GDAL's failure to do `what` to the output `path`, in GDAL's words; where GDAL gave none,
// the system's for a write that failed (`err`, an errno value: a file too large, a full
// disk), as GDAL's CSV writer reports its failed writes by no more than a result.
Error GdalError(std::string_view what, const std::string& path, const GdalMessages& messages,
                int err = 0);

// The date as ISO 8601 text: "2003-04-12".
std::string DateText(const CalendarDate& date);

// What the layer takes from a scene beyond its metadata, made on the thread that read the
// file, so that only the writing itself is left for the run.
struct PreparedFootprint final : SceneWriter::Prepared {
    std::unique_ptr<OGRMultiPolygon> footprint;
    // The scene number and the first four corners (NaN where the file gives fewer), as
    // the layer is checked for them when read back.
    WrittenFeature values;
    std::string path, name; // UTF-8
};

std::unique_ptr<PreparedFootprint> PrepareFootprint(const Scene& scene, std::string& reason);

// Several names in one text field.
std::optional<std::string> Joined(const std::vector<std::string>& names);

// How the layer is laid out for its driver.
struct LayerSettings {
    bool spatialIndex = true;
    // Text formats whose drivers write dates in GDAL's own form ("2003/04/12 18:32:07+00"),
    // which a GIS compares as text: they get ISO 8601 text instead.
    bool datesAsText = false;
    // A format without a date type of its own (FlatGeobuf has date and time only): a
    // date is ISO 8601 text ("2003-04-12") rather than midnight of a time zone.
    bool calendarDatesAsText = false;
    std::string description; // a GeoPackage's description of the layer
    // The driver's own creation options, NAME=VALUE, after those chosen here.
    std::vector<std::string> layerOptions;
};

// The settings a layer of this driver is written with: the dates of formats that need
// them as text.
LayerSettings LayerSettingsFor(std::string_view driverName);

// One layer being written into the scratch folder.
class LayerWriter {
  public:
    LayerWriter(GDALDriver& driver, const std::string& outputPath, const GdalMessages& messages)
        : m_driver(driver), m_outputPath(outputPath), m_messages(messages) {}

    std::optional<Error> create(const std::string& scratchPath, const std::string& layerName,
                                const LayerSettings& settings);

    // One feature, its geometry taken from `prepared`.
    std::optional<Error> write(const Scene& scene, PreparedFootprint& prepared);

    // The dataset written, for an output that does more in it than write the layer.
    GDALDataset& dataset() { return *m_dataset; }
    // Whether create() failed because the driver refused the layer or one of its fields.
    bool refusedLayer() const { return m_refusedLayer; }

    // Whether the driver kept the scene number and every corner as fields.
    bool keepsValues() const;
    // The fields whose texts were longer than the format holds, and how many.
    std::vector<CutTexts> cutTexts() const;

    // Finishes the index, commits and closes the dataset; only then are its
    // files complete.
    std::optional<Error> close(GdalMessages& messages);

  private:
    static constexpr int kUtc = 100; // OGR's time zone flag for UTC

    // GDAL before 3.7 fills a GeoPackage's R-tree one feature at a time; it is packed
    // here instead (see GeoPackageIndex).
    bool PacksOwnIndex() const;

    void setInteger(std::size_t field, int value);
    // A value the file does not give is null: NaN is no value either.
    void setReal(std::size_t field, std::optional<double> value);
    void setText(std::size_t field, const std::string& value);
    void setText(std::size_t field, const std::optional<std::string>& value);

    void setDate(std::size_t field, const std::optional<CalendarDate>& date);
    void setInstant(std::size_t field, const std::optional<UtcMilliseconds>& instant);

    GDALDriver& m_driver;
    const std::string& m_outputPath;
    const GdalMessages& m_messages;
    GDALDatasetUniquePtr m_dataset;
    bool m_refusedLayer = false;
    OGRLayer* m_layer = nullptr; // owned by m_dataset
    OGRFeatureUniquePtr m_feature;
    std::array<int, kFields.size()> m_index{};
    std::unique_ptr<GeoPackageIndex> m_packedIndex;
    bool m_packsIndex = false;
    bool m_datesAsText = false;
    bool m_calendarDatesAsText = false;
    bool m_inTransaction = false;
    std::size_t m_textLimit = 0; // bytes a text field holds; 0 for no limit
    std::array<std::int64_t, kFields.size()> m_cutTexts{};
};

// The .csvt that declares each column's type to a reader, in place of GDAL's, which
// declares the ISO dates as plain strings: they become Date and DateTime, and GDAL and
// QGIS read them as such. The geometry's WKT column comes first.
std::string CsvTypes();

} // namespace aster
