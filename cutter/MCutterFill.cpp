// Closing the cut openings: the cut segments of each wall are chained into
// contours, which are triangulated in the wall's own coordinates (u along
// the edge, v = Z) and added twice, once facing each way.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>
#include <vector>

#include "MCutter.h"
#include "cutter/MCutBorder.h"
#include "cutter/MCutEdge.h"
#include "cutter/MCutExact.h"

using namespace meshcut_cut;

namespace {

using Chain = MCutChain;

// Chains the wall's segments: each continues with the segment that starts
// where it ends; at the wall's start (u = 0) a chain continues upward to the
// nearest segment start, at its end (u = 1) downward, which is how the
// boundary of an opening runs along the walls' common corners.
using CornerLinePoints = MCutCornerLinePoints;

// The points of `line` strictly between heights z0 and z1, in walking order.
void AppendBetween(const CornerLinePoints& points, int64_t x, int64_t y, int32_t z0, int32_t z1,
                   std::vector<MStlPoint*>& out) {
    auto it = points.find({x, y});
    if (it == points.end()) return;
    const size_t from = out.size();
    for (MStlPoint* p : it->second)
        if (p->GetZ() > std::min(z0, z1) && p->GetZ() < std::max(z0, z1)) out.push_back(p);
    std::sort(out.begin() + long(from), out.end(), [&](const MStlPoint* a, const MStlPoint* b) {
        return z1 > z0 ? a->GetZ() < b->GetZ() : a->GetZ() > b->GetZ();
    });
}

std::vector<Chain> ChainSegments(const MCutEdge& edge, const CornerLinePoints& cornerPoints) {
    std::vector<MCutEdgeIntersection> segments;
    for (const MCutEdgeIntersection& s : edge.intersections) segments.push_back(s);
    std::unordered_map<const MStlPoint*, std::vector<size_t>> byStart;
    std::vector<size_t> atStart, atEnd;
    const int64_t ex = edge.start[0] + edge.delta[0], ey = edge.start[1] + edge.delta[1];
    for (size_t i = 0; i < segments.size(); ++i) {
        byStart[segments[i].start].push_back(i);
        if (SameXY(segments[i].start, edge.start[0], edge.start[1])) atStart.push_back(i);
        if (SameXY(segments[i].start, ex, ey)) atEnd.push_back(i);
    }
    std::vector<bool> used(segments.size(), false);
    auto take = [&](const MStlPoint* p) -> long {
        auto it = byStart.find(p);
        if (it == byStart.end()) return -1;
        for (size_t i : it->second)
            if (!used[i]) return long(i);
        return -1;
    };
    // Along a wall end: the nearest unused start above (upward) or below.
    auto along = [&](const std::vector<size_t>& ends, int32_t z, bool upward) -> long {
        long best = -1;
        for (size_t i : ends) {
            if (used[i]) continue;
            const int32_t zi = segments[i].start->GetZ();
            if (upward ? zi < z : zi > z) continue;
            if (best < 0 || (upward ? zi < segments[size_t(best)].start->GetZ() : zi > segments[size_t(best)].start->GetZ()))
                best = long(i);
        }
        return best;
    };
    std::vector<Chain> chains;
    for (size_t first = 0; first < segments.size(); ++first) {
        if (used[first]) continue;
        used[first] = true;
        Chain chain;
        chain.points = {segments[first].start, segments[first].end};
        for (;;) {
            MStlPoint* last = chain.points.back();
            MStlPoint* front = chain.points.front();
            if (last == front) {
                chain.points.pop_back();
                chain.closed = true;
                break;
            }
            long next = take(last);
            if (next < 0) {
                const bool atWallStart = SameXY(last, edge.start[0], edge.start[1]);
                const bool atWallEnd = SameXY(last, ex, ey);
                if (!atWallStart && !atWallEnd) break;
                const bool upward = atWallStart;
                next = along(upward ? atStart : atEnd, last->GetZ(), upward);
                const bool frontThere = atWallStart ? SameXY(front, edge.start[0], edge.start[1]) : SameXY(front, ex, ey);
                const bool frontAhead = frontThere && (upward ? front->GetZ() >= last->GetZ() : front->GetZ() <= last->GetZ());
                const int64_t cx = atWallStart ? edge.start[0] : ex, cy = atWallStart ? edge.start[1] : ey;
                if (frontAhead &&
                    (next < 0 || (upward ? front->GetZ() < segments[size_t(next)].start->GetZ()
                                         : front->GetZ() > segments[size_t(next)].start->GetZ()))) {
                    AppendBetween(cornerPoints, cx, cy, last->GetZ(), front->GetZ(), chain.points);
                    chain.closed = true;
                    break;
                }
                if (next < 0) break;
                AppendBetween(cornerPoints, cx, cy, last->GetZ(), segments[size_t(next)].start->GetZ(), chain.points);
                chain.points.push_back(segments[size_t(next)].start);
            }
            used[size_t(next)] = true;
            chain.points.push_back(segments[size_t(next)].end);
        }
        // A closed chain that passes a point twice (where the surface touches
        // the wall at a vertex and leaves it again) is split there: one ring
        // through the point twice would be triangulated across the pinch.
        if (!chain.closed) {
            chains.push_back(std::move(chain));
            continue;
        }
        std::vector<std::vector<MStlPoint*>> rings;
        SplitIntoSimpleRings(chain.points, rings);
        for (auto& ring : rings) chains.push_back({std::move(ring), true});
    }
    return chains;
}

}  // namespace

