#include "MSliceRetriangulator.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <unordered_map>
#include <utility>
#include <vector>

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_2_algorithms.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>

template class MSliceRetriangulator<MStlBaseContainer>;
template class MSliceRetriangulator<MStlFeatureContainer>;
template class MSliceRetriangulator<MStlMarkedTrianglesContainer>;
template class MSliceRetriangulator<MStlSurfaceContainer>;
template class MSliceRetriangulator<MStlTriangleListContainer>;

namespace {

using MSliceInfo = MNbhdSlicerBase::MSliceInfo;
using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point2 = Kernel::Point_2;
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<int, Kernel>;
using FaceBase = CGAL::Constrained_triangulation_face_base_2<Kernel>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Crossing curve segments (a curve that crosses itself inside a triangle)
// get a constructed crossing vertex, which becomes a new mesh point.
using Cdt = CGAL::Constrained_Delaunay_triangulation_2<Kernel, Tds, CGAL::Exact_predicates_tag>;

const char* const kStepName = "MStlPoint* MSliceRetriangulator::Operate()";
const char* const kNotification = "Retriangulating stl along projected contour";

using Triple = std::array<MStlPoint*, 3>;

// One triangle to be replaced: the curve segments inside it and the new
// points inside it; new points on its edges are found in the edge table.
struct Group {
    MStlTriangle* triangle = nullptr;
    std::vector<std::pair<MStlPoint*, MStlPoint*>> segments;
    std::vector<MStlPoint*> inside;
    std::vector<Triple> result;
};

struct PairHash {
    size_t operator()(const std::pair<const MStlPoint*, const MStlPoint*>& e) const {
        return std::hash<const void*>()(e.first) * 31 + std::hash<const void*>()(e.second);
    }
};
using EdgeKey = std::pair<const MStlPoint*, const MStlPoint*>;
EdgeKey Key(const MStlPoint* a, const MStlPoint* b) { return a < b ? EdgeKey(a, b) : EdgeKey(b, a); }

bool IsVertex(const MStlPoint* p) { return p->GetNumberOfNeighbourTriangles() > 0; }

double Distance(const MMVector3d& a, const MMVector3d& b) { return (a - b).Length(); }

class Retriangulator {
public:
    Retriangulator(MStlTriangleContainerBase& container, uint32_t snap, const QelSDK::Common::ProgressPtr& progress)
        : m_container(container), m_mesh(*container.GetStl()), m_snap(snap), m_progress(progress) {}

    MStlPoint* Run(MStlSurfaceBorderContour* contour, std::list<MSliceInfo>& slices);

private:
    bool Cancelled() const { return m_progress && m_progress->IsCancelled(); }
    bool MakePoint(MSliceInfo& s);
    void SnapToEdge(MSliceInfo& s) const;
    void MergeClose(std::list<MSliceInfo>& slices);
    Group& GroupOf(MStlTriangle* t);
    void Register(const MSliceInfo& s);
    void Triangulate(Group& g);
    void Apply(Group& g);
    void Undo();

