#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "MStlBaseOperatorCreateZRange.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "TestMeshes.h"

namespace {

struct Halves {
    MStlBase below, above;
    int code = -1;
    bool ok = false;
};

void Cut(MStlBase& mesh, const MMPlaneEq<double>& plane, Halves& out, bool fill = true) {
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&mesh);
    cut.SetPlane(plane);
    cut.SetOutputStl(&out.below, &out.above);
    cut.SetFillSection(fill);
    out.ok = cut.Operate();
    out.code = cut.GetErrorCode();
}

MMPlaneEq<double> AtZ(double z) { return {0.0, 0.0, 1.0, -z}; }

void ExpectClosedPiece(const MStlBase& m, const char* what) {
    const MeshReport r = CheckMesh(m);
    EXPECT_TRUE(r.closed) << what << ": " << r.boundaryEdges << " boundary, " << r.nonManifoldEdges << " non-manifold";
    EXPECT_TRUE(r.oriented) << what << ": " << r.inconsistentEdges << " inconsistent edges";
    EXPECT_GT(r.volume, 0.0) << what;
}

// Both halves closed, oriented and adding up to the input's volume.
void ExpectSplit(MStlBase& mesh, const MMPlaneEq<double>& plane, double tolerance = 1e-6) {
    const double volume = mesh.Volume();
    Halves h;
    Cut(mesh, plane, h);
    ASSERT_TRUE(h.ok) << "code " << h.code;
    ASSERT_EQ(h.code, 0);
    ExpectClosedPiece(h.below, "below");
    ExpectClosedPiece(h.above, "above");
    EXPECT_NEAR((h.below.Volume() + h.above.Volume()) / volume, 1.0, tolerance);
}

void Box(MStlBase& m, long size = 10000, int n = 1) { GenerateBox(m, {0, 0, 0}, {size, size, size}, n); }

}  // namespace

TEST(PlaneCut, CubeInTheMiddleHasPredictableHalves) {
    MStlBase cube;
    GenerateBox(cube, {0, 0, 0}, {10000, 10000, 10000}, 1);
    Halves h;
    Cut(cube, AtZ(5000), h);
    ASSERT_TRUE(h.ok);
    EXPECT_EQ(h.code, 0);
    // Each side face gives 3 pieces to either half, the end face its 2
    // triangles, and the 8-point section (4 corners, 4 diagonal crossings
    // on the square's sides) is closed by 6 triangles.
    EXPECT_EQ(h.below.GetNumberOfTriangles(), 20u);
    EXPECT_EQ(h.above.GetNumberOfTriangles(), 20u);
    ExpectClosedPiece(h.below, "below");
    ExpectClosedPiece(h.above, "above");
    EXPECT_DOUBLE_EQ(h.below.Volume(), 0.5 * cube.Volume());
    EXPECT_DOUBLE_EQ(h.above.Volume(), 0.5 * cube.Volume());
    EXPECT_EQ(cube.GetNumberOfTriangles(), 12u) << "copy mode leaves the input alone";
    for (auto it = h.below.BeginPoint(); it != h.below.EndPoint(); ++it) EXPECT_LE(it->GetZ(), 5000);
    for (auto it = h.above.BeginPoint(); it != h.above.EndPoint(); ++it) EXPECT_GE(it->GetZ(), 5000);
}

TEST(PlaneCut, ClosedMeshesSplitIntoClosedHalves) {
    MStlBase sphere;
    GenerateSphere(sphere, 50000.0, 20000);
    for (double z : {0.0, 1234.5, -31111.0, 49000.0}) ExpectSplit(sphere, AtZ(z));
    ExpectSplit(sphere, MMPlaneEq<double>(0.3, -0.5, 0.8, 777.0));

    MStlBase torus;
    GenerateTorus(torus, 60000.0, 20000.0, 8000);
    ExpectSplit(torus, AtZ(0.0));          // a ring: an outer contour and a hole
    ExpectSplit(torus, AtZ(10000.0));
    ExpectSplit(torus, {0.0, 1.0, 0.0, 0.0});  // two separate discs
    ExpectSplit(torus, {1.0, 1.0, 0.2, -30000.0});

    MStlBase twoShells;
    GenerateBox(twoShells, {0, 0, 0}, {10000, 10000, 10000}, 3);
    GenerateBox(twoShells, {20000, 0, 0}, {30000, 10000, 20000}, 2);
    ExpectSplit(twoShells, AtZ(4321.0));
    ExpectSplit(twoShells, {1.0, 0.0, 1.0, -25000.0});
}