void MCutter::_CollectWallEdges() {
    // Each mesh edge in a wall that has the inside part on one side and the
    // outside part on the other bounds an opening; it joins that wall's
    // segments, running as the inside part's triangle runs it.
    std::set<std::array<const void*, 3>> seen;
    for (const MCutWallEdge& w : m_wallEdges) {
        const MStlPoint* lo = std::min(w.a, w.b);
        const MStlPoint* hi = std::max(w.a, w.b);
        if (!seen.insert({lo, hi, w.edge}).second) continue;
        if (!w.a->IsAlive() || !w.b->IsAlive()) continue;
        MStlTriangleElement *forward = nullptr, *backward = nullptr;
        int count = 0;
        for (uint32_t k = 0; k < w.a->GetNumberOfNeighbourTriangles(); ++k) {
            MStlTriangleElement* t = w.a->GetNeighbourTriangle(k);
            if (t->GetStatus() & kFill) continue;
            const int ia = t->IndexOfPoint(w.a);
            if (t->GetPoint((ia + 1) % 3) == w.b) forward = t, ++count;
            else if (t->GetPoint((ia + 2) % 3) == w.b) backward = t, ++count;
        }
        if (count != 2 || !forward || !backward) continue;
        const uint8_t f = forward->GetStatus() & (kInside | kOutside), b = backward->GetStatus() & (kInside | kOutside);
        if (f == b) continue;
        if (w.a->GetX() == w.b->GetX() && w.a->GetY() == w.b->GetY()) {
            // On the vertical line through a profile corner: the fills of the
            // walls meeting there walk along it through these points.
            const bool atCorner = SameXY(w.a, w.edge->start[0], w.edge->start[1]) ||
                                  SameXY(w.a, w.edge->start[0] + w.edge->delta[0], w.edge->start[1] + w.edge->delta[1]);
            if (atCorner) {
                for (MStlPoint* p : {w.a, w.b}) AddCornerLinePoint(m_cornerLinePoints, w.a->GetX(), w.a->GetY(), p);
                continue;
            }
        }
        if (f == kInside && b == kOutside) w.edge->intersections.ACHTERAAN_INVOEGEN()->GetItem() = {w.a, w.b};
        else if (f == kOutside && b == kInside) w.edge->intersections.ACHTERAAN_INVOEGEN()->GetItem() = {w.b, w.a};
    }
    m_wallEdges.clear();
    // The walls meeting at a corner close their openings along the corner's
    // vertical line; each must pass every point that either wall's outline
    // has there, or the fills meet there with a point of one missing in the
    // other (an open T-junction).
    for (const MCutEdge& e : *m_edges) {
        const int64_t ends[2][2] = {{e.start[0], e.start[1]}, {e.start[0] + e.delta[0], e.start[1] + e.delta[1]}};
        for (const MCutEdgeIntersection& segment : e.intersections)
            for (MStlPoint* p : {segment.start, segment.end})
                for (const auto& end : ends)
                    if (SameXY(p, end[0], end[1])) AddCornerLinePoint(m_cornerLinePoints, end[0], end[1], p);
    }
}

