#include "host/MNewSlicer.h"

#include <absl/container/flat_hash_map.h>
#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>

namespace {

using Status = MStlSlicerBase::EStatus;

uint64_t EdgeKey(uint32_t a, uint32_t b) {
    if (a > b) std::swap(a, b);
    return (uint64_t(a) << 32) | b;
}

// One directed edge of the cut: it runs along a triangle below the plane
// whose neighbour across the edge is not below.
struct CutEdge {
    MStlPoint* from;
    MStlPoint* to;
    MStlTriangleElement* triangle;
    bool used = false;
};

// The state of one slice: the side of every point, the triangles taking
// part and the crossing point made on every crossed edge.
class SliceRun {
public:
    SliceRun(MStlBase& mesh, const MMPlaneEq<double>& plane) : m_mesh(mesh), m_plane(plane) {}

    void SelectShells(const MDataMaskBits<MStlTriangle>* mask);
    void SelectTriangles(const MDataMaskBits<MStlTriangle>& mask);
    void ComputeSides();
    void ClassifyAndCollectCrossings();
    void SnapPointsOntoCrossings();
    uint64_t DivideCrossingTriangles();
    void ClassifyUnslicedShells(int mode);
    void BuildContours(MStlCutBorder* border, MStlSlicerBase::SliceBorder& slice);

private:
    bool InSlice(const MStlTriangle* t) const { return m_sliced.empty() || m_sliced[t->GetIndex()]; }
    int8_t SideOf(const MStlPoint* p) const { return m_side[m_mesh.GetPointSlot(p)]; }
    void SetSide(const MStlPoint* p, int8_t s) {
        if (p->GetIndex() >= m_side.size()) m_side.resize(size_t(p->GetIndex()) + 1, 0);
        m_side[p->GetIndex()] = s;
    }
    uint8_t StatusFromSides(const MStlTriangle* t) const;
    uint8_t InPlaneSide(const MStlTriangle* t) const;
    std::pair<bool, bool> Reach(const MStlTriangle* t) const;
    bool Crosses(const MStlTriangle* t) const;
    MMVector3l CrossingCoordinates(const MStlPoint* a, const MStlPoint* b) const;
    MStlPoint* CrossingPoint(MStlPoint* a, MStlPoint* b);
    void Divide(MStlTriangleElement* t);
    void MergeCoincidentCorners(MStlPoint* pieces[][3], int count);
    void Merge(MStlPoint* from, MStlPoint* into, MStlPoint* pieces[][3], int count);
    bool IsCutEdge(const MStlTriangle* t, int i) const;
    void CollectCutEdges();
    int NextEdge(const CutEdge& in);
    void AddContour(const std::vector<int>& chain, bool closed, MStlCutBorder* border,
                    MStlSlicerBase::SliceBorder& slice);

