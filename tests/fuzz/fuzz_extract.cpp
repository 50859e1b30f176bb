// Extract with arbitrary tags agrees with literal splitting, both ways of searching, and
// returns a view into its input; a head that settles the record gives the text's record.
#include "catalogue/scene_reader.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/reference_extract.h"

#include <array>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t startLength = data[0] % 8;
    const std::size_t endLength = data[1] % 8;
    if (size < 2 + startLength + endLength)
        return 0;
    const char* bytes = reinterpret_cast<const char*>(data) + 2;
    const std::string start(bytes, startLength);
    const std::string end(bytes + startLength, endLength);
    const std::string text(bytes + startLength + endLength, size - 2 - startLength - endLength);

    const std::string_view got = aster::Extract(text, start, end);
    FUZZ_CHECK(got == aster::test::ReferenceExtract(text, start, end));
    FUZZ_CHECK(got.empty() ||
               (got.data() >= text.data() && got.data() + got.size() <= text.data() + text.size()));
    FUZZ_CHECK(aster::Extract(text, start, end, aster::BlockScan::Portable) == got);

    const std::string_view head = std::string_view(text).substr(0, text.size() * data[1] / 255);
    aster::SceneRecord fromHead;
    if (aster::SettleRecord(head, fromHead)) {
        aster::SceneRecord whole;
        aster::ExtractRecord(text, whole);
        const auto fields = [](const aster::SceneRecord& r) {
            return std::array{r.SceneTime, r.SceneDate, r.Lat1, r.Lat2, r.Lat3,
                              r.Lat4,      r.Lon1,      r.Lon2, r.Lon3, r.Lon4};
        };
        FUZZ_CHECK(fields(fromHead) == fields(whole));
    }
    return 0;
}