TEST(PlaneCut, VerticesAndFacesInThePlane) {
    // The plane runs through grid vertices of the box: points exactly on it.
    MStlBase box;
    Box(box, 12000, 4);
    ExpectSplit(box, AtZ(6000));
    ExpectSplit(box, {1.0, 1.0, 0.0, -12000.0});   // through two vertical edges
    ExpectSplit(box, {1.0, -1.0, 0.0, 0.0});       // through the diagonal vertices

    // The bottom face lies in the plane: nothing is cut, the face goes with
    // the part that it closes.
    MStlBase cube;
    Box(cube);
    Halves h;
    Cut(cube, AtZ(0), h);
    EXPECT_TRUE(h.ok);
    EXPECT_EQ(h.code, 2);
    EXPECT_EQ(h.below.GetNumberOfTriangles(), 0u);
    EXPECT_EQ(h.above.GetNumberOfTriangles(), 12u);
    ExpectClosedPiece(h.above, "above");

    // Top face in the plane, seen from the other side.
    Halves t;
    Cut(cube, AtZ(10000), t);
    EXPECT_EQ(t.code, 2);
    EXPECT_EQ(t.below.GetNumberOfTriangles(), 12u);
    ExpectClosedPiece(t.below, "below");

    // A step whose top face lies in the plane: a tower on a wider base.
    // The cut is the tower's footprint; the step face stays with the base.
    MStlBase step;
    GenerateBox(step, {0, 0, 0}, {10000, 10000, 5000}, 2);
    MStlBase tower;
    GenerateBox(tower, {0, 0, 5000}, {5000, 5000, 10000}, 1);
    {
        // Join the two boxes into one solid: the shared square is dropped.
        MStlBase joined;
        joined.AddStl(step, false);
        joined.AddStl(tower, false);
        std::vector<MStlTriangleElement*> shared;
        for (auto it = joined.BeginTriangle(); it != joined.EndTriangle(); ++it) {
            const MStlTriangleElement* e = *it;
            bool atStep = true, inFoot = true;
            for (int k = 0; k < 3; ++k) {
                atStep &= e->GetPoint(k)->GetZ() == 5000;
                inFoot &= e->GetPoint(k)->GetX() <= 5000 && e->GetPoint(k)->GetY() <= 5000;
            }
            if (atStep && inFoot) shared.push_back(*it);
        }
        for (MStlTriangleElement* e : shared) joined.RemoveTriangle(e);
        const MeshReport r = CheckMesh(joined);
        ASSERT_TRUE(r.closed && r.oriented);
        const double volume = joined.Volume();
        Halves s;
        Cut(joined, AtZ(5000), s);
        ASSERT_TRUE(s.ok);
        EXPECT_EQ(s.code, 0);
        ExpectClosedPiece(s.below, "base");
        ExpectClosedPiece(s.above, "tower");
        EXPECT_DOUBLE_EQ(s.below.Volume(), volume * 4.0 / 5.0);
        EXPECT_DOUBLE_EQ(s.above.Volume(), volume / 5.0);
    }
}

TEST(PlaneCut, NonIntegerPlanesAndRoundedCrossings) {
    // Crossing points are rounded to the grid; on a fine sphere many land
    // on an end point or on each other.  The halves must stay closed.
    MStlBase sphere;
    GenerateSphere(sphere, 3000.0, 20000);
    for (double z : {0.5, 0.49, -2990.5, 1500.25}) ExpectSplit(sphere, AtZ(z), 1e-3);
    ExpectSplit(sphere, MMPlaneEq<double>(1e-7, 1.0, 1e-9, 0.5), 1e-3);
}

