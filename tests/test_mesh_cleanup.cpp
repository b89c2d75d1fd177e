// The small-triangle filter and the noise-shell removal.
#include <gtest/gtest.h>

#include <CGAL/Polygon_mesh_processing/self_intersections.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "CgalMesh.h"
#include "TestMeshes.h"
#include "host/MStlBaseOperatorFixer.h"
#include "host/MStlOperatorSmallTrianglesFilter.h"

namespace {

MStlOperatorSmallTrianglesFilter::EResult Filter(MStlBase& mesh, QelSDK::Common::ProgressPtr progress = nullptr) {
    MStlOperatorSmallTrianglesFilter filter;
    filter.SetAllParameters(10.0, 0.1, 100000.0, 0, true);
    filter.SetStlItem(MStlItem(&mesh));
    return filter.Operate(progress);
}

// Shortest edge and smallest height over the longest edge of any triangle.
struct Shape {
    double shortestEdge = 1e300;
    double height = 1e300;
};
Shape WorstShape(const MStlBase& mesh) {
    Shape s;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        double length[3];
        for (int e = 0; e < 3; ++e) length[e] = (it->GetPoint((e + 1) % 3)->GetVector() - it->GetPoint(e)->GetVector()).Length();
        const double longest = *std::max_element(length, length + 3);
        s.shortestEdge = std::min(s.shortestEdge, *std::min_element(length, length + 3));
        s.height = std::min(s.height, it->GetAreaVector().Length() / longest);
    }
    return s;
}

// Replaces triangle t = (a, b, c) by three triangles around a new point m.
MStlPoint* SplitAt(MStlBase& mesh, MStlTriangle* t, int32_t x, int32_t y, int32_t z) {
    MStlPoint* a = t->GetPoint(0);
    MStlPoint* b = t->GetPoint(1);
    MStlPoint* c = t->GetPoint(2);
    mesh.RemoveTriangle(t);
    MStlPoint* m = mesh.AddPoint(x, y, z);
    mesh.AddTriangle(a, b, m);
    mesh.AddTriangle(b, c, m);
    mesh.AddTriangle(c, a, m);
    return m;
}

// Triangles with an edge shorter than `length`.
uint64_t TrianglesWithEdgesBelow(const MStlBase& mesh, double length) {
    uint64_t n = 0;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        for (int e = 0; e < 3; ++e)
            if ((it->GetPoint((e + 1) % 3)->GetVector() - it->GetPoint(e)->GetVector()).Length() < length) {
                ++n;
                break;
            }
    return n;
}

// A top-face triangle of the box with its corners.
MStlTriangle* TopTriangle(const MStlBase& mesh, int32_t top) {
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        if (it->GetPoint(0)->GetZ() == top && it->GetPoint(1)->GetZ() == top && it->GetPoint(2)->GetZ() == top)
            return *it;
    return nullptr;
}

}  // namespace

// Whether p lies strictly inside triangle t of the face x = 0.
bool InsideOnSide(const MStlTriangle* t, int64_t y, int64_t z) {
    int sign = 0;
    for (int e = 0; e < 3; ++e) {
        const MStlPoint* a = t->GetPoint(e);
        const MStlPoint* b = t->GetPoint((e + 1) % 3);
        const int64_t cross = (b->GetY() - a->GetY()) * (z - a->GetZ()) - (b->GetZ() - a->GetZ()) * (y - a->GetY());
        const int s = cross > 0 ? 1 : cross < 0 ? -1 : 0;
        if (s == 0 || (sign != 0 && s != sign)) return false;
        sign = s;
    }
    return true;
}

