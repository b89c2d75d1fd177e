// Our integer meshes as CGAL surface meshes.  Only .cpp files that already
// pay for CGAL's headers include this; public headers never do.
#pragma once

#include <CGAL/Surface_mesh.h>

#include <vector>

#include "host/MStlBase.h"

namespace QelSDK::Cgal {

// The triangles of `m` as faces of a surface mesh over `Point` (any CGAL
// point type constructible from three integers).  Points keep their
// coordinates exactly; a triangle the halfedge structure cannot take (a
// second face on an edge already used twice in the same direction) is
// skipped and counted in `*rejected` when given.
template <class Point>
CGAL::Surface_mesh<Point> ToSurfaceMesh(const MStlBase& m, uint64_t* rejected = nullptr) {
    using Mesh = CGAL::Surface_mesh<Point>;
    Mesh out;
    out.reserve(typename Mesh::size_type(m.GetNumberOfPoints()), typename Mesh::size_type(3 * m.GetNumberOfTriangles() / 2),
                typename Mesh::size_type(m.GetNumberOfTriangles()));
    std::vector<typename Mesh::Vertex_index> vertex(m.GetNumberOfPointSlots());
    for (auto it = m.BeginPoint(); it != m.EndPoint(); ++it)
        vertex[it->GetIndex()] = out.add_vertex(Point(it->GetX(), it->GetY(), it->GetZ()));
    uint64_t skipped = 0;
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it) {
        const auto f = out.add_face(vertex[it->GetPoint(0)->GetIndex()], vertex[it->GetPoint(1)->GetIndex()],
                                    vertex[it->GetPoint(2)->GetIndex()]);
        if (f == Mesh::null_face()) ++skipped;
    }
    if (rejected) *rejected = skipped;
    return out;
}

}  // namespace QelSDK::Cgal
