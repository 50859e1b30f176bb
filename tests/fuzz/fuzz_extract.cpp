// Extract with arbitrary tags agrees with literal splitting, and returns a view into its input.
#include "catalogue/scene_reader.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/reference_extract.h"

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
    return 0;
}
