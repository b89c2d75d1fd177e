// Boolean module: cuts into inside and outside parts, AU booleans, unify,
// double-triangle removal and subtraction from non-manifold models.
#include <gtest/gtest.h>

#include <CGAL/Exact_predicates_exact_constructions_kernel.h>
#include <CGAL/Polygon_mesh_processing/corefinement.h>
#include <CGAL/Polygon_mesh_processing/measure.h>

#include <memory>
#include <random>

#include "TestMeshes.h"
#include "host/MBoolean.h"
#include "host/MCgalMesh.h"

namespace {

using namespace QelSDK::Triangles::Boolean;
using EK = CGAL::Exact_predicates_exact_constructions_kernel;
using EMesh = CGAL::Surface_mesh<EK::Point_3>;


// The triangles of one feature as a mesh of their own.
std::unique_ptr<MStlBase> FeatureMesh(const MStlBase& mesh, const MStlFeature* feature) {
    auto out = std::make_unique<MStlBase>();
    MStlSurface* s = out->AddSurface(nullptr);
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        if (!it->GetSurface() || it->GetSurface()->GetFeature() != feature) continue;
        MStlPoint* p[3];
        for (int k = 0; k < 3; ++k) p[k] = out->AddPoint(it->GetPoint(k));
        out->AddTriangle(p, s);
    }
    out->Update();
    return out;
}

struct CutResult {
    EReturnCode rc = eSuccess;
    std::unique_ptr<MStlBase> inside, outside;
    uint64_t discarded = 0, kept = 0;
};

// Cuts a copy of `mesh` by `cutter` and removes the discarded triangles.
CutResult Cut(const MStlBase& mesh, MStlBase& cutter, QelSDK::Common::ProgressPtr progress = nullptr) {
    MStlBase work;
    work.Copy(mesh);
    MStlFeature* in = work.AddFeature(L"Insides");
    MStlFeature* out = work.AddFeature(L"Outsides");
    MrtGroupManager groups;
    MrtOperatorCut cut;
    cut.SetGroupManager(&groups);
    MrtOperatorCut::MrtOperatorCutParams params;
    params.mesh = &work;
    params.cutter = &cutter;
    params.inside = in;
    params.outside = out;
    cut.SetParams(params);
    CutResult r;
    r.rc = cut.Operate(progress);
    if (r.rc != eSuccess) {
        EXPECT_EQ(work.GetNumberOfTriangles(), mesh.GetNumberOfTriangles());
        return r;
    }
    std::vector<MStlTriangle*> drop;
    for (auto it = work.BeginTriangle(); it != work.EndTriangle(); ++it) {
        const int g = MTriangleGroupManager::GetGroup(groups, *it);
        if (g == 2) drop.push_back(*it);
        if (g == 0) ++r.kept;
    }
    r.discarded = drop.size();
    for (MStlTriangle* t : drop) work.RemoveTriangle(t);
    r.inside = FeatureMesh(work, in);
    r.outside = FeatureMesh(work, out);
    return r;
}

double ExactIntersectionVolume(const MStlBase& a, const MStlBase& b) {
    EMesh ma = QelSDK::Cgal::ToSurfaceMesh<EK::Point_3>(a), mb = QelSDK::Cgal::ToSurfaceMesh<EK::Point_3>(b), out;
    EXPECT_TRUE(CGAL::Polygon_mesh_processing::corefine_and_compute_intersection(ma, mb, out));
    return CGAL::to_double(CGAL::Polygon_mesh_processing::volume(out));
}

// Volume change allowed by rounding: each triangle not on the input's grid
// points may move its corners by half a diagonal.
double RoundingBound(const MStlBase& part, const MStlBase& input) {
    double bound = 0.0;
    for (auto it = part.BeginTriangle(); it != part.EndTriangle(); ++it) {
        int moved = 0;
        for (int i = 0; i < 3; ++i) {
            const MStlPoint* p = it->GetPoint(i);
            moved += input.GetPoint(p->GetX(), p->GetY(), p->GetZ()) == nullptr;
        }
        bound += moved * it->Area() * std::sqrt(3.0) / 6.0;
    }
    return bound + 1.0;
}

void ExpectCutSound(const MStlBase& mesh, MStlBase& cutter, const char* what) {
    SCOPED_TRACE(what);
    CutResult r = Cut(mesh, cutter);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_TRUE(Sound(*r.outside));
    const double bound = RoundingBound(*r.inside, mesh) + RoundingBound(*r.outside, mesh);
    EXPECT_NEAR(r.inside->Volume() + r.outside->Volume(), mesh.Volume(), bound);
    EXPECT_NEAR(r.inside->Volume(), ExactIntersectionVolume(mesh, cutter), RoundingBound(*r.inside, mesh));
    EXPECT_GT(r.kept, 0u);
    EXPECT_GT(r.discarded, 0u);
}

MStlBase& Box(MStlBase& m, MMVector3l lo, MMVector3l hi, int n = 1) {
    GenerateBox(m, lo, hi, n);
    m.Update();
    return m;
}