TEST(PlaneCut, MissingPlaneOpenMeshAndBadInput) {
    MStlBase cube;
    Box(cube);
    Halves miss;
    Cut(cube, AtZ(20000), miss);
    EXPECT_TRUE(miss.ok);
    EXPECT_EQ(miss.code, 2);
    EXPECT_EQ(miss.below.GetNumberOfTriangles(), 12u);
    EXPECT_EQ(miss.above.GetNumberOfTriangles(), 0u);

    // A side triangle missing: the cut contour is open.
    MStlBase open;
    Box(open);
    for (auto it = open.BeginTriangle(); it != open.EndTriangle(); ++it) {
        const MMVector3d n = it->GetNormal();
        if (std::abs(n[0]) > 0.5) { open.RemoveTriangle(it); break; }
    }
    Halves o;
    Cut(open, AtZ(5000), o);
    EXPECT_FALSE(o.ok);
    EXPECT_EQ(o.code, 1);
    EXPECT_GT(o.below.GetNumberOfTriangles(), 0u) << "the halves are still delivered, unfilled";
    Halves unfilled;
    Cut(open, AtZ(5000), unfilled, false);
    EXPECT_TRUE(unfilled.ok);
    EXPECT_EQ(unfilled.code, 0);

    MStlBaseOperatorPlaneCut cut;
    EXPECT_FALSE(cut.Operate()) << "no mesh";
    cut.SetStl(&cube);
    cut.SetPlane({0.0, 0.0, 0.0, 1.0});
    EXPECT_FALSE(cut.Operate()) << "zero normal";
    cut.SetPlane({0.0, 0.0, NAN, 1.0});
    EXPECT_FALSE(cut.Operate()) << "NaN plane";
    MStlBase empty;
    cut.SetStl(&empty);
    cut.SetPlane(AtZ(0));
    EXPECT_TRUE(cut.Operate());
    EXPECT_EQ(cut.GetErrorCode(), 2);
}

TEST(PlaneCut, InPlaceAndRepeatedOperate) {
    MStlBase sphere;
    GenerateSphere(sphere, 40000.0, 5000);
    const double volume = sphere.Volume();
    MStlBase below;
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&sphere);
    cut.SetPlane(AtZ(10000));
    cut.SetCutInputStl(true);
    cut.SetOutputStl(&below, nullptr);
    ASSERT_TRUE(cut.Operate());
    EXPECT_EQ(cut.GetErrorCode(), 0);
    ASSERT_NE(cut.GetCutSurface(), nullptr);
    EXPECT_GT(cut.GetCutSurface()->GetNumberOfTriangles(), 0u);
    // The below part was removed before copying, so only its cap arrives.
    EXPECT_EQ(below.GetNumberOfTriangles(), cut.GetCutSurfaceBelow()->GetNumberOfTriangles());
    ExpectClosedPiece(sphere, "in place");
    for (auto it = sphere.BeginPoint(); it != sphere.EndPoint(); ++it)
        if (it->GetNumberOfNeighbourTriangles()) {
            EXPECT_GE(it->GetZ(), 10000);
        }
    EXPECT_LT(sphere.Volume(), volume);

    // Copy mode keeps the caller's mesh set: a second run works the same.
    MStlBase box;
    Box(box);
    MStlBase a1, b1, a2, b2;
    MStlBaseOperatorPlaneCut copy;
    copy.SetStl(&box);
    copy.SetPlane(AtZ(2500));
    copy.SetOutputStl(&b1, &a1);
    ASSERT_TRUE(copy.Operate());
    copy.SetOutputStl(&b2, &a2);
    ASSERT_TRUE(copy.Operate());
    EXPECT_EQ(a1.GetNumberOfTriangles(), a2.GetNumberOfTriangles());
    EXPECT_DOUBLE_EQ(b1.Volume(), b2.Volume());
    EXPECT_DOUBLE_EQ(b1.Volume(), 0.25 * box.Volume());

    // Without outputs a copy is sliced and nothing visible changes.
    MStlBaseOperatorPlaneCut quiet;
    quiet.SetStl(&box);
    quiet.SetPlane(AtZ(2500));
    EXPECT_TRUE(quiet.Operate());
    EXPECT_EQ(box.GetNumberOfTriangles(), 12u);
}

TEST(PlaneCut, MaskSlicesOnlyMarkedShells) {
    MStlBase two;
    GenerateBox(two, {0, 0, 0}, {10000, 10000, 10000}, 1);
    const MStlTriangleElement* firstOfSecond = nullptr;
    GenerateBox(two, {20000, 0, 0}, {30000, 10000, 8000}, 1);
    for (auto it = two.BeginTriangle(); it != two.EndTriangle(); ++it)
        if (it->GetPoint(0)->GetX() >= 20000) { firstOfSecond = *it; break; }
    ASSERT_NE(firstOfSecond, nullptr);
    MDataMaskBits<MStlTriangle> mask(two, 1);
    mask.Set(firstOfSecond);
    MStlBase below, above;
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&two);
    cut.SetPlane(AtZ(3000));
    cut.SetTrianglesToSliceFrom(&mask);
    cut.SetOutputStl(&below, &above);
    ASSERT_TRUE(cut.Operate());
    EXPECT_EQ(cut.GetErrorCode(), 0);
    ExpectClosedPiece(below, "below");
    ExpectClosedPiece(above, "above");
    // The unmarked cube goes whole to the side holding most of it (above).
    const MeshReport rb = CheckMesh(below), ra = CheckMesh(above);
    EXPECT_EQ(rb.shells, 1u);
    EXPECT_EQ(ra.shells, 2u);
    EXPECT_NEAR(rb.volume + ra.volume, two.Volume() * 1e-9, 1e-9);
    EXPECT_NEAR(rb.volume, 10.0 * 10.0 * 3.0, 1e-9);
}

