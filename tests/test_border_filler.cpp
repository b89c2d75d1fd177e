#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <numbers>
#include <utility>
#include <vector>

#include "host/MStlBorderFiller.h"

namespace {

struct Xyz {
    int32_t x, y, z;
};

// Appends a contour made of new mesh points at the given positions.
std::vector<MStlPoint*> AddContour(MStlBase& mesh, MStlCutBorder& border, const std::vector<Xyz>& ring,
                                   bool alwaysNew = false) {
    MStlCutContour* c = border.AddContour();
    c->SetClosed(true);
    std::vector<MStlPoint*> points;
    for (const Xyz& p : ring) {
        MStlPoint* mp = mesh.AddPoint(p.x, p.y, p.z, alwaysNew);
        c->AddPoint(p.x, p.y, p.z, mp);
        points.push_back(mp);
    }
    return points;
}

std::vector<Xyz> Square(int32_t lo, int32_t hi, int32_t z, bool counterClockwise) {
    std::vector<Xyz> s{{lo, lo, z}, {hi, lo, z}, {hi, hi, z}, {lo, hi, z}};
    if (!counterClockwise) std::swap(s[1], s[3]);
    return s;
}

using Triangle = std::array<MStlPoint*, 3>;

std::vector<Triangle> Result(const MStlBorderFiller& f) {
    std::vector<Triangle> out;
    for (uint64_t i = 0; i < f.GetNumTriangles(); ++i) out.push_back({f.GetResult(i, 0), f.GetResult(i, 1), f.GetResult(i, 2)});
    return out;
}

// Every edge a -> b of the ring is a -> b in exactly one triangle and b -> a
// in none.
void ExpectEdgesFollowContour(const std::vector<Triangle>& tris, const std::vector<MStlPoint*>& ring) {
    for (size_t i = 0; i < ring.size(); ++i) {
        MStlPoint* a = ring[i];
        MStlPoint* b = ring[(i + 1) % ring.size()];
        int forward = 0, backward = 0;
        for (const Triangle& t : tris)
            for (int k = 0; k < 3; ++k) {
                forward += t[size_t(k)] == a && t[size_t((k + 1) % 3)] == b;
                backward += t[size_t(k)] == b && t[size_t((k + 1) % 3)] == a;
            }
        EXPECT_EQ(forward, 1) << "contour edge " << i;
        EXPECT_EQ(backward, 0) << "contour edge " << i;
    }
}

MMVector3d AreaVector(const Triangle& t) {
    const MMVector3d a = t[0]->GetVector(), b = t[1]->GetVector(), c = t[2]->GetVector();
    return (b - a).Cross(c - a) * 0.5;
}

MMVector3d TotalAreaVector(const std::vector<Triangle>& tris) {
    MMVector3d sum;
    for (const Triangle& t : tris) sum += AreaVector(t);
    return sum;
}

MMVector3d Centroid(const Triangle& t) {
    return (t[0]->GetVector() + t[1]->GetVector() + t[2]->GetVector()) * (1.0 / 3.0);
}

bool Fill(MStlBorderFiller& f, const MStlCutBorder& border) {
    f.SetInputBorder(&border);
    return f.Operate();
}

}  // namespace

TEST(BorderFiller, SquareFollowsContourDirection) {
    for (const bool ccw : {true, false}) {
        MStlBase mesh;
        MStlCutBorder border;
        const auto ring = AddContour(mesh, border, Square(0, 10, 5, ccw));
        MStlBorderFiller f;
        f.SetInputContour(border.GetFirstContour());
        ASSERT_TRUE(f.Operate());
        const auto tris = Result(f);
        ASSERT_EQ(tris.size(), 2u);
        ExpectEdgesFollowContour(tris, ring);
        for (const Triangle& t : tris) EXPECT_DOUBLE_EQ(AreaVector(t)[2], ccw ? 50.0 : -50.0);
        EXPECT_EQ(mesh.GetNumberOfTriangles(), 0u);  // not asked to add
    }
}