// A flat two-triangle quad in the plane z = h, facing +z.
void Quad(MStlBase& m, int32_t lo, int32_t hi, int32_t h, bool down = false) {
    MStlSurface* s = m.AddSurface(nullptr);
    MStlPoint* a = m.AddPoint(lo, lo, h);
    MStlPoint* b = m.AddPoint(hi, lo, h);
    MStlPoint* c = m.AddPoint(hi, hi, h);
    MStlPoint* d = m.AddPoint(lo, hi, h);
    m.AddTriangle(a, b, c, s);
    m.AddTriangle(a, c, d, s);
    if (down) m.Invert();
    m.Update();
}

}  // namespace

TEST(BooleanCut, ClosedCuttersGiveTwoSoundParts) {
    MStlBase box, cutterBox, sphere, cutterSphere;
    Box(box, {0, 0, 0}, {10000, 10000, 10000}, 3);
    Box(cutterBox, {5000, 5000, 5000}, {15000, 15000, 15000}, 2);
    ExpectCutSound(box, cutterBox, "box by box");

    // Off the grid and off the axes so that the cut points need rounding.
    GenerateSphere(sphere, 40000, 4000, {101.3, -57.7, 33.1});
    sphere.Update();
    MStlBase crossingBox, bigBox;
    Box(crossingBox, {20000, -10000, -10000}, {60000, 10000, 10000}, 2);
    ExpectCutSound(sphere, crossingBox, "sphere by box");
    Box(bigBox, {0, 0, 0}, {60000, 60000, 60000}, 3);
    ExpectCutSound(bigBox, sphere, "box by sphere");
    GenerateSphere(cutterSphere, 30000, 3000, {25000.4, 1234.5, -777.7});
    cutterSphere.Update();
    ExpectCutSound(sphere, cutterSphere, "sphere by sphere");
}

TEST(BooleanCut, ExactCountsOnAxisAlignedBoxes) {
    MStlBase box, cutter;
    Box(box, {0, 0, 0}, {1000, 1000, 1000});
    Box(cutter, {500, -100, -100}, {2000, 1100, 1100});
    CutResult r = Cut(box, cutter);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_DOUBLE_EQ(r.inside->Volume(), 500.0 * 1000 * 1000);
    EXPECT_DOUBLE_EQ(r.outside->Volume(), 500.0 * 1000 * 1000);
    // The x = 1000 face lies wholly inside, the x = 0 face wholly outside:
    // both are kept as they were.
    EXPECT_EQ(r.kept, 4u);
    EXPECT_EQ(r.discarded, 8u);
    // Four corners each side, four points where the cut crosses the box
    // faces' edges and four where it crosses their diagonals.
    EXPECT_EQ(r.inside->GetNumberOfPoints(), 12u);
    EXPECT_EQ(r.outside->GetNumberOfPoints(), 12u);
}

TEST(BooleanCut, FlatQuadSplitsABox) {
    MStlBase box, quad, down;
    Box(box, {0, 0, 0}, {1000, 1000, 1000});
    Quad(quad, -500, 1500, 300);
    CutResult r = Cut(box, quad);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_TRUE(Sound(*r.outside));
    // Inside: below the quad, which faces up.
    EXPECT_DOUBLE_EQ(r.inside->Volume(), 300.0 * 1000 * 1000);
    EXPECT_DOUBLE_EQ(r.outside->Volume(), 700.0 * 1000 * 1000);
    EXPECT_EQ(r.inside->GetZMax(), 300);
    EXPECT_EQ(r.outside->GetZMin(), 300);
    EXPECT_EQ(r.kept, 4u);  // bottom and top faces
    EXPECT_EQ(r.inside->GetNumberOfPoints(), 12u);
    // Turned over, the sides swap.
    Quad(down, -500, 1500, 300, true);
    CutResult d = Cut(box, down);
    ASSERT_EQ(d.rc, eSuccess);
    EXPECT_DOUBLE_EQ(d.inside->Volume(), 700.0 * 1000 * 1000);
    EXPECT_TRUE(Sound(*d.inside));
    EXPECT_TRUE(Sound(*d.outside));
}

TEST(BooleanCut, MissingTouchingAndCoplanarCutters) {
    MStlBase box, far, touching, coplanar, inner;
    Box(box, {0, 0, 0}, {1000, 1000, 1000});
    Box(far, {5000, 5000, 5000}, {6000, 6000, 6000});
    CutResult r = Cut(box, far);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_EQ(r.inside->GetNumberOfTriangles(), 0u);
    EXPECT_EQ(r.outside->GetNumberOfTriangles(), 12u);
    EXPECT_EQ(r.discarded, 0u);
    EXPECT_EQ(r.kept, 12u);

    // Sharing the face x = 1000 from outside: nothing inside.
    Box(touching, {1000, 0, 0}, {2000, 1000, 1000});
    r = Cut(box, touching);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_DOUBLE_EQ(r.outside->Volume(), 1e9);
    EXPECT_DOUBLE_EQ(r.inside->Volume(), 0.0);

    // Sharing three faces from inside.
    Box(coplanar, {0, 0, 0}, {1000, 1000, 400});
    r = Cut(box, coplanar);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_DOUBLE_EQ(r.inside->Volume(), 4e8);
    EXPECT_DOUBLE_EQ(r.outside->Volume(), 6e8);

    // The cutter inside the mesh: the outside part has a cavity.
    Box(inner, {200, 200, 200}, {800, 800, 800});
    r = Cut(box, inner);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_DOUBLE_EQ(r.inside->Volume(), 600.0 * 600 * 600);
    EXPECT_DOUBLE_EQ(r.outside->Volume(), 1e9 - 600.0 * 600 * 600);
    EXPECT_EQ(r.kept, 12u);
}

