// Intersection of triangle pairs: exact vertex classes, the common segment in
// both triangles' systems, the fold across an edge lying in the other plane,
// coplanar overlap, and the pieces the retriangulator makes from the result.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <set>
#include <vector>

#include "MTriangleTrimIntersectionCalculator.h"
#include "MTriangleTrimRetriangulator.h"

namespace {

using Point = std::array<int64_t, 3>;
using Calculator = MTriangleTrimIntersectionCalculator;

Point Of(const MStlPoint& p) { return {p.GetX(), p.GetY(), p.GetZ()}; }

Point Cross(const Point& a, const Point& b, const Point& c) {
    const Point u{b[0] - a[0], b[1] - a[1], b[2] - a[2]}, v{c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

__int128 Dot(const Point& a, const Point& b) {
    return __int128(a[0]) * b[0] + __int128(a[1]) * b[1] + __int128(a[2]) * b[2];
}

// A triangle of a mesh with its trim info.
struct Tri {
    MStlTriangleElement* triangle = nullptr;
    std::unique_ptr<MTriangleTrimInfo> info;

    Tri(MStlBase& mesh, const Point& a, const Point& b, const Point& c) {
        triangle = mesh.AddTriangle(mesh.AddPoint(int32_t(a[0]), int32_t(a[1]), int32_t(a[2])),
                                    mesh.AddPoint(int32_t(b[0]), int32_t(b[1]), int32_t(b[2])),
                                    mesh.AddPoint(int32_t(c[0]), int32_t(c[1]), int32_t(c[2])));
        info = std::make_unique<MTriangleTrimInfo>(triangle, nullptr);
    }
    Point Corner(int k) const { return Of(*triangle->GetPoint(k)); }
    Point Normal() const { return Cross(Corner(0), Corner(1), Corner(2)); }
    // Sign of the plane value of a point (exact).
    int Side(const Point& q) const {
        const Point p0 = Corner(0);
        const __int128 v = Dot(Normal(), Point{q[0] - p0[0], q[1] - p0[1], q[2] - p0[2]});
        return v > 0 ? 1 : v < 0 ? -1 : 0;
    }
    uint64_t Count(unsigned list) const { return info->GetList(list)->GetNumIntersections(); }
    const MTriangleTrimIntersection& First(unsigned list) const {
        return info->GetList(list)->GetFirstIntersection()->GetItem();
    }
};

Point Start(const MTriangleTrimIntersection& r) { return {r.start.GetX(), r.start.GetY(), r.start.GetZ()}; }
Point End(const MTriangleTrimIntersection& r) { return {r.end.GetX(), r.end.GetY(), r.end.GetZ()}; }
std::set<Point> Ends(const MTriangleTrimIntersection& r) { return {Start(r), End(r)}; }

uint64_t TotalRecords(const Tri& t) {
    uint64_t n = 0;
    for (unsigned i = 0; i < t.info->GetNumLists(); ++i) n += t.Count(i);
    return n;
}

// The direction of a record in (a/w, b/w) agrees with its line's direction.
void ExpectRunsAlongLine(const MTriangleTrimIntersection& r) {
    const double dx = r.end.GetA() / r.end.GetW() - r.start.GetA() / r.start.GetW();
    const double dy = r.end.GetB() / r.end.GetW() - r.start.GetB() / r.start.GetW();
    EXPECT_GT(dx * r.line.GetDX() + dy * r.line.GetDY(), 0.0);
}

// Retriangulates `t` with statuses 1 (list 0), 2 (list 1), 3, 4; checks that
// the pieces of status 1 lie below `other`'s plane and those of status 2
// above, that they face as `t` did and cover its area exactly.  Returns the
// number of pieces per status 1 and 2.
// With `onGrid` false the crossing points were rounded off the triangle's
// edges and off the other plane: then only the centroids' sides count, and
// the area up to the slivers the rounding makes.
std::array<int, 2> CheckPieces(MStlBase& mesh, Tri& t, const Tri& other, bool onGrid = true) {
    const Point normal = t.Normal();
    MTriangleTrimRetriangulator retriangulator;
    retriangulator.SetTriangulationStatus(1, 2, 3, 4, 5);
    EXPECT_TRUE(retriangulator.CreateNewTriangles(*t.info, 0));
    EXPECT_EQ(t.triangle->GetStatus(), 5);
    std::array<int, 2> pieces{0, 0};
    __int128 area = 0;
    for (MStlTriangleElement* e = mesh.GetFirstTriangle(); e; e = e->GetNext()) {
        const uint8_t s = e->GetStatus();
        if (s != 1 && s != 2) continue;
        ++pieces[s - 1];
        const Point c0 = Of(*e->GetPoint(0)), c1 = Of(*e->GetPoint(1)), c2 = Of(*e->GetPoint(2));
        const Point n = Cross(c0, c1, c2);
        EXPECT_GT(Dot(n, normal), 0);
        // No corner on the wrong side, and the centroid strictly on the right one.
        const int want = s == 1 ? -1 : 1;
        if (onGrid) {
            for (const Point& c : {c0, c1, c2}) EXPECT_NE(other.Side(c), -want);
        }
        const Point centroid3{c0[0] + c1[0] + c2[0], c0[1] + c1[1] + c2[1], c0[2] + c1[2] + c2[2]};
        const Point p0 = other.Corner(0);
        const __int128 v = Dot(other.Normal(), Point{centroid3[0] - 3 * p0[0], centroid3[1] - 3 * p0[1],
                                                    centroid3[2] - 3 * p0[2]});
        EXPECT_EQ(v > 0 ? 1 : -1, want);
        area += Dot(n, normal);
    }
    if (onGrid) {
        EXPECT_TRUE(area == Dot(normal, normal));
    } else {
        EXPECT_NEAR(double(area), double(Dot(normal, normal)), 0.01 * double(Dot(normal, normal)));
    }
    return pieces;
}

const Point kO{0, 0, 0};

// Two triangles crossing each other through their interiors: A in z = 0,
// facing up; B in y = 200 with its piece (x from 100 to 600) inside A's.
struct CrossingPair : ::testing::Test {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {100, 200, -500}, {100, 200, 500}, {700, 200, -100}};
};

TEST_F(CrossingPair, SegmentInBothInfosWithTheSameIntegerEnds) {
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info));
    const std::set<Point> expected{{100, 200, 0}, {600, 200, 0}};
    for (const Tri* t : {&a, &b}) {
        ASSERT_EQ(t->Count(0), 1u);
        ASSERT_EQ(t->Count(1), 1u);
        EXPECT_EQ(t->info->GetNumLists(), 2u);
        EXPECT_EQ(Ends(t->First(0)), expected);
        EXPECT_EQ(Ends(t->First(1)), expected);
        ExpectRunsAlongLine(t->First(0));
        ExpectRunsAlongLine(t->First(1));
        // The two lists hold the segment in opposite directions.
        EXPECT_EQ(Start(t->First(0)), End(t->First(1)));
        // Mesh points of the ends exist in the triangle's own mesh.
        const MTriangleTrimPosition& s = t->First(0).start;
        EXPECT_EQ(t->triangle->GetStl()->GetPoint(s.GetX(), s.GetY(), s.GetZ()), s.GetPoint());
        EXPECT_NE(s.GetPoint(), nullptr);
    }
    // A's vertices against B's plane y = 200 (normal +y): two below, one above.
    EXPECT_EQ(calc.GetVertexClass(0, 0), Calculator::kBelow);
    EXPECT_EQ(calc.GetVertexClass(0, 1), Calculator::kBelow);
    EXPECT_EQ(calc.GetVertexClass(0, 2), Calculator::kAbove);
    EXPECT_EQ(calc.GetVertexClass(1, 0), Calculator::kBelow);
    EXPECT_EQ(calc.GetVertexClass(1, 1), Calculator::kAbove);
    EXPECT_EQ(calc.GetVertexClass(1, 2), Calculator::kBelow);
}

