// Retriangulation of trimmed triangles: contours chained from trim segments,
// closed along the triangle's edges, tiled into pieces per list.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

#include "MTriangleTrimRetriangulator.h"

namespace {

using Cross = std::array<int64_t, 3>;

Cross AreaVector(const MStlTriangle& t) {
    const MStlPoint *a = t.GetPoint(0), *b = t.GetPoint(1), *c = t.GetPoint(2);
    const int64_t u[3] = {b->GetX() - a->GetX(), b->GetY() - a->GetY(), b->GetZ() - a->GetZ()};
    const int64_t v[3] = {c->GetX() - a->GetX(), c->GetY() - a->GetY(), c->GetZ() - a->GetZ()};
    return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

int64_t Dot(const Cross& a, const Cross& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// A mesh with one triangle P0, P1, P2 and its trim info.  In (a/w, b/w) the
// triangle is P0 = (0, 0), P1 = (0, 1), P2 = (1, 0); the corners are chosen so
// that grid point (x, y) has (a/w, b/w) = (x/1000, y/1000).
struct Fixture {
    MStlBase mesh;
    MStlTriangleElement* triangle = nullptr;
    std::unique_ptr<MTriangleTrimInfo> info;

    explicit Fixture(const std::array<int32_t, 9>& c = {0, 0, 0, 0, 1000, 0, 1000, 0, 0}) {
        MStlPoint* p0 = mesh.AddPoint(c[0], c[1], c[2]);
        MStlPoint* p1 = mesh.AddPoint(c[3], c[4], c[5]);
        MStlPoint* p2 = mesh.AddPoint(c[6], c[7], c[8]);
        triangle = mesh.AddTriangle(p0, p1, p2);
        triangle->SetStatus(1);
        triangle->SetFacing(MStlTriangle::eFacingDown);
        info = std::make_unique<MTriangleTrimInfo>(triangle, nullptr);
    }

    MTriangleTrimPosition At(long x, long y) {
        MTriangleTrimPosition p;
        p.SetCS(&info->GetCS());
        EXPECT_TRUE(p.CalculatePositionOfPoint2d(x, y));
        return p;
    }
    MTriangleTrimPosition EndOfAxis(unsigned char axis) {
        MTriangleTrimPosition p;
        p.SetCS(&info->GetCS());
        p.SetEndPointOfAxis(axis, *triangle);
        return p;
    }
    // Segment with the kept region on its right.
    static MTriangleTrimIntersection Segment(const MTriangleTrimPosition& s, const MTriangleTrimPosition& e) {
        MTriangleTrimIntersection r;
        r.SetCS(s.GetCS());
        r.start = s;
        r.end = e;
        const double sx = s.GetA() / s.GetW(), sy = s.GetB() / s.GetW();
        const double dx = e.GetA() / e.GetW() - sx, dy = e.GetB() / e.GetW() - sy;
        r.line.Set(dy, -dx, dy * sx - dx * sy);
        return r;
    }
    // As the profile cutter records a wall piece: list 0 as given, list 1
    // reversed.
    void AddWall(const MTriangleTrimPosition& s, const MTriangleTrimPosition& e) {
        const MTriangleTrimIntersection r = Segment(s, e);
        info->GetList(0)->AddIntersection(r, false);
        info->GetList(1)->AddIntersection(r, true);
    }
    void AddToList(unsigned list, const MTriangleTrimPosition& s, const MTriangleTrimPosition& e) {
        info->GetList(list)->AddIntersection(Segment(s, e), false);
    }

    std::vector<MStlTriangle*> NewTriangles() const {
        std::vector<MStlTriangle*> out;
        for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
            if (*it != triangle) out.push_back(*it);
        return out;
    }
};

struct Tiling {
    int count[256] = {};
    int64_t area[256] = {};  // twice the area
    Cross sum = {0, 0, 0};
};

// Checks that every new triangle keeps the original's orientation and state
// and uses only allowed points; sums the pieces by status.
Tiling CheckTiling(const Fixture& f, const std::set<const MStlPoint*>& segmentEnds) {
    Tiling t;
    const Cross original = AreaVector(*f.triangle);
    for (MStlTriangle* n : f.NewTriangles()) {
        const Cross a = AreaVector(*n);
        EXPECT_GT(Dot(a, original), 0) << "piece flipped or without area";
        EXPECT_EQ(n->GetFacing(), f.triangle->GetFacing());
        EXPECT_EQ(n->GetSurface(), f.triangle->GetSurface());
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = n->GetPoint(k);
            EXPECT_TRUE(f.triangle->IndexOfPoint(p) >= 0 || segmentEnds.count(p)) << "foreign point";
        }
        ++t.count[n->GetStatus()];
        t.area[n->GetStatus()] += static_cast<int64_t>(std::sqrt(double(Dot(a, a))) + 0.5);
        for (int k = 0; k < 3; ++k) t.sum[size_t(k)] += a[size_t(k)];
    }
    EXPECT_EQ(t.sum, original) << "pieces do not tile the triangle";
    return t;
}

std::set<const MStlPoint*> Points(std::initializer_list<MTriangleTrimPosition> ps, MStlBase& mesh) {
    std::set<const MStlPoint*> out;
    for (const auto& p : ps) out.insert(mesh.GetPoint(p.GetX(), p.GetY(), p.GetZ()));
    return out;
}

// The profile cutter's statuses, with a fifth value that shows.
struct CutterRetriangulator : MTriangleTrimRetriangulator {
    CutterRetriangulator() { SetTriangulationStatus(2, 4, 0, 0, 9); }
};

}  // namespace

TEST(TrimRetriangulator, EmptyListsLeaveTheMeshUntouched) {
    Fixture f;
    CutterRetriangulator r;
    EXPECT_FALSE(r.CreateNewTriangles(*f.info, 0));
    EXPECT_EQ(r.GetError(), 0u);
    EXPECT_EQ(f.mesh.GetNumberOfTriangles(), 1u);
    EXPECT_EQ(f.mesh.GetNumberOfPoints(), 3u);
    EXPECT_EQ(f.triangle->GetStatus(), 1);
}

TEST(TrimRetriangulator, SegmentsFromEdgeToEdge) {
    {  // One wall cutting off corner P0: the kept side (right) holds P0.
        Fixture f;
        const auto e = f.At(0, 500), g = f.At(500, 0);
        f.AddWall(e, g);
        CutterRetriangulator r;
        ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
        EXPECT_EQ(r.GetError(), 0u);
        const Tiling t = CheckTiling(f, Points({e, g}, f.mesh));
        EXPECT_EQ(t.count[2], 1);
        EXPECT_EQ(t.count[4], 2);
        EXPECT_EQ(t.area[2], 250000);
        EXPECT_EQ(t.area[4], 750000);
        EXPECT_EQ(f.triangle->GetStatus(), 9);
        EXPECT_EQ(f.info->GetList(0)->GetNumIntersections(), 0u);
        EXPECT_EQ(f.info->GetList(1)->GetNumIntersections(), 0u);
    }
    {  // Two disjoint walls: corners P0 and P2 kept, the middle goes to list 1.
        Fixture f;
        const auto e = f.At(0, 300), g = f.At(300, 0), h = f.At(700, 0), k = f.At(700, 300);
        f.AddWall(e, g);
        f.AddWall(h, k);
        CutterRetriangulator r;
        ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
        const Tiling t = CheckTiling(f, Points({e, g, h, k}, f.mesh));
        EXPECT_EQ(t.count[2], 2);
        EXPECT_EQ(t.count[4], 3);
        EXPECT_EQ(t.area[2], 2 * 90000);
        EXPECT_EQ(t.area[4], 1000000 - 180000);
    }
    {  // A tilted, scalene triangle: pieces keep its normal and tile it.
        Fixture f({0, 0, 0, 0, 1000, 500, 1000, 0, 200});
        const auto e = f.At(0, 500), g = f.At(500, 0);
        f.AddWall(g, e);  // kept side now away from P0
        CutterRetriangulator r;
        ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
        const Tiling t = CheckTiling(f, Points({e, g}, f.mesh));
        EXPECT_EQ(t.count[2], 2);
        EXPECT_EQ(t.count[4], 1);
    }
}

TEST(TrimRetriangulator, RecordAlongAnEdgeBesideACrossing) {
    // List 0 holds a wall cutting off corner P0 and a record lying on edge
    // P2 -> P0 away from that corner (where the other mesh only touches the
    // edge).  The edge record bounds nothing: list 0 keeps the corner alone,
    // list 1 the rest, and the rest divides the edge at the record's ends,
    // as the neighbour across the edge does.
    Fixture f;
    const auto e = f.At(0, 500), g = f.At(500, 0), s = f.At(800, 0), t = f.At(700, 0);
    f.AddWall(e, g);
    f.AddToList(0, s, t);
    CutterRetriangulator r;
    ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
    EXPECT_EQ(r.GetError(), 0u);
    const Tiling tiling = CheckTiling(f, Points({e, g, s, t}, f.mesh));
    EXPECT_EQ(tiling.area[2], 250000);
    EXPECT_EQ(tiling.area[4], 750000);
    for (const MTriangleTrimPosition* p : {&s, &t}) {
        const MStlPoint* point = f.mesh.GetPoint(p->GetX(), p->GetY(), p->GetZ());
        bool used = false;
        for (MStlTriangle* n : f.NewTriangles()) used = used || n->IndexOfPoint(point) >= 0;
        EXPECT_TRUE(used) << p->GetX();
    }
}

TEST(TrimRetriangulator, ClosedLoopInsideGivesIslandAndHole) {
    // Clockwise in (a/w, b/w): the right side, kept in list 0, is the inside.
    Fixture f;
    const auto a = f.At(200, 200), b = f.At(200, 400), c = f.At(400, 400), d = f.At(400, 200);
    f.AddWall(a, b);
    f.AddWall(b, c);
    f.AddWall(c, d);
    f.AddWall(d, a);
    CutterRetriangulator r;
    ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
    EXPECT_EQ(r.GetError(), 0u);
    const Tiling t = CheckTiling(f, Points({a, b, c, d}, f.mesh));
    EXPECT_EQ(t.count[2], 2);              // the island, a square
    EXPECT_EQ(t.area[2], 2 * 40000);
    EXPECT_EQ(t.count[4], 3 + 4 + 2 - 2);  // border and hole joined by a bridge
    EXPECT_EQ(t.area[4], 1000000 - 80000);
}

TEST(TrimRetriangulator, SegmentsMeetingAtAnInteriorCorner) {
    // E -> X -> F with X beyond the chord E-F: convex for list 0, reflex for 1.
    Fixture f;
    const auto e = f.At(0, 500), x = f.At(300, 300), g = f.At(500, 0);
    f.AddWall(x, g);
    f.AddWall(e, x);
    CutterRetriangulator r;
    ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
    const Tiling t = CheckTiling(f, Points({e, x, g}, f.mesh));
    EXPECT_EQ(t.count[2], 2);
    EXPECT_EQ(t.area[2], 300000);
    EXPECT_EQ(t.count[4], 3);
    EXPECT_EQ(t.area[4], 700000);
}

TEST(TrimRetriangulator, SegmentEndingAtATriangleCorner) {
    // From P1 to the middle of axis 2, P1 given by its end-of-axis code (1)
    // and by the code of the system test (0).
    for (bool endOfAxis : {true, false}) {
        Fixture f;
        const auto p1 = endOfAxis ? f.EndOfAxis(0) : f.At(0, 1000), g = f.At(500, 0);
        EXPECT_EQ(p1.GetPositionCode(), endOfAxis ? 1 : 0);
        f.AddWall(p1, g);
        CutterRetriangulator r;
        r.SaveExtraInfo();
        ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0)) << endOfAxis;
        const Tiling t = CheckTiling(f, Points({g}, f.mesh));
        EXPECT_EQ(t.count[2], 1);
        EXPECT_EQ(t.count[4], 1);
        EXPECT_EQ(t.area[2], 500000);
        EXPECT_EQ(t.area[4], 500000);
        EXPECT_EQ(r.GetNewTriangles().size(), 2u);
    }
}

