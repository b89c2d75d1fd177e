// Shell classification, splitting, cutting and extrusion on triangle surfaces.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>

#include "MGeometryFunctions.h"
#include "host/MBoolean.h"
#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"

using namespace QelSDK::Geometry;

namespace {

// A regular octahedron: every vertex is used by four triangles, so the mean
// of the triangles' corners is its centre exactly.
void AddOctahedron(triangle_surface& s, vertex c, double r) {
    const uint64_t n = s.vertices.size();
    for (int axis = 0; axis < 3; ++axis)
        for (double sign : {1.0, -1.0}) {
            vertex v = c;
            v[axis] += sign * r;
            s.vertices.push_back(v);
        }
    // +x 0, -x 1, +y 2, -y 3, +z 4, -z 5; counter-clockwise from outside.
    const uint64_t faces[8][3] = {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5}, {0, 3, 5}};
    for (const auto& f : faces) s.triangles.push_back({n + f[0], n + f[1], n + f[2]});
}

// An axis-parallel box, outward oriented, with shared vertices.
void AddBox(triangle_surface& s, vertex lo, vertex hi) {
    MStlBase mesh;
    GenerateBox(mesh, MMVector3l(std::lround(lo[0] * 1000), std::lround(lo[1] * 1000), std::lround(lo[2] * 1000)),
                MMVector3l(std::lround(hi[0] * 1000), std::lround(hi[1] * 1000), std::lround(hi[2] * 1000)));
    const triangle_surface box = convert(mesh);
    const uint64_t n = s.vertices.size();
    s.vertices.insert(s.vertices.end(), box.vertices.begin(), box.vertices.end());
    for (const triangle& t : box.triangles) s.triangles.push_back({t[0] + n, t[1] + n, t[2] + n});
}

void AddSphere(triangle_surface& s, vertex centre, double radius, uint64_t triangles) {
    MStlBase mesh;
    GenerateSphere(mesh, radius * 1000.0, triangles, {centre[0] * 1000.0, centre[1] * 1000.0, centre[2] * 1000.0});
    const triangle_surface sphere = convert(mesh);
    const uint64_t n = s.vertices.size();
    s.vertices.insert(s.vertices.end(), sphere.vertices.begin(), sphere.vertices.end());
    for (const triangle& t : sphere.triangles) s.triangles.push_back({t[0] + n, t[1] + n, t[2] + n});
}

// A square sheet at height z over [-half, half]^2, facing +z (or -z).
void AddSheet(triangle_surface& s, double z, double half, bool up = true) {
    const uint64_t n = s.vertices.size();
    s.vertices.push_back({-half, -half, z});
    s.vertices.push_back({half, -half, z});
    s.vertices.push_back({half, half, z});
    s.vertices.push_back({-half, half, z});
    if (up) s.triangles.push_back({n, n + 1, n + 2}), s.triangles.push_back({n, n + 2, n + 3});
    else s.triangles.push_back({n, n + 2, n + 1}), s.triangles.push_back({n, n + 3, n + 2});
}

MMVector3d V(const vertex& v) { return {v[0], v[1], v[2]}; }

double Area(const triangle_surface& s) {
    double area = 0.0;
    for (const triangle& t : s.triangles)
        area += 0.5 * (V(s.vertices[t[1]]) - V(s.vertices[t[0]])).Cross(V(s.vertices[t[2]]) - V(s.vertices[t[0]])).Length();
    return area;
}

bool ValidIndices(const triangle_surface& s) { return has_valid_indices(s) && has_finite_vertices(s); }

MeshReport Check(const triangle_surface& s) {
    const auto mesh = convert(s, true);
    EXPECT_TRUE(mesh);
    return mesh ? CheckMesh(*mesh) : MeshReport{};
}

// The classes of the triangles [first, first + count), which must agree.
int ClassOf(const std::vector<unsigned short>& classes, size_t first, size_t count) {
    std::set<unsigned short> seen(classes.begin() + long(first), classes.begin() + long(first + count));
    EXPECT_EQ(seen.size(), 1u);
    return seen.empty() ? -1 : *seen.begin();
}

}  // namespace

// --- the triangle-surface host modules ---------------------------------------