namespace {
// Where points of the cut lie a fraction of a grid step from the wall, a
// sliver of the divided surface can stand in the wall, and the fill then
// covers it with its exact reverse; where the profile runs along a fold of
// the surface (an edge seen edge-on from above), the pieces of the two
// triangles of the fold can cover each other the same way.  Each such pair
// on one side bounds no volume and makes its sides non-manifold: both go.
void RemoveFolds(MStlBase& mesh, std::vector<MStlTriangleElement*>& made) {
    for (MStlTriangleElement* f : made) {
        if (!f->IsAlive()) continue;
        const uint8_t side = f->GetStatus() & (MCutter::kInside | MCutter::kOutside);
        MStlPoint* p = f->GetPoint(0);
        for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
            MStlTriangleElement* t = p->GetNeighbourTriangle(k);
            if (t == f || !(t->GetStatus() & side)) continue;
            const int i = t->IndexOfPoint(p);
            if (t->GetPoint((i + 1) % 3) != f->GetPoint(2) || t->GetPoint((i + 2) % 3) != f->GetPoint(1)) continue;
            mesh.RemoveTriangle(t);
            mesh.RemoveTriangle(f);
            break;
        }
    }
    made.clear();
}
}  // namespace

void MCutter::FILL_CUT_EDGES() {
    if (m_fillMode == 0) return;
    if (m_fillMode == 2) FILL_CUT_EDGES_WITH_VERTICAL_SEGMENTS();
    else FILL_CUT_EDGES_USING_FILL_ALGORTIHM();
    RemoveFolds(*m_working, m_madeTriangles);
}

void MCutter::FILL_CUT_EDGES_USING_FILL_ALGORTIHM() { _FillWalls(false); }

void MCutter::FILL_CUT_EDGES_WITH_VERTICAL_SEGMENTS() { _FillWalls(true); }

namespace {
// Where the mesh passes through itself, two openings in one wall can overlap
// and both run along the same stretch of a corner's line, the same way; the
// wall on the other side of the corner then has two running it back.  Four
// fills would meet on one edge.  Each repeated walk is led through a point
// of its own halfway along the stretch, on both walls alike, so that the
// openings close in pairs on separate edges.
void SeparateRepeatedCornerWalks(MStlBase& mesh, std::vector<std::vector<Chain>>& walls) {
    struct Walk {
        Chain* chain;
        size_t at;  // the walk runs from points[at] to the next point
    };
    std::map<std::pair<const MStlPoint*, const MStlPoint*>, std::vector<Walk>> walks;
    for (auto& chains : walls)
        for (Chain& chain : chains) {
            if (!chain.closed) continue;
            const size_t n = chain.points.size();
            for (size_t i = 0; i < n; ++i) {
                const MStlPoint *p = chain.points[i], *q = chain.points[(i + 1) % n];
                if (p->GetX() == q->GetX() && p->GetY() == q->GetY() && p != q) walks[{p, q}].push_back({&chain, i});
            }
        }
    std::map<Chain*, std::vector<std::pair<size_t, MStlPoint*>>> inserts;
    for (const auto& [ends, forward] : walks) {
        if (forward.size() < 2 || ends.first > ends.second) continue;
        auto back = walks.find({ends.second, ends.first});
        if (back == walks.end() || back->second.size() != forward.size()) continue;
        const MStlPoint *p = ends.first, *q = ends.second;
        if (std::llabs(int64_t(p->GetZ()) - q->GetZ()) < 2) continue;
        for (size_t k = 1; k < forward.size(); ++k) {
            MStlPoint* half = mesh.AddPoint(p->GetX(), p->GetY(), int32_t((int64_t(p->GetZ()) + q->GetZ()) / 2), true);
            inserts[forward[k].chain].push_back({forward[k].at, half});
            inserts[back->second[k].chain].push_back({back->second[k].at, half});
        }
    }
    for (auto& [chain, list] : inserts) {
        std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& [at, point] : list) chain->points.insert(chain->points.begin() + long(at) + 1, point);
    }
}
}  // namespace

