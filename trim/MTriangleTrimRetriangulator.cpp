#include "MTriangleTrimRetriangulator.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace {

using i128 = __int128;

void TwoSum(double a, double b, double& sum, double& error) {
    sum = a + b;
    const double bv = sum - a;
    error = (a - (sum - bv)) + (b - bv);
}

// Exact sign of a·b − c·d: both products split without rounding error (fma)
// and summed as a non-overlapping expansion, whose largest term has the sign.
int SignOfProductDifference(double a, double b, double c, double d) {
    const double p = a * b, q = c * d;
    const double terms[4] = {std::fma(a, b, -p), -std::fma(c, d, -q), p, -q};
    double expansion[4];
    int size = 0;
    for (double t : terms) {
        double carry = t;
        int kept = 0;
        for (int j = 0; j < size; ++j) {
            double sum, error;
            TwoSum(carry, expansion[j], sum, error);
            carry = sum;
            if (error != 0.0) expansion[kept++] = error;
        }
        if (carry != 0.0) expansion[kept++] = carry;
        size = kept;
    }
    if (size == 0) return 0;
    return expansion[size - 1] > 0.0 ? 1 : -1;
}

// Sign of (offset of s) − (offset of t) along an axis: b/w on axis 0, a/w on
// axis 1, (w − a)/w on axis 2.
int CompareOffsetOnAxis(unsigned char axis, const MTriangleTrimPosition& s, const MTriangleTrimPosition& t) {
    switch (axis) {
    case 0: return SignOfProductDifference(s.GetB(), t.GetW(), t.GetB(), s.GetW());
    case 1: return SignOfProductDifference(s.GetA(), t.GetW(), t.GetA(), s.GetW());
    default: return SignOfProductDifference(t.GetA(), s.GetW(), s.GetA(), t.GetW());
    }
}

// Integer cross product of (b − a) and (c − a), exactly.
void GridCross(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c, i128 out[3]) {
    const int64_t u[3] = {int64_t(b->GetX()) - a->GetX(), int64_t(b->GetY()) - a->GetY(), int64_t(b->GetZ()) - a->GetZ()};
    const int64_t v[3] = {int64_t(c->GetX()) - a->GetX(), int64_t(c->GetY()) - a->GetY(), int64_t(c->GetZ()) - a->GetZ()};
    out[0] = i128(u[1]) * v[2] - i128(u[2]) * v[1];
    out[1] = i128(u[2]) * v[0] - i128(u[0]) * v[2];
    out[2] = i128(u[0]) * v[1] - i128(u[1]) * v[0];
}

bool GridCollinear(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c) {
    i128 n[3];
    GridCross(a, b, c, n);
    return n[0] == 0 && n[1] == 0 && n[2] == 0;
}

// Sign of (b − a)·(c − b) on the grid (exact in 128 bits).
int GridTurnDot(const MStlPoint* a, const MStlPoint* b, const MStlPoint* c) {
    i128 dot = 0;
    for (int i = 0; i < 3; ++i) dot += i128(int64_t(b->Get(i)) - a->Get(i)) * (int64_t(c->Get(i)) - b->Get(i));
    return dot > 0 ? 1 : dot < 0 ? -1 : 0;
}

// The edges a position lies on, as bits: the lines it lies on exactly, and
// the edge its code names (a crossing placed on an edge by its offset keeps
// that edge even where rounding leaves it just off the line).
unsigned EdgesOf(const MTriangleTrimPosition& p) {
    unsigned edges = p.GetPositionCode() <= 2 ? 1u << p.GetPositionCode() : 0u;
    for (unsigned char axis = 0; axis < 3; ++axis)
        if (p.POSITION_TO_AXIS(axis) == MTriangleTrimPosition::kOnLine) edges |= 1u << axis;
    return edges;
}

// A record with both ends on one edge: a stretch where the other mesh only
// touches the edge (or a single point on it).  It cuts nothing off the
// triangle.
bool LiesAlongEdge(const MTriangleTrimIntersection& r) { return (EdgesOf(r.start) & EdgesOf(r.end)) != 0; }

// The edge a position lies on strictly between two corners, or 3.
unsigned char InnerEdgeOf(const MTriangleTrimPosition& p) {
    const unsigned edges = EdgesOf(p);
    if (p.GetPositionCode() > 2 || (edges & (edges - 1)) != 0) return 3;
    return p.GetPositionCode();
}

}  // namespace

// ---------------------------------------------------------------------------
// Triangulation of a region with holes in 2-D, over flat arrays.
//
// Rings run with the region on their right (clockwise for an outer ring,
// counterclockwise for a hole).  Holes are spliced into outer rings through
// bridges; the resulting polygons are ear-clipped over index rings.  The
// output is point-index triples, each running clockwise like its polygon.

