#include <gtest/gtest.h>

#include <cmath>
#include <list>
#include <memory>
#include <vector>

#include "MSliceRetriangulator.h"
#include "TestMeshes.h"

namespace {

using MSliceInfo = MNbhdSlicerBase::MSliceInfo;

// Builds each kind of container over a mesh whose triangles all lie in one
// surface of the main feature.
template <class C>
struct Maker;
template <>
struct Maker<MStlBaseContainer> {
    static MStlBaseContainer Make(MStlBase& m, std::vector<MStlTriangleElement*>&) { return MStlBaseContainer(m); }
};
template <>
struct Maker<MStlFeatureContainer> {
    static MStlFeatureContainer Make(MStlBase& m, std::vector<MStlTriangleElement*>&) {
        return MStlFeatureContainer(*m.GetMainFeature());
    }
};
template <>
struct Maker<MStlMarkedTrianglesContainer> {
    static MStlMarkedTrianglesContainer Make(MStlBase& m, std::vector<MStlTriangleElement*>&) {
        return MStlMarkedTrianglesContainer(m);
    }
};
template <>
struct Maker<MStlSurfaceContainer> {
    static MStlSurfaceContainer Make(MStlBase& m, std::vector<MStlTriangleElement*>&) {
        return MStlSurfaceContainer(*m.GetSurface(0));
    }
};
template <>
struct Maker<MStlTriangleListContainer> {
    static MStlTriangleListContainer Make(MStlBase& m, std::vector<MStlTriangleElement*>& list) {
        return MStlTriangleListContainer(m, list);
    }
};

void PutIntoOneSurface(MStlBase& m) {
    MStlSurface* s = m.AddSurface();
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it) m.MoveTriangleToSurface(*it, s);
}

// Every consecutive pair of the curve's points is joined by a mesh edge.
::testing::AssertionResult AlongEdges(const MStlBase& m, const std::list<MSliceInfo>& slices) {
    const MSliceInfo* previous = nullptr;
    int i = 0;
    for (const MSliceInfo& s : slices) {
        if (!s.point) return ::testing::AssertionFailure() << "position " << i << " has no point";
        if (previous && previous->point != s.point) {
            MStlTriangleElement* other = nullptr;
            MStlPoint* third = nullptr;
            if (m.NumberOfTrianglesThrough(previous->point, s.point, other, third) == 0)
                return ::testing::AssertionFailure() << "no edge between positions " << i - 1 << " and " << i;
        }
        previous = &s;
        ++i;
    }
    return ::testing::AssertionSuccess();
}

bool AllMarked(const MStlBase& m) {
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it)
        if (!it->IsMarked()) return false;
    return true;
}

MStlTriangle* TopTriangle(const MStlBase& m, int32_t top) {
    for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it)
        if (it->GetPoint(0)->GetZ() == top && it->GetPoint(1)->GetZ() == top && it->GetPoint(2)->GetZ() == top)
            return *it;
    return nullptr;
}

MMVector3d Mid(const MStlTriangle* t, int e) {
    return (t->GetPoint(e)->GetVector() + t->GetPoint((e + 1) % 3)->GetVector()) * 0.5;
}
MMVector3d Inside(const MStlTriangle* t, double a, double b) {
    const MMVector3d p0 = t->GetPoint(0)->GetVector();
    return p0 + (t->GetPoint(1)->GetVector() - p0) * a + (t->GetPoint(2)->GetVector() - p0) * b;
}
MSliceInfo AtPoint(MStlPoint* p) {
    MSliceInfo s;
    s.Fill(p, false);
    return s;
}
MSliceInfo OnEdge(MStlTriangle* t, const MMVector3d& pos, int e) {
    MSliceInfo s;
    s.Fill(t, pos, uint8_t(e));
    return s;
}
MSliceInfo InsideOf(MStlTriangle* t, const MMVector3d& pos) {
    MSliceInfo s;
    s.FillInside(t, pos);
    return s;
}

