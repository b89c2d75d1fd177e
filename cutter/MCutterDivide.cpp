// Division of the crossed triangles along the profile's walls.  Each wall
// that passes through a triangle leaves one trim segment in it; the trim
// retriangulator then replaces the triangle by the pieces on either side.
#include <algorithm>
#include <cmath>
#include <vector>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include "MCutter.h"
#include "MTriangleTrimIntersection.h"
#include "MTriangleTrimRetriangulator.h"
#include "cutter/MCutEdge.h"
#include "cutter/MCutExact.h"

using namespace meshcut_cut;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

bool Precedes(const MStlPoint* a, const MStlPoint* b) {
    for (int k = 0; k < 3; ++k)
        if (a->Get(k) != b->Get(k)) return a->Get(k) < b->Get(k);
    return false;
}

// Where the wall meets the mesh edge a–b (whose ends lie strictly on either
// side), rounded to the grid.  The ends are taken in a fixed order so that
// both triangles on the edge arrive at the same point.
void WallCrossingPoint(const MStlPoint* a, const MStlPoint* b, const MCutEdge& e, int32_t out[3]) {
    if (Precedes(b, a)) std::swap(a, b);
    const long double ca = (long double)SideValue(a, e), cb = (long double)SideValue(b, e);
    const long double s = ca / (ca - cb);
    for (int k = 0; k < 3; ++k) out[k] = RoundToFinite(a->Get(k) + s * ((long double)b->Get(k) - a->Get(k)));
    // A crossing that rounds next to an end is that end: a new point one
    // step from a vertex would leave slivers whose sides fold over the wall.
    for (const MStlPoint* end : {a, b}) {
        bool near = true;
        for (int k = 0; k < 3 && near; ++k) near = std::llabs(int64_t(out[k]) - end->Get(k)) <= 1;
        if (!near) continue;
        for (int k = 0; k < 3; ++k) out[k] = end->Get(k);
        return;
    }
}

// Height of the triangle's plane over (x, y); the triangle is not vertical.
int32_t PlaneHeight(const MStlTriangle& t, int64_t x, int64_t y) {
    const MStlPoint *p0 = t.GetPoint(0), *p1 = t.GetPoint(1), *p2 = t.GetPoint(2);
    const long double ux = p1->GetX() - (long double)p0->GetX(), uy = p1->GetY() - (long double)p0->GetY(),
                      uz = p1->GetZ() - (long double)p0->GetZ();
    const long double vx = p2->GetX() - (long double)p0->GetX(), vy = p2->GetY() - (long double)p0->GetY(),
                      vz = p2->GetZ() - (long double)p0->GetZ();
    const long double nx = uy * vz - uz * vy, ny = uz * vx - ux * vz, nz = ux * vy - uy * vx;
    return RoundToFinite(p0->GetZ() - (nx * (x - p0->GetX()) + ny * (y - p0->GetY())) / nz);
}

// One end of a wall's segment through a triangle.
struct WallPoint {
    MTriangleTrimPosition position;
    bool vertex = false;  // a corner of the triangle lying on the wall
    Fraction along;     // position along the profile edge
    long double height = 0;
};

void SetLine(MTriangleTrimIntersection& record) {
    const MTriangleTrimPosition &s = record.start, &e = record.end;
    const double a1 = s.GetA() / s.GetW(), b1 = s.GetB() / s.GetW();
    const double da = e.GetA() / e.GetW() - a1, db = e.GetB() / e.GetW() - b1;
    // Direction (−B, A) = (da, db); the line passes through the start.
    record.line.Set(db, -da, db * a1 - da * b1);
}

// Whether all three corners of the triangle lie in the plane of the wall
// that starts where `edge` ends.
bool StandsInNextWall(const MStlTriangle& t, const MCutEdge& edge) {
    if (edge.nextDelta[0] == 0 && edge.nextDelta[1] == 0) return false;
    MCutEdge next;
    next.start[0] = edge.start[0] + edge.delta[0];
    next.start[1] = edge.start[1] + edge.delta[1];
    next.delta[0] = edge.nextDelta[0];
    next.delta[1] = edge.nextDelta[1];
    for (int i = 0; i < 3; ++i)
        if (SideValue(t.GetPoint(i), next) != 0) return false;
    return true;
}

