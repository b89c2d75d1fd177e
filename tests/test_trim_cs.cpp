#include <gtest/gtest.h>

#include <cmath>

#include "MTriangleTrimCS.h"
#include "host/MStlBase.h"

namespace {

constexpr int32_t kMax = 2147483647;
constexpr int32_t kMin = -2147483647 - 1;

// Right triangle P0 = (0,0,0), P1 = (0,10,0), P2 = (10,0,0): a runs along x
// and b along y, each scaled by 1/10.
struct SmallTriangle {
    MStlBase mesh;
    MStlPoint* p0 = mesh.AddPoint(0, 0, 0);
    MStlPoint* p1 = mesh.AddPoint(0, 10, 0);
    MStlPoint* p2 = mesh.AddPoint(10, 0, 0);
    MStlTriangleElement* tri = mesh.AddTriangle(p0, p1, p2);
    MTriangleTrimCS cs;
    SmallTriangle() { cs.SetTriangle(tri, nullptr); }
    MTriangleTrimPosition Position() {
        MTriangleTrimPosition p;
        p.SetCS(&cs);
        return p;
    }
    MTriangleTrimPosition Project(int32_t x, int32_t y, int32_t z) {
        MTriangleTrimPosition p = Position();
        p.CalculatePositionOfPoint(mesh.AddPoint(x, y, z));
        return p;
    }
};

void ExpectHomogeneous(const MTriangleTrimPosition& p, double a, double b, double w) {
    EXPECT_EQ(p.GetA(), a);
    EXPECT_EQ(p.GetB(), b);
    EXPECT_EQ(p.GetW(), w);
}

}  // namespace

TEST(TrimCSSystem, FieldsFromTriangle) {
    MTriangleTrimCS empty;
    EXPECT_EQ(empty.GetTriangleElement(), nullptr);
    EXPECT_EQ(empty.GetU(), MMVector3d(0, 0, 0));
    EXPECT_EQ(empty.GetPlane().A(), 0.0);
    EXPECT_EQ(empty.GetPlane().C(), 0.0);

    MStlBase mesh;
    MStlPoint* p0 = mesh.AddPoint(1, 2, 3);
    MStlPoint* p1 = mesh.AddPoint(1, 12, 3);
    MStlPoint* p2 = mesh.AddPoint(11, 2, 3);
    MStlTriangleElement* tri = mesh.AddTriangle(p0, p1, p2);
    MTriangleTrimCS cs;
    cs.SetTriangle(tri, nullptr);
    EXPECT_EQ(cs.GetTriangleElement(), tri);
    EXPECT_EQ(cs.GetOrigin(), MMVector3d(1, 2, 3));
    EXPECT_EQ(cs.GetU(), MMVector3d(10, 0, 0));
    EXPECT_EQ(cs.GetV(), MMVector3d(0, 10, 0));
    EXPECT_EQ(cs.GetVertex(1), MMVector3l(1, 12, 3));
    // (P1 − P0) × (P2 − P0) = (0, 0, −100); D = −(n · P0) = 300.
    EXPECT_EQ(cs.GetPlane().GetNormal(), MMVector3d(0, 0, -100));
    EXPECT_EQ(cs.GetPlane().D(), 300.0);

    // The triangle overload keeps the element; a copy keeps every field.
    MTriangleTrimCS other = cs;
    MStlPoint* q = mesh.AddPoint(50, 50, 50);
    MStlTriangleElement* tri2 = mesh.AddTriangle(p0, q, p2);
    other.SetTriangle(static_cast<MStlTriangle*>(tri2), nullptr);
    EXPECT_EQ(other.GetTriangleElement(), tri);
    EXPECT_EQ(other.GetV(), MMVector3d(49, 48, 47));

    // With a transform the mapped vertices are truncated toward zero.
    MMTransformMatrix shift;
    shift(0, 3) = -2.7;
    shift(1, 3) = 2.7;
    MTriangleTrimCS moved;
    moved.SetTriangle(p0, p1, p2, &shift);
    EXPECT_EQ(moved.GetVertex(0), MMVector3l(-1, 4, 3));  // 1 − 2.7 = −1.7, 2 + 2.7 = 4.7
    EXPECT_EQ(moved.GetVertex(2), MMVector3l(8, 4, 3));   // 11 − 2.7 = 8.3
    EXPECT_EQ(moved.GetTriangleElement(), nullptr);
}

