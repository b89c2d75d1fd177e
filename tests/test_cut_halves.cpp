// Cutting a closed mesh into halves by a plane or by a cutting mesh.
#include <array>
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>

#include "MCutFunctions.h"
#include "MUserOperatorCutIntoFeatures.h"
#include "MUserOperatorCutIntoHalves.h"
#include "TestMeshes.h"

namespace {

using Halves = MUserOperatorCutIntoHalves;

// Both parts closed and outward oriented, volumes adding up to the input's
// within the drift that rounding new points to the grid allows.
void ExpectSoundHalves(const MStlBase& inside, const MStlBase& outside, const MStlBase& source) {
    EXPECT_TRUE(Sound(inside));
    EXPECT_TRUE(Sound(outside));
    EXPECT_GT(inside.GetNumberOfTriangles(), 0u);
    EXPECT_GT(outside.GetNumberOfTriangles(), 0u);
    const double bound = GridBound(inside, source) + GridBound(outside, source) + 1e-9 * source.Volume();
    EXPECT_NEAR(inside.Volume() + outside.Volume(), source.Volume(), bound);
}

// Splits `source` by `cutter` as placed into the given halves.
Halves::EResultCode CutByModel(MStlBase& source, const MStlBase& cutter, MStlBase& inside, MStlBase& outside) {
    Halves op;
    op.SetSourceModel(source);
    op.SetOutputModelInside(inside);
    op.SetOutputModelOutside(outside);
    op.SetCuttingModel(cutter, MMTransformMatrix());
    return op.Operate();
}

// The triangles of one feature of `mesh`, as a mesh of their own.
std::unique_ptr<MStlBase> part(const MStlBase& mesh, const MStlFeature* f) {
    std::vector<uint8_t> take(mesh.GetNumberOfTriangleSlots(), 0);
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        take[it->GetIndex()] = it->GetSurface() && it->GetSurface()->GetFeature() == f;
    auto out = std::make_unique<MStlBase>();
    out->AppendSelected(mesh, take, std::vector<MStlSurface*>(mesh.GetNumberOfSurfaces(), nullptr));
    return out;
}

}  // namespace

TEST(CutIntoHalves, ByPlaneAndByCuttingMeshes) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 6000);
    // A plane in model units (20 units = 20000 steps across): below is inside.
    {
        Halves op;
        op.SetSourceModel(sphere);
        op.SetCuttingPlane(MMPlane({0.0, 0.0, 3.5}, {0.2, 0.1, 1.0}));
        ASSERT_EQ(op.Operate(), Halves::eResultOk);
        const MStlBase *inside = op.GetOutputModelInside(), *outside = op.GetOutputModelOutside();
        ASSERT_TRUE(inside && outside);
        ExpectSoundHalves(*inside, *outside, sphere);
        const MMPlaneEq<double> eq = MMPlane({0.0, 0.0, 3500.0}, {0.2, 0.1, 1.0}).GetPlaneEqDouble();
        for (auto it = inside->BeginPoint(); it != inside->EndPoint(); ++it) EXPECT_LE(eq.Distance(it->GetVector()), 2.0);
        for (auto it = outside->BeginPoint(); it != outside->EndPoint(); ++it) EXPECT_GE(eq.Distance(it->GetVector()), -2.0);
    }
    // A box cutter, placed by a translation; then a sphere cutter.
    MStlBase box, ball;
    GenerateBox(box, {0, 0, 0}, {30000, 30000, 30000}, 2);
    GenerateSphere(ball, 12000.0, 3000, {15000.0, 3000.0, -2000.0});
    MMTransformMatrix shift;
    shift(0, 3) = -7000.0;
    for (auto [cutter, placement] : {std::pair{&box, shift}, std::pair{&ball, MMTransformMatrix()}}) {
        MStlBase inside, outside;
        Halves op;
        op.SetSourceModel(sphere);
        op.SetOutputModelInside(inside);
        op.SetOutputModelOutside(outside);
        op.SetCuttingModel(*cutter, placement);
        ASSERT_EQ(op.Operate(), Halves::eResultOk);
        EXPECT_EQ(op.GetOutputModelInside(), &inside);
        ExpectSoundHalves(inside, outside, sphere);
    }
    EXPECT_EQ(box.GetXMin(), 0) << "the caller's cutter is not moved";
    // The source set as the inside output is cut in place.
    MStlBase inPlace, rest;
    inPlace.AddStl(sphere, false);
    ASSERT_EQ(CutByModel(inPlace, ball, inPlace, rest), Halves::eResultOk);
    ExpectSoundHalves(inPlace, rest, sphere);
}

