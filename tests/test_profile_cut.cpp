// The profile cutter end to end: closed, oriented, volume-preserving results
// for plane, profile, depth, support and in-place cuts.
#include <array>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "MCutter.h"
#include "MStlBaseOperatorPlaneCut.h"
#include "cutter/MCutEdge.h"
#include "host/MFileName.h"
#include "host/MInternalUnits.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"
#include "TestMeshes.h"

namespace {

using Polygon = std::vector<std::pair<long, long>>;

struct CutResult {
    char code = 0;
    uint64_t unclosed = 0;
    std::unique_ptr<MStlBase> inside, outside;
};

void SetProfile(MCutter& cutter, const std::vector<Polygon>& profile) {
    for (const Polygon& p : profile) {
        cutter.AddNewCutContour();
        for (auto [x, y] : p) cutter.AddNewCutPoint(x, y, false);
        cutter.GetProfile().GetLastContour()->SetClosed(true);
    }
}

CutResult Cut(MStlBase& mesh, unsigned char mode, long value, const std::vector<Polygon>& profile = {},
              long round = 0, QelSDK::Common::ProgressPtr progress = nullptr) {
    MCutter cutter;
    cutter.SetCutStl(mesh, false);
    cutter.SET_CUT_MODE(mode, value);
    if (round) cutter.SET_ROUND_PROFILE(round);
    SetProfile(cutter, profile);
    CutResult r;
    r.code = cutter.MAKE_CUT(progress);
    r.unclosed = cutter.GetNumberOfUnclosedOpenings();
    r.inside.reset(cutter.GetInsideResult(true));
    r.outside.reset(cutter.GetOutsideResult(true));
    return r;
}

// Both results closed and oriented, their volumes adding up to the input's
// within the grid bound (and the given relative error where no point was
// rounded).
void ExpectSplit(const CutResult& r, const MStlBase& input, double relative = 1e-12) {
    ASSERT_EQ(r.code, MCutter::kDone);
    ASSERT_TRUE(r.inside && r.outside);
    EXPECT_TRUE(Sound(*r.inside)) << "inside";
    EXPECT_TRUE(Sound(*r.outside)) << "outside";
    const double volume = input.Volume();
    const double bound = GridBound(*r.inside, input) + GridBound(*r.outside, input) + relative * std::fabs(volume);
    EXPECT_NEAR(r.inside->Volume() + r.outside->Volume(), volume, bound);
}

// A pyramid lying on its side, its tip at (40000, 0, 0): the base and the
// two faces through the tip along its outline stand upright.
void LyingPyramid(MStlBase& pyramid) {
    MStlPoint* p[5] = {pyramid.AddPoint(-40000, -20000, 20000), pyramid.AddPoint(-40000, -20000, -20000),
                       pyramid.AddPoint(40000, 0, 0), pyramid.AddPoint(-40000, 20000, 20000),
                       pyramid.AddPoint(-40000, 20000, -20000)};
    for (const auto& f : {std::array{0, 1, 2}, {3, 0, 2}, {4, 3, 2}, {1, 4, 2}, {1, 0, 3}, {1, 3, 4}})
        pyramid.AddTriangle(p[f[0]], p[f[1]], p[f[2]]);
    pyramid.Update();
}

Polygon Square(long x0, long y0, long x1, long y1) { return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}; }

Polygon Circle(double cx, double cy, double radius, int n, bool clockwise = false) {
    Polygon p;
    for (int i = 0; i < n; ++i) {
        const double a = (clockwise ? -1 : 1) * 2 * M_PI * i / n;
        p.push_back({long(std::lround(cx + radius * std::cos(a))), long(std::lround(cy + radius * std::sin(a)))});
    }
    return p;
}

bool InsideBox(const MStlBase& mesh, long x0, long y0, long x1, long y1, long z0 = INT32_MIN) {
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it)
        if (it->GetX() < x0 || it->GetX() > x1 || it->GetY() < y0 || it->GetY() > y1 || it->GetZ() < z0) return false;
    return true;
}

double PlaneCutVolume(MStlBase& mesh, int axis, double value, bool below) {
    MStlBase lower, upper;
    MStlBaseOperatorPlaneCut op;
    op.SetStl(&mesh);
    double n[3] = {0, 0, 0};
    n[axis] = 1.0;
    op.SetPlane(MMPlaneEq<double>(n[0], n[1], n[2], -value));
    op.SetOutputStl(&lower, &upper);
    op.SetFillSection(true);
    EXPECT_TRUE(op.Operate());
    return (below ? lower : upper).Volume();
}

}  // namespace

TEST(ProfileCut, PlaneModesAgreeWithThePlaneCut) {
    MStlBase sphere, torus, shells;
    GenerateSphere(sphere, 20000.0, 5000);
    GenerateTorus(torus, 30000.0, 9000.0, 6000);
    GenerateSphere(shells, 10000.0, 2000, {-15000.0, 0.0, 0.0});
    GenerateSphere(shells, 8000.0, 2000, {15000.0, 3000.0, 0.0});
    for (MStlBase* mesh : {&sphere, &torus, &shells}) {
        const double volume = mesh->Volume();
        for (unsigned char mode = 0; mode < 3; ++mode) {
            for (long value : {7000L, 0L, -15000L}) {
                SCOPED_TRACE(testing::Message() << "mode " << int(mode) << " value " << value);
                CutResult r = Cut(*mesh, mode, value);
                ExpectSplit(r, *mesh);
                EXPECT_NEAR(r.inside->Volume(), PlaneCutVolume(*mesh, mode, double(value), true), 1e-6 * volume);
                for (auto it = r.inside->BeginPoint(); it != r.inside->EndPoint(); ++it) EXPECT_LE(it->Get(mode), value);
                for (auto it = r.outside->BeginPoint(); it != r.outside->EndPoint(); ++it) EXPECT_GE(it->Get(mode), value);
            }
        }
    }
}

TEST(ProfileCut, SquareThroughBoxGivesExactVolumes) {
    // A 10 x 10 x 10 box on a grid of 5-unit cells: the second square runs
    // exactly along grid edges and through grid vertices, the third has a
    // corner on a vertex and reaches out of the box.
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 2);
    const double volume = box.Volume();
    struct Case {
        Polygon square;
        double inside;
    };
    const Case cases[] = {{Square(2500, 2500, 7500, 7500), 2.5e11},
                          {Square(5000, 0, 10000, 10000), 5e11},
                          {Square(5000, 5000, 15000, 15000), 2.5e11},
                          {Square(1234, 2345, 8765, 7654), 7531.0 * 5309.0 * 10000.0}};
    for (const Case& c : cases) {
        CutResult r = Cut(box, 3, 0, {c.square});
        SCOPED_TRACE(testing::Message() << c.square[0].first << "," << c.square[0].second);
        ExpectSplit(r, box);
        EXPECT_NEAR(r.inside->Volume(), c.inside, 1e-9 * volume);
        EXPECT_TRUE(InsideBox(*r.inside, c.square[0].first, c.square[0].second, c.square[2].first, c.square[2].second));
    }
}

