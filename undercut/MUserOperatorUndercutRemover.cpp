#include "MUserOperatorUndercutRemover.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numbers>
#include <numeric>
#include <queue>
#include <vector>

#include "host/MInternalUnits.h"
#include "host/MStlBase.h"
#include "undercut/MUndercutSupport.h"

using namespace UndercutRemoverUtils;
using Remover = MUserOperatorUndercutRemover;

namespace {
constexpr uint64_t kTrianglesPerPoll = 1u << 14;
constexpr uint64_t kPopsPerPoll = 1u << 16;

// Grid position of a mesh point along the grid's axes.
struct GridPoint {
    double a, b, h;
};

GridPoint ToGrid(const Grid& grid, const MStlPoint& p) {
    const MMVector3d v = p.GetVector();
    return {(v.Dot(grid.AxisU) - grid.OriginU) / grid.CellSize, (v.Dot(grid.AxisV) - grid.OriginV) / grid.CellSize,
            v.Dot(grid.AxisW)};
}

// Normalises without overflow: scaled by the largest component first.
bool NormalizeScaled(MMVector3d& v) {
    const double m = std::max({std::fabs(v[0]), std::fabs(v[1]), std::fabs(v[2])});
    if (!(m > 0.0) || !std::isfinite(m)) return false;
    v = v / m;
    return v.Normalize();
}

// Twice the signed area of the polygon's projection onto the grid plane.
double Area2(const MMVector3d* p, int n) {
    double a = 0.0;
    for (int k = 0; k < n; ++k) {
        const MMVector3d& s = p[k];
        const MMVector3d& t = p[(k + 1) % n];
        a += s[0] * t[1] - t[0] * s[1];
    }
    return a;
}

// Below this (in square cells) a clipped piece only touches its cell.
constexpr double kMinArea = 1e-9;
// A triangle clipped to a square has at most 7 corners.
constexpr int kMaxClipped = 8;

// Keeps the part of the polygon with sign * (coordinate `axis` - limit) >= 0;
// depths are interpolated along the cut edges.
int ClipHalfPlane(const MMVector3d* in, int n, MMVector3d* out, int axis, double limit, double sign) {
    int m = 0;
    for (int k = 0; k < n; ++k) {
        const MMVector3d& s = in[k];
        const MMVector3d& t = in[(k + 1) % n];
        const double ds = sign * (s[axis] - limit), dt = sign * (t[axis] - limit);
        if (ds >= 0.0) out[m++] = s;
        if ((ds >= 0.0) != (dt >= 0.0) && m < kMaxClipped) {
            const double f = ds / (ds - dt);
            out[m++] = s + (t - s) * f;
        }
        if (m >= kMaxClipped) break;
    }
    return m;
}

// Clips the polygon (in `p`, corners (a, b, h)) to the cell [i, i+1] x [j, j+1].
int ClipToCell(MMVector3d* p, MMVector3d* scratch, int n, double i, double j) {
    n = ClipHalfPlane(p, n, scratch, 0, i, 1.0);
    n = ClipHalfPlane(scratch, n, p, 0, i + 1.0, -1.0);
    n = ClipHalfPlane(p, n, scratch, 1, j, 1.0);
    return ClipHalfPlane(scratch, n, p, 1, j + 1.0, -1.0);
}

}  // namespace

Remover::EReturnCode Remover::Operate(QelSDK::Common::ProgressPtr progress) {
    const bool angulated = m_params.Angulated.Enabled;
    if (!m_input || !m_output || (angulated && !m_bottom) || m_params.CellSize <= 0 ||
        m_input->GetNumberOfTriangles() == 0)
        return eInvalidInput;
    Grid grid;
    Progress reporter(progress);
    grid.progress = &reporter;
    OutputLog log;
    grid.log = &log;
    // The estimate refuses grids that would not fit before anything is
    // allocated; running out of memory all the same is refused as well.
    try {
        if (const EReturnCode code = _InitializeGrid(grid); code != eSuccess) return code;
        bool done = false;
        if (!angulated) {
            if (!(_AddTriangles(grid) && _ApplyWidening(grid))) return eCancelled;
            if (!_PlaceBottom(grid)) return eOutOfRange;
            done = _GenerateOutputModel(grid);
        } else {
            done = _AddShiftedTriangles(grid) && _ExtendHeights(grid, m_params.Angulated.ExtensionSteps, false) &&
                   _GenerateReducedOutputModel(grid, 20.0);
        }
        if (!done) {
            log.Undo();
            return eCancelled;
        }
    } catch (const std::bad_alloc&) {
        grid = Grid();
        log.Undo();
        return eGridTooLarge;
    }
    return eSuccess;
}

