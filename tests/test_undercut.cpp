#include <gtest/gtest.h>

#include <new>

#include <CGAL/Side_of_triangle_mesh.h>
#include <tbb/global_control.h>
#include <tbb/parallel_invoke.h>

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "CgalMesh.h"
#include "MUserOperatorUndercutRemover.h"
#include "TestMeshes.h"
#include "host/MStlBaseOperatorReduceEx.h"
#include "host/MStlTriangleTree.h"

namespace {

using Remover = MUserOperatorUndercutRemover;
constexpr int32_t kCell = 1000;
const MMVector3d kDown(0.0, 0.0, -1.0);

// A box cap [-15, 15] x [-10, 10] x [20, 30] on a thinner box stalk
// [-5, 5]^2 x [0, 20] (thousands of units): the cap overhangs on all sides.
const MStlBase& BoxMushroom() {
    static const std::unique_ptr<MStlBase> mesh = [] {
        auto m = std::make_unique<MStlBase>();
        MStlBase stalk;
        GenerateBox(*m, {-15000, -10000, 20000}, {15000, 10000, 30000}, 2);
        GenerateBox(stalk, {-5000, -5000, 0}, {5000, 5000, 20000}, 2);
        m->AddStl(stalk);
        return m;
    }();
    return *mesh;
}

// A sphere of radius 15000 around (0, 0, 30000) on a box stalk that reaches
// into it.
const MStlBase& SphereMushroom() {
    static const std::unique_ptr<MStlBase> mesh = [] {
        auto m = std::make_unique<MStlBase>();
        MStlBase stalk;
        GenerateSphere(*m, 15000.0, 3000, {0.0, 0.0, 30000.0});
        GenerateBox(stalk, {-4000, -4000, 0}, {4000, 4000, 20000}, 2);
        m->AddStl(stalk);
        return m;
    }();
    return *mesh;
}

// Distance along the unit direction d to the triangle, Moller-Trumbore
// style, both sides; false on a miss.
bool RayTriangle(const MMVector3d& o, const MMVector3d& d, const MStlTriangle& t, double& distance) {
    const MMVector3d a = t.GetPoint(0)->GetVector();
    const MMVector3d e1 = t.GetPoint(1)->GetVector() - a, e2 = t.GetPoint(2)->GetVector() - a;
    const MMVector3d p = d.Cross(e2);
    const double det = e1.Dot(p);
    if (std::fabs(det) < 1e-12) return false;
    const MMVector3d s = o - a, q = s.Cross(e1);
    const double u = s.Dot(p) / det, v = d.Dot(q) / det;
    if (u < 0.0 || v < 0.0 || u + v > 1.0) return false;
    distance = e2.Dot(q) / det;
    return distance >= 0.0;
}

struct Result {
    Remover::EReturnCode code = Remover::eSuccess;
    std::unique_ptr<MStlBase> mesh = std::make_unique<MStlBase>();
    MStlSurface* top = nullptr;
    MStlSurface* bottom = nullptr;
};

Result Remove(const MStlBase& input, const MMVector3d& direction, const Remover::MParams& params,
              QelSDK::Common::ProgressPtr progress = nullptr) {
    Result r;
    r.top = r.mesh->AddSurface();
    r.bottom = r.mesh->AddSurface();
    Remover remover;
    remover.SetInputModel(&input);
    remover.SetOutputSurface(r.top);
    remover.SetOutputBottomSurface(r.bottom);
    remover.SetDirection(direction);
    remover.SetParams(params);
    r.code = remover.Operate(progress);
    return r;
}

Remover::MParams Straight(double draft = 0.0) {
    Remover::MParams p;
    p.DraftAngle = draft;
    p.CellSize = kCell;
    return p;
}

Remover::MParams Angulated(const MStlBase& input, double offsetX = 0.0, uint64_t steps = 1) {
    Remover::MParams p = Straight();
    p.Angulated.Enabled = true;
    p.Angulated.TopZ = input.GetZMax() + 10000;
    p.Angulated.BottomZ = input.GetZMin() - 10000;
    p.Angulated.OffsetX = offsetX;
    p.Angulated.ExtensionSteps = steps;
    return p;
}

// Every point of `inner`, pulled `slack` units toward `centre`, lies inside
// or on the closed mesh `outer`.
::testing::AssertionResult Contains(const MStlBase& outer, const MStlBase& inner, double slack = 0.0,
                                    const MMVector3d& centre = {}) {
    const CgalMesh solid = ToSurfaceMesh(outer);
    const CGAL::Side_of_triangle_mesh<CgalMesh, CgalKernel> side(solid);
    for (auto it = inner.BeginPoint(); it != inner.EndPoint(); ++it) {
        MMVector3d p = it->GetVector(), toCentre = centre - p;
        if (slack > 0.0 && toCentre.Normalize()) p += toCentre * slack;
        if (side(CgalKernel::Point_3(p[0], p[1], p[2])) == CGAL::ON_UNBOUNDED_SIDE)
            return ::testing::AssertionFailure() << "point " << it->GetX() << " " << it->GetY() << " " << it->GetZ()
                                                 << " lies outside";
    }
    return ::testing::AssertionSuccess();
}

// Crossings of the vertical line through (x, y) with the mesh's surface,
// lowest first.
std::vector<double> Crossings(const MStlTriangleTree& tree, double x, double y) {
    std::vector<double> z;
    for (const auto& hit : tree.CastRayAll({x, y, 1e7}, {0.0, 0.0, -1.0}, std::numeric_limits<double>::infinity()))
        z.insert(z.begin(), hit.point[2]);
    return z;
}

// Every triangle's corners, in list order.
std::vector<std::array<int32_t, 9>> Corners(const MStlBase& mesh) {
    std::vector<std::array<int32_t, 9>> all;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        std::array<int32_t, 9> c;
        for (int k = 0; k < 9; ++k) c[size_t(k)] = it->GetPoint(k / 3)->Get(k % 3);
        all.push_back(c);
    }
    return all;
}