TEST(ProfileCut, CircleWithHoleAndProfilesPartlyOutside) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 8000);
    // An annulus: the hole's points are given clockwise.
    CutResult ring = Cut(sphere, 3, 0, {Circle(0, 0, 12000, 64), Circle(0, 0, 5000, 32, true)});
    ExpectSplit(ring, sphere);
    for (auto it = ring.inside->BeginPoint(); it != ring.inside->EndPoint(); ++it) {
        const double r = std::hypot(double(it->GetX()), double(it->GetY()));
        EXPECT_LE(r, 12001.0);
        EXPECT_GE(r, 5000.0 * std::cos(M_PI / 32) - 1.0);
    }
    // A circle half outside the sphere, a square much larger than it, one
    // beside it.
    for (const Polygon& p : {Circle(18000, 0, 9000, 48), Square(-50000, -50000, 50000, 50000),
                             Square(30000, 30000, 40000, 40000)}) {
        CutResult r = Cut(sphere, 3, 0, {p});
        ExpectSplit(r, sphere);
    }
    CutResult all = Cut(sphere, 3, 0, {Square(-50000, -50000, 50000, 50000)});
    EXPECT_EQ(all.outside->GetNumberOfTriangles(), 0u);
    CutResult none = Cut(sphere, 3, 0, {Square(30000, 30000, 40000, 40000)});
    EXPECT_EQ(none.inside->GetNumberOfTriangles(), 0u);
    EXPECT_EQ(none.outside->GetNumberOfTriangles(), sphere.GetNumberOfTriangles());
}

TEST(ProfileCut, InfiniteCoordinatesAndRounding) {
    MStlBase torus;
    GenerateTorus(torus, 30000.0, 9000.0, 6000);
    const double volume = torus.Volume();
    const long inf = MCutter::kPlusInfinity, minf = MCutter::kMinusInfinity;
    // The half plane x <= 4000, drawn to infinity, is the plane cut.
    CutResult half = Cut(torus, 3, 0, {{{minf, minf}, {4000, minf}, {4000, inf}, {minf, inf}}});
    ExpectSplit(half, torus);
    EXPECT_NEAR(half.inside->Volume(), PlaneCutVolume(torus, 0, 4000.0, true), 1e-6 * volume);
    // A wedge from the origin to infinity, and a rounded square.
    CutResult wedge = Cut(torus, 3, 0, {{{0, 0}, {inf, 0}, {inf, inf}}});
    ExpectSplit(wedge, torus);
    EXPECT_NEAR(wedge.inside->Volume(), volume / 8, 0.02 * volume);
    CutResult rounded = Cut(torus, 3, 0, {Square(-20000, -20000, 20000, 20000)}, 6000);
    ExpectSplit(rounded, torus);
}

TEST(ProfileCut, ResultNamesCodesAndCutProfile) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 3);
    box.SetName(L"/data/parts/block.stl");
    MCutter cutter;
    cutter.SetCutStl(box, false);
    cutter.SET_CUT_MODE(3, 0);
    SetProfile(cutter, {Square(2000, 2000, 8000, 8000)});
    ASSERT_EQ(cutter.MAKE_CUT(), MCutter::kDone);
    MFileName inside(cutter.GetInsideResult(false)->GetName()), outside(cutter.GetOutsideResult(false)->GetName());
    EXPECT_EQ(inside.GET_FILE_PART(MFileName::eName).substr(0, 10), L"inside_of_");
    EXPECT_EQ(outside.GET_FILE_PART(MFileName::eName).substr(0, 11), L"outside_of_");
    EXPECT_NE(cutter.GetInsideResult(false)->GetName().find(L"inside_of_block"), std::wstring::npos);
    MCutProfileFloat chains;
    cutter.GetCutProfile(chains);
    int walls = 0;
    for (auto* c = chains.GetFirstContour(); c; c = MCutProfileFloat::Next(c), ++walls) EXPECT_TRUE(c->IsClosed());
    EXPECT_GE(walls, 4);
    EXPECT_EQ(box.GetNumberOfTriangles(), 108u) << "a copy was cut; the caller's mesh stays";
    for (unsigned char mode = 0; mode < 8; ++mode) {
        if (mode == 6) continue;
        MCutter empty;
        empty.SET_CUT_MODE(mode, 0);
        EXPECT_EQ(empty.MAKE_CUT(), MCutter::kNoMesh) << "mode " << int(mode) << " without a mesh";
    }
    for (unsigned char mode : {6, 8, 200}) {
        MCutter none;
        none.SetCutStl(box, false);
        none.SET_CUT_MODE(mode, 0);
        EXPECT_EQ(none.MAKE_CUT(), MCutter::kNoCut);
        EXPECT_EQ(none.GetNumResults(), 0u);
    }
    // Profiles that enclose nothing: no crash, everything outside.
    for (const Polygon& p : {Polygon{}, Polygon{{1000, 1000}}, Polygon{{1000, 1000}, {5000, 5000}},
                             Polygon{{1000, 1000}, {5000, 5000}, {9000, 9000}}}) {
        CutResult r = Cut(box, 3, 0, {p});
        ASSERT_EQ(r.code, MCutter::kDone);
        EXPECT_EQ(r.inside->GetNumberOfTriangles(), 0u);
        EXPECT_EQ(r.outside->GetNumberOfTriangles(), box.GetNumberOfTriangles());
    }
}

TEST(ProfileCut, DepthCut) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 2);
    const double volume = box.Volume();
    // Inside the square and above z = 4: a 5 x 5 x 6 block.
    CutResult r = Cut(box, 5, 4000, {Square(2500, 2500, 7500, 7500)});
    ExpectSplit(r, box);
    EXPECT_NEAR(r.inside->Volume(), 5000.0 * 5000.0 * 6000.0, 1e-9 * volume);
    EXPECT_TRUE(InsideBox(*r.inside, 2500, 2500, 7500, 7500, 4000));
    // A depth above the whole mesh leaves everything outside.
    CutResult above = Cut(box, 5, 20000, {Square(2500, 2500, 7500, 7500)});
    ASSERT_EQ(above.code, MCutter::kDone);
    EXPECT_EQ(above.inside->GetNumberOfTriangles(), 0u);
    EXPECT_NEAR(above.outside->Volume(), volume, 1e-12 * volume);
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 6000);
    CutResult ball = Cut(sphere, 5, -3000, {Circle(2000, 0, 9000, 40)});
    ExpectSplit(ball, sphere);
    EXPECT_TRUE(InsideBox(*ball.inside, -7001, -9001, 11001, 9001, -3000));
}

