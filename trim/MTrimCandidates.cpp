#include "trim/MTrimCandidates.h"

#include <cmath>
#include <numeric>

MTrimBoxGrid::MTrimBoxGrid(const std::vector<MTrimBox>& boxes) : m_boxes(&boxes) {
    if (boxes.empty()) return;
    double extent = 0.0;
    for (int k = 0; k < 3; ++k) m_origin[k] = INT32_MAX;
    for (const MTrimBox& b : boxes) {
        extent += double(b.Extent());
        for (int k = 0; k < 3; ++k) m_origin[k] = std::min(m_origin[k], b.min[k]);
    }
    const double base = std::max(1.0, extent / double(boxes.size()));
    m_levelOf.resize(boxes.size());
    int levels = 1;
    for (size_t i = 0; i < boxes.size(); ++i) {
        int level = 0;
        for (double cell = base; cell < double(boxes[i].Extent()); cell *= 2.0) ++level;
        m_levelOf[i] = uint8_t(level);
        levels = std::max(levels, level + 1);
    }
    m_levels.resize(size_t(levels));
    for (int l = 0; l < levels; ++l) m_levels[size_t(l)].cell = std::ldexp(base, l);

    // Entries sorted by level, then cell; each cell's run recorded.
    std::vector<uint64_t> key(boxes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        const Level& level = m_levels[m_levelOf[i]];
        key[i] = _Key(_Cell(boxes[i].min[0], 0, level), _Cell(boxes[i].min[1], 1, level), _Cell(boxes[i].min[2], 2, level));
    }
    m_order.resize(boxes.size());
    std::iota(m_order.begin(), m_order.end(), 0u);
    std::sort(m_order.begin(), m_order.end(), [&](uint32_t a, uint32_t b) {
        return m_levelOf[a] != m_levelOf[b] ? m_levelOf[a] < m_levelOf[b] : key[a] != key[b] ? key[a] < key[b] : a < b;
    });
    for (uint32_t n = 0; n < m_order.size();) {
        const uint32_t first = m_order[n];
        Level& level = m_levels[m_levelOf[first]];
        if (level.begin == level.end) level.begin = level.end = n;
        uint32_t end = n + 1;
        while (end < m_order.size() && m_levelOf[m_order[end]] == m_levelOf[first] && key[m_order[end]] == key[first]) ++end;
        level.cells.emplace(key[first], std::pair{n, end});
        level.end = end;
        n = end;
    }
}

namespace {

using i128 = __int128;

// The side of q against the plane of t: the sign of n · (q − t0) with
// n = (t1 − t0) × (t2 − t0).
int PlaneSide(const MStlTriangle& t, const MStlPoint& q) {
    const MStlPoint &p0 = *t.GetPoint(0), &p1 = *t.GetPoint(1), &p2 = *t.GetPoint(2);
    double v[3], u[3], r[3];
    for (int k = 0; k < 3; ++k) {
        v[k] = double(int64_t(p1.Get(k)) - p0.Get(k));
        u[k] = double(int64_t(p2.Get(k)) - p0.Get(k));
        r[k] = double(int64_t(q.Get(k)) - p0.Get(k));
    }
    const double n0 = v[1] * u[2] - v[2] * u[1], n1 = v[2] * u[0] - v[0] * u[2], n2 = v[0] * u[1] - v[1] * u[0];
    const double value = n0 * r[0] + n1 * r[1] + n2 * r[2];
    const double size = (std::fabs(v[1] * u[2]) + std::fabs(v[2] * u[1])) * std::fabs(r[0]) +
                        (std::fabs(v[2] * u[0]) + std::fabs(v[0] * u[2])) * std::fabs(r[1]) +
                        (std::fabs(v[0] * u[1]) + std::fabs(v[1] * u[0])) * std::fabs(r[2]);
    // Every rounding above is relative to `size`; a few ulps of it bound them.
    if (std::fabs(value) > size * 1e-14) return value > 0.0 ? 1 : -1;
    i128 iv[3], iu[3], ir[3];
    for (int k = 0; k < 3; ++k) {
        iv[k] = int64_t(p1.Get(k)) - p0.Get(k);
        iu[k] = int64_t(p2.Get(k)) - p0.Get(k);
        ir[k] = int64_t(q.Get(k)) - p0.Get(k);
    }
    const i128 exact = (iv[1] * iu[2] - iv[2] * iu[1]) * ir[0] + (iv[2] * iu[0] - iv[0] * iu[2]) * ir[1] +
                       (iv[0] * iu[1] - iv[1] * iu[0]) * ir[2];
    return exact > 0 ? 1 : exact < 0 ? -1 : 0;
}

struct Sides {
    int below = 0, above = 0, on = 0;
    bool OneSided() const { return (below == 0 || above == 0) && on < 2; }
};

// The corners of `t` against other's plane; shared corners lie on it.
Sides SidesOf(const MStlTriangle& t, const MStlTriangle& other) {
    Sides s;
    for (int k = 0; k < 3; ++k) {
        const MStlPoint* p = t.GetPoint(k);
        const int side = other.IndexOfPoint(p) >= 0 ? 0 : PlaneSide(other, *p);
        (side < 0 ? s.below : side > 0 ? s.above : s.on) += 1;
    }
    return s;
}

// Twice the signed area of (p, q, r) seen along axis `drop`.
i128 Orient2d(const MStlPoint& p, const MStlPoint& q, const MStlPoint& r, int drop) {
    const int x = (drop + 1) % 3, y = (drop + 2) % 3;
    return i128(int64_t(q.Get(x)) - p.Get(x)) * (int64_t(r.Get(y)) - p.Get(y)) -
           i128(int64_t(q.Get(y)) - p.Get(y)) * (int64_t(r.Get(x)) - p.Get(x));
}

// Two triangles of one plane: whether their insides overlap.  Seen along the
// plane's dominant normal axis both keep their area; they are apart (or only
// touch) exactly when an edge of one has the whole other on or beyond it.
bool CoplanarInsidesOverlap(const MStlTriangle& a, const MStlTriangle& b) {
    const MMVector3d n = a.GetAreaVector();
    int drop = 0;
    for (int k = 1; k < 3; ++k)
        if (std::fabs(n[k]) > std::fabs(n[drop])) drop = k;
    auto separates = [drop](const MStlTriangle& t, const MStlTriangle& other) {
        const bool clockwise = Orient2d(*t.GetPoint(0), *t.GetPoint(1), *t.GetPoint(2), drop) < 0;
        for (int e = 0; e < 3; ++e) {
            bool beyond = true;
            for (int k = 0; k < 3 && beyond; ++k) {
                const i128 o = Orient2d(*t.GetPoint(e), *t.GetPoint((e + 1) % 3), *other.GetPoint(k), drop);
                beyond = clockwise ? o >= 0 : o <= 0;
            }
            if (beyond) return true;
        }
        return false;
    };
    return !separates(a, b) && !separates(b, a);
}

}  // namespace

bool MTrimPairMayCross(const MStlTriangle& a, const MStlTriangle& b) {
    int shared = 0;
    for (int k = 0; k < 3; ++k) shared += a.IndexOfPoint(b.GetPoint(k)) >= 0;
    if (shared > 1) return false;
    const Sides sa = SidesOf(a, b);
    if (sa.OneSided() || SidesOf(b, a).OneSided()) return false;
    if (a.IsZeroArea() || b.IsZeroArea()) return false;
    return sa.on < 3 || CoplanarInsidesOverlap(a, b);
}