    MStlBase& m_mesh;
    const MMPlaneEq<double>& m_plane;
    std::vector<int8_t> m_side;
    std::vector<uint8_t> m_sliced;  // by triangle slot; empty: every triangle
    std::unique_ptr<MStlShellManager> m_shells;
    std::vector<uint8_t> m_shellSliced;
    std::vector<MStlTriangleElement*> m_crossing;
    absl::flat_hash_map<uint64_t, MStlPoint*> m_crossingPoints;  // by edge
    std::vector<MStlPoint*> m_cutPoints;
    std::vector<CutEdge> m_edges;
    absl::flat_hash_map<uint64_t, int> m_edgeOf;  // triangle slot * 4 + corner
    absl::flat_hash_map<const MStlPoint*, std::vector<int>> m_outgoing;
};

void SliceRun::SelectShells(const MDataMaskBits<MStlTriangle>* mask) {
    if (!mask) return;
    m_shells = std::make_unique<MStlShellManager>(m_mesh);
    m_shellSliced.assign(m_shells->GetNumberShells(), 0);
    for (uint32_t s = 0; s < m_shells->GetNumberShells(); ++s)
        for (const MStlTriangleElement* t : m_shells->GetShell(s))
            if (mask->Get(t)) { m_shellSliced[s] = 1; break; }
    m_sliced.assign(m_mesh.GetNumberOfTriangleSlots(), 0);
    for (auto it = m_mesh.BeginTriangle(); it != m_mesh.EndTriangle(); ++it)
        m_sliced[it->GetIndex()] = m_shellSliced[m_shells->GetShellOf(*it)];
}

void SliceRun::SelectTriangles(const MDataMaskBits<MStlTriangle>& mask) {
    m_sliced.assign(m_mesh.GetNumberOfTriangleSlots(), 0);
    for (auto it = m_mesh.BeginTriangle(); it != m_mesh.EndTriangle(); ++it) m_sliced[it->GetIndex()] = mask.Get(*it);
}

constexpr uint32_t kGrain = 1u << 14;

void SliceRun::ComputeSides() {
    m_side.assign(m_mesh.GetNumberOfPointSlots(), 0);
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, m_mesh.GetNumberOfPointSlots(), kGrain), [&](const auto& r) {
        for (uint32_t slot = r.begin(); slot != r.end(); ++slot) {
            const MStlPoint* p = m_mesh.GetPointBySlot(slot);
            if (p) m_side[slot] = int8_t(m_plane.Side(p->GetX(), p->GetY(), p->GetZ()));
        }
    });
}

// Whether the triangle reaches below and above the plane.
std::pair<bool, bool> SliceRun::Reach(const MStlTriangle* t) const {
    bool below = false, above = false;
    for (int i = 0; i < 3; ++i) {
        const int8_t s = SideOf(t->GetPoint(i));
        below |= s < 0;
        above |= s > 0;
    }
    return {below, above};
}

bool SliceRun::Crosses(const MStlTriangle* t) const {
    const auto [below, above] = Reach(t);
    return below && above;
}

uint8_t SliceRun::StatusFromSides(const MStlTriangle* t) const {
    const auto [below, above] = Reach(t);
    if (below && !above) return Status::eBelow;
    if (above && !below) return Status::eAbove;
    if (below && above) return Status::eInPlane;
    return InPlaneSide(t);
}

// A triangle lying in the plane closes the solid behind it: facing along the
// plane's normal it is the top of a part below, facing against it the bottom
// of a part above.  So a face in the plane never opens a cut.  Only a
// triangle without a normal reaches neither side.
uint8_t SliceRun::InPlaneSide(const MStlTriangle* t) const {
    const MStlPoint *a = t->GetPoint(0), *b = t->GetPoint(1), *c = t->GetPoint(2);
    __int128 u[3], v[3];
    for (int k = 0; k < 3; ++k) {
        u[k] = __int128(b->Get(k)) - a->Get(k);
        v[k] = __int128(c->Get(k)) - a->Get(k);
    }
    const long double n[3] = {(long double)(u[1] * v[2] - u[2] * v[1]), (long double)(u[2] * v[0] - u[0] * v[2]),
                              (long double)(u[0] * v[1] - u[1] * v[0])};
    const long double along = n[0] * m_plane.A() + n[1] * m_plane.B() + n[2] * m_plane.C();
    return along > 0 ? Status::eBelow : along < 0 ? Status::eAbove : Status::eInPlane;
}

// Gives every triangle its side and lists the ones crossing the plane (in
// slot order, so that the result does not depend on the thread timing).
void SliceRun::ClassifyAndCollectCrossings() {
    tbb::enumerable_thread_specific<std::vector<MStlTriangleElement*>> found;
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, m_mesh.GetNumberOfTriangleSlots(), kGrain), [&](const auto& r) {
        auto& local = found.local();
        for (uint32_t slot = r.begin(); slot != r.end(); ++slot) {
            MStlTriangleElement* t = m_mesh.GetTriangleBySlot(slot);
            if (!t) continue;
            const bool in = InSlice(t);
            t->SetStatus(in ? StatusFromSides(t) : 0);
            if (in && Crosses(t)) local.push_back(t);
        }
    });
    for (const auto& local : found) m_crossing.insert(m_crossing.end(), local.begin(), local.end());
    std::sort(m_crossing.begin(), m_crossing.end(),
              [](const MStlTriangleElement* a, const MStlTriangleElement* b) { return a->GetIndex() < b->GetIndex(); });
}

