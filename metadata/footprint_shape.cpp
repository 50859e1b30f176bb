#include "metadata/footprint_shape.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>

namespace aster {

namespace {

// While a shape is built its coordinates are whole units of 1e-7 degrees: a whole turn
// added or taken away and the cut at +-180 are then exact, and each unit's double is the
// one that a 7-decimal writer's text reads back as.
using Units = std::int64_t;
constexpr double kUnitsPerDegree = 1e7;
constexpr Units kHalfTurn = 1'800'000'000;
constexpr Units kTurn = 2 * kHalfTurn;
constexpr Units kQuarterTurn = 900'000'000;
// More corners than this are checked for crossings through a sweep over their extents
// rather than pair by pair.
constexpr std::size_t kPairwiseLimit = 16;

struct Vertex {
    Units x = 0;
    Units y = 0;
    double lon = 0; // x / 1e7: the double that every output writes
    double lat = 0;
};

Vertex MakeVertex(Units x, Units y) {
    return {x, y, static_cast<double>(x) / kUnitsPerDegree,
            static_cast<double>(y) / kUnitsPerDegree};
}

bool SamePlace(const Vertex& a, const Vertex& b) {
    return a.x == b.x && a.y == b.y;
}

// --- Exact orientation ------------------------------------------------------------------
// Whether a ring is valid is decided on the doubles that are written, by the exact sign of
// a determinant, by the rules GEOS applies: a ring accepted here is one GEOS accepts, and a
// ring GEOS accepts is refused here only where three corners lie exactly in line and
// GEOS's double-double arithmetic misses the zero (a corner exactly on another edge, a
// ring of no area). Rounded arithmetic settles almost every case; the rest are summed
// without error (Shewchuk's adaptive predicate, reduced to its exact stage).

int SignOf(double value) {
    return (value > 0) - (value < 0);
}

void TwoSum(double a, double b, double& sum, double& error) {
    sum = a + b;
    const double bPart = sum - a;
    const double aPart = sum - bPart;
    error = (a - aPart) + (b - bPart);
}

void TwoDiff(double a, double b, double& difference, double& error) {
    difference = a - b;
    const double bPart = a - difference;
    const double aPart = difference + bPart;
    error = (a - aPart) + (bPart - b);
}

void Split(double a, double& high, double& low) {
    const double scaled = 134217729.0 * a; // 2^27 + 1
    high = scaled - (scaled - a);
    low = a - high;
}

void TwoProduct(double a, double b, double& product, double& error) {
    product = a * b;
    double aHigh = 0;
    double aLow = 0;
    double bHigh = 0;
    double bLow = 0;
    Split(a, aHigh, aLow);
    Split(b, bHigh, bLow);
    error = aLow * bLow - (((product - aHigh * bHigh) - aLow * bHigh) - aHigh * bLow);
}

// A sum of doubles held exactly as non-overlapping terms of increasing magnitude, so its
// sign is the sign of its largest term.
class ExactSum {
  public:
    void add(double value) {
        double carry = value;
        int kept = 0;
        for (int i = 0; i < m_size; ++i) {
            double sum = 0;
            double error = 0;
            TwoSum(carry, m_terms[i], sum, error);
            carry = sum;
            if (error != 0)
                m_terms[kept++] = error;
        }
        if (carry != 0 || kept == 0)
            m_terms[kept++] = carry;
        m_size = kept;
    }
    int sign() const { return m_size == 0 ? 0 : SignOf(m_terms[m_size - 1]); }

