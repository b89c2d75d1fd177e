#include "host/MStlBorderFiller.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <CGAL/Constrained_Delaunay_triangulation_2.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Spatial_sort_traits_adapter_2.h>
#include <CGAL/Triangulation_face_base_with_info_2.h>
#include <CGAL/Triangulation_vertex_base_with_info_2.h>
#include <CGAL/property_map.h>
#include <CGAL/spatial_sort.h>

namespace {

using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point2 = Kernel::Point_2;

// A vertex stands for the first of the contour points at its position
// (several project onto one vertex when they share a position).  `next` is
// the index of the vertex following that point on its contour; it is kept
// here because the face walks read the vertices anyway.
struct VertexInfo {
    uint32_t index = 0;
    uint32_t next = 0;
    MStlPoint* point = nullptr;
};
using VertexBase = CGAL::Triangulation_vertex_base_with_info_2<VertexInfo, Kernel>;

struct FaceInfo {
    int level = -1;   // number of constraints crossed from the outside
    int region = -1;  // connected set of faces between constraints
    bool IsInside() const { return level % 2 == 1; }
};
using FaceBase = CGAL::Triangulation_face_base_with_info_2<FaceInfo, Kernel,
                                                            CGAL::Constrained_triangulation_face_base_2<Kernel>>;
using Tds = CGAL::Triangulation_data_structure_2<VertexBase, FaceBase>;
// Crossing constraints would need constructed intersection points that are
// no mesh points: such input throws and is reported as unfillable.
using Cdt = CGAL::Constrained_Delaunay_triangulation_2<Kernel, Tds,
                                                       CGAL::No_constraint_intersection_requiring_constructions_tag>;
using VertexHandle = Cdt::Vertex_handle;
using FaceHandle = Cdt::Face_handle;
using Edge = Cdt::Edge;

bool IsFinite(const MMVector3d& v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

// An orthonormal basis of the plane.  For a normal along a coordinate axis
// the basis vectors are coordinate axes too, so the projection stays exact.
void PlaneBasis(const MMVector3d& normal, MMVector3d& u, MMVector3d& v) {
    int smallest = 0;
    for (int i = 1; i < 3; ++i)
        if (std::fabs(normal[i]) < std::fabs(normal[smallest])) smallest = i;
    MMVector3d axis;
    axis[smallest] = 1.0;
    u = normal.Cross(axis);
    u.Normalize();
    v = normal.Cross(u);
}

class BorderTriangulation {
public:
    // Appends the contour without consecutive repeated points, unless fewer
    // than `minimum` points remain.
    void AddContour(const MStlCutContour& contour, uint32_t minimum);
    bool IsEmpty() const { return m_points.empty(); }
    // False when the points span no plane or hold a non-finite coordinate.
    bool Project();
    // Throws when constraints cross.
    void Triangulate();
    void Emit(std::vector<std::array<MStlPoint*, 3>>& out);

private:
    struct ContourPoint {
        MMVector3d position;
        MStlPoint* point;
    };
    void InsertVertices();
    void MarkNesting();
    void FloodRegion(FaceHandle start, int level, std::vector<Edge>& frontier);
    static int ContourDirection(VertexHandle a, VertexHandle b);

    std::vector<ContourPoint> m_points;
    std::vector<uint32_t> m_next;  // index of the following point of the same contour
    std::vector<Point2> m_projected;
    std::vector<VertexHandle> m_vertexOf;
    // Per region: contour edges with the region on their left minus those
    // with it on their right.
    std::vector<int> m_votes;
    Cdt m_cdt;
};

void BorderTriangulation::AddContour(const MStlCutContour& contour, uint32_t minimum) {
    const size_t begin = m_points.size();
    const MStlCutBorderPoint* p = contour.GetFirstPoint();
    for (uint32_t i = 0; i < contour.GetNumberOfPoints(); ++i, p = p->GetNext()) {
        const MMVector3d v{p->GetX(), p->GetY(), p->GetZ()};
        if (m_points.size() == begin || !(m_points.back().position == v)) m_points.push_back({v, p->GetData()});
    }
    // The ring closes on itself: a last point equal to the first repeats it.
    while (m_points.size() > begin + 1 && m_points.back().position == m_points[begin].position) m_points.pop_back();
    if (m_points.size() - begin < minimum) {
        m_points.resize(begin);
        return;
    }
    for (size_t i = begin; i + 1 < m_points.size(); ++i) m_next.push_back(uint32_t(i + 1));
    m_next.push_back(uint32_t(begin));
}

bool BorderTriangulation::Project() {
    MMLeastSquarePlane plane;
    plane.Init();
    for (const ContourPoint& p : m_points) {
        if (!IsFinite(p.position)) return false;
        plane.AddPoint(p.position[0], p.position[1], p.position[2]);
    }
    if (!plane.Calculate()) return false;
    MMVector3d u, v;
    PlaneBasis(plane.GetNormal(), u, v);
    m_projected.reserve(m_points.size());
    for (const ContourPoint& p : m_points) m_projected.emplace_back(p.position.Dot(u), p.position.Dot(v));
    return true;
}

// Inserts in spatial order for speed.  Points that project onto one position
// share one vertex, which keeps the first of them in contour order.
void BorderTriangulation::InsertVertices() {
    std::vector<std::size_t> order(m_points.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    using Traits = CGAL::Spatial_sort_traits_adapter_2<Kernel, CGAL::Pointer_property_map<Point2>::type>;
    CGAL::spatial_sort(order.begin(), order.end(), Traits(CGAL::make_property_map(m_projected)));
    m_vertexOf.assign(m_points.size(), VertexHandle());
    FaceHandle hint;
    for (const std::size_t i : order) {
        const auto before = m_cdt.number_of_vertices();
        const VertexHandle vh = m_cdt.insert(m_projected[i], hint);
        if (m_cdt.number_of_vertices() != before || i < vh->info().index) vh->info().index = uint32_t(i);
        m_vertexOf[i] = vh;
        hint = vh->face();
    }
    for (size_t i = 0; i < m_points.size(); ++i) {
        VertexInfo& info = m_vertexOf[i]->info();
        if (info.index != i) continue;
        info.point = m_points[i].point;
        info.next = m_vertexOf[m_next[i]]->info().index;
    }
}

void BorderTriangulation::Triangulate() {
    InsertVertices();
    for (size_t i = 0; i < m_points.size(); ++i) {
        const VertexHandle a = m_vertexOf[i], b = m_vertexOf[m_next[i]];
        if (a == b) continue;
        FaceHandle f;
        int opposite;
        // Most contour edges already are Delaunay edges: marking them
        // directly skips the collinearity search of a general insertion.
        if (m_cdt.dimension() == 2 && m_cdt.is_edge(a, b, f, opposite)) {
            f->set_constraint(opposite, true);
            f->neighbor(opposite)->set_constraint(m_cdt.mirror_index(f, opposite), true);
        } else {
            m_cdt.insert_constraint(a, b);
        }
    }
}

// +1 when a contour runs a -> b, -1 when one runs b -> a, 0 when unknown
// (an edge at merged vertices).
int BorderTriangulation::ContourDirection(VertexHandle a, VertexHandle b) {
    if (a->info().next == b->info().index) return 1;
    if (b->info().next == a->info().index) return -1;
    return 0;
}

// Floods the faces reachable from `start` without crossing a constraint and
// collects the region's orientation votes; the constrained edges leading to
// unvisited faces are appended to `frontier`.
void BorderTriangulation::FloodRegion(FaceHandle start, int level, std::vector<Edge>& frontier) {
    const int region = int(m_votes.size());
    m_votes.push_back(0);
    std::vector<FaceHandle> stack{start};
    start->info() = {level, region};
    while (!stack.empty()) {
        const FaceHandle f = stack.back();
        stack.pop_back();
        for (int i = 0; i < 3; ++i) {
            const FaceHandle n = f->neighbor(i);
            const bool unvisited = n->info().level == -1;
            if (f->is_constrained(i)) {
                // Faces list their corners counter-clockwise, so this face
                // lies left of its edge ccw(i) -> cw(i).
                m_votes.back() += ContourDirection(f->vertex(Cdt::ccw(i)), f->vertex(Cdt::cw(i)));
                if (unvisited) frontier.emplace_back(f, i);
            } else if (unvisited) {
                n->info() = {level, region};
                stack.push_back(n);
            }
        }
    }
}

// Gives every face its nesting level: the number of constraints crossed on
// the way from the infinite face.  New faces start at level -1.
void BorderTriangulation::MarkNesting() {
    std::vector<Edge> frontier, next;
    FloodRegion(m_cdt.infinite_face(), 0, frontier);
    for (int level = 1; !frontier.empty(); ++level) {
        next.clear();
        for (const Edge& e : frontier) {
            const FaceHandle n = e.first->neighbor(e.second);
            if (n->info().level == -1) FloodRegion(n, level, next);
        }
        frontier.swap(next);
    }
}

void BorderTriangulation::Emit(std::vector<std::array<MStlPoint*, 3>>& out) {
    if (m_cdt.dimension() != 2) return;  // all points on one line
    MarkNesting();
    long total = 0;
    for (const int v : m_votes) total += v;
    for (auto f = m_cdt.finite_faces_begin(); f != m_cdt.finite_faces_end(); ++f) {
        if (!f->info().IsInside()) continue;
        // A region none of whose edges tells the direction follows the rest.
        const int vote = m_votes[size_t(f->info().region)];
        const bool counterClockwise = vote != 0 ? vote > 0 : total >= 0;
        std::array<MStlPoint*, 3> t;
        for (int k = 0; k < 3; ++k) t[size_t(k)] = f->vertex(k)->info().point;
        if (!counterClockwise) std::swap(t[1], t[2]);
        if (!t[0] || !t[1] || !t[2] || t[0] == t[1] || t[1] == t[2] || t[0] == t[2]) continue;
        out.push_back(t);
    }
}

}  // namespace

MStlBorderFiller::MStlBorderFiller() = default;
MStlBorderFiller::~MStlBorderFiller() = default;

bool MStlBorderFiller::Operate() {
    m_result.clear();
    const uint32_t minimum = std::max<uint32_t>(m_params.minimumPoints, 3);
    try {
        BorderTriangulation triangulation;
        if (m_contour) triangulation.AddContour(*m_contour, minimum);
        if (m_border)
            for (const MStlCutContour* c = m_border->GetFirstContour(); c; c = MStlCutBorder::Next(c))
                triangulation.AddContour(*c, minimum);
        if (triangulation.IsEmpty() || !triangulation.Project()) return false;
        triangulation.Triangulate();
        triangulation.Emit(m_result);
    } catch (const std::exception&) {
        m_result.clear();
        return false;
    }
    if (m_result.empty()) return false;
    if (m_addTriangles) {
        if (!m_surface && !m_mesh) return false;
        for (const auto& t : m_result) {
            if (m_surface) m_surface->AddTriangle(t[0], t[1], t[2]);
            else m_mesh->AddTriangle(t[0], t[1], t[2]);
        }
    }
    return true;
}
