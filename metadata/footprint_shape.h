#pragma once

#include "metadata/scene_metadata.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace aster {

// A scene's footprint as every output writes it: polygons of one exterior ring each,
// counter-clockwise, the first point not repeated at the end, longitudes within +-180.
// One part, unless the footprint crosses the antimeridian: then it is cut at +-180 into
// parts on either side. Plain C++, so that the layer and the catalogue share it.
//
// Every coordinate is a whole number of 1e-7 degrees (the nearest double to it), so a
// writer that keeps 7 decimals writes exactly the shape that was checked. Every part is a
// valid polygon by GEOS's rules: a simple ring, touching itself nowhere, with area; the
// parts of a cut footprint meet the cut line exactly at +-180 and overlap nowhere.
struct FootprintShape {
    std::vector<std::vector<GeoPoint>> parts;
    bool crossesAntimeridian = false; // parts on both sides of +-180
};

// West, south, east, north in degrees; west > east when the footprint crosses the
// antimeridian, as RFC 7946 writes such a box: west is then the westernmost longitude of
// the parts that reach +180, east the easternmost of those that reach -180.
struct BoundingBox {
    double west = 0;
    double south = 0;
    double east = 0;
    double north = 0;
};
BoundingBox BoundsOf(const FootprintShape& shape);

// Whether a part has three or four corners and turns left at each, by the exact sign of
// the doubles written: convex, so a valid polygon by any rule, GEOS's included, without
// asking it. Most scenes' footprints are such a part.
bool IsConvexPart(const std::vector<GeoPoint>& part);

// A footprint with more corners than this is refused: checking that a ring does not cross
// itself takes time that grows with the square of its corners in the worst case.
inline constexpr std::size_t kMaxFootprintCorners = 1000;

// The shape, or why the corners give none, in a few words for `--verbose`:
//   "fewer than 3 corners", "more than 1000 corners",
//   "corner N is not a finite number", "latitude of corner N out of range",
//   "longitude of corner N out of range" (N counts from 1 in file order),
//   "footprint has no area" (fewer than 3 distinct corners, or all on one line),
//   "corners cross each other" (a bow tie, or edges that touch or run back on themselves),
//   "footprint encloses the North Pole", "footprint encloses the South Pole" (its
//   longitudes wind once around the globe),
//   "footprint wider than the globe" (it spans 360 degrees of longitude or more),
//   "footprint across the antimeridian cannot be cut into valid parts".
//
// Corners are snapped to 1e-7 degrees first; then consecutive equal corners, and a last
// corner equal to the first, are dropped. A clockwise ring is reversed, keeping its first
// corner first. A footprint crosses the antimeridian when neighbouring corners (the last
// and the first included) lie more than 180 degrees of longitude apart.
struct ShapeOrReason {
    std::optional<FootprintShape> shape;
    std::string reason;
};
ShapeOrReason MakeFootprintShape(std::span<const GeoPoint> corners);

// The shape of a footprint given as several polygons, `corners` the first and `moreRings`
// the others (as SceneMetadata holds them): each is made a shape as above, so a polygon
// cut at +-180 already is kept as it is, and the parts of all are the footprint's. With
// further rings, a reason names the polygon ("polygon 2: corners cross each other"),
// "more than 1000 corners" counts them all, and "polygons 1 and 2 meet" when parts of two
// share any point, touching included (they would be no valid multipolygon, or one only by
// touching at a point, which this does not tell apart). Parts at +180 and at -180 make the
// footprint cross the antimeridian.
ShapeOrReason MakeFootprintShape(std::span<const GeoPoint> corners,
                                 std::span<const std::vector<GeoPoint>> moreRings);

} // namespace aster
