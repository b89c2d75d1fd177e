#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>
#include <utility>
#include <vector>

#include "cutter/MCutBorder.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"

namespace {

using Triangle = std::array<MStlPoint*, 3>;

struct Uv {
    double u, v;
};

// Appends a closed contour; every point stands for the mesh point at its
// rounded (u, v, 0).
MStlCutContour* AddRing(MCutBorder& border, MStlBase& mesh, const std::vector<Uv>& ring, bool alwaysNew = false) {
    MStlCutContour* c = border.AddContour();
    c->SetClosed(true);
    for (const Uv& p : ring)
        c->AddPoint(p.u, p.v, mesh.AddPoint(int32_t(std::lround(p.u)), int32_t(std::lround(p.v)), 0, alwaysNew));
    return c;
}

std::vector<Uv> RegularPolygon(int n, double radius) {
    std::vector<Uv> ring;
    for (int i = 0; i < n; ++i) {
        const double a = -2 * std::numbers::pi * i / n;  // clockwise
        ring.push_back({radius * std::cos(a), radius * std::sin(a)});
    }
    return ring;
}

std::map<const MStlPoint*, Uv> UvOfPoints(const MCutBorder& border) {
    std::map<const MStlPoint*, Uv> uv;
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) uv[p->GetData()] = {p->GetX(), p->GetY()};
    }
    return uv;
}

// Area in (u, v), positive for a clockwise triangle.
double ClockwiseArea(const std::map<const MStlPoint*, Uv>& uv, const Triangle& t) {
    const Uv a = uv.at(t[0]), b = uv.at(t[1]), c = uv.at(t[2]);
    return -((b.u - a.u) * (c.v - a.v) - (b.v - a.v) * (c.u - a.u)) / 2;
}

double BorderArea(const MCutBorder& border) {
    double sum = 0;
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) sum += MCutBorder::SignedArea(*c);
    return sum;
}

struct FillSummary {
    size_t triangles = 0;
    // Ring edges whose two ends became one mesh point (a crossing truncated
    // onto an end); their triangles are left out.
    size_t collapsedEdges = 0;
    double area = 0;
    bool allClockwise = true;
    bool ringEdgesOnceEach = true;
};

FillSummary Fill(const MCutBorder& border) {
    std::vector<Triangle> tris;
    border.Triangulate(tris);
    FillSummary s;
    s.triangles = tris.size();
    const auto uv = UvOfPoints(border);
    std::map<std::pair<MStlPoint*, MStlPoint*>, int> uses;
    for (const Triangle& t : tris) {
        const double a = ClockwiseArea(uv, t);
        s.area += a;
        s.allClockwise &= a > 0;
        for (int k = 0; k < 3; ++k) ++uses[{t[size_t(k)], t[size_t((k + 1) % 3)]}];
    }
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) {
        auto* p = c->GetFirstPoint();
        for (uint32_t i = 0; i < c->GetNumberOfPoints(); ++i, p = p->GetNext()) {
            if (p->GetData() == p->GetNext()->GetData())
                ++s.collapsedEdges;
            else
                s.ringEdgesOnceEach &= uses[{p->GetData(), p->GetNext()->GetData()}] == 1;
        }
    }
    return s;
}

size_t ExpectedTriangles(const MCutBorder& border) {
    size_t n = 0;
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) n += c->GetNumberOfPoints() - 2;
    return n;
}

