// Our meshes as CGAL surface meshes, for comparisons with CGAL's own
// algorithms in tests and benchmarks.
#pragma once

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>

#include "host/MCgalMesh.h"

using CgalKernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using CgalMesh = CGAL::Surface_mesh<CgalKernel::Point_3>;

inline CgalMesh ToSurfaceMesh(const MStlBase& m) { return QelSDK::Cgal::ToSurfaceMesh<CgalKernel::Point_3>(m); }