// A box 999 units deep, so that its side faces' diagonals pass lattice
// points at a hair's breadth.  Needles (a point 3 units from a corner on an
// edge), a sliver (a point 0.0007 units beside a diagonal) and a degenerate
// triangle (a point exactly on an edge) all go; the box stays closed,
// oriented, and exactly as big, since every change stays in a face.
TEST(SmallTrianglesFilter, SliversOnFlatFacesGo) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {1000, 999, 1000}, 1);
    box.Update();
    const uint64_t before = box.GetNumberOfTriangles();
    {
        MStlTriangle* t = TopTriangle(box, 1000);
        MStlPoint* a = t->GetPoint(0);
        MStlPoint* b = t->GetPoint(1);
        const MMVector3d d = b->GetVector() - a->GetVector();
        const double step = 3.0 / d.Length();
        MStlPoint* m = box.AddPoint(int32_t(a->GetX() + std::lround(d[0] * step)),
                                    int32_t(a->GetY() + std::lround(d[1] * step)), 1000);
        ASSERT_EQ(box.InsertPointBetweenPoints(m, a, b), 2);
    }
    bool split = false;
    for (auto it = box.BeginTriangle(); it != box.EndTriangle() && !split; ++it) {
        const MStlTriangle* t = *it;
        if (t->GetPoint(0)->GetX() != 0 || t->GetPoint(1)->GetX() != 0 || t->GetPoint(2)->GetX() != 0) continue;
        if (InsideOnSide(t, 998, 999)) {
            SplitAt(box, *it, 0, 998, 999);
            split = true;
        }
    }
    ASSERT_TRUE(split);
    split = false;
    for (auto it = box.BeginTriangle(); it != box.EndTriangle(); ++it) {
        const MStlTriangle* t = *it;
        if (t->GetPoint(0)->GetZ() != 0 || t->GetPoint(1)->GetZ() != 0 || t->GetPoint(2)->GetZ() != 0) continue;
        for (int e = 0; e < 3 && !split; ++e) {
            const MStlPoint *a = t->GetPoint(e), *b = t->GetPoint((e + 1) % 3);
            if ((a->GetX() + b->GetX()) % 2 || (a->GetY() + b->GetY()) % 2) continue;
            // On the edge's midpoint: the piece on that edge has no area,
            // the neighbour across it keeps the unsplit edge.
            SplitAt(box, *it, (a->GetX() + b->GetX()) / 2, (a->GetY() + b->GetY()) / 2, 0);
            split = true;
        }
        if (split) break;
    }
    box.Update();
    ASSERT_EQ(CheckMesh(box).degenerateTriangles, 1u);
    ASSERT_LT(WorstShape(box).shortestEdge, 10.0);
    ASSERT_LT(WorstShape(box).height, 0.001);

    ASSERT_EQ(Filter(box), MStlOperatorSmallTrianglesFilter::eSuccess);
    const MeshReport r = CheckMesh(box);
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(r.oriented);
    EXPECT_EQ(r.degenerateTriangles, 0u);
    EXPECT_EQ(r.shells, 1u);
    EXPECT_DOUBLE_EQ(box.Volume(), 999e6);
    EXPECT_LE(box.GetNumberOfTriangles(), before + 2);
    const Shape s = WorstShape(box);
    EXPECT_GE(s.shortestEdge, 10.0);
    EXPECT_GE(s.height, 0.1);
}

// A sphere with its points jittered by up to 1 unit and pole regions of
// short edges, the surface allowed to move by a thousandth of the sphere's
// size (10 units): the short edges go, the mesh stays closed, manifold and
// free of self-intersections, and the volume moves by no more than that
// distance times the area.  With the usual precision (a 100000th, 0.1
// units here) the volume hardly moves.
TEST(SmallTrianglesFilter, RoughSphereStaysSoundAndClose) {
    std::mt19937 random(7);
    MStlBase sphere;
    GenerateRoughSphere(sphere, 3000.0, 20000, 1, random);
    sphere.Update();
    ASSERT_FALSE(CGAL::Polygon_mesh_processing::does_self_intersect(ToSurfaceMesh(sphere)));
    const double volume = sphere.Volume(), area = sphere.Area();
    const uint64_t shortBefore = TrianglesWithEdgesBelow(sphere, 10.0);
    ASSERT_GT(shortBefore, 100u);
    MStlBase precise;
    precise.Copy(sphere);
    ASSERT_EQ(Filter(precise), MStlOperatorSmallTrianglesFilter::eSuccess);
    EXPECT_TRUE(Sound(precise));
    EXPECT_LE(std::fabs(precise.Volume() - volume), 0.11 * area);

    const double diagonal = std::sqrt(3.0) * 6000.0;
    MStlOperatorSmallTrianglesFilter filter;
    filter.SetAllParameters(10.0, 0.1, diagonal / 10.0, 0, true);
    filter.SetStlItem(MStlItem(&sphere));
    ASSERT_EQ(filter.Operate(), MStlOperatorSmallTrianglesFilter::eSuccess);
    EXPECT_GT(filter.GetNumberOfRemovedTriangles(), 0u);
    EXPECT_LE(TrianglesWithEdgesBelow(sphere, 10.0), shortBefore / 20) << shortBefore;
    const MeshReport r = CheckMesh(sphere);
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(r.oriented);
    EXPECT_EQ(r.shells, 1u);
    EXPECT_EQ(r.degenerateTriangles, 0u);
    EXPECT_FALSE(CGAL::Polygon_mesh_processing::does_self_intersect(ToSurfaceMesh(sphere)));
    EXPECT_LE(std::fabs(sphere.Volume() - volume), 10.0 * area);
    EXPECT_LT(std::fabs(sphere.Volume() - volume), 1e-3 * volume);
}

