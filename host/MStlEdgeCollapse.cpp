#include "host/MStlEdgeCollapse.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {
MMVector3d AreaVector(const MStlPoint* p, const MStlPoint* q, const MStlPoint* r) {
    return (q->GetVector() - p->GetVector()).Cross(r->GetVector() - p->GetVector());
}

// The triangle through the three points in this cyclic order, if any.
bool HasTriangle(const MStlPoint* p, const MStlPoint* q, const MStlPoint* r) {
    for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
        const MStlTriangleElement* t = p->GetNeighbourTriangle(k);
        const int i = t->IndexOfPoint(p);
        if (t->GetPoint((i + 1) % 3) == q && t->GetPoint((i + 2) % 3) == r) return true;
    }
    return false;
}
}  // namespace

bool AreNeighbours(const MStlPoint* p, const MStlPoint* q) {
    for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k)
        if (p->GetNeighbourTriangle(k)->IndexOfPoint(q) >= 0) return true;
    return false;
}

MStlEdgeCollapse::MStlEdgeCollapse(MStlBase& mesh, const Limits& limits, const MStlSurface* surface,
                                   bool oneSurface)
    : m_mesh(mesh),
      m_limits(limits),
      m_surface(surface),
      m_oneSurface(oneSurface),
      m_cosLimit(std::cos(std::clamp(limits.MaximumNormalChange, 0.0, 3.141592653589793))) {}

bool MStlEdgeCollapse::_Allowed(const MStlTriangle* t) const { return !m_surface || t->GetSurface() == m_surface; }

bool MStlEdgeCollapse::_Ring(const MStlPoint* v, std::vector<Corners>& ring) const {
    const uint32_t n = v->GetNumberOfNeighbourTriangles();
    if (n < 3) return false;
    const MStlSurface* surface = v->GetNeighbourTriangle(0)->GetSurface();
    std::vector<Corners> loose;
    loose.reserve(n);
    for (uint32_t k = 0; k < n; ++k) {
        const MStlTriangleElement* t = v->GetNeighbourTriangle(k);
        if (!_Allowed(t) || (m_oneSurface && t->GetSurface() != surface)) return false;
        const int c = t->IndexOfPoint(v);
        loose.push_back({t->GetPoint((c + 1) % 3), t->GetPoint((c + 2) % 3)});
    }
    ring.clear();
    ring.push_back(loose.front());
    std::vector<bool> used(loose.size(), false);
    used[0] = true;
    while (ring.size() < loose.size()) {
        size_t next = loose.size();
        for (size_t k = 0; k < loose.size(); ++k)
            if (!used[k] && loose[k].a == ring.back().b) {
                if (next != loose.size()) return false;  // two ways on: not a simple ring
                next = k;
            }
        if (next == loose.size()) return false;
        used[next] = true;
        ring.push_back(loose[next]);
    }
    return ring.back().b == ring.front().a;
}

double MStlEdgeCollapse::_Replaces(const MStlPoint* o, const MStlPoint* p, const MStlPoint* q, const MStlPoint* r,
                                   const MMVector3d& fan) const {
    constexpr double kRefused = std::numeric_limits<double>::infinity();
    if (MStlTriangle::IsZeroArea(p, q, r)) return kRefused;
    // A degenerate old triangle has no direction of its own: the new one
    // must then face like the whole fan.
    const MMVector3d now = AreaVector(p, q, r);
    const MMVector3d was = MStlTriangle::IsZeroArea(o, q, r) ? fan : AreaVector(o, q, r);
    const double lengths = was.Length() * now.Length();
    if (!(lengths > 0.0) || was.Dot(now) < m_cosLimit * lengths) return kRefused;
    const double deviation = std::fabs(now.Dot(o->GetVector() - p->GetVector())) / now.Length();
    return deviation <= m_limits.MaximumDeviation ? deviation : kRefused;
}

