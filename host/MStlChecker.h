// Soundness report of a triangle mesh: counts, edge topology, shells,
// volume and area.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class MStlBase;

struct MeshReport {
    uint64_t triangles = 0;
    uint64_t points = 0;
    // Edges (point pairs) used by exactly one triangle.
    uint64_t boundaryEdges = 0;
    // Edges used by more than two triangles.
    uint64_t nonManifoldEdges = 0;
    // Edges used by exactly two triangles that run them the same way.
    uint64_t inconsistentEdges = 0;
    // Triangles with zero area (collinear corners).
    uint64_t degenerateTriangles = 0;
    // Groups of triangles connected through shared edges.
    uint64_t shells = 0;
    // Signed volume in cubic model units, from the exact MStlBase::Volume.
    double volume = 0.0;
    // Area in square model units.
    double area = 0.0;
    // No boundary and no non-manifold edges.
    bool closed = false;
    // No inconsistent edges.
    bool oriented = false;
    // Where the first faulty edge found (boundary, non-manifold or
    // inconsistent) lies: its midpoint in model units.  Meaningful when the
    // mesh is not closed or not oriented.
    double faultAt[3] = {0.0, 0.0, 0.0};
};

// Sorts the directed edges of all triangles once; linear memory, fast for
// millions of triangles.
MeshReport CheckMesh(const MStlBase& mesh);

// Closed and consistently oriented: what a cut of a closed mesh promises.
inline bool IsClosedAndOriented(const MeshReport& report) { return report.closed && report.oriented; }

// One "name: value" line per field.
std::string FormatReport(const MeshReport& report);

// The midpoints, in model units, of the mesh's faulty edges (boundary,
// non-manifold or inconsistent), at most `limit` of them.
std::vector<std::array<double, 3>> FaultyEdgeMidpoints(const MStlBase& mesh, size_t limit = 4096);

// Where a mesh intersects itself: the triangles that cross another triangle
// of the same mesh (sharing a corner or a side is not crossing), found with
// exact predicates.  A cut through such a place has no closed result.
class MSelfIntersections {
public:
    explicit MSelfIntersections(const MStlBase& mesh);
    ~MSelfIntersections();
    uint64_t Pairs() const { return m_pairs; }
    // Distance in model units from `at` (model units) to the nearest crossing
    // triangle; infinity when the mesh does not intersect itself.
    double DistanceTo(const std::array<double, 3>& at) const;
    // The largest such distance over the faulty edges of the meshes given (a
    // mesh may be null): how far the farthest opening of a cut of this mesh
    // lies from a crossing.  Infinity when the mesh does not intersect itself.
    double FarthestOpening(const std::vector<const MStlBase*>& parts) const;
    // A point (model units) of a triangle that crosses another: the centre
    // of the first one found.  Only meaningful when Pairs() is not zero.
    std::array<double, 3> Example() const { return m_example; }

private:
    struct Triangles;
    std::unique_ptr<Triangles> m_triangles;
    uint64_t m_pairs = 0;
    std::array<double, 3> m_example{};
};
