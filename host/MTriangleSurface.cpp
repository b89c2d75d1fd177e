#include "host/MTriangleSurface.h"

#include <absl/container/flat_hash_map.h>

#include <bit>
#include <cmath>
#include <stdexcept>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "host/MUnionFind.h"

namespace QelSDK::Math {

double point_to_triangle_distance(const point<double, 3>& p, const point<double, 3>& a, const point<double, 3>& b,
                                  const point<double, 3>& c, point<double, 3>& closest) {
    auto v = [](const point<double, 3>& q) { return MMVector3d(q[0], q[1], q[2]); };
    MMVector3d q;
    const double d = point_to_triangle_distance(v(p), v(a), v(b), v(c), &q);
    closest = {q[0], q[1], q[2]};
    return d;
}

}  // namespace QelSDK::Math

namespace QelSDK::Geometry {
namespace {

// The triangles around every vertex: those of vertex v are
// triangles[offsets[v] .. offsets[v + 1]), in increasing order (a triangle
// naming v twice is listed twice, side by side).
struct Fans {
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> triangles;
};

uint32_t CheckedTriangleCount(const triangle_surface& s) {
    if (s.triangles.size() > UINT32_MAX) throw std::length_error("triangle_surface: too many triangles");
    return uint32_t(s.triangles.size());
}

Fans BuildFans(const triangle_surface& s) {
    const uint64_t n = s.vertices.size();
    const uint32_t count = CheckedTriangleCount(s);
    Fans f;
    f.offsets.assign(n + 1, 0);
    for (const triangle& t : s.triangles)
        for (uint64_t v : t)
            if (v < n) ++f.offsets[v + 1];
    for (uint64_t v = 0; v < n; ++v) f.offsets[v + 1] += f.offsets[v];
    f.triangles.resize(f.offsets[n]);
    // Filling moves each vertex's start to the next one's; shifting back
    // restores the starts.
    for (uint32_t t = 0; t < count; ++t)
        for (uint64_t v : s.triangles[t])
            if (v < n) f.triangles[f.offsets[v]++] = t;
    for (uint64_t v = n; v > 0; --v) f.offsets[v] = f.offsets[v - 1];
    f.offsets[0] = 0;
    return f;
}

// Calls `other(u)` once for every triangle u other than t that uses the
// edge (a, b) of t.
template <class F>
void ForEachEdgeNeighbour(const triangle_surface& s, const Fans& fans, uint32_t t, uint64_t a, uint64_t b, F&& other) {
    const uint64_t n = s.vertices.size();
    if (a >= n || b >= n || a == b) return;
    uint32_t previous = UINT32_MAX;
    for (uint64_t i = fans.offsets[a]; i < fans.offsets[a + 1]; ++i) {
        const uint32_t u = fans.triangles[i];
        if (u == t || u == previous) continue;
        previous = u;
        const triangle& tu = s.triangles[u];
        if (tu[0] == b || tu[1] == b || tu[2] == b) other(u);
    }
}

// Component numbers from the union-find roots, in order of first triangle.
template <class Root>
std::vector<uint64_t> Number(uint32_t count, Root&& root) {
    std::vector<uint64_t> labels(count);
    std::vector<uint64_t> numberOfRoot(count, no_triangle);
    uint64_t next = 0;
    for (uint32_t t = 0; t < count; ++t) {
        uint64_t& number = numberOfRoot[root(t)];
        if (number == no_triangle) number = next++;
        labels[t] = number;
    }
    return labels;
}

bool ToGrid(const vertex& v, int32_t out[3]) {
    for (int a = 0; a < 3; ++a) {
        const double steps = std::nearbyint(v[a] * Common::MInternalUnits::Get());
        if (!(steps >= -2147483648.0 && steps <= 2147483647.0)) return false;
        out[a] = int32_t(steps);
    }
    return true;
}

// A position as the bit patterns of its coordinates.
struct PositionKey {
    uint64_t bits[3];
    bool operator==(const PositionKey& o) const {
        return bits[0] == o.bits[0] && bits[1] == o.bits[1] && bits[2] == o.bits[2];
    }
    template <class H>
    friend H AbslHashValue(H h, const PositionKey& k) {
        return H::combine(std::move(h), k.bits[0], k.bits[1], k.bits[2]);
    }
};

}  // namespace

bool has_valid_indices(const triangle_surface& surface) {
    const uint64_t n = surface.vertices.size();
    for (const triangle& t : surface.triangles)
        if (t[0] >= n || t[1] >= n || t[2] >= n) return false;
    return true;
}

bool has_finite_vertices(const triangle_surface& surface) {
    for (const vertex& v : surface.vertices)
        if (!std::isfinite(v[0]) || !std::isfinite(v[1]) || !std::isfinite(v[2])) return false;
    return true;
}

std::unique_ptr<MStlBase> convert(const triangle_surface& surface, bool merge_points) {
    if (!has_valid_indices(surface)) return nullptr;
    auto mesh = std::make_unique<MStlBase>();
    mesh->Reserve(surface.vertices.size(), surface.triangles.size());
    std::vector<MStlPoint*> points(surface.vertices.size());
    for (size_t i = 0; i < points.size(); ++i) {
        int32_t c[3];
        if (!ToGrid(surface.vertices[i], c)) return nullptr;
        points[i] = mesh->AddPoint(c[0], c[1], c[2], !merge_points);
    }
    for (const triangle& t : surface.triangles) mesh->AddTriangle(points[t[0]], points[t[1]], points[t[2]]);
    return mesh;
}

triangle_surface convert(const MStlBase& mesh) {
    triangle_surface s;
    s.vertices.reserve(mesh.GetNumberOfPoints());
    s.triangles.reserve(mesh.GetNumberOfTriangles());
    std::vector<uint64_t> index(mesh.GetNumberOfPointSlots(), no_vertex);
    const double unit = Common::MInternalUnits::Get();
    for (auto it = mesh.BeginPoint(); it != mesh.EndPoint(); ++it) {
        index[it->GetIndex()] = s.vertices.size();
        s.vertices.push_back({it->GetX() / unit, it->GetY() / unit, it->GetZ() / unit});
    }
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it)
        s.triangles.push_back(
            {index[it->GetPoint(0)->GetIndex()], index[it->GetPoint(1)->GetIndex()], index[it->GetPoint(2)->GetIndex()]});
    return s;
}