  private:
    std::array<double, 20> m_terms{}; // 16 terms are ever added
    int m_size = 0;
};

int ExactOrientation(const Vertex& a, const Vertex& b, const Vertex& c) {
    std::array<double, 2> acx{};
    std::array<double, 2> bcy{};
    std::array<double, 2> acy{};
    std::array<double, 2> bcx{};
    TwoDiff(a.lon, c.lon, acx[0], acx[1]);
    TwoDiff(b.lat, c.lat, bcy[0], bcy[1]);
    TwoDiff(a.lat, c.lat, acy[0], acy[1]);
    TwoDiff(b.lon, c.lon, bcx[0], bcx[1]);
    ExactSum determinant;
    for (const double p : acx)
        for (const double q : bcy) {
            double product = 0;
            double error = 0;
            TwoProduct(p, q, product, error);
            determinant.add(product);
            determinant.add(error);
        }
    for (const double p : acy)
        for (const double q : bcx) {
            double product = 0;
            double error = 0;
            TwoProduct(p, q, product, error);
            determinant.add(-product);
            determinant.add(-error);
        }
    return determinant.sign();
}

// +1 when c lies left of the line from a to b (a, b, c counter-clockwise), -1 when right,
// 0 when on it.
int Orientation(const Vertex& a, const Vertex& b, const Vertex& c) {
    const double left = (a.lon - c.lon) * (b.lat - c.lat);
    const double right = (a.lat - c.lat) * (b.lon - c.lon);
    const double determinant = left - right;
    double magnitude = 0;
    if (left > 0) {
        if (right <= 0)
            return SignOf(determinant);
        magnitude = left + right;
    } else if (left < 0) {
        if (right >= 0)
            return SignOf(determinant);
        magnitude = -left - right;
    } else {
        return SignOf(determinant);
    }
    constexpr double kEpsilon = std::numeric_limits<double>::epsilon() / 2;
    constexpr double kErrorBound = (3.0 + 16.0 * kEpsilon) * kEpsilon;
    if (std::fabs(determinant) >= kErrorBound * magnitude)
        return SignOf(determinant);
    return ExactOrientation(a, b, c);
}

// --- Rings ------------------------------------------------------------------------------

// Whether the closed segments ab and cd have any point in common.
bool SegmentsMeet(const Vertex& a, const Vertex& b, const Vertex& c, const Vertex& d) {
    if (std::max(a.x, b.x) < std::min(c.x, d.x) || std::max(c.x, d.x) < std::min(a.x, b.x) ||
        std::max(a.y, b.y) < std::min(c.y, d.y) || std::max(c.y, d.y) < std::min(a.y, b.y))
        return false;
    const int c1 = Orientation(a, b, c);
    if (c1 != 0 && c1 == Orientation(a, b, d))
        return false;
    const int a1 = Orientation(c, d, a);
    if (a1 != 0 && a1 == Orientation(c, d, b))
        return false;
    return true; // crossing, touching, or on one line with overlapping extents
}

enum class RingCheck { Valid, NoArea, Crosses };

// A ring (not closed, no two consecutive corners equal) is a valid polygon shell by
// GEOS's rules when it has three corners off one line and edges that are not neighbours
// share no point at all. An edge that runs back along the one before it needs no test of
// its own: with three corners off one line, it meets a further edge too.
RingCheck CheckRing(const std::vector<Vertex>& ring) {
    const std::size_t n = ring.size();
    if (n < 3)
        return RingCheck::NoArea;
    bool flat = true;
    for (std::size_t i = 2; i < n && flat; ++i)
        flat = Orientation(ring[0], ring[1], ring[i]) == 0;
    if (flat)
        return RingCheck::NoArea;
    const auto meet = [&](std::size_t i, std::size_t j) {
        return SegmentsMeet(ring[i], ring[(i + 1) % n], ring[j], ring[(j + 1) % n]);
    };
    if (n <= kPairwiseLimit) {
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 2; j < n; ++j)
                if (!(i == 0 && j == n - 1) && meet(i, j))
                    return RingCheck::Crosses;
        return RingCheck::Valid;
    }
    const auto west = [&](std::size_t i) { return std::min(ring[i].x, ring[(i + 1) % n].x); };
    const auto east = [&](std::size_t i) { return std::max(ring[i].x, ring[(i + 1) % n].x); };
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&](std::size_t i, std::size_t j) { return west(i) < west(j); });
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t i = order[k];
        for (std::size_t l = k + 1; l < n && west(order[l]) <= east(i); ++l) {
            const std::size_t j = order[l];
            const std::size_t apart = i > j ? i - j : j - i;
            if (apart != 1 && apart != n - 1 && meet(i, j))
                return RingCheck::Crosses;
        }
    }
    return RingCheck::Valid;
}