enum class Division { kNone, kAlongWall, kAlongCornerLine };

// A segment a wall leaves in a triangle, before it joins the trim lists.
struct WallSegment {
    MTriangleTrimIntersection record;
    MCutEdge* edge = nullptr;
    bool atCornerLine = false;
    int64_t corner[2] = {0, 0};  // the corner whose line it runs along
};

bool SameXYZ(const MStlPoint* p, const MTriangleTrimPosition& q) {
    return p->GetX() == q.GetX() && p->GetY() == q.GetY() && p->GetZ() == q.GetZ();
}

// The corner of the triangle that the wall passes closer than a grid step,
// within the wall's extent, so that its crossings of both sides there round
// to one point `xyz`; -1 if none.  Crossings are taken on the sides as they
// were in the mesh (`sides`: the corners before any moved).
int TipPassedByWall(const MStlTriangle& t, const MStlPoint* const sides[3], const MCutEdge& e, int32_t xyz[3]) {
    int sign[3];
    for (int i = 0; i < 3; ++i) sign[i] = Sign(SideValue(t.GetPoint(i), e));
    for (int c = 0; c < 3; ++c) {
        const MStlPoint *tip = sides[c], *a = sides[(c + 1) % 3], *b = sides[(c + 2) % 3];
        if (sign[c] == 0 || sign[(c + 1) % 3] != -sign[c] || sign[(c + 2) % 3] != -sign[c]) continue;
        int32_t pa[3], pb[3];
        WallCrossingPoint(tip, a, e, pa);
        WallCrossingPoint(tip, b, e, pb);
        if (pa[0] != pb[0] || pa[1] != pb[1] || pa[2] != pb[2]) return -1;
        // A vertical triangle is crossed along the line of the wall's end
        // as well: there the wall divides it too.
        Fraction fa, fb;
        SideCrossingOnEdge(tip, a, e, fa);
        SideCrossingOnEdge(tip, b, e, fb);
        const bool upright = NormalZ(t) == 0;
        auto within = [&](const Fraction& f) { return upright ? f.num >= 0 && f.num <= f.den : f.num > 0 && f.num < f.den; };
        if (!within(fa) || !within(fb)) return -1;
        for (int k = 0; k < 3; ++k) xyz[k] = pa[k];
        return c;
    }
    return -1;
}

}  // namespace

// The triangle across side `side` (a -> b) of t is a needle when its third
// corner is the point where a wall's crossing of a-b rounds to: the pieces
// of t then run a -> corner -> b along its other two sides.
static void NoteNeedleAcross(const MStlTriangleElement& t, int side, const int32_t xyz[3], std::vector<MCutNeedle>& needles) {
    MStlTriangleElement* n = t.FindAdjacentTriangle(side);
    if (!n) return;
    MStlPoint *a = t.GetPoint(side), *b = t.GetPoint((side + 1) % 3);
    const MStlPoint* v = n->GetPoint((n->IndexOfPoint(a) + 1) % 3);  // n runs b -> a -> v
    if (v->GetX() == xyz[0] && v->GetY() == xyz[1] && v->GetZ() == xyz[2]) needles.push_back({n, a, b});
}

// How many triangles have the side p-q, either way round.
static int TrianglesOnSide(MStlPoint* p, MStlPoint* q) {
    int count = 0;
    for (uint32_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) count += p->GetNeighbourTriangle(k)->IndexOfPoint(q) >= 0;
    return count;
}

// Removes the needles that the division squeezed out: side a-b is left to
// the needle alone, and its other two sides each have the needle's
// neighbour and a piece of the divided triangle beside the needle.
static void RemoveSqueezedNeedles(MStlBase& mesh, std::vector<MCutNeedle>& needles) {
    for (const MCutNeedle& needle : needles) {
        MStlTriangleElement* n = needle.triangle;
        if (!n->IsAlive()) continue;
        const int ia = n->IndexOfPoint(needle.a), ib = n->IndexOfPoint(needle.b);
        if (ia < 0 || ib < 0) continue;
        MStlPoint* v = n->GetPoint(3 - ia - ib);
        if (TrianglesOnSide(needle.a, needle.b) == 1 && TrianglesOnSide(needle.a, v) == 3 && TrianglesOnSide(v, needle.b) == 3)
            mesh.RemoveTriangle(n);
    }
    needles.clear();
}