TEST(TriangleSurface, ConversionKeepsVerticesAndTriangles) {
    triangle_surface s;
    AddOctahedron(s, {1.25, -2.5, 3.001}, 0.5);
    s.vertices.push_back(s.vertices[0]);  // a coincident, unused vertex
    const auto mesh = convert(s);
    ASSERT_TRUE(mesh);
    EXPECT_EQ(mesh->GetNumberOfPoints(), 7u);
    const triangle_surface back = convert(*mesh);
    EXPECT_EQ(back.vertices, s.vertices);
    EXPECT_EQ(back.triangles, s.triangles);
    // Merged, the coincident vertex is one point; the octahedron is closed.
    const auto merged = convert(s, true);
    EXPECT_EQ(merged->GetNumberOfPoints(), 6u);
    const MeshReport r = CheckMesh(*merged);
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_NEAR(r.volume, 4.0 / 3.0 * 0.125, 1e-9);

    triangle_surface far = s;
    far.vertices[0][0] = 3e6;
    EXPECT_FALSE(convert(far)) << "beyond the 32-bit grid";
    far.vertices[0][0] = std::nan("");
    EXPECT_FALSE(convert(far));
    triangle_surface broken = s;
    broken.triangles[3][1] = 99;
    EXPECT_FALSE(convert(broken));
}

TEST(TriangleSurface, MergingLabellingAndEdgeCounts) {
    // Two triangles sharing one vertex (a bow tie), and a quad of two
    // triangles given with unshared corners.
    triangle_surface s;
    s.vertices = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {-1, 0, 0}, {0, -1, 0},
                  {5, 0, 0}, {6, 0, 0}, {6, 1, 0}, {5, 0, -0.0}, {6, 1, 0}, {5, 1, 0}};
    s.triangles = {{0, 1, 2}, {0, 3, 4}, {5, 6, 7}, {8, 9, 10}};
    EXPECT_EQ(label_components(s, connectivity_edge), (std::vector<uint64_t>{0, 1, 2, 3}));
    EXPECT_EQ(label_components(s, connectivity_vertex), (std::vector<uint64_t>{0, 0, 1, 2}));
    EXPECT_EQ(edge_use_counts(s), std::vector<uint32_t>(12, 1));

    const std::vector<uint64_t> map = unique_vertices(s);
    EXPECT_EQ(map, (std::vector<uint64_t>{0, 1, 2, 3, 4, 5, 6, 7, 5, 7, 8}));
    EXPECT_EQ(s.vertices.size(), 9u);
    EXPECT_EQ(s.triangles[3], (triangle{5, 7, 8}));
    EXPECT_EQ(label_components(s, connectivity_edge), (std::vector<uint64_t>{0, 1, 2, 2}));
    EXPECT_EQ(edge_use_counts(s), (std::vector<uint32_t>{1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 1, 1}));

    // NaN never merges; an index naming no vertex joins nothing and stays invalid.
    triangle_surface odd;
    odd.vertices = {{std::nan(""), 0, 0}, {std::nan(""), 0, 0}, {1, 1, 1}};
    odd.triangles = {{0, 1, 2}, {2, 1, 7}};
    EXPECT_EQ(unique_vertices(odd), (std::vector<uint64_t>{0, 1, 2}));
    EXPECT_EQ(odd.triangles[1], (triangle{2, 1, no_vertex}));
    EXPECT_EQ(label_components(odd, connectivity_edge), (std::vector<uint64_t>{0, 0}));
}

// --- classification ---------------------------------------------------------