// No mesh, a cancelled run (a sound mesh with what was done), open
// borders kept.
TEST(SmallTrianglesFilter, NoMeshCancellationAndOpenBorders) {
    MStlOperatorSmallTrianglesFilter filter;
    EXPECT_EQ(filter.Operate(), MStlOperatorSmallTrianglesFilter::eNoMesh);

    std::mt19937 random(3);
    MStlBase sphere;
    GenerateRoughSphere(sphere, 3000.0, 20000, 1, random);
    sphere.Update();
    EXPECT_EQ(Filter(sphere, std::make_shared<CancelAfter>(0)), MStlOperatorSmallTrianglesFilter::eCancelled);
    EXPECT_TRUE(Sound(sphere));

    // An open square of two triangles with a needle at its border: border
    // points never move, so nothing changes.
    MStlBase sheet;
    MStlPoint* a = sheet.AddPoint(0, 0, 0);
    MStlPoint* b = sheet.AddPoint(1000, 0, 0);
    MStlPoint* c = sheet.AddPoint(1000, 1000, 0);
    MStlPoint* d = sheet.AddPoint(0, 1000, 0);
    MStlPoint* e = sheet.AddPoint(3, 0, 0);
    sheet.AddTriangle(a, e, d);
    sheet.AddTriangle(e, b, c);
    sheet.AddTriangle(e, c, d);
    sheet.Update();
    EXPECT_EQ(Filter(sheet), MStlOperatorSmallTrianglesFilter::eSuccess);
    EXPECT_EQ(sheet.GetNumberOfTriangles(), 3u);
}

// Stray pieces go; the main part, a second real part and a cavity stay.
TEST(NoiseShellRemoval, StrayPiecesGoRealPartsStay) {
    MStlBase mesh;
    GenerateBox(mesh, {0, 0, 0}, {100000, 100000, 100000}, 2);       // main part
    GenerateBox(mesh, {200000, 0, 0}, {210000, 10000, 10000}, 1);    // a second part
    MStlBase cavity;
    GenerateBox(cavity, {40000, 40000, 40000}, {50000, 50000, 50000}, 1);
    cavity.Invert();
    mesh.AddStl(cavity, false);
    GenerateBox(mesh, {300000, 0, 0}, {300010, 10, 10}, 1);  // a speck: area 6e-6 of the main part's
    // A sheet: two opposite triangles.
    MStlPoint* p = mesh.AddPoint(400000, 0, 0);
    MStlPoint* q = mesh.AddPoint(401000, 0, 0);
    MStlPoint* r = mesh.AddPoint(400000, 1000, 0);
    mesh.AddTriangle(p, q, r);
    mesh.AddTriangle(p, r, q);
    // A loose triangle.
    mesh.AddTriangle(mesh.AddPoint(500000, 0, 0), mesh.AddPoint(501000, 0, 0), mesh.AddPoint(500000, 1000, 0));
    mesh.Update();
    ASSERT_EQ(CheckMesh(mesh).shells, 6u);
    const double kept = 1e15 + 1e12 - 1e12;

    MStlBaseOperatorFixer fixer;
    EXPECT_EQ(fixer.DoNoiseShellRemoval(), 0u);  // no mesh
    fixer.SetStl(&mesh);
    EXPECT_EQ(fixer.DoNoiseShellRemoval(), 3u);
    const MeshReport report = CheckMesh(mesh);
    EXPECT_EQ(report.shells, 3u);
    EXPECT_TRUE(report.closed);
    EXPECT_DOUBLE_EQ(mesh.Volume(), kept);
    EXPECT_EQ(fixer.DoNoiseShellRemoval(), 0u);

    // A mesh that is nothing but a small part keeps it.
    MStlBase small;
    GenerateBox(small, {0, 0, 0}, {10, 10, 10}, 1);
    small.Update();
    fixer.SetStl(&small);
    EXPECT_EQ(fixer.DoNoiseShellRemoval(), 0u);
    EXPECT_EQ(small.GetNumberOfTriangles(), 12u);
}