TEST(BooleanCut, BadInputAndCancellation) {
    MStlBase box, empty, cutter, open, inverted;
    Box(box, {0, 0, 0}, {1000, 1000, 1000});
    Box(cutter, {500, 500, 500}, {1500, 1500, 1500});
    EXPECT_EQ(Cut(empty, cutter).rc, eEmptyMesh);
    EXPECT_EQ(Cut(box, empty).rc, eEmptyMesh);
    // A box without its top is open and not flat.
    open.Copy(cutter);
    open.RemoveTriangle(*open.BeginTriangle());
    EXPECT_EQ(Cut(box, open).rc, eNotClosed);
    EXPECT_EQ(Cut(open, cutter).rc, eNotClosed);
    inverted.Copy(cutter);
    inverted.Invert();
    EXPECT_EQ(Cut(box, inverted).rc, eNotClosed);

    MrtOperatorCut none;
    EXPECT_EQ(none.Operate(), eInvalidInput);

    // Two overlapping boxes in one mesh intersect themselves.
    MStlBase twice;
    Box(twice, {0, 0, 0}, {1000, 1000, 1000});
    Box(twice, {500, 500, 500}, {1500, 1500, 1500});
    MStlBase crossing;
    Box(crossing, {-100, 700, 700}, {2000, 800, 800});
    EXPECT_EQ(Cut(twice, crossing).rc, eSelfIntersecting);

    for (int allowed : {0, 1, 2}) {
        auto cancel = std::make_shared<CancelAfter>(allowed);
        EXPECT_EQ(Cut(box, cutter, cancel).rc, eCancelled) << allowed;  // Cut checks the mesh is unchanged
    }
    EXPECT_EQ(Cut(box, cutter, std::make_shared<CancelAfter>(1000)).rc, eSuccess);
}

TEST(BooleanCut, WithoutGroupManagerTheReplacedTrianglesGo) {
    MStlBase box, cutter;
    Box(box, {0, 0, 0}, {1000, 1000, 1000});
    Box(cutter, {500, 500, 500}, {1500, 1500, 1500});
    MrtOperatorCut cut;
    MrtOperatorCut::MrtOperatorCutParams params;
    params.mesh = &box;
    params.cutter = &cutter;
    cut.SetParams(params);
    ASSERT_EQ(cut.Operate(), eSuccess);
    // Both parts in the main feature: two solids sharing the cut faces.
    const MeshReport r = CheckMesh(box);
    EXPECT_EQ(r.boundaryEdges, 0u);
    EXPECT_DOUBLE_EQ(box.Volume(), 1e9);
}

TEST(BooleanCut, RoundingThatBreaksTheResultIsRefused) {
    // A thin sliver box crossed at a shallow angle: the cut points crowd
    // within one grid step.  Whatever rounding does must either give sound
    // parts or be refused with the mesh unchanged.
    MStlBase slab, wedge;
    Box(slab, {0, 0, 0}, {1000, 1000, 2});
    MStlSurface* s = wedge.AddSurface(nullptr);
    MStlPoint* p[4] = {wedge.AddPoint(-100, -100, -3), wedge.AddPoint(1100, -100, 4), wedge.AddPoint(500, 1100, 1),
                       wedge.AddPoint(500, 500, 9)};
    wedge.AddTriangle(p[0], p[2], p[1], s);
    wedge.AddTriangle(p[0], p[1], p[3], s);
    wedge.AddTriangle(p[1], p[2], p[3], s);
    wedge.AddTriangle(p[2], p[0], p[3], s);
    wedge.Update();
    ASSERT_GT(wedge.Volume(), 0);
    CutResult r = Cut(slab, wedge);
    if (r.rc == eSuccess) {
        EXPECT_TRUE(Sound(*r.inside));
        EXPECT_TRUE(Sound(*r.outside));
    } else {
        EXPECT_EQ(r.rc, eRoundingBrokeResult);
    }
}

TEST(BooleanCut, RoundingFoldsAreRepaired) {
    // Square columns through fine spheres, smooth and rough: the cut points
    // land within a grid step of the sphere's own points in many places, so
    // rounding them folds slivers over their neighbours unless repaired.
    std::mt19937 random(7);
    for (int rough = 0; rough < 2; ++rough) {
        MStlBase sphere;
        if (rough) GenerateRoughSphere(sphere, 50000.0, 8000, 3, random);
        else GenerateSphere(sphere, 50000.0, 5000);
        sphere.Update();
        for (const int32_t half : {10000, 12345, 31000}) {
            MStlBase column;
            Box(column, {-half, -half, -100000}, {half, half, 100000});
            ExpectCutSound(sphere, column, rough ? "rough sphere" : "sphere");
        }
    }
}