TEST_F(CrossingPair, ArgumentOrderGivesTheSameSegments) {
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*b.info, *a.info));
    EXPECT_EQ(Ends(a.First(0)), (std::set<Point>{{100, 200, 0}, {600, 200, 0}}));
    EXPECT_EQ(Ends(b.First(1)), (std::set<Point>{{100, 200, 0}, {600, 200, 0}}));
}

// The same plane pair, B's edges passing through the ends of A's piece, so
// that the common segment runs from edge to edge in both triangles.
TEST(TrimCalculatorPieces, CrossingFromEdgeToEdgeSplitsBothTriangles) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {0, 200, -500}, {0, 200, 500}, {1600, 200, -500}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info));
    EXPECT_EQ(Ends(a.First(0)), (std::set<Point>{{0, 200, 0}, {800, 200, 0}}));
    EXPECT_EQ(Ends(b.First(0)), (std::set<Point>{{0, 200, 0}, {800, 200, 0}}));
    // Below B's plane (y < 200) A keeps a quadrangle, above a triangle; the
    // same for B against z = 0.
    EXPECT_EQ(CheckPieces(meshA, a, b), (std::array<int, 2>{2, 1}));
    EXPECT_EQ(CheckPieces(meshB, b, a), (std::array<int, 2>{2, 1}));
}