// Slightly off the centres of the grid cells (the split diagonals run
// through the exact centres).
constexpr double kOffU = 0.5 + 0.0137, kOffV = 0.5 - 0.0291;

}  // namespace

TEST(UndercutRemover, BoxMushroomBecomesTheCapsPrism) {
    const MStlBase& input = BoxMushroom();
    const Result r = Remove(input, kDown, Straight());
    ASSERT_EQ(r.code, Remover::eSuccess);
    ASSERT_TRUE(Sound(*r.mesh));
    const MeshReport report = CheckMesh(*r.mesh);
    EXPECT_EQ(report.boundaryEdges, 0u);
    EXPECT_EQ(report.nonManifoldEdges, 0u);
    EXPECT_EQ(report.shells, 1u);
    EXPECT_GT(r.bottom->GetNumberOfTriangles(), 0u);
    // The cap's footprint from its top at 30 down to one cell below the
    // model's lowest point: 30 x 20 x 31 cubic units.
    EXPECT_NEAR(report.volume, 30.0 * 20.0 * 31.0, 1e-6);
    EXPECT_TRUE(Contains(*r.mesh, input));

    // With the direction (0, 0, -1) the grid's u axis is x, its v axis -y,
    // and its origin lies two cells beyond the model: u0 = -17000, v0 = -12000.
    const MStlTriangleTree tree(*r.mesh);
    int inside = 0;
    for (int i = 0; i < 34; ++i)
        for (int j = 0; j < 24; ++j) {
            const double x = -17000.0 + (i + kOffU) * kCell, y = -(-12000.0 + (j + kOffV) * kCell);
            const bool overCap = std::fabs(x) < 15000.0 && std::fabs(y) < 10000.0;
            const std::vector<double> z = Crossings(tree, x, y);
            if (!overCap) {
                EXPECT_TRUE(z.empty()) << x << " " << y;
                continue;
            }
            ++inside;
            ASSERT_EQ(z.size(), 2u) << x << " " << y;
            EXPECT_NEAR(z[0], -1000.0, 1e-6);  // bottom sheet
            EXPECT_NEAR(z[1], 30000.0, 1e-6);  // top sheet
        }
    EXPECT_EQ(inside, 30 * 20);
}

