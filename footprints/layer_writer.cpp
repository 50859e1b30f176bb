#include "footprints/layer_writer.h"

#include "fileio/folder.h"
#include "fileio/utf8.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace aster {

bool TakesLayerOption(GDALDriver& driver, std::string_view option) {
    const char* list = driver.GetMetadataItem(GDAL_DS_LAYER_CREATIONOPTIONLIST);
    return list != nullptr &&
           std::string_view(list).find("name='" + std::string(option) + "'") != std::string::npos;
}

Error GdalError(std::string_view what, const std::string& path, const GdalMessages& messages,
                int err) {
    const bool writeFailed = err == EFBIG || err == ENOSPC || err == EDQUOT || err == EIO;
    const std::string why =
        !messages.hasFailure() && writeFailed ? std::strerror(err) : messages.failure();
    return Error{EIO, "GDAL could not " + std::string(what) + " " + path + ": " + why, {}};
}

std::string DateText(const CalendarDate& date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", date.year % 10000, date.month % 100,
                  date.day % 100);
    return text;
}

std::unique_ptr<PreparedFootprint> PrepareFootprint(const Scene& scene, std::string& reason) {
    OgrFootprintOrReason footprint = OgrFootprint(scene.shape);
    if (!footprint.footprint) {
        reason = std::move(footprint.reason);
        return nullptr;
    }
    auto prepared = std::make_unique<PreparedFootprint>();
    prepared->footprint = std::move(footprint.footprint);
    prepared->values.scene = scene.number;
    const std::vector<GeoPoint>& corners = scene.metadata.corners;
    for (std::size_t i = 0; i < 4; ++i) {
        const bool given = i < corners.size();
        prepared->values.corners[i] = given ? corners[i].lat : std::nan("");
        prepared->values.corners[4 + i] = given ? corners[i].lon : std::nan("");
    }
    prepared->path = Utf8FromPath(scene.fullPath);
    prepared->name = Utf8FromBytes(FileNameOf(scene.fullPath));
    return prepared;
}

std::optional<std::string> Joined(const std::vector<std::string>& names) {
    if (names.empty())
        return std::nullopt;
    std::string text = names.front();
    for (std::size_t i = 1; i < names.size(); ++i)
        text += ", " + names[i];
    return text;
}

std::string CsvTypes() {
    std::string types = "WKT";
    for (const FieldKind& kind : kFields) {
        types += ',';
        switch (kind.type) {
        case OFTInteger:
            types += "Integer";
            break;
        case OFTReal:
            types += "Real";
            break;
        case OFTDate:
            types += "Date";
            break;
        case OFTDateTime:
            types += "DateTime";
            break;
        default:
            types += "String";
            break;
        }
    }
    return types + "\n";
}

LayerSettings LayerSettingsFor(std::string_view driverName) {
    LayerSettings settings;
    settings.datesAsText = driverName == "KML" || driverName == "LIBKML" || driverName == "CSV";
    settings.calendarDatesAsText = driverName == "FlatGeobuf";
    return settings;
}