TEST(PlaneCut, BorderTidyingMergesOnlyWithinTheDistance) {
    // A slab two units thin: the diagonal crossings on its narrow sides lie
    // one unit from the corners.
    MStlBase thin;
    GenerateBox(thin, {0, 0, 0}, {2, 10000, 10000}, 1);
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&thin);
    cut.SetPlane(AtZ(5000));
    cut.SetCutInputStl(true);
    ASSERT_TRUE(cut.Operate());
    ASSERT_EQ(cut.GetCutBorder().GetNumberOfContours(), 1);
    EXPECT_EQ(cut.GetCutBorder().GetFirstContour()->GetNumberOfPoints(), 8u) << "1 unit apart: kept";

    MStlBase thin2;
    GenerateBox(thin2, {0, 0, 0}, {2, 10000, 10000}, 1);
    MStlBaseOperatorPlaneCut merge;
    merge.SetStl(&thin2);
    merge.SetPlane(AtZ(5000));
    merge.SetCutInputStl(true);
    merge.SetMaxDistanceOnCutBorder(1.0);
    merge.SetFillSection(false);
    ASSERT_TRUE(merge.Operate());
    ASSERT_EQ(merge.GetCutBorder().GetNumberOfContours(), 1);
    EXPECT_LT(merge.GetCutBorder().GetFirstContour()->GetNumberOfPoints(), 8u) << "within the distance: merged";
}

namespace {
class Counter final : public QelSDK::Common::IProgressDelegate {
public:
    explicit Counter(int cancelAfter) : m_left(cancelAfter) {}
    void OnProgress(const std::string& step, double) override { if (!step.empty()) names.insert(step); }
    bool IsCancelled() const override { return --m_left < 0; }
    void OnNotification(const std::string&, const std::any&) override {}
    std::set<std::string> names;

private:
    mutable int m_left;
};
}  // namespace

TEST(PlaneCut, CancellationStopsTheCut) {
    MStlBase box;
    Box(box);
    for (int after : {0, 1}) {
        auto progress = std::make_shared<Counter>(after);
        MStlBase below, above;
        MStlBaseOperatorPlaneCut cut;
        cut.SetStl(&box);
        cut.SetPlane(AtZ(5000));
        cut.SetOutputStl(&below, &above);
        EXPECT_FALSE(cut.Operate(progress));
        EXPECT_EQ(below.GetNumberOfTriangles() + above.GetNumberOfTriangles(), 0u) << "outputs untouched";
    }
    auto progress = std::make_shared<Counter>(1000);
    MStlBase below, above;
    MStlBaseOperatorPlaneCut cut;
    cut.SetStl(&box);
    cut.SetPlane(AtZ(5000));
    cut.SetOutputStl(&below, &above);
    EXPECT_TRUE(cut.Operate(progress));
    EXPECT_TRUE(progress->names.count("QelStlCutting.MStlBaseOperatorPlaneCut.Operate"));
    EXPECT_TRUE(progress->names.count("QelStlCutting.MStlBaseOperatorPlaneCut.FillOpenings"));
}