// Where the plane meets edge a-b, rounded to the integer grid.  Computed from
// the endpoint with the lower slot so that both triangles of the edge agree.
MMVector3l SliceRun::CrossingCoordinates(const MStlPoint* a, const MStlPoint* b) const {
    if (a->GetIndex() > b->GetIndex()) std::swap(a, b);
    const long double ea = m_plane.Evaluate(a->GetX(), a->GetY(), a->GetZ());
    const long double eb = m_plane.Evaluate(b->GetX(), b->GetY(), b->GetZ());
    long double t = ea / (ea - eb);
    if (!(t >= 0.0L)) t = 0.0L;
    if (t > 1.0L) t = 1.0L;
    MMVector3l out;
    for (int k = 0; k < 3; ++k) {
        const long double v = a->Get(k) + t * ((long double)b->Get(k) - a->Get(k));
        out[k] = long(std::llround(v));
    }
    return out;
}

// An endpoint that the rounded crossing point would land on is moved onto
// the plane instead: it then takes the crossing's place and no triangle
// piece collapses.  Repeated because a moved point changes its neighbours.
void SliceRun::SnapPointsOntoCrossings() {
    std::vector<const MStlPoint*> snapped;
    for (bool changed = true; changed;) {
        changed = false;
        for (const MStlTriangleElement* t : m_crossing) {
            for (int i = 0; i < 3; ++i) {
                const MStlPoint* a = t->GetPoint(i);
                const MStlPoint* b = t->GetPoint((i + 1) % 3);
                if (SideOf(a) * SideOf(b) >= 0) continue;
                const MMVector3l x = CrossingCoordinates(a, b);
                for (const MStlPoint* p : {a, b}) {
                    if (x[0] == p->GetX() && x[1] == p->GetY() && x[2] == p->GetZ()) {
                        SetSide(p, 0);
                        snapped.push_back(p);
                        changed = true;
                    }
                }
            }
        }
    }
    for (const MStlPoint* p : snapped)
        for (uint32_t i = 0; i < p->GetNumberOfNeighbourTriangles(); ++i) {
            MStlTriangleElement* t = p->GetNeighbourTriangle(i);
            if (InSlice(t)) t->SetStatus(StatusFromSides(t));
        }
}

MStlPoint* SliceRun::CrossingPoint(MStlPoint* a, MStlPoint* b) {
    MStlPoint*& slot = m_crossingPoints[EdgeKey(a->GetIndex(), b->GetIndex())];
    if (!slot) {
        slot = m_mesh.AddPoint(CrossingCoordinates(a, b), true);
        SetSide(slot, 0);
        m_cutPoints.push_back(slot);
    }
    return slot;
}

void SliceRun::Merge(MStlPoint* from, MStlPoint* into, MStlPoint* pieces[][3], int count) {
    for (auto& [key, point] : m_crossingPoints)
        if (point == from) point = into;
    std::replace(m_cutPoints.begin(), m_cutPoints.end(), from, into);
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k)
            if (pieces[i][k] == from) pieces[i][k] = into;
    SetSide(into, 0);
    m_mesh.ReplacePointByPoint(from, into);
}

// Rounding can put two corners of a piece on one grid point.  They are made
// one point, so that the piece vanishes without leaving a gap.
void SliceRun::MergeCoincidentCorners(MStlPoint* pieces[][3], int count) {
    for (int i = 0; i < count; ++i) {
        for (int k = 0; k < 3; ++k) {
            MStlPoint* p = pieces[i][k];
            MStlPoint* q = pieces[i][(k + 1) % 3];
            if (p == q || *p != *q) continue;
            const bool pIsCrossing = std::find(m_cutPoints.begin(), m_cutPoints.end(), p) != m_cutPoints.end();
            if (pIsCrossing) Merge(p, q, pieces, count); else Merge(q, p, pieces, count);
        }
    }
}

