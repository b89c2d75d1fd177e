// The angulated mode: rays along a leaned direction into a triangle tree,
// growth passes, and a reduced top sheet closed by a bottom surface.
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "MUserOperatorUndercutRemover.h"
#include "host/MStlBase.h"
#include "host/MStlBaseOperatorReduceEx.h"
#include "host/MStlBorderFiller.h"
#include "host/MStlTriangleTree.h"
#include "undercut/MUndercutSupport.h"

using namespace UndercutRemoverUtils;
using Remover = MUserOperatorUndercutRemover;

namespace {
constexpr double kUnlimited = std::numeric_limits<double>::infinity();
// How far a hit is moved back toward the viewer, in integer units.
constexpr double kLift = 100.0;

// A rectangle of grid indices [i0, i1] x [j0, j1], borders included.
struct Rectangle {
    uint64_t i0, i1, j0, j1;
};

// Fills the closed loops of mesh points (nested loops are holes) with
// triangles that run along each loop in its own direction, added through
// the log to `surface`.
void FillLoops(OutputLog& log, MStlSurface* surface, const std::vector<std::vector<MStlPoint*>>& loops) {
    MStlCutBorder border;
    for (const std::vector<MStlPoint*>& loop : loops) {
        MStlCutContour* contour = border.AddContour();
        for (MStlPoint* p : loop) contour->AddPoint(p->GetX(), p->GetY(), p->GetZ(), p);
        contour->SetClosed(true);
    }
    // The filler only computes the triangulation; the triangles are added
    // here, so that a cancelled run can take them back.
    MStlBorderFiller filler;
    filler.SetStl(surface->GetStl());
    filler.SetOutputSurface(surface);
    filler.SetInputBorder(&border);
    filler.SetAddTriangles(false);
    if (!filler.Operate()) return;
    for (uint64_t t = 0; t < filler.GetNumTriangles(); ++t)
        log.Triangle(surface, filler.GetResult(t, 0), filler.GetResult(t, 1), filler.GetResult(t, 2));
}

// The open border of the run's own triangles, as loops that run against
// those triangles' edges (the direction a closing fill must take).
std::vector<std::vector<MStlPoint*>> ClosingLoops(const std::vector<MStlTriangleElement*>& triangles) {
    std::vector<std::pair<MStlPoint*, MStlPoint*>> edges;  // reversed border edges
    for (const MStlTriangleElement* t : triangles)
        for (int c = 0; c < 3; ++c) {
            MStlPoint* p = t->GetPoint(c);
            MStlPoint* q = t->GetPoint((c + 1) % 3);
            bool matched = false;
            for (uint32_t k = 0; k < q->GetNumberOfNeighbourTriangles() && !matched; ++k) {
                const MStlTriangleElement* n = q->GetNeighbourTriangle(k);
                matched = n->GetSurface() == t->GetSurface() && n->GetPoint((n->IndexOfPoint(q) + 1) % 3) == p;
            }
            if (!matched) edges.emplace_back(q, p);
        }
    std::sort(edges.begin(), edges.end());
    std::vector<bool> used(edges.size(), false);
    std::vector<std::vector<MStlPoint*>> loops;
    for (size_t start = 0; start < edges.size(); ++start) {
        if (used[start]) continue;
        std::vector<MStlPoint*> loop;
        size_t e = start;
        while (e < edges.size() && !used[e]) {
            used[e] = true;
            loop.push_back(edges[e].first);
            MStlPoint* next = edges[e].second;
            if (next == edges[start].first) break;
            auto it = std::lower_bound(edges.begin(), edges.end(), std::make_pair(next, (MStlPoint*)nullptr));
            while (it != edges.end() && it->first == next && used[size_t(it - edges.begin())]) ++it;
            e = it != edges.end() && it->first == next ? size_t(it - edges.begin()) : edges.size();
        }
        if (loop.size() >= 3) loops.push_back(std::move(loop));
    }
    return loops;
}
}  // namespace