double MStlEdgeCollapse::Deviation(MStlPoint* v, MStlPoint* w) {
    constexpr double kRefused = std::numeric_limits<double>::infinity();
    if (!v || !w || v == w || !v->IsAlive() || !_Ring(v, m_ring)) return kRefused;
    size_t at = m_ring.size();
    for (size_t k = 0; k < m_ring.size(); ++k)
        if (m_ring[k].a == w) at = k;
    if (at == m_ring.size()) return kRefused;
    // Link condition: v and w share only the two neighbours on either side
    // of their edge, else the collapse would pinch the surface.
    const MStlPoint* before = m_ring[(at + m_ring.size() - 1) % m_ring.size()].a;
    const MStlPoint* after = m_ring[at].b;
    for (const Corners& c : m_ring)
        if (c.a != w && c.a != before && c.a != after && AreNeighbours(w, c.a)) return kRefused;
    MMVector3d fan;
    for (const Corners& c : m_ring) fan += AreaVector(v, c.a, c.b);
    double deviation = 0.0;
    for (const Corners& c : m_ring) {
        if (c.a == w || c.b == w) continue;
        // A new triangle whose reverse exists already would make a sheet.
        if (HasTriangle(w, c.b, c.a)) return kRefused;
        deviation = std::max(deviation, _Replaces(v, w, c.a, c.b, fan));
    }
    return deviation;
}

bool MStlEdgeCollapse::Collapse(MStlPoint* v, MStlPoint* w) {
    if (!std::isfinite(Deviation(v, w))) return false;
    // m_ring is v's ring, as Deviation left it.
    m_old.clear();
    for (uint32_t t = 0; t < v->GetNumberOfNeighbourTriangles(); ++t) m_old.push_back(v->GetNeighbourTriangle(t));
    MStlSurface* into = m_old.front()->GetSurface();
    for (MStlTriangleElement* t : m_old) m_mesh.RemoveTriangle(t);
    for (const Corners& c : m_ring)
        if (c.a != w && c.b != w) m_mesh.AddTriangle(w, c.a, c.b, into);
    m_mesh.RemovePoint(v);
    return true;
}

bool MStlEdgeCollapse::CollapseOntoAnyNeighbour(MStlPoint* v) {
    if (!v->IsAlive() || !_Ring(v, m_ring)) return false;
    std::vector<MStlPoint*> candidates;
    for (const Corners& c : m_ring) candidates.push_back(c.a);
    for (MStlPoint* w : candidates)
        if (Collapse(v, w)) return true;
    return false;
}

bool MStlEdgeCollapse::Flip(MStlTriangle* t, int edge) {
    if (!t || !t->IsAlive() || !_Allowed(t)) return false;
    MStlPoint* a = t->GetPoint(edge);
    MStlPoint* b = t->GetPoint((edge + 1) % 3);
    MStlPoint* c = t->GetPoint((edge + 2) % 3);
    MStlTriangleElement* other = nullptr;
    MStlPoint* d = nullptr;
    if (m_mesh.NumberOfTrianglesThrough(a, b, other, d, true) != 2 || !other || !d) return false;
    if (other->GetSurface() != t->GetSurface() || d == c || AreNeighbours(c, d)) return false;
    // (a, b, c) and (b, a, d) become (c, a, d) and (c, d, b); each new one
    // must face like the old ones (a degenerate old one has no say), and
    // the old pair must be nearly flat: d near the plane of (a, b, c), or c
    // near that of (b, a, d).
    if (MStlTriangle::IsZeroArea(c, a, d) || MStlTriangle::IsZeroArea(c, d, b)) return false;
    const MMVector3d n0 = AreaVector(a, b, c), n1 = AreaVector(b, a, d);
    const MMVector3d m0 = AreaVector(c, a, d), m1 = AreaVector(c, d, b);
    bool judged = false;
    for (const MMVector3d* n : {&n0, &n1}) {
        if (!(n->Length() > 0.0)) continue;
        judged = true;
        for (const MMVector3d* m : {&m0, &m1})
            if (m->Dot(*n) < m_cosLimit * m->Length() * n->Length()) return false;
    }
    if (!judged) return false;
    const bool flat = n0.Length() > 0.0
                          ? std::fabs(n0.Dot(d->GetVector() - a->GetVector())) <= m_limits.MaximumDeviation * n0.Length()
                          : std::fabs(n1.Dot(c->GetVector() - a->GetVector())) <= m_limits.MaximumDeviation * n1.Length();
    if (!flat) return false;
    MStlSurface* into = t->GetSurface();
    m_mesh.RemoveTriangle(t);
    m_mesh.RemoveTriangle(other);
    m_mesh.AddTriangle(c, a, d, into);
    m_mesh.AddTriangle(c, d, b, into);
    return true;
}
