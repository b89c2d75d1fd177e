// Trimming one mesh against another: the kept part, its border, the side
// labels and the operator's own state.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <set>

#include "MStlBaseOperatorTrimStlToStl.h"
#include "TestGeometry.h"
#include "TestMeshes.h"

namespace {

using Op = MStlBaseOperatorTrimStlToStl;

// A's part inside B (or outside it, with B turned inside out).
std::unique_ptr<MStlBase> Trim(const MStlBase& a, const MStlBase& b, bool keepInside, bool border = false,
                               const MStlSurfaceBorder** borderOut = nullptr, Op* keep = nullptr) {
    auto kept = std::make_unique<MStlBase>();
    kept->AddStl(a, false);
    MStlBase other;
    other.AddStl(b, false);
    if (!keepInside) other.Invert();
    Op local;
    Op& op = keep ? *keep : local;
    op.SetStl(0, kept.get(), true, border);
    op.SetStl(1, &other, false, false);
    EXPECT_TRUE(op.Operate());
    if (borderOut) *borderOut = op.GetIntersectionBorder(0);
    return kept;
}

uint64_t BoundaryEdges(const MStlBase& mesh) { return CheckMesh(mesh).boundaryEdges; }

using EdgeSet = std::set<std::pair<const MStlPoint*, const MStlPoint*>>;

std::pair<const MStlPoint*, const MStlPoint*> Undirected(const MStlPoint* p, const MStlPoint* q) {
    return p < q ? std::pair{p, q} : std::pair{q, p};
}

// The edges that only one triangle of the mesh uses.
EdgeSet BoundaryEdgeSet(const MStlBase& mesh) {
    std::map<std::pair<const MStlPoint*, const MStlPoint*>, int> uses;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        for (int k = 0; k < 3; ++k) ++uses[Undirected(it->GetPoint(k), it->GetPoint((k + 1) % 3))];
    EdgeSet boundary;
    for (const auto& [edge, count] : uses)
        if (count == 1) boundary.insert(edge);
    return boundary;
}

// The edges in one set but not the other.
size_t Unmatched(const EdgeSet& a, const EdgeSet& b) {
    size_t n = 0;
    for (const auto& e : a) n += !b.count(e);
    for (const auto& e : b) n += !a.count(e);
    return n;
}

// The edges of the border's polylines.
EdgeSet BorderEdgeSet(const MStlSurfaceBorder& border) {
    EdgeSet edges;
    for (const auto& c : border.contours) {
        const size_t n = c.points.size();
        for (size_t i = 0; i + (c.closed ? 0 : 1) < n; ++i) edges.insert(Undirected(c.points[i], c.points[(i + 1) % n]));
    }
    return edges;
}

bool OnBoxSurface(const MStlPoint* p, const int32_t lo[3], const int32_t hi[3]) {
    for (int k = 0; k < 3; ++k)
        if (std::abs(p->Get(k) - lo[k]) <= 1 || std::abs(p->Get(k) - hi[k]) <= 1) return true;
    return false;
}

}  // namespace

TEST(TrimStlToStl, OverlappingCubes) {
    MStlBase a, b;
    GenerateBox(a, {0, 0, 0}, {10000, 10000, 10000}, 2);
    GenerateBox(b, {5000, 5000, 5000}, {15000, 15000, 15000}, 3);
    const MStlSurfaceBorder* border = nullptr;
    Op op;
    std::unique_ptr<MStlBase> inside = Trim(a, b, true, true, &border, &op);
    // The three faces of A inside B, 5 x 5 each.
    EXPECT_NEAR(inside->Area(), 3 * 5000.0 * 5000.0, 1e-6 * a.Area());
    EXPECT_TRUE(CheckMesh(*inside).oriented);
    // Its open border is the intersection border: one closed polyline.
    ASSERT_NE(border, nullptr);
    ASSERT_EQ(border->contours.size(), 1u);
    EXPECT_TRUE(border->contours[0].closed);
    uint64_t borderEdges = 0;
    for (const auto& c : border->contours) borderEdges += c.points.size();
    EXPECT_EQ(BoundaryEdges(*inside), borderEdges);
    const int32_t lo[3] = {5000, 5000, 5000}, hi[3] = {15000, 15000, 15000};
    for (const auto& c : border->contours)
        for (const MStlPoint* p : c.points) EXPECT_TRUE(OnBoxSurface(p, lo, hi));
    // The other part: trimmed plus removed area is the whole area.
    std::unique_ptr<MStlBase> outside = Trim(a, b, false);
    EXPECT_NEAR(inside->Area() + outside->Area(), a.Area(), 1e-9 * a.Area());
    EXPECT_EQ(BoundaryEdges(*outside), borderEdges);
}