// A slanted crossing whose ends do not fall on the grid: the pieces still
// cover the triangle and lie on their sides.
TEST(TrimCalculatorPieces, OffGridCrossing) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {997, 13, 0}, {5, 1003, 0}};
    Tri b{meshB, {-300, 301, -700}, {-290, 333, 711}, {1701, 411, -3}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info));
    ASSERT_EQ(a.Count(0), 1u);
    ASSERT_EQ(b.Count(0), 1u);
    // One crossing, one integer point, in both systems.
    EXPECT_EQ(Ends(a.First(0)), Ends(b.First(0)));
    const std::array<int, 2> pa = CheckPieces(meshA, a, b, false);
    EXPECT_GE(pa[0], 1);
    EXPECT_GE(pa[1], 1);
}

// Two triangles of one mesh on either side of a shared edge both meet B's
// triangle: the crossing of the shared edge is one integer point.
TEST(TrimCalculatorPieces, NeighboursShareTheCrossingOfTheirEdge) {
    MStlBase meshA, meshB;
    MStlPoint* p = meshA.AddPoint(0, 0, 0);
    MStlPoint* q = meshA.AddPoint(1001, 997, 13);
    MStlPoint* r = meshA.AddPoint(-7, 1003, 3);
    MStlPoint* s = meshA.AddPoint(1009, -5, -11);
    MStlTriangleElement* t0 = meshA.AddTriangle(p, q, r);
    MStlTriangleElement* t1 = meshA.AddTriangle(q, p, s);
    MTriangleTrimInfo i0(t0, nullptr), i1(t1, nullptr);
    Tri b{meshB, {-500, 700, -400}, {-500, 700, 400}, {1500, -300, 1}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(i0, *b.info));
    ASSERT_TRUE(calc.CALCULATE(i1, *b.info));
    const auto& r0 = i0.GetList(0)->GetFirstIntersection()->GetItem();
    const auto& r1 = i1.GetList(0)->GetFirstIntersection()->GetItem();
    std::set<Point> e0 = Ends(r0), e1 = Ends(r1), common;
    for (const Point& x : e0)
        if (e1.count(x)) common.insert(x);
    EXPECT_EQ(common.size(), 1u);
    // B's two segments meet in that point as well.
    ASSERT_EQ(b.Count(0), 2u);
    std::set<Point> eb;
    for (const auto& rec : *b.info->GetList(0)) {
        for (const Point& x : Ends(rec)) eb.insert(x);
    }
    EXPECT_EQ(eb.size(), 3u);
    EXPECT_TRUE(eb.count(*common.begin()));
}

TEST(TrimCalculatorShared, SharedEdgeGivesFalseAndNoRecords) {
    MStlBase mesh;
    MStlPoint* p = mesh.AddPoint(0, 0, 0);
    MStlPoint* q = mesh.AddPoint(1000, 0, 0);
    MTriangleTrimInfo i0(mesh.AddTriangle(p, q, mesh.AddPoint(0, 1000, 0)), nullptr);
    MTriangleTrimInfo i1(mesh.AddTriangle(q, p, mesh.AddPoint(500, -300, 800)), nullptr);
    Calculator calc;
    EXPECT_FALSE(calc.CALCULATE(i0, i1));
    for (const MTriangleTrimInfo* info : {&i0, &i1}) {
        EXPECT_EQ(info->GetNumLists(), 2u);
        EXPECT_EQ(info->GetList(0)->GetNumIntersections() + info->GetList(1)->GetNumIntersections(), 0u);
    }
}

