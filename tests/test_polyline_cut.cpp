// The polyline cut operator: parts, clearances, depth, the section filter
// and the result codes.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "MCutter.h"
#include "MStlBaseOperatorPolylineCut.h"
#include "TestMeshes.h"
#include "host/M2dBoolean.h"

namespace {

using Polyline = std::vector<MMVector<double, 2>>;
using Op = MStlBaseOperatorPolylineCut;

Polyline Square(double x0, double y0, double x1, double y1) { return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}; }

Polyline Circle(double cx, double cy, double r, int n) {
    Polyline p;
    for (int i = 0; i < n; ++i) p.push_back({cx + r * std::cos(2 * M_PI * i / n), cy + r * std::sin(2 * M_PI * i / n)});
    return p;
}

struct Outcome {
    Op::ERCode code;
    std::vector<std::unique_ptr<MStlBase>> parts;
};

Outcome CutAlong(MStlBase& model, const Polyline& polyline, Op::MParams params = {},
            QelSDK::Common::ProgressPtr progress = nullptr) {
    Op op;
    op.SetModelToCut(&model);
    op.SetCutPolyline(polyline);
    op.SetParameters(params);
    Outcome o{op.Operate(progress), {}};
    o.parts = op.GetOutputStls();
    EXPECT_TRUE(op.GetOutputStls().empty()) << "the outputs are handed out once";
    return o;
}

// Distance in X-Y from a point to the closed polyline.
double DistanceToPolyline(double x, double y, const Polyline& p) {
    double best = INFINITY;
    for (size_t i = 0; i < p.size(); ++i) {
        const MMVector<double, 2>& a = p[i];
        const MMVector<double, 2>& b = p[(i + 1) % p.size()];
        const double dx = b[0] - a[0], dy = b[1] - a[1];
        const double t = std::clamp(((x - a[0]) * dx + (y - a[1]) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        best = std::min(best, std::hypot(x - a[0] - t * dx, y - a[1] - t * dy));
    }
    return best;
}

double MinimumDistance(const MStlBase& mesh, const Polyline& p) {
    double best = INFINITY;
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
        best = std::min(best, DistanceToPolyline(it->GetX(), it->GetY(), p));
    return best;
}

AU::M2dIntegerBorder Border(const Polyline& p) {
    AU::M2dIntegerBorder border;
    auto* c = border.AddContour();
    for (const auto& q : p) c->AddPoint(long(q[0]), long(q[1]), 0L, nullptr);
    c->SetClosed(true);
    return border;
}

}  // namespace

TEST(PolylineCut, PartsOfClosedMeshesAreClosedAndAddUp) {
    MStlBase sphere, torus, shells;
    GenerateSphere(sphere, 20000.0, 6000);
    GenerateTorus(torus, 30000.0, 9000.0, 6000);
    GenerateSphere(shells, 10000.0, 2000, {-15000.0, 0.0, 0.0});
    GenerateSphere(shells, 8000.0, 2000, {15000.0, 3000.0, 0.0});
    const Polyline polylines[] = {Circle(10000, 1000, 16000, 40), Square(-20000, -20000, 5000, 25000),
                                  Circle(12000, 0, 14000, 7)};
    for (MStlBase* mesh : {&sphere, &torus, &shells}) {
        for (const Polyline& p : polylines) {
            MStlBase model;
            model.AddStl(*mesh, false);
            SCOPED_TRACE(testing::Message() << "mesh " << (mesh == &sphere ? "sphere" : mesh == &torus ? "torus" : "shells")
                                            << " polyline of " << p.size());
            Outcome o = CutAlong(model, p);
            ASSERT_EQ(o.code, Op::eCutDone);
            ASSERT_EQ(o.parts.size(), 2u);
            EXPECT_TRUE(Sound(*o.parts[0]));
            EXPECT_TRUE(Sound(*o.parts[1]));
            EXPECT_NE(o.parts[0]->GetName().find(L"inside_of_"), std::wstring::npos);
            const double bound = GridBound(*o.parts[0], *mesh) + GridBound(*o.parts[1], *mesh);
            EXPECT_NEAR(o.parts[0]->Volume() + o.parts[1]->Volume(), mesh->Volume(), bound);
            EXPECT_GE(model.GetNumberOfTriangles(), mesh->GetNumberOfTriangles()) << "the model is divided in place";
        }
    }
}

TEST(PolylineCut, ClearancesCutAGapOfTheirWidth) {
    // A 20-unit box and a square polyline: each part loses the band between
    // the polyline and its offset into that part.
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {20000, 20000, 20000}, 4);
    const Polyline square = Square(5000, 5000, 15000, 15000);
    Op::MParams params;
    params.insideClearance = 1000;
    params.outsideClearance = 1500;
    MStlBase model;
    model.AddStl(box, false);
    Outcome o = CutAlong(model, square, params);
    ASSERT_EQ(o.code, Op::eCutDone);
    ASSERT_EQ(o.parts.size(), 2u);
    EXPECT_TRUE(Sound(*o.parts[0]));
    EXPECT_TRUE(Sound(*o.parts[1]));
    // In X-Y the parts keep their clearance from the polyline, so they stay
    // inside + outside clearance apart (to within the grid).
    EXPECT_GE(MinimumDistance(*o.parts[0], square), 1000.0 - 1.0);
    EXPECT_GE(MinimumDistance(*o.parts[1], square), 1500.0 - 1.0);
    // The removed volume is the offset band's area times the height.
    AU::M2dIntegerBorder input = Border(square), inner, outer;
    M2dOffsetter offsetter;
    offsetter.SetInputBorder(&input);
    offsetter.SetArcTolerance(10.0);
    offsetter.SetOutputBorder(&inner);
    ASSERT_TRUE(offsetter.CreateOffset(1000));
    offsetter.SetOutputBorder(&outer);
    ASSERT_TRUE(offsetter.CreateOffset(-1500));
    EXPECT_LE(M2dBoolean::Area(inner), 8000.0 * 8000.0);
    EXPECT_GE(M2dBoolean::Area(inner), 7980.0 * 7980.0);
    // Round corners lie at least the distance out, and at most the arc
    // tolerance more.
    EXPECT_GE(M2dBoolean::Area(outer), 13000.0 * 13000.0 - (4 - M_PI) * 1500.0 * 1500.0);
    EXPECT_LE(M2dBoolean::Area(outer), 13020.0 * 13020.0 - (4 - M_PI) * 1510.0 * 1510.0);
    const double band = (M2dBoolean::Area(outer) - M2dBoolean::Area(inner)) * 20000.0;
    const double removed = box.Volume() - o.parts[0]->Volume() - o.parts[1]->Volume();
    EXPECT_NEAR(removed, band, 1e-3 * band);
    EXPECT_LE(o.parts[0]->Volume(), 8000.0 * 8000.0 * 20000.0);
    EXPECT_GE(o.parts[0]->Volume(), 7980.0 * 7980.0 * 20000.0);
}