TEST(TrimCSLine, AxisLinesAndOrientation) {
    const MTriangleTrimLine& a0 = MTriangleTrimCS::axis_line[0];
    const MTriangleTrimLine& a1 = MTriangleTrimCS::axis_line[1];
    const MTriangleTrimLine& a2 = MTriangleTrimCS::axis_line[2];
    EXPECT_EQ(a0.GetA(), 1.0); EXPECT_EQ(a0.GetB(), 0.0); EXPECT_EQ(a0.GetC(), 0.0);
    EXPECT_EQ(a1.GetA(), -1.0); EXPECT_EQ(a1.GetB(), -1.0); EXPECT_EQ(a1.GetC(), -1.0);
    EXPECT_EQ(a2.GetA(), 0.0); EXPECT_EQ(a2.GetB(), 1.0); EXPECT_EQ(a2.GetC(), 0.0);
    // Axis 0 runs P0 (0,0) → P1 (0,1), axis 1 P1 → P2 (1,0), axis 2 P2 → P0,
    // in (a, b); the inside lies to the right of each direction.
    EXPECT_EQ(a0.GetDX(), 0.0); EXPECT_EQ(a0.GetDY(), 1.0);
    EXPECT_EQ(a1.GetDX(), 1.0); EXPECT_EQ(a1.GetDY(), -1.0);
    EXPECT_EQ(a2.GetDX(), -1.0); EXPECT_EQ(a2.GetDY(), 0.0);

    MTriangleTrimLine bad(static_cast<unsigned char>(3));
    EXPECT_EQ(bad.GetA(), 0.0); EXPECT_EQ(bad.GetB(), 0.0); EXPECT_EQ(bad.GetC(), 0.0);
    MTriangleTrimLine line(static_cast<unsigned char>(1));
    line = static_cast<unsigned char>(7);
    EXPECT_EQ(line.GetC(), -1.0);
    line.Set(2, 3, 4);
    line.SetAxisLine(2);
    EXPECT_EQ(line.GetA(), 0.0); EXPECT_EQ(line.GetB(), 1.0); EXPECT_EQ(line.GetC(), 4.0);
    line = static_cast<unsigned char>(0);
    EXPECT_EQ(line.GetC(), 0.0);
}

TEST(TrimCSLine, PseudoAngle) {
    MTriangleTrimLine east, north, south, west, zero;
    east.Set(0, -1, 0);   // direction (1, 0)
    north.Set(1, 0, 0);   // (0, 1)
    south.Set(-1, 0, 0);  // (0, −1)
    west.Set(0, 1, 0);    // (−1, 0)
    EXPECT_DOUBLE_EQ(east.Angle024(east), 2.0);
    EXPECT_DOUBLE_EQ(east.Angle024(west), 4.0);
    EXPECT_DOUBLE_EQ(east.Angle024(south), 1.0);  // 90° counterclockwise from −east
    EXPECT_DOUBLE_EQ(east.Angle024(north), 3.0);  // 270°
    EXPECT_EQ(zero.Angle024(east), 0.0);
    EXPECT_EQ(east.Angle024(zero), 0.0);
}

TEST(TrimCSPosition, DefaultEqualityAndLineTests) {
    MTriangleTrimPosition p;
    EXPECT_EQ(p.GetPositionCode(), 4);
    EXPECT_TRUE(p.IsOutside());
    EXPECT_FALSE(p.IS_ON_AXIS());
    EXPECT_EQ(p.GetCS(), nullptr);
    EXPECT_EQ(p.GetPoint(), nullptr);

    SmallTriangle t;
    MTriangleTrimPosition x = t.Position(), y = t.Position(), z = t.Position();
    x.CalculateAsOffsetOnAxis(1, 1, 4);  // (1, 3, 4)
    y.CalculateAsOffsetOnAxis(1, 2, 8);  // (2, 6, 8)
    z.CalculateAsOffsetOnAxis(1, 2, 7);
    ExpectHomogeneous(x, 1, 3, 4);
    EXPECT_TRUE(x == y);
    EXPECT_FALSE(x == z);
    EXPECT_EQ(x.GetPositionCode(), 1);
    EXPECT_TRUE(x.IS_ON_AXIS());
    EXPECT_EQ(x.POSITION_TO_AXIS(1), 3);  // a + b = w
    EXPECT_EQ(x.POSITION_TO_AXIS(0), 5);
    EXPECT_EQ(x.POSITION_TO_AXIS(2), 5);

    MTriangleTrimLine line;
    line.Set(2, -1, 1);  // 2a − b − w
    EXPECT_EQ(x.DISTANCE_TO_LINE(line), 2 - 3 - 4);
    EXPECT_EQ(x.POSITION_TO_LINE(line), 4);
    line.Set(1, 1, 4);  // a + b − 4w = −12
    EXPECT_EQ(x.POSITION_TO_LINE(line), 4);
    line.Set(3, 3, 3);
    EXPECT_EQ(x.POSITION_TO_LINE(line), 3);
    line.Set(-3, -3, -3.0000000000000004);  // 3a + 3b barely below w·3.0…04
    EXPECT_EQ(x.POSITION_TO_LINE(line), 5);

    MTriangleTrimPosition copy;
    copy.CopyXYZ(x);
    EXPECT_EQ(copy.GetX(), x.GetX());
    EXPECT_EQ(copy.GetY(), x.GetY());
    EXPECT_EQ(copy.GetW(), 0.0);
}