std::vector<uint64_t> unique_vertices(triangle_surface& surface) {
    const uint64_t n = surface.vertices.size();
    std::vector<uint64_t> map(n);
    absl::flat_hash_map<PositionKey, uint64_t> first;
    first.reserve(n);
    uint64_t kept = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const vertex v = surface.vertices[i];
        if (v[0] != v[0] || v[1] != v[1] || v[2] != v[2]) {
            surface.vertices[kept] = v;
            map[i] = kept++;
            continue;
        }
        // + 0.0 turns -0 into 0.
        const PositionKey key{{std::bit_cast<uint64_t>(v[0] + 0.0), std::bit_cast<uint64_t>(v[1] + 0.0),
                       std::bit_cast<uint64_t>(v[2] + 0.0)}};
        const auto [it, inserted] = first.try_emplace(key, kept);
        if (inserted) surface.vertices[kept++] = v;
        map[i] = it->second;
    }
    surface.vertices.resize(kept);
    for (triangle& t : surface.triangles)
        for (uint64_t& v : t) v = v < n ? map[v] : no_vertex;
    return map;
}

std::vector<uint64_t> label_components(const triangle_surface& surface, int connectivity) {
    const uint32_t count = CheckedTriangleCount(surface);
    const uint64_t n = surface.vertices.size();
    if (connectivity == connectivity_vertex) {
        if (n > UINT32_MAX) throw std::length_error("triangle_surface: too many vertices");
        MUnionFind vertices{uint32_t(n)};
        for (const triangle& t : surface.triangles) {
            uint64_t first = no_vertex;
            for (uint64_t v : t)
                if (v >= n) continue;
                else if (first == no_vertex) first = v;
                else vertices.Join(uint32_t(first), uint32_t(v));
        }
        // A triangle's root vertex stands for its component; one without a
        // valid corner is a component of its own (keyed past the vertices).
        std::vector<uint64_t> labels(count);
        absl::flat_hash_map<uint64_t, uint64_t> number;
        for (uint32_t t = 0; t < count; ++t) {
            const triangle& tri = surface.triangles[t];
            uint64_t key = n + t;
            for (uint64_t v : tri)
                if (v < n) {
                    key = vertices.Find(uint32_t(v));
                    break;
                }
            labels[t] = number.try_emplace(key, number.size()).first->second;
        }
        return labels;
    }
    const Fans fans = BuildFans(surface);
    MUnionFind sets(count);
    for (uint32_t t = 0; t < count; ++t) {
        const triangle& tri = surface.triangles[t];
        for (int k = 0; k < 3; ++k)
            ForEachEdgeNeighbour(surface, fans, t, tri[k], tri[(k + 1) % 3], [&](uint32_t u) { sets.Join(t, u); });
    }
    return Number(count, [&](uint32_t t) { return sets.Find(t); });
}

std::vector<uint32_t> edge_use_counts(const triangle_surface& surface) {
    const uint32_t count = CheckedTriangleCount(surface);
    const Fans fans = BuildFans(surface);
    std::vector<uint32_t> uses(size_t(count) * 3, 1);
    for (uint32_t t = 0; t < count; ++t) {
        const triangle& tri = surface.triangles[t];
        for (int k = 0; k < 3; ++k)
            ForEachEdgeNeighbour(surface, fans, t, tri[k], tri[(k + 1) % 3], [&](uint32_t) { ++uses[size_t(t) * 3 + k]; });
    }
    return uses;
}

triangle_tree build_triangle_tree(const triangle_surface& surface) {
    const uint64_t n = surface.vertices.size();
    return triangle_tree(surface.triangles.size(), [&surface, n](uint32_t i, triangle_tree::Corners& corners) {
        const triangle& t = surface.triangles[i];
        for (int c = 0; c < 3; ++c)
            for (int a = 0; a < 3; ++a)
                corners[c][a] = t[c] < n ? surface.vertices[t[c]][a] : std::numeric_limits<double>::quiet_NaN();
    });
}

uint64_t find_nearest_if(const triangle_tree& tree, const vertex& p, const std::function<bool(uint64_t)>& is_nearest,
                         double max_distance) {
    const MMVector3d point(p[0], p[1], p[2]);
    uint64_t found = no_triangle;
    tree.VisitNear(point, max_distance, [&](uint32_t k, double limit) {
        const uint64_t index = tree.GetInputPosition(k);
        if (!is_nearest(index)) return limit;
        found = index;
        const double d = Math::point_to_triangle_distance(point, tree.GetCorner(k, 0), tree.GetCorner(k, 1),
                                                          tree.GetCorner(k, 2));
        return std::min(limit, d + 1e-9 * std::max(1.0, d));
    });
    return found;
}

}  // namespace QelSDK::Geometry
