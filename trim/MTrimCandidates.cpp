#include "trim/MTrimCandidates.h"

#include <cmath>
#include <numeric>

MTrimBoxGrid::MTrimBoxGrid(const std::vector<MTrimBox>& boxes) : m_boxes(&boxes) {
    if (boxes.empty()) return;
    for (int k = 0; k < 3; ++k) m_origin[k] = INT32_MAX;
    std::vector<int64_t> extents(boxes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        extents[i] = boxes[i].Extent();
        for (int k = 0; k < 3; ++k) m_origin[k] = std::min(m_origin[k], boxes[i].min[k]);
    }
    // The cells fit nine boxes in ten; larger ones go to coarser levels.
    auto tenth = extents.begin() + long(extents.size() * 9 / 10);
    std::nth_element(extents.begin(), tenth, extents.end());
    const double base = std::max(1.0, double(*tenth));
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
    struct Entry {
        uint64_t key;
        uint32_t box;
        uint8_t level;
        bool operator<(const Entry& o) const {
            return level != o.level ? level < o.level : key != o.key ? key < o.key : box < o.box;
        }
    };
    std::vector<Entry> entries(boxes.size());
    for (uint32_t i = 0; i < boxes.size(); ++i) {
        const Level& level = m_levels[m_levelOf[i]];
        const MTrimBox& b = boxes[i];
        entries[i] = {_Key(_Cell(b.min[0], 0, level), _Cell(b.min[1], 1, level), _Cell(b.min[2], 2, level)), i,
                      m_levelOf[i]};
    }
    std::sort(entries.begin(), entries.end());
    m_order.resize(entries.size());
    for (size_t n = 0; n < entries.size(); ++n) m_order[n] = entries[n].box;
    for (uint32_t n = 0; n < entries.size();) {
        Level& level = m_levels[entries[n].level];
        if (level.cells.empty()) level.begin = n;
        uint32_t end = n + 1;
        while (end < entries.size() && entries[end].level == entries[n].level && entries[end].key == entries[n].key) ++end;
        level.index.emplace(entries[n].key, uint32_t(level.cells.size()));
        level.cells.push_back({entries[n].key, n, end});
        level.end = end;
        n = end;
    }
}

using i128 = __int128;

// Differences are exact in doubles; the products' roundings are bounded by
// a few ulps of the sum of the terms' magnitudes, and where that bound does
// not settle the sign, 128-bit integers do.
int MTrimOrient(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c, const MStlPoint& d) {
    double u[3], v[3], w[3];
    for (int k = 0; k < 3; ++k) {
        u[k] = double(int64_t(b.Get(k)) - a.Get(k));
        v[k] = double(int64_t(c.Get(k)) - a.Get(k));
        w[k] = double(int64_t(d.Get(k)) - a.Get(k));
    }
    const double n0 = u[1] * v[2] - u[2] * v[1], n1 = u[2] * v[0] - u[0] * v[2], n2 = u[0] * v[1] - u[1] * v[0];
    const double value = n0 * w[0] + n1 * w[1] + n2 * w[2];
    const double size = (std::fabs(u[1] * v[2]) + std::fabs(u[2] * v[1])) * std::fabs(w[0]) +
                        (std::fabs(u[2] * v[0]) + std::fabs(u[0] * v[2])) * std::fabs(w[1]) +
                        (std::fabs(u[0] * v[1]) + std::fabs(u[1] * v[0])) * std::fabs(w[2]);
    if (std::fabs(value) > size * 1e-14) return value > 0.0 ? 1 : -1;
    i128 iu[3], iv[3], iw[3];
    for (int k = 0; k < 3; ++k) {
        iu[k] = int64_t(b.Get(k)) - a.Get(k);
        iv[k] = int64_t(c.Get(k)) - a.Get(k);
        iw[k] = int64_t(d.Get(k)) - a.Get(k);
    }
    const i128 exact = (iu[1] * iv[2] - iu[2] * iv[1]) * iw[0] + (iu[2] * iv[0] - iu[0] * iv[2]) * iw[1] +
                       (iu[0] * iv[1] - iu[1] * iv[0]) * iw[2];
    return exact > 0 ? 1 : exact < 0 ? -1 : 0;
}

