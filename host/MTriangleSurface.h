// The plain indexed triangle surface and the modules that work on it:
// conversion to and from the mesh model, vertex merging, component labels,
// edge use counts, and the triangle tree with its nearest search.
//
// A surface's vertices are in model units.  Vertex identity is the index:
// two vertices at the same position are different vertices until
// unique_vertices merges them, so a surface that was cut apart keeps its
// pieces apart although they touch.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "host/MStlTriangleTree.h"

class MStlBase;

namespace QelSDK::Math {

template <class T, int N>
struct point {
    std::array<T, N> coordinates{};

    point() = default;
    point(T x, T y, T z) requires(N == 3) : coordinates{x, y, z} {}
    T& operator[](int i) { return coordinates[size_t(i)]; }
    const T& operator[](int i) const { return coordinates[size_t(i)]; }
    T x() const { return coordinates[0]; }
    T y() const { return coordinates[1]; }
    T z() const requires(N >= 3) { return coordinates[2]; }
    bool operator==(const point&) const = default;
};

// Euclidean distance from p to the triangle (a, b, c); `closest` receives the
// triangle's nearest point.  Degenerate triangles fall back to their edges.
double point_to_triangle_distance(const point<double, 3>& p, const point<double, 3>& a, const point<double, 3>& b,
                                  const point<double, 3>& c, point<double, 3>& closest);

}  // namespace QelSDK::Math

namespace QelSDK::Geometry {

using vertex = Math::point<double, 3>;
using triangle = std::array<uint64_t, 3>;

struct triangle_surface {
    std::vector<vertex> vertices;
    // Corner order fixes the normal (b - a) x (c - a).
    std::vector<triangle> triangles;
};

// Every triangle index names a vertex.
bool has_valid_indices(const triangle_surface& surface);
// Every vertex coordinate is finite.
bool has_finite_vertices(const triangle_surface& surface);

// The surface as a mesh in internal units: every vertex becomes a point of
// its own (also where two vertices coincide), rounded to the nearest grid
// point, and every triangle a triangle of the mesh, in order.  With
// `merge_points` vertices that land on one grid point become one point
// instead, which makes a closed surface given as separate triangles a closed
// mesh.  Null when an index names no vertex or a vertex does not fit the
// 32-bit grid (not finite, or beyond about 2147483 model units).  A triangle
// with two corners on one grid point has no place in a mesh and is left out.
std::unique_ptr<MStlBase> convert(const triangle_surface& surface, bool merge_points = false);
// The mesh as a surface in model units: every live point (in slot order)
// one vertex, every triangle (in list order) one triangle.  A surface made
// by convert above comes back unchanged, up to the grid.
triangle_surface convert(const MStlBase& mesh);

// Merges vertices at equal positions (0 and -0 are equal, NaN equals
// nothing): the first of each position stays, in order, and every triangle
// is renumbered.  Returns the map from old to new index.  An index that
// named no vertex becomes no_vertex.
constexpr uint64_t no_vertex = std::numeric_limits<uint64_t>::max();
std::vector<uint64_t> unique_vertices(triangle_surface& surface);

// Connectivity of label_components.
enum : int {
    // Triangles sharing a vertex are joined.
    connectivity_vertex = 0,
    // Triangles sharing an edge (two vertices, in either direction) are
    // joined; a touch at a single vertex does not join.
    connectivity_edge = 1,
};
// A component number per triangle: triangles joined (directly or through
// others) by `connectivity` (any value but 0 means connectivity_edge) share
// a number.  Numbers start at 0 and follow the order of each component's
// first triangle.  Indices naming no vertex join nothing.
std::vector<uint64_t> label_components(const triangle_surface& surface, int connectivity);

// For every triangle and edge k (corner k to corner k+1) the number of
// triangles using that edge, the triangle itself included: 1 on an open
// border, 2 inside a manifold surface.  An edge whose corners are one vertex
// counts as used once.
std::vector<uint32_t> edge_use_counts(const triangle_surface& surface);

// The triangle tree over a surface's triangles; input positions are
// triangle indices.  It keeps its own copy of the corners.
using triangle_tree = MTriangleTree<double>;
triangle_tree build_triangle_tree(const triangle_surface& surface);

constexpr uint64_t no_triangle = std::numeric_limits<uint64_t>::max();
// Visits the triangles whose boxes lie within `max_distance` of `p`, nearer
// boxes first, calling `is_nearest(index)` with each candidate's triangle
// index.  A true answer says the candidate is now the nearest: the search
// then passes over boxes farther than its distance, plus 1e-9 (relative to
// that distance above 1) so that every triangle as near within that
// tolerance, such as the other triangles at a nearest edge or corner, is
// still visited.  Returns the index last answered true, or no_triangle.
uint64_t find_nearest_if(const triangle_tree& tree, const vertex& p, const std::function<bool(uint64_t)>& is_nearest,
                         double max_distance = std::numeric_limits<double>::infinity());

}  // namespace QelSDK::Geometry
