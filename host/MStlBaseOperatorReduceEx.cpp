#include "host/MStlBaseOperatorReduceEx.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
struct Corners {
    MStlPoint* a;  // the corner after the collapsing point
    MStlPoint* b;  // the one after that
};

MMVector3d AreaVector(const MStlPoint* p, const MStlPoint* q, const MStlPoint* r) {
    return (q->GetVector() - p->GetVector()).Cross(r->GetVector() - p->GetVector());
}

// The fan of `v` as (a, b) pairs, each triangle (v, a, b), chained into the
// ring a0 -> b0 = a1 -> ...; false when the fan leaves the surface or is no
// single closed ring (a border or non-manifold point).
bool Ring(const MStlPoint* v, const MStlSurface* surface, std::vector<Corners>& fan) {
    const uint16_t n = v->GetNumberOfNeighbourTriangles();
    if (n < 3) return false;
    std::vector<Corners> loose;
    for (uint16_t k = 0; k < n; ++k) {
        const MStlTriangleElement* t = v->GetNeighbourTriangle(k);
        if (surface && t->GetSurface() != surface) return false;
        const int c = t->IndexOfPoint(v);
        loose.push_back({t->GetPoint((c + 1) % 3), t->GetPoint((c + 2) % 3)});
    }
    fan.clear();
    fan.push_back(loose.front());
    std::vector<bool> used(loose.size(), false);
    used[0] = true;
    while (fan.size() < loose.size()) {
        size_t next = loose.size();
        for (size_t k = 0; k < loose.size(); ++k)
            if (!used[k] && loose[k].a == fan.back().b) {
                if (next != loose.size()) return false;  // two ways on: not a simple ring
                next = k;
            }
        if (next == loose.size()) return false;
        used[next] = true;
        fan.push_back(loose[next]);
    }
    return fan.back().b == fan.front().a;
}

bool IsNeighbour(const MStlPoint* p, const MStlPoint* q) {
    for (uint16_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k)
        if (p->GetNeighbourTriangle(k)->IndexOfPoint(q) >= 0) return true;
    return false;
}
}  // namespace

void MStlBaseOperatorReduceExBase::_Reduce(MStlBase& mesh, MStlSurface* surface) {
    const double cosLimit = std::cos(std::clamp(m_params.MaximumNormalChange, 0.0, 3.141592653589793));
    std::vector<Corners> fan;
    std::vector<MStlTriangleElement*> old;
    for (int32_t pass = 0; pass < m_params.Passes; ++pass) {
        // The surface's points in mesh order, each once.
        std::vector<MStlPoint*> points;
        std::vector<uint8_t> seen(mesh.GetNumberOfPointSlots(), 0);
        for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
            if (surface && it->GetSurface() != surface) continue;
            for (int c = 0; c < 3; ++c) {
                MStlPoint* p = it->GetPoint(c);
                if (!seen[p->GetIndex()]) seen[p->GetIndex()] = 1, points.push_back(p);
            }
        }
        uint64_t removed = 0;
        for (MStlPoint* v : points) {
            if (!v->IsAlive() || !Ring(v, surface, fan)) continue;
            for (size_t k = 0; k < fan.size(); ++k) {
                MStlPoint* w = fan[k].a;
                // Link condition: v and w share exactly the two neighbours
                // on either side of their edge, else the collapse would fold
                // the surface onto itself.
                const MStlPoint* before = fan[(k + fan.size() - 1) % fan.size()].a;
                const MStlPoint* after = fan[k].b;
                bool ok = true;
                for (const Corners& c : fan)
                    if (c.a != w && c.a != before && c.a != after && IsNeighbour(w, c.a)) ok = false;
                for (const Corners& c : fan) {
                    if (!ok) break;
                    if (c.a == w || c.b == w) continue;
                    const MMVector3d was = AreaVector(v, c.a, c.b), now = AreaVector(w, c.a, c.b);
                    const double lengths = was.Length() * now.Length();
                    if (!(lengths > 0.0) || was.Dot(now) < cosLimit * lengths) ok = false;
                    else if (std::fabs(now.Dot(v->GetVector() - w->GetVector())) > m_params.MaximumDeviation * now.Length())
                        ok = false;
                }
                if (!ok) continue;
                old.clear();
                for (uint16_t t = 0; t < v->GetNumberOfNeighbourTriangles(); ++t) old.push_back(v->GetNeighbourTriangle(t));
                MStlSurface* into = old.front()->GetSurface();
                for (MStlTriangleElement* t : old) mesh.RemoveTriangle(t);
                for (const Corners& c : fan)
                    if (c.a != w && c.b != w) mesh.AddTriangle(w, c.a, c.b, into);
                mesh.RemovePoint(v);
                ++removed;
                break;
            }
        }
        m_removed += removed;
        if (removed == 0) break;
    }
}