    MStlTriangleContainerBase& m_container;
    MStlBase& m_mesh;
    uint32_t m_snap;
    QelSDK::Common::ProgressPtr m_progress;
    std::vector<MStlPoint*> m_newPoints;
    std::vector<Group> m_groups;
    std::unordered_map<const MStlTriangle*, size_t> m_groupOf;
    std::unordered_map<EdgeKey, std::vector<MStlPoint*>, PairHash> m_edgePoints;
};

// An interior position within the snap distance of an edge moves onto it.
void Retriangulator::SnapToEdge(MSliceInfo& s) const {
    double best = double(m_snap);
    for (int e = 0; e < 3; ++e) {
        const MMVector3d a = s.triangle->GetPoint(e)->GetVector(), b = s.triangle->GetPoint((e + 1) % 3)->GetVector();
        const MMVector3d ab = b - a;
        const double t = std::clamp((s.position - a).Dot(ab) / ab.Dot(ab), 0.0, 1.0);
        const MMVector3d foot = a + ab * t;
        const double d = Distance(foot, s.position);
        if (d < best) {
            best = d;
            s.Fill(s.triangle, foot, uint8_t(e));
        }
    }
}

// Gives the position its mesh point: a vertex within the snap distance, or a
// new point.  False when no point can be made there.
bool Retriangulator::MakePoint(MSliceInfo& s) {
    if (s.point) return true;
    if (!s.triangle || !s.triangle->IsAlive()) return false;
    if (s.kind == MSliceInfo::eAtPoint) {
        s.Fill(s.triangle->GetPoint(s.index % 3), true);
        return true;
    }
    int nearest = -1;
    double best = double(m_snap);
    for (int i = 0; i < 3; ++i) {
        const double d = Distance(s.triangle->GetPoint(i)->GetVector(), s.position);
        if (d < best) best = d, nearest = i;
    }
    if (nearest >= 0) {
        s.Fill(s.triangle->GetPoint(nearest), true);
        return true;
    }
    if (s.kind == MSliceInfo::eInside && m_snap > 0) SnapToEdge(s);
    MStlPoint* p = m_mesh.AddPoint(s.position, false);
    if (!p) return false;
    if (IsVertex(p)) {
        // The new position fell onto an existing mesh point.
        s.Fill(p, true);
        return true;
    }
    if (std::find(m_newPoints.begin(), m_newPoints.end(), p) == m_newPoints.end()) m_newPoints.push_back(p);
    s.point = p;
    return true;
}

// Neighbouring positions closer than the snap distance, one of them without
// a point, become one position with one point.
void Retriangulator::MergeClose(std::list<MSliceInfo>& slices) {
    if (m_snap == 0) return;
    for (auto it = slices.begin(); it != slices.end() && std::next(it) != slices.end(); ++it) {
        auto next = std::next(it);
        if ((it->point && next->point) || Distance(it->position, next->position) >= double(m_snap)) continue;
        bool ambiguous = false;
        if (!MNbhdSlicerUtilities::SliceInfoSetCommonTriangle(*it, *next, ambiguous) || ambiguous) continue;
        if (next->point && !it->point) {
            *it = *next;
        } else {
            if (!MakePoint(*it)) continue;
            *next = *it;
        }
    }
}

Group& Retriangulator::GroupOf(MStlTriangle* t) {
    auto [it, fresh] = m_groupOf.emplace(t, m_groups.size());
    if (fresh) {
        m_groups.emplace_back();
        m_groups.back().triangle = t;
    }
    return m_groups[it->second];
}

// A new point splits the triangles on its edge, or its own triangle.
void Retriangulator::Register(const MSliceInfo& s) {
    if (IsVertex(s.point)) return;
    if (s.kind == MSliceInfo::eOnEdge) {
        auto& on = m_edgePoints[Key(s.triangle->GetPoint(s.index), s.triangle->GetPoint((s.index + 1) % 3))];
        if (std::find(on.begin(), on.end(), s.point) != on.end()) return;
        on.push_back(s.point);
        for (MStlTriangle* t : MNbhdSlicerUtilities::CandidateTriangles(s)) GroupOf(t);
    } else {
        auto& in = GroupOf(s.triangle).inside;
        if (std::find(in.begin(), in.end(), s.point) == in.end()) in.push_back(s.point);
    }
}

MStlPoint* Retriangulator::Run(MStlSurfaceBorderContour* contour, std::list<MSliceInfo>& slices) {
    // Positions that neither have a point nor lie on a live triangle are
    // outside the mesh.
    slices.remove_if([](const MSliceInfo& s) { return !s.point && (!s.triangle || !s.triangle->IsAlive()); });
    if (slices.size() < 2) return nullptr;
    MergeClose(slices);
    size_t done = 0;
    for (auto it = slices.begin(); it != slices.end();) {
        if ((++done & 255) == 0 && Cancelled()) return Undo(), nullptr;
        it = MakePoint(*it) ? std::next(it) : slices.erase(it);
    }
    for (auto it = slices.begin(); it != slices.end() && std::next(it) != slices.end();) {
        auto next = std::next(it);
        if (MNbhdSlicerUtilities::SliceInfoEqual(*it, *next)) slices.erase(next);
        else ++it;
    }
    if (slices.size() < 2) return Undo(), nullptr;

    for (const MSliceInfo& s : slices) Register(s);
    const MSliceInfo* previous = nullptr;
    for (const MSliceInfo& s : slices) {
        if (previous)
            for (MStlTriangle* t : MNbhdSlicerUtilities::CandidateTriangles(*previous)) {
                const auto others = MNbhdSlicerUtilities::CandidateTriangles(s);
                if (std::find(others.begin(), others.end(), t) != others.end())
                    GroupOf(t).segments.emplace_back(previous->point, s.point);
            }
        previous = &s;
    }

    // Every triangulation is worked out before the mesh changes, so a
    // cancellation leaves the mesh as it was.
    {
        QelSDK::Common::IncrementalProgressReporter reporter(m_progress, kStepName, m_groups.size());
        reporter.SendNotification(kNotification, std::any());
        for (Group& g : m_groups) {
            if (reporter.IsCancelled()) return Undo(), nullptr;
            Triangulate(g);
            ++reporter;
        }
    }
    for (Group& g : m_groups) Apply(g);
    if (contour)
        for (const MSliceInfo& s : slices) contour->InsertPointAtEnd(s.point);
    return slices.back().point;
}

// The points made so far have no triangles yet and go again.
void Retriangulator::Undo() {
    for (MStlPoint* p : m_newPoints)
        if (!IsVertex(p)) m_mesh.RemovePoint(p);
    m_newPoints.clear();
}

// Constrained triangulation of the triangle's corners and new points, in the
// coordinate plane where its projection is largest, oriented like it.
void Retriangulator::Triangulate(Group& g) {
    const MStlTriangle* t = g.triangle;
    const MMVector3d n = t->GetAreaVector();
    int axis = 0;
    for (int i = 1; i < 3; ++i)
        if (std::fabs(n[i]) > std::fabs(n[axis])) axis = i;
    int u = (axis + 1) % 3, v = (axis + 2) % 3;
    if (n[axis] < 0) std::swap(u, v);

    std::vector<MStlPoint*> points;
    std::vector<Point2> plane;
    auto add = [&](MStlPoint* p) {
        points.push_back(p);
        plane.emplace_back(double(p->Get(u)), double(p->Get(v)));
    };
    // The border: each corner followed by the new points on its edge in
    // order along the edge.
    for (int e = 0; e < 3; ++e) {
        MStlPoint* a = t->GetPoint(e);
        MStlPoint* b = t->GetPoint((e + 1) % 3);
        add(a);
        auto found = m_edgePoints.find(Key(a, b));
        if (found == m_edgePoints.end()) continue;
        std::vector<MStlPoint*> on = found->second;
        const MMVector3d dir = b->GetVector() - a->GetVector();
        std::sort(on.begin(), on.end(), [&](const MStlPoint* x, const MStlPoint* y) {
            return (x->GetVector() - a->GetVector()).Dot(dir) < (y->GetVector() - a->GetVector()).Dot(dir);
        });
        for (MStlPoint* p : on) add(p);
    }
    const size_t border = points.size();
    if (border == 3 && g.inside.empty()) return;  // the curve runs along its edges already
    for (MStlPoint* p : g.inside) add(p);

    Cdt cdt;
    std::vector<Cdt::Vertex_handle> handles(points.size());
    for (size_t i = 0; i < points.size(); ++i) {
        handles[i] = cdt.insert(plane[i]);
        handles[i]->info() = int(i);
    }
    for (size_t i = 0; i < border; ++i)
        if (handles[i] != handles[(i + 1) % border]) cdt.insert_constraint(handles[i], handles[(i + 1) % border]);
    auto handleOf = [&](const MStlPoint* p) {
        const size_t i = size_t(std::find(points.begin(), points.end(), p) - points.begin());
        return i < points.size() ? handles[i] : Cdt::Vertex_handle();
    };
    for (auto [a, b] : g.segments) {
        Cdt::Vertex_handle ha = handleOf(a), hb = handleOf(b);
        if (ha != Cdt::Vertex_handle() && hb != Cdt::Vertex_handle() && ha != hb) cdt.insert_constraint(ha, hb);
    }
    // Vertices the constraints created carry no index yet.
    for (auto h = cdt.finite_vertices_begin(); h != cdt.finite_vertices_end(); ++h)
        if (!(h->info() >= 0 && size_t(h->info()) < handles.size() && handles[size_t(h->info())] == Cdt::Vertex_handle(h))) h->info() = -1;

    std::vector<Point2> outline(plane.begin(), plane.begin() + long(border));
    for (auto f = cdt.finite_faces_begin(); f != cdt.finite_faces_end(); ++f) {
        const Point2 c = CGAL::centroid(f->vertex(0)->point(), f->vertex(1)->point(), f->vertex(2)->point());
        if (CGAL::bounded_side_2(outline.begin(), outline.end(), c, Kernel()) != CGAL::ON_BOUNDED_SIDE) continue;
        Triple tri{};
        for (int k = 0; k < 3; ++k) {
            Cdt::Vertex_handle h = f->vertex(k);
            if (h->info() < 0 || size_t(h->info()) >= points.size()) {
                // A crossing of two curve segments: a new point in the
                // triangle's plane.
                MMVector3d x;
                x[u] = h->point().x();
                x[v] = h->point().y();
                x[axis] = (n.Dot(t->GetPoint(0)->GetVector()) - n[u] * x[u] - n[v] * x[v]) / n[axis];
                MStlPoint* p = m_mesh.AddPoint(x, false);
                if (!p) break;
                m_newPoints.push_back(p);
                points.push_back(p);
                h->info() = int(points.size() - 1);
            }
            tri[size_t(k)] = points[size_t(h->info())];
        }
        if (tri[0] && tri[1] && tri[2]) g.result.push_back(tri);
    }
}

void Retriangulator::Apply(Group& g) {
    MStlTriangle* old = g.triangle;
    if (g.result.empty() || !old->IsAlive()) return;
    for (const Triple& tri : g.result) {
        MStlTriangleElement* e = m_container.AddTriangle(tri[0], tri[1], tri[2], old->GetSurface());
        if (!e) continue;
        const bool marked = e->IsMarked();
        e->CopyStateFrom(*old, true, true, true, false, true, true);
        if (marked) e->Mark();  // a marking container's mark stays
    }
    // Replaced triangles go whatever their surface, or their area would be
    // counted twice.
    m_mesh.RemoveTriangle(old);
}

}  // namespace

namespace MSliceRetriangulation {
MStlPoint* Retriangulate(MStlTriangleContainerBase* container, uint32_t snapDistance, MStlSurfaceBorderContour* contour,
                         std::list<MSliceInfo>& slices, const QelSDK::Common::ProgressPtr& progress) {
    if (!container || !container->GetStl() || slices.size() < 2) return nullptr;
    Retriangulator work(*container, snapDistance, progress);
    return work.Run(contour, slices);
}
}  // namespace MSliceRetriangulation