double Remover::EstimatedBytes(double gridPoints, bool widening) {
    // Measured on the mesh model: about 113 bytes per point with its index,
    // 64 per triangle with the fan entries; the run notes each one it adds.
    constexpr double kPoint = 128.0 + 16.0, kTriangle = 72.0 + 8.0;
    // Heights, the cells' depths and three vertex caches; the widening's
    // queue holds about two entries of 24 bytes per point.
    const double arrays = 8.0 + 8.0 + 3 * 8.0 + (widening ? 48.0 : 0.0);
    return gridPoints * (arrays + 2 * kPoint + 4 * kTriangle);
}

// The bottom sheet goes one cell behind the model, or less where that
// would leave the coordinate range, but always at least a grid step behind;
// false when the solid cannot be held in the range.
bool Remover::_PlaceBottom(Grid& grid) const {
    uint64_t i0 = UINT64_MAX, i1 = 0, j0 = UINT64_MAX, j1 = 0;
    double h0 = kEmpty, h1 = -kEmpty;
    for (uint64_t i = 0; i <= grid.CountU; ++i)
        for (uint64_t j = 0; j <= grid.CountV; ++j) {
            if (!grid.Filled(i, j)) continue;
            i0 = std::min(i0, i), i1 = std::max(i1, i), j0 = std::min(j0, j), j1 = std::max(j1, j);
            h0 = std::min(h0, grid.Heights[i][j]), h1 = std::max(h1, grid.Heights[i][j]);
        }
    grid.BottomW = grid.MaxW + grid.CellSize;
    if (i0 > i1) return true;  // nothing seen: no solid
    // The solid lies in the box of the filled grid points between the
    // nearest height and the bottom; its corners bound every vertex.
    constexpr double lo = -2147483647.0, hi = 2147483646.0;
    double deepest = kEmpty;
    auto cornersFit = [&](double w) {
        bool fit = true;
        for (uint64_t i : {i0, i1})
            for (uint64_t j : {j0, j1}) {
                const double u = double(i) * grid.CellSize + grid.OriginU, v = double(j) * grid.CellSize + grid.OriginV;
                for (int k = 0; k < 3; ++k) {
                    const double c = grid.AxisU[k] * u + grid.AxisV[k] * v, d = grid.AxisW[k];
                    fit = fit && c + d * w >= lo && c + d * w <= hi;
                    if (d != 0.0) deepest = std::min(deepest, ((d > 0.0 ? hi : lo) - c) / d);
                }
            }
        return fit;
    };
    if (!cornersFit(h0) || !cornersFit(h1)) return false;
    if (cornersFit(grid.BottomW)) return true;
    grid.BottomW = std::floor(deepest) - 1.0;
    return grid.BottomW >= grid.MaxW + 1.0 && cornersFit(grid.BottomW);
}