TEST(BorderFiller, RepeatedPointsAndSlantedPlane) {
    MStlBase mesh;
    MStlCutBorder border;
    // Consecutive repeats and a closing copy of the first point are dropped.
    const auto ring = AddContour(mesh, border, {{0, 0, 0}, {0, 0, 0}, {1000, 0, 0}, {1000, 1000, 0},
                                                {1000, 1000, 0}, {0, 1000, 0}, {0, 0, 0}});
    MStlBorderFiller f;
    ASSERT_TRUE(Fill(f, border));
    EXPECT_EQ(f.GetNumTriangles(), 2u);
    ExpectEdgesFollowContour(Result(f), {ring[0], ring[2], ring[3], ring[5]});

    // Square with a hole in the plane z = x + y / 2.
    MStlBase slanted;
    MStlCutBorder sb;
    auto lift = [](std::vector<Xyz> r) {
        for (Xyz& p : r) p.z = p.x + p.y / 2;
        return r;
    };
    const auto outer = AddContour(slanted, sb, lift(Square(0, 3000, 0, true)));
    const auto hole = AddContour(slanted, sb, lift(Square(1000, 2000, 0, false)));
    ASSERT_TRUE(Fill(f, sb));
    const auto tris = Result(f);
    EXPECT_EQ(tris.size(), 8u);
    ExpectEdgesFollowContour(tris, outer);
    ExpectEdgesFollowContour(tris, hole);
    const MMVector3d area = TotalAreaVector(tris);
    EXPECT_NEAR(area[2], 3000.0 * 3000 - 1000.0 * 1000, 1e-6);  // projected area of the annulus
}

TEST(BorderFiller, HolesAndIslands) {
    MStlBase mesh;
    MStlCutBorder border;
    // The hole is listed first: contour order must not matter.
    const auto hole = AddContour(mesh, border, Square(10, 20, 0, false));
    const auto outer = AddContour(mesh, border, Square(0, 30, 0, true));
    MStlBorderFiller f;
    ASSERT_TRUE(Fill(f, border));
    auto tris = Result(f);
    ASSERT_EQ(tris.size(), 8u);
    ExpectEdgesFollowContour(tris, outer);
    ExpectEdgesFollowContour(tris, hole);
    auto inHole = [](const MMVector3d& c, double lo, double hi) {
        return c[0] > lo && c[0] < hi && c[1] > lo && c[1] < hi;
    };
    for (const Triangle& t : tris) {
        EXPECT_FALSE(inHole(Centroid(t), 10, 20));
        EXPECT_GT(AreaVector(t)[2], 0.0);
    }
    EXPECT_DOUBLE_EQ(TotalAreaVector(tris)[2], 900.0 - 100.0);

    const auto island = AddContour(mesh, border, Square(13, 17, 0, true));
    ASSERT_TRUE(Fill(f, border));
    tris = Result(f);
    ASSERT_EQ(tris.size(), 10u);
    ExpectEdgesFollowContour(tris, island);
    int islandTriangles = 0;
    for (const Triangle& t : tris) {
        const MMVector3d c = Centroid(t);
        EXPECT_FALSE(inHole(c, 10, 20) && !inHole(c, 13, 17));
        islandTriangles += inHole(c, 13, 17);
        EXPECT_GT(AreaVector(t)[2], 0.0);
    }
    EXPECT_EQ(islandTriangles, 2);
    EXPECT_DOUBLE_EQ(TotalAreaVector(tris)[2], 900.0 - 100.0 + 16.0);
}

