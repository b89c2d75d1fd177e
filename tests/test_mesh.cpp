#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"

namespace {

// A tetrahedron with outward normals and volume 1000^3 / 6.
void Tetrahedron(MStlBase& m, MStlPoint* p[4]) {
    p[0] = m.AddPoint(0, 0, 0);
    p[1] = m.AddPoint(1000, 0, 0);
    p[2] = m.AddPoint(0, 1000, 0);
    p[3] = m.AddPoint(0, 0, 1000);
    m.AddTriangle(p[0], p[2], p[1]);
    m.AddTriangle(p[0], p[1], p[3]);
    m.AddTriangle(p[0], p[3], p[2]);
    m.AddTriangle(p[1], p[2], p[3]);
}

}  // namespace

TEST(Mesh, PointsMergeAndTrianglesRefuseDegenerateCorners) {
    MStlBase m;
    MStlPoint* a = m.AddPoint(1, 2, 3);
    EXPECT_EQ(m.AddPoint(1, 2, 3), a);
    EXPECT_NE(m.AddPoint(1, 2, 3, true), a) << "alwaysNew makes a second point";
    EXPECT_EQ(m.GetPoint(1, 2, 3), a);
    EXPECT_EQ(m.GetPoint(9, 9, 9), nullptr);
    MStlPoint* b = m.AddPoint(10, 0, 0);
    MStlPoint* twin = m.AddPoint(10, 0, 0, true);
    EXPECT_EQ(m.AddTriangle(a, b, twin), nullptr) << "two corners at the same place";
    EXPECT_EQ(m.AddTriangle(a, b, nullptr), nullptr);
    EXPECT_EQ(m.AddPoint(MMVector3d(NAN, 0, 0)), nullptr);
    EXPECT_EQ(m.AddPoint(MMVector3d(3e9, 0, 0)), nullptr);
    EXPECT_EQ(m.GetNumberOfTriangles(), 0u);

    // Points keep their addresses while the mesh grows.
    MStlBase big;
    MStlPoint* first = big.AddPoint(0, 0, 0);
    for (int i = 1; i < 100000; ++i) big.AddPoint(i, 0, 0);
    EXPECT_EQ(first->GetX(), 0);
    EXPECT_EQ(big.GetPoint(0, 0, 0), first);
    EXPECT_EQ(big.GetNumberOfPoints(), 100000u);
}

TEST(Mesh, ExactVolumeFansRemovalAndTopology) {
    MStlBase m;
    MStlPoint* p[4];
    Tetrahedron(m, p);
    EXPECT_DOUBLE_EQ(m.Volume(), 1e9 / 6.0);
    EXPECT_EQ(p[0]->GetNumberOfNeighbourTriangles(), 3);
    EXPECT_TRUE(m.EdgeHasExactlyTwoNeighbours(p[0], p[1]));
    MNeighbourFinder finder;
    finder.Set(p[0], p[1]);
    finder.Operate();
    EXPECT_EQ(finder.GetNumberOfForwardNeighbours(), 1);
    EXPECT_EQ(finder.GetNumberOfBackwardNeighbours(), 1);

    MStlTriangleElement* t = m.GetFirstTriangle();
    m.RemoveTriangle(t);
    EXPECT_EQ(m.GetNumberOfTriangles(), 3u);
    EXPECT_EQ(p[0]->GetNumberOfNeighbourTriangles(), 2);
    const MeshReport r = CheckMesh(m);
    EXPECT_EQ(r.boundaryEdges, 3u);
    EXPECT_FALSE(r.closed);
    EXPECT_EQ(m.RemoveFreePoints(), 0u) << "every corner is still used";

    // A point far out: the volume stays exact with coordinates near 2^31.
    MStlBase far;
    GenerateBox(far, {2147480000, 2147480000, 2147480000}, {2147483000, 2147483000, 2147483000}, 1);
    EXPECT_DOUBLE_EQ(far.Volume(), 3000.0 * 3000.0 * 3000.0);
    EXPECT_FALSE(far.Translate(10000, 0, 0)) << "would leave the 32-bit range";
    EXPECT_DOUBLE_EQ(far.Volume(), 2.7e10);
    EXPECT_TRUE(far.Translate(-2147480000, 0, 0));
    EXPECT_EQ(far.GetXMin(), 0);
}