Remover::EReturnCode Remover::_InitializeGrid(Grid& grid) {
    const MAngulatedParams& ang = m_params.Angulated;
    if (ang.Enabled) {
        grid.AxisU = {1.0, 0.0, 0.0};
        grid.AxisV = {0.0, 1.0, 0.0};
        grid.AxisW = {0.0, 0.0, 1.0};
    } else {
        MMVector3d d = m_direction;
        if (!NormalizeScaled(d)) return eInvalidInput;
        m_direction = d;
        grid.AxisW = d;
        MMVector3d c = std::fabs(d[1]) > std::fabs(d[0]) ? MMVector3d(0.0, d[2], -d[1]) : MMVector3d(-d[2], 0.0, d[0]);
        NormalizeScaled(c);
        grid.AxisU = c;
        grid.AxisV = grid.AxisW.Cross(grid.AxisU);
    }
    grid.CellSize = m_params.CellSize;
    const double alpha = m_params.DraftAngle;
    grid.widen = alpha > 0.0 && alpha < 90.0;
    grid.k = grid.widen ? std::tan(alpha / 180.0 * std::numbers::pi) : 0.0;
    if (!grid.progress->Poll()) return eCancelled;

    const double big = std::numeric_limits<double>::max();
    double minA = big, maxA = -big, minB = big, maxB = -big;
    grid.MaxW = -big;
    for (auto it = m_input->BeginPoint(); it != m_input->EndPoint(); ++it) {
        const MMVector3d p = it->GetVector();
        const double u = p.Dot(grid.AxisU), v = p.Dot(grid.AxisV), w = p.Dot(grid.AxisW);
        const double f = HeightFraction(ang, p[2]);
        const double sx = InverseOffset(f, ang.OffsetX, ang.SpreadX, p[0] - ang.CenterX);
        const double sy = InverseOffset(f, ang.OffsetY, ang.SpreadY, p[1] - ang.CenterY);
        minA = std::min(minA, u + grid.k * w - sx);
        maxA = std::max(maxA, u - grid.k * w - sx);
        minB = std::min(minB, v + grid.k * w - sy);
        maxB = std::max(maxB, v - grid.k * w - sy);
        grid.MaxW = std::max(grid.MaxW, w);
    }
    const double steps = ang.Enabled ? double(ang.ExtensionSteps) : 0.0;
    const double m = (steps + 2.0) * grid.CellSize;
    const double e = (grid.MaxW + m) * grid.k;
    grid.OriginU = minA - m - e;
    grid.OriginV = minB - m - e;
    const double countU = std::floor((maxA + m + e - grid.OriginU) / grid.CellSize) + 1.0;
    const double countV = std::floor((maxB + m + e - grid.OriginV) / grid.CellSize) + 1.0;
    // The model's extent in cells, checked before anything is allocated.
    const double points = (countU + 1.0) * (countV + 1.0);
    if (!(countU >= 0.0 && countV >= 0.0 && points <= kMaxGridPoints) ||
        !(EstimatedBytes(points, grid.widen) <= double(m_params.MemoryBudget)))
        return eGridTooLarge;
    grid.CountU = uint64_t(countU);
    grid.CountV = uint64_t(countV);
    grid.Heights.assign(grid.CountU + 1, std::vector<double>(grid.CountV + 1, kEmpty));
    return eSuccess;
}

bool Remover::_AddTriangles(Grid& grid) {
    grid.CellMin.assign(grid.CountU * grid.CountV, kEmpty);
    grid.progress->Phase(300, m_input->GetNumberOfTriangles());
    uint64_t seen = 0;
    for (auto it = m_input->BeginTriangle(); it != m_input->EndTriangle(); ++it) {
        if (++seen % kTrianglesPerPoll == 0 && !grid.progress->Step(kTrianglesPerPoll)) return false;
        const MStlTriangle& t = **it;
        // Only triangles facing the viewer; the unnormalised normal has the
        // sign of the unit one and is zero for a degenerate triangle.
        if (!(t.GetAreaVector().Dot(grid.AxisW) < 0.0)) continue;
        MTriangle<double, 3> g;
        for (int c = 0; c < 3; ++c) {
            const GridPoint q = ToGrid(grid, *t.GetPoint(c));
            g.p[c] = {q.a, q.b, q.h};
        }
        _VoxelizeProcessTriangle(grid, g);
    }
    // Every grid point takes the nearest depth of the cells around it.
    for (uint64_t i = 0; i <= grid.CountU; ++i)
        for (uint64_t j = 0; j <= grid.CountV; ++j) {
            double h = kEmpty;
            for (uint64_t ci = i ? i - 1 : 0; ci <= i && ci < grid.CountU; ++ci)
                for (uint64_t cj = j ? j - 1 : 0; cj <= j && cj < grid.CountV; ++cj)
                    h = std::min(h, grid.CellMin[ci * grid.CountV + cj]);
            grid.Heights[i][j] = h;
        }
    grid.CellMin = {};
    return grid.progress->Poll();
}