TEST(PolylineCut, DepthLeavesTheModelBelowWhole) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {20000, 20000, 20000}, 2);
    Op::MParams params;
    params.depth = 12000;
    MStlBase model;
    model.AddStl(box, false);
    Outcome o = CutAlong(model, Square(5000, 5000, 15000, 15000), params);
    ASSERT_EQ(o.code, Op::eCutDone);
    ASSERT_EQ(o.parts.size(), 2u);
    EXPECT_TRUE(Sound(*o.parts[0]));
    EXPECT_TRUE(Sound(*o.parts[1]));
    EXPECT_NEAR(o.parts[0]->Volume(), 10000.0 * 10000.0 * 8000.0, 1e-9 * box.Volume());
    for (auto it = o.parts[0]->BeginPoint(); it != o.parts[0]->EndPoint(); ++it) EXPECT_GE(it->GetZ(), 12000);
    // Depth 0 (or below) cuts through the whole height.
    params.depth = 0;
    MStlBase again;
    again.AddStl(box, false);
    Outcome full = CutAlong(again, Square(5000, 5000, 15000, 15000), params);
    EXPECT_NEAR(full.parts[0]->Volume(), 10000.0 * 10000.0 * 20000.0, 1e-9 * box.Volume());
}

TEST(PolylineCut, SectionFilter) {
    MCutTriangleFilterSections filter;
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {20000, 20000, 20000}, 2);
    EXPECT_TRUE(filter.CanCutFilteredPart(&box, Square(1, 1, 2, 2)));
    EXPECT_FALSE(filter(&**box.BeginTriangle())) << "no planes: nothing is ignored";
    // The plane z = 10 (through the grid's middle vertices): triangles below
    // it are ignored, none is divided by it.
    filter.AddFilterPlane(10000.0, MMVector<double, 3>(0.0, 0.0, 1.0));
    ASSERT_EQ(filter.GetPlanes().size(), 1u);
    EXPECT_NEAR(filter.GetPlanes()[0].Distance(0.0, 0.0, 10000.0), 0.0, 1e-9);
    EXPECT_TRUE(filter.CanCutFilteredPart(&box, Square(5000, 5000, 15000, 15000)));
    // z = 7: the side faces' lower triangles are divided by it; a polyline
    // crossing the side faces in X-Y is refused, one inside them is not.
    MCutTriangleFilterSections low;
    low.AddFilterPlane(MMVector<double, 3>(0.0, 0.0, 7000.0), MMVector<double, 3>(0.0, 0.0, 1.0));
    EXPECT_FALSE(low.CanCutFilteredPart(&box, Square(-5000, 5000, 15000, 15000)));
    EXPECT_TRUE(low.CanCutFilteredPart(&box, Square(5000, 5000, 15000, 15000)));
    // Touching counts: a polyline through a divided triangle's corner.
    EXPECT_FALSE(low.CanCutFilteredPart(&box, {{0, 0}, {-5000, 10}, {-5000, -5000}}));

    // Through the operator: ignored triangles stay whole; a refused cut is 4.
    Op op;
    MStlBase model;
    model.AddStl(box, false);
    op.SetModelToCut(&model);
    op.SetCutPolyline(Square(5000, 5000, 15000, 15000));
    Op::MParams params;
    params.useFilterPlanes = true;
    op.SetParameters(params);
    op.AddFilterPlane(MMVector<double, 3>(0.0, 0.0, 10000.0), MMVector<double, 3>(0.0, 0.0, 1.0));
    const uint64_t bottom = 8;  // the bottom face's triangles
    ASSERT_NE(op.Operate(), Op::eFilteredPartNotCuttable);
    auto parts = op.GetOutputStls();
    uint64_t wholeBottom = 0;
    for (const auto& part : parts)
        for (auto it = part->BeginTriangle(); it != part->EndTriangle(); ++it)
            wholeBottom += it->GetPoint(0)->GetZ() == 0 && it->GetPoint(1)->GetZ() == 0 && it->GetPoint(2)->GetZ() == 0 &&
                           std::fabs(it->Area() - 0.5 * 10000.0 * 10000.0) < 1.0;
    EXPECT_EQ(wholeBottom, bottom);
    Op refused;
    MStlBase model2;
    model2.AddStl(box, false);
    refused.SetModelToCut(&model2);
    refused.SetCutPolyline(Square(-5000, 5000, 15000, 15000));
    refused.SetParameters(params);
    refused.AddFilterPlane(MMVector<double, 3>(0.0, 0.0, 7000.0), MMVector<double, 3>(0.0, 0.0, 1.0));
    EXPECT_EQ(refused.Operate(), Op::eFilteredPartNotCuttable);
    EXPECT_TRUE(refused.GetOutputStls().empty());
}

