#include "metadata/footprint_shape.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace aster {
namespace {

using Ring = std::vector<GeoPoint>;

struct Case {
    const char* name;
    Ring corners;
    std::string reason;           // empty when a shape is given
    std::vector<Ring> parts = {}; // an uncut one from its first corner; cut ones from any corner
    bool crosses = false;
};

// Cut parts turned to start at their least point, and in order: the same set of rings,
// walked the same way, compares equal.
std::vector<Ring> Canonical(std::vector<Ring> parts) {
    const auto less = [](const GeoPoint& a, const GeoPoint& b) {
        return a.lon != b.lon ? a.lon < b.lon : a.lat < b.lat;
    };
    for (Ring& part : parts)
        std::rotate(part.begin(), std::min_element(part.begin(), part.end(), less), part.end());
    std::sort(parts.begin(), parts.end(),
              [&](const Ring& a, const Ring& b) { return less(a[0], b[0]); });
    return parts;
}

TEST(FootprintShape, CaseTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        // Scene files give their corners clockwise: reversed, the first corner kept first.
        {"clockwise scene",
         {{-118.1, 34.1}, {-117.4, 34.0}, {-117.6, 33.4}, {-118.3, 33.5}},
         "",
         {{{-118.1, 34.1}, {-118.3, 33.5}, {-117.6, 33.4}, {-117.4, 34.0}}}},
        {"closed ring, repeated corner",
         {{0, 0}, {1, 0}, {1, 0}, {1, 1}, {0, 1}, {0, 0}},
         "",
         {{{0, 0}, {1, 0}, {1, 1}, {0, 1}}}},
        {"snapped to 1e-7, then repeats dropped",
         {{10.123456789, 1}, {10.12345681, 1}, {11, 1}, {11, 2}},
         "",
         {{{10.1234568, 1}, {11, 1}, {11, 2}}}},
        {"a hair beyond 180 snaps onto it",
         {{180.00000004, 0}, {179, 1}, {179, 0}},
         "",
         {{{180, 0}, {179, 1}, {179, 0}}}},
        {"corners in line along an edge kept",
         {{0, 0}, {1, 0}, {2, 0}, {2, 2}},
         "",
         {{{0, 0}, {1, 0}, {2, 0}, {2, 2}}}},
        {"two corners", {{0, 0}, {1, 1}}, "fewer than 3 corners"},
        {"not a number", {{0, 0}, {1, nan}, {1, 1}}, "corner 2 is not a finite number"},
        {"infinite", {{0, 0}, {1, 0}, {INFINITY, 1}}, "corner 3 is not a finite number"},
        {"latitude beyond 90", {{0, 0}, {1, 0}, {1, 90.5}}, "latitude of corner 3 out of range"},
        {"longitude beyond 180",
         {{-180.1, 0}, {1, 0}, {1, 1}},
         "longitude of corner 1 out of range"},
        {"bow tie", {{0, 0}, {1, 1}, {1, 0}, {0, 1}}, "corners cross each other"},
        {"four equal corners", {{5, 5}, {5, 5}, {5, 5}, {5, 5}}, "footprint has no area"},
        {"equal once snapped", {{5, 5}, {5.00000001, 5}, {5, 5.00000004}}, "footprint has no area"},
        {"in line", {{0, 0}, {1, 1}, {3, 3}, {2, 2}}, "footprint has no area"},
        {"spike back along an edge", {{0, 0}, {2, 0}, {1, 0}, {1, 1}}, "corners cross each other"},
        {"corner on another edge",
         {{0, 0}, {4, 0}, {4, 4}, {2, 0}, {0, 4}},
         "corners cross each other"},
        {"corner met twice",
         {{0, 0}, {2, 0}, {1, 1}, {2, 2}, {0, 2}, {1, 1}},
         "corners cross each other"},
        {"around the North Pole",
         {{0, 85}, {90, 86}, {180, 85}, {-90, 86}},
         "footprint encloses the North Pole"},
        // A corner at a pole, by any longitude, is the pole between its neighbours'
        // meridians; a cap's edge along the pole stays as it is.
        {"touching the North Pole, written at 45",
         {{-10, 85}, {45, 90}, {10, 85}, {0, 84}},
         "",
         {{{-10, 85}, {0, 84}, {10, 85}, {10, 90}, {-10, 90}}}},
        {"touching the North Pole, written at 180",
         {{-10, 85}, {180, 90}, {10, 85}, {0, 84}},
         "",
         {{{-10, 85}, {0, 84}, {10, 85}, {10, 90}, {-10, 90}}}},
        {"touching the South Pole across the antimeridian",
         {{170, -85}, {0, -90}, {-170, -85}},
         "",
         {{{170, -90}, {180, -90}, {180, -85}, {170, -85}},
          {{-180, -90}, {-170, -90}, {-170, -85}, {-180, -85}}},
         true},
        {"a wide cap touching the North Pole at one corner",
         {{-100, 80}, {0, 80}, {100, 80}, {0, 90}},
         "",
         {{{-100, 80}, {0, 80}, {100, 80}, {100, 90}, {0, 90}, {-100, 90}}}},
        {"a cap along the North Pole",
         {{-180, 80}, {0, 80}, {180, 80}, {180, 90}, {0, 90}, {-180, 90}},
         "",
         {{{-180, 80}, {0, 80}, {180, 80}, {180, 90}, {0, 90}, {-180, 90}}}},
        {"around the South Pole, on one latitude",
         {{0, -80}, {-120, -80}, {120, -80}},
         "footprint encloses the South Pole"},
        {"around the globe twice",
         {{0, 0}, {120, 1}, {-120, 2}, {0, 3}, {120, 4}, {-120, 5}},
         "footprint wider than the globe"},
        {"east round the globe and back",
         {{0, 0}, {120, 0}, {-120, 0}, {0, 1}, {-120, 1}, {120, 1}},
         "footprint wider than the globe"},
        {"across the antimeridian",
         {{179, 10}, {-179, 10}, {-179, 9}, {179, 9}},
         "",
         {{{179, 10}, {179, 9}, {180, 9}, {180, 10}},
          {{-180, 9}, {-179, 9}, {-179, 10}, {-180, 10}}},
         true},
        {"across it westwards",
         {{-179.5, 0}, {-179.5, 1}, {179.5, 1}, {179.5, 0}},
         "",
         {{{179.5, 0}, {180, 0}, {180, 1}, {179.5, 1}},
          {{-180, 0}, {-179.5, 0}, {-179.5, 1}, {-180, 1}}},
         true},
        // A C open to the east leaves the west side and comes back: two arms on the east,
        // which a clip by half-planes would join by an edge of no width.
        {"concave, crossing four times",
         {{179, 0}, {-179, 0}, {-179, 1}, {179.5, 1}, {179.5, 2}, {-179, 2}, {-179, 3}, {179, 3}},
         "",
         {{{179, 0}, {180, 0}, {180, 1}, {179.5, 1}, {179.5, 2}, {180, 2}, {180, 3}, {179, 3}},
          {{-180, 0}, {-179, 0}, {-179, 1}, {-180, 1}},
          {{-180, 2}, {-179, 2}, {-179, 3}, {-180, 3}}},
         true},
        // A notch from the east whose tip touches the cut: two pieces on the east that meet
        // at a point; the west piece runs straight past it.
        {"pieces meeting at a point",
         {{179, 0}, {-178, 0}, {-178, 1}, {180, 2}, {-178, 3}, {-178, 4}, {179, 4}},
         "",
         {{{179, 0}, {180, 0}, {180, 4}, {179, 4}},
          {{-180, 0}, {-178, 0}, {-178, 1}, {-180, 2}},
          {{-180, 2}, {-178, 3}, {-178, 4}, {-180, 4}}},
         true},
        {"a corner on the cut",
         {{179, 0}, {180, 1}, {-179, 0}, {180, -1}},
         "",
         {{{179, 0}, {180, -1}, {180, 1}}, {{-180, -1}, {-179, 0}, {-180, 1}}},
         true},
        {"reaching -180 from the east: moved whole",
         {{-180, 0}, {170, 0}, {170, 10}},
         "",
         {{{180, 0}, {170, 10}, {170, 0}}}},
        {"across, in line", {{179, 0}, {-179, 0}, {179.5, 0}}, "footprint has no area"},
        {"across, a bow tie",
         {{179, 0}, {-179, 1}, {-179, 0}, {179, 1}},
         "corners cross each other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ShapeOrReason result = MakeFootprintShape(c.corners);
        EXPECT_EQ(result.reason, c.reason);
        ASSERT_EQ(result.shape.has_value(), c.reason.empty());
        if (result.shape) {
            EXPECT_EQ(result.shape->crossesAntimeridian, c.crosses);
            EXPECT_EQ(c.crosses ? Canonical(result.shape->parts) : result.shape->parts,
                      c.crosses ? Canonical(c.parts) : c.parts);
        }
    }
}

TEST(FootprintShape, CornersAreCounted) {
    Ring arc;
    for (int i = 0; i < 1001; ++i)
        arc.push_back({std::cos(i * 0.006), std::sin(i * 0.006)});
    EXPECT_EQ(MakeFootprintShape(arc).reason, "more than 1000 corners");
    arc.pop_back();
    EXPECT_TRUE(MakeFootprintShape(arc).shape);
}

TEST(FootprintShape, BoundingBoxes) {
    const auto bounds = [](const Ring& corners) {
        const ShapeOrReason result = MakeFootprintShape(corners);
        return result.shape ? BoundsOf(*result.shape) : BoundingBox{-999, -999, -999, -999};
    };
    const auto same = [](const BoundingBox& a, const BoundingBox& b) {
        return a.west == b.west && a.south == b.south && a.east == b.east && a.north == b.north;
    };
    EXPECT_TRUE(same(bounds({{-118.1, 34.1}, {-117.4, 34.0}, {-117.6, 33.4}, {-118.3, 33.5}}),
                     {-118.3, 33.4, -117.4, 34.1}));
    // Cut: from the west end of the parts at +180 to the east end of those at -180.
    EXPECT_TRUE(
        same(bounds({{178.5, 10}, {-179, 11}, {-179.25, 9}, {179, 8}}), {178.5, 8, -179, 11}));
    EXPECT_TRUE(same(bounds({{179, 0},
                             {-179, 0},
                             {-179, 1},
                             {179.5, 1},
                             {179.5, 2},
                             {-178, 2},
                             {-178, 3},
                             {179, 3}}),
                     {179, 0, -178, 3}));
    EXPECT_TRUE(same(BoundsOf(FootprintShape{}), {0, 0, 0, 0}));
}

TEST(FootprintShape, SeveralPolygons) {
    const Ring square = {{10, 10}, {11, 10}, {11, 11}, {10, 11}};
    const Ring far = {{20, 10}, {21, 10}, {21, 11}};
    const Ring within = {{10.2, 10.2}, {10.8, 10.2}, {10.5, 10.8}};
    const Ring across = {{178.5, 10}, {-179, 11}, {-179.25, 9}, {179, 8}};
    const Ring bowTie = {{0, 0}, {1, 1}, {1, 0}, {0, 1}};
    struct Several {
        const char* name;
        std::vector<Ring> rings;
        std::string reason;
        std::size_t parts = 0;
        bool crosses = false;
    };
    const Several cases[] = {
        {"apart", {square, far}, "", 2},
        {"a further ring across the antimeridian", {square, across}, "", 3, true},
        {"a clockwise further ring", {square, {{20, 10}, {21, 11}, {21, 10}}}, "", 2},
        {"overlapping", {square, {{10.5, 10.5}, {12, 10.5}, {12, 12}}}, "polygons 1 and 2 meet"},
        {"one within the other", {square, within}, "polygons 1 and 2 meet"},
        {"sharing an edge", {square, {{11, 10}, {12, 10}, {12, 11}, {11, 11}}},
         "polygons 1 and 2 meet"},
        {"touching at a corner", {square, far, {{11, 11}, {12, 12}, {11, 12}}},
         "polygons 1 and 3 meet"},
        {"a bad further ring", {square, far, bowTie}, "polygon 3: corners cross each other"},
        {"a bad first ring", {{{1, 1}, {2, 2}}, square}, "polygon 1: fewer than 3 corners"},
    };
    for (const Several& c : cases) {
        SCOPED_TRACE(c.name);
        const std::span<const Ring> more(c.rings.begin() + 1, c.rings.end());
        const ShapeOrReason result = MakeFootprintShape(c.rings.front(), more);
        EXPECT_EQ(result.reason, c.reason);
        ASSERT_EQ(result.shape.has_value(), c.reason.empty());
        if (result.shape) {
            EXPECT_EQ(result.shape->parts.size(), c.parts);
            EXPECT_EQ(result.shape->crossesAntimeridian, c.crosses);
            EXPECT_EQ(result.shape->parts.front(), MakeFootprintShape(square).shape->parts.front());
        }
    }
    // No further ring: the one ring's shape.
    EXPECT_EQ(MakeFootprintShape(across, {}).shape->parts, MakeFootprintShape(across).shape->parts);
    // The corners of all rings are counted together.
    Ring arc;
    for (int i = 0; i < 998; ++i)
        arc.push_back({std::cos(i * 0.006), std::sin(i * 0.006)});
    const std::vector<Ring> three = {far};
    EXPECT_EQ(MakeFootprintShape(arc, three).reason, "more than 1000 corners");
}

// A footprint cut at +-180, given again as its parts one polygon each, gives the same parts
// and the same box: a record that holds an orbit already cut reads as the uncut one.
TEST(FootprintShape, PartsGivenAsPolygonsReadAsTheCutFootprint) {
    const Ring rings[] = {
        {{178.5, 10}, {-179, 11}, {-179.25, 9}, {179, 8}},
        {{179, 0}, {-179, 0}, {-179, 1}, {179.5, 1}, {179.5, 2}, {-178, 2}, {-178, 3}, {179, 3}},
        {{170, -20}, {-170, -20}, {-170, -10}, {170, -10}},
    };
    for (const Ring& ring : rings) {
        const ShapeOrReason cut = MakeFootprintShape(ring);
        ASSERT_TRUE(cut.shape) << cut.reason;
        ASSERT_TRUE(cut.shape->crossesAntimeridian);
        const std::vector<Ring>& parts = cut.shape->parts;
        const ShapeOrReason again =
            MakeFootprintShape(parts.front(), std::span<const Ring>(parts.begin() + 1, parts.end()));
        ASSERT_TRUE(again.shape) << again.reason;
        EXPECT_EQ(again.shape->parts, parts);
        EXPECT_TRUE(again.shape->crossesAntimeridian);
        const BoundingBox a = BoundsOf(*cut.shape);
        const BoundingBox b = BoundsOf(*again.shape);
        EXPECT_TRUE(a.west == b.west && a.south == b.south && a.east == b.east && a.north == b.north);
    }
}

} // namespace
} // namespace aster
