#include "host/MStlBorderFiller.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <set>
#include <stdexcept>

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
    bool shared = false;  // several contour points lie here
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

class BorderTriangulation {
public:
    // Appends the contour without consecutive repeated points, unless fewer
    // than `minimum` points remain; whether it was appended.
    bool AddContour(const MStlCutContour& contour, uint32_t minimum);
    bool IsEmpty() const { return m_points.empty(); }
    // The normal of the points' least-squares plane, unless `given`; false
    // when the points span no plane or hold a non-finite coordinate.
    bool FitPlane(MMVector3d& normal, bool given) const;
    // Projects the points onto the plane of the normal.
    void Project(const MMVector3d& normal);
    // The projected segments of each contour, in contour order.
    std::vector<std::vector<std::array<Point2, 2>>> Segments() const;
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
    int ContourDirection(VertexHandle a, VertexHandle b) const;

    std::vector<ContourPoint> m_points;
    std::vector<uint32_t> m_next;  // index of the following point of the same contour
    std::vector<size_t> m_starts;  // index of each contour's first point
    std::vector<Point2> m_projected;
    std::vector<VertexHandle> m_vertexOf;
    // Per region: contour edges with the region on their left minus those
    // with it on their right.
    std::vector<int> m_votes;
    // Whether some region has contour edges running both ways round it:
    // contours nested without alternating in direction (where the mesh
    // passes through itself), which no region-by-region fill closes.
    bool m_mixed = false;
    Cdt m_cdt;
    // The contour edges at vertices where several contour points lie.
    std::set<std::pair<const void*, const void*>> m_sharedEdges;
};

bool BorderTriangulation::AddContour(const MStlCutContour& contour, uint32_t minimum) {
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
        return false;
    }
    for (size_t i = begin; i + 1 < m_points.size(); ++i) m_next.push_back(uint32_t(i + 1));
    m_next.push_back(uint32_t(begin));
    m_starts.push_back(begin);
    return true;
}

bool BorderTriangulation::FitPlane(MMVector3d& normal, bool given) const {
    MMLeastSquarePlane plane;
    plane.Init();
    for (const ContourPoint& p : m_points) {
        if (!IsFinite(p.position)) return false;
        plane.AddPoint(p.position[0], p.position[1], p.position[2]);
    }
    if (given) return true;
    if (!plane.Calculate()) return false;
    normal = plane.GetNormal();
    return true;
}

void BorderTriangulation::Project(const MMVector3d& normal) {
    const MFillView view(normal);
    m_projected.clear();
    m_projected.reserve(m_points.size());
    for (const ContourPoint& p : m_points) {
        const std::array<double, 2> q = view(p.position);
        m_projected.emplace_back(q[0], q[1]);
    }
}

std::vector<std::vector<std::array<Point2, 2>>> BorderTriangulation::Segments() const {
    std::vector<std::vector<std::array<Point2, 2>>> out(m_starts.size());
    for (size_t c = 0; c < m_starts.size(); ++c) {
        const size_t end = c + 1 < m_starts.size() ? m_starts[c + 1] : m_points.size();
        for (size_t i = m_starts[c]; i < end; ++i) out[c].push_back({m_projected[i], m_projected[m_next[i]]});
    }
    return out;
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
        if (m_cdt.number_of_vertices() == before) vh->info().shared = true;
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
        if (a->info().shared || b->info().shared) m_sharedEdges.insert({&*a, &*b});
    }
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

// +1 when a contour runs a -> b, -1 when one runs b -> a, 0 when both or
// neither do.  Where contours touch at a vertex, each of their edges there
// counts.
int BorderTriangulation::ContourDirection(VertexHandle a, VertexHandle b) const {
    if (!a->info().shared && !b->info().shared) {
        if (a->info().next == b->info().index) return 1;
        if (b->info().next == a->info().index) return -1;
        return 0;
    }
    const bool forward = m_sharedEdges.contains({&*a, &*b}), backward = m_sharedEdges.contains({&*b, &*a});
    return forward == backward ? 0 : forward ? 1 : -1;
}