TEST(TrimStlToStl, CubeAndSphereAndTwoSpheres) {
    MStlBase sphere, box, other;
    GenerateSphere(sphere, 20000.0, 4000);
    GenerateBox(box, {0, -3000, -25000}, {30000, 30000, 30000}, 3);
    GenerateSphere(other, 15000.0, 3000, {18000.0, 4000.0, 2000.0});
    for (const MStlBase* b : {&box, &other}) {
        const MStlSurfaceBorder* border = nullptr;
        Op op;
        std::unique_ptr<MStlBase> in = Trim(sphere, *b, true, true, &border, &op), out = Trim(sphere, *b, false);
        // The kept part's open border is the intersection border.
        ASSERT_NE(border, nullptr);
        uint64_t borderEdges = 0;
        for (const auto& c : border->contours) {
            EXPECT_TRUE(c.closed);
            borderEdges += c.points.size();
        }
        EXPECT_EQ(BoundaryEdges(*in), borderEdges);
        EXPECT_GT(in->GetNumberOfTriangles(), 0u);
        EXPECT_GT(out->GetNumberOfTriangles(), 0u);
        EXPECT_TRUE(CheckMesh(*in).oriented);
        EXPECT_TRUE(CheckMesh(*out).oriented);
        EXPECT_NEAR(in->Area() + out->Area(), sphere.Area(), 1e-6 * sphere.Area());
        EXPECT_EQ(BoundaryEdges(*in), BoundaryEdges(*out));
        EXPECT_GT(BoundaryEdges(*in), 0u);
        // Every new point lies on both surfaces, to within its truncation to
        // the grid (less than one step per coordinate: sqrt(3)).
        for (auto it = in->BeginPoint(); it != in->EndPoint(); ++it) {
            if (sphere.GetPoint(it->GetX(), it->GetY(), it->GetZ())) continue;
            EXPECT_LE(DistanceToMesh(it->GetVector(), sphere), std::sqrt(3.0));
            EXPECT_LE(DistanceToMesh(it->GetVector(), *b), std::sqrt(3.0));
        }
    }
}

TEST(TrimStlToStl, SharedPlanesTouchingAndShiftedCopies) {
    // B shares A's side planes above z = 5: the coplanar pieces are labelled
    // and dropped, A keeps its top.
    MStlBase a, b;
    GenerateBox(a, {0, 0, 0}, {10000, 10000, 10000}, 2);
    GenerateBox(b, {0, 0, 5000}, {10000, 10000, 15000}, 2);
    std::unique_ptr<MStlBase> top = Trim(a, b, true);
    EXPECT_NEAR(top->Area(), 10000.0 * 10000.0, 1e-9 * a.Area());
    // Touching at one corner, or along one edge: nothing of A is inside.
    MStlBase corner, edge;
    GenerateBox(corner, {10000, 10000, 10000}, {20000, 20000, 20000}, 1);
    GenerateBox(edge, {10000, 10000, 0}, {20000, 20000, 10000}, 1);
    EXPECT_EQ(Trim(a, corner, true)->GetNumberOfTriangles(), 0u);
    EXPECT_EQ(Trim(a, edge, true)->GetNumberOfTriangles(), 0u);
    // A sphere against a copy of itself shifted by one grid step: every
    // triangle meets several nearly coplanar ones, and the cut passes within
    // a fraction of a step of vertices and edges, so that distinct crossings
    // round to one grid point.  Both parts stay manifold and oriented, and
    // each one's open border is exactly its intersection border.
    for (const uint64_t triangles : {2000u, 20000u}) {
        SCOPED_TRACE(triangles);
        MStlBase sphere, shifted;
        GenerateSphere(sphere, 20000.0, triangles);
        shifted.AddStl(sphere, false);
        shifted.Translate(1, 0, 0);
        const MStlSurfaceBorder* borders[2] = {nullptr, nullptr};
        Op ops[2];
        std::unique_ptr<MStlBase> in = Trim(sphere, shifted, true, true, &borders[0], &ops[0]);
        std::unique_ptr<MStlBase> out = Trim(sphere, shifted, false, true, &borders[1], &ops[1]);
        EXPECT_GT(in->GetNumberOfTriangles(), 0u);
        EXPECT_GT(out->GetNumberOfTriangles(), 0u);
        for (int side = 0; side < 2; ++side) {
            const MStlBase& part = side == 0 ? *in : *out;
            SCOPED_TRACE(side == 0 ? "inside" : "outside");
            const MeshReport report = CheckMesh(part);
            EXPECT_EQ(report.nonManifoldEdges, 0u);
            EXPECT_TRUE(report.oriented);
            EXPECT_EQ(report.shells, 1u);
            ASSERT_NE(borders[side], nullptr);
            EXPECT_FALSE(borders[side]->contours.empty());
            for (const auto& c : borders[side]->contours) EXPECT_TRUE(c.closed);
            const EdgeSet open = BoundaryEdgeSet(part), cut = BorderEdgeSet(*borders[side]);
            EXPECT_EQ(open.size(), cut.size());
            EXPECT_EQ(Unmatched(open, cut), 0u) << "open edges that are no cut edges, and cut edges that are not open";
        }
        // The parts' areas add up to within what truncating the new points
        // to the grid can change: a point moved by up to sqrt(3) changes each
        // of its triangles by at most that times half the opposite side.
        double bound = 0.0;
        for (const MStlBase* part : {in.get(), out.get()})
            for (auto it = part->BeginTriangle(); it != part->EndTriangle(); ++it)
                for (int i = 0; i < 3; ++i) {
                    const MStlPoint* p = it->GetPoint(i);
                    if (sphere.GetPoint(p->GetX(), p->GetY(), p->GetZ())) continue;
                    bound += std::sqrt(3.0) / 2.0 *
                             (it->GetPoint((i + 1) % 3)->GetVector() - it->GetPoint((i + 2) % 3)->GetVector()).Length();
                }
        EXPECT_NEAR(in->Area() + out->Area(), sphere.Area(), bound);
    }
}

