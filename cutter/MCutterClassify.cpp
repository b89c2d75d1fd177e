// Classification of the working mesh's triangles against the profile's
// walls, insertion of profile corners on triangle sides, and the final
// distribution of the triangles into the result meshes.
#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_reduce.h>

#include "MCutter.h"
#include "cutter/MCutEdge.h"
#include "cutter/MCutExact.h"

using namespace meshcut_cut;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

struct Box {
    int64_t minX = INT64_MAX, maxX = INT64_MIN, minY = INT64_MAX, maxY = INT64_MIN;
    void Include(const Box& b) {
        minX = std::min(minX, b.minX);
        maxX = std::max(maxX, b.maxX);
        minY = std::min(minY, b.minY);
        maxY = std::max(maxY, b.maxY);
    }
    bool Meets(const Box& b) const { return minX <= b.maxX && b.minX <= maxX && minY <= b.maxY && b.minY <= maxY; }
    Box Intersection(const Box& b) const {
        return {std::max(minX, b.minX), std::min(maxX, b.maxX), std::max(minY, b.minY), std::min(maxY, b.maxY)};
    }
    static Box Everything() { return {INT64_MIN, INT64_MAX, INT64_MIN, INT64_MAX}; }
};

Box BoxOf(const MStlTriangle& t) {
    Box b;
    for (int i = 0; i < 3; ++i) {
        const MStlPoint* p = t.GetPoint(i);
        b.minX = std::min<int64_t>(b.minX, p->GetX());
        b.maxX = std::max<int64_t>(b.maxX, p->GetX());
        b.minY = std::min<int64_t>(b.minY, p->GetY());
        b.maxY = std::max<int64_t>(b.maxY, p->GetY());
    }
    return b;
}

Box BoxOf(const MCutEdge& e) { return {e.MinX(), e.MaxX(), e.MinY(), e.MaxY()}; }

// Whether the edge's wall divides the triangle: the wall meets the inside of
// one of its sides, or the edge lies within the triangle's projection.  A
// corner on the wall within the edge's extent counts.
bool WallCrosses(const MStlTriangle& t, const MCutEdge& e) {
    int s[3];
    for (int i = 0; i < 3; ++i) s[i] = Sign(SideValue(t.GetPoint(i), e));
    bool before = false, after = false;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        if (s[i] == s[j]) continue;
        Fraction f;
        if (!SideCrossingOnEdge(t.GetPoint(i), t.GetPoint(j), e, f)) continue;
        if (f.Below0()) before = true;
        else if (f.Above1()) after = true;
        else return true;
    }
    return before && after;
}

}  // namespace

bool MCutter::_IgnoreTriangleWhileCut(MStlTriangle* triangle) {
    if (!m_useIgnore) return false;
    const bool ignore = m_ignore(triangle);
    if (ignore) m_triangleIgnored = true;
    return ignore;
}

// Crossing-number test against the closed contours, exact for integer
// points (and with the given tolerance for others).
int MCutter::PointInProfile(double x, double y, double tolerance) const {
    int crossings = 0;
    for (auto* c = m_profile.GetFirstContour(); c; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        const uint32_t n = c->GetNumberOfPoints();
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < n; ++i, p = p->GetNext()) {
            if (i + 1 == n && !c->IsClosed()) break;
            const double x0 = p->GetX(), y0 = p->GetY(), x1 = p->GetNext()->GetX(), y1 = p->GetNext()->GetY();
            if (x0 == x && y0 == y) return 0;
            if (y0 == y && y1 == y) {
                if ((x - x1) * (x - x0) <= 0) return 0;
                continue;
            }
            if (!((y0 > y && y >= y1) || (y0 <= y && y < y1))) continue;
            // Sign of x − xi without dividing: xi = x0 + (x1 − x0)(y − y0)/(y1 − y0).
            const long double lhs = ((long double)x - x0) * ((long double)y1 - y0);
            const long double rhs = ((long double)x1 - x0) * ((long double)y - y0);
            const long double diff = y1 > y0 ? lhs - rhs : rhs - lhs;
            if (tolerance > 0) {
                if (std::fabs(double(diff / ((long double)y1 - y0))) < tolerance) return 0;
            } else if (diff == 0) {
                return 0;
            }
            if (diff > 0) ++crossings;
        }
    }
    return crossings % 2 == 1 ? 1 : 2;
}

char MCutter::POSITION_TRIANGLE(MStlTriangle& triangle) const { return _PositionBesides(triangle, 0); }