struct MTriangleTrimRetriangulator::Triangulator {
    std::vector<double> x, y;
    std::vector<MStlPoint*> point;
    std::vector<std::vector<uint32_t>> rings;  // point indices; reused
    size_t ringCount = 0;
    std::vector<uint32_t> outers, holes;       // ring numbers
    std::vector<uint32_t> next, prev, spliced;
    std::vector<uint32_t> triangles;           // point-index triples

    void Load(const MStlCutBorder& contours);
    // False when a hole could not be joined to any outer ring.
    bool Run();

private:
    bool Coincide(uint32_t i, uint32_t j) const { return point[i] == point[j] || (x[i] == x[j] && y[i] == y[j]); }
    double VertexAngle(uint32_t p, uint32_t c, uint32_t q) const;
    double RingArea(const std::vector<uint32_t>& ring) const;
    bool JoinHoles();
    bool FindBridge(const std::vector<uint32_t>& outer, const std::vector<uint32_t>& hole, size_t& k, size_t& j) const;
    bool CrossesAnyRing(uint32_t o, uint32_t h) const;
    bool Crosses(uint32_t o, uint32_t h, uint32_t a, uint32_t b) const;
    void Splice(std::vector<uint32_t>& outer, size_t k, const std::vector<uint32_t>& hole, size_t j);
    void ClipEars(const std::vector<uint32_t>& polygon);
    bool NeighboursImprove(const std::vector<uint32_t>& poly, uint32_t p, uint32_t i, uint32_t q) const;
    bool AnyVertexInside(const std::vector<uint32_t>& poly, uint32_t p, uint32_t i, uint32_t q) const;
};

void MTriangleTrimRetriangulator::Triangulator::Load(const MStlCutBorder& contours) {
    x.clear();
    y.clear();
    point.clear();
    ringCount = 0;
    for (const MStlCutContour* c = contours.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
        if (rings.size() <= ringCount) rings.emplace_back();
        std::vector<uint32_t>& ring = rings[ringCount++];
        ring.clear();
        const MStlCutBorderPoint* p = c->GetFirstPoint();
        for (uint32_t n = 0; n < c->GetNumberOfPoints(); ++n, p = p->GetNext()) {
            // A corner reached again where a segment starts adds nothing.
            if (!ring.empty() && point[ring.back()] == p->GetData()) continue;
            ring.push_back(uint32_t(x.size()));
            x.push_back(p->GetX());
            y.push_back(p->GetY());
            point.push_back(p->GetData());
        }
        while (ring.size() > 1 && point[ring.back()] == point[ring.front()]) ring.pop_back();
    }
}

// 0 for a zero-length edge or a U-turn, 2 for straight on; from 0 to 2 for a
// right turn and from 2 to 4 for a left turn.  Exact collinearity on the grid
// decides straight and U-turn, so that rounding in 2-D cannot turn a straight
// vertex into a sliver ear.
double MTriangleTrimRetriangulator::Triangulator::VertexAngle(uint32_t p, uint32_t c, uint32_t q) const {
    if (Coincide(p, c) || Coincide(c, q)) return 0.0;
    if (point[p] && point[c] && point[q] && GridCollinear(point[p], point[c], point[q]))
        return GridTurnDot(point[p], point[c], point[q]) > 0 ? 2.0 : 0.0;
    const double dx1 = x[c] - x[p], dy1 = y[c] - y[p];
    const double dx2 = x[q] - x[c], dy2 = y[q] - y[c];
    const double k = dx1 * dy2 - dy1 * dx2;
    const double e = std::clamp((dx1 * dx2 + dy1 * dy2) / (std::hypot(dx1, dy1) * std::hypot(dx2, dy2)), -1.0, 1.0);
    return k > 0.0 ? 3.0 - e : 1.0 + e;
}

// Sum of (x' − x)·(y + y')/2: positive for a clockwise (outer) ring.
double MTriangleTrimRetriangulator::Triangulator::RingArea(const std::vector<uint32_t>& ring) const {
    double area = 0.0;
    for (size_t i = 0; i < ring.size(); ++i) {
        const uint32_t a = ring[i], b = ring[(i + 1) % ring.size()];
        if (x[b] != x[a]) area += (x[b] - x[a]) * (y[a] + y[b]) / 2.0;
    }
    return area;
}

bool MTriangleTrimRetriangulator::Triangulator::Run() {
    triangles.clear();
    outers.clear();
    holes.clear();
    for (uint32_t r = 0; r < ringCount; ++r) {
        if (rings[r].size() < 3) continue;
        const double area = RingArea(rings[r]);
        if (area > 0.0) outers.push_back(r);
        else if (area < 0.0) holes.push_back(r);
    }
    if (!JoinHoles()) return false;
    for (uint32_t r : outers) ClipEars(rings[r]);
    return true;
}