TEST(BooleanCut, LocalCutsKeepFarFacesAndPlaceEveryPiece) {
    MStlBase sphere;
    GenerateSphere(sphere, 100000, 5000, {13.7, -8.1, 5.3});
    sphere.Update();
    const uint64_t all = sphere.GetNumberOfTriangles();

    // A small cutter at one side: only faces near it are rebuilt, the far
    // side keeps every triangle as it was.
    MStlBase nub;
    GenerateSphere(nub, 12000, 2000, {98000.3, 3000.7, -777.7});
    nub.Update();
    ExpectCutSound(sphere, nub, "small sphere at one side");
    CutResult r = Cut(sphere, nub);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_GT(r.kept, all * 9 / 10);
    EXPECT_LT(r.discarded, all / 20);
    EXPECT_EQ(r.kept + r.discarded, all);

    // Three separate boxes in one cutter: three inside pieces, one outside
    // piece with three notches.
    MStlBase teeth;
    for (int i = -1; i <= 1; ++i)
        GenerateBox(teeth, {30000 * i - 5000, -5000, 80000}, {30000 * i + 5000, 5000, 130000}, 2);
    teeth.Update();
    ExpectCutSound(sphere, teeth, "three teeth");
    r = Cut(sphere, teeth);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_EQ(CheckMesh(*r.inside).shells, 3u);
    EXPECT_EQ(CheckMesh(*r.outside).shells, 1u);

    // The mesh wholly inside the cutter: everything inside, nothing cut.
    MStlBase around;
    GenerateBox(around, {-200000, -200000, -200000}, {200000, 200000, 200000}, 1);
    around.Update();
    r = Cut(sphere, around);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_EQ(r.inside->GetNumberOfTriangles(), all);
    EXPECT_EQ(r.outside->GetNumberOfTriangles(), 0u);
    EXPECT_EQ(r.kept, all);
    EXPECT_EQ(r.discarded, 0u);

    // A cutter identical to the mesh: every face lies on the cutter, facing
    // the same way, so all of the mesh is inside.
    MStlBase small, same;
    GenerateSphere(small, 10000, 500, {13.7, -8.1, 5.3});
    small.Update();
    same.Copy(small);
    r = Cut(small, same);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_EQ(r.inside->GetNumberOfTriangles(), small.GetNumberOfTriangles());
    EXPECT_EQ(r.outside->GetNumberOfTriangles(), 0u);
    EXPECT_DOUBLE_EQ(r.inside->Volume(), small.Volume());

    // A tetrahedron resting with one corner on a box's face: nothing inside.
    MStlBase cube, poke;
    GenerateBox(cube, {0, 0, 0}, {1000, 1000, 1000}, 2);
    cube.Update();
    MStlSurface* s = poke.AddSurface(nullptr);
    // A tetrahedron whose lowest corner rests on the cube's top face.
    MStlPoint* p[4] = {poke.AddPoint(400, 300, 1000), poke.AddPoint(900, 300, 1500), poke.AddPoint(200, 800, 1500),
                       poke.AddPoint(300, 100, 1500)};
    poke.AddTriangle(p[0], p[1], p[2], s);
    poke.AddTriangle(p[0], p[3], p[1], s);
    poke.AddTriangle(p[0], p[2], p[3], s);
    poke.AddTriangle(p[1], p[3], p[2], s);
    if (poke.Volume() < 0) poke.Invert();
    poke.Update();
    r = Cut(cube, poke);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_EQ(r.inside->GetNumberOfTriangles(), 0u);
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_DOUBLE_EQ(r.outside->Volume(), 1e9);
}

// An eight-sided pyramid: apex, an octagon base around a centre point.
void Pyramid(MStlBase& m, int32_t radius, int32_t height) {
    MStlSurface* s = m.AddSurface(nullptr);
    MStlPoint* apex = m.AddPoint(0, 0, height);
    MStlPoint* centre = m.AddPoint(0, 0, 0);
    MStlPoint* ring[8];
    for (int i = 0; i < 8; ++i) {
        const double a = i * M_PI / 4;
        ring[i] = m.AddPoint(int32_t(std::lround(radius * std::cos(a))), int32_t(std::lround(radius * std::sin(a))), 0);
    }
    for (int i = 0; i < 8; ++i) {
        m.AddTriangle(ring[i], ring[(i + 1) % 8], apex, s);
        m.AddTriangle(ring[(i + 1) % 8], ring[i], centre, s);
    }
    m.Update();
}

