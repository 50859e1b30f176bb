#include "bench/corpus.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace aster::bench {

namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void Object(std::string& out, const std::string& indent, const std::string& name,
            const std::string& valueLine, const char* type) {
    out += indent + "OBJECT                 = " + name + "\r\n";
    out += indent + "  NUM_VAL              = 1\r\n";
    out += indent + valueLine + "\r\n";
    out += indent + "  TYPE                 = \"" + type + "\"\r\n";
    out += indent + "END_OBJECT             = " + name + "\r\n\r\n";
}

void Filler(std::string& out, std::size_t seed, std::size_t index) {
    const std::string name = "AdditionalAttribute" + std::to_string(index);
    out += "    GROUP                  = " + name + "\r\n";
    out += "      OBJECT                 = AdditionalAttributeName\r\n";
    out += "        NUM_VAL              = 1\r\n";
    out += "        Value                = \"ASTERAttribute" + std::to_string(index) + "\"\r\n";
    out += "      END_OBJECT             = AdditionalAttributeName\r\n";
    out += "      GROUP                  = InformationContent\r\n";
    out += "        OBJECT                 = ParameterValue\r\n";
    out += "          NUM_VAL              = 1\r\n";
    out +=
        "          Value                = \"" + Fixed((seed % 1000) * 0.37 + index, 3) + "\"\r\n";
    out += "          TYPE                 = \"STRING\"\r\n";
    out += "        END_OBJECT             = ParameterValue\r\n";
    out += "      END_GROUP              = InformationContent\r\n";
    out += "    END_GROUP              = " + name + "\r\n\r\n";
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

// The values of scene `seed`, the same in every layout.
struct SceneValues {
    double lat = 0;
    double lon = 0;
    char time[32] = {};
    char date[16] = {};
};

SceneValues ValuesOf(std::size_t seed) {
    SceneValues values;
    values.lat = -60.0 + static_cast<double>(seed % 12000) / 100.0;
    values.lon = -179.0 + static_cast<double>((seed * 7919) % 35800) / 100.0;
    const std::size_t seconds = (seed * 37) % 86400;
    std::snprintf(values.time, sizeof values.time, "%02zu:%02zu:%02zu.%06zuZ", seconds / 3600,
                  seconds / 60 % 60, seconds % 60, (seed * 131) % 1000000);
    std::snprintf(values.date, sizeof values.date, "20%02zu-%02zu-%02zu", seed % 8, seed % 12 + 1,
                  seed % 28 + 1);
    return values;
}

std::string Header(std::size_t seed) {
    const SceneValues values = ValuesOf(seed);
    const double lat = values.lat;
    const double lon = values.lon;
    std::string out;
    out += "GROUP                  = INVENTORYMETADATA\r\n  GROUPTYPE            = "
           "MASTERGROUP\r\n\r\n";
    out += "  GROUP                  = ECSDataGranule\r\n";
    Object(out, "    ", "LocalGranuleID",
           "  Value                = \"AST_L1B_00305202001184220_" + std::to_string(seed) +
               ".hdf\"",
           "STRING");
    Object(out, "    ", "ProductionDateTime",
           "  Value                = \"2001-05-22T03:11:45.000Z\"", "STRING");
    out += "  END_GROUP              = ECSDataGranule\r\n\r\n";
    out += "  GROUP                  = SingleDateTime\r\n";
    Object(out, "    ", "TimeofDay",
           "  Value                = \"" + std::string(values.time) + "\"", "STRING");
    Object(out, "    ", "CalendarDate",
           "  Value                = \"" + std::string(values.date) + "\"", "STRING");
    out += "  END_GROUP              = SingleDateTime\r\n\r\n";
    out += "  GROUP                  = SpatialDomainContainer\r\n";
    out += "    GROUP                  = HorizontalSpatialDomainContainer\r\n";
    out += "      GROUP                  = GPolygon\r\n";
    out += "        OBJECT                 = GPolygonContainer\r\n";
    out += "          GROUP                  = GRing\r\n";
    out += "            OBJECT                 = ExclusionGRingFlag\r\n";
    out += "              Value                = \"N\"\r\n";
    out += "            END_OBJECT             = ExclusionGRingFlag\r\n";
    out += "          END_GROUP              = GRing\r\n";
    out += "          GROUP                  = GRingPoint\r\n";
    out += "            OBJECT                 = GRingPointLatitude\r\n";
    out += "              NUM_VAL              = 4\r\n";
    out += "              Value = (" + Fixed(lat + 0.6, 6) + ", " + Fixed(lat + 0.5, 6) + ", " +
           Fixed(lat - 0.1, 6) + ",\r\n                  " + Fixed(lat, 6) + ")\r\n";
    out += "              TYPE                 = \"DOUBLE\"\r\n";
    out += "            END_OBJECT             = GRingPointLatitude\r\n\r\n";
    out += "            OBJECT                 = GRingPointLongitude\r\n";
    out += "              NUM_VAL              = 4\r\n";
    out += "              Value = (" + Fixed(lon, 6) + ", " + Fixed(lon + 0.7, 6) + ", " +
           Fixed(lon + 0.5, 6) + ",\r\n                  " + Fixed(lon - 0.2, 6) + ")\r\n";
    out += "              TYPE                 = \"DOUBLE\"\r\n";
    out += "            END_OBJECT             = GRingPointLongitude\r\n";
    out += "          END_GROUP              = GRingPoint\r\n";
    out += "        END_OBJECT             = GPolygonContainer\r\n";
    out += "      END_GROUP              = GPolygon\r\n";
    out += "    END_GROUP              = HorizontalSpatialDomainContainer\r\n";
    out += "  END_GROUP              = SpatialDomainContainer\r\n\r\n";
    out += "  GROUP                  = AdditionalAttributes\r\n\r\n";
    return out;
}

// ECS granule XML of scene `seed`: the ODL scene's corners and time, its time as the
// range's beginning, the sun and cloud as additional attributes.
std::string XmlHeader(std::size_t seed) {
    const SceneValues values = ValuesOf(seed);
    std::string time = values.time;
    time.pop_back(); // ECS XML writes its times without the 'Z'
    const auto point = [](double lon, double lat) {
        return "            <Point>\n              <PointLongitude>" + Fixed(lon, 6) +
               "</PointLongitude>\n              <PointLatitude>" + Fixed(lat, 6) +
               "</PointLatitude>\n            </Point>\n";
    };
    const auto psa = [](const std::string& name, const std::string& value) {
        return "      <PSA>\n        <PSAName>" + name + "</PSAName>\n        <PSAValue>" + value +
               "</PSAValue>\n      </PSA>\n";
    };
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE GranuleMetaDataFile SYSTEM \"ScienceGranuleMetadata.dtd\">\n"
                      "<GranuleMetaDataFile>\n  <DTDVersion>1.0</DTDVersion>\n"
                      "  <GranuleURMetaData>\n    <CollectionMetaData>\n"
                      "      <ShortName>AST_L1B</ShortName>\n      <VersionID>3</VersionID>\n"
                      "    </CollectionMetaData>\n    <ECSDataGranule>\n"
                      "      <LocalGranuleID>AST_L1B_00305202001184220_" +
                      std::to_string(seed) +
                      ".hdf</LocalGranuleID>\n"
                      "      <ProductionDateTime>2001-05-22T03:11:45.000Z</ProductionDateTime>\n"
                      "      <DayNightFlag>Day</DayNightFlag>\n    </ECSDataGranule>\n";
    out += "    <RangeDateTime>\n      <RangeEndingTime>" + time +
           "</RangeEndingTime>\n      <RangeEndingDate>" + values.date +
           "</RangeEndingDate>\n      <RangeBeginningTime>" + time +
           "</RangeBeginningTime>\n      <RangeBeginningDate>" + values.date +
           "</RangeBeginningDate>\n    </RangeDateTime>\n";
    out += "    <SpatialDomainContainer>\n      <HorizontalSpatialDomainContainer>\n"
           "        <GPolygon>\n          <Boundary>\n";
    const double lat = values.lat;
    const double lon = values.lon;
    out += point(lon, lat + 0.6) + point(lon + 0.7, lat + 0.5) + point(lon + 0.5, lat - 0.1) +
           point(lon - 0.2, lat);
    out += "          </Boundary>\n        </GPolygon>\n      </HorizontalSpatialDomainContainer>\n"
           "    </SpatialDomainContainer>\n    <PSAs>\n";
    out += psa("SceneCloudCoverage", std::to_string(seed % 101));
    out += psa("Solar_Azimuth_Angle", Fixed(static_cast<double>(seed % 3600) / 10, 6));
    out += psa("Solar_Elevation_Angle", Fixed(static_cast<double>(seed % 900) / 10, 6));
    return out;
}

const char* kXmlTrailer = "    </PSAs>\n  </GranuleURMetaData>\n</GranuleMetaDataFile>\n";

const char* kTrailer = "  END_GROUP              = AdditionalAttributes\r\n\r\n"
                       "END_GROUP              = INVENTORYMETADATA\r\n\r\nEND\r\n";

} // namespace

