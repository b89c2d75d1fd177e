#include "MStlBaseOperatorPlaneCut.h"

#include "host/MStlChecker.h"

#include <tbb/parallel_invoke.h>

#include <algorithm>
#include <cmath>

namespace {

const char* const kProgressName = "QelStlCutting.MStlBaseOperatorPlaneCut.Operate";
// The fill is reported as a step of its own, so that a caller can say so.
const char* const kFillProgressName = "QelStlCutting.MStlBaseOperatorPlaneCut.FillOpenings";

// How far apart (in grid steps) the two points of a fold of the rounding
// can lie: each is a crossing point rounded by at most half a step in each
// coordinate.
constexpr double kFoldReach = 2.0;

uint64_t CountSegments(const MStlSlicerBase::SliceBorder& border) {
    uint64_t n = 0;
    for (auto* c = border.GetFirstContour(); c; c = MStlSlicerBase::SliceBorder::Next(c)) {
        const uint64_t points = c->GetNumberOfPoints();
        n += c->IsClosed() ? points : points > 0 ? points - 1 : 0;
    }
    return n;
}

double SquaredDistance(const MStlPoint* a, const MStlPoint* b) {
    const double dx = double(int64_t(a->GetX()) - b->GetX());
    const double dy = double(int64_t(a->GetY()) - b->GetY());
    const double dz = double(int64_t(a->GetZ()) - b->GetZ());
    return dx * dx + dy * dy + dz * dz;
}

// Orientation of c against a->b in the coordinate plane that drops axis
// `drop`; exact on the integer grid.
int Orientation(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c, int drop) {
    const int u = drop == 0 ? 1 : 0, v = drop == 2 ? 1 : 2;
    const __int128 bu = int64_t(b->Get(u)) - a->Get(u), bv = int64_t(b->Get(v)) - a->Get(v);
    const __int128 cu = int64_t(c->Get(u)) - a->Get(u), cv = int64_t(c->Get(v)) - a->Get(v);
    const __int128 o = bu * cv - bv * cu;
    return o > 0 ? 1 : o < 0 ? -1 : 0;
}

// Whether a -> b -> c turns right back along its line in the projection.
bool TurnsBack(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c, int drop) {
    if (Orientation(a, b, c, drop) != 0) return false;
    const int u = drop == 0 ? 1 : 0, v = drop == 2 ? 1 : 2;
    const int64_t dot = (int64_t(b->Get(u)) - a->Get(u)) * (int64_t(c->Get(u)) - b->Get(u)) +
                        (int64_t(b->Get(v)) - a->Get(v)) * (int64_t(c->Get(v)) - b->Get(v));
    return dot < 0;
}

bool SegmentsCross(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c, const MStlPoint* d, int drop) {
    return Orientation(a, b, c, drop) * Orientation(a, b, d, drop) < 0 &&
           Orientation(c, d, a, drop) * Orientation(c, d, b, drop) < 0;
}

// The axis the plane's normal leans on most: dropping it projects the plane
// onto a coordinate plane without folding it.
int DominantAxis(const MMVector3d& n) {
    return std::abs(n[0]) >= std::abs(n[1]) && std::abs(n[0]) >= std::abs(n[2]) ? 0
           : std::abs(n[1]) >= std::abs(n[2])                                  ? 1
                                                                               : 2;
}

// Whether a point put on both edge a-b and edge c-d cannot join them: one
// is no edge of the mesh (a chord an untwisting left), or a triangle on
// each has the same third corner, which the point would be joined to twice.
bool CannotJoinAtCrossing(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c, const MStlPoint* d) {
    auto opposite = [](const MStlPoint* p, const MStlPoint* q) {
        std::vector<const MStlPoint*> out;
        for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
            const MStlTriangleElement* t = p->GetNeighbourTriangle(k);
            const int i = t->IndexOfPoint(p), j = t->IndexOfPoint(q);
            if (j >= 0) out.push_back(t->GetPoint(3 - i - j));
        }
        return out;
    };
    const std::vector<const MStlPoint*> first = opposite(a, b), second = opposite(c, d);
    if (first.empty() || second.empty()) return true;
    for (const MStlPoint* p : first)
        if (std::find(second.begin(), second.end(), p) != second.end()) return true;
    return false;
}