TEST(CutBorder, ConvexRingsGiveNMinusTwoClockwiseTriangles) {
    for (int n : {3, 4, 12, 100}) {
        MStlBase mesh;
        MCutBorder border(&mesh);
        AddRing(border, mesh, RegularPolygon(n, 1000));
        const double area = BorderArea(border);
        EXPECT_GT(area, 0);
        border.PrepareBorder();
        ASSERT_EQ(border.GetNumberOfContours(), 1);
        EXPECT_TRUE(border.GetFirstContour()->IsClockwise());
        const FillSummary s = Fill(border);
        EXPECT_EQ(s.triangles, size_t(n - 2)) << n;
        EXPECT_NEAR(s.area, area, 1e-6 * area) << n;
        EXPECT_TRUE(s.allClockwise) << n;
        EXPECT_TRUE(s.ringEdgesOnceEach) << n;
    }
    // A square with a point in the middle of every side: straight corners
    // are never tips of a zero-area ear.
    MStlBase mesh;
    MCutBorder border(&mesh);
    AddRing(border, mesh, {{0, 0}, {0, 5}, {0, 10}, {5, 10}, {10, 10}, {10, 5}, {10, 0}, {5, 0}});
    const FillSummary s = Fill(border);
    EXPECT_EQ(s.triangles, 6u);
    EXPECT_DOUBLE_EQ(s.area, 100);
    EXPECT_TRUE(s.allClockwise);
    EXPECT_TRUE(s.ringEdgesOnceEach);
}

TEST(CutBorder, ConcaveRingIsCoveredExactly) {
    // An L shape and a comb with three teeth, both clockwise.
    const std::vector<std::vector<Uv>> rings = {
        {{0, 0}, {0, 10}, {4, 10}, {4, 4}, {10, 4}, {10, 0}},
        {{0, 0}, {0, 10}, {2, 10}, {2, 3}, {4, 3}, {4, 10}, {6, 10}, {6, 3}, {8, 3}, {8, 10}, {10, 10}, {10, 0}}};
    for (const auto& ring : rings) {
        MStlBase mesh;
        MCutBorder border(&mesh);
        AddRing(border, mesh, ring);
        const double area = BorderArea(border);
        border.PrepareBorder();
        const FillSummary s = Fill(border);
        EXPECT_EQ(s.triangles, ring.size() - 2);
        EXPECT_DOUBLE_EQ(s.area, area);
        EXPECT_TRUE(s.allClockwise);
        EXPECT_TRUE(s.ringEdgesOnceEach);
    }
}

TEST(CutBorder, PrepareOpensHolesAndDropsShortContours) {
    MStlBase mesh;
    MCutBorder border(&mesh);
    AddRing(border, mesh, {{0, 0}, {0, 10}, {10, 10}, {10, 0}});
    MStlCutContour* hole = AddRing(border, mesh, {{3, 3}, {7, 3}, {7, 7}, {3, 7}});
    AddRing(border, mesh, {{20, 20}, {30, 30}});
    EXPECT_DOUBLE_EQ(MCutBorder::SignedArea(*hole), -16);
    const uint64_t pointsBefore = mesh.GetNumberOfPoints();

    border.PrepareBorder();
    // u = 5 crosses all four horizontal edges strictly: four new mesh points.
    EXPECT_EQ(mesh.GetNumberOfPoints(), pointsBefore + 4);
    ASSERT_EQ(border.GetNumberOfContours(), 2);
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) {
        EXPECT_TRUE(c->IsClockwise());
        EXPECT_TRUE(c->IsClosed());
        EXPECT_EQ(c->GetNumberOfPoints(), 8u);
        EXPECT_DOUBLE_EQ(MCutBorder::SignedArea(*c), 42);
    }
    const FillSummary s = Fill(border);
    EXPECT_EQ(s.triangles, 12u);
    EXPECT_DOUBLE_EQ(s.area, 84);
    EXPECT_TRUE(s.allClockwise);
    EXPECT_TRUE(s.ringEdgesOnceEach);

    // A diamond hole whose middle line runs through two of its corners.
    MStlBase other;
    MCutBorder diamond(&other);
    AddRing(diamond, other, {{0, 0}, {0, 10}, {10, 10}, {10, 0}});
    AddRing(diamond, other, {{4, 5}, {5, 3}, {6, 5}, {5, 7}});
    diamond.PrepareBorder();
    EXPECT_EQ(other.GetNumberOfPoints(), 8u + 2u);
    ASSERT_EQ(diamond.GetNumberOfContours(), 2);
    for (auto* c = diamond.GetFirstContour(); c; c = MCutBorder::Next(c)) {
        EXPECT_EQ(c->GetNumberOfPoints(), 7u);
        EXPECT_DOUBLE_EQ(MCutBorder::SignedArea(*c), 48);
    }
    const FillSummary d = Fill(diamond);
    EXPECT_EQ(d.triangles, 10u);
    EXPECT_DOUBLE_EQ(d.area, 96);
    EXPECT_TRUE(d.allClockwise);
    EXPECT_TRUE(d.ringEdgesOnceEach);

    // Two holes side by side: each is opened by the line through its middle.
    MCutBorder two(&mesh);
    AddRing(two, mesh, {{0, 0}, {0, 10}, {20, 10}, {20, 0}});
    AddRing(two, mesh, {{2, 2}, {6, 2}, {6, 8}, {2, 8}});
    AddRing(two, mesh, {{12, 4}, {18, 4}, {18, 6}, {12, 6}});
    two.PrepareBorder();
    EXPECT_EQ(two.GetNumberOfContours(), 3);
    for (auto* c = two.GetFirstContour(); c; c = MCutBorder::Next(c)) EXPECT_TRUE(c->IsClockwise());
    const FillSummary t = Fill(two);
    EXPECT_EQ(t.triangles, ExpectedTriangles(two));
    EXPECT_DOUBLE_EQ(t.area, 200 - 24 - 12);
    EXPECT_TRUE(t.allClockwise);
    EXPECT_TRUE(t.ringEdgesOnceEach);
}