TEST(TrimCalculatorShared, SharedVertexCountsAsOnThePlane) {
    MStlBase mesh;
    MStlPoint* o = mesh.AddPoint(0, 0, 0);
    MTriangleTrimInfo i0(mesh.AddTriangle(o, mesh.AddPoint(1000, 0, 0), mesh.AddPoint(0, 1000, 0)), nullptr);
    MTriangleTrimInfo i1(mesh.AddTriangle(o, mesh.AddPoint(400, 100, -300), mesh.AddPoint(100, 400, 300)), nullptr);
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(i0, i1));
    EXPECT_EQ(calc.GetVertexClass(0, 0), Calculator::kOnPlane);
    EXPECT_EQ(calc.GetVertexClass(1, 0), Calculator::kOnPlane);
    // Triangle 1 crosses z = 0 at (250, 250, 0); triangle 0 meets the plane
    // x − y + z = 0 of triangle 1 along (0, 0, 0)–(500, 500, 0).
    const std::set<Point> expected{{0, 0, 0}, {250, 250, 0}};
    for (const MTriangleTrimInfo* info : {&i0, &i1}) {
        ASSERT_EQ(info->GetList(0)->GetNumIntersections(), 1u);
        ASSERT_EQ(info->GetList(1)->GetNumIntersections(), 1u);
        EXPECT_EQ(Ends(info->GetList(0)->GetFirstIntersection()->GetItem()), expected);
    }
}

TEST(TrimCalculatorNoCut, OneVertexOnThePlaneOthersOnOneSide) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {100, 100, 0}, {200, 100, 300}, {100, 200, 300}};
    Calculator calc;
    EXPECT_FALSE(calc.CALCULATE(*a.info, *b.info));
    EXPECT_EQ(TotalRecords(a) + TotalRecords(b), 0u);
}

TEST(TrimCalculatorNoCut, WhollyOnOneSide) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {100, 100, 1}, {200, 100, 300}, {100, 200, 300}};
    Calculator calc;
    EXPECT_FALSE(calc.CALCULATE(*a.info, *b.info));
    EXPECT_EQ(TotalRecords(a) + TotalRecords(b), 0u);
}

TEST(TrimCalculatorNoCut, PiecesTouchingAtOneEndPoint) {
    // A's piece of y = 200 ends at x = 800, B's starts there.
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {800, 200, -500}, {800, 200, 500}, {1400, 200, -100}};
    Calculator calc;
    EXPECT_FALSE(calc.CALCULATE(*a.info, *b.info));
    EXPECT_EQ(TotalRecords(a) + TotalRecords(b), 0u);
}

TEST(TrimCalculatorNoCut, PlaneCrossesButPiecesMiss) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {900, 200, -500}, {900, 200, 500}, {1400, 200, -100}};
    Calculator calc;
    EXPECT_FALSE(calc.CALCULATE(*a.info, *b.info));
    EXPECT_EQ(TotalRecords(a) + TotalRecords(b), 0u);
}

TEST(TrimCalculatorNoCut, DegenerateTriangle) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {100, 100, -100}, {200, 200, 0}, {300, 300, 100}};
    Calculator calc;
    EXPECT_FALSE(calc.CALCULATE(*a.info, *b.info));
    EXPECT_FALSE(calc.CALCULATE(*b.info, *a.info));
    EXPECT_EQ(TotalRecords(a) + TotalRecords(b), 0u);
}

// A fold of mesh A across the edge e = (0, −1000, 0)–(0, 1000, 0): T in z = 0
// (x < 0, facing up) and T' rising to (1000, 0, 1000).  Mesh B's triangle lies
// in a plane through e.
struct Fold : ::testing::Test {
    MStlBase meshA, meshB;
    MStlPoint* e0 = meshA.AddPoint(0, -1000, 0);
    MStlPoint* e1 = meshA.AddPoint(0, 1000, 0);
    MStlTriangleElement* t = meshA.AddTriangle(e0, e1, meshA.AddPoint(-1000, 0, 0));
    MStlTriangleElement* tn = meshA.AddTriangle(e1, e0, meshA.AddPoint(1000, 0, 1000));
    MTriangleTrimInfo it{t, nullptr};
    MTriangleTrimInfo itn{tn, nullptr};
};