// Whether point `from` can be put in the place of `into` at its position:
// no triangle has both.
bool CanMerge(const MStlPoint* from, const MStlPoint* into) {
    for (uint32_t k = 0; k < from->GetNumberOfNeighbourTriangles(); ++k)
        if (from->GetNeighbourTriangle(k)->IndexOfPoint(into) >= 0) return false;
    return true;
}

// Whether some contour has the three points a fill needs.
bool AnyRing(const MStlCutBorder& border) {
    for (const MStlCutContour* c = border.GetFirstContour(); c; c = MStlCutBorder::Next(c))
        if (c->GetNumberOfPoints() >= 3) return true;
    return false;
}

bool AnyOpenContour(const MStlCutBorder& border) {
    for (const MStlCutContour* c = border.GetFirstContour(); c; c = MStlCutBorder::Next(c))
        if (!c->IsClosed()) return true;
    return false;
}

// Whether the crossing of ring edges first and second belongs to a tangle:
// the edge first crosses the ring again, and the smaller loop between them
// stays within reach of the crossing edges.  Divided point by point, a
// tangle leaves loops that touch one another at the new points, and their
// fills, made one group at a time, can share an edge; it is taken out whole
// instead.  Loops reaching farther are sheets passing through each other.
template <class Cross>
bool InTangle(const std::vector<MStlPoint*>& ring, uint32_t first, uint32_t second, const Cross& cross) {
    const uint32_t n = uint32_t(ring.size());
    uint32_t crossings = 0;
    for (uint32_t i = 0; i < n && crossings < 2; ++i)
        if (i != first && (i + 1) % n != first && (first + 1) % n != i && cross(first, i)) ++crossings;
    if (crossings < 2) return false;
    const double reach = std::max(SquaredDistance(ring[first], ring[(first + 1) % n]),
                                  SquaredDistance(ring[second], ring[(second + 1) % n]));
    const bool inner = second - first <= n - (second - first);
    const uint32_t from = inner ? first + 1 : second + 1, to = inner ? second : first + n;
    for (uint32_t i = from; i <= to; ++i)
        if (SquaredDistance(ring[i % n], ring[first]) > reach) return false;
    return true;
}

}  // namespace

MStlBaseOperatorPlaneCut::MStlBaseOperatorPlaneCut() = default;
MStlBaseOperatorPlaneCut::~MStlBaseOperatorPlaneCut() = default;

bool MStlBaseOperatorPlaneCut::Operate(QelSDK::Common::ProgressPtr progress) {
    QelSDK::Common::IncrementalProgressReporter reporter(progress, kProgressName, 3, true);
    m_error = eNoError;
    m_crossed = false;
    m_cutSurfaceBelow = m_cutSurfaceAbove = m_cutSurface = nullptr;
    m_twistFill.clear();
    m_cutBorder.Clear();
    m_splitBorders[0].Clear();
    m_splitBorders[1].Clear();
    if (!m_mesh || !m_plane.IsPlane()) return false;

    MStlBase* const callerMesh = m_mesh;
    MDataMaskBits<MStlTriangle>* const callerMask = m_mask;
    std::unique_ptr<MStlBase> workingCopy;
    std::unique_ptr<MDataMaskBits<MStlTriangle>> workingMask;
    if (!m_cutInput) {
        workingCopy = std::make_unique<MStlBase>();
        workingCopy->Copy(*m_mesh);
        if (m_mask) {
            workingMask = std::make_unique<MDataMaskBits<MStlTriangle>>(*workingCopy, 1);
            auto src = m_mesh->BeginTriangle();
            for (auto dst = workingCopy->BeginTriangle(); dst != workingCopy->EndTriangle(); ++dst, ++src)
                workingMask->Set(*dst, 0, m_mask->Get(*src));
            m_mask = workingMask.get();
        }
        m_mesh = workingCopy.get();
    }
    const bool ok = Run(reporter);
    // The caller's mesh and mask stay set, so that the operator can run again.
    m_mesh = callerMesh;
    m_mask = callerMask;
    m_pointMaps[0].reset();
    m_pointMaps[1].reset();
    if (!ok) return false;
    return (m_error & ~eNoCut) == 0;
}

