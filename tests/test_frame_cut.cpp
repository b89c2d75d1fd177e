#include <gtest/gtest.h>

#include <set>
#include <memory>
#include <new>
#include <string>
#include <tuple>

#include "MUserOperatorStlCutWithFrame.h"
#include "TestMeshes.h"
#include "host/MPointInsideModelChecker.h"

namespace {

using Op = MUserOperatorStlCutWithFrame;

struct Outputs {
    Op::EReturnCode code;
    std::unique_ptr<MStlBase> above, below, withoutCut;
    std::vector<std::unique_ptr<MStlBase>> unclassified;
};

Outputs Cut(const MStlBase& mesh, const MFrame<double>& frame) {
    Op op;
    op.SetStl(mesh);
    op.SetFrame(frame);
    Outputs out;
    out.code = op.Operate();
    out.above = op.GetOutputModelAbove();
    out.below = op.GetOutputModelBelow();
    out.withoutCut = op.GetOutputModelShellsWithoutCut();
    out.unclassified = op.GetOutputModelsUnclassifiedShells();
    return out;
}

// A horizontal frame at height z over the rectangle [x0, x1] × [y0, y1].
MFrame<double> Horizontal(double x0, double y0, double x1, double y1, double z) {
    return MFrame<double>({x0, y0, z}, {x1 - x0, 0, 0}, {0, y1 - y0, 0});
}

void Box(MStlBase& mesh, MMVector3l lo, MMVector3l hi, bool cavity = false) {
    MStlBase box;
    GenerateBox(box, lo, hi, 3);
    if (cavity) box.Invert();
    mesh.AddStl(box, false);
}

double Cube(double side) { return side * side * side; }

// Every triangle of `a` lying in the plane z = height has its reversed
// twin in `b`, and the other way round.
void ExpectPairedInterfaces(const MStlBase& a, const MStlBase& b, int32_t height) {
    using Key = std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t, int32_t>;
    auto collect = [height](const MStlBase& m, bool reverse) {
        std::multiset<Key> keys;
        for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it) {
            const MStlPoint *p = it->GetPoint(0), *q = it->GetPoint(1), *r = it->GetPoint(2);
            if (p->GetZ() != height || q->GetZ() != height || r->GetZ() != height) continue;
            if (reverse) std::swap(q, r);
            // Start at the smallest corner so that rotations compare equal.
            const MStlPoint* c[3] = {p, q, r};
            int s = 0;
            for (int i = 1; i < 3; ++i)
                if (std::pair(c[i]->GetX(), c[i]->GetY()) < std::pair(c[s]->GetX(), c[s]->GetY())) s = i;
            keys.insert({c[s]->GetX(), c[s]->GetY(), c[(s + 1) % 3]->GetX(), c[(s + 1) % 3]->GetY(),
                         c[(s + 2) % 3]->GetX(), c[(s + 2) % 3]->GetY()});
        }
        return keys;
    };
    const auto inA = collect(a, false), inB = collect(b, true);
    EXPECT_FALSE(inA.empty());
    EXPECT_EQ(inA, inB);
}

}  // namespace

TEST(CutWithFrame, FrameOverTheWholeSectionGivesClosedAboveAndBelow) {
    MStlBase box;
    Box(box, {0, 0, 0}, {10000, 10000, 10000});
    const double volume = box.Volume();
    Outputs out = Cut(box, Horizontal(-1000, -1000, 11000, 11000, 4000));
    ASSERT_EQ(out.code, Op::eCutOk);
    ASSERT_TRUE(out.above && out.below && out.withoutCut);
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
    EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), 0u);
    EXPECT_TRUE(out.unclassified.empty());
    EXPECT_EQ(out.above->GetName(), L"Above");
    EXPECT_EQ(out.below->GetName(), L"Below");
    EXPECT_EQ(out.withoutCut->GetName(), L"Without cut");
    EXPECT_EQ(out.below->GetZMax(), 4000);
    EXPECT_EQ(out.above->GetZMin(), 4000);
    EXPECT_NEAR(out.below->Volume(), 0.4 * volume, 1e-9 * volume);
    EXPECT_NEAR(out.above->Volume() + out.below->Volume(), volume, 1e-9 * volume);
    ExpectPairedInterfaces(*out.above, *out.below, 4000);
    // The input is left as it was.
    EXPECT_EQ(CheckMesh(box).triangles, 108u);

    // A plane through a ring of the mesh's own edges: nothing to divide,
    // the cut opens along those edges.
    MStlBase coarse;
    GenerateBox(coarse, {0, 0, 0}, {10000, 10000, 10000}, 2);
    out = Cut(coarse, Horizontal(-1000, -1000, 11000, 11000, 5000));
    ASSERT_EQ(out.code, Op::eCutOk);
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
    EXPECT_NEAR(out.below->Volume(), 0.5 * volume, 1e-9 * volume);
    // Each part: its 24 triangles and a fill of the 8-point section.
    EXPECT_EQ(out.above->GetNumberOfTriangles() + out.below->GetNumberOfTriangles(), 48u + 2u * 6u);
}