TEST(ZRange, KeepsExactlyTheSlab) {
    MStlBase sphere;
    GenerateSphere(sphere, 30000.0, 8000);
    sphere.AddEdge(sphere.GetFirstTriangle()->GetPoint(0), sphere.GetFirstTriangle()->GetPoint(1));
    MStlBase slab;
    MStlBaseOperatorCreateZRange range;
    range.SetInput(&sphere);
    range.SetOutput(&slab);
    range.SetRange(-10000, 5000);
    ASSERT_TRUE(range.Operate());
    for (auto it = slab.BeginTriangle(); it != slab.EndTriangle(); ++it)
        for (int k = 0; k < 3; ++k) {
            EXPECT_GE(it->GetPoint(k)->GetZ(), -10000);
            EXPECT_LE(it->GetPoint(k)->GetZ(), 5000);
        }
    const MeshReport r = CheckMesh(slab);
    EXPECT_TRUE(r.oriented);
    EXPECT_EQ(r.nonManifoldEdges, 0u);
    EXPECT_GT(r.boundaryEdges, 0u) << "the openings stay open";
    EXPECT_EQ(r.shells, 1u);
    // The slab's area is the sphere zone's: 2*pi*R*h.
    EXPECT_NEAR(r.area, 2 * M_PI * 30.0 * 15.0, 0.01 * 2 * M_PI * 30.0 * 15.0);

    // Default range: a full copy.
    MStlBase copy;
    MStlBaseOperatorCreateZRange all;
    all.SetInput(&sphere);
    all.SetOutput(&copy);
    ASSERT_TRUE(all.Operate());
    EXPECT_EQ(copy.GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
    EXPECT_EQ(copy.Volume(), sphere.Volume());
    EXPECT_EQ(copy.GetEdges().size(), 1u);

    // Missing or identical meshes and cancellation are refused.
    MStlBaseOperatorCreateZRange bad;
    EXPECT_FALSE(bad.Operate());
    bad.SetInput(&sphere);
    bad.SetOutput(&sphere);
    EXPECT_FALSE(bad.Operate());
    MStlBase cancelled;
    bad.SetOutput(&cancelled);
    bad.SetRange(-100, 100);
    EXPECT_FALSE(bad.Operate(std::make_shared<Counter>(0)));
}

TEST(PlaneCut, RandomPlanesThroughRoughMeshes) {
    // A sphere with jittered points stands in for a scanned surface; small
    // spheres make crossings land on the grid points of the mesh often.
    std::mt19937 random(12345);
    for (double radius : {400.0, 5000.0, 100000.0}) {
        MStlBase rough;
        // Moved by less than the thinnest triangle is wide (near the poles),
        // so that the surface does not cross itself.
        GenerateRoughSphere(rough, radius, 6000, int(radius / 2000) + (radius > 1000), random);
        ASSERT_TRUE(CheckMesh(rough).closed);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        for (int i = 0; i < 40; ++i) {
            const MMVector3d n(unit(random), unit(random), unit(random));
            const double d = unit(random) * radius * 0.8 * n.Length();
            SCOPED_TRACE(testing::Message() << "radius " << radius << " plane " << i);
            ExpectSplit(rough, MMPlaneEq<double>(n[0], n[1], n[2], d), radius < 1000 ? 1e-2 : 1e-5);
        }
        // Axis planes through grid values hit many points exactly.
        for (int z = -int(radius) / 2; z <= int(radius) / 2; z += int(radius) / 4) ExpectSplit(rough, AtZ(z), 1e-2);
    }
}

namespace {

// Where a mesh passes through itself the cut contours cross; both parts
// must still come out closed and oriented, the input's volume shared out.
void ExpectCrossingCutCloses(MStlBase& mesh, double z) {
    const double volume = mesh.Volume();
    MStlBaseOperatorPlaneCut cut;
    MStlBase below, above;
    cut.SetStl(&mesh);
    cut.SetPlane(AtZ(z));
    cut.SetOutputStl(&below, &above);
    ASSERT_TRUE(cut.Operate()) << "code " << cut.GetErrorCode();
    EXPECT_TRUE(cut.ContoursCrossed());
    for (const MStlBase* part : {&below, &above}) {
        const MeshReport r = CheckMesh(*part);
        EXPECT_TRUE(r.closed) << r.boundaryEdges << " boundary, " << r.nonManifoldEdges << " non-manifold";
        EXPECT_TRUE(r.oriented) << r.inconsistentEdges << " inconsistent edges";
    }
    EXPECT_NEAR(below.Volume() + above.Volume(), volume, GridBound(below, mesh) + GridBound(above, mesh));
}

// A prism over the four points in order, from z = 0 to `height`: over a
// polygon that crosses itself its sides pass through each other.
void Prism(MStlBase& m, const std::vector<std::array<int32_t, 2>>& polygon, int32_t height) {
    std::vector<MStlPoint*> bottom, top;
    for (const auto& p : polygon) {
        bottom.push_back(m.AddPoint(p[0], p[1], 0));
        top.push_back(m.AddPoint(p[0], p[1], height));
    }
    const size_t n = polygon.size();
    for (size_t i = 0; i < n; ++i) {
        const size_t j = (i + 1) % n;
        m.AddTriangle(bottom[i], bottom[j], top[j]);
        m.AddTriangle(bottom[i], top[j], top[i]);
    }
    for (size_t i = 1; i + 1 < n; ++i) {
        m.AddTriangle(bottom[0], bottom[i + 1], bottom[i]);
        m.AddTriangle(top[0], top[i], top[i + 1]);
    }
    m.Update();
}

}  // namespace

TEST(PlaneCut, CrossingContoursOfShellsPassingThroughEachOther) {
    // Two boxes overlapping: their sections cross at two points.
    MStlBase mesh;
    TwoBoxes(mesh, {0, 0, 0}, {10000, 10000, 10000}, {5001, 2001, 1}, {15001, 8001, 9999});
    ExpectCrossingCutCloses(mesh, 5000.5);
    // A box inside another, both facing out: the sections nest without
    // alternating in direction, so neither is a hole of the other.
    MStlBase nested;
    TwoBoxes(nested, {0, 0, 0}, {10000, 10000, 10000}, {3000, 3000, 3000}, {6000, 6000, 6000});
    ExpectCrossingCutCloses(nested, 4500);
}

TEST(PlaneCut, ContourCrossingItselfIsDividedWhereItCrosses) {
    // A prism over a bow tie: its section crosses itself near (5263, 4737).
    MStlBase mesh;
    Prism(mesh, {{0, 0}, {10000, 9000}, {10000, 0}, {0, 10000}}, 10000);
    ASSERT_TRUE(IsClosedAndOriented(CheckMesh(mesh)));
    ExpectCrossingCutCloses(mesh, 5000);
}

TEST(PlaneCut, ContourCrossingItselfWhereTheFanOfOnePointFolds) {
    // A double pyramid over a ring whose last two points are swapped: the
    // triangles round each apex fold over one another, and the section's
    // crossing edges share the apex as their third corner.  A point put on
    // both would join it twice; the twist is filled on its own instead.
    MStlBase mesh;
    const std::vector<std::array<int32_t, 2>> ring = {{10000, 0}, {0, 10000}, {-10000, 0}, {3000, -10000}, {-3000, -10000}};
    MStlPoint* top = mesh.AddPoint(0, 0, 10000);
    MStlPoint* bottom = mesh.AddPoint(0, 0, -10000);
    std::vector<MStlPoint*> points;
    for (const auto& p : ring) points.push_back(mesh.AddPoint(p[0], p[1], 0));
    for (size_t i = 0; i < ring.size(); ++i) {
        MStlPoint *a = points[i], *b = points[(i + 1) % ring.size()];
        mesh.AddTriangle(top, a, b);
        mesh.AddTriangle(bottom, b, a);
    }
    mesh.Update();
    ASSERT_TRUE(IsClosedAndOriented(CheckMesh(mesh)));
    for (double z : {5000.0, -2500.0}) ExpectCrossingCutCloses(mesh, z);
}

TEST(PlaneCut, ContourRunningAlongTwoSheetsInOnePlaneAndBack) {
    // A prism whose side runs out to x = 10000 along y = 0 and back: two
    // sides lie in one plane, back to back, divided by different diagonals.
    // A slanted cut runs out along one and back along the other, through
    // points of its own on each (the turn a sliver of rounding), and comes
    // back to a point of the way out.
    MStlBase mesh;
    Prism(mesh, {{0, 0}, {10000, 0}, {3000, 0}, {3000, 8000}, {0, 8000}}, 20000);
    ASSERT_TRUE(IsClosedAndOriented(CheckMesh(mesh)));
    const double volume = mesh.Volume();
    Halves h;
    Cut(mesh, {-1.0, 0.0, 3.0, -15000.0}, h);
    ASSERT_TRUE(h.ok) << "code " << h.code;
    for (const MStlBase* part : {&h.below, &h.above}) EXPECT_TRUE(IsClosedAndOriented(CheckMesh(*part)));
    EXPECT_NEAR(h.below.Volume() + h.above.Volume(), volume, GridBound(h.below, mesh) + GridBound(h.above, mesh));
}

TEST(PlaneCut, ContourTangledWithinOneEdge) {
    // A prism over a polygon whose first side is crossed twice by a small
    // zigzag of the sides after it: the section's tangle is taken out whole
    // instead of divided point by point into loops that touch.
    MStlBase mesh;
    Prism(mesh, {{0, 0}, {6000, 0}, {5000, 700}, {4500, -500}, {4000, 700}, {10000, 3000}, {10000, 10000}, {0, 10000}},
          10000);
    ASSERT_TRUE(IsClosedAndOriented(CheckMesh(mesh)));
    ExpectCrossingCutCloses(mesh, 5000);
}
