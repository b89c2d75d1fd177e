// Soundness report of a triangle mesh: counts, edge topology, shells,
// volume and area.
#pragma once

#include <cstdint>
#include <string>

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
