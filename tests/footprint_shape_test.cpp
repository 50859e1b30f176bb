#include "metadata/footprint_shape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace aster {
namespace {

using Ring = std::vector<GeoPoint>;

// The ring turned so that its least point (by longitude, then latitude) comes first:
// two rings are the same polygon boundary, walked the same way, when these are equal.
Ring FromLeast(Ring ring) {
    const auto least = std::min_element(ring.begin(), ring.end(), [](const auto& a, const auto& b) {
        return a.lon != b.lon ? a.lon < b.lon : a.lat < b.lat;
    });
    std::rotate(ring.begin(), least, ring.end());
    return ring;
}

double SignedArea(const Ring& ring) {
    long double twice = 0;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const GeoPoint& a = ring[i];
        const GeoPoint& b = ring[(i + 1) % ring.size()];
        twice += (static_cast<long double>(a.lon) - ring[0].lon) * (b.lat - ring[0].lat) -
                 (static_cast<long double>(b.lon) - ring[0].lon) * (a.lat - ring[0].lat);
    }
    return static_cast<double>(twice / 2);
}

struct Case {
    const char* name;
    Ring corners;
    const char* reason;         // empty when a shape is expected
    std::vector<Ring> parts;    // as expected, each from any corner, counter-clockwise
    bool crosses = false;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FootprintShape, CaseTable) {
    const Case cases[] = {
        // Scene files give their corners clockwise: reversed, first corner first.
        {"clockwise scene",
         {{-118.1, 34.1}, {-117.4, 34.0}, {-117.6, 33.4}, {-118.3, 33.5}},
         "",
         {{{-118.1, 34.1}, {-118.3, 33.5}, {-117.6, 33.4}, {-117.4, 34.0}}}},
        {"counter-clockwise kept",
         {{0, 0}, {1, 0}, {1, 1}, {0, 1}}, "", {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}}},
        {"closed ring and repeated corners dropped",
         {{0, 0}, {1, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}},
         "",
         {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}}},
        {"snapped to 1e-7 degrees, then repeats dropped",
         {{10.123456789, 1}, {10.12345681, 1}, {11, 1}, {11, 2}},
         "",
         {{{10.1234568, 1}, {11, 1}, {11, 2}}}},
        {"just beyond 180 snaps onto it", {{180.00000004, 0}, {179, 1}, {179, 0}}, "",
         {{{180, 0}, {179, 1}, {179, 0}}}},
        {"collinear corners along an edge kept",
         {{0, 0}, {1, 0}, {2, 0}, {2, 2}}, "", {{{0, 0}, {1, 0}, {2, 0}, {2, 2}}}},
        {"two corners", {{0, 0}, {1, 1}}, "fewer than 3 corners", {}},
        {"not a number", {{0, 0}, {1, kNaN}, {1, 1}}, "corner 2 is not a finite number", {}},
        {"infinite", {{0, 0}, {1, 0}, {INFINITY, 1}}, "corner 3 is not a finite number", {}},
        {"latitude beyond 90", {{0, 0}, {1, 0}, {1, 90.5}}, "latitude of corner 3 out of range",
         {}},
        {"longitude beyond 180", {{-180.1, 0}, {1, 0}, {1, 1}},
         "longitude of corner 1 out of range", {}},
        {"bow tie", {{0, 0}, {1, 1}, {1, 0}, {0, 1}}, "corners cross each other", {}},
        {"four equal corners", {{5, 5}, {5, 5}, {5, 5}, {5, 5}}, "footprint has no area", {}},
        {"equal after snapping", {{5, 5}, {5.00000001, 5}, {5, 5.00000004}},
         "footprint has no area", {}},
        {"collinear", {{0, 0}, {1, 1}, {3, 3}, {2, 2}}, "footprint has no area", {}},
        {"spike back along an edge", {{0, 0}, {2, 0}, {1, 0}, {1, 1}},
         "corners cross each other", {}},
        {"corner touching another edge", {{0, 0}, {4, 0}, {4, 4}, {2, 0}, {0, 4}},
         "corners cross each other", {}},
        {"corners meeting twice", {{0, 0}, {2, 0}, {1, 1}, {2, 2}, {0, 2}, {1, 1}},
         "corners cross each other", {}},
        {"around the North Pole", {{0, 85}, {90, 86}, {180, 85}, {-90, 86}},
         "footprint encloses the North Pole", {}},
        {"around the South Pole, on one latitude", {{0, -80}, {-120, -80}, {120, -80}},
         "footprint encloses the South Pole", {}},
        {"around the globe twice",
         {{0, 0}, {120, 1}, {-120, 2}, {0, 3}, {120, 4}, {-120, 5}},
         "footprint wider than the globe", {}},
        {"across the antimeridian",
         {{179, 10}, {-179, 10}, {-179, 9}, {179, 9}},
         "",
         {{{179, 10}, {179, 9}, {180, 9}, {180, 10}}, {{-180, 9}, {-179, 9}, {-179, 10}, {-180, 10}}},
         true},
        {"across it westwards from the first corner",
         {{-179.5, 0}, {-179.5, 1}, {179.5, 1}, {179.5, 0}},
         "",
         {{{179.5, 0}, {180, 0}, {180, 1}, {179.5, 1}}, {{-180, 0}, {-179.5, 0}, {-179.5, 1}, {-180, 1}}},
         true},
        // A C open to the east: it leaves the west side and comes back, so the east side
        // holds two arms, which a clip by half-planes would join by a line of no width.
        {"concave, crossing four times",
         {{179, 0}, {-179, 0}, {-179, 1}, {179.5, 1}, {179.5, 2}, {-179, 2}, {-179, 3}, {179, 3}},
         "",
         {{{179, 0}, {180, 0}, {180, 1}, {179.5, 1}, {179.5, 2}, {180, 2}, {180, 3}, {179, 3}},
          {{-180, 0}, {-179, 0}, {-179, 1}, {-180, 1}},
          {{-180, 2}, {-179, 2}, {-179, 3}, {-180, 3}}},
         true},
        // A notch from the east whose tip touches the cut: the east side is two pieces that
        // meet at a point, and the west side runs straight past it.
        {"pieces meeting at a point",
         {{179, 0}, {-178, 0}, {-178, 1}, {180, 2}, {-178, 3}, {-178, 4}, {179, 4}},
         "",
         {{{179, 0}, {180, 0}, {180, 4}, {179, 4}},
          {{-180, 0}, {-178, 0}, {-178, 1}, {-180, 2}},
          {{-180, 2}, {-178, 3}, {-178, 4}, {-180, 4}}},
         true},
        {"a corner on the cut, the rest across",
         {{179, 0}, {180, 1}, {-179, 0}, {180, -1}},
         "",
         {{{179, 0}, {180, -1}, {180, 1}}, {{-180, -1}, {-179, 0}, {-180, 1}}},
         true},
        {"only reaching -180 from the east: moved whole", {{-180, 0}, {170, 0}, {170, 10}}, "",
         {{{180, 0}, {170, 10}, {170, 0}}}},
        {"across, but with no area", {{179, 0}, {-179, 0}, {179.5, 0}},
         "footprint has no area", {}},
        {"across, as a bow tie", {{179, 0}, {-179, 1}, {-179, 0}, {179, 1}},
         "corners cross each other", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ShapeOrReason result = MakeFootprintShape(c.corners);
        EXPECT_EQ(result.reason, c.reason);
        ASSERT_EQ(result.shape.has_value(), std::string(c.reason).empty());
        if (!result.shape)
            continue;
        EXPECT_EQ(result.shape->crossesAntimeridian, c.crosses);
        std::vector<Ring> got;
        std::vector<Ring> want;
        for (const Ring& part : result.shape->parts)
            got.push_back(FromLeast(part));
        for (const Ring& part : c.parts)
            want.push_back(FromLeast(part));
        std::sort(got.begin(), got.end(), [](const Ring& a, const Ring& b) {
            return a[0].lon != b[0].lon ? a[0].lon < b[0].lon : a[0].lat < b[0].lat;
        });
        std::sort(want.begin(), want.end(), [](const Ring& a, const Ring& b) {
            return a[0].lon != b[0].lon ? a[0].lon < b[0].lon : a[0].lat < b[0].lat;
        });
        EXPECT_EQ(got, want);
        // An uncut footprint starts at the file's first corner, snapped.
        if (!c.crosses && c.corners[0].lon > -180) {
            EXPECT_EQ(result.shape->parts[0][0], c.parts[0][0]);
        }
    }
}