// Replaces a triangle crossing the plane with two or three pieces, each on
// one side, that share the crossing points with the neighbours.
void SliceRun::Divide(MStlTriangleElement* t) {
    MStlPoint* p[3] = {t->GetPoint(0), t->GetPoint(1), t->GetPoint(2)};
    // The triangle goes first: merging coincident corners below may reuse
    // or remove triangles, and the pieces may take over its slot.
    MStlSurface* surface = t->GetSurface();
    const uint8_t facing = t->GetFacing();
    const bool marked = t->IsMarked(), selected = t->IsSelected();
    m_mesh.RemoveTriangle(t);
    const int8_t s[3] = {SideOf(p[0]), SideOf(p[1]), SideOf(p[2])};
    MStlPoint* pieces[3][3];
    int8_t sides[3];
    int count = 0;
    const int zero = s[0] == 0 ? 0 : s[1] == 0 ? 1 : s[2] == 0 ? 2 : -1;
    if (zero >= 0) {
        MStlPoint *a = p[zero], *b = p[(zero + 1) % 3], *c = p[(zero + 2) % 3];
        MStlPoint* x = CrossingPoint(b, c);
        pieces[0][0] = a, pieces[0][1] = b, pieces[0][2] = x, sides[0] = s[(zero + 1) % 3];
        pieces[1][0] = a, pieces[1][1] = x, pieces[1][2] = c, sides[1] = s[(zero + 2) % 3];
        count = 2;
    } else {
        const int lone = s[0] == s[1] ? 2 : s[0] == s[2] ? 1 : 0;
        MStlPoint *a = p[lone], *b = p[(lone + 1) % 3], *c = p[(lone + 2) % 3];
        MStlPoint* xb = CrossingPoint(a, b);
        MStlPoint* xc = CrossingPoint(a, c);
        const int8_t other = s[(lone + 1) % 3];
        pieces[0][0] = a, pieces[0][1] = xb, pieces[0][2] = xc, sides[0] = s[lone];
        // The quadrilateral xb-b-c-xc is split along its shorter diagonal.
        const double d1 = (xb->GetVector() - c->GetVector()).SquaredLength();
        const double d2 = (xc->GetVector() - b->GetVector()).SquaredLength();
        if (d1 <= d2) {
            pieces[1][0] = xb, pieces[1][1] = b, pieces[1][2] = c;
            pieces[2][0] = xb, pieces[2][1] = c, pieces[2][2] = xc;
        } else {
            pieces[1][0] = xb, pieces[1][1] = b, pieces[1][2] = xc;
            pieces[2][0] = b, pieces[2][1] = c, pieces[2][2] = xc;
        }
        sides[1] = sides[2] = other;
        count = 3;
    }
    MergeCoincidentCorners(pieces, count);
    for (int i = 0; i < count; ++i) {
        MStlTriangleElement* e = m_mesh.AddTriangle(pieces[i][0], pieces[i][1], pieces[i][2], surface);
        if (!e) continue;
        e->SetFacing(facing);
        marked ? e->Mark() : e->Unmark();
        e->Select(selected);
        e->SetStatus(sides[i] < 0 ? Status::eBelow : Status::eAbove);
        if (!m_sliced.empty()) {
            if (e->GetIndex() >= m_sliced.size()) m_sliced.resize(size_t(e->GetIndex()) + 1, 0);
            m_sliced[e->GetIndex()] = 1;
        }
    }
}

uint64_t SliceRun::DivideCrossingTriangles() {
    uint64_t divided = 0;
    for (MStlTriangleElement* t : m_crossing) {
        if (!t->IsAlive() || !Crosses(t)) continue;
        Divide(t);
        ++divided;
    }
    return divided;
}