TEST(Mesh, SplittingAndMergingKeepTheSurfaceClosed) {
    MStlBase m;
    MStlPoint* p[4];
    Tetrahedron(m, p);
    MStlSurface* s = m.AddSurface();
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it) {
        m.MoveTriangleToSurface(*it, s);
        it->SetStatus(7);
        it->SetFacing(3);
        it->Mark();
    }
    MStlPoint* mid = m.AddPoint(500, 0, 0);
    EXPECT_EQ(m.InsertPointBetweenPoints(mid, p[0], p[1]), 2);
    EXPECT_EQ(m.GetNumberOfTriangles(), 6u);
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it) {
        EXPECT_EQ(it->GetStatus(), 7);
        EXPECT_EQ(it->GetFacing(), 3);
        EXPECT_TRUE(it->IsMarked());
        EXPECT_EQ(it->GetSurface(), s);
    }
    MeshReport r = CheckMesh(m);
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_DOUBLE_EQ(m.Volume(), 1e9 / 6.0);

    // Merging the inserted point back removes the two triangles that collapse.
    m.ReplacePointByPoint(mid, p[1]);
    EXPECT_EQ(m.GetNumberOfTriangles(), 4u);
    r = CheckMesh(m);
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_EQ(s->GetNumberOfTriangles(), 4u);
}

TEST(Mesh, CopyCloneAddAndMove) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 3000);
    MStlSurface* s = sphere.AddSurface();
    sphere.MoveTriangleToSurface(sphere.GetFirstTriangle(), s);
    sphere.GetFirstTriangle()->SetStatus(5);
    // A hole in the slots: copies must keep slot numbers and skip the hole.
    MStlTriangleElement* second = sphere.GetFirstTriangle()->GetNext();
    sphere.RemoveTriangle(second);

    MStlBase copy;
    copy.Copy(sphere);
    EXPECT_EQ(copy.GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
    EXPECT_EQ(copy.Volume(), sphere.Volume());
    EXPECT_EQ(copy.GetFirstTriangle()->GetIndex(), sphere.GetFirstTriangle()->GetIndex());
    EXPECT_EQ(copy.GetFirstTriangle()->GetStatus(), 5);
    ASSERT_EQ(copy.GetNumberOfSurfaces(), 1u);
    EXPECT_EQ(copy.GetFirstTriangle()->GetSurface(), copy.GetSurface(0));
    EXPECT_EQ(copy.GetPoint(copy.GetFirstTriangle()->GetPoint(0)->GetX(), copy.GetFirstTriangle()->GetPoint(0)->GetY(),
                            copy.GetFirstTriangle()->GetPoint(0)->GetZ()),
              copy.GetFirstTriangle()->GetPoint(0))
        << "the copy's lookup finds its own points";
    for (auto it = copy.BeginTriangle(); it != copy.EndTriangle(); ++it) {
        ASSERT_EQ(it->GetStl(), &copy);
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* c = it->GetPoint(k);
            bool inFan = false;
            for (uint32_t f = 0; f < c->GetNumberOfNeighbourTriangles(); ++f) inFan |= c->GetNeighbourTriangle(f) == *it;
            ASSERT_TRUE(inFan);
        }
    }
    // The copy is independent.
    copy.RemoveTriangle(copy.GetFirstTriangle());
    EXPECT_EQ(copy.GetNumberOfTriangles() + 1, sphere.GetNumberOfTriangles());

    auto clone = sphere.Clone();
    EXPECT_EQ(clone->Volume(), sphere.Volume());

    MStlBase both;
    both.AddStl(sphere);
    both.AddStl(sphere);
    EXPECT_EQ(both.GetNumberOfTriangles(), 2 * sphere.GetNumberOfTriangles());
    EXPECT_EQ(both.GetNumberOfPoints(), sphere.GetNumberOfPoints()) << "equal coordinates share one point";
    MStlBase target;
    clone->MoveTo(target);
    EXPECT_EQ(clone->GetNumberOfTriangles(), 0u);
    EXPECT_EQ(target.Volume(), sphere.Volume());
}