TEST(CutIntoHalves, CodesForMissingAndEmptyInput) {
    MStlBase sphere, empty, other;
    GenerateSphere(sphere, 20000.0, 500);
    Halves none;
    EXPECT_EQ(none.Operate(), Halves::eNoSourceModel);
    none.SetSourceModel(sphere);
    EXPECT_EQ(none.Operate(), Halves::eNoCuttingElement);
    Halves emptyCutter;
    emptyCutter.SetSourceModel(sphere);
    emptyCutter.SetCuttingModel(empty, MMTransformMatrix());
    EXPECT_EQ(emptyCutter.Operate(), Halves::eCutFailed);
    MStlBase copy;
    copy.AddStl(sphere, false);
    EXPECT_EQ(AU::CutAndLeaveInModel(copy, empty, nullptr, other, 0, 0, 0, false, false), AU::EReturnCode(8));
    EXPECT_EQ(AU::CutAndLeaveInModel(empty, copy, nullptr, other, 0, 0, 0, false, false), AU::EReturnCode(8));
    EXPECT_EQ(AU::CutAndLeaveInModel(copy, sphere, nullptr, copy, 0, 0, 0, false, false), AU::EReturnCode(8))
        << "the other mesh may not be the model";
    EXPECT_EQ(copy.GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
    MStlBase below, above;
    EXPECT_EQ(AU::CutWithPlane(below, above, empty, MMPlane()), AU::EReturnCode(7));
    EXPECT_EQ(AU::CutWithPlane(copy, above, copy, MMPlane()), AU::EReturnCode(7)) << "an output may not be the source";
    // A plane that misses the mesh leaves it whole on one side.
    ASSERT_EQ(AU::CutWithPlane(below, above, sphere, MMPlane({0.0, 0.0, 50.0}, {0.0, 0.0, 1.0})), AU::EReturnCode(0));
    EXPECT_EQ(below.GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
    EXPECT_EQ(above.GetNumberOfTriangles(), 0u);
    // An open source (a triangle on the plane missing) is divided without
    // closing: the two parts hold the remaining area and nothing more.
    MStlBase open;
    open.AddStl(sphere, false);
    for (auto it = open.BeginTriangle(); it != open.EndTriangle(); ++it) {
        int32_t lo = INT32_MAX, hi = INT32_MIN;
        for (int i = 0; i < 3; ++i) lo = std::min(lo, it->GetPoint(i)->GetZ()), hi = std::max(hi, it->GetPoint(i)->GetZ());
        if (lo < 1000 && hi > 1000) {
            open.RemoveTriangle(it);
            break;
        }
    }
    ASSERT_EQ(AU::CutWithPlane(below, above, open, MMPlane({0.0, 0.0, 1.0}, {0.0, 0.0, 1.0})), AU::EReturnCode(0));
    EXPECT_GT(below.GetNumberOfTriangles(), 0u);
    EXPECT_GT(above.GetNumberOfTriangles(), 0u);
    EXPECT_NEAR(below.Area() + above.Area(), open.Area(), 1e-6 * open.Area());
}

// Two boxes that pass through each other are closed and oriented, but the
// plane's sections of them cross: each is closed on its own, and both
// halves come out closed (overlapping where the boxes do).
TEST(CutIntoHalves, ShellsPassingThroughEachOtherGiveClosedHalves) {
    MStlBase boxes;
    for (const int32_t lo : {0, 5000}) {
        const int32_t hi = lo + 10000;
        MStlPoint* p[8];
        for (int i = 0; i < 8; ++i) p[i] = boxes.AddPoint(i & 4 ? hi : lo, i & 2 ? hi : lo, i & 1 ? hi : lo, true);
        for (const auto& f : {std::array{0, 1, 3}, {0, 3, 2}, {4, 6, 7}, {4, 7, 5}, {0, 4, 5}, {0, 5, 1}, {2, 3, 7},
                              {2, 7, 6}, {0, 2, 6}, {0, 6, 4}, {1, 5, 7}, {1, 7, 3}})
            boxes.AddTriangle(p[f[0]], p[f[1]], p[f[2]]);
    }
    boxes.Update();
    ASSERT_DOUBLE_EQ(boxes.Volume(), 2e12);
    MStlBase inside, outside;
    Halves halves;
    halves.SetSourceModel(boxes);
    halves.SetOutputModelInside(inside);
    halves.SetOutputModelOutside(outside);
    halves.SetCuttingPlane(MMPlane({0.0, 0.0, 7.0}, {0.0, 0.0, 1.0}));
    ASSERT_EQ(halves.Operate(), Halves::eResultOk);
    ExpectSoundHalves(inside, outside, boxes);
}

TEST(CutIntoHalves, CuttingQuadCoversTheSource) {
    MStlBase box, quad;
    GenerateBox(box, {0, 0, 0}, {10000, 20000, 30000}, 1);
    const MMVector3d normal(1.0, 2.0, 3.0);
    AU::CreateCuttingStl(quad, box, MMPlane({5000.0, 10000.0, 15000.0}, normal));
    ASSERT_EQ(quad.GetNumberOfTriangles(), 2u);
    const MMPlaneEq<double> eq = MMPlane({5000.0, 10000.0, 15000.0}, normal).GetPlaneEqDouble();
    for (auto it = quad.BeginTriangle(); it != quad.EndTriangle(); ++it) EXPECT_GT(it->GetNormal().Dot(normal), 0.0);
    for (auto it = quad.BeginPoint(); it != quad.EndPoint(); ++it) EXPECT_LE(std::fabs(eq.Distance(it->GetVector())), 2.0);
    // The quad as a cutter: the model keeps the part behind it (below the
    // plane), the other mesh receives the part in front.
    MStlBase below, above;
    below.AddStl(box, false);
    ASSERT_EQ(AU::CutAndLeaveInModel(below, quad, nullptr, above, 0, 0, 0, false, false), AU::EReturnCode(0));
    ExpectSoundHalves(below, above, box);
    for (auto it = below.BeginPoint(); it != below.EndPoint(); ++it) EXPECT_LE(eq.Distance(it->GetVector()), 2.0);
    // No quad for a zero normal or a source without points.
    MStlBase none, empty;
    AU::CreateCuttingStl(none, box, MMPlane({0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}));
    AU::CreateCuttingStl(none, empty, MMPlane({0.0, 0.0, 0.0}, {0.0, 0.0, 1.0}));
    EXPECT_EQ(none.GetNumberOfPoints(), 0u);
}

TEST(CutIntoHalves, ByPolylineAlongTheViewDirection) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {20000, 20000, 20000}, 2);
    // A square of 10 x 10 units drawn over the box's middle, seen along z.
    const std::vector<MMVector<long, 2>> square = {{5000, 5000}, {15000, 5000}, {15000, 15000}, {5000, 15000}};
    for (const bool shifted : {false, true}) {
        Halves op;
        op.SetSourceModel(box);
        op.SetCuttingPolyline(square, MMTransformMatrix());
        // A screen transform moves the source while it is cut; the halves
        // come back where the source is, as if it had not moved.
        MMTransformMatrix screen;
        if (shifted) screen(0, 3) = 5000.0;
        op.SetScreenTransform(screen);
        ASSERT_EQ(op.Operate(), Halves::eResultOk);
        const MStlBase &inside = *op.GetOutputModelInside(), &outside = *op.GetOutputModelOutside();
        ExpectSoundHalves(inside, outside, box);
        const double column = 10000.0 * 10000.0 * 20000.0;
        const int32_t lo = shifted ? 0 : 5000, hi = shifted ? 10000 : 15000;
        EXPECT_NEAR(inside.Volume(), column, 1e-6 * column);
        EXPECT_EQ(inside.GetXMin(), lo);
        EXPECT_EQ(inside.GetXMax(), hi);
        EXPECT_EQ(outside.GetXMin(), 0);
        EXPECT_EQ(outside.GetXMax(), 20000);
    }
    Halves two, eight;
    two.SetSourceModel(box);
    two.SetCuttingPolyline({{0, 0}, {1000, 0}}, MMTransformMatrix());
    EXPECT_EQ(two.Operate(), Halves::eTooFewPolylinePoints);
    eight.SetSourceModel(box);
    eight.SetCuttingPolyline({{0, 0}, {1000, 1000}, {1000, 0}, {0, 1000}}, MMTransformMatrix());
    EXPECT_EQ(eight.Operate(), Halves::eSelfIntersectingPolyline);
}

