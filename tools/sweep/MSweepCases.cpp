// Drawing a case's parameters.  Everything is in grid steps of the scaled
// mesh (centred at the origin, largest extent kSweepExtent units) unless a
// field says model units; numbers that the tool takes in model units are
// drawn on the grid or rounded to a few decimals, so that the command line
// printed for a case gives the engine the very same input.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <numbers>
#include <sstream>

#include "MCutter.h"
#include "host/MMath.h"
#include "tools/sweep/MSweepCases.h"
#include "tools/sweep/MSweepText.h"

namespace meshcut_sweep {
namespace {

constexpr const char* kNames[] = {"plane", "profile",  "polyline", "halves-plane", "halves-cutter",
                                  "frame", "undercut", "trim",     "self-trim",    "boolean-undercut"};

// Random numbers of one case, seeded by everything that names the case.
class CaseRandom {
public:
    CaseRandom(uint64_t seed, const std::string& mesh, Operation op, int number) {
        uint64_t h = 1469598103934665603ull;  // FNV-1a
        auto mix = [&h](const std::string& text) {
            for (unsigned char c : text) h = (h ^ c) * 1099511628211ull;
            h = (h ^ 0xffu) * 1099511628211ull;
        };
        mix(std::to_string(seed));
        mix(mesh);
        mix(OperationName(op));
        mix(std::to_string(number));
        m_state = h;
    }
    uint64_t Next() {  // splitmix64
        uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    double Unit() { return double(Next() >> 11) * 0x1.0p-53; }
    double Uniform(double lo, double hi) { return lo + (hi - lo) * Unit(); }
    long Int(long lo, long hi) { return lo + long(Next() % uint64_t(hi - lo + 1)); }
    bool Chance(double p) { return Unit() < p; }
    // Uniform on the sphere.
    MMVector3d Direction() {
        for (;;) {
            const MMVector3d v(Uniform(-1, 1), Uniform(-1, 1), Uniform(-1, 1));
            const double l = v.Length();
            if (l > 0.1 && l <= 1.0) return v / l;
        }
    }

private:
    uint64_t m_state = 0;
};

double Round4(double v) { return std::round(v * 1e4) / 1e4 + 0.0; }

// A normal: along an axis with probability `axisChance`, otherwise any,
// rounded to four decimals.
MMVector3d RandomNormal(CaseRandom& rng, double axisChance) {
    if (rng.Chance(axisChance)) {
        MMVector3d n;
        n[int(rng.Int(0, 2))] = rng.Chance(0.5) ? 1.0 : -1.0;
        return n;
    }
    for (;;) {
        const MMVector3d d = rng.Direction();
        const MMVector3d n(Round4(d[0]), Round4(d[1]), Round4(d[2]));
        if (n.Length() > 0.5) return n;
    }
}

MMVector3d Vertex(const SweepMesh& m, size_t i) {
    return {double(m.points[i][0]), double(m.points[i][1]), double(m.points[i][2])};
}

MMVector3d RandomVertex(CaseRandom& rng, const SweepMesh& m) { return Vertex(m, size_t(rng.Int(0, long(m.points.size()) - 1))); }

// A point of the mesh's box shrunk by `shrink` about its centre.
MMVector3d PointInBox(CaseRandom& rng, const SweepMesh& m, double shrink) {
    MMVector3d p;
    for (int a = 0; a < 3; ++a) {
        const double c = 0.5 * (double(m.lo[a]) + double(m.hi[a])), h = 0.5 * double(m.hi[a] - m.lo[a]) * shrink;
        p[a] = std::round(rng.Uniform(c - h, c + h));
    }
    return p;
}

// A point of the mesh (a vertex) or of its box.
MMVector3d AnchorPoint(CaseRandom& rng, const SweepMesh& m, double vertexChance) {
    return rng.Chance(vertexChance) ? RandomVertex(rng, m) : PointInBox(rng, m, 0.9);
}

// --- profiles -----------------------------------------------------------

int64_t Cross(const ProfilePoint2& o, const ProfilePoint2& a, const ProfilePoint2& b) {
    return int64_t(a.x - o.x) * int64_t(b.y - o.y) - int64_t(a.y - o.y) * int64_t(b.x - o.x);
}

int64_t TwiceArea(const Contour& c) {
    int64_t sum = 0;
    for (size_t i = 0; i < c.size(); ++i) {
        const ProfilePoint2 &p = c[i], &q = c[(i + 1) % c.size()];
        sum += int64_t(p.x) * int64_t(q.y) - int64_t(q.x) * int64_t(p.y);
    }
    return sum;
}

bool OnSegment(const ProfilePoint2& p, const ProfilePoint2& a, const ProfilePoint2& b) {
    return std::min(a.x, b.x) <= p.x && p.x <= std::max(a.x, b.x) && std::min(a.y, b.y) <= p.y &&
           p.y <= std::max(a.y, b.y);
}

// Closed segments ab and cd share a point.
bool SegmentsMeet(const ProfilePoint2& a, const ProfilePoint2& b, const ProfilePoint2& c, const ProfilePoint2& d) {
    const int64_t d1 = Cross(c, d, a), d2 = Cross(c, d, b), d3 = Cross(a, b, c), d4 = Cross(a, b, d);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return true;
    return (d1 == 0 && OnSegment(a, c, d)) || (d2 == 0 && OnSegment(b, c, d)) || (d3 == 0 && OnSegment(c, a, b)) ||
           (d4 == 0 && OnSegment(d, a, b));
}

// Segments ab and bc, joined at b, fold back onto each other.
bool FoldsBack(const ProfilePoint2& a, const ProfilePoint2& b, const ProfilePoint2& c) {
    return Cross(a, b, c) == 0 && int64_t(b.x - a.x) * (c.x - b.x) + int64_t(b.y - a.y) * (c.y - b.y) < 0;
}

// Rounds to the grid and drops repeated points (also a last one equal to
// the first), as the tool's polygon reader does.
Contour ToContour(const std::vector<std::pair<double, double>>& points) {
    Contour c;
    for (const auto& [x, y] : points) {
        const ProfilePoint2 p{long(std::llround(x)), long(std::llround(y))};
        if (c.empty() || !(c.back() == p)) c.push_back(p);
    }
    while (c.size() > 1 && c.back() == c.front()) c.pop_back();
    return c;
}

bool Usable(const Contour& c) { return c.size() >= 3 && TwiceArea(c) != 0; }

struct Shape {
    Contour contour;
    std::string words;
};

struct ProfileContext {
    CaseRandom& rng;
    const SweepMesh& mesh;
    double stepsPerUnit;
    std::string U(double steps) const { return UnitsText(steps, stepsPerUnit); }
    std::string At(double x, double y) const {
        std::string text = "(";
        return text.append(U(x)).append(", ").append(U(y)).append(")");
    }
    // A centre in the mesh's X-Y box.
    std::pair<double, double> Centre() const {
        const MMVector3d p = PointInBox(rng, mesh, 0.9);
        return {p[0], p[1]};
    }
};

// A triangle about the box centre: the fallback when a drawn shape comes out
// degenerate on the grid.
Shape FallbackTriangle(const ProfileContext& c) {
    const double r = 0.2 * c.mesh.extent;
    std::vector<std::pair<double, double>> p;
    for (int i = 0; i < 3; ++i) p.emplace_back(r * std::cos(2 * std::numbers::pi * i / 3), r * std::sin(2 * std::numbers::pi * i / 3));
    return {ToContour(p), "triangle of radius " + c.U(r) + " about (0, 0)"};
}

Shape Checked(Shape shape, const ProfileContext& c) {
    return Usable(shape.contour) ? shape : FallbackTriangle(c);
}

Shape RegularPolygon(const ProfileContext& c) {
    const int sides = int(std::clamp(std::lround(std::exp(c.rng.Uniform(std::log(3.0), std::log(300.99)))), 3L, 300L));
    const double radius = c.mesh.extent * c.rng.Uniform(0.02, 0.45), turn = c.rng.Uniform(0, 2 * std::numbers::pi);
    const auto [x, y] = c.Centre();
    std::vector<std::pair<double, double>> p;
    for (int i = 0; i < sides; ++i) {
        const double a = turn + 2 * std::numbers::pi * i / sides;
        p.emplace_back(x + radius * std::cos(a), y + radius * std::sin(a));
    }
    return Checked({ToContour(p), "regular " + std::to_string(sides) + "-gon of radius " + c.U(radius) + " about " + c.At(x, y)}, c);
}

Shape Star(const ProfileContext& c) {
    const int tips = int(c.rng.Int(3, 40));
    const double outer = c.mesh.extent * c.rng.Uniform(0.05, 0.45), inner = outer * c.rng.Uniform(0.2, 0.8);
    const double turn = c.rng.Uniform(0, 2 * std::numbers::pi);
    const auto [x, y] = c.Centre();
    std::vector<std::pair<double, double>> p;
    for (int i = 0; i < 2 * tips; ++i) {
        const double a = turn + std::numbers::pi * i / tips, r = i % 2 ? inner : outer;
        p.emplace_back(x + r * std::cos(a), y + r * std::sin(a));
    }
    return Checked({ToContour(p), "star of " + std::to_string(tips) + " tips, radii " + c.U(outer) + " and " +
                                      c.U(inner) + " about " + c.At(x, y)}, c);
}

// A long rectangle narrower than the mesh's typical edge, down to a few
// grid steps.
Shape Slot(const ProfileContext& c) {
    const double width = c.rng.Chance(0.5) ? double(c.rng.Int(2, 10))
                                           : std::max(2.0, std::round(c.mesh.typicalEdge * c.rng.Uniform(0.05, 0.9)));
    const double length = c.mesh.extent * c.rng.Uniform(0.3, 1.5);
    const double angle = c.rng.Chance(0.3) ? double(c.rng.Int(0, 3)) * std::numbers::pi / 2
                                           : c.rng.Uniform(0, std::numbers::pi);
    const auto [x, y] = c.Centre();
    const double ux = std::cos(angle), uy = std::sin(angle), hl = 0.5 * length, hw = 0.5 * width;
    std::vector<std::pair<double, double>> p = {{x - ux * hl + uy * hw, y - uy * hl - ux * hw},
                                                {x + ux * hl + uy * hw, y + uy * hl - ux * hw},
                                                {x + ux * hl - uy * hw, y + uy * hl + ux * hw},
                                                {x - ux * hl - uy * hw, y - uy * hl + ux * hw}};
    std::ostringstream words;
    words << "slot " << c.U(width) << " wide (typical edge " << c.U(c.mesh.typicalEdge) << ") and " << c.U(length)
          << " long about " << c.At(x, y) << " at " << std::lround(angle * 180 / std::numbers::pi) << " deg";
    return Checked({ToContour(p), words.str()}, c);
}

// Mesh vertices seen from above, ordered by angle about their centroid.
Shape VertexPolygon(const ProfileContext& c) {
    const int count = int(c.rng.Int(3, 12));
    std::vector<std::pair<double, double>> p;
    for (int i = 0; i < count; ++i) {
        const MMVector3d v = RandomVertex(c.rng, c.mesh);
        p.emplace_back(v[0], v[1]);
    }
    std::sort(p.begin(), p.end());
    p.erase(std::unique(p.begin(), p.end()), p.end());
    double cx = 0, cy = 0;
    for (const auto& [x, y] : p) cx += x / double(p.size()), cy += y / double(p.size());
    std::sort(p.begin(), p.end(), [&](const auto& a, const auto& b) {
        return std::atan2(a.second - cy, a.first - cx) < std::atan2(b.second - cy, b.first - cx);
    });
    return Checked({ToContour(p), "polygon on " + std::to_string(p.size()) + " mesh vertices about " + c.At(cx, cy)}, c);
}

ProfilePoint2 Projected(const SweepMesh& m, uint32_t i) { return {long(m.points[i][0]), long(m.points[i][1])}; }

// Whether the path may go on to `next`, and whether it may then close.
bool Extends(const Contour& path, const ProfilePoint2& next) {
    const ProfilePoint2& last = path.back();
    if (next == last) return false;
    if (path.size() >= 2 && FoldsBack(path[path.size() - 2], last, next)) return false;
    for (size_t i = 0; i + 2 < path.size(); ++i)
        if (SegmentsMeet(path[i], path[i + 1], last, next)) return false;
    return true;
}

bool Closes(const Contour& path) {
    const ProfilePoint2 &first = path.front(), &last = path.back();
    if (path.size() < 3 || FoldsBack(path[path.size() - 2], last, first) || FoldsBack(last, first, path[1])) return false;
    for (size_t i = 1; i + 2 < path.size(); ++i)
        if (SegmentsMeet(path[i], path[i + 1], last, first)) return false;
    return Usable(path);
}

// A walk along a few mesh edges, seen from above, closed by a straight
// edge; the walk neither crosses nor touches itself.
Shape EdgePath(const ProfileContext& c) {
    const SweepMesh& m = c.mesh;
    for (int attempt = 0; attempt < 20; ++attempt) {
        uint32_t at = uint32_t(c.rng.Int(0, long(m.points.size()) - 1));
        const size_t edges = size_t(c.rng.Int(3, 8));
        Contour path = {Projected(m, at)};
        std::vector<uint32_t> visited = {at};
        while (path.size() <= edges) {
            std::vector<uint32_t> options;
            for (uint32_t k = m.first[at]; k < m.first[at + 1]; ++k) {
                const uint32_t n = m.neighbours[k];
                if (std::find(visited.begin(), visited.end(), n) == visited.end() && Extends(path, Projected(m, n)))
                    options.push_back(n);
            }
            if (options.empty()) break;
            at = options[size_t(c.rng.Int(0, long(options.size()) - 1))];
            visited.push_back(at);
            path.push_back(Projected(m, at));
        }
        while (path.size() >= 3 && !Closes(path)) path.pop_back();
        if (path.size() >= 3)
            return {path, "polygon along " + std::to_string(path.size() - 1) + " mesh edges from " +
                              c.At(double(path[0].x), double(path[0].y))};
    }
    return VertexPolygon(c);
}

Shape FiniteShape(const ProfileContext& c, int kind) {
    switch (kind) {
    case 0: return RegularPolygon(c);
    case 1: return Star(c);
    case 2: return Slot(c);
    case 3: return VertexPolygon(c);
    default: return EdgePath(c);
    }
}

// Half planes, quadrants and wedges reaching to infinity.
Shape InfiniteShape(const ProfileContext& c) {
    constexpr long I = MCutter::kPlusInfinity, N = MCutter::kMinusInfinity;
    const auto [x0, y0] = c.Centre();
    const long x = std::lround(x0), y = std::lround(y0);
    switch (c.rng.Int(0, 5)) {
    case 0: return {{{N, N}, {x, N}, {x, I}, {N, I}}, "half plane x <= " + c.U(double(x))};
    case 1: return {{{x, N}, {I, N}, {I, I}, {x, I}}, "half plane x >= " + c.U(double(x))};
    case 2: return {{{N, N}, {I, N}, {I, y}, {N, y}}, "half plane y <= " + c.U(double(y))};
    case 3: return {{{N, y}, {I, y}, {I, I}, {N, I}}, "half plane y >= " + c.U(double(y))};
    case 4: return {{{x, y}, {I, y}, {I, I}, {x, I}}, "quadrant x >= " + c.U(double(x)) + ", y >= " + c.U(double(y))};
    default: {
        const long x1 = std::lround(c.Centre().first);
        return {{{N, N}, {x, N}, {x1, I}, {N, I}},
                "wedge left of the line from (" + c.U(double(x)) + ", -inf) to (" + c.U(double(x1)) + ", inf)"};
    }
    }
}

void AddShape(SweepCase& sweepCase, Shape shape) {
    sweepCase.words += (sweepCase.contours.empty() ? "" : "; ") + shape.words;
    sweepCase.contours.push_back(std::move(shape.contour));
}

// Profile kinds by case number, so that every kind comes up in a few cases:
// 0-4 one finite contour, 5 several contours, 6 reaching to infinity.
void DrawProfile(SweepCase& sweepCase, const ProfileContext& c, bool severalAndInfinite) {
    const int kind = severalAndInfinite ? sweepCase.number % 7 : sweepCase.number % 5;
    if (kind < 5) return AddShape(sweepCase, FiniteShape(c, kind));
    if (kind == 5) {
        const int count = int(c.rng.Int(2, 5));
        sweepCase.words = std::to_string(count) + " contours: ";
        for (int i = 0; i < count; ++i) {
            Shape s = FiniteShape(c, int(c.rng.Int(0, 3)));
            sweepCase.words += (i ? "; " : "") + s.words;
            sweepCase.contours.push_back(std::move(s.contour));
        }
        return;
    }
    AddShape(sweepCase, InfiniteShape(c));
    if (c.rng.Chance(0.3)) AddShape(sweepCase, RegularPolygon(c));
}

double DrawDepth(CaseRandom& rng, const SweepMesh& m) {
    const double h = double(m.hi[2] - m.lo[2]);
    return std::round(rng.Uniform(double(m.lo[2]) + 0.05 * h, double(m.hi[2]) - 0.05 * h));
}

void MakeProfile(SweepCase& s, CaseRandom& rng, const SweepMesh& m, double g) {
    const ProfileContext c{rng, m, g};
    DrawProfile(s, c, true);
    s.depthCut = rng.Chance(0.4);
    if (s.depthCut) s.depth = long(DrawDepth(rng, m)), s.words += "; from depth " + c.U(double(s.depth));
    else s.words += "; through";
    if (rng.Chance(0.3)) s.round = std::max(1L, std::lround(m.extent * rng.Uniform(0.002, 0.05))), s.words += "; corners rounded " + c.U(double(s.round));
}

void MakePolyline(SweepCase& s, CaseRandom& rng, const SweepMesh& m, double g) {
    const ProfileContext c{rng, m, g};
    DrawProfile(s, c, false);
    const long which = rng.Int(0, 3);
    auto clearance = [&] { return std::lround(rng.Uniform(0.05, 2.0) * g); };
    if (which & 1) s.clearanceInside = clearance(), s.words += "; clearance inside " + c.U(double(s.clearanceInside));
    if (which & 2) s.clearanceOutside = clearance(), s.words += "; clearance outside " + c.U(double(s.clearanceOutside));
    s.depthCut = rng.Chance(0.4);
    if (s.depthCut) s.depth = long(DrawDepth(rng, m)), s.words += "; from depth " + c.U(double(s.depth));
    else s.words += "; through";
}

// --- planes, bodies, frames ------------------------------------------------

void MakePlane(SweepCase& s, CaseRandom& rng, const SweepMesh& m, double g) {
    const MMVector3d n = RandomNormal(rng, 0.25), p = AnchorPoint(rng, m, 0.3);
    s.plane[0] = n[0], s.plane[1] = n[1], s.plane[2] = n[2];
    s.plane[3] = std::round(-n.Dot(p)) / g + 0.0;
    s.words = "plane " + Number(s.plane[0]) + "," + Number(s.plane[1]) + "," + Number(s.plane[2]) + "," +
              Number(s.plane[3]) + " (a,b,c,d of ax+by+cz+d=0)";
}

std::string PointText(const double* p, double g) {
    return "(" + UnitsText(p[0], g) + ", " + UnitsText(p[1], g) + ", " + UnitsText(p[2], g) + ")";
}

void DescribeBody(const Body& b, double g, std::string& words) {
    double c[3], lo[3], hi[3];
    for (int a = 0; a < 3; ++a) c[a] = b.centre[a], lo[a] = b.lo[a], hi[a] = b.hi[a];
    if (b.sphere)
        words += "sphere of radius " + UnitsText(b.radius, g) + " about " + PointText(c, g) + ", " +
                 std::to_string(b.triangles) + " triangles";
    else
        words += "box " + PointText(lo, g) + " to " + PointText(hi, g) + ", " + std::to_string(b.cells) + "x" +
                 std::to_string(b.cells) + " cells a face";
}

Body SphereAt(const MMVector3d& centre, double radius, uint64_t triangles) {
    Body b;
    b.sphere = true;
    for (int a = 0; a < 3; ++a) b.centre[a] = int32_t(std::lround(centre[a]));
    b.radius = int32_t(std::lround(radius));
    b.triangles = triangles;
    return b;
}

Body BoxBetween(const MMVector3d& lo, const MMVector3d& hi, int cells) {
    Body b;
    b.sphere = false;
    for (int a = 0; a < 3; ++a) b.lo[a] = int32_t(std::lround(lo[a])), b.hi[a] = int32_t(std::lround(hi[a]));
    b.cells = cells;
    return b;
}

// A sphere or a box about a vertex of the mesh, at most 0.8 of the mesh's
// extent across: its surface always cuts the mesh's.
Body RandomBody(CaseRandom& rng, const SweepMesh& m) {
    const MMVector3d centre = RandomVertex(rng, m);
    if (rng.Chance(0.5)) return SphereAt(centre, m.extent * rng.Uniform(0.08, 0.4), uint64_t(rng.Int(200, 4000)));
    MMVector3d half;
    for (int a = 0; a < 3; ++a) half[a] = std::round(m.extent * rng.Uniform(0.08, 0.4));
    return BoxBetween(centre - half, centre + half, int(rng.Int(1, 4)));
}

void MakeBodyCase(SweepCase& s, CaseRandom& rng, const SweepMesh& m, double g) {
    s.body = RandomBody(rng, m);
    if (s.op == Operation::kTrim) {
        s.keepOutside = rng.Chance(0.5);
        s.words = std::string("keep the part ") + (s.keepOutside ? "outside" : "inside") + " a ";
    } else {
        s.words = "cutter: ";
    }
    DescribeBody(s.body, g, s.words);
}

void MakeFrame(SweepCase& s, CaseRandom& rng, const SweepMesh& m, double g) {
    const MMVector3d n = RandomNormal(rng, 0.3), p = AnchorPoint(rng, m, 0.4);
    const MMVector3d unit = n / n.Length();
    const MMVector3d helper = std::abs(unit[2]) < 0.9 ? MMVector3d(0, 0, 1) : MMVector3d(1, 0, 0);
    MMVector3d u0 = helper.Cross(unit);
    u0.Normalize();
    const MMVector3d v0 = unit.Cross(u0);
    const double turn = rng.Chance(0.3) ? 0.0 : rng.Uniform(0, 2 * std::numbers::pi);
    const MMVector3d u = u0 * std::cos(turn) + v0 * std::sin(turn), v = unit.Cross(u);
    const double su = m.extent * rng.Uniform(0.2, 1.5), sv = m.extent * rng.Uniform(0.2, 1.5);
    const MMVector3d origin = p - u * (0.5 * su) - v * (0.5 * sv), U = u * su, V = v * sv;
    for (int a = 0; a < 3; ++a) {
        s.frame[0][a] = std::round(origin[a]) / g + 0.0;
        s.frame[1][a] = std::round(U[a]) / g + 0.0;
        s.frame[2][a] = std::round(V[a]) / g + 0.0;
    }
    s.words = "frame origin " + Triple(s.frame[0]) + ", u " + Triple(s.frame[1]) + ", v " + Triple(s.frame[2]);
}

void MakeUndercut(SweepCase& s, CaseRandom& rng, const SweepMesh&, double g) {
    // Mostly seen from above or below, sometimes from the side or askew.
    const double pick = rng.Unit();
    MMVector3d d(0, 0, -1);
    if (pick >= 0.75) {
        d = RandomNormal(rng, 0.0);
    } else if (pick >= 0.6) {
        d = MMVector3d(0, 0, 0);
        d[int(rng.Int(0, 1))] = rng.Chance(0.5) ? 1 : -1;
    } else if (pick >= 0.4) {
        d = MMVector3d(0, 0, 1);
    }
    for (int a = 0; a < 3; ++a) s.direction[a] = d[a] + 0.0;
    s.cell = std::lround(rng.Uniform(0.2, 1.0) * g);
    s.draft = rng.Chance(0.3) ? std::round(rng.Uniform(1.0, 30.0) * 10) / 10 : 0.0;
    s.words = "direction " + Triple(s.direction) + ", cell " + UnitsText(double(s.cell), g) +
              (s.draft > 0 ? ", draft " + Number(s.draft) + " deg" : ", no draft");
}

// The body dips into the mesh's top (the mesh is the lower part), or rises
// into its bottom (the mesh is the upper part).
void MakeBooleanUndercut(SweepCase& s, CaseRandom& rng, const SweepMesh& m, double g) {
    s.meshIsUpper = rng.Chance(0.4);
    const std::vector<uint32_t>& faces = s.meshIsUpper ? m.downFacing : m.upFacing;
    MMVector3d q;
    if (faces.empty()) {
        q = MMVector3d(0.5 * (m.lo[0] + m.hi[0]), 0.5 * (m.lo[1] + m.hi[1]), s.meshIsUpper ? m.lo[2] : m.hi[2]);
    } else {
        const auto& t = m.triangles[faces[size_t(rng.Int(0, long(faces.size()) - 1))]];
        q = (Vertex(m, t[0]) + Vertex(m, t[1]) + Vertex(m, t[2])) / 3.0;
    }
    const double size = m.extent * rng.Uniform(0.05, 0.2), dip = size * rng.Uniform(0.2, 0.8);
    const double side = s.meshIsUpper ? -1.0 : 1.0;  // where the body's centre lies from q
    const MMVector3d centre = q + MMVector3d(0, 0, side * (size - dip));
    if (rng.Chance(0.5)) s.body = SphereAt(centre, size, uint64_t(rng.Int(500, 3000)));
    else s.body = BoxBetween(centre - MMVector3d(size, size, size), centre + MMVector3d(size, size, size), int(rng.Int(1, 3)));
    constexpr double kOffsets[] = {0.0, 0.2, -0.2, 0.5};
    s.offset = kOffsets[rng.Int(0, 3)];
    s.upward = rng.Chance(0.3);
    s.words = std::string(s.meshIsUpper ? "mesh upper, lower: " : "mesh lower, upper: ");
    DescribeBody(s.body, g, s.words);
    s.words += std::string(s.meshIsUpper ? ", rising " : ", dipping ") + UnitsText(dip, g) + " into the mesh, offset " +
               Number(s.offset) + (s.upward ? ", upward" : "");
}

}  // namespace

const char* OperationName(Operation op) { return kNames[int(op)]; }

bool OperationFromName(const std::string& name, Operation& op) {
    for (int i = 0; i < int(std::size(kNames)); ++i)
        if (name == kNames[i]) return op = Operation(i), true;
    return false;
}

const std::vector<std::string>& OperationNames() {
    static const std::vector<std::string> names(std::begin(kNames), std::end(kNames));
    return names;
}

int CasesPerMesh(Operation op, int cuts) { return op == Operation::kSelfTrim ? 1 : cuts; }

SweepCase MakeCase(const SweepMesh& mesh, Operation op, int number, uint64_t seed, double stepsPerUnit) {
    SweepCase s;
    s.op = op;
    s.number = number;
    CaseRandom rng(seed, mesh.name, op, number);
    switch (op) {
    case Operation::kPlane:
    case Operation::kHalvesPlane: MakePlane(s, rng, mesh, stepsPerUnit); break;
    case Operation::kProfile: MakeProfile(s, rng, mesh, stepsPerUnit); break;
    case Operation::kPolyline: MakePolyline(s, rng, mesh, stepsPerUnit); break;
    case Operation::kHalvesCutter:
    case Operation::kTrim: MakeBodyCase(s, rng, mesh, stepsPerUnit); break;
    case Operation::kFrame: MakeFrame(s, rng, mesh, stepsPerUnit); break;
    case Operation::kUndercut: MakeUndercut(s, rng, mesh, stepsPerUnit); break;
    case Operation::kSelfTrim: s.words = "all triangles against all"; break;
    case Operation::kBooleanUndercut: MakeBooleanUndercut(s, rng, mesh, stepsPerUnit); break;
    }
    return s;
}

}  // namespace meshcut_sweep
