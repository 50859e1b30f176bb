#pragma once

#include "metadata/scene_metadata.h"

#include <string_view>
#include <vector>

namespace aster {

// The corners of a granule given only as a bounding rectangle, counter-clockwise from
// the south-west. A box with west > east crosses the antimeridian. Edges along a
// parallel longer than 180 degrees get corners in between, so that no two neighbouring
// corners are more than 180 degrees apart, which the footprint shape would take for a
// crossing of the antimeridian. Bounds that are not numbers, or south above north, give
// no corners.
std::vector<GeoPoint> CornersOfBox(double west, double east, double south, double north);

// The reason for a box with its south above its north, in words every layout shares.
inline constexpr std::string_view kSouthAboveNorth{
    "bounding rectangle with its south above its north"};

} // namespace aster