TEST(ProfileCut, SupportCutBuildsTheBlockUnderThePart) {
    // A slab at z 5..10 over a floor at z = 0; the square profile lies inside
    // the slab.  The block fills the profile's prism from the floor to one
    // unit above the slab, less the slab.
    MStlBase slab;
    GenerateBox(slab, {0, 0, 5000}, {10000, 10000, 10000}, 2);
    for (auto it = slab.BeginTriangle(); it != slab.EndTriangle(); ++it) it->Mark();
    auto support = [&](long up, long base = 0) {
        MCutter cutter;
        cutter.SetCutStl(slab, false);
        cutter.SET_CUT_MODE(4, 0);
        cutter.SET_SUPPORT_CUT_PARAMETERS(base, 0, up, 0.0, 0.0);
        SetProfile(cutter, {Square(2000, 2000, 8000, 8000)});
        EXPECT_EQ(cutter.MAKE_CUT(), MCutter::kDone);
        EXPECT_EQ(cutter.GetNumResults(), 1u);
        return std::unique_ptr<MStlBase>(cutter.GetInsideResult(true));
    };
    std::unique_ptr<MStlBase> block = support(0);
    ASSERT_TRUE(block);
    EXPECT_TRUE(Sound(*block));
    EXPECT_NEAR(block->Volume(), 6000.0 * 6000.0 * (11000.0 - 5000.0), 1.0);
    // One unit off every upward face (seen from the block): the block's top
    // under the slab moves down by exactly that, and so does the box's lid,
    // onto the slab's top.
    std::unique_ptr<MStlBase> gap = support(1000);
    EXPECT_TRUE(Sound(*gap));
    EXPECT_NEAR(gap->Volume(), 6000.0 * 6000.0 * 4000.0, 1.0);
    // A floor above the part's lowest point goes one unit below that point.
    std::unique_ptr<MStlBase> raised = support(0, 8000);
    EXPECT_TRUE(Sound(*raised));
    EXPECT_NEAR(raised->Volume(), 6000.0 * 6000.0 * (11000.0 - 4000.0 - 5000.0), 1.0);
}

TEST(ProfileCut, InPlaceCutDividesOnlyMarkedTriangles) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 4000);
    MStlBase original;
    original.AddStl(sphere, false);
    const double area = sphere.Area();
    std::map<std::array<int32_t, 9>, int> unmarked;
    for (auto it = sphere.BeginTriangle(); it != sphere.EndTriangle(); ++it) {
        const bool right = it->GetPoint(0)->GetX() + it->GetPoint(1)->GetX() + it->GetPoint(2)->GetX() > 0;
        if (right) it->Mark();
        else {
            std::array<int32_t, 9> key;
            for (int i = 0; i < 9; ++i) key[size_t(i)] = it->GetPoint(i / 3)->Get(i % 3);
            ++unmarked[key];
        }
    }
    const uint64_t before = sphere.GetNumberOfTriangles();
    MCutter cutter;
    cutter.SetCutStl(sphere, false);
    cutter.SET_CUT_MODE(7, 0);
    SetProfile(cutter, {Circle(0, 0, 9000, 24)});
    ASSERT_EQ(cutter.MAKE_CUT(), MCutter::kDone);
    EXPECT_EQ(cutter.GetNumResults(), 0u);
    EXPECT_GT(sphere.GetNumberOfTriangles(), before);
    EXPECT_NEAR(sphere.Volume(), original.Volume(), GridBound(sphere, original));
    EXPECT_NEAR(sphere.Area(), area, 1e-6 * area);
    int marked = 0;
    for (auto it = sphere.BeginTriangle(); it != sphere.EndTriangle(); ++it) {
        if (it->IsMarked()) {
            ++marked;
            EXPECT_TRUE(it->GetStatus() & MCutter::kInside);
            continue;
        }
        std::array<int32_t, 9> key;
        for (int i = 0; i < 9; ++i) key[size_t(i)] = it->GetPoint(i / 3)->Get(i % 3);
        auto found = unmarked.find(key);
        if (found != unmarked.end() && --found->second == 0) unmarked.erase(found);
    }
    EXPECT_GT(marked, 0);
    EXPECT_TRUE(unmarked.empty()) << unmarked.size() << " unmarked triangles were changed";
}

TEST(ProfileCut, IgnoredTrianglesStayWhole) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 3000);
    std::set<std::array<int32_t, 9>> ignored;
    auto key = [](const MStlTriangle* t) {
        std::array<int32_t, 9> k;
        for (int i = 0; i < 9; ++i) k[size_t(i)] = t->GetPoint(i / 3)->Get(i % 3);
        return k;
    };
    MCutter cutter;
    cutter.SetCutStl(sphere, false);
    cutter.SET_CUT_MODE(3, 0);
    cutter.SetCustomTriangleIgnoreFunction([&](MStlTriangle* t) {
        const bool upper = t->GetPoint(0)->GetZ() > 10000;
        if (upper) ignored.insert(key(t));
        return upper;
    });
    SetProfile(cutter, {Square(-8000, -8000, 8000, 8000)});
    cutter.MAKE_CUT();
    EXPECT_TRUE(cutter.IsTriangleIgnored());
    std::set<std::array<int32_t, 9>> results;
    for (MStlBase* mesh : {cutter.GetInsideResult(false), cutter.GetOutsideResult(false)})
        for (auto it = mesh->BeginTriangle(); it != mesh->EndTriangle(); ++it) results.insert(key(*it));
    ASSERT_FALSE(ignored.empty());
    for (const auto& k : ignored) EXPECT_TRUE(results.count(k)) << "an ignored triangle was divided";
}

TEST(ProfileCut, CancellationLeavesTheCallersMesh) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 3000);
    const uint64_t triangles = sphere.GetNumberOfTriangles();
    for (int allowed : {0, 1, 3, 6, 20}) {
        for (bool inPlace : {false, true}) {
            MStlBase copy;
            copy.AddStl(sphere, false);
            MCutter cutter;
            cutter.SetCutStl(copy, inPlace);
            cutter.SET_CUT_MODE(3, 0);
            SetProfile(cutter, {Circle(0, 0, 9000, 24)});
            auto progress = std::make_shared<CancelAfter>(allowed);
            EXPECT_EQ(cutter.MAKE_CUT(progress), MCutter::kCancelled) << allowed;
            if (!inPlace) EXPECT_EQ(copy.GetNumberOfTriangles(), triangles);
            else EXPECT_GT(copy.GetNumberOfTriangles(), 0u) << "the caller's mesh was emptied";
        }
    }
    auto progress = std::make_shared<CancelAfter>(1 << 30);
    Cut(sphere, 3, 0, {Circle(0, 0, 9000, 24)}, 0, progress);
    EXPECT_TRUE(progress->steps.count("QelStlCutting.MCutter.MAKE_CUT"));
    EXPECT_TRUE(progress->steps.count("QelStlCutting.MCutter.CLASSIFY_TRIANGLES"));
}

