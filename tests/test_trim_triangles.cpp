// Trimming the selected triangles of a mesh against the others or against
// each other: which pairs are cut, and that the cut leaves no crossing pair,
// keeps the area and the volume, and puts every new point on both surfaces.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <tuple>

#include "MStlBaseOperatorTrimTriangles.h"
#include "TestGeometry.h"
#include "TestMeshes.h"

namespace {

using Op = QelSDK::MStlBaseOperatorTrimTriangles;

void SelectAll(MStlBase& mesh, MDataMaskBits<MStlTriangle>& selection) {
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) selection.Set(*it);
}

Op::ERCode TrimAll(MStlBase& mesh, Op::EMode mode = Op::eSelectedWithAll, Op* keep = nullptr) {
    MDataMaskBits<MStlTriangle> selection(mesh);
    SelectAll(mesh, selection);
    Op local;
    Op& op = keep ? *keep : local;
    op.SetStl(mesh, selection);
    op.SetMode(mode);
    return op.Operate();
}

using Key = std::tuple<int32_t, int32_t, int32_t>;
std::set<Key> PointsOf(const MStlBase& mesh) {
    std::set<Key> points;
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it) points.emplace(it->GetX(), it->GetY(), it->GetZ());
    return points;
}

// A flat triangle in z = 0 and an upright one through it whose chord of the
// flat one lies inside the upright one: the flat one can be cut along it.
void TwoCrossingTriangles(MStlBase& mesh) {
    mesh.AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(1000, 0, 0), mesh.AddPoint(0, 1000, 0));
    mesh.AddTriangle(mesh.AddPoint(300, -500, -700), mesh.AddPoint(300, 2000, -700), mesh.AddPoint(300, 300, 900));
}

TEST(TrimTriangles, ResultCodes) {
    Op op;
    EXPECT_EQ(op.Operate(), Op::eNoStl);

    MStlBase empty;
    MDataMaskBits<MStlTriangle> none(empty);
    op.SetStl(empty, none);
    EXPECT_EQ(op.Operate(), Op::eDone);

    MStlBase mesh;
    TwoCrossingTriangles(mesh);
    MDataMaskBits<MStlTriangle> nothing(mesh);
    op.SetStl(mesh, nothing);
    EXPECT_EQ(op.Operate(), Op::eNoSelection);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 2u);
    EXPECT_EQ(mesh.GetNumberOfPoints(), 6u);

    // Stopped at the first poll: cancelled, and nothing was cut yet.
    MDataMaskBits<MStlTriangle> all(mesh);
    SelectAll(mesh, all);
    op.SetStl(mesh, all);
    EXPECT_EQ(op.Operate(std::make_shared<CancelAfter>(0)), Op::eCancelled);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 2u);
}

// Where the crossings of two spheres cannot all be cut exactly, the trimmed
// mesh is open: reported, not delivered as done.
TEST(TrimTriangles, OpenedClosedMeshIsReported) {
    // Two spheres through each other: the code says what the mesh is.  The
    // coarser pair is cut exactly; the finer one is not yet, and its opened
    // mesh is reported (once it is cut exactly, it checks eDone instead).
    for (const auto& [triangles, code] : {std::pair{2000, Op::eDone}, std::pair{8000, Op::eOpened}}) {
        SCOPED_TRACE(testing::Message() << triangles << " triangles");
        MStlBase a, b, mesh;
        GenerateSphere(a, 20000, uint64_t(triangles));
        GenerateSphere(b, 20000, uint64_t(triangles), {7000.0, 370.0, 110.0});
        mesh.AddStl(a);
        mesh.AddStl(b);
        const Op::ERCode got = TrimAll(mesh);
        const MeshReport after = CheckMesh(mesh);
        EXPECT_EQ(got, after.boundaryEdges == 0 && after.oriented ? Op::eDone : Op::eOpened);
        EXPECT_EQ(got, code);
    }
}

