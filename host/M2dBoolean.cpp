#include "host/M2dBoolean.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include <polyclipping/clipper.hpp>

namespace AU {
namespace {

using Contour = M2dIntegerBorder::ContourType;
using Point = M2dIntegerBorder::PointType;
using PointKey = std::pair<long, long>;

ClipperLib::Path ToPath(const Contour& contour) {
    ClipperLib::Path path;
    path.reserve(contour.GetNumberOfPoints());
    const Point* p = contour.GetFirstPoint();
    for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext())
        path.emplace_back(p->GetX(), p->GetY());
    return path;
}

bool HasArea(const ClipperLib::Path& path) { return path.size() >= 3 && ClipperLib::Area(path) != 0.0; }

// True when no vertex of `inner` is outside `outer` and at least one is
// strictly inside; contours that merely overlap are not nested.
bool LiesInside(const ClipperLib::Path& inner, const ClipperLib::Path& outer) {
    bool strictlyInside = false;
    for (const ClipperLib::IntPoint& pt : inner) {
        int where = ClipperLib::PointInPolygon(pt, outer);
        if (where == 0) return false;
        if (where == 1) strictlyInside = true;
    }
    return strictlyInside;
}

std::map<PointKey, void*> CollectUserValues(const M2dIntegerBorder& border) {
    std::map<PointKey, void*> values;
    for (Contour* c = border.GetFirstContour(); c; c = M2dIntegerBorder::Next(c)) {
        const Point* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            void*& value = values[{p->GetX(), p->GetY()}];
            if (!value) value = p->GetData();
        }
    }
    return values;
}

void AppendContour(M2dIntegerBorder& border, ClipperLib::Path path, bool hole,
                   const std::map<PointKey, void*>& userValues) {
    // Outer contours run counter-clockwise (positive area), holes clockwise.
    if (ClipperLib::Orientation(path) == hole) ClipperLib::ReversePath(path);
    Contour* contour = border.AddContour();
    contour->SetClosed(true);
    contour->SetClockwise(hole);
    for (const ClipperLib::IntPoint& pt : path) {
        long x = static_cast<long>(pt.X), y = static_cast<long>(pt.Y);
        auto found = userValues.find({x, y});
        contour->AddPoint(x, y, 0L, found == userValues.end() ? nullptr : found->second);
    }
}

struct SimpleRing {
    ClipperLib::Path path;
    bool hole;
};

// The clipper's result as strictly simple rings (no ring passes a point
// twice), each with its hole flag from its orientation.  The clipper's own
// strictly simple mode compares every point of a ring with every other,
// which takes minutes on profiles of a few hundred thousand points.
std::vector<SimpleRing> StrictlySimpleRings(const ClipperLib::PolyTree& tree) {
    std::vector<SimpleRing> rings;
    struct Hash {
        size_t operator()(const ClipperLib::IntPoint& p) const {
            return std::hash<uint64_t>()(uint64_t(p.X) * 0x9E3779B97F4A7C15ull ^ uint64_t(p.Y));
        }
    };
    struct Equal {
        bool operator()(const ClipperLib::IntPoint& a, const ClipperLib::IntPoint& b) const { return a == b; }
    };
    std::unordered_map<ClipperLib::IntPoint, size_t, Hash, Equal> at;
    ClipperLib::Path stack;
    // A ring that passes a point twice is cut there into the loop between the
    // two passes and the rest; every point is pushed and popped once.
    auto split = [&](const ClipperLib::Path& ring) {
        at.clear();
        stack.clear();
        for (const ClipperLib::IntPoint& pt : ring) {
            auto [it, fresh] = at.try_emplace(pt, stack.size());
            if (fresh) {
                stack.push_back(pt);
                continue;
            }
            ClipperLib::Path loop(stack.begin() + std::ptrdiff_t(it->second), stack.end());
            for (size_t k = it->second + 1; k < stack.size(); ++k) at.erase(stack[k]);
            stack.resize(it->second + 1);
            if (HasArea(loop)) rings.push_back({std::move(loop), ClipperLib::Area(loop) < 0});
        }
        if (HasArea(stack)) rings.push_back({stack, ClipperLib::Area(stack) < 0});
    };
    // Depth first, so that every ring comes before the rings nested in it.
    std::vector<const ClipperLib::PolyNode*> pending(tree.Childs.rbegin(), tree.Childs.rend());
    while (!pending.empty()) {
        const ClipperLib::PolyNode* node = pending.back();
        pending.pop_back();
        split(node->Contour);
        pending.insert(pending.end(), node->Childs.rbegin(), node->Childs.rend());
    }
    return rings;
}

}  // namespace