TEST(CutIntoHalves, FeaturesOfTheSourceByPlaneAndCutter) {
    MStlBase sphere, box, empty;
    GenerateSphere(sphere, 20000.0, 3000);
    GenerateBox(box, {0, -30000, -30000}, {30000, 30000, 30000}, 1);
    // Each feature's triangles, taken out on their own, bound a closed solid;
    // together they hold the source's volume.
    for (const bool byPlane : {true, false}) {
        MStlBase source;
        source.AddStl(sphere, false);
        MStlFeature *inside = nullptr, *outside = nullptr;
        const AU::EReturnCode code = byPlane ? AU::CutWithPlane(inside, outside, source, MMPlane({0.0, 0.0, 0.0}, {1.0, 0.0, 0.0}))
                                             : AU::CutInSource(inside, outside, source, box, nullptr, 0, 0, 0, false);
        ASSERT_EQ(code, AU::EReturnCode(0));
        ASSERT_TRUE(inside && outside);
        EXPECT_EQ(inside->GetName(), L"Insides");
        EXPECT_EQ(outside->GetName(), L"Outsides");
        const auto in = part(source, inside), out = part(source, outside);
        EXPECT_EQ(in->GetNumberOfTriangles() + out->GetNumberOfTriangles(), source.GetNumberOfTriangles());
        ExpectSoundHalves(*out, *in, sphere);
        // Inside is the negative side of x = 0, or inside the box (x >= 0).
        if (byPlane) EXPECT_LE(in->GetXMax(), 1);
        else EXPECT_GE(in->GetXMin(), -1);
    }
    MStlFeature *inside = nullptr, *outside = nullptr;
    MStlBase source;
    source.AddStl(sphere, false);
    EXPECT_EQ(AU::CutInSource(inside, outside, source, empty, nullptr, 0, 0, 0, false), AU::EReturnCode(8));
    EXPECT_EQ(source.GetNumberOfFeatures(), 0u) << "no features added for an empty cutter";
    EXPECT_EQ(AU::CutWithPlane(inside, outside, empty, MMPlane()), AU::EReturnCode(7));
}