// For a valid ring: the corner lowest, then westernmost, is convex, so the turn there
// gives the ring's direction.
bool IsCounterClockwise(const std::vector<Vertex>& ring) {
    const std::size_t n = ring.size();
    std::size_t low = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (ring[i].y < ring[low].y || (ring[i].y == ring[low].y && ring[i].x < ring[low].x))
            low = i;
    return Orientation(ring[(low + n - 1) % n], ring[low], ring[(low + 1) % n]) > 0;
}

void DropRepeatedCorners(std::vector<Vertex>& ring) {
    ring.erase(std::unique(ring.begin(), ring.end(), SamePlace), ring.end());
    while (ring.size() > 1 && SamePlace(ring.back(), ring.front()))
        ring.pop_back();
}

// A corner at a pole has no longitude of its own: the edges to it run along the meridians
// of the corners beside it, so it stands for the pole from the one meridian to the other.
// Written with any longitude, it would otherwise make the footprint a different shape for
// each, or one that seems to go round the pole. A side towards another corner at the pole
// keeps the corner's own longitude, so that a polar cap's edge along the pole stays.
void SpreadPoleCorners(std::vector<Vertex>& ring) {
    const auto atPole = [](const Vertex& v) { return v.y == kQuarterTurn || v.y == -kQuarterTurn; };
    if (std::none_of(ring.begin(), ring.end(), atPole))
        return;
    const std::size_t n = ring.size();
    std::vector<Vertex> spread;
    spread.reserve(n + 2);
    for (std::size_t i = 0; i < n; ++i) {
        const Vertex& v = ring[i];
        if (!atPole(v)) {
            spread.push_back(v);
            continue;
        }
        const Vertex& before = ring[(i + n - 1) % n];
        const Vertex& after = ring[(i + 1) % n];
        spread.push_back(MakeVertex(atPole(before) ? v.x : before.x, v.y));
        spread.push_back(MakeVertex(atPole(after) ? v.x : after.x, v.y));
    }
    ring = std::move(spread);
    DropRepeatedCorners(ring);
}

std::vector<GeoPoint> Points(const std::vector<Vertex>& ring) {
    std::vector<GeoPoint> points;
    points.reserve(ring.size());
    for (const Vertex& v : ring)
        points.push_back({v.lon, v.lat});
    return points;
}

// --- The cut at +-180 -------------------------------------------------------------------
// A simple ring is cut by the line x = `line` into the pieces on either side. The edges
// of one side's pieces are: the ring's edges on that side (with a corner added where an
// edge crosses the line), the ring's edges along the line that have the ring's inside
// towards that side, and the stretches of the line that lie inside the ring, found by
// sorting the ring's points on the line and counting crossings from one to the next.
// Every edge has the piece's inside on its left, so walking them gives counter-clockwise
// rings; a walk that passes a point twice, where pieces meet, is parted there. A piece of
// a simple ring has no hole, so each part is a ring of its own. The crossings are then on
// the grid, which can make a piece touch or cross itself where corners lie within a grid
// step of the cut: every part is checked again as it will be written.

// Where a crossing of the cut goes on the grid: to the nearest unit, or, when that makes a
// piece cross itself, every crossing south or every crossing north of the true one.
enum class Rounding { Nearest, South, North };

// n / d as a whole number, rounded as asked (halves northwards).
Units RoundedQuotient(Units n, Units d, Rounding rounding) {
    if (d < 0) {
        n = -n;
        d = -d;
    }
    const auto floorOf = [](Units top, Units bottom) {
        const Units q = top / bottom;
        return top % bottom != 0 && top < 0 ? q - 1 : q;
    };
    switch (rounding) {
    case Rounding::South:
        return floorOf(n, d);
    case Rounding::North:
        return -floorOf(-n, d);
    case Rounding::Nearest:
        break;
    }
    return floorOf(2 * n + d, 2 * d);
}