// Notes the segment that the wall of `edge` leaves in the triangle, running
// with the inside of the profile on its right (in the triangle's own
// coordinates).  Mesh edges lying in the wall are noted for the fill.  A
// vertical triangle through the vertical line of a profile corner is
// divided along that line; the fills of the walls meeting there pass its
// ends as they run along the line.  A wall whose crossings both round onto
// one corner passes through it: that corner is noted in `touched`.  A
// neighbour that a crossing squeezes to nothing is noted in `needles`.
static Division AddWallSegment(MStlTriangleElement& t, const MStlPoint* const sides[3], MCutEdge& edge,
                               MTriangleTrimCS& cs, std::vector<WallSegment>& segments,
                               std::vector<MCutWallEdge>& wallEdges, std::vector<MCutNeedle>& needles, int& touched) {
    int side[3];
    for (int i = 0; i < 3; ++i) side[i] = Sign(SideValue(t.GetPoint(i), edge));
    const bool left = side[0] > 0 || side[1] > 0 || side[2] > 0;
    const bool right = side[0] < 0 || side[1] < 0 || side[2] < 0;
    if (!left || !right) {
        for (int i = 0; i < 3; ++i) {
            MStlPoint *a = t.GetPoint(i), *b = t.GetPoint((i + 1) % 3);
            if (side[i] != 0 || side[(i + 1) % 3] != 0) continue;
            const Fraction fa = ProjectOnEdge(a, edge), fb = ProjectOnEdge(b, edge);
            if (fa.Below0() || fa.Above1() || fb.Below0() || fb.Above1()) continue;
            wallEdges.push_back({a, b, &edge});
        }
        return Division::kNone;
    }
    WallPoint ends[2];
    int count = 0;
    for (int i = 0; i < 3 && count < 2; ++i) {
        MStlPoint* p = t.GetPoint(i);
        if (side[i] == 0) {
            WallPoint& w = ends[count++];
            w.position.SetCS(&cs);
            w.position.SetEndPointOfAxis(uint8_t((i + 2) % 3), t);
            w.vertex = true;
            w.along = ProjectOnEdge(p, edge);
            w.height = p->GetZ();
            continue;
        }
        const int j = (i + 1) % 3;
        if (side[j] == 0 || side[i] == side[j] || count == 2) continue;
        MStlPoint* q = t.GetPoint(j);
        WallPoint& w = ends[count++];
        w.position.SetCS(&cs);
        const double ci = double(SideValue(p, edge)), cj = double(SideValue(q, edge));
        w.position.CalculateOnAxis(char(i), ci, cj);
        int32_t xyz[3];
        WallCrossingPoint(sides[i], sides[j], edge, xyz);
        NoteNeedleAcross(t, i, xyz, needles);
        w.position.SetXYZ(xyz[0], xyz[1], xyz[2]);
        SideCrossingOnEdge(sides[i], sides[j], edge, w.along);
        w.height = xyz[2];
    }
    if (count != 2) return Division::kNone;
    bool atCornerLine = false;

    const i128 nz = NormalZ(t);
    auto corner = [&](WallPoint& w, int64_t x, int64_t y) {
        w.position.SetCS(&cs);
        if (!w.position.CalculatePositionOfPoint2d(long(x), long(y))) return false;
        w.position.SetXYZ(int32_t(x), int32_t(y), PlaneHeight(t, x, y));
        return true;
    };
    if (nz != 0) {
        if (ends[1].along.Value() < ends[0].along.Value()) std::swap(ends[0], ends[1]);
        // The part of the segment within the edge's extent; an end beyond it
        // becomes the profile corner inside the triangle.
        if (ends[1].along.num <= 0 || ends[0].along.num >= ends[0].along.den) return Division::kNone;
        if (ends[0].along.Below0() && !corner(ends[0], edge.start[0], edge.start[1])) return Division::kNone;
        if (ends[1].along.Above1() &&
            !corner(ends[1], edge.start[0] + edge.delta[0], edge.start[1] + edge.delta[1]))
            return Division::kNone;
        if (nz < 0) std::swap(ends[0], ends[1]);
    } else {
        // A vertical triangle: the wall cuts it along a vertical segment.  On
        // a corner's line both walls meeting there see it at an end; the wall
        // starting there divides it, or the wall ending there if the triangle
        // stands in the next wall (which then does not cross it).
        const Fraction& f = ends[0].along;
        if (f.num < 0 || f.num > f.den) return Division::kNone;
        atCornerLine = f.num == 0 || f.num == f.den;
        if (atCornerLine) {
            if (ends[0].vertex && ends[1].vertex) return Division::kNone;  // a side of the triangle
            if (f.num == f.den && !StandsInNextWall(t, edge)) return Division::kNone;
        }
        if (ends[1].height < ends[0].height) std::swap(ends[0], ends[1]);
        if (NormalDotEdge(t, edge) > 0) std::swap(ends[0], ends[1]);
    }
    MTriangleTrimIntersection record;
    record.start = ends[0].position;
    record.end = ends[1].position;
    if (record.start == record.end) return Division::kNone;
    if (record.start.GetX() == record.end.GetX() && record.start.GetY() == record.end.GetY() &&
        record.start.GetZ() == record.end.GetZ()) {
        // No length on the grid: at a corner of the triangle it divides
        // nothing (a tip moved onto the wall), and on a corner's line it
        // leaves nothing to pass.
        if (atCornerLine) return Division::kNone;
        for (int i = 0; i < 3; ++i)
            if (SameXYZ(t.GetPoint(i), record.start)) {
                touched |= 1 << i;
                return Division::kNone;
            }
    }
    SetLine(record);
    WallSegment made{record, &edge, atCornerLine, {edge.start[0], edge.start[1]}};
    if (atCornerLine && ends[0].along.num != 0) {
        made.corner[0] += edge.delta[0];
        made.corner[1] += edge.delta[1];
    }
    segments.push_back(made);
    return atCornerLine ? Division::kAlongCornerLine : Division::kAlongWall;
}

