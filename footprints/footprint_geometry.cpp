#include "footprints/footprint_geometry.h"

#include "footprints/gdal_messages.h"

#include <algorithm>
#include <cmath>

namespace aster {

namespace {

// What to add to `to` so that it lies within 180 degrees of `from`: 0 or +-360.
double WrapOffset(double from, double to) {
    const double step = to - from;
    return step > 180 ? -360 : step < -180 ? 360 : 0;
}

std::unique_ptr<OGRPolygon> Quadrilateral(const std::array<double, 4>& x,
                                          const std::array<double, 4>& y) {
    auto ring = std::make_unique<OGRLinearRing>();
    ring->setNumPoints(5, FALSE);
    for (int i = 0; i < 4; ++i)
        ring->setPoint(i, x[i], y[i]);
    ring->setPoint(4, x[0], y[0]);
    auto polygon = std::make_unique<OGRPolygon>();
    polygon->addRingDirectly(ring.release());
    return polygon;
}

// Outer ring counter-clockwise, holes clockwise, as RFC 7946 and most readers expect. Only
// the parts of a cut footprint need it: their points come in whatever order the cut gives.
void OrientRings(OGRPolygon& polygon) {
    for (int r = 0; r <= polygon.getNumInteriorRings(); ++r) {
        OGRLinearRing* ring = r == 0 ? polygon.getExteriorRing() : polygon.getInteriorRing(r - 1);
        if (ring != nullptr && (ring->isClockwise() != 0) == (r == 0))
            ring->reverseWindingOrder();
    }
}

// Moves a part cut from the unwrapped footprint back by `shift` degrees of longitude.
// The cut lies on a multiple of 360 - 180 already; clamping removes rounding that would
// leave a point a hair beyond +-180.
void ShiftLongitudes(OGRPolygon& polygon, double shift) {
    for (int r = 0; r <= polygon.getNumInteriorRings(); ++r) {
        OGRLinearRing* ring = r == 0 ? polygon.getExteriorRing() : polygon.getInteriorRing(r - 1);
        for (int i = 0; ring != nullptr && i < ring->getNumPoints(); ++i)
            ring->setPoint(i, std::clamp(ring->getX(i) + shift, -180.0, 180.0), ring->getY(i));
    }
}

// Adds the polygons with area in `part` (a polygon, a multipolygon or a collection that
// may also hold the lines and points where the footprint only touches the cut).
void AddAreas(const OGRGeometry& part, double shift, OGRMultiPolygon& footprint) {
    switch (wkbFlatten(part.getGeometryType())) {
    case wkbPolygon:
        if (part.toPolygon()->get_Area() > 0) {
            auto polygon = std::unique_ptr<OGRPolygon>(part.toPolygon()->clone());
            ShiftLongitudes(*polygon, shift);
            OrientRings(*polygon);
            footprint.addGeometryDirectly(polygon.release());
        }
        break;
    case wkbMultiPolygon:
    case wkbGeometryCollection:
        for (const OGRGeometry* member : *part.toGeometryCollection())
            AddAreas(*member, shift, footprint);
        break;
    default:
        break;
    }
}

// Whether two neighbouring corners (the fourth and the first included) lie more than
// 180 degrees of longitude apart: the scene then spans the antimeridian, not the globe.
bool CrossesAntimeridian(const Corners& corners) {
    for (std::size_t i = 0; i < corners.lon.size(); ++i) {
        const double next = corners.lon[(i + 1) % corners.lon.size()];
        if (std::fabs(next - corners.lon[i]) > 180)
            return true;
    }
    return false;
}

FootprintOrReason CutAtAntimeridian(const Corners& corners) {
    const GdalMessages messages; // GEOS's complaints become the reason, never output
    // Longitudes made continuous from the first corner on, so the ring is one shape that
    // may reach beyond +-180; it is then cut into 360-degree windows moved back in range.
    // Whole turns are added rather than steps summed, so a corner moved back has the
    // value the file gave.
    std::array<double, 4> lon = corners.lon;
    double offset = 0;
    for (std::size_t i = 1; i < lon.size(); ++i) {
        offset += WrapOffset(corners.lon[i - 1], corners.lon[i]);
        lon[i] = corners.lon[i] + offset;
    }
    const std::unique_ptr<OGRPolygon> unwrapped = Quadrilateral(lon, corners.lat);

    std::unique_ptr<OGRGeometry> repaired;
    const OGRGeometry* shape = unwrapped.get();
    if (!unwrapped->IsValid()) {
        // Corners in an order that crosses itself: GEOS cannot cut such a ring as it is.
        repaired.reset(unwrapped->MakeValid());
        if (!repaired)
            return {nullptr,
                    "footprint across the antimeridian cannot be cut: " + messages.failure()};
        shape = repaired.get();
    }

    OGREnvelope extent;
    shape->getEnvelope(&extent);
    auto footprint = std::make_unique<OGRMultiPolygon>();
    for (double window = std::floor((extent.MinX + 180) / 360); window * 360 - 180 < extent.MaxX;
         ++window) {
        const double west = window * 360 - 180;
        const std::unique_ptr<OGRPolygon> box =
            Quadrilateral({west, west + 360, west + 360, west}, {-90, -90, 90, 90});
        const std::unique_ptr<OGRGeometry> part(shape->Intersection(box.get()));
        if (!part)
            return {nullptr,
                    "footprint across the antimeridian cannot be cut: " + messages.failure()};
        AddAreas(*part, -window * 360, *footprint);
    }
    if (footprint->IsEmpty())
        return {nullptr, "footprint across the antimeridian encloses no area"};
    return {std::move(footprint), {}};
}

} // namespace

FootprintOrReason MakeFootprint(const Corners& corners) {
    if (CrossesAntimeridian(corners))
        return CutAtAntimeridian(corners);
    // The corners in the file's order; GeoJSON's writer turns rings the way RFC 7946 wants.
    std::unique_ptr<OGRPolygon> polygon = Quadrilateral(corners.lon, corners.lat);
    auto footprint = std::make_unique<OGRMultiPolygon>();
    footprint->addGeometryDirectly(polygon.release());
    return {std::move(footprint), {}};
}

} // namespace aster