char MCutter::_PositionBesides(MStlTriangle& t, int skippedCorners) const {
    for (int i = 0; i < 3; ++i) {
        if (skippedCorners & (1 << i)) continue;
        const int where = PointInProfile(t.GetPoint(i)->GetX(), t.GetPoint(i)->GetY());
        if (where == 1) return kInside;
        if (where == 2) return kOutside;
    }
    return POSITION_TRIANGLE_CENTER(t);
}

char MCutter::POSITION_TRIANGLE_CENTER(MStlTriangle& triangle) const {
    // A triangle standing in a wall belongs to the side it closes: facing
    // out of the profile it bounds the inside part, facing in the outside
    // one.  Decided exactly, before the middle is rounded off the wall.
    if (m_edges)
        for (const MCutEdge& e : *m_edges) {
            bool inWall = true;
            i128 along = 0;
            for (int i = 0; i < 3 && inWall; ++i) {
                inWall = SideValue(triangle.GetPoint(i), e) == 0;
                along += ProjectOnEdge(triangle.GetPoint(i), e).num;
            }
            const i128 length2 = i128(e.delta[0]) * e.delta[0] + i128(e.delta[1]) * e.delta[1];
            if (!inWall || along < 0 || along > 3 * length2) continue;
            const i128 inward = NormalDotInward(triangle, e);
            if (inward != 0) return inward < 0 ? kInside : kOutside;
        }
    int64_t sx = 0, sy = 0;
    for (int i = 0; i < 3; ++i) {
        sx += triangle.GetPoint(i)->GetX();
        sy += triangle.GetPoint(i)->GetY();
    }
    const int where = PointInProfile(double(sx) / 3.0, double(sy) / 3.0);
    return where == 1 ? kInside : kOutside;
}

namespace {

// The profile's walls bucketed in a uniform grid over a window, so that a
// triangle meets only the walls of the cells its box covers.
class WallGrid {
public:
    WallGrid(const std::vector<MCutEdge*>& edges, const Box& window) : m_window(window) {
        const double cells = std::clamp(2.0 * std::sqrt(double(edges.size())), 1.0, 1024.0);
        m_n = int(cells);
        m_cellX = std::max<double>(1.0, (double(window.maxX) - double(window.minX) + 1.0) / m_n);
        m_cellY = std::max<double>(1.0, (double(window.maxY) - double(window.minY) + 1.0) / m_n);
        m_cells.resize(size_t(m_n) * size_t(m_n));
        for (MCutEdge* e : edges) {
            const Box b = BoxOf(*e);
            if (!b.Meets(window)) continue;
            const auto [x0, x1, y0, y1] = Cells(b);
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x) m_cells[size_t(y) * size_t(m_n) + size_t(x)].push_back(e);
        }
    }
    // Calls f for every wall in the cells of the box (a wall may come more
    // than once) until f returns true; returns whether it did.
    template <class F>
    bool AnyWall(const Box& b, F&& f) const {
        if (!b.Meets(m_window)) return false;
        const auto [x0, x1, y0, y1] = Cells(b);
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                for (MCutEdge* e : m_cells[size_t(y) * size_t(m_n) + size_t(x)])
                    if (f(*e)) return true;
        return false;
    }

private:
    std::array<int, 4> Cells(const Box& b) const {
        auto cell = [](int64_t v, int64_t origin, double size, int n) {
            return std::clamp(int((double(v) - double(origin)) / size), 0, n - 1);
        };
        return {cell(std::max(b.minX, m_window.minX), m_window.minX, m_cellX, m_n),
                cell(std::min(b.maxX, m_window.maxX), m_window.minX, m_cellX, m_n),
                cell(std::max(b.minY, m_window.minY), m_window.minY, m_cellY, m_n),
                cell(std::min(b.maxY, m_window.maxY), m_window.minY, m_cellY, m_n)};
    }
    Box m_window;
    int m_n = 1;
    double m_cellX = 1.0, m_cellY = 1.0;
    std::vector<std::vector<MCutEdge*>> m_cells;
};