bool MTriangleTrimRetriangulator::Triangulator::JoinHoles() {
    for (uint32_t o : outers) {
        for (size_t h = 0; h < holes.size();) {
            size_t k = 0, j = 0;
            if (FindBridge(rings[o], rings[holes[h]], k, j)) {
                Splice(rings[o], k, rings[holes[h]], j);
                holes.erase(holes.begin() + long(h));
            } else {
                ++h;
            }
        }
    }
    return holes.empty();
}

// The first pair (hole vertex j, outer vertex k), hole vertices in order and
// outer vertices in order for each, whose bridge leaves both rings into the
// region and crosses no ring edge.
bool MTriangleTrimRetriangulator::Triangulator::FindBridge(const std::vector<uint32_t>& outer,
                                                          const std::vector<uint32_t>& hole, size_t& k,
                                                          size_t& j) const {
    const size_t no = outer.size(), nh = hole.size();
    for (j = 0; j < nh; ++j) {
        const uint32_t h = hole[j], hp = hole[(j + nh - 1) % nh], hn = hole[(j + 1) % nh];
        const double holeInterior = VertexAngle(hp, h, hn);
        for (k = 0; k < no; ++k) {
            const uint32_t o = outer[k], op = outer[(k + no - 1) % no], on = outer[(k + 1) % no];
            if (Coincide(o, h)) continue;
            if (!(VertexAngle(op, o, h) < VertexAngle(op, o, on))) continue;
            if (!(VertexAngle(hp, h, o) < holeInterior)) continue;
            if (!CrossesAnyRing(o, h)) return true;
        }
    }
    return false;
}

bool MTriangleTrimRetriangulator::Triangulator::CrossesAnyRing(uint32_t o, uint32_t h) const {
    auto crossesRing = [&](const std::vector<uint32_t>& ring) {
        for (size_t i = 0; i < ring.size(); ++i)
            if (Crosses(o, h, ring[i], ring[(i + 1) % ring.size()])) return true;
        return false;
    };
    for (uint32_t r : outers)
        if (crossesRing(rings[r])) return true;
    for (uint32_t r : holes)
        if (crossesRing(rings[r])) return true;
    return false;
}

// Whether o–h crosses a–b: both parameters in [0, 1], one strictly inside.
// Edges ending in o or h, and parallel edges, never cross.
bool MTriangleTrimRetriangulator::Triangulator::Crosses(uint32_t o, uint32_t h, uint32_t a, uint32_t b) const {
    if (Coincide(a, o) || Coincide(a, h) || Coincide(b, o) || Coincide(b, h)) return false;
    const double dx = x[h] - x[o], dy = y[h] - y[o];
    const double ex = x[b] - x[a], ey = y[b] - y[a];
    const double den = dx * ey - dy * ex;
    if (den == 0.0) return false;
    const double rx = x[a] - x[o], ry = y[a] - y[o];
    const double s = (rx * ey - ry * ex) / den;  // along o–h
    const double t = (rx * dy - ry * dx) / den;  // along a–b
    if (s < 0.0 || s > 1.0 || t < 0.0 || t > 1.0) return false;
    return (s > 0.0 && s < 1.0) || (t > 0.0 && t < 1.0);
}

// outer[..k], hole[j..] round to hole[j] again, outer[k], outer[k+1..].
void MTriangleTrimRetriangulator::Triangulator::Splice(std::vector<uint32_t>& outer, size_t k,
                                                      const std::vector<uint32_t>& hole, size_t j) {
    spliced.clear();
    spliced.insert(spliced.end(), outer.begin(), outer.begin() + long(k) + 1);
    for (size_t n = 0; n <= hole.size(); ++n) spliced.push_back(hole[(j + n) % hole.size()]);
    spliced.insert(spliced.end(), outer.begin() + long(k), outer.end());
    outer.swap(spliced);
}

// After clipping i, the angles at p and q must stay non-zero and shrink.
bool MTriangleTrimRetriangulator::Triangulator::NeighboursImprove(const std::vector<uint32_t>& poly, uint32_t p,
                                                                 uint32_t i, uint32_t q) const {
    const uint32_t pp = prev[p], qq = next[q];
    const double newP = VertexAngle(poly[pp], poly[p], poly[q]);
    const double newQ = VertexAngle(poly[p], poly[q], poly[qq]);
    return newP != 0.0 && newQ != 0.0 && newP < VertexAngle(poly[pp], poly[p], poly[i]) &&
           newQ < VertexAngle(poly[i], poly[q], poly[qq]);
}