bool MStlBaseOperatorPlaneCut::Run(QelSDK::Common::IncrementalProgressReporter& progress) {
    if (progress.IsCancelled()) return false;
    {
        MNewSlicer slicer;
        slicer.SetSliceStl(m_mesh);
        slicer.SetPlaneSliceMode(m_plane, true);
        slicer.SetSliceStlBorder(&m_cutBorder);
        slicer.SetTrianglesToSliceFrom(m_mask, false);
        if (m_mask) slicer.SetModeUnslicedShells(1);
        if (!slicer.Operate()) return false;
        if (CountSegments(slicer.GetSliceBorder()) == 0) m_error = eNoCut;
    }
    if (progress.IsCancelled()) return false;
    ++progress;

    TidyCutBorder();
    if (m_fill) SplitSelfCrossings();
    if (m_mask) MNewSlicer::SplitBorderInBelowAndAbove(m_cutBorder, m_splitBorders);
    if (m_cutInput) {
        for (auto it = m_mesh->BeginTriangle(); it != m_mesh->EndTriangle();) {
            auto current = it++;
            if (current->GetStatus() == MStlSlicerBase::eBelow) m_mesh->RemoveTriangle(current);
        }
    }
    ++progress;

    // The outputs are filled from the read-only cut mesh, so two distinct
    // outputs are filled at the same time.
    auto copyBelow = [&] { CopyToOutput(m_below, MStlSlicerBase::eBelow, 0); };
    auto copyAbove = [&] { CopyToOutput(m_above, MStlSlicerBase::eAbove, 1); };
    if (m_below && m_above && m_below != m_above) {
        tbb::parallel_invoke(copyBelow, copyAbove);
    } else {
        copyBelow();
        copyAbove();
    }
    if (m_fill && m_error != eNoCut) {
        QelSDK::Common::IncrementalProgressReporter fill(progress.CreateNestedDelegate(1.0 / 3.0), kFillProgressName, 1);
        FillOpenings();
    }
    AttachInPlaneTriangles();
    // Crossing contours are closed by fills that overlap, and by points the
    // crossing sheets come to share: what comes of that is checked.
    if (m_crossed && m_error == eNoError)
        for (const MStlBase* mesh : {m_cutInput ? m_mesh : nullptr, m_below, m_above})
            if (mesh && !IsClosedAndOriented(CheckMesh(*mesh))) m_error = eCrossingNotClosed;
    for (MStlBase* mesh : {m_cutInput ? m_mesh : nullptr, m_below, m_above})
        if (mesh && mesh->GetSurfaceList()) mesh->UpdateSurfaceBorders(false);
    ++progress;
    return true;
}

void MStlBaseOperatorPlaneCut::TidyCutBorder() {
    const double limit = m_maxDistance * m_maxDistance;
    for (MStlCutContour* c = m_cutBorder.GetFirstContour(); c;) {
        const uint32_t steps = c->GetNumberOfPoints();
        MStlCutBorderPoint* node = c->GetFirstPoint();
        for (uint32_t i = 0; i < steps && node && c->GetNumberOfPoints() > 1; ++i) {
            MStlCutBorderPoint* next = node->GetNext();
            MStlPoint* a = node->GetData();
            MStlPoint* b = next->GetData();
            if (SquaredDistance(a, b) > limit) {
                node = next;
            } else if (a == b) {
                c->RemovePoint(next);
            } else if (MoveIsAcceptable(b, a)) {
                m_mesh->ReplacePointByPoint(b, a);
                c->RemovePoint(next);
            } else if (MoveIsAcceptable(a, b)) {
                m_mesh->ReplacePointByPoint(a, b);
                c->RemovePoint(node);
                node = next;
            } else {
                node = next;
            }
        }
        if (!c->IsEmpty()) RemoveFolds(c);
        c = c->IsEmpty() ? m_cutBorder.RemoveContour(c) : MStlCutBorder::Next(c);
    }
}