TEST(CutWithFrame, VerticalAndTiltedFramesCutClosedHalves) {
    MStlBase box;
    Box(box, {0, 0, 0}, {10000, 10000, 10000});
    const double volume = box.Volume();
    // A frame in the plane x = 3000, normal along +x: the section's corners
    // differ only in z, which must not make them repeats of each other.
    Outputs out = Cut(box, MFrame<double>({3000, -500, -500}, {0, 11000, 0}, {0, 0, 11000}));
    ASSERT_EQ(out.code, Op::eCutOk);
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
    EXPECT_EQ(out.below->GetXMax(), 3000);
    EXPECT_NEAR(out.below->Volume(), 0.3 * volume, 1e-9 * volume);
    EXPECT_NEAR(out.above->Volume(), 0.7 * volume, 1e-9 * volume);

    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 5000);
    const double whole = sphere.Volume();
    // A tilted rectangle centred near the sphere's centre, larger than its
    // section.
    const MMVector3d u{32000, 32000, 0}, v{-32000, 32000, 64000}, centre{500, 0, 0};
    out = Cut(sphere, MFrame<double>(centre - u * 0.5 - v * 0.5, u, v));
    ASSERT_EQ(out.code, Op::eCutOk);
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
    const double sum = out.above->Volume() + out.below->Volume();
    EXPECT_NEAR(sum, whole, GridBound(*out.above, sphere) + GridBound(*out.below, sphere));
    EXPECT_GT(out.above->Volume(), 0.1 * whole);
    EXPECT_GT(out.below->Volume(), 0.1 * whole);
}

TEST(CutWithFrame, OnlyContoursWhollyInsideTheFrameAreCut) {
    MStlBase box;
    Box(box, {0, 0, 0}, {10000, 10000, 10000});
    // A rectangle inside the section meets no contour point: nothing is cut.
    Outputs out = Cut(box, Horizontal(2000, 2000, 8000, 8000, 5000));
    EXPECT_EQ(out.code, Op::eCutOk);
    EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), box.GetNumberOfTriangles());
    EXPECT_EQ(out.above->GetNumberOfTriangles() + out.below->GetNumberOfTriangles(), 0u);
    // A frame missing the mesh: the whole mesh, untouched, without cut.
    out = Cut(box, Horizontal(20000, 20000, 30000, 30000, 5000));
    EXPECT_EQ(out.code, Op::eCutOk);
    EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), box.GetNumberOfTriangles());
    // A frame over half the section: the contour crosses its edge, is left
    // uncut, and the call says so.
    out = Cut(box, Horizontal(5000, -1000, 15000, 11000, 5000));
    EXPECT_EQ(out.code, Op::eCutPartial);
    EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), box.GetNumberOfTriangles());
    EXPECT_TRUE(Sound(*out.withoutCut));

    // Two boxes side by side: a frame over the first only.  The second box's
    // contour crosses the frame's edge and stays whole.
    MStlBase pair;
    Box(pair, {0, 0, 0}, {10000, 10000, 10000});
    Box(pair, {20000, 0, 0}, {30000, 10000, 10000});
    out = Cut(pair, Horizontal(-1000, -1000, 25000, 11000, 6000));
    EXPECT_EQ(out.code, Op::eCutPartial);
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
    EXPECT_TRUE(Sound(*out.withoutCut));
    EXPECT_EQ(out.above->GetXMax(), 10000);
    EXPECT_EQ(out.below->GetXMax(), 10000);
    EXPECT_EQ(out.withoutCut->GetXMin(), 20000);
    EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), 108u);
    EXPECT_NEAR(out.below->Volume(), 0.6 * Cube(10000), 1e-6);
    // Extending the frame past the second box cuts both and is complete.
    out = Cut(pair, Horizontal(-1000, -1000, 31000, 11000, 6000));
    EXPECT_EQ(out.code, Op::eCutOk);
    EXPECT_EQ(CheckMesh(*out.above).shells, 2u);
    EXPECT_EQ(CheckMesh(*out.below).shells, 2u);
    EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), 0u);
}