TEST(ProfileCut, RoughMeshesAndRandomProfiles) {
    // Jittered spheres stand in for scanned surfaces; random polygons cross
    // them at every angle, through grid points and near vertices.
    std::mt19937 random(4242);
    for (double radius : {2000.0, 30000.0}) {
        MStlBase rough;
        GenerateRoughSphere(rough, radius, 5000, int(radius / 2000) + 1, random);
        ASSERT_TRUE(CheckMesh(rough).closed);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        for (int i = 0; i < 12; ++i) {
            const int n = 3 + i % 5;
            Polygon p = Circle(unit(random) * radius * 0.5, unit(random) * radius * 0.5,
                               radius * (0.3 + 0.4 * std::fabs(unit(random))), n);
            // Every third cut is a depth cut from a random height.
            const bool depth = i % 3 == 0;
            const long z = long(unit(random) * radius * 0.7);
            SCOPED_TRACE(testing::Message() << "radius " << radius << " profile " << i << (depth ? " depth" : ""));
            CutResult r = Cut(rough, depth ? 5 : 3, depth ? z : 0, {p});
            ExpectSplit(r, rough);
            if (depth && r.inside) {
                for (auto it = r.inside->BeginPoint(); it != r.inside->EndPoint(); ++it) EXPECT_GE(it->GetZ(), z);
            }
        }
    }
}

TEST(ProfileCut, FillModesAndOpenInput) {
    MStlBase sphere;
    GenerateSphere(sphere, 20000.0, 4000);
    auto cutWithFill = [&](unsigned char fill, MStlBase& mesh) {
        MCutter cutter;
        cutter.SetCutStl(mesh, false);
        cutter.SET_CUT_MODE(3, 0);
        cutter.SET_FILL_MODE(fill);
        SetProfile(cutter, {Circle(3000, 0, 11000, 20)});
        CutResult r;
        r.code = cutter.MAKE_CUT();
        r.unclosed = cutter.GetNumberOfUnclosedOpenings();
        r.inside.reset(cutter.GetInsideResult(true));
        r.outside.reset(cutter.GetOutsideResult(true));
        return r;
    };
    // Vertical strips close the openings as well as the fill algorithm.
    ExpectSplit(cutWithFill(2, sphere), sphere);
    ExpectSplit(cutWithFill(1, sphere), sphere);
    // No fill: both parts keep their openings, and the divided surface
    // still adds up to the input's area.
    CutResult open = cutWithFill(0, sphere);
    ASSERT_EQ(open.code, MCutter::kDone);
    EXPECT_GT(CheckMesh(*open.inside).boundaryEdges, 0u);
    EXPECT_NEAR(open.inside->Area() + open.outside->Area(), sphere.Area(), 1e-6 * sphere.Area());
    // An open input: the cut is made, but the opening along the wall cannot
    // be closed, and the code says so.
    MStlBase holed;
    holed.AddStl(sphere, false);
    for (auto it = holed.BeginTriangle(); it != holed.EndTriangle();) {
        MStlTriangleElement* t = *it;
        ++it;
        if (t->GetPoint(0)->GetZ() > 18000 && t->GetPoint(1)->GetZ() > 18000 && t->GetPoint(2)->GetZ() > 18000)
            holed.RemoveTriangle(t);
    }
    CutResult r = Cut(holed, 0, 0);
    EXPECT_EQ(r.code, MCutter::kOpeningsNotClosed);
    EXPECT_GT(r.unclosed, 0u);
    ASSERT_TRUE(r.inside && r.outside);
    EXPECT_GT(r.inside->GetNumberOfTriangles(), 0u);
}

TEST(ProfileCut, EdgeListAndProfilePreparation) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 1);
    MCutter cutter;
    cutter.SetCutStl(box, false);
    // A repeated point gives no edge; a flagged point starts a surface that
    // the following edges share.
    cutter.AddNewCutContour();
    cutter.AddNewCutPoint(1000, 1000, false);
    cutter.AddNewCutPoint(9000, 1000, true);
    cutter.AddNewCutPoint(9000, 1000, false);
    cutter.AddNewCutPoint(9000, 9000, false);
    cutter.AddNewCutPoint(1000, 9000, false);
    cutter.GetProfile().GetLastContour()->SetClosed(true);
    const uint32_t surfaces = cutter.GetWorkingStl()->GetNumberOfSurfaces();
    ASSERT_EQ(cutter._CreateEdgeList(false), MCutter::kDone);
    std::vector<const MCutEdge*> edges;
    for (const MCutEdge& e : *cutter.GetEdgeList()) edges.push_back(&e);
    ASSERT_EQ(edges.size(), 4u);
    EXPECT_EQ(cutter.GetWorkingStl()->GetNumberOfSurfaces(), surfaces + 1);
    int inSurface = 0;
    for (const MCutEdge* e : edges) inSurface += e->surface != nullptr;
    EXPECT_GE(inSurface, 3);
    EXPECT_EQ(cutter.EDGES_INTERSECT(), 0);
    // Infinity is pulled in to one model unit beyond the mesh.
    MCutter far;
    far.SetCutStl(box, false);
    far.AddNewCutPoint(MCutter::kPlusInfinity, MCutter::kMinusInfinity, false);
    far.REPLACE_MAX_COORDINATES();
    const auto* p = far.GetProfile().GetFirstContour()->GetFirstPoint();
    const long unit = long(QelSDK::Common::MInternalUnits::Get());
    EXPECT_EQ(p->GetX(), 10000 + unit);
    EXPECT_EQ(p->GetY(), -unit);
    // The plane permutation and its inverse.
    MStlPoint q;
    q.Set(1, 2, 3);
    MCutter::TRANSFORM(q, 1, 0);
    EXPECT_EQ(q.GetX(), 2);
    EXPECT_EQ(q.GetY(), 3);
    EXPECT_EQ(q.GetZ(), 1);
    MCutter::TRANSFORM(q, 1, 1);
    EXPECT_EQ(q.GetX(), 1);
    EXPECT_EQ(q.GetZ(), 3);
}

