// The cut driver: turns the cut mode into the sequence of cut phases, and
// builds the edge list from the profile.
#include <algorithm>
#include <array>
#include <set>
#include <vector>
#include <cmath>
#include <new>

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <absl/container/flat_hash_set.h>

#include "MCutter.h"
#include "cutter/MCutEdge.h"
#include "cutter/MCutExact.h"
#include "host/MInternalUnits.h"
#include "host/MStlBaseOperatorFixer.h"

using meshcut_cut::i128;
using meshcut_cut::Orient;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

long InternalUnit() { return std::max(1L, long(QelSDK::Common::MInternalUnits::Get())); }

}  // namespace

bool MCutter::_Cancelled(const IncrementalProgressReporter& reporter) {
    if (!m_cancelled && reporter.IsCancelled()) m_cancelled = true;
    return m_cancelled;
}

char MCutter::MAKE_CUT(ProgressPtr progress) {
    try {
        return _MakeCut(std::move(progress));
    } catch (const std::bad_alloc&) {
        ReleaseEdgeList();
        ReleaseResults();
        if (m_ownsWorking && m_working) m_working->ClearStl(true);
        return kOutOfMemory;
    }
}

char MCutter::_MakeCut(ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.MAKE_CUT", 1000, false);
    char result = kNoCut;
    m_inPlaceCut = false;
    m_cancelled = false;
    m_unclosed = 0;
    m_madeTriangles.clear();
    if (!m_useIgnore) ResetCustomTriangleIgnoreFunction();
    const bool cuts = m_cutMode <= 5 || m_cutMode == 7;
    if (cuts && !m_working) return kNoMesh;
    // A filled cut of a closed mesh must give closed results; one that does
    // not is reported, never delivered as done.  Whether the mesh was closed
    // is asked only when a part comes out open, unless the cut consumes the
    // mesh (in place): then it is asked before.
    const bool inPlace = m_working == m_start;
    const bool checkClosed = m_fillMode != 0 && (m_cutMode <= 3 || m_cutMode == 5) &&
                             (!inPlace || m_working->CountUnpairedSides() == 0);
    auto openLimits = [this] {
        m_lowerLimit = kMinusInfinity;
        m_upperLimit = kPlusInfinity;
    };
    // The infinite coordinates are pulled in to the mesh before the profile
    // is rounded or its edges are split: rounding would move the infinity
    // values out of reach, and splitting edges 2^32 long would never end.
    auto prepareProfile = [this](bool limitEdges) {
        REPLACE_MAX_COORDINATES();
        if (m_roundRadius != 0) m_profile.MakeRound(m_roundRadius);
        if (limitEdges) m_profile.LimitEdgeLength(5 * InternalUnit());
    };
    switch (m_cutMode) {
    case 0:
    case 1:
    case 2:
        openLimits();
        MAKE_NEW_DATA(true, true);
        result = MAKE_CUT_AT_VALUE(m_cutValue, char(m_cutMode), reporter.CreateNestedDelegate(0.5));
        break;
    case 3:
        openLimits();
        MAKE_NEW_DATA(true, true);
        prepareProfile(true);
        result = _MakeCutAlongPolyline(true, reporter.CreateNestedDelegate(0.5));
        break;
    case 4:
        openLimits();
        MAKE_NEW_DATA(true, false);
        result = MAKE_SUPPORT_CUT(m_support.a, m_support.b, m_support.c, m_support.d, m_support.e,
                                  reporter.CreateNestedDelegate(0.5));
        if (result == kDone && !m_cancelled) {
            m_working->MoveTo(*m_inside);
        }
        break;
    case 5:
        m_lowerLimit = m_cutValue;
        m_upperLimit = kPlusInfinity;
        MAKE_NEW_DATA(true, true);
        prepareProfile(false);
        result = MAKE_DEPTH_CUT(reporter.CreateNestedDelegate(0.5));
        break;
    case 7: {
        openLimits();
        ReleaseResults();
        prepareProfile(false);
        m_inPlaceCut = true;
        result = _MakeCutAlongPolyline(false, reporter.CreateNestedDelegate(0.5));
        _MarkInsideTriangles();
        // The start mesh receives the divided copy only when the cut went
        // through: a cancelled or failed cut leaves the caller's mesh as it was.
        if (result == kDone && !m_cancelled && m_working != m_start) {
            m_start->ClearStl(true);
            m_start->AddStl(*m_working, false);
            m_working->ClearStl(true);
        }
        break;
    }
    default:
        break;
    }
    if (m_cancelled) return kCancelled;
    DIVIDE_TO_CUT_DATA(reporter.CreateNestedDelegate(0.5));
    if (m_cancelled) return kCancelled;
    if (result == kDone && checkClosed) {
        uint64_t faulty = 0;
        for (int k = 0; k < 2; ++k) {
            MStlBase* part = k == 0 ? m_inside : m_outside;
            if (!part) continue;
            uint64_t open = m_unpairedInParts[k] != UINT64_MAX ? m_unpairedInParts[k] : part->CountUnpairedSides();
            // A profile corner or wall through an edge of the mesh leaves
            // parts that touch themselves along it: closed, but not manifold
            // until each side of the touch has its own copy of the edge.
            if (open != 0) {
                MStlBaseOperatorFixer fixer;
                fixer.SetStl(part);
                if (fixer.SeparateTouchingSolids() != 0) open = part->CountUnpairedSides();
            }
            faulty += open;
        }
        // Open parts of an open mesh break no promise.
        if (faulty != 0 && !inPlace && m_start && m_start->CountUnpairedSides() != 0) faulty = 0;
        m_unclosed += faulty;
    }
    if (result == kDone && m_unclosed != 0 && m_cutMode != 7) result = kOpeningsNotClosed;
    return result;
}