TEST(BorderFiller, NonConvexAndLargeContours) {
    MStlBase mesh;
    MStlCutBorder border;
    const auto ell = AddContour(mesh, border, {{0, 0, 7}, {20, 0, 7}, {20, 10, 7}, {10, 10, 7}, {10, 20, 7}, {0, 20, 7}});
    MStlBorderFiller f;
    ASSERT_TRUE(Fill(f, border));
    auto tris = Result(f);
    ASSERT_EQ(tris.size(), 4u);
    ExpectEdgesFollowContour(tris, ell);
    for (const Triangle& t : tris) {
        const MMVector3d c = Centroid(t);
        EXPECT_FALSE(c[0] > 10 && c[1] > 10) << "triangle in the notch";
        EXPECT_GT(AreaVector(t)[2], 0.0);
    }
    EXPECT_DOUBLE_EQ(TotalAreaVector(tris)[2], 300.0);

    MStlBase circleMesh;
    MStlCutBorder circle;
    std::vector<Xyz> ring;
    for (int i = 0; i < 1000; ++i) {
        const double a = -2.0 * std::numbers::pi * i / 1000;  // clockwise
        ring.push_back({int32_t(std::lround(100000 * std::cos(a))), int32_t(std::lround(100000 * std::sin(a))), 0});
    }
    const auto points = AddContour(circleMesh, circle, ring);
    ASSERT_TRUE(Fill(f, circle));
    tris = Result(f);
    EXPECT_EQ(tris.size(), 998u);
    ExpectEdgesFollowContour(tris, points);
    double shoelace = 0;
    for (size_t i = 0; i < ring.size(); ++i) {
        const Xyz &p = ring[i], &q = ring[(i + 1) % ring.size()];
        shoelace += 0.5 * (double(p.x) * q.y - double(q.x) * p.y);
    }
    EXPECT_NEAR(TotalAreaVector(tris)[2], shoelace, 1e-3);
}

TEST(BorderFiller, ClosesAnOpenBox) {
    MStlBase mesh;
    const int32_t s = 1000;
    MStlPoint* v[8];
    for (int i = 0; i < 8; ++i) v[i] = mesh.AddPoint(i & 1 ? s : 0, i & 2 ? s : 0, i & 4 ? s : 0);
    // Outward-facing cube without its top (z = s) face.
    const int faces[5][4] = {{0, 2, 3, 1}, {0, 1, 5, 4}, {1, 3, 7, 5}, {3, 2, 6, 7}, {2, 0, 4, 6}};
    for (const auto& q : faces) {
        mesh.AddTriangle(v[q[0]], v[q[1]], v[q[2]]);
        mesh.AddTriangle(v[q[0]], v[q[2]], v[q[3]]);
    }
    // The open rim runs 4 -> 6 -> 7 -> 5 in the mesh; the fill must run it
    // the other way.
    MStlCutBorder border;
    MStlCutContour* c = border.AddContour();
    for (const int i : {4, 5, 7, 6}) c->AddPoint(v[i]->GetX(), v[i]->GetY(), v[i]->GetZ(), v[i]);

    MStlSurface* lid = mesh.AddSurface();
    MStlBorderFiller f;
    f.SetStl(&mesh);
    f.SetOutputSurface(lid);
    f.SetAddTriangles(true);
    ASSERT_TRUE(Fill(f, border));
    EXPECT_EQ(mesh.GetNumberOfTriangles(), 12u);
    EXPECT_EQ(lid->GetNumberOfTriangles(), 2u);

    std::map<std::pair<MStlPoint*, MStlPoint*>, int> directed;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        for (int k = 0; k < 3; ++k) ++directed[{it->GetPoint(k), it->GetPoint((k + 1) % 3)}];
    EXPECT_EQ(directed.size(), 36u);
    for (const auto& [edge, count] : directed) {
        EXPECT_EQ(count, 1);
        const auto back = directed.find({edge.second, edge.first});
        EXPECT_TRUE(back != directed.end() && back->second == 1);
    }
    EXPECT_DOUBLE_EQ(mesh.Volume(), double(s) * s * s);
}