TEST(BooleanCut, PinchedAndNonManifoldPatchPoints) {
    // Two bars cross opposite side faces of a pyramid away from everything
    // else: the faces near them meet only at the apex, which the exact
    // corefinement cannot take as a pinched point; the apex's whole fan is
    // corefined instead.
    MStlBase pyramid, bars;
    Pyramid(pyramid, 10000, 10000);
    ASSERT_GT(pyramid.Volume(), 0);
    GenerateBox(bars, {7500, 200, 200}, {12000, 1000, 1000}, 1);
    GenerateBox(bars, {-12000, -1000, 200}, {-7500, -200, 1000}, 1);
    bars.Update();
    ExpectCutSound(pyramid, bars, "bars through two sides");
    CutResult r = Cut(pyramid, bars);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_EQ(CheckMesh(*r.inside).shells, 2u);

    // Two cubes sharing one corner point make a mesh that is not a
    // manifold there; a cutter through that point is refused, one away
    // from it cuts soundly.
    MStlBase pair, through, aside;
    GenerateBox(pair, {0, 0, 0}, {1000, 1000, 1000}, 1);
    GenerateBox(pair, {1000, 1000, 1000}, {2000, 2000, 2000}, 1);
    pair.Update();
    ASSERT_EQ(pair.GetNumberOfPoints(), 15u);
    GenerateBox(through, {900, 900, 900}, {1100, 1100, 1100}, 1);
    through.Update();
    EXPECT_EQ(Cut(pair, through).rc, eNotClosed);
    GenerateBox(aside, {100, 100, -100}, {300, 300, 300}, 1);
    aside.Update();
    r = Cut(pair, aside);
    ASSERT_EQ(r.rc, eSuccess);
    EXPECT_TRUE(Sound(*r.inside));
    EXPECT_TRUE(Sound(*r.outside));
    EXPECT_DOUBLE_EQ(r.inside->Volume(), 200.0 * 200 * 300);
    EXPECT_DOUBLE_EQ(r.outside->Volume(), 2e9 - 200.0 * 200 * 300);
}

TEST(BooleanAU, UniteIntersectSubtractVolumes) {
    MStlBase a, b, uni, inter, diff, diffBA;
    Box(a, {0, 0, 0}, {1000, 1000, 1000});
    GenerateSphere(b, 700, 2000, {1000.3, 500.2, 499.9});
    b.Update();
    const AU::BooleanParameters prm;
    ASSERT_EQ(AU::BooleanUnite({&a, &b}, uni, prm, nullptr), eSuccess);
    ASSERT_EQ(AU::BooleanIntersect({&a, &b}, inter, prm, nullptr), eSuccess);
    ASSERT_EQ(AU::BooleanSubtract({&a}, {&b}, diff, prm, nullptr), eSuccess);
    ASSERT_EQ(AU::BooleanSubtract({&b}, {&a}, diffBA, prm, nullptr), eSuccess);
    for (const MStlBase* m : {&uni, &inter, &diff, &diffBA}) EXPECT_TRUE(Sound(*m));
    const double bound = RoundingBound(inter, a) + RoundingBound(diff, a) + RoundingBound(uni, a);
    EXPECT_NEAR(uni.Volume() + inter.Volume(), a.Volume() + b.Volume(), bound);
    EXPECT_NEAR(inter.Volume() + diff.Volume(), a.Volume(), bound);
    EXPECT_NEAR(inter.Volume() + diffBA.Volume(), b.Volume(), bound);
    EXPECT_NEAR(inter.Volume(), ExactIntersectionVolume(a, b), RoundingBound(inter, a));

    // The result may be an input: B = B ∪ A.
    MStlBase same;
    same.Copy(b);
    ASSERT_EQ(AU::BooleanUnite({&same, &a}, same, prm, nullptr), eSuccess);
    EXPECT_TRUE(Sound(same));
    EXPECT_NEAR(same.Volume(), uni.Volume(), bound);

    // Bad input and cancellation leave the result untouched.
    MStlBase empty, keep;
    keep.Copy(a);
    EXPECT_EQ(AU::BooleanUnite({&a, nullptr}, keep, prm, nullptr), eInvalidInput);
    EXPECT_EQ(AU::BooleanUnite({}, keep, prm, nullptr), eInvalidInput);
    EXPECT_EQ(AU::BooleanIntersect({&a, &empty}, keep, prm, nullptr), eEmptyMesh);
    EXPECT_EQ(AU::BooleanSubtract({&a}, {&b}, keep, prm, std::make_shared<CancelAfter>(0)), eCancelled);
    EXPECT_EQ(keep.GetNumberOfTriangles(), 12u);
    ASSERT_EQ(AU::BooleanSubtract({&a}, {}, keep, prm, nullptr), eSuccess);
    EXPECT_DOUBLE_EQ(keep.Volume(), 1e9);
}

