#pragma once

#include "metadata/scene_metadata.h"

#include <string_view>

namespace aster {

// Reads one granule's metadata in the object description layout.
MetadataOrReason ReadOdlGranule(std::string_view text);

} // namespace aster
