#include <gtest/gtest.h>

#include "MCutter.h"
#include "host/MStlGenerate.h"

namespace {
uint32_t CountPoints(const MCutProfile& p) {
    uint32_t n = 0;
    for (auto* c = p.GetFirstContour(); c; c = MCutProfile::Next(c)) n += c->GetNumberOfPoints();
    return n;
}
}  // namespace

TEST(CutterState, DefaultsSettersAndRoundRadius) {
    MCutter cutter;
    EXPECT_EQ(cutter.GetCutMode(), 3);
    EXPECT_EQ(cutter.GetFillMode(), 1);
    EXPECT_EQ(cutter.GetFillParameter(), 500);
    EXPECT_EQ(cutter.GetRoundRadius(), 0);
    EXPECT_EQ(cutter.GetNumResults(), 0u);
    EXPECT_EQ(cutter.GetWorkingStl(), nullptr);
    EXPECT_FALSE(cutter.UsesCustomIgnoreFunction());

    cutter.SET_ROUND_PROFILE(250);
    cutter.SET_CUT_MODE(2, 1234);
    EXPECT_EQ(cutter.GetRoundRadius(), 0) << "the cut mode clears the radius";
    EXPECT_EQ(cutter.GetCutValue(), 1234);
    cutter.SET_ROUND_PROFILE(250);
    EXPECT_EQ(cutter.GetRoundRadius(), 250);
    cutter.SET_SUPPORT_CUT_PARAMETERS(1, 2, 3, 4.5, 6.5);
    EXPECT_EQ(cutter.GetSupportParameters().c, 3);
    EXPECT_EQ(cutter.GetSupportParameters().e, 6.5);

    MStlTriangle* any = nullptr;
    EXPECT_FALSE(cutter.IgnoresTriangle(any));
    cutter.SetCustomTriangleIgnoreFunction([](MStlTriangle*) { return true; });
    EXPECT_TRUE(cutter.UsesCustomIgnoreFunction());
    EXPECT_TRUE(cutter.IgnoresTriangle(any));
    cutter.SetCustomTriangleIgnoreFunction(nullptr);
    EXPECT_FALSE(cutter.IgnoresTriangle(any)) << "an empty function ignores nothing";
    cutter.SetCustomTriangleIgnoreFunction([](MStlTriangle*) { return true; });
    cutter.ResetCustomTriangleIgnoreFunction();
    EXPECT_FALSE(cutter.IgnoresTriangle(any));

    // A point before any contour makes the first contour.
    cutter.AddNewCutPoint(0, 0, true);
    cutter.AddNewCutPoint(1000, 0, false);
    cutter.AddNewCutContour();
    cutter.AddNewCutPoint(5, 5, false);
    EXPECT_EQ(cutter.GetProfile().GetNumberOfContours(), 2);
    EXPECT_EQ(CountPoints(cutter.GetProfile()), 3u);
    EXPECT_TRUE(MCutProfile::IsOwnSurface(*cutter.GetProfile().GetFirstContour()->GetFirstPoint()));
    EXPECT_FALSE(MCutProfile::IsOwnSurface(*cutter.GetProfile().GetFirstContour()->GetFirstPoint()->GetNext()));

    // Without a mesh: the cutting modes say so, the others cut nothing.
    for (unsigned char mode : {0, 3, 6, 8, 255}) {
        cutter.SET_CUT_MODE(mode, 0);
        EXPECT_EQ(cutter.MAKE_CUT(), mode == 0 || mode == 3 ? MCutter::kNoMesh : MCutter::kNoCut);
    }
}