// A hole touching its outline at one point of the wall's end, as a dent of
// the surface reaching a vertex on a profile corner's vertical line: the
// line through the hole leaves a piece through that point twice, two lobes
// that must be filled apart, not across the point.
TEST(CutBorder, HoleTouchingTheOutlineFillsOnce) {
    MStlBase mesh;
    MCutBorder border(&mesh);
    AddRing(border, mesh, {{0, 1000}, {0, 0}, {0, -1000}, {-1000, -1000}, {-1000, 1000}});
    AddRing(border, mesh, {{0, 0}, {-200, 300}, {-400, 200}, {-300, 50}});
    const double area = BorderArea(border);
    EXPECT_DOUBLE_EQ(area, 2e6 - 60000);
    border.PrepareBorder();
    const FillSummary s = Fill(border);
    EXPECT_DOUBLE_EQ(s.area, area);
    EXPECT_TRUE(s.allClockwise);
    EXPECT_TRUE(s.ringEdgesOnceEach);
}

TEST(CutBorder, LineCutSplitsAtCrossingsAndVertices) {
    MStlBase mesh;
    MCutBorder border(&mesh);
    MStlCutContour* square = AddRing(border, mesh, {{0, 0}, {0, 10}, {10, 10}, {10, 0}});
    // Lines that do not cross leave the contour itself in place.
    EXPECT_TRUE(border.CutByLine(0, 20));
    EXPECT_TRUE(border.CutByLine(0, 0));
    EXPECT_TRUE(border.CutByLine(1, 10));
    EXPECT_EQ(border.GetFirstContour(), square);
    EXPECT_EQ(square->GetNumberOfPoints(), 4u);

    EXPECT_TRUE(border.CutByLine(1, 4));
    ASSERT_EQ(border.GetNumberOfContours(), 2);
    double areas[2];
    int i = 0;
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c), ++i) {
        EXPECT_EQ(c->GetNumberOfPoints(), 4u);
        areas[i] = MCutBorder::SignedArea(*c);
    }
    EXPECT_DOUBLE_EQ(std::min(areas[0], areas[1]), 40);
    EXPECT_DOUBLE_EQ(std::max(areas[0], areas[1]), 60);
    ASSERT_NE(mesh.GetPoint(0, 4, 0), nullptr);
    ASSERT_NE(mesh.GetPoint(10, 4, 0), nullptr);

    // Vertices on the line serve as crossings: no new points.
    MCutBorder diamond(&mesh);
    AddRing(diamond, mesh, {{0, 5}, {5, 10}, {10, 5}, {5, 0}});
    const uint64_t points = mesh.GetNumberOfPoints();
    EXPECT_TRUE(diamond.CutByLine(0, 5));
    EXPECT_EQ(mesh.GetNumberOfPoints(), points);
    ASSERT_EQ(diamond.GetNumberOfContours(), 2);
    for (auto* c = diamond.GetFirstContour(); c; c = MCutBorder::Next(c)) {
        EXPECT_EQ(c->GetNumberOfPoints(), 3u);
        EXPECT_DOUBLE_EQ(MCutBorder::SignedArea(*c), 25);
    }

    // A U shape cut across both legs gives three pieces.
    MCutBorder u(&mesh);
    AddRing(u, mesh, {{0, 0}, {0, 10}, {3, 10}, {3, 3}, {7, 3}, {7, 10}, {10, 10}, {10, 0}});
    EXPECT_TRUE(u.CutByLine(1, 6));
    EXPECT_EQ(u.GetNumberOfContours(), 3);
    EXPECT_DOUBLE_EQ(BorderArea(u), 100 - 28);
    const FillSummary s = Fill(u);
    EXPECT_DOUBLE_EQ(s.area, 72);
    EXPECT_TRUE(s.allClockwise);
    EXPECT_TRUE(s.ringEdgesOnceEach);
}

