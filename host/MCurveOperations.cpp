#include "host/MCurveOperations.h"

#include <absl/container/flat_hash_set.h>

#include <cmath>

#include "trim/MTrimCandidates.h"

namespace {

using i128 = __int128;

// Coordinates scaled by two, so that an edge's midpoint is a grid point.
struct Doubled {
    int64_t c[3];
};
Doubled Twice(const MStlPoint& p) { return {{2 * int64_t(p.GetX()), 2 * int64_t(p.GetY()), 2 * int64_t(p.GetZ())}}; }
Doubled Sum(const MStlPoint& p, const MStlPoint& q) {
    return {{int64_t(p.GetX()) + q.GetX(), int64_t(p.GetY()) + q.GetY(), int64_t(p.GetZ()) + q.GetZ()}};
}

// Whether x lies on the closed triangle t (both scaled by two), exactly.
bool OnTriangle(const Doubled& x, const MStlTriangle& t) {
    const Doubled a = Twice(*t.GetPoint(0)), b = Twice(*t.GetPoint(1)), c = Twice(*t.GetPoint(2));
    i128 u[3], v[3], w[3];
    for (int k = 0; k < 3; ++k) {
        u[k] = b.c[k] - a.c[k];
        v[k] = c.c[k] - a.c[k];
        w[k] = x.c[k] - a.c[k];
    }
    const i128 n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
    if (n[0] * w[0] + n[1] * w[1] + n[2] * w[2] != 0) return false;
    int drop = 0;
    for (int k = 1; k < 3; ++k)
        if ((n[k] < 0 ? -n[k] : n[k]) > (n[drop] < 0 ? -n[drop] : n[drop])) drop = k;
    if (n[drop] == 0) return false;  // zero area
    const int i = (drop + 1) % 3, j = (drop + 2) % 3;
    auto side = [&](const Doubled& p, const Doubled& q) {
        const i128 s = i128(q.c[i] - p.c[i]) * (x.c[j] - p.c[j]) - i128(q.c[j] - p.c[j]) * (x.c[i] - p.c[i]);
        return s > 0 ? 1 : s < 0 ? -1 : 0;
    };
    const int s0 = side(a, b), s1 = side(b, c), s2 = side(c, a);
    return (s0 >= 0 && s1 >= 0 && s2 >= 0) || (s0 <= 0 && s1 <= 0 && s2 <= 0);
}

// The triangles of a set of surfaces, found by position.
class SurfaceLocator {
public:
    explicit SurfaceLocator(const std::vector<MStlSurface*>& surfaces) {
        absl::flat_hash_set<const MStlSurface*> wanted(surfaces.begin(), surfaces.end());
        absl::flat_hash_set<const MStlBase*> meshes;
        for (const MStlSurface* s : surfaces) meshes.insert(s->GetStl());
        for (const MStlBase* mesh : meshes)
            for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it)
                if (wanted.contains(it->GetSurface())) {
                    m_triangles.push_back(*it);
                    m_boxes.push_back(MTrimBox::Of(**it));
                }
        m_grid = std::make_unique<MTrimBoxGrid>(m_boxes);
    }
    // Whether the edge p–q lies on the surfaces: both ends and its middle
    // on their triangles.
    bool HasEdge(const MStlPoint& p, const MStlPoint& q) const {
        return Has(Twice(p), p, p) && Has(Twice(q), q, q) && Has(Sum(p, q), p, q);
    }

private:
    // x (scaled by two) on a triangle; p and q span the box to look in.
    bool Has(const Doubled& x, const MStlPoint& p, const MStlPoint& q) const {
        MTrimBox box;
        for (int k = 0; k < 3; ++k) {
            box.min[k] = std::min(p.Get(k), q.Get(k));
            box.max[k] = std::max(p.Get(k), q.Get(k));
        }
        bool found = false;
        m_grid->ForEachMeeting(box, [&](uint32_t j) { found = found || OnTriangle(x, *m_triangles[j]); });
        return found;
    }

    std::vector<MStlTriangle*> m_triangles;
    std::vector<MTrimBox> m_boxes;
    std::unique_ptr<MTrimBoxGrid> m_grid;
};

std::vector<MStlSurface*> SurfacesOf(const std::vector<MStlSurface*>& surfaces, const std::vector<MStlFeature*>& features) {
    std::vector<MStlSurface*> all;
    absl::flat_hash_set<MStlSurface*> seen;
    auto add = [&](MStlSurface* s) {
        if (s && seen.insert(s).second) all.push_back(s);
    };
    for (MStlSurface* s : surfaces) add(s);
    for (MStlFeature* f : features)
        if (f)
            for (MStlSurface* s : f->GetSurfaces()) add(s);
    return all;
}

}  // namespace