TEST(CutWithFrame, CavitiesStayWithTheirShell) {
    // A hollow box: the cavity lies wholly above the cut.
    MStlBase hollow;
    Box(hollow, {0, 0, 0}, {10000, 10000, 10000});
    Box(hollow, {3000, 3000, 3000}, {7000, 7000, 7000}, true);
    const double volume = hollow.Volume();
    EXPECT_NEAR(volume, Cube(10000) - Cube(4000), 1e-6);
    Outputs out = Cut(hollow, Horizontal(-1000, -1000, 11000, 11000, 1000));
    ASSERT_EQ(out.code, Op::eCutOk);
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
    EXPECT_EQ(CheckMesh(*out.above).shells, 2u);
    EXPECT_EQ(CheckMesh(*out.below).shells, 1u);
    EXPECT_NEAR(out.above->Volume(), 0.9 * Cube(10000) - Cube(4000), 1e-6);
    EXPECT_NEAR(out.below->Volume(), 0.1 * Cube(10000), 1e-6);
    EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), 0u);

    // Below the cavity's floor instead, and a frame missing the part: the
    // cavity goes with its shell each time, never alone.
    out = Cut(hollow, Horizontal(-1000, -1000, 11000, 11000, 8000));
    ASSERT_EQ(out.code, Op::eCutOk);
    EXPECT_EQ(CheckMesh(*out.below).shells, 2u);
    EXPECT_NEAR(out.below->Volume(), 0.8 * Cube(10000) - Cube(4000), 1e-6);
    out = Cut(hollow, Horizontal(20000, 20000, 30000, 30000, 5000));
    EXPECT_EQ(out.code, Op::eCutOk);
    EXPECT_EQ(CheckMesh(*out.withoutCut).shells, 2u);
    EXPECT_NEAR(out.withoutCut->Volume(), volume, 1e-6);

    // A cut through the cavity opens it: the part above keeps the cavity's
    // roof, the part below its floor, and the interface is an annulus.
    out = Cut(hollow, Horizontal(-1000, -1000, 11000, 11000, 5000));
    ASSERT_EQ(out.code, Op::eCutOk);
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
    EXPECT_NEAR(out.below->Volume(), volume / 2, 1e-6);
}

TEST(CutWithFrame, BadInputAndGetters) {
    Op op;
    EXPECT_EQ(op.Operate(), Op::eNoInputMesh);
    EXPECT_FALSE(op.GetOutputModelAbove());
    // An open mesh.
    MStlBase open;
    Box(open, {0, 0, 0}, {10000, 10000, 10000});
    open.RemoveTriangle(open.GetFirstTriangle());
    op.SetStl(open);
    op.SetFrame(Horizontal(-1000, -1000, 11000, 11000, 5000));
    EXPECT_EQ(op.Operate(), Op::eMeshNotClosed);
    EXPECT_FALSE(op.GetOutputModelAbove());

    // The default frame (zero axes) and a frame with parallel edges cut
    // nothing: every shell is without cut.
    MStlBase box;
    Box(box, {0, 0, 0}, {10000, 10000, 10000});
    for (const MFrame<double>& frame :
         {MFrame<double>(), MFrame<double>({0, 0, 5000}, {1, 0, 0}, {2, 0, 0}, {0, 0, 1})}) {
        Outputs out = Cut(box, frame);
        EXPECT_EQ(out.code, Op::eCutOk);
        EXPECT_EQ(out.withoutCut->GetNumberOfTriangles(), box.GetNumberOfTriangles());
    }

    // Each getter hands its result over once.
    Op again;
    again.SetStl(box);
    again.SetFrame(Horizontal(-1000, -1000, 11000, 11000, 5000));
    ASSERT_EQ(again.Operate(), Op::eCutOk);
    EXPECT_TRUE(again.GetOutputModelAbove());
    EXPECT_FALSE(again.GetOutputModelAbove());
    EXPECT_TRUE(again.GetOutputModelBelow());
    EXPECT_FALSE(again.GetOutputModelBelow());
    EXPECT_TRUE(again.GetOutputModelShellsWithoutCut());
    EXPECT_FALSE(again.GetOutputModelShellsWithoutCut());
    EXPECT_TRUE(again.GetOutputModelsUnclassifiedShells().empty());
}

