// Classification of the working mesh's triangles against the profile's
// walls, insertion of profile corners on triangle sides, and the final
// distribution of the triangles into the result meshes.
#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <vector>

#include "MCutter.h"
#include "cutter/MCutEdge.h"
#include "cutter/MCutExact.h"

using namespace meshcut_cut;
using QelSDK::Common::IncrementalProgressReporter;
using QelSDK::Common::ProgressPtr;

namespace {

struct Box {
    int64_t minX = INT64_MAX, maxX = INT64_MIN, minY = INT64_MAX, maxY = INT64_MIN;
    void Include(const Box& b) {
        minX = std::min(minX, b.minX);
        maxX = std::max(maxX, b.maxX);
        minY = std::min(minY, b.minY);
        maxY = std::max(maxY, b.maxY);
    }
    bool Meets(const Box& b) const { return minX <= b.maxX && b.minX <= maxX && minY <= b.maxY && b.minY <= maxY; }
    Box Intersection(const Box& b) const {
        return {std::max(minX, b.minX), std::min(maxX, b.maxX), std::max(minY, b.minY), std::min(maxY, b.maxY)};
    }
    static Box Everything() { return {INT64_MIN, INT64_MAX, INT64_MIN, INT64_MAX}; }
};

Box BoxOf(const MStlTriangle& t) {
    Box b;
    for (int i = 0; i < 3; ++i) {
        const MStlPoint* p = t.GetPoint(i);
        b.minX = std::min<int64_t>(b.minX, p->GetX());
        b.maxX = std::max<int64_t>(b.maxX, p->GetX());
        b.minY = std::min<int64_t>(b.minY, p->GetY());
        b.maxY = std::max<int64_t>(b.maxY, p->GetY());
    }
    return b;
}

Box BoxOf(const MCutEdge& e) { return {e.MinX(), e.MaxX(), e.MinY(), e.MaxY()}; }

// Whether the edge's wall divides the triangle: the wall meets the inside of
// one of its sides, or the edge lies within the triangle's projection.  A
// corner on the wall within the edge's extent counts.
bool WallCrosses(const MStlTriangle& t, const MCutEdge& e) {
    int s[3];
    for (int i = 0; i < 3; ++i) s[i] = Sign(SideValue(t.GetPoint(i), e));
    bool before = false, after = false;
    for (int i = 0; i < 3; ++i) {
        const int j = (i + 1) % 3;
        if (s[i] == s[j]) continue;
        Fraction f;
        if (!SideCrossingOnEdge(t.GetPoint(i), t.GetPoint(j), e, f)) continue;
        if (f.Below0()) before = true;
        else if (f.Above1()) after = true;
        else return true;
    }
    return before && after;
}

// Every mesh triangle across a manifold edge of t (an edge shared by exactly
// one other triangle).
template <class F>
void ForEachManifoldNeighbour(MStlTriangle& t, F&& visit) {
    for (int i = 0; i < 3; ++i) {
        const MStlPoint* p = t.GetPoint(i);
        const MStlPoint* q = t.GetPoint((i + 1) % 3);
        MStlTriangleElement* found = nullptr;
        int count = 0;
        for (uint16_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
            MStlTriangleElement* n = p->GetNeighbourTriangle(k);
            if (n == &t || n->IndexOfPoint(q) < 0) continue;
            found = n;
            ++count;
        }
        if (count == 1) visit(*found);
    }
}

}  // namespace

bool MCutter::_IgnoreTriangleWhileCut(MStlTriangle* triangle) {
    if (!m_useIgnore) return false;
    const bool ignore = m_ignore(triangle);
    if (ignore) m_triangleIgnored = true;
    return ignore;
}