TEST(CutBorder, LargeRingIsSplitIntoSmallPieces) {
    MStlBase mesh;
    MCutBorder border(&mesh);
    AddRing(border, mesh, RegularPolygon(1000, 10000));
    const double area = BorderArea(border);
    border.PrepareBorder();
    border.SplitLargeContours(500);
    EXPECT_GT(border.GetNumberOfContours(), 1);
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) {
        EXPECT_LE(c->GetNumberOfPoints(), 500u);
        EXPECT_GE(c->GetNumberOfPoints(), 3u);
        EXPECT_TRUE(c->IsClockwise());
    }
    EXPECT_NEAR(BorderArea(border), area, 1e-9 * area);
    const FillSummary s = Fill(border);
    EXPECT_EQ(s.triangles, ExpectedTriangles(border) - s.collapsedEdges);
    EXPECT_NEAR(s.area, area, 1e-9 * area);
    EXPECT_TRUE(s.allClockwise);
    EXPECT_TRUE(s.ringEdgesOnceEach);

    // A smaller limit splits further; small contours are left alone.
    MCutBorder fine(&mesh);
    AddRing(fine, mesh, RegularPolygon(1000, 10000));
    AddRing(fine, mesh, {{30000, 0}, {30000, 10}, {30010, 10}, {30010, 0}});
    fine.SplitLargeContours(20);
    for (auto* c = fine.GetFirstContour(); c; c = MCutBorder::Next(c)) EXPECT_LE(c->GetNumberOfPoints(), 20u);
    EXPECT_EQ(fine.GetFirstContour()->GetNumberOfPoints(), 4u);
    EXPECT_NEAR(BorderArea(fine), area + 100, 1e-9 * area);
    EXPECT_NEAR(Fill(fine).area, area + 100, 1e-9 * area);
}

// The points of the box's face z = 0 on its outline, clockwise in (x, y).
std::vector<MStlPoint*> BottomOutline(const MStlBase& mesh, int32_t size, int cells) {
    std::vector<MStlPoint*> ring;
    const int32_t step = size / cells;
    for (int i = 0; i < cells; ++i) ring.push_back(mesh.GetPoint(0, i * step, 0));
    for (int i = 0; i < cells; ++i) ring.push_back(mesh.GetPoint(i * step, size, 0));
    for (int i = 0; i < cells; ++i) ring.push_back(mesh.GetPoint(size, size - i * step, 0));
    for (int i = 0; i < cells; ++i) ring.push_back(mesh.GetPoint(size - i * step, 0, 0));
    return ring;
}