// Whether another ring vertex lies in the closed ear (p, i, q); vertices at
// the ear's corners do not count.
bool MTriangleTrimRetriangulator::Triangulator::AnyVertexInside(const std::vector<uint32_t>& poly, uint32_t p,
                                                               uint32_t i, uint32_t q) const {
    const uint32_t a = poly[p], b = poly[i], c = poly[q];
    const double minX = std::min({x[a], x[b], x[c]}), maxX = std::max({x[a], x[b], x[c]});
    const double minY = std::min({y[a], y[b], y[c]}), maxY = std::max({y[a], y[b], y[c]});
    auto side = [&](uint32_t s, uint32_t t, uint32_t v) {
        return (x[t] - x[s]) * (y[v] - y[s]) - (y[t] - y[s]) * (x[v] - x[s]);
    };
    for (uint32_t n = next[q]; n != p; n = next[n]) {
        const uint32_t v = poly[n];
        if (x[v] < minX || x[v] > maxX || y[v] < minY || y[v] > maxY) continue;
        if (Coincide(v, a) || Coincide(v, b) || Coincide(v, c)) continue;
        // The ear runs clockwise: inside is on the right of every edge.
        if (side(a, b, v) <= 0.0 && side(b, c, v) <= 0.0 && side(c, a, v) <= 0.0) return true;
    }
    return false;
}

void MTriangleTrimRetriangulator::Triangulator::ClipEars(const std::vector<uint32_t>& poly) {
    uint32_t n = uint32_t(poly.size());
    if (n < 3) return;
    next.resize(n);
    prev.resize(n);
    for (uint32_t k = 0; k < n; ++k) {
        next[k] = (k + 1) % n;
        prev[k] = (k + n - 1) % n;
    }
    uint32_t i = 0, failed = 0;
    while (n >= 3) {
        const uint32_t p = prev[i], q = next[i];
        bool ear = true;
        if (n > 3) {
            const double angle = VertexAngle(poly[p], poly[i], poly[q]);
            if (angle != 0.0 && failed < 4 * n) {
                ear = !(angle > 2.0) && (failed >= 3 * n || NeighboursImprove(poly, p, i, q)) &&
                      (failed >= 2 * n || !AnyVertexInside(poly, p, i, q)) && (failed >= n || angle != 2.0);
            }
        }
        if (!ear) {
            ++failed;
            i = q;
            continue;
        }
        triangles.insert(triangles.end(), {poly[p], poly[i], poly[q]});
        next[p] = q;
        prev[q] = p;
        --n;
        failed = 0;
        i = q;
    }
}

// ---------------------------------------------------------------------------

MTriangleTrimRetriangulator::MTriangleTrimRetriangulator() : m_triangulator(std::make_unique<Triangulator>()) {}

MTriangleTrimRetriangulator::~MTriangleTrimRetriangulator() = default;

void MTriangleTrimRetriangulator::SetTriangulationStatus(char s0, char s1, char s2, char s3, char s4) {
    m_status[0] = s0;
    m_status[1] = s1;
    m_status[2] = s2;
    m_status[3] = s3;
    m_status[4] = s4;
}

void MTriangleTrimRetriangulator::SetSearchMode(bool searchAllLists, bool chooseByAngle) {
    m_searchAllLists = searchAllLists;
    m_chooseByAngle = chooseByAngle;
}

MStlCutBorder* MTriangleTrimRetriangulator::GetTrimBorder(unsigned char side, unsigned char list) {
    return side < 2 && list < 2 ? &m_trimBorders[2 * side + list] : nullptr;
}

bool MTriangleTrimRetriangulator::_IsDegenerate(MTriangleTrimInfo& info) {
    MStlTriangle* triangle = info.GetTriangle();
    if (!triangle && info.GetList(0)) triangle = info.GetList(0)->GetTriangleElement();
    if (!triangle || info.GetCS().IsDegenerate()) return true;
    m_ownCS.SetTriangle(triangle, nullptr);
    return m_ownCS.IsDegenerate();
}

bool MTriangleTrimRetriangulator::CreateNewTriangles(MTriangleTrimInfo& info, unsigned char side) {
    m_error = 0;
    const unsigned numLists = info.GetNumLists();
    if (numLists == 2 && info.GetList(0)->GetNumIntersections() == 0 && info.GetList(1)->GetNumIntersections() == 0)
        return false;
    if (_IsDegenerate(info)) {
        m_error |= kErrorDegenerateTriangle;
        return false;
    }
    if (m_trimBorder) UpdateTrimBorders(info, side);
    m_info = &info;
    m_listsSearched = m_searchAllLists ? numLists : 1;
    if (m_saveExtraInfo) {
        m_newTriangles.clear();
        m_intersectionPoints.clear();
    }
    m_pending.clear();
    _CollectEdgePoints(info);
    for (unsigned i = 0; i < numLists; ++i) _ProcessList(i);
    m_info = nullptr;

    MStlTriangle* trimmed = info.GetTriangle() ? info.GetTriangle() : info.GetList(0)->GetTriangleElement();
    if (m_error != 0) {
        if (m_saveExtraInfo) m_intersectionPoints.clear();
        return false;
    }
    if (!_CommitPending(*trimmed)) return false;
    trimmed->SetStatus(uint8_t(m_status[4]));
    return true;
}

