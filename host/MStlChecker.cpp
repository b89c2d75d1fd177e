#include "host/MStlChecker.h"

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/self_intersections.h>

#include <tbb/parallel_sort.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <vector>

#include "host/MCgalMesh.h"
#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MUnionFind.h"

namespace {

// One triangle side: the undirected edge as (lower point index, higher point
// index), whether the triangle runs it from lower to higher, and the
// triangle's slot.
struct EdgeUse {
    uint64_t edge;
    uint32_t triangle;
    bool ascending;
};

std::vector<EdgeUse> CollectEdgeUses(const MStlBase& mesh) {
    std::vector<EdgeUse> uses;
    uses.reserve(3 * mesh.GetNumberOfTriangles());
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        for (int i = 0; i < 3; ++i) {
            const uint64_t a = t->GetPoint(i)->GetIndex(), b = t->GetPoint((i + 1) % 3)->GetIndex();
            uses.push_back({a < b ? a << 32 | b : b << 32 | a, t->GetIndex(), a < b});
        }
    tbb::parallel_sort(uses.begin(), uses.end(), [](const EdgeUse& x, const EdgeUse& y) { return x.edge < y.edge; });
    return uses;
}

// Classifies each run of uses of one edge and joins the triangles on it.
// Returns the first use of a faulty edge, or null.
const EdgeUse* AnalyseEdges(const std::vector<EdgeUse>& uses, MeshReport& report, MUnionFind& shells) {
    const EdgeUse* firstFault = nullptr;
    for (size_t begin = 0, end; begin < uses.size(); begin = end) {
        size_t ascending = 0;
        for (end = begin; end < uses.size() && uses[end].edge == uses[begin].edge; ++end) {
            ascending += uses[end].ascending;
            shells.Join(uses[begin].triangle, uses[end].triangle);
        }
        const size_t count = end - begin;
        if (count == 1) ++report.boundaryEdges;
        if (count > 2) ++report.nonManifoldEdges;
        if (count == 2 && ascending != 1) ++report.inconsistentEdges;
        if (!firstFault && (count != 2 || ascending != 1)) firstFault = &uses[begin];
    }
    return firstFault;
}

// The midpoint of the use's edge in model units.
void LocateFault(const MStlBase& mesh, const EdgeUse& use, double at[3]) {
    const MStlTriangleElement* t = mesh.GetTriangleBySlot(use.triangle);
    if (!t) return;
    const double unit = QelSDK::Common::MInternalUnits::GetInverse();
    for (int i = 0; i < 3; ++i) {
        const MStlPoint* a = t->GetPoint(i);
        const MStlPoint* b = t->GetPoint((i + 1) % 3);
        const uint64_t x = a->GetIndex(), y = b->GetIndex();
        if ((x < y ? x << 32 | y : y << 32 | x) != use.edge) continue;
        for (int k = 0; k < 3; ++k) at[k] = 0.5 * (double(a->Get(k)) + double(b->Get(k))) * unit;
        return;
    }
}

uint64_t CountShells(const MStlBase& mesh, MUnionFind& shells) {
    uint64_t count = 0;
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        count += shells.Find(t->GetIndex()) == t->GetIndex();
    return count;
}

uint64_t CountDegenerate(const MStlBase& mesh) {
    uint64_t count = 0;
    MMVector3d normal;
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        count += !t->CalculateNormal(normal);
    return count;
}

}  // namespace

MeshReport CheckMesh(const MStlBase& mesh) {
    MeshReport report;
    report.triangles = mesh.GetNumberOfTriangles();
    report.points = mesh.GetNumberOfPoints();
    MUnionFind shells(mesh.GetNumberOfTriangleSlots());
    const std::vector<EdgeUse> uses = CollectEdgeUses(mesh);
    if (const EdgeUse* fault = AnalyseEdges(uses, report, shells)) LocateFault(mesh, *fault, report.faultAt);
    report.shells = CountShells(mesh, shells);
    report.degenerateTriangles = CountDegenerate(mesh);
    const double unit = QelSDK::Common::MInternalUnits::GetInverse();
    report.volume = mesh.Volume() * unit * unit * unit;
    report.area = mesh.Area() * unit * unit;
    report.closed = report.boundaryEdges == 0 && report.nonManifoldEdges == 0;
    report.oriented = report.inconsistentEdges == 0;
    return report;
}

