// The UMM-G reader on any bytes, as they come and after a record's first key: it ends in
// bounded time with metadata or a reason, what it gives holds together, and a reader used
// again gives the same answer.
#include "metadata/scene_metadata.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/metadata_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    aster::fuzz::CheckMetadata(bytes);
    const std::string record = "{\"GranuleUR\": \"g\", " + bytes;
    FUZZ_CHECK(aster::SniffLayout(record) == aster::MetadataLayout::UmmG);
    aster::fuzz::CheckMetadata(record);
    return 0;
}