TEST(BooleanAU, TrimUnifyAndDoubles) {
    const AU::BooleanParameters prm;
    MStlBase a, b;
    Box(a, {0, 0, 0}, {1000, 1000, 1000});
    Box(b, {500, -100, -100}, {1500, 1100, 1100});
    MStlBase closedIn, closedOut, openIn, openOut;
    for (MStlBase* m : {&closedIn, &closedOut, &openIn, &openOut}) m->Copy(a);
    ASSERT_EQ(AU::BooleanTrimNoGraphs(closedIn, b, true, true, false, false, prm, nullptr), eSuccess);
    ASSERT_EQ(AU::BooleanTrimNoGraphs(closedOut, b, false, true, false, false, prm, nullptr), eSuccess);
    EXPECT_TRUE(Sound(closedIn));
    EXPECT_TRUE(Sound(closedOut));
    EXPECT_DOUBLE_EQ(closedIn.Volume(), 5e8);
    EXPECT_DOUBLE_EQ(closedOut.Volume(), 5e8);
    ASSERT_EQ(AU::BooleanTrimNoGraphs(openIn, b, true, false, false, false, prm, nullptr), eSuccess);
    ASSERT_EQ(AU::BooleanTrimNoGraphs(openOut, b, false, false, false, false, prm, nullptr), eSuccess);
    // Five faces' halves plus the whole x = 1000 face on each side.
    EXPECT_NEAR(openIn.Area(), 1e6 + 4 * 5e5, 1e-6);
    EXPECT_NEAR(openOut.Area(), 1e6 + 4 * 5e5, 1e-6);
    // The cut runs through the side faces' diagonals: two edges per face.
    EXPECT_EQ(CheckMesh(openIn).boundaryEdges, 8u);
    EXPECT_EQ(AU::BooleanTrimNoGraphs(openIn, b, true, false, true, false, prm, nullptr), eInvalidInput);

    // Two overlapping boxes in one mesh: unify gives their union.
    MStlBase twice;
    Box(twice, {0, 0, 0}, {1000, 1000, 1000});
    Box(twice, {500, 500, 500}, {1500, 1500, 1500});
    ASSERT_EQ(AU::BooleanUnify(twice, 0, prm, nullptr), eSuccess);
    EXPECT_TRUE(Sound(twice));
    EXPECT_EQ(CheckMesh(twice).shells, 1u);
    EXPECT_DOUBLE_EQ(twice.Volume(), 2e9 - 1.25e8);
    // Nothing to resolve: unchanged.
    MStlBase single;
    Box(single, {0, 0, 0}, {1000, 1000, 1000}, 2);
    ASSERT_EQ(AU::BooleanUnify(single, 0, prm, nullptr), eSuccess);
    EXPECT_EQ(single.GetNumberOfTriangles(), 48u);

    // Doubles: a repeated triangle goes, an opposite pair goes entirely.
    MStlBase doubles;
    Box(doubles, {0, 0, 0}, {1000, 1000, 1000});
    MStlTriangle* t = *doubles.BeginTriangle();
    doubles.AddTriangle(t->GetPoint(1), t->GetPoint(2), t->GetPoint(0), t->GetSurface());
    doubles.AddTriangle(t->GetPoint(0), t->GetPoint(1), t->GetPoint(2), t->GetSurface());
    MStlPoint* q[3] = {doubles.AddPoint(5000, 0, 0), doubles.AddPoint(6000, 0, 0), doubles.AddPoint(5000, 1000, 0)};
    doubles.AddTriangle(q[0], q[1], q[2]);
    doubles.AddTriangle(q[0], q[2], q[1]);
    ASSERT_EQ(doubles.GetNumberOfTriangles(), 16u);
    AU::RemoveDoubleTrianglesAndUpdateStl(doubles);
    EXPECT_EQ(doubles.GetNumberOfTriangles(), 12u);
    EXPECT_EQ(doubles.GetNumberOfPoints(), 8u);
    EXPECT_TRUE(Sound(doubles));

    // CopyShell copies one shell.
    MStlBase two, copy;
    Box(two, {0, 0, 0}, {10, 10, 10});
    Box(two, {100, 0, 0}, {110, 10, 10});
    const MStlShellManager shells(two);
    ASSERT_EQ(shells.GetNumberShells(), 2u);
    AU::CopyShell(copy, shells.GetShell(1));
    EXPECT_EQ(copy.GetNumberOfTriangles(), 12u);
    EXPECT_TRUE(Sound(copy));
}

TEST(BooleanSubtractFromNonManifold, OpenSurface) {
    MStlBase box, open, tool, far;
    Box(box, {0, 0, 0}, {1000, 1000, 1000});
    EXPECT_TRUE(MStlOperatorBooleanSubtractFromNonManifold::IsManifold(box));
    Quad(open, 0, 1000, 500);
    EXPECT_FALSE(MStlOperatorBooleanSubtractFromNonManifold::IsManifold(open));
    Box(tool, {500, -100, -100}, {1500, 1100, 1100});

    MStlBase inside, outside;
    inside.Copy(open);
    outside.Copy(open);
    MStlOperatorBooleanSubtractFromNonManifold sub;
    sub.SetNonManifoldModel(&inside);
    sub.SetSubtractedModel(&tool);
    ASSERT_EQ(sub.Operate(), 0);
    EXPECT_NEAR(inside.Area(), 5e5, 1e-6);
    EXPECT_LE(inside.GetXMax(), 500);
    sub.SetNonManifoldModel(&outside);
    sub.SetSubtractOutside(true);
    ASSERT_EQ(sub.Operate(), 0);
    EXPECT_NEAR(outside.Area(), 5e5, 1e-6);
    EXPECT_GE(outside.GetXMin(), 500);

    // A subtracted model away from the surface removes nothing (or, for the
    // outside, everything).
    Box(far, {5000, 5000, 5000}, {6000, 6000, 6000});
    MStlBase whole;
    whole.Copy(open);
    MStlOperatorBooleanSubtractFromNonManifold away;
    away.SetNonManifoldModel(&whole);
    away.SetSubtractedModel(&far);
    ASSERT_EQ(away.Operate(), 0);
    EXPECT_EQ(whole.GetNumberOfTriangles(), 2u);
    away.SetSubtractOutside(true);
    ASSERT_EQ(away.Operate(), 0);
    EXPECT_EQ(whole.GetNumberOfTriangles(), 0u);

    MStlOperatorBooleanSubtractFromNonManifold bad;
    EXPECT_NE(bad.Operate(), 0);
    bad.SetNonManifoldModel(&open);
    bad.SetSubtractedModel(&open);
    EXPECT_NE(bad.Operate(), 0);
    MStlBase other;
    other.Copy(open);
    bad.SetNonManifoldModel(&other);
    EXPECT_NE(bad.Operate(), 0) << "the subtracted model is open";
}