class RecordingProgress final : public QelSDK::Common::IProgressDelegate {
public:
    void OnProgress(const std::string& step, double) override { steps.insert(step); }
    bool IsCancelled() const override { return false; }
    void OnNotification(const std::string& name, const std::any&) override { notes.insert(name); }
    std::set<std::string> steps, notes;
};

template <class C>
class SliceRetriangulatorTyped : public ::testing::Test {
protected:
    // Inserts the slices with this test's container and checks what every
    // container must give.
    MStlPoint* Insert(MStlBase& m, std::list<MSliceInfo>& slices, uint32_t snap, MStlSurfaceBorderContour& contour) {
        MSliceRetriangulator<C> r;
        r.Init(Maker<C>::Make(m, list), snap);
        return r.Operate(&contour, slices, nullptr);
    }
    std::vector<MStlTriangleElement*> list;
};

using Containers = ::testing::Types<MStlBaseContainer, MStlFeatureContainer, MStlMarkedTrianglesContainer,
                                    MStlSurfaceContainer, MStlTriangleListContainer>;
TYPED_TEST_SUITE(SliceRetriangulatorTyped, Containers);

// A plane section of a sphere, with two interior positions per crossed
// triangle: the curve ends up on mesh edges, the sphere stays closed and
// keeps its area.
TYPED_TEST(SliceRetriangulatorTyped, SphereSectionRunsAlongEdges) {
    for (int inside : {0, 2}) {
        MStlBase m;
        GenerateSphere(m, 100000, 20000);
        PutIntoOneSurface(m);
        const MeshReport before = CheckMesh(m);
        std::list<MSliceInfo> slices = MNbhdSlicerUtilities::TracePlaneSection(m, MMVector3d(0.3, 0.5, 0.81), 1234.5, inside);
        ASSERT_GT(slices.size(), 100u);
        const size_t given = slices.size();
        MStlSurfaceBorderContour contour;
        MStlPoint* last = this->Insert(m, slices, 0, contour);
        ASSERT_NE(last, nullptr);
        EXPECT_EQ(last, slices.back().point);
        // The section closes: the last position is the first one's point.
        EXPECT_EQ(slices.front().point, slices.back().point);
        EXPECT_EQ(slices.size(), given);
        EXPECT_EQ(contour.points.size(), slices.size());
        EXPECT_TRUE(AlongEdges(m, slices));
        const MeshReport after = CheckMesh(m);
        EXPECT_TRUE(Sound(m));
        EXPECT_EQ(after.nonManifoldEdges, 0u);
        EXPECT_EQ(after.degenerateTriangles, 0u);
        EXPECT_EQ(after.shells, 1u);
        EXPECT_NEAR(after.area, before.area, 1e-5 * before.area);
        EXPECT_NEAR(after.volume, before.volume, 1e-5 * before.volume);
        EXPECT_GT(after.triangles, before.triangles);
        EXPECT_EQ(m.GetSurface(0)->GetNumberOfTriangles(), m.GetNumberOfTriangles());
        if constexpr (std::is_same_v<TypeParam, MStlTriangleListContainer>) {
            EXPECT_GT(this->list.size(), after.triangles - before.triangles);
            for (MStlTriangleElement* e : this->list) EXPECT_TRUE(e->IsAlive());
        }
        if constexpr (std::is_same_v<TypeParam, MStlMarkedTrianglesContainer>) {
            uint64_t marked = 0;
            for (auto it = m.BeginTriangle(); it != m.EndTriangle(); ++it) marked += it->IsMarked();
            EXPECT_GT(marked, 0u);
            EXPECT_FALSE(AllMarked(m));
        }
        this->list.clear();
    }
}