// The profile's contour edges bucketed by rows of y, for the crossing-number
// test of many points; the same rules as MCutter::PointInProfile.
class ProfileRows {
public:
    explicit ProfileRows(const MCutProfile& profile) {
        for (auto* c = profile.GetFirstContour(); c; c = MCutProfile::Next(c)) {
            const uint32_t n = c->GetNumberOfPoints();
            auto* p = c->GetFirstPoint();
            for (uint32_t i = 0; i < n; ++i, p = p->GetNext()) {
                if (i + 1 == n && !c->IsClosed()) break;
                m_edges.push_back({p->GetX(), p->GetY(), p->GetNext()->GetX(), p->GetNext()->GetY()});
            }
        }
        if (m_edges.empty()) return;
        m_minY = INT64_MAX;
        int64_t maxY = INT64_MIN;
        for (const auto& e : m_edges) {
            m_minY = std::min({m_minY, e[1], e[3]});
            maxY = std::max({maxY, e[1], e[3]});
        }
        m_rows = int(std::clamp<size_t>(m_edges.size() * 2, 1, 4096));
        m_rowHeight = std::max(1.0, (double(maxY) - double(m_minY) + 1.0) / m_rows);
        m_buckets.resize(size_t(m_rows));
        for (uint32_t i = 0; i < m_edges.size(); ++i) {
            const auto& e = m_edges[i];
            for (int r = Row(std::min(e[1], e[3])); r <= Row(std::max(e[1], e[3])); ++r) m_buckets[size_t(r)].push_back(i);
        }
        m_maxY = maxY;
    }
    // 0 on the profile, 1 inside, 2 outside.
    int Classify(int64_t x, int64_t y) const {
        if (m_edges.empty() || y < m_minY || y > m_maxY) return 2;
        int crossings = 0;
        for (uint32_t i : m_buckets[size_t(Row(y))]) {
            const auto& e = m_edges[i];
            const int64_t x0 = e[0], y0 = e[1], x1 = e[2], y1 = e[3];
            if (x0 == x && y0 == y) return 0;
            if (y0 == y && y1 == y) {
                if ((x - x1) * (x - x0) <= 0) return 0;
                continue;
            }
            if (!((y0 > y && y >= y1) || (y0 <= y && y < y1))) continue;
            const i128 lhs = i128(x - x0) * (y1 - y0), rhs = i128(x1 - x0) * (y - y0);
            const i128 diff = y1 > y0 ? lhs - rhs : rhs - lhs;
            if (diff == 0) return 0;
            if (diff > 0) ++crossings;
        }
        return crossings % 2 == 1 ? 1 : 2;
    }

private:
    int Row(int64_t y) const { return std::clamp(int((double(y) - double(m_minY)) / m_rowHeight), 0, m_rows - 1); }
    std::vector<std::array<int64_t, 4>> m_edges;
    std::vector<std::vector<uint32_t>> m_buckets;
    int64_t m_minY = 0, m_maxY = -1;
    int m_rows = 1;
    double m_rowHeight = 1.0;
};

template <class F>
void ForSlots(uint32_t count, F&& f) {
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, count, 1u << 13), [&](const auto& range) {
        for (uint32_t i = range.begin(); i != range.end(); ++i) f(i);
    });
}

}  // namespace

std::vector<MStlTriangleElement*> MCutter::_CrossedTriangles() const {
    using Found = std::vector<MStlTriangleElement*>;
    const MStlBase& mesh = *m_working;
    return tbb::parallel_reduce(
        tbb::blocked_range<uint32_t>(0, mesh.GetNumberOfTriangleSlots(), 1u << 14), Found(),
        [&](const auto& range, Found found) {
            for (uint32_t i = range.begin(); i != range.end(); ++i) {
                MStlTriangleElement* t = mesh.GetTriangleBySlot(i);
                if (t && (t->GetStatus() & kCrossed)) found.push_back(t);
            }
            return found;
        },
        [](Found left, const Found& right) {
            left.insert(left.end(), right.begin(), right.end());
            return left;
        });
}