TEST(FootprintShape, CornersAreCounted) {
    Ring many;
    for (int i = 0; i < 1001; ++i)
        many.push_back({std::cos(i * 0.006), std::sin(i * 0.006)});
    EXPECT_EQ(MakeFootprintShape(many).reason, "more than 1000 corners");
    many.pop_back();
    EXPECT_TRUE(MakeFootprintShape(many).shape);
}

TEST(FootprintShape, BoundingBoxes) {
    const auto bounds = [](const Ring& corners) {
        const ShapeOrReason result = MakeFootprintShape(corners);
        return result.shape ? BoundsOf(*result.shape) : BoundingBox{-999, -999, -999, -999};
    };
    const auto expectBox = [](const BoundingBox& got, const BoundingBox& want) {
        EXPECT_EQ(got.west, want.west);
        EXPECT_EQ(got.south, want.south);
        EXPECT_EQ(got.east, want.east);
        EXPECT_EQ(got.north, want.north);
    };
    expectBox(bounds({{-118.1, 34.1}, {-117.4, 34.0}, {-117.6, 33.4}, {-118.3, 33.5}}),
              {-118.3, 33.4, -117.4, 34.1});
    // Cut: west is the western end of the part at +180, east the eastern end of the part
    // at -180.
    expectBox(bounds({{178.5, 10}, {-179, 11}, {-179.25, 9}, {179, 8}}), {178.5, 8, -179, 11});
    expectBox(bounds({{179, 0}, {-179, 0}, {-179, 1}, {179.5, 1}, {179.5, 2}, {-178, 2},
                      {-178, 3}, {179, 3}}),
              {179, 0, -178, 3});
    expectBox(BoundsOf(FootprintShape{}), {0, 0, 0, 0});
}