// Crossing points are rounded to the grid one by one, so where the cut runs
// through tiny triangles the contour can fold back on itself by a fraction
// of a grid step: segment a-b crosses c-d in the plane.  The short segment
// b-c between them is then collapsed, as a fill cannot close a crossing
// contour.
void MStlBaseOperatorPlaneCut::RemoveFolds(MStlCutContour* c) {
    if (!c->IsClosed()) return;
    const int drop = DominantAxis(m_plane.GetNormal());
    MStlCutBorderPoint* node = c->GetFirstPoint();
    for (uint32_t unchanged = 0; c->GetNumberOfPoints() >= 4 && unchanged < c->GetNumberOfPoints();) {
        MStlCutBorderPoint *b = node->GetNext(), *cc = b->GetNext(), *d = cc->GetNext();
        MStlPoint *pa = node->GetData(), *pb = b->GetData(), *pc = cc->GetData(), *pd = d->GetData();
        // Only a fold of the rounding: where b and c lie farther apart the
        // mesh itself crosses there, and moving a point that far would
        // change its shape.
        if (SquaredDistance(pb, pc) > kFoldReach * kFoldReach || !SegmentsCross(pa, pb, pc, pd, drop)) {
            node = b;
            ++unchanged;
            continue;
        }
        // Prefer the move that turns no triangle over; the fold goes either
        // way, since the cut cannot be filled with it.
        if (!MoveIsAcceptable(pc, pb) && MoveIsAcceptable(pb, pc)) {
            m_mesh->ReplacePointByPoint(pb, pc);
            b->SetData(pc);
            b->Set(cc->GetX(), cc->GetY(), cc->GetZ());
        } else {
            m_mesh->ReplacePointByPoint(pc, pb);
        }
        c->RemovePoint(cc);
        unchanged = 0;
    }
}

// Where the mesh passes through itself, a contour can cross itself; no fill
// of its own points closes it.  It is divided into two loops at a new point
// where it crosses, put on both crossing edges of the mesh (a point the
// two sheets of the mesh then share), or, where that point cannot join the
// edges, by taking the smaller loop out with a fill of its own.  Each
// division removes a crossing.
void MStlBaseOperatorPlaneCut::SplitSelfCrossings() {
    const int drop = DominantAxis(m_plane.GetNormal());
    const MFillView view(m_plane.GetNormal());
    uint64_t budget = 4 * m_cutBorder.GetNumberOfPoints() + 16;
    for (MStlCutContour* c = m_cutBorder.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
        if (!m_mask && c->IsClosed()) CutOffSpikes(c, drop);
        while (c->IsClosed() && budget > 0 && SplitAtCrossing(c, view)) --budget;
    }
}

