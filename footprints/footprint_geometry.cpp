#include "footprints/footprint_geometry.h"

#include "footprints/gdal_messages.h"

namespace aster {

OgrFootprintOrReason OgrFootprint(const FootprintShape& shape) {
    auto footprint = std::make_unique<OGRMultiPolygon>();
    for (const std::vector<GeoPoint>& part : shape.parts) {
        auto ring = std::make_unique<OGRLinearRing>();
        const int points = static_cast<int>(part.size());
        ring->setNumPoints(points + 1, FALSE);
        for (int i = 0; i <= points; ++i) {
            const GeoPoint& point = part[static_cast<std::size_t>(i % points)];
            ring->setPoint(i, point.lon, point.lat);
        }
        auto polygon = std::make_unique<OGRPolygon>();
        polygon->addRingDirectly(ring.release());
        footprint->addGeometryDirectly(polygon.release());
    }
    // A convex part is valid without GEOS's check, which took a tenth of a layer's CPU.
    if (shape.parts.size() == 1 && IsConvexPart(shape.parts.front()))
        return {std::move(footprint), {}};
    // What GEOS says on the way is this thread's own, never printed.
    const GdalMessages messages;
    if (shape.parts.empty() || !footprint->IsValid())
        return {nullptr, messages.hasFailure()
                             ? "footprint not valid by GEOS: " + messages.failure()
                             : std::string("footprint not valid by GEOS")};
    return {std::move(footprint), {}};
}

} // namespace aster
