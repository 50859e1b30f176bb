#include "bench/corpus.h"

#include <cstdio>
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

std::string Header(std::size_t seed) {
    const double lat = -60.0 + static_cast<double>(seed % 12000) / 100.0;
    const double lon = -179.0 + static_cast<double>((seed * 7919) % 35800) / 100.0;
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
    const std::size_t seconds = (seed * 37) % 86400;
    char time[32];
    std::snprintf(time, sizeof time, "%02zu:%02zu:%02zu.%06zuZ", seconds / 3600, seconds / 60 % 60,
                  seconds % 60, (seed * 131) % 1000000);
    Object(out, "    ", "TimeofDay", "  Value                = \"" + std::string(time) + "\"",
           "STRING");
    char date[16];
    std::snprintf(date, sizeof date, "20%02zu-%02zu-%02zu", seed % 8, seed % 12 + 1, seed % 28 + 1);
    Object(out, "    ", "CalendarDate", "  Value                = \"" + std::string(date) + "\"",
           "STRING");
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
