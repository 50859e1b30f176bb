// The footprint shape against GEOS, through GDAL: every shape it gives is valid, and every
// ring GEOS calls valid gives a shape.
#include "metadata/footprint_shape.h"

#include <cpl_error.h>
#include <geos_c.h>
#include <gmpxx.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_geometry.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace aster {
namespace {

using Ring = std::vector<GeoPoint>;

// Corners on the 1e-7 degree grid the shape snaps to, so GEOS is asked about the very
// points that were checked.
GeoPoint Corner(double lon, double lat) {
    lon = lon > 180 ? lon - 360 : lon < -180 ? lon + 360 : lon;
    return {std::round(lon * 1e7) / 1e7, std::round(std::clamp(lat, -90.0, 90.0) * 1e7) / 1e7};
}

// Corner sets of one kind each: 0 quadrilaterals, 1 near-degenerate ones, 2 bow ties,
// 3 spikes, 4 runs of corners in line, 5 corners a few grid steps apart, 6 whole degrees,
// 7 polygons of 5 to 20 corners, 8 across the antimeridian, 9 centred on it with corners
// on a quarter-degree grid (corners on the cut, pieces that meet at a point), 10 near a pole.
Ring Generate(std::mt19937_64& random, int kind) {
    const auto uniform = [&](double low, double high) {
        return std::uniform_real_distribution<double>(low, high)(random);
    };
    const auto whole = [&](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    const double step = 1e-7;
    const double size = std::pow(10, uniform(-6.5, 1));
    double lon = uniform(-170, 170);
    double lat = uniform(-80, 80);
    int count = kind == 7 ? whole(5, 20) : kind >= 8 ? whole(3, 14) : kind == 0 ? 4 : whole(3, 6);
    Ring ring;
    switch (kind) {
    case 2:
        return {Corner(lon, lat), Corner(lon + size, lat + size), Corner(lon + size, lat),
                Corner(lon + whole(-1, 1) * step, lat + size)};
    case 4: {
        // Whole grid steps along a line: in doubles only nearly in line.
        const double dx = std::floor(std::pow(10, uniform(0, 8.5)) * uniform(0, 1) + 1) * step;
        const double dy = std::floor(std::pow(10, uniform(0, 8.5)) * uniform(-0.5, 0.5)) * step;
        std::vector<int> at(static_cast<std::size_t>(count));
        std::iota(at.begin(), at.end(), 0);
        if (whole(0, 3) == 0)
            std::shuffle(at.begin(), at.end(), random);
        for (const int i : at)
            ring.push_back(Corner(lon + i * dx, lat + i * dy));
        if (whole(0, 3) != 0)
            ring.push_back(Corner(lon + uniform(0, count) * dx, lat + uniform(0, count) * dy));
        return ring;
    }
    case 5:
    case 6:
        for (int i = 0; i < count; ++i)
            ring.push_back(kind == 5 ? Corner(lon + whole(0, 3) * step, lat + whole(0, 3) * step)
                                     : Corner(whole(0, 3), whole(0, 3)));
        return ring;
    case 10:
        lat = whole(0, 1) == 0 ? uniform(80, 90) : uniform(-90, -80);
        for (double span = whole(0, 1) == 0 ? 360 : uniform(1, 300), i = 0; i < count; ++i)
            ring.push_back(Corner(lon + span * i / count + uniform(-3, 3), lat + uniform(-2, 2)));
        return ring;
    default:
        break;
    }
    // Corners around a centre, in turn (a star-shaped ring) or in any order.
    lon = kind == 8 ? 180 + uniform(-5 * size, 5 * size) : kind == 9 ? 180 : lon;
    const double reach = kind == 8 ? 5 * size : kind == 9 ? uniform(0.5, 3) : size;
    std::vector<double> angles;
    for (int i = 0; i < count; ++i)
        angles.push_back(uniform(0, 2 * std::numbers::pi));
    if (kind == 1 || kind == 3 || whole(0, 3) != 0)
        std::sort(angles.begin(), angles.end());
    for (const double angle : angles) {
        const double radius = reach * uniform(0.1, 1);
        ring.push_back(Corner(lon + radius * std::cos(angle), lat + radius * std::sin(angle)));
        if (kind == 9)
            ring.back() =
                Corner(std::round(ring.back().lon * 4) / 4, std::round(ring.back().lat * 4) / 4);
    }
    if (kind == 1) // the last corner within a few grid steps of the line through two others
        ring.back() = Corner(ring[2].lon + uniform(-0.2, 1.2) * (ring[0].lon - ring[2].lon) +
                                 whole(-2, 2) * step,
                             ring[2].lat + uniform(-0.2, 1.2) * (ring[0].lat - ring[2].lat));
    if (kind == 3) { // out from a corner and back to, or beside, its edge
        const GeoPoint& from = ring[0];
        const double t = uniform(0, 1);
        ring.insert(ring.begin() + 1,
                    {Corner(from.lon + uniform(-1, 1), from.lat + uniform(-1, 1)),
                     Corner(from.lon + t * (ring[1].lon - from.lon) + whole(-1, 1) * step,
                            from.lat + t * (ring[1].lat - from.lat))});
    }
    return ring;
}

std::unique_ptr<OGRPolygon> Polygon(const Ring& ring, double shift = 0) {
    auto linear = std::make_unique<OGRLinearRing>();
    for (const GeoPoint& p : ring)
        linear->addPoint(p.lon + shift, p.lat);
    linear->closeRings();
    auto polygon = std::make_unique<OGRPolygon>();
    polygon->addRingDirectly(linear.release());
    return polygon;
}

// GEOS's robust answer: some valid rings are slivers whose area no rounded sum can sign.
bool CounterClockwise(const Ring& ring) {
    const GEOSContextHandle_t geos = GEOS_init_r();
    GEOSCoordSequence* sequence =
        GEOSCoordSeq_create_r(geos, static_cast<unsigned>(ring.size() + 1), 2);
    for (std::size_t i = 0; i <= ring.size(); ++i)
        GEOSCoordSeq_setXY_r(geos, sequence, static_cast<unsigned>(i), ring[i % ring.size()].lon,
                             ring[i % ring.size()].lat);
    char ccw = 0;
    const bool known = GEOSCoordSeq_isCCW_r(geos, sequence, &ccw) == 1;
    GEOSCoordSeq_destroy_r(geos, sequence);
    GEOS_finish_r(geos);
    return known && ccw == 1;
}

// Whether three distinct corners lie exactly in line, in rationals. GEOS signs an
// orientation in double-double arithmetic, which can miss an exact zero: it may then accept
// a corner exactly on another edge, or a ring of no area, which the shape refuses.
bool ThreeExactlyInLine(const Ring& ring) {
    for (std::size_t i = 0; i < ring.size(); ++i)
        for (std::size_t j = i + 1; j < ring.size(); ++j)
            for (std::size_t k = j + 1; k < ring.size(); ++k) {
                const GeoPoint& a = ring[i];
                const GeoPoint& b = ring[j];
                const GeoPoint& c = ring[k];
                if (!(a == b || b == c || a == c) &&
                    sgn((mpq_class(a.lon) - c.lon) * (mpq_class(b.lat) - c.lat) -
                        (mpq_class(a.lat) - c.lat) * (mpq_class(b.lon) - c.lon)) == 0)
                    return true;
            }
    return false;
}

void DropRepeats(Ring& ring) {
    ring.erase(std::unique(ring.begin(), ring.end()), ring.end());
    while (ring.size() > 1 && ring.back() == ring.front())
        ring.pop_back();
}

// A corner at a pole stands for the pole between the meridians of the corners beside it
// (its own longitude towards a neighbour at the pole too).
Ring SpreadAtPoles(const Ring& ring) {
    const auto atPole = [](const GeoPoint& p) { return std::fabs(p.lat) == 90; };
    Ring spread;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const GeoPoint& p = ring[i];
        const GeoPoint& before = ring[(i + ring.size() - 1) % ring.size()];
        const GeoPoint& after = ring[(i + 1) % ring.size()];
        if (!atPole(p)) {
            spread.push_back(p);
            continue;
        }
        spread.push_back({atPole(before) ? p.lon : before.lon, p.lat});
        spread.push_back({atPole(after) ? p.lon : after.lon, p.lat});
    }
    DropRepeats(spread);
    // Going once round the globe but for one edge along the pole, whose short way runs
    // round the same way: that edge runs back the long way, by a corner halfway.
    const auto units = [](double degrees) { return std::llround(degrees * 1e7); };
    const auto wrap = [](long long step) {
        return step > 1'800'000'000    ? -3'600'000'000LL
               : step < -1'800'000'000 ? 3'600'000'000LL
                                       : 0;
    };
    long long turns = 0;
    std::vector<std::size_t> poleEdges;
    for (std::size_t i = 0; i < spread.size(); ++i) {
        const GeoPoint& a = spread[i];
        const GeoPoint& b = spread[(i + 1) % spread.size()];
        turns += wrap(units(b.lon) - units(a.lon));
        if (atPole(a) && a.lat == b.lat && a.lon != b.lon)
            poleEdges.push_back(i);
    }
    if (std::llabs(turns) == 3'600'000'000LL && poleEdges.size() == 1) {
        const GeoPoint& a = spread[poleEdges[0]];
        const GeoPoint& b = spread[(poleEdges[0] + 1) % spread.size()];
        const long long step = units(b.lon) - units(a.lon) + wrap(units(b.lon) - units(a.lon));
        if ((step > 0) == (turns > 0)) {
            long long half =
                units(a.lon) + (step > 0 ? step - 3'600'000'000LL : step + 3'600'000'000LL) / 2;
            half += half > 1'800'000'000    ? -3'600'000'000LL
                    : half < -1'800'000'000 ? 3'600'000'000LL
                                            : 0;
            spread.insert(spread.begin() + static_cast<std::ptrdiff_t>(poleEdges[0]) + 1,
                          {static_cast<double>(half) / 1e7, a.lat});
        }
    }
    return spread;
}

// Asks GEOS about the corners and the shape made of them; counts the footprints cut.
void CheckAgainstGeos(const Ring& corners, int& cut, int& convex) {
    std::string shown;
    for (const GeoPoint& p : corners)
        shown += " {" + std::to_string(p.lon) + ", " + std::to_string(p.lat) + "},";
    SCOPED_TRACE(shown);
    const ShapeOrReason result = MakeFootprintShape(corners);
    ASSERT_NE(result.shape.has_value(), !result.reason.empty());
    if (result.shape) {
        OGRMultiPolygon all;
        for (const Ring& part : result.shape->parts) {
            const auto polygon = Polygon(part);
            EXPECT_TRUE(polygon->IsValid()) << polygon->exportToWkt();
            EXPECT_TRUE(CounterClockwise(part)) << polygon->exportToWkt();
            for (const GeoPoint& p : part) { // written with 7 decimals, read back the same
                char text[32];
                std::snprintf(text, sizeof text, "%.7f", p.lon);
                EXPECT_EQ(std::strtod(text, nullptr), p.lon);
                EXPECT_LE(std::fabs(p.lon), 180);
            }
            all.addGeometry(polygon.get());
        }
        EXPECT_TRUE(all.IsValid()) << all.exportToWkt();
    }

    // The corners without repeats, spread at the poles, longitudes made continuous: one
    // plane polygon that may pass +-180, crossing it when a step is more than 180 degrees.
    Ring ring = corners;
    DropRepeats(ring);
    ring = SpreadAtPoles(ring);
    const Ring inRange = ring;
    double turns = 0;
    bool crosses = false;
    for (std::size_t i = 1; i <= ring.size(); ++i) {
        const double step = inRange[i % ring.size()].lon - inRange[i - 1].lon;
        turns += step > 180 ? -360 : step < -180 ? 360 : 0;
        crosses = crosses || std::fabs(step) > 180;
        if (i < ring.size())
            ring[i].lon = std::round((inRange[i].lon + turns) * 1e7) / 1e7;
    }
    const auto [west, east] =
        std::minmax_element(ring.begin(), ring.end(),
                            [](const GeoPoint& a, const GeoPoint& b) { return a.lon < b.lon; });
    const bool valid = ring.size() >= 3 && Polygon(ring)->IsValid();
    // What the layer writes unasked is what GEOS would pass: a bow tie, a ring run
    // clockwise or three corners in line are never taken for convex.
    if (IsConvexPart(ring)) {
        EXPECT_TRUE(valid && CounterClockwise(ring));
        ++convex;
    }
    if (std::fabs(turns) == 360) {
        EXPECT_EQ(result.reason.rfind("footprint encloses the ", 0), 0u) << result.reason;
    } else if (turns != 0 || east->lon - west->lon >= 360) {
        EXPECT_EQ(result.reason, "footprint wider than the globe");
    } else if (valid && !result.shape) {
        EXPECT_TRUE(ThreeExactlyInLine(ring)) << result.reason;
    } else if (!crosses) {
        // GEOS and the shape agree both ways, and the shape is the corners' own ring.
        ASSERT_EQ(result.shape.has_value(), valid) << result.reason;
        Ring reversed = ring;
        std::reverse(reversed.begin() + 1, reversed.end());
        if (valid) {
            EXPECT_TRUE(result.shape->parts == std::vector<Ring>{ring} ||
                        result.shape->parts == std::vector<Ring>{reversed});
        }
    } else if (valid) {
        // The parts, moved back beside each other, make up the corners' polygon.
        ++cut;
        const auto whole = Polygon(ring);
        const double tolerance = 1e-7 * whole->getExteriorRing()->get_Length();
        double area = 0;
        for (const Ring& part : result.shape->parts) {
            const double shift = part[0].lon - 360 >= west->lon - 1e-9   ? -360
                                 : part[0].lon + 360 <= east->lon + 1e-9 ? 360
                                                                         : 0;
            const auto back = Polygon(part, shift);
            const std::unique_ptr<OGRGeometry> inside(back->Intersection(whole.get()));
            ASSERT_TRUE(inside);
            EXPECT_NEAR(OGR_G_Area(OGRGeometry::ToHandle(inside.get())), back->get_Area(),
                        tolerance);
            area += back->get_Area();
        }
        EXPECT_NEAR(area, whole->get_Area(), tolerance);
    }
}

TEST(FootprintShapeValidity, AgreesWithGeos) {
    CPLPushErrorHandler(CPLQuietErrorHandler); // GEOS's notes on invalid rings
    std::mt19937_64 random(20240611);
    int cut = 0;
    int convex = 0;
    for (int kind = 0; kind <= 10; ++kind)
        for (int round = 0; round < 2000 && !HasFatalFailure(); ++round)
            CheckAgainstGeos(Generate(random, kind), cut, convex);
    EXPECT_GT(cut, 2000);
    EXPECT_GT(convex, 2000);
    CPLPopErrorHandler();
}

// Corners a grid step from where an edge crosses the antimeridian, which rounded to the
// nearest step would make a piece cross itself or lose its area; and runs of corners
// exactly in line that GEOS accepts.
TEST(FootprintShapeValidity, HardCases) {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const Ring cases[] = {
        {{179.9999869, 66.3130747},
         {179.9999999, 66.3130682},
         {179.9999952, 66.3130695},
         {179.9999942, 66.3130683},
         {-179.9999951, 66.3130681},
         {-179.9999996, 66.3130589},
         {179.999992, 66.3130702}},
        {{180, -5.4883758}, {179.9999992, -5.4883744}, {-179.9999999, -5.488376}},
        {{-179.9999672, -70.3699736},
         {-179.9999613, -70.3699465},
         {-179.9999823, -70.3699514},
         {-179.9999907, -70.3699623},
         {179.9999871, -70.3699238},
         {179.9999753, -70.3699629},
         {179.9999796, -70.3699724},
         {-179.9999999, -70.3699778},
         {179.9999647, -70.3699907},
         {179.9999861, -70.369988},
         {179.9999713, -70.3700048},
         {-179.9999931, -70.3700106},
         {-179.9999891, -70.3700322},
         {-179.9999875, -70.3699989},
         {-179.999986, -70.3699959},
         {-179.9999858, -70.3699906},
         {-179.999964, -70.3700016}},
        {{7.4893088, -29.4110503},
         {1.8508013, -16.8873024},
         {-3.7877062, -4.3635545},
         {-9.4262137, 8.1601934},
         {13.1278163, -41.9347982},
         {7.2526647, -5.4766407}},
        {{-73.1942959, 16.4756759},
         {-48.223434, 7.7656634},
         {-23.2525721, -0.9443491},
         {1.7182898, -9.6543616},
         {26.6891517, -18.3643741}},
    };
    int cut = 0;
    int convex = 0;
    for (const Ring& corners : cases)
        CheckAgainstGeos(corners, cut, convex);
    EXPECT_EQ(cut, 3);
    for (const Ring& inLine : {cases[3], cases[4]})
        EXPECT_TRUE(Polygon(inLine)->IsValid() && !MakeFootprintShape(inLine).shape);
    CPLPopErrorHandler();
}

} // namespace
} // namespace aster