std::string SceneText(std::size_t seed) {
    std::string out = Header(seed);
    for (std::size_t i = 0; out.size() < 12000 - 600; ++i)
        Filler(out, seed, i);
    out += kTrailer;
    return out;
}

std::string GranuleXmlText(std::size_t seed) {
    std::string out = XmlHeader(seed);
    for (std::size_t i = 0; out.size() < 12000 - 200; ++i) {
        out += "      <PSA>\n        <PSAName>ASTERAttribute" + std::to_string(i) +
               "</PSAName>\n        <PSAValue>" + Fixed((seed % 1000) * 0.37 + i, 3) +
               "</PSAValue>\n      </PSA>\n";
    }
    return out + kXmlTrailer;
}

std::size_t WriteXmlCorpus(const std::string& folder, std::size_t count) {
    std::ofstream list(folder + "/filelist.txt", std::ios::binary | std::ios::trunc);
    std::size_t bytes = 0;
    for (std::size_t i = 1; i <= count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "AST_L1B_%07zu.hdf.xml", i);
        list << name << "\r\n";
        const std::string text = GranuleXmlText(i);
        WriteFile(folder + "/" + name, text);
        bytes += text.size();
    }
    if (!list.flush())
        throw std::runtime_error("cannot write " + folder + "/filelist.txt");
    return bytes;
}