TEST(UndercutRemover, SphereOnAStalkIsClosedAndHoldsTheInput) {
    const MStlBase& input = SphereMushroom();
    const Result r = Remove(input, kDown, Straight());
    ASSERT_EQ(r.code, Remover::eSuccess);
    ASSERT_TRUE(Sound(*r.mesh));
    EXPECT_EQ(CheckMesh(*r.mesh).shells, 1u);
    EXPECT_TRUE(Contains(*r.mesh, input));
    // More than the sphere's half prism down to the bottom, less than its
    // bounding box's prism.
    const double R = 15.0, height = 45.0 + 1.0;
    const double volume = CheckMesh(*r.mesh).volume;
    EXPECT_GT(volume, std::numbers::pi * R * R * (height - R) + 2.0 / 3.0 * std::numbers::pi * R * R * R * 0.95);
    EXPECT_LT(volume, 4.0 * R * R * height);

    // Every vertical line meets the solid's surface twice where the grid
    // saw the sphere, and not at all elsewhere; lines through the sphere's
    // inner disc always see it.
    const MStlTriangleTree solid(*r.mesh), model(input);
    int twice = 0;
    for (int i = 0; i < 34; ++i)
        for (int j = 0; j < 34; ++j) {
            const double x = -17000.0 + (i + kOffU) * kCell, y = -(-17000.0 + (j + kOffV) * kCell);
            const std::vector<double> z = Crossings(solid, x, y);
            EXPECT_TRUE(z.empty() || z.size() == 2u) << x << " " << y << ": " << z.size();
            if (std::hypot(x, y) < 14000.0) {
                EXPECT_EQ(z.size(), 2u) << x << " " << y;
            }
            if (!Crossings(model, x, y).empty()) {
                EXPECT_EQ(z.size(), 2u) << x << " " << y;
            }
            twice += z.size() == 2u;
        }
    EXPECT_GT(twice, 600);
}

TEST(UndercutRemover, DraftAngleLeansTheWalls) {
    const MStlBase& input = BoxMushroom();
    const double alpha = 30.0;
    const Result r = Remove(input, kDown, Straight(alpha));
    ASSERT_EQ(r.code, Remover::eSuccess);
    ASSERT_TRUE(Sound(*r.mesh));
    EXPECT_TRUE(Contains(*r.mesh, input));
    EXPECT_GT(CheckMesh(*r.mesh).volume, 30.0 * 20.0 * 31.0);
    // Beyond the cap's edge at x = 15000 the top falls by s / tan(alpha)
    // over a distance s, to within one grid step sideways; it never goes
    // below the model's lowest point.
    const MStlTriangleTree tree(*r.mesh);
    const double slope = 1.0 / std::tan(alpha / 180.0 * std::numbers::pi);
    for (double s = 300.0; s < 16000.0; s += 700.0) {
        const std::vector<double> z = Crossings(tree, 15000.0 + s, 1234.0);
        ASSERT_EQ(z.size(), 2u) << s;
        EXPECT_NEAR(z[1], 30000.0 - s * slope, kCell * slope) << s;
        EXPECT_GT(z[1], 0.0);
    }
    // Well beyond the reach of the walls there is nothing.
    EXPECT_TRUE(Crossings(tree, 15000.0 + 30000.0 / slope + 2.0 * kCell, 1234.0).empty());
    // Angles outside (0, 90) switch the widening off.
    for (double off : {0.0, -10.0, 90.0, 120.0, std::numeric_limits<double>::quiet_NaN()}) {
        const Result plain = Remove(input, kDown, Straight(off));
        ASSERT_EQ(plain.code, Remover::eSuccess) << off;
        EXPECT_NEAR(CheckMesh(*plain.mesh).volume, 30.0 * 20.0 * 31.0, 1e-6) << off;
    }
}