// One segment from a corner to the middle of the opposite edge splits the
// triangle and its neighbour across that edge: exact counts, exact area.
TYPED_TEST(SliceRetriangulatorTyped, VertexToOppositeEdgeOnBox) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {10, 10, 10});
    PutIntoOneSurface(m);
    const MeshReport before = CheckMesh(m);
    MStlTriangle* t = TopTriangle(m, 10);
    ASSERT_NE(t, nullptr);
    std::list<MSliceInfo> slices{AtPoint(t->GetPoint(0)), OnEdge(t, Mid(t, 1), 1)};
    MStlSurfaceBorderContour contour;
    ASSERT_NE(this->Insert(m, slices, 0, contour), nullptr);
    EXPECT_FALSE(t->IsAlive());
    EXPECT_EQ(m.GetNumberOfTriangles(), 14u);
    EXPECT_EQ(m.GetNumberOfPoints(), 9u);
    EXPECT_TRUE(AlongEdges(m, slices));
    const MeshReport after = CheckMesh(m);
    EXPECT_TRUE(Sound(m));
    EXPECT_DOUBLE_EQ(after.area, before.area);
    EXPECT_DOUBLE_EQ(after.volume, before.volume);
    EXPECT_EQ(m.GetSurface(0)->GetNumberOfTriangles(), 14u);
}

// Two interior points placed so that a fan from the one nearer t0 would fold:
// the pieces must keep the old orientation and cover it exactly.
TYPED_TEST(SliceRetriangulatorTyped, TwoInteriorPointsDoNotFold) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {10000, 10000, 10000});
    PutIntoOneSurface(m);
    const MeshReport before = CheckMesh(m);
    MStlTriangle* t = TopTriangle(m, 10000);
    ASSERT_NE(t, nullptr);
    std::list<MSliceInfo> slices{InsideOf(t, Inside(t, 0.01, 0.2)), InsideOf(t, Inside(t, 0.3, 0.01))};
    MStlSurfaceBorderContour contour;
    ASSERT_NE(this->Insert(m, slices, 0, contour), nullptr);
    EXPECT_EQ(m.GetNumberOfTriangles(), 12u - 1u + 5u);
    EXPECT_TRUE(AlongEdges(m, slices));
    const MeshReport after = CheckMesh(m);
    EXPECT_TRUE(Sound(m));
    EXPECT_EQ(after.degenerateTriangles, 0u);
    EXPECT_DOUBLE_EQ(after.area, before.area);
    EXPECT_DOUBLE_EQ(after.volume, before.volume);
}

TEST(SliceRetriangulator, CurveThroughVerticesAlongEdgesChangesNothing) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {10, 10, 10});
    MStlTriangle* t = TopTriangle(m, 10);
    std::list<MSliceInfo> slices{AtPoint(t->GetPoint(0)), AtPoint(t->GetPoint(1)), AtPoint(t->GetPoint(2)),
                                 AtPoint(t->GetPoint(0))};
    MSliceRetriangulator<MStlBaseContainer> r;
    r.Init(MStlBaseContainer(m), 0);
    MStlSurfaceBorderContour contour;
    EXPECT_EQ(r.Operate(&contour, slices, nullptr), t->GetPoint(0));
    EXPECT_TRUE(t->IsAlive());
    EXPECT_EQ(m.GetNumberOfTriangles(), 12u);
    EXPECT_EQ(m.GetNumberOfPoints(), 8u);
    EXPECT_EQ(contour.points.size(), 4u);
    EXPECT_TRUE(AlongEdges(m, slices));
}

