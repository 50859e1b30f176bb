// The granule XML reader on any bytes, and on them after an ECS or an ECHO 10 granule's
// root: it ends in bounded time with metadata or a reason, what it gives holds together,
// and a reader used again gives the same answer.
#include "metadata/scene_metadata.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/metadata_check.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    aster::fuzz::CheckMetadata(bytes);
    aster::fuzz::CheckMetadata("<GranuleMetaDataFile>" + bytes);
    aster::fuzz::CheckMetadata("<Granule>" + bytes);
    return 0;
}