TEST(TrimStlToStl, StateCodesAndCopies) {
    Op op;
    EXPECT_EQ(op.GetIntersectionBorder(0), nullptr);
    EXPECT_EQ(op.GetIntersectionBorder(7), nullptr);
    EXPECT_FALSE(op.Operate()) << "no meshes";
    MStlBase a, b, far;
    GenerateBox(a, {0, 0, 0}, {10000, 10000, 10000}, 1);
    GenerateBox(b, {5000, 5000, 5000}, {15000, 15000, 15000}, 1);
    GenerateBox(far, {50000, 50000, 50000}, {60000, 60000, 60000}, 1);
    op.SetStl(2, &a, true, true);  // ignored
    EXPECT_FALSE(op.Operate());
    // Boxes that do not overlap: the trimmed mesh loses everything, the
    // other keeps its triangles.
    MStlBase trimmed;
    trimmed.AddStl(a, false);
    op.SetStl(0, &trimmed, true, true);
    op.SetStl(1, &far, false, false);
    EXPECT_TRUE(op.Operate());
    EXPECT_EQ(trimmed.GetNumberOfTriangles(), 0u);
    EXPECT_EQ(far.GetNumberOfTriangles(), 12u);
    // Border only: the mesh stays whole, the polylines come back.
    MStlBase whole;
    whole.AddStl(a, false);
    Op borderOnly;
    borderOnly.SetStl(0, &whole, false, true);
    borderOnly.SetStl(1, &b, false, false);
    EXPECT_TRUE(borderOnly.Operate());
    EXPECT_EQ(whole.GetNumberOfTriangles(), 12u);
    ASSERT_NE(borderOnly.GetIntersectionBorder(0), nullptr);
    EXPECT_FALSE(borderOnly.GetIntersectionBorder(0)->contours.empty());
    // Copies own their borders: assigning and destroying never frees twice.
    {
        Op copy(borderOnly);
        Op assigned;
        assigned = borderOnly;
        assigned = copy;
        ASSERT_NE(assigned.GetIntersectionBorder(0), nullptr);
        EXPECT_NE(assigned.GetIntersectionBorder(0), borderOnly.GetIntersectionBorder(0));
        EXPECT_EQ(assigned.GetIntersectionBorder(0)->contours.size(), borderOnly.GetIntersectionBorder(0)->contours.size());
    }
    EXPECT_FALSE(borderOnly.GetIntersectionBorder(0)->contours.empty());
}