// The ring with a corner added on the grid wherever an edge crosses the line.
std::vector<Vertex> WithCrossings(const std::vector<Vertex>& ring, Units line, Rounding rounding) {
    std::vector<Vertex> points;
    points.reserve(ring.size() + 8);
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const Vertex& a = ring[i];
        const Vertex& b = ring[(i + 1) % ring.size()];
        points.push_back(a);
        if ((a.x < line && b.x > line) || (a.x > line && b.x < line)) {
            // Each factor is at most half a turn, so the product fits in 64 bits.
            const Units rise = RoundedQuotient((line - a.x) * (b.y - a.y), b.x - a.x, rounding);
            points.push_back(MakeVertex(line, a.y + rise));
        }
    }
    return points;
}

bool WestThenSouth(const Vertex& a, const Vertex& b) {
    return a.x != b.x ? a.x < b.x : a.y < b.y;
}

class PieceTracer {
  public:
    PieceTracer(const std::vector<Vertex>& points, Units line) : m_line(line) {
        m_nodes = points;
        std::sort(m_nodes.begin(), m_nodes.end(), WestThenSouth);
        m_nodes.erase(std::unique(m_nodes.begin(), m_nodes.end(), SamePlace), m_nodes.end());
        m_ring.reserve(points.size());
        for (const Vertex& v : points)
            m_ring.push_back(NodeOf(v));
    }

    // Closed walks round the pieces on the side `side` of the line (-1 west of it, +1
    // east); nothing when the edges do not close, which a simple ring never gives.
    std::optional<std::vector<std::vector<Vertex>>> pieces(int side) {
        m_edges.clear();
        const std::size_t m = m_ring.size();
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t a = m_ring[i];
            const std::size_t b = m_ring[(i + 1) % m];
            const int sa = SideOf(a);
            const int sb = SideOf(b);
            if (sa == side || sb == side)
                m_edges.push_back({a, b});
            else if (sa == 0 && sb == 0 && (m_nodes[b].y > m_nodes[a].y) == (side < 0))
                m_edges.push_back({a, b}); // along the line, the inside towards this side
        }
        AddInsideStretches(side);
        return Walk();
    }

  private:
    struct Edge {
        std::size_t from = 0;
        std::size_t to = 0;
    };

    std::size_t NodeOf(const Vertex& v) const {
        const auto at = std::lower_bound(m_nodes.begin(), m_nodes.end(), v, WestThenSouth);
        return static_cast<std::size_t>(at - m_nodes.begin());
    }

    int SideOf(std::size_t node) const {
        return (m_nodes[node].x > m_line) - (m_nodes[node].x < m_line);
    }

    // The stretches of the line between consecutive points of the ring on it that lie
    // inside the ring, walked north on the west side and south on the east.
    void AddInsideStretches(int side) {
        const std::size_t m = m_ring.size();
        for (std::size_t low = 0; low + 1 < m_nodes.size(); ++low) {
            const std::size_t high = low + 1;
            if (m_nodes[low].x != m_line || m_nodes[high].x != m_line)
                continue; // nodes are sorted by x, then y: the line's points are in a row
            const Units y = m_nodes[low].y;
            bool alongRing = false;
            int crossings = 0; // of a ray east from just north of `low`
            for (std::size_t i = 0; i < m && !alongRing; ++i) {
                const std::size_t a = m_ring[i];
                const std::size_t b = m_ring[(i + 1) % m];
                alongRing = (a == low && b == high) || (a == high && b == low);
                if ((SideOf(a) > 0 || SideOf(b) > 0) && (m_nodes[a].y > y) != (m_nodes[b].y > y))
                    ++crossings;
            }
            if (!alongRing && crossings % 2 == 1)
                m_edges.push_back(side < 0 ? Edge{low, high} : Edge{high, low});
        }
    }

    // Closed walks over the side's edges, each edge taken once. Where pieces meet at a
    // point a walk may pass it more than once; SplitAtRepeats parts them there.
    std::optional<std::vector<std::vector<Vertex>>> Walk() const {
        // Each node's outgoing edges in a row: those of node i are ends[i] to ends[i + 1],
        // and next[i] is the first not yet taken.
        std::vector<std::size_t> ends(m_nodes.size() + 1, 0);
        for (const Edge& edge : m_edges)
            ++ends[edge.from + 1];
        std::partial_sum(ends.begin(), ends.end(), ends.begin());
        std::vector<std::size_t> next(ends.begin(), ends.end() - 1);
        std::vector<std::size_t> targets(m_edges.size());
        for (const Edge& edge : m_edges)
            targets[next[edge.from]++] = edge.to;
        std::copy(ends.begin(), ends.end() - 1, next.begin());

        std::vector<std::vector<Vertex>> walks;
        for (std::size_t node = 0; node < m_nodes.size(); ++node) {
            while (next[node] < ends[node + 1]) {
                std::vector<Vertex> walk;
                std::size_t at = node;
                while (next[at] < ends[at + 1]) {
                    walk.push_back(m_nodes[at]);
                    at = targets[next[at]++];
                }
                if (at != node)
                    return std::nullopt; // stuck elsewhere: the edges do not close
                walks.push_back(std::move(walk));
            }
        }
        return walks;
    }

    Units m_line;
    std::vector<Vertex> m_nodes;     // every point once, sorted by x, then y
    std::vector<std::size_t> m_ring; // the ring with its crossings, as nodes
    std::vector<Edge> m_edges;       // the side being walked
};