TEST(UndercutRemover, BoxWithoutUndercutsIsItsOwnPrism) {
    MStlBase box;
    GenerateBox(box, {-7000, -3000, 1000}, {9000, 4000, 6000}, 3);
    const Result r = Remove(box, kDown, Straight());
    ASSERT_EQ(r.code, Remover::eSuccess);
    ASSERT_TRUE(Sound(*r.mesh));
    // The box itself plus the one-cell slab below it.
    EXPECT_NEAR(CheckMesh(*r.mesh).volume, 16.0 * 7.0 * (5.0 + 1.0), 1e-6);
    EXPECT_TRUE(Contains(*r.mesh, box));

    // Seen along an oblique direction the solid is still closed and holds
    // the box; the direction is left normalised.
    Remover remover;
    MStlBase out;
    remover.SetInputModel(&box);
    remover.SetOutputSurface(out.AddSurface());
    remover.SetOutputBottomSurface(out.AddSurface());
    remover.SetDirection({0.3, -0.2, -1.0});
    remover.SetParams(Straight(10.0));
    ASSERT_EQ(remover.Operate(), Remover::eSuccess);
    EXPECT_NEAR(remover.GetDirection().Length(), 1.0, 1e-12);
    EXPECT_TRUE(Sound(out));
    // The solid's corners along the oblique axes are truncated to the
    // integer grid, which may move its surface by up to sqrt(3) units.
    EXPECT_TRUE(Contains(out, box, 2.0, {1000.0, 500.0, 3500.0}));
}

TEST(UndercutRemover, WithoutBottomSurfaceTheBottomIsLeftOut) {
    const MStlBase& input = BoxMushroom();
    MStlBase out;
    Remover remover;
    remover.SetInputModel(&input);
    remover.SetOutputSurface(out.AddSurface());
    remover.SetDirection(kDown);
    remover.SetParams(Straight());
    ASSERT_EQ(remover.Operate(), Remover::eSuccess);
    const MeshReport report = CheckMesh(out);
    EXPECT_GT(report.boundaryEdges, 0u);
    EXPECT_EQ(report.nonManifoldEdges, 0u);
    EXPECT_TRUE(report.oriented);
}

TEST(UndercutRemover, FacingAwayOnlyGivesNothing) {
    // One triangle facing +z, seen looking up (+z): nothing faces the viewer.
    MStlBase sheet;
    sheet.AddTriangle(sheet.AddPoint(0, 0, 0), sheet.AddPoint(5000, 0, 0), sheet.AddPoint(0, 5000, 0));
    const Result r = Remove(sheet, {0.0, 0.0, 1.0}, Straight());
    EXPECT_EQ(r.code, Remover::eSuccess);
    EXPECT_EQ(r.mesh->GetNumberOfTriangles(), 0u);
}

TEST(UndercutRemover, AngulatedModeGivesAClosedSolid) {
    for (const MStlBase* mesh : {&BoxMushroom(), &SphereMushroom()}) {
        const MStlBase& input = *mesh;
        for (double offset : {0.0, 4000.0}) {
            const Result r = Remove(input, kDown, Angulated(input, offset, 1));
            ASSERT_EQ(r.code, Remover::eSuccess) << offset;
            ASSERT_TRUE(Sound(*r.mesh)) << offset;
            EXPECT_EQ(CheckMesh(*r.mesh).shells, 1u) << offset;
            EXPECT_GT(r.top->GetNumberOfTriangles(), 0u);
            EXPECT_GT(r.bottom->GetNumberOfTriangles(), 0u);
            if (offset == 0.0) {
                EXPECT_TRUE(Contains(*r.mesh, input));
            }
        }
    }
}

TEST(UndercutRemover, AngulatedTopAboveTopZUsesTheViewFromAbove) {
    // TopZ halfway up the cap: there the straight top + 100 is used.
    const MStlBase& input = BoxMushroom();
    Remover::MParams p = Angulated(input, 0.0, 0);
    p.Angulated.TopZ = 25000;
    const Result r = Remove(input, kDown, p);
    ASSERT_EQ(r.code, Remover::eSuccess);
    ASSERT_TRUE(Sound(*r.mesh));
    EXPECT_EQ(r.mesh->GetZMax(), 30100);
    // TopZ equal to BottomZ: no offset anywhere, still closed.
    p.Angulated.BottomZ = p.Angulated.TopZ = 40000;
    p.Angulated.OffsetX = 3000;
    const Result flat = Remove(input, kDown, p);
    ASSERT_EQ(flat.code, Remover::eSuccess);
    EXPECT_TRUE(Sound(*flat.mesh));
}

