#include "metadata/bounding_box.h"

#include <cmath>

namespace aster {

std::vector<GeoPoint> CornersOfBox(double west, double east, double south, double north) {
    if (!std::isfinite(west) || !std::isfinite(east) || !std::isfinite(south) ||
        !std::isfinite(north) || south > north)
        return {};
    const double width = west > east ? east + 360 - west : east - west;
    // Enough steps along each parallel that none spans 180 degrees or more.
    const int steps = width < 180 ? 1 : width < 360 ? 2 : 3;
    std::vector<GeoPoint> corners;
    const auto along = [&](double lat, bool eastward) {
        for (int i = 0; i <= steps; ++i) {
            const int k = eastward ? i : steps - i;
            double lon = west + width * k / steps;
            if (lon > 180)
                lon -= 360;
            corners.push_back({k == steps ? east : k == 0 ? west : lon, lat});
        }
    };
    along(south, true);
    along(north, false);
    return corners;
}

} // namespace aster
