// Trimming surfaces and features of one input by another: exactly the
// chosen side goes, triangles on the second input's surface stay, a surface
// wholly on one side is no failure, open borders standing on the other input
// are extended and the extensions removed again, and bad input changes
// nothing.
#include <gtest/gtest.h>

#include <cmath>

#include "MStlOperatorTrim.h"
#include "TestMeshes.h"
#include "TestSurfaces.h"
#include "host/MStlItem.h"

namespace {

double SurfaceArea(const MStlBase& mesh, const MStlSurface* s) {
    double area = 0.0;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        if (it->GetSurface() == s) area += it->Area();
    return area;
}

bool Trim(std::vector<MStlItem> first, std::vector<MStlItem> second, uint32_t side, MStlOperatorTrim* keep = nullptr) {
    MStlOperatorTrim local;
    MStlOperatorTrim& op = keep ? *keep : local;
    MStlOperatorTrim::MParams params;
    params.sideToRemove = side;
    op.SetAllParameters(params);
    op.SetInput(first, second);
    return op.Operate();
}

// The centre of every triangle of the surface lies on the given side of the
// box [lo, hi] (inside: within or on it).
bool AllOnSide(const MStlBase& mesh, const MStlSurface* s, const int32_t lo[3], const int32_t hi[3], bool inside) {
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        if (it->GetSurface() != s) continue;
        const MMVector3d c = (it->GetPoint(0)->GetVector() + it->GetPoint(1)->GetVector() + it->GetPoint(2)->GetVector()) / 3.0;
        bool within = true;
        for (int k = 0; k < 3; ++k) within = within && c[k] >= lo[k] - 1e-9 && c[k] <= hi[k] + 1e-9;
        if (within != inside) return false;
    }
    return true;
}

TEST(TrimItems, DefaultsAndBadInputChangeNothing) {
    const MStlOperatorTrim::MParams defaults;
    EXPECT_EQ(defaults.sideToRemove, 0u);
    EXPECT_EQ(defaults.extensionLength, 5000u);
    MStlOperatorTrim::ClearOperator();

    MStlBase sheet, box;
    MStlSurface* s = AddSheet(sheet, -100, 100, 40, 0);
    MStlSurface* b = AddBox(box, {-50, -50, -10}, {50, 50, 10}, 1);
    MStlSurface* empty = sheet.AddSurface();
    const uint64_t triangles = sheet.GetNumberOfTriangles();
    EXPECT_FALSE(Trim({MStlItem(s)}, {}, 0));
    EXPECT_FALSE(Trim({}, {MStlItem(b)}, 0));
    EXPECT_FALSE(Trim({MStlItem(&sheet)}, {MStlItem(&box)}, 0));           // whole meshes are not trimmed
    EXPECT_FALSE(Trim({MStlItem(s)}, {MStlItem(s)}, 0));                    // the same surface on both sides
    EXPECT_FALSE(Trim({MStlItem(s)}, {MStlItem(sheet.GetMainFeature())}, 0));
    EXPECT_FALSE(Trim({MStlItem(s)}, {MStlItem(b)}, 2));                    // no such side
    EXPECT_EQ(sheet.GetNumberOfTriangles(), triangles);
    EXPECT_EQ(box.GetNumberOfTriangles(), 12u);
    EXPECT_TRUE(sheet.GetMainFeature()->GetCurveSets().empty());

    // Cancelled at once: false, nothing removed, no extension left behind.
    MStlOperatorTrim op;
    op.SetInput({MStlItem(s)}, {MStlItem(b)});
    EXPECT_FALSE(op.Operate(std::make_shared<CancelAfter>(0)));
    EXPECT_EQ(op.GetNumberOfRemovedTriangles(), 0u);
    EXPECT_EQ(sheet.GetNumberOfSurfaces(), 2u);
    EXPECT_EQ(box.GetNumberOfSurfaces(), 1u);

    // A first-input surface without triangles: the cut is made, then the
    // trim reports the failure and removes nothing.
    EXPECT_FALSE(Trim({MStlItem(s), MStlItem(empty)}, {MStlItem(b)}, 1, &op));
    EXPECT_EQ(op.GetNumberOfRemovedTriangles(), 0u);
    EXPECT_NEAR(SurfaceArea(sheet, s), 200.0 * 200.0, 1e-6);
}