// Where two sheets of the mesh lie in one plane that the cut crosses, the
// contour runs along their common line and back: a -> b -> c turns back
// on itself, with no area between in the projection and at most a sliver
// of rounding in space.  The sliver a, b, c leaves the contour, which goes
// a -> c, and is filled by that one triangle.  Where c is a itself (two
// points of the two sheets at one place become one), a -> b and b -> a
// run along one edge both ways: the triangles on it close each other, and
// the contour just leaves out b and the second a.
void MStlBaseOperatorPlaneCut::CutOffSpikes(MStlCutContour* contour, int drop) {
    MStlCutBorderPoint* node = contour->GetFirstPoint();
    for (uint32_t unchanged = 0; contour->GetNumberOfPoints() >= 4 && unchanged < contour->GetNumberOfPoints();) {
        MStlCutBorderPoint *b = node->GetNext(), *c = b->GetNext();
        MStlPoint *pa = node->GetData(), *pb = b->GetData(), *pc = c->GetData();
        const bool samePlace = *pa == *pc;
        if ((samePlace && pa != pc && !CanMerge(pc, pa)) || (!samePlace && !TurnsBack(pa, pb, pc, drop))) {
            node = b;
            ++unchanged;
            continue;
        }
        m_crossed = true;
        unchanged = 0;
        if (!samePlace) {
            m_twistFill.push_back({pa, pb, pc});
            contour->RemovePoint(b);
            continue;
        }
        if (pa != pc) {
            m_mesh->ReplacePointByPoint(pc, pa);
            for (MStlCutContour* k = m_cutBorder.GetFirstContour(); k; k = MStlCutBorder::Next(k)) {
                MStlCutBorderPoint* q = k->GetFirstPoint();
                for (uint32_t i = 0; i < k->GetNumberOfPoints(); ++i, q = q->GetNext())
                    if (q->GetData() == pc) q->SetData(pa);
            }
            for (auto& t : m_twistFill) std::replace(t.begin(), t.end(), pc, pa);
        }
        contour->RemovePoint(c);
        contour->RemovePoint(b);
    }
}

// Finds two edges of the contour that cross (a sweep along one coordinate of
// the projection) and divides it there; false when none cross or the
// crossing point cannot be put on the edges.  A crossing found marks the
// cut as crossed, so that its parts are checked.
bool MStlBaseOperatorPlaneCut::SplitAtCrossing(MStlCutContour* contour, const MFillView& view) {
    const uint32_t n = contour->GetNumberOfPoints();
    if (n < 4) return false;
    std::vector<MStlPoint*> ring;
    std::vector<std::array<double, 2>> seen;
    MStlCutBorderPoint* p = contour->GetFirstPoint();
    for (uint32_t i = 0; i < n; ++i, p = p->GetNext()) {
        ring.push_back(p->GetData());
        seen.push_back(view(p->GetData()->GetVector()));
    }
    auto at = [&](uint32_t i) { return ring[i % n]; };
    auto in = [&](uint32_t i) -> const std::array<double, 2>& { return seen[i % n]; };
    auto cross = [&](uint32_t a, uint32_t b) {
        return MFillView::Orientation(in(a), in(a + 1), in(b)) * MFillView::Orientation(in(a), in(a + 1), in(b + 1)) < 0 &&
               MFillView::Orientation(in(b), in(b + 1), in(a)) * MFillView::Orientation(in(b), in(b + 1), in(a + 1)) < 0;
    };
    std::vector<uint32_t> order(n);
    for (uint32_t i = 0; i < n; ++i) order[i] = i;
    auto lo = [&](uint32_t i) { return std::min(in(i)[0], in(i + 1)[0]); };
    auto hi = [&](uint32_t i) { return std::max(in(i)[0], in(i + 1)[0]); };
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return lo(a) < lo(b); });
    std::vector<uint32_t> active;
    uint32_t first = n, second = n;
    for (uint32_t i : order) {
        std::erase_if(active, [&](uint32_t a) { return hi(a) < lo(i); });
        for (uint32_t a : active) {
            if ((a + 1) % n == i || (i + 1) % n == a) continue;
            if (!cross(a, i)) continue;
            first = std::min(a, i);
            second = std::max(a, i);
            break;
        }
        if (first != n) break;
        active.push_back(i);
    }
    if (first == n) return false;
    m_crossed = true;
    MStlPoint *a = at(first), *b = at(first + 1), *c = at(second), *d = at(second + 1);
    if (!m_mask && (InTangle(ring, first, second, cross) || CannotJoinAtCrossing(a, b, c, d))) {
        Untwist(contour, ring, first, second);
        return true;
    }
    // The crossing in the view, as a fraction along a -> b.
    auto det = [&](uint32_t p0, uint32_t p1, uint32_t q0, uint32_t q1) {
        return ((long double)in(p1)[0] - in(p0)[0]) * ((long double)in(q1)[1] - in(q0)[1]) -
               ((long double)in(p1)[1] - in(p0)[1]) * ((long double)in(q1)[0] - in(q0)[0]);
    };
    const long double t = det(first, second, second, second + 1) / det(first, first + 1, second, second + 1);
    int32_t xyz[3];
    for (int k = 0; k < 3; ++k) xyz[k] = int32_t(std::llround(a->Get(k) + t * ((long double)b->Get(k) - a->Get(k))));
    MStlPoint* x = nullptr;
    for (MStlPoint* end : {a, b, c, d})
        if (end->GetX() == xyz[0] && end->GetY() == xyz[1] && end->GetZ() == xyz[2]) x = end;
    if (!x) x = m_mesh->AddPoint(xyz[0], xyz[1], xyz[2], true);
    for (auto [e0, e1] : {std::pair{a, b}, std::pair{c, d}})
        if (x != e0 && x != e1 && m_mesh->InsertPointBetweenPoints(x, e0, e1) == 0) return false;
    // The loops x, b .. c and x, d .. a.
    auto loop = [&](uint32_t from, uint32_t to) {
        std::vector<MStlPoint*> points{x};
        for (uint32_t i = from; i != (to + 1) % n; i = (i + 1) % n)
            if (at(i) != points.back()) points.push_back(at(i));
        while (points.size() > 1 && points.back() == points.front()) points.pop_back();
        return points;
    };
    const std::vector<MStlPoint*> loops[2] = {loop((first + 1) % n, second), loop((second + 1) % n, first)};
    contour->Clear();
    MStlCutContour* other = m_cutBorder.AddContour();
    other->SetClosed(true);
    for (int k = 0; k < 2; ++k)
        for (MStlPoint* q : loops[k]) (k == 0 ? contour : other)->AddPoint(q->GetX(), q->GetY(), q->GetZ(), q);
    return true;
}