// Crossing-number test against the closed contours, exact for integer
// points (and with the given tolerance for others).
int MCutter::PointInProfile(double x, double y, double tolerance) const {
    int crossings = 0;
    for (auto* c = m_profile.GetFirstContour(); c; c = static_cast<MCutProfile::Contour*>(c->GetNextContour())) {
        const uint32_t n = c->GetNumberOfPoints();
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < n; ++i, p = p->GetNext()) {
            if (i + 1 == n && !c->IsClosed()) break;
            const double x0 = p->GetX(), y0 = p->GetY(), x1 = p->GetNext()->GetX(), y1 = p->GetNext()->GetY();
            if (x0 == x && y0 == y) return 0;
            if (y0 == y && y1 == y) {
                if ((x - x1) * (x - x0) <= 0) return 0;
                continue;
            }
            if (!((y0 > y && y >= y1) || (y0 <= y && y < y1))) continue;
            // Sign of x − xi without dividing: xi = x0 + (x1 − x0)(y − y0)/(y1 − y0).
            const long double lhs = ((long double)x - x0) * ((long double)y1 - y0);
            const long double rhs = ((long double)x1 - x0) * ((long double)y - y0);
            const long double diff = y1 > y0 ? lhs - rhs : rhs - lhs;
            if (tolerance > 0) {
                if (std::fabs(double(diff / ((long double)y1 - y0))) < tolerance) return 0;
            } else if (diff == 0) {
                return 0;
            }
            if (diff > 0) ++crossings;
        }
    }
    return crossings % 2 == 1 ? 1 : 2;
}

char MCutter::POSITION_TRIANGLE(MStlTriangle& triangle) const {
    for (int i = 0; i < 3; ++i) {
        const MStlPoint* p = triangle.GetPoint(i);
        const int where = PointInProfile(p->GetX(), p->GetY());
        if (where == 1) return kInside;
        if (where == 2) return kOutside;
    }
    return POSITION_TRIANGLE_CENTER(triangle);
}

char MCutter::POSITION_TRIANGLE_CENTER(MStlTriangle& triangle) const {
    int64_t sx = 0, sy = 0;
    for (int i = 0; i < 3; ++i) {
        sx += triangle.GetPoint(i)->GetX();
        sy += triangle.GetPoint(i)->GetY();
    }
    const int where = PointInProfile(double(sx) / 3.0, double(sy) / 3.0);
    if (where == 1) return kInside;
    if (where == 2 || !m_edges) return kOutside;
    // A triangle standing in a wall belongs to the side it closes: facing
    // out of the profile it bounds the inside part, facing in the outside one.
    for (const MCutEdge& e : *m_edges) {
        bool inWall = true;
        for (int i = 0; i < 3 && inWall; ++i) inWall = SideValue(triangle.GetPoint(i), e) == 0;
        if (!inWall) continue;
        const MStlPoint *p0 = triangle.GetPoint(0), *p1 = triangle.GetPoint(1), *p2 = triangle.GetPoint(2);
        const i128 ux = int64_t(p1->GetX()) - p0->GetX(), uy = int64_t(p1->GetY()) - p0->GetY(),
                   uz = int64_t(p1->GetZ()) - p0->GetZ();
        const i128 vx = int64_t(p2->GetX()) - p0->GetX(), vy = int64_t(p2->GetY()) - p0->GetY(),
                   vz = int64_t(p2->GetZ()) - p0->GetZ();
        const i128 nx = uy * vz - uz * vy, ny = uz * vx - ux * vz;
        // (−dy, dx) points into the profile.
        const i128 inward = -nx * e.delta[1] + ny * e.delta[0];
        if (inward != 0) return inward < 0 ? kInside : kOutside;
    }
    return kOutside;
}