namespace {

int Orient(const MStlPoint& a, const MStlPoint& b, const MStlPoint& c, const MStlPoint& d) {
    return MTrimOrient(a, b, c, d);
}

// The corners of `t` against other's plane; shared corners lie on it.  The
// plane is set up once for the three corners, with the same floating filter
// as MTrimOrient.
struct Sides {
    int8_t side[3];
    int below = 0, above = 0, on = 0;
    Sides(const MStlTriangle& t, const MStlTriangle& other) {
        const MStlPoint &a = *other.GetPoint(0), &b = *other.GetPoint(1), &c = *other.GetPoint(2);
        double u[3], v[3];
        for (int k = 0; k < 3; ++k) {
            u[k] = double(int64_t(b.Get(k)) - a.Get(k));
            v[k] = double(int64_t(c.Get(k)) - a.Get(k));
        }
        const double n[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
        const double size[3] = {std::fabs(u[1] * v[2]) + std::fabs(u[2] * v[1]), std::fabs(u[2] * v[0]) + std::fabs(u[0] * v[2]),
                                std::fabs(u[0] * v[1]) + std::fabs(u[1] * v[0])};
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = t.GetPoint(k);
            if (other.IndexOfPoint(p) >= 0) {
                side[k] = 0;
            } else {
                double value = 0.0, bound = 0.0;
                for (int i = 0; i < 3; ++i) {
                    const double w = double(int64_t(p->Get(i)) - a.Get(i));
                    value += n[i] * w;
                    bound += size[i] * std::fabs(w);
                }
                side[k] = int8_t(std::fabs(value) > bound * 1e-14 ? (value > 0.0 ? 1 : -1) : Orient(a, b, c, *p));
            }
            (side[k] < 0 ? below : side[k] > 0 ? above : on) += 1;
        }
    }
    bool OneSided() const { return (below == 0 || above == 0) && on < 2; }
};

// Whether edge k of `t` meets `other` anywhere but in a corner the two
// share.  An edge lying in other's plane counts as meeting it.
bool EdgeMeets(const MStlTriangle& t, int k, const Sides& sides, const MStlTriangle& other) {
    const MStlPoint &p = *t.GetPoint(k), &q = *t.GetPoint((k + 1) % 3);
    const int sp = sides.side[k], sq = sides.side[(k + 1) % 3];
    if (sp * sq > 0) return false;
    if (sp == 0 && sq == 0) return true;
    // Off the plane but for a shared corner: it meets other only there.
    if ((sp == 0 && other.IndexOfPoint(&p) >= 0) || (sq == 0 && other.IndexOfPoint(&q) >= 0)) return false;
    const MStlPoint &a = *other.GetPoint(0), &b = *other.GetPoint(1), &c = *other.GetPoint(2);
    const int s0 = Orient(p, q, a, b), s1 = Orient(p, q, b, c), s2 = Orient(p, q, c, a);
    return (s0 >= 0 && s1 >= 0 && s2 >= 0) || (s0 <= 0 && s1 <= 0 && s2 <= 0);
}

// Seen along axis `drop`: twice the signed area of (p, q, r).
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
    const Sides sa(a, b);
    if (sa.OneSided()) return false;
    const Sides sb(b, a);
    if (sb.OneSided()) return false;
    if (a.IsZeroArea() || b.IsZeroArea()) return false;
    if (sa.on == 3) return CoplanarInsidesOverlap(a, b);
    // Apart unless an edge of one meets the other (beyond a shared corner).
    for (int k = 0; k < 3; ++k)
        if (EdgeMeets(a, k, sa, b) || EdgeMeets(b, k, sb, a)) return true;
    return false;
}