// The contour a -> b ... c -> d crosses itself where a -> b crosses c -> d.
// The shorter of the two loops there, closed by the chord between the
// crossing edges' ends (a -> b .. c -> d -> a, or c -> d .. a -> b -> c),
// leaves the contour, which takes the chord the other way, and is filled by
// a fan from its first point.  That fill folds over itself as the mesh does
// there, and its boundary is exactly the loop.
void MStlBaseOperatorPlaneCut::Untwist(MStlCutContour* contour, std::vector<MStlPoint*>& ring, uint32_t first,
                                       uint32_t second) {
    const uint32_t n = uint32_t(ring.size());
    const bool inner = second - first <= n - (second - first);
    // The loop runs from `from` to `to` (inclusive, round the ring); the
    // contour keeps the rest and the chord to -> from.
    const uint32_t from = inner ? first : second, to = inner ? (second + 1) % n : (first + 1) % n;
    std::vector<MStlPoint*> loop, rest;
    for (uint32_t i = from;; i = (i + 1) % n) {
        loop.push_back(ring[i]);
        if (i == to) break;
    }
    for (uint32_t i = to;; i = (i + 1) % n) {
        rest.push_back(ring[i]);
        if (i == from) break;
    }
    for (size_t k = 1; k + 1 < loop.size(); ++k)
        if (loop[0] != loop[k] && loop[k] != loop[k + 1] && loop[0] != loop[k + 1])
            m_twistFill.push_back({loop[0], loop[k], loop[k + 1]});
    contour->Clear();
    if (rest.size() >= 3)
        for (MStlPoint* q : rest) contour->AddPoint(q->GetX(), q->GetY(), q->GetZ(), q);
    contour->SetClosed(true);
}

