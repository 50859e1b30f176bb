#pragma once

#include "metadata/footprint_shape.h"

#include <ogr_geometry.h>

#include <memory>
#include <string>

namespace aster {

// The footprint shape as the multipolygon the layer writes: one polygon per part, each
// ring closed, in the shape's counter-clockwise order, without a spatial reference (the
// layer carries it). As a last guard GEOS must find it valid, which the shape already
// ensures; one it refuses gives no feature but the reason, so that nothing invalid is
// ever written. Safe to call on several threads at once.
struct OgrFootprintOrReason {
    std::unique_ptr<OGRMultiPolygon> footprint;
    std::string reason;
};
OgrFootprintOrReason OgrFootprint(const FootprintShape& shape);

} // namespace aster