void MCutter::CLASSIFY_TRIANGLES(ProgressPtr progress) {
    m_triangleIgnored = false;
    std::vector<MStlTriangleElement*> triangles;
    std::vector<Box> boxes;
    triangles.reserve(m_working->GetNumberOfTriangles());
    boxes.reserve(m_working->GetNumberOfTriangles());
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        it->SetStatus(0);
        triangles.push_back(*it);
        boxes.push_back(BoxOf(**it));
    }
    std::vector<MCutEdge*> edges;
    for (MCutEdge& e : *m_edges) edges.push_back(&e);

    // Narrow the window to where triangles and walls can meet.
    Box window = Box::Everything();
    for (int pass = 0; pass < 2; ++pass) {
        Box a, b;
        for (const Box& box : boxes)
            if (box.Meets(window)) a.Include(box);
        for (const MCutEdge* e : edges)
            if (BoxOf(*e).Meets(window)) b.Include(BoxOf(*e));
        window = a.Intersection(b);
    }
    struct Record {
        Box box;
        MStlTriangleElement* triangle;
    };
    std::vector<Record> candidates;
    for (size_t i = 0; i < triangles.size(); ++i)
        if (boxes[i].Meets(window)) candidates.push_back({boxes[i], triangles[i]});
    boxes = std::vector<Box>();

    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.CLASSIFY_TRIANGLES",
                                         candidates.size() + edges.size(), true);
    if (_Cancelled(reporter)) return;
    std::sort(candidates.begin(), candidates.end(),
              [](const Record& a, const Record& b) { return a.box.minX < b.box.minX; });
    std::sort(edges.begin(), edges.end(), [](const MCutEdge* a, const MCutEdge* b) { return a->MinX() < b->MinX(); });

    // Sweep in x: every triangle meets every edge whose x range it overlaps
    // exactly once, whichever of the two is taken first.
    std::vector<Record*> activeTriangles;
    std::vector<MCutEdge*> activeEdges;
    auto test = [this](MStlTriangleElement* t, const MCutEdge& e) {
        if (t->GetStatus() & kCrossed) return;
        if (!WallCrosses(*t, e)) return;
        if (_IgnoreTriangleWhileCut(t)) return;
        t->SetStatus(kCrossed);
    };
    size_t ti = 0, ei = 0;
    uint64_t step = 0;
    while (ti < candidates.size() || ei < edges.size()) {
        const bool takeEdge = ei < edges.size() && (ti == candidates.size() || edges[ei]->MinX() <= candidates[ti].box.minX);
        ++reporter;
        if ((++step & 255) == 0 && _Cancelled(reporter)) return;
        if (takeEdge) {
            MCutEdge* e = edges[ei++];
            const Box eb = BoxOf(*e);
            std::erase_if(activeTriangles, [&](const Record* r) { return r->box.maxX < eb.minX; });
            for (Record* r : activeTriangles)
                if (r->box.minY <= eb.maxY && eb.minY <= r->box.maxY) test(r->triangle, *e);
            activeEdges.push_back(e);
        } else {
            Record& r = candidates[ti++];
            std::erase_if(activeEdges, [&](const MCutEdge* e) { return e->MaxX() < r.box.minX; });
            for (MCutEdge* e : activeEdges)
                if (r.box.minY <= e->MaxY() && e->MinY() <= r.box.maxY) test(r.triangle, *e);
            activeTriangles.push_back(&r);
        }
    }
    if (_Cancelled(reporter)) return;

    // The side of every other triangle: one position test per connected
    // region, spread over manifold edges up to the crossed triangles.
    std::vector<MStlTriangleElement*> queue;
    for (MStlTriangleElement* t : triangles) {
        if (t->GetStatus() != 0) {
            if (m_inPlaceCut && !t->IsMarked()) t->SetStatus(kOutside);
            continue;
        }
        if (_IgnoreTriangleWhileCut(t)) continue;
        const uint8_t side = uint8_t(POSITION_TRIANGLE(*t));
        t->SetStatus(t->GetStatus() | side);
        if (m_triangleIgnored) continue;
        queue.assign(1, t);
        while (!queue.empty()) {
            MStlTriangleElement* u = queue.back();
            queue.pop_back();
            ForEachManifoldNeighbour(*u, [&](MStlTriangleElement& n) {
                if (n.GetStatus() != 0) return;
                if (m_inPlaceCut && !n.IsMarked()) return;
                n.SetStatus(side);
                queue.push_back(&n);
            });
        }
    }
    // Cut limits.
    for (MStlTriangleElement* t : triangles) {
        bool below = true, above = true;
        for (int i = 0; i < 3; ++i) {
            below = below && t->GetPoint(i)->GetZ() < m_lowerLimit;
            above = above && t->GetPoint(i)->GetZ() > m_upperLimit;
        }
        if (below) t->SetStatus(t->GetStatus() | kBelow);
        else if (above) t->SetStatus(t->GetStatus() | kAbove);
    }
    _Cancelled(reporter);
}