TEST(Mesh, ShellsMasksAndTransforms) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {1000, 1000, 1000}, 2);
    GenerateBox(m, {5000, 0, 0}, {6000, 1000, 1000}, 1);
    MStlShellManager shells(m);
    ASSERT_EQ(shells.GetNumberShells(), 2u);
    std::set<uint64_t> sizes = {shells.GetShell(0).size(), shells.GetShell(1).size()};
    EXPECT_EQ(sizes, (std::set<uint64_t>{12, 48}));

    MDataMaskBits<MStlTriangle> mask(m, 1);
    MStlTriangleElement* t = m.GetFirstTriangle();
    mask.Set(t);
    EXPECT_TRUE(mask.Get(t));
    const uint32_t slot = t->GetIndex();
    m.RemoveTriangle(t);
    MStlTriangleElement* reused = m.AddTriangle(m.AddPoint(0, 0, 9), m.AddPoint(1, 0, 9), m.AddPoint(0, 1, 9));
    ASSERT_EQ(reused->GetIndex(), slot) << "freed slots are reused";
    EXPECT_FALSE(mask.Get(reused)) << "a freed slot forgets its bits";
    m.RemoveTriangle(reused);

    const double volume = m.Volume();
    MMTransformMatrix rotate;
    rotate.MakeTransformation({0, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, 0, 1});
    ASSERT_TRUE(m.Transform(rotate));
    EXPECT_NEAR(m.Volume(), volume, 1e-9 * volume);
    m.UpdateExtremes();
    EXPECT_EQ(m.GetYMin(), -6000);
    MMTransformMatrix huge;
    huge.MakeTransformation({0, 0, 0}, {1e-7, 0, 0}, {0, 1, 0}, {0, 0, 1});
    EXPECT_FALSE(m.Transform(huge));
    m.UpdateExtremes();
    EXPECT_EQ(m.GetYMin(), -6000) << "a refused transform changes nothing";
    m.Invert();
    EXPECT_NEAR(m.Volume(), -volume, 1e-9 * volume);
}

// Closedness counted per edge, openings located, and where a mesh crosses
// itself: two boxes that overlap cross along their faces; a closed box and
// two boxes apart do not.
TEST(Mesh, OpeningsAndSelfIntersections) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {1000, 1000, 1000}, 1);
    EXPECT_EQ(box.CountUnpairedSides(), 0u);
    EXPECT_TRUE(FaultyEdgeMidpoints(box).empty());
    const MSelfIntersections none(box);
    EXPECT_EQ(none.Pairs(), 0u);
    EXPECT_TRUE(std::isinf(none.DistanceTo({0.0, 0.0, 0.0})));

    MStlBase open;
    open.AddStl(box);
    open.RemoveTriangle(*open.BeginTriangle());
    EXPECT_EQ(open.CountUnpairedSides(), 3u);  // the three sides of the hole
    EXPECT_EQ(FaultyEdgeMidpoints(open).size(), 3u);

    MStlBase apart, crossing;
    GenerateBox(apart, {0, 0, 0}, {1000, 1000, 1000}, 1);
    GenerateBox(apart, {2000, 0, 0}, {3000, 1000, 1000}, 1);
    EXPECT_EQ(MSelfIntersections(apart).Pairs(), 0u);
    GenerateBox(crossing, {0, 0, 0}, {1000, 1000, 1000}, 1);
    GenerateBox(crossing, {500, 500, 500}, {1500, 1500, 1500}, 1);
    EXPECT_EQ(crossing.CountUnpairedSides(), 0u);  // closed, though it crosses itself
    const MSelfIntersections crossings(crossing);
    EXPECT_GT(crossings.Pairs(), 0u);
    const double unit = QelSDK::Common::MInternalUnits::GetInverse();
    EXPECT_NEAR(crossings.DistanceTo({1000 * unit, 750 * unit, 750 * unit}), 0.0, 1e-9);
    const double far = crossings.DistanceTo({750 * unit, 750 * unit, 3000 * unit});
    EXPECT_TRUE(far > 1000 * unit && far < 2000 * unit) << far;
}
