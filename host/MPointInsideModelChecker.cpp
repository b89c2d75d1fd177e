#include "host/MPointInsideModelChecker.h"

#include <CGAL/AABB_traits.h>
#include <CGAL/AABB_tree.h>
#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Side_of_triangle_mesh.h>
#include <CGAL/Surface_mesh.h>

#include <cmath>

#include "host/MCgalMesh.h"

namespace {
using Kernel = CGAL::Exact_predicates_inexact_constructions_kernel;
using Point = Kernel::Point_3;
using Mesh = CGAL::Surface_mesh<Point>;
using Side = CGAL::Side_of_triangle_mesh<Mesh, Kernel>;
}  // namespace

struct MPointInsideModelChecker::Impl {
    Mesh mesh;
    std::unique_ptr<Side> side;
};

MPointInsideModelChecker::MPointInsideModelChecker() = default;
MPointInsideModelChecker::~MPointInsideModelChecker() = default;

bool MPointInsideModelChecker::Preprocess(const MStlBase& stl) {
    m_impl.reset();
    if (stl.GetNumberOfTriangles() == 0) return false;
    auto impl = std::make_unique<Impl>();
    uint64_t rejected = 0;
    impl->mesh = QelSDK::Cgal::ToSurfaceMesh<Point>(stl, &rejected);
    if (rejected != 0 || !CGAL::is_closed(impl->mesh)) return false;
    impl->side = std::make_unique<Side>(impl->mesh);
    m_impl = std::move(impl);
    return true;
}

bool MPointInsideModelChecker::IsPreprocessed() const { return m_impl != nullptr; }

MPointInsideModelChecker::EQueryResult MPointInsideModelChecker::QueryPoint(double x, double y, double z) const {
    if (!m_impl) return eNotPreprocessed;
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(z)) return eOutside;
    switch ((*m_impl->side)(Point(x, y, z))) {
        case CGAL::ON_BOUNDED_SIDE: return eInside;
        case CGAL::ON_BOUNDARY: return eOnBoundary;
        default: return eOutside;
    }
}

MPointInsideModelChecker::EQueryResult MPointInsideModelChecker::QueryPoint(int32_t x, int32_t y, int32_t z) const {
    return QueryPoint(double(x), double(y), double(z));
}