void SliceRun::ClassifyUnslicedShells(int mode) {
    if (!m_shells || mode != 1) return;
    for (uint32_t s = 0; s < m_shells->GetNumberShells(); ++s) {
        if (m_shellSliced[s]) continue;
        uint64_t below = 0, above = 0;
        for (const MStlTriangleElement* t : m_shells->GetShell(s)) {
            const uint8_t st = StatusFromSides(t);
            below += st == Status::eBelow;
            above += st == Status::eAbove;
        }
        const uint8_t side = below == 0 && above == 0 ? Status::eInPlane : below > above ? Status::eBelow : Status::eAbove;
        for (MStlTriangleElement* t : m_shells->GetShell(s)) t->SetStatus(side);
    }
}

bool SliceRun::IsCutEdge(const MStlTriangle* t, int i) const {
    if (t->GetStatus() != Status::eBelow || SideOf(t->GetPoint(i)) != 0 || SideOf(t->GetPoint((i + 1) % 3)) != 0)
        return false;
    const MStlTriangleElement* twin = t->FindAdjacentTriangle(i, true);
    return twin && twin->GetStatus() == Status::eAbove && InSlice(twin);
}

void SliceRun::CollectCutEdges() {
    for (uint32_t slot = 0; slot < m_mesh.GetNumberOfPointSlots(); ++slot) {
        MStlPoint* p = slot < m_side.size() && m_side[slot] == 0 ? m_mesh.GetPointBySlot(slot) : nullptr;
        if (!p) continue;
        for (uint32_t f = 0; f < p->GetNumberOfNeighbourTriangles(); ++f) {
            MStlTriangleElement* t = p->GetNeighbourTriangle(f);
            const int i = t->IndexOfPoint(p);
            if (!IsCutEdge(t, i)) continue;
            const int id = int(m_edges.size());
            m_edges.push_back({p, t->GetPoint((i + 1) % 3), t});
            m_edgeOf[uint64_t(t->GetIndex()) * 4 + uint64_t(i)] = id;
            m_outgoing[p].push_back(id);
        }
    }
}

// The cut edge that continues `in` at its end point: found by turning around
// the end point through the triangles below, so that contours touching at a
// point stay apart.  Falls back to any unused edge leaving the point.
int SliceRun::NextEdge(const CutEdge& in) {
    const MStlPoint* v = in.to;
    const MStlTriangleElement* cur = in.triangle;
    for (uint32_t guard = 0; cur && guard <= v->GetNumberOfNeighbourTriangles(); ++guard) {
        const int j = cur->IndexOfPoint(v);
        if (j < 0 || cur->GetStatus() != Status::eBelow) break;
        auto found = m_edgeOf.find(uint64_t(cur->GetIndex()) * 4 + uint64_t(j));
        if (found != m_edgeOf.end()) return m_edges[size_t(found->second)].used ? -1 : found->second;
        cur = cur->FindAdjacentTriangle(j, true);
    }
    auto out = m_outgoing.find(v);
    if (out == m_outgoing.end()) return -1;
    for (int id : out->second)
        if (!m_edges[size_t(id)].used) return id;
    return -1;
}

void SliceRun::AddContour(const std::vector<int>& chain, bool closed, MStlCutBorder* border,
                          MStlSlicerBase::SliceBorder& slice) {
    MStlCutContour* c = border ? border->AddContour() : nullptr;
    auto* sc = slice.AddContour();
    auto add = [&](MStlPoint* p, MStlTriangleElement* t) {
        if (c) c->AddPoint(p->GetX(), p->GetY(), p->GetZ(), p);
        sc->AddPoint(p->GetX(), p->GetY(), p->GetZ(), {p, t});
    };
    for (int id : chain) add(m_edges[size_t(id)].from, m_edges[size_t(id)].triangle);
    if (!closed) add(m_edges[size_t(chain.back())].to, nullptr);
    if (c) c->SetClosed(closed);
    sc->SetClosed(closed);
}