void MCutter::CLASSIFY_TRIANGLES(ProgressPtr progress) {
    m_triangleIgnored = false;
    MStlBase& mesh = *m_working;
    const uint32_t slots = mesh.GetNumberOfTriangleSlots();
    std::vector<MCutEdge*> edges;
    for (MCutEdge& e : *m_edges) edges.push_back(&e);

    // The window where triangles and walls can meet: the mesh's box and the
    // box of the walls that reach into it.
    Box window;
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
        window.Include({it->GetX(), it->GetX(), it->GetY(), it->GetY()});
    Box walls;
    for (const MCutEdge* e : edges)
        if (BoxOf(*e).Meets(window)) walls.Include(BoxOf(*e));
    window = window.Intersection(walls);
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.CLASSIFY_TRIANGLES", 4, true);
    if (_Cancelled(reporter)) return;

    // Triangles that a wall crosses.
    const WallGrid grid(edges, window);
    std::vector<uint8_t> crossed(slots, 0);
    ForSlots(slots, [&](uint32_t i) {
        MStlTriangleElement* t = mesh.GetTriangleBySlot(i);
        if (!t) return;
        t->SetStatus(0);
        const Box box = BoxOf(*t);
        if (!box.Meets(window)) return;
        crossed[i] = grid.AnyWall(box, [&](const MCutEdge& e) { return BoxOf(e).Meets(box) && WallCrosses(*t, e); });
    });
    // The ignore function is the caller's and is asked on this thread only.
    for (uint32_t i = 0; i < slots; ++i) {
        if (!crossed[i]) continue;
        MStlTriangleElement* t = mesh.GetTriangleBySlot(i);
        if (!_IgnoreTriangleWhileCut(t)) t->SetStatus(kCrossed);
    }
    ++reporter;
    if (_Cancelled(reporter)) return;

    // The side of every other triangle, from its first corner off the profile.
    const ProfileRows rows(m_profile);
    std::vector<uint8_t> where(mesh.GetNumberOfPointSlots(), 0);
    ForSlots(mesh.GetNumberOfPointSlots(), [&](uint32_t i) {
        if (const MStlPoint* p = mesh.GetPointBySlot(i)) where[i] = uint8_t(rows.Classify(p->GetX(), p->GetY()));
    });
    ++reporter;
    if (_Cancelled(reporter)) return;
    std::vector<uint8_t> ignored(m_useIgnore ? slots : 0, 0);
    if (m_useIgnore)
        for (uint32_t i = 0; i < slots; ++i) {
            MStlTriangleElement* t = mesh.GetTriangleBySlot(i);
            if (t && t->GetStatus() == 0 && !crossed[i]) ignored[i] = _IgnoreTriangleWhileCut(t);
        }
    std::vector<uint8_t> onProfile(slots, 0);
    ForSlots(slots, [&](uint32_t i) {
        MStlTriangleElement* t = mesh.GetTriangleBySlot(i);
        if (!t) return;
        if (t->GetStatus() != 0) {
            if (m_inPlaceCut && !t->IsMarked()) t->SetStatus(kOutside);
            return;
        }
        if (crossed[i] || (m_useIgnore && ignored[i])) return;
        for (int k = 0; k < 3; ++k) {
            const uint8_t w = where[t->GetPoint(k)->GetIndex()];
            if (w == 0) continue;
            t->SetStatus(w == 1 ? kInside : kOutside);
            return;
        }
        onProfile[i] = 1;
    });
    for (uint32_t i = 0; i < slots; ++i)
        if (onProfile[i]) {
            MStlTriangleElement* t = mesh.GetTriangleBySlot(i);
            t->SetStatus(uint8_t(POSITION_TRIANGLE_CENTER(*t)));
        }
    ++reporter;
    if (_Cancelled(reporter)) return;
    // Cut limits.
    if (m_lowerLimit != kMinusInfinity || m_upperLimit != kPlusInfinity) ForSlots(slots, [&](uint32_t i) {
        MStlTriangleElement* t = mesh.GetTriangleBySlot(i);
        if (!t) return;
        bool below = true, above = true;
        for (int k = 0; k < 3; ++k) {
            below = below && t->GetPoint(k)->GetZ() < m_lowerLimit;
            above = above && t->GetPoint(k)->GetZ() > m_upperLimit;
        }
        if (below) t->SetStatus(t->GetStatus() | kBelow);
        else if (above) t->SetStatus(t->GetStatus() | kAbove);
    });
    ++reporter;
    _Cancelled(reporter);
}