void OrientBorder2D(M2dIntegerBorder& border, std::vector<int>* depths) {
    std::vector<Contour*> contours;
    std::vector<ClipperLib::Path> paths;
    for (Contour* c = border.GetFirstContour(); c; c = M2dIntegerBorder::Next(c)) {
        contours.push_back(c);
        paths.push_back(ToPath(*c));
    }
    if (depths) depths->assign(contours.size(), -1);
    for (size_t i = 0; i < contours.size(); ++i) {
        if (!HasArea(paths[i])) continue;
        int depth = 0;
        for (size_t j = 0; j < contours.size(); ++j)
            if (j != i && HasArea(paths[j]) && LiesInside(paths[i], paths[j])) ++depth;
        bool counterClockwise = depth % 2 == 0;
        if (ClipperLib::Orientation(paths[i]) != counterClockwise) contours[i]->Reverse();
        contours[i]->SetClockwise(!counterClockwise);
        if (depths) (*depths)[i] = depth;
    }
}

namespace {
// A path along one line encloses nothing (and the clipper refuses it).
bool AllCollinear(const ClipperLib::Path& path) {
    const ClipperLib::IntPoint& a = path[0];
    for (size_t i = 1; i < path.size(); ++i) {
        if (path[i].X == a.X && path[i].Y == a.Y) continue;
        const __int128 dx = path[i].X - a.X, dy = path[i].Y - a.Y;
        for (const ClipperLib::IntPoint& q : path)
            if (dx * (q.Y - a.Y) - dy * (q.X - a.X) != 0) return false;
        return true;
    }
    return true;
}
}  // namespace

int BooleanRemoveSelfIntersections(M2dIntegerBorder& border) {
    ClipperLib::Paths paths;
    for (Contour* c = border.GetFirstContour(); c; c = M2dIntegerBorder::Next(c)) {
        // A figure-eight has a zero area sum but encloses area: only the
        // clipper can tell.
        ClipperLib::Path path = ToPath(*c);
        if (path.size() >= 3 && !AllCollinear(path)) paths.push_back(std::move(path));
    }
    std::map<PointKey, void*> userValues = CollectUserValues(border);
    ClipperLib::PolyTree tree;
    if (!paths.empty()) {
        ClipperLib::Clipper clipper;
        clipper.PreserveCollinear(true);
        try {
            clipper.AddPaths(paths, ClipperLib::ptSubject, true);
            if (!clipper.Execute(ClipperLib::ctUnion, tree, ClipperLib::pftNonZero, ClipperLib::pftNonZero)) return -1;
        } catch (const ClipperLib::clipperException&) {
            return -1;  // coordinates beyond Clipper's range
        }
    }
    border.Clear();
    for (SimpleRing& ring : StrictlySimpleRings(tree)) AppendContour(border, std::move(ring.path), ring.hole, userValues);
    return border.GetNumberOfContours();
}

}  // namespace AU

namespace {

using BorderContour = AU::M2dIntegerBorder::ContourType;

std::vector<std::pair<long, long>> PointsOf(const BorderContour& c) {
    std::vector<std::pair<long, long>> points;
    auto* p = c.GetFirstPoint();
    for (uint32_t i = 0; i < c.GetNumberOfPoints(); ++i, p = p->GetNext()) points.emplace_back(p->GetX(), p->GetY());
    return points;
}

ClipperLib::Paths ToPaths(const std::vector<std::vector<std::pair<long, long>>>& contours) {
    ClipperLib::Paths paths;
    for (const auto& c : contours) {
        ClipperLib::Path path;
        for (auto [x, y] : c) path.emplace_back(x, y);
        if (path.size() >= 3) paths.push_back(std::move(path));
    }
    return paths;
}

ClipperLib::Paths ToPaths(const AU::M2dIntegerBorder& border) {
    std::vector<std::vector<std::pair<long, long>>> contours;
    for (auto* c = border.GetFirstContour(); c; c = AU::M2dIntegerBorder::Next(c)) contours.push_back(PointsOf(*c));
    return ToPaths(contours);
}

void AppendPolyTree(AU::M2dIntegerBorder& out, const ClipperLib::PolyTree& tree) {
    for (AU::SimpleRing& ring : AU::StrictlySimpleRings(tree)) {
        if (ClipperLib::Orientation(ring.path) == ring.hole) ClipperLib::ReversePath(ring.path);
        auto* contour = out.AddContour();
        contour->SetClosed(true);
        contour->SetClockwise(ring.hole);
        for (const ClipperLib::IntPoint& pt : ring.path) contour->AddPoint(long(pt.X), long(pt.Y), 0L, nullptr);
    }
}

int Orientation(std::pair<long, long> a, std::pair<long, long> b, std::pair<long, long> c) {
    const __int128 v = __int128(b.first - a.first) * (c.second - a.second) - __int128(b.second - a.second) * (c.first - a.first);
    return (v > 0) - (v < 0);
}

bool OnSegment(std::pair<long, long> a, std::pair<long, long> b, std::pair<long, long> p) {
    return std::min(a.first, b.first) <= p.first && p.first <= std::max(a.first, b.first) &&
           std::min(a.second, b.second) <= p.second && p.second <= std::max(a.second, b.second);
}

bool SegmentsMeet(std::pair<long, long> a, std::pair<long, long> b, std::pair<long, long> c, std::pair<long, long> d) {
    const int o1 = Orientation(a, b, c), o2 = Orientation(a, b, d), o3 = Orientation(c, d, a), o4 = Orientation(c, d, b);
    if (o1 != o2 && o3 != o4 && o1 * o2 <= 0 && o3 * o4 <= 0) {
        if (o1 != 0 || o2 != 0) return true;
    }
    return (o1 == 0 && OnSegment(a, b, c)) || (o2 == 0 && OnSegment(a, b, d)) || (o3 == 0 && OnSegment(c, d, a)) ||
           (o4 == 0 && OnSegment(c, d, b));
}

}  // namespace