TEST(ShellZones, ShellsAreClassifiedBySideOfTheZone) {
    triangle_surface zone;
    AddSheet(zone, 0.0, 100.0);
    triangle_surface s;
    AddBox(s, {0, 0, 2}, {4, 4, 6});         // 0: above
    AddBox(s, {10, 0, -6}, {14, 4, -2});     // 12: below
    AddBox(s, {20, 0, 0}, {24, 4, 4});       // 24: standing on the zone
    AddBox(s, {30, 0, -4}, {34, 4, 0});      // 36: hanging from the zone
    AddBox(s, {40, 0, -1}, {44, 4, 3});      // 48: crossing, mostly above
    AddBox(s, {50, 0, -3}, {54, 4, 1});      // 60: crossing, mostly below
    AddOctahedron(s, {200, 0, 1}, 0.5);      // 72: beyond the zone's edge, above its plane
    AddOctahedron(s, {200, 0, -1}, 0.5);     // 80: beyond the edge, below
    const std::vector<unsigned short> classes = classify_shells_by_zone(s, zone);
    ASSERT_EQ(classes.size(), s.triangles.size());
    const int expected[] = {1, 0, 1, 0, 1, 0};
    for (int k = 0; k < 6; ++k) EXPECT_EQ(ClassOf(classes, 12 * k, 12), expected[k]) << k;
    EXPECT_EQ(ClassOf(classes, 72, 8), 1);
    EXPECT_EQ(ClassOf(classes, 80, 8), 0);

    // A zone facing the other way turns every class.
    triangle_surface down;
    AddSheet(down, 0.0, 100.0, false);
    const std::vector<unsigned short> turned = classify_shells_by_zone(s, down);
    for (size_t t = 0; t < s.triangles.size(); ++t) EXPECT_EQ(turned[t], 1 - classes[t]) << t;

    // All shells in front: everything goes to the first part.
    triangle_surface front;
    AddBox(front, {0, 0, 2}, {4, 4, 6});
    AddSphere(front, {10, 10, 10}, 3, 200);
    const auto [first, second] = split_shells_by_zone(front, zone);
    EXPECT_EQ(first.triangles, front.triangles);
    EXPECT_EQ(first.vertices, front.vertices);
    EXPECT_TRUE(second.triangles.empty() && second.vertices.empty());

    // Empty zone or surface: class 1 everywhere.
    EXPECT_EQ(classify_shells_by_zone(s, triangle_surface{}), std::vector<unsigned short>(s.triangles.size(), 1));
    EXPECT_TRUE(classify_shells_by_zone(triangle_surface{}, zone).empty());
}

TEST(ShellZones, NearestZoneEdgeUsesTheSumOfBothNormals) {
    // A steep ridge along y: the left face z = 5x (x < 0) faces (-1, 0, 0.2),
    // the right face z = -5x faces (1, 0, 0.2).
    triangle_surface ridge;
    ridge.vertices = {{0, -10, 0}, {0, 10, 0}, {-2, -10, -10}, {-2, 10, -10}, {2, -10, -10}, {2, 10, -10}};
    ridge.triangles = {{0, 3, 2}, {0, 1, 3}, {0, 5, 1}, {0, 4, 5}};
    for (const triangle& t : ridge.triangles) {
        const MMVector3d n = (V(ridge.vertices[t[1]]) - V(ridge.vertices[t[0]])).Cross(V(ridge.vertices[t[2]]) - V(ridge.vertices[t[0]]));
        ASSERT_GT(n[2], 0.0);
        ASSERT_EQ(n[0] > 0.0, ridge.vertices[t[1]][0] + ridge.vertices[t[2]][0] > 0.0);
    }
    triangle_surface valley = ridge;  // the same faces turned over
    for (triangle& t : valley.triangles) std::swap(t[1], t[2]);
    // Points whose nearest zone point is the ridge edge but which lie behind
    // one of the two faces' planes: only the sum of the normals tells.
    for (double side : {-1.0, 1.0}) {
        const MMVector3d n1(side, 0.0, 0.2), n2(-side, 0.0, 0.2);
        const MMVector3d p = n1 * 1.0 + n2 * 0.2;  // in front of face 1, behind face 2
        ASSERT_LT(p.Dot(n2), 0.0);
        ASSERT_GT(p.Dot(n1), 0.0);
        triangle_surface s;
        AddOctahedron(s, {p[0], 3.0, p[2]}, 0.01);
        AddOctahedron(s, {0.0, -3.0, -2.0}, 0.01);  // inside the ridge
        const std::vector<unsigned short> classes = classify_shells_by_zone(s, ridge);
        EXPECT_EQ(ClassOf(classes, 0, 8), 1) << side;
        EXPECT_EQ(ClassOf(classes, 8, 8), 0) << side;
        const std::vector<unsigned short> turned = classify_shells_by_zone(s, valley);
        EXPECT_EQ(ClassOf(turned, 0, 8), 0) << side;
        EXPECT_EQ(ClassOf(turned, 8, 8), 1) << side;
    }
}