TEST(PolylineCut, ResultCodesAndBadInput) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 3000);
    MStlBase model;
    model.AddStl(sphere, false);
    EXPECT_EQ(CutAlong(model, {{0, 0}, {1000, 0}}).code, Op::eBadInput);
    Op none;
    none.SetCutPolyline(Square(0, 0, 1, 1));
    EXPECT_EQ(none.Operate(), Op::eBadInput);
    EXPECT_EQ(CutAlong(model, {{0, 0}, {1000, 0}, {NAN, 5}}).code, Op::eBadInput);
    EXPECT_EQ(CutAlong(model, {{0, 0}, {1e12, 0}, {0, 5}}).code, Op::eBadInput);
    Op::MParams negative;
    negative.insideClearance = -5;
    EXPECT_EQ(CutAlong(model, Square(0, 0, 1000, 1000), negative).code, Op::eBadInput);
    // Wholly outside: one output, the whole model.
    Outcome outside = CutAlong(model, Square(50000, 50000, 60000, 60000));
    EXPECT_EQ(outside.code, Op::eNotDivided);
    ASSERT_EQ(outside.parts.size(), 1u);
    EXPECT_NEAR(outside.parts[0]->Volume(), sphere.Volume(), 1e-12 * sphere.Volume());
    // A triangle polyline is enough; a self-crossing one cuts the region it
    // winds round.
    EXPECT_EQ(CutAlong(model, {{-5000, -5000}, {5000, -5000}, {0, 6000}}).code, Op::eCutDone);
    MStlBase starModel;
    starModel.AddStl(sphere, false);
    Polyline star;
    for (int i = 0; i < 5; ++i) {
        const double a = M_PI / 2 + i * 4 * M_PI / 5;
        star.push_back({9000 * std::cos(a), 9000 * std::sin(a)});
    }
    Outcome crossing = CutAlong(starModel, star);
    ASSERT_EQ(crossing.code, Op::eCutDone);
    EXPECT_TRUE(Sound(*crossing.parts[0]));
    EXPECT_TRUE(Sound(*crossing.parts[1]));
    // Cancellation: code 2, no mesh from the cancelled cut, and the model is
    // still there.
    for (int allowed : {0, 2, 5}) {
        MStlBase cancelled;
        cancelled.AddStl(sphere, false);
        Op::MParams clear;
        clear.insideClearance = clear.outsideClearance = 500;
        Outcome c = CutAlong(cancelled, Circle(0, 0, 9000, 24), clear, std::make_shared<CancelAfter>(allowed));
        EXPECT_EQ(c.code, Op::eCancelled);
        EXPECT_TRUE(c.parts.empty());
        EXPECT_GT(cancelled.GetNumberOfTriangles(), 0u);
    }
    // An open model: the parts come out, and the code says they are open.
    MStlBase open;
    open.AddStl(sphere, false);
    for (auto it = open.BeginTriangle(); it != open.EndTriangle();) {
        MStlTriangleElement* t = *it;
        ++it;
        if (t->GetPoint(0)->GetZ() > 15000 && t->GetPoint(1)->GetZ() > 15000 && t->GetPoint(2)->GetZ() > 15000)
            open.RemoveTriangle(t);
    }
    EXPECT_EQ(CutAlong(open, Circle(0, 0, 12000, 24)).code, Op::eOpeningsNotClosed);
}