namespace {

// Where a profile corner lies on a side's projection strictly between its
// ends: the fraction along the side, from the larger coordinate difference.
bool CornerOnSide(const MStlPoint* a, const MStlPoint* b, int64_t x, int64_t y, double& u) {
    const int64_t dx = int64_t(b->GetX()) - a->GetX(), dy = int64_t(b->GetY()) - a->GetY();
    if (dx == 0 && dy == 0) return false;  // a vertical side: its projection is a point
    const i128 cross = i128(x - a->GetX()) * dy - i128(y - a->GetY()) * dx;
    if (cross != 0) return false;
    const bool useY = std::llabs(dy) >= std::llabs(dx);
    const int64_t along = useY ? y - a->GetY() : x - a->GetX();
    const int64_t length = useY ? dy : dx;
    if (length > 0 ? (along <= 0 || along >= length) : (along >= 0 || along <= length)) return false;
    u = double(along) / double(length);
    return true;
}

}  // namespace

void MCutter::REMOVE_CUT_POINTS_IN_TRIANGLES(ProgressPtr progress) {
    std::vector<std::array<int64_t, 2>> corners;
    for (const MCutEdge& e : *m_edges) corners.push_back({e.start[0], e.start[1]});
    std::sort(corners.begin(), corners.end());
    corners.erase(std::unique(corners.begin(), corners.end()), corners.end());
    std::vector<MStlTriangleElement*> work;
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it)
        if (it->GetStatus() & kCrossed) work.push_back(*it);
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.REMOVE_CUT_POINTS_IN_TRIANGLES",
                                         work.size(), true);
    while (!work.empty()) {
        MStlTriangleElement* t = work.back();
        work.pop_back();
        ++reporter;
        if (_Cancelled(reporter)) return;
        if (!t->IsAlive() || !(t->GetStatus() & kCrossed)) continue;
        const Box box = BoxOf(*t);
        auto from = std::lower_bound(corners.begin(), corners.end(), std::array<int64_t, 2>{box.minX, INT64_MIN});
        for (auto c = from; c != corners.end() && (*c)[0] <= box.maxX; ++c) {
            if ((*c)[1] < box.minY || (*c)[1] > box.maxY) continue;
            MStlPoint* ends[3][2];
            double u[3];
            int sides[2], count = 0;
            for (int i = 0; i < 3 && count < 2; ++i) {
                ends[i][0] = t->GetPoint(i);
                ends[i][1] = t->GetPoint((i + 1) % 3);
                if (CornerOnSide(ends[i][0], ends[i][1], (*c)[0], (*c)[1], u[i])) sides[count++] = i;
            }
            if (count == 0) continue;
            // One new vertex per side holding the corner, each splitting the
            // triangles on that mesh edge, so that the neighbours stay joined.
            MStlPoint* added = nullptr;
            for (int k = 0; k < count; ++k) {
                const int i = sides[k];
                const double z0 = ends[i][0]->GetZ(), z1 = ends[i][1]->GetZ();
                MStlPoint* n = m_working->AddPoint(int32_t((*c)[0]), int32_t((*c)[1]),
                                                   int32_t(std::trunc(z0 + (z1 - z0) * u[i])), false);
                m_working->InsertPointBetweenPoints(n, ends[i][0], ends[i][1]);
                added = n;
            }
            for (uint16_t k = 0; k < added->GetNumberOfNeighbourTriangles(); ++k)
                work.push_back(added->GetNeighbourTriangle(k));
            if (count == 2)
                for (int k = 0; k < 2; ++k) {
                    MStlPoint* other = ends[sides[k]][0];
                    for (uint16_t j = 0; j < other->GetNumberOfNeighbourTriangles(); ++j)
                        work.push_back(other->GetNeighbourTriangle(j));
                }
            work.push_back(t);
            break;
        }
    }
}

void MCutter::_MarkInsideTriangles() const {
    if (!m_working) return;
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it)
        if (!(it->IsMarked() && (it->GetStatus() & kInside))) it->Unmark();
}

void MCutter::_MarkUpperAndLowerTriangles() const {
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        const i128 nz = NormalZ(**it);
        it->SetFacing(nz < 0 ? 1 : nz > 0 ? 2 : 0);
    }
}

void MCutter::DETERMINE_BELOW_AND_ABOVE() const {
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        bool underUpper = true, overLower = true;
        for (int i = 0; i < 3; ++i) {
            underUpper = underUpper && it->GetPoint(i)->GetZ() <= m_upperLimit;
            overLower = overLower && it->GetPoint(i)->GetZ() >= m_lowerLimit;
        }
        if (underUpper && overLower) continue;
        it->SetStatus(it->GetStatus() | (underUpper ? kBelow : kAbove));
    }
}