bool Remover::_AddShiftedTriangles(Grid& grid) {
    const MAngulatedParams& a = m_params.Angulated;
    const double span = double(a.TopZ) - double(a.BottomZ);
    std::vector<const MStlTriangleElement*> kept;
    for (auto it = m_input->BeginTriangle(); it != m_input->EndTriangle(); ++it) {
        MMVector3d q[3];
        for (int c = 0; c < 3; ++c) {
            const MStlPoint& p = *it->GetPoint(c);
            // Projection of the corner along the leaned direction onto BottomZ.
            const double f = span == 0.0 ? 0.0 : (p.GetZ() - double(a.BottomZ)) / span;
            q[c] = {double(p.GetX()) + Offset(f, a.OffsetX, a.SpreadX, p.GetX() - a.CenterX),
                    double(p.GetY()) + Offset(f, a.OffsetY, a.SpreadY, p.GetY() - a.CenterY), double(a.BottomZ)};
        }
        MMVector3d A = q[0] - q[1], B = q[1] - q[2];
        if (A.Normalize() && B.Normalize() && A[0] * B[1] - A[1] * B[0] > 1e-8) kept.push_back(*it);
    }
    if (!grid.progress->Poll()) return false;
    const MStlTriangleTree tree(kept);

    grid.progress->Phase(400, grid.CountU + 1);
    const double top = a.TopZ, above = double(m_input->GetZMax()) + 1.0;
    MStlTriangleTree::Hit hit;
    for (uint64_t i = 0; i <= grid.CountU; ++i) {
        if (!grid.progress->Step(1)) return false;
        const double x = double(i) * grid.CellSize + grid.OriginU;
        for (uint64_t j = 0; j <= grid.CountV; ++j) {
            const double y = double(j) * grid.CellSize + grid.OriginV;
            // Where the model rises above TopZ the straight view from above is used.
            if (tree.CastRay({x, y, top}, {0.0, 0.0, 1.0}, kUnlimited, hit) &&
                tree.CastRay({x, y, above}, {0.0, 0.0, -1.0}, kUnlimited, hit)) {
                _VoxelizeUpdateVoxelWithMaxValue(grid, i, j, hit.point[2] + kLift);
                continue;
            }
            MMVector3d d(Round32(a.OffsetX + (a.SpreadX != 0.0 ? a.SpreadX * InverseUnit() * (std::trunc(x) - a.CenterX) : 0.0)),
                         Round32(a.OffsetY + (a.SpreadY != 0.0 ? a.SpreadY * InverseUnit() * (std::trunc(y) - a.CenterY) : 0.0)),
                         double(a.BottomZ) - double(a.TopZ));
            if (!tree.CastRay({x, y, top}, d, kUnlimited, hit)) continue;
            const double length = std::hypot(d[0], d[1], d[2]);
            const double c = length > 0.0 ? d[2] / length : d[2];
            _VoxelizeUpdateVoxelWithMaxValue(grid, i, j, hit.point[2] - kLift * c);
        }
    }
    return grid.progress->Poll();
}

bool Remover::_ExtendHeights(Grid& grid, uint64_t count, bool useMinimum) {
    struct Change {
        uint64_t i, j;
        double h;
    };
    std::vector<Change> changes;
    grid.progress->Phase(100, count);
    for (uint64_t pass = 0; pass < count; ++pass) {
        if (!grid.progress->Step(1)) return false;
        changes.clear();
        for (uint64_t i = 1; i <= grid.CountU; ++i)
            for (uint64_t j = 1; j <= grid.CountV; ++j) {
                double best = useMinimum ? kEmpty : -kEmpty;
                bool any = false;
                for (uint64_t r = i - 1; r <= std::min(i + 1, grid.CountU); ++r)
                    for (uint64_t s = j - 1; s <= std::min(j + 1, grid.CountV); ++s) {
                        const double h = grid.Heights[r][s];
                        if (useMinimum) best = std::min(best, h);
                        else if (h != kEmpty) best = std::max(best, h), any = true;
                    }
                if (!useMinimum && !any) continue;
                if (best != grid.Heights[i][j]) changes.push_back({i, j, best});
            }
        if (changes.empty()) break;  // nothing left to grow
        for (const Change& c : changes) grid.Heights[c.i][c.j] = c.h;
    }
    return grid.progress->Poll();
}