TEST(TrimCSPosition, ProjectionOnCornersEdgesAndOutside) {
    SmallTriangle t;
    // Vertices: P0 and P1 get axis 0, P2 axis 1.
    EXPECT_EQ(t.Project(0, 0, 0).GetPositionCode(), 0);
    EXPECT_EQ(t.Project(0, 10, 0).GetPositionCode(), 0);
    EXPECT_EQ(t.Project(10, 0, 0).GetPositionCode(), 1);
    // Exactly on each edge.
    EXPECT_EQ(t.Project(0, 4, 0).GetPositionCode(), 0);
    EXPECT_EQ(t.Project(5, 5, 0).GetPositionCode(), 1);
    EXPECT_EQ(t.Project(3, 0, 0).GetPositionCode(), 2);
    // Just outside each edge, and just inside.
    EXPECT_EQ(t.Project(-1, 4, 0).GetPositionCode(), 4);
    EXPECT_EQ(t.Project(5, 6, 0).GetPositionCode(), 4);
    EXPECT_EQ(t.Project(3, -1, 0).GetPositionCode(), 4);
    EXPECT_EQ(t.Project(11, 0, 0).GetPositionCode(), 4);
    EXPECT_EQ(t.Project(4, 5, 0).GetPositionCode(), 5);

    // A point off the plane is moved along z onto it.
    MTriangleTrimPosition p = t.Project(3, 4, 7);
    EXPECT_EQ(p.GetPositionCode(), 5);
    EXPECT_EQ(p.GetX(), 3); EXPECT_EQ(p.GetY(), 4); EXPECT_EQ(p.GetZ(), 0);
    EXPECT_EQ(p.GetA() / p.GetW(), 0.3);

    // A tilted triangle projects along its largest normal component.
    MStlBase mesh;
    MStlTriangleElement* tilted =
        mesh.AddTriangle(mesh.AddPoint(0, 0, 0), mesh.AddPoint(0, 10, 1), mesh.AddPoint(10, 0, 2));
    MTriangleTrimCS cs;
    cs.SetTriangle(tilted, nullptr);
    MTriangleTrimPosition q;
    q.SetCS(&cs);
    q.CalculatePositionOfPoint(mesh.AddPoint(5, 5, 100));
    EXPECT_EQ(q.GetPositionCode(), 1);
    EXPECT_EQ(q.GetZ(), 1);  // z = 0.5·2 + 0.5·1 = 1.5, truncated

    // 2-D projection: z comes from the plane.
    MTriangleTrimPosition r = t.Position();
    EXPECT_TRUE(r.CalculatePositionOfPoint2d(2, 8));
    EXPECT_EQ(r.GetPositionCode(), 1);
    EXPECT_EQ(r.GetX(), 2); EXPECT_EQ(r.GetY(), 8);
}