namespace {

// Where a profile corner lies on a side's projection strictly between its
// ends: the fraction along the side, from the larger coordinate difference.
bool CornerOnSide(const MStlPoint* a, const MStlPoint* b, int64_t x, int64_t y, double& u) {
    const int64_t dx = int64_t(b->GetX()) - a->GetX(), dy = int64_t(b->GetY()) - a->GetY();
    if (dx == 0 && dy == 0) return false;  // a vertical side: its projection is a point
    const i128 cross = i128(x - a->GetX()) * dy - i128(y - a->GetY()) * dx;
    if (cross != 0) return false;
    const bool useY = std::llabs(dy) >= std::llabs(dx);
    const int64_t along = useY ? y - a->GetY() : x - a->GetX();
    const int64_t length = useY ? dy : dx;
    if (length > 0 ? (along <= 0 || along >= length) : (along >= 0 || along <= length)) return false;
    u = double(along) / double(length);
    return true;
}

// Twice the projected area over the longest projected side: the width seen
// from above.
bool WiderThanAStep(const MStlTriangle& t) {
    long double longest = 0;
    for (int i = 0; i < 3; ++i) {
        const MStlPoint *a = t.GetPoint(i), *b = t.GetPoint((i + 1) % 3);
        const long double dx = (long double)b->GetX() - a->GetX(), dy = (long double)b->GetY() - a->GetY();
        longest = std::max(longest, dx * dx + dy * dy);
    }
    const long double twiceArea = std::fabs((long double)NormalZ(t));
    return longest > 0 && twiceArea * twiceArea > longest;
}

// Where a profile corner lies within half a grid step of a side's projection
// but not on it, and more than a step from its ends: its distance to the
// side, and the fraction along the side of its foot.  No grid point lies
// between the corner and the side, so the side must pass through the corner:
// the triangles on either side of it would otherwise each compute a point of
// their own there, or one of them a sliver that cannot be divided.
bool CornerNearSide(const MStlPoint* a, const MStlPoint* b, int64_t x, int64_t y, long double& distance, double& u) {
    const long double dx = (long double)b->GetX() - a->GetX(), dy = (long double)b->GetY() - a->GetY();
    const long double px = (long double)x - a->GetX(), py = (long double)y - a->GetY();
    const long double length2 = dx * dx + dy * dy;
    if (length2 == 0) return false;
    const long double cross = px * dy - py * dx;
    if (cross == 0 || 4 * cross * cross > length2) return false;
    const long double along = (px * dx + py * dy) / length2;
    const long double margin = 2.0L / std::sqrt(length2);  // a little over one step
    if (along <= margin || along >= 1 - margin) return false;
    distance = std::fabs(cross) / std::sqrt(length2);
    u = double(along);
    return true;
}

// Whether putting corner (x, y) into side a-b keeps every triangle on that
// side turned as it was seen from above.  Next to a sliver lying almost in a
// wall the corner can sit on the sliver's far side: moving a-b through it
// would leave a piece of the sliver standing upright in the wall, and the
// corner's line meets the sliver on that far side anyway.
bool PiecesKeepTheirTurn(MStlPoint* a, MStlPoint* b, int64_t x, int64_t y) {
    for (uint32_t k = 0; k < a->GetNumberOfNeighbourTriangles(); ++k) {
        const MStlTriangleElement* t = a->GetNeighbourTriangle(k);
        const int ia = t->IndexOfPoint(a), ib = t->IndexOfPoint(b);
        if (ib < 0) continue;
        const MStlPoint* c = t->GetPoint(3 - ia - ib);
        if (SameXY(c, x, y)) continue;  // the pieces stand on the corner's line
        const int turn = Sign(Orient(a->GetX(), a->GetY(), b->GetX(), b->GetY(), c->GetX(), c->GetY()));
        if (turn == 0 || Sign(Orient(a->GetX(), a->GetY(), x, y, c->GetX(), c->GetY())) != turn ||
            Sign(Orient(x, y, b->GetX(), b->GetY(), c->GetX(), c->GetY())) != turn)
            return false;
    }
    return true;
}

// Whether a triangle standing upright has the side a-b.  Such a side is not
// moved onto a corner near it: the face would lean by a fraction of a step,
// and a wall in its plane would cross it at a grazing angle.
bool BoundsUprightFace(MStlPoint* a, MStlPoint* b) {
    for (uint32_t k = 0; k < a->GetNumberOfNeighbourTriangles(); ++k) {
        const MStlTriangleElement* t = a->GetNeighbourTriangle(k);
        if (t->IndexOfPoint(b) >= 0 && NormalZ(*t) == 0) return true;
    }
    return false;
}
}  // namespace

