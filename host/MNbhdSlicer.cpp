#include "host/MNbhdSlicer.h"

#include <algorithm>

#include "host/MStlBase.h"

using MSliceInfo = MNbhdSlicerBase::MSliceInfo;

void MSliceInfo::Fill(MStlPoint* p, bool keepTriangle) {
    point = p;
    kind = eAtPoint;
    if (p) p->Get(position);
    if (!(keepTriangle && triangle && triangle->IsAlive() && triangle->IndexOfPoint(p) >= 0))
        triangle = p && p->GetNumberOfNeighbourTriangles() > 0 ? p->GetNeighbourTriangle(0) : nullptr;
    index = uint8_t(triangle ? std::max(0, triangle->IndexOfPoint(p)) : 0);
}

void MSliceInfo::Fill(MStlTriangle* t, const MMVector3d& pos, unsigned char edge) {
    point = nullptr;
    triangle = t;
    index = uint8_t(edge % 3);
    kind = eOnEdge;
    position = pos;
}

void MSliceInfo::FillInside(MStlTriangle* t, const MMVector3d& pos) {
    point = nullptr;
    triangle = t;
    index = 0;
    kind = eInside;
    position = pos;
}

namespace MNbhdSlicerUtilities {

bool SliceInfoEqual(const MSliceInfo& a, const MSliceInfo& b) {
    if (a.point || b.point) return a.point == b.point;
    return a.kind == b.kind && a.triangle == b.triangle && a.index == b.index && a.position == b.position;
}

std::vector<MStlTriangle*> CandidateTriangles(const MSliceInfo& s) {
    std::vector<MStlTriangle*> out;
    // A point that is already a corner of the mesh holds all its triangles.
    if (s.point && s.point->GetNumberOfNeighbourTriangles() > 0) {
        for (uint32_t i = 0; i < s.point->GetNumberOfNeighbourTriangles(); ++i) out.push_back(s.point->GetNeighbourTriangle(i));
        return out;
    }
    if (!s.triangle || !s.triangle->IsAlive()) return out;
    if (s.kind == MSliceInfo::eOnEdge) {
        const MStlPoint* p = s.triangle->GetPoint(s.index % 3);
        const MStlPoint* q = s.triangle->GetPoint((s.index + 1) % 3);
        for (uint32_t i = 0; i < p->GetNumberOfNeighbourTriangles(); ++i)
            if (p->GetNeighbourTriangle(i)->IndexOfPoint(q) >= 0) out.push_back(p->GetNeighbourTriangle(i));
        return out;
    }
    out.push_back(s.triangle);
    return out;
}

MStlTriangle* SliceInfoSetCommonTriangle(MSliceInfo& a, MSliceInfo& b, bool& ambiguous) {
    ambiguous = false;
    const std::vector<MStlTriangle*> ca = CandidateTriangles(a), cb = CandidateTriangles(b);
    MStlTriangle* common = nullptr;
    for (MStlTriangle* t : ca)
        if (std::find(cb.begin(), cb.end(), t) != cb.end()) {
            if (common) {
                ambiguous = true;
                break;
            }
            common = t;
        }
    // Positions at a vertex now refer to the shared triangle.
    for (MSliceInfo* s : {&a, &b})
        if (common && s->kind == MSliceInfo::eAtPoint && s->point && common->IndexOfPoint(s->point) >= 0) {
            s->triangle = common;
            s->index = uint8_t(common->IndexOfPoint(s->point));
        }
    return common;
}

namespace {
double PlaneValue(const MStlPoint* p, const MMVector3d& n, double d) { return p->GetVector().Dot(n) - d; }

// The other edge of `t` that the plane crosses, besides `skip` (-1: any).
int CrossedEdge(const MStlTriangle* t, const MMVector3d& n, double d, int skip) {
    for (int e = 0; e < 3; ++e) {
        if (e == skip) continue;
        const bool a = PlaneValue(t->GetPoint(e), n, d) >= 0, b = PlaneValue(t->GetPoint((e + 1) % 3), n, d) >= 0;
        if (a != b) return e;
    }
    return -1;
}

MMVector3d Crossing(const MStlTriangle* t, int e, const MMVector3d& n, double d) {
    const MStlPoint* p = t->GetPoint(e);
    const MStlPoint* q = t->GetPoint((e + 1) % 3);
    const double fp = PlaneValue(p, n, d), fq = PlaneValue(q, n, d);
    return p->GetVector() + (q->GetVector() - p->GetVector()) * (fp / (fp - fq));
}
}  // namespace

std::list<MSliceInfo> TracePlaneSection(const MStlBase& mesh, const MMVector3d& n, double d, int inside) {
    std::list<MSliceInfo> out;
    MStlTriangle* start = nullptr;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle() && !start; ++it)
        if (CrossedEdge(*it, n, d, -1) >= 0) start = *it;
    if (!start) return out;
    MStlTriangle* t = start;
    int in = CrossedEdge(t, n, d, -1);
    MSliceInfo s;
    s.Fill(t, Crossing(t, in, n, d), uint8_t(in));
    out.push_back(s);
    for (uint64_t steps = 0; steps <= mesh.GetNumberOfTriangles(); ++steps) {
        const int exit = CrossedEdge(t, n, d, in);
        if (exit < 0) break;
        const MMVector3d a = out.back().position, b = Crossing(t, exit, n, d);
        for (int i = 1; i <= inside; ++i) {
            s.FillInside(t, a + (b - a) * (double(i) / (inside + 1)));
            out.push_back(s);
        }
        s.Fill(t, b, uint8_t(exit));
        out.push_back(s);
        MStlTriangle* next = t->FindAdjacentTriangle(exit, true);
        if (!next || next == start) break;
        in = next->IndexOfPoint(t->GetPoint((exit + 1) % 3));
        t = next;
    }
    return out;
}

}  // namespace MNbhdSlicerUtilities
