#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "MStlBaseOperatorCreateZRange.h"
#include "host/MNewSlicer.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"

namespace {

std::map<int, int> CountStatuses(const MStlBase& m) {
    std::map<int, int> n;
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it) ++n[it->GetStatus()];
    return n;
}

// Each contour edge a -> b runs along a triangle below the plane in that
// direction, so that the contours of a side all turn the same way.
bool RunsAlongBelowTriangles(const MStlCutBorder& border) {
    for (const MStlCutContour* c = border.GetFirstContour(); c; c = MStlCutBorder::Next(c)) {
        const MStlCutBorderPoint* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            const MStlPoint* a = p->GetData();
            const MStlPoint* b = p->GetNext()->GetData();
            bool found = false;
            for (uint32_t f = 0; f < a->GetNumberOfNeighbourTriangles(); ++f) {
                const MStlTriangleElement* t = a->GetNeighbourTriangle(f);
                found |= t->GetStatus() == MStlSlicerBase::eBelow && t->GetPoint((t->IndexOfPoint(a) + 1) % 3) == b;
            }
            if (!found) return false;
        }
    }
    return true;
}

}  // namespace

TEST(Slicer, DividesClassifiesAndChainsTheCut) {
    MStlBase cube;
    GenerateBox(cube, {0, 0, 0}, {10000, 10000, 10000}, 1);
    MStlCutBorder border;
    MNewSlicer slicer;
    slicer.SetSliceStl(&cube);
    slicer.SetPlaneSliceMode({0.0, 0.0, 1.0, -5000.0}, true);
    slicer.SetSliceStlBorder(&border);
    ASSERT_TRUE(slicer.Operate());
    EXPECT_EQ(slicer.GetNumberOfDividedTriangles(), 8u);
    const auto statuses = CountStatuses(cube);
    EXPECT_EQ(statuses.at(MStlSlicerBase::eBelow), 14);
    EXPECT_EQ(statuses.at(MStlSlicerBase::eAbove), 14);
    const MeshReport r = CheckMesh(cube);
    EXPECT_TRUE(r.closed && r.oriented) << "the divided mesh stays watertight";
    EXPECT_EQ(r.volume, 1000.0);
    ASSERT_EQ(border.GetNumberOfContours(), 1);
    EXPECT_TRUE(border.GetFirstContour()->IsClosed());
    EXPECT_EQ(border.GetFirstContour()->GetNumberOfPoints(), 8u);
    EXPECT_TRUE(RunsAlongBelowTriangles(border));
    const auto& slice = slicer.GetSliceBorder();
    ASSERT_EQ(slice.GetNumberOfContours(), 1);
    const auto* sp = slice.GetFirstContour()->GetFirstPoint();
    for (uint32_t i = 0; i < 8; ++i, sp = sp->GetNext()) {
        EXPECT_EQ(sp->GetZ(), 5000.0);
        ASSERT_NE(sp->GetData().triangle, nullptr);
        EXPECT_EQ(sp->GetData().triangle->GetStatus(), MStlSlicerBase::eBelow);
    }

    // A torus cut through its hole: two rings, both turning the same way
    // relative to the part below.
    MStlBase torus;
    GenerateTorus(torus, 50000.0, 15000.0, 4000);
    MStlCutBorder rings;
    MNewSlicer ringSlicer;
    ringSlicer.SetSliceStl(&torus);
    ringSlicer.SetPlaneSliceMode({0.0, 0.0, 1.0, -100.0}, true);
    ringSlicer.SetSliceStlBorder(&rings);
    ASSERT_TRUE(ringSlicer.Operate());
    EXPECT_EQ(rings.GetNumberOfContours(), 2);
    EXPECT_TRUE(RunsAlongBelowTriangles(rings));

    MStlCutBorder split[2];
    MNewSlicer::SplitBorderInBelowAndAbove(rings, split);
    EXPECT_EQ(split[0].GetNumberOfContours(), 2);
    EXPECT_EQ(split[1].GetNumberOfContours(), 2);
    EXPECT_EQ(split[1].GetNumberOfPoints(), rings.GetNumberOfPoints());
}

TEST(Slicer, TrialSliceLeavesTheMeshAlone) {
    MStlBase sphere;
    GenerateSphere(sphere, 30000.0, 3000);
    const uint64_t triangles = sphere.GetNumberOfTriangles();
    const double volume = sphere.Volume();
    MNewSlicer trial;
    trial.SetSliceStl(&sphere);
    trial.SetPlaneSliceMode({0.0, 1.0, 0.0, -777.0}, false);
    ASSERT_TRUE(trial.Operate());
    EXPECT_EQ(sphere.GetNumberOfTriangles(), triangles);
    EXPECT_EQ(sphere.Volume(), volume);
    ASSERT_EQ(trial.GetSliceBorder().GetNumberOfContours(), 1);
    EXPECT_TRUE(trial.GetSliceBorder().GetFirstContour()->IsClosed());
    EXPECT_GT(trial.GetSliceBorder().GetFirstContour()->GetNumberOfPoints(), 20u);
    const auto statuses = CountStatuses(sphere);
    EXPECT_GT(statuses.at(0), 0) << "crossing triangles reach no side";
    EXPECT_GT(statuses.at(MStlSlicerBase::eBelow), 0);

    MNewSlicer none;
    EXPECT_FALSE(none.Operate()) << "no mesh";
    none.SetSliceStl(&sphere);
    none.SetPlaneSliceMode({0.0, 0.0, 0.0, 1.0}, true);
    EXPECT_FALSE(none.Operate()) << "no plane";
}