namespace AU {

void GetCommonBorder(std::vector<MStlCurveSet*>& curveSets, const std::array<std::vector<MStlSurface*>, 2>& surfaces,
                     const std::array<std::vector<MStlFeature*>, 2>& features) {
    const std::array<std::vector<MStlSurface*>, 2> inputs = {SurfacesOf(surfaces[0], features[0]),
                                                             SurfacesOf(surfaces[1], features[1])};
    for (const auto& input : inputs)
        for (MStlSurface* s : input) s->GetStl()->UpdateSurfaceBorders(false);
    for (int side = 0; side < 2; ++side) {
        if (inputs[side].empty() || inputs[1 - side].empty()) continue;
        const SurfaceLocator other(inputs[1 - side]);
        for (MStlSurface* s : inputs[side]) {
            if (!s->GetFeature()) continue;
            std::vector<MStlSurfaceBorderContour> found;
            for (const MStlSurfaceBorderContour& contour : s->GetBorder().contours)
                for (MStlSurfaceBorderContour& run : SplitIntoRuns(contour, [&](const MStlPoint* p, const MStlPoint* q) {
                         return other.HasEdge(*p, *q);
                     }))
                    found.push_back(std::move(run));
            if (found.empty()) continue;
            MStlCurveSet* set = s->GetFeature()->AddCurveSet();
            set->surface = s;
            set->contours = std::move(found);
            curveSets.push_back(set);
        }
    }
}

}  // namespace AU

namespace {

// The triangle of `s` with the edge p–q, and whether it runs it p to q.
MStlTriangleElement* BorderTriangle(const MStlSurface* s, MStlPoint* p, MStlPoint* q, bool& forward) {
    for (uint32_t i = 0; i < p->GetNumberOfNeighbourTriangles(); ++i) {
        MStlTriangleElement* t = p->GetNeighbourTriangle(i);
        if (t->GetSurface() != s) continue;
        const int k = t->IndexOfPoint(p);
        if (t->GetPoint((k + 1) % 3) == q) return forward = true, t;
        if (t->GetPoint((k + 2) % 3) == q) return forward = false, t;
    }
    return nullptr;
}

}  // namespace

bool MStlCurveOperatorSurfaceExtend::Operate() {
    m_extension = nullptr;
    if (!m_surface || m_length == 0) return false;
    MStlBase& mesh = *m_surface->GetStl();
    struct Strip {
        MStlPoint *a, *b;    // the edge as its triangle runs it
        int ia, ib;          // their outer points
    };
    std::vector<Strip> strips;
    std::vector<MStlPoint*> inner;
    std::vector<MMVector3d> outward;
    for (const MStlSurfaceBorderContour& c : m_border.contours) {
        const size_t n = c.points.size();
        if (n < 2) continue;
        const size_t edges = c.closed ? n : n - 1;
        const int first = int(inner.size());
        for (size_t i = 0; i < n; ++i) {
            inner.push_back(c.points[i]);
            outward.push_back({0.0, 0.0, 0.0});
        }
        for (size_t e = 0; e < edges; ++e) {
            MStlPoint* p = c.points[e];
            MStlPoint* q = c.points[(e + 1) % n];
            bool forward = true;
            const MStlTriangleElement* t = BorderTriangle(m_surface, p, q, forward);
            if (!t) return false;
            const int ip = first + int(e), iq = first + int((e + 1) % n);
            // Away from the triangle, in its plane: the edge (as it runs it)
            // crossed with its normal.
            MMVector3d along = forward ? q->GetVector() - p->GetVector() : p->GetVector() - q->GetVector();
            MMVector3d away = along.Cross(t->GetNormal());
            if (!(away.Length() > 0.0)) return false;
            away = away / away.Length();
            outward[size_t(ip)] = outward[size_t(ip)] + away;
            outward[size_t(iq)] = outward[size_t(iq)] + away;
            strips.push_back(forward ? Strip{p, q, ip, iq} : Strip{q, p, iq, ip});
        }
    }
    if (strips.empty()) return false;
    // The outer points, all checked before anything is added.
    std::vector<int32_t> outer(3 * inner.size());
    for (size_t i = 0; i < inner.size(); ++i) {
        const double length = outward[i].Length();
        if (!(length > 0.0)) return false;
        const MMVector3d to = inner[i]->GetVector() + outward[i] * (double(m_length) / length);
        for (int k = 0; k < 3; ++k) {
            const double v = std::nearbyint(to[k]);
            if (!(v >= -2147483648.0 && v <= 2147483647.0)) return false;
            outer[3 * i + size_t(k)] = int32_t(v);
        }
    }
    MStlSurface* strip = mesh.AddSurface(m_surface);
    strip->SetName(m_surface->GetName() + L" extension");
    std::vector<MStlPoint*> made(inner.size(), nullptr);
    auto outerPoint = [&](int i) {
        MStlPoint*& p = made[size_t(i)];
        if (!p) p = mesh.AddPoint(outer[3 * size_t(i)], outer[3 * size_t(i) + 1], outer[3 * size_t(i) + 2]);
        return p;
    };
    for (const Strip& s : strips) {
        // Running the edge the other way round from the surface's triangle.
        for (MStlTriangleElement* t : {strip->AddTriangle(s.b, s.a, outerPoint(s.ia)),
                                       strip->AddTriangle(s.b, outerPoint(s.ia), outerPoint(s.ib))})
            if (t && t->IsZeroArea()) mesh.RemoveTriangle(t);
    }
    m_extension = strip;
    return true;
}