void M2dBoolean::ADD_BORDER(const Border& border) {
    auto& target = m_subject.empty() ? m_subject : m_clip;
    for (auto* c = border.GetFirstContour(); c; c = Border::Next(c)) target.push_back(PointsOf(*c));
}

void M2dBoolean::Clear() {
    m_subject.clear();
    m_clip.clear();
}

bool M2dBoolean::Execute(EOperation operation, Border& out) const {
    static constexpr ClipperLib::ClipType kTypes[] = {ClipperLib::ctUnion, ClipperLib::ctIntersection,
                                                      ClipperLib::ctDifference, ClipperLib::ctXor};
    ClipperLib::PolyTree tree;
    try {
        ClipperLib::Clipper clipper;
        clipper.AddPaths(ToPaths(m_subject), ClipperLib::ptSubject, true);
        clipper.AddPaths(ToPaths(m_clip), ClipperLib::ptClip, true);
        if (!clipper.Execute(kTypes[operation], tree, ClipperLib::pftNonZero, ClipperLib::pftNonZero)) return false;
    } catch (const ClipperLib::clipperException&) {
        return false;
    }
    AppendPolyTree(out, tree);
    return true;
}

bool M2dBoolean::HasIntersections(std::vector<std::pair<long, long>>* points) const {
    struct Edge {
        std::pair<long, long> a, b;
        size_t contour, index, count;
    };
    std::vector<Edge> edges;
    size_t contour = 0;
    for (const auto* list : {&m_subject, &m_clip})
        for (const auto& c : *list) {
            for (size_t i = 0; i < c.size(); ++i)
                if (c[i] != c[(i + 1) % c.size()]) edges.push_back({c[i], c[(i + 1) % c.size()], contour, i, c.size()});
            ++contour;
        }
    std::sort(edges.begin(), edges.end(),
              [](const Edge& l, const Edge& r) { return std::min(l.a.first, l.b.first) < std::min(r.a.first, r.b.first); });
    bool found = false;
    for (size_t i = 0; i < edges.size(); ++i) {
        const long maxX = std::max(edges[i].a.first, edges[i].b.first);
        for (size_t j = i + 1; j < edges.size() && std::min(edges[j].a.first, edges[j].b.first) <= maxX; ++j) {
            const Edge &e = edges[i], &f = edges[j];
            if (e.contour == f.contour) {
                // Consecutive edges share one end, which does not count.
                const bool next = (e.index + 1) % e.count == f.index, prev = (f.index + 1) % f.count == e.index;
                if ((next || prev) && e.count > 2) {
                    const auto shared = next ? e.b : e.a;
                    const auto other = next ? f.b : f.a;
                    const auto own = next ? e.a : e.b;
                    // Only a fold back along the shared edge meets elsewhere.
                    if (Orientation(own, shared, other) != 0 ||
                        !(OnSegment(own, shared, other) || OnSegment(shared, other, own)))
                        continue;
                }
            }
            if (!SegmentsMeet(e.a, e.b, f.a, f.b)) continue;
            found = true;
            if (!points) return true;
            points->push_back(e.a);
        }
    }
    return found;
}

double M2dBoolean::Area(const Border& border) {
    M2dBoolean b;
    b.ADD_BORDER(border);
    Border merged;
    if (!b.Execute(eUnion, merged)) return 0.0;
    double area = 0.0;
    for (const ClipperLib::Path& path : ToPaths(merged)) area += ClipperLib::Area(path);
    return area;
}