void AddOutline(MCutBorder& border, const std::vector<MStlPoint*>& ring) {
    MStlCutContour* c = border.AddContour();
    c->SetClosed(true);
    for (MStlPoint* p : ring) c->AddPoint(p->GetX(), p->GetY(), p);
}

void RemoveBottomFace(MStlBase& mesh) {
    std::vector<MStlTriangle*> bottom;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        if (it->GetPoint(0)->GetZ() == 0 && it->GetPoint(1)->GetZ() == 0 && it->GetPoint(2)->GetZ() == 0)
            bottom.push_back(*it);
    for (MStlTriangle* t : bottom) mesh.RemoveTriangle(t);
}

TEST(CutBorder, LineCutKeepsRealMeshClosedAndFillClosesOpening) {
    {
        MStlBase mesh;
        GenerateBox(mesh, {0, 0, 0}, {20, 20, 20}, 2);
        const uint64_t points = mesh.GetNumberOfPoints(), triangles = mesh.GetNumberOfTriangles();
        MCutBorder border(&mesh);
        AddOutline(border, BottomOutline(mesh, 20, 2));
        EXPECT_TRUE(border.CutByLine(0, 5));
        EXPECT_EQ(border.GetNumberOfContours(), 2);
        EXPECT_EQ(mesh.GetNumberOfPoints(), points + 2);
        // Each crossed edge is shared by two triangles, both split.
        EXPECT_EQ(mesh.GetNumberOfTriangles(), triangles + 4);
        ASSERT_NE(mesh.GetPoint(5, 0, 0), nullptr);
        ASSERT_NE(mesh.GetPoint(5, 20, 0), nullptr);
        const MeshReport r = CheckMesh(mesh);
        EXPECT_TRUE(r.closed);
        EXPECT_TRUE(r.oriented);
    }
    for (int cells : {1, 2, 10}) {
        const int32_t size = 100;
        MStlBase mesh;
        GenerateBox(mesh, {0, 0, 0}, {size, size, size}, cells);
        const double volume = CheckMesh(mesh).volume;
        RemoveBottomFace(mesh);
        MCutBorder border(&mesh);
        AddOutline(border, BottomOutline(mesh, size, cells));
        border.PrepareBorder();
        border.SplitLargeContours(6);
        std::vector<Triangle> fill;
        border.Triangulate(fill);
        for (const Triangle& t : fill) EXPECT_NE(mesh.AddTriangle(t[0], t[1], t[2]), nullptr);
        const MeshReport r = CheckMesh(mesh);
        EXPECT_TRUE(r.closed) << cells;
        EXPECT_TRUE(r.oriented) << cells;
        EXPECT_EQ(r.degenerateTriangles, 0u) << cells;
        EXPECT_DOUBLE_EQ(r.volume, volume) << cells;
        for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) EXPECT_LE(c->GetNumberOfPoints(), 6u);
    }
}

// The outline of the mesh's opening, running each boundary edge the other
// way round (as the fill must), with (u, v) = (x, y).
void AddOpeningOutline(MCutBorder& border, const MStlBase& mesh) {
    std::map<std::pair<MStlPoint*, MStlPoint*>, int> edges;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        for (int k = 0; k < 3; ++k) ++edges[{it->GetPoint(k), it->GetPoint((k + 1) % 3)}];
    std::map<MStlPoint*, MStlPoint*> next;
    for (const auto& [e, n] : edges)
        if (!edges.contains({e.second, e.first})) next[e.second] = e.first;
    ASSERT_FALSE(next.empty());
    std::vector<MStlPoint*> ring = {next.begin()->first};
    while (next.at(ring.back()) != ring.front()) ring.push_back(next.at(ring.back()));
    EXPECT_EQ(ring.size(), next.size());
    AddOutline(border, ring);
}