void SliceRun::BuildContours(MStlCutBorder* border, MStlSlicerBase::SliceBorder& slice) {
    CollectCutEdges();
    absl::flat_hash_map<const MStlPoint*, int> incoming;
    for (const CutEdge& e : m_edges) ++incoming[e.to];
    // Open chains start where no cut edge arrives; closed loops anywhere.
    std::vector<int> starts;
    for (int id = 0; id < int(m_edges.size()); ++id)
        if (!incoming.contains(m_edges[size_t(id)].from)) starts.push_back(id);
    for (int id = 0; id < int(m_edges.size()); ++id) starts.push_back(id);
    std::vector<int> chain;
    for (int start : starts) {
        if (m_edges[size_t(start)].used) continue;
        chain.clear();
        MStlPoint* first = m_edges[size_t(start)].from;
        for (int id = start; id >= 0; id = NextEdge(m_edges[size_t(id)])) {
            m_edges[size_t(id)].used = true;
            chain.push_back(id);
            if (m_edges[size_t(id)].to == first) break;
        }
        AddContour(chain, m_edges[size_t(chain.back())].to == first, border, slice);
    }
}

}  // namespace

bool MNewSlicer::Operate() {
    m_divided = 0;
    m_slice.Clear();
    if (m_border) m_border->Clear();
    if (!m_mesh || !m_plane.IsPlane()) return false;
    MStlBase* mesh = m_mesh;
    if (!m_divide) {
        m_scratch = m_mesh->Clone();
        mesh = m_scratch.get();
    }
    const MDataMaskBits<MStlTriangle>* mask = m_mask && &m_mask->GetStl() == m_mesh ? m_mask : nullptr;
    std::unique_ptr<MDataMaskBits<MStlTriangle>> scratchMask;
    if (mask && mesh != m_mesh) {
        // The copy keeps the triangle slots, so the bits carry over by slot.
        scratchMask = std::make_unique<MDataMaskBits<MStlTriangle>>(*mesh, 1);
        for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it)
            scratchMask->Set(*it, 0, mask->Get(m_mesh->GetTriangleBySlot(it->GetIndex())));
        mask = scratchMask.get();
    }
    SliceRun run(*mesh, m_plane);
    if (m_maskByTriangle && mask) run.SelectTriangles(*mask);
    else run.SelectShells(mask);
    run.ComputeSides();
    run.ClassifyAndCollectCrossings();
    run.SnapPointsOntoCrossings();
    m_divided = run.DivideCrossingTriangles();
    run.ClassifyUnslicedShells(m_unslicedMode);
    run.BuildContours(m_border, m_slice);
    if (mesh != m_mesh) {
        // A trial slice leaves the statuses on the mesh's own triangles; a
        // triangle that the copy divided reaches no side.
        for (auto it = m_mesh->BeginTriangle(); it != m_mesh->EndTriangle(); ++it) {
            const MStlTriangleElement* c = mesh->GetTriangleBySlot(it->GetIndex());
            const bool same = c && c->GetPoint(0)->GetIndex() == it->GetPoint(0)->GetIndex() &&
                              c->GetPoint(1)->GetIndex() == it->GetPoint(1)->GetIndex() &&
                              c->GetPoint(2)->GetIndex() == it->GetPoint(2)->GetIndex();
            it->SetStatus(same ? c->GetStatus() : 0);
        }
    }
    return true;
}

void MNewSlicer::SplitBorderInBelowAndAbove(const MStlCutBorder& border, MStlCutBorder split[2]) {
    split[0].Clear();
    split[1].Clear();
    for (const MStlCutContour* c = border.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
        if (c->IsEmpty()) continue;
        for (int side = 0; side < 2; ++side) {
            MStlCutContour* copy = split[side].AddContour();
            copy->CopyPointsFrom(*c);
            copy->SetClosed(c->IsClosed());
        }
    }
}