namespace {
// The ring without the points that lie within `tolerance` of the chord that
// replaces them (Douglas-Peucker on both halves of the ring), so that every
// point of the old ring lies within the tolerance of the new one.
ClipperLib::Path Simplified(const ClipperLib::Path& ring, double tolerance) {
    const size_t n = ring.size();
    if (n < 8) return ring;
    auto distance = [&](size_t p, size_t a, size_t b) {
        const double ax = double(ring[a].X), ay = double(ring[a].Y);
        const double dx = double(ring[b].X) - ax, dy = double(ring[b].Y) - ay;
        const double px = double(ring[p].X) - ax, py = double(ring[p].Y) - ay;
        const double length = std::hypot(dx, dy);
        return length == 0.0 ? std::hypot(px, py) : std::fabs(dx * py - dy * px) / length;
    };
    size_t far = 1;
    for (size_t i = 1; i < n; ++i)
        if (distance(i, 0, 0) > distance(far, 0, 0)) far = i;
    std::vector<bool> keep(n, false);
    keep[0] = keep[far] = true;
    std::vector<std::pair<size_t, size_t>> spans{{0, far}, {far, n}};  // n stands for 0 again
    while (!spans.empty()) {
        const auto [a, b] = spans.back();
        spans.pop_back();
        size_t worst = a;
        double most = tolerance;
        for (size_t i = a + 1; i < b; ++i)
            if (const double d = distance(i, a, b % n); d > most) most = d, worst = i;
        if (worst == a) continue;
        keep[worst] = true;
        spans.push_back({a, worst});
        spans.push_back({worst, b});
    }
    ClipperLib::Path out;
    for (size_t i = 0; i < n; ++i)
        if (keep[i]) out.push_back(ring[i]);
    return out.size() >= 3 ? out : ring;
}
}  // namespace

bool M2dOffsetter::CreateOffset(long offset) {
    if (!m_output) return false;
    m_output->Clear();
    if (!m_input) return false;
    try {
        // Normalise first: the offsetter expects simple, oriented contours.
        // (The clipper's own SimplifyPolygons takes the quadratic strictly
        // simple pass.)
        ClipperLib::Paths input;
        {
            ClipperLib::Clipper clipper;
            clipper.AddPaths(ToPaths(*m_input), ClipperLib::ptSubject, true);
            ClipperLib::PolyTree simple;
            if (!clipper.Execute(ClipperLib::ctUnion, simple, ClipperLib::pftNonZero, ClipperLib::pftNonZero)) return false;
            for (AU::SimpleRing& ring : AU::StrictlySimpleRings(simple)) input.push_back(std::move(ring.path));
        }
        // The chords of a round corner lie up to the arc tolerance inside the
        // arc; offsetting by that much more keeps every point at least the
        // asked distance away.
        const double tolerance = std::max({0.25, m_arcTolerance, 1e-4 * std::fabs(double(offset))});
        // Points within the tolerance of the line through their neighbours
        // go first: an outline of a hundred thousand tiny edges would give as
        // many tiny loops to the offset's union.  Where any went, the offset
        // grows by the tolerance once more to make up for it.
        bool clean = false;
        if (offset != 0)
            for (ClipperLib::Path& path : input) {
                ClipperLib::Path fewer = Simplified(path, tolerance);
                clean = clean || fewer.size() != path.size();
                path = std::move(fewer);
            }
        ClipperLib::ClipperOffset clipperOffset(2.0, tolerance);
        clipperOffset.AddPaths(input, ClipperLib::jtRound, ClipperLib::etClosedPolygon);
        ClipperLib::PolyTree tree;
        const double margin = clean ? 2.0 * tolerance : tolerance;
        const double distance = offset == 0 ? 0.0 : double(offset) + (offset > 0 ? margin : -margin);
        clipperOffset.Execute(tree, -distance);
        if (m_clip) {
            ClipperLib::Paths offsetPaths;
            ClipperLib::PolyTreeToPaths(tree, offsetPaths);
            const ClipperLib::Path window{{m_window[0], m_window[1]}, {m_window[2], m_window[1]},
                                          {m_window[2], m_window[3]}, {m_window[0], m_window[3]}};
            ClipperLib::Clipper clipper;
            clipper.AddPaths(offsetPaths, ClipperLib::ptSubject, true);
            clipper.AddPath(window, ClipperLib::ptClip, true);
            tree.Clear();
            if (!clipper.Execute(ClipperLib::ctIntersection, tree, ClipperLib::pftNonZero, ClipperLib::pftNonZero))
                return false;
        }
        AppendPolyTree(*m_output, tree);
    } catch (const ClipperLib::clipperException&) {
        m_output->Clear();
        return false;
    }
    return true;
}