TEST(CutBorder, SplitFillsStayWatertightAlongSeams) {
    // A flat box whose bottom outline is cut unevenly in both directions.
    {
        MStlBase mesh;
        GenerateBox(mesh, {0, 0, 0}, {100, 60, 50}, 10);
        const double volume = CheckMesh(mesh).volume;
        RemoveBottomFace(mesh);
        MCutBorder border(&mesh);
        AddOpeningOutline(border, mesh);
        EXPECT_EQ(border.GetFirstContour()->GetNumberOfPoints(), 40u);
        border.PrepareBorder();
        border.SplitLargeContours(5);
        EXPECT_GT(border.GetNumberOfContours(), 8);
        std::vector<Triangle> fill;
        border.Triangulate(fill);
        for (const Triangle& t : fill) mesh.AddTriangle(t[0], t[1], t[2]);
        const MeshReport r = CheckMesh(mesh);
        EXPECT_TRUE(r.closed);
        EXPECT_TRUE(r.oriented);
        EXPECT_DOUBLE_EQ(r.volume, volume);
    }
    // The round opening left by the lower cap of a sphere.
    {
        MStlBase mesh;
        GenerateSphere(mesh, 100000, 20000);
        std::vector<MStlTriangle*> cap;
        for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
            if (std::max({it->GetPoint(0)->GetZ(), it->GetPoint(1)->GetZ(), it->GetPoint(2)->GetZ()}) < -50000)
                cap.push_back(*it);
        for (MStlTriangle* t : cap) mesh.RemoveTriangle(t);
        MCutBorder border(&mesh);
        AddOpeningOutline(border, mesh);
        border.PrepareBorder();
        ASSERT_EQ(border.GetNumberOfContours(), 1);
        EXPECT_TRUE(border.GetFirstContour()->IsClockwise());
        const uint32_t outline = border.GetFirstContour()->GetNumberOfPoints();
        border.SplitLargeContours(16);
        EXPECT_GT(border.GetNumberOfContours(), int32_t(outline / 16));
        std::vector<Triangle> fill;
        border.Triangulate(fill);
        for (const Triangle& t : fill) mesh.AddTriangle(t[0], t[1], t[2]);
        const MeshReport r = CheckMesh(mesh);
        EXPECT_TRUE(r.closed);
        EXPECT_TRUE(r.oriented);
        EXPECT_EQ(r.shells, 1u);
    }
}

TEST(CutBorder, HugeRingIsSplitAndFilled) {
    MStlBase mesh;
    MCutBorder border(&mesh);
    AddRing(border, mesh, RegularPolygon(30000, 1e6));
    const double area = BorderArea(border);
    border.PrepareBorder();
    border.SplitLargeContours(500);
    for (auto* c = border.GetFirstContour(); c; c = MCutBorder::Next(c)) ASSERT_LE(c->GetNumberOfPoints(), 500u);
    const FillSummary s = Fill(border);
    EXPECT_EQ(s.triangles, ExpectedTriangles(border) - s.collapsedEdges);
    EXPECT_NEAR(s.area, area, 1e-9 * area);
    EXPECT_TRUE(s.allClockwise);
    EXPECT_TRUE(s.ringEdgesOnceEach);
}