void MCutter::REMOVE_CUT_POINTS_IN_TRIANGLES(ProgressPtr progress) {
    std::vector<std::array<int64_t, 2>> corners;
    for (const MCutEdge& e : *m_edges) corners.push_back({e.start[0], e.start[1]});
    std::sort(corners.begin(), corners.end());
    corners.erase(std::unique(corners.begin(), corners.end()), corners.end());
    // The profile edges that end at each corner.
    std::vector<std::vector<const MCutEdge*>> edgesAt(corners.size());
    for (const MCutEdge& e : *m_edges)
        for (const std::array<int64_t, 2> end : {std::array<int64_t, 2>{e.start[0], e.start[1]},
                                                 std::array<int64_t, 2>{e.start[0] + e.delta[0], e.start[1] + e.delta[1]}}) {
            auto at = std::lower_bound(corners.begin(), corners.end(), end);
            if (at != corners.end() && *at == end) edgesAt[size_t(at - corners.begin())].push_back(&e);
        }
    // An upright triangle in the wall of an edge at the corner lies on the
    // profile there: no wall crosses it at the corner.  Splitting it would
    // only put new points above one another without end.
    auto inWallAtCorner = [&](const MStlTriangle& t, size_t corner) {
        if (NormalZ(t) != 0) return false;
        for (const MCutEdge* e : edgesAt[corner])
            if (SideValue(t.GetPoint(0), *e) == 0 && SideValue(t.GetPoint(1), *e) == 0 && SideValue(t.GetPoint(2), *e) == 0)
                return true;
        return false;
    };
    std::vector<MStlTriangleElement*> work = _CrossedTriangles();
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.REMOVE_CUT_POINTS_IN_TRIANGLES",
                                         work.size(), true);
    // Each corner's vertical line meets a crossed triangle on at most two
    // sides; far more new points than that means the splitting feeds itself
    // and the cut cannot be closed: stop and say so.
    uint64_t insertionsLeft = 8 * uint64_t(work.size()) + 16 * uint64_t(corners.size());
    while (!work.empty()) {
        MStlTriangleElement* t = work.back();
        work.pop_back();
        ++reporter;
        if (_Cancelled(reporter)) return;
        if (!t->IsAlive() || !(t->GetStatus() & kCrossed)) continue;
        // A triangle whose corners lie on one line covers nothing; splitting
        // it at a corner only makes more such triangles, without end.
        if (HasNoArea(*t)) continue;
        const Box box = BoxOf(*t);
        auto from = std::lower_bound(corners.begin(), corners.end(), std::array<int64_t, 2>{box.minX, INT64_MIN});
        for (auto c = from; c != corners.end() && (*c)[0] <= box.maxX; ++c) {
            if ((*c)[1] < box.minY || (*c)[1] > box.maxY) continue;
            // A triangle standing upright can have a corner of its own over
            // the profile corner and a side through it as well: the corner is
            // there already (and the point on the side would be that corner).
            bool cornerThere = false;
            for (int i = 0; i < 3; ++i)
                cornerThere = cornerThere || (t->GetPoint(i)->GetX() == (*c)[0] && t->GetPoint(i)->GetY() == (*c)[1]);
            if (cornerThere || inWallAtCorner(*t, size_t(c - corners.begin()))) continue;
            MStlPoint* ends[3][2];
            double u[3];
            int sides[2], count = 0;
            for (int i = 0; i < 3 && count < 2; ++i) {
                ends[i][0] = t->GetPoint(i);
                ends[i][1] = t->GetPoint((i + 1) % 3);
                if (CornerOnSide(ends[i][0], ends[i][1], (*c)[0], (*c)[1], u[i])) sides[count++] = i;
            }
            // Only a triangle more than a step wide seen from above has a side
            // that a corner can be near: in an upright one every corner near
            // its line is near two sides, and needs a point on each.
            if (count == 0 && WiderThanAStep(*t)) {
                long double nearest = 1;
                for (int i = 0; i < 3; ++i) {
                    long double distance = 0;
                    double along = 0;
                    if (!CornerNearSide(ends[i][0], ends[i][1], (*c)[0], (*c)[1], distance, along) || distance >= nearest ||
                        BoundsUprightFace(ends[i][0], ends[i][1]) ||
                        !PiecesKeepTheirTurn(ends[i][0], ends[i][1], (*c)[0], (*c)[1]))
                        continue;
                    nearest = distance;
                    sides[0] = i, u[i] = along, count = 1;
                }
            }
            if (count == 0) continue;
            // One new vertex per side holding the corner, each splitting the
            // triangles on that mesh edge, so that the neighbours stay joined.
            MStlPoint* added = nullptr;
            for (int k = 0; k < count; ++k) {
                const int i = sides[k];
                const double z0 = ends[i][0]->GetZ(), z1 = ends[i][1]->GetZ();
                MStlPoint* n = m_working->AddPoint(int32_t((*c)[0]), int32_t((*c)[1]),
                                                   int32_t(std::trunc(z0 + (z1 - z0) * u[i])), false);
                if (m_working->InsertPointBetweenPoints(n, ends[i][0], ends[i][1]) > 0) added = n;
            }
            // Nothing split (the point on the side was a point of the mesh
            // that cannot go there): the next corner, or the next triangle.
            if (!added) continue;
            if (insertionsLeft-- == 0) {
                ++m_unclosed;
                return;
            }
            for (uint32_t k = 0; k < added->GetNumberOfNeighbourTriangles(); ++k)
                work.push_back(added->GetNeighbourTriangle(k));
            if (count == 2)
                for (int k = 0; k < 2; ++k) {
                    MStlPoint* other = ends[sides[k]][0];
                    for (uint32_t j = 0; j < other->GetNumberOfNeighbourTriangles(); ++j)
                        work.push_back(other->GetNeighbourTriangle(j));
                }
            work.push_back(t);
            break;
        }
    }
}

void MCutter::_MarkInsideTriangles() const {
    if (!m_working) return;
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it)
        if (!(it->IsMarked() && (it->GetStatus() & kInside))) it->Unmark();
}

void MCutter::_MarkUpperAndLowerTriangles() const {
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        const i128 nz = NormalZ(**it);
        it->SetFacing(nz < 0 ? 1 : nz > 0 ? 2 : 0);
    }
}