bool MTriangleTrimRetriangulator::_ProcessList(unsigned listIndex) {
    MTriangleTrimIntersectionList& list = *m_info->GetList(listIndex);
    m_currentList = listIndex;
    m_triangle = list.GetTriangleElement() ? list.GetTriangleElement() : m_info->GetTriangle();
    if (!m_triangle) return false;
    m_mesh = m_triangle->GetStl();
    m_contours.Clear();
    uint64_t records = list.GetNumIntersections();
    for (unsigned i = 0; i < m_listsSearched; ++i) records += m_info->GetList(i)->GetNumIntersections();
    // Each record adds at most two points and each walk between records at
    // most three corners; a walk that finds no record start goes round and
    // round until this limit stops it.
    const uint64_t pointLimit = 5 * records + 4;
    _TakeRecordsAlongEdges(list);
    while (list.GetFirstIntersection()) {
        if (_BuildContour(list, pointLimit)) continue;
        m_contours.RemoveContour(m_contour);
        list.RemoveIntersectionAfter(nullptr);
        m_error |= kErrorContourNotClosed;
    }
    if (m_contours.GetNumberOfContours() == 0) return false;
    _AddTriangleBorderIfOnlyHoles();
    _MapToTrueShape();
    const char status = m_status[std::min<unsigned>(list.GetType(), 3)];
    return m_searchAllLists ? _FillWithFiller(status) : _Triangulate(status);
}

// A record along an edge (the other mesh only touches the edge there) cuts
// nothing off the triangle.  In a list of crossing records it would start a
// contour of its own that covers the triangle once more over the pieces the
// crossing records bound, so it is taken out there.  The ends of every such
// record, of every list, stay as points on the edges: each contour walk along
// an edge passes through those it meets, so that all pieces divide the edge
// where the neighbour across it divides it.
void MTriangleTrimRetriangulator::_CollectEdgePoints(MTriangleTrimInfo& info) {
    m_edgePoints.clear();
    if (m_listsSearched != 1) return;
    for (unsigned i = 0; i < info.GetNumLists(); ++i)
        for (const MTriangleTrimIntersection& r : *info.GetList(i)) {
            if (!LiesAlongEdge(r)) continue;
            for (const MTriangleTrimPosition* end : {&r.start, &r.end})
                if (InnerEdgeOf(*end) < 3 && end->GetPoint() && end->GetW() > 0.0) m_edgePoints.push_back(*end);
        }
}

void MTriangleTrimRetriangulator::_TakeRecordsAlongEdges(MTriangleTrimIntersectionList& list) {
    if (m_listsSearched != 1 || list.GetType() > 1) return;
    bool crossing = false, along = false;
    for (const MTriangleTrimIntersection& r : list) (LiesAlongEdge(r) ? along : crossing) = true;
    if (!crossing || !along) return;
    for (uint64_t n = list.GetNumIntersections(); n > 0; --n) {
        Element* e = list.RemoveFirstIntersection();
        if (LiesAlongEdge(e->GetItem())) list.DeleteIntersection(e);
        else list.AddIntersectionElement(e);
    }
}

// Adds, in order along the current edge, the kept edge points that lie
// strictly between the current position and `target` (the next record start
// or the corner that the walk along the edge reached).
void MTriangleTrimRetriangulator::_AddEdgePointsBefore(const MTriangleTrimPosition& target) {
    if (m_edgePoints.empty()) return;
    const unsigned char axis = m_position.GetPositionCode();
    if (axis > 2) return;
    const bool toCorner = m_searchResult == 3;
    m_between.clear();
    for (size_t i = 0; i < m_edgePoints.size(); ++i) {
        const MTriangleTrimPosition& q = m_edgePoints[i];
        if (q.GetPositionCode() != axis || CompareOffsetOnAxis(axis, q, m_position) <= 0) continue;
        if (!toCorner && CompareOffsetOnAxis(axis, q, target) >= 0) continue;
        m_between.push_back(i);
    }
    std::sort(m_between.begin(), m_between.end(), [&](size_t i, size_t j) {
        return CompareOffsetOnAxis(axis, m_edgePoints[i], m_edgePoints[j]) < 0;
    });
    for (size_t i : m_between) {
        const MTriangleTrimPosition& q = m_edgePoints[i];
        if (q == m_position) continue;
        _AddPosition(q);
        if (m_saveExtraInfo) m_intersectionPoints.push_back({q.GetPoint(), q.GetPositionCode()});
    }
}