TEST(TrimRetriangulator, WallsMeetingAtATriangleCorner) {
    // A narrow profile corner on a mesh vertex: a wedge from P0 to W and Z
    // on the far side, and beside it a wall that comes in over the far side
    // and goes back over side P0-P2.  The pieces beside the wedge close
    // round P1 and along the other sides, not along the wall leaving P0.
    Fixture f;
    const auto p0 = f.EndOfAxis(2), w = f.At(246, 754), z = f.At(243, 757);
    const auto y2 = f.At(759, 241), a = f.At(681, 0), b = f.At(678, 0), y = f.At(755, 245);
    f.AddWall(y2, a);
    f.AddWall(b, y);
    f.AddWall(w, p0);
    f.AddWall(p0, z);
    CutterRetriangulator r;
    ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
    const Tiling t = CheckTiling(f, Points({w, z, y2, a, b, y}, f.mesh));
    EXPECT_EQ(t.count[2], 3);
    EXPECT_EQ(t.count[4], 4);
}

TEST(TrimRetriangulator, ChooseByAngleTakesTheSharpestRightTurn) {
    // List 0 only: E -> X -> F closes a quad with P0; a triangle X, M, N
    // touches it at X.  At X both X -> F and X -> M start; the sharper right
    // turn is X -> F.  X -> M lies nearer the head, so it is found first.
    Fixture f;
    const auto e = f.At(0, 400), x = f.At(300, 300), g = f.At(400, 0);
    const auto m = f.At(350, 450), n = f.At(450, 350);
    f.AddToList(0, n, x);
    f.AddToList(0, m, n);
    f.AddToList(0, x, g);
    f.AddToList(0, x, m);
    f.AddToList(0, e, x);
    CutterRetriangulator r;
    r.SetSearchMode(false, true);
    r.SaveExtraInfo();
    ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
    // Two contours: the quad E, X, F, P0 first (two pieces), then X, M, N.
    const std::vector<MStlTriangle*>& pieces = r.GetNewTriangles();
    ASSERT_EQ(pieces.size(), 3u);
    const std::set<const MStlPoint*> quad = Points({e, x, g}, f.mesh);
    const std::set<const MStlPoint*> loop = Points({x, m, n}, f.mesh);
    int64_t area = 0;
    for (size_t i = 0; i < 3; ++i) {
        const Cross a = AreaVector(*pieces[i]);
        EXPECT_GT(Dot(a, AreaVector(*f.triangle)), 0);
        area += a[2];
        for (int k = 0; k < 3; ++k) {
            const MStlPoint* p = pieces[i]->GetPoint(k);
            if (i < 2) EXPECT_TRUE(quad.count(p) || p == f.triangle->GetPoint(0));
            else EXPECT_TRUE(loop.count(p));
        }
    }
    EXPECT_EQ(area, AreaVector(*f.triangle)[2] / 1000000 * 2 * (120000 + 10000));
}