TEST(CutBorder, DegenerateInputTerminates) {
    MStlBase mesh;
    {
        // Collinear: out along v = 0 and back by the closing edge.
        MCutBorder border(&mesh);
        AddRing(border, mesh, {{0, 0}, {10, 0}, {20, 0}, {30, 0}, {40, 0}});
        border.PrepareBorder();
        ASSERT_EQ(border.GetNumberOfContours(), 1);
        EXPECT_TRUE(border.GetFirstContour()->IsClockwise());
        border.SplitLargeContours(3);
        std::vector<Triangle> tris;
        border.Triangulate(tris);
        EXPECT_EQ(Fill(border).area, 0);
    }
    {
        // One position repeated, by one mesh point: nothing to fill.
        MCutBorder border(&mesh);
        AddRing(border, mesh, std::vector<Uv>(5000, Uv{1, 1}));
        border.PrepareBorder();
        border.SplitLargeContours(500);
        EXPECT_EQ(border.GetNumberOfContours(), 1);
        std::vector<Triangle> tris;
        border.Triangulate(tris);
        EXPECT_TRUE(tris.empty());
    }
    {
        // A repeated corner by two mesh points, a spike and a bow tie.
        MCutBorder border(&mesh);
        AddRing(border, mesh, {{0, 0}, {0, 10}, {0, 10}, {10, 10}, {10, 0}}, true);
        AddRing(border, mesh, {{50, 0}, {50, 10}, {50, 20}, {50, 10}, {60, 10}, {60, 0}}, true);
        AddRing(border, mesh, {{100, 0}, {100, 10}, {110, 0}, {110, 10}}, true);
        std::vector<Triangle> tris;
        border.Triangulate(tris);
        EXPECT_EQ(tris.size(), 3u + 4u + 2u);
    }
    {
        // Contours of 0, 1 and 2 points and one with a NaN coordinate.
        MCutBorder border(&mesh);
        border.AddContour();
        AddRing(border, mesh, {{1, 2}});
        AddRing(border, mesh, {{1, 2}, {3, 4}});
        MStlCutContour* nan = AddRing(border, mesh, {{0, 0}, {0, 10}, {10, 10}, {10, 0}});
        nan->GetFirstPoint()->SetX(std::nan(""));
        std::vector<Triangle> tris;
        border.Triangulate(tris);
        EXPECT_EQ(tris.size(), 2u);
        EXPECT_TRUE(border.CutByLine(1, std::nan("")));
        EXPECT_EQ(border.GetNumberOfContours(), 4);
        border.PrepareBorder();
        EXPECT_EQ(border.GetNumberOfContours(), 0);

        MCutBorder split(&mesh);
        AddRing(split, mesh, {{0, 0}, {0, 10}, {10, 10}, {10, 0}})->GetFirstPoint()->SetY(std::nan(""));
        split.SplitLargeContours(3);
        for (auto* c = split.GetFirstContour(); c; c = MCutBorder::Next(c)) EXPECT_GE(c->GetNumberOfPoints(), 3u);
    }
    {
        MCutBorder border(nullptr);
        AddRing(border, mesh, {{0, 0}, {0, 10}, {10, 10}, {10, 0}});
        EXPECT_TRUE(border.CutByLine(0, 5));
        EXPECT_EQ(border.GetNumberOfContours(), 2);
    }
}

TEST(CutBorder, ReverseContours) {
    MStlBase mesh;
    MCutBorder border(&mesh);
    MStlCutContour* closed = AddRing(border, mesh, {{0, 0}, {0, 10}, {10, 10}, {10, 0}});
    MStlCutContour* open = AddRing(border, mesh, {{0, 0}, {1, 0}, {2, 0}});
    open->SetClosed(false);
    border.PrepareBorder();
    EXPECT_TRUE(closed->IsClockwise());
    border.ReverseContours();

    std::vector<Uv> order;
    auto* p = closed->GetFirstPoint();
    for (int i = 0; i < 4; ++i, p = p->GetNext()) order.push_back({p->GetX(), p->GetY()});
    const std::vector<Uv> expected = {{0, 0}, {10, 0}, {10, 10}, {0, 10}};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(order[i].u, expected[i].u);
        EXPECT_EQ(order[i].v, expected[i].v);
    }
    EXPECT_EQ(closed->GetFirstPoint()->GetPrev()->GetX(), 0);
    EXPECT_EQ(closed->GetFirstPoint()->GetPrev()->GetY(), 10);
    EXPECT_FALSE(closed->IsClockwise());
    EXPECT_DOUBLE_EQ(MCutBorder::SignedArea(*closed), -100);

    EXPECT_EQ(open->GetFirstPoint()->GetX(), 2);
    EXPECT_EQ(open->GetFirstPoint()->GetNext()->GetX(), 1);
    EXPECT_EQ(open->GetLastPoint()->GetX(), 0);

    // Reversed twice: the original ring again, triangulated clockwise.
    border.ReverseContours();
    EXPECT_TRUE(closed->IsClockwise());
    EXPECT_EQ(closed->GetFirstPoint()->GetNext()->GetY(), 10);
}

}  // namespace