TEST(UndercutRemover, SameResultWithOneAndTwoThreads) {
    const MStlBase& input = SphereMushroom();
    std::vector<std::array<int32_t, 9>> results[2][2];
    for (int threads : {1, 2}) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        results[threads - 1][0] = Corners(*Remove(input, kDown, Straight(20.0)).mesh);
        results[threads - 1][1] = Corners(*Remove(input, kDown, Angulated(input, 2500.0, 2)).mesh);
    }
    EXPECT_FALSE(results[0][1].empty());
    EXPECT_EQ(results[0][0], results[1][0]);
    EXPECT_EQ(results[0][1], results[1][1]);
}

TEST(UndercutRemover, CancellationLeavesNothingBehind) {
    const MStlBase& input = SphereMushroom();
    const std::vector<std::array<int32_t, 9>> before = Corners(input);
    for (const Remover::MParams& params : {Straight(15.0), Angulated(input, 2000.0, 2)}) {
        const auto reference = Corners(*Remove(input, kDown, params).mesh);
        int cancelled = 0;
        for (int allowed = 0;; allowed += 1 + allowed / 6) {
            auto cancel = std::make_shared<CancelAfter>(allowed);
            const Result r = Remove(input, kDown, params, cancel);
            if (r.code == Remover::eSuccess) {
                EXPECT_EQ(Corners(*r.mesh), reference);
                break;
            }
            ASSERT_EQ(r.code, Remover::eCancelled) << allowed;
            ++cancelled;
            EXPECT_EQ(r.mesh->GetNumberOfTriangles(), 0u) << allowed;
            EXPECT_EQ(r.mesh->GetNumberOfPoints(), 0u) << allowed;
            EXPECT_TRUE(cancel->steps.count("QelStlCutting.MUserOperatorUndercutRemover.Operate"));
            ASSERT_LT(allowed, 100000);
        }
        EXPECT_GT(cancelled, 3);
        EXPECT_EQ(Corners(input), before) << "the input is untouched";
    }
}

TEST(UndercutRemover, BadInputGivesACodeAndWritesNothing) {
    const MStlBase& input = BoxMushroom();
    const MStlBase empty;
    auto expectRefused = [](const Result& r, Remover::EReturnCode code) {
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(r.mesh->GetNumberOfTriangles(), 0u);
    };
    expectRefused(Remove(empty, kDown, Straight()), Remover::eInvalidInput);
    expectRefused(Remove(input, {0.0, 0.0, 0.0}, Straight()), Remover::eInvalidInput);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    expectRefused(Remove(input, {nan, 0.0, -1.0}, Straight()), Remover::eInvalidInput);
    expectRefused(Remove(input, {inf, 0.0, -1.0}, Straight()), Remover::eInvalidInput);
    for (int32_t cell : {0, -1, -1000}) {
        Remover::MParams p = Straight();
        p.CellSize = cell;
        expectRefused(Remove(input, kDown, p), Remover::eInvalidInput);
        Remover::MParams a = Angulated(input);
        a.CellSize = cell;
        expectRefused(Remove(input, kDown, a), Remover::eInvalidInput);
    }
    // A grid of a billion points is refused before it is allocated.
    Remover::MParams fine = Straight();
    fine.CellSize = 1;
    expectRefused(Remove(input, kDown, fine), Remover::eGridTooLarge);
    Remover::MParams grown = Angulated(input);
    grown.Angulated.ExtensionSteps = uint64_t(1) << 40;
    expectRefused(Remove(input, kDown, grown), Remover::eGridTooLarge);
    Remover::MParams steep = Straight(89.9999999);
    expectRefused(Remove(input, kDown, steep), Remover::eGridTooLarge);

    // Missing surfaces.
    Remover remover;
    remover.SetDirection(kDown);
    EXPECT_EQ(remover.Operate(), Remover::eInvalidInput);
    remover.SetInputModel(&input);
    EXPECT_EQ(remover.Operate(), Remover::eInvalidInput);
    MStlBase out;
    remover.SetOutputSurface(out.AddSurface());
    remover.SetParams(Angulated(input));
    EXPECT_EQ(remover.Operate(), Remover::eInvalidInput) << "the angulated mode needs a bottom surface";
    EXPECT_EQ(out.GetNumberOfTriangles(), 0u);
}