std::string FormatReport(const MeshReport& r) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "triangles: %llu\npoints: %llu\nboundary edges: %llu\nnon-manifold edges: %llu\n"
                  "inconsistent edges: %llu\ndegenerate triangles: %llu\nshells: %llu\nvolume: %.6f\n"
                  "area: %.6f\nclosed: %s\noriented: %s\n",
                  (unsigned long long)r.triangles, (unsigned long long)r.points,
                  (unsigned long long)r.boundaryEdges, (unsigned long long)r.nonManifoldEdges,
                  (unsigned long long)r.inconsistentEdges, (unsigned long long)r.degenerateTriangles,
                  (unsigned long long)r.shells, r.volume, r.area, r.closed ? "yes" : "no",
                  r.oriented ? "yes" : "no");
    return text;
}

std::vector<std::array<double, 3>> FaultyEdgeMidpoints(const MStlBase& mesh, size_t limit) {
    std::vector<std::array<double, 3>> points;
    const std::vector<EdgeUse> uses = CollectEdgeUses(mesh);
    for (size_t begin = 0, end; begin < uses.size() && points.size() < limit; begin = end) {
        size_t ascending = 0;
        for (end = begin; end < uses.size() && uses[end].edge == uses[begin].edge; ++end) ascending += uses[end].ascending;
        if (end - begin == 2 && ascending == 1) continue;
        std::array<double, 3> at{};
        LocateFault(mesh, uses[begin], at.data());
        points.push_back(at);
    }
    return points;
}

struct MSelfIntersections::Triangles {
    std::vector<CGAL::Epick::Triangle_3> crossing;
};

MSelfIntersections::MSelfIntersections(const MStlBase& mesh) : m_triangles(std::make_unique<Triangles>()) {
    using Point = CGAL::Epick::Point_3;
    const CGAL::Surface_mesh<Point> surface = QelSDK::Cgal::ToSurfaceMesh<Point>(mesh);
    using Face = CGAL::Surface_mesh<Point>::Face_index;
    std::vector<std::pair<Face, Face>> pairs;
    CGAL::Polygon_mesh_processing::self_intersections(surface, std::back_inserter(pairs));
    m_pairs = pairs.size();
    std::vector<Face> faces;
    for (const auto& [a, b] : pairs) faces.insert(faces.end(), {a, b});
    std::sort(faces.begin(), faces.end());
    faces.erase(std::unique(faces.begin(), faces.end()), faces.end());
    for (Face f : faces) {
        auto h = surface.halfedge(f);
        const Point a = surface.point(surface.target(h)), b = surface.point(surface.target(surface.next(h))),
                    c = surface.point(surface.source(h));
        m_triangles->crossing.emplace_back(a, b, c);
    }
    if (!pairs.empty()) {
        const double unit = QelSDK::Common::MInternalUnits::GetInverse();
        const auto& first = m_triangles->crossing.front();
        for (int k = 0; k < 3; ++k)
            m_example[size_t(k)] = (first[0][k] + first[1][k] + first[2][k]) / 3.0 * unit;
    }
}

MSelfIntersections::~MSelfIntersections() = default;

double MSelfIntersections::DistanceTo(const std::array<double, 3>& at) const {
    const double unit = QelSDK::Common::MInternalUnits::GetInverse();
    const CGAL::Epick::Point_3 p(at[0] / unit, at[1] / unit, at[2] / unit);
    double nearest = std::numeric_limits<double>::infinity();
    for (const auto& t : m_triangles->crossing)
        nearest = std::min(nearest, CGAL::squared_distance(p, t));
    return std::sqrt(nearest) * unit;
}

double MSelfIntersections::FarthestOpening(const std::vector<const MStlBase*>& parts) const {
    if (m_pairs == 0) return std::numeric_limits<double>::infinity();
    double farthest = 0.0;
    for (const MStlBase* part : parts)
        if (part)
            for (const auto& at : FaultyEdgeMidpoints(*part)) farthest = std::max(farthest, DistanceTo(at));
    return farthest;
}