TEST(CutWithFrame, ShellsTouchingTheCutFromBothSidesAreUnclassified) {
    // A torus standing upright and cut by a frame over both of its arms at
    // once stays in two classified halves; one over a single arm leaves a
    // C-shaped piece that reaches the cut from above and from below.
    MStlBase torus;
    GenerateTorus(torus, 20000.0, 5000.0, 4000);
    // Lie the torus in the x-z plane: swap y and z by a transform.
    MMTransformMatrix stand;
    stand(1, 1) = 0;
    stand(1, 2) = -1;
    stand(2, 1) = 1;
    stand(2, 2) = 0;
    ASSERT_TRUE(torus.Transform(stand));
    ASSERT_TRUE(Sound(torus));
    Outputs out = Cut(torus, Horizontal(-30000, -10000, 0, 10000, 0));
    EXPECT_EQ(out.code, Op::eCutOk);
    ASSERT_EQ(out.unclassified.size(), 1u);
    // The piece holds both interface surfaces, one at each end of its gap:
    // closed but touching itself along the cut.
    const MeshReport piece = CheckMesh(*out.unclassified[0]);
    EXPECT_EQ(piece.boundaryEdges, 0u);
    EXPECT_TRUE(piece.oriented);
    EXPECT_NEAR(out.unclassified[0]->Volume(), torus.Volume(), GridBound(*out.unclassified[0], torus));
    EXPECT_EQ(out.above->GetNumberOfTriangles() + out.below->GetNumberOfTriangles(), 0u);
    out = Cut(torus, Horizontal(-30000, -10000, 30000, 10000, 0));
    EXPECT_EQ(out.code, Op::eCutOk);
    EXPECT_TRUE(out.unclassified.empty());
    EXPECT_TRUE(Sound(*out.above));
    EXPECT_TRUE(Sound(*out.below));
}

TEST(CutWithFrame, CancellationAtEveryStep) {
    MStlBase box;
    Box(box, {0, 0, 0}, {10000, 10000, 10000});
    for (int allowed = 0; allowed < 7; ++allowed) {
        Op op;
        op.SetStl(box);
        op.SetFrame(Horizontal(-1000, -1000, 11000, 11000, 5000));
        auto progress = std::make_shared<CancelAfter>(allowed);
        EXPECT_EQ(op.Operate(progress), Op::eCancelled) << allowed;
        EXPECT_EQ(progress->steps.count("QelStlOperations.MStlOperatorCutByFrame.Operate"), 1u);
    }
    EXPECT_TRUE(Sound(box));
    EXPECT_EQ(box.GetNumberOfTriangles(), 108u);
}

TEST(PointInsideModelChecker, InsideOutsideAndBoundary) {
    MStlBase box;
    Box(box, {0, 0, 0}, {10000, 10000, 10000});
    MPointInsideModelChecker checker;
    EXPECT_EQ(checker.QueryPoint(1, 1, 1), MPointInsideModelChecker::eNotPreprocessed);
    ASSERT_TRUE(checker.Preprocess(box));
    EXPECT_EQ(checker.QueryPoint(5000, 5000, 5000), MPointInsideModelChecker::eInside);
    EXPECT_EQ(checker.QueryPoint(15000, 5000, 5000), MPointInsideModelChecker::eOutside);
    EXPECT_EQ(checker.QueryPoint(10000, 5000, 5000), MPointInsideModelChecker::eOnBoundary);
    EXPECT_EQ(checker.QueryPoint(std::nan(""), 0.0, 0.0), MPointInsideModelChecker::eOutside);
    MStlBase empty, open;
    EXPECT_FALSE(checker.Preprocess(empty));
    Box(open, {0, 0, 0}, {10000, 10000, 10000});
    open.RemoveTriangle(open.GetFirstTriangle());
    EXPECT_FALSE(checker.Preprocess(open));
}

TEST(CutWithFrame, RunningOutOfMemoryIsACode) {
    // The progress delegate's third poll fails as an allocation would.
    MStlBase sphere;
    GenerateSphere(sphere, 10000.0, 2000);
    MUserOperatorStlCutWithFrame op;
    op.SetStl(sphere);
    op.SetFrame(Horizontal(-20000, -20000, 20000, 20000, 0));
    EXPECT_EQ(op.Operate(std::make_shared<FailAllocationAt>(3)), MUserOperatorStlCutWithFrame::eOutOfMemory);
    EXPECT_FALSE(op.GetOutputModelAbove());
    EXPECT_FALSE(op.GetOutputModelBelow());
}

TEST(CutWithFrame, HoleWhoseOuterContourLeavesTheFrameStaysUncut) {
    // A torus lying flat, cut at mid height by a frame round its hole only:
    // the hole's contour lies wholly in the frame, but the solid round it
    // reaches past the frame, so there is nothing in the frame to fill.
    MStlBase torus;
    GenerateTorus(torus, 20000.0, 5000.0, 4000);
    ASSERT_TRUE(Sound(torus));
    const Outputs out = Cut(torus, Horizontal(-16000, -16000, 16000, 16000, 0));
    EXPECT_EQ(out.code, Op::eCutPartial);
    ASSERT_TRUE(out.withoutCut);
    EXPECT_TRUE(Sound(*out.withoutCut));
    EXPECT_NEAR(out.withoutCut->Volume(), torus.Volume(), GridBound(*out.withoutCut, torus));
    EXPECT_EQ(out.above->GetNumberOfTriangles() + out.below->GetNumberOfTriangles(), 0u);
}
