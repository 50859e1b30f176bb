#include "catalogue/catalogue_output.h"

#include <charconv>
#include <string_view>

namespace aster {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// A blank where the sign would stand, the digits, and a trailing blank.
void PutSceneNumber(std::ostream& out, std::int32_t number) {
    char text[16];
    text[0] = ' ';
    const auto result = std::to_chars(text + 1, text + sizeof text - 1, number);
    *result.ptr = ' ';
    out.write(text, result.ptr + 1 - text);
}

void Put(std::ostream& out, std::string_view text) {
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

void PutCorner(std::ostream& out, std::string_view lon, std::string_view lat) {
    Put(out, lon);
    out.put(',');
    Put(out, lat);
    Put(out, kLineEnd);
}

} // namespace

void AppendTableRow(std::ostream& out, const SceneRecord& record) {
    PutSceneNumber(out, record.SceneNumber);
    for (const std::string_view field :
         {record.FullPath, record.SceneTime, record.SceneDate, record.Lat1, record.Lon1,
          record.Lat2, record.Lon2, record.Lat3, record.Lon3, record.Lat4, record.Lon4}) {
        out.put('\t');
        Put(out, field);
    }
    Put(out, kLineEnd);
}

void AppendPolygonBlock(std::ostream& out, const SceneRecord& record) {
    PutSceneNumber(out, record.SceneNumber);
    out.put(',');
    PutCorner(out, record.Lon1, record.Lat1);
    PutCorner(out, record.Lon1, record.Lat1);
    PutCorner(out, record.Lon2, record.Lat2);
    PutCorner(out, record.Lon3, record.Lat3);
    PutCorner(out, record.Lon4, record.Lat4);
    AppendClosingLine(out);
}

void AppendClosingLine(std::ostream& out) {
    Put(out, "End");
    Put(out, kLineEnd);
}

} // namespace aster