// Adds the triangle's segments to both trim lists: list 0 keeps the inside
// of the profile on a segment's right (in the triangle's own coordinates),
// list 1 the outside.  A wall's segment joins its cut segments for the fill;
// a division along a corner's line gives its ends to that line's points.
// In a vertical triangle divided along a corner's line, the segments (all
// vertical) alternate in direction along the triangle: they then bound its
// pieces consistently, which the walls' own sides need not (two walls
// leaving a corner each way put the piece between them outside of both).
// Those pieces take the side they lie in anyway.
static void AddSegments(const MStlTriangle& t, std::vector<WallSegment>& segments, MTriangleTrimInfo& info,
                        MCutCornerLinePoints& cornerLines) {
    const bool realign = NormalZ(t) == 0 && std::any_of(segments.begin(), segments.end(),
                                                         [](const WallSegment& s) { return s.atCornerLine; });
    std::vector<bool> reversed(segments.size(), false);
    if (realign) {
        i128 nx = 0, ny = 0;
        NormalXY(t, nx, ny);
        auto across = [&](const WallSegment& s) {
            return -ny * (i128(s.record.start.GetX()) + s.record.end.GetX()) +
                   nx * (i128(s.record.start.GetY()) + s.record.end.GetY());
        };
        std::vector<size_t> order(segments.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return across(segments[a]) < across(segments[b]); });
        bool upward = true;
        for (size_t k = 0; k < order.size(); ++k) {
            if (k > 0 && across(segments[order[k]]) != across(segments[order[k - 1]])) upward = !upward;
            const MTriangleTrimIntersection& r = segments[order[k]].record;
            reversed[order[k]] = (r.end.GetZ() > r.start.GetZ()) != upward;
        }
    }
    for (size_t i = 0; i < segments.size(); ++i) {
        MTriangleTrimIntersection record = segments[i].record;
        if (reversed[i]) {
            std::swap(record.start, record.end);
            SetLine(record);
        }
        auto* added = info.GetList(0)->AddIntersection(record, false);
        info.GetList(1)->AddIntersection(record, true);
        if (!added) continue;
        MStlPoint* a = added->GetItem().start.GetPoint();
        MStlPoint* b = added->GetItem().end.GetPoint();
        if (!a || !b || a == b) continue;
        if (reversed[i]) std::swap(a, b);
        if (!segments[i].atCornerLine) {
            segments[i].edge->intersections.ACHTERAAN_INVOEGEN()->GetItem() = {a, b};
            continue;
        }
        for (MStlPoint* p : {a, b}) AddCornerLinePoint(cornerLines, segments[i].corner[0], segments[i].corner[1], p);
    }
}

