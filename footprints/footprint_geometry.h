#pragma once

#include "footprints/scene_values.h"

#include <ogr_geometry.h>

#include <memory>
#include <string>

namespace aster {

// The footprint of a scene: the four corners in file order as one closed ring, outer
// ring counter-clockwise (the corner order reversed when the file's runs clockwise, the
// first corner first either way). A footprint that crosses the antimeridian is cut at
// +-180 into parts that all lie within +-180. Always a multipolygon, without a spatial
// reference: the layer carries it.
struct FootprintOrReason {
    std::unique_ptr<OGRMultiPolygon> footprint;
    std::string reason; // why a footprint crossing the antimeridian could not be cut
};
FootprintOrReason MakeFootprint(const Corners& corners);

} // namespace aster