TEST(TrimTriangles, ModeDecidesWhichPairsAreCut) {
    // Both selected: mode 1 pairs a selected triangle only with an
    // unselected one, so nothing is cut.
    MStlBase both;
    TwoCrossingTriangles(both);
    Op op;
    EXPECT_EQ(TrimAll(both, Op::eSelectedWithUnselected, &op), Op::eDone);
    EXPECT_EQ(both.GetNumberOfTriangles(), 2u);
    EXPECT_EQ(op.GetNumberOfTrimmedTriangles(), 0u);

    // Any other mode cuts them: the flat triangle becomes a triangle and a
    // quadrilateral on either side of x = 300; the upright one, whose cut
    // ends inside it, stays as it was.
    for (auto mode : {Op::eSelectedWithAll, Op::EMode(7)}) {
        MStlBase mesh;
        TwoCrossingTriangles(mesh);
        const double area = mesh.Area();
        EXPECT_EQ(TrimAll(mesh, mode, &op), Op::eDone);
        EXPECT_EQ(op.GetNumberOfTrimmedTriangles(), 1u);
        EXPECT_EQ(op.GetNumberOfNewTriangles(), 3u);
        EXPECT_EQ(mesh.GetNumberOfTriangles(), 4u);
        EXPECT_NEAR(mesh.Area(), area, 1e-9 * area);
        const MStlTriangle* upright = mesh.GetFirstTriangle();
        EXPECT_EQ(upright->GetPoint(0)->GetX(), 300);
        EXPECT_EQ(upright->GetPoint(1)->GetY(), 2000);
        EXPECT_EQ(upright->GetPoint(2)->GetZ(), 900);
        for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
            if (*it == upright) continue;
            EXPECT_EQ(it->GetPoint(0)->GetZ() + it->GetPoint(1)->GetZ() + it->GetPoint(2)->GetZ(), 0);
        }
    }

    // Mode 1 with only the flat triangle selected cuts it as well.
    MStlBase mesh;
    TwoCrossingTriangles(mesh);
    MDataMaskBits<MStlTriangle> flat(mesh);
    flat.Set(*mesh.BeginTriangle());
    op.SetStl(mesh, flat);
    op.SetMode(Op::eSelectedWithUnselected);
    EXPECT_EQ(op.Operate(), Op::eDone);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 4u);
}

TEST(TrimTriangles, DegenerateAndTouchingTrianglesStay) {
    MStlBase mesh;
    // Collinear corners across the flat triangle, and a triangle that only
    // touches it in one corner.
    mesh.AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(1000, 0, 0), mesh.AddPoint(0, 1000, 0));
    mesh.AddTriangle(mesh.AddPoint(200, 200, -100), mesh.AddPoint(200, 200, 0), mesh.AddPoint(200, 200, 100));
    mesh.AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(-500, 20, 300), mesh.AddPoint(-400, -300, -200));
    // A second flat triangle lying on the first, sharing its edge.
    mesh.AddTriangle(mesh.AddPoint(1000, 0, 0), mesh.AddPoint(1000, 1000, 0), mesh.AddPoint(0, 1000, 0));
    Op op;
    EXPECT_EQ(TrimAll(mesh, Op::eSelectedWithAll, &op), Op::eDone);
    EXPECT_EQ(op.GetNumberOfTrimmedTriangles(), 0u);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 4u);
}

// Two boxes merged into one mesh, overlapping by a corner.  Box faces are
// grids of 40-unit squares cut along 45-degree diagonals at integer
// positions, so every crossing lies on the integer grid and the cut is
// exact.
TEST(TrimTriangles, OverlappingBoxesMeetWithoutCrossing) {
    MStlBase a, b, mesh;
    GenerateBox(a, {0, 0, 0}, {120, 120, 120}, 3);
    GenerateBox(b, {53, 29, 67}, {173, 149, 187}, 3);
    mesh.AddStl(a);
    mesh.AddStl(b);
    const MeshReport before = CheckMesh(mesh);
    const auto original = PointsOf(mesh);
    ASSERT_GT(exact::CrossingPairs(mesh), 0u);

    Op op;
    ASSERT_EQ(TrimAll(mesh, Op::eSelectedWithAll, &op), Op::eDone);
    const MeshReport after = CheckMesh(mesh);
    EXPECT_EQ(exact::CrossingPairs(mesh), 0u);
    EXPECT_GT(op.GetNumberOfTrimmedTriangles(), 0u);
    EXPECT_EQ(after.triangles, before.triangles - op.GetNumberOfTrimmedTriangles() + op.GetNumberOfNewTriangles());
    EXPECT_EQ(after.boundaryEdges, 0u);
    EXPECT_EQ(after.degenerateTriangles, 0u);
    EXPECT_GT(after.nonManifoldEdges, 0u);  // where the two surfaces now meet
    EXPECT_NEAR(after.area, before.area, 1e-12 * before.area);
    EXPECT_NEAR(after.volume, before.volume, 1e-12 * before.volume);
    int32_t lo[2][3] = {{0, 0, 0}, {53, 29, 67}}, hi[2][3] = {{120, 120, 120}, {173, 149, 187}};
    auto onBox = [&](int box, const Key& p) {
        const int32_t c[3] = {std::get<0>(p), std::get<1>(p), std::get<2>(p)};
        bool inside = true, onFace = false;
        for (int k = 0; k < 3; ++k) {
            inside = inside && c[k] >= lo[box][k] && c[k] <= hi[box][k];
            onFace = onFace || c[k] == lo[box][k] || c[k] == hi[box][k];
        }
        return inside && onFace;
    };
    int fresh = 0;
    for (const Key& p : PointsOf(mesh)) {
        if (original.count(p)) continue;
        ++fresh;
        EXPECT_TRUE(onBox(0, p) && onBox(1, p));
    }
    EXPECT_GT(fresh, 0);

    // Trimming again finds nothing left to cut.
    const uint64_t triangles = mesh.GetNumberOfTriangles();
    EXPECT_EQ(TrimAll(mesh, Op::eSelectedWithAll, &op), Op::eDone);
    EXPECT_EQ(op.GetNumberOfTrimmedTriangles(), 0u);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), triangles);
}

