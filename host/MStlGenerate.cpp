#include "host/MStlGenerate.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "host/MStlBase.h"

namespace {

MStlPoint* AddRounded(MStlBase& m, double x, double y, double z) {
    return m.AddPoint(MMVector3l(std::lround(x), std::lround(y), std::lround(z)));
}

void Reserve(MStlBase& m, uint64_t points, uint64_t triangles) {
    m.Reserve(m.GetNumberOfPointSlots() + points, m.GetNumberOfTriangleSlots() + triangles);
}

// Two triangles over the quad a-b-c-d, counter-clockwise seen from outside.
void AddQuad(MStlBase& m, MStlPoint* a, MStlPoint* b, MStlPoint* c, MStlPoint* d) {
    m.AddTriangle(a, b, c);
    m.AddTriangle(a, c, d);
}

}  // namespace

// Bands: `rings` latitude bands from pole to pole, `segments` meridians.
// The two cap bands are fans of `segments` triangles, every other band holds
// 2 * segments, so the total is 2 * segments * (rings - 1).  Segments are
// about twice the rings, which keeps the cells near the equator square.
void GenerateSphere(MStlBase& m, double radius, uint64_t approxTriangles, MMVector3d centre) {
    const uint64_t rings = std::max<uint64_t>(2, std::llround((1.0 + std::sqrt(1.0 + double(approxTriangles))) / 2.0));
    const uint64_t segments = std::max<uint64_t>(3, std::llround(double(approxTriangles) / double(2 * (rings - 1))));
    Reserve(m, 2 + segments * (rings - 1), 2 * segments * (rings - 1));

    MStlPoint* north = AddRounded(m, centre[0], centre[1], centre[2] + radius);
    MStlPoint* south = AddRounded(m, centre[0], centre[1], centre[2] - radius);
    // ring[(j - 1) * segments + k]: band border j (1 at the north), meridian k.
    std::vector<MStlPoint*> ring((rings - 1) * segments);
    std::vector<double> cosPhi(segments), sinPhi(segments);
    for (uint64_t k = 0; k < segments; ++k) {
        const double phi = 2.0 * std::numbers::pi * double(k) / double(segments);
        cosPhi[k] = std::cos(phi);
        sinPhi[k] = std::sin(phi);
    }
    for (uint64_t j = 1; j < rings; ++j) {
        const double theta = std::numbers::pi * double(j) / double(rings);
        const double rxy = radius * std::sin(theta), z = centre[2] + radius * std::cos(theta);
        for (uint64_t k = 0; k < segments; ++k)
            ring[(j - 1) * segments + k] = AddRounded(m, centre[0] + rxy * cosPhi[k], centre[1] + rxy * sinPhi[k], z);
    }
    auto at = [&](uint64_t j, uint64_t k) { return ring[(j - 1) * segments + k % segments]; };
    for (uint64_t k = 0; k < segments; ++k) {
        m.AddTriangle(north, at(1, k), at(1, k + 1));
        for (uint64_t j = 1; j + 1 < rings; ++j) AddQuad(m, at(j, k), at(j + 1, k), at(j + 1, k + 1), at(j, k + 1));
        m.AddTriangle(south, at(rings - 1, k + 1), at(rings - 1, k));
    }
}

// A grid of `around` steps along the central circle by `tube` steps around
// the tube, with the cell sides in the ratio of the two radii.
void GenerateTorus(MStlBase& m, double R, double r, uint64_t approxTriangles) {
    const double cells = std::max(9.0, double(approxTriangles) / 2.0);
    const uint64_t tube = std::max<uint64_t>(3, std::llround(std::sqrt(cells * r / R)));
    const uint64_t around = std::max<uint64_t>(3, std::llround(cells / double(tube)));
    Reserve(m, around * tube, 2 * around * tube);

    std::vector<MStlPoint*> grid(around * tube);
    for (uint64_t i = 0; i < around; ++i) {
        const double phi = 2.0 * std::numbers::pi * double(i) / double(around);
        for (uint64_t j = 0; j < tube; ++j) {
            const double psi = 2.0 * std::numbers::pi * double(j) / double(tube);
            const double rxy = R + r * std::cos(psi);
            grid[i * tube + j] = AddRounded(m, rxy * std::cos(phi), rxy * std::sin(phi), r * std::sin(psi));
        }
    }
    auto at = [&](uint64_t i, uint64_t j) { return grid[(i % around) * tube + j % tube]; };
    // d/dphi x d/dpsi points away from the tube's centre line.
    for (uint64_t i = 0; i < around; ++i)
        for (uint64_t j = 0; j < tube; ++j) AddQuad(m, at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j + 1));
}

void GenerateBox(MStlBase& m, MMVector3l lo, MMVector3l hi, int n) {
    n = std::max(n, 1);
    for (int a = 0; a < 3; ++a)
        if (hi[a] - lo[a] < n) return;
    const uint64_t cells = uint64_t(n) * uint64_t(n);
    Reserve(m, 6 * cells + 2, 12 * cells);

    auto coordinate = [&](int axis, long step) { return lo[axis] + (hi[axis] - lo[axis]) * step / n; };
    for (int normal = 0; normal < 3; ++normal) {
        // (u, v, normal) is a right-handed cycle of the axes, so u x v = +normal.
        const int u = (normal + 1) % 3, v = (normal + 2) % 3;
        for (const bool upper : {false, true}) {
            auto point = [&](long i, long j) {
                MMVector3l p;
                p[normal] = upper ? hi[normal] : lo[normal];
                p[u] = coordinate(u, i);
                p[v] = coordinate(v, j);
                return m.AddPoint(p);
            };
            for (long i = 0; i < n; ++i)
                for (long j = 0; j < n; ++j) {
                    MStlPoint *p00 = point(i, j), *p10 = point(i + 1, j), *p11 = point(i + 1, j + 1),
                              *p01 = point(i, j + 1);
                    if (upper)
                        AddQuad(m, p00, p10, p11, p01);
                    else
                        AddQuad(m, p00, p01, p11, p10);
                }
        }
    }
}