TEST(UndercutRemover, GridsBeyondTheMemoryBudgetAreRefused) {
    const MStlBase& input = BoxMushroom();
    const Result whole = Remove(input, kDown, Straight(10.0));
    ASSERT_EQ(whole.code, Remover::eSuccess);
    // The estimate covers what the run really added: two points and about
    // four triangles per grid point at most.
    const double points = double(whole.mesh->GetNumberOfPoints()) / 2.0;
    EXPECT_GE(Remover::EstimatedBytes(points, true), 120.0 * whole.mesh->GetNumberOfPoints() + 64.0 * whole.mesh->GetNumberOfTriangles());
    for (const double draft : {0.0, 10.0}) {
        Remover::MParams tight = Straight(draft);
        tight.MemoryBudget = uint64_t(Remover::EstimatedBytes(points, draft > 0.0) / 2.0);
        const Result refused = Remove(input, kDown, tight);
        EXPECT_EQ(refused.code, Remover::eGridTooLarge) << draft;
        EXPECT_EQ(refused.mesh->GetNumberOfTriangles(), 0u);
    }
}

TEST(UndercutRemover, RunningOutOfMemoryIsRefusedAndWritesNothing) {
    for (int n : {1, 2, 5, 20}) {
        const Result r = Remove(BoxMushroom(), kDown, Straight(10.0), std::make_shared<FailAllocationAt>(n));
        EXPECT_EQ(r.code, Remover::eGridTooLarge) << n;
        EXPECT_EQ(r.mesh->GetNumberOfTriangles(), 0u) << n;
        EXPECT_EQ(r.mesh->GetNumberOfPoints(), 0u) << n;
    }
}

TEST(UndercutRemover, SolidsAtTheEdgeOfTheCoordinateRange) {
    // Seen toward the edge of the range, the bottom sheet moves in to stay
    // in range, and the solid is still closed and holds the box.
    constexpr int32_t top = 2147483000;
    for (const bool alongX : {false, true}) {
        MStlBase box;
        if (alongX) GenerateBox(box, {top - 500000, 0, 0}, {top, 100000, 100000}, 1);
        else GenerateBox(box, {0, 0, top - 500000}, {100000, 100000, top}, 1);
        const MMVector3d towardEdge = alongX ? MMVector3d(1.0, 0.0, 0.0) : MMVector3d(0.0, 0.0, 1.0);
        const Result r = Remove(box, towardEdge, Straight());
        ASSERT_EQ(r.code, Remover::eSuccess) << alongX;
        EXPECT_TRUE(Sound(*r.mesh)) << alongX;
        EXPECT_GE(r.mesh->Volume(), box.Volume()) << alongX;
        EXPECT_LE(r.mesh->Volume(), box.Volume() * 1.01) << alongX;
    }
    // A box reaching the last coordinate leaves no room behind it.
    MStlBase edge;
    GenerateBox(edge, {0, 0, 2147483646 - 500000}, {100000, 100000, 2147483646}, 1);
    const Result refused = Remove(edge, {0.0, 0.0, 1.0}, Straight());
    EXPECT_EQ(refused.code, Remover::eOutOfRange);
    EXPECT_EQ(refused.mesh->GetNumberOfTriangles(), 0u);
}

TEST(UndercutRemover, SecondOperateAppendsAnotherResult) {
    const MStlBase& input = BoxMushroom();
    MStlBase out;
    Remover remover;
    remover.SetInputModel(&input);
    remover.SetOutputSurface(out.AddSurface());
    remover.SetOutputBottomSurface(out.AddSurface());
    remover.SetDirection(kDown);
    remover.SetParams(Straight());
    ASSERT_EQ(remover.Operate(), Remover::eSuccess);
    const uint64_t once = out.GetNumberOfTriangles();
    Remover copy;
    copy = remover;
    ASSERT_EQ(copy.Operate(), Remover::eSuccess);
    // The same solid again, on the same points: every edge now has four triangles.
    EXPECT_EQ(out.GetNumberOfTriangles(), 2 * once);
    EXPECT_EQ(CheckMesh(out).boundaryEdges, 0u);
}