void MCutter::FINAL_CUT_REMOVE(ProgressPtr progress) {
    const std::vector<MStlTriangleElement*> crossed = _CrossedTriangles();
    std::vector<MCutEdge*> edges;
    int64_t widest = 0;
    for (MCutEdge& e : *m_edges) {
        edges.push_back(&e);
        widest = std::max(widest, e.MaxX() - e.MinX());
    }
    std::sort(edges.begin(), edges.end(), [](const MCutEdge* a, const MCutEdge* b) { return a->MinX() < b->MinX(); });
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.FINAL_CUT_REMOVE", crossed.size(), true);

    MTriangleTrimRetriangulator retriangulator;
    retriangulator.SetTriangulationStatus(kInside, kOutside, 0, 0, 0);
    // The pieces of a marked triangle stay marked, so that a selection
    // survives the cut.
    retriangulator.SaveExtraInfo();
    for (MStlTriangleElement* t : crossed) {
        ++reporter;
        if (_Cancelled(reporter)) return;
        // A triangle whose tip moved is divided again by the other walls (the
        // wall that moved it passes through the moved corner); after three
        // moves it is left whole, and the cut is reported open.
        std::vector<const MCutEdge*> passed;
        const MStlPoint* const sides[3] = {t->GetPoint(0), t->GetPoint(1), t->GetPoint(2)};
        int movedCorners = 0;
        while (t) {
            if (passed.size() == 3) {
                ++m_unclosed;
                break;
            }
            t = _DivideTriangle(*t, sides, movedCorners, edges, widest, passed, retriangulator);
        }
    }
    RemoveSqueezedNeedles(*m_working, m_needles);
    // Every triangle that was not divided takes the side it lies on.
    tbb::parallel_for(tbb::blocked_range<uint32_t>(0, m_working->GetNumberOfTriangleSlots(), 1u << 14), [&](const auto& range) {
        for (uint32_t i = range.begin(); i != range.end(); ++i) {
            MStlTriangleElement* t = m_working->GetTriangleBySlot(i);
            if (!t || (t->GetStatus() & (kInside | kOutside))) continue;
            t->SetStatus(uint8_t(t->GetStatus() | POSITION_TRIANGLE(*t)));
        }
    });
}