// Moving `a` onto `b` is refused when it would turn a neighbour triangle of
// `a` over (its normal would point against the old one).
bool MStlBaseOperatorPlaneCut::MoveIsAcceptable(const MStlPoint* a, const MStlPoint* b) const {
    if (*a == *b || a->GetNumberOfNeighbourTriangles() == 0) return true;
    for (uint32_t i = 0; i < a->GetNumberOfNeighbourTriangles(); ++i) {
        const MStlTriangleElement* t = a->GetNeighbourTriangle(i);
        MMVector3d corners[3];
        for (int k = 0; k < 3; ++k) corners[k] = (t->GetPoint(k) == a ? b : t->GetPoint(k))->GetVector();
        const MMVector3d moved = (corners[1] - corners[0]).Cross(corners[2] - corners[0]);
        if (moved.SquaredLength() == 0.0) continue;
        const MMVector3d old = t->GetAreaVector();
        const double lengths = moved.SquaredLength() * old.SquaredLength();
        if (lengths == 0.0) return false;
        const double cosine = std::clamp(moved.Dot(old) / std::sqrt(lengths), -1.0, 1.0);
        if (cosine <= 0.0) return false;
    }
    return true;
}

void MStlBaseOperatorPlaneCut::CopyToOutput(MStlBase* output, uint8_t bit, int side) {
    if (!output) return;
    MStlBaseCopyTriangleAttributes attributes(*m_mesh, *output, true);
    m_pointMaps[side] = std::make_unique<MStlPointSlotMap>(*m_mesh, *output);
    MStlPointSlotMap& map = *m_pointMaps[side];
    const MStlSurface* previous = nullptr;
    MStlSurface* surface = nullptr;
    bool first = true;
    for (auto it = m_mesh->BeginTriangle(); it != m_mesh->EndTriangle(); ++it) {
        const MStlTriangleElement* t = *it;
        if (!(t->GetStatus() & bit)) continue;
        if (first || t->GetSurface() != previous) {
            surface = output->AddSurface(nullptr);
            previous = t->GetSurface();
            first = false;
        }
        MStlPoint* const corners[3] = {map(t->GetPoint(0)), map(t->GetPoint(1)), map(t->GetPoint(2))};
        MStlTriangleElement* added = output->AddTriangle(corners, surface);
        if (added) added->CopyStateFrom(*t, true, true, true, false, true, true);
    }
}

MStlSurface* MStlBaseOperatorPlaneCut::AddFill(const MStlBorderFiller& filler, int side, bool reversed) {
    MStlBase* output = side == 0 ? m_below : m_above;
    MStlPointSlotMap* map = m_pointMaps[side].get();
    MStlSurface* surface = output->AddSurface(nullptr);
    for (uint64_t i = 0; i < filler.GetNumTriangles(); ++i) {
        MStlPoint* r[3] = {(*map)(filler.GetResult(i, 0)), (*map)(filler.GetResult(i, 1)), (*map)(filler.GetResult(i, 2))};
        if (reversed) std::swap(r[1], r[2]);
        output->AddTriangle(r, surface);
    }
    for (const auto& t : m_twistFill) {
        MStlPoint* r[3] = {(*map)(t[0]), (*map)(t[1]), (*map)(t[2])};
        if (reversed) std::swap(r[1], r[2]);
        output->AddTriangle(r, surface);
    }
    return surface;
}