// Two positions on one edge: both triangles on the edge take both points.
TEST(SliceRetriangulator, SegmentAlongAnEdge) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {30, 30, 30});
    const MeshReport before = CheckMesh(m);
    MStlTriangle* t = TopTriangle(m, 30);
    const MMVector3d a = t->GetPoint(0)->GetVector(), b = t->GetPoint(1)->GetVector();
    std::list<MSliceInfo> slices{OnEdge(t, a + (b - a) / 3.0, 0), OnEdge(t, a + (b - a) * (2.0 / 3.0), 0)};
    MSliceRetriangulator<MStlBaseContainer> r;
    r.Init(MStlBaseContainer(m), 0);
    MStlSurfaceBorderContour contour;
    ASSERT_NE(r.Operate(&contour, slices, nullptr), nullptr);
    EXPECT_EQ(m.GetNumberOfTriangles(), 16u);
    EXPECT_EQ(m.GetNumberOfPoints(), 10u);
    EXPECT_TRUE(AlongEdges(m, slices));
    EXPECT_TRUE(Sound(m));
    EXPECT_DOUBLE_EQ(CheckMesh(m).area, before.area);
}

// Opposite corners of a box face share no triangle: the curve has a gap
// there, the points still go to the contour, and the mesh is unchanged.
TEST(SliceRetriangulator, NoCommonTriangleLeavesAGap) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {10, 10, 10});
    std::list<MSliceInfo> slices{AtPoint(m.GetPoint(0, 0, 0)), AtPoint(m.GetPoint(10, 10, 10))};
    MSliceRetriangulator<MStlBaseContainer> r;
    r.Init(MStlBaseContainer(m), 0);
    MStlSurfaceBorderContour contour;
    EXPECT_EQ(r.Operate(&contour, slices, nullptr), m.GetPoint(10, 10, 10));
    EXPECT_EQ(contour.points.size(), 2u);
    EXPECT_EQ(m.GetNumberOfTriangles(), 12u);
}

TEST(SliceRetriangulator, PositionsOutsideTheMeshAreDropped) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {10, 10, 10});
    MSliceInfo outside;  // neither a point nor a triangle
    outside.position = MMVector3d(50, 50, 50);
    MStlTriangle* t = TopTriangle(m, 10);
    std::list<MSliceInfo> slices{outside, AtPoint(t->GetPoint(0)), outside};
    MSliceRetriangulator<MStlBaseContainer> r;
    r.Init(MStlBaseContainer(m), 0);
    MStlSurfaceBorderContour contour;
    EXPECT_EQ(r.Operate(&contour, slices, nullptr), nullptr);
    EXPECT_EQ(m.GetNumberOfTriangles(), 12u);
    EXPECT_EQ(m.GetNumberOfPoints(), 8u);
    EXPECT_TRUE(contour.points.empty());
}

TEST(SliceRetriangulator, BadInput) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {10, 10, 10});
    MStlTriangle* t = TopTriangle(m, 10);
    std::list<MSliceInfo> none;
    std::list<MSliceInfo> one{AtPoint(t->GetPoint(0))};
    EXPECT_TRUE(MSliceRetriangulator<MStlBaseContainer>::SanityCheck4SliceList(nullptr, none));
    MSliceRetriangulator<MStlBaseContainer> uninitialised;
    std::list<MSliceInfo> two{AtPoint(t->GetPoint(0)), OnEdge(t, Mid(t, 1), 1)};
    EXPECT_EQ(uninitialised.Operate(nullptr, two, nullptr), nullptr);
    MSliceRetriangulator<MStlBaseContainer> r;
    r.Init(MStlBaseContainer(m), 0);
    EXPECT_EQ(r.Operate(nullptr, none, nullptr), nullptr);
    EXPECT_EQ(r.Operate(nullptr, one, nullptr), nullptr);
    EXPECT_EQ(m.GetNumberOfTriangles(), 12u);
    // Without a contour the mesh is still retriangulated.
    EXPECT_NE(r.Operate(nullptr, two, nullptr), nullptr);
    EXPECT_EQ(m.GetNumberOfTriangles(), 14u);
    EXPECT_TRUE(Sound(m));
}

