#include "MTriangleTrimIntersectionCalculator.h"

#include <cmath>
#include <cstdint>
#include <utility>

namespace {

using i128 = __int128;
using Calculator = MTriangleTrimIntersectionCalculator;

struct IPoint {
    int64_t c[3];
};

IPoint Of(const MStlPoint& p) { return {{p.GetX(), p.GetY(), p.GetZ()}}; }
IPoint Of(const MMVector3l& v) { return {{int64_t(v[0]), int64_t(v[1]), int64_t(v[2])}}; }

// n · (q − P0) with n = (P1 − P0) × (P2 − P0) of the system's triangle, exact:
// differences below 2^33, normal components below 2^66, the value below 2^101.
i128 PlaneValue(const MTriangleTrimCS& cs, const IPoint& q) {
    const IPoint p0 = Of(cs.GetVertex(0)), p1 = Of(cs.GetVertex(1)), p2 = Of(cs.GetVertex(2));
    i128 v[3], u[3], r[3];
    for (int i = 0; i < 3; ++i) {
        v[i] = p1.c[i] - p0.c[i];
        u[i] = p2.c[i] - p0.c[i];
        r[i] = q.c[i] - p0.c[i];
    }
    const i128 n0 = v[1] * u[2] - v[2] * u[1];
    const i128 n1 = v[2] * u[0] - v[0] * u[2];
    const i128 n2 = v[0] * u[1] - v[1] * u[0];
    return n0 * r[0] + n1 * r[1] + n2 * r[2];
}

unsigned char ClassOf(i128 value) {
    return value > 0 ? Calculator::kAbove : value < 0 ? Calculator::kBelow : Calculator::kOnPlane;
}

// The signed distance belonging to an exact plane value.
double DistanceOf(const MTriangleTrimCS& cs, i128 value) {
    const double length = cs.GetPlane().GetNormal().Length();
    return length > 0.0 ? double(value) / length : double(value);
}

// Order along the distance: below, on, above.
int Rank(unsigned char cls) { return cls == Calculator::kBelow ? 0 : cls == Calculator::kOnPlane ? 1 : 2; }

// floor(num · m / den) and whether it is exact, for 0 <= num <= den, m >= 0,
// den below 2^102: binary long division, so no intermediate exceeds 2^104.
std::pair<int64_t, bool> MulDiv(i128 num, uint64_t m, i128 den) {
    i128 quotient = 0, remainder = 0;
    for (int bit = 63; bit >= 0; --bit) {
        quotient <<= 1;
        remainder <<= 1;
        if ((m >> bit) & 1u) remainder += num;
        while (remainder >= den) {
            remainder -= den;
            ++quotient;
        }
    }
    return {int64_t(quotient), remainder == 0};
}

// The point p + (num/den)·(q − p), 0 <= num/den <= 1, each coordinate
// truncated toward zero from its exact value.  It depends only on the point
// itself, not on p, q or the fraction that name it.
void TruncatedPoint(const IPoint& p, const IPoint& q, i128 num, i128 den, int32_t out[3]) {
    if (den < 0) {
        num = -num;
        den = -den;
    }
    for (int i = 0; i < 3; ++i) {
        const int64_t d = q.c[i] - p.c[i];
        const auto [quotient, exact] = MulDiv(num, uint64_t(d < 0 ? -d : d), den);
        const int64_t floorF = d >= 0 ? quotient : -quotient - (exact ? 0 : 1);
        const int64_t ceilF = d >= 0 ? quotient + (exact ? 0 : 1) : -quotient;
        const int64_t low = p.c[i] + floorF;
        out[i] = int32_t(low >= 0 ? low : p.c[i] + ceilF);
    }
}

bool LexLess(const MStlPoint& p, const MStlPoint& q) {
    for (int i = 0; i < 3; ++i)
        if (p[i] != q[i]) return p[i] < q[i];
    return false;
}

// Sign of x0·y0 − x1·y1, exact for finite doubles: rounding to nearest is
// monotone, so the rounded products order the exact ones unless they tie,
// and then the rounding errors (fma) decide.
int CompareProducts(double x0, double y0, double x1, double y1) {
    const double p = x0 * y0, q = x1 * y1;
    if (p != q) return p > q ? 1 : -1;
    const double pe = std::fma(x0, y0, -p), qe = std::fma(x1, y1, -q);
    return pe > qe ? 1 : pe < qe ? -1 : 0;
}

// The line through two positions, running from s to e (positive side on the
// right of that direction).
MTriangleTrimLine LineThrough(const MTriangleTrimPosition& s, const MTriangleTrimPosition& e) {
    MTriangleTrimLine line;
    line.Set(s.GetW() * e.GetB() - s.GetB() * e.GetW(), s.GetA() * e.GetW() - s.GetW() * e.GetA(),
             s.GetA() * e.GetB() - s.GetB() * e.GetA());
    return line;
}

// Where the segment p–q of the triangle's plane crosses edge `axis`, as an
// integer point (see TruncatedPoint); false when they are parallel in every
// projection or do not meet.
bool CoplanarCrossing(const MTriangleTrimCS& cs, int axis, const IPoint& p, const IPoint& q, int32_t out[3]) {
    const IPoint s = Of(cs.GetVertex(axis)), t = Of(cs.GetVertex((axis + 1) % 3));
    int64_t e[3], d[3], r[3];
    for (int i = 0; i < 3; ++i) {
        e[i] = t.c[i] - s.c[i];
        d[i] = q.c[i] - p.c[i];
        r[i] = s.c[i] - p.c[i];
    }
    static constexpr int kPlanes[3][2] = {{0, 1}, {1, 2}, {2, 0}};
    for (const auto& pl : kPlanes) {
        const int x = pl[0], y = pl[1];
        i128 den = i128(e[x]) * d[y] - i128(e[y]) * d[x];
        if (den == 0) continue;
        i128 num = i128(e[x]) * r[y] - i128(e[y]) * r[x];
        if (den < 0) {
            den = -den;
            num = -num;
        }
        if (num < 0 || num > den) return false;
        TruncatedPoint(p, q, num, den, out);
        return true;
    }
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// MNeighbourInfo

void Calculator::MNeighbourInfo::Set(DLIST_ELEMENT<MStlTriangle>* neighbour, MStlPoint* point, MTriangleTrimCS* plane) {
    if (!neighbour || !point || !plane) {
        Clear();
        return;
    }
    m_system = MTriangleTrimCS();
    m_system.SetTriangle(neighbour, nullptr);
    if (m_system.IsDegenerate() || plane->IsDegenerate()) {
        Clear();
        return;
    }
    m_neighbour = neighbour;
    m_point = point;
    m_plane = plane;
    const i128 value = PlaneValue(*plane, Of(*point));
    m_distance = DistanceOf(*plane, value);
    m_class = ClassOf(value);
}

void Calculator::MNeighbourInfo::Calculate(MStlPoint* p, MStlPoint* q, MTriangleTrimCS* plane) {
    MStlTriangleElement* own = plane ? plane->GetTriangleElement() : nullptr;
    MStlBase* mesh = own ? own->GetStl() : nullptr;
    MStlTriangleElement* neighbour = nullptr;
    MStlPoint* third = nullptr;
    if (mesh && p && q) mesh->NumberOfTrianglesThrough(p, q, neighbour, third, true);
    if (neighbour) Set(neighbour, third, plane);
    else Clear();
}

void Calculator::MNeighbourInfo::CalculatePosition(MStlPoint* point, double& distance, unsigned char& cls) const {
    if (!m_plane || !point) return;
    const i128 value = PlaneValue(*m_plane, Of(*point));
    distance = DistanceOf(*m_plane, value);
    cls = ClassOf(value);
    RecalculatePosition(point, distance, cls);
}

// The neighbour bends off the plane to the side N.  Seen from the fold made
// of both triangles, the side N is the intersection of the two half-spaces
// on that side, the other side their union; a point is re-classed to the
// fold from its class K against the plane and c against the neighbour.
void Calculator::MNeighbourInfo::RecalculatePosition(MStlPoint* point, double& distance, unsigned char& cls) const {
    if ((m_class != kAbove && m_class != kBelow) || !point) return;
    const unsigned char n = m_class;
    const unsigned char opposite = n == kAbove ? kBelow : kAbove;
    const double r = -std::fabs(m_distance);
    const unsigned char c = ClassOf(PlaneValue(m_system, Of(*point)));
    const unsigned char k = cls;
    if (c == k) return;
    if (k == kOnPlane && c == n) return;
    if (c == kOnPlane && k == n) {
        cls = kOnPlane;
        distance = 0.0;
        return;
    }
    cls = opposite;
    distance = r;
}

void Calculator::MNeighbourInfo::Clear() { *this = MNeighbourInfo(); }

// ---------------------------------------------------------------------------
// MTriangleTrimIntersectionCalculator

void Calculator::_Count(int i) {
    m_above[i] = m_below[i] = m_on[i] = 0;
    for (unsigned char c : m_class[i]) {
        if (c == kAbove) ++m_above[i];
        else if (c == kBelow) ++m_below[i];
        else if (c == kOnPlane) ++m_on[i];
    }
}

void Calculator::CALCULATE_POSITION_TO_SYSTEM(int t, MStlPoint& point, double& distance, unsigned char& cls) const {
    if (m_neighbours[t].GetPoint()) {
        m_neighbours[t].CalculatePosition(&point, distance, cls);
        return;
    }
    const i128 value = PlaneValue(*m_planes[t], Of(point));
    distance = DistanceOf(*m_planes[t], value);
    cls = ClassOf(value);
}

void Calculator::RECALCULATE_POSITIONS(int t) {
    const unsigned char below = m_below[t], above = m_above[t];
    for (int k = 0; k < 3; ++k)
        m_neighbours[1 - t].RecalculatePosition(m_triangles[t]->GetPoint(k), m_distance[t][k], m_class[t][k]);
    MNeighbourInfo& own = m_neighbours[t];
    if (own.GetNeighbour()) CALCULATE_POSITION_TO_SYSTEM(1 - t, *own.GetPoint(), own.SecondDistance(), own.SecondClass());
    _Count(t);
    if (m_below[t] > below || m_above[t] > above) m_recalculated[t] = 1;
}

// The crossings of triangle i's edges with plane j: into record j (in j's
// system) and into i's candidates (in i's system), with one integer point.
void Calculator::_Crossings(int i) {
    const int j = 1 - i;
    const MStlTriangle& tri = *m_triangles[i];
    i128 value[3];
    for (int k = 0; k < 3; ++k) value[k] = PlaneValue(*m_planes[j], Of(*tri.GetPoint(k)));
    // The trace of plane j: A = −n·U, B = −n·V, C = n·O + D, with U = P2 − P0
    // and V = P1 − P0, from the exact values at the corners.
    m_records[i].line.Set(double(value[0] - value[2]), double(value[0] - value[1]), double(value[0]));
    for (int k = 0; k < 3; ++k) {
        const int k1 = (k + 1) % 3;
        if (m_class[i][k] == m_class[i][k1]) continue;
        const bool rising = Rank(m_class[i][k1]) > Rank(m_class[i][k]);
        MTriangleTrimPosition& crossing = rising ? m_records[j].end : m_records[j].start;
        MStlPoint* p = tri.GetPoint(k);
        MStlPoint* q = tri.GetPoint(k1);
        i128 vp = value[k], vq = value[k1];
        // One order for an edge, whichever triangle of it asks.
        if (LexLess(*q, *p)) {
            std::swap(p, q);
            std::swap(vp, vq);
        }
        crossing.CalculateIntersectionWithLine(p, q);
        int32_t xyz[3];
        TruncatedPoint(Of(*p), Of(*q), vp, vp - vq, xyz);
        crossing.SetXYZ(xyz[0], xyz[1], xyz[2]);
        crossing.SetPoint(nullptr);
        // The same point in triangle i's system, from the exact values, so
        // that it compares exactly with the other triangle's crossings.
        MTriangleTrimPosition& candidate = m_candidates[i][rising ? 0 : 1];
        const i128 dk = value[k] < 0 ? -value[k] : value[k], dk1 = value[k1] < 0 ? -value[k1] : value[k1];
        candidate.CalculateAsExactOffsetOnAxis(static_cast<unsigned char>(k), dk, dk + dk1);
        candidate.CopyXYZ(crossing);
    }
}

// Clips record i (triangle j's piece of the common line) to triangle i's own
// piece; false when the two pieces do not share a stretch of positive length.
bool Calculator::_Overlap(int i) {
    MTriangleTrimIntersection& record = m_records[i];
    const bool alongB = std::fabs(record.line.GetA()) > std::fabs(record.line.GetB());
    auto compare = [alongB](const MTriangleTrimPosition& p, const MTriangleTrimPosition& q) {
        return alongB ? CompareProducts(p.GetB(), q.GetW(), q.GetB(), p.GetW())
                      : CompareProducts(p.GetA(), q.GetW(), q.GetA(), p.GetW());
    };
    const MTriangleTrimPosition& rising = m_candidates[i][0];
    const MTriangleTrimPosition& falling = m_candidates[i][1];
    const int sigma = compare(rising, falling);
    if (sigma == 0) return false;
    if (compare(record.start, falling) != sigma || compare(rising, record.end) != sigma) return false;
    if (compare(rising, record.start) != sigma) record.start = rising;
    if (compare(record.end, falling) != sigma) record.end = falling;
    return true;
}

bool Calculator::CALCULATE(MTriangleTrimInfo& first, MTriangleTrimInfo& second) {
    m_infos[0] = &first;
    m_infos[1] = &second;
    for (int i = 0; i < 2; ++i) {
        m_triangles[i] = m_infos[i]->GetTriangle();
        if (!m_triangles[i]) return false;
        for (int k = 0; k < 3; ++k) {
            m_class[i][k] = kUnclassified;
            m_distance[i][k] = 0.0;
        }
    }

    // Shared vertices lie on both planes.
    int shared = 0;
    for (int k = 0; k < 3; ++k) {
        const int index = m_triangles[0]->IndexOfPoint(m_triangles[1]->GetPoint(k));
        if (index < 0) continue;
        m_class[1][k] = m_class[0][index] = kOnPlane;
        ++shared;
    }
    if (shared > 1) return false;

    for (int i = 0; i < 2; ++i) {
        m_planes[i] = &m_infos[i]->GetCS();
        if (m_planes[i]->IsDegenerate() || !m_planes[i]->GetPlane().IsPlane()) return false;
        m_above[i] = m_below[i] = m_on[i] = 0;
        m_recalculated[i] = 0;
        m_neighbours[i].Clear();
    }

    for (int i = 0; i < 2; ++i) {
        const MTriangleTrimCS& other = *m_planes[1 - i];
        for (int k = 0; k < 3; ++k) {
            if (m_class[i][k] != kUnclassified) continue;
            const i128 value = PlaneValue(other, Of(*m_triangles[i]->GetPoint(k)));
            m_distance[i][k] = DistanceOf(other, value);
            m_class[i][k] = ClassOf(value);
        }
        _Count(i);
        if ((m_below[i] == 0 || m_above[i] == 0) && m_on[i] < 2) return false;
    }

    if (m_on[0] == 3) return CALCULATE_OVERLAP();

    for (int i = 0; i < 2; ++i) {
        m_records[i] = MTriangleTrimIntersection();
        m_records[i].SetCS(m_planes[i]);
        m_candidates[i][0] = m_candidates[i][1] = MTriangleTrimPosition();
        m_candidates[i][0].SetCS(m_planes[i]);
        m_candidates[i][1].SetCS(m_planes[i]);
    }
    for (int i = 0; i < 2; ++i) _Crossings(i);
    for (int i = 0; i < 2; ++i)
        if (!_Overlap(i)) return false;

    // An edge lying in the other plane: look at the triangle beyond it.
    for (int i = 0; i < 2; ++i) {
        if (m_on[i] != 2) continue;
        int off = 0;
        while (m_class[i][off] == kOnPlane) ++off;
        m_neighbours[i].Calculate(m_triangles[i]->GetPoint((off + 1) % 3), m_triangles[i]->GetPoint((off + 2) % 3),
                                  m_planes[i]);
    }
    for (int t = 1; t >= 0; --t)
        if (m_neighbours[1 - t].GetPoint()) RECALCULATE_POSITIONS(t);

    for (int i = 0; i < 2; ++i) {
        if (m_below[i] == 1 || m_below[i] == 2)
            m_infos[i]->GetList(0)->AddIntersection(m_records[i], m_recalculated[i] != 0);
        if (m_above[i] == 1 || m_above[i] == 2)
            m_infos[i]->GetList(1)->AddIntersection(m_records[i], m_recalculated[i] == 0);
    }
    return true;
}

// Both triangles in one plane: each gets, in a new list, the outline of the
// common region, with the region on the right of every segment.
bool Calculator::CALCULATE_OVERLAP() {
    const bool same = m_planes[1]->GetPlane().GetNormal().Dot(m_planes[0]->GetPlane().GetNormal()) > 0.0;
    // projected[i][k]: vertex k of the other triangle in triangle i's system.
    // The vertices lie in the plane, so each keeps its own integer point.
    MTriangleTrimPosition projected[2][3];
    for (int i = 0; i < 2; ++i) {
        for (int k = 0; k < 3; ++k) {
            const MStlPoint& vertex = *m_triangles[1 - i]->GetPoint(k);
            projected[i][k].SetCS(m_planes[i]);
            projected[i][k].CalculatePositionOfPoint(&vertex);
            projected[i][k].SetXYZ(vertex.GetX(), vertex.GetY(), vertex.GetZ());
        }
    }
    bool inside[2];
    for (int i = 0; i < 2; ++i) {
        inside[i] = true;
        for (int k = 0; k < 3; ++k)
            if (!projected[i][k].IsOutside() || projected[1 - i][k].IsOutside()) inside[i] = false;
    }

    int added = 0;
    for (int i = 0; i < 2; ++i) {
        MTriangleTrimIntersectionList* list = m_infos[i]->AddList(same ? 2 : 3);
        if (!list) continue;
        if (inside[i]) {
            list->AddThreeAxisIntersections(*m_planes[i]);
            continue;
        }
        const MStlTriangle& other = *m_triangles[1 - i];
        for (int k = 0; k < 3; ++k) {
            const int k1 = (k + 1) % 3;
            MTriangleTrimIntersection edge;
            edge.SetCS(m_planes[i]);
            edge.start = projected[i][k];
            edge.end = projected[i][k1];
            edge.line = LineThrough(edge.start, edge.end);
            MTriangleTrimIntersection clipped;
            edge.TRIM(clipped, m_planes[i]);
            if (clipped.start.IsOutside() || clipped.end.IsOutside()) continue;
            // A clipped end is the crossing with one of triangle i's edges;
            // its integer point comes from the two edges' end points alone, so
            // that the other triangle, clipping the other way, finds it too.
            const IPoint p = Of(*other.GetPoint(k)), q = Of(*other.GetPoint(k1));
            for (auto [end, original] : {std::pair{&clipped.start, &edge.start}, std::pair{&clipped.end, &edge.end}}) {
                if (*end == *original) continue;
                bool found = false;
                for (int axis = 0; axis < 3 && !found; ++axis) {
                    int32_t xyz[3];
                    if (end->POSITION_TO_AXIS(static_cast<unsigned char>(axis)) != MTriangleTrimPosition::kOnLine ||
                        !CoplanarCrossing(*m_planes[i], axis, p, q, xyz))
                        continue;
                    end->SetXYZ(xyz[0], xyz[1], xyz[2]);
                    found = true;
                }
                if (!found) end->CALCULATE_XYZ(*m_planes[i]);
            }
            if (clipped.start == clipped.end) continue;
            if (clipped.IS_AXIS_BACKWARDS(!same)) continue;
            if (list->AddIntersection(clipped, !same)) ++added;
        }
    }
    return added > 0;
}