std::optional<Error> LayerWriter::create(const std::string& scratchPath, const std::string& layerName,
                                const LayerSettings& settings) {
    m_datesAsText = settings.datesAsText;
    m_calendarDatesAsText = settings.datesAsText || settings.calendarDatesAsText;
    m_dataset.reset(m_driver.Create(scratchPath.c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    if (!m_dataset)
        return GdalError("create", m_outputPath, m_messages);
    // A driver that makes a folder for a name it does not take as a file is stopped
    // before it writes anything.
    struct stat info {};
    if (::lstat(scratchPath.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return Error{EINVAL,
                     "GDAL's driver \"" + std::string(m_driver.GetDescription()) +
                         "\" writes a folder instead of the file " + m_outputPath,
                     "Give the output the extension of the format, or choose another one."};

    OGRSpatialReference wgs84;
    if (wgs84.importFromEPSG(4326) != OGRERR_NONE)
        return GdalError("set up EPSG:4326 for", m_outputPath, m_messages);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);

    const std::string driverName = m_driver.GetDescription();
    const bool shapefile = driverName == kShapefileDriver;
    const bool geoJson = driverName == "GeoJSON";
    CPLStringList options;
    if (TakesLayerOption(m_driver, "ENCODING"))
        options.SetNameValue("ENCODING", "UTF-8");
    // A text format without a geometry column of its own keeps the footprint as WKT.
    if (TakesLayerOption(m_driver, "GEOMETRY"))
        options.SetNameValue("GEOMETRY", "AS_WKT");
    if (TakesLayerOption(m_driver, "CREATE_CSVT"))
        options.SetNameValue("CREATE_CSVT", "YES");
    // RFC 7946 by hand: GDAL's own RFC 7946 mode writes a one-part multipolygon as a
    // polygon, and the layer must have one geometry type. Without a spatial reference
    // the file gets no "crs" member, which RFC 7946 leaves out (WGS 84 is implied).
    // GDAL writes numbers with 17 significant digits, which turns the file's
    // -77.1786039739731 into -77.178603973973097. Fifteen is what a double holds for
    // certain, so a value the metadata writes with at most 15 digits comes back as written,
    // and the footprint's points, kept to 7 decimals, as they are. No fixed number of
    // decimals: GDAL rounds such a number that ends in five nines, so that -116.999999
    // became -117 and 179.999999 became 180.
    if (geoJson)
        options.SetNameValue("SIGNIFICANT_FIGURES", "15");
    m_packsIndex = settings.spatialIndex && PacksOwnIndex();
    if (TakesLayerOption(m_driver, "SPATIAL_INDEX"))
        options.SetNameValue("SPATIAL_INDEX",
                             settings.spatialIndex && !m_packsIndex ? "YES" : "NO");
    if (!settings.description.empty() && driverName == "GPKG")
        options.SetNameValue("DESCRIPTION", settings.description.c_str());
    for (const std::string& option : settings.layerOptions) {
        const std::size_t equals = option.find('=');
        options.SetNameValue(option.substr(0, equals).c_str(),
                             option.substr(equals + 1).c_str());
    }
    m_layer = m_dataset->CreateLayer(layerName.c_str(), geoJson ? nullptr : &wgs84,
                                     wkbMultiPolygon, options.List());
    if (m_layer == nullptr) {
        m_refusedLayer = true;
        return GdalError("create the layer in", m_outputPath, m_messages);
    }

    m_textLimit = shapefile ? kShapefileTextBytes : 0;
    for (const FieldKind& kind : kFields) {
        const bool text = (kind.type == OFTDate && m_calendarDatesAsText) ||
                          (kind.type == OFTDateTime && m_datesAsText);
        OGRFieldDefn field(kind.name, text ? OFTString : kind.type);
        // A shapefile's text columns are 80 bytes wide unless told otherwise, and keep
        // the declared width, so that later edits fit.
        if (shapefile && kind.type == OFTString)
            field.SetWidth(kShapefileTextBytes);
        const int before = m_layer->GetLayerDefn()->GetFieldCount();
        if (m_layer->CreateField(&field) != OGRERR_NONE) {
            m_refusedLayer = true;
            return GdalError(std::string("add the field ") + kind.name + " to", m_outputPath,
                             m_messages);
        }
        // A field that was added is the last; one a driver keeps apart is looked up.
        const int after = m_layer->GetLayerDefn()->GetFieldCount();
        m_index[static_cast<std::size_t>(&kind - kFields.data())] =
            after > before ? after - 1 : m_layer->GetLayerDefn()->GetFieldIndex(kind.name);
    }
    // Drivers may rename a field (a shapefile's names have ten bytes) or keep it apart
    // (KML makes `name` the placemark's name); a field a driver dropped is left out.
    m_feature.reset(OGRFeature::CreateFeature(m_layer->GetLayerDefn()));

    if (m_packsIndex) {
        m_packedIndex = std::make_unique<GeoPackageIndex>();
        if (!m_packedIndex->prepare(*m_dataset, *m_layer))
            return GdalError("add a spatial index to", m_outputPath, m_messages);
    }
    if (m_dataset->TestCapability(ODsCTransactions)) {
        if (m_dataset->StartTransaction() != OGRERR_NONE)
            return GdalError("start writing", m_outputPath, m_messages);
        m_inTransaction = true;
    }
    return std::nullopt;
}

std::optional<Error> LayerWriter::write(const Scene& scene, PreparedFootprint& prepared) {
    const SceneMetadata& metadata = scene.metadata;
    setInteger(kScene, prepared.values.scene);
    setText(kPath, prepared.path);
    setText(kName, prepared.name);
    setText(kAcqTime, metadata.timeText.empty() ? std::nullopt
                                                : std::optional(metadata.timeText));
    setText(kGranule, metadata.granule);
    setText(kProduct, metadata.product);
    setText(kVersion, metadata.version);
    setText(kDayNight, metadata.dayNight);
    setReal(kCloud, metadata.cloud);
    setReal(kSunAzimuth, metadata.sunAzimuth);
    setReal(kSunElevation, metadata.sunElevation);
    setText(kPlatform, Joined(metadata.platforms));
    setText(kInstrument, Joined(metadata.instruments));
    for (std::size_t i = 0; i < 4; ++i) {
        setReal(kLat1 + i, prepared.values.corners[i]);
        setReal(kLon1 + i, prepared.values.corners[4 + i]);
    }
    setDate(kAcqDate, metadata.date);
    setInstant(kAcquired, metadata.acquired);
    setInstant(kAcquiredEnd, metadata.acquiredEnd);
    OGREnvelope extent;
    prepared.footprint->getEnvelope(&extent);
    OGRFeature& feature = *m_feature;
    feature.SetGeometryDirectly(prepared.footprint.release());
    feature.SetFID(OGRNullFID); // a new feature each time, though the object is reused
    // What errno holds after a failure is then the failure's.
    errno = 0;
    if (m_layer->CreateFeature(&feature) != OGRERR_NONE)
        return GdalError("write a feature to", m_outputPath, m_messages, errno);
    if (m_packedIndex)
        m_packedIndex->add(feature.GetFID(), extent);
    return std::nullopt;
}

bool LayerWriter::keepsValues() const {
    for (const Field field : {kScene, kLat1, kLon1})
        for (std::size_t i = 0; i < (field == kScene ? 1u : 4u); ++i)
            if (m_index[field + i] < 0)
                return false;
    return true;
}

std::optional<Error> LayerWriter::close(GdalMessages& messages) {
    m_feature.reset();
    if (m_packedIndex && !m_packedIndex->finish())
        return GdalError("add a spatial index to", m_outputPath, m_messages);
    m_packedIndex.reset();
    if (m_inTransaction && m_dataset->CommitTransaction() != OGRERR_NONE)
        return GdalError("finish", m_outputPath, m_messages);
    messages.clear();
    m_dataset.reset();
    // GDAL 3.6 reports failures at closing only through its messages.
    if (messages.hasFailure())
        return GdalError("finish", m_outputPath, m_messages);
    return std::nullopt;
}

bool LayerWriter::PacksOwnIndex() const {
    return GDAL_VERSION_NUM < GDAL_COMPUTE_VERSION(3, 7, 0) &&
           GeoPackageIndex::CanPack(*m_dataset);
}

void LayerWriter::setInteger(std::size_t field, int value) {
    if (m_index[field] >= 0)
        m_feature->SetField(m_index[field], value);
}

void LayerWriter::setReal(std::size_t field, std::optional<double> value) {
    if (m_index[field] < 0)
        return;
    if (value && !std::isnan(*value))
        m_feature->SetField(m_index[field], *value);
    else
        m_feature->SetFieldNull(m_index[field]);
}

void LayerWriter::setText(std::size_t field, const std::string& value) {
    if (m_index[field] < 0)
        return;
    // The driver would cut it without a word: the summary tells.
    if (m_textLimit > 0 && value.size() > m_textLimit)
        ++m_cutTexts[field];
    m_feature->SetField(m_index[field], value.c_str());
}

void LayerWriter::setText(std::size_t field, const std::optional<std::string>& value) {
    if (m_index[field] >= 0 && !value)
        m_feature->SetFieldNull(m_index[field]);
    else if (value)
        setText(field, *value);
}

std::vector<CutTexts> LayerWriter::cutTexts() const {
    std::vector<CutTexts> cut;
    for (std::size_t i = 0; i < kFields.size(); ++i)
        if (m_cutTexts[i] > 0)
            cut.push_back({kFields[i].name, m_cutTexts[i], m_textLimit});
    return cut;
}

void LayerWriter::setDate(std::size_t field, const std::optional<CalendarDate>& date) {
    if (m_index[field] < 0)
        return;
    if (!date)
        m_feature->SetFieldNull(m_index[field]);
    else if (m_calendarDatesAsText)
        m_feature->SetField(m_index[field], DateText(*date).c_str());
    else
        m_feature->SetField(m_index[field], date->year, static_cast<int>(date->month),
                            static_cast<int>(date->day));
}

void LayerWriter::setInstant(std::size_t field, const std::optional<UtcMilliseconds>& instant) {
    if (m_index[field] < 0)
        return;
    if (!instant) {
        m_feature->SetFieldNull(m_index[field]);
    } else if (m_datesAsText) {
        m_feature->SetField(m_index[field], FormatRfc3339(*instant).c_str());
    } else {
        const UtcParts parts = BreakDown(*instant);
        const float second =
            static_cast<float>(parts.second) + static_cast<float>(parts.millisecond) / 1000;
        m_feature->SetField(m_index[field], parts.year, static_cast<int>(parts.month),
                            static_cast<int>(parts.day), parts.hour, parts.minute, second,
                            kUtc);
    }
}

} // namespace aster