namespace {

struct Booleans {
    MStlBase unite, intersect, subtract;
};

// a ∪ b, a ∩ b and a − b, each required to succeed.
std::unique_ptr<Booleans> AllOf(const MStlBase& a, const MStlBase& b) {
    const AU::BooleanParameters prm;
    auto out = std::make_unique<Booleans>();
    Booleans& r = *out;
    EXPECT_EQ(AU::BooleanUnite({&a, &b}, r.unite, prm, nullptr), eSuccess);
    EXPECT_EQ(AU::BooleanIntersect({&a, &b}, r.intersect, prm, nullptr), eSuccess);
    EXPECT_EQ(AU::BooleanSubtract({&a}, {&b}, r.subtract, prm, nullptr), eSuccess);
    return out;
}

// A box of side 10000 at the origin with a cubic cavity from 2000 to 8000.
void BoxWithCavity(MStlBase& m) {
    GenerateBox(m, {0, 0, 0}, {10000, 10000, 10000}, 4);
    MStlBase cavity;
    GenerateBox(cavity, {2000, 2000, 2000}, {8000, 8000, 8000}, 3);
    cavity.Invert();
    m.AddStl(cavity, false);
    m.Update();
}

void ExpectSolid(const MStlBase& m, double volume, uint64_t shells) {
    EXPECT_TRUE(Sound(m));
    EXPECT_DOUBLE_EQ(m.Volume(), volume);
    EXPECT_EQ(CheckMesh(m).shells, shells);
}

}  // namespace

TEST(BooleanAU, FarFacesArePlacedInsideAndOutside) {
    MStlBase holed;
    BoxWithCavity(holed);
    const double cavity = 6000.0 * 6000 * 6000;
    {
        SCOPED_TRACE("cavity outside the other mesh");
        MStlBase side;
        Box(side, {9000, -1000, -1000}, {12000, 11000, 11000}, 2);
        const auto r = AllOf(holed, side);
        ExpectSolid(r->intersect, 1000.0 * 1e8, 1);
        ExpectSolid(r->subtract, 9000.0 * 1e8 - cavity, 2);
        ExpectSolid(r->unite, 1e12 + side.Volume() - 1000.0 * 1e8 - cavity, 2);
    }
    {
        SCOPED_TRACE("cavity inside the other mesh");
        MStlBase big;
        Box(big, {1000, -1000, -1000}, {20000, 11000, 11000}, 2);
        const auto r = AllOf(holed, big);
        ExpectSolid(r->intersect, 9000.0 * 1e8 - cavity, 2);
        ExpectSolid(r->subtract, 1000.0 * 1e8, 1);
        ExpectSolid(r->unite, big.Volume() + 1000.0 * 1e8, 1);
    }
    {
        SCOPED_TRACE("a box inside the cavity, touching nothing");
        MStlBase inner;
        Box(inner, {3000, 3000, 3000}, {4000, 4000, 4000}, 1);
        const auto r = AllOf(holed, inner);
        EXPECT_EQ(r->intersect.GetNumberOfTriangles(), 0u);
        ExpectSolid(r->subtract, holed.Volume(), 2);
        EXPECT_EQ(r->subtract.GetNumberOfTriangles(), holed.GetNumberOfTriangles());
        ExpectSolid(r->unite, holed.Volume() + 1e9, 3);
    }
    {
        SCOPED_TRACE("a box inside the solid part, touching nothing");
        MStlBase inner;
        Box(inner, {500, 500, 500}, {1500, 1500, 1500}, 1);
        const auto r = AllOf(holed, inner);
        ExpectSolid(r->intersect, 1e9, 1);
        EXPECT_EQ(r->intersect.GetNumberOfTriangles(), 12u);
        ExpectSolid(r->subtract, holed.Volume() - 1e9, 3);
        ExpectSolid(r->unite, holed.Volume(), 2);
        EXPECT_EQ(r->unite.GetNumberOfTriangles(), holed.GetNumberOfTriangles());
    }
}