TEST(ShellZones, LabelledZones) {
    // Zone labels: the sheet z = 0 (facing up) is zone 2, the sheet x = 0
    // (facing +x) zone 7; the sheet z = 50 is labelled no zone.
    triangle_surface zones;
    AddSheet(zones, 0.0, 100.0);
    const uint64_t n = zones.vertices.size();
    zones.vertices.insert(zones.vertices.end(), {{0, -100, -100}, {0, 100, -100}, {0, 100, 100}, {0, -100, 100}});
    zones.triangles.push_back({n, n + 1, n + 2});
    zones.triangles.push_back({n, n + 2, n + 3});
    AddSheet(zones, 50.0, 100.0, false);
    const std::vector<unsigned short> labels{2, 2, 7, 7, no_zone, no_zone};
    triangle_surface s;
    AddOctahedron(s, {5, 1, 5}, 1);    // claimed by both: 7 wins
    AddOctahedron(s, {-5, 1, 5}, 1);   // only by 2
    AddOctahedron(s, {5, 1, -5}, 1);   // only by 7
    AddOctahedron(s, {-5, 1, -5}, 1);  // by none
    unsigned long long count = 0;
    const std::vector<unsigned short> zoneOf = classify_shells_by_zones(s, zones, labels, &count);
    EXPECT_EQ(count, 2u);
    const int expected[] = {7, 2, 7, no_zone};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(ClassOf(zoneOf, 8 * k, 8), expected[k]) << k;
    EXPECT_EQ(classify_shells_by_zones(s, zones, labels, nullptr), zoneOf);

    // A short label vector: the missing labels are no zone, so zone 7 has
    // only one triangle left and zone 2 is whole.  Extra labels are ignored.
    std::vector<unsigned short> shortLabels{2, 2, 7};
    EXPECT_EQ(classify_shells_by_zones(s, zones, shortLabels, &count), zoneOf);
    EXPECT_EQ(count, 2u);
    std::vector<unsigned short> longLabels = labels;
    longLabels.insert(longLabels.end(), {9, 11});
    EXPECT_EQ(classify_shells_by_zones(s, zones, longLabels, &count), zoneOf);
    EXPECT_EQ(count, 2u);

    // The second form classifies against the triangles labelled 0 only.
    const std::vector<unsigned short> asZero{7, 7, 0, 0, 0, 0};
    const std::vector<unsigned short> classes = classify_shells_by_zone(s, zones, asZero);
    // Against x = 0 (facing +x) and z = 50 (facing down): each shell's
    // nearest is the x = 0 sheet.
    const int side[] = {1, 0, 1, 0};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(ClassOf(classes, 8 * k, 8), side[k]) << k;
    EXPECT_EQ(classify_shells_by_zone(s, zones, std::vector<unsigned short>{}),
              std::vector<unsigned short>(s.triangles.size(), 1))
        << "no triangle labelled 0";

    // Bad input gives the defaults.
    triangle_surface broken = s;
    broken.triangles[0][0] = 1000;
    EXPECT_EQ(classify_shells_by_zones(broken, zones, labels, &count), std::vector<unsigned short>(s.triangles.size(), no_zone));
    EXPECT_EQ(classify_shells_by_zone(broken, zones), std::vector<unsigned short>(s.triangles.size(), 1));
    triangle_surface badZones = zones;
    badZones.vertices[0][2] = std::nan("");
    EXPECT_EQ(classify_shells_by_zones(s, badZones, labels, &count), std::vector<unsigned short>(s.triangles.size(), no_zone));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(classify_shells_by_zone(s, badZones), std::vector<unsigned short>(s.triangles.size(), 1));
}

// --- splitting ----------------------------------------------------------------