TEST(TrimRetriangulator, ExtraInfoOnlyWhenSaved) {
    for (bool save : {false, true}) {
        Fixture f;
        const auto e = f.At(0, 500), g = f.At(500, 0);
        f.AddWall(e, g);
        CutterRetriangulator r;
        if (save) r.SaveExtraInfo();
        ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
        if (!save) {
            EXPECT_TRUE(r.GetNewTriangles().empty());
            EXPECT_TRUE(r.GetIntersectionPoints().empty());
            continue;
        }
        EXPECT_EQ(r.GetNewTriangles().size(), 3u);
        // List 0 adds E (axis 0) and F (axis 2); list 1 adds F and E.
        ASSERT_EQ(r.GetIntersectionPoints().size(), 4u);
        const MStlPoint* pe = f.mesh.GetPoint(0, 500, 0);
        const MStlPoint* pg = f.mesh.GetPoint(500, 0, 0);
        EXPECT_EQ(r.GetIntersectionPoints()[0].point, pe);
        EXPECT_EQ(r.GetIntersectionPoints()[0].code, 0);
        EXPECT_EQ(r.GetIntersectionPoints()[1].point, pg);
        EXPECT_EQ(r.GetIntersectionPoints()[1].code, 2);
        EXPECT_EQ(r.GetIntersectionPoints()[2].point, pg);
        EXPECT_EQ(r.GetIntersectionPoints()[3].point, pe);
    }
}

