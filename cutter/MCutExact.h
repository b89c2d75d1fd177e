// Exact 2-D predicates of the profile cutter.  Mesh and profile coordinates
// are integers below 2^32 in magnitude, so every cross product of two
// differences is below 2^66 and is evaluated exactly in 128-bit integers.
#pragma once

#include <cmath>
#include <cstdint>

#include "cutter/MCutEdge.h"
#include "host/MStlBase.h"

namespace meshcut_cut {

using i128 = __int128;

inline int Sign(i128 v) { return (v > 0) - (v < 0); }

// Twice the signed area of p, q, r seen from above: positive when they turn
// counter-clockwise.
inline i128 Orient(int64_t px, int64_t py, int64_t qx, int64_t qy, int64_t rx, int64_t ry) {
    return i128(qx - px) * (ry - py) - i128(qy - py) * (rx - px);
}

// Derived coordinates stay inside the 32-bit range and clear of the two
// values that stand for infinity; out-of-range and NaN values are clamped.
constexpr int32_t kLowestFinite = -2147483647;
constexpr int32_t kHighestFinite = 2147483646;

// Truncated toward zero.
inline int32_t TruncateToFinite(double v) {
    if (!(v > double(kLowestFinite))) return kLowestFinite;
    if (!(v < double(kHighestFinite))) return kHighestFinite;
    return int32_t(std::trunc(v));
}

// Rounded to the nearest grid value.
inline int32_t RoundToFinite(long double v) {
    if (!(v > (long double)kLowestFinite)) return kLowestFinite;
    if (!(v < (long double)kHighestFinite)) return kHighestFinite;
    return int32_t(std::llround(v));
}

// (Py − Ey)·dx − (Px − Ex)·dy: positive when the point lies left of the edge
// (inside the profile, whose contours run counter-clockwise round the
// inside), negative right of it, zero on the edge's line.
inline i128 SideValue(int64_t px, int64_t py, const MCutEdge& e) {
    return i128(py - e.start[1]) * e.delta[0] - i128(px - e.start[0]) * e.delta[1];
}
inline i128 SideValue(const MStlPoint* p, const MCutEdge& e) { return SideValue(p->GetX(), p->GetY(), e); }

// Position of a point's projection along the edge, as the fraction
// num / den (den > 0): 0 at the edge's start, 1 at its end.
struct Fraction {
    i128 num = 0;
    i128 den = 1;
    bool Below0() const { return num < 0; }
    bool Above1() const { return num > den; }
    bool Is0() const { return num == 0; }
    bool Is1() const { return num == den; }
    long double Value() const { return (long double)num / (long double)den; }
};

inline Fraction ProjectOnEdge(const MStlPoint* p, const MCutEdge& e) {
    const i128 num = i128(p->GetX() - e.start[0]) * e.delta[0] + i128(p->GetY() - e.start[1]) * e.delta[1];
    const i128 den = i128(e.delta[0]) * e.delta[0] + i128(e.delta[1]) * e.delta[1];
    return {num, den};
}

// Where the line of side a–b meets the edge's line, along the edge; false
// when the side is parallel to it.
inline bool SideCrossingOnEdge(const MStlPoint* a, const MStlPoint* b, const MCutEdge& e, Fraction& t) {
    const int64_t bx = int64_t(b->GetX()) - a->GetX(), by = int64_t(b->GetY()) - a->GetY();
    i128 d = i128(e.delta[1]) * bx - i128(e.delta[0]) * by;
    if (d == 0) return false;
    i128 n = i128(a->GetY() - e.start[1]) * bx - i128(a->GetX() - e.start[0]) * by;
    if (d < 0) {
        n = -n;
        d = -d;
    }
    t = {n, d};
    return true;
}

// z of the triangle's normal (P1 − P0) × (P2 − P0), exact.
inline i128 NormalZ(const MStlTriangle& t) {
    const MStlPoint *p0 = t.GetPoint(0), *p1 = t.GetPoint(1), *p2 = t.GetPoint(2);
    return i128(int64_t(p1->GetX()) - p0->GetX()) * (int64_t(p2->GetY()) - p0->GetY()) -
           i128(int64_t(p1->GetY()) - p0->GetY()) * (int64_t(p2->GetX()) - p0->GetX());
}

// x and y of the triangle's normal (P1 − P0) × (P2 − P0), exact.
inline void NormalXY(const MStlTriangle& t, i128& nx, i128& ny) {
    const MStlPoint *p0 = t.GetPoint(0), *p1 = t.GetPoint(1), *p2 = t.GetPoint(2);
    const int64_t ux = int64_t(p1->GetX()) - p0->GetX(), uy = int64_t(p1->GetY()) - p0->GetY(),
                  uz = int64_t(p1->GetZ()) - p0->GetZ();
    const int64_t vx = int64_t(p2->GetX()) - p0->GetX(), vy = int64_t(p2->GetY()) - p0->GetY(),
                  vz = int64_t(p2->GetZ()) - p0->GetZ();
    nx = i128(uy) * vz - i128(uz) * vy;
    ny = i128(uz) * vx - i128(ux) * vz;
}

// The triangle's normal dotted with the edge direction (dx, dy, 0), exact.
inline i128 NormalDotEdge(const MStlTriangle& t, const MCutEdge& e) {
    i128 nx, ny;
    NormalXY(t, nx, ny);
    return nx * e.delta[0] + ny * e.delta[1];
}

// The triangle's normal dotted with the edge's inward direction (−dy, dx,
// 0), which points into the profile; exact.
inline i128 NormalDotInward(const MStlTriangle& t, const MCutEdge& e) {
    i128 nx, ny;
    NormalXY(t, nx, ny);
    return -nx * e.delta[1] + ny * e.delta[0];
}

// True when the triangle's corners lie on one line (exact).
inline bool HasNoArea(const MStlTriangle& t) {
    i128 nx, ny;
    NormalXY(t, nx, ny);
    return nx == 0 && ny == 0 && NormalZ(t) == 0;
}

inline bool SameXY(const MStlPoint* p, int64_t x, int64_t y) { return p->GetX() == x && p->GetY() == y; }

}  // namespace meshcut_cut