ShapeOrReason Refused(std::string reason) {
    return {std::nullopt, std::move(reason)};
}

std::string_view ReasonFor(RingCheck check) {
    return check == RingCheck::NoArea ? "footprint has no area" : "corners cross each other";
}

// The coordinate in whole units, or nothing when it lies beyond `limit` units.
std::optional<Units> ToUnits(double degrees, Units limit) {
    const double units = std::round(degrees * kUnitsPerDegree);
    if (!(std::fabs(units) <= static_cast<double>(limit)))
        return std::nullopt;
    return static_cast<Units>(units);
}

// What to add to a longitude so that it lies within half a turn of the one before it.
Units WrapOffset(Units step) {
    return step > kHalfTurn ? -kTurn : step < -kHalfTurn ? kTurn : 0;
}

// A walk as loops that each pass a point once: the pieces that meet at a point, and, once
// the crossings are on the grid, the loop of no area (or the hole) left where two
// crossings of a notch narrower than a grid step round to one point.
void SplitAtRepeats(const std::vector<Vertex>& piece, std::vector<std::vector<Vertex>>& loops) {
    std::vector<Vertex> walked;
    for (const Vertex& v : piece) {
        const auto before = std::find_if(walked.begin(), walked.end(),
                                         [&](const Vertex& w) { return SamePlace(v, w); });
        if (before != walked.end()) {
            loops.emplace_back(before, walked.end());
            walked.erase(before + 1, walked.end());
        } else {
            walked.push_back(v);
        }
    }
    loops.push_back(std::move(walked));
}

// A piece moved by `shift` units of longitude as a part of the shape, without the corners
// where it runs straight on along the cut line, if any; whether it is valid, has no area or
// fails.
RingCheck AddPart(const std::vector<Vertex>& piece, std::optional<Units> line, Units shift,
                  std::vector<std::vector<GeoPoint>>& parts) {
    const std::size_t n = piece.size();
    std::vector<Vertex> ring;
    ring.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Vertex& before = piece[(i + n - 1) % n];
        const Vertex& v = piece[i];
        const Vertex& after = piece[(i + 1) % n];
        const bool straightOn = line && before.x == *line && v.x == *line && after.x == *line &&
                                (before.y < v.y) == (v.y < after.y);
        if (!straightOn)
            ring.push_back(MakeVertex(v.x + shift, v.y));
    }
    DropRepeatedCorners(ring);
    const RingCheck check = CheckRing(ring);
    if (check == RingCheck::Valid) {
        if (!IsCounterClockwise(ring))
            return RingCheck::Crosses; // a hole: a cut of a simple ring has none
        parts.push_back(Points(ring));
    }
    return check;
}