TEST(TrimRetriangulator, DegenerateTriangleIsRefused) {
    // Collinear corners (the host refuses coinciding ones).
    for (const std::array<int32_t, 9>& c : {std::array<int32_t, 9>{0, 0, 0, 500, 0, 0, 1000, 0, 0},
                                            std::array<int32_t, 9>{0, 0, 0, 2000, 1000, 0, 1000, 500, 0}}) {
        Fixture f(c);
        ASSERT_NE(f.triangle, nullptr);
        MTriangleTrimIntersection rec;
        rec.SetCS(&f.info->GetCS());
        rec.start.CalculateAsOffsetOnAxis(0, 1.0, 2.0);
        rec.end.CalculateAsOffsetOnAxis(2, 1.0, 2.0);
        rec.line.Set(1, 1, 1);
        f.info->GetList(0)->AddIntersection(rec, false);
        f.info->GetList(1)->AddIntersection(rec, true);
        CutterRetriangulator r;
        EXPECT_FALSE(r.CreateNewTriangles(*f.info, 0));
        EXPECT_TRUE(r.GetError() & MTriangleTrimRetriangulator::kErrorDegenerateTriangle);
        EXPECT_EQ(f.mesh.GetNumberOfTriangles(), 1u);
        EXPECT_EQ(f.triangle->GetStatus(), 1);
        EXPECT_EQ(f.info->GetList(0)->GetNumIntersections(), 1u);
    }
}

