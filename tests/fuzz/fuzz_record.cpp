// Record extraction over arbitrary bytes: every field is a piece of the input, and both
// output layouts hold exactly the record's bytes and their delimiters.
#include "catalogue/catalogue_output.h"
#include "catalogue/scene_reader.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdint>
#include <sstream>

namespace {

bool Inside(std::string_view field, std::string_view text) {
    return field.empty() || (field.data() >= text.data() &&
                             field.data() + field.size() <= text.data() + text.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    aster::SceneRecord record;
    record.SceneNumber = static_cast<std::int32_t>(size);
    record.FullPath = "/scenes//x.met";
    aster::ExtractRecord(text, record);

    const std::string_view lats[] = {record.Lat1, record.Lat2, record.Lat3, record.Lat4};
    const std::string_view lons[] = {record.Lon1, record.Lon2, record.Lon3, record.Lon4};
    std::size_t fieldBytes =
        record.FullPath.size() + record.SceneTime.size() + record.SceneDate.size();
    std::size_t cornerBytes = 0;
    for (int i = 0; i < 4; ++i) {
        FUZZ_CHECK(Inside(lats[i], text) && Inside(lons[i], text));
        cornerBytes += lats[i].size() + lons[i].size();
    }
    FUZZ_CHECK(Inside(record.SceneTime, text) && Inside(record.SceneDate, text));
    fieldBytes += cornerBytes;
    // A time or date never holds the quote that delimits it.
    FUZZ_CHECK(record.SceneTime.find('"') == std::string_view::npos);
    FUZZ_CHECK(record.SceneDate.find('"') == std::string_view::npos);

    const std::size_t number = (" " + std::to_string(record.SceneNumber) + " ").size();
    std::ostringstream table;
    aster::AppendTableRow(table, record);
    FUZZ_CHECK(table.str().size() == number + 11 + fieldBytes + 2);
    FUZZ_CHECK(table.str().ends_with("\r\n"));

    std::ostringstream polys;
    aster::AppendPolygonBlock(polys, record);
    const std::size_t firstLine = number + 1 + record.Lon1.size() + 1 + record.Lat1.size() + 2;
    FUZZ_CHECK(polys.str().size() == firstLine + cornerBytes + 4 * 3 + 5);
    FUZZ_CHECK(polys.str().ends_with("\r\nEnd\r\n"));
    return 0;
}