// B in z = x/2 touches the fold along e from below: all of B lies below the
// fold, although its halves lie on different sides of each of T and T'.
TEST_F(Fold, TouchingTriangleIsWhollyBelowTheFold) {
    Tri b{meshB, {400, -300, 200}, {400, 300, 200}, {-400, 0, -200}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(it, *b.info));
    EXPECT_EQ(calc.GetNeighbourInfo(0).GetNeighbour(), tn);
    EXPECT_EQ(calc.GetNeighbourInfo(0).GetClass(), Calculator::kAbove);
    EXPECT_TRUE(calc.IsRecalculated(1));
    for (int k = 0; k < 3; ++k) EXPECT_EQ(calc.GetVertexClass(1, k), Calculator::kBelow);
    EXPECT_EQ(TotalRecords(b), 0u);
    // T lies above B's plane: it keeps a segment along its edge e in list 1,
    // running with the edge, so all of T stays on that side.
    ASSERT_EQ(it.GetList(0)->GetNumIntersections(), 0u);
    ASSERT_EQ(it.GetList(1)->GetNumIntersections(), 1u);
    const auto& rec = it.GetList(1)->GetFirstIntersection()->GetItem();
    EXPECT_EQ(Start(rec), (Point{0, -150, 0}));
    EXPECT_EQ(End(rec), (Point{0, 150, 0}));
    EXPECT_FALSE(rec.IS_AXIS_BACKWARDS(false));

    ASSERT_TRUE(calc.CALCULATE(itn, *b.info));
    EXPECT_TRUE(calc.IsRecalculated(1));
    EXPECT_EQ(TotalRecords(b), 0u);
}

// B in x = 0 passes through the fold: the neighbour changes nothing.
TEST_F(Fold, CrossingTriangleIsSplitAlongTheEdge) {
    Tri b{meshB, {0, -300, -400}, {0, 300, -400}, {0, 0, 400}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(it, *b.info));
    EXPECT_EQ(calc.GetNeighbourInfo(0).GetNeighbour(), tn);
    EXPECT_FALSE(calc.IsRecalculated(1));
    ASSERT_EQ(b.Count(0), 1u);
    ASSERT_EQ(b.Count(1), 1u);
    EXPECT_EQ(Ends(b.First(0)), (std::set<Point>{{0, -150, 0}, {0, 150, 0}}));
    // The pair with T' gives the same segment, which the list already has.
    ASSERT_TRUE(calc.CALCULATE(itn, *b.info));
    EXPECT_EQ(b.Count(0), 1u);
    EXPECT_EQ(b.Count(1), 1u);
    Tri plane{meshA, {0, 0, 0}, {1, 0, 0}, {0, 1, 0}};  // z = 0, facing up, for the side check
    EXPECT_EQ(CheckPieces(meshB, b, plane), (std::array<int, 2>{2, 1}));
}

TEST_F(Fold, EdgeTriangleKeepsItsWholeSide) {
    Tri b{meshB, {0, -300, -400}, {0, 300, -400}, {0, 0, 400}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(it, *b.info));
    // T's vertex (−1000, 0, 0) lies below B's plane x = 0 (normal +x): T
    // keeps the segment along e in list 0 only, and all of T below.
    ASSERT_EQ(it.GetList(0)->GetNumIntersections(), 1u);
    EXPECT_EQ(it.GetList(1)->GetNumIntersections(), 0u);
    MTriangleTrimRetriangulator retriangulator;
    retriangulator.SetTriangulationStatus(1, 2, 3, 4, 5);
    ASSERT_TRUE(retriangulator.CreateNewTriangles(it, 0));
    __int128 area = 0;
    int pieces = 0;
    const Point normal = Cross(Of(*e0), Of(*e1), Point{-1000, 0, 0});
    for (MStlTriangleElement* e = meshA.GetFirstTriangle(); e; e = e->GetNext()) {
        if (e->GetStatus() == 2) ADD_FAILURE() << "a piece above";
        if (e->GetStatus() != 1) continue;
        ++pieces;
        area += Dot(Cross(Of(*e->GetPoint(0)), Of(*e->GetPoint(1)), Of(*e->GetPoint(2))), normal);
    }
    EXPECT_GE(pieces, 1);
    EXPECT_TRUE(area == Dot(normal, normal));
}

