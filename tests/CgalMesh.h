// Our meshes as CGAL surface meshes, for comparisons with CGAL's own
// algorithms in tests and benchmarks.
#pragma once

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Surface_mesh.h>

#include <vector>

#include "host/MStlBase.h"

using CgalKernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using CgalMesh = CGAL::Surface_mesh<CgalKernel::Point_3>;

inline CgalMesh ToSurfaceMesh(const MStlBase& m) {
    CgalMesh out;
    std::vector<CgalMesh::Vertex_index> vertex(m.GetNumberOfPointSlots());
    for (auto it = m.BeginPoint(); it != m.EndPoint(); ++it)
        vertex[it->GetIndex()] = out.add_vertex(CgalKernel::Point_3(it->GetX(), it->GetY(), it->GetZ()));
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it)
        out.add_face(vertex[it->GetPoint(0)->GetIndex()], vertex[it->GetPoint(1)->GetIndex()],
                     vertex[it->GetPoint(2)->GetIndex()]);
    return out;
}