TEST(CutterState, MeshOwnershipAndCopies) {
    MStlBase mesh;
    GenerateBox(mesh, {0, 0, 0}, {1000, 1000, 1000}, 1);
    {
        MCutter inPlace;
        inPlace.SetCutStl(mesh, true);
        EXPECT_EQ(inPlace.GetWorkingStl(), &mesh);
        EXPECT_EQ(inPlace.GetStartStl(), &mesh);
        EXPECT_FALSE(inPlace.OwnsWorkingStl());
        MCutter copy(inPlace);
        EXPECT_EQ(copy.GetWorkingStl(), &mesh) << "a mesh the cutter does not own is shared";
    }
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 12u) << "the caller's mesh survives its cutters";

    MCutter owner;
    owner.SetCutStl(mesh, false);
    ASSERT_NE(owner.GetWorkingStl(), &mesh);
    EXPECT_TRUE(owner.OwnsWorkingStl());
    EXPECT_EQ(owner.GetWorkingStl()->GetNumberOfTriangles(), 12u);
    owner.AddNewCutContour();
    owner.AddNewCutPoint(-10, -10, false);
    owner.AddNewCutPoint(10, -10, false);
    owner.AddNewCutPoint(0, 10, false);
    {
        MCutter copy(owner);
        EXPECT_NE(copy.GetWorkingStl(), owner.GetWorkingStl()) << "an owned mesh is duplicated";
        EXPECT_EQ(copy.GetWorkingStl()->Volume(), owner.GetWorkingStl()->Volume());
        EXPECT_NE(copy.GetProfile().GetFirstContour(), owner.GetProfile().GetFirstContour()) << "deep profile copy";
        EXPECT_EQ(CountPoints(copy.GetProfile()), 3u);
        MCutProfile::AddProfilePoint(*copy.GetProfile().GetFirstContour(), 7, 7, false);
        EXPECT_EQ(CountPoints(owner.GetProfile()), 3u);
        MCutter assigned;
        assigned = copy;
        assigned = owner;
        assigned = assigned;
        EXPECT_EQ(CountPoints(assigned.GetProfile()), 3u);
    }
    // Setting a new mesh releases the old working copy (checked by ASan/LSan).
    owner.SetCutStl(mesh, false);
    owner.SetCutStl(mesh, true);
    EXPECT_FALSE(owner.OwnsWorkingStl());
    EXPECT_EQ(owner.GetResult(0, true), nullptr);
    EXPECT_EQ(owner.GetResult(1, false), nullptr);
    EXPECT_EQ(owner.GetResult(7, false), nullptr);
}

TEST(CutterState, ResultsTakeAndFallThrough) {
    MStlBase mesh;
    mesh.SetName(L"/data/scan.stl");
    MCutter cutter;
    cutter.SetCutStl(mesh, true);
    cutter.MAKE_NEW_DATA(true, true);
    EXPECT_EQ(cutter.GetNumResults(), 2u);
    EXPECT_EQ(cutter.GetInsideResult(false)->GetName(), L"/data/inside_of_scan.stl");
    EXPECT_EQ(cutter.GetOutsideResult(false)->GetName(), L"/data/outside_of_scan.stl");
    EXPECT_EQ(cutter.GetResult(0, false), cutter.GetInsideResult(false));
    EXPECT_EQ(cutter.GetResult(1, false), cutter.GetOutsideResult(false));
    EXPECT_EQ(cutter.GetResult(2, true), nullptr);

    // Only an outside result: index 0 falls through to it, and take forgets it.
    cutter.MAKE_NEW_DATA(false, true);
    EXPECT_EQ(cutter.GetNumResults(), 1u);
    std::unique_ptr<MStlBase> taken(cutter.GetResult(0, true));
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(taken->GetName(), L"/data/outside_of_scan.stl");
    EXPECT_EQ(cutter.GetNumResults(), 0u);
    EXPECT_EQ(cutter.GetResult(0, false), nullptr);

    // Copies duplicate the results they hold; each releases its own.
    cutter.MAKE_NEW_DATA(true, false);
    MCutter copy(cutter);
    EXPECT_EQ(copy.GetNumResults(), 1u);
    EXPECT_NE(copy.GetInsideResult(false), cutter.GetInsideResult(false));
    std::unique_ptr<MStlBase> mine(copy.GetInsideResult(true));
    EXPECT_EQ(copy.GetNumResults(), 0u);
    EXPECT_EQ(cutter.GetNumResults(), 1u);
}