TEST(TrimCSPosition, AxisOffsetsEndPointsAndTruncation) {
    SmallTriangle t;
    MTriangleTrimPosition p = t.Position();
    p.CalculateAsOffsetOnAxis(0, 3, 10);
    ExpectHomogeneous(p, 0, 3, 10);
    EXPECT_EQ(p.GetPositionCode(), 0);
    EXPECT_EQ(p.GetY(), 3);
    p.CalculateAsOffsetOnAxis(2, 3, 10);  // from P2 toward P0
    ExpectHomogeneous(p, 7, 0, 10);
    EXPECT_EQ(p.GetPositionCode(), 2);
    EXPECT_EQ(p.GetX(), 7);
    p.CalculateAsOffsetOnAxis(3, 1, 2);  // no such axis: unchanged
    ExpectHomogeneous(p, 7, 0, 10);
    EXPECT_EQ(p.GetPositionCode(), 2);

    // The ratio |d1| : |d2| = 1 : 3 along axis 1 (P1 → P2).
    p.CalculateOnAxis(1, -2.5, 7.5);
    ExpectHomogeneous(p, 2.5, 7.5, 10);
    EXPECT_EQ(p.GetX(), 2); EXPECT_EQ(p.GetY(), 7);

    // Truncation toward zero: x = −2.7 gives −2, x = 2.7 gives 2.
    p.CalculateAsOffsetOnAxis(2, 12.7, 10);
    EXPECT_EQ(p.GetX(), -2);
    p.CalculateAsOffsetOnAxis(2, 7.3, 10);
    EXPECT_EQ(p.GetX(), 2);

    // End points carry the number of the axis that starts there.
    MTriangleTrimPosition e = t.Position();
    e.SetEndPointOfAxis(0, *t.tri);
    ExpectHomogeneous(e, 0, 1, 1);
    EXPECT_EQ(e.GetPositionCode(), 1);
    EXPECT_EQ(e.GetPoint(), t.p1);
    EXPECT_EQ(e.GetY(), 10);
    e.SetEndPointOfAxis(1, *t.tri);
    ExpectHomogeneous(e, 1, 0, 1);
    EXPECT_EQ(e.GetPositionCode(), 2);
    EXPECT_EQ(e.GetPoint(), t.p2);
    e.SetEndPointOfAxis(2, *t.tri);
    ExpectHomogeneous(e, 0, 0, 1);
    EXPECT_EQ(e.GetPositionCode(), 0);
    EXPECT_EQ(e.GetPoint(), t.p0);

    // AddPoint finds the existing mesh point through the system's element.
    MTriangleTrimPosition m = t.Position();
    m.CalculateAsOffsetOnAxis(0, 1, 1);
    const uint64_t before = t.mesh.GetNumberOfPoints();
    m.AddPoint(nullptr);
    EXPECT_EQ(m.GetPoint(), t.p1);
    EXPECT_EQ(t.mesh.GetNumberOfPoints(), before);
}

TEST(TrimCSPosition, LineThroughPlane) {
    SmallTriangle t;
    MTriangleTrimPosition p = t.Position();
    // Exactly through P2 and P1: snapped to the unit coordinates.
    p.CalculateIntersectionWithLine(t.mesh.AddPoint(10, 0, -5), t.mesh.AddPoint(10, 0, 7));
    ExpectHomogeneous(p, 1, 0, 1);
    EXPECT_EQ(p.GetPositionCode(), 1);
    p.CalculateIntersectionWithLine(t.mesh.AddPoint(0, 10, 3), t.mesh.AddPoint(0, 10, -3));
    ExpectHomogeneous(p, 0, 1, 1);
    EXPECT_EQ(p.GetPositionCode(), 0);
    // Through P0: (0, 0, w) with w kept.
    p.CalculateIntersectionWithLine(t.mesh.AddPoint(0, 0, 3), t.mesh.AddPoint(0, 0, 5));
    EXPECT_EQ(p.GetA(), 0.0);
    EXPECT_EQ(p.GetB(), 0.0);
    EXPECT_EQ(p.GetW(), 200.0);
    EXPECT_EQ(p.GetPositionCode(), 0);
    // A slanted line: (0,0,10) → (4,8,−10) meets z = 0 at (2, 4).
    p.CalculateIntersectionWithLine(t.mesh.AddPoint(0, 0, 10), t.mesh.AddPoint(4, 8, -10));
    EXPECT_EQ(p.GetPositionCode(), 5);
    EXPECT_EQ(p.GetX(), 2); EXPECT_EQ(p.GetY(), 4); EXPECT_EQ(p.GetZ(), 0);
    // A line parallel to the plane has no crossing.
    p.CalculateIntersectionWithLine(t.mesh.AddPoint(0, 0, 10), t.mesh.AddPoint(4, 8, 10));
    EXPECT_EQ(p.GetW(), 0.0);
    EXPECT_EQ(p.GetPositionCode(), 4);
    // One point: placed by a 2-D solve.
    MStlPoint* single = t.mesh.AddPoint(5, 5, 9);
    p.CalculateIntersectionWithLine(single, single);
    EXPECT_EQ(p.GetPositionCode(), 1);
    EXPECT_EQ(p.GetZ(), 0);
}