bool Remover::_GenerateReducedOutputModel(Grid& grid, double tolerance) {
    if (grid.CountU < 2 || grid.CountV < 2) return true;
    const MAngulatedParams& a = m_params.Angulated;
    // Below every filled height: filled heights lie at or above a hit on the model.
    const double floorLevel = std::min<double>(a.BottomZ, m_input->GetZMin()) - kLift;
    const uint64_t nu = grid.CountU, nv = grid.CountV;  // vertices used: [0, nu) x [0, nv)
    std::vector<MMVector3d> P(nu * nv);
    for (uint64_t i = 0; i < nu; ++i)
        for (uint64_t j = 0; j < nv; ++j) {
            const double h = grid.Filled(i, j) ? grid.Heights[i][j] : floorLevel;
            const double x = std::trunc(double(i) * grid.CellSize + grid.OriginU);
            const double y = std::trunc(double(j) * grid.CellSize + grid.OriginV);
            const double f = HeightFraction(a, h);
            P[i * nv + j] = {x + Offset(f, a.OffsetX, a.SpreadX, x - a.CenterX),
                             y + Offset(f, a.OffsetY, a.SpreadY, y - a.CenterY), std::trunc(h)};
        }

    // Split rectangles until each is flat within the tolerance or one cell.
    std::vector<Rectangle> stack{{0, nu - 1, 0, nv - 1}}, cells;
    MMLeastSquarePlane plane;
    while (!stack.empty()) {
        const Rectangle r = stack.back();
        stack.pop_back();
        const uint64_t di = r.i1 - r.i0, dj = r.j1 - r.j0;
        if (std::max(di, dj) < 2) {
            cells.push_back(r);
            continue;
        }
        plane.Init();
        for (uint64_t i = r.i0; i <= r.i1; ++i)
            for (uint64_t j = r.j0; j <= r.j1; ++j) plane.AddPoint(P[i * nv + j][0], P[i * nv + j][1], P[i * nv + j][2]);
        const bool fitted = plane.Calculate();
        const double deviation = !fitted || plane.GetIsLine() ? std::numeric_limits<double>::max() : plane.GetMaxDeviation();
        if (deviation <= tolerance) {
            cells.push_back(r);
            continue;
        }
        if (di >= dj) {
            const uint64_t mid = di / 2 + r.i0;
            stack.push_back({r.i0, mid, r.j0, r.j1});
            stack.push_back({mid, r.i1, r.j0, r.j1});
        } else {
            const uint64_t mid = dj / 2 + r.j0;
            stack.push_back({r.i0, r.i1, r.j0, mid});
            stack.push_back({r.i0, r.i1, mid, r.j1});
        }
    }

    MStlBase& mesh = *m_output->GetStl();
    OutputLog& log = *grid.log;
    grid.progress->Phase(150, cells.size());
    std::vector<std::pair<uint64_t, uint64_t>> ring;
    std::vector<MStlPoint*> loop;
    for (const Rectangle& r : cells) {
        if (!grid.progress->Step(1)) return false;
        // The boundary walked counter-clockwise seen from above, so that the
        // fill faces up: (i0, j0) .. (i1, j0) .. (i1, j1) .. (i0, j1).
        ring.clear();
        for (uint64_t i = r.i0; i < r.i1; ++i) ring.emplace_back(i, r.j0);
        for (uint64_t j = r.j0; j < r.j1; ++j) ring.emplace_back(r.i1, j);
        for (uint64_t i = r.i1; i > r.i0; --i) ring.emplace_back(i, r.j1);
        for (uint64_t j = r.j1; j > r.j0; --j) ring.emplace_back(r.i0, j);
        if (std::none_of(ring.begin(), ring.end(), [&](auto& g) { return grid.Filled(g.first, g.second); })) continue;
        loop.clear();
        for (auto [i, j] : ring) loop.push_back(log.Point(mesh, P[i * nv + j]));
        if (std::find(loop.begin(), loop.end(), nullptr) != loop.end()) continue;
        FillLoops(log, m_output, {loop});
    }
    log.RemoveFreePoints();

    // The floor around the filled region goes; its border is closed by the
    // bottom surface.
    const int32_t floorZ = ToInt32(floorLevel);
    log.RemoveTrianglesIf([&](const MStlTriangle& t) {
        return t.GetSurface() == m_output && t.GetPoint(0)->GetZ() == floorZ && t.GetPoint(1)->GetZ() == floorZ &&
               t.GetPoint(2)->GetZ() == floorZ;
    });
    log.RemoveFreePoints();
    MStlBase& bottomMesh = *m_bottom->GetStl();
    std::vector<std::vector<MStlPoint*>> closing = ClosingLoops(log.Triangles());
    if (&bottomMesh != &mesh)
        for (std::vector<MStlPoint*>& loop : closing)
            for (MStlPoint*& p : loop) p = log.Point(bottomMesh, p->GetVector());
    FillLoops(log, m_bottom, closing);
    if (!grid.progress->Poll()) return false;

    // Coarsening is the last step and is not interrupted.
    MStlSurfaceContainer container(*m_output);
    MStlBaseOperatorReduceExBase::MParams params;
    params.MaximumDeviation = 10.0;
    params.Passes = 3;
    params.MaximumNormalChange = 1.0;
    MStlBaseOperatorReduceEx<MStlSurfaceContainer> reduce(container, params);
    reduce.Operate();
    return true;
}