void MCutter::REMOVE_TRIANGLE_SETS() const {
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle();) {
        MStlTriangleElement* t = *it;
        ++it;
        if ((t->GetStatus() & kFill) && (t->GetStatus() & (kBelow | kAbove))) m_working->RemoveTriangle(t);
    }
}

// --- distribution into the results ------------------------------------------

DLIST_ELEMENT<MStlTriangle>* MCutter::COPY_TRIANGLE_TO(MStlTriangle& triangle, bool inside) const {
    MStlBase* target = inside ? m_inside : m_outside;
    if (!target) return nullptr;
    MStlSurface* surface = triangle.GetSurface() ? triangle.GetSurface()->GetRelatedSurface(inside ? 0 : 1) : nullptr;
    MStlTriangleElement* added = target->AddTriangle(target->AddPoint(triangle.GetPoint(0), false),
                                                     target->AddPoint(triangle.GetPoint(1), false),
                                                     target->AddPoint(triangle.GetPoint(2), false), surface);
    if (added) added->CopyStateFrom(triangle, true, true, false, false, true, true);
    return added;
}

DLIST_ELEMENT<MStlTriangle>* MCutter::COPY_TRIANGLE_TO(MStlTriangle& triangle, MStlBase* target) {
    if (!target) return nullptr;
    MStlTriangleElement* added = target->AddTriangle(target->AddPoint(triangle.GetPoint(0), false),
                                                     target->AddPoint(triangle.GetPoint(1), false),
                                                     target->AddPoint(triangle.GetPoint(2), false), nullptr);
    if (added) added->CopyStateFrom(triangle, true, true, false, false, true, true);
    return added;
}

namespace {
// Copies the triangles that `take` selects into the target, mapping points
// by slot, so each point is looked up once.
template <class Take>
void CopySelected(MStlBase& source, MStlBase& target, int related, Take&& take, IncrementalProgressReporter& reporter,
                  bool& cancelled) {
    MStlBaseCopyTriangleAttributes attributes(source, target, true);
    MStlPointSlotMap map(source, target);
    uint64_t step = 0;
    for (auto it = source.BeginTriangle(); it != source.EndTriangle(); ++it) {
        if ((++step & 1023) == 0) {
            reporter += 1024;
            if (reporter.IsCancelled()) {
                cancelled = true;
                return;
            }
        }
        MStlTriangleElement* t = *it;
        if (!take(t->GetStatus())) continue;
        MStlSurface* surface = t->GetSurface() ? t->GetSurface()->GetRelatedSurface(related) : nullptr;
        MStlPoint* const corners[3] = {map(t->GetPoint(0)), map(t->GetPoint(1)), map(t->GetPoint(2))};
        MStlTriangleElement* added = target.AddTriangle(corners, surface);
        if (added) added->CopyStateFrom(*t, true, true, false, false, true, true);
    }
}
}  // namespace

void MCutter::DIVIDE_TO_CUT_DATA(ProgressPtr progress) {
    if (!m_working) return;
    const uint64_t results = uint64_t(m_inside != nullptr) + uint64_t(m_outside != nullptr);
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.DIVIDE_TO_CUT_DATA",
                                         m_working->GetNumberOfSurfaces() + results * m_working->GetNumberOfTriangles(),
                                         true);
    for (uint32_t i = 0; i < m_working->GetNumberOfSurfaces(); ++i) {
        MStlSurface* s = m_working->GetSurface(i);
        if (m_inside) s->SetRelatedSurface(m_inside->AddSurface(s), 0);
        if (m_outside) s->SetRelatedSurface(m_outside->AddSurface(s), 1);
        ++reporter;
        if (_Cancelled(reporter)) return;
    }
    if (m_triangleIgnored) {
        DIVIDE_TO_CUT_DATA_4_COMPLEX_TOPOLOGY(progress);
        return;
    }
    if (m_inside)
        CopySelected(*m_working, *m_inside, 0,
                     [](uint8_t s) { return (s & kInside) && !(s & (kBelow | kAbove)); }, reporter, m_cancelled);
    if (m_cancelled) return;
    if (m_outside)
        CopySelected(*m_working, *m_outside, 1, [](uint8_t s) { return (s & (kOutside | kBelow | kAbove)) != 0; },
                     reporter, m_cancelled);
}