// Whatever the corners, a shape's coordinates are whole 1e-7 degrees, so a writer that
// keeps 7 decimals writes them as they are; a part lies within +-180 and runs
// counter-clockwise, and a cut footprint has the area the corners enclose.
TEST(FootprintShape, SevenDecimalsRoundTripAndAreaKept) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(0, 1);
    int shapes = 0;
    int cut = 0;
    for (int round = 0; round < 3000; ++round) {
        const double lon = round % 3 == 0 ? 179.9 : -180 + 360 * unit(random);
        const double lat = -80 + 160 * unit(random);
        const double size = std::pow(10, -6 * unit(random));
        Ring corners;
        // Star-shaped around the centre: a simple ring unless the antimeridian cuts it.
        const int count = 3 + static_cast<int>(unit(random) * 6);
        for (int i = 0; i < count; ++i) {
            const double angle = -6.283185307179586 * (i + 0.8 * unit(random)) / count;
            const double radius = size * (0.2 + unit(random));
            double x = lon + radius * std::cos(angle);
            if (x > 180)
                x -= 360;
            corners.push_back({x, lat + radius * std::sin(angle)});
        }
        const ShapeOrReason result = MakeFootprintShape(corners);
        if (!result.shape)
            continue;
        ++shapes;
        double area = 0;
        for (const Ring& part : result.shape->parts) {
            for (const GeoPoint& p : part) {
                char text[64];
                std::snprintf(text, sizeof text, "%.7f %.7f", p.lon, p.lat);
                GeoPoint back{};
                ASSERT_EQ(std::sscanf(text, "%lf %lf", &back.lon, &back.lat), 2);
                EXPECT_EQ(back, p) << text;
                EXPECT_LE(std::fabs(p.lon), 180);
            }
            EXPECT_GT(SignedArea(part), 0);
            area += SignedArea(part);
        }
        if (result.shape->crossesAntimeridian) {
            ++cut;
            Ring unwrapped = corners;
            for (GeoPoint& p : unwrapped) {
                p.lon = std::round(p.lon * 1e7) / 1e7 + (p.lon < 0 ? 360 : 0);
                p.lat = std::round(p.lat * 1e7) / 1e7;
            }
            EXPECT_NEAR(area, std::fabs(SignedArea(unwrapped)), 1e-6 * size);
        }
    }
    EXPECT_GT(shapes, 2000);
    EXPECT_GT(cut, 100);
}

} // namespace
} // namespace aster