bool MTriangleTrimRetriangulator::_BuildContour(MTriangleTrimIntersectionList& list, uint64_t pointLimit) {
    m_contour = m_contours.AddContour();
    m_contourValid = true;
    Element* first = list.GetFirstIntersection();
    _AddSegment(first->GetItem(), true);
    for (;;) {
        if (!m_contourValid || m_contour->GetNumberOfPoints() > pointLimit) return false;
        _SearchNext();
        if (m_searchResult == 0) return false;
        if (m_searchResult == 3) {
            _AddEdgePointsBefore(m_corner);
            _AddCorner();
            continue;
        }
        if (m_searchResult == 2) _AddEdgePointsBefore(m_found->GetItem().start);
        const bool closes = m_found == first;
        if (!closes) _AddSegment(m_found->GetItem(), m_searchResult == 2);
        _RemoveFound();
        if (closes) {
            m_contour->SetClosed(true);
            return true;
        }
    }
}

void MTriangleTrimRetriangulator::_SearchNext() {
    m_searchResult = 0;
    m_found = m_foundPrev = nullptr;
    const unsigned char axis = m_position.GetPositionCode();
    // On the triangle's border the region on the right may go on along the
    // border rather than along a segment starting here: where walls meet at
    // a corner of the triangle, or at a point of a side, the sharper right
    // turn bounds the piece.
    if (m_lastWasSegment && _FindSegmentStartingHere() &&
        (axis > 2 || m_line.Angle024(m_found->GetItem().line) <= m_line.Angle024(MTriangleTrimLine(axis)))) {
        m_searchResult = 1;
        return;
    }
    m_found = m_foundPrev = nullptr;
    if (axis > 2) return;
    if (_WalkAlongEdge(axis)) {
        m_searchResult = 2;
        return;
    }
    m_corner = MTriangleTrimPosition();
    m_corner.SetCS(m_position.GetCS());
    m_corner.SetEndPointOfAxis(axis, *m_triangle);
    m_searchResult = 3;
}

bool MTriangleTrimRetriangulator::_FindSegmentStartingHere() {
    const bool onEdge = m_position.IS_ON_AXIS();
    double bestAngle = 5.0;
    for (unsigned n = 0; n < m_listsSearched; ++n) {
        const unsigned li = _SearchedList(n);
        Element* prev = nullptr;
        for (Element* e = m_info->GetList(li)->GetFirstIntersection(); e; prev = e, e = e->GetNext()) {
            const MTriangleTrimIntersection& r = e->GetItem();
            if (!(r.start == m_position)) continue;
            double angle = 0.0;
            if (m_chooseByAngle) {
                angle = m_line.Angle024(r.line);
                if ((angle == 4.0 && onEdge) || !(angle < bestAngle)) continue;
            }
            bestAngle = angle;
            m_found = e;
            m_foundPrev = prev;
            m_foundList = li;
            if (!m_chooseByAngle) return true;
        }
    }
    return m_found != nullptr;
}

// The next segment start along the edge from the current position: one at
// the current position that turns off before the edge goes on (sharpest
// turn first), else the nearest one ahead (at equal distance the sharper
// turn from the edge).
bool MTriangleTrimRetriangulator::_WalkAlongEdge(unsigned char axis) {
    const MTriangleTrimLine edge(axis);
    const double edgeAngle = m_line.Angle024(edge);
    bool bestHere = false;
    double bestAngle = 5.0;
    for (unsigned n = 0; n < m_listsSearched; ++n) {
        const unsigned li = _SearchedList(n);
        Element* prev = nullptr;
        for (Element* e = m_info->GetList(li)->GetFirstIntersection(); e; prev = e, e = e->GetNext()) {
            const MTriangleTrimIntersection& r = e->GetItem();
            if (r.start.GetPositionCode() != axis) continue;
            const int ahead = CompareOffsetOnAxis(axis, r.start, m_position);
            if (ahead < 0) continue;
            bool better;
            double angle;
            if (ahead == 0) {
                angle = m_line.Angle024(r.line);
                if (angle == 4.0 || angle > edgeAngle) continue;
                better = !bestHere || angle < bestAngle;
                if (better) bestHere = true;
            } else {
                if (bestHere) continue;
                angle = edge.Angle024(r.line);
                const int nearer = m_found ? CompareOffsetOnAxis(axis, r.start, m_found->GetItem().start) : -1;
                better = nearer < 0 || (nearer == 0 && angle < bestAngle);
            }
            if (!better) continue;
            bestAngle = angle;
            m_found = e;
            m_foundPrev = prev;
            m_foundList = li;
        }
    }
    return m_found != nullptr;
}

// The n-th list of the search: the current list alone, or all lists
// cyclically from the current one.
unsigned MTriangleTrimRetriangulator::_SearchedList(unsigned n) const {
    return m_listsSearched == 1 ? m_currentList : (m_currentList + n) % m_listsSearched;
}

void MTriangleTrimRetriangulator::_RemoveFound() {
    m_info->GetList(m_foundList)->RemoveIntersectionAfter(m_foundPrev);
    m_found = m_foundPrev = nullptr;
}