void MCutter::TRANSFORM(MStlPoint& point, char axis, char direction) {
    const int32_t x = point.GetX(), y = point.GetY(), z = point.GetZ();
    const bool toY = (axis == 1 && direction == 0) || (axis == 2 && direction == 1);
    const bool toZ = (axis == 1 && direction == 1) || (axis == 2 && direction == 0);
    if (toY) point.SetCoordinatesFast(y, z, x);
    if (toZ) point.SetCoordinatesFast(z, x, y);
}

namespace {
void PermuteMesh(MStlBase& mesh, char axis, char direction) {
    if (axis != 1 && axis != 2) return;
    MStlBaseOperatorHelperDirectPointChange change(mesh, true);
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it) MCutter::TRANSFORM(**it, axis, direction);
}
}  // namespace

char MCutter::MAKE_CUT_AT_VALUE(long value, char axis, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.MAKE_CUT_AT_VALUE", 1000, false);
    PermuteMesh(*m_working, axis, 0);
    m_profile.Clear();
    AddNewCutContour();
    AddNewCutPoint(value, kPlusInfinity, false);
    AddNewCutPoint(value, kMinusInfinity, false);
    AddNewCutPoint(kMinusInfinity, kMinusInfinity, false);
    AddNewCutPoint(kMinusInfinity, kPlusInfinity, false);
    m_profile.GetLastContour()->SetClosed(true);
    const char result = _MakeCutAlongPolyline(true, reporter.CreateNestedDelegate(1.0));
    PermuteMesh(*m_working, axis, 1);
    return result;
}

char MCutter::_MakeCutAlongPolyline(bool fill, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter._MakeCutAlongPolyline", 1000, false);
    REPLACE_MAX_COORDINATES();
    // A failed phase clears the working mesh only when it is the cutter's own
    // copy; a mesh cut in place is the caller's model and stays as it is.
    auto fail = [this](char r) {
        if (m_ownsWorking && r != kCancelled) m_working->ClearStl(true);
        return r;
    };
    _MoveCornersOntoNearPointLines();
    char r = _CreateEdgeList(false, reporter.CreateNestedDelegate(0.5));
    if (r != 0) return fail(r);
    r = DIVIDE_DATA(reporter.CreateNestedDelegate(0.5));
    if (r != 0) return fail(r);
    if (fill && m_fillMode != 0) FILL_CUT_EDGES();
    return kDone;
}