TEST(SliceRetriangulator, SnapToVertexAndMerge) {
    for (uint32_t snap : {0u, 30u}) {
        MStlBase m;
        GenerateBox(m, {0, 0, 0}, {1000, 1000, 1000});
        MStlTriangle* t = TopTriangle(m, 1000);
        MStlPoint* corner = t->GetPoint(0);
        // Near the corner, then a point on the opposite edge with a second
        // position one step from it.
        const MMVector3d nearCorner = Inside(t, 0.01, 0.015), mid = Mid(t, 1);
        std::list<MSliceInfo> slices{InsideOf(t, nearCorner), OnEdge(t, mid, 1),
                                     InsideOf(t, mid + (corner->GetVector() - mid) * 0.01)};
        MSliceRetriangulator<MStlBaseContainer> r;
        r.Init(MStlBaseContainer(m), snap);
        MStlSurfaceBorderContour contour;
        ASSERT_NE(r.Operate(&contour, slices, nullptr), nullptr);
        EXPECT_TRUE(AlongEdges(m, slices));
        EXPECT_TRUE(Sound(m));
        if (snap == 0) {
            EXPECT_EQ(slices.size(), 3u);
            EXPECT_NE(slices.front().point, corner);
        } else {
            ASSERT_EQ(slices.size(), 2u);
            EXPECT_EQ(slices.front().point, corner);
            EXPECT_EQ(m.GetNumberOfTriangles(), 14u);
        }
    }
}

TEST(SliceRetriangulator, ReportsProgressAndNotification) {
    MStlBase m;
    GenerateSphere(m, 10000, 2000);
    std::list<MSliceInfo> slices = MNbhdSlicerUtilities::TracePlaneSection(m, MMVector3d(0, 0.3, 1), 17.5, 1);
    auto progress = std::make_shared<RecordingProgress>();
    MSliceRetriangulator<MStlBaseContainer> r;
    r.Init(MStlBaseContainer(m), 0);
    MStlSurfaceBorderContour contour;
    ASSERT_NE(r.Operate(&contour, slices, progress), nullptr);
    EXPECT_TRUE(progress->steps.count("MStlPoint* MSliceRetriangulator::Operate()"));
    EXPECT_TRUE(progress->notes.count("Retriangulating stl along projected contour"));
}

// Cancelled at any poll: null, and the mesh keeps its triangles and points.
TEST(SliceRetriangulator, CancellationLeavesTheMeshUnchanged) {
    for (int allowed : {0, 1, 5, 50}) {
        MStlBase m;
        GenerateSphere(m, 50000, 20000);
        const uint64_t triangles = m.GetNumberOfTriangles(), points = m.GetNumberOfPoints();
        std::list<MSliceInfo> slices = MNbhdSlicerUtilities::TracePlaneSection(m, MMVector3d(0.2, 0.1, 1), 3.5, 3);
        auto cancel = std::make_shared<CancelAfter>(allowed);
        MSliceRetriangulator<MStlBaseContainer> r;
        r.Init(MStlBaseContainer(m), 0);
        MStlSurfaceBorderContour contour;
        EXPECT_EQ(r.Operate(&contour, slices, cancel), nullptr) << allowed;
        EXPECT_EQ(m.GetNumberOfTriangles(), triangles);
        EXPECT_EQ(m.GetNumberOfPoints(), points);
        EXPECT_TRUE(contour.points.empty());
        EXPECT_TRUE(Sound(m));
    }
}

TEST(SliceRetriangulator, SetCommonTriangleLeavesArgumentsAlone) {
    MStlBase m;
    GenerateBox(m, {0, 0, 0}, {10, 10, 10});
    MStlTriangle* t = TopTriangle(m, 10);
    const MSliceInfo a = AtPoint(t->GetPoint(1)), b = InsideOf(t, Inside(t, 0.3, 0.3));
    const MStlTriangle* before = a.triangle;
    EXPECT_EQ(MSliceRetriangulator<MStlBaseContainer>::SetCommonTriangle(a, b), t);
    EXPECT_EQ(a.triangle, before);
}

}  // namespace