void MTriangleTrimRetriangulator::_AddPosition(const MTriangleTrimPosition& position) {
    if (!position.GetPoint() || !(position.GetW() > 0.0)) m_contourValid = false;
    const double w = position.GetW() > 0.0 ? position.GetW() : 1.0;
    m_contour->AddPoint(position.GetA() / w, position.GetB() / w, 0.0, position.GetPoint());
    m_position = position;
}

void MTriangleTrimRetriangulator::_AddSegment(const MTriangleTrimIntersection& segment, bool withStart) {
    auto add = [&](const MTriangleTrimPosition& end) {
        _AddPosition(end);
        if (m_saveExtraInfo && end.IS_ON_AXIS()) m_intersectionPoints.push_back({end.GetPoint(), end.GetPositionCode()});
    };
    if (withStart) add(segment.start);
    add(segment.end);
    m_line = segment.line;
    m_lastWasSegment = true;
}

// A corner equal to the current position only moves the walk on to the next
// edge; no point is added twice.
void MTriangleTrimRetriangulator::_AddCorner() {
    if (m_corner == m_position) {
        m_position = m_corner;
    } else {
        m_line = MTriangleTrimLine(m_position.GetPositionCode());
        _AddPosition(m_corner);
    }
    m_lastWasSegment = false;
}

// Contours that enclose nothing but holes get the triangle's border (P1, P2,
// P0) around them.
void MTriangleTrimRetriangulator::_AddTriangleBorderIfOnlyHoles() {
    double area = 0.0;
    for (const MStlCutContour* c = m_contours.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
        const MStlCutBorderPoint* p = c->GetFirstPoint();
        for (uint32_t n = 0; n < c->GetNumberOfPoints(); ++n, p = p->GetNext()) {
            const MStlCutBorderPoint* q = p->GetNext();
            if (q->GetX() != p->GetX()) area += (q->GetX() - p->GetX()) * (p->GetY() + q->GetY()) / 2.0;
        }
    }
    if (area > 0.0) return;
    MStlCutContour* border = m_contours.AddContour();
    border->AddPoint(0.0, 1.0, 0.0, m_triangle->GetPoint(1));
    border->AddPoint(1.0, 0.0, 0.0, m_triangle->GetPoint(2));
    border->AddPoint(0.0, 0.0, 0.0, m_triangle->GetPoint(0));
    border->SetClosed(true);
}

// (x, y) = (a/w, b/w) becomes x·U + y·V in a plane frame with V along the
// y axis: U at (h, p) with p = U·V/|V| and h = √(|U|² − p²).  The map keeps
// lengths and angles, and the rings' direction.
void MTriangleTrimRetriangulator::_MapToTrueShape() {
    const MMVector3d& u = m_ownCS.GetU();
    const MMVector3d& v = m_ownCS.GetV();
    const double lengthV = v.Length();
    const double p = u.Dot(v) / lengthV;
    const double h = std::sqrt(std::max(0.0, u.SquaredLength() - p * p));
    for (MStlCutContour* c = m_contours.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
        MStlCutBorderPoint* q = c->GetFirstPoint();
        for (uint32_t n = 0; n < c->GetNumberOfPoints(); ++n, q = q->GetNext())
            q->Set(h * q->GetX(), p * q->GetX() + lengthV * q->GetY(), 0.0);
    }
}

bool MTriangleTrimRetriangulator::_Triangulate(char status) {
    Triangulator& t = *m_triangulator;
    t.Load(m_contours);
    if (!t.Run()) {
        m_error |= kErrorNotTriangulated;
        return false;
    }
    for (size_t k = 0; k + 2 < t.triangles.size(); k += 3)
        _AddPending(t.point[t.triangles[k]], t.point[t.triangles[k + 1]], t.point[t.triangles[k + 2]], status);
    return !t.triangles.empty();
}

bool MTriangleTrimRetriangulator::_FillWithFiller(char status) {
    m_filler.SetStl(m_mesh);
    m_filler.SetInputBorder(&m_contours);
    m_filler.SetAddTriangles(false);
    const bool filled = m_filler.Operate();
    if (!filled) m_error |= kErrorNotTriangulated;
    for (uint64_t i = 0; filled && i < m_filler.GetNumTriangles(); ++i)
        _AddPending(m_filler.GetResult(i, 0), m_filler.GetResult(i, 1), m_filler.GetResult(i, 2), status);
    m_filler.EmptyHoleBorder();
    return filled;
}

void MTriangleTrimRetriangulator::_AddPending(MStlPoint* a, MStlPoint* b, MStlPoint* c, char status) {
    // A piece whose corners fell onto one line of the grid has no area, but
    // its sides are shared with the neighbouring pieces: leaving it out
    // would open the surface there.
    m_pending.push_back({{a, b, c}, status});
}