TEST(PolylineCut, TwoDimensionalBooleanAndOffset) {
    // Two overlapping squares: union, intersection and difference areas.
    M2dBoolean boolean;
    boolean.ADD_BORDER(Border(Square(0, 0, 10, 10)));
    boolean.ADD_BORDER(Border(Square(5, 5, 15, 15)));
    const double expected[] = {175.0, 25.0, 75.0, 150.0};
    for (int op = 0; op < 4; ++op) {
        AU::M2dIntegerBorder out;
        ASSERT_TRUE(boolean.Execute(M2dBoolean::EOperation(op), out));
        double area = 0.0;
        for (auto* c = out.GetFirstContour(); c; c = AU::M2dIntegerBorder::Next(c)) {
            AU::M2dIntegerBorder single;
            single.AddContour()->CopyPointsFrom(*c);
            area += (c->IsClockwise() ? -1 : 1) * std::fabs(M2dBoolean::Area(single));
        }
        EXPECT_NEAR(area, expected[op], 1e-9) << op;
    }
    // The two squares' edges cross; a square alone does not cross itself,
    // a bow tie does, and so does an edge folding back on its neighbour.
    std::vector<std::pair<long, long>> points;
    EXPECT_TRUE(boolean.HasIntersections(&points));
    EXPECT_FALSE(points.empty());
    M2dBoolean single;
    single.ADD_BORDER(Border(Square(0, 0, 10, 10)));
    EXPECT_FALSE(single.HasIntersections(nullptr));
    M2dBoolean bowTie;
    bowTie.ADD_BORDER(Border({{0, 0}, {10, 10}, {10, 0}, {0, 10}}));
    EXPECT_TRUE(bowTie.HasIntersections(nullptr));
    M2dBoolean fold;
    fold.ADD_BORDER(Border({{0, 0}, {10, 0}, {5, 0}, {5, 5}}));
    EXPECT_TRUE(fold.HasIntersections(nullptr));
    // Offsetting: a negative offset grows the region, a positive one shrinks
    // it, and one larger than the region leaves nothing.
    AU::M2dIntegerBorder square = Border(Square(0, 0, 1000, 1000)), grown, shrunk, gone;
    M2dOffsetter offsetter;
    offsetter.SetInputBorder(&square);
    offsetter.SetOutputBorder(&grown);
    ASSERT_TRUE(offsetter.CreateOffset(-100));
    offsetter.SetOutputBorder(&shrunk);
    ASSERT_TRUE(offsetter.CreateOffset(100));
    offsetter.SetOutputBorder(&gone);
    ASSERT_TRUE(offsetter.CreateOffset(600));
    EXPECT_GT(M2dBoolean::Area(grown), 1200.0 * 1200.0 - (4 - M_PI) * 101.0 * 101.0 - 1.0);
    EXPECT_NEAR(M2dBoolean::Area(shrunk), 799.0 * 799.0, 1000.0 * 2.0);
    EXPECT_EQ(gone.GetNumberOfContours(), 0);
}