void MCutter::DETERMINE_BELOW_AND_ABOVE() const {
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        bool underUpper = true, overLower = true;
        for (int i = 0; i < 3; ++i) {
            underUpper = underUpper && it->GetPoint(i)->GetZ() <= m_upperLimit;
            overLower = overLower && it->GetPoint(i)->GetZ() >= m_lowerLimit;
        }
        if (underUpper && overLower) continue;
        it->SetStatus(it->GetStatus() | (underUpper ? kBelow : kAbove));
    }
}

void MCutter::REMOVE_TRIANGLE_SETS() const {
    m_working->RemoveTrianglesIf(
        [](const MStlTriangle& t) { return (t.GetStatus() & kFill) && (t.GetStatus() & (kBelow | kAbove)); });
}

// --- distribution into the results ------------------------------------------

DLIST_ELEMENT<MStlTriangle>* MCutter::COPY_TRIANGLE_TO(MStlTriangle& triangle, bool inside) const {
    MStlBase* target = inside ? m_inside : m_outside;
    if (!target) return nullptr;
    MStlSurface* surface = triangle.GetSurface() ? triangle.GetSurface()->GetRelatedSurface(inside ? 0 : 1) : nullptr;
    MStlTriangleElement* added = target->AddTriangle(target->AddPoint(triangle.GetPoint(0), false),
                                                     target->AddPoint(triangle.GetPoint(1), false),
                                                     target->AddPoint(triangle.GetPoint(2), false), surface);
    if (added) added->CopyStateFrom(triangle, true, true, false, false, true, true);
    return added;
}

DLIST_ELEMENT<MStlTriangle>* MCutter::COPY_TRIANGLE_TO(MStlTriangle& triangle, MStlBase* target) {
    if (!target) return nullptr;
    MStlTriangleElement* added = target->AddTriangle(target->AddPoint(triangle.GetPoint(0), false),
                                                     target->AddPoint(triangle.GetPoint(1), false),
                                                     target->AddPoint(triangle.GetPoint(2), false), nullptr);
    if (added) added->CopyStateFrom(triangle, true, true, false, false, true, true);
    return added;
}

namespace {
// Copies the triangles whose status `take` selects into the (empty) target,
// built in parallel; each triangle goes into the related surface of its
// surface.
// Returns the unpaired sides of what it copied, or UINT64_MAX when it did
// not count them.
template <class Take>
uint64_t CopySelected(MStlBase& source, MStlBase& target, int related, Take&& take) {
    std::vector<uint8_t> selected(source.GetNumberOfTriangleSlots(), 0);
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, source.GetNumberOfTriangleSlots(), 1u << 14),
                      [&](const auto& range) {
                          for (uint32_t i = range.begin(); i != range.end(); ++i) {
                              const MStlTriangleElement* t = source.GetTriangleBySlot(i);
                              selected[i] = t && t->IsAlive() && take(t->GetStatus());
                          }
                      });
    std::vector<MStlSurface*> surfaces(source.GetNumberOfSurfaces(), nullptr);
    for (uint32_t i = 0; i < source.GetNumberOfSurfaces(); ++i)
        surfaces[i] = source.GetSurface(i)->GetRelatedSurface(related);
    uint64_t unpaired = 0;
    if (target.AppendSelected(source, selected, surfaces, &unpaired)) return unpaired;
    // A target that already holds triangles takes them one by one.
    MStlBaseCopyTriangleAttributes attributes(source, target, true);
    MStlPointSlotMap map(source, target);
    for (auto it = source.BeginTriangle(); it != source.EndTriangle(); ++it) {
        MStlTriangleElement* t = *it;
        if (!selected[t->GetIndex()]) continue;
        MStlSurface* surface = t->GetSurface() ? t->GetSurface()->GetRelatedSurface(related) : nullptr;
        MStlPoint* const corners[3] = {map(t->GetPoint(0)), map(t->GetPoint(1)), map(t->GetPoint(2))};
        MStlTriangleElement* added = target.AddTriangle(corners, surface);
        if (added) added->CopyStateFrom(*t, true, true, false, false, true, true);
    }
    return UINT64_MAX;
}
}  // namespace