TEST(TrimCSPosition, SegmentAgainstEdge) {
    SmallTriangle t;
    MTriangleTrimPosition p = t.Position();
    MMVector3l a(-5, 5, 0), b(5, 5, 0);
    ASSERT_TRUE(p.CalculateIntersectionOfAxisWithLine(0, a, b));
    EXPECT_EQ(p.GetPositionCode(), 0);
    EXPECT_EQ(p.GetX(), 0); EXPECT_EQ(p.GetY(), 5);
    ASSERT_TRUE(p.CalculateIntersectionOfAxisWithLine(1, a, b));  // crosses P1–P2 at (5, 5)
    EXPECT_EQ(p.GetPositionCode(), 1);
    EXPECT_EQ(p.GetX(), 5);
    EXPECT_FALSE(p.CalculateIntersectionOfAxisWithLine(2, a, b));  // parallel to b = 0

    // Hits at an end of the segment (s = 0, s = den) or of the edge (t = 0, t = den).
    MMVector3l onEdge(0, 5, 0), right(6, 5, 0), left(-6, 5, 0);
    EXPECT_TRUE(p.CalculateIntersectionOfAxisWithLine(0, onEdge, right));
    EXPECT_TRUE(p.CalculateIntersectionOfAxisWithLine(0, left, onEdge));
    MMVector3l low(-3, 0, 0), lowRight(3, 0, 0);
    ASSERT_TRUE(p.CalculateIntersectionOfAxisWithLine(0, low, lowRight));
    EXPECT_EQ(p.GetB(), 0.0);  // t = 0: at P0
    EXPECT_EQ(p.GetPositionCode(), 0);
    MMVector3l top(-3, 10, 0), topRight(3, 10, 0);
    ASSERT_TRUE(p.CalculateIntersectionOfAxisWithLine(0, top, topRight));
    EXPECT_EQ(p.GetB(), p.GetW());  // t = den: at P1
    // Just past either end misses.
    MMVector3l past(1, 5, 0);
    EXPECT_FALSE(p.CalculateIntersectionOfAxisWithLine(0, past, right));
    MMVector3l above(-3, 11, 0), aboveRight(3, 11, 0);
    EXPECT_FALSE(p.CalculateIntersectionOfAxisWithLine(0, above, aboveRight));
    EXPECT_FALSE(p.CalculateIntersectionOfAxisWithLine(3, a, b));

    // Seen from above: the line x = 3 crosses axis 2 (P2 → P0) at (3, 0).
    p.CalculateIntersectionOfAxisWithLine2d(2, 3, -5, 0, 1);
    EXPECT_EQ(p.GetPositionCode(), 2);
    EXPECT_EQ(p.GetA() / p.GetW(), 0.3);
    EXPECT_EQ(p.GetX(), 3); EXPECT_EQ(p.GetY(), 0);
    // No range check: axis 0's line (x = 0) met beyond P1 by y = 20.
    p.CalculateIntersectionOfAxisWithLine2d(0, -4, 20, 1, 0);
    EXPECT_EQ(p.GetPositionCode(), 4);
    EXPECT_EQ(p.GetY(), 20);
    // Parallel: code 4, no division.
    p.CalculateIntersectionOfAxisWithLine2d(0, 5, 5, 0, 3);
    EXPECT_EQ(p.GetPositionCode(), 4);
}

TEST(TrimCSPosition, PassesSystem) {
    SmallTriangle t;
    MTriangleTrimPosition p = t.Position();
    long point[3] = {2, 2, 10}, down[3] = {0, 0, -1};
    double num = 0, den = 0;
    EXPECT_TRUE(p.PASSES_SYSTEM(point, down, num, den));
    EXPECT_EQ(den, 100.0);
    EXPECT_EQ(num, -1000.0);  // hit = point − (num/den)·D = (2, 2, 0)
    EXPECT_EQ(p.GetPositionCode(), 5);
    EXPECT_EQ(p.GetZ(), 0);
    long corner[3] = {10, 0, -4};
    EXPECT_TRUE(p.PASSES_SYSTEM(corner, down, num, den));
    EXPECT_EQ(p.GetPositionCode(), 1);
    long outside[3] = {10, 1, 5};
    EXPECT_FALSE(p.PASSES_SYSTEM(outside, down, num, den));
    long sideways[3] = {1, 0, 0};
    EXPECT_FALSE(p.PASSES_SYSTEM(point, sideways, num, den));
    EXPECT_EQ(den, 0.0);
}