// The pieces of a counter-clockwise ring on either side of the line, moved back within
// +-180; nothing when a piece is not a valid polygon once its crossings are on the grid.
// `lost` tells whether a piece was left out because it had no area on the grid.
std::optional<FootprintShape> CutAt(const std::vector<Vertex>& ring, Units line, Rounding rounding,
                                    bool& lost) {
    lost = false;
    PieceTracer tracer(WithCrossings(ring, line, rounding), line);
    FootprintShape shape;
    bool sides[2] = {false, false};
    for (const int side : {-1, 1}) {
        const auto pieces = tracer.pieces(side);
        if (!pieces)
            return std::nullopt;
        // The west side's cut moves to +180, the east side's to -180.
        const Units shift = (side < 0 ? kHalfTurn : -kHalfTurn) - line;
        std::vector<std::vector<Vertex>> loops;
        for (const std::vector<Vertex>& piece : *pieces)
            SplitAtRepeats(piece, loops);
        for (const std::vector<Vertex>& loop : loops) {
            const RingCheck check = AddPart(loop, line, shift, shape.parts);
            if (check == RingCheck::Crosses)
                return std::nullopt;
            sides[side > 0] = sides[side > 0] || check == RingCheck::Valid;
            lost = lost || check == RingCheck::NoArea;
        }
    }
    shape.crossesAntimeridian = sides[0] && sides[1];
    return shape;
}

ShapeOrReason CutAtAntimeridian(std::vector<Vertex> ring) {
    // Longitudes made continuous from the first corner on, so the ring is one plane shape
    // that may reach beyond +-180.
    Units offset = 0;
    Units previous = ring[0].x;
    Units west = ring[0].x;
    Units east = ring[0].x;
    for (std::size_t i = 1; i < ring.size(); ++i) {
        const Units x = ring[i].x;
        offset += WrapOffset(x - previous);
        previous = x;
        ring[i] = MakeVertex(x + offset, ring[i].y);
        west = std::min(west, ring[i].x);
        east = std::max(east, ring[i].x);
    }
    if (east - west >= kTurn)
        return Refused("footprint wider than the globe");
    DropRepeatedCorners(ring); // -180 and +180 are one place
    if (const RingCheck check = CheckRing(ring); check != RingCheck::Valid)
        return Refused(std::string(ReasonFor(check)));
    if (!IsCounterClockwise(ring))
        std::reverse(ring.begin() + 1, ring.end());

    FootprintShape shape;
    const Units line = west < kHalfTurn && kHalfTurn < east ? kHalfTurn : -kHalfTurn;
    if (!(west < line && line < east)) {
        // It only reaches +-180: moved back whole, it is one part.
        const Units shift = east > kHalfTurn ? -kTurn : west < -kHalfTurn ? kTurn : 0;
        const RingCheck check = AddPart(ring, std::nullopt, shift, shape.parts);
        if (check != RingCheck::Valid)
            return Refused(std::string(ReasonFor(check)));
        return {std::move(shape), {}};
    }

    // A rounding that loses a piece is taken only when none keeps them all.
    std::optional<FootprintShape> lossy;
    bool cut = false;
    for (const Rounding rounding : {Rounding::Nearest, Rounding::South, Rounding::North}) {
        bool lost = false;
        std::optional<FootprintShape> attempt = CutAt(ring, line, rounding, lost);
        cut = cut || attempt;
        if (attempt && !lost)
            return {std::move(attempt), {}};
        if (attempt && !lossy && !attempt->parts.empty())
            lossy = std::move(attempt);
    }
    if (lossy)
        return {std::move(lossy), {}};
    return Refused(cut ? "footprint has no area"
                       : "footprint across the antimeridian cannot be cut into valid parts");
}

// A part's corners back in units: each is a whole number of units already.
std::vector<Vertex> VerticesOf(const std::vector<GeoPoint>& part) {
    std::vector<Vertex> ring;
    ring.reserve(part.size());
    for (const GeoPoint& p : part)
        ring.push_back(MakeVertex(static_cast<Units>(std::round(p.lon * kUnitsPerDegree)),
                                  static_cast<Units>(std::round(p.lat * kUnitsPerDegree))));
    return ring;
}

// Whether a point off a ring's edges lies inside it: the edges that cross the parallel
// through the point east of it, counted.
bool Inside(const Vertex& v, const std::vector<Vertex>& ring) {
    bool inside = false;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const Vertex& p = ring[i];
        const Vertex& q = ring[(i + 1) % ring.size()];
        if ((p.y > v.y) != (q.y > v.y)) {
            const int side = Orientation(p, q, v);
            if (q.y > p.y ? side > 0 : side < 0)
                inside = !inside;
        }
    }
    return inside;
}

