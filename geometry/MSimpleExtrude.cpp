// Thickening an open surface into a closed shell.
#include <cmath>

#include "MGeometryFunctions.h"

namespace QelSDK::Geometry {
namespace {

// A vertex normal sum shorter than this (the sum of unit normals that
// cancel) gives no direction.
constexpr double kNoDirection = 1e-9;

MMVector3d ToVector(const vertex& v) { return {v[0], v[1], v[2]}; }

// The unit normal of (a, b, c), scaled before the length is taken so that
// large coordinates cannot overflow; false for a degenerate triangle.
bool UnitNormal(const vertex& a, const vertex& b, const vertex& c, MMVector3d& unit) {
    MMVector3d n = (ToVector(b) - ToVector(a)).Cross(ToVector(c) - ToVector(a));
    const double scale = std::max({std::fabs(n[0]), std::fabs(n[1]), std::fabs(n[2])});
    if (!(scale > 0.0) || !std::isfinite(scale)) return false;
    n = n / scale;
    if (!n.Normalize()) return false;
    unit = n;
    return true;
}

// Every vertex's offset: half the thickness along its normalised normal sum.
std::vector<MMVector3d> Offsets(const triangle_surface& s, double half) {
    std::vector<MMVector3d> sum(s.vertices.size());
    for (const triangle& t : s.triangles) {
        MMVector3d unit;
        if (!UnitNormal(s.vertices[t[0]], s.vertices[t[1]], s.vertices[t[2]], unit)) continue;
        for (uint64_t v : t) sum[v] += unit;
    }
    for (MMVector3d& n : sum) {
        if (n.Length() < kNoDirection) n = MMVector3d();
        else n = n / n.Length() * half;
    }
    return sum;
}

}  // namespace

triangle_surface simple_extrude(const triangle_surface& surface, double thickness,
                                std::vector<unsigned short>* part_labels) {
    triangle_surface result;
    if (part_labels) part_labels->clear();
    if (!has_valid_indices(surface) || !has_finite_vertices(surface) || !std::isfinite(thickness)) return result;
    const uint64_t n = surface.vertices.size(), count = surface.triangles.size();
    const double half = thickness * 0.5;
    const std::vector<MMVector3d> offsets = half != 0.0 ? Offsets(surface, half) : std::vector<MMVector3d>(n);

    result.vertices.reserve(2 * n);
    for (int side : {1, -1})
        for (uint64_t v = 0; v < n; ++v) {
            const MMVector3d p = ToVector(surface.vertices[v]) + offsets[v] * double(side);
            result.vertices.push_back({p[0], p[1], p[2]});
        }
    result.triangles.reserve(2 * count);
    result.triangles.insert(result.triangles.end(), surface.triangles.begin(), surface.triangles.end());
    // The inner copy, reversed so that it faces away from the outer one.
    for (const triangle& t : surface.triangles) result.triangles.push_back({t[0] + n, t[2] + n, t[1] + n});

    // Walls along the border: edges that one triangle alone uses.
    if (half != 0.0) {
        const std::vector<uint32_t> uses = edge_use_counts(surface);
        for (uint64_t t = 0; t < count; ++t)
            for (int k = 0; k < 3; ++k) {
                const uint64_t a = surface.triangles[t][k], b = surface.triangles[t][(k + 1) % 3];
                if (uses[3 * t + k] != 1 || a == b) continue;
                result.triangles.push_back({a + n, b + n, b});
                result.triangles.push_back({a + n, b, a});
            }
    }
    if (part_labels) {
        part_labels->assign(result.triangles.size(), 2);
        std::fill(part_labels->begin(), part_labels->begin() + count, 0);
        std::fill(part_labels->begin() + count, part_labels->begin() + 2 * count, 1);
    }
    return result;
}

}  // namespace QelSDK::Geometry