TEST(TrimCSDegenerate, ZeroAreaTriangle) {
    MStlBase mesh;
    MStlPoint* p0 = mesh.AddPoint(0, 0, 0);
    MStlPoint* p1 = mesh.AddPoint(5, 5, 5);
    MStlPoint* p2 = mesh.AddPoint(10, 10, 10);  // collinear
    MTriangleTrimCS cs;
    cs.SetTriangle(p0, p1, p2, nullptr);
    EXPECT_TRUE(cs.IsDegenerate());
    MTriangleTrimPosition p;
    p.SetCS(&cs);
    p.CalculatePositionOfPoint(p1);
    EXPECT_EQ(p.GetPositionCode(), 4);
    EXPECT_EQ(p.GetW(), 0.0);
    EXPECT_FALSE(p.CalculatePositionOfPoint2d(1, 1));
    p.CalculateIntersectionWithLine(p1, p1);
    EXPECT_EQ(p.GetPositionCode(), 4);
    p.CalculateIntersectionWithLine(p0, mesh.AddPoint(0, 0, 9));
    EXPECT_EQ(p.GetPositionCode(), 4);
    long point[3] = {1, 2, 3}, dir[3] = {0, 0, 1};
    double num = 1, den = 1;
    EXPECT_FALSE(p.PASSES_SYSTEM(point, dir, num, den));
    EXPECT_EQ(den, 0.0);
    EXPECT_EQ(p.GetX(), 0);  // no point was made up

    // All three corners in one point.
    MTriangleTrimCS dot;
    dot.SetTriangle(p1, p1, p1, nullptr);
    EXPECT_TRUE(dot.IsDegenerate());
    p.SetCS(&dot);
    p.CalculatePositionOfPoint(p0);
    EXPECT_EQ(p.GetPositionCode(), 4);
}

// Coordinates near ±2^31: the 2-D determinants reach 2^64, beyond what a
// double holds exactly.
TEST(TrimCSExact, NearlyCollinearAtTheLimits) {
    MStlBase mesh;
    MStlPoint* p0 = mesh.AddPoint(-kMax, kMax, 0);
    MStlPoint* p1 = mesh.AddPoint(-kMax, -kMax, 0);
    MStlPoint* p2 = mesh.AddPoint(kMax, kMax - 1, 0);
    MTriangleTrimCS cs;
    cs.SetTriangle(p0, p1, p2, nullptr);
    MTriangleTrimPosition p;
    p.SetCS(&cs);

    // One step outside the long edge P1–P2; the plain double formula puts it
    // one unit inside.
    p.CalculatePositionOfPoint(mesh.AddPoint(kMax - 1, kMax - 2, 0));
    EXPECT_EQ(p.GetPositionCode(), 4);
    EXPECT_EQ(p.POSITION_TO_AXIS(1), 4);
    EXPECT_EQ(p.POSITION_TO_AXIS(0), 5);
    EXPECT_EQ(p.POSITION_TO_AXIS(2), 5);
    // One step inside; the plain formula puts it on the edge.
    p.CalculatePositionOfPoint(mesh.AddPoint(-kMax + 1, -kMax + 1, 0));
    EXPECT_EQ(p.GetPositionCode(), 5);
    EXPECT_EQ(p.POSITION_TO_AXIS(1), 5);
    // One step beyond P1 along the edge, at the most negative coordinate.
    p.CalculatePositionOfPoint(mesh.AddPoint(kMin, kMin, 0));
    EXPECT_EQ(p.GetPositionCode(), 4);
    // The corners themselves.
    p.CalculatePositionOfPoint(p2);
    EXPECT_EQ(p.GetPositionCode(), 1);
    EXPECT_EQ(p.GetX(), kMax);
    EXPECT_EQ(p.GetY(), kMax - 1);
    p.CalculatePositionOfPoint(p1);
    EXPECT_EQ(p.GetPositionCode(), 0);
    EXPECT_EQ(p.GetX(), -kMax);

    // The line through P2 is snapped exactly.
    p.CalculateIntersectionWithLine(mesh.AddPoint(kMax, kMax - 1, 1000), mesh.AddPoint(kMax, kMax - 1, -kMax));
    EXPECT_EQ(p.GetA(), 1.0);
    EXPECT_EQ(p.GetB(), 0.0);
    EXPECT_EQ(p.GetW(), 1.0);
}