// Whether two valid parts share any point: an edge of one meets an edge of the other, or
// one lies within the other.
bool PartsMeet(const std::vector<Vertex>& a, const std::vector<Vertex>& b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        for (std::size_t j = 0; j < b.size(); ++j)
            if (SegmentsMeet(a[i], a[(i + 1) % a.size()], b[j], b[(j + 1) % b.size()]))
                return true;
    return Inside(a[0], b) || Inside(b[0], a);
}

} // namespace

bool IsConvexPart(const std::vector<GeoPoint>& part) {
    // Three or four corners that all turn left wind once around the inside: at most four
    // turns of less than 180 degrees each sum to 360 only. Five could wind twice.
    const std::size_t n = part.size();
    if (n < 3 || n > 4)
        return false;
    const auto vertex = [&part](std::size_t i) {
        const GeoPoint& point = part[i % part.size()];
        return Vertex{0, 0, point.lon, point.lat};
    };
    for (std::size_t i = 0; i < n; ++i) {
        if (Orientation(vertex(i), vertex(i + 1), vertex(i + 2)) <= 0)
            return false;
    }
    return true;
}

BoundingBox BoundsOf(const FootprintShape& shape) {
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    double west = kInfinity;
    double east = -kInfinity;
    double south = kInfinity;
    double north = -kInfinity;
    for (const std::vector<GeoPoint>& part : shape.parts) {
        // A cut footprint's box runs east from its parts at +180 to its parts at -180.
        const bool atEast =
            std::any_of(part.begin(), part.end(), [](const GeoPoint& p) { return p.lon == 180; });
        for (const GeoPoint& p : part) {
            south = std::min(south, p.lat);
            north = std::max(north, p.lat);
            if (!shape.crossesAntimeridian || atEast)
                west = std::min(west, p.lon);
            if (!shape.crossesAntimeridian || !atEast)
                east = std::max(east, p.lon);
        }
    }
    if (south > north)
        return {};
    return {west, south, east, north};
}

namespace {

// A ring that touches a pole along one edge and otherwise goes once round the globe (a
// wide cap given with a corner at the pole) takes that edge back the long way, so that it
// winds no more, where the edge's short way goes round the same way as the rest; a corner
// is added halfway. Otherwise the ring does enclose the pole.
bool TurnBackAlongPole(std::vector<Vertex>& ring, Units winding) {
    std::size_t edge = ring.size();
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const Vertex& a = ring[i];
        const Vertex& b = ring[(i + 1) % ring.size()];
        if (a.y != b.y || (a.y != kQuarterTurn && a.y != -kQuarterTurn) || a.x == b.x)
            continue;
        if (edge != ring.size())
            return false; // several: which way each runs is not told
        edge = i;
    }
    if (edge == ring.size())
        return false;
    const Vertex& a = ring[edge];
    const Vertex& b = ring[(edge + 1) % ring.size()];
    const Units step = b.x - a.x + WrapOffset(b.x - a.x); // the short way
    if ((step > 0) != (winding > 0))
        return false;
    const Units back = step > 0 ? step - kTurn : step + kTurn;
    Units half = a.x + back / 2;
    half += half > kHalfTurn ? -kTurn : half < -kHalfTurn ? kTurn : 0;
    ring.insert(ring.begin() + static_cast<std::ptrdiff_t>(edge) + 1, MakeVertex(half, a.y));
    return true;
}

} // namespace