TEST(TriangleTree, NearestHitMatchesBruteForce) {
    MStlBase mesh;
    std::mt19937 random(7);
    GenerateRoughSphere(mesh, 50000.0, 20000, 30, random);
    const MStlTriangleTree tree(mesh);
    EXPECT_EQ(tree.GetNumberOfTriangles(), mesh.GetNumberOfTriangles());
    std::uniform_real_distribution<double> coordinate(-70000.0, 70000.0), unit(-1.0, 1.0);
    int hits = 0;
    for (int k = 0; k < 300; ++k) {
        const MMVector3d o(coordinate(random), coordinate(random), coordinate(random));
        MMVector3d d(unit(random), unit(random), unit(random));
        if (!d.Normalize()) continue;
        double best = std::numeric_limits<double>::infinity();
        for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
            double t;
            if (RayTriangle(o, d, **it, t)) best = std::min(best, t);
        }
        MStlTriangleTree::Hit hit;
        const bool found = tree.CastRay(o, d, std::numeric_limits<double>::infinity(), hit);
        ASSERT_EQ(found, std::isfinite(best)) << k;
        if (!found) continue;
        ++hits;
        EXPECT_NEAR(hit.distance, best, 1e-6 * best);
        EXPECT_NEAR((hit.point - (o + d * best)).Length(), 0.0, 1e-6);
        // A closed surface: a ray from outside meets it an even number of
        // times, one from inside an odd number (the jitter is 30 steps).
        const double r = o.Length();
        if (std::fabs(r - 50000.0) > 100.0) {
            EXPECT_EQ(tree.CastRayAll(o, d, std::numeric_limits<double>::infinity()).size() % 2, r < 50000.0 ? 1u : 0u)
                << k;
        }
    }
    EXPECT_GT(hits, 50);
    MStlTriangleTree::Hit none;
    EXPECT_FALSE(tree.CastRay({0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, 1e9, none)) << "a zero direction hits nothing";
    EXPECT_FALSE(tree.CastRay({0.0, 0.0, 0.0}, {0.0, 0.0, 1.0}, 1000.0, none)) << "the surface is beyond the limit";
    EXPECT_FALSE(MStlTriangleTree(MStlBase()).CastRay({0.0, 0.0, 0.0}, {0.0, 0.0, 1.0}, 1e9, none));
}

TEST(TriangleTree, SameAnswersWithOneAndTwoThreads) {
    MStlBase mesh;
    GenerateSphere(mesh, 100000.0, 100000);
    std::vector<std::pair<const MStlTriangleElement*, double>> answers[2];
    for (int threads : {1, 2}) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        const MStlTriangleTree tree(mesh);
        std::mt19937 random(3);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        for (int k = 0; k < 2000; ++k) {
            MStlTriangleTree::Hit hit;
            const MMVector3d o(unit(random) * 50000.0, unit(random) * 50000.0, unit(random) * 50000.0);
            tree.CastRay(o, {unit(random), unit(random), unit(random)}, 1e9, hit);
            answers[threads - 1].emplace_back(hit.triangle, hit.distance);
        }
    }
    EXPECT_EQ(answers[0], answers[1]);
}

TEST(TriangleTree, MeshCachesItsTreeUntilItChanges) {
    MStlBase mesh;
    GenerateBox(mesh, {0, 0, 0}, {1000, 1000, 1000});
    const auto first = mesh.GetTriangleTree();
    ASSERT_TRUE(first);
    EXPECT_EQ(mesh.GetTriangleTree(), first);
    EXPECT_EQ(first->GetNumberOfTriangles(), 12u);
    mesh.AddTriangle(mesh.AddPoint(0, 0, 5000), mesh.AddPoint(1000, 0, 5000), mesh.AddPoint(0, 1000, 5000));
    const auto second = mesh.GetTriangleTree();
    EXPECT_NE(second, first);
    EXPECT_EQ(second->GetNumberOfTriangles(), 13u);
    EXPECT_EQ(first->GetNumberOfTriangles(), 12u) << "a tree handed out stays valid";
    {
        MStlBaseOperatorHelperDirectPointChange change(mesh, true);
        mesh.BeginPoint()->SetCoordinatesFast(-1, -1, -1);
    }
    EXPECT_NE(mesh.GetTriangleTree(), second) << "moved points drop the tree";
    const auto third = mesh.GetTriangleTree();
    mesh.DropTriangleTree();
    EXPECT_NE(mesh.GetTriangleTree(), third);
    mesh.ClearStl();
    EXPECT_EQ(mesh.GetTriangleTree()->GetNumberOfTriangles(), 0u);
}