TEST(ProfileCut, ShellsOnEitherSideAndInPlacePlaneCut) {
    // Two spheres, one inside the square and one outside it: nothing is
    // divided, each shell goes whole.
    MStlBase shells;
    GenerateSphere(shells, 5000.0, 1000, {0.0, 0.0, 0.0});
    GenerateSphere(shells, 5000.0, 1000, {30000.0, 0.0, 0.0});
    CutResult r = Cut(shells, 3, 0, {Square(-10000, -10000, 10000, 10000)});
    ExpectSplit(r, shells);
    EXPECT_EQ(r.inside->GetNumberOfTriangles() + r.outside->GetNumberOfTriangles(), shells.GetNumberOfTriangles());
    EXPECT_NEAR(r.inside->Volume(), shells.Volume() / 2, 1e-9 * shells.Volume());
    // A plane cut in Y in place: the mesh gets back its coordinate order.
    MStlBase torus;
    GenerateTorus(torus, 30000.0, 9000.0, 3000);
    torus.UpdateExtremes();
    const int32_t zmax = torus.GetZMax(), xmax = torus.GetXMax();
    MCutter cutter;
    cutter.SetCutStl(torus, true);
    cutter.SET_CUT_MODE(1, 5000);
    ASSERT_EQ(cutter.MAKE_CUT(), MCutter::kDone);
    torus.UpdateExtremes();
    EXPECT_EQ(torus.GetZMax(), zmax);
    EXPECT_EQ(torus.GetXMax(), xmax);
    for (auto it = cutter.GetInsideResult(false)->BeginPoint(); it != cutter.GetInsideResult(false)->EndPoint(); ++it)
        EXPECT_LE(it->GetY(), 5000);
}

TEST(ProfileCut, CombsAndZigZagsCloseOrSayTheyDoNot) {
    // Profiles of hundreds of thin teeth, or whose points jump back and
    // forth across the mesh: the cut ends, and results that are not closed
    // are never delivered as done.
    MStlBase sphere;
    GenerateSphere(sphere, 50000.0, 20000);
    Polygon comb;
    for (long t = 0; t < 100; ++t)
        for (auto [x, y] : {std::pair{300L, -40000L}, {300L, 60000L}, {900L, 60000L}, {900L, -40000L}})
            comb.push_back({-60000 + 1200 * t + x, y});
    for (auto corner : {std::pair{60000L, -40000L}, {60000L, -70000L}, {-60000L, -70000L}}) comb.push_back(corner);
    Polygon star;
    for (int i = 0; i < 201; ++i) {
        const double a = 2 * M_PI * double((i * 99) % 201) / 201.0;
        star.push_back({long(std::lround(70000 * std::cos(a))), long(std::lround(70000 * std::sin(a)))});
    }
    for (const Polygon& profile : {comb, star}) {
        const CutResult r = Cut(sphere, 3, 0, {profile});
        ASSERT_TRUE(r.code == MCutter::kDone || r.code == MCutter::kOpeningsNotClosed) << int(r.code);
        ASSERT_TRUE(r.inside && r.outside);
        const bool closed = CheckMesh(*r.inside).closed && CheckMesh(*r.outside).closed;
        EXPECT_EQ(r.code == MCutter::kDone, closed) << profile.size();
        EXPECT_EQ(r.unclosed == 0, closed) << profile.size();
    }
}

// Profiles through the vertices of a coarse torus run along its edges, also
// along the folds where the surface turns from facing up to facing down, and
// their corners land on edges and on the vertical lines of other corners.
// These once left pinched outlines, pieces folded over each other, open
// T-junctions on corner lines and caps missing at depths through vertices.
TEST(ProfileCut, PolygonsThroughMeshVerticesClose) {
    MStlBase torus;
    GenerateTorus(torus, 24000.0, 9000.0, 300);
    ASSERT_TRUE(Sound(torus));
    std::vector<std::pair<long, long>> vertices;
    for (auto it = torus.BeginPoint(); it != torus.EndPoint(); ++it) vertices.push_back({it->GetX(), it->GetY()});
    std::mt19937 random(7);
    int closed = 0;
    const int cuts = 40;
    for (int i = 0; i < cuts; ++i) {
        Polygon p;
        for (int k = 0; k < 3 + i % 6; ++k) p.push_back(vertices[random() % vertices.size()]);
        // In order of angle about their middle: a simple polygon.
        double mx = 0, my = 0;
        for (auto [x, y] : p) mx += double(x) / double(p.size()), my += double(y) / double(p.size());
        std::sort(p.begin(), p.end(), [&](auto a, auto b) {
            return std::atan2(double(a.second) - my, double(a.first) - mx) < std::atan2(double(b.second) - my, double(b.first) - mx);
        });
        p.erase(std::unique(p.begin(), p.end()), p.end());
        if (p.size() < 3) continue;
        // Every third cut stops at the height of a vertex of the torus.
        const bool depth = i % 3 == 0;
        auto it = torus.BeginPoint();
        for (unsigned k = unsigned(random() % torus.GetNumberOfPoints()); k > 0; --k) ++it;
        const long z = it->GetZ();
        SCOPED_TRACE(testing::Message() << "profile " << i << (depth ? " depth" : ""));
        CutResult r = Cut(torus, depth ? 5 : 3, depth ? z : 0, {p});
        // A corner a step from a vertex can still be refused; never passed open.
        if (r.code == MCutter::kOpeningsNotClosed) continue;
        ExpectSplit(r, torus);
        ++closed;
    }
    EXPECT_GE(closed, cuts * 9 / 10);
}

// A wedge whose tip lies on a vertical edge of a box: what is left of the
// box touches itself along that edge, and each side of the touch gets its own
// copy of the edge, through the whole height and down to a depth.
TEST(ProfileCut, WedgeTipOnAnEdgeOfTheMesh) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 1);
    const Polygon wedge = {{0, 0}, {8000, 3000}, {3000, 8000}};
    for (const auto& [mode, depth] : {std::pair<unsigned char, long>{3, 0}, {5, 4000}}) {
        SCOPED_TRACE(testing::Message() << "mode " << int(mode));
        CutResult r = Cut(box, mode, depth, {wedge});
        ExpectSplit(r, box);
        EXPECT_EQ(CheckMesh(*r.outside).shells, 1u);
    }
}

// A pyramid lying on its side, cut by the triangle it covers from above: its
// base and two of its faces stand in the walls, and the profile's corners,
// added along the walls, split those faces into fans of triangles whose
// middles round off the walls.  Everything is inside, nothing is opened.
TEST(ProfileCut, FacesStandingInTheWallsStayWhole) {
    MStlBase pyramid;
    MStlPoint* apex = pyramid.AddPoint(40000, 0, 0);
    MStlPoint* b[4] = {pyramid.AddPoint(-40000, -20000, 20000), pyramid.AddPoint(-40000, -20000, -20000),
                       pyramid.AddPoint(-40000, 20000, -20000), pyramid.AddPoint(-40000, 20000, 20000)};
    for (int i = 0; i < 4; ++i) pyramid.AddTriangle(b[i], b[(i + 1) % 4], apex);
    pyramid.AddTriangle(b[1], b[0], b[3]);
    pyramid.AddTriangle(b[1], b[3], b[2]);
    pyramid.Update();
    ASSERT_TRUE(Sound(pyramid));
    CutResult r = Cut(pyramid, 3, 0, {{{-40000, -20000}, {40000, 0}, {-40000, 20000}}});
    ASSERT_EQ(r.code, MCutter::kDone);
    ASSERT_TRUE(r.inside);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_DOUBLE_EQ(r.inside->Volume(), pyramid.Volume());
    EXPECT_TRUE(!r.outside || r.outside->GetNumberOfTriangles() == 0);
}

