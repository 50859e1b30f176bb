#pragma once

#include "metadata/scene_metadata.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace aster {

// A scene's footprint as every output writes it: polygons of one exterior ring each,
// counter-clockwise, the first point not repeated at the end, longitudes within +-180.
// One part, unless the footprint crosses the antimeridian: then it is cut at +-180 into
// parts on either side. Plain C++, so that the layer and the catalogue share it.
struct FootprintShape {
    std::vector<std::vector<GeoPoint>> parts;
    bool crossesAntimeridian = false;
};

// West, south, east, north in degrees; west > east when the footprint crosses the
// antimeridian, as RFC 7946 writes such a box.
struct BoundingBox {
    double west = 0;
    double south = 0;
    double east = 0;
    double north = 0;
};
BoundingBox BoundsOf(const FootprintShape& shape);

// The shape, or why the corners give none, in a few words for `--verbose`: a corner out of
// range, corners that cross each other (a bow tie), a footprint with no area, one that
// encloses a pole.
struct ShapeOrReason {
    std::optional<FootprintShape> shape;
    std::string reason;
};
ShapeOrReason MakeFootprintShape(std::span<const GeoPoint> corners);

} // namespace aster