TEST(CutIntoFeatures, EveryTriangleStaysAndLandsInOneFeature) {
    using Features = MUserOperatorCutIntoFeatures;
    MStlBase sphere, box;
    GenerateSphere(sphere, 20000.0, 3000);
    GenerateBox(box, {0, -30000, -30000}, {30000, 30000, 30000}, 1);
    const std::vector<MMVector<long, 2>> square = {{-5000, -5000}, {5000, -5000}, {5000, 5000}, {-5000, 5000}};
    for (int mode = 1; mode <= 3; ++mode) {
        MStlBase source;
        source.AddStl(sphere, false);
        Features op;
        op.SetSourceModel(source);
        if (mode == 1) op.SetCuttingModel(box);
        // The plane is taken in internal units: x = 5000 is 5 units off the
        // sphere's centre, not 5000.
        if (mode == 2) op.SetCuttingPlane(MMPlane({5000.0, 0.0, 0.0}, {1.0, 0.0, 0.0}));
        if (mode == 3) op.SetCuttingPolyline(square, MMTransformMatrix());
        ASSERT_EQ(op.Operate(), Features::eResultOk) << mode;
        MStlFeature *inside = op.GetOutputFeatureInside(), *outside = op.GetOutputFeatureOutside();
        ASSERT_TRUE(inside && outside);
        EXPECT_EQ(inside->GetName(), L"Insides");
        EXPECT_EQ(outside->GetName(), L"Outsides");
        const auto in = part(source, inside), out = part(source, outside);
        EXPECT_EQ(in->GetNumberOfTriangles() + out->GetNumberOfTriangles(), source.GetNumberOfTriangles());
        ExpectSoundHalves(*in, *out, sphere);
        if (mode == 1) {
            EXPECT_GE(in->GetXMin(), -1);
        } else {
            EXPECT_LE(in->GetXMax(), 5001);
        }
    }
    Features none, noSource, noModel, two, eight;
    MStlBase source, empty;
    source.AddStl(sphere, false);
    none.SetSourceModel(source);
    EXPECT_EQ(none.Operate(), Features::eNoCuttingElement);
    EXPECT_EQ(source.GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
    noSource.SetCuttingModel(box);
    EXPECT_EQ(noSource.Operate(), Features::eNoSourceModel);
    two.SetSourceModel(source);
    two.SetCuttingPolyline({{0, 0}, {1000, 0}}, MMTransformMatrix());
    EXPECT_EQ(two.Operate(), Features::eTooFewPolylinePoints);
    eight.SetSourceModel(source);
    eight.SetCuttingPolyline({{0, 0}, {1000, 1000}, {1000, 0}, {0, 1000}}, MMTransformMatrix());
    EXPECT_EQ(eight.Operate(), Features::eSelfIntersectingPolyline);
    // An empty cutting model fails the cut, and the source keeps every
    // triangle.
    noModel.SetSourceModel(source);
    noModel.SetCuttingModel(empty);
    EXPECT_EQ(noModel.Operate(), Features::eCutFailed);
    EXPECT_EQ(source.GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
}

TEST(CutIntoHalves, SliverInTheSourceKeepsItClosed) {
    // A box whose edge a-b carries a zero-area triangle (a, b, m) with m the
    // edge's middle: the triangle on one side is split at m, the other side
    // runs the whole edge, and the sliver joins them, so the box is closed.
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {30000, 30000, 30000}, 1);
    MStlTriangleElement* t = box.GetFirstTriangle();
    MStlPoint *a = t->GetPoint(0), *b = t->GetPoint(1), *c = t->GetPoint(2);
    MStlPoint* m = box.AddPoint((a->GetX() + b->GetX()) / 2, (a->GetY() + b->GetY()) / 2, (a->GetZ() + b->GetZ()) / 2);
    box.RemoveTriangle(t);
    ASSERT_TRUE(box.AddTriangle(a, m, c) && box.AddTriangle(m, b, c) && box.AddTriangle(a, b, m));
    const MeshReport before = CheckMesh(box);
    ASSERT_TRUE(before.closed && before.oriented);
    ASSERT_EQ(before.degenerateTriangles, 1u);

    MStlBase cutter, inside, outside;
    GenerateBox(cutter, {-5000, -5000, -5000}, {12000, 40000, 40000}, 1);
    Halves op;
    op.SetSourceModel(box);
    op.SetOutputModelInside(inside);
    op.SetOutputModelOutside(outside);
    op.SetCuttingModel(cutter, MMTransformMatrix());
    ASSERT_EQ(op.Operate(), Halves::eResultOk);
    ExpectSoundHalves(inside, outside, box);
    EXPECT_NEAR(inside.Volume(), 12000.0 * 30000.0 * 30000.0, 1.0);
}

// A sphere cutter meeting the big faces of a coarse sphere at a shallow
// angle: consecutive cut points lie within a grid step of one line, and
// rounding them folds the needles between them unless the needles are
// flipped away (also where the needle is not one of the faces that cross)
// or, where a chain of such points has no face to flip with, flattened
// onto the line the chain follows.
TEST(CutIntoHalves, SphereCutterAlongCoarseFacesGivesClosedHalves) {
    struct Case {
        int cells;
        double radius;
        MMVector3d centre;
        uint64_t triangles;
    };
    for (const Case& c : {Case{3, 3758.3942211150752, {-444.78679379581848, 9120.8341108509012, 4670.7685548559748}, 470},
                          Case{1, 3909.1901653279529, {-5044.2627819526861, -4465.0572580474736, -2626.8862301084932}, 841},
                          Case{1, 5809.0569613886892, {-7016.9445046234814, 151.89933554755271, 30.357149559644508}, 819}}) {
        MStlBase mesh, cutter;
        GenerateSphere(mesh, 10000.0, uint64_t(20 + 20 * c.cells));
        GenerateSphere(cutter, c.radius, c.triangles, c.centre);
        Halves op;
        op.SetSourceModel(mesh);
        op.SetCuttingModel(cutter, MMTransformMatrix());
        ASSERT_EQ(op.Operate(), Halves::eResultOk) << c.triangles;
        ExpectSoundHalves(*op.GetOutputModelInside(), *op.GetOutputModelOutside(), mesh);
    }
}

TEST(CutIntoHalves, CutterTouchingAFaceAlongAnEdgeFromInside) {
    // A prism inside a box, its top edge lying in the box's side x = 0: the
    // box less the prism touches itself along that edge, and is closed only
    // once each side of the touch has its own copy of the edge.
    MStlBase box, prism;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 1);
    MStlPoint* p[6] = {prism.AddPoint(0, 3000, 5000),    prism.AddPoint(4000, 3000, 3000),
                       prism.AddPoint(4000, 3000, 7000), prism.AddPoint(0, 7000, 5000),
                       prism.AddPoint(4000, 7000, 3000), prism.AddPoint(4000, 7000, 7000)};
    for (const std::array<int, 3>& t : std::vector<std::array<int, 3>>{
             {0, 1, 2}, {3, 5, 4}, {0, 3, 4}, {0, 4, 1}, {1, 4, 5}, {1, 5, 2}, {2, 5, 3}, {2, 3, 0}})
        prism.AddTriangle(p[t[0]], p[t[1]], p[t[2]]);
    prism.Update();
    ASSERT_TRUE(Sound(prism));
    MStlBase inside, outside;
    ASSERT_EQ(CutByModel(box, prism, inside, outside), Halves::eResultOk);
    ExpectSoundHalves(inside, outside, box);
    EXPECT_NEAR(inside.Volume(), prism.Volume(), 1e-6);
}
