// Nearest-point queries of the triangle tree over mesh triangles and over
// triangle-surface triangles, against brute force.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "TestMeshes.h"
#include "host/MStlTriangleTree.h"
#include "host/MTriangleSurface.h"

using namespace QelSDK::Geometry;

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The nearest distance from p to any triangle of the mesh.
double BruteNearest(const MStlBase& mesh, const MMVector3d& p) {
    double best = kInfinity;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        best = std::min(best, QelSDK::Math::point_to_triangle_distance(p, it->GetPoint(0)->GetVector(),
                                                                       it->GetPoint(1)->GetVector(),
                                                                       it->GetPoint(2)->GetVector()));
    return best;
}

double Distance(const triangle_surface& s, uint64_t t, const vertex& p) {
    vertex q;
    const auto& tri = s.triangles[t];
    return QelSDK::Math::point_to_triangle_distance(p, s.vertices[tri[0]], s.vertices[tri[1]], s.vertices[tri[2]], q);
}

// A jittered sphere as a surface with unshared vertices in model units.
triangle_surface RandomSoup(std::mt19937& random, uint64_t triangles) {
    MStlBase mesh;
    GenerateRoughSphere(mesh, 40000.0, triangles, 200, random);
    triangle_surface s = convert(mesh);
    std::uniform_real_distribution<double> jitter(-0.05, 0.05);
    triangle_surface soup;
    for (const auto& t : s.triangles) {
        for (uint64_t v : t) soup.vertices.push_back({s.vertices[v][0] + jitter(random), s.vertices[v][1] + jitter(random),
                                                      s.vertices[v][2] + jitter(random)});
        const uint64_t n = soup.vertices.size();
        soup.triangles.push_back({n - 3, n - 2, n - 1});
    }
    return soup;
}

// The nearest triangle within `maxDistance` by find_nearest_if with a plain
// "nearer than the best so far" predicate (the search offers every triangle
// whose box is that near; the predicate judges the triangle itself).
uint64_t Nearest(const triangle_tree& tree, const triangle_surface& s, const vertex& p, double maxDistance,
                 double& best) {
    best = kInfinity;
    return find_nearest_if(
        tree, p,
        [&](uint64_t t) {
            const double d = Distance(s, t, p);
            if (!(d < best) || d > maxDistance) return false;
            best = d;
            return true;
        },
        maxDistance);
}

}  // namespace

TEST(TriangleTreeNearest, MeshTreeMatchesBruteForce) {
    std::mt19937 random(11);
    MStlBase mesh;
    GenerateRoughSphere(mesh, 50000.0, 8000, 40, random);
    const MStlTriangleTree tree(mesh);
    std::uniform_real_distribution<double> coordinate(-80000.0, 80000.0);
    for (int k = 0; k < 150; ++k) {
        const MMVector3d p(coordinate(random), coordinate(random), coordinate(random));
        const double brute = BruteNearest(mesh, p);
        MStlTriangleTree::Nearest nearest;
        ASSERT_TRUE(tree.FindNearest(p, kInfinity, nearest)) << k;
        EXPECT_EQ(nearest.distance, brute) << k;
        EXPECT_NEAR((nearest.point - p).Length(), brute, 1e-9 * brute);
        EXPECT_EQ(QelSDK::Math::point_to_triangle_distance(p, nearest.triangle->GetPoint(0)->GetVector(),
                                                           nearest.triangle->GetPoint(1)->GetVector(),
                                                           nearest.triangle->GetPoint(2)->GetVector()),
                  brute);
        // A limit just below the nearest distance finds nothing; at it, the same answer.
        MStlTriangleTree::Nearest limited;
        EXPECT_FALSE(tree.FindNearest(p, std::nextafter(brute, 0.0), limited)) << k;
        ASSERT_TRUE(tree.FindNearest(p, brute, limited)) << k;
        EXPECT_EQ(limited.triangle, nearest.triangle);
    }
    MStlTriangleTree::Nearest none;
    EXPECT_FALSE(MStlTriangleTree(MStlBase()).FindNearest({0.0, 0.0, 0.0}, kInfinity, none));
    EXPECT_FALSE(tree.FindNearest({0.0, 0.0, 0.0}, -1.0, none));
    EXPECT_FALSE(tree.FindNearest({0.0, 0.0, 0.0}, std::nan(""), none));
}

TEST(TriangleTreeNearest, SurfaceTreeMatchesBruteForce) {
    std::mt19937 random(5);
    const triangle_surface soup = RandomSoup(random, 6000);
    const triangle_tree tree = build_triangle_tree(soup);
    EXPECT_EQ(tree.GetNumberOfTriangles(), soup.triangles.size());
    std::uniform_real_distribution<double> coordinate(-60.0, 60.0);
    for (int k = 0; k < 150; ++k) {
        const vertex p{coordinate(random), coordinate(random), coordinate(random)};
        double brute = kInfinity;
        for (uint64_t t = 0; t < soup.triangles.size(); ++t) brute = std::min(brute, Distance(soup, t, p));
        double best;
        const uint64_t found = Nearest(tree, soup, p, kInfinity, best);
        ASSERT_NE(found, no_triangle);
        EXPECT_EQ(best, brute) << k;
        EXPECT_EQ(Distance(soup, found, p), brute);
        EXPECT_EQ(Nearest(tree, soup, p, brute * 0.999, best), no_triangle);
    }
}