// A flat sheet through a closed box: side 1 cuts the square inside the box
// out of it, side 0 keeps only that square.  Every crossing lies on the
// integer grid, so the areas are exact.
TEST(TrimItems, SheetThroughBoxLosesExactlyTheChosenSide) {
    const int32_t lo[3] = {-50, -50, -10}, hi[3] = {50, 50, 10};
    for (uint32_t side : {0u, 1u}) {
        MStlBase sheet, box;
        MStlSurface* s = AddSheet(sheet, -100, 100, 40, 0);
        MStlSurface* b = AddBox(box, {lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}, 2);
        const double volume = box.Volume();
        MStlOperatorTrim op;
        ASSERT_TRUE(Trim({MStlItem(s)}, {MStlItem(b)}, side, &op));
        EXPECT_GT(op.GetNumberOfRemovedTriangles(), 0u);
        EXPECT_NEAR(SurfaceArea(sheet, s), side == 1 ? 200.0 * 200.0 - 100.0 * 100.0 : 100.0 * 100.0, 1e-6);
        EXPECT_TRUE(AllOnSide(sheet, s, lo, hi, side == 0));
        const MeshReport sheetReport = CheckMesh(sheet);
        EXPECT_EQ(sheetReport.degenerateTriangles, 0u);
        EXPECT_EQ(sheetReport.nonManifoldEdges, 0u);
        EXPECT_TRUE(sheetReport.oriented);
        // The box was cut along the sheet and stays a sound solid.
        EXPECT_TRUE(Sound(box));
        EXPECT_NEAR(box.Volume(), volume, 1e-6 * volume);
        EXPECT_EQ(sheet.GetNumberOfSurfaces(), 1u);
        EXPECT_EQ(box.GetNumberOfSurfaces(), 1u);
    }
}

// A sphere's surface trimmed by a box over one side of it: the parts kept
// with side 0 and with side 1 together make up the sphere, each lies on its
// side of the box, and they meet along the same cut.
TEST(TrimItems, SphereSurfaceByBoxSplitsItsArea) {
    const int32_t lo[3] = {30011, -200000, -200000}, hi[3] = {200000, 200000, 200000};
    double kept[2] = {0.0, 0.0};
    uint64_t border[2] = {0, 0};
    double total = 0.0;
    for (uint32_t side : {0u, 1u}) {
        MStlBase sphere, box;
        GenerateSphere(sphere, 100000, 4000);
        MStlSurface* s = sphere.GetSurface(0) ? sphere.GetSurface(0) : nullptr;
        if (!s) {
            s = sphere.AddSurface();
            for (auto it = sphere.BeginTriangle(); it != sphere.EndTriangle(); ++it) s->MoveTriangle(*it);
        }
        total = sphere.Area();
        MStlSurface* b = AddBox(box, {lo[0], lo[1], lo[2]}, {hi[0], hi[1], hi[2]}, 1);
        ASSERT_TRUE(Trim({MStlItem(s)}, {MStlItem(b)}, side));
        kept[side] = sphere.Area();
        const MeshReport report = CheckMesh(sphere);
        border[side] = report.boundaryEdges;
        EXPECT_EQ(report.nonManifoldEdges, 0u);
        EXPECT_TRUE(report.oriented);
        // New points are truncated onto the grid: within two steps.
        const int32_t near[3] = {lo[0] - 2, lo[1], lo[2]}, far[3] = {hi[0], hi[1], hi[2]};
        const int32_t inner[3] = {lo[0] + 2, lo[1], lo[2]};
        EXPECT_TRUE(AllOnSide(sphere, s, side == 0 ? near : inner, far, side == 0));
    }
    EXPECT_GT(border[0], 10u);
    EXPECT_EQ(border[0], border[1]);
    EXPECT_GT(kept[0], 0.1 * total);
    EXPECT_GT(kept[1], 0.1 * total);
    EXPECT_NEAR(kept[0] + kept[1], total, 1e-6 * total);
}

// Triangles lying on the box's surface are neither inside nor outside and
// stay whichever side goes; a surface wholly on one side loses all or nothing.
TEST(TrimItems, SurfacesOnTheBoxOrWhollyOnOneSide) {
    for (uint32_t side : {0u, 1u}) {
        MStlBase mesh, box;
        MStlSurface* onTop = AddSheet(mesh, -20, 20, 10, 10);     // in the box's top face
        MStlSurface* within = AddSheet(mesh, -20, 20, 10, 0);     // wholly inside
        MStlSurface* beside = AddSheet(mesh, 200, 240, 10, 0);    // wholly outside
        MStlSurface* b = AddBox(box, {-50, -50, -10}, {50, 50, 10}, 1);
        MStlOperatorTrim op;
        ASSERT_TRUE(Trim({MStlItem(onTop), MStlItem(within), MStlItem(beside)}, {MStlItem(b)}, side, &op));
        EXPECT_NEAR(SurfaceArea(mesh, onTop), 1600.0, 1e-9);
        EXPECT_NEAR(SurfaceArea(mesh, within), side == 1 ? 0.0 : 1600.0, 1e-9);
        EXPECT_NEAR(SurfaceArea(mesh, beside), side == 0 ? 0.0 : 1600.0, 1e-9);
        EXPECT_EQ(op.GetNumberOfRemovedTriangles(), 32u);
    }
}

