#pragma once

#include <cstdint>
#include <string_view>

namespace aster {

// The fields taken from one listed file. The text fields are views: FullPath into the
// run's path text, the others into the scene file's text, both owned by whoever fills
// the record and valid until the run takes the next file. Nothing is trimmed or parsed.
struct SceneRecord {
    std::int32_t SceneNumber = 0;
    std::string_view FullPath;
    std::string_view SceneTime;
    std::string_view SceneDate;
    std::string_view Lat1, Lat2, Lat3, Lat4;
    std::string_view Lon1, Lon2, Lon3, Lon4;
};

} // namespace aster