TEST(TriangleTreeNearest, EveryTriangleAtASharedNearestPointIsVisited) {
    // A fan of six triangles around the origin in the plane z = 0; the point
    // above the centre is equally near to all of them.
    triangle_surface fan;
    fan.vertices.push_back({0.0, 0.0, 0.0});
    for (int k = 0; k < 6; ++k) {
        const double a = k * M_PI / 3.0;
        fan.vertices.push_back({std::cos(a), std::sin(a), 0.0});
    }
    for (uint64_t k = 0; k < 6; ++k) fan.triangles.push_back({0, 1 + k, 1 + (k + 1) % 6});
    // Far-away clutter so that the tree has several levels.
    for (int k = 0; k < 200; ++k) {
        const uint64_t n = fan.vertices.size();
        fan.vertices.push_back({10.0 + k, 0.0, 0.0});
        fan.vertices.push_back({10.5 + k, 1.0, 0.0});
        fan.vertices.push_back({10.0 + k, 1.0, 1.0});
        fan.triangles.push_back({n, n + 1, n + 2});
    }
    const triangle_tree tree = build_triangle_tree(fan);
    std::vector<uint64_t> seen;
    double best = kInfinity;
    find_nearest_if(tree, {0.0, 0.0, 2.0}, [&](uint64_t t) {
        const double d = Distance(fan, t, {0.0, 0.0, 2.0});
        if (d <= best + 1e-9) seen.push_back(t);
        if (!(d < best - 1e-9)) return false;
        best = d;
        return true;
    });
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(best, 2.0);
}

TEST(TriangleTreeNearest, TrianglesWithoutFinitePlaceAreNeverMet) {
    triangle_surface s;
    s.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {std::nan(""), 0, 0}, {5, 5, 5}, {6, 5, 5}, {5, 6, 5}};
    s.triangles = {{3, 1, 2}, {4, 5, 6}, {0, 1, 99}};
    const triangle_tree tree = build_triangle_tree(s);
    std::vector<uint64_t> seen;
    find_nearest_if(tree, {0.0, 0.0, 0.0}, [&](uint64_t t) { return seen.push_back(t), false; });
    EXPECT_EQ(seen, std::vector<uint64_t>{1});
    EXPECT_EQ(find_nearest_if(build_triangle_tree({}), {0.0, 0.0, 0.0}, [](uint64_t) { return true; }), no_triangle);
}

TEST(TriangleTreeNearest, SameTreesAndAnswersWithOneAndTwoThreads) {
    std::mt19937 random(9);
    const triangle_surface soup = RandomSoup(random, 60000);
    MStlBase mesh;
    GenerateRoughSphere(mesh, 100000.0, 100000, 50, random);
    struct Answers {
        std::vector<uint32_t> surfaceOrder;
        std::vector<const MStlTriangleElement*> meshOrder;
        uint64_t nodes[2] = {0, 0};
        std::vector<uint64_t> surfaceNearest;
        std::vector<const MStlTriangleElement*> meshNearest;
        bool operator==(const Answers& o) const {
            return surfaceOrder == o.surfaceOrder && meshOrder == o.meshOrder && nodes[0] == o.nodes[0] &&
                   nodes[1] == o.nodes[1] && surfaceNearest == o.surfaceNearest && meshNearest == o.meshNearest;
        }
    } answers[2];
    for (int threads : {1, 2}) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        Answers& a = answers[threads - 1];
        const triangle_tree surfaceTree = build_triangle_tree(soup);
        const MStlTriangleTree meshTree(mesh);
        for (uint32_t k = 0; k < surfaceTree.GetNumberOfTriangles(); ++k) a.surfaceOrder.push_back(surfaceTree.GetInputPosition(k));
        for (uint32_t k = 0; k < meshTree.GetNumberOfTriangles(); ++k) a.meshOrder.push_back(meshTree.GetTriangle(k));
        a.nodes[0] = surfaceTree.GetNumberOfNodes();
        a.nodes[1] = meshTree.GetNumberOfNodes();
        std::mt19937 points(4);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        for (int k = 0; k < 500; ++k) {
            const vertex p{unit(points) * 50.0, unit(points) * 50.0, unit(points) * 50.0};
            double best;
            a.surfaceNearest.push_back(Nearest(surfaceTree, soup, p, kInfinity, best));
            MStlTriangleTree::Nearest nearest;
            meshTree.FindNearest({p[0] * 2000.0, p[1] * 2000.0, p[2] * 2000.0}, kInfinity, nearest);
            a.meshNearest.push_back(nearest.triangle);
        }
    }
    EXPECT_EQ(answers[0].surfaceOrder.size(), soup.triangles.size());
    EXPECT_TRUE(answers[0] == answers[1]);
}
