// The mesh-to-mesh trim against CGAL's clip (corefinement) of the same
// integer meshes: the surface of A kept inside B must have the same area.
#include <gtest/gtest.h>

#include <CGAL/Exact_predicates_inexact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/clip.h>
#include <CGAL/Polygon_mesh_processing/measure.h>
#include <CGAL/Surface_mesh.h>

#include <vector>

#include "MStlBaseOperatorTrimStlToStl.h"
#include "host/MStlBase.h"
#include "tests/CgalMesh.h"
#include "host/MStlGenerate.h"

namespace {

using Kernel = CgalKernel;
using Mesh = CgalMesh;
namespace PMP = CGAL::Polygon_mesh_processing;


// Trims a copy of A against B with both tools and compares the kept areas.
// Our new points lie on the integer grid, which moves the kept area by about
// the cut's length times a grid step: relative to the area that falls with
// the size, so the meshes span some ten million steps (at a million steps
// the two spheres differ by 1.2e-6, at ten million by 1.2e-7).
void ExpectSameKeptArea(const MStlBase& a, const MStlBase& b) {
    Mesh clipped = ToSurfaceMesh(a), clipper = ToSurfaceMesh(b);
    ASSERT_TRUE(PMP::clip(clipped, clipper, CGAL::parameters::clip_volume(false)));
    const double reference = CGAL::to_double(PMP::area(clipped));

    MStlBase trimmed, tool;
    trimmed.Copy(a);
    tool.Copy(b);
    MStlBaseOperatorTrimStlToStl trim;
    trim.SetStl(0, &trimmed, true, false);
    trim.SetStl(1, &tool, false, false);
    ASSERT_TRUE(trim.Operate());
    EXPECT_EQ(tool.GetNumberOfTriangles(), b.GetNumberOfTriangles()) << "B is not trimmed";

    ASSERT_GT(reference, 0.0);
    EXPECT_LT(reference, a.Area());
    EXPECT_NEAR(trimmed.Area(), reference, 1e-6 * reference);
}

}  // namespace

TEST(TrimCgal, TwoOverlappingCubes) {
    MStlBase a, b;
    GenerateBox(a, {0, 0, 0}, {10000000, 10000000, 10000000}, 4);
    GenerateBox(b, {4123457, 2987651, -1234573}, {15123457, 13987651, 8765427}, 5);
    ExpectSameKeptArea(a, b);
    ExpectSameKeptArea(b, a);
}

TEST(TrimCgal, CubeAndSphere) {
    MStlBase cube, sphere;
    GenerateBox(cube, {-3000011, -4123437, -2500073}, {11000037, 9000071, 8000113}, 6);
    GenerateSphere(sphere, 1e7, 8000, {123457.0, -234561.0, 345679.0});
    ExpectSameKeptArea(cube, sphere);
    ExpectSameKeptArea(sphere, cube);
}

TEST(TrimCgal, TwoSpheres) {
    MStlBase a, b;
    GenerateSphere(a, 1e7, 8000);
    GenerateSphere(b, 0.9e7, 6000, {1.01e7, 0.0317e7, -0.0213e7});
    ExpectSameKeptArea(a, b);
    ExpectSameKeptArea(b, a);
}