// Divides one crossed triangle by every wall through it.  Returns the
// triangle to divide again when a tip of it moved onto a wall's crossing.
MStlTriangleElement* MCutter::_DivideTriangle(MStlTriangleElement& t, const MStlPoint* const sides[3], int& movedCorners,
                                              const std::vector<MCutEdge*>& edges, int64_t widest,
                                              std::vector<const MCutEdge*>& passed,
                                              MTriangleTrimRetriangulator& retriangulator) {
    int64_t minX = INT64_MAX, maxX = INT64_MIN, minY = INT64_MAX, maxY = INT64_MIN;
    for (int i = 0; i < 3; ++i) {
        minX = std::min<int64_t>(minX, t.GetPoint(i)->GetX());
        maxX = std::max<int64_t>(maxX, t.GetPoint(i)->GetX());
        minY = std::min<int64_t>(minY, t.GetPoint(i)->GetY());
        maxY = std::max<int64_t>(maxY, t.GetPoint(i)->GetY());
    }
    auto first = std::lower_bound(edges.begin(), edges.end(), minX - widest,
                                  [](const MCutEdge* e, int64_t x) { return e->MinX() < x; });
    auto meets = [&](const MCutEdge& e) {
        return e.MaxX() >= minX && e.MinY() <= maxY && e.MaxY() >= minY &&
               std::find(passed.begin(), passed.end(), &e) == passed.end();
    };
    // A wall passing a corner closer than a grid step crosses both sides
    // there at one point: the piece beyond it has no area on the grid.  The
    // corner moves onto that point; the neighbours on those sides are divided
    // at the same point, and their pieces close up over it.  Not where
    // another wall passes between the corner and that point: the piece
    // between the two walls is no tip.
    auto alone = [&](const MCutEdge* wall, const MStlPoint* corner, const int32_t xyz[3]) {
        for (auto it = first; it != edges.end() && (*it)->MinX() <= maxX; ++it) {
            if (*it == wall || !meets(**it)) continue;
            const int before = Sign(SideValue(corner, **it)), after = Sign(SideValue(xyz[0], xyz[1], **it));
            if (before == 0 && after == 0) continue;  // a wall the triangle stands in
            if (before == 0 || before == -after) return false;
        }
        return true;
    };
    for (auto it = first; it != edges.end() && (*it)->MinX() <= maxX; ++it) {
        int32_t xyz[3];
        const int tip = meets(**it) ? TipPassedByWall(t, sides, **it, xyz) : -1;
        if (tip < 0 || !alone(*it, t.GetPoint(tip), xyz)) continue;
        if (MStlTriangleElement* moved = _MoveTip(t, tip, xyz)) {
            passed.push_back(*it);
            movedCorners |= 1 << tip;
            return moved;
        }
    }
    MTriangleTrimElement element;
    element.SetTriangle(&t, nullptr);
    MTriangleTrimInfo* info = element.ActivateTrimInfo();
    bool divided = false, atCornerLine = false;
    int touched = 0;
    std::vector<WallSegment> segments;
    for (auto it = first; it != edges.end() && (*it)->MinX() <= maxX; ++it) {
        MCutEdge& e = **it;
        if (!meets(e)) continue;
        const Division d = AddWallSegment(t, sides, e, info->GetCS(), segments, m_wallEdges, m_needles, touched);
        divided |= d != Division::kNone;
        atCornerLine |= d == Division::kAlongCornerLine;
    }
    AddSegments(t, segments, *info, m_cornerLinePoints);
    if (!divided) {
        // A corner a wall passes through (its crossings rounded onto the
        // corner, or the corner moved onto them) is on the wall for the
        // neighbours: the other corners tell the side.
        if ((touched | movedCorners) != 0) t.SetStatus(uint8_t(t.GetStatus() | _PositionBesides(t, touched | movedCorners)));
        return nullptr;
    }
    if (retriangulator.CreateNewTriangles(*info, 0) && !(retriangulator.GetError() & 1)) {
        for (MStlTriangle* piece : retriangulator.GetNewTriangles()) {
            if (t.IsMarked()) piece->Mark();
            // The side of a wall a piece lies on says nothing where the
            // triangle was divided at a corner's line: beyond the corner
            // the wall's side is not the profile's.  Such pieces take the
            // side they lie in, told by the triangle's own corners that are
            // off the profile, else by their middle: a point made by the
            // division lies on a wall only within the grid's rounding.
            if (atCornerLine) {
                int made = 0;
                for (int i = 0; i < 3; ++i) {
                    const int k = t.IndexOfPoint(piece->GetPoint(i));
                    if (k < 0 || (movedCorners & (1 << k))) made |= 1 << i;
                }
                const uint8_t status = uint8_t(piece->GetElement()->GetStatus() & ~(kInside | kOutside));
                piece->GetElement()->SetStatus(uint8_t(status | _PositionBesides(*piece, made)));
            }
            m_madeTriangles.push_back(piece->GetElement());
        }
        m_working->RemoveTriangle(&t);
    } else {
        // The triangle stays whole and goes to one side; the opening there
        // cannot be closed exactly.
        ++m_unclosed;
        t.SetStatus(uint8_t(t.GetStatus() & ~(kInside | kOutside)));
    }
    return nullptr;
}

// Replaces the triangle by one whose given corner lies at `xyz` instead;
// null (and the triangle kept) if that point is another of its corners.
MStlTriangleElement* MCutter::_MoveTip(MStlTriangleElement& t, int corner, const int32_t xyz[3]) {
    MStlPoint* p = m_working->AddPoint(xyz[0], xyz[1], xyz[2]);
    if (t.IndexOfPoint(p) >= 0) return nullptr;
    MStlPoint* corners[3] = {t.GetPoint(0), t.GetPoint(1), t.GetPoint(2)};
    corners[corner] = p;
    MStlTriangleElement* moved = m_working->AddTriangle(corners, t.GetSurface());
    moved->SetStatus(t.GetStatus());
    if (t.IsMarked()) moved->Mark();
    m_working->RemoveTriangle(&t);
    return moved;
}