TEST(BorderFiller, DegenerateInputFailsCleanly) {
    MStlBorderFiller f;
    EXPECT_FALSE(f.Operate());  // no input at all

    MStlBase mesh;
    MStlCutBorder empty;
    EXPECT_FALSE(Fill(f, empty));
    empty.AddContour();
    EXPECT_FALSE(Fill(f, empty));

    MStlCutBorder two;
    AddContour(mesh, two, {{0, 0, 0}, {10, 0, 0}});
    EXPECT_FALSE(Fill(f, two));

    MStlCutBorder collinear;
    AddContour(mesh, collinear, {{0, 0, 0}, {10, 10, 10}, {20, 20, 20}, {30, 30, 30}, {15, 15, 15}});
    EXPECT_FALSE(Fill(f, collinear));
    EXPECT_EQ(f.GetNumTriangles(), 0u);

    MStlCutBorder repeated;
    AddContour(mesh, repeated, {{5, 5, 5}, {5, 5, 5}, {5, 5, 5}, {5, 5, 5}});
    EXPECT_FALSE(Fill(f, repeated));

    MStlCutBorder bowTie;  // crossing edges
    AddContour(mesh, bowTie, {{0, 0, 0}, {10, 10, 0}, {10, 0, 0}, {0, 10, 0}});
    EXPECT_FALSE(Fill(f, bowTie));
    EXPECT_EQ(f.GetNumTriangles(), 0u);

    MStlCutBorder square;
    AddContour(mesh, square, Square(0, 10, 0, true));
    f.SetParameters({5});
    EXPECT_FALSE(Fill(f, square));  // below the minimum size
    f.SetParameters({4});
    EXPECT_TRUE(Fill(f, square));
    f.EmptyHoleBorder();
    EXPECT_EQ(f.GetNumTriangles(), 0u);
    EXPECT_FALSE(f.Operate());

    // Asked to add triangles with no mesh or surface to add them to.
    f.SetAddTriangles(true);
    EXPECT_FALSE(Fill(f, square));
}

TEST(BorderFiller, CoincidentDistinctPoints) {
    // One contour touching itself at (10, 10) through two different mesh
    // points: the triangulation merges them and still fills both lobes.
    MStlBase mesh;
    MStlCutBorder border;
    const auto ring = AddContour(mesh, border,
                                 {{0, 0, 0}, {10, 0, 0}, {10, 10, 0}, {20, 10, 0}, {20, 20, 0}, {10, 20, 0}, {10, 10, 0}, {0, 10, 0}},
                                 true);
    ASSERT_NE(ring[2], ring[6]);
    MStlBorderFiller f;
    ASSERT_TRUE(Fill(f, border));
    const auto tris = Result(f);
    EXPECT_EQ(tris.size(), 4u);
    for (const Triangle& t : tris) {
        EXPECT_NE(t[0], ring[6]);  // the merged vertex keeps one mesh point
        EXPECT_NE(t[1], ring[6]);
        EXPECT_NE(t[2], ring[6]);
        EXPECT_GT(AreaVector(t)[2], 0.0);
    }
    EXPECT_DOUBLE_EQ(TotalAreaVector(tris)[2], 200.0);
}

TEST(BorderFiller, ContourTouchingOthersAtEachCornerStillTellsItsDirection) {
    // Loops a contour crossing itself was divided into touch at the points
    // it was divided at.  Here a loop inside the square runs the square's
    // way, so it is no hole: the region is covered twice.  Each of its
    // corners is a point of another contour: the square's corner and two
    // small loops, also inside the square and running its way.  Every
    // contour edge must run forward in exactly one triangle.
    MStlBase mesh;
    MStlCutBorder border;
    const auto square = AddContour(mesh, border, Square(0, 1000, 0, true));
    const auto inner = AddContour(mesh, border, {{0, 0, 0}, {300, 100, 0}, {100, 300, 0}});
    const auto right = AddContour(mesh, border, {{300, 100, 0}, {400, 100, 0}, {350, 150, 0}});
    const auto top = AddContour(mesh, border, {{100, 300, 0}, {150, 350, 0}, {100, 400, 0}});
    MStlBorderFiller f;
    ASSERT_TRUE(Fill(f, border));
    const auto tris = Result(f);
    for (const auto* ring : {&square, &inner, &right, &top}) ExpectEdgesFollowContour(tris, *ring);
}
