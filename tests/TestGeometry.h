// Geometric checks the tests share: distances to triangles and an exact
// crossing test for triangles with integer corners.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "host/MStlBase.h"

// Distance from p to the triangle abc (closest point by regions).
inline double PointTriangleDistance(const MMVector3d& p, const MMVector3d& a, const MMVector3d& b, const MMVector3d& c) {
    const MMVector3d ab = b - a, ac = c - a, ap = p - a;
    const double d1 = ab.Dot(ap), d2 = ac.Dot(ap);
    if (d1 <= 0 && d2 <= 0) return (p - a).Length();
    const MMVector3d bp = p - b;
    const double d3 = ab.Dot(bp), d4 = ac.Dot(bp);
    if (d3 >= 0 && d4 <= d3) return (p - b).Length();
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) return (p - (a + ab * (d1 / (d1 - d3)))).Length();
    const MMVector3d cp = p - c;
    const double d5 = ab.Dot(cp), d6 = ac.Dot(cp);
    if (d6 >= 0 && d5 <= d6) return (p - c).Length();
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0) return (p - (a + ac * (d2 / (d2 - d6)))).Length();
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0) return (p - (b + (c - b) * ((d4 - d3) / ((d4 - d3) + (d5 - d6))))).Length();
    const double denom = 1.0 / (va + vb + vc);
    return (p - (a + ab * (vb * denom) + ac * (vc * denom))).Length();
}

inline double DistanceToMesh(const MMVector3d& p, const MStlBase& mesh) {
    double best = INFINITY;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        best = std::min(best, PointTriangleDistance(p, it->GetPoint(0)->GetVector(), it->GetPoint(1)->GetVector(),
                                                    it->GetPoint(2)->GetVector()));
    return best;
}

namespace exact {

using i128 = __int128;

inline i128 Orient3d(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c, const MStlPoint& d) {
    i128 u[3], v[3], w[3];
    for (int k = 0; k < 3; ++k) {
        u[k] = i128(b.Get(k)) - a.Get(k);
        v[k] = i128(c.Get(k)) - a.Get(k);
        w[k] = i128(d.Get(k)) - a.Get(k);
    }
    return u[0] * (v[1] * w[2] - v[2] * w[1]) - u[1] * (v[0] * w[2] - v[2] * w[0]) + u[2] * (v[0] * w[1] - v[1] * w[0]);
}

inline int Sign(i128 v) { return v > 0 ? 1 : v < 0 ? -1 : 0; }

// Seen along axis `drop`: twice the signed area of (a, b, c).
inline i128 Orient2d(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c, int drop) {
    const int x = (drop + 1) % 3, y = (drop + 2) % 3;
    return (i128(b.Get(x)) - a.Get(x)) * (i128(c.Get(y)) - a.Get(y)) -
           (i128(b.Get(y)) - a.Get(y)) * (i128(c.Get(x)) - a.Get(x));
}

// Closed 2-D segments pq and rs meet.
inline bool SegmentsMeet2d(const MStlPoint& p, const MStlPoint& q, const MStlPoint& r, const MStlPoint& s, int drop) {
    const int o1 = Sign(Orient2d(p, q, r, drop)), o2 = Sign(Orient2d(p, q, s, drop));
    const int o3 = Sign(Orient2d(r, s, p, drop)), o4 = Sign(Orient2d(r, s, q, drop));
    if (o1 * o2 < 0 && o3 * o4 < 0) return true;
    auto within = [drop](const MStlPoint& a, const MStlPoint& b, const MStlPoint& c) {
        for (int k = 0; k < 3; ++k) {
            if (k == drop) continue;
            if (c.Get(k) < std::min(a.Get(k), b.Get(k)) || c.Get(k) > std::max(a.Get(k), b.Get(k))) return false;
        }
        return true;
    };
    return (o1 == 0 && within(p, q, r)) || (o2 == 0 && within(p, q, s)) || (o3 == 0 && within(r, s, p)) ||
           (o4 == 0 && within(r, s, q));
}

// The closed segment pq meets the closed triangle t.
inline bool SegmentMeetsTriangle(const MStlPoint& p, const MStlPoint& q, const MStlTriangle& t) {
    const MStlPoint &a = *t.GetPoint(0), &b = *t.GetPoint(1), &c = *t.GetPoint(2);
    const int sp = Sign(Orient3d(a, b, c, p)), sq = Sign(Orient3d(a, b, c, q));
    if (sp * sq > 0) return false;
    if (sp == 0 && sq == 0) {
        const MMVector3d n = t.GetAreaVector();
        int drop = 0;
        for (int k = 1; k < 3; ++k)
            if (std::fabs(n[k]) > std::fabs(n[drop])) drop = k;
        auto inside = [&](const MStlPoint& x) {
            const int s0 = Sign(Orient2d(a, b, x, drop)), s1 = Sign(Orient2d(b, c, x, drop)), s2 = Sign(Orient2d(c, a, x, drop));
            return (s0 >= 0 && s1 >= 0 && s2 >= 0) || (s0 <= 0 && s1 <= 0 && s2 <= 0);
        };
        return inside(p) || inside(q) || SegmentsMeet2d(p, q, a, b, drop) || SegmentsMeet2d(p, q, b, c, drop) ||
               SegmentsMeet2d(p, q, c, a, drop);
    }
    const int s0 = Sign(Orient3d(p, q, a, b)), s1 = Sign(Orient3d(p, q, b, c)), s2 = Sign(Orient3d(p, q, c, a));
    return (s0 >= 0 && s1 >= 0 && s2 >= 0) || (s0 <= 0 && s1 <= 0 && s2 <= 0);
}

// Two triangles without a common corner cross (or touch) anywhere.
inline bool TrianglesMeet(const MStlTriangle& s, const MStlTriangle& t) {
    for (int k = 0; k < 3; ++k) {
        if (SegmentMeetsTriangle(*s.GetPoint(k), *s.GetPoint((k + 1) % 3), t)) return true;
        if (SegmentMeetsTriangle(*t.GetPoint(k), *t.GetPoint((k + 1) % 3), s)) return true;
    }
    return false;
}

inline bool ShareCorner(const MStlTriangle& s, const MStlTriangle& t) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (*s.GetPoint(i) == *t.GetPoint(j)) return true;
    return false;
}

// Pairs of triangles of the mesh that meet without sharing a corner.
inline uint64_t CrossingPairs(const MStlBase& mesh) {
    std::vector<const MStlTriangle*> all;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) all.push_back(*it);
    struct Box { int32_t lo[3], hi[3]; };
    std::vector<Box> boxes(all.size());
    for (size_t i = 0; i < all.size(); ++i)
        for (int k = 0; k < 3; ++k) {
            boxes[i].lo[k] = std::min({all[i]->GetPoint(0)->Get(k), all[i]->GetPoint(1)->Get(k), all[i]->GetPoint(2)->Get(k)});
            boxes[i].hi[k] = std::max({all[i]->GetPoint(0)->Get(k), all[i]->GetPoint(1)->Get(k), all[i]->GetPoint(2)->Get(k)});
        }
    uint64_t crossing = 0;
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = i + 1; j < all.size(); ++j) {
            bool apart = false;
            for (int k = 0; k < 3; ++k) apart = apart || boxes[i].lo[k] > boxes[j].hi[k] || boxes[j].lo[k] > boxes[i].hi[k];
            if (apart || ShareCorner(*all[i], *all[j])) continue;
            crossing += TrianglesMeet(*all[i], *all[j]);
        }
    return crossing;
}

}  // namespace exact