TEST(ShellZones, SplitLosesNoAreaAndKeepsIndicesValid) {
    triangle_surface zone;
    AddSheet(zone, 0.0, 100.0);
    triangle_surface s;
    for (int k = 0; k < 20; ++k) AddSphere(s, {k * 10.0, 0.0, (k % 3 - 1) * 4.0 + 0.3}, 3.0, 300);
    // A bow tie: two triangles sharing one vertex, one above the zone and
    // one below; they are different shells.
    const uint64_t n = s.vertices.size();
    s.vertices.insert(s.vertices.end(), {{0, 50, 0.5}, {1, 50, 2}, {0, 51, 2}, {1, 50, -2}, {0, 49, -2}});
    s.triangles.push_back({n, n + 1, n + 2});
    s.triangles.push_back({n, n + 3, n + 4});
    s.vertices.push_back({7, 7, 7});  // used by no triangle
    const auto [front, back] = split_shells_by_zone(s, zone);
    EXPECT_TRUE(ValidIndices(front));
    EXPECT_TRUE(ValidIndices(back));
    EXPECT_EQ(front.triangles.size() + back.triangles.size(), s.triangles.size());
    EXPECT_NEAR(Area(front) + Area(back), Area(s), 1e-9 * Area(s));
    EXPECT_GT(Area(front), 0.0);
    EXPECT_GT(Area(back), 0.0);
    // The shared vertex is on both sides, at its place.
    EXPECT_EQ(front.vertices[front.triangles.back()[0]], s.vertices[n]);
    EXPECT_EQ(back.vertices[back.triangles.back()[0]], s.vertices[n]);
    EXPECT_EQ(front.vertices.size() + back.vertices.size(), s.vertices.size() + 1);
    EXPECT_EQ(back.vertices.back(), (vertex{7, 7, 7}));
    // Every sphere stays whole and closed on its side.
    for (const triangle_surface* side : {&front, &back}) {
        const MeshReport r = Check(*side);
        EXPECT_EQ(r.nonManifoldEdges, 0u);
        EXPECT_EQ(r.inconsistentEdges, 0u);
    }
    // Bad input: empty results.
    triangle_surface broken = s;
    broken.triangles[5][2] = s.vertices.size();
    const auto [f2, b2] = split_shells_by_zone(broken, zone);
    EXPECT_TRUE(f2.triangles.empty() && b2.triangles.empty() && f2.vertices.empty() && b2.vertices.empty());
}

// --- subtraction and the zone cut -----------------------------------------------