ShapeOrReason MakeFootprintShape(std::span<const GeoPoint> corners) {
    if (corners.size() < 3)
        return Refused("fewer than 3 corners");
    if (corners.size() > kMaxFootprintCorners)
        return Refused("more than " + std::to_string(kMaxFootprintCorners) + " corners");
    std::vector<Vertex> ring;
    ring.reserve(corners.size());
    for (std::size_t i = 0; i < corners.size(); ++i) {
        const GeoPoint& corner = corners[i];
        if (!std::isfinite(corner.lon) || !std::isfinite(corner.lat))
            return Refused("corner " + std::to_string(i + 1) + " is not a finite number");
        const std::optional<Units> y = ToUnits(corner.lat, kQuarterTurn);
        if (!y)
            return Refused("latitude of corner " + std::to_string(i + 1) + " out of range");
        const std::optional<Units> x = ToUnits(corner.lon, kHalfTurn);
        if (!x)
            return Refused("longitude of corner " + std::to_string(i + 1) + " out of range");
        ring.push_back(MakeVertex(*x, *y));
    }
    DropRepeatedCorners(ring);
    SpreadPoleCorners(ring);
    if (ring.size() < 3)
        return Refused("footprint has no area");

    Units winding = 0;
    bool crosses = false;
    Units latitudes = 0;
    const auto measure = [&] {
        winding = latitudes = 0;
        crosses = false;
        for (std::size_t i = 0; i < ring.size(); ++i) {
            const Units wrap = WrapOffset(ring[(i + 1) % ring.size()].x - ring[i].x);
            winding += wrap;
            crosses = crosses || wrap != 0;
            latitudes += ring[i].y;
        }
    };
    measure();
    if ((winding == kTurn || winding == -kTurn) && TurnBackAlongPole(ring, winding))
        measure();
    if (winding == kTurn || winding == -kTurn)
        // Once around the globe: the ring encloses the pole on the side it mostly lies.
        return Refused(latitudes >= 0 ? "footprint encloses the North Pole"
                                      : "footprint encloses the South Pole");
    if (winding != 0)
        return Refused("footprint wider than the globe");
    if (crosses)
        return CutAtAntimeridian(std::move(ring));

    if (const RingCheck check = CheckRing(ring); check != RingCheck::Valid)
        return Refused(std::string(ReasonFor(check)));
    if (!IsCounterClockwise(ring))
        std::reverse(ring.begin() + 1, ring.end());
    FootprintShape shape;
    shape.parts.push_back(Points(ring));
    return {std::move(shape), {}};
}


ShapeOrReason MakeFootprintShape(std::span<const GeoPoint> corners,
                                 std::span<const std::vector<GeoPoint>> moreRings) {
    if (moreRings.empty())
        return MakeFootprintShape(corners);
    std::size_t total = corners.size();
    for (const std::vector<GeoPoint>& ring : moreRings)
        total += ring.size();
    if (total > kMaxFootprintCorners) // the rings are checked against each other pair by pair
        return Refused("more than " + std::to_string(kMaxFootprintCorners) + " corners");
    FootprintShape shape;
    std::vector<std::vector<Vertex>> parts;
    std::vector<std::size_t> polygonOf;
    bool atEast = false;
    bool atWest = false;
    for (std::size_t n = 0; n <= moreRings.size(); ++n) {
        const std::string polygon = std::to_string(n + 1);
        ShapeOrReason one = MakeFootprintShape(n == 0 ? corners : moreRings[n - 1]);
        if (!one.shape)
            return Refused("polygon " + polygon + ": " + one.reason);
        shape.crossesAntimeridian = shape.crossesAntimeridian || one.shape->crossesAntimeridian;
        for (std::vector<GeoPoint>& part : one.shape->parts) {
            std::vector<Vertex> ring = VerticesOf(part);
            for (std::size_t k = 0; k < parts.size(); ++k) {
                if (polygonOf[k] != n && PartsMeet(parts[k], ring))
                    return Refused("polygons " + std::to_string(polygonOf[k] + 1) + " and " +
                                   polygon + " meet");
            }
            for (const GeoPoint& p : part) {
                atEast = atEast || p.lon == 180;
                atWest = atWest || p.lon == -180;
            }
            parts.push_back(std::move(ring));
            polygonOf.push_back(n);
            shape.parts.push_back(std::move(part));
        }
    }
    // Polygons cut at +-180 already: parts on either side make the footprint cross it.
    shape.crossesAntimeridian = shape.crossesAntimeridian || (atEast && atWest);
    return {std::move(shape), {}};
}

} // namespace aster