// Contour points at different positions can stand for one mesh point (a
// crossing next to a corner rounds onto the grid point beside it).  The
// pieces they give may then repeat: a piece found twice in the same
// orientation covers the same place once, and a piece with its exact
// reverse is a fold that bounds nothing.
void MTriangleTrimRetriangulator::_DropRepeatedPieces() {
    auto key = [](const PendingTriangle& t, bool reversed) {
        std::array<MStlPoint*, 3> c = {t.corner[0], reversed ? t.corner[2] : t.corner[1], reversed ? t.corner[1] : t.corner[2]};
        std::rotate(c.begin(), std::min_element(c.begin(), c.end()), c.end());
        return c;
    };
    std::vector<bool> drop(m_pending.size(), false);
    for (size_t i = 0; i < m_pending.size(); ++i) {
        if (drop[i]) continue;
        const auto same = key(m_pending[i], false);
        for (size_t j = i + 1; j < m_pending.size(); ++j) {
            if (drop[j]) continue;
            if (key(m_pending[j], false) == same) {
                drop[j] = true;
            } else if (key(m_pending[j], true) == same) {
                drop[i] = drop[j] = true;
                break;
            }
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < m_pending.size(); ++i)
        if (!drop[i]) m_pending[kept++] = m_pending[i];
    m_pending.resize(kept);
}

bool MTriangleTrimRetriangulator::_CommitPending(MStlTriangle& trimmed) {
    MStlBase* mesh = trimmed.GetStl();
    bool added = false;
    if (m_pending.size() < 64) _DropRepeatedPieces();
    for (const PendingTriangle& pending : m_pending) {
        MStlTriangleElement* t = mesh->AddTriangle(pending.corner[0], pending.corner[1], pending.corner[2],
                                                   trimmed.GetSurface());
        if (!t) continue;
        t->CopyStateFrom(trimmed, true, true, false, false, true, true);
        t->SetStatus(uint8_t(pending.status));
        if (m_saveExtraInfo) m_newTriangles.push_back(t);
        added = true;
    }
    m_pending.clear();
    return added;
}

// ---------------------------------------------------------------------------
// Trim borders

void MTriangleTrimRetriangulator::UpdateTrimBorders(MTriangleTrimInfo& info, unsigned char side) {
    if (side > 1) return;
    for (unsigned listIndex = 0; listIndex < 2; ++listIndex) {
        MTriangleTrimIntersectionList* list = info.GetList(listIndex);
        if (!list) continue;
        for (const MTriangleTrimIntersection& record : *list) {
            MTriangleTrimPosition start = record.start, end = record.end;
            if (!start.GetPoint()) start.AddPoint(nullptr);
            if (!end.GetPoint()) end.AddPoint(nullptr);
            if (start.GetPoint() && end.GetPoint())
                _MergeIntoBorder(m_trimBorders[2 * side + listIndex], start.GetPoint(), end.GetPoint());
        }
    }
}

namespace {

bool SamePoint(const MStlCutBorderPoint* p, const MStlPoint* q) { return *p->GetData() == *q; }

MStlCutContour* FindOpenContour(MStlCutBorder& border, const MStlPoint* q, bool atEnd) {
    for (MStlCutContour* c = border.GetLastContour(); c; c = c->GetPrevContour())
        if (!c->IsClosed() && SamePoint(atEnd ? c->GetLastPoint() : c->GetFirstPoint(), q)) return c;
    return nullptr;
}

void Prepend(MStlCutContour* c, MStlPoint* p) {
    c->SetFirstPoint(c->InsertPointBefore(c->GetFirstPoint(), p->GetX(), p->GetY(), p->GetZ(), p));
}

void Append(MStlCutContour* c, MStlPoint* p) { c->AddPoint(p->GetX(), p->GetY(), p->GetZ(), p); }

}  // namespace

// Appends start–end to a polyline that ends in start or begins with end,
// joins two polylines that the segment connects, and closes a polyline whose
// ends meet.
void MTriangleTrimRetriangulator::_MergeIntoBorder(MStlCutBorder& border, MStlPoint* start, MStlPoint* end) {
    if (*start == *end) return;
    MStlCutContour* before = FindOpenContour(border, start, true);
    MStlCutContour* after = FindOpenContour(border, end, false);
    if (before && before == after) {
        before->SetClosed(true);
        return;
    }
    if (before && after) {
        for (MStlCutBorderPoint* p = after->GetFirstPoint(); after->GetNumberOfPoints() > 0; p = after->GetFirstPoint()) {
            Append(before, p->GetData());
            after->RemovePoint(p);
        }
        border.RemoveContour(after);
    } else if (before) {
        Append(before, end);
    } else if (after) {
        Prepend(after, start);
    } else {
        MStlCutContour* c = border.AddContour();
        Append(c, start);
        Append(c, end);
    }
}