namespace {
uint64_t KeyOf(int64_t x, int64_t y) { return (uint64_t(x) << 32) ^ uint64_t(uint32_t(y)); }

// Twice the signed area of the triangle seen from above, with `moved` at
// (x, y) instead of where it is.
i128 TurnWith(const MStlTriangle& t, const MStlPoint* moved, int64_t x, int64_t y) {
    int64_t c[3][2];
    for (int i = 0; i < 3; ++i) {
        const MStlPoint* q = t.GetPoint(i);
        c[i][0] = q == moved ? x : q->GetX();
        c[i][1] = q == moved ? y : q->GetY();
    }
    return Orient(c[0][0], c[0][1], c[1][0], c[1][1], c[2][0], c[2][1]);
}

// A corner that stands on the vertical line of a mesh point cannot move onto
// another point's line a step away: the walls meeting there pass that
// point within a step (the top of a mesh edge a step off upright, with its
// foot on the corner's line), their crossings of its sides round onto it,
// and the pieces between come out without area.  The point moves onto the
// corner's line instead, where no triangle round it turns over seen from
// above; one that stands up there stands in the walls through the corner.
// `candidates`: the mesh points near the corners; `lines`: their lines, sorted.
void MovePointsOntoNearCornerLines(MStlBase& mesh, const MCutProfile& profile, const std::vector<MStlPoint*>& candidates,
                                   const std::vector<std::array<int64_t, 2>>& lines, bool markedOnly) {
    absl::flat_hash_set<uint64_t> corners;
    for (auto* c = profile.GetFirstContour(); c; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) corners.insert(KeyOf(p->GetX(), p->GetY()));
    }
    std::set<std::array<int32_t, 3>> taken;  // where the candidates are: no two points may meet there
    for (const MStlPoint* p : candidates) taken.insert({p->GetX(), p->GetY(), p->GetZ()});
    // Whether p can stand at (x, y): no triangle round it turns over (and,
    // in a cut in place, each is one the cut may change).
    auto canMove = [markedOnly](MStlPoint* p, int64_t x, int64_t y) {
        for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
            const MStlTriangleElement* t = p->GetNeighbourTriangle(k);
            if (markedOnly && !t->IsMarked()) return false;
            const i128 before = TurnWith(*t, p, p->GetX(), p->GetY()), after = TurnWith(*t, p, x, y);
            if (after != 0 && (before == 0 || (after > 0) != (before > 0))) return false;
        }
        return true;
    };
    for (MStlPoint* p : candidates) {
        const int64_t px = p->GetX(), py = p->GetY();
        if (corners.contains(KeyOf(px, py))) continue;
        bool moved = false;
        for (int64_t dx = -1; dx <= 1 && !moved; ++dx)
            for (int64_t dy = -1; dy <= 1 && !moved; ++dy) {
                const int64_t x = px + dx, y = py + dy;
                if ((dx == 0 && dy == 0) || !corners.contains(KeyOf(x, y)) ||
                    !std::binary_search(lines.begin(), lines.end(), std::array<int64_t, 2>{x, y}))
                    continue;
                if (taken.contains({int32_t(x), int32_t(y), p->GetZ()}) || !canMove(p, x, y)) continue;
                taken.erase({p->GetX(), p->GetY(), p->GetZ()});
                mesh.MovePoint(p, int32_t(x), int32_t(y), p->GetZ());
                taken.insert({p->GetX(), p->GetY(), p->GetZ()});
                moved = true;
            }
    }
}
}  // namespace