void WriteTreeCorpus(const std::string& folder, std::size_t count, std::size_t folders) {
    constexpr std::size_t kDaysAYear = 100;
    const std::size_t years = (folders + kDaysAYear - 1) / kDaysAYear;
    for (std::size_t year = 0; year < years; ++year)
        std::filesystem::create_directory(folder + "/" + std::to_string(2000 + year));
    for (std::size_t day = 0; day < folders; ++day) {
        const std::string dayFolder = folder + "/" + std::to_string(2000 + day / kDaysAYear) + "/" +
                                      std::to_string(100 + day % kDaysAYear);
        std::filesystem::create_directory(dayFolder);
        // Files numbered across the tree, so that a folder's names are not in order.
        for (std::size_t i = day; i < count; i += folders) {
            char name[96];
            std::snprintf(name, sizeof name,
                          "AST_L1T_003%02zu%02zu%04zu%06zu_20200101000000_%05zu%s", day % 12 + 1,
                          day % 28 + 1, 2000 + day / kDaysAYear, (i * 7919) % 1000000, i % 100000,
                          i % 2 ? ".hdf" : ".hdf.xml");
            WriteFile(dayFolder + "/" + name, "");
        }
    }
}

std::size_t WriteCorpus(const std::string& folder, std::size_t count) {
    std::ofstream list(folder + "/filelist.txt", std::ios::binary | std::ios::trunc);
    std::size_t bytes = 0;
    for (std::size_t i = 1; i <= count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "AST_L1B_%07zu.met", i);
        list << name << "\r\n";
        if (i % 89 == 0)
            continue; // listed, but missing
        const std::string text = i % 97 == 0 ? std::string() : SceneText(i);
        WriteFile(folder + "/" + name, text);
        bytes += text.size();
    }
    if (!list.flush())
        throw std::runtime_error("cannot write " + folder + "/filelist.txt");
    return bytes;
}

void WriteBigScene(const std::string& folder, std::size_t bytes) {
    const std::string path = folder + "/big.met";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::string chunk = Header(42);
    std::size_t written = 0;
    std::size_t index = 0;
    while (written < bytes) {
        while (chunk.size() < (1u << 20))
            Filler(chunk, 42, index++);
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        written += chunk.size();
        chunk.clear();
    }
    out << kTrailer;
    if (!out)
        throw std::runtime_error("cannot write " + path);
    WriteFile(folder + "/filelist.txt", "big.met\r\n");
}

} // namespace aster::bench