// The nearest depth of the triangle within every grid cell it covers with
// a positive area: the triangle is clipped to each cell of its box.  Each
// grid point later takes the nearest depth of its four cells, so the
// linear sheet over a cell never lies behind the surface within the cell,
// and every cell the surface covers is filled.  (Sampling the triangles at
// the grid points alone would cut into convex parts between grid points
// and shrink the footprint by up to a cell.)
void Remover::_VoxelizeProcessTriangle(Grid& grid, const MTriangle<double, 3>& tri) {
    const MMVector3d* P = tri.p;
    const double aMin = std::min({P[0][0], P[1][0], P[2][0]}), aMax = std::max({P[0][0], P[1][0], P[2][0]});
    const double bMin = std::min({P[0][1], P[1][1], P[2][1]}), bMax = std::max({P[0][1], P[1][1], P[2][1]});
    if (!(aMin >= 0.0 && bMin >= 0.0 && aMax <= double(grid.CountU) && bMax <= double(grid.CountV))) return;
    const uint64_t i0 = uint64_t(aMin), j0 = uint64_t(bMin);
    const uint64_t i1 = std::max(i0 + 1, uint64_t(std::ceil(aMax))), j1 = std::max(j0 + 1, uint64_t(std::ceil(bMax)));
    if (i1 == i0 + 1 && j1 == j0 + 1) {
        // Inside one cell: the corners bound the depth.
        if (std::fabs(Area2(P, 3)) > kMinArea)
            _VoxelizeUpdateVoxel(grid, i0, j0, std::min({P[0][2], P[1][2], P[2][2]}));
        return;
    }
    MMVector3d polygon[kMaxClipped], scratch[kMaxClipped];
    for (uint64_t i = i0; i < i1 && i < grid.CountU; ++i)
        for (uint64_t j = j0; j < j1 && j < grid.CountV; ++j) {
            int n = 3;
            std::copy(P, P + 3, polygon);
            n = ClipToCell(polygon, scratch, n, double(i), double(j));
            if (n < 3 || !(std::fabs(Area2(polygon, n)) > kMinArea)) continue;
            double h = polygon[0][2];
            for (int k = 1; k < n; ++k) h = std::min(h, polygon[k][2]);
            _VoxelizeUpdateVoxel(grid, i, j, h);
        }
}

void Remover::_VoxelizeUpdateVoxel(Grid& grid, uint64_t i, uint64_t j, double h) {
    double& cell = grid.CellMin[i * grid.CountV + j];
    cell = std::min(cell, h);
}

void Remover::_VoxelizeUpdateVoxelWithMaxValue(Grid& grid, uint64_t i, uint64_t j, double h) {
    double& cell = grid.Heights[i][j];
    if (h == kEmpty) return;
    cell = cell == kEmpty ? h : std::max(cell, h);
}

bool Remover::_ApplyWidening(Grid& grid) {
    if (!grid.widen) return true;
    struct Offset {
        int di, dj;
        double cost;
    };
    std::vector<Offset> stencil;
    for (int di = -4; di <= 4; ++di)
        for (int dj = -4; dj <= 4; ++dj) {
            if ((di == 0 && dj == 0) || di * di + dj * dj >= 17 || std::gcd(std::abs(di), std::abs(dj)) != 1) continue;
            stencil.push_back({di, dj, std::sqrt(double(di * di + dj * dj)) * grid.CellSize / grid.k});
        }
    // Smallest height first, then smaller i, then smaller j: a total order,
    // so the sweep is the same on every run.
    struct Entry {
        double h;
        uint64_t i, j;
        bool operator>(const Entry& o) const {
            return h != o.h ? h > o.h : i != o.i ? i > o.i : j > o.j;
        }
    };
    std::vector<Entry> seeds;
    for (uint64_t i = 0; i <= grid.CountU; ++i)
        for (uint64_t j = 0; j <= grid.CountV; ++j)
            if (grid.Heights[i][j] != kEmpty) seeds.push_back({grid.Heights[i][j], i, j});
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> queue(std::greater<Entry>(), std::move(seeds));
    grid.progress->Phase(250, (grid.CountU + 1) * (grid.CountV + 1));
    uint64_t pops = 0;
    while (!queue.empty()) {
        if (++pops % kPopsPerPoll == 0 && !grid.progress->Step(kPopsPerPoll)) return false;
        const Entry top = queue.top();
        queue.pop();
        if (top.h > grid.Heights[top.i][top.j]) continue;  // stale
        for (const Offset& o : stencil) {
            const double nh = top.h + o.cost;
            if (nh >= grid.MaxW) continue;
            const int64_t ni = int64_t(top.i) + o.di, nj = int64_t(top.j) + o.dj;
            if (ni < 0 || nj < 0 || uint64_t(ni) > grid.CountU || uint64_t(nj) > grid.CountV) continue;
            double& cell = grid.Heights[uint64_t(ni)][uint64_t(nj)];
            if (cell > nh) {
                cell = nh;
                queue.push({nh, uint64_t(ni), uint64_t(nj)});
            }
        }
    }
    return grid.progress->Poll();
}