// A profile corner within a grid step of the vertical line through a mesh
// point, but not on it, moves onto that line (the nearest, if several).
// Otherwise the walls meeting at the corner pass the point closer than a
// step: their crossings of the point's sides round onto the point, or next
// to it, and the walls' pieces between the corner and the point, shorter
// than a step, lie in the faces there instead of crossing them.
void MCutter::_MoveCornersOntoNearPointLines() {
    if (!m_working || m_working->GetNumberOfPoints() == 0) return;
    absl::flat_hash_set<uint64_t> near;
    int64_t lo[2] = {INT64_MAX, INT64_MAX}, hi[2] = {INT64_MIN, INT64_MIN};
    for (auto* c = m_profile.GetFirstContour(); c; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            const int64_t xy[2] = {p->GetX(), p->GetY()};
            for (int k = 0; k < 2; ++k) {
                lo[k] = std::min(lo[k], xy[k] - 1);
                hi[k] = std::max(hi[k], xy[k] + 1);
            }
            for (int64_t dx = -1; dx <= 1; ++dx)
                for (int64_t dy = -1; dy <= 1; ++dy) near.insert(KeyOf(xy[0] + dx, xy[1] + dy));
        }
    }
    if (near.empty()) return;
    // The mesh points near any corner; few, so gathered in lists.
    using Points = std::vector<MStlPoint*>;
    const MStlBase& mesh = *m_working;
    const Points nearPoints = tbb::parallel_reduce(
        tbb::blocked_range<uint32_t>(0, mesh.GetNumberOfPointSlots(), 1u << 14), Points(),
        [&](const auto& range, Points found) {
            for (uint32_t i = range.begin(); i != range.end(); ++i) {
                MStlPoint* p = mesh.GetPointBySlot(i);
                if (!p || p->GetX() < lo[0] || p->GetX() > hi[0] || p->GetY() < lo[1] || p->GetY() > hi[1]) continue;
                if (near.contains(KeyOf(p->GetX(), p->GetY()))) found.push_back(p);
            }
            return found;
        },
        [](Points left, const Points& right) {
            left.insert(left.end(), right.begin(), right.end());
            return left;
        });
    if (nearPoints.empty()) return;
    std::vector<std::array<int64_t, 2>> lines;
    for (const MStlPoint* p : nearPoints) lines.push_back({p->GetX(), p->GetY()});
    std::sort(lines.begin(), lines.end());
    lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
    for (auto* c = m_profile.GetFirstContour(); c; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            const int64_t x = p->GetX(), y = p->GetY();
            auto first = std::lower_bound(lines.begin(), lines.end(), std::array<int64_t, 2>{x - 1, y - 1});
            const std::array<int64_t, 2>* best = nullptr;
            bool onLine = false;
            for (auto it = first; it != lines.end() && (*it)[0] <= x + 1 && !onLine; ++it) {
                if ((*it)[1] < y - 1 || (*it)[1] > y + 1) continue;
                onLine = (*it)[0] == x && (*it)[1] == y;
                auto distance = [&](const std::array<int64_t, 2>& l) { return (l[0] - x) * (l[0] - x) + (l[1] - y) * (l[1] - y); };
                if (!best || distance(*it) < distance(*best)) best = &*it;
            }
            if (onLine || !best) continue;
            // Neighbours on the same line would leave an edge without length.
            auto at = [&](const MCutProfile::Point* q) { return q->GetX() == (*best)[0] && q->GetY() == (*best)[1]; };
            if (c->GetNumberOfPoints() > 1 && (at(p->GetNext()) || at(p->GetPrev()))) continue;
            p->SetX((*best)[0]);
            p->SetY((*best)[1]);
        }
    }
    MovePointsOntoNearCornerLines(*m_working, m_profile, nearPoints, lines, m_inPlaceCut);
}

char MCutter::DIVIDE_DATA(ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.DIVIDE_DATA", 1000, false);
    // Normals are computed from the corners whenever they are asked for, so
    // there is nothing to refresh before the classification.
    CLASSIFY_TRIANGLES(reporter.CreateNestedDelegate(0.3333333333333333));
    if (m_cancelled) return kCancelled;
    REMOVE_CUT_POINTS_IN_TRIANGLES(reporter.CreateNestedDelegate(0.3333333333333333));
    if (m_cancelled) return kCancelled;
    FINAL_CUT_REMOVE(reporter.CreateNestedDelegate(0.3333333333333333));
    return m_cancelled ? kCancelled : kDone;
}

void MCutter::REPLACE_MAX_COORDINATES() {
    if (!m_working) return;
    // Most profiles have no infinite coordinate (and none is left after the
    // first call of a cut): then the mesh's points need no scan.
    bool infinite = false;
    for (auto* c = m_profile.GetFirstContour(); c && !infinite; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints() && !infinite; ++i, p = p->GetNext())
            for (long v : {p->GetX(), p->GetY()}) infinite = infinite || v == kMinusInfinity || v == kPlusInfinity;
    }
    if (!infinite) return;
    int64_t lo[2] = {INT32_MAX, INT32_MAX}, hi[2] = {INT32_MIN, INT32_MIN};
    for (auto it = m_working->BeginPoint(); it != m_working->EndPoint(); ++it) {
        for (int k = 0; k < 2; ++k) {
            lo[k] = std::min<int64_t>(lo[k], (*it)->Get(k));
            hi[k] = std::max<int64_t>(hi[k], (*it)->Get(k));
        }
    }
    if (lo[0] > hi[0]) lo[0] = lo[1] = hi[0] = hi[1] = 0;  // no points: pull in to the origin
    const double unit = QelSDK::Common::MInternalUnits::Get();
    for (auto* c = m_profile.GetFirstContour(); c; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            long v[2] = {p->GetX(), p->GetY()};
            for (int k = 0; k < 2; ++k) {
                if (v[k] == kMinusInfinity) v[k] = meshcut_cut::TruncateToFinite(double(lo[k]) - unit);
                else if (v[k] == kPlusInfinity) v[k] = meshcut_cut::TruncateToFinite(double(hi[k]) + unit);
            }
            p->SetX(v[0]);
            p->SetY(v[1]);
        }
    }
}