TEST(PolylineCut, ClearancesFarBeyondTheModel) {
    // An offset by a million model units keeps only what lies in the clip
    // window, in range and in few points: here the whole window.
    AU::M2dIntegerBorder square = Border(Square(-10000, -10000, 10000, 10000)), grown;
    M2dOffsetter offsetter;
    offsetter.SetInputBorder(&square);
    offsetter.SetOutputBorder(&grown);
    offsetter.SetArcTolerance(10.0);
    offsetter.SetClipWindow(-60000, -60000, 60000, 60000);
    ASSERT_TRUE(offsetter.CreateOffset(-1000000000));
    ASSERT_EQ(grown.GetNumberOfContours(), 1);
    EXPECT_DOUBLE_EQ(M2dBoolean::Area(grown), 120000.0 * 120000.0);
    // A window cutting through the grown square's round corner.
    AU::M2dIntegerBorder corner;
    offsetter.SetOutputBorder(&corner);
    offsetter.SetClipWindow(0, 0, 30000, 30000);
    ASSERT_TRUE(offsetter.CreateOffset(-10000));
    EXPECT_NEAR(M2dBoolean::Area(corner), 20000.0 * 20000.0 - (1 - M_PI / 4) * 10000.0 * 10000.0, 20000.0 * 40.0);

    // The outside part moved out by a million units is nothing near the
    // model: the inside part alone is delivered, and the cut did not divide.
    MStlBase sphere;
    GenerateSphere(sphere, 50000.0, 4000);
    for (const bool both : {false, true}) {
        MStlBase model;
        model.AddStl(sphere, false);
        Op::MParams far;
        far.outsideClearance = 1000000000;
        if (both) far.insideClearance = 2000;
        Outcome o = CutAlong(model, Square(-10000, -10000, 10000, 10000), far);
        EXPECT_EQ(o.code, Op::eNotDivided);
        ASSERT_EQ(o.parts.size(), 1u);
        EXPECT_TRUE(Sound(*o.parts[0]));
        EXPECT_NE(o.parts[0]->GetName().find(L"inside_of_"), std::wstring::npos);
        EXPECT_LT(MinimumDistance(*o.parts[0], Square(-10000, -10000, 10000, 10000)), both ? 2100.0 : 1.0);
    }
}

TEST(PolylineCut, ClearancesOfACombEnd) {
    // The clearance cuts meet the first cut's upright fill triangles, some
    // with a corner right over a corner of the moved polyline and a side
    // through it as well: the cut ends, and says whether it closed.
    MStlBase sphere;
    GenerateSphere(sphere, 50000.0, 5000);
    Polyline comb;
    for (int t = 0; t < 60; ++t)
        for (auto [x, y] : {std::pair{150.0, -40000.0}, {150.0, 60000.0}, {450.0, 60000.0}, {450.0, -40000.0}})
            comb.push_back({-60000.0 + 600.0 * t + x, y});
    for (auto [x, y] : {std::pair{60000.0, -40000.0}, {60000.0, -70000.0}, {-60000.0, -70000.0}}) comb.push_back({x, y});
    Op::MParams clear;
    clear.insideClearance = clear.outsideClearance = 100;
    Outcome o = CutAlong(sphere, comb, clear);
    ASSERT_TRUE(o.code == Op::eCutDone || o.code == Op::eOpeningsNotClosed || o.code == Op::eNotDivided) << o.code;
    if (o.code == Op::eCutDone) {
        for (const auto& part : o.parts) EXPECT_TRUE(Sound(*part));
    }
}