// Coplanar triangles in z = 0.  A = (0,0)-(1000,0)-(0,1000); B shifted by
// (200, 200): the common region is (200,200)-(800,200)-(200,800).
TEST(TrimCalculatorCoplanar, SameOrientationAddsListsOfType2) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {200, 200, 0}, {1200, 200, 0}, {200, 1200, 0}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info));
    for (const Tri* t : {&a, &b}) {
        ASSERT_EQ(t->info->GetNumLists(), 3u);
        EXPECT_EQ(t->info->GetList(2)->GetType(), 2u);
        EXPECT_EQ(t->Count(0) + t->Count(1), 0u);
    }
    // In A: B's edges y = 200 and x = 200, clipped; in B: A's hypotenuse.
    ASSERT_EQ(a.Count(2), 2u);
    ASSERT_EQ(b.Count(2), 1u);
    std::set<std::pair<Point, Point>> segs;
    for (const auto& r : *a.info->GetList(2)) segs.insert({Start(r), End(r)});
    EXPECT_EQ(segs, (std::set<std::pair<Point, Point>>{{{200, 200, 0}, {800, 200, 0}}, {{200, 800, 0}, {200, 200, 0}}}));
    EXPECT_EQ(Start(b.First(2)), (Point{800, 200, 0}));
    EXPECT_EQ(End(b.First(2)), (Point{200, 800, 0}));
    for (const Tri* t : {&a, &b})
        for (const auto& r : *t->info->GetList(2)) ExpectRunsAlongLine(r);
}

TEST(TrimCalculatorCoplanar, OppositeOrientationAddsListsOfType3) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {200, 200, 0}, {200, 1200, 0}, {1200, 200, 0}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info));
    for (const Tri* t : {&a, &b}) {
        ASSERT_EQ(t->info->GetNumLists(), 3u);
        EXPECT_EQ(t->info->GetList(2)->GetType(), 3u);
    }
    ASSERT_EQ(a.Count(2), 2u);
    ASSERT_EQ(b.Count(2), 1u);
    // Turned around, so the common region stays on the right in A's system.
    std::set<std::pair<Point, Point>> segs;
    for (const auto& r : *a.info->GetList(2)) segs.insert({Start(r), End(r)});
    EXPECT_EQ(segs, (std::set<std::pair<Point, Point>>{{{200, 200, 0}, {800, 200, 0}}, {{200, 800, 0}, {200, 200, 0}}}));
    for (const Tri* t : {&a, &b})
        for (const auto& r : *t->info->GetList(2)) ExpectRunsAlongLine(r);
}

TEST(TrimCalculatorCoplanar, TriangleInsideTheOtherGetsItsThreeEdges) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {100, 100, 0}, {300, 100, 0}, {100, 300, 0}};
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info));
    ASSERT_EQ(b.info->GetNumLists(), 3u);
    ASSERT_EQ(b.Count(2), 3u);
    std::set<std::pair<Point, Point>> edges;
    for (const auto& r : *b.info->GetList(2)) edges.insert({Start(r), End(r)});
    EXPECT_EQ(edges, (std::set<std::pair<Point, Point>>{{{100, 100, 0}, {300, 100, 0}},
                                                        {{300, 100, 0}, {100, 300, 0}},
                                                        {{100, 300, 0}, {100, 100, 0}}}));
    // A holds B's outline unclipped.
    ASSERT_EQ(a.Count(2), 3u);
    // Only B's edges: its own triangle counts for nothing.
    MStlBase meshC;
    Tri c{meshC, {100, 100, 0}, {300, 100, 0}, {100, 300, 0}};
    Tri big{meshC, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    EXPECT_TRUE(calc.CALCULATE(*c.info, *big.info));
    EXPECT_EQ(c.Count(2), 3u);
}