// Closes the openings of the outputs (and of the input when cut in place)
// with the triangulated cut contours.  The contours run along the triangles
// below, so the fill faces up in that order: the above part keeps it and the
// below part takes it reversed.
void MStlBaseOperatorPlaneCut::FillOpenings() {
    if (AnyOpenContour(m_cutBorder)) {
        m_error = eOpenCutContour;
        return;
    }
    MStlBorderFiller filler;
    filler.SetStl(m_mesh);
    filler.SetAddTriangles(false);
    // The fill is made in the view the crossings were divided in.
    filler.SetView(MFillView(m_plane.GetNormal()));
    if (m_mask) {
        // Each side is closed by its own share of the contours.
        for (int side = 0; side < 2; ++side) {
            if (!(side == 0 ? m_below : m_above)) continue;
            filler.SetInputBorder(&m_splitBorders[side]);
            if (!filler.Operate() && m_splitBorders[side].GetNumberOfContours() > 0) {
                m_error = eOpenCutContour;
                return;
            }
            m_crossed = m_crossed || filler.ContoursCrossed();
            (side == 0 ? m_cutSurfaceBelow : m_cutSurfaceAbove) = AddFill(filler, side, side == 0);
        }
    } else {
        filler.SetInputBorder(&m_cutBorder);
        // Untwisting can leave nothing but its own fill.
        const bool fillable = m_twistFill.empty() || AnyRing(m_cutBorder);
        if (!fillable) filler.EmptyHoleBorder();
        if (fillable && (!filler.Operate() || filler.GetNumTriangles() == 0)) {
            // A closed border that cannot be triangulated leaves the cut open.
            m_error = eOpenCutContour;
            return;
        }
        m_crossed = m_crossed || filler.ContoursCrossed();
        if (m_below) m_cutSurfaceBelow = AddFill(filler, 0, true);
        if (m_above) m_cutSurfaceAbove = AddFill(filler, 1, false);
    }
    if (m_cutInput) {
        // Without a mask the filler still holds the whole border's fill.
        if (m_mask) {
            filler.SetInputBorder(&m_cutBorder);
            if (!filler.Operate()) {
                m_error = eOpenCutContour;
                return;
            }
        }
        m_cutSurface = m_mesh->AddSurface(nullptr);
        for (uint64_t i = 0; i < filler.GetNumTriangles(); ++i)
            m_mesh->AddTriangle(filler.GetResult(i, 0), filler.GetResult(i, 1), filler.GetResult(i, 2), m_cutSurface);
        for (const auto& t : m_twistFill) m_mesh->AddTriangle(t[0], t[1], t[2], m_cutSurface);
    }
}

// Triangles lying in the plane belong to neither side by themselves.  Each
// one joins an output where it fits an open border edge there (one more
// triangle runs the edge backwards than forwards); rounds repeat as long as
// they place triangles, because placing one can open the way for the next.
void MStlBaseOperatorPlaneCut::AttachInPlaneTriangles() {
    std::vector<MStlTriangleElement*> pending;
    for (auto it = m_mesh->BeginTriangle(); it != m_mesh->EndTriangle(); ++it)
        if (it->GetStatus() == MStlSlicerBase::eInPlane) pending.push_back(*it);
    MNeighbourFinder finder;
    while (!pending.empty()) {
        bool placed = false;
        for (MStlTriangleElement* t : pending) placed |= AttachToAnOutput(t, finder);
        if (m_cutInput) {
            for (MStlTriangleElement* t : pending)
                if (t->GetStatus() == MStlSlicerBase::eBelow) m_mesh->RemoveTriangle(t);
        }
        std::erase_if(pending, [](const MStlTriangleElement* t) {
            return !t->IsAlive() || t->GetStatus() != MStlSlicerBase::eInPlane;
        });
        if (!placed) break;
    }
}

bool MStlBaseOperatorPlaneCut::AttachToAnOutput(MStlTriangleElement* t, MNeighbourFinder& finder) {
    for (int side : {1, 0}) {
        MStlBase* output = side == 0 ? m_below : m_above;
        if (!output) continue;
        MStlPoint* p[3];
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* s = t->GetPoint(k);
            p[k] = output->GetPoint(s->GetX(), s->GetY(), s->GetZ());
        }
        for (int i = 0; i < 3; ++i) {
            MStlPoint* a = p[i];
            MStlPoint* b = p[(i + 1) % 3];
            if (!a || !b) continue;
            finder.Set(a, b);
            finder.Operate();
            if (finder.GetNumberOfBackwardNeighbours() != finder.GetNumberOfForwardNeighbours() + 1) continue;
            output->AddTriangle(a, b, output->AddPoint(t->GetPoint((i + 2) % 3), false), nullptr);
            t->SetStatus(side == 0 ? MStlSlicerBase::eBelow : MStlSlicerBase::eAbove);
            return true;
        }
    }
    return false;
}
