// The footprint shape against GEOS, through GDAL: every shape it gives is valid, and every
// ring GEOS calls valid (not crossing the antimeridian) gives a shape.
#include "metadata/footprint_shape.h"

#include <cpl_error.h>
#include <geos_c.h>
#include <gmpxx.h>
#include <gtest/gtest.h>
#include <ogr_api.h>
#include <ogr_geometry.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <numbers>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace aster {
namespace {

using Ring = std::vector<GeoPoint>;
using Random = std::mt19937_64;

// Corners are drawn on the 1e-7 degree grid the shape snaps to, so GEOS is asked about
// the very points that were checked.
double OnGrid(double degrees) {
    return std::round(degrees * 1e7) / 1e7;
}

GeoPoint Corner(double lon, double lat) {
    while (lon > 180)
        lon -= 360;
    while (lon < -180)
        lon += 360;
    return {OnGrid(lon), OnGrid(std::clamp(lat, -90.0, 90.0))};
}

double Uniform(Random& random, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(random);
}

int Whole(Random& random, int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
}

// Corners around a centre at angles in turn (a simple, star-shaped ring) or in any order.
Ring Around(Random& random, double lon, double lat, double size, int count, bool ordered) {
    std::vector<double> angles;
    for (int i = 0; i < count; ++i)
        angles.push_back(Uniform(random, 0, 2 * std::numbers::pi));
    if (ordered)
        std::sort(angles.begin(), angles.end());
    Ring ring;
    for (const double angle : angles) {
        const double radius = size * Uniform(random, 0.1, 1);
        ring.push_back(Corner(lon + radius * std::cos(angle), lat + radius * std::sin(angle)));
    }
    return ring;
}

double Size(Random& random) {
    return std::pow(10, Uniform(random, -6.5, 1));
}

const std::map<std::string, std::function<Ring(Random&)>> kGenerators = {
    {"quadrilaterals",
     [](Random& r) {
         return Around(r, Uniform(r, -170, 170), Uniform(r, -80, 80), Size(r), 4, Whole(r, 0, 1));
     }},
    {"near-degenerate quadrilaterals",
     [](Random& r) {
         // The fourth corner within a few grid steps of the line through two others.
         Ring ring = Around(r, Uniform(r, -170, 170), Uniform(r, -80, 80), Size(r), 3, true);
         const double t = Uniform(r, -0.2, 1.2);
         ring.push_back(Corner(ring[2].lon + t * (ring[0].lon - ring[2].lon) + Whole(r, -2, 2) * 1e-7,
                               ring[2].lat + t * (ring[0].lat - ring[2].lat) + Whole(r, -2, 2) * 1e-7));
         return ring;
     }},
    {"bow ties",
     [](Random& r) {
         const double lon = Uniform(r, -170, 170);
         const double lat = Uniform(r, -80, 80);
         const double w = Size(r);
         const double h = Size(r);
         return Ring{Corner(lon, lat), Corner(lon + w, lat + h), Corner(lon + w, lat),
                     Corner(lon + Whole(r, -1, 1) * 1e-7, lat + h)};
     }},
    {"spikes",
     [](Random& r) {
         Ring ring = Around(r, Uniform(r, -170, 170), Uniform(r, -80, 80), Size(r), Whole(r, 3, 6), true);
         // Out from a corner and back to, or next to, where it left.
         const std::size_t at = static_cast<std::size_t>(Whole(r, 0, static_cast<int>(ring.size()) - 1));
         const GeoPoint from = ring[at];
         const GeoPoint to = ring[(at + 1) % ring.size()];
         const double t = Uniform(r, 0, 1);
         const GeoPoint tip = Corner(from.lon + Uniform(r, -1, 1), from.lat + Uniform(r, -1, 1));
         const GeoPoint back = Corner(from.lon + t * (to.lon - from.lon) + Whole(r, -1, 1) * 1e-7,
                                      from.lat + t * (to.lat - from.lat));
         ring.insert(ring.begin() + static_cast<long>(at) + 1, {tip, back});
         return ring;
     }},
    {"collinear runs",
     [](Random& r) {
         // Whole grid steps along a line: in doubles the corners are only nearly in line,
         // which rounded arithmetic cannot tell from exactly.
         const double lon = OnGrid(Uniform(r, -170, 0));
         const double lat = OnGrid(Uniform(r, -20, 20));
         const double reach = std::pow(10, Uniform(r, 0, 8.5)); // up to 30 degrees a step
         const int dx = static_cast<int>(reach * Uniform(r, 0, 1)) + 1;
         const int dy = static_cast<int>(reach * Uniform(r, -0.5, 0.5));
         Ring ring;
         const int run = Whole(r, 3, 6);
         std::vector<int> steps(static_cast<std::size_t>(run));
         std::iota(steps.begin(), steps.end(), 0);
         if (Whole(r, 0, 3) == 0)
             std::shuffle(steps.begin(), steps.end(), r);
         for (const int i : steps)
             ring.push_back(Corner(lon + i * dx * 1e-7, lat + i * dy * 1e-7));
         if (Whole(r, 0, 3) != 0)
             ring.push_back(Corner(lon + Uniform(r, 0, run) * dx * 1e-7,
                                   lat + Uniform(r, 0, run) * dy * 1e-7 + Whole(r, -2, 2) * 1e-7));
         return ring;
     }},
    {"tiny areas",
     [](Random& r) {
         // Corners a few grid steps apart: most sets touch, cross or lie on a line.
         const double lon = OnGrid(Uniform(r, -170, 170));
         const double lat = OnGrid(Uniform(r, -80, 80));
         Ring ring;
         const int count = Whole(r, 3, 6);
         for (int i = 0; i < count; ++i)
             ring.push_back(Corner(lon + Whole(r, 0, 3) * 1e-7, lat + Whole(r, 0, 3) * 1e-7));
         return ring;
     }},
    {"whole degrees",
     [](Random& r) {
         Ring ring;
         const int count = Whole(r, 3, 7);
         for (int i = 0; i < count; ++i)
             ring.push_back(Corner(Whole(r, 0, 3), Whole(r, 0, 3)));
         return ring;
     }},
    {"polygons of 5 to 20 corners",
     [](Random& r) {
         return Around(r, Uniform(r, -170, 170), Uniform(r, -80, 80), Size(r), Whole(r, 5, 20),
                       Whole(r, 0, 3) != 0);
     }},
    {"across the antimeridian",
     [](Random& r) {
         const double size = Size(r) * 5;
         const double lon = 180 + Uniform(r, -size, size);
         if (Whole(r, 0, 2) == 0) {
             // Whole degrees on either side: corners on the cut, edges along it.
             Ring ring;
             const int count = Whole(r, 3, 7);
             for (int i = 0; i < count; ++i)
                 ring.push_back(Corner(178 + Whole(r, 0, 4), Whole(r, 0, 3)));
             return ring;
         }
         return Around(r, lon, Uniform(r, -80, 80), size, Whole(r, 3, 20), Whole(r, 0, 3) != 0);
     }},
    {"centred on the antimeridian",
     [](Random& r) {
         // Corners on a quarter-degree grid around a centre on +-180: corners on the cut,
         // notches whose tips touch it, pieces that meet at a point.
         Ring ring = Around(r, Whole(r, 0, 1) == 0 ? 180 : -180, Uniform(r, -60, 60),
                            Uniform(r, 0.5, 3), Whole(r, 4, 14), Whole(r, 0, 4) != 0);
         for (GeoPoint& p : ring)
             p = Corner(std::round(p.lon * 4) / 4, std::round(p.lat * 4) / 4);
         return ring;
     }},
    {"near the poles",
     [](Random& r) {
         const double lat = Whole(r, 0, 1) == 0 ? Uniform(r, 80, 90) : Uniform(r, -90, -80);
         const int count = Whole(r, 3, 12);
         Ring ring;
         const double start = Uniform(r, -180, 180);
         const double span = Whole(r, 0, 1) == 0 ? 360 : Uniform(r, 1, 300);
         for (int i = 0; i < count; ++i)
             ring.push_back(Corner(start + span * i / count + Uniform(r, -3, 3),
                                   lat + Uniform(r, -2, 2)));
         return ring;
     }},
};

std::unique_ptr<OGRPolygon> Polygon(const Ring& ring, double shift = 0) {
    auto linear = std::make_unique<OGRLinearRing>();
    for (const GeoPoint& p : ring)
        linear->addPoint(p.lon + shift, p.lat);
    linear->closeRings();
    auto polygon = std::make_unique<OGRPolygon>();
    polygon->addRingDirectly(linear.release());
    return polygon;
}

// Whether a ring runs counter-clockwise, by GEOS's robust orientation: some valid rings
// are slivers whose area no rounded sum can sign.
class GeosOrientation {
  public:
    GeosOrientation() : m_context(GEOS_init_r()) {}
    ~GeosOrientation() { GEOS_finish_r(m_context); }
    GeosOrientation(const GeosOrientation&) = delete;
    GeosOrientation& operator=(const GeosOrientation&) = delete;