// Vertical faces that pass through the vertical line of a profile corner are
// divided along it: a tetrahedron cut by its own footprint with the corners
// rounded (two faces stand in the straight walls and end where the arcs
// begin), and a box face crossed at a corner, one side in the profile and
// the other out.
TEST(ProfileCut, VerticalFacesThroughACornerAreDivided) {
    MStlBase tetra;
    MStlPoint* p[4] = {tetra.AddPoint(-40000, -40000, -40000), tetra.AddPoint(-40000, -40000, 40000),
                       tetra.AddPoint(-40000, 40000, -40000), tetra.AddPoint(40000, -40000, -40000)};
    for (const auto& f : {std::array{0, 1, 2}, {0, 3, 1}, {1, 3, 2}, {0, 2, 3}})
        tetra.AddTriangle(p[f[0]], p[f[1]], p[f[2]]);
    tetra.Update();
    ASSERT_TRUE(Sound(tetra));
    ExpectSplit(Cut(tetra, 3, 0, {{{40000, -40000}, {-40000, -40000}, {-40000, 40000}}}, 3468), tetra);

    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 1);
    const Polygon across = {{5000, 15000}, {5000, 10000}, {9000, 4000}, {15000, 4000}, {15000, 15000}};
    for (const auto& [mode, depth] : {std::pair<unsigned char, long>{3, 0}, {5, 4000}}) {
        SCOPED_TRACE(testing::Message() << "mode " << int(mode));
        ExpectSplit(Cut(box, mode, depth, {across}), box);
    }
}

// A tetrahedron with corner v at the origin and its other corners 90 steps
// beyond y = 0, given by the offsets of `a`, `b` and `d` from v.
void BuildTetrahedron(MStlBase& mesh, const std::array<int32_t, 3>& a, const std::array<int32_t, 3>& b,
                      const std::array<int32_t, 3>& d) {
    MStlPoint* v = mesh.AddPoint(0, 0, 0);
    MStlPoint* pa = mesh.AddPoint(a[0], a[1], a[2]);
    MStlPoint* pb = mesh.AddPoint(b[0], b[1], b[2]);
    MStlPoint* pd = mesh.AddPoint(d[0], d[1], d[2]);
    mesh.AddTriangle(v, pa, pb);
    mesh.AddTriangle(v, pb, pd);
    mesh.AddTriangle(v, pd, pa);
    mesh.AddTriangle(pa, pd, pb);
    mesh.Update();
    if (mesh.Volume() < 0) mesh.Invert();
}

// A wall that passes a corner of the mesh closer than a grid step.  Where the
// sides from the corner are steep, every crossing rounds onto the corner: the
// wall passes through it, and the corner, though a fraction of a step inside,
// does not pull its triangles in.  Where two sides are shallow and close
// together, both crossings round to one point some steps from the corner:
// the face between them loses its tip there, and its neighbours close up
// over the point.
TEST(ProfileCut, WallPassingACornerWithinAStep) {
    MStlBase steep;
    BuildTetrahedron(steep, {-1000, 3000, 0}, {1000, 3000, 0}, {0, 3000, -3000});
    ASSERT_TRUE(Sound(steep));
    CutResult r = Cut(steep, 3, 0, {{{-2000, 0}, {2000, 1}, {2000, -1000}, {-2000, -1000}}});
    ASSERT_EQ(r.code, MCutter::kDone);
    ASSERT_TRUE(r.outside);
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_DOUBLE_EQ(r.outside->Volume(), steep.Volume());
    EXPECT_TRUE(!r.inside || r.inside->GetNumberOfTriangles() == 0);

    MStlBase shallow;
    BuildTetrahedron(shallow, {-3000, 90, 0}, {-3000, 90, 30}, {-3000, 300, -1200});
    ASSERT_TRUE(Sound(shallow));
    // A tab of the profile crosses the thin face beyond the tip as well.
    const Polygon tab = {{-4000, -1000}, {1000, -1000}, {1000, 1},    {-1000, 1},
                         {-1000, 200},   {-2000, 200},  {-2000, 1}, {-4000, 1}};
    r = Cut(shallow, 3, 0, {tab});
    ASSERT_EQ(r.code, MCutter::kDone);
    ASSERT_TRUE(r.outside);
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_NEAR(r.outside->Volume(), shallow.Volume(), GridBound(*r.outside, shallow));
    if (r.inside) {
        EXPECT_TRUE(Sound(*r.inside));
    }
}

// An octahedron whose four side faces stand upright, cut along its own
// outline: the long edges of the profile are split on the grid points they
// pass, so the walls stay in the faces' planes and the whole solid is inside.
TEST(ProfileCut, LongWallsStayInTheFacesTheyContain) {
    MStlBase solid;
    MStlPoint* p[6] = {solid.AddPoint(0, 40000, 0),      solid.AddPoint(28280, 0, 28280),
                       solid.AddPoint(28280, 0, -28280), solid.AddPoint(0, -40000, 0),
                       solid.AddPoint(-28280, 0, -28280), solid.AddPoint(-28280, 0, 28280)};
    for (const auto& f : {std::array{0, 1, 2}, {2, 3, 4}, {4, 5, 0}, {5, 3, 1}, {2, 4, 0}, {5, 1, 0}, {1, 3, 2},
                          {5, 4, 3}})
        solid.AddTriangle(p[f[0]], p[f[1]], p[f[2]]);
    solid.Update();
    ASSERT_TRUE(Sound(solid));
    CutResult r = Cut(solid, 3, 0, {{{28280, 0}, {0, 40000}, {-28280, 0}, {0, -40000}}});
    ASSERT_EQ(r.code, MCutter::kDone);
    ASSERT_TRUE(r.inside);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_DOUBLE_EQ(r.inside->Volume(), solid.Volume());
    EXPECT_TRUE(!r.outside || r.outside->GetNumberOfTriangles() == 0);
}