void MCutter::_FillWalls(bool strips) {
    _CollectWallEdges();
    std::vector<MCutEdge*> edges;
    std::vector<std::vector<Chain>> chains;
    for (MCutEdge& e : *m_edges) {
        edges.push_back(&e);
        chains.push_back(e.intersections.IsEmpty() ? std::vector<Chain>() : ChainSegments(e, m_cornerLinePoints));
    }
    SeparateRepeatedCornerWalks(*m_working, chains);
    for (size_t i = 0; i < edges.size(); ++i) _FillEdge(*edges[i], chains[i], strips);
}

void MCutter::_FillEdge(MCutEdge& edge, const std::vector<Chain>& chains, bool strips) {
    if (edge.intersections.IsEmpty()) return;
    const long double length = std::sqrt((long double)edge.delta[0] * edge.delta[0] +
                                         (long double)edge.delta[1] * edge.delta[1]);
    MCutBorder border(m_working);
    border.SetMeshCoordinates(-1, 2);
    for (const Chain& chain : chains) {
        if (!chain.closed) {
            ++m_unclosed;
            continue;
        }
        auto* contour = border.AddContour();
        for (MStlPoint* p : chain.points) {
            const long double along = (long double)(p->GetX() - edge.start[0]) * edge.delta[0] +
                                      (long double)(p->GetY() - edge.start[1]) * edge.delta[1];
            contour->AddPoint(double(along / length), double(p->GetZ()), 0.0, p);
        }
        contour->SetClosed(true);
    }
    border.PrepareBorder();
    // Within cut limits the walls are open only between them: the fill is
    // cut at the limits and keeps what lies between.
    for (const long limit : {m_lowerLimit, m_upperLimit}) {
        if (limit == kMinusInfinity || limit == kPlusInfinity) continue;
        border.CutByLine(1, double(limit));
        for (auto* c = border.GetFirstContour(); c;) {
            auto* next = MStlCutBorder::Next(c);
            bool beyond = true;
            auto* p = c->GetFirstPoint();
            for (uint32_t i = 0; i < c->GetNumberOfPoints() && beyond; ++i, p = p->GetNext())
                beyond = limit == m_lowerLimit ? p->GetY() <= double(limit) : p->GetY() >= double(limit);
            if (beyond) border.RemoveContour(c);
            c = next;
        }
    }
    if (strips) {
        // Vertical strips between the distinct wall positions of the points:
        // each piece then spans one strip only.
        std::vector<double> cuts;
        for (auto* c = border.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
            auto* p = c->GetFirstPoint();
            for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) cuts.push_back(p->GetX());
        }
        std::sort(cuts.begin(), cuts.end());
        cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
        for (double u : cuts) border.CutByLine(0, u);
    }
    border.SplitLargeContours(m_fillParameter);
    std::vector<std::array<MStlPoint*, 3>> triangles;
    border.Triangulate(triangles);
    for (const auto& t : triangles) {
        // The contours run as the inside part's boundary runs, clockwise seen
        // from outside the profile; the triangles follow them, so they face
        // into the profile: the outside part's way.
        if (m_inside) {
            if (MStlTriangleElement* added = m_working->AddTriangle(t[1], t[0], t[2], edge.surface)) {
                added->SetStatus(kFill | kInside);
                m_madeTriangles.push_back(added);
            }
        }
        if (m_outside) {
            if (MStlTriangleElement* added = m_working->AddTriangle(t[0], t[1], t[2], edge.surface)) {
                added->SetStatus(kFill | kOutside);
                m_madeTriangles.push_back(added);
            }
        }
    }
}

void MCutter::GetCutProfile(MCutProfileFloat& out) const {
    if (!m_edges) return;
    for (const MCutEdge& e : *m_edges) {
        for (const Chain& chain : ChainSegments(e, m_cornerLinePoints)) {
            auto* contour = out.AddContour();
            for (const MStlPoint* p : chain.points)
                contour->AddPoint(float(p->GetX()), float(p->GetY()), float(p->GetZ()), 0.0f);
            contour->SetClosed(chain.closed);
        }
    }
}