void MCutter::DIVIDE_TO_CUT_DATA(ProgressPtr progress) {
    m_unpairedInParts[0] = m_unpairedInParts[1] = UINT64_MAX;
    if (!m_working) return;
    const uint64_t results = uint64_t(m_inside != nullptr) + uint64_t(m_outside != nullptr);
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.DIVIDE_TO_CUT_DATA",
                                         m_working->GetNumberOfSurfaces() + results * m_working->GetNumberOfTriangles(),
                                         true);
    for (uint32_t i = 0; i < m_working->GetNumberOfSurfaces(); ++i) {
        MStlSurface* s = m_working->GetSurface(i);
        if (m_inside) s->SetRelatedSurface(m_inside->AddSurface(s), 0);
        if (m_outside) s->SetRelatedSurface(m_outside->AddSurface(s), 1);
        ++reporter;
        if (_Cancelled(reporter)) return;
    }
    if (m_triangleIgnored) {
        DIVIDE_TO_CUT_DATA_4_COMPLEX_TOPOLOGY(progress);
        return;
    }
    if (m_inside) {
        m_unpairedInParts[0] =
            CopySelected(*m_working, *m_inside, 0, [](uint8_t s) { return (s & kInside) && !(s & (kBelow | kAbove)); });
        reporter += m_working->GetNumberOfTriangles();
        if (_Cancelled(reporter)) return;
    }
    if (m_outside) {
        m_unpairedInParts[1] =
            CopySelected(*m_working, *m_outside, 1, [](uint8_t s) { return (s & (kOutside | kBelow | kAbove)) != 0; });
        reporter += m_working->GetNumberOfTriangles();
        _Cancelled(reporter);
    }
}

void MCutter::DIVIDE_TO_CUT_DATA_4_COMPLEX_TOPOLOGY(ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.DIVIDE_TO_CUT_DATA_4_COMPLEX_TOPOLOGY",
                                         2 * m_working->GetNumberOfTriangles(), true);
    constexpr uint8_t kBeyond = kBelow | kAbove;
    // Seeds: triangles that touch a cut surface.
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        if (!(it->GetStatus() & kFill)) continue;
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* p = it->GetPoint(i);
            for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
                MStlTriangleElement* n = p->GetNeighbourTriangle(k);
                if (!(n->GetStatus() & kFill)) n->SetStatus(n->GetStatus() | kCrossed);
            }
        }
    }
    // The side that the region walks collect; the other results take the rest.
    uint8_t side = kInside;
    bool sideFixed = false;
    std::deque<MStlTriangleElement*> queue;
    auto copyTo = [&](MStlTriangleElement* t, bool inside) {
        // Triangles beyond the cut limits always belong to the outside part.
        COPY_TRIANGLE_TO(*t, inside && !(t->GetStatus() & kBeyond));
        t->SetStatus(t->GetStatus() | kRegion);
    };
    auto walk = [&](MStlTriangleElement* start) {
        const bool inside = side == kInside;
        copyTo(start, inside);
        queue.assign(1, start);
        while (!queue.empty()) {
            MStlTriangleElement* t = queue.front();
            queue.pop_front();
            const uint8_t ts = t->GetStatus();
            static constexpr int kEdges[3][2] = {{2, 0}, {0, 1}, {1, 2}};
            for (const auto& edge : kEdges) {
                const MStlPoint* q = t->GetPoint(edge[0]);
                const MStlPoint* v = t->GetPoint(edge[1]);
                for (uint32_t k = 0; k < v->GetNumberOfNeighbourTriangles(); ++k) {
                    MStlTriangleElement* n = v->GetNeighbourTriangle(k);
                    if (n == t || n->IndexOfPoint(q) < 0) continue;
                    const uint8_t ns = n->GetStatus();
                    if (ns & kRegion) continue;
                    if (inside && (ns & kBeyond)) continue;
                    bool take;
                    if (ns & kCrossed) take = !((ts & (kCrossed | kFill)) && (ns & 6) != (ts & 6));
                    else if (ns & kFill) take = (ts & ns & 6) != 0;
                    else take = !(ts & kFill);
                    if (!take) continue;
                    copyTo(n, inside);
                    queue.push_back(n);
                }
            }
        }
    };
    uint64_t step = 0;
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        if ((++step & 1023) == 0) {
            reporter += 1024;
            if (_Cancelled(reporter)) return;
        }
        MStlTriangleElement* t = *it;
        const uint8_t s = t->GetStatus();
        if (s & kRegion) continue;
        if (!sideFixed) {
            if ((s & 6) != kInside && (s & 6) != kOutside) continue;
            side = uint8_t(s & 6);
            sideFixed = true;
        }
        if ((s & 6) != side) continue;
        if (side == kInside && (s & kBeyond)) continue;
        MStlBase* target = side == kInside ? m_inside : m_outside;
        if (!target) continue;
        MStlBaseCopyTriangleAttributes attributes(*m_working, *target, true);
        walk(t);
    }
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        if ((++step & 1023) == 0) {
            reporter += 1024;
            if (_Cancelled(reporter)) return;
        }
        if (it->GetStatus() & kRegion) continue;
        const bool toInside = side != kInside && !(it->GetStatus() & kBeyond);
        COPY_TRIANGLE_TO(**it, toInside);
    }
}