// A letter P standing on the grid, 16 units thick: its bowl has a hole.
void BuildLetterP(MStlBase& p) {
    const long xy[13][2] = {{-24, -40}, {-8, -40}, {-8, -8}, {8, -8}, {24, 8}, {24, 24}, {8, 40},
                            {-24, 40},  {-8, 8},   {-8, 24}, {0, 24}, {8, 16},  {0, 8}};
    const int cap[13][3] = {{7, 0, 1},  {7, 1, 2},  {7, 2, 8},   {7, 8, 9},  {7, 9, 10}, {12, 8, 2}, {11, 12, 2},
                            {11, 2, 3}, {11, 3, 4}, {10, 11, 4}, {10, 4, 5}, {7, 10, 5}, {5, 6, 7}};
    MStlPoint *low[13], *high[13];
    for (int i = 0; i < 13; ++i) low[i] = p.AddPoint(int32_t(xy[i][0] * 1000), int32_t(xy[i][1] * 1000), -8000);
    for (int i = 0; i < 13; ++i) high[i] = p.AddPoint(int32_t(xy[i][0] * 1000), int32_t(xy[i][1] * 1000), 8000);
    for (const auto& t : cap) {
        p.AddTriangle(high[t[0]], high[t[1]], high[t[2]]);
        p.AddTriangle(low[t[0]], low[t[2]], low[t[1]]);
    }
    // The outline runs counter-clockwise, the hole clockwise: walls outward.
    for (const auto& [from, count] : {std::pair{0, 8}, std::pair{8, 5}})
        for (int k = 0; k < count; ++k) {
            const int a = from + k, b = from + (k + 1) % count;
            p.AddTriangle(low[a], low[b], high[b]);
            p.AddTriangle(low[a], high[b], high[a]);
        }
    p.Update();
}

// A star reaching past the P, cut down to a depth: splitting a side at the
// depth splits the triangles on both sides of it, also ones that the walk
// had passed already; they kept a side across the depth, and the cap's rim
// did not close.
TEST(ProfileCut, StarToADepthClosesItsCap) {
    MStlBase p;
    BuildLetterP(p);
    ASSERT_TRUE(Sound(p));
    // 21 tips, radii 29.951 and 7.948 about (-9.446, 8.028).
    const Polygon star = {
        {-11011, -21882}, {-8674, 117},     {-2125, -21014},  {-6376, 697},     {6110, -17566},   {-4352, 1927},
        {12963, -11844},  {-2780, 3700},    {17824, -4356},   {-1800, 5857},    {20263, 4232},    {-1500, 8207},
        {20062, 13158},   {-1906, 10541},   {17239, 21628},   {-2981, 12652},   {12045, 28889},   {-4632, 14352},
        {4941, 34297},    {-6710, 15490},   {-3441, 37370},   {-9031, 15965},   {-12357, 37837},  {-11389, 15735},
        {-21014, 35655},  {-13574, 14820},  {-28643, 31018},  {-15393, 13301},  {-34566, 24338},  {-16683, 11314},
        {-38258, 16209},  {-17330, 9035},   {-39389, 7353},   {-17277, 6667},   {-37860, -1443},  {-16528, 4419},
        {-33806, -9397},  {-15149, 2492},   {-27588, -15803}, {-13264, 1057},   {-19757, -20092}, {-11040, 241}};
    for (long depth : {-4281L, -1237L, 2113L}) {
        SCOPED_TRACE(testing::Message() << "to " << depth);
        ExpectSplit(Cut(p, 5, depth, {star}), p);
    }
}

// A pyramid on its side: a square base standing upright at x = -40 and two
// upright faces slanting to the apex.  Cut along its own outline, the walls
// lie in the upright faces.  Where the outline's corners are rounded, the
// arcs end on the grid points of the faces' lines (a wall bent off by a
// fraction of a step would cut the face into slivers); where a second
// contour crosses a slanted face, near a grid point of its line, the face,
// divided where walls leave it each way, is cut into pieces that do not
// overlap, and a profile corner half a step from its lower side leaves that
// side where it is.
TEST(ProfileCut, WallsAlongUprightFacesStayInThem) {
    MStlBase pyramid;
    LyingPyramid(pyramid);
    ASSERT_TRUE(Sound(pyramid));
    const Polygon outline = {{-40000, -20000}, {40000, 0}, {-40000, 20000}};
    const Polygon across = Square(-10000, -15003, -5002, -10000);
    for (long round : {0L, 684L, 1794L}) {
        SCOPED_TRACE(testing::Message() << "rounded " << round);
        ExpectSplit(Cut(pyramid, 3, 0, {outline}, round), pyramid);
    }
    ExpectSplit(Cut(pyramid, 3, 0, {outline, across}), pyramid);
}


// A profile corner on an upright face of a box, one step from the box's
// vertical edge: the walls meeting there pass the edge closer than a step.
// Their crossings of the neighbouring face rounded onto the edge, so that a
// wall's piece lay in the face itself, and the cut came out open.
TEST(ProfileCut, CornerOneStepFromAnUprightEdge) {
    MStlBase box;
    GenerateBox(box, {0, 0, 0}, {20000, 20000, 10000}, 1);
    box.Update();
    const Polygon triangles[] = {
        {{1, 0}, {17673, -12560}, {-14874, 12493}},  {{0, 1}, {15263, 26959}, {-22956, 23515}},
        {{1, 0}, {-21524, -26695}, {19952, 24043}},  {{1, 0}, {10162, -13219}, {-20326, 17089}},
        {{0, 1}, {9274, 27935}, {-18272, 2952}},     {{1, 0}, {3714, 9761}, {-12194, -28272}},
        {{0, 1}, {-16926, -19560}, {10233, -22391}}, {{1, 0}, {17824, -25071}, {11620, 380}},
        {{0, 1}, {11159, -3311}, {9189, -23110}},
    };
    for (const Polygon& t : triangles) {
        SCOPED_TRACE(testing::Message() << "corner (" << t[0].first << ", " << t[0].second << ") to (" << t[1].first
                                        << ", " << t[1].second << ")");
        ExpectSplit(Cut(box, 3, 0, {t}), box);
    }
}

// The pyramid's outline joined with a circle that crosses one of its upright
// faces: the joined profile's corners where the contours cross lie on the
// outline's edge (the grid points on it are four steps apart), so its walls
// stay in the face.  Rounded off the edge they cut the face into slivers.
TEST(ProfileCut, CrossingContoursMeetOnTheUsersLines) {
    MStlBase pyramid;
    LyingPyramid(pyramid);
    const Polygon outline = {{-40000, -20000}, {40000, 0}, {-40000, 20000}};
    for (auto [sides, round] : {std::pair{31, 0L}, {17, 0L}, {31, 3289L}}) {
        SCOPED_TRACE(testing::Message() << sides << " sides, rounded " << round);
        ExpectSplit(Cut(pyramid, 3, 0, {Circle(-26481, 15495, 10935, sides), outline}, round), pyramid);
    }
    // A circle round the tip crosses both upright faces.  Where a slice of a
    // face is crossed by the line of a crossing's corner less than a step
    // from its tip, the tip moves onto the line, as where a wall passes it.
    ExpectSplit(Cut(pyramid, 3, 0, {outline, Circle(26481, -1495, 10935, 17)}), pyramid);
}