// A sheet reaching beyond the box's top face in its plane: the part on the
// face stays, the rest is outside.
TEST(TrimItems, SheetPartlyOnTheBoxFace) {
    MStlBase mesh, box;
    MStlSurface* s = AddSheet(mesh, -100, 100, 40, 10);
    MStlSurface* b = AddBox(box, {-50, -50, -10}, {50, 50, 10}, 2);
    ASSERT_TRUE(Trim({MStlItem(s)}, {MStlItem(b)}, 0));
    EXPECT_NEAR(SurfaceArea(mesh, s), 100.0 * 100.0, 1e-6);
    MStlBase again, box2;
    MStlSurface* s2 = AddSheet(again, -100, 100, 40, 10);
    MStlSurface* b2 = AddBox(box2, {-50, -50, -10}, {50, 50, 10}, 2);
    ASSERT_TRUE(Trim({MStlItem(s2)}, {MStlItem(b2)}, 1));
    EXPECT_NEAR(SurfaceArea(again, s2), 200.0 * 200.0, 1e-6);
}

// An open cup (a box without its bottom) standing on a sheet: its walls end
// on the sheet.  They are extended through the sheet for the cut, which then
// separates the sheet inside the cup from the rest; the extensions are gone
// afterwards.  Once with the cup in a mesh of its own crossing the sheet's
// squares, once sharing the sheet's points along its rim.
TEST(TrimItems, CupStandingOnSheetIsExtendedThroughIt) {
    for (bool shared : {false, true}) {
        for (uint32_t side : {0u, 1u}) {
            MStlBase mesh, other;
            MStlSurface* s = AddSheet(mesh, -100, 100, shared ? 50 : 40, 0);
            MStlBase& cupMesh = shared ? mesh : other;
            MStlSurface* cup = AddBox(cupMesh, {-50, -50, 0}, {50, 50, 40}, 2, false);
            const uint64_t cupTriangles = 40;
            ASSERT_EQ(cup->GetNumberOfTriangles(), cupTriangles);
            const uint32_t surfaces = cupMesh.GetNumberOfSurfaces();
            ASSERT_TRUE(Trim({MStlItem(s)}, {MStlItem(cup)}, side))
                << "shared " << shared;
            EXPECT_NEAR(SurfaceArea(mesh, s), side == 1 ? 200.0 * 200.0 - 100.0 * 100.0 : 100.0 * 100.0, 1e-6)
                << "shared " << shared << " side " << side;
            EXPECT_EQ(cupMesh.GetNumberOfSurfaces(), surfaces);
            EXPECT_TRUE(cup->GetFeature()->GetCurveSets().empty());
            EXPECT_NEAR(SurfaceArea(cupMesh, cup), 4 * 100.0 * 40.0 + 100.0 * 100.0, 1e-6);
            for (auto it = cupMesh.BeginPoint(); it != cupMesh.EndPoint(); ++it)
                EXPECT_GT(it->GetNumberOfNeighbourTriangles(), 0u);
        }
    }
}

// Features stand for all their surfaces, on both sides.
TEST(TrimItems, FeaturesStandForTheirSurfaces) {
    MStlBase mesh, box;
    MStlFeature* f = mesh.AddFeature(L"sheets");
    MStlSurface* left = AddSheet(mesh, -100, 0, 20, 0);
    MStlSurface* right = AddSheet(mesh, 0, 100, 20, 0);
    left->SetFeature(f);
    right->SetFeature(f);
    MStlFeature* g = box.AddFeature(L"tool");
    AddBox(box, {-50, -50, -10}, {50, 50, 10}, 1)->SetFeature(g);
    ASSERT_TRUE(Trim({MStlItem(f)}, {MStlItem(g)}, 1));
    // Each 100 x 100 sheet loses the 50 x 50 corner inside the box.
    EXPECT_NEAR(SurfaceArea(mesh, left), 100.0 * 100.0 - 50.0 * 50.0, 1e-6);
    EXPECT_NEAR(SurfaceArea(mesh, right), 100.0 * 100.0 - 50.0 * 50.0, 1e-6);
}

}  // namespace
