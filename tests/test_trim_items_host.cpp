// The host pieces the item trim stands on: the zero-area filter, the common
// border and the surface extension, and the boolean operator on surface
// groups with its codes and flags.
#include <gtest/gtest.h>

#include <cmath>

#include "TestMeshes.h"
#include "TestSurfaces.h"
#include "host/MBoolean.h"
#include "host/MCurveOperations.h"
#include "host/MStlItem.h"
#include "host/MZeroTrianglesFilter.h"

namespace {

using namespace QelSDK::Triangles::Boolean;

TEST(TrimItemsHost, ItemsStandForTheirSurfaces) {
    MStlBase mesh;
    MStlSurface* a = mesh.AddSurface();
    MStlSurface* b = mesh.AddSurface();
    MStlFeature* f = mesh.AddFeature(L"f");
    b->SetFeature(f);
    EXPECT_EQ(MStlItem(a).GetType(), MStlItem::eSurface);
    EXPECT_EQ(MStlItem(f).GetType(), MStlItem::eFeature);
    EXPECT_EQ(MStlItem(&mesh).GetType(), MStlItem::eStl);
    EXPECT_EQ(MStlItem(static_cast<MStlSurface*>(nullptr)).GetType(), MStlItem::eNone);
    EXPECT_EQ(MStlItem(f).GetSurfaces(), std::vector<MStlSurface*>{b});
    EXPECT_EQ(MStlItem(&mesh).GetSurfaces().size(), 2u);
    EXPECT_TRUE(MStlItem().GetSurfaces().empty());
    // Only an empty surface can be removed; the others keep their addresses.
    a->AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(1, 0, 0), mesh.AddPoint(0, 1, 0));
    EXPECT_FALSE(mesh.RemoveSurface(a));
    EXPECT_TRUE(mesh.RemoveSurface(b));
    EXPECT_EQ(mesh.GetNumberOfSurfaces(), 1u);
    EXPECT_EQ(mesh.GetSurface(0), a);
}

// A closed box with a sliver glued into one of its edges: the filter takes
// the sliver out and splits the triangle across, so the box stays closed.
TEST(TrimItemsHost, ZeroTrianglesFilterKeepsAMeshClosed) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {100, 100, 100}, 1);
    const double volume = box.Volume();
    // Triangle A = (p, q, r) becomes (p, m, r) and (m, q, r) with m halfway
    // along p–q; the sliver (q, m, p) closes them against the triangle that
    // runs q -> p.
    MStlTriangleElement* a = box.GetFirstTriangle();
    MStlPoint* p = a->GetPoint(0);
    MStlPoint* q = a->GetPoint(1);
    MStlPoint* r = a->GetPoint(2);
    MStlPoint* m = box.AddPoint((p->GetX() + q->GetX()) / 2, (p->GetY() + q->GetY()) / 2, (p->GetZ() + q->GetZ()) / 2);
    box.RemoveTriangle(a);
    box.AddTriangle(p, m, r);
    box.AddTriangle(m, q, r);
    MStlTriangleElement* sliver = box.AddTriangle(q, m, p);
    ASSERT_TRUE(sliver && sliver->IsZeroArea());
    ASSERT_TRUE(Sound(box));
    EXPECT_EQ(ZeroTrianglesFilter::RemoveZeroTriangles(box), 1u);
    EXPECT_TRUE(Sound(box));
    EXPECT_EQ(box.GetNumberOfTriangles(), 14u);
    EXPECT_EQ(CheckMesh(box).degenerateTriangles, 0u);
    EXPECT_DOUBLE_EQ(box.Volume(), volume);
    EXPECT_EQ(ZeroTrianglesFilter::RemoveZeroTriangles(box), 0u);
}