// Two boxes passing through each other, and a profile corner inside both:
// the openings of both boxes in the walls meeting there run along the
// corner's line between the inner box's top and bottom, the same way.  The
// parts carry the boxes' overlap, and close.
TEST(ProfileCut, OverlappingShellsShareACornerLine) {
    MStlBase mesh;
    TwoBoxes(mesh, {0, 0, 0}, {10000, 10000, 10000}, {5001, 1001, 2001}, {15001, 9001, 7999});
    const Polygon square = {{7000, 3000}, {20000, 3000}, {20000, 20000}, {7000, 20000}};
    ExpectSplit(Cut(mesh, 3, 0, {square}), mesh);
    const Polygon clockwise = {{7000, 3000}, {7000, -5000}, {-5000, -5000}, {-5000, 3000}};
    ExpectSplit(Cut(mesh, 3, 0, {clockwise}), mesh);
}

namespace {
// A block whose top runs along the line x = 5024 through a strip of slivers
// (the rounded rim of a pocket in a CAD part): the top rises by 490 steps
// from x = 5000 to x = 5024 over |y| <= 5000, and a needle from (5024, y)
// to the corner R = (5096, -5096) lies beyond the line.  The bottom is at
// z = -10000, the sides upright.
void BlockWithSliversAlongALine(MStlBase& mesh, int32_t needleY) {
    const std::array<std::array<int32_t, 3>, 9> top = {{{0, -10000, 0},
                                                        {10000, -12000, 490},
                                                        {10000, 12000, 490},
                                                        {0, 12000, 0},
                                                        {5000, -5000, 0},
                                                        {5000, 5000, 0},
                                                        {5024, -5024, 490},
                                                        {5024, 5024, 490},
                                                        {5096, needleY, 5}}};
    std::array<MStlPoint*, 13> p{};
    for (size_t i = 0; i < top.size(); ++i) p[i] = mesh.AddPoint(top[i][0], top[i][1], top[i][2]);
    for (size_t i = 0; i < 4; ++i) p[9 + i] = mesh.AddPoint(top[i][0], top[i][1], -10000);
    enum { A, B, C, D, P1, P2, Q1, Q2, R, A_, B_, C_, D_ };
    const int faces[][3] = {{A, P1, P2}, {A, P2, D},  {A, B, Q1},  {A, Q1, P1}, {P2, P1, Q1}, {P2, Q1, Q2},
                            {Q1, B, R},  {R, B, C},   {R, C, Q2},  {Q1, R, Q2}, {P2, Q2, C},  {P2, C, D},
                            {A_, C_, B_}, {A_, D_, C_}, {A, A_, B_}, {A, B_, B}, {B, B_, C_}, {B, C_, C},
                            {C, C_, D_}, {C, D_, D},  {D, D_, A_}, {D, A_, A}};
    for (const auto& f : faces) mesh.AddTriangle(p[size_t(f[0])], p[size_t(f[1])], p[size_t(f[2])]);
    mesh.Update();
}
}  // namespace

// A wall along x = 5024 with a corner at (5024, -4881): the corner is 0.34
// steps from the slanted side of the sliver's neighbour and on the sliver's
// far side.  Putting it into the slanted side would stand a piece of the
// sliver upright in the wall; the corner's line meets the sliver's far side
// exactly instead.  A slot two to ten steps wide then crosses the needle's
// neighbour next to it, where the slot's crossing of their common side
// rounds onto the needle's corner: the needle has no area left and goes.
class WallAlongARim : public testing::TestWithParam<int32_t> {};

TEST_P(WallAlongARim, SliversAndNeedlesClose) {
    MStlBase block;
    BlockWithSliversAlongALine(block, GetParam());
    ASSERT_TRUE(Sound(block));
    const Polygon wall = {{-20000, -30500}, {5024, -30500}, {5024, -4881}, {5024, -2319}, {5024, 242},
                          {5024, 2804},     {5024, 30000},  {-20000, 30000}};
    ExpectSplit(Cut(block, 3, 0, {wall}), block);
    for (long width : {2, 3, 5, 10}) {
        SCOPED_TRACE(testing::Message() << "slot " << width << " steps wide");
        ExpectSplit(Cut(block, 3, 0, {wall, Square(-8692, 1968, 26542, 1968 + width)}), block);
    }
}

INSTANTIATE_TEST_SUITE_P(ProfileCut, WallAlongARim, testing::Values(-5096, 5096));

// A box whose upright edge at (10000, 10000) leans a step: its top is at
// (10000 - dx, 10000 - dy).  A profile corner on the edge's foot puts walls
// through the box that pass the top within a step; the top moves onto the
// corner's line, and the parts close.
TEST(ProfileCut, CornerOnTheFootOfAnEdgeLeaningAStep) {
    for (auto [dx, dy] : {std::pair{0, 1}, {1, 0}, {1, 1}}) {
        MStlBase box;
        GenerateBox(box, {0, 0, 0}, {10000, 10000, 10000}, 1);
        for (auto it = box.BeginPoint(); it != box.EndPoint(); ++it)
            if (it->GetX() == 10000 && it->GetY() == 10000 && it->GetZ() == 10000) {
                box.MovePoint(*it, 10000 - dx, 10000 - dy, 10000);
                break;
            }
        box.Update();
        ASSERT_TRUE(Sound(box));
        SCOPED_TRACE(testing::Message() << "top leaning by (" << dx << ", " << dy << ")");
        // Walls along the top's diagonal and along an upright face.
        for (const Polygon& profile : {Polygon{{10000, 10000}, {0, 0}, {10000, 0}}, Polygon{{10000, 10000}, {10000, 0}, {0, 0}},
                                       Polygon{{10000, 10000}, {0, 10000}, {0, 0}}, Polygon{{10000, 10000}, {0, 0}, {0, 10000}}}) {
            SCOPED_TRACE(testing::Message() << "second corner (" << profile[1].first << ", " << profile[1].second << ")");
            ExpectSplit(Cut(box, 3, 0, {profile}), box);
        }
    }
}

// A slot nine steps wide crosses an upright face of a box at a slant, and a
// profile corner stands on the face's line beside it: the face is divided
// at the corner's line and by the slot's walls, whose crossings round to a
// fraction of a step off the walls.  The pieces between the walls belong
// inside; told by those rounded corners they came out on either side.
TEST(ProfileCut, SlantedSlotAcrossAnUprightFaceBesideACorner) {
    MStlBase box;
    GenerateBox(box, {-40000, -20000, 0}, {0, 20000, 40000}, 1);
    box.Update();
    const Polygon slot = {{-47176, -42819}, {-23796, 27488}, {-23804, 27491}, {-47184, -42816}};
    const Polygon tooth = {{-37817, -20000}, {-38500, -21000}, {-37000, -21000}};
    ExpectSplit(Cut(box, 3, 0, {slot, tooth}), box);
}