    bool counterClockwise(const Ring& ring) const {
        GEOSCoordSequence* sequence =
            GEOSCoordSeq_create_r(m_context, static_cast<unsigned>(ring.size() + 1), 2);
        for (std::size_t i = 0; i <= ring.size(); ++i) {
            const GeoPoint& p = ring[i % ring.size()];
            GEOSCoordSeq_setXY_r(m_context, sequence, static_cast<unsigned>(i), p.lon, p.lat);
        }
        char ccw = 0;
        const int done = GEOSCoordSeq_isCCW_r(m_context, sequence, &ccw);
        GEOSCoordSeq_destroy_r(m_context, sequence);
        return done == 1 && ccw == 1;
    }

  private:
    GEOSContextHandle_t m_context;
};

// Whether three distinct corners lie exactly on one line, by rational arithmetic on the
// doubles. GEOS signs an orientation in double-double arithmetic, which can miss an exact
// zero when the differences of the corners are not doubles themselves: it may then accept
// a ring with a corner exactly on another edge, or with no area at all. The shape decides
// orientations exactly, so it refuses such rings; this tells those cases apart.
bool ThreeExactlyInLine(const Ring& ring) {
    for (std::size_t i = 0; i < ring.size(); ++i)
        for (std::size_t j = i + 1; j < ring.size(); ++j)
            for (std::size_t k = j + 1; k < ring.size(); ++k) {
                const GeoPoint& a = ring[i];
                const GeoPoint& b = ring[j];
                const GeoPoint& c = ring[k];
                if (a == b || b == c || a == c)
                    continue;
                const mpq_class determinant =
                    (mpq_class(a.lon) - c.lon) * (mpq_class(b.lat) - c.lat) -
                    (mpq_class(a.lat) - c.lat) * (mpq_class(b.lon) - c.lon);
                if (sgn(determinant) == 0)
                    return true;
            }
    return false;
}

// The corners without consecutive repeats and without a last corner equal to the first.
Ring Distinct(Ring ring) {
    ring.erase(std::unique(ring.begin(), ring.end()), ring.end());
    while (ring.size() > 1 && ring.back() == ring.front())
        ring.pop_back();
    return ring;
}

struct Tally {
    int shapes = 0;
    int refused = 0;
    int cut = 0;
    int poles = 0;
    int exactlyInLine = 0; // valid to GEOS, refused by the exact test
};

// Asks GEOS about the corners and about the shape made of them.
void CheckAgainstGeos(const Ring& corners, const GeosOrientation& geos, Tally& tally) {
    std::string shown;
    for (const GeoPoint& p : corners) {
        char text[64];
        std::snprintf(text, sizeof text, " {%.7f, %.7f},", p.lon, p.lat);
        shown += text;
    }
    SCOPED_TRACE(shown);
    const ShapeOrReason result = MakeFootprintShape(corners);
    ASSERT_NE(result.shape.has_value(), !result.reason.empty());

    // Longitudes made continuous, as a plane polygon that may pass +-180.
    Ring unwrapped = corners;
    double turns = 0;
    bool crosses = false;
    for (std::size_t i = 1; i <= corners.size(); ++i) {
        const double step = corners[i % corners.size()].lon - corners[i - 1].lon;
        const double wrap = step > 180 ? -360 : step < -180 ? 360 : 0;
        crosses = crosses || wrap != 0;
        turns += wrap;
        if (i < corners.size())
            unwrapped[i].lon = OnGrid(corners[i].lon + turns);
    }
    double west = 1e9;
    double east = -1e9;
    for (const GeoPoint& p : unwrapped) {
        west = std::min(west, p.lon);
        east = std::max(east, p.lon);
    }

    if (result.shape) {
        ++tally.shapes;
        auto all = std::make_unique<OGRMultiPolygon>();
        for (const Ring& part : result.shape->parts) {
            const auto polygon = Polygon(part);
            EXPECT_TRUE(polygon->IsValid()) << polygon->exportToWkt();
            EXPECT_TRUE(geos.counterClockwise(part)) << "clockwise: " << polygon->exportToWkt();
            for (const GeoPoint& p : part)
                EXPECT_LE(std::fabs(p.lon), 180);
            all->addGeometry(polygon.get());
        }
        EXPECT_TRUE(all->IsValid()) << all->exportToWkt();
    } else {
        ++tally.refused;
    }

    if (!crosses) {
        // GEOS and the shape agree both ways, and the shape is the corners' own ring.
        const bool valid = Polygon(corners)->IsValid();
        if (valid && !result.shape) {
            EXPECT_TRUE(ThreeExactlyInLine(Distinct(corners))) << result.reason;
            ++tally.exactlyInLine;
            return;
        }
        ASSERT_EQ(result.shape.has_value(), valid) << result.reason;
        if (valid) {
            ASSERT_EQ(result.shape->parts.size(), 1u);
            const Ring ring = Distinct(corners);
            Ring reversed = ring;
            std::reverse(reversed.begin() + 1, reversed.end());
            EXPECT_TRUE(result.shape->parts[0] == ring || result.shape->parts[0] == reversed);
        }
    } else if (std::fabs(turns) == 360) {
        ++tally.poles;
        const bool north = std::all_of(corners.begin(), corners.end(),
                                       [](const GeoPoint& p) { return p.lat > 0; });
        const bool south = std::all_of(corners.begin(), corners.end(),
                                       [](const GeoPoint& p) { return p.lat < 0; });
        if (north)
            EXPECT_EQ(result.reason, "footprint encloses the North Pole");
        else if (south)
            EXPECT_EQ(result.reason, "footprint encloses the South Pole");
        else
            EXPECT_EQ(result.reason.rfind("footprint encloses the ", 0), 0u) << result.reason;
    } else if (turns == 0 && east - west < 360 && Polygon(unwrapped)->IsValid()) {
        // The parts, moved back beside each other, make up the corners' polygon.
        if (!result.shape && ThreeExactlyInLine(Distinct(unwrapped))) {
            ++tally.exactlyInLine;
            return;
        }
        ASSERT_TRUE(result.shape) << result.reason;
        ++tally.cut;
        const auto whole = Polygon(unwrapped);
        const double tolerance = 1e-7 * whole->getExteriorRing()->get_Length();
        double area = 0;
        for (const Ring& part : result.shape->parts) {
            double shift = 0;
            for (const double s : {-360.0, 360.0})
                if (std::all_of(part.begin(), part.end(), [&](const GeoPoint& p) {
                        return p.lon + s >= west - 1e-9 && p.lon + s <= east + 1e-9;
                    }))
                    shift = s;
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
    Random random(20240611);
    const GeosOrientation geos;
    Tally total;
    for (const auto& [name, generate] : kGenerators) {
        SCOPED_TRACE(name);
        Tally tally;
        for (int round = 0; round < 2000 && !HasFatalFailure(); ++round)
            CheckAgainstGeos(generate(random), geos, tally);
        std::printf("%-32s %5d shapes, %5d refused (%d exactly in line), %4d cut, %4d around a "
                    "pole\n",
                    name.c_str(), tally.shapes, tally.refused, tally.exactlyInLine, tally.cut,
                    tally.poles);
        if (name != "bow ties") {
            EXPECT_GT(tally.shapes, 0);
        }
        EXPECT_GT(tally.refused, 0);
        total.cut += tally.cut;
        total.poles += tally.poles;
    }
    CPLPopErrorHandler();
    EXPECT_GT(total.cut, 1000);
    EXPECT_GT(total.poles, 300);
}

// Rings that GEOS accepts only because its orientation test misses an exact zero: a run of
// corners exactly in line, doubling back over itself.
TEST(FootprintShapeValidity, CornersExactlyInLineAreDecidedExactly) {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const Ring cases[] = {
        {{7.4893088, -29.4110503}, {1.8508013, -16.8873024}, {-3.7877062, -4.3635545},
         {-9.4262137, 8.1601934}, {13.1278163, -41.9347982}, {7.2526647, -5.4766407}},
        {{-73.1942959, 16.4756759}, {-48.2234340, 7.7656634}, {-23.2525721, -0.9443491},
         {1.7182898, -9.6543616}, {26.6891517, -18.3643741}},
    };
    for (const Ring& corners : cases) {
        EXPECT_TRUE(Polygon(corners)->IsValid());
        EXPECT_TRUE(ThreeExactlyInLine(corners));
        EXPECT_FALSE(MakeFootprintShape(corners).shape);
    }
    CPLPopErrorHandler();
}

// Footprints that cross the antimeridian with corners within a grid step of where an edge
// crosses it: rounded to the nearest step, that crossing makes a piece cross itself or
// leaves it without area.
TEST(FootprintShapeValidity, CrossingsBesideCorners) {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const GeosOrientation geos;
    Tally tally;
    const Ring cases[] = {
        {{179.9999869, 66.3130747}, {179.9999999, 66.3130682}, {179.9999952, 66.3130695},
         {179.9999942, 66.3130683}, {-179.9999951, 66.3130681}, {-179.9999996, 66.3130589},
         {179.9999920, 66.3130702}},
        {{180, -5.4883758}, {179.9999992, -5.4883744}, {-179.9999999, -5.4883760}},
        {{-179.9999672, -70.3699736}, {-179.9999613, -70.3699465}, {-179.9999823, -70.3699514},
         {-179.9999907, -70.3699623}, {179.9999871, -70.3699238}, {179.9999753, -70.3699629},
         {179.9999796, -70.3699724}, {-179.9999999, -70.3699778}, {179.9999647, -70.3699907},
         {179.9999861, -70.3699880}, {179.9999713, -70.3700048}, {-179.9999931, -70.3700106},
         {-179.9999891, -70.3700322}, {-179.9999875, -70.3699989}, {-179.9999860, -70.3699959},
         {-179.9999858, -70.3699906}, {-179.9999640, -70.3700016}},
    };
    for (const Ring& corners : cases)
        CheckAgainstGeos(corners, geos, tally);
    CPLPopErrorHandler();
    EXPECT_EQ(tally.cut, 3);
}

} // namespace
} // namespace aster