TEST(TrimRetriangulator, UnclosableContourLeavesNoPartialTiling) {
    {  // A wall ending inside the triangle: neither list closes.
        Fixture f;
        f.AddWall(f.At(0, 500), f.At(300, 300));
        CutterRetriangulator r;
        EXPECT_FALSE(r.CreateNewTriangles(*f.info, 0));
        EXPECT_TRUE(r.GetError() & MTriangleTrimRetriangulator::kErrorContourNotClosed);
        EXPECT_EQ(f.mesh.GetNumberOfTriangles(), 1u);
        EXPECT_EQ(f.triangle->GetStatus(), 1);
    }
    {  // List 0 closes, list 1 holds a dangling segment as well: nothing added.
        Fixture f;
        f.AddWall(f.At(0, 500), f.At(500, 0));
        f.AddToList(1, f.At(300, 300), f.At(350, 300));
        CutterRetriangulator r;
        r.SaveExtraInfo();
        EXPECT_FALSE(r.CreateNewTriangles(*f.info, 0));
        EXPECT_TRUE(r.GetError() & MTriangleTrimRetriangulator::kErrorContourNotClosed);
        EXPECT_EQ(f.mesh.GetNumberOfTriangles(), 1u);
        EXPECT_TRUE(r.GetNewTriangles().empty());
        EXPECT_EQ(f.triangle->GetStatus(), 1);
    }
    {  // The same retriangulator serves the next triangle normally.
        CutterRetriangulator r;
        Fixture bad, good;
        bad.AddWall(bad.At(0, 500), bad.At(300, 300));
        good.AddWall(good.At(0, 500), good.At(500, 0));
        EXPECT_FALSE(r.CreateNewTriangles(*bad.info, 0));
        EXPECT_TRUE(r.CreateNewTriangles(*good.info, 0));
        EXPECT_EQ(r.GetError(), 0u);
        EXPECT_EQ(good.mesh.GetNumberOfTriangles(), 4u);
    }
}

TEST(TrimRetriangulator, SearchAllListsFillsWithTheFiller) {
    {  // One segment in list 0 only: the corner at P0.
        Fixture f;
        f.AddToList(0, f.At(0, 500), f.At(500, 0));
        CutterRetriangulator r;
        r.SetSearchMode(true, false);
        ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
        const std::vector<MStlTriangle*> pieces = f.NewTriangles();
        ASSERT_EQ(pieces.size(), 1u);
        EXPECT_EQ(pieces[0]->GetStatus(), 2);
        EXPECT_EQ(AreaVector(*pieces[0])[2], AreaVector(*f.triangle)[2] / 4);
    }
    {  // A counterclockwise loop in list 0: the triangle with a square hole.
        Fixture f;
        const auto a = f.At(200, 200), b = f.At(400, 200), c = f.At(400, 400), d = f.At(200, 400);
        f.AddToList(0, a, b);
        f.AddToList(0, b, c);
        f.AddToList(0, c, d);
        f.AddToList(0, d, a);
        CutterRetriangulator r;
        r.SetSearchMode(true, false);
        ASSERT_TRUE(r.CreateNewTriangles(*f.info, 0));
        int64_t sum = 0;
        for (MStlTriangle* t : f.NewTriangles()) {
            EXPECT_GT(Dot(AreaVector(*t), AreaVector(*f.triangle)), 0);
            sum += AreaVector(*t)[2];
        }
        EXPECT_EQ(sum, AreaVector(*f.triangle)[2] / 1000000 * (1000000 - 80000));
    }
}

TEST(TrimRetriangulator, TrimBordersJoinSegmentsIntoPolylines) {
    Fixture f;
    const auto e = f.At(0, 500), x = f.At(300, 300), g = f.At(500, 0);
    f.AddWall(x, g);
    f.AddWall(e, x);
    CutterRetriangulator r;
    r.SetTrimBorder(true);
    ASSERT_TRUE(r.CreateNewTriangles(*f.info, 1));
    EXPECT_EQ(r.GetTrimBorder(0, 0)->GetNumberOfContours(), 0);
    ASSERT_EQ(r.GetTrimBorder(1, 0)->GetNumberOfContours(), 1);
    const MStlCutContour* c = r.GetTrimBorder(1, 0)->GetFirstContour();
    ASSERT_EQ(c->GetNumberOfPoints(), 3u);
    EXPECT_EQ(c->GetFirstPoint()->GetData(), f.mesh.GetPoint(0, 500, 0));
    EXPECT_EQ(c->GetLastPoint()->GetData(), f.mesh.GetPoint(500, 0, 0));
    ASSERT_EQ(r.GetTrimBorder(1, 1)->GetNumberOfContours(), 1);
    EXPECT_EQ(r.GetTrimBorder(1, 1)->GetFirstContour()->GetFirstPoint()->GetData(), f.mesh.GetPoint(500, 0, 0));
    EXPECT_EQ(r.GetTrimBorder(2, 0), nullptr);
}