// Floods the faces reachable from `start` without crossing a constraint and
// collects the region's orientation votes; the constrained edges leading to
// unvisited faces are appended to `frontier`.
void BorderTriangulation::FloodRegion(FaceHandle start, int level, std::vector<Edge>& frontier) {
    const int region = int(m_votes.size());
    m_votes.push_back(0);
    std::vector<FaceHandle> stack{start};
    start->info() = {level, region};
    bool positive = false, negative = false;
    while (!stack.empty()) {
        const FaceHandle f = stack.back();
        stack.pop_back();
        for (int i = 0; i < 3; ++i) {
            const FaceHandle n = f->neighbor(i);
            const bool unvisited = n->info().level == -1;
            if (f->is_constrained(i)) {
                // Faces list their corners counter-clockwise, so this face
                // lies left of its edge ccw(i) -> cw(i).
                const VertexHandle a = f->vertex(Cdt::ccw(i)), b = f->vertex(Cdt::cw(i));
                const int direction = ContourDirection(a, b);
                if (direction != 0) {
                    if (direction > 0 ? negative : positive) m_mixed = true;
                    (direction > 0 ? positive : negative) = true;
                }
                m_votes.back() += direction;
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
    if (m_mixed) throw std::runtime_error("contours nested without alternating in direction");
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

bool ProperlyCross(const std::array<Point2, 2>& s, const std::array<Point2, 2>& t) {
    const auto o = [](const Point2& a, const Point2& b, const Point2& c) { return int(CGAL::orientation(a, b, c)); };
    return o(s[0], s[1], t[0]) * o(s[0], s[1], t[1]) < 0 && o(t[0], t[1], s[0]) * o(t[0], t[1], s[1]) < 0;
}

// Which contours cross which (a segment of one passes through a segment of
// the other), by a sweep along the first coordinate; `selfCrossing` tells
// whether a contour crosses itself.
void FindCrossings(const std::vector<std::vector<std::array<Point2, 2>>>& contours,
                   std::vector<std::vector<uint32_t>>& crossing, bool& selfCrossing) {
    struct Item {
        double lo, hi;
        uint32_t contour, index;
    };
    std::vector<Item> items;
    for (uint32_t c = 0; c < contours.size(); ++c)
        for (uint32_t i = 0; i < contours[c].size(); ++i) {
            const auto& s = contours[c][i];
            items.push_back({std::min(s[0].x(), s[1].x()), std::max(s[0].x(), s[1].x()), c, i});
        }
    std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.lo < b.lo; });
    crossing.assign(contours.size(), {});
    selfCrossing = false;
    std::vector<Item> active;
    for (const Item& item : items) {
        std::erase_if(active, [&](const Item& a) { return a.hi < item.lo; });
        const auto& s = contours[item.contour][item.index];
        for (const Item& a : active) {
            const auto& t = contours[a.contour][a.index];
            if (!ProperlyCross(s, t)) continue;
            if (a.contour == item.contour) {
                selfCrossing = true;
                continue;
            }
            auto& mine = crossing[item.contour];
            if (std::find(mine.begin(), mine.end(), a.contour) == mine.end()) {
                mine.push_back(a.contour);
                crossing[a.contour].push_back(item.contour);
            }
        }
        active.push_back(item);
    }
}

}  // namespace

// For a normal along a coordinate axis the basis vectors are coordinate
// axes too, so the projection stays exact.
MFillView::MFillView(const MMVector3d& normal) : m_normal(normal) {
    m_normal.Normalize();
    int smallest = 0;
    for (int i = 1; i < 3; ++i)
        if (std::fabs(m_normal[i]) < std::fabs(m_normal[smallest])) smallest = i;
    MMVector3d axis;
    axis[smallest] = 1.0;
    m_u = m_normal.Cross(axis);
    m_u.Normalize();
    m_v = m_normal.Cross(m_u);
}

int MFillView::Orientation(const std::array<double, 2>& a, const std::array<double, 2>& b,
                           const std::array<double, 2>& c) {
    return int(CGAL::orientation(Point2(a[0], a[1]), Point2(b[0], b[1]), Point2(c[0], c[1])));
}

MStlBorderFiller::MStlBorderFiller() = default;
MStlBorderFiller::~MStlBorderFiller() = default;

// Contours that cross one another (where a mesh passes through itself) have
// no common triangulation, and their nesting need not alternate in
// direction as holes and islands do.  Each contour is filled with the
// contours nested directly in it that run the other way and cross nothing
// of its group (its holes, and their islands); any other contour is filled
// on its own, so that the fills overlap where the mesh does.  A contour
// crossing itself cannot be filled from its own points.
bool MStlBorderFiller::FillInGroups(const std::vector<const MStlCutContour*>& contours, uint32_t minimum) {
    std::vector<const MStlCutContour*> kept;
    BorderTriangulation all;
    for (const MStlCutContour* c : contours)
        if (all.AddContour(*c, minimum)) kept.push_back(c);
    MMVector3d normal = m_normal;
    if (all.IsEmpty() || !all.FitPlane(normal, m_hasNormal)) return false;
    all.Project(normal);
    const auto segments = all.Segments();
    std::vector<std::vector<uint32_t>> crossing;
    bool selfCrossing = false;
    FindCrossings(segments, crossing, selfCrossing);
    if (selfCrossing) return false;
    const size_t n = kept.size();
    std::vector<double> area(n, 0.0);
    std::vector<std::array<double, 4>> box(n, {INFINITY, -INFINITY, INFINITY, -INFINITY});
    for (size_t c = 0; c < n; ++c)
        for (const auto& s : segments[c]) {
            area[c] += 0.5 * (s[0].x() * s[1].y() - s[1].x() * s[0].y());
            box[c] = {std::min(box[c][0], s[0].x()), std::max(box[c][1], s[0].x()), std::min(box[c][2], s[0].y()),
                      std::max(box[c][3], s[0].y())};
        }
    auto crosses = [&](size_t a, size_t b) {
        return std::find(crossing[a].begin(), crossing[a].end(), uint32_t(b)) != crossing[a].end();
    };
    // Whether contour `inner` lies in `outer` (which it does not cross): a
    // point of it off the outer contour, by the crossing number.
    auto inside = [&](size_t inner, size_t outer) {
        const auto& b = box[outer];
        const auto& i = box[inner];
        if (i[0] < b[0] || i[1] > b[1] || i[2] < b[2] || i[3] > b[3]) return false;
        for (const auto& probe : segments[inner]) {
            const Point2& q = probe[0];
            bool on = false, odd = false;
            for (const auto& s : segments[outer]) {
                const CGAL::Orientation o = CGAL::orientation(s[0], s[1], q);
                if (o == CGAL::COLLINEAR && CGAL::collinear_are_ordered_along_line(s[0], q, s[1])) {
                    on = true;
                    break;
                }
                if ((s[0].y() > q.y()) != (s[1].y() > q.y()) && (o == CGAL::LEFT_TURN) == (s[1].y() > s[0].y()))
                    odd = !odd;
            }
            if (!on) return odd;
        }
        return false;
    };
    std::vector<size_t> order(n);
    for (size_t c = 0; c < n; ++c) order[c] = c;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return std::fabs(area[a]) > std::fabs(area[b]); });
    std::vector<int> group(n, -1);
    int groups = 0;
    for (size_t k = 0; k < n; ++k) {
        const size_t c = order[k];
        // The smallest contour holding this one.
        size_t parent = n;
        for (size_t j = 0; j < k; ++j) {
            const size_t d = order[j];
            if (!crosses(c, d) && inside(c, d) && (parent == n || std::fabs(area[d]) < std::fabs(area[parent])))
                parent = d;
        }
        bool joins = parent != n && (area[c] > 0) != (area[parent] > 0);
        for (size_t j = 0; j < k && joins; ++j)
            joins = group[order[j]] != group[parent] || !crosses(c, order[j]);
        group[c] = joins ? group[parent] : groups++;
    }
    for (int g = 0; g < groups; ++g) {
        BorderTriangulation part;
        for (size_t c = 0; c < n; ++c)
            if (group[c] == g) part.AddContour(*kept[c], minimum);
        part.Project(normal);
        part.Triangulate();
        part.Emit(m_result);
    }
    m_crossing = true;
    return true;
}

bool MStlBorderFiller::Operate() {
    m_result.clear();
    m_crossing = false;
    const uint32_t minimum = std::max<uint32_t>(m_params.minimumPoints, 3);
    std::vector<const MStlCutContour*> contours;
    if (m_contour) contours.push_back(m_contour);
    if (m_border)
        for (const MStlCutContour* c = m_border->GetFirstContour(); c; c = MStlCutBorder::Next(c)) contours.push_back(c);
    try {
        BorderTriangulation triangulation;
        for (const MStlCutContour* c : contours) triangulation.AddContour(*c, minimum);
        MMVector3d normal = m_normal;
        if (triangulation.IsEmpty() || !triangulation.FitPlane(normal, m_hasNormal)) return false;
        triangulation.Project(normal);
        triangulation.Triangulate();
        triangulation.Emit(m_result);
    } catch (const std::exception&) {
        m_result.clear();
        try {
            if (!FillInGroups(contours, minimum)) m_result.clear();
        } catch (const std::exception&) {
            m_result.clear();
        }
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