TEST(BooleanAU, DisjointOperands) {
    MStlBase a, b;
    Box(a, {0, 0, 0}, {1000, 1000, 1000}, 2);
    Box(b, {5000, 0, 0}, {6000, 1000, 1000}, 1);
    const auto r = AllOf(a, b);
    ExpectSolid(r->unite, 2e9, 2);
    EXPECT_EQ(r->unite.GetNumberOfTriangles(), 48u + 12u);
    EXPECT_EQ(r->intersect.GetNumberOfTriangles(), 0u);
    ExpectSolid(r->subtract, 1e9, 1);
    EXPECT_EQ(r->subtract.GetNumberOfTriangles(), 48u);
}

TEST(BooleanAU, TouchingAndCoincidentFaces) {
    {
        SCOPED_TRACE("identical meshes");
        MStlBase a, b;
        Box(a, {0, 0, 0}, {1000, 1000, 1000}, 3);
        b.Copy(a);
        const auto r = AllOf(a, b);
        ExpectSolid(r->unite, 1e9, 1);
        EXPECT_EQ(r->unite.GetNumberOfTriangles(), a.GetNumberOfTriangles());
        ExpectSolid(r->intersect, 1e9, 1);
        EXPECT_EQ(r->intersect.GetNumberOfTriangles(), a.GetNumberOfTriangles());
        EXPECT_EQ(r->subtract.GetNumberOfTriangles(), 0u);
    }
    {
        SCOPED_TRACE("two boxes sharing a face");
        MStlBase a, b;
        Box(a, {0, 0, 0}, {1000, 1000, 1000}, 2);
        Box(b, {1000, 0, 0}, {2000, 1000, 1000}, 2);
        const auto r = AllOf(a, b);
        ExpectSolid(r->unite, 2e9, 1);
        // The shared face's eight triangles go from both boxes.
        EXPECT_EQ(r->unite.GetNumberOfTriangles(), 2u * (48u - 8u));
        EXPECT_EQ(r->intersect.GetNumberOfTriangles(), 0u);
        ExpectSolid(r->subtract, 1e9, 1);
        EXPECT_EQ(r->subtract.GetNumberOfTriangles(), 48u);
    }
    {
        SCOPED_TRACE("a box in the top half of another: coincident tops, overlapping sides");
        MStlBase a, b;
        Box(a, {0, 0, 0}, {1000, 1000, 1000}, 2);
        Box(b, {0, 0, 500}, {1000, 1000, 1000}, 2);
        const auto r = AllOf(a, b);
        ExpectSolid(r->unite, 1e9, 1);
        ExpectSolid(r->intersect, 5e8, 1);
        ExpectSolid(r->subtract, 5e8, 1);
        // Subtracting the other way round leaves nothing.
        MStlBase none;
        ASSERT_EQ(AU::BooleanSubtract({&b}, {&a}, none, AU::BooleanParameters(), nullptr), eSuccess);
        EXPECT_EQ(none.GetNumberOfTriangles(), 0u);
    }
}

TEST(BooleanAU, TrimBothSidesMeetOnTheSamePoints) {
    MStlBase a, b, inside, outside;
    GenerateSphere(a, 700, 3000, {1000.3, 500.2, 499.9});
    a.Update();
    Box(b, {0, 0, 0}, {1000, 1000, 1000}, 3);
    ASSERT_EQ(AU::BooleanTrimBothSides(a, b, inside, outside, AU::BooleanParameters(), nullptr), eSuccess);
    EXPECT_TRUE(Sound(inside));
    EXPECT_TRUE(Sound(outside));
    const double bound = RoundingBound(inside, a) + RoundingBound(outside, a);
    EXPECT_NEAR(inside.Volume() + outside.Volume(), a.Volume(), bound);
    EXPECT_NEAR(inside.Volume(), ExactIntersectionVolume(a, b), RoundingBound(inside, a));
    // Every point the cut made is a point of both sides.
    uint64_t made = 0;
    for (auto it = inside.BeginPoint(); it != inside.EndPoint(); ++it) {
        const MStlPoint* p = *it;
        if (a.GetPoint(p->GetX(), p->GetY(), p->GetZ())) continue;
        ++made;
        EXPECT_NE(outside.GetPoint(p->GetX(), p->GetY(), p->GetZ()), nullptr);
    }
    EXPECT_GT(made, 0u);
    // The same as two trims.
    MStlBase in2, out2;
    in2.Copy(a);
    out2.Copy(a);
    ASSERT_EQ(AU::BooleanTrimNoGraphs(in2, b, true, true, false, false, AU::BooleanParameters(), nullptr), eSuccess);
    ASSERT_EQ(AU::BooleanTrimNoGraphs(out2, b, false, true, false, false, AU::BooleanParameters(), nullptr), eSuccess);
    EXPECT_EQ(in2.GetNumberOfTriangles(), inside.GetNumberOfTriangles());
    EXPECT_EQ(out2.GetNumberOfTriangles(), outside.GetNumberOfTriangles());
    EXPECT_DOUBLE_EQ(in2.Volume(), inside.Volume());
    // Bad input.
    EXPECT_EQ(AU::BooleanTrimBothSides(a, b, inside, inside, AU::BooleanParameters(), nullptr), eInvalidInput);
    MStlBase empty;
    EXPECT_EQ(AU::BooleanTrimBothSides(a, empty, inside, outside, AU::BooleanParameters(), nullptr), eEmptyMesh);
}