TEST(TriangleTree, ConcurrentReadersShareOneCachedTree) {
    MStlBase mesh;
    GenerateSphere(mesh, 50000.0, 50000);
    std::shared_ptr<const MStlTriangleTree> a, b;
    tbb::parallel_invoke([&] { a = mesh.GetTriangleTree(); }, [&] { b = mesh.GetTriangleTree(); });
    ASSERT_TRUE(a);
    EXPECT_EQ(a, b);
    EXPECT_EQ(mesh.GetTriangleTree(), a);
}

namespace {
// Every triangle of the mesh in one new surface.
MStlSurface* OneSurface(MStlBase& mesh) {
    MStlSurface* s = mesh.AddSurface();
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) mesh.MoveTriangleToSurface(*it, s);
    return s;
}
}  // namespace

TEST(SurfaceReducer, FlatFacesLoseTheirInnerPoints) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 10);
    MStlSurfaceContainer container(*OneSurface(box));
    MStlBaseOperatorReduceEx<MStlSurfaceContainer> reduce(container, MStlBaseOperatorReduceExBase::MParams());
    ASSERT_TRUE(reduce.Operate());
    EXPECT_GT(reduce.GetNumberOfRemovedPoints(), 400u);
    EXPECT_LT(box.GetNumberOfTriangles(), 300u);
    ASSERT_TRUE(Sound(box));
    EXPECT_DOUBLE_EQ(CheckMesh(box).volume, 1000.0) << "points never move, folds are refused";
    EXPECT_EQ(CheckMesh(box).degenerateTriangles, 0u);
}

TEST(SurfaceReducer, OtherSurfacesAndTheirBorderStay) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 10);
    MStlSurface* sides = OneSurface(box);
    MStlSurface* top = box.AddSurface();
    for (auto it = box.BeginTriangle(); it != box.EndTriangle(); ++it)
        if (it->GetPoint(0)->GetZ() == 10000 && it->GetPoint(1)->GetZ() == 10000 && it->GetPoint(2)->GetZ() == 10000)
            box.MoveTriangleToSurface(*it, top);
    auto topCorners = [&] {
        std::vector<std::array<int32_t, 9>> all;
        for (const auto& c : Corners(box))
            if (c[2] == 10000 && c[5] == 10000 && c[8] == 10000) all.push_back(c);
        return all;
    };
    const auto topBefore = topCorners();
    MStlSurfaceContainer container(*sides);
    MStlBaseOperatorReduceEx<MStlSurfaceContainer> reduce(container, MStlBaseOperatorReduceExBase::MParams());
    reduce.Operate();
    EXPECT_EQ(top->GetNumberOfTriangles(), 200u);
    EXPECT_LT(sides->GetNumberOfTriangles(), 1000u);
    ASSERT_TRUE(Sound(box));
    EXPECT_DOUBLE_EQ(CheckMesh(box).volume, 1000.0);
    EXPECT_EQ(topCorners(), topBefore) << "the top and its border are untouched";
}

TEST(SurfaceReducer, CurvedSurfaceKeepsItsShape) {
    MStlBase sphere;
    GenerateSphere(sphere, 50000.0, 20000);
    const double before = CheckMesh(sphere).volume;
    MStlSurfaceContainer container(*OneSurface(sphere));
    MStlBaseOperatorReduceExBase::MParams params;
    params.MaximumDeviation = 50.0;
    MStlBaseOperatorReduceEx<MStlSurfaceContainer> reduce(container, params);
    reduce.Operate();
    EXPECT_GT(reduce.GetNumberOfRemovedPoints(), 0u);
    ASSERT_TRUE(Sound(sphere));
    EXPECT_NEAR(CheckMesh(sphere).volume, before, 0.01 * before);
}