// Three boxes, each touching the other two along an edge, all three meeting
// at one corner: every box comes out a closed shell of its own, and a fan
// whose triangles do not alternate (one box turned inside out) is left alone.
TEST(TouchingSolids, SeparateAlongTheEdgeTheyShare) {
    MStlBase mesh;
    GenerateBox(mesh, {0, 0, 0}, {1000, 1000, 1000}, 1);
    GenerateBox(mesh, {1000, 1000, 0}, {2000, 2000, 1000}, 1);
    GenerateBox(mesh, {1000, 0, 1000}, {2000, 1000, 2000}, 1);
    mesh.Update();
    ASSERT_EQ(CheckMesh(mesh).nonManifoldEdges, 3u);
    const double volume = mesh.Volume();

    MStlBaseOperatorFixer fixer;
    fixer.SetStl(&mesh);
    EXPECT_EQ(fixer.SeparateTouchingSolids(), 5u);  // three ends once, the common corner twice
    const MeshReport after = CheckMesh(mesh);
    EXPECT_TRUE(after.closed && after.oriented) << FormatReport(after);
    EXPECT_EQ(after.shells, 3u);
    EXPECT_EQ(after.triangles, 36u);
    EXPECT_DOUBLE_EQ(mesh.Volume(), volume);
    EXPECT_EQ(fixer.SeparateTouchingSolids(), 0u);

    MStlBase inverted, second;
    GenerateBox(inverted, {0, 0, 0}, {1000, 1000, 1000}, 1);
    GenerateBox(second, {1000, 1000, 0}, {2000, 2000, 1000}, 1);
    second.Invert();
    inverted.AddStl(second, false);
    inverted.Update();
    fixer.SetStl(&inverted);
    EXPECT_EQ(fixer.SeparateTouchingSolids(), 0u);
    EXPECT_EQ(CheckMesh(inverted).nonManifoldEdges, 1u);
}

// A sheet thinner than a step on a box's face, touching the box along its
// upright edge: round that edge the box's face and the sheet's face lie in
// one half-plane.  They bound the sheet's no thickness; the sheet still
// gets its own copy of the edge.
TEST(TouchingSolids, SheetLyingOnAFaceAtTheEdge) {
    MStlBase mesh;
    GenerateBox(mesh, {0, 0, 0}, {1000, 1000, 1000}, 1);
    const std::array<std::array<int32_t, 2>, 3> base = {{{0, 0}, {1000, -1}, {500, 0}}};  // counter-clockwise
    std::array<MStlPoint*, 6> p{};
    for (size_t i = 0; i < 3; ++i) {
        p[i] = mesh.AddPoint(base[i][0], base[i][1], 0);
        p[i + 3] = mesh.AddPoint(base[i][0], base[i][1], 1000);
    }
    mesh.AddTriangle(p[0], p[2], p[1]);
    mesh.AddTriangle(p[3], p[4], p[5]);
    for (size_t i = 0; i < 3; ++i) {
        const size_t j = (i + 1) % 3;
        mesh.AddTriangle(p[i], p[j], p[j + 3]);
        mesh.AddTriangle(p[i], p[j + 3], p[i + 3]);
    }
    mesh.Update();
    ASSERT_EQ(CheckMesh(mesh).nonManifoldEdges, 1u);
    const double volume = mesh.Volume();

    MStlBaseOperatorFixer fixer;
    fixer.SetStl(&mesh);
    EXPECT_EQ(fixer.SeparateTouchingSolids(), 2u);
    const MeshReport after = CheckMesh(mesh);
    EXPECT_TRUE(after.closed && after.oriented) << FormatReport(after);
    EXPECT_EQ(after.shells, 2u);
    EXPECT_DOUBLE_EQ(mesh.Volume(), volume);
}