void MCutter::DIVIDE_TO_CUT_DATA_4_COMPLEX_TOPOLOGY(ProgressPtr progress) {
    IncrementalProgressReporter reporter(progress, "QelStlCutting.MCutter.DIVIDE_TO_CUT_DATA_4_COMPLEX_TOPOLOGY",
                                         2 * m_working->GetNumberOfTriangles(), true);
    constexpr uint8_t kBeyond = kBelow | kAbove;
    // Seeds: triangles that touch a cut surface.
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        if (!(it->GetStatus() & kFill)) continue;
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* p = it->GetPoint(i);
            for (uint16_t k = 0; k < p->GetNumberOfNeighbourTriangles(); ++k) {
                MStlTriangleElement* n = p->GetNeighbourTriangle(k);
                if (!(n->GetStatus() & kFill)) n->SetStatus(n->GetStatus() | kCrossed);
            }
        }
    }
    // The side that the region walks collect; the other results take the rest.
    uint8_t side = kInside;
    bool sideFixed = false;
    std::deque<MStlTriangleElement*> queue;
    auto copyTo = [&](MStlTriangleElement* t, bool inside) {
        // Triangles beyond the cut limits always belong to the outside part.
        COPY_TRIANGLE_TO(*t, inside && !(t->GetStatus() & kBeyond));
        t->SetStatus(t->GetStatus() | kRegion);
    };
    auto walk = [&](MStlTriangleElement* start) {
        const bool inside = side == kInside;
        copyTo(start, inside);
        queue.assign(1, start);
        while (!queue.empty()) {
            MStlTriangleElement* t = queue.front();
            queue.pop_front();
            const uint8_t ts = t->GetStatus();
            static constexpr int kEdges[3][2] = {{2, 0}, {0, 1}, {1, 2}};
            for (const auto& edge : kEdges) {
                const MStlPoint* q = t->GetPoint(edge[0]);
                const MStlPoint* v = t->GetPoint(edge[1]);
                for (uint16_t k = 0; k < v->GetNumberOfNeighbourTriangles(); ++k) {
                    MStlTriangleElement* n = v->GetNeighbourTriangle(k);
                    if (n == t || n->IndexOfPoint(q) < 0) continue;
                    const uint8_t ns = n->GetStatus();
                    if (ns & kRegion) continue;
                    if (inside && (ns & kBeyond)) continue;
                    bool take;
                    if (ns & kCrossed) take = !((ts & (kCrossed | kFill)) && (ns & 6) != (ts & 6));
                    else if (ns & kFill) take = (ts & ns & 6) != 0;
                    else take = !(ts & kFill);
                    if (!take) continue;
                    copyTo(n, inside);
                    queue.push_back(n);
                }
            }
        }
    };
    uint64_t step = 0;
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        if ((++step & 1023) == 0) {
            reporter += 1024;
            if (_Cancelled(reporter)) return;
        }
        MStlTriangleElement* t = *it;
        const uint8_t s = t->GetStatus();
        if (s & kRegion) continue;
        if (!sideFixed) {
            if ((s & 6) != kInside && (s & 6) != kOutside) continue;
            side = uint8_t(s & 6);
            sideFixed = true;
        }
        if ((s & 6) != side) continue;
        if (side == kInside && (s & kBeyond)) continue;
        MStlBase* target = side == kInside ? m_inside : m_outside;
        if (!target) continue;
        MStlBaseCopyTriangleAttributes attributes(*m_working, *target, true);
        walk(t);
    }
    for (auto it = m_working->BeginTriangle(); it != m_working->EndTriangle(); ++it) {
        if ((++step & 1023) == 0) {
            reporter += 1024;
            if (_Cancelled(reporter)) return;
        }
        if (it->GetStatus() & kRegion) continue;
        const bool toInside = side != kInside && !(it->GetStatus() & kBeyond);
        COPY_TRIANGLE_TO(**it, toInside);
    }
}