TEST(ShellZones, SubtractionByKindOfZone) {
    triangle_surface box;
    AddBox(box, {0, 0, 0}, {10, 10, 10});
    const double boxArea = Area(box);

    // Closed from closed: the solid difference.
    triangle_surface tool;
    AddBox(tool, {5, -1, -1}, {11, 11, 11});
    int code = -1;
    const triangle_surface difference = boolean_subtract(box, tool, &code);
    EXPECT_EQ(code, 0);
    MeshReport r = Check(difference);
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_NEAR(r.volume, 500.0, 1e-6);

    // Open from closed: the part outside, left open.
    triangle_surface open = box;
    open.triangles.resize(10);  // two faces' worth fewer
    const triangle_surface outside = boolean_subtract(open, tool, &code);
    EXPECT_EQ(code, 0);
    r = Check(outside);
    EXPECT_FALSE(r.closed);
    for (const vertex& v : outside.vertices) EXPECT_LE(v[0], 5.0 + 1e-9);

    // A sheet cuts along itself and removes nothing: the two halves of the
    // box become separate shells with an open rim each.
    triangle_surface sheet;
    AddSheet(sheet, 4.5, 50.0);
    const triangle_surface cut = boolean_subtract(box, sheet, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NEAR(Area(cut), boxArea, 1e-6);
    const std::vector<uint64_t> shells = label_components(cut, connectivity_edge);
    EXPECT_EQ(*std::max_element(shells.begin(), shells.end()), 1u);
    for (size_t t = 0; t < cut.triangles.size(); ++t) {
        double z = 0.0;
        for (uint64_t v : cut.triangles[t]) z += cut.vertices[v][2] / 3.0;
        EXPECT_EQ(z < 4.5, shells[t] != shells[0] ? shells[0] == 1 - shells[t] && z < 4.5 : z < 4.5) << t;
    }
    r = Check(cut);
    EXPECT_TRUE(r.closed) << "merged again, the halves close up";

    // Two sheets crossing each other inside a sphere cut it into quarters; a
    // degenerate triangle of the surface is left out.
    triangle_surface sphere;
    AddSphere(sphere, {0.3, 0.2, 0.1}, 5.0, 600);
    const double sphereArea = Area(sphere);
    const uint64_t m = sphere.vertices.size();
    sphere.vertices.insert(sphere.vertices.end(), {{20, 0, 0}, {21, 0, 0}, {22, 0, 0}});
    sphere.triangles.push_back({m, m + 1, m + 2});
    triangle_surface cross;
    AddSheet(cross, 0.0, 50.0);
    const uint64_t c = cross.vertices.size();
    cross.vertices.insert(cross.vertices.end(), {{0, -50, -50}, {0, 50, -50}, {0, 50, 50}, {0, -50, 50}});
    cross.triangles.push_back({c, c + 1, c + 2});
    cross.triangles.push_back({c, c + 2, c + 3});
    const triangle_surface quarters = boolean_subtract(sphere, cross, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NEAR(Area(quarters), sphereArea, 1e-6 * sphereArea);
    const std::vector<uint64_t> pieces = label_components(quarters, connectivity_edge);
    EXPECT_EQ(*std::max_element(pieces.begin(), pieces.end()), 3u);
    EXPECT_TRUE(Check(quarters).closed);

    // Nothing to subtract; bad input.
    EXPECT_EQ(boolean_subtract(box, triangle_surface{}, &code).triangles.size(), box.triangles.size());
    EXPECT_EQ(code, 0);
    triangle_surface broken = box;
    broken.triangles[0][0] = 99;
    EXPECT_TRUE(boolean_subtract(broken, tool, &code).triangles.empty());
    EXPECT_EQ(code, QelSDK::Triangles::Boolean::eInvalidInput);
    triangle_surface far = tool;
    far.vertices[0][0] = 1e7;
    EXPECT_TRUE(boolean_subtract(box, far, &code).triangles.empty());
    EXPECT_EQ(code, QelSDK::Triangles::Boolean::eInvalidInput);
}

TEST(ShellZones, SubtractionBySoupsOfTriangles) {
    triangle_surface sphere;
    AddSphere(sphere, {0.3, 0.2, 0.1}, 5.0, 600);
    const double sphereArea = Area(sphere);
    // 300 single triangles through the surface, none touching another: cut
    // along all of them at once, nothing removed.
    triangle_surface soup;
    for (int k = 0; k < 300; ++k) {
        const double a = 2.0 * M_PI * k / 300.0, c = std::cos(a), s = std::sin(a);
        const uint64_t first = soup.vertices.size();
        soup.vertices.insert(soup.vertices.end(), {{4.0 * c, 4.0 * s, -0.5}, {6.5 * c, 6.5 * s, -0.5}, {5.2 * c, 5.2 * s, 0.6}});
        soup.triangles.push_back({first, first + 1, first + 2});
    }
    int code = -1;
    const triangle_surface cut = boolean_subtract(sphere, soup, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NEAR(Area(cut), sphereArea, 1e-4 * sphereArea) << "up to the new points' rounding to the grid";
    EXPECT_GT(cut.triangles.size(), sphere.triangles.size() + 300);
    // Triangles standing round the Z axis, each crossing all the others
    // there: three cut the sphere into six wedges, twelve cross each other
    // too often and are refused.
    for (const int fins : {3, 12}) {
        triangle_surface fan;
        for (int k = 0; k < fins; ++k) {
            const double a = M_PI * k / fins, c = std::cos(a), s = std::sin(a), lift = 0.1 * k;
            const uint64_t first = fan.vertices.size();
            fan.vertices.insert(fan.vertices.end(), {{-30 * c, -30 * s, -30 - lift}, {30 * c, 30 * s, -30 - lift}, {0, 0, 30 + lift}});
            fan.triangles.push_back({first, first + 1, first + 2});
        }
        const triangle_surface wedges = boolean_subtract(sphere, fan, &code);
        if (fins > 8) {
            EXPECT_EQ(code, QelSDK::Triangles::Boolean::eSelfIntersecting);
            EXPECT_TRUE(wedges.triangles.empty());
            continue;
        }
        EXPECT_EQ(code, 0);
        EXPECT_NEAR(Area(wedges), sphereArea, 1e-4 * sphereArea);
        const std::vector<uint64_t> pieces = label_components(wedges, connectivity_edge);
        EXPECT_EQ(*std::max_element(pieces.begin(), pieces.end()), 5u);
    }
}

TEST(ShellZones, MultiCutSplitsShellsPerZone) {
    // Zone 3: the sheet z = 20; zone 1: the sheet z = 0; both face up.
    triangle_surface zones;
    AddSheet(zones, 20.0, 100.0);
    AddSheet(zones, 0.0, 100.0);
    const std::vector<unsigned short> labels{3, 3, 1, 1};
    triangle_surface s;
    AddSphere(s, {0, 0, 0.5}, 5.0, 400);    // crosses zone 1
    AddSphere(s, {30, 0, 20.5}, 5.0, 400);  // crosses zone 3
    AddOctahedron(s, {60, 0, 10}, 1);       // between: zone 1
    AddOctahedron(s, {60, 0, 30}, 1);       // above both: zone 3
    AddOctahedron(s, {60, 0, -10}, 1);      // below both: no zone
    int code = -1;
    const std::vector<triangle_surface> out = multi_cut_and_split_shells(s, zones, labels, &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_NEAR(Area(out[0]) + Area(out[1]) + Area(out[2]), Area(s), 1e-6 * Area(s));
    const double slack = 1e-9;
    for (const vertex& v : out[0].vertices) EXPECT_TRUE(v[2] >= -slack && v[2] <= 20.0 + slack) << v[2];
    for (const vertex& v : out[1].vertices) EXPECT_GE(v[2], 20.0 - slack);
    for (const vertex& v : out[2].vertices) EXPECT_LE(v[2], slack);
    // Each output holds merged vertices and pieces with a consistent orientation.
    for (const triangle_surface& o : out) {
        EXPECT_TRUE(ValidIndices(o));
        triangle_surface merged = o;
        unique_vertices(merged);
        EXPECT_EQ(merged.vertices.size(), o.vertices.size());
        const MeshReport r = Check(o);
        EXPECT_EQ(r.inconsistentEdges, 0u);
        EXPECT_EQ(r.nonManifoldEdges, 0u);
    }
    // Zone 1 holds the upper cap of the first sphere, the lower part of the
    // second and the middle octahedron.
    EXPECT_EQ(Check(out[0]).shells, 3u);
    EXPECT_EQ(Check(out[1]).shells, 2u);
    EXPECT_EQ(Check(out[2]).shells, 2u);

    // Labels of no zone are not zones; labels missing past the end neither.
    std::vector<unsigned short> withNone{3, 3, no_zone, no_zone};
    const std::vector<triangle_surface> two = multi_cut_and_split_shells(s, zones, withNone, &code);
    EXPECT_EQ(code, 0);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(multi_cut_and_split_shells(s, zones, {3, 3}, &code).size(), 2u);
    EXPECT_NEAR(Area(two[0]) + Area(two[1]), Area(s), 1e-6 * Area(s));

    // No zones at all: one output, the whole surface.
    const std::vector<triangle_surface> one = multi_cut_and_split_shells(s, triangle_surface{}, {}, &code);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].triangles.size(), s.triangles.size());
    // Bad input: one empty output.
    triangle_surface broken = s;
    broken.triangles[10][1] = 1u << 30;
    const std::vector<triangle_surface> none = multi_cut_and_split_shells(broken, zones, labels, &code);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_TRUE(none[0].triangles.empty());
    EXPECT_EQ(code, QelSDK::Triangles::Boolean::eInvalidInput);
}

// --- extrusion ------------------------------------------------------------------

TEST(ShellZones, ExtrudedDiscIsAClosedShellOfTheThickness) {
    triangle_surface disc;
    disc.vertices.push_back({0, 0, 0});
    const int segments = 32;
    for (int k = 0; k < segments; ++k) {
        const double a = 2.0 * std::numbers::pi * k / segments;
        // On the grid, so that the shell's volume is exact.
        disc.vertices.push_back({std::round(1e4 * std::cos(a)) / 1e3, std::round(1e4 * std::sin(a)) / 1e3, 0.0});
    }
    for (uint64_t k = 0; k < segments; ++k) disc.triangles.push_back({0, 1 + k, 1 + (k + 1) % segments});
    std::vector<unsigned short> parts;
    const triangle_surface shell = simple_extrude(disc, 2.0, &parts);
    ASSERT_EQ(shell.triangles.size(), 4u * segments);
    ASSERT_EQ(parts.size(), shell.triangles.size());
    EXPECT_EQ(std::count(parts.begin(), parts.end(), 0), segments);
    EXPECT_EQ(std::count(parts.begin(), parts.end(), 1), segments);
    EXPECT_EQ(std::count(parts.begin(), parts.end(), 2), 2 * segments);
    EXPECT_EQ(shell.vertices[0], (vertex{0, 0, 1}));
    EXPECT_EQ(shell.vertices[segments + 1], (vertex{0, 0, -1}));
    const MeshReport r = Check(shell);
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_EQ(r.shells, 1u);
    EXPECT_NEAR(r.volume, Area(disc) * 2.0, 1e-9);

    // Thickness 0: the disc and a reversed coincident copy, no walls.
    const triangle_surface flat = simple_extrude(disc, 0.0, &parts);
    EXPECT_EQ(flat.triangles.size(), 2u * segments);
    EXPECT_EQ(std::count(parts.begin(), parts.end(), 2), 0);
    for (uint64_t v = 0; v <= uint64_t(segments); ++v) EXPECT_EQ(flat.vertices[v], flat.vertices[v + segments + 1]);
    EXPECT_EQ(flat.triangles[segments], (triangle{segments + 1, segments + 3, segments + 2}));

    // Not finite: nothing.
    EXPECT_TRUE(simple_extrude(disc, std::nan(""), &parts).triangles.empty());
    EXPECT_TRUE(parts.empty());
}

TEST(ShellZones, ExtrusionWallsOnlyOnBorderEdgesAndNoNaN) {
    // A strip one triangle wide: every interior edge joins two border vertices.
    triangle_surface strip;
    for (int k = 0; k <= 3; ++k) {
        strip.vertices.push_back({double(k), 0, 0});
        strip.vertices.push_back({double(k), 1, 0});
    }
    for (uint64_t k = 0; k < 3; ++k) {
        strip.triangles.push_back({2 * k, 2 * k + 2, 2 * k + 3});
        strip.triangles.push_back({2 * k, 2 * k + 3, 2 * k + 1});
    }
    std::vector<unsigned short> parts;
    const triangle_surface box = simple_extrude(strip, 0.5, &parts);
    EXPECT_EQ(std::count(parts.begin(), parts.end(), 2), 2 * 8) << "eight border edges";
    MeshReport r = Check(box);
    EXPECT_TRUE(r.closed && r.oriented);
    EXPECT_NEAR(r.volume, 3.0 * 0.5, 1e-9);

    // Degenerate triangles and cancelling normals give no NaN.
    triangle_surface odd = strip;
    const uint64_t n = odd.vertices.size();
    odd.vertices.insert(odd.vertices.end(), {{10, 0, 0}, {11, 0, 0}, {12, 0, 0}, {20, 0, 0}, {21, 0, 0}, {20, 1, 0}});
    odd.triangles.push_back({n, n + 1, n + 2});      // collinear
    odd.triangles.push_back({n + 3, n + 4, n + 5});  // and the same
    odd.triangles.push_back({n + 3, n + 5, n + 4});  // back to back
    const triangle_surface thick = simple_extrude(odd, 1.0, &parts);
    for (const vertex& v : thick.vertices) EXPECT_TRUE(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]));
    const uint64_t m = odd.vertices.size();
    for (uint64_t v = n; v < m; ++v) EXPECT_EQ(thick.vertices[v], odd.vertices[v]) << "no direction, not moved";
    EXPECT_EQ(thick.vertices[0][2], 0.5);

    triangle_surface broken = strip;
    broken.triangles[0][0] = 100;
    EXPECT_TRUE(simple_extrude(broken, 1.0, &parts).triangles.empty());
    EXPECT_TRUE(parts.empty());
}