// A big axis-aligned triangle: the hypotenuse x + y = 0 passes lattice points,
// and the 3×3 determinants of a vertical line reach about 2^96.
TEST(TrimCSExact, OnTheEdgeAtTheLimits) {
    MStlBase mesh;
    MStlPoint* p0 = mesh.AddPoint(-kMax, -kMax, -kMax);
    MStlPoint* p1 = mesh.AddPoint(-kMax, kMax, kMax);
    MStlPoint* p2 = mesh.AddPoint(kMax, -kMax, kMax);
    MTriangleTrimCS cs;
    cs.SetTriangle(p0, p1, p2, nullptr);
    MTriangleTrimPosition p;
    p.SetCS(&cs);

    long down[3] = {0, 0, -1};
    double num = 0, den = 0;
    long onEdge[3] = {12345, -12345, kMax};  // on P1–P2 (x + y = 0)
    ASSERT_TRUE(p.PASSES_SYSTEM(onEdge, down, num, den));
    EXPECT_EQ(p.GetPositionCode(), 1);
    EXPECT_EQ(p.POSITION_TO_AXIS(1), 3);
    long justOut[3] = {12346, -12345, kMax};
    EXPECT_FALSE(p.PASSES_SYSTEM(justOut, down, num, den));
    long justIn[3] = {12344, -12345, kMax};
    EXPECT_TRUE(p.PASSES_SYSTEM(justIn, down, num, den));
    EXPECT_EQ(p.GetPositionCode(), 5);
    long onAxis0[3] = {-kMax, 77777, 0};  // on P0–P1 (x = −max)
    EXPECT_TRUE(p.PASSES_SYSTEM(onAxis0, down, num, den));
    EXPECT_EQ(p.GetPositionCode(), 0);
    long beyond[3] = {-kMax - 1, 77777, 0};
    EXPECT_FALSE(p.PASSES_SYSTEM(beyond, down, num, den));

    // A slanted direction with components near 2^31 (determinants near
    // 2^96): the hit is exactly (1000, -1000, max) on P1-P2, which the plain
    // double formula puts strictly inside.
    long slanted[3] = {2147483011, -2147480001, 2147471234};
    long fromFar[3] = {-2147482011, 2147479001, 12413};
    ASSERT_TRUE(p.PASSES_SYSTEM(fromFar, slanted, num, den));
    EXPECT_EQ(p.GetPositionCode(), 1);
    EXPECT_EQ(p.POSITION_TO_AXIS(1), 3);
    EXPECT_EQ(p.GetX(), 1000);
    EXPECT_EQ(p.GetY(), -1000);
    long fromFarOut[3] = {-2147482010, 2147479001, 12413};
    EXPECT_FALSE(p.PASSES_SYSTEM(fromFarOut, slanted, num, den));
    long fromFarIn[3] = {-2147482012, 2147479001, 12413};
    ASSERT_TRUE(p.PASSES_SYSTEM(fromFarIn, slanted, num, den));
    EXPECT_EQ(p.GetPositionCode(), 5);

    // The same points through a line of two mesh points.
    p.CalculateIntersectionWithLine(mesh.AddPoint(1, -1, kMax), mesh.AddPoint(1, -1, -kMax));
    EXPECT_EQ(p.GetPositionCode(), 1);
    EXPECT_EQ(p.GetX(), 1);
    EXPECT_EQ(p.GetY(), -1);
    p.CalculateIntersectionWithLine(mesh.AddPoint(2, -1, kMax), mesh.AddPoint(2, -1, -kMax));
    EXPECT_EQ(p.GetPositionCode(), 4);

    // Seen from above, a segment across the hypotenuse at its middle.
    MMVector3l a(-kMax, -kMax, 0), b(kMax, kMax, 0);
    ASSERT_TRUE(p.CalculateIntersectionOfAxisWithLine(1, a, b));
    EXPECT_EQ(p.GetPositionCode(), 1);
    EXPECT_EQ(p.GetX(), 0);
    EXPECT_EQ(p.GetY(), 0);
}