// Two spheres merged into one mesh, a radius apart.  Crossings are rounded
// to the grid, so the new points lie within half a grid diagonal of both
// surfaces and the area and volume move by no more than that allows.
TEST(TrimTriangles, InterpenetratingSpheres) {
    constexpr double radius = 100000;
    MStlBase a, b, mesh;
    GenerateSphere(a, radius, 1500);
    GenerateSphere(b, radius, 1500, {radius, 0.0123 * radius, -0.0071 * radius});
    mesh.AddStl(a);
    mesh.AddStl(b);
    const MeshReport before = CheckMesh(mesh);
    const auto original = PointsOf(mesh);

    Op op;
    ASSERT_EQ(TrimAll(mesh, Op::eSelectedWithAll, &op), Op::eDone);
    const MeshReport after = CheckMesh(mesh);
    EXPECT_EQ(exact::CrossingPairs(mesh), 0u);
    EXPECT_EQ(after.boundaryEdges, 0u);
    EXPECT_GT(op.GetNumberOfTrimmedTriangles(), 20u);
    // What truncating the new points to the grid (up to sqrt(3) steps) may
    // have added or taken: a moved corner sweeps at most its distance times
    // half the perimeter of area, and its distance times the area / 3 of
    // volume; in square and cubic model units.
    double movedArea = 0.0, movedVolume = 0.0;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        int fresh = 0;
        for (int k = 0; k < 3; ++k) fresh += !original.count({it->GetPoint(k)->GetX(), it->GetPoint(k)->GetY(), it->GetPoint(k)->GetZ()});
        const double perimeter = (it->GetPoint(0)->GetVector() - it->GetPoint(1)->GetVector()).Length() +
                                 (it->GetPoint(1)->GetVector() - it->GetPoint(2)->GetVector()).Length() +
                                 (it->GetPoint(2)->GetVector() - it->GetPoint(0)->GetVector()).Length();
        movedArea += fresh * std::sqrt(3.0) * perimeter / 2.0 * 1e-6;
        movedVolume += fresh * std::sqrt(3.0) * it->Area() / 3.0 * 1e-9;
    }
    EXPECT_NEAR(after.area, before.area, movedArea + 1e-9 * before.area);
    EXPECT_NEAR(after.volume, before.volume, movedVolume + 1e-9 * before.volume);
    int fresh = 0;
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it) {
        if (original.count({it->GetX(), it->GetY(), it->GetZ()})) continue;
        ++fresh;
        EXPECT_LE(DistanceToMesh(it->GetVector(), a), 1.74);
        EXPECT_LE(DistanceToMesh(it->GetVector(), b), 1.74);
    }
    EXPECT_GT(fresh, 20);

    // Selecting one sphere and trimming against the unselected other in
    // mode 1 makes the same cuts: no pair within one sphere crosses.
    MStlBase again;
    again.AddStl(a);
    again.AddStl(b);
    MDataMaskBits<MStlTriangle> first(again);
    const MStlShellManager shells(again);
    for (MStlTriangleElement* t : shells.GetShell(0)) first.Set(t);
    Op mode1;
    mode1.SetStl(again, first);
    mode1.SetMode(Op::eSelectedWithUnselected);
    ASSERT_EQ(mode1.Operate(), Op::eDone);
    EXPECT_EQ(mode1.GetNumberOfTrimmedTriangles(), op.GetNumberOfTrimmedTriangles());
    EXPECT_EQ(again.GetNumberOfTriangles(), mesh.GetNumberOfTriangles());
}

}  // namespace