TEST(Slicer, MaskedShellsAndTheOthers) {
    MStlBase two;
    GenerateBox(two, {0, 0, 0}, {10000, 10000, 10000}, 1);
    GenerateBox(two, {20000, 0, 0}, {30000, 10000, 10000}, 1);
    MDataMaskBits<MStlTriangle> mask(two, 1);
    mask.Set(two.GetFirstTriangle());  // a triangle of the first box
    for (int mode : {0, 1}) {
        MStlBase copy;
        copy.Copy(two);
        MDataMaskBits<MStlTriangle> copyMask(copy, 1);
        copyMask.Set(copy.GetFirstTriangle());
        MNewSlicer slicer;
        slicer.SetSliceStl(&copy);
        slicer.SetPlaneSliceMode({0.0, 0.0, 1.0, -2000.0}, true);
        slicer.SetTrianglesToSliceFrom(&copyMask, false);
        slicer.SetModeUnslicedShells(mode);
        ASSERT_TRUE(slicer.Operate());
        EXPECT_EQ(slicer.GetNumberOfDividedTriangles(), 8u) << "only the marked box is divided";
        int unslicedStatus = -1;
        for (auto it = copy.BeginTriangle(); it != copy.EndTriangle(); ++it)
            if (it->GetPoint(0)->GetX() >= 20000) unslicedStatus = it->GetStatus();
        EXPECT_EQ(unslicedStatus, mode == 0 ? 0 : int(MStlSlicerBase::eAbove)) << "mode " << mode;
    }
}

TEST(ZRange, CarriesTexturesAndGraphEdges) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 2);
    MStlTexture* texture = box.GetTextureFactory()->AddTexture();
    texture->SetImageName(L"wood.png");
    MStlTexture::Coordinates uv;
    uv.uv[1][0] = 1.0f;
    uint64_t textured = 0;
    for (auto it = box.BeginTriangle(); it != box.EndTriangle(); ++it)
        if (it->GetPoint(0)->GetZ() == 0 && it->GetPoint(1)->GetZ() == 0 && it->GetPoint(2)->GetZ() == 0) {
            texture->AddTriangle(*it, uv);
            ++textured;
        }
    ASSERT_EQ(textured, 8u);
    MStlPoint* low = box.GetPoint(0, 0, 0);
    MStlPoint* mid = box.GetPoint(0, 0, 5000);
    MStlPoint* high = box.GetPoint(0, 0, 10000);
    box.AddEdge(low, box.GetPoint(10000, 0, 0));  // both ends below the range
    box.AddEdge(low, mid);                          // one end inside: kept whole
    box.AddEdge(mid, high);                         // both ends within reach

    MStlBase whole;
    MStlBaseOperatorCreateZRange all;
    all.SetInput(&box);
    all.SetOutput(&whole);
    ASSERT_TRUE(all.Operate());
    ASSERT_NE(whole.GetTextureFactory(), nullptr);
    ASSERT_EQ(whole.GetTextureFactory()->GetNumberOfTextures(), 1u);
    EXPECT_EQ(whole.GetTextureFactory()->GetTexture(0)->GetNumberOfTriangles(), 8u);
    EXPECT_EQ(whole.GetTextureFactory()->GetTexture(0)->GetImageName(), L"wood.png");
    EXPECT_EQ(whole.GetEdges().size(), 3u);

    MStlBase slab;
    MStlBaseOperatorCreateZRange range;
    range.SetInput(&box);
    range.SetOutput(&slab);
    range.SetRange(2500, 7500);
    ASSERT_TRUE(range.Operate());
    EXPECT_EQ(slab.GetEdges().size(), 2u);
    EXPECT_EQ(slab.GetTextureFactory()->GetTexture(0)->GetNumberOfTriangles(), 0u)
        << "the textured bottom lies outside the range";
    const MeshReport r = CheckMesh(slab);
    // Per ring: 4 sides x 2 squares, each crossed at a vertical edge and a diagonal.
    EXPECT_EQ(r.boundaryEdges, 32u) << "two open rings of 16 edges";
    EXPECT_NEAR(r.area, 4 * 10.0 * 5.0, 1e-9);
}

namespace {
struct Recorder final : QelSDK::Common::IProgressDelegate {
    void OnProgress(const std::string& step, double f) override { steps.emplace_back(step, f); }
    bool IsCancelled() const override { return false; }
    std::vector<std::pair<std::string, double>> steps;
};
}  // namespace

TEST(Progress, NestedReportsStayInTheirShare) {
    auto recorder = std::make_shared<Recorder>();
    {
        QelSDK::Common::IncrementalProgressReporter outer(recorder, "outer", 4, false);
        ++outer;
        {
            QelSDK::Common::IncrementalProgressReporter inner(outer.CreateNestedDelegate(0.5), "inner", 10, true);
            for (int i = 0; i < 10; ++i) ++inner;
        }
        ++outer;
    }
    ASSERT_FALSE(recorder->steps.empty());
    double last = 0.0;
    for (const auto& [step, f] : recorder->steps) {
        EXPECT_GE(f, 0.0);
        EXPECT_LE(f, 1.0);
        if (step == "inner") {
            EXPECT_GE(f, 0.25 - 1e-12);
            EXPECT_LE(f, 0.75 + 1e-12);
            EXPECT_GE(f, last - 1e-12) << "inner progress only grows";
            last = f;
        }
    }
    EXPECT_EQ(recorder->steps.back(), (std::pair<std::string, double>("outer", 1.0)));
    // No delegate: reporting is a no-op.
    QelSDK::Common::IncrementalProgressReporter silent(nullptr, "silent", 10);
    ++silent;
    EXPECT_EQ(silent.CreateNestedDelegate(0.5), nullptr);
}