TEST(TrimCalculatorCoplanar, DisjointGivesFalse) {
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {1000, 0, 0}, {0, 1000, 0}};
    Tri b{meshB, {900, 900, 0}, {1900, 900, 0}, {900, 1900, 0}};
    Calculator calc;
    EXPECT_FALSE(calc.CALCULATE(*a.info, *b.info));
    EXPECT_EQ(TotalRecords(a) + TotalRecords(b), 0u);
}

// Near 2^30 the plane values reach 2^92; a point exactly on the plane and
// points one unit off it still class exactly, and the crossing is exact.
TEST(TrimCalculatorPieces, CrossingOfOwnEdgeIsExact) {
    // The planes meet in the line x = 1, z = 0, which enters A's triangle
    // through its edge P2 -> P0 at the grid point (1, 0, 0), 1/77 of the way
    // from P0.  A's end of the segment there is that point exactly, so that it
    // orders exactly against the crossings of other triangles.
    MStlBase meshA, meshB;
    Tri a{meshA, {0, 0, 0}, {0, 100, 0}, {77, 0, 0}};
    Tri b{meshB, {11, -50, 10}, {-9, -50, -10}, {6, 60, 5}};  // x - z = 1
    Calculator calc;
    ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info));
    MTriangleTrimPosition exact;
    exact.SetCS(&a.info->GetCS());
    exact.CalculatePositionOfPoint(meshA.AddPoint(1, 0, 0));
    ASSERT_EQ(exact.GetPositionCode(), 2);
    for (unsigned list = 0; list < 2; ++list) {
        ASSERT_EQ(a.Count(list), 1u);
        const MTriangleTrimIntersection& r = a.First(list);
        const MTriangleTrimPosition& onEdge = r.start.GetPositionCode() == 2 ? r.start : r.end;
        EXPECT_EQ(onEdge.GetPositionCode(), 2);
        EXPECT_TRUE(onEdge == exact) << onEdge.GetA() << " " << onEdge.GetB() << " " << onEdge.GetW();
        EXPECT_EQ(onEdge.POSITION_TO_AXIS(2), MTriangleTrimPosition::kOnLine);
        EXPECT_EQ((Point{onEdge.GetX(), onEdge.GetY(), onEdge.GetZ()}), (Point{1, 0, 0}));
    }
}

TEST(TrimCalculatorLarge, ClassesAndCrossingsStayExact) {
    for (const int64_t sign : {1, -1}) {
        const int64_t A = (int64_t(1) << 30) - 1;
        auto P = [sign](int64_t x, int64_t y, int64_t z) { return Point{sign * x, sign * y, sign * z}; };
        MStlBase meshA, meshB;
        Tri a{meshA, P(A, 0, 0), P(0, A, 0), P(0, 0, A)};  // x + y + z = A
        const Point q0 = P(A - 600000000, 300000000, 300000000);
        const Point m = P(300000001, A - 600000001, 300000000);
        Tri b{meshB, q0, P(300000001, A - 600000001, 300000001), P(300000001, A - 600000001, 299999999)};
        Calculator calc;
        ASSERT_TRUE(calc.CALCULATE(*a.info, *b.info)) << sign;
        EXPECT_EQ(calc.GetVertexClass(1, 0), Calculator::kOnPlane);
        EXPECT_NE(calc.GetVertexClass(1, 1), calc.GetVertexClass(1, 2));
        EXPECT_NE(calc.GetVertexClass(1, 1), Calculator::kOnPlane);
        const std::set<Point> expected{q0, m};
        EXPECT_EQ(Ends(a.First(0)), expected);
        EXPECT_EQ(Ends(a.First(1)), expected);
        EXPECT_EQ(Ends(b.First(0)), expected);

        // One vertex on the plane, the others one unit off on the same side.
        MStlBase meshC;
        Tri c{meshC, q0, P(300000001, A - 600000001, 300000001), P(300000002, A - 600000001, 300000000)};
        EXPECT_FALSE(calc.CALCULATE(*a.info, *c.info));
        EXPECT_EQ(calc.GetVertexClass(1, 0), Calculator::kOnPlane);
        EXPECT_EQ(calc.GetVertexClass(1, 1), calc.GetVertexClass(1, 2));
    }
}

}  // namespace