TEST(PolylineCut, RunningOutOfMemoryIsACode) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 2000);
    for (int n : {1, 3, 10, 30}) {
        MStlBase model;
        model.AddStl(sphere, false);
        Op::MParams clear;
        clear.insideClearance = clear.outsideClearance = 500;
        Outcome o = CutAlong(model, Circle(0, 0, 9000, 24), clear, std::make_shared<FailAllocationAt>(n));
        EXPECT_EQ(o.code, Op::eOutOfMemory) << n;
        EXPECT_TRUE(o.parts.empty()) << n;

        MCutter cutter;
        cutter.SetCutStl(sphere, false);
        cutter.SET_CUT_MODE(2, 0);
        EXPECT_EQ(cutter.MAKE_CUT(std::make_shared<FailAllocationAt>(n)), MCutter::kOutOfMemory) << n;
        EXPECT_EQ(cutter.GetNumResults(), 0u);
    }
}

TEST(PolylineCut, OffsetsOfLongOutlines) {
    // A circle of 20,000 points: the offset leaves out the points closer
    // than the tolerance to their neighbours' line, and still lies between
    // the distance and three tolerances more from the outline.
    const double r = 30000.0, tolerance = 10.0;
    AU::M2dIntegerBorder circle = Border(Circle(0, 0, r, 20000));
    for (const long d : {1000L, -1000L}) {
        AU::M2dIntegerBorder out;
        M2dOffsetter offsetter;
        offsetter.SetInputBorder(&circle);
        offsetter.SetOutputBorder(&out);
        offsetter.SetArcTolerance(tolerance);
        ASSERT_TRUE(offsetter.CreateOffset(d));
        ASSERT_EQ(out.GetNumberOfContours(), 1) << d;
        EXPECT_LT(out.GetFirstContour()->GetNumberOfPoints(), 2000u) << d;
        const double inner = r - double(d) - (d > 0 ? 3 * tolerance : 0.0) - 2.0;
        const double outer = r - double(d) + (d < 0 ? 3 * tolerance : 0.0) + 2.0;
        EXPECT_GE(M2dBoolean::Area(out), M_PI * inner * inner) << d;
        EXPECT_LE(M2dBoolean::Area(out), M_PI * outer * outer) << d;
    }
}

// A polyline along the upright faces of a tetrahedron: its corners, spaced
// along those faces, once split the faces without end.  The cut now ends,
// with closed parts.
TEST(PolylineCut, AlongUprightFacesEnds) {
    MStlBase tetra;
    const int32_t v[4][3] = {{-40000, -40000, -40000}, {-40000, -40000, 40000}, {-40000, 40000, -40000}, {40000, -40000, -40000}};
    const int faces[4][3] = {{0, 1, 2}, {0, 3, 1}, {1, 3, 2}, {0, 2, 3}};
    for (const auto& f : faces) {
        MStlPoint* p[3];
        for (int k = 0; k < 3; ++k) p[k] = tetra.AddPoint(v[f[k]][0], v[f[k]][1], v[f[k]][2]);
        ASSERT_NE(tetra.AddTriangle(p[0], p[1], p[2], nullptr), nullptr);
    }
    ASSERT_TRUE(Sound(tetra));
    const Polyline outline = {{-40000, -40000}, {40000, -40000}, {-40000, 40000}};
    for (const auto& [inside, outside] : {std::pair{0, 0}, std::pair{1340, 1307}}) {
        SCOPED_TRACE(testing::Message() << "clearances " << inside << ", " << outside);
        MStlBase model;
        model.AddStl(tetra, false);
        Op::MParams params;
        params.insideClearance = inside;
        params.outsideClearance = outside;
        Outcome o = CutAlong(model, outline, params);
        ASSERT_TRUE(o.code == Op::eCutDone || o.code == Op::eNotDivided) << int(o.code);
        for (const auto& part : o.parts) EXPECT_TRUE(Sound(*part));
    }
}