// An open cup standing on a sheet: its rim lies on the sheet, the sheet's
// outer border lies on nothing.  The rim comes back as one closed curve of
// the cup's, and the cup is extended downward through the sheet from it.
TEST(TrimItemsHost, CommonBorderAndExtension) {
    MStlBase sheetMesh, cupMesh;
    MStlSurface* sheet = AddSheet(sheetMesh, -100, 100, 40, 0);
    MStlSurface* cup = AddBox(cupMesh, {-50, -50, 0}, {50, 50, 40}, 2, false);
    std::vector<MStlCurveSet*> sets;
    AU::GetCommonBorder(sets, {std::vector<MStlSurface*>{sheet}, std::vector<MStlSurface*>{cup}}, {});
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0]->surface, cup);
    ASSERT_EQ(sets[0]->contours.size(), 1u);
    EXPECT_TRUE(sets[0]->contours[0].closed);
    EXPECT_EQ(sets[0]->contours[0].points.size(), 8u);
    for (const MStlPoint* p : sets[0]->contours[0].points) EXPECT_EQ(p->GetZ(), 0);
    ASSERT_EQ(cup->GetFeature()->GetCurveSets().size(), 1u);

    MStlCurveOperatorSurfaceExtend extend;
    EXPECT_FALSE(extend.Operate());  // no surface
    extend.SetSurface(cup);
    MStlSurfaceBorder rim;
    rim.contours = sets[0]->contours;
    extend.SetBorder(rim);
    extend.SetExtensionLength(5000);
    ASSERT_TRUE(extend.Operate());
    MStlSurface* strip = extend.GetExtension();
    ASSERT_NE(strip, nullptr);
    EXPECT_EQ(strip->GetFeature(), cup->GetFeature());
    EXPECT_EQ(strip->GetNumberOfTriangles(), 16u);
    EXPECT_TRUE(cup->GetFeature()->RemoveCurveSet(sets[0]));
    EXPECT_FALSE(cup->GetFeature()->RemoveCurveSet(sets[0]));
    // Straight down from the walls, and consistently oriented with them.
    for (auto it = cupMesh.BeginTriangle(); it != cupMesh.EndTriangle(); ++it) {
        if (it->GetSurface() != strip) continue;
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = it->GetPoint(k);
            EXPECT_TRUE(p->GetZ() == 0 || p->GetZ() == -5000) << p->GetZ();
            EXPECT_LE(std::max(std::abs(p->GetX()), std::abs(p->GetY())), 50);
        }
    }
    const MeshReport report = CheckMesh(cupMesh);
    EXPECT_TRUE(report.oriented);
    EXPECT_EQ(report.nonManifoldEdges, 0u);
    EXPECT_EQ(report.boundaryEdges, 8u);  // the strip's lower rim

    // A border edge the surface does not have: nothing is added.
    MStlSurfaceBorder wrong;
    wrong.contours.push_back({{cupMesh.AddPoint(1000, 0, 0), cupMesh.AddPoint(2000, 0, 0)}, false});
    MStlCurveOperatorSurfaceExtend bad;
    bad.SetSurface(cup);
    bad.SetBorder(wrong);
    bad.SetExtensionLength(10);
    const uint64_t triangles = cupMesh.GetNumberOfTriangles();
    EXPECT_FALSE(bad.Operate());
    EXPECT_EQ(cupMesh.GetNumberOfTriangles(), triangles);
}

// The boolean on groups: codes, the classes of a sheet through a box, and
// what the reverse and classify flags change.
TEST(TrimItemsHost, BooleanOnGroups) {
    MrtOperatorBoolean boolean;
    EXPECT_EQ(boolean.Operate(), eInvalidInput);
    MStlBase mesh, box;
    MStlSurface* sheet = AddSheet(mesh, -100, 100, 40, 0);
    AddBox(box, {-50, -50, -10}, {50, 50, 10}, 1);

    MrtGroupManager both;
    both.AddSurface(sheet, 1, true, false);
    both.AddSurface(sheet, 2, true, false);
    boolean.SetGroupManager(&both);
    EXPECT_EQ(boolean.Operate(), eInvalidInput);
    MrtGroupManager lonely;
    lonely.AddSurface(sheet, 1, true, false);
    lonely.AddSurface(mesh.AddSurface(), 2, true, false);
    boolean.SetGroupManager(&lonely);
    EXPECT_EQ(boolean.Operate(), eEmptyMesh);
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 50u);

    // The box only cuts (not classified itself) and counts as turned
    // around: the sheet's middle is then outside, its rim inside.
    MrtGroupManager groups;
    groups.AddSurface(sheet, 1, true, false);
    groups.AddFeature(box.GetMainFeature(), 2, false, true);
    boolean.SetGroupManager(&groups);
    ASSERT_EQ(boolean.Operate(), eSuccess);
    EXPECT_EQ(box.GetNumberOfTriangles(), 12u);
    double inside = 0.0, outside = 0.0;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        EXPECT_NE(groups.IsImmediateClassificationInside(*it), groups.IsImmediateClassificationOutside(*it));
        (groups.IsImmediateClassificationInside(*it) ? inside : outside) += it->Area();
    }
    EXPECT_NEAR(outside, 100.0 * 100.0, 1e-9);
    EXPECT_NEAR(inside, 200.0 * 200.0 - 100.0 * 100.0, 1e-9);
    for (auto it = box.BeginTriangle(); it != box.EndTriangle(); ++it) {
        EXPECT_FALSE(groups.IsImmediateClassificationInside(*it));
        EXPECT_FALSE(groups.IsImmediateClassificationOutside(*it));
    }
    // Turned around for the cut only: the box's triangles face out again.
    EXPECT_TRUE(Sound(box));

    // Cancelled at once: reported, and the classes are gone.
    EXPECT_EQ(boolean.Operate(std::make_shared<CancelAfter>(0)), eCancelled);
    EXPECT_FALSE(groups.IsImmediateClassificationInside(mesh.GetFirstTriangle()));
}

}  // namespace