char MCutter::_CreateEdgeList(bool checkIntersections, ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter._CreateEdgeList", 1000, false);
    ReleaseEdgeList();
    m_edges = new D_LIST<MCutEdge>();
    m_wallEdges.clear();
    m_cornerLinePoints.clear();
    m_profile.GiveRightSense();
    MStlSurface* surface = nullptr;
    for (auto* c = m_profile.GetFirstContour(); c; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        // The walk starts at the contour's first flagged point, so that a
        // surface runs on round the ring to the next flagged point wherever
        // the ring happens to begin (orienting a profile may move its start).
        const uint32_t n = c->GetNumberOfPoints();
        if (n == 0) continue;
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < n && !MCutProfile::IsOwnSurface(*p); ++i) p = p->GetNext();
        if (!MCutProfile::IsOwnSurface(*p)) p = c->GetFirstPoint();
        MCutEdge *first = nullptr, *last = nullptr;
        for (uint32_t i = 0; i < n; ++i, p = p->GetNext()) {
            if (MCutProfile::IsOwnSurface(*p)) surface = m_working->AddSurface(nullptr);
            auto* q = p->GetNext();
            const int64_t dx = int64_t(q->GetX()) - p->GetX(), dy = int64_t(q->GetY()) - p->GetY();
            if (dx == 0 && dy == 0) continue;
            MCutEdge* e = m_edges->ACHTERAAN_INVOEGEN()->GetData();
            e->start[0] = p->GetX();
            e->start[1] = p->GetY();
            e->delta[0] = dx;
            e->delta[1] = dy;
            e->surface = surface;
            if (last) last->nextDelta[0] = dx, last->nextDelta[1] = dy;
            if (!first) first = e;
            last = e;
        }
        if (last) last->nextDelta[0] = first->delta[0], last->nextDelta[1] = first->delta[1];
    }
    if (checkIntersections && !m_edges->IsEmpty()) return EDGES_INTERSECT(reporter.CreateNestedDelegate(1.0));
    return kDone;
}

namespace {
// Whether edge b meets edge a, the shared end of two consecutive edges not
// counting; exact in rationals.
bool EdgesMeet(const MCutEdge& a, const MCutEdge& b) {
    using i128 = __int128;
    const i128 den = i128(a.delta[1]) * b.delta[0] - i128(a.delta[0]) * b.delta[1];
    if (den == 0) return false;
    const i128 wx = b.start[0] - a.start[0], wy = b.start[1] - a.start[1];
    i128 s = wy * b.delta[0] - wx * b.delta[1];
    i128 r = wy * a.delta[0] - wx * a.delta[1];
    i128 d = den;
    if (d < 0) {
        s = -s;
        r = -r;
        d = -d;
    }
    if (s < 0 || s > d || r < 0 || r > d) return false;
    if (s == 0) return r < d;
    if (s == d) return r > 0;
    return true;
}
}  // namespace

char MCutter::EDGES_INTERSECT(ProgressPtr progress) {
    std::vector<MCutEdge*> edges;
    for (auto& e : *m_edges) edges.push_back(&e);
    std::sort(edges.begin(), edges.end(), [](const MCutEdge* a, const MCutEdge* b) { return a->MinX() < b->MinX(); });
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.EDGES_INTERSECT", edges.size(), true);
    std::vector<MCutEdge*> active;
    for (MCutEdge* e : edges) {
        ++reporter;
        if (_Cancelled(reporter)) return kDone;
        std::erase_if(active, [&](const MCutEdge* a) { return a->MaxX() < e->MinX(); });
        for (const MCutEdge* a : active)
            if (a->MinY() <= e->MaxY() && e->MinY() <= a->MaxY() && EdgesMeet(*a, *e)) return 1;
        active.push_back(e);
    }
    return kDone;
}
